#ifndef RENDER_H
#define RENDER_H

#include "cli/page/snapshot.h"

#include <QByteArray>
#include <QJsonValue>

// A snapshot as the machine endpoints give it.
namespace Page
{

// GET /state: the JSON events' field names and `version`.
QByteArray stateJson(const Snapshot &snapshot);
// GET /metrics: the Prometheus text format, version 0.0.4.
QByteArray metricsText(const Snapshot &snapshot);

// The share of succeeded boards, 0 to 1; null before any board.
QJsonValue yieldOf(const Totals &totals);

} // namespace Page

#endif
