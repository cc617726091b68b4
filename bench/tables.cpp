#include "bench/tables.h"

#include "bench/measure.h"
#include "bench/session.h"

#include <cstdio>

#include <sys/resource.h>

namespace Bench
{

void printLegend(int blocks, int runs)
{
    std::printf("kavro-bench: %d blocks of 64 bytes, %d run(s); the table gives medians over "
                "runs.\n",
                blocks, runs);
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

void printSummary(const WayResult &window, const QVector<GangResult> &gangs,
                  const AdapterResults &adapters)
{
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
}

} // namespace Bench
