// The raytracer: scene export, the partition grid and the traced reflections. The scene buffers are allocated
// once per process (about 1.5 GB) and every test here shares them.
#include "components/raytracer.h"
#include "components/camera_component.h"
#include "components/instance_buffers.h"
#include "components/light_component.h"
#include "components/primitive_renderer.h"
#include "components/primitive_shapes.h"
#include "components/scene_player.h"
#include "components/transform_components.h"
#include "components/voxelizer.h"
#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"
#include "renderer_fixture.h"
#include "resident_memory.h"

#include <glbinding/CallbackMask.h>
#include <glbinding/FunctionCall.h>
#include <fmt/format.h>
#include <glbinding/callbacks.h>
#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::LogCapture;
using projtest::ScopedProject;

namespace {

constexpr int kRaytracerRow = 4;
constexpr int kPrimitiveRow = 30;
constexpr int kVoxelizerRow = 5;
constexpr uint64_t kCells = 256ull * 256ull * 256ull;

class RaytracerGL : public RendererGLTest {
protected:
    std::unique_ptr<ScopedProject> project;

    RaytracerGL() : RendererGLTest(size_t(1) << 24) {}

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project = std::make_unique<ScopedProject>();
        currentRaytraceScene = nullptr;
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
        if (!component)
            return nullptr;
        component->CreateChildPin();
        component->CreateEntityPin();
        currentComponents->push_back(component);
        return static_cast<T*>(component);
    }

    raytracerfx* makeRaytracer()
    {
        auto* raytracer = make<raytracerfx>(kRaytracerRow, "Raytracer");
        if (raytracer)
            raytracer->Init();
        return raytracer;
    }

    // A fresh frame of the shared record: counters at zero, as the frame's graph rendering leaves them.
    RaytraceSceneBuffers* frameScene(raytracerfx* raytracer)
    {
        EXPECT_TRUE(raytracer->AcquireSceneBuffers());
        RaytraceSceneBuffers* scene = raytracer->sceneBuffers;
        scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
        currentRaytraceScene = scene;
        return scene;
    }

    // The exported positions of faces [first, first + count) of the tracing copy.
    static std::vector<float> exportedPositions(RaytraceSceneBuffers* scene, uint32_t firstFace, uint32_t faces)
    {
        std::vector<float> xyz(size_t(faces) * 9);
        glGetNamedBufferSubData(scene->geometryRaytrace->glId, GLintptr(firstFace) * 9 * sizeof(float),
                                GLsizeiptr(xyz.size() * sizeof(float)), xyz.data());
        return xyz;
    }

    // Level 0 of the partition markers, one word per cell.
    static std::vector<uint32_t> gridMarkers(RaytraceSceneBuffers* scene)
    {
        std::vector<uint32_t> cells(kCells);
        glGetTextureImage(scene->partitionGridTexture->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT,
                          GLsizei(cells.size() * 4), cells.data());
        return cells;
    }

    struct GridBounds {
        int32_t atomicMin[4], atomicMax[4];
        float bboxMin[4], bboxMax[4], cellSize[4], invCellSize[4];
    };
    static GridBounds gridBounds(RaytraceSceneBuffers* scene, int grid)
    {
        GridBounds bounds{};
        glGetNamedBufferSubData(scene->bboxBuffer->glId, GLintptr(grid * sizeof(GridBounds)), sizeof bounds, &bounds);
        return bounds;
    }
};

// The scene's storage buffers take no host writes: bytes go through a staging buffer.
void writeBytes(BufferObject* target, const void* data, size_t size)
{
    GLuint staging = 0;
    glCreateBuffers(1, &staging);
    glNamedBufferData(staging, GLsizeiptr(size), data, GL_STATIC_DRAW);
    glCopyNamedBufferSubData(staging, target->glId, 0, 0, GLsizeiptr(size));
    glDeleteBuffers(1, &staging);
}

// One triangle written straight into the scene buffers as the frame's only export.
void writeTriangle(RaytraceSceneBuffers* scene, const float (&p)[9])
{
    writeBytes(scene->geometryRaytrace, p, sizeof p);
    const int32_t record[4] = {0, 1, 0, 0};
    writeBytes(scene->transformedDataLocation, record, sizeof record);
    scene->raytraceFaceCount = 1;
    scene->voxelizeFaceCount = 0;
    scene->exportedObjectCount = 1;
}

} // namespace

TEST_F(RaytracerGL, ParametersSharedRecordAndPassDefines)
{
    raytracerfx* first = makeRaytracer();
    raytracerfx* second = makeRaytracer();
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(first->AcquireSceneBuffers() && second->AcquireSceneBuffers());
    // One record, one Fresnel and one primitive-id texture, named after the first raytracer of the process.
    EXPECT_EQ(first->sceneBuffers, second->sceneBuffers);
    EXPECT_EQ(first->sceneBuffers, sharedRaytraceSceneBuffers);
    ASSERT_NE(primitiveIdTagMaskTexture, nullptr);
    EXPECT_NE(primitiveIdTagMaskTexture->name.find(":PrimitiveIDTagMask"), std::string::npos);
    EXPECT_EQ(first->fresnelFramebuffer->slots[FB_ATTACHMENT_COLOR0].texture, raytraceFresnelTexture);

    std::vector<std::string> names;
    for (const Cvar* cvar : first->branch->cvars)
        names.push_back(cvar->name);
    EXPECT_EQ(names, (std::vector<std::string>{"rotation", "scale", "grid size", "reflections", "transparencies",
                                               "trace range", "material_raytrace", "material_proxy", "envmap",
                                               "render_debug", "render_debug_bounce", "voxelization_method", "info",
                                               "half_rate", "enabled"}));
    EXPECT_TRUE(first->info.readOnly);
    EXPECT_EQ(first->envmap.text, "env_texture::default");

    // Each material gets its pass defines in a program of its own.
    struct Case {
        Material* material;
        bool glass;
    } cases[] = {{first->reflectionMaterial, false}, {first->glassReflectionMaterial, true}};
    for (const Case& c : cases) {
        ASSERT_NE(c.material, nullptr);
        ShaderProgram* program = c.material->getProgram(Renderer::PASS_DEFERRED);
        ASSERT_NE(program, nullptr);
        EXPECT_EQ(program->defines.count("PROXY_PASS_STENCIL_PRIMID"), 1u);
        EXPECT_EQ(program->defines.count("GLASS_REFLECTION_PASS"), c.glass ? 1u : 0u);
        EXPECT_EQ(program->errors, 0u);
    }
    EXPECT_NE(first->reflectionMaterial->getProgram(Renderer::PASS_DEFERRED),
              first->glassReflectionMaterial->getProgram(Renderer::PASS_DEFERRED));
}

TEST_F(RaytracerGL, ExportedInstancesReadBackAtTheirTransformedPositions)
{
    raytracerfx* raytracer = makeRaytracer();
    ASSERT_TRUE(raytracer);
    auto* cube = make<primitivefx>(kPrimitiveRow, "cube");
    ASSERT_TRUE(cube && cube->object && cube->object->geometry);
    cube->type.value[0] = PRIMITIVE_CUBE;
    cube->radius1.value[0] = 0.5f;
    cube->OnCvarChanged(&cube->type);
    cube->raytrace.value[0] = 1.0f;
    cube->Init();
    Geometry* geometry = cube->object->geometry;
    geomUpdate(geometry);
    ASSERT_FALSE(geometry->surfaces.empty());

    // Three instances side by side, each a translation; the draw's model matrix lifts them all by 2.
    const float offsets[3][3] = {{-3.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 4.0f}, {5.0f, -1.0f, 0.0f}};
    std::unique_ptr<InstanceBuffers> instances(InstanceBuffers::Create(3));
    ASSERT_TRUE(instances);
    float rows[3][12] = {};
    for (int k = 0; k < 3; ++k) {
        const float row[12] = {1, 0, 0, offsets[k][0], 0, 1, 0, offsets[k][1], 0, 0, 1, offsets[k][2]};
        std::memcpy(rows[k], row, sizeof row);
    }
    glNamedBufferSubData(instances->transforms->glId, 0, sizeof rows, rows);
    const Matrix model = Matrix::Translation(0.0f, 2.0f, 0.0f);
    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -10}, {0, 0, 0}, 16.0f / 9.0f);

    RaytraceSceneBuffers* scene = frameScene(raytracer);
    // Something exported earlier in the frame: the cube's faces go after its 5 faces.
    scene->raytraceFaceCount = 5;
    scene->exportedObjectCount = 1;
    MaterialProperties record;
    record.flagBit2 = true;
    const int row = materialTableAppend(record);
    ASSERT_GT(row, 0);
    deferredUpdateMaterials();

    // The Geometry pass draws with the G-buffer bound.
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    uint32_t exportedFaces = 0;
    for (GeometrySurface* surface : geometry->surfaces) {
        ShaderProgram* program = cube->slots[0]->material->getProgram(Renderer::PASS_GEOMETRY);
        ASSERT_NE(program, nullptr);
        ASSERT_EQ(program->errors, 0u);
        ASSERT_TRUE(shaderUseProgram(program));
        rendererBindGlobalInputs(program, Timestep{});
        const TransformParams transform = transformParamsFor(camera, model);
        BufferBindings bindings;
        shaderBindingsCreate(bindings);
        shaderBindingsAddGeometry(bindings, geometry);
        shaderBindingsAddInstances(bindings, instances.get());
        shaderBindingsAddData(bindings, "TransformParamsBuffer", &transform, sizeof transform);
        const uint32_t before = scene->raytraceFaceCount;
        const GeometryExportRecord result = raytracerfxTransformGeometryBufferCustomShader(
            program, bindings, cube->object, surface, scene, row, &materialTable[row], 3);
        EXPECT_EQ(result.raytraceFacesBase, int32_t(before));
        EXPECT_EQ(result.voxelizeFacesBase, -1);
        EXPECT_EQ(result.facesPerInstance, int32_t(surface->triangleCount));
        EXPECT_EQ(scene->raytraceFaceCount, before + 3 * surface->triangleCount);
        exportedFaces += 3 * surface->triangleCount;
    }
    fbPop();
    EXPECT_EQ(scene->exportedObjectCount, 1 + geometry->surfaces.size());
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    ASSERT_EQ(geometry->surfaces.size(), 1u) << "the per-instance check below assumes one surface";

    // Instance k's faces are the k-th block after the base; their box is the cube's box moved by the instance
    // offset and the model's lift, as the CPU computes it.
    const uint32_t perInstance = geometry->surfaces[0]->triangleCount;
    const std::vector<float> xyz = exportedPositions(scene, 5, exportedFaces);
    for (int k = 0; k < 3; ++k) {
        float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
        for (uint32_t v = k * perInstance * 3; v < (k + 1) * perInstance * 3; ++v)
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], xyz[v * 3 + a]);
                hi[a] = std::max(hi[a], xyz[v * 3 + a]);
            }
        const float lift[3] = {0.0f, 2.0f, 0.0f};
        for (int a = 0; a < 3; ++a) {
            EXPECT_NEAR(lo[a], cube->object->bounds[a] + offsets[k][a] + lift[a], 1e-4f) << "instance " << k;
            EXPECT_NEAR(hi[a], cube->object->bounds[3 + a] + offsets[k][a] + lift[a], 1e-4f) << "instance " << k;
        }
    }
    // The export's record: faces base and end of the tracing copy, nothing for voxelization.
    int32_t records[2][4] = {};
    glGetNamedBufferSubData(scene->transformedDataLocation->glId, 0, sizeof records, records);
    EXPECT_EQ(records[1][0], 5);
    EXPECT_EQ(records[1][1], int32_t(5 + exportedFaces));
    EXPECT_EQ(records[1][3], 0);
}

TEST_F(RaytracerGL, ExportsPastTheBuffersRoomAreSkippedWithAWarning)
{
    raytracerfx* raytracer = makeRaytracer();
    ASSERT_TRUE(raytracer);
    auto* cube = make<primitivefx>(kPrimitiveRow, "cube");
    ASSERT_TRUE(cube && cube->object && cube->object->geometry);
    Geometry* geometry = cube->object->geometry;
    geomUpdate(geometry);
    ShaderProgram* program = cube->slots[0]->material->getProgram(Renderer::PASS_GEOMETRY);
    ASSERT_NE(program, nullptr);
    MaterialProperties record;
    record.flagBit2 = true;

    // {faces already exported, exports already made}: the surface's vertices or its record would not fit.
    const uint32_t triangles = geometry->surfaces[0]->triangleCount;
    struct Case {
        uint32_t faces, exports;
        const char* warning;
    } cases[] = {
        {RAYTRACE_VERTEX_CAPACITY / 3 - triangles + 1, 3, "vertices"},
        {0, RAYTRACE_EXPORT_CAPACITY, "exports in a frame"},
    };
    for (const Case& c : cases) {
        RaytraceSceneBuffers* scene = frameScene(raytracer);
        scene->raytraceFaceCount = c.faces;
        scene->exportedObjectCount = c.exports;
        LogCapture log;
        BufferBindings bindings;
        const GeometryExportRecord result = raytracerfxTransformGeometryBufferCustomShader(
            program, bindings, cube->object, geometry->surfaces[0], scene, 0, &record, 1);
        EXPECT_EQ(result.raytraceFacesBase, -1) << c.warning;
        EXPECT_EQ(scene->raytraceFaceCount, c.faces) << c.warning;
        EXPECT_EQ(scene->exportedObjectCount, c.exports) << c.warning;
        EXPECT_TRUE(log.contains(c.warning)) << log.text();
    }
    // Just fitting is still exported.
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    RaytraceSceneBuffers* scene = frameScene(raytracer);
    scene->raytraceFaceCount = RAYTRACE_VERTEX_CAPACITY / 3 - triangles;
    BufferBindings bindings;
    const GeometryExportRecord result = raytracerfxTransformGeometryBufferCustomShader(
        program, bindings, cube->object, geometry->surfaces[0], scene, 0, &record, 1);
    EXPECT_EQ(result.raytraceFacesBase, int32_t(RAYTRACE_VERTEX_CAPACITY / 3 - triangles));
    fbPop();
    EXPECT_EQ(scene->raytraceFaceCount, RAYTRACE_VERTEX_CAPACITY / 3);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

TEST_F(RaytracerGL, BigTrianglePartitionsIntoTheCellsOnItsPlane)
{
    raytracerfx* raytracer = makeRaytracer();
    ASSERT_TRUE(raytracer);
    // A triangle across all three axes, so the grid box is the triangle's box.
    const float p[9] = {-4.0f, -2.0f, -1.0f, 4.0f, -1.0f, 2.0f, 0.0f, 3.0f, -2.0f};
    const Vector3 a{p[0], p[1], p[2]}, b{p[3], p[4], p[5]}, c{p[6], p[7], p[8]};
    const Vector3 e1{b.x - a.x, b.y - a.y, b.z - a.z}, e2{c.x - a.x, c.y - a.y, c.z - a.z};
    Vector3 n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
    const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    n = {n.x / len, n.y / len, n.z / len};

    std::vector<uint32_t> rasterised[3];
    for (int method : {0, 1, 2}) {
        SCOPED_TRACE(method);
        raytracer->voxelizationMethod.value[0] = float(method);
        RaytraceSceneBuffers* scene = frameScene(raytracer);
        writeTriangle(scene, p);
        LogCapture log;
        raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{});
        glFinish();
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        if (method == 2 && !raytracerHasConservativeRaster()) {
            EXPECT_EQ(log.count("no conservative rasterisation"), 1) << log.text();
        }

        const GridBounds bounds = gridBounds(scene, 0);
        for (int k = 0; k < 3; ++k) {
            const float lo = std::min({p[k], p[3 + k], p[6 + k]}), hi = std::max({p[k], p[3 + k], p[6 + k]});
            EXPECT_LT(bounds.bboxMin[k], lo);
            EXPECT_GT(bounds.bboxMin[k], lo - 0.05f);
            EXPECT_GT(bounds.bboxMax[k], hi);
            EXPECT_NEAR(bounds.cellSize[k], (bounds.bboxMax[k] - bounds.bboxMin[k]) / 256.0f, 1e-5f);
        }
        std::vector<uint32_t> cells = gridMarkers(scene);
        // Every marked cell touches the plane: its centre is within half its diagonal of it.
        const float halfDiagonal = 0.5f * std::sqrt(bounds.cellSize[0] * bounds.cellSize[0] +
                                                    bounds.cellSize[1] * bounds.cellSize[1] +
                                                    bounds.cellSize[2] * bounds.cellSize[2]);
        uint64_t marked = 0, offPlane = 0;
        for (uint64_t i = 0; i < kCells; ++i) {
            if (!cells[i])
                continue;
            ++marked;
            const float centre[3] = {bounds.bboxMin[0] + (float(i % 256) + 0.5f) * bounds.cellSize[0],
                                     bounds.bboxMin[1] + (float((i / 256) % 256) + 0.5f) * bounds.cellSize[1],
                                     bounds.bboxMin[2] + (float(i / 65536) + 0.5f) * bounds.cellSize[2]};
            const float d = (centre[0] - a.x) * n.x + (centre[1] - a.y) * n.y + (centre[2] - a.z) * n.z;
            if (std::fabs(d) > halfDiagonal * 1.5f)
                ++offPlane;
        }
        EXPECT_EQ(offPlane, 0u);
        // Points spread over the triangle lie in marked cells.
        int missed = 0, samples = 0;
        for (int i = 1; i < 20; ++i)
            for (int j = 1; i + j < 20; ++j) {
                const float u = i / 20.0f, v = j / 20.0f;
                float q[3];
                for (int k = 0; k < 3; ++k)
                    q[k] = p[k] + u * (p[3 + k] - p[k]) + v * (p[6 + k] - p[k]);
                int cell[3];
                for (int k = 0; k < 3; ++k)
                    cell[k] = std::clamp(int((q[k] - bounds.bboxMin[k]) / bounds.cellSize[k]), 0, 255);
                ++samples;
                missed += cells[size_t(cell[0]) + 256 * size_t(cell[1]) + 65536 * size_t(cell[2])] ? 0 : 1;
            }
        EXPECT_EQ(missed, 0) << "of " << samples;
        EXPECT_GT(marked, 10000u);
        // The face lists hold the face once per marked cell.
        uint32_t inserted = 0;
        glGetNamedBufferSubData(scene->partitioning->glId, 0, sizeof inserted, &inserted);
        EXPECT_GE(inserted, marked);
        rasterised[method] = std::move(cells);
    }
    // Without the extension the conservative method is the plain rasterisation, cell for cell.
    if (!raytracerHasConservativeRaster()) {
        EXPECT_TRUE(rasterised[1] == rasterised[2]);
    }
}

TEST_F(RaytracerGL, FrameWithoutExportsClearsAndBoundsWithoutADraw)
{
    raytracerfx* raytracer = makeRaytracer();
    ASSERT_TRUE(raytracer);
    raytracer->voxelizationMethod.value[0] = 1.0f;
    RaytraceSceneBuffers* scene = frameScene(raytracer);
    // Markers left from an earlier frame.
    const GLuint one = 1;
    glClearTexImage(scene->partitionGridTexture->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT, &one);

    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{});
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint primitives = 99;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &primitives);
    glDeleteQueries(1, &query);
    EXPECT_EQ(primitives, 0u);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);

    const std::vector<uint32_t> cells = gridMarkers(scene);
    EXPECT_EQ(std::count(cells.begin(), cells.end(), 0u), int64_t(kCells));
    // The fixed box of the tracing grid, padded so it has cells of some size.
    const GridBounds bounds = gridBounds(scene, 0);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(bounds.bboxMin[k], -0.5f, 0.01f);
        EXPECT_LT(bounds.bboxMin[k], bounds.bboxMax[k]);
        EXPECT_GT(bounds.cellSize[k], 0.0f);
    }
}

TEST_F(RaytracerGL, SetupBufferBytes)
{
    struct Case {
        float fov, aspect, near, far, range;
    } cases[] = {{60.0f, 16.0f / 9.0f, 0.1f, 100.0f, 1000.0f}, {60.0f, 1.0f, 0.5f, 50.0f, 75.0f},
                 {90.0f, 4.0f / 3.0f, 1.0f, 10.0f, 50.0f}};
    for (const Case& c : cases) {
        Camera camera;
        deferredscene::placeCamera(camera, {1, 2, 3}, {10, 20, 0}, c.aspect);
        camera.fov = c.fov;
        camera.nearPlane = c.near;
        camera.farPlane = c.far;
        const RTSetupBuffer setup = raytracerSetupFor(camera, c.range);
        unsigned char bytes[180];
        std::memcpy(bytes, &setup, sizeof bytes);
        auto at = [&](size_t offset) {
            float f;
            std::memcpy(&f, bytes + offset, sizeof f);
            return f;
        };
        const float span = 2.0f * std::tan(c.fov * 3.14159265f / 360.0f);
        EXPECT_NEAR(at(144), span * 16.0f / 9.0f, 1e-4f) << c.fov << " " << c.aspect;
        EXPECT_NEAR(at(148), span, 1e-4f);
        // Camera to world and the position, from the view the pass draws with.
        EXPECT_NEAR(at(128), 1.0f, 1e-4f);
        EXPECT_NEAR(at(132), 2.0f, 1e-4f);
        EXPECT_NEAR(at(136), 3.0f, 1e-4f);
        EXPECT_FLOAT_EQ(at(160), c.near);
        EXPECT_FLOAT_EQ(at(164), c.far);
        EXPECT_FLOAT_EQ(at(168), 2.0f * c.near * c.far);
        EXPECT_FLOAT_EQ(at(172), c.far - c.near);
        EXPECT_EQ(at(176), c.range);
        EXPECT_EQ(std::memcmp(bytes, &camera.projection, 64), 0);
        for (int i = 0; i < 16; ++i)
            EXPECT_NEAR(at(64 + 4 * i), camera.world.m[i], 1e-4f) << i;
    }
    // The fixed numbers for fov 60.
    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, 0}, {0, 0, 0}, 1.0f);
    const RTSetupBuffer setup = raytracerSetupFor(camera, 1000.0f);
    EXPECT_NEAR(setup.fov[1], 1.1547f, 1e-4f);
    EXPECT_NEAR(setup.fov[0], 2.0528f, 1e-4f);
}

TEST_F(RaytracerGL, DisabledRaytracerIssuesNoGLCall)
{
    raytracerfx* raytracer = makeRaytracer();
    ASSERT_TRUE(raytracer);
    frameScene(raytracer);
    raytracer->enabled.value[0] = 0.0f;
    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -10}, {0, 0, 0}, 16.0f / 9.0f);
    static int calls = 0;
    calls = 0;
    glbinding::setCallbackMask(glbinding::CallbackMask::Before);
    glbinding::setBeforeCallback([](const glbinding::FunctionCall&) { ++calls; });
    for (Renderer::Pass pass : {Renderer::PASS_DEFERRED, Renderer::PASS_SHADOWMAP, Renderer::PASS_GEOMETRY}) {
        for (float debug : {0.0f, 1.0f, 2.0f}) {
            raytracer->renderDebug.value[0] = debug;
            raytracer->Render(&camera, nullptr, pass, Timestep{});
        }
    }
    glbinding::setCallbackMask(glbinding::CallbackMask::None);
    EXPECT_EQ(calls, 0);
}

namespace {

// A red box above a mirror floor, lit, seen from above and in front; a grey box to the side asks for nothing.
struct MirrorScene {
    sceneplayerfx* player = nullptr;
    raytracerfx* raytracer = nullptr;
    primitivefx* floor = nullptr;
    primitivefx* box = nullptr;
    primitivefx* plain = nullptr;
};

} // namespace

class RaytracerFrameGL : public RaytracerGL {
protected:
    template <typename T>
    T* child(EngineComponent* parent, int row, const std::string& name)
    {
        T* component = make<T>(row, name);
        parent->ConnectInput("child", component->entityPin->id);
        return component;
    }

    MirrorScene build()
    {
        MirrorScene s;
        s.player = make<sceneplayerfx>(0, "player");
        auto* light = make<lightcomponent>(6, "light");
        auto* cam = make<camerafx>(8, "camera");
        auto* holder = make<nullcomponent>(9, "holder");
        s.raytracer = make<raytracerfx>(kRaytracerRow, "Raytracer");
        s.player->ConnectInput("fx", light->outputs[0]->id);
        s.player->ConnectInput("cmr", cam->outputs[0]->id);
        s.player->ConnectInput("child", holder->entityPin->id);
        s.floor = child<primitivefx>(holder, kPrimitiveRow, "floor");
        s.box = child<primitivefx>(holder, kPrimitiveRow, "box");
        s.plain = child<primitivefx>(holder, kPrimitiveRow, "plain");

        s.floor->type.value[0] = PRIMITIVE_PLANE;
        s.floor->radius1.value[0] = 8.0f;
        s.floor->rotation.value[0] = 90.0f; // the plane faces +z; laid down it faces up
        s.floor->reflect.value[0] = 1.0f;
        s.floor->slots[0]->metalness.value[0] = 1.0f;
        s.floor->slots[0]->roughness.value[0] = 0.0f;
        s.box->type.value[0] = PRIMITIVE_CUBE;
        s.box->radius1.value[0] = 0.5f;
        s.box->position.value[1] = 1.5f;
        s.box->raytrace.value[0] = 1.0f;
        s.box->slots[0]->diffuse.value[1] = 0.0f;
        s.box->slots[0]->diffuse.value[2] = 0.0f;
        s.plain->type.value[0] = PRIMITIVE_CUBE;
        s.plain->radius1.value[0] = 0.5f;
        s.plain->position.value[0] = 2.5f;
        s.plain->position.value[1] = 0.5f;
        for (primitivefx* p : {s.floor, s.box, s.plain})
            p->OnCvarChanged(&p->type);

        light->position.value[1] = 6.0f;
        light->position.value[2] = -4.0f;
        for (int i = 0; i < 4; ++i)
            light->color.value[i] = 1.0f;
        light->intensity.value[0] = 1.0f;
        light->OnCvarChanged(&light->position);
        light->OnCvarChanged(&light->color);
        cam->position.value[1] = 3.0f;
        cam->position.value[2] = -8.0f;
        cam->rotation.value[0] = 20.0f;
        cam->OnCvarChanged(&cam->position);
        cam->OnCvarChanged(&cam->rotation);
        for (EngineComponent* c : *currentComponents)
            c->Init();
        s.player->cameraIdx.value[0] = 1.0f;
        s.player->controller->detached.value[0] = 0.0f;
        s.player->taaBlendFactor.value[0] = 1.0f;
        while (glGetError() != GL_NO_ERROR) {
        }
        return s;
    }

    // This frame's raytrace target, RGBA floats, and the G-buffer's stencil.
    void readTargets(std::vector<float>& traced, std::vector<uint8_t>& stencil)
    {
        const int w = deferredtest::kWidth, h = deferredtest::kHeight;
        const int index = deferredRenderer.historyIndex & 1;
        traced.assign(size_t(w) * h * 4, -1.0f);
        glGetTextureImage(deferredRenderer.txtRaytrace[index]->glId, 0, GL_RGBA, GL_FLOAT,
                          GLsizei(traced.size() * 4), traced.data());
        stencil.assign(size_t(w) * h, 0);
        std::vector<uint32_t> packed(size_t(w) * h * 2);
        glGetTextureImage(deferredRenderer.txtDeferredDepth[index]->glId, 0, GL_DEPTH_STENCIL,
                          GL_FLOAT_32_UNSIGNED_INT_24_8_REV, GLsizei(packed.size() * 4), packed.data());
        for (size_t i = 0; i < stencil.size(); ++i)
            stencil[i] = uint8_t(packed[i * 2 + 1] & 0xFF);
    }
};

TEST_F(RaytracerFrameGL, MirrorFloorShowsTheRedBoxOnlyWhereTraced)
{
    MirrorScene s = build();
    ASSERT_TRUE(s.raytracer && s.floor && s.box);
    for (int frame = 0; frame < 2; ++frame) {
        Renderer::RenderGraph(Timestep{float(frame) / 60.0f, 1.0f / 60.0f, false});
        EXPECT_EQ(glGetError(), GL_NO_ERROR) << "frame " << frame;
    }
    EXPECT_EQ(fbStackTop, 0);
    // Two exports, the floor and the red box: the plain box asks for nothing.
    RaytraceSceneBuffers* scene = s.raytracer->sceneBuffers;
    EXPECT_EQ(scene->exportedObjectCount, 2u);
    EXPECT_EQ(s.raytracer->info.text, fmt::format("entities:2 faces:{0} materials:{1}", scene->raytraceFaceCount,
                                                  materialCount));

    std::vector<float> traced;
    std::vector<uint8_t> stencil;
    readTargets(traced, stencil);
    const int w = deferredtest::kWidth, h = deferredtest::kHeight;
    int red = 0, redBelowMiddle = 0, unmarkedWritten = 0, marked = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            const float* p = &traced[i * 4];
            if (stencil[i] != 1) {
                if (p[0] != 0.0f || p[1] != 0.0f || p[2] != 0.0f)
                    ++unmarkedWritten;
                continue;
            }
            ++marked;
            if (p[0] > 0.05f && p[0] > 3.0f * p[1] && p[0] > 3.0f * p[2]) {
                ++red;
                redBelowMiddle += y < h / 2 ? 1 : 0; // rows run bottom-up
            }
        }
    EXPECT_GT(marked, w * h / 8);
    EXPECT_EQ(unmarkedWritten, 0);
    // The box's mirror image: red pixels on the floor, under the box on screen.
    EXPECT_GT(red, 100);
    EXPECT_GT(redBelowMiddle, red / 2);

    // The same frame with a blue box: the red is gone, so it came from the box.
    s.box->slots[0]->diffuse.value[0] = 0.0f;
    s.box->slots[0]->diffuse.value[2] = 1.0f;
    Renderer::RenderGraph(Timestep{0.05f, 1.0f / 60.0f, false});
    readTargets(traced, stencil);
    int stillRed = 0;
    for (size_t i = 0; i < stencil.size(); ++i) {
        const float* p = &traced[i * 4];
        stillRed += stencil[i] == 1 && p[0] > 0.05f && p[0] > 3.0f * p[1] && p[0] > 3.0f * p[2] ? 1 : 0;
    }
    EXPECT_LT(stillRed, red / 10);
}

// The scene buffers take seconds and over a gigabyte: frames whose raytracer is switched off never make them; the
// first frame it is on does, once for the process.
TEST_F(RaytracerFrameGL, SceneBuffersWaitForTheFirstFrameWithAnEnabledRaytracer)
{
    // The record an earlier test of this process made is put aside and given back (one made here stays, as the
    // process's record, when there was none).
    struct SharedRecordAside {
        RaytraceSceneBuffers* earlier = sharedRaytraceSceneBuffers;
        SharedRecordAside() { sharedRaytraceSceneBuffers = nullptr; }
        ~SharedRecordAside()
        {
            if (!earlier)
                return;
            if (sharedRaytraceSceneBuffers && sharedRaytraceSceneBuffers != earlier)
                RaytraceSceneBuffers::Destroy(sharedRaytraceSceneBuffers);
            sharedRaytraceSceneBuffers = earlier;
        }
    } aside;
    MirrorScene s = build();
    ASSERT_TRUE(s.raytracer);
    ASSERT_EQ(s.raytracer->sceneBuffers, nullptr);
    s.raytracer->enabled.value[0] = 0.0f;
    for (int frame = 0; frame < 2; ++frame)
        Renderer::RenderGraph(Timestep{float(frame) / 60.0f, 1.0f / 60.0f, false});
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    EXPECT_EQ(sharedRaytraceSceneBuffers, nullptr);
    EXPECT_EQ(s.raytracer->sceneBuffers, nullptr);
    EXPECT_EQ(currentRaytraceScene, nullptr);

    // Switched on: the process's record (the earlier one when there is one), and the frame exports into it.
    sharedRaytraceSceneBuffers = aside.earlier;
    s.raytracer->enabled.value[0] = 1.0f;
    Renderer::RenderGraph(Timestep{2.0f / 60.0f, 1.0f / 60.0f, false});
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    ASSERT_NE(sharedRaytraceSceneBuffers, nullptr);
    if (aside.earlier) {
        EXPECT_EQ(sharedRaytraceSceneBuffers, aside.earlier);
    }
    EXPECT_EQ(s.raytracer->sceneBuffers, sharedRaytraceSceneBuffers);
    EXPECT_EQ(currentRaytraceScene, sharedRaytraceSceneBuffers);
    EXPECT_EQ(sharedRaytraceSceneBuffers->exportedObjectCount, 2u);
}

// Making the scene buffers (1.4 GB) adds almost nothing to the process's resident memory: the buffers take memory
// only as the passes write them; the four volumes, which the driver fills as it makes them, are the rest.
TEST_F(RaytracerGL, SceneBuffersOccupyMemoryOnlyAsTheyAreWritten)
{
    const int64_t before = residentBytes();
    RaytraceSceneBuffers* scene = RaytraceSceneBuffers::Create();
    ASSERT_NE(scene, nullptr);
    glFinish();
    const int64_t grown = residentBytes() - before;

    int64_t volumeBytes = 0;
    for (const Texture* volume : {scene->partitionGridTexture, scene->voxelColorTexture, scene->voxelOccupancyTexture,
                                  scene->voxelBounceColorTexture}) {
        const int64_t texel = imgTypeInfo(volume->images[0]->type)->bytesPerPixel;
        for (int side = volume->images[0]->width; side > 0; side /= 2)
            volumeBytes += int64_t(side) * side * side * texel;
    }
    EXPECT_LT(grown, volumeBytes + (32 << 20));
    EXPECT_LT(grown, int64_t(RaytraceSceneBuffers::TotalBytes() / 5));

    // The records the first frame reads before writing them start at zero.
    int32_t first[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    glGetNamedBufferSubData(scene->transformedDataLocation->glId, 0, 16, first);
    glGetNamedBufferSubData(scene->drawIndirectParams->glId, 0, 16, first + 4);
    for (int32_t word : first)
        EXPECT_EQ(word, 0);

    // A frame's grid build writes every tail (64 MB); released, the record is as made again.
    const uint32_t one = 1;
    glClearNamedBufferData(scene->indicesListTails->glId, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, &one);
    const int32_t record[4] = {3, 4, 5, 6};
    writeBytes(scene->transformedDataLocation, record, sizeof record);
    scene->exportedObjectCount = scene->partitionedFaceCount = 7;
    glFinish();
    const int64_t written = residentBytes() - before;
    EXPECT_GT(written, grown + (48 << 20));
    RaytraceSceneBuffers::ReleaseMemory(scene);
    EXPECT_LT(residentBytes() - before, grown + (16 << 20));
    uint32_t tail = 9;
    glGetNamedBufferSubData(scene->indicesListTails->glId, 1 << 20, 4, &tail);
    EXPECT_EQ(tail, 0u);
    glGetNamedBufferSubData(scene->transformedDataLocation->glId, 0, 16, first);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(first[i], 0);
    EXPECT_EQ(scene->exportedObjectCount, 0u);
    EXPECT_EQ(scene->partitionedFaceCount, 0u);
    RaytraceSceneBuffers::ReleaseMemory(nullptr);
    RaytraceSceneBuffers::Destroy(scene);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// One smoke frame of the grid view (a 14-vertex strip for each of the 16.7 M cells) at the tests' size: the draw
// goes through whole and leaves no GL error.
TEST_F(RaytracerGL, GridViewSmokeFrame)
{
    raytracerfx* raytracer = makeRaytracer();
    ASSERT_TRUE(raytracer);
    raytracer->voxelizationMethod.value[0] = 1.0f;
    RaytraceSceneBuffers* scene = frameScene(raytracer);
    const float p[9] = {-2.0f, -1.0f, 0.0f, 2.0f, -1.0f, 0.0f, 0.0f, 2.0f, 0.5f};
    writeTriangle(scene, p);
    raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{});

    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -8}, {0, 0, 0}, float(deferredtest::kWidth) / deferredtest::kHeight);
    raytracer->renderDebug.value[0] = 1.0f;
    fbPush();
    Framebuffer* target = deferredFindFramebuffer("deferred_deep");
    ASSERT_TRUE(setcurrent(target));
    glClearTexImage(deferredRenderer.txtDeferredColor[deferredRenderer.historyIndex & 1]->glId, 0, GL_RGBA, GL_FLOAT,
                    nullptr);
    const struct {
        float depth;
        uint32_t stencil;
    } far = {1.0f, 0};
    glClearTexImage(deferredRenderer.txtDeferredDepth[deferredRenderer.historyIndex & 1]->glId, 0, GL_DEPTH_STENCIL,
                    GL_FLOAT_32_UNSIGNED_INT_24_8_REV, &far);
    renderStatePush(renderStateDefault());
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    raytracer->Render(&camera, nullptr, Renderer::PASS_DEFERRED, Timestep{});
    glEndQuery(GL_PRIMITIVES_GENERATED);
    renderStatePop();
    fbPop();
    GLuint primitives = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &primitives);
    glDeleteQueries(1, &query);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    // Every cell's strip goes down the pipeline (empty cells collapse to a point).
    EXPECT_EQ(primitives, 12u * 256u * 256u * 256u);
}

namespace {

// What GL reports of a volume: all a volume made again must match.
struct VolumeState {
    GLint levels = -1, format = -1, width = -1, depth = -1, minFilter = -1, magFilter = -1, maxLevel = -1;
    GLint wrap[3] = {-1, -1, -1};
    std::string label;
    bool operator==(const VolumeState& o) const
    {
        return levels == o.levels && format == o.format && width == o.width && depth == o.depth &&
               minFilter == o.minFilter && magFilter == o.magFilter && maxLevel == o.maxLevel &&
               std::equal(wrap, wrap + 3, o.wrap) && label == o.label;
    }
};

VolumeState volumeState(const Texture* volume)
{
    VolumeState v;
    const GLuint id = volume->glId;
    glGetTextureParameteriv(id, GL_TEXTURE_IMMUTABLE_LEVELS, &v.levels);
    glGetTextureLevelParameteriv(id, 0, GL_TEXTURE_INTERNAL_FORMAT, &v.format);
    glGetTextureLevelParameteriv(id, 0, GL_TEXTURE_WIDTH, &v.width);
    glGetTextureLevelParameteriv(id, 0, GL_TEXTURE_DEPTH, &v.depth);
    glGetTextureParameteriv(id, GL_TEXTURE_MIN_FILTER, &v.minFilter);
    glGetTextureParameteriv(id, GL_TEXTURE_MAG_FILTER, &v.magFilter);
    glGetTextureParameteriv(id, GL_TEXTURE_MAX_LEVEL, &v.maxLevel);
    const GLenum wraps[3] = {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R};
    for (int i = 0; i < 3; ++i)
        glGetTextureParameteriv(id, wraps[i], &v.wrap[i]);
    char label[256] = {};
    GLsizei length = 0;
    glGetObjectLabel(GL_TEXTURE, id, sizeof label, &length, label);
    v.label.assign(label, size_t(length));
    return v;
}

} // namespace

// Between uses the volumes' textures go too (llvmpipe keeps them in host memory, 0.25 GB) and the next frame makes
// them again: the same Texture records with the same storage and sampling, and the same traced picture as a run of
// frames without the release.
TEST_F(RaytracerFrameGL, ReleasedVolumesAreMadeAgainForTheNextFrameWithTheSamePicture)
{
    MirrorScene s = build();
    ASSERT_TRUE(s.raytracer && s.floor && s.box);
    // A voxelizer fills the voxel volumes every frame, so all four are written and compared.
    auto* voxelizer = make<voxelizationfx>(kVoxelizerRow, "Voxelizer");
    ASSERT_TRUE(voxelizer);
    voxelizer->Init();
    // Short traces: the fog and the voxel lighting march the whole volume otherwise (seconds per frame).
    for (primitivefx* p : {s.floor, s.box, s.plain})
        p->voxelize.value[0] = 1.0f;
    voxelizer->traceMaxRange.value[0] = 10.0f;
    s.player->fogTraceStep.value[0] = 500.0f;
    // Four frames, the release (when asked) before the last; the last frame's traced picture and stencil, and a
    // hash of each level the frame writes of each volume (the voxel lighting and fog carry history between runs,
    // so their targets differ from run to run; what they read does not).
    const auto run = [&](bool release, std::vector<float>& traced, std::vector<uint8_t>& stencil,
                         std::vector<size_t>& volumeHashes) {
        for (int frame = 0; frame < 4; ++frame) {
            if (release && frame == 3)
                RaytraceSceneBuffers::ReleaseMemory(s.raytracer->sceneBuffers);
            Renderer::RenderGraph(Timestep{float(frame) / 60.0f, 1.0f / 60.0f, false});
            EXPECT_EQ(glGetError(), GL_NO_ERROR) << "frame " << frame << (release ? " with release" : "");
        }
        readTargets(traced, stencil);
        const RaytraceSceneBuffers* scene = s.raytracer->sceneBuffers;
        struct Read {
            const Texture* volume;
            std::vector<int> levels;
            GLenum format, type;
            size_t texel;
        } reads[] = {{scene->partitionGridTexture, {0, 2}, GL_RED_INTEGER, GL_UNSIGNED_INT, 4},
                     {scene->voxelColorTexture, {0, 1, 2, 3, 4}, GL_RGBA, GL_UNSIGNED_BYTE, 4},
                     {scene->voxelOccupancyTexture, {0, 1, 2, 3, 4}, GL_RED, GL_UNSIGNED_BYTE, 1},
                     {scene->voxelBounceColorTexture, {0}, GL_RGBA, GL_UNSIGNED_BYTE, 4}};
        volumeHashes.clear();
        std::string texels;
        for (const Read& r : reads)
            for (int level : r.levels) {
                const size_t side = size_t(RAYTRACE_GRID_RESOLUTION) >> level;
                texels.assign(side * side * side * r.texel, '\0');
                glGetTextureImage(r.volume->glId, level, r.format, r.type, GLsizei(texels.size()), texels.data());
                volumeHashes.push_back(std::hash<std::string>{}(texels));
            }
    };
    std::vector<float> reference, traced;
    std::vector<uint8_t> referenceStencil, stencil;
    std::vector<size_t> referenceHashes, hashes;
    run(false, reference, referenceStencil, referenceHashes);
    RaytraceSceneBuffers* scene = s.raytracer->sceneBuffers;
    ASSERT_NE(scene, nullptr);
    // The frames trace something: the mirror shows the box.
    ASSERT_GT(std::count(referenceStencil.begin(), referenceStencil.end(), uint8_t(1)), 1000);

    Texture* const volumes[] = {scene->partitionGridTexture, scene->voxelColorTexture, scene->voxelOccupancyTexture,
                                scene->voxelBounceColorTexture};
    std::vector<VolumeState> made;
    int64_t volumeBytes = 0;
    for (const Texture* volume : volumes) {
        made.push_back(volumeState(volume));
        const int64_t texel = imgTypeInfo(volume->images[0]->type)->bytesPerPixel;
        for (int side = volume->images[0]->width; side > 0; side /= 2)
            volumeBytes += int64_t(side) * side * side * texel;
    }
    EXPECT_EQ(made[0].label, "PartitionGridTexture");
    EXPECT_EQ(made[1].maxLevel, VOXEL_TEXTURE_LEVELS - 1);

    // Released, the volumes take no memory; made again they take it all (the driver fills them); released again,
    // it goes. The second release has no written buffer pages left to give back, so the drop is the volumes'.
    glFinish();
    RaytraceSceneBuffers::ReleaseMemory(scene);
    for (const Texture* volume : volumes)
        EXPECT_EQ(volume->glId, 0u);
    const int64_t released = residentBytes();
    ASSERT_TRUE(RaytraceSceneBuffers::MakeVolumes(scene));
    glFinish();
    const int64_t remade = residentBytes();
    EXPECT_GT(remade - released, volumeBytes * 9 / 10);
    RaytraceSceneBuffers::ReleaseMemory(scene);
    EXPECT_LT(residentBytes() - released, int64_t(8) << 20);
    EXPECT_FALSE(RaytraceSceneBuffers::MakeVolumes(nullptr));

    // The same frames with the release before the last: that frame makes the volumes again and gives the same
    // picture, bit for bit.
    run(true, traced, stencil, hashes);
    EXPECT_EQ(s.raytracer->sceneBuffers, scene);
    const Texture* const after[] = {scene->partitionGridTexture, scene->voxelColorTexture,
                                    scene->voxelOccupancyTexture, scene->voxelBounceColorTexture};
    for (size_t i = 0; i < std::size(volumes); ++i) {
        EXPECT_EQ(after[i], volumes[i]) << made[i].label;
        EXPECT_NE(volumes[i]->glId, 0u) << made[i].label;
        EXPECT_TRUE(volumeState(volumes[i]) == made[i]) << made[i].label;
    }
    EXPECT_EQ(hashes, referenceHashes);
    EXPECT_EQ(stencil, referenceStencil);
    ASSERT_EQ(traced.size(), reference.size());
    EXPECT_EQ(std::memcmp(traced.data(), reference.data(), traced.size() * sizeof(float)), 0);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}
