// The command-line flasher, run as a program against simulated boards on
// pseudo-terminals: outcomes, exit statuses, its JSON Lines and signals.

#include "serial/serialport.h"
#include "sessionfixture.h"
#include "sim/bootsim.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <memory>
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

QProcess *startFlash(const QStringList &args, const QString &extraPorts = QString())
{
    auto *process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
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

// A board per description: "good", "silent", "hangup:K", "delay:MS", "held"
// (opened by another program first) or "missing" (no such device).
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

// Plugs a simulated board into a station slot: its port appears under the
// slot's name and vanishes when the board goes.
std::unique_ptr<BootSim> plugIn(const QString &slot, const BootSimOptions &options = {})
{
    BootSimOptions o = options;
    o.linkPath = slot;
    auto sim = std::make_unique<BootSim>(o);
    return sim->start() ? std::move(sim) : nullptr;
}

} // namespace

class tst_FlashCli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void boards_data();
    void boards();
    void badImage_data();
    void badImage();
    void usage_data();
    void usage();
    void interrupt_data();
    void interrupt();
    void listing();
    void station();
    void stationImageChanged();
    void stationInterrupt();
    void stationRecordFails();

private:
    QTemporaryDir dir;
    QByteArray image;
    QString imagePath;
};

void tst_FlashCli::initTestCase()
{
    image = makeImage(300, 17);
    imagePath = writeImage(dir, "firmware.bin", image);
    QVERIFY(!imagePath.isEmpty());
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
    QTest::newRow("no such port") << QStringList{"missing"} << false << 4
                                  << QStringList{"CanNOT Open Serial"};
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
        QVERIFY2(human.contains((port + ": " + outcomes[i] + ", ").toLocal8Bit()), human);
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
    const Run r = flash({"--list"}, "/dev/pts/kavro-a:/dev/pts/kavro-b");
    QCOMPARE(r.status, 0);
    const QList<QByteArray> lines = r.out.split('\n');
    QCOMPARE(lines.value(0), QByteArray("/dev/pts/kavro-a"));
    QCOMPARE(lines.value(1), QByteArray("/dev/pts/kavro-b"));
}

// Five boards through two slots, one of them failing: each flashed once
// while it stays plugged in, each in the record, and --count ends the run.
void tst_FlashCli::station()
{
    QTemporaryDir sockets;
    const QString a = sockets.filePath("socket-a");
    const QString b = sockets.filePath("socket-b");
    const QString recordPath = sockets.filePath("record.jsonl");
    QFile earlier(recordPath);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("{\"earlier\":true}\n");
    earlier.close();

    QProcess *process = startFlash({"--station", "-p", a, "-p", b, "--count", "5", "--record",
                                    recordPath, "--json", imagePath});
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
        QCOMPARE(boards[n]["serial"].toInt(), n + 1);
        QCOMPARE(boards[n]["exit_code"].toInt(), plugs[n].second ? 0 : 1);
    }
    const QJsonObject summary = events(lines, "summary").value(0);
    QCOMPARE(summary["succeeded"].toInt(), 4);
    QCOMPARE(summary["failed"].toInt(), 1);

    QFile recordFile(recordPath);
    QVERIFY(recordFile.open(QIODevice::ReadOnly));
    const QList<QJsonObject> record = jsonLines(recordFile.readAll());
    QCOMPARE(record.size(), 6);
    QVERIFY(record[0]["earlier"].toBool());
    const QString sha = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
    for (int n = 1; n < record.size(); ++n) {
        QCOMPARE(record[n]["slot"].toString(), plugs[n - 1].first);
        QCOMPARE(record[n]["outcome"].toString(),
                 QString(plugs[n - 1].second ? "Download Success" : "Download stop"));
        QCOMPARE(record[n]["sha256"].toString(), sha);
        QCOMPARE(record[n]["image"].toString(), QString("firmware.bin"));
        QVERIFY(QDateTime::fromString(record[n]["time"].toString(), Qt::ISODateWithMs).isValid());
    }
}

// An image replaced on disk is never written: the next board finds the
// station stopped.
void tst_FlashCli::stationImageChanged()
{
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    const QString path = writeImage(sockets, "changing.bin", image);
    QProcess *process = startFlash({"--station", "-p", slot, "--json", path});
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

// A board flashed without its record is worse than a halted line.
void tst_FlashCli::stationRecordFails()
{
    QTemporaryDir sockets;
    const QString slot = sockets.filePath("socket");
    QProcess *process =
        startFlash({"--station", "-p", slot, "--record", "/dev/full", "--json", imagePath});
    const auto board = plugIn(slot);
    QVERIFY(board);
    const Run r = finish(process, 5000);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains("cannot write the record /dev/full"), r.err);
    QCOMPARE(events(jsonLines(r.out), "board").size(), 1);
}

QTEST_GUILESS_MAIN(tst_FlashCli)
#include "tst_flashcli.moc"
