#include "components/particles.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/instance_buffers.h"
#include "components/primitive_renderer.h"
#include "components/raymarcher.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_source.h"
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
#include <cmath>
#include <cstring>
#include <optional>

using namespace gl;

namespace {

constexpr int kContainerRow = 11;
constexpr int kEmitterPrimitiveRow = 12;
constexpr int kEmitterGeometryRow = 13;
constexpr int kEmitterInstancesRow = 14;
constexpr int kRendererInstancedRow = 15;
constexpr int kRendererBlendedRow = 16;
constexpr int kRendererRibbonRow = 17;
constexpr int kModifierVelocityRow = 19;
constexpr int kModifierCurlRow = 20;
constexpr int kConstraintRow = 21;

constexpr const char* kLifecyclePath = "shaders/particles/particle_buffer_lifecycle.comp";
constexpr const char* kParamsDefine = "INLINE_PARTICLE_MODIFIERS_PARAMS_BLOCK";
constexpr const char* kTransformDefine = "INLINE_PARTICLE_MODIFIERS_TRANSFORM_BLOCK";

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

// Deletes and forgets a buffer; a component built without GL objects has none and needs no GL to go.
void releaseBuffer(BufferObject*& buffer)
{
    if (buffer)
        boDelete(buffer);
    buffer = nullptr;
}

// Enum values and counts from a float parameter: the integer part, 0 for anything no int holds.
int32_t truncated(float value)
{
    return std::isfinite(value) && std::fabs(value) < 2.0e9f ? int32_t(value) : 0;
}

// One lifecycle parameter buffer for every container.
BufferObject* lifecycleParamsBuffer = nullptr;

const char* const kPrimitiveOptions[] = {"Sphere", "Cube", nullptr};
const char* const kFalloffOptions[] = {"Linear", "Quadratic", "Smoothstep", nullptr};
const char* const kConstraintOptions[] = {"sphere", nullptr};

constexpr const char* kConstraintPath = "shaders/particles/modifiers/primitive_constraint.comp";
constexpr const char* kSnapshotPath = "shaders/particles/ribbon_renderer_new_frame.comp";
// Shared by every constraint and every ribbon renderer, built by the first and kept for the process.
ShaderProgram* constraintProgram = nullptr;
ShaderProgram* snapshotProgram = nullptr;
BufferObject* snapshotParamsBuffer = nullptr;

// ---- Templates ----

const char* const kPrimitiveEmitterParams = R"(

#include <shaders/emitters/primitive_emitter_inl.comp>
layout (std140, row_major) buffer {Name}
{
    ParticleEmitterPrimitive_Params {Name}_params;
};

)";

const char* const kPrimitiveEmitterTransform = R"(

{
    if (!prt_is_alive(p.state)) {
        int pending = atomicAdd({Name}_params.pending, -1);
        if (pending > 0)
            particle_emitter_primitive_emit({Name}_params, p, id);
    }
}

)";

const char* const kVelocityParams = R"(

struct {Name}Params
{
    vec3 position;
    int falloff_mode;
    vec3 radius;
    int falloff_inverse;
    vec3 velocity;
};
layout (std140, row_major) uniform {Name}
{
    {Name}Params {Name}_params;
};

)";

const char* const kVelocityTransform = R"(

{
    vec3 modifier_position = {Name}_params.position;
    p.pos += {Name}_params.velocity;
}

)";

// Only the exported vertices of the scene buffers are declared: every declared block counts against the 16 a
// stage may have.
const char* const kGeometryEmitterParams = R"(

#define RT_BUFFERS_VERTICES 1
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>
#include <shaders/emitters/geometry_emitter_inl.comp>
layout (std140, row_major) buffer {Name}
{
    ParticleEmitterGeometry_Params {Name}_params;
};

)";

const char* const kGeometryEmitterTransform = R"(

{
    if (!prt_is_alive(p.state)) {
        int pending = atomicAdd({Name}_params.pending, -1);
        if (pending > 0)
            particle_emitter_geometry_emit({Name}_params, p, id);
    }
}

)";

const char* const kInstancesEmitterParams = R"(

#include <shaders/emitters/instances_emitter_inl.comp>
layout (std430) readonly buffer InstanceTransformBuffer{Name}
{
    vec4 instance_transform_{Name}[];
};
layout (std430) readonly buffer InstanceColorBuffer{Name}
{
    uint instance_color_{Name}[];
};
layout (std140, row_major) buffer {Name}
{
    ParticleEmitterInstances_Params {Name}_params;
};

)";

// Up to 8 probes for an instance whose first row is not zero; the instance index is bounded by the count and by
// the bound buffer.
const char* const kInstancesEmitterTransform = R"(

{
    if (!prt_is_alive(p.state) && {Name}_params.pending > 0 && {Name}_params.instance_buffer_capacity > 0u) {
        uint chosen = 0xffffffffu;
        float fid = random(float(id) * 1.61803398875);
        for (uint pi = 0u; pi < 8u && chosen == 0xffffffffu; ++pi) {
            uint instance = (uint(fid * 10000000.0) + uint({Name}_params.seed) + pi * 7919u) %
                            {Name}_params.instance_buffer_capacity;
            if (instance * 3u + 2u >= uint(instance_transform_{Name}.length()))
                continue;
            vec4 row0 = instance_transform_{Name}[instance * 3u];
            if (dot(row0.xyz, row0.xyz) > 0.00001)
                chosen = instance;
        }
        if (chosen != 0xffffffffu) {
            int pending = atomicAdd({Name}_params.pending, -1);
            if (pending > 0)
                particle_emitter_instances_emit({Name}_params, instance_transform_{Name}[chosen * 3u],
                                                instance_transform_{Name}[chosen * 3u + 1u],
                                                instance_transform_{Name}[chosen * 3u + 2u], p, id);
        }
    }
}

)";

const char* const kCurlParams = R"(

#include <shaders/particles/modifiers/curl_inl.comp>
layout (std140, row_major) buffer {Name}
{
    ParticleModifierCurl_Params {Name}_params;
};

)";

const char* const kCurlTransform = R"(

{
    if (prt_is_alive(p.state))
        particle_modifier_curl({Name}_params, p, id);
}

)";

// The selection bounds of a modifier's falloff volume: a sphere under the volume matrix.
void registerVolumeBounds(EngineComponent* component, Camera* camera, const Matrix& local, const Matrix* model)
{
    static const float zeroBox[6] = {0, 0, 0, 0, 0, 0};
    RegisterSelectedBounds(component, camera, local, model ? *model : Matrix(), zeroBox, 1);
}

// Diagonal of the radius translated to the position.
Matrix volumeMatrix(const Cvar& position, const Cvar& radius)
{
    Matrix m;
    for (int i = 0; i < 3; ++i) {
        m.m[i * 5] = radius.value[i];
        m.m[i * 4 + 3] = position.value[i];
    }
    return m;
}

} // namespace

uint32_t particleGroups(uint32_t capacity) { return (capacity + kParticleGroupSize - 1) / kParticleGroupSize; }

uint32_t particleDrawInstances(uint32_t capacity)
{
    return (capacity + kParticleDrawClones - 1) / kParticleDrawClones;
}

int32_t particleClampCapacity(float requested)
{
    if (!(requested > 0.0f))
        return 0;
    int32_t limit = kParticleMaxCapacity;
    // What one storage block may hold on this GL (positions and states take 16 bytes a slot).
    GLint64 blockBytes = 0;
    glGetInteger64v(GL_MAX_SHADER_STORAGE_BLOCK_SIZE, &blockBytes);
    if (blockBytes >= GLint64(kParticlePositionBytes))
        limit = int32_t(std::min<GLint64>(limit, blockBytes / kParticlePositionBytes));
    return requested >= float(limit) ? limit : int32_t(requested);
}

// ---- Joining ----

ParticleModifierJoin particleJoinModifiers(const std::vector<int32_t>& links)
{
    ParticleModifierJoin join;
    join.links = links;
    for (size_t i = 0; i < links.size(); ++i) {
        const OutputPin* pin = GraphManager::FindOutputPin(links[i]);
        auto* producer = pin ? dynamic_cast<ParticleModifierResource*>(pin->payload) : nullptr;
        if (!producer) {
            // A constraint runs its own pass; a vanished producer has nothing to give. Either keeps its number.
            join.buffers.push_back(nullptr);
            continue;
        }
        const std::string blockName = fmt::format("VM{0}", i);
        join.paramsText += ReplaceNamePlaceholder(producer->paramsBlock, blockName);
        join.transformText += ReplaceNamePlaceholder(producer->transformBlock, blockName);
        join.buffers.push_back(producer->paramsBuffer);
    }
    return join;
}

void particleAddModifierTables(BufferBindings& bindings, const std::vector<int32_t>& links)
{
    for (size_t i = 0; i < links.size(); ++i) {
        const OutputPin* pin = GraphManager::FindOutputPin(links[i]);
        auto* producer = pin ? dynamic_cast<ParticleModifierResource*>(pin->payload) : nullptr;
        if (!producer)
            continue;
        const std::string blockName = fmt::format("VM{0}", i);
        for (const auto& [key, binding] : producer->bindings)
            bindings[ReplaceNamePlaceholder(key, blockName)] = binding;
    }
}

particlecontainerfx* particleFindContainer(int32_t outputId)
{
    const OutputPin* pin = GraphManager::FindOutputPin(outputId);
    auto* resource = pin ? dynamic_cast<ParticleContainerResource*>(pin->payload) : nullptr;
    return resource ? resource->container : nullptr;
}

// ---- Container ----

particlecontainerfx::particlecontainerfx(const std::string& name) : KitComponent(kContainerRow, name)
{
    CvarTreeRegisterInt(&maxParticles, "max particles", 30000);
    CvarTreeRegisterFloat(&maxLifetime, "max lifetime", 100.0f, 0.0f, 1000.0f);
    CloseBranch();
    emitterPin = new InputPin("emitter", {ResourceType::Emitter}, true);
    modifierPin = new InputPin("modifier", {ResourceType::ParticleModifier}, true);
    declaredInputs.insert(declaredInputs.end(), {emitterPin, modifierPin});
    RebuildPinLists();
    payload = new ParticleContainerResource(name + "/internal/output", this);
    particlesPin = AddOutput("particles", ResourceType::ParticleContainer);
    particlesPin->payload = payload;
}

bool particlecontainerfx::CreateGpuObjects()
{
    ShaderDefines defines = shaderGlobalDefines;
    defines[kParamsDefine] = "";
    defines[kTransformDefine] = "";
    lifecycleProgram = shaderLoadProgramCompute(kLifecyclePath, defines);
    AllocateBuffers(truncated(maxParticles.value[0]));
    return true;
}

particlecontainerfx::~particlecontainerfx()
{
    if (particlesPin && particlesPin->payload == payload)
        particlesPin->payload = nullptr;
    delete payload;
    releaseBuffer(positions);
    releaseBuffer(states);
    releaseBuffer(prefixSum);
    if (lifecycleProgram)
        shaderDeleteProgram(lifecycleProgram);
    lifecycleProgram = nullptr;
}

bool particlecontainerfx::AllocateBuffers(int32_t n)
{
    releaseBuffer(positions);
    releaseBuffer(states);
    releaseBuffer(prefixSum);
    capacity = particleClampCapacity(float(n));
    if (capacity != n) {
        LOG_WARNING("Particle container %s: %d particles asked, %d allocated", name.c_str(), n, capacity);
        maxParticles.value[0] = float(capacity);
    }
    const uint64_t slots = capacity > 0 ? uint64_t(capacity) : 64u;
    positions = boCreateGpuOnly("ParticlePositions", slots * kParticlePositionBytes);
    states = boCreateGpuOnly("ParticleStates", slots * kParticleStateBytes);
    prefixSum = boCreateGpuOnly("ParticlePrefixSum", slots * kParticlePrefixSumBytes);
    if (!positions || !states || !prefixSum) {
        LOG_ERROR("Particle container %s: buffers for %d particles cannot be made", name.c_str(), capacity);
        capacity = 0;
        return false;
    }
    return true;
}

void particlecontainerfx::Init()
{
    AllocateBuffers(truncated(maxParticles.value[0]));
    rebuildCountdown = 1;
}

void particlecontainerfx::Execute(RenderItemBuilder&, Timestep time)
{
    lastTimestep = time;
    updatedThisFrame = false;
}

void particlecontainerfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar != &maxParticles)
        return;
    if (maxParticles.value[0] < 0.0f)
        maxParticles.value[0] = 0.0f;
    AllocateBuffers(truncated(maxParticles.value[0]));
    GraphManager::NotifyOutputChanged(particlesPin->id);
}

void particlecontainerfx::OnInputChanged(int32_t pinId)
{
    if (pinId != emitterPin->id && pinId != modifierPin->id)
        return;
    ResolveInputs();
    GraphManager::NotifyOutputChanged(particlesPin->id);
    if (pinId == modifierPin->id) {
        grdMessage("Rebuild program initiated\n");
        rebuildCountdown = kParticleRebuildDelay;
    }
}

void particlecontainerfx::Inject()
{
    if (!lifecycleProgram)
        return;
    grdMessage("Rebuild shader. Inject particle modifiers\n");
    ParticleModifierJoin join = particleJoinModifiers(modifierPin->links);
    injectedLinks = join.links;
    ShaderDefines previous = lifecycleProgram->defines;
    lifecycleProgram->defines[kParamsDefine] = join.paramsText;
    lifecycleProgram->defines[kTransformDefine] = join.transformText;
    if (!shaderReloadProgram(lifecycleProgram)) {
        // The previous program keeps running, so its joining stays the one bound; the same links are not tried
        // again.
        lifecycleProgram->defines = std::move(previous);
        return;
    }
    LOG_INFO("current modifier block:<%s>", join.transformText.c_str());
    joined = std::move(join);
}

void particlecontainerfx::AddBuffers(BufferBindings& bindings) const
{
    shaderBindingsAddParticles(bindings, positions, states, prefixSum);
}

void particlecontainerfx::UpdateForRendering()
{
    if (updatedThisFrame)
        return;
    updatedThisFrame = true;
    const bool labelled = timerGpuScopesEnabled();
    const std::string label = labelled ? fmt::format("ParticleContainerLifecycle:{0}", name) : std::string();
    std::optional<ScopedGpuTimer> timer;
    if (labelled) {
        timer.emplace(label, true);
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, label.c_str());
    }
    if (!lifecycleParamsBuffer)
        lifecycleParamsBuffer = boCreate("TransformParams", sizeof(ParticleLifecycleParams));

    if (rebuildCountdown > 0 && --rebuildCountdown == 0)
        Inject();
    else if (rebuildCountdown == 0 && modifierPin->links != injectedLinks)
        Inject(); // re-sorted (or changed unnoticed): block names follow link positions

    if (lifecycleProgram && lifecycleParamsBuffer && capacity > 0 && shaderUseProgram(lifecycleProgram)) {
        rendererBindGlobalInputs(lifecycleProgram, lastTimestep);
        BufferBindings bindings;
        shaderBindingsCreate(bindings);
        AddBuffers(bindings);
        shaderBindingsAddModifiers(bindings, joined.buffers);
        if (currentRaytraceScene)
            shaderBindingsAddPartition(bindings, currentRaytraceScene);
        const ParticleLifecycleParams params{lastTimestep.delta, maxLifetime.value[0]};
        glNamedBufferSubData(lifecycleParamsBuffer->glId, 0, sizeof params, &params);
        shaderBindingsAddBuffer(bindings, "ParticleLifecycleParamsBuffer", lifecycleParamsBuffer);
        particleAddModifierTables(bindings, joined.links);
        shaderSetUniform(lifecycleProgram, "particle_buffer_capacity", UNIFORM_TYPE_INT, &capacity, sizeof capacity);
        if (shaderBindBuffers(lifecycleProgram, bindings)) {
            glDispatchCompute(particleGroups(uint32_t(capacity)), 1, 1);
            glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
            ++lifecycleDispatches;
            checkGlError("compute");
        } else {
            // A block with nothing behind it (a producer without a buffer, no raytracer for the partition
            // buffers) would read whatever its binding point held.
            if (!reportedUnbound)
                LOG_WARNING("Particle container %s: a block of its program has no buffer; particles not updated",
                            name.c_str());
            reportedUnbound = true;
        }
    }
    if (labelled)
        glPopDebugGroup();
}

// ---- Emission ----

ParticleEmission particleEmission(float delta, float rate, float& carry)
{
    ParticleEmission emission;
    if (!std::isfinite(delta) || !std::isfinite(rate) || delta <= 0.0f || rate <= 0.0f) {
        emission.emitted = 0.0f;
        return emission;
    }
    emission.emitted = delta * rate;
    // Bounded far above any capacity, so the count always fits its int.
    const double total = std::min(double(emission.emitted) + double(carry), double(kParticleMaxCapacity));
    const double whole = std::floor(total);
    emission.pending = int32_t(whole);
    carry = float(total - whole);
    return emission;
}

// ---- Block producers ----

ParticleBlockProducer::ParticleBlockProducer(int32_t typeIndex, const std::string& name, const char* className,
                                             uint32_t bufferBytes, const char* transformTemplate,
                                             const char* paramsTemplate)
    : KitComponent(typeIndex, name), bufferName_(fmt::format("{0}/{1}", className, name)), bufferBytes_(bufferBytes),
      transformTemplate_(transformTemplate), paramsTemplate_(paramsTemplate)
{
    payload = new ParticleModifierResource(bufferName_, {}, {}, nullptr);
}

bool ParticleBlockProducer::CreateGpuObjects()
{
    paramsBuffer = boCreate(bufferName_.c_str(), bufferBytes_);
    return paramsBuffer != nullptr;
}

ParticleBlockProducer::~ParticleBlockProducer()
{
    for (OutputPin* pin : declaredOutputs)
        if (pin->payload == payload)
            pin->payload = nullptr;
    delete payload;
    releaseBuffer(paramsBuffer);
}

void ParticleBlockProducer::RefreshPayload()
{
    payload->paramsBuffer = paramsBuffer;
    payload->transformBlock = transformTemplate_;
    payload->paramsBlock = paramsTemplate_;
}

void ParticleBlockProducer::Upload(const void* record, uint32_t bytes)
{
    if (!paramsBuffer || !paramsBuffer->hostCopy)
        return;
    const uint32_t n = std::min<uint64_t>(bytes, paramsBuffer->size);
    std::memcpy(paramsBuffer->hostCopy, record, n);
    glNamedBufferSubData(paramsBuffer->glId, 0, GLsizeiptr(paramsBuffer->size), paramsBuffer->hostCopy);
    paramsBuffer->dirty = false;
}

// ---- Primitive emitter ----

particleemitterprimitivefx::particleemitterprimitivefx(const std::string& name)
    : ParticleBlockProducer(kEmitterPrimitiveRow, name, "particleemitterprimitivefx",
                            sizeof(ParticleEmitterPrimitiveParams), kPrimitiveEmitterTransform,
                            kPrimitiveEmitterParams)
{
    CvarTreeRegisterVec3(&radius, "radius", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&emissionRate, "emission rate", 500.0f, 0.0f, 10000.0f);
    CvarTreeRegisterVec3(&size, "size", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterEnum(&primitive, "primitive", kPrimitiveOptions, 0);
    CvarTreeRegisterFloat(&lifetime, "lifetime", 10.0f, 0.0f, 10000.0f);
    CvarTreeRegisterFloat(&lifetimeRandomness, "lifetime randomness", 0.2f, 0.0f, 1.0f);
    CvarTreeRegisterColor(&color, "color", 1.0f, 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&seed, "seed", 50.0f, 0.0f, 100.0f);
    CvarTreeRegisterBool(&perimeterOnly, "perimeter only", 0.0f);
    CloseBranch();
    color.alphaEditable = false;
    AddOutput("modifier", ResourceType::ParticleModifier)->payload = payload;
}

bool particleemitterprimitivefx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &radius;
    return true;
}

Matrix particleemitterprimitivefx::EmitterMatrix() const
{
    const Matrix r = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    Matrix s;
    for (int i = 0; i < 3; ++i)
        s.m[i * 5] = radius.value[i];
    Matrix m = s.Multiply(r); // R x S: scale first, then rotation
    m.m[3] = position.value[0];
    m.m[7] = position.value[1];
    m.m[11] = position.value[2];
    return m;
}

ParticleEmitterPrimitiveParams particleemitterprimitivefx::BuildParams(float delta)
{
    ParticleEmitterPrimitiveParams params{};
    const Matrix m = EmitterMatrix();
    std::memcpy(params.matrix, m.m, sizeof params.matrix);
    std::memcpy(params.color, color.value, sizeof params.color);
    for (int i = 0; i < 3; ++i)
        params.halfSize[i] = size.value[i] * 0.5f;
    params.perimeterOnly = isSet(perimeterOnly) ? 1 : 0;
    params.primitive = truncated(primitive.value[0]);
    params.lifetime = lifetime.value[0];
    params.lifetimeRandomness = lifetimeRandomness.value[0];
    const ParticleEmission emission = particleEmission(delta, emissionRate.value[0], emissionCarry);
    params.emitted = emission.emitted;
    params.seed = seed.value[0];
    params.pending = emission.pending;
    return params;
}

void particleemitterprimitivefx::Execute(RenderItemBuilder& builder, Timestep time)
{
    const ParticleEmitterPrimitiveParams params = BuildParams(time.delta);
    Upload(&params, sizeof params);
    RefreshPayload();
    const Matrix local = EmitterMatrix();
    const bool sphere = primitive.value[0] < 1.0f;
    builder.AddItem(RenderItem(
        [this, local, sphere](Camera*, const Matrix* model, Renderer::Pass, Timestep) {
            static const float zeroBox[6] = {0, 0, 0, 0, 0, 0};
            static const float unitCube[6] = {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f};
            RegisterSelectedBounds(this, nullptr, local, model ? *model : Matrix(), sphere ? zeroBox : unitCube,
                                   sphere ? 1 : 0);
        },
        this, local));
}

// ---- Geometry emitter ----

particleemittergeometryfx::particleemittergeometryfx(const std::string& name)
    : ParticleBlockProducer(kEmitterGeometryRow, name, "particleemittergeometryfx",
                            sizeof(ParticleEmitterGeometryParams), kGeometryEmitterTransform, kGeometryEmitterParams)
{
    CvarTreeRegisterFloat(&emissionRate, "emission rate", 50.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&lifetime, "lifetime", 0.0f, 0.0f, 10000.0f);
    CvarTreeRegisterFloat(&lifetimeRandomness, "lifetime randomness", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterColor(&color, "color", 1.0f, 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&seed, "seed", 50.0f, 0.0f, 100.0f);
    CloseBranch();
    fxEntPin = new InputPin("fx_ent", {ResourceType::EffectEntity}, false);
    declaredInputs.push_back(fxEntPin);
    RebuildPinLists();
    AddOutput("modifier", ResourceType::ParticleModifier)->payload = payload;
}

ParticleEmitterGeometryParams particleemittergeometryfx::BuildParams(float delta)
{
    ParticleEmitterGeometryParams params{};
    std::memcpy(params.color, color.value, sizeof params.color);
    params.lifetime = lifetime.value[0];
    params.lifetimeRandomness = lifetimeRandomness.value[0];
    const ParticleEmission emission = particleEmission(delta, emissionRate.value[0], emissionCarry);
    params.emitted = emission.emitted;
    params.seed = seed.value[0];

    payload->bindings.clear();
    BufferObject* vertices = nullptr;
    EngineComponent* producer =
        fxEntPin->links.empty() ? nullptr : GraphManager::FindComponentByPinId(fxEntPin->links[0]);
    if (producer) {
        const std::vector<GeometryExportRecord*> geometries = producer->GetGeometries();
        const GeometryExportRecord* first = geometries.empty() ? nullptr : geometries.front();
        if (first) {
            const bool voxel = first->voxelizeFacesBase != -1;
            facesBase = voxel ? first->voxelizeFacesBase : first->raytraceFacesBase;
            if (facesBase != -1) {
                facesPerInstance = first->facesPerInstance;
                // The faces are read from the copy the base counts in.
                if (currentRaytraceScene)
                    vertices = voxel ? currentRaytraceScene->geometryVoxel : currentRaytraceScene->geometryRaytrace;
                if (vertices)
                    params.pending = emission.pending;
            }
        }
    }
    params.facesBase = facesBase;
    params.facesPerInstance = facesPerInstance;
    // The block is declared either way; without scene vertices the parameter buffer stands in, never read while
    // nothing is pending.
    shaderBindingsAddBuffer(payload->bindings, "InVertexBuffer", vertices ? vertices : paramsBuffer);
    return params;
}

void particleemittergeometryfx::Execute(RenderItemBuilder&, Timestep time)
{
    const ParticleEmitterGeometryParams params = BuildParams(time.delta);
    Upload(&params, sizeof params);
    RefreshPayload();
}

// ---- Instances emitter ----

uint32_t particleInstancesEmissions = 0;

particleemitterinstancesfx::particleemitterinstancesfx(const std::string& name)
    : ParticleBlockProducer(kEmitterInstancesRow, name, "particleemitterinstancesfx",
                            sizeof(ParticleEmitterInstancesParams), kInstancesEmitterTransform,
                            kInstancesEmitterParams)
{
    CvarTreeRegisterFloat(&emissionRate, "emission rate", 500.0f, 0.0f, 10000.0f);
    CvarTreeRegisterVec3(&size, "size", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&lifetime, "lifetime", 10.0f, 0.0f, 10000.0f);
    CvarTreeRegisterFloat(&lifetimeRandomness, "lifetime randomness", 0.2f, 0.0f, 1.0f);
    CvarTreeRegisterVec3(&positionRandomness, "position randomness", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterColor(&color, "color", 1.0f, 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&seed, "seed", 50.0f, 0.0f, 100.0f);
    CloseBranch();
    instPin = new InputPin("inst", {ResourceType::Instances}, false);
    declaredInputs.push_back(instPin);
    RebuildPinLists();
    AddOutput("modifier", ResourceType::ParticleModifier)->payload = payload;
}

ParticleEmitterInstancesParams particleemitterinstancesfx::BuildParams(float delta)
{
    ParticleEmitterInstancesParams params{};
    std::memcpy(params.color, color.value, sizeof params.color);
    for (int i = 0; i < 3; ++i)
        params.halfSize[i] = size.value[i] * 0.5f;
    params.lifetime = lifetime.value[0];
    std::memcpy(params.positionRandomness, positionRandomness.value, sizeof params.positionRandomness);
    params.lifetimeRandomness = lifetimeRandomness.value[0];
    const ParticleEmission emission = particleEmission(delta, emissionRate.value[0], emissionCarry);
    params.emitted = emission.emitted;
    params.frameSeed = float(particleInstancesEmissions) + seed.value[0];
    ++particleInstancesEmissions;

    payload->bindings.clear();
    const OutputPin* pin = instPin->links.empty() ? nullptr : GraphManager::FindOutputPin(instPin->links[0]);
    auto* resource = pin ? dynamic_cast<InstancesResource*>(pin->payload) : nullptr;
    InstanceBuffers* set = resource ? resource->set : nullptr;
    if (set && set->transforms && set->colours && set->count <= set->capacity) {
        params.instanceCount = set->count;
        params.pending = emission.pending;
    } else {
        // The blocks are declared either way: the default set stands in, never read with a count of 0.
        set = InstanceBuffers::Default();
    }
    if (set) {
        shaderBindingsAddBuffer(payload->bindings, "InstanceTransformBuffer{Name}", set->transforms);
        shaderBindingsAddBuffer(payload->bindings, "InstanceColorBuffer{Name}", set->colours);
    }
    return params;
}

void particleemitterinstancesfx::Execute(RenderItemBuilder&, Timestep time)
{
    const ParticleEmitterInstancesParams params = BuildParams(time.delta);
    Upload(&params, sizeof params);
    RefreshPayload();
}

// ---- Velocity modifier ----

particlemodifiervelocityfx::particlemodifiervelocityfx(const std::string& name)
    : ParticleBlockProducer(kModifierVelocityRow, name, "particlemodifiervelocityfx",
                            sizeof(ParticleModifierVelocityParams), kVelocityTransform, kVelocityParams)
{
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&radius, "Radius", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterEnum(&falloff, "Falloff", kFalloffOptions, 0);
    CvarTreeRegisterBool(&inverseFalloff, "Inverse Falloff", 0.0f);
    CvarTreeRegisterVec3(&velocity, "Velocity", 0.0f, 0.0f, 0.0f);
    CloseBranch();
    AddOutput("modifier", ResourceType::ParticleModifier)->payload = payload;
}

bool particlemodifiervelocityfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = nullptr;
    *s = &radius;
    return true;
}

ParticleModifierVelocityParams particlemodifiervelocityfx::BuildParams() const
{
    ParticleModifierVelocityParams params{};
    std::memcpy(params.position, position.value, sizeof params.position);
    params.falloffMode = truncated(falloff.value[0]);
    std::memcpy(params.radius, radius.value, sizeof params.radius);
    params.falloffInverse = isSet(inverseFalloff) ? 1 : 0;
    std::memcpy(params.velocity, velocity.value, sizeof params.velocity);
    return params;
}

Matrix particlemodifiervelocityfx::VolumeMatrix() const { return volumeMatrix(position, radius); }

void particlemodifiervelocityfx::Execute(RenderItemBuilder& builder, Timestep)
{
    const ParticleModifierVelocityParams params = BuildParams();
    Upload(&params, sizeof params);
    RefreshPayload();
    const Matrix local = VolumeMatrix();
    builder.AddItem(RenderItem(
        [this, local](Camera* camera, const Matrix* model, Renderer::Pass, Timestep) {
            registerVolumeBounds(this, camera, local, model);
        },
        this, local));
}

// ---- Curl modifier ----

particlemodifiercurlfx::particlemodifiercurlfx(const std::string& name)
    : ParticleBlockProducer(kModifierCurlRow, name, "particlemodifiercurlfx", sizeof(ParticleModifierCurlParams),
                            kCurlTransform, kCurlParams)
{
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&radius, "Radius", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterEnum(&falloff, "Falloff", kFalloffOptions, 0);
    CvarTreeRegisterBool(&inverseFalloff, "Inverse Falloff", 0.0f);
    CvarTreeRegisterVec3(&noiseScale, "noise scale", 0.001f, 0.001f, 0.001f);
    CvarTreeRegisterFloat(&noiseSpeed, "noise speed", 0.01f, 0.0f, 1.0f);
    CvarTreeRegisterVec3(&strength, "strength", 1.0f, 1.0f, 1.0f);
    CloseBranch();
    AddOutput("modifier", ResourceType::ParticleModifier)->payload = payload;
}

bool particlemodifiercurlfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = nullptr;
    *s = &radius;
    return true;
}

ParticleModifierCurlParams particlemodifiercurlfx::BuildParams() const
{
    ParticleModifierCurlParams params{};
    std::memcpy(params.position, position.value, sizeof params.position);
    params.falloffMode = truncated(falloff.value[0]);
    std::memcpy(params.radius, radius.value, sizeof params.radius);
    params.falloffInverse = isSet(inverseFalloff) ? 1 : 0;
    std::memcpy(params.strength, strength.value, sizeof params.strength);
    params.noiseSpeed = noiseSpeed.value[0];
    std::memcpy(params.noiseScale, noiseScale.value, sizeof params.noiseScale);
    return params;
}

void particlemodifiercurlfx::Execute(RenderItemBuilder& builder, Timestep)
{
    const ParticleModifierCurlParams params = BuildParams();
    Upload(&params, sizeof params);
    RefreshPayload();
    const Matrix local = volumeMatrix(position, radius);
    builder.AddItem(RenderItem(
        [this, local](Camera* camera, const Matrix* model, Renderer::Pass, Timestep) {
            registerVolumeBounds(this, camera, local, model);
        },
        this, local));
}

// ---- Primitive constraint ----

particlemodifierprimitiveconstraintfx::particlemodifierprimitiveconstraintfx(const std::string& name)
    : KitComponent(kConstraintRow, name)
{
    CvarTreeRegisterVec3(&size, "size", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&strength, "strength", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterEnum(&primitive, "primitive", kConstraintOptions, 0);
    CloseBranch();
    modifierPin = new InputPin("modifier", {ResourceType::ParticleModifier}, true);
    declaredInputs.push_back(modifierPin);
    RebuildPinLists();
    payload = new ParticleConstraintResource(fmt::format("particlemodifierprimitiveconstraintfx/{0}", name), this);
    modifierOutput = AddOutput("modifier", ResourceType::ParticleModifier);
    modifierOutput->payload = payload;
}

bool particlemodifierprimitiveconstraintfx::CreateGpuObjects()
{
    if (!constraintProgram)
        constraintProgram = shaderLoadProgramCompute(kConstraintPath, shaderGlobalDefines);
    return true;
}

particlemodifierprimitiveconstraintfx::~particlemodifierprimitiveconstraintfx()
{
    if (modifierOutput && modifierOutput->payload == payload)
        modifierOutput->payload = nullptr;
    delete payload;
}

bool particlemodifierprimitiveconstraintfx::CollectContainers(int32_t outputId, std::vector<particlecontainerfx*>& list,
                                                              std::vector<const EngineComponent*>& visited)
{
    if (!currentComponents)
        return !list.empty();
    for (EngineComponent* component : *currentComponents)
        for (const InputPin* pin : component->inputs)
            for (int32_t link : pin->links) {
                if (link != outputId)
                    continue;
                if (component->typeIndex == kContainerRow) {
                    if (auto* container = dynamic_cast<particlecontainerfx*>(component))
                        list.push_back(container);
                    continue;
                }
                if (std::find(visited.begin(), visited.end(), component) != visited.end())
                    continue;
                visited.push_back(component);
                for (const OutputPin* out : component->outputs)
                    CollectContainers(out->id, list, visited);
            }
    return !list.empty();
}

void particlemodifierprimitiveconstraintfx::Execute(RenderItemBuilder&, Timestep time)
{
    std::vector<particlecontainerfx*> containers;
    std::vector<const EngineComponent*> visited{this};
    CollectContainers(modifierOutput->id, containers, visited);
    for (particlecontainerfx* container : containers)
        ApplyToContainer(container, time);
}

void particlemodifierprimitiveconstraintfx::ApplyToContainer(particlecontainerfx* container, const Timestep& time)
{
    if (!container || container->capacity <= 0 || !constraintProgram || constraintProgram->errors)
        return;
    const bool labelled = timerGpuScopesEnabled();
    std::optional<ScopedGpuTimer> timer;
    if (labelled) {
        const std::string label = fmt::format("CLASS_NAME:{0}", name);
        timer.emplace(label, false);
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, label.c_str());
    }
    if (shaderUseProgram(constraintProgram)) {
        rendererBindGlobalInputs(constraintProgram, time);
        BufferBindings bindings;
        shaderBindingsCreate(bindings);
        container->AddBuffers(bindings);
        shaderSetUniform(constraintProgram, "particle_modifier_size", UNIFORM_TYPE_VEC3, size.value,
                         3 * sizeof(float));
        shaderSetUniform(constraintProgram, "particle_modifier_strength", UNIFORM_TYPE_FLOAT, strength.value,
                         sizeof(float));
        shaderSetUniform(constraintProgram, "particle_buffer_capacity", UNIFORM_TYPE_INT, &container->capacity,
                         sizeof container->capacity);
        if (shaderBindBuffers(constraintProgram, bindings)) {
            glDispatchCompute(particleGroups(uint32_t(container->capacity)), 1, 1);
            glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
            ++dispatches;
            checkGlError("compute");
        }
    }
    if (labelled)
        glPopDebugGroup();
}

// ---- Renderers ----

bool particleReplicateShape(Geometry* shape, uint32_t copies)
{
    if (!shape || shape->vertexCount == 0 || shape->surfaces.empty() || copies == 0)
        return false;
    Geometry* one = geomClone(shape);
    if (!one)
        return false;
    for (uint32_t i = 1; i < copies; ++i)
        geomAppend(shape, one);
    geomDelete(one);
    return true;
}

ParticleRenderer::ParticleRenderer(int32_t typeIndex, const std::string& name, const char* rootMaterial,
                                   const char* className, bool blended)
    : KitComponent(typeIndex, name), className_(className), blended_(blended)
{
    CvarTreeRegisterFloat(&size, "size", 1.0f, 0.0f, 5.0f);
    size.animatable = blended;
    materialsBranch = new CvarTreeNode("materials", branch);
    branch->children.push_back(materialsBranch);
    materialsBranch->owner = this;
    // The slot's "material" parameter takes the material as its root, so it exists before the registration.
    slot.material = materialCreateFromRoot(rootMaterial);
    // A new renderer starts from the material's usual values (a white, visible surface), not from zeros; values
    // loaded from the project take over at registration.
    slot.SetDefaults();
    cvarTreeCurrentBranch = materialsBranch;
    slot.Register();
    CvarTreePopBranch();
    CloseBranch();
    objPin = new InputPin("obj", {ResourceType::Object}, false);
    particlesPin = new InputPin("particles", {ResourceType::ParticleContainer}, false);
    declaredInputs.insert(declaredInputs.end(), {objPin, particlesPin});
    RebuildPinLists();
}

bool ParticleRenderer::CreateGpuObjects()
{
    mesh = LoadShape();
    if (mesh && !particleReplicateShape(mesh, kParticleDrawClones)) {
        geomDelete(mesh);
        mesh = nullptr;
    }
    if (mesh)
        geomUpdate(mesh);
    else
        LOG_ERROR("%s %s: no particle shape; nothing will be drawn", className_, name.c_str());
    return true;
}

ParticleRenderer::~ParticleRenderer()
{
    delete slot.material;
    slot.material = nullptr;
    if (mesh)
        geomDelete(mesh);
}

bool ParticleRenderer::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = *r = *s = nullptr;
    return true;
}

void ParticleRenderer::OnInputChanged(int32_t pinId)
{
    if (pinId == objPin->id)
        ResolveInputs();
}

void ParticleRenderer::Execute(RenderItemBuilder& builder, Timestep)
{
    MaterialProperties record;
    slot.ToProperties(record);
    deferredRenderInit();
    const int row = materialTableAppend(record);
    materialIndex = row >= 0 ? row : 0;
    RenderItem item(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, Matrix());
    item.target = blended_ ? 1 : 0;
    builder.AddItem(item);
}

void ParticleRenderer::Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep)
{
    const bool drawnPass = pass == Renderer::PASS_DEFERRED || (!blended_ && pass == Renderer::PASS_SHADOWMAP);
    if (!drawnPass || !camera || !slot.material)
        return;
    ShaderProgram* program = slot.material->getProgram(pass);
    if (!program)
        return;
    std::optional<ScopedGpuTimer> timer;
    if (timerGpuScopesEnabled())
        timer.emplace(fmt::format("{0}:{1}:{2}", className_, name, Renderer::GetPassName(pass)), false);
    if (!mesh || mesh->vertexCount == 0)
        return;
    const Matrix world = model ? *model : Matrix();
    for (int32_t link : particlesPin->links) {
        particlecontainerfx* container = particleFindContainer(link);
        if (!container)
            continue;
        container->UpdateForRendering();
        if (container->capacity > 0)
            DrawContainer(container, program, camera, world, pass);
    }
}

void ParticleRenderer::DrawContainer(particlecontainerfx* container, ShaderProgram* program, Camera* camera,
                                     const Matrix& model, Renderer::Pass pass)
{
    const GeometrySurface* surface = mesh->surfaces.empty() ? nullptr : mesh->surfaces[0];
    if (!surface || surface->triangleCount == 0 || !surface->indexBuffer || !shaderUseProgram(program))
        return;
    rendererBindGlobalInputs(program, Timestep{});
    shaderSetUniform(program, "materialIndex", UNIFORM_TYPE_INT, &materialIndex, sizeof materialIndex);

    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    shaderBindingsAddGeometry(bindings, mesh);
    container->AddBuffers(bindings);
    InstanceBuffers::BindDefault(bindings);

    const bool labelled = timerGpuScopesEnabled();
    if (labelled) {
        const std::string label = fmt::format("RenderParticlesInstanced:{0} : {1} : {2}", name,
                                              container->payload->name, Renderer::GetPassName(pass));
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, label.c_str());
    }
    glBindVertexArray(mesh->vao);
    const float scale = size.value[0];
    const int clones = int(kParticleDrawClones);
    const int baseVerts = int(mesh->vertexCount / kParticleDrawClones);
    shaderSetUniform(program, "instancing_scale", UNIFORM_TYPE_FLOAT, &scale, sizeof scale);
    shaderSetUniform(program, "instancing_clones", UNIFORM_TYPE_INT, &clones, sizeof clones);
    shaderSetUniform(program, "instancing_base_verts_num", UNIFORM_TYPE_INT, &baseVerts, sizeof baseVerts);
    const TransformParams transform = transformParamsFor(*camera, model);
    shaderBindingsAddData(bindings, "TransformParamsBuffer", &transform, sizeof transform);
    shaderBindBuffers(program, bindings);
    shaderSetBuiltinBuffersMask(mesh, program);
    if (blended_) {
        deferredBindMaterialTextures(program);
        deferredBindLightSamplers(program);
        const int lights = int(frameLights.size());
        shaderSetUniform(program, "g_lights_num", UNIFORM_TYPE_INT, &lights, sizeof lights);
    }
    shaderSetUniform(program, "particle_buffer_capacity", UNIFORM_TYPE_INT, &container->capacity,
                     sizeof container->capacity);

    if (blended_) {
        RenderState state = renderStateTop();
        state.cullMode = 2;
        state.srcBlend = 1;
        state.dstBlend = 1;
        state.blendOp = 1;
        state.depthWrite = false;
        state.depthTest = true;
        renderStatePush(state);
    }
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, surface->indexBuffer->glId);
    glDrawElementsInstanced(GL_TRIANGLES, GLsizei(surface->triangleCount * 3), GL_UNSIGNED_INT, nullptr,
                            GLsizei(particleDrawInstances(uint32_t(container->capacity))));
    if (blended_)
        renderStatePop();
    glBindVertexArray(0);
    if (labelled)
        glPopDebugGroup();
}

particlerendererinstancedfx::particlerendererinstancedfx(const std::string& name)
    : ParticleRenderer(kRendererInstancedRow, name, "flat_cube_instancing", "particlerendererinstancedfx", false)
{
}

Geometry* particlerendererinstancedfx::LoadShape() const
{
    Object* object = entLoadLWO("lwobj/tetrohedra.lwo");
    if (!object)
        return nullptr;
    Geometry* shape = object->geometry;
    object->geometry = nullptr;
    delete object;
    if (!shape)
        return nullptr;
    const int coords = shape->builtinIndex[VERTEX_ATTRIBUTE_COORDS];
    if (coords >= 0 && shape->buffers[coords] && shape->buffers[coords]->hostCopy) {
        const VertexAttribute& attribute = shape->attributes[coords];
        const uint32_t stride = std::max(attribute.componentCount, 1);
        auto* values = reinterpret_cast<float*>(shape->buffers[coords]->hostCopy);
        for (uint32_t v = 0; v < shape->vertexCount; ++v)
            for (uint32_t c = 0; c < std::min<uint32_t>(stride, 3); ++c)
                values[v * stride + c] *= 0.15f;
        shape->buffers[coords]->dirty = true;
    }
    for (int code : {int(VERTEX_ATTRIBUTE_ALBEDO), int(VERTEX_ATTRIBUTE_NORMALS)})
        if (shape->builtinIndex[code] < 0) {
            VertexAttribute attribute = builtinVertexAttributes[code];
            attribute.componentCount = 3;
            shape->AddAttribute(attribute);
        }
    return shape;
}

particlerendererblendedfx::particlerendererblendedfx(const std::string& name)
    : ParticleRenderer(kRendererBlendedRow, name, "flat_quad_instancing", "particlerendererblendedfx", true)
{
}

Geometry* particlerendererblendedfx::LoadShape() const { return geomCreateQuad(1.0f, 1.0f); }

// ---- Ribbon renderer ----

particlerendererribbonfx::particlerendererribbonfx(const std::string& name) : KitComponent(kRendererRibbonRow, name)
{
    CvarTreeRegisterInt(&segmentsCvar, "segments", 32);
    CvarTreeRegisterFloat(&samplingTime, "sampling time", 1.0f, 0.1f, 10.0f);
    CvarTreeRegisterFloat(&thickness, "thickness", 1.0f, 0.0f, 5.0f);
    materialsBranch = new CvarTreeNode("materials", branch);
    branch->children.push_back(materialsBranch);
    materialsBranch->owner = this;
    slot.material = materialCreateFromRoot("flat_ribbon_particle");
    slot.SetDefaults();
    cvarTreeCurrentBranch = materialsBranch;
    slot.Register();
    CvarTreePopBranch();
    CloseBranch();
    particlesPin = new InputPin("particles", {ResourceType::ParticleContainer}, false);
    declaredInputs.push_back(particlesPin);
    RebuildPinLists();

    entity = new EffectEntity();
    entity->flags = 7;
    entity->owner = this;
    entity->build = [this](Camera*, const Matrix* model, Timestep, RenderItemBuilder& builder) {
        MaterialProperties record;
        slot.ToProperties(record);
        deferredRenderInit();
        const int row = materialTableAppend(record);
        materialIndex = row >= 0 ? row : 0;
        builder.AddItem(RenderItem(entity->draw, this, model ? *model : Matrix()));
    };
    // Ribbons are recorded, not drawn yet.
    entity->draw = [](Camera*, const Matrix*, Renderer::Pass, Timestep) {};
    payload = new EffectEntityResource(name + "/internal/output", entity);
    fxPin = AddOutput("fx", ResourceType::EffectEntity);
    fxPin->payload = payload;
}

bool particlerendererribbonfx::CreateGpuObjects()
{
    if (!snapshotProgram)
        snapshotProgram = shaderLoadProgramCompute(kSnapshotPath, shaderGlobalDefines);
    return true;
}

particlerendererribbonfx::~particlerendererribbonfx()
{
    if (fxPin && fxPin->payload == payload)
        fxPin->payload = nullptr;
    delete payload;
    delete entity;
    delete slot.material;
    slot.material = nullptr;
    releaseBuffer(snapshotPositions);
    releaseBuffer(snapshotStates);
}

void particlerendererribbonfx::Init() { fxPin->payload = payload; }

void particlerendererribbonfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &segmentsCvar)
        ResolveInputs();
}

void particlerendererribbonfx::OnInputChanged(int32_t pinId)
{
    if (pinId == particlesPin->id)
        ResolveInputs();
}

void particlerendererribbonfx::ResolveInputs()
{
    if (particlesPin->links.empty())
        return;
    int64_t total = 0;
    for (int32_t link : particlesPin->links)
        if (const particlecontainerfx* container = particleFindContainer(link))
            total += std::max(container->capacity, 0);
    // At least one row (the ring index is taken modulo the rows), and no more rows than one storage block holds.
    const float requested = segmentsCvar.value[0];
    int64_t rows = std::isfinite(requested) && requested > 1.0f ? int64_t(std::ceil(std::min(requested, 1.0e6f))) : 1;
    GLint64 blockBytes = 0;
    glGetInteger64v(GL_MAX_SHADER_STORAGE_BLOCK_SIZE, &blockBytes);
    if (total > 0 && blockBytes > 0) {
        const int64_t maxRows = std::max<int64_t>(1, blockBytes / (total * 16));
        if (rows > maxRows) {
            LOG_WARNING("Ribbon renderer %s: %lld segments of %lld particles exceed a storage block; %lld kept",
                        name.c_str(), (long long)rows, (long long)total, (long long)maxRows);
            rows = maxRows;
        }
    }
    releaseBuffer(snapshotPositions);
    releaseBuffer(snapshotStates);
    snapshotPositions = boCreateGpuOnly("SnapshotPositions", uint64_t(rows) * uint64_t(std::max<int64_t>(total, 1)) * 16);
    snapshotStates = boCreateGpuOnly("SnapshotStates", uint64_t(std::max<int64_t>(total, 1)) * 16);
    sampleClock = 0.0f;
    rowCounter = 0;
    segments = int32_t(rows);
    totalParticles = snapshotPositions && snapshotStates ? int32_t(total) : 0;
}

void particlerendererribbonfx::Execute(RenderItemBuilder&, Timestep time)
{
    if (!snapshotParamsBuffer)
        snapshotParamsBuffer = boCreate("SnapshotParams", sizeof(ParticleSnapshotParams));
    if (totalParticles <= 0 || segments <= 0 || !snapshotParamsBuffer)
        return;
    int32_t newRow = 0;
    sampleClock += time.delta;
    if (sampleClock >= samplingTime.value[0]) {
        ++rowCounter;
        sampleClock -= samplingTime.value[0];
        newRow = 1;
    }
    int64_t base = int64_t(rowCounter % segments) * totalParticles;
    const int64_t rowEnd = base + totalParticles;
    for (int32_t link : particlesPin->links) {
        particlecontainerfx* container = particleFindContainer(link);
        if (!container)
            continue;
        // A container that grew since the ring was sized would write past its row.
        if (container->capacity <= 0 || base + container->capacity > rowEnd)
            break;
        if (snapshotProgram && !snapshotProgram->errors && shaderUseProgram(snapshotProgram)) {
            rendererBindGlobalInputs(snapshotProgram, time);
            BufferBindings bindings;
            shaderBindingsCreate(bindings);
            container->AddBuffers(bindings);
            shaderBindingsAddBuffer(bindings, "RibbonStatesData", snapshotStates);
            shaderBindingsAddBuffer(bindings, "RibbonPositionsData", snapshotPositions);
            const ParticleSnapshotParams params{int32_t(base), container->capacity, newRow};
            glNamedBufferSubData(snapshotParamsBuffer->glId, 0, sizeof params, &params);
            shaderBindingsAddBuffer(bindings, "ParticleSnapshotParamsBuffer", snapshotParamsBuffer);
            shaderSetUniform(snapshotProgram, "ribbon_total_particles", UNIFORM_TYPE_INT, &totalParticles,
                             sizeof totalParticles);
            if (shaderBindBuffers(snapshotProgram, bindings)) {
                glDispatchCompute(particleGroups(uint32_t(container->capacity)), 1, 1);
                glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
                ++dispatches;
            }
        }
        base += container->capacity;
    }
}
