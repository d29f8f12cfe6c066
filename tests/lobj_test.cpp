#include "render/lobj.h"
#include "render/mesh_import.h"

#include "render/entities.h"

#include "gl_context.h"
#include "jni/engine/grd_geometry.h"
#include "test_helpers.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using testutil::captureLog;
using testutil::countOf;

namespace {

const float* floats(const Geometry* geometry, int code)
{
    return reinterpret_cast<const float*>(geometry->buffers[geometry->builtinIndex[code]]->hostCopy);
}

std::vector<uint32_t> triangles(const GeometrySurface* surface)
{
    if (!surface->indexBuffer)
        return {};
    const auto* indices = reinterpret_cast<const uint32_t*>(surface->indexBuffer->hostCopy);
    return std::vector<uint32_t>(indices, indices + 3 * surface->triangleCount);
}

void putU32(std::vector<uint8_t>& image, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void destroy(Object* object)
{
    if (object)
        geomDelete(object->geometry);
    delete object;
}

// Two quads in two surfaces over five vertices, with texture coordinates and 144-byte surface records.
LobjMesh twoSurfaceMesh()
{
    LobjMesh mesh;
    mesh.flags = LOBJ_FLAG_UVS | LOBJ_FLAG_LONG_SURFACE_RECORDS;
    mesh.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}};
    mesh.faces = {{0, 1, 2, 1}, {0, 2, 3, 0}, {0, 3, 4, 1}, {0, 4, 1, 0}};
    mesh.surfaceCount = 2;
    mesh.surfaceRecords.assign(2 * 144, 0xAB);
    mesh.uvs = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f};
    return mesh;
}

class LobjTest : public GLTest {
protected:
    Object* load(const std::vector<uint8_t>& image) { return entLoad(image.data(), image.size()); }
};

} // namespace

TEST(LobjFormat, WriterLaysOutTheFileAsTheReaderExpects)
{
    const std::vector<uint8_t> image = lobjWrite(twoSurfaceMesh());
    // 20 + 12 V + 8 F + 144 S + 8 V
    EXPECT_EQ(image.size(), 20u + 60u + 32u + 288u + 40u);
    LobjLayout layout;
    ASSERT_TRUE(lobjReadLayout(image.data(), image.size(), &layout));
    EXPECT_EQ(layout.vertexCount, 5);
    EXPECT_EQ(layout.faceCount, 4);
    EXPECT_EQ(layout.surfaceCount, 2);
    EXPECT_EQ(layout.facesOffset, 16u + 60u);
    // Texture coordinates start 288 bytes after the S field, not 272.
    EXPECT_EQ(layout.uvsOffset, layout.facesOffset + 32u + 4u + 288u);
    // Big-endian: the vertex count is 00 00 00 05.
    EXPECT_EQ(image[11], 5);
    EXPECT_EQ(image[8], 0);
}

TEST_F(LobjTest, RoundTripThroughTheLoader)
{
    const LobjMesh mesh = twoSurfaceMesh();
    Object* object = nullptr;
    const std::string log = captureLog([&] { object = load(lobjWrite(mesh)); });
    ASSERT_NE(object, nullptr);
    EXPECT_NE(log.find("Object: 5 verts 4 faces surfaces:2"), std::string::npos);
    EXPECT_NE(log.find("Done"), std::string::npos);
    const Geometry* geometry = object->geometry;
    EXPECT_EQ(object->kind, ENTITY_KIND_OBJECT);
    EXPECT_EQ(object->flags, 7);
    EXPECT_EQ(object->name, "");
    ASSERT_EQ(geometry->vertexCount, 5u);
    ASSERT_EQ(geometry->attributes.size(), 3u);
    EXPECT_EQ(geometry->attributes[0].name, "VTXCoords");
    EXPECT_EQ(geometry->attributes[1].name, "VTXUV0");
    EXPECT_EQ(geometry->attributes[2].name, "VTXNormals");
    const float* coords = floats(geometry, VERTEX_ATTRIBUTE_COORDS);
    const float* uvs = floats(geometry, VERTEX_ATTRIBUTE_UV0);
    for (size_t v = 0; v < mesh.positions.size(); ++v) {
        EXPECT_EQ(coords[3 * v + 0], mesh.positions[v].x);
        EXPECT_EQ(coords[3 * v + 1], mesh.positions[v].y);
        EXPECT_EQ(coords[3 * v + 2], mesh.positions[v].z);
        EXPECT_EQ(uvs[2 * v], mesh.uvs[2 * v]);
        EXPECT_EQ(uvs[2 * v + 1], mesh.uvs[2 * v + 1]);
    }
    // Faces go to their surfaces in file order.
    ASSERT_EQ(geometry->surfaces.size(), 2u);
    EXPECT_EQ(triangles(geometry->surfaces[0]), (std::vector<uint32_t>{0, 2, 3, 0, 4, 1}));
    EXPECT_EQ(triangles(geometry->surfaces[1]), (std::vector<uint32_t>{0, 1, 2, 0, 3, 4}));
    const float expectedBounds[6] = {0, 0, 0, 1, 1, 1};
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(object->bounds[k], expectedBounds[k]);
    // Uploaded.
    for (const BufferObject* buffer : geometry->buffers)
        EXPECT_FALSE(buffer->dirty);
    destroy(object);
}

TEST_F(LobjTest, CubeNormalsFaceOutwards)
{
    Object* object = nullptr;
    captureLog([&] { object = load(lobjWrite(lobjSimpleCube())); });
    ASSERT_NE(object, nullptr);
    const Geometry* geometry = object->geometry;
    ASSERT_EQ(geometry->vertexCount, 24u);
    EXPECT_EQ(geometry->surfaces[0]->triangleCount, 12u);
    const float* coords = floats(geometry, VERTEX_ATTRIBUTE_COORDS);
    const float* normals = floats(geometry, VERTEX_ATTRIBUTE_NORMALS);
    const float* uvs = floats(geometry, VERTEX_ATTRIBUTE_UV0);
    for (uint32_t v = 0; v < 24; ++v) {
        // Four vertices per face share their face's normal, which points along the coordinate at +-1 that the
        // face's four corners have in common.
        const float* n = normals + 3 * v;
        EXPECT_NEAR(std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]), 1.0f, 1e-6f);
        const float* p = coords + 3 * v;
        EXPECT_NEAR(n[0] * p[0] + n[1] * p[1] + n[2] * p[2], 1.0f, 1e-6f) << v;
        EXPECT_TRUE(uvs[2 * v] == 0.0f || uvs[2 * v] == 1.0f);
    }
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(object->bounds[k], k < 3 ? -1.0f : 1.0f);
    destroy(object);
}

TEST_F(LobjTest, SurfaceCountsAndTextureCoordinateVariants)
{
    // S = 0: one surface, and the flagged texture coordinates follow the S field directly.
    LobjMesh noSurfaces;
    noSurfaces.flags = LOBJ_FLAG_UVS;
    noSurfaces.positions = {{1, 2, 3}, {4, 5, 6}, {7, 8, 10}};
    noSurfaces.faces = {{0, 1, 2, 0}};
    noSurfaces.uvs = {9, 8, 7, 6, 5, 4};
    std::vector<uint8_t> image = lobjWrite(noSurfaces);
    EXPECT_EQ(image.size(), 20u + 36u + 8u + 24u);
    Object* object = nullptr;
    captureLog([&] { object = load(image); });
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->geometry->surfaces.size(), 1u);
    EXPECT_EQ(triangles(object->geometry->surfaces[0]), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(floats(object->geometry, VERTEX_ATTRIBUTE_UV0)[5], 4.0f);
    destroy(object);

    // Without the flag, VTXUV0 is (x, y) of each position.
    noSurfaces.flags = 0;
    noSurfaces.surfaceCount = 1;
    captureLog([&] { object = load(lobjWrite(noSurfaces)); });
    ASSERT_NE(object, nullptr);
    const float* uvs = floats(object->geometry, VERTEX_ATTRIBUTE_UV0);
    EXPECT_EQ((std::vector<float>(uvs, uvs + 6)), (std::vector<float>{1, 2, 4, 5, 7, 8}));
    destroy(object);

    // No vertices, no faces: an empty object whose bounds keep their defaults.
    captureLog([&] { object = load(lobjWrite(LobjMesh{})); });
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->geometry->vertexCount, 0u);
    for (float b : object->bounds)
        EXPECT_EQ(b, 0.0f);
    destroy(object);
}

TEST_F(LobjTest, FaceOfAMissingSurfaceMovesToTheFirstWithTwoErrors)
{
    LobjMesh mesh;
    mesh.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.surfaceCount = 3;
    mesh.faces = {{0, 1, 2, 2}, {2, 1, 0, 7}};
    Object* object = nullptr;
    const std::string log = captureLog([&] { object = load(lobjWrite(mesh)); });
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(countOf(log, "Surface index 7 > 3. Moving to base surf"), 2u);
    EXPECT_EQ(triangles(object->geometry->surfaces[0]), (std::vector<uint32_t>{2, 1, 0}));
    EXPECT_EQ(triangles(object->geometry->surfaces[2]), (std::vector<uint32_t>{0, 1, 2}));
    destroy(object);
}

TEST_F(LobjTest, TruncatedAndHostileFilesAreRefused)
{
    const std::vector<uint8_t> good = lobjWrite(twoSurfaceMesh());
    const size_t vertexCountAt = 8, faceCountAt = 12 + 60, surfaceCountAt = 16 + 60 + 32;
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"header only", [](auto& f) { f.resize(11); }, "too short for its header"},
        {"negative vertex count", [&](auto& f) { putU32(f, vertexCountAt, 0xFFFFFFFF); }, "vertex count -1"},
        {"more vertices than 16-bit indices reach", [&](auto& f) { putU32(f, vertexCountAt, 65537); },
         "vertex count 65537"},
        {"vertex count past the end", [&](auto& f) { putU32(f, vertexCountAt, 60000); }, "ends inside its 60000 positions"},
        {"negative face count", [&](auto& f) { putU32(f, faceCountAt, 0x80000000); }, "cannot hold -2147483648 faces"},
        {"face count past the end", [&](auto& f) { putU32(f, faceCountAt, 0x7FFFFFFF); }, "cannot hold 2147483647 faces"},
        {"negative surface count", [&](auto& f) { putU32(f, surfaceCountAt, 0xFFFFFFF0); }, "surface count -16"},
        {"more surfaces than the counters hold", [&](auto& f) { putU32(f, surfaceCountAt, 65); }, "surface count 65"},
        {"surface records past the end", [&](auto& f) { putU32(f, surfaceCountAt, 3); }, "inside its 3 surface records"},
        {"texture coordinates cut", [](auto& f) { f.pop_back(); }, "inside its texture coordinates"},
        {"face naming a missing vertex", [&](auto& f) { f[faceCountAt + 4 + 8 + 3] = 5; }, "face 1 uses vertex 5 of 5"},
        {"face naming vertex 65535", [&](auto& f) { f[faceCountAt + 4 + 24] = f[faceCountAt + 4 + 25] = 0xFF; },
         "face 3 uses vertex 65535"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> broken = good;
        c.damage(broken);
        Object* object = reinterpret_cast<Object*>(1);
        const std::string log = captureLog([&] { object = entLoad(broken.data(), broken.size()); });
        EXPECT_EQ(object, nullptr);
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
    EXPECT_EQ(entLoad(nullptr, 100), nullptr);

    // Every cut of a good file ends inside some part of it.
    for (size_t size = 0; size < good.size(); ++size) {
        testing::internal::CaptureStdout();
        Object* object = entLoad(good.data(), size);
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_EQ(object, nullptr) << size;
        ASSERT_FALSE(log.empty()) << size;
    }
}

TEST_F(LobjTest, RandomlyDamagedFilesLoadOrAreRefusedCleanly)
{
    // Run under the sanitizers, this shows no damage reads or writes outside the image or the geometry.
    const std::vector<uint8_t> good = lobjWrite(twoSurfaceMesh());
    uint32_t random = 12345;
    auto next = [&random] {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        return random;
    };
    int loaded = 0, refused = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> damaged = good;
        const int changes = 1 + static_cast<int>(next() % 4);
        for (int i = 0; i < changes; ++i)
            damaged[next() % damaged.size()] = static_cast<uint8_t>(next());
        if (next() % 4 == 0)
            damaged.resize(next() % damaged.size());
        testing::internal::CaptureStdout();
        Object* object = entLoad(damaged.data(), damaged.size());
        testing::internal::GetCapturedStdout();
        if (object) {
            ++loaded;
            for (const GeometrySurface* surface : object->geometry->surfaces)
                for (uint32_t index : triangles(surface))
                    ASSERT_LT(index, object->geometry->vertexCount);
        } else {
            ++refused;
        }
        destroy(object);
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
}

TEST(LobjImporters, MissingFilesLogAndLoadNothing)
{
    std::string log = captureLog([] { EXPECT_EQ(entLoadLWO("meshes/thing.lwo"), nullptr); });
    EXPECT_NE(log.find("Loading <meshes/thing.lwo>"), std::string::npos);
    EXPECT_NE(log.find("Failed to load LWO file <meshes/thing.lwo>"), std::string::npos);
    log = captureLog([] { EXPECT_FALSE(graph_load_scene_resources("scenes/room.gltf")); });
    EXPECT_NE(log.find("scenes/room.gltf"), std::string::npos);
}
