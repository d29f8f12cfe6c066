// GL textures made of CPU images: immutable storage, in-place updates, mip chains, sRGB views and a per-frame
// pool of scratch textures. Main thread only.
#pragma once

#include "jni/engine/grd_image.h"

#include <cstdint>
#include <string>
#include <vector>

// Plain integer codes, so invalid codes reach the lookups (which log and fall back).
using TextureType = int32_t;
constexpr TextureType TEXTURE_TYPE_2D = 1;   // GL_TEXTURE_2D, one image
constexpr TextureType TEXTURE_TYPE_CUBE = 2; // GL_TEXTURE_CUBE_MAP, six faces in GL order +X -X +Y -Y +Z -Z
constexpr TextureType TEXTURE_TYPE_3D = 3;   // GL_TEXTURE_3D, one volume image

// How a texture is sampled when bound for a draw; 0 keeps the texture's own parameters.
using SamplerType = int32_t;
constexpr SamplerType SAMPLER_NONE = 0;
constexpr SamplerType SAMPLER_LINEAR_REPEAT = 1;
constexpr SamplerType SAMPLER_NEAREST_REPEAT = 2;
constexpr SamplerType SAMPLER_LINEAR_CLAMP = 3;
constexpr SamplerType SAMPLER_NEAREST_CLAMP = 4;
constexpr SamplerType SAMPLER_TRILINEAR_CLAMP = 5;
constexpr SamplerType SAMPLER_TRILINEAR_REPEAT = 6;
constexpr SamplerType SAMPLER_TRILINEAR_BORDER = 7;
constexpr SamplerType SAMPLER_NEAREST_MIPMAP_BORDER = 8;

constexpr int TEXTURE_MAX_IMAGES = 6;

struct Texture {
    unsigned int glId = 0;       // 0 until uploaded; non-zero counts as uploaded everywhere
    unsigned int srgbViewId = 0; // 0 until txtCreateSRGBView
    Image* images[TEXTURE_MAX_IMAGES] = {}; // owned; the first imageCount are used (face order for cubes)
    int32_t imageCount = 0;
    TextureType type = TEXTURE_TYPE_2D;
    SamplerType samplerType = SAMPLER_NONE;
    std::string name;
};

// A list of equal 2D textures uploaded as one GL_TEXTURE_2D_ARRAY.
struct TextureArray {
    std::vector<Texture*> textures; // the layers in order; not owned
    unsigned int glId = 0;
    TextureType type = TEXTURE_TYPE_2D; // pixels are uploaded only for 2D layers
};

// ---- Creation and destruction ----

// Zeroed CPU images: one for 2D and 3D, six for a cube; not uploaded. Null after a log line when an image
// cannot be made or the texture type is unknown.
Texture* txtCreate(TextureType textureType, int32_t width, int32_t height, ImageType imageType);
// One 256 x 256 x 256 volume, one level.
Texture* txtCreate3D(ImageType imageType);
// txtCreate, named, uploaded and labelled with the name.
Texture* txtCreateNamed(const char* name, TextureType textureType, int32_t width, int32_t height,
                        ImageType imageType);
// A 2D render target: GPU storage cleared to zero, named and labelled. Its image keeps size and format but has no
// CPU pixels, since only the GPU ever writes or reads it. Null after a log line for an invalid size or format.
Texture* txtCreateTarget(const char* name, int32_t width, int32_t height, ImageType imageType);
// Uploads first when needed, then sets the GL label; null is ignored.
void txtSetLabel(Texture* texture, const char* label);
// A 2D texture around a PNG data file; not uploaded. Null when the file cannot be loaded.
Texture* txtLoad(const char* name);
// Frees the images, the GL texture and its sRGB view; null is ignored.
void txtDestroy(Texture* texture);
// Makes a single-level 2D texture again at width x height in the same record, so every Texture* held elsewhere
// stays valid: same format, name, sampler type, filters and wrap modes, contents zero (an sRGB view is made
// again). The GL name changes, so framebuffers holding it must be set up again (fbResizeTarget does both).
// Same size: nothing happens. False after a log line for null, a cube, volume or mipmapped texture, or a size
// below 1.
bool txtResize(Texture* texture, int32_t width, int32_t height);

// ---- Format lookups (log and fall back on invalid codes) ----

gl::GLenum txtGetInternalFormat(ImageType type);     // fallback GL_RGBA8
const char* txtGetInternalFormatName(ImageType type); // GLSL image-format word; fallback "<unsupported>"
gl::GLenum txtGetDataType(ImageType type);           // fallback GL_UNSIGNED_BYTE
gl::GLenum txtGetTarget(TextureType type);           // fallback 0
bool txtIsFormatInteger(ImageType type);             // fallback false
int countBits(uint32_t value);

// ---- Upload and maintenance ----

// Uploads a texture that has no GL texture yet with immutable storage; an uploaded texture is left alone.
void txtSetupForGL(Texture* texture);
void txtSetupForGLArray(TextureArray* array);
// Re-uploads level 0 of every image of an uploaded 2D or cube texture from its CPU pixels.
void txtUpdate(Texture* texture);
// Re-uploads rows firstRow .. firstRow + height - 1, columns 0 .. width - 1, of level 0 of every image.
void txtUpdateRegion(Texture* texture, int32_t firstRow, int32_t width, int32_t height);
// Drops the CPU pixels of an uploaded texture; a texture that is not uploaded keeps them.
void txtFreeImageData(Texture* texture);
// Gives the texture its full GL mip chain (uploading it with that chain when it is not uploaded yet).
bool txtGenerateMipMaps(Texture* texture);
// An sRGB view of a 2D texture in srgbViewId (the texture itself when its format has no sRGB form).
void txtCreateSRGBView(Texture* texture);

// ---- Scratch pool ----

struct CachedTexture {
    Texture* texture = nullptr;
    bool inUse = false;
};
extern std::vector<CachedTexture> txtCachedTextures;

// A pooled 2D texture of exactly this size and type, marked in use until the next release; made (and named
// "CachedTexture {n}") when every matching one is in use.
Texture* txtGetCachedTexture(int32_t width, int32_t height, ImageType imageType);
// Marks every pooled texture free again; nothing is destroyed or cleared.
void txtReleaseCachedTextures();
// Destroys the pool (process end and tests).
void txtDestroyCachedTextures();
// Destroys the pooled textures of exactly this size that are not in use (those of a size no longer drawn at),
// detaching them from every framebuffer first; returns the destroyed pointers, which are no longer valid, so
// other holders can forget them.
std::vector<const Texture*> txtDestroyCachedTexturesOfSize(int32_t width, int32_t height);
