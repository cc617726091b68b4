#ifndef SESSIONFOLLOWER_H
#define SESSIONFOLLOWER_H

#include "serial/linesequence.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

class Outcome;
class uploadThread;

// Runs a board's download sessions, one at a time, on a worker of its own,
// driven as the window drives its one: the settings, start(), and a stop for
// a cancel; everything else is read from the worker's signals.
//
// The worker takes its replies in a thread of this follower's own, never in
// the main thread, so nothing the main thread does (writing to a stalled
// terminal, a pipe, a record on a slow disk) can hold up a session.
class SessionFollower : public QObject
{
    Q_OBJECT
public:
    struct State {
        // Block frames written: the worker reports progress once after each
        // one, and not again until its closing signals.
        int blocksSent = 0;
        int percent = 0; // as the worker last reported it
        bool running = false;
        bool ended = false;               // the session's thread is done
        const Outcome *outcome = nullptr; // once the session has ended
        QString refusedSetting;           // a line setting the port refused
        QString openFailure;              // why the port did not open or set up
        qint64 elapsedMs = 0;             // so far, or in all once ended
        LineSequenceRun enter;            // the lines' steps, once ended
        LineSequenceRun leave;

        bool succeeded() const;
        // The outcome's text, "no outcome" before there is one.
        QString outcomeText() const;
        // The same, with why the port would not open where that is known.
        QString outcomeWithReason() const;
        int exitStatus() const;
    };

    explicit SessionFollower(QObject *parent = nullptr);
    ~SessionFollower() override;

    // For the settings, and for watching its signals.
    uploadThread *worker() const { return session.get(); }
    State state() const;

    void start();
    // Cancels the running session at its next step, as the window's cancel
    // does; this holds even for a session whose thread is only starting.
    void stop();

signals:
    // Queued to the follower's thread. Bursts are merged into one.
    void progressed();
    void ended();

private:
    void follow();

    std::unique_ptr<uploadThread> session;
    QThread replyThread;
    std::unique_ptr<QObject> inReplyThread; // the context of the worker's signals

    mutable std::mutex lock; // guards the rest
    State current;
    bool closingBegun = false; // the session's closing signals have begun
    unsigned sessionNumber = 0;
    QElapsedTimer clock;
    std::atomic<bool> progressPosted{false};
};

#endif
