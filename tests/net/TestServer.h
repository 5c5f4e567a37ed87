#pragma once
// A small threaded HTTP test server on 127.0.0.1 with a port the system chooses. Every accepted
// connection runs the test's handler on a thread of its own; the handler reads request heads and
// writes whatever bytes the test wants, as fast or as slowly as it likes. Stopping wakes every
// wait of every handler and joins all threads.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace nettest {

class TestServer;

class TestConnection {
public:
    // Reads one request head (through the blank line). False when the peer closed, the connection
    // broke or the server stops.
    bool ReadRequest(std::string* head = nullptr);
    // Sends all bytes; false when the peer is gone or the server stops.
    bool Send(std::string_view bytes);
    // Sends the bytes a few at a time with a pause between the pieces; false as Send.
    bool Trickle(std::string_view bytes, std::chrono::milliseconds pause, size_t piece = 1);
    // Sends the pieces produced by next() until it returns an empty piece or sending fails.
    bool Stream(const std::function<std::string()>& next);
    // Resets the connection (RST) and closes it.
    void Reset();
    // Waits until the peer has sent something (false on stop or after timeoutMs).
    bool WaitReadable(int timeoutMs) { return Wait(POLLIN, timeoutMs); }
    // Waits until the peer closes the connection or the server stops; received bytes are dropped.
    void WaitForClose();
    // Waits without doing anything until the server stops.
    void Idle();
    bool Stopping() const;

private:
    friend class TestServer;
    TestConnection(TestServer& server, int fd) : m_server(server), m_fd(fd) {}
    // Waits for the socket (events) or the stop signal; false on stop or timeout.
    bool Wait(short events, int timeoutMs);

    TestServer& m_server;
    int m_fd;
    std::string m_pending; // bytes read beyond the last request head
};

class TestServer {
public:
    using Handler = std::function<void(TestConnection&)>;

    // backlog 0 with nothing accepted gives a listener whose queue is full after one connection,
    // so that further connects hang (accept = false).
    explicit TestServer(Handler handler, bool accept = true, int backlog = 16);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const { return m_port; }
    std::string Url(const std::string& path = "/") const;
    // Connections accepted so far.
    int Connections() const { return m_connections.load(); }
    // Request heads read by the handlers, in order.
    std::vector<std::string> Requests() const;
    // Stops accepting, wakes and joins every handler. Called by the destructor.
    void Stop();

private:
    friend class TestConnection;
    void AcceptLoop();

    Handler m_handler;
    int m_listen = -1;
    int m_stopFd = -1; // eventfd, readable once stopping
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_connections{0};
    std::thread m_acceptor;

    mutable std::mutex m_lock; // guards the two below
    std::vector<std::thread> m_handlers;
    std::vector<std::string> m_requests;
};

// A port on 127.0.0.1 where nothing listens (bound once, then closed).
int ClosedPort();

} // namespace nettest
