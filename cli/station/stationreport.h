#ifndef STATIONREPORT_H
#define STATIONREPORT_H

#include "cli/common/livetable.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class Station;

// What the operator reads. On a terminal: a line per slot with its state,
// and the running totals, redrawn in place; elsewhere one plain line per
// event. With JSON, a line per board and the summary on standard output.
class StationReport : public QObject
{
    Q_OBJECT
public:
    enum class Style { Live, Lines };

    StationReport(const Station &station, std::FILE *out, Style style, bool colour, bool quiet,
                  bool json, QObject *parent = nullptr);

    void interrupted(int signal);
    void summary();

private:
    void boardStarted(int index);
    void boardEnded(int index);
    void changed(int index);
    void alarm(const QString &message);
    void redraw(bool mustShow = false);
    QString slotText(int index) const;
    QString tallyText(int index) const;
    QString totalsText() const;
    void put(const QString &text);
    double boardsPerHour() const;

    const Station &station;
    std::FILE *out;
    const Style style;
    const bool quiet;
    const bool json;
    LiveTable table;
    int portWidth = 0;
    bool dirty = false;
    int quietTicks = 0; // redraw ticks since the last redraw
    QTimer redrawTimer;
};

#endif
