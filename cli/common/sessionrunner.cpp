#include "cli/common/sessionrunner.h"

#include "cli/common/exitstatus.h"
#include "download/outcome.h"

SessionRunner::SessionRunner(QObject *parent)
    : QObject(parent), session(std::make_unique<uploadThread>())
{
    replyThread.setObjectName(QStringLiteral("replies"));
    session->moveToThread(&replyThread);
    session->setObserver(&follower);
    connect(session.get(), &QThread::finished, this, &SessionRunner::sessionFinished,
            Qt::QueuedConnection);
    replyThread.start();
}

SessionRunner::~SessionRunner()
{
    stop();
    session->wait();
    replyThread.quit();
    replyThread.wait();
}

void SessionRunner::Follower::sessionEvent(const SessionEvent &event)
{
    if (event.kind != SessionEvent::Kind::BlockWritten)
        return;
    runner->blocksSent.store(int(event.value), std::memory_order_relaxed);
    if (runner->percent.exchange(event.percent, std::memory_order_relaxed) == event.percent)
        return;
    if (!runner->progressPosted.exchange(true))
        QMetaObject::invokeMethod(
            runner,
            [r = runner] {
                r->progressPosted = false;
                emit r->progressed();
            },
            Qt::QueuedConnection);
}

void SessionRunner::Follower::sessionEnded(const SessionResult &result)
{
    std::lock_guard<std::mutex> locker(runner->lock);
    runner->current.result = result;
    runner->current.elapsedMs = result.elapsedMs;
}

// The thread is done: the next session may start.
void SessionRunner::sessionFinished()
{
    session->wait();
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
        current = State();
        current.running = true;
        blocksSent = 0;
        percent = 0;
        stopRequested = false;
        clock.start();
    }
    session->start(QThread::InheritPriority);
}

void SessionRunner::stop()
{
    stopRequested = true;
}
