#include "components/transform_components.h"

#include "editor/selection_bounds.h"
#include "project/graph.h"

namespace {

constexpr int kNullRow = 9;
constexpr int kSceneGroupRow = 47;

Matrix matrixOf(const Cvar& position, const Cvar& rotation, const Cvar& scale)
{
    return composeTransform(position.value, rotation.value, scale.value[0], scale.value[1], scale.value[2]);
}

} // namespace

Matrix composeTransform(const float position[3], const float rotation[3], float sx, float sy, float sz)
{
    Matrix m = Matrix::FromEulerDegrees(rotation[0], rotation[1], rotation[2]);
    const float s[3] = {sx, sy, sz};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m.m[r * 4 + c] *= s[c];
    m.m[3] = position[0];
    m.m[7] = position[1];
    m.m[11] = position[2];
    return m;
}

// ---- Null ----

EngineComponent* nullcomponent::Create(const std::string& name) { return new nullcomponent(name); }

nullcomponent::nullcomponent(const std::string& name) : EngineComponent(kNullRow, name)
{
    branch = new CvarTreeNode(name, nullptr);
    // The branch stays current after construction, unlike the Scene Group's.
    cvarTreeCurrentBranch = branch;
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&scale, "scale", 1.0f, 1.0f, 1.0f);
    position.animatable = rotation.animatable = scale.animatable = true;
    branch->owner = this;
}

nullcomponent::~nullcomponent() { delete branch; }

bool nullcomponent::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &scale;
    return true;
}

Matrix nullcomponent::GetMatrix() const { return matrixOf(position, rotation, scale); }

void nullcomponent::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            RegisterBounds(camera, model, pass, time);
        },
        this, GetMatrix()));
}

void nullcomponent::OnCvarChanged(Cvar* cvar)
{
    if (cvar != &position && cvar != &rotation && cvar != &scale)
        return;
    if (!outputs.empty())
        GraphManager::NotifyOutputChanged(outputs[0]->id);
}

void nullcomponent::RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass, Timestep)
{
    RegisterSelectedBounds(this, camera, GetMatrix(), model ? *model : Matrix(), nullptr, SelectedBoundsKind::Box);
}

// ---- Scene Group ----

EngineComponent* scenegroupfx::Create(const std::string& name) { return new scenegroupfx(name); }

scenegroupfx::scenegroupfx(const std::string& name) : EngineComponent(kSceneGroupRow, name)
{
    branch = new CvarTreeNode(name, nullptr);
    cvarTreeCurrentBranch = branch;
    CvarTreeRegisterVec3(&scale, "scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    position.animatable = rotation.animatable = scale.animatable = true;
    CvarTreePopBranch();
    branch->owner = this;
}

scenegroupfx::~scenegroupfx() { delete branch; }

bool scenegroupfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &scale;
    return true;
}

Matrix scenegroupfx::GetMatrix() const { return matrixOf(position, rotation, scale); }

void scenegroupfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            RegisterBounds(camera, model, pass, time);
        },
        this, GetMatrix()));
}

void scenegroupfx::RegisterBounds(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    RegisterSelectedBounds(this, nullptr, GetMatrix(), model ? *model : Matrix(), nullptr,
                           SelectedBoundsKind::Circles);
}
