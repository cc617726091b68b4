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
// With --record, it times instead a station's start and --check-record on
// long-kept records, beside sha256sum on the same bytes.

#include "bench/adapterrun.h"
#include "bench/gangrun.h"
#include "bench/measure.h"
#include "bench/ptyfloor.h"
#include "bench/recordrun.h"
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

// The worker and the window trace to the debug channel; only warnings and
// worse stay visible, so the report stays readable.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        previousHandler(type, context, message);
}

int recordBench(const QString &sizes, const QString &program, bool checkpoints)
{
    RecordSettings settings;
    settings.flashProgram = program;
    settings.checkpoints = checkpoints;
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
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Time a station's start and --check-record on records of SIZES boards "
                       "(comma-separated) instead."),
        QStringLiteral("SIZES"));
    const QCommandLineOption flashOption(QStringLiteral("flash"),
                                         QStringLiteral("The kavro-flash to time with --record."),
                                         QStringLiteral("PATH"), QStringLiteral(KAVRO_FLASH));
    const QCommandLineOption plainOption(
        QStringLiteral("no-checkpoints"),
        QStringLiteral("With --record: records without checkpoints, as versions before them "
                       "wrote and read."));
    parser.addOption(blocksOption);
    parser.addOption(runsOption);
    parser.addOption(recordOption);
    parser.addOption(flashOption);
    parser.addOption(plainOption);
    parser.process(app);

    if (parser.isSet(recordOption))
        return recordBench(parser.value(recordOption), parser.value(flashOption),
                           !parser.isSet(plainOption));

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

    printLegend(job.blocks, runs);

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
    printSummary(window, gangs, adapters);
    return 0;
}
