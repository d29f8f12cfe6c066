// The frame loop: the play time of each frame, rendering it, presenting it and advancing the per-frame rings.
#pragma once

#include <glbinding/gl/types.h>

// Runs until the window is closed (close button, SIGINT or SIGTERM).
void engine_main_loop();
// One pass of the loop: the frame, the editor or the output copy, the swap, input and the rings. False once the
// window is to close (that pass still advances the rings).
bool engine_loop_iteration();
// The onFrame handler: takes the frame time, renders the layer stack at it and records the frame's duration.
void engine_on_frame();

// The play time of a frame: the music position or the timeline's frame while the timeline exports its time,
// otherwise the play clock.
float engine_frame_time();

// Copies a texture's lower-left width x height pixels unscaled into the lower-left of a framebuffer (0: the
// window), after clearing it to opaque black.
void engine_blit_output(gl::GLuint texture, int width, int height, gl::GLuint drawFramebuffer);
// Without the editor: the current project's first image resource, unscaled into the window's lower-left corner.
void engine_output_current_image();
// End of frame: next GPU query slot and constant buffer, empty GPU frame record list.
void engine_advance_frame_rings();
