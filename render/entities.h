// Scene entities: meshes (Object), viewpoints (Camera), lights (a Light is a Camera, it renders its shadow maps
// from its own point of view) and objects drawn through callbacks (EffectEntity). Plain records: the transform is
// described by rotation, position, pivot and scale, and Scene::Update rebuilds the matrices every frame.
#pragma once

#include "app/math_types.h"
#include "jni/engine/grd_geometry.h"
#include "render/render_graph.h"

#include <functional>
#include <string>
#include <vector>

class EngineComponent;
struct AnimationRig;
struct Framebuffer;
struct RenderItemBuilder;
struct Texture;

class Camera;

// Adds the entity's render items for the frame. (Renderer::Pass and RenderItemCallback, the draw in one pass,
// come from render_graph.h.)
using RenderItemBuildCallback = std::function<void(Camera*, const Matrix*, Timestep, RenderItemBuilder&)>;

enum EntityKind : int {
    ENTITY_KIND_OBJECT = 0,
    ENTITY_KIND_CAMERA = 1,
    ENTITY_KIND_LIGHT = 3,
    ENTITY_KIND_EFFECT = 4,
};

enum TargetKind : int {
    TARGET_NONE = 0,
    TARGET_ENTITY = 1,
    TARGET_POINT = 2,
};

enum LightType : int {
    LIGHT_TYPE_DIRECTIONAL = 0,
    LIGHT_TYPE_SPOT = 1,
    LIGHT_TYPE_POINT = 2,
};

constexpr int LIGHT_MAX_CASCADES = 4;

// Evaluates a keyframed pose; entApplyAnimation copies the result into the entity.
class AnimationTrack {
public:
    virtual ~AnimationTrack() = default;
    virtual void Evaluate(double time) = 0;

    Vector3 position;
    Vector3 rotation; // degrees
    Vector3 scale{1.0f, 1.0f, 1.0f};
};

class Entity {
public:
    Entity() = default;
    virtual ~Entity() = default;
    Entity(const Entity&) = default;
    Entity& operator=(const Entity&) = default;

    int kind = ENTITY_KIND_OBJECT;
    bool hidden = false;                      // hidden lights are left out of the frame's lights
    AnimationTrack* animationTrack = nullptr; // not owned
    int targetKind = TARGET_NONE;
    Entity* target = nullptr; // look-at entity (TARGET_ENTITY)
    Vector3 targetPoint;      // look-at point (TARGET_POINT)
    Vector3 rotation;         // Euler degrees; with a target, z is the roll of the look-at
    Vector3 position;
    Vector3 pivot; // (0, 0, 0): no pivot
    Vector3 scale{1.0f, 1.0f, 1.0f};
    Matrix local; // rotation, position and scale alone
    Matrix world; // local, then parent, pivot and look-at applied
    float bounds[6] = {}; // min x, y, z, max x, y, z
    int frameStamp = 0;   // entFrameCounter when last resolved
    std::string name;
    std::vector<Entity*> children; // not owned

    Entity* parent = nullptr;           // its world transform applies after this entity's own; not owned
    EngineComponent* owner = nullptr;   // the component that made and publishes the entity
    bool selected = false;              // mirrors the editor's selection of the owner
};

class Camera : public Entity {
public:
    Camera() { kind = ENTITY_KIND_CAMERA; }

    float fov = 0.0f; // vertical, degrees; 0 or less: orthographic
    float nearPlane = 0.0f;
    float farPlane = 0.0f;
    float aspect = 0.0f;       // width / height; 0 until the owner sets it
    float splitWeight = 0.75f; // logarithmic vs linear shadow-cascade splits
    Matrix projection;
    Matrix view;
};

class Object;

class Light : public Camera {
public:
    Light();

    Matrix shadowMatrices[LIGHT_MAX_CASCADES];
    Framebuffer* shadowFramebuffers[LIGHT_MAX_CASCADES] = {}; // not owned
    int lightType = LIGHT_TYPE_DIRECTIONAL;
    Texture* projector = nullptr;
    bool enabled = false;
    bool castsShadows = false;
    bool volumetric = false;
    bool area = false;
    float orthoWidth = 0.0f;
    float orthoHeight = 0.0f;
    unsigned int shadowMapWidth = 0;
    unsigned int shadowMapHeight = 0;
    float roughnessModifier = 1.0f;
    unsigned int cascadeCount = 1;
    float splitDistances[LIGHT_MAX_CASCADES] = {};
    int shadowCullMode = 1; // RenderState cull code of the shadow passes: 0 front, 1 back, 2 off
    float dimensions[2] = {};
    float intensity = 0.0f;
    // The light's tag: render items whose owner component carries it stay out of the light's shadow passes.
    std::string excludedTags;
    float color[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    Light* faceLights[6] = {}; // cube faces of a shadow-casting point light; not owned
    Object* proxy = nullptr;   // drawn in place of an area light (the built-in cube); not owned
};

class NonAssignable {
protected:
    NonAssignable() = default;
    NonAssignable(const NonAssignable&) = default;
    NonAssignable& operator=(const NonAssignable&) = delete;
};

class Object : public Entity, private NonAssignable {
public:
    Object() { kind = ENTITY_KIND_OBJECT; }

    // A new object with a copy of the geometry (null stays null), bounds recomputed from it and the same name;
    // transform, children and track are not copied.
    Object* Clone() const;

    Geometry* geometry = nullptr; // not owned
    int flags = 7;
    AnimationRig* rig = nullptr; // skeleton shared by the meshes of one imported scene; not owned

    // Poses the rig at `time` and skins the vertices on the GPU (VTXCoords / VTXNormals from their bind-pose
    // copies). False, doing nothing, without a rig, skin, animation or bone weights.
    bool ApplySkinning(float time);
};

class EffectEntity : public Object {
public:
    EffectEntity() { kind = ENTITY_KIND_EFFECT; }

    // Declared in this order so destruction releases draw first, then build.
    RenderItemBuildCallback build;
    RenderItemCallback draw;
};

// The name under which skinning binds its block of vertex count and bone matrices.
extern const char* const transformParamsBufferName;

// Factories; the caller owns the result.
// Null when the geometry cannot be created.
Object* entCreateObject(uint32_t vertexCount, uint32_t surfaceCount, const std::vector<VertexAttribute>& attributes);
Camera* entCreateCamera(float fov);
Light* entCreateLightSpot(float fov, bool castsShadows, unsigned int shadowMapWidth, unsigned int shadowMapHeight);
// With shadows: six disabled, casting spot face lights as children; the point light itself neither lights nor casts.
Light* entCreateLightPoint(float range, bool castsShadows, unsigned int shadowMapWidth, unsigned int shadowMapHeight);
Light* entCreateLightDirectional(float orthoWidth, float orthoHeight, bool castsShadows, unsigned int shadowMapWidth,
                                 unsigned int shadowMapHeight);
// Near and far of the light and of each of its face lights.
void entSetLightRange(Light* light, float nearPlane, float farPlane);
// The shadow culling choice (0 none, 1 front, 2 back; anything above keeps the light's mode) and, for a directional
// light, its orthographic extent from the width and height.
void entSetLightShadowShape(Light* light, float culling, float width, float height);
