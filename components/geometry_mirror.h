// The geometry mirror: every frame, in the Geometry pass, a compute program reflects the triangles of the object
// linked to "obj" (or of the object resource named by "Object") across the component's own x-z plane into an
// output geometry it owns, and publishes that reflected copy on its "obj" output; with "Export" on the copy is
// also a named object resource of the project. The output's draw commands take their counts from the GPU, so
// nothing is read back. The source geometry is only read. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <cstdint>
#include <string>

class Camera;
class Object;
struct BufferObject;
struct Geometry;
struct InputPin;
struct ResourceManagerStorage;
struct ShaderProgram;

// The tracking buffer holds one 16-byte entry per surface in 512 bytes; surfaces past these are not mirrored.
constexpr uint32_t kMirrorMaxSurfaces = 32;
constexpr uint32_t kMirrorTrackingBytes = 16 * kMirrorMaxSurfaces;
// Invocations per work group of the reflection kernel.
constexpr uint32_t kMirrorGroupSize = 64;

// "GeometryMirrorParamsBuffer": one per surface and dispatch.
struct GeometryMirrorParams {
    float plane[4] = {};          // n = W (0, 1, 0, 0), not normalised; d = n . W's translation
    int32_t triangleCapacity = 0; // of the output surface
    int32_t vertexCount = 0;      // of the output geometry
    int32_t surfaceCount = 0;     // mirrored surfaces
    int32_t surface = 0;          // the one this dispatch writes
};
static_assert(sizeof(GeometryMirrorParams) == 32);

// The plane {p : n . p = d} of model matrix W: its x-z plane, n the image of the y axis.
void geometryMirrorPlane(const Matrix& world, float plane[4]);
// Size factor of "Geometry Overprovisioning": 1.25, 2, 3 or 5 for the four options, 1 for anything else.
float geometryMirrorFactor(float setting);

extern const char* const geometryMirrorTypes[];
extern const char* const geometryMirrorOverprovisioning[];

// Built by the first mirror from "shaders/geometry/geometry_mirror.comp"; kept for the process. A failed build
// stays (with its errors) and its step is skipped.
extern ShaderProgram* geometryMirrorProgram;
extern ShaderProgram* geometryMirrorTrackingProgram;

class geometrymirrorfx : public KitComponent {
public:
    static constexpr int32_t kTypeIndex = 51;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<geometrymirrorfx>(name); }
    ~geometrymirrorfx() override;

    // "Position" and "Rotation" place the plane; no scale.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t pinId) override;
    void OnInputDisconnected(int32_t pinId) override;
    void Init() override;
    void OnInputChanged(int32_t pinId) override;
    // One render item with the local matrix; its Geometry pass generates the copy.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // "Object" and "Geometry Overprovisioning" rebuild the output.
    void OnCvarChanged(Cvar* cvar) override;
    // Moves the exported record to the new name (nothing when it is not exported) and tells the consumers.
    void OnRenamed() override;
    // With "Export" on the mirror runs every frame as a root.
    bool IsDependencyOnly() override;

    // The object linked to "obj" (a link without payload: none), else the "Object" resource; null for none.
    Object* FindSource() const;
    // Sizes a new output for the source (or drops it when there is none), publishes it, tells the consumers and
    // then frees the previous output.
    void Rebuild();
    // The render item's callback: the Geometry pass generates the copy for model matrix W.
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);
    // Reflects the source into the output for model matrix W; false when nothing was generated.
    bool Generate(const Matrix& world, Timestep time);

    // FromEulerDegrees("Rotation") with "Position" as translation.
    Matrix GetLocalMatrix() const;
    // "geometrymirrorfx/{name}/Object".
    std::string ExportName() const;

    Cvar mirroringType, exportFlag, overprovisioning, position, rotation, objectName;

    FileResource record{ResourceType::Object, std::string(), nullptr}; // payload of "obj"
    Geometry* geometry = nullptr;        // the output; owned
    Object* object = nullptr;            // carries the output; owned
    uint32_t mirroredSurfaces = 0;       // output surfaces, at most kMirrorMaxSurfaces
    BufferObject* trackingBuffer = nullptr;  // "{name}/TrackingBuffer", kMirrorTrackingBytes, GPU only
    BufferObject* sourceCommands = nullptr;  // the source's draw commands when it has no command buffer
    BufferObject* spareBuffer = nullptr;     // bound for the attribute blocks a geometry does not have
    ResourceManagerStorage* registeredIn = nullptr; // the store holding `record`, or null
    InputPin* objPin = nullptr;
    int32_t generated = 0; // frames generated since creation

protected:
    explicit geometrymirrorfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    // Takes the record out of the store it was added to (only while it is still there as ours).
    void Unregister();
    void NotifyConsumers();
    // Draw commands of the first `surfaces` surfaces of the source, as a command buffer would hold them.
    void WriteSourceCommands(const Geometry* source, uint32_t surfaces);
};
