// One deferred frame's opening and its lighting: deferredRenderBegin flips the history targets, records the
// frame's camera, attaches the G-buffer textures and binds the destination; deferredClearTargets clears them;
// deferredRenderLights shades the G-buffer with every frame light and the environment map in one full-screen
// draw into the current framebuffer. Main thread only.
#pragma once

#include <string>

class Camera;
struct Framebuffer;
struct Texture;

// 1 x 1 black cube "EnvMapFallback" (the record's envMapFallback), sampled when the scene has no environment map;
// made on first use.
Texture* deferredEnvMapFallback();

// 4 bytes, the storage block "DeferredRenderLightsParamsBuffer".
struct DeferredRenderLightsParams {
    float envmapIntensity = 1.0f;
};
static_assert(sizeof(DeferredRenderLightsParams) == 4);

// Starts a deferred frame and makes `destination` current, saving the previous framebuffer. False, with the
// saved framebuffer restored, when the destination cannot be bound.
bool deferredRenderBegin(Camera* camera, Framebuffer* destination);
// Ends the frame: restores the framebuffer that the last successful deferredRenderBegin saved; nothing when that
// begin failed or the frame was ended already (so an outer framebuffer is never popped by mistake).
void deferredRenderEnd();
// Clears the frame's G-buffer, particle, lighting and raytrace targets.
void deferredClearTargets();
// The lighting pass. The environment map is the current project's Envmap resource of that name, else the fallback.
// The frame's shadow maps are copied into the layers of one array texture ("LightShadowmapArray", kept from frame
// to frame while the maps keep their sizes) that the shader samples in place of the per-slot samplers.
void deferredRenderLights(const std::string& envmapName, float envmapIntensity, Framebuffer* gbuffer);

// Tests and benchmarks: forgets an open frame and the reported lighting-program failure.
void deferredLightingRelease();
