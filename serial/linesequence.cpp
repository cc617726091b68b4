#include "serial/linesequence.h"

#include "serial/serialport.h"

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

LineSequenceRun runLineSequence(SerialPort &port, const LineSequence &sequence)
{
    LineSequenceRun run;
    const Clock::time_point start = Clock::now();
    std::optional<ModemLines::State> lines;
    for (int i = 0; i < sequence.steps.size(); ++i) {
        const LineStep &step = sequence.steps[i];
        const Clock::time_point began = Clock::now();
        std::optional<QString> failure;
        if (step.isWait()) {
            std::this_thread::sleep_until(began + std::chrono::milliseconds(step.waitMs));
        } else {
            if (!lines) {
                ModemLines::Read read = port.readModemLines();
                failure = read.failure;
                lines = read.lines;
            }
            if (!failure) {
                lines->dtr = step.dtr.value_or(lines->dtr);
                lines->rts = step.rts.value_or(lines->rts);
                failure = port.setModemLines(*lines);
            }
        }
        if (failure) {
            run.failure = QStringLiteral("step %1 '%2': %3").arg(i + 1).arg(step.text(), *failure);
            return run;
        }
        run.steps.append({step.text(), msSince(start, began), msSince(began, Clock::now())});
    }
    return run;
}
