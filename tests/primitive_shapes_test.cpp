#include "components/primitive_shapes.h"

#include "gl_context.h"
#include "jni/engine/grd_geometry.h"
#include "project_test_util.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

struct GeometryDeleter {
    void operator()(Geometry* geometry) const { geomDelete(geometry); }
};
using GeometryPtr = std::unique_ptr<Geometry, GeometryDeleter>;

using V3 = std::array<double, 3>;

V3 sub(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
V3 cross(const V3& a, const V3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double length(const V3& a) { return std::sqrt(dot(a, a)); }

// Host-side view of a primitive: the attributes by vertex and the triangles by surface.
struct Mesh {
    std::vector<V3> positions, normals, colours;
    std::vector<std::array<double, 2>> uvs;
    std::vector<std::vector<std::array<uint32_t, 3>>> surfaces;

    explicit Mesh(const Geometry* geometry)
    {
        auto floats = [&](const char* name) {
            const BufferObject* buffer = geometry->FindAttributeBuffer(name);
            return buffer ? reinterpret_cast<const float*>(buffer->hostCopy) : nullptr;
        };
        const float* p = floats("VTXCoords");
        const float* n = floats("VTXNormals");
        const float* c = floats("VTXAlbedo");
        const float* t = floats("VTXUV0");
        for (uint32_t v = 0; v < geometry->vertexCount; ++v) {
            positions.push_back({p[v * 3], p[v * 3 + 1], p[v * 3 + 2]});
            normals.push_back({n[v * 3], n[v * 3 + 1], n[v * 3 + 2]});
            colours.push_back({c[v * 3], c[v * 3 + 1], c[v * 3 + 2]});
            uvs.push_back({t[v * 2], t[v * 2 + 1]});
        }
        for (const GeometrySurface* surface : geometry->surfaces) {
            const auto* indices = reinterpret_cast<const uint32_t*>(surface->indexBuffer->hostCopy);
            auto& triangles = surfaces.emplace_back();
            for (uint32_t i = 0; i < surface->triangleCount; ++i)
                triangles.push_back({indices[i * 3], indices[i * 3 + 1], indices[i * 3 + 2]});
        }
    }

    V3 faceNormal(const std::array<uint32_t, 3>& t) const
    {
        return cross(sub(positions[t[1]], positions[t[0]]), sub(positions[t[2]], positions[t[0]]));
    }
    V3 centroid(const std::array<uint32_t, 3>& t) const
    {
        V3 c{};
        for (uint32_t v : t)
            for (int k = 0; k < 3; ++k)
                c[k] += positions[v][k] / 3.0;
        return c;
    }

    // Closed when every directed edge meets its reverse exactly once. Vertices are welded by position when asked
    // (seams and split faces duplicate them).
    std::string openEdges(size_t surface, bool weld) const
    {
        std::map<std::array<long long, 3>, uint32_t> welded;
        auto id = [&](uint32_t v) -> uint32_t {
            if (!weld)
                return v;
            const std::array<long long, 3> key{std::llround(positions[v][0] * 1e4), std::llround(positions[v][1] * 1e4),
                                               std::llround(positions[v][2] * 1e4)};
            return welded.emplace(key, static_cast<uint32_t>(welded.size())).first->second;
        };
        std::map<std::pair<uint32_t, uint32_t>, int> edges;
        for (const auto& t : surfaces[surface]) {
            const uint32_t w[3] = {id(t[0]), id(t[1]), id(t[2])};
            for (int k = 0; k < 3; ++k)
                if (w[k] != w[(k + 1) % 3]) // edges of collapsed corners carry no surface
                    edges[{w[k], w[(k + 1) % 3]}]++;
        }
        std::string problems;
        for (const auto& [edge, count] : edges) {
            const auto back = edges.find({edge.second, edge.first});
            const int reverse = back == edges.end() ? 0 : back->second;
            if (count != reverse)
                problems += "(" + std::to_string(edge.first) + "," + std::to_string(edge.second) + ") x" +
                            std::to_string(count) + " back x" + std::to_string(reverse) + "; ";
        }
        return problems;
    }

    // Six times the enclosed volume, positive when the triangles wind counter-clockwise seen from outside.
    double signedVolume(size_t surface) const
    {
        double volume = 0.0;
        for (const auto& t : surfaces[surface])
            volume += dot(positions[t[0]], cross(positions[t[1]], positions[t[2]]));
        return volume / 6.0;
    }
};

class PrimitiveShapes : public GLTest {};

struct ShapeCase {
    const char* label;
    float type, radius1, radius2, subdivisions1, subdivisions2, bevel;
    uint32_t vertices;
    std::vector<uint32_t> triangles; // per surface
    bool closed;
    bool weld;      // closed only once coincident vertices are welded
    double volume;  // expected enclosed volume, 0 = only its sign is checked
};

// The point "outward" is measured from: the cube's centre, or for a torus the mean of the tube centres of the
// triangle's corners (each vertex lies on the ring angle of its own tube circle).
V3 outwardReference(const ShapeCase& c, const Mesh& mesh, const std::array<uint32_t, 3>& t)
{
    V3 reference{};
    if (c.type != 0.0f)
        return reference;
    for (uint32_t v : t) {
        const double theta = std::atan2(mesh.positions[v][2], mesh.positions[v][0]);
        reference[0] += c.radius1 * std::cos(theta) / 3.0;
        reference[2] += c.radius1 * std::sin(theta) / 3.0;
    }
    return reference;
}

} // namespace

TEST_F(PrimitiveShapes, GoldenTableOfShapes)
{
    const double pi = 3.14159265358979323846;
    const std::vector<ShapeCase> cases = {
        // Segment counts below 3 become 3: 16 vertices, 18 triangles.
        {"torus 0/1 segments", 0, 1.0f, 0.25f, 0, 1, 0, 16, {18}, true, true, 0},
        {"torus 64x32", 0, 1.0f, 0.25f, 64, 32, 0, 65 * 33, {4096}, true, true, 2 * pi * pi * 1.0 * 0.0625},
        {"tiny torus", 0, 0.01f, 0.01f, 8, 8, 0, 81, {128}, true, true, 0},
        {"cube 1", 1, 1.0f, 0, 1, 0, 0.2f, 24, {44}, true, false, 0},
        {"cube 3", 1, 1.0f, 0, 3, 0, 0.2f, 96, {188}, true, false, 0},
        {"cube bevel 0", 1, 0.5f, 0, 2, 0, 0.0f, 54, {12 * 4 + 48 + 8}, true, false, 1.0},
        {"cube bevel 1", 1, 1.0f, 0, 2, 0, 1.0f, 54, {12 * 4 + 48 + 8}, true, false, 8.0 / 6.0 * 1.0},
        {"split faces 1", 2, 1.0f, 0, 1, 0, 0, 24, {12}, true, true, 8.0},
        {"split faces 4", 2, 0.5f, 0, 4, 0, 0, 150, {192}, true, true, 1.0},
        {"sphere is the split cube", 3, 1.0f, 0, 1, 0, 0, 24, {12}, true, true, 8.0},
        {"type 7", 7, 1.0f, 0, 1, 0, 0, 24, {12}, true, true, 8.0},
        {"subdivisions 0 give 1", 2, 1.0f, 0, 0, 0, 0, 24, {12}, true, true, 8.0},
        {"plane 2", 4, 1.0f, 0, 2, 0, 0, 9, {8}, false, false, 0},
        {"type 4.9", 4.9f, 1.0f, 0, 2, 0, 0, 9, {8}, false, false, 0},
        {"doublesided plane 2", 5, 1.0f, 0, 2, 0, 0, 9, {8, 8}, false, false, 0},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.label);
        GeometryPtr geometry(
            CreatePrimitiveGeometry(c.type, c.radius1, c.radius2, c.subdivisions1, c.subdivisions2, c.bevel));
        ASSERT_TRUE(geometry);
        ASSERT_EQ(geometry->vertexCount, c.vertices);
        ASSERT_EQ(geometry->surfaces.size(), c.triangles.size());
        EXPECT_EQ(geometry->surfaces[0]->name, "Unnamed");
        ASSERT_EQ(geometry->attributes.size(), 4u);
        EXPECT_EQ(geometry->attributes[0].name, "VTXCoords");
        EXPECT_EQ(geometry->attributes[1].name, "VTXUV0");
        EXPECT_EQ(geometry->attributes[2].name, "VTXNormals");
        EXPECT_EQ(geometry->attributes[3].name, "VTXAlbedo");
        for (size_t s = 0; s < c.triangles.size(); ++s)
            EXPECT_EQ(geometry->surfaces[s]->triangleCount, c.triangles[s]) << "surface " << s;
        for (const BufferObject* buffer : geometry->buffers)
            EXPECT_TRUE(buffer->dirty);
        EXPECT_TRUE(geometry->surfaces[0]->indexBuffer->dirty);

        const Mesh mesh(geometry.get());
        for (uint32_t v = 0; v < c.vertices; ++v) {
            ASSERT_NEAR(length(mesh.normals[v]), 1.0, 1e-4) << "vertex " << v;
            ASSERT_EQ(mesh.colours[v], (V3{1, 1, 1}));
        }
        for (const auto& triangles : mesh.surfaces)
            for (const auto& t : triangles)
                for (uint32_t v : t)
                    ASSERT_LT(v, c.vertices);

        if (c.closed) {
            EXPECT_EQ(mesh.openEdges(0, c.weld), "");
            if (c.volume > 0)
                EXPECT_NEAR(mesh.signedVolume(0), c.volume, c.volume * 0.02);
            else
                EXPECT_GT(mesh.signedVolume(0), 0.0);
        }
        // Every triangle with an area faces away from the inside, and so do the normals of its corners.
        for (size_t s = 0; s < mesh.surfaces.size(); ++s) {
            for (const auto& t : mesh.surfaces[s]) {
                const V3 face = mesh.faceNormal(t);
                if (length(face) < 1e-6) // collapsed bevels: rounding leaves them no usable direction
                    continue;
                if (c.closed)
                    EXPECT_GT(dot(face, sub(mesh.centroid(t), outwardReference(c, mesh, t))), 0.0);
                else // planes: surface 0 faces -Z, the second surface +Z
                    EXPECT_NEAR(face[2] / length(face), s == 0 ? -1.0 : 1.0, 1e-6);
                if (c.closed)
                    for (uint32_t v : t) {
                        EXPECT_GT(dot(face, mesh.normals[v]), 0.0) << "vertex " << v;
                    }
            }
        }
    }
}

TEST_F(PrimitiveShapes, CubeFacesLieWhereTheirTablesSay)
{
    // Direction of face f of the split-face cube and of the bevelled cube.
    const V3 split[6] = {{0, 0, -1}, {-1, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}};
    const V3 bevel[6] = {{0, 0, -1}, {1, 0, 0}, {0, 0, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 1, 0}};
    const int n = 3, a = n + 1;
    const float s = 2.0f;
    for (bool bevelled : {false, true}) {
        SCOPED_TRACE(bevelled ? "bevelled" : "split");
        GeometryPtr geometry(bevelled ? CreateBevelledCubeGeometry(s, 0.5f, n) : CreateSplitFaceCubeGeometry(s, n));
        ASSERT_TRUE(geometry);
        const Mesh mesh(geometry.get());
        for (int f = 0; f < 6; ++f) {
            const V3& facing = bevelled ? bevel[f] : split[f];
            const double grid = bevelled ? 0.5 * s : s;
            for (int v = f * a * a; v < (f + 1) * a * a; ++v) {
                EXPECT_NEAR(dot(mesh.positions[v], facing), s / 2, 1e-5) << "face " << f << " vertex " << v;
                EXPECT_NEAR(dot(mesh.normals[v], facing), 1.0, 1e-5) << "face " << f << " vertex " << v;
                for (int k = 0; k < 3; ++k)
                    EXPECT_LE(std::fabs(mesh.positions[v][k]), (facing[k] != 0 ? s : grid) / 2 + 1e-5);
                // Texture coordinates are the x and y of the placed vertex.
                EXPECT_FLOAT_EQ(static_cast<float>(mesh.uvs[v][0]), static_cast<float>(mesh.positions[v][0]));
                EXPECT_FLOAT_EQ(static_cast<float>(mesh.uvs[v][1]), static_cast<float>(mesh.positions[v][1]));
            }
        }
    }
    // Face 1 of the split-face cube is the x = -s/2 side, starting at its lower corner.
    GeometryPtr cube(CreateSplitFaceCubeGeometry(2.0f, 1));
    const Mesh mesh(cube.get());
    EXPECT_NEAR(mesh.positions[4][0], -1.0, 1e-6);
    EXPECT_NEAR(mesh.positions[7][0], -1.0, 1e-6);
}

TEST_F(PrimitiveShapes, BevelEndsCollapseGridsOrStrips)
{
    // Bevel 1: every face grid is its centre point (the mesh becomes an octahedron of corner triangles).
    GeometryPtr full(CreateBevelledCubeGeometry(2.0f, 1.0f, 2));
    ASSERT_TRUE(full);
    const Mesh collapsed(full.get());
    for (int f = 0; f < 6; ++f)
        for (int v = f * 9; v < f * 9 + 9; ++v)
            EXPECT_NEAR(length(sub(collapsed.positions[v], collapsed.positions[f * 9])), 0.0, 1e-6);
    // Bevel 0 and below: the grids touch, each strip has no area.
    for (float bevel : {0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()}) {
        GeometryPtr none(CreateBevelledCubeGeometry(2.0f, bevel, 2));
        ASSERT_TRUE(none);
        const Mesh mesh(none.get());
        for (uint32_t t = 48; t < 48 + 48 + 8; ++t)
            EXPECT_NEAR(length(mesh.faceNormal(mesh.surfaces[0][t])), 0.0, 1e-5) << "bevel triangle " << t;
        EXPECT_NEAR(mesh.signedVolume(0), 8.0, 1e-4);
    }
}

TEST_F(PrimitiveShapes, TorusSeamsAndCoordinates)
{
    GeometryPtr geometry(CreateTorusGeometry(2.0f, 0.5f, 8, 6));
    ASSERT_TRUE(geometry);
    const Mesh mesh(geometry.get());
    const uint32_t W = 7;
    // Vertex (k, l): outer equator of ring position 0 first; texture coordinates run 0 .. 1 over both seams.
    EXPECT_NEAR(mesh.positions[0][0], 2.5, 1e-6);
    EXPECT_NEAR(mesh.positions[0][1], 0.0, 1e-6);
    EXPECT_NEAR(mesh.normals[0][0], 1.0, 1e-6);
    EXPECT_EQ(mesh.uvs[0], (std::array<double, 2>{0.0, 0.0}));
    EXPECT_EQ(mesh.uvs[8 * W + 6], (std::array<double, 2>{1.0, 1.0}));
    EXPECT_EQ(mesh.uvs[W + 3], (std::array<double, 2>{0.5, 0.125}));
    // Half way round the tube (l = 3 of 6): the inner equator, facing the ring's centre.
    EXPECT_NEAR(mesh.positions[3][0], 1.5, 1e-6);
    EXPECT_NEAR(mesh.normals[3][0], -1.0, 1e-6);
    for (uint32_t l = 0; l < W; ++l)
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(mesh.positions[l][k], mesh.positions[8 * W + l][k], 1e-5) << "ring seam " << l;
    for (uint32_t k = 0; k <= 8; ++k)
        EXPECT_NEAR(length(sub(mesh.positions[k * W], mesh.positions[k * W + 6])), 0.0, 1e-5) << "tube seam " << k;
}

TEST_F(PrimitiveShapes, DoublesidedPlaneSharesVerticesAndReversesTriangles)
{
    GeometryPtr geometry(CreatePlaneGeometry(2.0f, 2, true));
    ASSERT_TRUE(geometry);
    const Mesh mesh(geometry.get());
    EXPECT_EQ(geometry->surfaces[1]->name, "Unnamed (2)");
    ASSERT_EQ(mesh.surfaces[0].size(), mesh.surfaces[1].size());
    for (size_t t = 0; t < mesh.surfaces[0].size(); ++t) {
        const auto& front = mesh.surfaces[0][t];
        const auto& back = mesh.surfaces[1][t];
        EXPECT_EQ(back, (std::array<uint32_t, 3>{front[2], front[1], front[0]}));
    }
    const std::vector<V3> corners = {{-1, -1, 0}, {0, -1, 0}, {1, -1, 0}, {-1, 0, 0}, {0, 0, 0},
                                     {1, 0, 0},   {-1, 1, 0}, {0, 1, 0},  {1, 1, 0}};
    for (size_t v = 0; v < corners.size(); ++v) {
        EXPECT_EQ(mesh.positions[v], corners[v]);
        EXPECT_EQ(mesh.normals[v], (V3{0, 0, -1}));
        EXPECT_EQ(mesh.uvs[v], (std::array<double, 2>{corners[v][0], corners[v][1]}));
    }
}

TEST_F(PrimitiveShapes, BadCountsAreRefusedWithALogLine)
{
    projtest::LogCapture log;
    EXPECT_EQ(CreateTorusGeometry(1.0f, 0.25f, 2, 8), nullptr);
    EXPECT_EQ(CreateTorusGeometry(1.0f, 0.25f, 8, -1), nullptr);
    EXPECT_EQ(CreateSplitFaceCubeGeometry(1.0f, 0), nullptr);
    EXPECT_EQ(CreateBevelledCubeGeometry(1.0f, 0.1f, -4), nullptr);
    EXPECT_EQ(CreatePlaneGeometry(1.0f, 0, false), nullptr);
    EXPECT_EQ(log.count("needs at least"), 5);
    // Subdivision counts from a parameter can be anything: huge ones are refused, NaN ones take the minimum.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(CreatePrimitiveGeometry(2, 1.0f, 0, 1e9f, 0, 0), nullptr);
    EXPECT_EQ(CreatePrimitiveGeometry(0, 1.0f, 0.2f, 1e30f, 1e30f, 0), nullptr);
    EXPECT_EQ(CreatePrimitiveGeometry(4, 1.0f, 0, 5000, 0, 0), nullptr);
    EXPECT_EQ(log.count("refused"), 3);
    GeometryPtr torus(CreatePrimitiveGeometry(0, 1.0f, 0.2f, nan, nan, 0));
    ASSERT_TRUE(torus);
    EXPECT_EQ(torus->vertexCount, 16u);
    // A NaN or huge type is no option: the split-face cube.
    GeometryPtr cube(CreatePrimitiveGeometry(nan, 1.0f, 0, 1, 0, 0));
    ASSERT_TRUE(cube);
    EXPECT_EQ(cube->surfaces[0]->triangleCount, 12u);
    GeometryPtr huge(CreatePrimitiveGeometry(3e9f, 1.0f, 0, 1, 0, 0));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->surfaces[0]->triangleCount, 12u);
}
