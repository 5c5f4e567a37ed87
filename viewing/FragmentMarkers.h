#pragma once
// The fragment of a record the user selected in the record viewer: a start and an end marker on
// the record's time axis. Every analysis, the text export and the report read it from here
// (GetFragmentMarkers), so they need no window.
//
// A marker goes unplaced -> placed and anchored (its button is down: it stands in the middle of
// the viewer and its time follows the scrolling) -> placed and fixed (button up). The viewer
// (RecordViewModel) drives the changes; the buttons themselves belong to the main window, which
// shows them through IFragmentButtons.
//
// Main thread only; no lock.

#include "core/MString.h"

// The main window's two fragment toggle buttons ("Начало", "Конец"), whose captions show the
// marker times. The main window implements it; the viewer presses and releases them and sets the
// captions.
class IFragmentButtons {
public:
    virtual ~IFragmentButtons() = default;
    virtual bool StartDown() const = 0;
    virtual bool EndDown() const = 0;
    virtual void SetStartDown(bool down) = 0;
    virtual void SetEndDown(bool down) = 0;
    virtual void SetCaptions(const MString& start, const MString& end) = 0;
};

enum class FragmentEdge { kStart, kEnd };

struct sFragmentMarker {
    bool placed = false;
    // Placing mode: the marker stands at the middle of the view and takes the time shown there.
    bool anchored = false;
    // Record seconds: where a fixed marker stands, or the time under an anchored one when the
    // viewer last drew.
    double time = 0;
};

class FragmentMarkers {
public:
    // Caption of a button whose marker is not placed.
    static constexpr char16_t kUnplacedCaption[] = u"00:00:00";

    const sFragmentMarker& Start() const { return m_start; }
    const sFragmentMarker& End() const { return m_end; }
    const sFragmentMarker& Get(FragmentEdge edge) const {
        return edge == FragmentEdge::kStart ? m_start : m_end;
    }
    sFragmentMarker& Get(FragmentEdge edge) { return edge == FragmentEdge::kStart ? m_start : m_end; }

    // Both unplaced, not anchored, at time 0.
    void Reset();
    void Unplace(FragmentEdge edge) { Get(edge) = sFragmentMarker{}; }
    // Placed and anchored, currently at `time`.
    void Anchor(FragmentEdge edge, double time) { Get(edge) = {true, true, time}; }
    // An anchored marker stays at the time it has now.
    void Fix(FragmentEdge edge) { Get(edge).anchored = false; }
    // Anchored markers take the time now shown under the anchor.
    void Follow(double timeAtAnchor);

    // Keeps start <= end while one marker is being placed: when both are placed and exactly one is
    // anchored, the fixed one is pushed along by the anchored one. Returns whether a marker moved.
    bool KeepOrder();

    double FragmentStart() const { return m_start.time; }
    double FragmentEnd() const { return m_end.time; }
    bool BothPlaced() const { return m_start.placed && m_end.placed; }
    // Both placed and the end after the start: a fragment an analysis can read.
    bool IsValid() const { return BothPlaced() && m_end.time > m_start.time; }

    // The button caption of a marker: its time as a duration text when placed, else "00:00:00".
    MString Caption(FragmentEdge edge) const;

private:
    sFragmentMarker m_start;
    sFragmentMarker m_end;
};

// The program's fragment, made on first use when create is set (else null until then); destroyed
// at program end. Main thread.
FragmentMarkers* GetFragmentMarkers(bool create = true);
