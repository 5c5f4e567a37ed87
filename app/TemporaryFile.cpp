#include "app/TemporaryFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool ReplaceFileWhole(const std::string& target, const WholeFileWriter& write, std::string& reason) {
    auto errnoText = [](const char* what, const std::string& path) {
        return std::string(what) + " " + path + ": " + std::strerror(errno);
    };
    // A name of our own in the target's folder, so that the rename stays on one file system.
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    for (int attempt = 0; attempt < 100 && temporary.empty(); ++attempt) {
        std::string name = target + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temporary = std::move(name);
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (temporary.empty()) {
        reason = errnoText("cannot create", target);
        return false;
    }
    auto fail = [&](std::string why) {
        reason = std::move(why);
        ::unlink(temporary.c_str());
        return false;
    };
    std::string why;
    if (!write(temporary, why)) return fail(why.empty() ? "cannot write " + target : why);
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errnoText("cannot write", target));
    const bool synced = ::fsync(fd) == 0;
    const int syncErrno = errno;
    ::close(fd);
    errno = syncErrno;
    if (!synced) return fail(errnoText("cannot write", target));
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(errnoText("cannot write", target));
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
