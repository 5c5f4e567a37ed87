#include "device/hidapi/HidapiController.h"

#include "core/MString.h"
#include "device/Protocol.h"
#include "device/hidapi/HidReportDescriptor.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>

namespace {

// Report descriptors are at most 4096 bytes (the kernel's limit).
constexpr size_t kMaxDescriptorSize = 4096;

// "/dev/hidrawN" -> the descriptor the kernel exposes for that node.
int FeatureReportLengthForPath(const std::string& path) {
    const std::string prefix = "/dev/hidraw";
    if (path.compare(0, prefix.size(), prefix) != 0) return 0;
    const std::string node = path.substr(5); // "hidrawN"
    if (node.find('/') != std::string::npos || node.find("..") != std::string::npos) return 0;
    std::ifstream in("/sys/class/hidraw/" + node + "/device/report_descriptor", std::ios::binary);
    if (!in) return 0;
    std::vector<uint8_t> bytes(kMaxDescriptorSize);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return FeatureReportLengthFromDescriptor(bytes.data(), bytes.size());
}

std::string HidErrorText(hid_device* dev) {
    const wchar_t* text = hid_error(dev);
    return WideToUtf8(text);
}

} // namespace

std::string WideToUtf8(const wchar_t* text) {
    std::string out;
    if (!text) return out;
    for (; *text; ++text) AppendUtf8(out, static_cast<uint32_t>(*text));
    return out;
}

// A device as enumerated, and, once checked out, opened.
// The handle is used by the transport's reader thread only while it holds a reference, and closed
// when the last reference goes.
class HidapiController::InfoDevice : public IHidDevice {
public:
    explicit InfoDevice(sDeviceInfo info) : m_info(std::move(info)) {}
    InfoDevice(const InfoDevice& enumerated, hid_device* handle, int featureLength)
        : m_info(enumerated.m_info), m_handle(handle), m_featureLength(featureLength) {}
    ~InfoDevice() override {
        if (m_handle) hid_close(m_handle);
    }
    InfoDevice(const InfoDevice&) = delete;
    InfoDevice& operator=(const InfoDevice&) = delete;

    const sDeviceInfo& Info() const { return m_info; }

    uint16_t VendorId() const override { return m_info.vendorId; }
    uint16_t ProductId() const override { return m_info.productId; }
    std::string Manufacturer() const override { return m_info.manufacturer; }
    std::string Product() const override { return m_info.product; }
    std::string SerialNumber() const override { return m_info.serialNumber; }
    std::string Path() const override { return m_info.path; }
    int FeatureReportLength() const override { return m_handle ? m_featureLength : 0; }

    bool GetFeature(uint8_t* buf, int len, int* error) override {
        if (!m_handle || len <= 0) return Fail(ENODEV, error);
        errno = 0;
        const int r = hid_get_feature_report(m_handle, buf, static_cast<size_t>(len));
        if (r < 0) return Fail(errno, error);
        return true;
    }

    bool SetFeature(const uint8_t* buf, int len, int* error) override {
        if (!m_handle || len <= 0) return Fail(ENODEV, error);
        errno = 0;
        const int r = hid_send_feature_report(m_handle, buf, static_cast<size_t>(len));
        if (r < 0) return Fail(errno, error);
        return true;
    }

    std::string LastErrorText() const override { return m_lastErrorText; }

private:
    bool Fail(int code, int* error) {
        // hidapi reports -1; the system's error number says why (the hidraw ioctl sets it) and
        // hid_error the text. A library that leaves errno alone still yields a non-zero code.
        if (code == 0) code = EIO;
        if (error) *error = code;
        m_lastErrorText = m_handle ? HidErrorText(m_handle) : std::string();
        return false;
    }

    const sDeviceInfo m_info;
    hid_device* const m_handle = nullptr;
    const int m_featureLength = 0;
    std::string m_lastErrorText; // thread that makes the transfers
};

HidapiController::HidapiController() {
    m_initialised = hid_init() == 0;
    if (!m_initialised) m_lastError = HidErrorText(nullptr);
}

HidapiController::~HidapiController() {
    m_enumerated.clear();
    m_present.clear();
    if (m_initialised) hid_exit();
}

std::vector<std::shared_ptr<HidapiController::InfoDevice>> HidapiController::EnumerateAll() {
    std::vector<std::shared_ptr<InfoDevice>> list;
    if (!m_initialised) return list;
    hid_device_info* all = hid_enumerate(0, 0);
    std::set<std::string> seen; // hidraw may list one node once per top-level usage
    for (hid_device_info* d = all; d; d = d->next) {
        if (!d->path || !seen.insert(d->path).second) continue;
        sDeviceInfo info;
        info.path = d->path;
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        info.manufacturer = WideToUtf8(d->manufacturer_string);
        info.product = WideToUtf8(d->product_string);
        info.serialNumber = WideToUtf8(d->serial_number);
        list.push_back(std::make_shared<InfoDevice>(std::move(info)));
    }
    hid_free_enumeration(all);
    return list;
}

void HidapiController::Enumerate(const std::function<bool(IHidDevice& device, int index)>& visit) {
    m_enumerated = EnumerateAll();
    // A local copy: the visitor may enumerate again (a connect from inside a notification).
    const auto list = m_enumerated;
    for (size_t i = 0; i < list.size(); ++i)
        if (!visit(*list[i], static_cast<int>(i))) break;
}

std::shared_ptr<IHidDevice> HidapiController::CheckOut(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_enumerated.size()) return nullptr;
    const InfoDevice& enumerated = *m_enumerated[static_cast<size_t>(index)];
    hid_device* handle = hid_open_path(enumerated.Info().path.c_str());
    if (!handle) {
        m_lastError = HidErrorText(nullptr);
        if (m_listener) m_listener->OnDeviceCreateError();
        return nullptr;
    }
    const int declared = FeatureReportLengthForPath(enumerated.Info().path);
    const int length = std::max(declared, kMinFeatureReportLength);
    return std::make_shared<InfoDevice>(enumerated, handle, length);
}

void HidapiController::CheckIn(const std::shared_ptr<IHidDevice>& device) {
    // Nothing is kept per taken device: the handle closes with the last reference, which may be
    // the reader's during a transfer.
    (void)device;
}

void HidapiController::Poll() {
    auto now = EnumerateAll();
    const auto identity = [](const std::shared_ptr<InfoDevice>& d) {
        const sDeviceInfo& i = d->Info();
        return std::tie(i.path, i.vendorId, i.productId, i.serialNumber, i.manufacturer, i.product);
    };
    const auto less = [&](const std::shared_ptr<InfoDevice>& a, const std::shared_ptr<InfoDevice>& b) {
        return identity(a) < identity(b);
    };
    std::sort(now.begin(), now.end(), less);

    // A node reused by another device within one poll shows as a removal and an arrival.
    std::vector<std::shared_ptr<InfoDevice>> removed, arrived;
    std::set_difference(m_present.begin(), m_present.end(), now.begin(), now.end(),
                        std::back_inserter(removed), less);
    if (m_polled) {
        std::set_difference(now.begin(), now.end(), m_present.begin(), m_present.end(),
                            std::back_inserter(arrived), less);
    } else {
        arrived = now;
        m_polled = true;
    }
    m_present = std::move(now);

    if (!m_listener) return;
    for (const auto& d : removed) m_listener->OnDeviceUnplug(*d);
    for (const auto& d : arrived) m_listener->OnDeviceArrival(*d);
}

std::string HidapiController::ErrorText(int error) const {
    return std::generic_category().message(error);
}
