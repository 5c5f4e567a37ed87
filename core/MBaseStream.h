#pragma once
// The byte-stream interface everything the system stores passes through.
// Streams are owned by value; nobody deletes one through this interface.

#include <cstdint>

class MBaseStream {
public:
    // True when all bytes were accepted.
    virtual bool Write(const void* data, int32_t len) = 0;
    // Absolute seek; returns the position reached, or -1 when refused.
    virtual int64_t Seek(int64_t pos) = 0;
    virtual int64_t GetPosition() = 0;
    virtual int64_t GetSize() = 0;
    // Bytes copied (fewer at the end of the data); -1 for bad arguments.
    virtual int32_t Read(void* buf, int32_t len) = 0;

protected:
    MBaseStream() = default;
    MBaseStream(const MBaseStream&) = default;
    MBaseStream& operator=(const MBaseStream&) = default;
    ~MBaseStream() = default;
};
