#include "cli/record/stampledger.h"

#include "cli/record/recordwriter.h"

#include <QDateTime>

namespace
{

// A reserved value as the source knows it.
Stamp::Value valueOf(const Record::Reservation &r)
{
    Stamp::Value value;
    value.bytes = QByteArray::fromHex(r.stamp.toLatin1());
    value.listLine = r.listLine;
    bool ok = false;
    const quint64 number = r.stamp.toULongLong(&ok, 16);
    if (r.listLine == 0 && ok)
        value.number = number;
    return value;
}

} // namespace

bool StampLedger::open(Stamp::Source values, Record::Writer *recordWriter, const QString &path,
                       QString *error)
{
    source = std::move(values);
    plan = source.plan();
    writer = recordWriter;
    // The writer has read the record's summary: the value reserved last.
    const Record::Reservation &r = writer->summary().lastReserved;
    if (r.stamp.isEmpty())
        return true;
    // Numbers in another byte order would write one value's bytes as another's.
    if (r.field != plan.field() || r.listSha256 != source.listSha256() || r.order != plan.order()) {
        const auto describe = [](const QString &order, const QString &list) {
            return order.isEmpty() ? list : QStringLiteral("as %1-endian numbers").arg(order);
        };
        *error =
            QStringLiteral("the record %1 holds values stamped at %2 %3 (line %4), not "
                           "at %5 %6; name a new record for another stamp")
                .arg(path, r.field,
                     describe(r.order,
                              QStringLiteral("from a list with sha256 %1").arg(r.listSha256)))
                .arg(writer->summary().lastReservedLine)
                .arg(plan.field(),
                     describe(plan.order(), QStringLiteral("from the list %1").arg(plan.listPath)));
        return false;
    }
    source.skipPast(valueOf(r));
    return true;
}

StampLedger::Result StampLedger::reserve(const QString &slot, int board, Stamp::Value *value,
                                         QString *error)
{
    if (!source.next(value))
        return Result::NoneLeft;
    Record::Reservation r;
    r.time = QDateTime::currentDateTimeUtc();
    r.slot = slot;
    r.number = board;
    r.stamp = value->hex();
    r.stampNumber = value->numberJson();
    r.listLine = value->listLine;
    r.field = plan.field();
    r.listSha256 = source.listSha256();
    r.order = plan.order();
    // Given out once it is on disk, or once it may be: a reservation that
    // did not go in is burnt all the same.
    if (!writer->reserve(r, error))
        return Result::NotWritten;
    if (!first.isValid())
        first = *value;
    last = *value;
    return Result::Reserved;
}

QString StampLedger::rangeText() const
{
    if (!first.isValid())
        return QString();
    if (first.number)
        return QStringLiteral("%1 to %2").arg(*first.number).arg(*last.number);
    return QStringLiteral("%1 to %2 (lines %3 to %4 of %5)")
        .arg(first.hex(), last.hex())
        .arg(first.listLine)
        .arg(last.listLine)
        .arg(plan.listPath);
}
