#pragma once
// The help pages: one HTML file per help topic ("Record.html" …) in the "Help" folder of the
// program's data folder, which is found by the same rule as the shipped diagnosis database
// (<prefix>/share/corvina/Help/ when installed, <build>/share/corvina/Help/ in the build tree).
// The help window shows the page of the active ribbon tab, or the missing-file line below.
//
// Thread: any; nothing here keeps state.

#include "core/MString.h"

#include <string>

enum class HelpTopic { Record, Analyze, Diagnose, CommandLine };

inline constexpr char16_t kHelpFolderName[] = u"Help";
inline constexpr char16_t kHelpFileExtension[] = u".html";
// Shown instead of a page whose file is missing, unreadable, empty or larger than 4 MiB.
inline constexpr char16_t kHelpFileMissing[] =
    u"Произошла непредвиденная ошибка: файл справки не найден. Пожалуйста,переустановите программу.";

// "Record", "Analyze", "Diagnose" or "CommandLine".
const char16_t* HelpTopicName(HelpTopic topic);
// The page of a ribbon tab: 0 "Устройство" Record, 1 "Измерения" Analyze, 2 "Диагностика"
// Diagnose; any other index Record.
HelpTopic HelpTopicOfTab(int tabIndex);

// <program data folder>Help/, ending with "/".
MString HelpFolder();
// folder + the topic's name + ".html"; folder ends with "/" (a missing one is added).
MString HelpFilePath(HelpTopic topic, const MString& folder);
inline MString HelpFilePath(HelpTopic topic) {
    return HelpFilePath(topic, HelpFolder());
}

// What the help window shows for a topic.
struct sHelpPage {
    MString path;     // the file looked for
    bool found;       // the file could be read and is not empty
    std::string html; // the page (UTF-8) when found; empty otherwise
};
sHelpPage LoadHelpPage(HelpTopic topic, const MString& folder);
inline sHelpPage LoadHelpPage(HelpTopic topic) {
    return LoadHelpPage(topic, HelpFolder());
}
