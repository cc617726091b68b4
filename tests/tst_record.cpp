// The record room's units, without a board: the line a board's result makes,
// the reader's lines, and the stamp list its ledger takes values from.
#include "cli/common/stamp.h"
#include "cli/record/boardline.h"
#include "cli/record/record.h"
#include "cli/record/recordreader.h"

#include <QtTest>

Q_DECLARE_METATYPE(Record::BoardResult)
Q_DECLARE_METATYPE(Record::JobMark)

class tst_Record : public QObject
{
    Q_OBJECT
private slots:
    void boardLine_data();
    void boardLine();
    void readerLines_data();
    void readerLines();
    void stampList_data();
    void stampList();
};

namespace
{

Stamp::Value number(quint64 n)
{
    return Stamp::Value{QByteArray(4, '\0'), n, 0};
}

// `lines` distinct values of 16 bytes, one a line, 33 bytes a line: line
// 31776 runs across the first MiB.
QByteArray wideList(int lines)
{
    QByteArray list;
    for (int n = 1; n <= lines; ++n)
        list += QByteArray::number(0x10000000 + n, 16).repeated(4).toUpper() + '\n';
    return list;
}

QString wideValue(int line)
{
    return QString::number(0x10000000 + line, 16).repeated(4).toUpper();
}

} // namespace

// One builder for the gang and the station: each result, its exact line.
void tst_Record::boardLine_data()
{
    QTest::addColumn<Record::BoardResult>("result");
    QTest::addColumn<bool>("stamped");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Record::JobMark>("job");

    const Record::SessionEnd good{"Download Success", 0, true, 40, 1234, {}};
    QTest::newRow("success")
        << Record::BoardResult{3, "/dev/ttyUSB0", "A1B2", good, {}, {}} << false
        << QByteArray(R"({"board":3,"exit_code":0,"host":"h","image":"fw.bin",)"
                      R"("outcome":"Download Success","prev":null,"record":2,"seconds":1.234,)"
                      R"("sha256":"ab12","slot":"/dev/ttyUSB0",)"
                      R"("time":"2026-01-05T08:00:00.000Z","tool":"t","usb_serial":"A1B2"})")
        << Record::JobMark();
    const Record::SessionEnd refused{
        "Open failed", 3, false, 0, 20, "the port refused 256000 baud"};
    QTest::newRow("a setting refused, no usb serial")
        << Record::BoardResult{1, "COM4", {}, refused, {}, {}} << false
        << QByteArray(R"({"board":1,"exit_code":3,"host":"h","image":"fw.bin",)"
                      R"("outcome":"Open failed","prev":null,)"
                      R"("reason":"the port refused 256000 baud","record":2,"seconds":0.02,)"
                      R"("sha256":"ab12","slot":"COM4","time":"2026-01-05T08:00:00.000Z",)"
                      R"("tool":"t","usb_serial":null})")
        << Record::JobMark();
    QTest::newRow("stamped success")
        << Record::BoardResult{2, "s", {}, good, number(1000), "cd34"} << true
        << QByteArray(R"({"board":2,"exit_code":0,"flashed_sha256":"cd34","host":"h",)"
                      R"("image":"fw.bin","outcome":"Download Success","prev":null,"record":2,)"
                      R"("seconds":1.234,"sha256":"ab12","slot":"s","stamp":"000003E8",)"
                      R"("stamp_acknowledged":true,"stamp_number":1000,)"
                      R"("time":"2026-01-05T08:00:00.000Z","tool":"t","usb_serial":null})")
        << Record::JobMark();
    // The stamp (0x80:4) is in block 1: block 2 is written only once block
    // 1 was acknowledged.
    const auto failedAfter = [](int blocks) {
        return Record::SessionEnd{"Download stop", 1, false, blocks, 500, {}};
    };
    const QByteArray failed =
        R"({"board":2,"exit_code":1,"flashed_sha256":"cd34","host":"h",)"
        R"("image":"fw.bin","outcome":"Download stop","prev":null,"record":2,)"
        R"("seconds":0.5,"sha256":"ab12","slot":"s","stamp":"000003E8",)"
        R"("stamp_acknowledged":%1,"stamp_number":1000,)"
        R"("time":"2026-01-05T08:00:00.000Z","tool":"t","usb_serial":null})";
    QTest::newRow("stamp's block written, not acknowledged")
        << Record::BoardResult{2, "s", {}, failedAfter(2), number(1000), "cd34"} << true
        << QByteArray(failed).replace("%1", "false") << Record::JobMark();
    QTest::newRow("stamp's block acknowledged, then a failure")
        << Record::BoardResult{2, "s", {}, failedAfter(3), number(1000), "cd34"} << true
        << QByteArray(failed).replace("%1", "true") << Record::JobMark();
    QTest::newRow("a list's value carries no number")
        << Record::BoardResult{5, "s", {}, good, Stamp::Value{"\x0c\xef\xaf\x81", {}, 7}, "cd34"}
        << true
        << QByteArray(R"({"board":5,"exit_code":0,"flashed_sha256":"cd34","host":"h",)"
                      R"("image":"fw.bin","outcome":"Download Success","prev":null,"record":2,)"
                      R"("seconds":1.234,"sha256":"ab12","slot":"s","stamp":"0CEFAF81",)"
                      R"("stamp_acknowledged":true,"time":"2026-01-05T08:00:00.000Z",)"
                      R"("tool":"t","usb_serial":null})")
        << Record::JobMark();
    QTest::newRow("for a job with a quantity")
        << Record::BoardResult{4, "s", {}, good, {}, {}} << false
        << QByteArray(R"({"board":4,"exit_code":0,"host":"h","image":"fw.bin","job":"line1",)"
                      R"("job_quantity":500,"job_sha256":"ef56","outcome":"Download Success",)"
                      R"("prev":null,"record":2,"seconds":1.234,"sha256":"ab12","slot":"s",)"
                      R"("time":"2026-01-05T08:00:00.000Z","tool":"t","usb_serial":null})")
        << Record::JobMark{"line1", "ef56", 500};
    QTest::newRow("for a job without one")
        << Record::BoardResult{4, "s", {}, good, {}, {}} << false
        << QByteArray(R"({"board":4,"exit_code":0,"host":"h","image":"fw.bin","job":"line1",)"
                      R"("job_quantity":null,"job_sha256":"ef56","outcome":"Download Success",)"
                      R"("prev":null,"record":2,"seconds":1.234,"sha256":"ab12","slot":"s",)"
                      R"("time":"2026-01-05T08:00:00.000Z","tool":"t","usb_serial":null})")
        << Record::JobMark{"line1", "ef56", 0};
}

void tst_Record::boardLine()
{
    QFETCH(Record::BoardResult, result);
    QFETCH(bool, stamped);
    QFETCH(QByteArray, line);
    QFETCH(Record::JobMark, job);
    Stamp::Plan plan;
    QString error;
    if (stamped)
        QVERIFY(Stamp::parseField("0x80:4", &plan, &error));
    const Record::RunImage image{"fw.bin", "ab12", plan, job};
    Record::Line built;
    built.board = Record::boardLine(result, image,
                                    QDateTime::fromString("2026-01-05T08:00:00Z", Qt::ISODate));
    built.format = 2;
    built.tool = "t";
    built.host = "h";
    QCOMPARE(built.text(), line);
    // And read back as it was written.
    Record::Line read;
    QString why;
    QVERIFY2(Record::read(line, &read, &why), qPrintable(why));
    QCOMPARE(read.board.job.name, job.name);
    QCOMPARE(read.board.job.sha256, job.sha256);
    QCOMPARE(read.board.job.quantity, job.quantity);
}

// Files whose lines fall across the reader's reads (256 KiB) in every way.
void tst_Record::readerLines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("from"); // the offset read from, at a line's start
    QTest::newRow("lines, the last without its newline") << QByteArray("a\nbb\nccc") << qint64(0);
    QTest::newRow("empty lines are lines") << QByteArray("\n\na\n\n") << qint64(0);
    QTest::newRow("from a line part-way") << QByteArray("a\nbb\nccc\n") << qint64(2);
    QTest::newRow("nothing") << QByteArray() << qint64(0);
    QByteArray many;
    for (int n = 0; many.size() < (3 << 18); ++n)
        many += QByteArray(n % 97, char('a' + n % 26)) + '\n';
    QTest::newRow("lines across reads") << many << qint64(0);
    QTest::newRow("from past the first read") << many << qint64(many.indexOf('\n', 300000) + 1);
    QTest::newRow("a line longer than two reads")
        << "x\n" + QByteArray(600000, 'y') + "\nz" << qint64(0);
    QTest::newRow("a newline as a read's last byte") << QByteArray((256 << 10) - 1, 'q') + "\nr\n"
                                                     << qint64(0);
}

// Each line as the file holds it: its number, the offset of its first byte
// (checkpoints state it) and its hash.
void tst_Record::readerLines()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, from);
    QTemporaryDir dir;
    QFile file(dir.filePath("record.jsonl"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    Record::Reader reader;
    QString why;
    QVERIFY(reader.open(file.fileName(), &why));
    const qint64 firstNumber = content.left(from).count('\n') + 1;
    QVERIFY(reader.seek(from, firstNumber, &why));
    Record::Reader::Entry entry;
    qint64 offset = from;
    for (qint64 number = firstNumber; offset < content.size(); ++number) {
        const qint64 end =
            content.indexOf('\n', offset) < 0 ? content.size() : content.indexOf('\n', offset);
        QVERIFY(reader.next(&entry, &why) != Record::Reader::Step::End);
        QCOMPARE(entry.number, number);
        QCOMPARE(entry.offset, offset);
        QCOMPARE(entry.text, content.mid(offset, end - offset));
        QCOMPARE(entry.hash,
                 QCryptographicHash::hash(entry.text, QCryptographicHash::Sha256).toHex());
        offset = end + 1;
    }
    QCOMPARE(reader.next(&entry, &why), Record::Reader::Step::End);
}

void tst_Record::stampList_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<int>("width");
    QTest::addColumn<QList<int>>("reserved"); // list lines skipped past, in turn
    QTest::addColumn<QStringList>("values");  // "HEX@LINE", all that are left
    QTest::addColumn<QString>("error");       // from open; the values are then none

    const QByteArray small("# batch 7\r\n0102\r\n\r\n  0a0b \n#spare\n0C0D");
    QTest::newRow("comments, blanks, CRLF, no last newline")
        << small << 2 << QList<int>() << QStringList{"0102@2", "0A0B@4", "0C0D@6"} << QString();
    QTest::newRow("a restart after line 4")
        << small << 2 << QList<int>{4} << QStringList{"0C0D@6"} << QString();
    QTest::newRow("never back to a line passed")
        << small << 2 << QList<int>{4, 2} << QStringList{"0C0D@6"} << QString();
    QTest::newRow("a reserved line past the end")
        << small << 2 << QList<int>{99} << QStringList() << QString();
    QTest::newRow("a value across the first MiB")
        << wideList(31777) << 16 << QList<int>{31774}
        << QStringList{wideValue(31775) + "@31775", wideValue(31776) + "@31776",
                       wideValue(31777) + "@31777"}
        << QString();
    QTest::newRow("a wide value twice, far apart, across the first MiB")
        << wideList(31775) + wideValue(3).toLatin1().toLower() + "\n"
        << 16 << QList<int>() << QStringList()
        << "line 31776: the value " + wideValue(3) + " is on line 3 already";
    QTest::newRow("a narrow value twice")
        << QByteArray("01020304\n0A0B0C0D\n#\n0a0b0c0d\n01020304\n") << 4 << QList<int>()
        << QStringList() << "line 4: the value 0A0B0C0D is on line 2 already";
    QTest::newRow("a value twice before a malformed line")
        << QByteArray("0102\n0102\n01\n") << 2 << QList<int>() << QStringList()
        << "line 2: the value 0102 is on line 1 already";
    QTest::newRow("a malformed line before a value twice")
        << QByteArray("0102\n01\n0102\n") << 2 << QList<int>() << QStringList()
        << "line 2: a value must be exactly 4 hex digits, not '01'";
    QTest::newRow("a comment longer than a chunk")
        << "#" + QByteArray(3 << 20, 'x') + "\n0102\n"
        << 2 << QList<int>() << QStringList{"0102@2"} << QString();
    QTest::newRow("a line of spaces before a value, too long")
        << "0102\n" + QByteArray(70000, ' ') + "0304\n"
        << 2 << QList<int>() << QStringList()
        << "line 2: a value must be exactly 4 hex digits, not '...'";
}

// The list is read through once as it opens, then a line at a time: the
// values and their lines, its hash, and the first fault in it.
void tst_Record::stampList()
{
    QFETCH(QByteArray, list);
    QFETCH(int, width);
    QFETCH(QList<int>, reserved);
    QFETCH(QStringList, values);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QFile file(dir.filePath("list.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(list) == list.size());
    file.close();
    Stamp::Plan plan;
    plan.width = width;
    plan.listPath = file.fileName();
    Stamp::Source source;
    QString why;
    QCOMPARE(source.open(plan, &why), error.isEmpty());
    if (!error.isEmpty()) {
        QCOMPARE(why, file.fileName() + " " + error);
        return;
    }
    QCOMPARE(source.listSha256(),
             QString(QCryptographicHash::hash(list, QCryptographicHash::Sha256).toHex()));
    for (const int line : reserved)
        source.skipPast(Stamp::Value{QByteArray(width, '\0'), std::nullopt, line});
    QStringList got;
    for (Stamp::Value value; source.next(&value);)
        got << value.hex() + "@" + QString::number(value.listLine);
    QCOMPARE(got, values);
}

QTEST_GUILESS_MAIN(tst_Record)
#include "tst_record.moc"
