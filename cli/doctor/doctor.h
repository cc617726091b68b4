#ifndef DOCTOR_H
#define DOCTOR_H

#include "cli/doctor/survey.h"
#include "serial/portfailure.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QJsonObject;

// `kavro-flash --doctor`: whether a download could start on a port, and if
// not, why and what to do about it.
namespace Doctor
{

struct Finding {
    enum class Level { Ok, Warn, Fail };
    Level level = Level::Ok;
    QString check; // exists, access, holder, modemmanager, brltty, latency, rates, modem lines
    QString text;
    QString fix; // one line; empty for OK
};

// What opening the port and setting each rate gave.
struct Trial {
    bool tried = false;
    std::optional<QString> openFailure; // none when it opened
    QList<qint32> refusedRates;
    // Why the driver cannot tell DTR and RTS (it has none); none when it
    // can. Read only: the lines of a board that may be live stay as they are.
    std::optional<QString> noModemLines;
    // The run will set DTR and RTS (--enter, --leave): lines it cannot set
    // fail the port.
    bool linesNeeded = false;
};

// Opens `port` through the serial layer and sets each rate the boards speak,
// reading each back from the device.
Trial tryPort(const QString &port);

// The findings for one port, for a download at `baud`. A trial that was not
// tried (the port is missing or not this user's) adds none.
QList<Finding> judge(const PortSurvey &port, const SystemSurvey &system, const Trial &trial,
                     int baud);

// Checks `ports`, or every port the listing shows when none is named, and
// prints the findings (JSON Lines with `json`). The exit status: 0 when a
// download could start on every port, otherwise the one of an unopened port.
// `linesNeeded`: the run sets DTR and RTS, so a port without them fails.
int run(const QStringList &ports, int baud, bool json, bool linesNeeded);

// "; kavro-flash --doctor -p PORT tells more", for the end of a line that
// gives why a port did not open.
QString pointer(const QString &port);
// Adds to a board's event why its port did not open (`reason`) and what
// tells more (`doctor`); nothing for a port that opened (no failure).
void addOpenFailure(QJsonObject &event, const PortFailure *failure, const QString &port);

} // namespace Doctor

#endif
