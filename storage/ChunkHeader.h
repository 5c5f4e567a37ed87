#pragma once
// Header of one chunk of the chunk container:
//   marker 0x47 ('G'), stream id 0 ... 100, back link, payload length, payload.
// Back link and payload length are stored in the serial form of MCompactInt; a header accepts
// at most 8 magnitude bytes for each. The back link is the distance from the start of the
// previous chunk, 0 in the first chunk of a container, -1 in a chunk written without a link.
//
// The integers are kept as int64 (what every reader uses); BackLinkInt / LengthInt give them
// as MCompactInt. Encode and Parse are the hot path of every record read and write, so they
// work on byte buffers and never touch a stream.

#include "core/MCompactInt.h"

#include <cstddef>
#include <cstdint>

struct ChunkHeader {
    static constexpr uint8_t kMarker = 0x47;
    static constexpr uint8_t kMaxStreamId = 100;
    // Longest serial form of one header integer (first byte and 8 following bytes).
    static constexpr int kMaxIntBytes = 9;
    // Longest valid header: marker, stream id and two integers.
    static constexpr int kMaxSize = 2 + 2 * kMaxIntBytes;

    int64_t backLink = 0;
    int64_t length = 0;
    uint8_t marker = kMarker;
    uint8_t streamId = 0;

    // Back link 0, length 0, marker 0x47, stream id 0.
    void Clear() { *this = ChunkHeader{}; }

    MCompactInt BackLinkInt() const { return MCompactInt(backLink); }
    MCompactInt LengthInt() const { return MCompactInt(length); }

    // Serial form into out (at least kMaxSize bytes); returns its length.
    int Encode(uint8_t* out) const;

    // Reads a header from the avail bytes at data, which lie at offset pos of a stream of size
    // bytes. Returns the header length (marker to payload), or 0 unless all of these hold: two
    // bytes, the marker, stream id <= 100; both integers present with at most 8 magnitude bytes;
    // -1 <= back link <= pos + header length; 0 <= length; the payload ends within size.
    // On 0 the members are unspecified.
    int Parse(const uint8_t* data, size_t avail, int64_t pos, int64_t size);

    // One integer in the header's serial form; bytes written (1 ... 9).
    static int EncodeInt(int64_t value, uint8_t* out);
    // Decodes one header integer; bytes consumed, or 0 when the bytes end early or the
    // magnitude needs more than 8 bytes. Magnitudes above INT64_MAX saturate like MCompactInt.
    static int DecodeInt(const uint8_t* data, size_t avail, int64_t& value);
};
