#include "cli/record/record.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

namespace Record
{

QByteArray hashOf(const QByteArray &line)
{
    return QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex();
}

namespace
{

QJsonValue nullIfEmpty(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

bool isText(const QJsonValue &value)
{
    return value.isString();
}

bool isTextOrNull(const QJsonValue &value)
{
    return value.isString() || value.isNull();
}

bool isNumber(const QJsonValue &value)
{
    return value.isDouble();
}

bool isFormat(const QJsonValue &value)
{
    return value.isDouble() && value.toInt() >= 1;
}

// A file's first line links to none.
bool isHashOrNull(const QJsonValue &value)
{
    return value.isNull() || !value.toString().isEmpty();
}

// A board's fields, as every format has written them, and the link's fields,
// as every line with a link carries them.
struct Field {
    const char *name;
    bool (*fits)(const QJsonValue &);
};
const Field BoardFields[] = {
    {"time", isText},      {"slot", isText},   {"board", isNumber}, {"usb_serial", isTextOrNull},
    {"image", isText},     {"sha256", isText}, {"outcome", isText}, {"exit_code", isNumber},
    {"seconds", isNumber},
};
const Field ReservationFields[] = {
    {"time", isText},
    {"slot", isText},
    {"board", isNumber},
    {"stamp", isText},
    {"stamp_at", isText},
    {"stamp_list_sha256", isTextOrNull},
    {"stamp_order", isTextOrNull},
};
const Field StampFields[] = {{"stamp", isText}, {"flashed_sha256", isText}};
const Field LinkFields[] = {
    {"record", isFormat}, {"tool", isText}, {"host", isText}, {"prev", isHashOrNull}};

// The first of `fields` that `object` lacks or holds something else in;
// nullptr when it has them all.
template <size_t N> const char *misfit(const QJsonObject &object, const Field (&fields)[N])
{
    for (const Field &field : fields) {
        if (!field.fits(object.value(QLatin1String(field.name))))
            return field.name;
    }
    return nullptr;
}

QJsonObject reservationObject(const Reservation &r)
{
    QJsonObject object{
        {QStringLiteral("kind"), QStringLiteral("reservation")},
        {QStringLiteral("time"), r.time.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("slot"), r.slot},
        {QStringLiteral("board"), r.number},
        {QStringLiteral("stamp"), r.stamp},
        {QStringLiteral("stamp_at"), r.field},
        {QStringLiteral("stamp_list_sha256"), nullIfEmpty(r.listSha256)},
        {QStringLiteral("stamp_order"), nullIfEmpty(r.order)},
    };
    if (!r.stampNumber.isUndefined())
        object.insert(QStringLiteral("stamp_number"), r.stampNumber);
    if (r.listLine > 0)
        object.insert(QStringLiteral("stamp_line"), r.listLine);
    return object;
}

} // namespace

QByteArray Line::text() const
{
    if (kind == Kind::Reservation) {
        QJsonObject object = reservationObject(reservation);
        object.insert(QStringLiteral("record"), format);
        object.insert(QStringLiteral("tool"), tool);
        object.insert(QStringLiteral("host"), host);
        object.insert(QStringLiteral("prev"), nullIfEmpty(QString::fromLatin1(prev)));
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    QJsonObject object{
        {QStringLiteral("time"), board.time.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("slot"), board.slot},
        {QStringLiteral("board"), board.number},
        {QStringLiteral("usb_serial"), nullIfEmpty(board.usbSerial)},
        {QStringLiteral("image"), board.image},
        {QStringLiteral("sha256"), board.sha256},
        {QStringLiteral("outcome"), board.outcome},
        {QStringLiteral("exit_code"), board.exitCode},
        {QStringLiteral("seconds"), board.seconds},
    };
    if (!board.reason.isEmpty())
        object.insert(QStringLiteral("reason"), board.reason);
    if (!board.stamp.isEmpty()) {
        object.insert(QStringLiteral("stamp"), board.stamp);
        if (!board.stampNumber.isUndefined())
            object.insert(QStringLiteral("stamp_number"), board.stampNumber);
        object.insert(QStringLiteral("stamp_acknowledged"), board.stampAcknowledged);
        object.insert(QStringLiteral("flashed_sha256"), board.flashedSha256);
    }
    if (format > 0) {
        object.insert(QStringLiteral("record"), format);
        object.insert(QStringLiteral("tool"), tool);
        object.insert(QStringLiteral("host"), host);
        object.insert(QStringLiteral("prev"), nullIfEmpty(QString::fromLatin1(prev)));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool read(const QByteArray &text, Line *line, QString *why)
{
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (!document.isObject()) {
        *why = QStringLiteral("does not parse");
        return false;
    }
    const QJsonObject object = document.object();
    // Lines of the older format carry no link; every line since does.
    const bool linked = object.contains(QStringLiteral("record"));
    const QJsonValue kind = object.value(QStringLiteral("kind"));
    if (!kind.isUndefined() && kind != QLatin1String("reservation")) {
        *why = QStringLiteral("is not a record line: \"kind\" unknown");
        return false;
    }
    line->kind = kind.isUndefined() ? Line::Kind::Board : Line::Kind::Reservation;
    const char *wrong = line->kind == Line::Kind::Reservation ? misfit(object, ReservationFields)
                                                              : misfit(object, BoardFields);
    if (!wrong && line->kind == Line::Kind::Board && object.contains(QStringLiteral("stamp")))
        wrong = misfit(object, StampFields);
    // A reservation is of the stamping format or later, so always linked.
    if (!wrong && (linked || line->kind == Line::Kind::Reservation))
        wrong = misfit(object, LinkFields);
    if (wrong) {
        *why = QStringLiteral("is not a record line: \"%1\" missing or wrong")
                   .arg(QLatin1String(wrong));
        return false;
    }
    const auto textOf = [&object](const char *name) {
        return object.value(QLatin1String(name)).toString();
    };
    line->format = linked ? object.value(QStringLiteral("record")).toInt() : 0;
    line->tool = textOf("tool");
    line->host = textOf("host");
    line->prev = textOf("prev").toLatin1();
    if (line->kind == Line::Kind::Reservation) {
        Reservation &r = line->reservation;
        r.time = QDateTime::fromString(textOf("time"), Qt::ISODateWithMs);
        r.slot = textOf("slot");
        r.number = object.value(QStringLiteral("board")).toInt();
        r.stamp = textOf("stamp");
        r.stampNumber = object.value(QStringLiteral("stamp_number"));
        r.listLine = object.value(QStringLiteral("stamp_line")).toInt();
        r.field = textOf("stamp_at");
        r.listSha256 = textOf("stamp_list_sha256");
        r.order = textOf("stamp_order");
        return true;
    }
    Board &board = line->board;
    board.time = QDateTime::fromString(textOf("time"), Qt::ISODateWithMs);
    board.slot = textOf("slot");
    board.number = object.value(QStringLiteral("board")).toInt();
    board.usbSerial = textOf("usb_serial");
    board.image = textOf("image");
    board.sha256 = textOf("sha256");
    board.outcome = textOf("outcome");
    board.exitCode = object.value(QStringLiteral("exit_code")).toInt();
    board.seconds = object.value(QStringLiteral("seconds")).toDouble();
    board.reason = textOf("reason");
    board.stamp = textOf("stamp");
    board.stampNumber = object.value(QStringLiteral("stamp_number"));
    board.stampAcknowledged = object.value(QStringLiteral("stamp_acknowledged")).toBool();
    board.flashedSha256 = textOf("flashed_sha256");
    return true;
}

} // namespace Record
