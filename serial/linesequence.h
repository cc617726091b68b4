#ifndef LINESEQUENCE_H
#define LINESEQUENCE_H

#include <QString>
#include <QVector>

#include <optional>

class SerialPort;

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

// Runs `sequence` on the open `port`, the waits in the caller's thread and
// the lines in the port's own. The lines are read before the first change,
// so that a driver without modem lines fails there, having changed nothing.
LineSequenceRun runLineSequence(SerialPort &port, const LineSequence &sequence);

#endif
