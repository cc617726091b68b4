#include "serial/linesequence.h"
#include "serial/serialport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

// The serial layer's open, against devices that open as a port does but are
// none: it fails with a reason, and leaves nothing open behind it. And the
// DTR and RTS sequences as they are read and played.
class tst_SerialPort : public QObject
{
    Q_OBJECT
private slots:
    void notAPort_data();
    void notAPort();
    void lineSequence_data();
    void lineSequence();
    void sequencePlayer_data();
    void sequencePlayer();
    void sequenceWaits();

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

namespace
{

// A line that keeps what the player asks of it: each write as "dtr,rts"
// levels, failing the read or the write named.
class RecordingLine : public ModemLineAccess
{
public:
    std::optional<QString> readFails;
    int failWrite = -1; // the write, from 0, that the driver refuses
    int reads = 0;
    QStringList writes;

    ModemLines::Read readLines() override
    {
        ++reads;
        return {ModemLines::State{true, false, 0x4000}, readFails};
    }
    std::optional<QString> writeLines(const ModemLines::State &lines) override
    {
        if (lines.native != 0x4000)
            return QStringLiteral("the driver's other bits were lost");
        if (writes.size() == failWrite)
            return QStringLiteral("Input/output error");
        writes << QStringLiteral("%1%2").arg(int(lines.dtr)).arg(int(lines.rts));
        return std::nullopt;
    }
    std::optional<QString> keepLinesAtClose() override { return std::nullopt; }
};

} // namespace

// What reaches the driver for each sequence: the lines read once, before the
// first change, each step one write of both lines with those it does not
// name as they were, and a refusal ending the run at the step it names.
void tst_SerialPort::sequencePlayer_data()
{
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<QString>("readFails");
    QTest::addColumn<int>("failWrite");
    QTest::addColumn<QStringList>("writes"); // dtr then rts
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("reads");
    QTest::newRow("lines kept that a step does not name")
        << "rts=1 dtr=0 dtr=1,rts=0" << QString() << -1 << QStringList{"11", "01", "10"}
        << QString() << 1;
    QTest::newRow("waits alone touch nothing") << "wait=0 wait=0" << QString() << -1
                                               << QStringList() << QString() << 0;
    QTest::newRow("no modem lines") << "wait=0 rts=1" << "Inappropriate ioctl for device" << -1
                                    << QStringList()
                                    << "step 2 'rts=1': Inappropriate ioctl for device" << 1;
    QTest::newRow("second change refused")
        << "rts=1 wait=0 rts=0 dtr=0" << QString() << 1 << QStringList{"11"}
        << "step 3 'rts=0': Input/output error" << 1;
}

void tst_SerialPort::sequencePlayer()
{
    QFETCH(QString, sequence);
    QFETCH(QString, readFails);
    QFETCH(int, failWrite);
    RecordingLine line;
    if (!readFails.isEmpty())
        line.readFails = readFails;
    line.failWrite = failWrite;
    const LineSequenceRun run = runLineSequence(line, parseLineSequence(sequence).sequence);
    QTEST(line.writes, "writes");
    QTEST(run.failure.value_or(QString()), "failure");
    QTEST(line.reads, "reads");
    QCOMPARE(run.steps.size(), run.ok() ? parseLineSequence(sequence).sequence.steps.size()
                                        : run.failure->section(QLatin1Char(' '), 1, 1).toInt() - 1);
}

// A wait is the caller's: the player hands back its end and runs nothing
// before it; each step's times are measured, the wait's at least as asked.
void tst_SerialPort::sequenceWaits()
{
    RecordingLine line;
    LineSequencePlayer player(parseLineSequence(QStringLiteral("rts=1 wait=30 rts=0")).sequence,
                              line);
    const auto asked = LineSequencePlayer::Clock::now();
    const auto due = player.advance();
    QVERIFY(due);
    QVERIFY(*due >= asked + std::chrono::milliseconds(30));
    QVERIFY(player.advance() == due);
    QCOMPARE(line.writes, QStringList{"11"});
    // A sleep may end a little before the clock says it should (Windows):
    // the player then hands back the same end again.
    for (auto next = due; next; next = player.advance())
        std::this_thread::sleep_until(*next);
    QCOMPARE(line.writes, (QStringList{"11", "10"}));
    const LineSequenceRun &run = player.run();
    QCOMPARE(run.steps.size(), 3);
    QCOMPARE(run.steps[1].step, QStringLiteral("wait=30"));
    QVERIFY2(run.steps[1].tookMs >= 30, qPrintable(QString::number(run.steps[1].tookMs)));
    QVERIFY(run.steps[2].startMs >= run.steps[1].startMs + run.steps[1].tookMs);
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_serialport.moc"
