#ifndef RECORD_CHAIN_H
#define RECORD_CHAIN_H

#include "cli/record/record.h"

#include <QByteArray>

namespace Record
{

// Where a record's chain stands: the last line's hash, how many lines and
// bytes there are, and the summary a checkpoint states. No I/O: the writer
// appends what it gives, and tells it what went in.
class Chain
{
public:
    // A record that ends after `lines` lines and `bytes` bytes, the last one
    // hashing to `lastHash`, its lines summed up in `summary`.
    void resume(qint64 lines, qint64 bytes, const QByteArray &lastHash, const Summary &summary,
                qint64 sinceCheckpoint);
    // `line` linked to the last one, as its bytes (without the newline).
    QByteArray link(Line *line) const;
    // `line`, whose bytes were `text`, is in the file.
    void appended(const Line &line, const QByteArray &text);
    // A checkpoint for the lines so far, to go in next.
    Line checkpoint(const QDateTime &time) const;
    // Lines have been written since the last checkpoint (at least `every`).
    bool checkpointDue(qint64 every) const { return sinceCheckpoint >= every; }

    const Summary &summary() const { return sum; }
    qint64 lines() const { return lineCount; }
    const QByteArray &lastLineHash() const { return lastHash; }

private:
    QByteArray lastHash; // hex; empty while the file has no line
    qint64 lineCount = 0;
    qint64 byteCount = 0;
    qint64 sinceCheckpoint = 0;
    Summary sum;
};

} // namespace Record

#endif
