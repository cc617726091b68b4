// Arbitrary host bytes, whole and in data-chosen splits, through the
// simulator's frame parser; exerciseFrameParser() checks every frame and
// that no byte is lost or invented.

#include "sim/frameparser.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!exerciseFrameParser(data, size))
        std::abort();
    return 0;
}
