#include "analysis/DiagnoseManager.h"

#include "analysis/ParamTable.h"
#include "analysis/PulseIndexes.h"
#include "analysis/VariabilityCore.h"
#include "core/FileUtils.h"
#include "i18n/InterfaceTranslator.h"
#include "storage/MAssocStrings.h"
#include "storage/PGFiles.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>

#ifndef CORVINA_DATA_DIR
#define CORVINA_DATA_DIR "/usr/local/share/corvina"
#endif

namespace {

MString Tr(const char16_t* text) {
    return InterfaceTranslator::Instance()->Translate(MString(text));
}

// "Written as text, empty": what the variant's text form would say, without building the text.
bool IsEmptyText(const MVariant& v) {
    if (v.IsEmpty()) return true;
    if (const MString* s = v.StringPtr()) return s->IsEmpty();
    return false; // numbers, blobs and compact integers always have a text
}

MString WithSeparator(MString folder) {
    if (!folder.IsEmpty() && folder[folder.Length() - 1] != u'/') folder += u'/';
    return folder;
}

int64_t SystemTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

// Text of a metadata entry without adding it to the metadata (which would make the record
// rewrite its metadata when it is closed).
MString MetadataText(const MAssocStrings& metadata, const char16_t* key) {
    for (int i = 0; i < metadata.Count(); ++i)
        if (metadata.At(i).key.Equals(key)) return metadata.At(i).value;
    return {};
}

// Child keys of a diagnosis and of a limited parameter.
struct Keys {
    MVariant name{u"Name"}, des{u"Des"}, lim{u"Lim"}, min{u"Min"}, max{u"Max"}, val{kValKey};
};
const Keys& K() {
    static const Keys keys;
    return keys;
}

} // namespace

const char16_t* const DiagnoseManager::kSchemaNames[kSchemaSize] = {
    u"Возраст, лет",
    u"ИЖ, м/с",
    u"ИО, (B4-B5)/(B2-B1)*100%",
    u"ИДВ=(В3-В5)/(В2-В1)*100%",
    u"ДПВ=В5-В1, c",
    u"ИВВ=(В2-В1)/(В5-В1)*100%",
    u"<ЧСС(HR)>, уд/мин",
    u"СКО(SDNN), мс",
    u"КВ(CV), %",
    u"RMSSD, мс",
    u"PNN50, %",
    u"Amo",
    u"Mo, мс",
    u"MxDMn, мс",
    u"MxRMn",
    u"ИН(SI), о.е.",
    u"ИВВ=LF/HF",
    u"ИЦ(IC)=(VLF+LF)/HF",
    u"TP, мс^2",
    u"HF, %",
    u"LF, %",
    u"VLF, %",
    u"ULF, %",
};

MString ProgramDataFolder() {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            const std::string candidate = path.substr(0, slash) + "/../share/corvina";
            if (char* real = ::realpath(candidate.c_str(), nullptr)) {
                MString folder = MString(std::string(real)) + MString(u"/");
                std::free(real);
                if (FileExists(folder)) return folder;
            }
        }
    }
    return WithSeparator(MString(CORVINA_DATA_DIR));
}

DiagnoseFolders DefaultDiagnoseFolders() {
    return {ProgramDataFolder(), PerUserFolder()};
}

DiagnoseManager::DiagnoseManager() {
    BuildSchema();
}

void DiagnoseManager::BuildSchema() {
    m_schema.Clear();
    for (const char16_t* name : kSchemaNames) m_schema.Item(MVariant(Tr(name))).Value().Assign(MVariant(u""));
}

bool DiagnoseManager::Import(const MString& path) {
    if (!FileExists(path)) return false;
    MVarArray file;
    file.LoadFromFile(path); // a damaged file keeps what could be read
    for (int i = 0; i < file.Count(); ++i) {
        const MVarArray& diagnosis = file.Child(i);
        diagnosis.CopyTo(m_database.Item(diagnosis.Key()));
    }
    return true;
}

bool DiagnoseManager::Save(const MString& path) const {
    return m_database.SaveToFile(path);
}

int32_t DiagnoseManager::AddNew() {
    const int64_t now = m_wallClock ? m_wallClock() : SystemTime();
    const auto id = static_cast<int32_t>(now);
    m_database.Item(MVariant(id)).Item(K().name).Value().Assign(MVariant(Tr(kNewName)));
    return id;
}

bool DiagnoseManager::SetDiagnosis(int32_t id, const MString& name, const MString& description,
                                   const MVarArray& limits) {
    MVarArray* diagnosis = m_database.Find(MVariant(id));
    if (!diagnosis) return false;
    diagnosis->Item(K().name).Value().Assign(MVariant(name));
    diagnosis->Item(K().des).Value().Assign(MVariant(description));
    limits.CopyTo(diagnosis->Item(K().lim));
    return true;
}

void DiagnoseManager::Delete(int32_t id) {
    const int i = m_database.IndexOf(MVariant(id), false);
    if (i >= 0) m_database.Delete(i);
}

void DiagnoseManager::CopyValues(const MVarArray& table) {
    for (int i = 0; i < m_schema.Count(); ++i) {
        const MVariant& name = m_schema.Child(i).Key();
        const MVarArray* row = table.Find(name);
        if (!row) continue;
        MVarArray& target = m_current.Item(name);
        if (const MVarArray* val = row->Find(K().val))
            val->CopyTo(target);
        else
            MVarArray().CopyTo(target);
    }
}

MString DiagnoseManager::Diagnose() const {
    MString text;
    bool any = false;
    for (int i = 0; i < m_database.Count(); ++i) {
        const MVarArray& diagnosis = m_database.Child(i);
        const MVarArray* limits = diagnosis.Find(K().lim);
        if (!limits || limits->Count() == 0) continue;
        bool match = true;
        for (int j = 0; j < limits->Count() && match; ++j) {
            const MVarArray& limit = limits->Child(j);
            const MVarArray* current = m_current.Find(limit.Key());
            if (!current || IsEmptyText(current->Value())) {
                match = false;
                break;
            }
            const MVariant& value = current->Value();
            const MVarArray* low = limit.Find(K().min);
            if (low && !IsEmptyText(low->Value()) && !value.GreaterOrEqual(low->Value())) match = false;
            const MVarArray* high = limit.Find(K().max);
            if (match && high && !IsEmptyText(high->Value()) && !value.LessOrEqual(high->Value()))
                match = false;
        }
        if (!match) continue;
        const MVarArray* name = diagnosis.Find(K().name);
        const MVarArray* des = diagnosis.Find(K().des);
        text += MString(any ? u"\r\n{" : u"{");
        if (name) text += name->Value().AsString();
        text += MString(u"} ");
        if (des) text += des->Value().AsString();
        any = true;
    }
    return any ? text : Tr(kNoResult);
}

void DiagnoseManager::LoadDatabase() {
    m_database.Clear();
    const DiagnoseFolders& folders = Folders();
    if (!folders.program.IsEmpty()) Import(folders.program + MString(kShippedDatabase));
    if (!folders.user.IsEmpty()) Import(folders.user + MString(kUserDatabase));
}

bool DiagnoseManager::SaveUserDatabase() {
    const MString& user = Folders().user;
    if (user.IsEmpty()) return false;
    return Save(user + MString(kUserDatabase));
}

void DiagnoseManager::FillCurrentValues(const MAssocStrings* metadata, const MVarArray& pulseTable,
                                        const MVarArray& variabilityTable) {
    m_current.Clear();
    const MString age = metadata ? MetadataText(*metadata, u"PatAge") : MString();
    m_current.Item(MVariant(Tr(kAgeParameter))).Value().Assign(MVariant(age));
    CopyValues(pulseTable);
    CopyValues(variabilityTable);
}

void DiagnoseManager::FillCurrentValues() {
    const PGFiles* record = GetPGFiles(false);
    FillCurrentValues(record ? &record->Metadata : nullptr, GetPulseIndexes()->Table(),
                      GetVariabilityCore()->Table());
}

MString DiagnoseManager::DiagnosisText(const MAssocStrings* metadata, const MVarArray& pulseTable,
                                       const MVarArray& variabilityTable) {
    LoadDatabase();
    FillCurrentValues(metadata, pulseTable, variabilityTable);
    return Diagnose();
}

MString DiagnoseManager::DiagnosisText() {
    LoadDatabase();
    FillCurrentValues();
    return Diagnose();
}

bool DiagnoseManager::AddLimitBound(MVarArray& limits, const MString& parameter, bool upper,
                                    const MString& text) {
    if (!text.IsDecimalText()) return false;
    MVarArray& bounds = limits.Item(MVariant(parameter));
    bounds.Item(upper ? K().max : K().min).Value().Assign(MVariant(text.ToDouble()));
    return true;
}

void DiagnoseManager::SetFolders(const DiagnoseFolders& folders) {
    m_folders = {WithSeparator(folders.program), WithSeparator(folders.user)};
    m_foldersSet = true;
}

const DiagnoseFolders& DiagnoseManager::Folders() {
    if (!m_foldersSet) SetFolders(DefaultDiagnoseFolders());
    return m_folders;
}

DiagnoseManager* GetDiagnoseManager(bool create) {
    static std::unique_ptr<DiagnoseManager> instance;
    if (!instance && create) instance = std::make_unique<DiagnoseManager>();
    return instance.get();
}
