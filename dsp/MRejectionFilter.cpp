#include "dsp/MRejectionFilter.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

namespace {
// Longest block PutPoints filters (about 2.3 h at 500 samples per second); keeps the block length
// and the FFT size within int for absurd responses or sample intervals.
constexpr int kMaxBlockLength = 1 << 22;
} // namespace

void MRejectionFilter::ClearResponse() {
    MFilterFFT::ClearResponse();
    m_lowestPass = 0;
    m_smallestStep = 0;
    m_blockLength = 0;
}

bool MRejectionFilter::AddResponsePoint(double gain, double frequency) {
    const int n = ResponseCount();
    const double highest = n > 0 ? Response()[n - 1].frequency : 0.0;
    if (!MFilterFFT::AddResponsePoint(gain, frequency)) return false;
    const double step = frequency - highest;
    if (step > 0 && (step < m_smallestStep || m_smallestStep == 0)) m_smallestStep = step;
    if (gain > 0 && (frequency < m_lowestPass || m_lowestPass == 0)) m_lowestPass = frequency;
    m_blockLength = 0; // recomputed for the new response
    return true;
}

void MRejectionFilter::ConfigureLive() {
    Reset();
    AddResponsePoint(0.0, 5.0);
    AddResponsePoint(1.0, 20.0);
}

double MRejectionFilter::ExactBlockLength(double dt) const {
    double fmin = m_lowestPass;
    if (m_smallestStep > 0 && m_smallestStep < fmin) fmin = m_smallestStep;
    if (!(fmin > 0) || !(dt > 0)) return 0;
    return 1.0 / (fmin * dt * 0.5);
}

int MRejectionFilter::BlockLength(double dt) const {
    const double b = ExactBlockLength(dt);
    if (b == 0) return 0;
    if (!(b < kMaxBlockLength)) return kMaxBlockLength; // also NaN
    return std::max(8, static_cast<int>(b));
}

int MRejectionFilter::FftSizeFor(int blockLength) {
    const int n0 = blockLength < 512 ? 2 * blockLength : blockLength;
    int n = 1;
    while (n <= n0) n <<= 1; // the next power of two above n0
    return n;
}

bool MRejectionFilter::Reserve(std::vector<double>& a, std::vector<double>& b, int need) {
    if (need <= static_cast<int>(a.size())) return true;
    // Geometric growth keeps feeding one sample at a time linear.
    const size_t size = std::max(static_cast<size_t>(need) + 10, a.size() + a.size() / 2);
    try {
        a.resize(size);
        b.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int MRejectionFilter::PutPoints(const double* values, const double* times, int n) {
    if (!values || !times || n < 1 || !(m_lowestPass > 0)) return -1;
    if (n > INT_MAX - 16 - m_inputCount) return -1;
    if (!Reserve(m_inValues, m_inTimes, m_inputCount + n)) return -1;
    std::memcpy(m_inValues.data() + m_inputCount, values, static_cast<size_t>(n) * sizeof(double));
    std::memcpy(m_inTimes.data() + m_inputCount, times, static_cast<size_t>(n) * sizeof(double));
    m_inputCount += n;
    if (m_inputCount < 2) return n;

    const double dt = (m_inTimes[m_inputCount - 1] - m_inTimes[0]) / (m_inputCount - 1);
    if (!(dt >= 1e-9)) return -1;
    // The block length follows the sample interval, but jitter of the interval (rounding, data
    // clock corrections) must not flip it between neighbouring values: each change of length
    // shifts the block grid by a sample and leaves a gap or a repeat in the filtered series.
    const double exact = ExactBlockLength(dt);
    if (m_blockLength == 0 || std::fabs(exact - m_blockLength) >= 1.0) m_blockLength = BlockLength(dt);
    const int B = m_blockLength;
    const int N = FftSizeFor(B);

    while (m_inputCount - m_processed >= B) {
        if (!ProcessBlock(m_inValues.data() + m_processed, m_inTimes.data() + m_processed, 0.5, N, B)) break;
        m_processed += B;

        const int ready = OutputReady();
        if (ready <= 2 || m_inputCount <= 2) continue;

        // Subtract the filtered signal, interpolated at each input time, from the inputs it covers.
        if (!Reserve(m_outValues, m_outTimes, m_outputCount + m_inputCount)) break;
        const double* ft = OutputTimes();
        const double* fv = OutputValues();
        double* ov = m_outValues.data() + m_outputCount;
        double* ot = m_outTimes.data() + m_outputCount;
        int i = 1;
        int j = 0;
        for (; j < m_inputCount; ++j) {
            const double t = m_inTimes[j];
            while (i < ready && ft[i] < t) ++i;
            if (i >= ready) break;
            // Before the first filtered sample (the first quarter block of a stream) hold its value:
            // a line through two samples of the removed band, stretched over many samples, would
            // add a ramp as large as the pulse itself.
            double f = fv[0];
            if (t >= ft[0]) {
                const double w = ft[i] - ft[i - 1];
                f = w > 0 ? fv[i - 1] + (fv[i] - fv[i - 1]) * (t - ft[i - 1]) / w : fv[i];
            }
            ov[j] = m_inValues[j] - f;
            ot[j] = t;
        }
        m_outputCount += j;
        // Keep the last filtered sample passed over: the next input may lie before the next
        // filtered sample and needs it to interpolate.
        RemoveOutput(i - 1);
        if (j > 0) {
            const size_t keep = static_cast<size_t>(m_inputCount - j);
            std::memmove(m_inValues.data(), m_inValues.data() + j, keep * sizeof(double));
            std::memmove(m_inTimes.data(), m_inTimes.data() + j, keep * sizeof(double));
            m_inputCount -= j;
        }
        m_processed = std::clamp(m_processed - j, 0, m_inputCount);
    }
    return n;
}

int MRejectionFilter::GetPoints(double* values, double* times, int n) {
    if (!values || !times || n < 0 || n > m_outputCount) return -1;
    if (n == 0) return 0;
    std::memcpy(values, m_outValues.data(), static_cast<size_t>(n) * sizeof(double));
    std::memcpy(times, m_outTimes.data(), static_cast<size_t>(n) * sizeof(double));
    const size_t keep = static_cast<size_t>(m_outputCount - n);
    std::memmove(m_outValues.data(), m_outValues.data() + n, keep * sizeof(double));
    std::memmove(m_outTimes.data(), m_outTimes.data() + n, keep * sizeof(double));
    m_outputCount -= n;
    return n;
}
