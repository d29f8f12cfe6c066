#include "render/builtin_shapes.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_geometry.h"
#include "render/entities.h"
#include "render/lobj.h"

#include <cmath>
#include <string>

Object* builtinCube = nullptr;
Object* builtinBoxOutline = nullptr;
Object* builtinConeOutline = nullptr;
Object* builtinSphereOutline = nullptr;

const char* const builtinCubePath = "lwobj/simplecube.lobj";

namespace {

constexpr double kPi = 3.14159265358979323846;

bool builtinObjectsLoaded = false;

Geometry* createLineGeometry(uint32_t vertexCount)
{
    return geomCreate(vertexCount, 1,
                      {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS], builtinVertexAttributes[VERTEX_ATTRIBUTE_ALBEDO]});
}

float* attributeFloats(Geometry* geometry, int code)
{
    const int index = geometry->builtinIndex[code];
    return index < 0 ? nullptr : reinterpret_cast<float*>(geometry->buffers[index]->hostCopy);
}

void setVertex(float* coords, float* albedo, uint32_t v, Vector3 position, Vector3 color)
{
    coords[3 * v + 0] = position.x;
    coords[3 * v + 1] = position.y;
    coords[3 * v + 2] = position.z;
    albedo[3 * v + 0] = color.x;
    albedo[3 * v + 1] = color.y;
    albedo[3 * v + 2] = color.z;
}

// Bounds as generated; the caller reshapes the coordinates afterwards.
Object* makeObject(Geometry* geometry)
{
    if (!geometry)
        return nullptr;
    auto* object = new Object;
    object->geometry = geometry;
    geomCalculateBoundingBox(geometry, object->bounds);
    return object;
}

void setFirstSurfaceWhite(Object* object)
{
    if (!object || !object->geometry || object->geometry->surfaces.empty())
        return;
    float* color = object->geometry->surfaces[0]->color;
    color[0] = color[1] = color[2] = color[3] = 1.0f;
}

// coords = coords * scale + offset on every vertex, marked for upload.
void reshape(Object* object, const float scale[3], float offset)
{
    if (!object || !object->geometry)
        return;
    Geometry* geometry = object->geometry;
    float* coords = attributeFloats(geometry, VERTEX_ATTRIBUTE_COORDS);
    if (!coords)
        return;
    for (uint32_t v = 0; v < geometry->vertexCount; ++v)
        for (int k = 0; k < 3; ++k)
            coords[3 * v + k] = coords[3 * v + k] * scale[k] + offset;
    geometry->buffers[geometry->builtinIndex[VERTEX_ATTRIBUTE_COORDS]]->dirty = true;
}

Object* entLoadFile(const char* path)
{
    DataBlob blob = dataLoadFile(path);
    Object* object = nullptr;
    if (blob) {
        LOG_INFO("Object %s found. Loading...", path);
        object = entLoad(blob.u8(), blob.size);
    } else {
        LOG_ERROR("Object file %s not found", path);
    }
    if (!object) {
        // Area lights need their proxy whatever the asset folder holds.
        LOG_ERROR("Using the built-in copy of %s", path);
        const std::vector<uint8_t> image = lobjWrite(lobjSimpleCube());
        object = entLoad(image.data(), image.size());
        if (!object)
            return nullptr;
    }
    const std::string name = path;
    object->name = name.substr(name.rfind('/') + 1);
    return object;
}

// White albedo, then the coordinates divided by the extent of the bounds, so the cube spans one unit per axis.
void normalizeCube(Object* cube)
{
    Geometry* geometry = cube->geometry;
    if (geometry->builtinIndex[VERTEX_ATTRIBUTE_ALBEDO] < 0 &&
        !geometry->AddAttribute(builtinVertexAttributes[VERTEX_ATTRIBUTE_ALBEDO]))
        return;
    float* albedo = attributeFloats(geometry, VERTEX_ATTRIBUTE_ALBEDO);
    for (uint32_t i = 0; i < 3 * geometry->vertexCount; ++i)
        albedo[i] = 1.0f;
    geometry->buffers[geometry->builtinIndex[VERTEX_ATTRIBUTE_ALBEDO]]->dirty = true;

    float extent[3];
    for (int k = 0; k < 3; ++k) {
        extent[k] = cube->bounds[k + 3] - cube->bounds[k];
        if (!(extent[k] > 0.0f) || !std::isfinite(extent[k])) {
            // A flat (or empty) mesh has nothing to divide by on this axis; it stays as it is.
            LOG_WARNING("Cube %s has extent %g on axis %d; not scaled on it", cube->name.c_str(), extent[k], k);
            extent[k] = 1.0f;
        }
    }
    float* coords = attributeFloats(geometry, VERTEX_ATTRIBUTE_COORDS);
    for (uint32_t v = 0; v < geometry->vertexCount; ++v)
        for (int k = 0; k < 3; ++k)
            coords[3 * v + k] /= extent[k];
    geometry->buffers[geometry->builtinIndex[VERTEX_ATTRIBUTE_COORDS]]->dirty = true;
    geomUpdate(geometry);
}

} // namespace

void entLoadBuiltinObjects()
{
    if (builtinObjectsLoaded)
        return;
    builtinCube = entLoadFile(builtinCubePath);
    if (builtinCube) {
        normalizeCube(builtinCube);
        setFirstSurfaceWhite(builtinCube);
    }

    builtinConeOutline = makeObject(geomCreateConeOutline());
    const float two[3] = {2.0f, 2.0f, 2.0f};
    reshape(builtinConeOutline, two, 0.0f);
    if (builtinConeOutline)
        geomUpdate(builtinConeOutline->geometry);
    setFirstSurfaceWhite(builtinConeOutline);

    // Uploaded when first drawn.
    builtinBoxOutline = makeObject(geomCreateBoxOutline());
    const float one[3] = {1.0f, 1.0f, 1.0f};
    reshape(builtinBoxOutline, one, 0.5f);
    setFirstSurfaceWhite(builtinBoxOutline);

    builtinSphereOutline = makeObject(geomCreateSphereOutline());
    setFirstSurfaceWhite(builtinSphereOutline);

    builtinObjectsLoaded = true;
}

void entReleaseBuiltinObjects()
{
    for (Object** object : {&builtinCube, &builtinBoxOutline, &builtinConeOutline, &builtinSphereOutline}) {
        if (*object) {
            geomDelete((*object)->geometry);
            delete *object;
            *object = nullptr;
        }
    }
    builtinObjectsLoaded = false;
}

Geometry* geomCreateBoxOutline()
{
    Geometry* geometry = createLineGeometry(24);
    if (!geometry)
        return nullptr;
    const float h = 0.5f;
    const Vector3 corners[8] = {
        {-h, -h, -h}, {h, -h, -h}, {h, h, -h}, {-h, h, -h}, {-h, -h, h}, {h, -h, h}, {h, h, h}, {-h, h, h},
    };
    // The back square, the front square, then the four edges joining them.
    const int edges[12][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                              {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
    float* coords = attributeFloats(geometry, VERTEX_ATTRIBUTE_COORDS);
    float* albedo = attributeFloats(geometry, VERTEX_ATTRIBUTE_ALBEDO);
    const Vector3 white{1.0f, 1.0f, 1.0f};
    for (uint32_t e = 0; e < 12; ++e) {
        setVertex(coords, albedo, 2 * e, corners[edges[e][0]], white);
        setVertex(coords, albedo, 2 * e + 1, corners[edges[e][1]], white);
    }
    geomUpdate(geometry);
    return geometry;
}

Geometry* geomCreateConeOutline()
{
    Geometry* geometry = createLineGeometry(60);
    if (!geometry)
        return nullptr;
    float* coords = attributeFloats(geometry, VERTEX_ATTRIBUTE_COORDS);
    float* albedo = attributeFloats(geometry, VERTEX_ATTRIBUTE_ALBEDO);
    const Vector3 green{0.2f, 1.0f, 0.2f};
    const Vector3 white{1.0f, 1.0f, 1.0f};
    for (uint32_t i = 0; i < 10; ++i) {
        const auto a = static_cast<float>(i * kPi / 5.0);
        const auto b = static_cast<float>((i + 1) * kPi / 5.0);
        const float sa = 0.5f * std::sin(a), ca = 0.5f * std::cos(a);
        const float sb = 0.5f * std::sin(b), cb = 0.5f * std::cos(b);
        const Vector3 rimA{sa, ca, 1.0f}, rimB{sb, cb, 1.0f};
        const Vector3 apexA{0.001f * sa, 0.001f * ca, 0.0f}, apexB{0.001f * sb, 0.001f * cb, 0.0f};
        setVertex(coords, albedo, 6 * i + 0, rimA, green);
        setVertex(coords, albedo, 6 * i + 1, rimB, green);
        setVertex(coords, albedo, 6 * i + 2, apexA, white);
        setVertex(coords, albedo, 6 * i + 3, apexB, white);
        setVertex(coords, albedo, 6 * i + 4, rimA, green);
        setVertex(coords, albedo, 6 * i + 5, apexA, white);
    }
    geomUpdate(geometry);
    return geometry;
}

Geometry* geomCreateSphereOutline()
{
    // Room for twice the circles' vertices; the rest stay at the origin as degenerate lines.
    Geometry* geometry = createLineGeometry(768);
    if (!geometry)
        return nullptr;
    float* coords = attributeFloats(geometry, VERTEX_ATTRIBUTE_COORDS);
    float* albedo = attributeFloats(geometry, VERTEX_ATTRIBUTE_ALBEDO);
    for (uint32_t j = 0; j < 64; ++j) {
        const float fa = static_cast<float>(j) / 64.0f;
        const float fb = static_cast<float>(j + 1) / 64.0f;
        const auto a = static_cast<float>(2.0 * kPi * fa);
        const auto b = static_cast<float>(2.0 * kPi * fb);
        const float sa = 0.5f * std::sin(a), ca = 0.5f * std::cos(a);
        const float sb = 0.5f * std::sin(b), cb = 0.5f * std::cos(b);
        setVertex(coords, albedo, 2 * j, {sa, 0.0f, ca}, {0.0f, 1.0f, 0.0f});
        setVertex(coords, albedo, 2 * j + 1, {sb, 0.0f, cb}, {0.0f, 1.0f, 0.0f});
        setVertex(coords, albedo, 128 + 2 * j, {sa, ca, 0.0f}, {0.0f, 0.0f, 1.0f});
        setVertex(coords, albedo, 129 + 2 * j, {sb, cb, 0.0f}, {0.0f, 0.0f, 1.0f});
        setVertex(coords, albedo, 256 + 2 * j, {0.0f, sa, ca}, {1.0f, 0.0f, 0.0f});
        setVertex(coords, albedo, 257 + 2 * j, {0.0f, sb, cb}, {1.0f, 0.0f, 0.0f});
    }
    geomUpdate(geometry);
    return geometry;
}
