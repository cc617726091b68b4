#include "download/receivestate.h"

#include "download/deviceframe.h"

#include <cstring>

namespace ReceiveState
{

int takeIn(unsigned char *buffer, quint8 &count, quint8 &index, const char *chunk, int size)
{
    const int room = Capacity - index;
    const int stored = size < room ? (size > 0 ? size : 0) : room;
    if (stored > 0)
        std::memcpy(buffer + index, chunk, static_cast<size_t>(stored));
    index = static_cast<quint8>(index + stored);
    count = static_cast<quint8>(count + stored);
    return stored;
}

bool replyAccepted(const unsigned char *buffer)
{
    return buffer[0] == DeviceFrame::StartByte &&
           buffer[5] == DeviceFrame::checkByte(buffer + 1, 4);
}

} // namespace ReceiveState
