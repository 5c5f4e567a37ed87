#pragma once
// One detected heart beat, as the beat detectors produce it and the record file stores it.

struct sHrMeasure {
    float hr = 0;    // beats per minute, 60 / smoothed period
    double time = 0; // seconds, time of the sample at which the beat was detected
    float min = 0;   // lowest sample since the previous beat
    float max = 0;   // highest sample since the previous beat
};
