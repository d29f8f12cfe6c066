#include "render/layer_compositor.h"

#include "app/frame_loop.h"
#include "app/projects.h"
#include "project/cvars.h"

FxLayerContext* fxLayerContext = nullptr;

FxLayerContext* fx_layers_create(int width, int height)
{
    auto* context = new FxLayerContext();
    context->width = width;
    context->height = height;

    // The parameter values are read once, from the project current at start-up; the exit writes them back there.
    if (currentProject) {
        CvarTreeLoad(currentProject->path + "/variables.json");
        cvarTreeProject = currentProject;
    }
    return context;
}

void fx_layers_render(float time)
{
    // Until the layer types exist, the stack is one scene layer straight into the current framebuffer.
    RenderFrame(time);
}
