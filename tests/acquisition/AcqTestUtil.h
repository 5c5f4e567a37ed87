#pragma once
// Test scaffolding for the live acquisition module: packet sources behind the module's device
// link, a fixture that gives every test a fresh module, fresh process-wide state and a fake
// clock, and a probe that copies what the events carry.

#include "acquisition/Acquisition.h"
#include "acquisition/AppEvents.h"
#include "acquisition/RecordingState.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/MEventManager.h"
#include "core/MTaskManager.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "dsp/HBR_Calculator.h"
#include "sim/SimKestrel.h"
#include "storage/PGFiles.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace acqtest {

// Packets handed over by the test; commands collected.
class QueueLink final : public IDeviceLink {
public:
    bool connected = true;
    std::deque<sBaseCmd> incoming;
    std::vector<sBaseCmd> sent;

    bool IsConnected() const override { return connected; }
    bool Receive(sBaseCmd& packet) override {
        if (incoming.empty()) return false;
        packet = incoming.front();
        incoming.pop_front();
        return true;
    }
    void Send(const sBaseCmd& packet) override { sent.push_back(packet); }
};

// The simulated device without a reader thread: the device task reads the device's queue
// directly (dropping what the reader would drop) and commands reach the device at once.
class SimLink final : public IDeviceLink {
public:
    explicit SimLink(SimKestrel& device) : m_device(device) {}

    bool connected = true;
    int commands = 0;

    bool IsConnected() const override { return connected && m_device.Present(); }
    bool Receive(sBaseCmd& packet) override {
        while (m_device.ReadPacket(&packet))
            if (ClassifyReceived(packet) == ReceiveAction::Queue) return true;
        return false;
    }
    void Send(const sBaseCmd& packet) override {
        ++commands;
        m_device.WriteCommand(packet);
    }

private:
    SimKestrel& m_device;
};

// Resets everything process-wide the module touches.
inline void ResetProcessState() {
    StopAcquisition();
    ShutdownEventManager();
    ShutdownBlobManager();
    ShutdownSettings();
    GetSavedStatus().Reset();
    GetCommandBuffer().Reset();
    GetRecordingState() = sRecordingState{};
    if (PGFiles* f = GetPGFiles(false)) f->Close();
    ClearPendingLog();
}

// A fresh module on a fake clock for every test. The clock starts well away from 0 so that tick
// differences behave as on a running machine.
class AcqFixture : public ::testing::Test {
protected:
    static constexpr long double kStartUs = 1'000'000'000.0L; // 1000 s

    AcqFixture() : m_clock(kStartUs), m_scoped(m_clock) { ResetProcessState(); }
    ~AcqFixture() override { ResetProcessState(); }

    void Start(IDeviceLink* link) { ASSERT_TRUE(StartAcquisition(link)); }
    cAcquisition& A() { return *GetAcquisition(); }

    // Moves the clock in steps of stepMs and runs one main-loop tick after each step.
    void Run(double ms, double stepMs = 1) {
        for (double t = 0; t < ms; t += stepMs) {
            m_clock.AdvanceMs(stepMs);
            MainTasksTick(m_tm, [] {});
        }
    }
    // Delivers every queued event now.
    void Deliver() {
        if (MEventManager* em = GetEventManager(false)) em->Run();
    }
    double Seconds() const { return static_cast<double>(m_clock.Microseconds() * 1e-6L); }

    FakeClock m_clock;
    ScopedClock m_scoped;
    MTaskManager m_tm;
};

// Copies what the events carry. Subscribes before the release listener.
class Probe final : public MEventCallback {
public:
    struct Blob {
        int id;
        std::vector<double> times, values;
    };
    std::vector<Blob> blobs;
    std::vector<sHrMeasure> beats;
    std::vector<std::pair<int, int>> ledChanges; // previous, new
    int statusEvents = 0;

    explicit Probe(std::vector<int> ids, int priority = 50) {
        for (int id : ids) GetEventManager(true)->Subscribe(this, id, priority);
    }
    int OnEvent(int id, int count, void* data, int value) override {
        switch (id) {
            case kEventLedChanged:
                ledChanges.emplace_back(static_cast<int>(reinterpret_cast<uintptr_t>(data)), value);
                break;
            case kEventStatus:
                statusEvents += count;
                break;
            case kEventRawBlob:
            case kEventFilteredBlob:
            case kEventRecordedBlob: {
                auto* b = static_cast<sSampleBlob*>(data);
                if (b)
                    blobs.push_back({id,
                                     {b->times.begin(), b->times.begin() + b->count},
                                     {b->values.begin(), b->values.begin() + b->count}});
                break;
            }
            case kEventHeartBeat:
                if (data) beats.push_back(*static_cast<const sHrMeasure*>(data));
                break;
        }
        return 0;
    }
    std::vector<const Blob*> Of(int id) const {
        std::vector<const Blob*> out;
        for (const auto& b : blobs)
            if (b.id == id) out.push_back(&b);
        return out;
    }
};

// A sample packet whose 28 samples all equal value (as far as the differences reach).
inline sBaseCmd FlatPacket(uint8_t serial, uint16_t value) {
    int8_t diffs[27] = {};
    return MakeSamplePacket(serial, 0, value, diffs);
}

inline sBaseCmd StatusPacket(uint8_t led, uint8_t drive, uint8_t lf, uint16_t carrier, bool recovery = false,
                             bool clip = true) {
    sStatusFields f;
    f.activeLed = led;
    f.driveCode = drive;
    f.lfCode = lf;
    f.carrierLevel = carrier;
    f.recoveryActive = recovery;
    f.clipPresent = clip;
    return MakeStatusPacket(f);
}

using TempDir = testutil::TempDir;

} // namespace acqtest

#include "core/MFileStream.h"
#include "storage/MMuxer.h"

#include <fcntl.h>
#include <map>

namespace acqtest {

// The chunks of a record file, by stream id, with their payloads.
inline std::map<int, std::vector<std::vector<uint8_t>>> ReadChunks(const std::string& path) {
    std::map<int, std::vector<std::vector<uint8_t>>> chunks;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return chunks;
    {
        MFileStream stream;
        if (stream.Attach(fd, true)) {
            MMuxer mux;
            mux.SetStream(&stream);
            while (mux.Next()) {
                std::vector<uint8_t> payload(static_cast<size_t>(std::max(mux.PayloadLength(), 0)));
                if (!payload.empty())
                    mux.ReadPayload(payload.data(), 0, static_cast<int32_t>(payload.size()));
                chunks[mux.StreamId()].push_back(std::move(payload));
            }
            mux.SetStream(nullptr);
            stream.Detach();
        }
    }
    ::close(fd);
    return chunks;
}

} // namespace acqtest
