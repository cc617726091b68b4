#ifndef WINDOWTESTSUPPORT_H
#define WINDOWTESTSUPPORT_H

// Shared by the window tests: trace capture, a scripted device map, and a
// watcher that answers the window's modal dialogs.

#include "serial/serialdevicemap.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <mutex>

// Collects qDebug lines (from any thread) while it lives, and notes
// warnings; everything but the debug lines goes on to the handler it replaced.
class TraceCapture
{
public:
    TraceCapture() { previous = qInstallMessageHandler(&TraceCapture::handle); }
    ~TraceCapture()
    {
        qInstallMessageHandler(previous);
        std::lock_guard<std::mutex> locker(lock);
        captured.clear();
        warned.clear();
        holdPrefix.clear();
    }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    static QStringList lines()
    {
        std::lock_guard<std::mutex> locker(lock);
        return captured;
    }
    static QStringList warnings()
    {
        std::lock_guard<std::mutex> locker(lock);
        return warned;
    }
    static int count(const QString &prefix)
    {
        int n = 0;
        for (const QString &line : lines())
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }
    static void clear()
    {
        std::lock_guard<std::mutex> locker(lock);
        captured.clear();
    }
    // A thread other than the GUI thread that writes a line starting with
    // `prefix` pauses after it, which keeps a finishing worker alive long
    // enough to see who waits for it.
    static void holdAfter(const QString &prefix, int ms)
    {
        std::lock_guard<std::mutex> locker(lock);
        holdPrefix = prefix;
        holdMs = ms;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type != QtDebugMsg) {
            if (type == QtWarningMsg) {
                std::lock_guard<std::mutex> locker(lock);
                warned << text;
            }
            previous(type, context, text);
            return;
        }
        int pause = 0;
        {
            std::lock_guard<std::mutex> locker(lock);
            captured << text;
            if (!holdPrefix.isEmpty() && text.startsWith(holdPrefix))
                pause = holdMs;
        }
        if (pause > 0 && QThread::currentThread() != qApp->thread())
            QThread::msleep(pause);
    }

    static inline QtMessageHandler previous = nullptr;
    static inline std::mutex lock;
    static inline QStringList captured;
    static inline QStringList warned;
    static inline QString holdPrefix;
    static inline int holdMs = 0;
};

// A device map whose values, failures and calls the test controls. Every
// call leaves a trace line, so its order against the window's own traces
// can be checked.
class FakeDeviceMap : public SerialDeviceMap
{
public:
    static constexpr Key OpenKey = 7;

    QList<Value> values;
    int counted = -1;        // what count() reports; -1 for the number of values
    QList<int> failingOpens; // open() calls that fail, counted from 0
    int opens = 0;
    int closes = 0;

    int count() override
    {
        qDebug("fake count");
        return counted < 0 ? values.size() : counted;
    }
    Key open() override
    {
        const int call = opens++;
        qDebug("fake open %d", call);
        return failingOpens.contains(call) ? NoKey : OpenKey;
    }
    void close(Key key) override
    {
        qDebug("fake close %d", static_cast<int>(key));
        ++closes;
    }

protected:
    bool value(Key key, int index, Value *out) override
    {
        qDebug("fake read %d", index);
        if (key != OpenKey || index < 0 || index >= values.size())
            return false;
        *out = values.at(index);
        return true;
    }
};

// Puts a device map in place for one scope.
class DeviceMapOverride
{
public:
    explicit DeviceMapOverride(SerialDeviceMap *map) { SerialDeviceMap::setSystem(map); }
    ~DeviceMapOverride() { SerialDeviceMap::setSystem(nullptr); }
    DeviceMapOverride(const DeviceMapOverride &) = delete;
    DeviceMapOverride &operator=(const DeviceMapOverride &) = delete;
};

// How a device map stores a port name: UTF-16LE with its terminating NUL.
inline QByteArray utf16le(const QString &text)
{
    QByteArray data;
    for (const QChar c : text) {
        data.append(static_cast<char>(c.unicode() & 0xFF));
        data.append(static_cast<char>(c.unicode() >> 8));
    }
    data.append(2, '\0');
    return data;
}

// Dismisses every message box that opens, and answers file dialogs from a
// queue of paths (an empty path cancels). A dialog nobody asked for is
// cancelled, so a test fails instead of hanging.
class ModalWatcher : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QWidget *parent;
    };
    struct Dialog {
        QString title;
        QStringList filters;
        QFileDialog::FileMode mode;
        QWidget *parent;
        bool modal;
    };

    QList<Box> boxes;
    QList<Dialog> dialogs;

    ModalWatcher()
    {
        connect(&timer, &QTimer::timeout, this, &ModalWatcher::poll);
        timer.start(10);
    }

    void answerFileDialog(const QString &path) { answers << path; }

private:
    void poll()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            if (auto *box = qobject_cast<QMessageBox *>(w)) {
                boxes << Box{box->windowTitle(), box->text(), box->parentWidget()};
                qDebug("message box closed: %s", qPrintable(box->text()));
                box->done(QMessageBox::Ok);
            } else if (auto *dialog = qobject_cast<QFileDialog *>(w)) {
                answer(dialog);
            }
        }
    }

    void answer(QFileDialog *dialog)
    {
        dialogs << Dialog{dialog->windowTitle(), dialog->nameFilters(), dialog->fileMode(),
                          dialog->parentWidget(), dialog->isModal()};
        const QString path = answers.isEmpty() ? QString() : answers.takeFirst();
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (path.isEmpty() || !edit) {
            dialog->reject();
            return;
        }
        // The whole path at once, as pasted: typed key by key, Qt 6's dialog
        // follows the folders as they appear and can lose the typed name.
        edit->setText(path);
        // As the Open button would: through the dialog's own accept().
        static_cast<QDialog *>(dialog)->accept();
        // An answer the dialog refused (no such file) must not leave it open.
        if (dialog->isVisible())
            dialog->reject();
    }

    QTimer timer;
    QStringList answers;
};

// The window tests need Qt's own file dialog, which only an attribute set
// before the application object gives.
#define KAVRO_WINDOW_TEST_MAIN(TestObject)                                                         \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))                                         \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);                               \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

#endif
