// Tree files and tree images from outside: the input is loaded as a tree file (a stream file
// holding a tree image) and directly as a tree image. Loading must never crash or allocate beyond
// what the bytes can hold; whenever a load succeeds, save -> load -> save gives the same bytes.

#include "core/MStream.h"
#include "core/MVarArray.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// The input reaches LoadFromFile as a real path without touching the disk.
int MemoryFile() {
    static int fd = memfd_create("treefile", MFD_CLOEXEC);
    return fd;
}

MString MemoryPath() {
    return MString("/proc/self/fd/" + std::to_string(MemoryFile()));
}

bool Store(const void* data, size_t size) {
    int fd = MemoryFile();
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
    return size == 0 || ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
}

// Streams are reused between runs: allocation dominates the cost of small inputs under ASan.
MStream& Scratch() {
    static MStream s;
    s.Seek(0);
    return s;
}

std::vector<uint8_t> Image(const MVarArray& tree) {
    MStream& s = Scratch();
    if (!tree.SaveImage(s)) __builtin_trap(); // whatever loaded must save (inputs stay far below the limits)
    return std::vector<uint8_t>(s.Data(), s.Data() + s.GetPosition());
}

void CheckImageRoundTrip(const MVarArray& tree) {
    std::vector<uint8_t> first = Image(tree);
    MStream& s = Scratch();
    s.Write(first.data(), static_cast<int32_t>(first.size()));
    s.Seek(0);
    MVarArray again;
    if (!again.LoadImage(s)) __builtin_trap();
    if (Image(again) != first) __builtin_trap();
}

void CheckFileRoundTrip(const MVarArray& tree) {
    std::vector<uint8_t> image = Image(tree);
    MStream s; // packed in place, so not the scratch stream
    s.Write(image.data(), static_cast<int32_t>(image.size()));
    if (!Store(nullptr, 0) || ::lseek(MemoryFile(), 0, SEEK_SET) != 0) __builtin_trap();
    if (!s.WriteToFile(MemoryFile(), true)) return; // no packer: nothing to check
    MVarArray again;
    if (!again.LoadFromFile(MemoryPath())) __builtin_trap();
    if (Image(again) != image) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24)) return 0;
    {
        MStream& s = Scratch();
        if (size > 0)
            s.Write(data, static_cast<int32_t>(size));
        else
            s.SetSize(0);
        s.Seek(0);
        MVarArray tree;
        if (tree.LoadImage(s)) CheckImageRoundTrip(tree);
    }
    if (Store(data, size)) {
        MVarArray tree;
        if (tree.LoadFromFile(MemoryPath())) {
            CheckImageRoundTrip(tree);
            CheckFileRoundTrip(tree);
        }
    }
    return 0;
}
