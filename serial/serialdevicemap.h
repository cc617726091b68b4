#ifndef SERIALDEVICEMAP_H
#define SERIALDEVICEMAP_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The system's list of serial ports, read like a device map: count its
// values, then for each position open the map, read that value's data bytes
// (the port's name) and close it again.
class SerialDeviceMap
{
public:
    // An open map: wide enough for a registry key handle.
    using Key = quintptr;
    static constexpr Key NoKey = 0;

    // Room for one value: a name of 255 UTF-16 units plus its NUL, and 256
    // bytes of data. A value that does not fit cannot be read.
    static constexpr int NameRoom = 256;
    static constexpr int DataRoom = 256;

    struct Value {
        QString name;
        QByteArray data;
    };

    // What reading one position gave.
    struct Entry {
        enum Outcome {
            NotOpened, // the map would not open
            NotRead,   // no value there, or it exceeds the room above
            Named,
        };
        Outcome outcome = NotOpened;
        QString name; // the port name, when Named
    };

    virtual ~SerialDeviceMap() = default;

    virtual int count() = 0;
    // NoKey when the map cannot be opened.
    virtual Key open() = 0;
    virtual void close(Key key) = 0;

    // Opens the map into `key`, reads the value at `index` and closes the
    // map again, so `key` holds no open map on return.
    Entry readEntry(int index, Key *key);

    // The map the window and the command line list ports from. Replaceable,
    // for tests; passing nullptr restores the platform's own.
    static SerialDeviceMap *system();
    static void setSystem(SerialDeviceMap *map);

    // The port names the system map offers, in its order. Unlike the
    // window's list, values that cannot be read are left out.
    static QStringList portNames();

protected:
    virtual bool value(Key key, int index, Value *out) = 0;

    // A value's data as a port name. By default as the registry keeps it,
    // UTF-16LE, and as the window decodes it there: byte by byte through the
    // local 8-bit codec, zero bytes skipped, so an ASCII name comes out as
    // itself without its terminating NUL.
    virtual QString portNameFrom(const QByteArray &data) const;
};

// Linux: the ports QSerialPortInfo finds, after the device paths listed in
// KAVRO_EXTRA_PORTS (':'-separated, in the order given). Pseudo-terminals,
// such as a simulated board's, only appear through that variable. A value's
// data is the name as the file system spells it, with a NUL, and is decoded
// whole, so a name outside ASCII comes back as it was given; a path of more
// than 255 bytes does not fit the room.
class LinuxSerialDeviceMap : public SerialDeviceMap
{
public:
    int count() override;
    Key open() override { return 1; }
    void close(Key) override {}

    static QStringList extraPorts();

protected:
    bool value(Key key, int index, Value *out) override;
    QString portNameFrom(const QByteArray &data) const override;

private:
    QList<Value> values;
};

#endif
