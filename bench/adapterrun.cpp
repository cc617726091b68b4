#include "bench/adapterrun.h"

#include "bench/workerrun.h"
#include "download/uploadthread.h"
#include "sim/bootsim.h"

#include <cstdio>

namespace Bench
{

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

} // namespace Bench
