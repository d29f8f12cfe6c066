// The destroy modifier: its own copy of the linked object (or the project's empty object) on "obj", destruction
// data sized for the copy, and a changed input passed on to its consumers.
#include "components/destroy_modifier.h"

#include "components/mesh_renderer.h"
#include "components/primitive_renderer.h"
#include "components/primitive_shapes.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/entities.h"
#include "renderer_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

using projtest::ScopedProject;

namespace {

class DestroyModifierGL : public RendererGLTest {
protected:
    std::unique_ptr<ScopedProject> project;
    Object empty; // "global/null_object"

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project = std::make_unique<ScopedProject>();
        project->store.add_object("global/null_object", &empty);
    }
    void TearDown() override
    {
        project.reset();
        RendererGLTest::TearDown();
    }

    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        EXPECT_NE(component, nullptr) << name;
        currentComponents->push_back(component);
        return static_cast<T*>(component);
    }
};

Object* published(destroy_modifier* destroy)
{
    auto* file = resourceCast<FileResource>(destroy->outputs[0]->payload, ResourceType::Object);
    return file ? file->GetObject() : nullptr;
}

int32_t objOutput(EngineComponent* component)
{
    for (OutputPin* pin : component->outputs)
        if (pin->name == "obj")
            return pin->id;
    return 0;
}

} // namespace

TEST_F(DestroyModifierGL, PublishesACopyOfItsInputAndFollowsItsChanges)
{
    auto* destroy = make<destroy_modifier>(3, "destroy");
    ASSERT_NE(destroy, nullptr);
    ASSERT_NE(destroyModifierProgram, nullptr);
    EXPECT_EQ(destroy->outputs[0]->payload, nullptr) << "published by Init";
    destroy->Init();
    EXPECT_EQ(published(destroy), &empty);

    auto* holder = make<EngineComponent>(9, "holder");
    holder->CreateChildPin();
    auto* cube = make<primitivefx>(30, "cube");
    cube->CreateEntityPin();
    holder->childPin->links = {cube->entityPin->id};
    cube->type.value[0] = float(PRIMITIVE_CUBE);
    cube->Init();
    auto* mesh = make<meshrendererfx>(1, "mesh");
    mesh->objPin->links = {objOutput(destroy)};

    destroy->objPin->links = {objOutput(cube)};
    destroy->OnInputChanged(destroy->objPin->id);
    Object* copy = published(destroy);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy, destroy->published);
    EXPECT_NE(copy->geometry, cube->object->geometry);
    EXPECT_EQ(copy->name, ":Destroy") << "the primitive's object has no name";
    EXPECT_EQ(mesh->object, copy) << "the consumer was told";
    const Geometry* source = cube->object->geometry;
    ASSERT_EQ(copy->geometry->vertexCount, source->vertexCount);
    EXPECT_EQ(std::memcmp(copy->geometry->FindAttributeBuffer("VTXCoords")->hostCopy,
                          source->FindAttributeBuffer("VTXCoords")->hostCopy, size_t(source->vertexCount) * 12),
              0)
        << "the copy shows the input unchanged";

    // Records of 16 bytes per vertex and 64 per piece, in whole groups of 32.
    const uint64_t vertices = copy->geometry->vertexCount;
    ASSERT_TRUE(destroy->vertexBuffer && destroy->pieceBuffer);
    EXPECT_EQ(destroy->vertexBuffer->size, (vertices + 31) / 32 * 32 * kDestroyVertexBytes);
    EXPECT_EQ(destroy->pieceBuffer->size, 32u * kDestroyPieceBytes);
    EXPECT_EQ(destroy->vertexRecords.size(), vertices * kDestroyVertexBytes);
    EXPECT_TRUE(std::all_of(destroy->vertexRecords.begin(), destroy->vertexRecords.end(),
                            [](uint8_t b) { return b == 0; }));

    // The primitive's new shape reaches the copy and, through it, the mesh renderer.
    const float before = copy->bounds[3];
    cube->radius1.value[0] *= 2.0f;
    cube->OnCvarChanged(&cube->radius1);
    ASSERT_NE(published(destroy), nullptr);
    EXPECT_FLOAT_EQ(published(destroy)->bounds[3], cube->object->bounds[3]);
    EXPECT_NE(published(destroy)->bounds[3], before);
    EXPECT_EQ(mesh->object, published(destroy));

    // Unlinked, or linked to an output without an object: the empty object again.
    for (int32_t link : {0, 999999}) {
        destroy->objPin->links.clear();
        if (link)
            destroy->objPin->links.push_back(link);
        destroy->OnInputChanged(destroy->objPin->id);
        EXPECT_EQ(published(destroy), &empty) << link;
        EXPECT_EQ(destroy->published, nullptr) << link;
    }
}
