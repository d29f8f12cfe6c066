// ".lobj", the engine's own mesh file: big-endian positions, triangles with a surface index, opaque surface
// records and optional texture coordinates.
//
// Layout (V, F, S the counts read from the file):
//   0           4      not interpreted ("LOBJ" when written here)
//   4           4      flags, int32 (0x04: texture coordinates follow, 0x40: 144-byte surface records)
//   8           4      V, int32
//   12          12 V   positions, float32 x, y, z
//   12 + 12V    4      F, int32
//   16 + 12V    8 F    faces: uint16 a, b, c, surface index
//   16+12V+8F   4      S, int32
//   20+12V+8F   136 S  surface records (144 S with 0x40), not interpreted
//   then        8 V    texture coordinates u, v as float32, only with 0x04
#pragma once

#include "app/math_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Object;

constexpr int32_t LOBJ_FLAG_UVS = 0x04;
constexpr int32_t LOBJ_FLAG_LONG_SURFACE_RECORDS = 0x40;
// Per-surface counters are bounded; a file with more surfaces is refused.
constexpr int32_t LOBJ_MAX_SURFACES = 64;
// Indices are 16-bit.
constexpr int32_t LOBJ_MAX_VERTICES = 65536;

struct LobjFace {
    uint16_t a = 0, b = 0, c = 0;
    uint16_t surface = 0;
};

// A mesh as the file holds it.
struct LobjMesh {
    int32_t flags = 0;
    std::vector<Vector3> positions;
    std::vector<LobjFace> faces;
    int32_t surfaceCount = 0;
    std::vector<uint8_t> surfaceRecords; // surfaceCount records; missing bytes are written as zeros
    std::vector<float> uvs;              // u, v per vertex, written when flags has LOBJ_FLAG_UVS
};

// 136, or 144 with LOBJ_FLAG_LONG_SURFACE_RECORDS.
size_t lobjSurfaceRecordSize(int32_t flags);

// Where the parts of a file image lie, after every count and vertex index has been checked against the image.
struct LobjLayout {
    int32_t flags = 0;
    int32_t vertexCount = 0;
    int32_t faceCount = 0;
    int32_t surfaceCount = 0;
    size_t positionsOffset = 0;
    size_t facesOffset = 0;
    size_t uvsOffset = 0; // 0 without texture coordinates
};

// False, with a log line, for a truncated or hostile image: negative or oversized counts, parts running past the
// end, faces naming vertices that do not exist. Surface indices out of range are the loader's business.
bool lobjReadLayout(const uint8_t* data, size_t size, LobjLayout* layout);

std::vector<uint8_t> lobjWrite(const LobjMesh& mesh);

// The built-in cube: -1 .. 1 on every axis, four vertices and unit texture coordinates per face, one surface.
LobjMesh lobjSimpleCube();

// An Object with VTXCoords, VTXUV0 (the texture coordinates, else x and y) and smooth VTXNormals, one index group
// per surface, bounds computed and the geometry uploaded. Null, with a log line, when the image is refused.
Object* entLoad(const uint8_t* data, size_t size);
