#include "cli/record/record.h"

#include "cli/common/sha256.h"
#include "download/outcome.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <rapidjson/document.h>

#include <cstring>

namespace Record
{

QByteArray hashOf(const char *line, qsizetype size)
{
    thread_local Sha256 sha256;
    return sha256.hex(line, size);
}

QByteArray hashOf(const QByteArray &line)
{
    return hashOf(line.constData(), line.size());
}

namespace
{

using Json = rapidjson::Value;

QJsonValue nullIfEmpty(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

bool isText(const Json &value)
{
    return value.IsString();
}

bool isTextOrNull(const Json &value)
{
    return value.IsString() || value.IsNull();
}

bool isNumber(const Json &value)
{
    return value.IsNumber();
}

bool isFormat(const Json &value)
{
    return value.IsNumber() && value.GetDouble() >= 1;
}

// A file's first line links to none.
bool isHashOrNull(const Json &value)
{
    return value.IsNull() || (value.IsString() && value.GetStringLength() > 0);
}

bool isObjectOrNull(const Json &value)
{
    return value.IsObject() || value.IsNull();
}

bool isObject(const Json &value)
{
    return value.IsObject();
}

// A board's fields, as every format has written them, and the link's fields,
// as every line with a link carries them.
struct Field {
    const char *name;
    bool (*fits)(const Json &);
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
const Field CheckpointFields[] = {
    {"time", isText},     {"line", isNumber},        {"offset", isNumber},
    {"boards", isNumber}, {"successes", isNumber},   {"reservations", isNumber},
    {"jobs", isObject},   {"stamp", isObjectOrNull},
};
const Field StampFields[] = {{"stamp", isText}, {"flashed_sha256", isText}};
const Field LinkFields[] = {
    {"record", isFormat}, {"tool", isText}, {"host", isText}, {"prev", isHashOrNull}};

const Json &member(const Json &object, const char *name)
{
    static const Json undefined; // a null that no member is
    const auto it = object.FindMember(name);
    return it == object.MemberEnd() ? undefined : it->value;
}

bool has(const Json &object, const char *name)
{
    return object.FindMember(name) != object.MemberEnd();
}

// The first of `fields` that `object` lacks or holds something else in;
// nullptr when it has them all.
template <size_t N> const char *misfit(const Json &object, const Field (&fields)[N])
{
    for (const Field &field : fields) {
        const auto it = object.FindMember(field.name);
        if (it == object.MemberEnd() || !field.fits(it->value))
            return field.name;
    }
    return nullptr;
}

QString textOf(const Json &object, const char *name)
{
    const Json &value = member(object, name);
    return value.IsString() ? QString::fromUtf8(value.GetString(), int(value.GetStringLength()))
                            : QString();
}

qint64 integerOf(const Json &object, const char *name)
{
    const Json &value = member(object, name);
    return value.IsInt64() ? value.GetInt64() : value.IsNumber() ? qint64(value.GetDouble()) : 0;
}

// A number as Qt's JSON holds it; undefined where there is none.
QJsonValue numberOf(const Json &object, const char *name)
{
    const Json &value = member(object, name);
    if (value.IsInt64())
        return QJsonValue(qint64(value.GetInt64()));
    return value.IsNumber() ? QJsonValue(value.GetDouble()) : QJsonValue(QJsonValue::Undefined);
}

// "2026-01-05T08:00:00.000Z", as every line writes it, without the general
// parser: a record's check reads millions.
QDateTime timeOf(const Json &object)
{
    const Json &value = member(object, "time");
    const char *t = value.IsString() ? value.GetString() : "";
    const auto digits = [t](int at, int count) {
        int number = 0;
        for (int i = at; i < at + count; ++i) {
            if (t[i] < '0' || t[i] > '9')
                return -1;
            number = number * 10 + (t[i] - '0');
        }
        return number;
    };
    if (value.IsString() && value.GetStringLength() == 24 && t[4] == '-' && t[7] == '-' &&
        t[10] == 'T' && t[13] == ':' && t[16] == ':' && t[19] == '.' && t[23] == 'Z') {
        const QDate date(digits(0, 4), digits(5, 2), digits(8, 2));
        const QTime time(digits(11, 2), digits(14, 2), digits(17, 2), digits(20, 3));
        if (date.isValid() && time.isValid())
            return QDateTime(date, time, Qt::UTC);
    }
    return QDateTime::fromString(textOf(object, "time"), Qt::ISODateWithMs);
}

QJsonObject reservationFields(const Reservation &r)
{
    QJsonObject object{
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

Reservation reservationOf(const Json &object)
{
    Reservation r;
    r.time = timeOf(object);
    r.slot = textOf(object, "slot");
    r.number = int(integerOf(object, "board"));
    r.stamp = textOf(object, "stamp");
    r.stampNumber = numberOf(object, "stamp_number");
    r.listLine = int(integerOf(object, "stamp_line"));
    r.field = textOf(object, "stamp_at");
    r.listSha256 = textOf(object, "stamp_list_sha256");
    r.order = textOf(object, "stamp_order");
    return r;
}

QJsonObject boardFields(const Board &board)
{
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
    if (!board.job.name.isEmpty()) {
        object.insert(QStringLiteral("job"), board.job.name);
        object.insert(QStringLiteral("job_sha256"), board.job.sha256);
        object.insert(QStringLiteral("job_quantity"),
                      board.job.quantity > 0 ? QJsonValue(board.job.quantity) : QJsonValue());
    }
    if (!board.stamp.isEmpty()) {
        object.insert(QStringLiteral("stamp"), board.stamp);
        if (!board.stampNumber.isUndefined())
            object.insert(QStringLiteral("stamp_number"), board.stampNumber);
        object.insert(QStringLiteral("stamp_acknowledged"), board.stampAcknowledged);
        object.insert(QStringLiteral("flashed_sha256"), board.flashedSha256);
    }
    return object;
}

Board boardOf(const Json &object)
{
    Board board;
    board.time = timeOf(object);
    board.slot = textOf(object, "slot");
    board.number = int(integerOf(object, "board"));
    board.usbSerial = textOf(object, "usb_serial");
    board.image = textOf(object, "image");
    board.sha256 = textOf(object, "sha256");
    board.outcome = textOf(object, "outcome");
    board.exitCode = int(integerOf(object, "exit_code"));
    board.seconds = member(object, "seconds").GetDouble();
    board.reason = textOf(object, "reason");
    board.job = {textOf(object, "job"), textOf(object, "job_sha256"),
                 int(integerOf(object, "job_quantity"))};
    board.stamp = textOf(object, "stamp");
    board.stampNumber = numberOf(object, "stamp_number");
    board.stampAcknowledged = member(object, "stamp_acknowledged").IsTrue();
    board.flashedSha256 = textOf(object, "flashed_sha256");
    return board;
}

QJsonObject checkpointFields(const Checkpoint &c)
{
    const Summary &s = c.summary;
    QJsonObject jobs;
    for (auto it = s.jobSuccesses.cbegin(); it != s.jobSuccesses.cend(); ++it)
        jobs.insert(it.key(), it.value());
    QJsonValue stamp;
    if (!s.lastReserved.stamp.isEmpty()) {
        QJsonObject last = reservationFields(s.lastReserved);
        last.insert(QStringLiteral("line"), s.lastReservedLine);
        stamp = last;
    }
    return {{QStringLiteral("kind"), QStringLiteral("checkpoint")},
            {QStringLiteral("time"), c.time.toUTC().toString(Qt::ISODateWithMs)},
            {QStringLiteral("line"), c.number},
            {QStringLiteral("offset"), c.offset},
            {QStringLiteral("boards"), s.boards},
            {QStringLiteral("successes"), s.successes},
            {QStringLiteral("reservations"), s.reservations},
            {QStringLiteral("jobs"), jobs},
            {QStringLiteral("stamp"), stamp}};
}

// A checkpoint's stamp is a reservation's fields and the line it is on.
bool checkpointOf(const Json &object, Checkpoint *c, const char **wrong)
{
    c->time = timeOf(object);
    c->number = integerOf(object, "line");
    c->offset = integerOf(object, "offset");
    Summary &s = c->summary;
    s.boards = integerOf(object, "boards");
    s.successes = integerOf(object, "successes");
    s.reservations = integerOf(object, "reservations");
    for (const auto &job : member(object, "jobs").GetObject()) {
        if (!job.value.IsNumber()) {
            *wrong = "jobs";
            return false;
        }
        s.jobSuccesses.insert(QString::fromUtf8(job.name.GetString(), job.name.GetStringLength()),
                              job.value.IsInt64() ? job.value.GetInt64() : 0);
    }
    const Json &stamp = member(object, "stamp");
    if (stamp.IsNull())
        return true;
    *wrong = misfit(stamp, ReservationFields);
    if (*wrong || !member(stamp, "line").IsNumber()) {
        *wrong = "stamp";
        return false;
    }
    s.lastReserved = reservationOf(stamp);
    s.lastReservedLine = integerOf(stamp, "line");
    return true;
}

enum class KindFound { Board, Reservation, Checkpoint, Unknown };

KindFound kindOf(const Json &object)
{
    const Json &kind = member(object, "kind");
    if (!has(object, "kind"))
        return KindFound::Board;
    if (kind.IsString() && std::strcmp(kind.GetString(), "reservation") == 0)
        return KindFound::Reservation;
    if (kind.IsString() && std::strcmp(kind.GetString(), "checkpoint") == 0)
        return KindFound::Checkpoint;
    return KindFound::Unknown;
}

} // namespace

QByteArray Line::text() const
{
    QJsonObject object = kind == Kind::Reservation  ? reservationFields(reservation)
                         : kind == Kind::Checkpoint ? checkpointFields(checkpoint)
                                                    : boardFields(board);
    if (kind == Kind::Reservation)
        object.insert(QStringLiteral("kind"), QStringLiteral("reservation"));
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
    return read(text.constData(), text.size(), line, why);
}

bool read(const char *text, qsizetype size, Line *line, QString *why)
{
    // A line's parse needs no heap: a record's check reads millions.
    char pool[16384];
    rapidjson::MemoryPoolAllocator<> allocator(pool, sizeof pool);
    rapidjson::Document document(&allocator);
    document.Parse(text, size_t(size));
    if (document.HasParseError() || !document.IsObject()) {
        *why = QStringLiteral("does not parse");
        return false;
    }
    // Lines of the older format carry no link; every line since does.
    const bool linked = has(document, "record");
    const KindFound kind = kindOf(document);
    if (kind == KindFound::Unknown || (kind == KindFound::Checkpoint && !linked)) {
        *why = QStringLiteral("is not a record line: \"kind\" unknown");
        return false;
    }
    line->kind = kind == KindFound::Reservation  ? Line::Kind::Reservation
                 : kind == KindFound::Checkpoint ? Line::Kind::Checkpoint
                                                 : Line::Kind::Board;
    const char *wrong = kind == KindFound::Reservation  ? misfit(document, ReservationFields)
                        : kind == KindFound::Checkpoint ? misfit(document, CheckpointFields)
                                                        : misfit(document, BoardFields);
    if (!wrong && kind == KindFound::Board && has(document, "stamp"))
        wrong = misfit(document, StampFields);
    // A reservation is of the stamping format or later, so always linked.
    if (!wrong && (linked || kind == KindFound::Reservation))
        wrong = misfit(document, LinkFields);
    if (!wrong && kind == KindFound::Checkpoint)
        checkpointOf(document, &line->checkpoint, &wrong);
    if (wrong) {
        *why = QStringLiteral("is not a record line: \"%1\" missing or wrong")
                   .arg(QLatin1String(wrong));
        return false;
    }
    line->format = linked ? int(member(document, "record").GetDouble()) : 0;
    line->tool = textOf(document, "tool");
    line->host = textOf(document, "host");
    const Json &prev = member(document, "prev");
    line->prev =
        prev.IsString() ? QByteArray(prev.GetString(), int(prev.GetStringLength())) : QByteArray();
    if (kind == KindFound::Reservation)
        line->reservation = reservationOf(document);
    else if (kind == KindFound::Board)
        line->board = boardOf(document);
    return true;
}

namespace
{

// Values come in order: a number counted up, or the list's next line.
bool beyond(const Reservation &r, const Reservation &last)
{
    if (last.stamp.isEmpty())
        return true;
    if (r.listLine > 0 || last.listLine > 0)
        return r.listLine > last.listLine;
    return r.stamp.size() == last.stamp.size()
               ? r.stamp > last.stamp
               : r.stampNumber.toDouble() > last.stampNumber.toDouble();
}

} // namespace

void Summary::add(const Line &line, qint64 number)
{
    if (line.kind == Line::Kind::Reservation) {
        ++reservations;
        if (beyond(line.reservation, lastReserved)) {
            lastReserved = line.reservation;
            lastReservedLine = number;
        }
        return;
    }
    if (line.kind != Line::Kind::Board)
        return;
    ++boards;
    if (line.board.outcome != QLatin1String(Outcome::Success.text()))
        return;
    ++successes;
    if (!line.board.job.name.isEmpty())
        ++jobSuccesses[line.board.job.name];
}

QStringList Summary::differences(const Summary &other) const
{
    QStringList found;
    const auto compare = [&found](const char *name, const QString &mine, const QString &theirs) {
        if (mine != theirs)
            found << QStringLiteral("%1 %2, not %3").arg(QLatin1String(name), mine, theirs);
    };
    compare("boards", QString::number(boards), QString::number(other.boards));
    compare("successes", QString::number(successes), QString::number(other.successes));
    compare("reservations", QString::number(reservations), QString::number(other.reservations));
    QStringList mineJobs;
    QStringList theirJobs;
    for (auto it = jobSuccesses.cbegin(); it != jobSuccesses.cend(); ++it)
        mineJobs << QStringLiteral("%1=%2").arg(it.key()).arg(it.value());
    for (auto it = other.jobSuccesses.cbegin(); it != other.jobSuccesses.cend(); ++it)
        theirJobs << QStringLiteral("%1=%2").arg(it.key()).arg(it.value());
    compare("jobs", mineJobs.join(QLatin1Char(',')), theirJobs.join(QLatin1Char(',')));
    const auto stampOf = [](const Summary &s) {
        return s.lastReserved.stamp.isEmpty() ? QStringLiteral("none")
                                              : QStringLiteral("%1 (line %2)")
                                                    .arg(s.lastReserved.stamp)
                                                    .arg(s.lastReservedLine);
    };
    compare("last stamp reserved", stampOf(*this), stampOf(other));
    return found;
}

} // namespace Record
