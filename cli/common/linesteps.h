#ifndef LINESTEPS_H
#define LINESTEPS_H

#include "serial/linesequence.h"

class QJsonObject;

// Adds to a board's JSON event each step of its enter and leave sequences
// with its times, so that a sequence can be tuned from what the line did;
// nothing for a sequence that did not run.
void addLineSteps(QJsonObject &event, const LineSequenceRun &enter, const LineSequenceRun &leave);

#endif
