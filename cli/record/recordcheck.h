#ifndef RECORDCHECK_H
#define RECORDCHECK_H

#include <QString>

namespace Record
{

// Checks the record at `path`: every line is a record's, the chain is
// unbroken, and what the boards did. Prints a report (JSON with `json`) on
// standard output and returns the exit status: 0 for an intact record, 1 for
// a broken one, 2 when it cannot be read. Takes no lock: a record a station
// is still writing can be checked.
int check(const QString &path, bool json);

} // namespace Record

#endif
