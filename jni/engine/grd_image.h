// Pixel formats, CPU-side images and the PNG / Radiance loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <glbinding/gl/gl.h>

struct DataFile;

// A plain integer code, so invalid codes can reach the lookups (which log and fall back).
using ImageType = int32_t;

constexpr ImageType IMAGE_TYPE_RGBA8 = 1;
constexpr ImageType IMAGE_TYPE_DEPTH24 = 2;
constexpr ImageType IMAGE_TYPE_DEPTH32F = 3;
constexpr ImageType IMAGE_TYPE_DEPTH32F_STENCIL8 = 4;
constexpr ImageType IMAGE_TYPE_RGB8 = 5;
constexpr ImageType IMAGE_TYPE_RGB32F = 6;
constexpr ImageType IMAGE_TYPE_RGB16F = 7;
constexpr ImageType IMAGE_TYPE_RGBA32F = 8;
constexpr ImageType IMAGE_TYPE_RGBA16F = 9;
constexpr ImageType IMAGE_TYPE_R8 = 10;
constexpr ImageType IMAGE_TYPE_R16F = 11;
constexpr ImageType IMAGE_TYPE_R32F = 12;
constexpr ImageType IMAGE_TYPE_RG8 = 13;
// 14 is unused.
constexpr ImageType IMAGE_TYPE_RG16F = 15;
constexpr ImageType IMAGE_TYPE_COMPRESSED_4BPP = 16;
constexpr ImageType IMAGE_TYPE_RGBA8UI = 17;
constexpr ImageType IMAGE_TYPE_RGBA16UI = 18;
constexpr ImageType IMAGE_TYPE_RG32UI = 19;
constexpr ImageType IMAGE_TYPE_R32UI = 20;
constexpr ImageType IMAGE_TYPE_R16UI = 21;
constexpr ImageType IMAGE_TYPE_R8UI = 22;
constexpr ImageType IMAGE_TYPE_STENCIL8 = 23;

constexpr ImageType IMAGE_TYPE_FIRST = 1;
constexpr ImageType IMAGE_TYPE_LAST = 23;

// Every per-type decision of the device layer. A column that has no value for a type holds 0 / GL_NONE / null
// (code 14 has none at all; code 16 only has its data type and "not integer").
struct ImageTypeInfo {
    ImageType type = 0;
    const char* name = nullptr;        // "IMAGE_TYPE_RGBA8"; null for 14
    int32_t bytesPerPixel = 0;         // 0: none (14, 16)
    gl::GLenum internalFormat{};       // GL_NONE: none
    gl::GLenum uploadFormat{};         // GL_NONE: none
    gl::GLenum dataType{};             // GL_NONE: none
    int8_t integer = -1;               // 1 yes, 0 no, -1 none (14)
    const char* formatWord = nullptr;  // GLSL image-format qualifier; null: none
};

// The table row of a code; null outside 1-23. Never logs.
const ImageTypeInfo* imgTypeInfo(ImageType type);

// Hard limit on mip levels anywhere in the device layer.
constexpr int IMAGE_MAX_LEVELS = 14;
// Largest width, height or depth an image may have; larger sizes in files are refused as corrupt.
constexpr int32_t IMAGE_MAX_DIMENSION = 16384;

// One 2D image, cube face or 3D volume. Owns its level buffers, which are malloc'd: release them with
// imgFreeLevels (or std::free on a single level, setting it to null).
struct Image {
    uint8_t* levels[IMAGE_MAX_LEVELS] = {};
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 1;
    int32_t levelCount = 1;
    ImageType type = 0;
    gl::GLenum glFormat{};   // filled in when the owning texture is uploaded
    gl::GLenum glDataType{};

    Image() = default;
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
};

// Bytes of level 0 for a size and type (type 16: half a byte per pixel, rounded down); 0 for invalid types or
// sizes. Does not log.
size_t imgDataSize(int32_t width, int32_t height, int32_t depth, ImageType type);

// A zero-filled image, depth 1 unless given, levelCount 1. Depth types 2-4 get no CPU pixels. Null (after a log
// line) for sizes outside 1..IMAGE_MAX_DIMENSION or invalid types; null when an allocation fails.
Image* imgCreate(int32_t width, int32_t height, ImageType type, int32_t depth = 1);
// The same record without any CPU pixels (every level null): for images that only ever live on the GPU.
Image* imgCreateWithoutPixels(int32_t width, int32_t height, ImageType type, int32_t depth = 1);
// Deletes the image and its level buffers; null is ignored.
void imgDestroy(Image* image);
// Frees every level buffer and nulls the pointers; the image itself stays.
void imgFreeLevels(Image* image);

// Bytes per pixel of the table; invalid types (14, 16, outside 1-23) log and answer 1.
int32_t imgBytesForImageType(ImageType type);

// Converts `count` pixels of one row (same type: a copy; RGBA8 / RGB8 / R8 to each other and to RG8).
void imgConvert(const void* source, ImageType sourceType, void* destination, ImageType destinationType, int32_t count);

// IEEE half-precision bit pattern; rounds half away from zero on the first dropped bit.
uint16_t floatToHalf(float value);

// PNG from a data file (relative to the asset base path). Null on failure, with the reason logged.
Image* imgLoad(std::string_view name);

// Decodes an open data file as PNG. Appends exactly one message: "loaded texture W x H" or the failure.
// Greyscale files become IMAGE_TYPE_R8, everything else IMAGE_TYPE_RGBA8 (palette, grey+alpha, 16-bit and
// sub-8-bit files are expanded / reduced to 8 bits per channel).
Image* imgLoadTypePNG(DataFile* file, std::vector<std::string>& messages);

// A Radiance ".hdr" file (relative to the asset base path) as IMAGE_TYPE_RGB32F, or IMAGE_TYPE_RGB16F when asked
// for. Null (after a log line) on failure.
Image* imgLoadTypeHDR(std::string_view name, ImageType requestedType = IMAGE_TYPE_RGB32F);

// Radiance decoder: true with a malloc'd array of width x height x 3 floats (release with std::free).
// A file that ends early is still read; the rows it leaves undecoded are zero.
bool imgReadRadianceHDR(const char* path, int32_t* width, int32_t* height, float** pixels);

// `count` pixels of one scanline in the old run-length form, as 4-byte RGBE. When `havePrevious` is set, the 4
// bytes before `scanline` are the pixel a leading repeat code repeats. False at end of file or on a run that
// does not fit the scanline.
bool imgReadRadianceOldRLE(uint8_t* scanline, int32_t count, FILE* file, bool havePrevious = false);
