// The light and material records the renderer uploads byte for byte: every member of the C++ record sits where the
// compiled shaders read it, with the type they read, and the records are as long as the shaders' array stride.
#include "app/data_files.h"
#include "gl_context.h"
#include "jni/engine/grd_shader.h"
#include "render/deferred_records.h"
#include "render/materials.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

using namespace gl;

namespace {

struct Member {
    const char* name; // as the GLSL struct names it; arrays by their first element
    size_t offset;    // offsetof in the C++ record
    GLenum type;
};

#define MEMBER(record, glslName, field, type) Member{glslName, offsetof(record, field), type}

const std::vector<Member> kLightMembers = {
    MEMBER(LightProperties, "color", color, GL_FLOAT_VEC4),
    MEMBER(LightProperties, "direction", direction, GL_FLOAT_VEC4),
    MEMBER(LightProperties, "position", position, GL_FLOAT_VEC4),
    MEMBER(LightProperties, "axis_y", axisY, GL_FLOAT_VEC4),
    MEMBER(LightProperties, "axis_x", axisX, GL_FLOAT_VEC4),
    MEMBER(LightProperties, "dimensions", dimensions, GL_FLOAT_VEC2),
    MEMBER(LightProperties, "light_reserved0", reserved0, GL_FLOAT_VEC2),
    MEMBER(LightProperties, "intensity", intensity, GL_FLOAT),
    MEMBER(LightProperties, "range", range, GL_FLOAT),
    MEMBER(LightProperties, "cos_half_fov", cosHalfFov, GL_FLOAT),
    MEMBER(LightProperties, "roughness_modifier", roughnessModifier, GL_FLOAT),
    MEMBER(LightProperties, "area", area, GL_INT),
    MEMBER(LightProperties, "flags", flags, GL_INT),
    MEMBER(LightProperties, "projector_index", projectorIndex, GL_INT),
    MEMBER(LightProperties, "light_reserved1", firstFaceRecord, GL_INT),
    MEMBER(LightProperties, "shadowmap_index", shadowmapIndex, GL_INT_VEC4),
    MEMBER(LightProperties, "split_distances", splitDistances, GL_FLOAT_VEC4),
    MEMBER(LightProperties, "view", view, GL_FLOAT_MAT4),
    MEMBER(LightProperties, "mat_shadow_p[0]", shadowProjection, GL_FLOAT_MAT4),
    MEMBER(LightProperties, "mat_shadow_mv[0]", shadowViewProjection, GL_FLOAT_MAT4),
};

const std::vector<Member> kMaterialMembers = {
    MEMBER(MaterialPropertiesGPU, "diffuse", diffuse, GL_FLOAT_VEC3),
    MEMBER(MaterialPropertiesGPU, "transparency", transparency, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "emissive", emissive, GL_FLOAT_VEC3),
    MEMBER(MaterialPropertiesGPU, "roughness", roughness, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "reserved", reserved, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "normal_factor", normalFactor, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "emissive_factor", emissiveFactor, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "temporal_accumulation_factor", temporalAccumulationFactor, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "triplanar_mapping_scale", triplanarMappingScale, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "shadowmap_bias", shadowmapBias, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "metalness", metalness, GL_FLOAT),
    MEMBER(MaterialPropertiesGPU, "albedo_sampler", albedoSampler, GL_INT),
    MEMBER(MaterialPropertiesGPU, "emissive_sampler", emissiveSampler, GL_INT),
    MEMBER(MaterialPropertiesGPU, "normal_sampler", normalSampler, GL_INT),
    MEMBER(MaterialPropertiesGPU, "metallic_roughness_sampler", metallicRoughnessSampler, GL_INT),
    MEMBER(MaterialPropertiesGPU, "flags", flags, GL_UNSIGNED_INT),
};

#undef MEMBER

GLint resourceValue(GLuint program, GLenum interface, GLuint index, GLenum property)
{
    GLint value = -1;
    glGetProgramResourceiv(program, interface, index, 1, &property, 1, nullptr, &value);
    return value;
}

// Compares the records of the storage block's array `arrayName` with the C++ record of `recordSize` bytes.
void expectRecordLayout(const ShaderProgram* program, const std::string& block, const std::string& arrayName,
                        size_t recordSize, const std::vector<Member>& members)
{
    ASSERT_NE(program, nullptr);
    ASSERT_EQ(program->errors, 0u);
    const GLuint id = program->glProgramId;
    const GLuint blockIndex = glGetProgramResourceIndex(id, GL_SHADER_STORAGE_BLOCK, block.c_str());
    ASSERT_NE(blockIndex, GL_INVALID_INDEX) << block;
    // An unsized array counts as one element.
    EXPECT_EQ(resourceValue(id, GL_SHADER_STORAGE_BLOCK, blockIndex, GL_BUFFER_DATA_SIZE), GLint(recordSize)) << block;

    for (const Member& member : members) {
        const std::string name = block + "." + arrayName + "[0]." + member.name;
        const GLuint index = glGetProgramResourceIndex(id, GL_BUFFER_VARIABLE, name.c_str());
        ASSERT_NE(index, GL_INVALID_INDEX) << name;
        EXPECT_EQ(resourceValue(id, GL_BUFFER_VARIABLE, index, GL_OFFSET), GLint(member.offset)) << name;
        EXPECT_EQ(resourceValue(id, GL_BUFFER_VARIABLE, index, GL_TYPE), GLint(member.type)) << name;
        EXPECT_EQ(resourceValue(id, GL_BUFFER_VARIABLE, index, GL_TOP_LEVEL_ARRAY_STRIDE), GLint(recordSize)) << name;
        if (member.type == GL_FLOAT_MAT4) {
            // `Matrix` is row-major, as the light buffer declares its matrices.
            EXPECT_EQ(resourceValue(id, GL_BUFFER_VARIABLE, index, GL_IS_ROW_MAJOR), 1) << name;
            EXPECT_EQ(resourceValue(id, GL_BUFFER_VARIABLE, index, GL_MATRIX_STRIDE), 16) << name;
        }
    }
}

class GpuRecordLayout : public GLTest {
protected:
    std::string oldBase = dataBasePath();

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    }
    void TearDown() override
    {
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }
};

} // namespace

TEST_F(GpuRecordLayout, LightingProgramReadsTheLightAndMaterialRecordsAsTheyAreWritten)
{
    ShaderProgram* lighting =
        shaderLoadProgram("shaders/basic_defered.vsh", "shaders/deferred/basic_multilight_defered.fsh", {});
    expectRecordLayout(lighting, "LightPropertiesBuffer", "light_properties", sizeof(LightProperties), kLightMembers);
    expectRecordLayout(lighting, "MaterialPropertiesDataBuffer", "material_properties", sizeof(MaterialPropertiesGPU),
                       kMaterialMembers);
    shaderDeleteProgram(lighting);
}

TEST_F(GpuRecordLayout, MaterialProgramReadsTheMaterialRecordsAsTheyAreWritten)
{
    MaterialManager::registerBuiltinRoots();
    std::unique_ptr<Material> flat(materialCreateFromRoot("flat"));
    ASSERT_TRUE(flat);
    expectRecordLayout(flat->getProgram(Renderer::PASS_DEFERRED), "MaterialPropertiesDataBuffer",
                       "material_properties", sizeof(MaterialPropertiesGPU), kMaterialMembers);
}
