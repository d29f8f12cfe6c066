// The editor frame driven as a user drives it: windows, layout presets, the pause key, "CVars", "Project Manager",
// the event log, "GPUQueries", the "Shader Editor" write-back and the exit writers.
#include "app/data_files.h"
#include "app/timing.h"
#include "editor/event_log.h"
#include "editor/file_name_prompt.h"
#include "editor/gpu_queries.h"
#include "editor/shader_editor.h"
#include "editor/ui.h"
#include "editor/ui_state.h"
#include "project/json_file.h"
#include "project_test_util.h"
#include "render/camera_controller.h"
#include "render/deferred_composite.h"
#include "render/selection_bounds.h"
#include "test_helpers.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using projtest::LogCapture;
using testutil::readFile;
using testutil::writeFile;

void noBackend() {}

// Layout presets and "imgui.ini" live in the working directory.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const fs::path& path) : previous_(fs::current_path()) { fs::current_path(path); }
    ~ScopedWorkingDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

// The editor's frame in a harness of its own, in a scratch working directory (presets and "imgui.ini" are
// written there), with a data folder holding project "room".
class EditorFrame : public testing::Test {
protected:
    void SetUp() override
    {
        savedBase_ = dataBasePath();
        dataSetBasePath(dir_.str() + "assets/");
        uiFileNamePrompt = FileNamePromptState{}; // a modal left open would take every click
        savedBackend_ = uiBackendNewFrame;
        uiBackendNewFrame = noBackend;
        savedList_ = projectList;
        projectList.clear();
        savedCurrent_ = currentProject;
        room_ = projCreate("room");
        other_ = projCreate("other");
        projectList = {room_, other_};
        projSetCurrent(room_);
        for (Project* project : projectList)
            fs::create_directories(dir_.path() / "assets" / project->path);
        ui_reset_cvar_status();
        ui_create_state();
        timerSetClockSource(fakeClock);
        fakeNow = 100.0;
        playClock = PlayClock();
        timerRestartClock();
    }
    void TearDown() override
    {
        timerSetClockSource(nullptr);
        playClock = PlayClock();
        uiSmallFont = nullptr; // lived in the harness's atlas
        uiPendingPreset = nullptr;
        ui_reset_cvar_status();
        projSetCurrent(savedCurrent_);
        projectList = savedList_;
        projDestroy(room_);
        projDestroy(other_);
        uiBackendNewFrame = savedBackend_;
        dataSetBasePath(savedBase_);
    }

    void frame() { ui.frame(ui_render, true); }
    void frames(int n) { ui.frames(n, ui_render, true); }
    bool click(const std::string& label, const std::string& window = {})
    {
        return ui.click(label, ui_render, window, true);
    }
    void press(std::initializer_list<int> keys)
    {
        for (int key : keys)
            ui.setKey(key, true);
        frame();
        for (int key : keys)
            ui.setKey(key, false);
        frame();
    }
    ImVec2 windowPos(const char* name) { return ui.window(name)->Pos; }

    static double fakeClock() { return fakeNow; }
    static inline double fakeNow = 0.0;

    testutil::TempDir dir_{"editor_frame"};
    UiHarness ui{ImVec2(1920, 1080)};
    Project* room_ = nullptr;
    Project* other_ = nullptr;

private:
    std::string savedBase_;
    void (*savedBackend_)() = nullptr;
    std::vector<Project*> savedList_;
    Project* savedCurrent_ = nullptr;
};

const char* const kWindows[] = {
    "CVars",           "Deferred",           "Event log",   "Simple node editor", "Node Configuration Editor",
    "Graph Node Toolbox", "Graph Render Passes", "Resource Manager", "GPUQueries", "Sequencer",
    "Renderer",        "Shader Editor",      "Gradient Manager", "Project Manager",
};

TEST_F(EditorFrame, SubmitsEveryWindowEachFrameAndTheSavedLayoutListsThem)
{
    ScopedWorkingDirectory cwd(dir_.path());
    frames(2);
    for (const char* name : kWindows) {
        const ImGuiWindow* window = ui.window(name);
        ASSERT_NE(window, nullptr) << name;
        EXPECT_EQ(window->LastFrameActive, ImGui::GetFrameCount()) << name;
    }
    EXPECT_EQ(ui.window("CVars")->SizeFull.x, 200);
    EXPECT_EQ(ui.window("CVars")->SizeFull.y, 600);
    EXPECT_EQ(ui.window("Renderer")->SizeFull.x, 1280);

    press({GLFW_KEY_LEFT_SHIFT, GLFW_KEY_F9});
    const std::string ini = readFile("imgui.ini");
    for (const char* name : kWindows)
        EXPECT_NE(ini.find(std::string("[Window][") + name + "]"), std::string::npos) << name;
    EXPECT_EQ(readFile("imgui_preset_0.ini"), ini);
}

TEST_F(EditorFrame, PresetKeysSaveOncePerPressAndLoadOnTheNextFrame)
{
    ScopedWorkingDirectory cwd(dir_.path());
    frame();
    ui.setKey(GLFW_KEY_LEFT_SHIFT, true);
    ui.setKey(GLFW_KEY_F10, true);
    frame();
    ASSERT_TRUE(fs::exists("imgui_preset_1.ini"));
    fs::remove("imgui_preset_1.ini");
    frames(5); // held: no second save
    EXPECT_FALSE(fs::exists("imgui_preset_1.ini"));
    ui.setKey(GLFW_KEY_F10, false);
    ui.setKey(GLFW_KEY_LEFT_SHIFT, false);
    frame();

    // Each preset puts "CVars" somewhere else; which keys load which preset.
    for (int i = 0; i < 3; ++i)
        writeFile(fs::current_path() / ("imgui_preset_" + std::to_string(i) + ".ini"),
                  "[Window][CVars]\nPos=" + std::to_string(100 + 100 * i) + ",50\nSize=200,600\nCollapsed=0\n");
    struct Case {
        std::vector<int> keys;
        float x;
    };
    const Case cases[] = {
        {{GLFW_KEY_F9}, 100},
        {{GLFW_KEY_F10}, 200},
        {{GLFW_KEY_F11}, 300},
        {{GLFW_KEY_F9, GLFW_KEY_F10}, 200},
        {{GLFW_KEY_F9, GLFW_KEY_F11}, 300},
    };
    for (const Case& c : cases) {
        for (int key : c.keys)
            ui.setKey(key, true);
        frame();
        for (int key : c.keys)
            ui.setKey(key, false);
        frames(2);
        EXPECT_EQ(windowPos("CVars").x, c.x) << c.keys.size() << " keys, first " << c.keys[0];
    }

    // A preset that cannot be read leaves the layout and clears the request.
    fs::remove("imgui_preset_0.ini");
    press({GLFW_KEY_F9});
    frame();
    EXPECT_EQ(windowPos("CVars").x, 300);
    EXPECT_EQ(uiPendingPreset, nullptr);
}

TEST_F(EditorFrame, AKeyTappedBetweenTwoFramesStillActs)
{
    // Press and release came in one event poll: the key state at the frame's start is "up" both times.
    frame();
    ui_key_event(GLFW_KEY_SPACE, GLFW_PRESS);
    ui_key_event(GLFW_KEY_SPACE, GLFW_RELEASE);
    frame();
    EXPECT_TRUE(playClock.paused);
    frames(3); // held for one frame only
    EXPECT_TRUE(playClock.paused);

    ScopedWorkingDirectory cwd(dir_.path());
    ui_key_event(GLFW_KEY_LEFT_SHIFT, GLFW_PRESS);
    ui_key_event(GLFW_KEY_F11, GLFW_PRESS);
    frame();
    EXPECT_TRUE(fs::exists("imgui_preset_2.ini"));
}

TEST_F(EditorFrame, SpacePausesThePlayClockOutsideTextFields)
{
    frame();
    fakeNow = 105.0;
    timerGetTime(1.0f); // the frame loop reads the clock every frame
    press({GLFW_KEY_SPACE});
    EXPECT_TRUE(playClock.paused);
    fakeNow = 110.0;
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 5.0f);
    press({GLFW_KEY_SPACE});
    EXPECT_FALSE(playClock.paused);
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 5.0f);

    // Typing a space into the event log's filter does not pause.
    ASSERT_TRUE(click("Filter", "Event log"));
    ui.setKey(GLFW_KEY_SPACE, true);
    ui.typeText(" ");
    frame();
    ui.setKey(GLFW_KEY_SPACE, false);
    frame();
    EXPECT_FALSE(playClock.paused);
}

TEST_F(EditorFrame, CvarsButtonsAndProjectManagerSwitch)
{
    auto owner = std::make_unique<CvarTreeNode>("camera owner", nullptr);
    CvarTreeNode* savedBranch = cvarTreeCurrentBranch;
    cvarTreeCurrentBranch = owner.get();
    auto controller = std::make_unique<CameraController>("camera");
    cvarTreeCurrentBranch = savedBranch;
    CameraController* savedController = currentCameraController;
    currentCameraController = controller.get();
    controller->detached.value[0] = 1.0f;
    frame();
    EXPECT_TRUE(click("ResetController", "CVars"));
    EXPECT_EQ(controller->detached.value[0], 0.0f);
    currentCameraController = savedController;
    owner.reset(); // the owner's branch goes before the parameters, as components do it
    controller.reset();

    // The checkboxes sit beyond the window's first width: widen it by its corner, as a user would.
    const ImVec2 corner = ui.window("CVars")->Rect().Max;
    ui.drag(ImVec2(corner.x - 3, corner.y - 3), ImVec2(corner.x + 300, corner.y - 3), ui_render, 4, true);
    EXPECT_TRUE(click("Debug", "CVars"));
    EXPECT_TRUE(uiGlDebug);
    EXPECT_TRUE(click("Rocket", "CVars"));
    EXPECT_FALSE(uiUseRocket);

    // The parameter tree, from its unnamed root down (opened: a loaded tree file may have closed it).
    const bool rootOpen = std::exchange(cvarTreeRoot.open, true);
    auto* lights = new CvarTreeNode("editor_test_lights", &cvarTreeRoot);
    cvarTreeRoot.children.push_back(lights);
    Cvar intensity;
    CvarTreeRegisterFloat(&intensity, "intensity", 1.0f, 0.0f, 2.0f, CvarScope::Node, lights);
    frame();
    EXPECT_TRUE(ui.has("editor_test_lights", "CVars"));
    std::erase(cvarTreeRoot.children, lights);
    delete lights;
    cvarTreeRoot.open = rootOpen;

    EXPECT_TRUE(click("projects/other", "Project Manager"));
    EXPECT_EQ(currentProject, other_);
    EXPECT_EQ(currentComponents, other_->components);
    EXPECT_TRUE(click("projects/room", "Project Manager"));
    EXPECT_EQ(currentProject, room_);
}

TEST_F(EditorFrame, EventLogClearFilterAndCopy)
{
    EventLog* saved = uiEventLog;
    EventLog log;
    uiEventLog = &log;
    ui_event_log_add(&log, "shader a failed\nshader b built\n");
    static std::string clipboard;
    ImGui::GetIO().SetClipboardTextFn = [](void*, const char* text) { clipboard = text; };

    frame();
    ASSERT_TRUE(click("Filter", "Event log"));
    ui.typeText("failed");
    frame();
    EXPECT_EQ(ui_event_log_visible_lines(log), std::vector<std::string_view>{"shader a failed"});
    EXPECT_TRUE(click("Copy", "Event log"));
    EXPECT_NE(clipboard.find("shader a failed"), std::string::npos);
    EXPECT_EQ(clipboard.find("shader b"), std::string::npos);

    EXPECT_TRUE(click("Clear", "Event log"));
    EXPECT_TRUE(log.text.empty());
    EXPECT_TRUE(log.lineOffsets.empty());
    uiEventLog = saved;
}

TEST(GpuQueries, FiltersColoursIndentsAndInnerTotal)
{
    GpuTimerResult rows[5];
    rows[0] = {nullptr, 500000, 500000, {}, 0, 0};     // no name: never shown
    rows[1] = {"Frame", 18096, 5000000, {}, 0, 0};    // at the hiding limit
    rows[2] = {"GBuffer", 18097, 100, {}, 0, 1};      // just above it, tiny average
    rows[3] = {"Deep", 200000, 12000000, {}, 0, 3};   // counts in the inner total
    rows[4] = {"Deeper", 200000, 2000000, {}, 0, 4};
    struct Case {
        GpuQueryFilters filters;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{true, true}, {"GBuffer", "Deep", "Deeper"}},
        {{true, false}, {"Frame", "GBuffer", "Deep", "Deeper"}},
        {{false, true}, {"Frame", "GBuffer", "Deep", "Deeper"}},
    };
    for (const Case& c : cases) {
        float inner = -1.0f;
        const std::vector<GpuQueryLine> lines = ui_gpu_query_lines(rows, 5, c.filters, &inner);
        ASSERT_EQ(lines.size(), c.names.size());
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].text.rfind(c.names[i] + " : ms:", 0), 0u) << lines[i].text;
        EXPECT_FLOAT_EQ(inner, 14.0f);
    }
    const std::vector<GpuQueryLine> all = ui_gpu_query_lines(rows, 5, {false, false}, nullptr);
    EXPECT_EQ(all[0].text, "Frame : ms:5.0000");
    EXPECT_FLOAT_EQ(all[0].color.x, 0.5f);
    EXPECT_FLOAT_EQ(all[0].color.y, 0.5f);
    EXPECT_FLOAT_EQ(all[0].color.z, 0.6f);
    EXPECT_FLOAT_EQ(all[2].color.x, 1.0f); // 12 ms saturates
    EXPECT_FLOAT_EQ(all[2].color.y, 0.0f);
    EXPECT_FLOAT_EQ(all[0].indent, 20.0f);
    EXPECT_FLOAT_EQ(all[2].indent, 80.0f);
}

// ---- Shader editor ----

class ShaderComponent : public projtest::TestComponentBase {
public:
    explicit ShaderComponent(const std::string& name) : TestComponentBase(22, name)
    {
        beginRegistration();
        CvarTreeRegisterText(&program, "Program", "void main() {}");
        endRegistration();
        program.uuid = 4242;
    }
    Cvar program;
};

class ShaderEditorWindow : public EditorFrame {
protected:
    void SetUp() override
    {
        EditorFrame::SetUp();
        component_ = new ShaderComponent("tex");
        component_->id = 7;
        room_->components->push_back(component_);
        *uiShaderEditorState = ShaderEditorState();
    }
    void TearDown() override
    {
        *uiShaderEditorState = ShaderEditorState();
        EditorFrame::TearDown();
    }
    // Clicks into the editor's text and types.
    void type(const char* text)
    {
        const ImGuiWindow* window = ui.window("Shader Editor");
        ui.clickAt(window->InnerRect.GetCenter(), ui_render, true);
        ui.typeText(text);
        frame();
    }
    ShaderComponent* component_ = nullptr;
};

TEST_F(ShaderEditorWindow, WritesBackAfterAPauseInTyping)
{
    frame();
    ui_shader_editor_bind(uiShaderEditorState, component_->GetCvarTree(), &component_->program);
    EXPECT_EQ(uiShaderEditorState->editor.GetText(), "void main() {}");
    EXPECT_EQ(uiShaderEditorState->componentId, 7);

    type("x");
    const std::string edited = uiShaderEditorState->editor.GetText();
    ASSERT_NE(edited, "void main() {}");
    frames(47);
    EXPECT_EQ(component_->program.text, "void main() {}") << "written while the user still types";
    frames(2);
    EXPECT_EQ(component_->program.text, edited);
    EXPECT_EQ(component_->changedCvars, std::vector<Cvar*>{&component_->program});

    // Checks while nothing is typed neither write nor tell the component.
    frames(120);
    EXPECT_EQ(component_->changedCvars.size(), 1u);
}

TEST_F(ShaderEditorWindow, SpaceTypedIntoTheSourceDoesNotPause)
{
    frame();
    ui_shader_editor_bind(uiShaderEditorState, component_->GetCvarTree(), &component_->program);
    type("a");
    ui.setKey(GLFW_KEY_SPACE, true);
    ui.typeText(" ");
    frame();
    ui.setKey(GLFW_KEY_SPACE, false);
    frame();
    EXPECT_FALSE(playClock.paused);
    EXPECT_NE(uiShaderEditorState->editor.GetText().find("a "), std::string::npos);
}

TEST_F(ShaderEditorWindow, AChangeMadeElsewhereIsTakenNotReverted)
{
    frame();
    ui_shader_editor_bind(uiShaderEditorState, component_->GetCvarTree(), &component_->program);
    frames(2);
    component_->program.text = "// loaded from a file";
    frames(60);
    EXPECT_EQ(component_->program.text, "// loaded from a file");
    EXPECT_EQ(uiShaderEditorState->editor.GetText(), "// loaded from a file");
    EXPECT_TRUE(component_->changedCvars.empty());
}

TEST_F(ShaderEditorWindow, RebindingFlushesThePendingEditAndADeletedComponentUnbinds)
{
    ShaderComponent* second = new ShaderComponent("tex2");
    second->id = 8;
    second->program.uuid = 4343;
    second->program.text = "second";
    room_->components->push_back(second);

    frame();
    ui_shader_editor_bind(uiShaderEditorState, component_->GetCvarTree(), &component_->program);
    type("y");
    const std::string edited = uiShaderEditorState->editor.GetText();
    // The "-> Editor" button sits in another window: the click there takes the focus from the editor.
    ui.clickAt(ui.window("CVars")->Rect().GetCenter(), ui_render, true);
    ui_shader_editor_bind(uiShaderEditorState, second->GetCvarTree(), &second->program);
    EXPECT_EQ(component_->program.text, edited);
    EXPECT_EQ(uiShaderEditorState->editor.GetText(), "second");

    room_->components->pop_back();
    delete second;
    frames(51);
    EXPECT_EQ(uiShaderEditorState->cvarUuid, 0u);
    EXPECT_EQ(uiShaderEditorState->editor.GetText(), kShaderEditorUnassigned);
}

// ---- State file ----

class EditorStateFile : public EditorFrame {
protected:
    fs::path file(Project* project) { return dir_.path() / "assets" / project->path / "ui_state.json"; }
};

TEST_F(EditorStateFile, ReadsEverySettingAndWritesTheSameBytesBack)
{
    const std::string text = R"({
    "extra": {
        "kept": [
            1,
            2
        ]
    },
    "opengl": {
        "debug": true
    },
    "rendering": {
        "bbox": 0,
        "main": 4
    },
    "ui": {
        "groups": [
            {
                "name": "lights",
                "open": 1
            }
        ],
        "use_rocket": false,
        "variable_filter": "cam"
    }
})";
    writeFile(file(room_), text);
    LogCapture log;
    ui_load_cvar_status();
    EXPECT_TRUE(log.contains("Loading ui_state.json file from " + dir_.str() + "assets/projects/room/ui_state.json"));
    EXPECT_TRUE(uiGlDebug);
    EXPECT_FALSE(uiUseRocket);
    EXPECT_EQ(renderingBBox, 0);
    EXPECT_EQ(renderingMain, 4);
    EXPECT_STREQ(uiVariableFilter, "cam");
    ASSERT_NE(ui_group_status_find("lights"), nullptr);
    EXPECT_EQ(ui_group_status_find("lights")->open, 1);

    ui_save_cvar_status();
    EXPECT_EQ(readFile(file(room_)), text);

    // A changed setting is written, into the folder of the project current at exit.
    projSetCurrent(other_);
    renderingMain = 2;
    ui_save_cvar_status();
    const nlohmann::json written = nlohmann::json::parse(readFile(file(other_)));
    EXPECT_EQ(written["rendering"]["main"], 2);
    EXPECT_EQ(readFile(file(room_)), text);
}

TEST_F(EditorStateFile, BadFilesChangeNoSettingAndAreNeverOverwritten)
{
    const std::string cases[] = {
        "{ \"ui\": ",
        "[1, 2]",
        R"({"ui": {"use_rocket": "no"}})",
        R"({"ui": {"variable_filter": 5}})",
        R"({"ui": {"groups": [{"name": 1, "open": 1}]}})",
        R"({"ui": {"groups": [{"name": "a", "open": 1e300}]}})",
        R"({"rendering": {"main": 2.5}})",
        R"({"rendering": {"bbox": 99999999999}})",
        R"({"opengl": {"debug": null}})",
    };
    for (const std::string& text : cases) {
        ui_reset_cvar_status();
        writeFile(file(room_), text);
        LogCapture log;
        ui_load_cvar_status();
        EXPECT_TRUE(uiUseRocket) << text;
        EXPECT_STREQ(uiVariableFilter, "") << text;
        EXPECT_EQ(renderingMain, 0) << text;
        EXPECT_EQ(renderingBBox, RenderingBBox::Selected) << text;
        EXPECT_TRUE(log.contains("ui_state.json")) << text;
        uiGlDebug = true; // even after a change by the user
        ui_save_cvar_status();
        EXPECT_EQ(readFile(file(room_)), text);
        jsonfile::clearUnreadable(file(room_).string());
    }
}

TEST_F(EditorStateFile, SavedWithoutAFileOrGroupRecords)
{
    // An exit before the first editor frame: no state file was read and no group was drawn.
    for (const std::string& text : {std::string(), std::string(R"({"rendering": {"main": 2}})")}) {
        ui_reset_cvar_status();
        fs::remove(file(room_));
        if (!text.empty())
            writeFile(file(room_), text);
        ui_load_cvar_status();
        ui_save_cvar_status();
        const nlohmann::json saved = nlohmann::json::parse(readFile(file(room_)));
        EXPECT_FALSE(saved["ui"].contains("groups")) << text;
        EXPECT_EQ(saved["ui"]["use_rocket"], true) << text;
        EXPECT_EQ(saved["rendering"]["main"], text.empty() ? 0 : 2) << text;
    }
}

TEST_F(EditorStateFile, GroupsSharingABucketAndALongFilter)
{
    // "a" and a name of the same bucket: both kept, the one read last written first.
    std::string twin;
    for (int i = 0; twin.empty() && i < 1000000; ++i)
        if (const std::string name = "g" + std::to_string(i); ui_group_bucket(name) == ui_group_bucket("a"))
            twin = name;
    ASSERT_FALSE(twin.empty());
    const std::string filter(300, 'f');
    writeFile(file(room_), R"({"ui": {"groups": [{"name": "a", "open": true}, {"name": ")" + twin +
                               R"(", "open": 0}, {"name": "a", "open": 0}], "variable_filter": ")" + filter + "\"}}");
    ui_load_cvar_status();
    EXPECT_EQ(ui_group_status_find("a")->open, 0);
    EXPECT_EQ(std::string(uiVariableFilter), filter.substr(0, 255));
    ui_save_cvar_status();
    const nlohmann::json written = nlohmann::json::parse(readFile(file(room_)));
    ASSERT_EQ(written["ui"]["groups"].size(), 2u);
    EXPECT_EQ(written["ui"]["groups"][0]["name"], twin);
    EXPECT_EQ(written["ui"]["groups"][1]["name"], "a");
    EXPECT_EQ(written["ui"]["variable_filter"], filter) << "the shortened filter goes back whole";
}

// ---- Exit writers ----

TEST_F(EditorFrame, ExitSavesEveryProjectThatLoadedAndKeepsTheOthersBytes)
{
    // "room" gets a component after the switch away from it; "other" failed to load and must stay as it is.
    const fs::path otherGraph = dir_.path() / "assets/projects/other/graph.json";
    writeFile(otherGraph, "{ broken");
    jsonfile::markUnreadable(otherGraph.string());
    auto* component = new projtest::TestProducer("wave");
    room_->components->push_back(component);
    projSetCurrent(other_);

    ui_save_project_at_exit();
    EXPECT_EQ(currentProject, other_);
    const std::string roomGraph = readFile(dir_.path() / "assets/projects/room/graph.json");
    EXPECT_NE(roomGraph.find("\"wave\""), std::string::npos);
    EXPECT_EQ(readFile(otherGraph), "{ broken");
    jsonfile::clearUnreadable(otherGraph.string());

    const auto written = fs::last_write_time(dir_.path() / "assets/projects/room/graph.json");
    ui_save_project_at_exit();
    EXPECT_EQ(fs::last_write_time(dir_.path() / "assets/projects/room/graph.json"), written);
}

} // namespace
