#ifndef YIELDREPORT_H
#define YIELDREPORT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <QVector>

// --report: how a lot went, from the records of its stations. An HTML page
// that opens offline on any PC (the charts' library inside it) and a CSV
// with one row per board.
namespace Report
{

struct RecordContents;

// Writes the report of `records` to `htmlPath` and/or `csvPath` (either may
// be empty) and returns the exit status: 0 when written and every record's
// chain is intact, 1 when a chain is broken, 2 when a record cannot be read
// or a file cannot be written.
int write(const QStringList &records, const QString &htmlPath, const QString &csvPath);

// The figures the page draws, per-hour and per-shift ones in `zone`.
QJsonObject figures(const QVector<RecordContents> &records, const QTimeZone &zone);
// One row per board: the record file and line, together a unique key, first.
QByteArray csv(const QVector<RecordContents> &records);
// The page itself, everything inlined.
QByteArray html(const QJsonObject &figures);

} // namespace Report

#endif
