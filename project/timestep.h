// The time record of one processed frame.
#pragma once

// Passed by value to every component execution and render callback.
struct Timestep {
    float time = 0.0f;  // seconds
    float delta = 0.0f; // seconds since the previous processed frame, never negative
    bool flag = false;  // false for every frame the frame loop produces
};
