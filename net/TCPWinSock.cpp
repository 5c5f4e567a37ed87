#include "net/TCPWinSock.h"

#include "net/Resolver.h"
#include "net/WakeFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

// Receives per worker pass before the flags are looked at again, so that a fast sender cannot keep
// the worker from noticing Close.
constexpr int kReceivesPerPass = 16;
// Pause before a send is retried after the system ran out of buffers.
constexpr int kNoBuffersRetryMs = 1;

void CloseDescriptor(int& fd) {
    if (fd < 0) return;
    ::close(fd); // not retried on EINTR: the descriptor is released either way on Linux
    fd = -1;
}

} // namespace

TCPWinSock::TCPWinSock() : m_wakeFd(CreateWakeFd()) {}

TCPWinSock::~TCPWinSock() {
    Shutdown();
    CloseDescriptor(m_wakeFd);
}

void TCPWinSock::Shutdown() {
    m_shutdown.store(true, std::memory_order_release);
    Close();
}

bool TCPWinSock::Stopping() const {
    return m_abort.load(std::memory_order_acquire) || m_stopWorker.load(std::memory_order_acquire) ||
           m_shutdown.load(std::memory_order_acquire);
}

bool TCPWinSock::OnWorker() const {
    return m_workerId.load() == std::this_thread::get_id();
}

bool TCPWinSock::IsConnected() const {
    return m_connected.load(std::memory_order_acquire) && !m_ended.load(std::memory_order_acquire) &&
           !m_shutdown.load(std::memory_order_acquire);
}

void TCPWinSock::WakeWorker() {
    SignalWakeFd(m_wakeFd);
}

void TCPWinSock::Close() {
    m_abort.store(true, std::memory_order_release);
    SignalWakeFd(m_wakeFd);
    if (OnWorker()) return; // the worker ends after its callback
    std::lock_guard guard(m_connLock);
    Teardown();
    if (!m_shutdown.load(std::memory_order_acquire)) m_abort.store(false, std::memory_order_release);
}

void TCPWinSock::Teardown() {
    if (m_worker.joinable()) {
        m_stopWorker.store(true, std::memory_order_release);
        SignalWakeFd(m_wakeFd);
        m_worker.join();
        m_workerId.store(std::thread::id());
        m_stopWorker.store(false, std::memory_order_release);
    }
    m_connected.store(false, std::memory_order_release);
    m_ended.store(true, std::memory_order_release);
    CloseDescriptor(m_socket);
    {
        std::lock_guard peer(m_peerLock);
        m_peer = sockaddr_in{};
    }
    Reset();
    DrainWakeFd(m_wakeFd);
}

int TCPWinSock::Connect(const MString& host, int port, NetDeadline deadline) {
    if (OnWorker()) return 1; // it would have to join itself
    std::lock_guard guard(m_connLock);
    Teardown();
    if (port <= 0 || port > 65535 || !Connectable()) return 1;
    const NetDeadline resolveBy = std::min(deadline, DeadlineAfter(ConnectTimeout()));
    sResolveResult r = ResolveIPv4(host.ToUtf8(), static_cast<uint16_t>(port), resolveBy, m_wakeFd, m_abort);
    if (r.status != ResolveStatus::Ok) return 1;
    return ConnectLocked(r.addresses, deadline);
}

int TCPWinSock::ConnectAddresses(const std::vector<sockaddr_in>& addresses, NetDeadline deadline) {
    if (OnWorker()) return 1;
    std::lock_guard guard(m_connLock);
    Teardown();
    if (!Connectable()) return 1;
    return ConnectLocked(addresses, deadline);
}

bool TCPWinSock::Connectable() const {
    return m_wakeFd >= 0 && !m_shutdown.load(std::memory_order_acquire) &&
           !m_abort.load(std::memory_order_acquire);
}

int TCPWinSock::ConnectLocked(const std::vector<sockaddr_in>& addresses, NetDeadline deadline) {
    int fd = -1;
    for (const sockaddr_in& address : addresses) {
        if (m_abort.load(std::memory_order_acquire) || NetClock::now() >= deadline) break;
        const NetDeadline attemptBy = std::min(deadline, DeadlineAfter(ConnectTimeout()));
        fd = ConnectOne(address, attemptBy);
        if (fd >= 0) break;
        if (fd == -2) return 1; // no socket at all: the next address would fare no better
    }
    if (fd < 0) return 1;
    if (m_abort.load(std::memory_order_acquire)) {
        CloseDescriptor(fd);
        return 1;
    }

    m_socket = fd;
    m_ended.store(false, std::memory_order_release);
    OnConnected();
    try {
        m_worker = std::thread([this, fd] { WorkerMain(fd); });
    } catch (const std::system_error&) {
        m_ended.store(true, std::memory_order_release);
        CloseDescriptor(m_socket);
        return 1;
    }
    m_workerId.store(m_worker.get_id());
    {
        std::lock_guard peer(m_peerLock);
        sockaddr_in got{};
        socklen_t len = sizeof got;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&got), &len) == 0) m_peer = got;
    }
    m_connected.store(true, std::memory_order_release);
    return 0;
}

// One attempt: the connected socket, -1 when this address did not connect, -2 when no socket
// could be created. Under m_connLock.
int TCPWinSock::ConnectOne(const sockaddr_in& address, NetDeadline deadline) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return -2;
    // Closing resets the connection at once instead of lingering.
    const linger off{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);

    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc == 0) return fd;
    if (errno != EINPROGRESS && errno != EINTR) {
        CloseDescriptor(fd);
        return -1;
    }
    for (;;) {
        if (m_abort.load(std::memory_order_acquire)) break;
        const int timeout = PollTimeoutMs(deadline);
        if (timeout == 0) break;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) DrainWakeFd(m_wakeFd); // the flag is looked at above
        if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) {
            // Writable alone does not mean connected: a refused attempt is writable too.
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) return fd;
            break;
        }
    }
    CloseDescriptor(fd);
    return -1;
}

void TCPWinSock::WorkerMain(int fd) {
    EndReason reason = EndReason::Aborted;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    try {
        in.resize(kReceiveBufferSize);
        out.resize(kReceiveBufferSize);
    } catch (const std::bad_alloc&) {
        m_ended.store(true, std::memory_order_release);
        OnDisconnect(EndReason::Error);
        return;
    }
    size_t outBegin = 0; // bytes of `out` still to send: [outBegin, outEnd)
    size_t outEnd = 0;
    bool backOff = false; // the last send found no buffers: wait a moment before the next one

    for (;;) {
        if (Stopping()) {
            reason = EndReason::Aborted;
            break;
        }
        if (outBegin == outEnd) {
            const int n = Produce(kReceiveBufferSize, out.data());
            if (n < 0) {
                reason = EndReason::Local;
                break;
            }
            outBegin = 0;
            outEnd = static_cast<size_t>(std::min(n, kReceiveBufferSize));
        }

        const bool wantSend = outBegin < outEnd && !backOff;
        pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (wantSend ? POLLOUT : 0)), 0},
                         {m_wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, backOff ? kNoBuffersRetryMs : -1);
        backOff = false;
        if (ready < 0) {
            if (errno == EINTR) continue;
            reason = EndReason::Error;
            break;
        }
        if (fds[1].revents & POLLIN) DrainWakeFd(m_wakeFd);
        if (fds[0].revents & POLLNVAL) {
            reason = EndReason::Error;
            break;
        }

        bool end = false;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            for (int i = 0; i < kReceivesPerPass && !end; ++i) {
                const ssize_t got = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
                if (got > 0) {
                    if (Consume(static_cast<int>(got), in.data()) < 0) {
                        reason = EndReason::Local;
                        end = true;
                    } else if (Stopping()) {
                        break;
                    }
                } else if (got == 0) {
                    reason = EndReason::PeerClosed;
                    end = true;
                } else if (errno == EINTR) {
                    continue;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    break;
                } else {
                    reason = EndReason::Error;
                    end = true;
                }
            }
        }
        if (end) break;

        if (outBegin < outEnd && (fds[0].revents & POLLOUT)) {
            const ssize_t sent =
                ::send(fd, out.data() + outBegin, outEnd - outBegin, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                outBegin += static_cast<size_t>(sent);
            } else if (sent < 0 && errno == ENOBUFS) {
                backOff = true;
            } else if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                // poll again
            } else {
                reason = EndReason::Error;
                break;
            }
        }
    }
    m_ended.store(true, std::memory_order_release);
    OnDisconnect(reason);
}

MString TCPWinSock::PeerAddress() const {
    std::lock_guard peer(m_peerLock);
    if (m_peer.sin_port == 0) return {};
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &m_peer.sin_addr, text, sizeof text)) return {};
    return MString(text);
}

int TCPWinSock::PeerPort() const {
    std::lock_guard peer(m_peerLock);
    return ntohs(m_peer.sin_port);
}
