// The response parser on its own: framing by length, chunks and close, the limits, and that the
// outcome never depends on how the bytes were split into pieces.

#include "net/HttpResponseParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using State = HttpResponseParser::State;

struct Outcome {
    State state;
    std::string body;
    size_t taken;
    int status;
};

// Feeds the pieces in turn; after them, the connection ends as given (or stays open).
enum class End { Open, Orderly, Broken };

Outcome Parse(const std::vector<std::string>& pieces, End end, uint64_t limit = 1000) {
    HttpResponseParser p(limit);
    size_t taken = 0;
    for (const std::string& piece : pieces) taken += p.Feed(piece);
    if (end != End::Open) p.Finish(end == End::Orderly);
    return {p.GetState(), p.Body(), taken, p.StatusCode()};
}

// The same response in one piece, byte by byte, and split in two at every position.
void ExpectSameForEverySplit(const std::string& response, End end, const Outcome& whole, uint64_t limit) {
    std::vector<std::string> bytes;
    for (char c : response) bytes.emplace_back(1, c);
    const Outcome one = Parse(bytes, end, limit);
    EXPECT_EQ(one.state, whole.state) << "byte by byte";
    EXPECT_EQ(one.body, whole.body) << "byte by byte";
    EXPECT_EQ(one.taken, whole.taken) << "byte by byte";
    for (size_t cut = 1; cut < response.size(); ++cut) {
        const Outcome two = Parse({response.substr(0, cut), response.substr(cut)}, end, limit);
        ASSERT_EQ(two.state, whole.state) << "split at " << cut;
        ASSERT_EQ(two.body, whole.body) << "split at " << cut;
        ASSERT_EQ(two.taken, whole.taken) << "split at " << cut;
    }
}

struct Case {
    const char* name;
    std::string response;
    End end;
    State state;
    std::string body; // expected when Complete
    uint64_t limit = 1000;
};

const std::string kOk = "HTTP/1.1 200 OK\r\n";

std::vector<Case> Cases() {
    const std::string tricky = "ab\r\n0\r\n\r\ncd"; // looks like a last chunk inside the data
    return {
        {"length", kOk + "Content-Length: 5\r\n\r\nhello", End::Open, State::Complete, "hello"},
        {"length zero", kOk + "Content-Length: 0\r\n\r\n", End::Open, State::Complete, ""},
        {"length with blanks around the value", kOk + "Content-Length:   3 \r\n\r\nabc", End::Open,
         State::Complete, "abc"},
        {"equal duplicate lengths", kOk + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc", End::Open,
         State::Complete, "abc"},
        {"conflicting lengths", kOk + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", End::Open,
         State::Failed, ""},
        {"length -1", kOk + "Content-Length: -1\r\n\r\nabc", End::Orderly, State::Failed, ""},
        {"length +3", kOk + "Content-Length: +3\r\n\r\nabc", End::Open, State::Failed, ""},
        {"length list", kOk + "Content-Length: 3, 3\r\n\r\nabc", End::Open, State::Failed, ""},
        {"length hex", kOk + "Content-Length: 0x3\r\n\r\nabc", End::Open, State::Failed, ""},
        {"length empty", kOk + "Content-Length:\r\n\r\nabc", End::Orderly, State::Failed, ""},
        // 2^32 must not wrap to 0 (which would give an empty "complete" body).
        {"length 2^32", kOk + "Content-Length: 4294967296\r\n\r\nabc", End::Orderly, State::Failed, "",
         UINT64_MAX},
        {"length 2^64 overflows", kOk + "Content-Length: 18446744073709551616\r\n\r\nabc", End::Orderly,
         State::Failed, "", UINT64_MAX},
        {"length above the limit", kOk + "Content-Length: 1001\r\n\r\n", End::Open, State::Failed, ""},
        {"length cut short by a close", kOk + "Content-Length: 10\r\n\r\nhello", End::Orderly, State::Failed,
         ""},
        {"length cut short by a reset", kOk + "Content-Length: 10\r\n\r\nhello", End::Broken, State::Failed,
         ""},
        {"until close", kOk + "\r\nwhole body", End::Orderly, State::Complete, "whole body"},
        {"until close, still open", kOk + "\r\nwhole body", End::Open, State::Body, ""},
        {"until close, broken", kOk + "\r\nwhole body", End::Broken, State::Failed, ""},
        {"until close above the limit", kOk + "\r\n" + std::string(1001, 'x'), End::Orderly, State::Failed,
         ""},
        {"chunked, one chunk", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", End::Open,
         State::Complete, "hello"},
        {"chunked, case and blanks", kOk + "transfer-encoding:  Chunked \r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         End::Open, State::Complete, "abc"},
        {"chunked, last-chunk look-alike in the data",
         kOk + "Transfer-Encoding: chunked\r\n\r\nB\r\n" + tricky + "\r\n2\r\nef\r\n0\r\n\r\n", End::Open,
         State::Complete, tricky + "ef"},
        {"chunked, extensions and trailer",
         kOk + "Transfer-Encoding: chunked\r\n\r\n3;name=v \r\nabc\r\n1 ; x\r\nd\r\n0\r\nX-Sum: 4\r\n\r\n",
         End::Open, State::Complete, "abcd"},
        {"chunked, leading zeros within the digit limit",
         kOk + "Transfer-Encoding: chunked\r\n\r\n0000000000000003\r\nabc\r\n0\r\n\r\n", End::Open,
         State::Complete, "abc"},
        {"chunked, size with too many digits",
         kOk + "Transfer-Encoding: chunked\r\n\r\n00000000000000003\r\nabc\r\n0\r\n\r\n", End::Open,
         State::Failed, ""},
        {"chunked, size overflow", kOk + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFF\r\n", End::Open,
         State::Failed, ""},
        {"chunked, size above the limit", kOk + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\n",
         End::Open, State::Failed, ""},
        {"chunked, chunks together above the limit",
         kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n", End::Open, State::Failed, "", 5},
        {"chunked, no CRLF after the data", kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n",
         End::Open, State::Failed, ""},
        {"chunked, bare LF after the size", kOk + "Transfer-Encoding: chunked\r\n\r\n3\nabc\r\n0\r\n\r\n",
         End::Open, State::Failed, ""},
        {"chunked, no size", kOk + "Transfer-Encoding: chunked\r\n\r\n\r\nabc", End::Open, State::Failed, ""},
        {"chunked, not a hex size", kOk + "Transfer-Encoding: chunked\r\n\r\nxyz\r\n", End::Open,
         State::Failed, ""},
        {"chunked, ends before the trailer", kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n",
         End::Orderly, State::Failed, ""},
        {"chunked, cut inside a chunk", kOk + "Transfer-Encoding: chunked\r\n\r\n9\r\nabc", End::Orderly,
         State::Failed, ""},
        {"length and chunked together",
         kOk + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", End::Open,
         State::Failed, ""},
        {"unknown transfer coding", kOk + "Transfer-Encoding: gzip\r\n\r\nabc", End::Orderly, State::Failed,
         ""},
        {"interim response skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", End::Open,
         State::Complete, "ok"},
        {"protocol switch", "HTTP/1.1 101 Switching Protocols\r\n\r\n", End::Open, State::Failed, ""},
        {"no content", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", End::Open, State::Complete,
         ""},
        {"not modified", "HTTP/1.1 304 Not Modified\r\n\r\n", End::Open, State::Complete, ""},
        {"status line without a reason", "HTTP/1.1 404\r\nContent-Length: 1\r\n\r\nx", End::Open,
         State::Complete, "x"},
        {"bare LF line ends", "HTTP/1.0 200 OK\nContent-Length: 2\n\nok", End::Open, State::Complete, "ok"},
        {"HTTP/2 status line", "HTTP/2 200 OK\r\n\r\n", End::Orderly, State::Failed, ""},
        {"garbage instead of a status line", "hello world\r\n\r\n", End::Orderly, State::Failed, ""},
        {"status code with letters", "HTTP/1.1 2x0 OK\r\n\r\n", End::Orderly, State::Failed, ""},
        {"folded header line", kOk + "X-A: 1\r\n  2\r\nContent-Length: 0\r\n\r\n", End::Open, State::Failed,
         ""},
        {"header without a name", kOk + ": x\r\n\r\n", End::Open, State::Failed, ""},
        {"blank before the colon", kOk + "Content-Length : 3\r\n\r\nabc", End::Open, State::Failed, ""},
        {"bare CR inside a header", kOk + "X-A: 1\r2\r\n\r\n", End::Open, State::Failed, ""},
        {"closed before anything", "", End::Orderly, State::Failed, ""},
        {"closed inside the headers", kOk + "Content-Length: 3\r\n", End::Orderly, State::Failed, ""},
    };
}

TEST(HttpResponseParser, FramingLimitsAndErrorsDoNotDependOnTheSplit) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const Outcome whole = Parse({c.response}, c.end, c.limit);
        EXPECT_EQ(whole.state, c.state);
        if (c.state == State::Complete) {
            EXPECT_EQ(whole.body, c.body);
        }
        ExpectSameForEverySplit(c.response, c.end, whole, c.limit);
    }
}

TEST(HttpResponseParser, TakesExactlyTheResponseAndLeavesWhatFollows) {
    struct Extra {
        std::string response;
        std::string after;
    };
    const std::vector<Extra> cases = {
        {kOk + "Content-Length: 5\r\n\r\nhello", "EXTRA"},
        {kOk + "Transfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"HTTP/1.1 204 No Content\r\n\r\n", "junk"},
    };
    for (const Extra& c : cases) {
        HttpResponseParser p;
        EXPECT_EQ(p.Feed(c.response + c.after), c.response.size()) << c.response;
        EXPECT_EQ(p.GetState(), State::Complete);
        EXPECT_EQ(p.Feed(c.after), 0u) << "a complete response takes nothing more";
    }
}

TEST(HttpResponseParser, AnEndlessHeaderFailsAtTheHeaderLimit) {
    HttpResponseParser p;
    p.Feed(kOk);
    const std::string line = "X-Filler: " + std::string(100, 'a') + "\r\n";
    size_t fed = kOk.size();
    while (p.GetState() == State::Headers && fed < 10 * HttpResponseParser::kMaxHeaderBytes) {
        p.Feed(line);
        fed += line.size();
    }
    EXPECT_EQ(p.GetState(), State::Failed);
    EXPECT_LE(fed, HttpResponseParser::kMaxHeaderBytes + line.size());
}

TEST(HttpResponseParser, ConnectionReuseFollowsVersionAndConnectionHeader) {
    struct Reuse {
        std::string response;
        bool keepAlive;
    };
    const std::vector<Reuse> cases = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nConnection: Upgrade, CLOSE\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\n\r\n", false}, // the body runs until the close
    };
    for (const Reuse& c : cases) {
        HttpResponseParser p;
        p.Feed(c.response);
        ASSERT_NE(p.GetState(), State::Failed) << c.response;
        EXPECT_EQ(p.KeepAlive(), c.keepAlive) << c.response;
    }
}

TEST(HttpResponseParser, HeaderLinesOfTheFinalResponse) {
    HttpResponseParser p;
    p.Feed("HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type:  text/plain \r\n"
           "Content-Length: 0\r\n\r\n");
    ASSERT_EQ(p.GetState(), State::Complete);
    EXPECT_EQ(p.StatusCode(), 200);
    EXPECT_EQ(HttpResponseParser::HeaderValue(p.HeaderLines(), "content-type"), "text/plain");
    EXPECT_EQ(HttpResponseParser::HeaderValue(p.HeaderLines(), "X-Interim"), "");
}

} // namespace
