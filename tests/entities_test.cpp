#include "render/builtin_shapes.h"
#include "render/entities.h"
#include "render/lobj.h"

#include "app/data_files.h"
#include "gl_context.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "test_helpers.h"

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <string>

using testutil::captureLog;
using testutil::countOf;

namespace {

// Frees what a light factory made: framebuffers and face lights belong to the caller.
void destroyLight(Light* light)
{
    for (Framebuffer* framebuffer : light->shadowFramebuffers)
        fbDestroy(framebuffer);
    for (Light* face : light->faceLights)
        if (face)
            destroyLight(face);
    delete light;
}

const float* floats(const Geometry* geometry, int code)
{
    return reinterpret_cast<const float*>(geometry->buffers[geometry->builtinIndex[code]]->hostCopy);
}

class EntityTest : public GLTest {};

} // namespace

TEST(EntityDefaults, ConstructionAndFieldsForTheComponents)
{
    Object object;
    EXPECT_EQ(object.kind, ENTITY_KIND_OBJECT);
    EXPECT_EQ(object.flags, 7);
    EXPECT_EQ(object.scale.x, 1.0f);
    EXPECT_EQ(object.name, "");
    EXPECT_EQ(object.owner, nullptr);
    EXPECT_EQ(object.parent, nullptr);
    EXPECT_FALSE(object.selected);
    for (float b : object.bounds)
        EXPECT_EQ(b, 0.0f);

    Light light;
    EXPECT_EQ(light.kind, ENTITY_KIND_LIGHT);
    EXPECT_EQ(light.fov, 90.0f);
    EXPECT_EQ(light.nearPlane, 0.1f);
    EXPECT_EQ(light.farPlane, 10000.0f);
    EXPECT_EQ(light.aspect, 0.0f);
    EXPECT_EQ(light.splitWeight, 0.75f);
    EXPECT_EQ(light.roughnessModifier, 1.0f);
    EXPECT_EQ(light.shadowCullMode, 1);
    EXPECT_EQ(light.color[3], 1.0f);
    EXPECT_EQ(light.proxy, nullptr);
    EXPECT_FALSE(light.enabled || light.castsShadows || light.volumetric || light.area);

    EffectEntity effect;
    EXPECT_EQ(effect.kind, ENTITY_KIND_EFFECT);
    Camera* camera = entCreateCamera(45.0f);
    EXPECT_EQ(camera->kind, ENTITY_KIND_CAMERA);
    EXPECT_EQ(camera->name, "Camera");
    EXPECT_EQ(camera->fov, 45.0f);
    EXPECT_EQ(camera->nearPlane, 0.1f);
    EXPECT_EQ(camera->farPlane, 1000.0f);
    EXPECT_EQ(camera->aspect, 0.0f);
    delete camera;
}

TEST(EntityDefaults, EffectEntityReleasesDrawBeforeBuild)
{
    std::string order;
    struct Marker {
        std::string* order;
        char tag;
        ~Marker() { *order += tag; }
    };
    auto* effect = new EffectEntity;
    auto buildMarker = std::make_shared<Marker>(Marker{&order, 'b'});
    auto drawMarker = std::make_shared<Marker>(Marker{&order, 'd'});
    effect->build = [buildMarker](Camera*, const Matrix*, Timestep, RenderItemBuilder&) {};
    effect->draw = [drawMarker](Camera*, const Matrix*, Renderer::Pass, Timestep) {};
    buildMarker.reset();
    drawMarker.reset();
    order.clear(); // temporaries of the aggregate initialisation
    Entity* asEntity = effect;
    delete asEntity;
    EXPECT_EQ(order, "db");
}

TEST_F(EntityTest, LightFactories)
{
    struct Case {
        const char* what;
        std::function<Light*()> make;
        const char* name;
        int type;
        float fov, farPlane;
        bool enabled, casts;
        int framebuffers;
    };
    const Case cases[] = {
        {"spot", [] { return entCreateLightSpot(40.0f, true, 512, 256); }, "LightSpot", 1, 40.0f, 1000.0f, true, true, 1},
        {"spot, no shadows", [] { return entCreateLightSpot(40.0f, false, 512, 256); }, "LightSpot", 1, 40.0f, 1000.0f,
         true, false, 0},
        {"directional", [] { return entCreateLightDirectional(20.0f, 30.0f, true, 512, 256); }, "Lightdirectional", 0,
         0.0f, 1000.0f, true, true, 1},
        {"point", [] { return entCreateLightPoint(25.0f, false, 512, 256); }, "LightPoint", 2, 90.0f, 25.0f, true, false,
         0},
        {"point, shadows", [] { return entCreateLightPoint(25.0f, true, 512, 256); }, "LightPoint", 2, 90.0f, 25.0f,
         false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Light* light = c.make();
        EXPECT_EQ(light->name, c.name);
        EXPECT_EQ(light->kind, ENTITY_KIND_LIGHT);
        EXPECT_EQ(light->lightType, c.type);
        EXPECT_EQ(light->fov, c.fov);
        EXPECT_EQ(light->nearPlane, 0.1f);
        EXPECT_EQ(light->farPlane, c.farPlane);
        EXPECT_EQ(light->aspect, 2.0f);
        EXPECT_EQ(light->enabled, c.enabled);
        EXPECT_EQ(light->castsShadows, c.casts);
        EXPECT_EQ(light->cascadeCount, 1u);
        EXPECT_EQ(light->shadowMapWidth, 512u);
        EXPECT_EQ(light->shadowMapHeight, 256u);
        for (int i = 0; i < LIGHT_MAX_CASCADES; ++i)
            EXPECT_EQ(light->shadowFramebuffers[i] != nullptr, i < c.framebuffers) << i;
        if (c.framebuffers) {
            EXPECT_EQ(light->shadowFramebuffers[0]->name, "shadow");
        }
        destroyLight(light);
    }
    Light* directional = entCreateLightDirectional(20.0f, 30.0f, false, 64, 64);
    EXPECT_EQ(directional->orthoWidth, 20.0f);
    EXPECT_EQ(directional->orthoHeight, 30.0f);
    destroyLight(directional);
    // A provisional light of size 0 x 0 gets the "not set" aspect, not a division by zero.
    Light* provisional = entCreateLightPoint(10.0f, false, 0, 0);
    EXPECT_EQ(provisional->aspect, 0.0f);
    destroyLight(provisional);
}

TEST_F(EntityTest, ShadowCastingPointLightOwnsSixFaceLights)
{
    Light* point = entCreateLightPoint(30.0f, true, 128, 128);
    const Vector3 rotations[6] = {{0, -90, 0}, {0, 90, 0}, {90, 0, 180}, {-90, 0, 180}, {180, 0, 180}, {0, 0, 0}};
    ASSERT_EQ(point->children.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        Light* face = point->faceLights[i];
        ASSERT_NE(face, nullptr);
        EXPECT_EQ(point->children[i], face);
        EXPECT_EQ(face->lightType, LIGHT_TYPE_SPOT);
        EXPECT_EQ(face->fov, 90.0f);
        EXPECT_FALSE(face->enabled);
        EXPECT_TRUE(face->castsShadows);
        EXPECT_NE(face->shadowFramebuffers[0], nullptr);
        EXPECT_EQ(face->rotation.x, rotations[i].x);
        EXPECT_EQ(face->rotation.y, rotations[i].y);
        EXPECT_EQ(face->rotation.z, rotations[i].z);
    }

    entSetLightRange(point, 0.5f, 60.0f);
    for (Light* l : {point, point->faceLights[0], point->faceLights[5]}) {
        EXPECT_EQ(l->nearPlane, 0.5f);
        EXPECT_EQ(l->farPlane, 60.0f);
    }
    // Only the light itself when it has no faces.
    Light* face = point->faceLights[2];
    entSetLightRange(face, 1.0f, 2.0f);
    EXPECT_EQ(point->farPlane, 60.0f);
    EXPECT_EQ(point->faceLights[3]->farPlane, 60.0f);
    EXPECT_EQ(face->farPlane, 2.0f);

    // Deleting the point light leaves its children alive (the sanitizers would report a use after free).
    Light* faces[6];
    std::copy(std::begin(point->faceLights), std::end(point->faceLights), faces);
    delete point;
    for (Light* f : faces) {
        EXPECT_EQ(f->fov, 90.0f);
        destroyLight(f);
    }
}

TEST_F(EntityTest, CloneCopiesGeometryNameAndBoundsButNotTheTransform)
{
    Object* object = entCreateObject(3, 1, {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS]});
    ASSERT_NE(object, nullptr);
    auto* coords = reinterpret_cast<float*>(object->geometry->buffers[0]->hostCopy);
    const float positions[9] = {-1, 0, 2, 3, 4, 5, 0, -6, 1};
    std::copy(positions, positions + 9, coords);
    geomSurfaceAppendTriangle(object->geometry->surfaces[0], 0, 1, 2);
    object->name = "mesh";
    object->position = {1, 2, 3};
    object->flags = 3;
    object->children.push_back(object);

    Object* clone = object->Clone();
    ASSERT_NE(clone->geometry, nullptr);
    EXPECT_NE(clone->geometry, object->geometry);
    EXPECT_EQ(clone->name, "mesh");
    EXPECT_EQ(clone->flags, 7);
    EXPECT_EQ(clone->position.x, 0.0f);
    EXPECT_TRUE(clone->children.empty());
    const float expected[6] = {-1, -6, 1, 3, 4, 5};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(clone->bounds[i], expected[i]);
    EXPECT_EQ(clone->geometry->surfaces[0]->triangleCount, 1u);
    EXPECT_EQ(floats(clone->geometry, VERTEX_ATTRIBUTE_COORDS)[7], -6.0f);

    Object empty;
    empty.name = "nothing";
    Object* emptyClone = empty.Clone();
    EXPECT_EQ(emptyClone->geometry, nullptr);
    EXPECT_EQ(emptyClone->name, "nothing");

    delete emptyClone;
    geomDelete(clone->geometry);
    delete clone;
    Geometry* geometry = object->geometry;
    delete object; // the geometry is not the object's
    EXPECT_EQ(geometry->vertexCount, 3u);
    geomDelete(geometry);
}

// ---- Built-in objects ----

namespace {

// An asset folder with a cube file of the given corners, and built-in objects built from it.
class BuiltinObjectsTest : public GLTest {
protected:
    testutil::TempDir dir{"builtin_objects"};
    std::string oldBase = dataBasePath();

    void SetUp() override
    {
        GLTest::SetUp();
        entReleaseBuiltinObjects();
        dataSetBasePath(dir.str());
    }
    void TearDown() override
    {
        entReleaseBuiltinObjects();
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }
    void writeCube(Vector3 low, Vector3 high)
    {
        LobjMesh mesh = lobjSimpleCube();
        for (Vector3& p : mesh.positions) {
            p.x = p.x < 0 ? low.x : high.x;
            p.y = p.y < 0 ? low.y : high.y;
            p.z = p.z < 0 ? low.z : high.z;
        }
        const std::vector<uint8_t> image = lobjWrite(mesh);
        testutil::writeFile(dir.path() / "lwobj/simplecube.lobj", std::string(image.begin(), image.end()));
    }
    // min x, y, z, max x, y, z of the cube's coordinates as they are now.
    static std::array<float, 6> cubeBox()
    {
        float box[6];
        geomCalculateBoundingBox(builtinCube->geometry, box);
        return {box[0], box[1], box[2], box[3], box[4], box[5]};
    }
};

} // namespace

TEST_F(BuiltinObjectsTest, CubeIsScaledToUnitExtentWithoutRecentring)
{
    struct Case {
        Vector3 low, high;
        std::array<float, 6> expected;
    };
    const Case cases[] = {
        {{-1, -1, -1}, {1, 1, 1}, {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f}},
        {{0, 0, 0}, {2, 2, 2}, {0, 0, 0, 1, 1, 1}},
        {{-3, 0, 1}, {1, 8, 3}, {-0.75f, 0, 0.5f, 0.25f, 1, 1.5f}},
    };
    for (const Case& c : cases) {
        entReleaseBuiltinObjects();
        writeCube(c.low, c.high);
        const std::string log = captureLog(entLoadBuiltinObjects);
        EXPECT_EQ(countOf(log, "Object lwobj/simplecube.lobj found. Loading..."), 1u);
        ASSERT_NE(builtinCube, nullptr);
        EXPECT_EQ(builtinCube->name, "simplecube.lobj");
        EXPECT_EQ(cubeBox(), c.expected);
        const Geometry* geometry = builtinCube->geometry;
        const float* albedo = floats(geometry, VERTEX_ATTRIBUTE_ALBEDO);
        for (uint32_t i = 0; i < 3 * geometry->vertexCount; ++i)
            ASSERT_EQ(albedo[i], 1.0f);
        EXPECT_EQ(geometry->surfaces[0]->color[0], 1.0f);
        EXPECT_EQ(geometry->surfaces[0]->color[3], 1.0f);
        // Uploaded: nothing left dirty.
        for (const BufferObject* buffer : geometry->buffers)
            EXPECT_FALSE(buffer->dirty);
    }
    // Built once: a second call reads nothing.
    const std::string again = captureLog(entLoadBuiltinObjects);
    EXPECT_EQ(again.find("Loading"), std::string::npos);
}

TEST_F(BuiltinObjectsTest, FlatCubeIsNotDividedByItsZeroExtent)
{
    writeCube({-1, -1, 0}, {1, 1, 0});
    const std::string log = captureLog(entLoadBuiltinObjects);
    EXPECT_NE(log.find("extent 0 on axis 2"), std::string::npos);
    EXPECT_EQ(cubeBox(), (std::array<float, 6>{-0.5f, -0.5f, 0, 0.5f, 0.5f, 0}));
}

TEST_F(BuiltinObjectsTest, MissingOrBrokenCubeFileFallsBackToTheBuiltInCopy)
{
    std::string log = captureLog(entLoadBuiltinObjects);
    EXPECT_NE(log.find("Object file lwobj/simplecube.lobj not found"), std::string::npos);
    ASSERT_NE(builtinCube, nullptr);
    EXPECT_EQ(cubeBox(), (std::array<float, 6>{-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f}));

    entReleaseBuiltinObjects();
    testutil::writeFile(dir.path() / "lwobj/simplecube.lobj", "LOBJ\0\0\0\0\xff\xff\xff\xff");
    log = captureLog(entLoadBuiltinObjects);
    EXPECT_NE(log.find("Using the built-in copy"), std::string::npos);
    ASSERT_NE(builtinCube, nullptr);
    EXPECT_EQ(cubeBox(), (std::array<float, 6>{-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f}));
}

TEST_F(BuiltinObjectsTest, OutlinesAreShiftedAndScaledAfterTheirBounds)
{
    captureLog(entLoadBuiltinObjects);
    struct Case {
        Object* object;
        uint32_t vertices;
        std::array<float, 6> boundsAsGenerated;
        std::array<float, 6> coordsNow;
    };
    const float r = 0.5f;
    const Case cases[] = {
        {builtinBoxOutline, 24, {-r, -r, -r, r, r, r}, {0, 0, 0, 1, 1, 1}},
        {builtinConeOutline, 60, {-0.475528f, -r, 0, 0.475528f, r, 1}, {-0.951057f, -1, 0, 0.951057f, 1, 2}},
        {builtinSphereOutline, 768, {-r, -r, -r, r, r, r}, {-r, -r, -r, r, r, r}},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.object, nullptr);
        const Geometry* geometry = c.object->geometry;
        EXPECT_EQ(geometry->vertexCount, c.vertices);
        EXPECT_EQ(geometry->surfaces.size(), 1u);
        EXPECT_EQ(geometry->surfaces[0]->triangleCount, 0u);
        EXPECT_EQ(geometry->surfaces[0]->color[1], 1.0f);
        float box[6];
        geomCalculateBoundingBox(geometry, box);
        for (int k = 0; k < 6; ++k) {
            EXPECT_NEAR(c.object->bounds[k], c.boundsAsGenerated[k], 1e-5f) << k;
            EXPECT_NEAR(box[k], c.coordsNow[k], 1e-5f) << k;
        }
    }
    // The box's edges in table order: the first runs along x at y = z = 0 after the shift.
    const float* box = floats(builtinBoxOutline->geometry, VERTEX_ATTRIBUTE_COORDS);
    EXPECT_EQ((std::array<float, 6>{box[0], box[1], box[2], box[3], box[4], box[5]}),
              (std::array<float, 6>{0, 0, 0, 1, 0, 0}));
    EXPECT_TRUE(builtinBoxOutline->geometry->buffers[0]->dirty); // uploaded when first drawn

    // Every rim vertex of the cone lies at radius 1 on z = 2, every apex vertex next to the origin.
    const Geometry* cone = builtinConeOutline->geometry;
    const float* coneCoords = floats(cone, VERTEX_ATTRIBUTE_COORDS);
    const float* coneAlbedo = floats(cone, VERTEX_ATTRIBUTE_ALBEDO);
    for (uint32_t v = 0; v < cone->vertexCount; ++v) {
        const float* p = coneCoords + 3 * v;
        const bool rim = coneAlbedo[3 * v] == 0.2f;
        EXPECT_NEAR(std::hypot(p[0], p[1]), rim ? 1.0f : 0.001f, 1e-5f) << v;
        EXPECT_EQ(p[2], rim ? 2.0f : 0.0f) << v;
    }

    // Sphere: three circles of radius 0.5 coloured by the axis they turn around, then degenerate lines.
    const Geometry* sphere = builtinSphereOutline->geometry;
    const float* sphereCoords = floats(sphere, VERTEX_ATTRIBUTE_COORDS);
    const float* sphereAlbedo = floats(sphere, VERTEX_ATTRIBUTE_ALBEDO);
    for (uint32_t v = 0; v < 768; ++v) {
        const float* p = sphereCoords + 3 * v;
        const float length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        if (v < 384) {
            EXPECT_NEAR(length, 0.5f, 1e-6f) << v;
            const int circle = static_cast<int>(v / 128); // x-z green, x-y blue, y-z red
            const int flatAxis = circle == 0 ? 1 : circle == 1 ? 2 : 0;
            const int colour = circle == 0 ? 1 : circle == 1 ? 2 : 0;
            EXPECT_EQ(p[flatAxis], 0.0f) << v;
            EXPECT_EQ(sphereAlbedo[3 * v + colour], 1.0f) << v;
        } else {
            EXPECT_EQ(length, 0.0f) << v;
        }
    }
}
