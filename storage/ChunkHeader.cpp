#include "storage/ChunkHeader.h"

#include <climits>

int ChunkHeader::EncodeInt(int64_t value, uint8_t* out) {
    // Unsigned negation keeps the magnitude of the most negative value.
    const uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    uint64_t rest = magnitude >> 2;
    int n = 0;
    while (rest) {
        out[1 + n++] = uint8_t(rest);
        rest >>= 8;
    }
    out[0] = uint8_t(n << 3 | (value < 0 ? MCompactInt::kNegative : 0) | (magnitude & 3));
    return n + 1;
}

int ChunkHeader::DecodeInt(const uint8_t* data, size_t avail, int64_t& value) {
    if (avail < 1) return 0;
    const uint8_t first = data[0];
    const int n = first >> 3;
    // n following bytes give a magnitude of n + 1 bytes (n when its top byte is 0): at most 8
    // bytes means n < 8, or n = 8 with nothing in the two top bits of the last byte.
    if (n > 8 || (n == 8 && avail > 8 && data[8] >= 64)) return 0;
    if (avail < size_t(n) + 1) return 0;
    uint64_t magnitude = first & 3;
    for (int i = 0; i < n; ++i) magnitude |= uint64_t(data[1 + i]) << (8 * i + 2);
    if (first & MCompactInt::kNegative)
        value = magnitude > uint64_t(INT64_MAX) ? INT64_MIN : -int64_t(magnitude);
    else
        value = magnitude > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(magnitude);
    return n + 1;
}

int ChunkHeader::Encode(uint8_t* out) const {
    out[0] = marker;
    out[1] = streamId;
    int len = 2;
    len += EncodeInt(backLink, out + len);
    len += EncodeInt(length, out + len);
    return len;
}

int ChunkHeader::Parse(const uint8_t* data, size_t avail, int64_t pos, int64_t size) {
    if (avail < 2 || data[0] != kMarker || data[1] > kMaxStreamId) return 0;
    size_t used = 2;
    int64_t back = 0, len = 0;
    const int b = DecodeInt(data + used, avail - used, back);
    if (b == 0) return 0;
    used += size_t(b);
    const int l = DecodeInt(data + used, avail - used, len);
    if (l == 0) return 0;
    used += size_t(l);
    const int64_t after = pos + int64_t(used);
    if (back < -1 || back > after || len < 0 || after > size || len > size - after) return 0;
    marker = data[0];
    streamId = data[1];
    backLink = back;
    length = len;
    return int(used);
}
