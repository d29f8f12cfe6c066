#include "components/material_node.h"
#include "components/primitive_renderer.h"
#include "components/raymarcher.h"
#include "editor/file_name_prompt.h"

#include "jni/engine/grd_shader.h"
#include "render/entities.h"
#include "render/shader_inputs.h"

#include "project_test_util.h"
#include "shader_test_util.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";

class CountingListener : public ResourceModifiedListener {
public:
    void OnResourceModified(Resource* resource) override { seen.push_back(resource); }
    std::vector<Resource*> seen;
};

class MaterialNodes : public shadertest::ShaderGLTest {
protected:
    projtest::ScopedProject project;
    CountingListener listener;
    FileNamePrompt savedPrompt = materialExportPrompt;

    void SetUp() override
    {
        ShaderGLTest::SetUp();
        dataSetBasePath(kAssets);
        rendererInitGlobalInputs();
        project.store.listeners.push_back(&listener);
    }
    void TearDown() override
    {
        for (EngineComponent* component : project.components)
            delete component;
        project.components.clear();
        materialExportPrompt = savedPrompt;
        ShaderGLTest::TearDown();
    }
    template <typename T>
    T* make(const std::string& name)
    {
        auto* component = static_cast<T*>(T::Create(name));
        project.components.push_back(component);
        return component;
    }
    static void execute(EngineComponent* component, int times)
    {
        RenderItemBuilder builder;
        for (int i = 0; i < times; ++i)
            component->Execute(builder, Timestep{});
    }
};

TEST_F(MaterialNodes, PublishesItsBlockUnderItsNameAndTheFirstOfTwoNamesakesStays)
{
    auto* first = make<materialnode>("gold");
    auto* second = make<materialnode>("gold");
    Resource* stored = project.store.get_by_name_type("Material Nodes/gold", ResourceType::Material);
    EXPECT_EQ(stored, first->record);
    EXPECT_EQ(second->mat->payload, second->record);
    EXPECT_EQ(materialNodeBlock(second->record), &second->block);
    EXPECT_EQ(materialNodeBlock(nullptr), nullptr);
    ASSERT_NE(first->block.material, nullptr);
    EXPECT_TRUE(first->IsDependencyOnly());

    // A renderer slot naming the record draws with the node's block.
    materialResourceBlock = materialNodeBlock;
    auto* shape = make<primitivefx>("shape");
    shape->slots[0]->materialOverride.text = "Material Nodes/gold";
    EXPECT_EQ(shape->SourceBlock(0, true), &first->block);
    shape->slots[0]->materialOverride.text = "";
    EXPECT_EQ(shape->SourceBlock(0, true), shape->slots[0].get());

    // The node takes its record out of the store when it goes.
    project.components.erase(project.components.begin());
    delete first;
    EXPECT_EQ(project.store.resources.count("Material Nodes/gold"), 0u);
}

TEST_F(MaterialNodes, ListenersHearOnceAfterInitAndOnce50ExecutionsAfterTheLastShaderEdit)
{
    auto* node = make<materialnode>("mat");
    node->Init();
    execute(node, 3);
    ASSERT_EQ(listener.seen.size(), 1u);
    EXPECT_EQ(listener.seen[0], node->record);

    for (int edit = 0; edit < 5; ++edit) {
        node->block.shader.text = "// edit " + std::to_string(edit);
        node->OnCvarChanged(&node->block.shader);
        execute(node, 2);
    }
    execute(node, 47);
    EXPECT_EQ(listener.seen.size(), 1u);
    execute(node, 1); // the 50th after the last edit
    EXPECT_EQ(listener.seen.size(), 2u);
    execute(node, 100);
    EXPECT_EQ(node->announcements, 2);
}

TEST_F(MaterialNodes, ExportProposesTheNodeNameAndWritesOnlyWhenConfirmed)
{
    struct Request {
        std::string folder, proposed;
        std::function<void(const std::string&)> chosen;
    };
    static Request request;
    request = {};
    materialExportPrompt = [](const std::string&, const std::string& folder, const std::string& proposed,
                              std::function<void(const std::string&)> chosen) {
        request = {folder, proposed, std::move(chosen)};
    };
    auto* node = make<materialnode>("brass");
    node->block.roughness.value[0] = 0.25f;
    node->OnCvarChanged(&node->exportButton);
    EXPECT_EQ(request.proposed, "brass.mat.json");
    EXPECT_EQ(request.folder, kAssets);

    // Cancelled: the callback never runs, nothing is written. Confirmed: the branch lands in the file.
    testutil::TempDir dir("matexport");
    const std::string path = (dir.path() / "brass.mat.json").string();
    ASSERT_TRUE(request.chosen);
    request.chosen(path);
    std::ifstream in(path);
    ASSERT_TRUE(in.good());
    const nlohmann::json saved = nlohmann::json::parse(in);
    EXPECT_NE(saved.dump().find("roughness"), std::string::npos);
    EXPECT_NE(saved.dump().find("0.25"), std::string::npos);

    // A node deleted while the prompt was open is not written.
    node->OnCvarChanged(&node->exportButton);
    project.components.clear();
    delete node;
    const std::string later = (dir.path() / "later.mat.json").string();
    request.chosen(later);
    EXPECT_FALSE(std::ifstream(later).good());
}

TEST(FileNamePrompt, TypedNamesAreTrimmedAndBlankNamesRefused)
{
    struct Case {
        const char* typed;
        std::string path;
    };
    const Case cases[] = {
        {"a.mat.json", "a.mat.json"},
        {"  materials/b.mat.json \t", "materials/b.mat.json"},
        {"/tmp/c.mat.json", "/tmp/c.mat.json"},
        {"   ", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ui_file_name_prompt_path(c.typed), c.path) << c.typed;

    // A request replaces a pending one and keeps at most the buffer's length of the proposal.
    ui_file_name_prompt_request("Export", "assets/", std::string(2000, 'x'), nullptr);
    EXPECT_TRUE(uiFileNamePrompt.pending);
    EXPECT_EQ(std::string(uiFileNamePrompt.name).size(), sizeof uiFileNamePrompt.name - 1);
    uiFileNamePrompt = FileNamePromptState{};
}

TEST_F(MaterialNodes, RaymarcherTemplatesBuildInBothVariantsAndRebuildAfterEdits)
{
    auto* march = make<raymarchproceduralfx>("march");
    march->Init();
    EXPECT_EQ(march->fx->payload, march->record);
    EXPECT_EQ(march->record->entity, march->entity);
    ASSERT_NE(march->proxy, nullptr);

    RenderItemBuilder builder;
    march->hidden.value[0] = 1.0f;
    march->position.value[1] = 2.0f;
    march->entity->build(nullptr, nullptr, Timestep{}, builder);
    ASSERT_NE(march->deferredProgram.program, nullptr);
    ASSERT_NE(march->shadowProgram.program, nullptr);
    EXPECT_EQ(march->deferredProgram.program->errors, 0u);
    EXPECT_EQ(march->shadowProgram.program->errors, 0u);
    EXPECT_TRUE(march->entity->hidden);
    EXPECT_EQ(march->entity->position.y, 2.0f);
    EXPECT_TRUE(builder.items.empty());

    // Three edits within 20 calls: one rebuild, on the 50th call after the last.
    const int builds = march->deferredProgram.builds;
    for (int edit = 0; edit < 3; ++edit) {
        march->program.text = std::string(raymarchproceduralfx::kFragmentTemplate) + "// " + std::to_string(edit) + "\n";
        march->OnCvarChanged(&march->program);
        for (int i = 0; i < 6; ++i)
            march->entity->build(nullptr, nullptr, Timestep{}, builder);
    }
    for (int i = 6; i < 49; ++i)
        march->entity->build(nullptr, nullptr, Timestep{}, builder);
    EXPECT_EQ(march->deferredProgram.builds, builds);
    march->entity->build(nullptr, nullptr, Timestep{}, builder);
    EXPECT_EQ(march->deferredProgram.builds, builds + 1);
    EXPECT_EQ(march->deferredProgram.program->errors, 0u);
}

} // namespace
