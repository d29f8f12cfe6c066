// CPU cost of one editor frame with every window open over the loaded "room" project: the windows' Dear ImGui
// calls, the draw lists and their OpenGL submission. Runs on an EGL surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
#include "components/component_table.h"
#include "editor/ui.h"
#include "jni/engine/grd_buffer.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/sequencer.h"
#include "tests/egl_context.h"

#include <backends/imgui_impl_opengl3.h>
#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>
#include <imgui.h>

using namespace gl;

namespace {

// The platform back end's share of a new frame without a window: display size and frame time.
void windowlessBackend()
{
    ImGuiIO& io = ImGui::GetIO();
    io.DisplaySize = ImVec2(1920, 1080);
    io.DeltaTime = 1.0f / 60.0f;
}

bool setUp()
{
    static const bool ready = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        componentTypesInstallFactories();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingInit(1 << 24);
        ImGui::CreateContext();
        ImGui::GetIO().IniFilename = nullptr; // the bench writes no layout
        ImGui::StyleColorsDark();
        ImGui_ImplOpenGL3_Init("#version 430");
        uiBackendNewFrame = [] {
            ImGui_ImplOpenGL3_NewFrame();
            windowlessBackend();
        };
        if (!sequencer)
            sequencer = new Sequence();
        Project* room = projCreate("room");
        projectList = {room};
        projSetCurrent(room);
        room->resources->load_json(room->path + "/resources.json");
        if (!GraphManager::Load(room->path + "/graph.json") || !SequencerManager::Load(room->path + "/sequencer.json"))
            return false;
        ui_create_state();
        return true;
    }();
    return ready;
}

void BM_EditorFrame(benchmark::State& state)
{
    if (!setUp()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context, or the room project did not load");
        return;
    }
    // A few frames first: windows take their places and the font atlas is uploaded.
    for (int warm = 0; warm < 3; ++warm) {
        ui_render();
        ImGui::Render();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    }
    glFinish();
    int64_t vertices = 0;
    for (auto _ : state) {
        ui_render();
        ImGui::Render();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        vertices = ImGui::GetDrawData()->TotalVtxCount;
        // Hand the queued GL work over as a swap would, without waiting for it.
        glFlush();
    }
    glFinish();
    state.counters["windows"] = static_cast<double>(ImGui::GetCurrentContext() ? ImGui::GetIO().MetricsRenderWindows : 0);
    state.counters["vertices"] = static_cast<double>(vertices);
}
BENCHMARK(BM_EditorFrame)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace
