#include "render/scene.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

using testutil::captureLog;

namespace {

void expectMatrixNear(const Matrix& actual, const Matrix& expected, float tolerance = 1e-5f)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual.m[i], expected.m[i], tolerance) << "element " << i;
}

Vector3 column(const Matrix& m, int c)
{
    return {m.m[c], m.m[4 + c], m.m[8 + c]};
}

// Owns what a test puts into a scene.
struct SceneFixture {
    std::unique_ptr<Scene> scene{Scene::Create()};
    std::vector<std::unique_ptr<Entity>> owned;

    template <typename T>
    T* add(T* entity)
    {
        owned.emplace_back(entity);
        return entity;
    }
    Entity* object(Vector3 position = {})
    {
        Entity* e = add(new Object);
        e->position = position;
        scene->AddObject(e);
        return e;
    }
};

class ScriptedTrack : public AnimationTrack {
public:
    double evaluatedAt = -1.0;
    void Evaluate(double time) override
    {
        evaluatedAt = time;
        position = {float(time), 2.0f, 3.0f};
        rotation = {10.0f, 20.0f, 30.0f};
        scale = {4.0f, 5.0f, 6.0f};
    }
};

} // namespace

TEST(SceneTransforms, WorldIsRotationTimesScaleWithUnscaledTranslation)
{
    struct Case {
        Vector3 rotation, position, scale;
    };
    const Case cases[] = {
        {{0, 0, 0}, {1, 2, 3}, {2, 2, 2}},
        {{0, 90, 0}, {-4, 0, 1}, {1, 2, 3}},
        {{30, -45, 60}, {0, 0, 0}, {0.5f, 1, -2}},
    };
    for (const Case& c : cases) {
        Object e;
        e.rotation = c.rotation;
        e.position = c.position;
        e.scale = c.scale;
        entSetupTransformation(&e);
        const Matrix r = Matrix::FromEulerDegrees(c.rotation.x, c.rotation.y, c.rotation.z);
        Matrix expected = r;
        const float s[3] = {c.scale.x, c.scale.y, c.scale.z};
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                expected.m[row * 4 + col] = r.m[row * 4 + col] * s[col];
        expected.m[3] = c.position.x;
        expected.m[7] = c.position.y;
        expected.m[11] = c.position.z;
        expectMatrixNear(e.world, expected);
        expectMatrixNear(e.local, expected);
    }
}

TEST(SceneTransforms, ProjectionsOfCamerasAndLights)
{
    // Perspective: fov 90 gives t = near, so the scale terms are 1 / aspect and 1.
    Camera camera;
    camera.fov = 90.0f;
    camera.aspect = 2.0f;
    camera.nearPlane = 1.0f;
    camera.farPlane = 3.0f;
    entSetupTransformation(&camera);
    Matrix perspective;
    perspective.m[0] = 0.5f;
    perspective.m[5] = 1.0f;
    perspective.m[10] = 2.0f;
    perspective.m[11] = -3.0f;
    perspective.m[14] = 1.0f;
    perspective.m[15] = 0.0f;
    expectMatrixNear(camera.projection, perspective);

    // A camera with fov 0 gets the fixed orthographic matrix, which only near and far change.
    camera.fov = 0.0f;
    camera.aspect = 0.0f;
    entSetupTransformation(&camera);
    Matrix fixed;
    fixed.m[0] = 2.0f;
    fixed.m[5] = -2.0f;
    fixed.m[10] = 0.5f;
    fixed.m[11] = -0.5f;
    expectMatrixNear(camera.projection, fixed);

    // A light with fov 0 gets the box of its orthographic size.
    Light light;
    light.fov = 0.0f;
    light.orthoWidth = 10.0f;
    light.orthoHeight = 4.0f;
    light.nearPlane = 1.0f;
    light.farPlane = 11.0f;
    entSetupTransformation(&light);
    expectMatrixNear(light.projection, Matrix::Orthographic(-5, 5, -2, 2, 1, 11));
}

TEST(SceneTransforms, ZeroAspectKeepsThePreviousProjection)
{
    Camera camera;
    camera.fov = 60.0f;
    camera.nearPlane = 0.1f;
    camera.farPlane = 100.0f;
    // Never set: the projection stays as constructed, no infinities.
    std::string log = captureLog([&] { entSetupTransformation(&camera); });
    EXPECT_NE(log.find("Camera aspect ratio invalid"), std::string::npos);
    expectMatrixNear(camera.projection, Matrix::Identity());

    camera.aspect = 1.5f;
    entSetupTransformation(&camera);
    const Matrix good = camera.projection;
    camera.aspect = 0.0f;
    log = captureLog([&] { entSetupTransformation(&camera); });
    EXPECT_NE(log.find("entSetupTransformation"), std::string::npos);
    expectMatrixNear(camera.projection, good, 0.0f);

    // Equal near and far divide by zero as well.
    camera.aspect = 1.5f;
    camera.farPlane = camera.nearPlane;
    log = captureLog([&] { entSetupTransformation(&camera); });
    EXPECT_FALSE(log.empty());
    expectMatrixNear(camera.projection, good, 0.0f);
}

TEST(SceneTransforms, PivotShiftsTheTranslationByTheTransformedPivot)
{
    SceneFixture f;
    Entity* plain = f.object({1, 2, 3});
    Entity* pivoted = f.object({1, 2, 3});
    pivoted->pivot = {0.5f, -1.0f, 2.0f};
    Entity* scaled = f.object({1, 2, 3});
    scaled->pivot = {0.5f, -1.0f, 2.0f};
    scaled->scale = {2, 2, 2};
    f.scene->Update();
    EXPECT_EQ(column(plain->world, 3).x, 1.0f);
    const Vector3 t = {pivoted->world.m[3], pivoted->world.m[7], pivoted->world.m[11]};
    EXPECT_FLOAT_EQ(t.x, 0.5f);
    EXPECT_FLOAT_EQ(t.y, 3.0f);
    EXPECT_FLOAT_EQ(t.z, 1.0f);
    EXPECT_FLOAT_EQ(scaled->world.m[3], 0.0f);
    EXPECT_FLOAT_EQ(scaled->world.m[7], 4.0f);
    EXPECT_FLOAT_EQ(scaled->world.m[11], -1.0f);
}

TEST(SceneTransforms, LookAtTurnsTheLocalZAxisToTheTargetAndResolvesTargetsFirst)
{
    SceneFixture f;
    Entity* looker = f.object({1, 1, 1});
    Entity* target = f.object({0, 0, 0});
    target->pivot = {-4, 5, 0}; // only the resolved translation (12, -15, 0) is the right point to look at
    target->scale = {3, 3, 3};
    looker->targetKind = TARGET_ENTITY;
    looker->target = target;
    looker->scale = {2, 2, 2};
    Entity* pointLooker = f.object({0, 0, 0});
    pointLooker->targetKind = TARGET_POINT;
    pointLooker->targetPoint = {0, 0, -7};
    f.scene->Update();

    const Vector3 toTarget = (Vector3{12, -15, 0} - Vector3{1, 1, 1}).Normalized();
    const Vector3 z = column(looker->world, 2);
    EXPECT_NEAR(z.x, toTarget.x, 1e-5f);
    EXPECT_NEAR(z.y, toTarget.y, 1e-5f);
    EXPECT_NEAR(z.z, toTarget.z, 1e-5f);
    // Scale is dropped, the translation kept.
    EXPECT_NEAR(column(looker->world, 0).Length(), 1.0f, 1e-5f);
    EXPECT_FLOAT_EQ(looker->world.m[3], 1.0f);
    // The target was resolved once, before the looker read it: its pivot moved it exactly once.
    EXPECT_FLOAT_EQ(target->world.m[3], 12.0f);
    EXPECT_EQ(target->frameStamp, entFrameCounter);

    const Vector3 zPoint = column(pointLooker->world, 2);
    EXPECT_NEAR(zPoint.z, -1.0f, 1e-5f);
}

TEST(SceneTransforms, CyclesOfTargetsAndParentsEndAndResolveEachEntityOnce)
{
    SceneFixture f;
    Entity* a = f.object({0, 0, 0});
    Entity* b = f.object({0, 0, 5});
    a->targetKind = b->targetKind = TARGET_ENTITY;
    a->target = b;
    b->target = a;
    a->pivot = b->pivot = {1, 0, 0};
    Entity* c = f.object({1, 0, 0});
    Entity* d = f.object({0, 1, 0});
    c->parent = d;
    d->parent = c;
    Entity* self = f.object({0, 0, 0});
    self->targetKind = TARGET_ENTITY;
    self->target = self;
    f.scene->Update(); // would recurse without end
    for (Entity* e : {a, b, c, d, self}) {
        EXPECT_EQ(e->frameStamp, entFrameCounter);
        for (float v : e->world.m)
            EXPECT_TRUE(std::isfinite(v));
    }
}

TEST(SceneTransforms, ParentWorldAppliesAfterTheChildsOwn)
{
    SceneFixture f;
    Entity* child = f.object({1, 0, 0}); // listed before its parent
    Entity* parent = f.object({0, 10, 0});
    parent->rotation = {0, 0, 90};
    parent->scale = {2, 2, 2};
    child->parent = parent;
    f.scene->Update();
    const Vector3 origin = child->world.TransformPoint({0, 0, 0});
    const Vector3 expected = parent->world.TransformPoint({1, 0, 0});
    EXPECT_NEAR(origin.x, expected.x, 1e-5f);
    EXPECT_NEAR(origin.y, expected.y, 1e-5f);
    EXPECT_NEAR(origin.z, expected.z, 1e-5f);
    EXPECT_NEAR(child->local.m[3], 1.0f, 1e-6f);
}

TEST(SceneTransforms, ViewIsTheRigidInverseOfWorld)
{
    SceneFixture f;
    Camera* camera = f.add(new Camera);
    camera->fov = 70.0f;
    camera->aspect = 1.0f;
    camera->nearPlane = 0.5f;
    camera->farPlane = 50.0f;
    camera->rotation = {20, -35, 10};
    camera->position = {3, -2, 7};
    f.scene->cameras.push_back(camera);
    Light* light = f.add(new Light);
    light->rotation = {-60, 0, 0};
    light->position = {0, 9, 0};
    f.scene->AddLight(light);
    const int before = entFrameCounter;
    f.scene->Update();
    EXPECT_EQ(entFrameCounter, before + 1);
    for (Camera* c : {camera, static_cast<Camera*>(light)})
        expectMatrixNear(c->world.Multiply(c->view), Matrix::Identity());
}

TEST(ScenePointerLists, GrowToCountPlusElevenAndKeepDuplicates)
{
    std::unique_ptr<Scene> scene(Scene::Create());
    EXPECT_EQ(scene->objects.capacity, 26);
    EXPECT_EQ(scene->lights.capacity, 18);
    EXPECT_EQ(scene->activeCamera, nullptr);
    Object object;
    for (int i = 0; i < 26; ++i)
        scene->AddObject(&object);
    EXPECT_EQ(scene->objects.capacity, 26);
    scene->AddObject(&object);
    EXPECT_EQ(scene->objects.capacity, 37);
    EXPECT_EQ(scene->objects.count, 27);
    for (Entity* e : scene->objects)
        EXPECT_EQ(e, &object);
    scene->objects.Release();
    EXPECT_EQ(scene->objects.count, 0);
    scene->AddObject(&object); // usable again after a release
    EXPECT_EQ(scene->objects.count, 1);
}

TEST(SceneAnimation, TrackIsCopiedAndCamerasAndLightsKeepUnitScale)
{
    ScriptedTrack track;
    Object object;
    object.animationTrack = &track;
    Light light;
    light.animationTrack = &track;
    light.scale = {7, 7, 7};
    Camera camera;
    camera.animationTrack = &track;

    entApplyAnimation(&object, 1.5);
    EXPECT_EQ(track.evaluatedAt, 1.5);
    EXPECT_EQ(object.position.x, 1.5f);
    EXPECT_EQ(object.rotation.z, 30.0f);
    EXPECT_EQ(object.scale.y, 5.0f);
    for (Entity* e : {static_cast<Entity*>(&light), static_cast<Entity*>(&camera)}) {
        entApplyAnimation(e, 2.0);
        EXPECT_EQ(e->position.x, 2.0f);
        EXPECT_EQ(e->rotation.y, 20.0f);
        EXPECT_EQ(e->scale.x, 1.0f);
        EXPECT_EQ(e->scale.z, 1.0f);
    }
    Object still;
    still.position = {9, 9, 9};
    entApplyAnimation(&still, 3.0);
    entApplyAnimation(nullptr, 3.0);
    EXPECT_EQ(still.position.x, 9.0f);
}

namespace {

// A camera looking down +z from the origin and a directional light above it looking down, both updated.
struct CascadeFixture : SceneFixture {
    Camera* camera = add(new Camera);
    Light* light = add(new Light);

    CascadeFixture()
    {
        camera->fov = 60.0f;
        camera->aspect = 16.0f / 9.0f;
        camera->nearPlane = 0.5f;
        camera->farPlane = 200.0f;
        scene->cameras.push_back(camera);
        light->fov = 0.0f;
        light->lightType = LIGHT_TYPE_DIRECTIONAL;
        light->orthoWidth = 400.0f;
        light->orthoHeight = 400.0f;
        light->nearPlane = 0.1f;
        light->farPlane = 1000.0f;
        light->castsShadows = true;
        light->rotation = {90, 0, 0};
        light->position = {0, 300, 100};
        scene->AddLight(light);
        scene->Update();
    }
};

} // namespace

TEST(SceneShadowCascades, SplitDistancesBlendLogarithmicAndLinear)
{
    CascadeFixture f;
    Matrix out;
    float split = 0.0f;
    for (float weight : {0.0f, 0.3f, 1.0f}) {
        f.camera->splitWeight = weight;
        entComputeShadowCascade(f.light, f.camera, 0, 1, &out, &split);
        EXPECT_FLOAT_EQ(split, 200.0f);
    }
    f.camera->splitWeight = 1.0f; // purely logarithmic: near * (far / near)^(1/4)
    entComputeShadowCascade(f.light, f.camera, 0, 4, &out, &split);
    EXPECT_NEAR(split, 0.5f * std::pow(400.0f, 0.25f), 1e-4f);
    f.camera->splitWeight = 0.0f; // purely linear
    entComputeShadowCascade(f.light, f.camera, 1, 4, &out, &split);
    EXPECT_NEAR(split, 0.5f + 199.5f * 0.5f, 1e-3f);
}

TEST(SceneShadowCascades, CropFitsTheFrustumSliceIntoClipSpace)
{
    CascadeFixture f;
    f.light->cascadeCount = 3;
    f.scene->UpdateShadowMatrices(f.camera);
    float previous = f.camera->nearPlane;
    for (int i = 0; i < 3; ++i) {
        const float d0 = previous, d1 = f.light->splitDistances[i];
        EXPECT_GT(d1, d0);
        previous = d1;
        const float h = std::tan(f.camera->fov / 180.0f * 3.14159265f / 2.0f);
        float minX = 1e9f, maxX = -1e9f, minY = 1e9f, maxY = -1e9f;
        for (float d : {d0, d1}) {
            for (float sx : {-1.0f, 1.0f}) {
                for (float sy : {-1.0f, 1.0f}) {
                    const Vector3 world = f.camera->world.TransformPoint({sx * d * h * f.camera->aspect, sy * d * h, d});
                    const Vector3 clip = f.light->shadowMatrices[i].TransformPoint(f.light->view.TransformPoint(world));
                    minX = std::min(minX, clip.x), maxX = std::max(maxX, clip.x);
                    minY = std::min(minY, clip.y), maxY = std::max(maxY, clip.y);
                }
            }
        }
        EXPECT_NEAR(minX, -1.0f, 1e-3f) << "cascade " << i;
        EXPECT_NEAR(maxX, 1.0f, 1e-3f);
        EXPECT_NEAR(minY, -1.0f, 1e-3f);
        EXPECT_NEAR(maxY, 1.0f, 1e-3f);
    }
    EXPECT_FLOAT_EQ(f.light->splitDistances[2], 200.0f);

    // Spot lights and single-cascade lights take their projection as it is.
    f.light->cascadeCount = 1;
    f.light->shadowMatrices[0] = Matrix::Scale(3, 3, 3);
    f.scene->UpdateShadowMatrices(f.camera);
    expectMatrixNear(f.light->shadowMatrices[0], f.light->projection, 0.0f);
}

TEST(SceneShadowCascades, UnusableCameraLeavesTheLightProjection)
{
    CascadeFixture f;
    Matrix out = Matrix::Scale(5, 5, 5);
    float split = -1.0f;
    f.camera->nearPlane = 0.0f; // (far / near)^s
    std::string log = captureLog([&] { entComputeShadowCascade(f.light, f.camera, 1, 2, &out, &split); });
    EXPECT_FALSE(log.empty());
    expectMatrixNear(out, f.light->projection, 0.0f);

    f.camera->nearPlane = 0.5f;
    f.camera->fov = 0.0f; // an orthographic camera: the slice has no width
    log = captureLog([&] { entComputeShadowCascade(f.light, f.camera, 0, 2, &out, &split); });
    EXPECT_NE(log.find("covers no area"), std::string::npos);
    expectMatrixNear(out, f.light->projection, 0.0f);
    for (float v : out.m)
        EXPECT_TRUE(std::isfinite(v));
}
