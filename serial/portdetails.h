#ifndef PORTDETAILS_H
#define PORTDETAILS_H

#include <QString>
#include <QStringList>

// What the system knows of a port beyond its name, for listings. Looked up
// apart from the device map, which only yields names.
struct PortDetails {
    QString description;
    QString manufacturer;
    QString vendorProduct; // "0403:6001", or empty when not a USB device
    QString serialNumber;
    QString byIdLink; // the stable /dev/serial/by-id name leading to it

    // `name` as the port list gives it: a device under /dev or a path.
    static PortDetails lookUp(const QString &name);

    // The non-empty details, labelled, in the order above.
    QStringList describe() const;
};

#endif
