#include "render/scene.h"

#include "app/log.h"

#include <algorithm>
#include <cmath>

int entFrameCounter = 0;

Scene* Scene::Create()
{
    return new Scene;
}

void Scene::AddObject(Entity* entity)
{
    objects.Add(entity);
}

void Scene::AddLight(Light* light)
{
    lights.Add(light);
}

namespace {

bool isCameraKind(const Entity* entity)
{
    return entity->kind == ENTITY_KIND_CAMERA || entity->kind == ENTITY_KIND_LIGHT;
}

// Inverse of the rigid part of world; scale is not divided out.
void computeView(Camera* camera)
{
    const float* w = camera->world.m;
    const float tx = w[3], ty = w[7], tz = w[11];
    Matrix& v = camera->view;
    for (int i = 0; i < 3; ++i) {
        v.m[i * 4 + 0] = w[i];
        v.m[i * 4 + 1] = w[4 + i];
        v.m[i * 4 + 2] = w[8 + i];
        v.m[i * 4 + 3] = -(tx * w[i] + ty * w[4 + i] + tz * w[8 + i]);
    }
    v.m[12] = v.m[13] = v.m[14] = 0.0f;
    v.m[15] = 1.0f;
}

void setupProjection(Camera* camera)
{
    const float n = camera->nearPlane;
    const float f = camera->farPlane;
    const bool isLight = camera->kind == ENTITY_KIND_LIGHT;
    if (camera->fov > 0.0f) {
        const float a = camera->aspect;
        const float t = n * std::tan(camera->fov * 0.008726646f);
        if (f == n || t == 0.0f || !std::isfinite(t)) {
            LOG_ERROR("Camera %s: no perspective for near %g, far %g, fov %g", camera->name.c_str(), n, f, camera->fov);
            return;
        }
        Matrix p;
        p.m[0] = n / (a * t);
        p.m[5] = n / t;
        p.m[10] = (f + n) / (f - n);
        p.m[11] = -2.0f * f * n / (f - n);
        p.m[14] = 1.0f;
        p.m[15] = 0.0f;
        camera->projection = p;
        return;
    }
    if (f == n) {
        LOG_ERROR("Camera %s: no projection for equal near and far %g", camera->name.c_str(), n);
        return;
    }
    if (isLight) {
        const auto* light = static_cast<const Light*>(camera);
        const float w = light->orthoWidth / 2.0f;
        const float h = light->orthoHeight / 2.0f;
        camera->projection = Matrix::Orthographic(-w, w, -h, h, n, f);
        return;
    }
    Matrix p;
    p.m[0] = 2.0f;
    p.m[5] = -2.0f;
    p.m[10] = 1.0f / (f - n);
    p.m[11] = -n / (f - n);
    camera->projection = p;
}

} // namespace

void entSetupTransformation(Entity* e)
{
    if (!e)
        return;
    Matrix m = Matrix::FromEulerDegrees(e->rotation.x, e->rotation.y, e->rotation.z);
    m.m[3] = e->position.x;
    m.m[7] = e->position.y;
    m.m[11] = e->position.z;
    m.m[12] = m.m[13] = m.m[14] = 0.0f;
    m.m[15] = 1.0f;
    const float s[3] = {e->scale.x, e->scale.y, e->scale.z};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            m.m[row * 4 + col] *= s[col];
    e->local = m;
    e->world = m;
    if (!isCameraKind(e))
        return;
    auto* camera = static_cast<Camera*>(e);
    if (camera->fov > 0.0f && (camera->aspect == 0.0f || !std::isfinite(camera->aspect))) {
        // The perspective would divide by zero: the previous projection stays until the owner sets an aspect.
        LOG_ERROR("Camera aspect ratio invalid");
        return;
    }
    setupProjection(camera);
}

void entResolveParent(Scene* scene, Entity* e)
{
    if (!e || e->frameStamp == entFrameCounter)
        return;
    // Stamped on entry, so a cycle of parents or targets comes back here and stops.
    e->frameStamp = entFrameCounter;

    if (e->parent) {
        entResolveParent(scene, e->parent);
        e->world.MultiplyTo(e->parent->world, e->world);
    }

    Matrix& w = e->world;
    const Vector3& p = e->pivot;
    if (p.x != 0.0f || p.y != 0.0f || p.z != 0.0f) {
        for (int row = 0; row < 3; ++row)
            w.m[row * 4 + 3] -= w.m[row * 4 + 0] * p.x + w.m[row * 4 + 1] * p.y + w.m[row * 4 + 2] * p.z;
    }

    Vector3 lookAt;
    if (e->targetKind == TARGET_ENTITY && e->target) {
        entResolveParent(scene, e->target);
        const Matrix& tw = e->target->world;
        lookAt = {tw.m[3], tw.m[7], tw.m[11]};
    } else if (e->targetKind == TARGET_POINT) {
        lookAt = e->targetPoint;
    } else {
        return;
    }
    const Vector3 eye{w.m[3], w.m[7], w.m[11]};
    const Matrix l = Matrix::LookAt(eye, lookAt, e->rotation.z);
    // The transpose of the look-at rotation turns the local axes toward the point; scale is dropped.
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            w.m[row * 4 + col] = l.m[col * 4 + row];
    w.m[12] = w.m[13] = w.m[14] = 0.0f;
    w.m[15] = 1.0f;
}

void Scene::Update()
{
    ++entFrameCounter;
    for (Entity* e : objects)
        entSetupTransformation(e);
    for (Light* light : lights)
        entSetupTransformation(light);
    for (Camera* camera : cameras)
        entSetupTransformation(camera);

    for (Entity* e : objects)
        entResolveParent(this, e);
    for (Camera* camera : cameras)
        entResolveParent(this, camera);
    for (Light* light : lights)
        entResolveParent(this, light);

    for (Camera* camera : cameras)
        if (camera)
            computeView(camera);
    for (Light* light : lights)
        if (light)
            computeView(light);
}

void Scene::UpdateShadowMatrices(Camera* camera)
{
    for (Light* light : lights) {
        if (!light || !light->castsShadows)
            continue;
        const unsigned int n = light->cascadeCount;
        if (light->lightType != LIGHT_TYPE_DIRECTIONAL || n == 1 || !camera) {
            light->shadowMatrices[0] = light->projection;
            continue;
        }
        if (n == 0 || n > LIGHT_MAX_CASCADES) {
            LOG_ERROR("Light %s: %u shadow cascades (1 to %d)", light->name.c_str(), n, LIGHT_MAX_CASCADES);
            light->shadowMatrices[0] = light->projection;
            continue;
        }
        for (unsigned int i = 0; i < n; ++i)
            entComputeShadowCascade(light, camera, static_cast<int>(i), static_cast<int>(n), &light->shadowMatrices[i],
                                    &light->splitDistances[i]);
    }
}

void entComputeShadowCascade(const Light* light, const Camera* camera, int index, int count, Matrix* out,
                             float* outSplit)
{
    if (!light || !camera || !out || !outSplit)
        return;
    *out = light->projection;
    const float N = camera->nearPlane;
    const float F = camera->farPlane;
    const float weight = camera->splitWeight;
    if (count <= 0 || index < 0 || index >= count || !(N > 0.0f) || !(F > N)) {
        LOG_ERROR("Shadow cascade %d of %d: camera %s has near %g, far %g", index, count, camera->name.c_str(), N, F);
        *outSplit = F;
        return;
    }
    auto split = [&](float s) {
        return std::pow(F / N, s) * N * weight + (N + (F - N) * s) * (1.0f - weight);
    };
    const float d0 = split(static_cast<float>(index) / static_cast<float>(count));
    const float d1 = split(static_cast<float>(index + 1) / static_cast<float>(count));
    *outSplit = d1;

    const float h = std::tan(camera->fov / 180.0f * 3.14159265f / 2.0f);
    const float a = camera->aspect;
    float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
    for (float d : {d0, d1}) {
        for (int corner = 0; corner < 4; ++corner) {
            const float sx = (corner & 1) ? 1.0f : -1.0f;
            const float sy = (corner & 2) ? 1.0f : -1.0f;
            const Vector3 local{sx * d * h * a, sy * d * h, d};
            const Vector3 inWorld = camera->world.TransformPoint(local);
            const Vector3 inLight = light->view.TransformPoint(inWorld);
            const float* p = light->projection.m;
            const float x = p[0] * inLight.x + p[1] * inLight.y + p[2] * inLight.z + p[3];
            const float y = p[4] * inLight.x + p[5] * inLight.y + p[6] * inLight.z + p[7];
            const float w = p[12] * inLight.x + p[13] * inLight.y + p[14] * inLight.z + p[15];
            minX = std::min(minX, x / w);
            maxX = std::max(maxX, x / w);
            minY = std::min(minY, y / w);
            maxY = std::max(maxY, y / w);
        }
    }
    if (!(maxX - minX > 0.0f) || !(maxY - minY > 0.0f) || !std::isfinite(maxX - minX) ||
        !std::isfinite(maxY - minY)) {
        LOG_ERROR("Shadow cascade %d of %d of light %s covers no area", index, count, light->name.c_str());
        return;
    }
    Matrix crop;
    crop.m[0] = 2.0f / (maxX - minX);
    crop.m[3] = -(maxX + minX) / 2.0f * crop.m[0];
    crop.m[5] = 2.0f / (maxY - minY);
    crop.m[7] = -(maxY + minY) / 2.0f * crop.m[5];
    crop.m[10] = 1.0f;
    crop.m[15] = 1.0f;
    light->projection.MultiplyTo(crop, *out);
}

void entApplyAnimation(Entity* entity, double time)
{
    if (!entity || !entity->animationTrack)
        return;
    AnimationTrack* track = entity->animationTrack;
    track->Evaluate(time);
    entity->position = track->position;
    entity->rotation = track->rotation;
    entity->scale = isCameraKind(entity) ? Vector3{1.0f, 1.0f, 1.0f} : track->scale;
}
