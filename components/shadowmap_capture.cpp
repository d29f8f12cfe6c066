#include "components/shadowmap_capture.h"

#include "app/log.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/entities.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <limits>

using namespace gl;

namespace {

const char* const kTypeOptions[] = {"Spot", "Directional", nullptr};
const char* const kCullingOptions[] = {"None", "Front", "Back", nullptr};
constexpr const char* kDepthRecordName = "shadowmapcapturefx/Texture/Depth";
constexpr const char* kMaskRecordName = "shadowmapcapturefx/Texture/Mask";
// Texels whose depth is below this saw a surface; the cleared shadow map holds 1.
constexpr float kCoveredDepth = 0.99999f;
// Larger shadow maps are not asked of the texture pool.
constexpr int kMaxResolution = 8192;

bool isDirectional(const Cvar& type) { return type.value[0] >= 1.0f && type.value[0] < 2.0f; }

// A record of the current store (the first capture's name wins there), or one of the component's own.
FileResource* makeRecord(const char* name, Texture* texture, FileResource*& own)
{
    if (currentResources)
        return currentResources->add_texture(name, texture);
    own = new FileResource(ResourceType::Texture, name, texture);
    return own;
}

} // namespace

ShaderProgram* shadowmapMaskProgram()
{
    static ShaderProgram* const program =
        shaderLoadProgramCompute("shaders/deferred/copy_depth_to_mask.comp", shaderGlobalDefines);
    return program;
}

shadowmapcapturefx::shadowmapcapturefx(const std::string& name) : KitComponent(kTypeIndex, name)
{
    CvarTreeRegisterEnum(&type, "type", kTypeOptions, 0);
    CvarTreeRegisterInt(&resolution, "resolution", 1024);
    CvarTreeRegisterEnum(&culling, "culling", kCullingOptions, 0);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&dimensions, "dimensions", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&nearPlane, "near", 0.1f, 0.0f, 800.0f);
    CvarTreeRegisterFloat(&farPlane, "far", 200.0f, 0.0f, 800.0f);
    CvarTreeRegisterFloat(&fov, "fov", 90.0f, 5.0f, 90.0f);
    CvarTreeRegisterText(&excludedTags, "excluded tags", "");
    CloseBranch();
    for (Cvar* keyed : {&position, &rotation, &dimensions})
        keyed->animatable = true;

    lightResource = new LightResource(name + "/light", nullptr);
    AddOutput("light", ResourceType::Light)->payload = lightResource;
    depthResource = makeRecord(kDepthRecordName, nullptr, ownDepthRecord);
    maskResource = makeRecord(kMaskRecordName, nullptr, ownMaskRecord);
    AddOutput("smap", ResourceType::Texture)->payload = depthResource;
    AddOutput("smask", ResourceType::Texture)->payload = maskResource;
}

shadowmapcapturefx::~shadowmapcapturefx()
{
    for (Light* old : initReplaced_)
        lightcomponent::DestroyLight(old);
    lightcomponent::DestroyLight(light);
    txtDestroy(mask);
    // Records in the store outlive the component: they must not keep its textures.
    depthResource->object = nullptr;
    maskResource->object = nullptr;
    delete ownDepthRecord;
    delete ownMaskRecord;
    delete lightResource;
}

bool shadowmapcapturefx::CreateGpuObjects()
{
    shadowmapMaskProgram();
    // Stand-ins until Init builds what the stored parameters ask for.
    const int r = Resolution();
    light = entCreateLightSpot(fov.value[0], true, unsigned(r), unsigned(r));
    light->owner = this;
    lightResource->light = light;
    RebuildMask();
    return mask != nullptr;
}

int shadowmapcapturefx::Resolution() const
{
    const float value = resolution.value[0];
    if (!(value >= float(kShadowmapMinResolution)))
        return kShadowmapMinResolution; // 0, negative and NaN
    return value >= float(kMaxResolution) ? kMaxResolution : static_cast<int>(value);
}

void shadowmapcapturefx::RebuildMask()
{
    const int r = Resolution();
    if (resolution.value[0] < float(kShadowmapMinResolution))
        LOG_WARNING("Shadowmap capture %s: resolution %g is taken as %d", name.c_str(), resolution.value[0], r);
    const std::string maskName = name + "/light/mask";
    Texture* made = txtCreateNamed(maskName.c_str(), TEXTURE_TYPE_2D, r, r, IMAGE_TYPE_R8);
    if (made)
        txtSetupForGL(made);
    else
        LOG_ERROR("Shadowmap capture %s: no %d x %d mask", name.c_str(), r, r);
    txtDestroy(mask);
    mask = made;
    maskResource->object = mask;
}

Light* shadowmapcapturefx::RebuildLight()
{
    const int r = Resolution();
    Light* built = isDirectional(type) ? entCreateLightDirectional(10.0f, 10.0f, true, unsigned(r), unsigned(r))
                                       : entCreateLightSpot(fov.value[0], true, unsigned(r), unsigned(r));
    built->owner = this;
    built->selected = selected;
    Light* previous = light;
    light = built;
    lightResource->light = built;
    RebuildMask();
    return previous;
}

void shadowmapcapturefx::ApplyParameters()
{
    light->fov = fov.value[0];
    light->position = {position.value[0], position.value[1], position.value[2]};
    light->rotation = {rotation.value[0], rotation.value[1], rotation.value[2]};
    for (float& channel : light->color)
        channel = 0.0f;
    light->dimensions[0] = dimensions.value[0];
    light->dimensions[1] = dimensions.value[1];
    light->intensity = 0.0f;
    light->volumetric = false;
    light->roughnessModifier = 0.0f;
    light->area = false;
    light->excludedTags = excludedTags.text;
    entSetLightShadowShape(light, culling.value[0], dimensions.value[0], dimensions.value[1]);
    entSetLightRange(light, nearPlane.value[0], farPlane.value[0]);
}

void shadowmapcapturefx::Init()
{
    // A consumer that resolved first (a link cycle) may hold the stand-in: it stays, unchanged, until the
    // component goes.
    if (Light* previous = RebuildLight())
        initReplaced_.push_back(previous);
    ApplyParameters();
    outputs[0]->payload = lightResource;
}

void shadowmapcapturefx::OnCvarChanged(Cvar* cvar)
{
    Light* previous = nullptr;
    if (cvar == &resolution || cvar == &type)
        previous = RebuildLight();
    ApplyParameters();
    GraphManager::NotifyOutputChanged(outputs[0]->id);
    // The consumers have re-read the payload; nothing holds the old light any more.
    lightcomponent::DestroyLight(previous);
}

void shadowmapcapturefx::OnSelectionChanged(bool isSelected) { light->selected = isSelected; }

bool shadowmapcapturefx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = nullptr;
    return true;
}

Matrix shadowmapcapturefx::BoundsMatrix() const
{
    Matrix m = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    if (!isDirectional(type)) {
        const float farDistance = light->farPlane;
        const float side = 2.0f * farDistance * std::tan(light->fov / 360.0f * 3.14159265f);
        m = Matrix::Scale(side, side, farDistance).Multiply(m);
    }
    m.m[3] = position.value[0];
    m.m[7] = position.value[1];
    m.m[11] = position.value[2];
    return m;
}

void shadowmapcapturefx::RegisterBounds(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    captureMatrix = model ? *model : Matrix();
    if (isDirectional(type)) {
        const float dx = dimensions.value[0];
        const float dy = dimensions.value[1];
        const float box[6] = {-dx / 2, -dy / 2, 0.0f, dx / 2, dy / 2, light->farPlane};
        RegisterSelectedBounds(this, nullptr, BoundsMatrix(), captureMatrix, box, SelectedBoundsKind::Box);
    } else {
        const float box[6] = {};
        RegisterSelectedBounds(this, nullptr, BoundsMatrix(), captureMatrix, box, SelectedBoundsKind::Cone);
    }
}

void shadowmapcapturefx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* world, Renderer::Pass pass, Timestep time) {
            RegisterBounds(camera, world, pass, time);
        },
        this, BoundsMatrix()));
    builder.functionItems.emplace_back([this](Camera*, Timestep time) { ConvertToMask(time); }, this);
}

Texture* shadowmapcapturefx::ShadowDepth() const
{
    const Framebuffer* framebuffer = light ? light->shadowFramebuffers[0] : nullptr;
    return framebuffer ? framebuffer->slots[FB_ATTACHMENT_DEPTH].texture : nullptr;
}

void shadowmapcapturefx::ConvertToMask(Timestep time)
{
    Texture* depth = ShadowDepth();
    depthResource->object = depth;
    ShaderProgram* program = shadowmapMaskProgram();
    if (!program || program->errors || !depth || !mask || !depth->images[0] || !mask->images[0])
        return;

    const std::string label = "ShadowmapCaptureConvertToMask:" + name;
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, static_cast<GLsizei>(label.size()), label.c_str());
    if (shaderUseProgram(program)) {
        rendererBindGlobalInputs(program, time);
        BufferBindings buffers;
        shaderBindingsCreate(buffers);
        const float covered = kCoveredDepth;
        shaderBindingsAddData(buffers, "DepthToMaskTransferParams", &covered, sizeof covered);
        TextureBindings textures;
        shaderBindingsAddTexture(textures, "sTextureDepth", depth, SAMPLER_NEAREST_CLAMP);
        shaderBindingsAddTexture(textures, "imMask", mask);
        if (shaderBindBuffers(program, buffers) && shaderBindTextures(program, textures)) {
            // Whole groups over the mask; the shader skips the texels past its edge.
            const uint32_t side = uint32_t(mask->images[0]->width);
            const uint32_t groups = (side + kShadowmapMaskGroupSize - 1) / kShadowmapMaskGroupSize;
            const uint32_t sideY = uint32_t(mask->images[0]->height);
            const uint32_t groupsY = (sideY + kShadowmapMaskGroupSize - 1) / kShadowmapMaskGroupSize;
            glDispatchCompute(groups, groupsY, 1);
            lastGroups[0] = groups;
            lastGroups[1] = groupsY;
            // The mask is sampled next by instancing from a light: its image writes must land first.
            glMemoryBarrier(GL_SHADER_IMAGE_ACCESS_BARRIER_BIT | GL_TEXTURE_FETCH_BARRIER_BIT);
        }
    }
    glPopDebugGroup();
}
