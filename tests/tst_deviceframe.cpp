#include "download/deviceframe.h"
#include "download/receivestate.h"

#include <QtTest>

#include <cstring>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}
} // namespace

class tst_DeviceFrame : public QObject
{
    Q_OBJECT
private slots:
    void fixedFrames_data();
    void fixedFrames();
    void blockFrame_data();
    void blockFrame();
    void replyTest_data();
    void replyTest();
    void chunkedReplies_data();
    void chunkedReplies();
    void overflowIsDropped();
};

void tst_DeviceFrame::fixedFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("start") << DeviceFrame::startFrame() << hex("FE014D10005C");
    QTest::newRow("prepare") << DeviceFrame::prepareFrame() << hex("FE014D04024A");
    QTest::newRow("end") << DeviceFrame::endFrame() << hex("FE004D034E");
}

void tst_DeviceFrame::fixedFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
    // The constants agree with the XOR rule they stand for.
    const auto *bytes = reinterpret_cast<const unsigned char *>(frame.constData());
    QCOMPARE(DeviceFrame::checkByte(bytes + 1, frame.size() - 2),
             static_cast<unsigned char>(frame.back()));
}

void tst_DeviceFrame::blockFrame_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("check");

    QByteArray counting(64, 0);
    for (int i = 0; i < 64; ++i)
        counting[i] = static_cast<char>(i);
    QTest::newRow("zeros at 0x0000") << 0x0000 << QByteArray(64, 0) << hex("FE424D010000") << 0x0E;
    QTest::newRow("counting at 0x0010") << 0x0010 << counting << hex("FE424D011000") << 0x1E;
    QTest::newRow("last address") << 0xFFF0 << QByteArray(64, 0) << hex("FE424D01F0FF") << 0x01;
    QTest::newRow("ones at 0x0100")
        << 0x0100 << QByteArray(64, '\xFF') << hex("FE424D010001") << (0x42 ^ 0x4D ^ 0x01 ^ 0x01);
}

void tst_DeviceFrame::blockFrame()
{
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, head);
    QFETCH(int, check);

    const QByteArray frame = DeviceFrame::blockFrame(
        static_cast<quint16>(address), reinterpret_cast<const unsigned char *>(data.constData()));
    QCOMPARE(frame.size(), DeviceFrame::BlockFrameSize);
    QCOMPARE(frame.left(6).toHex(' '), head.toHex(' '));
    QCOMPARE(frame.mid(6, 64), data);
    QCOMPARE(static_cast<unsigned char>(frame.back()), static_cast<unsigned char>(check));
}

void tst_DeviceFrame::replyTest_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("typical") << hex("FE014D040048") << true;
    QTest::newRow("any contents with matching check") << hex("FE1234567808") << true;
    QTest::newRow("all zero contents") << hex("FE0000000000") << true;
    QTest::newRow("wrong start byte") << hex("FF014D040048") << false;
    QTest::newRow("wrong check byte") << hex("FE014D040049") << false;
    QTest::newRow("start byte counted in check") << hex("FE014D0400B6") << false;
}

void tst_DeviceFrame::replyTest()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    unsigned char buffer[ReceiveState::Capacity] = {};
    quint8 count = 0;
    quint8 index = 0;
    ReceiveState::takeIn(buffer, count, index, reply.constData(), reply.size());
    QVERIFY(ReceiveState::replyComplete(count));
    QCOMPARE(ReceiveState::replyAccepted(buffer), accepted);
}

// The same bytes, however they are split, give the same judgement once six
// have arrived, and never before.
void tst_DeviceFrame::chunkedReplies_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<int>("completeAfterChunk");
    QTest::addColumn<bool>("accepted");

    const QByteArray reply = hex("FE014D040048");
    QTest::newRow("one chunk") << reply << QList<int>{6} << 0 << true;
    QTest::newRow("single bytes") << reply << QList<int>{1, 1, 1, 1, 1, 1} << 5 << true;
    QTest::newRow("five then one") << reply << QList<int>{5, 1} << 1 << true;
    QTest::newRow("two then four") << reply << QList<int>{2, 4} << 1 << true;
    QTest::newRow("two replies in one chunk")
        << reply + hex("FF0000000000") << QList<int>{12} << 0 << true;
    QTest::newRow("bad reply first, good second")
        << hex("FF0000000000") + reply << QList<int>{12} << 0 << false;
}

void tst_DeviceFrame::chunkedReplies()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<int>, chunks);
    QFETCH(int, completeAfterChunk);
    QFETCH(bool, accepted);

    unsigned char buffer[ReceiveState::Capacity] = {};
    quint8 count = 0;
    quint8 index = 0;
    int offset = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        ReceiveState::takeIn(buffer, count, index, stream.constData() + offset, chunks[i]);
        offset += chunks[i];
        QCOMPARE(ReceiveState::replyComplete(count), i >= completeAfterChunk);
        QCOMPARE(count, index);
    }
    QCOMPARE(ReceiveState::replyAccepted(buffer), accepted);

    // A clear starts the next reply at position 0 again.
    ReceiveState::clear(count, index);
    QVERIFY(!ReceiveState::replyComplete(count));
    const QByteArray next = hex("FE0102030404");
    ReceiveState::takeIn(buffer, count, index, next.constData(), next.size());
    QVERIFY(ReceiveState::replyAccepted(buffer));
}

void tst_DeviceFrame::overflowIsDropped()
{
    // Guard bytes around the buffer catch any write past its end.
    struct {
        unsigned char buffer[ReceiveState::Capacity];
        unsigned char guard[64];
    } memory;
    std::memset(memory.guard, 0xA5, sizeof memory.guard);
    quint8 count = 0;
    quint8 index = 0;

    const QByteArray flood(300, '\x55');
    QCOMPARE(ReceiveState::takeIn(memory.buffer, count, index, flood.constData(), 100), 100);
    QCOMPARE(ReceiveState::takeIn(memory.buffer, count, index, flood.constData(), 200), 28);
    QCOMPARE(ReceiveState::takeIn(memory.buffer, count, index, flood.constData(), 5), 0);
    QCOMPARE(int(count), ReceiveState::Capacity);
    QCOMPARE(int(index), ReceiveState::Capacity);
    for (unsigned char g : memory.guard)
        QCOMPARE(g, static_cast<unsigned char>(0xA5));
    QVERIFY(ReceiveState::replyComplete(count));
    QVERIFY(!ReceiveState::replyAccepted(memory.buffer));
}

QTEST_APPLESS_MAIN(tst_DeviceFrame)
#include "tst_deviceframe.moc"
