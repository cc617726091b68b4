#include "cli/page/feed.h"

#include "cli/flash/boardgang.h"
#include "cli/station/station.h"
#include "download/outcome.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace Page
{

namespace
{

constexpr int ClockMs = 1000;

double percentile(const std::vector<double> &sorted, double share)
{
    if (sorted.empty())
        return 0;
    const size_t at = size_t(std::ceil(share * double(sorted.size()))) - 1;
    return sorted[std::min(at, sorted.size() - 1)];
}

SlotView endedView(const QString &port, const SessionRunner::State &session)
{
    SlotView view;
    view.port = port;
    view.percent = session.percent;
    view.seconds = session.elapsedMs / 1000.0;
    if (!session.ended)
        return view;
    view.outcome = session.outcomeText();
    if (session.result)
        view.reason = reasonInWords(*session.result);
    view.state = session.succeeded() ? SlotView::State::Succeeded : SlotView::State::Failed;
    return view;
}

} // namespace

void RunFigures::boardEnded(int slot, double seconds, bool succeeded)
{
    window.push_back(seconds);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), seconds), seconds);
    if (window.size() > Window) {
        sorted.erase(std::lower_bound(sorted.begin(), sorted.end(), window.front()));
        window.pop_front();
    }
    const auto bucket =
        std::lower_bound(Snapshot::Buckets.begin(), Snapshot::Buckets.end(), seconds);
    ++buckets[size_t(bucket - Snapshot::Buckets.begin())];
    sum += seconds;
    recent.push_back({QDateTime::currentMSecsSinceEpoch(), slot, seconds, succeeded});
    if (recent.size() > size_t(Snapshot::RecentBoards))
        recent.pop_front();
}

void RunFigures::fillIn(Snapshot *snapshot) const
{
    snapshot->medianSeconds = percentile(sorted, 0.5);
    snapshot->p95Seconds = percentile(sorted, 0.95);
    snapshot->cycleBuckets = buckets;
    snapshot->cycleSum = sum;
    snapshot->recent.reserve(int(recent.size()));
    for (const BoardEnd &board : recent)
        snapshot->recent.append(board);
}

QString reasonInWords(const SessionResult &result)
{
    const QString block = QString::number(result.blocksWritten);
    switch (result.exit) {
    case SessionExit::OpenFailure:
        return result.portFailure->kind == PortFailure::Kind::SettingRefused
                   ? result.portFailure->detail
                   : QStringLiteral("the port did not open: ") + result.portFailure->detail;
    case SessionExit::StartTimeOut:
        return QStringLiteral("the board did not answer: is it in its boot loader?");
    case SessionExit::HandshakeRejected:
        return QStringLiteral("the board refused the start");
    case SessionExit::PrepareTimeOut:
        return QStringLiteral("the board stopped answering before the image");
    case SessionExit::FileError:
        return QStringLiteral("the image could not be read");
    case SessionExit::BlockTimeOut:
        return QStringLiteral("the board stopped answering at block ") + block;
    case SessionExit::BlockRejected:
        return QStringLiteral("the board refused the image at block ") + block;
    case SessionExit::CancelAfterStart:
    case SessionExit::CancelDuringBlocks:
        return QStringLiteral("cancelled");
    case SessionExit::EndFrameNotSent:
        return QStringLiteral("the line went away before the end frame");
    case SessionExit::Success:
        break;
    }
    return QString();
}

Feed::Feed(Holder &holder, const Totals &lot, bool hasRecord, QObject *parent)
    : QObject(parent), holder(holder), lotBefore(lot), hasRecord(hasRecord),
      started(QDateTime::currentDateTimeUtc())
{
    clock.setInterval(ClockMs);
    connect(&clock, &QTimer::timeout, this, &Feed::publish);
}

void Feed::watch(const Station &watched)
{
    station = &watched;
    outcomes.resize(watched.size());
    shown.resize(watched.size());
    connect(&watched, &Station::changed, this,
            [this](int index) { slotMoved(index, stationSlot(index)); });
    connect(&watched, &Station::boardStarted, this, [this](int index) {
        const Station::Slot &s = station->slot(index);
        if (station->settings().stamp.active())
            stampsReserved.insert(s.stamp.hex());
        publish();
    });
    connect(&watched, &Station::boardEnded, this, [this](int index) {
        const SessionRunner::State session = station->session(index);
        ++outcomes[index][session.outcomeText()];
        figures.boardEnded(index, session.elapsedMs / 1000.0, session.succeeded());
        stampedSuccesses += station->settings().stamp.active() && session.succeeded() ? 1 : 0;
        // A job's quantity raises the station's own alarm.
        const int quantity = station->settings().count;
        if (station->settings().job.quantity == 0 && quantity > 0 &&
            station->succeeded() + station->failed() >= quantity)
            alarm(QStringLiteral("the quantity is reached: %1 boards").arg(quantity));
        publish();
    });
    connect(&watched, &Station::alarm, this, &Feed::alarm);
    connect(&watched, &Station::finished, this, [this] {
        running = false;
        publish();
    });
    publish();
    clock.start();
}

void Feed::watch(const BoardGang &watched)
{
    gang = &watched;
    outcomes.resize(watched.size());
    shown.resize(watched.size());
    connect(&watched, &BoardGang::started, this, [this](int index) {
        if (gang->stamp(index).isValid())
            stampsReserved.insert(gang->stamp(index).hex());
        publish();
    });
    connect(&watched, &BoardGang::progressed, this,
            [this](int index) { slotMoved(index, gangSlot(index)); });
    connect(&watched, &BoardGang::ended, this, [this](int index) {
        const SessionRunner::State session = gang->board(index);
        ++outcomes[index][session.outcomeText()];
        figures.boardEnded(index, session.elapsedMs / 1000.0, session.succeeded());
        stampedSuccesses += gang->stamp(index).isValid() && session.succeeded() ? 1 : 0;
        publish();
    });
    connect(&watched, &BoardGang::finished, this, [this] {
        running = false;
        publish();
    });
    publish();
    clock.start();
}

// A block's progress that moves no percent publishes nothing.
void Feed::slotMoved(int index, const SlotView &view)
{
    const Moves now{int(view.state) * 2 + (view.unplug ? 1 : 0), view.percent};
    if (now.state != shown[index].state || now.percent != shown[index].percent)
        publish();
}

void Feed::alarm(const QString &message)
{
    if (!alarms.contains(message))
        alarms << message;
    publish();
}

void Feed::publish()
{
    auto snapshot = std::make_shared<Snapshot>(station ? stationSnapshot() : gangSnapshot());
    for (int index = 0; index < snapshot->slotViews.size(); ++index) {
        const SlotView &view = snapshot->slotViews[index];
        shown[index] = {int(view.state) * 2 + (view.unplug ? 1 : 0), view.percent};
    }
    holder.publish(std::move(snapshot));
}

Snapshot Feed::common() const
{
    Snapshot s;
    s.started = started;
    s.elapsedMs = started.msecsTo(QDateTime::currentDateTimeUtc());
    s.running = running;
    s.hasRecord = hasRecord;
    figures.fillIn(&s);
    s.stampsReserved = int(stampsReserved.size());
    s.stampsBurnt = s.stampsReserved - stampedSuccesses;
    s.alarms = alarms;
    return s;
}

Snapshot Feed::stationSnapshot() const
{
    Snapshot s = common();
    s.mode = QStringLiteral("station");
    const Station::Settings &settings = station->settings();
    s.image = QFileInfo(settings.imagePath).fileName();
    s.sha256 = station->imageSha256();
    s.job = settings.job.name;
    s.quantity = settings.job.quantity > 0 ? settings.job.quantity : settings.count;
    s.run = {station->succeeded(), station->failed()};
    for (int index = 0; index < station->size(); ++index)
        s.slotViews << stationSlot(index);
    s.lot = {lotBefore.succeeded + s.run.succeeded, lotBefore.failed + s.run.failed};
    return s;
}

Snapshot Feed::gangSnapshot() const
{
    Snapshot s = common();
    s.mode = QStringLiteral("gang");
    for (int index = 0; index < gang->size(); ++index) {
        const SlotView view = gangSlot(index);
        s.run.succeeded += view.state == SlotView::State::Succeeded ? 1 : 0;
        s.run.failed += view.failed;
        s.slotViews << view;
    }
    s.lot = {lotBefore.succeeded + s.run.succeeded, lotBefore.failed + s.run.failed};
    return s;
}

SlotView Feed::stationSlot(int index) const
{
    const Station::Slot &slot = station->slot(index);
    SlotView view = endedView(slot.port, station->session(index));
    if (slot.state == Station::State::Flashing) {
        view.state = SlotView::State::Flashing;
        view.outcome.clear();
        view.reason.clear();
    } else if (slot.state == Station::State::WaitingForBoard) {
        view.state = SlotView::State::Waiting;
    }
    view.unplug = slot.state == Station::State::WaitingForUnplug;
    view.board = slot.board;
    if (station->settings().stamp.active() && slot.stamp.isValid())
        view.stamp = slot.stamp.hex();
    view.boards = slot.tally.boards;
    view.failed = slot.tally.failures;
    view.outcomes = outcomes[index];
    view.checkFixture = slot.tally.checkFixture();
    return view;
}

SlotView Feed::gangSlot(int index) const
{
    const SessionRunner::State session = gang->board(index);
    SlotView view = endedView(gang->port(index), session);
    if (session.running && !session.ended)
        view.state = SlotView::State::Flashing;
    view.board = session.running || session.ended ? 1 : 0;
    if (gang->stamp(index).isValid())
        view.stamp = gang->stamp(index).hex();
    view.boards = session.ended ? 1 : 0;
    view.failed = session.ended && !session.succeeded() ? 1 : 0;
    view.outcomes = outcomes[index];
    return view;
}

} // namespace Page
