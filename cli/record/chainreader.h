#ifndef CHAINREADER_H
#define CHAINREADER_H

#include "cli/record/recordreader.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace Record
{

// What following a record's chain from its first line found.
struct ChainVerdict {
    qint64 lineCount = 0; // every line in the file, also those after a break
    qint64 brokenAt = 0;  // the first line that breaks the chain, from 1; 0 for none
    QString why;          // what breaks it there
    QByteArray lastHash;  // of the file's last line, hex; empty for none

    bool intact() const { return brokenAt == 0; }
};

// Takes each line of the chain, up to the first that breaks it.
using ChainSink = std::function<void(const Reader::Entry &entry)>;

// Reads the record at `path` one line at a time, so in the same memory
// whatever its size, and gives `sink` each line of its chain; past a break,
// lines are only counted. False, with the system's reason, when the record
// cannot be read; a broken chain is a finding, not a failure.
bool followChain(const QString &path, const ChainSink &sink, ChainVerdict *verdict, QString *error);

} // namespace Record

#endif
