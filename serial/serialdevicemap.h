#ifndef SERIALDEVICEMAP_H
#define SERIALDEVICEMAP_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The system's list of serial ports, read like a device map: count its
// values, then for each position open the map, read that value's data bytes
// (a UTF-16LE port name) and close it again.
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

    // A value's data as a port name: byte by byte, zero bytes skipped, so a
    // UTF-16LE ASCII name comes out as itself without its terminating NUL.
    static QString portNameFromData(const QByteArray &data);

    // The port names the system map offers, in its order. Unlike the
    // window's list, values that cannot be read are left out.
    static QStringList portNames();

protected:
    virtual bool value(Key key, int index, Value *out) = 0;
};

// Linux: the ports QSerialPortInfo finds, after the device paths listed in
// KAVRO_EXTRA_PORTS (':'-separated, in the order given). Pseudo-terminals,
// such as a simulated board's, only appear through that variable.
class LinuxSerialDeviceMap : public SerialDeviceMap
{
public:
    int count() override;
    Key open() override { return 1; }
    void close(Key) override {}

    static QStringList extraPorts();
    static QByteArray utf16Data(const QString &text);

protected:
    bool value(Key key, int index, Value *out) override;

private:
    QList<Value> values;
};

#endif
