#ifndef GANGREPORT_H
#define GANGREPORT_H

#include "cli/common/livetable.h"
#include "cli/common/sessionrunner.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <cstdio>

class BoardGang;

// How a whole run went.
struct RunTotals {
    int succeeded = 0;
    int failed = 0;
    double seconds = 0;
    qint64 bytesWritten = 0;
    int exitStatus = 0;
    QString stampRange; // the stamp values reserved; empty for none

    // 0 when every board succeeded, else the status of the first board, in
    // command-line order, that did not; 130 after an interrupt.
    static RunTotals of(const BoardGang &gang, qint64 elapsedMs);
};

// What a person reads. On a terminal: one line per board, redrawn in place;
// elsewhere: plain lines at a board's start, each tenth of its progress and
// its end, with no control characters.
class HumanReport : public QObject
{
    Q_OBJECT
public:
    enum class Style { Live, Lines };

    HumanReport(const BoardGang &gang, qint64 blocks, int baud, std::FILE *out, Style style,
                bool colour, bool quiet, QObject *parent = nullptr);

    void interrupted(int signal);
    void summary(const RunTotals &totals);

private:
    void started(int index);
    void progressed(int index);
    void ended(int index);
    void redraw();
    QString progressText(const SessionRunner::State &b) const;
    QString endText(const SessionRunner::State &b) const;
    QString stampText(int index) const;
    QString portColumn(int index) const;
    void put(const QString &text);
    bool offer(const QString &text);

    const BoardGang &gang;
    const qint64 blocks;
    const int baud;
    std::FILE *out;
    const Style style;
    const bool quiet;
    LiveTable table;
    QVector<int> tenthShown;
    int portWidth = 0;
    bool dirty = false;
    QTimer redrawTimer;
};

// JSON Lines on standard output, one object per event.
class JsonReport : public QObject
{
    Q_OBJECT
public:
    JsonReport(const BoardGang &gang, qint64 blocks, QObject *parent = nullptr);

    void summary(const RunTotals &totals);

private:
    const BoardGang &gang;
    const qint64 blocks;
    QVector<int> percentShown;
};

#endif
