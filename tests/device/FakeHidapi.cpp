#include "tests/device/FakeHidapi.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

struct hid_device_ {
    std::string path;
    std::wstring error;
};

namespace testhid {
namespace {

struct State {
    std::mutex mutex;
    std::vector<Device> devices;
    bool failInit = false;
    std::string failOpen;
    int getError = -1; // -1: succeed
    std::wstring getErrorText;
    std::deque<std::vector<uint8_t>> reports;
    std::vector<std::vector<uint8_t>> sent;
    int initCalls = 0;
    int exitCalls = 0;
    int open = 0;
    std::wstring globalError = L"Success";
};

State& S() {
    static State s;
    return s;
}

wchar_t* Dup(const std::wstring& s) {
    auto* p = static_cast<wchar_t*>(std::calloc(s.size() + 1, sizeof(wchar_t)));
    std::copy(s.begin(), s.end(), p);
    return p;
}

} // namespace

void Reset() {
    std::lock_guard lock(S().mutex);
    S().devices.clear();
    S().failInit = false;
    S().failOpen.clear();
    S().getError = -1;
    S().reports.clear();
    S().sent.clear();
    S().initCalls = S().exitCalls = 0;
}
void SetDevices(std::vector<Device> devices) {
    std::lock_guard lock(S().mutex);
    S().devices = std::move(devices);
}
void FailInit(bool fail) {
    std::lock_guard lock(S().mutex);
    S().failInit = fail;
}
void FailNextOpen(const std::string& path) {
    std::lock_guard lock(S().mutex);
    S().failOpen = path;
}
void FailGetFeature(int error, const std::wstring& text) {
    std::lock_guard lock(S().mutex);
    S().getError = error;
    S().getErrorText = text;
}
void QueueFeatureReport(std::vector<uint8_t> report) {
    std::lock_guard lock(S().mutex);
    S().reports.push_back(std::move(report));
}
std::vector<std::vector<uint8_t>> SentFeatureReports() {
    std::lock_guard lock(S().mutex);
    return S().sent;
}
int InitCalls() {
    std::lock_guard lock(S().mutex);
    return S().initCalls;
}
int ExitCalls() {
    std::lock_guard lock(S().mutex);
    return S().exitCalls;
}
int OpenHandles() {
    std::lock_guard lock(S().mutex);
    return S().open;
}

} // namespace testhid

using testhid::S;

extern "C" {

int hid_init(void) {
    std::lock_guard lock(S().mutex);
    ++S().initCalls;
    if (S().failInit) {
        S().globalError = L"init failed";
        return -1;
    }
    return 0;
}

int hid_exit(void) {
    std::lock_guard lock(S().mutex);
    ++S().exitCalls;
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    std::lock_guard lock(S().mutex);
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& d : S().devices) {
        if ((vendor_id && vendor_id != d.vendorId) || (product_id && product_id != d.productId)) continue;
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        info->path = strdup(d.path.c_str());
        info->vendor_id = d.vendorId;
        info->product_id = d.productId;
        if (!d.nullStrings) {
            info->manufacturer_string = testhid::Dup(d.manufacturer);
            info->product_string = testhid::Dup(d.product);
            info->serial_number = testhid::Dup(d.serial);
        }
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs) {
    while (devs) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs->serial_number);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    std::lock_guard lock(S().mutex);
    if (S().failOpen == path) {
        S().failOpen.clear();
        S().globalError = L"open failed";
        return nullptr;
    }
    ++S().open;
    return new hid_device_{path, L"Success"};
}

void hid_close(hid_device* dev) {
    std::lock_guard lock(S().mutex);
    --S().open;
    delete dev;
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    std::lock_guard lock(S().mutex);
    if (S().getError >= 0) {
        dev->error = S().getErrorText;
        if (S().getError > 0) errno = S().getError;
        return -1;
    }
    if (S().reports.empty()) return static_cast<int>(length);
    const auto report = S().reports.front();
    S().reports.pop_front();
    std::memcpy(data, report.data(), std::min(length, report.size()));
    return static_cast<int>(std::min(length, report.size()));
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
    std::lock_guard lock(S().mutex);
    S().sent.emplace_back(data, data + length);
    return static_cast<int>(length);
}

const wchar_t* hid_error(hid_device* dev) {
    std::lock_guard lock(S().mutex);
    return dev ? dev->error.c_str() : S().globalError.c_str();
}

} // extern "C"
