// Small deferred scenes for the renderer's tests and benchmark: flat-shaded meshes drawn with a material's
// programs into the G-buffer and the lights' shadow maps, then lit, the way the scene player runs a frame.
// Needs a current GL context with clip depth 0 .. 1.
#pragma once

#include "app/math_types.h"
#include "app/timing.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "render/deferred_lighting.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/scene.h"

#include <glbinding/gl/gl.h>

#include <cstring>
#include <string>
#include <vector>

namespace deferredscene {

// 464 bytes, as renderer components fill "TransformParamsBuffer".
struct TransformParams {
    Matrix model;
    Matrix view;
    Matrix modelInvTranspose;
    Matrix modelView;
    Matrix modelViewInvTranspose;
    Matrix projection;
    Matrix modelInv;
    float cameraPosition[3] = {0, 0, 0};
    float reserved = 0;
};
static_assert(sizeof(TransformParams) == 464);

inline TransformParams transformFor(const Matrix& model, const Matrix& view, const Matrix& projection)
{
    TransformParams t;
    t.model = model;
    t.view = view;
    t.modelInvTranspose = model.InverseAffine().Transposed();
    model.MultiplyTo(view, t.modelView);
    t.modelViewInvTranspose = t.modelView.InverseAffine().Transposed();
    t.projection = projection;
    t.modelInv = model.InverseAffine();
    return t;
}

// Triangles with flat normals, built on the CPU and turned into a geometry the material programs read.
struct Mesh {
    std::vector<float> positions;
    std::vector<float> normals;
    std::vector<uint32_t> indices;

    void quad(const Vector3 (&corners)[4], const Vector3& normal)
    {
        const auto base = uint32_t(positions.size() / 3);
        for (const Vector3& c : corners) {
            positions.insert(positions.end(), {c.x, c.y, c.z});
            normals.insert(normals.end(), {normal.x, normal.y, normal.z});
        }
        indices.insert(indices.end(), {base, base + 1, base + 2, base, base + 2, base + 3});
    }
    // Horizontal square at height y, facing +y.
    void floor(float y, float half)
    {
        quad({{-half, y, -half}, {half, y, -half}, {half, y, half}, {-half, y, half}}, {0, 1, 0});
    }
    // Vertical square at depth z facing -z (toward a camera looking along +z).
    void wall(float z, float half)
    {
        quad({{-half, -half, z}, {half, -half, z}, {half, half, z}, {-half, half, z}}, {0, 0, -1});
    }
    void box(const Vector3& c, float h)
    {
        const Vector3 axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int a = 0; a < 3; ++a) {
            for (float s : {-1.0f, 1.0f}) {
                const Vector3 n = axes[a] * s;
                const Vector3 u = axes[(a + 1) % 3] * h;
                const Vector3 v = axes[(a + 2) % 3] * h;
                const Vector3 m = c + n * h;
                quad({m - u - v, m + u - v, m + u + v, m - u + v}, n);
            }
        }
    }
    Geometry* build() const
    {
        std::vector<VertexAttribute> attributes;
        for (int code :
             {VERTEX_ATTRIBUTE_COORDS, VERTEX_ATTRIBUTE_NORMALS, VERTEX_ATTRIBUTE_ALBEDO, VERTEX_ATTRIBUTE_UV0})
            attributes.push_back(builtinVertexAttributes[code]);
        const auto count = uint32_t(positions.size() / 3);
        Geometry* g = geomCreate(count, 1, attributes);
        std::memcpy(g->FindAttributeBuffer("VTXCoords")->hostCopy, positions.data(), positions.size() * 4);
        std::memcpy(g->FindAttributeBuffer("VTXNormals")->hostCopy, normals.data(), normals.size() * 4);
        auto* albedo = reinterpret_cast<float*>(g->FindAttributeBuffer("VTXAlbedo")->hostCopy);
        std::fill(albedo, albedo + count * 3, 1.0f);
        for (size_t i = 0; i < indices.size(); i += 3)
            geomSurfaceAppendTriangle(g->surfaces[0], indices[i], indices[i + 1], indices[i + 2]);
        geomUpdate(g);
        return g;
    }
};

struct Draw {
    Geometry* geometry;
    int materialRow;
};

// False: every draw uses the material's full deferred program, whatever textures its row has.
inline bool textureVariants = true;

inline MaterialProperties coloured(float r, float g, float b)
{
    MaterialProperties m;
    m.diffuse[0] = r;
    m.diffuse[1] = g;
    m.diffuse[2] = b;
    return m;
}

inline void placeCamera(Camera& camera, const Vector3& position, const Vector3& rotation, float aspect)
{
    camera.fov = 60.0f;
    camera.aspect = aspect;
    camera.nearPlane = 0.1f;
    camera.farPlane = 100.0f;
    camera.position = position;
    camera.rotation = rotation;
    entSetupTransformation(&camera);
    camera.view = camera.world.InverseAffine();
}

inline void placeLight(Light* light, const Vector3& position, const Vector3& rotation)
{
    light->position = position;
    light->rotation = rotation;
    entSetupTransformation(light);
    light->view = light->world.InverseAffine();
    light->shadowMatrices[0] = light->projection;
}

// Deletes a light made by the factories with its shadow framebuffers and a point light's faces.
inline void deleteLight(Light* light)
{
    if (!light)
        return;
    for (Light* face : light->faceLights)
        deleteLight(face);
    for (Framebuffer* fb : light->shadowFramebuffers)
        fbDestroy(fb);
    delete light;
}

// What a test scene made: released together.
struct SceneObjects {
    std::vector<Geometry*> geometries;
    std::vector<Light*> lights;
    std::vector<Texture*> shadowMaps; // made by renderFrame

    void release()
    {
        for (Geometry* g : geometries)
            geomDelete(g);
        for (Light* light : lights)
            deleteLight(light);
        for (Texture* t : shadowMaps)
            txtDestroy(t);
        geometries.clear();
        lights.clear();
        shadowMaps.clear();
    }
};

// Draws one geometry with the program as a renderer component does. False when a declared block had no buffer.
inline bool drawWith(ShaderProgram* program, const Draw& d, const TransformParams& transform)
{
    using namespace gl;
    if (!shaderUseProgram(program))
        return false;
    shaderSetUniform(program, "materialIndex", UNIFORM_TYPE_INT, &d.materialRow, sizeof d.materialRow);
    shaderSetBuiltinBuffersMask(d.geometry, program);
    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    shaderBindingsAddGeometry(bindings, d.geometry);
    shaderBindingsAddInstances(bindings, nullptr);
    shaderBindingsAddData(bindings, "TransformParamsBuffer", &transform, sizeof transform);
    const bool complete = shaderBindBuffers(program, bindings);
    deferredBindMaterialTextures(program);
    glBindVertexArray(d.geometry->vao);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, d.geometry->surfaces[0]->indexBuffer->glId);
    glDrawElements(GL_TRIANGLES, GLsizei(d.geometry->surfaces[0]->triangleCount * 3), GL_UNSIGNED_INT, nullptr);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    glBindVertexArray(0);
    return complete;
}

// One frame as the scene player runs it, with the material's programs; the lit image is left in
// txtDeferredGlobalShadows. Shadow maps of `size` are made for casting lights that have none (owned by the
// caller through `shadowMaps`). False when a step could not run.
inline bool renderFrame(Material* material, Camera& camera, const std::vector<Light*>& lights,
                        const std::vector<Draw>& draws, std::vector<Texture*>& shadowMaps, int shadowSize,
                        const std::string& envmap = "env_texture::default", float envmapIntensity = 1.0f)
{
    using namespace gl;
    ShaderProgram* deferred = material->getProgram(Renderer::PASS_DEFERRED);
    ShaderProgram* shadow = material->getProgram(Renderer::PASS_SHADOWMAP);
    if (!deferred || !shadow)
        return false;
    deferredUpdateMaterials();
    deferredUpdateLights(lights);
    if (!deferredRenderBegin(&camera, deferredRenderer.fbDeferredDeepShadow))
        return false;
    deferredClearTargets();
    RenderState opaque;
    opaque.cullMode = 2;
    renderStateApply(opaque);
    bool ok = true;
    {
        ScopedGpuTimer timer("GBuffer", false);
        fbPush();
        ok = fbBind(deferredRenderer.fbDeferredDeep) && ok;
        glViewport(0, 0, deferredRenderer.fbDeferredDeep->width, deferredRenderer.fbDeferredDeep->height);
        for (const Draw& d : draws) {
            // The variant for the row's textures, as the renderer components draw.
            ShaderProgram* program = deferred;
            if (textureVariants && d.materialRow >= 0 && d.materialRow < kMaterialTableSize)
                program = material->getProgram(Renderer::PASS_DEFERRED, materialTextureMask(materialTable[d.materialRow]));
            ok = drawWith(program ? program : deferred, d, transformFor(Matrix{}, camera.view, camera.projection)) && ok;
        }
        fbPop();
    }
    {
        ScopedGpuTimer timer("Shadowmaps", false);
        for (Light* light : frameLights) {
            Framebuffer* fb = light->castsShadows ? light->shadowFramebuffers[0] : nullptr;
            if (!fb)
                continue;
            if (!fb->slots[FB_ATTACHMENT_DEPTH].texture) {
                Texture* depth = txtCreate(TEXTURE_TYPE_2D, shadowSize, shadowSize, IMAGE_TYPE_DEPTH32F);
                shadowMaps.push_back(depth);
                fbAttach(fb, FB_ATTACHMENT_DEPTH, depth);
            }
            fbPush();
            ok = fbBind(fb) && ok;
            glViewport(0, 0, shadowSize, shadowSize);
            const float one = 1.0f;
            glClearNamedFramebufferfv(fb->glId, GL_DEPTH, 0, &one);
            for (const Draw& d : draws)
                ok = drawWith(shadow, d, transformFor(Matrix{}, light->view, light->shadowMatrices[0])) && ok;
            fbPop();
        }
    }
    glViewport(0, 0, deferredRenderer.fbDeferredDeepShadow->width, deferredRenderer.fbDeferredDeepShadow->height);
    deferredRenderLights(envmap, envmapIntensity, deferredRenderer.fbDeferredDeep);
    deferredRenderEnd();
    return ok;
}

} // namespace deferredscene
