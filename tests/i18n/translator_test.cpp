#include "i18n/InterfaceTranslator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace {

TEST(InterfaceTranslatorTest, StartsUntranslatedAndRecordsNewTexts) {
    InterfaceTranslator t;
    EXPECT_TRUE(t.LanguageName().Equals(u"Untranslated"));
    EXPECT_TRUE(t.LanguageFile().IsEmpty());
    EXPECT_TRUE(t.Languages().empty());
    EXPECT_EQ(t.EntryCount(), 0);

    EXPECT_TRUE(t.Translate(u"Возраст, лет").Equals(u"Возраст, лет"));
    EXPECT_TRUE(t.Translate(u"Возраст, лет").Equals(u"Возраст, лет"));
    ASSERT_EQ(t.EntryCount(), 1); // the same text twice is one entry
    const InterfaceObject& e = t.Entry(0);
    EXPECT_TRUE(e.source.Equals(u"Возраст, лет"));
    EXPECT_TRUE(e.translation.IsEmpty());
    EXPECT_TRUE(e.description.IsEmpty() && e.context.IsEmpty() && e.owner.IsEmpty() && e.property.IsEmpty());
    EXPECT_EQ(e.flags, 0);
    EXPECT_EQ(e.kind, InterfaceTranslator::kRecordedText);

    EXPECT_TRUE(t.Translate(MString()).IsEmpty());
    EXPECT_EQ(t.EntryCount(), 1); // empty texts are not recorded
}

TEST(InterfaceTranslatorTest, TranslationsAndTheIgnoreMarker) {
    InterfaceTranslator t;
    t.Translate(u"НОВЫЙ ДИАГНОЗ");
    ASSERT_TRUE(t.SetTranslation(u"НОВЫЙ ДИАГНОЗ", u"NEW DIAGNOSIS"));
    ASSERT_TRUE(t.SetTranslation(u"<ЧСС(HR)>, уд/мин", InterfaceTranslator::kIgnore));
    EXPECT_FALSE(t.SetTranslation(MString(), u"x"));
    EXPECT_TRUE(t.Translate(u"НОВЫЙ ДИАГНОЗ").Equals(u"NEW DIAGNOSIS"));
    EXPECT_TRUE(t.Translate(u"<ЧСС(HR)>, уд/мин").Equals(u"<ЧСС(HR)>, уд/мин"));
    EXPECT_EQ(t.EntryCount(), 2);
}

TEST(InterfaceTranslatorTest, LookupFindsEveryRecordedText) {
    // Texts arrive in random order; the table stays sorted with one entry per text, and each
    // translation is found again whatever its place (first, last or between).
    InterfaceTranslator t;
    std::mt19937 rng(3);
    std::set<std::u16string> seen;
    for (int i = 0; i < 3000; ++i) {
        std::u16string text = u"param " + MString::FromInt(static_cast<int64_t>(rng() % 1000)).Str();
        t.Translate(MString(text));
        seen.insert(text);
        ASSERT_EQ(t.EntryCount(), static_cast<int>(seen.size()));
    }
    for (int i = 1; i < t.EntryCount(); ++i) ASSERT_LT(t.Entry(i - 1).source.Compare(t.Entry(i).source), 0);
    for (const auto& text : seen) t.SetTranslation(MString(text), MString(text + u" (en)"));
    EXPECT_EQ(t.EntryCount(), static_cast<int>(seen.size()));
    for (const auto& text : seen) EXPECT_TRUE(t.Translate(MString(text)).Equals((text + u" (en)").c_str()));
}

TEST(InterfaceTranslatorTest, OneProcessWideInstance) {
    InterfaceTranslator* a = InterfaceTranslator::Instance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(InterfaceTranslator::Instance(false), a);
    EXPECT_EQ(InterfaceTranslator::Instance(), a);
    int before = a->EntryCount();
    a->Translate(u"Автоматическая диагностика результатов не дала.");
    EXPECT_EQ(InterfaceTranslator::Instance()->EntryCount(), before + 1);
}

} // namespace
