#ifndef SESSIONRUNNER_H
#define SESSIONRUNNER_H

#include "download/sessioncore.h"
#include "download/sessionresult.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

// Runs a board's download sessions, one at a time, and follows each by the
// session core's typed events and result.
//
// On Linux every runner's sessions share one loop thread that serves all
// lines (BoardLoop); on Windows each runs in a worker thread of its own that
// takes its replies in a thread of the runner's. Either way nothing the main
// thread does (writing to a stalled terminal, a pipe, a record on a slow
// disk) can hold up a session, and the main thread hears of a session at
// most once per percent.
class SessionRunner : public QObject
{
    Q_OBJECT
public:
    struct State {
        int blocksSent = 0; // block frames written
        int percent = 0;    // the progress after the last one
        bool running = false;
        bool ended = false;                  // the session is over and its line closed
        std::optional<SessionResult> result; // once the session has ended
        qint64 elapsedMs = 0;                // so far, or in all once ended
        // From the first block's write to the session's end, once ended; 0
        // for a session that wrote no block.
        qint64 blockPhaseNs = 0;

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

    // For the next session.
    void setLine(const QString &port, int baud);
    void setImage(const QString &path);
    // DTR and RTS into the boot loader and out; empty ones leave the lines
    // alone.
    void setLineSequences(const LineSequence &enter, const LineSequence &leave);

    State state() const;

    void start();
    // Cancels the running session at its next step, as the window's cancel
    // does; this holds even for a session that has not yet begun.
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
    struct Worker; // Windows: the window's worker and its reply thread

    void sessionFinished();

    SessionSettings settings; // the main thread's
    Follower follower{this};
    std::unique_ptr<Worker> worker;

    // Written by the session's thread, read by anyone.
    std::atomic<int> blocksSent{0};
    std::atomic<int> percent{0};
    std::atomic<bool> progressPosted{false};
    std::atomic<bool> stopRequested{false};
    qint64 firstBlockNs = 0; // the session's thread's

    mutable std::mutex lock; // guards the rest
    std::condition_variable sessionOver;
    bool sessionOpen = false; // begun, its result not yet in
    State current;
    QElapsedTimer clock;
};

#endif
