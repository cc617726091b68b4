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
// With --scale it runs the scale table instead: the real flasher over many
// boards at once, each a simulated board in a process of its own.
// With --page, it runs eight boards through the real flasher with its live
// page served, alternately with and without clients hammering the page.
// With --record, it times instead a station's start, --check-record and --report
// on long-kept records, beside sha256sum on the same bytes; with --stamp-list
// too, their stamps come from a list the station reads at its start.

#include "bench/adapterrun.h"
#include "bench/gangrun.h"
#include "bench/measure.h"
#include "bench/pagerun.h"
#include "bench/ptyfloor.h"
#include "bench/recordrun.h"
#include "bench/scalerun.h"
#include "bench/tables.h"
#include "bench/windowrun.h"
#include "bench/workerrun.h"
#include "download/deviceframe.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace Bench;

namespace
{

constexpr int ScaleBlocks = 1000;
constexpr int PageBlocks = 2000;
constexpr int PageRuns = 3;

// The worker and the window trace to the debug channel; only warnings and
// worse stay visible, so the report stays readable.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        previousHandler(type, context, message);
}

// The scale table alone; `--blocks` is the long image's size.
int scaleMain(const QString &flasher, const QVector<int> &boards, int blocks, int runs)
{
    QVector<ScaleRow> rows;
    QString error;
    if (!scaleWay(flasher, boards, blocks, runs, rows, &error)) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }
    printScaleTable(rows, blocks, runs);
    return 0;
}

// "1,8,16": board counts from 1 to 256; empty when the list is not that.
QVector<int> boardCounts(const QString &list)
{
    QVector<int> counts;
    for (const QString &item : list.split(QLatin1Char(','))) {
        bool ok = false;
        const int n = item.toInt(&ok);
        if (!ok || n < 1 || n > 256)
            return {};
        counts.append(n);
    }
    return counts;
}

// The page table alone; `--blocks` is the image's size.
int pageMain(const QString &flasher, int blocks, int runs)
{
    PageResult result;
    QString error;
    if (!pageWay(flasher, blocks, runs, result, &error)) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }
    printPageTable(result, blocks);
    return 0;
}

// The record table alone: a station's start, --check-record and --report on long
// records, beside sha256sum.
int recordBench(const QString &sizes, const QString &program, bool checkpoints, const QString &list)
{
    RecordSettings settings;
    settings.flashProgram = program;
    settings.checkpoints = checkpoints;
    if (!list.isEmpty()) {
        const QStringList parts = list.split(QLatin1Char(':'));
        bool valuesOk = false;
        bool widthOk = parts.size() == 1;
        settings.listValues = parts[0].toLongLong(&valuesOk);
        if (parts.size() == 2)
            settings.listWidth = parts[1].toInt(&widthOk);
        if (!valuesOk || !widthOk || parts.size() > 2 || settings.listValues < 1 ||
            settings.listWidth < 4 || settings.listWidth > 16) {
            std::fprintf(stderr, "kavro-bench: --stamp-list takes VALUES[:WIDTH], such as "
                                 "1000000:16 (WIDTH 4 to 16)\n");
            return 2;
        }
    }
    for (const QString &size : sizes.split(QLatin1Char(','))) {
        bool ok = false;
        settings.sizes << size.toLongLong(&ok);
        if (!ok || settings.sizes.last() < 1) {
            std::fprintf(stderr, "kavro-bench: --record takes sizes such as 10000,100000\n");
            return 2;
        }
    }
    QString error;
    if (recordWay(settings, &error))
        return 0;
    std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
    return 1;
}

} // namespace

// The bench's options, each with its help.
struct BenchOptions {
    const QCommandLineOption blocks{QStringLiteral("blocks"),
                                    QStringLiteral("Image size in 64-byte blocks."),
                                    QStringLiteral("N"), QStringLiteral("4096")};
    const QCommandLineOption runs{QStringLiteral("runs"),
                                  QStringLiteral("Repeats; medians are reported."),
                                  QStringLiteral("R"), QStringLiteral("1")};
    const QCommandLineOption scale{
        QStringLiteral("scale"),
        QStringLiteral("Run only the scale table: kavro-flash over many boards at once, each "
                       "in a process of its own; --blocks defaults to 1000 there.")};
    const QCommandLineOption boards{QStringLiteral("boards"),
                                    QStringLiteral("The scale table's rows: board counts."),
                                    QStringLiteral("LIST"), QStringLiteral("1,8,16,32,64")};
    const QCommandLineOption flasher{
        QStringLiteral("flasher"),
        QStringLiteral("The kavro-flash that --scale, --page and --record run (another build's, to "
                       "compare)."),
        QStringLiteral("PATH"), QCoreApplication::applicationDirPath() + "/kavro-flash"};
    const QCommandLineOption page{
        QStringLiteral("page"),
        QStringLiteral("Run only the page table: eight boards through kavro-flash --serve, with "
                       "and without clients on the page; --blocks defaults to 2000 and --runs "
                       "to 3 there.")};
    const QCommandLineOption record{
        QStringLiteral("record"),
        QStringLiteral(
            "Time a station's start, --check-record and --report on records of SIZES boards "
            "(comma-separated) instead."),
        QStringLiteral("SIZES")};
    const QCommandLineOption plain{
        QStringLiteral("no-checkpoints"),
        QStringLiteral("With --record: records without checkpoints, as versions before them "
                       "wrote and read.")};
    const QCommandLineOption list{
        QStringLiteral("stamp-list"),
        QStringLiteral("With --record: stamps from a list of VALUES values of WIDTH bytes (4 "
                       "by default), which the station reads at its start."),
        QStringLiteral("VALUES[:WIDTH]")};

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({blocks, runs, scale, page, boards, flasher, record, plain, list});
    }
};

// The download tables: the worker and the window, the gang and the adapters.
int downloadMain(Job job, int runs)
{
    QTemporaryDir dir;
    Job adapterJob;
    adapterJob.blocks = std::min(job.blocks, AdapterBlocks);
    if (!dir.isValid() || !writeImage(dir, QStringLiteral("bench.bin"), job) ||
        !writeImage(dir, QStringLiteral("adapter.bin"), adapterJob)) {
        std::fprintf(stderr, "kavro-bench: cannot write the image\n");
        return 1;
    }

    printLegend(job.blocks, runs);

    WayResult worker;
    WayResult window;
    QVector<GangResult> gangs;
    AdapterResults adapters;
    QString error;
    bool peakPerWay = resetPeakRss();
    bool measured = workerWay(job, runs, worker, &error);
    // Each way's peak memory is its own.
    peakPerWay = resetPeakRss() && peakPerWay;
    measured = measured && windowWay(job, runs, window, &error) &&
               gangWay(job, runs, gangs, &error) && adapterWay(adapterJob, runs, adapters, &error);
    if (!measured) {
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
        return 1;
    }

    // Measured after the sessions, on a machine as warm as they left it.
    const double floorUs = PtyFloor::measure(2000).tripUs;
    printTable(worker, window, peakPerWay, floorUs);
    printGangTable(gangs);
    printAdapterTable(adapters, adapterJob.blocks);
    printSummary(window, gangs, adapters);
    return 0;
}

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
    const BenchOptions options;
    options.addTo(parser);
    parser.process(app);

    if (parser.isSet(options.record))
        return recordBench(parser.value(options.record), parser.value(options.flasher),
                           !parser.isSet(options.plain), parser.value(options.list));

    Job job;
    bool blocksOk = true;
    bool runsOk = true;
    const bool scale = parser.isSet(options.scale);
    const bool page = parser.isSet(options.page);
    if (parser.isSet(options.blocks) || !(scale || page))
        job.blocks = parser.value(options.blocks).toInt(&blocksOk);
    else
        job.blocks = scale ? ScaleBlocks : PageBlocks;
    const int runs =
        page && !parser.isSet(options.runs) ? PageRuns : parser.value(options.runs).toInt(&runsOk);
    const QVector<int> boards = boardCounts(parser.value(options.boards));
    // Two blocks at least, so there is a turnaround between blocks to time.
    if (!blocksOk || job.blocks < 2 || job.blocks > DeviceFrame::MaxBlocks || !runsOk || runs < 1 ||
        boards.isEmpty()) {
        std::fprintf(stderr,
                     "kavro-bench: --blocks takes 2 to %d, --runs 1 or more, --boards counts "
                     "from 1 to 256 with commas between\n",
                     DeviceFrame::MaxBlocks);
        return 2;
    }
    if (page)
        return pageMain(parser.value(options.flasher), job.blocks, runs);
    if (scale)
        return scaleMain(parser.value(options.flasher), boards, job.blocks, runs);
    return downloadMain(job, runs);
}
