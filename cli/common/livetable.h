#ifndef LIVETABLE_H
#define LIVETABLE_H

#include <QString>
#include <QStringList>

#include <cstdio>

// The colours the reports paint with, as SGR codes.
namespace Colour
{
constexpr char Good[] = "32";
constexpr char Bad[] = "31";
constexpr char Warn[] = "33";
constexpr char Bar[] = "36";
} // namespace Colour

// Rows redrawn in place on a terminal, one line each, the cursor left below
// the last. A row that would wrap is cut to the terminal's width and drawn
// without colour (cutting could split a colour sequence), so every row keeps
// exactly one line.
class LiveTable
{
public:
    LiveTable(std::FILE *out, bool colour) : out(out), colour(colour) {}

    // `text` in the colour `code`, or plain when colour is off.
    QString paint(const char *code, const QString &text) const;
    // A progress bar: `done` of `total` as filled cells, painted.
    QString bar(qint64 done, qint64 total) const;

    // Draws `rows` over the ones drawn last. A redraw the reader is too far
    // behind for is dropped (false), unless it `mustShow`; the next one
    // still starts from the rows last drawn.
    bool draw(const QStringList &rows, bool mustShow);
    // Text went out below the rows: the next draw starts under it.
    void moveBelow() { drawnRows = 0; }
    bool drawn() const { return drawnRows > 0; }

private:
    std::FILE *const out;
    const bool colour;
    int drawnRows = 0;
};

// "1.5 s"
QString secondsText(qint64 ms);

#endif
