#include "sim/SimHidController.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Recorder : IHidController::Listener {
    std::vector<std::string> events;
    std::function<void(IHidDevice&)> onArrival;
    void OnDeviceArrival(IHidDevice& d) override {
        events.push_back("+" + d.Product());
        if (onArrival) onArrival(d);
    }
    void OnDeviceUnplug(IHidDevice& d) override { events.push_back("-" + d.Product()); }
};

SimKestrelConfig Manual() {
    SimKestrelConfig c;
    c.pacing = SimPacing::Manual;
    return c;
}

struct Listed {
    std::string product;
    int index;
};

std::vector<Listed> List(SimHidController& controller) {
    std::vector<Listed> out;
    controller.Enumerate([&](IHidDevice& d, int index) {
        out.push_back({d.Product(), index});
        return true;
    });
    return out;
}

} // namespace

TEST(SimHidController, EnumeratesTheKestrelWithItsIdentity) {
    SimKestrelConfig config = Manual();
    config.serialNumber = "K9-4711";
    SimHidController controller(config);
    int seen = 0;
    controller.Enumerate([&](IHidDevice& d, int index) {
        ++seen;
        EXPECT_EQ(index, 0);
        EXPECT_EQ(d.VendorId(), 0x16C0);
        EXPECT_EQ(d.ProductId(), 0x05DF);
        EXPECT_EQ(d.Manufacturer(), "mqt-lab");
        EXPECT_EQ(d.Product(), "Kestrel-9");
        EXPECT_EQ(d.SerialNumber(), "K9-4711");
        EXPECT_FALSE(d.Path().empty());
        EXPECT_EQ(d.FeatureReportLength(), 33);
        return true;
    });
    EXPECT_EQ(seen, 1);
}

TEST(SimHidController, CheckedOutDeviceTransfersUntilUnplugged) {
    SimHidController controller(Manual());
    auto kestrel = controller.Kestrel();
    ASSERT_TRUE(kestrel);
    List(controller);
    auto device = controller.CheckOut(0);
    ASSERT_TRUE(device);
    EXPECT_FALSE(controller.CheckOut(0)); // already taken
    EXPECT_FALSE(controller.CheckOut(1));
    EXPECT_FALSE(controller.CheckOut(-1));

    kestrel->Advance(0.2);
    uint8_t buf[33] = {};
    int error = 0;
    ASSERT_TRUE(device->GetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(buf[1], kPacketStatus); // the power-up status comes first

    sBaseCmd command = InitialCommandPacket();
    CommandConfigure(command, kLedClipRed);
    StampChecksum(command);
    std::memcpy(buf + 1, command.data, kPacketSize);
    buf[0] = 0;
    ASSERT_TRUE(device->SetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(kestrel->Settings().led, kLedClipRed);
    EXPECT_EQ(kestrel->Settings().drive, kConnectDriveCode);

    kestrel->Unplug();
    EXPECT_FALSE(device->GetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(error, ENODEV);
    EXPECT_FALSE(device->LastErrorText().empty());
    EXPECT_FALSE(controller.ErrorText(ENODEV).empty());

    // Back again: the old handle stays dead, a new check-out works.
    kestrel->Plug();
    EXPECT_FALSE(device->GetFeature(buf, sizeof buf, &error));
    controller.CheckIn(device);
    List(controller);
    auto again = controller.CheckOut(0);
    ASSERT_TRUE(again);
    buf[0] = 0;
    EXPECT_TRUE(again->GetFeature(buf, sizeof buf, &error));
    controller.CheckIn(again);
    EXPECT_TRUE(controller.CheckOut(0)); // checked in, so free again
}

TEST(SimHidController, CheckOutOfADeviceGoneSinceEnumerationFails) {
    SimHidController controller(Manual());
    List(controller);
    controller.Kestrel()->Unplug();
    EXPECT_FALSE(controller.CheckOut(0));
    controller.Kestrel()->Plug();
    EXPECT_FALSE(controller.CheckOut(0)); // the enumerated plug-in is gone for good
}

TEST(SimHidController, PollReportsArrivalsAndRemovalsOfAnyDevice) {
    auto bus = std::make_shared<SimHidBus>();
    auto kestrel = std::make_shared<SimKestrel>(Manual());
    auto mouse = std::make_shared<SimGenericHid>(SimGenericHid::MouseInfo("sim:mouse/0"));
    bus->Attach(mouse);
    bus->Attach(kestrel);
    SimHidController controller(bus);
    Recorder recorder;
    controller.SetListener(&recorder);

    controller.Poll();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"+USB Optical Mouse", "+Kestrel-9"}));
    recorder.events.clear();
    controller.Poll();
    EXPECT_TRUE(recorder.events.empty());

    mouse->Unplug();
    controller.Poll();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"-USB Optical Mouse"}));
    recorder.events.clear();

    // Out and back in between two polls: both are reported.
    kestrel->Unplug();
    kestrel->Plug();
    mouse->Plug();
    controller.Poll();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"-Kestrel-9", "+USB Optical Mouse", "+Kestrel-9"}));
    recorder.events.clear();

    bus->Detach(mouse.get());
    controller.Poll();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"-USB Optical Mouse"}));
    EXPECT_EQ(List(controller).size(), 1u);
}

TEST(SimHidController, ListenerMayEnumerateAndCheckOutFromItsNotification) {
    SimHidController controller(Manual());
    Recorder recorder;
    std::shared_ptr<IHidDevice> taken;
    recorder.onArrival = [&](IHidDevice&) {
        controller.Enumerate([&](IHidDevice& d, int index) {
            if (d.Product() == "Kestrel-9") taken = controller.CheckOut(index);
            return true;
        });
    };
    controller.SetListener(&recorder);
    controller.Poll();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->Product(), "Kestrel-9");
}

TEST(SimHidController, GenericDevicesHaveNoFeatureReportsUnlessGivenALength) {
    auto bus = std::make_shared<SimHidBus>();
    SimHidInfo lookAlike = SimKestrel::DefaultInfo(SimKestrelConfig{});
    lookAlike.manufacturer = "mqt-lab "; // close, but not the real thing
    lookAlike.path = "sim:lookalike/0";
    bus->Attach(std::make_shared<SimGenericHid>(SimGenericHid::MouseInfo("sim:mouse/0")));
    bus->Attach(std::make_shared<SimGenericHid>(lookAlike));
    SimHidController controller(bus);
    List(controller);
    auto mouse = controller.CheckOut(0);
    auto other = controller.CheckOut(1);
    ASSERT_TRUE(mouse && other);
    uint8_t buf[33] = {};
    int error = 0;
    EXPECT_FALSE(mouse->GetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(error, EPIPE);
    std::memset(buf, 0x77, sizeof buf);
    buf[0] = 0;
    EXPECT_TRUE(other->GetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(buf[1], kPacketNone);
    EXPECT_EQ(other->Manufacturer(), "mqt-lab ");
}
