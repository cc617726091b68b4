// The session core on its own: bytes, ticks and stops in; frames, events and
// a result out. No port, no file, no thread.

#include "download/deviceframe.h"
#include "download/outcome.h"
#include "download/sessioncore.h"

#include <QtTest>

#include <cstring>

namespace
{

const QByteArray GoodReply = QByteArray::fromHex("FE0000000000");
const QByteArray BadReply = QByteArray::fromHex("FE0000000001");

// Writes the core's events down as "written:1@33", "acked:1", "ended".
struct EventLog : SessionEvents {
    QStringList lines;
    void sessionEvent(const SessionEvent &e) override
    {
        switch (e.kind) {
        case SessionEvent::Kind::PortOpened:
            lines << "opened";
            break;
        case SessionEvent::Kind::ImageLength:
            lines << QStringLiteral("length:%1").arg(e.value);
            break;
        case SessionEvent::Kind::BlockWritten:
            lines << QStringLiteral("written:%1@%2").arg(e.value).arg(e.percent);
            break;
        case SessionEvent::Kind::BlockAcknowledged:
            lines << QStringLiteral("acked:%1").arg(e.value);
            break;
        case SessionEvent::Kind::DataEnded:
            lines << QStringLiteral("data-end:%1").arg(e.value);
            break;
        case SessionEvent::Kind::Ended:
            lines << "ended";
            break;
        }
    }
};

// A board that answers the n-th frame as the script's n-th word says:
//   ok, bad, silent (never), late (after 1000 ticks, the last one allowed),
//   split (one byte at a time), early (before the frame is written),
//   stop+ok (a stop request, then the reply).
// What the core asked to send comes back as the frames' command bytes.
struct Run {
    QString frames;
    SessionResult result;
};

Run drive(SessionCore &core, const QStringList &script, const QByteArray &image, ImageCheck check,
          bool endLeaves)
{
    Run run;
    qint64 offset = FirmwareImage::HeaderSize;
    int frame = 0;
    bool earlyDone = false;
    using Need = SessionCore::Need;
    for (int guard = 0; guard < 100000 && core.need() != Need::Done; ++guard) {
        // The frame about to go out, or the one whose reply is awaited.
        const QString word =
            script.value(core.need() == Need::Send ? frame : frame - 1, QStringLiteral("ok"));
        switch (core.need()) {
        case Need::Port:
            core.portOpened();
            break;
        case Need::Send:
            if (word == "early" && !earlyDone) {
                earlyDone = true;
                core.received(GoodReply.constData(), GoodReply.size());
            }
            run.frames += QStringLiteral("%1 ").arg(core.frame()[3], 2, 16, QChar('0'));
            core.frameWritten();
            ++frame;
            break;
        case Need::Reply:
            if (word == "silent") {
                core.ticked();
            } else if (word == "late") {
                core.ticked(SessionCore::ReplyWaitTicks);
                core.received(GoodReply.constData(), GoodReply.size());
            } else if (word == "split") {
                for (char byte : GoodReply)
                    core.received(&byte, 1);
            } else {
                if (word == "stop+ok")
                    core.requestStop();
                const QByteArray &reply = word == "bad" ? BadReply : GoodReply;
                core.received(reply.constData(), reply.size());
            }
            break;
        case Need::Image:
            core.imageOpened(check, check.problem == ImageCheck::Problem::NoSuchFile
                                        ? std::nullopt
                                        : std::optional<qint64>(image.size()));
            break;
        case Need::Block: {
            const int got = int(qMin<qint64>(DeviceFrame::BlockDataSize, image.size() - offset));
            std::memcpy(core.blockData(), image.constData() + offset, size_t(qMax(got, 0)));
            offset += got;
            core.blockRead(got);
            break;
        }
        case Need::EndSent:
            core.endSent(endLeaves);
            break;
        case Need::Done:
            break;
        }
    }
    run.frames = run.frames.trimmed();
    run.result = core.result();
    return run;
}

} // namespace

class tst_SessionCore : public QObject
{
    Q_OBJECT
private slots:
    void exits_data();
    void exits();
    void openFailure();
    void blockFrameBytes();
};

void tst_SessionCore::exits_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("problem");
    QTest::addColumn<bool>("endLeaves");
    QTest::addColumn<QString>("frames");
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("exit");
    QTest::addColumn<int>("acked");

    const int none = int(ImageCheck::Problem::None);
    const auto exit = [](SessionExit e) { return int(e); };
    QTest::newRow("success, two blocks")
        << "" << 2 << none << true << "10 04 01 01 03"
        << "opened length:192 written:1@33 acked:1 written:2@66 acked:2 data-end:0 ended"
        << exit(SessionExit::Success) << 2;
    QTest::newRow("header only") << "" << 0 << none << true << "10 04 03"
                                 << "opened length:64 data-end:0 ended"
                                 << exit(SessionExit::Success) << 0;
    QTest::newRow("end frame lost") << "" << 1 << none << false << "10 04 01 03"
                                    << "opened length:128 written:1@50 acked:1 data-end:0 ended"
                                    << exit(SessionExit::EndFrameNotSent) << 1;
    QTest::newRow("start time-out") << "silent" << 1 << none << true << "10"
                                    << "opened ended" << exit(SessionExit::StartTimeOut) << 0;
    QTest::newRow("start reply in the wait's last tick")
        << "late" << 1 << none << true << "10 04 01 03"
        << "opened length:128 written:1@50 acked:1 data-end:0 ended" << exit(SessionExit::Success)
        << 1;
    QTest::newRow("start reply rejected")
        << "bad" << 1 << none << true << "10"
        << "opened ended" << exit(SessionExit::HandshakeRejected) << 0;
    QTest::newRow("cancel after start")
        << "stop+ok" << 1 << none << true << "10"
        << "opened ended" << exit(SessionExit::CancelAfterStart) << 0;
    QTest::newRow("prepare time-out") << "ok silent" << 1 << none << true << "10 04"
                                      << "opened ended" << exit(SessionExit::PrepareTimeOut) << 0;
    QTest::newRow("prepare reply rejected")
        << "ok bad" << 1 << none << true << "10 04"
        << "opened ended" << exit(SessionExit::HandshakeRejected) << 0;
    // A stop is only looked at after the start reply and after blocks.
    QTest::newRow("stop at the prepare reply waits for the first block")
        << "ok stop+ok" << 3 << none << true << "10 04 01"
        << "opened length:256 written:1@25 acked:1 ended" << exit(SessionExit::CancelDuringBlocks)
        << 1;
    QTest::newRow("no magic") << "" << 1 << int(ImageCheck::Problem::NoMagic) << true << "10 04"
                              << "opened length:128 ended" << exit(SessionExit::FileError) << 0;
    QTest::newRow("image missing")
        << "" << 1 << int(ImageCheck::Problem::NoSuchFile) << true << "10 04"
        << "opened ended" << exit(SessionExit::FileError) << 0;
    QTest::newRow("block time-out") << "ok ok ok silent" << 3 << none << true << "10 04 01 01"
                                    << "opened length:256 written:1@25 acked:1 written:2@50 ended"
                                    << exit(SessionExit::BlockTimeOut) << 1;
    QTest::newRow("block reply rejected")
        << "ok ok bad" << 3 << none << true << "10 04 01"
        << "opened length:256 written:1@25 ended" << exit(SessionExit::BlockRejected) << 0;
    QTest::newRow("cancel during blocks")
        << "ok ok ok stop+ok" << 3 << none << true << "10 04 01 01"
        << "opened length:256 written:1@25 acked:1 written:2@50 acked:2 ended"
        << exit(SessionExit::CancelDuringBlocks) << 2;
    QTest::newRow("replies byte by byte")
        << "split split split" << 1 << none << true << "10 04 01 03"
        << "opened length:128 written:1@50 acked:1 data-end:0 ended" << exit(SessionExit::Success)
        << 1;
    QTest::newRow("a reply before its frame still counts")
        << "ok ok early" << 1 << none << true << "10 04 01 03"
        << "opened length:128 written:1@50 acked:1 data-end:0 ended" << exit(SessionExit::Success)
        << 1;
}

void tst_SessionCore::exits()
{
    QFETCH(QString, script);
    QFETCH(int, blocks);
    QFETCH(int, problem);
    QFETCH(bool, endLeaves);
    QFETCH(QString, frames);
    QFETCH(QString, events);
    QFETCH(int, exit);
    QFETCH(int, acked);

    EventLog log;
    SessionCore core(&log);
    ImageCheck check;
    check.problem = ImageCheck::Problem(problem);
    const QByteArray image(FirmwareImage::HeaderSize + blocks * DeviceFrame::BlockDataSize, '\x5a');
    const Run run = drive(core, script.split(' ', Qt::SkipEmptyParts), image, check, endLeaves);

    QCOMPARE(run.frames, frames);
    QCOMPARE(log.lines.join(' '), events);
    QCOMPARE(int(run.result.exit), exit);
    QCOMPARE(run.result.blocksAcknowledged, acked);
    QCOMPARE(run.result.imageProblem, check.problem);
}

void tst_SessionCore::openFailure()
{
    EventLog log;
    SessionCore core(&log);
    core.portFailed(PortFailure::refused("baud rate 256000"));
    QVERIFY(core.need() == SessionCore::Need::Done);
    QCOMPARE(log.lines, QStringList{"ended"});
    QVERIFY(core.result().exit == SessionExit::OpenFailure);
    QVERIFY(core.result().portFailure->kind == PortFailure::Kind::SettingRefused);
    QCOMPARE(core.result().portFailure->detail, QString("the port refused baud rate 256000"));
    QCOMPARE(QString(core.result().outcome().text()), QString("CanNOT Open Serial"));
}

// The second block's frame, byte for byte: its address counts on by 16.
void tst_SessionCore::blockFrameBytes()
{
    SessionCore core;
    core.portOpened();
    for (int i = 0; i < 2; ++i) {
        core.frameWritten();
        core.received(GoodReply.constData(), GoodReply.size());
    }
    ImageCheck ok;
    core.imageOpened(ok, 192);
    for (int block = 0; block < 2; ++block) {
        std::memset(core.blockData(), block + 1, DeviceFrame::BlockDataSize);
        core.blockRead(DeviceFrame::BlockDataSize);
        if (block == 0) {
            core.frameWritten();
            core.received(GoodReply.constData(), GoodReply.size());
        }
    }
    const QByteArray sent(reinterpret_cast<const char *>(core.frame()), core.frameSize());
    QCOMPARE(sent.left(6).toHex(' '), QByteArray("fe 42 4d 01 10 00"));
    QCOMPARE(sent, DeviceFrame::blockFrame(0x10, reinterpret_cast<const unsigned char *>(
                                                     QByteArray(64, '\x02').constData())));
}

QTEST_GUILESS_MAIN(tst_SessionCore)
#include "tst_sessioncore.moc"
