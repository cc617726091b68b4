#include "cli/record/chain.h"

#include <QCoreApplication>
#include <QSysInfo>

namespace Record
{

void Chain::resume(qint64 lines, qint64 bytes, const QByteArray &hash, const Summary &summary,
                   qint64 linesSinceCheckpoint)
{
    lineCount = lines;
    byteCount = bytes;
    lastHash = hash;
    sum = summary;
    sinceCheckpoint = linesSinceCheckpoint;
}

QByteArray Chain::link(Line *line) const
{
    line->format = Format;
    line->tool = QCoreApplication::applicationVersion();
    line->host = QSysInfo::machineHostName();
    line->prev = lastHash;
    return line->text();
}

void Chain::appended(const Line &line, const QByteArray &text)
{
    sum.add(line, ++lineCount);
    byteCount += text.size() + 1;
    lastHash = hashOf(text);
    sinceCheckpoint = line.kind == Line::Kind::Checkpoint ? 0 : sinceCheckpoint + 1;
}

Line Chain::checkpoint(const QDateTime &time) const
{
    Line line;
    line.kind = Line::Kind::Checkpoint;
    line.checkpoint = {time, lineCount + 1, byteCount, sum, {}};
    return line;
}

} // namespace Record
