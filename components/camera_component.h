// The graph component that owns one perspective Camera and publishes it on "cmr"; a scene player renders
// through the cameras on its "cmr" input. Its own controller lets the editor's input fly the camera.
#pragma once

#include "components/component_kit.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <string>

class Camera;
class CameraController;

// Kind 7: the payload of a camera's "cmr" output. Every camera component publishes under the same name;
// consumers tell them apart by pin.
struct CameraResource : Resource {
    Camera* camera = nullptr; // not owned

    CameraResource(std::string name, Camera* camera)
        : Resource(ResourceType::Camera, std::move(name)), camera(camera)
    {
    }
};

class camerafx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<camerafx>(name); }
    ~camerafx() override;

    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    // Name, fov, aspect, near and far reach the camera here, every frame it is pulled.
    // Places the camera where the stored "Position" and "Rotation" say: a loaded camera would otherwise wait at the
    // origin for the first change of either.
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // Position and rotation reach the camera only here.
    void OnCvarChanged(Cvar* cvar) override;
    void OnSelectionChanged(bool selected) override;

    Matrix GetCameraMatrix() const;
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    // In memory order.
    Cvar cameraType;
    Cvar position;
    Cvar nearPlane;
    Cvar farPlane;
    Cvar fov;
    Cvar rotation;

    CameraController* controller = nullptr;
    Camera* camera = nullptr;
    CameraResource* payload = nullptr;

protected:
    explicit camerafx(const std::string& name);
};
