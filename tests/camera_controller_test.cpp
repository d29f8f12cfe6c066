#include "render/camera_controller.h"

#include "app/engine_display.h"
#include "components/camera_component.h"
#include "project/cvars.h"
#include "render/entities.h"
#include "render/scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance = 1e-4f)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

void expectMatrixNear(const Matrix& a, const Matrix& b, float tolerance = 1e-4f)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(a.m[i], b.m[i], tolerance) << "element " << i;
}

void setVec3(Cvar& cvar, const Vector3& v)
{
    cvar.value[0] = v.x;
    cvar.value[1] = v.y;
    cvar.value[2] = v.z;
}

// A controller registered under a branch of its own, as its owners make it. The branch goes first, as an
// owner's does: it lists the controller's parameters.
struct OwnedController {
    std::unique_ptr<CameraController> controller;
    std::unique_ptr<CvarTreeNode> owner;

    explicit OwnedController(const std::string& name, CvarTreeNode* branch = nullptr)
        : owner(branch ? branch : new CvarTreeNode("owner of " + name, nullptr))
    {
        cvarTreeCurrentBranch = owner.get();
        controller = std::make_unique<CameraController>(name);
        cvarTreeCurrentBranch = &cvarTreeRoot;
    }
    ~OwnedController() { owner.reset(); }
    CameraController* operator->() const { return controller.get(); }
};

// The fixture's controller; the input globals it touches are restored.
class CameraControllerTest : public ::testing::Test {
protected:
    CameraController* savedCurrent = currentCameraController;
    int savedDragMode = dragMode;
    std::unique_ptr<OwnedController> owned = std::make_unique<OwnedController>("ctl");
    CameraController* controller = owned->controller.get();

    void TearDown() override
    {
        owned.reset();
        currentCameraController = savedCurrent;
        dragMode = savedDragMode;
    }
};

} // namespace

TEST_F(CameraControllerTest, ConstructionRegistersPoseInItsOwnBranch)
{
    ASSERT_EQ(owned->owner->children.size(), 1u);
    CvarTreeNode* branch = owned->owner->children[0];
    EXPECT_EQ(branch->name, "controller");
    EXPECT_EQ(controller->branch, branch);
    ASSERT_EQ(branch->cvars.size(), 6u);
    const char* names[] = {"sensitivity", "position", "direction", "up", "detached", "follow detached"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(branch->cvars[i]->name, names[i]);
    EXPECT_EQ(controller->sensitivity.min, 0.01f);
    EXPECT_EQ(controller->sensitivity.max, 10.0f);
    EXPECT_TRUE(controller->IsDetached());
    expectNear(controller->Direction(), {0, 0, 1});
    expectNear(controller->Up(), {0, 1, 0});

    Camera* camera = controller->camera;
    EXPECT_EQ(camera->name, "ctl");
    EXPECT_EQ(camera->fov, 90.0f);
    EXPECT_FLOAT_EQ(camera->nearPlane, 0.1f);
    EXPECT_EQ(camera->farPlane, 1000.0f);
    EXPECT_NEAR(camera->aspect, 1920.0f / 1080.0f, 1e-6f);
    EXPECT_EQ(controller->attached, nullptr);

    // Registration takes over a pose stored in the project, so a saved pose survives a restart.
    auto* stored = new CvarTreeNode("stored", nullptr);
    const char* json = R"({"branch_name": "stored", "variables": [], "children": [{"branch_name": "controller",
        "variables": [{"name": "position", "type": 5, "value": {"x": 7, "y": 8, "z": 9}}]}]})";
    ASSERT_NE(CvarTreeLoadFromJson(json, CvarScope::Node, stored), nullptr);
    OwnedController restored("restored", stored);
    expectNear(restored->Position(), {7, 8, 9});
    ASSERT_EQ(stored->children.size(), 1u);
    EXPECT_EQ(stored->children[0]->cvars.size(), 6u);
}

TEST_F(CameraControllerTest, MoveStepsAlongTheControllerAxes)
{
    struct Case {
        const char* what;
        float sensitivity;
        Vector3 direction, up;
        bool rebuilt; // Update ran since the axes were set
        Vector3 v, step;
    };
    const Case cases[] = {
        // Default axes: S = (0, 1, 0) x (0, 0, 1) = (1, 0, 0).
        {"side, sensitivity 2", 2.0f, {0, 0, 1}, {0, 1, 0}, true, {1, 0, 0}, {2, 0, 0}},
        {"forward", 1.0f, {0, 0, 1}, {0, 1, 0}, true, {0, 0, -5}, {0, 0, -5}},
        // Looking along +x: side = (0, 1, 0) x (1, 0, 0) = (0, 0, -1).
        {"turned forward", 1.0f, {1, 0, 0}, {0, 1, 0}, true, {0, 0, 1}, {1, 0, 0}},
        {"turned side", 1.0f, {1, 0, 0}, {0, 1, 0}, true, {3, 0, 0}, {0, 0, -3}},
        {"turned up", 0.5f, {1, 0, 0}, {0, 1, 0}, true, {0, 4, 0}, {0, 2, 0}},
        // Move reads the frame of the last Update: new axes count only after one.
        {"not rebuilt yet", 1.0f, {1, 0, 0}, {0, 1, 0}, false, {0, 0, 1}, {0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OwnedController owner("case");
        CameraController& ctl = *owner.controller;
        ctl.sensitivity.value[0] = c.sensitivity;
        setVec3(ctl.position, {10, 20, 30});
        setVec3(ctl.direction, c.direction);
        setVec3(ctl.up, c.up);
        ctl.detached.value[0] = 0.0f;
        if (c.rebuilt) {
            ctl.Update();
            ctl.detached.value[0] = 0.0f;
        }
        Vector3 v = c.v;
        ctl.Move(v);
        expectNear(v, c.step);
        expectNear(ctl.Position(), Vector3{10, 20, 30} + c.step);
        EXPECT_TRUE(ctl.IsDetached());
    }
}

TEST_F(CameraControllerTest, UpdateBuildsCameraFromTheParameters)
{
    setVec3(controller->position, {1, 2, 3});
    setVec3(controller->direction, {1, 0, 0});
    setVec3(controller->up, {0, 1, 0});
    controller->Update();
    const Matrix& world = controller->camera->world;
    // Columns side, up, forward; translation the position.
    expectNear(world.TransformDirection({1, 0, 0}), {0, 0, -1});
    expectNear(world.TransformDirection({0, 1, 0}), {0, 1, 0});
    expectNear(world.TransformDirection({0, 0, 1}), {1, 0, 0});
    expectNear(world.TransformPoint({0, 0, 0}), {1, 2, 3});
    expectNear(controller->camera->position, {1, 2, 3});
    expectMatrixNear(controller->camera->view.Multiply(world), Matrix::Identity());
    // The frame keeps the axes as rows.
    expectNear({controller->frame.m[8], controller->frame.m[9], controller->frame.m[10]}, {1, 0, 0});
    expectNear({controller->frame.m[3], controller->frame.m[7], controller->frame.m[11]}, {1, 2, 3});

    // A damaged pose gives a degenerate camera, without failing.
    setVec3(controller->direction, {0, 0, 0});
    controller->Update();
    EXPECT_EQ(controller->frame.m[0], 0.0f);
}

TEST_F(CameraControllerTest, AttachedControllerFollowsItsCamera)
{
    std::unique_ptr<Camera> followed(entCreateCamera(60.0f));
    followed->position = {1, 2, 3};
    followed->rotation = {10, 30, 0};
    followed->aspect = 1.5f;
    followed->farPlane = 250.0f;
    followed->splitWeight = 0.5f;
    entSetupTransformation(followed.get());

    controller->attached = followed.get();
    controller->detached.value[0] = 0.0f;
    controller->followDetached.value[0] = 1.0f; // without "detached" nothing is written back
    controller->Update();

    expectNear(controller->Position(), {1, 2, 3});
    const float* w = followed->world.m;
    expectNear(controller->Direction(), {w[2], w[6], w[10]});
    expectNear(controller->Up(), {w[1], w[5], w[9]});
    expectMatrixNear(controller->camera->world, followed->world);
    EXPECT_EQ(controller->camera->fov, 60.0f);
    EXPECT_EQ(controller->camera->farPlane, 250.0f);
    EXPECT_EQ(controller->camera->splitWeight, 0.5f);
    expectMatrixNear(controller->camera->projection, followed->projection, 0.0f);
    expectNear(followed->position, {1, 2, 3}, 0.0f);
    expectNear(followed->rotation, {10, 30, 0}, 0.0f);
    EXPECT_FALSE(controller->IsDetached());

    // Once moved by the user it flies freely: the followed camera no longer drives it.
    Vector3 step{0, 0, 1};
    controller->Move(step);
    followed->position = {100, 100, 100};
    entSetupTransformation(followed.get());
    controller->Update();
    expectNear(controller->Position(), Vector3{1, 2, 3} + step);

    // Deleting a followed camera: owners tell every controller first.
    CameraController::ForgetCamera(followed.get());
    EXPECT_EQ(controller->attached, nullptr);
}

TEST_F(CameraControllerTest, LightsAreFollowedInPoseOnly)
{
    std::unique_ptr<Light> light(entCreateLightSpot(30.0f, false, 0, 0));
    light->position = {0, 5, 0};
    light->aspect = 1.0f;
    entSetupTransformation(light.get());
    controller->attached = light.get();
    controller->detached.value[0] = 0.0f;
    controller->Update();
    expectNear(controller->Position(), {0, 5, 0});
    EXPECT_EQ(controller->camera->fov, 90.0f); // its own, not the light's

    controller->detached.value[0] = 1.0f;
    controller->followDetached.value[0] = 1.0f;
    setVec3(controller->position, {9, 9, 9});
    controller->Update();
    controller->Update();
    expectNear(light->position, {0, 5, 0}, 0.0f); // never written back
}

TEST_F(CameraControllerTest, FollowDetachedWritesThePoseBackIntoTheCameraComponent)
{
    std::unique_ptr<EngineComponent> component(camerafx::Create("cam"));
    auto* cam = static_cast<camerafx*>(component.get());
    controller->attached = cam->camera;
    controller->detached.value[0] = 1.0f;
    controller->followDetached.value[0] = 1.0f;

    // Fly to a pose: turn to the direction and up of Euler angles (20, 35, -15).
    const Matrix pose = Matrix::FromEulerDegrees(20.0f, 35.0f, -15.0f);
    setVec3(controller->direction, pose.TransformDirection({0, 0, 1}));
    setVec3(controller->up, pose.TransformDirection({0, 1, 0}));
    setVec3(controller->position, {4, -2, 7});
    controller->Update(); // builds the frame
    controller->Update(); // writes the frame back

    expectNear({cam->position.value[0], cam->position.value[1], cam->position.value[2]}, {4, -2, 7});
    expectNear({cam->rotation.value[0], cam->rotation.value[1], cam->rotation.value[2]}, {20, 35, -15}, 1e-3f);
    // The component applied it: its camera now sits where the controller flew.
    expectNear(cam->camera->position, {4, -2, 7});
    cam->camera->aspect = 1.0f;
    entSetupTransformation(cam->camera);
    expectMatrixNear(cam->camera->world, controller->camera->world, 1e-4f);

    // Reset: clearing "detached" follows the camera again from the written-back pose, without a jump.
    controller->detached.value[0] = 0.0f;
    controller->Update();
    expectNear(controller->Position(), {4, -2, 7});
    expectNear(controller->Direction(), pose.TransformDirection({0, 0, 1}));
    owned.reset(); // before the component, whose camera it follows
}

TEST(CameraControllerMath, OrthonormalizeKeepsABasisAndStraightensASkewedOne)
{
    Matrix basis = Matrix::FromEulerDegrees(30.0f, -50.0f, 12.0f);
    basis.m[3] = 7.0f;
    basis.m[15] = 3.0f;
    const Matrix before = basis;
    CameraController::Orthonormalize(basis);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(basis.m[i], before.m[i], 1e-6f) << i;

    auto error = [](const Matrix& m) {
        double worst = 0.0;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                double dot = 0.0;
                for (int k = 0; k < 3; ++k)
                    dot += static_cast<double>(m.m[a * 4 + k]) * m.m[b * 4 + k];
                worst = std::max(worst, std::abs(dot - (a == b ? 1.0 : 0.0)));
            }
        return worst;
    };
    Matrix skewed = Matrix::FromEulerDegrees(10.0f, 20.0f, 30.0f);
    skewed.m[0] *= 1.05f;
    skewed.m[1] += 0.04f;
    skewed.m[5] *= 0.97f;
    skewed.m[11] = -4.0f;
    const double start = error(skewed);
    CameraController::Orthonormalize(skewed);
    EXPECT_LT(error(skewed), start / 4.0);
    EXPECT_EQ(skewed.m[11], -4.0f); // the fourth column is left alone
}

TEST_F(CameraControllerTest, EngineInputMovesTheCurrentController)
{
    currentCameraController = nullptr;
    engine_on_key(kEngineKeyUp, false, false, 1); // no controller: nothing to move, nothing breaks
    engine_on_mouse_button(0, 4, 10, 10);
    engine_on_cursor_move(20, 20);

    currentCameraController = controller;
    controller->Update();
    controller->detached.value[0] = 0.0f;
    struct Key {
        int key;
        bool shift;
        Vector3 step;
    };
    const Key keys[] = {{kEngineKeyLeft, false, {-1, 0, 0}}, {kEngineKeyRight, true, {5, 0, 0}},
                        {kEngineKeyUp, false, {0, 0, 1}},    {kEngineKeyDown, true, {0, 0, -5}},
                        {kEngineKeyHome, false, {0, 0, 0}}};
    for (const Key& k : keys) {
        const Vector3 before = controller->Position();
        engine_on_key(k.key, k.shift, false, 1);
        expectNear(controller->Position(), before + k.step);
    }
    EXPECT_TRUE(controller->IsDetached());

    // Left drag: 10 pixels up pitches by 1 degree about the side axis, 20 pixels left yaws by 2 degrees.
    controller->detached.value[0] = 0.0f;
    engine_on_mouse_button(0, 4, 100, 100);
    EXPECT_EQ(dragMode, 1);
    engine_on_cursor_move(120, 90);
    EXPECT_TRUE(controller->IsDetached());
    Vector3 expected{0, 0, 1};
    expected.RotateAroundAxis({1, 0, 0}, 1.0f);
    Vector3 expectedUp{0, 1, 0};
    expectedUp.RotateAroundAxis({1, 0, 0}, 1.0f);
    expected.RotateAroundAxis(expectedUp, -2.0f);
    expectNear(controller->Direction(), expected);
    expectNear(controller->Up(), expectedUp);
    EXPECT_EQ(lastCursorX, 120.0f);
    EXPECT_EQ(lastCursorY, 90.0f);

    // Released: moving the cursor turns nothing.
    engine_on_mouse_button(0, 3, 120, 90);
    EXPECT_EQ(dragMode, 0);
    engine_on_cursor_move(0, 0);
    expectNear(controller->Direction(), expected);

    // Right drag: roll "up" about "direction" and lift along the controller's up axis.
    setVec3(controller->direction, {0, 0, 1});
    setVec3(controller->up, {0, 1, 0});
    setVec3(controller->position, {0, 0, 0});
    controller->Update();
    engine_on_mouse_button(2, 4, 50, 50);
    EXPECT_EQ(dragMode, 2);
    engine_on_cursor_move(40, 30);
    Vector3 rolled{0, 1, 0};
    rolled.RotateAroundAxis({0, 0, 1}, 1.0f);
    expectNear(controller->Up(), rolled);
    expectNear(controller->Position(), {0, 2, 0});
    engine_on_mouse_button(2, 3, 40, 30);

    // A controller that goes away stops being current.
    owned.reset();
    EXPECT_EQ(currentCameraController, nullptr);
}
