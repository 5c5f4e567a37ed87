#include "acquisition/DeviceLink.h"

#include "device/MJvUSB.h"

bool cUsbDeviceLink::IsConnected() const {
    return m_usb.IsConnected();
}

bool cUsbDeviceLink::Receive(sBaseCmd& packet) {
    return m_usb.ReceiveQueue().TryPop(packet);
}

void cUsbDeviceLink::Send(const sBaseCmd& packet) {
    m_usb.Send(packet);
}
