#include "device/DeviceState.h"

#include "core/Log.h"
#include "core/MEventManager.h"
#include "device/MJvUSB.h"

#include <cstdint>
#include <string>

bool cSerialTracker::Step(int serial) {
    if (m_resync) {
        m_last = serial;
        m_resync = false;
        return false;
    }
    m_last = (m_last + 1) % kSerialModulo;
    if (m_last == serial) return false;
    LogMessage("add fake packet, serial " + std::to_string(m_last));
    return true;
}

void cSerialTracker::LogDuplicate() const {
    LogMessage("Duplicated reports, serial = " + std::to_string(m_last));
}

sLedChange cSavedStatus::Update(const sBaseCmd& packet) {
    sLedChange change;
    change.previous = StatusActiveLed(m_saved);
    change.current = StatusActiveLed(packet);
    change.changed = change.previous != change.current;
    m_saved = packet;
    return change;
}

sLedChange cSavedStatus::UpdateAndRaise(const sBaseCmd& packet, MEventManager& events) {
    const sLedChange change = Update(packet);
    if (change.changed)
        events.Raise(kEventLedChanged, reinterpret_cast<void*>(static_cast<uintptr_t>(change.previous)),
                     change.current);
    events.Raise(kEventStatus, &m_saved, 0);
    return change;
}

bool cCommandBuffer::Send(MJvUSB* usb) {
    StampChecksum(m_cmd);
    if (!usb) return false;
    usb->Send(m_cmd);
    return true;
}

cSavedStatus& GetSavedStatus() {
    static cSavedStatus status;
    return status;
}

cCommandBuffer& GetCommandBuffer() {
    static cCommandBuffer buffer;
    return buffer;
}
