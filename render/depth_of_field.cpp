#include "render/depth_of_field.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_texture.h"
#include "render/entities.h"

#include <glbinding/gl/gl.h>

#include <algorithm>

using namespace gl;

namespace {

void reportGlErrors()
{
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError()) {
        log_print("[%s : %4d]\"after %s() glError (0x%x)\\n\"", "checkGlError", __LINE__, "compute",
                  static_cast<unsigned>(error));
        log_end_line();
    }
}

void setFloat(ShaderProgram* program, const char* name, float value)
{
    shaderSetUniform(program, name, UNIFORM_TYPE_FLOAT, &value, sizeof value);
}

void setVec2(ShaderProgram* program, const char* name, float x, float y)
{
    const float value[2] = {x, y};
    shaderSetUniform(program, name, UNIFORM_TYPE_VEC2, value, sizeof value);
}

// What every pass is given: the camera's planes, the image size and the three lens parameters.
void setCommon(DepthOfField& dof, ShaderProgram* program, const Camera* camera, int w, int h)
{
    const float n = camera ? camera->nearPlane : 0.1f;
    const float f = camera ? camera->farPlane : 1000.0f;
    const float planes[4] = {n, f, 2.0f * n * f, f - n};
    shaderSetUniform(program, "vNearFarPlane", UNIFORM_TYPE_VEC4, planes, sizeof planes);
    setVec2(program, "vResolution", float(w), float(h));
    setVec2(program, "vResolutionInv", w ? 1.0f / float(w) : 0.0f, h ? 1.0f / float(h) : 0.0f);
    setFloat(program, "max_radius", dof.max_radius.value[0]);
    setFloat(program, "far_factor", dof.far_factor.value[0] * dof.far_plane.value[0]);
    setFloat(program, "far_plane", dof.far_plane.value[0]);
}

// Binds through the program's own unit assignment, so the unit each sampler and image uniform holds is the one
// its texture is bound to.
void bindAndDispatch(ShaderProgram* program, const TextureBindings& bindings, int w, int h)
{
    shaderBindTextures(program, bindings);
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
    glDispatchCompute(GLuint(dofGroupCount(w)), GLuint(dofGroupCount(h)), 1);
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
}

// Texture units of the program's samplers back to nothing, so later passes do not sample these by accident.
void unbindSamplers(ShaderProgram* program)
{
    for (const auto& entry : program->uniforms) {
        const ShaderUniform* uniform = entry.second;
        const bool sampler = uniform->type == UNIFORM_TYPE_SAMPLER2D || uniform->type == UNIFORM_TYPE_SAMPLERCUBE;
        if (sampler && uniform->location != -1 && uniform->value) {
            const auto unit = GLuint(static_cast<const int*>(uniform->value)[0]);
            glBindTextureUnit(unit, 0);
            glBindSampler(unit, 0);
        }
    }
}

// The textures follow the output size (the start-up warm-up draws small, then full size again).
void followOutputSize(DepthOfField& dof)
{
    if (screenWidth < 1 || screenHeight < 1 || (dof.width == screenWidth && dof.height == screenHeight))
        return;
    for (Texture* texture : {dof.coc, dof.cocTemp, dof.hexaVertical, dof.hexaDiagonal})
        fbResizeTarget(texture, screenWidth, screenHeight);
    dof.width = screenWidth;
    dof.height = screenHeight;
}

// Size of the source, or false (after a log line) when the inputs do not fit the textures made at creation.
bool checkInputs(const DepthOfField& dof, const char* pass, Texture* depth, Texture* source, Texture* destination,
                 bool needsDestination, int& w, int& h)
{
    const Image* image = source ? source->images[0] : nullptr;
    if (!image || !source->glId || !depth || !depth->glId || (needsDestination && (!destination || !destination->glId))) {
        LOG_ERROR("DepthOfField %s: missing or not uploaded source, depth or destination", pass);
        return false;
    }
    w = image->width;
    h = image->height;
    // Larger inputs would be cut off; smaller ones are fine since every pass works on the source's size.
    if (w > dof.width || h > dof.height) {
        LOG_ERROR("DepthOfField %s: source of %d x %d is larger than the %d x %d it was made for", pass, w, h,
                  dof.width, dof.height);
        return false;
    }
    return true;
}

bool usable(const ShaderProgram* program)
{
    return program && program->linked && !program->errors;
}

} // namespace

DepthOfField* DepthOfField::Create(const std::string& name)
{
    auto* dof = new DepthOfField();
    dof->renderProgram = shaderLoadProgramCompute("shaders/post/dof_render.comp", shaderGlobalDefines);
    dof->hexaPass1Program = shaderLoadProgramCompute("shaders/post/dof_render_hexa.comp", {{"DOF_HEXA_PASS1", "1"}});
    dof->hexaPass2Program = shaderLoadProgramCompute("shaders/post/dof_render_hexa.comp", {{"DOF_HEXA_PASS2", "1"}});
    dof->cocProgram = shaderLoadProgramCompute("shaders/post/dof_calculate_coc.comp", shaderGlobalDefines);
    dof->blurProgram = shaderLoadProgramCompute("shaders/post/blur_gaussian.comp",
                                                {{"PIXEL_SAMPLES", "1"}, {"PIXEL_FORMAT", "r16f"}});

    dof->name = name;
    dof->branch = CvarTreePushBranch(name);

    dof->width = std::max(screenWidth, 1);
    dof->height = std::max(screenHeight, 1);
    dof->coc = txtCreateTarget((name + " coc").c_str(), dof->width, dof->height, IMAGE_TYPE_R16F);
    dof->cocTemp = txtCreateTarget((name + " cocTemp").c_str(), dof->width, dof->height, IMAGE_TYPE_R16F);
    dof->hexaVertical = txtCreateTarget((name + " hexaVertical").c_str(), dof->width, dof->height, IMAGE_TYPE_RGBA16F);
    dof->hexaDiagonal = txtCreateTarget((name + " hexaDiagonal").c_str(), dof->width, dof->height, IMAGE_TYPE_RGBA16F);

    CvarTreeRegisterFloat(&dof->far_plane, "far_plane", 0.0f, 0.0f, 1000.0f);
    CvarTreeRegisterFloat(&dof->far_factor, "far_factor", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&dof->max_radius, "max_radius", 0.0f, 0.0f, 20.0f);
    CvarTreeRegisterFloat(&dof->coc_blur, "coc_blur", 0.0f, 0.0f, 20.0f);
    CvarTreeRegisterBool(&dof->show_coc, "show_coc", 0.0f);
    CvarTreeRegisterBool(&dof->hexagonal, "hexagonal", 0.0f);
    CvarTreePopBranch();
    return dof;
}

void DepthOfField::CalculateCOC(Camera* camera, Texture* depth, Texture* source)
{
    followOutputSize(*this);
    ScopedGpuTimer timer("DepthOfField:COC Calculation", false);
    int w = 0, h = 0;
    if (!checkInputs(*this, "CalculateCOC", depth, source, nullptr, false, w, h) || !usable(cocProgram) ||
        !usable(blurProgram))
        return;

    shaderUseProgram(cocProgram);
    setCommon(*this, cocProgram, camera, w, h);
    TextureBindings cocInputs;
    shaderBindingsAddTexture(cocInputs, "s_sourceDepth", depth, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(cocInputs, "outCOC", coc);
    bindAndDispatch(cocProgram, cocInputs, w, h);
    unbindSamplers(cocProgram);

    shaderUseProgram(blurProgram);
    setVec2(blurProgram, "vResolution", float(w), float(h));
    setVec2(blurProgram, "vResolutionInv", 1.0f / float(w), 1.0f / float(h));
    const float radius = coc_blur.value[0];
    const float s = radius * 0.5f;
    // A radius of 0 has no fall-off to speak of (1 / 0): the shader copies instead.
    setFloat(blurProgram, "vBlurFalloff", s > 0.0f ? 1.0f / (2.0f * s * s) : 0.0f);
    setFloat(blurProgram, "vKernelRadius", radius);
    const struct {
        Texture* from;
        Texture* to;
        float dx, dy;
    } steps[2] = {{coc, cocTemp, w ? 1.0f / float(w) : 0.0f, 0.0f}, {cocTemp, coc, 0.0f, h ? 1.0f / float(h) : 0.0f}};
    for (const auto& step : steps) {
        setVec2(blurProgram, "vBlurDirection", step.dx, step.dy);
        TextureBindings bindings;
        shaderBindingsAddTexture(bindings, "s_source", step.from, SAMPLER_NEAREST_CLAMP);
        shaderBindingsAddTexture(bindings, "outImage", step.to);
        bindAndDispatch(blurProgram, bindings, w, h);
    }
    unbindSamplers(blurProgram);
    reportGlErrors();
}

void DepthOfField::Render(Camera* camera, Texture* depth, Texture* source, Texture* destination)
{
    followOutputSize(*this);
    ScopedGpuTimer timer("DepthOfField:Rendering", false);
    int w = 0, h = 0;
    if (!checkInputs(*this, "Render", depth, source, destination, true, w, h) || !usable(renderProgram))
        return;
    shaderUseProgram(renderProgram);
    setCommon(*this, renderProgram, camera, w, h);
    const int showCoc = show_coc.value[0] >= 0.5f ? 1 : 0;
    shaderSetUniform(renderProgram, "show_coc", UNIFORM_TYPE_INT, &showCoc, sizeof showCoc);
    TextureBindings bindings;
    shaderBindingsAddTexture(bindings, "inCOC", coc);
    shaderBindingsAddTexture(bindings, "outColor", destination);
    shaderBindingsAddTexture(bindings, "s_sourceColor", source, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(bindings, "s_sourceDepth", depth, SAMPLER_NEAREST_CLAMP);
    bindAndDispatch(renderProgram, bindings, w, h);
    unbindSamplers(renderProgram);
    reportGlErrors();
}

void DepthOfField::RenderHexagonal(Camera* camera, Texture* depth, Texture* source, Texture* destination)
{
    followOutputSize(*this);
    ScopedGpuTimer timer("DepthOfField:RenderHexagonal", false);
    int w = 0, h = 0;
    if (!checkInputs(*this, "RenderHexagonal", depth, source, destination, true, w, h) ||
        !usable(hexaPass1Program) || !usable(hexaPass2Program))
        return;

    shaderUseProgram(hexaPass1Program);
    setCommon(*this, hexaPass1Program, camera, w, h);
    TextureBindings pass1;
    shaderBindingsAddTexture(pass1, "outVertical", hexaVertical);
    shaderBindingsAddTexture(pass1, "outDiagonal", hexaDiagonal);
    shaderBindingsAddTexture(pass1, "s_sourceColor", source, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(pass1, "s_sourceCOC", coc, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(pass1, "s_sourceDepth", depth, SAMPLER_NEAREST_CLAMP);
    bindAndDispatch(hexaPass1Program, pass1, w, h);
    unbindSamplers(hexaPass1Program);

    shaderUseProgram(hexaPass2Program);
    setCommon(*this, hexaPass2Program, camera, w, h);
    const int showCoc = show_coc.value[0] >= 0.5f ? 1 : 0;
    shaderSetUniform(hexaPass2Program, "show_coc", UNIFORM_TYPE_INT, &showCoc, sizeof showCoc);
    TextureBindings pass2;
    shaderBindingsAddTexture(pass2, "outColor", destination);
    shaderBindingsAddTexture(pass2, "s_sourceColor", source, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(pass2, "s_sourceCOC", coc, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(pass2, "s_sourceBlurVertical", hexaVertical, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(pass2, "s_sourceBlurVerticalDiagonal", hexaDiagonal, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(pass2, "s_sourceDepth", depth, SAMPLER_NEAREST_CLAMP);
    bindAndDispatch(hexaPass2Program, pass2, w, h);
    unbindSamplers(hexaPass2Program);
    reportGlErrors();
}

void dofDestroy(DepthOfField* dof)
{
    if (!dof)
        return;
    if (dof->branch) {
        auto& cvars = dof->branch->cvars;
        const Cvar* own[] = {&dof->max_radius, &dof->far_factor, &dof->far_plane,
                             &dof->show_coc,   &dof->coc_blur,   &dof->hexagonal};
        cvars.erase(std::remove_if(cvars.begin(), cvars.end(),
                                   [&](Cvar* cvar) { return std::find(std::begin(own), std::end(own), cvar) != std::end(own); }),
                    cvars.end());
    }
    for (ShaderProgram* program :
         {dof->renderProgram, dof->hexaPass1Program, dof->hexaPass2Program, dof->blurProgram, dof->cocProgram})
        shaderDeleteProgram(program);
    for (Texture* texture : {dof->coc, dof->cocTemp, dof->hexaVertical, dof->hexaDiagonal})
        txtDestroy(texture);
    delete dof;
}
