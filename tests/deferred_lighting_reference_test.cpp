// The lighting pass must keep its picture exactly while its shader and inputs change: each scene below (every
// light type, shadows through cascades and a point light's six faces, projectors, area lights, the environment
// map, lights of several types in mixed order, and the shipped "room" project) is lit at 512 x 288 and the float
// readback of the lit target is compared, bit for bit, with a hash taken from the code the references were
// recorded with. The hashes belong to the GL implementation they were taken on (named below); on another one
// the scenes are still lit twice and must agree, but the stored hashes are not compared.
//
// With LIGHTING_REFERENCE_DUMP naming a folder, each readback is also written there as "<scene>.rgba32f" (raw
// floats, rows bottom-up), so a mismatch can be looked at pixel by pixel.
#include "render/deferred_lighting.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"

#include "components/output_buffer.h"
#include "deferred_scene_util.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "project_test_util.h"
#include "render/graph_processing.h"
#include "render/materials.h"
#include "renderer_fixture.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace gl;
using deferredscene::Draw;
using deferredscene::Mesh;
using deferredscene::coloured;
using deferredscene::placeLight;

namespace {

constexpr int kShadowSize = 512;
// The GL renderer the stored hashes were taken on.
const char* const kReferenceRenderer = "llvmpipe (LLVM 15.0.6, 256 bits)";

uint64_t fnv1a(const void* data, size_t size)
{
    uint64_t h = 0xcbf29ce484222325ull;
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        h ^= bytes[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

std::vector<float> readFloats(const Texture* texture)
{
    const int w = texture->images[0]->width;
    const int h = texture->images[0]->height;
    std::vector<float> pixels(size_t(w) * size_t(h) * 4);
    glGetTextureImage(texture->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
    return pixels;
}

void dump(const std::string& name, const std::vector<float>& pixels)
{
    const char* folder = std::getenv("LIGHTING_REFERENCE_DUMP");
    if (!folder || !*folder)
        return;
    if (FILE* f = std::fopen((std::string(folder) + "/" + name + ".rgba32f").c_str(), "wb")) {
        std::fwrite(pixels.data(), sizeof(float), pixels.size(), f);
        std::fclose(f);
    }
}

// The hashes were taken from the optimised build. A sanitised build computes the host's matrices a last bit apart
// (inlining and constant folding differ; the shipped room's keyed camera moves a triangle edge across one pixel),
// so there only the repeat of the frame is checked.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

bool onReferenceRenderer()
{
    const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    return renderer && std::string(renderer) == kReferenceRenderer;
}

// Lits the scene twice (the second frame must repeat the first exactly), dumps the image and checks its hash.
void expectReference(const std::string& name, uint64_t expected, const std::function<const Texture*()>& render)
{
    SCOPED_TRACE(name);
    const Texture* first = render();
    ASSERT_TRUE(first && first->glId);
    const std::vector<float> a = readFloats(first);
    const std::vector<float> b = readFloats(render());
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 4), 0) << "the same frame lit twice differs";
    dump(name, a);
    const uint64_t actual = fnv1a(a.data(), a.size() * 4);
    if (!onReferenceRenderer() || kSanitizedBuild) {
        std::printf("%s: 0x%016" PRIx64 " (not compared: %s)\n", name.c_str(), actual,
                    kSanitizedBuild ? "a sanitised build" : "not the reference renderer");
        return;
    }
    EXPECT_EQ(actual, expected) << "0x" << std::hex << actual << ": the lit image changed";
}

class LightingReference : public RendererGLTest {
protected:
    std::unique_ptr<Material> flat;
    deferredscene::SceneObjects owned;
    Camera camera;
    int grey = 0;
    int red = 0;
    int shiny = 0;
    int unshadowed = 0;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        flat.reset(materialCreateFromRoot("flat"));
        ASSERT_TRUE(flat);
        grey = materialTableAppend(coloured(0.8f, 0.8f, 0.8f));
        red = materialTableAppend(coloured(0.9f, 0.1f, 0.1f));
        MaterialProperties metal = coloured(0.9f, 0.7f, 0.3f);
        metal.metalness = 0.8f;
        metal.roughness = 0.25f;
        metal.shadowmapBias = 2.0f;
        shiny = materialTableAppend(metal);
        MaterialProperties open = coloured(0.3f, 0.8f, 0.4f);
        open.flagBit512 = false; // receives no shadow
        unshadowed = materialTableAppend(open);
    }
    void TearDown() override
    {
        flat.reset();
        owned.release();
        glClipControl(GL_LOWER_LEFT, GL_NEGATIVE_ONE_TO_ONE);
        RendererGLTest::TearDown();
    }

    Light* keep(Light* light)
    {
        owned.lights.push_back(light);
        return light;
    }

    // A floor with boxes of every material, one of them hollow-standing so that light reaches under its edge.
    std::vector<Draw> room()
    {
        Mesh floor;
        floor.floor(0.0f, 10.0f);
        floor.wall(6.0f, 10.0f);
        Mesh boxes[4];
        boxes[0].box({0, 0.5f, 0}, 0.5f);
        boxes[1].box({-2.5f, 0.75f, 1.5f}, 0.75f);
        boxes[2].box({2.0f, 0.4f, -1.0f}, 0.4f);
        boxes[3].box({1.0f, 1.6f, 2.5f}, 0.3f);
        std::vector<Draw> draws = {{floor.build(), grey}, {boxes[0].build(), red}, {boxes[1].build(), shiny},
                                   {boxes[2].build(), unshadowed}, {boxes[3].build(), grey}};
        for (const Draw& d : draws)
            owned.geometries.push_back(d.geometry);
        deferredscene::placeCamera(camera, {0, 6, -7}, {38, 0, 0}, float(deferredtest::kWidth) / deferredtest::kHeight);
        return draws;
    }

    const Texture* frame(const std::vector<Light*>& lights, const std::vector<Draw>& draws,
                         const std::string& envmap = "env_texture::default")
    {
        if (!deferredscene::renderFrame(flat.get(), camera, lights, draws, owned.shadowMaps, kShadowSize, envmap, 0.7f))
            return nullptr;
        return deferredRenderer.txtDeferredGlobalShadows;
    }

    Light* sun(bool shadows)
    {
        Light* light = keep(entCreateLightDirectional(24, 24, shadows, kShadowSize, kShadowSize));
        entSetLightRange(light, 0.1f, 50.0f);
        placeLight(light, {2, 15, -3}, {65, 20, 0});
        light->intensity = 1.2f;
        return light;
    }
    Light* spot(bool shadows)
    {
        Light* light = keep(entCreateLightSpot(55.0f, shadows, kShadowSize, kShadowSize));
        entSetLightRange(light, 0.2f, 30.0f);
        placeLight(light, {-4, 6, -4}, {50, 40, 0});
        light->intensity = 2.5f;
        light->color[1] = 0.8f;
        return light;
    }
    Light* point(bool shadows, const Vector3& at)
    {
        Light* light = keep(entCreateLightPoint(9.0f, shadows, kShadowSize, kShadowSize));
        placeLight(light, at, {});
        light->intensity = 2.0f;
        light->color[2] = 0.7f;
        return light;
    }
    Light* area()
    {
        Light* light = keep(entCreateLightSpot(170.0f, false, 1, 1));
        light->area = true;
        light->dimensions[0] = 2.0f;
        light->dimensions[1] = 1.0f;
        entSetLightRange(light, 0.1f, 20.0f);
        placeLight(light, {3, 2, -3}, {30, -40, 0});
        light->intensity = 12.0f;
        light->roughnessModifier = 0.7f;
        return light;
    }
};

// Hashes recorded with the lighting shader as it was before it was restructured for speed.
TEST_F(LightingReference, EveryLightTypeLitExactlyAsRecorded)
{
    const std::vector<Draw> draws = room();

    expectReference("directional_shadowed", 0x21d4dbc1082baf1cull, [&] { return frame({sun(true)}, draws); });

    // Two cascades, the second one drawn by nobody (it samples the renderer's empty map).
    Light* cascaded = sun(true);
    cascaded->cascadeCount = 2;
    cascaded->splitDistances[0] = 9.0f;
    cascaded->splitDistances[1] = 40.0f;
    cascaded->shadowMatrices[1] = cascaded->shadowMatrices[0];
    expectReference("directional_cascades", 0xe384af223c92bef4ull, [&] { return frame({cascaded}, draws); });

    expectReference("spot_shadowed", 0xe2297bc46cd3a2baull, [&] { return frame({spot(true)}, draws); });

    Texture* stripes = txtCreateNamed("stripes", TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA8);
    uint8_t texels[16][4];
    for (int i = 0; i < 16; ++i) {
        texels[i][0] = uint8_t(i % 2 ? 255 : 40);
        texels[i][1] = uint8_t(i / 4 % 2 ? 200 : 90);
        texels[i][2] = 128;
        texels[i][3] = 255;
    }
    glTextureSubImage2D(stripes->glId, 0, 0, 0, 4, 4, GL_RGBA, GL_UNSIGNED_BYTE, texels);
    Light* projecting = spot(true);
    projecting->projector = stripes;
    expectReference("spot_projector", 0x0bcf4428a93da2b8ull, [&] { return frame({projecting}, draws); });

    expectReference("point_plain", 0xb23676b668f45d33ull, [&] { return frame({point(false, {0.5f, 2.5f, -1.5f})}, draws); });
    // Low and among the boxes, so the floor, the wall and the box sides fall in different cube faces.
    expectReference("point_six_faces", 0xe092762eba4b9792ull, [&] { return frame({point(true, {-0.8f, 1.2f, 0.6f})}, draws); });

    expectReference("area", 0x3a29363c641e7241ull, [&] { return frame({area()}, draws); });

    // Every type, in an order that mixes them, two of a kind apart, plus a sky.
    projtest::ScopedProject project;
    Texture* sky = txtCreate(TEXTURE_TYPE_CUBE, 2, 2, IMAGE_TYPE_RGBA8);
    for (int face = 0; face < 6; ++face)
        for (int i = 0; i < 4; ++i) {
            uint8_t* p = sky->images[face]->levels[0] + 4 * i;
            p[0] = uint8_t(60 + 30 * face);
            p[1] = uint8_t(90 + 40 * i);
            p[2] = 200;
            p[3] = 255;
        }
    txtSetupForGL(sky);
    project.store.add_envmap("sky", sky);
    Light* second = point(false, {3.0f, 1.0f, 1.0f});
    second->intensity = 1.0f;
    // The eight shadow maps and the projector fit the sampler arrays: projector 0, maps 0 (spot), 1-6 (faces), 7.
    const std::vector<Light*> mixed = {projecting, point(true, {-0.8f, 1.2f, 0.6f}), sun(true), area(), second,
                                       spot(false), sun(false)};
    expectReference("mixed_with_sky", 0x402d0cbfd5c17f18ull, [&] { return frame(mixed, draws, "sky"); });

    // Maps of three sizes at once (the faces keep the usual size).
    Light* big = sun(true);
    Light* small = spot(true);
    for (auto [light, size] : {std::pair{big, 1024}, std::pair{small, 256}}) {
        Texture* depth = txtCreate(TEXTURE_TYPE_2D, size, size, IMAGE_TYPE_DEPTH32F);
        owned.shadowMaps.push_back(depth);
        fbAttach(light->shadowFramebuffers[0], FB_ATTACHMENT_DEPTH, depth);
    }
    expectReference("mixed_map_sizes", 0xeb8af2c89b0fce96ull,
                    [&] { return frame({big, point(true, {-0.8f, 1.2f, 0.6f}), small}, draws); });

    txtDestroy(stripes);
    txtDestroy(sky);
}

class RoomReference : public ShippedRoomTest {
protected:
    const Texture* litAt(int frame)
    {
        GraphProcessing(float(frame) / 100.0f);
        return deferredRenderer.txtDeferredGlobalShadows;
    }
};

TEST_F(RoomReference, ShippedRoomIsLitExactlyAsRecorded)
{
    litAt(500); // first frame: targets, programs and shadow maps are made
    expectReference("room_500", 0x58d2442eb394ff6cull, [&] { return litAt(500); });
    expectReference("room_2500", 0x8a2c5ff62c9b870dull, [&] { return litAt(2500); });
}

} // namespace
