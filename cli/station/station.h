#ifndef STATION_H
#define STATION_H

#include "cli/common/sessionrunner.h"
#include "cli/common/workingcopies.h"
#include "cli/record/recordwriter.h"
#include "cli/record/stampledger.h"
#include "download/linerates.h"
#include "serial/linesequence.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <deque>
#include <memory>
#include <vector>

// A production station: every port is a fixture socket (a slot) that flashes
// each board plugged into it, once, and then waits for it to be unplugged.
// A board's session is the window's session, run by its own worker.
class Station : public QObject
{
    Q_OBJECT
public:
    enum class State { WaitingForBoard, Flashing, WaitingForUnplug };

    // How a slot has done: its boards, and how long it was busy.
    struct Tally {
        // The median is of the last boards only: a station runs for weeks.
        static constexpr int MedianWindow = 1000;

        int boards = 0;
        int failures = 0;
        QVector<bool> lastFailed; // the last ten boards, oldest first
        qint64 flashingMs = 0;    // of boards that have ended

        void add(bool failed, double boardSeconds);
        // Of the last MedianWindow boards' session times.
        double medianSeconds() const;
        // Three or more of the last ten boards failed: more likely the
        // fixture (a worn pin, a loose cable) than the boards.
        bool checkFixture() const;

    private:
        std::deque<double> recentSeconds;  // oldest first
        std::vector<double> sortedSeconds; // the same, in order
    };

    struct Slot {
        QString port;
        State state = State::WaitingForBoard;
        std::unique_ptr<SessionRunner> runner;
        int board = 0; // running number of the board in the slot, from 1
        QString usbSerial;
        qint64 retryAfterMs = 0;   // a port that did not open is tried again then
        qint64 absentSinceMs = -1; // when the port went; -1 while it is there
        bool boardLeft = false;    // the board being flashed has been taken out
        Tally tally;
        qint64 flashingSinceMs = 0;
        // With a stamp: the board's value, and whether it is reserved and
        // sent to no board yet (a port that did not open keeps it).
        Stamp::Value stamp;
        bool stampHeld = false;
        QString flashedSha256; // of the copy the board is sent, hex
    };

    struct Settings {
        QStringList ports;
        int baud = LineRates::All[0];
        QString imagePath;
        qint64 blocks = 0;
        int count = 0; // boards to flash in all; 0 for no limit
        QString recordPath;
        QString continuedRecord; // the record a new record continues; empty for none
        // A port away for less than this is the same board coming back (a
        // board restarting, an adapter enumerating again).
        int settleMs = 1000;
        Stamp::Plan stamp;  // needs the record
        LineSequence enter; // DTR and RTS into the boot loader, and out
        LineSequence leave;
        // With a quantity, no board is started once the job's successes in
        // the record and the boards in flight reach it.
        Record::JobMark job;
    };

    explicit Station(const Settings &settings, QObject *parent = nullptr);
    ~Station() override;

    // Takes the image's hash and opens the record, with `stampValues` (the
    // stamp's, opened) as its ledger's. On failure, the reason and the exit
    // status; `notice` tells of a repair made to the record.
    bool prepare(Stamp::Source stampValues, QString *error, int *status, QString *notice);
    void start();
    // Ctrl-C: sessions in progress end as a cancel, no new board is taken.
    void interrupt();

    int size() const { return int(allSlots.size()); }
    const Slot &slot(int index) const { return allSlots[index]; }
    // The board's session in the slot: running, or as it ended.
    SessionRunner::State session(int index) const { return allSlots[index].runner->state(); }
    const Settings &settings() const { return config; }
    // The share of the station's time the slot spent waiting for an operator
    // (for a board to be plugged in or taken out) rather than flashing.
    double waitingShare(int index) const;
    QString imageSha256() const { return image.sha256(); }
    int succeeded() const { return goodBoards; }
    int failed() const { return badBoards; }
    qint64 elapsedMs() const { return clock.elapsed(); }
    bool wasInterrupted() const { return interrupted; }
    // The stamp values reserved in this run; empty for none.
    QString stampRange() const { return ledger.rangeText(); }
    // What the record's lines hold so far; empty without a record.
    const Record::Summary &recordSummary() const { return recordFile.summary(); }
    int exitStatus() const;

signals:
    void changed(int index);
    void boardStarted(int index);
    void boardEnded(int index);
    // Something the operator must read: the station stopped by itself, or a
    // record line was lost.
    void alarm(const QString &message);
    void finished();

private:
    void poll();
    void portSeen(int index, bool present, qint64 now);
    void startBoard(int index);
    void endBoard(int index);
    bool reserveStamp(int index);
    bool record(int index, QString *error);
    void stopTaking(const QString &reason, int status);
    // Room left in the job's quantity for another board to start.
    bool quantityAllows() const;
    void stopAtQuantity();
    void finishWhenIdle();

    Settings config;
    Record::Writer recordFile; // outlives the slots' sessions
    StampLedger ledger;
    std::vector<Slot> allSlots;
    WorkingCopies image;
    QTimer poller;
    QElapsedTimer clock;
    int boardsStarted = 0;
    qint64 earlierSuccesses = 0; // of the job, in the record before this run
    int goodBoards = 0;
    int badBoards = 0;
    bool interrupted = false;
    bool recordLost = false;
    bool taking = true;
    bool done = false;
    int haltStatus = 0;
};

#endif
