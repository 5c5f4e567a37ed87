#pragma once
// The update check at shutdown: downloads the update list, finds this product's entry and tells
// whether it names a newer version than ours, with an address that may be opened. Asking the user
// and opening the address are the window's part.
//
// The list address is the setting "UpdateListAddress" (empty: no check at all). An address ending
// in "/" gets the list's file name appended. Only http:// list addresses are fetched; https:// ones
// are refused with a log line, since this client speaks no TLS.
//
// Threads: the caller's; the wait blocks it until the answer or the deadline.

#include "core/MString.h"
#include "net/MHTTP.h"

#include <chrono>
#include <cstdint>

inline constexpr char16_t kUpdateProductId[] = u"TavimeterNew";
inline constexpr char16_t kUpdateListFileName[] = u"appupdates.txt";
inline constexpr char16_t kUpdateCaption[] = u"Доступна новая версия";
inline constexpr char16_t kUpdateQuestion[] = u"Вышла новая версия программы.\nХотите обновить её сейчас?";
// The whole check, name resolution included.
inline constexpr std::chrono::milliseconds kUpdateTimeout{3000};
// A longer list is refused rather than cut.
inline constexpr uint64_t kMaxUpdateListBytes = 1024 * 1024;

// The answer for the shutdown.
struct sUpdateAnswer {
    bool listRead = false; // the list was fetched and read (whether or not it offers anything)
    bool newer = false;    // a newer version with an address that may be opened
    int64_t serverVersion = 0;
    MString downloadAddress; // http(s) address, checked; empty unless newer
};

class HttpUpdate : public MHTTP {
public:
    // Our own version number; the time-out becomes kUpdateTimeout, the body limit kMaxUpdateListBytes.
    explicit HttpUpdate(int32_t ownVersion);
    ~HttpUpdate() override;

    void SetListAddress(const MString& address);
    const MString& ListAddress() const { return m_listAddress; }
    void SetProductId(const MString& id) { m_productId = id; }
    const MString& ProductId() const { return m_productId; }

    // Fetches the list and looks for the product's entry. False when there is no list address, the
    // list cannot be fetched in time (or within the deadline), is refused, or holds no entry of the
    // product; true otherwise, whether or not a newer version was found. Every failure but a
    // missing address is logged.
    bool Check(NetDeadline deadline = kNoDeadline);

    // After a Check that returned true: a newer version with an offerable address.
    bool UpdateAvailable() const { return m_updateAvailable; }
    // The checked address of that version; empty otherwise.
    const MString& DownloadAddress() const { return m_downloadAddress; }
    const MString& ServerVersionText() const { return m_serverVersionText; }
    int64_t ServerVersion() const { return m_serverVersion; }
    int32_t OwnVersion() const { return m_ownVersion; }

    const MString& Caption() const { return m_caption; }
    const MString& Question() const { return m_question; }

    // The shutdown's one call: checks listAddress (empty: nothing is asked) for kUpdateProductId
    // against ownVersion and returns what it found, all within timeout.
    static sUpdateAnswer Ask(const MString& listAddress, int32_t ownVersion,
                             std::chrono::milliseconds timeout = kUpdateTimeout);

private:
    MString m_listAddress;
    MString m_productId = kUpdateProductId;
    int32_t m_ownVersion;
    MString m_caption = kUpdateCaption;
    MString m_question = kUpdateQuestion;
    MString m_downloadAddress;
    MString m_serverVersionText;
    int64_t m_serverVersion = 0;
    bool m_updateAvailable = false;
};
