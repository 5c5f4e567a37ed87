#include "viewing/PatientInfoModel.h"

#include "storage/PGFiles.h"

#include <cstdio>
#include <ctime>

namespace {

bool OpenIfClosed(PGFiles& record, const MString& currentPath) {
    if (record.IsOpen()) return true;
    return !currentPath.IsEmpty() && record.Open(currentPath);
}

} // namespace

MString LocalRecordTime(int64_t utcSeconds) {
    const time_t t = static_cast<time_t>(utcSeconds);
    if (static_cast<int64_t>(t) != utcSeconds) return {};
    struct tm local {};
    // localtime_r applies the rules of the zone at that date (daylight saving included).
    if (!localtime_r(&t, &local)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return MString(text);
}

MString NoticeForEditor(const MString& stored) {
    std::u16string out;
    const std::u16string& s = stored.Str();
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == u'\r') {
            if (i + 1 < s.size() && s[i + 1] == u'\n') ++i;
            out += u'\n';
        } else {
            out += s[i];
        }
    }
    return MString(std::move(out));
}

MString NoticeForFile(const MString& edited) {
    // First to LF alone, so that a CR LF already there does not double.
    const std::u16string s = NoticeForEditor(edited).Str();
    std::u16string out;
    out.reserve(s.size() + s.size() / 16);
    for (char16_t c : s) {
        if (c == u'\n') out += u'\r';
        out += c;
    }
    return MString(std::move(out));
}

bool LoadPatientInfo(PGFiles& record, const MString& currentPath, sPatientInfo& out) {
    out = sPatientInfo{};
    if (!OpenIfClosed(record, currentPath)) return false;
    for (int i = 0; i < kPatientFieldCount; ++i) {
        const MString& value = record.Metadata.Value(MString(kPatientFields[i].key));
        out.fields[size_t(i)] = i == kPatientNoticeField ? NoticeForEditor(value) : value;
    }
    const int64_t start = record.Metadata.Value(MString(kRecordStartKey)).ToInt64();
    out.timeText = MString(kRecordTimePrefix) + LocalRecordTime(start);
    return true;
}

PatientSaveResult SavePatientInfo(PGFiles& record, const MString& currentPath, const sPatientInfo& info) {
    if (!OpenIfClosed(record, currentPath)) return PatientSaveResult::kNoRecord;
    auto stored = [&](int i) {
        return i == kPatientNoticeField ? NoticeForFile(info.fields[size_t(i)]) : info.fields[size_t(i)];
    };
    for (int i = 0; i < kPatientFieldCount; ++i)
        record.Metadata.Value(MString(kPatientFields[i].key)) = stored(i);
    if (record.IsWriting()) return PatientSaveResult::kSaved;

    // Closing stores the metadata; reading it back tells whether the file took it.
    const MString path = record.Path();
    record.Close();
    if (!record.Open(path)) return PatientSaveResult::kNotStored;
    for (int i = 0; i < kPatientFieldCount; ++i)
        if (!record.Metadata.Value(MString(kPatientFields[i].key)).Equals(stored(i)))
            return PatientSaveResult::kNotStored;
    return PatientSaveResult::kSaved;
}
