#include "app/Settings.h"

#include "core/FileUtils.h"
#include "core/Log.h"
#include "core/MVarArray.h"
#include "core/Settings.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

MString& PathStore() {
    static MString path; // main thread
    return path;
}

// Copies a file byte for byte; false when either side fails.
bool CopyFile(const MString& from, const MString& to) {
    MFileHandle in(OpenForRead(from));
    if (!in.IsOpen()) return false;
    MFileHandle out(CreateForWrite(to));
    if (!out.IsOpen()) return false;
    char buf[64 * 1024];
    for (;;) {
        ssize_t got = ::read(in.Get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out.Get(), buf + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            done += put;
        }
    }
    return out.Close();
}

int StoredRecentCount(const MVarArray& settings) {
    const MVarArray* node = settings.Find(MVariant(kRecentCountKey));
    return node ? std::clamp(node->Value().AsInt(), 0, kMaxRecentFiles) : 0;
}

} // namespace

MString RecentFileKey(int index) {
    return MString(kRecentFileKey) + MString::FromInt(index);
}

MString UpdateListAddress(const MVarArray& settings) {
    const MVarArray* node = settings.Find(MVariant(kUpdateListAddressKey));
    if (!node) return {};
    MString address = node->Value().AsString();
    address.Trim();
    return address;
}

const MString& SettingsFilePath() {
    return PathStore();
}

void SetSettingsFilePath(const MString& path) {
    PathStore() = path;
}

MString DefaultSettingsFilePath() {
    MString folder = PerUserFolder();
    return folder.IsEmpty() ? MString() : folder + kSettingsFileName;
}

bool LoadSettingsFile(MVarArray& settings, const MString& path) {
    if (path.IsEmpty()) return false;
    MVarArray loaded;
    const bool ok = loaded.LoadFromFile(path);
    if (!ok && FileExists(path)) {
        const MString copy = path + kDamagedSettingsSuffix;
        if (CopyFile(path, copy))
            LogMessage("The settings file " + path.ToUtf8() + " is damaged; a copy is kept as " +
                       copy.ToUtf8());
        else
            LogMessage("The settings file " + path.ToUtf8() + " cannot be read");
    }
    if (!ok && loaded.Count() == 0) return false;
    MVarArray commandLine;
    settings.CopyTo(commandLine);
    loaded.CopyTo(settings);
    commandLine.MergeInto(settings);
    return true;
}

bool SaveSettingsFile(const MVarArray& settings, const MString& path) {
    return !path.IsEmpty() && settings.SaveToFile(path);
}

void SaveSettings() {
    const MString& path = SettingsFilePath();
    if (path.IsEmpty()) return;
    const MVarArray* settings = GetSettings(false);
    if (!settings) return;
    if (!SaveSettingsFile(*settings, path)) LogMessage("The settings cannot be saved to " + path.ToUtf8());
}

std::vector<MString> RecentFiles(const MVarArray& settings) {
    std::vector<MString> list;
    const int n = StoredRecentCount(settings);
    for (int i = 0; i < n; ++i) {
        const MVarArray* node = settings.Find(MVariant(RecentFileKey(i)));
        list.push_back(node ? node->Value().AsString() : MString());
    }
    return list;
}

std::vector<MString> UpdateRecentFiles(MVarArray& settings, const MString& path) {
    std::vector<MString> list = RecentFiles(settings);
    if (!path.IsEmpty() && std::find(list.begin(), list.end(), path) == list.end())
        list.insert(list.begin(), path);
    std::erase_if(list, [](const MString& p) { return !FileExists(p); });
    if (list.size() > static_cast<size_t>(kMaxRecentFiles)) list.resize(kMaxRecentFiles);

    const int n = static_cast<int>(list.size());
    for (int i = 0; i < n; ++i) settings.Item(MVariant(RecentFileKey(i))).Value() = MVariant(list[size_t(i)]);
    // Keys past the list are stale copies of entries that moved.
    for (int i = n; i < kMaxRecentFiles + 1; ++i) {
        const int at = settings.IndexOf(MVariant(RecentFileKey(i)));
        if (at >= 0) settings.Delete(at);
    }
    settings.Item(MVariant(kRecentCountKey)).Value() = MVariant(int32_t{n});
    return list;
}
