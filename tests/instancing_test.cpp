// Instancing: the replicator's grid and fan, the instance randomizer's block and fragment, the shadow-map capture
// with its mask conversion, and the instances placed over exported faces and from a light's shadow map.
#include "components/instance_randomizer.h"
#include "components/instancing_generators.h"
#include "components/shadowmap_capture.h"

#include "app/data_files.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/curve_texture.h"
#include "project/gradients.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/entities.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::addComponent;
using projtest::LogCapture;
using projtest::ScopedProject;

namespace {

struct Rows {
    float m[12];
    float At(int row, int column) const { return m[row * 4 + column]; }
    // Length of the transform's column (the scale along that local axis).
    float ColumnLength(int column) const
    {
        return std::sqrt(At(0, column) * At(0, column) + At(1, column) * At(1, column) +
                         At(2, column) * At(2, column));
    }
};

std::vector<Rows> readRows(const InstanceBuffers& set, uint32_t count)
{
    std::vector<Rows> rows(count);
    glGetNamedBufferSubData(set.transforms->glId, 0, GLsizeiptr(count * sizeof(Rows)), rows.data());
    return rows;
}

std::vector<uint16_t> readColours(const InstanceBuffers& set, uint32_t count)
{
    std::vector<uint16_t> halves(size_t(count) * 4);
    glGetNamedBufferSubData(set.colours->glId, 0, GLsizeiptr(halves.size() * 2), halves.data());
    return halves;
}

// Instance k of the host copy.
Rows hostRows(const InstanceBuffers& set, uint32_t k)
{
    Rows rows;
    std::memcpy(rows.m, set.transforms->hostCopy + size_t(k) * kInstanceTransformBytes, sizeof rows.m);
    return rows;
}

// Every byte of both buffers set to 0xFF (NaN rows), so unwritten instances show.
void poison(InstanceBuffers& set)
{
    const uint32_t ones = 0xFFFFFFFFu;
    glClearNamedBufferData(set.transforms->glId, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, &ones);
    glClearNamedBufferData(set.colours->glId, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, &ones);
}

void setVec3(Cvar& cvar, float x, float y, float z)
{
    cvar.value[0] = x;
    cvar.value[1] = y;
    cvar.value[2] = z;
}

void link(InputPin* input, EngineComponent* source, size_t output = 0)
{
    input->links.push_back(source->outputs[output]->id);
}

class Instancing : public GLTest {
protected:
    std::string oldBase = dataBasePath();
    std::unique_ptr<ScopedProject> project;

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 20));
        project = std::make_unique<ScopedProject>();
        curveTextureNextRow = 0;
    }
    void TearDown() override
    {
        project.reset();
        shaderUseProgram(nullptr);
        instanceModifierProgramsRelease();
        constBufferRingShutdown();
        cvarTreeCurrentBranch = &cvarTreeRoot;
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }
};

// ---- Replicator ----

struct Expected {
    float angles[3];
    float translation[3];
    float scale[3];
};

TEST_F(Instancing, ReplicatorGridAndFanTransforms)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct Case {
        const char* what;
        float type;
        float replicas[3];
        float position[3];
        float scale[3];
        float rotation[3];
        bool exterior;
        std::vector<Expected> instances; // in write order; empty: only the count is checked
        uint32_t count;
    } cases[] = {
        {"grid centred on the origin along x", 0, {3, 1, 1}, {2, 0, 0}, {1, 1, 1}, {0, 0, 0}, false,
         {{{0, 0, 0}, {-2, 0, 0}, {1, 1, 1}}, {{0, 0, 0}, {0, 0, 0}, {1, 1, 1}}, {{0, 0, 0}, {2, 0, 0}, {1, 1, 1}}},
         3},
        {"grid angles centred along y", 0, {1, 3, 1}, {0, 1, 0}, {2, 3, 4}, {0, 90, 0}, false,
         {{{0, -90, 0}, {0, -1, 0}, {2, 3, 4}}, {{0, 0, 0}, {0, 0, 0}, {2, 3, 4}}, {{0, 90, 0}, {0, 1, 0}, {2, 3, 4}}},
         3},
        {"grid 3 x 3 x 3 exterior only skips the centre", 0, {3, 3, 3}, {1, 1, 1}, {1, 1, 1}, {0, 0, 0}, true, {}, 26},
        {"grid 2 x 2 x 2 has no interior", 0, {2, 2, 2}, {1, 1, 1}, {1, 1, 1}, {0, 0, 0}, true, {}, 8},
        {"default scale is degenerate", 0, {2, 1, 1}, {1, 0, 0}, {0, 0, 0}, {0, 0, 0}, false,
         {{{0, 0, 0}, {-0.5f, 0, 0}, {0, 0, 0}}, {{0, 0, 0}, {0.5f, 0, 0}, {0, 0, 0}}}, 2},
        {"zero, negative, fraction and NaN replicas give one per axis", 0, {0, -7, nan}, {1, 1, 1}, {1, 1, 1},
         {0, 0, 0}, false, {{{0, 0, 0}, {0, 0, 0}, {1, 1, 1}}}, 1},
        {"fan turns about z, all at the origin", 1, {4, 9, 9}, {5, 5, 5}, {0, 0, 0}, {0, 0, 90}, false,
         {{{0, 0, 0}, {0, 0, 0}, {1, 1, 1}},
          {{0, 0, 90}, {0, 0, 0}, {1, 1, 1}},
          {{0, 0, 180}, {0, 0, 0}, {1, 1, 1}},
          {{0, 0, 270}, {0, 0, 0}, {1, 1, 1}}},
         4},
        {"fan centres only the x angle", 1, {4, 1, 1}, {0, 0, 0}, {0, 0, 0}, {40, 10, 0}, false,
         {{{-60, 0, 0}, {0, 0, 0}, {1, 1, 1}},
          {{-20, 10, 0}, {0, 0, 0}, {1, 1, 1}},
          {{20, 20, 0}, {0, 0, 0}, {1, 1, 1}},
          {{60, 30, 0}, {0, 0, 0}, {1, 1, 1}}},
         4},
        {"fan grows its scale per step", 1, {4, 1, 1}, {0, 0, 0}, {0.5f, 0.5f, 0.5f}, {0, 0, 0}, false,
         {{{0, 0, 0}, {0, 0, 0}, {1, 1, 1}},
          {{0, 0, 0}, {0, 0, 0}, {1.5f, 1.5f, 1.5f}},
          {{0, 0, 0}, {0, 0, 0}, {2, 2, 2}},
          {{0, 0, 0}, {0, 0, 0}, {2.5f, 2.5f, 2.5f}}},
         4},
        {"fan of a negative count has one instance", 1, {-3, 1, 1}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, false,
         {{{0, 0, 0}, {0, 0, 0}, {1, 1, 1}}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto* replicator = addComponent<replicatorfx>("Replicator");
        ASSERT_NE(replicator, nullptr);
        replicator->type.value[0] = c.type;
        setVec3(replicator->replicas, c.replicas[0], c.replicas[1], c.replicas[2]);
        setVec3(replicator->instancePosition, c.position[0], c.position[1], c.position[2]);
        setVec3(replicator->instanceScale, c.scale[0], c.scale[1], c.scale[2]);
        setVec3(replicator->instanceRotation, c.rotation[0], c.rotation[1], c.rotation[2]);
        replicator->exteriorOnly.value[0] = c.exterior ? 1.0f : 0.0f;
        ASSERT_TRUE(replicator->GenerateInstances());
        InstanceBuffers& set = *replicator->set;
        EXPECT_EQ(set.count, c.count);
        for (size_t k = 0; k < c.instances.size(); ++k) {
            SCOPED_TRACE(k);
            const Expected& e = c.instances[k];
            const Matrix r = Matrix::FromEulerDegrees(e.angles[0], e.angles[1], e.angles[2]);
            const Rows rows = hostRows(set, uint32_t(k));
            for (int row = 0; row < 3; ++row) {
                for (int column = 0; column < 3; ++column)
                    EXPECT_NEAR(rows.At(row, column), r.m[row * 4 + column] * e.scale[column], 1e-5f)
                        << row << "," << column;
                EXPECT_FLOAT_EQ(rows.At(row, 3), e.translation[row]) << "row " << row;
            }
        }
        // Exterior grids: written contiguously, and never the centre point.
        if (c.exterior)
            for (uint32_t k = 0; k < set.count; ++k) {
                const Rows rows = hostRows(set, k);
                EXPECT_FALSE(rows.At(0, 3) == 0 && rows.At(1, 3) == 0 && rows.At(2, 3) == 0) << k;
            }
        const uint16_t* colours = reinterpret_cast<const uint16_t*>(set.colours->hostCopy);
        for (uint32_t i = 0; i < set.count * 4; ++i)
            ASSERT_EQ(colours[i], 0x3C00) << i;
        project->components.clear();
        delete replicator;
    }
}

TEST_F(Instancing, ReplicatorClampsHugeGridsAndKeepsItsCapacity)
{
    auto* replicator = addComponent<replicatorfx>("Replicator");
    ASSERT_NE(replicator, nullptr);
    setVec3(replicator->instanceScale, 1, 1, 1);
    // 65536^3 would wrap a 32-bit product to 0.
    setVec3(replicator->replicas, 65536, 65536, 65536);
    LogCapture log;
    ASSERT_TRUE(replicator->GenerateInstances());
    uint32_t nx = 0, ny = 0, nz = 0;
    replicator->GridSize(nx, ny, nz);
    EXPECT_EQ(nx, 65536u);
    EXPECT_EQ(ny, kInstancingMaxInstances / 65536u);
    EXPECT_EQ(nz, 1u);
    EXPECT_EQ(replicator->set->count, kInstancingMaxInstances);
    EXPECT_TRUE(log.contains("is clamped"));

    // Fewer instances later: the buffers stay.
    BufferObject* transforms = replicator->set->transforms;
    setVec3(replicator->replicas, 2, 1, 1);
    ASSERT_TRUE(replicator->GenerateInstances());
    EXPECT_EQ(replicator->set->count, 2u);
    EXPECT_EQ(replicator->set->transforms, transforms);
}

// The randomizer linked to a replicator's "im": with no randomness, its base offsets move the instances by the
// falloff strength; the GPU buffers read back what the pass wrote.
TEST_F(Instancing, RandomizerMovesReplicatedInstancesByItsFalloff)
{
    const struct Case {
        const char* what;
        bool inverse;
        float strength[5]; // at x = -2 .. 2
    } cases[] = {
        {"falloff", false, {0, 0.5f, 1, 0.5f, 0}},
        {"inverse falloff", true, {1, 0.5f, 0, 0.5f, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto* randomizer = addComponent<instancemodifierrandomizerfx>("Randomizer");
        auto* replicator = addComponent<replicatorfx>("Replicator");
        ASSERT_TRUE(randomizer && replicator);
        randomizer->Init();
        setVec3(randomizer->falloffRadius, 4, 4, 4);
        randomizer->inverseFalloff.value[0] = c.inverse ? 1.0f : 0.0f;
        randomizer->randomness.value[0] = 0.0f;
        setVec3(randomizer->positionBase, 0, 6, 0);
        setVec3(randomizer->scaleBase, 3, 3, 3);
        setVec3(replicator->replicas, 5, 1, 1);
        setVec3(replicator->instancePosition, 1, 0, 0);
        setVec3(replicator->instanceScale, 1, 1, 1);
        link(replicator->imPin, randomizer);

        curveTextureNextRow = 0;
        RenderItemBuilder builder;
        randomizer->Execute(builder, Timestep{});
        replicator->Execute(builder, Timestep{1.0f, 0.016f, false});
        ASSERT_EQ(glGetError(), GL_NO_ERROR);
        EXPECT_EQ(replicator->chain.buffers, std::vector<BufferObject*>{randomizer->buffer});

        const std::vector<Rows> rows = readRows(*replicator->set, 5);
        const std::vector<uint16_t> colours = readColours(*replicator->set, 5);
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(i);
            const float s = c.strength[i];
            EXPECT_NEAR(rows[i].At(0, 3), float(i - 2), 1e-4f);
            EXPECT_NEAR(rows[i].At(1, 3), 6.0f * s, 0.1f);
            EXPECT_NEAR(rows[i].ColumnLength(0), 1.0f + 2.0f * s, 0.05f);
            // No gradient: the colour stays white.
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(colours[i * 4 + k], 0x3C00);
        }
        for (EngineComponent* component : project->components)
            delete component;
        project->components.clear();
    }
}

TEST_F(Instancing, RandomizerBlockBytes)
{
    Gradient gradient;
    gradient.row = 7;
    GradientResource record("Sunset", &gradient);
    ASSERT_TRUE(project->store.add(&record));
    project->store.add_texture("a texture", nullptr);

    const struct Case {
        const char* what;
        float inverse;
        float replace;
        const char* gradientName;
        int32_t inverseWord, replaceWord, gradientRow;
    } cases[] = {
        {"flags just below the half", 0.5f, 0.5f, "", 0, 0, -1},
        {"flags just above", 0.51f, 0.51f, "Sunset", 1, 1, 7},
        {"a missing gradient", 0, 1, "Dawn", 0, 1, -1},
        {"a resource of another type", 1, 0, "a texture", 1, 0, -1},
    };
    auto* randomizer = addComponent<instancemodifierrandomizerfx>("Randomizer");
    ASSERT_NE(randomizer, nullptr);
    EXPECT_EQ(randomizer->buffer->size, 128u);
    randomizer->Init();
    EXPECT_EQ(randomizer->payload.paramsBuffer, randomizer->buffer);
    EXPECT_EQ(randomizer->payload.name, "instancemodifierrandomizerfx/Randomizer");
    setVec3(randomizer->position, 1, 2, 3);
    setVec3(randomizer->falloffRadius, 2, 4, 6);
    setVec3(randomizer->rotationBase, 90, -180, 45);
    setVec3(randomizer->rotationRange, 180, 90, 0);
    setVec3(randomizer->positionBase, 4, 5, 6);
    setVec3(randomizer->positionRange, 7, 8, 9);
    setVec3(randomizer->scaleBase, 10, 11, 12);
    setVec3(randomizer->scaleRange, 13, 14, 15);
    randomizer->randomness.value[0] = 42.0f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        randomizer->inverseFalloff.value[0] = c.inverse;
        randomizer->replaceRotationScale.value[0] = c.replace;
        randomizer->colorGradient.text = c.gradientName;
        curveTextureNextRow = 3;
        RenderItemBuilder builder;
        randomizer->Execute(builder, Timestep{});
        ASSERT_EQ(builder.items.size(), 1u);

        uint8_t bytes[128];
        glGetNamedBufferSubData(randomizer->buffer->glId, 0, sizeof bytes, bytes);
        auto f = [&](size_t at) {
            float v;
            std::memcpy(&v, bytes + at, 4);
            return v;
        };
        auto i = [&](size_t at) {
            int32_t v;
            std::memcpy(&v, bytes + at, 4);
            return v;
        };
        const struct {
            size_t offset;
            float value;
        } floats[] = {{0, 1},           {4, 2},          {8, 3},          {16, 1},          {20, 2},
                      {24, 3},          {32, 4},         {40, 6},         {48, 7},          {56, 9},
                      {64, 1.5707964f}, {68, -3.1415927f}, {72, 0.7853982f}, {80, 3.1415927f}, {84, 1.5707964f},
                      {88, 0},          {96, 10},        {104, 12},       {112, 13},        {120, 15},
                      {124, 42}};
        for (const auto& e : floats)
            EXPECT_FLOAT_EQ(f(e.offset), e.value) << "offset " << e.offset;
        EXPECT_EQ(i(12), 3) << "the curve's row";
        EXPECT_EQ(i(28), c.inverseWord);
        EXPECT_EQ(i(44), 0);
        EXPECT_EQ(i(60), c.replaceWord);
        EXPECT_EQ(i(76), 0);
        EXPECT_EQ(i(92), 0);
        EXPECT_EQ(i(108), c.gradientRow);
    }
    project->store.remove(&record);

    // The gizmo: the falloff volume's centre and size.
    Cvar *p = nullptr, *r = nullptr, *s = nullptr;
    EXPECT_TRUE(randomizer->GetTransformCvars(&p, &r, &s));
    EXPECT_EQ(p, &randomizer->position);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(s, &randomizer->falloffRadius);
    const Matrix falloff = randomizer->FalloffMatrix();
    const float expected[16] = {2, 0, 0, 1, 0, 4, 0, 2, 0, 0, 6, 3, 0, 0, 0, 1};
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(falloff.m[k], expected[k]) << k;
}

// ---- Shadow-map capture ----

class ShadowCapture : public Instancing {
protected:
    std::vector<Texture*> depthTextures;

    void TearDown() override
    {
        project.reset(); // the captures' framebuffers go before the textures they show
        for (Texture* texture : depthTextures)
            txtDestroy(texture);
        Instancing::TearDown();
    }

    // A depth texture of the light's shadow-map size in its shadow framebuffer, holding `depth` for the texels
    // left of `split` and 1 (nothing seen) for the others.
    Texture* giveShadowMap(shadowmapcapturefx& capture, float depth, int split)
    {
        Light* light = capture.light;
        const int w = int(light->shadowMapWidth), h = int(light->shadowMapHeight);
        Texture* texture = txtCreateTarget("test shadow map", w, h, IMAGE_TYPE_DEPTH32F);
        depthTextures.push_back(texture);
        std::vector<float> texels(size_t(w) * h, 1.0f);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < split; ++x)
                texels[size_t(y) * w + x] = depth;
        glTextureSubImage2D(texture->glId, 0, 0, 0, w, h, GL_DEPTH_COMPONENT, GL_FLOAT, texels.data());
        fbAttach(light->shadowFramebuffers[0], FB_ATTACHMENT_DEPTH, texture);
        return texture;
    }

    static std::vector<uint8_t> readMask(const shadowmapcapturefx& capture)
    {
        const Image* image = capture.mask->images[0];
        std::vector<uint8_t> texels(size_t(image->width) * image->height);
        glGetTextureImage(capture.mask->glId, 0, GL_RED, GL_UNSIGNED_BYTE, GLsizei(texels.size()), texels.data());
        return texels;
    }
};

TEST_F(ShadowCapture, ParametersGoIntoTheLight)
{
    auto* capture = addComponent<shadowmapcapturefx>("Capture");
    ASSERT_NE(capture, nullptr);
    capture->Init();
    const struct {
        float culling;
        int cullMode;
    } culls[] = {{0, 2}, {1, 0}, {2, 1}};
    for (const auto& c : culls) {
        capture->culling.value[0] = c.culling;
        capture->OnCvarChanged(&capture->culling);
        EXPECT_EQ(capture->light->shadowCullMode, c.cullMode) << c.culling;
    }
    // The light only captures: no colour, no intensity.
    EXPECT_EQ(capture->light->intensity, 0.0f);
    EXPECT_EQ(capture->light->color[0] + capture->light->color[1] + capture->light->color[2], 0.0f);
    EXPECT_TRUE(capture->light->castsShadows);
    EXPECT_EQ(capture->light->lightType, LIGHT_TYPE_SPOT);

    // A new type replaces the light (the old one is freed) and the payload follows.
    setVec3(capture->dimensions, 6, 4, 0);
    capture->type.value[0] = 1;
    capture->OnCvarChanged(&capture->type);
    EXPECT_EQ(capture->light->lightType, LIGHT_TYPE_DIRECTIONAL);
    EXPECT_EQ(capture->lightResource->light, capture->light);
    EXPECT_EQ(capture->light->fov, 0.0f);
    EXPECT_EQ(capture->light->orthoWidth, 6.0f);
    EXPECT_EQ(capture->light->orthoHeight, 4.0f);
    EXPECT_EQ(capture->light->owner, capture);
}

TEST_F(ShadowCapture, TwoCapturesShareTheRecordNamesButPublishTheirOwnTextures)
{
    auto* first = addComponent<shadowmapcapturefx>("First");
    auto* second = addComponent<shadowmapcapturefx>("Second");
    ASSERT_TRUE(first && second);
    first->Init();
    second->Init();
    auto* storedMask =
        resourceCast<FileResource>(project->store.get_by_name("shadowmapcapturefx/Texture/Mask"), ResourceType::Texture);
    ASSERT_NE(storedMask, nullptr);
    EXPECT_EQ(storedMask->GetTexture(), first->mask);
    EXPECT_EQ(project->store.get_by_name("shadowmapcapturefx/Texture/Depth"), first->outputs[1]->payload);
    auto* secondMask = resourceCast<FileResource>(second->outputs[2]->payload, ResourceType::Texture);
    ASSERT_NE(secondMask, nullptr);
    EXPECT_EQ(secondMask->GetTexture(), second->mask);
    EXPECT_NE(second->mask, first->mask);
    EXPECT_EQ(first->outputs[0]->name, "light");
    EXPECT_EQ(first->outputs[1]->name, "smap");
    EXPECT_EQ(first->outputs[2]->name, "smask");
}

// The mask covers what the light saw, to its last texel whatever the size; sizes of 0 or less are clamped.
TEST_F(ShadowCapture, MaskConversionCoversEveryTexel)
{
    const struct Case {
        float resolution;
        int side;
        uint32_t groups;
    } cases[] = {{1000, 1000, 125}, {1004, 1004, 126}, {20, 20, 3}, {0, 1, 1}, {-16, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.resolution);
        auto* capture = addComponent<shadowmapcapturefx>("Capture");
        ASSERT_NE(capture, nullptr);
        capture->resolution.value[0] = c.resolution;
        LogCapture log;
        capture->Init();
        EXPECT_EQ(log.contains("is taken as 1"), c.resolution < 1);
        ASSERT_EQ(capture->mask->images[0]->width, c.side);
        ASSERT_EQ(capture->mask->images[0]->height, c.side);

        // Before any shadow pass: no depth, nothing converted.
        capture->ConvertToMask(Timestep{});
        EXPECT_EQ(capture->lastGroups[0], 0u);
        EXPECT_EQ(static_cast<FileResource*>(capture->outputs[1]->payload)->object, nullptr);

        const int split = (c.side + 1) / 2;
        Texture* depth = giveShadowMap(*capture, 0.5f, split);
        capture->ConvertToMask(Timestep{});
        ASSERT_EQ(glGetError(), GL_NO_ERROR);
        EXPECT_EQ(capture->lastGroups[0], c.groups);
        EXPECT_EQ(capture->lastGroups[1], c.groups);
        EXPECT_EQ(static_cast<FileResource*>(capture->outputs[1]->payload)->object, depth);
        const std::vector<uint8_t> mask = readMask(*capture);
        size_t wrong = 0;
        for (int y = 0; y < c.side; ++y)
            for (int x = 0; x < c.side; ++x)
                wrong += mask[size_t(y) * c.side + x] != (x < split ? 255 : 0);
        EXPECT_EQ(wrong, 0u);
        project->components.clear();
        delete capture;
    }
}

// ---- Instancing from a light ----

// Perspective of the spot light as the scene computes it (depth from the near to the far plane).
Matrix spotProjection(float fov, float nearPlane, float farPlane)
{
    Matrix p;
    const float t = nearPlane * std::tan(fov * 3.14159265f / 360.0f);
    p.m[0] = nearPlane / t;
    p.m[5] = nearPlane / t;
    p.m[10] = (farPlane + nearPlane) / (farPlane - nearPlane);
    p.m[11] = -2.0f * farPlane * nearPlane / (farPlane - nearPlane);
    p.m[14] = 1.0f;
    p.m[15] = 0.0f;
    return p;
}

class LightInstancing : public ShadowCapture {
protected:
    shadowmapcapturefx* capture = nullptr;
    instancinglightfx* instancer = nullptr;

    // A capture whose light sees a wall at light-space depth 5 on the left half of its 32 x 32 shadow map, the
    // mask converted from it, and an instancer linked to the capture's output `output`.
    void makeScene(bool directional, const float position[3], const float rotation[3], size_t output = 2)
    {
        capture = addComponent<shadowmapcapturefx>("Capture");
        instancer = addComponent<instancinglightfx>("Instancer");
        ASSERT_TRUE(capture && instancer);
        capture->resolution.value[0] = 32;
        capture->type.value[0] = directional ? 1.0f : 0.0f;
        setVec3(capture->dimensions, 8, 8, 0);
        capture->nearPlane.value[0] = 0.1f;
        capture->farPlane.value[0] = 20.0f;
        setVec3(capture->position, position[0], position[1], position[2]);
        setVec3(capture->rotation, rotation[0], rotation[1], rotation[2]);
        capture->Init();
        Light* light = capture->light;
        light->projection = directional ? Matrix::Orthographic(-4, 4, -4, 4, 0.1f, 20.0f)
                                        : spotProjection(light->fov, 0.1f, 20.0f);
        const float depth = directional ? (5.0f - 0.1f) / (20.0f - 0.1f)
                                        : light->projection.m[10] + light->projection.m[11] / 5.0f;
        giveShadowMap(*capture, depth, 16);
        // The bounds item of a component without parent hands its own matrix back.
        const Matrix model = capture->BoundsMatrix();
        capture->RegisterBounds(nullptr, &model, Renderer::PASS_GEOMETRY, Timestep{});
        capture->ConvertToMask(Timestep{});
        link(instancer->entityPin, capture, output);
    }

    // Instance positions taken back into the light's space (capture transform without its spot extent).
    Vector3 toLight(const Rows& rows) const
    {
        Matrix rigid = Matrix::FromEulerDegrees(capture->rotation.value[0], capture->rotation.value[1],
                                                capture->rotation.value[2]);
        rigid.m[3] = capture->position.value[0];
        rigid.m[7] = capture->position.value[1];
        rigid.m[11] = capture->position.value[2];
        const Matrix inverse = rigid.InverseAffine();
        const float w[3] = {rows.At(0, 3), rows.At(1, 3), rows.At(2, 3)};
        return {inverse.m[0] * w[0] + inverse.m[1] * w[1] + inverse.m[2] * w[2] + inverse.m[3],
                inverse.m[4] * w[0] + inverse.m[5] * w[1] + inverse.m[6] * w[2] + inverse.m[7],
                inverse.m[8] * w[0] + inverse.m[9] * w[1] + inverse.m[10] * w[2] + inverse.m[11]};
    }
};

// Every instance lands on the lit wall inside the light's frustum, standing along the wall's normal towards the
// light; the tail past the last full group is placed as well.
TEST_F(LightInstancing, InstancesLandOnLitSurfacesInsideTheFrustum)
{
    const struct Case {
        const char* what;
        bool directional;
        float position[3];
        float rotation[3];
        float surfaceDistance;
    } cases[] = {
        {"spot at the origin", false, {0, 0, 0}, {0, 0, 0}, 0},
        {"spot moved and turned", false, {1, 2, 3}, {0, 90, 0}, 0.5f},
        {"directional turned", true, {0, 0, 0}, {30, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makeScene(c.directional, c.position, c.rotation);
        instancer->replicas.value[0] = 100; // three full groups and a tail of 4
        instancer->surfaceDistance.value[0] = c.surfaceDistance;
        instancer->modulateSizeByMask.value[0] = 0;
        poison(*instancer->set);
        ASSERT_TRUE(instancer->PlaceInstances(Timestep{}));
        ASSERT_EQ(glGetError(), GL_NO_ERROR);
        EXPECT_EQ(instancer->lastGroups, 4u);
        EXPECT_EQ(instancer->set->count, 100u);

        const std::vector<Rows> rows = readRows(*instancer->set, 100);
        int placed = 0;
        for (int i = 0; i < 100; ++i) {
            SCOPED_TRACE(i);
            const Rows& r = rows[i];
            ASSERT_TRUE(std::isfinite(r.At(0, 0)) && std::isfinite(r.At(2, 3))) << "instance not written";
            if (r.ColumnLength(1) < 0.5f)
                continue; // parked: no lit point found
            ++placed;
            const Vector3 p = toLight(r);
            // On the wall (lifted towards the light), on the lit half, inside the frustum.
            EXPECT_NEAR(p.z, 5.0f - c.surfaceDistance, 0.02f);
            EXPECT_LE(p.x, 0.01f);
            const float halfWidth = c.directional ? 4.0f : 5.0f;
            EXPECT_GE(p.x, -halfWidth - 0.01f);
            EXPECT_LE(std::fabs(p.y), halfWidth + 0.01f);
            // The y axis is the wall's normal, facing the light: -z of the light in world space.
            Matrix rotation = Matrix::FromEulerDegrees(c.rotation[0], c.rotation[1], c.rotation[2]);
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(r.At(k, 1), -rotation.m[k * 4 + 2], 1e-3f) << k;
        }
        EXPECT_GE(placed, 90);

        const LightInstancingParams& block = instancer->Params();
        EXPECT_EQ(block.replicas, 100);
        EXPECT_EQ(block.captureTranslation[0], capture->captureMatrix.m[3]);
        EXPECT_EQ(block.captureTranslation[2], capture->captureMatrix.m[11]);
        project->components.clear();
        delete instancer;
        delete capture;
    }
}

TEST_F(LightInstancing, BlockWordsAndTheDirectionalMatrix)
{
    const float origin[3] = {0, 0, 0};
    makeScene(true, origin, origin);
    instancer->seed.value[0] = 12.9f;
    instancer->replicas.value[0] = 40;
    instancer->surfaceDistance.value[0] = 0.25f;
    instancer->modulateSizeByMask.value[0] = 0.51f;
    instancer->onlyOnMaskEdge.value[0] = 0.5f;
    instancer->nearPlaneScale.value[0] = 0.125f;
    instancer->farPlaneScale.value[0] = 0.75f;
    ASSERT_TRUE(instancer->PlaceInstances(Timestep{}));

    uint8_t bytes[240];
    glGetNamedBufferSubData(instancer->params->glId, 0, sizeof bytes, bytes);
    auto word = [&](size_t at) {
        int32_t v;
        std::memcpy(&v, bytes + at, 4);
        return v;
    };
    auto real = [&](size_t at) {
        float v;
        std::memcpy(&v, bytes + at, 4);
        return v;
    };
    EXPECT_EQ(word(204), 12);
    EXPECT_EQ(word(208), 40);
    EXPECT_EQ(real(212), 0.25f);
    EXPECT_EQ(word(216), 1);
    EXPECT_EQ(word(220), 0);
    EXPECT_EQ(real(224), 0.125f);
    EXPECT_EQ(real(228), 0.75f);
    EXPECT_EQ(word(232), 0);
    EXPECT_EQ(word(236), 0);
    // D x T: shadow-map coordinates 0..1 centred at 0.5 and depth 0..1 to light units (8 x 8, far 20).
    const float shadowToLight[16] = {8, 0, 0, -4, 0, 8, 0, -4, 0, 0, 20, 0, 0, 0, 0, 1};
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(real(64 + 4 * k), shadowToLight[k]) << k;
        EXPECT_EQ(real(0 + 4 * k), capture->light->projection.m[k]) << k;
        EXPECT_EQ(real(128 + 4 * k), capture->captureMatrix.m[k]) << k;
    }

    // A seed that is not a number goes up as 0.
    instancer->seed.value[0] = std::numeric_limits<float>::quiet_NaN();
    ASSERT_TRUE(instancer->PlaceInstances(Timestep{}));
    EXPECT_EQ(instancer->Params().seed, 0);

    // A spot capture leaves those bytes as they were.
    capture->type.value[0] = 0;
    capture->OnCvarChanged(&capture->type);
    capture->light->projection = spotProjection(90, 0.1f, 20);
    // The new light has no shadow map yet: the block is written, not uploaded.
    EXPECT_FALSE(instancer->PlaceInstances(Timestep{}));
    const LightInstancingParams& block = instancer->Params();
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(block.shadowToLight[k], shadowToLight[k]) << k;
        EXPECT_EQ(block.projection[k], capture->light->projection.m[k]) << k;
    }
}

// Every output of the capture selects it; without a capture, another source, a negative count or a mask that
// covers nothing, no instance is placed, and the count still follows "replicas".
TEST_F(LightInstancing, SourcesMasksAndCounts)
{
    const float origin[3] = {0, 0, 0};
    makeScene(false, origin, origin, 0);
    for (size_t output : {0, 1, 2}) {
        // The graph only makes links the input accepts.
        EXPECT_TRUE(instancer->entityPin->Accepts(capture->outputs[output]->resourceType)) << output;
        instancer->entityPin->links = {capture->outputs[output]->id};
        EXPECT_EQ(instancer->Source(), capture) << output;
    }

    auto* randomizer = addComponent<instancemodifierrandomizerfx>("Randomizer");
    ASSERT_NE(randomizer, nullptr);
    instancer->replicas.value[0] = 20;
    instancer->entityPin->links = {randomizer->outputs[0]->id};
    EXPECT_FALSE(instancer->PlaceInstances(Timestep{}));
    EXPECT_EQ(instancer->set->count, 20u);
    instancer->entityPin->links.clear();
    EXPECT_FALSE(instancer->PlaceInstances(Timestep{}));

    link(instancer->entityPin, capture);
    instancer->replicas.value[0] = -5;
    EXPECT_FALSE(instancer->PlaceInstances(Timestep{}));
    EXPECT_EQ(instancer->set->count, 0u);
    EXPECT_EQ(instancer->Params().replicas, 0);

    // 20 replicas: one group (not none).
    instancer->replicas.value[0] = 20;
    EXPECT_TRUE(instancer->PlaceInstances(Timestep{}));
    EXPECT_EQ(instancer->lastGroups, 1u);

    // "txt mask" with something that is not a texture: one warning, the capture's own mask is used.
    link(instancer->maskPin, randomizer);
    {
        LogCapture log;
        EXPECT_TRUE(instancer->PlaceInstances(Timestep{}));
        EXPECT_TRUE(instancer->PlaceInstances(Timestep{}));
        EXPECT_EQ(log.count("not a texture"), 1);
    }
    const std::vector<Rows> withOwnMask = readRows(*instancer->set, 20);
    int placed = 0;
    for (const Rows& r : withOwnMask)
        placed += r.ColumnLength(1) > 0.5f;
    EXPECT_GT(placed, 15);

    // An empty mask texture on "txt mask" replaces the capture's: every instance is parked.
    Texture* empty = txtCreateNamed("empty mask", TEXTURE_TYPE_2D, 32, 32, IMAGE_TYPE_R8);
    ASSERT_NE(empty, nullptr);
    txtSetupForGL(empty);
    depthTextures.push_back(empty);
    FileResource* emptyRecord = project->store.add_texture("empty mask", empty);
    class MaskSource : public projtest::TestComponentBase {
    public:
        explicit MaskSource(FileResource* record) : TestComponentBase(45, "MaskSource")
        {
            AddOutput("txt color", ResourceType::Texture)->payload = record;
        }
    };
    auto* source = new MaskSource(emptyRecord);
    project->components.push_back(source);
    instancer->maskPin->links = {source->outputs[0]->id};
    EXPECT_EQ(instancer->LinkedMask(), empty);
    EXPECT_TRUE(instancer->PlaceInstances(Timestep{}));
    for (const Rows& r : readRows(*instancer->set, 20))
        EXPECT_EQ(r.ColumnLength(1), 0.0f);
}

// ---- Instancing from geometry ----

// A source whose first surface was exported at the given bases.
class ExportedSource : public projtest::TestComponentBase {
public:
    explicit ExportedSource(GeometryExportRecord record) : TestComponentBase(30, "Exported"), record_(record)
    {
        AddOutput("entity", ResourceType::Entity);
    }
    std::vector<GeometryExportRecord*> GetGeometries() override { return {&record_}; }

private:
    GeometryExportRecord record_;
};

TEST_F(Instancing, GeometryInstancesLandOnTheSourcesFaces)
{
    // Three exported faces; the source owns face 1 (in the plane z = 2, normal +z) of the tracing copy, and the
    // voxel copy holds the same face at index 0.
    const float faces[27] = {0, 0, 0, 1, 0, 0, 0, 1, 0,  // face 0
                             0, 0, 2, 4, 0, 2, 0, 4, 2,  // face 1
                             9, 9, 9, 9, 8, 9, 8, 9, 9}; // face 2
    RaytraceSceneBuffers scene;
    scene.geometryRaytrace = boCreate("test tracing copy", sizeof faces);
    scene.geometryVoxel = boCreate("test voxel copy", sizeof faces);
    glNamedBufferSubData(scene.geometryRaytrace->glId, 0, sizeof faces, faces);
    glNamedBufferSubData(scene.geometryVoxel->glId, 0, sizeof faces - 9 * sizeof(float), faces + 9);

    const struct Case {
        const char* what;
        GeometryExportRecord record;
        bool linked;
        bool dispatched;
    } cases[] = {
        {"tracing copy", {0, 1, -1, 1}, true, true},
        {"voxel copy first", {0, 2, 0, 1}, true, true},
        {"exported for neither", {0, -1, -1, 1}, true, false},
        {"no link", {0, 1, -1, 1}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto* instancer = addComponent<instancinggeometryfx>("Scatter");
        ASSERT_NE(instancer, nullptr);
        auto* source = new ExportedSource(c.record);
        project->components.push_back(source);
        if (c.linked) {
            EXPECT_TRUE(instancer->entityPin->Accepts(source->outputs[0]->resourceType));
            link(instancer->entityPin, source);
        }
        instancer->replicas.value[0] = 50;
        instancer->surfaceDistance.value[0] = 0.5f;
        poison(*instancer->set);
        EXPECT_EQ(instancer->PlaceInstances(&scene, Timestep{}), c.dispatched);
        ASSERT_EQ(glGetError(), GL_NO_ERROR);
        EXPECT_EQ(instancer->set->count, 50u);
        const std::vector<Rows> rows = readRows(*instancer->set, 50);
        for (int i = 0; i < 50; ++i) {
            SCOPED_TRACE(i);
            const Rows& r = rows[i];
            if (!c.dispatched) {
                EXPECT_TRUE(std::isnan(r.At(0, 0)));
                continue;
            }
            const float x = r.At(0, 3), y = r.At(1, 3), z = r.At(2, 3);
            EXPECT_NEAR(z, 2.5f, 1e-4f);
            EXPECT_GE(x, -1e-4f);
            EXPECT_GE(y, -1e-4f);
            EXPECT_LE(x + y, 4.0f + 1e-3f);
            EXPECT_NEAR(r.At(2, 1), 1.0f, 1e-5f) << "y axis along the normal";
            EXPECT_NEAR(r.ColumnLength(0), 1.0f, 1e-5f);
        }
        project->components.clear();
        delete instancer;
        delete source;
    }

    // Without a scene player the faces cannot be read: one warning, nothing placed.
    auto* instancer = addComponent<instancinggeometryfx>("Scatter");
    auto* source = new ExportedSource({0, 1, -1, 1});
    project->components.push_back(source);
    link(instancer->entityPin, source);
    LogCapture log;
    RenderItemBuilder builder;
    instancer->Execute(builder, Timestep{});
    instancer->Execute(builder, Timestep{});
    EXPECT_EQ(log.count("no scene player"), 1);
    EXPECT_EQ(instancer->lastGroups, 0u);

    boDelete(scene.geometryRaytrace);
    boDelete(scene.geometryVoxel);
}

} // namespace
