#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "serial/serialdevicemap.h"

#include <QMainWindow>
#include <QPoint>
#include <QString>

class QComboBox;
class QLabel;
class QMouseEvent;
class QPixmap;
class uploadThread;

namespace Ui
{
class MainWindow;
}

// The one window: collects port, baud rate and image, starts and cancels the
// download worker and shows what it reports.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int ProgressCellCount = 100;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void fillComPortList(QComboBox *comboBox);
    QString getComPortName(int index);

    uploadThread *downloadWorker() const { return worker; }
    QLabel *progressCell(int index) const { return progressCells[index]; }

public slots:
    void updataProgress(int n);
    void updataFinish(const char *text);

private slots:
    void uploadDownloadBtnText(const char *text);
    void on_openBinFileBtn_clicked();
    void on_downloadBtn_clicked();
    void on_portNameComboBox_currentIndexChanged(QString arg1);
    void on_baudRateComboBox_currentIndexChanged(QString arg1);
    void on_closeButton_clicked();
    void on_minButton_clicked(bool checked);
    void on_closeButton_clicked(bool checked);
    void on_minButton_pressed();
    void on_maxButton_pressed();
    void on_closeButton_pressed();
    void on_openBinFileBtn_pressed();
    void on_downloadBtn_pressed();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    QString downloadBtnText;
    QPoint dragPosition;
    bool btnPressed = false;
    QPixmap *loadPixmap = nullptr;
    QPixmap *loadingPixmap = nullptr;
    QLabel *progressCells[ProgressCellCount] = {};
    QString binFileName;
    uploadThread *worker = nullptr;
    SerialDeviceMap::Key portKey = SerialDeviceMap::NoKey;

    // Which cells show the reached picture, so a progress update only
    // touches the cells that change.
    bool cellReached[ProgressCellCount] = {};

    Ui::MainWindow *ui = nullptr;
};

#endif
