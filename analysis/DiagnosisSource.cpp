#include "analysis/DiagnosisSource.h"

#include "analysis/DiagnoseManager.h"

#include <climits>
#include <set>
#include <vector>

namespace {

std::string_view TrimBlanks(std::string_view s) {
    const char* blanks = " \t\r";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    const size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// A diagnosis being read.
struct Pending {
    int line = 0;
    int32_t id = 0;
    MString name;
    std::string des;
    MVarArray limits;
    bool open = false;
};

class Parser {
public:
    Parser(MVarArray& database, DiagnosisSourceError& error) : m_database(database), m_error(error) {
        for (const char16_t* name : DiagnoseManager::kSchemaNames) m_schema.insert(std::u16string(name));
    }

    bool Run(std::string_view text) {
        if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
        int number = 0;
        while (!text.empty()) {
            const size_t eol = text.find('\n');
            const std::string_view line = text.substr(0, eol);
            text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
            ++number;
            if (!Line(TrimBlanks(line), number)) return false;
        }
        return Close();
    }

private:
    bool Fail(int line, std::string message) {
        m_error.line = line;
        m_error.message = std::move(message);
        return false;
    }

    bool Line(std::string_view line, int number) {
        if (line.empty() || line[0] == '#') return true;
        if (StartsWith(line, "diagnosis ") || line == "diagnosis") {
            if (!Close()) return false;
            const MString idText(TrimBlanks(line.substr(9)));
            if (!idText.IsIntegerText()) return Fail(number, "the id must be an integer");
            const int64_t id = idText.ToInt64();
            if (id <= 0 || id > INT32_MAX) return Fail(number, "the id must be a positive int32");
            if (!m_ids.insert(static_cast<int32_t>(id)).second) return Fail(number, "the id is used twice");
            m_pending = Pending();
            m_pending.line = number;
            m_pending.id = static_cast<int32_t>(id);
            m_pending.open = true;
            return true;
        }
        if (!m_pending.open) return Fail(number, "a statement before the first \"diagnosis\" line");
        if (StartsWith(line, "name:")) {
            if (!m_pending.name.IsEmpty()) return Fail(number, "a second name");
            m_pending.name = MString(TrimBlanks(line.substr(5)));
            if (m_pending.name.IsEmpty()) return Fail(number, "an empty name");
            return true;
        }
        if (StartsWith(line, "des:")) {
            const std::string_view part = TrimBlanks(line.substr(4));
            if (part.empty()) return Fail(number, "an empty description line");
            if (!m_pending.des.empty()) m_pending.des += ' ';
            m_pending.des += part;
            return true;
        }
        if (StartsWith(line, "limit:")) return Limit(line.substr(6), number);
        return Fail(number, "unknown statement (expected diagnosis, name:, des: or limit:)");
    }

    bool Limit(std::string_view text, int number) {
        std::vector<std::string_view> parts;
        for (;;) {
            const size_t bar = text.find('|');
            parts.push_back(TrimBlanks(text.substr(0, bar)));
            if (bar == std::string_view::npos) break;
            text.remove_prefix(bar + 1);
        }
        const MString parameter(parts[0]);
        if (!m_schema.count(parameter.Str()))
            return Fail(number, "\"" + parameter.ToUtf8() + "\" is not a matching parameter");
        if (m_pending.limits.Find(MVariant(parameter))) return Fail(number, "the parameter is limited twice");
        if (parts.size() < 2) return Fail(number, "a limit without a bound");
        MVariant low, high;
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string_view p = parts[i];
            const bool isMin = StartsWith(p, "min ");
            if (!isMin && !StartsWith(p, "max "))
                return Fail(number, "a bound must read \"min <value>\" or \"max <value>\"");
            const MString value(TrimBlanks(p.substr(4)));
            if (!value.IsDecimalText()) return Fail(number, "a bound must be a number");
            MVariant& bound = isMin ? low : high;
            if (!bound.IsEmpty())
                return Fail(number, isMin ? "a second lower bound" : "a second upper bound");
            bound.Assign(MVariant(value));
        }
        if (!low.IsEmpty() && !high.IsEmpty() && low.Greater(high))
            return Fail(number, "the lower bound exceeds the upper one");
        MVarArray& limit = m_pending.limits.Item(MVariant(parameter));
        if (!low.IsEmpty()) limit.Item(MVariant(u"Min")).Value().Assign(low);
        if (!high.IsEmpty()) limit.Item(MVariant(u"Max")).Value().Assign(high);
        return true;
    }

    // Ends the pending diagnosis (if any) and adds it to the database.
    bool Close() {
        if (!m_pending.open) return true;
        m_pending.open = false;
        if (m_pending.name.IsEmpty()) return Fail(m_pending.line, "the diagnosis has no name");
        if (m_pending.des.empty()) return Fail(m_pending.line, "the diagnosis has no description");
        if (m_pending.limits.Count() == 0) return Fail(m_pending.line, "the diagnosis has no limit");
        MVarArray& diagnosis = m_database.Item(MVariant(m_pending.id));
        diagnosis.Item(MVariant(u"Name")).Value().Assign(MVariant(m_pending.name));
        diagnosis.Item(MVariant(u"Des")).Value().Assign(MVariant(MString(m_pending.des)));
        m_pending.limits.CopyTo(diagnosis.Item(MVariant(u"Lim")));
        return true;
    }

    MVarArray& m_database;
    DiagnosisSourceError& m_error;
    std::set<std::u16string> m_schema;
    std::set<int32_t> m_ids;
    Pending m_pending;
};

} // namespace

bool ParseDiagnosisSource(std::string_view text, MVarArray& database, DiagnosisSourceError& error) {
    error = {};
    return Parser(database, error).Run(text);
}
