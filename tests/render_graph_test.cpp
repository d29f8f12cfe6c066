#include "render/render_graph.h"

#include "app/timing.h"
#include "gl_context.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/curve_texture.h"
#include "project_test_util.h"
#include "render/entities.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace gl;
using projtest::addComponent;
using projtest::LogCapture;
using projtest::ScopedProject;
using Renderer::Pass;

namespace {

// A component with a transform (so it has the "child" and "entity" pins) whose execution and pass entries the
// test decides.
class Drawer : public projtest::TestTransform {
public:
    explicit Drawer(const std::string& name) : TestTransform(name) { root = true; }
    void Execute(RenderItemBuilder& builder, Timestep time) override
    {
        if (onExecute)
            onExecute(builder, time);
    }
    void AddRenderPasses(RenderItemBuilder& builder, std::vector<RenderPassItem>& passes) override
    {
        if (onPasses)
            onPasses(builder, passes);
    }

    std::function<void(RenderItemBuilder&, Timestep)> onExecute;
    std::function<void(RenderItemBuilder&, std::vector<RenderPassItem>&)> onPasses;
};

RenderPassItem itemEntry(RenderItem* item, Pass pass, Camera* camera = nullptr)
{
    RenderPassItem entry;
    entry.item = item;
    entry.pass = pass;
    entry.camera = camera;
    if (camera) {
        entry.view = camera->view;
        entry.projection = camera->projection;
    }
    return entry;
}

RenderPassItem functionEntry(RenderFunctionItem* function, Pass pass, Camera* camera)
{
    RenderPassItem entry;
    entry.function = function;
    entry.pass = pass;
    entry.camera = camera;
    return entry;
}

// "owner:Pass" per entry.
std::vector<std::string> describe(const std::vector<RenderPassItem>& list)
{
    std::vector<std::string> out;
    for (const RenderPassItem& e : list) {
        const EngineComponent* owner = e.item ? e.item->owner : e.function->owner;
        out.push_back(owner->name + ":" + Renderer::GetPassName(e.pass));
    }
    return out;
}

RenderItem noopItem(EngineComponent* owner, const Matrix& model = Matrix::Identity())
{
    return RenderItem([](Camera*, const Matrix*, Pass, Timestep) {}, owner, model);
}

RenderFunctionItem noopFunction(EngineComponent* owner)
{
    return RenderFunctionItem([](Camera*, Timestep) {}, owner);
}

class PassListTest : public ::testing::Test {
protected:
    ScopedProject project;
    RenderItemBuilder builder;
    std::vector<RenderPassItem> passList;

    Drawer* add(const std::string& name) { return addComponent<Drawer>(name); }
    void build() { Renderer::BuildPassList(passList, project.components, builder); }
};

} // namespace

// ---- Pass names ----

TEST(RenderPassNames, EveryKindHasItsNameAndOthersAreRefused)
{
    const std::vector<std::string> expected = {
        "Deferred",     "Shadowmap",     "Alpha",          "Geometry",        "GeometryPartition", "Raytrace",
        "Voxelization", "VoxelLighting", "VolumetricFog",  "Lighting",        "Composite",         "VoxelizationDebug",
        "RenderBegin",  "RenderEnd",     "SceneHierarchy", "RenderWireframe", "Function"};
    ASSERT_EQ(expected.size(), static_cast<size_t>(Renderer::kPassCount));
    for (int i = 0; i < Renderer::kPassCount; ++i)
        EXPECT_EQ(Renderer::GetPassName(static_cast<Pass>(i)), expected[static_cast<size_t>(i)]) << i;

    LogCapture log;
    EXPECT_EQ(Renderer::GetPassName(static_cast<Pass>(17)), "");
    EXPECT_EQ(Renderer::GetPassName(static_cast<Pass>(-1)), "");
    EXPECT_EQ(log.count("Unknown render pass"), 2);
}

// ---- Building and ordering the pass list ----

// The scene player's shape of a frame: three items, two lights, one of which leaves out the tagged owner, and
// a plain function item of another component after it.
TEST_F(PassListTest, ScenePlayerEntriesKeepTheirOrderAndFunctionItemsFollow)
{
    Drawer* player = add("player");
    Drawer* post = add("post");
    Drawer* mesh0 = add("mesh0");
    Drawer* mesh1 = add("mesh1");
    Drawer* mesh2 = add("mesh2");
    mesh2->tags = {"noshadow"};
    for (Drawer* mesh : {mesh0, mesh1, mesh2})
        builder.AddItem(noopItem(mesh, Matrix::Translation(1.0f, 2.0f, 3.0f)));
    builder.functionItems.push_back(noopFunction(post));

    Camera camera;
    Light sun;
    Light lamp;
    lamp.excludedTags = "noshadow";
    std::vector<Light*> lights = {&sun, &lamp};
    std::map<Pass, RenderFunctionItem> steps;
    player->onPasses = [&](RenderItemBuilder& b, std::vector<RenderPassItem>& passes) {
        auto step = [&](Pass pass) {
            steps[pass] = noopFunction(player);
            passes.push_back(functionEntry(&steps[pass], pass, &camera));
        };
        step(Renderer::PASS_RENDER_BEGIN);
        for (RenderItem& item : b.items) {
            passes.push_back(itemEntry(&item, Renderer::PASS_GEOMETRY, &camera));
            for (Light* light : lights)
                if (light->excludedTags.empty() || !item.owner->HasTag(light->excludedTags))
                    passes.push_back(itemEntry(&item, Renderer::PASS_SHADOWMAP, light));
        }
        step(Renderer::PASS_GEOMETRY_PARTITION);
        step(Renderer::PASS_VOXELIZATION);
        for (RenderItem& item : b.items)
            passes.push_back(itemEntry(&item, Renderer::PASS_DEFERRED, &camera));
        for (Pass pass : {Renderer::PASS_VOXEL_LIGHTING, Renderer::PASS_VOLUMETRIC_FOG,
                          Renderer::PASS_VOXELIZATION_DEBUG, Renderer::PASS_LIGHTING, Renderer::PASS_RENDER_END,
                          Renderer::PASS_RENDER_WIREFRAME, Renderer::PASS_COMPOSITE})
            step(pass);
    };
    build();

    const std::vector<std::string> expected = {
        "player:RenderBegin",  "mesh0:Geometry",      "mesh0:Shadowmap",     "mesh0:Shadowmap",
        "mesh1:Geometry",      "mesh1:Shadowmap",     "mesh1:Shadowmap",     "mesh2:Geometry",
        "mesh2:Shadowmap",     "player:GeometryPartition", "player:Voxelization", "mesh0:Deferred",
        "mesh1:Deferred",      "mesh2:Deferred",      "player:VoxelLighting", "player:VolumetricFog",
        "player:VoxelizationDebug", "player:Lighting", "player:RenderEnd",   "player:RenderWireframe",
        "player:Composite",    "post:Function"};
    EXPECT_EQ(describe(passList), expected);
    EXPECT_EQ(passList[3].camera, &lamp);
    EXPECT_EQ(passList[0].camera, &camera) << "function entries keep the camera they were given";
    EXPECT_EQ(passList.back().camera, nullptr);
    EXPECT_EQ(passList.back().function, &builder.functionItems[0]);

    Renderer::WritePassLog(passList);
    ASSERT_EQ(graphPassLog.size(), expected.size());
    EXPECT_EQ(graphPassLog[0], "RFI:player / RenderBegin");
    EXPECT_EQ(graphPassLog[1], "RPI:mesh0 / Geometry   1 2 3");
    EXPECT_EQ(graphPassLog[2], "RPI:mesh0 / Shadowmap   1 2 3");
    EXPECT_EQ(graphPassLog.back(), "RFI:post / Function");
}

namespace {

struct ItemFixture {
    std::string owner;
    std::vector<std::pair<std::string, Pass>> dependsOn;
};
struct OrderCase {
    const char* name;
    std::vector<ItemFixture> items;                  // one render item each
    std::vector<std::pair<int, Pass>> entries;    // item index, pass, in work-list order
    std::vector<ItemFixture> functions;              // function items
    std::vector<std::string> expected;
};

} // namespace

TEST_F(PassListTest, DependenciesOrderTheEntries)
{
    using namespace Renderer;
    const std::vector<OrderCase> cases = {
        {"no dependencies keep the list order",
         {{"A", {}}, {"B", {}}},
         {{0, PASS_GEOMETRY}, {1, PASS_GEOMETRY}, {0, PASS_DEFERRED}},
         {},
         {"A:Geometry", "B:Geometry", "A:Deferred"}},
        {"every later shadow entry of the owner runs first",
         {{"A", {}}, {"B", {{"A", PASS_SHADOWMAP}}}},
         {{1, PASS_GEOMETRY}, {0, PASS_GEOMETRY}, {0, PASS_SHADOWMAP}, {1, PASS_SHADOWMAP}, {0, PASS_SHADOWMAP}},
         {},
         {"A:Shadowmap", "A:Shadowmap", "B:Geometry", "A:Geometry", "B:Shadowmap"}},
        {"a pass the owner has no entry of is ignored",
         {{"A", {}}, {"B", {{"A", PASS_DEFERRED}, {"Nobody", PASS_GEOMETRY}}}},
         {{1, PASS_GEOMETRY}, {0, PASS_GEOMETRY}},
         {},
         {"B:Geometry", "A:Geometry"}},
        {"dependencies are followed transitively",
         {{"A", {}}, {"B", {{"A", PASS_GEOMETRY}}}, {"C", {{"B", PASS_GEOMETRY}}}},
         {{2, PASS_GEOMETRY}, {1, PASS_GEOMETRY}, {0, PASS_GEOMETRY}},
         {},
         {"A:Geometry", "B:Geometry", "C:Geometry"}},
        {"function items run after every item entry, in the order added; they are never targets",
         {{"A", {{"F", PASS_FUNCTION}}}, {"B", {}}},
         {{0, PASS_GEOMETRY}, {1, PASS_GEOMETRY}},
         {{"F", {{"B", PASS_GEOMETRY}}}, {"G", {}}, {"H", {{"A", PASS_GEOMETRY}}}},
         {"A:Geometry", "B:Geometry", "F:Function", "G:Function", "H:Function"}},
        {"a cycle is cut and lists every entry once",
         {{"A", {{"B", PASS_GEOMETRY}}}, {"B", {{"A", PASS_GEOMETRY}}}},
         {{0, PASS_GEOMETRY}, {1, PASS_GEOMETRY}},
         {},
         {"B:Geometry", "A:Geometry"}},
        {"an item depending on its own pass kind",
         {{"A", {{"A", PASS_GEOMETRY}}}, {"B", {}}},
         {{1, PASS_GEOMETRY}, {0, PASS_GEOMETRY}},
         {},
         {"B:Geometry", "A:Geometry"}},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedProject local;
        std::map<std::string, EngineComponent*> owners;
        auto owner = [&](const std::string& name) {
            if (!owners.count(name))
                owners[name] = addComponent<Drawer>(name);
            return owners[name];
        };
        RenderItemBuilder b;
        for (const ItemFixture& wanted : c.items) {
            RenderItem item = noopItem(owner(wanted.owner));
            for (const auto& [name, pass] : wanted.dependsOn)
                item.dependencies.push_back({owner(name), pass});
            b.AddItem(item);
        }
        for (const ItemFixture& wanted : c.functions) {
            RenderFunctionItem function = noopFunction(owner(wanted.owner));
            for (const auto& [name, pass] : wanted.dependsOn)
                function.dependencies.push_back({owner(name), pass});
            b.functionItems.push_back(function);
        }
        auto* source = addComponent<Drawer>("source");
        source->onPasses = [&](RenderItemBuilder& bb, std::vector<RenderPassItem>& passes) {
            for (const auto& [index, pass] : c.entries)
                passes.push_back(itemEntry(&bb.items[static_cast<size_t>(index)], pass));
        };
        std::vector<RenderPassItem> list;
        Renderer::BuildPassList(list, local.components, b);
        EXPECT_EQ(describe(list), c.expected);
    }
}

TEST_F(PassListTest, CycleIsReportedOncePerPairAcrossFrames)
{
    Drawer* a = add("cycA");
    Drawer* b = add("cycB");
    Drawer* source = add("source");
    LogCapture log;
    for (int frame = 0; frame < 3; ++frame) {
        RenderItemBuilder frameBuilder;
        RenderItem itemA = noopItem(a);
        itemA.dependencies.push_back({b, Renderer::PASS_SHADOWMAP});
        RenderItem itemB = noopItem(b);
        itemB.dependencies.push_back({a, Renderer::PASS_SHADOWMAP});
        frameBuilder.AddItem(itemA);
        frameBuilder.AddItem(itemB);
        source->onPasses = [](RenderItemBuilder& bb, std::vector<RenderPassItem>& passes) {
            for (RenderItem& item : bb.items)
                passes.push_back(itemEntry(&item, Renderer::PASS_SHADOWMAP));
        };
        std::vector<RenderPassItem> list;
        Renderer::BuildPassList(list, project.components, frameBuilder);
        EXPECT_EQ(describe(list), (std::vector<std::string>{"cycB:Shadowmap", "cycA:Shadowmap"}));
    }
    EXPECT_EQ(log.count("Dependency cycle between the passes cycB / Shadowmap and cycA / Shadowmap"), 1);
}

TEST_F(PassListTest, LateItemsJoinTheItemsAndEntriesWithoutWorkAreDropped)
{
    Drawer* early = add("early");
    Drawer* late = add("late");
    Drawer* source = add("source");
    builder.AddItem(noopItem(early));
    builder.lateItems.push_back(noopItem(late, Matrix::Translation(0.5f, -4.0f, 0.0f)));
    size_t seenItems = 0;
    source->onPasses = [&](RenderItemBuilder& b, std::vector<RenderPassItem>& passes) {
        seenItems = b.items.size();
        passes.push_back(RenderPassItem{}); // neither an item nor a function: never listed
        for (RenderItem& item : b.items)
            passes.push_back(itemEntry(&item, Renderer::PASS_GEOMETRY));
    };
    build();
    EXPECT_EQ(seenItems, 2u);
    EXPECT_EQ(describe(passList), (std::vector<std::string>{"early:Geometry", "late:Geometry"}));
    Renderer::WritePassLog(passList);
    EXPECT_EQ(graphPassLog.back(), "RPI:late / Geometry   0.5 -4 0");
}

TEST_F(PassListTest, EmptyFrameGivesAnEmptyListAndLog)
{
    graphPassLog = {"stale line"};
    build();
    EXPECT_TRUE(passList.empty());
    Renderer::WritePassLog(passList);
    EXPECT_TRUE(graphPassLog.empty());
}

// ---- Scene hierarchy ----

namespace {

void link(EngineComponent* parent, EngineComponent* child)
{
    parent->childPin->links.push_back(child->entityPin->id);
}

Vector3 translationOf(const Matrix& m) { return {m.m[3], m.m[7], m.m[11]}; }

} // namespace

TEST_F(PassListTest, ParentsApplyTheirTransformAfterTheChildsOwn)
{
    Drawer* root = add("root");
    Drawer* group = add("group");
    Drawer* leaf = add("leaf");
    Drawer* loose = add("loose");
    link(root, group);
    link(group, leaf);
    // Children's items come first: the parents must still be resolved before them.
    builder.AddItem(noopItem(leaf, Matrix::Translation(1.0f, 0.0f, 0.0f)));
    builder.AddItem(noopItem(group, Matrix::Scale(2.0f, 2.0f, 2.0f)));
    builder.AddItem(noopItem(root, Matrix::Translation(0.0f, 0.0f, 5.0f)));
    builder.AddItem(noopItem(loose, Matrix::Translation(7.0f, 0.0f, 0.0f)));
    builder.ApplySceneHierarchy();

    // leaf: scaled by its group after its own translation, then moved by the root.
    const Vector3 leafAt = translationOf(builder.items[0].model);
    EXPECT_FLOAT_EQ(leafAt.x, 2.0f);
    EXPECT_FLOAT_EQ(leafAt.z, 5.0f);
    EXPECT_FLOAT_EQ(builder.items[1].model.m[0], 2.0f);
    EXPECT_FLOAT_EQ(translationOf(builder.items[1].model).z, 5.0f);
    EXPECT_FLOAT_EQ(translationOf(builder.items[2].model).z, 5.0f) << "the root keeps its own matrix";
    EXPECT_FLOAT_EQ(translationOf(builder.items[3].model).x, 7.0f);
}

TEST_F(PassListTest, OnlyTheLastItemOfAnOwnerIsTransformed)
{
    Drawer* parent = add("parent");
    Drawer* child = add("child");
    link(parent, child);
    builder.AddItem(noopItem(parent, Matrix::Translation(10.0f, 0.0f, 0.0f)));
    builder.AddItem(noopItem(child, Matrix::Translation(0.0f, 1.0f, 0.0f)));
    builder.AddItem(noopItem(child, Matrix::Translation(0.0f, 2.0f, 0.0f)));
    builder.ApplySceneHierarchy();
    EXPECT_FLOAT_EQ(translationOf(builder.items[1].model).x, 0.0f);
    EXPECT_FLOAT_EQ(translationOf(builder.items[2].model).x, 10.0f);
    EXPECT_FLOAT_EQ(translationOf(builder.items[2].model).y, 2.0f);
}

TEST_F(PassListTest, HierarchyFaultsAreLoggedAndLeaveTheOwnMatrix)
{
    Drawer* bare = add("bare"); // a parent without a render item
    Drawer* orphan = add("orphan");
    Drawer* ringA = add("ringA");
    Drawer* ringB = add("ringB");
    link(bare, orphan);
    link(ringA, ringB);
    link(ringB, ringA);
    builder.AddItem(noopItem(orphan, Matrix::Translation(3.0f, 0.0f, 0.0f)));
    builder.AddItem(noopItem(ringA, Matrix::Translation(1.0f, 0.0f, 0.0f)));
    builder.AddItem(noopItem(ringB, Matrix::Translation(0.0f, 1.0f, 0.0f)));

    LogCapture log;
    for (int frame = 0; frame < 2; ++frame) {
        RenderItemBuilder copy = builder;
        copy.ApplySceneHierarchy();
        EXPECT_FLOAT_EQ(translationOf(copy.items[0].model).x, 3.0f);
    }
    EXPECT_EQ(log.count("This should not happen! Problematic Parent ID : " + std::to_string(bare->id) + " UUID:" +
                        std::to_string(bare->uuid) + " (bare)"),
              2)
        << "logged every frame";
    EXPECT_EQ(log.count("Scene hierarchy cycle through component"), 1);
}

// ---- Running the passes ----

namespace {

struct Call {
    std::string what;
    Camera* camera;
    Matrix model;
    Pass pass;
    float time;
    GLint drawFramebuffer;
    RenderState state;
};

class PassExecutionTest : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        timerResetGpu();
        fbCurrent = nullptr;
        fbStackTop = 0;
        savedHooks = renderGraphHooks;
        // These tests run the graph, not the deferred renderer: left installed, RenderGraph would make the renderer's
        // programs and records here and leave them, half used, to the next test.
        renderGraphHooks.deferredRenderInit = nullptr;
        renderGraphHooks.resetMaterialTable = nullptr;
    }
    void TearDown() override
    {
        renderGraphHooks = savedHooks;
        for (Framebuffer* fb : framebuffers)
            fbDestroy(fb);
        for (Texture* texture : textures)
            txtDestroy(texture);
        fbCurrent = nullptr;
        fbStackTop = 0;
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDisable(GL_CULL_FACE); // the passes leave their render state applied
        timerResetGpu();
        GLTest::TearDown();
    }

    // A complete 64 x 64 framebuffer with a depth attachment.
    Framebuffer* target(const char* name)
    {
        Texture* depth = txtCreate(TEXTURE_TYPE_2D, 64, 64, IMAGE_TYPE_DEPTH32F);
        textures.push_back(depth);
        Framebuffer* fb = fbCreate(name);
        fbAttach(fb, FB_ATTACHMENT_DEPTH, depth);
        framebuffers.push_back(fb);
        return fb;
    }

    RenderItemCallback recorder(const std::string& what)
    {
        return [this, what](Camera* camera, const Matrix* model, Pass pass, Timestep time) {
            GLint bound = -1;
            glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
            calls.push_back({what, camera, *model, pass, time.time, bound,
                             renderStateTop()});
        };
    }
    RenderFunctionCallback functionRecorder(const std::string& what)
    {
        return [this, what](Camera* camera, Timestep time) {
            calls.push_back({what, camera, Matrix{}, Renderer::PASS_FUNCTION, time.time, -1, RenderState{}});
        };
    }

    static std::vector<std::string> recordNames()
    {
        std::vector<std::string> names;
        for (const GpuTimerRecord* record : gpuTimerFrameRecords)
            names.push_back(record->name);
        return names;
    }

    std::vector<Call> calls;
    std::vector<Framebuffer*> framebuffers;
    std::vector<Texture*> textures;
    RenderGraphHooks savedHooks{};
};

bool sameMatrix(const Matrix& a, const Matrix& b)
{
    return std::equal(std::begin(a.m), std::end(a.m), std::begin(b.m));
}

} // namespace

TEST_F(PassExecutionTest, ShadowEntriesDrawOnlyIntoTheLightsShadowMaps)
{
    ScopedProject project;
    EngineComponent* mesh = addComponent<Drawer>("mesh");
    RenderItem item(recorder("mesh"), mesh, Matrix::Translation(1.0f, 2.0f, 3.0f));

    Light casting;
    casting.shadowCullMode = 2;
    casting.cascadeCount = 2; // the second cascade has no map: skipped
    casting.shadowFramebuffers[0] = target("shadow");
    Light unlit; // no shadow framebuffer at all
    Light bogus;
    bogus.cascadeCount = 40; // more than a light can hold
    bogus.shadowFramebuffers[3] = target("shadow3");
    bogus.shadowMatrices[3] = Matrix::Scale(3.0f, 3.0f, 3.0f);
    Camera notALight;

    RenderPassItem first = itemEntry(&item, Renderer::PASS_SHADOWMAP, &casting);
    first.view = Matrix::Translation(0.0f, 0.0f, -9.0f);
    first.projection = Matrix::Scale(0.5f, 0.5f, 0.5f);
    std::vector<RenderPassItem> list = {first, itemEntry(&item, Renderer::PASS_SHADOWMAP, &unlit),
                                        itemEntry(&item, Renderer::PASS_SHADOWMAP, &bogus),
                                        itemEntry(&item, Renderer::PASS_SHADOWMAP, &notALight)};
    LogCapture log;
    const size_t states = renderStateStack.size();
    Renderer::ExecutePassList(list, Timestep{2.5f, 0.1f, false});

    ASSERT_EQ(calls.size(), 2u) << "a light without a shadow map and a plain camera draw nothing";
    EXPECT_EQ(calls[0].camera, &casting);
    EXPECT_EQ(calls[0].pass, Renderer::PASS_SHADOWMAP);
    EXPECT_FLOAT_EQ(calls[0].time, 2.5f);
    EXPECT_EQ(calls[0].drawFramebuffer, static_cast<GLint>(casting.shadowFramebuffers[0]->glId));
    const RenderState shadowState{.cullMode = 2, .depthFunc = 5, .srcBlend = 1, .dstBlend = 1, .blendOp = 0,
                                  .depthWrite = true, .depthTest = true, .stencilTest = false,
                                  .stencilWrite = false, .conservativeRaster = false};
    EXPECT_TRUE(calls[0].state == shadowState);
    EXPECT_TRUE(sameMatrix(calls[0].model, item.model));
    EXPECT_TRUE(sameMatrix(casting.view, first.view));
    EXPECT_TRUE(sameMatrix(casting.projection, first.projection));
    EXPECT_EQ(calls[1].camera, &bogus);
    EXPECT_EQ(calls[1].drawFramebuffer, static_cast<GLint>(bogus.shadowFramebuffers[3]->glId));
    EXPECT_TRUE(sameMatrix(bogus.projection, bogus.shadowMatrices[3])) << "later cascades take their own matrix";

    EXPECT_TRUE(log.contains("Shadowmap entry mesh / Shadowmap has no light"));
    EXPECT_EQ(renderStateStack.size(), states);
    EXPECT_EQ(fbStackTop, 0);
    GLint bound = -1;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0) << "the framebuffer current before the pass is bound again";

    // The log keeps every entry, drawn or not.
    Renderer::WritePassLog(list);
    EXPECT_EQ(graphPassLog, std::vector<std::string>(4, "RPI:mesh / Shadowmap   1 2 3"));
}

TEST_F(PassExecutionTest, DeferredEntriesDrawIntoTheirTargetWithTheEntryCamera)
{
    ScopedProject project;
    EngineComponent* mesh = addComponent<Drawer>("mesh");
    RenderItem solid(recorder("solid"), mesh, Matrix{});
    RenderItem particles(recorder("particles"), mesh, Matrix{});
    particles.target = 1;
    RenderItem stray(recorder("stray"), mesh, Matrix{});
    stray.target = 7;

    Camera camera;
    RenderPassItem entry = itemEntry(&solid, Renderer::PASS_DEFERRED, &camera);
    entry.view = Matrix::Translation(0.0f, 0.0f, -2.0f);
    entry.projection = Matrix::Scale(1.0f, 2.0f, 1.0f);
    std::vector<RenderPassItem> list = {entry, itemEntry(&particles, Renderer::PASS_DEFERRED, &camera),
                                        itemEntry(&stray, Renderer::PASS_DEFERRED, &camera)};

    LogCapture log;
    renderGraphHooks.deferredTarget = nullptr;
    Renderer::ExecutePassList(list, Timestep{});
    EXPECT_TRUE(calls.empty()) << "without deferred targets nothing may be drawn into the window";
    EXPECT_TRUE(log.contains("No deferred target 0"));
    EXPECT_TRUE(log.contains("names target 7"));

    static Framebuffer* deep = nullptr;
    static Framebuffer* particleTarget = nullptr;
    deep = target("deferred_deep");
    particleTarget = target("deferred_particles");
    renderGraphHooks.deferredTarget = [](int index) { return index == 0 ? deep : particleTarget; };
    Renderer::ExecutePassList(list, Timestep{});
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "solid");
    EXPECT_EQ(calls[0].drawFramebuffer, static_cast<GLint>(deep->glId));
    EXPECT_EQ(calls[0].camera, &camera);
    EXPECT_EQ(calls[0].pass, Renderer::PASS_DEFERRED);
    const RenderState deferredState{.cullMode = 0, .depthFunc = 5, .srcBlend = 1, .dstBlend = 1, .blendOp = 0,
                                    .depthWrite = true, .depthTest = true, .stencilTest = false,
                                    .stencilWrite = false, .conservativeRaster = false};
    EXPECT_TRUE(calls[0].state == deferredState);
    EXPECT_EQ(calls[1].drawFramebuffer, static_cast<GLint>(particleTarget->glId));
    EXPECT_TRUE(sameMatrix(camera.projection, list[1].projection));
    EXPECT_EQ(fbStackTop, 0);
    EXPECT_TRUE(renderStateStack.empty());
}

TEST_F(PassExecutionTest, FunctionEntriesGetTheirCameraInsideATimingScope)
{
    ScopedProject project;
    EngineComponent* player = addComponent<Drawer>("player");
    EngineComponent* post = addComponent<Drawer>("post");
    RenderFunctionItem begin(functionRecorder("begin"), player);
    RenderFunctionItem effect(functionRecorder("effect"), post);
    RenderFunctionItem empty(RenderFunctionCallback{}, post);
    RenderItem geometry(recorder("geometry"), player, Matrix{});
    RenderItem alpha(recorder("alpha"), player, Matrix{});
    RenderItem hollow(RenderItemCallback{}, player, Matrix{});
    Camera camera;

    std::vector<RenderPassItem> list = {functionEntry(&begin, Renderer::PASS_RENDER_BEGIN, &camera),
                                        itemEntry(&geometry, Renderer::PASS_GEOMETRY, &camera),
                                        itemEntry(&alpha, Renderer::PASS_ALPHA, &camera),
                                        itemEntry(&hollow, Renderer::PASS_GEOMETRY, &camera),
                                        itemEntry(&hollow, Renderer::PASS_DEFERRED, &camera),
                                        functionEntry(&empty, Renderer::PASS_FUNCTION, nullptr),
                                        functionEntry(&effect, Renderer::PASS_FUNCTION, nullptr)};
    LogCapture log;
    Renderer::ExecutePassList(list, Timestep{4.0f, 0.0f, false});
    Renderer::ExecutePassList(list, Timestep{4.0f, 0.0f, false});

    ASSERT_EQ(calls.size(), 6u) << "an Alpha item entry runs nothing; empty callbacks are skipped";
    EXPECT_EQ(calls[0].what, "begin");
    EXPECT_EQ(calls[0].camera, &camera);
    EXPECT_EQ(calls[1].what, "geometry");
    EXPECT_EQ(calls[1].pass, Renderer::PASS_GEOMETRY);
    EXPECT_EQ(calls[2].what, "effect");
    EXPECT_EQ(calls[2].camera, nullptr);
    EXPECT_FLOAT_EQ(calls[2].time, 4.0f);
    EXPECT_EQ(log.count("has no callback; it is skipped"), 3) << "once per entry, not per frame";

    const std::vector<std::string> names = recordNames();
    const std::vector<std::string> firstFrame(names.begin(), names.begin() + 4);
    EXPECT_EQ(firstFrame, (std::vector<std::string>{"FUN:player:Function_opening", "FUN:player:Function",
                                                    "FUN:post:Function_opening", "FUN:post:Function"}));
    EXPECT_EQ(gpuTimerFrameRecords[0]->depth, gpuTimerFrameRecords[1]->depth);
    EXPECT_TRUE(gpuTimerNameStack.empty());
}

// ---- A whole graph render ----

namespace {

int hookCalls[3];
EngineComponent* raytracerSeen = nullptr;

} // namespace

TEST_F(PassExecutionTest, RenderGraphExecutesBuildsLogsAndRuns)
{
    ScopedProject project;
    Drawer* player = addComponent<Drawer>("player");
    Drawer* group = addComponent<Drawer>("group");
    Drawer* mesh = addComponent<Drawer>("mesh");
    Drawer* post = addComponent<Drawer>("post");
    Drawer* tracer = addComponent<Drawer>("tracer");
    tracer->typeIndex = 4;
    tracer->root = false;
    link(group, mesh);
    Camera camera;

    group->onExecute = [&](RenderItemBuilder& b, Timestep) {
        b.AddItem(RenderItem(recorder("group"), group, Matrix::Translation(10.0f, 0.0f, 0.0f)));
    };
    mesh->onExecute = [&](RenderItemBuilder& b, Timestep) {
        b.AddItem(RenderItem(recorder("mesh"), mesh, Matrix::Translation(0.0f, 1.0f, 0.0f)));
    };
    post->onExecute = [&](RenderItemBuilder& b, Timestep) {
        b.functionItems.emplace_back(functionRecorder("post"), post);
    };
    player->onPasses = [&](RenderItemBuilder& b, std::vector<RenderPassItem>& passes) {
        for (RenderItem& item : b.items)
            passes.push_back(itemEntry(&item, Renderer::PASS_GEOMETRY, &camera));
    };

    hookCalls[0] = hookCalls[1] = hookCalls[2] = 0;
    raytracerSeen = nullptr;
    renderGraphHooks.useRaytracer = [](EngineComponent* c) {
        ++hookCalls[0];
        raytracerSeen = c;
    };
    renderGraphHooks.deferredRenderInit = [] { ++hookCalls[1]; };
    renderGraphHooks.resetMaterialTable = [] { ++hookCalls[2]; };
    curveTextureNextRow = 17;
    const int run = graphRunNumber;

    Renderer::RenderGraph(Timestep{3.0f, 0.02f, false});

    EXPECT_EQ(graphRunNumber, run + 1);
    EXPECT_EQ(mesh->lastRun, graphRunNumber);
    EXPECT_EQ(curveTextureNextRow, 0);
    EXPECT_EQ(hookCalls[0], 1);
    EXPECT_EQ(raytracerSeen, tracer);
    EXPECT_EQ(hookCalls[1], 1);
    EXPECT_EQ(hookCalls[2], 1);

    // The group's "child" input links the mesh, so the mesh executes (and adds its item) first.
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].what, "mesh");
    EXPECT_FLOAT_EQ(translationOf(calls[0].model).x, 10.0f) << "the parent's transform reaches the child's item";
    EXPECT_FLOAT_EQ(translationOf(calls[0].model).y, 1.0f);
    EXPECT_EQ(calls[0].camera, &camera);
    EXPECT_EQ(calls[1].what, "group");
    EXPECT_EQ(calls[2].what, "post");
    EXPECT_FLOAT_EQ(calls[2].time, 3.0f);
    EXPECT_EQ(graphPassLog, (std::vector<std::string>{"RPI:mesh / Geometry   10 1 0", "RPI:group / Geometry   10 0 0",
                                                      "RFI:post / Function"}));

    const std::vector<std::string> names = recordNames();
    const std::string meshScope = "Component " + std::to_string(mesh->id) + ":mesh";
    EXPECT_NE(std::find(names.begin(), names.end(), meshScope + "_opening"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "FUN:post:Function"), names.end());
    EXPECT_TRUE(gpuTimerNameStack.empty());
    EXPECT_EQ(graphHooks.executeScopeBegin, nullptr) << "the graph's hooks are left as they were";
}

// The player renders with timing scopes off: the same frame runs, but no component or pass scope takes a timestamp
// and the graph is never handed the scope hooks.
TEST_F(PassExecutionTest, RenderGraphWithScopesOffTakesNoTimestamps)
{
    ScopedProject project;
    Drawer* mesh = addComponent<Drawer>("mesh");
    Drawer* post = addComponent<Drawer>("post");
    bool hooked = false;
    mesh->onExecute = [&](RenderItemBuilder&, Timestep) { hooked = graphHooks.executeScopeBegin != nullptr; };
    post->onExecute = [&](RenderItemBuilder& b, Timestep) {
        b.functionItems.emplace_back(functionRecorder("post"), post);
    };

    graphPassLog = {"earlier line"};
    timerSetGpuScopesEnabled(false);
    Renderer::RenderGraph(Timestep{3.0f, 0.02f, false});
    timerSetGpuScopesEnabled(true);

    EXPECT_EQ(graphPassLog, std::vector<std::string>{"earlier line"}) << "playback formats no pass log";
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "post") << "the function item still runs";
    EXPECT_EQ(mesh->lastRun, graphRunNumber);
    EXPECT_FALSE(hooked) << "no scope names are built for the components";
    EXPECT_TRUE(gpuTimerFrameRecords.empty());
    EXPECT_TRUE(gpuTimerRecords.empty());

    // The editor's frame: the same graph opens its component scope again.
    Renderer::RenderGraph(Timestep{3.0f, 0.02f, false});
    EXPECT_TRUE(hooked);
    const std::vector<std::string> names = recordNames();
    const std::string meshScope = "Component " + std::to_string(mesh->id) + ":mesh";
    EXPECT_NE(std::find(names.begin(), names.end(), meshScope), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "FUN:post:Function"), names.end());
    EXPECT_EQ(graphPassLog, std::vector<std::string>{"RFI:post / Function"});
}

// ---- Long chains ----

// Long enough to overflow the call stack of a recursive walk under the sanitizers; each walk still scans the list
// per step, so not much longer.
constexpr int kLongChain = 8000;

TEST_F(PassListTest, LongDependencyChainOrdersWithoutRecursing)
{
    std::vector<Drawer*> owners;
    for (int i = 0; i < kLongChain; ++i)
        owners.push_back(add("d" + std::to_string(i)));
    for (int i = 0; i < kLongChain; ++i) {
        RenderItem item = noopItem(owners[i]);
        if (i + 1 < kLongChain)
            item.dependencies.push_back({owners[i + 1], Renderer::PASS_GEOMETRY});
        builder.AddItem(item);
    }
    owners[0]->onPasses = [&](RenderItemBuilder& b, std::vector<RenderPassItem>& passes) {
        for (RenderItem& item : b.items)
            passes.push_back(itemEntry(&item, Renderer::PASS_GEOMETRY));
    };
    build();
    ASSERT_EQ(passList.size(), static_cast<size_t>(kLongChain));
    for (int i = 0; i < kLongChain; ++i)
        ASSERT_EQ(passList[i].item->owner, owners[kLongChain - 1 - i]) << i;
}

TEST_F(PassListTest, LongParentChainCombinesEveryLevel)
{
    std::vector<Drawer*> levels;
    for (int i = 0; i < kLongChain; ++i) {
        levels.push_back(add("level" + std::to_string(i)));
        if (i > 0)
            link(levels[i - 1], levels[i]);
    }
    for (int i = kLongChain - 1; i >= 0; --i)
        builder.AddItem(noopItem(levels[i], Matrix::Translation(1.0f, 0.0f, 0.0f)));
    builder.ApplySceneHierarchy();
    EXPECT_FLOAT_EQ(translationOf(builder.items[0].model).x, static_cast<float>(kLongChain));
    EXPECT_FLOAT_EQ(translationOf(builder.items.back().model).x, 1.0f);
}
