#include "app/mainwindow.h"

#include "app/ui/mainwindowform.h"
#include "download/linerates.h"
#include "download/uploadthread.h"

#include <QDebug>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>

namespace
{

const char DarkStyle[] = "background-color: #2A2E32;color: #A3F6ff;";
const char FramedDarkStyle[] = "border-width: 1px;border-style: solid;border-color: rgb(127, 157, "
                               "185);background-color: #2A2E32;color: #A3F6ff;";

QRect cellGeometry(int i)
{
    return QRect(378 + 6 * (i % 25), 152 + 6 * (i / 25), 5, 5);
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    ui = new Ui::MainWindow;
    worker = new uploadThread;

    connect(worker, SIGNAL(setProgress(int)), this, SLOT(updataProgress(int)));
    connect(worker, SIGNAL(setFinish(const char *)), this, SLOT(updataFinish(const char *)));
    connect(worker, SIGNAL(setDownloadBtnText(const char *)), this,
            SLOT(uploadDownloadBtnText(const char *)));

    // Matches the baud list's first item, which the form selects silently.
    static_assert(LineRates::All[0] == 115200, "the window starts at the first line rate");
    worker->setBaud(115200);

    ui->setupUi(this);

    ui->progressBar->setStyleSheet(QString::fromLatin1(DarkStyle));
    ui->portNameComboBox->setStyleSheet(QString::fromLatin1(DarkStyle));
    ui->baudRateComboBox->setStyleSheet(QString::fromLatin1(DarkStyle));
    ui->binFileNameBrowser->setStyleSheet(QString::fromLatin1(DarkStyle));
    ui->downloadBtn->setEnabled(false);
    ui->binFileNameBrowser->setStyleSheet(QString::fromLatin1(FramedDarkStyle));

    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint);

    loadPixmap = new QPixmap(QStringLiteral(":/images/load.png"));
    loadingPixmap = new QPixmap(QStringLiteral(":/images/loading.png"));
    for (int i = 0; i < ProgressCellCount; ++i) {
        progressCells[i] = new QLabel(this);
        progressCells[i]->setPixmap(*loadPixmap);
    }
    for (int i = 0; i < ProgressCellCount; ++i) {
        progressCells[i]->setGeometry(cellGeometry(i));
        progressCells[i]->show();
    }

    // The first port added becomes current and reaches the worker through
    // the port slot, connected by name during the form set-up.
    fillComPortList(ui->portNameComboBox);

    setWindowTitle(QStringLiteral("Kavro Firmware Downloader V1.0"));
    setMaximumSize(600, 226);
    setMinimumSize(600, 226);

    downloadBtnText = QStringLiteral("download");
    btnPressed = false;
}

MainWindow::~MainWindow()
{
    delete loadPixmap;
    delete loadingPixmap;
    for (QLabel *&cell : progressCells) {
        delete cell;
        cell = nullptr;
    }
    // The worker stops and waits for its session before it goes.
    delete worker;
    delete ui;
}

void MainWindow::updataProgress(int n)
{
    n = qBound(0, n, ProgressCellCount);
    for (int i = 0; i < ProgressCellCount; ++i) {
        const bool reached = i < n;
        if (cellReached[i] != reached) {
            progressCells[i]->setPixmap(reached ? *loadingPixmap : *loadPixmap);
            cellReached[i] = reached;
        }
    }
    // The value changes only every few dozen blocks; repainting the same
    // value on every block would only delay the worker's receive slot.
    if (ui->progressBar->value() != n) {
        ui->progressBar->setValue(n);
        ui->progressBar->update();
    }
}

void MainWindow::updataFinish(const char *text)
{
    QMessageBox box;
    box.setText(QString::fromLocal8Bit(text));
    box.exec();
    worker->wait();
}

void MainWindow::uploadDownloadBtnText(const char *text)
{
    downloadBtnText = QString::fromLocal8Bit(text);
}

void MainWindow::on_openBinFileBtn_clicked()
{
    const QString chosen =
        QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("*bin"), nullptr);
    ui->binFileNameBrowser->setText(chosen);
    binFileName = chosen;
    if (!chosen.isEmpty())
        ui->downloadBtn->setEnabled(true);
}

void MainWindow::on_downloadBtn_clicked()
{
    if (downloadBtnText.localeAwareCompare(QLatin1String("download")) != 0) {
        worker->stopDownload();
        return;
    }
    if (binFileName.isEmpty())
        return;
    // The mode text comes back before the outcome, while the session's thread
    // is still ending; start() would do nothing then and leave the mode at
    // "cancel" for good. The outcome follows at once, so the click is spent.
    if (worker->isRunning())
        return;
    ui->progressBar->setMaximum(100);
    downloadBtnText = QStringLiteral("cancel");
    worker->setFileName(binFileName.toUtf8().constData());
    worker->start(QThread::InheritPriority);
}

void MainWindow::on_portNameComboBox_currentIndexChanged(QString arg1)
{
    qDebug("thread %d", static_cast<int>(reinterpret_cast<quintptr>(worker)));
    const QByteArray name = arg1.toUtf8();
    worker->setComName(name.constData());
    qDebug().noquote() << QString::fromUtf8(name);
}

void MainWindow::on_baudRateComboBox_currentIndexChanged(QString arg1)
{
    worker->setBaud(arg1.toInt(nullptr, 10));
}

void MainWindow::on_closeButton_clicked() {}
