#include "serial/linesequence.h"
#include "serial/serialport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// The serial layer's open, against devices that open as a port does but are
// none: it fails with a reason, and leaves nothing open behind it. And the
// DTR and RTS sequences as they are read.
class tst_SerialPort : public QObject
{
    Q_OBJECT
private slots:
    void notAPort_data();
    void notAPort();
    void lineSequence_data();
    void lineSequence();

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

// Each sequence as it reads back, or the error naming its step.
void tst_SerialPort::lineSequence_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("read"); // the steps written back, or the error
    QTest::newRow("two boot pins") << "dtr=0,rts=1 wait=100  rts=0\twait=50"
                                   << "dtr=0,rts=1 wait=100 rts=0 wait=50";
    QTest::newRow("lines in any order") << "rts=1,dtr=1"
                                        << "dtr=1,rts=1";
    QTest::newRow("no wait") << "wait=0 rts=1"
                             << "wait=0 rts=1";
    QTest::newRow("longest wait") << "wait=60000"
                                  << "wait=60000";
    QTest::newRow("empty") << "  "
                           << "an empty sequence: give steps such as 'rts=1 wait=100 rts=0'";
    QTest::newRow("level") << "rts=1 dtr=2"
                           << "step 2 'dtr=2': dtr is 0 or 1, not '2'";
    QTest::newRow("line twice") << "rts=1,rts=0"
                                << "step 1 'rts=1,rts=0': rts is named twice";
    QTest::newRow("unknown line") << "cts=1"
                                  << "step 1 'cts=1': 'cts=1' is not dtr=0|1, rts=0|1 or wait=MS";
    QTest::newRow("upper case") << "DTR=1"
                                << "step 1 'DTR=1': 'DTR=1' is not dtr=0|1, rts=0|1 or wait=MS";
    QTest::newRow("empty part") << "dtr=1, rts=0"
                                << "step 1 'dtr=1,': '' is not dtr=0|1, rts=0|1 or wait=MS";
    QTest::newRow("negative wait")
        << "wait=-5"
        << "step 1 'wait=-5': a wait is 0 to 60000 milliseconds, not '-5'";
    QTest::newRow("wait too long") << "rts=1 wait=60001"
                                   << "step 2 'wait=60001': a wait is 0 to 60000 milliseconds, not "
                                      "'60001'";
    QTest::newRow("wait with unit")
        << "wait=10ms"
        << "step 1 'wait=10ms': a wait is 0 to 60000 milliseconds, not '10ms'";
    QTest::newRow("wait and line") << "wait=10,rts=1"
                                   << "step 1 'wait=10,rts=1': a wait is 0 to 60000 "
                                      "milliseconds, not '10,rts=1'";
}

void tst_SerialPort::lineSequence()
{
    QFETCH(QString, text);
    QFETCH(QString, read);
    const LineSequenceParse parse = parseLineSequence(text);
    QCOMPARE(parse.ok() ? parse.sequence.text() : *parse.error, read);
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_serialport.moc"
