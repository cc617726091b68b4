// The frameless window's title buttons and dragging, with mouse events
// delivered through the window system path, as a real pointer would.

#include "app/mainwindow.h"
#include "serial/serialdevicemap.h"

#include <QtTest>

#include <QApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

namespace
{

// No ports, so the window's construction does not depend on the machine.
class EmptyDeviceMap : public SerialDeviceMap
{
public:
    int count() override { return 0; }
    Key open() override { return 1; }
    void close(Key) override {}

protected:
    bool value(Key, int, Value *) override { return false; }
};

// A pointer over one window. QTest's widget moves carry no held buttons, so
// events go in through the window like the platform's own, with the full
// button state, and positions kept in screen coordinates while the window
// moves under the pointer.
class Pointer
{
public:
    explicit Pointer(QWidget *window) : m_window(window) {}

    void press(Qt::MouseButton button, QPoint global)
    {
        m_held |= button;
        send(QEvent::MouseButtonPress, button, global);
    }
    void release(Qt::MouseButton button, QPoint global)
    {
        m_held &= ~Qt::MouseButtons(button);
        send(QEvent::MouseButtonRelease, button, global);
    }
    void moveTo(QPoint global) { send(QEvent::MouseMove, Qt::NoButton, global); }

    // Travels in steps, as a hand does.
    void travel(QPoint from, QPoint to)
    {
        const int steps = 5;
        for (int i = 1; i <= steps; ++i)
            moveTo(from + (to - from) * i / steps);
    }

    QPoint global(QWidget *widget, QPoint local) const { return widget->mapToGlobal(local); }

private:
    void send(QEvent::Type type, Qt::MouseButton button, QPoint global)
    {
        QWindow *handle = m_window->windowHandle();
        // Far apart in time, so no press is taken for a double click.
        m_time += 1000;
        qt_handleMouseEvent(handle, handle->mapFromGlobal(global), global, m_held, button, type,
                            Qt::NoModifier, m_time);
        QCoreApplication::processEvents();
    }

    QWidget *m_window;
    Qt::MouseButtons m_held;
    int m_time = 0;
};

const QPoint Background(300, 60);
const QPoint Delta(70, 45);

} // namespace

class tst_FramelessWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void drag_data();
    void drag();
    void rightPressTakesNoHold();
    void buttonClickSuspendsOneDrag_data();
    void buttonClickSuspendsOneDrag();
    void pressOnButtonReleasedOutside_data();
    void pressOnButtonReleasedOutside();
    void minimise();

private:
    QPushButton *button(const char *name) const;
    // Presses on the background, travels by Delta with `held`, releases all.
    void dragBackground(Qt::MouseButtons held);
    void click(QPushButton *target);

    EmptyDeviceMap m_map;
    MainWindow *m_window = nullptr;
    Pointer *m_pointer = nullptr;
    int m_dialogsClosed = 0;
};

void tst_FramelessWindow::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    SerialDeviceMap::setSystem(&m_map);
}

void tst_FramelessWindow::cleanupTestCase()
{
    SerialDeviceMap::setSystem(nullptr);
}

void tst_FramelessWindow::init()
{
    m_window = new MainWindow;
    m_window->move(100, 100);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    m_pointer = new Pointer(m_window);
    m_dialogsClosed = 0;
}

void tst_FramelessWindow::cleanup()
{
    delete m_pointer;
    m_pointer = nullptr;
    delete m_window;
    m_window = nullptr;
}

QPushButton *tst_FramelessWindow::button(const char *name) const
{
    return m_window->findChild<QPushButton *>(QLatin1String(name));
}

void tst_FramelessWindow::dragBackground(Qt::MouseButtons held)
{
    const QPoint start = m_pointer->global(m_window, Background);
    const QList<Qt::MouseButton> order = {Qt::LeftButton, Qt::RightButton};
    for (Qt::MouseButton b : order) {
        if (held & b)
            m_pointer->press(b, start);
    }
    m_pointer->travel(start, start + Delta);
    for (Qt::MouseButton b : order) {
        if (held & b)
            m_pointer->release(b, start + Delta);
    }
}

void tst_FramelessWindow::click(QPushButton *target)
{
    const QPoint at = m_pointer->global(target, target->rect().center());
    m_pointer->press(Qt::LeftButton, at);
    m_pointer->release(Qt::LeftButton, at);
}

void tst_FramelessWindow::drag_data()
{
    QTest::addColumn<Qt::MouseButtons>("held");
    QTest::addColumn<bool>("moves");

    QTest::newRow("left") << Qt::MouseButtons(Qt::LeftButton) << true;
    QTest::newRow("left and right") << (Qt::LeftButton | Qt::RightButton) << false;
    QTest::newRow("right") << Qt::MouseButtons(Qt::RightButton) << false;
}

void tst_FramelessWindow::drag()
{
    QFETCH(Qt::MouseButtons, held);
    QFETCH(bool, moves);

    const QPoint before = m_window->pos();
    const QPoint end = m_pointer->global(m_window, Background) + Delta;
    dragBackground(held);

    QCOMPARE(m_window->pos(), moves ? before + Delta : before);
    QCOMPARE(m_window->size(), QSize(600, 226));
    if (moves) // the pointer is still over the point it took hold of
        QCOMPARE(m_window->mapFromGlobal(end), Background);
}

// Only a left press takes hold of the window. Here the left press is
// swallowed by the button flag and the first right click clears the flag,
// so the second right click would be the one to take a hold: the moves
// must still follow the hold of the last real drag.
void tst_FramelessWindow::rightPressTakesNoHold()
{
    dragBackground(Qt::LeftButton);
    click(button("maxButton"));

    const QPoint at = m_pointer->global(m_window, Background + QPoint(-120, 40));
    m_pointer->press(Qt::LeftButton, at);
    for (int i = 0; i < 2; ++i) {
        m_pointer->press(Qt::RightButton, at);
        m_pointer->release(Qt::RightButton, at);
    }
    m_pointer->moveTo(at + Delta);
    m_pointer->release(Qt::LeftButton, at + Delta);

    QCOMPARE(m_window->pos(), at + Delta - Background);
}

void tst_FramelessWindow::buttonClickSuspendsOneDrag_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("opensDialog");

    QTest::newRow("open file") << "openBinFileBtn" << true;
    QTest::newRow("download") << "downloadBtn" << false;
    QTest::newRow("maximise") << "maxButton" << false;
}

// The button takes its own release, so the flag it set outlives the click:
// the next drag is swallowed and its release clears the flag.
void tst_FramelessWindow::buttonClickSuspendsOneDrag()
{
    QFETCH(QString, name);
    QFETCH(bool, opensDialog);

    QPushButton *target = button(name.toLatin1().constData());
    QVERIFY(target);
    // Without an image chosen the click starts nothing, but the button
    // must be enabled to take the press at all.
    target->setEnabled(true);

    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [this] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            dialog->reject();
            ++m_dialogsClosed;
        }
    });
    closer.start(20);

    const QPoint before = m_window->pos();
    const QSize size = m_window->size();
    click(target);
    closer.stop();
    QCOMPARE(m_dialogsClosed, opensDialog ? 1 : 0);
    QCOMPARE(m_window->pos(), before);
    QCOMPARE(m_window->size(), size);
    QVERIFY(!m_window->isMinimized());

    dragBackground(Qt::LeftButton);
    QCOMPARE(m_window->pos(), before);

    dragBackground(Qt::LeftButton);
    QCOMPARE(m_window->pos(), before + Delta);
}

void tst_FramelessWindow::pressOnButtonReleasedOutside_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("maximise") << "maxButton";
    QTest::newRow("minimise") << "minButton";
    QTest::newRow("close") << "closeButton";
}

// The button passes on the moves once the pointer has left it, and the
// release outside it too: that release clears the flag.
void tst_FramelessWindow::pressOnButtonReleasedOutside()
{
    QFETCH(QString, name);

    QPushButton *target = button(name.toLatin1().constData());
    QVERIFY(target);
    QSignalSpy clicked(target, &QPushButton::clicked);

    const QPoint before = m_window->pos();
    const QPoint start = m_pointer->global(target, target->rect().center());
    const QPoint away = m_pointer->global(m_window, Background) + Delta;
    m_pointer->press(Qt::LeftButton, start);
    m_pointer->travel(start, away);
    QCOMPARE(m_window->pos(), before);
    m_pointer->release(Qt::LeftButton, away);

    QCOMPARE(clicked.count(), 0);
    QCOMPARE(m_window->pos(), before);
    QVERIFY(!m_window->isMinimized());

    dragBackground(Qt::LeftButton);
    QCOMPARE(m_window->pos(), before + Delta);
}

void tst_FramelessWindow::minimise()
{
    QPushButton *target = button("minButton");
    QVERIFY(target);
    QTest::ignoreMessage(QtDebugMsg, "Minimize!\n");

    const QSize size = m_window->size();
    click(target);

    QVERIFY(m_window->windowState() & Qt::WindowMinimized);
    QCOMPARE(m_window->size(), size);
}

QTEST_MAIN(tst_FramelessWindow)
#include "tst_framelesswindow.moc"
