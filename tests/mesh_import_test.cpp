// Mesh files through assimp and glTF scenes through the glTF importer: what they build, and what they refuse.
#include "render/mesh_import.h"

#include "gl_context.h"
#include "png_fixture.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/animation.h"
#include "render/entities.h"
#include "test_helpers.h"

#include <assimp/scene.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using nlohmann::json;
using testutil::captureLog;
using testutil::TempDir;
using testutil::writeFile;

namespace {

const float* floatsOf(const Geometry* geometry, const std::string& name)
{
    const BufferObject* buffer = geometry->FindAttributeBuffer(name);
    return buffer ? reinterpret_cast<const float*>(buffer->hostCopy) : nullptr;
}

std::vector<uint32_t> triangles(const GeometrySurface* surface)
{
    if (!surface->indexBuffer)
        return {};
    const auto* indices = reinterpret_cast<const uint32_t*>(surface->indexBuffer->hostCopy);
    return std::vector<uint32_t>(indices, indices + 3 * surface->triangleCount);
}

void destroy(Object* object)
{
    if (object)
        geomDelete(object->geometry);
    delete object;
}

// ---- synthetic assimp scenes ----

aiMesh* quadMesh(unsigned vertices, unsigned material, bool normals, bool colours)
{
    auto* mesh = new aiMesh;
    mesh->mNumVertices = vertices;
    mesh->mVertices = new aiVector3D[vertices];
    for (unsigned i = 0; i < vertices; ++i)
        mesh->mVertices[i] = aiVector3D(float(i % 2), float(i / 2) + 10.0f * float(material), 0.0f);
    if (normals) {
        mesh->mNormals = new aiVector3D[vertices];
        for (unsigned i = 0; i < vertices; ++i)
            mesh->mNormals[i] = aiVector3D(0, 0, 1);
    }
    if (colours) {
        mesh->mColors[0] = new aiColor4D[vertices];
        for (unsigned i = 0; i < vertices; ++i)
            mesh->mColors[0][i] = aiColor4D(0.25f, 0.5f, 0.75f, 1.0f);
    }
    mesh->mMaterialIndex = material;
    return mesh;
}

void setFaces(aiMesh* mesh, const std::vector<std::vector<unsigned>>& faces)
{
    mesh->mNumFaces = unsigned(faces.size());
    mesh->mFaces = new aiFace[faces.size()];
    for (size_t f = 0; f < faces.size(); ++f) {
        mesh->mFaces[f].mNumIndices = unsigned(faces[f].size());
        mesh->mFaces[f].mIndices = new unsigned[faces[f].size()];
        std::copy(faces[f].begin(), faces[f].end(), mesh->mFaces[f].mIndices);
    }
}

aiMaterial* material(const char* name, const float* diffuse)
{
    auto* m = new aiMaterial;
    aiString s(name);
    m->AddProperty(&s, AI_MATKEY_NAME);
    if (diffuse) {
        aiColor3D c(diffuse[0], diffuse[1], diffuse[2]);
        m->AddProperty(&c, 1, AI_MATKEY_COLOR_DIFFUSE);
    }
    return m;
}

std::unique_ptr<aiScene> scene(std::vector<aiMesh*> meshes, std::vector<aiMaterial*> materials)
{
    auto s = std::make_unique<aiScene>();
    s->mNumMeshes = unsigned(meshes.size());
    s->mMeshes = new aiMesh*[meshes.size()];
    std::copy(meshes.begin(), meshes.end(), s->mMeshes);
    s->mNumMaterials = unsigned(materials.size());
    s->mMaterials = new aiMaterial*[materials.size()];
    std::copy(materials.begin(), materials.end(), s->mMaterials);
    return s;
}

class MeshImportTest : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        oldBase_ = dataBasePath();
        dataSetBasePath(dir_.str());
        savedResources_ = currentResources;
        currentResources = &store_;
    }
    void TearDown() override
    {
        // The imported objects and textures stay with the importer; only the records go.
        store_.resources.clear();
        currentResources = savedResources_;
        dataSetBasePath(oldBase_);
        GLTest::TearDown();
    }
    void write(const std::string& name, const std::string& bytes) { writeFile(dir_.path() / name, bytes); }

    TempDir dir_{"mesh_import"};
    ResourceManagerStorage store_;

private:
    std::string oldBase_;
    ResourceManagerStorage* savedResources_ = nullptr;
};

// ---- assimp ----

TEST_F(MeshImportTest, SceneMeshesBecomeSurfacesWithOffsetIndicesAndUniqueNames)
{
    const float red[3] = {1, 0, 0};
    aiMesh* first = quadMesh(8, 0, true, true);
    setFaces(first, {{0, 1, 2}, {4, 5, 6}});
    aiMesh* second = quadMesh(4, 1, true, true);
    setFaces(second, {{0, 1, 2}, {0, 2, 3}});
    auto s = scene({first, second}, {material("metal", red), material("metal", nullptr)});

    Object* object = meshBuildFromScene(s.get(), "thing.obj");
    ASSERT_NE(object, nullptr);
    const Geometry* g = object->geometry;
    EXPECT_EQ(object->name, "thing.obj");
    EXPECT_EQ(g->vertexCount, 12u);
    ASSERT_EQ(g->surfaces.size(), 2u);
    EXPECT_EQ(g->surfaces[0]->name, "metal");
    EXPECT_EQ(g->surfaces[1]->name, "metal (2)");
    EXPECT_EQ(g->surfaces[0]->color[0], 1.0f);
    // A material without diffuse colour is black.
    EXPECT_EQ(g->surfaces[1]->color[0], 0.0f);
    EXPECT_EQ(g->surfaces[1]->color[1], 0.0f);
    EXPECT_EQ(triangles(g->surfaces[0]), (std::vector<uint32_t>{0, 1, 2, 4, 5, 6}));
    EXPECT_EQ(triangles(g->surfaces[1]), (std::vector<uint32_t>{8, 9, 10, 8, 10, 11}));
    // The second mesh's vertices, normals and colours land at 8 .. 11.
    const float* coords = floatsOf(g, "VTXCoords");
    const float* albedo = floatsOf(g, "VTXAlbedo");
    const float* normals = floatsOf(g, "VTXNormals");
    ASSERT_TRUE(coords && albedo && normals);
    EXPECT_EQ(coords[3 * 9 + 0], 1.0f);
    EXPECT_EQ(coords[3 * 9 + 1], 10.0f);
    EXPECT_EQ(albedo[3 * 11 + 2], 0.75f);
    EXPECT_EQ(normals[3 * 10 + 2], 1.0f);
    destroy(object);
}

TEST_F(MeshImportTest, PointAndLineFacesAndMissingVerticesAreSkipped)
{
    aiMesh* mesh = quadMesh(4, 0, false, false);
    setFaces(mesh, {{0}, {0, 1}, {0, 1, 2}, {0, 1, 7}, {1, 2, 3}});
    auto s = scene({mesh}, {material("", nullptr)});
    std::string log;
    Object* object = nullptr;
    log = captureLog([&] { object = meshBuildFromScene(s.get(), "lines.obj"); });
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(triangles(object->geometry->surfaces[0]), (std::vector<uint32_t>{0, 1, 2, 1, 2, 3}));
    EXPECT_NE(log.find("3 of the 5 faces"), std::string::npos) << log;
    // No mesh had normals: they are computed (the quad lies in z = 0).
    EXPECT_NEAR(std::fabs(floatsOf(object->geometry, "VTXNormals")[2]), 1.0f, 1e-5f);
    destroy(object);
}

TEST_F(MeshImportTest, ObjFileGroupsBecomeSurfaces)
{
    write("meshes/two.mtl", "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\n");
    write("meshes/two.obj", "mtllib two.mtl\n"
                            "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                            "v 0 0 2\nv 1 0 2\nv 1 1 2\n"
                            "g a\nusemtl red\nf 1 2 3 4\n"
                            "g b\nusemtl blue\nf 5 6 7\n");
    Object* object = entLoadLWO("meshes/two.obj");
    ASSERT_NE(object, nullptr);
    const Geometry* g = object->geometry;
    EXPECT_EQ(object->name, "two.obj");
    ASSERT_EQ(g->surfaces.size(), 2u);
    uint32_t faces = 0;
    for (const GeometrySurface* surface : g->surfaces) {
        faces += surface->triangleCount;
        for (uint32_t index : triangles(surface))
            EXPECT_LT(index, g->vertexCount);
    }
    EXPECT_EQ(faces, 3u);
    // The group of one triangle uses the vertices after the quad's.
    const GeometrySurface* single = g->surfaces[0]->triangleCount == 1 ? g->surfaces[0] : g->surfaces[1];
    ASSERT_EQ(single->triangleCount, 1u);
    for (uint32_t index : triangles(single))
        EXPECT_GE(index, g->vertexCount - 3);
    EXPECT_NE(g->surfaces[0]->name, g->surfaces[1]->name);
    // Imported left-handed: z is mirrored.
    EXPECT_FLOAT_EQ(object->bounds[2], -2.0f);
    destroy(object);
}

TEST_F(MeshImportTest, ShippedTetrahedronLoads)
{
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    Object* object = entLoadLWO("lwobj/tetrohedra.lwo");
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->name, "tetrohedra.lwo");
    uint32_t faces = 0;
    for (const GeometrySurface* surface : object->geometry->surfaces)
        faces += surface->triangleCount;
    EXPECT_EQ(faces, 4u);
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(std::fabs(object->bounds[axis]), 1.0f, 1e-5f);
        EXPECT_NEAR(std::fabs(object->bounds[3 + axis]), 1.0f, 1e-5f);
    }
    destroy(object);
}

TEST_F(MeshImportTest, UnreadableMeshFilesGiveNull)
{
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    const std::string lwo = testutil::readFile(ENGINE_SOURCE_DIR "assets/lwobj/tetrohedra.lwo");
    ASSERT_GT(lwo.size(), 40u);
    dataSetBasePath(dir_.str());
    std::string hugePoints = lwo;
    // The PNTS chunk claims far more bytes than the file has.
    const size_t pnts = hugePoints.find("PNTS");
    ASSERT_NE(pnts, std::string::npos);
    hugePoints[pnts + 4] = char(0x7F);
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty.lwo", ""},
        {"truncated.lwo", lwo.substr(0, 30)},
        {"huge_points.lwo", hugePoints},
        {"garbage.obj", "f 1 2 99\nv 0 0\n"},
        {"noise.bin", std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
    };
    for (const Case& c : cases) {
        write(c.name, c.bytes);
        Object* object = entLoadLWO(c.name);
        if (object) {
            // Whatever assimp salvages must still be in bounds.
            for (const GeometrySurface* surface : object->geometry->surfaces)
                for (uint32_t index : triangles(surface))
                    EXPECT_LT(index, object->geometry->vertexCount) << c.name;
        }
        destroy(object);
    }
    std::filesystem::create_directories(dir_.path() / "folder.lwo");
    EXPECT_EQ(entLoadLWO("folder.lwo"), nullptr);
    EXPECT_EQ(entLoadLWO("missing.lwo"), nullptr);
    EXPECT_EQ(entLoadLWO("empty.lwo"), nullptr);
    EXPECT_EQ(entLoadLWO("truncated.lwo"), nullptr);
}

// ---- glTF fixtures ----

std::string base64(const std::vector<uint8_t>& bytes)
{
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= bytes[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[v & 63] : '=';
    }
    return out;
}

// Builds a glTF document whose single buffer travels as a data: URI.
struct GltfBuilder {
    json doc = {{"asset", {{"version", "2.0"}}}};
    std::vector<uint8_t> bin;

    template <typename T>
    int Accessor(const std::vector<T>& values, int componentType, const char* type, size_t count)
    {
        while (bin.size() % 4)
            bin.push_back(0);
        const size_t offset = bin.size();
        const auto* p = reinterpret_cast<const uint8_t*>(values.data());
        bin.insert(bin.end(), p, p + values.size() * sizeof(T));
        doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", offset}, {"byteLength", values.size() * sizeof(T)}});
        doc["accessors"].push_back({{"bufferView", doc["bufferViews"].size() - 1},
                                    {"componentType", componentType},
                                    {"count", count},
                                    {"type", type}});
        return int(doc["accessors"].size() - 1);
    }
    int Positions(const std::vector<float>& p) { return Accessor(p, 5126, "VEC3", p.size() / 3); }
    int Indices(const std::vector<uint16_t>& i) { return Accessor(i, 5123, "SCALAR", i.size()); }

    std::string Text()
    {
        json out = doc;
        out["buffers"] = {{{"byteLength", bin.size()},
                           {"uri", "data:application/octet-stream;base64," + base64(bin)}}};
        return out.dump();
    }
};

const std::vector<float> kTriangle = {0, 0, 0, 1, 0, 0, 0, 1, 0};

TEST_F(MeshImportTest, GltfMeshIsNamedAfterFileIndexAndName)
{
    GltfBuilder b;
    const int pos = b.Positions(kTriangle);
    b.doc["meshes"] = {{{"name", "roof"}, {"primitives", {{{"attributes", {{"POSITION", pos}}}}}}}};
    write("models/city.gltf", b.Text());
    ASSERT_TRUE(graph_load_scene_resources("models/city.gltf"));
    auto* record = resourceCast<FileResource>(store_.get_by_name_type("city.gltf/mesh/0/roof", ResourceType::Object),
                                              ResourceType::Object);
    ASSERT_NE(record, nullptr);
    const Object* object = record->GetObject();
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(object->geometry->surfaces.size(), 1u);
    const GeometrySurface* surface = object->geometry->surfaces[0];
    EXPECT_EQ(surface->name, "<unnamed>");
    // Opaque, not emissive.
    EXPECT_EQ(surface->color[3], 1.0f);
    EXPECT_EQ(surface->emissive[0], 0.0f);
    // Non-indexed triangles get their indices generated.
    EXPECT_EQ(triangles(surface), (std::vector<uint32_t>{0, 1, 2}));
    // No NORMAL anywhere: computed.
    EXPECT_NEAR(floatsOf(object->geometry, "VTXNormals")[2], 1.0f, 1e-5f);
}

TEST_F(MeshImportTest, GltfPrimitivesOfOneMaterialShareASurface)
{
    GltfBuilder b;
    const int p0 = b.Positions(kTriangle);
    const int p1 = b.Positions({0, 0, 1, 1, 0, 1, 0, 1, 1, 1, 1, 1});
    const int n1 = b.Accessor(std::vector<float>{0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1}, 5126, "VEC3", 4);
    const int i0 = b.Indices({0, 1, 2});
    const int i1 = b.Indices({0, 1, 2, 1, 3, 2});
    const int colours = b.Accessor(std::vector<float>{0.1f, 0.2f, 0.3f, 1, 0.4f, 0.5f, 0.6f, 1, 0.7f, 0.8f, 0.9f, 1},
                                   5126, "VEC4", 3);
    const int uv = b.Accessor(std::vector<float>{0.5f, 0.25f, 1, 0, 0, 1}, 5126, "VEC2", 3);
    b.doc["materials"] = {{{"name", "stone"}}};
    b.doc["meshes"] = {
        {{"name", "wall"},
         {"primitives",
          {{{"attributes", {{"POSITION", p0}, {"COLOR_0", colours}, {"TEXCOORD_0", uv}}}, {"indices", i0}, {"material", 0}},
           {{"attributes", {{"POSITION", p1}, {"NORMAL", n1}}}, {"indices", i1}, {"material", 0}}}}}};
    write("wall.gltf", b.Text());
    ASSERT_TRUE(graph_load_scene_resources("wall.gltf"));
    auto* record = resourceCast<FileResource>(store_.get_by_name_type("wall.gltf/mesh/0/wall", ResourceType::Object),
                                              ResourceType::Object);
    ASSERT_TRUE(record && record->GetObject());
    const Geometry* g = record->GetObject()->geometry;
    ASSERT_EQ(g->surfaces.size(), 1u);
    EXPECT_EQ(g->surfaces[0]->name, "stone");
    EXPECT_EQ(triangles(g->surfaces[0]), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 4, 6, 5}));
    // Colours from COLOR_0 (white where a primitive has none), texture coordinates from TEXCOORD_0.
    const float* albedo = floatsOf(g, "VTXAlbedo");
    ASSERT_NE(albedo, nullptr);
    EXPECT_FLOAT_EQ(albedo[3 * 1 + 1], 0.5f);
    EXPECT_FLOAT_EQ(albedo[3 * 4 + 0], 1.0f);
    EXPECT_FLOAT_EQ(floatsOf(g, "VTXUV0")[0], 0.5f);
    // NORMAL on one primitive only: nothing is computed, the other keeps zeros.
    const float* normals = floatsOf(g, "VTXNormals");
    EXPECT_EQ(normals[2], 0.0f);
    EXPECT_EQ(normals[3 * 3 + 2], 1.0f);
}

TEST_F(MeshImportTest, GltfSkinnedMeshPacksJointsAndWeightsAndKeepsTheBindPose)
{
    GltfBuilder b;
    const int pos = b.Positions(kTriangle);
    const int joints = b.Accessor(std::vector<uint8_t>{0, 1, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1}, 5121, "VEC4", 3);
    const int weights =
        b.Accessor(std::vector<float>{0.25f, 0.75f, 0, 0, 1, 0, 0, 0, 0.5f, 0.5f, 0, 0}, 5126, "VEC4", 3);
    const int ibm = b.Accessor(std::vector<float>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1,
                                                  1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -2, 0, 1},
                               5126, "MAT4", 2);
    b.doc["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}, {"JOINTS_0", joints}, {"WEIGHTS_0", weights}}}}}}}};
    b.doc["nodes"] = {{{"mesh", 0}, {"skin", 0}}, {{"children", {2}}}, {{"translation", {0, 2, 0}}}};
    b.doc["skins"] = {{{"joints", {1, 2}}, {"inverseBindMatrices", ibm}}};
    write("skinned.gltf", b.Text());
    std::string log = captureLog([&] { ASSERT_TRUE(graph_load_scene_resources("skinned.gltf")); });
    EXPECT_EQ(testutil::countOf(log, "  Loading joint:<unnamed>"), 2u);
    auto* record = resourceCast<FileResource>(
        store_.get_by_name_type("skinned.gltf/mesh/0/<unnamed>", ResourceType::Object), ResourceType::Object);
    ASSERT_TRUE(record && record->GetObject());
    const Object* object = record->GetObject();
    const Geometry* g = object->geometry;
    const BufferObject* bones = g->FindAttributeBuffer("VTXBonesWeights");
    ASSERT_NE(bones, nullptr);
    const auto* packed = reinterpret_cast<const uint16_t*>(bones->hostCopy);
    const std::vector<uint16_t> first(packed, packed + 8);
    EXPECT_EQ(first, (std::vector<uint16_t>{0, 16383, 1, 49151, 0, 0, 0, 0}));
    EXPECT_EQ(packed[8 + 1], 65535);
    const std::vector<float> copy(floatsOf(g, "VTXCoordsCopy"), floatsOf(g, "VTXCoordsCopy") + 9);
    EXPECT_EQ(copy, kTriangle);
    ASSERT_NE(object->rig, nullptr);
    ASSERT_EQ(object->rig->skins.size(), 1u);
    const Skin& skin = *object->rig->skins[0];
    EXPECT_EQ(skin.name, " <unnamned>");
    ASSERT_EQ(skin.inverseBindMatrices.size(), 2u);
    EXPECT_EQ(skin.inverseBindMatrices[1].m[7], -2.0f); // columns turned into rows
    EXPECT_EQ(object->rig->roots.size(), 2u);
}

TEST(GltfNodeRotation, EulerExtractionRoundTripsTheQuaternion)
{
    const float quaternions[][4] = {
        {0, 0, 0, 1},
        {0.3826834f, 0, 0, 0.9238795f},       // 45 degrees about x
        {0, 0.7071068f, 0, 0.7071068f},       // 90 about y
        {0, 0, 0.2588190f, 0.9659258f},       // 30 about z
        {0.1f, 0.2f, 0.3f, 0.9273618f},       // mixed
        {-0.4f, 0.3f, -0.2f, 0.8426150f},     // mixed, negative
    };
    for (const auto& q : quaternions) {
        const Matrix r = matrixFromQuaternion(q[0], q[1], q[2], q[3]);
        const Vector3 e = eulerDegreesFromRotation(r);
        const Matrix back = Matrix::FromEulerDegrees(e.x, e.y, e.z);
        for (int i = 0; i < 16; ++i)
            EXPECT_NEAR(back.m[i], r.m[i], 1e-4f) << "element " << i << " of " << q[0] << "," << q[1] << "," << q[2];
    }
}

// ---- hostile glTF ----

struct HostileCase {
    const char* name;
    std::function<void(GltfBuilder&)> damage;
    int expected;
};

TEST_F(MeshImportTest, HostileGltfFilesAreRefusedWithNothingRegistered)
{
    auto plain = [](GltfBuilder& b) {
        const int pos = b.Positions(kTriangle);
        const int idx = b.Indices({0, 1, 2});
        b.doc["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}}}, {"indices", idx}}}}}};
        b.doc["nodes"] = {{{"mesh", 0}}};
        b.doc["scenes"] = {{{"nodes", {0}}}};
    };
    const HostileCase cases[] = {
        {"view past buffer", [](GltfBuilder& b) { b.doc["bufferViews"][0]["byteLength"] = 4000; }, 4},
        {"view offset past buffer", [](GltfBuilder& b) { b.doc["bufferViews"][0]["byteOffset"] = 1u << 30; }, 4},
        {"accessor past view", [](GltfBuilder& b) { b.doc["accessors"][0]["byteOffset"] = 8; }, 4},
        {"huge count", [](GltfBuilder& b) { b.doc["accessors"][0]["count"] = 4000000000u; }, 4},
        {"index past vertices", [](GltfBuilder& b) {
             b.bin[b.doc["bufferViews"][1]["byteOffset"].get<size_t>() + 2] = 9;
         }, 4},
        {"unequal attribute counts", [](GltfBuilder& b) {
             const int n = b.Accessor(std::vector<float>{0, 0, 1, 0, 0, 1}, 5126, "VEC3", 2);
             b.doc["meshes"][0]["primitives"][0]["attributes"]["NORMAL"] = n;
         }, 4},
        {"missing accessor", [](GltfBuilder& b) { b.doc["meshes"][0]["primitives"][0]["indices"] = 7; }, 4},
        {"missing mesh", [](GltfBuilder& b) { b.doc["nodes"][0]["mesh"] = 3; }, 4},
        {"node cycle", [](GltfBuilder& b) {
             b.doc["nodes"] = {{{"children", {1}}}, {{"children", {0}}}};
         }, 4},
        {"node is its own child", [](GltfBuilder& b) { b.doc["nodes"][0]["children"] = {0}; }, 4},
        {"child out of range", [](GltfBuilder& b) { b.doc["nodes"][0]["children"] = {5}; }, 4},
        {"skin joint missing", [](GltfBuilder& b) { b.doc["skins"] = {{{"joints", {4}}}}; }, 4},
        {"animation sampler missing", [](GltfBuilder& b) {
             const int t = b.Accessor(std::vector<float>{0, 1}, 5126, "SCALAR", 2);
             b.doc["animations"] = {{{"samplers", {{{"input", t}, {"output", t}}}},
                                     {"channels", {{{"sampler", 2}, {"target", {{"node", 0}, {"path", "scale"}}}}}}}};
         }, 4},
        {"too few animation values", [](GltfBuilder& b) {
             const int t = b.Accessor(std::vector<float>{0, 1, 2}, 5126, "SCALAR", 3);
             const int v = b.Accessor(std::vector<float>{0, 0, 0}, 5126, "VEC3", 1);
             b.doc["animations"] = {{{"samplers", {{{"input", t}, {"output", v}}}},
                                     {"channels", {{{"sampler", 0}, {"target", {{"node", 0}, {"path", "scale"}}}}}}}};
         }, 4},
        {"bad stride", [](GltfBuilder& b) { b.doc["bufferViews"][0]["byteStride"] = 2; }, 4},
    };
    for (const HostileCase& c : cases) {
        GltfBuilder b;
        plain(b);
        c.damage(b);
        write("hostile.gltf", b.Text());
        int result = -1;
        const std::string log = captureLog([&] { result = gltfCheckFile("hostile.gltf"); });
        EXPECT_EQ(result, c.expected) << c.name << "\n" << log;
        EXPECT_EQ(testutil::countOf(log, "refused"), 1u) << c.name;
        EXPECT_FALSE(graph_load_scene_resources("hostile.gltf")) << c.name;
        EXPECT_TRUE(store_.resources.empty()) << c.name;
    }
}

TEST_F(MeshImportTest, UnreadableGltfFilesGiveTheirResultCodes)
{
    GltfBuilder b;
    const int pos = b.Positions(kTriangle);
    b.doc["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}}}}}}}};
    json external = json::parse(b.Text());
    external["buffers"][0]["uri"] = "gone.bin";
    std::string glb = "glTF";
    glb += std::string("\x02\x00\x00\x00\x40\x00\x00\x00", 8); // length 64, but the file ends here

    struct Case {
        const char* file;
        std::string bytes;
        int expected;
    } cases[] = {
        {"broken.gltf", "{\"asset\": {\"version\": \"2.0\"", GLTF_RESULT_INVALID_JSON},
        {"missing_buffer.gltf", external.dump(), GLTF_RESULT_FILE_NOT_FOUND},
        {"short.glb", glb, GLTF_RESULT_DATA_TOO_SHORT},
        {"binary.gltf", std::string("\x89PNG\r\n\x1a\n", 8), GLTF_RESULT_UNKNOWN_FORMAT},
    };
    for (const Case& c : cases) {
        write(c.file, c.bytes);
        std::string log = captureLog([&] { EXPECT_EQ(gltfCheckFile(c.file), c.expected) << c.file; });
        EXPECT_NE(log.find("Result: " + std::to_string(c.expected)), std::string::npos) << log;
        EXPECT_FALSE(graph_load_scene_resources(c.file));
    }
    EXPECT_EQ(gltfCheckFile("nothing_here.gltf"), GLTF_RESULT_FILE_NOT_FOUND);

    // Binary files whose chunk headers lie about their sizes.
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const std::string json = "{\"asset\":{\"version\":\"2.0\"}}  ";
    const std::string lyingGlbs[] = {
        "glTF" + u32(2) + u32(20 + uint32_t(json.size())) + u32(0x7FFFFFF0u) + "JSON" + json,
        "glTF" + u32(2) + u32(0xFFFFFFFFu) + u32(uint32_t(json.size())) + "JSON" + json,
        "glTF" + u32(2) + u32(28 + uint32_t(json.size())) + u32(uint32_t(json.size())) + "JSON" + json +
            u32(0x40000000u) + std::string("BIN\0", 4),
    };
    for (const std::string& bytes : lyingGlbs) {
        write("lying.glb", bytes);
        EXPECT_NE(gltfCheckFile("lying.glb"), GLTF_RESULT_SUCCESS);
        EXPECT_FALSE(graph_load_scene_resources("lying.glb"));
    }
    EXPECT_TRUE(store_.resources.empty());
}

TEST_F(MeshImportTest, ExternalBufferAndBinaryFilesLoad)
{
    GltfBuilder b;
    const int pos = b.Positions(kTriangle);
    b.doc["meshes"] = {{{"name", "tri"}, {"primitives", {{{"attributes", {{"POSITION", pos}}}}}}}};
    json external = json::parse(b.Text());
    external["buffers"][0]["uri"] = "tri.bin";
    write("ext/tri.gltf", external.dump());
    write("ext/tri.bin", std::string(b.bin.begin(), b.bin.end()));
    ASSERT_TRUE(graph_load_scene_resources("ext/tri.gltf"));
    EXPECT_NE(store_.get_by_name_type("tri.gltf/mesh/0/tri", ResourceType::Object), nullptr);

    // The same as .glb: header, JSON chunk, BIN chunk.
    json inner = json::parse(b.Text());
    inner["buffers"][0].erase("uri");
    std::string text = inner.dump();
    while (text.size() % 4)
        text += ' ';
    std::vector<uint8_t> binChunk = b.bin;
    while (binChunk.size() % 4)
        binChunk.push_back(0);
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    std::string glb = "glTF" + u32(2) + u32(uint32_t(12 + 8 + text.size() + 8 + binChunk.size()));
    glb += u32(uint32_t(text.size())) + "JSON" + text;
    glb += u32(uint32_t(binChunk.size())) + std::string("BIN\0", 4) + std::string(binChunk.begin(), binChunk.end());
    write("bin/tri.glb", glb);
    ASSERT_TRUE(graph_load_scene_resources("bin/tri.glb"));
    EXPECT_NE(store_.get_by_name_type("tri.glb/mesh/0/tri", ResourceType::Object), nullptr);
}

TEST_F(MeshImportTest, GltfImagesAreDecodedByTheEnginesPngReader)
{
    GltfBuilder b;
    const int pos = b.Positions(kTriangle);
    b.doc["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", pos}}}}}}}};
    // Image 0 inside the buffer, image 1 a file beside the glTF file, image 2 a file that is missing.
    const std::string png = testutil::solidPngRgba(4, 2, 90);
    while (b.bin.size() % 4)
        b.bin.push_back(0);
    const size_t offset = b.bin.size();
    b.bin.insert(b.bin.end(), png.begin(), png.end());
    b.doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", offset}, {"byteLength", png.size()}});
    b.doc["images"] = {{{"name", "inside"}, {"bufferView", 1}, {"mimeType", "image/png"}},
                       {{"name", "beside"}, {"uri", "beside.png"}},
                       {{"name", "gone"}, {"uri", "gone.png"}}};
    write("pics/pics.gltf", b.Text());
    write("pics/beside.png", testutil::solidPngRgba(2, 8, 30));
    ASSERT_TRUE(graph_load_scene_resources("pics/pics.gltf"));
    struct Case {
        const char* name;
        int width, height; // 0: no texture
    } cases[] = {{"pics.gltf/images/0/inside", 4, 2}, {"pics.gltf/images/1/beside", 2, 8}, {"pics.gltf/images/2/gone", 0, 0}};
    for (const Case& c : cases) {
        auto* record = resourceCast<FileResource>(store_.get_by_name_type(c.name, ResourceType::Texture),
                                                  ResourceType::Texture);
        ASSERT_NE(record, nullptr) << c.name;
        Texture* texture = record->GetTexture();
        if (c.width == 0) {
            EXPECT_EQ(texture, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(texture, nullptr) << c.name;
        EXPECT_EQ(texture->images[0]->width, c.width);
        EXPECT_EQ(texture->images[0]->height, c.height);
        EXPECT_NE(texture->glId, 0u);
    }
    // A second import reuses the textures and says so.
    const Texture* first = static_cast<FileResource*>(store_.get_by_name("pics.gltf/images/0/inside"))->GetTexture();
    const std::string log = captureLog([&] { ASSERT_TRUE(graph_load_scene_resources("pics/pics.gltf")); });
    EXPECT_NE(log.find("Texture pics.gltf/images/0/inside was already loaded. Skipping"), std::string::npos);
    EXPECT_EQ(static_cast<FileResource*>(store_.get_by_name("pics.gltf/images/0/inside"))->GetTexture(), first);
}

TEST_F(MeshImportTest, ShippedWalkerHasASkinAndAnAnimation)
{
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    ASSERT_TRUE(graph_load_scene_resources("models/walker/walker.gltf"));
    auto* record = resourceCast<FileResource>(
        store_.get_by_name_type("walker.gltf/mesh/0/tube", ResourceType::Object), ResourceType::Object);
    ASSERT_TRUE(record && record->GetObject() && record->GetObject()->rig);
    const AnimationRig& rig = *record->GetObject()->rig;
    EXPECT_EQ(rig.skins.size(), 1u);
    ASSERT_EQ(rig.animations.size(), 1u);
    EXPECT_FLOAT_EQ(rig.animations[0]->duration, 2.0f);
    EXPECT_NE(record->GetObject()->geometry->FindAttributeBuffer("VTXBonesWeights"), nullptr);
}

} // namespace
