#include "render/materials.h"

#include "app/data_files.h"
#include "app/math_types.h"
#include "components/instance_buffers.h"
#include "editor/event_log.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "project/cvars.h"
#include "project_test_util.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::LogCapture;

namespace {

const std::string kAssets = ENGINE_SOURCE_DIR "assets/";

// The roots live for the whole run; the test binary lets them go at its end, so the leak check sees real leaks.
class ReleaseMaterialRoots : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (MaterialManager::rootCount() && glTestContextInit())
            MaterialManager::releaseRoots();
    }
};
[[maybe_unused]] ::testing::Environment* const releaseMaterialRoots =
    ::testing::AddGlobalTestEnvironment(new ReleaseMaterialRoots);

// The shipped shaders, the built-in roots (built once per process) and an event log for compile reports.
class MaterialsTest : public GLTest {
protected:
    std::string oldBase = dataBasePath();
    EventLog events;
    EventLog* oldEvents = uiEventLog;

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(kAssets);
        uiEventLog = &events;
        ui_event_log_connect();
        MaterialManager::registerBuiltinRoots();
    }
    void TearDown() override
    {
        shaderUseProgram(nullptr);
        dataSetBasePath(oldBase);
        uiEventLog = oldEvents;
        GLTest::TearDown();
    }

    static bool hasDefine(const ShaderProgram* program, const std::string& name)
    {
        return program && program->defines.count(name) != 0;
    }

    // Active plain uniforms GL reports that the engine's declaration parser did not collect (so their values
    // could never be set).
    static std::vector<std::string> uncollectedUniforms(const ShaderProgram* program)
    {
        std::vector<std::string> missing;
        GLint count = 0;
        glGetProgramInterfaceiv(program->glProgramId, GL_UNIFORM, GL_ACTIVE_RESOURCES, &count);
        for (GLint i = 0; i < count; ++i) {
            char name[256] = {};
            glGetProgramResourceName(program->glProgramId, GL_UNIFORM, GLuint(i), sizeof name, nullptr, name);
            const GLenum prop = GL_BLOCK_INDEX;
            GLint block = -1;
            glGetProgramResourceiv(program->glProgramId, GL_UNIFORM, GLuint(i), 1, &prop, 1, nullptr, &block);
            std::string plain(name);
            plain = plain.substr(0, plain.find('['));
            if (block != -1 || plain.rfind("gl_", 0) == 0)
                continue;
            auto found = program->uniforms.find(plain);
            if (found == program->uniforms.end() || found->second->location == -1)
                missing.push_back(plain);
        }
        return missing;
    }
};

// ---- Every root's programs ----

struct RootExpectation {
    const char* name;
    int id;
    bool hasShadowmap;
};

const RootExpectation kRoots[] = {
    {"flat", 0, true},
    {"cubemap", 1, true},
    {"flatterrain", 2, true},
    {"flat_pathdeform", 3, true},
    {"flat_cube_instancing", 0, true},
    {"flat_line_particle", 0, true},
    {"flat_ribbon_particle", 0, true},
    {"flat_quad_instancing", 0, true},
    {"raytrace_simple", 2, true},
    {"raytrace_proxy", 2, true},
    {"raytrace_partitioning", 2, false},
    {"raytrace_partitioning_visualize", 2, false},
    {"voxelization_partitioning", 2, false},
    {"voxelization_partitioning_visualize", 2, false},
};

void PrintTo(const RootExpectation& root, std::ostream* out)
{
    *out << root.name;
}

class MaterialRootPrograms : public MaterialsTest, public ::testing::WithParamInterface<RootExpectation> {};

TEST_P(MaterialRootPrograms, DeferredShadowmapAndGeometryPassProgramsLink)
{
    const RootExpectation& expected = GetParam();
    Material* root = MaterialManager::findRootMaterial(expected.name);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->name, expected.name);
    EXPECT_EQ(root->id, expected.id);
    EXPECT_EQ(root->parent, nullptr);

    // A material made from the root, as the components make theirs: the root itself stays untouched.
    std::unique_ptr<Material> material(materialCreateFromRoot(expected.name));
    ASSERT_NE(material, nullptr);
    EXPECT_EQ(material->parent, root);

    ShaderProgram* deferred = material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(deferred, nullptr) << events.text;
    EXPECT_EQ(deferred->errors, 0u) << events.text;

    ShaderProgram* shadowmap = material->getProgram(Renderer::PASS_SHADOWMAP);
    if (expected.hasShadowmap) {
        ASSERT_NE(shadowmap, nullptr) << events.text;
        EXPECT_TRUE(hasDefine(shadowmap, "SHADOWMAP_PASS"));
    } else {
        EXPECT_EQ(shadowmap, nullptr);
        EXPECT_EQ(root->shadowmapProgram, nullptr);
    }

    ShaderProgram* geometry = material->getProgram(Renderer::PASS_GEOMETRY);
    ASSERT_NE(geometry, nullptr) << events.text;
    EXPECT_TRUE(hasDefine(geometry, "GEOMETRY_PASS"));
    EXPECT_FALSE(hasDefine(geometry, "DEFERRED_PASS"));
    EXPECT_EQ(geometry->tessellation, nullptr);
    ASSERT_NE(geometry->geometry, nullptr);
    EXPECT_EQ(geometry->geometry->path, kMaterialGeometryPassStage);
    EXPECT_EQ(geometry->vertex->path, deferred->vertex->path);
    EXPECT_EQ(geometry->fragment->path, deferred->fragment->path);
    // Every define of the deferred program but the pass itself carries over.
    for (const auto& [name, value] : deferred->defines) {
        if (name != "DEFERRED_PASS") {
            EXPECT_EQ(geometry->defines.count(name), 1u) << name;
        }
    }

    EXPECT_EQ(material->getProgram(Renderer::PASS_ALPHA), nullptr);
    EXPECT_EQ(material->getProgram(Renderer::PASS_LIGHTING), nullptr);

    for (const ShaderProgram* program : {deferred, shadowmap, geometry}) {
        if (program) {
            EXPECT_EQ(uncollectedUniforms(program), std::vector<std::string>{}) << program->fragment->path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BuiltinRoots, MaterialRootPrograms, ::testing::ValuesIn(kRoots),
                         [](const ::testing::TestParamInfo<RootExpectation>& info) { return std::string(info.param.name); });

// ---- Registry ----

TEST_F(MaterialsTest, RegistryKeepsTheFirstRootAndReportsWhatItCannotFind)
{
    Material* flat = MaterialManager::findRootMaterial("flat");
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(MaterialManager::rootCount(), 14u);
    EXPECT_EQ(MaterialManager::builtinRootNames().size(), 14u);

    // Registering again (by name, or the whole set) leaves the first entries.
    Material second("flat", 9, nullptr, nullptr);
    EXPECT_FALSE(MaterialManager::registerRoot(&second));
    MaterialManager::registerBuiltinRoots();
    EXPECT_EQ(MaterialManager::findRootMaterial("flat"), flat);
    EXPECT_EQ(MaterialManager::rootCount(), 14u);

    EXPECT_EQ(MaterialManager::findMaterial("flat", "flat"), flat);

    struct Miss {
        const char* root;
        const char* material;
        const char* logged;
    };
    for (const Miss& miss : {Miss{"flat", "other", "Failed to acquire maternal <other> for root: <flat>"},
                             Miss{"nope", "nope", "Failed to find root maternil <nope>\\n"}}) {
        LogCapture log;
        EXPECT_EQ(MaterialManager::findMaterial(miss.root, miss.material), nullptr) << miss.root;
        EXPECT_TRUE(log.contains(miss.logged)) << log.text();
    }
    LogCapture log;
    EXPECT_EQ(materialCreateFromRoot("missing_root"), nullptr);
    EXPECT_TRUE(log.contains("Failed to find root maternil <missing_root>\\n"));
}

TEST_F(MaterialsTest, ParameterTreeFindsMaterialsThroughTheRegistry)
{
    Material* flat = MaterialManager::findRootMaterial("flat");
    EXPECT_EQ(cvarMaterialHooks.findMaterial("flat", "flat"), flat);
    EXPECT_EQ(cvarMaterialHooks.materialName(flat), "flat");
    EXPECT_EQ(cvarMaterialHooks.materialName(nullptr), "");
}

// ---- Override texts and the rebuild countdown ----

const char* const kRedAlbedo = "\n#define MATERIAL_OVERRIDE_ALBEDO 1\n"
                               "vec4 getMaterialAlbedo(vec4 albedo, vec3 worldCoords, vec3 localCoords)\n"
                               "{\n\treturn vec4(1.0, 0.0, 0.0, 1.0);\n}\n";
const char* const kGreenAlbedo = "\n#define MATERIAL_OVERRIDE_ALBEDO\n"
                                 "vec4 getMaterialAlbedo(vec3 worldCoords, vec3 localCoords)\n"
                                 "{\n\treturn vec4(0.0, 1.0, 0.0, 1.0);\n}\n";

const std::string* overrideDefine(const ShaderProgram* program)
{
    if (!program)
        return nullptr;
    auto found = program->defines.find(kMaterialOverrideDefine);
    return found == program->defines.end() ? nullptr : &found->second;
}

TEST_F(MaterialsTest, FirstOverrideBuildsPrivateProgramsAndLeavesTheRootAlone)
{
    Material* root = MaterialManager::findRootMaterial("flat");
    ShaderProgram* rootDeferred = root->deferredProgram;
    ShaderProgram* rootShadow = root->shadowmapProgram;

    std::unique_ptr<Material> a(materialCreateFromRoot("flat"));
    a->setOverrideSource(kRedAlbedo);
    EXPECT_EQ(a->rebuildCountdown, 1u);
    EXPECT_EQ(a->deferredProgram, rootDeferred) << "shared until the rebuild";

    ShaderProgram* deferred = a->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(deferred, nullptr) << events.text;
    EXPECT_EQ(a->rebuildCountdown, 0u);
    EXPECT_TRUE(a->ownsPrograms);
    EXPECT_NE(deferred, rootDeferred);
    EXPECT_NE(a->shadowmapProgram, rootShadow);
    ASSERT_NE(overrideDefine(deferred), nullptr);
    EXPECT_EQ(*overrideDefine(deferred), kRedAlbedo);
    EXPECT_NE(overrideDefine(a->shadowmapProgram), nullptr);
    EXPECT_NE(overrideDefine(a->getProgram(Renderer::PASS_GEOMETRY)), nullptr);

    // Nothing of a's text reached the root, so the next material of the root compiles without it.
    EXPECT_EQ(overrideDefine(rootDeferred), nullptr);
    EXPECT_EQ(overrideDefine(rootShadow), nullptr);
    EXPECT_EQ(root->deferredProgram, rootDeferred);
    std::unique_ptr<Material> b(materialCreateFromRoot("flat"));
    EXPECT_EQ(b->getProgram(Renderer::PASS_DEFERRED), rootDeferred);
    b->setOverrideSource(kGreenAlbedo);
    ASSERT_NE(b->getProgram(Renderer::PASS_DEFERRED), nullptr) << events.text;
    EXPECT_EQ(*overrideDefine(b->deferredProgram), kGreenAlbedo);
    EXPECT_EQ(*overrideDefine(a->deferredProgram), kRedAlbedo);
    EXPECT_EQ(overrideDefine(rootDeferred), nullptr);
}

TEST_F(MaterialsTest, ChangedOverrideIsCompiledOnTheFiftiethUse)
{
    std::unique_ptr<Material> material(materialCreateFromRoot("flat"));
    material->setOverrideSource(kRedAlbedo);
    ASSERT_NE(material->getProgram(Renderer::PASS_SHADOWMAP), nullptr) << events.text;

    material->setOverrideSource(kRedAlbedo); // unchanged: nothing to do
    EXPECT_EQ(material->rebuildCountdown, 0u);

    material->setOverrideSource(kGreenAlbedo);
    EXPECT_EQ(material->rebuildCountdown, 50u);
    // Every call counts, also for passes without a program.
    const Renderer::Pass passes[] = {Renderer::PASS_DEFERRED, Renderer::PASS_ALPHA, Renderer::PASS_SHADOWMAP,
                                     Renderer::PASS_GEOMETRY, Renderer::PASS_COMPOSITE};
    for (int call = 1; call < 50; ++call) {
        const Renderer::Pass pass = passes[call % 5];
        ShaderProgram* program = material->getProgram(pass);
        EXPECT_EQ(program == nullptr, pass == Renderer::PASS_ALPHA || pass == Renderer::PASS_COMPOSITE) << call;
        EXPECT_EQ(*overrideDefine(material->deferredProgram), kRedAlbedo) << call;
    }
    EXPECT_EQ(material->rebuildCountdown, 1u);
    ShaderProgram* before = material->deferredProgram;
    ASSERT_NE(material->getProgram(Renderer::PASS_DEFERRED), nullptr) << events.text;
    EXPECT_EQ(material->rebuildCountdown, 0u);
    EXPECT_EQ(material->deferredProgram, before) << "own programs are rebuilt in place";
    EXPECT_EQ(*overrideDefine(material->deferredProgram), kGreenAlbedo);
    EXPECT_EQ(*overrideDefine(material->shadowmapProgram), kGreenAlbedo);
    EXPECT_EQ(*overrideDefine(material->getProgram(Renderer::PASS_GEOMETRY)), kGreenAlbedo);

    // A cleared text takes the override out of the programs instead of compiling the old one on.
    material->setOverrideSource("");
    EXPECT_EQ(material->rebuildCountdown, 50u);
    for (int call = 0; call < 50; ++call)
        material->getProgram(Renderer::PASS_DEFERRED);
    EXPECT_EQ(overrideDefine(material->deferredProgram), nullptr);
    EXPECT_EQ(overrideDefine(material->shadowmapProgram), nullptr);
    EXPECT_NE(material->getProgram(Renderer::PASS_DEFERRED), nullptr);
}

TEST_F(MaterialsTest, OverrideTextsCompileInBothHookForms)
{
    EXPECT_EQ(std::strlen(materialShaderTemplate), 380u);
    EXPECT_EQ(std::strlen(vertexColorAlbedoOverride), 155u);

    struct Case {
        const char* root;
        std::string text;
    };
    // The template's hooks uncommented: the form without the material's value.
    std::string uncommented = materialShaderTemplate;
    for (size_t at = uncommented.find("//"); at != std::string::npos; at = uncommented.find("//", at))
        uncommented.erase(at, 2);
    const Case cases[] = {
        {"flat", materialShaderTemplate},
        {"flat", uncommented},
        {"flat", kRedAlbedo},
        {"voxelization_partitioning_visualize", vertexColorAlbedoOverride},
        {"raytrace_partitioning_visualize", vertexColorAlbedoOverride},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Material> material(materialCreateFromRoot(c.root));
        material->setOverrideSource(c.text);
        EXPECT_NE(material->getProgram(Renderer::PASS_DEFERRED), nullptr) << c.root << c.text << events.text;
        EXPECT_NE(material->getProgram(Renderer::PASS_GEOMETRY), nullptr) << c.root << c.text << events.text;
    }
}

TEST_F(MaterialsTest, BrokenOverrideGivesNoProgramUntilItIsFixed)
{
    std::unique_ptr<Material> material(materialCreateFromRoot("flat"));
    material->setOverrideSource("\nthis is not GLSL;\n");
    EXPECT_EQ(material->getProgram(Renderer::PASS_DEFERRED), nullptr);
    EXPECT_EQ(material->getProgram(Renderer::PASS_SHADOWMAP), nullptr);
    EXPECT_EQ(material->getProgram(Renderer::PASS_GEOMETRY), nullptr);
    EXPECT_NE(material->deferredProgram->errors, 0u);

    material->setOverrideSource(kGreenAlbedo);
    for (int call = 1; call < 50; ++call)
        EXPECT_EQ(material->getProgram(Renderer::PASS_DEFERRED), nullptr) << call;
    EXPECT_NE(material->getProgram(Renderer::PASS_DEFERRED), nullptr) << events.text;
    EXPECT_NE(material->getProgram(Renderer::PASS_SHADOWMAP), nullptr);
    EXPECT_NE(material->getProgram(Renderer::PASS_GEOMETRY), nullptr);
}

TEST_F(MaterialsTest, CloneCopiesTheProgramsWithTheirDefines)
{
    Material* root = MaterialManager::findRootMaterial("raytrace_partitioning");
    std::unique_ptr<Material> clone(root->clone());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->name, root->name);
    EXPECT_EQ(clone->id, root->id);
    EXPECT_EQ(clone->parent, root);
    EXPECT_TRUE(clone->ownsPrograms);
    EXPECT_TRUE(clone->overrideSources[0].empty());
    EXPECT_EQ(clone->geometryProgram, nullptr);
    ASSERT_NE(clone->deferredProgram, nullptr);
    EXPECT_NE(clone->deferredProgram, root->deferredProgram);
    EXPECT_EQ(clone->deferredProgram->defines, root->deferredProgram->defines);
    EXPECT_EQ(clone->shadowmapProgram, nullptr);
    EXPECT_EQ(clone->getProgram(Renderer::PASS_SHADOWMAP), nullptr);

    // A define an owner sets on the clone (as the raytracer does) is compiled at the next use, on the clone only.
    clone->deferredProgram->defines["PROXY_PASS_STENCIL_PRIMID"] = "1";
    clone->rebuildCountdown = 1;
    ASSERT_NE(clone->getProgram(Renderer::PASS_DEFERRED), nullptr) << events.text;
    EXPECT_EQ(clone->deferredProgram->defines.count("PROXY_PASS_STENCIL_PRIMID"), 1u);
    EXPECT_EQ(root->deferredProgram->defines.count("PROXY_PASS_STENCIL_PRIMID"), 0u);
}

// ---- Drawing into a G-buffer ----

// 464 bytes, as the renderer components fill it.
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

    explicit TransformParams(const Matrix& m = Matrix{})
        : model(m), modelInvTranspose(m.InverseAffine().Transposed()), modelView(m),
          modelViewInvTranspose(m.InverseAffine().Transposed()), modelInv(m.InverseAffine())
    {
    }
};
static_assert(sizeof(TransformParams) == 464);

// 80 bytes, the GPU material record.
struct MaterialRecord {
    float diffuse[3] = {1, 1, 1};
    float transparency = 0;
    float emissive[3] = {0, 0, 0};
    float roughness = 0.5f;
    float reserved = 0;
    float normalFactor = 1;
    float emissiveFactor = 1;
    float temporalAccumulationFactor = 1;
    float triplanarMappingScale = 1;
    float shadowmapBias = 0;
    float metalness = 0;
    int32_t textures[4] = {-1, -1, -1, -1};
    uint32_t flags = 256 | 512;
};
static_assert(sizeof(MaterialRecord) == 80);

// The G-buffer layout, decoded on the CPU.
struct Decoded {
    std::array<float, 3> normal;
    int material;
};

Decoded decodeNormalMaterial(uint32_t bits)
{
    const float ex = float(bits & 2047u) / 2047.0f * 2.0f - 1.0f;
    const float ey = float((bits >> 11) & 2047u) / 2047.0f * 2.0f - 1.0f;
    float n[3] = {ex, ey, 1.0f - std::fabs(ex) - std::fabs(ey)};
    const float t = std::max(-n[2], 0.0f);
    n[0] += n[0] >= 0 ? -t : t;
    n[1] += n[1] >= 0 ? -t : t;
    const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    return {{n[0] / len, n[1] / len, n[2] / len}, int(bits >> 22)};
}

std::array<float, 3> normalized(std::array<float, 3> v)
{
    const float len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / len, v[1] / len, v[2] / len};
}

float angleDegrees(const std::array<float, 3>& a, const std::array<float, 3>& b)
{
    const float d = std::clamp(a[0] * b[0] + a[1] * b[1] + a[2] * b[2], -1.0f, 1.0f);
    return std::acos(d) * 180.0f / 3.14159265f;
}

// The four G-buffer targets of the deferred renderer, small.
class GBuffer {
public:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 48;

    GBuffer()
    {
        glCreateFramebuffers(1, &framebuffer_);
        const GLenum formats[4] = {GL_RGBA16F, GL_R32UI, GL_RGBA16UI, GL_RGBA16F};
        for (int i = 0; i < 4; ++i) {
            glCreateTextures(GL_TEXTURE_2D, 1, &textures_[i]);
            glTextureStorage2D(textures_[i], 1, formats[i], kWidth, kHeight);
            glNamedFramebufferTexture(framebuffer_, GL_COLOR_ATTACHMENT0 + i, textures_[i], 0);
        }
        const GLenum buffers[4] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1, GL_COLOR_ATTACHMENT2,
                                   GL_COLOR_ATTACHMENT3};
        glNamedFramebufferDrawBuffers(framebuffer_, 4, buffers);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        glViewport(0, 0, kWidth, kHeight);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_CULL_FACE);
        glDisable(GL_BLEND);
        // The frame clear of the deferred renderer.
        const float black[4] = {0, 0, 0, 0};
        const GLuint noSurface[4] = {0xC0000000u, 0, 0, 0};
        const GLuint zero[4] = {0, 0, 0, 0};
        glClearNamedFramebufferfv(framebuffer_, GL_COLOR, 0, black);
        glClearNamedFramebufferuiv(framebuffer_, GL_COLOR, 1, noSurface);
        glClearNamedFramebufferuiv(framebuffer_, GL_COLOR, 2, zero);
        glClearNamedFramebufferfv(framebuffer_, GL_COLOR, 3, black);
    }
    ~GBuffer()
    {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &framebuffer_);
        glDeleteTextures(4, textures_);
    }
    GBuffer(const GBuffer&) = delete;
    GBuffer& operator=(const GBuffer&) = delete;

    // Pixel under normalised device coordinates (x, y).
    static std::array<int, 2> pixelAt(float x, float y)
    {
        return {int((x * 0.5f + 0.5f) * kWidth), int((y * 0.5f + 0.5f) * kHeight)};
    }
    uint32_t normalMaterial(float x, float y) const
    {
        uint32_t v = 0;
        read(1, x, y, GL_RED_INTEGER, GL_UNSIGNED_INT, &v, sizeof v);
        return v;
    }
    std::array<uint16_t, 4> metalnessRoughnessTags(float x, float y) const
    {
        std::array<uint16_t, 4> v{};
        read(2, x, y, GL_RGBA_INTEGER, GL_UNSIGNED_SHORT, v.data(), sizeof v);
        return v;
    }
    std::array<float, 4> color(int target, float x, float y) const
    {
        std::array<float, 4> v{};
        read(target, x, y, GL_RGBA, GL_FLOAT, v.data(), sizeof v);
        return v;
    }

private:
    void read(int target, float x, float y, GLenum format, GLenum type, void* out, GLsizei bytes) const
    {
        const auto p = pixelAt(x, y);
        glGetTextureSubImage(textures_[target], 0, p[0], p[1], 0, 1, 1, 1, format, type, bytes, out);
    }

    GLuint framebuffer_ = 0;
    GLuint textures_[4] = {};
};

// A quad of `half` size around the origin at z 0.5, all vertex normals `normal`, vertex colour `color`.
Geometry* makeQuad(float half, const std::array<float, 3>& normal, const std::array<float, 3>& color)
{
    std::vector<VertexAttribute> attributes;
    for (int code : {VERTEX_ATTRIBUTE_COORDS, VERTEX_ATTRIBUTE_NORMALS, VERTEX_ATTRIBUTE_ALBEDO, VERTEX_ATTRIBUTE_UV0})
        attributes.push_back(builtinVertexAttributes[code]);
    Geometry* geometry = geomCreate(4, 1, attributes);
    auto* coords = reinterpret_cast<float*>(geometry->FindAttributeBuffer("VTXCoords")->hostCopy);
    auto* normals = reinterpret_cast<float*>(geometry->FindAttributeBuffer("VTXNormals")->hostCopy);
    auto* colors = reinterpret_cast<float*>(geometry->FindAttributeBuffer("VTXAlbedo")->hostCopy);
    auto* uvs = reinterpret_cast<float*>(geometry->FindAttributeBuffer("VTXUV0")->hostCopy);
    const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (int v = 0; v < 4; ++v) {
        coords[v * 3 + 0] = corners[v][0] * half;
        coords[v * 3 + 1] = corners[v][1] * half;
        coords[v * 3 + 2] = 0.5f;
        for (int k = 0; k < 3; ++k) {
            normals[v * 3 + k] = normal[k];
            colors[v * 3 + k] = color[k];
        }
        uvs[v * 2 + 0] = corners[v][0] * 0.5f + 0.5f;
        uvs[v * 2 + 1] = corners[v][1] * 0.5f + 0.5f;
    }
    geomSurfaceAppendTriangle(geometry->surfaces[0], 0, 1, 2);
    geomSurfaceAppendTriangle(geometry->surfaces[0], 0, 2, 3);
    geomUpdate(geometry);
    return geometry;
}

// Draws as the renderer components do: the geometry's streams, the instance set (the shared one without one),
// the frame's material records, "TransformParamsBuffer" and "materialIndex".
class MaterialDrawTest : public MaterialsTest {
protected:
    static constexpr int kMaterialRow = 7;
    MaterialRecord record;
    BufferObject* materialBuffer = nullptr;

    void SetUp() override
    {
        MaterialsTest::SetUp();
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 20));
        constBufferRingAdvance();
        record.diffuse[0] = 0.25f;
        record.diffuse[1] = 0.5f;
        record.diffuse[2] = 0.75f;
        record.metalness = 0.25f;
        record.roughness = 0.625f;
        record.emissive[0] = 0.5f;
        record.emissiveFactor = 2.0f;
        record.flags = 2 | 64 | 256 | 512;
    }
    void TearDown() override
    {
        boDelete(materialBuffer);
        constBufferRingShutdown();
        MaterialsTest::TearDown();
    }

    // Rows 0 .. kMaterialRow, the last one `record`.
    void uploadMaterials()
    {
        boDelete(materialBuffer);
        materialBuffer = boCreate("MaterialProperties", sizeof(MaterialRecord) * (kMaterialRow + 1));
        auto* rows = reinterpret_cast<MaterialRecord*>(materialBuffer->hostCopy);
        for (int i = 0; i < kMaterialRow; ++i)
            rows[i] = MaterialRecord{};
        rows[kMaterialRow] = record;
        glNamedBufferSubData(materialBuffer->glId, 0, GLsizeiptr(materialBuffer->size), materialBuffer->hostCopy);
        materialBuffer->dirty = false;
    }

    // Binds everything the program declares; false when some declared block had nothing to bind.
    bool bind(ShaderProgram* program, Geometry* geometry, const TransformParams& transform,
              InstanceBuffers* instances, BufferBindings extra = {})
    {
        uploadMaterials();
        EXPECT_TRUE(shaderUseProgram(program));
        const int row = kMaterialRow;
        shaderSetUniform(program, "materialIndex", UNIFORM_TYPE_INT, &row, sizeof row);
        shaderSetBuiltinBuffersMask(geometry, program);
        BufferBindings bindings;
        shaderBindingsCreate(bindings);
        shaderBindingsAddGeometry(bindings, geometry);
        shaderBindingsAddInstances(bindings, instances);
        shaderBindingsAddBuffer(bindings, "MaterialPropertiesDataBuffer", materialBuffer);
        shaderBindingsAddData(bindings, "TransformParamsBuffer", &transform, sizeof transform);
        for (auto& [name, binding] : extra)
            bindings[name] = binding;
        return shaderBindBuffers(program, bindings);
    }

    void draw(Geometry* geometry, int instanceCount)
    {
        glBindVertexArray(geometry->vao);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, geometry->surfaces[0]->indexBuffer->glId);
        glDrawElementsInstanced(GL_TRIANGLES, GLsizei(geometry->surfaces[0]->triangleCount * 3), GL_UNSIGNED_INT,
                                nullptr, instanceCount);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        glBindVertexArray(0);
    }
};

InstanceBuffers* makeInstances(const std::vector<std::array<float, 12>>& rows,
                               const std::vector<std::array<float, 4>>& colors)
{
    InstanceBuffers* set = InstanceBuffers::Create(uint32_t(rows.size()));
    std::memcpy(set->transforms->hostCopy, rows.data(), rows.size() * 48);
    for (size_t i = 0; i < colors.size(); ++i) {
        uint16_t halves[4];
        for (int k = 0; k < 4; ++k)
            halves[k] = colors[i][k] == 1.0f ? 0x3C00 : 0; // 1.0 or 0.0 in half precision
        std::memcpy(set->colours->hostCopy + i * 8, halves, 8);
    }
    glNamedBufferSubData(set->transforms->glId, 0, GLsizeiptr(set->transforms->size), set->transforms->hostCopy);
    glNamedBufferSubData(set->colours->glId, 0, GLsizeiptr(set->colours->size), set->colours->hostCopy);
    set->transforms->dirty = set->colours->dirty = false;
    return set;
}

TEST_F(MaterialDrawTest, FlatMaterialWritesTheEncodedSurfaceIntoTheGBuffer)
{
    std::unique_ptr<Material> material(materialCreateFromRoot("flat"));
    ShaderProgram* program = material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(program, nullptr) << events.text;

    const std::array<float, 3> normal = normalized({0.3f, -0.5f, 0.8f});
    Geometry* quad = makeQuad(0.5f, normal, {1.0f, 1.0f, 0.5f});
    GBuffer gbuffer;
    // The flat program declares exactly what a renderer component binds for a draw.
    EXPECT_TRUE(bind(program, quad, TransformParams{}, nullptr));
    draw(quad, 1);

    const Decoded centre = decodeNormalMaterial(gbuffer.normalMaterial(0.0f, 0.0f));
    EXPECT_EQ(centre.material, kMaterialRow);
    EXPECT_LT(angleDegrees(centre.normal, normal), 0.2f);
    EXPECT_EQ(gbuffer.normalMaterial(0.9f, 0.9f), 0xC0000000u) << "untouched pixels keep the no-surface clear";
    EXPECT_EQ(decodeNormalMaterial(0xC0000000u).material, 768);

    const auto tags = gbuffer.metalnessRoughnessTags(0.0f, 0.0f);
    EXPECT_NEAR(tags[0] / 65535.0f, 0.25f, 1e-4f);
    EXPECT_NEAR(tags[1] / 65535.0f, 0.625f, 1e-4f);
    EXPECT_EQ(tags[2], 2 | 64 | 256 | 512);
    EXPECT_EQ(tags[3], 0x8000) << "front face, drawn by a surface";

    const auto albedo = gbuffer.color(0, 0.0f, 0.0f);
    EXPECT_NEAR(albedo[0], 0.25f, 1e-3f);
    EXPECT_NEAR(albedo[1], 0.5f, 1e-3f);
    EXPECT_NEAR(albedo[2], 0.375f, 1e-3f) << "diffuse times vertex colour";
    EXPECT_NEAR(gbuffer.color(3, 0.0f, 0.0f)[0], 1.0f, 1e-3f) << "emissive times its factor";
    geomDelete(quad);
}

TEST_F(MaterialDrawTest, ModelAndInstanceTransformsMoveSurfacesAndTheirNormals)
{
    std::unique_ptr<Material> material(materialCreateFromRoot("flat"));
    ShaderProgram* program = material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(program, nullptr) << events.text;

    struct Probe {
        float x, y;
        std::array<float, 3> normal; // expected; zero: no surface
        std::array<float, 3> albedo;
    };
    struct Case {
        const char* name;
        Matrix model;
        std::array<float, 3> normal;
        std::vector<std::array<float, 12>> instances; // none: the shared one-instance set
        std::vector<std::array<float, 4>> colors;
        std::vector<Probe> probes;
    };
    const std::array<float, 3> none{0, 0, 0};
    const std::array<float, 3> white{0.25f, 0.5f, 0.75f};
    const std::array<float, 3> diagonal = normalized({1, 0, 1});
    const Case cases[] = {
        {"model turned 90 degrees about z", Matrix::FromEulerDegrees(0, 0, 90), {1, 0, 0}, {}, {},
         {{0.0f, 0.0f, {0, 1, 0}, white}}},
        {"two instances, one stretched along x",
         Matrix{},
         diagonal,
         {{2, 0, 0, -0.5f, 0, 1, 0, 0, 0, 0, 1, 0}, {1, 0, 0, 0.5f, 0, 1, 0, 0, 0, 0, 1, 0}},
         {{1, 0, 0, 1}, {0, 1, 0, 1}},
         {{-0.5f, 0.0f, normalized({0.5f, 0, 1}), {0.25f, 0, 0}},
          {-0.35f, 0.0f, normalized({0.5f, 0, 1}), {0.25f, 0, 0}},
          {0.5f, 0.0f, diagonal, {0, 0.5f, 0}},
          {0.0f, 0.0f, none, {0, 0, 0}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Geometry* quad = makeQuad(0.1f, c.normal, {1, 1, 1});
        InstanceBuffers* instances = c.instances.empty() ? nullptr : makeInstances(c.instances, c.colors);
        GBuffer gbuffer;
        EXPECT_TRUE(bind(program, quad, TransformParams(c.model), instances));
        draw(quad, instances ? int(instances->count) : 1);
        for (const Probe& probe : c.probes) {
            const uint32_t bits = gbuffer.normalMaterial(probe.x, probe.y);
            if (probe.normal == none) {
                EXPECT_EQ(bits, 0xC0000000u) << probe.x;
                continue;
            }
            const Decoded d = decodeNormalMaterial(bits);
            EXPECT_EQ(d.material, kMaterialRow) << probe.x;
            EXPECT_LT(angleDegrees(d.normal, probe.normal), 0.2f) << probe.x;
            const auto albedo = gbuffer.color(0, probe.x, probe.y);
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(albedo[k], probe.albedo[k], 1e-3f) << probe.x << " channel " << k;
        }
        delete instances;
        geomDelete(quad);
    }
}

// Vertex modifiers as the renderers inject them: a parameter block named VM0, then statement blocks on
// `vtx_input`, in object space before the instance and model transforms and in world space after them.
TEST_F(MaterialDrawTest, VertexModifierBlocksRunInObjectAndWorldSpace)
{
    std::unique_ptr<Material> material(MaterialManager::findRootMaterial("flat")->clone());
    ASSERT_NE(material, nullptr);
    const ShaderDefines blocks = {
        {"INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK", "\nstruct TestModifierParams\n{\n    vec4 offset;\n};\n"
                                                 "layout (std140, row_major) uniform VM0\n{\n"
                                                 "    TestModifierParams VM0_params;\n};\n"},
        {"INLINE_VERTEX_MODIFIERS_TRANSFORM_LOCAL_BLOCK", "\n    vtx_input.pos.x += VM0_params.offset.x;\n"},
        {"INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK", "\n    vtx_input.pos.y += VM0_params.offset.y;\n"},
    };
    for (ShaderProgram* program : {material->deferredProgram, material->shadowmapProgram})
        for (const auto& [name, text] : blocks)
            program->defines[name] = text;
    material->rebuildCountdown = 1;
    ShaderProgram* program = material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(program, nullptr) << events.text;
    ASSERT_NE(material->getProgram(Renderer::PASS_SHADOWMAP), nullptr) << events.text;
    EXPECT_NE(material->getProgram(Renderer::PASS_GEOMETRY), nullptr) << "the geometry pass carries the blocks too";

    BufferObject* parameters = boCreate("VM0", 16);
    const float offset[4] = {0.2f, 0.3f, 0, 0};
    std::memcpy(parameters->hostCopy, offset, sizeof offset);
    glNamedBufferSubData(parameters->glId, 0, sizeof offset, offset);
    parameters->dirty = false;

    // Scaled by 2: the object-space shift of 0.2 lands 0.4 to the right, the world-space 0.3 stays 0.3.
    Geometry* quad = makeQuad(0.1f, {0, 0, 1}, {1, 1, 1});
    GBuffer gbuffer;
    BufferBindings modifiers;
    shaderBindingsAddModifiers(modifiers, {parameters});
    EXPECT_TRUE(bind(program, quad, TransformParams(Matrix::Scale(2, 2, 1)), nullptr, modifiers));
    draw(quad, 1);
    EXPECT_NE(gbuffer.normalMaterial(0.45f, 0.35f), 0xC0000000u);
    EXPECT_EQ(gbuffer.normalMaterial(0.1f, 0.3f), 0xC0000000u) << "object-space block ran after the model";
    EXPECT_EQ(gbuffer.normalMaterial(0.4f, 0.65f), 0xC0000000u) << "world-space block ran before the model";
    EXPECT_EQ(gbuffer.normalMaterial(0.0f, 0.0f), 0xC0000000u);

    geomDelete(quad);
    boDelete(parameters);
}

TEST_F(MaterialDrawTest, OverrideChangesWhatTheMaterialDraws)
{
    std::unique_ptr<Material> plain(materialCreateFromRoot("flat"));
    std::unique_ptr<Material> red(materialCreateFromRoot("flat"));
    red->setOverrideSource(kRedAlbedo);
    Geometry* quad = makeQuad(0.5f, {0, 0, 1}, {1, 1, 1});

    for (Material* material : {red.get(), plain.get()}) {
        ShaderProgram* program = material->getProgram(Renderer::PASS_DEFERRED);
        ASSERT_NE(program, nullptr) << events.text;
        GBuffer gbuffer;
        bind(program, quad, TransformParams{}, nullptr);
        draw(quad, 1);
        const auto albedo = gbuffer.color(0, 0.0f, 0.0f);
        if (material == red.get()) {
            EXPECT_EQ(albedo, (std::array<float, 4>{1, 0, 0, 1}));
        } else {
            EXPECT_NEAR(albedo[0], 0.25f, 1e-3f) << "the root's programs carry no override";
            EXPECT_NEAR(albedo[2], 0.75f, 1e-3f);
        }
    }
    geomDelete(quad);
}

TEST_F(MaterialDrawTest, GeometryPassExportsWorldSpaceTrianglesInsteadOfDrawing)
{
    std::unique_ptr<Material> material(materialCreateFromRoot("flat"));
    ShaderProgram* program = material->getProgram(Renderer::PASS_GEOMETRY);
    ASSERT_NE(program, nullptr) << events.text;

    // Room for 12 exported vertices, laid out as the scene buffers are, only smaller.
    constexpr int kVertices = 12;
    const int layout[8] = {3, 2, 2, 1, 0, 3 * kVertices, 5 * kVertices, 7 * kVertices};
    const char* names[8] = {"out_vtx_data_coord_stride",  "out_vtx_data_normal_stride", "out_vtx_data_uv0_stride",
                            "out_vtx_data_material_stride", "out_vtx_data_coord_offset", "out_vtx_data_normal_offset",
                            "out_vtx_data_uv0_offset",    "out_vtx_data_material_offset"};
    BufferObject* raytrace = boCreateGpuOnly("GeometryRaytrace", 8 * kVertices * 4);
    BufferObject* voxelize = boCreateGpuOnly("GeometryVoxel", 8 * kVertices * 4);
    BufferObject* locations = boCreateGpuOnly("TransformedDataLocationBuffer", 4 * 16);
    const int32_t params[4] = {1, 0, 1, 0}; // export 1, tracing only

    Geometry* quad = makeQuad(0.5f, {0, 0, 1}, {1, 1, 1});
    GBuffer gbuffer;
    BufferBindings extra;
    shaderBindingsAddBuffer(extra, "OutVertexBufferRaytrace", raytrace);
    shaderBindingsAddBuffer(extra, "OutVertexBufferVoxelize", voxelize);
    shaderBindingsAddBuffer(extra, "TransformedDataLocationBuffer", locations);
    shaderBindingsAddData(extra, "TransformGeometryParamsBuffer", params, sizeof params);
    EXPECT_TRUE(bind(program, quad, TransformParams(Matrix::Translation(1, 2, 3)), nullptr, extra));
    for (int i = 0; i < 8; ++i)
        shaderSetUniform(program, names[i], UNIFORM_TYPE_INT, &layout[i], sizeof layout[i]);
    const int uniforms[][2] = {{1, 0}, {5, 0}, {kMaterialRow, 0}, {1, 0}, {1, 0}, {0, 0}, {2, 0}};
    const char* uniformNames[] = {"out_raytrace_faces_base", "out_voxelize_faces_base", "material_index",
                                  "transform_normals",       "export_raytrace",         "export_voxelize",
                                  "faces_per_instance"};
    for (int i = 0; i < 7; ++i)
        shaderSetUniform(program, uniformNames[i], UNIFORM_TYPE_INT, &uniforms[i][0], sizeof(int));
    draw(quad, 1);
    glMemoryBarrier(GL_BUFFER_UPDATE_BARRIER_BIT);

    std::vector<float> out(8 * kVertices);
    glGetNamedBufferSubData(raytrace->glId, 0, GLsizeiptr(out.size() * 4), out.data());
    // Faces base 1: the quad's two triangles are exported vertices 3 .. 8, in index order.
    const int corner[6] = {0, 1, 2, 0, 2, 3};
    const float cornerXY[4][2] = {{-0.5f, -0.5f}, {0.5f, -0.5f}, {0.5f, 0.5f}, {-0.5f, 0.5f}};
    for (int k = 0; k < 6; ++k) {
        const int v = 3 + k;
        SCOPED_TRACE(v);
        EXPECT_FLOAT_EQ(out[v * 3 + 0], 1 + cornerXY[corner[k]][0]);
        EXPECT_FLOAT_EQ(out[v * 3 + 1], 2 + cornerXY[corner[k]][1]);
        EXPECT_FLOAT_EQ(out[v * 3 + 2], 3.5f);
        EXPECT_FLOAT_EQ(out[layout[5] + v * 2 + 0], 0.0f) << "+z encodes as (0, 0)";
        EXPECT_FLOAT_EQ(out[layout[5] + v * 2 + 1], 0.0f);
        EXPECT_FLOAT_EQ(out[layout[6] + v * 2 + 0], cornerXY[corner[k]][0] + 0.5f);
        EXPECT_FLOAT_EQ(out[layout[7] + v], float(kMaterialRow));
    }
    EXPECT_FLOAT_EQ(out[0], 0.0f) << "slots before the faces base stay untouched";
    EXPECT_FLOAT_EQ(out[9 * 3], 0.0f);

    std::vector<float> voxels(8 * kVertices, 1.0f);
    glGetNamedBufferSubData(voxelize->glId, 0, GLsizeiptr(voxels.size() * 4), voxels.data());
    EXPECT_EQ(voxels, std::vector<float>(8 * kVertices, 0.0f)) << "not exported for voxelization";

    int32_t records[16] = {};
    glGetNamedBufferSubData(locations->glId, 0, sizeof records, records);
    EXPECT_EQ((std::array<int32_t, 4>{records[4], records[5], records[6], records[7]}),
              (std::array<int32_t, 4>{1, 3, 5, 5}));

    EXPECT_EQ(gbuffer.normalMaterial(0.0f, 0.0f), 0xC0000000u) << "the geometry pass rasterises nothing";

    geomDelete(quad);
    boDelete(raytrace);
    boDelete(voxelize);
    boDelete(locations);
}

} // namespace
