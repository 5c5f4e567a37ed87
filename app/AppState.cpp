#include "app/AppState.h"

#include "acquisition/Acquisition.h"
#include "device/IHidController.h"
#include "device/MJvUSB.h"

#include <new>

namespace {

std::unique_ptr<cAppState>& Instance() {
    static std::unique_ptr<cAppState> state; // main thread
    return state;
}

} // namespace

cAppState::cAppState() = default;

cAppState::~cAppState() {
    DestroyDevice();
}

bool cAppState::CreateDevice(std::unique_ptr<IHidController> controller) {
    DestroyDevice();
    if (!controller) return false;
    m_device.reset(new (std::nothrow) MJvUSB(std::move(controller)));
    return m_device != nullptr;
}

void cAppState::DestroyDevice() {
    if (!m_device) return;
    // The live chain must not outlive the transport it reads from.
    if (cAcquisition* a = GetAcquisition())
        if (auto* link = dynamic_cast<cUsbDeviceLink*>(a->Link()); link && &link->Usb() == m_device.get())
            StopAcquisition();
    m_device.reset();
}

cAppState* GetAppState(bool create) {
    std::unique_ptr<cAppState>& state = Instance();
    if (!state && create) state.reset(new (std::nothrow) cAppState);
    return state.get();
}

void ShutdownAppState() {
    Instance().reset();
}
