#include "cli/record/recordcheck.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/record/recordreader.h"
#include "download/outcome.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QStringList>

#include <algorithm>

namespace Record
{

namespace
{

QJsonValue nullIfEmpty(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

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
    SlotCount &slot = findings->bySlot[board.slot];
    ++slot.boards;
    ++slot.outcomes[board.outcome];
    const bool good = board.outcome == QLatin1String(Outcome::Success.text());
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

// Follows the chain from the first line, counting the boards up to the
// first line that breaks it; false when the record cannot be read.
bool follow(const QString &path, Findings *findings, QString *error)
{
    Reader reader;
    if (!reader.open(path, error))
        return false;
    Reader::Entry entry;
    QByteArray before; // the hash of the line before
    QString why;
    for (;;) {
        const Reader::Step step = reader.next(&entry, &why);
        if (step == Reader::Step::End)
            return true;
        if (step == Reader::Step::Unreadable) {
            *error = why;
            return false;
        }
        findings->lines = int(entry.number);
        if (findings->brokenAt == 0) {
            if (step == Reader::Step::NotALine)
                findings->why = QStringLiteral("it ") + why;
            else if (entry.line.format > 0 && entry.line.prev != before)
                findings->why = entry.number == 1
                                    ? QStringLiteral("it follows a line that is not there")
                                    : QStringLiteral("line %1 is not the one it followed")
                                          .arg(entry.number - 1);
            else
                count(entry.line, findings);
            if (!findings->why.isEmpty())
                findings->brokenAt = int(entry.number);
        }
        before = hashOf(entry.text);
    }
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
    const bool intact = findings.brokenAt == 0;
    return {{QStringLiteral("stamps"), stamps},
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

int check(const QString &path, bool json)
{
    Findings findings;
    QString error;
    if (!follow(path, &findings, &error)) {
        Output::put(
            stderr,
            QStringLiteral("kavro-flash: cannot read the record %1: %2\n").arg(path, error));
        return ExitStatus::Usage;
    }
    if (json)
        Output::putJson(jsonReport(path, findings));
    else
        Output::put(stdout, textReport(path, findings));
    return findings.brokenAt == 0 && findings.reservedTwice().isEmpty() ? ExitStatus::Success
                                                                        : ExitStatus::Failed;
}

} // namespace Record
