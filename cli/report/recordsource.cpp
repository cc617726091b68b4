#include "cli/report/recordsource.h"

#include "cli/record/recordreader.h"

namespace Report
{

namespace
{

using Step = Record::Reader::Step;

// Hands a line of the chain to `sink`, or marks where the chain breaks.
void follow(Step step, const Record::Reader::Entry &entry, const QByteArray &previousHash,
            const QString &why, const LineSink &sink, RecordVerdict *verdict)
{
    QString reason;
    if (step == Step::NotALine)
        reason = QStringLiteral("it ") + why;
    else if (entry.line.format != 0 && entry.line.prev != previousHash)
        reason = entry.number == 1
                     ? QStringLiteral("it follows a line that is not there")
                     : QStringLiteral("line %1 is not the one it followed").arg(entry.number - 1);
    else
        return sink(entry.number, entry.line);
    verdict->brokenAt = entry.number;
    verdict->why = reason;
}

} // namespace

bool followRecord(const QString &path, const LineSink &sink, RecordVerdict *verdict, QString *error)
{
    Record::Reader reader;
    QString why;
    if (!reader.open(path, &why)) {
        *error = QStringLiteral("cannot read the record %1: %2").arg(path, why);
        return false;
    }
    verdict->path = path;
    Record::Reader::Entry entry;
    QByteArray previousHash; // empty before the first line
    for (Step step = reader.next(&entry, &why); step != Step::End;
         step = reader.next(&entry, &why)) {
        if (step == Step::Unreadable) {
            *error = QStringLiteral("cannot read the record %1: %2").arg(path, why);
            return false;
        }
        verdict->lineCount = entry.number;
        // Past a break, lines are only counted, up to the last one's hash.
        if (verdict->intact())
            follow(step, entry, previousHash, why, sink, verdict);
        previousHash = entry.hash;
    }
    verdict->lastHash = previousHash;
    return true;
}

} // namespace Report
