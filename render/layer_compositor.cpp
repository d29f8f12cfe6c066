#include "render/layer_compositor.h"

#include "app/frame_loop.h"

FxLayerContext* fxLayerContext = nullptr;

FxLayerContext* fx_layers_create(int width, int height)
{
    auto* context = new FxLayerContext();
    context->width = width;
    context->height = height;
    return context;
}

void fx_layers_render(float time)
{
    // Until the layer types exist, the stack is one scene layer straight into the current framebuffer.
    RenderFrame(time);
}
