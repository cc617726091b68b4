#include "cli/station/stationreport.h"

#include "cli/common/linesteps.h"
#include "cli/common/livetable.h"
#include "cli/common/output.h"
#include "cli/doctor/doctor.h"
#include "cli/station/station.h"
#include "download/outcome.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <csignal>

namespace
{

constexpr int RedrawIntervalMs = 100;

using Session = SessionRunner::State;

} // namespace

StationReport::StationReport(const Station &station, std::FILE *out, Style style, bool colour,
                             bool quiet, bool json, QObject *parent)
    : QObject(parent), station(station), out(out), style(style), quiet(quiet), json(json),
      table(out, colour)
{
    for (int index = 0; index < station.size(); ++index)
        portWidth = std::max(portWidth, int(station.slot(index).port.size()));
    connect(&station, &Station::boardStarted, this, &StationReport::boardStarted);
    connect(&station, &Station::boardEnded, this, &StationReport::boardEnded);
    connect(&station, &Station::changed, this, &StationReport::changed);
    connect(&station, &Station::alarm, this, &StationReport::alarm);
    redrawTimer.setInterval(RedrawIntervalMs);
    // The waiting shares move with the clock: a redraw at least once a second.
    connect(&redrawTimer, &QTimer::timeout, this, [this] {
        if (dirty || ++quietTicks >= 1000 / RedrawIntervalMs)
            redraw();
    });
    if (style == Style::Live) {
        redraw();
        redrawTimer.start();
    } else if (!quiet) {
        put(QStringLiteral("kavro-flash: station with %1 slot(s), image %2 (sha256 %3)\n")
                .arg(station.size())
                .arg(station.settings().imagePath, station.imageSha256()));
    }
}

void StationReport::put(const QString &text)
{
    Output::put(out, text);
}

double StationReport::boardsPerHour() const
{
    const qint64 ms = station.elapsedMs();
    const int boards = station.succeeded() + station.failed();
    return ms > 0 ? boards * 3600000.0 / ms : 0;
}

QString StationReport::totalsText() const
{
    return QStringLiteral("%1 succeeded, %2 failed, %3 boards/hour")
        .arg(station.succeeded())
        .arg(station.failed())
        .arg(boardsPerHour(), 0, 'f', 0);
}

QString StationReport::tallyText(int index) const
{
    const Station::Tally &t = station.slot(index).tally;
    // Past the window, the median says what it is of.
    const QString window =
        t.boards > Station::Tally::MedianWindow
            ? QStringLiteral(" over the last %1").arg(Station::Tally::MedianWindow)
            : QString();
    QString text = QStringLiteral("%1 board%2, %3 failed, median %4 s%5, waiting %6%")
                       .arg(t.boards)
                       .arg(QLatin1String(t.boards == 1 ? "" : "s"))
                       .arg(t.failures)
                       .arg(t.medianSeconds(), 0, 'f', 1)
                       .arg(window)
                       .arg(qRound(station.waitingShare(index) * 100));
    if (t.checkFixture())
        text +=
            QStringLiteral(", ") + table.paint(Colour::Bad, QStringLiteral("check the fixture"));
    return text;
}

QString StationReport::slotText(int index) const
{
    const Station::Slot &s = station.slot(index);
    const Session session = station.session(index);
    const QString port = s.port.leftJustified(portWidth) + QStringLiteral("  ");
    const QString board =
        QStringLiteral("board %1").arg(s.board) +
        (station.settings().stamp.active() ? QStringLiteral(", stamp %1").arg(s.stamp.text())
                                           : QString());
    switch (s.state) {
    case Station::State::Flashing:
        return port + board + QStringLiteral(" [") +
               table.bar(session.blocksSent, station.settings().blocks) +
               QStringLiteral("] %1%").arg(session.percent, 3);
    case Station::State::WaitingForUnplug:
        return port + board + QLatin1Char(' ') +
               table.paint(session.succeeded() ? Colour::Good : Colour::Bad,
                           session.outcomeWithReason()) +
               QStringLiteral(" in %1, unplug it").arg(secondsText(session.elapsedMs));
    case Station::State::WaitingForBoard:
        break;
    }
    QString text = port + QStringLiteral("waiting for a board");
    if (session.ended)
        text += QStringLiteral(" (last: %1)").arg(session.outcomeWithReason());
    return text;
}

// Every slot's line and the totals, redrawn in place.
void StationReport::redraw(bool mustShow)
{
    QStringList rows;
    for (int index = 0; index < station.size(); ++index)
        rows << slotText(index) + QStringLiteral("  (") + tallyText(index) + QLatin1Char(')');
    rows << totalsText();
    dirty = false;
    quietTicks = 0;
    table.draw(rows, mustShow);
}

void StationReport::changed(int index)
{
    if (style == Style::Live) {
        dirty = true;
        return;
    }
    const Station::Slot &s = station.slot(index);
    if (quiet || s.state != Station::State::WaitingForBoard)
        return;
    const Session session = station.session(index);
    put(session.portFailure() && !session.settingRefused()
            ? QStringLiteral("%1: port present but it does not open (%2); trying again%3\n")
                  .arg(s.port, session.portFailure()->detail, Doctor::pointer(s.port))
            : QStringLiteral("%1: board removed, waiting for the next\n").arg(s.port));
}

void StationReport::boardStarted(int index)
{
    if (style == Style::Live) {
        dirty = true;
        return;
    }
    if (quiet)
        return;
    const Station::Slot &s = station.slot(index);
    put(QStringLiteral("%1: board %2 plugged in, flashing\n").arg(s.port).arg(s.board));
}

void StationReport::boardEnded(int index)
{
    const Station::Slot &s = station.slot(index);
    const Session session = station.session(index);
    if (json) {
        QJsonObject event{{QStringLiteral("event"), QStringLiteral("board")},
                          {QStringLiteral("slot"), s.port},
                          {QStringLiteral("board"), s.board},
                          {QStringLiteral("outcome"), session.outcomeText()},
                          {QStringLiteral("exit_code"), session.exitStatus()},
                          {QStringLiteral("seconds"), session.elapsedMs / 1000.0}};
        Doctor::addOpenFailure(event, session.portFailure(), s.port);
        addLineSteps(event, session.result);
        if (station.settings().stamp.active())
            s.stamp.addTo(event);
        Output::putJson(event);
    }
    if (style == Style::Live) {
        dirty = true;
        return;
    }
    const QString stamp = station.settings().stamp.active()
                              ? QStringLiteral(", stamp %1").arg(s.stamp.text())
                              : QString();
    put(QStringLiteral("%1: board %2 %3 in %4%5; %6%7\n")
            .arg(s.port)
            .arg(s.board)
            .arg(session.outcomeWithReason(), secondsText(session.elapsedMs), stamp, totalsText(),
                 session.portFailure() ? Doctor::pointer(s.port) : QString()));
}

void StationReport::alarm(const QString &message)
{
    if (style == Style::Live && table.drawn())
        redraw(true);
    // Always on standard error, whatever else goes where.
    Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(message));
    table.moveBelow();
}

void StationReport::interrupted(int signal)
{
    if (style == Style::Live)
        return; // the slot lines show each cancel as it lands
    put(QStringLiteral("kavro-flash: %1, stopping the station\n")
            .arg(QLatin1String(signal == SIGTERM ? "terminated" : "interrupted")));
}

void StationReport::summary()
{
    if (style == Style::Live) {
        redrawTimer.stop();
        redraw(true);
    }
    QString text;
    QJsonArray slotList;
    for (int index = 0; index < station.size(); ++index) {
        const Station::Tally &t = station.slot(index).tally;
        text += QStringLiteral("%1: %2\n").arg(station.slot(index).port, tallyText(index));
        slotList.append(QJsonObject{{QStringLiteral("slot"), station.slot(index).port},
                                    {QStringLiteral("boards"), t.boards},
                                    {QStringLiteral("failed"), t.failures},
                                    {QStringLiteral("median_seconds"), t.medianSeconds()},
                                    {QStringLiteral("waiting_share"), station.waitingShare(index)},
                                    {QStringLiteral("check_fixture"), t.checkFixture()}});
    }
    const QString stamps = station.stampRange();
    if (!stamps.isEmpty())
        text += QStringLiteral("stamps used: %1\n").arg(stamps);
    put(text +
        QStringLiteral("station: %1 in %2\n").arg(totalsText(), secondsText(station.elapsedMs())));
    if (json)
        Output::putJson(
            {{QStringLiteral("event"), QStringLiteral("summary")},
             {QStringLiteral("stamps"), stamps.isEmpty() ? QJsonValue() : QJsonValue(stamps)},
             {QStringLiteral("slots"), slotList},
             {QStringLiteral("succeeded"), station.succeeded()},
             {QStringLiteral("failed"), station.failed()},
             {QStringLiteral("seconds"), station.elapsedMs() / 1000.0},
             {QStringLiteral("boards_per_hour"), boardsPerHour()},
             {QStringLiteral("exit_code"), station.exitStatus()}});
}
