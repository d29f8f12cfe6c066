// Vertex modifiers linked to the renderers: their blocks joined in link order under "VM{i}", the injection into
// the slot materials once the countdown expires, a primitive drawn displaced by a modifier's block, and the noise
// modifier's parameter block and drawing.
#include "components/vertex_modifiers.h"

#include "components/instance_buffers.h"
#include "components/mesh_renderer.h"
#include "components/primitive_renderer.h"
#include "components/primitive_shapes.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "pass_readback.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project/curve_texture.h"
#include "project_test_util.h"
#include "render/deferred_records.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/selection_bounds.h"
#include "renderer_fixture.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using passreadback::alphaAt;
using passreadback::columnOf;
using projtest::ScopedProject;

namespace {

constexpr int kPrimitiveRow = 30;
constexpr int kNullRow = 9;
constexpr int kNoiseRow = 38;
constexpr int kTwistRow = 39;
constexpr int kCustomRow = 40;
constexpr int kUVRow = 41;
constexpr int kDisplaceRow = 42;
constexpr int kTextureDisplaceRow = 43;

// One vec4 of parameters, and a statement block that moves the vertex by it.
const std::string kOffsetParams = "\nstruct OffsetParams\n{\n    vec4 offset;\n};\n"
                                  "layout (std140, row_major) uniform {Name}\n{\n    OffsetParams {Name}_params;\n};\n";
const std::string kOffsetTransform = "\n    vtx_input.pos += {Name}_params.offset.xyz;\n";
// Puts the vertex where its first texture coordinate says, so a draw shows the coordinates.
const std::string kUVToXTransform = "\n    vtx_input.pos.x = vtx_input.uv0.x + {Name}_params.offset.x;\n";

class VertexModifierGL : public RendererGLTest {
protected:
    std::unique_ptr<ScopedProject> project;
    std::vector<std::unique_ptr<Resource>> payloads;
    std::vector<BufferObject*> buffers;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project = std::make_unique<ScopedProject>();
    }
    void TearDown() override
    {
        project.reset();
        payloads.clear();
        for (BufferObject* buffer : buffers)
            boDelete(buffer);
        RendererGLTest::TearDown();
    }

    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        component->CreateChildPin();
        component->CreateEntityPin();
        currentComponents->push_back(component);
        return static_cast<T*>(component);
    }

    // The id of a "vm" output in the graph publishing `payload` (kept by the fixture).
    int32_t publish(std::unique_ptr<Resource> payload)
    {
        auto* producer = make<EngineComponent>(kNullRow, "producer " + std::to_string(payloads.size()));
        OutputPin* out = producer->AddOutput("vm", ResourceType::VertexModifier);
        out->payload = payload.get();
        payloads.push_back(std::move(payload));
        return out->id;
    }

    // A published modifier with the offset blocks, working in `space`, its buffer holding `offset`.
    int32_t addModifier(int space, const float (&offset)[4], const std::string& transform = kOffsetTransform)
    {
        auto record = std::make_unique<VertexModifierResource>("offset/" + std::to_string(payloads.size()));
        record->paramsBlock = kOffsetParams;
        record->transformBlock = transform;
        record->space = space;
        BufferObject* buffer = boCreate(record->name.c_str(), sizeof offset);
        std::memcpy(buffer->hostCopy, offset, sizeof offset);
        glNamedBufferSubData(buffer->glId, 0, sizeof offset, offset);
        buffer->dirty = false;
        record->paramsBuffer = buffer;
        buffers.push_back(buffer);
        return publish(std::move(record));
    }

    primitivefx* makeCube()
    {
        auto* holder = make<EngineComponent>(kNullRow, "holder");
        auto* cube = make<primitivefx>(kPrimitiveRow, "cube");
        holder->childPin->links = {cube->entityPin->id};
        cube->type.value[0] = float(PRIMITIVE_CUBE);
        cube->radius1.value[0] = 0.5f;
        cube->Init();
        return cube;
    }

    // One frame of a volume modifier drawn by three passes with model matrix `world`: the block it uploaded.
    static std::vector<uint8_t> uploadedBlock(VolumeVertexModifier* modifier, const Matrix& world, size_t bytes)
    {
        RenderItemBuilder builder;
        modifier->Execute(builder, Timestep{});
        EXPECT_EQ(builder.items.size(), 1u);
        for (Renderer::Pass pass : {Renderer::PASS_GEOMETRY, Renderer::PASS_SHADOWMAP, Renderer::PASS_DEFERRED})
            modifier->Render(nullptr, &world, pass, Timestep{});
        std::vector<uint8_t> block(bytes);
        glGetNamedBufferSubData(modifier->paramsBuffer->glId, 0, GLsizeiptr(bytes), block.data());
        return block;
    }

    // Executes the renderer `n` times, as that many frames would.
    static void execute(EngineComponent* renderer, int n)
    {
        for (int i = 0; i < n; ++i) {
            resetMaterialTable();
            RenderItemBuilder builder;
            renderer->Execute(builder, Timestep{});
        }
    }
};

std::string named(const std::string& text, int index) { return ReplaceNamePlaceholder(text, "VM" + std::to_string(index)); }

// The four bytes at the offset of a block read back (at() checks they are inside it).
template <typename T>
T valueAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    T v{};
    bytes.at(offset + sizeof v - 1);
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}
float floatAt(const std::vector<uint8_t>& bytes, size_t offset) { return valueAt<float>(bytes, offset); }
int32_t intAt(const std::vector<uint8_t>& bytes, size_t offset) { return valueAt<int32_t>(bytes, offset); }

void set(Cvar& cvar, std::initializer_list<float> values) { std::copy(values.begin(), values.end(), cvar.value); }

} // namespace

TEST_F(VertexModifierGL, LinksJoinInOrderAndKeepTheirPositions)
{
    const float zero[4] = {};
    const int32_t local = addModifier(VERTEX_MODIFIER_LOCAL, zero);
    const int32_t world = addModifier(VERTEX_MODIFIER_WORLD, zero);
    const int32_t odd = addModifier(7, zero);
    const int32_t instances = publish(std::make_unique<InstancesResource>("not a modifier"));
    InputPin pin("vm", {ResourceType::VertexModifier}, true);
    // A link whose producer is gone and a payload of another type sit between the modifiers: the names and the
    // bound buffers of the later ones still follow their link positions.
    pin.links = {local, 999999, world, instances, odd};
    const VertexModifierBlocks blocks = JoinVertexModifiers(&pin);
    EXPECT_EQ(blocks.params, named(kOffsetParams, 0) + named(kOffsetParams, 2) + named(kOffsetParams, 4));
    EXPECT_EQ(blocks.local, named(kOffsetTransform, 0));
    EXPECT_EQ(blocks.world, named(kOffsetTransform, 2)) << "a space of neither kind adds no transform";
    EXPECT_EQ(blocks.buffers, (std::vector<BufferObject*>{buffers[0], nullptr, buffers[1], nullptr, buffers[2]}));

    BufferBindings bindings;
    shaderBindingsAddModifiers(bindings, blocks.buffers);
    for (int i : {0, 2, 4})
        ASSERT_EQ(bindings.count("VM" + std::to_string(i)), 1u) << i;
    EXPECT_EQ(bindings.at("VM2").data, buffers[1]);
    EXPECT_EQ(bindings.count("VM1") + bindings.count("VM3"), 0u);

    EXPECT_TRUE(JoinVertexModifiers(nullptr).buffers.empty());
}

// A renderer loaded with a link injects at its first Execute into the slots of its surfaces only; the same
// links again leave the materials alone.
TEST_F(VertexModifierGL, MeshRendererInjectsIntoTheSlotsOfItsSurfaces)
{
    Object* object = entCreateObject(3, 2, {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS]});
    ASSERT_NE(object, nullptr);
    for (GeometrySurface* surface : object->geometry->surfaces)
        geomSurfaceAppendTriangle(surface, 0, 1, 2);
    project->store.add_object("two", object);
    const float zero[4] = {};
    const int32_t link = addModifier(VERTEX_MODIFIER_WORLD, zero);

    auto* mesh = make<meshrendererfx>(1, "mesh");
    mesh->objectName.text = "two";
    mesh->vmPin->links = {link};
    mesh->Init();
    EXPECT_EQ(mesh->rebuildCountdown, 1);
    execute(mesh, 1);
    EXPECT_EQ(mesh->vertexModifierBuffers, std::vector<BufferObject*>{buffers[0]});
    for (size_t i = 0; i < mesh->slots.size(); ++i) {
        const Material* material = mesh->slots[i]->material;
        ASSERT_NE(material, nullptr);
        const bool surface = i < 2;
        EXPECT_EQ(material->vertexModifierBlocks[0], surface ? named(kOffsetParams, 0) : "") << i;
        EXPECT_EQ(material->vertexModifierBlocks[2], surface ? named(kOffsetTransform, 0) : "") << i;
    }
    // Drawn once, the rebuilt programs carry the block.
    ShaderProgram* program = mesh->slots[1]->material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(program->defines.at("INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK"), named(kOffsetTransform, 0));
    EXPECT_EQ(program->defines.count("INLINE_VERTEX_MODIFIERS_TRANSFORM_LOCAL_BLOCK"), 0u);
    EXPECT_EQ(program->errors, 0u);

    mesh->OnInputChanged(mesh->vmPin->id);
    EXPECT_EQ(mesh->rebuildCountdown, kPrimitiveRebuildDelay);
    execute(mesh, kPrimitiveRebuildDelay);
    EXPECT_EQ(mesh->slots[1]->material->rebuildCountdown, 0u) << "unchanged blocks compile nothing";

    geomDelete(object->geometry);
    delete object;
}

// The cube moves by the modifier's offset once the countdown has run out, and is back once the link is gone.
TEST_F(VertexModifierGL, PrimitiveDrawsDisplacedUntilTheLinkIsRemoved)
{
    primitivefx* cube = makeCube();
    const float offset[4] = {1.5f, 0.0f, 0.0f, 0.0f};
    const int32_t link = addModifier(VERTEX_MODIFIER_LOCAL, offset);
    const auto draw = [&]() {
        resetMaterialTable();
        RenderItemBuilder builder;
        cube->Execute(builder, Timestep{});
        deferredUpdateMaterials();
        return passreadback::deferredAlpha([&](Camera* camera, const Matrix* world) {
            cube->Render(camera, world, Renderer::PASS_DEFERRED, Timestep{});
        });
    };
    // Which pixels are lit: the centre, and the points 1.5 to either side.
    const auto lit = [](const std::vector<float>& alpha) {
        return std::vector<bool>{alphaAt(alpha, columnOf(0.0f, false), 32) > 0.5f,
                                 alphaAt(alpha, columnOf(1.5f, false), 32) > 0.5f,
                                 alphaAt(alpha, columnOf(1.5f, true), 32) > 0.5f};
    };
    EXPECT_EQ(lit(draw()), (std::vector<bool>{true, false, false}));

    cube->vmPin->links = {link};
    cube->OnInputConnected(cube->vmPin->id);
    execute(cube, kPrimitiveRebuildDelay - 1);
    EXPECT_TRUE(cube->vertexModifierBuffers.empty()) << "not before the countdown runs out";
    const std::vector<bool> moved = lit(draw());
    EXPECT_EQ(cube->vertexModifierBuffers, std::vector<BufferObject*>{buffers[0]});
    EXPECT_FALSE(moved[0]);
    EXPECT_NE(moved[1], moved[2]) << "lit on exactly one side";

    cube->vmPin->links.clear();
    cube->OnInputDisconnected(cube->vmPin->id);
    execute(cube, kPrimitiveRebuildDelay - 1);
    EXPECT_EQ(lit(draw()), (std::vector<bool>{true, false, false}));
    EXPECT_TRUE(cube->vertexModifierBuffers.empty());
    EXPECT_EQ(cube->slots[0]->material->deferredProgram->defines.count("INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK"), 0u);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

TEST_F(VertexModifierGL, NoiseBlockHoldsTheParametersAtTheirOffsets)
{
    auto* noise = make<vertexmodifiernoisefx>(kNoiseRow, "noise");
    ASSERT_NE(noise, nullptr);
    VertexModifierResource* record = noise->record;
    EXPECT_EQ(noise->outputs[0]->payload, record);
    EXPECT_EQ(record->name, "vertexmodifiernoisefx/noise");
    EXPECT_EQ(record->space, VERTEX_MODIFIER_WORLD) << "the factory's record until Init";
    EXPECT_EQ(record->paramsBuffer, nullptr);
    noise->Init();
    EXPECT_EQ(record->space, VERTEX_MODIFIER_LOCAL);
    ASSERT_NE(record->paramsBuffer, nullptr);
    EXPECT_GE(record->paramsBuffer->size, 480u) << "the block's std140 size";

    set(noise->position, {1, 2, 3});
    set(noise->radius, {2, 1, 0.5f});
    set(noise->displacementMode, {1});
    set(noise->noisePhase3D, {1, 2, 3});
    set(noise->noisePhaseTime, {-100});
    set(noise->noiseScale, {4, 5, 6});
    set(noise->strength, {7, 8, 9});
    set(noise->noiseBase, {1.5f});
    set(noise->absoluteNoise, {1});
    set(noise->inverseFalloff, {0.6f});
    noise->selected = true;

    // One frame: the curve is baked once however many passes draw the item, each with W = L.
    const int32_t firstRow = curveTextureNextRow;
    const std::vector<uint8_t> bytes =
        uploadedBlock(noise, noise->GetLocalMatrix(), sizeof(VertexModifierNoiseParams));
    EXPECT_EQ(curveTextureNextRow, firstRow + 1);
    const struct {
        size_t offset;
        std::vector<float> values;
    } floats[] = {
        {128 + 12, {1}},  {128 + 28, {2}},  {128 + 44, {3}},  // L: the translation by "Position"
        {192 + 12, {-1}}, {192 + 28, {-2}}, {192 + 44, {-3}}, // its inverse
        {64 + 12, {1}},                                       // W, here L
        {384, {1, 2, 3, -100}}, {400, {4, 5, 6}}, {416, {7, 8, 9}}, {432, {1, 2, 3}}, {448, {2, 1, 0.5f}},
        {464, {1.5f}},
    };
    for (const auto& f : floats)
        for (size_t k = 0; k < f.values.size(); ++k)
            EXPECT_FLOAT_EQ(floatAt(bytes, f.offset + 4 * k), f.values[k]) << "offset " << f.offset + 4 * k;
    const struct {
        size_t offset;
        int32_t value;
    } ints[] = {{412, firstRow}, {428, 1}, {444, 1}, {460, 1}, {468, 1}};
    for (const auto& i : ints)
        EXPECT_EQ(intAt(bytes, i.offset), i.value) << "offset " << i.offset;
    // W x inverse of L is the identity when W = L.
    const Matrix identity;
    for (int k = 0; k < 16; ++k)
        EXPECT_NEAR(floatAt(bytes, 256 + 4 * k), identity.m[k], 1e-6f) << k;

    ASSERT_EQ(selectedBoundsMap.count(uint32_t(noise->id)), 1u);
    const SelectedBounds& bounds = selectedBoundsMap[uint32_t(noise->id)];
    EXPECT_EQ(std::vector<float>(bounds.box, bounds.box + 6), (std::vector<float>{-2, -1, -0.5f, 2, 1, 0.5f}));
    EXPECT_EQ(bounds.kind, 1);
    EXPECT_EQ(bounds.local.m[7], 2.0f);
    selectedBoundsMap.clear();
}

TEST_F(VertexModifierGL, TwistBlockHoldsTheParametersAtTheirOffsets)
{
    auto* twist = make<vertexmodifiertwistfx>(kTwistRow, "twist");
    ASSERT_NE(twist, nullptr);
    EXPECT_EQ(twist->record->name, "vertexmodifiertwistfx/twist");
    twist->Init();
    EXPECT_EQ(twist->record->space, VERTEX_MODIFIER_LOCAL);
    Cvar *position = nullptr, *rotation = nullptr, *scale = nullptr;
    ASSERT_TRUE(twist->GetTransformCvars(&position, &rotation, &scale));
    EXPECT_EQ(position, &twist->position);
    EXPECT_EQ(rotation, nullptr);
    EXPECT_EQ(scale, &twist->radius) << "the gizmo's scale sizes the volume";

    set(twist->position, {1, 2, 3});
    set(twist->radius, {2, 1, 0.5f});
    set(twist->twistAxis, {0, 1, 0});
    set(twist->angle, {90});
    set(twist->blendMode, {1});
    set(twist->inverseFalloff, {1});
    const int32_t firstRow = curveTextureNextRow;
    const Matrix world = Matrix::Translation(0, 5, 0);
    const std::vector<uint8_t> bytes = uploadedBlock(twist, world, sizeof(VertexModifierTwistParams));
    EXPECT_EQ(curveTextureNextRow, firstRow + 1);
    const struct {
        size_t offset;
        std::vector<float> values;
    } floats[] = {
        {64 + 28, {5}},   // W
        {128 + 44, {3}},  // L
        {384, {0, 1, 0}}, {396, {1.5707964f}}, {400, {1, 2, 3}}, {416, {2, 1, 0.5f}},
    };
    for (const auto& f : floats)
        for (size_t k = 0; k < f.values.size(); ++k)
            EXPECT_FLOAT_EQ(floatAt(bytes, f.offset + 4 * k), f.values[k]) << "offset " << f.offset + 4 * k;
    EXPECT_EQ(intAt(bytes, 412), 1);
    EXPECT_EQ(intAt(bytes, 428), firstRow);
    EXPECT_EQ(intAt(bytes, 432), 1);
    EXPECT_GE(twist->paramsBuffer->size, 448u) << "the block's std140 size";
}

// A cube with a volume modifier linked draws differently from the plain cube, with programs that build.
TEST_F(VertexModifierGL, VolumeModifiersChangeWhatThePrimitiveDraws)
{
    struct Case {
        int row;
        std::function<void(EngineComponent*)> configure;
    } cases[] = {
        {kNoiseRow,
         [](EngineComponent* c) {
             auto* noise = static_cast<vertexmodifiernoisefx*>(c);
             set(noise->radius, {3, 3, 3});
             set(noise->strength, {4, 4, 4});
             set(noise->noiseScale, {3, 3, 3});
         }},
        // Turned about the view axis, most where the falloff is inverted: the square outline turns.
        {kTwistRow,
         [](EngineComponent* c) {
             auto* twist = static_cast<vertexmodifiertwistfx*>(c);
             set(twist->radius, {3, 3, 3});
             set(twist->angle, {180});
             set(twist->inverseFalloff, {1});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(componentTypeTable[c.row].typeName);
        primitivefx* cube = makeCube();
        auto* modifier = make<VolumeVertexModifier>(c.row, "modifier");
        ASSERT_NE(modifier, nullptr);
        modifier->Init();
        c.configure(modifier);
        const auto frame = [&]() {
            resetMaterialTable();
            RenderItemBuilder builder;
            modifier->Execute(builder, Timestep{});
            cube->Execute(builder, Timestep{});
            deferredUpdateMaterials();
            return passreadback::deferredAlpha([&](Camera* camera, const Matrix* world) {
                modifier->Render(camera, world, Renderer::PASS_DEFERRED, Timestep{});
                cube->Render(camera, world, Renderer::PASS_DEFERRED, Timestep{});
            });
        };
        const std::vector<float> plain = frame();

        cube->vmPin->links = {modifier->outputs[0]->id};
        cube->OnInputConnected(cube->vmPin->id);
        execute(cube, kPrimitiveRebuildDelay - 1);
        const std::vector<float> modified = frame();
        ShaderProgram* program = cube->slots[0]->material->getProgram(Renderer::PASS_DEFERRED);
        ASSERT_NE(program, nullptr);
        EXPECT_EQ(program->errors, 0u);
        EXPECT_NE(program->defines.at("INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK").find("VM0_params"), std::string::npos);
        size_t changed = 0;
        for (size_t i = 0; i < plain.size(); ++i)
            changed += (plain[i] > 0.5f) != (modified[i] > 0.5f);
        EXPECT_GT(changed, 20u);
    }
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

TEST_F(VertexModifierGL, UVBlockMapsCoordinatesByShiftScaleAndPlane)
{
    auto* uv = make<vertexmodifieruvfx>(kUVRow, "uv");
    ASSERT_NE(uv, nullptr);
    EXPECT_EQ(uv->record->name, "vertexmodifieruvfx/uv");
    uv->Init();
    EXPECT_EQ(uv->record->space, VERTEX_MODIFIER_WORLD) << "\"Stage\" starts at world space";
    ASSERT_NE(uv->record->paramsBuffer, nullptr);
    EXPECT_GE(uv->paramsBuffer->size, 80u) << "the block's std140 size";

    struct Case {
        std::vector<float> shift, scale;
        float overrideOn, plane;
        std::vector<float> from, to; // a coordinate and where the uploaded transform takes it
    } cases[] = {
        {{0.5f, 0}, {2, 2}, 0, 0, {0, 0}, {1, 0}},
        {{0.5f, 0}, {2, 2}, 0, 0, {1, 1}, {3, 2}},
        {{0, -1}, {3, 0.5f}, 1, 1, {2, 4}, {6, 1.5f}},
        {{0, 0}, {1, 1}, 1, 2, {0.25f, 0.75f}, {0.25f, 0.75f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "shift " << c.shift[0] << ", " << c.shift[1] << " scale " << c.scale[0]);
        set(uv->shift, {c.shift[0], c.shift[1]});
        set(uv->scale, {c.scale[0], c.scale[1]});
        set(uv->overrideOriginal, {c.overrideOn});
        set(uv->overridePlane, {c.plane});
        RenderItemBuilder builder;
        uv->Execute(builder, Timestep{});
        ASSERT_EQ(builder.items.size(), 1u);
        const Matrix world;
        uv->Render(nullptr, &world, Renderer::PASS_DEFERRED, Timestep{});
        std::vector<uint8_t> bytes(sizeof(VertexModifierUVParams));
        glGetNamedBufferSubData(uv->paramsBuffer->glId, 0, GLsizeiptr(bytes.size()), bytes.data());
        // Rows one after another: (transform x (u, v, 0, 1)).xy.
        for (int row = 0; row < 2; ++row) {
            const float mapped = floatAt(bytes, 16 * row) * c.from[0] + floatAt(bytes, 16 * row + 4) * c.from[1] +
                                 floatAt(bytes, 16 * row + 12);
            EXPECT_FLOAT_EQ(mapped, c.to[row]) << "row " << row;
        }
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 64, bytes.begin() + 68),
                  (std::vector<uint8_t>{uint8_t(c.overrideOn > 0.5f ? 1 : 0), 0, 0, 0}));
        EXPECT_EQ(intAt(bytes, 68), int32_t(c.plane));
    }
    EXPECT_EQ(uv->record->space, VERTEX_MODIFIER_WORLD) << "drawing leaves the record alone";

    // A new "Stage" moves the block into the other transform block.
    InputPin pin("vm", {ResourceType::VertexModifier}, true);
    pin.links = {uv->outputs[0]->id};
    EXPECT_TRUE(JoinVertexModifiers(&pin).local.empty());
    set(uv->stage, {0});
    uv->OnCvarChanged(&uv->stage);
    const VertexModifierBlocks blocks = JoinVertexModifiers(&pin);
    EXPECT_NE(blocks.local.find("VM0_params.transform"), std::string::npos);
    EXPECT_TRUE(blocks.world.empty());
    selectedBoundsMap.clear();
}

TEST_F(VertexModifierGL, DisplaceBlockNamesTheTexturesMaterialRow)
{
    Texture* image = txtCreateNamed("bumps", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
    project->store.add_texture("bumps", image);
    auto* displace = make<vertexmodifierdisplacefx>(kDisplaceRow, "displace");
    ASSERT_NE(displace, nullptr);
    displace->Init();
    EXPECT_EQ(displace->record->space, VERTEX_MODIFIER_WORLD);
    ASSERT_NE(displace->record->paramsBuffer, nullptr);
    set(displace->strength, {1, 2, 3});
    set(displace->normalScale, {4});

    const auto frame = [&](const std::string& textureName, int fill) {
        resetMaterialTable();
        MaterialProperties filler;
        for (int i = 0; i < fill; ++i)
            materialTableAppend(filler);
        displace->texture.text = textureName;
        RenderItemBuilder builder;
        displace->Execute(builder, Timestep{});
        EXPECT_TRUE(builder.items.empty());
        std::vector<uint8_t> bytes(sizeof(VertexModifierDisplaceParams));
        glGetNamedBufferSubData(displace->paramsBuffer->glId, 0, GLsizeiptr(bytes.size()), bytes.data());
        return bytes;
    };
    struct Case {
        const char* texture;
        int fill;          // rows taken before the modifier runs
        int32_t row;       // at offset 0
        bool parameters;   // normal scale and strength written, else the defaults
    } cases[] = {
        {"bumps", 0, 1, true},
        {"bumps", 5, 6, true},
        {"", 0, 0, false},
        {"missing", 0, 0, false},
        {"bumps", kMaterialTableSize, 0, false}, // no row left this frame
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "\"" << c.texture << "\" after " << c.fill);
        const std::vector<uint8_t> bytes = frame(c.texture, c.fill);
        EXPECT_EQ(intAt(bytes, 0), c.row);
        if (c.row > 0)
            EXPECT_EQ(materialTable[c.row].albedoTexture, image);
        const std::vector<float> expected =
            c.parameters ? std::vector<float>{4, 0, 0, 1, 2, 3} : std::vector<float>{1, 0, 0, 0, 0, 0};
        for (size_t k = 0; k < expected.size(); ++k)
            EXPECT_FLOAT_EQ(floatAt(bytes, 4 + 4 * k), expected[k]) << "offset " << 4 + 4 * k;
    }
    resetMaterialTable();
    txtDestroy(image);
}

// Read back: the UV modifier's coordinates become the x of the cube's vertices (through a modifier linked after
// it), so shift and scale move and widen the drawn square; displace along the normals by a white texture grows it.
TEST_F(VertexModifierGL, UVAndDisplaceChangeWhatThePrimitiveDraws)
{
    Texture* white = txtCreateNamed("white", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
    const std::vector<uint8_t> texels(16, 255);
    glTextureSubImage2D(white->glId, 0, 0, 0, 2, 2, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
    project->store.add_texture("white", white);

    const auto draw = [&](primitivefx* cube, const std::vector<EngineComponent*>& modifiers) {
        resetMaterialTable();
        RenderItemBuilder builder;
        for (EngineComponent* modifier : modifiers)
            modifier->Execute(builder, Timestep{});
        cube->Execute(builder, Timestep{});
        deferredUpdateMaterials();
        return passreadback::deferredAlpha([&](Camera* camera, const Matrix* world) {
            for (RenderItem& item : builder.items)
                if (item.owner != cube)
                    item.callback(camera, world, Renderer::PASS_DEFERRED, Timestep{});
            cube->Render(camera, world, Renderer::PASS_DEFERRED, Timestep{});
        });
    };
    const auto link = [&](primitivefx* cube, std::vector<int32_t> links) {
        cube->vmPin->links = std::move(links);
        cube->OnInputConnected(cube->vmPin->id);
        execute(cube, kPrimitiveRebuildDelay - 1);
    };
    // The lit span of the middle row: its first and last column.
    const auto span = [](const std::vector<float>& alpha) {
        int first = -1, last = -1;
        for (int x = 0; x < passreadback::kSize; ++x)
            if (alphaAt(alpha, x, 32) > 0.5f) {
                first = first < 0 ? x : first;
                last = x;
            }
        return std::pair<int, int>{first, last};
    };

    // UV from the position's x and y: x becomes scale x (x + shift).
    struct UVCase {
        float shift, scale;
        float centre; // of the drawn square
    } uvCases[] = {{0, 1, 0}, {0.5f, 2, 1}, {-0.5f, 1, -0.5f}};
    int plainWidth = 0;
    for (const UVCase& c : uvCases) {
        SCOPED_TRACE(testing::Message() << "shift " << c.shift << " scale " << c.scale);
        primitivefx* cube = makeCube();
        auto* uv = make<vertexmodifieruvfx>(kUVRow, "uv");
        uv->Init();
        set(uv->overrideOriginal, {1});
        set(uv->shift, {c.shift, 0});
        set(uv->scale, {c.scale, c.scale});
        const float zero[4] = {};
        link(cube, {uv->outputs[0]->id, addModifier(VERTEX_MODIFIER_WORLD, zero, kUVToXTransform)});
        const auto [first, last] = span(draw(cube, {uv}));
        ASSERT_GE(first, 0);
        const float middle = 0.5f * float(first + last);
        const float offBy = std::min(std::abs(middle - float(columnOf(c.centre, false))),
                                    std::abs(middle - float(columnOf(c.centre, true))));
        EXPECT_LE(offBy, 2.5f) << "lit from " << first << " to " << last;
        if (c.scale == 1)
            plainWidth = last - first;
        else
            EXPECT_GT(last - first, plainWidth * 3 / 2) << "twice as wide";
        EXPECT_EQ(cube->slots[0]->material->getProgram(Renderer::PASS_DEFERRED)->errors, 0u);
    }

    // Both displacers push the faces out along their normals by the white texel: the square grows both ways.
    struct DisplaceCase {
        int row;
        std::function<void(EngineComponent*)> configure;
    } displaceCases[] = {
        {kDisplaceRow,
         [](EngineComponent* c) {
             auto* displace = static_cast<vertexmodifierdisplacefx*>(c);
             set(displace->strength, {0.5f, 0.5f, 0.5f});
             displace->texture.text = "white";
         }},
        {kTextureDisplaceRow,
         [](EngineComponent* c) {
             auto* displace = static_cast<vertexmodifiertexturedisplacefx*>(c);
             set(displace->radius, {3, 3, 3});
             set(displace->strength, {0.5f, 0.5f, 0.5f});
             set(displace->noiseBase, {0});
             set(displace->inverseFalloff, {1});
             displace->texture.text = "white";
         }},
    };
    for (const DisplaceCase& c : displaceCases) {
        SCOPED_TRACE(componentTypeTable[c.row].typeName);
        primitivefx* cube = makeCube();
        auto* displace = make<EngineComponent>(c.row, "displace");
        ASSERT_NE(displace, nullptr);
        displace->Init();
        c.configure(displace);
        const auto [plainFirst, plainLast] = span(draw(cube, {displace}));
        link(cube, {displace->outputs[0]->id});
        const auto [first, last] = span(draw(cube, {displace}));
        EXPECT_EQ(cube->slots[0]->material->getProgram(Renderer::PASS_DEFERRED)->errors, 0u);
        EXPECT_LT(first, plainFirst - 2);
        EXPECT_GT(last, plainLast + 2);
    }

    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    txtDestroy(white);
}

TEST_F(VertexModifierGL, TextureDisplaceBlockHoldsTheParametersAtTheirOffsets)
{
    Texture* image = txtCreateNamed("bumps", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
    project->store.add_texture("bumps", image);
    project->store.add_envmap("sky", image);
    auto* displace = make<vertexmodifiertexturedisplacefx>(kTextureDisplaceRow, "displace");
    ASSERT_NE(displace, nullptr);
    EXPECT_EQ(displace->record->name, "vertexmodifiertexturedisplacefx/displace");
    displace->Init();
    EXPECT_EQ(displace->record->space, VERTEX_MODIFIER_LOCAL);
    EXPECT_GE(displace->paramsBuffer->size, 464u);
    Cvar *position = nullptr, *rotation = nullptr, *scale = nullptr;
    ASSERT_TRUE(displace->GetTransformCvars(&position, &rotation, &scale));
    EXPECT_EQ(position, &displace->position);
    EXPECT_EQ(rotation, &displace->rotation);
    EXPECT_EQ(scale, nullptr);

    set(displace->position, {1, 2, 3});
    set(displace->scale, {2, 4});
    set(displace->radius, {2, 1, 0.5f});
    set(displace->strength, {7, 8, 9});
    set(displace->noiseBase, {1.5f});
    set(displace->displacementMode, {1});
    set(displace->inverseFalloff, {1});
    set(displace->absoluteValue, {1});
    set(displace->radialMapping, {1});

    // The texture's row is handed out once per frame; a name of another kind of resource gives none.
    struct Case {
        const char* texture;
        int32_t row;
    } cases[] = {{"bumps", 1}, {"sky", 0}, {"", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.texture);
        resetMaterialTable();
        displace->texture.text = c.texture;
        const int32_t firstRow = curveTextureNextRow;
        const std::vector<uint8_t> bytes =
            uploadedBlock(displace, Matrix::Translation(0, 5, 0), sizeof(VertexModifierTextureDisplaceParams));
        EXPECT_EQ(materialCount, 1 + c.row) << "one row for three passes";
        const struct {
            size_t offset;
            std::vector<float> values;
        } floats[] = {
            {64 + 28, {5}}, {128 + 12, {1}}, {384, {7, 8, 9, 1.5f}}, {400, {2, 4, 0}}, {416, {1, 2, 3}},
            {432, {2, 1, 0.5f}},
        };
        for (const auto& f : floats)
            for (size_t k = 0; k < f.values.size(); ++k)
                EXPECT_FLOAT_EQ(floatAt(bytes, f.offset + 4 * k), f.values[k]) << "offset " << f.offset + 4 * k;
        const struct {
            size_t offset;
            int32_t value;
        } ints[] = {{412, 1}, {428, 1}, {444, 1}, {448, firstRow}, {452, c.row}, {456, 1}, {460, 0}};
        for (const auto& i : ints)
            EXPECT_EQ(intAt(bytes, i.offset), i.value) << "offset " << i.offset;
    }
    selectedBoundsMap.clear();
    resetMaterialTable();
    txtDestroy(image);
}

namespace {
std::string capturedMessages;
void captureMessage(const std::string& text, bool) { capturedMessages += text + "\n"; }
} // namespace

// "program" edits reach the record only once they have rested for the delay; one that does not compile never
// does: the renderers keep building with the last good text and the event log tells why.
TEST_F(VertexModifierGL, CustomProgramIsPublishedAfterTheDelayOnlyWhenItCompiles)
{
    auto* custom = make<vertexmodifiercustomfx>(kCustomRow, "custom");
    ASSERT_NE(custom, nullptr);
    custom->Init();
    VertexModifierResource* record = custom->record;
    EXPECT_EQ(record->space, VERTEX_MODIFIER_WORLD);
    EXPECT_EQ(record->transformBlock, "\n\n\n\n");
    ASSERT_EQ(record->paramsBuffer, custom->paramsBuffer);

    set(custom->noisePhase3D, {1, 2, 3});
    set(custom->noisePhaseTime, {4});
    set(custom->noiseScale, {5, 6, 7});
    set(custom->strength, {8, 9, 10});
    RenderItemBuilder builder;
    custom->Execute(builder, Timestep{});
    std::vector<uint8_t> bytes(48);
    glGetNamedBufferSubData(custom->paramsBuffer->glId, 0, 48, bytes.data());
    const struct {
        size_t offset;
        std::vector<float> values;
    } floats[] = {{0, {1, 2, 3, 4}}, {16, {5, 6, 7}}, {32, {8, 9, 10}}};
    for (const auto& f : floats)
        for (size_t k = 0; k < f.values.size(); ++k)
            EXPECT_FLOAT_EQ(floatAt(bytes, f.offset + 4 * k), f.values[k]) << "offset " << f.offset + 4 * k;

    primitivefx* cube = makeCube();
    cube->vmPin->links = {custom->outputs[0]->id};
    cube->OnInputConnected(cube->vmPin->id);
    const auto frames = [&](int n) {
        for (int i = 0; i < n; ++i) {
            resetMaterialTable();
            RenderItemBuilder frame;
            custom->Execute(frame, Timestep{});
            cube->Execute(frame, Timestep{});
        }
    };
    const auto edit = [&](const std::string& text) {
        custom->program.text = text;
        custom->OnCvarChanged(&custom->program);
    };
    const std::string first = "\n    vtx_input.pos += {Name}_params.scale;\n";
    const std::string second = "\n    vtx_input.pos *= {Name}_params.noise_scale;\n";
    edit(first);
    frames(10);
    edit(second);
    frames(kCustomModifierPublishDelay - 1);
    EXPECT_EQ(record->transformBlock, "\n\n\n\n") << "not before the last edit has rested";
    frames(1);
    EXPECT_EQ(record->transformBlock, second) << "only the last edit is published";
    frames(kPrimitiveRebuildDelay);
    ShaderProgram* program = cube->slots[0]->material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(program->errors, 0u);
    EXPECT_EQ(program->defines.at("INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK"), named(second, 0));

    const GrdMessageSink previous = grdMessageSink;
    grdMessageSink = captureMessage;
    capturedMessages.clear();
    edit("\n    vtx_input.pos += not_declared_anywhere;\n");
    frames(kCustomModifierPublishDelay + kPrimitiveRebuildDelay);
    grdMessageSink = previous;
    EXPECT_EQ(record->transformBlock, second) << "the last program that compiled stays";
    EXPECT_NE(capturedMessages.find("Vertex modifier custom: \"program\" does not compile"), std::string::npos)
        << capturedMessages;
    program = cube->slots[0]->material->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(program->errors, 0u) << "the renderer's program still builds";
    EXPECT_EQ(program->defines.at("INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK"), named(second, 0));
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}
