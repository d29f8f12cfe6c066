// Start-up loading of the production's projects: every project's files are read once, before the first frame.
#pragma once

#include "project/cvars.h"
#include "project/project.h"

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
