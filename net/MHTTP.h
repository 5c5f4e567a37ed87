#pragma once
// A small blocking HTTP/1.1 client on TCPWinSock: the caller asks for a URL and gets the response
// body. The connection stays open between requests to the same host and port when the server
// allows it.
//
// Every request has one deadline that covers name resolution, connecting, sending and the whole
// response, so a server that trickles bytes or never ends its headers cannot hold the caller past
// it. The body is limited in size (a larger one fails instead of being cut or dropped silently).
//
// Threads: Get, Request, SetHeader and the settings are the caller's (one request at a time; a
// second caller waits for the first). Close may come from any thread and fails a request in
// progress at once. The worker thread feeds the response parser under m_rxLock.

#include "core/MQueue.h"
#include "core/MString.h"
#include "net/HttpResponseParser.h"
#include "net/TCPWinSock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class MHTTP : public TCPWinSock {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{10'000};
    static constexpr uint64_t kDefaultMaxBodyBytes = 20'000'000;
    // What Request returns when no connection could be made.
    static constexpr char16_t kConnectionError[] = u"Connection Error";

    enum class Result {
        Ok,              // a complete response (of any status)
        BadAddress,      // the URL is not an http address this client can use
        ConnectionError, // name resolution or connecting failed
        TimedOut,        // the deadline passed before the response was complete
        Failed,          // the connection broke or the response broke the rules or a limit
    };
    struct sResponse {
        Result result = Result::Failed;
        int status = 0;                // HTTP status code when Ok
        std::string body;              // exactly the body bytes when Ok
        std::vector<MString> headers;  // response header lines when Ok
        std::string error;             // what went wrong, for the log
        bool reusedConnection = false; // the request went over a connection already open
    };

    MHTTP();
    ~MHTTP() override;

    // GET url. Waits until the response is complete, something fails, or the deadline (the earlier
    // of `deadline` and now + Timeout()) passes.
    sResponse Get(const MString& url, NetDeadline deadline = kNoDeadline);
    // The body of Get decoded as UTF-8; "Connection Error" when no connection could be made; empty
    // when the response did not complete (time-out, broken connection, bad response).
    MString Request(const MString& url);

    // Request header lines for the next request only. Ignored (false) when either is empty or
    // holds a line break or a NUL, or the name is not a token. A line with the same name
    // (case-insensitive) is replaced, otherwise one is appended.
    bool SetHeader(const MString& name, const MString& value);
    // The text after ": " of the first line "name: ..." (case-insensitive name); empty when none.
    static MString GetHeader(const std::vector<MString>& lines, const MString& name);
    // Response header lines of the last request.
    const std::vector<MString>& ResponseHeaders() const { return m_responseHeaders; }

    void SetTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds Timeout() const { return m_timeout; }
    void SetMaxBodySize(uint64_t bytes) { m_maxBody = bytes; }
    uint64_t MaxBodySize() const { return m_maxBody; }

protected:
    void Reset() override;
    int Produce(int maxBytes, uint8_t* buffer) override;
    int Consume(int length, const uint8_t* data) override;
    void OnConnected() override;
    void OnDisconnect(EndReason reason) override;

private:
    std::string BuildRequest(const std::string& host, const std::string& target);

    std::mutex m_requestLock; // held for the whole of a request

    // Caller's thread (under m_requestLock while a request runs).
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    uint64_t m_maxBody = kDefaultMaxBodyBytes;
    std::string m_host; // endpoint of the open connection
    int m_port = 0;
    bool m_reusable = false; // the open connection may carry the next request
    std::vector<MString> m_requestHeaders;
    std::vector<MString> m_responseHeaders;

    MQueue m_send; // request bytes, caller -> worker (own lock)

    // Shared with the worker, under m_rxLock; m_rxReady is signalled whenever the response or the
    // connection changes.
    std::mutex m_rxLock;
    std::condition_variable m_rxReady;
    HttpResponseParser m_parser;
    bool m_inFlight = false; // a request waits for its response
    bool m_linkEnded = true; // the worker of the current connection has ended
    EndReason m_endReason = EndReason::Aborted;
    uint64_t m_rxBytes = 0; // bytes received for the request in flight
    bool m_excess = false;  // bytes arrived that no request asked for
};
