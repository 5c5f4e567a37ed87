#pragma once
// File and path helpers used by the settings and database files. Paths are MStrings; on disk
// they are UTF-8. Folder separators are "/", and "\" is accepted where a path may come from
// stored settings written elsewhere.

#include "core/MString.h"

#include <string>

// Name of the per-user folder inside the application-data folder.
inline constexpr char16_t kPerUserFolderName[] = u"Onyx.Corvina";

enum class SpecialFolderId {
    kAppData,      // $XDG_CONFIG_HOME, else ~/.config
    kLocalAppData, // $XDG_DATA_HOME, else ~/.local/share
    kHome,         // $HOME, else the password database's home
};

// Windows long-path form: a path of 260 characters or more that does not start with "\\?" gets
// the prefix "\\?\" ("\\?\UNC" in place of the first backslash of a "\\server" path); shorter
// paths are returned unchanged. A pure string function: POSIX paths need no prefix, so the file
// functions below do not apply it.
MString LongPath(const MString& path);

// The path as the system takes it (UTF-8). Empty when the path holds a NUL, which no file name can.
std::string NativePath(const MString& path);

// Trims the path and drops one trailing "\"; true when a file or folder of that name exists.
bool FileExists(const MString& path);

// Creates every missing folder along the path ("/" or "\" separated). False when one cannot be
// created or a component exists and is not a folder.
bool ForceFolders(const MString& path);

// The folder, created when missing, without a trailing separator. When it cannot be had, the
// application-data folder; empty when that fails too.
MString SpecialFolder(SpecialFolderId id);

// <application data>/Onyx.Corvina/ with its trailing separator, created when missing; empty on
// failure (settings are then neither loaded nor saved).
MString PerUserFolder();

// Open functions: a descriptor (close-on-exec) or -1. The sharing modes are the intent the
// callers rely on: no other writer while a file is written.
int CreateForWrite(const MString& path);   // create or truncate; read and write; share read
int OpenForRead(const MString& path);      // existing regular file; read; share read and write
int OpenForReadWrite(const MString& path); // existing file; read and write; share read

// Owns a descriptor and closes it.
class MFileHandle {
public:
    MFileHandle() = default;
    explicit MFileHandle(int fd) : m_fd(fd) {}
    ~MFileHandle() { Close(); }
    MFileHandle(const MFileHandle&) = delete;
    MFileHandle& operator=(const MFileHandle&) = delete;
    MFileHandle(MFileHandle&& o) noexcept : m_fd(o.Release()) {}
    MFileHandle& operator=(MFileHandle&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);
    // Closes now; false when the system reports an error (a write that did not reach the file).
    bool Close();

private:
    int m_fd = -1;
};
