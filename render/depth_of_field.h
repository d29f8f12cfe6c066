// Depth of field of the "DOF" layer: a circle-of-confusion map from the scene depth, smoothed by a separable
// Gaussian, then the colour blurred by it with a round gather or with two hexagonal-bokeh passes. All compute
// work on textures of the output size made once. Main thread only.
#pragma once

#include "project/cvars.h"

#include <string>

class Camera;
struct ShaderProgram;
struct Texture;

// Work-group edge of the four compute programs (local_size_x = local_size_y).
constexpr int kDofGroupSize = 16;

struct DepthOfField {
    ShaderProgram* renderProgram = nullptr;    // "shaders/post/dof_render.comp"
    ShaderProgram* hexaPass1Program = nullptr; // "shaders/post/dof_render_hexa.comp", DOF_HEXA_PASS1
    ShaderProgram* hexaPass2Program = nullptr; // the same, DOF_HEXA_PASS2
    ShaderProgram* blurProgram = nullptr;      // "shaders/post/blur_gaussian.comp", one r16f channel
    ShaderProgram* cocProgram = nullptr;       // "shaders/post/dof_calculate_coc.comp"
    Texture* coc = nullptr;          // R16F: blur radius in pixels
    Texture* hexaVertical = nullptr; // RGBA16F: hexagonal pass 1, the upward line blur
    Texture* hexaDiagonal = nullptr; // RGBA16F: hexagonal pass 1, upward plus down-left line blurs
    Texture* cocTemp = nullptr;      // R16F: between the two COC blur steps
    Cvar max_radius;                 // largest blur radius, pixels
    Cvar far_factor;                 // focus distance as a fraction of far_plane: nearer stays sharp
    Cvar far_plane;                  // distance at which the blur reaches max_radius
    Cvar show_coc;                   // draws the COC map instead of the image
    Cvar coc_blur;                   // kernel radius of the COC smoothing, pixels
    Cvar hexagonal;                  // hexagonal bokeh instead of round
    std::string name;
    CvarTreeNode* branch = nullptr;
    int width = 0;  // size of the textures
    int height = 0;

    static DepthOfField* Create(const std::string& name);
    // COC map of the depth (a depth texture of the source's size) and its smoothing.
    void CalculateCOC(Camera* camera, Texture* depth, Texture* source);
    // Round gather of source into destination (RGBA16F, the source's size).
    void Render(Camera* camera, Texture* depth, Texture* source, Texture* destination);
    // Hexagonal bokeh of source into destination in two passes.
    void RenderHexagonal(Camera* camera, Texture* depth, Texture* source, Texture* destination);
};

// Work groups covering `size` pixels: the last group is partial, the shaders skip what lies outside.
inline int dofGroupCount(int size)
{
    return size > 0 ? (size + kDofGroupSize - 1) / kDofGroupSize : 0;
}

// Releases the object, its programs and textures, and takes its parameters out of the tree (tests; the engine's
// own lives for the run).
void dofDestroy(DepthOfField* dof);
