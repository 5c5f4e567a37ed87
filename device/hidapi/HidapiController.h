#pragma once
// IHidController over hidapi (hidraw on Linux). The library this backend calls is chosen at link
// time: libhidapi-hidraw for the program, the simulator's fake hid_* library for tests.
//
// Hot-plug: Poll() enumerates every HID device (vendor and product 0 = all, so arrivals and
// removals of any device are seen) and compares the paths with the previous poll; the program
// calls it once a second on the main thread. The first poll reports every present device as an
// arrival.
//
// Feature report length: hidapi has no portable access to a device's HID capabilities. Where the
// device has a hidraw node, its report descriptor is read from sysfs and the longest feature
// report it declares (plus the report id byte) is used; otherwise, or when that is shorter than a
// packet, 33 bytes (report id + one 32-byte packet).

#include "device/IHidController.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct hid_device_;

class HidapiController : public IHidController {
public:
    HidapiController();
    ~HidapiController() override;
    HidapiController(const HidapiController&) = delete;
    HidapiController& operator=(const HidapiController&) = delete;

    // False when hid_init failed; every enumeration is then empty.
    bool Initialised() const { return m_initialised; }

    void SetListener(Listener* listener) override { m_listener = listener; }
    void Enumerate(const std::function<bool(IHidDevice& device, int index)>& visit) override;
    std::shared_ptr<IHidDevice> CheckOut(int index) override;
    void CheckIn(const std::shared_ptr<IHidDevice>& device) override;
    void Poll() override;
    std::string ErrorText(int error) const override;

    // hid_error(null) of the last failed call, UTF-8; main thread.
    const std::string& LastError() const { return m_lastError; }

    // What hid_enumerate reports about one device.
    struct sDeviceInfo {
        std::string path;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        std::string manufacturer;
        std::string product;
        std::string serialNumber;
    };

private:
    class InfoDevice;
    std::vector<std::shared_ptr<InfoDevice>> EnumerateAll();

    bool m_initialised = false;
    Listener* m_listener = nullptr;
    std::vector<std::shared_ptr<InfoDevice>> m_enumerated; // the last Enumerate(), for CheckOut
    std::vector<std::shared_ptr<InfoDevice>> m_present;    // the last Poll(), sorted by path
    bool m_polled = false;
    std::string m_lastError;
};

// UTF-32 (wchar_t on Linux) to UTF-8; invalid code points become U+FFFD. Null gives "".
std::string WideToUtf8(const wchar_t* text);
