#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

namespace Ui
{

// The widget tree of the main window, at fixed pixel positions. The widgets
// belong to the window's object tree; these are plain references to them.
class MainWindow
{
public:
    QWidget *centralWidget = nullptr;
    QComboBox *portNameComboBox = nullptr;
    QComboBox *baudRateComboBox = nullptr;
    QLineEdit *binFileNameBrowser = nullptr;
    QPushButton *openBinFileBtn = nullptr;
    QProgressBar *progressBar = nullptr;
    QPushButton *downloadBtn = nullptr;
    QPushButton *minButton = nullptr;
    QPushButton *maxButton = nullptr;
    QPushButton *closeButton = nullptr;
    QLabel *label = nullptr;
    QLabel *loadLable = nullptr;
    QStatusBar *statusBar = nullptr;

    // Builds the widgets, sets their texts and connects the window's
    // on_<objectName>_<signal> slots by name.
    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);
};

} // namespace Ui

#endif
