#include "render/entities.h"

#include "app/log.h"
#include "jni/engine/grd_framebuffer.h"

const char* const transformParamsBufferName = "TransformParamsBuffer";

Light::Light()
{
    kind = ENTITY_KIND_LIGHT;
    fov = 90.0f;
    nearPlane = 0.1f;
    farPlane = 10000.0f;
}

Object* Object::Clone() const
{
    auto* clone = new Object;
    clone->geometry = geomClone(geometry);
    if (clone->geometry)
        geomCalculateBoundingBox(clone->geometry, clone->bounds);
    clone->name = name;
    return clone;
}

Object* entCreateObject(uint32_t vertexCount, uint32_t surfaceCount, const std::vector<VertexAttribute>& attributes)
{
    Geometry* geometry = geomCreate(vertexCount, surfaceCount, attributes);
    if (!geometry)
        return nullptr;
    auto* object = new Object;
    object->geometry = geometry;
    return object;
}

Camera* entCreateCamera(float fov)
{
    auto* camera = new Camera;
    camera->name = "Camera";
    camera->fov = fov;
    camera->nearPlane = 0.1f;
    camera->farPlane = 1000.0f;
    return camera;
}

namespace {

// What the three light factories share.
Light* newLight(const char* name, int type, unsigned int width, unsigned int height)
{
    auto* light = new Light;
    light->name = name;
    light->lightType = type;
    // A zero height would give an infinite aspect; 0 is the "not set" value projections refuse.
    light->aspect = height != 0 ? static_cast<float>(width) / static_cast<float>(height) : 0.0f;
    light->nearPlane = 0.1f;
    light->shadowMapWidth = width;
    light->shadowMapHeight = height;
    light->cascadeCount = 1;
    return light;
}

void createShadowFramebuffers(Light* light)
{
    for (unsigned int i = 0; i < light->cascadeCount; ++i)
        light->shadowFramebuffers[i] = fbCreate("shadow");
}

} // namespace

Light* entCreateLightSpot(float fov, bool castsShadows, unsigned int shadowMapWidth, unsigned int shadowMapHeight)
{
    Light* light = newLight("LightSpot", LIGHT_TYPE_SPOT, shadowMapWidth, shadowMapHeight);
    light->fov = fov;
    light->farPlane = 1000.0f;
    light->enabled = true;
    light->castsShadows = castsShadows;
    if (castsShadows)
        createShadowFramebuffers(light);
    return light;
}

Light* entCreateLightDirectional(float orthoWidth, float orthoHeight, bool castsShadows, unsigned int shadowMapWidth,
                                 unsigned int shadowMapHeight)
{
    Light* light = newLight("Lightdirectional", LIGHT_TYPE_DIRECTIONAL, shadowMapWidth, shadowMapHeight);
    light->fov = 0.0f;
    light->orthoWidth = orthoWidth;
    light->orthoHeight = orthoHeight;
    light->farPlane = 1000.0f;
    light->enabled = true;
    light->castsShadows = castsShadows;
    if (castsShadows)
        createShadowFramebuffers(light);
    return light;
}

Light* entCreateLightPoint(float range, bool castsShadows, unsigned int shadowMapWidth, unsigned int shadowMapHeight)
{
    Light* light = newLight("LightPoint", LIGHT_TYPE_POINT, shadowMapWidth, shadowMapHeight);
    light->fov = 90.0f;
    light->farPlane = range;
    if (!castsShadows) {
        light->enabled = true;
        return light;
    }
    // The cube faces cast the shadows; the point light itself only lights.
    static const Vector3 faceRotations[6] = {
        {0.0f, -90.0f, 0.0f}, {0.0f, 90.0f, 0.0f},   {90.0f, 0.0f, 180.0f},
        {-90.0f, 0.0f, 180.0f}, {180.0f, 0.0f, 180.0f}, {0.0f, 0.0f, 0.0f},
    };
    for (int i = 0; i < 6; ++i) {
        Light* face = entCreateLightSpot(90.0f, true, shadowMapWidth, shadowMapHeight);
        face->enabled = false;
        face->rotation = faceRotations[i];
        light->children.push_back(face);
        light->faceLights[i] = face;
    }
    return light;
}

void entSetLightShadowShape(Light* light, float culling, float width, float height)
{
    if (!light)
        return;
    if (culling < 1.0f)
        light->shadowCullMode = 2; // "None"
    else if (culling < 2.0f)
        light->shadowCullMode = 0; // "Front"
    else if (culling < 3.0f)
        light->shadowCullMode = 1; // "Back"
    if (light->lightType == LIGHT_TYPE_DIRECTIONAL) {
        light->fov = 0.0f;
        light->orthoWidth = width;
        light->orthoHeight = height;
    }
}

void entSetLightRange(Light* light, float nearPlane, float farPlane)
{
    if (!light)
        return;
    light->nearPlane = nearPlane;
    light->farPlane = farPlane;
    for (Light* face : light->faceLights) {
        if (face) {
            face->nearPlane = nearPlane;
            face->farPlane = farPlane;
        }
    }
}
