// The output size changes for a while and back (the start-up warm-up draws small): targets are made again in place,
// framebuffers holding them follow, the small scratch textures go, and a shipped project draws the same picture
// at the full size afterwards as without the change.
#include "app/engine_display.h"
#include "components/particles.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "gl_context.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/deferred_targets.h"
#include "render/depth_of_field.h"
#include "render/graph_processing.h"
#include "render/layer_compositor.h"
#include "renderer_fixture.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

using namespace gl;

namespace {

constexpr int kFullWidth = 512;
constexpr int kFullHeight = 288;
constexpr int kSmallWidth = 128;
constexpr int kSmallHeight = 72;

std::array<int, 2> glSize(const Texture* texture)
{
    std::array<int, 2> size{};
    glGetTextureLevelParameteriv(texture->glId, 0, GL_TEXTURE_WIDTH, &size[0]);
    glGetTextureLevelParameteriv(texture->glId, 0, GL_TEXTURE_HEIGHT, &size[1]);
    return size;
}

std::vector<float> readColor(const Texture* texture)
{
    const int w = texture->images[0]->width;
    const int h = texture->images[0]->height;
    std::vector<float> pixels(size_t(w) * size_t(h) * 4);
    glGetTextureImage(texture->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
    return pixels;
}

GLint parameter(const Texture* texture, GLenum name)
{
    GLint value = 0;
    glGetTextureParameteriv(texture->glId, name, &value);
    return value;
}

class OutputSizeTargets : public GLTest {
protected:
    int savedWidth = screenWidth;
    int savedHeight = screenHeight;
    void TearDown() override
    {
        txtDestroyCachedTextures();
        screenWidth = savedWidth;
        screenHeight = savedHeight;
        GLTest::TearDown();
    }
};

} // namespace

// A target made again keeps its record, format, name, filters and wraps; its contents start at zero, and a
// framebuffer holding it (current or not) draws into the new storage at the new size.
TEST_F(OutputSizeTargets, TargetIsMadeAgainInPlaceAndItsFramebuffersFollow)
{
    const struct {
        ImageType type;
        int slot;
    } cases[] = {
        {IMAGE_TYPE_RGBA16F, FB_ATTACHMENT_COLOR0},
        {IMAGE_TYPE_RGBA8, FB_ATTACHMENT_COLOR0},
        {IMAGE_TYPE_R32F, FB_ATTACHMENT_COLOR1},
        {IMAGE_TYPE_DEPTH32F, FB_ATTACHMENT_DEPTH},
    };
    for (const auto& c : cases) {
        for (bool current : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << c.type << (current ? ", current" : ", not current"));
            Texture* texture = txtCreateTarget("resized", 64, 32, c.type);
            ASSERT_NE(texture, nullptr);
            glTextureParameteri(texture->glId, GL_TEXTURE_MIN_FILTER, GLint(GL_NEAREST));
            glTextureParameteri(texture->glId, GL_TEXTURE_WRAP_S, GLint(GL_MIRRORED_REPEAT));
            texture->samplerType = SAMPLER_NEAREST_CLAMP;
            const bool depth = c.slot == FB_ATTACHMENT_DEPTH;
            if (c.type == IMAGE_TYPE_RGBA8)
                txtCreateSRGBView(texture);
            Framebuffer* framebuffer = fbCreate("follows");
            fbAttach(framebuffer, c.slot, texture);
            if (current)
                fbBind(framebuffer);
            const float value[4] = {0.5f, 0.25f, 0.75f, 1.0f};

            ASSERT_TRUE(fbResizeTarget(texture, 16, 8));
            EXPECT_EQ(texture->images[0]->width, 16);
            EXPECT_EQ(texture->images[0]->height, 8);
            EXPECT_EQ(glSize(texture), (std::array<int, 2>{16, 8}));
            EXPECT_EQ(texture->images[0]->type, c.type);
            EXPECT_EQ(texture->name, "resized");
            EXPECT_EQ(texture->samplerType, SAMPLER_NEAREST_CLAMP);
            EXPECT_EQ(parameter(texture, GL_TEXTURE_MIN_FILTER), GLint(GL_NEAREST));
            EXPECT_EQ(parameter(texture, GL_TEXTURE_WRAP_S), GLint(GL_MIRRORED_REPEAT));
            EXPECT_EQ(texture->srgbViewId != 0, c.type == IMAGE_TYPE_RGBA8);
            EXPECT_FALSE(framebuffer->dirty);
            EXPECT_EQ(framebuffer->width, 16);
            EXPECT_EQ(framebuffer->height, 8);
            EXPECT_EQ(fbCurrent == framebuffer, current);

            std::vector<float> texels(16 * 8);
            const GLenum format = depth ? GL_DEPTH_COMPONENT : GL_RED;
            glGetTextureImage(texture->glId, 0, format, GL_FLOAT, GLsizei(texels.size() * 4), texels.data());
            EXPECT_EQ(*std::max_element(texels.begin(), texels.end()), 0.0f) << "made again at zero";

            // The framebuffer draws into the new storage, all of it.
            if (depth)
                glClearNamedFramebufferfv(framebuffer->glId, GL_DEPTH, 0, value);
            else
                glClearNamedFramebufferfv(framebuffer->glId, GL_COLOR, 0, value); // its only draw buffer
            glGetTextureImage(texture->glId, 0, format, GL_FLOAT, GLsizei(texels.size() * 4), texels.data());
            EXPECT_EQ(std::count(texels.begin(), texels.end(), 0.0f), 0) << "every texel written";
            EXPECT_EQ(glGetError(), GL_NO_ERROR);

            fbBind(nullptr);
            fbDestroy(framebuffer);
            txtDestroy(texture);
        }
    }
}

// What cannot be made again is refused with a log line and left as it was; the same size changes nothing; a
// texture not uploaded yet is made at the new size when it is.
TEST_F(OutputSizeTargets, ResizeRefusesWhatItCannotRemake)
{
    EXPECT_FALSE(txtResize(nullptr, 4, 4));
    EXPECT_FALSE(fbResizeTarget(nullptr, 4, 4));

    Texture* cube = txtCreate(TEXTURE_TYPE_CUBE, 8, 8, IMAGE_TYPE_RGBA8);
    Texture* target = txtCreateTarget("target", 8, 8, IMAGE_TYPE_RGBA8);
    Texture* mipmapped = txtCreate(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA8);
    ASSERT_TRUE(txtGenerateMipMaps(mipmapped));
    const struct {
        const char* what;
        Texture* texture;
        int width, height;
    } refused[] = {
        {"cube", cube, 4, 4},
        {"mip chain", mipmapped, 4, 4},
        {"zero width", target, 0, 4},
        {"negative height", target, 4, -1},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        const unsigned int id = c.texture->glId;
        const std::string log = testutil::captureLog([&] { EXPECT_FALSE(txtResize(c.texture, c.width, c.height)); });
        EXPECT_NE(log.find("cannot be made again"), std::string::npos) << log;
        EXPECT_EQ(c.texture->images[0]->width, 8);
        EXPECT_EQ(c.texture->glId, id);
    }

    const unsigned int id = target->glId;
    EXPECT_TRUE(txtResize(target, 8, 8));
    EXPECT_EQ(target->glId, id) << "same size: the same GL texture";

    Texture* pending = txtCreate(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA16F);
    ASSERT_TRUE(txtResize(pending, 32, 16));
    EXPECT_EQ(pending->glId, 0u);
    txtSetupForGL(pending);
    EXPECT_EQ(glSize(pending), (std::array<int, 2>{32, 16}));
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    for (Texture* texture : {cube, target, mipmapped, pending})
        txtDestroy(texture);
}

// Scratch textures of the size no longer drawn at are destroyed and no framebuffer keeps them; those in use and
// those of other sizes stay.
TEST_F(OutputSizeTargets, ScratchTexturesOfOneSizeAreDestroyedAndForgotten)
{
    txtDestroyCachedTextures();
    Texture* small = txtGetCachedTexture(32, 18, IMAGE_TYPE_RGBA16F);
    Texture* smallDepth = txtGetCachedTexture(32, 18, IMAGE_TYPE_DEPTH32F);
    Texture* large = txtGetCachedTexture(128, 72, IMAGE_TYPE_RGBA16F);
    Framebuffer* framebuffer = fbCreate("scratch");
    fbAttach(framebuffer, FB_ATTACHMENT_COLOR0, small);
    fbAttach(framebuffer, FB_ATTACHMENT_DEPTH, smallDepth);
    fbAttach(framebuffer, FB_ATTACHMENT_COLOR1, large);
    txtReleaseCachedTextures();
    Texture* busy = txtGetCachedTexture(32, 18, IMAGE_TYPE_RGBA16F); // the first free one: `small` again
    ASSERT_EQ(busy, small);

    const std::vector<const Texture*> destroyed = txtDestroyCachedTexturesOfSize(32, 18);
    EXPECT_EQ(destroyed, std::vector<const Texture*>{smallDepth});
    EXPECT_EQ(framebuffer->slots[FB_ATTACHMENT_DEPTH].texture, nullptr);
    EXPECT_EQ(framebuffer->slots[FB_ATTACHMENT_COLOR0].texture, small);
    EXPECT_EQ(framebuffer->slots[FB_ATTACHMENT_COLOR1].texture, large);
    EXPECT_EQ(txtCachedTextures.size(), 2u);
    EXPECT_TRUE(setcurrent(framebuffer));
    fbBind(nullptr);

    txtReleaseCachedTextures();
    EXPECT_EQ(txtDestroyCachedTexturesOfSize(32, 18), std::vector<const Texture*>{small});
    EXPECT_EQ(framebuffer->slots[FB_ATTACHMENT_COLOR0].texture, nullptr);
    ASSERT_EQ(txtCachedTextures.size(), 1u);
    EXPECT_EQ(txtCachedTextures[0].texture, large);
    fbDestroy(framebuffer);
}

// The layer compositor's targets and the depth of field's follow the output size when they next draw.
TEST_F(OutputSizeTargets, CompositorAndDepthOfFieldFollowTheOutputSize)
{
    const std::string savedBase = dataBasePath();
    dataSetBasePath(deferredtest::kAssets);
    screenWidth = kFullWidth;
    screenHeight = kFullHeight;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    FxLayerContext* context = fx_layers_create(kFullWidth, kFullHeight);
    ASSERT_NE(context, nullptr);
    ASSERT_NE(context->dof, nullptr);
    Texture* depth = txtCreateTarget("depth", kSmallWidth, kSmallHeight, IMAGE_TYPE_DEPTH32F);
    Texture* color = txtCreateTarget("color", kSmallWidth, kSmallHeight, IMAGE_TYPE_RGBA16F);

    for (auto [w, h] : {std::array<int, 2>{kSmallWidth, kSmallHeight}, std::array<int, 2>{kFullWidth, kFullHeight}}) {
        SCOPED_TRACE(testing::Message() << w << " x " << h);
        screenWidth = w;
        screenHeight = h;
        fx_layers_render_context(context, 0.0f);
        for (const Texture* target : {context->target0, context->target1, context->depth})
            EXPECT_EQ(glSize(target), (std::array<int, 2>{w, h}));
        EXPECT_EQ(context->width, w);
        EXPECT_TRUE(setcurrent(context->framebuffer));
        EXPECT_EQ(context->framebuffer->width, w);
        EXPECT_EQ(context->framebuffer->height, h);
        fbBind(nullptr);

        context->dof->CalculateCOC(nullptr, depth, color);
        for (const Texture* target : {context->dof->coc, context->dof->cocTemp, context->dof->hexaVertical,
                                      context->dof->hexaDiagonal})
            EXPECT_EQ(glSize(target), (std::array<int, 2>{w, h}));
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
    }
    txtDestroy(depth);
    txtDestroy(color);
    fx_layers_destroy(context);
    deferredRenderRelease();
    dataSetBasePath(savedBase);
}

namespace {

const char* const kShippedProjects[] = {"instancing", "abstract_1", "room", "walk_particles", "room_rt"};

// The shipped projects over the shipped assets (read only), loaded as the engine loads them, at the tests' 512 x 288.
class OutputSizeProduction : public RendererGLTest {
protected:
    OutputSizeProduction() : RendererGLTest(size_t(1) << 24) {}

    std::vector<Project*> savedList = projectList;
    Project* savedGlobal = globalProject;
    Project* savedCurrent = currentProject;
    Sequence* savedSequencer = sequencer;
    bool savedExport = exportVariables;
    uint32_t savedEmissions = particleInstancesEmissions;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        exportVariables = true;
        sequencer = new Sequence();
        globalProject = projCreate("global");
        projectList.clear();
    }
    void TearDown() override
    {
        for (Project* project : projectList)
            projDestroy(project);
        projDestroy(globalProject);
        currentRaytraceScene = nullptr;
        txtDestroyCachedTextures();
        projectList = savedList;
        globalProject = savedGlobal;
        projSetCurrent(savedCurrent);
        delete sequencer;
        sequencer = savedSequencer;
        exportVariables = savedExport;
        particleInstancesEmissions = savedEmissions;
        RendererGLTest::TearDown();
    }

    // The project made and loaded anew (new components, so nothing of an earlier frame is left in them), with
    // the renderer's targets made anew: every history starts at zero.
    Project* loadFresh(const std::string& name)
    {
        for (Project*& project : projectList)
            if (project->name == name) {
                projDestroy(project);
                project = nullptr;
            }
        projectList.erase(std::remove(projectList.begin(), projectList.end(), nullptr), projectList.end());
        currentRaytraceScene = nullptr;
        Project* project = projCreate(name);
        projectList.push_back(project);
        projSetCurrent(project);
        EXPECT_TRUE(project->resources->load_json(project->path + "/resources.json"));
        EXPECT_TRUE(GraphManager::Load(project->path + "/graph.json"));
        EXPECT_TRUE(SequencerManager::Load(project->path + "/sequencer.json"));
        deferredReleaseTargets();
        deferredCreateTargets();
        // Emitters seed each emission from the process-wide count of emissions and emit by the time since the
        // last frame processed.
        particleInstancesEmissions = 0;
        graphProcessingReset();
        return project;
    }

    // The published "main output" after the frame loop's processing at timeline frame `frame`.
    static const Texture* renderAt(int frame)
    {
        GraphProcessing(float(frame) / 100.0f);
        for (Resource* resource : currentResources->get_by_type(ResourceType::Image))
            if (auto* image = dynamic_cast<ImageResource*>(resource); image && image->name == "main output")
                return image->texture;
        return nullptr;
    }

    // Every target that follows the output size, with its name.
    static std::vector<std::pair<std::string, const Texture*>> outputSizedTargets()
    {
        const DeferredRenderer& r = deferredRenderer;
        std::vector<std::pair<std::string, const Texture*>> targets = {
            {"depth 0", r.txtDeferredDepth[0]},       {"depth 1", r.txtDeferredDepth[1]},
            {"colour 0", r.txtDeferredColor[0]},      {"colour 1", r.txtDeferredColor[1]},
            {"normals", r.txtDeferredNormalAttribute}, {"material tags", r.txtDeferredMetalnessRoughnessMaterialTags},
            {"emissive", r.txtDeferredEmissive},      {"shadows", r.txtDeferredGlobalShadows},
            {"hbao", r.txtDeferredHBAO},              {"hbao blurred", r.txtDeferredHBAOBlurredV},
            {"hbao half blurred", r.txtDeferredHBAOBlurredH}, {"ssr source", r.txtSSRSource},
            {"ssr", r.txtSSRDest},                    {"linear depth", r.txtDeferredLinearDepth},
            {"voxel lighting temp", r.txtVXLightingTemp}, {"wireframe depth", r.txtWireframeDepth},
            {"voxel lighting 0", r.txtVXLighting[0]}, {"voxel lighting 1", r.txtVXLighting[1]},
            {"fog 0", r.txtVolumetricFog[0]},         {"fog 1", r.txtVolumetricFog[1]},
            {"final composite", r.txtFinalComposite}, {"raytrace 0", r.txtRaytrace[0]},
            {"raytrace 1", r.txtRaytrace[1]},         {"particles", r.txtBlendedParticles},
            {"wireframe", r.txtWireframeColor},       {"temp", r.txtTempRGBA16F},
        };
        for (EngineComponent* component : GraphManager::FindComponentsByType(0))
            if (auto* player = dynamic_cast<sceneplayerfx*>(component))
                for (const Texture* texture : player->compositeTextures)
                    targets.emplace_back(player->name + " composite", texture);
        if (!GraphManager::FindComponentsByType(4).empty()) {
            targets.emplace_back("raytrace fresnel", raytraceFresnelTexture);
            targets.emplace_back("primitive ids", primitiveIdTagMaskTexture);
        }
        return targets;
    }

    static void expectTargetsAt(int w, int h)
    {
        for (const auto& [name, texture] : outputSizedTargets()) {
            ASSERT_NE(texture, nullptr) << name;
            EXPECT_EQ(texture->images[0]->width, w) << name;
            EXPECT_EQ(texture->images[0]->height, h) << name;
            if (texture->glId) {
                EXPECT_EQ(glSize(texture), (std::array<int, 2>{w, h})) << name;
            }
        }
        Framebuffer* deep = deferredRenderer.fbDeferredDeep;
        EXPECT_TRUE(deferredSetUpFramebuffer(deep));
        EXPECT_EQ(deep->width, w);
        EXPECT_EQ(deep->height, h);
    }
    // Zero, as a change of size leaves them: every history starts over.
    static void clearTargets()
    {
        for (const auto& [name, texture] : outputSizedTargets())
            if (texture && texture->glId)
                glClearTexImage(texture->glId, 0, texture->images[0]->glFormat, texture->images[0]->glDataType,
                                nullptr);
    }
};

} // namespace

// Each shipped project, at 512 x 288, then 128 x 72, then 512 x 288 again: no GL error, the targets at each size,
// and the picture afterwards equal to one without the change. Both runs start from a fresh load and draw the same
// frames (timeline frame start + 300 three times, then start + 301) from the same emission count, so components
// that step per frame (particles) are where they were; the reference draws the second frame at full size and then zeroes every
// output-sized target, as the change of size does (it makes them again at zero). Compared: the last frame, whose
// history (the resolve's, the voxel lighting's, the fog's previous frame) is the one frame drawn after the reset.
TEST_F(OutputSizeProduction, ProjectDrawsTheSamePictureAfterASmallerSizeAndBack)
{
    for (const char* name : kShippedProjects) {
        SCOPED_TRACE(name);
        loadFresh(name);
        const int start = sequencer->GetProjectItem(currentProject).start;
        renderAt(start + 300);
        renderAt(start + 300);
        clearTargets();
        renderAt(start + 300);
        const Texture* image = renderAt(start + 301);
        ASSERT_TRUE(image && image->glId);
        ASSERT_EQ(image->images[0]->width, kFullWidth);
        const std::vector<float> plain = readColor(image);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);

        loadFresh(name);
        renderAt(start + 300);
        engineSetOutputSize(kSmallWidth, kSmallHeight);
        image = renderAt(start + 300);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        ASSERT_TRUE(image && image->glId);
        EXPECT_EQ(image->images[0]->width, kSmallWidth);
        expectTargetsAt(kSmallWidth, kSmallHeight);

        engineSetOutputSize(kFullWidth, kFullHeight);
        renderAt(start + 300);
        image = renderAt(start + 301);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        ASSERT_TRUE(image && image->glId);
        expectTargetsAt(kFullWidth, kFullHeight);
        const std::vector<float> resized = readColor(image);
        ASSERT_EQ(resized.size(), plain.size());
        double largest = 0.0;
        size_t differing = 0;
        for (size_t i = 0; i < plain.size(); ++i) {
            const double d = std::fabs(double(plain[i]) - double(resized[i]));
            largest = std::max(largest, d);
            differing += d > 0.0 ? 1 : 0;
        }
        EXPECT_EQ(differing, 0u) << "largest difference " << largest;
    }
}
