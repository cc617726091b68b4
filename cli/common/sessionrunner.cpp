#include "cli/common/sessionrunner.h"

#include "cli/common/exitstatus.h"
#include "download/outcome.h"
#include "serial/threadhandover.h"

#include <chrono>

namespace
{

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

#ifdef Q_OS_WIN
#include "download/uploadthread.h"

#include <QThread>

// Windows keeps a thread per board: WaitForMultipleObjects takes at most 64
// handles, and overlapped reads from many ports in one thread gain little.
// The worker takes its replies in a thread of the runner's own.
struct SessionRunner::Worker {
    explicit Worker(SessionRunner *runner)
    {
        replyThread.setObjectName(QStringLiteral("replies"));
        session.moveToThread(&replyThread);
        session.setObserver(&runner->follower);
        // The thread must be done before the next session may start.
        QObject::connect(&session, &QThread::finished, runner, &SessionRunner::sessionFinished,
                         Qt::QueuedConnection);
        replyThread.start();
    }
    ~Worker()
    {
        session.wait();
        replyThread.quit();
        replyThread.wait();
    }
    void begin(const SessionSettings &settings)
    {
        session.setBaud(settings.baud);
        session.setComName(settings.port.toUtf8().constData());
        session.setFileName(settings.imagePath.toUtf8().constData());
        session.setLineSequences(settings.enter, settings.leave);
        session.start(QThread::InheritPriority);
    }

    uploadThread session;
    QThread replyThread;
};
#else
#include "download/boardloop.h"

struct SessionRunner::Worker {
};
#endif

SessionRunner::SessionRunner(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_WIN
    worker = std::make_unique<Worker>(this);
#endif
}

SessionRunner::~SessionRunner()
{
    stop();
    std::unique_lock<std::mutex> locker(lock);
    sessionOver.wait(locker, [this] { return !sessionOpen; });
    locker.unlock();
    worker.reset();
}

void SessionRunner::setLine(const QString &port, int baud)
{
    settings.port = port;
    settings.baud = baud;
}

void SessionRunner::setLineSequences(const LineSequence &enter, const LineSequence &leave)
{
    settings.enter = enter;
    settings.leave = leave;
}

void SessionRunner::setImage(const QString &path)
{
    settings.imagePath = path;
}

void SessionRunner::Follower::sessionEvent(const SessionEvent &event)
{
    if (event.kind != SessionEvent::Kind::BlockWritten)
        return;
    if (event.value == 1)
        runner->firstBlockNs = steadyNs();
    runner->blocksSent.store(int(event.value), std::memory_order_relaxed);
    if (runner->percent.exchange(event.percent, std::memory_order_relaxed) == event.percent)
        return;
    if (!runner->progressPosted.exchange(true))
        QMetaObject::invokeMethod(runner,
                                  ThreadHandOver::work(runner,
                                                       [r = runner] {
                                                           r->progressPosted = false;
                                                           emit r->progressed();
                                                       }),
                                  Qt::QueuedConnection);
}

// Under the lock to the last: once it is released the runner may be gone.
void SessionRunner::Follower::sessionEnded(const SessionResult &result)
{
    std::lock_guard<std::mutex> locker(runner->lock);
    runner->current.result = result;
    runner->current.elapsedMs = result.elapsedMs;
    if (result.blocksWritten > 0)
        runner->current.blockPhaseNs = steadyNs() - runner->firstBlockNs;
#ifndef Q_OS_WIN
    QMetaObject::invokeMethod(runner,
                              ThreadHandOver::work(runner, [r = runner] { r->sessionFinished(); }),
                              Qt::QueuedConnection);
#endif
    runner->sessionOpen = false;
    runner->sessionOver.notify_all();
}

void SessionRunner::sessionFinished()
{
#ifdef Q_OS_WIN
    worker->session.wait();
#endif
    {
        std::lock_guard<std::mutex> locker(lock);
        current.running = false;
        current.ended = true;
    }
    emit ended();
}

QString SessionRunner::State::outcomeText() const
{
    return QString::fromLatin1(result ? result->outcome().text() : "no outcome");
}

QString SessionRunner::State::outcomeWithReason() const
{
    const PortFailure *failure = portFailure();
    return failure ? outcomeText() + QStringLiteral(" (%1)").arg(failure->detail) : outcomeText();
}

int SessionRunner::State::exitStatus() const
{
    return ExitStatus::of(result ? &result->outcome() : nullptr);
}

const PortFailure *SessionRunner::State::portFailure() const
{
    return result && result->portFailure ? &*result->portFailure : nullptr;
}

bool SessionRunner::State::settingRefused() const
{
    const PortFailure *failure = portFailure();
    return failure && failure->kind == PortFailure::Kind::SettingRefused;
}

SessionRunner::State SessionRunner::state() const
{
    std::lock_guard<std::mutex> locker(lock);
    State s = current;
    s.blocksSent = blocksSent.load(std::memory_order_relaxed);
    s.percent = percent.load(std::memory_order_relaxed);
    if (s.running)
        s.elapsedMs = clock.elapsed();
    return s;
}

void SessionRunner::start()
{
    {
        std::lock_guard<std::mutex> locker(lock);
        // Field by field: a whole new State trips a false warning in GCC 12.
        current.result.reset();
        current.ended = false;
        current.elapsedMs = 0;
        current.blockPhaseNs = 0;
        current.running = true;
        sessionOpen = true;
        blocksSent = 0;
        percent = 0;
        stopRequested = false;
        clock.start();
    }
#ifdef Q_OS_WIN
    worker->begin(settings);
#else
    BoardLoop::shared().begin(settings, &follower);
#endif
}

void SessionRunner::stop()
{
    stopRequested = true;
}
