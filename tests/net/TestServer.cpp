#include "tests/net/TestServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {

namespace {

int Listen(int backlog, int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

int ClosedPort() {
    int port = 0;
    const int fd = Listen(1, port);
    if (fd >= 0) ::close(fd);
    return port;
}

// ---- TestConnection ----

bool TestConnection::Stopping() const {
    return m_server.m_stopping.load();
}

bool TestConnection::Wait(short events, int timeoutMs) {
    pollfd fds[2] = {{m_fd, events, 0}, {m_server.m_stopFd, POLLIN, 0}};
    for (;;) {
        if (Stopping() || m_fd < 0) return false;
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (fds[1].revents & POLLIN)) return false;
        return true;
    }
}

bool TestConnection::ReadRequest(std::string* head) {
    for (;;) {
        const size_t end = m_pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string request = m_pending.substr(0, end + 4);
            m_pending.erase(0, end + 4);
            {
                std::lock_guard lock(m_server.m_lock);
                m_server.m_requests.push_back(request);
            }
            if (head) *head = std::move(request);
            return true;
        }
        if (!Wait(POLLIN, -1)) return false;
        char buf[4096];
        const ssize_t got = ::recv(m_fd, buf, sizeof buf, 0);
        if (got <= 0) return false;
        m_pending.append(buf, static_cast<size_t>(got));
    }
}

bool TestConnection::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!Wait(POLLOUT, -1)) return false;
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool TestConnection::Trickle(std::string_view bytes, std::chrono::milliseconds pause, size_t piece) {
    while (!bytes.empty()) {
        const size_t n = std::min(piece, bytes.size());
        if (!Send(bytes.substr(0, n))) return false;
        bytes.remove_prefix(n);
        // The pause is a wait on the stop signal, so stopping ends it at once.
        if (Wait(0, static_cast<int>(pause.count())) || Stopping()) return false;
    }
    return true;
}

bool TestConnection::Stream(const std::function<std::string()>& next) {
    for (;;) {
        const std::string piece = next();
        if (piece.empty()) return true;
        if (!Send(piece)) return false;
    }
}

void TestConnection::Reset() {
    if (m_fd < 0) return;
    const linger off{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    ::close(m_fd);
    m_fd = -1;
}

void TestConnection::WaitForClose() {
    char buf[4096];
    while (Wait(POLLIN, -1))
        if (::recv(m_fd, buf, sizeof buf, 0) <= 0) return;
}

void TestConnection::Idle() {
    Wait(0, -1);
}

// ---- TestServer ----

TestServer::TestServer(Handler handler, bool accept, int backlog) : m_handler(std::move(handler)) {
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_listen = Listen(backlog, m_port);
    if (accept && m_listen >= 0) m_acceptor = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
    Stop();
    if (m_listen >= 0) ::close(m_listen);
    if (m_stopFd >= 0) ::close(m_stopFd);
}

std::string TestServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> TestServer::Requests() const {
    std::lock_guard lock(m_lock);
    return m_requests;
}

void TestServer::Stop() {
    if (m_stopping.exchange(true)) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(m_stopFd, &one, sizeof one);
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> handlers;
    {
        std::lock_guard lock(m_lock);
        handlers.swap(m_handlers);
    }
    for (std::thread& t : handlers) t.join();
}

void TestServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (fds[1].revents & POLLIN)) return;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++m_connections;
        std::lock_guard lock(m_lock);
        m_handlers.emplace_back([this, fd] {
            TestConnection c(*this, fd);
            m_handler(c);
            if (c.m_fd >= 0) ::close(c.m_fd);
        });
    }
}

} // namespace nettest
