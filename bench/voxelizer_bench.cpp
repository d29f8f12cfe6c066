// The voxelizer on the shipped "room_rt" (floor, plinth and torus voxelized): the voxelization of the exported
// faces with the copy into the voxel textures and their levels, and the voxel lighting pass with its blur, each
// against a bare compute pass over a target of the same size measured in the same run. Runs on an EGL
// surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
#include "bench/bench_gl.h"
#include "components/component_table.h"
#include "components/primitive_renderer.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "components/voxelizer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/deferred_composite.h"
#include "render/deferred_targets.h"
#include "render/graph_processing.h"
#include "render/scene.h"
#include "render/shader_inputs.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <vector>

using namespace gl;

namespace {

// The reference: one invocation per pixel, one image store each.
const char* const kBareCompute = R"(#version 430
layout(local_size_x = 16, local_size_y = 16) in;
layout(rgba16f, binding = 0) uniform writeonly image2D reference;
void main()
{
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    if (all(lessThan(p, imageSize(reference))))
        imageStore(reference, p, vec4(vec2(p & 255) / 255.0, 0.25, 1.0));
}
)";

using benchgl::finishedMs;

void BM_VoxelizerAgainstBareCompute(benchmark::State& state)
{
    static const bool context = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        componentTypesInstallFactories();
        return true;
    }();
    if (!context) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    screenWidth = width;
    screenHeight = height;
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    constBufferRingInit(1 << 24);
    rendererInitGlobalInputs();
    deferredReleaseTargets();
    deferredRenderInit();
    deferredCreateTargets();
    exportVariables = true;
    if (!sequencer)
        sequencer = new Sequence();
    Project* project = projCreate("room_rt");
    projectList = {project};
    projSetCurrent(project);
    project->resources->load_json(project->path + "/resources.json");
    if (!GraphManager::Load(project->path + "/graph.json") ||
        !SequencerManager::Load(project->path + "/sequencer.json")) {
        state.SkipWithError("the shipped room_rt project did not load");
        return;
    }
    const std::vector<EngineComponent*> raytracers = GraphManager::FindComponentsByType(4);
    const std::vector<EngineComponent*> voxelizers = GraphManager::FindComponentsByType(5);
    auto* raytracer = raytracers.empty() ? nullptr : dynamic_cast<raytracerfx*>(raytracers.front());
    auto* voxelizer = voxelizers.empty() ? nullptr : dynamic_cast<voxelizationfx*>(voxelizers.front());
    if (!raytracer || !voxelizer || !currentScenePlayer) {
        state.SkipWithError("room_rt has no raytracer, voxelizer or scene player");
        return;
    }
    std::vector<primitivefx*> exported;
    for (EngineComponent* component : *currentComponents)
        if (auto* primitive = dynamic_cast<primitivefx*>(component);
            primitive && (primitive->voxelize.value[0] > 0.5f || primitive->raytrace.value[0] > 0.5f ||
                          primitive->reflect.value[0] > 0.5f))
            exported.push_back(primitive);
    for (int warm = 0; warm < 2; ++warm)
        GraphProcessing(130.0f);
    glFinish();

    ShaderProgram* bare =
        shaderBuildProgramCompute(shaderBuildGenericFromString("bare compute", kBareCompute, GL_COMPUTE_SHADER, {}));
    Texture* reference = txtCreateTarget("VoxelizerBenchReference", width, height, IMAGE_TYPE_RGBA16F);
    if (!bare || bare->errors || !reference) {
        state.SkipWithError("the bare compute pass could not be made");
        return;
    }
    RaytraceSceneBuffers* scene = raytracer->sceneBuffers;
    Camera* camera = currentScenePlayer->scene->activeCamera;
    VoxelLightingSettings settings = currentScenePlayer->HandedVoxelSettings();
    settings.voxelized = 1;
    const Matrix identity;

    // Milliseconds of the voxelization (with copy and levels), the voxel lighting and the bare compute pass.
    double totals[3] = {};
    int64_t frames = 0;
    for (auto _ : state) {
        // The frame's exports and grid box, as the Geometry and GeometryPartition passes leave them (not timed).
        scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
        currentRaytraceScene = scene;
        fbPush();
        setcurrent(deferredFindFramebuffer("deferred_deep"));
        for (primitivefx* primitive : exported)
            primitive->Render(camera, &identity, Renderer::PASS_GEOMETRY, Timestep{});
        fbPop();
        raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{});

        double times[3];
        times[0] = finishedMs([&] { voxelizer->RenderPartitioning(scene, Timestep{}); });
        times[1] = finishedMs([&] { RenderVoxelizationLighting(scene, settings); });
        times[2] = finishedMs([&] {
            shaderUseProgram(bare);
            glBindImageTexture(0, reference->glId, 0, GL_FALSE, 0, GL_WRITE_ONLY, GL_RGBA16F);
            glDispatchCompute(GLuint((width + 15) / 16), GLuint((height + 15) / 16), 1);
            shaderUseProgram(nullptr);
        });
        for (int p = 0; p < 3; ++p)
            totals[p] += times[p];
        ++frames;
    }
    shaderDeleteProgram(bare);
    txtDestroy(reference);
    projDestroy(project);
    projectList.clear();
    deferredReleaseTargets();
    if (!frames)
        return;
    const char* const names[] = {"Voxelization ms", "Voxel lighting ms", "Bare compute ms"};
    for (int p = 0; p < 3; ++p)
        state.counters[names[p]] = totals[p] / double(frames);
    if (totals[2] > 0.0) {
        state.counters["Voxelization / bare compute"] = totals[0] / totals[2];
        state.counters["Voxel lighting / bare compute"] = totals[1] / totals[2];
    }
}
BENCHMARK(BM_VoxelizerAgainstBareCompute)->Args({512, 288})->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
