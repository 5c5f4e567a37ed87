// The hid_* functions of hidapi over the process-wide simulated HID bus.

#include "sim/fakehid/FakeHid.h"

#include <hidapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <string>

struct hid_device_ {
    std::shared_ptr<SimHidEndpoint> endpoint;
    uint64_t generation = 0;
    hid_device_info* info = nullptr;            // made at open, freed at close
    std::atomic<const wchar_t*> error{nullptr}; // a static text, so any thread may read it
};

namespace {

struct FakeHidState {
    std::shared_ptr<SimHidBus> bus = std::make_shared<SimHidBus>();
    std::atomic<bool> initFails{false};
    std::atomic<int> openHandles{0};
};

// Never destroyed: hid_close from a static destructor of a test must still find it.
FakeHidState& State() {
    static FakeHidState* state = [] {
        auto* s = new FakeHidState;
        s->bus->Attach(std::make_shared<SimKestrel>(SimKestrelConfig{}));
        return s;
    }();
    return *state;
}

thread_local const wchar_t* t_globalError = nullptr;

const wchar_t* ErrorTextW(int code) {
    switch (code) {
        case 0:
            return L"Success";
        case ENODEV:
            return L"No such device";
        case ENOENT:
            return L"No such file or directory";
        case EIO:
            return L"Input/output error";
        case EPIPE:
            return L"Broken pipe";
        case EINVAL:
            return L"Invalid argument";
        case ENOSYS:
            return L"Function not implemented";
        default:
            return L"Unknown error";
    }
}

// Failures also leave the reason in errno, as the hidraw calls underneath the real library do.
void SetDeviceError(hid_device* dev, int code) {
    if (dev) dev->error.store(code ? ErrorTextW(code) : nullptr, std::memory_order_release);
    if (code) errno = code;
}

void SetGlobalError(int code) {
    t_globalError = code ? ErrorTextW(code) : nullptr;
    if (code) errno = code;
}

std::wstring Widen(const std::string& utf8) {
    std::wstring out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra == 3 ? (c & 0x07u) : extra == 2 ? (c & 0x0Fu) : extra == 1 ? (c & 0x1Fu) : c;
        if (c >= 0x80 && c < 0xC0) {
            cp = 0xFFFD; // stray continuation byte
            extra = 0;
        }
        ++i;
        for (; extra > 0; --extra, ++i) {
            if (i >= utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
        }
        out.push_back(static_cast<wchar_t>(cp));
    }
    return out;
}

wchar_t* NewWide(const std::string& utf8) {
    const std::wstring w = Widen(utf8);
    auto* p = new wchar_t[w.size() + 1];
    std::wmemcpy(p, w.c_str(), w.size() + 1);
    return p;
}

char* NewString(const std::string& s) {
    auto* p = new char[s.size() + 1];
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

hid_device_info* NewInfo(const SimHidInfo& info) {
    auto* d = new hid_device_info{};
    d->path = NewString(info.path);
    d->vendor_id = info.vendorId;
    d->product_id = info.productId;
    d->serial_number = NewWide(info.serialNumber);
    d->release_number = info.releaseNumber;
    d->manufacturer_string = NewWide(info.manufacturer);
    d->product_string = NewWide(info.product);
    d->usage_page = info.usagePage;
    d->usage = info.usage;
    d->interface_number = info.interfaceNumber;
    d->next = nullptr;
    d->bus_type = HID_API_BUS_USB;
    return d;
}

void FreeInfo(hid_device_info* d) {
    delete[] d->path;
    delete[] d->serial_number;
    delete[] d->manufacturer_string;
    delete[] d->product_string;
    delete d;
}

hid_device* OpenEntry(const SimHidBus::Entry& entry) {
    auto* dev = new hid_device;
    dev->endpoint = entry.endpoint;
    dev->generation = entry.generation;
    dev->info = NewInfo(entry.endpoint->Info());
    State().openHandles.fetch_add(1);
    SetGlobalError(0);
    return dev;
}

bool StillPresent(hid_device* dev) {
    uint64_t generation = 0;
    return dev->endpoint->PresentAt(&generation) && generation == dev->generation;
}

int CopyString(hid_device* dev, const std::string& utf8, wchar_t* string, size_t maxlen) {
    if (!dev) return -1;
    if (!string || maxlen == 0) {
        SetDeviceError(dev, EINVAL);
        return -1;
    }
    if (!StillPresent(dev)) {
        SetDeviceError(dev, ENODEV);
        return -1;
    }
    const std::wstring w = Widen(utf8);
    const size_t n = std::min(w.size(), maxlen - 1);
    std::wmemcpy(string, w.c_str(), n);
    string[n] = L'\0';
    SetDeviceError(dev, 0);
    return 0;
}

int ClampLength(size_t length) {
    return static_cast<int>(std::min<size_t>(length, INT_MAX));
}

} // namespace

// ---- control ----------------------------------------------------------------------------------------

namespace fakehid {

std::shared_ptr<SimHidBus> Bus() {
    return State().bus;
}

void Clear() {
    State().bus->DetachAll();
}

void Reset(const SimKestrelConfig& config) {
    FakeHidState& s = State();
    s.bus->DetachAll();
    s.bus->Attach(std::make_shared<SimKestrel>(config));
    s.initFails = false;
}

std::shared_ptr<SimKestrel> Kestrel() {
    for (auto& e : State().bus->Attached())
        if (auto k = std::dynamic_pointer_cast<SimKestrel>(e)) return k;
    return nullptr;
}

std::shared_ptr<SimKestrel> AddKestrel(SimKestrelConfig config) {
    const auto attached = State().bus->Attached();
    auto taken = [&](const std::string& path) {
        return std::any_of(attached.begin(), attached.end(),
                           [&](const auto& e) { return e->Info().path == path; });
    };
    if (taken(config.path)) {
        const std::string base = config.path;
        for (int n = 1; taken(config.path); ++n) config.path = base + "." + std::to_string(n);
    }
    auto k = std::make_shared<SimKestrel>(config);
    State().bus->Attach(k);
    return k;
}

std::shared_ptr<SimGenericHid> AddDevice(const SimHidInfo& info) {
    auto d = std::make_shared<SimGenericHid>(info);
    State().bus->Attach(d);
    return d;
}

void UnplugKestrel() {
    if (auto k = Kestrel()) k->Unplug();
}

void PlugKestrel() {
    if (auto k = Kestrel()) k->Plug();
}

void SetInitFails(bool fails) {
    State().initFails = fails;
}

int OpenHandles() {
    return State().openHandles.load();
}

} // namespace fakehid

// ---- hidapi -----------------------------------------------------------------------------------------

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    if (State().initFails) {
        SetGlobalError(EIO);
        return -1;
    }
    SetGlobalError(0);
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    SetGlobalError(0);
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& entry : State().bus->Present()) {
        const SimHidInfo& info = entry.endpoint->Info();
        if (vendor_id != 0 && info.vendorId != vendor_id) continue;
        if (product_id != 0 && info.productId != product_id) continue;
        *tail = NewInfo(info);
        tail = &(*tail)->next;
    }
    SetGlobalError(head ? 0 : ENOENT);
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
    while (devs) {
        hid_device_info* next = devs->next;
        FreeInfo(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                 const wchar_t* serial_number) {
    for (const auto& entry : State().bus->Present()) {
        const SimHidInfo& info = entry.endpoint->Info();
        if (info.vendorId != vendor_id || info.productId != product_id) continue;
        if (serial_number && Widen(info.serialNumber) != serial_number) continue;
        return OpenEntry(entry);
    }
    SetGlobalError(ENOENT);
    return nullptr;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
    if (path) {
        for (const auto& entry : State().bus->Present())
            if (entry.endpoint->Info().path == path) return OpenEntry(entry);
    }
    SetGlobalError(ENOENT);
    return nullptr;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
    if (!dev) return;
    FreeInfo(dev->info);
    delete dev;
    State().openHandles.fetch_sub(1);
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    if (!dev) return -1;
    int error = 0;
    if (!dev->endpoint->GetFeature(dev->generation, data, ClampLength(length), &error)) {
        SetDeviceError(dev, error);
        return -1;
    }
    SetDeviceError(dev, 0);
    const int reportLength = dev->endpoint->Info().featureReportLength;
    return std::min(ClampLength(length), reportLength > 0 ? reportLength : ClampLength(length));
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device* dev, const unsigned char* data,
                                                        size_t length) {
    if (!dev) return -1;
    int error = 0;
    if (!dev->endpoint->SetFeature(dev->generation, data, ClampLength(length), &error)) {
        SetDeviceError(dev, error);
        return -1;
    }
    SetDeviceError(dev, 0);
    return ClampLength(length);
}

// The simulated devices have neither input nor output reports.
int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char*, size_t) {
    if (!dev) return -1;
    SetDeviceError(dev, StillPresent(dev) ? EPIPE : ENODEV);
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char*, size_t, int) {
    if (!dev) return -1;
    if (!StillPresent(dev)) {
        SetDeviceError(dev, ENODEV);
        return -1;
    }
    SetDeviceError(dev, 0);
    return 0; // nothing arrived (the simulator never waits)
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
    return hid_read_timeout(dev, data, length, 0);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int) {
    return dev ? 0 : -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device* dev, unsigned char*, size_t) {
    if (!dev) return -1;
    SetDeviceError(dev, StillPresent(dev) ? EPIPE : ENODEV);
    return -1;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return dev ? CopyString(dev, dev->endpoint->Info().manufacturer, string, maxlen) : -1;
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return dev ? CopyString(dev, dev->endpoint->Info().product, string, maxlen) : -1;
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return dev ? CopyString(dev, dev->endpoint->Info().serialNumber, string, maxlen) : -1;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev) {
    if (!dev) return nullptr;
    if (!StillPresent(dev)) {
        SetDeviceError(dev, ENODEV);
        return nullptr;
    }
    return dev->info;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device* dev, int, wchar_t*, size_t) {
    if (!dev) return -1;
    SetDeviceError(dev, ENOSYS);
    return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
    const wchar_t* text = dev ? dev->error.load(std::memory_order_acquire) : t_globalError;
    return text ? text : L"Success";
}

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
    static const hid_api_version version{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
    return &version;
}

HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) {
    return HID_API_VERSION_STR;
}

} // extern "C"
