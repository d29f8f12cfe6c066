// The selected components' bounds drawn as outlines into "fbWireframe", which the final composite lays over the
// picture.
#include "components/instance_buffers.h"
#include "components/primitive_renderer.h"
#include "components/scene_player.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_uniforms.h"
#include "project/components.h"
#include "project/project.h"
#include "render/builtin_shapes.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/scene.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <vector>

using namespace gl;

namespace {

// Kept for the process: each outline uploads its transform block here before its draw.
BufferObject* overlayTransformBuffer = nullptr;

const float kOutlineColour[4] = {0.3f, 1.5f, 0.2f, 1.0f};
// A negative material row makes the flat program draw "colorDiffuse" instead of a table row.
const int kConstantColourRow = -1;

} // namespace

void selectionOutlineShape(int kind, const float box[6], Object** object, Matrix* shape)
{
    const float size[3] = {box[3] - box[0], box[4] - box[1], box[5] - box[2]};
    const bool empty = size[0] == 0.0f && size[1] == 0.0f && size[2] == 0.0f;
    *shape = Matrix();
    switch (kind) {
    case SelectedBoundsKind::Box:
        *object = builtinBoxOutline;
        *shape = Matrix::Scale(size[0], size[1], size[2]);
        shape->m[3] = box[0];
        shape->m[7] = box[1];
        shape->m[11] = box[2];
        return;
    case SelectedBoundsKind::Circles:
    case SelectedBoundsKind::Cone:
        *object = kind == SelectedBoundsKind::Circles ? builtinSphereOutline : builtinConeOutline;
        if (!empty)
            *shape = Matrix::Scale(size[0], size[1], size[2]);
        return;
    default:
        // Cameras register a kind of their own: the cone at its built-in size.
        *object = builtinConeOutline;
        return;
    }
}

bool sceneplayerfx::RenderWireframes(Camera* camera)
{
    if (!overlayTransformBuffer)
        overlayTransformBuffer = boCreate("TransformParams", sizeof(TransformParams));
    if (renderingBBox == RenderingBBox::None || !camera)
        return false;
    if (scene)
        scene->activeCamera = camera;

    struct Outline {
        EngineComponent* component;
        SelectedBounds bounds;
    };
    std::vector<Outline> outlines;
    for (const auto& [id, bounds] : selectedBoundsMap) {
        if (!currentComponents)
            break;
        for (EngineComponent* component : *currentComponents)
            if (component && static_cast<uint32_t>(component->id) == id) {
                outlines.push_back({component, bounds});
                break;
            }
    }
    if (outlines.empty())
        return false;

    bool drew = false;
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, -1, "Wireframe Rendering: Lights and Entities");
    for (const Outline& outline : outlines) {
        Object* object = nullptr;
        Matrix shape;
        selectionOutlineShape(outline.bounds.kind, outline.bounds.box, &object, &shape);
        if (!object)
            continue;
        object->world = shape.Multiply(outline.bounds.world);
        Geometry* geometry = object->geometry;
        if (geometry)
            geomUpdate(geometry);
        ShaderProgram* program = material ? material->getProgram(Renderer::PASS_DEFERRED) : nullptr;
        if (!program || !geometry || geometry->vao == 0 || !shaderUseProgram(program))
            continue;
        rendererBindGlobalInputs(program, Timestep());

        BufferBindings bindings;
        shaderBindingsCreate(bindings);
        shaderBindingsAddGeometry(bindings, geometry);
        InstanceBuffers::BindDefault(bindings);
        glBindVertexArray(geometry->vao);
        shaderSetBuiltinBuffersMask(geometry, program);

        const TransformParams transform = transformParamsFor(*camera, object->world);
        glNamedBufferSubData(overlayTransformBuffer->glId, 0, sizeof transform, &transform);
        shaderBindingsAddBuffer(bindings, "TransformParamsBuffer", overlayTransformBuffer);
        shaderBindBuffers(program, bindings);
        shaderSetUniform(program, "colorDiffuse", UNIFORM_TYPE_VEC4, kOutlineColour, sizeof kOutlineColour);
        shaderSetUniform(program, "materialIndex", UNIFORM_TYPE_INT, &kConstantColourRow, sizeof kConstantColourRow);
        glDrawArrays(GL_LINES, 0, GLsizei(geometry->vertexCount));
        drew = true;
    }
    glBindVertexArray(0);
    glPopDebugGroup();
    return drew;
}
