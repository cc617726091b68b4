#include "cli/flash/gangreport.h"

#include "cli/common/exitstatus.h"
#include "cli/common/linesteps.h"
#include "cli/common/livetable.h"
#include "cli/common/output.h"
#include "cli/doctor/doctor.h"
#include "cli/flash/boardgang.h"
#include "download/firmwareimage.h"
#include "download/outcome.h"

#include <QJsonObject>

#include <algorithm>
#include <csignal>

namespace
{

constexpr int RedrawIntervalMs = 100;

using Board = SessionRunner::State;

double kibPerSecond(const Board &b)
{
    const double elapsed = b.elapsedMs / 1000.0;
    return elapsed > 0 ? b.blocksSent * FirmwareImage::BlockSize / 1024.0 / elapsed : 0;
}

QString timeLeft(const Board &b, qint64 blocks)
{
    const double rate = kibPerSecond(b);
    if (rate <= 0)
        return QStringLiteral("--:--");
    const qint64 left =
        qint64((blocks - b.blocksSent) * FirmwareImage::BlockSize / 1024.0 / rate + 0.5);
    return QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

RunTotals RunTotals::of(const BoardGang &gang, qint64 elapsedMs)
{
    RunTotals t;
    t.seconds = elapsedMs / 1000.0;
    for (int index = 0; index < gang.size(); ++index) {
        const Board b = gang.board(index);
        t.bytesWritten += qint64(b.blocksSent) * FirmwareImage::BlockSize;
        if (b.succeeded()) {
            ++t.succeeded;
        } else {
            ++t.failed;
            if (t.exitStatus == 0)
                t.exitStatus = b.exitStatus();
        }
    }
    if (gang.wasInterrupted())
        t.exitStatus = ExitStatus::Interrupted;
    return t;
}

HumanReport::HumanReport(const BoardGang &gang, qint64 blocks, int baud, std::FILE *out,
                         Style style, bool colour, bool quiet, QObject *parent)
    : QObject(parent), gang(gang), blocks(blocks), baud(baud), out(out), style(style), quiet(quiet),
      table(out, colour), tenthShown(gang.size(), 0)
{
    for (int index = 0; index < gang.size(); ++index)
        portWidth = std::max(portWidth, int(gang.port(index).size()));
    connect(&gang, &BoardGang::started, this, &HumanReport::started);
    connect(&gang, &BoardGang::progressed, this, &HumanReport::progressed);
    connect(&gang, &BoardGang::ended, this, &HumanReport::ended);
    redrawTimer.setInterval(RedrawIntervalMs);
    connect(&redrawTimer, &QTimer::timeout, this, [this] {
        if (dirty)
            redraw();
    });
}

void HumanReport::put(const QString &text)
{
    Output::put(out, text);
}

bool HumanReport::offer(const QString &text)
{
    return Output::offer(out, text);
}

QString HumanReport::portColumn(int index) const
{
    return gang.port(index).leftJustified(portWidth);
}

QString HumanReport::progressText(const Board &b) const
{
    return QStringLiteral("%1% %2/%3 blocks %4 KiB/s %5 left")
        .arg(b.percent, 3)
        .arg(b.blocksSent)
        .arg(blocks)
        .arg(kibPerSecond(b), 0, 'f', 1)
        .arg(timeLeft(b, blocks));
}

QString HumanReport::endText(const Board &b) const
{
    return table.paint(b.succeeded() ? Colour::Good : Colour::Bad, b.outcomeWithReason()) +
           QStringLiteral(", %1/%2 blocks in %3")
               .arg(b.blocksSent)
               .arg(blocks)
               .arg(secondsText(b.elapsedMs));
}

QString HumanReport::stampText(int index) const
{
    const Stamp::Value stamp = gang.stamp(index);
    return stamp.isValid() ? QStringLiteral(", stamp %1").arg(stamp.text()) : QString();
}

void HumanReport::started(int index)
{
    if (quiet)
        return;
    if (style == Style::Live) {
        dirty = true;
        redrawTimer.start();
        return;
    }
    put(QStringLiteral("%1: start, %2 blocks at %3 baud\n")
            .arg(gang.port(index))
            .arg(blocks)
            .arg(baud));
}

void HumanReport::progressed(int index)
{
    if (quiet)
        return;
    if (style == Style::Live) {
        dirty = true;
        return;
    }
    // Each tenth at most once; one the reader is too far behind for is skipped.
    const Board b = gang.board(index);
    const int tenth = b.percent / 10;
    if (tenth <= tenthShown[index])
        return;
    tenthShown[index] = tenth;
    offer(gang.port(index) + QStringLiteral(": ") + progressText(b) + QLatin1Char('\n'));
}

void HumanReport::ended(int index)
{
    if (style == Style::Live && !quiet) {
        dirty = true;
        // The last end is drawn at once, before the summary goes below it.
        if (gang.allEnded()) {
            redrawTimer.stop();
            redraw();
        }
        return;
    }
    const Board b = gang.board(index);
    put(gang.port(index) + QStringLiteral(": ") + endText(b) + stampText(index) +
        (b.portFailure() ? Doctor::pointer(gang.port(index)) : QString()) + QLatin1Char('\n'));
}

// Every board's line, redrawn in place; the last redraw, with every
// board's end, always goes out.
void HumanReport::redraw()
{
    QStringList rows;
    for (int index = 0; index < gang.size(); ++index) {
        const Board b = gang.board(index);
        const QString state = b.ended ? endText(b) + stampText(index)
                                      : QLatin1Char('[') + table.bar(b.blocksSent, blocks) +
                                            QStringLiteral("] ") + progressText(b);
        rows << portColumn(index) + QStringLiteral("  ") + state;
    }
    dirty = false;
    table.draw(rows, gang.allEnded());
}

void HumanReport::interrupted(int signal)
{
    if (style == Style::Live && !quiet)
        return; // the board lines show each cancel as it lands
    put(QStringLiteral("kavro-flash: %1, stopping every board\n")
            .arg(QLatin1String(signal == SIGTERM ? "terminated" : "interrupted")));
}

void HumanReport::summary(const RunTotals &totals)
{
    QString text;
    // A board's row may be cut to the terminal's width: why its port did
    // not open is told again in full below the rows.
    for (int index = 0; style == Style::Live && !quiet && index < gang.size(); ++index) {
        const Board b = gang.board(index);
        if (b.portFailure())
            text += gang.port(index) + QStringLiteral(": ") + b.portFailure()->detail +
                    Doctor::pointer(gang.port(index)) + QLatin1Char('\n');
    }
    text += QStringLiteral("%1 succeeded, ").arg(totals.succeeded);
    const QString failed = QStringLiteral("%1 failed").arg(totals.failed);
    text += totals.failed > 0 ? table.paint(Colour::Bad, failed) : failed;
    text += QStringLiteral(" in %1, %2 bytes written\n")
                .arg(secondsText(qint64(totals.seconds * 1000)))
                .arg(totals.bytesWritten);
    if (!totals.stampRange.isEmpty())
        text += QStringLiteral("stamps used: %1\n").arg(totals.stampRange);
    put(text);
}

JsonReport::JsonReport(const BoardGang &gang, qint64 blocks, QObject *parent)
    : QObject(parent), gang(gang), blocks(blocks), percentShown(gang.size(), 0)
{
    connect(&gang, &BoardGang::started, this, [this](int index) {
        Output::putJson({{QStringLiteral("port"), this->gang.port(index)},
                         {QStringLiteral("event"), QStringLiteral("start")},
                         {QStringLiteral("blocks"), this->blocks}});
    });
    connect(&gang, &BoardGang::progressed, this, [this](int index) {
        const Board b = this->gang.board(index);
        if (b.percent <= percentShown[index])
            return;
        percentShown[index] = b.percent;
        Output::offerJson({{QStringLiteral("port"), this->gang.port(index)},
                           {QStringLiteral("event"), QStringLiteral("progress")},
                           {QStringLiteral("percent"), b.percent},
                           {QStringLiteral("blocks_sent"), b.blocksSent}});
    });
    connect(&gang, &BoardGang::ended, this, [this](int index) {
        const Board b = this->gang.board(index);
        QJsonObject end{{QStringLiteral("port"), this->gang.port(index)},
                        {QStringLiteral("event"), QStringLiteral("end")},
                        {QStringLiteral("outcome"), b.outcomeText()},
                        {QStringLiteral("exit_code"), b.exitStatus()},
                        {QStringLiteral("blocks_sent"), b.blocksSent},
                        {QStringLiteral("seconds"), b.elapsedMs / 1000.0}};
        Doctor::addOpenFailure(end, b.portFailure(), this->gang.port(index));
        addLineSteps(end, b.result);
        const Stamp::Value stamp = this->gang.stamp(index);
        if (stamp.isValid())
            stamp.addTo(end);
        Output::putJson(end);
    });
}

void JsonReport::summary(const RunTotals &totals)
{
    Output::putJson({{QStringLiteral("event"), QStringLiteral("summary")},
                     {QStringLiteral("succeeded"), totals.succeeded},
                     {QStringLiteral("failed"), totals.failed},
                     {QStringLiteral("seconds"), totals.seconds},
                     {QStringLiteral("bytes_written"), totals.bytesWritten},
                     {QStringLiteral("stamps"),
                      totals.stampRange.isEmpty() ? QJsonValue() : QJsonValue(totals.stampRange)},
                     {QStringLiteral("exit_code"), totals.exitStatus}});
}
