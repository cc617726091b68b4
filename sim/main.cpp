#include "sim/bootsim.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace
{

// Reads a positive count; on failure reports and leaves `ok` false.
int positive(const QCommandLineParser &parser, const QString &name, bool *ok)
{
    if (!parser.isSet(name))
        return 0;
    bool valid = false;
    const int value = parser.value(name).toInt(&valid);
    if (!valid || value <= 0) {
        std::fprintf(stderr, "kavro-bootsim: --%s needs a positive number\n", qPrintable(name));
        *ok = false;
        return 0;
    }
    return value;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavro-bootsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated serial boot loader on a pseudo-terminal. Prints the slave "
                       "path on the first line, then serves until SIGINT or SIGTERM."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("link"), QStringLiteral("Make a symlink PATH to the slave."),
         QStringLiteral("PATH")},
        {QStringLiteral("image-out"),
         QStringLiteral("Write the received image to FILE at each end frame."),
         QStringLiteral("FILE")},
        {QStringLiteral("log"), QStringLiteral("Write one line per frame and reply to FILE."),
         QStringLiteral("FILE")},
        {QStringLiteral("never-answer"), QStringLiteral("Never reply.")},
        {QStringLiteral("answer-first"),
         QStringLiteral("Reply to the first K frames of a session, then stay silent."),
         QStringLiteral("K")},
        {QStringLiteral("bad-check"), QStringLiteral("Reply K gets a wrong check byte."),
         QStringLiteral("K")},
        {QStringLiteral("bad-start"), QStringLiteral("Reply K starts with a byte other than FE."),
         QStringLiteral("K")},
        {QStringLiteral("byte-by-byte"),
         QStringLiteral("Write replies one byte at a time, 200 us apart.")},
        {QStringLiteral("double-reply"), QStringLiteral("Write every reply twice in one write.")},
        {QStringLiteral("flood"), QStringLiteral("Send garbage bytes instead of reply K."),
         QStringLiteral("K")},
        {QStringLiteral("flood-bytes"),
         QStringLiteral("Number of garbage bytes for --flood (default 300)."), QStringLiteral("N")},
        {QStringLiteral("hangup"), QStringLiteral("Drop the line when frame K arrives, then exit."),
         QStringLiteral("K")},
        {QStringLiteral("hangup-after-reply"),
         QStringLiteral("Drop the line right after reply K, then exit."), QStringLiteral("K")},
        {QStringLiteral("lock-baud"),
         QStringLiteral("Keep the line at rate B whatever the host sets, as a driver that "
                        "cannot make other rates (needs CAP_SYS_ADMIN)."),
         QStringLiteral("B")},
        {QStringLiteral("delay-ms"), QStringLiteral("Wait MS milliseconds before each reply."),
         QStringLiteral("MS")},
        {QStringLiteral("delay-us"), QStringLiteral("Wait US microseconds before each reply."),
         QStringLiteral("US")},
        {QStringLiteral("wire-baud"),
         QStringLiteral("Hold each reply until frame and reply would have crossed a B baud line."),
         QStringLiteral("B")},
        {QStringLiteral("loose-timing"),
         QStringLiteral("Sleep until each reply is due rather than spin through the last "
                        "stretch; frees the CPU for many boards, at the cost of late replies.")},
        {QStringLiteral("stats"),
         QStringLiteral("When it ends, print one line: end frames, block frames, the block phase, "
                        "the lateness of the replies in it and the serving thread's CPU, in ns.")},
        {QStringLiteral("adapter-latency-ms"),
         QStringLiteral("Hold each reply until the next N ms tick, as a USB serial adapter's "
                        "latency timer does."),
         QStringLiteral("N")},
        {QStringLiteral("held-in-reset"),
         QStringLiteral("Hold the board in reset until the host lets it into its boot loader: "
                        "RTS asserted is reset, DTR asserted at its release the boot loader. "
                        "The host's DTR and RTS changes come from FILE, one 'DEVICE dtr=D "
                        "rts=R TIME' line each (tests/modemshim writes it)."),
         QStringLiteral("FILE")},
    });
    parser.process(app);

    BootSimOptions opts;
    opts.linkPath = parser.value(QStringLiteral("link"));
    opts.imageOut = parser.value(QStringLiteral("image-out"));
    opts.logPath = parser.value(QStringLiteral("log"));
    opts.modemLinesPath = parser.value(QStringLiteral("held-in-reset"));
    opts.neverAnswer = parser.isSet(QStringLiteral("never-answer"));
    opts.byteByByte = parser.isSet(QStringLiteral("byte-by-byte"));
    opts.doubleReply = parser.isSet(QStringLiteral("double-reply"));
    bool ok = true;
    opts.answerFirst = positive(parser, QStringLiteral("answer-first"), &ok);
    opts.badCheckAt = positive(parser, QStringLiteral("bad-check"), &ok);
    opts.badStartAt = positive(parser, QStringLiteral("bad-start"), &ok);
    opts.floodAt = positive(parser, QStringLiteral("flood"), &ok);
    if (parser.isSet(QStringLiteral("flood-bytes")))
        opts.floodBytes = positive(parser, QStringLiteral("flood-bytes"), &ok);
    opts.hangupAt = positive(parser, QStringLiteral("hangup"), &ok);
    opts.hangupAfterReply = positive(parser, QStringLiteral("hangup-after-reply"), &ok);
    opts.lockedBaud = positive(parser, QStringLiteral("lock-baud"), &ok);
    opts.delayUs = qint64(positive(parser, QStringLiteral("delay-ms"), &ok)) * 1000 +
                   positive(parser, QStringLiteral("delay-us"), &ok);
    opts.wireBaud = positive(parser, QStringLiteral("wire-baud"), &ok);
    opts.adapterLatencyMs = positive(parser, QStringLiteral("adapter-latency-ms"), &ok);
    opts.exactTiming = !parser.isSet(QStringLiteral("loose-timing"));
    if (!ok)
        return 2;

    // Signals are taken synchronously by sigwait below; every thread inherits the mask.
    // A shell starts background jobs with SIGINT ignored, which would discard it.
    std::signal(SIGINT, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    BootSim sim(opts);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "kavro-bootsim: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(sim.slavePath()));
    std::fflush(stdout);

    // A hang-up ends the program as a signal would.
    std::thread watcher([&sim] {
        if (sim.waitForHangUp(-1))
            kill(getpid(), SIGUSR1);
    });
    int received = 0;
    sigwait(&stopSignals, &received);
    sim.stop();
    watcher.join();
    if (parser.isSet(QStringLiteral("stats")))
        std::printf("stats end_frames=%d blocks=%d block_phase_ns=%lld block_lateness_ns=%lld "
                    "serve_cpu_ns=%lld\n",
                    sim.endFrames(), int(sim.turnaroundNs().size()),
                    static_cast<long long>(sim.blockPhase().ns),
                    static_cast<long long>(sim.blockPhase().latenessNs),
                    static_cast<long long>(sim.serveCpuNs()));
    return 0;
}
