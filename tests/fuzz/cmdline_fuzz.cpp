// The command line from outside: the input is parsed as UTF-8 text (and, when its first byte is
// odd, as UTF-16 code units). Parsing must never crash, and what it derives must keep its rules:
// an unattended run names a ".pwv" record and the ".txt" export beside it, the stored export rate
// lies within its limits, the stored delimiter is never empty, and parsing is repeatable.

#include "app/CmdLineParser.h"
#include "app/TextExport.h"
#include "core/MVarArray.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void ParseAndCheck(const MString& line) {
    static cCmdLineParser parser; // reused: Parse starts from scratch each time
    MVarArray settings;
    parser.Parse(line, &settings);

    if (parser.Unattended) {
        Check(parser.RecordFileName.EndsWith(u".pwv"));
        Check(parser.ExportFileName.EndsWith(u".txt"));
        Check(parser.ExportFileName.Length() == parser.RecordFileName.Length());
        Check(parser.RecordFileName.Substr(0, parser.RecordFileName.Length() - 4)
                  .Equals(parser.ExportFileName.Substr(0, parser.ExportFileName.Length() - 4)) ||
              parser.RecordFileName.Length() == 4);
        Check(settings.Find(MVariant(kExportPulseKey))->Value().AsInt() == 1);
        Check(settings.Find(MVariant(kExportRRKey))->Value().AsInt() == 1);
    } else if (parser.Count() > 0) {
        Check(parser.RecordFileName.IsEmpty());
    } else if (!parser.RecordFileName.IsEmpty()) {
        Check(parser.RecordFileName.Equals(line));
        Check(line.Find(u".pwv") > cCmdLineParser::kBarePathMinIndex);
    }
    if (const MVarArray* rate = settings.Find(MVariant(kExportSampleFKey))) {
        Check(rate->Value().GetType() == MVariant::kInt);
        Check(rate->Value().AsInt() >= kExportMinRate && rate->Value().AsInt() <= kExportMaxRate);
    }
    if (const MVarArray* d = settings.Find(MVariant(kExportDelimiterKey)))
        Check(!d->Value().AsString().IsEmpty());
    Check(parser.Duration >= INT32_MIN + cCmdLineParser::kDurationExtra);
    Check(parser.Help == parser.Has(cCmdLineParser::kHelp));

    // The same line gives the same result.
    const bool unattended = parser.Unattended;
    const MString record = parser.RecordFileName;
    const int32_t duration = parser.Duration;
    const int count = parser.Count();
    MVarArray again;
    parser.Parse(line, &again);
    Check(parser.Unattended == unattended && parser.RecordFileName.Equals(record) &&
          parser.Duration == duration && parser.Count() == count && again.Count() == settings.Count());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ParseAndCheck(MString(bytes));
    if (size > 0 && (data[0] & 1)) {
        std::u16string units;
        for (size_t i = 1; i + 1 < size; i += 2) units.push_back(char16_t(data[i] | data[i + 1] << 8));
        ParseAndCheck(MString(std::move(units)));
    }
    return 0;
}
