// The screen-space passes the final composite runs first: linear depth (view distance per pixel), horizon-based
// ambient occlusion with a depth-aware blur, and screen-space reflections. Main thread only.
#pragma once

#include "app/math_types.h"

#include <cstdint>

class Camera;
struct Framebuffer;
struct Texture;

// A bias of 1 or more would make the occlusion multiplier 1 / (1 - bias) infinite; a radius of 0 the falloff
// -1 / radius^2. Both are held inside these limits.
constexpr float kHBAOMaxBias = 0.95f;
constexpr float kHBAOMinRadius = 0.0001f;

// The occlusion program's uniforms as deferredSetHBAOParams derives them from its arguments.
struct HBAOUniforms {
    float powExponent = 1.0f; // "PowExponent"
    float nDotVBias = 0.0f;   // "NDotVBias"
    float radius = 1.0f;      // "radius" and "R"
    float r2 = 1.0f;          // "R2"
    float negInvR2 = -1.0f;   // "NegInvR2"
    float radiusToScreen = 10.0f; // "RadiusToScreen"
    float aoMultiplier = 1.0f;    // "AOMultiplier"
};
// Non-finite arguments fall back to exponent 1, bias 0, radius 1.
HBAOUniforms deferredComputeHBAOUniforms(float powExponent, float bias, float radius);

// "SSRSetupBuffer", 184 bytes.
struct SSRParams {
    Matrix projection;
    Matrix world;
    float position[3];
    float reserved;
    float extent[4];   // (2 tan(fov / 2) w / h, 2 tan(fov / 2), 0, 0)
    float nearFar[4];  // (near, far, 2 near far, far - near)
    int32_t zero;
    float depthThickness;
};
static_assert(sizeof(SSRParams) == 184);

void deferredFillSSRParams(SSRParams* out, const Camera& camera, int width, int height);

// "vCameraProjectionParams" of the linear-depth and occlusion passes: x, y the fixed extents of a 58 degree
// 16:9 view, z, w the camera's own horizontal and vertical view extents at distance 1 (from its projection, or
// its fov and aspect, else the target's aspect). The shaders use z, w whenever they are positive.
void deferredCameraProjectionParams(const Camera* camera, int width, int height, float out[4]);

// Fills "txtDeferredLinearDepth" from the G-buffer depth.
void deferredRenderLinearDepth(const Camera* camera);
// Switches the occlusion pass and sets its program's uniforms.
void deferredSetHBAOParams(bool enabled, float powExponent, float bias, float radius);
// Occlusion, then the horizontal and vertical blur; the result is "txtDeferredHBAOBlurredV", left attached to
// "deferred_hbao".
void RenderHBAO(const Camera* camera);
// Reflections of the G-buffer framebuffer's surfaces into "SSRDest". The reflection source "SSRSource" is this
// frame's lit image, copied in first.
void RenderSSR(const Camera* camera, Framebuffer* gbuffer);

// Shared by the deferred passes.
// The size of a texture's first image; false (0 x 0) for a null texture or one without images.
bool deferredTextureSize(const Texture* texture, int* width, int* height);
