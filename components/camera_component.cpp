#include "components/camera_component.h"

#include "components/transform_components.h"
#include "render/camera_controller.h"
#include "render/entities.h"
#include "render/selection_bounds.h"

namespace {

constexpr int kCameraRow = 8;

const char* const kTypeOptions[] = {"Perspective", nullptr};

} // namespace

camerafx::camerafx(const std::string& name) : KitComponent(kCameraRow, name)
{
    camera = entCreateCamera(45.0f);
    camera->owner = this;

    controller = new CameraController("Controller");
    currentCameraController = controller;
    controller->attached = camera;

    CvarTreeRegisterEnum(&cameraType, "Type", kTypeOptions, 0);
    CvarTreeRegisterFloat(&fov, "FOV", 45.0f, 5.0f, 120.0f);
    CvarTreeRegisterFloat(&nearPlane, "Near", 0.01f, 0.01f, 10.0f);
    // Inside the parameter's range, and the scene cameras' own default.
    CvarTreeRegisterFloat(&farPlane, "Far", 1000.0f, 1.0f, 1000.0f);
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "Rotation", 0.0f, 0.0f, 0.0f);
    position.animatable = rotation.animatable = fov.animatable = true;
    CloseBranch();

    payload = new CameraResource("camerafx/Camera", camera);
    AddOutput("cmr", ResourceType::Camera)->payload = payload;
}

camerafx::~camerafx()
{
    // A scene player's controller may still follow this camera.
    CameraController::ForgetCamera(camera);
    delete controller;
    delete camera;
    delete payload;
}

bool camerafx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = nullptr;
    return true;
}

void camerafx::Init() { OnCvarChanged(&position); }

void camerafx::Execute(RenderItemBuilder& builder, Timestep)
{
    camera->name = name;
    camera->fov = fov.value[0];
    camera->aspect = cameraOutputAspect();
    camera->nearPlane = nearPlane.value[0];
    camera->farPlane = farPlane.value[0];
    addBoundsItem(builder, this, GetCameraMatrix());
}

void camerafx::OnCvarChanged(Cvar* cvar)
{
    if ((cvar != &position && cvar != &rotation) || !camera)
        return;
    camera->rotation = {rotation.value[0], rotation.value[1], rotation.value[2]};
    camera->position = {position.value[0], position.value[1], position.value[2]};
}

void camerafx::OnSelectionChanged(bool isSelected) { camera->selected = isSelected; }

Matrix camerafx::GetCameraMatrix() const { return composeTransform(position.value, rotation.value, 1.0f, 1.0f, 1.0f); }

void camerafx::RegisterBounds(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    // Kind 3 is no overlay shape: the overlay falls back to the bare cone.
    RegisterSelectedBounds(this, nullptr, GetCameraMatrix(), model ? *model : Matrix(), nullptr, 3);
}
