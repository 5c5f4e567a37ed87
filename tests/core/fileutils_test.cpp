#include "core/FileUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sets an environment variable for one test and restores it afterwards.
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

class FileUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvina-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string Native(const std::string& name) const { return m_dir + "/" + name; }
    MString Path(const std::string& name) const { return MString(Native(name)); }

    std::string m_dir;
};

TEST(LongPathTest, PrefixesOnlyLongPaths) {
    std::u16string tail(255, u'a');
    struct Case {
        std::u16string path;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"C:\\short\\Ini.bin", u"C:\\short\\Ini.bin"},
        {u"C:\\" + std::u16string(256, u'a'), u"C:\\" + std::u16string(256, u'a')}, // 259 characters
        {u"C:\\" + std::u16string(257, u'a'), u"\\\\?\\C:\\" + std::u16string(257, u'a')},
        {u"\\\\server\\" + tail, u"\\\\?\\UNC\\server\\" + tail},
        {u"\\\\?\\C:\\" + tail, u"\\\\?\\C:\\" + tail},
        {u"", u""},
    };
    for (const Case& c : cases) {
        MString got = LongPath(MString(c.path));
        EXPECT_TRUE(got.Equals(c.expected.c_str()))
            << got.ToUtf8().substr(0, 20) << " length " << got.Length();
    }
}

TEST_F(FileUtilsTest, FileExists) {
    std::ofstream(Native("a.txt")) << "x";
    EXPECT_TRUE(FileExists(Path("a.txt")));
    EXPECT_TRUE(FileExists(MString(u"  ") + Path("a.txt") + u"\t\r\n"));
    EXPECT_TRUE(FileExists(MString(m_dir)));
    EXPECT_TRUE(FileExists(MString(m_dir) + u"\\")); // one trailing backslash is dropped
    EXPECT_TRUE(FileExists(MString(m_dir) + u"/"));
    EXPECT_FALSE(FileExists(Path("b.txt")));
    EXPECT_FALSE(FileExists(MString()));
    EXPECT_FALSE(FileExists(MString(u"   ")));
    EXPECT_FALSE(FileExists(MString(std::u16string(u"/tmp\0/x", 7)))); // a NUL never names a file
}

TEST_F(FileUtilsTest, ForceFolders) {
    EXPECT_TRUE(ForceFolders(Path("one/two/three")));
    EXPECT_TRUE(IsFolder(Native("one/two/three")));
    EXPECT_TRUE(ForceFolders(Path("one/two/three/"))); // exists already
    // Backslashes from settings written elsewhere separate folders too.
    EXPECT_TRUE(ForceFolders(MString(m_dir) + u"\\Onyx.Corvina\\sub\\"));
    EXPECT_TRUE(IsFolder(Native("Onyx.Corvina/sub")));
    EXPECT_TRUE(ForceFolders(MString(u" ") + Path("blank") + u" "));
    EXPECT_TRUE(IsFolder(Native("blank")));

    std::ofstream(Native("file")) << "x";
    EXPECT_FALSE(ForceFolders(Path("file/sub"))); // a file in the way
    EXPECT_FALSE(ForceFolders(MString()));
    ASSERT_EQ(::chmod(m_dir.c_str(), 0500), 0);
    if (::geteuid() != 0) {
        EXPECT_FALSE(ForceFolders(Path("locked/sub")));
    }
    ASSERT_EQ(::chmod(m_dir.c_str(), 0700), 0);
}

TEST_F(FileUtilsTest, SpecialAndPerUserFolders) {
    {
        ScopedEnv config("XDG_CONFIG_HOME", Native("config").c_str());
        MString appData = SpecialFolder(SpecialFolderId::kAppData);
        EXPECT_EQ(appData.ToUtf8(), Native("config"));
        EXPECT_TRUE(IsFolder(Native("config"))); // created
        MString perUser = PerUserFolder();
        EXPECT_EQ(perUser.ToUtf8(), Native("config/Onyx.Corvina/"));
        EXPECT_TRUE(IsFolder(Native("config/Onyx.Corvina")));
    }
    {
        // A relative XDG folder is ignored: the home folder's .config is used.
        ScopedEnv home("HOME", Native("home").c_str());
        ScopedEnv config("XDG_CONFIG_HOME", "relative/config");
        EXPECT_EQ(SpecialFolder(SpecialFolderId::kAppData).ToUtf8(), Native("home/.config"));
        ScopedEnv data("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(SpecialFolder(SpecialFolderId::kLocalAppData).ToUtf8(), Native("home/.local/share"));
        EXPECT_EQ(SpecialFolder(SpecialFolderId::kHome).ToUtf8(), Native("home"));
    }
    {
        // The folder cannot be created: the per-user folder is empty, so no settings are saved.
        std::ofstream(Native("plainfile")) << "x";
        ScopedEnv config("XDG_CONFIG_HOME", Native("plainfile/config").c_str());
        EXPECT_TRUE(SpecialFolder(SpecialFolderId::kAppData).IsEmpty());
        EXPECT_TRUE(PerUserFolder().IsEmpty());
        // Another folder that fails falls back to the application-data folder.
        ScopedEnv data("XDG_DATA_HOME", Native("plainfile/data").c_str());
        EXPECT_TRUE(SpecialFolder(SpecialFolderId::kLocalAppData).IsEmpty());
    }
}

TEST_F(FileUtilsTest, OpenFunctions) {
    MString path = Path("файл.bin"); // UTF-8 on disk
    int fd = CreateForWrite(path);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(::write(fd, "hello", 5), 5);
    ::close(fd);
    EXPECT_TRUE(IsFolder(m_dir) && std::ifstream(Native("файл.bin")).good());

    {
        MFileHandle read(OpenForRead(path));
        ASSERT_TRUE(read.IsOpen());
        char buf[8] = {};
        EXPECT_EQ(::read(read.Get(), buf, sizeof buf), 5);
        EXPECT_EQ(::write(read.Get(), "x", 1), -1); // read-only
    }
    {
        MFileHandle rw(OpenForReadWrite(path));
        ASSERT_TRUE(rw.IsOpen());
        EXPECT_EQ(::pwrite(rw.Get(), "J", 1, 0), 1);
        EXPECT_TRUE(rw.Close());
        EXPECT_FALSE(rw.IsOpen());
    }
    std::string content;
    std::getline(std::ifstream(Native("файл.bin")), content);
    EXPECT_EQ(content, "Jello");

    // Create truncates.
    MFileHandle again(CreateForWrite(path));
    ASSERT_TRUE(again.IsOpen());
    struct stat st;
    ASSERT_EQ(::fstat(again.Get(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    EXPECT_EQ(OpenForRead(Path("missing")), -1);
    EXPECT_EQ(OpenForReadWrite(Path("missing")), -1);
    EXPECT_EQ(OpenForRead(MString(m_dir)), -1); // a folder is not a file
    EXPECT_EQ(CreateForWrite(Path("no/such/folder/x")), -1);
    EXPECT_EQ(CreateForWrite(MString(std::u16string(u"/tmp/x\0y", 8))), -1);
}

TEST(MFileHandleTest, OwnsTheDescriptor) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        MFileHandle a(fds[0]);
        MFileHandle b(std::move(a));
        EXPECT_FALSE(a.IsOpen());
        EXPECT_EQ(b.Get(), fds[0]);
        MFileHandle c;
        c = std::move(b);
        EXPECT_EQ(c.Get(), fds[0]);
    }
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1); // closed once the last owner went away
    MFileHandle w(fds[1]);
    int raw = w.Release();
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(::close(raw), 0);
}

} // namespace
