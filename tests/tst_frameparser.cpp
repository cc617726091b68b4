#include "sim/frameparser.h"

#include <QRandomGenerator>
#include <QtTest>

namespace
{

const char *const Start = "FE 01 4D 10 00 5C";
const char *const Prepare = "FE 01 4D 04 02 4A";
const char *const End = "FE 00 4D 03 4E";
const char *const Block10 =
    "FE 42 4D 01 10 00"
    " 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D"
    " 1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34 35 36 37 38 39 3A 3B"
    " 3C 3D 3E 3F 1E";

QByteArray hex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

QStringList hexList(const QList<FrameParser::Frame> &frames, bool good)
{
    QStringList out;
    for (const FrameParser::Frame &f : frames) {
        if (f.good == good)
            out << QString::fromLatin1(f.bytes.toHex(' ').toUpper());
    }
    return out;
}

} // namespace

class TestFrameParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void tagComesFromStartByte();
    void arbitraryBytes();
};

void TestFrameParser::parse_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QStringList>("good");
    QTest::addColumn<QStringList>("bad");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("pending");

    const QString zeroBlock = QStringLiteral("FE 42 4D 01 00 00 ") +
                              QStringLiteral("00 ").repeated(64) + QStringLiteral("0E");
    const QString badBlock = QString::fromLatin1(Block10).chopped(2) + QStringLiteral("1F");

    QTest::newRow("start") << Start << QStringList{Start} << QStringList() << 0 << 0;
    QTest::newRow("prepare") << Prepare << QStringList{Prepare} << QStringList() << 0 << 0;
    QTest::newRow("end") << End << QStringList{End} << QStringList() << 0 << 0;
    QTest::newRow("block of zeros")
        << zeroBlock << QStringList{zeroBlock} << QStringList() << 0 << 0;
    QTest::newRow("block 0x10") << Block10 << QStringList{Block10} << QStringList() << 0 << 0;
    QTest::newRow("session back to back")
        << QStringLiteral("%1 %2 %3 %4").arg(Start, Prepare, Block10, End)
        << QStringList{Start, Prepare, Block10, End} << QStringList() << 0 << 0;
    QTest::newRow("unknown command")
        << "FE 00 4D 07 4A" << QStringList{"FE 00 4D 07 4A"} << QStringList() << 0 << 0;
    QTest::newRow("garbage before") << QStringLiteral("00 11 AA 4D %1").arg(Start)
                                    << QStringList{Start} << QStringList() << 4 << 0;
    QTest::newRow("stray FE in noise") << QStringLiteral("FE 00 FE %1").arg(Start)
                                       << QStringList{Start} << QStringList() << 3 << 0;
    QTest::newRow("length FF") << QStringLiteral("FE FF 4D %1").arg(Prepare) << QStringList{Prepare}
                               << QStringList() << 3 << 0;
    QTest::newRow("length one too big")
        << QStringLiteral("FE 43 4D 01 %1").arg(End) << QStringList{End} << QStringList() << 4 << 0;
    QTest::newRow("wrong type byte") << QStringLiteral("FE 01 4E 10 00 5C %1").arg(End)
                                     << QStringList{End} << QStringList() << 6 << 0;
    QTest::newRow("bad check") << "FE 01 4D 10 00 5D" << QStringList()
                               << QStringList{"FE 01 4D 10 00 5D"} << 0 << 0;
    QTest::newRow("bad check then good")
        << QStringLiteral("FE 00 4D 03 4F %1").arg(Start) << QStringList{Start}
        << QStringList{"FE 00 4D 03 4F"} << 0 << 0;
    QTest::newRow("bad block check")
        << badBlock << QStringList() << QStringList{badBlock} << 0 << 0;
    QTest::newRow("truncated") << "FE 01 4D 10 00" << QStringList() << QStringList() << 0 << 5;
    QTest::newRow("lone start byte") << "FE" << QStringList() << QStringList() << 0 << 1;
    QTest::newRow("empty") << "" << QStringList() << QStringList() << 0 << 0;
}

void TestFrameParser::parse()
{
    QFETCH(QString, input);
    QFETCH(QStringList, good);
    QFETCH(QStringList, bad);
    QFETCH(int, skipped);
    QFETCH(int, pending);
    const QByteArray bytes = hex(input);

    // Every two-way split, then one byte at a time, must read the same.
    for (int split = 0; split <= bytes.size() + 1; ++split) {
        FrameParser parser;
        if (split <= bytes.size()) {
            parser.feed(bytes.constData(), split);
            parser.feed(bytes.constData() + split, bytes.size() - split);
        } else {
            for (char c : bytes)
                parser.feed(&c, 1);
        }
        const QList<FrameParser::Frame> frames = parser.takeFrames();
        QCOMPARE(hexList(frames, true), good);
        QCOMPARE(hexList(frames, false), bad);
        QCOMPARE(parser.goodCount(), good.size());
        QCOMPARE(parser.badCount(), bad.size());
        QCOMPARE(parser.skippedBytes(), qint64(skipped));
        QCOMPARE(parser.pendingBytes(), pending);
        QVERIFY(parser.takeFrames().isEmpty());
    }
    QVERIFY(exerciseFrameParser(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                bytes.size()));
}

void TestFrameParser::tagComesFromStartByte()
{
    FrameParser parser;
    const QByteArray head = hex("00 FE 01");
    const QByteArray tail = hex("4D 10 00 5C");
    parser.feed(head.constData(), head.size(), 7);
    parser.feed(tail.constData(), tail.size(), 9);
    // A rejected FE hands the start over to a byte of a later read.
    const QByteArray stray = hex("FE");
    const QByteArray frame = hex(End);
    parser.feed(stray.constData(), stray.size(), 11);
    parser.feed(frame.constData(), frame.size(), 13);

    const QList<FrameParser::Frame> frames = parser.takeFrames();
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0].tag, qint64(7));
    QCOMPARE(frames[1].tag, qint64(13));
}

void TestFrameParser::arbitraryBytes()
{
    // Noise mixed with frames, biased towards FE and 4D so that partial heads occur often.
    QRandomGenerator rng(20240611);
    const QByteArray pieces[] = {hex(Start), hex(Block10),    hex(End),    hex("FE"),
                                 hex("4D"),  hex("FE 42 4D"), hex("FE FF")};
    for (int round = 0; round < 2000; ++round) {
        QByteArray data;
        const int parts = rng.bounded(1, 20);
        for (int i = 0; i < parts; ++i) {
            if (rng.bounded(2))
                data += pieces[rng.bounded(int(std::size(pieces)))];
            else
                data += char(rng.bounded(256));
        }
        QVERIFY2(exerciseFrameParser(reinterpret_cast<const unsigned char *>(data.constData()),
                                     data.size()),
                 data.toHex(' ').constData());
    }
}

QTEST_APPLESS_MAIN(TestFrameParser)
#include "tst_frameparser.moc"
