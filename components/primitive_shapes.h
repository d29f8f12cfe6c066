// Procedural meshes of the primitive renderer: torus, bevelled cube, split-face cube and plane, built on the host
// as new geometries with "VTXCoords", "VTXUV0", "VTXNormals" and "VTXAlbedo". Nothing is uploaded here; the
// renderer uploads the dirty buffers before drawing. Every result is owned by the caller (geomDelete).
#pragma once

#include <cstdint>

struct Geometry;

// The primitive renderer's "type" options, in order (null-terminated for the enum parameter).
enum PrimitiveType {
    PRIMITIVE_TORUS = 0,
    PRIMITIVE_CUBE = 1,
    PRIMITIVE_CUBE_SPLIT_FACES = 2,
    PRIMITIVE_SPHERE = 3,
    PRIMITIVE_PLANE = 4,
    PRIMITIVE_PLANE_DOUBLESIDED = 5,
};
extern const char* const primitiveTypeOptions[];

// Meshes above this many vertices or triangles are refused, so absurd subdivision counts cannot exhaust memory or
// overflow the index arithmetic.
constexpr uint64_t kPrimitiveMaxVertices = 1u << 24;
constexpr uint64_t kPrimitiveMaxTriangles = 1u << 25;

// The renderer's choice from its parameters ("type", "radius 1", "radius 2", "subdivisions 1", "subdivisions 2",
// "bevel size"): torus for type 0 (both segment counts at least 3), bevelled cube for 1, planes for 4 and 5, the
// split-face cube for every other type ("Sphere" included), with edge length 2 x "radius 1" and at least one
// subdivision. Null (after a log line) when the mesh would be too large.
Geometry* CreatePrimitiveGeometry(float type, float radius1, float radius2, float subdivisions1, float subdivisions2,
                                  float bevelSize);

// (N + 1) x (M + 1) vertices with duplicated seams, 2 N M triangles winding counter-clockwise seen from outside.
// Null (after a log line) for fewer than 3 segments either way or a mesh too large.
Geometry* CreateTorusGeometry(float ringRadius, float tubeRadius, int ringSegments, int tubeSegments);
// Six separate (n + 1)^2 grids, flat-shaded, 12 n^2 triangles. Null for n < 1 or a mesh too large.
Geometry* CreateSplitFaceCubeGeometry(float size, int subdivisions);
// Six grids of edge (1 - bevel) x size joined by bevel strips and corner triangles: 12 n^2 + 24 n + 8 triangles,
// closed. The bevel is clamped to 0 .. 1. Null for n < 1 or a mesh too large.
Geometry* CreateBevelledCubeGeometry(float size, float bevel, int subdivisions);
// (n + 1)^2 vertices in z = 0 facing -Z; a double-sided plane has a second surface with the reversed triangles.
// Null for n < 1 or a mesh too large.
Geometry* CreatePlaneGeometry(float size, int subdivisions, bool doubleSided);
