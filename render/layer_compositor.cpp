#include "render/layer_compositor.h"

#include "app/log.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/layer_segments.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/composite.h"
#include "render/deferred_targets.h"
#include "render/depth_of_field.h"
#include "render/graph_processing.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>

using namespace gl;

FxLayerContext* fxLayerContext = nullptr;
FxaaResources* fxaaResources = nullptr;

namespace {

constexpr int kLayerEffect = 5;
constexpr int kLayerDOF = 17;

void createFxaaResources()
{
    auto* fxaa = new FxaaResources;
    fxaa->program = shaderLoadProgram("shaders/fxaa/fxaa.vsh", "shaders/fxaa/fxaa.fsh", shaderGlobalDefines);
    fxaa->triangle = geomCreateFullscreenTriangle(1.0f, 1.0f);
    glGenSamplers(1, &fxaa->sampler);
    glSamplerParameteri(fxaa->sampler, GL_TEXTURE_MIN_FILTER, static_cast<GLint>(GL_LINEAR));
    glSamplerParameteri(fxaa->sampler, GL_TEXTURE_MAG_FILTER, static_cast<GLint>(GL_LINEAR));
    glSamplerParameteri(fxaa->sampler, GL_TEXTURE_WRAP_S, static_cast<GLint>(GL_CLAMP_TO_EDGE));
    glSamplerParameteri(fxaa->sampler, GL_TEXTURE_WRAP_T, static_cast<GLint>(GL_CLAMP_TO_EDGE));
    glGenQueries(1, &fxaa->query);
    fxaaResources = fxaa;
}

// The image the window shows: the current project's first published image (the output buffer's "main output").
ImageResource* shownImage()
{
    if (!currentResources)
        return nullptr;
    const std::vector<Resource*> images = currentResources->get_by_type(ResourceType::Image);
    auto* image = images.empty() ? nullptr : dynamic_cast<ImageResource*>(images.front());
    return image && image->texture && image->texture->glId ? image : nullptr;
}

// Blurs source into destination by the depth the deferred renderer left, seen through its camera.
void depthOfFieldLayer(FxLayerContext* context, Texture* source, Texture* destination)
{
    deferredCreateTargets();
    Framebuffer* deep = deferredRenderer.fbDeferredDeep;
    Texture* depth = deep ? deep->slots[FB_ATTACHMENT_DEPTH].texture : nullptr;
    DepthOfField* dof = context->dof;
    if (!dof || !depth) {
        // Without the passes the layer still hands its image on, as if nothing were blurred.
        fbAttach(context->framebuffer, FB_ATTACHMENT_COLOR0, destination);
        compositeBuiltin(context->framebuffer, COMPOSITE_BUILTIN_COPY, source, nullptr);
        return;
    }
    Camera* camera = &deferredRenderer.deferredCamera;
    dof->CalculateCOC(camera, depth, source);
    if (dof->hexagonal.value[0] < 0.5f)
        dof->Render(camera, depth, source, destination);
    else
        dof->RenderHexagonal(camera, depth, source, destination);
}

} // namespace

int fx_layers_segment(float fxIdx)
{
    // Keyed or loaded values can leave the parameter's range; the table has 32 segments and no more.
    static float lastReported = NAN;
    int segment = 0;
    if (std::isnan(fxIdx) || fxIdx <= -1.0f)
        segment = 0;
    else if (fxIdx >= static_cast<float>(kFxSegmentCount))
        segment = kFxSegmentCount - 1;
    else
        return static_cast<int>(fxIdx); // truncated toward zero, so -0.5 is segment 0 too
    if (!(fxIdx == lastReported) && !(std::isnan(fxIdx) && std::isnan(lastReported))) {
        LOG_WARNING("fx_idx %f lies outside the %d segments; drawing segment %d", fxIdx, kFxSegmentCount, segment);
        lastReported = fxIdx;
    }
    return segment;
}

FxLayerContext* fx_layers_create(int width, int height)
{
    auto* context = new FxLayerContext();
    context->width = width;
    context->height = height;

    rendererInitGlobalInputs();

    // The parameter values are read once, from the project current at start-up; the exit writes them back there.
    if (currentProject) {
        CvarTreeLoad(currentProject->path + "/variables.json");
        cvarTreeProject = currentProject;
    }

    GLint drawFramebuffer = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawFramebuffer);
    fbDefaultId = static_cast<unsigned int>(drawFramebuffer);
    fbBind(nullptr);

    context->dofProgram = shaderLoadProgram("shaders/basic.vsh", "shaders/post/dof.fsh", shaderGlobalDefines);
    context->edgeDetectProgram =
        shaderLoadProgram("shaders/basic.vsh", "shaders/post/edgedetect.fsh", shaderGlobalDefines);

    context->framebuffer = fbCreate("Postprocess");
    context->target0 = txtCreateTarget("Postprocess target0", width, height, IMAGE_TYPE_RGBA16F);
    context->target1 = txtCreateTarget("Postprocess target1", width, height, IMAGE_TYPE_RGBA16F);
    context->depth = txtCreate(TEXTURE_TYPE_2D, width, height, IMAGE_TYPE_DEPTH32F);
    txtSetLabel(context->target0, "Postprocess target0");
    txtSetLabel(context->target1, "Postprocess target1");
    txtSetLabel(context->depth, "Postprocess depth");
    fbAttach(context->framebuffer, FB_ATTACHMENT_COLOR0, context->target0);
    fbAttach(context->framebuffer, FB_ATTACHMENT_DEPTH, context->depth);

    if (!fxaaResources)
        createFxaaResources();
    context->fxaa = fxaaResources;

    context->dof = DepthOfField::Create("dof_layer");

    context->globals = CvarTreePushBranch("globals");
    CvarTreeRegisterFloat(&context->fx_gtime, "fx_gtime", 0.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&context->fx_idx, "fx_idx", 0.0f, 0.0f, 10.0f);
    CvarTreePopBranch();
    return context;
}

Texture* fx_layers_render_context(FxLayerContext* context, float time)
{
    if (!context) {
        LOG_ERROR("Layer stack rendered before the compositor exists");
        return nullptr;
    }
    // The targets follow the output size (the start-up warm-up draws small, then full size again).
    if (screenWidth > 0 && screenHeight > 0 && (context->width != screenWidth || context->height != screenHeight)) {
        for (Texture* target : {context->target0, context->target1, context->depth})
            fbResizeTarget(target, screenWidth, screenHeight);
        context->width = screenWidth;
        context->height = screenHeight;
    }
    const int segment = fx_layers_segment(context->fx_idx.value[0]);
    const FxLayerSlot* slots = fx_segments_get_layers(static_cast<uint32_t>(segment));
    Texture* source = context->target0;
    Texture* destination = context->target1;
    if (!slots)
        return source;

    bool blurred = false;
    const int last = std::min(fxLayerTypeMaxIndex, kFxLayerSlots - 1);
    for (int i = 0; i <= last; ++i) {
        const FxLayerSlot& slot = slots[i];
        if (!slot.enabled)
            continue;
        if (slot.typeIndex == kLayerEffect) {
            fbAttach(context->framebuffer, FB_ATTACHMENT_COLOR0, source);
            fbAttach(context->framebuffer, FB_ATTACHMENT_DEPTH, context->depth);
            // Made current as well as bound, so passes inside the graph that save and restore the framebuffer
            // come back to this one.
            fbBind(context->framebuffer);
            RenderFrame(time);
            fbBind(nullptr);
            // The graph publishes its frame as an image rather than drawing into the bound target: that image
            // is what the later layers work on. (It is this target itself when no producer set it this frame
            // since the layers last showed their result there.)
            ImageResource* image = shownImage();
            if (image && image->texture != source)
                compositeBuiltin(context->framebuffer, COMPOSITE_BUILTIN_COPY, image->texture, nullptr);
            glViewport(0, 0, context->width, context->height);
        } else if (slot.typeIndex == kLayerDOF) {
            depthOfFieldLayer(context, source, destination);
            std::swap(source, destination);
            blurred = true;
        }
    }
    // The output buffer sets its image again every frame, so the blurred frame is shown in its place for this
    // frame only; images other producers own keep their textures.
    ImageResource* image = blurred ? shownImage() : nullptr;
    if (image && image->name == "main output")
        image->texture = source;

    // Completes the set-up of the deferred renderer's final target, whose texture the output and the editor read.
    fbPush();
    deferredCreateTargets();
    setcurrent(deferredRenderer.fbDeferredFinalComposite);
    fbPop();
    fbBind(nullptr);
    return source;
}

void fx_layers_render(float time)
{
    fx_layers_render_context(fxLayerContext, time);
}

void fx_layers_destroy(FxLayerContext* context)
{
    if (!context)
        return;
    if (fxLayerContext == context)
        fxLayerContext = nullptr;
    if (context->globals) {
        auto& cvars = context->globals->cvars;
        cvars.erase(std::remove_if(cvars.begin(), cvars.end(),
                                   [&](Cvar* cvar) { return cvar == &context->fx_gtime || cvar == &context->fx_idx; }),
                    cvars.end());
    }
    if (fbCurrent == context->framebuffer)
        fbBind(nullptr);
    fbDestroy(context->framebuffer);
    txtDestroy(context->target0);
    txtDestroy(context->target1);
    txtDestroy(context->depth);
    dofDestroy(context->dof);
    shaderDeleteProgram(context->dofProgram);
    shaderDeleteProgram(context->edgeDetectProgram);
    delete context;
}
