#include "device/DeviceState.h"
#include "device/MJvUSB.h"
#include "tests/device/FakeHidController.h"
#include "tests/device/LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls cond until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class TransportFixture : public ::testing::Test {
protected:
    void SetUp() override {
        auto controller = std::make_unique<FakeHidController>(&controllerDestroyed);
        hid = controller.get();
        usb = std::make_unique<MJvUSB>(std::move(controller));
        usb->SetOnConnect([this] { ++onConnect; });
    }
    void TearDown() override { usb.reset(); }

    LogCapture log;
    std::atomic<bool> controllerDestroyed{false};
    FakeHidController* hid = nullptr;
    std::unique_ptr<MJvUSB> usb;
    int onConnect = 0;
};

TEST_F(TransportFixture, TwoMatchingDevicesLastOneStaysRoutineRunsTwice) {
    auto first = FakeHidDevice::Kestrel("/dev/hidraw1");
    auto mouse = FakeHidDevice::Mouse("/dev/hidraw2");
    auto second = FakeHidDevice::Kestrel("/dev/hidraw3");
    hid->Add(first);
    hid->Add(mouse);
    hid->Add(second);
    usb->Connect();
    EXPECT_TRUE(usb->IsConnected());
    EXPECT_EQ(usb->Device(), second);
    EXPECT_EQ(onConnect, 2);
    EXPECT_EQ(log.Count("Enumerate has found Kestrel-9"), 2u);
    EXPECT_EQ(hid->checkIns, 1); // the first one went back when the second was taken
}

TEST_F(TransportFixture, ConnectWithoutMatchStaysDisconnected) {
    auto padded = std::make_shared<FakeHidDevice>(0x16C0, 0x05DF, "mqt-lab ", "Kestrel-9", "/dev/hidraw1");
    hid->Add(padded);
    usb->Connect();
    EXPECT_FALSE(usb->IsConnected());
    EXPECT_EQ(onConnect, 0);
}

TEST_F(TransportFixture, ReconnectReleasesTheCurrentDeviceFirst) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Add(dev);
    usb->Connect();
    usb->Connect();
    EXPECT_TRUE(usb->IsConnected());
    EXPECT_EQ(hid->checkOuts, 2);
    EXPECT_EQ(hid->checkIns, 1);
    EXPECT_EQ(onConnect, 2);
}

TEST_F(TransportFixture, CheckOutFailureIsLoggedAndLeavesDisconnected) {
    hid->Add(FakeHidDevice::Kestrel("/dev/hidraw1"));
    hid->failCheckOut = true;
    usb->Connect();
    EXPECT_FALSE(usb->IsConnected());
    EXPECT_EQ(onConnect, 0);
    EXPECT_EQ(log.Count("HidDCOnDeviceCreateError"), 1u);
}

TEST_F(TransportFixture, CommandSentWhileDisconnectedIsDeliveredAfterConnect) {
    sBaseCmd cmd = InitialCommandPacket();
    CommandConfigure(cmd, kLedClipRed);
    usb->Send(cmd);
    EXPECT_EQ(usb->SendQueue().Count(), 1);
    std::this_thread::sleep_for(20ms); // several reader passes without a device
    EXPECT_EQ(usb->SendQueue().Count(), 1);

    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    dev->featureLength = 65; // longer reports are padded with zeros
    hid->Add(dev);
    usb->Connect();
    ASSERT_TRUE(WaitFor([&] { return !dev->Received().empty(); }));
    const sBaseCmd got = dev->Received().front();
    sBaseCmd expected = cmd;
    expected[31] = 4 ^ 2 ^ 250 ^ 50 ^ 1 ^ 1;
    EXPECT_EQ(got, expected);
    EXPECT_EQ(dev->ReportLengths().front(), 65);
    EXPECT_EQ(dev->ReportIds().front(), 0);
}

TEST_F(TransportFixture, CommandBufferSendsThroughTheTransport) {
    cCommandBuffer c;
    c.Configure(kLedInternalRed);
    EXPECT_TRUE(c.Send(usb.get()));
    sBaseCmd queued;
    ASSERT_TRUE(usb->SendQueue().TryPop(queued));
    EXPECT_EQ(queued, c.Packet());
    EXPECT_TRUE(PacketChecksumValid(queued));
}

TEST_F(TransportFixture, OneCommandPerWritePhaseInOrder) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Add(dev);
    usb->Connect();
    sBaseCmd cmd = InitialCommandPacket();
    for (uint8_t lf = 10; lf < 15; ++lf) {
        CommandSetLf(cmd, lf);
        usb->Send(cmd);
    }
    ASSERT_TRUE(WaitFor([&] { return dev->Received().size() == 5; }));
    const auto got = dev->Received();
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i][kCmdLf], 10 + i);
    // Reads and writes alternate: at least one read between two writes.
    EXPECT_GE(dev->getCalls.load(), 4);
}

TEST_F(TransportFixture, ReceivedPacketsAreCheckedAndQueued) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    std::array<int8_t, 27> diffs{};
    const sBaseCmd samples = MakeSamplePacket(5, 1, 0x10, diffs.data());
    sBaseCmd badSamples = samples;
    badSamples[31] = 23;
    const sBaseCmd status = MakeStatusPacket({.driveCode = 100, .lfCode = 50, .activeLed = 1});
    sBaseCmd unused2;
    unused2[0] = 2;
    unused2[31] = 0xAB;
    sBaseCmd unused2Bad = unused2;
    unused2Bad[31] = 0x10;
    sBaseCmd unused8;
    unused8[0] = 8;
    unused8[31] = 0xAB;
    for (const sBaseCmd& p : {samples, badSamples, unused2, unused2Bad, status, unused8}) dev->QueueToHost(p);
    hid->Add(dev);
    usb->Connect();

    ASSERT_TRUE(WaitFor([&] { return usb->ReceiveQueue().Count() == 3; }));
    sBaseCmd p;
    ASSERT_TRUE(usb->ReceiveQueue().TryPop(p));
    EXPECT_EQ(p, samples);
    ASSERT_TRUE(usb->ReceiveQueue().TryPop(p));
    EXPECT_EQ(p, status);
    ASSERT_TRUE(usb->ReceiveQueue().TryPop(p));
    EXPECT_EQ(p, unused8);
    EXPECT_EQ(log.Starting("CRC Error"),
              (std::vector<std::string>{"CRC Error, ComId=5 CRC=23", "CRC Error, ComId=2 CRC=16"}));
    // Nothing more: the device now answers type 0, which is never tested.
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(usb->ReceiveQueue().Count(), 0);
    EXPECT_EQ(log.Starting("CRC Error").size(), 2u);
}

TEST_F(TransportFixture, FailingGetFeatureLogsTenErrorsThenTwoFatalLines) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    dev->failGet = true;
    hid->Add(dev);
    usb->Connect();
    ASSERT_TRUE(WaitFor([&] { return log.Starting("Fatal Error").size() >= 2; }));
    usb->Disconnect();

    std::vector<std::string> reader;
    for (const auto& line : log.Lines())
        if (line.rfind("GetFeature", 0) == 0 || line.rfind("XXX", 0) == 0 || line.rfind("Fatal", 0) == 0)
            reader.push_back(line);
    ASSERT_GE(reader.size(), 24u);
    for (int phase = 0; phase < 2; ++phase) {
        const size_t base = static_cast<size_t>(phase) * 12;
        for (size_t i = 0; i < 10; ++i) EXPECT_EQ(reader[base + i], "GetFeature Error fake error 5 5") << i;
        EXPECT_EQ(reader[base + 10], std::string(43, 'X'));
        EXPECT_EQ(reader[base + 11], "Fatal Error occured while requesting data from the device!");
    }
    EXPECT_EQ(usb->ReceiveQueue().Count(), 0);
}

TEST_F(TransportFixture, SetFeatureIsRetriedAndALostCommandIsReported) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Add(dev);
    usb->Connect();

    dev->FailNextSets(3);
    usb->Send(InitialCommandPacket());
    ASSERT_TRUE(WaitFor([&] { return dev->Received().size() == 1; }));
    EXPECT_EQ(dev->setCalls.load(), 4);
    EXPECT_TRUE(log.Starting("Fatal").empty());

    dev->FailNextSets(1000);
    usb->Send(InitialCommandPacket());
    ASSERT_TRUE(WaitFor([&] { return !log.Starting("Fatal").empty(); }, 5000ms));
    EXPECT_EQ(dev->setCalls.load(), 104);
    EXPECT_EQ(log.Starting("Fatal"),
              std::vector<std::string>{"Fatal Error occured while sending data to the device!"});
    EXPECT_EQ(log.Count(std::string(43, 'X')), 1u);
    EXPECT_EQ(usb->SendQueue().Count(), 0); // not requeued
}

TEST_F(TransportFixture, UnplugOfAnotherDeviceKeepsTheConnection) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    auto mouse = FakeHidDevice::Mouse("/dev/hidraw2");
    hid->Add(dev);
    hid->Add(mouse);
    usb->Connect();
    ASSERT_TRUE(usb->IsConnected());

    hid->Unplug(mouse);
    usb->Poll();
    EXPECT_TRUE(usb->IsConnected());
    EXPECT_EQ(log.Count("DeviceUnplug USB Optical Mouse"), 1u);
    EXPECT_TRUE(log.Starting("Device Kestrel-9 disconnected").empty());

    // Another photoplethysmograph that was never taken goes too: still connected.
    auto other = FakeHidDevice::Kestrel("/dev/hidraw5");
    hid->Plug(other);
    usb->Poll();
    hid->Unplug(other);
    usb->Poll();
    EXPECT_TRUE(usb->IsConnected());
    EXPECT_EQ(usb->Device(), dev);

    hid->Unplug(dev);
    usb->Poll();
    EXPECT_FALSE(usb->IsConnected());
    const auto lines = log.Lines();
    const std::vector<std::string> tail(lines.end() - 2, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Device Kestrel-9 disconnected", "DeviceUnplug Kestrel-9"}));
}

TEST_F(TransportFixture, UnplugIsMatchedByPathNotByObject) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Add(dev);
    usb->Connect();
    // The controller reports the removal with its own description of the node.
    auto description = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Unplug(description);
    usb->Poll();
    EXPECT_FALSE(usb->IsConnected());
}

TEST_F(TransportFixture, ArrivalConnectsOnlyWhileDisconnected) {
    auto mouse = FakeHidDevice::Mouse("/dev/hidraw2");
    hid->Plug(mouse);
    usb->Poll();
    EXPECT_EQ(log.Count("DeviceArrival USB Optical Mouse"), 1u);
    EXPECT_EQ(hid->enumerations, 1); // any arrival while disconnected tries to connect
    EXPECT_FALSE(usb->IsConnected());

    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Plug(dev);
    usb->Poll();
    EXPECT_TRUE(usb->IsConnected());
    EXPECT_EQ(onConnect, 1);
    EXPECT_EQ(log.Count("DeviceArrival Kestrel-9"), 1u);

    hid->Plug(FakeHidDevice::Mouse("/dev/hidraw3"));
    usb->Poll();
    EXPECT_EQ(hid->enumerations, 2); // connected: no new enumeration
    EXPECT_EQ(onConnect, 1);
}

TEST_F(TransportFixture, DisconnectDuringATransferKeepsTheDeviceAlive) {
    std::weak_ptr<FakeHidDevice> watch;
    {
        auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
        dev->getDelay = 30ms;
        watch = dev;
        hid->Add(dev);
        usb->Connect();
        ASSERT_TRUE(WaitFor([&] { return dev->getCalls.load() > 0; }));
        hid->Unplug(dev); // the controller lets go of it as well
    }
    usb->Poll(); // disconnects while the reader may sit in GetFeature
    EXPECT_FALSE(usb->IsConnected());
    // The reader still held the last reference or has let it go; either way nothing was freed
    // under it, and it lets go within one transfer.
    EXPECT_TRUE(WaitFor([&] { return watch.expired(); }));
}

TEST_F(TransportFixture, DestructorStopsTheReaderAndDestroysTheController) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    hid->Add(dev);
    usb->Connect();
    ASSERT_TRUE(WaitFor([&] { return dev->getCalls.load() > 2; }));
    usb.reset();
    EXPECT_TRUE(controllerDestroyed.load());
    const int calls = dev->getCalls.load();
    std::this_thread::sleep_for(15ms);
    EXPECT_EQ(dev->getCalls.load(), calls);
    EXPECT_EQ(dev.use_count(), 1); // neither the reader nor the controller holds it
    EXPECT_EQ(log.Count("Device Kestrel-9 disconnected"), 1u);
}

TEST_F(TransportFixture, ReaderGivenUpAtDestructionTouchesNothingFreed) {
    auto dev = FakeHidDevice::Kestrel("/dev/hidraw1");
    dev->getDelay = 400ms; // longer than the destructor waits for the reader
    hid->Add(dev);
    usb->Connect();
    ASSERT_TRUE(WaitFor([&] { return dev->getCalls.load() > 0; }));
    usb.reset(); // gives up the reader while it sits in the transfer
    // When the transfer returns, the reader finishes on what it shares with the transport and
    // releases it last, the controller included.
    EXPECT_TRUE(WaitFor([&] { return controllerDestroyed.load(); }));
    EXPECT_TRUE(WaitFor([&] { return dev.use_count() == 1; }));
}

} // namespace
