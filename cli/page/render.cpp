#include "cli/page/render.h"

#include "cli/common/output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Page
{

namespace
{

const char *stateName(SlotView::State state)
{
    switch (state) {
    case SlotView::State::Flashing:
        return "flashing";
    case SlotView::State::Succeeded:
        return "succeeded";
    case SlotView::State::Failed:
        return "failed";
    case SlotView::State::Waiting:
        break;
    }
    return "waiting";
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject slotObject(const SlotView &s)
{
    QJsonObject outcomes;
    for (auto it = s.outcomes.cbegin(); it != s.outcomes.cend(); ++it)
        outcomes.insert(it.key(), it.value());
    return {{QStringLiteral("slot"), s.port},
            {QStringLiteral("state"), QLatin1String(stateName(s.state))},
            {QStringLiteral("unplug"), s.unplug},
            {QStringLiteral("percent"), s.percent},
            {QStringLiteral("board"), s.board > 0 ? QJsonValue(s.board) : QJsonValue()},
            {QStringLiteral("stamp"), textOrNull(s.stamp)},
            {QStringLiteral("seconds"), s.seconds},
            {QStringLiteral("outcome"), textOrNull(s.outcome)},
            {QStringLiteral("reason"), textOrNull(s.reason)},
            {QStringLiteral("boards"), s.boards},
            {QStringLiteral("failed"), s.failed},
            {QStringLiteral("outcomes"), outcomes},
            {QStringLiteral("check_fixture"), s.checkFixture}};
}

QJsonObject totalsObject(const Totals &t)
{
    return {{QStringLiteral("succeeded"), t.succeeded},
            {QStringLiteral("failed"), t.failed},
            {QStringLiteral("yield"), yieldOf(t)}};
}

QJsonArray recentArray(const Snapshot &snapshot)
{
    QJsonArray boards;
    for (const BoardEnd &b : snapshot.recent)
        boards.append(QJsonObject{{QStringLiteral("time"), double(b.msecsSinceEpoch)},
                                  {QStringLiteral("slot"), b.slot},
                                  {QStringLiteral("seconds"), b.seconds},
                                  {QStringLiteral("succeeded"), b.succeeded}});
    return boards;
}

// A label's value in the text format: backslash, quote and newline escaped.
QByteArray label(const QString &value)
{
    QByteArray text = value.toUtf8();
    text.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return '"' + text + '"';
}

void family(QByteArray *out, const char *name, const char *type, const char *help)
{
    *out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void sample(QByteArray *out, const QByteArray &name, double value)
{
    *out += name + ' ' + QByteArray::number(value, 'g', 15) + '\n';
}

void cycleHistogram(QByteArray *out, const Snapshot &snapshot)
{
    family(out, "kavro_cycle_seconds", "histogram", "Session time of the boards ended.");
    int cumulative = 0;
    for (size_t n = 0; n < Snapshot::Buckets.size(); ++n) {
        cumulative += snapshot.cycleBuckets[n];
        sample(out,
               "kavro_cycle_seconds_bucket{le=\"" +
                   QByteArray::number(Snapshot::Buckets[n], 'g', 6) + "\"}",
               cumulative);
    }
    cumulative += snapshot.cycleBuckets.back();
    sample(out, "kavro_cycle_seconds_bucket{le=\"+Inf\"}", cumulative);
    sample(out, "kavro_cycle_seconds_sum", snapshot.cycleSum);
    sample(out, "kavro_cycle_seconds_count", cumulative);
}

} // namespace

QJsonValue yieldOf(const Totals &totals)
{
    const int boards = totals.succeeded + totals.failed;
    return boards > 0 ? QJsonValue(double(totals.succeeded) / boards) : QJsonValue();
}

QByteArray stateJson(const Snapshot &snapshot)
{
    QJsonArray slotList;
    for (const SlotView &s : snapshot.slotViews)
        slotList.append(slotObject(s));
    const double hours = snapshot.elapsedMs / 3600000.0;
    const int boards = snapshot.run.succeeded + snapshot.run.failed;
    QJsonObject state{{QStringLiteral("version"), Output::EventFormat},
                      {QStringLiteral("event"), QStringLiteral("state")},
                      {QStringLiteral("mode"), snapshot.mode},
                      {QStringLiteral("image"), snapshot.image},
                      {QStringLiteral("sha256"), snapshot.sha256},
                      {QStringLiteral("started"), snapshot.started.toString(Qt::ISODateWithMs)},
                      {QStringLiteral("seconds"), snapshot.elapsedMs / 1000.0},
                      {QStringLiteral("running"), snapshot.running},
                      {QStringLiteral("slots"), slotList},
                      {QStringLiteral("succeeded"), snapshot.run.succeeded},
                      {QStringLiteral("failed"), snapshot.run.failed},
                      {QStringLiteral("yield"), yieldOf(snapshot.run)},
                      {QStringLiteral("boards_per_hour"), hours > 0 ? boards / hours : 0},
                      {QStringLiteral("median_seconds"), snapshot.medianSeconds},
                      {QStringLiteral("p95_seconds"), snapshot.p95Seconds},
                      {QStringLiteral("lot"),
                       snapshot.hasRecord ? QJsonValue(totalsObject(snapshot.lot)) : QJsonValue()},
                      {QStringLiteral("job"), textOrNull(snapshot.job)},
                      {QStringLiteral("quantity"),
                       snapshot.quantity > 0 ? QJsonValue(snapshot.quantity) : QJsonValue()},
                      {QStringLiteral("stamps"),
                       QJsonObject{{QStringLiteral("reserved"), snapshot.stampsReserved},
                                   {QStringLiteral("burnt"), snapshot.stampsBurnt}}},
                      {QStringLiteral("alarms"), QJsonArray::fromStringList(snapshot.alarms)},
                      {QStringLiteral("recent"), recentArray(snapshot)}};
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

QByteArray metricsText(const Snapshot &snapshot)
{
    QByteArray out;
    family(&out, "kavro_boards_total", "counter", "Boards ended in this run, by slot and outcome.");
    for (const SlotView &s : snapshot.slotViews) {
        for (auto it = s.outcomes.cbegin(); it != s.outcomes.cend(); ++it)
            sample(&out,
                   "kavro_boards_total{slot=" + label(s.port) + ",outcome=" + label(it.key()) + '}',
                   it.value());
    }
    family(&out, "kavro_stamps_reserved_total", "counter", "Stamp values reserved in this run.");
    sample(&out, "kavro_stamps_reserved_total", snapshot.stampsReserved);
    family(&out, "kavro_stamps_burnt_total", "counter",
           "Stamp values reserved in this run that no board carried to a success.");
    sample(&out, "kavro_stamps_burnt_total", snapshot.stampsBurnt);
    cycleHistogram(&out, snapshot);
    family(&out, "kavro_alarm", "gauge", "1 while an alarm is up, else 0.");
    sample(&out, "kavro_alarm", snapshot.alarms.isEmpty() ? 0 : 1);
    family(&out, "kavro_running", "gauge", "1 while the run takes boards, else 0.");
    sample(&out, "kavro_running", snapshot.running ? 1 : 0);
    return out;
}

} // namespace Page
