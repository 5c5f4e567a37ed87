#pragma once
// Diagnosis database and matching. Each diagnosis has a name, a description and limits (a lower
// and/or upper bound for some of the 23 matching parameters); Diagnose proposes every diagnosis
// whose limits the current values satisfy.
//
// Database tree (a tree file on disk, *.ddb):
//   root
//     <int32 id: creation time, seconds since 1970>
//       "Name" = short name        "Des" = description
//       "Lim"
//         <parameter name>          (one of the schema names)
//           "Min" = bound          "Max" = bound   (int32 when whole, double otherwise;
//                                                   an empty value or none = no bound)
// Children stay sorted by key, so diagnoses are matched and listed in creation order.
//
// The shipped database "Diagnose.ddb" lies in the program's data folder, the user's version
// "User.ddb" in the per-user folder; a user entry replaces a shipped one with the same id.
// Main thread only.

#include "core/MVarArray.h"

#include <cstdint>

class MAssocStrings;

// Where the two databases live. Each folder ends with a separator; an empty folder is not used.
struct DiagnoseFolders {
    MString program; // holds kShippedDatabase
    MString user;    // holds kUserDatabase
};

inline constexpr char16_t kShippedDatabase[] = u"Diagnose.ddb";
inline constexpr char16_t kUserDatabase[] = u"User.ddb";

// <folder of the executable>/../share/corvina/ when that holds the shipped database (installed:
// <prefix>/bin/../share/corvina; build tree: <build>/bin/../share/corvina), otherwise the
// configured install folder <prefix>/share/corvina/. Ends with "/".
MString ProgramDataFolder();
// ProgramDataFolder() and PerUserFolder().
DiagnoseFolders DefaultDiagnoseFolders();

class DiagnoseManager {
public:
    // The 23 matching parameters, in creation order (the schema tree sorts them by name).
    static constexpr int kSchemaSize = 23;
    static const char16_t* const kSchemaNames[kSchemaSize];
    static constexpr char16_t kAgeParameter[] = u"Возраст, лет";
    static constexpr char16_t kNewName[] = u"НОВЫЙ ДИАГНОЗ";
    static constexpr char16_t kNoResult[] = u"Автоматическая диагностика результатов не дала.";

    // Builds the schema. Folders: DefaultDiagnoseFolders(), resolved on first use.
    DiagnoseManager();
    virtual ~DiagnoseManager() = default;
    DiagnoseManager(const DiagnoseManager&) = delete;
    DiagnoseManager& operator=(const DiagnoseManager&) = delete;

    // Empties the schema and creates the 23 parameters with the value "".
    virtual void BuildSchema();
    // False when the file does not exist. Otherwise loads it (a damaged file as far as it is
    // sound) and replaces or adds every diagnosis in it by id; true.
    virtual bool Import(const MString& path);
    // Writes the whole database as a tree file (packed when that is shorter). False when the
    // file cannot be created or written; an existing file is then left as it was.
    virtual bool Save(const MString& path) const;
    // A diagnosis with id = the current time (s since 1970) named "НОВЫЙ ДИАГНОЗ". Within the same
    // second the existing entry of that id is found and only its name reset.
    virtual int32_t AddNew();
    // False when id is not in the database. Otherwise sets name and description and replaces
    // the limits by a copy of `limits` (parameter name -> "Min" / "Max").
    virtual bool SetDiagnosis(int32_t id, const MString& name, const MString& description,
                              const MVarArray& limits);
    virtual void Delete(int32_t id);
    // For each schema parameter that is a row of `table` (a pulse index or variability table),
    // current value = a copy of the row's "Val".
    virtual void CopyValues(const MVarArray& table);
    // The proposal: "{Name} Des" per matching diagnosis, CR LF between them; kNoResult when none.
    virtual MString Diagnose() const;

    // Empties the database, then imports the shipped and the user's database, in that order.
    void LoadDatabase();
    // Saves the whole database (shipped entries included) as the user's database.
    bool SaveUserDatabase();
    // Current values from the record's age and the two tables. Null metadata: no age.
    void FillCurrentValues(const MAssocStrings* metadata, const MVarArray& pulseTable,
                           const MVarArray& variabilityTable);
    // Same from the program's open record, pulse index table and variability table.
    void FillCurrentValues();
    // LoadDatabase, FillCurrentValues (from the given sources), Diagnose.
    MString DiagnosisText(const MAssocStrings* metadata, const MVarArray& pulseTable,
                          const MVarArray& variabilityTable);
    MString DiagnosisText();

    // One bound typed into the editor's limits grid: when `text` is a decimal text ("1,5", "700"),
    // limits[parameter]["Max" when upper, else "Min"] = its value, stored as int32 when whole and
    // as double otherwise; true. Any other text is no bound: nothing changes, false.
    static bool AddLimitBound(MVarArray& limits, const MString& parameter, bool upper, const MString& text);

    void SetFolders(const DiagnoseFolders& folders);
    const DiagnoseFolders& Folders();

    // Seconds since 1970 for AddNew; the system time unless replaced (null restores it).
    using WallClock = int64_t (*)();
    void SetWallClock(WallClock clock) { m_wallClock = clock; }

    const MVarArray& Schema() const { return m_schema; }
    const MVarArray& Database() const { return m_database; }
    MVarArray& Database() { return m_database; }
    const MVarArray& CurrentValues() const { return m_current; }
    MVarArray& CurrentValues() { return m_current; }

private:
    MVarArray m_schema;
    MVarArray m_database;
    MVarArray m_current;
    DiagnoseFolders m_folders;
    bool m_foldersSet = false;
    WallClock m_wallClock = nullptr;
};

// The program's instance, made (with its schema) on first use when create is set; destroyed at
// program end. Main thread.
DiagnoseManager* GetDiagnoseManager(bool create = true);
