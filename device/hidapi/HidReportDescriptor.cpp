#include "device/hidapi/HidReportDescriptor.h"

#include <algorithm>
#include <vector>

int FeatureReportLengthFromDescriptor(const uint8_t* d, size_t size) {
    struct Globals {
        uint32_t reportSize = 0;
        uint32_t reportCount = 0;
        uint32_t reportId = 0;
    };
    // Bits per report id; report id 0 stands for "no report ids".
    uint64_t featureBits[256] = {};
    Globals g;
    std::vector<Globals> stack;
    constexpr uint64_t kMaxBits = uint64_t{8} * 65536;

    size_t i = 0;
    while (i < size) {
        const uint8_t prefix = d[i];
        if (prefix == 0xFE) { // long item: size, tag, data
            if (i + 2 >= size) return 0;
            const size_t len = d[i + 1];
            i += 3 + len;
            if (i > size) return 0;
            continue;
        }
        const size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + len > size) return 0;
        uint32_t value = 0;
        for (size_t k = 0; k < len; ++k) value |= uint32_t{d[i + 1 + k]} << (8 * k);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (type == 1) { // global
            switch (tag) {
                case 7:
                    g.reportSize = value;
                    break;
                case 8:
                    if (value == 0 || value > 255) return 0;
                    g.reportId = value;
                    break;
                case 9:
                    g.reportCount = value;
                    break;
                case 10:
                    if (stack.size() >= 64) return 0;
                    stack.push_back(g);
                    break;
                case 11:
                    if (stack.empty()) return 0;
                    g = stack.back();
                    stack.pop_back();
                    break;
                default:
                    break;
            }
        } else if (type == 0 && tag == 11) { // main: Feature
            uint64_t& bits = featureBits[g.reportId];
            bits += uint64_t{g.reportSize} * g.reportCount;
            if (bits > kMaxBits) return 0;
        }
        i += 1 + len;
    }
    uint64_t longest = 0;
    for (uint64_t bits : featureBits) longest = std::max(longest, bits);
    if (longest == 0) return 0;
    return static_cast<int>((longest + 7) / 8 + 1);
}
