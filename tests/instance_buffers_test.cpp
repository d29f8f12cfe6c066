#include "components/instance_buffers.h"

#include "app/data_files.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "project_test_util.h"
#include "render/render_graph.h"
#include "shader_test_util.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace gl;

namespace {

float halfToFloat(uint16_t h)
{
    const int exponent = (h >> 10) & 31;
    const float mantissa = static_cast<float>(h & 1023);
    const float magnitude = exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024.0f + mantissa, exponent - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}

struct Instance {
    float rows[12];
    uint16_t colour[4];
};

class InstanceSets : public GLTest {
protected:
    std::string oldBase = dataBasePath();

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 16));
    }
    void TearDown() override
    {
        instanceModifierProgramsRelease();
        constBufferRingShutdown();
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }

    // Instance i: identity rotation, translation (i, 2i, -i), colour (1, 0.5, 0.25, 2).
    static void fill(InstanceBuffers& set, uint32_t first, uint32_t count)
    {
        auto* rows = reinterpret_cast<float*>(set.transforms->hostCopy);
        auto* colours = reinterpret_cast<uint16_t*>(set.colours->hostCopy);
        for (uint32_t i = first; i < first + count; ++i) {
            const float f = static_cast<float>(i);
            const float r[12] = {1, 0, 0, f, 0, 1, 0, 2 * f, 0, 0, 1, -f};
            std::memcpy(rows + i * 12, r, sizeof r);
            const uint16_t c[4] = {0x3C00, 0x3800, 0x3400, 0x4000};
            std::memcpy(colours + i * 4, c, sizeof c);
        }
        glNamedBufferSubData(set.transforms->glId, 0, static_cast<GLsizeiptr>(set.transforms->size),
                             set.transforms->hostCopy);
        glNamedBufferSubData(set.colours->glId, 0, static_cast<GLsizeiptr>(set.colours->size), set.colours->hostCopy);
    }
    static std::vector<Instance> read(const InstanceBuffers& set, uint32_t count)
    {
        std::vector<float> rows(static_cast<size_t>(count) * 12);
        std::vector<uint16_t> colours(static_cast<size_t>(count) * 4);
        glGetNamedBufferSubData(set.transforms->glId, 0, static_cast<GLsizeiptr>(rows.size() * 4), rows.data());
        glGetNamedBufferSubData(set.colours->glId, 0, static_cast<GLsizeiptr>(colours.size() * 2), colours.data());
        std::vector<Instance> out(count);
        for (uint32_t i = 0; i < count; ++i) {
            std::memcpy(out[i].rows, &rows[i * 12], sizeof out[i].rows);
            std::memcpy(out[i].colour, &colours[i * 4], sizeof out[i].colour);
        }
        return out;
    }

    // A modifier payload with a parameter buffer of four floats.
    struct Modifier {
        InstanceModifierResource payload;
        BufferObject* buffer = nullptr;
        Modifier(const std::string& params, const std::string& transform, const float values[4]) : payload("test")
        {
            payload.paramsBlock = params;
            payload.transformBlock = transform;
            if (values) {
                buffer = boCreate("test modifier", 16);
                glNamedBufferSubData(buffer->glId, 0, 16, values);
                payload.paramsBuffer = buffer;
            }
        }
        ~Modifier() { boDelete(buffer); }
    };

    // Moves every instance by the block's vector and doubles its x axis.
    static constexpr const char* kMoveParams = "\nlayout(std430) buffer {Name}\n{\n    vec4 {Name}_offset;\n};\n";
    static constexpr const char* kMoveTransform =
        "    instance.transform[3].xyz += {Name}_offset.xyz;\n    instance.transform[0].x *= 2.0;\n";
    // Scales the colour by the block's factor and stores the instance index in alpha.
    static constexpr const char* kTintParams = "\nlayout(std430) buffer {Name}\n{\n    vec4 {Name}_factor;\n};\n";
    static constexpr const char* kTintTransform =
        "    instance.color = vec4(instance.color.rgb * {Name}_factor.x, float(id));\n";
};

// Texts of their own, so that each test builds its program afresh.
std::string tagged(const char* text) { return shadertest::uniqueTag() + text; }

} // namespace

TEST(InstanceModifierText, ReplaceNamePlaceholder)
{
    const struct {
        const char* text;
        const char* name;
        const char* expected;
    } cases[] = {
        {"{Name}{Name}", "VM3", "VM3VM3"},
        {"buffer {Name} { vec4 {Name}_p; };", "VM0", "buffer VM0 { vec4 VM0_p; };"},
        {"no placeholder here", "VM1", "no placeholder here"},
        {"", "VM1", ""},
        {"{Nam {name} Name}", "VM1", "{Nam {name} Name}"},
        // The inserted name is never searched again, even when it spells the placeholder.
        {"a{Name}b", "{Name}", "a{Name}b"},
        {"{{Name}}", "x", "{x}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceNamePlaceholder(c.text, c.name), c.expected) << c.text;
}

TEST(InstanceModifierText, GroupsCoverTheTail)
{
    const uint32_t cases[][2] = {{0, 0}, {1, 1}, {31, 1}, {32, 1}, {33, 2}, {37, 2}, {64, 2}, {65, 3},
                                 {0xFFFFFFFFu, 0x8000000u}};
    for (const auto& c : cases)
        EXPECT_EQ(instanceModifierGroups(c[0]), c[1]) << c[0];
    const uint32_t capacities[][2] = {{0, 0}, {1, 1}, {5, 5}, {100, 110}, {1000, 1100}, {4000000000u, 0xFFFFFFFFu}};
    for (const auto& c : capacities)
        EXPECT_EQ(instanceBuffersGrownCapacity(c[0]), c[1]) << c[0];
}

TEST(InstanceModifierText, ChainJoinsModifiersByLinkPosition)
{
    InstanceModifierResource first("first"), second("second"), bufferless("bufferless");
    BufferObject bufferA, bufferB;
    first.paramsBlock = "P[{Name}]";
    first.transformBlock = "T[{Name}]";
    first.paramsBuffer = &bufferA;
    second.paramsBlock = "Q[{Name}]\n";
    second.transformBlock = "U[{Name}]\n";
    second.paramsBuffer = &bufferB;
    bufferless.paramsBlock = "R[{Name}]";
    bufferless.transformBlock = "V[{Name}]";
    ValueResource notAModifier("value");
    Resource wrongType(ResourceType::Object, "object"); // a hand-edited link to some other payload

    InstanceModifierChain chain;
    chain.Build({&first, &second});
    EXPECT_EQ(chain.paramsText, "P[VM0]Q[VM1]\n");
    EXPECT_EQ(chain.transformText, "T[VM0]U[VM1]\n");
    EXPECT_EQ(chain.buffers, (std::vector<BufferObject*>{&bufferA, &bufferB}));

    // Skipped entries keep their place in the numbering, so each buffer stays under the name its text uses.
    chain.Build({nullptr, &second, &notAModifier, &wrongType, &bufferless, &first});
    EXPECT_EQ(chain.paramsText, "Q[VM1]\nR[VM4]P[VM5]");
    EXPECT_EQ(chain.transformText, "U[VM1]\nV[VM4]T[VM5]");
    EXPECT_EQ(chain.buffers, (std::vector<BufferObject*>{nullptr, &bufferB, nullptr, nullptr, nullptr, &bufferA}));
    BufferBindings bindings;
    shaderBindingsAddModifiers(bindings, chain.buffers);
    EXPECT_EQ(bindings.size(), 2u);
    EXPECT_EQ(bindings.at("VM1").data, &bufferB);
    EXPECT_EQ(bindings.at("VM5").data, &bufferA);

    chain.Build({});
    EXPECT_TRUE(chain.paramsText.empty() && chain.transformText.empty() && chain.buffers.empty());
}

TEST_F(InstanceSets, CreateAndResizeKeepTheirCapacityRules)
{
    std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(4));
    ASSERT_TRUE(set);
    EXPECT_EQ(set->count, 4u);
    EXPECT_EQ(set->capacity, 4u);
    EXPECT_EQ(set->transforms->size, 4u * 48);
    EXPECT_EQ(set->colours->size, 4u * 8);
    char label[64] = {};
    glGetObjectLabel(GL_BUFFER, set->transforms->glId, sizeof label, nullptr, label);
    EXPECT_STREQ(label, "InstancingTransforms");
    glGetObjectLabel(GL_BUFFER, set->colours->glId, sizeof label, nullptr, label);
    EXPECT_STREQ(label, "InstancingColors");

    // At or below the capacity: the same buffers with their contents, only the count changes.
    fill(*set, 0, 4);
    BufferObject* transforms = set->transforms;
    for (uint32_t n : {3u, 0u, 4u}) {
        ASSERT_TRUE(set->Resize(n));
        EXPECT_EQ(set->count, n);
        EXPECT_EQ(set->capacity, 4u);
        EXPECT_EQ(set->transforms, transforms);
    }
    EXPECT_EQ(read(*set, 4)[3].rows[3], 3.0f);

    const uint32_t growth[][2] = {{5, 5}, {50, 55}, {100, 110}, {110, 110}, {7, 110}};
    for (const auto& step : growth) {
        ASSERT_TRUE(set->Resize(step[0]));
        EXPECT_EQ(set->count, step[0]);
        EXPECT_EQ(set->capacity, step[1]);
        EXPECT_EQ(set->transforms->size, uint64_t(step[1]) * 48);
        EXPECT_EQ(set->colours->size, uint64_t(step[1]) * 8);
    }
    // Grown buffers start from zero.
    EXPECT_EQ(read(*set, 4)[3].rows[3], 0.0f);
}

TEST_F(InstanceSets, BindingsOfTheDefaultSetAndOfAComponentsSet)
{
    BufferBindings bindings;
    shaderBindingsAddInstances(bindings, nullptr);
    InstanceBuffers* def = InstanceBuffers::Default();
    ASSERT_EQ(bindings.size(), 3u);
    const BufferBinding& params = bindings.at("InstanceParamsBuffer");
    EXPECT_FALSE(params.isBufferObject);
    ASSERT_EQ(params.size, 16u);
    int32_t header[4];
    std::memcpy(header, params.data, 16);
    EXPECT_EQ(header[0], 1);
    EXPECT_EQ(header[1], 0);
    EXPECT_EQ(header[2], 0);
    EXPECT_EQ(bindings.at("InstanceTransformBuffer").data, def->transforms);
    EXPECT_EQ(bindings.at("InstanceColorBuffer").data, def->colours);
    // The GPU copy: one identity transform, one opaque white colour.
    const Instance only = read(*def, 1)[0];
    const float identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(std::memcmp(only.rows, identity, sizeof identity), 0);
    for (uint16_t c : only.colour)
        EXPECT_EQ(c, 0x3C00);
    BufferBindings direct;
    InstanceBuffers::BindDefault(direct);
    EXPECT_EQ(direct.at("InstanceTransformBuffer").data, def->transforms);

    std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(8));
    set->Resize(6);
    set->header[3] = 77;
    shaderBindingsAddInstances(bindings, set.get());
    std::memcpy(header, bindings.at("InstanceParamsBuffer").data, 16);
    EXPECT_EQ(header[0], 6);
    EXPECT_EQ(header[1], 3);
    EXPECT_EQ(header[2], 0);
    EXPECT_EQ(header[3], 77); // never written
    EXPECT_EQ(bindings.at("InstanceTransformBuffer").data, set->transforms);
    EXPECT_EQ(bindings.at("InstanceColorBuffer").data, set->colours);
    // The default set is untouched by binding a component's set.
    EXPECT_EQ(def->header[0], 1);
    EXPECT_EQ(def->header[1], 0);
}

TEST_F(InstanceSets, ChainRunsOverEveryInstanceInUseAndNoOther)
{
    const float offset[4] = {10, 20, 30, 0};
    const float factor[4] = {0.5f, 0, 0, 0};
    Modifier move(tagged(kMoveParams), kMoveTransform, offset);
    Modifier tint(kTintParams, kTintTransform, factor);
    InstanceModifierChain chain;
    chain.Build({&move.payload, &tint.payload});

    // 37 in use (one full group and a tail of 5) in a set of 40; the last three slots must stay as they were.
    std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(40));
    fill(*set, 0, 40);
    ASSERT_TRUE(set->Resize(37));
    set->ApplyModifiers(chain, Timestep{1.0f, 0.016f, false});
    ASSERT_EQ(glGetError(), GL_NO_ERROR);

    const std::vector<Instance> after = read(*set, 40);
    for (uint32_t i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        const float f = static_cast<float>(i);
        const bool modified = i < 37;
        const float rows[12] = {modified ? 2.0f : 1.0f, 0, 0, f + (modified ? 10 : 0),
                                0, 1, 0, 2 * f + (modified ? 20 : 0),
                                0, 0, 1, -f + (modified ? 30 : 0)};
        for (int k = 0; k < 12; ++k)
            EXPECT_EQ(after[i].rows[k], rows[k]) << "element " << k;
        EXPECT_EQ(halfToFloat(after[i].colour[0]), modified ? 0.5f : 1.0f);
        EXPECT_EQ(halfToFloat(after[i].colour[1]), modified ? 0.25f : 0.5f);
        EXPECT_EQ(halfToFloat(after[i].colour[2]), modified ? 0.125f : 0.25f);
        EXPECT_EQ(halfToFloat(after[i].colour[3]), modified ? f : 2.0f);
    }

    // The same texts again: one program, shared.
    InstanceModifierChain again;
    again.Build({&move.payload, &tint.payload});
    EXPECT_EQ(again.GetProgram(), chain.GetProgram());
    // No instance in use: nothing runs.
    fill(*set, 0, 40);
    set->Resize(0);
    set->ApplyModifiers(chain, Timestep{});
    EXPECT_EQ(read(*set, 1)[0].rows[0], 1.0f);
}

TEST_F(InstanceSets, EmptyChainRunsAndChangesNothing)
{
    InstanceModifierChain chain;
    chain.Build({});
    ShaderProgram* program = chain.GetProgram();
    ASSERT_TRUE(program);
    EXPECT_EQ(program->errors, 0u);
    std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(3));
    fill(*set, 0, 3);
    set->ApplyModifiers(chain, Timestep{});
    const std::vector<Instance> after = read(*set, 3);
    EXPECT_EQ(after[2].rows[3], 2.0f);
    EXPECT_EQ(after[2].rows[7], 4.0f);
    EXPECT_EQ(after[2].colour[3], 0x4000);
}

TEST_F(InstanceSets, CountsBeyondOneRowOfWorkGroupsReachTheLastInstance)
{
    // More groups than one dispatch row holds (65535 x 32 instances): the dispatch folds into a second row.
    const uint32_t count = 65535u * 32u + 45u;
    const float factor[4] = {0.5f, 0, 0, 0};
    Modifier tint(tagged(kTintParams), kTintTransform, factor);
    InstanceModifierChain chain;
    chain.Build({&tint.payload});
    std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(count + 3));
    fill(*set, 0, count + 3);
    set->Resize(count);
    set->ApplyModifiers(chain, Timestep{});
    const std::vector<Instance> after = read(*set, count + 3);
    for (uint32_t i : {0u, 65535u * 32u - 1u, 65535u * 32u, count - 1u}) {
        EXPECT_EQ(halfToFloat(after[i].colour[0]), 0.5f) << i;
        EXPECT_EQ(after[i].rows[3], static_cast<float>(i)) << i;
    }
    for (uint32_t i = count; i < count + 3; ++i)
        EXPECT_EQ(halfToFloat(after[i].colour[0]), 1.0f) << i;
}

TEST_F(InstanceSets, BrokenOrUnboundModifiersLeaveTheInstancesAlone)
{
    projtest::LogCapture log;
    std::unique_ptr<InstanceBuffers> set(InstanceBuffers::Create(5));
    fill(*set, 0, 5);

    // A modifier text that does not compile: built once, kept, never retried, and the pass skips.
    Modifier broken(tagged("\nthis is not glsl {Name}\n"), "", nullptr);
    InstanceModifierChain chain;
    chain.Build({&broken.payload});
    ShaderProgram* program = chain.GetProgram();
    ASSERT_TRUE(program);
    EXPECT_NE(program->errors, 0u);
    const size_t programs = instanceModifierPrograms.size();
    set->ApplyModifiers(chain, Timestep{});
    set->ApplyModifiers(chain, Timestep{});
    EXPECT_EQ(chain.GetProgram(), program);
    EXPECT_EQ(instanceModifierPrograms.size(), programs);

    // A modifier whose parameter buffer is missing: its block would read whatever the binding point held.
    Modifier bufferless(tagged(kMoveParams), kMoveTransform, nullptr);
    chain.Build({&bufferless.payload});
    ASSERT_EQ(chain.GetProgram()->errors, 0u);
    set->ApplyModifiers(chain, Timestep{});
    set->ApplyModifiers(chain, Timestep{});
    EXPECT_EQ(log.count("Instance modifiers skipped"), 1);

    const std::vector<Instance> after = read(*set, 5);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(after[i].rows[0], 1.0f);
        EXPECT_EQ(after[i].rows[3], static_cast<float>(i));
    }
}

namespace {

// Records what the shared operation bodies call.
class Relay : public projtest::TestComponentBase {
public:
    explicit Relay(const std::string& name) : TestComponentBase(9, name)
    {
        declaredInputs.push_back(new InputPin("first", {ResourceType::Value}, false));
        declaredInputs.push_back(new InputPin("second", {ResourceType::Value}, false));
        RebuildPinLists();
        output = AddOutput("out", ResourceType::Value);
    }
    void OnInputChanged(int32_t pinId) override
    {
        inputChanges.push_back(pinId);
        if (onFirstInput)
            RebindAndNotifyOnFirstInput(this, pinId);
        else
            RebindAndNotify(this, pinId);
    }
    void ResolveInputs() override { ++resolves; }

    bool onFirstInput = true;
    int resolves = 0;
    OutputPin* output;
};

} // namespace

TEST(InstanceModifierOperations, RebindAndNotifyReachTheConsumers)
{
    projtest::ScopedProject project;
    auto* producer = projtest::addComponent<Relay>("producer");
    auto* consumer = projtest::addComponent<Relay>("consumer");
    ASSERT_TRUE(consumer->ConnectInput("first", producer->output->id));
    consumer->onFirstInput = false;

    // Only a change of the producer's first input travels on.
    RelayToOnInputChanged(producer, producer->inputs[1]->id);
    EXPECT_EQ(producer->inputChanges, (std::vector<int32_t>{producer->inputs[1]->id}));
    EXPECT_EQ(producer->resolves, 0);
    EXPECT_TRUE(consumer->inputChanges.empty());

    RelayToOnInputChanged(producer, producer->inputs[0]->id);
    EXPECT_EQ(producer->resolves, 1);
    ASSERT_EQ(consumer->inputChanges, (std::vector<int32_t>{consumer->inputs[0]->id}));
    EXPECT_EQ(consumer->resolves, 1);

    // A link cycle (hand-edited graph) ends instead of recursing for ever.
    ASSERT_TRUE(producer->ConnectInput("first", consumer->output->id));
    RelayToOnInputChanged(producer, producer->inputs[0]->id);
    EXPECT_GE(consumer->resolves, 2);
    // Null components and components without pins are left alone.
    RelayToOnInputChanged(nullptr, 1);
    RebindAndNotify(nullptr, 1);
    RebindAndNotifyOnFirstInput(nullptr, 1);
}
