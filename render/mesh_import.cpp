#include "render/mesh_import.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/animation.h"
#include "render/entities.h"
#include "render/lobj.h"

#include <assimp/cimport.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <tiny_gltf.h>

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace {

// Logs how long a load took when it ends.
class LoadTimer {
public:
    explicit LoadTimer(std::string name) : name_(std::move(name)), start_(std::chrono::steady_clock::now()) {}
    ~LoadTimer()
    {
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        LOG_INFO("%s: %.3f ms", name_.c_str(), ms);
    }

private:
    std::string name_;
    std::chrono::steady_clock::time_point start_;
};

std::string afterLastSlash(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

float* floatsOf(Geometry* geometry, const std::string& name)
{
    BufferObject* buffer = geometry->FindAttributeBuffer(name);
    return buffer ? reinterpret_cast<float*>(buffer->hostCopy) : nullptr;
}

void markAllDirty(Geometry* geometry)
{
    for (BufferObject* buffer : geometry->buffers)
        if (buffer)
            buffer->dirty = true;
    for (GeometrySurface* surface : geometry->surfaces)
        if (surface && surface->indexBuffer)
            surface->indexBuffer->dirty = true;
}

void destroyObject(Object* object)
{
    if (object)
        geomDelete(object->geometry);
    delete object;
}

void logObjectSummary(const Object* object, const char* suffix)
{
    uint32_t faces = 0;
    for (const GeometrySurface* surface : object->geometry->surfaces)
        faces += surface->triangleCount;
    const float* b = object->bounds;
    LOG_INFO("V:%d F:%d %.3f,%.3f,%.3f - %.3f,%.3f,%.3f%s", int(object->geometry->vertexCount), int(faces), b[0], b[1],
             b[2], b[3], b[4], b[5], suffix);
}

} // namespace

// ---- assimp ----

Object* meshBuildFromScene(const aiScene* scene, const std::string& name)
{
    if (!scene || !scene->mMeshes || scene->mNumMeshes == 0) {
        LOG_ERROR("Mesh <%s>: the file holds no mesh", name.c_str());
        return nullptr;
    }
    if (scene->mNumMeshes > GEOMETRY_MAX_SURFACES) {
        LOG_ERROR("Mesh <%s>: %u meshes, at most %d surfaces are possible", name.c_str(), scene->mNumMeshes,
                  GEOMETRY_MAX_SURFACES);
        return nullptr;
    }
    bool anyNormals = false, anyColours = false;
    uint64_t total = 0;
    for (unsigned k = 0; k < scene->mNumMeshes; ++k) {
        const aiMesh* mesh = scene->mMeshes[k];
        if (!mesh)
            continue;
        anyNormals = anyNormals || mesh->mNormals;
        anyColours = anyColours || mesh->mColors[0];
        total += mesh->mNumVertices;
    }
    if (total > 0x7FFFFFFFu) {
        LOG_ERROR("Mesh <%s>: %llu vertices are too many", name.c_str(), static_cast<unsigned long long>(total));
        return nullptr;
    }
    std::vector<VertexAttribute> attributes = {builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS],
                                               builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS]};
    if (anyColours)
        attributes.push_back(builtinVertexAttributes[VERTEX_ATTRIBUTE_ALBEDO]);
    Object* object = entCreateObject(uint32_t(total), scene->mNumMeshes, attributes);
    if (!object)
        return nullptr;
    object->name = name;
    Geometry* geometry = object->geometry;
    float* coords = floatsOf(geometry, "VTXCoords");
    float* normals = floatsOf(geometry, "VTXNormals");
    float* albedo = anyColours ? floatsOf(geometry, "VTXAlbedo") : nullptr;

    uint32_t base = 0;
    for (unsigned k = 0; k < scene->mNumMeshes; ++k) {
        const aiMesh* mesh = scene->mMeshes[k];
        GeometrySurface* surface = geometry->surfaces[k];
        if (!mesh)
            continue;
        const aiMaterial* material =
            scene->mMaterials && mesh->mMaterialIndex < scene->mNumMaterials ? scene->mMaterials[mesh->mMaterialIndex]
                                                                             : nullptr;
        aiColor4D diffuse(0, 0, 0, 1);
        aiString materialName;
        if (material) {
            if (aiGetMaterialColor(material, AI_MATKEY_COLOR_DIFFUSE, &diffuse) != aiReturn_SUCCESS)
                diffuse = aiColor4D(0, 0, 0, 1);
            if (aiGetMaterialString(material, AI_MATKEY_NAME, &materialName) != aiReturn_SUCCESS)
                materialName.Clear();
        }
        surface->color[0] = diffuse.r;
        surface->color[1] = diffuse.g;
        surface->color[2] = diffuse.b;
        surface->name.clear(); // so the surface does not collide with its own placeholder name
        surface->name = geomUniqueSurfaceName(geometry, materialName.C_Str());

        for (unsigned i = 0; i < mesh->mNumVertices && mesh->mVertices; ++i) {
            const size_t v = size_t(base + i) * 3;
            coords[v] = mesh->mVertices[i].x;
            coords[v + 1] = mesh->mVertices[i].y;
            coords[v + 2] = mesh->mVertices[i].z;
            if (albedo && mesh->mColors[0]) {
                albedo[v] = mesh->mColors[0][i].r;
                albedo[v + 1] = mesh->mColors[0][i].g;
                albedo[v + 2] = mesh->mColors[0][i].b;
            }
            if (mesh->mNormals) {
                normals[v] = mesh->mNormals[i].x;
                normals[v + 1] = mesh->mNormals[i].y;
                normals[v + 2] = mesh->mNormals[i].z;
            }
        }

        // Points and lines survive triangulation; they and faces naming missing vertices are not triangles here.
        uint32_t triangles = 0;
        for (unsigned f = 0; f < mesh->mNumFaces && mesh->mFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices == 3 && face.mIndices && face.mIndices[0] < mesh->mNumVertices &&
                face.mIndices[1] < mesh->mNumVertices && face.mIndices[2] < mesh->mNumVertices)
                ++triangles;
        }
        if (mesh->mNumFaces != triangles)
            LOG_WARNING("Mesh <%s>: %u of the %u faces of mesh %u are not triangles; skipped", name.c_str(),
                        mesh->mNumFaces - triangles, mesh->mNumFaces, k);
        if (!geomSurfaceReserve(surface, triangles)) {
            destroyObject(object);
            return nullptr;
        }
        uint32_t* out = surface->indexBuffer ? reinterpret_cast<uint32_t*>(surface->indexBuffer->hostCopy) : nullptr;
        uint32_t t = 0;
        for (unsigned f = 0; out && f < mesh->mNumFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices != 3 || !face.mIndices || face.mIndices[0] >= mesh->mNumVertices ||
                face.mIndices[1] >= mesh->mNumVertices || face.mIndices[2] >= mesh->mNumVertices)
                continue;
            for (int c = 0; c < 3; ++c)
                out[3 * t + c] = face.mIndices[c] + base;
            ++t;
        }
        base += mesh->mNumVertices;
    }
    markAllDirty(geometry);
    geomCalculateBoundingBox(geometry, object->bounds);
    if (!anyNormals)
        geomCalculateNormals(geometry);
    logObjectSummary(object, "\\n");
    return object;
}

Object* entLoadLWO(const std::string& path)
{
    LoadTimer timer("endLoadLWO:" + path);
    static const bool logAttached = [] {
        aiLogStream stream = aiGetPredefinedLogStream(aiDefaultLogStream_STDOUT, nullptr);
        aiAttachLogStream(&stream);
        return true;
    }();
    (void)logAttached;
    LOG_INFO("Loading <%s>", path.c_str());

    DataFileStatus status;
    if (dataFileStat(path, &status) == 0 || status.isDirectory) {
        LOG_ERROR("Failed to load LWO file <%s>", path.c_str());
        return nullptr;
    }
    DataBlob blob = dataLoadFile(path);
    if (!blob || blob.size == 0) {
        LOG_ERROR("Failed to load LWO file <%s>", path.c_str());
        return nullptr;
    }
    aiPropertyStore* store = aiCreatePropertyStore();
    aiSetImportPropertyInteger(store, AI_CONFIG_PP_RVC_FLAGS, 0x330);
    const aiScene* scene = nullptr;
    {
        LoadTimer importTimer("endLoadLWO:AssimpImport:" + path);
        const unsigned flags = aiProcess_MakeLeftHanded | aiProcess_Triangulate | aiProcess_RemoveComponent |
                               aiProcess_ImproveCacheLocality | aiProcess_OptimizeMeshes | aiProcess_FlipUVs |
                               aiProcess_FlipWindingOrder;
        scene = aiImportFileFromMemoryWithProperties(blob.data(), unsigned(blob.size), flags, "", store);
    }
    aiReleasePropertyStore(store);
    if (!scene) {
        LOG_ERROR("Failed to import mesh <%s>: %s", path.c_str(), aiGetErrorString());
        return nullptr;
    }
    Object* object = meshBuildFromScene(scene, afterLastSlash(path));
    aiReleaseImport(scene);
    if (object)
        geomUpdate(object->geometry);
    return object;
}

// ---- glTF: reading and checking ----

namespace {

// The image bytes are kept as they are stored; the engine's own PNG path decodes them later.
bool keepImageBytes(tinygltf::Image* image, const int, std::string*, std::string*, int, int, const unsigned char* bytes,
                    int size, void*)
{
    image->image.assign(bytes, bytes + std::max(size, 0));
    image->as_is = true;
    return true;
}

// External buffers and images are plain files beside the glTF file; only regular files are read.
bool fsFileExists(const std::string& path, void*)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

std::string fsExpandPath(const std::string& path, void*) { return path; }

bool fsReadWholeFile(std::vector<unsigned char>* out, std::string* error, const std::string& path, void*)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        if (error)
            *error += "File not found: " + path + "\n";
        return false;
    }
    DataBlob blob = dataLoadFileAbsolute(path);
    if (!blob) {
        if (error)
            *error += "File read error: " + path + "\n";
        return false;
    }
    out->assign(blob.u8(), blob.u8() + blob.size);
    return true;
}

bool fsWriteWholeFile(std::string* error, const std::string&, const std::vector<unsigned char>&, void*)
{
    if (error)
        *error += "writing is not supported\n";
    return false;
}

int resultFromError(const std::string& error, bool binary)
{
    if (error.find("not found") != std::string::npos || error.find("Failed to load external") != std::string::npos ||
        error.find("File read error") != std::string::npos || error.find("ailed to decode 'uri'") != std::string::npos)
        return GLTF_RESULT_FILE_NOT_FOUND;
    if (error.find("JSON") != std::string::npos || error.find("json") != std::string::npos)
        return GLTF_RESULT_INVALID_JSON;
    if (binary && (error.find("Too short") != std::string::npos || error.find("too short") != std::string::npos ||
                   error.find("Invalid glTF binary") != std::string::npos))
        return GLTF_RESULT_DATA_TOO_SHORT;
    return GLTF_RESULT_INVALID_GLTF;
}

size_t componentBytes(int componentType)
{
    switch (componentType) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return 1;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return 2;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT:
        return 4;
    default:
        return 0;
    }
}

size_t componentCount(int type)
{
    switch (type) {
    case TINYGLTF_TYPE_SCALAR:
        return 1;
    case TINYGLTF_TYPE_VEC2:
        return 2;
    case TINYGLTF_TYPE_VEC3:
        return 3;
    case TINYGLTF_TYPE_VEC4:
    case TINYGLTF_TYPE_MAT2:
        return 4;
    case TINYGLTF_TYPE_MAT3:
        return 9;
    case TINYGLTF_TYPE_MAT4:
        return 16;
    default:
        return 0;
    }
}

// Reads accessor elements after the checks: every element lies inside its view and buffer.
class AccessorReader {
public:
    AccessorReader(const tinygltf::Model& model, int index) : accessor_(model.accessors[size_t(index)])
    {
        components_ = componentCount(accessor_.type);
        componentBytes_ = componentBytes(accessor_.componentType);
        if (accessor_.bufferView >= 0) {
            const tinygltf::BufferView& view = model.bufferViews[size_t(accessor_.bufferView)];
            data_ = model.buffers[size_t(view.buffer)].data.data() + view.byteOffset + accessor_.byteOffset;
            stride_ = view.byteStride ? view.byteStride : components_ * componentBytes_;
        }
    }
    size_t count() const { return accessor_.count; }
    size_t components() const { return components_; }
    bool hasData() const { return data_ != nullptr; }

    // Component c of element i as a float (normalised integers converted); 0 without a view.
    float Float(size_t i, size_t c) const
    {
        if (!data_ || c >= components_)
            return 0.0f;
        const uint8_t* p = data_ + i * stride_ + c * componentBytes_;
        const bool normalised = accessor_.normalized;
        switch (accessor_.componentType) {
        case TINYGLTF_COMPONENT_TYPE_FLOAT: {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
            return normalised ? p[0] / 255.0f : float(p[0]);
        case TINYGLTF_COMPONENT_TYPE_BYTE:
            return normalised ? std::max(int8_t(p[0]) / 127.0f, -1.0f) : float(int8_t(p[0]));
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return normalised ? v / 65535.0f : float(v);
        }
        case TINYGLTF_COMPONENT_TYPE_SHORT: {
            int16_t v;
            std::memcpy(&v, p, 2);
            return normalised ? std::max(v / 32767.0f, -1.0f) : float(v);
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return normalised ? float(v / 4294967295.0) : float(v);
        }
        default:
            return 0.0f;
        }
    }
    // Component c of element i as stored (integers), 0 without a view.
    uint32_t Uint(size_t i, size_t c) const
    {
        if (!data_ || c >= components_)
            return 0;
        const uint8_t* p = data_ + i * stride_ + c * componentBytes_;
        switch (accessor_.componentType) {
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        case TINYGLTF_COMPONENT_TYPE_BYTE:
            return p[0];
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        case TINYGLTF_COMPONENT_TYPE_SHORT: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case TINYGLTF_COMPONENT_TYPE_FLOAT:
            return uint32_t(std::max(0.0f, Float(i, c)));
        default:
            return 0;
        }
    }

private:
    const tinygltf::Accessor& accessor_;
    const uint8_t* data_ = nullptr;
    size_t stride_ = 0;
    size_t components_ = 0;
    size_t componentBytes_ = 0;
};

struct Checker {
    const tinygltf::Model& model;
    std::string problem;

    bool Fail(std::string what)
    {
        if (problem.empty())
            problem = std::move(what);
        return false;
    }
    bool ValidIndex(int index, size_t size) const { return index >= 0 && size_t(index) < size; }

    bool Views()
    {
        for (size_t i = 0; i < model.bufferViews.size(); ++i) {
            const tinygltf::BufferView& view = model.bufferViews[i];
            if (!ValidIndex(view.buffer, model.buffers.size()))
                return Fail("buffer view " + std::to_string(i) + " names a missing buffer");
            const size_t size = model.buffers[size_t(view.buffer)].data.size();
            if (view.byteOffset > size || view.byteLength > size - view.byteOffset)
                return Fail("buffer view " + std::to_string(i) + " runs past its buffer");
            if (view.byteStride != 0 && (view.byteStride < 4 || view.byteStride > 252))
                return Fail("buffer view " + std::to_string(i) + " has a bad stride");
        }
        return true;
    }

    bool Accessors()
    {
        for (size_t i = 0; i < model.accessors.size(); ++i) {
            const tinygltf::Accessor& a = model.accessors[i];
            const size_t element = componentBytes(a.componentType) * componentCount(a.type);
            if (element == 0)
                return Fail("accessor " + std::to_string(i) + " has an unknown type");
            if (a.count > (size_t(1) << 31))
                return Fail("accessor " + std::to_string(i) + " has a huge count");
            if (a.bufferView < 0)
                continue;
            if (!ValidIndex(a.bufferView, model.bufferViews.size()))
                return Fail("accessor " + std::to_string(i) + " names a missing buffer view");
            const tinygltf::BufferView& view = model.bufferViews[size_t(a.bufferView)];
            const size_t stride = view.byteStride ? view.byteStride : element;
            if (a.count == 0)
                continue;
            if (stride < element && view.byteStride)
                return Fail("accessor " + std::to_string(i) + " elements overlap");
            const uint64_t end = uint64_t(a.byteOffset) + uint64_t(stride) * (a.count - 1) + element;
            if (a.byteOffset > view.byteLength || end > view.byteLength)
                return Fail("accessor " + std::to_string(i) + " runs past its buffer view");
        }
        return true;
    }

    bool Accessor(int index, const char* what, size_t* count)
    {
        if (!ValidIndex(index, model.accessors.size()))
            return Fail(std::string(what) + " names a missing accessor");
        *count = model.accessors[size_t(index)].count;
        return true;
    }

    bool Meshes()
    {
        for (size_t m = 0; m < model.meshes.size(); ++m) {
            uint64_t vertices = 0;
            for (const tinygltf::Primitive& p : model.meshes[m].primitives) {
                const std::string at = "mesh " + std::to_string(m);
                auto position = p.attributes.find("POSITION");
                if (position == p.attributes.end())
                    return Fail(at + ": a primitive has no POSITION");
                size_t count = 0;
                if (!Accessor(position->second, "POSITION", &count))
                    return false;
                const tinygltf::Accessor& pa = model.accessors[size_t(position->second)];
                if (pa.type != TINYGLTF_TYPE_VEC3 || pa.componentType != TINYGLTF_COMPONENT_TYPE_FLOAT)
                    return Fail(at + ": POSITION is not three floats");
                for (const auto& [name, index] : p.attributes) {
                    size_t n = 0;
                    if (!Accessor(index, name.c_str(), &n))
                        return false;
                    if (n != count)
                        return Fail(at + ": attribute " + name + " has " + std::to_string(n) + " elements, POSITION " +
                                    std::to_string(count));
                }
                if (p.material >= 0 && !ValidIndex(p.material, model.materials.size()))
                    return Fail(at + ": a primitive names a missing material");
                if (p.indices >= 0) {
                    size_t n = 0;
                    if (!Accessor(p.indices, "indices", &n))
                        return false;
                    const tinygltf::Accessor& ia = model.accessors[size_t(p.indices)];
                    if (ia.type != TINYGLTF_TYPE_SCALAR ||
                        (ia.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE &&
                         ia.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT &&
                         ia.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT))
                        return Fail(at + ": indices are not unsigned integers");
                    AccessorReader reader(model, p.indices);
                    for (size_t i = 0; reader.hasData() && i < n; ++i)
                        if (reader.Uint(i, 0) >= count)
                            return Fail(at + ": index " + std::to_string(reader.Uint(i, 0)) +
                                        " is past the vertex count " + std::to_string(count));
                }
                vertices += count;
            }
            if (vertices > 0x7FFFFFFFu)
                return Fail("mesh " + std::to_string(m) + " has too many vertices");
            if (model.meshes[m].primitives.size() > size_t(GEOMETRY_MAX_SURFACES))
                return Fail("mesh " + std::to_string(m) + " has too many primitives");
        }
        return true;
    }

    bool Nodes()
    {
        const size_t n = model.nodes.size();
        std::vector<int> parent(n, -1);
        for (size_t i = 0; i < n; ++i) {
            const tinygltf::Node& node = model.nodes[i];
            if (node.mesh >= 0 && !ValidIndex(node.mesh, model.meshes.size()))
                return Fail("node " + std::to_string(i) + " names a missing mesh");
            if (node.skin >= 0 && !ValidIndex(node.skin, model.skins.size()))
                return Fail("node " + std::to_string(i) + " names a missing skin");
            if (!node.matrix.empty() && node.matrix.size() != 16)
                return Fail("node " + std::to_string(i) + " has a bad matrix");
            if ((!node.translation.empty() && node.translation.size() != 3) ||
                (!node.scale.empty() && node.scale.size() != 3) || (!node.rotation.empty() && node.rotation.size() != 4))
                return Fail("node " + std::to_string(i) + " has a bad transform");
            for (int child : node.children) {
                if (!ValidIndex(child, n) || size_t(child) == i)
                    return Fail("node " + std::to_string(i) + " names a bad child");
                if (parent[size_t(child)] != -1)
                    return Fail("node " + std::to_string(child) + " has two parents");
                parent[size_t(child)] = int(i);
            }
        }
        // With one parent each, a cycle is a walk upwards that never ends.
        for (size_t i = 0; i < n; ++i) {
            int at = int(i);
            for (size_t steps = 0; at != -1; ++steps) {
                if (steps > n)
                    return Fail("the node tree has a cycle");
                at = parent[size_t(at)];
            }
        }
        for (const tinygltf::Scene& scene : model.scenes)
            for (int root : scene.nodes)
                if (!ValidIndex(root, n))
                    return Fail("a scene names a missing node");
        return true;
    }

    bool Skins()
    {
        for (size_t s = 0; s < model.skins.size(); ++s) {
            const tinygltf::Skin& skin = model.skins[s];
            for (int joint : skin.joints)
                if (!ValidIndex(joint, model.nodes.size()))
                    return Fail("skin " + std::to_string(s) + " names a missing joint");
            if (skin.inverseBindMatrices >= 0) {
                size_t count = 0;
                if (!Accessor(skin.inverseBindMatrices, "inverse bind matrices", &count))
                    return false;
                const tinygltf::Accessor& a = model.accessors[size_t(skin.inverseBindMatrices)];
                if (a.type != TINYGLTF_TYPE_MAT4 || a.componentType != TINYGLTF_COMPONENT_TYPE_FLOAT ||
                    count < skin.joints.size())
                    return Fail("skin " + std::to_string(s) + " has bad inverse bind matrices");
            }
        }
        return true;
    }

    bool Animations()
    {
        for (size_t a = 0; a < model.animations.size(); ++a) {
            const tinygltf::Animation& animation = model.animations[a];
            for (const tinygltf::AnimationSampler& sampler : animation.samplers) {
                size_t in = 0, out = 0;
                if (!Accessor(sampler.input, "animation input", &in) || !Accessor(sampler.output, "animation output", &out))
                    return false;
                if (model.accessors[size_t(sampler.input)].type != TINYGLTF_TYPE_SCALAR)
                    return Fail("animation " + std::to_string(a) + " has non-scalar key times");
                const size_t keys = sampler.interpolation == "CUBICSPLINE" ? 3 * in : in;
                if (out < keys)
                    return Fail("animation " + std::to_string(a) + " has fewer values than keys");
            }
            for (const tinygltf::AnimationChannel& channel : animation.channels) {
                if (!ValidIndex(channel.sampler, animation.samplers.size()))
                    return Fail("animation " + std::to_string(a) + " names a missing sampler");
                if (channel.target_node >= 0 && !ValidIndex(channel.target_node, model.nodes.size()))
                    return Fail("animation " + std::to_string(a) + " targets a missing node");
            }
        }
        return true;
    }

    bool Images()
    {
        for (size_t i = 0; i < model.images.size(); ++i)
            if (model.images[i].bufferView >= 0 && !ValidIndex(model.images[i].bufferView, model.bufferViews.size()))
                return Fail("image " + std::to_string(i) + " names a missing buffer view");
        return true;
    }

    bool All() { return Views() && Accessors() && Meshes() && Nodes() && Skins() && Animations() && Images(); }
};

std::string fullPathOf(const std::string& path) { return dataBasePath() + path; }

// Reads and checks the file; logs "Result: %d".
int readGltf(const std::string& path, tinygltf::Model* model)
{
    const std::string full = fullPathOf(path);
    int result = GLTF_RESULT_SUCCESS;
    std::string error, warning;
    if (full.size() > 1024) {
        result = GLTF_RESULT_INVALID_OPTIONS;
        error = "the path is too long";
    } else {
        DataFileStatus status;
        DataBlob blob;
        if (dataFileStat(path, &status) == 0 || status.isDirectory || !(blob = dataLoadFile(path))) {
            result = GLTF_RESULT_FILE_NOT_FOUND;
            error = "cannot read the file";
        } else {
            tinygltf::TinyGLTF loader;
            loader.SetImageLoader(&keepImageBytes, nullptr);
            loader.SetFsCallbacks({&fsFileExists, &fsExpandPath, &fsReadWholeFile, &fsWriteWholeFile, nullptr});
            const size_t slash = full.find_last_of('/');
            const std::string baseDir = slash == std::string::npos ? std::string(".") : full.substr(0, slash);
            const bool binary = blob.size >= 4 && std::memcmp(blob.data(), "glTF", 4) == 0;
            bool ok = false;
            if (binary)
                ok = loader.LoadBinaryFromMemory(model, &error, &warning, blob.u8(), unsigned(blob.size), baseDir);
            else if (blob.size == 0 || (blob.data()[0] != '{' && !std::isspace(static_cast<unsigned char>(blob.data()[0]))))
                error = "not a glTF file", result = GLTF_RESULT_UNKNOWN_FORMAT;
            else
                ok = loader.LoadASCIIFromString(model, &error, &warning, blob.data(), unsigned(blob.size), baseDir);
            if (result == GLTF_RESULT_SUCCESS && !ok)
                result = resultFromError(error, binary);
            if (result == GLTF_RESULT_SUCCESS) {
                Checker checker{*model, {}};
                if (!checker.All()) {
                    result = GLTF_RESULT_INVALID_GLTF;
                    error = checker.problem;
                }
            }
        }
    }
    LOG_INFO("Result: %d", result);
    if (result != GLTF_RESULT_SUCCESS) {
        // tinygltf's messages may span lines; the first says enough.
        const std::string first = error.substr(0, error.find('\n'));
        LOG_ERROR("glTF <%s> refused: %s", path.c_str(), first.c_str());
    }
    return result;
}

std::string orUnnamed(const std::string& name) { return name.empty() ? "<unnamed>" : name; }

// ---- glTF: building ----

Object* buildMesh(const tinygltf::Model& model, const tinygltf::Mesh& mesh)
{
    bool anyNormals = false, anyColours = false, anyUv = false, anyJoints = false;
    uint64_t vertices = 0;
    std::vector<int> materials; // surface order
    for (const tinygltf::Primitive& p : mesh.primitives) {
        anyNormals = anyNormals || p.attributes.count("NORMAL");
        anyColours = anyColours || p.attributes.count("COLOR_0");
        anyUv = anyUv || p.attributes.count("TEXCOORD_0");
        anyJoints = anyJoints || (p.attributes.count("JOINTS_0") && p.attributes.count("WEIGHTS_0"));
        vertices += model.accessors[size_t(p.attributes.at("POSITION"))].count;
        if (std::find(materials.begin(), materials.end(), p.material) == materials.end())
            materials.push_back(p.material);
    }
    std::vector<VertexAttribute> attributes = {builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS],
                                               builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS]};
    if (anyColours)
        attributes.push_back(builtinVertexAttributes[VERTEX_ATTRIBUTE_ALBEDO]);
    if (anyUv)
        attributes.push_back(builtinVertexAttributes[VERTEX_ATTRIBUTE_UV0]);
    if (anyJoints) {
        VertexAttribute bones = builtinVertexAttributes[VERTEX_ATTRIBUTE_BONES_WEIGHTS];
        bones.componentType = 2;
        bones.componentCount = 8;
        attributes.push_back(bones);
        attributes.push_back({VERTEX_ATTRIBUTE_CUSTOM, 0, 3, "VTXCoordsCopy"});
        attributes.push_back({VERTEX_ATTRIBUTE_CUSTOM, 0, 3, "VTXNormalsCopy"});
    }
    Object* object = entCreateObject(uint32_t(vertices), uint32_t(std::max<size_t>(materials.size(), 1)), attributes);
    if (!object)
        return nullptr;
    object->name = orUnnamed(mesh.name);
    Geometry* geometry = object->geometry;
    float* coords = floatsOf(geometry, "VTXCoords");
    float* normals = floatsOf(geometry, "VTXNormals");
    float* albedo = anyColours ? floatsOf(geometry, "VTXAlbedo") : nullptr;
    float* uv = anyUv ? floatsOf(geometry, "VTXUV0") : nullptr;
    BufferObject* bonesBuffer = anyJoints ? geometry->FindAttributeBuffer("VTXBonesWeights") : nullptr;
    uint16_t* bones = bonesBuffer ? reinterpret_cast<uint16_t*>(bonesBuffer->hostCopy) : nullptr;
    if (albedo)
        std::fill(albedo, albedo + size_t(vertices) * 3, 1.0f); // primitives without colours stay white

    for (size_t s = 0; s < materials.size(); ++s) {
        GeometrySurface* surface = geometry->surfaces[s];
        const int m = materials[s];
        surface->name.clear();
        surface->name = geomUniqueSurfaceName(geometry, m >= 0 ? orUnnamed(model.materials[size_t(m)].name) : "<unnamed>");
        surface->color[0] = surface->color[1] = surface->color[2] = 1.0f;
        surface->color[3] = 1.0f; // opaque
        std::fill(std::begin(surface->emissive), std::end(surface->emissive), 0.0f);
        if (m >= 0) {
            const auto& factor = model.materials[size_t(m)].pbrMetallicRoughness.baseColorFactor;
            for (size_t c = 0; c < 3 && c < factor.size(); ++c)
                surface->color[c] = float(factor[c]);
            surface->metalness = float(model.materials[size_t(m)].pbrMetallicRoughness.metallicFactor);
            surface->roughness = float(model.materials[size_t(m)].pbrMetallicRoughness.roughnessFactor);
        }
    }

    uint32_t base = 0;
    for (const tinygltf::Primitive& p : mesh.primitives) {
        AccessorReader position(model, p.attributes.at("POSITION"));
        const size_t count = position.count();
        auto fill = [&](const char* name, float* target, size_t width) {
            auto it = p.attributes.find(name);
            if (it == p.attributes.end() || !target)
                return;
            AccessorReader reader(model, it->second);
            for (size_t i = 0; i < count; ++i)
                for (size_t c = 0; c < width; ++c)
                    target[(base + i) * width + c] = c < reader.components() ? reader.Float(i, c) : 1.0f;
        };
        fill("POSITION", coords, 3);
        fill("NORMAL", normals, 3);
        fill("COLOR_0", albedo, 3);
        fill("TEXCOORD_0", uv, 2);
        auto joints = p.attributes.find("JOINTS_0");
        auto weights = p.attributes.find("WEIGHTS_0");
        if (bones && joints != p.attributes.end() && weights != p.attributes.end()) {
            AccessorReader j(model, joints->second), w(model, weights->second);
            for (size_t i = 0; i < count; ++i)
                for (size_t k = 0; k < 4; ++k) {
                    bones[(base + i) * 8 + 2 * k] = uint16_t(j.Uint(i, k) & 0xFFFF);
                    const float weight = std::clamp(w.Float(i, k), 0.0f, 1.0f);
                    bones[(base + i) * 8 + 2 * k + 1] = uint16_t(weight * 65535.0f);
                }
        }

        const size_t s = size_t(std::find(materials.begin(), materials.end(), p.material) - materials.begin());
        GeometrySurface* surface = geometry->surfaces[s];
        // Only triangle lists are drawn; other modes keep their vertices but get no triangles.
        if (p.mode == TINYGLTF_MODE_TRIANGLES || p.mode == -1) {
            std::vector<uint32_t> indices;
            if (p.indices >= 0) {
                AccessorReader reader(model, p.indices);
                indices.reserve(reader.count());
                for (size_t i = 0; reader.hasData() && i < reader.count(); ++i)
                    indices.push_back(reader.Uint(i, 0));
            } else {
                for (size_t i = 0; i < count; ++i)
                    indices.push_back(uint32_t(i));
            }
            const uint32_t first = surface->triangleCount;
            const uint32_t added = uint32_t(indices.size() / 3);
            if (!geomSurfaceReserve(surface, first + added)) {
                destroyObject(object);
                return nullptr;
            }
            uint32_t* out = surface->indexBuffer ? reinterpret_cast<uint32_t*>(surface->indexBuffer->hostCopy) : nullptr;
            for (size_t i = 0; out && i < size_t(added) * 3; ++i)
                out[size_t(first) * 3 + i] = indices[i] + base;
        } else {
            LOG_WARNING("glTF mesh <%s>: a primitive of mode %d is not drawn", object->name.c_str(), p.mode);
        }
        base += uint32_t(count);
    }
    markAllDirty(geometry);
    geomCalculateBoundingBox(geometry, object->bounds);
    if (!anyNormals)
        geomCalculateNormals(geometry);
    if (anyJoints) {
        boCopy(geometry->FindAttributeBuffer("VTXCoords"), geometry->FindAttributeBuffer("VTXCoordsCopy"));
        boCopy(geometry->FindAttributeBuffer("VTXNormals"), geometry->FindAttributeBuffer("VTXNormalsCopy"));
    }
    markAllDirty(geometry);
    logObjectSummary(object, "");
    return object;
}

Texture* buildImage(const std::string& path, const tinygltf::Model& model, const tinygltf::Image& image,
                    const std::string& label)
{
    Image* decoded = nullptr;
    if (image.bufferView >= 0 && !image.image.empty()) {
        // Decoded from memory through the same PNG reader as files.
        std::vector<uint8_t> bytes = image.image;
        FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
        if (file) {
            DataFile data{file};
            std::vector<std::string> messages;
            decoded = imgLoadTypePNG(&data, messages);
            std::fclose(file);
            if (!decoded && !messages.empty())
                LOG_WARNING("Image <%s>: %s", label.c_str(), messages.back().c_str());
        }
    } else if (!image.uri.empty() && image.uri.rfind("data:", 0) != 0) {
        const size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        decoded = imgLoad(folder + image.uri);
    } else if (!image.image.empty()) {
        std::vector<uint8_t> bytes = image.image;
        if (FILE* file = fmemopen(bytes.data(), bytes.size(), "rb")) {
            DataFile data{file};
            std::vector<std::string> messages;
            decoded = imgLoadTypePNG(&data, messages);
            std::fclose(file);
        }
    }
    if (!decoded) {
        LOG_WARNING("Image <%s> could not be decoded", label.c_str());
        return nullptr;
    }
    auto* texture = new Texture;
    texture->type = TEXTURE_TYPE_2D;
    texture->imageCount = 1;
    texture->images[0] = decoded;
    txtGenerateMipMaps(texture);
    if (texture->glId == 0)
        txtSetupForGL(texture);
    txtSetLabel(texture, label.c_str());
    return texture;
}

Matrix columnsToRows(const double* m)
{
    Matrix r;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            r.m[row * 4 + col] = float(m[col * 4 + row]);
    return r;
}

// Everything of the file built into the rig and the store. The file has passed the checks.
struct SceneBuild {
    std::vector<FileResource*> meshRecords;
    std::unique_ptr<AnimationRig> rig;
    std::vector<Object*> objects;
};

std::vector<std::unique_ptr<AnimationRig>>& importedRigs()
{
    static std::vector<std::unique_ptr<AnimationRig>> rigs;
    return rigs;
}

// What the importers registered. Records do not own their objects and textures, and a renderer may still draw an
// object whose record was deleted, so imports stay for the whole run (as the texture file cache does).
// Never destroyed: the lists must outlast every static destructor that might still reach an import.
std::vector<Object*>& importedObjects()
{
    static auto* objects = new std::vector<Object*>;
    return *objects;
}
std::vector<Texture*>& importedTextures()
{
    static auto* textures = new std::vector<Texture*>;
    return *textures;
}

bool buildObjects(const std::string& path, const tinygltf::Model& model, SceneBuild* build)
{
    const std::string file = afterLastSlash(path);
    // Every mesh is built before any is registered: a failure registers nothing.
    for (const tinygltf::Mesh& mesh : model.meshes) {
        Object* object = buildMesh(model, mesh);
        if (!object) {
            for (Object* built : build->objects)
                destroyObject(built);
            build->objects.clear();
            return false;
        }
        build->objects.push_back(object);
    }
    std::vector<Object*> registered;
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        Object* object = build->objects[m];
        const std::string name = file + "/mesh/" + std::to_string(m) + "/" + orUnnamed(model.meshes[m].name);
        // A name already stored keeps its record and object; the copy just built would belong to nobody.
        FileResource* stored = nullptr;
        if (currentResources) {
            const auto found = currentResources->resources.find(name);
            if (found != currentResources->resources.end())
                stored = resourceCast<FileResource>(found->second, ResourceType::Object);
        }
        if (stored || !currentResources) {
            destroyObject(object);
            build->meshRecords.push_back(stored);
            continue;
        }
        geomUpdate(object->geometry);
        build->meshRecords.push_back(currentResources->add_object(name, object));
        registered.push_back(object);
        importedObjects().push_back(object);
    }
    build->objects = registered;
    return true;
}

void buildRig(const tinygltf::Model& model, SceneBuild* build)
{
    auto rig = std::make_unique<AnimationRig>();
    for (const tinygltf::Node& n : model.nodes) {
        auto* node = new SceneNode;
        node->name = orUnnamed(n.name);
        for (size_t i = 0; i < n.translation.size(); ++i)
            node->translation[i] = float(n.translation[i]);
        for (size_t i = 0; i < n.scale.size(); ++i)
            node->scale[i] = float(n.scale[i]);
        if (n.matrix.size() == 16) {
            node->local = columnsToRows(n.matrix.data());
        } else {
            if (n.rotation.size() == 4)
                node->rotation = matrixFromQuaternion(float(n.rotation[0]), float(n.rotation[1]),
                                                      float(n.rotation[2]), float(n.rotation[3]));
            node->local = nodeLocalMatrix(node->translation, node->rotation, node->scale);
        }
        node->rest = node->local;
        rig->nodes.push_back(node);
    }
    for (size_t i = 0; i < model.nodes.size(); ++i)
        for (int child : model.nodes[i].children) {
            rig->nodes[i]->children.push_back(rig->nodes[size_t(child)]);
            rig->nodes[size_t(child)]->parent = rig->nodes[i];
        }
    for (size_t i = 0; i < model.nodes.size(); ++i)
        if (model.nodes[i].mesh >= 0 && size_t(model.nodes[i].mesh) < build->meshRecords.size())
            rig->nodes[i]->object = build->meshRecords[size_t(model.nodes[i].mesh)];

    for (const tinygltf::Skin& s : model.skins) {
        auto* skin = new Skin;
        skin->name = s.name.empty() ? " <unnamned>" : s.name;
        if (s.joints.size() > size_t(kSkinMaxJoints))
            LOG_WARNING("Skin <%s>: %zu joints; only the first %d move vertices", skin->name.c_str(), s.joints.size(),
                        kSkinMaxJoints);
        std::unique_ptr<AccessorReader> ibm;
        if (s.inverseBindMatrices >= 0)
            ibm = std::make_unique<AccessorReader>(model, s.inverseBindMatrices);
        for (size_t j = 0; j < s.joints.size(); ++j) {
            const tinygltf::Node& jointNode = model.nodes[size_t(s.joints[j])];
            LOG_INFO("  Loading joint:%s", orUnnamed(jointNode.name).c_str());
            Matrix inverse;
            if (ibm && ibm->hasData()) {
                double m[16];
                for (size_t c = 0; c < 16; ++c)
                    m[c] = ibm->Float(j, c);
                inverse = columnsToRows(m);
            }
            skin->inverseBindMatrices.push_back(inverse);
            skin->joints.push_back(rig->nodes[size_t(s.joints[j])]);
        }
        rig->skins.push_back(skin);
    }
    for (size_t i = 0; i < model.nodes.size(); ++i)
        if (model.nodes[i].skin >= 0)
            rig->nodes[i]->skin = rig->skins[size_t(model.nodes[i].skin)];

    float duration = 0.0f;
    for (const tinygltf::Animation& a : model.animations) {
        auto* animation = new Animation;
        animation->name = orUnnamed(a.name);
        for (const tinygltf::AnimationChannel& c : a.channels) {
            int path = -1;
            if (c.target_path == "translation")
                path = ANIMATION_PATH_TRANSLATION;
            else if (c.target_path == "rotation")
                path = ANIMATION_PATH_ROTATION;
            else if (c.target_path == "scale")
                path = ANIMATION_PATH_SCALE;
            // Morph weights have no place in the rig; channels without a node drive nothing.
            if (path < 0 || c.target_node < 0)
                continue;
            const tinygltf::AnimationSampler& sampler = a.samplers[size_t(c.sampler)];
            AnimationChannel channel;
            channel.path = path;
            channel.interpolation = sampler.interpolation == "STEP"          ? ANIMATION_STEP
                                    : sampler.interpolation == "CUBICSPLINE" ? ANIMATION_CUBIC
                                                                             : ANIMATION_LINEAR;
            channel.target = rig->nodes[size_t(c.target_node)];
            AccessorReader input(model, sampler.input), output(model, sampler.output);
            channel.components = int32_t(output.components());
            const int expected = path == ANIMATION_PATH_ROTATION ? 4 : 3;
            if (channel.components != expected) {
                LOG_WARNING("Animation <%s>: a channel has %d components, %d expected; skipped",
                            animation->name.c_str(), channel.components, expected);
                continue;
            }
            for (size_t i = 0; i < input.count(); ++i)
                channel.times.push_back(input.Float(i, 0));
            for (size_t i = 0; i < output.count(); ++i)
                for (size_t k = 0; k < output.components(); ++k)
                    channel.values.push_back(output.Float(i, k));
            const tinygltf::Accessor& in = model.accessors[size_t(sampler.input)];
            if (!in.maxValues.empty())
                duration = std::max(duration, float(in.maxValues[0]));
            else if (!channel.times.empty())
                duration = std::max(duration, *std::max_element(channel.times.begin(), channel.times.end()));
            animation->duration = duration;
            if (std::find(animation->targets.begin(), animation->targets.end(), channel.target) ==
                animation->targets.end())
                animation->targets.push_back(channel.target);
            animation->channels.push_back(std::move(channel));
        }
        rig->animations.push_back(animation);
    }
    if (!rig->animations.empty())
        rig->animations[0]->Evaluate(2.0f);
    for (SceneNode* node : rig->nodes)
        if (!node->parent)
            rig->roots.push_back(node);
    build->rig = std::move(rig);
}

} // namespace

int gltfCheckFile(const std::string& path)
{
    tinygltf::Model model;
    return readGltf(path, &model);
}

bool graph_load_scene_resources(const std::string& path)
{
    tinygltf::Model model;
    if (readGltf(path, &model) != GLTF_RESULT_SUCCESS)
        return false;
    SceneBuild build;
    if (!buildObjects(path, model, &build))
        return false;

    const std::string file = afterLastSlash(path);
    for (size_t i = 0; i < model.images.size(); ++i) {
        const std::string name = file + "/images/" + std::to_string(i) + "/" + orUnnamed(model.images[i].name);
        if (currentResources && currentResources->resources.count(name)) {
            LOG_INFO("Texture %s was already loaded. Skipping", name.c_str());
            continue;
        }
        Texture* texture = buildImage(path, model, model.images[i], name);
        if (texture)
            importedTextures().push_back(texture);
        if (currentResources)
            currentResources->add_texture(name, texture);
    }

    buildRig(model, &build);
    for (Object* object : build.objects)
        object->rig = build.rig.get();
    importedRigs().push_back(std::move(build.rig));
    return true;
}

bool gltfLoadSceneNodes(const std::string& path, std::string* sceneName, std::vector<GltfSceneNodeInfo>* nodes)
{
    tinygltf::Model model;
    if (readGltf(path, &model) != GLTF_RESULT_SUCCESS)
        return false;
    SceneBuild build;
    if (!buildObjects(path, model, &build))
        return false;
    // Without a default scene the first one is added; a file without scenes adds its root nodes.
    const int sceneIndex = model.defaultScene >= 0 && size_t(model.defaultScene) < model.scenes.size() ? model.defaultScene
                           : model.scenes.empty()                                                    ? -1
                                                                                                     : 0;
    std::vector<int> roots;
    if (sceneIndex >= 0) {
        roots = model.scenes[size_t(sceneIndex)].nodes;
        *sceneName = model.scenes[size_t(sceneIndex)].name;
    } else {
        std::vector<bool> child(model.nodes.size(), false);
        for (const tinygltf::Node& n : model.nodes)
            for (int c : n.children)
                child[size_t(c)] = true;
        for (size_t i = 0; i < model.nodes.size(); ++i)
            if (!child[i])
                roots.push_back(int(i));
    }
    if (sceneName->empty())
        *sceneName = afterLastSlash(path);
    const std::string file = afterLastSlash(path);
    std::vector<int> pending(roots.rbegin(), roots.rend());
    while (!pending.empty()) {
        const tinygltf::Node& n = model.nodes[size_t(pending.back())];
        pending.pop_back();
        if (n.mesh >= 0) {
            GltfSceneNodeInfo info;
            info.meshName = orUnnamed(model.meshes[size_t(n.mesh)].name);
            info.meshResource = file + "/mesh/" + std::to_string(n.mesh) + "/" + info.meshName;
            if (n.translation.size() == 3) {
                info.hasTranslation = true;
                for (int i = 0; i < 3; ++i)
                    info.translation[i] = float(n.translation[size_t(i)]);
            }
            if (n.rotation.size() == 4) {
                info.hasRotation = true;
                const Vector3 e = eulerDegreesFromRotation(matrixFromQuaternion(
                    float(n.rotation[0]), float(n.rotation[1]), float(n.rotation[2]), float(n.rotation[3])));
                info.rotation[0] = e.x;
                info.rotation[1] = e.y;
                info.rotation[2] = e.z;
            }
            if (n.scale.size() == 3) {
                info.hasScale = true;
                for (int i = 0; i < 3; ++i)
                    info.scale[i] = float(n.scale[size_t(i)]);
            }
            nodes->push_back(info);
        }
        for (auto it = n.children.rbegin(); it != n.children.rend(); ++it)
            pending.push_back(*it);
    }
    return true;
}

Object* meshLoadResource(const std::string& path)
{
    Object* object = entLoadLWO(path);
    if (object)
        importedObjects().push_back(object);
    return object;
}

void meshInstallResourceLoaders()
{
    resourceLoaders.loadObject = &meshLoadResource;
    resourceLoaders.loadScene = &graph_load_scene_resources;
}
