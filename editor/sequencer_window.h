// The "Sequencer" window: the timeline's control panel and widget, and the per-frame step that keeps the timeline,
// the music and the shown project together.
#pragma once

extern bool sequencerWindowOpen;
// The timeline's current frame as the rest of the editor sees it (keys are set at this frame).
extern int sequencerFrame;

// The music as the window reaches it; tests put a fake in place.
struct SequencerMusic {
    double (*position)();      // seconds
    bool (*seek)(int frame);   // to frame / framesPerSecond seconds
    void (*setPaused)(bool paused);
};
extern SequencerMusic sequencerMusic;

// Draws the window and runs its logic; called every editor frame, also while the window is collapsed.
void ui_sequencer_window();
