// The update check as the shutdown runs it: the list address comes from the settings tree.

#include "app/Settings.h"
#include "core/MVarArray.h"
#include "net/HttpUpdate.h"
#include "tests/net/TestServer.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(UpdateSettings, NoAddressByDefaultAndTheKeyIsNotCreated) {
    MVarArray settings;
    EXPECT_TRUE(UpdateListAddress(settings).IsEmpty());
    EXPECT_EQ(settings.Count(), 0);
    EXPECT_FALSE(HttpUpdate::Ask(UpdateListAddress(settings), 224, 2s).listRead);
}

TEST(UpdateSettings, TheStoredAddressIsAsked) {
    nettest::TestServer server([](nettest::TestConnection& c) {
        const std::string body = "TavimeterNew;225;http://example.org/corvina;";
        while (c.ReadRequest())
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    });
    MVarArray settings;
    settings.Item(MVariant(kUpdateListAddressKey)).Value() = MVariant(MString("  " + server.Url("/") + " "));
    const sUpdateAnswer a = HttpUpdate::Ask(UpdateListAddress(settings), 224, 2s);
    EXPECT_TRUE(a.listRead);
    EXPECT_TRUE(a.newer);
    EXPECT_EQ(a.downloadAddress.ToUtf8(), "http://example.org/corvina");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].substr(0, 20), "GET /appupdates.txt ");
}

} // namespace
