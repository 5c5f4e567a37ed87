#pragma once
// A temporary folder for a test, removed with everything in it, including read-only files and
// folders a test leaves behind.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/stat.h>

namespace testutil {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/corvina_test_XXXXXX";
        if (::mkdtemp(templ.data())) m_path = templ;
        EXPECT_FALSE(m_path.empty());
    }
    ~TempDir() {
        if (m_path.empty()) return;
        // Folders first become writable, so that their entries can be removed.
        ::nftw(
            m_path.c_str(),
            [](const char* p, const struct stat*, int type, struct FTW*) {
                if (type == FTW_D || type == FTW_DNR) ::chmod(p, 0700);
                return 0;
            },
            16, FTW_PHYS);
        ::nftw(
            m_path.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) {
                ::remove(p);
                return 0; // go on with the rest
            },
            16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace testutil
