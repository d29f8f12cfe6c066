// The shadow-map capture: a shadow-casting light that adds no light of its own (black, intensity 0), published on
// "light" so a scene player renders its shadow map with the scene, and a compute job that turns that shadow map
// into a square R8 mask each frame. The depth texture and the mask go out on "smap" and "smask"; instancing from
// a light reads them. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "components/light_component.h"
#include "render/render_graph.h"

#include <cstdint>
#include <string>
#include <vector>

struct FileResource;
struct ShaderProgram;
struct Texture;

// Work-group side of the mask conversion.
constexpr uint32_t kShadowmapMaskGroupSize = 8;
// Mask and shadow-map side for "resolution" values of 0 or less.
constexpr int kShadowmapMinResolution = 1;

class shadowmapcapturefx : public KitComponent {
public:
    static constexpr int32_t kTypeIndex = 7;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<shadowmapcapturefx>(name); }
    ~shadowmapcapturefx() override;

    // Position and rotation: the gizmo places the light.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void Init() override;
    // The bounds item and the mask job.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // "type" and "resolution" rebuild light and mask; every change re-applies the parameters and tells the
    // consumers of "light", after which a replaced light is freed.
    void OnCvarChanged(Cvar* cvar) override;
    void OnSelectionChanged(bool selected) override;

    // A new light and mask for "type" and "resolution"; returns the previous light, still allocated (the caller
    // frees it once no consumer holds it).
    Light* RebuildLight();
    void ApplyParameters();
    // The side the parameters ask for: integer part of "resolution", at least kShadowmapMinResolution.
    int Resolution() const;
    // Rotation x (spot: the view volume's extent at the far plane) translated to "position".
    Matrix BoundsMatrix() const;
    // The render item's callback: keeps the model matrix as the capture matrix and registers the bounds.
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);
    // The function item: publishes the shadow map's depth texture and converts it into the mask.
    void ConvertToMask(Timestep time);
    // The depth texture the light's shadow framebuffer holds now, or null.
    Texture* ShadowDepth() const;

    // In member order.
    Cvar type, position, nearPlane, farPlane, fov, rotation, dimensions, resolution, culling, excludedTags;

    Light* light = nullptr;
    LightResource* lightResource = nullptr;
    FileResource* depthResource = nullptr; // the store's record when this component made it, else its own
    Texture* mask = nullptr;
    FileResource* maskResource = nullptr;
    Matrix captureMatrix; // last model matrix the bounds item received; identity until then
    // Dispatch of the last conversion, for tests and timing views.
    uint32_t lastGroups[2] = {0, 0};

protected:
    explicit shadowmapcapturefx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    // New mask of the current resolution, replacing (and freeing) the old one.
    void RebuildMask();
    // The records this component owns (names taken by an earlier capture), freed with it.
    FileResource* ownDepthRecord = nullptr;
    FileResource* ownMaskRecord = nullptr;
    std::vector<Light*> initReplaced_; // stand-ins Init replaced, freed with the component
};

// The shared conversion program ("shaders/deferred/copy_depth_to_mask.comp"), built by the first capture made.
ShaderProgram* shadowmapMaskProgram();
