// The post-effect layer stack that every frame is drawn through: the layers of the segment "fx_idx" picks run
// between two alternating colour targets. "Effect" layers render the component graph, "DOF" layers blur by depth.
#pragma once

#include "project/cvars.h"

#include <glbinding/gl/types.h>

struct DepthOfField;
struct Framebuffer;
struct Geometry;
struct ShaderProgram;
struct Texture;

// One process-wide record, made by the first fx_layers_create.
struct FxaaResources {
    ShaderProgram* program = nullptr; // "shaders/fxaa/fxaa.vsh" + "shaders/fxaa/fxaa.fsh"
    Geometry* triangle = nullptr;     // full-screen triangle, 1 x 1
    gl::GLuint sampler = 0;           // linear, clamp to edge
    gl::GLuint query = 0;
};
extern FxaaResources* fxaaResources;

struct FxLayerContext {
    int width = 0;
    int height = 0;
    ShaderProgram* edgeDetectProgram = nullptr;
    ShaderProgram* dofProgram = nullptr;
    Framebuffer* framebuffer = nullptr; // "Postprocess"
    Texture* target0 = nullptr;         // RGBA16F, width x height
    Texture* target1 = nullptr;
    Texture* depth = nullptr; // DEPTH32F, the depth attachment of "Postprocess"
    FxaaResources* fxaa = nullptr;
    DepthOfField* dof = nullptr; // "dof_layer"
    Cvar fx_gtime;               // "globals/fx_gtime", 0..100
    Cvar fx_idx;                 // "globals/fx_idx", 0..10: its integer part is the segment drawn
    CvarTreeNode* globals = nullptr; // the branch the two cvars are registered in
};

// Built once at display start-up, before the projects load.
extern FxLayerContext* fxLayerContext;

// Creates the shared shader inputs, reads the current project's "variables.json", and builds the targets, the
// "Postprocess" framebuffer and the parameters "fx_gtime" and "fx_idx". Never freed in the engine.
FxLayerContext* fx_layers_create(int width, int height);
// One frame of the layer stack at time seconds, through fxLayerContext.
void fx_layers_render(float time);
// The same through a given context; returns the target that holds the composed image (null without a context).
// When the output size (screenWidth x screenHeight) differs from the context's, its targets are made again at it
// first.
Texture* fx_layers_render_context(FxLayerContext* context, float time);
// The segment fx_idx's value selects: its integer part, clamped to the 32 segments (NaN counts as 0).
int fx_layers_segment(float fxIdx);
// Releases a context and takes its parameters out of the tree (tests; the engine's own lives for the run).
void fx_layers_destroy(FxLayerContext* context);
