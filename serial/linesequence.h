#ifndef LINESEQUENCE_H
#define LINESEQUENCE_H

#include "serial/modemlines.h"
#include "serial/portfailure.h"

#include <QString>
#include <QVector>

#include <chrono>
#include <optional>

// A sequence of changes to an adapter's DTR and RTS lines with waits between
// them, as boards are reset into their boot loader and back out:
// "dtr=1,rts=1 wait=100 rts=0 wait=50 dtr=0". 1 is a line asserted, as the
// driver names it; a board behind an inverting stage is written with the
// opposite levels.
struct LineStep {
    // Lines named in one step change together, in one system call.
    std::optional<bool> dtr;
    std::optional<bool> rts;
    int waitMs = -1; // a wait step; -1 for a step of lines

    bool isWait() const { return waitMs >= 0; }
    // As it would be written: "dtr=0,rts=1", "wait=100".
    QString text() const;
};

struct LineSequence {
    // The longest wait a step may ask for: a minute is far past any board's
    // reset, and a typo must not hold a line for hours.
    static constexpr int MaxWaitMs = 60000;

    QVector<LineStep> steps;

    bool isEmpty() const { return steps.isEmpty(); }
    QString text() const;
};

// A sequence read from text, or why it is not one: the step's number and
// text, and what is wrong with it.
struct LineSequenceParse {
    LineSequence sequence;
    std::optional<QString> error;

    bool ok() const { return !error; }
};
LineSequenceParse parseLineSequence(const QString &text);

// One step as it ran: when it began and how long it took, from the
// sequence's start.
struct LineStepTime {
    QString step;
    double startMs = 0;
    double tookMs = 0;
};

// A sequence run on a port: the steps that ran, and why it stopped where it
// did not run to its end.
struct LineSequenceRun {
    QVector<LineStepTime> steps;
    std::optional<QString> failure; // names the step and what the system said

    bool ok() const { return !failure; }
};

// An open line's DTR and RTS, reached as its owner reaches the device.
class ModemLineAccess
{
public:
    virtual ~ModemLineAccess() = default;
    virtual ModemLines::Read readLines() = 0;
    virtual std::optional<QString> writeLines(const ModemLines::State &lines) = 0;
    virtual std::optional<QString> keepLinesAtClose() = 0;
};

// Runs a sequence a step at a time, so that its waits can be the caller's:
// a thread of its own sleeps through them, a loop serving many lines keeps
// each as a deadline among the others. The lines are read before the first
// change, so that a driver without modem lines fails there, having changed
// nothing.
class LineSequencePlayer
{
public:
    using Clock = std::chrono::steady_clock;

    LineSequencePlayer(const LineSequence &sequence, ModemLineAccess &line);

    // Runs every step that is due; the time to call again, or none once the
    // sequence has ended (run() says how).
    std::optional<Clock::time_point> advance();
    const LineSequenceRun &run() const { return done; }

private:
    const LineSequence sequence;
    ModemLineAccess &line;
    const Clock::time_point start = Clock::now();
    int next = 0;                             // the step to run
    std::optional<Clock::time_point> waiting; // the end of the wait under way
    Clock::time_point began;                  // of the step under way
    std::optional<ModemLines::State> lines;
    LineSequenceRun done;
};

// Runs `sequence` on `line`, its waits in the caller's thread.
LineSequenceRun runLineSequence(ModemLineAccess &line, const LineSequence &sequence);

// Before a session's first frame, with any sequence: the lines kept as they
// are at close, and with only a `leave`, read once, so that a board that
// could never be let go fails before any frame. Why not, as a port that
// cannot be set up; none with neither sequence.
std::optional<PortFailure> prepareLines(ModemLineAccess &line, const LineSequence &enter,
                                        const LineSequence &leave);
// An `enter` that failed, as a port that cannot be set up.
PortFailure enterFailure(const QString &why);

#endif
