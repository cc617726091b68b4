#include "cli/common/linesteps.h"

#include <QJsonArray>
#include <QJsonObject>

namespace
{

QJsonValue runJson(const LineSequenceRun &run)
{
    QJsonArray steps;
    for (const LineStepTime &step : run.steps)
        steps.append(QJsonObject{{QStringLiteral("step"), step.step},
                                 {QStringLiteral("start_ms"), step.startMs},
                                 {QStringLiteral("took_ms"), step.tookMs}});
    return QJsonObject{
        {QStringLiteral("steps"), steps},
        {QStringLiteral("failure"), run.failure ? QJsonValue(*run.failure) : QJsonValue()}};
}

} // namespace

void addLineSteps(QJsonObject &event, const std::optional<SessionResult> &result)
{
    if (!result)
        return;
    const LineSequenceRun &enter = result->enter;
    const LineSequenceRun &leave = result->leave;
    if (!enter.steps.isEmpty() || enter.failure)
        event.insert(QStringLiteral("enter"), runJson(enter));
    if (!leave.steps.isEmpty() || leave.failure)
        event.insert(QStringLiteral("leave"), runJson(leave));
}
