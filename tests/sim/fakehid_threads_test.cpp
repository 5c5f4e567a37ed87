// The fake hid_* library under the load the transport puts on it: a reader thread transferring
// while the main thread enumerates, unplugs, re-plugs and switches faults.

#include "core/Clock.h"
#include "sim/fakehid/FakeHid.h"

#include <hidapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

TEST(FakeHidThreads, ReaderTransfersWhileMainThreadPlugsAndEnumerates) {
    FakeClock clock(0);
    SimKestrelConfig config;
    config.pacing = SimPacing::Clock;
    config.clock = &clock;
    fakehid::Reset(config);
    fakehid::AddDevice(SimGenericHid::MouseInfo("sim:mouse/0"));
    auto kestrel = fakehid::Kestrel();

    std::atomic<bool> stop{false};
    std::atomic<int> good{0}, bad{0}, sent{0};

    // The reader owns the handle it opens; the main thread only plugs, unplugs and enumerates.
    std::thread reader([&] {
        hid_device* dev = nullptr;
        sBaseCmd command = InitialCommandPacket();
        CommandConfigure(command, kLedInternalRed);
        StampChecksum(command);
        while (!stop.load()) {
            if (!dev) dev = hid_open_path(config.path.c_str());
            if (!dev) continue;
            unsigned char buf[33] = {};
            if (hid_get_feature_report(dev, buf, sizeof buf) == 33) {
                sBaseCmd p;
                std::memcpy(p.data, buf + 1, kPacketSize);
                if (p.Type() != kPacketNone && PacketChecksumValid(p)) good.fetch_add(1);
            } else {
                bad.fetch_add(1);
                hid_close(dev); // gone: open it again once it is back
                dev = nullptr;
                continue;
            }
            std::memcpy(buf + 1, command.data, kPacketSize);
            buf[0] = 0;
            if (hid_send_feature_report(dev, buf, sizeof buf) == 33) sent.fetch_add(1);
        }
        if (dev) hid_close(dev);
    });

    for (int round = 0; round < 200; ++round) {
        clock.Advance(56'000);
        hid_device_info* list = hid_enumerate(0, 0);
        hid_free_enumeration(list);
        if (round % 20 == 5) fakehid::UnplugKestrel();
        if (round % 20 == 10) fakehid::PlugKestrel();
        if (round % 50 == 25) kestrel->SetFaults({0.1, 0.1, 0.1, 0.1, 0.1});
        if (round % 50 == 45) kestrel->SetFaults({});
        (void)kestrel->Counters();
        std::this_thread::yield();
    }
    // Let the reader see the device once more after the last re-plug.
    fakehid::PlugKestrel();
    kestrel->SetFaults({});
    for (int i = 0; i < 1000 && good.load() == 0; ++i) {
        clock.Advance(56'000);
        std::this_thread::yield();
    }
    stop.store(true);
    reader.join();

    EXPECT_GT(good.load(), 0);
    EXPECT_EQ(fakehid::OpenHandles(), 0);
    fakehid::Reset();
}
