#pragma once
// Pulse wave contour indexes: five markers B1 ... B5 placed by the user on one pulse wave (foot,
// systolic peak, incisura, dicrotic peak, next foot) give a table of amplitude, time and index
// parameters (ParamTable.h). There is no automatic placement and no averaging over beats.
//
// The pulse index window moves the markers (time on the record's axis, amplitude the wave's
// value there) and recomputes on every mouse release; the diagnosis and the report read the table.
// Main thread only.

#include "core/DecimalSeparator.h"
#include "core/MVarArray.h"

class MAssocStrings;

// One marker: its time (s, record time) and the pulse-wave value there (signal units).
struct sPulseMarker {
    double t = 0;
    double a = 0;
};

class PulseIndexes {
public:
    static constexpr int kMarkerCount = 5;
    // The stiffness index cell when the patient's height is unknown.
    static constexpr char16_t kAskHeight[] = u"Рост пациента?";

    // The decimal separator starts as the user's locale's (LocaleDecimalSeparator).
    PulseIndexes();

    // Marker k = 0 ... 4 is B1 ... B5; other k are ignored (a zero marker is returned).
    void SetMarker(int k, double t, double a);
    sPulseMarker Marker(int k) const;
    // Every marker back to time 0 (and amplitude 0): the table computes empty until they are placed.
    void ClearMarkers();

    // Empties the table, then fills it when B1 < B2 < B3 < B4 < B5 in time. heightMetres <= 0
    // means unknown (the stiffness index then asks for the height).
    void ComputePulseIndexes(double heightMetres);
    // Same, with the height read from the record metadata "PatHeight" (centimetres).
    void ComputePulseIndexes(const MAssocStrings& metadata);
    void ClearTable() { m_table.Clear(); }
    const MVarArray& Table() const { return m_table; }

    // Separator of the three-decimal values ("," in the Russian setting, "." in the C locale).
    void SetDecimalSeparator(char16_t separator) { m_separator = separator; }
    char16_t DecimalSeparator() const { return m_separator; }

private:
    sPulseMarker m_markers[kMarkerCount];
    MVarArray m_table;
    char16_t m_separator;
};

// v rounded to three significant digits, written with exactly three decimals and the given
// separator: 0.8125 -> "0,813", 1.2345 -> "1,230", 12.345 -> "12,300". Halves round away from zero.
// A value that is not a finite number is written as the variant writes it ("nan", "inf").
MString FormatFixed3(double v, char16_t separator);

// Metadata "PatHeight" (centimetres, read leniently: no digit gives 0) in metres. Reading does
// not add the entry to the metadata.
double PatientHeightMetres(const MAssocStrings& metadata);

// The program's table and markers, made on first use when create is set; destroyed at program end.
PulseIndexes* GetPulseIndexes(bool create = true);
