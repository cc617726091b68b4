#include "cli/station/station.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/record/boardline.h"
#include "cli/station/portpresence.h"
#include "download/outcome.h"
#include "download/uploadthread.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>

namespace
{

// A few looks a second: a board is flashed well within half a second of its
// port appearing, and waiting costs next to nothing.
constexpr int PollIntervalMs = 100;
// A port that is there but does not open yet (its permissions are often set
// a moment after it appears) is tried again after this.
constexpr int OpenRetryMs = 1000;

} // namespace

Station::Station(const Settings &settings, QObject *parent)
    : QObject(parent), config(settings), allSlots(settings.ports.size())
{
    for (int index = 0; index < size(); ++index) {
        Slot &s = allSlots[index];
        s.port = config.ports[index];
        s.runner = std::make_unique<SessionRunner>();
        s.runner->setLine(s.port, config.baud);
        s.runner->setLineSequences(config.enter, config.leave);
        connect(s.runner.get(), &SessionRunner::progressed, this,
                [this, index] { emit changed(index); });
        connect(s.runner.get(), &SessionRunner::ended, this, [this, index] { endBoard(index); });
    }
    poller.setInterval(PollIntervalMs);
    connect(&poller, &QTimer::timeout, this, &Station::poll);
}

// Each runner cancels and waits for its session as it goes.
Station::~Station() = default;

bool Station::prepare(Stamp::Source stampValues, QString *error, int *status, QString *notice)
{
    *status = ExitStatus::FileError;
    if (image.open(config.imagePath, error) != WorkingCopies::Failure::None)
        return false;
    *status = ExitStatus::Usage;
    if (config.recordPath.isEmpty())
        return true;
    if (!recordFile.open(config.recordPath, config.continuedRecord, error, notice) ||
        (config.stamp.active() &&
         !ledger.open(std::move(stampValues), &recordFile, config.recordPath, error)))
        return false;
    recordFile.checkpointIfBehind();
    earlierSuccesses = recordFile.summary().jobSuccesses.value(config.job.name);
    return true;
}

// The window is kept in order as it moves, so the median costs nothing to
// read however often the screen is redrawn.
void Station::Tally::add(bool failed, double boardSeconds)
{
    ++boards;
    failures += failed ? 1 : 0;
    lastFailed.append(failed);
    if (lastFailed.size() > 10)
        lastFailed.removeFirst();
    recentSeconds.push_back(boardSeconds);
    sortedSeconds.insert(std::upper_bound(sortedSeconds.begin(), sortedSeconds.end(), boardSeconds),
                         boardSeconds);
    if (recentSeconds.size() > size_t(MedianWindow)) {
        const double oldest = recentSeconds.front();
        recentSeconds.pop_front();
        sortedSeconds.erase(std::lower_bound(sortedSeconds.begin(), sortedSeconds.end(), oldest));
    }
}

double Station::Tally::medianSeconds() const
{
    if (sortedSeconds.empty())
        return 0;
    const size_t middle = sortedSeconds.size() / 2;
    return sortedSeconds.size() % 2 ? sortedSeconds[middle]
                                    : (sortedSeconds[middle - 1] + sortedSeconds[middle]) / 2;
}

bool Station::Tally::checkFixture() const
{
    return std::count(lastFailed.cbegin(), lastFailed.cend(), true) >= 3;
}

double Station::waitingShare(int index) const
{
    const Slot &s = allSlots[index];
    const qint64 elapsed = clock.elapsed();
    qint64 flashing = s.tally.flashingMs;
    if (s.state == State::Flashing)
        flashing += elapsed - s.flashingSinceMs;
    return elapsed > 0 ? 1.0 - double(flashing) / elapsed : 0;
}

void Station::start()
{
    clock.start();
    poller.start();
    if (!quantityAllows())
        stopAtQuantity();
    poll();
}

// A board in flight holds its place until it ends; one that fails frees it.
bool Station::quantityAllows() const
{
    if (config.job.quantity == 0)
        return true;
    const auto inFlight = std::count_if(allSlots.cbegin(), allSlots.cend(),
                                        [](const Slot &s) { return s.state == State::Flashing; });
    return earlierSuccesses + goodBoards + inFlight < config.job.quantity;
}

// The lot is done: the station ends as a success, so that a service manager
// does not start it again.
void Station::stopAtQuantity()
{
    if (earlierSuccesses + goodBoards >= config.job.quantity)
        stopTaking(QStringLiteral("the job %1 has reached its quantity of %2 boards; the "
                                  "station has stopped")
                       .arg(config.job.name)
                       .arg(config.job.quantity),
                   ExitStatus::Success);
}

void Station::interrupt()
{
    interrupted = true;
    stopTaking(QString(), ExitStatus::Interrupted);
    for (Slot &s : allSlots) {
        if (s.state == State::Flashing)
            s.runner->stop();
    }
    finishWhenIdle();
}

// A lost record line outranks everything: the board it was for is not
// accounted for.
int Station::exitStatus() const
{
    if (recordLost)
        return ExitStatus::Failed;
    if (haltStatus != 0)
        return haltStatus;
    return badBoards > 0 ? ExitStatus::Failed : ExitStatus::Success;
}

void Station::poll()
{
    const qint64 now = clock.elapsed();
    for (int index = 0; index < size(); ++index)
        portSeen(index, PortPresence::present(allSlots[index].port), now);
}

// Whether a board is in the slot, whatever the slot is doing: a port away for
// less than the settle time is the same board back; one away for longer, or
// back with another USB serial number, is a new board.
void Station::portSeen(int index, bool present, qint64 now)
{
    Slot &s = allSlots[index];
    if (present && s.absentSinceMs >= 0 && s.state != State::WaitingForBoard &&
        !s.usbSerial.isEmpty()) {
        const QString serial = PortPresence::usbSerial(s.port);
        if (!serial.isEmpty() && serial != s.usbSerial)
            s.boardLeft = true;
    }
    if (present)
        s.absentSinceMs = -1;
    else if (s.absentSinceMs < 0)
        s.absentSinceMs = now;
    if (s.absentSinceMs >= 0 && now - s.absentSinceMs >= config.settleMs)
        s.boardLeft = s.state != State::WaitingForBoard;

    switch (s.state) {
    case State::Flashing:
        break; // the session's end decides what comes next
    case State::WaitingForUnplug:
        if (s.boardLeft) {
            s.boardLeft = false;
            s.state = State::WaitingForBoard;
            emit changed(index);
        }
        break;
    case State::WaitingForBoard:
        // No new board while the output is far behind its reader: what it
        // holds must stay bounded.
        if (present && taking && now >= s.retryAfterMs &&
            (config.count == 0 || boardsStarted < config.count) && quantityAllows() &&
            !Output::behind())
            startBoard(index);
        break;
    }
}

// The image is read again for each board, and the session is given a copy of
// exactly the bytes whose hash was checked, so a file replaced mid-transfer
// can never reach a board in pieces.
void Station::startBoard(int index)
{
    Slot &s = allSlots[index];
    QByteArray bytes;
    QString error;
    switch (image.readAgain(&bytes, &error)) {
    case WorkingCopies::Failure::None:
        break;
    case WorkingCopies::Failure::Changed:
        stopTaking(QStringLiteral("the image %1 has changed since the station started; "
                                  "restart the station to flash the new one")
                       .arg(config.imagePath),
                   ExitStatus::FileError);
        return;
    default:
        stopTaking(
            QStringLiteral("the image %1 cannot be read any more: %2").arg(config.imagePath, error),
            ExitStatus::FileError);
        return;
    }
    // The board's value is on disk before any byte goes to it.
    if (config.stamp.active()) {
        if (!s.stampHeld && !reserveStamp(index))
            return;
        bytes = Stamp::stamped(bytes, config.stamp, s.stamp);
    }
    QString copy;
    if (!image.write(QStringLiteral("slot%1.bin").arg(index), bytes, &copy, &s.flashedSha256,
                     &error)) {
        stopTaking(QStringLiteral("cannot write the image's working copy %1: %2").arg(copy, error),
                   ExitStatus::FileError);
        return;
    }

    ++boardsStarted;
    s.board = boardsStarted;
    s.state = State::Flashing;
    s.flashingSinceMs = clock.elapsed();
    s.boardLeft = false;
    s.usbSerial = PortPresence::usbSerial(s.port);
    s.runner->setImage(copy);
    s.runner->start();
    emit boardStarted(index);
}

void Station::endBoard(int index)
{
    Slot &s = allSlots[index];
    const SessionRunner::State session = s.runner->state();
    s.tally.flashingMs += clock.elapsed() - s.flashingSinceMs;
    // A port that is there but does not open is no board flashed: it is
    // tried again, as long as it stays. One that opens but refuses the line
    // settings will not do better next time: that board has failed.
    if (session.portFailure() && !session.settingRefused()) {
        --boardsStarted;
        s.state = State::WaitingForBoard;
        s.boardLeft = false;
        s.retryAfterMs = clock.elapsed() + OpenRetryMs;
        emit changed(index);
        finishWhenIdle();
        return;
    }
    s.stampHeld = false;
    const bool good = session.succeeded();
    ++(good ? goodBoards : badBoards);
    s.tally.add(!good, session.elapsedMs / 1000.0);
    // A board swapped in while this one's session was failing is flashed next.
    s.state = s.boardLeft ? State::WaitingForBoard : State::WaitingForUnplug;
    s.boardLeft = false;
    QString error;
    if (!record(index, &error)) {
        recordLost = true;
        emit alarm(QStringLiteral("cannot write the record %1 for board %2 in %3: %4%5")
                       .arg(config.recordPath)
                       .arg(s.board)
                       .arg(s.port, error,
                            taking ? QStringLiteral("; the station has stopped") : QString()));
        stopTaking(QString(), ExitStatus::Failed);
    }
    emit boardEnded(index);
    if (s.state == State::WaitingForBoard)
        emit changed(index);
    if (config.count > 0 && goodBoards + badBoards >= config.count)
        stopTaking(QString(), ExitStatus::Success);
    if (config.job.quantity > 0)
        stopAtQuantity();
    finishWhenIdle();
}

// A value the next board in the slot carries, whatever its session does.
bool Station::reserveStamp(int index)
{
    Slot &s = allSlots[index];
    QString error;
    switch (ledger.reserve(s.port, boardsStarted + 1, &s.stamp, &error)) {
    case StampLedger::Result::Reserved:
        s.stampHeld = true;
        return true;
    case StampLedger::Result::NoneLeft:
        stopTaking(QStringLiteral("no stamp values left after %1; the station has stopped")
                       .arg(ledger.rangeText().isEmpty() ? QStringLiteral("those in the record")
                                                         : ledger.rangeText()),
                   ExitStatus::Success);
        return false;
    case StampLedger::Result::NotWritten:
        break;
    }
    recordLost = true;
    emit alarm(QStringLiteral("cannot reserve a stamp in the record %1 for a board in %2: %3; "
                              "the station has stopped")
                   .arg(config.recordPath, s.port, error));
    stopTaking(QString(), ExitStatus::Failed);
    return false;
}

// What the board did, for the record.
bool Station::record(int index, QString *error)
{
    if (!recordFile.isOpen())
        return true;
    const Slot &s = allSlots[index];
    const SessionRunner::State session = s.runner->state();
    Record::BoardResult result{s.board, s.port, s.usbSerial, {}, s.stamp, s.flashedSha256};
    result.session = {
        session.outcomeText(), session.exitStatus(),
        session.succeeded(),   session.blocksSent,
        session.elapsedMs,     session.portFailure() ? session.portFailure()->detail : QString()};
    const Record::RunImage run{QFileInfo(config.imagePath).fileName(), imageSha256(), config.stamp,
                               config.job};
    const Record::Board board = Record::boardLine(result, run, QDateTime::currentDateTimeUtc());
    return recordFile.append(board, error);
}

// No new board is taken; sessions in progress run to their end. The first
// reason given is the one reported.
void Station::stopTaking(const QString &reason, int status)
{
    if (!taking)
        return;
    taking = false;
    haltStatus = status;
    if (!reason.isEmpty())
        emit alarm(reason);
    finishWhenIdle();
}

void Station::finishWhenIdle()
{
    if (taking || done)
        return;
    for (const Slot &s : allSlots) {
        if (s.state == State::Flashing)
            return;
    }
    done = true;
    poller.stop();
    emit finished();
}
