#include "components/instancing_generators.h"

#include "app/log.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "components/shadowmap_capture.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "render/entities.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace gl;

namespace {

const char* const kReplicatorTypes[] = {"grid", "radial", nullptr};
constexpr uint16_t kHalfOne = 0x3C00;

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

// At least 1 and at most `limit` instances along an axis.
uint32_t axisCount(float value, uint32_t limit)
{
    return std::clamp<uint32_t>(instancingReplicaCount(value), 1u, std::max(limit, 1u));
}

void uploadWhole(BufferObject* buffer)
{
    if (buffer && buffer->size)
        glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(buffer->size), buffer->hostCopy);
}

void writeInstance(InstanceBuffers& set, uint32_t k, const Matrix& m, float tx, float ty, float tz)
{
    const float rows[12] = {m.m[0], m.m[1], m.m[2],  tx, m.m[4], m.m[5],
                            m.m[6], ty,     m.m[8], m.m[9], m.m[10], tz};
    std::memcpy(set.transforms->hostCopy + size_t(k) * kInstanceTransformBytes, rows, sizeof rows);
    const uint16_t white[4] = {kHalfOne, kHalfOne, kHalfOne, kHalfOne};
    std::memcpy(set.colours->hostCopy + size_t(k) * kInstanceColorBytes, white, sizeof white);
}

// Runs the modifiers linked to `pin` over the set.
void applyLinkedModifiers(InstanceBuffers& set, InstanceModifierChain& chain, const InputPin* pin, Timestep time)
{
    chain.Build(linkedPayloads(pin));
    set.ApplyModifiers(chain, time);
}

// The seed as the shaders take it: truncated, NaN as 0, huge values held within an int.
int32_t seedWord(float seed)
{
    return std::isfinite(seed) ? int32_t(std::clamp(seed, -1e9f, 1e9f)) : 0;
}

void dispatchInstances(uint32_t count)
{
    glDispatchCompute(instancingGroups(count), 1, 1);
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
}

} // namespace

std::vector<Resource*> linkedPayloads(const InputPin* pin)
{
    std::vector<Resource*> payloads;
    if (!pin)
        return payloads;
    for (int32_t id : pin->links) {
        const OutputPin* output = GraphManager::FindOutputPin(id);
        payloads.push_back(output ? output->payload : nullptr);
    }
    return payloads;
}

RaytraceSceneBuffers* instancingSceneBuffers()
{
    if (!currentScenePlayer)
        return nullptr;
    auto* raytracer = dynamic_cast<raytracerfx*>(currentScenePlayer->FindRaytracer());
    return raytracer ? raytracer->sceneBuffers : nullptr;
}

uint32_t instancingReplicaCount(float replicas)
{
    if (!(replicas >= 1.0f))
        return 0; // negative, below 1 and NaN
    if (replicas >= float(kInstancingMaxInstances))
        return kInstancingMaxInstances;
    return static_cast<uint32_t>(replicas);
}

uint32_t instancingGroups(uint32_t n) { return (n + kInstancingGroupSize - 1) / kInstancingGroupSize; }

// ---- Replicator ----

replicatorfx::replicatorfx(const std::string& name) : KitComponent(kTypeIndex, name), payload(name + "/internal")
{
    CvarTreeRegisterEnum(&type, "type", kReplicatorTypes, 0);
    CvarTreeRegisterVec3(&instancePosition, "instance position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&instanceScale, "instance scale", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&instanceRotation, "instance rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&replicas, "replicas", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterBool(&exteriorOnly, "exterior only", 0.0f);
    CvarTreeRegisterFloat(&radius, "radius", 0.0f, -1000.0f, 1000.0f);
    CloseBranch();
    for (Cvar* keyed : {&instancePosition, &instanceScale, &instanceRotation, &replicas, &radius})
        keyed->animatable = true;

    imPin = new InputPin("im", {ResourceType::InstanceModifier}, true);
    declaredInputs.push_back(imPin);
    RebuildPinLists();
    AddOutput("inst", ResourceType::Instances)->payload = &payload;
}

replicatorfx::~replicatorfx() { delete set; }

bool replicatorfx::CreateGpuObjects()
{
    set = InstanceBuffers::Create(axisCount(replicas.value[0], kInstancingMaxInstances));
    payload.set = set;
    return set != nullptr;
}

void replicatorfx::GridSize(uint32_t& nx, uint32_t& ny, uint32_t& nz) const
{
    nx = axisCount(replicas.value[0], kInstancingMaxInstances);
    ny = axisCount(replicas.value[1], kInstancingMaxInstances / nx);
    nz = axisCount(replicas.value[2], kInstancingMaxInstances / (nx * ny));
}

bool replicatorfx::GenerateInstances()
{
    const float* r = instanceRotation.value;
    const float* p = instancePosition.value;
    const float* s = instanceScale.value;
    if (type.value[0] < 1.0f) {
        uint32_t nx = 1, ny = 1, nz = 1;
        GridSize(nx, ny, nz);
        const uint64_t asked = uint64_t(std::max(1.0f, std::min(replicas.value[0], 1e9f))) *
                               uint64_t(std::max(1.0f, std::min(replicas.value[1], 1e9f))) *
                               uint64_t(std::max(1.0f, std::min(replicas.value[2], 1e9f)));
        if (asked > uint64_t(nx) * ny * nz && !warnedClamp_) {
            LOG_WARNING("Replicator %s: a grid of %g x %g x %g is clamped to %u x %u x %u instances", name.c_str(),
                        replicas.value[0], replicas.value[1], replicas.value[2], nx, ny, nz);
            warnedClamp_ = true;
        }
        if (!set->Resize(nx * ny * nz))
            return false;
        const bool exterior = isSet(exteriorOnly);
        const Matrix scale = Matrix::Scale(s[0], s[1], s[2]);
        uint32_t k = 0;
        for (uint32_t z = 0; z < nz; ++z)
            for (uint32_t y = 0; y < ny; ++y)
                for (uint32_t x = 0; x < nx; ++x) {
                    if (exterior && x > 0 && x + 1 < nx && y > 0 && y + 1 < ny && z > 0 && z + 1 < nz)
                        continue;
                    const float fx = float(x), fy = float(y), fz = float(z);
                    const Matrix m = scale.Multiply(Matrix::FromEulerDegrees(
                        r[0] * fx - float(nx - 1) * r[0] * 0.5f, r[1] * fy - float(ny - 1) * r[1] * 0.5f,
                        r[2] * fz - float(nz - 1) * r[2] * 0.5f));
                    writeInstance(*set, k++, m, p[0] * fx - p[0] * float(nx - 1) * 0.5f,
                                  p[1] * fy - p[1] * float(ny - 1) * 0.5f, p[2] * fz - p[2] * float(nz - 1) * 0.5f);
                }
        set->Resize(k);
    } else {
        const uint32_t c = axisCount(replicas.value[0], kInstancingMaxInstances);
        if (!set->Resize(c))
            return false;
        for (uint32_t i = 0; i < c; ++i) {
            const double fi = double(i);
            const Matrix scale = Matrix::Scale(float(1.0 + fi * s[0]), float(1.0 + fi * s[1]), float(1.0 + fi * s[2]));
            const Matrix m = scale.Multiply(Matrix::FromEulerDegrees(
                r[0] * float(i) - float(c - 1) * r[0] * 0.5f, r[1] * float(i), r[2] * float(i)));
            writeInstance(*set, i, m, 0.0f, 0.0f, 0.0f);
        }
    }
    return true;
}

void replicatorfx::Execute(RenderItemBuilder&, Timestep time)
{
    if (!set || !GenerateInstances())
        return;
    uploadWhole(set->transforms);
    uploadWhole(set->colours);
    applyLinkedModifiers(*set, chain, imPin, time);
}

// ---- Instancing from geometry ----

ShaderProgram* geometryInstancingProgram()
{
    static ShaderProgram* const program =
        shaderLoadProgramCompute("shaders/instancing/geometry_instancing.comp", ShaderDefines{});
    return program;
}

instancinggeometryfx::instancinggeometryfx(const std::string& name)
    : KitComponent(kTypeIndex, name), payload(name + "/internal")
{
    CvarTreeRegisterInt(&replicas, "replicas", 1000);
    CvarTreeRegisterFloat(&surfaceDistance, "surface distance", 0.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&seed, "seed", 50.0f, 0.0f, 100.0f);
    CloseBranch();
    for (Cvar* keyed : {&seed, &surfaceDistance})
        keyed->animatable = true;

    // Any output of the renderer to scatter over names it: its object or its entity.
    entityPin = new InputPin("fx_ent", {ResourceType::EffectEntity, ResourceType::Object, ResourceType::Entity}, false);
    declaredInputs.push_back(entityPin);
    RebuildPinLists();
    AddOutput("inst", ResourceType::Instances)->payload = &payload;
}

instancinggeometryfx::~instancinggeometryfx()
{
    delete set;
    if (params) // built without GL objects: no GL call
        boDelete(params);
}

bool instancinggeometryfx::CreateGpuObjects()
{
    geometryInstancingProgram();
    params = boCreate(("instancinggeometryfx/" + name).c_str(), sizeof(GeometryInstancingParams));
    set = InstanceBuffers::Create(instancingReplicaCount(replicas.value[0]));
    payload.set = set;
    return params && set;
}

GeometryInstancingParams instancinggeometryfx::BuildParams(bool& voxelCopy)
{
    GeometryInstancingParams block{};
    block.seed = seedWord(seed.value[0]);
    block.replicas = int32_t(instancingReplicaCount(replicas.value[0]));
    block.surfaceDistance = surfaceDistance.value[0];
    voxelCopy = false;
    if (entityPin->links.empty())
        return block;
    EngineComponent* source = GraphManager::FindComponentByPinId(entityPin->links.front());
    if (!source)
        return block;
    const std::vector<GeometryExportRecord*> records = source->GetGeometries();
    if (records.empty() || !records.front())
        return block;
    // The voxelization copy first, the tracing copy otherwise; the faces are read from the copy they index.
    const GeometryExportRecord& record = *records.front();
    if (record.voxelizeFacesBase != -1) {
        block.firstFace = record.voxelizeFacesBase;
        block.faceCount = record.facesPerInstance;
        voxelCopy = true;
    } else if (record.raytraceFacesBase != -1) {
        block.firstFace = record.raytraceFacesBase;
        block.faceCount = record.facesPerInstance;
    }
    return block;
}

void instancinggeometryfx::Execute(RenderItemBuilder&, Timestep time)
{
    if (!set)
        return;
    set->Resize(instancingReplicaCount(replicas.value[0]));
    RaytraceSceneBuffers* scene = instancingSceneBuffers();
    bool voxelCopy = false;
    if (!scene && BuildParams(voxelCopy).faceCount > 0) {
        if (!warnedNoScene_)
            LOG_WARNING("Instancing %s: no scene player with a raytracer holds the exported faces; no instances "
                        "are placed",
                        name.c_str());
        warnedNoScene_ = true;
        return;
    }
    PlaceInstances(scene, time);
}

bool instancinggeometryfx::PlaceInstances(RaytraceSceneBuffers* scene, Timestep time)
{
    bool voxelCopy = false;
    const GeometryInstancingParams block = BuildParams(voxelCopy);
    std::memcpy(params->hostCopy, &block, sizeof block);
    set->Resize(uint32_t(block.replicas));
    if (block.faceCount <= 0 || !scene || set->count == 0)
        return false;
    ShaderProgram* program = geometryInstancingProgram();
    if (!program || program->errors)
        return false;
    glNamedBufferSubData(params->glId, 0, sizeof block, params->hostCopy);
    if (!shaderUseProgram(program))
        return false;
    rendererBindGlobalInputs(program, time);
    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    if (voxelCopy)
        shaderBindingsAddVoxels(bindings, scene);
    else
        shaderBindingsAddPartition(bindings, scene);
    shaderBindingsAddInstances(bindings, set);
    shaderBindingsAddBuffer(bindings, "InstancingGeneratorParamsBuffer", params);
    if (!shaderBindBuffers(program, bindings))
        return false;
    lastGroups = instancingGroups(set->count);
    dispatchInstances(set->count);
    return true;
}

// ---- Instancing from a light ----

ShaderProgram* lightInstancingProgram()
{
    static ShaderProgram* const program =
        shaderLoadProgramCompute("shaders/instancing/light_instancing.comp", shaderGlobalDefines);
    return program;
}

instancinglightfx::instancinglightfx(const std::string& name)
    : KitComponent(kTypeIndex, name), payload(name + "/internal")
{
    CvarTreeRegisterInt(&replicas, "replicas", 1000);
    CvarTreeRegisterFloat(&surfaceDistance, "surface distance", 0.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&seed, "seed", 50.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&nearPlaneScale, "near plane scale", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&farPlaneScale, "far plane scale", 1.0f, 0.0f, 1.0f);
    CvarTreeRegisterBool(&modulateSizeByMask, "modulate size by mask", 1.0f);
    CvarTreeRegisterBool(&onlyOnMaskEdge, "only on mask edge", 0.0f);
    CloseBranch();

    // Whichever output of the capture is linked names it: its light, its shadow map or its mask.
    entityPin = new InputPin("fx_ent", {ResourceType::EffectEntity, ResourceType::Light, ResourceType::Texture}, false);
    maskPin = new InputPin("txt mask", {ResourceType::Texture}, false);
    imPin = new InputPin("im", {ResourceType::InstanceModifier}, true);
    declaredInputs.insert(declaredInputs.end(), {entityPin, maskPin, imPin});
    RebuildPinLists();
    AddOutput("inst", ResourceType::Instances)->payload = &payload;
}

instancinglightfx::~instancinglightfx()
{
    delete set;
    if (params) // built without GL objects: no GL call
        boDelete(params);
}

bool instancinglightfx::CreateGpuObjects()
{
    lightInstancingProgram();
    params = boCreate(("instancinglightfx/" + name).c_str(), sizeof(LightInstancingParams));
    set = InstanceBuffers::Create(instancingReplicaCount(replicas.value[0]));
    payload.set = set;
    return params && set;
}

void instancinglightfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.functionItems.emplace_back([this](Camera*, Timestep time) { PlaceInstances(time); }, this);
}

LightInstancingParams& instancinglightfx::Params()
{
    return *reinterpret_cast<LightInstancingParams*>(params->hostCopy);
}

shadowmapcapturefx* instancinglightfx::Source() const
{
    if (entityPin->links.empty())
        return nullptr;
    EngineComponent* source = GraphManager::FindComponentByPinId(entityPin->links.front());
    if (!source || source->typeIndex != shadowmapcapturefx::kTypeIndex)
        return nullptr;
    return dynamic_cast<shadowmapcapturefx*>(source);
}

Texture* instancinglightfx::LinkedMask()
{
    if (maskPin->links.empty())
        return nullptr;
    const int32_t link = maskPin->links.front();
    const OutputPin* output = GraphManager::FindOutputPin(link);
    if (!output || !output->payload)
        return nullptr;
    auto* record = resourceCast<FileResource>(output->payload, ResourceType::Texture);
    if (!record) {
        if (reportedMaskLink_ != link)
            LOG_WARNING("Instancing %s: the output linked to \"txt mask\" carries resource type %d, not a texture; "
                        "the capture's own mask is used",
                        name.c_str(), output->payload->type);
        reportedMaskLink_ = link;
        return nullptr;
    }
    reportedMaskLink_ = 0;
    return record->GetTexture();
}

bool instancinglightfx::PlaceInstances(Timestep time)
{
    if (!set || !params)
        return false;
    shadowmapcapturefx* capture = Source();
    Texture* linkedMask = LinkedMask();

    LightInstancingParams& block = Params();
    const uint32_t count = instancingReplicaCount(replicas.value[0]);
    block.seed = seedWord(seed.value[0]);
    block.replicas = int32_t(count);
    block.surfaceDistance = surfaceDistance.value[0];
    block.modulateSizeByMask = isSet(modulateSizeByMask) ? 1 : 0;
    block.onlyOnMaskEdge = isSet(onlyOnMaskEdge) ? 1 : 0;
    block.nearPlaneScale = nearPlaneScale.value[0];
    block.farPlaneScale = farPlaneScale.value[0];
    if (!set->Resize(count) || !capture || !capture->light)
        return false;

    const Light* light = capture->light;
    Texture* depth = capture->ShadowDepth();
    Texture* mask = linkedMask ? linkedMask : capture->mask;
    std::memcpy(block.projection, light->projection.m, sizeof block.projection);
    std::memcpy(block.captureMatrix, capture->captureMatrix.m, sizeof block.captureMatrix);
    block.captureTranslation[0] = capture->captureMatrix.m[3];
    block.captureTranslation[1] = capture->captureMatrix.m[7];
    block.captureTranslation[2] = capture->captureMatrix.m[11];
    if (light->lightType == LIGHT_TYPE_DIRECTIONAL) {
        const Matrix d = Matrix::Scale(light->orthoWidth, light->orthoHeight, light->farPlane);
        const Matrix shadowToLight = Matrix::Translation(-0.5f, -0.5f, 0.0f).Multiply(d);
        std::memcpy(block.shadowToLight, shadowToLight.m, sizeof block.shadowToLight);
    }
    if (!depth || !mask || count == 0)
        return false;

    ShaderProgram* program = lightInstancingProgram();
    if (!program || program->errors)
        return false;
    glNamedBufferSubData(params->glId, 0, sizeof block, params->hostCopy);
    if (!shaderUseProgram(program))
        return false;
    rendererBindGlobalInputs(program, time);
    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    shaderBindingsAddInstances(bindings, set);
    shaderBindingsAddBuffer(bindings, "InstancingGeneratorParamsBuffer", params);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "sDepth", depth, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(textures, "sMask", mask, SAMPLER_LINEAR_CLAMP);
    if (!shaderBindBuffers(program, bindings) || !shaderBindTextures(program, textures))
        return false;
    // The mask was written as an image this frame; its writes must be visible to the sampler reads.
    glMemoryBarrier(GL_TEXTURE_FETCH_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
    lastGroups = instancingGroups(count);
    dispatchInstances(count);
    applyLinkedModifiers(*set, chain, imPin, time);
    return true;
}
