#include "bench/windowrun.h"

#include "app/mainwindow.h"
#include "download/uploadthread.h"
#include "sim/bootsim.h"

#include <QApplication>
#include <QBrush>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

namespace Bench
{

namespace
{

// The window with the board as its first port, picked up from the port
// list, and the image chosen through the open-file dialog.
class WindowDriver
{
public:
    explicit WindowDriver(MainWindow &window) : window(window)
    {
        baudBox = window.findChild<QComboBox *>(QStringLiteral("baudRateComboBox"));
        fileBox = window.findChild<QLineEdit *>(QStringLiteral("binFileNameBrowser"));
        downloadBtn = window.findChild<QPushButton *>(QStringLiteral("downloadBtn"));
    }

    bool found() const { return baudBox && fileBox && downloadBtn; }

    bool chooseImage(const QString &path)
    {
        // Answers the dialog as soon as it is up, inside its own event loop.
        QTimer answer;
        answer.setInterval(0);
        QObject::connect(&answer, &QTimer::timeout, &answer, [&answer, path] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            answer.stop();
            dialog->selectFile(path);
            // QFileDialog's own accept() checks the file; it is reached
            // through QDialog's public one.
            static_cast<QDialog *>(dialog)->accept();
        });
        answer.start();
        QMetaObject::invokeMethod(&window, "on_openBinFileBtn_clicked");
        answer.stop();
        return fileBox->text() == path && downloadBtn->isEnabled();
    }

    bool chooseBaud(int baud)
    {
        const int index = baudBox->findText(QString::number(baud));
        baudBox->setCurrentIndex(index);
        return index >= 0 && window.downloadWorker()->baudSetting() == baud;
    }

    Sample session(BootSim &sim, const Job &job, int wireBaud)
    {
        prepareBoard(sim, wireBaud);
        Sample failed;
        if (!chooseBaud(wireBaud > 0 ? wireBaud : Bauds[0])) {
            failed.error = QStringLiteral("cannot choose the baud rate");
            return failed;
        }
        uploadThread *worker = window.downloadWorker();
        SessionClock clock(worker);
        const int endFramesBefore = sim.endFrames();
        QEventLoop loop;
        bool timedOut = false;

        // The session's end shows a modal box from the window's finish slot,
        // which then waits for the worker. Polling for it starts only once
        // the finish is on its way, so no timer runs in the GUI thread while
        // blocks go out.
        QTimer closer;
        closer.setInterval(0);
        QObject::connect(&closer, &QTimer::timeout, &closer, [&closer, &loop] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            closer.stop();
            box->accept();
            // Delivered once the finish slot has returned to our loop.
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
        });
        QObject::connect(worker, &uploadThread::setFinish, &closer,
                         [&closer](const char *) { closer.start(); });
        // A session that never started has no finish to wait for.
        QTimer::singleShot(sessionTimeoutMs(job.blocks, wireBaud), &loop,
                           [worker, &timedOut, &loop] {
                               timedOut = true;
                               worker->stopDownload();
                               if (!worker->isRunning())
                                   loop.quit();
                           });

        downloadBtn->click();
        loop.exec();
        return judge(sim, job, clock, endFramesBefore, timedOut);
    }

private:
    MainWindow &window;
    QComboBox *baudBox = nullptr;
    QLineEdit *fileBox = nullptr;
    QPushButton *downloadBtn = nullptr;
};

} // namespace

bool windowWay(const Job &job, int runs, WayResult &result, QString *error)
{
    BootSim sim;
    QString simError;
    if (!sim.start(&simError)) {
        *error = QStringLiteral("window path: board: ") + simError;
        return false;
    }
    // The port list is read while the window is built.
    qputenv("KAVRO_EXTRA_PORTS", QFile::encodeName(sim.slavePath()));
    MainWindow window;
    // Painted like the program's own window: the background picture makes
    // every repaint of the progress display dearer.
    QPalette palette;
    palette.setBrush(QPalette::All, window.backgroundRole(),
                     QBrush(QPixmap(QStringLiteral(":/images/KAVRObg1.png"))));
    window.setPalette(palette);
    window.setAutoFillBackground(true);
    window.show();

    WindowDriver driver(window);
    if (!driver.found()) {
        *error = QStringLiteral("window path: form widgets not found");
        return false;
    }
    if (window.downloadWorker()->portSetting() != sim.slavePath()) {
        *error = QStringLiteral("window path: the board is not the chosen port");
        return false;
    }
    if (!driver.chooseImage(job.imagePath)) {
        *error = QStringLiteral("window path: the image could not be chosen");
        return false;
    }
    return runWay("window path", job, runs, result, error,
                  [&](int wireBaud) { return driver.session(sim, job, wireBaud); });
}

} // namespace Bench
