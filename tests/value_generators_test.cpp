#include "components/value_generators.h"

#include "components/perlin_noise.h"
#include "project_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

using projtest::dummyBuilder;

namespace {

Timestep at(float seconds) { return Timestep{seconds, 0.016f, false}; }

struct ParameterRow {
    const char* name;
    int32_t type;
    float defaults[3];
    float min, max;
    bool animatable;
};

struct ClassRow {
    int32_t row;
    const char* typeName;
    std::vector<ParameterRow> parameters;
};

void setVec3(Cvar& cvar, float x, float y, float z)
{
    cvar.value[0] = x;
    cvar.value[1] = y;
    cvar.value[2] = z;
}

} // namespace

TEST(ValueGenerators, FactoriesBuildTheirClassesWithBranchParametersAndOutput)
{
    const ParameterRow outputs[] = {{"OutputX", CvarType::Bool, {1}, 0, 0, false},
                                    {"OutputY", CvarType::Bool, {1}, 0, 0, false},
                                    {"OutputZ", CvarType::Bool, {1}, 0, 0, false}};
    std::vector<ClassRow> classes = {
        {23,
         "ValueLinear",
         {{"base", CvarType::Vec3, {0, 0, 0}, 0, 0, true},
          {"frequency", CvarType::Float, {1}, 0, 100, false},
          {"scale", CvarType::Float, {1}, 0, 10, true},
          {"wrap ar", CvarType::Float, {0}, 0, 100, false}}},
        {24,
         "ValueManual",
         {{"value 1", CvarType::Float, {0}, 0, 1000, true}, {"value 3", CvarType::Vec3, {0, 0, 0}, 0, 0, true}}},
        {22,
         "ValueWave",
         {{"frequency", CvarType::Float, {1}, 0, 100, false},
          {"scale", CvarType::Float, {1}, 0, 10, false},
          {"type", CvarType::Enum, {0}, 0, 1, false}}},
        {25,
         "ValueNoise",
         {{"Frequency", CvarType::Float, {1}, 0, 100, false},
          {"Scale", CvarType::Float, {1}, 0, 10, false},
          {"Phase", CvarType::Vec3, {0, 0, 0}, 0, 0, false},
          {"Base", CvarType::Float, {0}, -10, 10, false},
          {"Absolute Value", CvarType::Bool, {0}, 0, 0, false}}},
    };
    projtest::ScopedProject project;
    for (ClassRow& c : classes) {
        SCOPED_TRACE(c.typeName);
        c.parameters.insert(c.parameters.end(), std::begin(outputs), std::end(outputs));
        ASSERT_EQ(componentTypeFind(c.typeName), c.row);
        ASSERT_NE(componentTypeTable[c.row].factory, nullptr);
        std::unique_ptr<EngineComponent> component(componentTypeTable[c.row].factory("gen"));
        ASSERT_TRUE(component);
        EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot); // the branch is closed again
        EXPECT_EQ(component->typeIndex, c.row);
        EXPECT_EQ(component->GetTypeName(), c.typeName);
        EXPECT_TRUE(component->IsDependencyOnly());
        EXPECT_TRUE(component->inputs.empty());

        CvarTreeNode* branch = component->GetCvarTree();
        ASSERT_TRUE(branch);
        EXPECT_EQ(branch->name, "gen");
        EXPECT_EQ(branch->parent, nullptr);
        EXPECT_EQ(branch->owner, component.get());
        ASSERT_EQ(branch->cvars.size(), c.parameters.size());
        for (size_t i = 0; i < c.parameters.size(); ++i) {
            const ParameterRow& p = c.parameters[i];
            const Cvar* cvar = branch->cvars[i];
            SCOPED_TRACE(p.name);
            EXPECT_EQ(cvar->name, p.name);
            EXPECT_EQ(cvar->type, p.type);
            EXPECT_EQ(cvar->animatable, p.animatable);
            const int components = p.type == CvarType::Vec3 ? 3 : 1;
            for (int k = 0; k < components; ++k)
                EXPECT_EQ(cvar->value[k], p.defaults[k]);
            if (p.type == CvarType::Float) {
                EXPECT_EQ(cvar->min, p.min);
                EXPECT_EQ(cvar->max, p.max);
            }
        }
        ASSERT_EQ(component->outputs.size(), 1u);
        const OutputPin* out = component->outputs[0];
        EXPECT_EQ(out->name, "value");
        EXPECT_EQ(out->resourceType, ResourceType::Value);
        auto* value = resourceCast<ValueResource>(out->payload, ResourceType::Value);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->name, "gen/internal/output");
        EXPECT_EQ(value->values, (std::vector<float>{0, 0, 0}));
        EXPECT_EQ(value->mask, 7u);
    }
    const auto* wave = static_cast<valuewavefx*>(valuewavefx::Create("w"));
    EXPECT_STREQ(wave->type.enumOptions[0], "sine");
    EXPECT_STREQ(wave->type.enumOptions[2], "sawtooth");
    EXPECT_EQ(wave->type.enumOptions[3], nullptr);
    delete wave;
}

TEST(ValueGenerators, LinearTable)
{
    const struct {
        float frequency, scale, wrap, base[3], t;
        float expected[3];
    } cases[] = {
        {2, 0.5f, 0, {1, 2, 3}, 10, {11, 12, 13}}, // unwrapped: grows without bound
        {1, 1, 3, {0, 0, 0}, 7.5f, {1.5f, 1.5f, 1.5f}},
        {1, 2, 3, {1, 0, -1}, 7.5f, {4, 3, 2}},     // wrap before scale
        {1, 1, 3, {0, 0, 0}, -7.5f, {-1.5f, -1.5f, -1.5f}}, // remainder keeps the sign
        {0, 1, 0, {5, 6, 7}, 100, {5, 6, 7}},
        {1, 1, 0, {0, 0, 0}, 0, {0, 0, 0}},
    };
    const auto linear = BuildComponent<valuelinearfx>("linear");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.t);
        linear->frequency.value[0] = c.frequency;
        linear->scale.value[0] = c.scale;
        linear->wrap.value[0] = c.wrap;
        setVec3(linear->base, c.base[0], c.base[1], c.base[2]);
        linear->Execute(dummyBuilder(), at(c.t));
        for (int k = 0; k < 3; ++k)
            EXPECT_FLOAT_EQ(linear->GetValue()->values[k], c.expected[k]) << k;
    }
}

TEST(ValueGenerators, WaveTable)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float type, frequency, scale, t;
        float expected;
    } cases[] = {
        {0, 1, 2, 1.5707964f, 2},      // sine, radians
        {0, 2, 1, 0.25f, std::sin(0.5f)},
        {1, 1, 1, 1.5f, 0.5f},         // triangle falling
        {1, 1, 1, 0.25f, 0.25f},       // rising
        {1, 1, 1, 2.75f, 0.75f},       // c = 0.75
        {1, 0.5f, 4, 3.0f, 2},         // p = 1.5
        {2, 1, 1, 3.2f, 0.2f},         // sawtooth
        {2, 2, 3, 1.25f, 1.5f},        // p = 2.5
        {1.9f, 1, 1, 1.5f, 0.5f},      // the integer part chooses
        {3, 1, 1, 0.6f, 1.5f},         // unknown shape: the previous value stays
        {nan, 1, 1, 0.7f, 1.5f},
        {-7, 1, 1, 0.7f, 1.5f},
    };
    const auto wave = BuildComponent<valuewavefx>("wave");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " at " << c.t);
        wave->GetValue()->values = {1.5f, -1, -1};
        wave->type.value[0] = c.type;
        wave->frequency.value[0] = c.frequency;
        wave->scale.value[0] = c.scale;
        wave->Execute(dummyBuilder(), at(c.t));
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(wave->GetValue()->values[k], c.expected, 1e-5f) << k;
    }
}

TEST(ValueGenerators, ManualAddsItsScalarToEveryChannelWhateverTheTime)
{
    const auto manual = BuildComponent<valuemanualfx>("manual");
    manual->value1.value[0] = 2.5f;
    setVec3(manual->value3, 1, -2, 30);
    for (float t : {0.0f, 9.0f}) {
        manual->Execute(dummyBuilder(), at(t));
        EXPECT_EQ(manual->GetValue()->values, (std::vector<float>{3.5f, 0.5f, 32.5f}));
    }
}

TEST(ValueGenerators, MaskFollowsTheOutputSwitches)
{
    const struct {
        float x, y, z;
        uint32_t mask;
    } cases[] = {{1, 1, 1, 7}, {0, 1, 0, 2}, {1, 0, 1, 5}, {0, 0, 0, 0}, {0.5f, 0.51f, 0.49f, 2}, {0, 0, 1, 4}};
    const auto manual = BuildComponent<valuemanualfx>("manual");
    const auto noise = BuildComponent<valuenoisefx>("noise");
    const struct {
        ValueGenerator* generator;
        Cvar* switches[3];
    } generators[] = {{manual.get(), {&manual->outputX, &manual->outputY, &manual->outputZ}},
                      {noise.get(), {&noise->outputX, &noise->outputY, &noise->outputZ}}};
    for (const auto& c : cases) {
        for (const auto& g : generators) {
            g.switches[0]->value[0] = c.x;
            g.switches[1]->value[0] = c.y;
            g.switches[2]->value[0] = c.z;
            g.generator->Execute(dummyBuilder(), at(1));
            EXPECT_EQ(g.generator->GetValue()->mask, c.mask) << g.generator->name << " " << c.x << c.y << c.z;
        }
    }
}

TEST(ValueGenerators, LinkedParameterTakesOnlyTheEnabledChannels)
{
    projtest::ScopedProject project;
    auto* consumer = projtest::addComponent<projtest::TestConsumer>("consumer");
    auto* manual = projtest::addComponent<valuemanualfx>("manual");
    auto* unlinked = projtest::addComponent<valuelinearfx>("unlinked");
    consumer->amount.graph_exposed = true;
    consumer->ToggleCvarInput(&consumer->amount);
    ASSERT_TRUE(consumer->ConnectInput("amount", manual->outputs[0]->id));
    setVec3(consumer->amount, -1, -2, -3);
    setVec3(manual->value3, 10, 20, 30);
    manual->outputX.value[0] = 0;
    manual->outputZ.value[0] = 0;

    static int run = 7000;
    GraphManager::ExecuteRoots(dummyBuilder(), at(4), ++run);
    EXPECT_EQ(consumer->amount.value[0], -1.0f);
    EXPECT_EQ(consumer->amount.value[1], 20.0f);
    EXPECT_EQ(consumer->amount.value[2], -3.0f);
    // Nothing pulls the unlinked generator: it keeps its values.
    EXPECT_EQ(unlinked->GetValue()->values, (std::vector<float>{0, 0, 0}));

    // Parameter changes of the next frame arrive in the next frame.
    manual->value1.value[0] = 1;
    GraphManager::ExecuteRoots(dummyBuilder(), at(5), ++run);
    EXPECT_EQ(consumer->amount.value[1], 21.0f);
}

TEST(ValueGenerators, OnlyAChangeOfTheFirstInputIsPassedOn)
{
    projtest::ScopedProject project;
    auto* wave = projtest::addComponent<valuewavefx>("wave");
    auto* consumer = projtest::addComponent<projtest::TestConsumer>("consumer");
    ASSERT_TRUE(consumer->ConnectInput("in", wave->outputs[0]->id));
    // Two exposed parameters: the first and the second input of the generator.
    wave->frequency.graph_exposed = true;
    wave->ToggleCvarInput(&wave->frequency);
    wave->scale.graph_exposed = true;
    wave->ToggleCvarInput(&wave->scale);
    ASSERT_EQ(wave->inputs.size(), 2u);

    wave->OnInputConnected(wave->inputs[1]->id);
    EXPECT_TRUE(consumer->inputChanges.empty());
    wave->OnInputConnected(wave->inputs[0]->id);
    EXPECT_EQ(consumer->inputChanges, (std::vector<int32_t>{consumer->input->id}));
    wave->OnInputChanged(wave->inputs[0]->id);
    EXPECT_EQ(consumer->inputChanges.size(), 2u);
    wave->OnInputDisconnected(wave->inputs[0]->id);
    EXPECT_EQ(consumer->inputChanges.size(), 2u);
}

TEST(ValueGenerators, NoiseValueFromPhaseBaseScaleAndAbsolute)
{
    const PerlinNoise& noise = valuenoisefx::Noise();
    EXPECT_EQ(&noise, &valuenoisefx::Noise());
    // A point where the noise is clearly negative.
    float negative[3] = {0.3f, 0.6f, 0.1f};
    for (float x = 0.1f; noise.Noise(negative) > -0.1f && x < 50.0f; x += 0.37f)
        negative[0] = x;
    ASSERT_LT(noise.Noise(negative), -0.1f);

    const auto generator = BuildComponent<valuenoisefx>("noise");
    const struct {
        float frequency, phase[3], base, scale, absolute;
        float expected;
    } cases[] = {
        {1, {0, 0, 0}, 0.25f, 2, 0, 0.5f},  // (0 + Base) x Scale
        {3, {0, 0, 0}, -1, 1, 1, 1},        // then the absolute value
        {1, {2, -5, 7}, 0, 1, 0, 0},        // lattice points are 0
        {2, {0.5f, 1.5f, -2.5f}, 0, 1, 0, 0}, // ... also after the frequency
        {1, {negative[0], negative[1], negative[2]}, 0, 1, 1, -noise.Noise(negative)},
        {1, {negative[0], negative[1], negative[2]}, 0, 1, 0, noise.Noise(negative)},
        {0.5f, {2 * negative[0], 2 * negative[1], 2 * negative[2]}, 0.5f, 2, 0, (noise.Noise(negative) + 0.5f) * 2},
    };
    for (const auto& c : cases) {
        generator->frequency.value[0] = c.frequency;
        setVec3(generator->phase, c.phase[0], c.phase[1], c.phase[2]);
        generator->base.value[0] = c.base;
        generator->scale.value[0] = c.scale;
        generator->absoluteValue.value[0] = c.absolute;
        for (float t : {0.0f, 3.0f}) { // no time term
            generator->Execute(dummyBuilder(), at(t));
            const std::vector<float>& v = generator->GetValue()->values;
            EXPECT_FLOAT_EQ(v[0], c.expected);
            EXPECT_EQ(v[1], v[0]);
            EXPECT_EQ(v[2], v[0]);
        }
    }
}

TEST(PerlinNoiseTables, TablesAreFixedByTheSeed)
{
    auto first = std::make_unique<PerlinNoise>();
    auto second = std::make_unique<PerlinNoise>();
    EXPECT_EQ(std::memcmp(first->gradients, second->gradients, sizeof first->gradients), 0);
    EXPECT_EQ(std::memcmp(first->permutation, second->permutation, sizeof first->permutation), 0);

    // The gradients are the library's uniform draws in -1 .. 1 (z, y, x), kept inside the unit ball and
    // normalised; the permutation's generator copy is not advanced by them.
    std::mt19937 generator(2016);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (int i = 0; i < 256; ++i) {
        float x, y, z, length2;
        do {
            z = static_cast<float>(uniform(generator));
            y = static_cast<float>(uniform(generator));
            x = static_cast<float>(uniform(generator));
            length2 = y * y + x * x + z * z;
        } while (length2 > 1.0f);
        const float length = std::sqrt(length2);
        ASSERT_EQ(first->gradients[i][0], x / length) << i;
        ASSERT_EQ(first->gradients[i][1], y / length) << i;
        ASSERT_EQ(first->gradients[i][2], z / length) << i;
    }
    std::set<int> seen;
    int fixedPoints = 0;
    for (int i = 0; i < 256; ++i) {
        ASSERT_GE(first->permutation[i], 0);
        ASSERT_LT(first->permutation[i], 256);
        seen.insert(first->permutation[i]);
        fixedPoints += first->permutation[i] == i;
        EXPECT_EQ(first->permutation[256 + i], first->permutation[i]);
    }
    EXPECT_EQ(seen.size(), 256u);
    EXPECT_LT(fixedPoints, 16);

    // Golden values: the same on every run and machine.
    const int start[8] = {116, 68, 58, 187, 22, 93, 39, 16};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(first->permutation[i], start[i]) << i;
    const struct {
        float p[3];
        float value;
    } golden[] = {{{0.5f, 0.5f, 0.5f}, 0.339753181f},
                  {{1.3f, -2.7f, 10.1f}, -0.266692996f},
                  {{-0.25f, 0.5f, 0.5f}, 0.147240087f}};
    for (const auto& g : golden)
        EXPECT_NEAR(first->Noise(g.p), g.value, 1e-6f);
}

TEST(PerlinNoiseTables, LatticeZerosWrappingAndRange)
{
    const PerlinNoise noise;
    for (float x : {-3.0f, 0.0f, 1.0f, 255.0f, 256.0f, -1000.0f})
        for (float y : {-1.0f, 0.0f, 7.0f})
            for (float z : {0.0f, 2.0f, -300.0f}) {
                const float p[3] = {x, y, z};
                EXPECT_EQ(noise.Noise(p), 0.0f);
            }

    // The lattice wraps every 256 units; a negative coordinate lands in cell 255 with the positive remainder.
    const float samples[][3] = {{0.3f, 0.7f, 0.2f}, {12.4f, -3.6f, 100.25f}, {-0.25f, 0.5f, 0.5f}};
    for (const auto& s : samples) {
        for (int axis = 0; axis < 3; ++axis) {
            float moved[3] = {s[0], s[1], s[2]};
            moved[axis] += 256.0f;
            EXPECT_NEAR(noise.Noise(moved), noise.Noise(s), 1e-4f) << axis;
        }
    }
    const float negative[3] = {-0.25f, 0.5f, 0.5f};
    const float cell255[3] = {255.75f, 0.5f, 0.5f};
    EXPECT_EQ(noise.Noise(negative), noise.Noise(cell255));

    // Roughly -1 .. 1, and it really varies.
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> coordinate(-300.0f, 300.0f);
    float low = 0.0f, high = 0.0f;
    for (int i = 0; i < 20000; ++i) {
        const float p[3] = {coordinate(generator), coordinate(generator), coordinate(generator)};
        const float v = noise.Noise(p);
        ASSERT_TRUE(v >= -1.0f && v <= 1.0f) << v;
        low = std::min(low, v);
        high = std::max(high, v);
    }
    EXPECT_LT(low, -0.4f);
    EXPECT_GT(high, 0.4f);
    // Continuous: a tiny step changes the value a little.
    const float a[3] = {3.3f, 4.4f, 5.5f}, b[3] = {3.3001f, 4.4f, 5.5f};
    EXPECT_NEAR(noise.Noise(a), noise.Noise(b), 1e-3f);

    // Coordinates no int holds, and ones that are not numbers, stay defined.
    const float inf = std::numeric_limits<float>::infinity();
    const float odd[][3] = {{1e20f, 0.5f, 0.5f}, {-3e9f, 0.5f, 0.5f}, {std::nanf(""), 0, 0}, {0, inf, 0}, {0, 0, -inf}};
    for (const auto& p : odd)
        EXPECT_TRUE(std::isfinite(noise.Noise(p)));
    EXPECT_EQ(noise.Noise(odd[2]), 0.0f);
}
