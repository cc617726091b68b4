#include "download/deviceframe.h"

namespace DeviceFrame
{

unsigned char checkByte(const unsigned char *bytes, int size)
{
    unsigned char check = 0;
    for (int i = 0; i < size; ++i)
        check ^= bytes[i];
    return check;
}

// The three fixed frames never change, so their check bytes are constants.
QByteArray startFrame()
{
    return QByteArray("\xFE\x01\x4D\x10\x00\x5C", 6);
}

QByteArray prepareFrame()
{
    return QByteArray("\xFE\x01\x4D\x04\x02\x4A", 6);
}

QByteArray endFrame()
{
    return QByteArray("\xFE\x00\x4D\x03\x4E", 5);
}

void fillBlockHead(unsigned char *frame, quint16 address)
{
    frame[0] = StartByte;
    frame[1] = 2 + BlockDataSize;
    frame[2] = TypeByte;
    frame[3] = 0x01;
    frame[4] = static_cast<unsigned char>(address & 0xFF);
    frame[5] = static_cast<unsigned char>(address >> 8);
}

void sealBlockFrame(unsigned char *frame)
{
    frame[BlockFrameSize - 1] = checkByte(frame + 1, BlockFrameSize - 2);
}

QByteArray blockFrame(quint16 address, const unsigned char *data)
{
    unsigned char frame[BlockFrameSize];
    fillBlockHead(frame, address);
    for (int i = 0; i < BlockDataSize; ++i)
        frame[BlockDataOffset + i] = data[i];
    sealBlockFrame(frame);
    return QByteArray(reinterpret_cast<const char *>(frame), BlockFrameSize);
}

} // namespace DeviceFrame
