#include "artwork.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <iterator>

namespace art
{

namespace
{

const QColor kField(42, 46, 50);
const QColor kPanelTop(34, 37, 41);
const QColor kPanelBottom(25, 27, 30);
const QColor kCyan(81, 220, 245);
const QColor kCellCyan(89, 193, 230);
const QColor kWhite(255, 255, 255);
const QColor kText(222, 226, 230);
const QColor kSubText(168, 176, 184);
const QColor kMuted(112, 120, 128);
const QColor kEdge(62, 67, 73);
const QColor kBar(31, 34, 37);
const QColor kWell(24, 26, 29);

const QString kFamily = QStringLiteral("DejaVu Sans");

QColor tintColor(Tint tint)
{
    return tint == Tint::Cyan ? kCyan : kWhite;
}

QColor withAlpha(QColor c, int alpha)
{
    c.setAlpha(alpha);
    return c;
}

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void prepare(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// Pixel sizes keep text independent of whatever DPI the platform plugin reports.
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal, qreal spacing = 0)
{
    QFont f(kFamily);
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    f.setHintingPreference(QFont::PreferVerticalHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    if (spacing != 0)
        f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return f;
}

QPen roundPen(const QColor &c, qreal width)
{
    return QPen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void text(QPainter &p, qreal x, qreal baseline, const QString &s, const QFont &f, const QColor &c)
{
    p.setFont(f);
    p.setPen(c);
    p.drawText(QPointF(x, baseline), s);
}

qreal textWidth(const QString &s, const QFont &f)
{
    return QFontMetricsF(f).horizontalAdvance(s);
}

// Strokes (and optionally fills) a glyph path centred in the canvas, stroke included.
QImage centredGlyph(int w, int h, const QPainterPath &stroked, const QPainterPath &filled,
                    const QColor &c, qreal strokeWidth)
{
    QImage img = canvas(w, h);
    QPainter p(&img);
    prepare(p);
    const QRectF box = stroked.boundingRect().united(filled.boundingRect());
    p.translate(w / 2.0 - box.center().x(), h / 2.0 - box.center().y());
    const QPen pen = roundPen(c, strokeWidth);
    if (!filled.isEmpty()) {
        p.setPen(pen);
        p.setBrush(c);
        p.drawPath(filled);
    }
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(stroked);
    return img;
}

// The maker's mark: a rounded frame around a "K" laid out like PCB traces ending in pads.
void drawEmblem(QPainter &p, const QRectF &box, const QColor &frame, const QColor &mark)
{
    const qreal s = box.width();
    const qreal stroke = qMax(1.2, s * 0.085);
    p.save();
    p.translate(box.topLeft());
    p.setPen(roundPen(frame, stroke));
    p.setBrush(Qt::NoBrush);
    const qreal inset = stroke / 2;
    p.drawRoundedRect(QRectF(inset, inset, s - stroke, s - stroke), s * 0.22, s * 0.22);

    const QPointF stemTop(s * 0.34, s * 0.25);
    const QPointF stemBottom(s * 0.34, s * 0.75);
    const QPointF joint(s * 0.34, s * 0.53);
    const QPointF upper(s * 0.66, s * 0.27);
    const QPointF lower(s * 0.68, s * 0.74);
    const QPointF knee(s * 0.47, s * 0.43);
    p.setPen(roundPen(mark, stroke));
    p.drawLine(stemTop, stemBottom);
    QPainterPath arm;
    arm.moveTo(joint);
    arm.lineTo(upper);
    p.drawPath(arm);
    QPainterPath leg;
    leg.moveTo(knee);
    leg.lineTo(lower);
    p.drawPath(leg);
    p.setPen(Qt::NoPen);
    p.setBrush(mark);
    const qreal pad = stroke * 1.05;
    p.drawEllipse(upper, pad, pad);
    p.drawEllipse(lower, pad, pad);
    p.restore();
}

// A small development board seen from above, drawn in board-local coordinates.
void drawBoard(QPainter &p, const QPointF &origin)
{
    const qreal w = 136;
    const qreal h = 70;
    const QColor copper(58, 150, 118);
    const QColor gold(214, 178, 96);
    const QColor silk(226, 232, 228, 170);

    p.save();
    p.translate(origin);

    // Soft shadow under the board.
    p.setPen(Qt::NoPen);
    for (int i = 4; i >= 1; --i) {
        p.setBrush(QColor(0, 0, 0, 18));
        p.drawRoundedRect(QRectF(-i + 1, -i + 3, w + 2 * i - 2, h + 2 * i - 2), 6 + i, 6 + i);
    }

    QLinearGradient boardFill(0, 0, 0, h);
    boardFill.setColorAt(0, QColor(22, 92, 76));
    boardFill.setColorAt(1, QColor(14, 66, 56));
    p.setBrush(boardFill);
    p.setPen(QPen(QColor(52, 128, 106), 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 5, 5);

    // Traces first so parts sit on top of them.
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(copper, 1.3));
    const QVector<QVector<QPointF>> traces = {
        {{16, 30}, {27, 30}, {31, 26}, {51, 26}}, {{16, 36}, {29, 36}, {33, 32}, {51, 32}},
        {{16, 42}, {31, 42}, {35, 38}, {51, 38}}, {{87, 26}, {103, 26}, {106, 23}, {117, 23}},
        {{87, 32}, {105, 32}, {117, 32}},         {{87, 38}, {103, 38}, {106, 41}, {117, 41}},
        {{73, 17}, {73, 11}, {99, 11}},           {{45, 55}, {57, 55}, {60, 52}},
        {{79, 53}, {79, 60}, {96, 60}},           {{117, 50}, {108, 50}, {104, 54}},
        {{24, 12}, {24, 20}, {15, 20}},
    };
    for (const QVector<QPointF> &t : traces)
        p.drawPolyline(t.constData(), t.size());

    // Vias.
    p.setPen(QPen(gold, 1.2));
    p.setBrush(QColor(10, 40, 34));
    for (const QPointF &v : {QPointF(104, 54), QPointF(15, 20), QPointF(96, 60)})
        p.drawEllipse(v, 1.8, 1.8);

    // Mounting holes.
    for (const QPointF &c :
         {QPointF(7, 7), QPointF(w - 7, 7), QPointF(7, h - 7), QPointF(w - 7, h - 7)}) {
        p.setPen(Qt::NoPen);
        p.setBrush(gold);
        p.drawEllipse(c, 4, 4);
        p.setBrush(QColor(12, 14, 16));
        p.drawEllipse(c, 2.2, 2.2);
    }

    // USB receptacle hanging over the left edge.
    QLinearGradient metal(0, 24, 0, 48);
    metal.setColorAt(0, QColor(214, 220, 226));
    metal.setColorAt(1, QColor(140, 148, 156));
    p.setPen(QPen(QColor(96, 104, 112), 1));
    p.setBrush(metal);
    p.drawRoundedRect(QRectF(-6.5, 24.5, 23, 24), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 32, 36));
    p.drawRoundedRect(QRectF(-6.5, 30, 15, 13), 1.5, 1.5);
    p.setBrush(QColor(236, 238, 240));
    p.drawRect(QRectF(-6.5, 34.5, 12, 4));

    // Microcontroller: a QFP with pins on four sides.
    const QRectF chip(54, 20, 30, 30);
    const int pins = 7;
    const qreal pitch = chip.width() / (pins + 1);
    p.setBrush(QColor(196, 202, 208));
    for (int i = 1; i <= pins; ++i) {
        const qreal o = i * pitch;
        p.drawRect(QRectF(chip.left() + o - 0.8, chip.top() - 3.5, 1.6, 3.5));
        p.drawRect(QRectF(chip.left() + o - 0.8, chip.bottom(), 1.6, 3.5));
        p.drawRect(QRectF(chip.left() - 3.5, chip.top() + o - 0.8, 3.5, 1.6));
        p.drawRect(QRectF(chip.right(), chip.top() + o - 0.8, 3.5, 1.6));
    }
    QLinearGradient body(chip.topLeft(), chip.bottomRight());
    body.setColorAt(0, QColor(52, 56, 61));
    body.setColorAt(1, QColor(22, 24, 27));
    p.setPen(QPen(QColor(70, 75, 81), 1));
    p.setBrush(body);
    p.drawRect(chip.adjusted(0.5, 0.5, -0.5, -0.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(110, 116, 122));
    p.drawEllipse(QPointF(chip.left() + 5, chip.top() + 5), 1.6, 1.6);
    text(p, chip.left() + 7, chip.top() + 19, QStringLiteral("KV32"), font(7, QFont::Bold),
         QColor(150, 156, 162));

    // Crystal.
    QLinearGradient can(0, 52, 0, 58);
    can.setColorAt(0, QColor(226, 230, 234));
    can.setColorAt(1, QColor(150, 156, 162));
    p.setPen(QPen(QColor(110, 116, 122), 0.8));
    p.setBrush(can);
    p.drawRoundedRect(QRectF(31, 52, 14, 6), 3, 3);

    // Passives: resistors and capacitors with tinned ends.
    struct Part {
        QRectF r;
        QColor body;
    };
    const Part parts[] = {
        {QRectF(91, 21, 7, 3.6), QColor(28, 30, 33)},
        {QRectF(91, 36, 7, 3.6), QColor(28, 30, 33)},
        {QRectF(31, 9, 3.6, 7), QColor(176, 140, 96)},
        {QRectF(60, 57, 7, 3.6), QColor(176, 140, 96)},
        {QRectF(101, 58, 7, 3.6), QColor(28, 30, 33)},
    };
    for (const Part &part : parts) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(206, 210, 214));
        p.drawRect(part.r);
        p.setBrush(part.body);
        if (part.r.width() > part.r.height())
            p.drawRect(part.r.adjusted(1.6, 0, -1.6, 0));
        else
            p.drawRect(part.r.adjusted(0, 1.6, 0, -1.6));
    }

    // Status LED with its glow.
    const QPointF led(103, 11);
    QRadialGradient glow(led, 11);
    glow.setColorAt(0, withAlpha(kCyan, 150));
    glow.setColorAt(0.35, withAlpha(kCyan, 50));
    glow.setColorAt(1, withAlpha(kCyan, 0));
    p.setBrush(glow);
    p.drawEllipse(led, 11, 11);
    p.setBrush(QColor(206, 210, 214));
    p.drawRect(QRectF(led.x() - 4, led.y() - 2, 8, 4));
    p.setBrush(QColor(190, 246, 255));
    p.drawRect(QRectF(led.x() - 2.4, led.y() - 2, 4.8, 4));

    // Four-pin serial header on the right, with silkscreen outline.
    const QRectF header(113.5, 18.5, 9, 37);
    p.setPen(QPen(silk, 0.8));
    p.setBrush(Qt::NoBrush);
    p.drawRect(header.adjusted(-2, -2, 2, 2));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 21, 23));
    p.drawRect(header);
    for (int i = 0; i < 4; ++i) {
        const QPointF c(header.center().x(), header.top() + 4.6 + i * 9.2);
        p.setBrush(gold);
        p.drawRect(QRectF(c.x() - 2.2, c.y() - 2.2, 4.4, 4.4));
        p.setBrush(QColor(246, 222, 150));
        p.drawRect(QRectF(c.x() - 1, c.y() - 1, 2, 2));
    }

    // Silkscreen marks: pin 1 of the header and the board name.
    p.setBrush(silk);
    p.drawEllipse(QPointF(header.left() - 4.5, header.top() + 4.6), 1.2, 1.2);
    text(p, 14, h - 4.5, QStringLiteral("KAVRO"), font(7, QFont::Bold, 0.8), silk);

    p.restore();
}

// A plug: body with two prongs and a cable, for the port caption.
void drawPlugGlyph(QPainter &p, const QPointF &at, const QColor &c)
{
    p.save();
    p.translate(at);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(2, 4.5, 10, 6), 1.5, 1.5);
    p.drawRect(QRectF(4, 0.5, 1.8, 4.5));
    p.drawRect(QRectF(8.2, 0.5, 1.8, 4.5));
    p.setPen(roundPen(c, 1.8));
    p.setBrush(Qt::NoBrush);
    QPainterPath cable;
    cable.moveTo(7, 10.5);
    cable.cubicTo(7, 14.5, 11, 12.5, 12.5, 14.5);
    p.drawPath(cable);
    p.restore();
}

// A digital pulse train, for the baud rate caption.
void drawPulseGlyph(QPainter &p, const QPointF &at, const QColor &c)
{
    p.save();
    p.translate(at);
    p.setPen(QPen(c, 1.8, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    const QPointF wave[] = {{0.9, 11}, {3.5, 11}, {3.5, 3}, {7, 3},   {7, 11},
                            {9.5, 11}, {9.5, 3},  {12, 3},  {12, 11}, {14.5, 11}};
    p.drawPolyline(wave, int(std::size(wave)));
    p.restore();
}

void drawCaption(QPainter &p, qreal x, const QString &caption, bool plug)
{
    const QColor glyph = kCyan;
    if (plug)
        drawPlugGlyph(p, QPointF(x, 87.5), glyph);
    else
        drawPulseGlyph(p, QPointF(x, 88), glyph);
    text(p, x + 21, 101, caption, font(12), kText);
}

} // namespace

bool loadFonts()
{
    const char *files[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                           "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};
    for (const char *file : files) {
        if (QFontDatabase::addApplicationFont(QString::fromLatin1(file)) < 0)
            return false;
    }
    return true;
}

QImage background(bool withCaptionBars)
{
    const int w = 600;
    const int h = 226;
    const int panel = 186;
    QImage img = canvas(w, h);
    QPainter p(&img);
    prepare(p);

    p.fillRect(img.rect(), kField);

    QLinearGradient panelFill(0, 0, 0, h);
    panelFill.setColorAt(0, kPanelTop);
    panelFill.setColorAt(1, kPanelBottom);
    p.fillRect(QRect(0, 0, panel, h), panelFill);

    // Cyan hairline on the panel edge, fading out towards the corners.
    QLinearGradient accent(0, 0, 0, h);
    accent.setColorAt(0, withAlpha(kCyan, 0));
    accent.setColorAt(0.5, withAlpha(kCyan, 170));
    accent.setColorAt(1, withAlpha(kCyan, 0));
    p.fillRect(QRect(panel - 1, 0, 1, h), accent);

    // Left panel: product name, board drawing, maker's mark.
    text(p, 20, 50, QStringLiteral("Kavro"), font(34, QFont::Bold), kWhite);
    p.fillRect(QRectF(22, 58, 26, 2.5), kCyan);
    text(p, 21, 78, QStringLiteral("Firmware Downloader"), font(12), kSubText);
    const QFont versionFont = font(9, QFont::Bold, 0.4);
    const QString version = QStringLiteral("V1.0");
    const QRectF pill(21.5, 86.5, textWidth(version, versionFont) + 12, 14);
    p.setPen(QPen(withAlpha(kCyan, 200), 1));
    p.setBrush(withAlpha(kCyan, 28));
    p.drawRoundedRect(pill, 7, 7);
    p.setFont(versionFont);
    p.setPen(kCyan);
    p.drawText(pill, Qt::AlignCenter, version);

    drawBoard(p, QPointF(28, 114));

    drawEmblem(p, QRectF(21, 201, 14, 14), kMuted, kMuted);
    text(p, 41, 213, QStringLiteral("KAVRO"), font(10, QFont::Bold, 2), kMuted);

    // Right side heading, kept clear of the title buttons at x >= 490.
    text(p, 209, 38, QStringLiteral("Serial Firmware Download"), font(15), kText);
    text(p, 209, 56, QStringLiteral("Choose a port and baud rate, pick an image, then download."),
         font(10), kMuted);
    QLinearGradient rule(209, 0, 570, 0);
    rule.setColorAt(0, withAlpha(kCyan, 150));
    rule.setColorAt(0.45, withAlpha(kCyan, 45));
    rule.setColorAt(1, withAlpha(kCyan, 0));
    p.fillRect(QRect(209, 68, 361, 1), rule);

    if (withCaptionBars) {
        p.setPen(Qt::NoPen);
        const struct {
            QRectF box;
            QString caption;
        } combos[] = {{QRectF(209, 110, 121, 22), QStringLiteral("Com Port")},
                      {QRectF(379, 110, 171, 22), QStringLiteral("Baud Rate")}};
        for (const auto &combo : combos) {
            const QRectF well = combo.box.adjusted(-4, -3, 4, 3);
            p.setBrush(kBar);
            p.drawRoundedRect(QRectF(well.left(), 83, well.width(), 22), 5, 5);
            p.setBrush(kWell);
            p.drawRoundedRect(well, 5, 5);
        }
    }

    drawCaption(p, 209, QStringLiteral("Com Port"), true);
    drawCaption(p, 379, QStringLiteral("Baud Rate"), false);

    // Quiet labels for the file row and the progress strip.
    const QFont smallCaps = font(9, QFont::Bold, 1);
    text(p, 201, 145, QStringLiteral("FIRMWARE"), smallCaps, kMuted);
    text(p, 376, 145, QStringLiteral("PROGRESS"), smallCaps, kMuted);

    // One-pixel frame so the frameless window keeps an edge on any desktop.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(kEdge);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(0, 0, w - 1, h - 1));
    return img;
}

QImage openGlyph(Tint tint)
{
    QPainterPath back;
    back.moveTo(0, 52);
    back.lineTo(0, 5);
    back.quadTo(0, 0, 5, 0);
    back.lineTo(21, 0);
    back.lineTo(28, 8);
    back.lineTo(58, 8);
    back.quadTo(63, 8, 63, 13);
    back.lineTo(63, 20);
    QPainterPath flap;
    flap.moveTo(0, 52);
    flap.lineTo(12, 24);
    flap.lineTo(74, 24);
    flap.lineTo(62, 52);
    flap.closeSubpath();
    return centredGlyph(90, 91, back, flap, tintColor(tint), 8);
}

QImage downloadGlyph(Tint tint)
{
    QPainterPath path;
    path.moveTo(0, 0);
    path.lineTo(0, 38);
    path.moveTo(-17, 22);
    path.lineTo(0, 39);
    path.lineTo(17, 22);
    path.moveTo(-29, 38);
    path.lineTo(-29, 53);
    path.lineTo(29, 53);
    path.lineTo(29, 38);
    return centredGlyph(90, 91, path, QPainterPath(), tintColor(tint), 8.5);
}

// Title bar glyphs are laid on whole pixels so they stay crisp at their native size.
QImage minGlyph(Tint tint)
{
    QImage img = canvas(32, 30);
    QPainter p(&img);
    p.fillRect(QRect(9, 20, 14, 2), tintColor(tint));
    return img;
}

QImage maxGlyph(Tint tint)
{
    QImage img = canvas(32, 30);
    QPainter p(&img);
    const QColor c = tintColor(tint);
    p.fillRect(QRect(10, 9, 12, 2), c);
    p.fillRect(QRect(10, 19, 12, 2), c);
    p.fillRect(QRect(10, 11, 2, 8), c);
    p.fillRect(QRect(20, 11, 2, 8), c);
    return img;
}

QImage closeGlyph(Tint tint)
{
    QImage img = canvas(32, 30);
    QPainter p(&img);
    prepare(p);
    p.setPen(QPen(tintColor(tint), 2.1, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(10, 9), QPointF(22, 21));
    p.drawLine(QPointF(22, 9), QPointF(10, 21));
    return img;
}

QImage chevronGlyph(Tint tint)
{
    QPainterPath path;
    path.moveTo(-13, 0);
    path.lineTo(0, 13);
    path.lineTo(13, 0);
    return centredGlyph(52, 52, path, QPainterPath(), tintColor(tint), 5);
}

QImage loadStrip()
{
    const int w = 129;
    const int h = 27;
    QImage img = canvas(w, h);
    QPainter p(&img);
    p.fillRect(img.rect(), QColor(17, 19, 21));
    // Inset look: a darker top edge, a faint highlight along the bottom.
    p.fillRect(QRect(0, 0, w, 1), QColor(10, 11, 12));
    p.fillRect(QRect(0, h - 1, w, 1), QColor(50, 55, 60));
    return img;
}

QImage progressCell(bool reached)
{
    const QColor c = reached ? kCellCyan : kField;
    // Set unpremultiplied pixels directly: the half-clear top row must keep its exact colour.
    QImage img(4, 5, QImage::Format_ARGB32);
    img.fill(c);
    for (int x = 0; x < img.width(); ++x)
        img.setPixelColor(x, 0, withAlpha(c, 120));
    return img;
}

QImage logo()
{
    QImage img = canvas(280, 53);
    QPainter p(&img);
    prepare(p);
    drawEmblem(p, QRectF(3, 4, 45, 45), kCyan, kWhite);
    text(p, 60, 33, QStringLiteral("KAVRO"), font(33, QFont::Bold, 3), kWhite);
    text(p, 62, 48, QStringLiteral("EMBEDDED SYSTEMS"), font(9, QFont::Bold, 2.6), kCyan);
    return img;
}

QImage wirelessBadge()
{
    QImage img = canvas(144, 53);
    QPainter p(&img);
    prepare(p);
    p.setPen(QPen(withAlpha(kCyan, 210), 1.5));
    p.setBrush(QColor(24, 27, 30, 220));
    p.drawRoundedRect(QRectF(1.75, 1.75, 140.5, 49.5), 10, 10);

    // Radio waves fanning up from a source dot.
    const QPointF source(27, 37);
    p.setPen(Qt::NoPen);
    p.setBrush(kCyan);
    p.drawEllipse(source, 3.6, 3.6);
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        const qreal r = 3 + i * 7.0;
        p.setPen(roundPen(withAlpha(kCyan, 255 - (i - 1) * 45), 3));
        p.drawArc(QRectF(source.x() - r, source.y() - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
    }

    text(p, 56, 28, QStringLiteral("BLE"), font(21, QFont::Bold, 1), kWhite);
    text(p, 57, 44, QStringLiteral("Smart"), font(13), kCyan);
    return img;
}

// The icon redrawn on whole pixels for the smallest size, where the full drawing's pins and
// outlines blur into grey: a filled arrow head into a chip with three legs.
QImage smallAppIcon()
{
    QImage img = canvas(16, 16);
    QPainter p(&img);
    prepare(p);
    QLinearGradient fill(0, 0, 0, 16);
    fill.setColorAt(0, QColor(60, 66, 72));
    fill.setColorAt(1, QColor(28, 31, 34));
    p.setPen(QPen(QColor(86, 94, 102), 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);

    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor pin(196, 202, 208);
    for (const int x : {4, 7, 10})
        p.fillRect(QRect(x, 12, 2, 2), pin);
    p.fillRect(QRect(3, 7, 10, 6), QColor(96, 104, 112));
    p.fillRect(QRect(4, 8, 8, 4), QColor(18, 20, 22));

    const QColor arrow = kCyan;
    p.fillRect(QRect(7, 2, 2, 5), arrow);
    for (int row = 0; row < 4; ++row)
        p.fillRect(QRect(4 + row, 6 + row, 8 - 2 * row, 1), arrow);
    return img;
}

QImage appIcon(int size)
{
    if (size == 16)
        return smallAppIcon();
    QImage img = canvas(size, size);
    QPainter p(&img);
    prepare(p);
    // Designed on a 128 pixel grid.
    p.scale(size / 128.0, size / 128.0);

    const QRectF tile(4, 4, 120, 120);
    QLinearGradient fill(0, tile.top(), 0, tile.bottom());
    fill.setColorAt(0, QColor(60, 66, 72));
    fill.setColorAt(1, QColor(28, 31, 34));
    p.setPen(QPen(QColor(86, 94, 102), 1.5));
    p.setBrush(fill);
    p.drawRoundedRect(tile.adjusted(0.75, 0.75, -0.75, -0.75), 24, 24);

    // A chip receiving a downward arrow: firmware going into the part.
    const QRectF chip(36, 58, 56, 46);
    const int pins = 5;
    const qreal pitch = chip.width() / (pins + 1);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(196, 202, 208));
    for (int i = 1; i <= pins; ++i) {
        const qreal x = chip.left() + i * pitch;
        p.drawRoundedRect(QRectF(x - 2.5, chip.bottom() - 2, 5, 10), 1, 1);
    }
    const qreal rowPitch = chip.height() / 4;
    for (int i = 1; i <= 3; ++i) {
        const qreal y = chip.top() + i * rowPitch;
        p.drawRoundedRect(QRectF(chip.left() - 8, y - 2.5, 10, 5), 1, 1);
        p.drawRoundedRect(QRectF(chip.right() - 2, y - 2.5, 10, 5), 1, 1);
    }
    QLinearGradient body(chip.topLeft(), chip.bottomRight());
    body.setColorAt(0, QColor(40, 44, 48));
    body.setColorAt(1, QColor(14, 15, 17));
    p.setPen(QPen(QColor(88, 95, 102), 1.5));
    p.setBrush(body);
    p.drawRoundedRect(chip, 5, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(96, 104, 112));
    p.drawEllipse(QPointF(chip.left() + 8, chip.bottom() - 8), 3, 3);

    // The arrow is outlined in the tile colour so it reads where it overlaps the chip.
    QPainterPath arrow;
    arrow.moveTo(64, 18);
    arrow.lineTo(64, 76);
    arrow.moveTo(44, 57);
    arrow.lineTo(64, 77);
    arrow.lineTo(84, 57);
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(QColor(30, 33, 36), 20));
    p.drawPath(arrow);
    p.setPen(roundPen(kCyan, 11));
    p.drawPath(arrow);
    return img;
}

} // namespace art
