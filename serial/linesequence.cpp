#include "serial/linesequence.h"

#include <QRegularExpression>
#include <QStringList>

#include <chrono>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start, Clock::time_point at)
{
    return std::chrono::duration<double, std::milli>(at - start).count();
}

// "rts=1" into the step; the reason where it is not a line's setting.
std::optional<QString> readLine(const QString &part, LineStep *step)
{
    const int equals = part.indexOf(QLatin1Char('='));
    const QString name = part.left(equals);
    const QString value = part.mid(equals + 1);
    if (equals < 0 || (name != QLatin1String("dtr") && name != QLatin1String("rts")))
        return QStringLiteral("'%1' is not dtr=0|1, rts=0|1 or wait=MS").arg(part);
    if (value != QLatin1String("0") && value != QLatin1String("1"))
        return QStringLiteral("%1 is 0 or 1, not '%2'").arg(name, value);
    std::optional<bool> &line = name == QLatin1String("dtr") ? step->dtr : step->rts;
    if (line)
        return QStringLiteral("%1 is named twice").arg(name);
    line = value == QLatin1String("1");
    return std::nullopt;
}

std::optional<QString> readStep(const QString &text, LineStep *step)
{
    if (text.startsWith(QLatin1String("wait="))) {
        bool number = false;
        const QString digits = text.mid(5);
        step->waitMs = digits.toInt(&number);
        const bool plain = !digits.isEmpty() && digits.front().isDigit();
        if (!number || !plain || step->waitMs > LineSequence::MaxWaitMs)
            return QStringLiteral("a wait is 0 to %1 milliseconds, not '%2'")
                .arg(LineSequence::MaxWaitMs)
                .arg(digits);
        return std::nullopt;
    }
    for (const QString &part : text.split(QLatin1Char(','))) {
        if (const auto why = readLine(part, step))
            return why;
    }
    return std::nullopt;
}

} // namespace

QString LineStep::text() const
{
    if (isWait())
        return QStringLiteral("wait=%1").arg(waitMs);
    QStringList lines;
    if (dtr)
        lines << QStringLiteral("dtr=%1").arg(int(*dtr));
    if (rts)
        lines << QStringLiteral("rts=%1").arg(int(*rts));
    return lines.join(QLatin1Char(','));
}

QString LineSequence::text() const
{
    QStringList parts;
    for (const LineStep &step : steps)
        parts << step.text();
    return parts.join(QLatin1Char(' '));
}

LineSequenceParse parseLineSequence(const QString &text)
{
    LineSequenceParse parse;
    const QStringList words =
        text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (words.isEmpty()) {
        parse.error =
            QStringLiteral("an empty sequence: give steps such as 'rts=1 wait=100 rts=0'");
        return parse;
    }
    for (int i = 0; i < words.size(); ++i) {
        LineStep step;
        if (const auto why = readStep(words[i], &step)) {
            parse.error = QStringLiteral("step %1 '%2': %3").arg(i + 1).arg(words[i], *why);
            return parse;
        }
        parse.sequence.steps.append(step);
    }
    return parse;
}

LineSequencePlayer::LineSequencePlayer(const LineSequence &sequence, ModemLineAccess &line)
    : sequence(sequence), line(line)
{
}

std::optional<LineSequencePlayer::Clock::time_point> LineSequencePlayer::advance()
{
    for (;;) {
        if (waiting) {
            if (Clock::now() < *waiting)
                return waiting;
            waiting.reset();
            done.steps.append(
                {sequence.steps[next].text(), msSince(start, began), msSince(began, Clock::now())});
            ++next;
        }
        if (next >= sequence.steps.size() || done.failure)
            return std::nullopt;
        const LineStep &step = sequence.steps[next];
        began = Clock::now();
        if (step.isWait()) {
            waiting = began + std::chrono::milliseconds(step.waitMs);
            continue;
        }
        std::optional<QString> failure;
        if (!lines) {
            const ModemLines::Read read = line.readLines();
            failure = read.failure;
            lines = read.lines;
        }
        if (!failure) {
            lines->dtr = step.dtr.value_or(lines->dtr);
            lines->rts = step.rts.value_or(lines->rts);
            failure = line.writeLines(*lines);
        }
        if (failure) {
            done.failure =
                QStringLiteral("step %1 '%2': %3").arg(next + 1).arg(step.text(), *failure);
            return std::nullopt;
        }
        done.steps.append({step.text(), msSince(start, began), msSince(began, Clock::now())});
        ++next;
    }
}

LineSequenceRun runLineSequence(ModemLineAccess &line, const LineSequence &sequence)
{
    LineSequencePlayer player(sequence, line);
    while (const std::optional<LineSequencePlayer::Clock::time_point> due = player.advance())
        std::this_thread::sleep_until(*due);
    return player.run();
}

std::optional<PortFailure> prepareLines(ModemLineAccess &line, const LineSequence &enter,
                                        const LineSequence &leave)
{
    if (enter.isEmpty() && leave.isEmpty())
        return std::nullopt;
    if (const std::optional<QString> failure = line.keepLinesAtClose())
        return PortFailure{PortFailure::Kind::SettingRefused,
                           QStringLiteral("keeping the modem lines at close: ") + *failure,
                           QStringLiteral("DTR and RTS")};
    if (!enter.isEmpty())
        return std::nullopt;
    const ModemLines::Read read = line.readLines();
    if (read.ok())
        return std::nullopt;
    return PortFailure{PortFailure::Kind::SettingRefused,
                       QStringLiteral("before leaving the boot loader: ") + *read.failure,
                       QStringLiteral("DTR and RTS")};
}

PortFailure enterFailure(const QString &why)
{
    return {PortFailure::Kind::SettingRefused, QStringLiteral("entering the boot loader: ") + why,
            QStringLiteral("DTR and RTS")};
}
