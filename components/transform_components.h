// Components that carry nothing but a transform: the Null (a general empty object) and the Scene Group (the
// parent the glTF import makes for a file's renderers). Their matrix becomes the parent of the render items of
// the components linked to their "child" input.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "render/render_graph.h"

#include <string>

// Rotation (Euler degrees) x scale, translation in elements 3, 7 and 11: applied to a point, the scale comes
// first, then the rotation, then the translation.
Matrix composeTransform(const float position[3], const float rotation[3], float sx, float sy, float sz);

// Adds the one render item of a component that only places something: its model matrix, and a callback that
// registers the component's selection bounds.
template <typename C>
void addBoundsItem(RenderItemBuilder& builder, C* component, const Matrix& model)
{
    builder.AddItem(RenderItem(
        [component](Camera* camera, const Matrix* world, Renderer::Pass pass, Timestep time) {
            component->RegisterBounds(camera, world, pass, time);
        },
        component, model));
}

// What the Null and the Scene Group share: position, rotation and scale, and the item that carries them.
class transformcomponent : public KitComponent {
public:
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Matrix GetMatrix() const;
    virtual void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) = 0;

    Cvar position;
    Cvar rotation;
    Cvar scale;

protected:
    // The branch is current for the subclass to register into in its own order.
    transformcomponent(int32_t typeIndex, const std::string& name);
};

class nullcomponent : public transformcomponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<nullcomponent>(name); }

    // Its consumers re-read the "entity" output at once, so a keyed transform moves its children this frame.
    void OnCvarChanged(Cvar* cvar) override;
    // With the pass camera, bounds kind 0.
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) override;

protected:
    explicit nullcomponent(const std::string& name);
};

class scenegroupfx : public transformcomponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<scenegroupfx>(name); }

    // With the viewport camera, bounds kind 1.
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) override;

protected:
    explicit scenegroupfx(const std::string& name);
};
