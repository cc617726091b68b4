#include "download/deviceframe.h"
#include "sim/bootsim.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <time.h>
#include <unistd.h>

Q_DECLARE_METATYPE(BootSimOptions)

namespace
{

// Plain POSIX host end of the line, so the board is tested without the serial layer.
struct Host {
    const int fd;
    explicit Host(const QString &path) : fd(::open(QFile::encodeName(path), O_RDWR | O_NOCTTY)) {}
    ~Host() { ::close(fd); }
    bool send(const QByteArray &f) { return ::write(fd, f.constData(), f.size()) == f.size(); }
    // Reads until `want` bytes came or `timeoutMs` passed. `reads` counts the reads that
    // brought data, `last` is the last read's result (-errno on failure).
    QByteArray receive(int want, int timeoutMs, int *reads = nullptr, int *last = nullptr)
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        for (int count = 1; got.size() < want; ++count) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, std::max(0, timeoutMs - int(timer.elapsed()))) <= 0)
                break;
            char buffer[512];
            const int n = int(::read(fd, buffer, std::min<int>(sizeof buffer, want - got.size())));
            if (last)
                *last = n < 0 ? -errno : n;
            if (n <= 0)
                break;
            got.append(buffer, n);
            if (reads)
                *reads = count;
        }
        return got;
    }
};

QByteArray blockData(int k)
{
    QByteArray data(DeviceFrame::BlockDataSize, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(k * 37 + i * 3);
    return data;
}

QByteArray blockFrame(int k)
{
    return DeviceFrame::blockFrame(
        quint16(k * DeviceFrame::BlockAddressStep),
        reinterpret_cast<const unsigned char *>(blockData(k).constData()));
}

// The clock the board counts its adapter ticks on.
qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Long enough that a reply missing its tick cannot pass for on time.
constexpr int AdapterTickMs = 40;

bool checkOk(const QByteArray &reply)
{
    const auto *r = reinterpret_cast<const unsigned char *>(reply.constData());
    return reply.size() == 6 && DeviceFrame::checkByte(r + 1, 4) == r[5];
}

bool validReply(const QByteArray &reply)
{
    return checkOk(reply) && quint8(reply[0]) == DeviceFrame::StartByte;
}

} // namespace

class TestBootSim : public QObject
{
    Q_OBJECT

private slots:
    void goodSession();
    void faults_data();
    void faults();
    void timing_data();
    void timing();
    void badCheckFrameNotAnswered();
    void hangup();
};

void TestBootSim::goodSession()
{
    QTemporaryDir dir;
    BootSimOptions opts;
    opts.imageOut = dir.filePath("image.bin");
    opts.logPath = dir.filePath("log.txt");
    BootSim sim(opts);
    QVERIFY(sim.start());

    const QList<QByteArray> frames = {DeviceFrame::startFrame(), DeviceFrame::prepareFrame(),
                                      blockFrame(0), blockFrame(1), DeviceFrame::endFrame()};
    Host host(sim.slavePath());
    QVERIFY(host.fd >= 0);
    for (const QByteArray &frame : frames.mid(0, 4)) {
        QVERIFY(host.send(frame));
        QVERIFY(validReply(host.receive(6, 1000)));
    }
    QCOMPARE(sim.blockPhase().ns, 0); // no end frame yet
    QVERIFY(host.send(frames.last()));
    QVERIFY(sim.waitForEndFrames(1, 1000));

    const QByteArray image = blockData(0) + blockData(1);
    QCOMPARE(sim.receivedImage(), image);
    QFile out(opts.imageOut);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), image);
    QCOMPARE(sim.hostFrames(), frames);
    const auto transcript = sim.transcript();
    QCOMPARE(transcript.size(), 9);
    for (int i = 0; i < transcript.size(); ++i)
        QCOMPARE(transcript[i].first, i % 2 == 0);
    const QVector<qint64> turnaround = sim.turnaroundNs();
    QCOMPARE(turnaround.size(), 2);
    for (qint64 ns : turnaround)
        QVERIFY(ns > 0 && ns < 1000000000);
    // From the first block's arrival to the end frame's: both blocks' round trips.
    const BootSim::BlockPhase phase = sim.blockPhase();
    QVERIFY(phase.ns > turnaround[1] && phase.ns < 2000000000);
    QVERIFY(phase.latenessNs >= 0 && phase.latenessNs < phase.ns);

    QFile log(opts.logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    QCOMPARE(lines.size(), 9 + 1);
    QCOMPARE(lines.mid(0, 2),
             QList<QByteArray>({"host FE 01 4D 10 00 5C", "board FE 01 4D 10 00 5C"}));

    // A new session starts from an empty store, over a reopened port.
    Host again(sim.slavePath());
    for (const QByteArray &frame : {DeviceFrame::startFrame(), blockFrame(1)}) {
        QVERIFY(again.send(frame));
        QVERIFY(validReply(again.receive(6, 1000)));
    }
    QVERIFY(again.send(DeviceFrame::endFrame()));
    QVERIFY(sim.waitForEndFrames(2, 1000));
    QCOMPARE(sim.receivedImage(), blockData(1));
}

void TestBootSim::faults_data()
{
    QTest::addColumn<BootSimOptions>("opts");
    // Per frame of start, prepare, block 0..2: o valid reply, - none, c bad check,
    // s bad start byte, d doubled, f flood, b valid reply written byte by byte.
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char *name, const char *expected, auto set) {
        BootSimOptions o;
        set(o);
        QTest::newRow(name) << o << QByteArray(expected);
    };
    row("plain", "ooooo", [](BootSimOptions &) {});
    row("never answer", "-----", [](BootSimOptions &o) { o.neverAnswer = true; });
    row("answer first 2", "oo---", [](BootSimOptions &o) { o.answerFirst = 2; });
    row("bad check 3", "oocoo", [](BootSimOptions &o) { o.badCheckAt = 3; });
    row("bad start 1", "soooo", [](BootSimOptions &o) { o.badStartAt = 1; });
    row("double reply", "ddddd", [](BootSimOptions &o) { o.doubleReply = true; });
    row("flood 4", "ooofo", [](BootSimOptions &o) {
        o.floodAt = 4;
        o.floodBytes = 100;
    });
    row("byte by byte", "bbbbb", [](BootSimOptions &o) { o.byteByByte = true; });
}

void TestBootSim::faults()
{
    QFETCH(BootSimOptions, opts);
    QFETCH(QByteArray, expected);
    BootSim sim(opts);
    QVERIFY(sim.start());
    const QList<QByteArray> frames = {DeviceFrame::startFrame(), DeviceFrame::prepareFrame(),
                                      blockFrame(0), blockFrame(1), blockFrame(2)};

    // A busy machine may hold the reader back until a whole reply has
    // arrived, so one reply in pieces out of all of them is the proof.
    int repliesInPieces = 0;
    // Twice: the numbering restarts at every start frame.
    for (int session = 0; session < 2; ++session) {
        Host host(sim.slavePath());
        for (int i = 0; i < frames.size(); ++i) {
            QVERIFY(host.send(frames[i]));
            const char kind = expected[i];
            if (kind == '-') {
                QCOMPARE(host.receive(1, 100), QByteArray());
                continue;
            }
            if (kind == 'f') {
                const QByteArray flood = host.receive(opts.floodBytes, 1000);
                QCOMPARE(flood, QByteArray(opts.floodBytes, char(0xAA)));
                continue;
            }
            int reads = 0;
            const QByteArray reply = host.receive(kind == 'd' ? 12 : 6, 1000, &reads);
            if (kind == 'd') {
                QCOMPARE(reply.left(6), reply.mid(6));
                QVERIFY(validReply(reply.left(6)));
            } else if (kind == 'c') {
                QVERIFY(quint8(reply[0]) == DeviceFrame::StartByte && !checkOk(reply));
            } else if (kind == 's') {
                QVERIFY(quint8(reply[0]) != DeviceFrame::StartByte && checkOk(reply));
            } else {
                QVERIFY2(validReply(reply), reply.toHex(' ').constData());
            }
            if (kind == 'b' && reads > 1)
                ++repliesInPieces;
        }
        QVERIFY(host.send(DeviceFrame::endFrame()));
        QVERIFY(sim.waitForEndFrames(session + 1, 1000));
        QCOMPARE(host.receive(1, 50), QByteArray());
    }
    if (expected.contains('b'))
        QVERIFY2(repliesInPieces > 0, "every reply came in one piece");
}

void TestBootSim::timing_data()
{
    QTest::addColumn<BootSimOptions>("opts");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("minUs");

    BootSimOptions o;
    o.delayUs = 20000;
    QTest::newRow("delay") << o << DeviceFrame::startFrame() << 20000;
    o.adapterLatencyMs = AdapterTickMs;
    QTest::newRow("delay, then adapter tick") << o << DeviceFrame::startFrame() << 20000;
    o = {};
    o.adapterLatencyMs = AdapterTickMs;
    QTest::newRow("adapter tick") << o << DeviceFrame::startFrame() << 0;
    o = {};
    o.wireBaud = 9600; // (frame + 6) * 10 bits
    QTest::newRow("wire, start frame") << o << DeviceFrame::startFrame() << 12500;
    QTest::newRow("wire, block frame") << o << blockFrame(0) << 80208;
    o.adapterLatencyMs = AdapterTickMs;
    QTest::newRow("wire, then adapter tick") << o << blockFrame(0) << 80208;
    o = {};
    o.wireBaud = 9600;
    o.delayUs = 10000;
    QTest::newRow("wire and delay") << o << blockFrame(0) << 90208;
}

// Replies come no earlier than minUs after the frame went out; behind an
// adapter, on the first tick after that and close to it.
void TestBootSim::timing()
{
    QFETCH(BootSimOptions, opts);
    QFETCH(QByteArray, frame);
    QFETCH(int, minUs);
    BootSim sim(opts);
    QVERIFY(sim.start());
    Host host(sim.slavePath());

    const qint64 tickNs = qint64(opts.adapterLatencyMs) * 1000000;
    const qint64 slackNs = tickNs > 0 ? 10000000 : 250000000;
    // A busy machine can make any one reply late, by a whole tick when the
    // board takes the frame in late; it cannot make a reply early, nor every
    // one of three late. So no try may be early, and one must be on time.
    qint64 bestLateUs = std::numeric_limits<qint64>::max();
    for (int attempt = 0; attempt < 3 && bestLateUs >= slackNs / 1000; ++attempt) {
        qint64 sentNs = monotonicNs();
        // Sent just after a tick, so a hold taken before the delay or the
        // wire time would miss the expected tick by far.
        if (tickNs > 0) {
            sentNs = (sentNs / tickNs + 1) * tickNs + 1000000;
            while (monotonicNs() < sentNs) {
            }
        }
        QVERIFY(host.send(frame));
        QVERIFY(validReply(host.receive(6, 2000)));
        const qint64 arrivedNs = monotonicNs();

        qint64 dueNs = sentNs + qint64(minUs) * 1000;
        if (tickNs > 0)
            dueNs = (dueNs + tickNs - 1) / tickNs * tickNs;
        const qint64 lateUs = (arrivedNs - dueNs) / 1000;
        QVERIFY2(lateUs >= 0, QByteArray::number(lateUs).constData());
        bestLateUs = qMin(bestLateUs, lateUs);
    }
    QVERIFY2(bestLateUs < slackNs / 1000, QByteArray::number(bestLateUs).constData());
}

void TestBootSim::badCheckFrameNotAnswered()
{
    BootSim sim;
    QVERIFY(sim.start());
    Host host(sim.slavePath());
    QVERIFY(host.send(QByteArray::fromHex("FE014D10005D")));
    QCOMPARE(host.receive(1, 100), QByteArray());
    QCOMPARE(sim.badFrames(), 1);
    QVERIFY(sim.hostFrames().isEmpty());

    QVERIFY(host.send(DeviceFrame::startFrame()));
    QVERIFY(validReply(host.receive(6, 1000)));
    QCOMPARE(sim.hostFrames().size(), 1);
}

void TestBootSim::hangup()
{
    BootSimOptions opts;
    opts.hangupAt = 2;
    BootSim sim(opts);
    QVERIFY(sim.start());
    Host host(sim.slavePath());
    QVERIFY(host.send(DeviceFrame::startFrame()));
    QVERIFY(validReply(host.receive(6, 1000)));
    QVERIFY(host.send(DeviceFrame::prepareFrame()));
    QVERIFY(sim.waitForHangUp(1000));

    int last = 1;
    QCOMPARE(host.receive(6, 1000, nullptr, &last), QByteArray());
    QVERIFY2(last == 0 || last == -EIO, qPrintable(QString::number(last)));
    QVERIFY(sim.hungUp());
}

QTEST_GUILESS_MAIN(TestBootSim)
#include "tst_bootsim.moc"
