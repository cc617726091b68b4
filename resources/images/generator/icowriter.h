#pragma once

#include <QByteArray>
#include <QImage>

// One-image .ico holding a 32-bit uncompressed DIB (BGRA, bottom-up, plus the 1-bit AND mask).
// Sizes up to 255 pixels per side are supported.
QByteArray encodeIco(const QImage &image);
