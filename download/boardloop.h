#ifndef BOARDLOOP_H
#define BOARDLOOP_H

#include "download/sessioncore.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Runs many boards' sessions in one thread: each board a session core over a
// line of its own, all served by one epoll loop. A block costs the system
// calls it needs (a write, a wake-up, a read) and nothing else: no thread
// hand-over, no queued event, no lock. Linux only.
class BoardLoop
{
public:
    BoardLoop();
    // Every session must have ended.
    ~BoardLoop();
    BoardLoop(const BoardLoop &) = delete;
    BoardLoop &operator=(const BoardLoop &) = delete;

    // The loop every runner of this program shares.
    static BoardLoop &shared();

    // Begins a session. `observer` hears of it from the loop's thread, its
    // result last, and must outlive it; its stopWanted() is asked before
    // each reply is judged.
    void begin(const SessionSettings &settings, SessionObserver *observer);

private:
    struct Board;

    void run();
    void takeNewBoards();
    void advance(Board &board);
    void openLine(Board &board);
    void lineReady(Board &board);
    void startLines(Board &board, const LineSequence &sequence);
    void playLines(Board &board);
    void linesPlayed(Board &board);
    void sendFrame(Board &board);
    void awaitDrain(Board &board);
    void takeIncoming(Board &board, unsigned events);
    int msUntilNextDeadline() const;
    void countTime();
    void finishEnded();
    void watch(Board &board, unsigned events);
    void forget(Board &board);

    int epoll = -1;
    int wake = -1;                              // an eventfd: new boards, or the end
    std::vector<std::unique_ptr<Board>> boards; // the loop thread's own
    qint64 now = 0;                             // ms, as of the last wake-up

    std::mutex lock; // guards arriving
    std::vector<std::unique_ptr<Board>> arriving;
    std::atomic<bool> ending{false};

    std::thread thread;
};

#endif
