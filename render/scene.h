// The entities one scene player renders, and the per-frame transform pass over them.
#pragma once

#include "render/entities.h"

#include <vector>

// A pointer list that grows to count + 11 entries when full. Holds pointers only; adding one twice stores it twice.
template <typename T>
struct EntityPointerList {
    int capacity = 0;
    int count = 0;
    T** items = nullptr;

    explicit EntityPointerList(int initialCapacity) : capacity(initialCapacity), items(new T*[initialCapacity]) {}
    ~EntityPointerList() { delete[] items; }
    EntityPointerList(const EntityPointerList&) = delete;
    EntityPointerList& operator=(const EntityPointerList&) = delete;

    void Add(T* item)
    {
        if (count + 1 > capacity) {
            T** grown = new T*[count + 11];
            for (int i = 0; i < count; ++i)
                grown[i] = items[i];
            delete[] items;
            items = grown;
            capacity = count + 11;
        }
        items[count++] = item;
    }
    // Releases the storage; the entities themselves stay.
    void Release()
    {
        delete[] items;
        items = nullptr;
        capacity = 0;
        count = 0;
    }
    T** begin() const { return items; }
    T** end() const { return items + count; }
};

struct Scene {
    EntityPointerList<Entity> objects{26}; // objects and effect entities
    std::vector<Camera*> cameras;
    EntityPointerList<Light> lights{18};
    Camera* activeCamera = nullptr;

    static Scene* Create();

    void AddObject(Entity* entity);
    void AddLight(Light* light);
    // Matrices of every object, light and camera: local transforms, then parents, pivots and look-at targets,
    // then the cameras' and lights' views.
    void Update();
    // Shadow matrix of every casting light: its projection, or per cascade of a directional light with several
    // the matrix cropped around the camera's frustum slice.
    void UpdateShadowMatrices(Camera* camera);
};

// Incremented once per Scene::Update; an entity stamped with it has been resolved this frame.
extern int entFrameCounter;

// local and world from rotation, position and scale; for cameras and lights also the projection. A perspective
// that cannot be computed (aspect 0, equal near and far) is logged and the previous projection kept.
void entSetupTransformation(Entity* entity);
// Parent, pivot and look-at target, once per frame per entity; a cycle of targets or parents is cut.
void entResolveParent(Scene* scene, Entity* entity);
// The light's projection cropped to the camera's frustum slice of cascade `index` of `count`, and the slice's far
// distance. A camera or slice that gives no usable crop is logged and leaves the light's projection.
void entComputeShadowCascade(const Light* light, const Camera* camera, int index, int count, Matrix* out,
                             float* outSplit);
// Copies the entity's track, evaluated at the time, into its transform; cameras and lights keep unit scale.
void entApplyAnimation(Entity* entity, double time);
