#ifndef PORTSURVEY_H
#define PORTSURVEY_H

#include "serial/portdetails.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the system tells, without opening a port, about whether a download
// could start on it: for `kavro-flash --doctor`, and for naming who holds a
// busy port. Every place it looks is rooted where SurveyRoots says, so a
// test can lay out a tree of its own.
struct SurveyRoots {
    QString sysfs = QStringLiteral("/sys");
    QString dev = QStringLiteral("/dev");
    QString udevData = QStringLiteral("/run/udev/data");
    QString proc = QStringLiteral("/proc");
    // Where a program that is installed would be.
    QStringList programDirs = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                               QStringLiteral("/sbin"), QStringLiteral("/bin")};
    // Where programs leave "LCK..<name>" lock files for a port by name.
    QStringList lockDirs = {QStringLiteral("/run/lock"), QStringLiteral("/var/lock"),
                            QStringLiteral("/tmp")};
};

// A process that has a port open, or holds its lock file.
struct PortHolder {
    qint64 pid = 0;
    QString program;

    // Other processes than this one that have `devicePath` open, as far as
    // this user may see: every process's descriptors for root, this user's
    // own otherwise, and the lock files whoever took them.
    static QList<PortHolder> of(const QString &devicePath, const SurveyRoots &roots = {});
    // "minicom (pid 812), screen (pid 90)"
    static QString describe(const QList<PortHolder> &holders);
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
