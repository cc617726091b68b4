#ifndef WINDOWRUN_H
#define WINDOWRUN_H

#include "bench/session.h"
#include "bench/wayrun.h"

#include <QString>

namespace Bench
{

// The whole window, driven as a user would, against a board of its own.
bool windowWay(const Job &job, int runs, WayResult &result, QString *error);

} // namespace Bench

#endif
