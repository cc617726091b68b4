#include "cli/record/recordcheck.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/record/chainreader.h"
#include "download/outcome.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QStringList>

#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <deque>
#include <functional>
#include <string_view>
#include <vector>

namespace Record
{

namespace
{

// The report names this many repeated USB serial numbers, and counts the rest.
constexpr int SerialsNamed = 10;
// Serial numbers are known by name up to this many; beyond it, by hash only.
constexpr int SerialsKnownByName = 4096;
// Checkpoints that differ, named in the report; the rest are counted.
constexpr int CheckpointsNamed = 10;

QJsonValue nullIfEmpty(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

// A stamp value in 8 bytes: its own bits up to 8 bytes, a hash of its hex
// beyond that.
quint64 hash64(const QString &text)
{
    return std::hash<std::u16string_view>()(
        std::u16string_view(reinterpret_cast<const char16_t *>(text.utf16()), size_t(text.size())));
}

quint64 keyOf(const QString &hex)
{
    bool ok = false;
    const quint64 value = hex.toULongLong(&ok, 16);
    return hex.size() <= 16 && ok ? value : hash64(hex);
}

// What the record says a slot's boards did.
struct SlotCount {
    int boards = 0;
    int failed = 0;
    QMap<QString, int> outcomes;
};

// A stamp value whose board did not succeed, or is not in the record.
struct Unfinished {
    QString hex;
    QJsonValue number;
    QString outcome; // of its board's line; empty for none
};

// What following the chain from the first line found, in memory that does
// not grow with the record but for 8 bytes and a bit for each stamp value
// (and a few more for each that is unfinished) and 8 bytes for each
// success's USB serial number.
struct Findings {
    qint64 lines = 0;
    QByteArray lastHash; // of the file's last line: what a record that continues it links to
    qint64 brokenAt = 0; // the first line that breaks the chain, from 1; 0 for none
    QString why;
    QMap<QString, SlotCount> bySlot;
    QDateTime first; // the earliest and latest board times
    QDateTime last;

    std::deque<quint64> successSerials; // each success's serial, as a key
    QHash<QString, int> serialsByName;  // the first ones seen, counted
    std::deque<quint64> reserved;       // each reservation's value, in order
    std::vector<bool> succeeded;        // by reservation, in the same order
    QHash<quint64, qint64> awaited;     // reserved, its board's line not yet seen
    // Each value whose board has not succeeded, by the offset of the line
    // that says so last: read again for the few the report names.
    QHash<quint64, qint64> unfinished;
    qint64 reservations = 0;
    qint64 unreservedSuccesses = 0;

    // Boards flashed for a job, by its name.
    struct Job {
        int boards = 0;
        int successes = 0;
        int quantity = 0;       // as its last line says
        QSet<QString> versions; // the job file's hashes
    };
    QMap<QString, Job> jobs;

    Summary recount;
    Continued continues; // the record this one continues, as its first line names it
    qint64 checkpoints = 0;
    QList<QPair<qint64, QString>> checkpointsWrong; // the first ones: line, what differs
    qint64 checkpointsWrongCount = 0;

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
};

// What the counting left to be worked out at the end.
struct Stamps {
    qint64 stampedSuccesses = 0;
    QMap<QString, Unfinished> burnt; // by hex
    QStringList reservedTwice;
};

struct Serials {
    QMap<QString, int> named; // the first repeated ones, by name
    qint64 repeated = 0;      // serial numbers recorded as a success more than once
};

void countReservation(const Reservation &r, qint64 offset, Findings *f)
{
    const quint64 key = keyOf(r.stamp);
    f->awaited.insert(key, qint64(f->reserved.size()));
    f->unfinished.insert(key, offset);
    f->reserved.push_back(key);
    f->succeeded.push_back(false);
    ++f->reservations;
}

void countStamp(const Board &board, qint64 offset, Findings *f)
{
    const quint64 key = keyOf(board.stamp);
    const bool good = board.outcome == QLatin1String(Outcome::Success.text());
    const auto awaited = f->awaited.find(key);
    if (awaited != f->awaited.end()) {
        if (good)
            f->succeeded[size_t(awaited.value())] = true;
        f->awaited.erase(awaited);
    } else if (good) {
        ++f->unreservedSuccesses;
    }
    if (good)
        f->unfinished.remove(key);
    else
        f->unfinished.insert(key, offset);
}

void countSerial(const QString &serial, Findings *f)
{
    f->successSerials.push_back(hash64(serial));
    const auto known = f->serialsByName.find(serial);
    if (known != f->serialsByName.end())
        ++known.value();
    else if (f->serialsByName.size() < SerialsKnownByName)
        f->serialsByName.insert(serial, 1);
}

void countJob(const Board &board, bool good, Findings *f)
{
    Findings::Job &job = f->jobs[board.job.name];
    ++job.boards;
    job.successes += good ? 1 : 0;
    job.quantity = board.job.quantity;
    job.versions.insert(board.job.sha256);
}

void countBoard(const Board &board, qint64 offset, Findings *f)
{
    if (!board.stamp.isEmpty())
        countStamp(board, offset, f);
    SlotCount &slot = f->bySlot[board.slot];
    ++slot.boards;
    ++slot.outcomes[board.outcome];
    const bool good = board.outcome == QLatin1String(Outcome::Success.text());
    slot.failed += good ? 0 : 1;
    if (!board.job.name.isEmpty())
        countJob(board, good, f);
    if (good && !board.usbSerial.isEmpty())
        countSerial(board.usbSerial, f);
    if (!board.time.isValid())
        return;
    if (!f->first.isValid() || board.time < f->first)
        f->first = board.time;
    if (!f->last.isValid() || board.time > f->last)
        f->last = board.time;
}

// A checkpoint states what the lines before it hold: it is held to the recount.
void countCheckpoint(const Reader::Entry &entry, Findings *f)
{
    ++f->checkpoints;
    const Checkpoint &c = entry.line.checkpoint;
    // What it states of the record it continues is that record's to prove.
    if (!c.continues.isEmpty()) {
        f->continues = c.continues;
        f->recount.lastReserved = c.summary.lastReserved;
        f->recount.lastReservedLine = c.summary.lastReservedLine;
    }
    QStringList wrong;
    if (c.number != entry.number)
        wrong << QStringLiteral("line %1, not %2").arg(c.number).arg(entry.number);
    if (c.offset != entry.offset)
        wrong << QStringLiteral("offset %1, not %2").arg(c.offset).arg(entry.offset);
    wrong << c.summary.differences(f->recount);
    if (wrong.isEmpty())
        return;
    if (++f->checkpointsWrongCount <= CheckpointsNamed)
        f->checkpointsWrong.append({entry.number, wrong.join(QStringLiteral("; "))});
}

void count(const Reader::Entry &entry, Findings *f)
{
    const Line &line = entry.line;
    if (line.kind == Line::Kind::Reservation)
        countReservation(line.reservation, entry.offset, f);
    else if (line.kind == Line::Kind::Board)
        countBoard(line.board, entry.offset, f);
    else
        countCheckpoint(entry, f);
    f->recount.add(line, entry.number);
}

// Follows the chain from the first line, counting the boards up to the
// first line that breaks it; false when the record cannot be read.
bool follow(const QString &path, Findings *findings, QString *error)
{
    ChainVerdict verdict;
    if (!followChain(
            path, [findings](const Reader::Entry &entry) { count(entry, findings); }, &verdict,
            error))
        return false;
    findings->lines = verdict.lineCount;
    findings->lastHash = verdict.lastHash;
    findings->brokenAt = verdict.brokenAt;
    findings->why = verdict.why;
    return true;
}

// The value that the line at `offset` names, and its board's outcome.
Unfinished unfinishedAt(QFile &record, qint64 offset)
{
    Line line;
    QString why;
    if (!record.seek(offset))
        return {};
    QByteArray text = record.readLine();
    if (text.endsWith('\n'))
        text.chop(1);
    if (!read(text, &line, &why))
        return {};
    if (line.kind == Line::Kind::Reservation)
        return {line.reservation.stamp, line.reservation.stampNumber, QString()};
    return {line.board.stamp, line.board.stampNumber, line.board.outcome};
}

Stamps stampsOf(const QString &path, Findings &f)
{
    Stamps s;
    QFile record(path);
    record.open(QIODevice::ReadOnly);
    s.stampedSuccesses =
        std::count(f.succeeded.cbegin(), f.succeeded.cend(), true) + f.unreservedSuccesses;
    for (size_t n = 0; n < f.reserved.size(); ++n) {
        const auto unfinished = f.unfinished.constFind(f.reserved[n]);
        if (f.succeeded[n] || unfinished == f.unfinished.cend())
            continue;
        const Unfinished value = unfinishedAt(record, unfinished.value());
        s.burnt.insert(value.hex, value);
    }
    std::sort(f.reserved.begin(), f.reserved.end());
    for (size_t n = 1; n < f.reserved.size(); ++n) {
        if (f.reserved[n] != f.reserved[n - 1] || (n > 1 && f.reserved[n] == f.reserved[n - 2]))
            continue;
        const auto value = f.unfinished.constFind(f.reserved[n]);
        s.reservedTwice << (value != f.unfinished.cend()
                                ? unfinishedAt(record, value.value()).hex
                                : QStringLiteral("%1").arg(f.reserved[n], 0, 16).toUpper());
    }
    // The report, of a size with what it names, is made in this memory.
    f.reserved = {};
    f.succeeded = {};
    f.unfinished = {};
    return s;
}

Serials serialsOf(Findings &f)
{
    Serials s;
    std::sort(f.successSerials.begin(), f.successSerials.end());
    for (size_t n = 1; n < f.successSerials.size(); ++n) {
        if (f.successSerials[n] == f.successSerials[n - 1] &&
            (n < 2 || f.successSerials[n] != f.successSerials[n - 2]))
            ++s.repeated;
    }
    f.successSerials = {};
    for (auto it = f.serialsByName.cbegin(); it != f.serialsByName.cend(); ++it) {
        if (it.value() > 1)
            s.named.insert(it.key(), it.value());
    }
    while (s.named.size() > SerialsNamed)
        s.named.erase(std::prev(s.named.end()));
    return s;
}

QJsonValue continuedJson(const Continued &c)
{
    if (c.isEmpty())
        return QJsonValue();
    return QJsonObject{{QStringLiteral("file"), c.file},
                       {QStringLiteral("line"), c.line},
                       {QStringLiteral("sha256"), QString::fromLatin1(c.sha256)}};
}

QJsonObject checkpointsJson(const Findings &f)
{
    QJsonArray wrong;
    for (const auto &c : f.checkpointsWrong)
        wrong.append(
            QJsonObject{{QStringLiteral("line"), c.first}, {QStringLiteral("differs"), c.second}});
    return {{QStringLiteral("count"), f.checkpoints},
            {QStringLiteral("differing"), f.checkpointsWrongCount},
            {QStringLiteral("first_differing"), wrong}};
}

// Of a job with a quantity, how many boards it has left; -1 without one.
int leftOf(const Findings::Job &job)
{
    return job.quantity > 0 ? std::max(0, job.quantity - job.successes) : -1;
}

QJsonArray jobsJson(const Findings &f)
{
    QJsonArray jobs;
    for (auto it = f.jobs.cbegin(); it != f.jobs.cend(); ++it)
        jobs.append(QJsonObject{
            {QStringLiteral("job"), it.key()},
            {QStringLiteral("boards"), it->boards},
            {QStringLiteral("successes"), it->successes},
            {QStringLiteral("yield"), double(it->successes) / it->boards},
            {QStringLiteral("quantity"),
             it->quantity > 0 ? QJsonValue(it->quantity) : QJsonValue()},
            {QStringLiteral("left"), leftOf(*it) >= 0 ? QJsonValue(leftOf(*it)) : QJsonValue()},
            {QStringLiteral("versions"), int(it->versions.size())}});
    return jobs;
}

QString jobsText(const Findings &f)
{
    QString text;
    for (auto it = f.jobs.cbegin(); it != f.jobs.cend(); ++it)
        text += QStringLiteral("job %1: %2 boards, %3 succeeded, yield %4%, %5, %6 version%7 of "
                               "the job file\n")
                    .arg(it.key())
                    .arg(it->boards)
                    .arg(it->successes)
                    .arg(100.0 * it->successes / it->boards, 0, 'f', 1)
                    .arg(leftOf(*it) >= 0
                             ? QStringLiteral("%1 of %2 left").arg(leftOf(*it)).arg(it->quantity)
                             : QStringLiteral("no quantity"))
                    .arg(it->versions.size())
                    .arg(it->versions.size() == 1 ? QString() : QStringLiteral("s"));
    return text;
}

QJsonObject jsonReport(const QString &path, const Findings &findings, const Stamps &stampsFound,
                       const Serials &serialsFound)
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
    for (auto it = serialsFound.named.cbegin(); it != serialsFound.named.cend(); ++it)
        serials.insert(it.key(), it.value());
    QJsonArray burnt;
    for (auto it = stampsFound.burnt.cbegin(); it != stampsFound.burnt.cend(); ++it) {
        QJsonObject value{{QStringLiteral("stamp"), it.key()},
                          {QStringLiteral("outcome"), nullIfEmpty(it->outcome)}};
        if (!it->number.isUndefined())
            value.insert(QStringLiteral("stamp_number"), it->number);
        burnt.append(value);
    }
    const QJsonObject stamps{
        {QStringLiteral("reservations"), findings.reservations},
        {QStringLiteral("stamped_successes"), stampsFound.stampedSuccesses},
        {QStringLiteral("burnt"), burnt},
        {QStringLiteral("reserved_twice"), QJsonArray::fromStringList(stampsFound.reservedTwice)}};
    const bool intact = findings.brokenAt == 0;
    return {
        {QStringLiteral("stamps"), stamps},
        {QStringLiteral("jobs"), jobsJson(findings)},
        {QStringLiteral("event"), QStringLiteral("check")},
        {QStringLiteral("record"), path},
        {QStringLiteral("lines"), findings.lines},
        {QStringLiteral("last_line_sha256"), nullIfEmpty(QString::fromLatin1(findings.lastHash))},
        {QStringLiteral("intact"), intact},
        {QStringLiteral("broken_at"), intact ? QJsonValue() : QJsonValue(findings.brokenAt)},
        {QStringLiteral("reason"), intact ? QJsonValue() : QJsonValue(findings.why)},
        {QStringLiteral("slots"), slotList},
        {QStringLiteral("span_seconds"), findings.spanSeconds()},
        {QStringLiteral("boards_per_hour"), findings.boardsPerHour()},
        {QStringLiteral("repeated_usb_serials"), serials},
        {QStringLiteral("repeated_usb_serials_count"), serialsFound.repeated},
        {QStringLiteral("checkpoints"), checkpointsJson(findings)},
        {QStringLiteral("continues"), continuedJson(findings.continues)}};
}

QString checkpointsText(const Findings &f)
{
    QString text;
    for (const auto &c : f.checkpointsWrong)
        text += QStringLiteral("checkpoint at line %1 differs from the record: %2\n")
                    .arg(c.first)
                    .arg(c.second);
    if (f.checkpointsWrongCount > f.checkpointsWrong.size())
        text += QStringLiteral("%1 more checkpoints differ from the record\n")
                    .arg(f.checkpointsWrongCount - f.checkpointsWrong.size());
    return text;
}

QString stampsText(const Findings &findings, const Stamps &s)
{
    if (findings.reservations == 0)
        return QString();
    QString text = QStringLiteral("stamps: %1 reserved, %2 stamped successes, %3 burnt\n")
                       .arg(findings.reservations)
                       .arg(s.stampedSuccesses)
                       .arg(s.burnt.size());
    for (auto it = s.burnt.cbegin(); it != s.burnt.cend(); ++it)
        text += QStringLiteral("burnt %1%2: %3\n")
                    .arg(it.key(),
                         it->number.isUndefined()
                             ? QString()
                             : QStringLiteral(" (%1)").arg(it->number.toDouble(), 0, 'f', 0),
                         it->outcome.isEmpty() ? QStringLiteral("reserved, outcome unknown")
                                               : it->outcome);
    for (const QString &value : s.reservedTwice)
        text += QStringLiteral("stamp %1 reserved more than once\n").arg(value);
    return text;
}

QString textReport(const QString &path, const Findings &findings, const Stamps &stamps,
                   const Serials &serials)
{
    QString text = QStringLiteral("record %1: %2 lines, ").arg(path).arg(findings.lines);
    text += findings.brokenAt == 0 ? QStringLiteral("chain intact\n")
                                   : QStringLiteral("chain broken at line %1: %2\n")
                                         .arg(findings.brokenAt)
                                         .arg(findings.why);
    if (!findings.lastHash.isEmpty())
        text += QStringLiteral("last line %1: sha256 %2\n")
                    .arg(findings.lines)
                    .arg(QString::fromLatin1(findings.lastHash));
    const Continued &c = findings.continues;
    if (!c.isEmpty())
        text += QStringLiteral("continues %1 after its line %2 (sha256 %3)\n")
                    .arg(c.file)
                    .arg(c.line)
                    .arg(QString::fromLatin1(c.sha256));
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
    text += jobsText(findings);
    for (auto it = serials.named.cbegin(); it != serials.named.cend(); ++it)
        text += QStringLiteral("usb serial %1 recorded as a success %2 times\n")
                    .arg(it.key())
                    .arg(it.value());
    if (serials.repeated > serials.named.size())
        text += QStringLiteral("%1 more usb serials recorded as a success more than once\n")
                    .arg(serials.repeated - serials.named.size());
    return text + checkpointsText(findings) + stampsText(findings, stamps);
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
    const Stamps stamps = stampsOf(path, findings);
    const Serials serials = serialsOf(findings);
#ifdef __GLIBC__
    // What the counting held goes back to the system, not only to the heap:
    // the report is made of larger pieces that would not reuse it.
    malloc_trim(0);
#endif
    if (json)
        Output::putJson(jsonReport(path, findings, stamps, serials));
    else
        Output::put(stdout, textReport(path, findings, stamps, serials));
    const bool sound = findings.brokenAt == 0 && stamps.reservedTwice.isEmpty() &&
                       findings.checkpointsWrongCount == 0;
    return sound ? ExitStatus::Success : ExitStatus::Failed;
}

} // namespace Record
