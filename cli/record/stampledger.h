#ifndef STAMPLEDGER_H
#define STAMPLEDGER_H

#include "cli/common/stamp.h"
#include "cli/record/record.h"

#include <QString>

namespace Record
{
class Writer;
}

// Stamp values handed out through a record: each one reserved there, on
// disk, before its board's first frame, so no value ever goes to two boards,
// whatever ends the program. A restart on the record goes on after the
// values already reserved.
class StampLedger
{
public:
    enum class Result { Reserved, NoneLeft, NotWritten };

    // Takes its values from `values`, opened already (a list is read
    // through as it opens: once is enough), and goes on after the value
    // reserved last in the record that `writer` has open (at `path`);
    // refuses a record whose values were of another stamp.
    bool open(Stamp::Source values, Record::Writer *writer, const QString &path, QString *error);
    // The next value, reserved for the board.
    Result reserve(const QString &slot, int board, Stamp::Value *value, QString *error);
    // The values reserved in this run, for the summary ("1000 to 1002");
    // empty for none.
    QString rangeText() const;

private:
    Stamp::Plan plan;
    Stamp::Source source;
    Record::Writer *writer = nullptr;
    Stamp::Value first;
    Stamp::Value last;
};

#endif
