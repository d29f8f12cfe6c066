#include "components/mesh_renderer.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/instance_buffers.h"
#include "components/raytracer.h"
#include "components/transform_components.h"
#include "components/vertex_modifiers.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/mesh_import.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <optional>

using namespace gl;

namespace {

constexpr int kMeshRow = 1;
constexpr const char* kSlotRootMaterial = "flat";
constexpr GeometryExportRecord kNotExported{};

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

CvarTreeNode* childBranch(CvarTreeNode* parent, const std::string& name)
{
    if (CvarTreeNode* found = CvarTreeFindBranch(name, CvarScope::Node, parent))
        return found;
    auto* child = new CvarTreeNode(name, parent);
    parent->children.push_back(child);
    return child;
}

constexpr ParameterBinding<meshrendererfx, MaterialProperties> kSurfaceFlags[] = {
    {&meshrendererfx::raytrace, KIT_FIELD(MaterialProperties, flagBit2)},
    {&meshrendererfx::voxelize, KIT_FIELD(MaterialProperties, flagBit16)},
    {&meshrendererfx::reflect, KIT_FIELD(MaterialProperties, flagBit4)},
    {&meshrendererfx::shadowCast, KIT_FIELD(MaterialProperties, flagBit256)},
    {&meshrendererfx::shadowReceive, KIT_FIELD(MaterialProperties, flagBit512)},
};
static_assert(bindingsFit(kSurfaceFlags));

size_t surfaceCountOf(const Object* object)
{
    return object && object->geometry ? std::min<size_t>(object->geometry->surfaces.size(), kMeshMaxSurfaces) : 0;
}

} // namespace

meshrendererfx::meshrendererfx(const std::string& name) : KitComponent(kMeshRow, name)
{
    std::fill(std::begin(exportRecords), std::end(exportRecords), kNotExported);
    CvarTreeRegisterVec3(&scale, "scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterBool(&raytrace, "raytrace", 0.0f);
    CvarTreeRegisterBool(&voxelize, "voxelize", 0.0f);
    CvarTreeRegisterBool(&reflect, "reflect", 0.0f);
    CvarTreeRegisterBool(&shadowCast, "shadow cast", 1.0f);
    CvarTreeRegisterBool(&shadowReceive, "shadow receive", 1.0f);
    CvarTreeRegisterBool(&hidden, "hidden", 0.0f);
    CvarTreeRegisterFloat(&animationTime, "animation time", 0.0f, 0.0f, 1000.0f);
    CvarTreeRegisterResource(&objectName, "object", "", ResourceType::Object);
    for (Cvar* keyed : {&scale, &rotation, &position, &voxelize, &shadowCast, &shadowReceive, &hidden})
        keyed->animatable = true;

    slots.clear();
    slots.reserve(kMeshMaxSurfaces);
    materialsBranch = childBranch(branch, "materials");
    materialsBranch->owner = this;
    CloseBranch();

    objPin = new InputPin("obj", {ResourceType::Object}, false);
    targetObjPin = new InputPin("target obj", {ResourceType::EffectEntity}, false);
    instPin = new InputPin("inst", {ResourceType::Instances}, false);
    vmPin = new InputPin("vm", {ResourceType::VertexModifier}, true);
    declaredInputs.insert(declaredInputs.end(), {objPin, targetObjPin, instPin, vmPin});
    RebuildPinLists();

    CvarTreeNode* const current = cvarTreeCurrentBranch;
    BuildMaterialSlots();
    cvarTreeCurrentBranch = current;
}

meshrendererfx::~meshrendererfx()
{
    for (auto& slot : slots)
        delete slot->material;
    slots.clear();
}

bool meshrendererfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &scale;
    return true;
}

void meshrendererfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }
void meshrendererfx::OnInputDisconnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

// ---- Object and slots ----

Object* meshrendererfx::ResolveObject() const { return linkedOrNamedObject(objPin, objectName.text); }

void meshrendererfx::RegisterSlot(size_t i)
{
    MaterialCvarBlock& slot = *slots[i];
    if (!slot.material)
        slot.material = materialCreateFromRoot(kSlotRootMaterial);
    CvarTreeNode* slotBranch = childBranch(materialsBranch, fmt::format("Material {0}", i));
    cvarTreeCurrentBranch = slotBranch;
    slot.Register();
    slotBranch->owner = this;
    CvarTreePopBranch();
}

void meshrendererfx::BuildMaterialSlots()
{
    CvarTreeNode* const current = cvarTreeCurrentBranch;
    if (slots.empty()) {
        for (int i = 0; i < kMeshInitialSlots; ++i) {
            slots.push_back(std::make_unique<MaterialCvarBlock>());
            slots.back()->SetDefaults();
        }
    }
    for (size_t i = 0; i < slots.size(); ++i)
        RegisterSlot(i);
    cvarTreeCurrentBranch = current;
}

void meshrendererfx::SyncSlotsFromSurfaces()
{
    SyncSlotNames();
    const size_t surfaces = surfaceCountOf(object);
    for (size_t i = 0; i < surfaces && i < slots.size(); ++i) {
        const GeometrySurface* surface = object->geometry->surfaces[i];
        if (!surface)
            continue;
        MaterialCvarBlock& slot = *slots[i];
        std::copy(surface->color, surface->color + 4, slot.diffuse.value);
        std::copy(surface->emissive, surface->emissive + 4, slot.emmisive.value);
        slot.transparency.value[0] = surface->transparency;
        slot.roughness.value[0] = surface->roughness;
        slot.metalness.value[0] = surface->metalness;
    }
}

void meshrendererfx::SyncSlotNames()
{
    const size_t surfaces = surfaceCountOf(object);
    if (object && object->geometry && object->geometry->surfaces.size() > surfaces && ReportOnce("surfaces"))
        LOG_WARNING("Mesh renderer %s: %zu surfaces; only the first %d are drawn", name.c_str(),
                    object->geometry->surfaces.size(), kMeshMaxSurfaces);
    if (surfaces > slots.size()) {
        CvarTreeNode* const current = cvarTreeCurrentBranch;
        // Reserved at creation, so growing never moves the registered cvars.
        for (size_t i = slots.size(); i < surfaces; ++i) {
            slots.push_back(std::make_unique<MaterialCvarBlock>());
            // Defaults first: registering then takes over a value a loaded project holds for the slot.
            slots[i]->SetDefaults();
            RegisterSlot(i);
        }
        cvarTreeCurrentBranch = current;
    }
    for (size_t i = 0; i < slots.size(); ++i) {
        CvarTreeNode* slotBranch = CvarTreeFindBranch(fmt::format("Material {0}", i), CvarScope::Node, materialsBranch);
        if (!slotBranch)
            continue;
        const GeometrySurface* surface = i < surfaces ? object->geometry->surfaces[i] : nullptr;
        slotBranch->caption = surface ? surface->name : std::string();
        slotBranch->save = slotBranch->visible = surface != nullptr || i < size_t(kMeshInitialSlots);
    }
}

Matrix meshrendererfx::GetLocalMatrix() const
{
    return composeTransform(position.value, rotation.value, scale.value[0], scale.value[1], scale.value[2]);
}

// ---- Graph operations ----

void meshrendererfx::ResolveInputs()
{
    object = nullptr;
    BuildMaterialSlots();
    object = ResolveObject();
    SyncSlotsFromSurfaces();
}

void meshrendererfx::Init()
{
    object = ResolveObject();
    SyncSlotNames();
    for (auto& slot : slots)
        slot->ApplyShaderOverride();
    rebuildCountdown = 1;
}

void meshrendererfx::OnCvarChanged(Cvar* cvar)
{
    if (!cvar)
        return;
    if (cvar == &objectName && objPin->links.empty()) {
        object = ResolveObject();
        SyncSlotsFromSurfaces();
    }
    for (auto& slot : slots) {
        if (cvar != &slot->shader)
            continue;
        rebuildCountdown = kPrimitiveRebuildDelay;
        if (slot->material)
            slot->material->setOverrideSource(slot->shader.text);
    }
}

void meshrendererfx::OnInputChanged(int32_t pinId)
{
    if (objPin && pinId == objPin->id) {
        ResolveInputs();
        if (!outputs.empty())
            GraphManager::NotifyOutputChanged(outputs[0]->id);
    } else if (vmPin && pinId == vmPin->id) {
        rebuildCountdown = kPrimitiveRebuildDelay;
    }
}

void meshrendererfx::InjectVertexModifiers()
{
    if (!object) {
        object = ResolveObject();
        SyncSlotNames();
    }
    if (!object || !object->geometry || !VertexModifierCountdownExpired(rebuildCountdown))
        return;
    for (auto& slot : slots)
        if (slot->material)
            slot->material->setOverrideSource(slot->shader.text);
    ::InjectVertexModifiers(vmPin, surfaceCountOf(object), slots, vertexModifierBuffers);
}

void meshrendererfx::Execute(RenderItemBuilder& builder, Timestep)
{
    const Matrix local = GetLocalMatrix();
    InjectVertexModifiers();
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, local));
    Geometry* geometry = object ? object->geometry : nullptr;
    if (!geometry)
        return;
    geomUpdate(geometry);
    deferredRenderInit();
    const size_t surfaces = surfaceCountOf(object);
    for (size_t i = 0; i < surfaces && i < slots.size(); ++i) {
        const GeometrySurface* surface = geometry->surfaces[i];
        if (!surface || surface->disabled)
            continue;
        MaterialProperties record;
        slots[i]->ToProperties(record);
        writeParameters(*this, kSurfaceFlags, record);
        const int row = materialTableAppend(record);
        materialIndex[i] = row >= 0 ? row : 0;
        textureMask[i] = row >= 0 ? materialTextureMask(record) : 0u;
        doubleSided[i] = record.doublesided;
    }
}

std::vector<GeometryExportRecord*> meshrendererfx::GetGeometries()
{
    std::vector<GeometryExportRecord*> exported;
    for (GeometryExportRecord& record : exportRecords)
        if (record.raytraceFacesBase != -1 || record.voxelizeFacesBase != -1)
            exported.push_back(&record);
    return exported;
}

// ---- Drawing ----

InstanceBuffers* meshrendererfx::LinkedInstances()
{
    if (!instPin || instPin->links.empty())
        return nullptr;
    OutputPin* pin = GraphManager::FindOutputPin(instPin->links.front());
    auto* instances = pin ? resourceCast<InstancesResource>(pin->payload, ResourceType::Instances) : nullptr;
    return instances ? instances->set : nullptr;
}

void meshrendererfx::Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time)
{
    const bool labelled = timerGpuScopesEnabled();
    std::optional<ScopedGpuTimer> timer;
    if (labelled)
        timer.emplace(fmt::format("MeshRenderer:{0}:{1}", name, Renderer::GetPassName(pass)), true);
    if (!object || !object->geometry)
        return;
    const Matrix world = model ? *model : Matrix();
    if (pass == Renderer::PASS_GEOMETRY) {
        object->ApplySkinning(animationTime.value[0]);
        RegisterSelectedBounds(this, camera, GetLocalMatrix(), world, object->bounds, SelectedBoundsKind::Box);
        // After the skinning, so the raytracer sees this frame's pose.
        if (currentRaytraceScene && camera)
            ExportSurfaces(camera, world, time);
    } else if (pass == Renderer::PASS_DEFERRED || (pass == Renderer::PASS_SHADOWMAP && isSet(shadowCast))) {
        if (camera)
            DrawSurfaces(camera, world, pass, time);
    }
}

void meshrendererfx::ExportSurfaces(Camera* camera, const Matrix& model, Timestep time)
{
    Geometry* geometry = object ? object->geometry : nullptr;
    if (geometry)
        geomUpdate(geometry);
    InstanceBuffers* instances = LinkedInstances();
    if (!geometry || geometry->vao == 0 ||
        (instances && (!instances->transforms || !instances->colours || instances->count > instances->capacity))) {
        std::fill(std::begin(exportRecords), std::end(exportRecords), kNotExported);
        return;
    }
    const TransformParams transform = transformParamsFor(*camera, model);
    const SurfaceDraw draw{geometry, instances, &vertexModifierBuffers, &transform, 0};
    surfacesExport(object, slots, materialIndex, exportRecords, kMeshMaxSurfaces, draw, time);
}

void meshrendererfx::DrawSurfaces(Camera* camera, const Matrix& model, Renderer::Pass pass, Timestep time)
{
    Geometry* geometry = object->geometry;
    geomUpdate(geometry);
    if (geometry->vao == 0)
        return;
    InstanceBuffers* instances = LinkedInstances();
    uint64_t instanceCount = 1;
    if (instances) {
        if (!instances->transforms || !instances->colours || instances->count > instances->capacity)
            return;
        instanceCount = instances->count;
        if (instanceCount == 0)
            return;
    }
    const bool labelled = timerGpuScopesEnabled();
    if (labelled) {
        const std::string label = fmt::format("MeshRenderer:{0}:{1}", name, Renderer::GetPassName(pass));
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, label.c_str());
    }
    const TransformParams transform = transformParamsFor(*camera, model);
    const size_t surfaces = surfaceCountOf(object);
    for (size_t i = 0; i < surfaces; ++i) {
        if (i >= slots.size() || !slots[i]->material || surfaceIndexCount(geometry->surfaces[i]) == 0)
            continue;
        Material* material = slots[i]->material;
        material->getProgram(pass, textureMask[i]);
        ShaderProgram* program = material->getProgram(pass, textureMask[i]);
        const SurfaceDraw draw{geometry, instances, &vertexModifierBuffers, &transform, materialIndex[i]};
        BufferBindings bindings;
        if (!surfaceDrawBind(program, draw, time, bindings))
            continue;
        const bool twoSided = doubleSided[i];
        if (twoSided) {
            RenderState state = renderStateTop();
            state.cullMode = 2;
            renderStatePush(state);
        }
        surfaceDrawElements(program, draw, bindings, i, instanceCount);
        if (twoSided)
            renderStatePop();
    }
    glBindVertexArray(0);
    if (labelled)
        glPopDebugGroup();
}

// ---- Scene import ----

bool graph_load_scene(const std::string& path)
{
    std::string sceneName;
    std::vector<GltfSceneNodeInfo> nodes;
    if (!gltfLoadSceneNodes(path, &sceneName, &nodes))
        return false;
    if (!currentComponents) {
        LOG_ERROR("Scene <%s>: no project to add it to", path.c_str());
        return false;
    }
    EngineComponent* group = scenegroupfx::Create(sceneName);
    if (!group)
        return false;
    if (!group->childPin)
        group->CreateChildPin();
    if (!group->entityPin)
        group->CreateEntityPin();
    group->collapsed = true;
    currentComponents->push_back(group);
    int k = 0;
    for (const GltfSceneNodeInfo& node : nodes) {
        auto* renderer = static_cast<meshrendererfx*>(meshrendererfx::Create(node.meshName));
        if (!renderer)
            continue;
        if (currentResources && currentResources->resources.count(node.meshResource)) {
            renderer->objectName.text = node.meshResource;
            renderer->ResolveInputs();
        }
        if (node.hasTranslation)
            std::copy(node.translation, node.translation + 3, renderer->position.value);
        if (node.hasRotation)
            std::copy(node.rotation, node.rotation + 3, renderer->rotation.value);
        if (node.hasScale)
            std::copy(node.scale, node.scale + 3, renderer->scale.value);
        if (!renderer->childPin)
            renderer->CreateChildPin();
        if (!renderer->entityPin)
            renderer->CreateEntityPin();
        currentComponents->push_back(renderer);
        ++k;
        if (group->childPin && renderer->entityPin)
            group->childPin->links.push_back(renderer->entityPin->id);
        renderer->x = group->x - 150.0f;
        renderer->y = group->y + 75.0f * float(k);
        renderer->parent_id = group->id;
    }
    if (graphHooks.loadNodePositions)
        graphHooks.loadNodePositions();
    return true;
}
