#include "render/composite.h"

#include "app/log.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <array>
#include <string>

using namespace gl;

namespace {

Geometry* quad = nullptr;
ShaderProgram* builtinPrograms[COMPOSITE_BUILTIN_COUNT] = {};

const char* const kSamplerNames[kCompositeMaxTextures] = {"s_texture0", "s_texture1", "s_texture2", "s_texture3",
                                                          "s_texture4", "s_texture5", "s_texture6", "s_texture7",
                                                          "s_texture8", "s_texture9"};

// The units the pass bound its textures to go back to texture 0, so later passes do not sample them by accident.
void releaseTextures(ShaderProgram* program, int count)
{
    for (int i = 0; i < count; ++i) {
        const auto found = program->uniforms.find(kSamplerNames[i]);
        if (found == program->uniforms.end() || !found->second || found->second->location == -1 ||
            !found->second->value)
            continue;
        const auto unit = static_cast<GLuint>(static_cast<const int*>(found->second->value)[0]);
        glBindTextureUnit(unit, 0);
        glBindSampler(unit, 0);
    }
}

} // namespace

Geometry* compositeQuad()
{
    if (!quad)
        quad = geomCreateQuad(1.0f, 1.0f);
    return quad;
}

void compositeInitPrograms()
{
    if (builtinPrograms[COMPOSITE_BUILTIN_COPY])
        return;
    builtinPrograms[COMPOSITE_BUILTIN_COPY] =
        shaderLoadProgram("shaders/composite_copy.vsh", "shaders/basic.fsh", shaderGlobalDefines);
    builtinPrograms[COMPOSITE_BUILTIN_DECODE_NORMALS] =
        shaderLoadProgram("shaders/composite_copy.vsh", "shaders/decode_normals.fsh", shaderGlobalDefines);
}

ShaderProgram* compositeBuiltinProgram(int programIndex)
{
    if (programIndex < 0 || programIndex >= COMPOSITE_BUILTIN_COUNT)
        return nullptr;
    compositeInitPrograms();
    return builtinPrograms[programIndex];
}

bool compositeV(Framebuffer* destination, ShaderProgram* program, const Timestep* timestep, Texture* first,
                va_list rest)
{
    // The names stop at "s_texture9": an eleventh texture would have no sampler to land in.
    std::array<Texture*, kCompositeMaxTextures> textures{};
    int count = 0;
    for (Texture* texture = first; texture; texture = va_arg(rest, Texture*)) {
        if (count == kCompositeMaxTextures) {
            LOG_ERROR("composite takes at most %d textures; the pass into <%s> is not drawn", kCompositeMaxTextures,
                      destination ? destination->name.c_str() : "window");
            return false;
        }
        textures[count++] = texture;
    }
    if (!program) {
        LOG_ERROR("composite without a program; the pass into <%s> is not drawn",
                  destination ? destination->name.c_str() : "window");
        return false;
    }

    Geometry* geometry = compositeQuad();
    compositeInitPrograms();
    // A full stack cannot save the binding, so it is put back by hand instead of popping someone else's entry.
    Framebuffer* const previous = fbCurrent;
    const bool pushed = fbStackTop < FB_STACK_CAPACITY;
    fbPush();
    auto restoreFramebuffer = [&] {
        if (pushed) {
            fbPop();
        } else {
            fbCurrent = previous;
            setcurrent(previous);
        }
    };

    aglAssertMainThread();
    fbCurrent = destination;
    if (!setcurrent(destination)) {
        LOG_INFO("Destination framebuffer %s not valid", destination ? destination->name.c_str() : "window");
        restoreFramebuffer();
        return false;
    }
    const int width = destination ? destination->width : screenWidth;
    const int height = destination ? destination->height : screenHeight;

    if (!shaderUseProgram(program) || !geometry) {
        LOG_ERROR("composite into <%s>: the program cannot be used; nothing is drawn",
                  destination ? destination->name.c_str() : "window");
        restoreFramebuffer();
        return false;
    }
    const Timestep none{};
    rendererBindGlobalInputs(program, timestep ? *timestep : none);
    shaderSetOrthographic(program, -0.5f, 0.5f, 100.0f, 1.0f, -1.0f, -200.0f);

    shaderSetAttributesFromGeometry(program, geometry);
    const GeometrySurface* surface = geometry->surfaces.empty() ? nullptr : geometry->surfaces[0];
    const GLuint indexBuffer = surface && surface->indexBuffer ? surface->indexBuffer->glId : 0;
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer);

    TextureBindings bindings;
    for (int i = 0; i < count; ++i)
        shaderBindingsAddTexture(bindings, kSamplerNames[i], textures[i]);
    shaderBindTextures(program, bindings);

    const float resolution[2] = {static_cast<float>(width), static_cast<float>(height)};
    const float resolutionInv[2] = {width ? 1.0f / static_cast<float>(width) : 0.0f,
                                    height ? 1.0f / static_cast<float>(height) : 0.0f};
    // Offered to every full-screen program; one that does not read them is not warned about them.
    if (program->uniforms.count("vResolution"))
        shaderSetUniform(program, "vResolution", UNIFORM_TYPE_VEC2, resolution, sizeof resolution);
    if (program->uniforms.count("vResolutionInv"))
        shaderSetUniform(program, "vResolutionInv", UNIFORM_TYPE_VEC2, resolutionInv, sizeof resolutionInv);

    glViewport(0, 0, width, height);
    RenderState state = renderStateTop();
    state.cullMode = 2;
    state.depthWrite = false;
    state.depthTest = false;
    renderStatePush(state);
    if (indexBuffer != 0 && surface)
        glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(3 * surface->triangleCount), GL_UNSIGNED_INT, nullptr);
    renderStatePop();

    glViewport(0, 0, width, height);
    releaseTextures(program, count);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    restoreFramebuffer();
    return true;
}

bool composite(Framebuffer* destination, ShaderProgram* program, const Timestep* timestep, Texture* first, ...)
{
    va_list rest;
    va_start(rest, first);
    const bool drawn = compositeV(destination, program, timestep, first, rest);
    va_end(rest);
    return drawn;
}

bool compositeBuiltin(Framebuffer* destination, int programIndex, Texture* first, ...)
{
    ShaderProgram* program = compositeBuiltinProgram(programIndex);
    if (!program) {
        LOG_ERROR("No built-in composite program %d", programIndex);
        return false;
    }
    const Timestep zero{0.0f, 0.0f, false};
    va_list rest;
    va_start(rest, first);
    const bool drawn = compositeV(destination, program, &zero, first, rest);
    va_end(rest);
    return drawn;
}
