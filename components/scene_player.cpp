#include "components/scene_player.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/camera_component.h"
#include "components/light_component.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/builtin_shapes.h"
#include "render/camera_controller.h"
#include "render/deferred_composite.h"
#include "render/deferred_lighting.h"
#include "render/deferred_postprocess.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/scene.h"
#include "render/selection_bounds.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace gl;

sceneplayerfx* currentScenePlayer = nullptr;
ScenePlayerVoxelHooks scenePlayerVoxelHooks;

namespace {

constexpr int kScenePlayerRow = 0;
constexpr int kRaytracerRow = 4;
constexpr int kVoxelizerRow = 5;
constexpr int kFallbackWidth = 1920;
constexpr int kFallbackHeight = 1080;

int outputWidth() { return screenWidth > 0 ? screenWidth : kFallbackWidth; }
int outputHeight() { return screenHeight > 0 ? screenHeight : kFallbackHeight; }

bool geometryDirty(const Geometry* geometry)
{
    for (const BufferObject* buffer : geometry->buffers)
        if (buffer && buffer->dirty)
            return true;
    for (const GeometrySurface* surface : geometry->surfaces)
        if (surface && surface->indexBuffer && surface->indexBuffer->dirty)
            return true;
    return false;
}

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

// A parameter of another component, found by name in its own branch (not below); 0 when it has none. The
// voxelizer is read this way so the scene player needs nothing of its class.
float componentValue(EngineComponent* component, const char* name)
{
    CvarTreeNode* branch = component ? component->GetCvarTree() : nullptr;
    if (!branch)
        return 0.0f;
    for (const Cvar* cvar : branch->cvars)
        if (cvar && cvar->name == name)
            return cvar->value[0];
    return 0.0f;
}

// The light, object or camera a linked payload carries; null for anything else.
const void* linkedEntity(const Resource* payload)
{
    if (auto* light = resourceCast<LightResource>(payload, ResourceType::Light))
        return light->light;
    if (auto* object = resourceCast<FileResource>(payload, ResourceType::Object))
        return object->GetObject();
    if (auto* camera = resourceCast<CameraResource>(payload, ResourceType::Camera))
        return camera->camera;
    return nullptr;
}

// The voxelizer's parameters latched into words 0-7, in the settings' order.
constexpr const char* kLatchedVoxelValues[8] = {
    "light smoothing position factor", "light smoothing normaln factor", "light smoothing color factor",
    "light falloff",                   "occlusion falloff",              "light trace distance scale",
    "reprojection tolerance",          "trace max range",
};

// A child branch of parent, found by name or created, made current for the registrations that follow.
void enterChildBranch(CvarTreeNode* parent, const std::string& name)
{
    for (CvarTreeNode* child : parent->children)
        if (child->name == name) {
            cvarTreeCurrentBranch = child;
            return;
        }
    auto* child = new CvarTreeNode(name, parent);
    parent->children.push_back(child);
    cvarTreeCurrentBranch = child;
}

using CompositeRecord = DeferredCompositeParams;
constexpr ParameterBinding<sceneplayerfx, CompositeRecord> kCompositeParams[] = {
    {&sceneplayerfx::ambient, KIT_FIELD(CompositeRecord, ambient)},
    {&sceneplayerfx::fill, KIT_FIELD(CompositeRecord, fill)},
    {&sceneplayerfx::fogColor, KIT_FIELD(CompositeRecord, fogColor)},
    {&sceneplayerfx::fogRange, KIT_FIELD(CompositeRecord, fogRange)},
    {&sceneplayerfx::fogHeight, KIT_FIELD(CompositeRecord, fogHeight)},
    {&sceneplayerfx::fogHeightDensity, KIT_FIELD(CompositeRecord, fogHeightDensity)},
    {&sceneplayerfx::vxOcclusionStrength, KIT_FIELD(CompositeRecord, vxOcclusionStrength)},
    {&sceneplayerfx::vxIlluminationStrength, KIT_FIELD(CompositeRecord, vxIlluminationStrength)},
    {&sceneplayerfx::ssrStrength, KIT_FIELD(CompositeRecord, ssrStrength)},
    {&sceneplayerfx::fogStrength, KIT_FIELD(CompositeRecord, volumetricFogStrength)},
    {&sceneplayerfx::fogIntensity, KIT_FIELD(CompositeRecord, volumetricFogIntensity)},
    {&sceneplayerfx::taaBlendFactor, KIT_FIELD(CompositeRecord, newFrameBlendFactor)},
    {&sceneplayerfx::taaClampGamma, KIT_FIELD(CompositeRecord, neighborhoodClampGamma)},
};
static_assert(bindingsFit(kCompositeParams));

// The volumetric-fog parameters the voxel lighting and fog passes read with the voxelizer's words.
constexpr ParameterBinding<sceneplayerfx, VoxelLightingSettings> kFogSettings[] = {
    {&sceneplayerfx::fogScattering, KIT_FIELD(VoxelLightingSettings, scattering)},
    {&sceneplayerfx::fogTraceStep, KIT_FIELD(VoxelLightingSettings, traceStep)},
    {&sceneplayerfx::fogSamplingMip, KIT_FIELD(VoxelLightingSettings, samplingMip)},
};
static_assert(bindingsFit(kFogSettings));

constexpr Renderer::Pass kFunctionPassKinds[sceneplayerfx::FP_COUNT] = {
    Renderer::PASS_RENDER_BEGIN,   Renderer::PASS_GEOMETRY_PARTITION,  Renderer::PASS_VOXELIZATION,
    Renderer::PASS_VOXEL_LIGHTING, Renderer::PASS_VOLUMETRIC_FOG,      Renderer::PASS_VOXELIZATION_DEBUG,
    Renderer::PASS_LIGHTING,       Renderer::PASS_RENDER_END,          Renderer::PASS_RENDER_WIREFRAME,
    Renderer::PASS_COMPOSITE,
};

RenderPassItem functionEntry(RenderFunctionItem* function, Renderer::Pass pass, Camera* camera)
{
    RenderPassItem e;
    e.camera = camera;
    e.function = function;
    e.pass = pass;
    return e;
}

RenderPassItem itemEntry(RenderItem* item, Renderer::Pass pass, Camera* camera, const Matrix& view,
                         const Matrix& projection)
{
    RenderPassItem e;
    e.view = view;
    e.projection = projection;
    e.camera = camera;
    e.item = item;
    e.pass = pass;
    return e;
}

} // namespace

EngineComponent* sceneplayerfx::Create(const std::string& name)
{
    Scene* scene = Scene::Create();
    Camera* camera = entCreateCamera(90.0f);
    camera->aspect = cameraOutputAspect();
    scene->cameras.push_back(camera);
    scene->activeCamera = camera;
    return CreateWithScene(name, scene);
}

sceneplayerfx* sceneplayerfx::CreateWithScene(const std::string& name, Scene* scene)
{
    if (!scene || scene->cameras.empty() || !scene->cameras.front()) {
        LOG_ERROR("Scene player %s needs a scene with a camera", name.c_str());
        delete scene;
        return nullptr;
    }
    auto* player = static_cast<sceneplayerfx*>(CreateComponent<sceneplayerfx>(name));
    player->scene = scene;
    player->ownCamera = scene->cameras.front();
    player->controller->attached = player->ownCamera;
    player->cameraIdx.max = float(scene->cameras.size());
    return player;
}

sceneplayerfx::sceneplayerfx(const std::string& name) : KitComponent(kScenePlayerRow, name)
{
    ownsController = true;
    if (Material* root = MaterialManager::findRootMaterial("flat")) {
        material = new Material(root->name, root->id, root->deferredProgram, root->shadowmapProgram);
        material->parent = root;
    }
    controller = new CameraController("controller");
    currentCameraController = controller;

    CvarTreeRegisterFloat(&fov, "fov", 45.0f, 5.0f, 120.0f);
    CvarTreeRegisterFloat(&cameraIdx, "camera_idx", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&nearPlane, "near", 0.01f, 0.01f, 10.0f);
    // The scene cameras' own default far distance.
    CvarTreeRegisterFloat(&farPlane, "far", 1000.0f, 1.0f, 1000.0f);
    CvarTreeRegisterFloat(&time, "time", 0.0f, -5.0f, 30.0f);
    CvarTreeRegisterColor(&ambient, "ambient", 0.3f, 0.3f, 0.3f, 1.0f);
    CvarTreeRegisterColor(&fill, "fill", 0.1f, 0.1f, 0.1f, 1.0f);
    CvarTreeRegisterColor(&fogColor, "fog color", 0.0f, 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&fogRange, "fog range", 1000.0f, 10.0f, 10000.0f);
    CvarTreeRegisterFloat(&fogHeight, "fog height", 1000.0f, 10.0f, 10000.0f);
    CvarTreeRegisterFloat(&fogHeightDensity, "fog height density", 0.2f, 0.0f, 1.0f);
    CvarTreeRegisterResource(&envmap, "envmap", "env_texture::default", ResourceType::Envmap);
    CvarTreeRegisterFloat(&envmapIntensity, "envmap intensity", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&shadowSplit, "shadowsplit", 0.75f, 0.1f, 0.995f);
    CvarTreeRegisterBool(&ssrEnabled, "Screen Space Reflections", 0.0f);
    CvarTreeRegisterFloat(&ssrDepthThickness, "SSR Depth Thickness", 0.1f, 0.0f, 5.0f);
    CvarTreeRegisterFloat(&ssrStrength, "SSR Strength", 0.1f, 0.0f, 5.0f);
    CvarTreeRegisterBool(&ssaoEnabled, "Screen Space Ambient Occlusion", 0.0f);
    CvarTreeRegisterFloat(&ssaoIntensity, "SSAO Intensity", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&ssaoBias, "SSAO Bias", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&ssaoRadius, "SSAO Radius", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&vxOcclusionStrength, "VX Occlusion Strength", 0.1f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&vxIlluminationStrength, "VX Illumination Strength", 0.1f, 0.0f, 1.0f);
    enterChildBranch(branch, "Volumetric Fog");
    CvarTreeRegisterFloat(&fogStrength, "Strength", 1.0f, 0.0f, 3.0f);
    CvarTreeRegisterFloat(&fogIntensity, "Intensity", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&fogScattering, "Scattering", 10.0f, 0.0f, 50.0f);
    CvarTreeRegisterFloat(&fogSamplingMip, "Sampling Mip", 3.5f, 0.0f, 4.0f);
    CvarTreeRegisterFloat(&fogTraceStep, "Trace Step", 50.0f, 10.0f, 500.0f);
    CvarTreePopBranch();
    enterChildBranch(branch, "TAA");
    CvarTreeRegisterFloat(&taaBlendFactor, "New Frame Blend Factor", 0.25f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&taaClampGamma, "Neighborhood Clamp Gamma", 0.75f, 0.0f, 1.0f);
    CvarTreePopBranch();
    ambient.alphaEditable = fill.alphaEditable = fogColor.alphaEditable = false;
    cameraIdx.animatable = vxIlluminationStrength.animatable = vxOcclusionStrength.animatable = fov.animatable = true;
    CloseBranch();

    fxPin = new InputPin("fx", {ResourceType::Object, ResourceType::Light, ResourceType::EffectEntity}, true);
    declaredInputs.push_back(fxPin);
    RebuildPinLists();
    cmrPin = new InputPin("cmr", {ResourceType::Camera}, true);
    declaredInputs.push_back(cmrPin);
    RebuildPinLists();
    imgPin = AddOutput("img", ResourceType::Image);
    imageOutput = new ImageResource("image output", nullptr);
    imgPin->payload = imageOutput;

    for (int i = 0; i < FP_COUNT; ++i)
        passItems[i].owner = this;
}

bool sceneplayerfx::CreateGpuObjects()
{
    entLoadBuiltinObjects();
    const std::string fbName = name + "/out/composite";
    compositeFramebuffer = fbCreate(fbName.c_str());
    for (Texture*& texture : compositeTextures)
        texture = txtCreate(TEXTURE_TYPE_2D, outputWidth(), outputHeight(), IMAGE_TYPE_RGBA16F);
    return true;
}

sceneplayerfx::~sceneplayerfx()
{
    if (currentScenePlayer == this)
        currentScenePlayer = nullptr;
    if (viewportCamera && controller && viewportCamera == controller->camera)
        viewportCamera = nullptr;
    delete controller;
    delete material;
    fbDestroy(compositeFramebuffer);
    for (Texture* texture : compositeTextures)
        txtDestroy(texture);
    imgPin->payload = nullptr;
    delete imageOutput;
    // Linked cameras, lights and objects belong to their components; only the own camera is the player's.
    if (scene) {
        CameraController::ForgetCamera(ownCamera);
        delete ownCamera;
        delete scene;
    }
}

bool sceneplayerfx::GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale)
{
    *position = nullptr;
    *rotation = nullptr;
    *scale = nullptr;
    return true;
}

EngineComponent* sceneplayerfx::FindVoxelizer() const
{
    const std::vector<EngineComponent*> found = GraphManager::FindComponentsByType(kVoxelizerRow);
    return found.empty() ? nullptr : found.front();
}

EngineComponent* sceneplayerfx::FindRaytracer() const
{
    const std::vector<EngineComponent*> found = GraphManager::FindComponentsByType(kRaytracerRow);
    return found.empty() ? nullptr : found.front();
}

void sceneplayerfx::Init()
{
    seenLinks.clear();
    scene->objects.Release();
    scene->lights.Release();
    scene->cameras.clear();
    scene->cameras.push_back(ownCamera);
    scene->activeCamera = ownCamera;

    for (int32_t id : fxPin->links) {
        OutputPin* pin = GraphManager::FindOutputPin(id);
        Resource* payload = pin ? pin->payload : nullptr;
        if (auto* light = resourceCast<LightResource>(payload, ResourceType::Light)) {
            if (light->light)
                scene->AddLight(light->light);
        } else if (auto* object = resourceCast<FileResource>(payload, ResourceType::Object)) {
            if (object->GetObject())
                scene->AddObject(object->GetObject());
        }
        seenLinks.push_back({id, payload, linkedEntity(payload)});
    }
    for (int32_t id : cmrPin->links) {
        OutputPin* pin = GraphManager::FindOutputPin(id);
        Resource* payload = pin ? pin->payload : nullptr;
        auto* camera = resourceCast<CameraResource>(payload, ResourceType::Camera);
        if (camera && camera->camera) {
            scene->cameras.push_back(camera->camera);
            scene->activeCamera = camera->camera;
        }
        seenLinks.push_back({id, payload, linkedEntity(payload)});
    }
    cameraIdx.max = float(scene->cameras.size() - 1);
    currentScenePlayer = this;
}

bool sceneplayerfx::LinksChanged() const
{
    size_t next = 0;
    for (const InputPin* pin : {fxPin, cmrPin})
        for (int32_t id : pin->links) {
            if (next >= seenLinks.size() || seenLinks[next].id != id)
                return true;
            const OutputPin* output = GraphManager::FindOutputPin(id);
            const Resource* payload = output ? output->payload : nullptr;
            if (seenLinks[next].payload != payload || seenLinks[next].entity != linkedEntity(payload))
                return true;
            ++next;
        }
    return next != seenLinks.size();
}

void sceneplayerfx::Execute(RenderItemBuilder& builder, Timestep)
{
    if (LinksChanged())
        Init();
    frameCounter += 1;
    const int b = frameCounter % 2;
    // The composite pair follows the output size; made again, both start from zero (the resolve's history too).
    for (Texture* texture : compositeTextures)
        fbFollowOutputSize(texture);
    fbAttach(compositeFramebuffer, FB_ATTACHMENT_COLOR0, compositeTextures[b]);
    fbAttach(compositeFramebuffer, FB_ATTACHMENT_COLOR1, compositeTextures[1 - b]);
    imageOutput->texture = compositeTextures[b];

    for (Light* light : scene->lights) {
        if (light->area && builtinCube && builtinCube->geometry && geometryDirty(builtinCube->geometry))
            geomUpdate(builtinCube->geometry);
        light->proxy = light->area ? builtinCube : nullptr;
    }

    const int count = int(scene->cameras.size());
    const float wanted = std::isfinite(cameraIdx.value[0]) ? std::floor(cameraIdx.value[0]) : 0.0f;
    const int index = int(std::clamp(wanted, 0.0f, float(count - 1)));
    scene->activeCamera = scene->cameras[index];
    if (!controller->IsDetached())
        controller->attached = scene->activeCamera;

    const double t = time.value[0];
    for (Entity* object : scene->objects)
        entApplyAnimation(object, t);
    for (Light* light : scene->lights)
        entApplyAnimation(light, t);
    for (Camera* camera : scene->cameras)
        entApplyAnimation(camera, t);

    Camera* active = scene->activeCamera;
    active->farPlane = farPlane.value[0];
    active->nearPlane = nearPlane.value[0];
    active->fov = fov.value[0];
    active->splitWeight = shadowSplit.value[0];

    currentCameraController = controller;
    scene->Update();
    controller->Update();
    scene->UpdateShadowMatrices(controller->camera);
    viewportCamera = controller->camera;

    PrepareFrame();

    RenderItem item([](Camera*, const Matrix*, Renderer::Pass, Timestep) {}, this, Matrix());
    builder.AddItem(item);
}

void sceneplayerfx::PrepareFrame()
{
    // Execute has just updated the scene, the controller and the shadow matrices; from here on the frame renders
    // through the controller's camera.
    scene->activeCamera = controller->camera;

    // Each frame's shadow maps come from the texture pool, released at the start of every frame; a shadowing light
    // without its map would have nothing to draw into.
    std::vector<Light*> lights;
    for (Light* light : scene->lights) {
        if (light->castsShadows) {
            const unsigned int cascades = std::min<unsigned int>(light->cascadeCount, LIGHT_MAX_CASCADES);
            for (unsigned int i = 0; i < cascades; ++i) {
                Framebuffer* framebuffer = light->shadowFramebuffers[i];
                if (!framebuffer)
                    continue;
                RenderState state;
                state.cullMode = 0;
                state.depthFunc = 5;
                state.depthTest = false;
                renderStatePush(state);
                Texture* depth = txtGetCachedTexture(int32_t(light->shadowMapWidth), int32_t(light->shadowMapHeight),
                                                     IMAGE_TYPE_DEPTH32F);
                fbAttach(framebuffer, FB_ATTACHMENT_DEPTH, depth);
                fbPush();
                if (setcurrent(framebuffer)) {
                    const float one = 1.0f;
                    glClearBufferfv(GL_DEPTH, 0, &one);
                }
                fbPop();
                renderStatePop();
            }
        }
        if (light->intensity > 0.0f)
            lights.push_back(light);
    }
    deferredUpdateLights(scene, lights);
    // The voxelizer's debug view draws its cubes with a row of its own: dim grey, flat, lit and shadowed.
    if (EngineComponent* voxelizer = FindVoxelizer()) {
        deferredRenderInit();
        MaterialProperties row;
        for (int i = 0; i < 3; ++i)
            row.diffuse[i] = row.emissive[i] = 0.1f;
        row.transparency = 0.0f;
        row.roughness = 0.0f;
        row.shadowmapBias = 0.0f;
        row.emissiveFactor = 1.0f;
        row.temporalAccumulationFactor = 1.0f;
        row.triplanarMappingScale = 1.0f;
        row.textureMappingMode = 0;
        row.visible = true;
        row.flat = true;
        row.flagBit256 = true;
        row.flagBit512 = true;
        const int index = materialTableAppend(row);
        if (index >= 0 && scenePlayerVoxelHooks.setMaterialIndex)
            scenePlayerVoxelHooks.setMaterialIndex(voxelizer, index);
    }
    deferredUpdateMaterials();

    // The raytracer's status line. This frame's exports happen later, in the Geometry pass, so it tells the
    // counts of the last frame that was partitioned.
    EngineComponent* raytracer = FindRaytracer();
    if (raytracer && scenePlayerVoxelHooks.setStatus) {
        deferredRenderInit();
        const RaytraceSceneBuffers* buffers = currentRaytraceScene;
        char text[2048];
        std::snprintf(text, sizeof text, "entities:%d faces:%d materials:%d",
                      buffers ? int(buffers->partitionedObjectCount) : 0,
                      buffers ? int(buffers->partitionedFaceCount) : 0, materialCount);
        scenePlayerVoxelHooks.setStatus(raytracer, text);
    }
}

void sceneplayerfx::BindPassItems()
{
    using Fn = void (*)(sceneplayerfx*, Camera*, Timestep);
    static const Fn kCallbacks[FP_COUNT] = {
        [](sceneplayerfx* p, Camera* c, Timestep) { p->RenderBegin(c); },
        [](sceneplayerfx* p, Camera*, Timestep t) { p->GeometryPartition(t); },
        [](sceneplayerfx* p, Camera*, Timestep t) { p->Voxelization(t); },
        [](sceneplayerfx* p, Camera*, Timestep) { p->VoxelLighting(); },
        [](sceneplayerfx* p, Camera*, Timestep) { p->VolumetricFog(); },
        [](sceneplayerfx* p, Camera* c, Timestep) { p->VoxelizationDebug(c); },
        [](sceneplayerfx* p, Camera*, Timestep) { p->Lighting(); },
        [](sceneplayerfx* p, Camera*, Timestep) { p->RenderEnd(); },
        [](sceneplayerfx* p, Camera*, Timestep) {
            ScopedGpuTimer timer("UI: Wireframe", true);
            p->RenderWireframePass();
        },
        [](sceneplayerfx* p, Camera*, Timestep) { p->Composite(); },
    };
    for (int i = 0; i < FP_COUNT; ++i) {
        const Fn fn = kCallbacks[i];
        passItems[i].callback = [this, fn](Camera* camera, Timestep time) { fn(this, camera, time); };
        passItems[i].owner = this;
        passItems[i].dependencies.clear();
    }
}

void sceneplayerfx::AddRenderPasses(RenderItemBuilder& builder, std::vector<RenderPassItem>& passes)
{
    BindPassItems();
    Camera* c = scene->activeCamera;
    auto addFunction = [&](FunctionPass kind) {
        passes.push_back(functionEntry(&passItems[kind], kFunctionPassKinds[kind], c));
    };

    addFunction(FP_RENDER_BEGIN);
    std::vector<Light*> lights(scene->lights.begin(), scene->lights.end());
    std::vector<RenderItem*> paired(lights.size(), nullptr);
    for (size_t l = 0; l < lights.size(); ++l)
        for (RenderItem& item : builder.items)
            if (lights[l]->owner && item.owner == lights[l]->owner)
                paired[l] = &item;

    for (RenderItem& item : builder.items) {
        passes.push_back(itemEntry(&item, Renderer::PASS_GEOMETRY, c, c->view, c->projection));
        for (size_t l = 0; l < lights.size(); ++l) {
            Light* light = lights[l];
            if (!light->excludedTags.empty() && item.owner && item.owner->HasTag(light->excludedTags))
                continue;
            // Without its own item the light keeps the view the scene update gave it.
            if (paired[l]) {
                light->view = paired[l]->model.InverseAffine();
                light->world = paired[l]->model;
            }
            passes.push_back(
                itemEntry(&item, Renderer::PASS_SHADOWMAP, light, light->view, light->shadowMatrices[0]));
        }
    }
    addFunction(FP_GEOMETRY_PARTITION);
    addFunction(FP_VOXELIZATION);
    // The raytracer traces the finished G-buffer, so its Deferred entry follows every other item's.
    const auto tracesGBuffer = [](const RenderItem& item) { return item.owner && item.owner->typeIndex == kRaytracerRow; };
    for (RenderItem& item : builder.items)
        if (!tracesGBuffer(item))
            passes.push_back(itemEntry(&item, Renderer::PASS_DEFERRED, c, c->view, c->projection));
    for (RenderItem& item : builder.items)
        if (tracesGBuffer(item))
            passes.push_back(itemEntry(&item, Renderer::PASS_DEFERRED, c, c->view, c->projection));
    for (FunctionPass kind : {FP_VOXEL_LIGHTING, FP_VOLUMETRIC_FOG, FP_VOXELIZATION_DEBUG, FP_LIGHTING, FP_RENDER_END,
                              FP_RENDER_WIREFRAME, FP_COMPOSITE})
        addFunction(kind);

    std::vector<Light*> lit;
    for (Light* light : lights)
        if (light->intensity > 0.0f)
            lit.push_back(light);
    deferredUpdateLights(scene, lit);
}

void sceneplayerfx::RenderBegin(Camera* camera)
{
    deferredCreateTargets();
    deferredRenderBegin(camera, deferredFindFramebuffer("deferred_deep_shadow"));
    deferredClearTargets();
}

VoxelLightingSettings sceneplayerfx::HandedVoxelSettings() const
{
    VoxelLightingSettings s = voxelSettings;
    writeParameters(*this, kFogSettings, s);
    return s;
}

void sceneplayerfx::GeometryPartition(Timestep time)
{
    EngineComponent* raytracer = FindRaytracer();
    if (raytracer && currentRaytraceScene && scenePlayerVoxelHooks.partitionGeometry)
        scenePlayerVoxelHooks.partitionGeometry(raytracer, currentRaytraceScene, time);
}

void sceneplayerfx::Voxelization(Timestep time)
{
    EngineComponent* voxelizer = FindVoxelizer();
    if (!voxelizer)
        return;
    voxelSettings.voxelized = 0;
    const float enabled = componentValue(voxelizer, "enabled");
    if (enabled < 0.5f)
        return;
    {
        ScopedGpuTimer timer("VXPartition", true);
        if (currentRaytraceScene && scenePlayerVoxelHooks.renderPartitioning)
            scenePlayerVoxelHooks.renderPartitioning(voxelizer, currentRaytraceScene, time);
    }
    float* words[8] = {&voxelSettings.lightSmoothingPositionFactor, &voxelSettings.lightSmoothingNormalFactor,
                       &voxelSettings.lightSmoothingColorFactor,    &voxelSettings.lightFalloff,
                       &voxelSettings.occlusionFalloff,             &voxelSettings.lightTraceDistanceScale,
                       &voxelSettings.reprojectionTolerance,        &voxelSettings.traceMaxRange};
    for (int i = 0; i < 8; ++i)
        *words[i] = componentValue(voxelizer, kLatchedVoxelValues[i]);
    voxelSettings.voxelized = enabled > 0.5f ? 1u : 0u;
}

void sceneplayerfx::VoxelLighting()
{
    deferredSetHBAOParams(isSet(ssaoEnabled), ssaoIntensity.value[0], ssaoBias.value[0], ssaoRadius.value[0]);
    deferredRenderInit();
    deferredRenderer.ssrEnabled = isSet(ssrEnabled);
    deferredRenderer.ssrDepthThickness = ssrDepthThickness.value[0];
    if (!FindVoxelizer())
        return;
    deferredCreateTargets();
    // Without a raytracer's scene buffers the pass clears its targets and dispatches nothing.
    RenderVoxelizationLighting(scene, deferredFindFramebuffer("deferred_deep"), currentRaytraceScene,
                               HandedVoxelSettings());
}

void sceneplayerfx::VolumetricFog()
{
    if (!FindVoxelizer())
        return;
    deferredCreateTargets();
    RenderVolumetricFog(currentRaytraceScene, HandedVoxelSettings());
}

void sceneplayerfx::VoxelizationDebug(Camera* camera)
{
    EngineComponent* voxelizer = FindVoxelizer();
    if (!voxelizer || componentValue(voxelizer, "render_debug") <= 0.0f || !currentRaytraceScene ||
        !scenePlayerVoxelHooks.renderDebug)
        return;
    fbPush();
    if (setcurrent(deferredFindFramebuffer("deferred_deep")))
        scenePlayerVoxelHooks.renderDebug(voxelizer, camera, currentRaytraceScene);
    fbPop();
}

void sceneplayerfx::Lighting()
{
    deferredCreateTargets();
    deferredRenderLights(envmap.text, envmapIntensity.value[0], deferredFindFramebuffer("deferred_deep"));
}

void sceneplayerfx::RenderEnd()
{
    // Closes the framebuffer that RenderBegin opened, and only that one.
    deferredRenderEnd();
    const int w = fbCurrent ? fbCurrent->width : kFallbackWidth;
    const int h = fbCurrent ? fbCurrent->height : kFallbackHeight;
    glViewport(0, 0, w, h);
}

void sceneplayerfx::RenderWireframePass()
{
    scene->Update();
    controller->Update();
    scene->activeCamera = controller->camera;
    RenderState state;
    state.cullMode = 0;
    state.depthFunc = 3;
    renderStatePush(state);
    fbPush();
    deferredCreateTargets();
    Framebuffer* wireframe = deferredFindFramebuffer("fbWireframe");
    if (wireframe && setcurrent(wireframe)) {
        const float black[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        const float one = 1.0f;
        glClearBufferfv(GL_COLOR, 0, black);
        glClearBufferfv(GL_DEPTH, 0, &one);
        const bool drawn = RenderWireframes(controller->camera);
        deferredMarkCompositeInputs(COMPOSITE_INPUT_WIREFRAME, drawn);
    }
    fbPop();
    renderStatePop();
}

DeferredCompositeParams sceneplayerfx::CompositeParams() const
{
    DeferredCompositeParams p;
    writeParameters(*this, kCompositeParams, p);
    return p;
}

void sceneplayerfx::Composite() { DeferredComposite(scene, compositeFramebuffer, CompositeParams()); }
