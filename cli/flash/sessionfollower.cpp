#include "cli/flash/sessionfollower.h"

#include "cli/common/exitstatus.h"
#include "download/outcome.h"
#include "download/uploadthread.h"
#include "serial/threadhandover.h"

namespace
{

// Runs `work` in the follower's own thread, after everything posted before.
template <typename F> void postToOwner(SessionFollower *follower, F &&work)
{
    QMetaObject::invokeMethod(follower, ThreadHandOver::work(follower, std::forward<F>(work)),
                              Qt::QueuedConnection);
}

} // namespace

SessionFollower::SessionFollower(QObject *parent)
    : QObject(parent), session(std::make_unique<uploadThread>()),
      inReplyThread(std::make_unique<QObject>())
{
    replyThread.setObjectName(QStringLiteral("replies"));
    session->moveToThread(&replyThread);
    inReplyThread->moveToThread(&replyThread);
    follow();
    replyThread.start();
}

SessionFollower::~SessionFollower()
{
    stop();
    session->wait();
    replyThread.quit();
    replyThread.wait();
}

// The worker's three signals are taken in the session's own thread, as they
// are sent; its end in the reply thread, which can wait for the session's
// thread to be done before anyone may start the next.
void SessionFollower::follow()
{
    uploadThread *worker = session.get();
    connect(
        worker, &uploadThread::setProgress, inReplyThread.get(),
        [this](int value) {
            {
                std::lock_guard<std::mutex> locker(lock);
                if (closingBegun)
                    return;
                ++current.blocksSent;
                current.percent = value;
            }
            if (!progressPosted.exchange(true))
                postToOwner(this, [this] {
                    progressPosted = false;
                    emit progressed();
                });
        },
        Qt::DirectConnection);
    connect(
        worker, &uploadThread::setDownloadBtnText, inReplyThread.get(),
        [this](const char *) {
            std::lock_guard<std::mutex> locker(lock);
            closingBegun = true;
        },
        Qt::DirectConnection);
    connect(
        worker, &uploadThread::setFinish, inReplyThread.get(),
        [this](const char *text) {
            std::lock_guard<std::mutex> locker(lock);
            current.outcome = Outcome::fromText(text);
            current.elapsedMs = clock.elapsed();
        },
        Qt::DirectConnection);
    connect(
        worker, &QThread::finished, inReplyThread.get(),
        [this] {
            session->wait();
            const QString refused = session->refusedSetting();
            const QString openFailure = session->openFailure();
            const LineSequenceRun enter = session->enterRun();
            const LineSequenceRun leave = session->leaveRun();
            {
                std::lock_guard<std::mutex> locker(lock);
                current.running = false;
                current.ended = true;
                current.refusedSetting = refused;
                current.openFailure = openFailure;
                current.enter = enter;
                current.leave = leave;
            }
            postToOwner(this, [this] { emit ended(); });
        },
        Qt::QueuedConnection);
}

bool SessionFollower::State::succeeded() const
{
    return outcome && outcome->succeeded();
}

QString SessionFollower::State::outcomeText() const
{
    return QString::fromLatin1(outcome ? outcome->text() : "no outcome");
}

QString SessionFollower::State::outcomeWithReason() const
{
    return openFailure.isEmpty() ? outcomeText()
                                 : outcomeText() + QStringLiteral(" (%1)").arg(openFailure);
}

int SessionFollower::State::exitStatus() const
{
    return ExitStatus::of(outcome);
}

SessionFollower::State SessionFollower::state() const
{
    std::lock_guard<std::mutex> locker(lock);
    State s = current;
    if (s.running)
        s.elapsedMs = clock.elapsed();
    return s;
}

void SessionFollower::start()
{
    {
        std::lock_guard<std::mutex> locker(lock);
        current = State();
        current.running = true;
        closingBegun = false;
        sessionNumber = session->sessionCount() + 1;
        clock.start();
    }
    session->start(QThread::InheritPriority);
}

void SessionFollower::stop()
{
    std::lock_guard<std::mutex> locker(lock);
    if (current.running)
        session->stopSession(sessionNumber);
}
