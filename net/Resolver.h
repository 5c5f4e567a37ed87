#pragma once
// Name resolution with a bounded wait. getaddrinfo cannot be interrupted, so it runs on a helper
// thread of its own that shares only its job with the caller: a caller that stops waiting (deadline
// or abort) simply lets go of the job, and the helper frees it when the lookup finally returns.
// Numeric IPv4 addresses are converted at once without a helper.

#include "net/NetTime.h"

#include <atomic>
#include <netinet/in.h>
#include <string>
#include <vector>

enum class ResolveStatus {
    Ok,       // at least one address
    Failed,   // the name does not resolve (or no helper thread could be started)
    TimedOut, // the deadline passed first
    Aborted,  // the abort flag was raised
};

struct sResolveResult {
    ResolveStatus status = ResolveStatus::Failed;
    std::vector<sockaddr_in> addresses; // IPv4 stream addresses in the resolver's order, port set
    std::string error;                  // why it failed, for the log
};

// Resolves host for IPv4 TCP with the given port. Waits at most until the deadline. wakeFd (a
// non-blocking eventfd, or -1) is polled alongside: the caller's Close raises the abort flag and
// then signals it; a signal without the flag is drained and the wait goes on. Any thread.
sResolveResult ResolveIPv4(const std::string& host, uint16_t port, NetDeadline deadline, int wakeFd,
                           const std::atomic<bool>& abort);
