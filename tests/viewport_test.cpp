#include "editor/gizmo.h"
#include "editor/renderer_window.h"
#include "editor/ui.h"

#include "components/transform_components.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "project_test_util.h"
#include "render/entities.h"
#include "render/selection_bounds.h"
#include "ui_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

TEST(ViewportPlacement, ImageFitsTheRegionHeightAndIsNeverEnlarged)
{
    struct Case {
        float regionW, regionH;
        int imageW, imageH;
        float width, height, x, y, reserveWidth;
    } cases[] = {
        // Cursor at (8, 40) in every case.
        {1272, 720, 1920, 1080, 1280, 720, 636 + 8 - 640, 360 + 40 - 360, 1280},
        {2000, 2000, 1920, 1080, 1920, 1080, 1000 + 8 - 960, 1000 + 40 - 540, 1920 * 2000.0f / 1080},
        {600, 288, 512, 288, 512, 288, 300 + 8 - 256, 144 + 40 - 144, 512},
        {600, 144, 512, 288, 256, 144, 300 + 8 - 128, 72 + 40 - 72, 256},
    };
    for (const Case& c : cases) {
        const ViewportImagePlacement p = ui_renderer_image_placement(c.regionW, c.regionH, 8, 40, c.imageW, c.imageH);
        EXPECT_FLOAT_EQ(p.width, c.width) << c.regionH;
        EXPECT_FLOAT_EQ(p.height, c.height) << c.regionH;
        EXPECT_FLOAT_EQ(p.x, c.x) << c.regionH;
        EXPECT_FLOAT_EQ(p.y, c.y) << c.regionH;
        EXPECT_FLOAT_EQ(p.reserveWidth, c.reserveWidth) << c.regionH;
        EXPECT_FLOAT_EQ(p.reserveHeight, c.regionH) << c.regionH;
    }
    // No texture size: an empty rectangle at the cursor, which the mouse can never be inside.
    const ViewportImagePlacement none = ui_renderer_image_placement(1272, 720, 8, 40, 0, 0);
    EXPECT_EQ(none.width, 0.0f);
    EXPECT_EQ(none.height, 0.0f);
    EXPECT_EQ(none.x, 8.0f);
    EXPECT_EQ(none.y, 40.0f);
}

// The write-back must give back the angles the component's matrix was built from, in the engine's own order,
// or a rotate drag makes the object jump as soon as two angles are non-zero.
TEST(ViewportDecompose, RoundTripsTheEnginesTransformOrder)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> angle(-89.0f, 89.0f), offset(-50.0f, 50.0f), size(0.1f, 5.0f);
    for (int i = 0; i < 500; ++i) {
        const float position[3] = {offset(random), offset(random), offset(random)};
        const float rotation[3] = {angle(random), angle(random), angle(random)};
        const float scale[3] = {size(random), size(random), size(random)};
        const Matrix m = composeTransform(position, rotation, scale[0], scale[1], scale[2]);
        float s[3], r[3], t[3];
        ui_renderer_decompose(m, s, r, t);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(r[k], rotation[k], 2e-3f) << i << " angle " << k;
            EXPECT_NEAR(s[k], scale[k], 1e-4f * scale[k] + 1e-5f) << i << " scale " << k;
            EXPECT_FLOAT_EQ(t[k], position[k]) << i;
        }
    }
    // At a pitch of +-90 degrees only the sum or difference of yaw and roll is defined: the angles differ, the
    // rotation they build does not.
    for (float pitch : {90.0f, -90.0f}) {
        const float rotation[3] = {pitch, 30.0f, 20.0f};
        const float origin[3] = {0, 0, 0};
        const Matrix m = composeTransform(origin, rotation, 1, 1, 1);
        float s[3], r[3], t[3];
        ui_renderer_decompose(m, s, r, t);
        const Matrix back = composeTransform(origin, r, 1, 1, 1);
        for (int k = 0; k < 16; ++k)
            EXPECT_NEAR(back.m[k], m.m[k], 1e-4f) << "pitch " << pitch << " element " << k;
    }
}

using Movable = projtest::TestTransform;

struct MouseEvent {
    int button, event, x, y;
};
std::vector<MouseEvent> forwardedButtons;
int forwardedMoves = 0;

// Camera on the -z axis looking at the origin, 60 degree vertical field, clip depth 0..1.
Camera makeCamera(float aspect)
{
    Camera camera;
    camera.view = Matrix::Translation(0, 0, 10);
    const float f = 1.0f / std::tan(30.0f * 3.14159265f / 180.0f), n = 0.1f, far = 100.0f;
    Matrix& p = camera.projection;
    p = Matrix();
    p.m[0] = f / aspect;
    p.m[5] = f;
    p.m[10] = far / (far - n);
    p.m[11] = -far * n / (far - n);
    p.m[14] = 1.0f;
    p.m[15] = 0.0f;
    return camera;
}

class ViewportWindow : public testing::Test {
protected:
    void SetUp() override
    {
        savedCurrent_ = currentProject;
        project_ = projCreate("viewport");
        projSetCurrent(project_);
        harness_ = std::make_unique<UiHarness>(ImVec2(1920, 1080));
        ui_create_state();
        *uiRendererWindowState = RendererWindowState();
        selectedBoundsMap.clear();
        forwardedButtons.clear();
        forwardedMoves = 0;
        uiEngineMouseButton = [](int b, int e, int x, int y) { forwardedButtons.push_back({b, e, x, y}); };
        uiEngineCursorMove = [](int, int) { ++forwardedMoves; };

        picture_.images[0] = new Image();
        picture_.images[0]->width = 512;
        picture_.images[0]->height = 288;
        picture_.imageCount = 1;
        image_ = std::make_unique<ImageResource>("output", &picture_);
        ASSERT_TRUE(project_->resources->add(image_.get()));

        camera_ = makeCamera(512.0f / 288.0f);
        a_ = new Movable("a");
        b_ = new Movable("b");
        b_->position.value[0] = 3.0f;
        a_->selected = b_->selected = true;
        currentComponents->push_back(a_);
        currentComponents->push_back(b_);

        draw_ = [this] {
            // What the frame's draws would register before the editor frame.
            for (Movable* m : {a_, b_}) {
                const Matrix world = composeTransform(m->position.value, m->rotation.value, m->scale.value[0],
                                                      m->scale.value[1], m->scale.value[2]);
                RegisterSelectedBounds(m, registerWithCamera_ ? &camera_ : nullptr, world, world, nullptr,
                                       SelectedBoundsKind::Box);
            }
            viewportCamera = &camera_;
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(700, 400));
            ui_renderer_window(uiRendererWindowState, "Renderer");
        };
    }
    void TearDown() override
    {
        selectedBoundsMap.clear();
        viewportCamera = nullptr;
        uiEngineMouseButton = nullptr;
        uiEngineCursorMove = nullptr;
        harness_.reset();
        uiSmallFont = nullptr;
        projSetCurrent(savedCurrent_);
        projDestroy(project_); // deletes the components; the image record is only borrowed by the store
        delete picture_.images[0];
    }

    // Where the picture is drawn, from the reserved item and the window's content region.
    ViewportImagePlacement picture()
    {
        harness_->frame(draw_);
        const auto item = harness_->find("##picture", "Renderer");
        EXPECT_TRUE(item.has_value());
        ImGuiWindow* window = harness_->window("Renderer");
        EXPECT_NE(window, nullptr);
        if (!item || !window)
            return {};
        return ui_renderer_image_placement(window->ContentRegionRect.Max.x - window->Pos.x,
                                           window->ContentRegionRect.Max.y - window->Pos.y, item->rect.Min.x,
                                           item->rect.Min.y, 512, 288);
    }
    // Screen position of a world point seen by the test camera in the picture.
    ImVec2 onScreen(const ViewportImagePlacement& p, float x, float y, float z)
    {
        const Matrix vp = camera_.view.Multiply(camera_.projection);
        const Vector3 c = vp.TransformPoint({x, y, z});
        const float w = vp.m[12] * x + vp.m[13] * y + vp.m[14] * z + vp.m[15];
        return ImVec2(p.x + (c.x / w * 0.5f + 0.5f) * p.width, p.y + (0.5f - c.y / w * 0.5f) * p.height);
    }

    Project* savedCurrent_ = nullptr;
    Project* project_ = nullptr;
    std::unique_ptr<UiHarness> harness_;
    UiHarness::Draw draw_;
    Texture picture_;
    std::unique_ptr<ImageResource> image_;
    Camera camera_;
    bool registerWithCamera_ = false;
    Movable* a_ = nullptr;
    Movable* b_ = nullptr;
};

TEST_F(ViewportWindow, DraggingTheXArrowMovesOnlyThatComponentAlongX)
{
    const ViewportImagePlacement p = picture();
    ASSERT_GT(p.width, 0.0f);
    const ImVec2 origin = onScreen(p, 0, 0, 0);
    const ImVec2 grab(origin.x + 25, origin.y);
    const int frames = 6;
    harness_->drag(grab, ImVec2(grab.x + 60, grab.y), draw_, frames);

    EXPECT_GT(a_->position.value[0], 0.5f) << "the arrow follows the mouse to the right";
    EXPECT_NEAR(a_->position.value[1], 0.0f, 1e-4f);
    EXPECT_NEAR(a_->position.value[2], 0.0f, 1e-4f);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(a_->rotation.value[k], 0.0f);
        EXPECT_EQ(a_->scale.value[k], 1.0f);
    }
    EXPECT_EQ(b_->position.value[0], 3.0f) << "the other gizmo is left alone";
    EXPECT_TRUE(b_->changedCvars.empty());
    ASSERT_FALSE(a_->changedCvars.empty());
    EXPECT_LE(a_->changedCvars.size(), size_t(frames + 2)) << "at most one write per frame";
    for (Cvar* changed : a_->changedCvars)
        EXPECT_EQ(changed, &a_->position);
    // The click started on a handle: the camera never saw it press (a release alone moves nothing).
    for (const MouseEvent& e : forwardedButtons)
        EXPECT_NE(e.event, 4);
    EXPECT_EQ(forwardedMoves, 0);
    EXPECT_TRUE(selectedBoundsMap.empty()) << "the window empties the map after its gizmos";
    EXPECT_EQ(viewportCamera, nullptr);
}

TEST_F(ViewportWindow, RotatingWritesAllThreeAnglesThatRebuildTheDraggedMatrix)
{
    a_->rotation.value[0] = 20.0f;
    a_->rotation.value[1] = 30.0f;
    uiRendererWindowState->gizmoMode = 1;
    registerWithCamera_ = true;
    const ViewportImagePlacement p = picture();
    // The screen ring sits outside the axis rings; grab it at its right and drag upwards around the centre.
    const ImVec2 origin = onScreen(p, 0, 0, 0);
    const float ring = std::clamp(0.12f * std::min(p.width, p.height), 40.0f, 140.0f) * 1.2f;
    harness_->drag(ImVec2(origin.x + ring, origin.y), ImVec2(origin.x + ring * 0.7f, origin.y - ring * 0.7f), draw_,
                   5);
    ASSERT_FALSE(a_->changedCvars.empty());
    for (Cvar* changed : a_->changedCvars)
        EXPECT_EQ(changed, &a_->rotation);
    // A quarter turn about the view axis (the camera looks along +z).
    const float before[3] = {20.0f, 30.0f, 0.0f};
    const float origin3[3] = {0, 0, 0};
    const Matrix start = composeTransform(origin3, before, 1, 1, 1);
    const Matrix now = composeTransform(origin3, a_->rotation.value, 1, 1, 1);
    const Vector3 zStart = start.TransformDirection({0, 0, 1}), zNow = now.TransformDirection({0, 0, 1});
    EXPECT_GT(std::fabs(zStart.Dot(zNow) - 1.0f), 1e-3f) << "the rotation changed";
    EXPECT_NE(a_->rotation.value[2], 0.0f) << "a screen rotation touches every angle";
    EXPECT_EQ(a_->position.value[0], 0.0f);
}

TEST_F(ViewportWindow, HideForwardsClicksToTheCameraAndOutsideClicksAreKept)
{
    uiRendererWindowState->gizmoMode = 3;
    const ViewportImagePlacement p = picture();
    const ImVec2 centre(p.x + p.width / 2, p.y + p.height / 2);
    harness_->drag(centre, ImVec2(centre.x + 30, centre.y + 10), draw_, 3);
    ASSERT_EQ(forwardedButtons.size(), 2u);
    EXPECT_EQ(forwardedButtons[0].button, 0);
    EXPECT_EQ(forwardedButtons[0].event, 4);
    EXPECT_EQ(forwardedButtons[0].x, int(centre.x));
    EXPECT_EQ(forwardedButtons[1].event, 3);
    EXPECT_GT(forwardedMoves, 0);
    EXPECT_TRUE(a_->changedCvars.empty());

    // A click outside the picture is not the camera's.
    forwardedButtons.clear();
    harness_->clickAt(ImVec2(p.x + p.width + 60, p.y + 10), draw_);
    EXPECT_TRUE(forwardedButtons.empty());
}

// Another window lying over the picture (the timeline docked below, a tool window on top) takes its own clicks:
// ticking a checkbox there must not grab the camera, which would detach it from its scene camera.
TEST_F(ViewportWindow, ClicksOnAWindowOverThePictureStayThere)
{
    uiRendererWindowState->gizmoMode = 3;
    const ViewportImagePlacement p = picture();
    const ImVec2 centre(p.x + p.width / 2, p.y + p.height / 2);
    bool ticked = false;
    const UiHarness::Draw withWindowOnTop = [&] {
        draw_();
        ImGui::SetNextWindowPos(ImVec2(centre.x - 100, centre.y - 50));
        ImGui::SetNextWindowSize(ImVec2(200, 100));
        ImGui::Begin("Over the picture");
        ImGui::Checkbox("tick", &ticked);
        ImGui::End();
    };
    harness_->frames(2, withWindowOnTop);
    ASSERT_TRUE(harness_->click("tick", withWindowOnTop, "Over the picture"));
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(forwardedButtons.empty());
    EXPECT_EQ(forwardedMoves, 0);
}

TEST_F(ViewportWindow, WithoutAnImageTheWindowLeavesTheMapAlone)
{
    project_->resources->resources.erase("output");
    harness_->frames(2, draw_);
    EXPECT_EQ(selectedBoundsMap.size(), 2u) << "nothing clears the entries without a picture";
    EXPECT_FALSE(harness_->has("BBox", "Renderer"));
}

} // namespace
