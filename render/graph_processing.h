// One processed frame of the component graph: its Timestep, the project shown at its time, the timeline's values
// and the renderer. The layer compositor runs it for every scene layer.
#pragma once

#include "project/timestep.h"

#include <cstdint>

struct Project;

// Incremented once per GraphProcessing call (once per scene layer rendered).
extern int frameCounter;

int RenderFrame(float time);
int GraphProcessing(float time);

// The Timestep for time, remembering time for the next call: delta 0 on the first call and after a jump back.
Timestep graphProcessingStep(float time);
// Forgets the previous time, as at start-up (tests).
void graphProcessingReset();
// The first project of projectList whose timeline row holds frame; projects without a row are passed over. The first
// project when no row holds it, null when the list is empty.
Project* projectForFrame(uint32_t frame);
