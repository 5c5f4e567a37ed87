// The program's hidapi backend over the fake hid_* library: what the end-to-end tests rely on.

#include "core/Clock.h"
#include "device/hidapi/HidapiController.h"
#include "sim/fakehid/FakeHid.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

struct Recorder : IHidController::Listener {
    std::vector<std::string> events;
    void OnDeviceArrival(IHidDevice& d) override { events.push_back("+" + d.Product()); }
    void OnDeviceUnplug(IHidDevice& d) override { events.push_back("-" + d.Product()); }
};

} // namespace

TEST(HidapiBackendOverFakeHid, FindsReadsAndLosesTheKestrel) {
    FakeClock clock(0);
    SimKestrelConfig config;
    config.pacing = SimPacing::Clock;
    config.clock = &clock;
    fakehid::Reset(config);
    fakehid::AddDevice(SimGenericHid::MouseInfo("sim:mouse/0"));

    {
        HidapiController controller;
        ASSERT_TRUE(controller.Initialised());
        Recorder recorder;
        controller.SetListener(&recorder);
        controller.Poll();
        EXPECT_EQ(recorder.events.size(), 2u);

        std::shared_ptr<IHidDevice> device;
        controller.Enumerate([&](IHidDevice& d, int index) {
            if (d.VendorId() == 0x16C0 && d.ProductId() == 0x05DF && d.Manufacturer() == "mqt-lab" &&
                d.Product() == "Kestrel-9")
                device = controller.CheckOut(index);
            return true;
        });
        ASSERT_TRUE(device);
        ASSERT_GE(device->FeatureReportLength(), 33);

        clock.Advance(560'000);
        std::vector<uint8_t> buf(static_cast<size_t>(device->FeatureReportLength()));
        int samplePackets = 0, error = 0;
        for (int i = 0; i < 30; ++i) {
            std::fill(buf.begin(), buf.end(), 0);
            ASSERT_TRUE(device->GetFeature(buf.data(), static_cast<int>(buf.size()), &error));
            if (buf[1] == kPacketSamples) ++samplePackets;
        }
        EXPECT_EQ(samplePackets, 10);

        fakehid::UnplugKestrel();
        recorder.events.clear();
        controller.Poll();
        EXPECT_EQ(recorder.events, (std::vector<std::string>{"-Kestrel-9"}));
        EXPECT_FALSE(device->GetFeature(buf.data(), static_cast<int>(buf.size()), &error));
        EXPECT_EQ(error, ENODEV);
        controller.CheckIn(device);
    }
    EXPECT_EQ(fakehid::OpenHandles(), 0);
    fakehid::Reset();
}
