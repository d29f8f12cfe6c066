// Start-up loading of the production's projects: every project's files are read once, before the first frame.
#pragma once

#include "project/cvars.h"
#include "project/project.h"

#include <array>

struct SequenceItem;

// What ProjectLoading leaves for the run.
struct ProjectLoadingState {
    int width = 0;
    int height = 0;
    // "globals/fx_cam_idx" and "globals/fx_cam_time": shown in the editor and stored, read by nothing.
    Cvar fxCamIdx;
    Cvar fxCamTime;
};

// Reads every project's files once, before the first frame; the current project is the same afterwards.
ProjectLoadingState* ProjectLoading(int width, int height);
// The record of the start-up ProjectLoading, kept for the run.
extern ProjectLoadingState* projectLoadingState;

// The times (seconds) of a project's two warm-up renders: 10 and 20 s into its timeline row (100 frames a second),
// each kept inside the row. A row shorter than 20 s would otherwise warm the next project in its place.
std::array<float, 2> projectWarmUpTimes(const SequenceItem& row);
