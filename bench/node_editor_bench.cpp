// CPU cost of one "Simple node editor" frame over a graph of 1,000 components (value generators and nulls, the
// nulls chained through their child pins), including the draw lists' OpenGL submission. EGL surfaceless context.
#include "components/component_table.h"
#include "editor/node_editor.h"
#include "editor/ui.h"
#include "project/component_table.h"
#include "project/components.h"
#include "project/project.h"
#include "tests/egl_context.h"

#include <backends/imgui_impl_opengl3.h>
#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>
#include <imgui.h>

using namespace gl;

namespace {

constexpr int kComponents = 1000;
constexpr int kNullRow = 9;
constexpr int kWaveRow = 22;

bool setUp()
{
    static const bool ready = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        componentTypesInstallFactories();
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(1920, 1080);
        ImGui::StyleColorsDark();
        ImGui_ImplOpenGL3_Init("#version 430");
        Project* project = projCreate("bench");
        projectList = {project};
        projSetCurrent(project);
        EngineComponent* previousNull = nullptr;
        for (int i = 0; i < kComponents; ++i) {
            const int row = i % 2 ? kWaveRow : kNullRow;
            EngineComponent* component = componentTypeTable[row].factory("bench " + std::to_string(i));
            if (!component)
                return false;
            component->CreateChildPin();
            component->CreateEntityPin();
            component->x = static_cast<float>((i % 40) * 250);
            component->y = static_cast<float>((i / 40) * 120);
            if (row == kNullRow) {
                if (previousNull && component->childPin)
                    component->childPin->links.push_back(previousNull->entityPin->id);
                previousNull = component;
            }
            currentComponents->push_back(component);
        }
        ui_create_state();
        return true;
    }();
    return ready;
}

void editorFrame()
{
    ImGui_ImplOpenGL3_NewFrame();
    ImGuiIO& io = ImGui::GetIO();
    io.DisplaySize = ImVec2(1920, 1080);
    io.DeltaTime = 1.0f / 60.0f;
    ImGui::NewFrame();
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(1400, 1080));
    ui_node_editor_window(*uiNodeEditorState);
    ImGui::Render();
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
}

void BM_NodeEditorFrame1000(benchmark::State& state)
{
    if (!setUp()) {
        state.SkipWithError("no EGL surfaceless OpenGL context, or a factory is missing");
        return;
    }
    for (int warm = 0; warm < 3; ++warm)
        editorFrame();
    glFinish();
    int64_t vertices = 0;
    for (auto _ : state) {
        editorFrame();
        vertices = ImGui::GetDrawData()->TotalVtxCount;
        glFlush();
    }
    glFinish();
    state.counters["components"] = kComponents;
    state.counters["vertices"] = static_cast<double>(vertices);
}
BENCHMARK(BM_NodeEditorFrame1000)->Unit(benchmark::kMillisecond);

} // namespace
