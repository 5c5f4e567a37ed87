#pragma once
// Event ids and listener priorities of the live chain. Listeners of one id run in ascending
// priority; the blob-release listener runs last on every blob event.
//
//  id  meaning                 data                                  value
//  0   active LED changed      previous LED number (in the pointer)  new LED number
//  1   status packet received  the saved status packet               0
//  2   raw sample blob         sSampleBlob*                          0
//  3   filtered sample blob    sSampleBlob*                          0
//  4   recorded sample blob    sSampleBlob* (recording time axis)    0
//  5   heart beat measured     sHrMeasure*                           0

inline constexpr int kEventLedChanged = 0;
inline constexpr int kEventStatus = 1;
inline constexpr int kEventRawBlob = 2;
inline constexpr int kEventFilteredBlob = 3;
inline constexpr int kEventRecordedBlob = 4;
inline constexpr int kEventHeartBeat = 5;

inline constexpr int kPriorityFilterPoints = 1; // event 2
inline constexpr int kPriorityCalcHb = 1;       // event 3
inline constexpr int kPriorityWriteSamples = 2; // events 0, 3, 5
inline constexpr int kPriorityPaintSamples = 5; // events 0, 3, 4, 5 (the live monitor)
inline constexpr int kPriorityRegulator = 10;   // event 1
inline constexpr int kPriorityBlobRelease = 10000;
