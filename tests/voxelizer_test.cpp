// The voxelizer: its parameters and box, the copy of the voxel buffers into the voxel textures with their coarser
// levels, the voxelization of exported faces and the debug view. The 256^3 tests share the raytracer's scene
// buffers (allocated once per process); the copy and level tests use small volumes of their own.
#include "components/voxelizer.h"
#include "components/raytracer.h"
#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/component_table.h"
#include "project_test_util.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/render_graph.h"
#include "renderer_fixture.h"

#include <glbinding/CallbackMask.h>
#include <glbinding/AbstractFunction.h>
#include <glbinding/FunctionCall.h>
#include <glbinding/callbacks.h>
#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace gl;
using projtest::LogCapture;
using projtest::ScopedProject;

namespace {

constexpr int kVoxelizerRow = 5;
constexpr int kRaytracerRow = 4;

} // namespace

// ---- Without GL ----

TEST(Voxelizer, ParametersInOrderWithDefaultsInsideTheirRanges)
{
    ScopedProject project;
    std::unique_ptr<voxelizationfx> voxelizer = BuildComponent<voxelizationfx>("Voxelizer");
    const char* const order[] = {"Position",
                                 "Scale",
                                 "Automatic Bounding Box",
                                 "trace max range",
                                 "light smoothing position factor",
                                 "light smoothing normaln factor",
                                 "light smoothing color factor",
                                 "light falloff",
                                 "occlusion falloff",
                                 "light trace distance scale",
                                 "reprojection tolerance",
                                 "material_raytrace",
                                 "render_debug",
                                 "render_debug_bounce",
                                 "enabled"};
    const std::vector<Cvar*>& cvars = voxelizer->GetCvarTree()->cvars;
    ASSERT_EQ(cvars.size(), std::size(order));
    for (size_t i = 0; i < cvars.size(); ++i) {
        SCOPED_TRACE(order[i]);
        EXPECT_EQ(cvars[i]->name, order[i]);
        if (cvars[i]->type == CvarType::Float) {
            EXPECT_GE(cvars[i]->value[0], cvars[i]->min);
            EXPECT_LE(cvars[i]->value[0], cvars[i]->max);
        }
        const bool keyed = cvars[i]->name == "Position" || cvars[i]->name == "Scale" ||
                           cvars[i]->name == "trace max range";
        EXPECT_EQ(cvars[i]->animatable, keyed);
    }
    Cvar *position = nullptr, *rotation = &voxelizer->enabled, *scale = nullptr;
    ASSERT_TRUE(voxelizer->GetTransformCvars(&position, &rotation, &scale));
    EXPECT_EQ(position, &voxelizer->position);
    EXPECT_EQ(rotation, nullptr);
    EXPECT_EQ(scale, &voxelizer->scale);
    EXPECT_FALSE(voxelizer->IsDependencyOnly());
}

// Execute hands the box to the frame's scene buffers; a fixed box also gets the item that shows its bounds.
TEST(Voxelizer, BoxFromPositionAndScale)
{
    ScopedProject project;
    struct Case {
        float position[3], scale[3], automatic;
        float min[3], max[3];
    };
    const Case cases[] = {
        {{10, 0, 0}, {100, 50, 20}, 0.0f, {-40, -25, -10}, {60, 25, 10}},
        {{10, 0, 0}, {100, 50, 20}, 1.0f, {-40, -25, -10}, {60, 25, 10}},
        {{-3, 7, 2}, {0, 4, 1}, 0.0f, {-3, 5, 1.5f}, {-3, 9, 2.5f}},
    };
    RaytraceSceneBuffers* saved = currentRaytraceScene;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.automatic);
        std::unique_ptr<voxelizationfx> voxelizer = BuildComponent<voxelizationfx>("Voxelizer");
        std::memcpy(voxelizer->position.value, c.position, sizeof c.position);
        std::memcpy(voxelizer->scale.value, c.scale, sizeof c.scale);
        voxelizer->automaticBoundingBox.value[0] = c.automatic;
        RaytraceSceneBuffers scene;
        scene.voxelGridAutoBounds = c.automatic < 0.5f;
        currentRaytraceScene = &scene;
        RenderItemBuilder builder;
        voxelizer->Execute(builder, Timestep{});
        for (int k = 0; k < 3; ++k) {
            EXPECT_FLOAT_EQ(scene.voxelGridMin[k], c.min[k]) << k;
            EXPECT_FLOAT_EQ(scene.voxelGridMax[k], c.max[k]) << k;
        }
        EXPECT_EQ(scene.voxelGridAutoBounds, c.automatic > 0.5f);
        if (c.automatic > 0.5f) {
            EXPECT_TRUE(builder.items.empty());
            continue;
        }
        ASSERT_EQ(builder.items.size(), 1u);
        const RenderItem& item = builder.items[0];
        EXPECT_EQ(item.owner, voxelizer.get());
        EXPECT_TRUE(item.dependencies.empty());
        const float expected[16] = {c.scale[0], 0, 0, c.position[0], 0, c.scale[1], 0, c.position[1],
                                    0,          0, c.scale[2], c.position[2], 0, 0, 0, 1};
        for (int i = 0; i < 16; ++i)
            EXPECT_FLOAT_EQ(item.model.m[i], expected[i]) << i;
    }
    // Without scene buffers (no raytracer) the box goes nowhere, and nothing breaks.
    currentRaytraceScene = nullptr;
    std::unique_ptr<voxelizationfx> voxelizer = BuildComponent<voxelizationfx>("Voxelizer");
    voxelizer->automaticBoundingBox.value[0] = 0.0f;
    RenderItemBuilder builder;
    voxelizer->Execute(builder, Timestep{});
    EXPECT_EQ(builder.items.size(), 1u);
    currentRaytraceScene = saved;
}

// ---- Copy and levels on small volumes ----

namespace {

class VoxelizerGL : public RendererGLTest {
protected:
    VoxelizerGL() : RendererGLTest(size_t(1) << 24) {}
    std::unique_ptr<ScopedProject> project;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project = std::make_unique<ScopedProject>();
        currentRaytraceScene = nullptr;
        ASSERT_TRUE(voxelizationfx::InitPrograms());
    }
    void TearDown() override
    {
        currentRaytraceScene = nullptr;
        project.reset();
        RendererGLTest::TearDown();
    }

    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        EXPECT_NE(component, nullptr) << name;
        if (component)
            currentComponents->push_back(component);
        return static_cast<T*>(component);
    }
};

// Buffers of their own and textures made as the scene buffers make theirs, freed at the end of the test.
struct SmallVolumes {
    VoxelVolumes v;
    explicit SmallVolumes(int side, int textureSide = -1)
    {
        const int t = textureSide < 0 ? side : textureSide;
        const uint64_t bytes = uint64_t(side) * side * side * 4;
        v.colors = boCreateStorage("TestVoxelColors", bytes);
        v.occlusion = boCreateStorage("TestVoxelOcclusion", bytes);
        v.colorTexture = RaytraceSceneBuffers::CreateVolume("TestVoxelColor", IMAGE_TYPE_RGBA8, SAMPLER_NONE, t);
        v.occupancyTexture = RaytraceSceneBuffers::CreateVolume("TestVoxelOccupancy", IMAGE_TYPE_R8, SAMPLER_NONE, t);
        v.resolution = side;
    }
    ~SmallVolumes()
    {
        boDelete(v.colors);
        boDelete(v.occlusion);
        txtDestroy(v.colorTexture);
        txtDestroy(v.occupancyTexture);
    }
};

void upload(BufferObject* buffer, const std::vector<uint32_t>& words)
{
    GLuint staging = 0;
    glCreateBuffers(1, &staging);
    glNamedBufferData(staging, GLsizeiptr(words.size() * 4), words.data(), GL_STATIC_DRAW);
    glCopyNamedBufferSubData(staging, buffer->glId, 0, 0, GLsizeiptr(words.size() * 4));
    glDeleteBuffers(1, &staging);
}

std::vector<uint32_t> download(BufferObject* buffer, size_t words)
{
    std::vector<uint32_t> out(words);
    glGetNamedBufferSubData(buffer->glId, 0, GLsizeiptr(words * 4), out.data());
    return out;
}

// A level as floats, `channels` per texel.
std::vector<float> level(const Texture* texture, int lvl, int channels)
{
    const int side = texture->images[0]->width >> lvl;
    std::vector<float> out(size_t(side) * side * side * channels);
    glGetTextureImage(texture->glId, lvl, channels == 4 ? GL_RGBA : GL_RED, GL_FLOAT, GLsizei(out.size() * 4),
                      out.data());
    return out;
}

// Every texel of every level set to a value the passes never write, so a texel they skip shows.
void poison(const Texture* texture)
{
    const float junk[4] = {0.5f, 0.25f, 0.75f, 0.5f};
    for (int l = 0; l < VOXEL_TEXTURE_LEVELS; ++l)
        glClearTexImage(texture->glId, l, GL_RGBA, GL_FLOAT, junk);
}

// The CPU's levels of a level-0 volume (box average over 2^l per side).
std::vector<float> averaged(const std::vector<float>& base, int side, int channels, int lvl)
{
    const int s = side >> lvl;
    const int f = 1 << lvl;
    std::vector<float> out(size_t(s) * s * s * channels, 0.0f);
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                for (int c = 0; c < channels; ++c) {
                    const size_t from = ((size_t(z) * side + y) * side + x) * channels + c;
                    const size_t to = ((size_t(z / f) * s + y / f) * s + x / f) * channels + c;
                    out[to] += base[from] / float(f * f * f);
                }
    return out;
}

} // namespace

// A pattern that differs in every slice (occupied only in the upper half of z, colour from the position) comes
// out exactly in level 0 and as averages in levels 1 to 4, at the deepest slice too; the buffers are empty
// afterwards, so a second copy without new voxels leaves empty textures (no trail of the last frame).
TEST_F(VoxelizerGL, KnownPatternCopiedAndMippedAtEverySlice)
{
    for (int side : {32, 64}) {
        SCOPED_TRACE(side);
        SmallVolumes volumes(side);
        const VoxelVolumes& v = volumes.v;
        ASSERT_TRUE(v.colors && v.occlusion && v.colorTexture && v.occupancyTexture);
        const size_t count = size_t(side) * side * side;
        std::vector<uint32_t> colors(count, 0), occlusion(count, 0);
        std::vector<float> colorBase(count * 4, 0.0f), occupancyBase(count, 0.0f);
        for (int z = 0; z < side; ++z)
            for (int y = 0; y < side; ++y)
                for (int x = 0; x < side; ++x) {
                    const size_t i = (size_t(z) * side + y) * side + x;
                    if (z < side / 2 || (x + y) % 3 == 0)
                        continue;
                    const uint32_t r = uint32_t(x * 255 / (side - 1)), g = uint32_t(y * 255 / (side - 1)),
                                   b = uint32_t(z * 255 / (side - 1));
                    colors[i] = r | g << 8 | b << 16 | 255u << 24;
                    occlusion[i] = 1 + uint32_t(x % 4); // a count, not a flag
                    const float rgba[4] = {r / 255.0f, g / 255.0f, b / 255.0f, 1.0f};
                    std::memcpy(&colorBase[i * 4], rgba, sizeof rgba);
                    occupancyBase[i] = 1.0f;
                }
        upload(v.colors, colors);
        upload(v.occlusion, occlusion);
        poison(v.colorTexture);
        poison(v.occupancyTexture);

        ASSERT_TRUE(voxelizerCopyToTextures(v));
        ASSERT_TRUE(voxelizerBuildMips(v));
        EXPECT_EQ(glGetError(), GL_NO_ERROR);

        for (int l = 0; l < VOXEL_TEXTURE_LEVELS; ++l) {
            SCOPED_TRACE(l);
            // Each stored level rounds to 8 bits once more.
            const float tolerance = 0.5f / 255.0f * float(l + 1) + 1e-4f;
            for (const auto& [texture, base, channels] :
                 {std::tuple{v.colorTexture, &colorBase, 4}, std::tuple{v.occupancyTexture, &occupancyBase, 1}}) {
                const std::vector<float> expected = averaged(*base, side, channels, l);
                const std::vector<float> got = level(texture, l, channels);
                ASSERT_EQ(got.size(), expected.size());
                size_t wrong = 0, first = got.size();
                for (size_t i = 0; i < got.size(); ++i)
                    if (std::fabs(got[i] - expected[i]) > tolerance) {
                        ++wrong;
                        first = std::min(first, i);
                    }
                EXPECT_EQ(wrong, 0u) << "channels " << channels << ", first wrong value at " << first << ": "
                                     << (first < got.size() ? got[first] : 0.0f) << " instead of "
                                     << (first < got.size() ? expected[first] : 0.0f);
            }
        }
        for (BufferObject* buffer : {v.colors, v.occlusion}) {
            const std::vector<uint32_t> left = download(buffer, count);
            EXPECT_EQ(std::count(left.begin(), left.end(), 0u), int64_t(count)) << "buffer emptied by the copy";
        }

        ASSERT_TRUE(voxelizerCopyToTextures(v));
        const std::vector<float> again = level(v.occupancyTexture, 0, 1);
        EXPECT_EQ(std::count(again.begin(), again.end(), 0.0f), int64_t(count)) << "no voxel of the last frame";
    }
}

// Volumes the passes cannot work on are refused with a log line and nothing is dispatched.
TEST_F(VoxelizerGL, VolumesThatDoNotFitAreRefused)
{
    struct Case {
        const char* what;
        int side, textureSide;
        bool dropColorTexture;
    };
    const Case cases[] = {
        {"side not a multiple of 16", 24, 24, false},
        {"textures smaller than the grid", 32, 16, false},
        {"no colour texture", 32, 32, true},
        {"no grid", 0, 16, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmallVolumes volumes(c.side, c.textureSide);
        VoxelVolumes v = volumes.v;
        if (c.dropColorTexture)
            v.colorTexture = nullptr;
        LogCapture log;
        EXPECT_FALSE(voxelizerCopyToTextures(v));
        EXPECT_FALSE(voxelizerBuildMips(v));
        EXPECT_FALSE(voxelizerBounce(v, volumes.v.colorTexture, 0.5f));
        EXPECT_NE(log.text().find("Voxelizer:"), std::string::npos);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
    }
}

// The bounce program adds the light around an occupied voxel to its colour and leaves empty voxels empty.
TEST_F(VoxelizerGL, BounceBrightensOccupiedVoxelsOnly)
{
    const int side = 32;
    SmallVolumes volumes(side);
    Texture* bounce = RaytraceSceneBuffers::CreateVolume("TestBounce", IMAGE_TYPE_RGBA8, SAMPLER_NONE, side);
    ASSERT_TRUE(bounce);
    const size_t count = size_t(side) * side * side;
    std::vector<uint32_t> colors(count, 0), occlusion(count, 0);
    // A lit slab at z 8-15 and a dark voxel in front of it.
    for (int z = 8; z < 16; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                colors[(size_t(z) * side + y) * side + x] = 0xFFFFFFFFu;
                occlusion[(size_t(z) * side + y) * side + x] = 1;
            }
    const size_t dark = (size_t(18) * side + 16) * side + 16;
    colors[dark] = 0xFF000000u;
    occlusion[dark] = 1;
    upload(volumes.v.colors, colors);
    upload(volumes.v.occlusion, occlusion);
    ASSERT_TRUE(voxelizerCopyToTextures(volumes.v));
    ASSERT_TRUE(voxelizerBuildMips(volumes.v));
    ASSERT_TRUE(voxelizerBounce(volumes.v, bounce, 1.0f));
    const std::vector<float> out = level(bounce, 0, 4);
    EXPECT_GT(out[dark * 4], 0.02f) << "light from the slab";
    EXPECT_FLOAT_EQ(out[dark * 4 + 3], 1.0f);
    const size_t empty = (size_t(28) * side + 3) * side + 3;
    EXPECT_EQ(out[empty * 4 + 3], 0.0f);
    EXPECT_EQ(out[empty * 4], 0.0f);
    txtDestroy(bounce);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// ---- Voxelization and the debug view on the scene buffers ----

namespace {

// Counts the GL calls by name while alive.
struct CallCounter {
    static inline std::vector<std::string> names;
    CallCounter()
    {
        names.clear();
        glbinding::setCallbackMask(glbinding::CallbackMask::Before);
        glbinding::setBeforeCallback([](const glbinding::FunctionCall& call) { names.push_back(call.function->name()); });
    }
    ~CallCounter() { glbinding::setCallbackMask(glbinding::CallbackMask::None); }
    static int64_t count(const std::string& name) { return std::count(names.begin(), names.end(), name); }
    static int64_t draws()
    {
        return std::count_if(names.begin(), names.end(), [](const std::string& n) {
            return n.rfind("glDraw", 0) == 0 && n.rfind("glDrawBuffer", 0) != 0;
        });
    }
};

void writeBytes(BufferObject* target, const void* data, size_t size, size_t offset = 0)
{
    GLuint staging = 0;
    glCreateBuffers(1, &staging);
    glNamedBufferData(staging, GLsizeiptr(size), data, GL_STATIC_DRAW);
    glCopyNamedBufferSubData(staging, target->glId, 0, GLintptr(offset), GLsizeiptr(size));
    glDeleteBuffers(1, &staging);
}

// The 12 faces of an axis-aligned box, written into the voxelization copy as the frame's only export.
void writeBox(RaytraceSceneBuffers* scene, const float* lo, const float* hi)
{
    const float c[8][3] = {{lo[0], lo[1], lo[2]}, {hi[0], lo[1], lo[2]}, {lo[0], hi[1], lo[2]}, {hi[0], hi[1], lo[2]},
                           {lo[0], lo[1], hi[2]}, {hi[0], lo[1], hi[2]}, {lo[0], hi[1], hi[2]}, {hi[0], hi[1], hi[2]}};
    const int faces[12][3] = {{0, 1, 3}, {0, 3, 2}, {4, 7, 5}, {4, 6, 7}, {0, 4, 5}, {0, 5, 1},
                              {2, 3, 7}, {2, 7, 6}, {0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3}};
    std::vector<float> positions;
    for (const auto& face : faces)
        for (int corner : face)
            positions.insert(positions.end(), c[corner], c[corner] + 3);
    writeBytes(scene->geometryVoxel, positions.data(), positions.size() * sizeof(float));
    // Material row 0 for every vertex.
    const std::vector<float> materials(36, 0.0f);
    writeBytes(scene->geometryVoxel, materials.data(), materials.size() * sizeof(float),
               size_t(kRaytraceVertexLayout.materialOffset) * sizeof(float));
    const int32_t record[4] = {0, 0, 0, 12};
    writeBytes(scene->transformedDataLocation, record, sizeof record);
    scene->raytraceFaceCount = 0;
    scene->voxelizeFaceCount = 12;
    scene->exportedObjectCount = 1;
}

} // namespace

class VoxelizerSceneGL : public VoxelizerGL {
protected:
    raytracerfx* raytracer = nullptr;
    voxelizationfx* voxelizer = nullptr;
    RaytraceSceneBuffers* scene = nullptr;

    void SetUp() override
    {
        VoxelizerGL::SetUp();
        raytracer = make<raytracerfx>(kRaytracerRow, "Raytracer");
        voxelizer = make<voxelizationfx>(kVoxelizerRow, "Voxelizer");
        ASSERT_TRUE(raytracer && voxelizer);
        raytracer->Init();
        ASSERT_TRUE(raytracer->AcquireSceneBuffers());
        scene = raytracer->sceneBuffers;
        scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
        currentRaytraceScene = scene;
        // A fixed 256-unit box centred on the origin: one unit per voxel, voxel k spans [k - 128, k - 127).
        voxelizer->automaticBoundingBox.value[0] = 0.0f;
        for (int k = 0; k < 3; ++k) {
            voxelizer->position.value[k] = 0.0f;
            voxelizer->scale.value[k] = 256.0f;
        }
        RenderItemBuilder builder;
        voxelizer->Execute(builder, Timestep{});
    }
};

// A box whose faces lie in the middle of voxel layers occupies its shell of voxels and nothing else; the faces
// lie parallel to the grid, so without conservative rasterisation only the voxels along their edges may be
// missed.
TEST_F(VoxelizerSceneGL, BoxOccupiesItsShell)
{
    // The fixed box gets a little padding; the faces go to the middles of voxel layers of the grid it gives.
    raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{});
    float bounds[24] = {};
    glGetNamedBufferSubData(scene->bboxBuffer->glId, 96, sizeof bounds, bounds);
    const float* gridMin = &bounds[8];
    const float* cell = &bounds[16];
    const int cellLo[3] = {107, 117, 97}, cellHi[3] = {148, 138, 158};
    float lo[3], hi[3];
    for (int k = 0; k < 3; ++k) {
        ASSERT_NEAR(cell[k], 1.0f, 0.01f);
        lo[k] = gridMin[k] + (float(cellLo[k]) + 0.5f) * cell[k];
        hi[k] = gridMin[k] + (float(cellHi[k]) + 0.5f) * cell[k];
    }
    writeBox(scene, lo, hi);
    voxelizer->RenderPartitioning(scene, Timestep{});
    EXPECT_EQ(glGetError(), GL_NO_ERROR);

    const std::vector<float> occupancy = level(scene->voxelOccupancyTexture, 0, 1);
    const int64_t a = cellHi[0] - cellLo[0] + 1, b = cellHi[1] - cellLo[1] + 1, c = cellHi[2] - cellLo[2] + 1;
    const int64_t shell = a * b * c - (a - 2) * (b - 2) * (c - 2);
    int64_t onShell = 0, elsewhere = 0;
    for (int z = 0; z < 256; ++z)
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                if (occupancy[(size_t(z) * 256 + y) * 256 + x] <= 0.0f)
                    continue;
                const int p[3] = {x, y, z};
                bool inside = true, boundary = false;
                for (int k = 0; k < 3; ++k) {
                    inside = inside && p[k] >= cellLo[k] && p[k] <= cellHi[k];
                    boundary = boundary || p[k] == cellLo[k] || p[k] == cellHi[k];
                }
                (inside && boundary ? onShell : elsewhere) += 1;
            }
    EXPECT_EQ(elsewhere, 0);
    // The edge rows of each face are what a rasteriser without conservative coverage may drop.
    const int64_t edges = 4 * (a + b + c);
    EXPECT_LE(onShell, shell);
    EXPECT_GE(onShell, shell - edges) << "shell " << shell;

    // The voxels reach the deep slices of the filtered levels too.
    const std::vector<float> coarse = level(scene->voxelOccupancyTexture, 4, 1);
    const int farSlice = cellHi[2] / 16;
    float deep = 0.0f;
    for (int i = 0; i < 16 * 16; ++i)
        deep = std::max(deep, coarse[size_t(farSlice) * 256 + i]);
    EXPECT_GT(deep, 0.0f);
}

// A frame without exports draws nothing, even with a draw command left from an earlier frame, yet copies and
// builds the levels, which empties the buffers; without scene buffers nothing at all happens.
TEST_F(VoxelizerSceneGL, NothingExportedDispatchesWithoutADraw)
{
    const uint32_t stale[4] = {36, 1, 0, 0};
    writeBytes(scene->drawIndirectParams, stale, sizeof stale);
    const uint32_t lit = 0xFFFFFFFFu;
    glClearNamedBufferSubData(scene->voxelOcclusion->glId, GL_R32UI, 0, 4096, GL_RED_INTEGER, GL_UNSIGNED_INT, &lit);
    {
        CallCounter calls;
        voxelizer->RenderPartitioning(scene, Timestep{});
        EXPECT_EQ(CallCounter::count("glDispatchCompute"), 2);
        EXPECT_EQ(CallCounter::draws(), 0);
    }
    // The words left in the buffer show once more, then the grid is empty.
    std::vector<float> occupancy = level(scene->voxelOccupancyTexture, 0, 1);
    EXPECT_EQ(std::count(occupancy.begin(), occupancy.end(), 1.0f), 1024);
    voxelizer->RenderPartitioning(scene, Timestep{});
    occupancy = level(scene->voxelOccupancyTexture, 0, 1);
    EXPECT_EQ(std::count(occupancy.begin(), occupancy.end(), 0.0f), int64_t(occupancy.size()));
    {
        LogCapture log;
        CallCounter calls;
        voxelizer->RenderPartitioning(nullptr, Timestep{});
        EXPECT_TRUE(CallCounter::names.empty());
        EXPECT_NE(log.text().find("Voxelizer: no scene buffers"), std::string::npos);
    }
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// "render_debug" below 1 draws nothing; 2 draws one blended cube strip per voxel and leaves blending off.
TEST_F(VoxelizerSceneGL, DebugViewSmokeFrame)
{
    const float lo[3] = {-4.5f, -4.5f, -4.5f}, hi[3] = {4.5f, 4.5f, 4.5f};
    writeBox(scene, lo, hi);
    raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{});
    voxelizer->RenderPartitioning(scene, Timestep{});

    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -30}, {0, 0, 0}, float(deferredtest::kWidth) / deferredtest::kHeight);
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    renderStatePush(renderStateDefault());
    for (const auto& [debug, primitives] : {std::pair{0.5f, 0u}, std::pair{2.0f, 12u * 256u * 256u * 256u}}) {
        SCOPED_TRACE(debug);
        voxelizer->renderDebug.value[0] = debug;
        GLuint query = 0;
        glGenQueries(1, &query);
        glBeginQuery(GL_PRIMITIVES_GENERATED, query);
        voxelizer->RenderDebug(&camera, scene);
        glEndQuery(GL_PRIMITIVES_GENERATED);
        GLuint generated = 7;
        glGetQueryObjectuiv(query, GL_QUERY_RESULT, &generated);
        glDeleteQueries(1, &query);
        EXPECT_EQ(generated, primitives);
        EXPECT_EQ(glIsEnabled(GL_BLEND), GL_FALSE);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
    }
    renderStatePop();
    fbPop();
}

// A copy or levels program whose build failed is never dispatched (the frame goes on without the pass).
TEST_F(VoxelizerGL, ProgramThatFailedToBuildIsNotDispatched)
{
    SmallVolumes volumes(32);
    ShaderProgram* broken = shaderBuildProgramCompute(
        shaderBuildGenericFromString("broken voxel pass", "#version 430\nthis is not GLSL\n", GL_COMPUTE_SHADER, {}));
    ASSERT_TRUE(broken && broken->errors);
    for (ShaderProgram** slot : {&voxelizerPrograms.copy, &voxelizerPrograms.mips}) {
        ShaderProgram* const saved = *slot;
        *slot = broken;
        bool copied = true, mipped = true;
        {
            CallCounter calls;
            copied = voxelizerCopyToTextures(volumes.v);
            mipped = voxelizerBuildMips(volumes.v);
            EXPECT_EQ(CallCounter::count("glDispatchCompute"), 1);
        }
        *slot = saved;
        EXPECT_NE(copied, mipped);
    }
    shaderDeleteProgram(broken);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}
