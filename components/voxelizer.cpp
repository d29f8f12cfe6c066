#include "components/voxelizer.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/primitive_renderer.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_indirect.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "render/deferred_records.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

using namespace gl;

VoxelizerPrograms voxelizerPrograms;

namespace {

constexpr int kVoxelizerRow = 5;
// Voxels per side of one copy or mip invocation's block, and invocations per side of a work group (both shaders).
constexpr int kBlock = 4;
constexpr int kGroup = 4;
constexpr int kBounceGroup = 8;
// The material id the debug view's fragments carry.
constexpr int kDebugMaterialId = 128;

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

bool usable(const ShaderProgram* program) { return program && program->errors == 0; }

void setInt(ShaderProgram* program, const char* name, int value)
{
    shaderSetUniform(program, name, UNIFORM_TYPE_INT, &value, sizeof value);
}

// For uniforms that only some variants of a program declare.
void setIntIfPresent(ShaderProgram* program, const char* name, int value)
{
    if (program->uniforms.count(name))
        setInt(program, name, value);
}

void releaseProgram()
{
    glUseProgram(0);
    shaderCurrentProgram = nullptr;
}

GLuint groupsFor(int invocations, int groupSize) { return GLuint((invocations + groupSize - 1) / groupSize); }

bool volumeFits(const Texture* texture, int side)
{
    const Image* image = texture ? texture->images[0] : nullptr;
    return texture && texture->glId != 0 && texture->type == TEXTURE_TYPE_3D && image && image->width == side &&
           image->height == side && image->depth == side && image->levelCount >= VOXEL_TEXTURE_LEVELS;
}

// The volumes the passes may work on: a side that is a multiple of 16 (down to level 4), textures of that side
// with the levels, buffers of a word per voxel.
bool volumesUsable(const VoxelVolumes& v, const char* pass)
{
    const int n = v.resolution;
    const uint64_t words = uint64_t(n > 0 ? n : 0) * uint64_t(n > 0 ? n : 0) * uint64_t(n > 0 ? n : 0);
    const bool buffers = v.colors && v.occlusion && v.colors->glId && v.occlusion->glId &&
                         v.colors->size >= words * 4 && v.occlusion->size >= words * 4;
    if (n < 16 || n % 16 != 0 || !buffers || !volumeFits(v.colorTexture, n) || !volumeFits(v.occupancyTexture, n)) {
        LOG_ERROR("Voxelizer: %s skipped: the voxel buffers or textures do not fit a %d^3 grid", pass, n);
        return false;
    }
    return true;
}

// Dispatches with the program current and the bindings bound; false when some binding is missing.
bool dispatchWith(ShaderProgram* program, const TextureBindings& textures, const BufferBindings* buffers,
                  GLuint groups, const char* pass)
{
    if (!shaderUseProgram(program))
        return false;
    const bool bound = shaderBindTextures(program, textures) && (!buffers || shaderBindBuffers(program, *buffers));
    if (!bound) {
        LOG_ERROR("Voxelizer: %s skipped: its images or buffers could not be bound", pass);
        releaseProgram();
        return false;
    }
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
    glDispatchCompute(groups, groups, groups);
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
    raytracerUnbindStorageBlocks(program);
    releaseProgram();
    return true;
}

voxelizationfx* asVoxelizer(EngineComponent* component) { return dynamic_cast<voxelizationfx*>(component); }

} // namespace

// ---- Copy, levels and bounce ----

VoxelVolumes voxelVolumesOf(const RaytraceSceneBuffers* scene)
{
    VoxelVolumes v;
    if (!scene)
        return v;
    v.colors = scene->voxelColors;
    v.occlusion = scene->voxelOcclusion;
    v.colorTexture = scene->voxelColorTexture;
    v.occupancyTexture = scene->voxelOccupancyTexture;
    v.resolution = RAYTRACE_GRID_RESOLUTION;
    return v;
}

bool voxelizerCopyToTextures(const VoxelVolumes& v)
{
    ShaderProgram* program = voxelizerPrograms.copy;
    if (!usable(program) || !volumesUsable(v, "copy"))
        return false;
    TextureBindings textures;
    for (int level = 0; level < 3; ++level) {
        const std::string suffix = std::to_string(level);
        shaderBindingsAddTexture(textures, "imTarget" + suffix + "Color", v.colorTexture, -1, level);
        shaderBindingsAddTexture(textures, "imTarget" + suffix + "Occupancy", v.occupancyTexture, -1, level);
    }
    BufferBindings buffers;
    shaderBindingsAddBuffer(buffers, "ColorInputData", v.colors);
    shaderBindingsAddBuffer(buffers, "OcclusionInputData", v.occlusion);
    if (!shaderUseProgram(program))
        return false;
    setInt(program, "voxelResolution", v.resolution);
    return dispatchWith(program, textures, &buffers, groupsFor(v.resolution / kBlock, kGroup), "copy");
}

bool voxelizerBuildMips(const VoxelVolumes& v)
{
    ShaderProgram* program = voxelizerPrograms.mips;
    if (!usable(program) || !volumesUsable(v, "levels"))
        return false;
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "imSourceColor", v.colorTexture, -1, 2);
    shaderBindingsAddTexture(textures, "imTarget0Color", v.colorTexture, -1, 3);
    shaderBindingsAddTexture(textures, "imTarget1Color", v.colorTexture, -1, 4);
    shaderBindingsAddTexture(textures, "imSourceOccupancy", v.occupancyTexture, -1, 2);
    shaderBindingsAddTexture(textures, "imTarget0Occupancy", v.occupancyTexture, -1, 3);
    shaderBindingsAddTexture(textures, "imTarget1Occupancy", v.occupancyTexture, -1, 4);
    if (!shaderUseProgram(program))
        return false;
    setInt(program, "voxelResolution", v.resolution);
    // One invocation per 4^3 block of level 2 (a quarter of the side).
    return dispatchWith(program, textures, nullptr, groupsFor(v.resolution / 16, kGroup), "levels");
}

bool voxelizerBounce(const VoxelVolumes& v, Texture* bounceTexture, float strength)
{
    ShaderProgram* program = voxelizerPrograms.bounce;
    if (!usable(program) || !volumesUsable(v, "bounce"))
        return false;
    if (!volumeFits(bounceTexture, v.resolution)) {
        LOG_ERROR("Voxelizer: bounce skipped: no bounce texture of the grid's size");
        return false;
    }
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "s_voxel_colors", v.colorTexture, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "s_voxel_colors_filtered", v.colorTexture, SAMPLER_TRILINEAR_CLAMP);
    shaderBindingsAddTexture(textures, "imTargetBounce", bounceTexture);
    if (!shaderUseProgram(program))
        return false;
    setInt(program, "voxelResolution", v.resolution);
    shaderSetUniform(program, "bounceStrength", UNIFORM_TYPE_FLOAT, &strength, sizeof strength);
    return dispatchWith(program, textures, nullptr, groupsFor(v.resolution, kBounceGroup), "bounce");
}

// ---- Hooks ----

void voxelizerInstallHooks()
{
    scenePlayerVoxelHooks.renderPartitioning = [](EngineComponent* component, RaytraceSceneBuffers* scene,
                                                  Timestep time) {
        if (voxelizationfx* voxelizer = asVoxelizer(component))
            voxelizer->RenderPartitioning(scene, time);
    };
    scenePlayerVoxelHooks.renderDebug = [](EngineComponent* component, Camera* camera, RaytraceSceneBuffers* scene) {
        if (voxelizationfx* voxelizer = asVoxelizer(component))
            voxelizer->RenderDebug(camera, scene);
    };
    scenePlayerVoxelHooks.setMaterialIndex = [](EngineComponent* component, int row) {
        if (voxelizationfx* voxelizer = asVoxelizer(component))
            voxelizer->materialIndex = row;
    };
}

// ---- Creation ----

bool voxelizationfx::InitPrograms()
{
    VoxelizerPrograms& p = voxelizerPrograms;
    const struct {
        ShaderProgram** slot;
        const char* path;
    } programs[] = {
        {&p.copy, "shaders/materials/copy_voxel_color_to_texture.comp"},
        {&p.mips, "shaders/materials/voxel_texture_build_mips.comp"},
        {&p.bounce, "shaders/materials/raytrace_voxel_gi_bounce.comp"},
    };
    for (const auto& entry : programs) {
        if (!*entry.slot)
            *entry.slot = shaderLoadProgramCompute(entry.path, shaderGlobalDefines);
        else if ((*entry.slot)->errors)
            shaderReloadProgram(*entry.slot);
    }
    // Without the levels the grid is still usable at full resolution; each dispatch checks its program.
    return usable(p.copy) && usable(p.bounce);
}

EngineComponent* voxelizationfx::Create(const std::string& name)
{
    if (!InitPrograms()) {
        LOG_ERROR("Voxelizer: its compute programs could not be built; no voxelizer is made");
        return nullptr;
    }
    return CreateComponent<voxelizationfx>(name);
}

voxelizationfx::voxelizationfx(const std::string& name) : KitComponent(kVoxelizerRow, name)
{
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&scale, "Scale", 100.0f, 100.0f, 100.0f);
    CvarTreeRegisterBool(&automaticBoundingBox, "Automatic Bounding Box", 1.0f);
    CvarTreeRegisterFloat(&traceMaxRange, "trace max range", 512.0f, 10.0f, 4096.0f);
    CvarTreeRegisterFloat(&lightSmoothingPositionFactor, "light smoothing position factor", 1.0f, 0.0f, 2.0f);
    CvarTreeRegisterFloat(&lightSmoothingNormalFactor, "light smoothing normaln factor", 1.0f, 0.0f, 5.0f);
    CvarTreeRegisterFloat(&lightSmoothingColorFactor, "light smoothing color factor", 1.0f, 0.0f, 5.0f);
    CvarTreeRegisterFloat(&lightFalloff, "light falloff", 0.5f, 0.001f, 0.5f);
    CvarTreeRegisterFloat(&occlusionFalloff, "occlusion falloff", 0.5f, 0.001f, 0.5f);
    CvarTreeRegisterFloat(&lightTraceDistanceScale, "light trace distance scale", 1.0f, 0.1f, 5.0f);
    CvarTreeRegisterFloat(&reprojectionTolerance, "reprojection tolerance", 20.0f, 0.1f, 50.0f);
    CvarTreeRegisterMaterial(&materialRaytrace, "material_raytrace",
                             MaterialManager::findRootMaterial("voxelization_partitioning"));
    CvarTreeRegisterFloat(&renderDebug, "render_debug", 0.0f, 0.0f, 2.0f);
    CvarTreeRegisterBool(&renderDebugBounce, "render_debug_bounce", 0.0f);
    CvarTreeRegisterBool(&enabled, "enabled", 1.0f);
    CloseBranch();
    for (Cvar* keyed : {&position, &scale, &traceMaxRange})
        keyed->animatable = true;
}

voxelizationfx::~voxelizationfx()
{
    delete partitioningMaterial;
    delete visualizeMaterial;
    fbDestroy(framebuffer);
}

bool voxelizationfx::CreateGpuObjects()
{
    partitioningMaterial = materialCreateFromRoot("voxelization_partitioning");
    visualizeMaterial = materialCreateFromRoot("voxelization_partitioning_visualize");
    // Each cube takes its voxel's colour.
    if (visualizeMaterial)
        visualizeMaterial->setOverrideSource(vertexColorAlbedoOverride);
    framebuffer = fbCreate("voxelization");
    if (framebuffer) {
        framebuffer->width = RAYTRACE_GRID_RESOLUTION;
        framebuffer->height = RAYTRACE_GRID_RESOLUTION;
    }
    voxelizerInstallHooks();
    return true;
}

// ---- Placement ----

bool voxelizationfx::GetTransformCvars(Cvar** positionOut, Cvar** rotationOut, Cvar** scaleOut)
{
    *positionOut = &position;
    *rotationOut = nullptr;
    *scaleOut = &scale;
    return true;
}

void voxelizationfx::Box(float (&min)[3], float (&max)[3]) const
{
    for (int k = 0; k < 3; ++k) {
        min[k] = position.value[k] - scale.value[k] * 0.5f;
        max[k] = position.value[k] + scale.value[k] * 0.5f;
    }
}

Matrix voxelizationfx::BoxMatrix() const
{
    Matrix m = Matrix::Scale(scale.value[0], scale.value[1], scale.value[2]);
    m.m[3] = position.value[0];
    m.m[7] = position.value[1];
    m.m[11] = position.value[2];
    return m;
}

void voxelizationfx::Execute(RenderItemBuilder& builder, Timestep)
{
    if (currentRaytraceScene) {
        currentRaytraceScene->voxelGridAutoBounds = isSet(automaticBoundingBox);
        Box(currentRaytraceScene->voxelGridMin, currentRaytraceScene->voxelGridMax);
    }
    // A fixed box shows in the viewport's bounds overlay.
    if (!isSet(automaticBoundingBox))
        builder.AddItem(RenderItem(
            [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
                RegisterBounds(camera, model, pass, time);
            },
            this, BoxMatrix()));
}

void voxelizationfx::RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass, Timestep)
{
    const float box[6] = {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f};
    RegisterSelectedBounds(this, camera, BoxMatrix(), model ? *model : BoxMatrix(), box, SelectedBoundsKind::Box);
}

// ---- Voxelization ----

void voxelizationfx::RenderPartitioning(RaytraceSceneBuffers* scene, Timestep time)
{
    if (!scene) {
        if (!warnedNoScene_)
            LOG_WARNING("Voxelizer: no scene buffers (the project has no raytracer); nothing is voxelized");
        warnedNoScene_ = true;
        return;
    }
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, "VX Partinioning");
    const uint32_t exports = scene->exportedObjectCount;
    // Without voxelized faces the draw command would be whatever an earlier frame left.
    const bool draw = exports > 0 && exports <= RAYTRACE_EXPORT_CAPACITY && scene->voxelizeFaceCount > 0;
    if (draw)
        geomBuildDrawArraysIndirect(scene->drawIndirectParams, scene->transformedDataLocation,
                                    int(4 * exports - 1)); // the last record's running total of voxelized faces

    fbPush();
    setcurrent(framebuffer);
    {
        ScopedGpuTimer scope("VXPartition:GeometryRender", false);
        ShaderProgram* program =
            draw && partitioningMaterial ? partitioningMaterial->getProgram(Renderer::PASS_DEFERRED) : nullptr;
        if (program) {
            rendererBindGlobalInputs(program, time);
            shaderUseProgram(program);
            raytracerSetVertexLayout(program, "in");

            RenderState state = renderStateTop();
            state.cullMode = 2;
            state.depthTest = false;
            state.depthWrite = false;
            // Where the driver lacks it, faces thinner than a voxel may miss voxels their edges touch.
            state.conservativeRaster = raytracerHasConservativeRaster();
            if (!state.conservativeRaster && !warnedConservative_)
                LOG_WARNING("Voxelizer: the driver has no conservative rasterisation; thin faces may miss voxels");
            warnedConservative_ = true;
            renderStatePush(state);
            glViewport(0, 0, RAYTRACE_GRID_RESOLUTION, RAYTRACE_GRID_RESOLUTION);
            glClipControl(GL_LOWER_LEFT, GL_NEGATIVE_ONE_TO_ONE);
            deferredBindLightSamplers(program);
            setInt(program, "g_lights_num", int(frameLights.size()));
            deferredBindMaterialTextures(program);

            BufferBindings buffers;
            shaderBindingsCreate(buffers);
            shaderBindingsAddVoxels(buffers, scene);
            shaderBindBuffers(program, buffers);
            glBindBuffer(GL_DRAW_INDIRECT_BUFFER, scene->drawIndirectParams->glId);
            glBindVertexArray(raytracerEmptyVertexArray());
            glDrawArraysIndirect(GL_TRIANGLES, nullptr);
            glBindVertexArray(0);
            glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
            glMemoryBarrier(GL_ALL_BARRIER_BITS);

            glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
            renderStatePop();
            raytracerUnbindStorageBlocks(program);
            releaseProgram();
        }
    }
    fbPop();

    const VoxelVolumes volumes = voxelVolumesOf(scene);
    {
        ScopedGpuTimer scope("VXPartition:CopyToTexture", false);
        voxelizerCopyToTextures(volumes);
    }
    {
        ScopedGpuTimer scope("VXPartition:Downsample", false);
        voxelizerBuildMips(volumes);
    }
    glPopDebugGroup();
}

// ---- Debug view ----

void voxelizationfx::RenderDebug(Camera* camera, RaytraceSceneBuffers* scene)
{
    if (renderDebug.value[0] < 1.0f || !camera || !scene || !visualizeMaterial)
        return;
    ShaderProgram* program = visualizeMaterial->getProgram(Renderer::PASS_DEFERRED);
    if (!program)
        return;
    const bool bounce = isSet(renderDebugBounce);
    if (bounce && scene->exportedObjectCount > 0)
        voxelizerBounce(voxelVolumesOf(scene), scene->voxelBounceColorTexture, 0.5f);

    rendererBindGlobalInputs(program, Timestep{});
    shaderUseProgram(program);
    if (scene->exportedObjectCount == 0) {
        releaseProgram();
        return;
    }
    ScopedGpuTimer scope("VX:Debug Render", false);
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, "VX Debug Visualization");

    const float planes[4] = {camera->nearPlane, camera->farPlane, 2.0f * camera->nearPlane * camera->farPlane,
                             camera->farPlane - camera->nearPlane};
    shaderSetUniform(program, "vNearFarPlane", UNIFORM_TYPE_VEC4, planes, sizeof planes);
    setIntIfPresent(program, "materialId", kDebugMaterialId);
    setIntIfPresent(program, "materialIndex", materialIndex);
    raytracerSetVertexLayout(program, "in");

    Texture* colours = bounce ? scene->voxelBounceColorTexture : scene->voxelColorTexture;
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "s_voxel_colors", colours, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "s_voxel_colors_filtered", colours, SAMPLER_TRILINEAR_CLAMP);
    shaderBindingsAddTexture(textures, "s_voxel_occupancy", scene->voxelOccupancyTexture, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "s_voxel_occupancy_filtered", scene->voxelOccupancyTexture,
                             SAMPLER_TRILINEAR_CLAMP);
    shaderBindTextures(program, textures);

    // An identity model seen by the camera.
    TransformParams transform = transformParamsFor(*camera, Matrix());
    transform.modelViewInvTranspose = Matrix();
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddVoxels(buffers, scene);
    shaderBindingsAddData(buffers, "TransformParamsBuffer", &transform, sizeof transform);
    shaderBindBuffers(program, buffers);

    RenderState state = renderStateTop();
    state.cullMode = 2;
    state.depthFunc = 5;
    state.depthTest = true;
    state.depthWrite = true;
    state.blendOp = 0;
    renderStatePush(state);
    // Above 1.95 the cubes add up, so dense regions glow.
    const bool blended = renderDebug.value[0] > 1.95f;
    if (blended) {
        glEnable(GL_BLEND);
        glBlendFunc(GL_ONE, GL_ONE);
    }
    glBindVertexArray(raytracerEmptyVertexArray());
    glDrawArraysInstanced(GL_TRIANGLE_STRIP, 0, 14,
                          RAYTRACE_GRID_RESOLUTION * RAYTRACE_GRID_RESOLUTION * RAYTRACE_GRID_RESOLUTION);
    glBindVertexArray(0);
    if (blended)
        glDisable(GL_BLEND);
    renderStatePop();
    raytracerUnbindStorageBlocks(program);
    releaseProgram();
    glPopDebugGroup();
}
