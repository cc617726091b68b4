#ifndef SESSIONRUNNER_H
#define SESSIONRUNNER_H

#include "download/sessionresult.h"
#include "download/uploadthread.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

// Runs a board's download sessions, one at a time, on a worker of its own,
// and follows each by the session core's typed events and result.
//
// The worker takes its replies in a thread of this runner's own, never in
// the main thread, so nothing the main thread does (writing to a stalled
// terminal, a pipe, a record on a slow disk) can hold up a session.
class SessionRunner : public QObject
{
    Q_OBJECT
public:
    struct State {
        int blocksSent = 0; // block frames written
        int percent = 0;    // the progress after the last one
        bool running = false;
        bool ended = false;                  // the session's thread is done
        std::optional<SessionResult> result; // once the session has ended
        qint64 elapsedMs = 0;                // so far, or in all once ended

        bool succeeded() const { return result && result->succeeded(); }
        // The outcome's text, "no outcome" before there is one.
        QString outcomeText() const;
        // The same, with why the port would not open where that is known.
        QString outcomeWithReason() const;
        int exitStatus() const;
        // Why the port did not open or could not be set up; null for none.
        const PortFailure *portFailure() const;
        // The port opened, but refused a line setting the board needs.
        bool settingRefused() const;
    };

    explicit SessionRunner(QObject *parent = nullptr);
    ~SessionRunner() override;

    // For the settings.
    uploadThread *worker() const { return session.get(); }
    State state() const;

    void start();
    // Cancels the running session at its next step, as the window's cancel
    // does; this holds even for a session whose thread is only starting.
    void stop();

signals:
    // Once per change of percent at most; bursts are merged into one.
    void progressed();
    void ended();

private:
    struct Follower : SessionObserver {
        explicit Follower(SessionRunner *runner) : runner(runner) {}
        void sessionEvent(const SessionEvent &event) override;
        bool stopWanted() override { return runner->stopRequested; }
        void sessionEnded(const SessionResult &result) override;
        SessionRunner *runner;
    };

    void sessionFinished();

    std::unique_ptr<uploadThread> session;
    QThread replyThread;
    Follower follower{this};

    // Written by the session's thread, read by anyone.
    std::atomic<int> blocksSent{0};
    std::atomic<int> percent{0};
    std::atomic<bool> progressPosted{false};
    std::atomic<bool> stopRequested{false};

    mutable std::mutex lock; // guards the rest
    State current;
    QElapsedTimer clock;
};

#endif
