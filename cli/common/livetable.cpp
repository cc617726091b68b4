#include "cli/common/livetable.h"

#include "cli/common/output.h"

#include <QRegularExpression>

#include <algorithm>

namespace
{
constexpr int BarWidth = 24;
} // namespace

QString LiveTable::paint(const char *code, const QString &text) const
{
    return Output::paint(colour, code, text);
}

QString LiveTable::bar(qint64 done, qint64 total) const
{
    const qint64 whole = std::max<qint64>(total, 1);
    const int filled = int(std::clamp<qint64>(done, 0, whole) * BarWidth / whole);
    return paint(Colour::Bar,
                 QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, QLatin1Char('-')));
}

bool LiveTable::draw(const QStringList &rows, bool mustShow)
{
    static const QRegularExpression colourCode(QStringLiteral("\x1b\\[[0-9;]*m"));
    const int width = Output::terminalWidth(out) - 1;
    QString text;
    if (drawnRows > 0)
        text += QStringLiteral("\x1b[%1A").arg(drawnRows);
    for (const QString &row : rows) {
        const QString plain = QString(row).remove(colourCode);
        text += QLatin1Char('\r') + (plain.size() > width ? plain.left(width) : row) +
                QStringLiteral("\x1b[K\n");
    }
    if (mustShow)
        Output::put(out, text);
    else if (!Output::offer(out, text))
        return false;
    drawnRows = rows.size();
    return true;
}

QString secondsText(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}
