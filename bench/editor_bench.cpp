// CPU cost of one editor frame with every window open over the loaded "room" project: the windows' Dear ImGui
// calls, the draw lists and their OpenGL submission. Runs on an EGL surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
#include "components/component_table.h"
#include "editor/inspector.h"
#include "editor/ui.h"
#include "jni/engine/grd_buffer.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/curves.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/sequencer.h"
#include "tests/egl_context.h"

#include <backends/imgui_impl_opengl3.h>
#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>
#include <imgui.h>

#include <memory>
#include <string>
#include <vector>

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

// The parameter inspector alone over a large tree owned by one component (so every row has "CV" and most "K"):
// branches x rows parameters of the common types, drawn in a window that shows them all (range(2) = 1; Dear ImGui's
// 16-bit indices cap that near 1000 rows) or in a 1080-pixel window that clips most of them (0). Dear ImGui's CPU
// work only, in a context of its own.
class InspectorOwner : public EngineComponent {
public:
    InspectorOwner() : EngineComponent(22, "bench owner") { branch.owner = this; }
    CvarTreeNode* GetCvarTree() override { return &branch; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    CvarTreeNode branch{"bench owner", nullptr};
};

const char* const kBenchOptions[] = {"one", "two", "three", nullptr};

void BM_InspectorLargeTree(benchmark::State& state)
{
    const int branches = static_cast<int>(state.range(0));
    const int rows = static_cast<int>(state.range(1));
    const bool allShown = state.range(2) != 0;
    ImGuiContext* previous = ImGui::GetCurrentContext();
    ImGuiContext* context = ImGui::CreateContext();
    ImGui::SetCurrentContext(context);
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(1920, allShown ? 200000.0f : 1080.0f);
    io.DeltaTime = 1.0f / 60.0f;
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(intptr_t{1}));

    auto owner = std::make_unique<InspectorOwner>();
    std::vector<std::unique_ptr<Cvar>> cvars;
    Curve curve;
    for (int b = 0; b < branches; ++b) {
        auto* child = new CvarTreeNode("branch " + std::to_string(b), &owner->branch);
        owner->branch.children.push_back(child);
        for (int r = 0; r < rows; ++r) {
            cvars.push_back(std::make_unique<Cvar>());
            Cvar* cvar = cvars.back().get();
            const std::string name = "p" + std::to_string(r);
            switch (r % 7) {
            case 0: CvarTreeRegisterFloat(cvar, name, 0.5f, 0.0f, 1.0f, CvarScope::Node, child); break;
            case 1: CvarTreeRegisterInt(cvar, name, 3, CvarScope::Node, child); break;
            case 2: CvarTreeRegisterBool(cvar, name, 1.0f, CvarScope::Node, child); break;
            case 3: CvarTreeRegisterColor(cvar, name, 1, 0.5f, 0.25f, 1, CvarScope::Node, child); break;
            case 4: CvarTreeRegisterVec3(cvar, name, 1, 2, 3, CvarScope::Node, child); break;
            case 5: CvarTreeRegisterEnum(cvar, name, kBenchOptions, 1, CvarScope::Node, child); break;
            default: CvarTreeRegisterFloat(cvar, name, 2.0f, 0.0f, 0.0f, CvarScope::Node, child); break;
            }
            cvar->animatable = r % 2 == 0;
        }
    }
    auto frame = [&] {
        ImGui::NewFrame();
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(io.DisplaySize);
        ImGui::Begin("Inspector bench");
        ui_handle_cvar_tree_node(&owner->branch);
        ImGui::End();
        ImGui::Render();
    };
    for (int warm = 0; warm < 3; ++warm)
        frame();
    for (auto _ : state)
        frame();
    state.counters["rows"] = static_cast<double>(branches * rows);
    state.counters["vertices"] = static_cast<double>(ImGui::GetDrawData()->TotalVtxCount);
    owner.reset(); // the branches go before the parameters
    cvars.clear();
    ImGui::DestroyContext(context);
    ImGui::SetCurrentContext(previous);
}
BENCHMARK(BM_InspectorLargeTree)
    ->Args({20, 40, 1})
    ->Args({50, 40, 0})
    ->Args({200, 40, 0})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

} // namespace
