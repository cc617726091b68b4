#ifndef RECORDWRITER_H
#define RECORDWRITER_H

#include "cli/record/chain.h"
#include "cli/record/record.h"
#include "cli/record/recordfile.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace Record
{

// A station's hand on its record: appended to, never truncated, so the
// record of earlier shifts stays. The record is locked while it is open, so
// no other station writes to it (--check-record takes no lock, and reads it
// all the same).
class Writer
{
public:
    Writer() = default;
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Opens the record at `path`, making it if need be. Refuses a record
    // another program has locked, and a file that is not a record; cuts off
    // a last line cut short, and tells of it in `notice`. Reads back to the
    // last checkpoint and on from there: what a start reads does not grow
    // with the record. With `earlier`, a new record continues the record
    // at that path (see continueFrom()).
    bool open(const QString &path, const QString &earlier, QString *error, QString *notice);
    // Once the record is taken on: a checkpoint where lines follow the last
    // one, so the next start reads from here.
    void checkpointIfBehind();
    bool isOpen() const { return file.isOpen(); }
    // Appends `board`'s line, chained to the line before, and has it on disk
    // before it returns. A line that does not go in whole is taken out again.
    bool append(const Board &board, QString *error);
    // The same for a stamp value set aside, before its board's first frame.
    bool reserve(const Reservation &reservation, QString *error);
    // What the lines so far hold: the stamp reserved last, successes per job.
    const Summary &summary() const { return chain.summary(); }

private:
    bool appendLine(const Line &line, QString *error);
    bool write(Line line, QString *error);
    bool takeOver(const QString &path, qint64 size, QString *why, QString *notice);
    bool findCheckpoint(qint64 size, Checkpoint *found, QString *why);
    bool catchUp(const QString &path, qint64 size, QString *why);
    bool continueFrom(const QString &path, const QString &earlierPath, QString *error,
                      QString *notice);
    bool continuesFrom(const QString &path, const QString &file, QString *error) const;

    RecordFile file;
    Chain chain;
    bool checkpoints = false;         // a device or a pipe has no offsets to state
    QByteArray lastLineHash;          // hex, of the last line found at open; empty for none
    std::optional<Line> continuation; // a new record's first line, naming the one it continues
};

} // namespace Record

#endif
