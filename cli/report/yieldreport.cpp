#include "cli/report/yieldreport.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/report/recordsource.h"
#include "download/outcome.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QPair>
#include <QSaveFile>
#include <QSet>
#include <QTimeZone>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <string_view>
#include <vector>

// The resources live in this static library: they are registered by name
// before their first use, outside any namespace as Qt requires.
static void registerReportResources()
{
    Q_INIT_RESOURCE(page);
}

namespace Report
{

namespace
{

constexpr int CycleBins = 20;
// Three shifts of eight hours, the first from 06:00.
constexpr int ShiftStartHour = 6;

bool succeeded(const Record::Board &board)
{
    return board.outcome == QLatin1String(Outcome::Success.text());
}

struct Count {
    int succeeded = 0;
    int failed = 0;

    void add(bool good) { ++(good ? succeeded : failed); }
    QJsonObject json(const QString &key, const QString &name) const
    {
        return {{key, name},
                {QStringLiteral("succeeded"), succeeded},
                {QStringLiteral("failed"), failed}};
    }
};

QString shiftOf(const QDateTime &local)
{
    static const char *const names[] = {"early (06:00 to 14:00)", "late (14:00 to 22:00)",
                                        "night (22:00 to 06:00)"};
    // A night shift belongs to the day it began.
    const QDateTime shifted = local.addSecs(-ShiftStartHour * 3600);
    return shifted.date().toString(Qt::ISODate) + QLatin1Char(' ') +
           QLatin1String(names[shifted.time().hour() / 8]);
}

// A stamp value's text as a key of 8 bytes.
quint64 keyOf(const QString &hex)
{
    return std::hash<std::u16string_view>()(
        std::u16string_view(reinterpret_cast<const char16_t *>(hex.utf16()), size_t(hex.size())));
}

// Each value reserved, and whether a board carried it to a success: as
// --check-record counts them. Held are 8 bytes per success and the values
// not (yet) carried to one.
struct Stamps {
    struct Open {
        QString hex;
        QString outcome; // of its board's last line; empty for none
    };
    int reservations = 0;
    std::deque<quint64> successes; // grown without a copy of all so far
    QHash<quint64, Open> open;

    void add(const Record::Line &line)
    {
        if (line.kind == Record::Line::Kind::Reservation) {
            ++reservations;
            const QString &hex = line.reservation.stamp;
            const quint64 key = keyOf(hex);
            if (!open.contains(key))
                open.insert(key, {hex, QString()});
            return;
        }
        const QString &hex = line.board.stamp;
        if (hex.isEmpty())
            return;
        if (succeeded(line.board)) {
            successes.push_back(keyOf(hex));
            open.remove(keyOf(hex));
        } else {
            open.insert(keyOf(hex), {hex, line.board.outcome});
        }
    }
    QJsonObject json()
    {
        std::sort(successes.begin(), successes.end());
        successes.erase(std::unique(successes.begin(), successes.end()), successes.end());
        // A value reserved again after its success is not burnt.
        QMap<QString, QString> burnt;
        for (auto it = open.cbegin(); it != open.cend(); ++it) {
            if (!std::binary_search(successes.cbegin(), successes.cend(), it.key()))
                burnt.insert(it.value().hex, it.value().outcome);
        }
        QJsonArray list;
        for (auto it = burnt.cbegin(); it != burnt.cend(); ++it)
            list.append(QJsonObject{{QStringLiteral("stamp"), it.key()},
                                    {QStringLiteral("outcome"), it.value()}});
        return {{QStringLiteral("reservations"), reservations},
                {QStringLiteral("stamped_successes"), int(successes.size())},
                {QStringLiteral("burnt"), list}};
    }
};

// The last CycleWindow cycle times, oldest overwritten first.
struct Window {
    std::vector<double> seconds;
    size_t next = 0;

    void add(double value)
    {
        if (seconds.size() < size_t(CycleWindow)) {
            seconds.push_back(value);
        } else {
            seconds[next] = value;
            next = (next + 1) % seconds.size();
        }
    }
};

// A slot's boards, counted, and its recent cycle times.
struct SlotFigures {
    Count count;
    QMap<QString, int> outcomes;
    Window cycle;
};

QJsonObject cycleFigures(std::vector<double> seconds)
{
    std::sort(seconds.begin(), seconds.end());
    const auto at = [&seconds](double share) {
        return seconds.empty() ? 0.0
                               : seconds[std::min(seconds.size() - 1,
                                                  size_t(std::ceil(share * seconds.size())) - 1)];
    };
    // Equal bins up to the 99th percentile; the last takes the slower rest.
    const double top = std::max(at(0.99), 0.1);
    const double width = top / CycleBins;
    QJsonArray counts;
    QVector<int> bins(CycleBins, 0);
    for (double s : seconds)
        ++bins[std::min(CycleBins - 1, int(s / width))];
    for (int n : bins)
        counts.append(n);
    return {{QStringLiteral("bin_seconds"), width},
            {QStringLiteral("counts"), counts},
            {QStringLiteral("median_seconds"), at(0.5)},
            {QStringLiteral("p95_seconds"), at(0.95)}};
}

QJsonObject recordJson(const RecordVerdict &r, int boards, const QDateTime &first,
                       const QDateTime &last)
{
    return {{QStringLiteral("record"), r.path},
            {QStringLiteral("lines"), QJsonValue(r.lineCount)},
            {QStringLiteral("boards"), boards},
            {QStringLiteral("intact"), r.intact()},
            {QStringLiteral("broken_at"), r.intact() ? QJsonValue() : QJsonValue(r.brokenAt)},
            {QStringLiteral("reason"), r.intact() ? QJsonValue() : QJsonValue(r.why)},
            {QStringLiteral("last_hash"), QString::fromLatin1(r.lastHash)},
            {QStringLiteral("first"), first.toString(Qt::ISODate)},
            {QStringLiteral("last"), last.toString(Qt::ISODate)}};
}

template <typename Map> QJsonArray countArray(const Map &map, const QString &key)
{
    QJsonArray list;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        list.append(it.value().json(key, it.key()));
    return list;
}

// A cell as a spreadsheet reads it: quoted where it must be, and text that
// would start a formula made plain text.
QByteArray cell(const QString &text)
{
    QString value = text;
    if (!value.isEmpty() && QStringLiteral("=+-@\t\r").contains(value.front()))
        value.prepend(QLatin1Char('\''));
    if (value.contains(QLatin1Char(',')) || value.contains(QLatin1Char('"')) ||
        value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        value = QLatin1Char('"') + value.replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
                QLatin1Char('"');
    return value.toUtf8();
}

bool save(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

QByteArray resource(const char *name)
{
    QFile file{QString::fromLatin1(name)};
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Inlined into a script element, text must not close it.
QByteArray scriptSafe(QByteArray text)
{
    return text.replace("</", "<\\/");
}

// The page itself, everything inlined.
QByteArray html(const QJsonObject &figures)
{
    registerReportResources();
    QByteArray page = resource(":/report/report.html");
    page.replace("/*KAVRO:STYLE*/", resource(":/report/report.css"));
    page.replace("/*KAVRO:CHARTJS*/", scriptSafe(resource(":/page/chart.min.js")));
    page.replace("/*KAVRO:CHARTS*/", scriptSafe(resource(":/page/charts.js")));
    page.replace("/*KAVRO:REPORT*/", scriptSafe(resource(":/report/report.js")));
    page.replace("/*KAVRO:DATA*/",
                 scriptSafe(QJsonDocument(figures).toJson(QJsonDocument::Compact)));
    page.replace("/*KAVRO:LICENSES*/",
                 QString::fromUtf8(resource(":/page/licenses.txt")).toHtmlEscaped().toUtf8());
    return page;
}

// Everything the report shows, counted line by line as the records are read:
// its memory grows with the slots, hours and shifts, not with the lines.
class Tally
{
public:
    explicit Tally(const QTimeZone &zone) : zone(zone) {}

    void add(const Record::Line &line)
    {
        hosts.insert(line.host);
        stamps.add(line);
        if (line.kind != Record::Line::Kind::Board)
            return;
        const Record::Board &b = line.board;
        const bool good = succeeded(b);
        SlotFigures &slot = bySlot[{line.host, b.slot}];
        slot.count.add(good);
        ++slot.outcomes[b.outcome];
        slot.cycle.add(b.seconds);
        ++boards;
        all.add(good);
        ++outcomes[b.outcome];
        const QDateTime local = b.time.toTimeZone(zone);
        byHour[local.toString(QStringLiteral("yyyy-MM-dd HH:00"))].add(good);
        byShift[shiftOf(local)].add(good);
        first = first.isValid() ? std::min(first, b.time) : b.time;
        last = last.isValid() ? std::max(last, b.time) : b.time;
    }
    // The record whose lines came since the last one ended.
    void endRecord(const RecordVerdict &verdict)
    {
        recordList.append(recordJson(verdict, boards, first, last));
        boards = 0;
        first = last = QDateTime();
    }
    // The figures the page draws, per-hour and per-shift ones in the zone.
    QJsonObject figures()
    {
        const QDateTime now = QDateTime::currentDateTime().toTimeZone(zone);
        return {{QStringLiteral("generated"), now.toString(Qt::ISODate)},
                {QStringLiteral("timezone"),
                 QStringLiteral("%1 (%2)").arg(QString::fromUtf8(zone.id()),
                                               zone.displayName(now, QTimeZone::OffsetName))},
                {QStringLiteral("records"), recordList},
                {QStringLiteral("succeeded"), all.succeeded},
                {QStringLiteral("failed"), all.failed},
                {QStringLiteral("slots"), slotList()},
                {QStringLiteral("outcomes"), outcomeCounts(outcomes)},
                {QStringLiteral("hours"), countArray(byHour, QStringLiteral("hour"))},
                {QStringLiteral("shifts"), countArray(byShift, QStringLiteral("shift"))},
                {QStringLiteral("cycle"), cycleJson()},
                {QStringLiteral("stamps"), stamps.json()}};
    }

private:
    static QJsonObject outcomeCounts(const QMap<QString, int> &counts)
    {
        QJsonObject json;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            json.insert(it.key(), it.value());
        return json;
    }
    // Slots of several stations are told apart by their host.
    QJsonArray slotList() const
    {
        const bool manyHosts = hosts.size() > 1;
        QMap<QString, Count> counts;
        QMap<QString, QMap<QString, int>> outcomesBySlot;
        for (auto it = bySlot.cbegin(); it != bySlot.cend(); ++it) {
            const QString name =
                manyHosts ? it.key().first + QLatin1Char(' ') + it.key().second : it.key().second;
            counts[name].succeeded += it.value().count.succeeded;
            counts[name].failed += it.value().count.failed;
            for (auto o = it.value().outcomes.cbegin(); o != it.value().outcomes.cend(); ++o)
                outcomesBySlot[name][o.key()] += o.value();
        }
        QJsonArray list;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
            QJsonObject slot = it.value().json(QStringLiteral("slot"), it.key());
            slot.insert(QStringLiteral("outcomes"), outcomeCounts(outcomesBySlot[it.key()]));
            list.append(slot);
        }
        return list;
    }
    // Of each slot's last boards; `window` says so where a slot had more.
    QJsonObject cycleJson() const
    {
        std::vector<double> seconds;
        bool windowed = false;
        for (const SlotFigures &slot : bySlot) {
            seconds.insert(seconds.end(), slot.cycle.seconds.cbegin(), slot.cycle.seconds.cend());
            windowed |= slot.count.succeeded + slot.count.failed > CycleWindow;
        }
        QJsonObject json = cycleFigures(std::move(seconds));
        if (windowed)
            json.insert(QStringLiteral("window"), CycleWindow);
        return json;
    }

    QTimeZone zone;
    QSet<QString> hosts;
    QMap<QPair<QString, QString>, SlotFigures> bySlot; // by host and slot
    QMap<QString, Count> byHour, byShift;
    QMap<QString, int> outcomes;
    Stamps stamps;
    Count all;
    QJsonArray recordList;
    // The record being read.
    int boards = 0;
    QDateTime first, last;
};

// One row per board: the record file and line, together a unique key, first.
QByteArray csvRow(const QByteArray &recordCell, qint64 number, const Record::Line &line)
{
    const Record::Board &b = line.board;
    const QList<QByteArray> cells{recordCell,
                                  QByteArray::number(number),
                                  cell(b.time.toString(Qt::ISODateWithMs)),
                                  cell(line.host),
                                  cell(b.slot),
                                  QByteArray::number(b.number),
                                  cell(b.outcome),
                                  cell(b.reason),
                                  QByteArray::number(b.seconds, 'f', 3),
                                  cell(b.stamp),
                                  cell(b.sha256),
                                  cell(b.flashedSha256),
                                  cell(b.job.name)};
    return cells.join(',') + "\r\n";
}

// Reads every record once, into the tally and the CSV (when it is open);
// false with the reason when a record cannot be read.
bool readAll(const QStringList &records, Tally *tally, QSaveFile *csv,
             QVector<RecordVerdict> *verdicts, QString *error)
{
    for (const QString &path : records) {
        const QByteArray recordCell = cell(path);
        const LineSink sink = [&](qint64 number, const Record::Line &line) {
            tally->add(line);
            if (csv->isOpen() && line.kind == Record::Line::Kind::Board)
                csv->write(csvRow(recordCell, number, line));
        };
        RecordVerdict verdict;
        if (!followRecord(path, sink, &verdict, error))
            return false;
        tally->endRecord(verdict);
        verdicts->append(verdict);
    }
    return true;
}

} // namespace

int write(const QStringList &records, const QString &htmlPath, const QString &csvPath)
{
    const auto cannot = [](const QString &error) {
        Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(error));
        return ExitStatus::Usage;
    };
    // Rows go to a file beside the CSV, which takes its place once complete.
    QSaveFile csv(csvPath);
    const auto csvError = [&] {
        return QStringLiteral("cannot write %1: %2").arg(csvPath, csv.errorString());
    };
    if (!csvPath.isEmpty()) {
        if (!csv.open(QIODevice::WriteOnly))
            return cannot(csvError());
        csv.write("record,line,time,host,slot,board,outcome,reason,seconds,stamp,sha256,"
                  "flashed_sha256,job\r\n");
    }
    Tally tally(QTimeZone::systemTimeZone());
    QVector<RecordVerdict> verdicts;
    QString error;
    if (!readAll(records, &tally, &csv, &verdicts, &error))
        return cannot(error);
    if (!htmlPath.isEmpty() && !save(htmlPath, html(tally.figures()), &error))
        return cannot(error);
    if (csv.isOpen() && !csv.commit())
        return cannot(csvError());
    bool intact = true;
    for (const RecordVerdict &r : verdicts) {
        intact &= r.intact();
        if (!r.intact())
            Output::put(stderr, QStringLiteral("kavro-flash: the record %1 is broken at line "
                                               "%2: %3; its boards after that are left out\n")
                                    .arg(r.path)
                                    .arg(r.brokenAt)
                                    .arg(r.why));
    }
    return intact ? ExitStatus::Success : ExitStatus::Failed;
}

} // namespace Report
