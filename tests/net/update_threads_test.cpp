// The update check against a real server: what the list offers, and that the check never holds
// the shutdown past its deadline.

#include "net/HttpUpdate.h"
#include "tests/device/LogCapture.h"
#include "tests/net/NetTestUtil.h"
#include "tests/net/TestServer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace nettest;

constexpr int32_t kOurVersion = 224;

TestServer::Handler Serve(int status, std::string body) {
    return [status, body](TestConnection& c) {
        while (c.ReadRequest())
            c.Send("HTTP/1.1 " + std::to_string(status) +
                   " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    };
}

TEST(HttpUpdate, AnswersFromTheList) {
    struct Case {
        const char* name;
        int status;
        std::string list;
        bool listRead;
        bool newer;
        std::string address;
    };
    const Case cases[] = {
        {"same version", 200, "TavimeterNew;224;http://example.org/get;", true, false, ""},
        {"older version", 200, "TavimeterNew;200;http://example.org/get;", true, false, ""},
        {"newer version", 200, "TavimeterNew;225;http://example.org/get;", true, true,
         "http://example.org/get"},
        {"newer, https address", 200, "Other;9;http://o/;\nTavimeterNew;301;https://example.org/c.deb;\n",
         true, true, "https://example.org/c.deb"},
        {"listed twice: the first counts", 200, "TavimeterNew;224;http://a/;TavimeterNew;999;http://b/;",
         true, false, ""},
        {"version that is no number", 200, "TavimeterNew;latest;http://example.org/;", true, false, ""},
        // A newer version whose address is no web address is never offered.
        {"file address", 200, "TavimeterNew;225;file:///etc/passwd;", true, false, ""},
        {"address with a tab", 200, "TavimeterNew;225;http://a/\tx;", true, false, ""},
        {"address running into the next line", 200, "TavimeterNew;225;http://a/\rx;", false, false, ""},
        {"address too long", 200, "TavimeterNew;225;http://a/" + std::string(3000, 'p') + ";", true, false,
         ""},
        {"no entry", 200, "Other;300;http://o/;", false, false, ""},
        {"entry not closed", 200, "TavimeterNew;225;http://example.org/get", false, false, ""},
        {"\"Error\" in the list", 200, "TavimeterNew;225;http://example.org/get;\nError", false, false, ""},
        {"not found", 404, "TavimeterNew;225;http://example.org/get;", false, false, ""},
        {"list above 1 MiB", 200, "TavimeterNew;225;http://example.org/get;" + std::string(1024 * 1024, ' '),
         false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(Serve(c.status, c.list));
        const sUpdateAnswer a = HttpUpdate::Ask(MString(server.Url("/appupdates.txt")), kOurVersion, 2s);
        EXPECT_EQ(a.listRead, c.listRead);
        EXPECT_EQ(a.newer, c.newer);
        EXPECT_EQ(a.downloadAddress.ToUtf8(), c.address);
        EXPECT_EQ(server.Connections(), 1);
    }
}

TEST(HttpUpdate, CheckKeepsWhatTheListSaid) {
    TestServer server(Serve(200, "TavimeterNew;226;http://example.org/new;"));
    HttpUpdate check(kOurVersion);
    check.SetListAddress(MString(server.Url("/appupdates.txt")));
    ASSERT_TRUE(check.Check());
    EXPECT_TRUE(check.UpdateAvailable());
    EXPECT_EQ(check.ServerVersionText().ToUtf8(), "226");
    EXPECT_EQ(check.ServerVersion(), 226);
    EXPECT_EQ(check.DownloadAddress().ToUtf8(), "http://example.org/new");

    check.SetProductId(u"SomethingElse");
    EXPECT_FALSE(check.Check());
    EXPECT_FALSE(check.UpdateAvailable());
    EXPECT_TRUE(check.DownloadAddress().IsEmpty());
}

TEST(HttpUpdate, AnAddressEndingInASlashGetsTheListName) {
    TestServer server(Serve(200, "TavimeterNew;224;http://x/;"));
    EXPECT_TRUE(HttpUpdate::Ask(MString(server.Url("/corvina/")), kOurVersion, 2s).listRead);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].substr(0, 40), "GET /corvina/appupdates.txt HTTP/1.1\r\nAc");
}

TEST(HttpUpdate, RefusedListAddressesAskNobody) {
    TestServer server(Serve(200, "TavimeterNew;225;http://x/;"));
    const std::string port = std::to_string(server.Port());
    struct Case {
        std::string address;
        const char* logged; // part of the log line, or empty for no line
    };
    const Case cases[] = {
        {"", ""},
        {"   ", ""},
        {"https://127.0.0.1:" + port + "/appupdates.txt", "no TLS"},
        {"ftp://127.0.0.1:" + port + "/appupdates.txt", "not a usable http:// address"},
        {"http://127.0.0.1:" + port + "/a\nb", "not a usable http:// address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        LogCapture log;
        const sUpdateAnswer a = HttpUpdate::Ask(MString(c.address), kOurVersion, 2s);
        EXPECT_FALSE(a.listRead);
        EXPECT_FALSE(a.newer);
        const auto lines = log.Starting("Update check:");
        if (*c.logged) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(c.logged), std::string::npos) << lines[0];
            EXPECT_EQ(lines[0].find('\n'), std::string::npos) << "text from outside stays on one line";
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
    EXPECT_EQ(server.Connections(), 0);
}

// What the shutdown waits for: whatever the server does, the answer comes by the deadline.
TEST(HttpUpdate, ShutdownIsNotHeldPastTheDeadline) {
    struct Case {
        const char* name;
        TestServer::Handler handler;
    };
    const Case cases[] = {
        {"list trickling",
         [](TestConnection& c) {
             if (c.ReadRequest())
                 c.Trickle("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, ' '), 20ms);
         }},
        {"header without end",
         [](TestConnection& c) {
             if (c.ReadRequest()) c.Trickle("HTTP/1.1 200 OK\r\n" + std::string(5000, 'h'), 20ms);
         }},
        {"no answer",
         [](TestConnection& c) {
             if (c.ReadRequest()) c.Idle();
         }},
    };
    constexpr auto kDeadline = 300ms;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.handler);
        LogCapture log;
        Stopwatch w;
        const sUpdateAnswer a =
            HttpUpdate::Ask(MString(server.Url("/appupdates.txt")), kOurVersion, kDeadline);
        EXPECT_LT(w.Elapsed(), kDeadline + kSlack);
        EXPECT_FALSE(a.listRead);
        EXPECT_EQ(log.Starting("Update check:").size(), 1u);
    }

    Stopwatch w;
    EXPECT_FALSE(
        HttpUpdate::Ask(MString("http://no-such-host.invalid/appupdates.txt"), kOurVersion, kDeadline)
            .listRead);
    EXPECT_LT(w.Elapsed(), kDeadline + kSlack);
}

} // namespace
