#include "cli/record/record.h"

#include "cli/common/sha256.h"
#include "download/outcome.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <rapidjson/document.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

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

// Every name a line's object may hold.
enum class Key {
    Board,
    Boards,
    Continues,
    ExitCode,
    File,
    FlashedSha256,
    Host,
    Image,
    Job,
    JobQuantity,
    JobSha256,
    Jobs,
    Kind,
    Line,
    Offset,
    Outcome,
    Prev,
    Reason,
    Record,
    Reservations,
    Seconds,
    Sha256,
    Slot,
    Stamp,
    StampAcknowledged,
    StampAt,
    StampLine,
    StampListSha256,
    StampNumber,
    StampOrder,
    Successes,
    Time,
    Tool,
    UsbSerial,
    Count
};
// In the order of Key, which is the names' own, for a binary search.
constexpr std::string_view KeyNames[] = {"board",
                                         "boards",
                                         "continues",
                                         "exit_code",
                                         "file",
                                         "flashed_sha256",
                                         "host",
                                         "image",
                                         "job",
                                         "job_quantity",
                                         "job_sha256",
                                         "jobs",
                                         "kind",
                                         "line",
                                         "offset",
                                         "outcome",
                                         "prev",
                                         "reason",
                                         "record",
                                         "reservations",
                                         "seconds",
                                         "sha256",
                                         "slot",
                                         "stamp",
                                         "stamp_acknowledged",
                                         "stamp_at",
                                         "stamp_line",
                                         "stamp_list_sha256",
                                         "stamp_number",
                                         "stamp_order",
                                         "successes",
                                         "time",
                                         "tool",
                                         "usb_serial"};
static_assert(std::size(KeyNames) == size_t(Key::Count));

constexpr bool namesSorted()
{
    for (size_t n = 1; n < std::size(KeyNames); ++n) {
        if (!(KeyNames[n - 1] < KeyNames[n]))
            return false;
    }
    return true;
}
static_assert(namesSorted());

// An object's members by name, found in one pass over them: a record's
// check reads millions of lines, each asked for a score of names. Lines come
// from one builder, their names in the same places, so the name found at a
// place last time is tried first there. The first of a name written twice
// counts, as a search by name finds it.
class Members
{
public:
    explicit Members(const Json &object)
    {
        if (!object.IsObject())
            return;
        thread_local int lastAt[int(Key::Count) * 2] = {};
        int place = 0;
        for (const auto &m : object.GetObject()) {
            const std::string_view name(m.name.GetString(), m.name.GetStringLength());
            int &hint = lastAt[std::min(place++, int(std::size(lastAt)) - 1)];
            if (KeyNames[hint] != name) {
                const auto *found =
                    std::lower_bound(std::begin(KeyNames), std::end(KeyNames), name);
                if (found == std::end(KeyNames) || *found != name)
                    continue;
                hint = int(found - std::begin(KeyNames));
            }
            if (!at[hint])
                at[hint] = &m.value;
        }
    }
    const Json &operator[](Key key) const
    {
        static const Json undefined; // a null that no member is
        const Json *value = at[int(key)];
        return value ? *value : undefined;
    }
    bool has(Key key) const { return at[int(key)] != nullptr; }

private:
    const Json *at[int(Key::Count)] = {};
};

// A board's fields, as every format has written them, and the link's fields,
// as every line with a link carries them.
struct Field {
    Key key;
    bool (*fits)(const Json &);
};
const Field BoardFields[] = {
    {Key::Time, isText},      {Key::Slot, isText},
    {Key::Board, isNumber},   {Key::UsbSerial, isTextOrNull},
    {Key::Image, isText},     {Key::Sha256, isText},
    {Key::Outcome, isText},   {Key::ExitCode, isNumber},
    {Key::Seconds, isNumber},
};
const Field ReservationFields[] = {
    {Key::Time, isText},
    {Key::Slot, isText},
    {Key::Board, isNumber},
    {Key::Stamp, isText},
    {Key::StampAt, isText},
    {Key::StampListSha256, isTextOrNull},
    {Key::StampOrder, isTextOrNull},
};
const Field CheckpointFields[] = {
    {Key::Time, isText},     {Key::Line, isNumber},        {Key::Offset, isNumber},
    {Key::Boards, isNumber}, {Key::Successes, isNumber},   {Key::Reservations, isNumber},
    {Key::Jobs, isObject},   {Key::Stamp, isObjectOrNull},
};
const Field StampFields[] = {{Key::Stamp, isText}, {Key::FlashedSha256, isText}};
const Field LinkFields[] = {
    {Key::Record, isFormat}, {Key::Tool, isText}, {Key::Host, isText}, {Key::Prev, isHashOrNull}};

// The first of `fields` that `m` lacks or holds something else in; none
// when it has them all.
template <size_t N> std::optional<Key> misfit(const Members &m, const Field (&fields)[N])
{
    for (const Field &field : fields) {
        if (!m.has(field.key) || !field.fits(m[field.key]))
            return field.key;
    }
    return std::nullopt;
}

QString textOf(const Members &m, Key key)
{
    const Json &value = m[key];
    return value.IsString() ? QString::fromUtf8(value.GetString(), int(value.GetStringLength()))
                            : QString();
}

qint64 integerOf(const Members &m, Key key)
{
    const Json &value = m[key];
    return value.IsInt64() ? value.GetInt64() : value.IsNumber() ? qint64(value.GetDouble()) : 0;
}

// A number as Qt's JSON holds it; undefined where there is none.
QJsonValue numberOf(const Members &m, Key key)
{
    const Json &value = m[key];
    if (value.IsInt64())
        return QJsonValue(qint64(value.GetInt64()));
    return value.IsNumber() ? QJsonValue(value.GetDouble()) : QJsonValue(QJsonValue::Undefined);
}

// "2026-01-05T08:00:00.000Z", as every line writes it, without the general
// parser: a record's check reads millions.
QDateTime timeOf(const Members &m)
{
    const Json &value = m[Key::Time];
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
    return QDateTime::fromString(textOf(m, Key::Time), Qt::ISODateWithMs);
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

Reservation reservationOf(const Members &m)
{
    Reservation r;
    r.time = timeOf(m);
    r.slot = textOf(m, Key::Slot);
    r.number = int(integerOf(m, Key::Board));
    r.stamp = textOf(m, Key::Stamp);
    r.stampNumber = numberOf(m, Key::StampNumber);
    r.listLine = int(integerOf(m, Key::StampLine));
    r.field = textOf(m, Key::StampAt);
    r.listSha256 = textOf(m, Key::StampListSha256);
    r.order = textOf(m, Key::StampOrder);
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

Board boardOf(const Members &m)
{
    Board board;
    board.time = timeOf(m);
    board.slot = textOf(m, Key::Slot);
    board.number = int(integerOf(m, Key::Board));
    board.usbSerial = textOf(m, Key::UsbSerial);
    board.image = textOf(m, Key::Image);
    board.sha256 = textOf(m, Key::Sha256);
    board.outcome = textOf(m, Key::Outcome);
    board.exitCode = int(integerOf(m, Key::ExitCode));
    board.seconds = m[Key::Seconds].GetDouble();
    board.reason = textOf(m, Key::Reason);
    board.job = {textOf(m, Key::Job), textOf(m, Key::JobSha256),
                 int(integerOf(m, Key::JobQuantity))};
    board.stamp = textOf(m, Key::Stamp);
    board.stampNumber = numberOf(m, Key::StampNumber);
    board.stampAcknowledged = m[Key::StampAcknowledged].IsTrue();
    board.flashedSha256 = textOf(m, Key::FlashedSha256);
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
    QJsonObject fields{{QStringLiteral("kind"), QStringLiteral("checkpoint")},
                       {QStringLiteral("time"), c.time.toUTC().toString(Qt::ISODateWithMs)},
                       {QStringLiteral("line"), c.number},
                       {QStringLiteral("offset"), c.offset},
                       {QStringLiteral("boards"), s.boards},
                       {QStringLiteral("successes"), s.successes},
                       {QStringLiteral("reservations"), s.reservations},
                       {QStringLiteral("jobs"), jobs},
                       {QStringLiteral("stamp"), stamp}};
    if (!c.continues.isEmpty())
        fields.insert(
            QStringLiteral("continues"),
            QJsonObject{{QStringLiteral("file"), c.continues.file},
                        {QStringLiteral("line"), c.continues.line},
                        {QStringLiteral("sha256"), QString::fromLatin1(c.continues.sha256)}});
    return fields;
}

// The record a checkpoint says this one continues, where it says one.
std::optional<Key> continuedOf(const Members &m, Continued *continues)
{
    if (!m.has(Key::Continues))
        return std::nullopt;
    const Members c(m[Key::Continues]);
    if (!isText(c[Key::File]) || !isNumber(c[Key::Line]) || !isText(c[Key::Sha256]))
        return Key::Continues;
    continues->file = textOf(c, Key::File);
    continues->line = integerOf(c, Key::Line);
    continues->sha256 = textOf(c, Key::Sha256).toLatin1();
    return std::nullopt;
}

// A checkpoint's stamp is a reservation's fields and the line it is on.
std::optional<Key> checkpointOf(const Members &m, Checkpoint *c)
{
    c->time = timeOf(m);
    c->number = integerOf(m, Key::Line);
    c->offset = integerOf(m, Key::Offset);
    Summary &s = c->summary;
    s.boards = integerOf(m, Key::Boards);
    s.successes = integerOf(m, Key::Successes);
    s.reservations = integerOf(m, Key::Reservations);
    for (const auto &job : m[Key::Jobs].GetObject()) {
        if (!job.value.IsNumber())
            return Key::Jobs;
        s.jobSuccesses.insert(QString::fromUtf8(job.name.GetString(), job.name.GetStringLength()),
                              job.value.IsInt64() ? job.value.GetInt64() : 0);
    }
    if (const std::optional<Key> wrong = continuedOf(m, &c->continues))
        return wrong;
    if (m[Key::Stamp].IsNull())
        return std::nullopt;
    const Members stamp(m[Key::Stamp]);
    if (misfit(stamp, ReservationFields) || !stamp[Key::Line].IsNumber())
        return Key::Stamp;
    s.lastReserved = reservationOf(stamp);
    s.lastReservedLine = integerOf(stamp, Key::Line);
    return std::nullopt;
}

enum class KindFound { Board, Reservation, Checkpoint, Unknown };

KindFound kindOf(const Members &m)
{
    const Json &kind = m[Key::Kind];
    if (!m.has(Key::Kind))
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
    // A line's parse needs no heap: a record's check reads millions. It is
    // parsed in place, in a copy that ends where the line does: a NUL in the
    // line would end it early, so a line with one is none.
    thread_local std::string copy;
    char pool[16384];
    rapidjson::MemoryPoolAllocator<> allocator(pool, sizeof pool);
    rapidjson::Document document(&allocator);
    copy.assign(text, size_t(size));
    if (std::memchr(text, '\0', size_t(size)) == nullptr)
        document.ParseInsitu(copy.data());
    if (document.HasParseError() || !document.IsObject()) {
        *why = QStringLiteral("does not parse");
        return false;
    }
    const Members m(document);
    // Lines of the older format carry no link; every line since does.
    const bool linked = m.has(Key::Record);
    const KindFound kind = kindOf(m);
    if (kind == KindFound::Unknown || (kind == KindFound::Checkpoint && !linked)) {
        *why = QStringLiteral("is not a record line: \"kind\" unknown");
        return false;
    }
    line->kind = kind == KindFound::Reservation  ? Line::Kind::Reservation
                 : kind == KindFound::Checkpoint ? Line::Kind::Checkpoint
                                                 : Line::Kind::Board;
    std::optional<Key> wrong = kind == KindFound::Reservation  ? misfit(m, ReservationFields)
                               : kind == KindFound::Checkpoint ? misfit(m, CheckpointFields)
                                                               : misfit(m, BoardFields);
    if (!wrong && kind == KindFound::Board && m.has(Key::Stamp))
        wrong = misfit(m, StampFields);
    // A reservation is of the stamping format or later, so always linked.
    if (!wrong && (linked || kind == KindFound::Reservation))
        wrong = misfit(m, LinkFields);
    if (!wrong && kind == KindFound::Checkpoint)
        wrong = checkpointOf(m, &line->checkpoint);
    if (wrong) {
        const std::string_view name = KeyNames[int(*wrong)];
        *why = QStringLiteral("is not a record line: \"%1\" missing or wrong")
                   .arg(QLatin1String(name.data(), int(name.size())));
        return false;
    }
    line->format = linked ? int(m[Key::Record].GetDouble()) : 0;
    line->tool = textOf(m, Key::Tool);
    line->host = textOf(m, Key::Host);
    const Json &prev = m[Key::Prev];
    line->prev =
        prev.IsString() ? QByteArray(prev.GetString(), int(prev.GetStringLength())) : QByteArray();
    if (kind == KindFound::Reservation)
        line->reservation = reservationOf(m);
    else if (kind == KindFound::Board)
        line->board = boardOf(m);
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
