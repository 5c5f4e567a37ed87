#pragma once
// The program's settings file and the settings the application layer itself keeps.
//
// The settings tree (core/Settings.h) is loaded at start from "Ini.bin" in the per-user folder and
// saved at shutdown and whenever the recent-file list changes. The command line is parsed before
// the file is loaded and may already have put values into the tree; they are merged back over the
// loaded file, so the command line wins.
//
// Thread: main thread only.

#include "core/MString.h"

#include <vector>

class MVarArray;

// Keys of the root.
inline constexpr char16_t kRecentCountKey[] = u"RecentCount";
inline constexpr char16_t kRecentFileKey[] = u"RecentFile"; // followed by the index 0 ... 12
inline constexpr char16_t kAutoCorrectIsolineKey[] = u"AutoCorrectIsoline";
inline constexpr char16_t kActiveLedKey[] = u"ActiveLed";
// Address of the update list asked at shutdown (http://...); absent or empty: no update check.
inline constexpr char16_t kUpdateListAddressKey[] = u"UpdateListAddress";

inline constexpr char16_t kSettingsFileName[] = u"Ini.bin";
// A settings file that cannot be read is copied here before it is next overwritten.
inline constexpr char16_t kDamagedSettingsSuffix[] = u".bad";
// Longest recent-file list.
inline constexpr int kMaxRecentFiles = 13;

// "RecentFile" followed by the decimal index.
MString RecentFileKey(int index);

// The update list address as stored, blanks around it removed; empty when the key is absent.
// Never creates the key.
MString UpdateListAddress(const MVarArray& settings);

// The settings file the program uses: <per-user folder>Ini.bin, or empty when the per-user folder
// cannot be had (settings are then neither loaded nor saved).
const MString& SettingsFilePath();
void SetSettingsFilePath(const MString& path);
// <per-user folder>Ini.bin; empty when the folder cannot be created.
MString DefaultSettingsFilePath();

// Loads path into settings and merges what settings held before (the command-line values) back
// over it. A damaged file loads as far as it is sound and a copy of it is kept beside it (path +
// ".bad") before it can be overwritten; a missing or unreadable file leaves settings as they
// were. True when anything was loaded.
bool LoadSettingsFile(MVarArray& settings, const MString& path);
// Saves settings to path; false when path is empty or the file cannot be written (the old file
// then stays as it was).
bool SaveSettingsFile(const MVarArray& settings, const MString& path);

// Saves the process-wide tree to SettingsFilePath(); a failure is logged.
void SaveSettings();

// The recent-file list: "RecentCount" entries "RecentFile0" (most recent) ... Puts path at the
// head unless it is already listed (a listed path keeps its place; an empty path only tidies
// up), drops entries whose files no longer exist, keeps at most kMaxRecentFiles and removes
// stale keys beyond the count. Paths are compared and kept exactly as given: file names are
// case-sensitive here. Returns the list, most recent first.
std::vector<MString> UpdateRecentFiles(MVarArray& settings, const MString& path);
// The list as stored, most recent first (nothing is checked or changed).
std::vector<MString> RecentFiles(const MVarArray& settings);
