#include "core/FileUtils.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kLongPathLength = 260;

bool IsSeparator(char16_t c) {
    return c == u'/' || c == u'\\';
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// An absolute folder from the environment, else `fallback` under the home folder.
MString XdgFolder(const char* variable, const char* fallback) {
    const char* v = std::getenv(variable);
    if (v && v[0] == '/') return MString(v);
    MString home = SpecialFolder(SpecialFolderId::kHome);
    if (home.IsEmpty()) return {};
    return home + MString(fallback);
}

MString HomeFolder() {
    const char* v = std::getenv("HOME");
    if (v && v[0] == '/') return MString(v);
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return MString(found->pw_dir);
    return {};
}

MString WithoutTrailingSeparators(MString path) {
    while (path.Length() > 1 && IsSeparator(path[path.Length() - 1]))
        path = path.Substr(0, path.Length() - 1);
    return path;
}

int OpenPath(const MString& path, int flags) {
    std::string native = NativePath(path);
    if (native.empty()) return -1;
    int fd;
    do fd = ::open(native.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

MString LongPath(const MString& path) {
    if (path.Length() < kLongPathLength || path.StartsWith(u"\\\\?")) return path;
    if (path.StartsWith(u"\\\\")) return MString(u"\\\\?\\UNC") + path.Substr(1, path.Length());
    return MString(u"\\\\?\\") + path;
}

std::string NativePath(const MString& path) {
    if (path.View().find(u'\0') != std::u16string_view::npos) return {};
    return path.ToUtf8();
}

bool FileExists(const MString& path) {
    MString p = path;
    p.Trim();
    if (p.Length() > 1 && p[p.Length() - 1] == u'\\') p = p.Substr(0, p.Length() - 1);
    if (p.IsEmpty()) return false;
    std::string native = NativePath(p);
    struct stat st;
    return !native.empty() && ::stat(native.c_str(), &st) == 0;
}

bool ForceFolders(const MString& path) {
    MString p = path;
    p.Trim();
    if (p.IsEmpty() || NativePath(p).empty()) return false;
    std::u16string prefix;
    if (IsSeparator(p[0])) prefix = u"/";
    bool any = false;
    std::u16string_view rest = p.View();
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && IsSeparator(rest[i])) ++i;
        size_t start = i;
        while (i < rest.size() && !IsSeparator(rest[i])) ++i;
        if (i == start) break;
        if (!prefix.empty() && prefix.back() != u'/') prefix += u'/';
        prefix.append(rest.substr(start, i - start));
        any = true;
        std::string native = MString(prefix).ToUtf8();
        if (IsFolder(native)) continue;
        if (::mkdir(native.c_str(), 0777) != 0 && !(errno == EEXIST && IsFolder(native))) return false;
    }
    return any || prefix == u"/";
}

MString SpecialFolder(SpecialFolderId id) {
    MString folder;
    switch (id) {
        case SpecialFolderId::kAppData:
            folder = XdgFolder("XDG_CONFIG_HOME", "/.config");
            break;
        case SpecialFolderId::kLocalAppData:
            folder = XdgFolder("XDG_DATA_HOME", "/.local/share");
            break;
        case SpecialFolderId::kHome:
            folder = HomeFolder();
            break;
    }
    folder = WithoutTrailingSeparators(folder);
    if (!folder.IsEmpty() && ForceFolders(folder)) return folder;
    if (id == SpecialFolderId::kAppData) return {};
    return SpecialFolder(SpecialFolderId::kAppData);
}

MString PerUserFolder() {
    MString appData = SpecialFolder(SpecialFolderId::kAppData);
    if (appData.IsEmpty()) return {};
    MString folder = appData + u"/" + kPerUserFolderName + u"/";
    return ForceFolders(folder) ? folder : MString();
}

int CreateForWrite(const MString& path) {
    return OpenPath(path, O_RDWR | O_CREAT | O_TRUNC);
}

int OpenForRead(const MString& path) {
    int fd = OpenPath(path, O_RDONLY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) { // a folder is not a file to read
        ::close(fd);
        return -1;
    }
    return fd;
}

int OpenForReadWrite(const MString& path) {
    return OpenPath(path, O_RDWR);
}

void MFileHandle::Reset(int fd) {
    Close();
    m_fd = fd;
}

bool MFileHandle::Close() {
    if (m_fd < 0) return true;
    int r = ::close(m_fd);
    m_fd = -1;
    return r == 0 || errno == EINTR;
}
