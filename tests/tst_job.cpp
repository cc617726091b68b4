// The job file as kavro-flash reads it: every field, and every error with
// the line and column it points at.

#include "cli/job/job.h"

#include <QtTest>

namespace
{

const QByteArray Hash = QByteArray(64, 'a');
// The fields every job needs, ahead of each row's own.
const QByteArray Head =
    "name = \"line1\"\nimage = \"fw/board.bin\"\nimage_sha256 = \"" + Hash + "\"\n";

} // namespace

class tst_Job : public QObject
{
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void written();
};

void tst_Job::read_data()
{
    QTest::addColumn<QByteArray>("text");
    // The job as command-line arguments, or the error.
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("quantity");

    const QString image = QStringLiteral("/jobs/fw/board.bin");
    QTest::newRow("least") << Head << image << 0;
    QTest::newRow("every field")
        << Head + "format = 1\nbaud = 256000\nports = [\"ttyUSB0\", \"ttyUSB1\"]\n"
                  "station = true\nsettle_ms = 500\nrecord = \"../records/line1.jsonl\"\n"
                  "quantity = 500\nenter = \"dtr=1,rts=1 wait=100 rts=0\"\nleave = \"rts=1 "
                  "wait=10 rts=0\"\n[stamp]\noffset = 0x80\nwidth = 4\nstart = 1000\nstep = "
                  "2\norder = \"big\"\n"
        << "--baud 256000 --port ttyUSB0 --port ttyUSB1 --station --settle 500 --record "
           "/records/line1.jsonl --stamp 0x80:4 --stamp-start 1000 --stamp-step 2 --stamp-order "
           "big --enter dtr=1,rts=1 wait=100 rts=0 --leave rts=1 wait=10 rts=0 " +
               image
        << 500;
    QTest::newRow("stamp list, absolute image")
        << QByteArray("name = \"x\"\nimage = \"/fw/a.bin\"\nimage_sha256 = \"" + Hash.toUpper() +
                      "\"\nrecord = \"r.jsonl\"\n[stamp]\noffset = 16\nwidth = 2\nlist = "
                      "\"serials.txt\"\n")
        << "--record /jobs/r.jsonl --stamp 0x10:2 --stamp-list /jobs/serials.txt /fw/a.bin" << 0;

    const auto error = [](const char *name, const QByteArray &text, const char *message) {
        QTest::newRow(name) << text << QStringLiteral("/jobs/line1.toml:%1").arg(message) << 0;
    };
    error("not TOML", Head + "baud = = 1\n",
          "4:8: Error while parsing value: could not determine value type");
    error("unknown key", Head + "\nbuad = 115200\n", "5:1: unknown key 'buad'");
    error("unknown stamp key", Head + "record = \"r\"\n[stamp]\noffset = 1\nwidth = 1\nstrat = 5\n",
          "8:1: unknown key 'strat' in [stamp]");
    error("no hash", "name = \"a\"\nimage = \"b\"\n", "1:1: image_sha256 is missing");
    error("short hash", QByteArray(Head).replace(Hash, "abc"),
          "3:16: image_sha256 must be 64 hex digits");
    error("no name", "image = \"b\"\nimage_sha256 = \"" + Hash + "\"\n", "1:1: name is missing");
    error("empty name", "name = ''\n", "1:8: name is empty");
    error("baud a string", Head + "baud = \"115200\"\n",
          "4:8: baud must be an integer, not a string");
    error("baud unknown", Head + "baud = 9600\n", "4:8: baud must be 115200 or 256000, not 9600");
    error("station a string", Head + "station = \"yes\"\n",
          "4:11: station must be true or false, not a string");
    error("ports a string", Head + "ports = \"ttyUSB0\"\n",
          "4:9: ports must be an array, not a string");
    error("port a number", Head + "ports = [\"a\", 3]\n", "4:15: ports must be port names");
    error("ports empty", Head + "ports = []\n",
          "4:9: ports is empty: leave it out, and give the station's ports with -p");
    error("settle negative", Head + "settle_ms = -1\n",
          "4:13: settle_ms must be 0 to 3600000, not -1");
    error("quantity without record", Head + "quantity = 5\n",
          "4:12: quantity needs a record: the record counts the boards");
    error("quantity zero", Head + "record = \"r\"\nquantity = 0\n",
          "5:12: quantity must be 1 to 2147483647, not 0");
    error("bad sequence", Head + "enter = \"dtr=1 wait=x\"\n",
          "4:9: enter: step 2 'wait=x': a wait is 0 to 60000 milliseconds, not 'x'");
    error("later format", "format = 2\n" + Head,
          "1:10: this job is format 2; this kavro-flash reads format 1");
    error("stamp without record", Head + "[stamp]\noffset = 1\nwidth = 1\n",
          "4:1: [stamp] needs a record: the record is the ledger that keeps a value from going "
          "to two boards");
    error("stamp without width", Head + "record = \"r\"\n[stamp]\noffset = 1\n",
          "5:1: [stamp] needs offset and width");
    error("stamp list and numbers",
          Head + "record = \"r\"\n[stamp]\noffset = 1\nwidth = 1\nstart = 3\nlist = \"l\"\n",
          "9:8: [stamp] takes either list, or start, step and order");
    error("stamp order",
          Head + "record = \"r\"\n[stamp]\noffset = 1\nwidth = 1\norder = \"middle\"\n",
          "8:9: order is little or big, not 'middle'");
    error("stamp too wide", Head + "record = \"r\"\n[stamp]\noffset = 1\nwidth = 17\n",
          "7:9: width must be 1 to 16, not 17");
}

void tst_Job::read()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    QFETCH(int, quantity);
    const JobRead read = parseJob(text, QStringLiteral("/jobs/line1.toml"));
    // Paths the job resolves are absolute, on Windows with the current drive.
    const QString drive = QFileInfo(QStringLiteral("/")).absoluteFilePath().chopped(1);
    if (read.ok())
        expected.replace(QRegularExpression(QStringLiteral("(^| )/")), "\\1" + drive + "/");
    QCOMPARE(read.ok() ? read.job.arguments().join(QLatin1Char(' ')) : read.error->text(),
             expected);
    if (read.ok())
        QCOMPARE(read.job.quantity, quantity);
    // The hash is of the file's bytes, whatever they hold.
    QCOMPARE(read.job.sha256,
             QString(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
}

// A job written out reads back as the same job.
void tst_Job::written()
{
    const JobRead read = parseJob(Head + "baud = 256000\nports = [\"it's\"]\nstation = false\n"
                                         "record = \"r.jsonl\"\nquantity = 7\nleave = \"rts=0\"\n"
                                         "[stamp]\noffset = 4\nwidth = 8\nstep = 3\n",
                                  QStringLiteral("/jobs/line1.toml"));
    QVERIFY(read.ok());
    const JobRead again = parseJob(jobText(read.job), QStringLiteral("/jobs/line1.toml"));
    QVERIFY2(again.ok(), qPrintable(again.ok() ? QString() : again.error->text()));
    QCOMPARE(again.job.arguments(), read.job.arguments());
    QCOMPARE(again.job.quantity, 7);
    QCOMPARE(again.job.name, QString("line1"));
}

QTEST_GUILESS_MAIN(tst_Job)
#include "tst_job.moc"
