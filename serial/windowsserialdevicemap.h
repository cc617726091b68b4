#ifndef WINDOWSSERIALDEVICEMAP_H
#define WINDOWSSERIALDEVICEMAP_H

#include "serial/serialdevicemap.h"

// Windows: the registry's serial device map, where every value maps a
// device (its name) to a port name (its data, such as COM3).
class WindowsSerialDeviceMap : public SerialDeviceMap
{
public:
    int count() override;
    Key open() override;
    void close(Key key) override;

protected:
    bool value(Key key, int index, Value *out) override;
};

#endif
