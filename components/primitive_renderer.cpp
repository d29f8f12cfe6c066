#include "components/primitive_renderer.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/instance_buffers.h"
#include "components/primitive_shapes.h"
#include "components/raytracer.h"
#include "components/transform_components.h"
#include "components/vertex_modifiers.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_indirect.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

using namespace gl;

const MaterialCvarBlock* (*materialResourceBlock)(Resource* material) = nullptr;

namespace {

constexpr int kPrimitiveRow = 30;
constexpr const char* kSlotRootMaterial = "flat";
constexpr GeometryExportRecord kNotExported{};

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

// Surfaces that are drawn at all: present, enabled and with triangles.
bool drawable(const GeometrySurface* surface)
{
    return surface && !surface->disabled && surface->triangleCount > 0;
}

// The branch of that name under parent, created and appended when missing.
CvarTreeNode* childBranch(CvarTreeNode* parent, const std::string& name)
{
    if (CvarTreeNode* found = CvarTreeFindBranch(name, CvarScope::Node, parent))
        return found;
    auto* child = new CvarTreeNode(name, parent);
    parent->children.push_back(child);
    return child;
}

constexpr ParameterBinding<primitivefx, MaterialProperties> kSurfaceFlags[] = {
    {&primitivefx::raytrace, KIT_FIELD(MaterialProperties, flagBit2)},
    {&primitivefx::voxelize, KIT_FIELD(MaterialProperties, flagBit16)},
    {&primitivefx::reflect, KIT_FIELD(MaterialProperties, flagBit4)},
    {&primitivefx::shadowCast, KIT_FIELD(MaterialProperties, flagBit256)},
    {&primitivefx::shadowReceive, KIT_FIELD(MaterialProperties, flagBit512)},
};
static_assert(bindingsFit(kSurfaceFlags));

} // namespace

// ---- Transform block ----

Matrix rigidInverse(const Matrix& m)
{
    Matrix r;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            r.m[row * 4 + col] = m.m[col * 4 + row];
    for (int row = 0; row < 3; ++row)
        r.m[row * 4 + 3] = -(r.m[row * 4] * m.m[3] + r.m[row * 4 + 1] * m.m[7] + r.m[row * 4 + 2] * m.m[11]);
    r.m[12] = r.m[13] = r.m[14] = 0.0f;
    r.m[15] = 1.0f;
    return r;
}

TransformParams transformParamsFor(const Camera& camera, const Matrix& model)
{
    TransformParams t;
    t.model = model;
    t.view = camera.view;
    t.modelInv = model.InverseAffine();
    t.modelInvTranspose = t.modelInv.Transposed();
    t.modelView = model.Multiply(camera.view);
    t.modelViewInvTranspose = rigidInverse(t.modelView).Transposed();
    t.projection = camera.projection;
    t.cameraPosition[0] = camera.position.x;
    t.cameraPosition[1] = camera.position.y;
    t.cameraPosition[2] = camera.position.z;
    return t;
}

// ---- Surface draws shared with the mesh renderer ----

uint64_t surfaceIndexCount(const GeometrySurface* surface)
{
    if (!drawable(surface))
        return 0;
    const uint64_t indexCount = uint64_t(surface->triangleCount) * 3;
    if (!surface->indexBuffer || surface->indexBuffer->glId == 0 ||
        surface->indexBuffer->size < indexCount * sizeof(uint32_t) ||
        indexCount > uint64_t(std::numeric_limits<GLsizei>::max()))
        return 0;
    return indexCount;
}

bool surfaceDrawBind(ShaderProgram* program, const SurfaceDraw& draw, Timestep time, BufferBindings& bindings)
{
    if (!program || !draw.geometry || !draw.transform || !shaderUseProgram(program))
        return false;
    rendererBindGlobalInputs(program, time);
    shaderBindingsCreate(bindings);
    shaderBindingsAddGeometry(bindings, draw.geometry);
    shaderBindingsAddInstances(bindings, draw.instances);
    if (draw.modifiers)
        shaderBindingsAddModifiers(bindings, *draw.modifiers);
    shaderBindingsAddData(bindings, "TransformParamsBuffer", draw.transform, sizeof *draw.transform);
    const int row = draw.materialRow;
    shaderSetUniform(program, "materialIndex", UNIFORM_TYPE_INT, &row, sizeof row);
    return true;
}

void surfaceDrawElements(ShaderProgram* program, const SurfaceDraw& draw, BufferBindings& bindings, size_t index,
                         uint64_t instanceCount)
{
    Geometry* geometry = draw.geometry;
    const GeometrySurface* surface = index < geometry->surfaces.size() ? geometry->surfaces[index] : nullptr;
    const uint64_t indexCount = surfaceIndexCount(surface);
    if (indexCount == 0 || instanceCount == 0)
        return;
    glBindVertexArray(geometry->vao);
    shaderSetBuiltinBuffersMask(geometry, program);
    shaderBindBuffers(program, bindings);
    deferredBindMaterialTextures(program);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, surface->indexBuffer->glId);
    const BufferObject* commands = geometry->indirectBuffer;
    if (commands && commands->glId != 0 && commands->size >= (index + 1) * GEOMETRY_INDIRECT_COMMAND_SIZE) {
        glBindBuffer(GL_DRAW_INDIRECT_BUFFER, commands->glId);
        glDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT,
                               reinterpret_cast<const void*>(uintptr_t(GEOMETRY_INDIRECT_COMMAND_SIZE * index)));
        glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
    } else {
        glDrawElementsInstanced(GL_TRIANGLES, GLsizei(indexCount), GL_UNSIGNED_INT, nullptr,
                                GLsizei(std::min<uint64_t>(instanceCount, std::numeric_limits<GLsizei>::max())));
    }
}

void surfacesExport(Object* object, const std::vector<std::unique_ptr<MaterialCvarBlock>>& slots,
                    const int* materialIndex, GeometryExportRecord* records, size_t recordCount,
                    const SurfaceDraw& draw, Timestep time)
{
    std::fill(records, records + recordCount, kNotExported);
    Geometry* geometry = draw.geometry;
    if (!object || !geometry || !currentRaytraceScene)
        return;
    const uint64_t instances = draw.instances ? draw.instances->count : 1u;
    if (instances == 0 || instances > std::numeric_limits<uint32_t>::max())
        return;
    const size_t surfaces = std::min(geometry->surfaces.size(), recordCount);
    for (size_t i = 0; i < surfaces && i < slots.size(); ++i) {
        GeometrySurface* surface = geometry->surfaces[i];
        const int row = materialIndex[i];
        if (surfaceIndexCount(surface) == 0 || !slots[i]->material || row < 0 || row >= kMaterialTableSize)
            continue;
        const MaterialProperties& record = materialTable[row];
        if (!record.flagBit2 && !record.flagBit4 && !record.flagBit16)
            continue;
        ShaderProgram* program = slots[i]->material->getProgram(Renderer::PASS_GEOMETRY);
        SurfaceDraw surfaceDraw = draw;
        surfaceDraw.materialRow = row;
        BufferBindings bindings;
        if (!surfaceDrawBind(program, surfaceDraw, time, bindings))
            continue;
        records[i] = raytracerfxTransformGeometryBufferCustomShader(program, bindings, object, surface,
                                                                    currentRaytraceScene, row, &record,
                                                                    uint32_t(instances));
    }
}

// ---- Construction ----

primitivefx::primitivefx(const std::string& name) : KitComponent(kPrimitiveRow, name)
{
    std::fill(std::begin(exportRecords), std::end(exportRecords), kNotExported);

    CvarTreeRegisterInt(&subdivisions1, "subdivisions 1", 10);
    CvarTreeRegisterInt(&subdivisions2, "subdivisions 2", 10);
    CvarTreeRegisterFloat(&radius1, "radius 1", 10.0f, 0.01f, 100.0f);
    CvarTreeRegisterFloat(&radius2, "radius 2", 10.0f, 0.01f, 100.0f);
    CvarTreeRegisterFloat(&bevelSize, "bevel size", 0.01f, 0.0f, 1.0f);
    CvarTreeRegisterEnum(&type, "type", primitiveTypeOptions, PRIMITIVE_TORUS);
    CvarTreeRegisterVec3(&scale, "scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterBool(&raytrace, "raytrace", 0.0f);
    CvarTreeRegisterBool(&voxelize, "voxelize", 0.0f);
    CvarTreeRegisterBool(&reflect, "reflect", 0.0f);
    CvarTreeRegisterBool(&shadowCast, "shadow cast", 1.0f);
    CvarTreeRegisterBool(&shadowReceive, "shadow receive", 1.0f);
    CvarTreeRegisterBool(&hidden, "hidden", 0.0f);
    for (Cvar* keyed : {&scale, &rotation, &position, &voxelize, &shadowCast, &shadowReceive, &hidden})
        keyed->animatable = true;

    slots.clear();
    materialsBranch = childBranch(branch, "materials");
    materialsBranch->owner = this;
    CloseBranch();

    object = new Object();
    object->flags = 7;
    object->owner = this;

    targetObjPin = new InputPin("target obj", {ResourceType::EffectEntity}, false);
    instPin = new InputPin("inst", {ResourceType::Instances}, false);
    vmPin = new InputPin("vm", {ResourceType::VertexModifier}, true);
    declaredInputs.insert(declaredInputs.end(), {targetObjPin, instPin, vmPin});
    RebuildPinLists();
    output = new FileResource(ResourceType::Object, name + "/internal/output_obj", object);
    AddOutput("obj", ResourceType::Object)->payload = output;

    // Slot registration walks the "materials" branch; whatever was current before stays current afterwards, so
    // later scope-1 registrations of other code do not land in this component's slots.
    CvarTreeNode* const current = cvarTreeCurrentBranch;
    BuildMaterialSlots();
    SyncSlotsFromSurfaces();
    cvarTreeCurrentBranch = current;
}

bool primitivefx::CreateGpuObjects()
{
    InstallGeometry(CreateGeometry());
    SyncSlotsFromSurfaces();
    return true;
}

primitivefx::~primitivefx()
{
    for (auto& slot : slots)
        delete slot->material;
    slots.clear();
    if (!outputs.empty() && outputs[0]->payload == output)
        outputs[0]->payload = nullptr;
    delete output;
    // A component built without its GL objects has no geometry, and needs no GL to go.
    if (object && object->geometry)
        geomDelete(object->geometry);
    delete object;
}

bool primitivefx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &scale;
    return true;
}

void primitivefx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void primitivefx::OnInputDisconnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

// ---- Material slots ----

void primitivefx::RegisterSlot(size_t i)
{
    MaterialCvarBlock& slot = *slots[i];
    // Shares the root's programs until the first override is applied; the rebuild then takes private copies, so
    // slots that are never drawn compile nothing.
    if (!slot.material)
        slot.material = materialCreateFromRoot(kSlotRootMaterial);
    CvarTreeNode* slotBranch = childBranch(materialsBranch, fmt::format("Material {0}", i));
    cvarTreeCurrentBranch = slotBranch;
    slot.Register();
    slotBranch->owner = this;
    CvarTreePopBranch();
}

void primitivefx::BuildMaterialSlots()
{
    if (slots.empty()) {
        slots.resize(kPrimitiveSlotCount);
        for (auto& slot : slots) {
            slot = std::make_unique<MaterialCvarBlock>();
            slot->SetDefaults();
        }
    }
    for (size_t i = 0; i < slots.size(); ++i)
        RegisterSlot(i);
    CvarTreeRemoveUnclaimed(materialsBranch);
}

void primitivefx::SyncSlotsFromSurfaces()
{
    const Geometry* geometry = object ? object->geometry : nullptr;
    for (size_t i = 0; geometry && i < slots.size() && i < geometry->surfaces.size(); ++i) {
        const GeometrySurface* surface = geometry->surfaces[i];
        if (!surface)
            continue;
        MaterialCvarBlock& slot = *slots[i];
        std::copy(surface->color, surface->color + 4, slot.diffuse.value);
        std::copy(surface->emissive, surface->emissive + 4, slot.emmisive.value);
        slot.transparency.value[0] = surface->transparency;
        slot.roughness.value[0] = surface->roughness;
    }
    SyncSlotNames();
}

void primitivefx::SyncSlotNames()
{
    const Geometry* geometry = object ? object->geometry : nullptr;
    const size_t surfaces = geometry ? geometry->surfaces.size() : 0;
    // Surfaces past the per-surface arrays are never drawn, so they get no slot either.
    const size_t wanted = std::min<size_t>(surfaces, kPrimitiveMaxSurfaces);
    if (wanted > slots.size()) {
        CvarTreeNode* const current = cvarTreeCurrentBranch;
        const size_t first = slots.size();
        slots.resize(wanted);
        for (size_t i = first; i < wanted; ++i) {
            slots[i] = std::make_unique<MaterialCvarBlock>();
            slots[i]->SetDefaults();
            RegisterSlot(i);
        }
        cvarTreeCurrentBranch = current;
    }
    for (size_t i = 0; i < slots.size(); ++i) {
        CvarTreeNode* slotBranch = CvarTreeFindBranch(fmt::format("Material {0}", i), CvarScope::Node, materialsBranch);
        if (!slotBranch)
            continue;
        const GeometrySurface* surface = i < surfaces ? geometry->surfaces[i] : nullptr;
        slotBranch->caption = surface ? surface->name : std::string();
        slotBranch->save = slotBranch->visible = surface != nullptr;
    }
}

const MaterialCvarBlock* primitivefx::SourceBlock(size_t i, bool report) const
{
    if (i >= slots.size())
        return nullptr;
    const MaterialCvarBlock* slot = slots[i].get();
    const std::string& name = slot->materialOverride.text;
    if (name.empty() || !currentResources || !materialResourceBlock)
        return slot;
    Resource* record = nullptr;
    if (report) {
        record = currentResources->get_by_name_type(name, ResourceType::Material);
    } else {
        // Every frame: a wrong name was already reported when it was set.
        const auto found = currentResources->resources.find(name);
        record = found == currentResources->resources.end() ? nullptr : found->second;
    }
    if (!record || record->type != ResourceType::Material)
        return slot;
    const MaterialCvarBlock* block = materialResourceBlock(record);
    return block ? block : slot;
}

// ---- Geometry ----

Geometry* primitivefx::CreateGeometry() const
{
    return CreatePrimitiveGeometry(type.value[0], radius1.value[0], radius2.value[0], subdivisions1.value[0],
                                   subdivisions2.value[0], bevelSize.value[0]);
}

void primitivefx::InstallGeometry(Geometry* geometry)
{
    geomDelete(object->geometry);
    object->geometry = geometry;
    std::fill(std::begin(object->bounds), std::end(object->bounds), 0.0f);
    if (geometry)
        geomCalculateBoundingBox(geometry, object->bounds);
    reported_.clear();
}

void primitivefx::ReplaceGeometry(Geometry* geometry)
{
    InstallGeometry(geometry);
    SyncSlotNames();
}

void primitivefx::RebuildGeometry() { ReplaceGeometry(CreateGeometry()); }

bool primitivefx::ReportOnce(const std::string& key) { return reported_.insert(key).second; }

Matrix primitivefx::GetLocalMatrix() const
{
    return composeTransform(position.value, rotation.value, scale.value[0], scale.value[1], scale.value[2]);
}

void primitivefx::WriteSurfaceFlags(MaterialProperties& record) const { writeParameters(*this, kSurfaceFlags, record); }

// ---- Graph operations ----

void primitivefx::Init()
{
    RebuildGeometry();
    for (auto& slot : slots)
        slot->ApplyShaderOverride();
    rebuildCountdown = 1;
}

void primitivefx::OnCvarChanged(Cvar* cvar)
{
    if (!cvar)
        return;
    if (cvar == &type || cvar == &radius1 || cvar == &radius2 || cvar == &subdivisions1 || cvar == &subdivisions2 ||
        cvar == &bevelSize) {
        RebuildGeometry();
        if (!outputs.empty())
            GraphManager::NotifyOutputChanged(outputs[0]->id);
    }
    for (size_t i = 0; i < slots.size(); ++i) {
        MaterialCvarBlock& slot = *slots[i];
        if (cvar != &slot.shader && cvar != &slot.materialOverride)
            continue;
        rebuildCountdown = kPrimitiveRebuildDelay;
        const MaterialCvarBlock* source = SourceBlock(i, true);
        if (slot.material && source)
            slot.material->setOverrideSource(source->shader.text);
    }
}

void primitivefx::OnInputChanged(int32_t pinId)
{
    if (!vmPin || pinId != vmPin->id)
        return;
    grdMessage("Rebuild program initiated\n");
    rebuildCountdown = kPrimitiveRebuildDelay;
}

void primitivefx::InjectVertexModifiers()
{
    if (!object || !object->geometry || !VertexModifierCountdownExpired(rebuildCountdown))
        return;
    grdMessage("Rebuild shader. Inject vertex modifiers\n");
    for (size_t i = 0; i < slots.size(); ++i) {
        const MaterialCvarBlock* source = SourceBlock(i, false);
        if (slots[i]->material && source)
            slots[i]->material->setOverrideSource(source->shader.text);
    }
    const size_t surfaces = std::min<size_t>(object->geometry->surfaces.size(), kPrimitiveMaxSurfaces);
    ::InjectVertexModifiers(vmPin, surfaces, slots, vertexModifierBuffers);
}

void primitivefx::Execute(RenderItemBuilder& builder, Timestep)
{
    if (!GetParent())
        return;
    Geometry* geometry = object ? object->geometry : nullptr;
    if (!geometry)
        return;
    geomUpdate(geometry); // sends only the buffers marked dirty

    const size_t surfaces = std::min<size_t>(geometry->surfaces.size(), kPrimitiveMaxSurfaces);
    if (geometry->surfaces.size() > surfaces && ReportOnce("surfaces"))
        LOG_WARNING("Primitive %s has %zu surfaces; only the first %d are drawn", name.c_str(),
                    geometry->surfaces.size(), kPrimitiveMaxSurfaces);
    deferredRenderInit();
    for (size_t i = 0; i < surfaces; ++i) {
        const GeometrySurface* surface = geometry->surfaces[i];
        if (!surface || surface->disabled)
            continue;
        MaterialProperties record;
        if (const MaterialCvarBlock* source = SourceBlock(i, false))
            source->ToProperties(record);
        WriteSurfaceFlags(record);
        // A full table (already reported by the append) leaves the surface with the default row 0: the shape
        // stays visible, only its material settings are lost for this frame.
        const int row = materialTableAppend(record);
        materialIndex[i] = row >= 0 ? row : 0;
        textureMask[i] = row >= 0 ? materialTextureMask(record) : 0u;
    }

    const Matrix local = GetLocalMatrix();
    InjectVertexModifiers();
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, local));
}

std::vector<GeometryExportRecord*> primitivefx::GetGeometries()
{
    std::vector<GeometryExportRecord*> exported;
    for (GeometryExportRecord& record : exportRecords)
        if (record.raytraceFacesBase != -1 || record.voxelizeFacesBase != -1)
            exported.push_back(&record);
    return exported;
}

// ---- Drawing ----

InstanceBuffers* primitivefx::LinkedInstances()
{
    if (!instPin || instPin->links.empty())
        return nullptr;
    const int32_t link = instPin->links.front();
    OutputPin* pin = GraphManager::FindOutputPin(link);
    if (!pin || !pin->payload)
        return nullptr;
    auto* instances = resourceCast<InstancesResource>(pin->payload, ResourceType::Instances);
    if (!instances) {
        if (reportedInstLink_ != link)
            LOG_WARNING("Primitive %s: the output linked to \"inst\" carries resource type %d, not instances; it is "
                        "drawn without them",
                        name.c_str(), pin->payload->type);
        reportedInstLink_ = link;
        return nullptr;
    }
    reportedInstLink_ = 0;
    return instances->set;
}

void primitivefx::Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time)
{
    if (!object || !object->geometry)
        return;
    // Labels and debug groups only in the editor, where the timings are read; playback draws without them.
    const bool labelled = timerGpuScopesEnabled();
    std::string label;
    if (labelled) {
        label = fmt::format("PrimitiveFX:{0}:{1}", name, Renderer::GetPassName(pass));
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, label.c_str());
    }
    {
        std::optional<ScopedGpuTimer> timer;
        if (labelled)
            timer.emplace(label, true);
        const Matrix world = model ? *model : Matrix();
        if (pass == Renderer::PASS_GEOMETRY) {
            RegisterSelectedBounds(this, camera, GetLocalMatrix(), world, object->bounds, SelectedBoundsKind::Box);
            if (currentRaytraceScene && camera)
                ExportSurfaces(camera, world, time);
        } else if (pass == Renderer::PASS_DEFERRED || (pass == Renderer::PASS_SHADOWMAP && isSet(shadowCast))) {
            if (camera)
                DrawSurfaces(camera, world, pass, time);
        }
    }
    if (labelled)
        glPopDebugGroup();
}

void primitivefx::ExportSurfaces(Camera* camera, const Matrix& model, Timestep time)
{
    Geometry* geometry = object->geometry;
    geomUpdate(geometry);
    InstanceBuffers* instances = LinkedInstances();
    if (geometry->vao == 0 ||
        (instances && (!instances->transforms || !instances->colours || instances->count > instances->capacity))) {
        // DrawSurfaces reports broken instance sets; nothing of an earlier frame stays exported.
        std::fill(std::begin(exportRecords), std::end(exportRecords), kNotExported);
        return;
    }
    const TransformParams transform = transformParamsFor(*camera, model);
    SurfaceDraw draw{geometry, instances, &vertexModifierBuffers, &transform, 0};
    surfacesExport(object, slots, materialIndex, exportRecords, kPrimitiveMaxSurfaces, draw, time);
}

void primitivefx::DrawSurfaces(Camera* camera, const Matrix& model, Renderer::Pass pass, Timestep time)
{
    Geometry* geometry = object->geometry;
    geomUpdate(geometry);
    if (geometry->vao == 0)
        return;

    InstanceBuffers* instances = LinkedInstances();
    uint64_t instanceCount = 1;
    if (instances) {
        instanceCount = instances->count;
        if (!instances->transforms || !instances->colours || instances->count > instances->capacity ||
            instanceCount > uint64_t(std::numeric_limits<GLsizei>::max())) {
            if (ReportOnce("instances"))
                LOG_ERROR("Primitive %s: instance set of %u instances has no buffers for them (capacity %u); not "
                          "drawn",
                          name.c_str(), instances->count, instances->capacity);
            return;
        }
        if (instanceCount == 0)
            return;
    }

    const TransformParams transform = transformParamsFor(*camera, model);
    const size_t surfaces = std::min<size_t>(geometry->surfaces.size(), kPrimitiveMaxSurfaces);
    for (size_t i = 0; i < surfaces; ++i) {
        const GeometrySurface* surface = geometry->surfaces[i];
        if (!drawable(surface) || i >= slots.size() || !slots[i]->material)
            continue;
        const uint64_t indexCount = surfaceIndexCount(surface);
        if (indexCount == 0) {
            if (ReportOnce(fmt::format("indices {0}", i)))
                LOG_ERROR("Primitive %s: surface %zu has no index buffer for its %u triangles; not drawn",
                          name.c_str(), i, surface->triangleCount);
            continue;
        }
        // Each request counts toward the material's rebuild countdown; the second answer is the one drawn with.
        Material* material = slots[i]->material;
        material->getProgram(pass, textureMask[i]);
        ShaderProgram* program = material->getProgram(pass, textureMask[i]);
        const SurfaceDraw draw{geometry, instances, &vertexModifierBuffers, &transform, materialIndex[i]};
        BufferBindings bindings;
        if (!surfaceDrawBind(program, draw, time, bindings))
            continue;
        surfaceDrawElements(program, draw, bindings, i, instanceCount);
    }
    glBindVertexArray(0);
}
