// The geometry mirror: the plane it uploads, the size of its output, the reflected triangles read back from the
// GPU with their draw command, sources with too many surfaces, the exported record under renames, a lost source,
// and a source geometry left exactly as it was.
#include "components/geometry_mirror.h"

#include "components/mesh_renderer.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_indirect.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/entities.h"
#include "renderer_fixture.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::ScopedProject;

namespace {

// y scaled by 2, then moved up by 3.
Matrix scaledAndMoved()
{
    return Matrix::Scale(1.0f, 2.0f, 1.0f).Multiply(Matrix::Translation(0.0f, 3.0f, 0.0f));
}

TEST(GeometryMirror, PlaneIsTheModelMatrixImageOfTheXZPlane)
{
    Matrix turned = Matrix::FromEulerDegrees(0.0f, 0.0f, 90.0f); // the y axis turns onto -x
    turned.m[3] = 5.0f;
    const struct {
        const char* what;
        Matrix world;
        float plane[4];
    } cases[] = {
        {"identity", Matrix(), {0, 1, 0, 0}},
        {"moved up by 2", Matrix::Translation(0.0f, 2.0f, 0.0f), {0, 1, 0, 2}},
        {"y scaled by 2, moved up by 3: not normalised", scaledAndMoved(), {0, 2, 0, 6}},
        {"turned about z, moved along x", turned, {-1, 0, 0, -5}},
    };
    for (const auto& c : cases) {
        float plane[4];
        geometryMirrorPlane(c.world, plane);
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(plane[i], c.plane[i], 1e-5f) << c.what << " element " << i;
    }
}

TEST(GeometryMirror, OverprovisioningFactors)
{
    const struct {
        float setting;
        float factor;
    } cases[] = {{0, 1.25f}, {1, 2}, {2, 3}, {3, 5}, {-1, 1.25f}, {4, 1}, {9, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(geometryMirrorFactor(c.setting), c.factor) << c.setting;
}

// A geometry with positions and normals, `trianglesPerSurface[i]` triangles in surface i, every triangle three
// vertices of its own; triangle t of the whole geometry is (t, 0, 0), (t + 1, 0, 0), (t, 1, 0) with normal +y.
Geometry* makeSource(const std::vector<uint32_t>& trianglesPerSurface)
{
    uint32_t total = 0;
    for (uint32_t t : trianglesPerSurface)
        total += t;
    Geometry* g = geomCreate(total * 3, uint32_t(trianglesPerSurface.size()),
                             {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
                              builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS]});
    auto* coords = reinterpret_cast<float*>(g->FindAttributeBuffer("VTXCoords")->hostCopy);
    auto* normals = reinterpret_cast<float*>(g->FindAttributeBuffer("VTXNormals")->hostCopy);
    uint32_t vertex = 0;
    for (size_t s = 0; s < trianglesPerSurface.size(); ++s) {
        GeometrySurface* surface = g->surfaces[s];
        EXPECT_TRUE(geomSurfaceReserve(surface, trianglesPerSurface[s]));
        auto* indices = reinterpret_cast<uint32_t*>(surface->indexBuffer->hostCopy);
        for (uint32_t t = 0; t < trianglesPerSurface[s]; ++t) {
            const float x = float(vertex / 3);
            const float corners[3][3] = {{x, 0, 0}, {x + 1, 0, 0}, {x, 1, 0}};
            for (int k = 0; k < 3; ++k) {
                std::memcpy(coords + 3 * vertex, corners[k], sizeof corners[k]);
                normals[3 * vertex + 1] = 1.0f;
                indices[3 * t + uint32_t(k)] = vertex;
                ++vertex;
            }
        }
        surface->indexBuffer->dirty = true;
    }
    for (BufferObject* buffer : g->buffers)
        buffer->dirty = true;
    geomUpdate(g);
    return g;
}

std::vector<float> readFloats(const BufferObject* buffer, size_t count)
{
    std::vector<float> values(count);
    glGetNamedBufferSubData(buffer->glId, 0, GLsizeiptr(count * 4), values.data());
    return values;
}

std::vector<uint32_t> readUints(const BufferObject* buffer, size_t count, size_t first = 0)
{
    std::vector<uint32_t> values(count);
    glGetNamedBufferSubData(buffer->glId, GLintptr(first * 4), GLsizeiptr(count * 4), values.data());
    return values;
}

class GeometryMirrorGL : public RendererGLTest {
protected:
    std::unique_ptr<ScopedProject> project = std::make_unique<ScopedProject>();
    std::vector<std::unique_ptr<Object>> sources;

    void TearDown() override
    {
        project.reset(); // the mirrors go before the sources they read
        for (auto& source : sources)
            geomDelete(source->geometry);
        sources.clear();
        RendererGLTest::TearDown();
    }

    // A source registered as the object resource `name`.
    Object* addSource(const std::string& name, const std::vector<uint32_t>& trianglesPerSurface)
    {
        sources.push_back(std::make_unique<Object>());
        Object* object = sources.back().get();
        object->geometry = makeSource(trianglesPerSurface);
        project->store.add_object(name, object);
        return object;
    }

    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        EXPECT_NE(component, nullptr) << name;
        project->components.push_back(component);
        return static_cast<T*>(component);
    }

    // A mirror reading the object resource `source`.
    geometrymirrorfx* mirrorOf(const std::string& source, float overprovisioning = 1.0f, bool exported = false)
    {
        auto* mirror = make<geometrymirrorfx>(geometrymirrorfx::kTypeIndex, "mirror");
        mirror->objectName.text = source;
        mirror->overprovisioning.value[0] = overprovisioning;
        mirror->exportFlag.value[0] = exported ? 1.0f : 0.0f;
        mirror->Init();
        return mirror;
    }

    static bool generate(geometrymirrorfx* mirror, const Matrix& world)
    {
        const int32_t before = mirror->generated;
        mirror->Render(nullptr, &world, Renderer::PASS_GEOMETRY, Timestep{});
        return mirror->generated == before + 1;
    }
};

} // namespace

TEST_F(GeometryMirrorGL, OutputIsSizedByTheOverprovisioning)
{
    const struct {
        float setting;
        std::vector<uint32_t> source;
        uint32_t vertices;
        std::vector<uint32_t> capacities;
    } cases[] = {
        {1, {100}, 600, {200}}, // "+100%"
        {0, {100}, 375, {125}}, // "+25%"
        {2, {100}, 900, {300}}, // "+200%"
        {3, {100}, 1500, {500}}, // "+400%"
        {0, {3, 5}, 30, {3, 6}}, // truncated per surface and for the whole
        {1, {0, 2}, 12, {0, 4}}, // an empty surface stays empty
        {1, {0}, 0, {0}},        // nothing to mirror yet: an empty output
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        project.reset(); // restores the outer store before the next one takes its place
        project = std::make_unique<ScopedProject>();
        addSource("source", c.source);
        geometrymirrorfx* mirror = mirrorOf("source", c.setting);
        ASSERT_NE(mirror->geometry, nullptr);
        EXPECT_EQ(mirror->geometry->vertexCount, c.vertices);
        ASSERT_EQ(mirror->geometry->surfaces.size(), c.capacities.size());
        for (size_t i = 0; i < c.capacities.size(); ++i)
            EXPECT_EQ(mirror->geometry->surfaces[i]->triangleCount, c.capacities[i]) << i;
        ASSERT_NE(mirror->record.GetObject(), nullptr);
        EXPECT_EQ(mirror->record.GetObject()->geometry, mirror->geometry);
        EXPECT_TRUE(generate(mirror, Matrix()));
    }
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// One triangle reflected across y = 2: the reflected corners, the normal turned over, the winding swapped, and a
// draw command for exactly one triangle. The source keeps its buffers and gets no command buffer.
TEST_F(GeometryMirrorGL, ReflectsATriangleAcrossThePlane)
{
    Object* source = addSource("source", {1});
    const std::vector<float> sourceCoords = readFloats(source->geometry->FindAttributeBuffer("VTXCoords"), 9);
    geometrymirrorfx* mirror = mirrorOf("source");
    ASSERT_NE(mirror->geometry, nullptr);
    const Geometry* out = mirror->geometry;
    EXPECT_EQ(readUints(out->indirectBuffer, 5), (std::vector<uint32_t>{0, 0, 0, 0, 0})) << "nothing before";

    ASSERT_TRUE(generate(mirror, Matrix::Translation(0.0f, 2.0f, 0.0f)));
    const std::vector<float> coords = readFloats(out->FindAttributeBuffer("VTXCoords"), 12);
    const float expected[12] = {0, 4, 0, 1, 4, 0, 0, 3, 0, /* untouched */ 0, 0, 0};
    for (int i = 0; i < 12; ++i)
        EXPECT_NEAR(coords[size_t(i)], expected[i], 1e-5f) << i;
    const std::vector<float> normals = readFloats(out->FindAttributeBuffer("VTXNormals"), 3);
    EXPECT_EQ(normals, (std::vector<float>{0, -1, 0}));
    EXPECT_EQ(readUints(out->surfaces[0]->indexBuffer, 3), (std::vector<uint32_t>{0, 2, 1}));
    EXPECT_EQ(readUints(out->indirectBuffer, 10), (std::vector<uint32_t>{3, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(readUints(mirror->trackingBuffer, 4), (std::vector<uint32_t>{1, 1, 0, 0}));

    // The next frame follows a new plane: y = 2 scaled by 2 and moved by 3 is y = 3.
    ASSERT_TRUE(generate(mirror, scaledAndMoved()));
    const std::vector<float> moved = readFloats(out->FindAttributeBuffer("VTXCoords"), 9);
    EXPECT_NEAR(moved[1], 6.0f, 1e-5f);
    EXPECT_NEAR(moved[7], 5.0f, 1e-5f);

    EXPECT_EQ(source->geometry->indirectBuffer, nullptr);
    EXPECT_EQ(readFloats(source->geometry->FindAttributeBuffer("VTXCoords"), 9), sourceCoords);
    EXPECT_EQ(readUints(source->geometry->surfaces[0]->indexBuffer, 3), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// A source that draws through its own command buffer is mirrored as much as those commands draw.
TEST_F(GeometryMirrorGL, FollowsTheCountsOfASourceWithDrawCommands)
{
    Object* source = addSource("source", {4});
    geomCreateIndirectBuffer(source->geometry);
    const uint32_t twoTriangles = 6;
    glNamedBufferSubData(source->geometry->indirectBuffer->glId, 0, 4, &twoTriangles);
    geometrymirrorfx* mirror = mirrorOf("source");
    ASSERT_TRUE(generate(mirror, Matrix()));
    EXPECT_EQ(readUints(mirror->geometry->indirectBuffer, 2), (std::vector<uint32_t>{6, 1}));
}

// The tracking buffer has room for 32 surfaces: a source with more is mirrored in its first 32, with one warning.
TEST_F(GeometryMirrorGL, SourceWithMoreThan32SurfacesIsClamped)
{
    addSource("source", std::vector<uint32_t>(40, 1));
    projtest::LogCapture log;
    geometrymirrorfx* mirror = mirrorOf("source");
    ASSERT_NE(mirror->geometry, nullptr);
    EXPECT_EQ(mirror->geometry->surfaces.size(), size_t(kMirrorMaxSurfaces));
    EXPECT_EQ(mirror->geometry->vertexCount, 32u * 3u * 2u);
    const std::string text = log.text();
    const size_t warning = text.find("only the first 32 are mirrored");
    EXPECT_NE(warning, std::string::npos) << text;
    EXPECT_EQ(text.find("only the first 32 are mirrored", warning + 1), std::string::npos) << "one warning";

    ASSERT_TRUE(generate(mirror, Matrix::Translation(0.0f, 1.0f, 0.0f)));
    const std::vector<uint32_t> commands = readUints(mirror->geometry->indirectBuffer, 33 * 5);
    for (uint32_t i = 0; i < 32; ++i)
        EXPECT_EQ(commands[i * 5], 3u) << "surface " << i;
    EXPECT_EQ(commands[32 * 5], 0u) << "no command past the mirrored surfaces";
    // Surface 31 wrote its triangle at the vertices after the 31 before it.
    EXPECT_EQ(readUints(mirror->geometry->surfaces[31]->indexBuffer, 3), (std::vector<uint32_t>{93, 95, 94}));
    EXPECT_EQ(readUints(mirror->trackingBuffer, 4, 31 * 4), (std::vector<uint32_t>{1, 1, 93, 0}));
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

TEST_F(GeometryMirrorGL, RenameMovesOnlyAnExportedRecord)
{
    addSource("source", {1});
    for (bool exported : {true, false}) {
        SCOPED_TRACE(exported);
        geometrymirrorfx* mirror = mirrorOf("source", 1.0f, exported);
        const std::map<std::string, Resource*> before = project->store.resources;
        const auto found = before.find("geometrymirrorfx/mirror/Object");
        EXPECT_EQ(found != before.end() && found->second == &mirror->record, exported);

        mirror->name = "renamed";
        mirror->OnRenamed();
        if (exported) {
            EXPECT_EQ(project->store.resources.count("geometrymirrorfx/mirror/Object"), 0u);
            EXPECT_EQ(project->store.resources.at("geometrymirrorfx/renamed/Object"), &mirror->record);
            EXPECT_EQ(mirror->record.name, "geometrymirrorfx/renamed/Object");
        } else {
            EXPECT_EQ(project->store.resources, before) << "nothing in the store changes";
        }
        // Deleting the mirror takes its record out of the store.
        project->components.pop_back();
        delete mirror;
        EXPECT_EQ(project->store.resources.count("geometrymirrorfx/renamed/Object"), 0u);
    }

    // A name another record holds stays theirs, also when the mirror goes.
    Object other;
    FileResource* taken = project->store.add_object("geometrymirrorfx/mirror/Object", &other);
    geometrymirrorfx* mirror = mirrorOf("source", 1.0f, true);
    EXPECT_EQ(project->store.resources.at("geometrymirrorfx/mirror/Object"), taken);
    project->components.pop_back();
    delete mirror;
    EXPECT_EQ(project->store.resources.at("geometrymirrorfx/mirror/Object"), taken);
}

// Without a source the output goes: the record carries no object, leaves the store, and the consumers are told.
TEST_F(GeometryMirrorGL, LosingTheSourceDropsTheOutputAndTellsConsumers)
{
    addSource("source", {2});
    geometrymirrorfx* mirror = mirrorOf("source", 1.0f, true);
    auto* mesh = make<meshrendererfx>(1, "mesh");
    mesh->objPin->links = {mirror->outputs[0]->id};
    mesh->OnInputChanged(mesh->objPin->id);
    ASSERT_NE(mirror->object, nullptr);
    EXPECT_EQ(mesh->object, mirror->object);

    // A new size replaces the output; the consumer follows before the old one goes.
    mirror->overprovisioning.value[0] = 3.0f;
    mirror->OnCvarChanged(&mirror->overprovisioning);
    ASSERT_NE(mirror->object, nullptr);
    EXPECT_EQ(mesh->object, mirror->object);
    EXPECT_EQ(mirror->geometry->vertexCount, 30u);

    mirror->objectName.text = "missing";
    mirror->OnCvarChanged(&mirror->objectName);
    EXPECT_EQ(mirror->object, nullptr);
    EXPECT_EQ(mirror->geometry, nullptr);
    EXPECT_EQ(mirror->record.object, nullptr);
    EXPECT_EQ(mirror->outputs[0]->payload, &mirror->record);
    EXPECT_EQ(mesh->object, nullptr) << "the consumer was told";
    EXPECT_EQ(project->store.resources.count("geometrymirrorfx/mirror/Object"), 0u);
    EXPECT_FALSE(generate(mirror, Matrix())) << "nothing to generate";

    // A link wins over the parameter; a link to an output without an object is no source.
    mirror->objectName.text = "source";
    mirror->objPin->links = {999999};
    mirror->OnInputChanged(mirror->objPin->id);
    EXPECT_EQ(mirror->object, nullptr);
}
