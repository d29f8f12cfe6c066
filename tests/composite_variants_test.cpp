// Exact references of the final composite (every view, each optional input on and off, the temporal resolve) and
// of the G-buffer written by textured and untextured materials. The hashes in tests/data/composite_variants.txt
// were taken from the full programs; every cheaper program picked for a frame must give the same pixels.
// ENGINE_UPDATE_REFERENCES=1 rewrites the entries of the cases that run.
#include "render/deferred_composite.h"

#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "render/deferred_postprocess.h"
#include "render/shader_inputs.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

using namespace gl;
using deferredtest::kHeight;
using deferredtest::kWidth;
using deferredtest::Plane;

namespace {

const std::string kReferenceFile = TEST_DATA_DIR "composite_variants.txt";

// FNV-1a of the pixels; a negative zero counts as zero (the same pixel, whichever sign a max() returns).
uint64_t pixelHash(const std::vector<float>& pixels)
{
    uint64_t hash = 14695981039346656037ull;
    for (float value : pixels) {
        if (value == 0.0f)
            value = 0.0f;
        hash = shaderHashFnv1a(&value, sizeof value, hash);
    }
    return hash;
}

template <typename T>
uint64_t bytesHash(const std::vector<T>& values)
{
    return shaderHashFnv1a(values.data(), values.size() * sizeof(T));
}

// "name hash" lines, sorted by name.
std::map<std::string, std::string> readReferences()
{
    std::map<std::string, std::string> entries;
    std::ifstream in(kReferenceFile);
    std::string name;
    std::string hash;
    while (in >> name >> hash)
        entries[name] = hash;
    return entries;
}

bool updatingReferences()
{
    const char* value = std::getenv("ENGINE_UPDATE_REFERENCES");
    return value && std::string(value) == "1";
}

std::string hex(uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Compares against the stored hash, or stores it when updating.
void expectReference(const std::string& name, uint64_t hash)
{
    if (updatingReferences()) {
        std::map<std::string, std::string> entries = readReferences();
        entries[name] = hex(hash);
        std::ofstream out(kReferenceFile, std::ios::trunc);
        for (const auto& [key, value] : entries)
            out << key << ' ' << value << '\n';
        return;
    }
    const std::map<std::string, std::string> entries = readReferences();
    const auto found = entries.find(name);
    ASSERT_NE(found, entries.end()) << "no reference for " << name << " in " << kReferenceFile;
    EXPECT_EQ(hex(hash), found->second) << name << " differs from its reference";
}

// A steady, position-dependent value in 0..1 per pixel and channel, different per seed.
float pattern(int x, int y, int channel, int seed)
{
    const uint32_t h = (uint32_t(x) * 73856093u) ^ (uint32_t(y) * 19349663u) ^ (uint32_t(channel + 4 * seed) * 83492791u);
    const float smooth = 0.5f + 0.5f * std::sin(float(x) * 0.031f * float(seed + 1) + float(y) * 0.047f + float(channel));
    return 0.7f * smooth + 0.3f * float(h % 1000u) / 1000.0f;
}

// ---- Composite ----

// The composite's optional inputs.
enum Input : unsigned {
    kVoxel = 1u << 0,
    kFog = 1u << 1,
    kParticles = 1u << 2,
    kRaytrace = 1u << 3,
    kWireframe = 1u << 4,
    kOcclusion = 1u << 5,
    kReflections = 1u << 6,
    kAllInputs = (1u << 7) - 1,
};

const char* const kInputNames[] = {"voxel", "fog", "particles", "raytrace", "wireframe", "occlusion", "reflections"};

std::string inputsName(unsigned inputs)
{
    if (inputs == 0)
        return "none";
    if (inputs == kAllInputs)
        return "all";
    std::string name;
    for (unsigned bit = 0; bit < std::size(kInputNames); ++bit)
        if (inputs & (1u << bit))
            name += (name.empty() ? "" : "+") + std::string(kInputNames[bit]);
    return name;
}

class CompositeVariantsTest : public deferredtest::DeferredSceneTest {
protected:
    Framebuffer* destination = nullptr;
    Texture* results[2] = {};

    void SetUp() override
    {
        DeferredSceneTest::SetUp();
        destination = fbCreate("variants_composite");
        for (int i = 0; i < 2; ++i)
            results[i] = txtCreateNamed(i ? "VariantsPrevious" : "VariantsComposite", TEXTURE_TYPE_2D, kWidth, kHeight,
                                        IMAGE_TYPE_RGBA16F);
        fbAttach(destination, FB_ATTACHMENT_COLOR0, results[0]);
        fbAttach(destination, FB_ATTACHMENT_COLOR1, results[1]);
        fill(results[1], 0.0f, 0.0f, 0.0f, 1.0f);

        setCamera({0.0f, 1.5f, 0.0f}, {15.0f, 10.0f, 0.0f}, 60.0f, 0.1f, 100.0f);
        Plane ground = deferredtest::floorPlane();
        ground.albedo[0] = 0.6f;
        ground.lit[1] = 0.35f;
        ground.roughness = 0.2f;
        ground.metalness = 0.5f;
        ground.flags = deferredtest::kFlagSSR;
        ground.material = 2;
        Plane wall = deferredtest::wallPlane(6.0f);
        wall.albedo[2] = 0.8f;
        wall.lit[0] = 0.6f;
        wall.roughness = 0.7f;
        wall.flags = deferredtest::kFlagRaytrace;
        wall.material = 5;
        drawScene({ground, wall});
        // Some shading across the lit image, so neighbourhoods differ.
        std::vector<float> lit = read(deferredRenderer.txtDeferredGlobalShadows);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 3; ++c)
                    lit[(size_t(y) * kWidth + x) * 4 + c] *= 0.5f + pattern(x, y, c, 9);
        upload(deferredRenderer.txtDeferredGlobalShadows, lit);
        upload(deferredRenderer.txtDeferredEmissive, image(8, 0.2f, 1.0f));
    }
    void TearDown() override
    {
        fbDestroy(destination);
        for (Texture* texture : results)
            txtDestroy(texture);
        deferredRenderer.hbaoEnabled = false;
        deferredRenderer.ssrEnabled = false;
        DeferredSceneTest::TearDown();
    }

    static std::vector<float> image(int seed, float scale, float alpha)
    {
        std::vector<float> pixels(size_t(kWidth) * kHeight * 4);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                float* p = &pixels[(size_t(y) * kWidth + x) * 4];
                for (int c = 0; c < 3; ++c)
                    p[c] = pattern(x, y, c, seed) * scale;
                p[3] = alpha < 0.0f ? pattern(x, y, 3, seed) : alpha;
            }
        return pixels;
    }

    // The inputs as their passes leave them: written when on, at the renderer's own clear values when off.
    void setInputs(unsigned inputs)
    {
        DeferredRenderer& r = deferredRenderer;
        const int h = r.historyIndex & 1;
        if (inputs & kVoxel)
            upload(r.txtVXLighting[h], image(1, 0.3f, -1.0f));
        else
            fill(r.txtVXLighting[h], 0.0f, 0.0f, 0.0f, 0.0f);
        if (inputs & kFog)
            upload(r.txtVolumetricFog[h], image(2, 0.2f, -1.0f));
        else
            fill(r.txtVolumetricFog[h], 0.0f, 0.0f, 0.0f, 0.0f);
        if (inputs & kParticles)
            upload(r.txtBlendedParticles, image(3, 0.25f, 1.0f));
        else
            fill(r.txtBlendedParticles, 0.0f, 0.0f, 0.0f, 1.0f);
        if (inputs & kRaytrace)
            upload(r.txtRaytrace[h], image(4, 0.5f, 1.0f));
        else
            fill(r.txtRaytrace[h], 0.0f, 0.0f, 0.0f, 1.0f);
        std::vector<float> wireDepth(size_t(kWidth) * kHeight, 1.0f);
        if (inputs & kWireframe) {
            // Lines every 16 pixels; the left half in front of the scene, the right half behind it.
            std::vector<float> wire(size_t(kWidth) * kHeight * 4, 0.0f);
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    if (x % 16 == 0 || y % 16 == 0) {
                        const size_t i = size_t(y) * kWidth + x;
                        wire[i * 4 + 0] = 1.0f;
                        wire[i * 4 + 1] = 0.5f;
                        wire[i * 4 + 3] = 1.0f;
                        wireDepth[i] = x < kWidth / 2 ? 0.0f : 1.0f;
                    }
            glTextureSubImage2D(r.txtWireframeColor->glId, 0, 0, 0, kWidth, kHeight, GL_RGBA, GL_FLOAT, wire.data());
        } else {
            fill(r.txtWireframeColor, 0.0f, 0.0f, 0.0f, 0.0f);
        }
        glTextureSubImage2D(r.txtWireframeDepth->glId, 0, 0, 0, kWidth, kHeight, GL_DEPTH_COMPONENT, GL_FLOAT,
                            wireDepth.data());
        deferredSetHBAOParams((inputs & kOcclusion) != 0, 1.0f, 0.1f, 1.0f);
        r.ssrEnabled = (inputs & kReflections) != 0;
        // What the passes would have marked.
        deferredMarkCompositeInputs(inputs, true);
        deferredMarkCompositeInputs(~inputs, false);
    }

    // Every term of the composite in play.
    static DeferredCompositeParams settings(float blend)
    {
        DeferredCompositeParams s;
        s.fogColor[0] = 0.3f;
        s.fogColor[1] = 0.35f;
        s.fogColor[2] = 0.4f;
        s.fogColor[3] = 0.8f;
        s.fogRange = 12.0f;
        s.fogHeight = 3.0f;
        s.vxOcclusionStrength = 0.6f;
        s.vxIlluminationStrength = 0.8f;
        s.ssrStrength = 0.7f;
        s.volumetricFogStrength = 0.9f;
        s.volumetricFogIntensity = 1.3f;
        s.newFrameBlendFactor = blend;
        return s;
    }

    std::vector<float> composite(int view, unsigned inputs, float blend)
    {
        setInputs(inputs);
        renderingMain = view;
        DeferredComposite(destination, settings(blend));
        return read(results[0]);
    }
};

TEST_F(CompositeVariantsTest, EveryViewWithAllInputsOnAndOffMatchesItsReference)
{
    for (int view = 0; view < COMPOSITE_VIEW_COUNT; ++view)
        for (unsigned inputs : {0u, unsigned(kAllInputs)}) {
            const std::string name = "composite/view" + std::to_string(view) + "/" + inputsName(inputs);
            SCOPED_TRACE(name);
            const std::vector<float> pixels = composite(view, inputs, 1.0f);
            ASSERT_TRUE(allFinite(pixels));
            expectReference(name, pixelHash(pixels));
        }
}

TEST_F(CompositeVariantsTest, EachInputAloneMatchesItsReference)
{
    for (unsigned bit = 0; bit < std::size(kInputNames); ++bit) {
        const std::string name = "composite/view0/" + inputsName(1u << bit);
        SCOPED_TRACE(name);
        expectReference(name, pixelHash(composite(COMPOSITE_VIEW_COMPOSITE, 1u << bit, 1.0f)));
    }
    // Pairs that meet in the same terms: fog over particles, occlusion with voxel occlusion.
    for (unsigned inputs : {kFog | kParticles, kOcclusion | kVoxel, kWireframe | kReflections}) {
        const std::string name = "composite/view0/" + inputsName(inputs);
        SCOPED_TRACE(name);
        expectReference(name, pixelHash(composite(COMPOSITE_VIEW_COMPOSITE, inputs, 1.0f)));
    }
}

TEST_F(CompositeVariantsTest, TemporalResolveMatchesItsReference)
{
    // Two frames: the second blends with the first through the history.
    for (unsigned inputs : {0u, unsigned(kAllInputs)})
        for (int view : {int(COMPOSITE_VIEW_COMPOSITE), int(COMPOSITE_VIEW_LIGHTING)}) {
            const std::string name = "resolve/view" + std::to_string(view) + "/" + inputsName(inputs);
            SCOPED_TRACE(name);
            fill(results[1], 0.0f, 0.0f, 0.0f, 1.0f);
            const std::vector<float> first = composite(view, inputs, 0.5f);
            std::swap(results[0], results[1]);
            fbAttach(destination, FB_ATTACHMENT_COLOR0, results[0]);
            fbAttach(destination, FB_ATTACHMENT_COLOR1, results[1]);
            const std::vector<float> second = composite(view, inputs, 0.5f);
            expectReference(name + "/frame1", pixelHash(first));
            expectReference(name + "/frame2", pixelHash(second));
        }
}

// The variant reads exactly the inputs of its key, and gives the full program's pixels.
TEST_F(CompositeVariantsTest, VariantsGiveTheFullProgramsPixelsAndSampleOnlyTheirInputs)
{
    const char* const samplers[] = {"sVoxelLighting", "sVolumetricFog",  "sParticles", "sRaytrace",
                                    "sWireframeColor", "sHBAO", "sSSR"};
    for (unsigned bit = 0; bit < std::size(kInputNames); ++bit) {
        const unsigned inputs = kAllInputs & ~(1u << bit);
        SCOPED_TRACE(inputsName(inputs));
        deferredCompositeUseVariants = false;
        const std::vector<float> full = composite(COMPOSITE_VIEW_COMPOSITE, inputs, 1.0f);
        deferredCompositeUseVariants = true;
        const std::vector<float> variant = composite(COMPOSITE_VIEW_COMPOSITE, inputs, 1.0f);
        EXPECT_EQ(pixelHash(variant), pixelHash(full));

        const ShaderProgram* program =
            deferredCompositeVariant(deferredCompositeVariantKey(COMPOSITE_VIEW_COMPOSITE, deferredCompositeInputsInUse()));
        ASSERT_NE(program, deferredRenderer.compositeProgram);
        for (unsigned other = 0; other < std::size(samplers); ++other) {
            // Raytrace is never read by the composite view.
            const bool read = other != 3 && other != bit;
            EXPECT_EQ(glGetUniformLocation(program->glProgramId, samplers[other]) != -1, read) << samplers[other];
        }
    }
    EXPECT_NE(glGetUniformLocation(deferredRenderer.compositeProgram->glProgramId, "sParticles"), -1);
}

TEST_F(CompositeVariantsTest, SwitchingAnInputSelectsAnotherProgramAndTheSameKeyReusesIt)
{
    std::vector<const ShaderProgram*> used;
    static std::vector<const ShaderProgram*>* sink = nullptr;
    sink = &used;
    deferredDispatchObserver = [](const ShaderProgram* program, int, int) { sink->push_back(program); };
    const auto programFor = [&](int view, unsigned inputs) {
        used.clear();
        composite(view, inputs, 1.0f);
        return used.size() == 1 ? used[0] : nullptr;
    };

    const ShaderProgram* none = programFor(COMPOSITE_VIEW_COMPOSITE, 0);
    ASSERT_NE(none, nullptr);
    const size_t built = deferredCompositeVariantCount();
    EXPECT_EQ(programFor(COMPOSITE_VIEW_COMPOSITE, 0), none);
    EXPECT_EQ(deferredCompositeVariantCount(), built) << "the same key builds nothing new";
    for (unsigned bit = 0; bit < std::size(kInputNames); ++bit) {
        const ShaderProgram* on = programFor(COMPOSITE_VIEW_COMPOSITE, 1u << bit);
        // The composite view does not read the raytrace target; every other input changes its program.
        if ((1u << bit) == kRaytrace)
            EXPECT_EQ(on, none);
        else
            EXPECT_NE(on, none) << kInputNames[bit];
        EXPECT_EQ(programFor(COMPOSITE_VIEW_COMPOSITE, 0), none) << kInputNames[bit] << " off again";
    }
    // A view reads only its own input; an unknown view is the composite.
    EXPECT_EQ(programFor(COMPOSITE_VIEW_ALBEDO, kAllInputs), programFor(COMPOSITE_VIEW_ALBEDO, 0));
    EXPECT_NE(programFor(COMPOSITE_VIEW_VXLIGHTING, kVoxel), programFor(COMPOSITE_VIEW_VXLIGHTING, 0));
    EXPECT_EQ(programFor(COMPOSITE_VIEW_VXLIGHTING, kVoxel | kFog), programFor(COMPOSITE_VIEW_VXLIGHTING, kVoxel));
    EXPECT_EQ(programFor(99, 0), none);
    EXPECT_EQ(deferredCompositeVariantKey(99, kAllInputs), deferredCompositeVariantKey(0, kAllInputs));
    EXPECT_NE(programFor(COMPOSITE_VIEW_ALBEDO, 0), programFor(COMPOSITE_VIEW_NORMALS, 0));

    // The temporal resolve keeps its one program; the composite stays one dispatch before it.
    used.clear();
    setInputs(kFog);
    DeferredComposite(destination, settings(0.5f));
    ASSERT_EQ(used.size(), 2u);
    EXPECT_EQ(used[0], programFor(COMPOSITE_VIEW_COMPOSITE, kFog));
    EXPECT_EQ(used[1], deferredRenderer.taaResolveProgram);

    deferredCompositeUseVariants = false;
    EXPECT_EQ(programFor(COMPOSITE_VIEW_COMPOSITE, 0), deferredRenderer.compositeProgram);
    deferredCompositeUseVariants = true;
    deferredDispatchObserver = nullptr;
}

TEST_F(CompositeVariantsTest, PassesMarkWhatTheyWriteAndClear)
{
    const uint32_t tracked = COMPOSITE_INPUT_VOXEL | COMPOSITE_INPUT_FOG | COMPOSITE_INPUT_PARTICLES |
                             COMPOSITE_INPUT_RAYTRACE | COMPOSITE_INPUT_WIREFRAME;
    deferredMarkCompositeInputs(COMPOSITE_INPUTS_ALL, true);
    EXPECT_EQ(deferredCompositeWrittenInputs(), tracked) << "occlusion and reflections follow their switches";

    // The frame's clear: particles and raytrace cleared, voxel and fog not produced yet.
    deferredClearTargets();
    EXPECT_EQ(deferredCompositeWrittenInputs(), uint32_t(COMPOSITE_INPUT_WIREFRAME));
    // A particle renderer's target, a raytracer's or a wireframe's framebuffer looked up by name.
    ASSERT_EQ(deferredTarget(1), deferredRenderer.fbDeferredParticles);
    EXPECT_TRUE(deferredCompositeWrittenInputs() & COMPOSITE_INPUT_PARTICLES);
    deferredMarkCompositeInputs(tracked, false);
    ASSERT_NE(deferredFindFramebuffer("deferred_raytrace0"), nullptr);
    ASSERT_NE(deferredFindFramebuffer("fbWireframe"), nullptr);
    EXPECT_EQ(deferredCompositeWrittenInputs(), uint32_t(COMPOSITE_INPUT_RAYTRACE | COMPOSITE_INPUT_WIREFRAME));
    ASSERT_NE(deferredFindFramebuffer("deferred_deep"), nullptr);
    EXPECT_EQ(deferredCompositeWrittenInputs(), uint32_t(COMPOSITE_INPUT_RAYTRACE | COMPOSITE_INPUT_WIREFRAME));

    // Voxel lighting and fog without a grid clear their targets and say so.
    deferredMarkCompositeInputs(tracked, true);
    VoxelLightingSettings voxels;
    voxels.voxelized = 1;
    RenderVoxelizationLighting(nullptr, voxels);
    RenderVolumetricFog(nullptr, voxels);
    EXPECT_EQ(deferredCompositeWrittenInputs() & (COMPOSITE_INPUT_VOXEL | COMPOSITE_INPUT_FOG), 0u);

    deferredRenderer.hbaoEnabled = true;
    EXPECT_TRUE(deferredCompositeInputsInUse() & COMPOSITE_INPUT_OCCLUSION);
    EXPECT_FALSE(deferredCompositeInputsInUse() & COMPOSITE_INPUT_REFLECTIONS);
    deferredRenderer.hbaoEnabled = false;

    // Released with the renderer: everything counts as written again.
    deferredCompositeVariantsRelease();
    EXPECT_EQ(deferredCompositeWrittenInputs(), tracked);
    EXPECT_EQ(deferredCompositeVariantCount(), 0u);
}

// ---- Materials ----

class MaterialVariantsTest : public GLTest {
protected:
    std::string oldBase = dataBasePath();
    int oldWidth = screenWidth;
    int oldHeight = screenHeight;
    EventLog events;
    EventLog* oldEvents = uiEventLog;
    std::unique_ptr<Material> flat;
    deferredscene::SceneObjects owned;
    std::vector<Texture*> textures;
    Camera camera;

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(deferredtest::kAssets);
        uiEventLog = &events;
        ui_event_log_connect();
        screenWidth = kWidth;
        screenHeight = kHeight;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 22));
        rendererInitGlobalInputs();
        flat.reset(materialCreateFromRoot("flat"));
        ASSERT_TRUE(flat);
        deferredRenderInit();
        deferredCreateTargets();
        resetMaterialTable();
    }
    void TearDown() override
    {
        flat.reset();
        owned.release();
        for (Texture* texture : textures)
            txtDestroy(texture);
        shaderUseProgram(nullptr);
        deferredRenderRelease();
        constBufferRingShutdown();
        while (fbStackTop > 0)
            fbPop();
        fbBind(nullptr);
        glClipControl(GL_LOWER_LEFT, GL_NEGATIVE_ONE_TO_ONE);
        screenWidth = oldWidth;
        screenHeight = oldHeight;
        dataSetBasePath(oldBase);
        uiEventLog = oldEvents;
        GLTest::TearDown();
    }

    // A 16 x 16 RGBA8 texture with its mip chain, from the pattern.
    Texture* patternTexture(const char* name, int seed, bool srgbView)
    {
        Texture* texture = txtCreate(TEXTURE_TYPE_2D, 16, 16, IMAGE_TYPE_RGBA8);
        texture->name = name;
        uint8_t* texels = texture->images[0]->levels[0];
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                for (int c = 0; c < 4; ++c)
                    texels[(y * 16 + x) * 4 + c] = uint8_t(std::lround(pattern(x * 7, y * 5, c, seed) * 255.0f));
        txtGenerateMipMaps(texture);
        if (srgbView)
            txtCreateSRGBView(texture);
        textures.push_back(texture);
        return texture;
    }

    // UVs from the position, so planar mapping has something to follow.
    Geometry* withUVs(Geometry* geometry, const deferredscene::Mesh& mesh)
    {
        BufferObject* uvs = geometry->FindAttributeBuffer("VTXUV0");
        auto* out = reinterpret_cast<float*>(uvs->hostCopy);
        for (size_t v = 0; v < mesh.positions.size() / 3; ++v) {
            const float* p = &mesh.positions[v * 3];
            out[v * 2 + 0] = p[0] * 0.37f + p[2] * 0.21f;
            out[v * 2 + 1] = p[1] * 0.43f + p[2] * 0.19f - p[0] * 0.11f;
        }
        uvs->dirty = true;
        geomUpdate(geometry);
        owned.geometries.push_back(geometry);
        return geometry;
    }

    // An untextured floor and seven boxes: no textures, each texture alone, all four planar and tri-planar.
    std::vector<deferredscene::Draw> scene()
    {
        Texture* albedo = patternTexture("VariantsAlbedo", 11, true);
        Texture* emissive = patternTexture("VariantsEmissive", 12, false);
        Texture* normal = patternTexture("VariantsNormal", 13, false);
        Texture* metalRough = patternTexture("VariantsMetalRough", 14, false);

        std::vector<MaterialProperties> records(8, deferredscene::coloured(0.8f, 0.7f, 0.6f));
        for (MaterialProperties& m : records) {
            m.roughness = 0.6f;
            m.metalness = 0.3f;
            m.emissive[0] = 0.5f;
            m.emissive[1] = 0.25f;
            m.emissiveFactor = 2.0f;
            m.normalFactor = 0.8f;
            m.triplanarMappingScale = 0.7f;
        }
        records[2].albedoTexture = albedo;
        records[3].emissiveTexture = emissive;
        records[4].normalTexture = normal;
        records[5].metallicRoughnessTexture = metalRough;
        for (int i : {6, 7}) {
            records[i].albedoTexture = albedo;
            records[i].emissiveTexture = emissive;
            records[i].normalTexture = normal;
            records[i].metallicRoughnessTexture = metalRough;
        }
        records[7].textureMappingMode = 1;

        std::vector<deferredscene::Draw> draws;
        deferredscene::Mesh floor;
        floor.floor(0.0f, 12.0f);
        draws.push_back({withUVs(floor.build(), floor), materialTableAppend(records[0])});
        for (int i = 1; i < 8; ++i) {
            deferredscene::Mesh box;
            box.box({float(i - 4) * 1.6f, 0.7f, float(i % 2) * 1.5f}, 0.7f);
            draws.push_back({withUVs(box.build(), box), materialTableAppend(records[i])});
        }
        deferredscene::placeCamera(camera, {0, 5, -8}, {30, 0, 0}, float(kWidth) / float(kHeight));
        return draws;
    }
};

TEST_F(MaterialVariantsTest, GBufferOfTexturedAndUntexturedMaterialsMatchesItsReference)
{
    const std::vector<deferredscene::Draw> draws = scene();
    Light* sun = entCreateLightDirectional(20, 20, false, 0, 0);
    owned.lights.push_back(sun);
    deferredscene::placeLight(sun, {0, 10, -5}, {60, 10, 0});
    sun->intensity = 1.0f;
    ASSERT_TRUE(deferredscene::renderFrame(flat.get(), camera, {sun}, draws, owned.shadowMaps, 256));

    const DeferredRenderer& r = deferredRenderer;
    const int h = r.historyIndex & 1;
    std::vector<float> albedo(size_t(kWidth) * kHeight * 4);
    glGetTextureImage(r.txtDeferredColor[h]->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(albedo.size() * 4), albedo.data());
    std::vector<float> emissive(size_t(kWidth) * kHeight * 4);
    glGetTextureImage(r.txtDeferredEmissive->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(emissive.size() * 4),
                      emissive.data());
    std::vector<uint32_t> normals(size_t(kWidth) * kHeight);
    glGetTextureImage(r.txtDeferredNormalAttribute->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT,
                      GLsizei(normals.size() * 4), normals.data());
    std::vector<uint16_t> tags(size_t(kWidth) * kHeight * 4);
    glGetTextureImage(r.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, GL_RGBA_INTEGER, GL_UNSIGNED_SHORT,
                      GLsizei(tags.size() * 2), tags.data());

    // The scene covers the image and every box is textured differently, so the targets are far from uniform.
    EXPECT_GT(std::count_if(normals.begin(), normals.end(), [](uint32_t n) { return n != 0xC0000000u; }),
              long(normals.size() / 2));
    expectReference("gbuffer/albedo", pixelHash(albedo));
    expectReference("gbuffer/emissive", pixelHash(emissive));
    expectReference("gbuffer/normal", bytesHash(normals));
    expectReference("gbuffer/tags", bytesHash(tags));
}

TEST_F(MaterialVariantsTest, TextureMaskSelectsAProgramPerMaskSharedWithTheRoot)
{
    MaterialProperties record;
    EXPECT_EQ(materialTextureMask(record), 0u);
    Texture* texture = patternTexture("VariantsMaskTexture", 3, false);
    record.albedoTexture = texture;
    record.normalTexture = texture;
    EXPECT_EQ(materialTextureMask(record), uint32_t(MATERIAL_TEXTURE_ALBEDO | MATERIAL_TEXTURE_NORMAL));
    record.emissiveTexture = record.metallicRoughnessTexture = texture;
    EXPECT_EQ(materialTextureMask(record), uint32_t(MATERIAL_TEXTURES_ALL));

    ShaderProgram* full = flat->getProgram(Renderer::PASS_DEFERRED);
    ShaderProgram* untextured = flat->getProgram(Renderer::PASS_DEFERRED, 0);
    ASSERT_NE(full, nullptr);
    ASSERT_NE(untextured, nullptr);
    EXPECT_NE(untextured, full);
    EXPECT_EQ(flat->getProgram(Renderer::PASS_DEFERRED, 0), untextured) << "the same mask reuses its program";
    EXPECT_EQ(flat->getProgram(Renderer::PASS_DEFERRED, MATERIAL_TEXTURES_ALL), full);
    ShaderProgram* albedoOnly = flat->getProgram(Renderer::PASS_DEFERRED, MATERIAL_TEXTURE_ALBEDO);
    EXPECT_NE(albedoOnly, untextured);
    EXPECT_NE(albedoOnly, full);
    // No texture lookups are left in the untextured program; the albedo variant keeps its one.
    EXPECT_EQ(glGetUniformLocation(untextured->glProgramId, "material_textures[0]"), -1);
    EXPECT_NE(glGetUniformLocation(albedoOnly->glProgramId, "material_textures[0]"), -1);
    EXPECT_NE(glGetUniformLocation(full->glProgramId, "material_textures[0]"), -1);

    // Passes without texture lookups ignore the mask.
    EXPECT_EQ(flat->getProgram(Renderer::PASS_SHADOWMAP, 0), flat->getProgram(Renderer::PASS_SHADOWMAP));
    EXPECT_EQ(flat->getProgram(Renderer::PASS_GEOMETRY, 0), flat->getProgram(Renderer::PASS_GEOMETRY));
    EXPECT_EQ(flat->getProgram(Renderer::PASS_ALPHA, 0), nullptr);

    // Another material of the same root shares the root's variants until it has programs of its own.
    std::unique_ptr<Material> other(materialCreateFromRoot("flat"));
    EXPECT_EQ(other->getProgram(Renderer::PASS_DEFERRED, 0), untextured);
    EXPECT_EQ(other->textureVariantCount(), 0u);
    other->setOverrideSource("#define MATERIAL_OVERRIDE_ROUGHNESS\n"
                             "float getMaterialRoughness(vec3 worldCoords, vec3 localCoords) { return 0.125; }\n");
    ShaderProgram* own = other->getProgram(Renderer::PASS_DEFERRED, 0);
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, untextured);
    EXPECT_EQ(other->textureVariantCount(), 1u);
    EXPECT_EQ(own->defines.at(kMaterialOverrideDefine), other->overrideSources[0]);
    EXPECT_EQ(own->defines.at(kMaterialTextureMaskDefine), "0");
}

TEST_F(MaterialVariantsTest, UntexturedVariantsWriteTheFullProgramsGBuffer)
{
    const std::vector<deferredscene::Draw> draws = scene();
    const auto gbuffer = [&]() {
        EXPECT_TRUE(deferredscene::renderFrame(flat.get(), camera, {}, draws, owned.shadowMaps, 64));
        const int h = deferredRenderer.historyIndex & 1;
        std::vector<float> pixels;
        for (Texture* texture : {deferredRenderer.txtDeferredColor[h], deferredRenderer.txtDeferredEmissive}) {
            std::vector<float> target(size_t(kWidth) * kHeight * 4);
            glGetTextureImage(texture->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(target.size() * 4), target.data());
            pixels.insert(pixels.end(), target.begin(), target.end());
        }
        std::vector<uint16_t> tags(size_t(kWidth) * kHeight * 4);
        glGetTextureImage(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, GL_RGBA_INTEGER,
                          GL_UNSIGNED_SHORT, GLsizei(tags.size() * 2), tags.data());
        std::vector<uint32_t> normals(size_t(kWidth) * kHeight);
        glGetTextureImage(deferredRenderer.txtDeferredNormalAttribute->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT,
                          GLsizei(normals.size() * 4), normals.data());
        return std::make_tuple(pixelHash(pixels), bytesHash(tags), bytesHash(normals));
    };
    deferredscene::textureVariants = false;
    const auto full = gbuffer();
    deferredscene::textureVariants = true;
    const auto variants = gbuffer();
    EXPECT_EQ(variants, full);
    EXPECT_GE(MaterialManager::findRootMaterial("flat")->textureVariantCount(), 5u)
        << "untextured, and each single texture";
}

} // namespace
