#include "core/Clock.h"
#include "sim/fakehid/FakeHid.h"

#include <hidapi.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

class FakeHid : public ::testing::Test {
protected:
    void SetUp() override {
        SimKestrelConfig config;
        config.pacing = SimPacing::Clock;
        config.clock = &m_clock;
        config.serialNumber = "K9-0815";
        fakehid::Reset(config);
        m_openBefore = fakehid::OpenHandles();
    }
    void TearDown() override {
        EXPECT_EQ(fakehid::OpenHandles(), m_openBefore); // every handle closed
        fakehid::Reset();
    }

    static std::vector<std::string> Paths(hid_device_info* list) {
        std::vector<std::string> out;
        for (auto* d = list; d; d = d->next) out.emplace_back(d->path);
        return out;
    }

    FakeClock m_clock{1'000'000};
    int m_openBefore = 0;
};

hid_device* OpenKestrel() {
    hid_device_info* list = hid_enumerate(0x16C0, 0x05DF);
    if (!list) return nullptr;
    hid_device* dev = hid_open_path(list->path);
    hid_free_enumeration(list);
    return dev;
}

} // namespace

TEST_F(FakeHid, EnumeratesEveryDeviceOrTheOnesAsked) {
    ASSERT_EQ(hid_init(), 0);
    fakehid::AddDevice(SimGenericHid::MouseInfo("sim:mouse/0"));

    hid_device_info* all = hid_enumerate(0, 0);
    EXPECT_EQ(Paths(all).size(), 2u);
    hid_free_enumeration(all);

    hid_device_info* mine = hid_enumerate(0x16C0, 0x05DF);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->next, nullptr);
    EXPECT_EQ(mine->vendor_id, 0x16C0);
    EXPECT_EQ(mine->product_id, 0x05DF);
    EXPECT_STREQ(mine->manufacturer_string, L"mqt-lab");
    EXPECT_STREQ(mine->product_string, L"Kestrel-9");
    EXPECT_STREQ(mine->serial_number, L"K9-0815");
    EXPECT_EQ(mine->bus_type, HID_API_BUS_USB);
    hid_free_enumeration(mine);

    EXPECT_EQ(hid_enumerate(0x1234, 0), nullptr);
    EXPECT_EQ(hid_exit(), 0);
}

TEST_F(FakeHid, OpenedDeviceStreamsPacketsAndTakesCommands) {
    hid_device* dev = OpenKestrel();
    ASSERT_NE(dev, nullptr);

    wchar_t text[64];
    ASSERT_EQ(hid_get_product_string(dev, text, 64), 0);
    EXPECT_STREQ(text, L"Kestrel-9");
    ASSERT_EQ(hid_get_manufacturer_string(dev, text, 4), 0); // truncated, still terminated
    EXPECT_STREQ(text, L"mqt");
    ASSERT_EQ(hid_get_serial_number_string(dev, text, 64), 0);
    EXPECT_STREQ(text, L"K9-0815");
    hid_device_info* info = hid_get_device_info(dev);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->product_id, 0x05DF);

    m_clock.Advance(1'120'000); // 20 sample packets
    int samples = 0, status = 0;
    for (;;) {
        unsigned char buf[65] = {};
        ASSERT_EQ(hid_get_feature_report(dev, buf, sizeof buf), 33);
        sBaseCmd p;
        std::memcpy(p.data, buf + 1, kPacketSize);
        if (p.Type() == kPacketNone) break;
        EXPECT_TRUE(PacketChecksumValid(p));
        if (p.Type() == kPacketSamples) {
            EXPECT_EQ(SampleSerial(p), samples);
            ++samples;
        }
        if (p.Type() == kPacketStatus) ++status;
    }
    EXPECT_EQ(samples, 20);
    EXPECT_EQ(status, 1 + 20 / 3);

    sBaseCmd command = InitialCommandPacket();
    CommandConfigure(command, kLedClipInfrared);
    StampChecksum(command);
    unsigned char report[33] = {};
    std::memcpy(report + 1, command.data, kPacketSize);
    EXPECT_EQ(hid_send_feature_report(dev, report, sizeof report), 33);
    EXPECT_EQ(fakehid::Kestrel()->Settings().led, kLedClipInfrared);
    EXPECT_EQ(fakehid::Kestrel()->Settings().lf, kConnectLfCode);

    // The simulated device has no input or output reports.
    EXPECT_EQ(hid_write(dev, report, sizeof report), -1);
    EXPECT_EQ(hid_read_timeout(dev, report, sizeof report, 10), 0);
    hid_close(dev);
}

TEST_F(FakeHid, UnpluggedDeviceFailsWithNoSuchDevice) {
    hid_device* dev = OpenKestrel();
    ASSERT_NE(dev, nullptr);
    fakehid::UnplugKestrel();
    EXPECT_EQ(hid_enumerate(0x16C0, 0x05DF), nullptr);

    unsigned char buf[33] = {};
    errno = 0;
    EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_STREQ(hid_error(dev), L"No such device");
    EXPECT_EQ(hid_send_feature_report(dev, buf, sizeof buf), -1);
    wchar_t text[16];
    EXPECT_EQ(hid_get_product_string(dev, text, 16), -1);

    fakehid::PlugKestrel();
    EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), -1); // the old handle stays dead
    hid_close(dev);

    dev = OpenKestrel();
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), 33);
    EXPECT_STREQ(hid_error(dev), L"Success");
    hid_close(dev);
}

TEST_F(FakeHid, OpenFailuresAndSwitches) {
    EXPECT_EQ(hid_open_path("sim:nothing-here"), nullptr);
    EXPECT_STRNE(hid_error(nullptr), L"Success");
    EXPECT_EQ(hid_open(0x16C0, 0x05DF, L"another serial"), nullptr);
    hid_device* dev = hid_open(0x16C0, 0x05DF, L"K9-0815");
    ASSERT_NE(dev, nullptr);
    hid_close(dev);
    dev = hid_open(0x16C0, 0x05DF, nullptr);
    ASSERT_NE(dev, nullptr);

    SimFaults faults;
    faults.getAlwaysFails = true;
    fakehid::Kestrel()->SetFaults(faults);
    unsigned char buf[33] = {};
    EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_STREQ(hid_error(dev), L"Input/output error");
    hid_close(dev);

    fakehid::SetInitFails(true);
    EXPECT_EQ(hid_init(), -1);
    fakehid::SetInitFails(false);
    EXPECT_EQ(hid_init(), 0);
}

TEST_F(FakeHid, SeveralKestrelsGetTheirOwnPaths) {
    auto second = fakehid::AddKestrel(SimKestrelConfig{});
    hid_device_info* list = hid_enumerate(0x16C0, 0x05DF);
    const auto paths = Paths(list);
    hid_free_enumeration(list);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0], paths[1]);
    EXPECT_EQ(paths[1], second->Info().path);

    fakehid::Clear();
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    EXPECT_EQ(fakehid::Kestrel(), nullptr);
}
