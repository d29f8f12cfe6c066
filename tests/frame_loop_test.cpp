#include "app/data_files.h"
#include "app/engine_display.h"
#include "app/frame_loop.h"
#include "app/math_types.h"
#include "app/projects.h"
#include "app/timing.h"
#include "components/scene_player.h"
#include "editor/ui.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/graph_processing.h"
#include "render/render_graph.h"

#include "gl_context.h"
#include "project_test_util.h"

#include <GLFW/glfw3.h>
#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>
#include <imgui.h>
#include <array>
#include <string>
#include <vector>

using namespace gl;

namespace {

double fakeNow = 0.0;
double fakeStep = 0.0;
// Every reading moves the fake clock on by fakeStep.
double steppingClock()
{
    const double now = fakeNow;
    fakeNow += fakeStep;
    return now;
}

// Three projects on a fresh timeline; the engine's globals are put back afterwards.
class ProjectsFixture {
protected:
    void setUpProjects()
    {
        savedList_ = projectList;
        savedCurrent_ = currentProject;
        savedSequencer_ = sequencer;
        savedExport_ = exportVariables;
        savedSync_ = syncToAudio;
        projectList.clear();
        testing::internal::CaptureStdout(); // each creation logs one error line
        for (const char* name : {"intro", "middle", "outro"})
            projectList.push_back(projCreate(name));
        testing::internal::GetCapturedStdout();
        projSetCurrent(projectList[1]);
        sequencer = new Sequence();
        exportVariables = false;
        syncToAudio = false;
    }
    void tearDownProjects()
    {
        for (Project* project : projectList)
            projDestroy(project);
        delete sequencer;
        projectList = savedList_;
        projSetCurrent(savedCurrent_);
        sequencer = savedSequencer_;
        exportVariables = savedExport_;
        syncToAudio = savedSync_;
    }
    void setRange(int project, int start, int end)
    {
        SequenceItem& row = sequencer->GetOrAddProjectItem(projectList[project]);
        row.start = start;
        row.end = end;
    }

private:
    std::vector<Project*> savedList_;
    Project* savedCurrent_ = nullptr;
    Sequence* savedSequencer_ = nullptr;
    bool savedExport_ = false;
    bool savedSync_ = false;
};

class FrameTimeTest : public ::testing::Test, protected ProjectsFixture {
protected:
    void SetUp() override
    {
        setUpProjects();
        fakeNow = 5000.0;
        fakeStep = 0.0;
        timerSetClockSource(steppingClock);
        playClock = PlayClock();
        graphProcessingReset();
    }
    void TearDown() override
    {
        timerSetClockSource(nullptr);
        playClock = PlayClock();
        graphProcessingReset();
        tearDownProjects();
    }
};

class FrameLoopGLTest : public GLTest, protected ProjectsFixture {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        setUpProjects();
        timerResetGpu();
        timerResetNodes();
        graphProcessingReset();
    }
    void TearDown() override
    {
        timerSetClockSource(nullptr);
        playClock = PlayClock();
        timerResetGpu();
        timerResetNodes();
        graphProcessingReset();
        deferredRenderRelease(); // the frame's graph render sets the deferred renderer up
        tearDownProjects();
        GLTest::TearDown();
    }
};

} // namespace

// ---- Frame time ----

TEST(GraphProcessingStep, DeltaIsZeroOnTheFirstFrameAndAfterAJumpBack)
{
    graphProcessingReset();
    struct Case {
        float time;
        float delta;
    };
    const Case cases[] = {
        {5.0f, 0.0f},   // first frame ever
        {5.5f, 0.5f},
        {5.5f, 0.0f},   // same time again
        {2.0f, 0.0f},   // seek back
        {2.25f, 0.25f}, // then normal deltas
    };
    for (const Case& c : cases) {
        const Timestep step = graphProcessingStep(c.time);
        EXPECT_FLOAT_EQ(step.time, c.time);
        EXPECT_FLOAT_EQ(step.delta, c.delta) << "at " << c.time;
        EXPECT_FALSE(step.flag);
    }
    graphProcessingReset();
}

TEST_F(FrameTimeTest, TimelineOrMusicDriveTheTimeWhileTheTimelineExportsIt)
{
    timerRestartClock();
    fakeNow += 7.25;
    sequencer->currentFrame = 1234;

    sequencer->exportTimeToGlobal = false;
    syncToAudio = true;
    EXPECT_FLOAT_EQ(engine_frame_time(), 7.25f);

    sequencer->exportTimeToGlobal = true;
    syncToAudio = false;
    EXPECT_FLOAT_EQ(engine_frame_time(), 12.34f);

    syncToAudio = true; // no music plays: the position is 0
    EXPECT_FLOAT_EQ(engine_frame_time(), 0.0f);
}

TEST_F(FrameTimeTest, ProjectWhoseRangeHoldsTheFrameIsChosen)
{
    setRange(0, 0, 1100);
    setRange(1, 1100, 1234);
    setRange(2, 1234, 1300);
    EXPECT_EQ(projectForFrame(1234), projectList[2]); // 12.345 s: the end of a range is outside it
    EXPECT_EQ(projectForFrame(1233), projectList[1]);
    EXPECT_EQ(projectForFrame(0), projectList[0]);
    EXPECT_EQ(projectForFrame(5000), projectList[0]); // outside every range: the first project
}

TEST_F(FrameTimeTest, ProjectsWithoutATimelineRowGetTheDefaultRow)
{
    // A project without a row of its own answers with the default row 0..300, never with nothing.
    setRange(2, 0, 300);
    EXPECT_EQ(projectForFrame(10), projectList[0]);
    setRange(0, 1000, 2000);
    setRange(1, 2000, 3000);
    EXPECT_EQ(projectForFrame(10), projectList[2]);
    EXPECT_EQ(projectForFrame(400), projectList[0]);
    delete sequencer;
    sequencer = nullptr;
    EXPECT_EQ(projectForFrame(10), projectList[0]);
    sequencer = new Sequence();
    std::vector<Project*> projects;
    projects.swap(projectList); // an empty list selects nothing
    EXPECT_EQ(projectForFrame(10), nullptr);
    projects.swap(projectList);
}

// Both warm-up renders of a project land in its own row: 10 and 20 s in when the row is long enough, else its last
// frame (the shipped "instancing" row is 16 s long, and its second render used to draw "abstract_1").
TEST_F(FrameTimeTest, WarmUpRendersStayInsideTheProjectsRow)
{
    struct Case {
        int start, end;
        float first, second;
    };
    for (const Case c : {Case{4800, 6400, 58.0f, 63.995f}, Case{0, 4800, 10.0f, 20.0f}, Case{100, 150, 1.495f, 1.495f},
                         Case{500, 3500, 15.0f, 25.0f}, Case{700, 700, 7.0f, 7.0f}}) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.end);
        setRange(0, 0, 0);
        setRange(2, 0, 0);
        setRange(1, c.start, c.end);
        const std::array<float, 2> times = projectWarmUpTimes(sequencer->GetProjectItem(projectList[1]));
        EXPECT_FLOAT_EQ(times[0], c.first);
        EXPECT_FLOAT_EQ(times[1], c.second);
        if (c.end > c.start) {
            for (float t : times) // the frame a time falls in, as the frame loop takes it
                EXPECT_EQ(projectForFrame(uint32_t(double(t) * 100.0)), projectList[1]) << t;
        }
    }
}

// ---- One frame through the GL path ----

TEST_F(FrameLoopGLTest, GraphProcessingSwitchesTheProjectAndCountsFrames)
{
    setRange(0, 1100, 1234);
    setRange(2, 1234, 1300);
    sequencer->exportTimeToGlobal = true;
    const int before = frameCounter;

    EXPECT_EQ(GraphProcessing(12.345f), 1);
    EXPECT_EQ(currentProject, projectList[2]);
    EXPECT_EQ(currentComponents, projectList[2]->components);
    EXPECT_EQ(frameCounter, before + 1);
    ASSERT_EQ(gpuTimerFrameRecords.size(), 2u);
    EXPECT_EQ(gpuTimerFrameRecords[1]->name, "Graph Processing");

    // The timeline not exporting its time leaves the current project alone.
    sequencer->exportTimeToGlobal = false;
    EXPECT_EQ(RenderFrame(11.0f), 1);
    EXPECT_EQ(currentProject, projectList[2]);
    EXPECT_EQ(frameCounter, before + 2);
}

TEST_F(FrameLoopGLTest, OnFrameRecordsTheFrameDurationInTheFrameNode)
{
    fakeNow = 100.0;
    fakeStep = 0.25; // each clock reading is a quarter second after the previous one
    timerSetClockSource(steppingClock);
    playClock = PlayClock();
    const bool savedHotReload = hotReloadEnabled;
    hotReloadEnabled = false; // as main leaves it before the loop

    engine_on_frame();
    engine_on_frame();
    hotReloadEnabled = savedHotReload;
    TimerNode* node = timerFindNode();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->count, 2);
    EXPECT_FLOAT_EQ(node->last, 0.25f); // the start reading and the one after rendering
    EXPECT_EQ(node->average, 0.0f);
}

TEST_F(FrameLoopGLTest, OutputImageLandsUnscaledInTheLowerLeftOnBlack)
{
    constexpr int kTargetW = 128;
    constexpr int kTargetH = 72;
    GLuint target = 0;
    GLuint framebuffer = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &target);
    glTextureStorage2D(target, 1, GL_RGBA8, kTargetW, kTargetH);
    glCreateFramebuffers(1, &framebuffer);
    glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, target, 0);

    auto solidTexture = [](int w, int h) {
        GLuint texture = 0;
        glCreateTextures(GL_TEXTURE_2D, 1, &texture);
        glTextureStorage2D(texture, 1, GL_RGBA8, w, h);
        const std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4, 200);
        glTextureSubImage2D(texture, 0, 0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        return texture;
    };
    auto readTarget = [&] {
        std::vector<uint8_t> pixels(static_cast<size_t>(kTargetW) * kTargetH * 4);
        glGetTextureImage(target, 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(pixels.size()), pixels.data());
        return pixels;
    };
    auto at = [](const std::vector<uint8_t>& pixels, int x, int y) { return pixels[(y * kTargetW + x) * 4]; };

    GLuint small = solidTexture(64, 36);
    glClearNamedFramebufferfv(framebuffer, GL_COLOR, 0, std::vector<float>{1, 1, 1, 1}.data());
    engine_blit_output(small, 64, 36, framebuffer);
    std::vector<uint8_t> pixels = readTarget();
    EXPECT_EQ(at(pixels, 0, 0), 200);
    EXPECT_EQ(at(pixels, 63, 35), 200);
    EXPECT_EQ(at(pixels, 64, 0), 0);
    EXPECT_EQ(at(pixels, 0, 36), 0);
    EXPECT_EQ(at(pixels, kTargetW - 1, kTargetH - 1), 0);
    EXPECT_EQ(pixels[(kTargetH - 1) * kTargetW * 4 + 3], 255); // cleared to opaque black

    GLuint large = solidTexture(256, 144); // larger than the target: cut at its size
    engine_blit_output(large, 256, 144, framebuffer);
    pixels = readTarget();
    EXPECT_EQ(at(pixels, kTargetW - 1, kTargetH - 1), 200);

    GLint bound = -1;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    glDeleteTextures(1, &small);
    glDeleteTextures(1, &large);
    glDeleteTextures(1, &target);
    glDeleteFramebuffers(1, &framebuffer);
}

// ---- Debug output ----

TEST(GLDebugOutput, MessagesAreFramedByTypeAndNotificationsDropped)
{
    const std::string error =
        engine_gl_debug_text(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_ERROR, GL_DEBUG_SEVERITY_HIGH, "bad enum");
    EXPECT_EQ(error, "\n**********Debug Output**************\nsource: API\ntype: Error\nseverity: High\n"
                     "debug call: bad enum\n\n*********ERROR**********\n");

    const std::string other = engine_gl_debug_text(GL_DEBUG_SOURCE_SHADER_COMPILER, GL_DEBUG_TYPE_PERFORMANCE,
                                                   GL_DEBUG_SEVERITY_MEDIUM, "slow");
    EXPECT_NE(other.find("source: Shader compiler\ntype: Performance issue\nseverity: Medium\n"), std::string::npos);
    EXPECT_TRUE(other.ends_with("\n************************\n"));

    EXPECT_EQ(engine_gl_debug_text(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_OTHER, GL_DEBUG_SEVERITY_NOTIFICATION, "x"), "");
    EXPECT_NE(engine_gl_debug_text(GL_DONT_CARE, GL_DEBUG_TYPE_MARKER, GL_DEBUG_SEVERITY_LOW, nullptr)
                  .find("source: \ntype: Stream annotation\nseverity: Low\ndebug call: \n"),
              std::string::npos);
}

TEST(GLDebugOutput, ErrorsGoToTheLogInRed)
{
    testing::internal::CaptureStdout();
    engine_gl_debug_callback(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_ERROR, 1, GL_DEBUG_SEVERITY_HIGH, -1, "oops",
                             nullptr);
    engine_gl_debug_callback(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_OTHER, 2, GL_DEBUG_SEVERITY_NOTIFICATION, -1, "fyi",
                             nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("\033[31m[engine_gl_debug_callback : ", 0), 0u) << out;
    EXPECT_NE(out.find("debug call: oops"), std::string::npos);
    EXPECT_EQ(out.find("fyi"), std::string::npos);
}

// ---- Command line and input ----

TEST(EngineArguments, EditorModeIsAnyLaterArgumentSpelledUiInAnyCase)
{
    struct Case {
        std::vector<const char*> args;
        bool editor;
    };
    const Case cases[] = {
        {{"engine"}, false},
        {{"engine", "-ui"}, true},
        {{"engine", "-UI"}, true},
        {{"engine", "x", "-Ui"}, true},
        {{"engine", "-uix"}, false},
        {{"-ui"}, false}, // the program name does not count
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        engineSetArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(engineEditorMode(), c.editor) << c.args.back();
    }
    engineSetArguments(0, nullptr);
}

TEST(EngineInput, ArrowKeysMoveByOneOrFiveWithShift)
{
    struct Case {
        int glfwKey;
        bool shift;
        Vector3 delta;
    };
    const Case cases[] = {
        {GLFW_KEY_LEFT, true, {-5, 0, 0}}, {GLFW_KEY_LEFT, false, {-1, 0, 0}}, {GLFW_KEY_RIGHT, false, {1, 0, 0}},
        {GLFW_KEY_UP, false, {0, 0, 1}},   {GLFW_KEY_DOWN, true, {0, 0, -5}},
    };
    for (const Case& c : cases) {
        Vector3 delta;
        ASSERT_TRUE(engine_key_move(engine_key_code(c.glfwKey), c.shift, &delta));
        EXPECT_EQ(delta.x, c.delta.x);
        EXPECT_EQ(delta.y, c.delta.y);
        EXPECT_EQ(delta.z, c.delta.z);
    }
    Vector3 delta;
    EXPECT_EQ(engine_key_code(GLFW_KEY_HOME), 271);
    EXPECT_EQ(engine_key_code(GLFW_KEY_BACKSPACE), 274);
    EXPECT_FALSE(engine_key_move(271, false, &delta));
    EXPECT_EQ(engine_key_code(GLFW_KEY_A), 0);
}

TEST(EngineInput, ButtonsSetTheDragMode)
{
    engine_on_mouse_button(0, 4, 10, 20);
    EXPECT_EQ(dragMode, 1);
    EXPECT_EQ(lastCursorX, 10.0f);
    EXPECT_EQ(lastCursorY, 20.0f);
    engine_on_mouse_button(2, 4, 11, 21);
    EXPECT_EQ(dragMode, 2);
    engine_on_cursor_move(30, 40);
    EXPECT_EQ(lastCursorX, 30.0f);
    engine_on_mouse_button(2, 3, 12, 22);
    EXPECT_EQ(dragMode, 0);
}

namespace {

std::vector<int> keysSeen;
bool shiftSeen = false;
void recordKey(int code, bool shift, bool ctrl, int action)
{
    keysSeen.push_back(code);
    shiftSeen = shift;
}

} // namespace

TEST(EngineInput, KeysReachTheEngineOnlyWhileTheEditorDoesNotWantThem)
{
    ImGuiContext* context = ImGui::CreateContext();
    const EngineDisplay saved = engineDisplay;
    engineDisplay.onKey = recordKey;
    keysSeen.clear();

    ImGui::GetIO().KeyShift = true;
    engine_glfw_key_callback(nullptr, GLFW_KEY_LEFT, 0, GLFW_PRESS, GLFW_MOD_SHIFT);
    engine_glfw_key_callback(nullptr, GLFW_KEY_LEFT, 0, GLFW_REPEAT, GLFW_MOD_SHIFT);
    engine_glfw_key_callback(nullptr, GLFW_KEY_LEFT, 0, GLFW_RELEASE, GLFW_MOD_SHIFT);
    engine_glfw_key_callback(nullptr, GLFW_KEY_A, 0, GLFW_PRESS, 0);
    EXPECT_EQ(keysSeen, (std::vector<int>{267, 267}));
    EXPECT_TRUE(shiftSeen);

    ImGui::GetIO().WantCaptureKeyboard = true; // e.g. a text field has focus
    engine_glfw_key_callback(nullptr, GLFW_KEY_UP, 0, GLFW_PRESS, 0);
    EXPECT_EQ(keysSeen.size(), 2u);

    engineDisplay = saved;
    ImGui::DestroyContext(context);
}

TEST(EngineInput, DroppedFilesQueueForTheResourceManager)
{
    ResourceManagerUiState* saved = uiResourceManagerState;
    engine_glfw_drop_callback(nullptr, 1, nullptr); // nothing to take: ignored
    ResourceManagerUiState state;
    uiResourceManagerState = &state;
    state.droppedPaths.push_back("/earlier.png");
    const char* paths[] = {"/a/mesh.lobj", "/b/image.png"};
    engine_glfw_drop_callback(nullptr, 2, paths);
    EXPECT_EQ(state.droppedPaths, (std::vector<std::string>{"/earlier.png", "/a/mesh.lobj", "/b/image.png"}));
    uiResourceManagerState = saved;
}

// ---- Project loading ----

TEST_F(FrameLoopGLTest, ProjectLoadingReadsEveryProjectAndKeepsTheCurrentOne)
{
    delete sequencer;
    sequencer = nullptr;
    // The default voxelizer is made only where its shaders are found.
    const std::string savedBase = dataBasePath();
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    testing::internal::CaptureStdout();
    ProjectLoadingState* state = ProjectLoading(1920, 1080);
    dataSetBasePath(savedBase);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->width, 1920);
    EXPECT_EQ(currentProject, projectList[1]);
    EXPECT_EQ(currentComponents, projectList[1]->components);
    EXPECT_NE(sequencer, nullptr); // the first timeline read creates it
    EXPECT_NE(out.find("\"ProjectLoading : "), std::string::npos) << out;
    projtest::releaseProjectLoading(state);

    // None of them has a graph file: each plays a scene player whose camera looks down z from 100 units back,
    // beside the default voxelizer and raytracer.
    for (Project* project : projectList) {
        ASSERT_EQ(project->components->size(), 3u) << project->name;
        EXPECT_EQ((*project->components)[1]->typeIndex, 5) << project->name;
        EXPECT_EQ(project->components->back()->typeIndex, 4) << project->name;
        auto* player = dynamic_cast<sceneplayerfx*>(project->components->front());
        ASSERT_NE(player, nullptr);
        EXPECT_EQ(player->name, "Sceneplayer");
        const Camera* camera = player->ownCamera;
        EXPECT_EQ(camera->fov, 90.0f);
        EXPECT_FLOAT_EQ(camera->aspect, 1920.0f / 1080.0f);
        EXPECT_EQ(camera->farPlane, 500.0f);
        EXPECT_EQ(camera->position.z, -100.0f);
        const Resource* null = project->resources->get_by_name_type("global/null_object", ResourceType::Object);
        ASSERT_NE(null, nullptr);
        EXPECT_EQ(resourceCast<FileResource>(null, ResourceType::Object)->GetObject()->geometry, nullptr);
    }
}

TEST(ProjectList, CreationNamesTheFolderAndFindFindsByName)
{
    testing::internal::CaptureStdout();
    Project* project = projCreate("room");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(project->path, "projects/room");
    ASSERT_NE(project->resources, nullptr);
    EXPECT_TRUE(project->resources->resources.empty());
    ASSERT_NE(project->components, nullptr);
    EXPECT_TRUE(project->components->empty());
    EXPECT_NE(out.find("\033[31m[dirCreatePath : "), std::string::npos);
    EXPECT_NE(out.find("\"function not implemented\n\""), std::string::npos);

    const std::vector<Project*> saved = projectList;
    projectList = {project};
    EXPECT_EQ(projFind("room"), project);
    EXPECT_EQ(projFind("hall"), nullptr);
    projectList = saved;
    projDestroy(project);
}
