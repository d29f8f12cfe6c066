#include "components/transform_components.h"

#include "project/graph.h"
#include "render/selection_bounds.h"

namespace {

constexpr int kNullRow = 9;
constexpr int kSceneGroupRow = 47;

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

// ---- Shared ----

transformcomponent::transformcomponent(int32_t typeIndex, const std::string& name) : KitComponent(typeIndex, name)
{
    position.animatable = rotation.animatable = scale.animatable = true;
}

bool transformcomponent::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &scale;
    return true;
}

Matrix transformcomponent::GetMatrix() const
{
    return composeTransform(position.value, rotation.value, scale.value[0], scale.value[1], scale.value[2]);
}

void transformcomponent::Execute(RenderItemBuilder& builder, Timestep) { addBoundsItem(builder, this, GetMatrix()); }

// ---- Null ----

nullcomponent::nullcomponent(const std::string& name) : transformcomponent(kNullRow, name)
{
    // The branch stays current after construction, unlike the Scene Group's.
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&scale, "scale", 1.0f, 1.0f, 1.0f);
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

scenegroupfx::scenegroupfx(const std::string& name) : transformcomponent(kSceneGroupRow, name)
{
    CvarTreeRegisterVec3(&scale, "scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CloseBranch();
}

void scenegroupfx::RegisterBounds(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    RegisterSelectedBounds(this, nullptr, GetMatrix(), model ? *model : Matrix(), nullptr,
                           SelectedBoundsKind::Circles);
}
