#include "cli/report.h"

#include "cli/boardgang.h"
#include "cli/output.h"
#include "download/firmwareimage.h"

#include <QJsonObject>

#include <algorithm>
#include <csignal>

namespace
{

const char SuccessText[] = "Download Success";
const char BarColour[] = "36";
const char GoodColour[] = "32";
const char BadColour[] = "31";
constexpr int BarWidth = 24;
constexpr int RedrawIntervalMs = 100;

bool isSuccess(const BoardGang::Board &b)
{
    return b.outcome && qstrcmp(b.outcome, SuccessText) == 0;
}

QString seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

double kibPerSecond(const BoardGang::Board &b)
{
    const double elapsed = b.clock.elapsed() / 1000.0;
    return elapsed > 0 ? b.blocksSent * FirmwareImage::BlockSize / 1024.0 / elapsed : 0;
}

QString timeLeft(const BoardGang::Board &b, qint64 blocks)
{
    const double rate = kibPerSecond(b);
    if (rate <= 0)
        return QStringLiteral("--:--");
    const qint64 left =
        qint64((blocks - b.blocksSent) * FirmwareImage::BlockSize / 1024.0 / rate + 0.5);
    return QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

RunTotals RunTotals::of(const BoardGang &gang, qint64 elapsedMs, bool interrupted)
{
    RunTotals t;
    t.seconds = elapsedMs / 1000.0;
    for (int index = 0; index < gang.size(); ++index) {
        const BoardGang::Board &b = gang.board(index);
        t.bytesWritten += qint64(b.blocksSent) * FirmwareImage::BlockSize;
        if (isSuccess(b)) {
            ++t.succeeded;
        } else {
            ++t.failed;
            if (t.exitStatus == 0)
                t.exitStatus = BoardGang::exitStatusFor(b.outcome);
        }
    }
    if (interrupted)
        t.exitStatus = 130;
    return t;
}

HumanReport::HumanReport(const BoardGang &gang, qint64 blocks, int baud, std::FILE *out,
                         Style style, bool colour, bool quiet, QObject *parent)
    : QObject(parent), gang(gang), blocks(blocks), baud(baud), out(out), style(style),
      colour(colour), quiet(quiet), tenthShown(gang.size(), 0)
{
    for (int index = 0; index < gang.size(); ++index)
        portWidth = std::max(portWidth, int(gang.board(index).port.size()));
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

QString HumanReport::paint(const char *code, const QString &text) const
{
    return Output::paint(colour, code, text);
}

QString HumanReport::portColumn(int index) const
{
    return gang.board(index).port.leftJustified(portWidth);
}

QString HumanReport::progressText(int index) const
{
    const BoardGang::Board &b = gang.board(index);
    return QStringLiteral("%1% %2/%3 blocks %4 KiB/s %5 left")
        .arg(b.percent, 3)
        .arg(b.blocksSent)
        .arg(blocks)
        .arg(kibPerSecond(b), 0, 'f', 1)
        .arg(timeLeft(b, blocks));
}

QString HumanReport::endText(int index) const
{
    const BoardGang::Board &b = gang.board(index);
    return paint(isSuccess(b) ? GoodColour : BadColour, QString::fromLocal8Bit(b.outcome)) +
           QStringLiteral(", %1/%2 blocks in %3")
               .arg(b.blocksSent)
               .arg(blocks)
               .arg(seconds(b.elapsedMs));
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
            .arg(gang.board(index).port)
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
    const int tenth = gang.board(index).percent / 10;
    if (tenth <= tenthShown[index])
        return;
    tenthShown[index] = tenth;
    put(gang.board(index).port + QStringLiteral(": ") + progressText(index) + QLatin1Char('\n'));
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
    put(gang.board(index).port + QStringLiteral(": ") + endText(index) + QLatin1Char('\n'));
}

// Every board's line, from the first one drawn down; the cursor ends below
// the last. A line that would wrap is cut and drawn without colour, so each
// board keeps exactly one row.
void HumanReport::redraw()
{
    const int width = Output::terminalWidth(out) - 1;
    QString text;
    if (drawnLines > 0)
        text += QStringLiteral("\x1b[%1A").arg(drawnLines);
    for (int index = 0; index < gang.size(); ++index) {
        const BoardGang::Board &b = gang.board(index);
        QString plain;
        QString painted;
        if (b.ended) {
            plain = portColumn(index) + QStringLiteral("  ");
            painted = plain + endText(index);
            plain += QString::fromLocal8Bit(b.outcome) + QStringLiteral(", %1/%2 blocks in %3")
                                                             .arg(b.blocksSent)
                                                             .arg(blocks)
                                                             .arg(seconds(b.elapsedMs));
        } else {
            const int filled = int(qint64(b.blocksSent) * BarWidth / std::max<qint64>(blocks, 1));
            const QString bar =
                QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, QLatin1Char('-'));
            const QString head = portColumn(index) + QStringLiteral("  [");
            const QString tail = QStringLiteral("] ") + progressText(index);
            plain = head + bar + tail;
            painted = head + paint(BarColour, bar) + tail;
        }
        if (plain.size() > width)
            painted = plain.left(width);
        text += QLatin1Char('\r') + painted + QStringLiteral("\x1b[K\n");
    }
    drawnLines = gang.size();
    dirty = false;
    put(text);
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
    QString text = QStringLiteral("%1 succeeded, ").arg(totals.succeeded);
    const QString failed = QStringLiteral("%1 failed").arg(totals.failed);
    text += totals.failed > 0 ? paint(BadColour, failed) : failed;
    text += QStringLiteral(" in %1, %2 bytes written\n")
                .arg(seconds(qint64(totals.seconds * 1000)))
                .arg(totals.bytesWritten);
    put(text);
}

JsonReport::JsonReport(const BoardGang &gang, qint64 blocks, QObject *parent)
    : QObject(parent), gang(gang), blocks(blocks), percentShown(gang.size(), 0)
{
    connect(&gang, &BoardGang::started, this, [this](int index) {
        Output::putJson({{QStringLiteral("port"), this->gang.board(index).port},
                         {QStringLiteral("event"), QStringLiteral("start")},
                         {QStringLiteral("blocks"), this->blocks}});
    });
    connect(&gang, &BoardGang::progressed, this, [this](int index) {
        const BoardGang::Board &b = this->gang.board(index);
        if (b.percent <= percentShown[index])
            return;
        percentShown[index] = b.percent;
        Output::putJson({{QStringLiteral("port"), b.port},
                         {QStringLiteral("event"), QStringLiteral("progress")},
                         {QStringLiteral("percent"), b.percent},
                         {QStringLiteral("blocks_sent"), b.blocksSent}});
    });
    connect(&gang, &BoardGang::ended, this, [this](int index) {
        const BoardGang::Board &b = this->gang.board(index);
        Output::putJson({{QStringLiteral("port"), b.port},
                         {QStringLiteral("event"), QStringLiteral("end")},
                         {QStringLiteral("outcome"), QString::fromLocal8Bit(b.outcome)},
                         {QStringLiteral("exit_code"), BoardGang::exitStatusFor(b.outcome)},
                         {QStringLiteral("blocks_sent"), b.blocksSent},
                         {QStringLiteral("seconds"), b.elapsedMs / 1000.0}});
    });
}

void JsonReport::summary(const RunTotals &totals)
{
    Output::putJson({{QStringLiteral("event"), QStringLiteral("summary")},
                     {QStringLiteral("succeeded"), totals.succeeded},
                     {QStringLiteral("failed"), totals.failed},
                     {QStringLiteral("seconds"), totals.seconds},
                     {QStringLiteral("bytes_written"), totals.bytesWritten},
                     {QStringLiteral("exit_code"), totals.exitStatus}});
}
