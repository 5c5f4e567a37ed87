// The HTTP client against a real server on 127.0.0.1: bodies, connection reuse, time-outs and
// servers that misbehave on purpose.

#include "net/MHTTP.h"
#include "tests/net/NetTestUtil.h"
#include "tests/net/TestServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

namespace {

using namespace nettest;
using Result = MHTTP::Result;

// Answers every request on the connection with the same bytes.
TestServer::Handler Answer(std::string response) {
    return [response](TestConnection& c) {
        while (c.ReadRequest()) c.Send(response);
    };
}

// Answers the first request, then closes the connection.
TestServer::Handler AnswerOnce(std::string response) {
    return [response](TestConnection& c) {
        if (c.ReadRequest()) c.Send(response);
    };
}

TEST(MHTTP, ReturnsTheBodyOfEachFraming) {
    const std::string tricky = "ab\r\n0\r\n\r\ncd";
    struct Case {
        const char* name;
        TestServer::Handler handler;
        std::string body;
        int status = 200;
    };
    const Case cases[] = {
        {"length", Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"), "hello"},
        {"chunked, one chunk of 5",
         Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"), "hello"},
        {"chunked, last-chunk look-alike inside the data",
         Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nB\r\n" + tricky + "\r\n0\r\n\r\n"),
         tricky},
        {"chunked, sent a byte at a time",
         [](TestConnection& c) {
             if (c.ReadRequest())
                 c.Trickle(
                     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
                     0ms);
         },
         "abcde"},
        {"until the server closes", AnswerOnce("HTTP/1.1 200 OK\r\n\r\nbody without length"),
         "body without length"},
        {"interim response first",
         Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), "ok"},
        {"an error status with its body", Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnone"),
         "none", 404},
        {"UTF-8 text",
         Answer(
             "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"),
         "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.handler);
        MHTTP http;
        const MHTTP::sResponse r = http.Get(MString(server.Url("/x")));
        ASSERT_EQ(r.result, Result::Ok) << r.error;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(http.Request(MString(server.Url("/x"))).ToUtf8(), c.body);
    }
}

TEST(MHTTP, SendsTheRequestLineAndHeaders) {
    TestServer server(Answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    MHTTP http;
    EXPECT_TRUE(http.SetHeader(u"X-Trace", u"1"));
    EXPECT_TRUE(http.SetHeader(u"x-trace", u"2")); // replaces the line of the same name
    EXPECT_FALSE(http.SetHeader(u"X-Bad", u"a\r\nX-Injected: 1"));
    EXPECT_FALSE(http.SetHeader(u"Bad Name", u"1"));
    EXPECT_FALSE(http.SetHeader(u"X-Empty", u""));
    ASSERT_EQ(http.Get(MString("127.0.0.1:" + std::to_string(server.Port()) + "/dir/list.txt?v=1")).result,
              Result::Ok);
    ASSERT_EQ(http.Get(MString(server.Url())).result, Result::Ok);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /dir/list.txt?v=1 HTTP/1.1\r\n"
                           "x-trace: 2\r\n"
                           "Accept: */*\r\n"
                           "Accept-Language: ru-RU\r\n"
                           "Accept-Encoding: identity, chunked\r\n"
                           "User-Agent: MHTTP as client by Tarnwell\r\n"
                           "Connection: Keep-Alive\r\n"
                           "Host: 127.0.0.1\r\n"
                           "Content-Length: 0\r\n\r\n");
    // Extra header lines belong to one request only.
    EXPECT_EQ(requests[1].find("trace"), std::string::npos);
    EXPECT_EQ(requests[1].substr(0, 16), "GET / HTTP/1.1\r\n");
}

TEST(MHTTP, ReusesTheConnectionForTheSameHostAndPort) {
    TestServer first(Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"));
    TestServer second(Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n2"));
    MHTTP http;
    const auto a = http.Get(MString(first.Url("/a")));
    const auto b = http.Get(MString(first.Url("/b")));
    ASSERT_EQ(a.result, Result::Ok);
    ASSERT_EQ(b.result, Result::Ok);
    EXPECT_FALSE(a.reusedConnection);
    EXPECT_TRUE(b.reusedConnection);
    EXPECT_EQ(first.Connections(), 1);

    EXPECT_EQ(http.Get(MString(second.Url())).body, "2"); // another port: a new connection
    EXPECT_EQ(second.Connections(), 1);
    EXPECT_EQ(http.Get(MString(first.Url())).body, "1");
    EXPECT_EQ(first.Connections(), 2);
}

TEST(MHTTP, OpensANewConnectionWhenTheOldOneCannotCarryTheNextRequest) {
    struct Case {
        const char* name;
        TestServer::Handler handler;
    };
    const Case cases[] = {
        {"Connection: close", Answer("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok")},
        {"HTTP/1.0", Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")},
        // Kept alive by the headers, but closed by the server before the next request.
        {"closed after the response", AnswerOnce("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")},
        // More bytes than Content-Length: only those two are the body, and the rest spoils the connection.
        {"bytes beyond the length", Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.handler);
        MHTTP http;
        for (int i = 0; i < 2; ++i) {
            const auto r = http.Get(MString(server.Url()));
            ASSERT_EQ(r.result, Result::Ok) << r.error;
            EXPECT_EQ(r.body, "ok");
        }
        EXPECT_EQ(server.Connections(), 2);
    }
}

TEST(MHTTP, NoServerIsAConnectionError) {
    MHTTP http;
    EXPECT_EQ(http.Get(MString("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/")).result,
              Result::ConnectionError);
    EXPECT_EQ(http.Request(MString("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/")).ToUtf8(),
              "Connection Error");
    EXPECT_EQ(http.Get(MString("https://127.0.0.1/")).result, Result::BadAddress);
    EXPECT_EQ(http.Get(MString("file:///etc/passwd")).result, Result::BadAddress);
}

TEST(MHTTP, ASilentServerTimesOut) {
    TestServer server([](TestConnection& c) {
        if (c.ReadRequest()) c.Idle();
    });
    MHTTP http;
    http.SetTimeout(200ms);
    Stopwatch w;
    const auto r = http.Get(MString(server.Url()));
    EXPECT_EQ(r.result, Result::TimedOut);
    EXPECT_GE(w.Elapsed(), 190ms);
    EXPECT_LT(w.Elapsed(), 200ms + kSlack);
    EXPECT_EQ(http.Request(MString(server.Url())).ToUtf8(), "");
}

// Servers that never finish, lie about lengths or break off: each request fails, and none takes
// longer than its deadline.
TEST(MHTTP, HostileServersFailWithinTheDeadline) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string big(25'000'000, 'b');
    struct Case {
        const char* name;
        TestServer::Handler handler;
        Result result;
        std::chrono::milliseconds deadline = 400ms;
    };
    const Case cases[] = {
        {"body trickling",
         [&](TestConnection& c) {
             if (c.ReadRequest())
                 c.Trickle(ok + "Content-Length: 100000\r\n\r\n" + std::string(100000, 't'), 10ms);
         },
         Result::TimedOut},
        {"header trickling without end",
         [&](TestConnection& c) {
             if (c.ReadRequest()) c.Trickle(ok + std::string(100000, 'X'), 10ms, 3);
         },
         Result::TimedOut},
        {"endless header, fast",
         [&](TestConnection& c) {
             if (!c.ReadRequest() || !c.Send(ok)) return;
             c.Stream([] { return std::string("X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n"); });
         },
         Result::Failed},
        {"Content-Length 2^32", AnswerOnce(ok + "Content-Length: 4294967296\r\n\r\nshort"), Result::Failed},
        {"Content-Length -1", AnswerOnce(ok + "Content-Length: -1\r\n\r\nshort"), Result::Failed},
        {"two Content-Length values", AnswerOnce(ok + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nshort!"),
         Result::Failed},
        {"25 MB body with its length", AnswerOnce(ok + "Content-Length: 25000000\r\n\r\n" + big),
         Result::Failed},
        // Long enough for 20 MB to arrive even on a slow machine: it is the limit that ends it.
        {"25 MB body until the close", AnswerOnce(ok + "\r\n" + big), Result::Failed, 60s},
        {"chunk size overflow", AnswerOnce(ok + "Transfer-Encoding: chunked\r\n\r\n1FFFFFFFFFFFFFFFF\r\nabc"),
         Result::Failed},
        {"chunked, cut before the last chunk",
         AnswerOnce(ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"), Result::Failed},
        {"closed mid-body", AnswerOnce(ok + "Content-Length: 100\r\n\r\nonly this"), Result::Failed},
        {"reset mid-body",
         [&](TestConnection& c) {
             if (c.ReadRequest() && c.Send(ok + "Content-Length: 100\r\n\r\nonly this")) c.Reset();
         },
         Result::Failed},
        {"reset before anything",
         [](TestConnection& c) {
             if (c.ReadRequest()) c.Reset();
         },
         Result::Failed},
        {"garbage", AnswerOnce("SSH-2.0-OpenSSH\r\n\r\n"), Result::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.handler);
        MHTTP http;
        http.SetTimeout(c.deadline);
        Stopwatch w;
        const auto r = http.Get(MString(server.Url()));
        EXPECT_EQ(r.result, c.result) << r.error;
        EXPECT_TRUE(r.body.empty());
        EXPECT_LT(w.Elapsed(), c.deadline + kSlack);
        EXPECT_FALSE(http.IsConnected());
    }
}

TEST(MHTTP, AFailureIsReportedBeforeTheDeadlineWhenTheResponseShowsIt) {
    // The length alone tells that the body is too large: no need to wait for 25 MB.
    TestServer server([](TestConnection& c) {
        if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nContent-Length: 25000000\r\n\r\n")) c.Idle();
    });
    MHTTP http;
    http.SetTimeout(30s);
    Stopwatch w;
    const auto r = http.Get(MString(server.Url()));
    EXPECT_EQ(r.result, Result::Failed);
    EXPECT_LT(w.Elapsed(), kSlack);
}

TEST(MHTTP, CloseFromAnotherThreadEndsARequestInTransfer) {
    TestServer server([](TestConnection& c) {
        if (c.ReadRequest())
            c.Trickle("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 't'), 5ms);
    });
    MHTTP http;
    http.SetTimeout(30s);
    MHTTP::sResponse r;
    const auto took = CloseWhileRunning([&] { r = http.Get(MString(server.Url())); }, [&] { http.Close(); });
    EXPECT_EQ(r.result, Result::Failed);
    EXPECT_LT(took, kSlack);
}

TEST(MHTTP, CloseFromAnotherThreadEndsARequestThatConnects) {
    TestServer full(nullptr, false, 0);
    MHTTP first; // fills the accept queue of `full`
    first.SetTimeout(2s);
    ASSERT_EQ(first.Connect(MString("127.0.0.1"), full.Port()), 0);
    MHTTP http;
    http.SetTimeout(30s);
    MHTTP::sResponse r;
    const auto took = CloseWhileRunning([&] { r = http.Get(MString(full.Url())); }, [&] { http.Close(); });
    EXPECT_EQ(r.result, Result::ConnectionError);
    EXPECT_LT(took, kSlack);
}

} // namespace
