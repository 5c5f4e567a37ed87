// Which addresses the client accepts, and what goes into the request line.

#include "net/HttpUrl.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpUrl, AcceptedAddresses) {
    struct Case {
        const char16_t* url;
        const char* host;
        int port;
        const char* target;
    };
    const Case cases[] = {
        {u"example.org", "example.org", 80, "/"}, // no scheme and no path: "/" on port 80
        {u"http://example.org", "example.org", 80, "/"},
        {u"HTTP://Example.org/a/b.txt", "Example.org", 80, "/a/b.txt"},
        {u"  http://10.0.0.7:8080/list.txt?v=2#top ", "10.0.0.7", 8080, "/list.txt?v=2"},
        {u"http://host:/x", "host", 80, "/x"},
        {u"http://host?q=1", "host", 80, "/?q=1"},
        {u"http://host/a b", "host", 80, "/a%20b"},
        {u"http://host/\u0444", "host", 80, "/%D1%84"}, // UTF-8 bytes, percent-encoded
        {u"http://h:65535/", "h", 65535, "/"},
    };
    for (const Case& c : cases) {
        sHttpUrl u;
        ASSERT_EQ(ParseHttpUrl(MString(c.url), u), UrlStatus::Ok) << MString(c.url).ToUtf8();
        EXPECT_EQ(u.host, c.host);
        EXPECT_EQ(u.port, c.port);
        EXPECT_EQ(u.target, c.target);
    }
}

TEST(HttpUrl, RefusedAddresses) {
    struct Case {
        const char16_t* url;
        UrlStatus status;
    };
    const Case cases[] = {
        {u"https://example.org/appupdates.txt", UrlStatus::Https},
        {u"HTTPS://example.org/", UrlStatus::Https},
        {u"ftp://example.org/", UrlStatus::Unsupported},
        {u"file:///etc/passwd", UrlStatus::Unsupported},
        {u"http://user:pw@example.org/", UrlStatus::Unsupported},
        {u"http://[::1]/", UrlStatus::Unsupported},
        {u"", UrlStatus::Invalid},
        {u"http://", UrlStatus::Invalid},
        {u"http:///path", UrlStatus::Invalid},
        {u"http://:8080/", UrlStatus::Invalid},
        {u"http://host:0/", UrlStatus::Invalid},
        {u"http://host:65536/", UrlStatus::Invalid},
        {u"http://host:8o/", UrlStatus::Invalid},
        {u"http://host:000080/", UrlStatus::Invalid},
        {u"http://ho st/", UrlStatus::Invalid},
        // A line break would let the path write header lines of its own.
        {u"http://host/a\r\nX-Injected: 1", UrlStatus::Invalid},
        {u"http://host/a\tb", UrlStatus::Invalid},
        {u"http://host/\u007f", UrlStatus::Invalid},
    };
    for (const Case& c : cases) {
        sHttpUrl u;
        EXPECT_EQ(ParseHttpUrl(MString(c.url), u), c.status) << MString(c.url).ToUtf8();
    }
}

} // namespace
