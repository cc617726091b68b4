#ifndef RECORDSOURCE_H
#define RECORDSOURCE_H

#include "cli/record/record.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// A station's record as the report and the live page read it: the one place
// they use the record's own reader.
namespace Report
{

struct RecordContents {
    struct Numbered {
        int number = 0; // the line's in the file, from 1
        Record::Line line;
    };
    QString path;
    // The lines up to the first that breaks the chain, as --check-record
    // counts them.
    QVector<Numbered> lines;
    int lineCount = 0;
    int brokenAt = 0; // from 1; 0 for an intact chain
    QString why;
    QByteArray lastHash; // of the file's last line, hex; empty for none

    bool intact() const { return brokenAt == 0; }
};

// Reads and follows the record at `path`. False, with the reason, when it
// cannot be read at all; a broken chain is a finding, not a failure.
bool readRecord(const QString &path, RecordContents *contents, QString *error);

} // namespace Report

#endif
