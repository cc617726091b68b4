#ifndef PORTDETAILS_H
#define PORTDETAILS_H

#include <QString>
#include <QStringList>

// A USB serial adapter's latency timer, where its driver shows one (FTDI's:
// latency_timer under the tty's device in sysfs, or LatencyTimer in the
// device's parameters in the Windows registry): the adapter holds a short
// reply until the timer fires, so it bounds how fast a board can answer.
struct LatencyTimer {
    int ms = -1;  // -1 when the port has none
    QString file; // where it is read and set: a file, or a registry key

    // `devicePath` names the port's device (links are followed); `sysfsRoot`
    // is where sysfs is mounted (unused on Windows).
    static LatencyTimer of(const QString &devicePath,
                           const QString &sysfsRoot = QStringLiteral("/sys"));
    // Sets the timer to 1 ms; false where this user may not or the driver
    // refuses. Windows: only the user can, in the port's advanced settings.
    bool lower();
};

// What the system knows of a port beyond its name, for listings. Looked up
// apart from the device map, which only yields names.
struct PortDetails {
    QString description;
    QString manufacturer;
    QString vendorProduct; // "0403:6001", or empty when not a USB device
    QString serialNumber;
    QString byIdLink; // the stable /dev/serial/by-id name leading to it
    int latencyTimerMs = -1;

    // `name` as the port list gives it: a device under /dev or a path.
    static PortDetails lookUp(const QString &name);

    // The non-empty details, labelled, in the order above.
    QStringList describe() const;

    // The links in `folder` (such as /dev/serial/by-id) that lead to
    // `device`, a canonical path; by name.
    static QStringList linksTo(const QString &folder, const QString &device);
};

#endif
