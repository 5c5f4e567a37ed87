#include "acquisition/DeviceTask.h"

#include "acquisition/AppEvents.h"
#include "acquisition/DeviceLink.h"
#include "acquisition/SampleBlob.h"
#include "core/Clock.h"
#include "core/MEventManager.h"

#include <cmath>

c_devicetask::c_devicetask(IDeviceLink* link, cRawAdcQueue* raw) : m_link(link), m_raw(raw) {}

void c_devicetask::Run() {
    if (!m_link || !m_link->IsConnected()) {
        m_serial.SetResync();
        return;
    }
    sBaseCmd packet;
    while (m_link->Receive(packet)) Decode(packet);
}

void c_devicetask::Decode(const sBaseCmd& packet) {
    switch (packet.Type()) {
        case kPacketStatus:
            if (MEventManager* em = GetEventManager(true)) GetSavedStatus().UpdateAndRaise(packet, *em);
            break;
        case kPacketSamples:
            m_serial.OnSamplePacket(packet,
                                    [this](const sPacketSamples& block, bool) { return EmitBlock(block); });
            break;
        default:
            break;
    }
}

bool c_devicetask::EmitBlock(const sPacketSamples& block) {
    MEventManager* em = GetEventManager(true);
    if (!em) return false;
    sSampleBlob* blob = AcquireBlob();
    if (!blob) return false;
    if (!blob->Resize(kSamplesPerPacket)) {
        GetBlobManager(true)->ReleaseBlob(blob);
        return false;
    }

    // Pull the data clock towards the computer clock, once per block.
    const double now = static_cast<double>(GetMicroseconds() * 1e-6L);
    const double d = now - m_offset - m_deviceTime;
    if (std::fabs(d) > kResetDrift)
        m_offset = now - m_deviceTime;
    else if (std::fabs(d) > kPullDrift)
        m_deviceTime += d > 0 ? kPullStep : -kPullStep;

    double* times = blob->Times();
    double* values = blob->Values();
    for (int k = 0; k < kSamplesPerPacket; ++k) {
        m_deviceTime += kSamplePeriod;
        times[k] = m_deviceTime;
        values[k] = block.scaled[k];
    }

    PutRaw(block.raw);

    // The first sample of a block does not count: it repeats the step from the previous block's
    // last sample. Values above the converter's range (a running value that went negative and
    // wrapped) are no signal.
    sSignalStats s = m_stats;
    for (int k = 1; k < kSamplesPerPacket; ++k) {
        if (block.raw[k] > 4095) continue;
        const float r = block.raw[k];
        s.mean = 0.99f * s.mean + 0.01f * r;
        s.upper -= 0.3f;
        s.lower += 0.3f;
        if (r > s.upper) s.upper = r;
        if (r < s.lower) s.lower = r;
    }
    m_stats = s;

    em->Raise(kEventRawBlob, blob, 0);
    return true;
}

void c_devicetask::PutRaw(const uint16_t* raw) {
    if (!m_raw) return;
    if (m_raw->Put(raw, kSamplesPerPacket) >= 0) return;
    // Not room for the whole block: store what fits, value by value, and drop the rest.
    for (int k = 0; k < kSamplesPerPacket; ++k)
        if (m_raw->Put(raw + k, 1) < 0) return;
}
