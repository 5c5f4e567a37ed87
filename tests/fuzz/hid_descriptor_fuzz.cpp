#include "device/hidapi/HidReportDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int length = FeatureReportLengthFromDescriptor(data, size);
    // A result is 0 or a report id byte plus at most 64 KiB of feature data.
    if (length < 0 || length > 65536 + 1 || length == 1) std::abort();
    return 0;
}
