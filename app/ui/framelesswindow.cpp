// The frameless window's own title buttons and dragging by the background.

#include "app/mainwindow.h"

#include "download/uploadthread.h"

#include <QDebug>
#include <QMouseEvent>

#include <cstdlib>

namespace
{

// The pointer in whole screen pixels. Qt 6 keeps it only as a QPointF
// (globalPos() is deprecated there), rounded as globalPos() always was.
QPoint globalPixel(const QMouseEvent *event)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->globalPosition().toPoint();
#else
    return event->globalPos();
#endif
}

} // namespace

void MainWindow::on_minButton_clicked(bool checked)
{
    if (checked)
        return;
    qDebug("Minimize!\n");
    btnPressed = true;
    showMinimized();
}

void MainWindow::on_closeButton_clicked(bool checked)
{
    if (checked)
        return;
    btnPressed = true;
    worker->stopDownload();
    // A running session ends within one reply time-out: its replies are
    // taken in by this (now blocked) thread, so its wait runs out.
    worker->wait();
    std::exit(0);
}

// Pressing one of the window's buttons suspends dragging until the next
// release that reaches the window itself.
void MainWindow::on_minButton_pressed()
{
    btnPressed = true;
}

void MainWindow::on_maxButton_pressed()
{
    btnPressed = true;
}

void MainWindow::on_closeButton_pressed()
{
    btnPressed = true;
}

void MainWindow::on_openBinFileBtn_pressed()
{
    btnPressed = true;
}

void MainWindow::on_downloadBtn_pressed()
{
    btnPressed = true;
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !btnPressed) {
        dragPosition = globalPixel(event) - pos();
        event->accept();
    }
}

void MainWindow::mouseReleaseEvent(QMouseEvent *)
{
    btnPressed = false;
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons() == Qt::LeftButton && !btnPressed) {
        move(globalPixel(event) - dragPosition);
        event->accept();
    }
}
