// Shared pieces of the deferred pass tests: the renderer's targets at 512 x 288 with the shipped shaders, a camera,
// and a G-buffer written straight from an analytic scene of planes (so the passes under test do not depend on
// the geometry and lighting passes), plus read-back helpers.
#pragma once

#include "app/data_files.h"
#include "app/math_types.h"
#include "editor/event_log.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "render/deferred_composite.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/scene.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace deferredtest {

constexpr int kWidth = 512;
constexpr int kHeight = 288;
inline const std::string kAssets = ENGINE_SOURCE_DIR "assets/";

// Material flag bits of the G-buffer's tag target (commons.glsl).
constexpr uint32_t kFlagRaytrace = 2;
constexpr uint32_t kFlagReflect = 4;
constexpr uint32_t kFlagSSR = 8;
constexpr uint16_t kTagSurface = 0x8000;

// The G-buffer's packed normal and material index, as gbuffer.glsl writes it.
inline uint32_t encodeNormalMaterial(Vector3 n, int material)
{
    const float l1 = std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z);
    float ex = n.x / l1;
    float ey = n.y / l1;
    if (n.z / l1 < 0.0f) {
        const float ox = (1.0f - std::fabs(ey)) * (ex >= 0.0f ? 1.0f : -1.0f);
        const float oy = (1.0f - std::fabs(ex)) * (ey >= 0.0f ? 1.0f : -1.0f);
        ex = ox;
        ey = oy;
    }
    const auto quantise = [](float v) {
        return static_cast<uint32_t>(std::lround(std::clamp(v * 0.5f + 0.5f, 0.0f, 1.0f) * 2047.0f));
    };
    return quantise(ex) | (quantise(ey) << 11) | (static_cast<uint32_t>(material) << 22);
}

// One infinite plane of the test scene and what the G-buffer and the lit image hold where it is seen.
struct Plane {
    Vector3 point;
    Vector3 normal; // unit, facing the camera
    float albedo[3] = {0.5f, 0.5f, 0.5f};
    float lit[3] = {0.2f, 0.2f, 0.2f};
    float metalness = 0.0f;
    float roughness = 0.5f;
    uint32_t flags = 0;
    int material = 1;
};

// The ground, y = 0, and a wall at depth z facing the camera (-z).
inline Plane floorPlane()
{
    Plane plane;
    plane.point = {0.0f, 0.0f, 0.0f};
    plane.normal = {0.0f, 1.0f, 0.0f};
    return plane;
}
inline Plane wallPlane(float z)
{
    Plane plane;
    plane.point = {0.0f, 0.0f, z};
    plane.normal = {0.0f, 0.0f, -1.0f};
    return plane;
}

struct PixelHit {
    bool surface = false;
    Vector3 world;
    Vector3 normal;
};

class DeferredSceneTest : public GLTest {
protected:
    std::string oldBase = dataBasePath();
    EventLog events;
    EventLog* oldEvents = uiEventLog;
    int oldWidth = screenWidth;
    int oldHeight = screenHeight;
    Camera camera;
    std::vector<PixelHit> hits; // per pixel of the last drawScene, rows bottom-up

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(kAssets);
        uiEventLog = &events;
        ui_event_log_connect();
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 22));
        screenWidth = kWidth;
        screenHeight = kHeight;
        deferredReleaseTargets();
        deferredRenderInit();
        deferredCreateTargets();
        deferredRenderer.historyIndex = 0;
        deferredRenderer.hbaoEnabled = false;
        deferredRenderer.ssrEnabled = false;
        renderingMain = 0;
        // What deferredRenderBegin attaches for frame 0.
        fbAttach(deferredRenderer.fbDeferredDeep, 0, deferredRenderer.txtDeferredDepth[0]);
        fbAttach(deferredRenderer.fbDeferredDeep, 2, deferredRenderer.txtDeferredColor[0]);
        fbAttach(deferredRenderer.fbDeferredDeep, 3, deferredRenderer.txtDeferredNormalAttribute);
        fbAttach(deferredRenderer.fbDeferredDeep, 4, deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags);
        fbAttach(deferredRenderer.fbDeferredDeep, 5, deferredRenderer.txtDeferredEmissive);
        fbAttach(deferredRenderer.fbDeferredHBAO, 2, deferredRenderer.txtDeferredHBAO);
        fbAttach(deferredRenderer.fbDeferredLinearDepth, 2, deferredRenderer.txtDeferredLinearDepth);
        setCamera({0.0f, 1.5f, 0.0f}, {20.0f, 0.0f, 0.0f}, 60.0f, 0.1f, 100.0f);
    }
    void TearDown() override
    {
        shaderUseProgram(nullptr);
        deferredRenderRelease();
        constBufferRingShutdown();
        screenWidth = oldWidth;
        screenHeight = oldHeight;
        renderingMain = 0;
        dataSetBasePath(oldBase);
        uiEventLog = oldEvents;
        GLTest::TearDown();
    }

    // The frame's camera (and the previous frame's: the scene stands still).
    void setCamera(Vector3 position, Vector3 rotation, float fov, float nearPlane, float farPlane)
    {
        std::unique_ptr<Camera> made(entCreateCamera(fov));
        camera = *made;
        camera.position = position;
        camera.rotation = rotation;
        camera.nearPlane = nearPlane;
        camera.farPlane = farPlane;
        camera.aspect = static_cast<float>(kWidth) / static_cast<float>(kHeight);
        entSetupTransformation(&camera);
        camera.view = camera.world.InverseAffine();
        deferredRenderer.deferredCamera = camera;
        deferredRenderer.deferredPreviousCamera = camera;
    }

    // The G-buffer depth the engine's projection gives a view distance z.
    float depthOf(float z) const
    {
        const float n = camera.nearPlane;
        const float f = camera.farPlane;
        return (f + n) / (f - n) - 2.0f * f * n / ((f - n) * z);
    }

    // Casts every pixel's view ray against the planes and writes the G-buffer (frame 0) and the lit image.
    void drawScene(const std::vector<Plane>& planes)
    {
        const float t = std::tan(camera.fov * static_cast<float>(M_PI) / 360.0f);
        const Vector3 origin{camera.world.m[3], camera.world.m[7], camera.world.m[11]};
        const size_t count = static_cast<size_t>(kWidth) * kHeight;
        hits.assign(count, PixelHit{});
        std::vector<float> depth(count * 2, 0.0f); // depth, then the stencil word
        std::vector<float> albedo(count * 4, 0.0f);
        std::vector<float> lit(count * 4, 0.0f);
        std::vector<uint32_t> normals(count, 0xC0000000u);
        std::vector<uint16_t> tags(count * 4, 0);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const size_t i = static_cast<size_t>(y) * kWidth + x;
                depth[2 * i] = 1.0f;
                const float u = (static_cast<float>(x) + 0.5f) / kWidth - 0.5f;
                const float v = (static_cast<float>(y) + 0.5f) / kHeight - 0.5f;
                // View-space ray with z = 1, so the hit distance along it is the view distance.
                const Vector3 ray = camera.world.TransformDirection({u * 2.0f * t * camera.aspect, v * 2.0f * t, 1.0f});
                float best = camera.farPlane;
                const Plane* hit = nullptr;
                for (const Plane& plane : planes) {
                    const float facing = ray.Dot(plane.normal);
                    if (facing >= -1e-6f)
                        continue;
                    const float along = (plane.point - origin).Dot(plane.normal) / facing;
                    if (along > camera.nearPlane * 2.5f && along < best) {
                        best = along;
                        hit = &plane;
                    }
                }
                if (!hit)
                    continue;
                hits[i] = {true, origin + ray * best, hit->normal};
                depth[2 * i] = depthOf(best);
                for (int c = 0; c < 3; ++c) {
                    albedo[4 * i + c] = hit->albedo[c];
                    lit[4 * i + c] = hit->lit[c];
                }
                albedo[4 * i + 3] = 1.0f;
                lit[4 * i + 3] = 1.0f;
                normals[i] = encodeNormalMaterial(hit->normal, hit->material);
                tags[4 * i] = static_cast<uint16_t>(std::lround(hit->metalness * 65535.0f));
                tags[4 * i + 1] = static_cast<uint16_t>(std::lround(hit->roughness * 65535.0f));
                tags[4 * i + 2] = static_cast<uint16_t>(hit->flags);
                tags[4 * i + 3] = kTagSurface;
            }
        using namespace gl;
        glTextureSubImage2D(deferredRenderer.txtDeferredDepth[0]->glId, 0, 0, 0, kWidth, kHeight, GL_DEPTH_STENCIL,
                            GL_FLOAT_32_UNSIGNED_INT_24_8_REV, depth.data());
        upload(deferredRenderer.txtDeferredColor[0], albedo);
        upload(deferredRenderer.txtDeferredGlobalShadows, lit);
        glTextureSubImage2D(deferredRenderer.txtDeferredNormalAttribute->glId, 0, 0, 0, kWidth, kHeight, GL_RED_INTEGER,
                            GL_UNSIGNED_INT, normals.data());
        glTextureSubImage2D(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, 0, 0, kWidth, kHeight,
                            GL_RGBA_INTEGER, GL_UNSIGNED_SHORT, tags.data());
    }

    // A whole RGBA float image into a float texture of the output size.
    static void upload(Texture* texture, const std::vector<float>& rgba)
    {
        gl::glTextureSubImage2D(texture->glId, 0, 0, 0, kWidth, kHeight, gl::GL_RGBA, gl::GL_FLOAT, rgba.data());
    }
    static void fill(Texture* texture, float r, float g, float b, float a)
    {
        const float value[4] = {r, g, b, a};
        gl::glClearTexImage(texture->glId, 0, gl::GL_RGBA, gl::GL_FLOAT, value);
    }
    // RGBA floats of level 0, rows bottom-up.
    static std::vector<float> read(const Texture* texture)
    {
        int width = texture->images[0]->width;
        int height = texture->images[0]->height;
        std::vector<float> pixels(static_cast<size_t>(width) * height * 4);
        gl::glGetTextureImage(texture->glId, 0, gl::GL_RGBA, gl::GL_FLOAT,
                              static_cast<gl::GLsizei>(pixels.size() * sizeof(float)), pixels.data());
        return pixels;
    }
    static bool allFinite(const std::vector<float>& values)
    {
        return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
    }
};

} // namespace deferredtest
