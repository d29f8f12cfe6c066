#include "components/raytracer.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/primitive_renderer.h"
#include "components/scene_player.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_indirect.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/composite.h"
#include "render/deferred_composite.h"
#include "render/deferred_lighting.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/shader_inputs.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>

using namespace gl;

RaytracerPrograms raytracerPrograms;
bool raytracerProgramsReady = false;
RaytraceSceneBuffers* sharedRaytraceSceneBuffers = nullptr;
Texture* raytraceFresnelTexture = nullptr;
Texture* primitiveIdTagMaskTexture = nullptr;

namespace {

constexpr int kRaytracerRow = 4;
constexpr unsigned int kAllStencilBits = 0xFFu;

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

void setInt(ShaderProgram* program, const char* name, int value)
{
    shaderSetUniform(program, name, UNIFORM_TYPE_INT, &value, sizeof value);
}

void setFloat(ShaderProgram* program, const char* name, float value)
{
    shaderSetUniform(program, name, UNIFORM_TYPE_FLOAT, &value, sizeof value);
}

void setVec4(ShaderProgram* program, const char* name, const float (&value)[4])
{
    shaderSetUniform(program, name, UNIFORM_TYPE_VEC4, value, sizeof value);
}

// The exported-vertex layout as the eight "{prefix}_vtx_data_*" uniforms, each set only where the program has it.
void setVertexLayout(ShaderProgram* program, const char* prefix)
{
    const RaytraceVertexLayout& l = kRaytraceVertexLayout;
    const std::pair<const char*, int> entries[] = {
        {"coord_stride", l.coordStride},   {"normal_stride", l.normalStride}, {"uv0_stride", l.uv0Stride},
        {"material_stride", l.materialStride}, {"coord_offset", l.coordOffset}, {"normal_offset", l.normalOffset},
        {"uv0_offset", l.uv0Offset},       {"material_offset", l.materialOffset},
    };
    for (const auto& [suffix, value] : entries) {
        const std::string name = fmt::format("{0}_vtx_data_{1}", prefix, suffix);
        if (program->uniforms.count(name))
            setInt(program, name.c_str(), value);
    }
}

void nearFarOf(const Camera& camera, float (&out)[4])
{
    const float n = camera.nearPlane;
    const float f = camera.farPlane;
    out[0] = n;
    out[1] = f;
    out[2] = 2.0f * n * f;
    out[3] = f - n;
}

// The storage-block binding points the program uses, released after a draw so no later pass writes through them.
void unbindStorageBlocks(ShaderProgram* program)
{
    for (const auto& entry : program->storageBlocks)
        if (entry.second)
            glBindBufferBase(GL_SHADER_STORAGE_BUFFER, entry.second->binding, 0);
}

void releaseProgram()
{
    glUseProgram(0);
    shaderCurrentProgram = nullptr;
}

struct DebugGroup {
    explicit DebugGroup(const std::string& name) { glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, name.c_str()); }
    ~DebugGroup() { glPopDebugGroup(); }
    DebugGroup(const DebugGroup&) = delete;
    DebugGroup& operator=(const DebugGroup&) = delete;
};

// A warning the first time a condition is met in the process; the frame loop would repeat it every frame.
bool firstTime(bool& seen)
{
    const bool first = !seen;
    seen = true;
    return first;
}
// A vertex array without attributes, for the draws whose vertex stages pull their data from storage buffers.
GLuint emptyVertexArray()
{
    static GLuint vertexArray = 0;
    if (vertexArray == 0)
        glCreateVertexArrays(1, &vertexArray);
    return vertexArray;
}

bool warnedExportRoom = false;
bool warnedVertexRoom = false;

} // namespace

void raytracerSetVertexLayout(ShaderProgram* program, const char* prefix) { setVertexLayout(program, prefix); }
unsigned int raytracerEmptyVertexArray() { return emptyVertexArray(); }
void raytracerUnbindStorageBlocks(ShaderProgram* program) { unbindStorageBlocks(program); }

// ---- Hooks ----

void raytracerInstallHooks()
{
    renderGraphHooks.useRaytracer = [](EngineComponent* component) {
        auto* raytracer = dynamic_cast<raytracerfx*>(component);
        if (!raytracer)
            return;
        // A disabled raytracer uses the buffers once they exist but never makes them.
        if (isSet(raytracer->enabled))
            raytracer->AcquireSceneBuffers();
        else if (!raytracer->sceneBuffers)
            raytracer->sceneBuffers = sharedRaytraceSceneBuffers;
        // Volumes released between uses are made again before the frame reads or writes them.
        if (!RaytraceSceneBuffers::MakeVolumes(raytracer->sceneBuffers))
            return;
        currentRaytraceScene = raytracer->sceneBuffers;
        currentRaytraceScene->raytraceFaceCount = 0;
        currentRaytraceScene->voxelizeFaceCount = 0;
        currentRaytraceScene->exportedObjectCount = 0;
    };
    scenePlayerVoxelHooks.partitionGeometry = [](EngineComponent* component, RaytraceSceneBuffers* scene,
                                                 Timestep time) {
        if (auto* raytracer = dynamic_cast<raytracerfx*>(component))
            raytracerfxPartitionGeometryBuffer(raytracer, scene, time);
    };
    scenePlayerVoxelHooks.setStatus = [](EngineComponent* component, const char* text) {
        if (auto* raytracer = dynamic_cast<raytracerfx*>(component); raytracer && text)
            raytracer->SetInfo(text);
    };
    deferredVoxelSceneSource = [](const RaytraceSceneBuffers* scene, DeferredVoxelScene* out) {
        if (!scene || !out)
            return false;
        out->voxelizeFaceCount = scene->voxelizeFaceCount;
        out->voxelColorTexture = scene->voxelColorTexture;
        out->voxelOccupancyTexture = scene->voxelOccupancyTexture;
        return true;
    };
}

bool raytracerHasConservativeRaster()
{
    static const bool has = [] {
        GLint count = 0;
        glGetIntegerv(GL_NUM_EXTENSIONS, &count);
        for (GLint i = 0; i < count; ++i) {
            const auto* name = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, GLuint(i)));
            if (name && std::string_view(name) == "GL_NV_conservative_raster")
                return true;
        }
        return false;
    }();
    return has;
}

// ---- Creation ----

bool raytracerfx::InitPrograms()
{
    RaytracerPrograms& p = raytracerPrograms;
    if (raytracerProgramsReady) {
        // A program whose build failed (a file missing under the asset path of that time, a syntax error) is
        // built again for each new raytracer, besides the hot reload of its file.
        for (ShaderProgram* program : {p.boundingBox, p.transform, p.partitionFirst, p.partitionSecond})
            if (program->errors)
                shaderReloadProgram(program);
        return true;
    }
    if (!p.boundingBox)
        p.boundingBox = shaderLoadProgramCompute("shaders/materials/geom_calculate_bbox.comp", shaderGlobalDefines);
    if (!p.transform)
        p.transform =
            shaderLoadProgramCompute("shaders/materials/raytrace_transform_geometry.comp", shaderGlobalDefines);
    if (!p.partitionFirst)
        p.partitionFirst =
            shaderLoadProgramCompute("shaders/materials/raytrace_partition_geometry.comp", {{"PASS_1", "1"}});
    if (!p.partitionSecond)
        p.partitionSecond =
            shaderLoadProgramCompute("shaders/materials/raytrace_partition_geometry.comp", {{"PASS_2", "1"}});
    raytracerProgramsReady = p.boundingBox && p.transform && p.partitionFirst && p.partitionSecond;
    return raytracerProgramsReady;
}

EngineComponent* raytracerfx::Create(const std::string& name)
{
    if (!InitPrograms())
        return nullptr;
    return CreateComponent<raytracerfx>(name);
}

raytracerfx::raytracerfx(const std::string& name) : KitComponent(kRaytracerRow, name)
{
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&scale, "scale", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&gridSize, "grid size", 0.25f, 0.0f, 10.0f);
    CvarTreeRegisterBool(&reflections, "reflections", 1.0f);
    CvarTreeRegisterBool(&transparencies, "transparencies", 1.0f);
    CvarTreeRegisterFloat(&traceRange, "trace range", 1000.0f, 50.0f, 5000.0f);
    CvarTreeRegisterMaterial(&materialRaytrace, "material_raytrace", MaterialManager::findRootMaterial("raytrace_simple"));
    CvarTreeRegisterMaterial(&materialProxy, "material_proxy", MaterialManager::findRootMaterial("raytrace_proxy"));
    envmapName = "env_texture::default";
    CvarTreeRegisterResource(&envmap, "envmap", envmapName, ResourceType::Envmap);
    CvarTreeRegisterFloat(&renderDebug, "render_debug", 0.0f, 0.0f, 2.0f);
    CvarTreeRegisterBool(&renderDebugBounce, "render_debug_bounce", 0.0f);
    CvarTreeRegisterFloat(&voxelizationMethod, "voxelization_method", 2.0f, 0.0f, 2.0f);
    // The scene player's status line; shown, never edited or saved.
    CvarTreeRegisterText(&info, "info", "");
    CvarTreeRegisterBool(&halfRate, "half_rate", 1.0f);
    CvarTreeRegisterBool(&enabled, "enabled", 1.0f);
    CloseBranch();
    info.readOnly = true;
}

raytracerfx::~raytracerfx()
{
    for (Material* material :
         {proxyMaterial, reflectionMaterial, glassReflectionMaterial, gridVisualizeMaterial, partitionMaterial})
        delete material;
    for (auto it = retired_.rbegin(); it != retired_.rend(); ++it)
        delete *it;
    for (Framebuffer* framebuffer : {partitionFramebuffer, raytraceFramebuffer, fresnelFramebuffer})
        fbDestroy(framebuffer);
}

bool raytracerfx::CreateGpuObjects()
{
    reflectionMaterial = materialCreateFromRoot("raytrace_simple");
    glassReflectionMaterial = materialCreateFromRoot("raytrace_simple");
    proxyMaterial = materialCreateFromRoot("raytrace_proxy");
    gridVisualizeMaterial = materialCreateFromRoot("raytrace_partitioning_visualize");
    partitionMaterial = materialCreateFromRoot("raytrace_partitioning");

    partitionFramebuffer = fbCreate("raytracer_partitioning");
    if (partitionFramebuffer) {
        partitionFramebuffer->width = RAYTRACE_GRID_RESOLUTION;
        partitionFramebuffer->height = RAYTRACE_GRID_RESOLUTION;
    }
    raytraceFramebuffer = fbCreate("raytracer_raytrace");
    fresnelFramebuffer = fbCreate("raytracer_fresnel");

    if (!raytraceFresnelTexture)
        raytraceFresnelTexture = txtCreateTarget("raytrace_fresnel", screenWidth, screenHeight, IMAGE_TYPE_RGBA16F);
    if (fresnelFramebuffer && raytraceFresnelTexture)
        fbAttach(fresnelFramebuffer, FB_ATTACHMENT_COLOR0, raytraceFresnelTexture);
    if (!primitiveIdTagMaskTexture)
        primitiveIdTagMaskTexture = txtCreateTarget(fmt::format("{0}:PrimitiveIDTagMask", name).c_str(), screenWidth,
                                                    screenHeight, IMAGE_TYPE_RG32UI);

    // The scene buffers wait for the first frame this raytracer is enabled in: of their 1.4 GB the buffers take memory
    // only as the passes write them, but the four volumes (0.25 GB) are filled by the driver as they are made.
    sceneBuffers = sharedRaytraceSceneBuffers;
    raytracerInstallHooks();
    return true;
}

bool raytracerfx::AcquireSceneBuffers()
{
    static bool failed = false; // a failed allocation is not retried every frame
    if (!sharedRaytraceSceneBuffers && !failed) {
        const auto start = std::chrono::steady_clock::now();
        sharedRaytraceSceneBuffers = RaytraceSceneBuffers::Create();
        failed = !sharedRaytraceSceneBuffers;
        if (failed) {
            LOG_ERROR("Raytracer %s: scene buffers could not be allocated; nothing is traced", name.c_str());
            return false;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        LOG_INFO("Raytracer: scene buffers allocated (%.0f MB) in %.0f ms",
                 double(RaytraceSceneBuffers::TotalBytes()) / (1024.0 * 1024.0), ms);
    }
    sceneBuffers = sharedRaytraceSceneBuffers;
    return sceneBuffers != nullptr;
}

// A private copy of the material whose deferred program gets the defines and is rebuilt at its next use; null
// when the material is missing or cannot be copied.
Material* privateCopy(const Material* source, std::initializer_list<std::pair<const char*, const char*>> defines)
{
    Material* copy = source ? source->clone() : nullptr;
    if (!copy || !copy->deferredProgram) {
        delete copy;
        return nullptr;
    }
    for (const auto& [key, value] : defines)
        copy->deferredProgram->defines.insert_or_assign(key, value);
    copy->rebuildCountdown = 1;
    return copy;
}

void raytracerfx::Init()
{
    // A clone keeps a pointer to the material it was made from, so replaced materials live as long as the
    // component.
    const auto replace = [this](Material*& slot, Material* copy) {
        if (!copy)
            return;
        if (slot)
            retired_.push_back(slot);
        slot = copy;
    };
    replace(proxyMaterial, privateCopy(proxyMaterial, {{"PROXY_PASS_STENCIL_PRIMID", "1"}}));
    replace(reflectionMaterial, privateCopy(reflectionMaterial, {{"PROXY_PASS_STENCIL_PRIMID", "1"}}));
    replace(glassReflectionMaterial,
            privateCopy(reflectionMaterial, {{"PROXY_PASS_STENCIL_PRIMID", "1"}, {"GLASS_REFLECTION_PASS", "1"}}));
}

void raytracerfx::SetInfo(const std::string& text)
{
    info.text = text.substr(0, 2048);
}

void raytracerfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, Matrix()));
}

// ---- Export ----

GeometryExportRecord raytracerfxTransformGeometryBufferCustomShader(ShaderProgram* program, BufferBindings& bindings,
                                                                    Object* object, GeometrySurface* surface,
                                                                    RaytraceSceneBuffers* scene, int materialIndex,
                                                                    const MaterialProperties* material,
                                                                    uint32_t instanceCount)
{
    GeometryExportRecord result{0, -1, -1, 0};
    if (!program || !object || !object->geometry || !surface || !scene || !material) {
        LOG_ERROR("Raytracer: export without a program, geometry, surface, scene buffers or material record");
        return result;
    }
    Geometry* geometry = object->geometry;
    const bool traced = material->flagBit2 || material->flagBit4;
    const bool voxelized = material->flagBit16;
    result.exportIndex = int32_t(scene->exportedObjectCount);
    result.facesPerInstance = int32_t(surface->triangleCount);

    // The buffers' room is checked here: past it the geometry stage would drop the faces, and the partition
    // would read a record that was never written.
    if (scene->exportedObjectCount >= RAYTRACE_EXPORT_CAPACITY) {
        if (firstTime(warnedExportRoom))
            LOG_WARNING("Raytracer: more than %u exports in a frame; the rest are not traced",
                        RAYTRACE_EXPORT_CAPACITY);
        return result;
    }
    const uint64_t faces = uint64_t(instanceCount) * surface->triangleCount;
    const auto fits = [&](uint32_t base) { return (uint64_t(base) + faces) * 3 <= RAYTRACE_VERTEX_CAPACITY; };
    if ((traced && !fits(scene->raytraceFaceCount)) || (voxelized && !fits(scene->voxelizeFaceCount))) {
        if (firstTime(warnedVertexRoom))
            LOG_WARNING("Raytracer: the frame's exports pass %u vertices; surface of %llu faces not exported",
                        RAYTRACE_VERTEX_CAPACITY, static_cast<unsigned long long>(faces));
        return result;
    }

    if (scene->exportedObjectCount == 0) {
        const GLint zero[4] = {0, 0, 0, 0};
        glClearNamedBufferData(scene->transformedDataLocation->glId, GL_RGBA32I, GL_RGBA_INTEGER, GL_INT, zero);
    }
    shaderUseProgram(program);
    setVertexLayout(program, "out");
    result.raytraceFacesBase = int32_t(scene->raytraceFaceCount);
    result.voxelizeFacesBase = int32_t(scene->voxelizeFaceCount);
    setInt(program, "out_raytrace_faces_base", int(scene->raytraceFaceCount));
    setInt(program, "out_voxelize_faces_base", int(scene->voxelizeFaceCount));
    setInt(program, "material_index", materialIndex);
    setInt(program, "transform_normals", material->flat ? 0 : 1);
    setInt(program, "export_raytrace", traced ? 1 : 0);
    setInt(program, "export_voxelize", voxelized ? 1 : 0);
    setInt(program, "faces_per_instance", int(surface->triangleCount));
    geomUpdate(geometry);

    shaderBindingsAddBuffer(bindings, "OutVertexBufferRaytrace", scene->geometryRaytrace);
    shaderBindingsAddBuffer(bindings, "OutVertexBufferVoxelize", scene->geometryVoxel);
    shaderBindingsAddBuffer(bindings, "TransformedDataLocationBuffer", scene->transformedDataLocation);
    const int32_t params[4] = {result.exportIndex, voxelized ? 1 : 0, material->flagBit2 ? 1 : 0, 0};
    shaderBindingsAddData(bindings, "TransformGeometryParamsBuffer", params, sizeof params);

    glBindVertexArray(geometry->vao);
    shaderSetBuiltinBuffersMask(geometry, program);
    shaderBindBuffers(program, bindings);
    deferredBindMaterialTextures(program);
    const GLuint indices = surface->indexBuffer ? surface->indexBuffer->glId : 0;
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indices);
    if (indices != 0 && surface->triangleCount > 0) {
        if (!geometry->indirectBuffer) {
            glDrawElementsInstanced(GL_TRIANGLES, GLsizei(surface->triangleCount * 3), GL_UNSIGNED_INT, nullptr,
                                    GLsizei(instanceCount));
        } else {
            size_t index = 0;
            while (index < geometry->surfaces.size() && geometry->surfaces[index] != surface)
                ++index;
            if (index == geometry->surfaces.size()) {
                LOG_WARNING("No matching surface found!");
            } else {
                glBindBuffer(GL_DRAW_INDIRECT_BUFFER, geometry->indirectBuffer->glId);
                glDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT,
                                       reinterpret_cast<const void*>(uintptr_t(GEOMETRY_INDIRECT_COMMAND_SIZE * index)));
                glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
            }
        }
    }
    glBindVertexArray(0);
    unbindStorageBlocks(program);
    releaseProgram();
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT);

    const uint32_t added = uint32_t(faces);
    if (traced)
        scene->raytraceFaceCount += added;
    else
        result.raytraceFacesBase = -1;
    if (voxelized)
        scene->voxelizeFaceCount += added;
    else
        result.voxelizeFacesBase = -1;
    scene->exportedObjectCount += 1;
    return result;
}

// ---- Partition ----

void raytracerfxPartitionGeometryBuffer(raytracerfx* raytracer, RaytraceSceneBuffers* scene, const Timestep& time)
{
    if (!raytracer || !scene || !raytracer->sceneBuffers)
        return;
    ScopedGpuTimer partitionScope("Raytracer:Partition", true);
    scene->partitionedObjectCount = scene->exportedObjectCount;
    scene->partitionedFaceCount = scene->raytraceFaceCount;
    BufferBindings traceSet;
    shaderBindingsCreate(traceSet);
    shaderBindingsAddPartition(traceSet, raytracer->sceneBuffers);
    BufferBindings voxelSet;
    shaderBindingsCreate(voxelSet);
    shaderBindingsAddVoxels(voxelSet, raytracer->sceneBuffers);

    {
        ScopedGpuTimer scope("Raytracer:Partition:Clear", false);
        const GLuint zero = 0;
        for (int level : {0, 2})
            glClearTexImage(scene->partitionGridTexture->glId, level, GL_RED_INTEGER, GL_UNSIGNED_INT, &zero);
    }

    {
        ScopedGpuTimer scope("Raytracer:Partition:BoundingBox", false);
        ShaderProgram* program = raytracerPrograms.boundingBox;
        if (program && shaderUseProgram(program)) {
            setVertexLayout(program, "in");
            struct BoxParams {
                float min[4];
                float max[4];
                int32_t exports, tracing, voxel, reserved;
            };
            static_assert(sizeof(BoxParams) == 48);
            const auto boxParams = [&](const float* lo, const float* hi, bool automatic, bool tracing) {
                BoxParams p{{lo[0], lo[1], lo[2], 0.0f}, {hi[0], hi[1], hi[2], 0.0f},
                            automatic ? int32_t(scene->exportedObjectCount) : 0, tracing ? 1 : 0, tracing ? 0 : 1,
                            0};
                return p;
            };
            const BoxParams tracing =
                boxParams(scene->raytraceGridMin, scene->raytraceGridMax, scene->raytraceGridAutoBounds, true);
            const BoxParams voxel =
                boxParams(scene->voxelGridMin, scene->voxelGridMax, scene->voxelGridAutoBounds, false);
            BufferBindings set = traceSet;
            shaderBindingsAddData(set, "CalculateBoundingBoxParamsBuffer", &tracing, sizeof tracing);
            shaderBindBuffers(program, set);
            glDispatchCompute(1, 1, 1);
            glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT);
            set = voxelSet;
            shaderBindingsAddData(set, "CalculateBoundingBoxParamsBuffer", &voxel, sizeof voxel);
            shaderBindBuffers(program, set);
            glDispatchCompute(1, 1, 1);
            glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT);
            releaseProgram();
        }
    }

    const float method = raytracer->voxelizationMethod.value[0];
    const int passes = method < 1.0f ? 2 : 1;
    for (int i = 0; i < passes; ++i) {
        ScopedGpuTimer scope("Raytracer:Partition:Initialize", false);
        ShaderProgram* program = i == 0 ? raytracerPrograms.partitionFirst : raytracerPrograms.partitionSecond;
        if (!program || !shaderUseProgram(program))
            continue;
        setVertexLayout(program, "in");
        setInt(program, "numFaces", int(scene->raytraceFaceCount));
        setFloat(program, "gridSize", raytracer->gridSize.value[0]);
        shaderBindBuffers(program, traceSet);
        if (i == 1)
            glBindImageTexture(0, scene->partitionGridTexture->glId, 0, GL_TRUE, 0, GL_READ_WRITE, GL_R32UI);
        glDispatchCompute(32, 32, 32);
        glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT |
                        GL_TEXTURE_FETCH_BARRIER_BIT);
        releaseProgram();
    }

    if (passes == 1) {
        fbPush();
        setcurrent(raytracer->partitionFramebuffer);
        DebugGroup group("raytracerfxPartitionGeometryBuffer");
        if (scene->exportedObjectCount > 0) {
            ScopedGpuTimer scope("Raytracer:Partition:Render", false);
            geomBuildDrawArraysIndirect(scene->drawIndirectParams, scene->transformedDataLocation,
                                        int(4 * scene->exportedObjectCount - 3));
            Material* material = raytracer->partitionMaterial;
            ShaderProgram* program = material ? material->getProgram(Renderer::PASS_DEFERRED) : nullptr;
            if (program) {
                rendererBindGlobalInputs(program, time);
                shaderUseProgram(program);
                const float planes[4] = {0.0f, 256.0f, 0.0f, 256.0f};
                setVec4(program, "vNearFarPlane", planes);
                setInt(program, "numFaces", int(scene->raytraceFaceCount));
                setFloat(program, "gridSize", raytracer->gridSize.value[0]);
                setVertexLayout(program, "in");

                glViewport(0, 0, RAYTRACE_GRID_RESOLUTION, RAYTRACE_GRID_RESOLUTION);
                glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
                glClear(GL_COLOR_BUFFER_BIT);
                glDisable(GL_DEPTH_TEST);
                glDepthMask(GL_FALSE);
                glDisable(GL_CULL_FACE);
                bool conservative = false;
                if (method >= 2.0f) {
                    if (raytracerHasConservativeRaster()) {
                        glEnable(GL_CONSERVATIVE_RASTERIZATION_NV);
                        conservative = true;
                    } else if (firstTime(raytracer->warnedConservative)) {
                        LOG_WARNING("Raytracer: the driver has no conservative rasterisation; the grid is built "
                                    "without it (voxelization_method 1)");
                    }
                }
                glClipControl(GL_LOWER_LEFT, GL_NEGATIVE_ONE_TO_ONE);
                deferredBindLightSamplers(program);
                setInt(program, "g_lights_num", int(frameLights.size()));

                BufferBindings fresh;
                shaderBindingsCreate(fresh);
                shaderBindBuffers(program, fresh);
                shaderBindBuffers(program, traceSet);
                glBindImageTexture(0, scene->partitionGridTexture->glId, 0, GL_TRUE, 0, GL_READ_WRITE, GL_R32UI);
                glBindImageTexture(1, scene->partitionGridTexture->glId, 2, GL_TRUE, 0, GL_READ_WRITE, GL_R32UI);
                glBindBuffer(GL_DRAW_INDIRECT_BUFFER, scene->drawIndirectParams->glId);
                // Vertices come from the exported buffers; core GL still wants a vertex array bound.
                glBindVertexArray(emptyVertexArray());
                glDrawArraysIndirect(GL_TRIANGLES, nullptr);
                glBindVertexArray(0);
                glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
                glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT |
                                GL_TEXTURE_FETCH_BARRIER_BIT);

                glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
                if (conservative)
                    glDisable(GL_CONSERVATIVE_RASTERIZATION_NV);
                glBindBufferBase(GL_UNIFORM_BUFFER, 1, 0);
                glEnable(GL_CULL_FACE);
                glDepthMask(GL_TRUE);
                glEnable(GL_DEPTH_TEST);
                unbindStorageBlocks(program);
                releaseProgram();
            }
        }
        fbPop();
    }
}

// ---- Raytrace pass ----

RTSetupBuffer raytracerSetupFor(const Camera& camera, float traceRange)
{
    RTSetupBuffer setup;
    setup.projection = camera.projection;
    // From the view the pass draws with: a camera moved by its controller gets a new view each frame, while its
    // world matrix and position may still be those of its entity.
    setup.world = camera.view.InverseAffine();
    setup.position[0] = setup.world.m[3];
    setup.position[1] = setup.world.m[7];
    setup.position[2] = setup.world.m[11];
    const float span = 2.0f * std::tan(camera.fov * 3.14159265358979f / 360.0f);
    setup.fov[0] = span * 1.7777778f;
    setup.fov[1] = span;
    nearFarOf(camera, setup.nearFar);
    setup.traceRange = traceRange;
    return setup;
}

Texture* raytracerfx::EnvironmentTexture()
{
    envmapName = envmap.text;
    Resource* resource =
        currentResources ? currentResources->get_by_name_type(envmapName, ResourceType::Envmap) : nullptr;
    const auto* file = resourceCast<FileResource>(resource, ResourceType::Envmap);
    Texture* texture = file ? file->GetTexture() : nullptr;
    if (texture && texture->glId != 0 && texture->type == TEXTURE_TYPE_CUBE)
        return texture;
    // No environment map (or not loaded yet): the renderer's fallback cube, never texture 0.
    return deferredEnvMapFallback();
}

void raytracerfx::Render(Camera* camera, const Matrix*, Renderer::Pass pass, Timestep time)
{
    if (!isSet(enabled) || !camera)
        return;
    if (pass != Renderer::PASS_DEFERRED && pass != Renderer::PASS_SHADOWMAP)
        return;
    const float debug = renderDebug.value[0];
    bool stop = false;
    if (debug < 1.0f || debug >= 2.0f || pass == Renderer::PASS_SHADOWMAP)
        ProxyStep(camera, pass, time, stop);
    if (stop)
        return;
    if (debug >= 1.0f)
        GridVisualisation(camera, pass, time, stop);
    if (stop)
        return;
    if (debug < 1.0f && pass == Renderer::PASS_DEFERRED)
        Reflections(camera, time);
}

void raytracerfx::ProxyStep(Camera*, Renderer::Pass pass, Timestep time, bool& stop)
{
    ShaderProgram* program = proxyMaterial ? proxyMaterial->getProgram(pass) : nullptr;
    if (!program) {
        stop = true;
        return;
    }
    const std::string passName = Renderer::GetPassName(pass);
    DebugGroup group(fmt::format("Raytracer:{0}", passName));
    ScopedGpuTimer scope(fmt::format("Raytracer:Render:Proxy:{0}", passName), false);
    // The proxy draws nothing of its own: the traced passes below do the work. Its program is kept bound and
    // fed so that a proxy shader can be dropped in without touching this code.
    rendererBindGlobalInputs(program, time);
    shaderUseProgram(program);
    releaseProgram();
}

void raytracerfx::GridVisualisation(Camera* camera, Renderer::Pass pass, Timestep time, bool& stop)
{
    ShaderProgram* program = gridVisualizeMaterial ? gridVisualizeMaterial->getProgram(pass) : nullptr;
    if (!program) {
        stop = true;
        return;
    }
    rendererBindGlobalInputs(program, time);
    shaderUseProgram(program);
    if (!sceneBuffers || sceneBuffers->exportedObjectCount == 0)
        return;
    float planes[4];
    nearFarOf(*camera, planes);
    setVec4(program, "vNearFarPlane", planes);
    setVertexLayout(program, "in");
    Texture* colours = isSet(renderDebugBounce) ? sceneBuffers->voxelBounceColorTexture : sceneBuffers->voxelColorTexture;
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "s_voxel_colors", colours, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "s_voxel_colors_filtered", colours, SAMPLER_TRILINEAR_CLAMP);
    shaderBindingsAddTexture(textures, "s_grid_marker", sceneBuffers->partitionGridTexture,
                             SAMPLER_NEAREST_MIPMAP_BORDER);
    const TransformParams transform = transformParamsFor(*camera, Matrix());
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddPartition(buffers, sceneBuffers);
    shaderBindingsAddData(buffers, "TransformParamsBuffer", &transform, sizeof transform);
    shaderBindBuffers(program, buffers);
    shaderBindTextures(program, textures);
    const bool blended = renderDebug.value[0] > 1.95f;
    if (blended) {
        glEnable(GL_BLEND);
        glBlendFunc(GL_ONE, GL_ONE);
    }
    glBindVertexArray(emptyVertexArray());
    glDrawArraysInstanced(GL_TRIANGLE_STRIP, 0, 14, RAYTRACE_GRID_RESOLUTION * RAYTRACE_GRID_RESOLUTION *
                                                        RAYTRACE_GRID_RESOLUTION);
    glBindVertexArray(0);
    if (blended)
        glDisable(GL_BLEND);
    unbindStorageBlocks(program);
    releaseProgram();
}

void raytracerfx::Reflections(Camera* camera, Timestep time)
{
    deferredCreateTargets();
    // The screen-sized targets follow the output size, as the renderer's do (the start-up warm-up draws small).
    for (Texture* texture : {raytraceFresnelTexture, primitiveIdTagMaskTexture})
        fbFollowOutputSize(texture);
    CopyRTMaterialPropertyToStencil();
    DeferredRenderer& r = deferredRenderer;
    const int h = r.historyIndex & 1;
    Texture* environment = EnvironmentTexture();
    const struct {
        Material* material;
        const char* label;
        Texture* target;
    } steps[2] = {{glassReflectionMaterial, "RT", raytraceFresnelTexture},
                  {reflectionMaterial, "RTReflections", r.txtRaytrace[h]}};

    const RTSetupBuffer setup = raytracerSetupFor(*camera, traceRange.value[0]);
    TransformParams transform;
    transform.view = camera->view;
    transform.modelView = camera->view;
    transform.projection = camera->projection;
    std::memcpy(transform.cameraPosition, setup.position, sizeof setup.position);

    for (int k = 0; k < 2; ++k) {
        ShaderProgram* program = steps[k].material ? steps[k].material->getProgram(Renderer::PASS_DEFERRED) : nullptr;
        if (!program)
            continue;
        DebugGroup group(fmt::format("Raytracer:Deferred {0}", steps[k].label));
        ScopedGpuTimer scope(fmt::format("Raytracer:Render:Deferred {0}", steps[k].label), false);
        rendererBindGlobalInputs(program, time);
        shaderUseProgram(program);
        if (!sceneBuffers || sceneBuffers->exportedObjectCount == 0 || !steps[k].target || !raytraceFramebuffer)
            continue;

        fbPush();
        for (int slot : {FB_ATTACHMENT_COLOR1, FB_ATTACHMENT_COLOR2, FB_ATTACHMENT_COLOR3})
            fbAttach(raytraceFramebuffer, slot, nullptr);
        fbAttach(raytraceFramebuffer, FB_ATTACHMENT_COLOR0, steps[k].target);
        fbAttach(raytraceFramebuffer, FB_ATTACHMENT_DEPTH, r.txtDeferredDepth[h]);
        fbAttach(raytraceFramebuffer, FB_ATTACHMENT_STENCIL, r.txtDeferredDepth[h]);
        setcurrent(raytraceFramebuffer);

        float planes[4];
        nearFarOf(*camera, planes);
        setVec4(program, "vNearFarPlane", planes);
        setInt(program, "numFaces", int(sceneBuffers->raytraceFaceCount));
        setFloat(program, "gridSize", gridSize.value[0]);
        setVertexLayout(program, "in");
        deferredBindLightSamplers(program);
        setInt(program, "g_lights_num", int(frameLights.size()));

        BufferBindings buffers;
        shaderBindingsCreate(buffers);
        shaderBindingsAddPartition(buffers, sceneBuffers);
        shaderBindingsAddData(buffers, "RTSetupBuffer", &setup, sizeof setup);
        shaderBindingsAddData(buffers, "TransformParamsBuffer", &transform, sizeof transform);
        shaderBindBuffers(program, buffers);
        deferredBindMaterialTextures(program);

        TextureBindings textures;
        shaderBindingsAddTexture(textures, "s_reflection", environment);
        shaderBindingsAddTexture(textures, "s_grid_marker", sceneBuffers->partitionGridTexture,
                                 SAMPLER_NEAREST_MIPMAP_BORDER);
        shaderBindingsAddTexture(textures, "imPrimitiveId", primitiveIdTagMaskTexture);
        shaderBindingsAddTexture(textures, "imNormalMaterial", r.txtDeferredNormalAttribute);
        shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags",
                                 r.txtDeferredMetalnessRoughnessMaterialTags);
        shaderBindingsAddTexture(textures, "imAlbedo", r.txtDeferredColor[h]);
        shaderBindingsAddTexture(textures, "sTextureDepth", r.txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
        if (k == 1)
            shaderBindingsAddTexture(textures, "sFresnelReflection", raytraceFresnelTexture,
                                     SAMPLER_NEAREST_MIPMAP_BORDER);

        RenderState state = renderStateTop();
        state.depthWrite = false;
        state.stencilTest = true;
        state.stencilWrite = false;
        renderStatePush(state);
        glStencilFunc(GL_EQUAL, 1, kAllStencilBits);
        shaderBindTextures(program, textures);
        composite(raytraceFramebuffer, program, &time, nullptr);
        // The lighting and the composite read the raytrace target only once something wrote it this frame.
        if (k == 1)
            deferredMarkCompositeInputs(COMPOSITE_INPUT_RAYTRACE, true);
        renderStatePop();
        unbindStorageBlocks(program);
        fbPop();
    }
    releaseProgram();
}
