// Environment cube maps: an equirectangular Radiance image becomes a cube of 1024 x 1024 half-float faces (one
// CPU task per face on a short-lived worker pool) whose mip levels are progressively blurred copies of the top
// level, so rough surfaces can sample a level by roughness. Used by the deferred lighting and the raytracer.
// GL work on the main thread only.
#pragma once

#include "jni/engine/grd_texture.h"

#include <cstdint>
#include <string>

constexpr int32_t kEnvmapFaceSize = 1024;
constexpr float kEnvmapBlurScale = 2.0f;

// Where one face texel samples the source image, in source pixels (8 bytes per sample).
struct EnvmapSample {
    float x = 0.0f;
    float y = 0.0f;
};

// The cube texture of a Radiance data file (relative to the asset base path); null, after the loader's log line,
// when the file cannot be read.
Texture* txtLoadEnvmap(const char* name);
// A new uploaded cube of six faceSize x faceSize faces with a full, filtered mip chain; the source is not changed.
// Works on RGB32F (faces RGB16F), RGBA32F (faces RGBA16F), RGB8 and RGBA8 sources. `workers` 0 takes one worker
// per hardware thread minus one. Null after a log line for a source it cannot convert.
Texture* txtConvertEquirectangularToCubemap(const Texture* source, int workers = 0,
                                            int32_t faceSize = kEnvmapFaceSize);
// The positions face `face` (0-5, GL order) of size x size samples in a sourceWidth x sourceHeight image,
// row-major. False for a face or size out of range.
bool envmapBuildSampleMap(int face, int32_t size, int32_t sourceWidth, int32_t sourceHeight, EnvmapSample* map);
// Fills a width x height face image from the source, bilinearly at the map's positions (clamped to the source).
// The face has the converted type of the source (RGB32F -> RGB16F) or, for float sources, the source's own.
// False after a log line when the types or sizes do not fit.
bool imgSampleBilinear(Image* face, int32_t width, int32_t height, const Image* source, const EnvmapSample* map);

// The filter program ("shaders/basic.vsh" + "shaders/composite_blurcube.fsh") and framebuffer "skybox_blur",
// built on first use; true when both are usable.
bool txtFilterCubemapInit();
// Draws every level above 0 of every face, blurred from the level below it; returns the passes drawn (0 for a
// cube without mips, after a warning).
int txtFilterCubemap(Texture* cube, float blurScale);

// Lets the project's "envmap_resources" load through txtLoadEnvmap.
void envmapInstallResourceLoader();
