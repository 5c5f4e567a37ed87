#pragma once
// A TCP client connection with one worker thread that both receives and sends. A derived class
// supplies the data: the worker hands every received chunk to Consume and asks Produce for bytes
// to send; the derived class calls WakeWorker after it has queued something to send.
//
// Threads: Connect, Close and IsConnected are called by the owner (any thread; Connect and Close
// serialise on the connection lock, and Close may come from another thread while a Connect waits:
// the abort flag ends that wait at once). Produce, Consume and OnDisconnect run on the worker
// thread; Reset and OnConnected on the owner's thread while no worker runs.
//
// Lifetime: the worker is woken through an eventfd and always joined before the socket is closed,
// so it never outlives the object's data. (It is a plain joined thread, not one of a
// ThreadManager: a worker given up after a time-out would go on running inside freed memory.) A derived class whose overrides use its own members must
// call Shutdown() first thing in its destructor (by the time the base destructor runs, those
// members are gone). Each descriptor is closed exactly once, by the owner, never by the worker.

#include "core/MString.h"
#include "net/NetTime.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <thread>
#include <vector>

class TCPWinSock {
public:
    static constexpr int kReceiveBufferSize = 65'000;
    static constexpr std::chrono::milliseconds kDefaultConnectTimeout{10'000};

    // Why the worker ended a connection.
    enum class EndReason {
        PeerClosed, // orderly close by the peer (end of stream)
        Error,      // reset, or a receive, send or poll error
        Local,      // Produce or Consume asked to end it
        Aborted,    // Close or Shutdown
    };

    TCPWinSock();
    virtual ~TCPWinSock();
    TCPWinSock(const TCPWinSock&) = delete;
    TCPWinSock& operator=(const TCPWinSock&) = delete;

    // Closes any previous connection, resolves host (IPv4) and connects to its addresses in turn
    // until one accepts; each attempt gets the connect time-out, and the whole (resolution
    // included) ends at the deadline or when Close raises the abort flag. A socket that turns
    // writable counts as connected only when its pending error is 0; otherwise the next address is
    // tried. Returns 0 on success, 1 on failure (also when called from a callback of the worker).
    int Connect(const MString& host, int port, NetDeadline deadline = kNoDeadline);
    // The same with addresses already known, tried in order.
    int ConnectAddresses(const std::vector<sockaddr_in>& addresses, NetDeadline deadline = kNoDeadline);
    // A connection is up: connected, the worker has not ended it and the object is not shut down.
    bool IsConnected() const;
    // Raises the abort flag (ending a Connect that waits), then stops and joins the worker, closes
    // the socket and calls Reset. The object can connect again afterwards unless it was shut down.
    // Not to be called from Produce, Consume or OnDisconnect (there it only asks the worker to end).
    void Close();

    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout.store(timeout.count()); }
    std::chrono::milliseconds ConnectTimeout() const {
        return std::chrono::milliseconds(m_connectTimeout.load());
    }

    // Dotted IPv4 address and port of the connected peer; empty / 0 when not connected.
    MString PeerAddress() const;
    int PeerPort() const;

protected:
    // Empties the derived class's buffers.
    virtual void Reset() {}
    // Fills at most maxBytes bytes to send: 0 = nothing to send, negative = end the connection.
    virtual int Produce(int maxBytes, uint8_t* buffer) { return 0; }
    // Takes a received chunk; a negative result ends the connection.
    virtual int Consume(int length, const uint8_t* data) { return 0; }
    // A new connection is up; called on the owner's thread just before its worker starts, so it
    // happens before any Produce, Consume or OnDisconnect of that connection.
    virtual void OnConnected() {}
    // The worker ended the connection (called last on the worker thread, after the final Consume).
    virtual void OnDisconnect(EndReason reason) {}

    // Makes the worker ask Produce again. Any thread.
    void WakeWorker();
    // Marks the object as finished for good and closes; derived destructors call it first.
    void Shutdown();

private:
    void Teardown(); // under m_connLock: joins the worker, closes the socket, Reset
    bool Connectable() const;
    bool OnWorker() const; // called from Produce, Consume or OnDisconnect
    int ConnectLocked(const std::vector<sockaddr_in>& addresses, NetDeadline deadline); // under m_connLock
    int ConnectOne(const sockaddr_in& address, NetDeadline deadline);
    void WorkerMain(int fd);
    bool Stopping() const;

    // Serialises Connect, Close and Teardown; held by the owner's thread, never by the worker.
    std::mutex m_connLock;
    // Owner side, under m_connLock: the connected socket (-1 = none) and its worker.
    int m_socket = -1;
    std::thread m_worker;
    std::atomic<std::thread::id> m_workerId{}; // lets Close recognise a call from the worker itself

    // Readable whenever the worker or a connect wait should look at the flags. Created by the
    // constructor, closed by the destructor.
    int m_wakeFd = -1;

    std::atomic<bool> m_abort{false};      // Close: ends a connect wait and the worker
    std::atomic<bool> m_stopWorker{false}; // Teardown: ends the worker
    std::atomic<bool> m_shutdown{false};   // set by Shutdown; nothing connects afterwards
    std::atomic<bool> m_connected{false};  // a socket is held with its worker (owner side)
    std::atomic<bool> m_ended{true};       // the worker has ended the current connection
    std::atomic<int64_t> m_connectTimeout{kDefaultConnectTimeout.count()}; // per attempt, ms

    mutable std::mutex m_peerLock; // guards m_peer
    sockaddr_in m_peer{};          // the connected address; port 0 when none
};
