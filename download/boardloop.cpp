#include "download/boardloop.h"

#include "download/firmwareimage.h"
#include "serial/directline.h"
#include "serial/serialport.h"

#include <QElapsedTimer>

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <unistd.h>

namespace
{

qint64 monotonicMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// An eventfd that cannot take another count already wakes its reader.
void knock(int eventFd)
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(eventFd, &one, sizeof one);
}

void clearKnocks(int eventFd)
{
    uint64_t count;
    [[maybe_unused]] const ssize_t read = ::read(eventFd, &count, sizeof count);
}

} // namespace

struct BoardLoop::Board {
    Board(const SessionSettings &settings, SessionObserver *observer)
        : settings(settings), observer(observer), core(observer), line(settings.port)
    {
    }

    const SessionSettings settings;
    SessionObserver *const observer;
    SessionCore core;
    DirectLine line;
    FirmwareImage image;
    QElapsedTimer clock;

    int written = 0;         // of the frame going out
    bool lastWhole = false;  // the last frame went to the driver whole
    bool watched = false;    // in the epoll set
    bool waitingOut = false; // for room to write the rest of a frame
    bool gone = false;       // the device hung up
    qint64 tickedAt = 0;     // the reply wait's time is counted up to here
    qint64 drainUntil = -1;  // the end frame's time to leave the adapter

    // A line sequence under way, its next step due then (ms); the runs as
    // they ended.
    std::optional<LineSequencePlayer> lines;
    qint64 linesDueAt = 0;
    LineSequenceRun entered;
    LineSequenceRun left;
    bool drained = false; // the end frame has left: `leave` runs, then the close
};

BoardLoop::BoardLoop()
{
    epoll = ::epoll_create1(EPOLL_CLOEXEC);
    wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event);
    thread = std::thread([this] { run(); });
}

BoardLoop::~BoardLoop()
{
    ending = true;
    knock(wake);
    thread.join();
    ::close(wake);
    ::close(epoll);
}

BoardLoop &BoardLoop::shared()
{
    static BoardLoop loop;
    return loop;
}

void BoardLoop::begin(const SessionSettings &settings, SessionObserver *observer)
{
    {
        std::lock_guard<std::mutex> locker(lock);
        arriving.push_back(std::make_unique<Board>(settings, observer));
    }
    knock(wake);
}

void BoardLoop::run()
{
    epoll_event events[64];
    bool woken = true;
    for (;;) {
        now = monotonicMs();
        // Only a wake-up brings new boards or the end: no lock otherwise.
        if (woken) {
            woken = false;
            takeNewBoards();
        }
        countTime();
        finishEnded();
        if (ending && boards.empty()) {
            std::lock_guard<std::mutex> locker(lock);
            if (arriving.empty())
                return;
        }
        const int ready = ::epoll_wait(epoll, events, 64, msUntilNextDeadline());
        now = monotonicMs();
        for (int i = 0; i < ready; ++i) {
            auto *board = static_cast<Board *>(events[i].data.ptr);
            if (!board) {
                clearKnocks(wake);
                woken = true;
                continue;
            }
            takeIncoming(*board, events[i].events);
            advance(*board);
        }
    }
}

void BoardLoop::takeNewBoards()
{
    std::vector<std::unique_ptr<Board>> taken;
    {
        std::lock_guard<std::mutex> locker(lock);
        taken.swap(arriving);
    }
    for (auto &board : taken) {
        board->clock.start();
        advance(*board);
        boards.push_back(std::move(board));
    }
}

// Runs the board's session on until it waits for the line or has ended.
void BoardLoop::advance(Board &board)
{
    using Need = SessionCore::Need;
    SessionCore &core = board.core;
    for (;;) {
        // A sequence's wait holds the session where it is.
        if (board.lines)
            return;
        switch (core.need()) {
        case Need::Port:
            openLine(board);
            break;
        case Need::Send:
            sendFrame(board);
            if (board.waitingOut)
                return;
            break;
        case Need::Reply:
            return;
        case Need::Image: {
            const ImageCheck check = board.image.openChecked(board.settings.imagePath);
            core.imageOpened(check, board.image.isOpen()
                                        ? std::optional<qint64>(board.image.length())
                                        : std::nullopt);
            break;
        }
        case Need::Block:
            core.blockRead(board.image.readBlock(core.blockData()));
            break;
        case Need::EndSent:
            awaitDrain(board);
            if (core.need() == Need::EndSent)
                return;
            break;
        case Need::Done:
            return;
        }
    }
}

void BoardLoop::openLine(Board &board)
{
    const SessionSettings &settings = board.settings;
    std::optional<PortFailure> failure = board.line.open(settings.baud);
    if (!failure)
        failure = prepareLines(board.line, settings.enter, settings.leave);
    if (failure) {
        board.core.portFailed(*failure);
        return;
    }
    if (settings.enter.isEmpty())
        lineReady(board);
    else
        startLines(board, settings.enter);
}

void BoardLoop::lineReady(Board &board)
{
    watch(board, EPOLLIN);
    board.core.portOpened();
}

void BoardLoop::startLines(Board &board, const LineSequence &sequence)
{
    board.lines.emplace(sequence, board.line);
    playLines(board);
}

// Runs the steps that are due now; a wait becomes the board's deadline, and
// the loop plays on from there.
void BoardLoop::playLines(Board &board)
{
    const std::optional<LineSequencePlayer::Clock::time_point> due = board.lines->advance();
    if (due) {
        const auto left = *due - LineSequencePlayer::Clock::now();
        board.linesDueAt =
            monotonicMs() + std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return;
    }
    linesPlayed(board);
}

// `enter` ends in the line's set-up, `leave` in the close.
void BoardLoop::linesPlayed(Board &board)
{
    const LineSequenceRun run = board.lines->run();
    board.lines.reset();
    if (board.core.need() == SessionCore::Need::Port) {
        board.entered = run;
        if (run.failure)
            board.core.portFailed(enterFailure(*run.failure));
        else
            lineReady(board);
        return;
    }
    board.left = run;
}

// A frame the driver cannot take whole waits for room; as with the window's
// worker, a write that fails is not judged here: its reply never comes.
void BoardLoop::sendFrame(Board &board)
{
    SessionCore &core = board.core;
    const int size = core.frameSize();
    if (!board.gone) {
        const int put = board.line.write(core.frame() + board.written, size - board.written);
        if (put < 0) {
            board.gone = true;
            forget(board);
        } else {
            board.written += put;
        }
    }
    if (!board.gone && board.written < size) {
        if (!board.waitingOut)
            watch(board, EPOLLIN | EPOLLOUT);
        board.waitingOut = true;
        return;
    }
    if (board.waitingOut) {
        board.waitingOut = false;
        watch(board, EPOLLIN);
    }
    board.lastWhole = !board.gone;
    board.written = 0;
    board.tickedAt = now;
    core.frameWritten();
}

// Success only once the end frame has left the adapter, within the time
// the window's worker gives it; a line that went away fails it.
void BoardLoop::awaitDrain(Board &board)
{
    if (board.drained) {
        board.line.close();
        board.core.endSent(true);
        return;
    }
    bool sent = board.lastWhole && !board.gone;
    if (sent && board.line.queuedOutput() > 0) {
        if (board.drainUntil < 0)
            board.drainUntil = now + SerialPort::DrainTimeoutMs;
        if (now < board.drainUntil)
            return;
        sent = false;
    }
    forget(board);
    if (sent) {
        board.line.drain();
        board.drained = true;
        if (!board.settings.leave.isEmpty())
            startLines(board, board.settings.leave);
        if (board.lines)
            return;
    }
    board.line.close(!sent);
    board.core.endSent(sent);
}

void BoardLoop::takeIncoming(Board &board, unsigned events)
{
    if (events & EPOLLIN) {
        char buffer[256];
        const int got = board.line.read(buffer, sizeof buffer);
        if (got > 0) {
            if (board.core.need() == SessionCore::Need::Reply && board.observer->stopWanted())
                board.core.requestStop();
            board.core.received(buffer, got);
            return;
        }
        if (got == 0)
            return;
    } else if (!(events & (EPOLLHUP | EPOLLERR))) {
        return;
    }
    // Hung up: nothing more will come, and a level-triggered watch would
    // wake the loop for ever. The reply wait runs out as on any silent line.
    board.gone = true;
    forget(board);
}

int BoardLoop::msUntilNextDeadline() const
{
    qint64 next = LLONG_MAX;
    for (const auto &board : boards) {
        if (board->lines) {
            next = std::min(next, board->linesDueAt);
            continue;
        }
        switch (board->core.need()) {
        case SessionCore::Need::Reply:
            next = std::min(next, board->tickedAt + SessionCore::ReplyWaitTicks + 1 -
                                      board->core.ticksWaited());
            break;
        case SessionCore::Need::EndSent:
            next = std::min(next, now + 1); // the adapter's queue is looked at each ms
            break;
        default:
            break;
        }
    }
    if (next == LLONG_MAX)
        return -1;
    return int(std::max<qint64>(0, next - now));
}

// Each reply wait counts the ms that passed, as the worker counts its ticks.
void BoardLoop::countTime()
{
    for (const auto &board : boards) {
        if (board->lines) {
            if (now >= board->linesDueAt) {
                playLines(*board);
                advance(*board);
            }
        } else if (board->core.need() == SessionCore::Need::Reply && now > board->tickedAt) {
            board->core.ticked(int(now - board->tickedAt));
            board->tickedAt = now;
            advance(*board);
        } else if (board->core.need() == SessionCore::Need::EndSent) {
            advance(*board);
        }
    }
}

void BoardLoop::finishEnded()
{
    const auto ended = [](const std::unique_ptr<Board> &board) {
        return board->core.need() == SessionCore::Need::Done;
    };
    for (auto &board : boards) {
        if (!ended(board))
            continue;
        forget(*board);
        board->line.close(true);
        board->image.close();
        SessionResult result = board->core.result();
        result.elapsedMs = board->clock.elapsed();
        result.enter = board->entered;
        result.leave = board->left;
        board->observer->sessionEnded(result);
    }
    boards.erase(std::remove_if(boards.begin(), boards.end(), ended), boards.end());
}

void BoardLoop::watch(Board &board, unsigned events)
{
    epoll_event event{};
    event.events = events;
    event.data.ptr = &board;
    ::epoll_ctl(epoll, board.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, board.line.descriptor(),
                &event);
    board.watched = true;
}

void BoardLoop::forget(Board &board)
{
    if (!board.watched)
        return;
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, board.line.descriptor(), nullptr);
    board.watched = false;
}
