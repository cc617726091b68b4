#include "cli/record/recordwriter.h"

#include "cli/record/recordreader.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace Record
{

namespace
{

// The longest unfinished line at the end of a record that is taken for one
// of ours cut short, and cut off; no line of ours is longer.
constexpr qint64 MaxLineBytes = 64 * 1024;
// A start reads back from the end this much at a time to find the last
// checkpoint: a few of the lines between two checkpoints.
constexpr qint64 ScanBytes = 1024 * 1024;

} // namespace

bool Writer::open(const QString &path, const QString &earlier, QString *error, QString *notice)
{
    const auto refuse = [this, &path, error](const QString &why) {
        *error = QStringLiteral("cannot use the record %1: %2").arg(path, why);
        file.close();
        return false;
    };
    FileFailure failure;
    // Locked before anything is read or cut: what is cut must be ours.
    if (!file.open(path, &failure) || !file.lock(&failure))
        return refuse(failure.reason);
    // A device or a pipe has no end to look at.
    if (!file.isPlainFile())
        return true;
    qint64 size = 0;
    if (!file.size(&size, &failure))
        return refuse(failure.reason);
    QString why;
    if (size > 0 && !takeOver(path, size, &why, notice))
        return refuse(why);
    checkpoints = true;
    if (!file.size(&size, &failure))
        return refuse(failure.reason);
    if (!catchUp(path, size, &why))
        return refuse(why);
    if (earlier.isEmpty() || continueFrom(path, earlier, error, notice))
        return true;
    file.close();
    return false;
}

// A new record that continues another begins with a checkpoint that names
// it, links to its last line and states the stamp reserved last there: the
// ledger goes on where that record left off, and no value is given twice
// across the two. It goes in with the record's first line, so a start that
// is refused after this (a stamp of another kind) leaves the file empty. A
// restart finds that line there already and goes on.
bool Writer::continueFrom(const QString &path, const QString &earlierPath, QString *error,
                          QString *notice)
{
    const QFileInfo earlierFile(earlierPath);
    const QString file =
        QFileInfo(path).absoluteDir().relativeFilePath(earlierFile.absoluteFilePath());
    const auto refuse = [error, &path, &earlierPath](const QString &why) {
        *error =
            QStringLiteral("cannot continue the record %1 in %2: %3").arg(earlierPath, path, why);
        return false;
    };
    if (chain.lines() > 0)
        return continuesFrom(path, file, error);
    if (!checkpoints)
        return refuse(QStringLiteral("a device or a pipe holds no record to continue"));
    if (!earlierFile.isFile())
        return refuse(QStringLiteral("there is no such file"));
    if (earlierFile.canonicalFilePath() == QFileInfo(path).canonicalFilePath())
        return refuse(QStringLiteral("they are one file"));
    // Opened as a station would, so one that a station still writes is refused.
    Writer earlier;
    QString why;
    QString repaired;
    if (!earlier.open(earlierPath, QString(), &why, &repaired))
        return refuse(why);
    if (!repaired.isEmpty())
        *notice += (notice->isEmpty() ? QString() : QStringLiteral("; ")) + repaired;
    if (earlier.chain.lines() == 0)
        return refuse(QStringLiteral("it has no lines"));
    Summary carried;
    carried.lastReserved = earlier.summary().lastReserved;
    carried.lastReservedLine = carried.lastReserved.stamp.isEmpty() ? 0 : 1;
    chain.resume(0, 0, earlier.chain.lastLineHash(), carried, 0);
    continuation = chain.checkpoint(QDateTime::currentDateTimeUtc());
    continuation->checkpoint.continues = {file, earlier.chain.lines(),
                                          earlier.chain.lastLineHash()};
    return true;
}

// A record with lines continues `file` only where its first line says so.
bool Writer::continuesFrom(const QString &path, const QString &file, QString *error) const
{
    Reader reader;
    Reader::Entry entry;
    QString why;
    if (!reader.open(path, &why) || reader.next(&entry, &why) != Reader::Step::Line) {
        *error = QStringLiteral("cannot read the record %1: %2").arg(path, why);
        return false;
    }
    const Continued &continues = entry.line.checkpoint.continues;
    if (entry.line.kind == Line::Kind::Checkpoint && continues.file == file)
        return true;
    *error =
        continues.isEmpty() || entry.line.kind != Line::Kind::Checkpoint
            ? QStringLiteral("the record %1 has lines already: a record continues another "
                             "from its first line only, so name a new file")
                  .arg(path)
            : QStringLiteral("the record %1 continues %2, not %3").arg(path, continues.file, file);
    return false;
}

// One that does not go in costs the next start a longer read, nothing more.
void Writer::checkpointIfBehind()
{
    QString ignored;
    if (checkpoints && chain.checkpointDue(1))
        write(chain.checkpoint(QDateTime::currentDateTimeUtc()), &ignored);
}

// Every line we write is whole, but a kill can land between two pages of
// one write: such a line, cut short, is cut off. A file that ends in
// anything else, or whose last whole line is not one of ours, is not ours to
// change. The first line written here chains to the last one already there.
bool Writer::takeOver(const QString &path, qint64 size, QString *why, QString *notice)
{
    // Room for a fragment and the whole line before it.
    const qint64 tailSize = std::min<qint64>(size, 2 * (MaxLineBytes + 1));
    QByteArray tail;
    FileFailure failure;
    if (!file.read(size - tailSize, tailSize, &tail, &failure)) {
        *why = failure.reason;
        return false;
    }
    const int end = int(tail.lastIndexOf('\n')); // of the last whole line; -1 for none
    const QByteArray fragment = tail.mid(end + 1);
    if (!fragment.isEmpty() && (fragment.size() > MaxLineBytes || !fragment.startsWith('{'))) {
        *why = QStringLiteral("it does not end in a whole line");
        return false;
    }
    if (end >= 0) {
        const int start = end == 0 ? 0 : int(tail.lastIndexOf('\n', end - 1)) + 1;
        if (start == 0 && tailSize < size) {
            *why = QStringLiteral("its last line is longer than any a station writes");
            return false;
        }
        const QByteArray last = tail.mid(start, end - start);
        Line line;
        QString lineWhy;
        if (!read(last, &line, &lineWhy)) {
            *why = QStringLiteral("its last line ") + lineWhy;
            return false;
        }
        lastLineHash = hashOf(last);
    }
    if (fragment.isEmpty())
        return true;
    if (!file.cutBack(size - fragment.size(), &failure)) {
        *why = failure.reason;
        return false;
    }
    *notice = QStringLiteral("the record %1 ended in a line cut short (%2 bytes); cut off")
                  .arg(path)
                  .arg(fragment.size());
    return true;
}

// Back from the end, a chunk at a time, to the last checkpoint that stands
// where it says it does; `found->number` stays 0 where there is none.
bool Writer::findCheckpoint(qint64 size, Checkpoint *found, QString *why)
{
    static const QByteArray mark = QByteArrayLiteral("\"kind\":\"checkpoint\"");
    for (qint64 end = size; end > 0;) {
        const qint64 start = std::max<qint64>(0, end - ScanBytes);
        QByteArray chunk;
        FileFailure failure;
        if (!file.read(start, end - start, &chunk, &failure)) {
            *why = failure.reason;
            return false;
        }
        // Whole lines only: the one cut at the chunk's start is read with the next.
        const int whole = start == 0 ? 0 : int(chunk.indexOf('\n')) + 1;
        for (int at = int(chunk.size()); at > whole;) {
            at = int(chunk.lastIndexOf(mark, at - 1));
            if (at < whole)
                break;
            const int begin = int(chunk.lastIndexOf('\n', at)) + 1;
            const int stop = int(chunk.indexOf('\n', at));
            Line line;
            QString lineWhy;
            if (begin >= whole &&
                read(chunk.constData() + begin, (stop < 0 ? chunk.size() : stop) - begin, &line,
                     &lineWhy) &&
                line.kind == Line::Kind::Checkpoint && line.checkpoint.offset == start + begin) {
                *found = line.checkpoint;
                return true;
            }
            at = begin;
        }
        end = start == 0 ? 0 : start + whole;
    }
    return true;
}

// What the lines hold: the last checkpoint's summary, and the lines after it.
bool Writer::catchUp(const QString &path, qint64 size, QString *why)
{
    Checkpoint last;
    Reader reader;
    if (!findCheckpoint(size, &last, why) || !reader.open(path, why) ||
        !reader.seek(last.offset, std::max<qint64>(last.number, 1), why))
        return false;
    Summary summary = last.summary;
    qint64 lines = 0;
    qint64 since = 0;
    Reader::Entry entry;
    QString lineWhy;
    for (;;) {
        const Reader::Step step = reader.next(&entry, &lineWhy);
        if (step == Reader::Step::End)
            break;
        if (step == Reader::Step::Unreadable) {
            *why = lineWhy;
            return false;
        }
        lines = entry.number;
        const bool checkpoint =
            step == Reader::Step::Line && entry.line.kind == Line::Kind::Checkpoint;
        since = checkpoint ? 0 : since + 1;
        if (step == Reader::Step::Line)
            summary.add(entry.line, entry.number);
    }
    chain.resume(lines, size, lastLineHash, summary, since);
    return true;
}

// On disk before the next board can start: a board flashed without its
// record is worse than a halted line. Every line in the file is whole: one
// that does not go in whole is taken out again.
bool Writer::append(const Board &board, QString *error)
{
    Line line;
    line.board = board;
    return appendLine(line, error);
}

bool Writer::reserve(const Reservation &reservation, QString *error)
{
    Line line;
    line.kind = Line::Kind::Reservation;
    line.reservation = reservation;
    return appendLine(line, error);
}

// A checkpoint that does not go in is written after a later line.
bool Writer::appendLine(const Line &line, QString *error)
{
    if (continuation && !write(*continuation, error))
        return false;
    continuation.reset();
    if (!write(line, error))
        return false;
    if (checkpoints && chain.checkpointDue(CheckpointEvery)) {
        QString ignored;
        write(chain.checkpoint(QDateTime::currentDateTimeUtc()), &ignored);
    }
    return true;
}

bool Writer::write(Line line, QString *error)
{
    const QByteArray text = chain.link(&line);
    const QByteArray bytes = text + '\n';

    FileFailure failure;
    qint64 before = 0;
    if (!file.size(&before, &failure)) {
        *error = failure.reason;
        return false;
    }
    // One write, so a line is never split by another program appending too.
    qint64 written = 0;
    const bool appended = file.append(bytes, &written, &failure);
    if (!appended || written != bytes.size()) {
        *error = appended ? QStringLiteral("no room for the whole line") : failure.reason;
        if (written > 0 && !file.cutBack(before, &failure))
            *error += QStringLiteral("; and the part written cannot be taken out: %1")
                          .arg(failure.reason);
        return false;
    }
    chain.appended(line, text);
    if (!file.sync(&failure)) {
        *error = failure.reason;
        return false;
    }
    return true;
}

} // namespace Record
