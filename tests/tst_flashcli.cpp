// The command-line flasher, run as a program against simulated boards on
// pseudo-terminals: outcomes, exit statuses, its JSON Lines and signals.

#include "cli/doctor/doctor.h"
#include "cli/flash/adapteradvice.h"
#include "cli/record/boardline.h"
#include "cli/record/chain.h"
#include "cli/station/station.h"
#include "serial/portdetails.h"
#include "serial/serialport.h"
#include "sessionfixture.h"
#include "sim/bootsim.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <QRandomGenerator>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <numeric>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace
{

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Output for a pipe: printable text and line ends only, whatever TERM says.
bool plainText(const QByteArray &text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n')
            return false;
    }
    return true;
}

// Every flasher a test starts and has not finished. A check that fails
// returns early: a station it left running would take the next test's boards.
QObject &runningFlashers()
{
    static QObject owner;
    return owner;
}

QProcess *startFlash(const QStringList &args, const QString &extraPorts = QString(),
                     const std::function<void(QProcess *)> &setUp = {})
{
    auto *process = new QProcess(&runningFlashers());
    if (setUp)
        setUp(process);
    QProcessEnvironment env = process->processEnvironment();
    if (env.isEmpty())
        env = QProcessEnvironment::systemEnvironment();
    env.insert("TERM", "xterm-256color");
    env.remove("NO_COLOR");
    env.insert("KAVRO_EXTRA_PORTS", extraPorts);
    process->setProcessEnvironment(env);
    process->start(KAVRO_FLASH, args);
    return process;
}

Run finish(QProcess *process, int timeoutMs = 60000)
{
    std::unique_ptr<QProcess> owned(process);
    Run r;
    if (!process->waitForFinished(timeoutMs))
        process->kill();
    process->waitForFinished();
    r.status = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    r.out = process->readAllStandardOutput();
    r.err = process->readAllStandardError();
    return r;
}

Run flash(const QStringList &args, const QString &extraPorts = QString())
{
    return finish(startFlash(args, extraPorts));
}

// JSON Lines, each checked to be an object; empty when any line is not.
QList<QJsonObject> jsonLines(const QByteArray &out)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (!doc.isObject())
            return {};
        objects << doc.object();
    }
    return objects;
}

QList<QJsonObject> events(const QList<QJsonObject> &all, const QString &event,
                          const QString &port = QString())
{
    QList<QJsonObject> found;
    for (const QJsonObject &o : all) {
        if (o["event"] == event && (port.isEmpty() || o["port"] == port))
            found << o;
    }
    return found;
}

// A board per description: "good", "silent", "hangup:K", "bad-check:K",
// "delay:MS", "held" (opened by another program first) or "missing" (no such
// device).
struct Board {
    std::unique_ptr<BootSim> sim;
    std::unique_ptr<SerialPort> holder;
    QString port;
};

std::vector<Board> makeBoards(const QStringList &descriptions, const QTemporaryDir &dir)
{
    std::vector<Board> boards;
    for (const QString &d : descriptions) {
        Board b;
        const int k = d.section(':', 1).toInt();
        if (d == "missing") {
            b.port = dir.filePath("no-such-port");
            boards.push_back(std::move(b));
            continue;
        }
        BootSimOptions o;
        o.neverAnswer = d == "silent";
        o.hangupAt = d.startsWith("hangup") ? k : 0;
        o.badCheckAt = d.startsWith("bad-check") ? k : 0;
        o.delayUs = d.startsWith("delay") ? k * 1000 : 0;
        // Through a link, as a stable /dev/serial/by-id name would be.
        o.linkPath = dir.filePath(QStringLiteral("board%1").arg(boards.size()));
        b.sim = std::make_unique<BootSim>(o);
        if (!b.sim->start())
            return {};
        b.port = o.linkPath;
        if (d == "held") {
            b.holder = std::make_unique<SerialPort>(b.sim->slavePath());
            b.holder->open(QIODevice::ReadWrite);
        }
        boards.push_back(std::move(b));
    }
    return boards;
}

QStringList portArgs(const std::vector<Board> &boards)
{
    QStringList args;
    for (const Board &b : boards)
        args << "-p" << b.port;
    return args;
}

// Reads a running flasher's standard output into `out` until it holds `n`
// board events of a station.
bool waitForBoardEvents(QProcess *process, QByteArray &out, int n, int timeoutMs = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (out.count("\"event\":\"board\"") < n) {
        if (clock.elapsed() > timeoutMs || process->state() == QProcess::NotRunning)
            return false;
        process->waitForReadyRead(100);
        out += process->readAllStandardOutput();
    }
    return true;
}

// The flasher's use of the system, from /proc: open descriptors, threads
// and resident memory.
struct Footprint {
    int fds = 0;
    int threads = 0;
    qint64 rssKib = 0;
};

Footprint footprintOf(qint64 pid)
{
    Footprint f;
    f.fds =
        QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size();
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.value(0) == "Threads:")
                f.threads = fields.value(1).toInt();
            else if (fields.value(0) == "VmRSS:")
                f.rssKib = fields.value(1).toLongLong();
        }
    }
    return f;
}

// Plugs a simulated board into a station slot: its port appears under the
// slot's name and vanishes when the board goes.
std::unique_ptr<BootSim> plugIn(const QString &slot, const BootSimOptions &options = {})
{
    BootSimOptions o = options;
    o.linkPath = slot;
    auto sim = std::make_unique<BootSim>(o);
    return sim->start() ? std::move(sim) : nullptr;
}

// A board plugged into `slot` that, as told, never answers, sends a bad reply
// or hangs up, at a random frame of a session of `frames`; and a random
// frame after which it may be unplugged. Null when it cannot start.
std::unique_ptr<BootSim> faultyBoard(const QString &slot, bool silent, bool badReply, bool hangUp,
                                     int frames, QRandomGenerator &random, int *unplugAfterFrames)
{
    BootSimOptions o;
    o.linkPath = slot;
    o.neverAnswer = silent;
    o.badCheckAt = badReply ? 1 + random.bounded(frames) : 0;
    o.hangupAt = hangUp ? 3 + random.bounded(frames - 2) : 0;
    *unplugAfterFrames = 1 + random.bounded(frames + 1);
    auto sim = std::make_unique<BootSim>(o);
    return sim->start() ? std::move(sim) : nullptr;
}

// A file or a link in a tree of the test's own, with the folders it needs.
bool plant(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

bool plantLink(const QString &path, const QString &target)
{
    return QDir().mkpath(QFileInfo(path).path()) && QFile::link(target, path);
}

// A board's line as a station wrote it before lines were chained, its image's
// name padded out to make the line `bytes` long with its newline.
QByteArray olderLine(int bytes = 0)
{
    const QByteArray head = R"({"board":1,"exit_code":0,"image":"firmware)";
    const QByteArray tail =
        R"(.bin","outcome":"Download Success","seconds":12.8,"sha256":"ab","slot":"socket-old",)"
        R"("time":"2026-01-05T08:00:00.000Z","usb_serial":null})"
        "\n";
    return head + QByteArray(std::max(0, bytes - int(head.size() + tail.size())), 'x') + tail;
}

// The record's lines, and those of one kind ("reservation", or "" for a
// board's).
QList<QJsonObject> recordLines(const QString &path, const QString &kind = QString("*"))
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QJsonObject> lines;
    for (const QJsonObject &line : jsonLines(file.readAll())) {
        if (kind == "*" || line["kind"].toString() == kind)
            lines << line;
    }
    return lines;
}

// The figures a yield report's page was written with.
QJsonObject reportFigures(const QString &htmlPath)
{
    QFile file(htmlPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray page = file.readAll();
    const QByteArray start = R"(<script id="data" type="application/json">)";
    const int from = int(page.indexOf(start) + start.size());
    QByteArray data = page.mid(from, page.indexOf("</script>", from) - from);
    return QJsonDocument::fromJson(data.replace("<\\/", "</")).object();
}

// Each outcome's boards, over every slot of a report's or a check's figures.
QMap<QString, int> outcomeTotals(const QJsonArray &slotList)
{
    QMap<QString, int> totals;
    for (const QJsonValue &slot : slotList) {
        const QJsonObject outcomes = slot.toObject()["outcomes"].toObject();
        for (auto it = outcomes.begin(); it != outcomes.end(); ++it)
            totals[it.key()] += it.value().toInt();
    }
    return totals;
}

// The bytes at data offset `at` that the block frame holding them carried
// to the board; empty when the frame never arrived.
QByteArray carried(const QList<QByteArray> &frames, int at, int width)
{
    const int address = at / 64 * 16;
    for (const QByteArray &frame : frames) {
        if (frame.size() == 71 && frame[3] == 0x01 &&
            (quint8(frame[4]) | quint8(frame[5]) << 8) == address)
            return frame.mid(6 + at % 64, width);
    }
    return {};
}

quint32 littleEndian(const QByteArray &bytes)
{
    quint32 value = 0;
    for (int i = bytes.size() - 1; i >= 0; --i)
        value = value << 8 | quint8(bytes[i]);
    return value;
}

// "check:LEVEL" for each finding, in order.
QString levels(const QList<Doctor::Finding> &findings)
{
    QStringList parts;
    for (const Doctor::Finding &f : findings)
        parts << f.check + ':' +
                     (f.level == Doctor::Finding::Level::Ok     ? "OK"
                      : f.level == Doctor::Finding::Level::Warn ? "WARN"
                                                                : "FAIL");
    return parts.join(' ');
}

// The environment for a flasher with a shim preloaded: a sanitizer's
// runtime would rather be loaded first.
QProcessEnvironment preloading(const QString &library)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!library.isEmpty())
        env.insert("LD_PRELOAD", library);
    env.insert("ASAN_OPTIONS",
               env.value("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
    return env;
}

// The flasher's environment with the modem-line shim preloaded, its line
// changes and writes noted in `lines` for the simulated boards.
std::function<void(QProcess *)> withModemShim(const QString &lines)
{
    return [lines](QProcess *process) {
        QProcessEnvironment env = preloading(MODEMSHIM);
        env.insert("KAVRO_MODEM_LINES", lines);
        process->setProcessEnvironment(env);
    };
}

QString sha256Of(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

class tst_FlashCli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void boards_data();
    void boards();
    void badImage_data();
    void badImage();
    void usage_data();
    void usage();
    void interrupt_data();
    void interrupt();
    void listing();
    void adapterLatency_data();
    void adapterLatency();
    void doctorSurvey_data();
    void doctorSurvey();
    void doctor_data();
    void doctor();
    void station();
    void checkRecord_data();
    void checkRecord();
    void reportCycleWindow();
    void stationImageChanged();
    void stationInterrupt();
    void stalledOutput_data();
    void stalledOutput();
    void lostOutput_data();
    void lostOutput();
    void interruptsNotWatched();
    void stationRecordStart_data();
    void stationRecordStart();
    void stationRecordFails_data();
    void stationRecordFails();
    void stationRecordShared();
    void stationTally();
    void stationBoardIdentity_data();
    void stationBoardIdentity();
    void stationSoak();
    void stamp_data();
    void stamp();
    void stampUsage_data();
    void stampUsage();
    void stampStation();
    void stampSoak_data();
    void stampSoak();
    void job();
    void jobQuantity();
    void sequences_data();
    void sequences();
    void sequenceTrace();
    void checkpointKill();

private:
    QTemporaryDir dir;
    QByteArray image;
    QString imagePath;
    QByteArray stationRecord; // what station() left, for checkRecord()
};

void tst_FlashCli::initTestCase()
{
    image = makeImage(300, 17);
    imagePath = writeImage(dir, "firmware.bin", image);
    QVERIFY(!imagePath.isEmpty());
}

// A process is killed and waited for as it is deleted.
void tst_FlashCli::cleanup()
{
    qDeleteAll(runningFlashers().children());
}

void tst_FlashCli::boards_data()
{
    QTest::addColumn<QStringList>("boards");
    QTest::addColumn<bool>("json");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("outcomes");

    QTest::newRow("one board") << QStringList{"good"} << false << 0
                               << QStringList{"Download Success"};
    QTest::newRow("silent, hung up, good")
        << QStringList{"silent", "hangup:40", "good"} << true << 5
        << QStringList{"Download TimeOut", "Download stop", "Download Success"};
    QTest::newRow("first failure in order decides")
        << QStringList{"good", "hangup:40", "silent"} << false << 1
        << QStringList{"Download Success", "Download stop", "Download TimeOut"};
    QTest::newRow("port held elsewhere") << QStringList{"held", "good"} << true << 4
                                         << QStringList{"CanNOT Open Serial", "Download Success"};
    QTest::newRow("no such port") << QStringList{"missing"} << true << 4
                                  << QStringList{"CanNOT Open Serial"};
    // Dozens of lines in one flasher: the faulty ones fail alone.
    QStringList many;
    QStringList manyOutcomes;
    for (int i = 0; i < 64; ++i) {
        many << "good";
        manyOutcomes << "Download Success";
    }
    const QStringList faults = {"silent", "hangup:40", "bad-check:50"};
    const QStringList faultOutcomes = {"Download TimeOut", "Download stop", "Download stop"};
    for (int i = 0; i < faults.size(); ++i) {
        many[10 + 20 * i] = faults[i];
        manyOutcomes[10 + 20 * i] = faultOutcomes[i];
    }
    QTest::newRow("64 boards, three faulty") << many << true << 5 << manyOutcomes;
}

void tst_FlashCli::boards()
{
    QFETCH(QStringList, boards);
    QFETCH(bool, json);
    QFETCH(int, status);
    QFETCH(QStringList, outcomes);
    QTemporaryDir linkDir;
    const std::vector<Board> sims = makeBoards(boards, linkDir);
    QCOMPARE(int(sims.size()), boards.size());

    QStringList args = portArgs(sims);
    if (json)
        args << "--json";
    const Run r = flash(args << "-b"
                             << "256000" << imagePath);
    QCOMPARE(r.status, status);
    QVERIFY(plainText(r.out));
    QVERIFY(plainText(r.err));

    const QByteArray human = json ? r.err : r.out;
    const int blocks = 300;
    const QList<QJsonObject> lines = jsonLines(r.out);
    for (int i = 0; i < int(sims.size()); ++i) {
        const QString port = sims[i].port;
        QVERIFY2(human.contains((port + ": " + outcomes[i]).toLocal8Bit()), human);
        if (outcomes[i] == "Download Success") {
            QVERIFY(sims[i].sim->waitForEndFrames(1, 2000));
            QCOMPARE(sims[i].sim->receivedImage(), imageData(image));
        }
        if (!json)
            continue;
        QCOMPARE(events(lines, "start", port).value(0)["blocks"].toInt(), blocks);
        const QList<QJsonObject> end = events(lines, "end", port);
        QCOMPARE(end.size(), 1);
        QCOMPARE(end[0]["outcome"].toString(), outcomes[i]);
        // A port that does not open says why, in the end line and event.
        const QString reason = boards[i] == "held"
                                   ? QString("busy: held by tst_flashcli (pid %1)").arg(::getpid())
                               : boards[i] == "missing" ? "no such device"
                                                        : QString();
        QCOMPARE(end[0]["reason"].toString(), reason);
        QCOMPARE(end[0]["doctor"].toString(),
                 reason.isEmpty() ? QString() : "kavro-flash --doctor -p " + port);
        if (!reason.isEmpty())
            QVERIFY2(human.contains((outcomes[i] + " (" + reason + ")").toLocal8Bit()), human);
        const int sent = end[0]["blocks_sent"].toInt();
        QCOMPARE(sent == blocks, outcomes[i] == "Download Success");
        int lastPercent = 0;
        for (const QJsonObject &p : events(lines, "progress", port)) {
            QVERIFY(p["percent"].toInt() > lastPercent);
            QVERIFY(p["blocks_sent"].toInt() <= sent);
            lastPercent = p["percent"].toInt();
        }
    }
    if (json) {
        const QJsonObject summary = lines.value(lines.size() - 1);
        QCOMPARE(summary["event"].toString(), QString("summary"));
        QCOMPARE(summary["succeeded"].toInt(), outcomes.count("Download Success"));
        QCOMPARE(summary["failed"].toInt(), outcomes.size() - outcomes.count("Download Success"));
    }
}

void tst_FlashCli::badImage_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: the path is a folder
    QTest::addColumn<QString>("reason");

    QByteArray lowerMagic = makeImage(4);
    lowerMagic[0] = 'z';
    QTest::newRow("missing") << QByteArray("-") << "no such file";
    QTest::newRow("folder") << QByteArray() << "not a regular file";
    QTest::newRow("no header") << lowerMagic << "no \"Zentrak\" header";
    QTest::newRow("too short for a header") << QByteArray("Zentra") << "no \"Zentrak\" header";
    QTest::newRow("4097 blocks") << makeImage(4097) << "4097 data blocks, more than 4096";
}

void tst_FlashCli::badImage()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir imageDir;
    QString path = imageDir.filePath("image.bin");
    if (content.isEmpty())
        path = imageDir.path();
    else if (content != "-")
        writeImage(imageDir, "image.bin", content);
    const std::vector<Board> sims = makeBoards({"good", "good"}, imageDir);

    const Run r = flash(portArgs(sims) << path);
    QCOMPARE(r.status, 3);
    QVERIFY2(r.err.contains("File Error: " + path.toLocal8Bit() + ": " + reason.toLocal8Bit()),
             r.err);
    for (const Board &b : sims)
        QVERIFY(!b.sim->waitForFrames(1, 200));
}

void tst_FlashCli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    const QString image = QStringLiteral("image.bin");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("no port") << QStringList{image};
    QTest::newRow("no image") << QStringList{"-p", "ttyS0"};
    QTest::newRow("two images") << QStringList{"-p", "ttyS0", image, image};
    QTest::newRow("rate 9600") << QStringList{"-b", "9600", "-p", "ttyS0", image};
    QTest::newRow("rate not a number") << QStringList{"--baud", "fast", "-p", "ttyS0", image};
    QTest::newRow("port twice") << QStringList{"-p", "ttyS0", "--port", "/dev/ttyS0", image};
    QTest::newRow("empty port") << QStringList{"-p", "", image};
    QTest::newRow("unknown option") << QStringList{"--fast", "-p", "ttyS0", image};
    QTest::newRow("port without a name") << QStringList{image, "-p"};
}

void tst_FlashCli::usage()
{
    QFETCH(QStringList, args);
    const Run r = flash(args);
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains("Try 'kavro-flash --help'"), r.err);
}

void tst_FlashCli::interrupt_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

// Every board stops at its next block, with no end frame or anything else
// after the cancel; the summary still comes.
void tst_FlashCli::interrupt()
{
    QFETCH(int, signal);
    QTemporaryDir linkDir;
    const std::vector<Board> sims = makeBoards({"delay:5", "delay:5"}, linkDir);
    QProcess *process = startFlash(portArgs(sims) << "--json" << imagePath);
    for (const Board &b : sims)
        QVERIFY(b.sim->waitForFrames(12, 20000));
    ::kill(pid_t(process->processId()), signal);
    const Run r = finish(process);
    QCOMPARE(r.status, 130);

    const QList<QJsonObject> lines = jsonLines(r.out);
    QCOMPARE(events(lines, "summary").size(), 1);
    for (const Board &b : sims) {
        const QList<QJsonObject> end = events(lines, "end", b.port);
        QCOMPARE(end.value(0)["outcome"].toString(), QString("Download Cancel"));
        QCOMPARE(end.value(0)["exit_code"].toInt(), 130);
        // Start, prepare, then exactly the blocks it reported.
        const int frames = 2 + end.value(0)["blocks_sent"].toInt();
        QVERIFY(!b.sim->waitForFrames(frames + 1, 300));
        QCOMPARE(b.sim->hostFrames().size(), frames);
        QCOMPARE(b.sim->endFrames(), 0);
    }
}

// The window's list, extra ports first, each on a line of its own.
void tst_FlashCli::listing()
{
    const Run r = flash({"--list"}, "/dev/pts/kavro-a:/dev/pts/kavro-b:/tmp/plätte-ł");
    QCOMPARE(r.status, 0);
    const QList<QByteArray> lines = r.out.split('\n');
    QCOMPARE(lines.value(0), QByteArray("/dev/pts/kavro-a"));
    QCOMPARE(lines.value(1), QByteArray("/dev/pts/kavro-b"));
    QCOMPARE(lines.value(2), QByteArray("/tmp/plätte-ł"));
}

void tst_FlashCli::adapterLatency_data()
{
    QTest::addColumn<QByteArray>("timer"); // latency_timer's content; empty: no such file
    QTest::addColumn<QString>("warning");

    QTest::newRow("FTDI at its default")
        << QByteArray("16\n")
        << "latency timer is 16 ms and could not be lowered: expect about 38 s for this image at "
           "256000 baud instead of 6 s (16% of the line's speed). Fix: echo 1 | sudo tee ";
    QTest::newRow("FTDI at 1 ms") << QByteArray("1\n") << QString();
    QTest::newRow("adapter without a timer") << QByteArray() << QString();
}

// Read from a sysfs tree of the test's own; lowering it leaves nothing to say.
void tst_FlashCli::adapterLatency()
{
    QFETCH(QByteArray, timer);
    QFETCH(QString, warning);
    QTemporaryDir sysfs;
    const QString device = sysfs.filePath("class/tty/ttyUSB7/device");
    QVERIFY(QDir().mkpath(device));
    if (!timer.isEmpty())
        QVERIFY(!writeImage(sysfs, "class/tty/ttyUSB7/device/latency_timer", timer).isEmpty());

    const QString text = AdapterAdvice::latencyWarning("/dev/ttyUSB7", 2000, 256000, sysfs.path());
    QCOMPARE(text.isEmpty(), warning.isEmpty());
    QVERIFY2(warning.isEmpty() || text.contains(warning + device + "/latency_timer\n"),
             qPrintable(text));
    LatencyTimer latency = LatencyTimer::of("/dev/ttyUSB7", sysfs.path());
    QCOMPARE(latency.lower(), !timer.isEmpty());
    QVERIFY(AdapterAdvice::latencyWarning("/dev/ttyUSB7", 2000, 256000, sysfs.path()).isEmpty());
}

void tst_FlashCli::doctorSurvey_data()
{
    // What the tree holds beyond an FTDI adapter on ttyUSB7 with its timer
    // at 1 ms: "ch340" (its usb id instead), "timer:MS", "mm" (ModemManager
    // runs), "mm-ignores" (udev tells it to ignore the device), "mm-probing"
    // (it has the port open), "minicom" (has it open), "lock-file" (a lock
    // file of screen's), "brltty" (installed), "stale" (the name is a by-id
    // link to a device that is gone), "pty" (the port is a pseudo-terminal
    // whose other end holds it, and a shell has it too).
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("levels");
    QTest::addColumn<QString>("said"); // in a finding's text or fix

    const QString allWell = "exists:OK access:OK holder:OK modemmanager:OK brltty:OK latency:OK";
    QTest::newRow("all well") << QStringList() << allWell << "latency timer 1 ms";
    QTest::newRow("timer writable")
        << QStringList{"timer:16"} << allWell << "latency timer 16 ms, lowered to 1 ms";
    QTest::newRow("held by minicom")
        << QStringList{"minicom"}
        << "exists:OK access:OK holder:FAIL modemmanager:OK brltty:OK latency:OK"
        << "held by minicom (pid 812) | close minicom, or end it: kill 812";
    QTest::newRow("lock file") << QStringList{"lock-file"}
                               << "exists:OK access:OK holder:FAIL modemmanager:OK brltty:OK "
                                  "latency:OK"
                               << "held by screen (pid 4242)";
    QTest::newRow("ModemManager not told")
        << QStringList{"mm"}
        << "exists:OK access:OK holder:OK modemmanager:WARN brltty:OK latency:OK"
        << "a udev rule: ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    QTest::newRow("ModemManager told") << QStringList{"mm", "mm-ignores"} << allWell
                                       << "ModemManager runs, and is told to ignore this device";
    QTest::newRow("ModemManager probing")
        << QStringList{"mm", "mm-probing"}
        << "exists:OK access:OK holder:FAIL modemmanager:WARN brltty:OK latency:OK"
        << "held by ModemManager (pid 77) | ModemManager probes a new port";
    QTest::newRow("brltty, FTDI") << QStringList{"brltty"} << allWell
                                  << "brltty is present, and does not claim this adapter";
    QTest::newRow("brltty, CH340")
        << QStringList{"brltty", "ch340"}
        << "exists:OK access:OK holder:OK modemmanager:OK brltty:WARN latency:OK"
        << "takes adapters with usb id 1a86:7523 for braille displays";
    QTest::newRow("stale by-id name") << QStringList{"stale"} << "exists:FAIL"
                                      << "a stale name: it leads to ../../ttyUSB3";
    QTest::newRow("pseudo-terminal")
        << QStringList{"pty"} << "exists:OK access:OK holder:FAIL modemmanager:OK brltty:OK"
        << "held by bash (pid 56)";
}

// Against a tree of the test's own in the places of sysfs, /dev, the udev
// database, /proc and the lock files.
void tst_FlashCli::doctorSurvey()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, levels);
    QFETCH(QString, said);
    QTemporaryDir temp;
    const QString root = QFileInfo(temp.path()).canonicalFilePath();
    SurveyRoots roots;
    roots.sysfs = root + "/sys";
    roots.dev = root + "/dev";
    roots.udevData = root + "/udev";
    roots.proc = root + "/proc";
    roots.programDirs = QStringList{root + "/bin"};
    roots.lockDirs = QStringList{root + "/lock"};

    const QString usb = roots.sysfs + "/devices/pci0000:00/usb1/1-2";
    const QString portDevice = usb + "/1-2:1.0/ttyUSB7";
    const bool ch340 = tree.contains("ch340");
    QVERIFY(plant(usb + "/idVendor", ch340 ? "1a86\n" : "0403\n"));
    QVERIFY(plant(usb + "/idProduct", ch340 ? "7523\n" : "6001\n"));
    QVERIFY(plant(usb + "/serial", "A10K3ZQ\n"));
    const QString timer = tree.filter("timer:").value(0).section(':', 1);
    QVERIFY(plant(portDevice + "/latency_timer", (timer.isEmpty() ? "1" : timer).toLatin1()));
    QVERIFY(QDir().mkpath(roots.sysfs + "/bus/usb-serial/drivers/ftdi_sio"));
    QVERIFY(plantLink(portDevice + "/driver", roots.sysfs + "/bus/usb-serial/drivers/ftdi_sio"));
    QVERIFY(plant(roots.sysfs + "/class/tty/ttyUSB7/dev", "188:7\n"));
    QVERIFY(plantLink(roots.sysfs + "/class/tty/ttyUSB7/device", portDevice));
    const QString device = roots.dev + "/ttyUSB7";
    QVERIFY(plant(device, ""));
    QVERIFY(plantLink(roots.dev + "/serial/by-id/usb-FTDI_A10K3ZQ-if00-port0", device));
    QVERIFY(plantLink(roots.dev + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", device));
    const auto process = [&](int pid, const QByteArray &program, const QStringList &fds) {
        QVERIFY(plant(QString("%1/%2/comm").arg(roots.proc).arg(pid), program + '\n'));
        for (int fd = 0; fd < fds.size(); ++fd)
            QVERIFY(plantLink(QString("%1/%2/fd/%3").arg(roots.proc).arg(pid).arg(fd), fds[fd]));
    };
    process(1, "init", {"/dev/null"});
    if (tree.contains("mm"))
        process(77, "ModemManager",
                tree.contains("mm-probing") ? QStringList{device} : QStringList{});
    if (tree.contains("mm-ignores"))
        QVERIFY(plant(roots.udevData + "/c188:7", "E:ID_SERIAL=FTDI\nE:ID_MM_DEVICE_IGNORE=1\n"));
    if (tree.contains("minicom"))
        process(812, "minicom", {"/dev/null", device});
    if (tree.contains("lock-file")) {
        process(4242, "screen", {});
        QVERIFY(plant(root + "/lock/LCK..ttyUSB7", "      4242\n"));
    }
    if (tree.contains("brltty"))
        QVERIFY(plant(root + "/bin/brltty", ""));
    QString name = "ttyUSB7";
    if (tree.contains("stale")) {
        name = roots.dev + "/serial/by-id/usb-gone";
        QVERIFY(plantLink(name, "../../ttyUSB3"));
    }
    if (tree.contains("pty")) {
        name = roots.dev + "/pts/3";
        QVERIFY(plant(roots.dev + "/pts/3", ""));
        process(55, "kavro-bootsim", {roots.dev + "/ptmx", roots.dev + "/pts/3"});
        QVERIFY(plant(roots.proc + "/55/fdinfo/0", "pos:\t0\nflags:\t02\ntty-index:\t3\n"));
        process(56, "bash", {roots.dev + "/pts/3"});
    }

    const PortSurvey port = PortSurvey::of(name, roots);
    const QList<Doctor::Finding> findings =
        Doctor::judge(port, SystemSurvey::of(roots), Doctor::Trial(), 115200);
    QString texts;
    for (const Doctor::Finding &f : findings)
        texts += f.text + " | " + f.fix + '\n';
    QCOMPARE(::levels(findings), levels);
    QVERIFY2(texts.contains(said), qPrintable(texts));
    if (port.exists && !tree.contains("pty")) {
        QCOMPARE(port.deviceNumber, QString("188:7"));
        QCOMPARE(port.driver, QString("ftdi_sio"));
        QCOMPARE(port.vendorProduct, QString(ch340 ? "1a86:7523" : "0403:6001"));
        QCOMPARE(port.serialNumber, QString("A10K3ZQ"));
        QCOMPARE(port.byId, QStringList{roots.dev + "/serial/by-id/usb-FTDI_A10K3ZQ-if00-port0"});
        QCOMPARE(port.byPath.size(), 1);
    }
}

void tst_FlashCli::doctor_data()
{
    // "good", "missing" and "held" as makeBoards() has them; "locked:RATE"
    // keeps the line at RATE; "not mine" is a port of root's group dialout,
    // checked by an unprivileged user.
    QTest::addColumn<QString>("board");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("levels");
    QTest::addColumn<QString>("said"); // in the human report

    const QString allWell =
        "exists:OK access:OK holder:OK modemmanager:OK brltty:OK rates:OK modem lines:OK";
    QTest::newRow("simulated board")
        << "good" << QStringList() << 0 << allWell << "115200 and 256000 baud set and read back";
    // A pseudo-terminal has no modem lines: a run that needs them cannot start.
    QTest::newRow("no modem lines, a sequence given")
        << "good" << QStringList{"--leave", "rts=0"} << 4
        << "exists:OK access:OK holder:OK modemmanager:OK brltty:OK rates:OK modem lines:FAIL"
        << "FAIL modem lines  the driver has no modem lines (TIOCMGET: Inappropriate ioctl for "
           "device)";
    QTest::newRow("missing") << "missing" << QStringList() << 4 << "exists:FAIL"
                             << "FAIL exists       no such device";
    QTest::newRow("held") << "held" << QStringList() << 4
                          << "exists:OK access:OK holder:FAIL modemmanager:OK brltty:OK rates:FAIL"
                          << QString("held by tst_flashcli (pid %1)").arg(::getpid());
    QTest::newRow("256000 refused")
        << "locked:115200" << QStringList() << 0
        << "exists:OK access:OK holder:OK modemmanager:OK brltty:OK rates:WARN modem lines:OK"
        << "the driver does not keep 256000 baud";
    QTest::newRow("256000 refused, wanted")
        << "locked:115200" << QStringList{"-b", "256000"} << 4
        << "exists:OK access:OK holder:OK modemmanager:OK brltty:OK rates:FAIL modem lines:OK"
        << "fix: use -b 115200, or an adapter that makes 256000 baud";
    QTest::newRow("not this user's") << "not mine" << QStringList() << 4
                                     << "exists:OK access:FAIL holder:OK modemmanager:OK brltty:OK"
                                     << "nobody may not open it: crw-rw---- root:dialout";
}

// Through the real program, in both its forms; an ordinary download on a
// port that does not open points to the doctor.
void tst_FlashCli::doctor()
{
    QFETCH(QString, board);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, levels);
    QFETCH(QString, said);
    const bool root = ::geteuid() == 0;
    if ((board.startsWith("locked") || board == "not mine") && !root)
        QSKIP("needs root: to lock a line's rate, or to become another user");

    QTemporaryDir linkDir;
    std::vector<Board> boards;
    std::unique_ptr<BootSim> sim;
    QString port;
    if (board == "good" || board == "missing" || board == "held") {
        boards = makeBoards({board}, linkDir);
        QCOMPARE(int(boards.size()), 1);
        port = boards[0].port;
    } else {
        BootSimOptions o;
        o.lockedBaud = board.section(':', 1).toInt();
        sim = std::make_unique<BootSim>(o);
        QVERIFY(sim->start());
        port = sim->slavePath();
    }

    // Another user runs a copy of the program from a folder anyone may read.
    QString program = KAVRO_FLASH;
    QStringList runAs;
    QTemporaryDir shared;
    QString image = imagePath;
    if (board == "not mine") {
        const QByteArray slave = QFile::encodeName(port);
        const group *dialout = ::getgrnam("dialout");
        QVERIFY(dialout);
        QVERIFY(::chown(slave.constData(), 0, dialout->gr_gid) == 0);
        QVERIFY(::chmod(slave.constData(), 0660) == 0);
        QVERIFY(QFile::setPermissions(shared.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadOther |
                                                         QFile::ExeOther));
        program = shared.filePath("kavro-flash");
        QVERIFY(QFile::copy(KAVRO_FLASH, program));
        image = writeImage(shared, "firmware.bin", this->image);
        QVERIFY(QFile::setPermissions(image, QFile::ReadOwner | QFile::ReadOther));
        runAs = QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", program};
        program = "setpriv";
    }
    const auto run = [&](const QStringList &arguments) {
        auto *process = new QProcess;
        process->start(program, runAs + arguments);
        return finish(process);
    };

    const Run human = run(QStringList{"--doctor", "-p", port} + args);
    QCOMPARE(human.status, status);
    QVERIFY2(human.out.contains(said.toLocal8Bit()), human.out);
    QVERIFY(human.out.contains(status == 0 ? "\n  a download can start here\n"
                                           : "\n  a download cannot start here\n"));
    const QList<QJsonObject> events =
        jsonLines(run(QStringList{"--doctor", "--json", "-p", port} + args).out);
    QCOMPARE(events.size(), 2);
    QStringList found;
    for (const QJsonValue f : events[0]["findings"].toArray())
        found << f["check"].toString() + ':' + f["level"].toString();
    QCOMPARE(found.join(' '), levels);
    QCOMPARE(events[0]["ready"].toBool(), status == 0);
    QCOMPARE(events[1]["exit_code"].toInt(), status);

    if (status == 0 || board.startsWith("locked"))
        return;
    const Run download = run(QStringList{"-p", port} + args + QStringList{image});
    QCOMPARE(download.status, 4);
    QVERIFY2(download.out.contains("CanNOT Open Serial ("), download.out);
    QVERIFY2(download.out.contains(
                 ("; kavro-flash --doctor -p " + port + " tells more\n").toLocal8Bit()),
             download.out);
}

// Five boards through two slots, one of them failing: each flashed once
// while it stays plugged in, each in the record, and --count ends the run.
void tst_FlashCli::station()
{
    QTemporaryDir sockets;
    const QString a = sockets.filePath("socket-a");
    const QString b = sockets.filePath("socket-b");
    const QString recordPath = sockets.filePath("record.jsonl");
    QVERIFY(!writeImage(sockets, "record.jsonl", olderLine()).isEmpty());

    QProcess *process = startFlash({"--station", "-p", a, "-p", b, "--count", "5", "--record",
                                    recordPath, "--settle", "100", "--json", imagePath});
    QByteArray out;
    BootSimOptions failing;
    failing.badCheckAt = 4;
    const QList<QPair<QString, bool>> plugs = {
        {a, true}, {b, true}, {a, false}, {b, true}, {a, true}};
    for (int n = 0; n < plugs.size(); ++n) {
        const auto board = plugIn(plugs[n].first, plugs[n].second ? BootSimOptions() : failing);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, n + 1), out);
        if (plugs[n].second) {
            QVERIFY(board->waitForEndFrames(1, 2000));
            QCOMPARE(board->receivedImage(), imageData(image));
        }
        // Still plugged in: not flashed again.
        QTest::qWait(300);
        QCOMPARE(commands(board->hostFrames()).count("10"), 1);
    }
    const Run r = finish(process);
    QCOMPARE(r.status, 1);
    QVERIFY(plainText(r.err));

    const QList<QJsonObject> lines = jsonLines(out + r.out);
    const QList<QJsonObject> boards = events(lines, "board");
    QCOMPARE(boards.size(), 5);
    for (int n = 0; n < boards.size(); ++n) {
        QCOMPARE(boards[n]["slot"].toString(), plugs[n].first);
        QCOMPARE(boards[n]["board"].toInt(), n + 1);
        QCOMPARE(boards[n]["version"].toInt(), 2);
        QCOMPARE(boards[n]["exit_code"].toInt(), plugs[n].second ? 0 : 1);
    }
    const QJsonObject summary = events(lines, "summary").value(0);
    QCOMPARE(summary["succeeded"].toInt(), 4);
    QCOMPARE(summary["failed"].toInt(), 1);

    QFile recordFile(recordPath);
    QVERIFY(recordFile.open(QIODevice::ReadOnly));
    stationRecord = recordFile.readAll();
    const QList<QJsonObject> record = jsonLines(stationRecord);
    QCOMPARE(record.size(), 7);
    QCOMPARE(record[0]["slot"].toString(), QString("socket-old"));
    // The first line written chains to the one already there: a checkpoint
    // for the older lines, which the next start reads from.
    QCOMPARE(
        record[1]["prev"].toString(),
        QString(
            QCryptographicHash::hash(olderLine().chopped(1), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(record[1]["kind"].toString(), QString("checkpoint"));
    QCOMPARE(record[1]["line"].toInt(), 2);
    QCOMPARE(record[1]["offset"].toInt(), olderLine().size());
    QCOMPARE(record[1]["boards"].toInt(), 1);
    QCOMPARE(record[1]["successes"].toInt(), 1);
    QCOMPARE(record[1]["record"].toInt(), 3);
    QCOMPARE(record[1]["tool"].toString(), QString(KAVRO_VERSION));
    const QString sha = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
    for (int n = 2; n < record.size(); ++n) {
        QCOMPARE(record[n]["slot"].toString(), plugs[n - 2].first);
        QCOMPARE(record[n]["outcome"].toString(),
                 QString(plugs[n - 2].second ? "Download Success" : "Download stop"));
        QCOMPARE(record[n]["sha256"].toString(), sha);
        QCOMPARE(record[n]["image"].toString(), QString("firmware.bin"));
        QVERIFY(QDateTime::fromString(record[n]["time"].toString(), Qt::ISODateWithMs).isValid());
    }
}

void tst_FlashCli::checkRecord_data()
{
    QTest::addColumn<QString>("change"); // what is done to station()'s record
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("report");

    QTest::newRow("as written") << "" << 0 << "7 lines, chain intact";
    QTest::newRow("an outcome changed") << "edit:3" << 1 << "chain broken at line 4";
    QTest::newRow("a line taken out") << "drop:3" << 1 << "chain broken at line 3";
    QTest::newRow("a line that does not parse") << "garble:6" << 1 << "chain broken at line 6";
    QTest::newRow("another program's line")
        << "foreign:2" << 1 << "chain broken at line 2: it is not a record line";
    QTest::newRow("a value reserved twice")
        << "reserve:2" << 1 << "stamp 000003E8 reserved more than once";
    QTest::newRow("a value reserved, its board never recorded")
        << "reserve:1" << 0 << "burnt 000003E8 (1000): reserved, outcome unknown";
    QTest::newRow("a checkpoint taken out") << "drop:2" << 1 << "chain broken at line 2";
    QTest::newRow("a checkpoint edited") << "count:2" << 1 << "chain broken at line 3";
    QTest::newRow("a checkpoint that continues a record, not the first line")
        << "continues:2" << 1 << "chain broken at line 2: it names a record it continues";
    // Its chain made good again after it: the recount still finds it out.
    QTest::newRow("a checkpoint forged, the chain relinked")
        << "forge:2" << 1 << "checkpoint at line 2 differs from the record: boards 2, not 1";
    // Past what the reader takes from the file at once: lines that span two
    // reads, and one longer than a read.
    QTest::newRow("megabytes of lines") << "pad:6000" << 0 << "6007 lines, chain intact";
    QTest::newRow("a line of megabytes") << "long:4" << 1 << "7 lines, chain broken at line 4";
}

// The record proves itself: any line changed, taken out or cut breaks it.
void tst_FlashCli::checkRecord()
{
    QFETCH(QString, change);
    QFETCH(int, status);
    QFETCH(QString, report);
    QVERIFY(!stationRecord.isEmpty());
    QList<QByteArray> lines = stationRecord.split('\n');
    const int line = change.section(':', 1).toInt() - 1;
    if (change.startsWith("edit"))
        lines[line].replace("Download Success", "Download stop");
    else if (change.startsWith("drop"))
        lines.removeAt(line);
    else if (change.startsWith("garble"))
        lines[line].chop(3);
    else if (change.startsWith("foreign"))
        lines[line] = "{\"level\":\"info\"}";
    else if (change.startsWith("long"))
        lines[line] = QByteArray(3 << 19, 'x');
    else if (change.startsWith("count") || change.startsWith("forge"))
        lines[line].replace("\"boards\":1", "\"boards\":2");
    else if (change.startsWith("continues")) {
        QJsonObject checkpoint = QJsonDocument::fromJson(lines[line]).object();
        checkpoint["continues"] =
            QJsonObject{{"file", "lot-1.jsonl"}, {"line", 9}, {"sha256", checkpoint["prev"]}};
        lines[line] = QJsonDocument(checkpoint).toJson(QJsonDocument::Compact);
    }
    for (int n = line + 1; change.startsWith("forge") && n < lines.size() - 1; ++n) {
        QJsonObject relinked = QJsonDocument::fromJson(lines[n]).object();
        relinked["prev"] =
            QString(QCryptographicHash::hash(lines[n - 1], QCryptographicHash::Sha256).toHex());
        lines[n] = QJsonDocument(relinked).toJson(QJsonDocument::Compact);
    }
    // Reservations of one value (or each of its own), each chained to the
    // line before.
    const bool padded = change.startsWith("pad");
    for (int n = 0; (change.startsWith("reserve") || padded) && n <= line; ++n) {
        lines.removeAll(QByteArray());
        QJsonObject reservation{
            {"kind", "reservation"},
            {"time", "2026-01-05T08:00:00.000Z"},
            {"slot", "s"},
            {"board", n + 1},
            {"stamp", QString("%1").arg(padded ? n + 1 : 1000, 8, 16, QChar('0')).toUpper()},
            {"stamp_number", padded ? n + 1 : 1000},
            {"stamp_at", "0x80:4"},
            {"stamp_list_sha256", QJsonValue()},
            {"stamp_order", "little"},
            {"record", 2},
            {"tool", "t"},
            {"host", "h"},
            {"prev",
             QString(QCryptographicHash::hash(lines.last(), QCryptographicHash::Sha256).toHex())}};
        lines << QJsonDocument(reservation).toJson(QJsonDocument::Compact) << QByteArray();
    }
    QTemporaryDir records;
    const QString path = writeImage(records, "record.jsonl", lines.join('\n'));
    const Run r = flash({"--check-record", path});
    QCOMPARE(r.status, status);
    QVERIFY2(r.out.contains(report.toLocal8Bit()), r.out);
    if (status == 0)
        QVERIFY2(r.out.contains("socket-a: 3 boards (2 Download Success, 1 Download stop), "
                                "failure rate 33.3%"),
                 r.out);
    const QJsonObject json = jsonLines(flash({"--check-record", path, "--json"}).out).value(0);
    QCOMPARE(json["intact"].toBool(), !report.contains("broken"));
    QCOMPARE(json["version"].toInt(), 2);
    if (status == 0) {
        const QJsonObject slot = json["slots"].toArray().first().toObject();
        QVERIFY(slot["slot"].toString().endsWith("/socket-a"));
        QCOMPARE(slot["failed"].toInt(), 1);
    }

    // The report counts what the check counts, up to the same line.
    const QString html = records.filePath("report.html");
    const QString csv = records.filePath("report.csv");
    const Run reported = flash({"--report", "--html", html, "--csv", csv, path});
    QCOMPARE(reported.status, json["intact"].toBool() ? 0 : 1);
    const QJsonObject figures = reportFigures(html);
    const QJsonObject verdict = figures["records"].toArray().first().toObject();
    QCOMPARE(verdict["broken_at"], json["broken_at"]);
    QCOMPARE(verdict["reason"], json["reason"]);
    const QMap<QString, int> outcomes = outcomeTotals(json["slots"].toArray());
    QCOMPARE(outcomeTotals(figures["slots"].toArray()), outcomes);
    QFile rows(csv);
    QVERIFY(rows.open(QIODevice::ReadOnly));
    const int boards = std::accumulate(outcomes.cbegin(), outcomes.cend(), 0);
    QCOMPARE(rows.readAll().count("\r\n") - 1, boards);
    QCOMPARE(verdict["boards"].toInt(), boards);
    const QJsonObject stamps = json["stamps"].toObject();
    QCOMPARE(figures["stamps"].toObject()["reservations"], stamps["reservations"]);
    QCOMPARE(figures["stamps"].toObject()["burnt"].toArray().size(),
             stamps["burnt"].toArray().size());
}

// Cycle times come from each slot's last boards only: the slower boards
// before them count in the totals, not in the median or the chart.
void tst_FlashCli::reportCycleWindow()
{
    QTemporaryDir records;
    const QString path = records.filePath("record.jsonl");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const Record::RunImage image{"firmware.bin", "ab", {}, {}};
    const QDateTime start = QDateTime::fromString("2026-01-05T08:00:00Z", Qt::ISODate);
    Record::Chain chain;
    int number = 0;
    // In slot a, 1500 boards of 10 s then 1000 of 2 s; in slot b, 100 of 5 s.
    for (const auto &[slot, boards, ms] : {std::tuple<QString, int, qint64>{"a", 1500, 10000},
                                           {"a", 1000, 2000},
                                           {"b", 100, 5000}}) {
        for (int n = 0; n < boards; ++n) {
            ++number;
            const Record::SessionEnd end{"Download Success", 0, true, 40, ms, {}};
            Record::Line line;
            line.board =
                Record::boardLine({number, slot, {}, end, {}, "cd"}, image, start.addSecs(number));
            const QByteArray text = chain.link(&line);
            chain.appended(line, text);
            QVERIFY(file.write(text + '\n') == text.size() + 1);
        }
    }
    file.close();
    const QString html = records.filePath("report.html");
    const QString csv = records.filePath("report.csv");
    const Run r = flash({"--report", "--html", html, "--csv", csv, path});
    QVERIFY2(r.status == 0, r.err);
    const QJsonObject figures = reportFigures(html);
    QCOMPARE(figures["succeeded"].toInt(), 2600);
    const QJsonObject cycle = figures["cycle"].toObject();
    QCOMPARE(cycle["window"].toInt(), 1000);
    // Of the 1000 boards of 2 s and the 100 of 5 s.
    QCOMPARE(cycle["median_seconds"].toDouble(), 2.0);
    QCOMPARE(cycle["p95_seconds"].toDouble(), 5.0);
    int counted = 0;
    for (const QJsonValue &count : cycle["counts"].toArray())
        counted += count.toInt();
    QCOMPARE(counted, 1100);
    QFile rows(csv);
    QVERIFY(rows.open(QIODevice::ReadOnly));
    QCOMPARE(rows.readAll().count("\r\n") - 1, 2600);
}

// An image replaced on disk is never written: the next board finds the
// station stopped.
void tst_FlashCli::stationImageChanged()
{
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    const QString path = writeImage(sockets, "changing.bin", image);
    QProcess *process = startFlash({"--station", "-p", slot, "--settle", "100", "--json", path});
    QByteArray out;
    {
        const auto first = plugIn(slot);
        QVERIFY(first);
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
    }
    // Unplugged for longer than the station takes to notice.
    QTest::qWait(300);
    QByteArray changed = image;
    changed[100] = char(changed[100] ^ 0xFF);
    QVERIFY(!writeImage(sockets, "changing.bin", changed).isEmpty());
    const auto second = plugIn(slot);
    QVERIFY(second);
    const Run r = finish(process, 5000);
    QCOMPARE(r.status, 3);
    QVERIFY2(r.err.contains("has changed since the station started"), r.err);
    QVERIFY(!second->waitForFrames(1, 300));
    QCOMPARE(events(jsonLines(out + r.out), "board").size(), 1);
}

// Ctrl-C while a board is flashing: that board ends as a cancel, with no
// frame after it, then the summary.
void tst_FlashCli::stationInterrupt()
{
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    QProcess *process = startFlash({"--station", "-p", slot, "--json", imagePath});
    BootSimOptions slow;
    slow.delayUs = 5000;
    const auto board = plugIn(slot, slow);
    QVERIFY(board);
    QVERIFY(board->waitForFrames(12, 20000));
    ::kill(pid_t(process->processId()), SIGINT);
    const Run r = finish(process, 5000);
    QCOMPARE(r.status, 130);
    const QList<QJsonObject> lines = jsonLines(r.out);
    QCOMPARE(events(lines, "board").value(0)["outcome"].toString(), QString("Download Cancel"));
    QCOMPARE(events(lines, "summary").size(), 1);
    const int frames = board->hostFrames().size();
    QVERIFY(!board->waitForFrames(frames + 1, 300));
    QCOMPARE(board->endFrames(), 0);
}

void tst_FlashCli::stalledOutput_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("interruptWhileFlushing");
    QTest::newRow("terminal stopped for 10 s") << false << false;
    QTest::newRow("--json pipe read at the end") << true << false;
    // The sessions are over: a Ctrl-C must not cut the final output short.
    QTest::newRow("--json pipe read at the end, Ctrl-C meanwhile") << true << true;
}

// Nobody reads the flasher's output until every board is done; the boards
// must not notice, and nothing but progress may be missing afterwards.
void tst_FlashCli::stalledOutput()
{
    QFETCH(bool, json);
    QFETCH(bool, interruptWhileFlushing);
    QTemporaryDir linkDir;
    // Sessions of about two seconds: far longer than one reply wait.
    const std::vector<Board> sims =
        makeBoards({"delay:6", "delay:6", "delay:6", "delay:6"}, linkDir);
    QCOMPARE(int(sims.size()), 4);

    // The terminal as Ctrl-S leaves it, or a pipe that holds only a little.
    int reader = -1;
    QString sink;
    if (json) {
        sink = linkDir.filePath("events");
        QCOMPARE(::mkfifo(QFile::encodeName(sink).constData(), 0600), 0);
        reader = ::open(QFile::encodeName(sink).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        ::fcntl(reader, F_SETPIPE_SZ, 4096);
    } else {
        reader = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(reader >= 0 && ::grantpt(reader) == 0 && ::unlockpt(reader) == 0);
        sink = QString::fromLocal8Bit(::ptsname(reader));
        QCOMPARE(::write(reader, "\x13", 1), ssize_t(1));
        ::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) | O_NONBLOCK);
    }
    QStringList args = portArgs(sims) << "-b"
                                      << "256000" << imagePath;
    if (json)
        args << "--json";
    QProcess *process = startFlash(args, QString(), [&](QProcess *p) {
        p->setStandardOutputFile(sink);
        if (!json)
            p->setStandardErrorFile(sink);
    });
    if (json) {
        for (const Board &b : sims)
            QVERIFY(b.sim->waitForEndFrames(1, 30000));
        if (interruptWhileFlushing) {
            QTest::qWait(500);
            ::kill(pid_t(process->processId()), SIGINT);
        }
    } else {
        QThread::sleep(10);
        QCOMPARE(::write(reader, "\x11", 1), ssize_t(1));
    }
    QByteArray out;
    for (bool running = true; running;) {
        running = !process->waitForFinished(20);
        char chunk[4096];
        for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;)
            out.append(chunk, int(got));
    }
    ::close(reader);
    const std::unique_ptr<QProcess> ended(process);
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);

    // The board reads the end frame in its own time.
    for (const Board &b : sims) {
        QVERIFY(b.sim->waitForEndFrames(1, 5000));
        QCOMPARE(b.sim->receivedImage(), imageData(image));
    }
    if (json) {
        const QList<QJsonObject> lines = jsonLines(out);
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.last()["event"].toString(), QString("summary"));
        QCOMPARE(lines.last()["succeeded"].toInt(), 4);
        for (const Board &b : sims) {
            QCOMPARE(events(lines, "end", b.port).value(0)["outcome"].toString(),
                     QString("Download Success"));
            QVERIFY(lines.indexOf(events(lines, "start", b.port).value(0)) <
                    lines.indexOf(events(lines, "end", b.port).value(0)));
        }
        return;
    }
    static const QRegularExpression escapes(QStringLiteral("\x1b\\[[0-9;]*[A-Za-z]|\r"));
    const QString text = QString::fromLocal8Bit(out).remove(escapes);
    const int summary = text.indexOf("4 succeeded, 0 failed");
    QVERIFY2(summary > 0, qPrintable(text.right(2000)));
    for (const Board &b : sims) {
        const int end = text.lastIndexOf(b.port + "  Download Success, 300/300 blocks");
        QVERIFY2(end >= 0 && end < summary, qPrintable(text.right(2000)));
    }
}

void tst_FlashCli::lostOutput_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("closedPipe");
    QTest::addColumn<QString>("reason");
    QTest::newRow("--json to a full disk") << true << false << "No space left on device";
    QTest::newRow("text to a full disk") << false << false << "No space left on device";
    QTest::newRow("--json to a pipe closed after a line") << true << true << "Broken pipe";
}

// Outcomes that cannot be written are said once on standard error and fail
// the run; the board in flight is still flashed whole.
void tst_FlashCli::lostOutput()
{
    QFETCH(bool, json);
    QFETCH(bool, closedPipe);
    QFETCH(QString, reason);
    QTemporaryDir linkDir;
    const std::vector<Board> sims = makeBoards({"delay:3"}, linkDir);
    QCOMPARE(int(sims.size()), 1);
    QString sink = QStringLiteral("/dev/full");
    int reader = -1;
    if (closedPipe) {
        sink = linkDir.filePath("events");
        QCOMPARE(::mkfifo(QFile::encodeName(sink).constData(), 0600), 0);
        reader = ::open(QFile::encodeName(sink).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
    }
    QStringList args = portArgs(sims) << imagePath;
    if (json)
        args << "--json";
    QProcess *process =
        startFlash(args, QString(), [&](QProcess *p) { p->setStandardOutputFile(sink); });
    if (closedPipe) {
        // As `| head -1` does: one line, then the reader is gone.
        QByteArray first;
        char c = 0;
        for (QElapsedTimer clock; !first.endsWith('\n');) {
            if (!clock.isValid())
                clock.start();
            QVERIFY(clock.elapsed() < 20000);
            if (::read(reader, &c, 1) == 1)
                first += c;
            else
                QTest::qWait(5);
        }
        QVERIFY(first.contains("\"event\":\"start\""));
        ::close(reader);
    }
    const Run r = finish(process);
    QCOMPARE(r.status, 1);
    QCOMPARE(r.err.count("write error on standard output: " + reason.toUtf8()), 1);
    QVERIFY(sims[0].sim->waitForEndFrames(1, 5000));
    QCOMPARE(sims[0].sim->receivedImage(), imageData(image));
}

// A process that cannot take Ctrl-C over says so, and flashes all the same.
void tst_FlashCli::interruptsNotWatched()
{
    QTemporaryDir linkDir;
    const std::vector<Board> sims = makeBoards({"good"}, linkDir);
    QProcess *process = startFlash(portArgs(sims) << imagePath, QString(), [](QProcess *p) {
        p->setProcessEnvironment(preloading(FAIL_SOCKETPAIR));
    });
    const Run r = finish(process);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains("kavro-flash: cannot watch for Ctrl-C: Too many open files"), r.err);
}

void tst_FlashCli::stationRecordStart_data()
{
    QTest::addColumn<QByteArray>("earlier"); // "-": the record's folder is missing
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<QString>("message");

    const QByteArray whole = olderLine();
    const QByteArray cut = "{\"board\":2,\"out";
    const QByteArray other = "{\"level\":\"info\",\"text\":\"started\"}\n";
    QTest::newRow("cannot be opened") << QByteArray("-") << 2 << QByteArray() << "cannot use";
    QTest::newRow("not a record") << whole + "notes" << 2 << whole + "notes"
                                  << "it does not end in a whole line";
    QTest::newRow("text") << QByteArray("notes\n") << 2 << QByteArray("notes\n")
                          << "its last line does not parse";
    QTest::newRow("another program's JSON")
        << whole + other << 2 << whole + other
        << "its last line is not a record line: \"time\" missing or wrong";
    QTest::newRow("cut short after another program's JSON")
        << other + cut << 2 << other + cut << "its last line is not a record line";
    QTest::newRow("last line cut short by a crash")
        << whole + cut << 130 << whole << "cut short (15 bytes); cut off";
}

// A record that is not one is refused before any port opens, untouched; a
// line of ours cut short is cut off, so that every line in the file parses.
void tst_FlashCli::stationRecordStart()
{
    QFETCH(QByteArray, earlier);
    QFETCH(int, status);
    QFETCH(QByteArray, kept);
    QFETCH(QString, message);
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    QString recordPath = sockets.filePath("no-such-folder/record.jsonl");
    if (earlier != "-")
        recordPath = writeImage(sockets, "record.jsonl", earlier);
    const auto board = plugIn(slot);
    QVERIFY(board);
    QProcess *process = startFlash({"--station", "-p", slot, "--record", recordPath, imagePath});
    if (status == 130) {
        QVERIFY(board->waitForEndFrames(1, 5000));
        ::kill(pid_t(process->processId()), SIGINT);
    }
    const Run r = finish(process, 5000);
    QCOMPARE(r.status, status);
    QVERIFY2(r.err.contains(message.toLocal8Bit()), r.err);
    if (status == 2)
        QVERIFY(board->hostFrames().isEmpty());
    QFile record(recordPath);
    if (!record.open(QIODevice::ReadOnly))
        return;
    const QByteArray after = record.readAll();
    if (status == 2)
        QCOMPARE(after, kept);
    else
        QVERIFY(after.startsWith(kept + "{"));
}

void tst_FlashCli::stationRecordFails_data()
{
    QTest::addColumn<bool>("afterInterrupt");
    QTest::newRow("no room, station running") << false;
    QTest::newRow("no room after Ctrl-C, part of the line fits") << true;
}

// A board flashed without its record is worse than a halted line: always a
// message naming the board, and status 1 whatever else happened. A line that
// only partly fits is taken out again.
void tst_FlashCli::stationRecordFails()
{
    QFETCH(bool, afterInterrupt);
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    QString recordPath = QStringLiteral("/dev/full");
    QByteArray earlier;
    const auto unmountDisk = [](QString *path) {
        ::umount(QFile::encodeName(*path).constData());
        delete path;
    };
    std::unique_ptr<QString, decltype(unmountDisk)> unmount(nullptr, unmountDisk);
    const QString fullDisk = sockets.filePath("disk");
    if (afterInterrupt) {
        // Two pages: the record's first, nearly full, and a filler's.
        QVERIFY(QDir().mkdir(fullDisk));
        if (::mount("tmpfs", QFile::encodeName(fullDisk).constData(), "tmpfs", 0, "size=8k") != 0)
            QSKIP("mounting a small tmpfs needs root");
        unmount.reset(new QString(fullDisk));
        recordPath = fullDisk + "/record.jsonl";
        earlier = olderLine(4095);
        QCOMPARE(writeImage(sockets, "disk/record.jsonl", earlier), recordPath);
        QVERIFY(!writeImage(sockets, "disk/filler", QByteArray(4096, 'f')).isEmpty());
    }
    QProcess *process =
        startFlash({"--station", "-p", slot, "--record", recordPath, "--json", imagePath});
    BootSimOptions slow;
    slow.delayUs = afterInterrupt ? 5000 : 0;
    const auto board = plugIn(slot, slow);
    QVERIFY(board);
    if (afterInterrupt) {
        QVERIFY(board->waitForFrames(12, 20000));
        ::kill(pid_t(process->processId()), SIGINT);
    }
    const Run r = finish(process, 5000);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains("cannot write the record " + recordPath.toLocal8Bit() +
                            " for board 1 in " + slot.toLocal8Bit() + ": "),
             r.err);
    QCOMPARE(events(jsonLines(r.out), "board").size(), 1);
    if (afterInterrupt) {
        QFile record(recordPath);
        QVERIFY(record.open(QIODevice::ReadOnly));
        QCOMPARE(record.readAll(), earlier);
    }
}

// One record, one station: a second on it is refused before any port opens,
// naming the first, and leaves the record as it was. It can still be checked
// while the first writes it.
void tst_FlashCli::stationRecordShared()
{
    QTemporaryDir sockets;
    const QString recordPath = sockets.filePath("record.jsonl");
    const QString first = sockets.filePath("socket-1");
    const QString second = sockets.filePath("socket-2");
    QProcess *process =
        startFlash({"--station", "-p", first, "--record", recordPath, "--json", imagePath});
    QByteArray out;
    {
        const auto board = plugIn(first);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
    }
    QFile record(recordPath);
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QByteArray written = record.readAll();

    const auto board = plugIn(second);
    QVERIFY(board);
    const Run refused = flash({"--station", "-p", second, "--record", recordPath, imagePath});
    QCOMPARE(refused.status, 2);
    QVERIFY2(refused.err.contains(
                 QStringLiteral("cannot use the record %1: in use: held by kavro-flash (pid %2)")
                     .arg(recordPath)
                     .arg(process->processId())
                     .toLocal8Bit()),
             refused.err);
    QVERIFY(board->hostFrames().isEmpty());
    const Run checked = flash({"--check-record", recordPath});
    QCOMPARE(checked.status, 0);
    QVERIFY2(checked.out.contains("1 lines, chain intact"), checked.out);

    ::kill(pid_t(process->processId()), SIGINT);
    QCOMPARE(finish(process, 5000).status, 130);
    QVERIFY(record.seek(0));
    QCOMPARE(record.readAll(), written);
}

// A station runs for weeks: its median is of the last boards only.
void tst_FlashCli::stationTally()
{
    const int window = Station::Tally::MedianWindow;
    Station::Tally tally;
    for (int n = 0; n < window; ++n)
        tally.add(false, 10 + n % 2);
    QCOMPARE(tally.medianSeconds(), 10.5);
    for (int n = 0; n < window / 2; ++n)
        tally.add(false, 30);
    QCOMPARE(tally.medianSeconds(), 20.5);
    for (int n = 0; n < window / 2; ++n)
        tally.add(n == 0, 30);
    QCOMPARE(tally.medianSeconds(), 30.0);
    QCOMPARE(tally.boards, 2 * window);
    QCOMPARE(tally.failures, 1);
}

void tst_FlashCli::stationBoardIdentity_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("outcomes"); // of the boards, in order

    QTest::newRow("blip shorter than the settle time") << "blip" << QStringList{"Download Success"};
    QTest::newRow("board swapped in while the session fails")
        << "swap" << QStringList{"Download TimeOut", "Download Success"};
    QTest::newRow("line settings refused")
        << "refused" << QStringList{"CanNOT Open Serial", "Download Success"};
}

// What a slot takes for a new board: never the same one back after a moment
// away, always one plugged in while the last one's session was failing, and
// a port that refuses the line once.
void tst_FlashCli::stationBoardIdentity()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, outcomes);
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    const QString recordPath = sockets.filePath("record.jsonl");
    BootSimOptions first;
    first.neverAnswer = scenario == "swap";
    // A driver that cannot make 256000 keeps its rate.
    first.lockedBaud = scenario == "refused" ? 115200 : 0;
    auto board = std::make_unique<BootSim>(first);
    first.linkPath = slot;
    board = std::make_unique<BootSim>(first);
    QString error;
    if (!board->start(&error) && first.lockedBaud && error.contains("locking"))
        QSKIP("locking a line's rate needs CAP_SYS_ADMIN");
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QProcess *process = startFlash({"--station", "-p", slot, "-b", "256000", "--settle", "400",
                                    "--record", recordPath, "--json", imagePath});
    QByteArray out;
    if (scenario == "blip") {
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
        // Away for a moment, as a board that restarts.
        QVERIFY(QFile::remove(slot));
        QTest::qWait(150);
        QVERIFY(QFile::link(board->slavePath(), slot));
        QTest::qWait(800);
        QCOMPARE(commands(board->hostFrames()).count("10"), 1);
    } else {
        if (scenario == "swap") {
            QVERIFY(board->waitForFrames(1, 5000));
        } else {
            QVERIFY2(waitForBoardEvents(process, out, 1), out);
            // Not tried again while it stays.
            QTest::qWait(1500);
            QVERIFY(board->hostFrames().isEmpty());
        }
        board.reset();
        QTest::qWait(600);
        board = plugIn(slot);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, 2), out);
    }
    QVERIFY(board->waitForEndFrames(1, 2000));
    QCOMPARE(board->receivedImage(), imageData(image));
    ::kill(pid_t(process->processId()), SIGINT);
    const Run r = finish(process, 5000);

    const QList<QJsonObject> boards = events(jsonLines(out + r.out), "board");
    QFile recordFile(recordPath);
    QVERIFY(recordFile.open(QIODevice::ReadOnly));
    const QList<QJsonObject> record = jsonLines(recordFile.readAll());
    QCOMPARE(boards.size(), outcomes.size());
    QCOMPARE(record.size(), outcomes.size());
    for (int n = 0; n < outcomes.size(); ++n) {
        QCOMPARE(boards[n]["outcome"].toString(), outcomes[n]);
        QCOMPARE(record[n]["outcome"].toString(), outcomes[n]);
    }
    if (scenario == "refused")
        QCOMPARE(record[0]["reason"].toString(), QString("the port refused baud rate 256000"));
}

// A shift on a production line, faster: boards through three slots with
// every fault a board or an operator brings. KAVRO_SOAK_BOARDS makes it longer.
void tst_FlashCli::stationSoak()
{
    enum Fault { Good, Silent, BadReply, HangUp, Unplug, Blip, Faults };
    struct Socket {
        QString path;
        std::unique_ptr<BootSim> sim;
        Fault fault = Good;
        int unplugAfterFrames = 0;
        bool reported = true;   // the board in the slot has its board event
        qint64 blipAwayAt = -1; // link taken away then
        qint64 blipBackAt = -1; // and away until then
        qint64 blipCheckAt = -1;
        // Each board's fault, and the replies it sent before it was unplugged.
        QList<QPair<Fault, int>> boards;
    };
    const int boardsInAll = qEnvironmentVariableIntValue("KAVRO_SOAK_BOARDS") > 0
                                ? qEnvironmentVariableIntValue("KAVRO_SOAK_BOARDS")
                                : 100;
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("station-soak: seed %u", seed);
    QRandomGenerator random(seed);
    constexpr int SettleMs = 500;
    constexpr int Blocks = 40;

    QTemporaryDir dir;
    const QByteArray small = makeImage(Blocks);
    const QString smallPath = writeImage(dir, "small.bin", small);
    const QString recordPath = dir.filePath("record.jsonl");
    std::vector<Socket> fixture(3);
    QStringList args{"--station", "--settle", QString::number(SettleMs), "--record", recordPath,
                     "--json",    smallPath};
    for (int i = 0; i < int(fixture.size()); ++i) {
        fixture[i].path = dir.filePath(QStringLiteral("slot%1").arg(i));
        args << "-p" << fixture[i].path;
    }
    QProcess *process = startFlash(args);
    QElapsedTimer clock;
    clock.start();
    const qint64 pid = process->processId();

    int plugged = 0;
    int reported = 0;
    int linesSeen = 0;
    QByteArray out;
    QByteArray err;
    Footprint warm;
    bool warmTaken = false;
    const auto unplug = [](Socket &s) {
        s.sim->stop();
        for (const auto &entry : s.sim->transcript())
            s.boards.last().second += entry.first ? 0 : 1;
        s.sim.reset();
    };
    const auto idle = [&fixture] {
        for (const Socket &s : fixture) {
            if (s.sim || !s.reported)
                return false;
        }
        return true;
    };
    while (reported < boardsInAll) {
        // A station that hangs, not a busy machine (a board takes under 0.4 s).
        QVERIFY2(clock.elapsed() < 60000 + boardsInAll * 1500LL,
                 qPrintable(QString::number(reported)));
        process->waitForReadyRead(5);
        out += process->readAllStandardOutput();
        err += process->readAllStandardError();
        const qint64 now = clock.elapsed();

        const QList<QByteArray> lines = out.split('\n');
        for (; linesSeen < lines.size() - 1; ++linesSeen) {
            const QJsonObject event = QJsonDocument::fromJson(lines[linesSeen]).object();
            if (event["event"] != "board")
                continue;
            ++reported;
            for (Socket &s : fixture) {
                if (event["slot"] != s.path)
                    continue;
                QVERIFY2(!s.reported, lines[linesSeen]);
                s.reported = true;
                if (s.fault == Blip && event["exit_code"] == 0) {
                    QVERIFY(QFile::remove(s.path));
                    s.blipAwayAt = now;
                    s.blipBackAt = now + SettleMs / 6;
                } else if (s.sim) {
                    unplug(s);
                }
            }
        }

        for (Socket &s : fixture) {
            if (s.sim && s.fault == Unplug && !s.reported &&
                s.sim->hostFrames().size() >= s.unplugAfterFrames)
                unplug(s);
            if (s.blipBackAt >= 0 && now >= s.blipBackAt) {
                s.blipBackAt = -1;
                // A busy machine held this loop up for most of the settle
                // time: to the station the board may be gone, so it is.
                if (now - s.blipAwayAt > SettleMs / 2) {
                    unplug(s);
                    continue;
                }
                QVERIFY(QFile::link(s.sim->slavePath(), s.path));
                s.blipCheckAt = now + SettleMs + 250;
            }
            if (s.blipCheckAt >= 0 && now >= s.blipCheckAt) {
                // Back in time: the same board, not flashed again.
                QCOMPARE(commands(s.sim->hostFrames()).count("10"), 1);
                s.blipCheckAt = -1;
                unplug(s);
            }
            const bool pausing = reported >= boardsInAll / 5 && !warmTaken;
            // The next board once the station has seen the last one go.
            const int removed = err.count((s.path + ": board removed").toLocal8Bit());
            if (s.sim || !s.reported || removed < s.boards.size() || plugged == boardsInAll ||
                pausing)
                continue;
            s.fault = Fault(random.bounded(int(Faults)));
            // Half the boards are good.
            if (random.bounded(2) == 0)
                s.fault = Good;
            s.sim = faultyBoard(s.path, s.fault == Silent, s.fault == BadReply, s.fault == HangUp,
                                Blocks + 2, random, &s.unplugAfterFrames);
            QVERIFY(s.sim);
            s.boards.append({s.fault, 0});
            s.reported = false;
            ++plugged;
        }
        if (!warmTaken && reported >= boardsInAll / 5 && idle()) {
            QTest::qWait(300);
            warm = footprintOf(pid);
            warmTaken = true;
        }
    }
    QTest::qWait(300);
    const Footprint end = footprintOf(pid);
    ::kill(pid_t(pid), SIGINT);
    const Run r = finish(process, 5000);
    const qint64 seconds = clock.elapsed() / 1000;

    QFile recordFile(recordPath);
    QVERIFY(recordFile.open(QIODevice::ReadOnly));
    const QList<QByteArray> recordLines = recordFile.readAll().split('\n');
    QList<QJsonObject> record = jsonLines(recordLines.join('\n'));
    // Past a thousand lines, a checkpoint among them.
    const auto kept = std::remove_if(record.begin(), record.end(), [](const QJsonObject &line) {
        return line["kind"] == "checkpoint";
    });
    const int checkpoints = int(record.end() - kept);
    record.erase(kept, record.end());
    std::printf("station-soak: boards=%d record_lines=%d fd_growth=%d threads_growth=%d "
                "rss_growth_kib=%lld seconds=%lld seed=%u\n",
                plugged, int(record.size()), end.fds - warm.fds, end.threads - warm.threads,
                end.rssKib - warm.rssKib, seconds, seed);
    std::fflush(stdout);
    QCOMPARE(int(record.size()), boardsInAll);
    QCOMPARE(recordLines.size(), boardsInAll + checkpoints + 1); // every line whole, nothing else
    QSet<int> numbers;
    bool anyFailed = false;
    // The summary's tally per slot, against the record.
    const QJsonArray tallies =
        events(jsonLines(out + r.out), "summary").value(0)["slots"].toArray();
    QCOMPARE(tallies.size(), int(fixture.size()));
    for (Socket &s : fixture) {
        QList<QJsonObject> mine;
        int failed = 0;
        int lastTenFailed = 0;
        for (const QJsonObject &line : record) {
            if (line["slot"] != s.path)
                continue;
            mine << line;
            failed += line["exit_code"].toInt() != 0;
        }
        for (int n = std::max(0, int(mine.size()) - 10); n < mine.size(); ++n)
            lastTenFailed += mine[n]["exit_code"].toInt() != 0;
        const QJsonObject tally = tallies[int(&s - fixture.data())].toObject();
        QCOMPARE(tally["boards"].toInt(), int(mine.size()));
        QCOMPARE(tally["failed"].toInt(), failed);
        QCOMPARE(tally["check_fixture"].toBool(), lastTenFailed >= 3);
        QCOMPARE(mine.size(), s.boards.size());
        for (int n = 0; n < mine.size(); ++n) {
            numbers.insert(mine[n]["board"].toInt());
            const QString outcome = mine[n]["outcome"].toString();
            const Fault fault = s.boards[n].first;
            const QString context = QStringLiteral("%1 board %2 fault %3: %4")
                                        .arg(s.path)
                                        .arg(n)
                                        .arg(int(fault))
                                        .arg(outcome);
            anyFailed |= outcome != "Download Success";
            if (fault == Good || fault == Blip)
                QVERIFY2(outcome == "Download Success", qPrintable(context));
            else if (fault == Silent)
                QVERIFY2(outcome == "Download TimeOut", qPrintable(context));
            else if (fault == BadReply || fault == HangUp)
                QVERIFY2(outcome == "Download stop", qPrintable(context));
            else
                // A success needs every reply; the end frame may still have
                // been on its way when the board went.
                QVERIFY2(outcome != "Download Success" || s.boards[n].second == Blocks + 2,
                         qPrintable(context));
        }
    }
    QCOMPARE(numbers.size(), boardsInAll);
    QVERIFY(anyFailed || boardsInAll < 20);
    QCOMPARE(r.status, 130);
    QVERIFY(warmTaken);
    QVERIFY(end.fds <= warm.fds);
    QVERIFY(end.threads <= warm.threads);
    // A sanitizer keeps memory of its own for what the program did.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    QVERIFY2(end.rssKib - warm.rssKib < 4096,
             qPrintable(QString::number(end.rssKib - warm.rssKib)));
#endif
}

void tst_FlashCli::stamp_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("list");    // the --stamp-list file, if any
    QTest::addColumn<int>("at");             // the stamp's file offset
    QTest::addColumn<QStringList>("values"); // hex as written, two runs of three
    QTest::addColumn<bool>("newRecord");     // the second run's record continues the first's

    QTest::newRow("numbers from 1000")
        << QStringList{"--stamp", "0x80:4", "--stamp-start", "1000"} << QByteArray() << 0x80
        << QStringList{"E8030000", "E9030000", "EA030000", "EB030000", "EC030000", "ED030000"}
        << false;
    QTest::newRow("big-endian, step 256, a new record")
        << QStringList{"--stamp", "200:3", "--stamp-order", "big", "--stamp-step", "256"}
        << QByteArray() << 200
        << QStringList{"000001", "000101", "000201", "000301", "000401", "000501"} << true;
    QTest::newRow("past 2^63") << QStringList{"--stamp", "0x80:8", "--stamp-start",
                                              "0xfffffffffffffff0"}
                               << QByteArray() << 0x80
                               << QStringList{"F0FFFFFFFFFFFFFF", "F1FFFFFFFFFFFFFF",
                                              "F2FFFFFFFFFFFFFF", "F3FFFFFFFFFFFFFF",
                                              "F4FFFFFFFFFFFFFF", "F5FFFFFFFFFFFFFF"}
                               << false;
    QTest::newRow("radio addresses, a new record")
        << QStringList{"--stamp", "0x1000:6"}
        << QByteArray("# radio addresses, batch 7\n0CEFAF81A2B3\n\n0cefaf81a2b4\n"
                      "0CEFAF81A2B5\n#spare\n0CEFAF81A2B6\n0CEFAF81A2B7\n0CEFAF81A2B8\n")
        << 0x1000 << QStringList{"0CEFAF81A2B3", "0CEFAF81A2B4", "0CEFAF81A2B5",
                                 "0CEFAF81A2B6", "0CEFAF81A2B7", "0CEFAF81A2B8"}
        << true;
    QByteArray keys("# device keys\n");
    QStringList first;
    for (int n = 1; n <= 2000; ++n) {
        const QByteArray key = QByteArray::number(0x10000000 + n, 16).repeated(4).toUpper();
        keys += key + '\n';
        if (n <= 6)
            first << key;
    }
    QTest::newRow("keys of 16 bytes")
        << QStringList{"--stamp", "0x80:16"} << keys << 0x80 << first << false;
}

// A gang of three, twice on one record or on a second that continues the
// first: each board's copy differs from the image in the stamped bytes only,
// and the second run goes on where the first stopped.
void tst_FlashCli::stamp()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, list);
    QFETCH(int, at);
    QFETCH(QStringList, values);
    QFETCH(bool, newRecord);
    QTemporaryDir work;
    const QString firstPath = work.filePath("record.jsonl");
    const QString secondPath = newRecord ? work.filePath("lot-2/record.jsonl") : firstPath;
    QVERIFY(QDir(work.path()).mkpath("lot-2"));
    if (!list.isEmpty())
        args << "--stamp-list" << writeImage(work, "addresses.txt", list);
    const int width = values[0].size() / 2;
    const QByteArray data = imageData(image);
    const QString sha = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
    for (int run = 0; run < 2; ++run) {
        const std::vector<Board> sims = makeBoards({"good", "good", "good"}, work);
        QStringList runArgs = portArgs(sims) << args;
        if (run == 1 && newRecord)
            runArgs << "--continues" << firstPath;
        const Run r = flash(runArgs << "--record" << (run == 0 ? firstPath : secondPath) << "--json"
                                    << imagePath);
        QCOMPARE(r.status, 0);
        QStringList got;
        for (const Board &b : sims) {
            QVERIFY(b.sim->waitForEndFrames(1, 2000));
            const QByteArray received = b.sim->receivedImage();
            QCOMPARE(received.size(), data.size());
            const QByteArray value = received.mid(at - 64, width);
            QCOMPARE(received.left(at - 64) + value + received.mid(at - 64 + width), received);
            QCOMPARE(received.left(at - 64), data.left(at - 64));
            QCOMPARE(received.mid(at - 64 + width), data.mid(at - 64 + width));
            got << value.toHex().toUpper();
        }
        std::sort(got.begin(), got.end());
        QStringList expected = values.mid(3 * run, 3);
        std::sort(expected.begin(), expected.end());
        QCOMPARE(got, expected);
        const QList<QJsonObject> ends = events(jsonLines(r.out), "end");
        QCOMPARE(ends.size(), 3);
        // Each board's end names the value it received: a number's most
        // significant digit first.
        const bool little = list.isEmpty() && !args.contains("big");
        for (const Board &b : sims) {
            QByteArray value = b.sim->receivedImage().mid(at - 64, width);
            if (little)
                std::reverse(value.begin(), value.end());
            const QJsonObject end = events(ends, "end", b.port).value(0);
            QCOMPARE(end["stamp"].toString(), QString(value.toHex().toUpper()));
            QCOMPARE(end["stamp_number"].toDouble() > 0, list.isEmpty());
        }
        QVERIFY2(r.err.contains("stamps used: "), r.err);
    }
    QList<QJsonObject> reserved = recordLines(firstPath, "reservation");
    QList<QJsonObject> boards = recordLines(firstPath, "");
    if (newRecord) {
        reserved += recordLines(secondPath, "reservation");
        boards += recordLines(secondPath, "");
    }
    QCOMPARE(reserved.size(), 6);
    QCOMPARE(boards.size(), 6);
    QSet<QString> stamps;
    for (const QJsonObject &line : boards) {
        QCOMPARE(line["sha256"].toString(), sha);
        QCOMPARE(line["record"].toInt(), 3);
        QVERIFY(line["stamp_acknowledged"].toBool());
        QVERIFY(line["flashed_sha256"].toString() != sha);
        stamps.insert(line["stamp"].toString());
    }
    QCOMPARE(stamps.size(), 6);
    for (const QJsonObject &line : reserved)
        QVERIFY(stamps.contains(line["stamp"].toString()));
    const Run checked = flash({"--check-record", secondPath});
    QCOMPARE(checked.status, 0);
    const QByteArray stamped = newRecord ? "3 reserved, 3 stamped" : "6 reserved, 6 stamped";
    QVERIFY2(checked.out.contains("stamps: " + stamped + " successes, 0 burnt"), checked.out);
    if (!newRecord)
        return;
    // The new record's first line links to the last of the one it continues.
    QFile first(firstPath);
    QVERIFY(first.open(QIODevice::ReadOnly));
    const QByteArray lastHash =
        QCryptographicHash::hash(first.readAll().trimmed().split('\n').last(),
                                 QCryptographicHash::Sha256)
            .toHex();
    QVERIFY2(checked.out.contains("continues ../record.jsonl after its line 6 (sha256 " + lastHash +
                                  ")"),
             checked.out);
    QCOMPARE(recordLines(secondPath).value(0)["prev"].toString(), QString(lastHash));
    const Run firstChecked = flash({"--check-record", firstPath});
    QVERIFY2(firstChecked.out.contains("last line 6: sha256 " + lastHash), firstChecked.out);
    // Started again as it was, the new record goes on; a list has no values left.
    const std::vector<Board> sims = makeBoards({"good"}, work);
    const Run again = flash(portArgs(sims) << args << "--continues" << firstPath << "--record"
                                           << secondPath << imagePath);
    QVERIFY2(
        (again.out + again.err).contains(list.isEmpty() ? "stamp 000601" : "no stamp values left"),
        again.out + again.err);
}

// A record of one line: 1000 reserved, little-endian, at 0x80:4.
QByteArray reservationLine()
{
    return R"({"board":1,"host":"h","kind":"reservation","prev":null,"record":2,"slot":"s",)"
           R"("stamp":"000003E8","stamp_at":"0x80:4","stamp_list_sha256":null,)"
           R"("stamp_number":1000,"stamp_order":"little","time":"2026-01-05T08:00:00.000Z",)"
           R"("tool":"t"})"
           "\n";
}

void tst_FlashCli::stampUsage_data()
{
    QTest::addColumn<QStringList>("args");  // with --record
    QTest::addColumn<QByteArray>("list");   // "LIST" in args names it
    QTest::addColumn<QByteArray>("record"); // what the record holds already
    QTest::addColumn<QString>("message");

    const QString inside = "bytes 0x40 to 0x4b3f";
    QTest::newRow("no width") << QStringList{"--stamp", "0x80"} << QByteArray() << QByteArray()
                              << "--stamp needs OFFSET:WIDTH";
    QTest::newRow("offset not a number") << QStringList{"--stamp", "12x:4"} << QByteArray()
                                         << QByteArray() << "--stamp needs OFFSET:WIDTH";
    QTest::newRow("width 0") << QStringList{"--stamp", "0x80:0"} << QByteArray() << QByteArray()
                             << "width must be 1 to 16 bytes, not 0";
    QTest::newRow("width 17") << QStringList{"--stamp", "0x80:17"} << QByteArray() << QByteArray()
                              << "width must be 1 to 16 bytes, not 17";
    QTest::newRow("in the header")
        << QStringList{"--stamp", "0x3e:4"} << QByteArray() << QByteArray() << inside;
    QTest::newRow("into the partial block")
        << QStringList{"--stamp", "0x4b3e:4"} << QByteArray() << QByteArray() << inside;
    QTest::newRow("numbers wider than 8") << QStringList{"--stamp", "0x80:9"} << QByteArray()
                                          << QByteArray() << "numbers are at most 8 bytes wide";
    QTest::newRow("start past the width")
        << QStringList{"--stamp", "0x80:1", "--stamp-start", "256"} << QByteArray() << QByteArray()
        << "--stamp-start 256 does not fit in 1 byte";
    QTest::newRow("step 0") << QStringList{"--stamp", "0x80:2", "--stamp-step", "0"} << QByteArray()
                            << QByteArray() << "--stamp-step must not be 0";
    QTest::newRow("start not a number")
        << QStringList{"--stamp", "0x80:2", "--stamp-start", "-1"} << QByteArray() << QByteArray()
        << "--stamp-start needs a whole number";
    QTest::newRow("order") << QStringList{"--stamp", "0x80:2", "--stamp-order", "middle"}
                           << QByteArray() << QByteArray() << "little or big, not 'middle'";
    QTest::newRow("start without a stamp")
        << QStringList{"--stamp-start", "5"} << QByteArray() << QByteArray() << "need --stamp";
    QTest::newRow("a list and a start")
        << QStringList{"--stamp", "0x80:2", "--stamp-list", "LIST", "--stamp-start", "5"}
        << QByteArray("0102\n") << QByteArray() << "no --stamp-start";
    QTest::newRow("list line with a wrong digit")
        << QStringList{"--stamp", "0x80:6", "--stamp-list", "LIST"}
        << QByteArray("# batch\n0CEFAF81A2B3\n0CEFAF81A2BZ\n") << QByteArray()
        << "line 3: a value must be exactly 12 hex digits, not '0CEFAF81A2BZ'";
    QTest::newRow("list line too short")
        << QStringList{"--stamp", "0x80:6", "--stamp-list", "LIST"} << QByteArray("\n0CEFAF81A2\n")
        << QByteArray() << "line 2: a value must be exactly";
    QTest::newRow("a value twice in the list")
        << QStringList{"--stamp", "0x80:2", "--stamp-list", "LIST"}
        << QByteArray("0102\n0A0B\n\n0a0b\n") << QByteArray()
        << "line 4: the value 0A0B is on line 2 already";
    QByteArray keys;
    for (int n = 1; n <= 3000; ++n)
        keys += QByteArray::number(0x10000000 + n, 16).repeated(4) + '\n';
    QTest::newRow("a wide value twice, far apart")
        << QStringList{"--stamp", "0x80:16", "--stamp-list", "LIST"}
        << keys + "10000002100000021000000210000002\n"
        << QByteArray()
        << "line 3001: the value 10000002100000021000000210000002 is on line 2 already";
    QTest::newRow("no such list") << QStringList{"--stamp", "0x80:6", "--stamp-list", "LIST"}
                                  << QByteArray("-") << QByteArray()
                                  << "cannot read the stamp list";
    const QByteArray reservation = reservationLine();
    QTest::newRow("record of another offset")
        << QStringList{"--stamp", "0x84:4"} << QByteArray() << reservation
        << "holds values stamped at 0x80:4 as little-endian numbers (line 1), not at 0x84:4";
    QTest::newRow("record of little-endian numbers, big now")
        << QStringList{"--stamp", "0x80:4", "--stamp-order", "big"} << QByteArray() << reservation
        << "not at 0x80:4 as big-endian numbers";
    QTest::newRow("record of numbers, a list now")
        << QStringList{"--stamp", "0x80:4", "--stamp-list", "LIST"} << QByteArray("01020304\n")
        << reservation << "name a new record for another stamp";
    // EARLIER holds the reservation above; GONE is not there.
    QTest::newRow("continues a record that is not there")
        << QStringList{"--stamp", "0x80:4", "--continues", "GONE"} << QByteArray() << QByteArray()
        << "there is no such file";
    QTest::newRow("continues, into a record with lines")
        << QStringList{"--stamp", "0x80:4", "--continues", "EARLIER"} << QByteArray() << reservation
        << "has lines already: a record continues another from its first line";
    QTest::newRow("continues a record of another stamp")
        << QStringList{"--stamp", "0x84:4", "--continues", "EARLIER"} << QByteArray()
        << QByteArray()
        << "holds values stamped at 0x80:4 as little-endian numbers (line 1), not at 0x84:4";
}

// Refused before any port opens, saying why.
void tst_FlashCli::stampUsage()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, record);
    QFETCH(QString, message);
    QTemporaryDir work;
    const QString recordPath = work.filePath("record.jsonl");
    if (!record.isEmpty())
        writeImage(work, "record.jsonl", record);
    const QString listPath =
        list == "-" ? work.filePath("missing.txt") : writeImage(work, "list.txt", list);
    args.replaceInStrings(QRegularExpression("^LIST$"), listPath);
    args.replaceInStrings(QRegularExpression("^EARLIER$"),
                          writeImage(work, "earlier.jsonl", reservationLine()));
    args.replaceInStrings(QRegularExpression("^GONE$"), work.filePath("gone.jsonl"));
    const std::vector<Board> sims = makeBoards({"good"}, work);
    for (const bool station : {false, true}) {
        QStringList all = portArgs(sims) << args << "--record" << recordPath << imagePath;
        if (station)
            all << "--station";
        const Run r = flash(all);
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(message.toLocal8Bit()), r.err);
        QVERIFY(!sims[0].sim->waitForFrames(1, 100));
    }
    // The ledger is the record: a stamp without one is refused.
    const Run r = flash(portArgs(sims) << "--stamp"
                                       << "0x80:4" << imagePath);
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains("--stamp needs --record"), r.err);
    QFile kept(recordPath);
    QCOMPARE(kept.open(QIODevice::ReadOnly) ? kept.readAll() : QByteArray(), record);
}

// A station's boards each get the next number, until the width holds no
// more: then it takes no more boards, and says so.
void tst_FlashCli::stampStation()
{
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    const QString recordPath = sockets.filePath("record.jsonl");
    QProcess *process =
        startFlash({"--station", "-p", slot, "--settle", "100", "--record", recordPath, "--stamp",
                    "0x7f:1", "--stamp-start", "0xfd", "--stamp-step", "3", "--json", imagePath});
    QByteArray out;
    {
        const auto board = plugIn(slot);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
        QVERIFY(board->waitForEndFrames(1, 2000));
        QByteArray stamped = imageData(image);
        stamped[0x3f] = char(0xfd);
        QCOMPARE(board->receivedImage(), stamped);
    }
    QTest::qWait(300);
    const auto next = plugIn(slot);
    QVERIFY(next);
    const Run r = finish(process, 10000);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains("kavro-flash: no stamp values left after 253 to 253; the station "
                            "has stopped"),
             r.err);
    QVERIFY2(r.err.contains("board 1 Download Success in ") &&
                 r.err.contains(", stamp FD (253); ") && r.err.contains("stamps used: 253 to 253"),
             r.err);
    QVERIFY(next->hostFrames().isEmpty());
    const QJsonObject board = events(jsonLines(out + r.out), "board").value(0);
    QCOMPARE(board["stamp"].toString(), QString("FD"));
    QCOMPARE(board["stamp_number"].toInt(), 253);
    QCOMPARE(recordLines(recordPath).size(), 2);
}

// A station killed with SIGKILL at random moments and started again on the
// same record, boards with random faults through three slots: no value ever
// reaches two boards, and the record accounts for every value given out.
// KAVRO_STAMP_SOAK_BOARDS and KAVRO_STAMP_SOAK_KILLS make it longer.
void tst_FlashCli::stampSoak_data()
{
    QTest::addColumn<bool>("list"); // values from a list file, not numbers
    QTest::newRow("numbers") << false;
    QTest::newRow("a list") << true;
}

void tst_FlashCli::stampSoak()
{
    QFETCH(bool, list);
    enum Fault { Good, Silent, BadReply, HangUp, Unplug, Faults };
    struct Socket {
        QString path;
        std::unique_ptr<BootSim> sim;
        Fault fault = Good;
        int unplugAfterFrames = 0;
        bool reported = true; // the board in the slot has its board event
        int boardsThisRun = 0;
    };
    const auto setting = [](const char *name, int fallback) {
        const int value = qEnvironmentVariableIntValue(name);
        return value > 0 ? value : fallback;
    };
    const int boardsInAll = setting("KAVRO_STAMP_SOAK_BOARDS", 45);
    const int kills = setting("KAVRO_STAMP_SOAK_KILLS", 4);
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("stamp-soak: seed %u", seed);
    QRandomGenerator random(seed);
    constexpr int SettleMs = 200;
    constexpr int Blocks = 40;
    constexpr int StampAt = 0x90; // in the file; block 1 of the data
    QList<int> killAt;            // boards plugged in by then
    for (int k = 0; k < kills; ++k)
        killAt << 2 + random.bounded(std::max(1, boardsInAll - 4));
    std::sort(killAt.begin(), killAt.end());

    QTemporaryDir dir;
    const QString smallPath = writeImage(dir, "small.bin", makeImage(Blocks));
    const QString recordPath = dir.filePath("record.jsonl");
    std::vector<Socket> fixture(3);
    QStringList args{"--station", "--settle", QString::number(SettleMs),
                     "--record",  recordPath, "--stamp",
                     "0x90:4",    "--json",   smallPath};
    // A list's values, 4 bytes in the file's order, far apart and in no order.
    QByteArray values("# soak\n");
    for (quint32 n = 1; n <= quint32(boardsInAll) + 10; ++n)
        values += QByteArray::number(n * 2654435761U, 16).rightJustified(8, '0') + "\n";
    args << (list ? "--stamp-list" : "--stamp-start")
         << (list ? writeImage(dir, "values.txt", values) : QString("500"));
    for (int i = 0; i < int(fixture.size()); ++i) {
        fixture[i].path = dir.filePath(QStringLiteral("slot%1").arg(i));
        args << "-p" << fixture[i].path;
    }
    QElapsedTimer clock;
    clock.start();
    QList<quint32> reached; // each board's value, as its block frame brought it
    std::unique_ptr<QProcess> process;
    QByteArray out;
    QByteArray err;
    QByteArray allErr;
    int linesSeen = 0;
    int plugged = 0;
    int killed = 0;
    int fragments = 0;
    qint64 killDueAt = -1;
    const auto unplug = [&reached, list](Socket &s) {
        s.sim->stop();
        const QByteArray value = carried(s.sim->hostFrames(), StampAt - 64, 4);
        if (!value.isEmpty())
            reached << (list ? value.toHex().toUInt(nullptr, 16) : littleEndian(value));
        s.sim.reset();
    };
    const auto idle = [&fixture] {
        return std::all_of(fixture.cbegin(), fixture.cend(),
                           [](const Socket &s) { return !s.sim && s.reported; });
    };
    // Ends with every kill made, and a station that has taken the record
    // over, also when the last kills came after the last board: its start
    // must repair what they left.
    const auto ready = [&process, &err] {
        return process && err.contains("kavro-flash: station with");
    };
    while (plugged < boardsInAll || !idle() || killed < kills || !ready()) {
        QVERIFY2(clock.elapsed() < 60000 + boardsInAll * 1500LL,
                 qPrintable(QString::number(plugged)));
        if (!process) {
            process.reset(startFlash(args));
            out.clear();
            err.clear();
            linesSeen = 0;
            for (Socket &s : fixture)
                s.boardsThisRun = 0;
        }
        process->waitForReadyRead(5);
        out += process->readAllStandardOutput();
        err += process->readAllStandardError();
        QVERIFY2(process->state() != QProcess::NotRunning, err);
        const qint64 now = clock.elapsed();
        const QList<QByteArray> lines = out.split('\n');
        for (; linesSeen < lines.size() - 1; ++linesSeen) {
            const QJsonObject event = QJsonDocument::fromJson(lines[linesSeen]).object();
            for (Socket &s : fixture) {
                if (event["event"] != "board" || event["slot"] != s.path)
                    continue;
                QVERIFY2(!s.reported, lines[linesSeen]);
                s.reported = true;
                if (s.sim)
                    unplug(s);
            }
        }
        // Not before this run has taken the record over (and cut off what the
        // last kill left): two fragments would run into one.
        if (killed < kills && killDueAt < 0 && plugged >= killAt[killed] &&
            err.contains("kavro-flash: station with"))
            killDueAt = now + random.bounded(400);
        if (killDueAt >= 0 && now >= killDueAt) {
            ::kill(pid_t(process->processId()), SIGKILL);
            process->waitForFinished();
            allErr += err + process->readAllStandardError();
            process.reset();
            for (Socket &s : fixture) {
                if (s.sim)
                    unplug(s);
                s.reported = true;
            }
            // A kill between two pages of a write leaves a line cut short:
            // the next start cuts it off.
            if (killed % 2 == 0) {
                QFile record(recordPath);
                QVERIFY(record.open(QIODevice::Append));
                record.write(R"({"board":7,"host":"vm","kind":"reserv)");
                ++fragments;
            }
            ++killed;
            killDueAt = -1;
            continue;
        }
        for (Socket &s : fixture) {
            if (s.sim && s.fault == Unplug && !s.reported &&
                s.sim->hostFrames().size() >= s.unplugAfterFrames)
                unplug(s);
            // The next board once the station has seen the last one go.
            const int removed = err.count((s.path + ": board removed").toLocal8Bit());
            if (s.sim || !s.reported || removed < s.boardsThisRun || plugged == boardsInAll)
                continue;
            s.fault = random.bounded(2) == 0 ? Good : Fault(random.bounded(int(Faults)));
            // A silent board costs the time-out: few of them.
            if (s.fault == Silent && random.bounded(3) != 0)
                s.fault = Good;
            s.sim = faultyBoard(s.path, s.fault == Silent, s.fault == BadReply, s.fault == HangUp,
                                Blocks + 2, random, &s.unplugAfterFrames);
            QVERIFY(s.sim);
            s.reported = false;
            ++s.boardsThisRun;
            ++plugged;
        }
    }
    ::kill(pid_t(process->processId()), SIGINT);
    const Run last = finish(process.release(), 5000);
    QCOMPARE(last.status, 130);
    allErr += err + last.err;
    const qint64 seconds = clock.elapsed() / 1000;

    QSet<quint32> distinct(reached.cbegin(), reached.cend());
    QCOMPARE(distinct.size(), reached.size());
    QSet<QString> reserved;
    for (const QJsonObject &line : recordLines(recordPath, "reservation")) {
        QVERIFY2(!reserved.contains(line["stamp"].toString()),
                 qPrintable(line["stamp"].toString()));
        reserved.insert(line["stamp"].toString());
    }
    for (const quint32 value : reached)
        QVERIFY(reserved.contains(QString("%1").arg(value, 8, 16, QChar('0')).toUpper()));
    QSet<QString> succeeded;
    for (const QJsonObject &line : recordLines(recordPath, "")) {
        if (line["outcome"] != "Download Success")
            continue;
        const QString value = line["stamp"].toString();
        QVERIFY(reserved.contains(value));
        QVERIFY(distinct.contains(value.toUInt(nullptr, 16)));
        QVERIFY(line["stamp_acknowledged"].toBool());
        succeeded.insert(value);
    }
    const Run checked = flash({"--check-record", recordPath, "--json"});
    QCOMPARE(checked.status, 0);
    const QJsonObject report = jsonLines(checked.out).value(0);
    QVERIFY(report["intact"].toBool());
    const QJsonObject stamps = report["stamps"].toObject();
    QCOMPARE(stamps["reservations"].toInt(), reserved.size());
    QCOMPARE(stamps["stamped_successes"].toInt(), succeeded.size());
    QSet<QString> burnt;
    for (const QJsonValue &value : stamps["burnt"].toArray())
        burnt.insert(value["stamp"].toString());
    QCOMPARE(burnt, reserved - succeeded);
    std::printf("stamp-soak: boards=%d kills=%d reserved=%d successes=%d burnt=%d "
                "repairs=%d seconds=%lld seed=%u\n",
                plugged, killed, int(reserved.size()), int(succeeded.size()), int(burnt.size()),
                int(allErr.count("cut short")), seconds, seed);
    std::fflush(stdout);
    QCOMPARE(killed, kills);
    QCOMPARE(int(allErr.count("cut short")), fragments);
}

// `boards` stamped boards (values from 1), as a version before checkpoints
// wrote them: record format 2, no checkpoint.
bool writeFormat2Record(const QString &path, int boards)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    Stamp::Plan plan;
    QString error;
    Stamp::parseField("0x80:4", &plan, &error);
    const Record::RunImage image{"firmware.bin", "ab", plan, {}};
    const QDateTime time = QDateTime::fromString("2026-01-05T08:00:00Z", Qt::ISODate);
    QByteArray prev;
    const auto put = [&](Record::Line line) {
        line.format = 2;
        line.tool = "0.9";
        line.host = "h";
        line.prev = prev;
        const QByteArray text = line.text();
        prev = QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
        return file.write(text + '\n') == text.size() + 1;
    };
    for (int n = 1; n <= boards; ++n) {
        const Stamp::Value value{QByteArray(4, '\0'), quint64(n), 0};
        Record::Line reservation;
        reservation.kind = Record::Line::Kind::Reservation;
        reservation.reservation = {
            time,         "s",          n,        value.hex(), value.numberJson(), 0,
            plan.field(), plan.order(), QString()};
        const Record::SessionEnd end{"Download Success", 0, true, 40, 1000, {}};
        Record::Line board;
        board.board = Record::boardLine({n, "s", {}, end, value, "cd"}, image, time);
        if (!put(reservation) || !put(board))
            return false;
    }
    return true;
}

// A start on a long record of the format before checkpoints reads it whole
// once and writes one. Killed at random moments of that, and left with a
// checkpoint cut short as a kill in the middle of its write leaves one, the
// record loses nothing: the next start goes on after the last value, and
// the record checks out whole.
void tst_FlashCli::checkpointKill()
{
    constexpr int Boards = 3000;
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("checkpoint-kill: seed %u", seed);
    QRandomGenerator random(seed);
    QTemporaryDir dir;
    const QString recordPath = dir.filePath("record.jsonl");
    QVERIFY(writeFormat2Record(recordPath, Boards));
    const QString slot = dir.filePath("slot");
    const QStringList args{"--station", "-p",     slot,     "--record", recordPath,
                           "--stamp",   "0x80:4", "--json", imagePath};
    Record::Chain chain;
    Record::Line checkpoint = chain.checkpoint(QDateTime::currentDateTimeUtc());
    const QByteArray checkpointText = chain.link(&checkpoint);
    int fragments = 0;
    for (int kill = 0; kill < 8; ++kill) {
        std::unique_ptr<QProcess> process(startFlash(args));
        QTest::qWait(random.bounded(200));
        ::kill(pid_t(process->processId()), SIGKILL);
        QVERIFY(process->waitForFinished(5000));
        if (kill % 2 == 1) {
            QFile record(recordPath);
            QVERIFY(record.open(QIODevice::Append));
            record.write(checkpointText.left(1 + random.bounded(checkpointText.size() - 1)));
            ++fragments;
        }
    }
    QProcess *process = startFlash(args);
    QByteArray out;
    {
        const auto board = plugIn(slot);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
    }
    ::kill(pid_t(process->processId()), SIGINT);
    const Run r = finish(process, 5000);
    QCOMPARE(r.status, 130);
    QCOMPARE(events(jsonLines(out + r.out), "board").value(0)["stamp_number"].toInt(), Boards + 1);
    const QList<QJsonObject> checkpoints = recordLines(recordPath, "checkpoint");
    QVERIFY(!checkpoints.isEmpty());
    QCOMPARE(checkpoints.last()["stamp"].toObject()["stamp_number"].toInt(), Boards);
    const Run checked = flash({"--check-record", recordPath, "--json"});
    const QJsonObject report = jsonLines(checked.out).value(0);
    QVERIFY2(checked.status == 0, checked.out);
    QVERIFY(report["intact"].toBool());
    QCOMPARE(report["checkpoints"].toObject()["differing"].toInt(), 0);
    QCOMPARE(report["stamps"].toObject()["reservations"].toInt(), Boards + 1);
    QVERIFY(report["stamps"].toObject()["reserved_twice"].toArray().isEmpty());
    std::printf("checkpoint-kill: checkpoints=%d fragments=%d seed=%u\n", int(checkpoints.size()),
                fragments, seed);
}

// A job written from a command line, run as a station: its record lines
// name it, and nothing the job fixes can be changed when it runs.
void tst_FlashCli::job()
{
    QTemporaryDir jobs;
    const QString slot = jobs.filePath("socket");
    const QString firmware = jobs.filePath("fw/board.bin");
    const QString jobPath = jobs.filePath("line1.toml");
    QVERIFY(plant(firmware, image));
    const QStringList written = {"--write-job", jobPath,    "--station",
                                 "-p",          slot,       "--settle",
                                 "100",         "--record", jobs.filePath("record.jsonl"),
                                 firmware};
    Run r = flash(written);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains(sha256Of(image).toLatin1()), r.out);
    QCOMPARE(flash(written).status, 2); // never over a job that is there
    QFile jobFile(jobPath);
    QVERIFY(jobFile.open(QIODevice::ReadOnly));
    const QByteArray jobText = jobFile.readAll();
    QVERIFY2(jobText.contains("image = 'fw/board.bin'") && jobText.contains("station = true") &&
                 jobText.contains("record = 'record.jsonl'"),
             jobText);

    r = flash({"--job", jobPath, "-b", "256000"});
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains("--baud: the job " + jobPath.toUtf8() + " fixes baud"), r.err);
    r = flash({"--job", jobPath, imagePath});
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains("the job " + jobPath.toUtf8() + " fixes image"), r.err);

    QProcess *process = startFlash({"--job", jobPath, "--count", "1", "--json"});
    QByteArray out;
    {
        const auto board = plugIn(slot);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
    }
    r = finish(process);
    QCOMPARE(r.status, 0);
    const QJsonObject line = recordLines(jobs.filePath("record.jsonl"), "").value(0);
    QCOMPARE(line["job"].toString(), QString("line1"));
    QCOMPARE(line["job_sha256"].toString(), sha256Of(jobText));
    QVERIFY(line["job_quantity"].isNull());
    r = flash({"--check-record", jobs.filePath("record.jsonl")});
    QVERIFY2(r.out.contains("job line1: 1 boards, 1 succeeded, yield 100.0%, no quantity, 1 "
                            "version of the job file\n"),
             r.out);

    // Another image under the job's name: refused before any port opens.
    QVERIFY(plant(firmware, makeImage(30)));
    const auto board = plugIn(slot);
    QVERIFY(board);
    r = flash({"--job", jobPath});
    QCOMPARE(r.status, 3);
    QVERIFY2(r.err.contains("its SHA-256 is " + sha256Of(makeImage(30)).toLatin1() + ", the job " +
                            jobPath.toUtf8() + " wants " + sha256Of(image).toLatin1()),
             r.err);
    QVERIFY(board->hostFrames().isEmpty());
}

// The lot's size holds across restarts of the station, and a station that
// reaches it stops by itself, as a success.
void tst_FlashCli::jobQuantity()
{
    QTemporaryDir jobs;
    const QString slot = jobs.filePath("socket");
    QVERIFY(!writeImage(jobs, "fw.bin", image).isEmpty());
    const QByteArray text = "name = \"lot7\"\nimage = \"fw.bin\"\nimage_sha256 = \"" +
                            sha256Of(image).toLatin1() +
                            "\"\nstation = true\nsettle_ms = 100\nrecord = \"r.jsonl\"\n"
                            "quantity = 2\n";
    const QString jobPath = writeImage(jobs, "lot7.toml", text);
    // One board in a run that is stopped after it, one in the next, which
    // reaches the quantity.
    for (int run = 0; run < 2; ++run) {
        QProcess *process = startFlash(QStringList{"--job", jobPath, "-p", slot, "--json"} +
                                       (run == 0 ? QStringList{"--count", "1"} : QStringList()));
        QByteArray out;
        const auto board = plugIn(slot);
        QVERIFY(board);
        QVERIFY2(waitForBoardEvents(process, out, 1), out);
        const Run r = finish(process, 20000);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err.contains("the job lot7 has reached its quantity of 2 boards; the station "
                                "has stopped"),
                 run == 1);
    }
    const auto board = plugIn(slot);
    QVERIFY(board);
    const Run r = flash({"--job", jobPath, "-p", slot});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains("has reached its quantity"), r.err);
    QVERIFY(board->hostFrames().isEmpty());
    QCOMPARE(recordLines(jobs.filePath("r.jsonl"), "").size(), 2);
    QCOMPARE(recordLines(jobs.filePath("r.jsonl"), "").value(1)["job_quantity"].toInt(), 2);
}

void tst_FlashCli::sequences_data()
{
    QTest::addColumn<bool>("shim");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("shown"); // in the board's end line
    QTest::addColumn<int>("entries");   // into the boot loader
    QTest::addColumn<int>("starts");    // of the firmware

    const QStringList both = {"--enter", "dtr=1,rts=1 wait=20 rts=0 wait=10 dtr=0", "--leave",
                              "rts=1 wait=20 rts=0"};
    QTest::newRow("pty without modem lines")
        << false << both << 4
        << "CanNOT Open Serial (entering the boot loader: step 1 'dtr=1,rts=1': the driver has "
           "no modem lines (TIOCMGET: Inappropriate ioctl for device))"
        << 0 << 0;
    QTest::newRow("leave alone, without modem lines")
        << false << QStringList{"--leave", "rts=1 rts=0"} << 4
        << "CanNOT Open Serial (before leaving the boot loader: the driver has no modem lines "
           "(TIOCMGET: Inappropriate ioctl for device))"
        << 0 << 0;
    QTest::newRow("into the boot loader and out")
        << true << both << 0 << "Download Success" << 1 << 1;
    QTest::newRow("no sequence: held in reset")
        << true << QStringList() << 5 << "Download TimeOut" << 0 << 0;
    QTest::newRow("reset without the boot pin")
        << true << QStringList{"--enter", "rts=1 wait=5 rts=0"} << 5 << "Download TimeOut" << 0
        << 1;
}

// A board held in reset answers only once a sequence has let it into its
// boot loader; a port without modem lines fails before any frame.
void tst_FlashCli::sequences()
{
    QFETCH(bool, shim);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, shown);
    QFETCH(int, entries);
    QFETCH(int, starts);
    QTemporaryDir linkDir;
    const QString lines = linkDir.filePath("lines");
    BootSimOptions o;
    o.linkPath = linkDir.filePath("board");
    o.modemLinesPath = shim ? lines : QString();
    BootSim board(o);
    QVERIFY(board.start());
    const Run r = finish(
        startFlash(QStringList{"-p", o.linkPath, "--json"} + options + QStringList{imagePath},
                   QString(), shim ? withModemShim(lines) : nullptr));
    QCOMPARE(r.status, status);
    QVERIFY2(r.err.contains((o.linkPath + ": " + shown).toUtf8()), r.err);
    if (status == 4)
        QVERIFY(board.transcript().isEmpty());
    if (status == 0) {
        QVERIFY(board.waitForEndFrames(1, 2000));
        QCOMPARE(board.receivedImage(), imageData(image));
    }
    QTRY_COMPARE(board.firmwareStarts(), starts);
    QCOMPARE(board.bootLoaderEntries(), entries);
    // Each step in the board's end event, with its time.
    const QJsonObject end = events(jsonLines(r.out), "end").value(0);
    if (status == 0) {
        QCOMPARE(end["enter"]["steps"].toArray().size(), 5);
        QCOMPARE(end["leave"]["steps"].toArray().size(), 3);
        QVERIFY(end["enter"]["steps"][1]["took_ms"].toDouble() >= 20);
    }
}

// Each step of a sequence is one call, in order, each wait at least as long
// as asked, as strace sees the real flasher make them.
void tst_FlashCli::sequenceTrace()
{
    if (QStandardPaths::findExecutable("strace").isEmpty())
        QSKIP("no strace");
    QTemporaryDir linkDir;
    const QString lines = linkDir.filePath("lines");
    const QString trace = linkDir.filePath("trace");
    BootSimOptions o;
    o.linkPath = linkDir.filePath("board");
    o.modemLinesPath = lines;
    BootSim board(o);
    QVERIFY(board.start());
    QProcess process;
    // The shim goes to the flasher alone, not to strace; a leak check cannot
    // run under a tracer, and the other tests make it.
    QProcessEnvironment env = preloading(QString());
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + QStringLiteral(":detect_leaks=0"));
    env.insert("KAVRO_MODEM_LINES", lines);
    process.setProcessEnvironment(env);
    process.start("strace", {"-f", "-tt", "-e", "trace=ioctl", "-o", trace, "-E",
                             QStringLiteral("LD_PRELOAD=") + MODEMSHIM, KAVRO_FLASH, "-q", "-p",
                             o.linkPath, "--enter", "dtr=1,rts=1 wait=100 rts=0 wait=50 dtr=0",
                             "--leave", "rts=1 wait=100 rts=0", imagePath});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QFile file(trace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList calls;
    QList<double> at; // seconds since midnight
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QRegularExpression call(
            "^\\d+\\s+(\\d+):(\\d+):([\\d.]+) ioctl\\(\\d+, (TIOCMGET|TIOCMSET, \\[[^\\]]*\\])");
        const QRegularExpressionMatch m = call.match(QString::fromLatin1(line));
        if (!m.hasMatch())
            continue;
        calls << m.captured(4);
        at << m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toDouble();
    }
    QCOMPARE(calls,
             QStringList({"TIOCMGET", "TIOCMSET, [TIOCM_DTR|TIOCM_RTS]", "TIOCMSET, [TIOCM_DTR]",
                          "TIOCMSET, [0]", "TIOCMGET", "TIOCMSET, [TIOCM_RTS]", "TIOCMSET, [0]"}));
    // Only "at least": how much longer a wait took is reported, never judged.
    const struct {
        int from;
        int ms;
    } waits[] = {{1, 100}, {2, 50}, {5, 100}};
    for (const auto &wait : waits) {
        const double took = (at[wait.from + 1] - at[wait.from]) * 1000;
        QVERIFY2(took >= wait.ms, qPrintable(QString::number(took)));
        qInfo("wait=%d between calls %d and %d took %.3f ms, %.3f ms more", wait.ms, wait.from + 1,
              wait.from + 2, took, took - wait.ms);
    }
}

QTEST_GUILESS_MAIN(tst_FlashCli)
#include "tst_flashcli.moc"
