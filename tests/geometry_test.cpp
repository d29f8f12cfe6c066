#include "jni/engine/grd_geometry.h"

#include "gl_context.h"
#include "test_helpers.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <glbinding/gl/gl.h>
#include <thread>

using namespace gl;

using testutil::captureLog;

namespace {

const VertexAttribute& builtin(int code)
{
    return builtinVertexAttributes[code];
}

float* floats(Geometry* geometry, const char* name)
{
    return reinterpret_cast<float*>(geometry->FindAttributeBuffer(name)->hostCopy);
}

uint32_t* indices(GeometrySurface* surface)
{
    return reinterpret_cast<uint32_t*>(surface->indexBuffer->hostCopy);
}

std::vector<uint8_t> readStore(const BufferObject* buffer, size_t bytes)
{
    std::vector<uint8_t> data(bytes, 0xCD);
    glGetNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(bytes), data.data());
    return data;
}

std::vector<uint8_t> hostBytes(const BufferObject* buffer, size_t bytes)
{
    return std::vector<uint8_t>(buffer->hostCopy, buffer->hostCopy + bytes);
}

// A geometry of VTXCoords (and VTXNormals) holding the given positions and triangles in its first surface.
Geometry* mesh(const std::vector<std::array<float, 3>>& positions, const std::vector<std::array<uint32_t, 3>>& tris,
               bool withNormals = true)
{
    std::vector<VertexAttribute> attributes = {builtin(VERTEX_ATTRIBUTE_COORDS)};
    if (withNormals)
        attributes.push_back(builtin(VERTEX_ATTRIBUTE_NORMALS));
    Geometry* geometry = geomCreate(static_cast<uint32_t>(positions.size()), 1, attributes);
    std::memcpy(floats(geometry, "VTXCoords"), positions.data(), positions.size() * 12);
    for (const auto& t : tris)
        geomSurfaceAppendTriangle(geometry->surfaces[0], t[0], t[1], t[2]);
    return geometry;
}

} // namespace

class GeometryTest : public GLTest {};

TEST(GeometryGrowth, CapacityRule)
{
    struct Case {
        uint32_t request;
        uint32_t capacity;
    };
    for (const Case c : {Case{0, 64}, Case{1, 65}, Case{100, 164}, Case{1023, 1087}, Case{1024, 1536},
                         Case{2001, 3001}, Case{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        EXPECT_EQ(geomGrowCapacity(c.request), c.capacity) << c.request;
    }
}

TEST_F(GeometryTest, VertexReservationGrowsEveryAttributeBufferAndKeepsContents)
{
    Geometry* geometry = geomCreate(0, 1, {builtin(VERTEX_ATTRIBUTE_COORDS), builtin(VERTEX_ATTRIBUTE_BONES_WEIGHTS)});
    EXPECT_EQ(geomReserveVertices(geometry, 1), 65u);
    EXPECT_EQ(geometry->buffers[0]->size, 65u * 12);
    EXPECT_EQ(geometry->buffers[1]->size, 65u * 16);
    EXPECT_EQ(geometry->vertexCount, 0u) << "reservation does not change the count";

    floats(geometry, "VTXCoords")[64 * 3 + 2] = 42.0f;
    BufferObject* before = geometry->buffers[0];
    EXPECT_EQ(geomReserveVertices(geometry, 65), 65u);
    EXPECT_EQ(geometry->buffers[0], before) << "enough capacity: nothing replaced";
    EXPECT_EQ(geomReserveVertices(geometry, 1024), 1536u);
    EXPECT_NE(geometry->buffers[0], before);
    EXPECT_EQ(geometry->buffers[0]->size, 1536u * 12);
    EXPECT_EQ(floats(geometry, "VTXCoords")[64 * 3 + 2], 42.0f);
    EXPECT_EQ(geomReserveVertices(nullptr, 5), 0u);
    geomDelete(geometry);

    Geometry* sized = geomCreate(100, 1, {builtin(VERTEX_ATTRIBUTE_UV0)});
    EXPECT_EQ(geomReserveVertices(sized, 100), 100u);
    geomDelete(sized);
}

TEST_F(GeometryTest, TriangleAppendsGrowTheIndexBufferByTheRule)
{
    Geometry* geometry = geomCreate(3, 1, {builtin(VERTEX_ATTRIBUTE_COORDS)});
    GeometrySurface* surface = geometry->surfaces[0];
    EXPECT_EQ(surface->indexBuffer, nullptr);
    std::vector<uint32_t> capacities;
    for (uint32_t t = 0; t < 70; ++t) {
        ASSERT_TRUE(geomSurfaceAppendTriangle(surface, t, t + 1, t + 2));
        capacities.push_back(surface->triangleCapacity);
    }
    EXPECT_EQ(capacities[0], 65u);
    EXPECT_EQ(capacities[64], 65u);
    EXPECT_EQ(capacities[65], 130u) << "the 66th triangle grows to 66 + 64";
    EXPECT_EQ(capacities[69], 130u);
    EXPECT_EQ(surface->triangleCount, 70u);
    EXPECT_EQ(surface->indexBuffer->size, 130u * 12);
    EXPECT_TRUE(surface->indexBuffer->dirty);
    for (uint32_t t = 0; t < 70; ++t)
        ASSERT_EQ(indices(surface)[t * 3 + 2], t + 2) << "triangle " << t << " survived the growth";
    geomDelete(geometry);
}

TEST_F(GeometryTest, SurfaceNamesAndAttributeChecks)
{
    Geometry* geometry = geomCreate(4, 3, {builtin(VERTEX_ATTRIBUTE_COORDS)});
    ASSERT_EQ(geometry->surfaces.size(), 3u);
    EXPECT_EQ(geometry->surfaces[0]->name, "Unnamed");
    EXPECT_EQ(geometry->surfaces[1]->name, "Unnamed (2)");
    EXPECT_EQ(geometry->surfaces[2]->name, "Unnamed (3)");
    EXPECT_EQ(geometry->surfaces[1]->roughness, 0.5f);
    EXPECT_EQ(geometry->surfaces[1]->color[3], 0.5f);
    geometry->surfaces[0]->name = "Body";
    geometry->surfaces[1]->name = "Body (2)";
    EXPECT_EQ(geomUniqueSurfaceName(geometry, "Body"), "Body (3)");
    EXPECT_EQ(geomUniqueSurfaceName(geometry, "Head"), "Head");
    geomDelete(geometry);

    Geometry* empty = geomCreate(0, 0, {});
    EXPECT_EQ(empty->surfaces.size(), 1u) << "at least one surface";
    EXPECT_EQ(empty->builtinIndex[VERTEX_ATTRIBUTE_COORDS], -1);
    geomDelete(empty);

    std::string log = captureLog([] {
        Geometry* g = geomCreate(2, 1, {builtin(VERTEX_ATTRIBUTE_UV0), builtin(VERTEX_ATTRIBUTE_COORDS)});
        EXPECT_EQ(g->builtinIndex[VERTEX_ATTRIBUTE_UV0], 0);
        EXPECT_EQ(g->builtinIndex[VERTEX_ATTRIBUTE_COORDS], 1);
        EXPECT_TRUE(g->AddAttribute({VERTEX_ATTRIBUTE_CUSTOM, 0, 3, "VTXDeferredProjectionPlane"}));
        EXPECT_TRUE(g->AddAttribute({VERTEX_ATTRIBUTE_CUSTOM, 1, 1, "Extra"}));
        EXPECT_TRUE(g->ValidateAttributes());
        EXPECT_EQ(g->FindAttributeIndex("Extra"), 3);
        EXPECT_EQ(g->FindAttributeIndex("Extr"), -1);
        EXPECT_EQ(g->FindAttributeBuffer("VTXDeferredProjectionPlane"), g->buffers[2]);
        EXPECT_EQ(g->FindAttributeBuffer("nothing"), nullptr);
        geomDelete(g);
    });
    EXPECT_EQ(log.find("Duplicate of builtin attribute found"), std::string::npos) << log;

    log = captureLog([] {
        Geometry* g = geomCreate(2, 1, {builtin(VERTEX_ATTRIBUTE_UV0)});
        g->AddAttribute(builtin(VERTEX_ATTRIBUTE_UV0));
        EXPECT_FALSE(g->ValidateAttributes());
        EXPECT_EQ(g->attributes.size(), 2u) << "reported, not refused";
        geomDelete(g);
    });
    EXPECT_NE(log.find("Duplicate of builtin attribute found"), std::string::npos) << log;
}

// Regression: a fixed 128-entry attribute table and 256 indirect commands per geometry.
TEST_F(GeometryTest, RefusesMoreAttributesOrSurfacesThanTheTablesHold)
{
    std::vector<VertexAttribute> many(GEOMETRY_MAX_ATTRIBUTES, {VERTEX_ATTRIBUTE_CUSTOM, 3, 1, "a"});
    Geometry* full = geomCreate(1, GEOMETRY_MAX_SURFACES, many);
    ASSERT_NE(full, nullptr);
    std::string log = captureLog([&] {
        EXPECT_FALSE(full->AddAttribute({VERTEX_ATTRIBUTE_CUSTOM, 3, 1, "b"}));
        many.push_back({VERTEX_ATTRIBUTE_CUSTOM, 3, 1, "b"});
        EXPECT_EQ(geomCreate(1, 1, many), nullptr);
        EXPECT_EQ(geomCreate(1, GEOMETRY_MAX_SURFACES + 1, {}), nullptr);
    });
    EXPECT_EQ(full->attributes.size(), 128u);
    EXPECT_NE(log.find("Geometry has 128 attributes already; <b> not added"), std::string::npos) << log;
    EXPECT_NE(log.find("Geometry of 129 attributes and 1 surfaces refused"), std::string::npos) << log;
    EXPECT_NE(log.find("Geometry of 0 attributes and 257 surfaces refused"), std::string::npos) << log;

    // geomMapAttributes never writes past its 128 entries, even for a geometry grown past it by hand.
    full->attributes.push_back({VERTEX_ATTRIBUTE_CUSTOM, 3, 1, "c"});
    full->buffers.push_back(boCreateUnnamed(1));
    int table[GEOMETRY_MAX_ATTRIBUTES + 1];
    table[GEOMETRY_MAX_ATTRIBUTES] = 12345;
    geomMapAttributes(full, full, table);
    EXPECT_EQ(table[GEOMETRY_MAX_ATTRIBUTES], 12345);
    EXPECT_EQ(table[1], 0) << "same-named attributes map to the first of that name";
    geomDelete(full);
}

// Regression: the new buffer was sized by vertex count, so filling the reserved capacity overran it.
TEST_F(GeometryTest, AddedAttributeCoversTheWholeCapacity)
{
    Geometry* geometry = geomCreate(0, 1, {builtin(VERTEX_ATTRIBUTE_COORDS)});
    geomReserveVertices(geometry, 10);
    geometry->vertexCount = 3;
    ASSERT_TRUE(geometry->AddAttribute(builtin(VERTEX_ATTRIBUTE_ALBEDO)));
    EXPECT_EQ(geometry->FindAttributeBuffer("VTXAlbedo")->size, 74u * 12);
    EXPECT_EQ(geometry->builtinIndex[VERTEX_ATTRIBUTE_ALBEDO], 1);

    // Appending up to the capacity writes into the new attribute without reallocating it.
    Geometry* one = geomCreate(1, 1, {builtin(VERTEX_ATTRIBUTE_ALBEDO)});
    floats(one, "VTXAlbedo")[0] = 0.25f;
    BufferObject* albedo = geometry->FindAttributeBuffer("VTXAlbedo");
    while (geometry->vertexCount < geometry->vertexCapacity)
        geomAppend(geometry, one);
    EXPECT_EQ(geometry->FindAttributeBuffer("VTXAlbedo"), albedo);
    EXPECT_EQ(floats(geometry, "VTXAlbedo")[73 * 3], 0.25f);
    geomDelete(one);
    geomDelete(geometry);
}

TEST_F(GeometryTest, AppendAddsVerticesByNameAndOffsetsTriangles)
{
    Geometry* target = mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}});
    Geometry* source = geomCreate(3, 1, {builtin(VERTEX_ATTRIBUTE_UV0), builtin(VERTEX_ATTRIBUTE_COORDS)});
    const float coords[9] = {5, 6, 7, 8, 9, 10, 11, 12, 13};
    std::memcpy(floats(source, "VTXCoords"), coords, sizeof(coords));
    floats(source, "VTXUV0")[0] = 3.0f; // the target has no UVs: not copied
    geomSurfaceAppendTriangle(source->surfaces[0], 0, 1, 2);
    for (BufferObject* buffer : target->buffers)
        buffer->dirty = false;
    target->surfaces[0]->indexBuffer->dirty = false;

    geomAppend(target, source);
    EXPECT_EQ(target->vertexCount, 7u);
    EXPECT_EQ(target->vertexCapacity, 69u) << "grown one vertex at a time: 5 + 64";
    EXPECT_EQ(std::vector<float>(floats(target, "VTXCoords") + 12, floats(target, "VTXCoords") + 21),
              std::vector<float>(coords, coords + 9));
    EXPECT_EQ(floats(target, "VTXNormals")[4 * 3], 0.0f);
    GeometrySurface* surface = target->surfaces[0];
    ASSERT_EQ(surface->triangleCount, 3u);
    EXPECT_EQ(std::vector<uint32_t>(indices(surface) + 6, indices(surface) + 9), (std::vector<uint32_t>{4, 5, 6}));
    EXPECT_TRUE(surface->indexBuffer->dirty);
    EXPECT_TRUE(target->FindAttributeBuffer("VTXCoords")->dirty);

    // Appending a geometry to itself doubles it.
    geomAppend(source, source);
    EXPECT_EQ(source->vertexCount, 6u);
    ASSERT_EQ(source->surfaces[0]->triangleCount, 2u);
    EXPECT_EQ(indices(source->surfaces[0])[3], 3u);
    EXPECT_EQ(floats(source, "VTXCoords")[3 * 3 + 2], 7.0f);
    geomDelete(source);
    geomDelete(target);
}

// Regression: indices were used unchecked, reading and writing past the vertex buffers.
TEST_F(GeometryTest, TrianglesPointingPastTheVerticesAreSkipped)
{
    Geometry* bad = mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 1, 9000}, {0xFFFFFFFFu, 1, 2}});
    std::string log = captureLog([&] { geomCalculateNormals(bad); });
    EXPECT_NE(log.find("Normals skipped 2 triangles with vertex indices past 3 vertices"), std::string::npos) << log;
    EXPECT_EQ(floats(bad, "VTXNormals")[2], 1.0f);

    Geometry* target = mesh({{0, 0, 0}}, {});
    log = captureLog([&] { geomAppend(target, bad); });
    EXPECT_NE(log.find("Geometry append skipped 2 triangles with vertex indices past 3 vertices"), std::string::npos)
        << log;
    EXPECT_EQ(target->vertexCount, 4u);
    EXPECT_EQ(target->surfaces[0]->triangleCount, 1u);
    EXPECT_EQ(indices(target->surfaces[0])[2], 3u);

    // A count beyond the buffers is refused rather than read.
    bad->vertexCount = 500;
    float box[6] = {7, 7, 7, 7, 7, 7};
    log = captureLog([&] {
        geomCalculateBoundingBox(bad, box);
        geomCalculateNormals(bad);
    });
    EXPECT_EQ(box[0], 7.0f);
    EXPECT_NE(log.find("Attribute <VTXCoords> cannot hold 500 positions"), std::string::npos) << log;
    bad->vertexCount = 3;
    geomDelete(target);
    geomDelete(bad);
}

TEST_F(GeometryTest, NormalsAverageUnitFaceNormalsAndSkipDegenerateFaces)
{
    // A flat quad in z = 0, counter-clockwise seen from +z, plus a zero-area triangle on vertex 4 and 0.
    Geometry* geometry =
        mesh({{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}, {5, 5, 5}}, {{0, 1, 2}, {0, 2, 3}, {0, 4, 4}});
    floats(geometry, "VTXNormals")[4 * 3] = 9.0f;
    geomCalculateNormals(geometry);
    const float* n = floats(geometry, "VTXNormals");
    for (int v = 0; v < 4; ++v) {
        EXPECT_EQ(n[v * 3 + 0], 0.0f) << v;
        EXPECT_EQ(n[v * 3 + 1], 0.0f) << v;
        EXPECT_EQ(n[v * 3 + 2], 1.0f) << v;
    }
    EXPECT_EQ(n[4 * 3], 0.0f) << "a vertex of degenerate faces only is zeroed, not NaN";
    EXPECT_FALSE(std::isnan(n[4 * 3 + 2]));
    EXPECT_TRUE(geometry->FindAttributeBuffer("VTXNormals")->dirty);

    // Two faces at right angles: the average of unit normals, not renormalised.
    Geometry* fold = mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{0, 1, 2}, {0, 3, 1}});
    geomCalculateNormals(fold);
    const float* f = floats(fold, "VTXNormals");
    EXPECT_FLOAT_EQ(f[0], 0.0f);
    EXPECT_FLOAT_EQ(f[1], 0.5f);
    EXPECT_FLOAT_EQ(f[2], 0.5f);

    // Without VTXNormals nothing happens; without VTXCoords it is reported.
    Geometry* bare = mesh({{0, 0, 0}}, {}, false);
    geomCalculateNormals(bare);
    Geometry* noCoords = geomCreate(3, 1, {builtin(VERTEX_ATTRIBUTE_NORMALS)});
    const std::string log = captureLog([&] { geomCalculateNormals(noCoords); });
    EXPECT_NE(log.find("Normals need VTXCoords"), std::string::npos) << log;
    for (Geometry* g : {geometry, fold, bare, noCoords})
        geomDelete(g);
}

TEST_F(GeometryTest, BoundingBox)
{
    Geometry* geometry = mesh({{1, -2, 3}, {-4, 5, 0}, {2, 2, -6}}, {});
    float box[6] = {};
    geomCalculateBoundingBox(geometry, box);
    EXPECT_EQ(std::vector<float>(box, box + 6), (std::vector<float>{-4, -2, -6, 2, 5, 3}));

    geometry->vertexCount = 0;
    float untouched[6] = {9, 9, 9, 9, 9, 9};
    geomCalculateBoundingBox(geometry, untouched);
    EXPECT_EQ(untouched[0], 9.0f);
    EXPECT_EQ(std::vector<float>(unitBox, unitBox + 6), (std::vector<float>{-1, -1, -1, 1, 1, 1}));
    geomDelete(geometry);
}

TEST_F(GeometryTest, CloneCopiesVerticesAndTrianglesButNotSurfaceValues)
{
    Geometry* source = mesh({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {{0, 1, 2}, {2, 1, 0}});
    source->surfaces[0]->name = "Body";
    source->surfaces[0]->roughness = 0.9f;
    geomUpdate(source);
    Geometry* clone = geomClone(source);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->vertexCount, 3u);
    EXPECT_EQ(hostBytes(clone->buffers[0], 36), hostBytes(source->buffers[0], 36));
    EXPECT_EQ(readStore(clone->buffers[0], 36), hostBytes(source->buffers[0], 36));
    EXPECT_EQ(clone->surfaces[0]->triangleCount, 2u);
    EXPECT_EQ(hostBytes(clone->surfaces[0]->indexBuffer, 24), hostBytes(source->surfaces[0]->indexBuffer, 24));
    EXPECT_EQ(clone->surfaces[0]->name, "Unnamed");
    EXPECT_EQ(clone->surfaces[0]->roughness, 0.5f);
    EXPECT_EQ(clone->builtinIndex[VERTEX_ATTRIBUTE_NORMALS], 1);
    EXPECT_EQ(geomClone(nullptr), nullptr);
    geomDelete(clone);
    geomDelete(source);
}

TEST_F(GeometryTest, UpdateUploadsDirtyBuffersOnly)
{
    Geometry* geometry = mesh({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {{0, 1, 2}});
    geometry->surfaces.push_back(new GeometrySurface);
    geomSurfaceReserve(geometry->surfaces[1], 0); // an index buffer without triangles
    // Regression: a GPU-only buffer in the list was uploaded from its missing host copy.
    geometry->attributes.push_back({VERTEX_ATTRIBUTE_CUSTOM, 0, 1, "GpuOnly"});
    geometry->buffers.push_back(boCreateGpuOnly("GpuOnly", 12));
    geometry->buffers.back()->dirty = true;

    geomUpdate(geometry);
    EXPECT_NE(geometry->vao, 0u);
    GLint bound = 0;
    glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), geometry->vao);
    EXPECT_EQ(readStore(geometry->buffers[0], 36), hostBytes(geometry->buffers[0], 36));
    EXPECT_EQ(readStore(geometry->surfaces[0]->indexBuffer, 12), hostBytes(geometry->surfaces[0]->indexBuffer, 12));
    for (BufferObject* buffer : geometry->buffers)
        EXPECT_FALSE(buffer->dirty);
    EXPECT_FALSE(geometry->surfaces[0]->indexBuffer->dirty);
    EXPECT_TRUE(geometry->surfaces[1]->indexBuffer->dirty) << "surfaces without triangles keep their flag";

    // A clean buffer is not sent again: its GL store keeps what was written there directly.
    const float written[3] = {-1, -1, -1};
    glNamedBufferSubData(geometry->buffers[0]->glId, 0, 12, written);
    floats(geometry, "VTXCoords")[0] = 100.0f;
    geomUpdate(geometry);
    float store[3] = {};
    glGetNamedBufferSubData(geometry->buffers[0]->glId, 0, 12, store);
    EXPECT_EQ(store[0], -1.0f);

    geomUpdate(nullptr);
    geomDelete(nullptr);
    geomDelete(geometry);
}

// Regression: growing a geometry whose GL buffers a compute pass had written replaced them with the stale host
// copies.
TEST_F(GeometryTest, GrowthKeepsDataWrittenOnTheGpu)
{
    Geometry* geometry = mesh({{1, 1, 1}, {2, 2, 2}}, {{0, 1, 1}});
    geomUpdate(geometry);
    const float computed[6] = {10, 11, 12, 13, 14, 15};
    glNamedBufferSubData(geometry->buffers[0]->glId, 0, sizeof(computed), computed);
    glNamedBufferSubData(geometry->surfaces[0]->indexBuffer->glId, 0, 12, std::array<uint32_t, 3>{1, 0, 1}.data());

    EXPECT_EQ(geomReserveVertices(geometry, 200), 264u);
    ASSERT_TRUE(geomSurfaceReserve(geometry->surfaces[0], 100));
    EXPECT_FALSE(geometry->buffers[0]->dirty);
    EXPECT_FALSE(geometry->surfaces[0]->indexBuffer->dirty);
    geomUpdate(geometry);

    float store[6] = {};
    glGetNamedBufferSubData(geometry->buffers[0]->glId, 0, sizeof(store), store);
    EXPECT_EQ(std::vector<float>(store, store + 6), std::vector<float>(computed, computed + 6));
    uint32_t tri[3] = {};
    glGetNamedBufferSubData(geometry->surfaces[0]->indexBuffer->glId, 0, 12, tri);
    EXPECT_EQ(std::vector<uint32_t>(tri, tri + 3), (std::vector<uint32_t>{1, 0, 1}));
    geomDelete(geometry);
}

TEST_F(GeometryTest, GeneratedQuadAndFullscreenTriangle)
{
    Geometry* quad = geomCreateQuad(4.0f, 2.0f);
    ASSERT_NE(quad, nullptr);
    EXPECT_EQ(quad->vertexCount, 4u);
    ASSERT_EQ(quad->attributes.size(), 2u);
    EXPECT_EQ(quad->attributes[1].name, "VTXUV0");
    std::vector<float> coords(12);
    glGetNamedBufferSubData(quad->buffers[0]->glId, 0, 48, coords.data());
    EXPECT_EQ(coords, (std::vector<float>{-2, 1, 0, 2, 1, 0, 2, -1, 0, -2, -1, 0}));
    std::vector<float> uvs(8);
    glGetNamedBufferSubData(quad->buffers[1]->glId, 0, 32, uvs.data());
    EXPECT_EQ(uvs, (std::vector<float>{0, 0, 1, 0, 1, 1, 0, 1}));
    std::vector<uint32_t> tris(6);
    glGetNamedBufferSubData(quad->surfaces[0]->indexBuffer->glId, 0, 24, tris.data());
    EXPECT_EQ(tris, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
    EXPECT_FALSE(quad->buffers[0]->dirty);
    EXPECT_NE(quad->vao, 0u);

    Geometry* triangle = geomCreateFullscreenTriangle(2.0f, 2.0f);
    ASSERT_NE(triangle, nullptr);
    std::vector<float> corners(9);
    glGetNamedBufferSubData(triangle->buffers[0]->glId, 0, 36, corners.data());
    EXPECT_EQ(corners, (std::vector<float>{-1, 1, 0, 3, 1, 0, -1, -3, 0}));
    std::vector<float> triangleUvs(6);
    glGetNamedBufferSubData(triangle->buffers[1]->glId, 0, 24, triangleUvs.data());
    EXPECT_EQ(triangleUvs, (std::vector<float>{0, 0, 2, 0, 0, 2}));
    EXPECT_EQ(triangle->surfaces[0]->triangleCount, 1u);
    EXPECT_EQ(triangle->surfaces[0]->triangleCapacity, 65u);
    geomDelete(quad);
    geomDelete(triangle);
}

TEST_F(GeometryTest, UpdateFromAnotherThreadRunsOnTheMainThread)
{
    Geometry* geometry = mesh({{1, 2, 3}}, {});
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        geomUpdate(geometry);
        returned = true;
    });
    while (!returned) {
        aglProcessQueue();
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_NE(geometry->vao, 0u);
    EXPECT_FALSE(geometry->buffers[0]->dirty);
    float store[3] = {};
    glGetNamedBufferSubData(geometry->buffers[0]->glId, 0, 12, store);
    EXPECT_EQ(store[2], 3.0f);
    geomDelete(geometry);
}
