#include "cli/report/recordsource.h"

#include <QFile>

namespace Report
{

bool readRecord(const QString &path, RecordContents *contents, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the record %1: %2").arg(path, file.errorString());
        return false;
    }
    QList<QByteArray> texts = file.readAll().split('\n');
    // The newline that ends the last line leaves nothing after it.
    if (!texts.isEmpty() && texts.last().isEmpty())
        texts.removeLast();
    contents->path = path;
    contents->lineCount = int(texts.size());
    contents->lastHash = texts.isEmpty() ? QByteArray() : Record::hashOf(texts.last());
    for (int n = 0; n < texts.size(); ++n) {
        Record::Line line;
        QString why;
        if (!Record::read(texts[n], &line, &why)) {
            contents->why = QStringLiteral("it ") + why;
        } else if (line.format != 0 &&
                   line.prev != (n == 0 ? QByteArray() : Record::hashOf(texts[n - 1]))) {
            contents->why = n == 0 ? QStringLiteral("it follows a line that is not there")
                                   : QStringLiteral("line %1 is not the one it followed").arg(n);
        } else {
            contents->lines.append({n + 1, line});
            continue;
        }
        contents->brokenAt = n + 1;
        break;
    }
    return true;
}

} // namespace Report
