#include "render/material_block.h"

#include "gl_context.h"
#include "jni/engine/grd_texture.h"
#include "project/cvars.h"
#include "project/project.h"
#include "project/resources.h"
#include "project_test_util.h"
#include "render/deferred_records.h"
#include "render/materials.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using projtest::LogCapture;

namespace {

// A block registered into a branch of its own, as a renderer component's slot is. The block outlives the
// branch, which only forgets the cvars it does not own.
class MaterialBlockTest : public ::testing::Test {
protected:
    Material slotMaterial{"flat", 0, nullptr, nullptr};
    MaterialCvarBlock block;
    std::unique_ptr<CvarTreeNode> branch = std::make_unique<CvarTreeNode>("Material 0", nullptr);

    void SetUp() override
    {
        block.material = &slotMaterial;
        block.SetDefaults();
        CvarTreeNode* saved = cvarTreeCurrentBranch;
        cvarTreeCurrentBranch = branch.get();
        block.Register();
        cvarTreeCurrentBranch = saved;
    }

    MaterialProperties convert() const
    {
        MaterialProperties record;
        block.ToProperties(record);
        return record;
    }
};

TEST_F(MaterialBlockTest, RegistersTheParametersInInspectorOrderWithTheirTypesAndRanges)
{
    struct Expected {
        const char* name;
        int32_t type;
        float min, max;
        bool animatable;
    };
    const Expected expected[] = {
        {"Material Override", CvarType::Resource, 0, 0, false},
        {"texture mapping mode", CvarType::Enum, 0, 1, false},
        {"diffuse", CvarType::Color, 0, 0, true},
        {"emmisive", CvarType::Color, 0, 0, true},
        {"transparency", CvarType::Float, 0, 1, true},
        {"roughness", CvarType::Float, 0, 1, true},
        {"metalness", CvarType::Float, 0, 1, true},
        {"normal factor", CvarType::Float, 0, 1, true},
        {"emissive factor", CvarType::Float, 0, 1, true},
        {"temporal accumulation factor", CvarType::Float, 0, 1, false},
        {"triplanar mapping scale", CvarType::Float, 0, 10, false},
        {"shadowmap bias", CvarType::Float, -10, 10, false},
        {"flat", CvarType::Bool, 0, 1, false},
        {"doublesided", CvarType::Bool, 0, 1, false},
        {"reflective", CvarType::Bool, 0, 1, false},
        {"ssr", CvarType::Bool, 0, 1, false},
        {"visible", CvarType::Bool, 0, 1, false},
        {"material", CvarType::Material, 0, 0, false},
        {"albedo texture", CvarType::Resource, 0, 0, false},
        {"emissive texture", CvarType::Resource, 0, 0, false},
        {"metalic roughness texture", CvarType::Resource, 0, 0, false},
        {"normal texture", CvarType::Resource, 0, 0, false},
        {"shader", CvarType::Text, 0, 0, false},
    };
    ASSERT_EQ(branch->cvars.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Cvar* cvar = branch->cvars[i];
        const Expected& e = expected[i];
        EXPECT_EQ(cvar->name, e.name) << i;
        EXPECT_EQ(cvar->type, e.type) << e.name;
        EXPECT_EQ(cvar->min, e.min) << e.name;
        EXPECT_EQ(cvar->max, e.max) << e.name;
        EXPECT_EQ(cvar->animatable, e.animatable) << e.name;
    }
    EXPECT_EQ(block.materialOverride.resourceType, ResourceType::Material);
    EXPECT_EQ(block.albedoTexture.resourceType, ResourceType::Texture);
    EXPECT_EQ(block.normalTexture.resourceType, ResourceType::Texture);
    EXPECT_FALSE(block.diffuse.alphaEditable);
    EXPECT_FALSE(block.emmisive.alphaEditable);
    EXPECT_EQ(block.materialParameter.rootMaterial, &slotMaterial);
    EXPECT_STREQ(block.textureMappingMode.enumOptions[1], "TriPlanar");
    EXPECT_EQ(block.shader.text, materialShaderTemplate);
    EXPECT_EQ(block.shader.text.size(), 380u);
}

TEST_F(MaterialBlockTest, NewBlockConvertsToTheDefaultSurface)
{
    const MaterialProperties r = convert();
    const float diffuse[3] = {1, 1, 1}, emissive[3] = {0, 0, 0};
    EXPECT_EQ(std::memcmp(r.diffuse, diffuse, sizeof diffuse), 0);
    EXPECT_EQ(std::memcmp(r.emissive, emissive, sizeof emissive), 0);
    EXPECT_EQ(r.roughness, 0.5f);
    EXPECT_EQ(r.metalness, 0.0f);
    EXPECT_EQ(r.normalFactor, 1.0f);
    EXPECT_EQ(r.emissiveFactor, 1.0f);
    EXPECT_EQ(r.temporalAccumulationFactor, 1.0f);
    EXPECT_EQ(r.triplanarMappingScale, 1.0f);
    EXPECT_EQ(r.shadowmapBias, 0.0f);
    EXPECT_TRUE(r.visible);
    EXPECT_FALSE(r.reflective || r.doublesided || r.ssr || r.flat);
    EXPECT_EQ(r.textureMappingMode, 0);
    EXPECT_EQ(r.albedoTexture, nullptr);
    EXPECT_EQ(r.normalTexture, nullptr);
    const int32_t none[4] = {-1, -1, -1, -1};
    EXPECT_EQ(materialToGPU(r, none).flags, 256u | 512u) << "no flag of the block's own is set";
}

TEST_F(MaterialBlockTest, ParametersBecomeRecordFieldsAndUploadedFlagBits)
{
    struct Case {
        const char* name;
        void (*set)(MaterialCvarBlock&);
        uint32_t bit; // in the uploaded flag word
    };
    const Case cases[] = {
        {"transparency 0.001", [](MaterialCvarBlock& b) { b.transparency.value[0] = 0.001f; }, 32},
        {"transparency 0", [](MaterialCvarBlock& b) { b.transparency.value[0] = 0.0f; }, 0},
        {"mapping mode 1.7", [](MaterialCvarBlock& b) { b.textureMappingMode.value[0] = 1.7f; }, 1024},
        {"reflective", [](MaterialCvarBlock& b) { b.reflective.value[0] = 1.0f; }, 1},
        {"ssr", [](MaterialCvarBlock& b) { b.ssr.value[0] = 0.6f; }, 8},
        {"ssr at the threshold", [](MaterialCvarBlock& b) { b.ssr.value[0] = 0.5f; }, 0},
        {"doublesided", [](MaterialCvarBlock& b) { b.doublesided.value[0] = 1.0f; }, 64},
        {"flat", [](MaterialCvarBlock& b) { b.flat.value[0] = 1.0f; }, 128},
        {"invisible", [](MaterialCvarBlock& b) { b.visible.value[0] = 0.4f; }, 0},
    };
    const int32_t none[4] = {-1, -1, -1, -1};
    for (const Case& c : cases) {
        block.SetDefaults();
        c.set(block);
        MaterialProperties r;
        r.flagBit256 = r.flagBit512 = false;
        block.ToProperties(r);
        EXPECT_EQ(materialToGPU(r, none).flags, c.bit) << c.name;
    }
    block.SetDefaults();
    block.textureMappingMode.value[0] = 1.7f;
    block.visible.value[0] = 0.4f;
    EXPECT_EQ(convert().textureMappingMode, 1);
    EXPECT_FALSE(convert().visible);

    block.SetDefaults();
    const float diffuse[4] = {0.1f, 0.2f, 0.3f, 0.9f}, emissive[4] = {0.4f, 0.5f, 0.6f, 0.9f};
    std::memcpy(block.diffuse.value, diffuse, sizeof diffuse);
    std::memcpy(block.emmisive.value, emissive, sizeof emissive);
    block.roughness.value[0] = 0.25f;
    block.metalness.value[0] = 0.75f;
    block.normalFactor.value[0] = 0.3f;
    block.emissiveFactor.value[0] = 0.4f;
    block.temporalAccumulationFactor.value[0] = 0.6f;
    block.triplanarMappingScale.value[0] = 7.0f;
    block.shadowmapBias.value[0] = -2.0f;
    MaterialProperties r;
    r.flagBit2 = r.flagBit16 = true; // the renderer's own per-draw flags
    r.reserved = 3.0f;
    block.ToProperties(r);
    EXPECT_EQ(std::memcmp(r.diffuse, diffuse, 12), 0);
    EXPECT_EQ(std::memcmp(r.emissive, emissive, 12), 0);
    EXPECT_EQ(r.roughness, 0.25f);
    EXPECT_EQ(r.metalness, 0.75f);
    EXPECT_EQ(r.normalFactor, 0.3f);
    EXPECT_EQ(r.emissiveFactor, 0.4f);
    EXPECT_EQ(r.temporalAccumulationFactor, 0.6f);
    EXPECT_EQ(r.triplanarMappingScale, 7.0f);
    EXPECT_EQ(r.shadowmapBias, -2.0f);
    EXPECT_TRUE(r.flagBit2 && r.flagBit16) << "left as the caller set them";
    EXPECT_EQ(r.reserved, 3.0f);
}

TEST_F(MaterialBlockTest, ShaderTextReachesTheMaterialOnlyWhenItChanges)
{
    ASSERT_TRUE(slotMaterial.overrideSources[0].empty());
    block.ApplyShaderOverride();
    EXPECT_EQ(slotMaterial.rebuildCountdown, 1u) << "the first text is compiled at the next program request";
    EXPECT_EQ(slotMaterial.overrideSources[0], materialShaderTemplate);
    slotMaterial.rebuildCountdown = 0;
    block.ApplyShaderOverride();
    EXPECT_EQ(slotMaterial.rebuildCountdown, 0u) << "the same text again starts no rebuild";
    block.shader.text += "\n#define MATERIAL_OVERRIDE_ROUGHNESS\n";
    block.ApplyShaderOverride();
    EXPECT_EQ(slotMaterial.rebuildCountdown, 50u);

    block.material = nullptr;
    block.ApplyShaderOverride(); // a slot without material is left alone
}

// Texture parameters look their resources up in the current project.
class MaterialBlockTextureTest : public GLTest {
protected:
    MaterialCvarBlock block;
    projtest::ScopedProject project;
    Texture* image = nullptr;

    void SetUp() override
    {
        GLTest::SetUp();
        block.SetDefaults();
        image = txtCreateNamed("image", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
        project.store.add_texture("image", image);
        project.store.add_envmap("sky", image);
    }
    void TearDown() override
    {
        txtDestroy(image);
        GLTest::TearDown();
    }
};

TEST_F(MaterialBlockTextureTest, TextureNamesBecomeTexturesAndAlbedoGainsItsSrgbView)
{
    block.albedoTexture.text = "image";
    block.normalTexture.text = "image";
    block.emissiveTexture.text = "missing";
    block.metalicRoughnessTexture.text = "sky";
    ASSERT_EQ(image->srgbViewId, 0u);

    Texture* keep = txtCreateNamed("caller's", TEXTURE_TYPE_2D, 1, 1, IMAGE_TYPE_RGBA8);
    MaterialProperties r;
    r.emissiveTexture = keep;
    LogCapture log;
    block.ToProperties(r);
    EXPECT_EQ(r.albedoTexture, image);
    EXPECT_EQ(r.normalTexture, image);
    EXPECT_NE(image->srgbViewId, 0u) << "albedo is sampled through an sRGB view";
    EXPECT_NE(image->srgbViewId, image->glId);
    EXPECT_EQ(r.emissiveTexture, keep) << "a missing name leaves the caller's pointer";
    EXPECT_EQ(r.metallicRoughnessTexture, nullptr) << "a resource of another type is no texture";
    EXPECT_TRUE(log.contains("found but with different type"));
    EXPECT_FALSE(log.contains("missing")) << "a missing resource is ignored silently";
    txtDestroy(keep);
}

} // namespace
