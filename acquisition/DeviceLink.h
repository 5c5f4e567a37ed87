#pragma once
// The live chain's view of the device link: packets the reader has received, commands to send,
// and whether a device is connected. The program uses the HID transport (cUsbDeviceLink); tests
// and benchmarks may put any packet source behind it.
//
// Thread: main thread (the device task, the regulator, the commands).

#include "device/Protocol.h"

class MJvUSB;

class IDeviceLink {
public:
    virtual ~IDeviceLink() = default;
    virtual bool IsConnected() const = 0;
    // Takes the oldest received packet; false when none is waiting.
    virtual bool Receive(sBaseCmd& packet) = 0;
    // Queues a command (its checksum is already stamped).
    virtual void Send(const sBaseCmd& packet) = 0;
};

// Over the HID transport's queues.
class cUsbDeviceLink final : public IDeviceLink {
public:
    explicit cUsbDeviceLink(MJvUSB& usb) : m_usb(usb) {}
    bool IsConnected() const override;
    bool Receive(sBaseCmd& packet) override;
    void Send(const sBaseCmd& packet) override;
    MJvUSB& Usb() { return m_usb; }

private:
    MJvUSB& m_usb;
};
