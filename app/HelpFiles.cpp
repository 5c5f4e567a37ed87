#include "app/HelpFiles.h"

#include "analysis/DiagnoseManager.h"
#include "core/FileUtils.h"

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace {
// Our pages are a few tens of kilobytes; anything far larger is not one of them (and a device
// file put in a page's place must not be read without end).
constexpr size_t kMaxHelpPageBytes = 4u << 20;
} // namespace

const char16_t* HelpTopicName(HelpTopic topic) {
    switch (topic) {
        case HelpTopic::Record:
            return u"Record";
        case HelpTopic::Analyze:
            return u"Analyze";
        case HelpTopic::Diagnose:
            return u"Diagnose";
        case HelpTopic::CommandLine:
            return u"CommandLine";
    }
    return u"Record";
}

HelpTopic HelpTopicOfTab(int tabIndex) {
    switch (tabIndex) {
        case 1:
            return HelpTopic::Analyze;
        case 2:
            return HelpTopic::Diagnose;
        default:
            return HelpTopic::Record;
    }
}

MString HelpFolder() {
    // ProgramDataFolder() ends with "/".
    return ProgramDataFolder() + MString(kHelpFolderName) + MString(u"/");
}

MString HelpFilePath(HelpTopic topic, const MString& folder) {
    MString path = folder;
    if (!path.IsEmpty() && path[path.Length() - 1] != u'/') path += u'/';
    return path + MString(HelpTopicName(topic)) + MString(kHelpFileExtension);
}

sHelpPage LoadHelpPage(HelpTopic topic, const MString& folder) {
    sHelpPage page{HelpFilePath(topic, folder), false, {}};
    MFileHandle file(OpenForRead(page.path)); // fails for a folder of that name too
    if (!file.IsOpen()) return page;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            page.html.clear(); // a page cut short would read as a whole one
            return page;
        }
        page.html.append(buffer, static_cast<size_t>(n));
        if (page.html.size() > kMaxHelpPageBytes) {
            page.html.clear();
            return page;
        }
    }
    page.found = !page.html.empty();
    return page;
}
