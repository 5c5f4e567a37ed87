#include "app/TemporaryFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string NewTemporaryBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) return {};
    }
    errno = EEXIST;
    return {};
}

bool ReplaceWithTemporary(const std::string& temporary, const std::string& target, std::string& reason) {
    auto fail = [&](const char* what) {
        reason = std::string(what) + " " + target + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    };
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot write");
    const bool synced = ::fsync(fd) == 0;
    const int syncErrno = errno;
    ::close(fd);
    if (!synced) {
        errno = syncErrno;
        return fail("cannot write");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail("cannot write");
    // The rename itself reaches the disk with the folder.
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}
