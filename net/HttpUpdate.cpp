#include "net/HttpUpdate.h"

#include "core/Log.h"
#include "net/HttpUrl.h"
#include "net/UpdateList.h"

#include <new>
#include <string>

namespace {

// Text from outside, made safe for one log line.
std::string ForLog(const MString& text) {
    constexpr int kMax = 200;
    std::u16string s = text.Substr(0, kMax).Str();
    for (char16_t& c : s)
        if (c < 0x20 || c == 0x7F) c = u'?';
    std::string out = MString(s).ToUtf8();
    if (text.Length() > kMax) out += "...";
    return out;
}

void Log(const std::string& line) {
    LogMessage("Update check: " + line);
}

} // namespace

HttpUpdate::HttpUpdate(int32_t ownVersion) : m_ownVersion(ownVersion) {
    SetTimeout(kUpdateTimeout);
    SetMaxBodySize(kMaxUpdateListBytes);
}

HttpUpdate::~HttpUpdate() {
    Shutdown();
}

void HttpUpdate::SetListAddress(const MString& address) {
    m_listAddress = address;
    m_listAddress.Trim();
    if (m_listAddress.EndsWith(u"/")) m_listAddress += MString(kUpdateListFileName);
}

bool HttpUpdate::Check(NetDeadline deadline) {
    m_updateAvailable = false;
    m_downloadAddress.Clear();
    m_serverVersionText.Clear();
    m_serverVersion = 0;
    if (m_listAddress.IsEmpty()) return false;
    const std::string where = ForLog(m_listAddress);

    sHttpUrl url;
    switch (ParseHttpUrl(m_listAddress, url)) {
        case UrlStatus::Ok:
            break;
        case UrlStatus::Https:
            Log("refused " + where + ": https list addresses are not supported yet (no TLS); use http://");
            return false;
        case UrlStatus::Unsupported:
        case UrlStatus::Invalid:
            Log("refused " + where + ": not a usable http:// address");
            return false;
    }

    try {
        const sResponse r = Get(m_listAddress, deadline);
        if (r.result != Result::Ok) {
            Log(where + ": " + r.error);
            return false;
        }
        if (r.status != 200) {
            Log(where + ": the server answered " + std::to_string(r.status));
            return false;
        }
        const std::optional<sUpdateEntry> entry = FindUpdateEntry(MString::FromUtf8(r.body), m_productId);
        if (!entry) {
            Log(where + ": no entry for " + ForLog(m_productId));
            return false;
        }
        m_serverVersionText = entry->versionText;
        m_serverVersion = entry->version;
        if (m_ownVersion < m_serverVersion) {
            if (IsOfferableAddress(entry->downloadAddress)) {
                m_downloadAddress = entry->downloadAddress;
                m_updateAvailable = true;
                Log("version " + std::to_string(m_serverVersion) + " is available at " +
                    ForLog(m_downloadAddress));
            } else {
                Log("version " + std::to_string(m_serverVersion) +
                    " is listed with an address that is not opened: " + ForLog(entry->downloadAddress));
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        Log(where + ": out of memory");
        return false;
    }
}

sUpdateAnswer HttpUpdate::Ask(const MString& listAddress, int32_t ownVersion,
                              std::chrono::milliseconds timeout) {
    sUpdateAnswer answer;
    HttpUpdate check(ownVersion);
    check.SetTimeout(timeout);
    check.SetListAddress(listAddress);
    answer.listRead = check.Check(DeadlineAfter(timeout));
    answer.serverVersion = check.ServerVersion();
    answer.newer = check.UpdateAvailable();
    if (answer.newer) answer.downloadAddress = check.DownloadAddress();
    return answer;
}
