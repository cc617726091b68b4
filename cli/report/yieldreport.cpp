#include "cli/report/yieldreport.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/report/recordsource.h"
#include "download/outcome.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cmath>

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

// Each value reserved, and whether a board carried it to a success: as
// --check-record counts them.
struct Stamps {
    int reservations = 0;
    QMap<QString, bool> succeededByValue;
    QMap<QString, QString> lastOutcome;

    void add(const Record::Line &line)
    {
        if (line.kind == Record::Line::Kind::Reservation) {
            ++reservations;
            succeededByValue[line.reservation.stamp] |= false;
            return;
        }
        if (line.board.stamp.isEmpty())
            return;
        succeededByValue[line.board.stamp] |= succeeded(line.board);
        lastOutcome[line.board.stamp] = line.board.outcome;
    }
    QJsonObject json() const
    {
        QJsonArray burnt;
        int successes = 0;
        for (auto it = succeededByValue.cbegin(); it != succeededByValue.cend(); ++it) {
            successes += it.value() ? 1 : 0;
            if (!it.value())
                burnt.append(QJsonObject{
                    {QStringLiteral("stamp"), it.key()},
                    {QStringLiteral("outcome"), lastOutcome.value(it.key(), QString())}});
        }
        return {{QStringLiteral("reservations"), reservations},
                {QStringLiteral("stamped_successes"), successes},
                {QStringLiteral("burnt"), burnt}};
    }
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

QJsonObject recordJson(const RecordContents &r, int boards, const QDateTime &first,
                       const QDateTime &last)
{
    return {{QStringLiteral("record"), r.path},
            {QStringLiteral("lines"), r.lineCount},
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

} // namespace

QJsonObject figures(const QVector<RecordContents> &records, const QTimeZone &zone)
{
    QSet<QString> hosts;
    for (const RecordContents &r : records) {
        for (const auto &n : r.lines)
            hosts.insert(n.line.host);
    }
    // Slots of several stations are told apart by their host.
    const bool manyHosts = hosts.size() > 1;
    QMap<QString, Count> bySlot, byHour, byShift;
    QMap<QString, QMap<QString, int>> outcomesBySlot;
    QMap<QString, int> outcomes;
    std::vector<double> seconds;
    Stamps stamps;
    Count all;
    QJsonArray recordList;
    for (const RecordContents &r : records) {
        int boards = 0;
        QDateTime first, last;
        for (const auto &n : r.lines) {
            stamps.add(n.line);
            if (n.line.kind != Record::Line::Kind::Board)
                continue;
            const Record::Board &b = n.line.board;
            const bool good = succeeded(b);
            const QString slot = manyHosts ? n.line.host + QLatin1Char(' ') + b.slot : b.slot;
            ++boards;
            all.add(good);
            bySlot[slot].add(good);
            ++outcomesBySlot[slot][b.outcome];
            ++outcomes[b.outcome];
            seconds.push_back(b.seconds);
            const QDateTime local = b.time.toTimeZone(zone);
            byHour[local.toString(QStringLiteral("yyyy-MM-dd HH:00"))].add(good);
            byShift[shiftOf(local)].add(good);
            first = first.isValid() ? std::min(first, b.time) : b.time;
            last = last.isValid() ? std::max(last, b.time) : b.time;
        }
        recordList.append(recordJson(r, boards, first, last));
    }
    QJsonArray slotList = countArray(bySlot, QStringLiteral("slot"));
    for (int n = 0; n < slotList.size(); ++n) {
        QJsonObject slot = slotList[n].toObject();
        QJsonObject byOutcome;
        const QMap<QString, int> &counts = outcomesBySlot[slot[QStringLiteral("slot")].toString()];
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            byOutcome.insert(it.key(), it.value());
        slot.insert(QStringLiteral("outcomes"), byOutcome);
        slotList[n] = slot;
    }
    QJsonObject outcomeCounts;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        outcomeCounts.insert(it.key(), it.value());
    const QDateTime now = QDateTime::currentDateTime().toTimeZone(zone);
    return {{QStringLiteral("generated"), now.toString(Qt::ISODate)},
            {QStringLiteral("timezone"),
             QStringLiteral("%1 (%2)").arg(QString::fromUtf8(zone.id()),
                                           zone.displayName(now, QTimeZone::OffsetName))},
            {QStringLiteral("records"), recordList},
            {QStringLiteral("succeeded"), all.succeeded},
            {QStringLiteral("failed"), all.failed},
            {QStringLiteral("slots"), slotList},
            {QStringLiteral("outcomes"), outcomeCounts},
            {QStringLiteral("hours"), countArray(byHour, QStringLiteral("hour"))},
            {QStringLiteral("shifts"), countArray(byShift, QStringLiteral("shift"))},
            {QStringLiteral("cycle"), cycleFigures(seconds)},
            {QStringLiteral("stamps"), stamps.json()}};
}

QByteArray csv(const QVector<RecordContents> &records)
{
    QByteArray out = "record,line,time,host,slot,board,outcome,reason,seconds,stamp,sha256,"
                     "flashed_sha256,job\r\n";
    for (const RecordContents &r : records) {
        for (const auto &n : r.lines) {
            if (n.line.kind != Record::Line::Kind::Board)
                continue;
            const Record::Board &b = n.line.board;
            const QList<QByteArray> cells{cell(r.path),
                                          QByteArray::number(n.number),
                                          cell(b.time.toString(Qt::ISODateWithMs)),
                                          cell(n.line.host),
                                          cell(b.slot),
                                          QByteArray::number(b.number),
                                          cell(b.outcome),
                                          cell(b.reason),
                                          QByteArray::number(b.seconds, 'f', 3),
                                          cell(b.stamp),
                                          cell(b.sha256),
                                          cell(b.flashedSha256),
                                          cell(b.job.name)};
            out += cells.join(',') + "\r\n";
        }
    }
    return out;
}

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

int write(const QStringList &records, const QString &htmlPath, const QString &csvPath)
{
    QVector<RecordContents> contents(records.size());
    QString error;
    bool intact = true;
    for (int n = 0; n < records.size(); ++n) {
        if (!readRecord(records[n], &contents[n], &error)) {
            Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(error));
            return ExitStatus::Usage;
        }
        intact &= contents[n].intact();
    }
    if ((!htmlPath.isEmpty() &&
         !save(htmlPath, html(figures(contents, QTimeZone::systemTimeZone())), &error)) ||
        (!csvPath.isEmpty() && !save(csvPath, csv(contents), &error))) {
        Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(error));
        return ExitStatus::Usage;
    }
    for (const RecordContents &r : contents) {
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
