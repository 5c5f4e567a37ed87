// Loads arbitrary bytes as a stream file. A file that loads must survive packing and unpacking
// unchanged, and saving and loading again; one that does not load leaves the stream empty.

#include "core/MStream.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

int MemoryFile(const char* name) {
    const int fd = ::memfd_create(name, 0);
    if (fd < 0) __builtin_trap();
    return fd;
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

bool Same(const uint8_t* a, const uint8_t* b, int32_t n) {
    return n == 0 || std::memcmp(a, b, size_t(n)) == 0;
}

void Refill(int fd, const uint8_t* data, size_t size) {
    if (size > 0) Check(::pwrite(fd, data, size, 0) == ssize_t(size));
    Check(::ftruncate(fd, off_t(size)) == 0);
    Check(::lseek(fd, 0, SEEK_SET) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int input = MemoryFile("streamfile");
    static const int output = MemoryFile("streamfile-out");
    Refill(input, data, size);

    MStream s;
    if (!s.ReadFromFile(input, true)) {
        Check(s.GetSize() == 0 && !s.IsPacked());
        return 0;
    }
    Check(!s.IsPacked() && s.GetPosition() == 0);
    const int32_t length = int32_t(s.GetSize());
    const int32_t announced = int32_t(uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                      uint32_t(data[3]) << 24);
    if (announced >= 0) { // a plain file loads as its own bytes
        Check(announced == length && Same(s.Data(), data + 4, length));
        Check(::lseek(input, 0, SEEK_CUR) == 4 + length);
    } else {
        Check(::lseek(input, 0, SEEK_CUR) == 4 - int64_t(announced));
    }

    // Reading everything leaves the position at the end, which is what packing takes.
    std::vector<uint8_t> original(static_cast<size_t>(length));
    Check(s.Read(original.data(), length) == length);
    const int32_t packed = s.Pack();
    Check(packed >= 0);
    if (packed > 0) Check(s.IsPacked() && packed < length + 8); // the block itself is shorter than the data

    // Saved as it is now (packed or plain) and loaded again, it is still the same.
    Refill(output, nullptr, 0);
    Check(s.WriteToFile(output, false));
    Check(::lseek(output, 0, SEEK_SET) == 0);
    MStream again;
    Check(again.ReadFromFile(output, true));
    Check(again.GetSize() == length && Same(again.Data(), original.data(), length));

    // And unpacked in memory.
    Check(s.Unpack() == length);
    Check(s.GetSize() == length && Same(s.Data(), original.data(), length));
    return 0;
}
