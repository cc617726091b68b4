#ifndef RECORDREADER_H
#define RECORDREADER_H

#include "cli/record/record.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace Record
{

// Reads a record one line at a time, from its first line or from a byte
// offset, so a record of any size is read in the same memory.
class Reader
{
public:
    // What a line was, or why there is none.
    enum class Step { Line, End, NotALine, Unreadable };

    struct Entry {
        qint64 number = 0; // the line's number in the file, from 1
        qint64 offset = 0; // of its first byte
        QByteArray text;   // without its newline
        QByteArray hash;   // of the text, hex
        Line line;         // as read, for Step::Line only
    };

    // Opens `path`; false with the system's reason.
    bool open(const QString &path, QString *why);
    // Goes to the line that starts at byte `offset`, numbered `number`.
    bool seek(qint64 offset, qint64 number, QString *why);
    // The next line: Line, NotALine (with the reason in `why`; `entry` says
    // where), End after the last line, or Unreadable.
    Step next(Entry *entry, QString *why);

private:
    bool fill(QString *why);

    QFile file;
    QByteArray buffer;
    int position = 0;       // in the buffer
    qint64 bufferStart = 0; // the buffer's first byte in the file
    qint64 lineNumber = 0;  // of the last line handed out
    bool atEnd = false;
};

} // namespace Record

#endif
