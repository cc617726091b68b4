// Arbitrary chunks into the receive buffer, judged like the session judges
// them, against a plain model of what the buffer must hold.
//
// Input: a chunk length byte followed by that many bytes, repeated; a
// length byte of 0xF0 or more clears the receive state instead, as the
// session does after an accepted reply. Without clears the chunks pile up
// to the buffer's capacity and the rest must be dropped.

#include "download/deviceframe.h"
#include "download/receivestate.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool modelAccepts(const std::vector<unsigned char> &bytes)
{
    return bytes[0] == DeviceFrame::StartByte &&
           bytes[5] == (bytes[1] ^ bytes[2] ^ bytes[3] ^ bytes[4]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the capacity on the heap, so a store past its end is caught.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[ReceiveState::Capacity]);
    std::memset(buffer.get(), 0, ReceiveState::Capacity);
    quint8 count = 0;
    quint8 index = 0;
    std::vector<unsigned char> model;

    size_t pos = 0;
    while (pos < size) {
        const unsigned op = data[pos++];
        if (op >= 0xF0) {
            ReceiveState::clear(count, index);
            model.clear();
            continue;
        }
        const int length = static_cast<int>(std::min<size_t>(op, size - pos));
        const char *chunk = reinterpret_cast<const char *>(data + pos);
        pos += length;

        const int room = ReceiveState::Capacity - static_cast<int>(model.size());
        const int stored = ReceiveState::takeIn(buffer.get(), count, index, chunk, length);
        check(stored == std::min(length, room));
        model.insert(model.end(), chunk, chunk + stored);

        check(count == model.size() && index == model.size());
        check(model.empty() || std::memcmp(buffer.get(), model.data(), model.size()) == 0);
        check(ReceiveState::replyComplete(count) == (model.size() >= DeviceFrame::ReplySize));
        // Judged on every chunk, as the polling session may see any of them;
        // it is the first six bytes since the clear that count.
        if (ReceiveState::replyComplete(count))
            check(ReceiveState::replyAccepted(buffer.get()) == modelAccepts(model));
    }
    return 0;
}
