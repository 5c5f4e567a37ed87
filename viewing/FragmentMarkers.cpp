#include "viewing/FragmentMarkers.h"

#include <memory>

void FragmentMarkers::Reset() {
    m_start = sFragmentMarker{};
    m_end = sFragmentMarker{};
}

void FragmentMarkers::Follow(double timeAtAnchor) {
    if (m_start.placed && m_start.anchored) m_start.time = timeAtAnchor;
    if (m_end.placed && m_end.anchored) m_end.time = timeAtAnchor;
}

bool FragmentMarkers::KeepOrder() {
    if (!BothPlaced() || m_start.anchored == m_end.anchored) return false;
    if (m_end.anchored && m_end.time < m_start.time) {
        m_start.time = m_end.time;
        return true;
    }
    if (m_start.anchored && m_start.time > m_end.time) {
        m_end.time = m_start.time;
        return true;
    }
    return false;
}

MString FragmentMarkers::Caption(FragmentEdge edge) const {
    const sFragmentMarker& m = Get(edge);
    return m.placed ? MString::FormatDuration(m.time) : MString(kUnplacedCaption);
}

FragmentMarkers* GetFragmentMarkers(bool create) {
    static std::unique_ptr<FragmentMarkers> instance;
    if (!instance && create) instance = std::make_unique<FragmentMarkers>();
    return instance.get();
}
