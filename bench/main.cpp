// Download speed benchmark.
//
// Whole downloads against an in-process simulated board on a pseudo-terminal,
// through the real serial port layer, in two ways: the download worker alone,
// driven from the GUI thread, and the whole window, driven as a user would;
// then the worker alone again, behind simulated USB serial adapters' latency
// timers, on a smaller image.
// The line's stop-and-wait limit is one 71-byte frame plus its 6-byte reply
// per block; whatever the host adds between a reply and the next block frame
// is overhead.

#include "app/mainwindow.h"
#include "cli/boardgang.h"
#include "download/deviceframe.h"
#include "download/firmwareimage.h"
#include "download/outcome.h"
#include "download/uploadthread.h"
#include "sim/bootsim.h"

#include <QApplication>
#include <QBrush>
#include <QComboBox>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr int WireBitsPerBlock = (DeviceFrame::BlockFrameSize + DeviceFrame::ReplySize) * 10;
constexpr int Bauds[] = {115200, 256000};
constexpr int BaudCount = 2;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double wireNsPerBlock(int baud)
{
    return WireBitsPerBlock * 1e9 / baud;
}

constexpr int GangBaud = 256000;
constexpr int GangSizes[] = {1, 4, 8};

// USB serial adapters' latency timers: the common default, a lowered one and
// the lowest. Every block waits for a tick, so a small image says enough.
constexpr int AdapterLatenciesMs[] = {16, 4, 1};
constexpr int AdapterLatencyCount = 3;
constexpr int AdapterBlocks = 200;

// Sessions that hang must not hang the benchmark: generous room over the
// line time, then the session is cancelled.
int sessionTimeoutMs(int blocks, int wireBaud, int adapterLatencyMs = 0)
{
    const double perBlockMs =
        (wireBaud > 0 ? 4 * wireNsPerBlock(wireBaud) / 1e6 : 5.0) + adapterLatencyMs;
    return 15000 + int(blocks * perBlockMs);
}

QByteArray makeImage(int blocks)
{
    QByteArray image("Zentrak");
    image.append(QByteArray(FirmwareImage::HeaderSize - image.size(), '\0'));
    for (int k = 0; k < blocks * FirmwareImage::BlockSize; ++k)
        image.append(static_cast<char>((k * 131 + k / 256) & 0xFF));
    return image;
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank.
double percentile(QVector<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int rank = std::max(1, int(std::ceil(p * values.size())));
    return values[std::min(rank, int(values.size())) - 1];
}

// VmHWM; getrusage where /proc is not there.
double peakRssMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// Lets each way report its own peak rather than the process's so far.
bool resetPeakRss()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

// Stamps the block phase in the worker thread itself: a queued delivery would
// add however long the GUI thread happens to be busy.
class SessionClock : public QObject
{
public:
    explicit SessionClock(uploadThread *worker)
    {
        connect(
            worker, &uploadThread::setProgress, this,
            [this](int) {
                qint64 unset = -1;
                firstBlockNs.compare_exchange_strong(unset, nowNs());
            },
            Qt::DirectConnection);
        connect(
            worker, &uploadThread::setFinish, this,
            [this](const char *text) {
                finishNs = nowNs();
                finishText = text;
            },
            Qt::DirectConnection);
    }

    std::atomic<qint64> firstBlockNs{-1};
    std::atomic<qint64> finishNs{-1};
    std::atomic<const char *> finishText{nullptr};
};

// What the pseudo-terminal alone costs: a plain echo, no Qt and no threads
// but the two ends, passing a block frame one way and a reply back, with the
// same poll/read/write the board and the serial layer use. Every turnaround
// above includes one such round trip; the rest is the host's own.
class PtyFloor
{
public:
    // Median round trip in microseconds, or a negative value if no pty.
    static double measure(int rounds)
    {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0)
            return -1;
        int slave = -1;
        if (grantpt(master) == 0 && unlockpt(master) == 0)
            slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        if (slave < 0) {
            ::close(master);
            return -1;
        }
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);

        std::thread board([master, rounds] {
            char frame[DeviceFrame::BlockFrameSize];
            const char reply[DeviceFrame::ReplySize] = {};
            for (int r = 0; r < rounds; ++r) {
                if (!readExactly(master, frame, sizeof frame) ||
                    ::write(master, reply, sizeof reply) != sizeof reply)
                    return;
            }
        });
        QVector<double> trips;
        char frame[DeviceFrame::BlockFrameSize] = {};
        char reply[DeviceFrame::ReplySize];
        for (int r = 0; r < rounds; ++r) {
            const qint64 start = nowNs();
            if (::write(slave, frame, sizeof frame) != sizeof frame ||
                !readExactly(slave, reply, sizeof reply))
                break;
            trips.append((nowNs() - start) / 1000.0);
        }
        ::close(slave); // ends the board's read if the host gave up early
        board.join();
        ::close(master);
        return trips.size() == rounds ? median(trips) : -1;
    }

private:
    static bool readExactly(int fd, char *data, int size)
    {
        int got = 0;
        while (got < size) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return false;
            const ssize_t n = ::read(fd, data + got, static_cast<size_t>(size - got));
            if (n <= 0)
                return false;
            got += static_cast<int>(n);
        }
        return true;
    }
};

struct Job {
    int blocks = 0;
    QString imagePath;
    QByteArray data; // what the board must end up with
};

// Fills in the job's image path and the data the board must end up with.
bool writeImage(const QTemporaryDir &dir, const QString &name, Job &job)
{
    const QByteArray image = makeImage(job.blocks);
    job.imagePath = dir.filePath(name);
    job.data = image.mid(FirmwareImage::HeaderSize);
    QFile file(job.imagePath);
    return file.open(QIODevice::WriteOnly) && file.write(image) == image.size();
}

struct Sample {
    QString error; // empty for a good session
    double blockPhaseNs = 0;
    QVector<double> turnaroundUs; // blocks 2..N
};

// A session counts only if it succeeded and the board holds the whole image.
Sample judge(BootSim &sim, const Job &job, const SessionClock &clock, int endFramesBefore,
             bool timedOut)
{
    Sample s;
    const char *text = clock.finishText;
    if (timedOut) {
        s.error = QStringLiteral("session did not end in time");
        return s;
    }
    if (Outcome::fromText(text) != &Outcome::Success) {
        s.error = QStringLiteral("session ended with \"%1\"")
                      .arg(QString::fromLatin1(text ? text : "no finish"));
        return s;
    }
    if (!sim.waitForEndFrames(endFramesBefore + 1, 2000) || sim.receivedImage() != job.data) {
        s.error = QStringLiteral("the board did not receive the image");
        return s;
    }
    const QVector<qint64> turnaround = sim.turnaroundNs();
    if (turnaround.size() != job.blocks) {
        s.error =
            QStringLiteral("%1 turnarounds for %2 blocks").arg(turnaround.size()).arg(job.blocks);
        return s;
    }
    // The first block also waits for the image to be opened and checked.
    for (int i = 1; i < turnaround.size(); ++i)
        s.turnaroundUs.append(turnaround[i] / 1000.0);
    s.blockPhaseNs = double(clock.finishNs - clock.firstBlockNs);
    return s;
}

void prepareBoard(BootSim &sim, int wireBaud, int adapterLatencyMs = 0)
{
    BootSimOptions options;
    options.wireBaud = wireBaud;
    options.adapterLatencyMs = adapterLatencyMs;
    sim.setOptions(options);
    sim.clearLog();
}

// Per board setting (instant, then each wire rate) and way, one value per
// run for each measure.
struct SettingResult {
    QVector<double> usPerBlock, share, turnMedianUs, turnP99Us, turnMeanUs, restUs;
};

struct WayResult {
    SettingResult settings[1 + BaudCount];
    double peakMiB = 0;
};

double mean(const QVector<double> &values)
{
    return values.isEmpty() ? 0
                            : std::accumulate(values.begin(), values.end(), 0.0) / values.size();
}

void record(WayResult &result, const Job &job, int setting, const Sample &s)
{
    SettingResult &r = result.settings[setting + 1];
    const double wireNs = setting < 0 ? 0 : wireNsPerBlock(Bauds[setting]);
    const double usPerBlock = s.blockPhaseNs / job.blocks / 1000;
    r.usPerBlock.append(usPerBlock);
    if (setting >= 0)
        r.share.append(job.blocks * wireNs / s.blockPhaseNs);
    r.turnMedianUs.append(median(s.turnaroundUs));
    r.turnP99Us.append(percentile(s.turnaroundUs, 0.99));
    r.turnMeanUs.append(mean(s.turnaroundUs));
    // What neither the line nor the host's turnaround explains: the board's
    // own reaction (late wake-up, reply write) and the end frame and close.
    r.restUs.append(usPerBlock - wireNs / 1000 - mean(s.turnaroundUs));
}

void reportSession(const char *way, int run, int setting, const Sample &s, int blocks)
{
    const QByteArray what =
        setting < 0 ? QByteArray("instant") : QByteArray::number(Bauds[setting]) + " baud";
    std::printf("  %-12s run %d  %-11s  block phase %9.1f ms  turnaround median %6.1f us", way, run,
                what.constData(), s.blockPhaseNs / 1e6, median(s.turnaroundUs));
    if (setting >= 0)
        std::printf("  share %.3f", blocks * wireNsPerBlock(Bauds[setting]) / s.blockPhaseNs);
    std::printf("\n");
    std::fflush(stdout);
}

// Runs every session of one way: per run, an instant board, then the wire
// rates. `session(wireBaud)` runs one download.
template <typename Session>
bool runWay(const char *way, const Job &job, int runs, WayResult &result, QString *error,
            Session session)
{
    for (int run = 1; run <= runs; ++run) {
        for (int setting = -1; setting < BaudCount; ++setting) {
            const Sample s = session(setting < 0 ? 0 : Bauds[setting]);
            if (!s.error.isEmpty()) {
                *error = QStringLiteral("%1: %2").arg(QLatin1String(way), s.error);
                return false;
            }
            record(result, job, setting, s);
            reportSession(way, run, setting, s, job.blocks);
        }
    }
    result.peakMiB = peakRssMiB();
    return true;
}

// The worker on its own, as the window would drive it, without the window.
Sample workerSession(uploadThread &worker, BootSim &sim, const Job &job, int wireBaud,
                     int adapterLatencyMs = 0)
{
    prepareBoard(sim, wireBaud, adapterLatencyMs);
    worker.setComName(sim.slavePath().toLocal8Bit().constData());
    worker.setBaud(wireBaud > 0 ? wireBaud : Bauds[0]);
    worker.setFileName(job.imagePath.toLocal8Bit().constData());

    SessionClock clock(&worker);
    const int endFramesBefore = sim.endFrames();
    QEventLoop loop;
    bool timedOut = false;
    // finished() is queued behind every signal of the session.
    QObject::connect(&worker, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(sessionTimeoutMs(job.blocks, wireBaud, adapterLatencyMs), &loop,
                       [&worker, &timedOut] {
                           timedOut = true;
                           worker.stopDownload();
                       });
    worker.start();
    loop.exec();
    worker.wait();
    return judge(sim, job, clock, endFramesBefore, timedOut);
}

bool workerWay(const Job &job, int runs, WayResult &result, QString *error)
{
    BootSim sim;
    QString simError;
    if (!sim.start(&simError)) {
        *error = QStringLiteral("worker alone: board: ") + simError;
        return false;
    }
    uploadThread worker;
    return runWay("worker alone", job, runs, result, error,
                  [&](int wireBaud) { return workerSession(worker, sim, job, wireBaud); });
}

// The worker alone behind a simulated adapter, per latency timer and rate:
// share of the wire limit and ms per block, one value per run.
struct AdapterResult {
    QVector<double> share, msPerBlock;
};
using AdapterResults = AdapterResult[AdapterLatencyCount][BaudCount];

bool adapterWay(const Job &job, int runs, AdapterResults &results, QString *error)
{
    BootSim sim;
    if (!sim.start(error)) {
        *error = QStringLiteral("adapter: board: ") + *error;
        return false;
    }
    uploadThread worker;
    for (int run = 1; run <= runs; ++run) {
        for (int l = 0; l < AdapterLatencyCount; ++l) {
            for (int b = 0; b < BaudCount; ++b) {
                const Sample s = workerSession(worker, sim, job, Bauds[b], AdapterLatenciesMs[l]);
                if (!s.error.isEmpty()) {
                    *error = QStringLiteral("adapter: ") + s.error;
                    return false;
                }
                const double share = job.blocks * wireNsPerBlock(Bauds[b]) / s.blockPhaseNs;
                const double msPerBlock = s.blockPhaseNs / job.blocks / 1e6;
                results[l][b].share.append(share);
                results[l][b].msPerBlock.append(msPerBlock);
                std::printf("  %-12s run %d  %2d ms timer  %6d baud  %6.2f ms per block  "
                            "share %.3f\n",
                            "adapter", run, AdapterLatenciesMs[l], Bauds[b], msPerBlock, share);
                std::fflush(stdout);
            }
        }
    }
    return true;
}

void printAdapterTable(const AdapterResults &results, int blocks)
{
    std::printf("\nworker alone behind a USB serial adapter's latency timer, %d blocks "
                "(medians over runs)\n",
                blocks);
    std::printf("  %-12s%10s%16s%22s\n", "timer (ms)", "baud", "ms per block",
                "share of wire limit");
    for (int l = 0; l < AdapterLatencyCount; ++l) {
        for (int b = 0; b < BaudCount; ++b)
            std::printf("  %-12d%10d%16.2f%22.3f\n", AdapterLatenciesMs[l], Bauds[b],
                        median(results[l][b].msPerBlock), median(results[l][b].share));
    }
    std::printf("  each reply waits for the timer's next tick; the wire limit is %.3f ms per "
                "block\n    at %d baud and %.3f at %d\n",
                wireNsPerBlock(Bauds[0]) / 1e6, Bauds[0], wireNsPerBlock(Bauds[1]) / 1e6, Bauds[1]);
}

// The window with the board as its first port, picked up from the port
// list, and the image chosen through the open-file dialog.
class WindowDriver
{
public:
    explicit WindowDriver(MainWindow &window) : window(window)
    {
        baudBox = window.findChild<QComboBox *>(QStringLiteral("baudRateComboBox"));
        fileBox = window.findChild<QLineEdit *>(QStringLiteral("binFileNameBrowser"));
        downloadBtn = window.findChild<QPushButton *>(QStringLiteral("downloadBtn"));
    }

    bool found() const { return baudBox && fileBox && downloadBtn; }

    bool chooseImage(const QString &path)
    {
        // Answers the dialog as soon as it is up, inside its own event loop.
        QTimer answer;
        answer.setInterval(0);
        QObject::connect(&answer, &QTimer::timeout, &answer, [&answer, path] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            answer.stop();
            dialog->selectFile(path);
            // QFileDialog's own accept() checks the file; it is reached
            // through QDialog's public one.
            static_cast<QDialog *>(dialog)->accept();
        });
        answer.start();
        QMetaObject::invokeMethod(&window, "on_openBinFileBtn_clicked");
        answer.stop();
        return fileBox->text() == path && downloadBtn->isEnabled();
    }

    bool chooseBaud(int baud)
    {
        const int index = baudBox->findText(QString::number(baud));
        baudBox->setCurrentIndex(index);
        return index >= 0 && window.downloadWorker()->baudSetting() == baud;
    }

    Sample session(BootSim &sim, const Job &job, int wireBaud)
    {
        prepareBoard(sim, wireBaud);
        Sample failed;
        if (!chooseBaud(wireBaud > 0 ? wireBaud : Bauds[0])) {
            failed.error = QStringLiteral("cannot choose the baud rate");
            return failed;
        }
        uploadThread *worker = window.downloadWorker();
        SessionClock clock(worker);
        const int endFramesBefore = sim.endFrames();
        QEventLoop loop;
        bool timedOut = false;

        // The session's end shows a modal box from the window's finish slot,
        // which then waits for the worker. Polling for it starts only once
        // the finish is on its way, so no timer runs in the GUI thread while
        // blocks go out.
        QTimer closer;
        closer.setInterval(0);
        QObject::connect(&closer, &QTimer::timeout, &closer, [&closer, &loop] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            closer.stop();
            box->accept();
            // Delivered once the finish slot has returned to our loop.
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
        });
        QObject::connect(worker, &uploadThread::setFinish, &closer,
                         [&closer](const char *) { closer.start(); });
        // A session that never started has no finish to wait for.
        QTimer::singleShot(sessionTimeoutMs(job.blocks, wireBaud), &loop,
                           [worker, &timedOut, &loop] {
                               timedOut = true;
                               worker->stopDownload();
                               if (!worker->isRunning())
                                   loop.quit();
                           });

        downloadBtn->click();
        loop.exec();
        return judge(sim, job, clock, endFramesBefore, timedOut);
    }

private:
    MainWindow &window;
    QComboBox *baudBox = nullptr;
    QLineEdit *fileBox = nullptr;
    QPushButton *downloadBtn = nullptr;
};

bool windowWay(const Job &job, int runs, WayResult &result, QString *error)
{
    BootSim sim;
    QString simError;
    if (!sim.start(&simError)) {
        *error = QStringLiteral("window path: board: ") + simError;
        return false;
    }
    // The port list is read while the window is built.
    qputenv("KAVRO_EXTRA_PORTS", QFile::encodeName(sim.slavePath()));
    MainWindow window;
    // Painted like the program's own window: the background picture makes
    // every repaint of the progress display dearer.
    QPalette palette;
    palette.setBrush(QPalette::All, window.backgroundRole(),
                     QBrush(QPixmap(QStringLiteral(":/images/KAVRObg1.png"))));
    window.setPalette(palette);
    window.setAutoFillBackground(true);
    window.show();

    WindowDriver driver(window);
    if (!driver.found()) {
        *error = QStringLiteral("window path: form widgets not found");
        return false;
    }
    if (window.downloadWorker()->portSetting() != sim.slavePath()) {
        *error = QStringLiteral("window path: the board is not the chosen port");
        return false;
    }
    if (!driver.chooseImage(job.imagePath)) {
        *error = QStringLiteral("window path: the image could not be chosen");
        return false;
    }
    return runWay("window path", job, runs, result, error,
                  [&](int wireBaud) { return driver.session(sim, job, wireBaud); });
}

// Gang runs: several boards at once through the flasher's own sessions, each
// board simulated in this process on a pseudo-terminal of its own.
struct GangResult {
    int boards = 0;
    QVector<double> slowestShare, rawSlowestShare, cpuUsPerBlock;
    double peakMiB = 0;
};

qint64 processCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &t) {
        return qint64(t.tv_sec) * 1000000000 + t.tv_usec * 1000;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

bool gangRun(const Job &job, int boards, int run, GangResult &result, QString *error)
{
    std::vector<std::unique_ptr<BootSim>> sims;
    QStringList ports;
    for (int i = 0; i < boards; ++i) {
        BootSimOptions options;
        options.wireBaud = GangBaud;
        // Eight boards spinning to reply on the dot would take the CPU from
        // the host they are measuring: they sleep, and how late that makes
        // their replies is taken out of the host's time below.
        options.exactTiming = false;
        sims.push_back(std::make_unique<BootSim>(options));
        if (!sims.back()->start(error))
            return false;
        ports << sims.back()->slavePath();
    }
    BoardGang gang(ports, GangBaud, job.imagePath);
    std::vector<std::unique_ptr<SessionClock>> clocks;
    for (int i = 0; i < boards; ++i)
        clocks.push_back(std::make_unique<SessionClock>(gang.worker(i)));

    QEventLoop loop;
    bool timedOut = false;
    QObject::connect(&gang, &BoardGang::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(sessionTimeoutMs(job.blocks, GangBaud), &loop, [&gang, &timedOut] {
        timedOut = true;
        gang.interrupt();
    });
    const qint64 cpuBefore = processCpuNs();
    gang.start();
    loop.exec();

    double slowest = 1e9;
    double rawSlowest = 1e9;
    for (int i = 0; i < boards; ++i) {
        const Sample s = judge(*sims[i], job, *clocks[i], 0, timedOut);
        if (!s.error.isEmpty()) {
            *error = QStringLiteral("gang of %1, board %2: %3").arg(boards).arg(i + 1).arg(s.error);
            return false;
        }
        const double wireNs = job.blocks * wireNsPerBlock(GangBaud);
        rawSlowest = std::min(rawSlowest, wireNs / s.blockPhaseNs);
        slowest = std::min(slowest, wireNs / (s.blockPhaseNs - sims[i]->replyLatenessNs()));
    }
    // The boards' own threads are not the host's work.
    qint64 boardCpuNs = 0;
    for (auto &sim : sims) {
        sim->stop();
        boardCpuNs += sim->serveCpuNs();
    }
    const double cpuUs = (processCpuNs() - cpuBefore - boardCpuNs) / 1000.0 / (boards * job.blocks);
    result.slowestShare.append(slowest);
    result.rawSlowestShare.append(rawSlowest);
    result.cpuUsPerBlock.append(cpuUs);
    std::printf("  %-12s run %d  %d board(s) at %d  slowest share %.3f (%.3f with the boards' "
                "own lateness)  cpu %.1f us per block\n",
                "gang", run, boards, GangBaud, slowest, rawSlowest, cpuUs);
    std::fflush(stdout);
    return true;
}

bool gangWay(const Job &job, int runs, QVector<GangResult> &results, QString *error)
{
    for (const int boards : GangSizes) {
        GangResult result;
        result.boards = boards;
        const bool peakPerGang = resetPeakRss();
        for (int run = 1; run <= runs; ++run) {
            if (!gangRun(job, boards, run, result, error))
                return false;
        }
        result.peakMiB = peakPerGang ? peakRssMiB() : 0;
        results.append(result);
    }
    return true;
}

void printGangTable(const QVector<GangResult> &results)
{
    std::printf("\ngang runs at %d baud, boards at once (medians over runs)\n", GangBaud);
    std::printf("  %-8s%16s%14s%22s%18s\n", "boards", "slowest share", "(raw)",
                "cpu per block (us)", "peak RSS (MiB)");
    for (const GangResult &r : results)
        std::printf("  %-8d%16.3f%14.3f%22.1f%18.1f\n", r.boards, median(r.slowestShare),
                    median(r.rawSlowestShare), median(r.cpuUsPerBlock), r.peakMiB);
    std::printf("  share: the wire time over the host's time, the simulated boards' own late\n"
                "    replies (they sleep rather than spin) taken out; raw: with them left in\n"
                "  cpu: the whole process, user + system, less the simulated boards' threads,\n"
                "    over every board's data blocks; peak RSS: this process while the gang ran\n");
}

// The worker and the window trace to the debug channel; only warnings and
// worse stay visible, so the report stays readable.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        previousHandler(type, context, message);
}

void printTable(const WayResult &worker, const WayResult &window, bool peakPerWay, double floorUs)
{
    std::printf("\npseudo-terminal round trip alone, frame out and reply back: %.1f us median\n",
                floorUs);
    std::printf("\n%-46s%14s%14s\n", "", "worker alone", "window path");
    for (int i = 0; i <= BaudCount; ++i) {
        const SettingResult &a = worker.settings[i];
        const SettingResult &b = window.settings[i];
        const auto row = [](const char *label, const QVector<double> &x, const QVector<double> &y,
                            int decimals) {
            std::printf("  %-44s%14.*f%14.*f\n", label, decimals, median(x), decimals, median(y));
        };
        if (i == 0)
            std::printf("instant board\n");
        else
            std::printf("%d baud board (wire limit %.3f ms per block)\n", Bauds[i - 1],
                        wireNsPerBlock(Bauds[i - 1]) / 1e6);
        row("block phase per block (us)", a.usPerBlock, b.usPerBlock, 1);
        if (i > 0) {
            row("share of wire limit", a.share, b.share, 3);
            const double wireUs = wireNsPerBlock(Bauds[i - 1]) / 1000;
            std::printf("  %-44s%14.3f\n", "best share over this pty (no host time)",
                        wireUs / (wireUs + floorUs));
        }
        row("turnaround median (us)", a.turnMedianUs, b.turnMedianUs, 1);
        row("turnaround p99 (us)", a.turnP99Us, b.turnP99Us, 1);
        row("turnaround mean (us)", a.turnMeanUs, b.turnMeanUs, 1);
        row("rest: board reaction, end frame, close (us)", a.restUs, b.restUs, 1);
    }
    std::printf("%-48s%14.1f%14.1f\n",
                peakPerWay ? "peak resident memory, per way (MiB)"
                           : "peak resident memory, so far (MiB)",
                worker.peakMiB, window.peakMiB);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    previousHandler = qInstallMessageHandler(quietHandler);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times whole downloads against the simulated board, through the worker "
                       "alone and through the window."));
    parser.addHelpOption();
    const QCommandLineOption blocksOption(QStringLiteral("blocks"),
                                          QStringLiteral("Image size in 64-byte blocks."),
                                          QStringLiteral("N"), QStringLiteral("4096"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Repeats; medians are reported."),
                                        QStringLiteral("R"), QStringLiteral("1"));
    parser.addOption(blocksOption);
    parser.addOption(runsOption);
    parser.process(app);

    Job job;
    bool blocksOk = false;
    bool runsOk = false;
    job.blocks = parser.value(blocksOption).toInt(&blocksOk);
    const int runs = parser.value(runsOption).toInt(&runsOk);
    // Two blocks at least, so there is a turnaround between blocks to time.
    if (!blocksOk || job.blocks < 2 || job.blocks > DeviceFrame::MaxBlocks || !runsOk || runs < 1) {
        std::fprintf(stderr, "kavro-bench: --blocks takes 2 to %d, --runs 1 or more\n",
                     DeviceFrame::MaxBlocks);
        return 2;
    }

    QTemporaryDir dir;
    Job adapterJob;
    adapterJob.blocks = std::min(job.blocks, AdapterBlocks);
    if (!dir.isValid() || !writeImage(dir, QStringLiteral("bench.bin"), job) ||
        !writeImage(dir, QStringLiteral("adapter.bin"), adapterJob)) {
        std::fprintf(stderr, "kavro-bench: cannot write the image\n");
        return 1;
    }

    std::printf("kavro-bench: %d blocks of 64 bytes, %d run(s); the table gives medians over "
                "runs.\n",
                job.blocks, runs);
    std::printf("  turnaround: measured by the board, from the end of its reply's write() to "
                "the read\n"
                "    that brings the next block frame's first byte; blocks 2..N of each "
                "session.\n"
                "  block phase: from the first setProgress (stamped in the worker thread, "
                "right after\n"
                "    block 1 was written) to setFinish (worker thread, after the end frame "
                "and port close).\n"
                "  share: blocks x 770 bits / baud, over the block phase; the board holds each "
                "reply until\n"
                "    the line could have carried frame and reply.\n\n");
    std::fflush(stdout);

    WayResult worker;
    WayResult window;
    QString error;
    bool peakPerWay = resetPeakRss();
    if (!workerWay(job, runs, worker, &error)) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }
    peakPerWay = resetPeakRss() && peakPerWay;
    if (!windowWay(job, runs, window, &error)) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }

    QVector<GangResult> gangs;
    if (!gangWay(job, runs, gangs, &error)) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }

    AdapterResults adapters;
    if (!adapterWay(adapterJob, runs, adapters, &error)) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }

    // Measured after the sessions, on a machine as warm as they left it.
    const double floorUs = PtyFloor::measure(2000);
    printTable(worker, window, peakPerWay, floorUs);
    printGangTable(gangs);
    printAdapterTable(adapters, adapterJob.blocks);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("process peak resident memory (ru_maxrss): %.1f MiB\n\n", usage.ru_maxrss / 1024.0);
    std::printf("bench: window path share 115200=%.3f 256000=%.3f turnaround_us=%.1f\n",
                median(window.settings[1].share), median(window.settings[2].share),
                median(window.settings[0].turnMedianUs));
    std::printf("bench-gang: boards=%d slowest_share_256000=%.3f cpu_us_per_block=%.1f\n",
                gangs.last().boards, median(gangs.last().slowestShare),
                median(gangs.last().cpuUsPerBlock));
    for (int l = 0; l < AdapterLatencyCount; ++l) {
        for (int b = 0; b < BaudCount; ++b)
            std::printf("bench-adapter: latency_ms=%d baud=%d share=%.3f ms_per_block=%.1f\n",
                        AdapterLatenciesMs[l], Bauds[b], median(adapters[l][b].share),
                        median(adapters[l][b].msPerBlock));
    }
    std::fflush(stdout);
    return 0;
}
