#include "device/hidapi/HidReportDescriptor.h"
#include "device/hidapi/HidapiController.h"
#include "tests/device/FakeHidapi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

testhid::Device Kestrel(const std::string& path) {
    return {path, 0x16C0, 0x05DF, L"mqt-lab", L"Kestrel-9", L"A1"};
}
testhid::Device Mouse(const std::string& path) {
    return {path, 0x046D, 0xC077, L"Logitech", L"Mouse", L""};
}
testhid::Device Keyboard(const std::string& path) {
    return {path, 0x04D9, 0x1603, L"Holtek", L"Keyboard", L""};
}

class RecordingListener : public IHidController::Listener {
public:
    void OnDeviceArrival(IHidDevice& d) override { events.push_back("+" + d.Path() + " " + d.Product()); }
    void OnDeviceUnplug(IHidDevice& d) override { events.push_back("-" + d.Path() + " " + d.Product()); }
    void OnDeviceCreateError() override { events.push_back("create error"); }
    std::vector<std::string> Take() { return std::exchange(events, {}); }
    std::vector<std::string> events;
};

class HidapiFixture : public ::testing::Test {
protected:
    void SetUp() override { testhid::Reset(); }
    void TearDown() override { testhid::Reset(); }
};

TEST_F(HidapiFixture, PollReportsDifferencesByPath) {
    testhid::SetDevices({Mouse("/dev/hidraw0"), Kestrel("/dev/hidraw1")});
    HidapiController hid;
    ASSERT_TRUE(hid.Initialised());
    RecordingListener listener;
    hid.SetListener(&listener);

    struct Step {
        const char* name;
        std::vector<testhid::Device> devices;
        std::vector<std::string> events;
    };
    const std::vector<Step> steps = {
        {"first poll: every present device arrives",
         {Mouse("/dev/hidraw0"), Kestrel("/dev/hidraw1")},
         {"+/dev/hidraw0 Mouse", "+/dev/hidraw1 Kestrel-9"}},
        {"no change", {Mouse("/dev/hidraw0"), Kestrel("/dev/hidraw1")}, {}},
        {"mouse removed", {Kestrel("/dev/hidraw1")}, {"-/dev/hidraw0 Mouse"}},
        {"keyboard plugged", {Keyboard("/dev/hidraw2"), Kestrel("/dev/hidraw1")}, {"+/dev/hidraw2 Keyboard"}},
        {"node reused by another device within one poll",
         {Keyboard("/dev/hidraw2"), Mouse("/dev/hidraw1")},
         {"-/dev/hidraw1 Kestrel-9", "+/dev/hidraw1 Mouse"}},
        {"listed twice (two top-level usages) counts once",
         {Keyboard("/dev/hidraw2"), Mouse("/dev/hidraw1"), Mouse("/dev/hidraw1")},
         {}},
        {"everything gone", {}, {"-/dev/hidraw1 Mouse", "-/dev/hidraw2 Keyboard"}},
    };
    for (const auto& s : steps) {
        testhid::SetDevices(s.devices);
        hid.Poll();
        EXPECT_EQ(listener.Take(), s.events) << s.name;
    }
}

TEST_F(HidapiFixture, FirstPollWithNothingPresentReportsNothing) {
    HidapiController hid;
    RecordingListener listener;
    hid.SetListener(&listener);
    hid.Poll();
    EXPECT_TRUE(listener.events.empty());
    testhid::SetDevices({Mouse("/dev/hidraw0")});
    hid.Poll();
    EXPECT_EQ(listener.Take(), std::vector<std::string>{"+/dev/hidraw0 Mouse"});
}

TEST_F(HidapiFixture, EnumerationConvertsStringsToUtf8) {
    testhid::Device cyr{"/dev/hidraw4", 1, 2, L"Завод", L"Датчик \U0001F600", L"№7"};
    testhid::Device none{"/dev/hidraw5", 3, 4, L"", L"", L"", true};
    testhid::SetDevices({cyr, none, cyr});
    HidapiController hid;
    std::vector<std::string> seen;
    hid.Enumerate([&](IHidDevice& d, int index) {
        seen.push_back(std::to_string(index) + ":" + d.Path() + "|" + d.Manufacturer() + "|" + d.Product() +
                       "|" + d.SerialNumber() + "|" + std::to_string(d.VendorId()) + "/" +
                       std::to_string(d.ProductId()));
        return true;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"0:/dev/hidraw4|Завод|Датчик \xF0\x9F\x98\x80|№7|1/2",
                                              "1:/dev/hidraw5||||3/4"}));
}

TEST(WideToUtf8, InvalidCodePointsBecomeReplacementCharacters) {
    const wchar_t text[] = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), L'b', 0};
    EXPECT_EQ(WideToUtf8(text), "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                "b");
    EXPECT_EQ(WideToUtf8(nullptr), "");
}

TEST_F(HidapiFixture, EnumerateStopsWhenTheVisitorSaysSo) {
    testhid::SetDevices({Mouse("/dev/hidraw0"), Kestrel("/dev/hidraw1")});
    HidapiController hid;
    int visits = 0;
    hid.Enumerate([&](IHidDevice&, int) { return ++visits < 1; });
    EXPECT_EQ(visits, 1);
}

TEST_F(HidapiFixture, CheckedOutDeviceTransfersAndClosesWithTheLastReference) {
    testhid::SetDevices({Mouse("/dev/hidraw0"), Kestrel("/dev/hidraw1")});
    HidapiController hid;
    hid.Enumerate([](IHidDevice&, int) { return true; });
    EXPECT_EQ(hid.CheckOut(2), nullptr);
    EXPECT_EQ(hid.CheckOut(-1), nullptr);
    auto dev = hid.CheckOut(1);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(testhid::OpenHandles(), 1);
    EXPECT_EQ(dev->Product(), "Kestrel-9");
    EXPECT_EQ(dev->FeatureReportLength(), 33); // no report descriptor for this node

    std::vector<uint8_t> report(33, 0);
    report[1] = 5;
    report[32] = 0x77;
    testhid::QueueFeatureReport(report);
    std::vector<uint8_t> buf(33, 0);
    int error = -1;
    ASSERT_TRUE(dev->GetFeature(buf.data(), 33, &error));
    EXPECT_EQ(buf, report);

    ASSERT_TRUE(dev->SetFeature(report.data(), 33, &error));
    EXPECT_EQ(testhid::SentFeatureReports(), std::vector<std::vector<uint8_t>>{report});

    // Checked in while somebody (the reader) still holds it: the handle stays open until then.
    auto readerCopy = dev;
    hid.CheckIn(dev);
    dev.reset();
    EXPECT_EQ(testhid::OpenHandles(), 1);
    readerCopy.reset();
    EXPECT_EQ(testhid::OpenHandles(), 0);
}

TEST_F(HidapiFixture, TransferErrorsCarryTheErrorNumberAndHidErrorText) {
    testhid::SetDevices({Kestrel("/dev/hidraw1")});
    HidapiController hid;
    hid.Enumerate([](IHidDevice&, int) { return true; });
    auto dev = hid.CheckOut(0);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> buf(33, 0);

    testhid::FailGetFeature(EPIPE, L"ioctl (GFEATURE): Broken pipe");
    int error = 0;
    EXPECT_FALSE(dev->GetFeature(buf.data(), 33, &error));
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(dev->LastErrorText(), "ioctl (GFEATURE): Broken pipe");

    // A failure that leaves errno alone still gives a non-zero code.
    errno = ENOENT;
    testhid::FailGetFeature(0, L"device error");
    EXPECT_FALSE(dev->GetFeature(buf.data(), 33, &error));
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(dev->LastErrorText(), "device error");
    EXPECT_FALSE(hid.ErrorText(EIO).empty());
}

TEST_F(HidapiFixture, OpenFailureNotifiesCreateError) {
    testhid::SetDevices({Kestrel("/dev/hidraw1")});
    HidapiController hid;
    RecordingListener listener;
    hid.SetListener(&listener);
    hid.Enumerate([](IHidDevice&, int) { return true; });
    testhid::FailNextOpen("/dev/hidraw1");
    EXPECT_EQ(hid.CheckOut(0), nullptr);
    EXPECT_EQ(listener.Take(), std::vector<std::string>{"create error"});
    EXPECT_EQ(hid.LastError(), "open failed");
    EXPECT_EQ(testhid::OpenHandles(), 0);
}

TEST_F(HidapiFixture, InitAndExit) {
    {
        HidapiController hid;
        EXPECT_EQ(testhid::InitCalls(), 1);
    }
    EXPECT_EQ(testhid::ExitCalls(), 1);

    testhid::FailInit(true);
    testhid::SetDevices({Kestrel("/dev/hidraw1")});
    {
        HidapiController hid;
        EXPECT_FALSE(hid.Initialised());
        EXPECT_EQ(hid.LastError(), "init failed");
        int visits = 0;
        hid.Enumerate([&](IHidDevice&, int) { return ++visits > 0; });
        EXPECT_EQ(visits, 0);
    }
    EXPECT_EQ(testhid::ExitCalls(), 1); // not initialised: no hid_exit
}

TEST(ReportDescriptor, LongestFeatureReport) {
    struct Case {
        const char* name;
        std::vector<uint8_t> d;
        int expected;
    };
    const Case cases[] = {
        {"vendor page, one 32-byte feature report",
         {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
          0x00, 0x75, 0x08, 0x95, 0x20, 0x09, 0x00, 0xB2, 0x02, 0x01, 0xC0},
         33},
        {"report ids: the longest counts",
         {0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0xB1, 0x02, 0x85, 0x02, 0x95, 0x40, 0xB1, 0x02},
         65},
        {"two feature items of one report add up", {0x75, 0x08, 0x95, 0x10, 0xB1, 0x02, 0xB1, 0x02}, 33},
        {"bits round up", {0x75, 0x01, 0x95, 0x09, 0xB1, 0x02}, 3},
        {"input and output items are not features", {0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02}, 0},
        {"push and pop restore the globals",
         {0x75, 0x08, 0x95, 0x20, 0xA4, 0x95, 0x01, 0xB4, 0xB1, 0x02},
         33},
        {"long item skipped", {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x75, 0x08, 0x95, 0x20, 0xB1, 0x02}, 33},
        {"four-byte item data", {0x77, 0x08, 0x00, 0x00, 0x00, 0x97, 0x20, 0x00, 0x00, 0x00, 0xB1, 0x02}, 33},
        {"empty", {}, 0},
        {"truncated item", {0x75, 0x08, 0x96, 0x20}, 0},
        {"truncated long item", {0xFE, 0x05, 0x10, 0xAA}, 0},
        {"pop without push", {0xB4}, 0},
        {"report id 0 is invalid", {0x85, 0x00}, 0},
        {"absurd size", {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FeatureReportLengthFromDescriptor(c.d.data(), c.d.size()), c.expected) << c.name;
}

} // namespace
