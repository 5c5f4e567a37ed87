// Reading the update list and deciding which download addresses may ever be offered.

#include "net/UpdateList.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(UpdateList, FindsTheProductEntry) {
    struct Case {
        const char* name;
        const char* list;
        bool found;
        const char* versionText = "";
        int64_t version = 0;
        const char* address = "";
    };
    const Case cases[] = {
        {"one entry", "TavimeterNew;225;http://example.org/get;", true, "225", 225, "http://example.org/get"},
        {"among others", "Other;7;http://o/;\r\nTavimeterNew;230;http://t/;\r\n", true, "230", 230,
         "http://t/"},
        {"the first of two", "TavimeterNew;225;http://a/;\nTavimeterNew;300;http://b/;", true, "225", 225,
         "http://a/"},
        {"text around it", "updated Monday: TavimeterNew;226;http://x/; enjoy", true, "226", 226,
         "http://x/"},
        {"right after another entry", "Other;1;http://o/;TavimeterNew;227;http://t/;", true, "227", 227,
         "http://t/"},
        {"blanks around the address", "TavimeterNew;228;  http://t/ ;", true, "228", 228, "http://t/"},
        {"a version that is no number reads 0", "TavimeterNew;new;http://t/;", true, "new", 0, "http://t/"},
        {"a version read leniently", "TavimeterNew; v231 ;http://t/;", true, " v231 ", 231, "http://t/"},
        // The key counts only where an entry can begin.
        {"inside a longer identifier", "OldTavimeterNew;300;http://old/;", false},
        {"inside a longer identifier, then the real one",
         "OldTavimeterNew;300;http://old/;\nTavimeterNew;229;http://t/;", true, "229", 229, "http://t/"},
        {"inside another entry's address", "Other;1;http://h/TavimeterNew;225;http://e/;", false},
        {"case matters", "tavimeternew;225;http://t/;", false},
        {"no entry", "Other;1;http://o/;", false},
        {"empty list", "", false},
        // An entry without its closing ";" is no entry.
        {"address not closed", "TavimeterNew;225;http://t/", false},
        {"version not closed", "TavimeterNew;225", false},
        {"not closed on its line, next line complete",
         "TavimeterNew;225;http://a/\nTavimeterNew;226;http://b/;", true, "226", 226, "http://b/"},
        {"\"Error\" anywhere", "TavimeterNew;225;http://t/;\n<!-- Error -->", false},
        {"an error page", "<html>404 Error: not found</html>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<sUpdateEntry> e = FindUpdateEntry(MString(c.list), MString(u"TavimeterNew"));
        ASSERT_EQ(e.has_value(), c.found);
        if (!e) continue;
        EXPECT_EQ(e->versionText.ToUtf8(), c.versionText);
        EXPECT_EQ(e->version, c.version);
        EXPECT_EQ(e->downloadAddress.ToUtf8(), c.address);
    }
}

TEST(UpdateList, OnlyWebAddressesWithAHostAreOffered) {
    const std::string longPath(kMaxDownloadAddressLength - std::string("http://h/").size(), 'a');
    struct Case {
        std::string address;
        bool offered;
    };
    const Case cases[] = {
        {"http://example.org/Corvina-2.25.deb", true},
        {"https://example.org/get?v=225", true},
        {"HTTPS://EXAMPLE.ORG/", true},
        {"http://user@example.org:8080/x", true},
        {"http://[2001:db8::1]/x", true},
        {"http://h/" + longPath, true}, // exactly the limit
        {"http://h/" + longPath + "a", false},
        {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},
        {"ftp://example.org/x", false},
        {"example.org/x", false},
        {"http://", false},
        {"http:///x", false},
        {"http://user@/x", false},
        {"http://:80/x", false},
        {"http://[]/x", false},
        {"http://h/a b", false},
        {"http://h/a\tb", false},
        {"http://h/a\nb", false},
        {"http://h/\x7f", false},
        {"http://h/\xd1\x84", false}, // not ASCII
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsOfferableAddress(MString(c.address)), c.offered) << c.address;
}

} // namespace
