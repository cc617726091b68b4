#ifndef RECORDREADER_H
#define RECORDREADER_H

#include "cli/record/record.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

namespace Record
{

// Reads a record one line at a time, from its first line or from a byte
// offset, so a record of any size is read in the same memory. The next
// stretch of the file is read, split into lines and hashed on a thread of
// its own while the caller reads the lines before it: a check then runs at
// the pace of the slower of hashing and parsing, not of both.
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

    Reader();
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Opens `path`; false with the system's reason.
    bool open(const QString &path, QString *why);
    // Goes to the line that starts at byte `offset`, numbered `number`.
    bool seek(qint64 offset, qint64 number, QString *why);
    // The next line: Line, NotALine (with the reason in `why`; `entry` says
    // where), End after the last line, or Unreadable.
    Step next(Entry *entry, QString *why);

    // Whole lines read from the file at once, with their hashes.
    struct Stretch;

private:
    class Ahead;

    void readAhead(QByteArray carried, qint64 start);
    void stopReadingAhead();

    QFile file;
    std::unique_ptr<Stretch> stretch; // the lines being handed out
    size_t nextLine = 0;              // in the stretch
    std::unique_ptr<Ahead> ahead;     // started with the first read
    qint64 lineNumber = 0;            // of the last line handed out
};

} // namespace Record

#endif
