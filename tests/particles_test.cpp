#include "components/particles.h"

#include "components/camera_component.h"
#include "components/instance_buffers.h"
#include "components/primitive_renderer.h"
#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_shader.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/deferred_targets.h"
#include "render/render_graph.h"
#include "renderer_fixture.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::ScopedProject;

namespace {

constexpr int kContainerRow = 11;
constexpr int kEmitterRow = 12;
constexpr int kInstancedRow = 15;
constexpr int kBlendedRow = 16;
constexpr int kVelocityRow = 19;

// The bytes of a trivially copyable record at an offset.
template <typename T, typename Record>
T at(const Record& record, size_t offset)
{
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(&record) + offset, sizeof value);
    return value;
}

std::string messages;
void captureMessage(const std::string& text, bool) { messages += text; }

struct Slot {
    float position[4];
    float state[4];
};

bool alive(const float* state) { return state[1] > 0.0f && state[0] >= 0.0f && state[0] < state[1]; }

class ParticlesGL : public RendererGLTest {
protected:
    std::unique_ptr<ScopedProject> project;
    GrdMessageSink savedSink = grdMessageSink;
    Camera camera;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project.reset(); // the old one restores the lists before the new one saves them
        project = std::make_unique<ScopedProject>();
        messages.clear();
        grdMessageSink = captureMessage;
        deferredscene::placeCamera(camera, {0, 0, -30}, {0, 0, 0}, float(deferredtest::kWidth) / deferredtest::kHeight);
    }
    void TearDown() override
    {
        project.reset();
        grdMessageSink = savedSink;
        RendererGLTest::TearDown();
    }

    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        EXPECT_NE(component, nullptr) << name;
        Cvar *p = nullptr, *r = nullptr, *s = nullptr;
        if (component->GetTransformCvars(&p, &r, &s)) {
            component->CreateChildPin();
            component->CreateEntityPin();
        }
        currentComponents->push_back(component);
        return static_cast<T*>(component);
    }

    particlecontainerfx* makeContainer(int capacity)
    {
        auto* container = make<particlecontainerfx>(kContainerRow, "Particles");
        container->maxParticles.value[0] = float(capacity);
        container->Init();
        return container;
    }

    // Links the producer's "modifier" output into the container's "modifier" input, as the node editor does.
    void link(particlecontainerfx* container, EngineComponent* producer)
    {
        container->modifierPin->links.push_back(producer->declaredOutputs[0]->id);
        container->OnInputConnected(container->modifierPin->id);
    }

    // Links as a loaded graph has them: Init follows, so the first update joins the blocks.
    void connect(particlecontainerfx* container, const std::vector<EngineComponent*>& producers)
    {
        for (EngineComponent* producer : producers)
            link(container, producer);
        container->Init();
    }

    // A new frame at this delta: producers write their blocks, the container records the step; then the
    // container advances once (what the first renderer's draw does).
    void frame(particlecontainerfx* container, const std::vector<EngineComponent*>& producers, float delta)
    {
        RenderItemBuilder builder;
        Timestep step;
        step.delta = delta;
        for (EngineComponent* producer : producers)
            producer->Execute(builder, step);
        container->Execute(builder, step);
        container->UpdateForRendering();
    }

    std::vector<Slot> readSlots(const particlecontainerfx* container)
    {
        const size_t n = size_t(std::max(container->capacity, 0));
        std::vector<float> positions(n * 4), states(n * 4);
        glGetNamedBufferSubData(container->positions->glId, 0, GLsizeiptr(n * 16), positions.data());
        glGetNamedBufferSubData(container->states->glId, 0, GLsizeiptr(n * 16), states.data());
        std::vector<Slot> slots(n);
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(slots[i].position, &positions[i * 4], 16);
            std::memcpy(slots[i].state, &states[i * 4], 16);
        }
        return slots;
    }

    void writeSlot(particlecontainerfx* container, uint32_t slot, const Slot& value)
    {
        glNamedBufferSubData(container->positions->glId, slot * 16, 16, value.position);
        glNamedBufferSubData(container->states->glId, slot * 16, 16, value.state);
    }

    static size_t liveCount(const std::vector<Slot>& slots)
    {
        size_t n = 0;
        for (const Slot& slot : slots)
            n += alive(slot.state) ? 1 : 0;
        return n;
    }
};

} // namespace

TEST(ParticleCounts, DispatchAndDrawCoverEverySlot)
{
    const struct {
        uint32_t capacity, groups, instances;
    } cases[] = {
        {0, 0, 0}, {1, 1, 1}, {64, 1, 1}, {65, 2, 1}, {100, 2, 1}, {128, 2, 1}, {129, 3, 2}, {30000, 469, 235},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(particleGroups(c.capacity), c.groups) << c.capacity;
        EXPECT_EQ(particleDrawInstances(c.capacity), c.instances) << c.capacity;
    }
}

TEST(ParticleEmission, FractionsAreCarriedToLaterFrames)
{
    const struct {
        float delta, rate;
        int frames;
        float emitted;       // each frame's share
        int32_t totalPending; // over all frames
    } cases[] = {
        {0.016f, 500.0f, 1, 8.0f, 8},
        {0.025f, 500.0f, 2, 12.5f, 25},        // 12 then 13
        {1.0f / 60.0f, 50.0f, 60, 0.8333333f, 50}, // below one per frame, still 50 a second
        {1.0f / 60.0f, 0.5f, 180, 0.0083333f, 1},
        {0.0f, 500.0f, 3, 0.0f, 0},
        {-0.1f, 500.0f, 3, 0.0f, 0},
        {NAN, 500.0f, 3, 0.0f, 0},
        {0.016f, 0.0f, 3, 0.0f, 0},
    };
    for (const auto& c : cases) {
        float carry = 0.0f;
        int32_t total = 0;
        for (int i = 0; i < c.frames; ++i) {
            const ParticleEmission emission = particleEmission(c.delta, c.rate, carry);
            EXPECT_NEAR(emission.emitted, c.emitted, 1e-4f) << c.delta << " x " << c.rate;
            EXPECT_GE(emission.pending, 0);
            total += emission.pending;
        }
        EXPECT_EQ(total, c.totalPending) << c.delta << " x " << c.rate;
    }
    // A huge delta is bounded instead of overflowing the count.
    float carry = 0.0f;
    EXPECT_EQ(particleEmission(1.0e30f, 10000.0f, carry).pending, kParticleMaxCapacity);
}

TEST(ParticleBlocks, PrimitiveEmitterBlockBytes)
{
    ScopedProject project;
    auto emitter = BuildComponent<particleemitterprimitivefx>("E");
    EXPECT_EQ(emitter->payload->name, "particleemitterprimitivefx/E");
    const float values[][4] = {{2, 1, 1}, {0, 0, 90}, {5, 6, 7}};
    Cvar* vectors[] = {&emitter->radius, &emitter->rotation, &emitter->position};
    for (int i = 0; i < 3; ++i)
        std::memcpy(vectors[i]->value, values[i], sizeof values[i]);
    const float color[4] = {0.25f, 0.5f, 0.75f, 1.0f};
    std::memcpy(emitter->color.value, color, sizeof color);
    const float size[3] = {4, 2, 1};
    std::memcpy(emitter->size.value, size, sizeof size);
    emitter->perimeterOnly.value[0] = 1.0f;
    emitter->primitive.value[0] = 1.7f;
    emitter->lifetime.value[0] = 3.0f;
    emitter->lifetimeRandomness.value[0] = 0.4f;
    emitter->seed.value[0] = 42.0f;

    const ParticleEmitterPrimitiveParams p = emitter->BuildParams(0.025f);
    // The emitter matrix scales first and rotates after: x stretched by 2 ends on y, then moves to the position.
    const float* m = &p.matrix[0];
    const float x[3] = {m[0] * 1 + m[3], m[4] * 1 + m[7], m[8] * 1 + m[11]};
    EXPECT_NEAR(std::hypot(x[0] - 5, x[1] - 6, x[2] - 7), 2.0f, 1e-5f);
    EXPECT_NEAR(std::fabs(x[1] - 6), 2.0f, 1e-5f);
    EXPECT_EQ(at<float>(p, 3 * 4), 5.0f);
    EXPECT_EQ(at<float>(p, 7 * 4), 6.0f);
    EXPECT_EQ(at<float>(p, 11 * 4), 7.0f);

    const struct {
        size_t offset;
        float value;
    } floats[] = {{64, 0.25f}, {68, 0.5f}, {72, 0.75f}, {76, 1.0f}, {80, 2.0f}, {84, 1.0f}, {88, 0.5f},
                  {100, 3.0f}, {104, 0.4f}, {108, 12.5f}, {112, 42.0f}};
    for (const auto& f : floats)
        EXPECT_FLOAT_EQ(at<float>(p, f.offset), f.value) << f.offset;
    EXPECT_EQ(at<int32_t>(p, 92), 1);  // perimeter only
    EXPECT_EQ(at<int32_t>(p, 96), 1);  // cube, truncated
    EXPECT_EQ(at<int32_t>(p, 116), 12); // pending; the half goes to the next frame
    EXPECT_EQ(emitter->BuildParams(0.025f).pending, 13);
}

TEST(ParticleBlocks, VelocityBlockBytes)
{
    ScopedProject project;
    auto velocity = BuildComponent<particlemodifiervelocityfx>("V");
    const float values[][4] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    Cvar* vectors[] = {&velocity->position, &velocity->radius, &velocity->velocity};
    for (int i = 0; i < 3; ++i)
        std::memcpy(vectors[i]->value, values[i], sizeof values[i]);
    velocity->falloff.value[0] = 2.9f;
    velocity->inverseFalloff.value[0] = 1.0f;
    const ParticleModifierVelocityParams p = velocity->BuildParams();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(at<float>(p, 0 + 4 * i), values[0][i]);
        EXPECT_EQ(at<float>(p, 16 + 4 * i), values[1][i]);
        EXPECT_EQ(at<float>(p, 32 + 4 * i), values[2][i]);
    }
    EXPECT_EQ(at<int32_t>(p, 12), 2);
    EXPECT_EQ(at<int32_t>(p, 28), 1);
    const Matrix volume = velocity->VolumeMatrix();
    EXPECT_EQ(volume.m[0], 4.0f);
    EXPECT_EQ(volume.m[5], 5.0f);
    EXPECT_EQ(volume.m[10], 6.0f);
    EXPECT_EQ(volume.m[3], 1.0f);
    EXPECT_EQ(volume.m[7], 2.0f);
    EXPECT_EQ(volume.m[11], 3.0f);
}

TEST_F(ParticlesGL, JoiningNamesBlocksByLinkPosition)
{
    auto* a = make<particlemodifiervelocityfx>(kVelocityRow, "A");
    auto* b = make<particlemodifiervelocityfx>(kVelocityRow, "B");
    for (auto* producer : {a, b})
        producer->Init();
    // A producer that publishes no blocks (the constraint's payload) and a link whose producer is gone.
    auto* holder = make<particlemodifiervelocityfx>(kVelocityRow, "Holder");
    ParticleConstraintResource constraintPayload("constraint", nullptr);
    OutputPin* constraintPin = holder->declaredOutputs[0];
    constraintPin->payload = &constraintPayload;
    const int32_t gone = 999002;
    b->payload->bindings["Extra{Name}"] = BufferBinding{true, b->paramsBuffer, 0};

    const int32_t outA = a->declaredOutputs[0]->id;
    const int32_t outB = b->declaredOutputs[0]->id;
    const ParticleModifierJoin join = particleJoinModifiers({constraintPin->id, outA, gone, outB});
    constraintPin->payload = holder->payload;

    EXPECT_EQ(join.buffers, (std::vector<BufferObject*>{nullptr, a->paramsBuffer, nullptr, b->paramsBuffer}));
    EXPECT_EQ(join.transformText, ReplaceNamePlaceholder(a->payload->transformBlock, "VM1") +
                                      ReplaceNamePlaceholder(b->payload->transformBlock, "VM3"));
    EXPECT_NE(join.paramsText.find("uniform VM1\n"), std::string::npos);
    EXPECT_NE(join.paramsText.find("VM3Params VM3_params;"), std::string::npos);
    EXPECT_EQ(join.paramsText.find("VM0"), std::string::npos);
    EXPECT_EQ(join.paramsText.find("{Name}"), std::string::npos);

    BufferBindings tables;
    particleAddModifierTables(tables, join.links);
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables.at("ExtraVM3").data, b->paramsBuffer);

    EXPECT_TRUE(particleJoinModifiers({}).paramsText.empty());
}

TEST_F(ParticlesGL, MaxParticlesStaysWithinTheBuffersTheGLAllows)
{
    auto* container = makeContainer(1000);
    GLint64 blockBytes = 0;
    glGetInteger64v(GL_MAX_SHADER_STORAGE_BLOCK_SIZE, &blockBytes);
    const int32_t limit = int32_t(std::min<GLint64>(kParticleMaxCapacity, blockBytes / 16));
    const struct {
        float requested;
        int32_t capacity;
        uint64_t positionBytes;
    } cases[] = {
        {-5.0f, 0, 64 * 16}, {0.0f, 0, 64 * 16}, {100.0f, 100, 100 * 16}, {1.0e9f, limit, uint64_t(limit) * 16},
    };
    for (const auto& c : cases) {
        container->maxParticles.value[0] = c.requested;
        container->OnCvarChanged(&container->maxParticles);
        EXPECT_EQ(container->capacity, c.capacity) << c.requested;
        EXPECT_EQ(container->maxParticles.value[0], float(c.capacity)) << c.requested;
        ASSERT_NE(container->positions, nullptr);
        EXPECT_EQ(container->positions->size, c.positionBytes);
        EXPECT_EQ(container->prefixSum->size, c.positionBytes / 4);
        EXPECT_LE(container->positions->size, uint64_t(blockBytes));
    }
}

TEST_F(ParticlesGL, OneUpdateMakesAsManyParticlesAsArePending)
{
    const struct {
        int capacity;
        float rate, delta;
        size_t alive;
    } cases[] = {
        {1000, 500.0f, 0.016f, 8},
        {1000, 500.0f, 0.025f, 12},
        {100, 10000.0f, 0.02f, 100}, // more pending than slots: every slot, the tail of the last group included
        {1, 500.0f, 0.016f, 1},
    };
    for (const auto& c : cases) {
        project.reset(); // the old one restores the lists before the new one saves them
        project = std::make_unique<ScopedProject>();
        auto* container = makeContainer(c.capacity);
        auto* emitter = make<particleemitterprimitivefx>(kEmitterRow, "E");
        emitter->Init();
        emitter->emissionRate.value[0] = c.rate;
        connect(container, {emitter});
        frame(container, {emitter}, c.delta);
        ASSERT_EQ(container->lifecycleDispatches, 1u);
        ASSERT_EQ(container->joined.links.size(), 1u) << "the first update joins the linked blocks";
        const std::vector<Slot> slots = readSlots(container);
        EXPECT_EQ(liveCount(slots), c.alive) << c.capacity << " slots, rate " << c.rate;
        for (const Slot& slot : slots)
            if (alive(slot.state)) {
                // Inside the unit sphere, with the emitter's lifetime (10 s less up to 20%).
                EXPECT_LE(std::hypot(slot.position[0], slot.position[1], slot.position[2]), 1.0001f);
                EXPECT_GE(slot.state[1], 8.0f - 1e-4f);
                EXPECT_LE(slot.state[1], 10.0f);
                EXPECT_EQ(slot.position[3], 1.0f); // "size" 1
            }
    }
}

TEST_F(ParticlesGL, ParticlesAgeAndDieAtTheirLifetime)
{
    auto* container = makeContainer(3);
    container->maxLifetime.value[0] = 1.5f;
    writeSlot(container, 0, {{0, 0, 0, 1}, {0.0f, 1.0f, 0, 0}});  // dies at its own lifetime
    writeSlot(container, 1, {{0, 0, 0, 1}, {0.0f, 10.0f, 0, 0}}); // cut at "max lifetime"
    writeSlot(container, 2, {{0, 0, 0, 1}, {0.0f, 0.0f, 0, 0}});  // dead stays dead
    const struct {
        float delta;
        bool alive[3];
    } steps[] = {{0.5f, {true, true, false}}, {0.6f, {false, true, false}}, {0.5f, {false, false, false}}};
    for (const auto& step : steps) {
        frame(container, {}, step.delta);
        const std::vector<Slot> slots = readSlots(container);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(alive(slots[i].state), step.alive[i]) << "slot " << i << " after " << step.delta;
    }
}

TEST_F(ParticlesGL, TwoVelocityModifiersAddUpInLinkOrder)
{
    auto* container = makeContainer(2);
    auto* up = make<particlemodifiervelocityfx>(kVelocityRow, "Up");
    auto* side = make<particlemodifiervelocityfx>(kVelocityRow, "Side");
    const float upValue[3] = {0, 0.01f, 0}, sideValue[3] = {2, 0, 0};
    std::memcpy(up->velocity.value, upValue, sizeof upValue);
    std::memcpy(side->velocity.value, sideValue, sizeof sideValue);
    up->Init();
    side->Init();
    connect(container, {up, side});
    EXPECT_NE(messages.find("Rebuild program initiated"), std::string::npos);
    writeSlot(container, 0, {{1, 1, 1, 1}, {0, 100, 0, 0}});
    frame(container, {up, side}, 0.0f);
    ASSERT_EQ(container->joined.links.size(), 2u);
    EXPECT_NE(messages.find("Rebuild shader. Inject particle modifiers"), std::string::npos);
    // Unscaled by time: each update adds the whole velocity.
    frame(container, {up, side}, 0.0f);
    const std::vector<Slot> slots = readSlots(container);
    EXPECT_NEAR(slots[0].position[0], 5.0f, 1e-5f);
    EXPECT_NEAR(slots[0].position[1], 1.02f, 1e-5f);
    EXPECT_NEAR(slots[0].position[2], 1.0f, 1e-5f);
}

TEST_F(ParticlesGL, LinkChangesRebuildAfterFiftyUpdatesAndResortsAtOnce)
{
    auto* container = makeContainer(64);
    auto* a = make<particlemodifiervelocityfx>(kVelocityRow, "A");
    auto* b = make<particlemodifiervelocityfx>(kVelocityRow, "B");
    a->Init();
    b->Init();
    frame(container, {}, 0.0f); // the armed first update joins nothing
    EXPECT_TRUE(container->joined.links.empty());

    link(container, a);
    link(container, b);
    for (int i = 0; i < kParticleRebuildDelay - 1; ++i)
        frame(container, {a, b}, 0.0f);
    EXPECT_TRUE(container->joined.links.empty()) << "still the previous joining";
    frame(container, {a, b}, 0.0f);
    EXPECT_EQ(container->joined.buffers, (std::vector<BufferObject*>{a->paramsBuffer, b->paramsBuffer}));

    // The node editor re-sorts the links without telling the container: the next update joins the new order, so
    // VM0 is B's block and B's buffer.
    std::swap(container->modifierPin->links[0], container->modifierPin->links[1]);
    frame(container, {a, b}, 0.0f);
    EXPECT_EQ(container->joined.buffers, (std::vector<BufferObject*>{b->paramsBuffer, a->paramsBuffer}));
    EXPECT_EQ(container->joined.links, container->modifierPin->links);
}

TEST_F(ParticlesGL, RenderersShareOneLifecycleDispatchPerFrame)
{
    auto* container = makeContainer(256);
    auto* instanced = make<ParticleRenderer>(kInstancedRow, "Tetra");
    auto* blended = make<ParticleRenderer>(kBlendedRow, "Quads");
    for (ParticleRenderer* renderer : {instanced, blended})
        renderer->particlesPin->links = {container->particlesPin->id};

    const Matrix identity;
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    for (int frameIndex = 1; frameIndex <= 2; ++frameIndex) {
        RenderItemBuilder builder;
        container->Execute(builder, Timestep{});
        for (Renderer::Pass pass : {Renderer::PASS_DEFERRED, Renderer::PASS_SHADOWMAP})
            for (ParticleRenderer* renderer : {instanced, blended})
                renderer->Render(&camera, &identity, pass, Timestep{});
        EXPECT_EQ(container->lifecycleDispatches, uint32_t(frameIndex));
    }
    fbPop();

    // No container at all ("max particles" 0): the update runs its course, nothing is dispatched or drawn.
    container->maxParticles.value[0] = 0.0f;
    container->OnCvarChanged(&container->maxParticles);
    RenderItemBuilder builder;
    container->Execute(builder, Timestep{});
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    instanced->Render(&camera, &identity, Renderer::PASS_DEFERRED, Timestep{});
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint primitives = 1;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &primitives);
    glDeleteQueries(1, &query);
    EXPECT_EQ(primitives, 0u);
    EXPECT_TRUE(container->updatedThisFrame);
    EXPECT_EQ(container->lifecycleDispatches, 2u);
}

TEST_F(ParticlesGL, AKnownParticleDrawsAtItsProjectedPosition)
{
    // One slot: fewer than one whole group of 128, which still gets its instance.
    auto* container = makeContainer(1);
    auto* renderer = make<ParticleRenderer>(kInstancedRow, "Tetra");
    renderer->particlesPin->links = {container->particlesPin->id};
    renderer->size.value[0] = 5.0f;
    const float world[3] = {4.0f, 2.0f, 0.0f};
    writeSlot(container, 0, {{world[0], world[1], world[2], 1.0f}, {0.0f, 100.0f, 0.0f, 0.0f}});

    deferredAttachFrameTargets();
    Framebuffer* target = deferredFindFramebuffer("deferred_deep");
    ASSERT_NE(target, nullptr);
    Texture* albedo = target->slots[FB_ATTACHMENT_COLOR0].texture;
    ASSERT_NE(albedo, nullptr);
    const float zero[4] = {0, 0, 0, 0};
    glClearTexImage(albedo->glId, 0, GL_RGBA, GL_FLOAT, zero);
    fbPush();
    ASSERT_TRUE(setcurrent(target));
    RenderItemBuilder builder;
    container->Execute(builder, Timestep{});
    renderer->Execute(builder, Timestep{});
    const Matrix identity;
    renderer->Render(&camera, &identity, Renderer::PASS_DEFERRED, Timestep{});
    fbPop();

    // The centre of the covered pixels against the particle's projection.
    const int w = deferredtest::kWidth, h = deferredtest::kHeight;
    std::vector<float> pixels(size_t(w) * h * 4);
    glGetTextureImage(albedo->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * sizeof(float)), pixels.data());
    double sx = 0, sy = 0;
    int covered = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float* p = &pixels[(size_t(y) * w + x) * 4];
            if (p[0] != 0 || p[1] != 0 || p[2] != 0 || p[3] != 0) {
                sx += x + 0.5;
                sy += y + 0.5;
                ++covered;
            }
        }
    ASSERT_GT(covered, 0);
    const TransformParams t = transformParamsFor(camera, identity);
    const Matrix clip = t.view.Multiply(t.projection); // projection x view
    float c[4];
    for (int row = 0; row < 4; ++row)
        c[row] = clip.m[row * 4] * world[0] + clip.m[row * 4 + 1] * world[1] + clip.m[row * 4 + 2] * world[2] +
                 clip.m[row * 4 + 3];
    const double px = (c[0] / c[3] * 0.5 + 0.5) * w, py = (c[1] / c[3] * 0.5 + 0.5) * h;
    EXPECT_NEAR(sx / covered, px, 3.0);
    EXPECT_NEAR(sy / covered, py, 3.0);
    EXPECT_LT(covered, w * h / 50) << "a small shape, not the screen";
}

TEST_F(ParticlesGL, ConstraintChainsReachTheirContainersAndCyclesEnd)
{
    constexpr int kConstraintRow = 21;
    const struct {
        float strength;
        float slot0x; // the particle at (5, 0, 0) afterwards
    } cases[] = {{1.0f, 1.0f}, {0.5f, 3.0f}, {0.0f, 5.0f}};
    for (const auto& c : cases) {
        project.reset(); // the old one restores the lists before the new one saves them
        project = std::make_unique<ScopedProject>();
        auto* container = makeContainer(100);
        auto* first = make<particlemodifierprimitiveconstraintfx>(kConstraintRow, "First");
        auto* second = make<particlemodifierprimitiveconstraintfx>(kConstraintRow, "Second");
        first->strength.value[0] = c.strength;
        // first -> second -> container, and second back into first.
        second->modifierPin->links = {first->modifierOutput->id};
        first->modifierPin->links = {second->modifierOutput->id};
        connect(container, {second});
        const float size[3] = {1, 1, 2};
        std::memcpy(first->size.value, size, sizeof size);

        writeSlot(container, 0, {{5, 0, 0, 1}, {0, 100, 0, 0}});
        writeSlot(container, 1, {{0.5f, 0, 0, 1}, {0, 100, 0, 0}}); // inside
        writeSlot(container, 2, {{5, 0, 0, 1}, {0, 0, 0, 0}});      // dead
        writeSlot(container, 3, {{0, 0, -4, 1}, {0, 100, 0, 0}});   // the ellipsoid reaches z = -2
        writeSlot(container, 99, {{5, 0, 0, 1}, {0, 100, 0, 0}});   // in the last, partial group
        RenderItemBuilder builder;
        first->Execute(builder, Timestep{});
        EXPECT_EQ(first->dispatches, 1u) << "one container, one path";

        const std::vector<Slot> slots = readSlots(container);
        EXPECT_NEAR(slots[0].position[0], c.slot0x, 1e-5f);
        EXPECT_NEAR(slots[99].position[0], c.slot0x, 1e-5f);
        EXPECT_EQ(slots[1].position[0], 0.5f);
        EXPECT_EQ(slots[2].position[0], 5.0f);
        EXPECT_NEAR(slots[3].position[2], c.strength >= 1.0f ? -2.0f : (c.strength > 0 ? -3.0f : -4.0f), 1e-5f);

        // The container joins nothing for the constraint's link and still runs its lifecycle.
        frame(container, {}, 0.0f);
        EXPECT_EQ(container->joined.buffers, std::vector<BufferObject*>{nullptr});
        EXPECT_TRUE(container->joined.paramsText.empty());
        EXPECT_EQ(container->lifecycleDispatches, 1u);
    }
}

TEST_F(ParticlesGL, CurlMovesLiveParticlesInsideItsVolume)
{
    constexpr int kCurlRow = 20;
    auto* container = makeContainer(4);
    auto* curl = make<particlemodifiercurlfx>(kCurlRow, "Curl");
    for (int i = 0; i < 3; ++i) {
        curl->radius.value[i] = 10.0f;
        curl->strength.value[i] = 5.0f;
        curl->noiseScale.value[i] = 0.5f;
    }
    curl->Init();
    connect(container, {curl});
    EXPECT_EQ(curl->payload->name, "particlemodifiercurlfx/Curl");

    const ParticleModifierCurlParams bytes = curl->BuildParams();
    EXPECT_EQ(at<float>(bytes, 32), 5.0f);  // strength
    EXPECT_EQ(at<float>(bytes, 44), 0.01f); // noise speed
    EXPECT_EQ(at<float>(bytes, 48), 0.5f);  // noise scale

    const Slot start[] = {
        {{1.3f, 0.7f, 0.2f, 1}, {0, 100, 0, 0}}, // live, inside: moves
        {{1.3f, 0.7f, 0.2f, 1}, {0, 0, 0, 0}},   // dead: stays
        {{50, 0.7f, 0.2f, 1}, {0, 100, 0, 0}},   // live, outside the falloff volume: stays
    };
    for (uint32_t i = 0; i < 3; ++i)
        writeSlot(container, i, start[i]);
    frame(container, {curl}, 0.1f);
    const std::vector<Slot> slots = readSlots(container);
    const bool moved[] = {true, false, false};
    for (int i = 0; i < 3; ++i) {
        const float d = std::hypot(slots[i].position[0] - start[i].position[0],
                                   slots[i].position[1] - start[i].position[1],
                                   slots[i].position[2] - start[i].position[2]);
        EXPECT_TRUE(std::isfinite(d)) << i;
        EXPECT_EQ(d > 1e-5f, moved[i]) << "slot " << i << " moved by " << d;
        EXPECT_LT(d, 5.0f) << "bounded by strength x delta x the field";
    }
}

TEST_F(ParticlesGL, RibbonRingFollowsSegmentsAndSamplingTime)
{
    constexpr int kRibbonRow = 17;
    auto* ribbon = make<particlerendererribbonfx>(kRibbonRow, "Ribbon");
    RenderItemBuilder builder;
    Timestep step;
    step.delta = 1.0f;
    ribbon->Execute(builder, step);
    EXPECT_EQ(ribbon->snapshotPositions, nullptr) << "nothing linked, nothing allocated";
    EXPECT_EQ(ribbon->dispatches, 0u);

    auto* container = makeContainer(3000);
    ribbon->particlesPin->links = {container->particlesPin->id};
    ribbon->OnInputConnected(ribbon->particlesPin->id);
    ASSERT_NE(ribbon->snapshotPositions, nullptr);
    EXPECT_EQ(ribbon->snapshotPositions->size, 32u * 3000u * 16u);
    EXPECT_EQ(ribbon->snapshotStates->size, 3000u * 16u);

    const struct {
        float delta;
        int32_t row;
    } steps[] = {{0.4f, 0}, {0.4f, 0}, {0.4f, 1}, {2.5f, 2}, {0.1f, 3}, {0.0f, 3}};
    for (const auto& s : steps) {
        step.delta = s.delta;
        ribbon->Execute(builder, step);
        EXPECT_EQ(ribbon->rowCounter, s.row) << "after " << s.delta;
    }
    EXPECT_EQ(ribbon->dispatches, 6u);

    // Rows below one would divide by zero; the ring keeps one row.
    for (float segments : {0.0f, -3.0f, 0.5f}) {
        ribbon->segmentsCvar.value[0] = segments;
        ribbon->OnCvarChanged(&ribbon->segmentsCvar);
        EXPECT_EQ(ribbon->segments, 1) << segments;
        EXPECT_EQ(ribbon->snapshotPositions->size, 3000u * 16u);
        ribbon->Execute(builder, step);
    }
}

TEST_F(ParticlesGL, RibbonRowsRecordTheParticlesOfEveryContainer)
{
    constexpr int kRibbonRow = 17;
    auto* ribbon = make<particlerendererribbonfx>(kRibbonRow, "Ribbon");
    auto* container = makeContainer(100);
    ribbon->segmentsCvar.value[0] = 2.0f;
    ribbon->particlesPin->links = {container->particlesPin->id};
    ribbon->OnInputConnected(ribbon->particlesPin->id);
    writeSlot(container, 99, {{1, 2, 3, 1}, {0, 100, 0, 0}}); // the tail of the second group

    RenderItemBuilder builder;
    Timestep step;
    step.delta = 0.5f;
    ribbon->Execute(builder, step); // row 0
    writeSlot(container, 99, {{4, 5, 6, 1}, {0, 100, 0, 0}});
    step.delta = 0.6f;
    ribbon->Execute(builder, step); // row 1 starts
    std::vector<float> rows(2 * 100 * 4);
    glGetNamedBufferSubData(ribbon->snapshotPositions->glId, 0, GLsizeiptr(rows.size() * 4), rows.data());
    const float* first = &rows[99 * 4];
    const float* second = &rows[(100 + 99) * 4];
    EXPECT_EQ(std::vector<float>(first, first + 4), (std::vector<float>{1, 2, 3, 1}));
    EXPECT_EQ(std::vector<float>(second, second + 4), (std::vector<float>{4, 5, 6, 1}));
    float state[4] = {};
    glGetNamedBufferSubData(ribbon->snapshotStates->glId, 99 * 16, 16, state);
    EXPECT_EQ(state[1], 100.0f) << "a new row takes the states";
}

TEST_F(ParticlesGL, InstancesEmitterBlockBytes)
{
    auto* emitter = make<particleemitterinstancesfx>(14, "E");
    const float values[][4] = {{0.1f, 0.2f, 0.3f, 0.4f}, {4, 2, 6}, {1, 2, 3}};
    std::memcpy(emitter->color.value, values[0], sizeof values[0]);
    std::memcpy(emitter->size.value, values[1], sizeof values[1]);
    std::memcpy(emitter->positionRandomness.value, values[2], sizeof values[2]);
    emitter->lifetime.value[0] = 7.0f;
    emitter->lifetimeRandomness.value[0] = 0.5f;
    emitter->seed.value[0] = 20.0f;
    const ParticleEmitterInstancesParams p = emitter->BuildParams(0.025f);
    const struct {
        size_t offset;
        float value;
    } floats[] = {{0, 0.1f}, {12, 0.4f}, {16, 2.0f}, {20, 1.0f}, {24, 3.0f}, {28, 7.0f},
                  {32, 1.0f}, {40, 3.0f}, {44, 0.5f}, {48, 12.5f}};
    for (const auto& f : floats)
        EXPECT_FLOAT_EQ(at<float>(p, f.offset), f.value) << f.offset;
    // The frame seed is the process's emission counter plus "seed", one step per frame of any instances emitter.
    EXPECT_EQ(at<float>(p, 52), float(particleInstancesEmissions - 1) + 20.0f);
    EXPECT_EQ(at<float>(emitter->BuildParams(0.025f), 52), at<float>(p, 52) + 1.0f);
    EXPECT_EQ(at<int32_t>(p, 56), 0) << "nothing to emit at without a set";
    EXPECT_EQ(at<uint32_t>(p, 60), 0u);
}

TEST_F(ParticlesGL, InstancesEmitterEmitsAtNonZeroInstances)
{
    constexpr int kInstancesEmitterRow = 14;
    // Instance 0 at (5, 0, 0), instance 1 all zero (skipped), instance 2 at (0, 7, 0).
    const float rows[3][12] = {{1, 0, 0, 5, 0, 1, 0, 0, 0, 0, 1, 0}, {}, {1, 0, 0, 0, 0, 1, 0, 7, 0, 0, 1, 0}};
    const struct {
        const char* what;
        bool linked;
        bool zeroed;
        size_t alive;
    } cases[] = {
        {"two usable instances", true, false, 20},
        {"every transform zero", true, true, 0},
        {"no instance set", false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        project.reset(); // the old one restores the lists before the new one saves them
        project = std::make_unique<ScopedProject>();
        std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(3));
        ASSERT_NE(set, nullptr);
        if (!c.zeroed)
            glNamedBufferSubData(set->transforms->glId, 0, sizeof rows, rows);
        InstancesResource published("Source/internal", set.get());
        auto* source = make<particlemodifiervelocityfx>(kVelocityRow, "Source");
        OutputPin* instOut = source->AddOutput("inst", ResourceType::Instances);
        instOut->payload = &published;

        auto* container = makeContainer(64);
        auto* emitter = make<particleemitterinstancesfx>(kInstancesEmitterRow, "Emitter");
        emitter->emissionRate.value[0] = 1000.0f;
        if (c.linked)
            emitter->instPin->links = {instOut->id};
        emitter->Init();
        connect(container, {emitter});
        frame(container, {emitter}, 0.02f);
        EXPECT_EQ(container->lifecycleDispatches, 1u);
        EXPECT_EQ(at<uint32_t>(emitter->BuildParams(0.0f), 60), c.linked ? 3u : 0u);
        EXPECT_EQ(emitter->payload->bindings.at("InstanceTransformBuffer{Name}").data,
                  c.linked ? set->transforms : InstanceBuffers::Default()->transforms);

        const std::vector<Slot> slots = readSlots(container);
        EXPECT_EQ(liveCount(slots), c.alive);
        for (const Slot& slot : slots)
            if (alive(slot.state)) {
                const bool atFirst = slot.position[0] == 5 && slot.position[1] == 0 && slot.position[2] == 0;
                const bool atThird = slot.position[0] == 0 && slot.position[1] == 7 && slot.position[2] == 0;
                EXPECT_TRUE(atFirst || atThird) << slot.position[0] << ", " << slot.position[1];
            }
        instOut->payload = nullptr; // the record goes with this iteration
    }
}

namespace {

// A renderer stand-in that reports where its surfaces were exported.
class ExportingSource : public EngineComponent {
public:
    ExportingSource() : EngineComponent(30, "Source") { AddOutput("entity out", ResourceType::Entity); }
    CvarTreeNode* GetCvarTree() override { return nullptr; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    std::vector<GeometryExportRecord*> GetGeometries() override { return records; }
    std::vector<GeometryExportRecord*> records;
};

} // namespace

TEST_F(ParticlesGL, GeometryEmitterFollowsItsSourceExports)
{
    constexpr int kGeometryEmitterRow = 13;
    auto* source = new ExportingSource();
    currentComponents->push_back(source);
    auto* emitter = make<particleemittergeometryfx>(kGeometryEmitterRow, "Emitter");
    emitter->Init();
    BufferObject voxelCopy, traceCopy;
    RaytraceSceneBuffers scene;
    scene.geometryVoxel = &voxelCopy;
    scene.geometryRaytrace = &traceCopy;
    RaytraceSceneBuffers* savedScene = currentRaytraceScene;

    GeometryExportRecord both{0, 5, 10, 12}, traceOnly{0, 5, -1, 7}, neither{0, -1, -1, 3};
    const struct {
        const char* what;
        bool linked;
        std::vector<GeometryExportRecord*> records;
        RaytraceSceneBuffers* scene;
        int32_t pending, base, faces;
        BufferObject* vertices; // null: the stand-in
    } cases[] = {
        {"no link", false, {}, &scene, 0, 0, 0, nullptr},
        {"voxel copy first", true, {&both, &traceOnly}, &scene, 8, 10, 12, &voxelCopy},
        {"no exports: the last source's faces", true, {}, &scene, 0, 10, 12, nullptr},
        {"traced only", true, {&traceOnly}, &scene, 8, 5, 7, &traceCopy},
        {"exported nowhere", true, {&neither}, &scene, 0, -1, 7, nullptr},
        {"no raytracer", true, {&both}, nullptr, 0, 10, 12, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emitter->fxEntPin->links.clear();
        if (c.linked)
            emitter->fxEntPin->links.push_back(source->declaredOutputs[0]->id);
        source->records = c.records;
        currentRaytraceScene = c.scene;
        const ParticleEmitterGeometryParams p = emitter->BuildParams(0.16f);
        EXPECT_EQ(at<int32_t>(p, 32), c.pending);
        EXPECT_EQ(at<int32_t>(p, 36), c.base);
        EXPECT_EQ(at<int32_t>(p, 40), c.faces);
        EXPECT_FLOAT_EQ(at<float>(p, 24), 8.0f);
        ASSERT_EQ(emitter->payload->bindings.count("InVertexBuffer"), 1u);
        EXPECT_EQ(emitter->payload->bindings.at("InVertexBuffer").data,
                  c.vertices ? c.vertices : emitter->paramsBuffer);
    }
    currentRaytraceScene = savedScene;

    // Without a raytracer the lifecycle still runs with the emitter joined, and emits nothing.
    emitter->fxEntPin->links.clear();
    auto* container = makeContainer(64);
    connect(container, {emitter});
    frame(container, {emitter}, 0.16f);
    EXPECT_EQ(container->lifecycleDispatches, 1u);
    const auto& blocks = container->lifecycleProgram->storageBlocks;
    EXPECT_EQ(blocks.count("InVertexBuffer"), 1u);
    EXPECT_EQ(blocks.count("BucketData"), 0u) << "only the vertices of the scene buffers";
    EXPECT_EQ(liveCount(readSlots(container)), 0u);
}

// A renderer made in the editor draws with the material's usual values (white, visible), not with zeros, which drew
// every particle black.
TEST_F(ParticlesGL, NewRenderersStartFromTheMaterialDefaults)
{
    constexpr int kBlendedRow = 16;
    constexpr int kRibbonRow = 17;
    std::vector<MaterialCvarBlock*> slots;
    slots.push_back(&make<ParticleRenderer>(kInstancedRow, "Tetra")->slot);
    slots.push_back(&make<ParticleRenderer>(kBlendedRow, "Quads")->slot);
    slots.push_back(&make<particlerendererribbonfx>(kRibbonRow, "Ribbon")->slot);
    for (const MaterialCvarBlock* slot : slots) {
        EXPECT_EQ(slot->diffuse.value[0], 1.0f);
        EXPECT_EQ(slot->diffuse.value[2], 1.0f);
        EXPECT_EQ(slot->visible.value[0], 1.0f);
        EXPECT_EQ(slot->roughness.value[0], 0.5f);
    }
}
