#include "cli/record/chainreader.h"

#include <optional>

namespace Record
{

namespace
{

// Why `entry` breaks the chain after the line hashed `before`; none where it
// carries it on.
std::optional<QString> breakAt(Reader::Step step, const Reader::Entry &entry,
                               const QByteArray &before, const QString &why)
{
    if (step == Reader::Step::NotALine)
        return QStringLiteral("it ") + why;
    const Line &line = entry.line;
    const bool continues =
        line.kind == Line::Kind::Checkpoint && !line.checkpoint.continues.isEmpty();
    // A record that continues another links its first line to that one's last.
    if (continues)
        return entry.number == 1 && line.prev == line.checkpoint.continues.sha256
                   ? std::nullopt
                   : std::optional<QString>(
                         QStringLiteral("it names a record it continues, which only a first "
                                        "line does, linked to that record's last line"));
    // Lines of the older format carry no link.
    if (line.format == 0 || line.prev == before)
        return std::nullopt;
    return entry.number == 1
               ? QStringLiteral("it follows a line that is not there")
               : QStringLiteral("line %1 is not the one it followed").arg(entry.number - 1);
}

} // namespace

bool followChain(const QString &path, const ChainSink &sink, ChainVerdict *verdict, QString *error)
{
    Reader reader;
    if (!reader.open(path, error))
        return false;
    Reader::Entry entry;
    QString why;
    for (;;) {
        const Reader::Step step = reader.next(&entry, &why);
        if (step == Reader::Step::End)
            return true;
        if (step == Reader::Step::Unreadable) {
            *error = why;
            return false;
        }
        verdict->lineCount = entry.number;
        if (verdict->intact()) {
            if (const std::optional<QString> broken =
                    breakAt(step, entry, verdict->lastHash, why)) {
                verdict->brokenAt = entry.number;
                verdict->why = *broken;
            } else {
                sink(entry);
            }
        }
        verdict->lastHash = entry.hash;
    }
}

} // namespace Record
