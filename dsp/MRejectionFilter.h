#pragma once
// Streaming rejection filter: removes the frequencies where the response is 1 and keeps those
// where it is 0, by subtracting the block-filtered signal from the input.
//
// Samples go in with PutPoints in any batch size; filtered samples come out with GetPoints, on the
// input's own time stamps, about a quarter block plus up to one block later.
//
// Not thread-safe. The live filter is used only by the sample pipeline's listeners on the main
// thread.

#include "dsp/MFilterFFT.h"

#include <vector>

class MRejectionFilter : public MFilterFFT {
public:
    MRejectionFilter() = default;

    // Empties the response and the two values derived from it. Buffered samples stay.
    void Reset() { ClearResponse(); }
    void ClearResponse() override;
    // As MFilterFFT::AddResponsePoint; also tracks the lowest pass frequency and the smallest step
    // between response frequencies, which set the block length.
    bool AddResponsePoint(double gain, double frequency) override;

    // The live pipeline's response: gain 0 at 5 Hz rising to 1 at 20 Hz, so everything above
    // 20 Hz (noise, mains hum) is removed and the pulse wave below 5 Hz passes.
    void ConfigureLive();

    // Buffers n samples (times in seconds) and filters every complete block. Returns n; -1 and
    // nothing stored when n < 1, an array is missing or no response point has a positive gain;
    // -1 with the samples stored when their mean interval is below 1e-9 s.
    int PutPoints(const double* values, const double* times, int n);
    // Takes the n oldest output samples. -1 and nothing taken when fewer are held or an array is
    // missing.
    int GetPoints(double* values, double* times, int n);
    int OutputCount() const { return m_outputCount; }

    double LowestPassFrequency() const { return m_lowestPass; }
    double SmallestStep() const { return m_smallestStep; }

    // Block length and FFT size that PutPoints uses for a mean sample interval dt (seconds);
    // 0 when the response gives no block length.
    int BlockLength(double dt) const;
    static int FftSizeFor(int blockLength);

private:
    double ExactBlockLength(double dt) const;
    bool Reserve(std::vector<double>& a, std::vector<double>& b, int need);

    double m_lowestPass = 0;   // lowest frequency with gain > 0; 0 = none
    double m_smallestStep = 0; // smallest rise above the previous highest frequency; 0 = none

    // Received samples not yet output; the first m_processed went to the block filter already.
    std::vector<double> m_inValues, m_inTimes;
    int m_inputCount = 0;
    int m_processed = 0;
    int m_blockLength = 0; // in use; kept while the computed length stays within one sample of it
    // Rejected samples waiting for the owner.
    std::vector<double> m_outValues, m_outTimes;
    int m_outputCount = 0;
};
