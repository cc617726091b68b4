#ifndef SURVEY_H
#define SURVEY_H

#include "serial/portdetails.h"
#include "serial/portholder.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the system tells, without opening a port, about whether a download
// could start on it, for `kavro-flash --doctor`. Every place it looks is
// rooted where SurveyRoots says, so a test can lay out a tree of its own.
struct SurveyRoots : ProcessRoots {
    QString sysfs = QStringLiteral("/sys");
    QString udevData = QStringLiteral("/run/udev/data");
    // Where a program that is installed would be.
    QStringList programDirs = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                               QStringLiteral("/sbin"), QStringLiteral("/bin")};
};

struct PortSurvey {
    QString name; // as the user gave it
    QString path; // where the name leads
    bool exists = false;
    QString goneTarget;   // a link's target that is not there: a stale name
    QString device;       // the device the name leads to
    QString deviceNumber; // "188:0"
    QString driver;       // "ftdi_sio"
    QString vendorProduct;
    QString serialNumber;
    QStringList byId;
    QStringList byPath;

    // Whether this user may read and write it, and the file's owner.
    bool userMayOpen = false;
    QString owner;
    QString group;
    QString mode; // "crw-rw----"
    bool groupMayOpen = false;

    QList<PortHolder> holders;
    bool modemManagerIgnores = false; // ID_MM_DEVICE_IGNORE in the udev database
    LatencyTimer latency;
    bool latencyWritable = false;

    static PortSurvey of(const QString &name, const SurveyRoots &roots = {});
};

// The machine's side: who the user is, and the programs that take serial
// ports for their own.
struct SystemSurvey {
    bool root = false;
    QString user;
    QStringList groups;       // the groups this login has
    QStringList groupsOnFile; // the groups the user is listed in now
    bool modemManagerRunning = false;
    bool brlttyRunning = false;
    bool brlttyInstalled = false;

    static SystemSurvey of(const SurveyRoots &roots = {});
};

#endif
