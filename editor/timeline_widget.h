// The timeline widget of the "Sequencer" window: frame ruler, one bar per row, frame cursor, a scroll bar that also
// zooms, and the rows' own drawing (keys). It knows the model only through ImSequencer::SequenceInterface.
#pragma once

#include "project/timeline_interface.h"

namespace ImSequencer {

// Draws the timeline in the current window. currentFrame, expanded and selectedEntry may be null. True when a
// row was selected by a click on its bar that did not move it.
bool DrawTimeline(SequenceInterface* sequence, int* currentFrame, bool* expanded, int* selectedEntry,
                  int* firstFrame, int options, int legendWidth);

// The zoom, drag and pan state, shared by every use of the widget (one window draws it).
struct TimelineState {
    float framePixelWidth = 10.0f;
    float framePixelWidthTarget = 10.0f;
    int movingEntry = -1;
    float movingPos = -1.0f;
    int movingPart = -1;
    bool movedDuringDrag = false; // a bar drag that moved is no click
    bool movingCurrentFrame = false;
    bool movingScrollBar = false;
    bool sizingLeftHandle = false;
    bool sizingRightHandle = false;
    bool panningView = false;
    ImVec2 panningViewSource;
    int panningViewFrame = 0;
    // The last drawing's scroll thumb, for whoever wants to read it.
    ImRect scrollThumb;
};
TimelineState& timelineState();
void ResetTimelineState();

} // namespace ImSequencer
