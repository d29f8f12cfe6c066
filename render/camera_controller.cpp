#include "render/camera_controller.h"

#include "jni/engine/grd_framebuffer.h"
#include "project/components.h"
#include "render/entities.h"

#include <algorithm>
#include <cmath>
#include <vector>

CameraController* currentCameraController = nullptr;

namespace {

constexpr double kRadiansToDegrees = 57.29577951308232;

// Every controller alive, so a camera that goes away can be dropped from all of them.
std::vector<CameraController*>& liveControllers()
{
    // Never destroyed: components that own controllers may die during static destruction.
    static auto& list = *new std::vector<CameraController*>();
    return list;
}

// Transposed 3 x 3 part, translation -(R^T t), last row (0, 0, 0, 1).
Matrix rigidInverse(const Matrix& in)
{
    const float* m = in.m;
    const float tx = m[3], ty = m[7], tz = m[11];
    Matrix out;
    for (int i = 0; i < 3; ++i) {
        out.m[i * 4 + 0] = m[i];
        out.m[i * 4 + 1] = m[4 + i];
        out.m[i * 4 + 2] = m[8 + i];
        out.m[i * 4 + 3] = -(m[i] * tx + m[4 + i] * ty + m[8 + i] * tz);
    }
    out.m[12] = out.m[13] = out.m[14] = 0.0f;
    out.m[15] = 1.0f;
    return out;
}

void setVec3(Cvar& cvar, const Vector3& v)
{
    cvar.value[0] = v.x;
    cvar.value[1] = v.y;
    cvar.value[2] = v.z;
}

Vector3 row(const Matrix& m, int r) { return {m.m[r * 4], m.m[r * 4 + 1], m.m[r * 4 + 2]}; }

} // namespace

float cameraOutputAspect()
{
    if (screenWidth > 0 && screenHeight > 0)
        return static_cast<float>(screenWidth) / static_cast<float>(screenHeight);
    return 1920.0f / 1080.0f;
}

CameraController::CameraController(const std::string& name)
{
    camera = entCreateCamera(90.0f);
    camera->name = name;
    camera->aspect = cameraOutputAspect();

    branch = CvarTreePushBranch("controller");
    CvarTreeRegisterFloat(&sensitivity, "sensitivity", 1.0f, 0.01f, 10.0f);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&direction, "direction", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterVec3(&up, "up", 0.0f, 1.0f, 0.0f);
    CvarTreeRegisterBool(&detached, "detached", 1.0f);
    CvarTreeRegisterBool(&followDetached, "follow detached", 0.0f);
    CvarTreePopBranch();

    liveControllers().push_back(this);
}

CameraController::~CameraController()
{
    auto& list = liveControllers();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    if (currentCameraController == this)
        currentCameraController = nullptr;
    delete camera;
}

void CameraController::ForgetCamera(const Camera* gone)
{
    if (!gone)
        return;
    for (CameraController* controller : liveControllers())
        if (controller->attached == gone)
            controller->attached = nullptr;
}

void CameraController::Move(Vector3& v)
{
    v = v * sensitivity.value[0];
    detached.value[0] = 1.0f;
    const Vector3 w = row(frame, 0) * v.x + row(frame, 1) * v.y + row(frame, 2) * v.z;
    v = w;
    setVec3(position, Position() + w);
}

void CameraController::Drag(int mode, float dx, float dy)
{
    if (mode == 1) {
        detached.value[0] = 1.0f;
        Vector3 dir = Direction();
        Vector3 upAxis = Up();
        const Vector3 side = upAxis.Cross(dir).Normalized();
        dir.RotateAroundAxis(side, 0.1f * dy);
        upAxis.RotateAroundAxis(side, 0.1f * dy);
        dir = dir.Normalized();
        upAxis = upAxis.Normalized();
        dir.RotateAroundAxis(upAxis, 0.1f * dx);
        setVec3(direction, dir.Normalized());
        setVec3(up, upAxis);
    } else if (mode == 2) {
        detached.value[0] = 1.0f;
        Vector3 upAxis = Up();
        upAxis.RotateAroundAxis(Direction(), 0.1f * dx);
        setVec3(up, upAxis.Normalized());
        Vector3 lift{0.0f, 0.1f * dy, 0.0f};
        Move(lift);
    }
}

void CameraController::WriteBack()
{
    const float* f = frame.m;
    // A direction a little longer than unit (keyed or typed in) must not turn the pitch into NaN.
    const double sinPitch = std::clamp(-static_cast<double>(f[9]), -1.0, 1.0);
    const Vector3 angles{static_cast<float>(std::asin(sinPitch) * kRadiansToDegrees),
                         static_cast<float>(std::atan2(f[8], f[10]) * kRadiansToDegrees),
                         static_cast<float>(std::atan2(f[1], f[5]) * kRadiansToDegrees)};
    const Vector3 p{f[3], f[7], f[11]};

    if (EngineComponent* owner = attached->owner) {
        Cvar* pos = nullptr;
        Cvar* rot = nullptr;
        Cvar* scale = nullptr;
        if (owner->GetTransformCvars(&pos, &rot, &scale) && pos && rot) {
            setVec3(*pos, p);
            setVec3(*rot, angles);
            // The component applies the pose itself, as after an edit in the inspector.
            if (EngineComponent* applier = CvarTreeNode::FindOwner(owner->GetCvarTree())) {
                applier->OnCvarChanged(pos);
                applier->OnCvarChanged(rot);
            }
            return;
        }
    }
    attached->position = p;
    attached->rotation = angles;
}

void CameraController::Update()
{
    if (!IsDetached() && attached) {
        frame = attached->world;
        const float* f = frame.m;
        setVec3(position, {f[3], f[7], f[11]});
        setVec3(direction, {f[2], f[6], f[10]});
        setVec3(up, {f[1], f[5], f[9]});
        // Following: the pose is the attached camera's, not something to save.
        for (Cvar* cvar : {&position, &direction, &up})
            CvarMarkDriven(cvar, 0x7u);
    }

    if (attached && attached->kind == ENTITY_KIND_CAMERA) {
        camera->fov = attached->fov;
        camera->farPlane = attached->farPlane;
        camera->nearPlane = attached->nearPlane;
        camera->splitWeight = attached->splitWeight;
        camera->projection = attached->projection;
        // frame still holds the pose the previous Update built from the parameters.
        if (followDetached.value[0] > 0.5f && IsDetached())
            WriteBack();
    }

    const Vector3 d = Direction();
    const Vector3 u = Up();
    const Vector3 p = Position();
    const Vector3 s = u.Cross(d);
    const float rows[3][4] = {{s.x, s.y, s.z, p.x}, {u.x, u.y, u.z, p.y}, {d.x, d.y, d.z, p.z}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            frame.m[r * 4 + c] = rows[r][c];
    frame.m[12] = frame.m[13] = frame.m[14] = 0.0f;
    frame.m[15] = 1.0f;

    camera->world = frame;
    camera->position = p;
    camera->world = rigidInverse(camera->world);
    Orthonormalize(camera->world);
    camera->world.m[3] = p.x;
    camera->world.m[7] = p.y;
    camera->world.m[11] = p.z;
    camera->view = rigidInverse(camera->world);
}

void CameraController::Orthonormalize(Matrix& matrix)
{
    float* m = matrix.m;
    const Vector3 r0 = row(matrix, 0);
    const Vector3 r1 = row(matrix, 1);
    const double e = static_cast<double>(r0.Dot(r1)) / 2.0;

    Vector3 c0{static_cast<float>(r0.x - e * r1.x), static_cast<float>(r0.y - e * r1.y),
               static_cast<float>(r0.z - e * r1.z)};
    Vector3 c1{static_cast<float>(r1.x - e * r0.x), static_cast<float>(r1.y - e * r0.y),
               static_cast<float>(r1.z - e * r0.z)};
    Vector3 c2 = c0.Cross(c1);

    // One Newton step toward unit length: no square root.
    auto towardUnit = [](Vector3& v) {
        const double k = (3.0 - static_cast<double>(v.Dot(v))) / 2.0;
        v = {static_cast<float>(v.x * k), static_cast<float>(v.y * k), static_cast<float>(v.z * k)};
    };
    towardUnit(c0);
    towardUnit(c1);
    towardUnit(c2);

    const Vector3* rows[3] = {&c0, &c1, &c2};
    for (int r = 0; r < 3; ++r) {
        m[r * 4 + 0] = rows[r]->x;
        m[r * 4 + 1] = rows[r]->y;
        m[r * 4 + 2] = rows[r]->z;
    }
}
