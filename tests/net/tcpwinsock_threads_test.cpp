// The TCP connection and its worker against a real listener on 127.0.0.1.

#include "net/TCPWinSock.h"
#include "tests/net/NetTestUtil.h"
#include "tests/net/TestServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace nettest;
using EndReason = TCPWinSock::EndReason;

// Sends what the test queues and records what arrives, in order with the end of the connection.
class Probe : public TCPWinSock {
public:
    ~Probe() override { Shutdown(); }

    void Queue(const std::string& bytes) {
        {
            std::lock_guard lock(m_lock);
            m_out += bytes;
        }
        WakeWorker();
    }
    std::string Received() {
        std::lock_guard lock(m_lock);
        return m_in;
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_lock);
        return m_events;
    }
    std::vector<EndReason> Ends() {
        std::lock_guard lock(m_lock);
        return m_ends;
    }
    // Set by a test once Close has returned: the worker must not deliver anything afterwards.
    std::atomic<bool> closed{false};
    std::atomic<bool> lateCallback{false};

protected:
    int Produce(int maxBytes, uint8_t* buffer) override {
        if (closed) lateCallback = true;
        std::lock_guard lock(m_lock);
        const size_t n = std::min(m_out.size(), static_cast<size_t>(maxBytes));
        std::copy(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        m_out.erase(0, n);
        return static_cast<int>(n);
    }
    int Consume(int length, const uint8_t* data) override {
        if (closed) lateCallback = true;
        std::lock_guard lock(m_lock);
        m_in.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        if (m_events.empty() || m_events.back() != "data") m_events.push_back("data");
        return 0;
    }
    void OnDisconnect(EndReason reason) override {
        if (closed) lateCallback = true;
        std::lock_guard lock(m_lock);
        m_ends.push_back(reason);
        m_events.push_back("end");
    }
    void Reset() override {
        std::lock_guard lock(m_lock);
        m_out.clear();
    }

private:
    std::mutex m_lock;
    std::string m_out;
    std::string m_in;
    std::vector<std::string> m_events;
    std::vector<EndReason> m_ends;
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listener whose accept queue is full: further connects wait for an answer that never comes.
struct FullListener {
    TestServer server{nullptr, false, 0};
    int filler = -1;
    FullListener() {
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = Loopback(server.Port());
        EXPECT_EQ(::connect(filler, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    }
    ~FullListener() { ::close(filler); }
};

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

TEST(TCPWinSock, ExchangesBytesWithThePeer) {
    TestServer server([](TestConnection& c) {
        std::string head;
        while (c.ReadRequest(&head)) c.Send("got " + std::to_string(head.size()) + "\n");
    });
    Probe p;
    ASSERT_EQ(p.Connect(MString("localhost"), server.Port()), 0);
    EXPECT_TRUE(p.IsConnected());
    EXPECT_EQ(p.PeerAddress().ToUtf8(), "127.0.0.1");
    EXPECT_EQ(p.PeerPort(), server.Port());
    p.Queue("ping\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return p.Received() == "got 8\n"; }));
    p.Queue("second\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return p.Received() == "got 8\ngot 10\n"; }));
    p.Close();
    EXPECT_FALSE(p.IsConnected());
    EXPECT_EQ(p.PeerAddress().ToUtf8(), "");
}

TEST(TCPWinSock, ThePeersLastBytesArriveBeforeTheEnd) {
    TestServer server([](TestConnection& c) { c.Send(std::string(200'000, 'z') + "last words"); });
    Probe p;
    ASSERT_EQ(p.Connect(MString("127.0.0.1"), server.Port()), 0);
    ASSERT_TRUE(WaitFor([&] { return !p.Ends().empty(); }));
    EXPECT_EQ(p.Received().size(), 200'010u);
    EXPECT_EQ(p.Received().substr(200'000), "last words");
    EXPECT_EQ(p.Events(), (std::vector<std::string>{"data", "end"}));
    EXPECT_EQ(p.Ends(), std::vector<EndReason>{EndReason::PeerClosed});
    EXPECT_FALSE(p.IsConnected());
}

TEST(TCPWinSock, ARefusingAddressIsSkippedForTheNext) {
    TestServer server([](TestConnection& c) { c.WaitForClose(); });
    Probe p;
    EXPECT_EQ(p.ConnectAddresses({Loopback(ClosedPort()), Loopback(server.Port())}), 0);
    EXPECT_EQ(p.PeerPort(), server.Port());
    EXPECT_TRUE(WaitFor([&] { return server.Connections() == 1; }));

    EXPECT_EQ(p.ConnectAddresses({Loopback(ClosedPort()), Loopback(ClosedPort())}), 1);
    EXPECT_FALSE(p.IsConnected());
    EXPECT_EQ(p.Connect(MString("127.0.0.1"), ClosedPort()), 1);
    EXPECT_EQ(p.Connect(MString("127.0.0.1"), 0), 1);
    EXPECT_EQ(p.Connect(MString("127.0.0.1"), 70000), 1);
    EXPECT_EQ(p.Connect(MString(""), server.Port()), 1);
}

TEST(TCPWinSock, ConnectingEndsAtTheTimeOutOrTheDeadline) {
    FullListener full;
    Probe p;
    p.SetConnectTimeout(150ms);
    Stopwatch w1;
    EXPECT_EQ(p.Connect(MString("127.0.0.1"), full.server.Port()), 1);
    EXPECT_GE(w1.Elapsed(), 140ms);
    EXPECT_LT(w1.Elapsed(), 150ms + kSlack);

    // Two silent addresses with a 10 s time-out each, but one deadline for the whole.
    p.SetConnectTimeout(10s);
    const sockaddr_in silent = Loopback(full.server.Port());
    Stopwatch w2;
    EXPECT_EQ(p.ConnectAddresses({silent, silent}, DeadlineAfter(200ms)), 1);
    EXPECT_GE(w2.Elapsed(), 190ms);
    EXPECT_LT(w2.Elapsed(), 200ms + kSlack);
}

TEST(TCPWinSock, ANameThatDoesNotResolveFailsWithinTheDeadline) {
    Probe p;
    Stopwatch w;
    EXPECT_EQ(p.Connect(MString("no-such-host.invalid"), 80, DeadlineAfter(300ms)), 1);
    EXPECT_LT(w.Elapsed(), 300ms + kSlack);
}

TEST(TCPWinSock, CloseEndsAConnectThatWaits) {
    FullListener full;
    Probe p;
    p.SetConnectTimeout(30s);
    int result = -1;
    const auto took = CloseWhileRunning([&] { result = p.Connect(MString("127.0.0.1"), full.server.Port()); },
                                        [&] { p.Close(); });
    EXPECT_EQ(result, 1);
    EXPECT_LT(took, kSlack);
    EXPECT_FALSE(p.IsConnected());
}

TEST(TCPWinSock, CloseDuringATransferJoinsTheWorker) {
    TestServer server([](TestConnection& c) {
        const std::string piece(64 * 1024, 'x');
        c.Stream([&] { return piece; }); // until the peer is gone
    });
    for (int round = 0; round < 3; ++round) {
        Probe p;
        ASSERT_EQ(p.Connect(MString("127.0.0.1"), server.Port()), 0);
        p.Queue(std::string(100'000, 'q')); // sending and receiving at once
        ASSERT_TRUE(WaitFor([&] { return p.Received().size() > 1'000'000; }));
        std::thread closer([&] {
            p.Close();
            p.closed = true;
        });
        closer.join();
        EXPECT_FALSE(p.IsConnected());
        EXPECT_EQ(p.Ends(), std::vector<EndReason>{EndReason::Aborted});
        EXPECT_FALSE(p.lateCallback);
    }
}

TEST(TCPWinSock, DestroyingDuringATransferIsSafe) {
    TestServer server([](TestConnection& c) {
        const std::string piece(64 * 1024, 'y');
        c.Stream([&] { return piece; });
    });
    auto p = std::make_unique<Probe>();
    ASSERT_EQ(p->Connect(MString("127.0.0.1"), server.Port()), 0);
    ASSERT_TRUE(WaitFor([&] { return p->Received().size() > 100'000; }));
    std::thread([&] { p.reset(); }).join();
    EXPECT_EQ(p, nullptr);
}

TEST(TCPWinSock, ConnectsAgainAfterThePeerClosedAndAfterClose) {
    TestServer server([](TestConnection& c) { c.Send("bye"); });
    Probe p;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(p.Connect(MString("127.0.0.1"), server.Port()), 0) << i;
        ASSERT_TRUE(WaitFor([&] { return p.Ends().size() == static_cast<size_t>(i + 1); }));
        EXPECT_FALSE(p.IsConnected());
    }
    p.Close();
    ASSERT_EQ(p.Connect(MString("127.0.0.1"), server.Port()), 0);
    EXPECT_TRUE(WaitFor([&] { return server.Connections() == 4; }));
}

TEST(TCPWinSock, EveryDescriptorIsClosedExactlyOnce) {
    TestServer server([](TestConnection& c) { c.WaitForClose(); });
    const int before = OpenDescriptors();
    for (int i = 0; i < 20; ++i) {
        Probe p;
        ASSERT_EQ(p.Connect(MString("127.0.0.1"), server.Port()), 0);
        p.Close();
        p.Close();
    }
    // The server's ends close on their own threads, a moment after ours.
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == before; }, 3s)) << "a descriptor was left open";

    // A second close of a number the system has handed out again would hit this pipe.
    auto p = std::make_unique<Probe>();
    ASSERT_EQ(p->Connect(MString("127.0.0.1"), server.Port()), 0);
    p->Close();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    p.reset();
    EXPECT_NE(::fcntl(pipeFds[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(pipeFds[1], F_GETFD), -1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(TCPWinSock, SendingToAPeerThatIsGoneEndsTheConnectionWithoutASignal) {
    // The reset comes once the data flows, so the connect itself always succeeds.
    TestServer server([](TestConnection& c) {
        c.WaitReadable(5000);
        c.Reset();
    });
    Probe p;
    ASSERT_EQ(p.Connect(MString("127.0.0.1"), server.Port()), 0);
    p.Queue(std::string(8'000'000, 's')); // far more than the socket buffers hold
    ASSERT_TRUE(WaitFor([&] { return !p.Ends().empty(); }));
    EXPECT_NE(p.Ends().front(), EndReason::Aborted);
}

} // namespace
