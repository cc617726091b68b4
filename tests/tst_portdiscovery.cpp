// The port list: how device map values become combo box items, what a
// failed read or open leaves behind, and when the first port reaches the
// worker. Ends with the platform's own map: on Windows the registry as
// written by reg.exe, elsewhere a real download through a listed
// pseudo-terminal.

#include "app/mainwindow.h"
#include "download/uploadthread.h"
#include "serial/devicepath.h"
#include "serial/portdetails.h"
#include "windowtestsupport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <utility>

#ifdef Q_OS_WIN
#include <QProcess>

#include <windows.h>
#else
#include "sessionfixture.h"
#include "sim/bootsim.h"
#endif

namespace
{

QStringList items(const QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// The device map calls, boxes and port slot runs, in the order they
// happened.
QStringList discoveryOrder(const QStringList &lines)
{
    QStringList order;
    for (const QString &line : lines) {
        if (line.startsWith("fake read") || line.startsWith("fake open"))
            order << line.left(9);
        else if (line.startsWith("message box"))
            order << "box";
        else if (line.startsWith("Line 15,  comName="))
            order << "port slot";
    }
    return order;
}

// Sets an environment variable for one scope.
class EnvironmentOverride
{
public:
    EnvironmentOverride(const char *name, const QByteArray &value) : name(name)
    {
        qputenv(name, value);
    }
    ~EnvironmentOverride() { qunsetenv(name); }
    EnvironmentOverride(const EnvironmentOverride &) = delete;
    EnvironmentOverride &operator=(const EnvironmentOverride &) = delete;

private:
    const char *name;
};

} // namespace

class tst_PortDiscovery : public QObject
{
    Q_OBJECT
private slots:
    void listing_data();
    void listing();
    void itemsAlreadyThere();
#ifdef Q_OS_WIN
    void initTestCase();
    void cleanupTestCase();
    void registry_data();
    void registry();
    void ftdiLatencyTimer();
#else
    void extraPortsDownload();
#endif

private:
    QTemporaryDir dir;
};

void tst_PortDiscovery::listing_data()
{
    QTest::addColumn<QStringList>("names"); // a generic name where missing
    QTest::addColumn<QByteArrayList>("data");
    QTest::addColumn<int>("counted"); // -1: as many as there are values
    QTest::addColumn<QList<int>>("failingOpens");
    QTest::addColumn<QStringList>("expected");

    const QByteArray com1 = utf16le("COM1");
    const QByteArray com2 = utf16le("COM2");
    const QByteArray com3 = utf16le("COM3");
    // 127 units and the NUL: exactly the 256 bytes of room.
    const QString longName = QString(127, 'A');
    const QByteArray fullData = utf16le(longName);

    QTest::newRow("enumeration order kept")
        << QStringList{"\\Device\\Serial2", "\\Device\\Serial0", "\\Device\\VCP0"}
        << QByteArrayList{utf16le("COM7"), com3, utf16le("COM12")} << -1 << QList<int>()
        << QStringList{"COM7", "COM3", "COM12"};
    QTest::newRow("256 data bytes")
        << QStringList() << QByteArrayList{fullData} << -1 << QList<int>() << QStringList{longName};
    QTest::newRow("257 data bytes") << QStringList() << QByteArrayList{fullData + '\0', com2} << -1
                                    << QList<int>() << QStringList{"nokey", "COM2"};
    QTest::newRow("name of 255 units") << QStringList{QString(255, 'n')} << QByteArrayList{com1}
                                       << -1 << QList<int>() << QStringList{"COM1"};
    QTest::newRow("name of 256 units") << QStringList{QString(256, 'n')} << QByteArrayList{com1}
                                       << -1 << QList<int>() << QStringList{"nokey"};
    QTest::newRow("unit with a high byte")
        << QStringList() << QByteArrayList{QByteArray("\x41\x42\x00\x00", 4)} << -1 << QList<int>()
        << QStringList{"AB"};
    QTest::newRow("unit with a zero low byte")
        << QStringList() << QByteArrayList{QByteArray("\x00\x43\x00\x00", 4)} << -1 << QList<int>()
        << QStringList{"C"};
    QTest::newRow("zero units skipped")
        << QStringList() << QByteArrayList{QByteArray("\x41\x00\x00\x00\x42\x00\x00\x00", 8)} << -1
        << QList<int>() << QStringList{"AB"};
    QTest::newRow("number 3") << QStringList() << QByteArrayList{QByteArray("\x03\x00\x00\x00", 4)}
                              << -1 << QList<int>() << QStringList{QString(QChar(3))};
    QTest::newRow("value gone after counting")
        << QStringList() << QByteArrayList{com1, com2} << 3 << QList<int>()
        << QStringList{"COM1", "COM2", "nokey"};
    QTest::newRow("one failed open") << QStringList() << QByteArrayList{com1, com2, com3} << -1
                                     << QList<int>{1} << QStringList{"COM1", "", "COM3"};
    QTest::newRow("first open fails") << QStringList() << QByteArrayList{com1, com2} << -1
                                      << QList<int>{0} << QStringList{"", "COM2"};
    QTest::newRow("every open fails") << QStringList() << QByteArrayList{com1, com2} << -1
                                      << QList<int>{0, 1} << QStringList{"", ""};
    QTest::newRow("no values") << QStringList() << QByteArrayList() << -1 << QList<int>()
                               << QStringList();
}

void tst_PortDiscovery::listing()
{
    QFETCH(QStringList, names);
    QFETCH(QByteArrayList, data);
    QFETCH(int, counted);
    QFETCH(QList<int>, failingOpens);
    QFETCH(QStringList, expected);

    FakeDeviceMap map;
    for (int i = 0; i < data.size(); ++i)
        map.values << SerialDeviceMap::Value{
            names.value(i, QStringLiteral("\\Device\\Serial%1").arg(i)), data[i]};
    map.counted = counted;
    map.failingOpens = failingOpens;
    DeviceMapOverride use(&map);
    ModalWatcher watcher;
    TraceCapture traces;
    MainWindow window;

    auto *combo = window.findChild<QComboBox *>("portNameComboBox");
    QCOMPARE(items(combo), expected);

    // One box per failed open, over the window; the key is closed after
    // every open that worked, whatever the read gave.
    QCOMPARE(watcher.boxes.size(), failingOpens.size());
    for (const ModalWatcher::Box &box : std::as_const(watcher.boxes)) {
        QCOMPARE(box.title, QString("error"));
        QCOMPARE(box.text, QString("Cannot open rededit"));
        QCOMPARE(box.parent, &window);
    }
    QCOMPARE(map.opens, expected.size());
    QCOMPARE(map.closes, expected.size() - failingOpens.size());

    // Every read and box first; then the port slot once, for the first item.
    QStringList order;
    for (int i = 0; i < expected.size(); ++i) {
        order << "fake open";
        order << (failingOpens.contains(i) ? "box" : "fake read");
    }
    if (!expected.isEmpty())
        order << "port slot";
    QCOMPARE(discoveryOrder(traces.lines()), order);
    QCOMPARE(window.downloadWorker()->portSetting(), expected.value(0));
    QCOMPARE(combo->currentIndex(), expected.isEmpty() ? -1 : 0);
}

// A box that already holds items keeps them; the ports go after them and
// the current item, so the worker's port, stays.
void tst_PortDiscovery::itemsAlreadyThere()
{
    FakeDeviceMap map;
    map.values << SerialDeviceMap::Value{"a", utf16le("ttyS4")}
               << SerialDeviceMap::Value{"b", utf16le("ttyS1")};
    DeviceMapOverride use(&map);
    TraceCapture traces;
    MainWindow window;
    auto *combo = window.findChild<QComboBox *>("portNameComboBox");
    QCOMPARE(items(combo), (QStringList{"ttyS4", "ttyS1"}));

    map.values = {SerialDeviceMap::Value{"c", utf16le("ttyUSB0")}};
    TraceCapture::clear();
    window.fillComPortList(combo);
    QCOMPARE(items(combo), (QStringList{"ttyS4", "ttyS1", "ttyUSB0"}));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(TraceCapture::count("Line 15,  comName="), 0);
    QCOMPARE(window.downloadWorker()->portSetting(), QString("ttyS4"));
}

#ifdef Q_OS_WIN

namespace
{
const QString DeviceMapKey = QStringLiteral("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");

// The test rewrites the machine's own device map, so it runs only under
// wine, in a prefix of its own.
bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool reg(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("reg"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}
} // namespace

void tst_PortDiscovery::initTestCase()
{
    if (underWine())
        QVERIFY(reg({"export", DeviceMapKey, dir.filePath("devicemap.reg"), "/y"}));
}

void tst_PortDiscovery::cleanupTestCase()
{
    if (underWine()) {
        QVERIFY(reg({"delete", DeviceMapKey, "/va", "/f"}));
        QVERIFY(reg({"import", dir.filePath("devicemap.reg")}));
    }
}

void tst_PortDiscovery::registry_data()
{
    QTest::addColumn<QList<QStringList>>("values"); // name, type, data
    QTest::addColumn<QStringList>("expected");

    const QString fullText(127, 'A'); // and the NUL: 256 bytes
    const QString binary257 = QString("4100").repeated(128) + "00";
    QTest::newRow("enumeration order kept")
        << QList<QStringList>{{"\\Device\\Serial0", "REG_SZ", "COM7"},
                              {"\\Device\\Serial1", "REG_SZ", "COM3"},
                              {"\\Device\\Serial2", "REG_SZ", "COM12"}}
        << QStringList{"COM7", "COM3", "COM12"};
    QTest::newRow("256 data bytes")
        << QList<QStringList>{{"\\Device\\Serial0", "REG_SZ", fullText}} << QStringList{fullText};
    QTest::newRow("257 data bytes")
        << QList<QStringList>{{"\\Device\\Serial0", "REG_BINARY", binary257},
                              {"\\Device\\Serial1", "REG_SZ", "COM2"}}
        << QStringList{"nokey", "COM2"};
    QTest::newRow("number 3") << QList<QStringList>{{"\\Device\\Serial0", "REG_DWORD", "3"}}
                              << QStringList{QString(QChar(3))};
    QTest::newRow("no values") << QList<QStringList>() << QStringList();
}

// The real map on the real registry, values written by reg.exe.
void tst_PortDiscovery::registry()
{
    if (!underWine())
        QSKIP("rewrites this machine's serial device map: runs under wine only");
    QFETCH(QList<QStringList>, values);
    QFETCH(QStringList, expected);

    QVERIFY(reg({"delete", DeviceMapKey, "/va", "/f"}));
    for (const QStringList &value : values)
        QVERIFY(reg({"add", DeviceMapKey, "/v", value[0], "/t", value[1], "/d", value[2], "/f"}));

    ModalWatcher watcher;
    MainWindow window;
    QCOMPARE(items(window.findChild<QComboBox *>("portNameComboBox")), expected);
    QVERIFY(watcher.boxes.isEmpty());
    QCOMPARE(window.downloadWorker()->portSetting(), expected.value(0));
}

// An FTDI adapter's timer where its driver keeps it: found by the port name
// in the device's parameters, for that port only.
void tst_PortDiscovery::ftdiLatencyTimer()
{
    if (!underWine())
        QSKIP("writes this machine's device parameters: runs under wine only");
    const QString device =
        "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+KAVRO1A";
    const QString parameters = device + "\\0000\\Device Parameters";
    QVERIFY(reg({"add", parameters, "/v", "PortName", "/t", "REG_SZ", "/d", "COM9", "/f"}));
    QVERIFY(reg({"add", parameters, "/v", "LatencyTimer", "/t", "REG_DWORD", "/d", "16", "/f"}));
    const LatencyTimer com9 = LatencyTimer::of(PortName::devicePath("COM9"));
    const LatencyTimer com8 = LatencyTimer::of(PortName::devicePath("COM8"));
    QVERIFY(reg({"delete", device, "/f"}));
    QCOMPARE(com9.ms, 16);
    QVERIFY2(com9.file.endsWith("KAVRO1A\\0000\\Device Parameters"), qPrintable(com9.file));
    QCOMPARE(com8.ms, -1);
}

#else

namespace
{
// A path of exactly `bytes` bytes as the file system spells it, mostly of a
// two-byte letter.
QString pathOfBytes(const QTemporaryDir &dir, int bytes)
{
    QString path = dir.path() + QLatin1Char('/');
    const int room = bytes - QFile::encodeName(path).size();
    path += QString(room / 2, QChar(0x142)) + QString(room % 2, QLatin1Char('x'));
    return path;
}
} // namespace

// The platform's own list, with a simulated board named first through a
// link whose name is not ASCII: it is the worker's port without any choice,
// and a download through the window reaches the board. A path too long for
// a value's room reads as "nokey", and the plain list leaves it out.
void tst_PortDiscovery::extraPortsDownload()
{
    BootSimOptions options;
    options.linkPath = dir.filePath(QString::fromUtf8("plätte-łódź"));
    BootSim sim(options);
    QString error;
    QVERIFY2(sim.start(&error), qPrintable(error));
    const QString link = options.linkPath;
    const QString bogus = dir.filePath("no-such-tty");
    const QString longest = pathOfBytes(dir, SerialDeviceMap::DataRoom - 1); // and its NUL
    const QString tooLong = pathOfBytes(dir, SerialDeviceMap::DataRoom);
    const QStringList extraPorts{link, bogus, sim.slavePath(), longest, tooLong};
    EnvironmentOverride extra("KAVRO_EXTRA_PORTS", QFile::encodeName(extraPorts.join(':')));

    const QStringList names = SerialDeviceMap::portNames();
    QCOMPARE(names.mid(0, 4), extraPorts.mid(0, 4));
    QVERIFY(!names.contains(tooLong));

    ModalWatcher watcher;
    TraceCapture traces;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto *combo = window.findChild<QComboBox *>("portNameComboBox");
    QCOMPARE(items(combo).mid(0, 5), extraPorts.mid(0, 4) << "nokey");
    QCOMPARE(window.downloadWorker()->portSetting(), link);
    QCOMPARE(TraceCapture::count("Line 15,  comName="), 1);
    QVERIFY(watcher.boxes.isEmpty());

    const QByteArray bytes = makeImage(5, 3);
    const QString image = writeImage(dir, "extra.bin", bytes);
    watcher.answerFileDialog(image);
    QTest::mouseClick(window.findChild<QPushButton *>("openBinFileBtn"), Qt::LeftButton);
    QCOMPARE(window.findChild<QLineEdit *>("binFileNameBrowser")->text(), image);

    QTest::mouseClick(window.findChild<QPushButton *>("downloadBtn"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 1, 10000);
    QCOMPARE(watcher.boxes.first().text, QString("Download Success"));
    QVERIFY(sim.waitForEndFrames(1, 2000));
    QCOMPARE(sim.receivedImage(), imageData(bytes));
}

#endif

KAVRO_WINDOW_TEST_MAIN(tst_PortDiscovery)

#include "tst_portdiscovery.moc"
