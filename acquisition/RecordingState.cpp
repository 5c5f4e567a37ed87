#include "acquisition/RecordingState.h"

sRecordingState& GetRecordingState() {
    // Plain data with constant initialisation: usable from any module's start-up.
    static constinit sRecordingState state;
    return state;
}
