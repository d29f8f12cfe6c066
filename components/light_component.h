// The graph component that owns one scene Light (point, spot or directional) and publishes it on "light"; a
// scene player with the output on its "fx" input renders it.
#pragma once

#include "components/component_kit.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <string>
#include <vector>

class Light;

// Kind 6: the payload of a light's "light" output.
struct LightResource : Resource {
    Light* light = nullptr; // not owned: the component keeps it equal to its current Light

    LightResource(std::string name, Light* light) : Resource(ResourceType::Light, std::move(name)), light(light) {}
};

class lightcomponent : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<lightcomponent>(name); }
    ~lightcomponent() override;

    // Scale is "dimensions" while "area" is set, else none.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // "type", "shadowcasting" and "shadowmap resolution" replace the Light; every change is written into it and
    // the consumers are told, after which a replaced Light is freed.
    void OnCvarChanged(Cvar* cvar) override;
    void OnSelectionChanged(bool selected) override;

    // Replaces the Light with a new one of the type, shadows and shadow-map size the parameters ask for. The
    // previous one is returned, still allocated: the caller frees it (DestroyLight) once no consumer holds it.
    Light* BuildLight();
    // Writes every other parameter into the current Light.
    void ApplyParameters();
    // Rotation x area scale, translated to "position".
    Matrix GetViewMatrix() const;
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    // Frees a Light a light factory made, with its face lights and shadow framebuffers.
    static void DestroyLight(Light* light);

    // In memory order.
    Cvar type;
    Cvar culling;
    Cvar position;
    Cvar range;
    Cvar rangeNear;
    Cvar fov;
    Cvar rotation;
    Cvar intensity;
    Cvar dimensions;
    Cvar area;
    Cvar volumetric;
    Cvar color;
    Cvar shadowcasting;
    Cvar roughnessModifier;
    Cvar shadowmapResolution;
    Cvar excludedTags;

    Light* light = nullptr;
    LightResource* payload = nullptr;

protected:
    explicit lightcomponent(const std::string& name);

private:
    std::vector<Light*> initReplaced_; // stand-ins Init replaced, freed with the component
};
