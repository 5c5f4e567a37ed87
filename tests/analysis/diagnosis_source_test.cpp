#include "analysis/DiagnosisSource.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kGood[] = "\xEF\xBB\xBF# comment\r\n"
                     "diagnosis 10\r\n"
                     "name: Первый\r\n"
                     "des: строка один,\r\n"
                     "des:   строка два\r\n"
                     "limit: ИН(SI), о.е. | min 50 | max 150\r\n"
                     "limit: MxRMn | max 1,5\r\n"
                     "\n"
                     "diagnosis 5\n"
                     "name: Второй\n"
                     "des: d\n"
                     "limit: ИО, (B4-B5)/(B2-B1)*100% | min 0.5\n";

const MVariant& Bound(const MVarArray& db, int32_t id, const char16_t* parameter, const char16_t* which) {
    return db.Find(MVariant(id))
        ->Find(MVariant(u"Lim"))
        ->Find(MVariant(parameter))
        ->Find(MVariant(which))
        ->Value();
}

} // namespace

TEST(DiagnosisSource, ReadsDiagnosesWithTheirLimits) {
    MVarArray db;
    DiagnosisSourceError error;
    ASSERT_TRUE(ParseDiagnosisSource(kGood, db, error)) << error.line << ": " << error.message;
    ASSERT_EQ(db.Count(), 2);
    EXPECT_EQ(db.Child(0).Key().AsInt(), 5); // sorted by id
    const MVarArray* first = db.Find(MVariant(int32_t(10)));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Find(MVariant(u"Name"))->Value().AsString().Str(), u"Первый");
    EXPECT_EQ(first->Find(MVariant(u"Des"))->Value().AsString().Str(), u"строка один, строка два");
    EXPECT_EQ(Bound(db, 10, u"ИН(SI), о.е.", u"Min").GetType(), MVariant::kInt);
    EXPECT_EQ(Bound(db, 10, u"ИН(SI), о.е.", u"Max").AsInt(), 150);
    EXPECT_EQ(Bound(db, 10, u"MxRMn", u"Max").GetType(), MVariant::kDouble);
    EXPECT_EQ(Bound(db, 10, u"MxRMn", u"Max").AsDouble(), 1.5);
    EXPECT_EQ(first->Find(MVariant(u"Lim"))->Find(MVariant(u"MxRMn"))->Find(MVariant(u"Min")), nullptr);
    EXPECT_EQ(Bound(db, 5, u"ИО, (B4-B5)/(B2-B1)*100%", u"Min").AsDouble(), 0.5);
}

TEST(DiagnosisSource, ReportsTheFirstErrorWithItsLine) {
    struct Case {
        const char* text;
        int line;
    };
    const Case cases[] = {
        {"name: x\n", 1},
        {"diagnosis abc\n", 1},
        {"diagnosis 0\n", 1},
        {"diagnosis 3000000000\n", 1},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo | min 1\ndiagnosis 1\n", 5},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Нет такого | min 1\n", 4},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo\n", 4},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo | min x\n", 4},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo | at 1\n", 4},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo | min 2 | max 1\n", 4},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo | min 1 | min 2\n", 4},
        {"diagnosis 1\nname: a\ndes: b\nlimit: Amo | min 1\nlimit: Amo | max 2\n", 5},
        {"diagnosis 1\nname: a\ndes: b\n", 1},             // no limit
        {"diagnosis 1\ndes: b\nlimit: Amo | min 1\n", 1},  // no name
        {"diagnosis 1\nname: a\nlimit: Amo | min 1\n", 1}, // no description
        {"diagnosis 1\nname: a\nname: b\n", 3},
        {"diagnosis 1\nnome: a\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MVarArray db;
        DiagnosisSourceError error;
        EXPECT_FALSE(ParseDiagnosisSource(c.text, db, error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_FALSE(error.message.empty());
    }
}
