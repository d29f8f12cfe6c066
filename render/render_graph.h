// Per-frame execution of the current project's component graph.
#pragma once

// The time record of one processed frame, passed by value to every component execution and render callback.
struct Timestep {
    float time = 0.0f;  // seconds
    float delta = 0.0f; // seconds since the previous processed frame, never negative
    bool flag = false;  // false for every frame the frame loop produces
};

namespace Renderer {

// Executes the current project's components and runs the frame's passes.
void RenderGraph(Timestep timestep);

} // namespace Renderer
