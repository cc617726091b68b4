#include "icowriter.h"

#include <QtEndian>

namespace
{

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

} // namespace

QByteArray encodeIco(const QImage &image)
{
    const QImage src = image.convertToFormat(QImage::Format_ARGB32);
    const int w = src.width();
    const int h = src.height();
    Q_ASSERT(w > 0 && w < 256 && h > 0 && h < 256);

    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 pixelBytes = quint32(w) * quint32(h) * 4;
    const quint32 maskBytes = quint32(maskStride) * quint32(h);
    const quint32 dibBytes = 40 + pixelBytes + maskBytes;
    const quint32 dibOffset = 6 + 16;

    QByteArray out;
    out.reserve(int(dibOffset + dibBytes));

    // ICONDIR
    put16(out, 0);
    put16(out, 1); // icon, not cursor
    put16(out, 1); // one image

    // ICONDIRENTRY
    out.append(char(w));
    out.append(char(h));
    out.append(char(0)); // no palette
    out.append(char(0));
    put16(out, 1);  // planes
    put16(out, 32); // bits per pixel
    put32(out, dibBytes);
    put32(out, dibOffset);

    // BITMAPINFOHEADER; the height counts the XOR image and the AND mask together.
    put32(out, 40);
    put32(out, quint32(w));
    put32(out, quint32(h * 2));
    put16(out, 1);
    put16(out, 32);
    put32(out, 0); // BI_RGB
    put32(out, pixelBytes + maskBytes);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);

    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(char(qBlue(line[x])));
            out.append(char(qGreen(line[x])));
            out.append(char(qRed(line[x])));
            out.append(char(qAlpha(line[x])));
        }
    }

    // The AND mask only matters to readers that ignore alpha: mark fully clear pixels.
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
    return out;
}
