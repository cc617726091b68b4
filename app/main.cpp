#include "app/mainwindow.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>
#include <QPixmap>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

int main(int argc, char *argv[])
{
    // Lets the desktop match the window to its menu entry (and so to its icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("io.kavro.FirmwareDownloader"));
    auto *app = new QApplication(argc, argv);
    // Translations are UTF-8 in Qt 5, so there is no codec to set for them
    // here; the window is built with the default codecs.
    auto *window = new MainWindow;

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The locale's text goes through the system's code page, as Qt 6 always
    // does (it has no codec to set). Port names and paths still reach the
    // worker as UTF-8, whatever the code page.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("system"));
#endif

    auto *background = new QPixmap(QStringLiteral(":/images/KAVRObg1.png"));
    auto *palette = new QPalette;
    palette->setBrush(QPalette::All, window->backgroundRole(), QBrush(*background));
    window->setPalette(*palette);
    window->setAutoFillBackground(true);

    window->show();
    const int exitCode = app->exec();

    delete palette;
    delete background;
    delete window;
    delete app;
    return exitCode;
}
