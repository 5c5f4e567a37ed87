#include "net/WakeFd.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

int CreateWakeFd() {
    return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void SignalWakeFd(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    // Fails only when the counter is about to overflow, and then the descriptor is readable anyway.
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

void DrainWakeFd(int fd) {
    if (fd < 0) return;
    uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {}
}
