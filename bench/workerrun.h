#ifndef WORKERRUN_H
#define WORKERRUN_H

#include "bench/session.h"
#include "bench/wayrun.h"

#include <QString>

class BootSim;
class uploadThread;

namespace Bench
{

// The worker on its own, as the window would drive it, without the window.
Sample workerSession(uploadThread &worker, BootSim &sim, const Job &job, int wireBaud,
                     int adapterLatencyMs = 0);

bool workerWay(const Job &job, int runs, WayResult &result, QString *error);

} // namespace Bench

#endif
