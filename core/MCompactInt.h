#pragma once
// Compact serial form of a signed integer of up to 64 bits (1 to 9 bytes in valid data):
// first byte = n << 3 | sign << 2 | (magnitude & 3), then magnitude >> 2 in n bytes, little-endian,
// without high zero bytes.

#include "core/MBaseStream.h"

#include <array>
#include <cstdint>
#include <string>

class MCompactInt {
public:
    static constexpr uint8_t kNegative = 4;
    // The first byte can announce up to 31 following bytes; a decoded magnitude has at most 32.
    static constexpr int kMaxMagnitude = 32;

    MCompactInt() = default;
    explicit MCompactInt(int32_t v) : MCompactInt(static_cast<int64_t>(v)) {}
    explicit MCompactInt(int64_t v);

    int32_t ToInt32() const; // saturates above 4 magnitude bytes
    int64_t ToInt64() const; // saturates above 8 magnitude bytes

    // Serial form; bytes written, -1 on failure.
    int32_t WriteTo(MBaseStream& stream) const;
    // Bytes consumed (n + 1); 0 when the stream ended early (the value is then unchanged).
    int32_t ReadFrom(MBaseStream& stream);
    // Decodes from a buffer; bytes consumed, 0 when the buffer ends early.
    int32_t Decode(const uint8_t* data, size_t size);

    bool operator==(const MCompactInt& o) const;
    bool operator<(const MCompactInt& o) const;
    bool operator!=(const MCompactInt& o) const { return !(*this == o); }
    bool operator>(const MCompactInt& o) const { return o < *this; }
    bool operator<=(const MCompactInt& o) const { return !(o < *this); }
    bool operator>=(const MCompactInt& o) const { return !(*this < o); }

    // "0x" / "-0x" and the magnitude bytes, least significant first; zero gives "0x0".
    std::string ToHexString() const;

    bool IsNegative() const { return (m_flags & kNegative) != 0; }
    int Length() const { return m_length; }
    const uint8_t* Magnitude() const { return m_magnitude.data(); }
    uint8_t Flags() const { return m_flags; }

private:
    // Writes the serial form (at most kMaxMagnitude + 1 bytes); returns its length.
    int Encode(uint8_t* out) const;
    void DecodeParts(uint8_t first, const uint8_t* follow, int n);

    std::array<uint8_t, kMaxMagnitude> m_magnitude{}; // little-endian, no high zero bytes
    uint8_t m_flags = 0;                              // kNegative; after decoding, the serial first byte
    uint8_t m_length = 0;
};
