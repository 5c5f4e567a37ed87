#pragma once
// Chunk container: several logical streams interleaved in one byte stream as self-describing
// chunks (see ChunkHeader), back to back from offset 0, each linked back to its predecessor.
// There is no file header, trailer or index. A reader walks forwards (resynchronising one byte
// at a time past damaged bytes), backwards through the back links, or finds the latest chunk
// from the end of the stream without walking the whole stream.
//
// The muxer has a current chunk after a successful Next, Prev, Last, SeekChunk or WriteChunk;
// none (IsValid() false) after SetStream, Reset or a failed Next/Last. A failed Next keeps the
// current position, so a later Current probes that same position again.
//
// Thread safety: every operation holds the muxer's recursive lock for its whole duration (the
// stream's own lock nests inside), so one thread's navigation and reads do not interleave with
// another's. A caller that needs several operations in one piece takes Lock() around them.

#include "core/MBaseStream.h"
#include "core/MCriticalSection.h"
#include "storage/ChunkHeader.h"

#include <cstdint>

class MMuxer {
public:
    MMuxer() = default;
    MMuxer(const MMuxer&) = delete;
    MMuxer& operator=(const MMuxer&) = delete;

    // Attaches the stream (not owned; may be null) and Resets.
    void SetStream(MBaseStream* stream);
    // No current chunk; position 0, header length 0, header cleared.
    void Reset();

    // True at once when there is a current chunk; otherwise Next.
    bool Current();
    // The first valid chunk after the current one (at the current position when there is none).
    // The first candidate is taken on its own checks; any later one, found by stepping one byte
    // at a time, must also be followed by a marker (or end with the stream).
    bool Next();
    // The chunk the current one links back to. Fails for the first chunk (link 0), an unlinked
    // chunk (-1) and a link that leads to no valid header; the current chunk then stays.
    bool Prev();
    // The latest chunk: scans back from 6 bytes before the end for a header whose predecessor
    // ends exactly where it starts (or which is unlinked). Never finds a chunk with link 0.
    bool Last();
    // The first valid chunk at or after pos.
    bool SeekChunk(int64_t pos);
    // There is a current chunk and its payload lies within the stream.
    bool IsComplete();

    // Bytes of the current chunk's payload from offset (< 1 means 0), count bytes (< 0 means
    // all). -1 when the payload is incomplete or offset is at or past its end.
    int32_t ReadPayload(void* buf, int32_t offset, int32_t count);

    // Writes a chunk at the end of the current chunk (offset 0 in a fresh container), over
    // whatever lies there. Refused for id > 100, null data, len <= 0 or no stream. With link,
    // the back link is the distance from the current chunk (0 for a fresh container), else -1.
    bool WriteChunk(uint8_t id, const void* data, int32_t len, bool link);

    // The current chunk (meaningful when IsValid()).
    bool IsValid();
    uint8_t StreamId();
    // Payload length, saturated to int32.
    int32_t PayloadLength();
    int64_t Position();
    int32_t HeaderLength();
    // Offset just past the current chunk's payload.
    int64_t End();
    ChunkHeader Header();

    MBaseStream* Stream() { return m_stream; }
    MCriticalSection& Lock() { return m_lock; }

private:
    // Reads and checks the header at pos of a stream of size bytes; header length or 0.
    int ReadHeader(int64_t pos, int64_t size, ChunkHeader& header);
    // First offset >= from (and < size) holding the marker byte; size when there is none.
    int64_t FindMarker(int64_t from, int64_t size);
    // Last offset <= from (and >= 0) holding the marker byte; -1 when there is none.
    int64_t FindMarkerBack(int64_t from);
    bool ByteAt(int64_t pos, uint8_t& byte);

    ChunkHeader m_header;   // the chunk last read or written
    int64_t m_position = 0; // offset of its marker
    int32_t m_headerLength = 0;
    bool m_valid = false;
    MBaseStream* m_stream = nullptr;
    MCriticalSection m_lock;
};
