#pragma once
// Beat series loader: reads the heart-rate entries of an open record back, drops artefacts and
// fills a VariabilityCore. The variability window and the text export call it before computing
// a fragment; the fragment is applied afterwards as an index range of the series.
// Main thread (it reads the record object, which belongs to the main thread).

class PGFiles;
class VariabilityCore;

// Artefact filter of the loader: a running average a of the heart rate (a = 0.9 a + 0.1 x once
// started, else x) that has absorbed x must lie within 30 % of x for x to be kept. Rejected
// entries still move the average.
class BeatArtefactFilter {
public:
    static constexpr double kMaxDeviation = 0.3;

    // True when the entry x (beats per minute) is accepted.
    bool Accept(double x);
    void Reset() { m_average = 0; }
    double Average() const { return m_average; }

private:
    double m_average = 0;
};

// Empties the core's series, then reads every heart-rate entry of the record from its start
// (without the isoline warm-up, so that none is passed over), 100 at a time, and adds each
// accepted one. Reports nothing: a record without entries leaves the core empty. Returns the
// number of beats added.
int LoadFragmentBeats(VariabilityCore& core, PGFiles& record);
