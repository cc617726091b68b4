// The main window on the offscreen platform: its start-up state, the form,
// the progress grid, choosing an image and whole sessions against the
// simulated board, driven through the window's own widgets.

#include "app/mainwindow.h"
#include "download/uploadthread.h"
#include "sessionfixture.h"
#include "sim/bootsim.h"
#include "windowtestsupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include <memory>

namespace
{

// A window listing the given ports, built while its traces are captured.
// Members go in reverse order, so the window (and its worker) goes first.
struct WindowFixture {
    explicit WindowFixture(const QStringList &ports)
    {
        for (const QString &port : ports)
            map.values << SerialDeviceMap::Value{QStringLiteral("\\Device\\Serial"), utf16le(port)};
        use = std::make_unique<DeviceMapOverride>(&map);
        traces = std::make_unique<TraceCapture>();
        window = std::make_unique<MainWindow>();
    }

    template <typename T> T *widget(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const { return widget<QPushButton>(name); }
    QProgressBar *progressBar() const { return widget<QProgressBar>("progressBar"); }
    uploadThread *worker() const { return window->downloadWorker(); }

    bool show()
    {
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }

    FakeDeviceMap map;
    std::unique_ptr<DeviceMapOverride> use;
    std::unique_ptr<TraceCapture> traces;
    std::unique_ptr<MainWindow> window;
};

QImage normalised(const QImage &image)
{
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startUpState();
    void metaObject();
    void images_data();
    void images();
    void form_data();
    void form();
    void formSetUp();
    void progressGrid_data();
    void progressGrid();
    void chooseFile();
    void baudRate();
    void sessionEnds_data();
    void sessionEnds();
    void cancelClick();
    void clickWhileSessionEnds();

private:
    // Empty when exactly cells 0..reached-1 show the reached picture.
    QString gridMismatch(const MainWindow &window, int reached) const;
    bool chooseImage(WindowFixture &f, ModalWatcher &watcher, const QString &path);

    QImage notReached;
    QImage reached;
    QTemporaryDir dir;
};

void tst_MainWindow::initTestCase()
{
    // Through a pixmap, as the cells hold them: the partly transparent
    // pixels do not survive premultiplication bit for bit.
    notReached = normalised(QPixmap(QStringLiteral(":/images/load.png")).toImage());
    reached = normalised(QPixmap(QStringLiteral(":/images/loading.png")).toImage());
    QVERIFY(!notReached.isNull());
    QVERIFY(!reached.isNull());
    // Otherwise the grid checks could not tell the two apart.
    QVERIFY(notReached != reached);
    QVERIFY(dir.isValid());
}

QString tst_MainWindow::gridMismatch(const MainWindow &window, int reachedCount) const
{
    for (int i = 0; i < MainWindow::ProgressCellCount; ++i) {
        const QImage shown =
            normalised(window.progressCell(i)->pixmap(Qt::ReturnByValue).toImage());
        const QImage &expected = i < reachedCount ? reached : notReached;
        if (shown != expected)
            return QStringLiteral("cell %1 should show %2")
                .arg(i)
                .arg(i < reachedCount ? "loading.png" : "load.png");
    }
    return QString();
}

bool tst_MainWindow::chooseImage(WindowFixture &f, ModalWatcher &watcher, const QString &path)
{
    watcher.answerFileDialog(path);
    QTest::mouseClick(f.button("openBinFileBtn"), Qt::LeftButton);
    return f.widget<QLineEdit>("binFileNameBrowser")->text() == path &&
           f.button("downloadBtn")->isEnabled();
}

void tst_MainWindow::startUpState()
{
    WindowFixture f({"ttyFAKE0", "ttyFAKE1"});
    MainWindow &w = *f.window;

    QVERIFY(!f.button("downloadBtn")->isEnabled());
    QVERIFY(f.widget<QLineEdit>("binFileNameBrowser")->text().isEmpty());
    QCOMPARE(gridMismatch(w, 0), QString());
    for (int i = 0; i < MainWindow::ProgressCellCount; ++i) {
        QLabel *cell = w.progressCell(i);
        QCOMPARE(cell->parentWidget(), &w);
        QCOMPARE(cell->geometry(), QRect(378 + 6 * (i % 25), 152 + 6 * (i / 25), 5, 5));
        QVERIFY(!cell->isHidden());
    }

    QCOMPARE(f.worker()->baudSetting(), 115200);
    QCOMPARE(f.worker()->portSetting(), QString("ttyFAKE0"));
    QVERIFY(!f.worker()->isRunning());

    const Qt::WindowFlags frameless =
        Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint;
    QCOMPARE(w.windowFlags() & frameless, frameless);
    QCOMPARE(w.windowTitle(), QString("Kavro Firmware Downloader V1.0"));
    QCOMPARE(w.minimumSize(), QSize(600, 226));
    QCOMPARE(w.maximumSize(), QSize(600, 226));
    QVERIFY(f.show());
    QCOMPARE(w.size(), QSize(600, 226));
}

// The slot table is an interface: by-name and text-based connections use it.
void tst_MainWindow::metaObject()
{
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QCOMPARE(mo.className(), "MainWindow");
    QCOMPARE(mo.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());

    QStringList methods;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        const char *type = m.methodType() == QMetaMethod::Slot ? "slot" : "not a slot";
        const char *access = m.access() == QMetaMethod::Public ? "public" : "private";
        methods << QStringLiteral("%1 %2 %3 %4")
                       .arg(type, access, QString::fromLatin1(m.methodSignature()),
                            QString::fromLatin1(m.parameterNames().join(',')));
    }
    const QStringList expected = {
        "slot public updataProgress(int) n",
        "slot public updataFinish(const char*) text",
        "slot private uploadDownloadBtnText(const char*) text",
        "slot private on_openBinFileBtn_clicked() ",
        "slot private on_downloadBtn_clicked() ",
        "slot private on_portNameComboBox_currentIndexChanged(QString) arg1",
        "slot private on_baudRateComboBox_currentIndexChanged(QString) arg1",
        "slot private on_closeButton_clicked() ",
        "slot private on_minButton_clicked(bool) checked",
        "slot private on_closeButton_clicked(bool) checked",
        "slot private on_minButton_pressed() ",
        "slot private on_maxButton_pressed() ",
        "slot private on_closeButton_pressed() ",
        "slot private on_openBinFileBtn_pressed() ",
        "slot private on_downloadBtn_pressed() ",
    };
    QCOMPARE(methods, expected);
}

void tst_MainWindow::images_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");

    const QList<QPair<const char *, QSize>> files = {
        {"KAVRObg1.png", {600, 226}},
        {"kavro.ico", {128, 128}},
        {"open.png", {90, 91}},
        {"download.png", {90, 91}},
        {"min.png", {32, 30}},
        {"max_mouseover.png", {32, 30}},
        {"close.png", {32, 30}},
        {"loadBg.png", {129, 27}},
        {"load.png", {4, 5}},
        {"loading.png", {4, 5}},
        // Carried along without a user in the code.
        {"KAVRObg.png", {600, 226}},
        {"open_mouseover.png", {90, 91}},
        {"download_mouseover.png", {90, 91}},
        {"min_mouseover.png", {32, 30}},
        {"max.png", {32, 30}},
        {"close_mouseover.png", {32, 30}},
        {"down.png", {52, 52}},
        {"down_mouseover.png", {52, 52}},
        {"logo.png", {280, 53}},
        {"ble_smart.png", {144, 53}},
    };
    for (const auto &file : files)
        QTest::newRow(file.first) << QStringLiteral(":/images/") + file.first << file.second;
}

void tst_MainWindow::images()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QVERIFY(QFile::exists(path));
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), size);
}

void tst_MainWindow::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // null: placed by the window
    QTest::addColumn<int>("focusPolicy");

    const auto row = [](const char *name, const char *cls, const char *parent, QRect geometry,
                        Qt::FocusPolicy focus) {
        QTest::newRow(name) << name << cls << parent << geometry << int(focus);
    };
    const char *central = "centralWidget";
    row("centralWidget", "QWidget", "MainWindow", QRect(), Qt::NoFocus);
    row("portNameComboBox", "QComboBox", central, {209, 110, 121, 22}, Qt::NoFocus);
    row("baudRateComboBox", "QComboBox", central, {379, 110, 171, 22}, Qt::NoFocus);
    row("binFileNameBrowser", "QLineEdit", central, {230, 150, 101, 22}, Qt::StrongFocus);
    row("openBinFileBtn", "QPushButton", central, {200, 150, 31, 23}, Qt::StrongFocus);
    row("progressBar", "QProgressBar", central, {420, 150, 31, 15}, Qt::NoFocus);
    row("downloadBtn", "QPushButton", central, {530, 150, 31, 23}, Qt::StrongFocus);
    row("minButton", "QPushButton", central, {490, 10, 30, 30}, Qt::NoFocus);
    row("maxButton", "QPushButton", central, {530, 10, 30, 30}, Qt::StrongFocus);
    row("closeButton", "QPushButton", central, {570, 10, 30, 30}, Qt::NoFocus);
    row("label", "QLabel", central, {375, 150, 155, 30}, Qt::NoFocus);
    row("loadLable", "QLabel", central, {385, 152, 0, 12}, Qt::NoFocus);
    row("statusBar", "QStatusBar", "MainWindow", QRect(), Qt::NoFocus);
}

void tst_MainWindow::form()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(int, focusPolicy);

    WindowFixture f({});
    const QList<QWidget *> found = f.window->findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(int(widget->focusPolicy()), focusPolicy);
}

void tst_MainWindow::formSetUp()
{
    WindowFixture f({});
    MainWindow &w = *f.window;
    QCOMPARE(w.objectName(), QString("MainWindow"));
    // Every on_ slot was connected: nothing for connect-by-name to warn about.
    QCOMPARE(f.traces->warnings(), QStringList());

    QWidget *central = f.widget<QWidget>("centralWidget");
    QCOMPARE(w.centralWidget(), central);
    QCOMPARE(w.statusBar(), f.widget<QStatusBar>("statusBar"));
    // Creation order is the stacking order.
    QStringList children;
    for (QObject *child : central->children()) {
        if (child->isWidgetType())
            children << child->objectName();
    }
    QCOMPARE(children, (QStringList{"portNameComboBox", "baudRateComboBox", "binFileNameBrowser",
                                    "openBinFileBtn", "progressBar", "downloadBtn", "minButton",
                                    "maxButton", "closeButton", "label", "loadLable"}));

    auto *baud = f.widget<QComboBox>("baudRateComboBox");
    QCOMPARE(baud->count(), 2);
    QCOMPARE(baud->itemText(0), QString("115200"));
    QCOMPARE(baud->itemText(1), QString("256000"));
    QCOMPARE(baud->currentIndex(), 0);
    // Filling the list must not have reached the worker: the constructor's
    // own setBaud is the only one.
    QCOMPARE(f.worker()->baudSetting(), 115200);
    QCOMPARE(f.traces->count("br------"), 1);

    for (const char *name : {"openBinFileBtn", "downloadBtn"})
        QCOMPARE(f.button(name)->iconSize(), QSize(32, 32));
    for (const char *name :
         {"openBinFileBtn", "downloadBtn", "minButton", "maxButton", "closeButton"}) {
        QVERIFY2(f.button(name)->text().isEmpty(), name);
        QVERIFY2(!f.button(name)->icon().isNull(), name);
    }
    QVERIFY(!f.widget<QLabel>("label")->pixmap(Qt::ReturnByValue).isNull());
}

void tst_MainWindow::progressGrid_data()
{
    QTest::addColumn<QList<int>>("steps");

    QTest::newRow("0") << QList<int>{0};
    QTest::newRow("37") << QList<int>{37};
    QTest::newRow("100") << QList<int>{100};
    QTest::newRow("100 then 37") << QList<int>{100, 37};
    QTest::newRow("100, 37, 0") << QList<int>{100, 37, 0};
    QTest::newRow("1, 99, 25") << QList<int>{1, 99, 25};
}

// Every call sets the whole grid, whatever it showed before.
void tst_MainWindow::progressGrid()
{
    QFETCH(QList<int>, steps);

    WindowFixture f({});
    for (int n : steps) {
        f.window->updataProgress(n);
        QCOMPARE(gridMismatch(*f.window, n), QString());
        QCOMPARE(f.progressBar()->value(), n);
    }
}

void tst_MainWindow::chooseFile()
{
    WindowFixture f({"ttyFAKE0"});
    QVERIFY(f.show());
    ModalWatcher watcher;
    auto *browser = f.widget<QLineEdit>("binFileNameBrowser");
    QPushButton *download = f.button("downloadBtn");
    const QString image = writeImage(dir, "chosen.bin", makeImage(1));

    QVERIFY(chooseImage(f, watcher, image));
    QCOMPARE(watcher.dialogs.size(), 1);
    const ModalWatcher::Dialog &dialog = watcher.dialogs.first();
    QCOMPARE(dialog.title, QString("Open File"));
    QCOMPARE(dialog.filters, QStringList{"*bin"});
    QCOMPARE(dialog.mode, QFileDialog::ExistingFile);
    QCOMPARE(dialog.parent, f.window.get());
    QVERIFY(dialog.modal);

    // Cancelled: the field empties, the button stays enabled.
    watcher.answerFileDialog(QString());
    QTest::mouseClick(f.button("openBinFileBtn"), Qt::LeftButton);
    QCOMPARE(watcher.dialogs.size(), 2);
    QVERIFY(browser->text().isEmpty());
    QVERIFY(download->isEnabled());

    // With no image a click starts nothing and shows nothing.
    QSignalSpy started(f.worker(), &QThread::started);
    QTest::mouseClick(download, Qt::LeftButton);
    QTest::qWait(300);
    QCOMPARE(started.count(), 0);
    QVERIFY(watcher.boxes.isEmpty());
    QCOMPARE(f.traces->count("Line 21,  fileName="), 0);

    // Still idle: the next click with an image runs a session, which ends
    // at the port that does not exist.
    QVERIFY(chooseImage(f, watcher, image));
    QTest::mouseClick(download, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 1, 5000);
    QCOMPARE(watcher.boxes.first().text, QString("CanNOT Open Serial"));
    QCOMPARE(f.worker()->fileSetting(), image);
}

void tst_MainWindow::baudRate()
{
    WindowFixture f({});
    auto *baud = f.widget<QComboBox>("baudRateComboBox");
    baud->setCurrentIndex(1);
    QCOMPARE(f.worker()->baudSetting(), 256000);
    baud->setCurrentIndex(0);
    QCOMPARE(f.worker()->baudSetting(), 115200);
    QCOMPARE(f.traces->count("br------"), 3);

    // Refilled as retranslating the form does: the slot sees the emptied
    // list, then the first item.
    TraceCapture::clear();
    baud->clear();
    baud->insertItems(0, {"115200", "256000"});
    QCOMPARE(f.traces->lines().filter("br------"), (QStringList{"br------0", "br------115200"}));
    QCOMPARE(f.worker()->baudSetting(), 115200);
}

void tst_MainWindow::sessionEnds_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<bool>("goodImage");
    QTest::addColumn<QString>("finish");

    QTest::newRow("success") << "answers" << true << "Download Success";
    QTest::newRow("no port listed") << "not listed" << true << "CanNOT Open Serial";
    QTest::newRow("board silent") << "silent" << true << "Download TimeOut";
    QTest::newRow("not an image") << "answers" << false << "File Error";
}

// Each way a session ends: the text in a parentless box, the worker done
// once the box is gone, the grid cleared, and the window idle again (a
// second click starts a second session).
void tst_MainWindow::sessionEnds()
{
    QFETCH(QString, board);
    QFETCH(bool, goodImage);
    QFETCH(QString, finish);

    BootSimOptions options;
    options.neverAnswer = board == "silent";
    BootSim sim(options);
    QString error;
    QVERIFY2(sim.start(&error), qPrintable(error));

    const QStringList ports = board == "not listed" ? QStringList() : QStringList{sim.slavePath()};
    WindowFixture f(ports);
    QCOMPARE(f.worker()->portSetting(), ports.value(0));
    QVERIFY(f.show());
    ModalWatcher watcher;

    QByteArray bytes = makeImage(3, 10);
    if (!goodImage)
        bytes[0] = 'z';
    const QString image = writeImage(dir, "session.bin", bytes);
    QVERIFY(chooseImage(f, watcher, image));
    // Where a session traces its end after the finish text, it lingers
    // there: the box's slot must still wait for it.
    TraceCapture::holdAfter("Line-->", 300);

    for (int round = 1; round <= 2; ++round) {
        QTest::mouseClick(f.button("downloadBtn"), Qt::LeftButton);
        QCOMPARE(f.progressBar()->maximum(), 100);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), round, 10000);
        QCOMPARE(watcher.boxes.last().text, finish);
        QCOMPARE(watcher.boxes.last().parent, nullptr);
        QVERIFY(f.worker()->isFinished());
        QCOMPARE(gridMismatch(*f.window, 0), QString());
        QCOMPARE(f.progressBar()->value(), 0);
        QCOMPARE(f.traces->count("Line 21,  fileName="), round);
    }
    if (finish == "Download Success") {
        QVERIFY(sim.waitForEndFrames(2, 2000));
        QCOMPARE(sim.receivedImage(), imageData(bytes));
    }
}

void tst_MainWindow::cancelClick()
{
    // Slow enough replies that the session is still sending blocks when the
    // second click comes.
    BootSimOptions slow;
    slow.delayUs = 30 * 1000;
    BootSim sim(slow);
    QString error;
    QVERIFY2(sim.start(&error), qPrintable(error));

    WindowFixture f({sim.slavePath()});
    QVERIFY(f.show());
    ModalWatcher watcher;
    const int blocks = 50;
    const QByteArray bytes = makeImage(blocks);
    const QString image = writeImage(dir, "cancel.bin", bytes);
    QVERIFY(chooseImage(f, watcher, image));

    TraceCapture::holdAfter("Line-->", 300);

    QPushButton *download = f.button("downloadBtn");
    QTest::mouseClick(download, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(f.progressBar()->value() > 0, 5000);
    QVERIFY(watcher.boxes.isEmpty());

    // Running: the click only asks the worker to stop.
    QTest::mouseClick(download, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 1, 5000);
    QCOMPARE(watcher.boxes.first().text, QString("Download Cancel"));
    QCOMPARE(watcher.boxes.first().parent, nullptr);
    QVERIFY(f.worker()->isFinished());
    QCOMPARE(f.traces->count("Line 21,  fileName="), 1);
    QVERIFY(sim.hostFrames().size() < 2 + blocks);
    QCOMPARE(sim.endFrames(), 0);
    QCOMPARE(gridMismatch(*f.window, 0), QString());

    // Back to idle: the next click downloads the whole image.
    sim.setOptions(BootSimOptions());
    QTest::mouseClick(download, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 2, 10000);
    QCOMPARE(watcher.boxes.last().text, QString("Download Success"));
    QVERIFY(sim.waitForEndFrames(1, 2000));
    QCOMPARE(sim.receivedImage(), imageData(bytes));
}

// A click that lands after a session's mode text but before its outcome
// finds the thread still ending: it must not start (which would do nothing)
// and leave the button cancelling forever.
void tst_MainWindow::clickWhileSessionEnds()
{
    BootSim sim;
    QVERIFY(sim.start());
    WindowFixture f({sim.slavePath()});
    QVERIFY(f.show());
    ModalWatcher watcher;
    const QByteArray bytes = makeImage(3);
    QVERIFY(chooseImage(f, watcher, writeImage(dir, "ending.bin", bytes)));

    // The worker halts at its closing progress signal, with the mode text
    // and that progress already queued to the window.
    QSemaphore halted;
    QSemaphore resume;
    QObject gate;
    connect(
        f.worker(), &uploadThread::setProgress, &gate,
        [&halted, &resume](int n) {
            if (n == 0) {
                halted.release();
                resume.tryAcquire(1, 5000);
            }
        },
        Qt::DirectConnection);

    QPushButton *download = f.button("downloadBtn");
    QTest::mouseClick(download, Qt::LeftButton);
    // Waiting with the event loop running: the replies come in through it.
    QTRY_VERIFY_WITH_TIMEOUT(halted.available() > 0, 5000);
    QTRY_COMPARE(gridMismatch(*f.window, 0), QString());
    QVERIFY(f.worker()->isRunning());
    QTest::mouseClick(download, Qt::LeftButton);
    resume.release();
    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 1, 5000);
    QCOMPARE(watcher.boxes.first().text, QString("Download Success"));

    // Idle again: the next click runs a whole second session.
    QTest::mouseClick(download, Qt::LeftButton);
    resume.release();
    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 2, 5000);
    QCOMPARE(watcher.boxes.last().text, QString("Download Success"));
    QCOMPARE(f.traces->count("Line 21,  fileName="), 2);
    QVERIFY(sim.waitForEndFrames(2, 2000));
}

KAVRO_WINDOW_TEST_MAIN(tst_MainWindow)

#include "tst_mainwindow.moc"
