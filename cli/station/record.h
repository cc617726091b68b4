#ifndef RECORD_H
#define RECORD_H

#include <QByteArray>
#include <QString>

class QJsonObject;

// A station's record proves itself: each line carries the SHA-256 of the
// line before it (`prev`), so a line changed, taken out or put in breaks the
// chain at the line after it.
namespace RecordChain
{

// The record line format, carried as `record` in every line.
constexpr int Format = 1;

// The SHA-256 of a line's bytes (without its newline), in hex.
QByteArray hashOf(const QByteArray &line);

// Checks the record at `path`: every line parses, the chain is unbroken, and
// what the boards did. Prints a report (JSON with `json`) on standard output
// and returns the exit status: 0 for an intact record, 1 for a broken one,
// 2 when it cannot be read.
int check(const QString &path, bool json);

} // namespace RecordChain

#endif
