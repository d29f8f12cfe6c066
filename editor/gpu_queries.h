// "GPUQueries": this frame's GPU timing rows, indented by nesting and coloured from green (fast) to red (10 ms).
#pragma once

#include <imgui.h>

#include <string>
#include <vector>

struct GpuTimerResult;

struct GpuQueryFilters {
    bool over01ms = true; // ">0.1ms Filter"
    bool over05ms = true; // ">0.5ms Filter"
};

struct GpuQueryLine {
    std::string text;
    ImVec4 color;
    float indent = 0.0f;
};

// The lines the window shows for these rows; *totalInner receives the sum of the shown rows nested deeper than 2.
std::vector<GpuQueryLine> ui_gpu_query_lines(const GpuTimerResult* rows, int count, const GpuQueryFilters& filters,
                                             float* totalInner);
// Draws the window for the given rows (the frame's collected results in the engine).
void ui_gpu_queries_draw(const GpuTimerResult* rows, int count, bool* open);
void ui_gpu_queries_window(bool* open);
