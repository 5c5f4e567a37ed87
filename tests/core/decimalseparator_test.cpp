// The user's decimal separator comes from the numeric locale named by the environment, even when
// the process itself still runs in the C locale.

#include "core/DecimalSeparator.h"

#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define CORVINA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVINA_TEST_ASAN 1
#endif
#endif
#ifdef CORVINA_TEST_ASAN
// glibc's newlocale keeps its copy of LOCPATH, which only this test sets; that leak is not ours.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:argz_add_sep\n";
}
#endif

namespace {

// Sets (or removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

TEST(DecimalSeparator, CLocaleGivesPoint) {
    ScopedEnv all("LC_ALL", "C");
    EXPECT_EQ(LocaleDecimalSeparator(), u'.');
}

TEST(DecimalSeparator, UserNumericLocaleWithCommaGivesComma) {
    // A locale whose only category is a numeric one with a comma, compiled into a temporary folder.
    testutil::TempDir dir;
    {
        std::ofstream src(dir.File("comma"));
        src << "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n";
    }
    const std::string cmd = "localedef -c -i '" + dir.File("comma") + "' -f UTF-8 '" +
                            dir.File("xx_XX.UTF-8") + "' >/dev/null 2>&1";
    (void)std::system(cmd.c_str()); // warns about the missing categories; the numeric one is enough
    std::ifstream numeric(dir.File("xx_XX.UTF-8/LC_NUMERIC"));
    if (!numeric) GTEST_SKIP() << "localedef cannot build a test locale here";

    ScopedEnv path("LOCPATH", dir.Path().c_str());
    ScopedEnv all("LC_ALL", nullptr);
    ScopedEnv num("LC_NUMERIC", "xx_XX.UTF-8");
    EXPECT_EQ(LocaleDecimalSeparator(), u',');
}

} // namespace
