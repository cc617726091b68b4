#include "cli/report/recordsource.h"

namespace Report
{

bool followRecord(const QString &path, const LineSink &sink, RecordVerdict *verdict, QString *error)
{
    verdict->path = path;
    QString why;
    if (Record::followChain(
            path, [&sink](const Record::Reader::Entry &entry) { sink(entry.number, entry.line); },
            verdict, &why))
        return true;
    *error = QStringLiteral("cannot read the record %1: %2").arg(path, why);
    return false;
}

} // namespace Report
