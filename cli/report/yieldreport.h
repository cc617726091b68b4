#ifndef YIELDREPORT_H
#define YIELDREPORT_H

#include <QString>
#include <QStringList>

// --report: how a lot went, from the records of its stations. An HTML page
// that opens offline on any PC (the charts' library inside it) and a CSV
// with one row per board.
namespace Report
{

// Cycle-time figures are taken over each slot's last CycleWindow boards, so
// that the report's memory does not grow with the records.
constexpr int CycleWindow = 1000;

// Writes the report of `records` to `htmlPath` and/or `csvPath` (either may
// be empty) and returns the exit status: 0 when written and every record's
// chain is intact, 1 when a chain is broken, 2 when a record cannot be read
// or a file cannot be written. Each record is read once, line by line: CSV
// rows go out as their lines are read.
int write(const QStringList &records, const QString &htmlPath, const QString &csvPath);

} // namespace Report

#endif
