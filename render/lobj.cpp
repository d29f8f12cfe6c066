#include "render/lobj.h"

#include "app/log.h"
#include "jni/engine/grd_geometry.h"
#include "render/entities.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

uint32_t readU32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

int32_t readI32(const uint8_t* p)
{
    return static_cast<int32_t>(readU32(p));
}

uint16_t readU16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

float readF32(const uint8_t* p)
{
    const uint32_t bits = readU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void putU32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void putU16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void putF32(std::vector<uint8_t>& out, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU32(out, bits);
}

constexpr size_t kFaceBytes = 8;

} // namespace

size_t lobjSurfaceRecordSize(int32_t flags)
{
    return (flags & LOBJ_FLAG_LONG_SURFACE_RECORDS) ? 144 : 136;
}

bool lobjReadLayout(const uint8_t* data, size_t size, LobjLayout* layout)
{
    if (!data || !layout) {
        LOG_ERROR("Mesh file: no data");
        return false;
    }
    // Offsets are 64-bit sums of bounded counts, so none of them can wrap.
    auto fits = [size](uint64_t end) { return end <= size; };
    if (!fits(12)) {
        LOG_ERROR("Mesh file of %zu bytes is too short for its header", size);
        return false;
    }
    LobjLayout l;
    l.flags = readI32(data + 4);
    l.vertexCount = readI32(data + 8);
    if (l.vertexCount < 0 || l.vertexCount > LOBJ_MAX_VERTICES) {
        LOG_ERROR("Mesh file: vertex count %d outside 0..%d", l.vertexCount, LOBJ_MAX_VERTICES);
        return false;
    }
    const uint64_t V = static_cast<uint64_t>(l.vertexCount);
    l.positionsOffset = 12;
    const uint64_t faceCountAt = 12 + 12 * V;
    if (!fits(faceCountAt + 4)) {
        LOG_ERROR("Mesh file of %zu bytes ends inside its %d positions", size, l.vertexCount);
        return false;
    }
    l.faceCount = readI32(data + faceCountAt);
    const uint64_t F = static_cast<uint64_t>(l.faceCount);
    l.facesOffset = static_cast<size_t>(faceCountAt + 4);
    const uint64_t surfaceCountAt = l.facesOffset + kFaceBytes * F;
    if (l.faceCount < 0 || !fits(surfaceCountAt + 4)) {
        LOG_ERROR("Mesh file of %zu bytes cannot hold %d faces", size, l.faceCount);
        return false;
    }
    l.surfaceCount = readI32(data + surfaceCountAt);
    if (l.surfaceCount < 0 || l.surfaceCount > LOBJ_MAX_SURFACES) {
        LOG_ERROR("Mesh file: surface count %d outside 0..%d", l.surfaceCount, LOBJ_MAX_SURFACES);
        return false;
    }
    const uint64_t recordsEnd =
        surfaceCountAt + 4 + static_cast<uint64_t>(l.surfaceCount) * lobjSurfaceRecordSize(l.flags);
    if (!fits(recordsEnd)) {
        LOG_ERROR("Mesh file of %zu bytes ends inside its %d surface records", size, l.surfaceCount);
        return false;
    }
    if (l.flags & LOBJ_FLAG_UVS) {
        if (!fits(recordsEnd + 8 * V)) {
            LOG_ERROR("Mesh file of %zu bytes ends inside its texture coordinates", size);
            return false;
        }
        l.uvsOffset = static_cast<size_t>(recordsEnd);
    }
    for (int32_t f = 0; f < l.faceCount; ++f) {
        const uint8_t* face = data + l.facesOffset + kFaceBytes * static_cast<size_t>(f);
        for (int k = 0; k < 3; ++k) {
            const uint16_t index = readU16(face + 2 * k);
            if (index >= l.vertexCount) {
                LOG_ERROR("Mesh file: face %d uses vertex %u of %d", f, index, l.vertexCount);
                return false;
            }
        }
    }
    *layout = l;
    return true;
}

std::vector<uint8_t> lobjWrite(const LobjMesh& mesh)
{
    std::vector<uint8_t> out;
    const size_t recordSize = lobjSurfaceRecordSize(mesh.flags);
    const size_t surfaceCount = static_cast<size_t>(std::max(mesh.surfaceCount, 0));
    out.reserve(20 + 12 * mesh.positions.size() + 8 * mesh.faces.size() + recordSize * surfaceCount +
                8 * mesh.positions.size());
    putU32(out, 0x4C4F424Au); // "LOBJ"
    putU32(out, static_cast<uint32_t>(mesh.flags));
    putU32(out, static_cast<uint32_t>(mesh.positions.size()));
    for (const Vector3& p : mesh.positions) {
        putF32(out, p.x);
        putF32(out, p.y);
        putF32(out, p.z);
    }
    putU32(out, static_cast<uint32_t>(mesh.faces.size()));
    for (const LobjFace& face : mesh.faces) {
        putU16(out, face.a);
        putU16(out, face.b);
        putU16(out, face.c);
        putU16(out, face.surface);
    }
    putU32(out, static_cast<uint32_t>(mesh.surfaceCount));
    const size_t recordBytes = recordSize * surfaceCount;
    const size_t given = std::min(recordBytes, mesh.surfaceRecords.size());
    out.insert(out.end(), mesh.surfaceRecords.begin(), mesh.surfaceRecords.begin() + static_cast<ptrdiff_t>(given));
    out.resize(out.size() + (recordBytes - given), 0);
    if (mesh.flags & LOBJ_FLAG_UVS) {
        for (size_t i = 0; i < 2 * mesh.positions.size(); ++i)
            putF32(out, i < mesh.uvs.size() ? mesh.uvs[i] : 0.0f);
    }
    return out;
}

LobjMesh lobjSimpleCube()
{
    LobjMesh mesh;
    mesh.flags = LOBJ_FLAG_UVS;
    mesh.surfaceCount = 1;
    // Per face: the axis it faces, and two axes spanning it such that u x v points outwards.
    struct Side {
        Vector3 normal, u, v;
    };
    const Side sides[6] = {
        {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}},
        {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
        {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
    };
    const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (const Side& side : sides) {
        const auto first = static_cast<uint16_t>(mesh.positions.size());
        for (const auto& c : corners) {
            mesh.positions.push_back(side.normal + side.u * c[0] + side.v * c[1]);
            mesh.uvs.push_back((c[0] + 1.0f) / 2.0f);
            mesh.uvs.push_back((1.0f - c[1]) / 2.0f);
        }
        mesh.faces.push_back({first, static_cast<uint16_t>(first + 1), static_cast<uint16_t>(first + 2), 0});
        mesh.faces.push_back({first, static_cast<uint16_t>(first + 2), static_cast<uint16_t>(first + 3), 0});
    }
    return mesh;
}

namespace {

// The surface a face goes to; an index past the surfaces falls back to the first, with an error.
uint32_t faceSurface(const uint8_t* face, uint32_t surfaceCount)
{
    const uint32_t k = readU16(face + 6);
    if (k < surfaceCount)
        return k;
    LOG_ERROR("Surface index %d > %d. Moving to base surf", static_cast<int>(k), static_cast<int>(surfaceCount));
    return 0;
}

} // namespace

Object* entLoad(const uint8_t* data, size_t size)
{
    LobjLayout layout;
    if (!lobjReadLayout(data, size, &layout))
        return nullptr;
    const int32_t V = layout.vertexCount;
    const int32_t F = layout.faceCount;
    const int32_t S = layout.surfaceCount;

    Object* object = entCreateObject(static_cast<uint32_t>(V), static_cast<uint32_t>(std::max(S, 1)),
                                     {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
                                      builtinVertexAttributes[VERTEX_ATTRIBUTE_UV0],
                                      builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS]});
    LOG_INFO("Object: %d verts %d faces surfaces:%d", V, F, S);
    if (!object)
        return nullptr;
    Geometry* geometry = object->geometry;
    BufferObject* coordBuffer = geometry->buffers[0];
    BufferObject* uvBuffer = geometry->buffers[1];
    auto* coords = reinterpret_cast<float*>(coordBuffer->hostCopy);
    auto* uvs = reinterpret_cast<float*>(uvBuffer->hostCopy);

    for (int32_t i = 0; i < V; ++i) {
        const uint8_t* p = data + layout.positionsOffset + 12 * static_cast<size_t>(i);
        const float x = readF32(p), y = readF32(p + 4), z = readF32(p + 8);
        coords[3 * i + 0] = x;
        coords[3 * i + 1] = y;
        coords[3 * i + 2] = z;
        uvs[2 * i + 0] = x;
        uvs[2 * i + 1] = y;
    }
    coordBuffer->dirty = true;
    uvBuffer->dirty = true;

    const auto surfaceCount = static_cast<uint32_t>(geometry->surfaces.size());
    auto faceAt = [&](int32_t f) { return data + layout.facesOffset + kFaceBytes * static_cast<size_t>(f); };
    std::array<uint32_t, LOBJ_MAX_SURFACES> counts{};
    for (int32_t f = 0; f < F; ++f)
        ++counts[faceSurface(faceAt(f), surfaceCount)];
    for (uint32_t k = 0; k < surfaceCount; ++k) {
        if (!geomSurfaceReserve(geometry->surfaces[k], counts[k])) {
            LOG_ERROR("Mesh file: no room for %u faces of surface %u", counts[k], k);
            geomDelete(geometry);
            delete object;
            return nullptr;
        }
    }
    std::array<uint32_t, LOBJ_MAX_SURFACES> written{};
    for (int32_t f = 0; f < F; ++f) {
        const uint8_t* face = faceAt(f);
        const uint32_t k = faceSurface(face, surfaceCount);
        GeometrySurface* surface = geometry->surfaces[k];
        uint32_t* triangle = reinterpret_cast<uint32_t*>(surface->indexBuffer->hostCopy) + 3 * written[k]++;
        triangle[0] = readU16(face);
        triangle[1] = readU16(face + 2);
        triangle[2] = readU16(face + 4);
    }
    for (GeometrySurface* surface : geometry->surfaces)
        if (surface->indexBuffer)
            surface->indexBuffer->dirty = true;

    if (layout.uvsOffset != 0) {
        for (int32_t i = 0; i < V; ++i) {
            const uint8_t* p = data + layout.uvsOffset + 8 * static_cast<size_t>(i);
            uvs[2 * i + 0] = readF32(p);
            uvs[2 * i + 1] = readF32(p + 4);
        }
    }

    LOG_INFO("Loaded, calculating normals, updating geometry buffers...");
    geomCalculateNormals(geometry);
    geomCalculateBoundingBox(geometry, object->bounds);
    geomUpdate(geometry);
    LOG_INFO("Done");
    return object;
}
