#pragma once

#include <QImage>

// Every picture of the window skin, drawn from code so it can be tuned and redrawn.
namespace art
{

enum class Tint { Cyan, White };

// Fails (returns false) when the DejaVu Sans files are not installed.
bool loadFonts();

QImage background(bool withCaptionBars);
QImage openGlyph(Tint tint);
QImage downloadGlyph(Tint tint);
QImage minGlyph(Tint tint);
QImage maxGlyph(Tint tint);
QImage closeGlyph(Tint tint);
QImage chevronGlyph(Tint tint);
QImage loadStrip();
QImage progressCell(bool reached);
QImage logo();
QImage wirelessBadge();
// The application icon, size x size pixels.
QImage appIcon(int size);

} // namespace art
