#include "net/Resolver.h"

#include "net/WakeFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// One lookup, shared by the waiting caller and the helper thread; the last one to let go frees it.
struct ResolveJob {
    std::string host;
    std::string service;
    int doneFd = -1; // signalled by the helper when the result is in

    std::mutex lock; // guards the three fields below
    bool done = false;
    int rc = 0;
    std::vector<sockaddr_in> addresses;

    ~ResolveJob() {
        if (doneFd >= 0) ::close(doneFd);
    }
};

void RunLookup(const std::shared_ptr<ResolveJob>& job) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(job->host.c_str(), job->service.c_str(), &hints, &list);
    std::vector<sockaddr_in> found;
    if (rc == 0) {
        for (const addrinfo* a = list; a; a = a->ai_next)
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in))
                found.push_back(*reinterpret_cast<const sockaddr_in*>(a->ai_addr));
        ::freeaddrinfo(list);
    }
    {
        std::lock_guard guard(job->lock);
        job->rc = rc;
        job->addresses = std::move(found);
        job->done = true;
    }
    SignalWakeFd(job->doneFd);
}

} // namespace

sResolveResult ResolveIPv4(const std::string& host, uint16_t port, NetDeadline deadline, int wakeFd,
                           const std::atomic<bool>& abort) {
    sResolveResult result;
    if (host.empty() || host.find('\0') != std::string::npos) {
        result.error = "no host name";
        return result;
    }
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr = numeric;
        result.addresses.push_back(a);
        result.status = ResolveStatus::Ok;
        return result;
    }

    auto job = std::make_shared<ResolveJob>();
    job->host = host;
    job->service = std::to_string(port);
    job->doneFd = CreateWakeFd();
    if (job->doneFd < 0) {
        result.error = "no descriptor for the lookup";
        return result;
    }
    try {
        std::thread([job] { RunLookup(job); }).detach();
    } catch (const std::system_error&) {
        result.error = "no thread for the lookup";
        return result;
    }

    for (;;) {
        if (abort.load(std::memory_order_acquire)) {
            result.status = ResolveStatus::Aborted;
            return result;
        }
        {
            std::lock_guard guard(job->lock);
            if (job->done) {
                if (job->rc != 0) {
                    result.error = ::gai_strerror(job->rc);
                } else if (job->addresses.empty()) {
                    result.error = "no IPv4 address";
                } else {
                    result.addresses = std::move(job->addresses);
                    result.status = ResolveStatus::Ok;
                }
                return result;
            }
        }
        const int timeout = PollTimeoutMs(deadline);
        if (timeout == 0) {
            result.status = ResolveStatus::TimedOut;
            return result;
        }
        pollfd fds[2] = {{job->doneFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeout);
        if (n < 0 && errno != EINTR) {
            result.error = "poll failed";
            return result;
        }
        if (n > 0 && (fds[1].revents & POLLIN) && !abort.load(std::memory_order_acquire)) DrainWakeFd(wakeFd);
    }
}
