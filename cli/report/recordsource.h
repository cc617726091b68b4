#ifndef RECORDSOURCE_H
#define RECORDSOURCE_H

#include "cli/record/chainreader.h"
#include "cli/record/record.h"

#include <QString>

#include <functional>

// A station's record as the report and the live page read it: the one place
// they use the record's own reader.
namespace Report
{

// What following a record's chain found, and which record it was.
struct RecordVerdict : Record::ChainVerdict {
    QString path;
};

// Takes each line of a record's chain with its number in the file, from 1.
using LineSink = std::function<void(qint64 number, const Record::Line &line)>;

// Reads the record at `path` one line at a time, so in the same memory
// whatever its size, and gives `sink` the lines up to the first that breaks
// the chain, as --check-record counts them. False, with the reason, when it
// cannot be read; a broken chain is a finding, not a failure.
bool followRecord(const QString &path, const LineSink &sink, RecordVerdict *verdict,
                  QString *error);

} // namespace Report

#endif
