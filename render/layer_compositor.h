// The post-effect layer stack that every frame is drawn through.
#pragma once

struct FxLayerContext {
    int width = 0;
    int height = 0;
};

// Built once at display start-up, before the projects load.
extern FxLayerContext* fxLayerContext;

FxLayerContext* fx_layers_create(int width, int height);
// One frame of the layer stack at time seconds.
void fx_layers_render(float time);
