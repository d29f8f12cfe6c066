#include "components/geometry_mirror.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_indirect.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_uniforms.h"
#include "project/components.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/entities.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

using namespace gl;

const char* const geometryMirrorTypes[] = {"Reflect", "Refract (not implemented)", nullptr};
const char* const geometryMirrorOverprovisioning[] = {"+25%", "+100%", "+200%", "+400%", nullptr};

ShaderProgram* geometryMirrorProgram = nullptr;
ShaderProgram* geometryMirrorTrackingProgram = nullptr;

namespace {

constexpr const char* kProgramPath = "shaders/geometry/geometry_mirror.comp";
constexpr const char* kClassName = "geometrymirrorfx";
constexpr uint32_t kCommandUints = GEOMETRY_INDIRECT_COMMAND_SIZE / 4;

// The built-in attributes the kernel copies, in the order of its "mirror_attributes" bits, with the float count
// it reads per vertex. Positions are reflected as points, normals as directions.
constexpr struct {
    const char* name;
    int components;
} kMirroredAttributes[] = {{"VTXCoords", 3}, {"VTXNormals", 3}, {"VTXAlbedo", 3}, {"VTXUV0", 2}};

bool usable(const ShaderProgram* program) { return program && !program->errors && program->linked; }

// A failed build is kept (with its errors), so it is not retried by every new mirror.
void buildPrograms()
{
    static bool built = false;
    if (built)
        return;
    built = true;
    geometryMirrorProgram = shaderLoadProgramCompute(kProgramPath, {{"MAIN_MIRROR_GEOMETRY", "main"}});
    geometryMirrorTrackingProgram =
        shaderLoadProgramCompute(kProgramPath, {{"MAIN_BUILD_PARAMS_FROM_DRAW_INDIRECT", "main"}});
    if (!usable(geometryMirrorProgram) || !usable(geometryMirrorTrackingProgram))
        LOG_ERROR("Geometry mirror: <%s> does not build; mirrors generate nothing", kProgramPath);
}

// Bit i set when attribute i of the table is in the geometry as that many 32-bit floats.
int mirroredAttributeMask(const Geometry* geometry)
{
    int mask = 0;
    for (size_t i = 0; i < std::size(kMirroredAttributes); ++i) {
        const int index = geometry->FindAttributeIndex(kMirroredAttributes[i].name);
        if (index < 0 || !geometry->buffers[size_t(index)])
            continue;
        const VertexAttribute& attribute = geometry->attributes[size_t(index)];
        if (attribute.componentType == 0 && attribute.componentCount == kMirroredAttributes[i].components)
            mask |= 1 << i;
    }
    return mask;
}

void releaseOutput(Geometry* geometry, Object* object)
{
    geomDelete(geometry);
    delete object;
}

} // namespace

void geometryMirrorPlane(const Matrix& world, float plane[4])
{
    const float* m = world.m;
    plane[0] = m[1];
    plane[1] = m[5];
    plane[2] = m[9];
    plane[3] = m[1] * m[3] + m[5] * m[7] + m[9] * m[11];
}

float geometryMirrorFactor(float setting)
{
    if (setting < 1.0f)
        return 1.25f;
    if (setting < 2.0f)
        return 2.0f;
    if (setting < 3.0f)
        return 3.0f;
    if (setting < 4.0f)
        return 5.0f;
    return 1.0f;
}

// ---- Construction ----

geometrymirrorfx::geometrymirrorfx(const std::string& name) : KitComponent(kTypeIndex, name)
{
    CvarTreeRegisterEnum(&mirroringType, "Mirroring Type", geometryMirrorTypes, 0);
    CvarTreeRegisterBool(&exportFlag, "Export", 0.0f);
    CvarTreeRegisterEnum(&overprovisioning, "Geometry Overprovisioning", geometryMirrorOverprovisioning, 1);
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "Rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterResource(&objectName, "Object", "", ResourceType::Object);
    for (Cvar* keyed : {&position, &rotation})
        keyed->animatable = true;
    CloseBranch();

    objPin = new InputPin("obj", {ResourceType::Object}, false);
    declaredInputs.push_back(objPin);
    RebuildPinLists();
    AddOutput("obj", ResourceType::Object)->payload = &record;
    record.name = ExportName();
}

bool geometrymirrorfx::CreateGpuObjects()
{
    buildPrograms();
    trackingBuffer = boCreateStorage(fmt::format("{0}/TrackingBuffer", name).c_str(), kMirrorTrackingBytes);
    sourceCommands = boCreate("", uint64_t(kMirrorMaxSurfaces) * GEOMETRY_INDIRECT_COMMAND_SIZE);
    spareBuffer = boCreateGpuOnly("", 32);
    if (!trackingBuffer || !sourceCommands || !spareBuffer) {
        LOG_ERROR("Geometry mirror %s: its buffers cannot be made", name.c_str());
        return false;
    }
    return true;
}

geometrymirrorfx::~geometrymirrorfx()
{
    Unregister();
    for (OutputPin* pin : outputs)
        if (pin->payload == &record)
            pin->payload = nullptr;
    record.object = nullptr;
    // A component built without its GL objects has none of these, and needs no GL to go.
    if (geometry || object)
        releaseOutput(geometry, object);
    for (BufferObject* buffer : {trackingBuffer, sourceCommands, spareBuffer})
        if (buffer)
            boDelete(buffer);
}

bool geometrymirrorfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = nullptr;
    return true;
}

Matrix geometrymirrorfx::GetLocalMatrix() const
{
    Matrix local = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    local.m[3] = position.value[0];
    local.m[7] = position.value[1];
    local.m[11] = position.value[2];
    return local;
}

std::string geometrymirrorfx::ExportName() const { return fmt::format("{0}/{1}/Object", kClassName, name); }

// ---- Graph operations ----

void geometrymirrorfx::OnInputConnected(int32_t) { Rebuild(); }

void geometrymirrorfx::OnInputDisconnected(int32_t) { Rebuild(); }

void geometrymirrorfx::Init() { Rebuild(); }

void geometrymirrorfx::OnInputChanged(int32_t) { Rebuild(); }

void geometrymirrorfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &objectName || cvar == &overprovisioning)
        Rebuild();
}

void geometrymirrorfx::OnRenamed()
{
    // Only a registered record moves; an unexported one takes its name when it is next added.
    if (registeredIn)
        registeredIn->rename(&record, ExportName());
    NotifyConsumers();
}

bool geometrymirrorfx::IsDependencyOnly() { return !(exportFlag.value[0] > 0.5f); }

void geometrymirrorfx::NotifyConsumers()
{
    if (!outputs.empty())
        GraphManager::NotifyOutputChanged(outputs[0]->id);
}

void geometrymirrorfx::Unregister()
{
    // Stores outlive their project's components, so the store it went into is still there, current or not; only
    // what is still ours is taken out.
    if (registeredIn) {
        const auto found = registeredIn->resources.find(record.name);
        if (found != registeredIn->resources.end() && found->second == &record)
            registeredIn->remove(&record);
    }
    registeredIn = nullptr;
}

Object* geometrymirrorfx::FindSource() const { return linkedOrNamedObject(objPin, objectName.text); }

void geometrymirrorfx::WriteSourceCommands(const Geometry* source, uint32_t surfaces)
{
    std::vector<uint32_t> commands(kMirrorMaxSurfaces * kCommandUints, 0);
    for (uint32_t i = 0; i < surfaces; ++i) {
        const GeometrySurface* surface = source->surfaces[i];
        const uint64_t indices = surface && !surface->disabled ? uint64_t(surface->triangleCount) * 3 : 0;
        commands[i * kCommandUints] = uint32_t(std::min<uint64_t>(indices, std::numeric_limits<uint32_t>::max()));
        commands[i * kCommandUints + 1] = 1;
    }
    std::memcpy(sourceCommands->hostCopy, commands.data(), commands.size() * 4);
    glNamedBufferSubData(sourceCommands->glId, 0, GLsizeiptr(commands.size() * 4), commands.data());
    sourceCommands->dirty = false;
}

void geometrymirrorfx::Rebuild()
{
    Geometry* const previousGeometry = geometry;
    Object* const previousObject = object;
    geometry = nullptr;
    object = nullptr;
    mirroredSurfaces = 0;
    record.object = nullptr;

    Object* source = FindSource();
    const Geometry* from = source ? source->geometry : nullptr;
    if (from && (!trackingBuffer || !sourceCommands)) {
        LOG_ERROR("Geometry mirror %s: built without its buffers; nothing is mirrored", name.c_str());
        from = nullptr;
    }
    Geometry* made = nullptr;
    if (from) {
        const size_t surfaces = from->surfaces.size();
        if (surfaces > kMirrorMaxSurfaces)
            LOG_WARNING("Geometry mirror %s: the source has %zu surfaces; only the first %u are mirrored",
                        name.c_str(), surfaces, kMirrorMaxSurfaces);
        const uint32_t count = uint32_t(std::min<size_t>(surfaces, kMirrorMaxSurfaces));
        const double factor = geometryMirrorFactor(overprovisioning.value[0]);
        uint64_t triangles = 0;
        for (uint32_t i = 0; i < count; ++i)
            triangles += from->surfaces[i] ? from->surfaces[i]->triangleCount : 0;
        const double vertices = std::floor(double(triangles) * 3.0 * factor);
        if (vertices > double(std::numeric_limits<int32_t>::max())) {
            LOG_ERROR("Geometry mirror %s: a copy of %llu triangles is too large", name.c_str(),
                      static_cast<unsigned long long>(triangles));
        } else {
            made = geomCreate(uint32_t(vertices), count, from->attributes);
        }
        bool reserved = made != nullptr;
        for (uint32_t i = 0; reserved && i < count; ++i) {
            const GeometrySurface* in = from->surfaces[i];
            GeometrySurface* out = made->surfaces[i];
            const uint32_t capacity = in ? uint32_t(std::floor(double(in->triangleCount) * factor)) : 0;
            reserved = geomSurfaceReserve(out, capacity);
            if (in) {
                // The copy keeps the look of what it mirrors.
                out->name = in->name;
                out->disabled = in->disabled;
                out->transparency = in->transparency;
                out->roughness = in->roughness;
                out->metalness = in->metalness;
                std::copy(std::begin(in->color), std::end(in->color), out->color);
                std::copy(std::begin(in->emissive), std::end(in->emissive), out->emissive);
            }
        }
        if (made && reserved) {
            geomUpdate(made);
            geomCreateIndirectBuffer(made);
        }
        if (made && (!reserved || !made->indirectBuffer)) {
            LOG_ERROR("Geometry mirror %s: the output geometry cannot be made", name.c_str());
            geomDelete(made);
            made = nullptr;
        }
    }

    if (made) {
        // Nothing is drawn until the first generation has written the counts.
        std::vector<uint8_t> zeros(GEOMETRY_INDIRECT_BUFFER_SIZE, 0);
        std::memcpy(made->indirectBuffer->hostCopy, zeros.data(), zeros.size());
        glNamedBufferSubData(made->indirectBuffer->glId, 0, GLsizeiptr(zeros.size()), zeros.data());
        made->indirectBuffer->dirty = false;
        WriteSourceCommands(from, uint32_t(made->surfaces.size()));

        geometry = made;
        mirroredSurfaces = uint32_t(made->surfaces.size());
        object = new Object();
        object->flags = 7;
        object->owner = this;
        object->geometry = made;
        geomCalculateBoundingBox(made, object->bounds);
        record.object = object;
        Unregister();
        if (exportFlag.value[0] > 0.5f) {
            record.name = ExportName();
            if (currentResources && currentResources->add(&record))
                registeredIn = currentResources;
            else
                LOG_WARNING("Geometry mirror %s: the name <%s> is taken; the copy is not exported", name.c_str(),
                            record.name.c_str());
        }
    } else {
        Unregister();
    }
    if (!outputs.empty())
        outputs[0]->payload = &record;
    NotifyConsumers();
    // The consumers have let go of the previous output now.
    if (previousGeometry || previousObject)
        releaseOutput(previousGeometry, previousObject);
}

// ---- Generation ----

void geometrymirrorfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, GetLocalMatrix()));
}

void geometrymirrorfx::Render(Camera*, const Matrix* model, Renderer::Pass pass, Timestep time)
{
    if (pass != Renderer::PASS_GEOMETRY)
        return;
    const Matrix local = GetLocalMatrix();
    const Matrix world = model ? *model : local;
    Generate(world, time);
    static const float plane[6] = {-1.0f, 0.0f, -1.0f, 1.0f, 0.0f, 1.0f};
    RegisterSelectedBounds(this, nullptr, local, world, plane, 0);
}

bool geometrymirrorfx::Generate(const Matrix& world, Timestep time)
{
    Object* source = FindSource();
    Geometry* from = source ? source->geometry : nullptr;
    if (!geometry || !from || !trackingBuffer || mirroredSurfaces == 0)
        return false;

    const std::string label = fmt::format("{0}:Generate", name);
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, label.c_str());
    const uint32_t zero = 0;
    glClearNamedBufferData(trackingBuffer->glId, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, &zero);

    // The source's own commands say what it draws; one without them (the usual case) is described by ours,
    // so the source is never given a command buffer it did not have.
    BufferObject* commands = from->indirectBuffer ? from->indirectBuffer : sourceCommands;
    bool tracked = false;
    if (usable(geometryMirrorTrackingProgram) && shaderUseProgram(geometryMirrorTrackingProgram)) {
        rendererBindGlobalInputs(geometryMirrorTrackingProgram, time);
        BufferBindings bindings;
        shaderBindingsCreate(bindings);
        shaderBindingsAddBuffer(bindings, "GeometryMirrorTrackingDataBuffer", trackingBuffer);
        shaderBindingsAddBuffer(bindings, "DrawElementsIndirectParamsBuffer", commands);
        if (shaderBindBuffers(geometryMirrorTrackingProgram, bindings)) {
            glDispatchCompute(1, 1, 1);
            glMemoryBarrier(GL_ALL_BARRIER_BITS);
            tracked = true;
        }
    }

    bool mirrored = false;
    if (tracked && usable(geometryMirrorProgram)) {
        std::optional<ScopedGpuTimer> timer;
        if (timerGpuScopesEnabled())
            timer.emplace(fmt::format("{0}:{1}", kClassName, name), true);
        if (shaderUseProgram(geometryMirrorProgram)) {
            rendererBindGlobalInputs(geometryMirrorProgram, time);
            geomUpdate(from);
            geomUpdate(geometry);
            const int mask = mirroredAttributeMask(from) & mirroredAttributeMask(geometry);
            shaderSetUniform(geometryMirrorProgram, "mirror_attributes", UNIFORM_TYPE_INT, &mask, sizeof mask);
            const uint32_t surfaces = std::min<uint32_t>(mirroredSurfaces, uint32_t(from->surfaces.size()));
            GeometryMirrorParams params;
            geometryMirrorPlane(world, params.plane);
            params.vertexCount = int32_t(geometry->vertexCount);
            params.surfaceCount = int32_t(surfaces);
            mirrored = true;
            for (uint32_t i = 0; i < surfaces; ++i) {
                const GeometrySurface* in = from->surfaces[i];
                const GeometrySurface* out = geometry->surfaces[i];
                if (!in || !in->indexBuffer || !out || !out->indexBuffer || out->triangleCount == 0)
                    continue;
                params.triangleCapacity = int32_t(std::min<uint32_t>(out->triangleCount, INT32_MAX));
                params.surface = int32_t(i);
                BufferBindings bindings;
                shaderBindingsCreate(bindings);
                shaderBindingsAddGeometryPrefixed(bindings, from, "In");
                shaderBindingsAddGeometryPrefixed(bindings, geometry, "Out");
                // Blocks of attributes the geometries lack point at a spare buffer the kernel never touches.
                for (const auto& attribute : kMirroredAttributes)
                    for (const char* prefix : {"In", "Out"})
                        bindings.emplace(std::string(prefix) + attribute.name, BufferBinding{true, spareBuffer, 0});
                shaderBindingsAddData(bindings, "GeometryMirrorParamsBuffer", &params, sizeof params);
                shaderBindingsAddBuffer(bindings, "GeometryMirrorTrackingDataBuffer", trackingBuffer);
                shaderBindingsAddBuffer(bindings, "InIndexBuffer", in->indexBuffer);
                shaderBindingsAddBuffer(bindings, "OutIndexBuffer", out->indexBuffer);
                if (!shaderBindBuffers(geometryMirrorProgram, bindings)) {
                    mirrored = false;
                    continue;
                }
                // Every invocation handles the triangles a whole grid apart, so the group count stays in range.
                const uint64_t groups = (uint64_t(out->triangleCount) + kMirrorGroupSize - 1) / kMirrorGroupSize;
                glDispatchCompute(GLuint(std::clamp<uint64_t>(groups, 1, 65535)), 1, 1);
            }
            glMemoryBarrier(GL_ALL_BARRIER_BITS);
        }
    }
    shaderUseProgram(nullptr);

    // The draw commands follow what the kernel wrote (all zero when it did not run).
    for (uint32_t j = 0; j < mirroredSurfaces; ++j)
        geomBuildDrawElementsIndirect(geometry->indirectBuffer, int(j), trackingBuffer, int(4 * j));
    glPopDebugGroup();
    if (mirrored)
        ++generated;
    return mirrored;
}
