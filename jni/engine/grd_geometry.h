// Meshes kept as host copies for editing and as GL buffers that shaders read as storage blocks.
#pragma once

#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_state.h"

#include <cstdint>
#include <string>
#include <vector>

// Attribute codes: 0-5 the built-ins, 6 any other named attribute.
enum VertexAttributeCode {
    VERTEX_ATTRIBUTE_COORDS = 0,
    VERTEX_ATTRIBUTE_NORMALS = 1,
    VERTEX_ATTRIBUTE_ALBEDO = 2,
    VERTEX_ATTRIBUTE_UV0 = 3,
    VERTEX_ATTRIBUTE_UV1 = 4,
    VERTEX_ATTRIBUTE_BONES_WEIGHTS = 5,
    VERTEX_ATTRIBUTE_CUSTOM = 6,
    VERTEX_ATTRIBUTE_BUILTIN_COUNT = 6,
};

struct VertexAttribute {
    int code = VERTEX_ATTRIBUTE_CUSTOM;
    int componentType = 0;  // 0 float (4 bytes), 1 four bytes, 2 two bytes, 3 one byte
    int componentCount = 0;
    std::string name;       // also the storage-block name shaders read the data under
};

// 4, 4, 2, 1 for component types 0-3; 0 for any other code.
uint32_t vertexComponentSize(int componentType);
// Component size x component count.
uint32_t vertexAttributeStride(const VertexAttribute& attribute);

// "VTXCoords", "VTXNormals", "VTXAlbedo", "VTXUV0", "VTXUV1", "VTXBonesWeights", indexed by code.
extern const VertexAttribute builtinVertexAttributes[VERTEX_ATTRIBUTE_BUILTIN_COUNT];

// One index group: three 32-bit vertex indices per triangle, plus the material values loaders fill in.
struct GeometrySurface {
    std::string name;
    uint32_t triangleCount = 0;
    bool disabled = false;               // renderers skip the surface
    BufferObject* indexBuffer = nullptr; // null until the first reservation
    uint32_t triangleCapacity = 0;
    uint64_t userData = 0;
    float transparency = 0.0f;
    float roughness = 0.5f;
    float metalness = 0.0f;
    float color[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    float emissive[4] = {0.0f, 0.0f, 0.0f, 0.0f};
};

// Fixed tables elsewhere (attribute maps, indirect commands) bound these.
constexpr int GEOMETRY_MAX_ATTRIBUTES = 128;
constexpr int GEOMETRY_MAX_SURFACES = 256;

struct Geometry {
    uint32_t vertexCount = 0;
    uint32_t vertexCapacity = 0; // vertices every attribute buffer holds
    std::vector<GeometrySurface*> surfaces;
    std::vector<VertexAttribute> attributes;
    std::vector<BufferObject*> buffers; // buffers[i] holds attributes[i]
    BufferObject* indirectBuffer = nullptr;
    int builtinIndex[VERTEX_ATTRIBUTE_BUILTIN_COUNT] = {-1, -1, -1, -1, -1, -1};
    unsigned int vao = 0;

    // Appends the attribute with a zeroed buffer of vertexCapacity x stride bytes, labelled with its name.
    // False (after a log line) when the geometry already has the most attributes or the buffer cannot be made.
    bool AddAttribute(const VertexAttribute& attribute);
    // False, with a warning, when a built-in code occurs twice.
    bool ValidateAttributes() const;
    int FindAttributeIndex(const std::string& name) const;
    BufferObject* FindAttributeBuffer(const std::string& name) const;
};

// {min x, min y, min z, max x, max y, max z} = {-1, -1, -1, 1, 1, 1}.
extern const float unitBox[6];

// The capacity a request for n grows to: n + 64 below 1024, else n + n / 2 (at most 2^32 - 1).
uint32_t geomGrowCapacity(uint32_t n);

// max(surfaceCount, 1) surfaces named "Unnamed", "Unnamed (2)", ... and one buffer per attribute. Null (after a
// log line) for more than 128 attributes or 256 surfaces, or when a buffer cannot be made.
Geometry* geomCreate(uint32_t vertexCount, uint32_t surfaceCount, const std::vector<VertexAttribute>& attributes);
// The name when no surface has it, else "name (k)" with k = 2 + the surfaces whose names begin with "name (".
std::string geomUniqueSurfaceName(const Geometry* geometry, const std::string& name);

// Grows every attribute buffer to hold n vertices (contents kept). Returns the capacity; 0 for null.
uint32_t geomReserveVertices(Geometry* geometry, uint32_t n);
// Makes the index buffer hold n triangles (contents kept) and sets triangleCount = n. False, with the surface
// unchanged, when the buffer cannot be made.
bool geomSurfaceReserve(GeometrySurface* surface, uint32_t n);
// Appends one triangle and marks the index buffer dirty.
bool geomSurfaceAppendTriangle(GeometrySurface* surface, uint32_t i0, uint32_t i1, uint32_t i2);

// table[i] = index of the target attribute named like source attribute i (both with buffers), else -1.
void geomMapAttributes(const Geometry* source, const Geometry* target, int table[GEOMETRY_MAX_ATTRIBUTES]);
// Copies one vertex's mapped attributes between host copies; marks nothing dirty.
void geomCopyVertex(const Geometry* source, uint32_t sourceVertex, Geometry* target, uint32_t targetVertex,
                    const int table[GEOMETRY_MAX_ATTRIBUTES]);
// Appends the source's vertices and its first surface's triangles to the target's first surface.
void geomAppend(Geometry* target, const Geometry* source);
Geometry* geomClone(const Geometry* geometry);

// Smooth normals into VTXNormals: the average of the unit normals of the faces around each vertex.
void geomCalculateNormals(Geometry* geometry);
// Box of VTXCoords over the vertices in use; untouched when there are none.
void geomCalculateBoundingBox(const Geometry* geometry, float box[6]);

// Uploads the dirty buffers and makes the vertex array; off the main thread through an AGLGeometryUpdate.
void geomUpdate(Geometry* geometry);
void geomDelete(Geometry* geometry);

struct AGLGeometryUpdate : AGLCommand {
    Geometry* geometry = nullptr;
    void Execute() override;
};

// 4 vertices (VTXCoords, VTXUV0) and 2 triangles in z = 0, centred on the origin; uploaded.
Geometry* geomCreateQuad(float width, float height);
// One triangle whose middle covers the width x height rectangle centred on the origin; uploaded.
Geometry* geomCreateFullscreenTriangle(float width, float height);
