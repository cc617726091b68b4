#include "cli/station/record.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "download/outcome.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QStringList>

#include <algorithm>

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
    if (!board.job.name.isEmpty()) {
        object.insert(QStringLiteral("job"), board.job.name);
        object.insert(QStringLiteral("job_sha256"), board.job.sha256);
        object.insert(QStringLiteral("job_quantity"),
                      board.job.quantity > 0 ? QJsonValue(board.job.quantity) : QJsonValue());
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
    board.job = {textOf("job"), textOf("job_sha256"),
                 object.value(QStringLiteral("job_quantity")).toInt()};
    return true;
}

namespace
{

// What the record says a slot's boards did.
struct SlotCount {
    int boards = 0;
    int failed = 0;
    QMap<QString, int> outcomes;
};

// What following the chain from the first line found.
struct Findings {
    int lines = 0;
    int brokenAt = 0; // the first line that breaks the chain, from 1; 0 for none
    QString why;
    QMap<QString, SlotCount> bySlot;
    QMap<QString, int> successesBySerial;
    QDateTime first;
    QDateTime last;
    // Stamps: each value reserved, how often, and what the boards that
    // carried it did.
    struct Stamp {
        int reserved = 0;
        QJsonValue number;
        bool succeeded = false;
        QString lastOutcome; // of its board's line; empty for none
    };
    QMap<QString, Stamp> stamps;
    int reservations = 0;
    // Boards flashed for a job, by its name.
    struct Job {
        int boards = 0;
        int successes = 0;
        int quantity = 0;       // as its last line says
        QSet<QString> versions; // the job file's hashes
    };
    QMap<QString, Job> jobs;

    int boards() const
    {
        int boards = 0;
        for (const SlotCount &slot : bySlot)
            boards += slot.boards;
        return boards;
    }
    double spanSeconds() const { return first.isValid() ? first.msecsTo(last) / 1000.0 : 0; }
    double boardsPerHour() const
    {
        const double span = spanSeconds();
        return span > 0 ? boards() * 3600 / span : 0;
    }
    int stampedSuccesses() const
    {
        return int(std::count_if(stamps.cbegin(), stamps.cend(),
                                 [](const Stamp &s) { return s.succeeded; }));
    }
    // Values reserved but carried by no success, with what became of them.
    QMap<QString, Stamp> burnt() const
    {
        QMap<QString, Stamp> values;
        for (auto it = stamps.cbegin(); it != stamps.cend(); ++it) {
            if (it->reserved > 0 && !it->succeeded)
                values.insert(it.key(), it.value());
        }
        return values;
    }
    QStringList reservedTwice() const
    {
        QStringList values;
        for (auto it = stamps.cbegin(); it != stamps.cend(); ++it) {
            if (it->reserved > 1)
                values << it.key();
        }
        return values;
    }
    // USB serial numbers recorded as a success more than once, with how often.
    QMap<QString, int> repeatedSerials() const
    {
        QMap<QString, int> repeated;
        for (auto it = successesBySerial.cbegin(); it != successesBySerial.cend(); ++it) {
            if (it.value() > 1)
                repeated.insert(it.key(), it.value());
        }
        return repeated;
    }
};

bool readLines(const QString &path, QList<QByteArray> *lines, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *lines = file.readAll().split('\n');
    // The newline that ends the last line leaves nothing after it.
    if (!lines->isEmpty() && lines->last().isEmpty())
        lines->removeLast();
    return true;
}

// Whether line `n` (from 0) breaks the chain, and why: it is no record's
// line, or it has a link that does not name the line before it.
bool breaks(const QList<QByteArray> &lines, int n, Line *line, QString *why)
{
    if (!read(lines[n], line, why)) {
        *why = QStringLiteral("it ") + *why;
        return true;
    }
    if (line->format == 0 || line->prev == (n == 0 ? QByteArray() : hashOf(lines[n - 1])))
        return false;
    *why = n == 0 ? QStringLiteral("it follows a line that is not there")
                  : QStringLiteral("line %1 is not the one it followed").arg(n);
    return true;
}

void count(const Line &line, Findings *findings)
{
    if (line.kind == Line::Kind::Reservation) {
        Findings::Stamp &stamp = findings->stamps[line.reservation.stamp];
        ++stamp.reserved;
        stamp.number = line.reservation.stampNumber;
        ++findings->reservations;
        return;
    }
    const Board &board = line.board;
    if (!board.stamp.isEmpty()) {
        Findings::Stamp &stamp = findings->stamps[board.stamp];
        stamp.lastOutcome = board.outcome;
        stamp.succeeded |= board.outcome == QLatin1String(Outcome::Success.text());
    }
    const bool good = board.outcome == QLatin1String(Outcome::Success.text());
    if (!board.job.name.isEmpty()) {
        Findings::Job &job = findings->jobs[board.job.name];
        ++job.boards;
        job.successes += good ? 1 : 0;
        job.quantity = board.job.quantity;
        job.versions.insert(board.job.sha256);
    }
    SlotCount &slot = findings->bySlot[board.slot];
    ++slot.boards;
    ++slot.outcomes[board.outcome];
    slot.failed += good ? 0 : 1;
    if (good && !board.usbSerial.isEmpty())
        ++findings->successesBySerial[board.usbSerial];
    if (board.time.isValid()) {
        if (!findings->first.isValid() || board.time < findings->first)
            findings->first = board.time;
        if (!findings->last.isValid() || board.time > findings->last)
            findings->last = board.time;
    }
}

// Counts the boards up to the first line that breaks the chain.
Findings follow(const QList<QByteArray> &lines)
{
    Findings findings;
    findings.lines = int(lines.size());
    for (int n = 0; n < lines.size(); ++n) {
        Line line;
        if (breaks(lines, n, &line, &findings.why)) {
            findings.brokenAt = n + 1;
            break;
        }
        count(line, &findings);
    }
    return findings;
}

QJsonObject jsonReport(const QString &path, const Findings &findings)
{
    QJsonArray slotList;
    for (auto it = findings.bySlot.cbegin(); it != findings.bySlot.cend(); ++it) {
        QJsonObject outcomes;
        for (auto o = it->outcomes.cbegin(); o != it->outcomes.cend(); ++o)
            outcomes.insert(o.key(), o.value());
        slotList.append(
            QJsonObject{{QStringLiteral("slot"), it.key()},
                        {QStringLiteral("boards"), it->boards},
                        {QStringLiteral("failed"), it->failed},
                        {QStringLiteral("failure_rate"), double(it->failed) / it->boards},
                        {QStringLiteral("outcomes"), outcomes}});
    }
    QJsonObject serials;
    const QMap<QString, int> repeated = findings.repeatedSerials();
    for (auto it = repeated.cbegin(); it != repeated.cend(); ++it)
        serials.insert(it.key(), it.value());
    QJsonArray burnt;
    const QMap<QString, Findings::Stamp> burntValues = findings.burnt();
    for (auto it = burntValues.cbegin(); it != burntValues.cend(); ++it) {
        QJsonObject value{{QStringLiteral("stamp"), it.key()},
                          {QStringLiteral("outcome"), nullIfEmpty(it->lastOutcome)}};
        if (!it->number.isUndefined())
            value.insert(QStringLiteral("stamp_number"), it->number);
        burnt.append(value);
    }
    const QJsonObject stamps{
        {QStringLiteral("reservations"), findings.reservations},
        {QStringLiteral("stamped_successes"), findings.stampedSuccesses()},
        {QStringLiteral("burnt"), burnt},
        {QStringLiteral("reserved_twice"), QJsonArray::fromStringList(findings.reservedTwice())}};
    QJsonArray jobs;
    for (auto it = findings.jobs.cbegin(); it != findings.jobs.cend(); ++it)
        jobs.append(
            QJsonObject{{QStringLiteral("job"), it.key()},
                        {QStringLiteral("boards"), it->boards},
                        {QStringLiteral("successes"), it->successes},
                        {QStringLiteral("yield"), double(it->successes) / it->boards},
                        {QStringLiteral("quantity"),
                         it->quantity > 0 ? QJsonValue(it->quantity) : QJsonValue()},
                        {QStringLiteral("left"),
                         it->quantity > 0 ? QJsonValue(std::max(0, it->quantity - it->successes))
                                          : QJsonValue()},
                        {QStringLiteral("versions"), int(it->versions.size())}});
    const bool intact = findings.brokenAt == 0;
    return {{QStringLiteral("stamps"), stamps},
            {QStringLiteral("jobs"), jobs},
            {QStringLiteral("event"), QStringLiteral("check")},
            {QStringLiteral("record"), path},
            {QStringLiteral("lines"), findings.lines},
            {QStringLiteral("intact"), intact},
            {QStringLiteral("broken_at"), intact ? QJsonValue() : QJsonValue(findings.brokenAt)},
            {QStringLiteral("reason"), intact ? QJsonValue() : QJsonValue(findings.why)},
            {QStringLiteral("slots"), slotList},
            {QStringLiteral("span_seconds"), findings.spanSeconds()},
            {QStringLiteral("boards_per_hour"), findings.boardsPerHour()},
            {QStringLiteral("repeated_usb_serials"), serials}};
}

QString textReport(const QString &path, const Findings &findings)
{
    QString text = QStringLiteral("record %1: %2 lines, ").arg(path).arg(findings.lines);
    text += findings.brokenAt == 0 ? QStringLiteral("chain intact\n")
                                   : QStringLiteral("chain broken at line %1: %2\n")
                                         .arg(findings.brokenAt)
                                         .arg(findings.why);
    if (findings.first.isValid())
        text += QStringLiteral("%1 to %2: %3 h, %4 boards/hour\n")
                    .arg(findings.first.toString(Qt::ISODate), findings.last.toString(Qt::ISODate))
                    .arg(findings.spanSeconds() / 3600, 0, 'f', 2)
                    .arg(findings.boardsPerHour(), 0, 'f', 0);
    for (auto it = findings.bySlot.cbegin(); it != findings.bySlot.cend(); ++it) {
        QStringList outcomes;
        for (auto o = it->outcomes.cbegin(); o != it->outcomes.cend(); ++o)
            outcomes << QStringLiteral("%1 %2").arg(o.value()).arg(o.key());
        text += QStringLiteral("%1: %2 boards (%3), failure rate %4%\n")
                    .arg(it.key())
                    .arg(it->boards)
                    .arg(outcomes.join(QStringLiteral(", ")))
                    .arg(100.0 * it->failed / it->boards, 0, 'f', 1);
    }
    for (auto it = findings.jobs.cbegin(); it != findings.jobs.cend(); ++it)
        text += QStringLiteral("job %1: %2 boards, %3 succeeded, yield %4%, %5, %6 version%7 of "
                               "the job file\n")
                    .arg(it.key())
                    .arg(it->boards)
                    .arg(it->successes)
                    .arg(100.0 * it->successes / it->boards, 0, 'f', 1)
                    .arg(it->quantity > 0 ? QStringLiteral("%1 of %2 left")
                                                .arg(std::max(0, it->quantity - it->successes))
                                                .arg(it->quantity)
                                          : QStringLiteral("no quantity"))
                    .arg(it->versions.size())
                    .arg(it->versions.size() == 1 ? QString() : QStringLiteral("s"));
    const QMap<QString, int> repeated = findings.repeatedSerials();
    for (auto it = repeated.cbegin(); it != repeated.cend(); ++it)
        text += QStringLiteral("usb serial %1 recorded as a success %2 times\n")
                    .arg(it.key())
                    .arg(it.value());
    if (findings.reservations == 0)
        return text;
    const QMap<QString, Findings::Stamp> burnt = findings.burnt();
    text += QStringLiteral("stamps: %1 reserved, %2 stamped successes, %3 burnt\n")
                .arg(findings.reservations)
                .arg(findings.stampedSuccesses())
                .arg(burnt.size());
    for (auto it = burnt.cbegin(); it != burnt.cend(); ++it)
        text += QStringLiteral("burnt %1%2: %3\n")
                    .arg(it.key(),
                         it->number.isUndefined()
                             ? QString()
                             : QStringLiteral(" (%1)").arg(it->number.toDouble(), 0, 'f', 0),
                         it->lastOutcome.isEmpty() ? QStringLiteral("reserved, outcome unknown")
                                                   : it->lastOutcome);
    for (const QString &value : findings.reservedTwice())
        text += QStringLiteral("stamp %1 reserved more than once\n").arg(value);
    return text;
}

} // namespace

int successesOf(const QString &path, const QString &name, QString *error)
{
    if (!QFileInfo::exists(path))
        return 0;
    QList<QByteArray> lines;
    if (!readLines(path, &lines, error))
        return -1;
    int successes = 0;
    for (const QByteArray &text : lines) {
        Line line;
        QString why;
        if (read(text, &line, &why) && line.kind == Line::Kind::Board &&
            line.board.job.name == name &&
            line.board.outcome == QLatin1String(Outcome::Success.text()))
            ++successes;
    }
    return successes;
}

int check(const QString &path, bool json)
{
    QList<QByteArray> lines;
    QString error;
    if (!readLines(path, &lines, &error)) {
        Output::put(
            stderr,
            QStringLiteral("kavro-flash: cannot read the record %1: %2\n").arg(path, error));
        return ExitStatus::Usage;
    }
    const Findings findings = follow(lines);
    if (json)
        Output::putJson(jsonReport(path, findings));
    else
        Output::put(stdout, textReport(path, findings));
    return findings.brokenAt == 0 && findings.reservedTwice().isEmpty() ? ExitStatus::Success
                                                                        : ExitStatus::Failed;
}

} // namespace Record
