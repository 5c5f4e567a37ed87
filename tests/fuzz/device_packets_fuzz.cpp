// Device bytes through the reader's classification and the decoder's serial and status rules.
#include "core/Log.h"
#include "device/DeviceState.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cSerialTracker serials;
    cSavedStatus status;
    // The first byte decides whether a resynchronisation is pending and how many blocks the sink takes.
    if (size > 0) {
        if (data[0] & 1) serials.SetResync();
        ++data;
        --size;
    }
    const int budget = size > 0 ? data[0] : 0;
    int produced = 0;
    for (size_t off = 0; off + kPacketSize <= size; off += kPacketSize) {
        sBaseCmd p;
        std::memcpy(p.data, data + off, kPacketSize);
        if (ClassifyReceived(p) != ReceiveAction::Queue) continue;
        if (p.Type() == kPacketStatus) {
            const sLedChange c = status.Update(p);
            if (c.changed == (c.previous == c.current)) std::abort();
        } else if (p.Type() == kPacketSamples) {
            const int before = serials.LastSerial();
            const int blocks = serials.OnSamplePacket(p, [&](const sPacketSamples& s, bool filler) {
                if (produced >= budget) return false;
                ++produced;
                if (filler && s.adc[0] != s.adc[27]) std::abort();
                return true;
            });
            if (blocks < 0 || blocks > 64 || serials.LastSerial() < 0 || serials.LastSerial() > 63)
                std::abort();
            if (blocks == 0 && serials.LastSerial() != before && produced < budget) std::abort();
        }
    }
    ClearPendingLog();
    return 0;
}
