// The frame loop: the play time of each frame, rendering it, presenting it and advancing the per-frame rings.
#pragma once

#include <cstdint>
#include <glbinding/gl/types.h>

struct Project;
struct Timestep;

// Incremented once per GraphProcessing call (once per scene layer rendered).
extern int frameCounter;

// Runs until the window is closed (close button, SIGINT or SIGTERM).
void engine_main_loop();
// One pass of the loop: the frame, the editor or the output copy, the swap, input and the rings. False once the
// window is to close (that pass still advances the rings).
bool engine_loop_iteration();
// The onFrame handler: takes the frame time, renders the layer stack at it and records the frame's duration.
void engine_on_frame();
int RenderFrame(float time);
int GraphProcessing(float time);

// The play time of a frame: the music position or the timeline's frame while the timeline exports its time,
// otherwise the play clock.
float engine_frame_time();
// The Timestep for time, remembering time for the next call: delta 0 on the first call and after a jump back.
Timestep graphProcessingStep(float time);
// Forgets the previous time, as at start-up (tests).
void graphProcessingReset();
// The first project of projectList whose timeline row holds frame; projects without a row are passed over. The first
// project when no row holds it, null when the list is empty.
Project* projectForFrame(uint32_t frame);

// Copies a texture's lower-left width x height pixels unscaled into the lower-left of a framebuffer (0: the
// window), after clearing it to opaque black.
void engine_blit_output(gl::GLuint texture, int width, int height, gl::GLuint drawFramebuffer);
// Without the editor: the current project's first image resource, unscaled into the window's lower-left corner.
void engine_output_current_image();
// End of frame: next GPU query slot and constant buffer, empty GPU frame record list.
void engine_advance_frame_rings();
