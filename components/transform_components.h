// Components that carry nothing but a transform: the Null (a general empty object) and the Scene Group (the
// parent the glTF import makes for a file's renderers). Their matrix becomes the parent of the render items of
// the components linked to their "child" input.
#pragma once

#include "app/math_types.h"
#include "project/components.h"
#include "project/cvars.h"
#include "render/render_graph.h"

#include <string>

// Rotation (Euler degrees) x scale, translation in elements 3, 7 and 11: applied to a point, the scale comes
// first, then the rotation, then the translation.
Matrix composeTransform(const float position[3], const float rotation[3], float sx, float sy, float sz);

class nullcomponent : public EngineComponent {
public:
    static EngineComponent* Create(const std::string& name);
    explicit nullcomponent(const std::string& name);
    ~nullcomponent() override;

    CvarTreeNode* GetCvarTree() override { return branch; }
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // Its consumers re-read the "entity" output at once, so a keyed transform moves its children this frame.
    void OnCvarChanged(Cvar* cvar) override;

    Matrix GetMatrix() const;
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    Cvar position;
    Cvar rotation;
    Cvar scale;
    CvarTreeNode* branch = nullptr;
};

class scenegroupfx : public EngineComponent {
public:
    static EngineComponent* Create(const std::string& name);
    explicit scenegroupfx(const std::string& name);
    ~scenegroupfx() override;

    CvarTreeNode* GetCvarTree() override { return branch; }
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Matrix GetMatrix() const;
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    Cvar rotation;
    Cvar position;
    Cvar scale;
    CvarTreeNode* branch = nullptr;
};
