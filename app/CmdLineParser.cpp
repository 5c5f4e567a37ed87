#include "app/CmdLineParser.h"

#include "app/Settings.h"
#include "app/TextExport.h"

#include <algorithm>
#include <climits>

namespace {

constexpr char16_t kPwv[] = u".pwv";

int32_t SaturatingAdd(int32_t a, int32_t b) {
    const int64_t sum = static_cast<int64_t>(a) + b;
    return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

void StoreSetting(MVarArray* settings, const char16_t* key, const MVariant& value) {
    if (settings) settings->Item(MVariant(key)).Value() = value;
}

} // namespace

MString CmdLineRecordPath(const MString& outFile) {
    const size_t dot = outFile.Str().rfind(u'.');
    const bool isPwv = dot != std::u16string::npos && outFile.View().substr(dot + 1) == u"pwv";
    return isPwv ? outFile : outFile + MString(kPwv);
}

MString CmdLineExportPath(const MString& recordPath) {
    const size_t at = recordPath.Str().rfind(kPwv);
    if (at == std::u16string::npos) return recordPath + u".txt";
    std::u16string path = recordPath.Str();
    path.replace(at, 4, u".txt");
    return MString(std::move(path));
}

MString CmdLineDelimiter(const MString& text) {
    MString d = text;
    d.Replace(u"n", u"\r\n", false);
    d.Replace(u"s", u" ", false);
    d.Replace(u"t", u"\t", false);
    if (d.IsEmpty()) d = u" ";
    return d;
}

bool cCmdLineParser::Has(const char16_t* name) const {
    return IndexOf(MVariant(name)) >= 0;
}

MString cCmdLineParser::Text(const char16_t* name) const {
    const MVarArray* option = Find(MVariant(name));
    return option ? option->Value().AsString() : MString();
}

void cCmdLineParser::Parse(const MString& line, MVarArray* settings) {
    Clear();
    Value().Clear();
    RecordFileName.Clear();
    ExportFileName.Clear();
    Minimize = Unattended = Help = KeepPower = Headless = Simulate = false;
    Duration = kDefaultDuration;

    // Each step moves on by the option's length plus the two dashes, from where the scan started
    // (not from where the option was found), so text before the first "--" makes the scan meet
    // the same option again; storing it again changes nothing, so those rounds are skipped, which
    // keeps a long line linear.
    const std::u16string_view text = line.View();
    size_t pos = 0;
    for (;;) {
        const size_t open = text.find(u"--", pos);
        if (open == std::u16string_view::npos) break;
        const size_t start = open + 2;
        const size_t close = text.find(u"--", start);
        const size_t length = (close == std::u16string_view::npos ? text.size() : close) - start;
        if (length == 0) break;
        const std::u16string_view option = text.substr(start, length);
        const size_t eq = option.find(u'=');
        MString name(option.substr(0, eq));
        MString value(eq == std::u16string_view::npos ? std::u16string_view() : option.substr(eq + 1));
        name.Trim();
        value.Trim();
        // Values are stored narrowed, except a file name: a record named 007 is not the number 7.
        const bool fileName = name.View() == kOutFile;
        MVariant& stored = Item(MVariant(std::move(name))).Value();
        if (fileName)
            stored.CopyFrom(MVariant(std::move(value)));
        else
            stored = MVariant(std::move(value));
        const size_t step = length + 2;
        pos += ((open - pos) / step + 1) * step;
    }

    if (Count() == 0) {
        if (line.Find(kPwv) > kBarePathMinIndex) RecordFileName = line;
        return;
    }

    Help = Has(kHelp);
    KeepPower = Has(kKeepPowerOn);
    Minimize = Has(kMinimize);
    Headless = Has(kHeadless);
    Simulate = Has(kSimulate);
    if (Has(kOutFile)) {
        RecordFileName = CmdLineRecordPath(Text(kOutFile));
        ExportFileName = CmdLineExportPath(RecordFileName);
        StoreSetting(settings, kExportPulseKey, MVariant(int32_t{1}));
        StoreSetting(settings, kExportRRKey, MVariant(int32_t{1}));
        Unattended = true;
    }
    if (const MVarArray* o = Find(MVariant(kDuration)))
        Duration = SaturatingAdd(o->Value().AsInt(), kDurationExtra);
    if (const MVarArray* o = Find(MVariant(kExportSampleRate))) {
        const int32_t rate = std::clamp<int32_t>(o->Value().AsInt(), kExportMinRate, kExportMaxRate);
        StoreSetting(settings, kExportSampleFKey, MVariant(rate));
    }
    if (const MVarArray* o = Find(MVariant(kExportDelimiter)))
        StoreSetting(settings, kExportDelimiterKey, MVariant(CmdLineDelimiter(o->Value().AsString())));
    if (const MVarArray* o = Find(MVariant(kUpdateList)))
        StoreSetting(settings, kUpdateListAddressKey, MVariant(o->Value().AsString()));
}
