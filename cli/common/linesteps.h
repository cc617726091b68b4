#ifndef LINESTEPS_H
#define LINESTEPS_H

#include "download/sessionresult.h"

#include <optional>

class QJsonObject;

// Adds to a board's JSON event each step of its enter and leave sequences
// with its times, so that a sequence can be tuned from what the line did;
// nothing for a sequence that did not run, or a session with no result.
void addLineSteps(QJsonObject &event, const std::optional<SessionResult> &result);

#endif
