// Download sessions over a real pseudo-terminal, through the serial port
// layer, against the simulated board.

#include "download/deviceframe.h"
#include "download/uploadthread.h"
#include "sessionfixture.h"
#include "sim/bootsim.h"

#include <QtTest>

#include <atomic>

namespace
{

const QStringList Closing = {"text:download", "progress:0"};

BootSimOptions faultOptions(const QString &fault)
{
    BootSimOptions o;
    const QStringList parts = fault.split(':');
    const QString name = parts.value(0);
    const int k = parts.value(1).toInt();
    if (name == "silent")
        o.neverAnswer = true;
    else if (name == "answer-first")
        o.answerFirst = k;
    else if (name == "bad-check")
        o.badCheckAt = k;
    else if (name == "bad-start")
        o.badStartAt = k;
    else if (name == "flood")
        o.floodAt = k;
    else if (name == "hangup")
        o.hangupAt = k;
    else if (name == "hangup-after-reply")
        o.hangupAfterReply = k;
    else if (name == "locked-baud")
        o.lockedBaud = k;
    else if (name == "byte-by-byte")
        o.byteByByte = true;
    else if (name == "double")
        o.doubleReply = true;
    else if (name == "delay")
        o.delayUs = k * 1000;
    return o;
}

// At its last step before the end frame the session has taken the last
// reply; taking the line away there (if the board's own hang-up has not yet)
// makes sure the end frame finds no line.
std::atomic<BootSim *> awaitedHangUp{nullptr};
QtMessageHandler previousHandler = nullptr;

void holdBeforeEndFrame(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    BootSim *board = awaitedHangUp;
    if (board && text.startsWith(QLatin1String("--------n=")))
        board->stop();
    previousHandler(type, context, text);
}

// The session's own trace lines, as a session's end is told by them too;
// the port's path and the setters' lines are left out.
QStringList sessionTraces;
QtMessageHandler quietHandler = nullptr;

void collectTraces(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    static const QStringList whole = {
        "CanNOT Open Serial", "file length is", "--------n=", "Line-->", "go end",
        "end frame not sent"};
    static const QStringList prefixOnly = {"Open Serial", "Serial open failed", "Serial refused"};
    for (const QString &prefix : whole) {
        if (text.startsWith(prefix))
            sessionTraces << text.trimmed();
    }
    for (const QString &prefix : prefixOnly) {
        if (text.startsWith(prefix))
            sessionTraces << prefix;
    }
    quietHandler(type, context, text);
}

// A follower that wants the session stopped before it has begun.
struct StopAtOnce : SessionObserver {
    void sessionEvent(const SessionEvent &) override {}
    bool stopWanted() override { return true; }
    void sessionEnded(const SessionResult &result) override { this->result = result; }
    std::optional<SessionResult> result;
};

} // namespace

class tst_UploadThread : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void exits_data();
    void exits();
    void lineTranscript();
    void progress_data();
    void progress();
    void cancelBeforeStartReply_data();
    void cancelBeforeStartReply();
    void cancelDuringBlocks();
    void reuseAfterFailure_data();
    void reuseAfterFailure();
    void settingsTakenAtSessionStart();

private:
    QTemporaryDir dir;
    qint64 replyWaitMs = 0;
};

void tst_UploadThread::initTestCase()
{
    replyWaitMs = measureReplyWaitMs(dir);
    QVERIFY(replyWaitMs > 0);
    qInfo("a reply wait lasts %lld ms here", replyWaitMs);
    quietHandler = qInstallMessageHandler(collectTraces);
}

// Every way a session can end: its finish text, the order of the closing
// signals, which frames went out, and how long it took.
void tst_UploadThread::exits_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("finish");
    QTest::addColumn<QStringList>("closing");
    QTest::addColumn<QString>("frames");
    QTest::addColumn<QStringList>("traces");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    // Limits in units of the reply wait measured here: an exit that waits
    // for no reply takes well under one, a time-out takes one (1001 sleeps of
    // at least 1 ms) and less than two.
    const int quick = int(replyWaitMs * 3 / 4);
    const int waitMin = 950;
    const int oneWait = int(replyWaitMs * 2);
    // A board this slow still answers every frame inside the wait.
    const int slowReplyMs = int(replyWaitMs * 7 / 10);

    const QStringList stop = Closing + QStringList{"finish:Download stop"};
    const QStringList fileError = {"text:download", "finish:File Error", "progress:100",
                                   "progress:0"};
    QTest::newRow("open failure") << "no-port"
                                  << "good"
                                  << "CanNOT Open Serial"
                                  << QStringList{"text:download", "progress:0",
                                                 "finish:CanNOT Open Serial"}
                                  << "" << QStringList{"Serial open failed", "CanNOT Open Serial"}
                                  << 0 << quick;
    QTest::newRow("start time-out")
        << "silent"
        << "good"
        << "Download TimeOut"
        << QStringList{"finish:Download TimeOut", "text:download", "progress:0"} << "10"
        << QStringList{"Open Serial", "Line-->59   here end"} << waitMin << oneWait;
    QTest::newRow("start reply bad check")
        << "bad-check:1"
        << "good"
        << "Download stop" << stop << "10" << QStringList{"Open Serial"} << 0 << quick;
    QTest::newRow("prepare reply bad start")
        << "bad-start:2"
        << "good"
        << "Download stop" << stop << "10 04" << QStringList{"Open Serial"} << 0 << quick;
    QTest::newRow("prepare time-out")
        << "answer-first:1"
        << "good"
        << "Download stop" << stop << "10 04" << QStringList{"Open Serial", "Line-->102   here end"}
        << waitMin << oneWait;
    QTest::newRow("no magic") << ""
                              << "no-magic"
                              << "File Error" << fileError << "10 04"
                              << QStringList{"Open Serial", "file length is 256"} << 0 << quick;
    QTest::newRow("image missing")
        << ""
        << "missing"
        << "File Error" << fileError << "10 04" << QStringList{"Open Serial"} << 0 << quick;
    QTest::newRow("image is a directory")
        << ""
        << "directory"
        << "File Error" << fileError << "10 04" << QStringList{"Open Serial"} << 0 << quick;
    QTest::newRow("4097 blocks") << ""
                                 << "too-big"
                                 << "File Error" << fileError << "10 04"
                                 << QStringList{"Open Serial", "file length is 262272"} << 0
                                 << 3000;
    QTest::newRow("block time-out")
        << "answer-first:3"
        << "good"
        << "Download stop" << stop << "10 04 01 01"
        << QStringList{"Open Serial", "file length is 256", "Line-->192   here end"} << waitMin
        << oneWait;
    QTest::newRow("block reply bad check")
        << "bad-check:4"
        << "good"
        << "Download stop" << stop << "10 04 01 01"
        << QStringList{"Open Serial", "file length is 256", "go end"} << 0 << quick;
    QTest::newRow("block reply flood")
        << "flood:3"
        << "good"
        << "Download stop" << stop << "10 04 01"
        << QStringList{"Open Serial", "file length is 256", "go end"} << 0 << quick;
    QTest::newRow("line hung up") << "hangup:4"
                                  << "good"
                                  << "Download stop" << stop << "10 04 01 01"
                                  << QStringList{"Open Serial", "file length is 256",
                                                 "Line-->192   here end"}
                                  << waitMin << oneWait;
    const QStringList success = Closing + QStringList{"finish:Download Success"};
    QTest::newRow("success") << ""
                             << "good"
                             << "Download Success" << success << "10 04 01 01 01 03"
                             << QStringList{"Open Serial", "file length is 256",
                                            "--------n=0-----------"}
                             << 0 << quick;
    QTest::newRow("replies byte by byte")
        << "byte-by-byte"
        << "good"
        << "Download Success" << success << "10 04 01 01 01 03"
        << QStringList{"Open Serial", "file length is 256", "--------n=0-----------"} << 0 << quick;
    QTest::newRow("two replies per write")
        << "double"
        << "good"
        << "Download Success" << success << "10 04 01 01 01 03"
        << QStringList{"Open Serial", "file length is 256", "--------n=0-----------"} << 0 << quick;
    QTest::newRow("slow board within time-out")
        << QStringLiteral("delay:%1").arg(slowReplyMs) << "good"
        << "Download Success" << success << "10 04 01 01 01 03"
        << QStringList{"Open Serial", "file length is 256", "--------n=0-----------"}
        << 5 * slowReplyMs << 5 * slowReplyMs + oneWait;
    // The line went away after the last reply: the end frame never left.
    QTest::newRow("end frame finds no line")
        << "hangup-after-reply:5"
        << "good"
        << "Download stop" << stop << "10 04 01 01 01"
        << QStringList{"Open Serial", "file length is 256", "--------n=0-----------",
                       "end frame not sent"}
        << 0 << quick;
    // The driver keeps its rate (the fault's second number is the rate the
    // worker asks for): the session must not blame the board.
    QTest::newRow("rate refused") << "locked-baud:115200:256000"
                                  << "good"
                                  << "CanNOT Open Serial"
                                  << QStringList{"text:download", "progress:0",
                                                 "finish:CanNOT Open Serial"}
                                  << ""
                                  << QStringList{"Open Serial", "Serial refused",
                                                 "Serial open failed", "CanNOT Open Serial"}
                                  << 0 << quick;
    // Not one of the board's rates: the port is left at its default.
    QTest::newRow("other rate left at the default")
        << "locked-baud:115200:9600"
        << "good"
        << "Download Success" << success << "10 04 01 01 01 03"
        << QStringList{"Open Serial", "file length is 256", "--------n=0-----------"} << 0 << quick;
}

void tst_UploadThread::exits()
{
    QFETCH(QString, fault);
    QFETCH(QString, image);
    QFETCH(QString, finish);
    QFETCH(QStringList, closing);
    QFETCH(QString, frames);
    QFETCH(QStringList, traces);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    const BootSimOptions options = faultOptions(fault);
    BootSim sim(options);
    QString error;
    const bool started = sim.start(&error);
    if (!started && options.lockedBaud && error.contains("locking"))
        QSKIP("locking a line's rate needs CAP_SYS_ADMIN");
    QVERIFY2(started, qPrintable(error));

    QByteArray bytes = makeImage(3);
    QString path = dir.filePath("missing.bin");
    if (image == "good")
        path = writeImage(dir, "good.bin", bytes);
    else if (image == "no-magic")
        path = writeImage(dir, "no-magic.bin", "Zentrax" + bytes.mid(7));
    else if (image == "directory")
        path = dir.path();
    else if (image == "too-big")
        path = writeImage(dir, "too-big.bin", makeImage(DeviceFrame::MaxBlocks + 1));

    uploadThread worker;
    const int rate = options.lockedBaud ? fault.section(':', 2).toInt() : 115200;
    worker.setBaud(rate);
    if (options.lockedBaud && finish == "CanNOT Open Serial")
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable("Serial refused baud rate " + QString::number(rate)));
    SignalRecorder recorder(&worker);
    const QString port = fault == "no-port" ? dir.filePath("no-such-tty") : sim.slavePath();
    if (options.hangupAfterReply) {
        awaitedHangUp = &sim;
        previousHandler = qInstallMessageHandler(holdBeforeEndFrame);
    }
    sessionTraces.clear();
    const bool ran = runSession(worker, recorder, port, path, 10000);
    if (options.hangupAfterReply) {
        qInstallMessageHandler(previousHandler);
        awaitedHangUp = nullptr;
    }
    QVERIFY(ran);

    QCOMPARE(recorder.finishText(), finish);
    QCOMPARE(recorder.closing(), closing);
    // The end frame is the one frame nobody waits for.
    if (finish == "Download Success")
        QVERIFY(sim.waitForEndFrames(1, 2000));
    QCOMPARE(commands(sim.hostFrames()), frames);
    QCOMPARE(sessionTraces, traces);
    QVERIFY2(recorder.finishedAfterMs >= minMs && recorder.finishedAfterMs <= maxMs,
             qPrintable(QString::number(recorder.finishedAfterMs)));
    if (finish == "Download Success")
        QCOMPARE(sim.receivedImage(), imageData(bytes));
}

// Two blocks: every frame and reply in line order, byte for byte.
void tst_UploadThread::lineTranscript()
{
    BootSim sim;
    QVERIFY(sim.start());
    const QByteArray bytes = makeImage(2);
    QCOMPARE(bytes.size(), 192);
    uploadThread worker;
    worker.setBaud(256000);
    SignalRecorder recorder(&worker);
    QVERIFY(runSession(worker, recorder, sim.slavePath(), writeImage(dir, "two.bin", bytes)));
    QVERIFY(sim.waitForEndFrames(1, 2000));

    const auto line = sim.transcript();
    QStringList who;
    for (const auto &entry : line)
        who << (entry.first ? "host" : "board");
    QCOMPARE(who.join(' '), QString("host board host board host board host board host"));
    const auto block = [&bytes](int k) {
        return DeviceFrame::blockFrame(static_cast<quint16>(16 * k),
                                       reinterpret_cast<const unsigned char *>(bytes.constData()) +
                                           64 + 64 * k);
    };
    QCOMPARE(line[0].second, DeviceFrame::startFrame());
    QCOMPARE(line[2].second, DeviceFrame::prepareFrame());
    QCOMPARE(line[4].second.toHex(' '), block(0).toHex(' '));
    QCOMPARE(line[6].second.toHex(' '), block(1).toHex(' '));
    QCOMPARE(line[8].second, DeviceFrame::endFrame());
    QCOMPARE(recorder.events, (QStringList{"progress:33", "progress:66", "text:download",
                                           "progress:0", "finish:Download Success"}));
}

void tst_UploadThread::progress_data()
{
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("tail");
    QTest::addColumn<QList<int>>("expected");

    QList<int> percent;
    for (int i = 1; i <= 99; ++i)
        percent << i;
    QTest::newRow("320 bytes") << 4 << 0 << QList<int>{20, 40, 60, 80, 0};
    QTest::newRow("6400 bytes") << 99 << 0 << percent + QList<int>{0};
    QTest::newRow("header only") << 0 << 0 << QList<int>{0};
    QTest::newRow("header of 7 bytes") << 0 << -57 << QList<int>{0};
    QTest::newRow("partial block not sent") << 2 << 40 << QList<int>{27, 55, 0};
}

void tst_UploadThread::progress()
{
    QFETCH(int, blocks);
    QFETCH(int, tail);
    QFETCH(QList<int>, expected);

    BootSim sim;
    QVERIFY(sim.start());
    QByteArray bytes = makeImage(blocks, qMax(tail, 0));
    if (tail < 0)
        bytes.chop(-tail);
    uploadThread worker;
    worker.setBaud(115200);
    SignalRecorder recorder(&worker);
    QVERIFY(runSession(worker, recorder, sim.slavePath(), writeImage(dir, "p.bin", bytes), 15000));
    QCOMPARE(recorder.finishText(), QString("Download Success"));
    QVERIFY(sim.waitForEndFrames(1, 2000));
    QCOMPARE(recorder.progressValues(), expected);
    QCOMPARE(sim.hostFrames().size(), 2 + blocks + 1);
    QCOMPARE(sim.receivedImage(), imageData(bytes));
}

void tst_UploadThread::cancelBeforeStartReply_data()
{
    QTest::addColumn<bool>("beforeFirstStep");
    QTest::newRow("stop during the start reply wait") << false;
    // A follower's stop is there before the session's first step.
    QTest::newRow("stop before the session's first step") << true;
}

// The start reply is still awaited; then the session ends without another frame.
void tst_UploadThread::cancelBeforeStartReply()
{
    QFETCH(bool, beforeFirstStep);
    BootSimOptions slow;
    slow.delayUs = 300 * 1000;
    BootSim sim(slow);
    QVERIFY(sim.start());
    uploadThread worker;
    worker.setBaud(115200);
    SignalRecorder recorder(&worker);
    StopAtOnce follower;
    if (beforeFirstStep)
        worker.setObserver(&follower);
    else
        QTimer::singleShot(100, &worker, [&worker] { worker.stopDownload(); });
    QVERIFY(runSession(worker, recorder, sim.slavePath(), writeImage(dir, "c.bin", makeImage(4))));
    QCOMPARE(recorder.events,
             (QStringList{"finish:Download Cancel", "text:download", "progress:0"}));
    if (beforeFirstStep) {
        QVERIFY(follower.result);
        QVERIFY(follower.result->exit == SessionExit::CancelAfterStart);
        QCOMPARE(follower.result->blocksWritten, 0);
    }
    QCOMPARE(commands(sim.hostFrames()), QString("10"));
    QVERIFY(recorder.finishedAfterMs >= 300);
}

// The block in flight is answered, then the session stops: no end frame.
void tst_UploadThread::cancelDuringBlocks()
{
    BootSimOptions slow;
    slow.delayUs = 5 * 1000;
    BootSim sim(slow);
    QVERIFY(sim.start());
    uploadThread worker;
    worker.setBaud(115200);
    SignalRecorder recorder(&worker);
    connect(&worker, &uploadThread::setProgress, &worker, [&worker](int sum) {
        if (sum == 10)
            worker.stopDownload();
    });
    QVERIFY(runSession(worker, recorder, sim.slavePath(), writeImage(dir, "c.bin", makeImage(99))));
    QCOMPARE(recorder.closing(),
             (QStringList{"finish:Download Cancel", "text:download", "progress:0"}));
    const QList<QByteArray> frames = sim.hostFrames();
    // The stop lands after block 10's reply, or the next one's if the
    // worker was quicker than the delivery of progress 10.
    QVERIFY2(frames.size() >= 2 + 10 && frames.size() <= 2 + 11,
             qPrintable(QString::number(frames.size())));
    QCOMPARE(static_cast<unsigned char>(frames.last().at(3)), static_cast<unsigned char>(0x01));
    QCOMPARE(sim.endFrames(), 0);
    // Every block frame that went out was answered before the session ended.
    int replies = 0;
    for (const auto &entry : sim.transcript())
        replies += entry.first ? 0 : 1;
    QCOMPARE(replies, frames.size());
}

// One worker serves every session: a failure leaves nothing behind that
// spoils the next, good session.
void tst_UploadThread::reuseAfterFailure_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("open failure") << "no-port";
    QTest::newRow("start time-out") << "silent";
    QTest::newRow("handshake rejected") << "bad-start:1";
    QTest::newRow("block time-out") << "answer-first:4";
    QTest::newRow("block rejected") << "bad-check:3";
    QTest::newRow("flood") << "flood:4";
    QTest::newRow("hang-up") << "hangup:3";
    QTest::newRow("cancel") << "cancel";
}

void tst_UploadThread::reuseAfterFailure()
{
    QFETCH(QString, fault);
    const QString path = writeImage(dir, "r.bin", makeImage(6, 5));
    uploadThread worker;
    worker.setBaud(256000);
    SignalRecorder recorder(&worker);
    {
        BootSim faulty(faultOptions(fault));
        QVERIFY(faulty.start());
        QObject canceller;
        if (fault == "cancel")
            connect(&worker, &uploadThread::setProgress, &canceller,
                    [&worker] { worker.stopDownload(); });
        const QString port = fault == "no-port" ? dir.filePath("no-tty") : faulty.slavePath();
        QVERIFY(runSession(worker, recorder, port, path));
        if (fault != "cancel")
            QVERIFY(recorder.finishText() != QString("Download Success"));
    }
    BootSim good;
    QVERIFY(good.start());
    QVERIFY(runSession(worker, recorder, good.slavePath(), path));
    QCOMPARE(recorder.finishText(), QString("Download Success"));
    QVERIFY(good.waitForEndFrames(1, 2000));
    QCOMPARE(good.receivedImage(), imageData(makeImage(6, 5)));
}

// Port and rate changes while idle reach the next session; the names go
// through the local 8-bit encoding without loss: the session only finds the
// board under a port name and an image path that are not ASCII.
void tst_UploadThread::settingsTakenAtSessionStart()
{
    uploadThread worker;
    worker.setBaud(256000);
    QCOMPARE(worker.baudSetting(), 256000);
    worker.setFileName(nullptr);
    QCOMPARE(worker.fileSetting(), QString());

    BootSim sim;
    QVERIFY(sim.start());
    const QString port = dir.filePath(QString::fromUtf8("порт-ü ✓"));
    QVERIFY(QFile::link(sim.slavePath(), port));
    const QString path = writeImage(dir, QString::fromUtf8("образ ✓.bin"), makeImage(2));
    SignalRecorder recorder(&worker);
    QVERIFY(runSession(worker, recorder, port, path));
    QCOMPARE(worker.portSetting(), port);
    QCOMPARE(recorder.finishText(), QString("Download Success"));
}

QTEST_GUILESS_MAIN(tst_UploadThread)
#include "tst_uploadthread.moc"
