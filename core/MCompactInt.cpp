#include "core/MCompactInt.h"

#include <climits>

MCompactInt::MCompactInt(int64_t v) {
    // Unsigned negation, so that the most negative value keeps its magnitude 2^63.
    uint64_t magnitude = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
    m_flags = v < 0 ? kNegative : 0;
    while (magnitude) {
        m_magnitude[m_length++] = uint8_t(magnitude);
        magnitude >>= 8;
    }
}

int32_t MCompactInt::ToInt32() const {
    uint64_t magnitude = 0;
    if (m_length > 4) {
        magnitude = INT32_MAX;
    } else {
        for (int i = m_length - 1; i >= 0; --i) magnitude = magnitude << 8 | m_magnitude[i];
    }
    if (IsNegative()) return magnitude >= uint64_t(INT32_MAX) + 1 ? INT32_MIN : -int32_t(magnitude);
    return magnitude > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(magnitude);
}

int64_t MCompactInt::ToInt64() const {
    uint64_t magnitude = 0;
    if (m_length > 8) {
        magnitude = INT64_MAX;
    } else {
        for (int i = m_length - 1; i >= 0; --i) magnitude = magnitude << 8 | m_magnitude[i];
    }
    if (IsNegative()) return magnitude >= uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
    return magnitude > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(magnitude);
}

int MCompactInt::Encode(uint8_t* out) const {
    // The magnitude shifted right by 2; a decoded magnitude has at most 2 + 8 * 31 bits, so
    // at most 31 bytes remain and n always fits the five bits of the first byte.
    int n = 0;
    for (int i = 0; i < m_length; ++i) {
        const uint8_t next = i + 1 < m_length ? m_magnitude[i + 1] : 0;
        out[1 + i] = uint8_t(m_magnitude[i] >> 2 | next << 6);
        if (out[1 + i]) n = i + 1;
    }
    const uint8_t low = m_length ? m_magnitude[0] & 3 : 0;
    out[0] = uint8_t(n << 3 | (IsNegative() ? kNegative : 0) | low);
    return n + 1;
}

void MCompactInt::DecodeParts(uint8_t first, const uint8_t* follow, int n) {
    m_magnitude.fill(0);
    m_magnitude[0] = first & 3;
    for (int i = 0; i < n; ++i) {
        m_magnitude[i] |= uint8_t(follow[i] << 2);
        m_magnitude[i + 1] = uint8_t(follow[i] >> 6);
    }
    // Strip every high zero byte, also those of a serial form padded with zero bytes, so that
    // equal values compare equal and re-encode to the same bytes.
    int length = n + 1;
    while (length > 0 && m_magnitude[length - 1] == 0) --length;
    m_length = uint8_t(length);
    m_flags = first;
    if (m_length == 0) m_flags &= uint8_t(~kNegative); // there is no negative zero
}

int32_t MCompactInt::WriteTo(MBaseStream& stream) const {
    uint8_t serial[kMaxMagnitude + 1];
    const int count = Encode(serial);
    return stream.Write(serial, count) ? count : -1;
}

int32_t MCompactInt::ReadFrom(MBaseStream& stream) {
    uint8_t first = 0;
    if (stream.Read(&first, 1) != 1) return 0;
    const int n = first >> 3;
    uint8_t follow[kMaxMagnitude];
    if (n > 0 && stream.Read(follow, n) != n) return 0;
    DecodeParts(first, follow, n);
    return n + 1;
}

int32_t MCompactInt::Decode(const uint8_t* data, size_t size) {
    if (!data || size < 1) return 0;
    const int n = data[0] >> 3;
    if (size < size_t(n) + 1) return 0;
    DecodeParts(data[0], data + 1, n);
    return n + 1;
}

bool MCompactInt::operator==(const MCompactInt& o) const {
    if (m_length != o.m_length) return false;
    if (m_length == 0) return true;
    if (IsNegative() != o.IsNegative()) return false;
    for (int i = 0; i < m_length; ++i)
        if (m_magnitude[i] != o.m_magnitude[i]) return false;
    return true;
}

bool MCompactInt::operator<(const MCompactInt& o) const {
    const bool negative = IsNegative();
    if (negative != o.IsNegative()) return negative;
    int order = 0; // magnitude order: -1 smaller, 1 larger
    if (m_length != o.m_length) {
        order = m_length < o.m_length ? -1 : 1;
    } else {
        for (int i = m_length - 1; i >= 0 && order == 0; --i)
            if (m_magnitude[i] != o.m_magnitude[i]) order = m_magnitude[i] < o.m_magnitude[i] ? -1 : 1;
    }
    return negative ? order > 0 : order < 0;
}

std::string MCompactInt::ToHexString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s = IsNegative() ? "-0x" : "0x";
    if (m_length == 0) return s + '0';
    for (int i = 0; i < m_length; ++i) {
        s += kDigits[m_magnitude[i] >> 4];
        s += kDigits[m_magnitude[i] & 15];
    }
    return s;
}
