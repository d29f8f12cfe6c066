#include "render/environment_map.h"

#include "app/log.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_source.h"
#include "project/resources.h"
#include "render/composite.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace gl;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kFaces = 6;
constexpr int kMaxWorkers = 64;

// Yaw and pitch of each face in GL order +X -X +Y -Y +Z -Z.
constexpr double kFaceAngles[kFaces][2] = {
    {0.0, 0.0}, {kPi, 0.0}, {0.0, -kPi / 2.0}, {0.0, kPi / 2.0}, {-kPi / 2.0, 0.0}, {kPi / 2.0, 0.0},
};

struct CubeFilter {
    ShaderProgram* program = nullptr;
    Framebuffer* framebuffer = nullptr;
};
CubeFilter cubeFilter;

ImageType faceTypeFor(ImageType source)
{
    switch (source) {
    case IMAGE_TYPE_RGB32F: return IMAGE_TYPE_RGB16F;
    case IMAGE_TYPE_RGBA32F: return IMAGE_TYPE_RGBA16F;
    case IMAGE_TYPE_RGB8:
    case IMAGE_TYPE_RGBA8: return source;
    default: return 0;
    }
}

int channelsOf(ImageType type)
{
    switch (type) {
    case IMAGE_TYPE_RGB32F:
    case IMAGE_TYPE_RGB16F:
    case IMAGE_TYPE_RGB8: return 3;
    default: return 4;
    }
}

float sourceChannel(const Image* source, size_t pixel, int channel, int channels)
{
    const size_t index = pixel * size_t(channels) + size_t(channel);
    if (source->type == IMAGE_TYPE_RGB32F || source->type == IMAGE_TYPE_RGBA32F)
        return reinterpret_cast<const float*>(source->levels[0])[index];
    return float(source->levels[0][index]);
}

void writeChannel(Image* face, size_t pixel, int channel, int channels, float value)
{
    const size_t index = pixel * size_t(channels) + size_t(channel);
    if (face->type == IMAGE_TYPE_RGB16F || face->type == IMAGE_TYPE_RGBA16F)
        reinterpret_cast<uint16_t*>(face->levels[0])[index] = floatToHalf(value);
    else if (face->type == IMAGE_TYPE_RGB32F || face->type == IMAGE_TYPE_RGBA32F)
        reinterpret_cast<float*>(face->levels[0])[index] = value;
    else
        face->levels[0][index] = static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// One face: its image, its own sample map, then the sampling. Runs on a worker; no GL, no shared writes.
void convertFace(Texture* cube, const Image* source, int face, int32_t size, ImageType faceType)
{
    ScopedTimer timer("ConvertEqurectToCubemap:" + std::to_string(size) + "x" + std::to_string(size) +
                      " Face:" + std::to_string(face) + "\n");
    Image* image = imgCreate(size, size, faceType);
    if (!image)
        return;
    cube->images[face] = image;
    std::unique_ptr<EnvmapSample[]> map(new (std::nothrow) EnvmapSample[size_t(size) * size_t(size)]);
    if (!map) {
        LOG_ERROR("No memory for the sample map of face %d", face);
        return;
    }
    envmapBuildSampleMap(face, size, source->width, source->height, map.get());
    ScopedTimer mapping("Mapping");
    imgSampleBilinear(image, size, size, source, map.get());
}

// Runs the six face tasks on `workers` threads of a pool made for this call, the calling thread taking tasks too,
// and returns once every face is done.
template <typename Task>
void runFaceTasks(int workers, const Task& task)
{
    std::atomic<int> next{0};
    auto drain = [&](int thread) {
        for (int face = next++; face < kFaces; face = next++) {
            LOG_INFO("Thread:%d , range:%d : %d", thread, face, face + 1);
            task(face);
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(size_t(workers));
    for (int i = 0; i < workers; ++i)
        pool.emplace_back(drain, i + 1);
    drain(0);
    for (std::thread& thread : pool)
        thread.join();
}

Texture* loadEnvmapResource(const std::string& path) { return txtLoadEnvmap(path.c_str()); }

} // namespace

bool envmapBuildSampleMap(int face, int32_t size, int32_t sourceWidth, int32_t sourceHeight, EnvmapSample* map)
{
    if (face < 0 || face >= kFaces || size < 1 || sourceWidth < 1 || sourceHeight < 1 || !map)
        return false;
    const double s = std::sin(kPi / 4.0);
    const double c = std::cos(kPi / 4.0);
    const double yaw = kFaceAngles[face][0];
    const double pitch = kFaceAngles[face][1];
    for (int32_t y = 0; y < size; ++y) {
        for (int32_t x = 0; x < size; ++x) {
            const double a = (double(x) / size - 0.5) * 2.0 * s;
            double b = (double(y) / size - 0.5) * 2.0 * s;
            double lon = 0.0, lat = 0.0;
            if (pitch == 0.0) {
                lon = std::atan2(a, c);
                lat = std::atan2(std::cos(lon) * b, c);
                lon += yaw;
            } else {
                const double r = std::sqrt(a * a + b * b);
                if (pitch > 0.0) {
                    lat = kPi / 2.0 - std::atan2(r, c);
                } else {
                    lat = std::atan2(r, c) - kPi / 2.0;
                    b = -b;
                }
                lon = std::atan2(b, a);
            }
            double u = lon / kPi;
            double v = lat / (kPi / 2.0);
            while (v < -1.0) {
                v += 2.0;
                u += 1.0;
            }
            while (v > 1.0) {
                v -= 2.0;
                u += 1.0;
            }
            while (u < -1.0)
                u += 2.0;
            while (u > 1.0)
                u -= 2.0;
            EnvmapSample& sample = map[size_t(y) * size_t(size) + size_t(x)];
            sample.x = float((sourceWidth - 1) * (u * 0.5 + 0.5));
            sample.y = float((sourceHeight - 1) * (v * 0.5 + 0.5));
        }
    }
    return true;
}

bool imgSampleBilinear(Image* face, int32_t width, int32_t height, const Image* source, const EnvmapSample* map)
{
    if (!face || !source || !map || !face->levels[0] || !source->levels[0]) {
        LOG_ERROR("Bilinear sampling needs a face, a source with pixels and a sample map");
        return false;
    }
    const int channels = channelsOf(source->type);
    const bool floatSource = source->type == IMAGE_TYPE_RGB32F || source->type == IMAGE_TYPE_RGBA32F;
    const bool faceFits = face->type == faceTypeFor(source->type) || (floatSource && face->type == source->type);
    if (faceTypeFor(source->type) == 0 || !faceFits || face->width != width || face->height != height) {
        LOG_ERROR("Cannot sample a type %d source into a %d x %d face of type %d", source->type, width, height,
                  face->type);
        return false;
    }
    const int32_t w = source->width;
    const int32_t h = source->height;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const size_t pixel = size_t(y) * size_t(width) + size_t(x);
            // Clamped, so a map made for another size cannot read outside the source (a NaN reads texel 0).
            const float sx = std::isnan(map[pixel].x) ? 0.0f : std::clamp(map[pixel].x, 0.0f, float(w - 1));
            const float sy = std::isnan(map[pixel].y) ? 0.0f : std::clamp(map[pixel].y, 0.0f, float(h - 1));
            const int32_t x0 = int32_t(sx);
            const int32_t y0 = int32_t(sy);
            const float fx = sx - float(x0);
            const float fy = sy - float(y0);
            const int32_t x1 = std::min(x0 + 1, w - 1);
            const int32_t y1 = std::min(y0 + 1, h - 1);
            const size_t p00 = size_t(y0) * size_t(w) + size_t(x0), p10 = size_t(y0) * size_t(w) + size_t(x1);
            const size_t p01 = size_t(y1) * size_t(w) + size_t(x0), p11 = size_t(y1) * size_t(w) + size_t(x1);
            for (int ch = 0; ch < channels; ++ch) {
                const float top = (1.0f - fx) * sourceChannel(source, p00, ch, channels) +
                                  fx * sourceChannel(source, p10, ch, channels);
                const float bottom = (1.0f - fx) * sourceChannel(source, p01, ch, channels) +
                                     fx * sourceChannel(source, p11, ch, channels);
                writeChannel(face, pixel, ch, channels, top * (1.0f - fy) + bottom * fy);
            }
        }
    }
    return true;
}

Texture* txtConvertEquirectangularToCubemap(const Texture* source, int workers, int32_t faceSize)
{
    const Image* image = source ? source->images[0] : nullptr;
    if (!image || !image->levels[0]) {
        LOG_ERROR("Environment conversion needs a source texture with CPU pixels");
        return nullptr;
    }
    const ImageType faceType = faceTypeFor(image->type);
    if (faceType == 0) {
        LOG_ERROR("Environment conversion does not take images of type %d", image->type);
        return nullptr;
    }
    if (faceSize < 1 || faceSize > IMAGE_MAX_DIMENSION) {
        LOG_ERROR("Invalid cube face size %d", faceSize);
        return nullptr;
    }
    if (workers <= 0)
        workers = std::max(1, int(std::thread::hardware_concurrency()) - 1);
    workers = std::min(workers, kMaxWorkers);

    ScopedTimer timer("ConvertEqurectToCubemap:" + std::to_string(faceSize) + "x" + std::to_string(faceSize));
    auto* cube = new Texture;
    cube->type = TEXTURE_TYPE_CUBE;
    cube->imageCount = kFaces;
    cube->name = source->name.empty() ? "Envmap" : source->name;
    runFaceTasks(workers, [&](int face) { convertFace(cube, image, face, faceSize, faceType); });
    for (int face = 0; face < kFaces; ++face) {
        if (!cube->images[face] || !cube->images[face]->levels[0]) {
            LOG_ERROR("Cube face %d could not be made", face);
            txtDestroy(cube);
            return nullptr;
        }
    }

    if (!txtGenerateMipMaps(cube) || cube->glId == 0) {
        txtDestroy(cube);
        return nullptr;
    }
    // The GPU holds the faces from here on; the filter only reads and writes there.
    txtFreeImageData(cube);
    txtFilterCubemap(cube, kEnvmapBlurScale);
    LOG_INFO("Converter env texture %d", cube->glId);
    return cube;
}

Texture* txtLoadEnvmap(const char* name)
{
    Image* image = imgLoadTypeHDR(name ? name : "");
    if (!image)
        return nullptr;
    Texture source;
    source.type = TEXTURE_TYPE_2D;
    source.imageCount = 1;
    source.images[0] = image; // the record's destructor does not free images: done below
    source.name = name;
    Texture* cube = txtConvertEquirectangularToCubemap(&source);
    imgDestroy(image);
    source.images[0] = nullptr;
    return cube;
}

bool txtFilterCubemapInit()
{
    if (!cubeFilter.program)
        cubeFilter.program =
            shaderLoadProgram("shaders/basic.vsh", "shaders/composite_blurcube.fsh", shaderGlobalDefines);
    if (!cubeFilter.framebuffer)
        cubeFilter.framebuffer = fbCreate("skybox_blur");
    return cubeFilter.program && !cubeFilter.program->errors && cubeFilter.framebuffer;
}

int txtFilterCubemap(Texture* cube, float blurScale)
{
    if (!cube || cube->type != TEXTURE_TYPE_CUBE || cube->glId == 0 || !cube->images[0]) {
        LOG_ERROR("txtFilterCubemap needs an uploaded cube texture");
        return 0;
    }
    const int levels = std::min(cube->images[0]->levelCount, IMAGE_MAX_LEVELS);
    if (levels <= 1) {
        LOG_WARNING("Cubemap didn't have mips assigned to it");
        return 0;
    }
    if (!txtFilterCubemapInit()) {
        LOG_ERROR("Cube filter program unusable; <%s> keeps its unfiltered mips", cube->name.c_str());
        return 0;
    }
    ShaderProgram* program = cubeFilter.program;
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "txtFilterCubemap");
    GLint baseLevel = 0, maxLevel = 1000;
    glGetTextureParameteriv(cube->glId, GL_TEXTURE_BASE_LEVEL, &baseLevel);
    glGetTextureParameteriv(cube->glId, GL_TEXTURE_MAX_LEVEL, &maxLevel);
    int passes = 0;
    for (int f = 0; f < kFaces; ++f) {
        for (int k = 0; k + 1 < levels; ++k) {
            // Only level k is visible to the sampler while level k + 1 is drawn: reading the level being written
            // would be a feedback loop.
            glTextureParameteri(cube->glId, GL_TEXTURE_BASE_LEVEL, k);
            glTextureParameteri(cube->glId, GL_TEXTURE_MAX_LEVEL, k);
            fbAttachCubeFace(cubeFilter.framebuffer, FB_ATTACHMENT_COLOR0, f, k + 1, cube);
            const int face = f;
            const float cone = 0.0001f;
            const float mip = float(k);
            const float params[4] = {float(f), float(k + 1) * blurScale, 1.0f, 0.0f};
            shaderSetUniform(program, "cubeFace", UNIFORM_TYPE_INT, &face, sizeof face);
            shaderSetUniform(program, "cone_angle", UNIFORM_TYPE_FLOAT, &cone, sizeof cone);
            shaderSetUniform(program, "miplevel", UNIFORM_TYPE_FLOAT, &mip, sizeof mip);
            shaderSetUniform(program, "params", UNIFORM_TYPE_VEC4, params, sizeof params);
            if (composite(cubeFilter.framebuffer, program, nullptr, cube, nullptr))
                ++passes;
        }
    }
    glTextureParameteri(cube->glId, GL_TEXTURE_BASE_LEVEL, baseLevel);
    glTextureParameteri(cube->glId, GL_TEXTURE_MAX_LEVEL, maxLevel);
    fbAttach(cubeFilter.framebuffer, FB_ATTACHMENT_COLOR0, nullptr);
    glPopDebugGroup();
    LOG_INFO("Filtered cube <%s>: %d passes", cube->name.c_str(), passes);
    return passes;
}

void envmapInstallResourceLoader()
{
    resourceLoaders.loadEnvmap = &loadEnvmapResource;
}
