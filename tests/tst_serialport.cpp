#include "serial/serialport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// The serial layer's open, against devices that open as a port does but are
// none: it fails with a reason, and leaves nothing open behind it.
class tst_SerialPort : public QObject
{
    Q_OBJECT
private slots:
    void notAPort_data();
    void notAPort();

private:
    QTemporaryDir dir;
};

void tst_SerialPort::notAPort_data()
{
    QTest::addColumn<QString>("name");
#ifdef Q_OS_WIN
    QTest::newRow("null device") << QStringLiteral("NUL");
#else
    QTest::newRow("null device") << QStringLiteral("/dev/null");
#endif
    QFile file(dir.filePath(QStringLiteral("not-a-port")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QTest::newRow("file") << QDir::toNativeSeparators(file.fileName());
}

void tst_SerialPort::notAPort()
{
    QFETCH(QString, name);
    SerialPort port(name);
    // A second open finds the device as the first left it: a handle the
    // first kept would make it busy.
    for (int attempt = 0; attempt < 2; ++attempt) {
        QVERIFY(!port.open(QIODevice::ReadWrite));
        QVERIFY(!port.isOpen());
        const std::optional<PortFailure> failure = port.openFailure();
        QVERIFY(failure);
        QVERIFY(failure->kind == PortFailure::Kind::NotASerialPort);
        QVERIFY2(failure->detail.startsWith(QStringLiteral("not a serial port")),
                 qPrintable(failure->detail));
    }
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_serialport.moc"
