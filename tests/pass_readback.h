// What one component's Deferred pass draws, read back: the pass runs into a cleared 64 x 64 target under the
// pass's render state, seen from z = -5 along +z, and the albedo target's alpha (1 where a surface was drawn)
// comes back. Needs a current GL context with clip depth 0 .. 1.
#pragma once

#include "deferred_scene_util.h"
#include "jni/engine/grd_state.h"
#include "render/entities.h"

#include <glbinding/gl/gl.h>

#include <functional>
#include <vector>

namespace passreadback {

constexpr int kSize = 64;

// `draw` runs the component's Render for Renderer::PASS_DEFERRED with the camera and an identity model.
inline std::vector<float> deferredAlpha(const std::function<void(Camera*, const Matrix*)>& draw)
{
    using namespace gl;
    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -5}, {0, 0, 0}, 1.0f);
    GLuint textures[2] = {};
    glCreateTextures(GL_TEXTURE_2D, 2, textures);
    glTextureStorage2D(textures[0], 1, GL_RGBA32F, kSize, kSize);
    glTextureStorage2D(textures[1], 1, GL_DEPTH_COMPONENT32F, kSize, kSize);
    GLuint framebuffer = 0;
    glCreateFramebuffers(1, &framebuffer);
    glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, textures[0], 0);
    glNamedFramebufferTexture(framebuffer, GL_DEPTH_ATTACHMENT, textures[1], 0);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glViewport(0, 0, kSize, kSize);
    const float clear[4] = {0, 0, 0, 0}, far = 1.0f;
    glClearBufferfv(GL_COLOR, 0, clear);
    glClearBufferfv(GL_DEPTH, 0, &far);
    renderStatePush(RenderState{});
    const Matrix world;
    draw(&camera, &world);
    renderStatePop();
    std::vector<float> rgba(size_t(kSize) * kSize * 4);
    glGetTextureImage(textures[0], 0, GL_RGBA, GL_FLOAT, GLsizei(rgba.size() * 4), rgba.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer);
    glDeleteTextures(2, textures);
    std::vector<float> alpha(size_t(kSize) * kSize);
    for (size_t i = 0; i < alpha.size(); ++i)
        alpha[i] = rgba[4 * i + 3];
    return alpha;
}

// Alpha at pixel (x, y) of deferredAlpha's target.
inline float alphaAt(const std::vector<float>& alpha, int x, int y) { return alpha[size_t(y) * kSize + x]; }

// The x of a point at depth 0 and height 0 as the columns of the target see it: kSize / 2 +- the offset's pixels
// (which side is the projection's business, so both are given).
inline int columnOf(float x, bool mirrored)
{
    const float halfWidth = 5.0f * 0.57735027f; // tan(30 degrees) at 5 units: the camera's 60-degree view
    const float pixels = x / halfWidth * (kSize / 2);
    return int(float(kSize / 2) + (mirrored ? -pixels : pixels));
}

} // namespace passreadback
