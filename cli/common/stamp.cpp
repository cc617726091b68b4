#include "cli/common/stamp.h"

#include "download/firmwareimage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <limits>

namespace Stamp
{

namespace
{

constexpr int MaxWidth = 16;
constexpr int MaxNumberWidth = 8;

// The largest number `width` bytes hold.
quint64 largest(int width)
{
    return width >= 8 ? std::numeric_limits<quint64>::max() : (quint64(1) << (8 * width)) - 1;
}

} // namespace

QString Plan::field() const
{
    return QStringLiteral("0x%1:%2").arg(offset, 0, 16).arg(width);
}

QString Plan::order() const
{
    if (!listPath.isEmpty())
        return QString();
    return bigEndian ? QStringLiteral("big") : QStringLiteral("little");
}

QString Value::hex() const
{
    if (!number)
        return QString::fromLatin1(bytes.toHex().toUpper());
    return QStringLiteral("%1").arg(*number, 2 * int(bytes.size()), 16, QLatin1Char('0')).toUpper();
}

QString Value::text() const
{
    return number ? QStringLiteral("%1 (%2)").arg(hex()).arg(*number) : hex();
}

QJsonValue Value::numberJson() const
{
    if (!number)
        return QJsonValue(QJsonValue::Undefined);
    // Past 2^63 a qint64 would turn negative.
    return *number <= quint64(std::numeric_limits<qint64>::max()) ? QJsonValue(qint64(*number))
                                                                  : QJsonValue(double(*number));
}

void Value::addTo(QJsonObject &object) const
{
    object.insert(QStringLiteral("stamp"), hex());
    if (number)
        object.insert(QStringLiteral("stamp_number"), numberJson());
}

bool parseNumber(const QString &text, quint64 *value)
{
    bool ok = false;
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    *value = (hex ? text.mid(2) : text).toULongLong(&ok, hex ? 16 : 10);
    return ok && !text.startsWith(QLatin1Char('+')) && !text.startsWith(QLatin1Char('-'));
}

bool parseField(const QString &text, Plan *plan, QString *error)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    quint64 offset = 0;
    quint64 width = 0;
    if (parts.size() != 2 || !parseNumber(parts[0], &offset) || !parseNumber(parts[1], &width)) {
        *error = QStringLiteral("--stamp needs OFFSET:WIDTH (0x80:4, say), not '%1'").arg(text);
        return false;
    }
    if (width < 1 || width > MaxWidth) {
        *error =
            QStringLiteral("--stamp width must be 1 to %1 bytes, not %2").arg(MaxWidth).arg(width);
        return false;
    }
    if (offset > quint64(std::numeric_limits<qint32>::max())) {
        *error = QStringLiteral("--stamp offset %1 is past any image").arg(parts[0]);
        return false;
    }
    plan->offset = qint64(offset);
    plan->width = int(width);
    return true;
}

bool fits(const Plan &plan, qint64 blocks, QString *error)
{
    const qint64 begin = FirmwareImage::HeaderSize;
    const qint64 end = begin + blocks * FirmwareImage::BlockSize;
    if (plan.offset < begin || plan.offset + plan.width > end) {
        *error = QStringLiteral("--stamp %1 is not inside the data that is sent: bytes 0x%2 to "
                                "0x%3 (the header and a last partial block are not sent)")
                     .arg(plan.field())
                     .arg(begin, 0, 16)
                     .arg(end - 1, 0, 16);
        return false;
    }
    if (!plan.listPath.isEmpty())
        return true;
    if (plan.width > MaxNumberWidth) {
        *error = QStringLiteral("numbers are at most %1 bytes wide: a --stamp of %2 bytes needs "
                                "--stamp-list")
                     .arg(MaxNumberWidth)
                     .arg(plan.width);
        return false;
    }
    if (plan.start > largest(plan.width) || plan.step == 0) {
        *error = plan.step == 0 ? QStringLiteral("--stamp-step must not be 0")
                                : QStringLiteral("--stamp-start %1 does not fit in %2 byte(s)")
                                      .arg(plan.start)
                                      .arg(plan.width);
        return false;
    }
    return true;
}

qint64 lastBlock(const Plan &plan)
{
    return (plan.offset + plan.width - 1 - FirmwareImage::HeaderSize) / FirmwareImage::BlockSize;
}

QByteArray stamped(const QByteArray &image, const Plan &plan, const Value &value)
{
    QByteArray copy = image;
    copy.replace(int(plan.offset), plan.width, value.bytes);
    return copy;
}

bool Source::open(const Plan &stampSpec, QString *error)
{
    plan = stampSpec;
    nextNumber = plan.start;
    if (plan.listPath.isEmpty())
        return true;
    QFile file(plan.listPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the stamp list %1: %2")
                     .arg(plan.listPath, file.errorString());
        return false;
    }
    const QByteArray content = file.readAll();
    listHash =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    const QList<QByteArray> lines = content.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QByteArray bytes = QByteArray::fromHex(line);
        const bool hexOnly = std::all_of(line.cbegin(), line.cend(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        });
        if (!hexOnly || line.size() != 2 * plan.width) {
            *error = QStringLiteral("%1 line %2: a value must be exactly %3 hex digits, not '%4'")
                         .arg(plan.listPath)
                         .arg(n + 1)
                         .arg(2 * plan.width)
                         .arg(QString::fromUtf8(line));
            return false;
        }
        // A value twice in the list would go to two boards.
        const auto same = std::find_if(list.cbegin(), list.cend(),
                                       [&bytes](const Value &v) { return v.bytes == bytes; });
        if (same != list.cend()) {
            *error = QStringLiteral("%1 line %2: the value %3 is on line %4 already")
                         .arg(plan.listPath)
                         .arg(n + 1)
                         .arg(QString::fromLatin1(bytes.toHex().toUpper()))
                         .arg(same->listLine);
            return false;
        }
        list.append(Value{bytes, std::nullopt, n + 1});
    }
    return true;
}

Value Source::numberValue(quint64 number) const
{
    QByteArray bytes(plan.width, '\0');
    for (int i = 0; i < plan.width; ++i) {
        const char byte = char((number >> (8 * i)) & 0xff);
        bytes[plan.bigEndian ? plan.width - 1 - i : i] = byte;
    }
    return Value{bytes, number, 0};
}

void Source::skipPast(const Value &reserved)
{
    if (!plan.listPath.isEmpty()) {
        for (int i = 0; i < list.size(); ++i) {
            if (list[i].listLine == reserved.listLine)
                nextIndex = std::max(nextIndex, i + 1);
        }
        return;
    }
    if (!reserved.number || !nextNumber || *reserved.number < *nextNumber)
        return;
    // Past the end of the width, or of 64 bits: none left.
    const quint64 after = *reserved.number + plan.step;
    if (after < *reserved.number || after > largest(plan.width))
        nextNumber.reset();
    else
        nextNumber = after;
}

bool Source::next(Value *value)
{
    if (!plan.listPath.isEmpty()) {
        if (nextIndex >= list.size())
            return false;
        *value = list[nextIndex++];
        return true;
    }
    if (!nextNumber)
        return false;
    *value = numberValue(*nextNumber);
    skipPast(*value);
    return true;
}

} // namespace Stamp
