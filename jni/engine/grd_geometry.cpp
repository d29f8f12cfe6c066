#include "jni/engine/grd_geometry.h"

#include "app/log.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <glbinding/gl/gl.h>
#include <limits>

using namespace gl;

const VertexAttribute builtinVertexAttributes[VERTEX_ATTRIBUTE_BUILTIN_COUNT] = {
    {VERTEX_ATTRIBUTE_COORDS, 0, 3, "VTXCoords"},
    {VERTEX_ATTRIBUTE_NORMALS, 0, 3, "VTXNormals"},
    {VERTEX_ATTRIBUTE_ALBEDO, 0, 3, "VTXAlbedo"},
    {VERTEX_ATTRIBUTE_UV0, 0, 2, "VTXUV0"},
    {VERTEX_ATTRIBUTE_UV1, 0, 2, "VTXUV1"},
    {VERTEX_ATTRIBUTE_BONES_WEIGHTS, 2, 8, "VTXBonesWeights"},
};

const float unitBox[6] = {-1.0f, -1.0f, -1.0f, 1.0f, 1.0f, 1.0f};

namespace {

constexpr uint32_t INDEX_BYTES_PER_TRIANGLE = 12;

// Host copy of attribute `index` when it exists and holds at least `vertices` vertices; null otherwise.
uint8_t* attributeHost(const Geometry* geometry, int index, uint64_t vertices)
{
    if (index < 0 || static_cast<size_t>(index) >= geometry->buffers.size())
        return nullptr;
    const BufferObject* buffer = geometry->buffers[index];
    if (!buffer || !buffer->hostCopy)
        return nullptr;
    const uint64_t needed = vertices * vertexAttributeStride(geometry->attributes[index]);
    return buffer->size >= needed ? buffer->hostCopy : nullptr;
}

// A float attribute of at least three components that covers the vertices in use, or null after a log line.
uint8_t* vec3Attribute(const Geometry* geometry, int code)
{
    const int index = geometry->builtinIndex[code];
    if (index < 0)
        return nullptr;
    const VertexAttribute& attribute = geometry->attributes[index];
    uint8_t* host = attributeHost(geometry, index, geometry->vertexCount);
    if (attribute.componentType != 0 || attribute.componentCount < 3 || !host) {
        LOG_ERROR("Attribute <%s> cannot hold %u positions", attribute.name.c_str(), geometry->vertexCount);
        return nullptr;
    }
    return host;
}

float* vec3At(uint8_t* base, uint32_t stride, uint32_t vertex)
{
    return reinterpret_cast<float*>(base + static_cast<size_t>(vertex) * stride);
}

// The surface's triangles in use, or null (after a log line) when its index buffer cannot hold them.
const uint32_t* surfaceIndices(const GeometrySurface* surface)
{
    if (surface->triangleCount == 0)
        return nullptr;
    const BufferObject* buffer = surface->indexBuffer;
    if (!buffer || !buffer->hostCopy ||
        buffer->size < static_cast<uint64_t>(surface->triangleCount) * INDEX_BYTES_PER_TRIANGLE) {
        LOG_ERROR("Surface <%s> has no indices for its %u triangles", surface->name.c_str(), surface->triangleCount);
        return nullptr;
    }
    return reinterpret_cast<const uint32_t*>(buffer->hostCopy);
}

bool triangleValid(const uint32_t* triangle, uint32_t vertexCount)
{
    return triangle[0] < vertexCount && triangle[1] < vertexCount && triangle[2] < vertexCount;
}

void refreshBuiltinIndices(Geometry* geometry)
{
    for (int code = 0; code < VERTEX_ATTRIBUTE_BUILTIN_COUNT; ++code)
        geometry->builtinIndex[code] = geometry->FindAttributeIndex(builtinVertexAttributes[code].name);
}

} // namespace

uint32_t vertexComponentSize(int componentType)
{
    switch (componentType) {
    case 0:
    case 1: return 4;
    case 2: return 2;
    case 3: return 1;
    default: return 0;
    }
}

uint32_t vertexAttributeStride(const VertexAttribute& attribute)
{
    return attribute.componentCount > 0
               ? vertexComponentSize(attribute.componentType) * static_cast<uint32_t>(attribute.componentCount)
               : 0;
}

uint32_t geomGrowCapacity(uint32_t n)
{
    if (n < 1024)
        return n + 64;
    return static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(n) + n / 2, std::numeric_limits<uint32_t>::max()));
}

// ---- Geometry ----

bool Geometry::AddAttribute(const VertexAttribute& attribute)
{
    if (attributes.size() >= GEOMETRY_MAX_ATTRIBUTES) {
        LOG_ERROR("Geometry has %d attributes already; <%s> not added", GEOMETRY_MAX_ATTRIBUTES,
                  attribute.name.c_str());
        return false;
    }
    // The buffer must hold every vertex the capacity promises, not only those in use.
    BufferObject* buffer =
        boCreate(attribute.name.c_str(), static_cast<uint64_t>(vertexCapacity) * vertexAttributeStride(attribute));
    if (!buffer)
        return false;
    attributes.push_back(attribute);
    buffers.push_back(buffer);
    ValidateAttributes();
    refreshBuiltinIndices(this);
    return true;
}

bool Geometry::ValidateAttributes() const
{
    bool seen[VERTEX_ATTRIBUTE_BUILTIN_COUNT] = {};
    for (const VertexAttribute& attribute : attributes) {
        if (attribute.code < 0 || attribute.code >= VERTEX_ATTRIBUTE_BUILTIN_COUNT)
            continue;
        if (seen[attribute.code]) {
            LOG_WARNING("Duplicate of builtin attribute found");
            return false;
        }
        seen[attribute.code] = true;
    }
    return true;
}

int Geometry::FindAttributeIndex(const std::string& name) const
{
    for (size_t i = 0; i < attributes.size(); ++i)
        if (attributes[i].name == name)
            return static_cast<int>(i);
    return -1;
}

BufferObject* Geometry::FindAttributeBuffer(const std::string& name) const
{
    const int index = FindAttributeIndex(name);
    return index < 0 ? nullptr : buffers[index];
}

// ---- Creation ----

std::string geomUniqueSurfaceName(const Geometry* geometry, const std::string& name)
{
    if (!geometry)
        return name;
    bool taken = false;
    for (const GeometrySurface* surface : geometry->surfaces)
        taken = taken || surface->name == name;
    if (!taken)
        return name;
    const std::string prefix = name + " (";
    int numbered = 0;
    for (const GeometrySurface* surface : geometry->surfaces)
        if (surface->name.compare(0, prefix.size(), prefix) == 0)
            ++numbered;
    return name + " (" + std::to_string(2 + numbered) + ")";
}

Geometry* geomCreate(uint32_t vertexCount, uint32_t surfaceCount, const std::vector<VertexAttribute>& attributes)
{
    if (attributes.size() > GEOMETRY_MAX_ATTRIBUTES || surfaceCount > GEOMETRY_MAX_SURFACES) {
        LOG_ERROR("Geometry of %zu attributes and %u surfaces refused (at most %d and %d)", attributes.size(),
                  surfaceCount, GEOMETRY_MAX_ATTRIBUTES, GEOMETRY_MAX_SURFACES);
        return nullptr;
    }
    auto* geometry = new Geometry;
    geometry->vertexCount = vertexCount;
    geometry->vertexCapacity = vertexCount;
    for (uint32_t i = 0; i < std::max(surfaceCount, 1u); ++i) {
        auto* surface = new GeometrySurface;
        surface->name = geomUniqueSurfaceName(geometry, "Unnamed");
        geometry->surfaces.push_back(surface);
    }
    for (const VertexAttribute& attribute : attributes) {
        if (!geometry->AddAttribute(attribute)) {
            geomDelete(geometry);
            return nullptr;
        }
    }
    return geometry;
}

// ---- Growth ----

uint32_t geomReserveVertices(Geometry* geometry, uint32_t n)
{
    if (!geometry)
        return 0;
    if (geometry->vertexCapacity >= n)
        return geometry->vertexCapacity;
    const uint32_t capacity = geomGrowCapacity(n);
    // Every new buffer first, so a failed allocation leaves the geometry as it was.
    std::vector<BufferObject*> grown;
    for (const VertexAttribute& attribute : geometry->attributes) {
        BufferObject* buffer = boCreateUnnamed(static_cast<uint64_t>(capacity) * vertexAttributeStride(attribute));
        if (!buffer) {
            LOG_ERROR("Cannot grow geometry to %u vertices", capacity);
            for (BufferObject* made : grown)
                boDelete(made);
            return geometry->vertexCapacity;
        }
        grown.push_back(buffer);
    }
    for (size_t i = 0; i < grown.size(); ++i) {
        if (geometry->buffers[i]) {
            boCopy(geometry->buffers[i], grown[i]);
            boDelete(geometry->buffers[i]);
        }
        geometry->buffers[i] = grown[i];
    }
    geometry->vertexCapacity = capacity;
    return capacity;
}

bool geomSurfaceReserve(GeometrySurface* surface, uint32_t n)
{
    if (!surface)
        return false;
    if (!surface->indexBuffer || surface->triangleCapacity < n) {
        const uint32_t capacity = geomGrowCapacity(n);
        BufferObject* buffer = boCreateUnnamed(static_cast<uint64_t>(capacity) * INDEX_BYTES_PER_TRIANGLE);
        if (!buffer) {
            LOG_ERROR("Cannot grow surface <%s> to %u triangles", surface->name.c_str(), capacity);
            return false;
        }
        if (surface->indexBuffer) {
            boCopy(surface->indexBuffer, buffer);
            boDelete(surface->indexBuffer);
        }
        surface->indexBuffer = buffer;
        surface->triangleCapacity = capacity;
    }
    surface->triangleCount = n;
    return true;
}

bool geomSurfaceAppendTriangle(GeometrySurface* surface, uint32_t i0, uint32_t i1, uint32_t i2)
{
    if (!surface || surface->triangleCount == std::numeric_limits<uint32_t>::max())
        return false;
    if (!geomSurfaceReserve(surface, surface->triangleCount + 1))
        return false;
    auto* indices = reinterpret_cast<uint32_t*>(surface->indexBuffer->hostCopy);
    uint32_t* triangle = indices + static_cast<size_t>(surface->triangleCount - 1) * 3;
    triangle[0] = i0;
    triangle[1] = i1;
    triangle[2] = i2;
    surface->indexBuffer->dirty = true;
    return true;
}

// ---- Editing ----

void geomMapAttributes(const Geometry* source, const Geometry* target, int table[GEOMETRY_MAX_ATTRIBUTES])
{
    std::fill(table, table + GEOMETRY_MAX_ATTRIBUTES, -1);
    if (!source || !target)
        return;
    const size_t count = std::min<size_t>(source->attributes.size(), GEOMETRY_MAX_ATTRIBUTES);
    for (size_t i = 0; i < count; ++i) {
        if (!source->buffers[i])
            continue;
        const int j = target->FindAttributeIndex(source->attributes[i].name);
        if (j >= 0 && target->buffers[j])
            table[i] = j;
    }
}

void geomCopyVertex(const Geometry* source, uint32_t sourceVertex, Geometry* target, uint32_t targetVertex,
                    const int table[GEOMETRY_MAX_ATTRIBUTES])
{
    if (!source || !target)
        return;
    const size_t count = std::min<size_t>(source->attributes.size(), GEOMETRY_MAX_ATTRIBUTES);
    for (size_t i = 0; i < count; ++i) {
        const int j = table[i];
        if (j < 0 || static_cast<size_t>(j) >= target->attributes.size())
            continue;
        const uint32_t sourceStride = vertexAttributeStride(source->attributes[i]);
        const uint32_t targetStride = vertexAttributeStride(target->attributes[j]);
        const uint8_t* from = attributeHost(source, static_cast<int>(i), uint64_t(sourceVertex) + 1);
        uint8_t* to = attributeHost(target, j, uint64_t(targetVertex) + 1);
        if (!from || !to) {
            LOG_ERROR("Vertex %u -> %u of <%s> is outside its buffers", sourceVertex, targetVertex,
                      source->attributes[i].name.c_str());
            continue;
        }
        // Same-named attributes of different layouts share what both can hold.
        std::memcpy(to + static_cast<size_t>(targetVertex) * targetStride,
                    from + static_cast<size_t>(sourceVertex) * sourceStride, std::min(sourceStride, targetStride));
    }
}

void geomAppend(Geometry* target, const Geometry* source)
{
    if (!target || !source || target->surfaces.empty() || source->surfaces.empty()) {
        LOG_ERROR("Geometry append needs two geometries with surfaces");
        return;
    }
    int table[GEOMETRY_MAX_ATTRIBUTES];
    geomMapAttributes(source, target, table);
    const uint32_t base = target->vertexCount;
    const uint32_t sourceVertices = source->vertexCount;

    // Taken before the target grows: the source may be the target itself.
    std::vector<uint32_t> triangles;
    const GeometrySurface* sourceSurface = source->surfaces[0];
    if (const uint32_t* indices = surfaceIndices(sourceSurface))
        triangles.assign(indices, indices + static_cast<size_t>(sourceSurface->triangleCount) * 3);

    for (uint32_t i = 0; i < sourceVertices; ++i) {
        if (target->vertexCount == std::numeric_limits<uint32_t>::max() ||
            geomReserveVertices(target, target->vertexCount + 1) <= target->vertexCount) {
            LOG_ERROR("Geometry append stopped after %u of %u vertices", i, sourceVertices);
            break;
        }
        target->vertexCount++;
        geomCopyVertex(source, i, target, target->vertexCount - 1, table);
    }

    GeometrySurface* surface = target->surfaces[0];
    uint32_t skipped = 0;
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        const uint32_t* triangle = &triangles[t];
        // Only triangles of appended vertices; anything else would point at unrelated or missing vertices.
        if (!triangleValid(triangle, sourceVertices) || !triangleValid(triangle, target->vertexCount - base)) {
            ++skipped;
            continue;
        }
        if (!geomSurfaceAppendTriangle(surface, base + triangle[0], base + triangle[1], base + triangle[2]))
            break;
    }
    if (skipped)
        LOG_WARNING("Geometry append skipped %u triangles with vertex indices past %u vertices", skipped,
                    sourceVertices);

    if (surface->indexBuffer)
        surface->indexBuffer->dirty = true;
    for (size_t i = 0; i < std::min<size_t>(source->attributes.size(), GEOMETRY_MAX_ATTRIBUTES); ++i)
        if (table[i] >= 0)
            target->buffers[table[i]]->dirty = true;
}

Geometry* geomClone(const Geometry* geometry)
{
    if (!geometry)
        return nullptr;
    Geometry* clone = geomCreate(geometry->vertexCount, static_cast<uint32_t>(geometry->surfaces.size()),
                                 geometry->attributes);
    if (!clone)
        return nullptr;
    for (size_t i = 0; i < geometry->buffers.size(); ++i)
        if (geometry->buffers[i])
            boCopy(geometry->buffers[i], clone->buffers[i]);
    for (size_t s = 0; s < geometry->surfaces.size(); ++s) {
        const GeometrySurface* from = geometry->surfaces[s];
        GeometrySurface* to = clone->surfaces[s];
        if (geomSurfaceReserve(to, from->triangleCount) && from->indexBuffer)
            boCopy(from->indexBuffer, to->indexBuffer);
    }
    return clone;
}

void geomCalculateNormals(Geometry* geometry)
{
    if (!geometry || geometry->builtinIndex[VERTEX_ATTRIBUTE_NORMALS] < 0)
        return;
    const uint32_t vertexCount = geometry->vertexCount;
    if (geometry->builtinIndex[VERTEX_ATTRIBUTE_COORDS] < 0) {
        LOG_ERROR("Normals need VTXCoords");
        return;
    }
    uint8_t* coords = vec3Attribute(geometry, VERTEX_ATTRIBUTE_COORDS);
    uint8_t* normals = vec3Attribute(geometry, VERTEX_ATTRIBUTE_NORMALS);
    if (!coords || !normals)
        return;
    const int normalsIndex = geometry->builtinIndex[VERTEX_ATTRIBUTE_NORMALS];
    const uint32_t coordStride = vertexAttributeStride(geometry->attributes[geometry->builtinIndex[0]]);
    const uint32_t normalStride = vertexAttributeStride(geometry->attributes[normalsIndex]);

    // Shared by every geometry; grows, never shrinks.
    static std::vector<uint32_t> faceCounts;
    if (faceCounts.size() < vertexCount)
        faceCounts.resize(vertexCount);
    std::fill(faceCounts.begin(), faceCounts.begin() + vertexCount, 0u);
    for (uint32_t v = 0; v < vertexCount; ++v)
        std::fill(vec3At(normals, normalStride, v), vec3At(normals, normalStride, v) + 3, 0.0f);

    uint32_t invalid = 0;
    for (const GeometrySurface* surface : geometry->surfaces) {
        const uint32_t* indices = surfaceIndices(surface);
        if (!indices)
            continue;
        for (uint32_t t = 0; t < surface->triangleCount; ++t) {
            const uint32_t* triangle = indices + static_cast<size_t>(t) * 3;
            if (!triangleValid(triangle, vertexCount)) {
                ++invalid;
                continue;
            }
            const float* p0 = vec3At(coords, coordStride, triangle[0]);
            const float* p1 = vec3At(coords, coordStride, triangle[1]);
            const float* p2 = vec3At(coords, coordStride, triangle[2]);
            const float a[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
            const float b[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
            float n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
            const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            // A degenerate face has no direction: it leaves its vertices' normals alone.
            if (!(length > 0.0f) || !std::isfinite(length))
                continue;
            for (int k = 0; k < 3; ++k) {
                float* normal = vec3At(normals, normalStride, triangle[k]);
                normal[0] += n[0] / length;
                normal[1] += n[1] / length;
                normal[2] += n[2] / length;
                faceCounts[triangle[k]]++;
            }
        }
    }
    for (uint32_t v = 0; v < vertexCount; ++v) {
        if (faceCounts[v] == 0)
            continue;
        float* normal = vec3At(normals, normalStride, v);
        for (int k = 0; k < 3; ++k)
            normal[k] /= static_cast<float>(faceCounts[v]);
    }
    if (invalid)
        LOG_WARNING("Normals skipped %u triangles with vertex indices past %u vertices", invalid, vertexCount);
    geometry->buffers[normalsIndex]->dirty = true;
}

void geomCalculateBoundingBox(const Geometry* geometry, float box[6])
{
    if (!geometry || !box || geometry->vertexCount == 0)
        return;
    uint8_t* coords = vec3Attribute(geometry, VERTEX_ATTRIBUTE_COORDS);
    if (!coords) {
        if (geometry->builtinIndex[VERTEX_ATTRIBUTE_COORDS] < 0)
            LOG_ERROR("Bounding box needs VTXCoords");
        return;
    }
    const uint32_t stride = vertexAttributeStride(geometry->attributes[geometry->builtinIndex[0]]);
    const float* first = vec3At(coords, stride, 0);
    float result[6] = {first[0], first[1], first[2], first[0], first[1], first[2]};
    for (uint32_t v = 1; v < geometry->vertexCount; ++v) {
        const float* p = vec3At(coords, stride, v);
        for (int k = 0; k < 3; ++k) {
            result[k] = std::min(result[k], p[k]);
            result[k + 3] = std::max(result[k + 3], p[k]);
        }
    }
    std::copy(result, result + 6, box);
}

// ---- GPU side ----

void AGLGeometryUpdate::Execute()
{
    geomUpdate(geometry);
}

namespace {
void geomUploadLocked(Geometry* geometry);
}

void geomUpdate(Geometry* geometry)
{
    if (!geometry)
        return;
    AGLGeometryUpdate command;
    command.geometry = geometry;
    if (aglExecute(&command))
        return;

    BO_CHECK_GL_ERRORS("geom update vbo...\n");
    {
        std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
        geomUploadLocked(geometry);
    }
    BO_CHECK_GL_ERRORS("geom update vbo...done\n");
}

namespace {

void geomUploadLocked(Geometry* geometry)
{
    if (geometry->vao == 0)
        glGenVertexArrays(1, &geometry->vao);
    glBindVertexArray(geometry->vao);
    BO_CHECK_GL_ERRORS("geom update vbo...done1\n");

    if (geometry->vertexCount != 0) {
        for (BufferObject* buffer : geometry->buffers) {
            if (!buffer)
                continue;
            // A buffer without host copy has nothing to send; its GL store is its only content.
            if (buffer->dirty && buffer->hostCopy && buffer->glId)
                glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(buffer->size), buffer->hostCopy);
            buffer->dirty = false;
        }
        BO_CHECK_GL_ERRORS("geom update buffers update\n");
        BO_CHECK_GL_ERRORS("geom update vbo...done2\n");
    }

    for (GeometrySurface* surface : geometry->surfaces) {
        BufferObject* buffer = surface->indexBuffer;
        if (surface->triangleCount == 0 || !buffer || !buffer->dirty)
            continue;
        if (buffer->hostCopy && buffer->glId)
            glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(buffer->size), buffer->hostCopy);
        buffer->dirty = false;
    }
    BO_CHECK_GL_ERRORS("geom update vbo...done3\n");
}

} // namespace

void geomDelete(Geometry* geometry)
{
    BO_CHECK_GL_ERRORS("delete geometry...\n");
    if (!geometry)
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
        BO_CHECK_GL_ERRORS("delete geometry gpu buffers...\n");
        for (BufferObject* buffer : geometry->buffers)
            boDelete(buffer);
        geometry->buffers.clear();
        for (GeometrySurface* surface : geometry->surfaces) {
            boDelete(surface->indexBuffer);
            delete surface;
        }
        geometry->surfaces.clear();
        boDelete(geometry->indirectBuffer);
        if (geometry->vao != 0)
            glDeleteVertexArrays(1, &geometry->vao);
        BO_CHECK_GL_ERRORS("delete gpu geometry...done\n");
    }
    delete geometry;
    BO_CHECK_GL_ERRORS("delete geometry...done\n");
}

// ---- Generated meshes ----

namespace {

// Positions in z = 0 and UVs for a mesh of VTXCoords and VTXUV0, then the mesh is uploaded.
Geometry* createFlatMesh(const float (*positions)[2], const float (*uvs)[2], uint32_t vertexCount,
                         const uint32_t (*triangles)[3], uint32_t triangleCount)
{
    Geometry* geometry = geomCreate(vertexCount, 1,
                                    {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
                                     builtinVertexAttributes[VERTEX_ATTRIBUTE_UV0]});
    if (!geometry)
        return nullptr;
    auto* coords = reinterpret_cast<float*>(geometry->buffers[0]->hostCopy);
    auto* uv = reinterpret_cast<float*>(geometry->buffers[1]->hostCopy);
    for (uint32_t v = 0; v < vertexCount; ++v) {
        coords[v * 3 + 0] = positions[v][0];
        coords[v * 3 + 1] = positions[v][1];
        coords[v * 3 + 2] = 0.0f;
        uv[v * 2 + 0] = uvs[v][0];
        uv[v * 2 + 1] = uvs[v][1];
    }
    for (uint32_t t = 0; t < triangleCount; ++t)
        geomSurfaceAppendTriangle(geometry->surfaces[0], triangles[t][0], triangles[t][1], triangles[t][2]);
    geomUpdate(geometry);
    return geometry;
}

} // namespace

Geometry* geomCreateQuad(float width, float height)
{
    const float w = width / 2.0f;
    const float h = height / 2.0f;
    const float positions[4][2] = {{-w, h}, {w, h}, {w, -h}, {-w, -h}};
    const float uvs[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    const uint32_t triangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
    return createFlatMesh(positions, uvs, 4, triangles, 2);
}

Geometry* geomCreateFullscreenTriangle(float width, float height)
{
    const float w = width / 2.0f;
    const float h = height / 2.0f;
    const float positions[3][2] = {{-w, h}, {3.0f * w, h}, {-w, -3.0f * h}};
    const float uvs[3][2] = {{0, 0}, {2, 0}, {0, 2}};
    const uint32_t triangles[1][3] = {{0, 1, 2}};
    return createFlatMesh(positions, uvs, 3, triangles, 1);
}
