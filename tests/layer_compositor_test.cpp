#include "render/layer_compositor.h"

#include "app/frame_loop.h"
#include "app/projects.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/keyframes.h"
#include "project/layer_segments.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/composite.h"
#include "render/deferred_targets.h"
#include "render/depth_of_field.h"
#include "render/render_graph.h"

#include "gl_context.h"
#include "project_test_util.h"
#include "test_helpers.h"
#include "timeline_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

using namespace gl;
using projtest::LogCapture;
using timelinetest::ScopedBasePath;

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";
constexpr int kWidth = 64;
constexpr int kHeight = 36;
constexpr int kEffect = 5;
constexpr int kDOF = 17;
constexpr float kClear[4] = {0.25f, 0.5f, 0.75f, 1.0f};

// A frame root whose function pass first draws a composite of its own elsewhere (as effects do), then clears
// whatever framebuffer the graph renders into.
class ClearingComponent : public projtest::TestComponentBase {
public:
    explicit ClearingComponent(const std::string& name) : TestComponentBase(0, name)
    {
        scratch = fbCreate("clearing scratch");
        scratchColor = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA8);
        fbAttach(scratch, FB_ATTACHMENT_COLOR0, scratchColor);
    }
    ~ClearingComponent() override
    {
        fbDestroy(scratch);
        txtDestroy(scratchColor);
    }
    void Execute(RenderItemBuilder& builder, Timestep) override
    {
        ++executions;
        GLint bound = 0;
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
        boundFramebuffers.push_back(static_cast<unsigned int>(bound));
        builder.functionItems.emplace_back(
            [this](Camera*, Timestep) {
                EXPECT_TRUE(compositeBuiltin(scratch, COMPOSITE_BUILTIN_COPY, scratchColor, nullptr));
                glClearColor(kClear[0], kClear[1], kClear[2], kClear[3]);
                glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
            },
            this);
    }
    bool IsDependencyOnly() override { return false; }
    std::vector<unsigned int> boundFramebuffers;
    Framebuffer* scratch;
    Texture* scratchColor;
};

std::array<float, 4> firstTexel(const Texture* texture)
{
    std::array<float, 4> texel{};
    glGetTextureSubImage(texture->glId, 0, 0, 0, 0, 1, 1, 1, GL_RGBA, GL_FLOAT, sizeof texel, texel.data());
    return texel;
}

class LayerCompositor : public GLTest {
protected:
    ScopedBasePath base{kAssets};
    projtest::ScopedProject project;
    Sequence* savedSequencer = sequencer;
    bool savedExport = exportVariables;
    FxLayerContext* context = nullptr;
    ClearingComponent* component = nullptr;

    int savedWidth = screenWidth;
    int savedHeight = screenHeight;

    void SetUp() override
    {
        GLTest::SetUp();
        // The deferred targets the walk completes are made at the output size: keep them small.
        screenWidth = kWidth;
        screenHeight = kHeight;
        sequencer = nullptr;
        exportVariables = false;
        cvarTreeCurrentBranch = &cvarTreeRoot;
        resetSegments();
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        context = fx_layers_create(kWidth, kHeight);
        ASSERT_NE(context, nullptr);
        component = projtest::addComponent<ClearingComponent>("clearing");
    }
    void TearDown() override
    {
        fx_layers_destroy(context);
        deferredRenderRelease(); // the graph render may have set the deferred renderer up
        screenWidth = savedWidth;
        screenHeight = savedHeight;
        resetSegments();
        sequencer = savedSequencer;
        exportVariables = savedExport;
        GLTest::TearDown();
    }
    static void resetSegments()
    {
        for (FxSegment& segment : fxSegments)
            segment = FxSegment();
        fx_segments_register_types();
        fxSegmentsDirty = false;
    }
    // Only these layers in the segment, in these slots, all enabled.
    static void layers(int segment, const std::vector<std::pair<int, int>>& slotTypes)
    {
        for (auto [slot, type] : slotTypes)
            fx_segments_set_layer(static_cast<uint32_t>(segment), static_cast<uint32_t>(slot),
                                  static_cast<uint32_t>(type));
        fxSegmentsDirty = false;
    }
};

TEST_F(LayerCompositor, EffectLayerRendersTheGraphIntoTarget0)
{
    layers(0, {{1, kEffect}});
    Texture* result = fx_layers_render_context(context, 1.5f);

    EXPECT_EQ(result, context->target0);
    EXPECT_EQ(component->executions, 1);
    ASSERT_EQ(component->boundFramebuffers.size(), 1u);
    EXPECT_EQ(component->boundFramebuffers[0], context->framebuffer->glId);
    EXPECT_EQ(firstTexel(context->target0), (std::array<float, 4>{kClear[0], kClear[1], kClear[2], kClear[3]}));
    EXPECT_EQ(firstTexel(context->target1), (std::array<float, 4>{0, 0, 0, 0}));

    // Afterwards the window's framebuffer is current again.
    EXPECT_EQ(fbCurrent, nullptr);
    GLint bound = -1;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(static_cast<unsigned int>(bound), fbDefaultId);
    // The walk ends by completing the deferred renderer's final target.
    ASSERT_NE(deferredRenderer.fbDeferredFinalComposite, nullptr);
    EXPECT_FALSE(deferredRenderer.fbDeferredFinalComposite->dirty);
    EXPECT_EQ(fbStackTop, 0);
}

TEST_F(LayerCompositor, TargetsAndParametersAreMadeAtTheGivenSize)
{
    EXPECT_EQ(context->framebuffer->name, "Postprocess");
    for (const Texture* texture : {context->target0, context->target1, context->depth}) {
        const timelinetest::TextureLevel level = timelinetest::textureLevel(texture->glId);
        EXPECT_EQ(level.width, kWidth);
        EXPECT_EQ(level.height, kHeight);
    }
    EXPECT_EQ(timelinetest::textureLevel(context->target0->glId).format, GL_RGBA16F);
    EXPECT_EQ(timelinetest::textureLevel(context->depth->glId).format, GL_DEPTH_COMPONENT32F);
    EXPECT_FALSE(context->dofProgram->errors);
    EXPECT_FALSE(context->edgeDetectProgram->errors);
    ASSERT_NE(context->fxaa, nullptr);
    EXPECT_FALSE(context->fxaa->program->errors);

    CvarTreeNode* globals = CvarTreeFindBranch("globals", CvarScope::Root);
    ASSERT_EQ(globals, context->globals);
    const auto has = [&](const Cvar* cvar) {
        return std::find(globals->cvars.begin(), globals->cvars.end(), cvar) != globals->cvars.end();
    };
    EXPECT_TRUE(has(&context->fx_gtime));
    EXPECT_TRUE(has(&context->fx_idx));
    EXPECT_EQ(context->fx_idx.name, "fx_idx");
    EXPECT_FLOAT_EQ(context->fx_idx.max, 10.0f);
    EXPECT_FLOAT_EQ(context->fx_gtime.max, 100.0f);
    EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot);
}

TEST_F(LayerCompositor, LayersRunInSlotOrderBetweenTheTwoTargets)
{
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> layers;
        int executions;
        int resultTarget; // 0 or 1
    };
    const Case cases[] = {
        {"nothing enabled", {}, 0, 0},
        {"effect then DOF", {{1, kEffect}, {14, kDOF}}, 1, 1},
        {"two effects", {{1, kEffect}, {3, kEffect}}, 2, 0},
        {"effect then two DOFs", {{1, kEffect}, {4, kDOF}, {9, kDOF}}, 1, 0},
        {"slot 20 is never run", {{20, kEffect}}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        resetSegments();
        layers(0, c.layers);
        component->executions = 0;
        const float black[4] = {0, 0, 0, 0};
        glClearTexImage(context->target0->glId, 0, GL_RGBA, GL_FLOAT, black);
        glClearTexImage(context->target1->glId, 0, GL_RGBA, GL_FLOAT, black);

        Texture* result = fx_layers_render_context(context, 2.0f);
        EXPECT_EQ(component->executions, c.executions);
        ASSERT_EQ(result, c.resultTarget ? context->target1 : context->target0);
        // Whatever the DOF layers did, the graph's image reaches the composed result.
        const std::array<float, 4> expected =
            c.executions ? std::array<float, 4>{kClear[0], kClear[1], kClear[2], kClear[3]} : std::array<float, 4>{};
        EXPECT_EQ(firstTexel(result), expected);
    }
}

TEST_F(LayerCompositor, FxIdxPicksTheSegmentClampedToTheTable)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float value;
        int segment;
    };
    for (const Case c : {Case{0.0f, 0}, Case{2.7f, 2}, Case{-0.5f, 0}, Case{31.99f, 31}, Case{32.0f, 31},
                         Case{1000.0f, 31}, Case{1e30f, 31}, Case{-3.0f, 0}, Case{-1e30f, 0}, Case{nan, 0},
                         Case{std::numeric_limits<float>::infinity(), 31}})
        EXPECT_EQ(fx_layers_segment(c.value), c.segment) << c.value;

    // A value far outside draws the last segment rather than reading past the table.
    layers(31, {{1, kEffect}});
    context->fx_idx.value[0] = 500.0f;
    LogCapture log;
    fx_layers_render_context(context, 0.0f);
    EXPECT_EQ(component->executions, 1);
    EXPECT_TRUE(log.contains("fx_idx"));

    context->fx_idx.value[0] = 2.7f; // segment 2 is empty
    fx_layers_render_context(context, 0.0f);
    EXPECT_EQ(component->executions, 1);
}

TEST_F(LayerCompositor, RenderWithoutAContextIsRefused)
{
    FxLayerContext* saved = fxLayerContext;
    fxLayerContext = nullptr;
    LogCapture log;
    fx_layers_render(0.0f);
    EXPECT_EQ(fx_layers_render_context(nullptr, 0.0f), nullptr);
    EXPECT_EQ(component->executions, 0);
    EXPECT_TRUE(log.contains("compositor"));
    fxLayerContext = saved;
}

// The parameter file of the current project is read first, and its values are taken over by the registration;
// ProjectLoading then adds its two camera parameters to the same branch.
TEST_F(LayerCompositor, StoredValuesAreTakenOverAndProjectLoadingAddsTheCameraParameters)
{
    fx_layers_destroy(context);
    context = nullptr;
    CvarTreeNode* globals = CvarTreeFindBranch("globals", CvarScope::Root);
    ASSERT_NE(globals, nullptr);
    // The stored form of "globals/fx_idx" = 3, as the tree writes it.
    Cvar stored;
    CvarTreeRegisterFloat(&stored, "fx_idx", 3.0f, 0.0f, 10.0f, CvarScope::Node, globals);
    const std::string text = CvarTreeToJson(&cvarTreeRoot);
    globals->cvars.erase(std::find(globals->cvars.begin(), globals->cvars.end(), &stored));

    testutil::TempDir dir("compositor");
    testutil::writeFile(dir.path() / "projects/p/variables.json", text);
    ScopedBasePath projectBase(dir.str());
    Project owner;
    owner.name = "p";
    owner.path = "projects/p";
    Project* savedCvarProject = cvarTreeProject;
    currentProject = &owner;

    context = fx_layers_create(kWidth, kHeight);
    EXPECT_FLOAT_EQ(context->fx_idx.value[0], 3.0f);
    EXPECT_EQ(cvarTreeProject, &owner);

    std::vector<Project*> none;
    none.swap(projectList);
    ProjectLoadingState* state = ProjectLoading(kWidth, kHeight);
    none.swap(projectList);
    std::vector<std::string> names;
    for (const Cvar* cvar : context->globals->cvars)
        names.push_back(cvar->name);
    EXPECT_EQ(names, (std::vector<std::string>{"fx_gtime", "fx_idx", "fx_cam_time", "fx_cam_idx"}));
    EXPECT_FLOAT_EQ(state->fxCamIdx.max, 10.0f);

    projtest::releaseProjectLoading(state);
    currentProject = nullptr;
    cvarTreeProject = savedCvarProject;
}

// The "hexagonal" parameter picks the passes from the next layer on: its intermediate image is only written when on.
TEST_F(LayerCompositor, HexagonalParameterPicksTheDepthOfFieldPasses)
{
    ASSERT_NE(context->dof, nullptr);
    // The depth the passes read, as a scene's frame leaves it attached.
    deferredRenderInit();
    deferredCreateTargets();
    deferredAttachFrameTargets();
    layers(0, {{1, kEffect}, {14, kDOF}});
    fx_layers_render_context(context, 1.0f);
    EXPECT_EQ(firstTexel(context->dof->hexaVertical), (std::array<float, 4>{0, 0, 0, 0}));
    context->dof->hexagonal.value[0] = 1.0f;
    fx_layers_render_context(context, 1.0f);
    // Nothing is blurred at the default radius of 0, so the upward line is the cleared colour itself.
    EXPECT_EQ(firstTexel(context->dof->hexaVertical), (std::array<float, 4>{kClear[0], kClear[1], kClear[2], kClear[3]}));
    EXPECT_EQ(firstTexel(context->target1), (std::array<float, 4>{kClear[0], kClear[1], kClear[2], kClear[3]}));
}

// The graph's published "main output" is what the layers work on, and the window shows their result in its place
// for the frame; an image some other producer publishes keeps its texture.
TEST_F(LayerCompositor, LayersWorkOnTheShownImageAndShowTheirResult)
{
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> layers;
        bool replaced;
    };
    const Case cases[] = {
        {"main output", {{1, kEffect}, {4, kDOF}, {9, kDOF}}, true},
        {"main output", {{1, kEffect}}, false},
        {"generated", {{1, kEffect}, {14, kDOF}}, false},
    };
    Texture* picture = txtCreateTarget("picture", kWidth, kHeight, IMAGE_TYPE_RGBA16F);
    const float colour[4] = {0.5f, 0.25f, 1.0f, 1.0f};
    glClearTexImage(picture->glId, 0, GL_RGBA, GL_FLOAT, colour);
    ASSERT_NE(currentResources, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.replaced ? ", blurred" : ""));
        resetSegments();
        layers(0, c.layers);
        ImageResource image(c.name, picture);
        ASSERT_TRUE(currentResources->add(&image));
        Texture* result = fx_layers_render_context(context, 1.0f);
        // The effect layer's target holds the published image, drawn over what the graph cleared it to.
        EXPECT_EQ(firstTexel(context->target0), (std::array<float, 4>{colour[0], colour[1], colour[2], colour[3]}));
        EXPECT_EQ(image.texture, c.replaced ? result : picture);
        EXPECT_EQ(firstTexel(result), (std::array<float, 4>{colour[0], colour[1], colour[2], colour[3]}));
        if (c.replaced) {
            // Next frame nothing sets the image again: it is the effect layer's own target now, so what the
            // graph drew there stays (no copy onto itself), and the new result is shown.
            Texture* next = fx_layers_render_context(context, 1.0f);
            EXPECT_EQ(image.texture, next);
            EXPECT_EQ(firstTexel(next), (std::array<float, 4>{kClear[0], kClear[1], kClear[2], kClear[3]}));
        }
        currentResources->remove(&image);
    }
    txtDestroy(picture);
}

// The shipped room's parameter file carries the depth of field it is shown with; the values are taken over and
// written back as they were read.
TEST_F(LayerCompositor, ShippedRoomDepthOfFieldComesFromItsParameterFile)
{
    fx_layers_destroy(context);
    context = nullptr;
    Project owner;
    owner.name = "room";
    owner.path = "projects/room";
    Project* savedCvarProject = cvarTreeProject;
    currentProject = &owner;
    context = fx_layers_create(kWidth, kHeight);
    currentProject = nullptr;
    cvarTreeProject = savedCvarProject;
    ASSERT_NE(context->dof, nullptr);

    EXPECT_GT(context->dof->max_radius.value[0], 0.0f);
    EXPECT_GT(context->dof->far_plane.value[0], 0.0f);
    const nlohmann::json file = nlohmann::json::parse(testutil::readFile(kAssets + "projects/room/variables.json"));
    nlohmann::json stored;
    for (const nlohmann::json& branch : file["children"])
        if (branch["branch_name"] == "dof_layer")
            stored = branch;
    ASSERT_FALSE(stored.is_null());
    EXPECT_EQ(CvarTreeToJsonValue(context->dof->branch), stored);
}

} // namespace
