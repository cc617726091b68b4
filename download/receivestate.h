#ifndef RECEIVESTATE_H
#define RECEIVESTATE_H

#include "download/deviceframe.h"

#include <QtGlobal>

// Gathering the device's 6-byte replies from arbitrarily split chunks.
// The buffer and its two counters are owned by the caller (the download
// worker keeps them as fields); these functions only do the arithmetic.
namespace ReceiveState
{

constexpr int Capacity = 128;

// Appends a chunk at `index`. Whatever does not fit into the Capacity bytes
// is dropped, so the counters never pass Capacity. Returns the bytes stored.
int takeIn(unsigned char *buffer, quint8 &count, quint8 &index, const char *chunk, int size);

// A whole reply's bytes since the last clear.
inline bool replyComplete(quint8 count)
{
    return count >= DeviceFrame::ReplySize;
}

// Byte 0 is the start byte and byte 5 the XOR of bytes 1..4.
bool replyAccepted(const unsigned char *buffer);

inline void clear(quint8 &count, quint8 &index)
{
    count = 0;
    index = 0;
}

} // namespace ReceiveState

#endif
