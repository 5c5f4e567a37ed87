#pragma once
// The HID device controller the transport talks to. Two implementations: the hidapi backend
// (the real device) and the simulated photoplethysmograph (sim/).
//
// Threads: enumeration, check-out/check-in and notifications happen on the main thread.
// GetFeature/SetFeature are called by the transport's reader thread on a device it holds a
// shared reference to, so a device released by the main thread stays alive until the reader
// has left its transfer.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class IHidDevice {
public:
    virtual ~IHidDevice() = default;

    virtual uint16_t VendorId() const = 0;
    virtual uint16_t ProductId() const = 0;
    // UTF-8 strings as the device reports them (not trimmed).
    virtual std::string Manufacturer() const = 0;
    virtual std::string Product() const = 0;
    virtual std::string SerialNumber() const = 0;
    // Stable identity of the physical device (hidraw path for hidapi), used to match removals.
    virtual std::string Path() const = 0;

    // Feature report length including the report id byte; 0 when unknown.
    virtual int FeatureReportLength() const = 0;
    // buf[0] is the report id. True on success; on failure *error holds an errno-style code.
    virtual bool GetFeature(uint8_t* buf, int len, int* error) = 0;
    virtual bool SetFeature(const uint8_t* buf, int len, int* error) = 0;
    // Text describing this device's last failed GetFeature/SetFeature, asked for by the thread that
    // made the transfer right after it; empty when the controller's ErrorText(error) says it all.
    virtual std::string LastErrorText() const { return {}; }
};

class IHidController {
public:
    // Notifications, delivered on the main thread from Poll().
    struct Listener {
        virtual ~Listener() = default;
        virtual void OnDeviceArrival(IHidDevice& device) = 0;
        virtual void OnDeviceUnplug(IHidDevice& device) = 0;
        virtual void OnDeviceCreateError() {}
    };

    virtual ~IHidController() = default;

    virtual void SetListener(Listener* listener) = 0;

    // Calls visit(device, index) for every present HID device; visit returns false to stop.
    virtual void Enumerate(const std::function<bool(IHidDevice& device, int index)>& visit) = 0;
    // Takes the device of the last enumeration with this index; null when it is gone.
    virtual std::shared_ptr<IHidDevice> CheckOut(int index) = 0;
    // Returns a taken device; the object lives on while the reader still holds a reference.
    virtual void CheckIn(const std::shared_ptr<IHidDevice>& device) = 0;

    // Main-thread housekeeping: detects arrivals and removals (the first call reports every
    // present device as an arrival) and delivers them to the listener.
    virtual void Poll() = 0;

    // Text for an error code from GetFeature/SetFeature.
    virtual std::string ErrorText(int error) const = 0;
};
