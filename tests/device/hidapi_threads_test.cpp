#include "device/MJvUSB.h"
#include "device/hidapi/HidapiController.h"
#include "tests/device/FakeHidapi.h"
#include "tests/device/LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(HidapiTransport, DevicePresentAtStartConnectsOnTheFirstPollAndMovesPackets) {
    testhid::Reset();
    testhid::SetDevices({{"/dev/hidraw0", 0x046D, 0xC077, L"Logitech", L"Mouse", L""},
                         {"/dev/hidraw1", 0x16C0, 0x05DF, L"mqt-lab", L"Kestrel-9", L"A1"}});
    std::array<int8_t, 27> diffs{};
    const sBaseCmd samples = MakeSamplePacket(7, 0, 1234, diffs.data());
    std::vector<uint8_t> report(33, 0);
    std::copy(samples.data, samples.data + kPacketSize, report.begin() + 1);
    testhid::QueueFeatureReport(report);

    LogCapture log;
    {
        MJvUSB usb(std::make_unique<HidapiController>());
        int configured = 0;
        usb.SetOnConnect([&] { ++configured; });
        EXPECT_FALSE(usb.IsConnected());
        usb.Poll();
        EXPECT_TRUE(usb.IsConnected());
        EXPECT_EQ(configured, 1);
        EXPECT_EQ(log.Count("DeviceArrival Mouse"), 1u);
        EXPECT_EQ(log.Count("DeviceArrival Kestrel-9"), 1u);

        ASSERT_TRUE(WaitFor([&] { return usb.ReceiveQueue().Count() == 1; }));
        sBaseCmd got;
        ASSERT_TRUE(usb.ReceiveQueue().TryPop(got));
        EXPECT_EQ(got, samples);

        sBaseCmd cmd = InitialCommandPacket();
        CommandConfigure(cmd, kLedInternalRed);
        usb.Send(cmd);
        ASSERT_TRUE(WaitFor([&] { return testhid::SentFeatureReports().size() == 1; }));
        const auto sent = testhid::SentFeatureReports().front();
        ASSERT_EQ(sent.size(), 33u);
        EXPECT_EQ(sent[0], 0); // report id
        EXPECT_EQ(sent[1], kPacketCommand);
        EXPECT_EQ(sent[2], kLedInternalRed);
        EXPECT_EQ(sent[32], 4 ^ 1 ^ 250 ^ 50 ^ 1 ^ 1);

        // The mouse goes: still connected. The photoplethysmograph goes: released and closed.
        testhid::SetDevices({{"/dev/hidraw1", 0x16C0, 0x05DF, L"mqt-lab", L"Kestrel-9", L"A1"}});
        usb.Poll();
        EXPECT_TRUE(usb.IsConnected());
        testhid::SetDevices({});
        usb.Poll();
        EXPECT_FALSE(usb.IsConnected());
        EXPECT_TRUE(WaitFor([] { return testhid::OpenHandles() == 0; }));
    }
    EXPECT_EQ(testhid::ExitCalls(), 1);
    testhid::Reset();
}

} // namespace
