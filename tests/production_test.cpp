// The shipped production under assets/projects: its files are exactly what the engine writes (so playing it
// changes nothing on disk), its timeline rows are sound, and "room" renders a lit scene that moves.
#include "app/data_files.h"
#include "app/projects.h"
#include "components/camera_component.h"
#include "components/geometry_mirror.h"
#include "components/instancing_generators.h"
#include "components/mesh_renderer.h"
#include "components/output_buffer.h"
#include "components/particles.h"
#include "components/primitive_renderer.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "components/vertex_modifiers.h"
#include "components/voxelizer.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/keyframes.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "project_test_util.h"
#include "render/camera_controller.h"
#include "render/deferred_postprocess.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/graph_processing.h"
#include "render/render_graph.h"
#include "render/entities.h"
#include "render/scene.h"
#include "render/shader_inputs.h"
#include "renderer_fixture.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace gl;

namespace {

const char* const kContentProjects[] = {"instancing", "abstract_1", "room", "walk_particles", "room_rt"};

struct ImageStats {
    double mean = 0.0;   // of r + g + b
    double stddev = 0.0; // over pixels
    std::vector<float> pixels;
};

ImageStats readImage(const Texture* texture)
{
    ImageStats stats;
    const int w = texture->images[0]->width;
    const int h = texture->images[0]->height;
    stats.pixels.resize(size_t(w) * size_t(h) * 4);
    glGetTextureImage(texture->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(stats.pixels.size() * 4), stats.pixels.data());
    double sum = 0.0;
    double squares = 0.0;
    const size_t count = stats.pixels.size() / 4;
    for (size_t i = 0; i < count; ++i) {
        const double v = double(stats.pixels[i * 4]) + stats.pixels[i * 4 + 1] + stats.pixels[i * 4 + 2];
        sum += v;
        squares += v * v;
    }
    stats.mean = sum / double(count);
    stats.stddev = std::sqrt(std::max(0.0, squares / double(count) - stats.mean * stats.mean));
    return stats;
}

// Mean absolute change per channel value between two pictures of the same size.
double difference(const ImageStats& a, const ImageStats& b)
{
    if (a.pixels.empty() || a.pixels.size() != b.pixels.size())
        return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        sum += std::fabs(a.pixels[i] - b.pixels[i]);
    return sum / double(a.pixels.size());
}

// The engine's start-up as far as the project files go: the six projects over the shipped asset folder (read
// only), each loaded the way ProjectLoading loads it.
class ShippedProduction : public RendererGLTest {
protected:
    ShippedProduction() : RendererGLTest(size_t(1) << 24) {}

    std::vector<Project*> savedList = projectList;
    Project* savedGlobal = globalProject;
    Project* savedCurrent = currentProject;
    Sequence* savedSequencer = sequencer;
    std::string savedTrack = audioTrackName;
    bool savedExport = exportVariables;
    testutil::TempDir out{"production"};

    void SetUp() override
    {
        RendererGLTest::SetUp();
        exportVariables = true;
        sequencer = new Sequence();
        globalProject = projCreate("global");
        projectList.clear();
        for (const char* name : kContentProjects)
            projectList.push_back(projCreate(name));
    }
    void TearDown() override
    {
        for (Project* project : projectList)
            projDestroy(project);
        projDestroy(globalProject);
        // The raytracer that rendered last went with its project.
        currentRaytraceScene = nullptr;
        projectList = savedList;
        globalProject = savedGlobal;
        projSetCurrent(savedCurrent);
        delete sequencer;
        sequencer = savedSequencer;
        audioTrackName = savedTrack;
        exportVariables = savedExport;
        RendererGLTest::TearDown();
    }

    // Loads one project's files; false when any of them fails.
    bool load(Project* project)
    {
        projSetCurrent(project);
        bool ok = project->resources->load_json(project->path + "/resources.json");
        ok = GraphManager::Load(project->path + "/graph.json") && ok;
        ok = SequencerManager::Load(project->path + "/sequencer.json") && ok;
        return ok;
    }

    Project* project(const std::string& name) { return projFind(name); }

    // A parameter of a component of the current project, by their names; null when either is missing.
    static Cvar* findCvar(const std::string& component, const std::string& cvar)
    {
        for (EngineComponent* c : *currentComponents)
            if (c->name == component)
                for (Cvar* v : CvarTreeCollect(c->GetCvarTree(), -1))
                    if (v->name == cvar)
                        return v;
        return nullptr;
    }

    // The project's published "main output" image after the frame loop's processing at timeline frame `frame`.
    const Texture* renderAt(int frame)
    {
        GraphProcessing(float(frame) / 100.0f);
        for (Resource* resource : currentResources->get_by_type(ResourceType::Image))
            if (auto* image = dynamic_cast<ImageResource*>(resource); image && image->name == "main output")
                return image->texture;
        return nullptr;
    }
};

} // namespace

// Loading a shipped project and saving it again gives back every byte: the exit save of an unchanged production
// rewrites nothing, and every component type in the files is one the engine knows.
TEST_F(ShippedProduction, ProjectFilesAreWhatTheEngineWrites)
{
    for (const char* name : kContentProjects) {
        SCOPED_TRACE(name);
        Project* p = project(name);
        ASSERT_NE(p, nullptr);
        projtest::LogCapture log;
        ASSERT_TRUE(load(p));
        EXPECT_EQ(log.text().find("Unknown component type"), std::string::npos) << log.text();
        EXPECT_FALSE(p->components->empty());
        for (const char* file : {"graph.json", "resources.json", "sequencer.json"}) {
            const std::string saved = out.str() + name + "_" + file;
            if (std::string(file) == "graph.json")
                ASSERT_TRUE(GraphManager::Save(saved));
            else if (std::string(file) == "resources.json")
                ASSERT_TRUE(p->resources->save_json(saved));
            else
                ASSERT_TRUE(SequencerManager::Save(saved));
            EXPECT_EQ(testutil::readFile(saved), testutil::readFile(dataPath(p->path + "/" + file))) << file;
        }
    }
}

// Every project has its own stretch of the track, the same in every project's file, and the production opens
// with "room".
TEST_F(ShippedProduction, TimelineRowsDoNotOverlap)
{
    std::vector<std::pair<int, int>> rows;
    for (const char* name : kContentProjects) {
        ASSERT_TRUE(load(project(name)));
        const SequenceItem& row = sequencer->GetProjectItem(project(name));
        rows.push_back({row.start, row.end});
        EXPECT_LT(row.start, row.end) << name;
        EXPECT_GE(row.start, 0) << name;
        EXPECT_LE(row.end, sequencer->frameCount) << name;
    }
    EXPECT_EQ(sequencer->GetProjectItem(project("room")).start, 0);
    std::sort(rows.begin(), rows.end());
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_LE(rows[i - 1].second, rows[i].first) << "rows " << i - 1 << " and " << i << " overlap";
}

// "room" draws a lit room through its post chain; the keyed camera and the value generators move it.
TEST_F(ShippedProduction, RoomRendersALitSceneThatMoves)
{
    for (const char* name : kContentProjects)
        ASSERT_TRUE(load(project(name)));
    projSetCurrent(project("room"));
    for (EngineComponent* component : *currentComponents)
        if (auto* output = dynamic_cast<outputbufferfx*>(component)) {
            EXPECT_EQ(output->postInput->links.size(), 4u) << "tonemap, glow, aberration and the sections' looks";
        }
    while (glGetError() != GL_NO_ERROR) {
    }

    const Texture* image = nullptr;
    for (int i = 0; i < 2; ++i)
        image = renderAt(500);
    ASSERT_TRUE(image && image->glId);
    const ImageStats early = readImage(image);
    for (int i = 0; i < 2; ++i)
        image = renderAt(2500);
    const ImageStats later = readImage(image);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);

    for (const ImageStats* s : {&early, &later}) {
        EXPECT_GT(s->mean, 0.3) << "lit, not black";
        EXPECT_LT(s->mean, 2.7) << "not washed out";
        EXPECT_GT(s->stddev, 0.1) << "not one flat colour";
        EXPECT_TRUE(std::all_of(s->pixels.begin(), s->pixels.end(), [](float v) { return std::isfinite(v); }));
    }
    double moved = 0.0;
    for (size_t i = 0; i < early.pixels.size(); ++i)
        moved += std::fabs(early.pixels[i] - later.pixels[i]);
    EXPECT_GT(moved / double(early.pixels.size()), 0.02) << "the camera and the shapes move";

    // What the animation moved (keyed camera, driven shapes, the following controller) is not written back: the
    // exit save after playing is the shipped file.
    const std::string saved = out.str() + "played_graph.json";
    ASSERT_TRUE(GraphManager::Save(saved));
    EXPECT_EQ(testutil::readFile(saved), testutil::readFile(dataPath("projects/room/graph.json")));
}

// "walk_particles" emits particles around the walker, lifts and swirls them, and draws them every frame.
TEST_F(ShippedProduction, WalkParticlesEmitsMovesAndDrawsParticles)
{
    ASSERT_TRUE(load(project("walk_particles")));
    const std::vector<EngineComponent*> containers = GraphManager::FindComponentsByType(11);
    const std::vector<EngineComponent*> renderers = GraphManager::FindComponentsByType(15);
    ASSERT_EQ(containers.size(), 1u);
    ASSERT_EQ(renderers.size(), 1u);
    auto* container = static_cast<particlecontainerfx*>(containers[0]);
    auto* renderer = static_cast<ParticleRenderer*>(renderers[0]);
    ASSERT_GT(container->capacity, 0);

    // The particle buffers, read back.
    struct Particles {
        std::vector<float> positions, states;
        size_t live = 0;
        bool alive(size_t i) const { return states[i + 1] > 0.0f && states[i] >= 0.0f && states[i] < states[i + 1]; }
    };
    auto read = [&] {
        const size_t n = size_t(container->capacity);
        Particles p{std::vector<float>(n * 4), std::vector<float>(n * 4), 0};
        glGetNamedBufferSubData(container->positions->glId, 0, GLsizeiptr(n * 16), p.positions.data());
        glGetNamedBufferSubData(container->states->glId, 0, GLsizeiptr(n * 16), p.states.data());
        for (size_t i = 0; i < p.states.size(); i += 4)
            p.live += p.alive(i) ? 1 : 0;
        return p;
    };

    const int start = sequencer->GetProjectItem(project("walk_particles")).start;
    renderAt(start + 100); // the first step is long: it fills the container
    renderAt(start + 700); // six seconds on, those have died and new ones live
    const Particles early = read();
    for (int i = 1; i <= 10; ++i)
        renderAt(start + 700 + 2 * i);
    const Particles later = read();
    EXPECT_EQ(container->lifecycleDispatches, 12u) << "the renderer advances the particles once a frame";
    EXPECT_GT(early.live, 0u);
    EXPECT_LT(early.live, size_t(container->capacity)) << "the flood is gone";
    EXPECT_GT(later.live, early.live) << "still emitting";
    // The particles of the earlier read that still live rose (drift) and spread (curl).
    double rise = 0.0;
    size_t common = 0;
    for (size_t i = 0; i < early.states.size(); i += 4)
        if (early.alive(i) && later.alive(i) && early.states[i + 1] == later.states[i + 1]) {
            rise += later.positions[i + 1] - early.positions[i + 1];
            ++common;
        }
    ASSERT_GT(common, 0u);
    EXPECT_GT(rise / double(common), 0.1);

    // What the frame's pass drew: the renderer's own draw with the scene player's camera.
    ASSERT_NE(currentScenePlayer, nullptr);
    Camera* camera = currentScenePlayer->scene ? currentScenePlayer->scene->activeCamera : nullptr;
    ASSERT_NE(camera, nullptr);
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    const Matrix identity;
    renderer->Render(camera, &identity, Renderer::PASS_DEFERRED, Timestep{});
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint primitives = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &primitives);
    glDeleteQueries(1, &query);
    fbPop();
    EXPECT_GT(primitives, 0u);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// The other projects show something too.
TEST_F(ShippedProduction, EveryProjectShowsAPicture)
{
    for (const char* name : kContentProjects)
        ASSERT_TRUE(load(project(name)));
    for (const char* name : kContentProjects) {
        SCOPED_TRACE(name);
        projSetCurrent(project(name));
        const int start = sequencer->GetProjectItem(project(name)).start;
        const Texture* image = nullptr;
        for (int i = 0; i < 2; ++i)
            image = renderAt(start + 300);
        ASSERT_TRUE(image && image->glId);
        const ImageStats stats = readImage(image);
        EXPECT_GT(stats.mean, 0.05);
        EXPECT_GT(stats.stddev, 0.05);
    }
}

// "abstract_1" shows its 3D title and its generated backdrop: emptying the title's text or turning the backdrop off
// changes the picture, each where it draws (the title below the shape, the pattern behind the whole scene).
TEST_F(ShippedProduction, Abstract1ShowsItsTitleAndGeneratedBackdrop)
{
    ASSERT_TRUE(load(project("abstract_1")));
    const int start = sequencer->GetProjectItem(project("abstract_1")).start;
    EngineComponent* title = nullptr;
    Cvar* text = nullptr;
    Cvar* backdrop = nullptr;
    for (EngineComponent* component : *currentComponents)
        for (Cvar* cvar : component->GetCvarTree()->cvars) {
            if (component->name == "Title" && cvar->name == "text") {
                title = component;
                text = cvar;
            }
            if (component->name == "Backdrop" && cvar->name == "Param1")
                backdrop = cvar;
        }
    ASSERT_TRUE(text && backdrop);
    while (glGetError() != GL_NO_ERROR) {
    }
    const auto frame = [&] {
        const Texture* image = nullptr;
        for (int i = 0; i < 2; ++i)
            image = renderAt(start + 300);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        return image ? readImage(image) : ImageStats{};
    };
    // Mean change of r + g + b over the rows from y0 to y1 (fractions of the height, row 0 at the bottom).
    const auto change = [](const ImageStats& a, const ImageStats& b, double y0, double y1) {
        const size_t w = deferredtest::kWidth, h = deferredtest::kHeight;
        if (a.pixels.size() != w * h * 4 || b.pixels.size() != a.pixels.size())
            return 0.0;
        double sum = 0.0;
        const size_t first = size_t(y0 * double(h)), last = size_t(y1 * double(h));
        for (size_t i = first * w * 4; i < last * w * 4; ++i)
            sum += std::fabs(a.pixels[i] - b.pixels[i]) * ((i % 4) < 3 ? 1.0 : 0.0);
        return sum / double((last - first) * w);
    };

    const ImageStats shown = frame();
    const std::string words = text->text;
    text->text.clear();
    title->OnCvarChanged(text);
    const ImageStats withoutTitle = frame();
    text->text = words;
    title->OnCvarChanged(text);
    // The backdrop's strength is keyed: its track is held off while it is turned down.
    const float strength = backdrop->value[0];
    const bool keyed = SequencerManager::HasTrack(backdrop);
    if (keyed)
        SequencerManager::SetTrackActive(backdrop, false);
    backdrop->value[0] = 0.0f;
    const ImageStats withoutBackdrop = frame();
    backdrop->value[0] = strength;
    if (keyed)
        SequencerManager::SetTrackActive(backdrop, true);

    EXPECT_GT(change(shown, withoutTitle, 0.0, 0.3), 0.02) << "the title is drawn below the shape";
    EXPECT_LT(change(shown, withoutTitle, 0.7, 1.0), 0.005) << "and nowhere near the top";
    EXPECT_GT(change(shown, withoutBackdrop, 0.7, 1.0), 0.02) << "the generated pattern shows behind the scene";
}

// "room_rt" exports its floor, plinth and torus to the raytracer every frame, marks the floor for tracing and
// finds reflections there; switched off, the raytracer changes the picture back.
TEST_F(ShippedProduction, RoomRtTracesReflectionsOnItsFloor)
{
    ASSERT_TRUE(load(project("room_rt")));
    const int start = sequencer->GetProjectItem(project("room_rt")).start;
    std::vector<EngineComponent*> raytracers = GraphManager::FindComponentsByType(4);
    ASSERT_EQ(raytracers.size(), 1u);
    Cvar* info = nullptr;
    Cvar* enabled = nullptr;
    for (Cvar* cvar : raytracers[0]->GetCvarTree()->cvars) {
        info = cvar->name == "info" ? cvar : info;
        enabled = cvar->name == "enabled" ? cvar : enabled;
    }
    ASSERT_TRUE(info && enabled);
    const auto frame = [&](float on) {
        enabled->value[0] = on;
        const Texture* image = nullptr;
        for (int i = 0; i < 2; ++i)
            image = renderAt(start + 300);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        return image ? readImage(image) : ImageStats{};
    };
    const ImageStats traced = frame(1.0f);
    EXPECT_EQ(info->text.rfind("entities:3 faces:", 0), 0u) << info->text;

    const DeferredRenderer& r = deferredRenderer;
    const Texture* depth = r.txtDeferredDepth[r.historyIndex & 1];
    const size_t count = size_t(depth->images[0]->width) * depth->images[0]->height;
    std::vector<uint32_t> packed(count * 2);
    glGetTextureImage(depth->glId, 0, GL_DEPTH_STENCIL, GL_FLOAT_32_UNSIGNED_INT_24_8_REV, GLsizei(packed.size() * 4),
                      packed.data());
    std::vector<float> reflections(count * 4);
    glGetTextureImage(r.txtRaytrace[r.historyIndex & 1]->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(reflections.size() * 4),
                      reflections.data());
    size_t marked = 0, lit = 0;
    for (size_t i = 0; i < count; ++i) {
        const bool traces = (packed[i * 2 + 1] & 0xFFu) == 1u;
        marked += traces ? 1 : 0;
        lit += traces && reflections[i * 4] + reflections[i * 4 + 1] + reflections[i * 4 + 2] > 0.01f ? 1 : 0;
    }
    EXPECT_GT(marked, count / 4) << "pixels marked for tracing";
    EXPECT_GT(lit, count / 50) << "pixels with a traced reflection";

    const ImageStats plain = frame(0.0f);
    EXPECT_NE(traced.mean, plain.mean);
}

// "room_rt" voxelizes its floor, plinth and torus: its voxelizer gets its material row, the voxel lighting target
// holds light where the room is, no GL error comes up, and with the voxelizer disabled the target is empty.
TEST_F(ShippedProduction, RoomRtShowsVoxelLighting)
{
    ASSERT_TRUE(load(project("room_rt")));
    const int start = sequencer->GetProjectItem(project("room_rt")).start;
    const std::vector<EngineComponent*> voxelizers = GraphManager::FindComponentsByType(5);
    ASSERT_EQ(voxelizers.size(), 1u);
    auto* voxelizer = dynamic_cast<voxelizationfx*>(voxelizers[0]);
    ASSERT_TRUE(voxelizer);
    while (glGetError() != GL_NO_ERROR) {
    }
    const auto lightingAt = [&](float enabled) {
        voxelizer->enabled.value[0] = enabled;
        for (int i = 0; i < 2; ++i)
            renderAt(start + 300);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        return readImage(deferredRenderer.txtVXLighting[deferredRenderer.historyIndex & 1]);
    };
    const ImageStats on = lightingAt(1.0f);
    ASSERT_GT(voxelizer->materialIndex, 0);
    ASSERT_LT(voxelizer->materialIndex, materialCount);
    EXPECT_TRUE(materialTable[voxelizer->materialIndex].flat);
    size_t lit = 0;
    for (size_t i = 0; i < on.pixels.size(); i += 4)
        lit += on.pixels[i] + on.pixels[i + 1] + on.pixels[i + 2] > 0.001f ? 1 : 0;
    EXPECT_GT(lit, on.pixels.size() / 4 / 20) << "pixels with voxel light";

    const ImageStats off = lightingAt(0.0f);
    EXPECT_EQ(off.mean, 0.0);
}

// "instancing" draws its shape over a randomised 3 x 3 x 3 exterior grid and scatters small spheres where its
// shadow-map capture sees the shapes: both sets are filled, and the grid changes the picture. The shape is bent by
// a twist and a noise modifier, and a torus beside it is drawn again as its mirror image: taking either away
// changes the picture.
TEST_F(ShippedProduction, InstancingDrawsReplicatedAndLightPlacedInstances)
{
    ASSERT_TRUE(load(project("instancing")));
    const int start = sequencer->GetProjectItem(project("instancing")).start;
    const auto picture = [&] {
        const Texture* image = nullptr;
        for (int i = 0; i < 3; ++i)
            image = renderAt(start + 300);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        return image ? readImage(image) : ImageStats{};
    };
    const ImageStats withGrid = picture();

    const std::vector<EngineComponent*> replicators = GraphManager::FindComponentsByType(replicatorfx::kTypeIndex);
    const std::vector<EngineComponent*> fromLight = GraphManager::FindComponentsByType(instancinglightfx::kTypeIndex);
    ASSERT_EQ(replicators.size(), 1u);
    ASSERT_EQ(fromLight.size(), 1u);
    auto* grid = static_cast<replicatorfx*>(replicators[0]);
    auto* placed = static_cast<instancinglightfx*>(fromLight[0]);
    EXPECT_EQ(grid->set->count, 26u);
    EXPECT_EQ(grid->chain.buffers.size(), 1u) << "the randomizer is joined";
    ASSERT_EQ(placed->set->count, 400u);
    std::vector<float> rows(size_t(placed->set->count) * 12);
    glGetNamedBufferSubData(placed->set->transforms->glId, 0, GLsizeiptr(rows.size() * 4), rows.data());
    size_t onSurfaces = 0;
    for (size_t i = 0; i < placed->set->count; ++i)
        onSurfaces += std::fabs(rows[i * 12 + 1]) + std::fabs(rows[i * 12 + 5]) + std::fabs(rows[i * 12 + 9]) > 0.1f;
    EXPECT_GT(onSurfaces, 100u) << "instances placed on what the capture sees";

    // The shape without the grid is one shape at the origin.
    for (EngineComponent* component : *currentComponents)
        if (auto* shape = dynamic_cast<primitivefx*>(component); shape && shape->name == "Instancing Shape")
            shape->instPin->links.clear();
    const ImageStats single = picture();
    double changed = 0.0;
    for (size_t i = 0; i < single.pixels.size(); ++i)
        changed += std::fabs(single.pixels[i] - withGrid.pixels[i]);
    EXPECT_GT(changed / double(single.pixels.size()), 0.01);

    // Pixels whose colour differs between two pictures.
    const auto changedPixels = [](const ImageStats& a, const ImageStats& b) {
        size_t count = 0;
        for (size_t i = 0; i + 3 < a.pixels.size() && i + 3 < b.pixels.size(); i += 4)
            count += std::fabs(a.pixels[i] - b.pixels[i]) + std::fabs(a.pixels[i + 1] - b.pixels[i + 1]) +
                             std::fabs(a.pixels[i + 2] - b.pixels[i + 2]) >
                         0.05f;
        return count;
    };
    const size_t pixels = single.pixels.size() / 4;

    // Both modifiers are linked and bend the shape: with no angle and no strength it is a plain cube again.
    for (EngineComponent* component : *currentComponents)
        if (auto* shape = dynamic_cast<primitivefx*>(component); shape && shape->name == "Instancing Shape")
            EXPECT_EQ(shape->vertexModifierBuffers.size(), 2u) << "twist and noise are joined";
    const std::vector<EngineComponent*> twists = GraphManager::FindComponentsByType(39);
    const std::vector<EngineComponent*> noises = GraphManager::FindComponentsByType(38);
    ASSERT_EQ(twists.size(), 1u);
    ASSERT_EQ(noises.size(), 1u);
    static_cast<vertexmodifiertwistfx*>(twists[0])->angle.value[0] = 0.0f;
    std::fill_n(static_cast<vertexmodifiernoisefx*>(noises[0])->strength.value, 3, 0.0f);
    const ImageStats plain = picture();
    EXPECT_GT(changedPixels(single, plain), pixels / 200) << "the modifiers bend the shape";

    // The mirror's draw command covers every triangle of the torus it reflects, and its renderer draws them:
    // without its object the reflection under the mirror line is gone.
    const std::vector<EngineComponent*> mirrors = GraphManager::FindComponentsByType(geometrymirrorfx::kTypeIndex);
    ASSERT_EQ(mirrors.size(), 1u);
    auto* mirror = static_cast<geometrymirrorfx*>(mirrors[0]);
    ASSERT_TRUE(mirror->geometry && mirror->geometry->indirectBuffer);
    const Object* torus = mirror->FindSource();
    ASSERT_TRUE(torus && torus->geometry && !torus->geometry->surfaces.empty());
    EXPECT_EQ(torus->geometry->indirectBuffer, nullptr) << "the source is only read";
    uint32_t indices = 0;
    glGetNamedBufferSubData(mirror->geometry->indirectBuffer->glId, 0, sizeof indices, &indices);
    EXPECT_EQ(indices, 3 * torus->geometry->surfaces[0]->triangleCount);
    meshrendererfx* reflection = nullptr;
    for (EngineComponent* component : *currentComponents)
        if (auto* mesh = dynamic_cast<meshrendererfx*>(component); mesh && mesh->name == "Reflection")
            reflection = mesh;
    ASSERT_NE(reflection, nullptr);
    EXPECT_EQ(reflection->object, mirror->object);
    const ImageStats mirrored = picture();
    reflection->objPin->links.clear();
    reflection->OnInputChanged(reflection->objPin->id);
    const ImageStats unmirrored = picture();
    size_t below = 0; // rows come bottom first
    const size_t reflectionPixels = changedPixels(mirrored, unmirrored);
    for (size_t i = 0; i + 3 < mirrored.pixels.size(); i += 4)
        below += std::fabs(mirrored.pixels[i] - unmirrored.pixels[i]) > 0.05f && (i / 4) / deferredtest::kWidth < deferredtest::kHeight / 2;
    EXPECT_GT(reflectionPixels, pixels / 200) << "the reflection is drawn";
    EXPECT_GT(below, reflectionPixels / 2) << "in the lower half of the picture";
}

// The projects with a keyed camera keep moving over their whole row, not only in its first seconds: at the start,
// the middle and the end of the row the camera stands elsewhere and the picture differs.
TEST_F(ShippedProduction, KeyedProjectsMoveOverTheirWholeRow)
{
    for (const char* name : {"room", "room_rt", "abstract_1", "walk_particles"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(load(project(name)));
        const std::vector<EngineComponent*> cameras = GraphManager::FindComponentsByType(8);
        ASSERT_EQ(cameras.size(), 1u);
        auto* camera = dynamic_cast<camerafx*>(cameras[0]);
        ASSERT_TRUE(camera);
        while (glGetError() != GL_NO_ERROR) {
        }
        const SequenceItem& row = sequencer->GetProjectItem(project(name));
        struct Sample {
            std::array<float, 6> pose;
            ImageStats picture;
        };
        std::vector<Sample> samples;
        for (int frame : {row.start + 100, (row.start + row.end) / 2, row.end - 100}) {
            const Texture* image = renderAt(frame);
            ASSERT_TRUE(image && image->glId);
            samples.push_back({{camera->position.value[0], camera->position.value[1], camera->position.value[2],
                                camera->rotation.value[0], camera->rotation.value[1], camera->rotation.value[2]},
                               readImage(image)});
        }
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        for (size_t i = 1; i < samples.size(); ++i) {
            float moved = 0.0f;
            for (size_t k = 0; k < 6; ++k)
                moved += std::fabs(samples[i].pose[k] - samples[i - 1].pose[k]);
            EXPECT_GT(moved, 1.0f) << "the camera stands still between samples " << i - 1 << " and " << i;
            EXPECT_GT(difference(samples[i].picture, samples[i - 1].picture), 0.01) << "samples " << i - 1 << ", " << i;
        }
    }
}

// "room"'s post chain changes character in short sections: the keyed looks are off outside them and on inside,
// and each changes the picture where it switches on.
TEST_F(ShippedProduction, RoomSectionsSwitchItsPostEffects)
{
    ASSERT_TRUE(load(project("room")));
    Cvar* blocks = findCvar("Sections", "Param1");
    Cvar* edges = findCvar("Sections", "Param2");
    Cvar* hits = findCvar("Aberration Hits", "value 1");
    ASSERT_TRUE(blocks && edges && hits);
    for (Cvar* keyed : {blocks, edges, hits})
        ASSERT_TRUE(SequencerManager::HasTrack(keyed));

    // Which looks are on at a frame, from the keys.
    const auto lookAt = [&](int frame) {
        std::string on;
        on += SequencerManager::EvaluateTrack(blocks, uint32_t(frame))[0] > 0.0f ? "B" : "-";
        on += SequencerManager::EvaluateTrack(edges, uint32_t(frame))[0] > 0.0f ? "E" : "-";
        on += SequencerManager::EvaluateTrack(hits, uint32_t(frame))[0] > 0.0f ? "A" : "-";
        return on;
    };
    const struct {
        int frame;
        const char* looks; // B blocks, E edges, A aberration
    } sections[] = {{500, "---"}, {1500, "--A"}, {2000, "---"}, {2900, "-E-"},
                    {3500, "---"}, {4100, "B--"}, {4300, "---"}, {4700, "B-A"}};
    for (const auto& section : sections)
        EXPECT_EQ(lookAt(section.frame), section.looks) << "frame " << section.frame;

    // Each picture is its frame alone, with nothing of the temporal history of the one before.
    Cvar* history = findCvar("Sceneplayer", "New Frame Blend Factor");
    ASSERT_TRUE(history);
    history->value[0] = 1.0f;
    while (glGetError() != GL_NO_ERROR) {
    }
    // The picture at a frame with one look's track on, and with it switched off.
    const auto switched = [&](int frame, Cvar* look) {
        const auto picture = [&] {
            const Texture* image = renderAt(frame);
            return image ? readImage(image) : ImageStats{};
        };
        const ImageStats on = picture();
        SequencerManager::SetTrackActive(look, false);
        look->value[0] = 0.0f;
        const ImageStats off = picture();
        SequencerManager::SetTrackActive(look, true);
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        return difference(on, off);
    };
    const struct {
        int frame;
        Cvar* look;
        bool changes;
    } cases[] = {{4100, blocks, true}, {2900, edges, true}, {1500, hits, true},
                 {2500, blocks, false}, {2500, edges, false}, {2500, hits, false}};
    for (const auto& c : cases) {
        const double change = switched(c.frame, c.look);
        if (c.changes)
            EXPECT_GT(change, 0.005) << "frame " << c.frame << " " << c.look->name;
        else
            EXPECT_LT(change, 1e-4) << "frame " << c.frame << " " << c.look->name;
    }
}
