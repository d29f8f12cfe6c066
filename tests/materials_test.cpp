#include "render/materials.h"

#include "app/data_files.h"
#include "editor/event_log.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "project/cvars.h"
#include "project_test_util.h"

#include <glbinding/gl/gl.h>

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
        if (name != "DEFERRED_PASS")
            EXPECT_EQ(geometry->defines.count(name), 1u) << name;
    }

    EXPECT_EQ(material->getProgram(Renderer::PASS_ALPHA), nullptr);
    EXPECT_EQ(material->getProgram(Renderer::PASS_LIGHTING), nullptr);
}

INSTANTIATE_TEST_SUITE_P(BuiltinRoots, MaterialRootPrograms, ::testing::ValuesIn(kRoots),
                         [](const ::testing::TestParamInfo<RootExpectation>& info) { return std::string(info.param.name); });

} // namespace
