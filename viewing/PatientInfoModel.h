#pragma once
// The patient information form without a window: which metadata key each field shows, loading the
// fields from the current record and saving them back, and the text that says when the record was
// made. The form (viewing/ui/PatientFormUnit.h) only shows the texts and forwards the save button.
//
// The fields edit the record object's in-memory metadata. Loading opens the current record when
// the record object has nothing open (after a recording was stopped, say), so the fields never
// stand empty in front of stored data. Saving writes the metadata into the file at once when the
// record is open for reading (closing and reopening it), and says whether the file now holds the
// values; a record being written keeps them in memory until it is closed.
//
// Notes keep their line ends: CR LF in the file, LF in the editor.
//
// Main thread (the record object belongs to it).

#include "core/MString.h"

#include <array>
#include <cstdint>

class PGFiles;

inline constexpr int kPatientFieldCount = 6;
// Metadata keys and captions of the fields, in the form's order; the last one is the notes.
struct sPatientField {
    const char16_t* key;
    const char16_t* caption;
};
inline constexpr sPatientField kPatientFields[kPatientFieldCount] = {
    {u"PatName", u"ФИО"},       {u"PatAge", u"Возраст, лет"},       {u"PatHeight", u"Рост, см"},
    {u"PatWeight", u"Вес, кг"}, {u"PatPressure", u"АД, мм.рт.ст."}, {u"PatNotice", u"Примечания"},
};
inline constexpr int kPatientNoticeField = 5;
inline constexpr char16_t kRecordStartKey[] = u"RecordStartT";
inline constexpr char16_t kRecordTimePrefix[] = u"Время записи: ";
inline constexpr char16_t kPatientSaveCaption[] = u"Сохранить";
// Messages of the form.
inline constexpr char16_t kPatientNoRecordMessage[] =
    u"Запись не открывается, сведения о пациенте не сохранены.";
inline constexpr char16_t kPatientNotStoredMessage[] =
    u"Не удалось записать сведения о пациенте в файл записи (файл защищён от записи или недоступен).";

struct sPatientInfo {
    std::array<MString, kPatientFieldCount> fields; // as the editors show them
    MString timeText;                               // "Время записи: ..."
};

// The local date and time of a UTC time in seconds since 1970, by the time-zone rules in force at
// that date, as the Russian short date and long time: "01.01.2020 2:00:00". Empty when the time
// cannot be represented.
MString LocalRecordTime(int64_t utcSeconds);

// Notes from the file for the editor (CR LF and lone CR become LF), and back (every line end
// becomes CR LF).
MString NoticeForEditor(const MString& stored);
MString NoticeForFile(const MString& edited);

// Fills `out` from the record's metadata, opening currentPath first when the record object has no
// file open. Reading a key adds it with an empty value when missing (so the keys are stored at the
// next close). False (and empty fields and time) when no record is open and currentPath cannot be
// opened.
bool LoadPatientInfo(PGFiles& record, const MString& currentPath, sPatientInfo& out);

enum class PatientSaveResult {
    kSaved,     // in the file (or, for a record being written, in its metadata until it closes)
    kNoRecord,  // nothing open and currentPath cannot be opened
    kNotStored, // the file does not hold the values (it cannot be written)
};
// Stores the field texts unchanged (blanks too) under their keys; see the header for when they
// reach the file.
PatientSaveResult SavePatientInfo(PGFiles& record, const MString& currentPath, const sPatientInfo& info);
