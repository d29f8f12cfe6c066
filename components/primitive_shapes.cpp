#include "components/primitive_shapes.h"

#include "app/log.h"
#include "app/math_types.h"
#include "jni/engine/grd_geometry.h"

#include <cmath>

const char* const primitiveTypeOptions[] = {"Torus",  "Cube",  "Cube with Split Faces", "Sphere",
                                            "Plane",  "Doublesided Plane", nullptr};

namespace {

constexpr double kPi = 3.14159265358979323846;

// Host copies of the four attributes every primitive has, written vertex by vertex.
struct PrimitiveWriter {
    Geometry* geometry = nullptr;
    float* coords = nullptr;
    float* uvs = nullptr;
    float* normals = nullptr;

    static void put(float* at, const Vector3& p)
    {
        at[0] = p.x;
        at[1] = p.y;
        at[2] = p.z;
    }
    void vertex(uint32_t v, const Vector3& p, float u, float w) const
    {
        put(coords + static_cast<size_t>(v) * 3, p);
        uvs[static_cast<size_t>(v) * 2] = u;
        uvs[static_cast<size_t>(v) * 2 + 1] = w;
    }
    void normal(uint32_t v, const Vector3& n) const { put(normals + static_cast<size_t>(v) * 3, n); }
    Vector3 normalAt(uint32_t v) const
    {
        const float* n = normals + static_cast<size_t>(v) * 3;
        return {n[0], n[1], n[2]};
    }
};

// Appends triangles into an index buffer reserved up front.
struct TriangleWriter {
    uint32_t* indices = nullptr;
    size_t at = 0;

    void add(uint64_t a, uint64_t b, uint64_t c)
    {
        indices[at++] = static_cast<uint32_t>(a);
        indices[at++] = static_cast<uint32_t>(b);
        indices[at++] = static_cast<uint32_t>(c);
    }
};

float* hostFloats(const Geometry* geometry, int code)
{
    return reinterpret_cast<float*>(geometry->buffers[geometry->builtinIndex[code]]->hostCopy);
}

bool sizeAcceptable(const char* shape, uint64_t vertices, uint64_t triangles)
{
    if (vertices <= kPrimitiveMaxVertices && triangles <= kPrimitiveMaxTriangles)
        return true;
    LOG_ERROR("%s of %llu vertices and %llu triangles refused (at most %llu and %llu)", shape,
              static_cast<unsigned long long>(vertices), static_cast<unsigned long long>(triangles),
              static_cast<unsigned long long>(kPrimitiveMaxVertices),
              static_cast<unsigned long long>(kPrimitiveMaxTriangles));
    return false;
}

// A geometry with the primitive attributes, white vertex colours and every surface's index buffer able to hold
// `triangles`; null after a log line.
bool createPrimitive(uint32_t vertices, uint32_t surfaces, uint32_t triangles, PrimitiveWriter& writer)
{
    static const std::vector<VertexAttribute> attributes = {
        builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS], builtinVertexAttributes[VERTEX_ATTRIBUTE_UV0],
        builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS], builtinVertexAttributes[VERTEX_ATTRIBUTE_ALBEDO]};
    Geometry* geometry = geomCreate(vertices, surfaces, attributes);
    if (!geometry)
        return false;
    for (GeometrySurface* surface : geometry->surfaces) {
        if (!geomSurfaceReserve(surface, triangles)) {
            geomDelete(geometry);
            return false;
        }
        surface->indexBuffer->dirty = true;
    }
    float* albedo = hostFloats(geometry, VERTEX_ATTRIBUTE_ALBEDO);
    for (size_t i = 0; i < static_cast<size_t>(vertices) * 3; ++i)
        albedo[i] = 1.0f;
    for (BufferObject* buffer : geometry->buffers)
        buffer->dirty = true;
    writer.geometry = geometry;
    writer.coords = hostFloats(geometry, VERTEX_ATTRIBUTE_COORDS);
    writer.uvs = hostFloats(geometry, VERTEX_ATTRIBUTE_UV0);
    writer.normals = hostFloats(geometry, VERTEX_ATTRIBUTE_NORMALS);
    return true;
}

TriangleWriter trianglesOf(const Geometry* geometry, size_t surface)
{
    return TriangleWriter{reinterpret_cast<uint32_t*>(geometry->surfaces[surface]->indexBuffer->hostCopy), 0};
}

// Orientation of one cube face: (0, 0, -1) turned by yaw about +Y, then by pitch about +X.
struct FaceAngles {
    float yaw;
    float pitch;
};

constexpr FaceAngles kSplitFaces[6] = {{0, 0}, {90, 0}, {180, 0}, {270, 0}, {0, -90}, {0, 90}};
constexpr FaceAngles kBevelFaces[6] = {{0, 0}, {-90, 0}, {-180, 0}, {-270, 0}, {180, 90}, {180, -90}};

Vector3 turn(Vector3 p, const FaceAngles& face)
{
    p.RotateAroundAxis({0.0f, 1.0f, 0.0f}, face.yaw);
    p.RotateAroundAxis({1.0f, 0.0f, 0.0f}, face.pitch);
    return p;
}

bool countsValid(const char* shape, int subdivisions)
{
    if (subdivisions >= 1)
        return true;
    LOG_ERROR("%s needs at least 1 subdivision, got %d", shape, subdivisions);
    return false;
}

// Six face grids of edge `grid` at distance size / 2 from the centre, with two triangles per cell winding
// counter-clockwise seen from outside.
void writeFaceGrids(const PrimitiveWriter& writer, TriangleWriter& triangles, float size, float grid, int n,
                    const FaceAngles (&faces)[6])
{
    const uint64_t a = static_cast<uint64_t>(n) + 1;
    for (uint64_t f = 0; f < 6; ++f) {
        const uint64_t c = f * a * a;
        for (uint64_t i = 0; i < a; ++i) {
            for (uint64_t k = 0; k < a; ++k) {
                const Vector3 p = turn({static_cast<float>(k) * grid / static_cast<float>(n) - grid / 2,
                                        static_cast<float>(i) * grid / static_cast<float>(n) - grid / 2, -size / 2},
                                       faces[f]);
                writer.vertex(static_cast<uint32_t>(c + i * a + k), p, p.x, p.y);
            }
        }
        for (uint64_t e = 0; e < static_cast<uint64_t>(n); ++e) {
            for (uint64_t m = 0; m < static_cast<uint64_t>(n); ++m) {
                triangles.add(c + (e + 1) * a + m, c + e * a + m + 1, c + e * a + m);
                triangles.add(c + (e + 1) * a + m + 1, c + e * a + m + 1, c + (e + 1) * a + m);
            }
        }
    }
}

// Parameter value -> count: at least `minimum`, NaN included, and capped well above what the size limits allow.
int toCount(float value, int minimum)
{
    if (!(value >= static_cast<float>(minimum)))
        return minimum;
    return value > 1.0e8f ? 100000000 : static_cast<int>(value);
}

} // namespace

Geometry* CreatePrimitiveGeometry(float type, float radius1, float radius2, float subdivisions1, float subdivisions2,
                                  float bevelSize)
{
    // Truncated like the stored value; anything out of the option range builds the split-face cube.
    const int t = std::isfinite(type) && std::fabs(type) < 1.0e6f ? static_cast<int>(type) : -1;
    if (t == PRIMITIVE_TORUS)
        return CreateTorusGeometry(radius1, radius2, toCount(subdivisions1, 3), toCount(subdivisions2, 3));
    const int n = toCount(subdivisions1, 1);
    const float size = 2.0f * radius1;
    switch (t) {
    case PRIMITIVE_CUBE:
        return CreateBevelledCubeGeometry(size, bevelSize, n);
    case PRIMITIVE_PLANE:
        return CreatePlaneGeometry(size, n, false);
    case PRIMITIVE_PLANE_DOUBLESIDED:
        return CreatePlaneGeometry(size, n, true);
    default:
        return CreateSplitFaceCubeGeometry(size, n);
    }
}

Geometry* CreateTorusGeometry(float R, float r, int N, int M)
{
    if (N < 3 || M < 3) {
        LOG_ERROR("Torus needs at least 3 ring and 3 tube segments, got %d and %d", N, M);
        return nullptr;
    }
    const uint64_t W = static_cast<uint64_t>(M) + 1;
    const uint64_t vertices = (static_cast<uint64_t>(N) + 1) * W;
    const uint64_t triangles = 2ull * static_cast<uint64_t>(N) * static_cast<uint64_t>(M);
    PrimitiveWriter writer;
    if (!sizeAcceptable("Torus", vertices, triangles) ||
        !createPrimitive(static_cast<uint32_t>(vertices), 1, static_cast<uint32_t>(triangles), writer))
        return nullptr;

    for (uint64_t k = 0; k <= static_cast<uint64_t>(N); ++k) {
        const float theta = static_cast<float>(2.0 * kPi / N * static_cast<double>(k));
        const Vector3 centre{R * std::cos(theta), 0.0f, R * std::sin(theta)};
        for (uint64_t l = 0; l < W; ++l) {
            const float phi = static_cast<float>(static_cast<double>(l) * (2.0 * kPi / M));
            const float ring = R + r * std::cos(phi);
            const Vector3 p{ring * std::cos(theta), r * std::sin(phi), ring * std::sin(theta)};
            const auto v = static_cast<uint32_t>(k * W + l);
            writer.vertex(v, p, static_cast<float>(l) / static_cast<float>(M),
                          static_cast<float>(k) / static_cast<float>(N));
            writer.normal(v, (p - centre).Normalized());
        }
    }
    TriangleWriter out = trianglesOf(writer.geometry, 0);
    for (uint64_t k = 0; k < static_cast<uint64_t>(N); ++k) {
        for (uint64_t l = 0; l < static_cast<uint64_t>(M); ++l) {
            out.add(k * W + l, k * W + l + 1, (k + 1) * W + l);
            out.add((k + 1) * W + l, k * W + l + 1, (k + 1) * W + l + 1);
        }
    }
    return writer.geometry;
}

Geometry* CreateSplitFaceCubeGeometry(float s, int n)
{
    if (!countsValid("Split-face cube", n))
        return nullptr;
    const uint64_t a = static_cast<uint64_t>(n) + 1;
    const uint64_t triangles = 12ull * static_cast<uint64_t>(n) * static_cast<uint64_t>(n);
    PrimitiveWriter writer;
    if (!sizeAcceptable("Split-face cube", 6 * a * a, triangles) ||
        !createPrimitive(static_cast<uint32_t>(6 * a * a), 1, static_cast<uint32_t>(triangles), writer))
        return nullptr;
    TriangleWriter out = trianglesOf(writer.geometry, 0);
    writeFaceGrids(writer, out, s, s, n, kSplitFaces);
    // Every face has vertices of its own, so the averaged normals are the flat face normals.
    geomCalculateNormals(writer.geometry);
    return writer.geometry;
}

Geometry* CreateBevelledCubeGeometry(float s, float b, int n)
{
    if (!countsValid("Bevelled cube", n))
        return nullptr;
    b = b > 0.0f ? (b < 1.0f ? b : 1.0f) : 0.0f; // NaN counts as no bevel
    const uint64_t a = static_cast<uint64_t>(n) + 1;
    const uint64_t nn = static_cast<uint64_t>(n);
    const uint64_t gridTriangles = 12 * nn * nn;
    const uint64_t triangles = gridTriangles + 24 * nn + 8;
    PrimitiveWriter writer;
    if (!sizeAcceptable("Bevelled cube", 6 * a * a, triangles) ||
        !createPrimitive(static_cast<uint32_t>(6 * a * a), 1, static_cast<uint32_t>(triangles), writer))
        return nullptr;
    Geometry* geometry = writer.geometry;
    GeometrySurface* surface = geometry->surfaces[0];
    TriangleWriter out = trianglesOf(geometry, 0);
    writeFaceGrids(writer, out, s, (1.0f - b) * s, n, kBevelFaces);

    // Normals from the face grids alone: each face vertex keeps its face's normal and the bevels added below
    // blend between the faces they join. (The capacity is already there; only the count changes.)
    geomSurfaceReserve(surface, static_cast<uint32_t>(gridTriangles));
    geomCalculateNormals(geometry);
    geomSurfaceReserve(surface, static_cast<uint32_t>(triangles));
    // A grid collapsed to a point (bevel 1) has no area to take a normal from: its vertices face the face's way.
    for (uint64_t f = 0; f < 6; ++f) {
        const Vector3 facing = turn({0.0f, 0.0f, -1.0f}, kBevelFaces[f]).Normalized();
        for (uint64_t v = f * a * a; v < (f + 1) * a * a; ++v)
            if (writer.normalAt(static_cast<uint32_t>(v)).Length() == 0.0f)
                writer.normal(static_cast<uint32_t>(v), facing);
    }

    struct EdgeRow {
        int faceA, faceB;
        bool flip;
        int64_t aStart, aRow, bStart, bRow, aStep, bStep;
    };
    const auto N = static_cast<int64_t>(n);
    const auto A = static_cast<int64_t>(a);
    const EdgeRow edges[12] = {
        {0, 4, false, N, 0, 0, 0, -1, 1},  {4, 2, false, 0, N, 0, 0, 1, 1},   {2, 5, false, 0, N, 0, 0, 1, 1},
        {5, 0, false, 0, N, N, N, 1, -1},  {0, 1, true, N, 0, 0, 0, A, A},    {1, 2, true, N, 0, 0, 0, A, A},
        {2, 3, true, N, 0, 0, 0, A, A},    {3, 0, true, N, 0, 0, 0, A, A},    {1, 4, true, 0, 0, 0, 0, 1, A},
        {4, 3, false, N, N, 0, 0, -A, 1},  {3, 5, true, N, N, N, N, -1, -A}, {5, 1, true, 0, N, 0, N, -A, 1},
    };
    for (const EdgeRow& edge : edges) {
        auto at = [&](int face, int64_t start, int64_t row, int64_t step, int64_t i) {
            return static_cast<uint64_t>(face * A * A + start + A * row + i * step);
        };
        for (int64_t i = 0; i < N; ++i) {
            const uint64_t a0 = at(edge.faceA, edge.aStart, edge.aRow, edge.aStep, i);
            const uint64_t a1 = at(edge.faceA, edge.aStart, edge.aRow, edge.aStep, i + 1);
            const uint64_t b0 = at(edge.faceB, edge.bStart, edge.bRow, edge.bStep, i);
            const uint64_t b1 = at(edge.faceB, edge.bStart, edge.bRow, edge.bStep, i + 1);
            if (edge.flip) {
                out.add(b1, b0, a0);
                out.add(a0, a1, b1);
            } else {
                out.add(a0, b0, b1);
                out.add(b1, a1, a0);
            }
        }
    }

    // Corner triangles: {face, column, row} of their three grid corners.
    constexpr int corners[8][3][3] = {
        {{0, 0, 0}, {4, 1, 0}, {3, 1, 0}}, {{1, 0, 0}, {4, 0, 0}, {0, 1, 0}}, {{2, 0, 0}, {4, 0, 1}, {1, 1, 0}},
        {{3, 0, 0}, {4, 1, 1}, {2, 1, 0}}, {{0, 0, 1}, {5, 1, 1}, {3, 1, 1}}, {{1, 0, 1}, {5, 0, 1}, {0, 1, 1}},
        {{2, 0, 1}, {5, 0, 0}, {1, 1, 1}}, {{3, 0, 1}, {5, 1, 0}, {2, 1, 1}},
    };
    for (int row = 0; row < 8; ++row) {
        uint64_t v[3];
        for (int j = 0; j < 3; ++j) {
            const int* corner = corners[row][j];
            v[j] = static_cast<uint64_t>(corner[0]) * a * a + nn * (a * corner[2] + corner[1]);
        }
        if (row < 4)
            out.add(v[0], v[1], v[2]);
        else
            out.add(v[2], v[1], v[0]);
    }
    return geometry;
}

Geometry* CreatePlaneGeometry(float s, int n, bool doubleSided)
{
    if (!countsValid("Plane", n))
        return nullptr;
    const uint64_t a = static_cast<uint64_t>(n) + 1;
    const uint64_t triangles = 2ull * static_cast<uint64_t>(n) * static_cast<uint64_t>(n);
    PrimitiveWriter writer;
    if (!sizeAcceptable("Plane", a * a, triangles) ||
        !createPrimitive(static_cast<uint32_t>(a * a), doubleSided ? 2 : 1, static_cast<uint32_t>(triangles),
                         writer))
        return nullptr;
    const double half = static_cast<double>(s) * 0.5;
    for (uint64_t j = 0; j < a; ++j) {
        for (uint64_t k = 0; k < a; ++k) {
            const auto x = static_cast<float>(static_cast<double>(static_cast<float>(k) * s / static_cast<float>(n)) -
                                              half);
            const auto y = static_cast<float>(static_cast<double>(static_cast<float>(j) * s / static_cast<float>(n)) -
                                              half);
            const auto v = static_cast<uint32_t>(j * a + k);
            writer.vertex(v, {x, y, 0.0f}, x, y);
            writer.normal(v, {0.0f, 0.0f, -1.0f});
        }
    }
    TriangleWriter front = trianglesOf(writer.geometry, 0);
    TriangleWriter back = doubleSided ? trianglesOf(writer.geometry, 1) : TriangleWriter{};
    for (uint64_t j = 0; j < static_cast<uint64_t>(n); ++j) {
        for (uint64_t c = 0; c < static_cast<uint64_t>(n); ++c) {
            auto v = [a](uint64_t row, uint64_t column) { return row * a + column; };
            front.add(v(j + 1, c), v(j, c + 1), v(j, c));
            front.add(v(j + 1, c + 1), v(j, c + 1), v(j + 1, c));
            if (doubleSided) {
                back.add(v(j, c), v(j, c + 1), v(j + 1, c));
                back.add(v(j + 1, c), v(j, c + 1), v(j + 1, c + 1));
            }
        }
    }
    return writer.geometry;
}
