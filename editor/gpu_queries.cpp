#include "editor/gpu_queries.h"

#include "app/timing.h"

#include <algorithm>
#include <cstdio>

namespace {

GpuQueryFilters filters;

// Last durations at or below these are hidden while both filters are on.
constexpr uint64_t kHideAtMostNs = 18096;
constexpr uint64_t kOver05Ns = 90480;

} // namespace

std::vector<GpuQueryLine> ui_gpu_query_lines(const GpuTimerResult* rows, int count, const GpuQueryFilters& shown,
                                             float* totalInner)
{
    std::vector<GpuQueryLine> lines;
    float sum = 0.0f;
    for (int i = 0; rows && i < count; ++i) {
        const GpuTimerResult& row = rows[i];
        if (!row.name)
            continue;
        const bool visible =
            (row.duration > kHideAtMostNs || !shown.over01ms) || (row.duration > kOver05Ns || !shown.over05ms);
        if (!visible)
            continue;
        const float ms = static_cast<float>(row.average) / 1000000.0f;
        const float t = ms / 10.0f;
        GpuQueryLine line;
        char text[512];
        std::snprintf(text, sizeof(text), "%s : ms:%.4f", row.name, ms);
        line.text = text;
        line.color = ImVec4(std::clamp(t, 0.0f, 1.0f), std::clamp(1.0f - t, 0.0f, 1.0f), 0.6f, 1.0f);
        line.indent = static_cast<float>(row.depth + 1) * 20.0f;
        lines.push_back(std::move(line));
        if (row.depth > 2)
            sum += ms;
    }
    if (totalInner)
        *totalInner = sum;
    return lines;
}

void ui_gpu_queries_draw(const GpuTimerResult* rows, int count, bool* open)
{
    ImGui::SetNextWindowSize(ImVec2(500, 400), ImGuiCond_FirstUseEver);
    ImGui::Begin("GPUQueries", open);
    ImGui::PushID("GPUQueries");
    ImGui::Checkbox(">0.1ms Filter", &filters.over01ms);
    ImGui::SameLine();
    ImGui::Checkbox(">0.5ms Filter", &filters.over05ms);
    float totalInner = 0.0f;
    for (const GpuQueryLine& line : ui_gpu_query_lines(rows, count, filters, &totalInner)) {
        ImGui::PushStyleColor(ImGuiCol_Text, line.color);
        ImGui::Indent(line.indent);
        ImGui::TextUnformatted(line.text.c_str());
        ImGui::Unindent(line.indent);
        ImGui::PopStyleColor();
    }
    ImGui::Text("Total Inner: ms:%.4f", totalInner);
    ImGui::PopID();
    ImGui::End();
}

void ui_gpu_queries_window(bool* open)
{
    int count = 0;
    const GpuTimerResult* rows = timerCollectGpuResults(&count);
    ui_gpu_queries_draw(rows, count, open);
}
