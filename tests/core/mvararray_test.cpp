#include "core/MStream.h"
#include "core/MVarArray.h"

#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A fresh folder under the system's temporary folder, removed with its files afterwards.
class TreeFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvina-tree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    MString Path(const char* name) const { return MString(m_dir + "/" + name); }

    std::string m_dir;
};

std::vector<uint8_t> ReadFile(const MString& path) {
    std::ifstream f(path.ToUtf8(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const MString& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path.ToUtf8(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Image(const MVarArray& tree) {
    MStream s;
    EXPECT_TRUE(tree.SaveImage(s));
    return std::vector<uint8_t>(s.Data(), s.Data() + s.GetPosition());
}

// Fills an empty stream with bytes and rewinds it.
void Fill(MStream& s, const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) s.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    s.Seek(0);
}

std::vector<uint8_t> Int32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Serial form of a string variant.
std::vector<uint8_t> Text(const char16_t* s) {
    MStream st;
    EXPECT_TRUE(MVariant(s).WriteTo(st));
    return std::vector<uint8_t>(st.Data(), st.Data() + st.GetPosition());
}

const std::vector<uint8_t> kEmpty = {0, 0, 0, 0};

// A node image: count, key, value (children follow separately).
std::vector<uint8_t> Node(int32_t count, const std::vector<uint8_t>& key, const std::vector<uint8_t>& value) {
    return Concat({Int32(count), key, value});
}

std::vector<std::string> Keys(const MVarArray& node) {
    std::vector<std::string> keys;
    for (int i = 0; i < node.Count(); ++i) keys.push_back(node.Child(i).Key().AsString().ToUtf8());
    return keys;
}

// The settings file holding only "RecentCount" = 1.
const std::vector<uint8_t> kIniBin = {
    0x38, 0, 0,   0, // L = 56, plain
    1,    0, 0,   0, // root: one child
    0,    0, 0,   0, // root key: empty
    0,    0, 0,   0, // root value: empty
    0,    0, 0,   0, // child: no children
    3,    0, 0,   0, // child key: string
    0x18, 0, 0,   0, // 24 bytes follow
    'R',  0, 'e', 0, 'c', 0, 'e', 0, 'n', 0, 't', 0, 'C', 0,
    'o',  0, 'u', 0, 'n', 0, 't', 0, 0,   0, 1,   0, 0,   0, // child value: int32
    1,    0, 0,   0,                                         // 1
};

// One diagnosis: id 1500000000, name "X", description "Y", limit "Mo, мс" >= 700.
const std::vector<uint8_t> kDiagnosisImage = {
    0x01, 0x00, 0x00, 0x00,                         // root: 1 child
    0x00, 0x00, 0x00, 0x00,                         // root key
    0x00, 0x00, 0x00, 0x00,                         // root value
    0x03, 0x00, 0x00, 0x00,                         // diagnosis: 3 children
    0x01, 0x00, 0x00, 0x00, 0x00, 0x2F, 0x68, 0x59, // key 1500000000
    0x00, 0x00, 0x00, 0x00,                         // value
    0x00, 0x00, 0x00, 0x00,                         // "Des": 0 children
    0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x44, 0x00, 0x65, 0x00, 0x73, 0x00, 0x00, 0x00, // "Des"
    0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x59, 0x00, 0x00, 0x00,                         // "Y"
    0x01, 0x00, 0x00, 0x00, // "Lim": 1 child
    0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x69, 0x00, 0x6D, 0x00, 0x00, 0x00, // "Lim"
    0x00, 0x00, 0x00, 0x00,                                                                         // value
    0x01, 0x00, 0x00, 0x00, // parameter: 1 child
    0x03, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x4D, 0x00, 0x6F, 0x00, 0x2C, 0x00, 0x20, 0x00,
    0x3C, 0x04, 0x41, 0x04, 0x00, 0x00, // "Mo, мс"
    0x00, 0x00, 0x00, 0x00,             // value
    0x00, 0x00, 0x00, 0x00,             // "Min": 0 children
    0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x4D, 0x00, 0x69, 0x00, 0x6E, 0x00, 0x00, 0x00, // "Min"
    0x01, 0x00, 0x00, 0x00, 0xBC, 0x02, 0x00, 0x00,                                                 // 700
    0x00, 0x00, 0x00, 0x00, // "Name": 0 children
    0x03, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x4E, 0x00, 0x61, 0x00, 0x6D, 0x00, 0x65, 0x00,
    0x00, 0x00,                                                             // "Name"
    0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00, // "X"
};

void BuildDiagnosis(MVarArray& root) {
    MVarArray& diagnosis = root.Item(MVariant(1500000000));
    diagnosis.Item(u"Name").Value() = u"X";
    diagnosis.Item(u"Des").Value() = u"Y";
    diagnosis.Item(u"Lim").Item(u"Mo, мс").Item(u"Min").Value() = 700;
}

// A settings-like tree of a few kilobytes: strings, ints, doubles and nested maps.
void BuildSettings(MVarArray& root) {
    root.Item(u"RecentCount").Value() = 13;
    for (int i = 0; i < 13; ++i)
        root.Item(MString(u"RecentFile") + MString::FromInt(i)).Value() =
            MString(u"/home/user/records/patient_") + MString::FromInt(i) + u".pwv";
    root.Item(u"ExportDelimiter").Value() = u" ";
    root.Item(u"ExportSampleF").Value() = 100.0;
    for (const char16_t* map : {u"LedIntApproxMap", u"LedClipRedApproxMap"}) {
        MVarArray& m = root.Item(map);
        for (int code = 0; code < 256; ++code) m.Item(MVariant(code)).Value() = 4000.0 - code * 7.25;
        m.Item(u"ResLf").Value() = 100;
    }
}

TEST_F(TreeFileTest, SettingsGoldenFile) {
    MVarArray settings;
    settings.Item(u"RecentCount").Value() = 1;
    MString path = Path("Ini.bin");
    ASSERT_TRUE(settings.SaveToFile(path));
    EXPECT_TRUE(golden::Bytes("ini_bin", kIniBin, ReadFile(path)));

    MVarArray loaded;
    ASSERT_TRUE(loaded.LoadFromFile(path));
    ASSERT_EQ(loaded.Count(), 1);
    EXPECT_EQ(loaded.Item(u"RecentCount").Value().GetType(), MVariant::kInt);
    EXPECT_EQ(loaded.Item(u"RecentCount").Value().AsInt(), 1);
}

TEST_F(TreeFileTest, DiagnosisGoldenImageAndFile) {
    ASSERT_EQ(kDiagnosisImage.size(), 176u);
    MVarArray root;
    BuildDiagnosis(root);
    EXPECT_TRUE(golden::Bytes("diagnosis_image", kDiagnosisImage, Image(root)));

    MString path = Path("User.ddb");
    ASSERT_TRUE(root.SaveToFile(path));
    EXPECT_TRUE(golden::Bytes("diagnosis_file", Concat({Int32(176), kDiagnosisImage}), ReadFile(path)));

    MVarArray loaded;
    ASSERT_TRUE(loaded.LoadFromFile(path));
    EXPECT_EQ(Image(loaded), kDiagnosisImage);
    EXPECT_EQ(loaded.Item(MVariant(1500000000)).Item(u"Lim").Item(u"Mo, мс").Item(u"Min").Value().AsInt(),
              700);
}

TEST(MVarArrayTest, IndexOfKeepsChildrenSortedAndUnique) {
    MVarArray tree;
    std::mt19937 rng(7);
    std::set<std::u16string> reference;
    for (int i = 0; i < 2000; ++i) {
        std::u16string key = MString::FromInt(static_cast<int64_t>(rng() % 700)).Str() + u"k";
        int at = tree.IndexOf(MVariant(MString(key)), true);
        ASSERT_GE(at, 0);
        EXPECT_TRUE(tree.Child(at).Key().AsString().Equals(key.c_str()));
        reference.insert(key);
    }
    ASSERT_EQ(tree.Count(), static_cast<int>(reference.size()));
    int i = 0;
    for (const auto& key : reference) {
        EXPECT_TRUE(tree.Child(i).Key().AsString().Equals(key.c_str()));
        EXPECT_EQ(tree.IndexOf(MVariant(MString(key))), i);
        ++i;
    }
    // Misses before the first, after the last, between two keys: not found, nothing inserted.
    for (const char16_t* miss : {u"", u"0", u"zzz", u"350kk"})
        EXPECT_EQ(tree.IndexOf(MVariant(miss), false), -1);
    EXPECT_EQ(tree.Count(), static_cast<int>(reference.size()));
}

TEST(MVarArrayTest, IntegerKeysSortNumerically) {
    MVarArray map;
    for (int code : {255, 3, 100, 20, 0}) map.Item(MVariant(code)).Value() = code * 2;
    map.Item(u"ResLf").Value() = 7;
    EXPECT_EQ(Keys(map), (std::vector<std::string>{"0", "3", "20", "100", "255", "ResLf"}));
    // An integer text finds the integer key.
    EXPECT_EQ(map.IndexOf(MVariant(u"20")), 2);
}

TEST(MVarArrayTest, LookupHelpers) {
    MVarArray tree;
    // Reading a missing key creates it empty.
    EXPECT_TRUE(tree.Item(u"missing").Value().IsEmpty());
    EXPECT_EQ(tree.Count(), 1);
    // Two empty keys are equal: one child at most.
    tree.Item(MVariant());
    tree.Item(MVariant());
    EXPECT_EQ(tree.Count(), 2);
    EXPECT_EQ(tree.Find(u"nothing"), nullptr);
    EXPECT_EQ(tree.Count(), 2);

    tree.Item(u"RecentFile0").Value() = u"/a/b.pwv";
    tree.Item(u"RecentFile1").Value() = u"/c/d.pwv";
    ASSERT_NE(tree.FindByValue(u"/c/d.pwv"), nullptr);
    EXPECT_TRUE(tree.FindByValue(u"/c/d.pwv")->Key().AsString().Equals(u"RecentFile1"));
    EXPECT_EQ(tree.FindByValue(u"/x.pwv"), nullptr);

    EXPECT_TRUE(tree.Delete(0));
    EXPECT_FALSE(tree.Delete(10));
    EXPECT_EQ(tree.Count(), 3);
    ASSERT_TRUE(tree.Resize(5));
    EXPECT_EQ(tree.Count(), 5);
    EXPECT_TRUE(tree.Child(4).Key().IsEmpty());
    ASSERT_TRUE(tree.Resize(1));
    EXPECT_EQ(tree.Count(), 1);
    tree.Clear();
    EXPECT_EQ(tree.Count(), 0);
}

TEST(MVarArrayTest, CopyToIsDeep) {
    MVarArray source;
    BuildDiagnosis(source);
    source.Value() = u"root value";
    MVarArray target;
    target.Key() = u"own key";
    target.Item(u"stale");
    source.CopyTo(target);
    EXPECT_TRUE(target.Key().AsString().Equals(u"own key"));
    ASSERT_EQ(target.Count(), 1);
    EXPECT_EQ(Image(target.Child(0)), Image(source.Child(0)));
    EXPECT_TRUE(target.Value().AsString().Equals(u"root value"));
    source.Item(MVariant(1500000000)).Item(u"Name").Value() = u"changed";
    EXPECT_TRUE(target.Item(MVariant(1500000000)).Item(u"Name").Value().AsString().Equals(u"X"));

    // Into a part of itself, and into itself.
    MVarArray tree;
    BuildDiagnosis(tree);
    MVarArray& lim = tree.Item(MVariant(1500000000)).Item(u"Lim");
    tree.CopyTo(lim);
    EXPECT_EQ(lim.Count(), 1);
    EXPECT_EQ(lim.Child(0).Key().AsInt(), 1500000000);
    tree.CopyTo(tree);
    EXPECT_EQ(tree.Count(), 1);
}

TEST(MVarArrayTest, MoveKeepsKeysAndValuesExactly) {
    MVarArray source;
    source.Key().CopyFrom(MVariant(u"12"));
    source.Value().CopyFrom(MVariant(100.0));
    source.Item(u"child");
    MVarArray target;
    target = std::move(source);
    EXPECT_EQ(target.Key().GetType(), MVariant::kString);
    EXPECT_EQ(target.Value().GetType(), MVariant::kDouble);
    EXPECT_EQ(target.Count(), 1);

    // From one of its own descendants.
    MVarArray tree;
    BuildDiagnosis(tree);
    tree = std::move(tree.Item(MVariant(1500000000)));
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"Des", "Lim", "Name"}));
    EXPECT_EQ(tree.Key().AsInt(), 1500000000);
}

TEST(MVarArrayTest, MergeIntoOverwritesAndKeeps) {
    // The command line's values win over the loaded file; keys only the file has stay.
    MVarArray commandLine;
    commandLine.Item(u"ExportDelimiter").Value() = u";";
    commandLine.Item(u"Map").Item(MVariant(3)).Value() = 1.5;
    MVarArray settings;
    settings.Item(u"ExportDelimiter").Value() = u" ";
    settings.Item(u"ExportSampleF").Value() = 250;
    settings.Item(u"Map").Item(MVariant(1)).Value() = 2.5;
    commandLine.MergeInto(settings);
    EXPECT_TRUE(settings.Item(u"ExportDelimiter").Value().AsString().Equals(u";"));
    EXPECT_EQ(settings.Item(u"ExportSampleF").Value().AsInt(), 250);
    EXPECT_EQ(settings.Item(u"Map").Count(), 2);
    EXPECT_EQ(settings.Item(u"Map").Item(MVariant(3)).Value().AsDouble(), 1.5);
    // The merge assigns: a numeric text becomes a number.
    MVarArray text;
    text.Item(u"Rate").Value().CopyFrom(MVariant(u"30"));
    text.MergeInto(settings);
    EXPECT_EQ(settings.Item(u"Rate").Value().GetType(), MVariant::kInt);

    // Into itself and into a part of itself: finishes, nothing lost.
    MVarArray tree;
    BuildDiagnosis(tree);
    tree.MergeInto(tree);
    EXPECT_EQ(Image(tree), kDiagnosisImage);
    MVarArray& diagnosis = tree.Item(MVariant(1500000000));
    tree.MergeInto(diagnosis);
    EXPECT_EQ(diagnosis.Count(), 4); // Des, Lim, Name and the copy of itself under its key
}

TEST(MVarArrayTest, LoadSortsChildren) {
    // Three children written out of order.
    std::vector<uint8_t> image = Concat({Node(3, kEmpty, kEmpty), Node(0, Text(u"b"), kEmpty),
                                         Node(0, Text(u"c"), kEmpty), Node(0, Text(u"a"), kEmpty)});
    MStream s;
    Fill(s, image);
    MVarArray tree;
    ASSERT_TRUE(tree.LoadImage(s));
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(tree.IndexOf(MVariant(u"c")), 2);
}

TEST(MVarArrayTest, ChildCountsOutOfRangeMeanNoChildren) {
    for (int32_t count : {200'000, 100'001, -1, INT32_MIN}) {
        std::vector<uint8_t> image = Node(count, kEmpty, Concat({Int32(1), Int32(5)}));
        MStream s;
        Fill(s, image);
        MVarArray tree;
        tree.Item(u"old");
        ASSERT_TRUE(tree.LoadImage(s)) << count;
        EXPECT_EQ(tree.Count(), 0) << count;
        EXPECT_EQ(tree.Value().AsInt(), 5);
    }
}

TEST(MVarArrayTest, ShortImageKeepsWhatWasRead) {
    std::vector<uint8_t> image = Image([] {
        MVarArray t;
        BuildDiagnosis(t);
        return t;
    }());
    ASSERT_EQ(image, kDiagnosisImage);
    struct Case {
        size_t cut;
        std::vector<std::string> diagnosisKeys; // what the partial tree holds
    };
    const Case cases[] = {
        {60, {"Des"}},         // "Des" complete, "Lim" not started
        {100, {"Des", "Lim"}}, // inside "Lim"'s child
        {142, {"Des", "Lim"}}, // right before "Name"
        {170, {"Des", "Lim"}}, // "Name" key read, value cut: the child is dropped
    };
    for (const Case& c : cases) {
        MStream s;
        Fill(s, std::vector<uint8_t>(image.begin(), image.begin() + static_cast<long>(c.cut)));
        MVarArray tree;
        EXPECT_FALSE(tree.LoadImage(s)) << c.cut;
        ASSERT_EQ(tree.Count(), 1) << c.cut;
        EXPECT_EQ(Keys(tree.Child(0)), c.diagnosisKeys) << c.cut;
    }
    // Cut inside the root's own header: the tree is left as it was.
    MStream s;
    Fill(s, {1, 0, 0, 0, 0, 0});
    MVarArray tree;
    tree.Item(u"kept");
    EXPECT_FALSE(tree.LoadImage(s));
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"kept"}));
}

TEST(MVarArrayTest, HostileCountsAndDepth) {
    // 100,000 children announced, bytes for two: fails after reading them.
    std::vector<uint8_t> image =
        Concat({Node(100'000, kEmpty, kEmpty), Node(0, Text(u"a"), kEmpty), Node(0, Text(u"b"), kEmpty)});
    MStream s;
    Fill(s, image);
    MVarArray tree;
    EXPECT_FALSE(tree.LoadImage(s));
    EXPECT_EQ(tree.Count(), 2);

    // Nesting deeper than the limit stops there.
    std::vector<uint8_t> deep;
    for (int i = 0; i < MVarArray::kMaxDepth + 50; ++i) deep = Concat({deep, Node(1, Int32(0), Int32(0))});
    deep = Concat({deep, Node(0, kEmpty, kEmpty)});
    MStream d;
    Fill(d, deep);
    EXPECT_FALSE(tree.LoadImage(d));
    int depth = 0;
    for (const MVarArray* n = &tree; n->Count() > 0; n = &n->Child(0)) ++depth;
    EXPECT_EQ(depth, MVarArray::kMaxDepth);

    // The deepest tree that loads also saves; one level more is refused on saving.
    MVarArray chain;
    MVarArray* n = &chain;
    for (int i = 0; i < MVarArray::kMaxDepth; ++i) n = &n->Item(MVariant(i));
    MStream ok;
    EXPECT_TRUE(chain.SaveImage(ok));
    ok.Seek(0);
    MVarArray back;
    EXPECT_TRUE(back.LoadImage(ok));
    n->Item(u"one too deep");
    MStream refused;
    EXPECT_FALSE(chain.SaveImage(refused));
}

TEST(MVarArrayTest, TooManyChildrenAreNotSaved) {
    MVarArray tree;
    ASSERT_TRUE(tree.Resize(MVarArray::kMaxChildren + 1));
    MStream s;
    EXPECT_FALSE(tree.SaveImage(s)); // a reader would drop them all
}

TEST(MVarArrayTest, MixedKeysReloadInTheSameOrder) {
    // 2 < "10" (as numbers), "10" < "15x" and "15x" < 2 (as texts): no consistent order exists,
    // yet a loaded tree saves and reloads unchanged, with every neighbour pair in order.
    std::vector<uint8_t> image =
        Concat({Node(3, kEmpty, kEmpty), Node(0, Text(u"15x"), kEmpty), Node(0, Text(u"10"), kEmpty),
                Node(0, Concat({Int32(1), Int32(2)}), kEmpty)});
    MStream s;
    Fill(s, image);
    MVarArray tree;
    ASSERT_TRUE(tree.LoadImage(s));
    for (int i = 1; i < tree.Count(); ++i) EXPECT_FALSE(tree.Child(i).Key().Less(tree.Child(i - 1).Key()));
    std::vector<uint8_t> first = Image(tree);
    MStream again;
    Fill(again, first);
    MVarArray reloaded;
    ASSERT_TRUE(reloaded.LoadImage(again));
    EXPECT_EQ(Image(reloaded), first);
}

TEST_F(TreeFileTest, LargeTreesArePackedAndLoadBack) {
    MVarArray settings;
    BuildSettings(settings);
    MString path = Path("Ini.bin");
    ASSERT_TRUE(settings.SaveToFile(path));
    std::vector<uint8_t> file = ReadFile(path);
    ASSERT_GE(file.size(), 4u);
    int32_t length = static_cast<int32_t>(file[0] | file[1] << 8 | file[2] << 16 | file[3] << 24);
    EXPECT_LT(length, 0) << "a settings tree of this size is stored packed";
    EXPECT_EQ(file.size(), static_cast<size_t>(4 - length));
    MVarArray loaded;
    ASSERT_TRUE(loaded.LoadFromFile(path));
    EXPECT_EQ(Image(loaded), Image(settings));
    EXPECT_EQ(loaded.Item(u"LedIntApproxMap").Item(MVariant(10)).Value().AsDouble(), 4000.0 - 72.5);
    EXPECT_FALSE(std::ifstream(path.ToUtf8() + ".new").good()) << "no temporary file is left behind";
}

TEST_F(TreeFileTest, DamagedPlainFileLoadsItsSoundPrefix) {
    MString path = Path("User.ddb");
    std::vector<uint8_t> file = Concat({Int32(176), kDiagnosisImage});

    // Truncated: the sound prefix is loaded and the load reports failure.
    WriteFile(path, std::vector<uint8_t>(file.begin(), file.begin() + 4 + 142));
    MVarArray tree;
    EXPECT_FALSE(tree.LoadFromFile(path));
    ASSERT_EQ(tree.Count(), 1);
    EXPECT_EQ(Keys(tree.Child(0)), (std::vector<std::string>{"Des", "Lim"}));
    EXPECT_EQ(tree.Child(0).Item(u"Lim").Item(u"Mo, мс").Item(u"Min").Value().AsInt(), 700);

    // A flipped bit in the "Name" string's count: everything before it stays.
    std::vector<uint8_t> flipped = file;
    flipped[4 + 150] ^= 0x40;
    WriteFile(path, flipped);
    MVarArray tree2;
    EXPECT_FALSE(tree2.LoadFromFile(path));
    ASSERT_EQ(tree2.Count(), 1);
    EXPECT_EQ(Keys(tree2.Child(0)), (std::vector<std::string>{"Des", "Lim"}));

    // A flipped bit in a type tag stops the load there.
    flipped = file;
    flipped[4 + 48] ^= 0x10; // "Des" value tag 3 -> 0x13
    WriteFile(path, flipped);
    MVarArray tree3;
    EXPECT_FALSE(tree3.LoadFromFile(path));
    ASSERT_EQ(tree3.Count(), 1);
    EXPECT_EQ(tree3.Child(0).Count(), 0);

    // A length word larger than the file: what the file holds is read.
    std::vector<uint8_t> longer = Concat({Int32(1'000'000), kDiagnosisImage});
    WriteFile(path, longer);
    MVarArray tree4;
    EXPECT_FALSE(tree4.LoadFromFile(path));
    EXPECT_EQ(Image(tree4), kDiagnosisImage);
}

TEST_F(TreeFileTest, DamagedPackedFileLeavesTheTree) {
    MVarArray settings;
    BuildSettings(settings);
    MString path = Path("Ini.bin");
    ASSERT_TRUE(settings.SaveToFile(path));
    std::vector<uint8_t> file = ReadFile(path);
    ASSERT_GT(file.size(), 40u);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> flipped = file;
    flipped[file.size() / 2] ^= 0x01;
    std::vector<uint8_t> badLength = file;
    badLength[4] = badLength[5] = badLength[6] = badLength[7] = 0;
    const Case cases[] = {
        {"flipped payload byte", flipped},
        {"truncated", std::vector<uint8_t>(file.begin(), file.end() - 10)},
        {"unpacked length 0", badLength},
        {"length word only", std::vector<uint8_t>(file.begin(), file.begin() + 4)},
        {"empty file", {}},
        {"cut length word", {0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        WriteFile(path, c.bytes);
        MVarArray tree;
        tree.Item(u"ExportDelimiter").Value() = u";";
        EXPECT_FALSE(tree.LoadFromFile(path)) << c.name;
        EXPECT_EQ(Keys(tree), (std::vector<std::string>{"ExportDelimiter"})) << c.name;
    }
}

TEST_F(TreeFileTest, FailedSaveKeepsTheOldFile) {
    MString path = Path("Ini.bin");
    MVarArray settings;
    settings.Item(u"RecentCount").Value() = 1;
    ASSERT_TRUE(settings.SaveToFile(path));
    // A string no reader would accept makes the save fail before the file is touched.
    settings.Item(u"Huge").Value() = MString(std::u16string(5'000'000, u'x'));
    EXPECT_FALSE(settings.SaveToFile(path));
    EXPECT_EQ(ReadFile(path), kIniBin);

    EXPECT_FALSE(settings.SaveToFile(Path("no/such/folder/Ini.bin")));
    MVarArray none;
    EXPECT_FALSE(none.LoadFromFile(Path("missing.bin")));
    EXPECT_FALSE(none.LoadFromFile(MString(m_dir)));
}

} // namespace
