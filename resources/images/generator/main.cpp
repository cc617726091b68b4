// Draws the window skin into a folder: every PNG plus kavro.ico.
//   kavro-artgen OUTDIR [--hicolor DIR] [--preview DIR]
// --hicolor also writes the desktop icons into an icon theme folder; --preview also writes
// sheet.png (all pictures), mock.png (the window as laid out) and icons.png (desktop icons).
#include "artwork.h"
#include "icowriter.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QTextStream>

#include <functional>
#include <iterator>
#include <vector>

namespace
{

struct Asset {
    QString name;
    QSize size;
    std::function<QImage()> draw;
};

const std::vector<Asset> &assets()
{
    using art::Tint;
    static const std::vector<Asset> list = {
        {"KAVRObg1.png", {600, 226}, [] { return art::background(false); }},
        {"KAVRObg.png", {600, 226}, [] { return art::background(true); }},
        {"open.png", {90, 91}, [] { return art::openGlyph(Tint::Cyan); }},
        {"open_mouseover.png", {90, 91}, [] { return art::openGlyph(Tint::White); }},
        {"download.png", {90, 91}, [] { return art::downloadGlyph(Tint::Cyan); }},
        {"download_mouseover.png", {90, 91}, [] { return art::downloadGlyph(Tint::White); }},
        {"min.png", {32, 30}, [] { return art::minGlyph(Tint::Cyan); }},
        {"min_mouseover.png", {32, 30}, [] { return art::minGlyph(Tint::White); }},
        {"max.png", {32, 30}, [] { return art::maxGlyph(Tint::Cyan); }},
        {"max_mouseover.png", {32, 30}, [] { return art::maxGlyph(Tint::White); }},
        {"close.png", {32, 30}, [] { return art::closeGlyph(Tint::Cyan); }},
        {"close_mouseover.png", {32, 30}, [] { return art::closeGlyph(Tint::White); }},
        {"down.png", {52, 52}, [] { return art::chevronGlyph(Tint::Cyan); }},
        {"down_mouseover.png", {52, 52}, [] { return art::chevronGlyph(Tint::White); }},
        {"loadBg.png", {129, 27}, [] { return art::loadStrip(); }},
        {"load.png", {4, 5}, [] { return art::progressCell(false); }},
        {"loading.png", {4, 5}, [] { return art::progressCell(true); }},
        {"logo.png", {280, 53}, [] { return art::logo(); }},
        {"ble_smart.png", {144, 53}, [] { return art::wirelessBadge(); }},
    };
    return list;
}

const QString kIconName = QStringLiteral("kavro.ico");
const QSize kIconSize(128, 128);

// The desktop's menu icon, in the hicolor theme's usual sizes.
const QString kDesktopIconName = QStringLiteral("io.kavro.FirmwareDownloader.png");
const int kDesktopIconSizes[] = {16, 32, 48, 64, 128, 256};

QString desktopIconPath(const QDir &themeDir, int size)
{
    return themeDir.filePath(QStringLiteral("%1x%1/apps/").arg(size) + kDesktopIconName);
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// Fixed resolution so the pHYs chunk never depends on the platform's screen.
QImage forPng(const QImage &img)
{
    QImage out = img.convertToFormat(QImage::Format_ARGB32);
    out.setDotsPerMeterX(3780);
    out.setDotsPerMeterY(3780);
    return out;
}

bool writeIcon(const QDir &dir, const QImage &icon)
{
    const QString path = dir.filePath(kIconName);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(encodeIco(icon)) < 0) {
        err() << "cannot write " << path << Qt::endl;
        return false;
    }
    file.close();

    // Read it back through Qt's own ico plugin: that is the reader the application uses.
    const QImage back = QImage(path).convertToFormat(QImage::Format_ARGB32);
    if (back.size() != kIconSize || back != icon.convertToFormat(QImage::Format_ARGB32)) {
        err() << path << " does not read back as drawn (got " << back.width() << "x"
              << back.height() << ")" << Qt::endl;
        return false;
    }
    return true;
}

bool writeDesktopIcons(const QDir &themeDir)
{
    for (const int size : kDesktopIconSizes) {
        const QString path = desktopIconPath(themeDir, size);
        if (!QDir().mkpath(QFileInfo(path).path()) ||
            !forPng(art::appIcon(size)).save(path, "PNG")) {
            err() << "cannot write " << path << Qt::endl;
            return false;
        }
    }
    return true;
}

// Every desktop icon at its own size on a dark and a light strip, then each blown up to 256.
QImage iconSheet(const QDir &themeDir)
{
    const int gap = 16;
    int stripWidth = gap;
    for (const int size : kDesktopIconSizes)
        stripWidth += size + gap;
    const int stripHeight = 256 + 2 * gap;
    const int zoomWidth = int(std::size(kDesktopIconSizes)) * (256 + gap) + gap;
    QImage sheet(qMax(stripWidth, zoomWidth), 3 * stripHeight, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(18, 20, 22));
    QPainter p(&sheet);
    p.fillRect(QRect(0, stripHeight, sheet.width(), stripHeight), QColor(236, 238, 240));
    int x = gap;
    int zoomX = gap;
    for (const int size : kDesktopIconSizes) {
        const QImage icon(desktopIconPath(themeDir, size));
        p.drawImage(QPoint(x, gap + 256 - size), icon);
        p.drawImage(QPoint(x, stripHeight + gap + 256 - size), icon);
        p.drawImage(QRect(zoomX, 2 * stripHeight + gap, 256, 256), icon);
        x += size + gap;
        zoomX += 256 + gap;
    }
    return sheet;
}

QImage sheetTile(const QSize &size, const QImage &img, const QString &label)
{
    QImage tile(size, QImage::Format_ARGB32_Premultiplied);
    tile.fill(QColor(42, 46, 50));
    QPainter p(&tile);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    const int labelH = 16;
    const QRect area(4, 4, size.width() - 8, size.height() - 8 - labelH);
    // Tiny pictures are blown up with nearest-neighbour so single pixels stay visible.
    int scale = 1;
    while (img.width() * (scale + 1) <= area.width() &&
           img.height() * (scale + 1) <= area.height() && img.width() * scale < 64)
        ++scale;
    QSize shown = img.size() * scale;
    if (shown.width() > area.width() || shown.height() > area.height()) {
        shown = img.size().scaled(area.size(), Qt::KeepAspectRatio);
        p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    }
    const QRect target(area.center().x() - shown.width() / 2 + 1,
                       area.center().y() - shown.height() / 2 + 1, shown.width(), shown.height());
    p.fillRect(target, QColor(26, 28, 31));
    p.drawImage(target, img);
    p.setPen(QColor(150, 158, 166));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(10);
    p.setFont(f);
    p.drawText(QRect(0, size.height() - labelH - 2, size.width(), labelH), Qt::AlignCenter,
               QStringLiteral("%1  %2x%3").arg(label).arg(img.width()).arg(img.height()));
    return tile;
}

QImage contactSheet(const QDir &dir)
{
    QStringList names;
    for (const Asset &a : assets())
        names << a.name;
    names << kIconName;

    // Backgrounds side by side on top, everything else in rows of six below.
    const QSize bigTile(610, 250);
    const QSize smallTile(200, 130);
    const int perRow = 6;
    const int smallCount = names.size() - 2;
    const int rows = (smallCount + perRow - 1) / perRow;
    QImage sheet(2 * bigTile.width(), bigTile.height() + rows * smallTile.height(),
                 QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(18, 20, 22));
    QPainter p(&sheet);
    int big = 0;
    int small = 0;
    for (const QString &name : names) {
        const QImage img(dir.filePath(name));
        if (img.width() == 600) {
            p.drawImage(QPoint(big++ * bigTile.width(), 0), sheetTile(bigTile, img, name));
        } else {
            const QPoint at((small % perRow) * smallTile.width(),
                            bigTile.height() + (small / perRow) * smallTile.height());
            p.drawImage(at, sheetTile(smallTile, img, name));
            ++small;
        }
    }
    return sheet;
}

QImage windowMock(const QDir &dir)
{
    auto load = [&dir](const char *name) { return QImage(dir.filePath(QLatin1String(name))); };
    QImage mock = load("KAVRObg1.png").convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&mock);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(11);
    p.setFont(f);

    auto field = [&p](const QRect &r, const QString &value, bool drop) {
        p.setPen(QColor(70, 76, 82));
        p.setBrush(QColor(30, 33, 36));
        p.drawRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5));
        p.setPen(QColor(222, 226, 230));
        p.drawText(r.adjusted(6, 0, -18, 0), Qt::AlignVCenter | Qt::AlignLeft, value);
        if (drop)
            p.drawText(r.adjusted(0, 0, -6, 0), Qt::AlignVCenter | Qt::AlignRight,
                       QStringLiteral("\u25be"));
    };
    field(QRect(209, 110, 121, 22), QStringLiteral("/dev/ttyUSB0"), true);
    field(QRect(379, 110, 171, 22), QStringLiteral("115200"), true);
    field(QRect(230, 150, 101, 22), QStringLiteral("app_v2.bin"), false);

    auto icon = [&p](const QImage &img, const QRect &r) {
        const QRect target(r.center().x() - 15, r.center().y() - 15, 32, 32);
        p.drawImage(target, img);
    };
    icon(load("open.png"), QRect(200, 150, 31, 23));
    icon(load("download.png"), QRect(530, 150, 31, 23));

    const QRect titleButtons[] = {{490, 10, 30, 30}, {530, 10, 30, 30}, {570, 10, 30, 30}};
    const char *titleImages[] = {"min.png", "max_mouseover.png", "close.png"};
    for (int i = 0; i < 3; ++i) {
        const QImage img = load(titleImages[i]);
        p.drawImage(QPoint(titleButtons[i].center().x() - img.width() / 2 + 1,
                           titleButtons[i].center().y() - img.height() / 2 + 1),
                    img);
    }

    // Progress strip: 100 cells in a 25 x 4 grid, filled column by column.
    const QRect strip(375, 150, 155, 30);
    p.drawImage(strip, load("loadBg.png"));
    const QImage cellOff = load("load.png");
    const QImage cellOn = load("loading.png");
    const int reached = 37;
    for (int i = 0; i < 100; ++i) {
        const int col = i / 4;
        const int row = i % 4;
        p.drawImage(QPoint(strip.left() + 4 + col * 6, strip.top() + 2 + row * 7),
                    i < reached ? cellOn : cellOff);
    }

    p.end();

    // Native size on top, doubled below for checking detail.
    QImage both(mock.width() * 2, mock.height() * 3 + 10, QImage::Format_ARGB32_Premultiplied);
    both.fill(QColor(18, 20, 22));
    QPainter out(&both);
    out.drawImage(0, 0, mock);
    out.drawImage(0, mock.height() + 10,
                  mock.scaled(mock.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    return both;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Draws the window skin images."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("outdir"), QStringLiteral("Folder to write to."));
    const QCommandLineOption preview(
        QStringLiteral("preview"),
        QStringLiteral("Also write sheet.png, mock.png and icons.png to <dir>."),
        QStringLiteral("dir"));
    const QCommandLineOption hicolor(
        QStringLiteral("hicolor"),
        QStringLiteral("Also write the desktop icons into the icon theme folder <dir>."),
        QStringLiteral("dir"));
    parser.addOption(preview);
    parser.addOption(hicolor);
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    if (!art::loadFonts()) {
        err() << "DejaVu Sans is missing (install fonts-dejavu-core)" << Qt::endl;
        return 1;
    }

    const QDir dir(parser.positionalArguments().constFirst());
    if (!QDir().mkpath(dir.path())) {
        err() << "cannot create " << dir.path() << Qt::endl;
        return 1;
    }

    for (const Asset &a : assets()) {
        const QImage img = a.draw();
        if (img.size() != a.size) {
            err() << a.name << " drawn at the wrong size" << Qt::endl;
            return 1;
        }
        if (!forPng(img).save(dir.filePath(a.name), "PNG")) {
            err() << "cannot write " << dir.filePath(a.name) << Qt::endl;
            return 1;
        }
    }
    if (!writeIcon(dir, art::appIcon(kIconSize.width())))
        return 1;
    const QDir themeDir(parser.value(hicolor));
    if (parser.isSet(hicolor) && !writeDesktopIcons(themeDir))
        return 1;

    if (parser.isSet(preview)) {
        const QDir previewDir(parser.value(preview));
        QDir().mkpath(previewDir.path());
        contactSheet(dir).save(previewDir.filePath(QStringLiteral("sheet.png")));
        windowMock(dir).save(previewDir.filePath(QStringLiteral("mock.png")));
        if (parser.isSet(hicolor))
            iconSheet(themeDir).save(previewDir.filePath(QStringLiteral("icons.png")));
    }
    return 0;
}
