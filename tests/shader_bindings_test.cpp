#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_texture.h"
#include "shader_test_util.h"

#include <glbinding/gl/gl.h>

#include <cstring>
#include <string>
#include <vector>

using namespace gl;
using shadertest::ColorTarget;
using shadertest::LogCapture;
using shadertest::uniqueTag;

namespace {

class ShaderBindings : public shadertest::ShaderGLTest {
protected:
    void SetUp() override
    {
        ShaderGLTest::SetUp();
        // A small ring: the tests look at offsets, not at room.
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 16));
        constBufferRingAdvance();
    }
    void TearDown() override
    {
        constBufferRingShutdown();
        ShaderGLTest::TearDown();
    }

    ShaderProgram* compute(const std::string& body)
    {
        write("compute.glsl", uniqueTag() + "layout(local_size_x = 1) in;\n" + body);
        ShaderProgram* program = keep(shaderLoadProgramCompute("compute.glsl", {}));
        EXPECT_EQ(program->errors, 0u);
        return program;
    }

    static GLuint storageBinding(const ShaderProgram* program, const char* block, GLenum what = GL_SHADER_STORAGE_BUFFER_BINDING)
    {
        GLint64 value = -1;
        glGetInteger64i_v(what, program->storageBlocks.at(block)->binding, &value);
        return static_cast<GLuint>(value);
    }
};

const char* const kOneBlock = "layout(std430) buffer Params { uint values[]; };\nvoid main() { values[0] += 1u; }\n";

GLuint makeTexture(GLenum target, GLenum format, int width, int height, int depth)
{
    GLuint texture = 0;
    glCreateTextures(target, 1, &texture);
    if (target == GL_TEXTURE_2D)
        glTextureStorage2D(texture, 1, format, width, height);
    else
        glTextureStorage3D(texture, 1, format, width, height, depth);
    return texture;
}

} // namespace

TEST_F(ShaderBindings, HostDataLandsAt256ByteSteps)
{
    ShaderProgram* program = compute(kOneBlock);
    std::vector<uint8_t> small(16, 0x11), large(300, 0x22), next(8, 0x33);
    std::vector<GLint64> starts;
    for (const auto* data : {&small, &large, &next}) {
        BufferBindings bindings;
        shaderBindingsAddData(bindings, "Params", data->data(), static_cast<uint32_t>(data->size()));
        EXPECT_TRUE(shaderBindBuffers(program, bindings));
        starts.push_back(storageBinding(program, "Params", GL_SHADER_STORAGE_BUFFER_START));
        EXPECT_EQ(storageBinding(program, "Params"), constBufferRingCurrent()->glId);
        EXPECT_EQ(static_cast<size_t>(storageBinding(program, "Params", GL_SHADER_STORAGE_BUFFER_SIZE)), data->size());
    }
    EXPECT_EQ(starts, (std::vector<GLint64>{0, 256, 768}));
    uint8_t stored[3] = {};
    const GLuint ring = constBufferRingCurrent()->glId;
    glGetNamedBufferSubData(ring, 0, 1, &stored[0]);
    glGetNamedBufferSubData(ring, 256 + 299, 1, &stored[1]);
    glGetNamedBufferSubData(ring, 768, 1, &stored[2]);
    EXPECT_EQ(stored[0], 0x11);
    EXPECT_EQ(stored[1], 0x22);
    EXPECT_EQ(stored[2], 0x33);
}

TEST_F(ShaderBindings, MissingEntriesLeaveTheirBlocksAlone)
{
    ShaderProgram* program = compute(R"(layout(std430) buffer Present { uint present[]; };
layout(std430) buffer Absent { uint absent[]; };
layout(std140) uniform Settings { vec4 settings; };
void main() { present[0] = absent[0] + uint(settings.x); }
)");
    BufferObject* present = boCreate("present", 64);
    BufferObject* earlier = boCreate("earlier", 64);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, program->storageBlocks.at("Absent")->binding, earlier->glId);

    BufferBindings bindings;
    shaderBindingsAddBuffer(bindings, "Present", present);
    const float settings[4] = {1, 2, 3, 4};
    shaderBindingsAddData(bindings, "Settings", settings, sizeof(settings));
    EXPECT_FALSE(shaderBindBuffers(program, bindings));
    EXPECT_EQ(storageBinding(program, "Present"), present->glId);
    EXPECT_EQ(storageBinding(program, "Absent"), earlier->glId);
    GLint uniformBuffer = 0;
    glGetIntegeri_v(GL_UNIFORM_BUFFER_BINDING, program->uniformBlocks.at("Settings")->binding, &uniformBuffer);
    EXPECT_EQ(static_cast<GLuint>(uniformBuffer), constBufferRingCurrent()->glId);

    // A null buffer entry is not bound either.
    shaderBindingsAddBuffer(bindings, "Absent", nullptr);
    EXPECT_FALSE(shaderBindBuffers(program, bindings));
    EXPECT_EQ(storageBinding(program, "Absent"), earlier->glId);
    boDelete(present);
    boDelete(earlier);
}

// Regression: an empty host-data entry reached glBindBufferRange, and the ring could be written past its end.
TEST_F(ShaderBindings, EmptyOrOverflowingHostDataIsRefused)
{
    ShaderProgram* program = compute(kOneBlock);
    BufferObject* earlier = boCreate("earlier", 64);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, program->storageBlocks.at("Params")->binding, earlier->glId);
    LogCapture log;
    const uint8_t byte = 1;
    BufferBindings empty;
    shaderBindingsAddData(empty, "Params", &byte, 0);
    EXPECT_FALSE(shaderBindBuffers(program, empty));
    EXPECT_EQ(storageBinding(program, "Params"), earlier->glId);
    EXPECT_TRUE(log.contains("Empty parameter block"));
    EXPECT_EQ(constBufferRing.offset, 0u);

    constBufferRingShutdown();
    ASSERT_TRUE(constBufferRingInit(4096));
    std::vector<uint8_t> block(3000, 7);
    BufferBindings large;
    shaderBindingsAddData(large, "Params", block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_TRUE(shaderBindBuffers(program, large));
    EXPECT_EQ(constBufferRing.offset, 3072u);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, program->storageBlocks.at("Params")->binding, earlier->glId);
    EXPECT_FALSE(shaderBindBuffers(program, large));
    EXPECT_TRUE(log.contains("Constant buffer 0 full"));
    EXPECT_EQ(storageBinding(program, "Params"), earlier->glId);
    EXPECT_EQ(constBufferRing.offset, 3072u);
    boDelete(earlier);
}

TEST_F(ShaderBindings, StandardNames)
{
    BufferObject* buffers[3] = {boCreate("a", 32), boCreate("b", 32), boCreate("c", 32)};
    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    shaderBindingsAddModifiers(bindings, {buffers[0], nullptr, buffers[2]});
    ASSERT_EQ(bindings.size(), 2u);
    EXPECT_EQ(bindings.at("VM0").data, buffers[0]);
    EXPECT_EQ(bindings.at("VM2").data, buffers[2]);
    EXPECT_TRUE(bindings.at("VM2").isBufferObject);

    shaderBindingsCreate(bindings);
    EXPECT_TRUE(bindings.empty());
    shaderBindingsAddParticles(bindings, buffers[0], buffers[1], buffers[2]);
    EXPECT_EQ(bindings.at("ParticlePositionsData").data, buffers[0]);
    EXPECT_EQ(bindings.at("ParticleStatesData").data, buffers[1]);
    EXPECT_EQ(bindings.at("ParticlePrefixSumData").data, buffers[2]);

    Geometry* quad = geomCreateQuad(1.0f, 1.0f);
    shaderBindingsCreate(bindings);
    shaderBindingsAddGeometry(bindings, quad);
    shaderBindingsAddGeometryPrefixed(bindings, quad, "Source");
    EXPECT_EQ(bindings.at("VTXCoords").data, quad->FindAttributeBuffer("VTXCoords"));
    EXPECT_EQ(bindings.at("VTXUV0").data, quad->FindAttributeBuffer("VTXUV0"));
    EXPECT_EQ(bindings.at("SourceVTXUV0").data, quad->FindAttributeBuffer("VTXUV0"));
    EXPECT_EQ(bindings.size(), 4u);
    geomDelete(quad);
    for (BufferObject* buffer : buffers)
        boDelete(buffer);
}

TEST_F(ShaderBindings, SamplerCache)
{
    struct Row {
        int type;
        GLenum minFilter, magFilter, wrap;
        float anisotropy;
    };
    const Row rows[] = {
        {1, GL_LINEAR, GL_LINEAR, GL_REPEAT, 1},
        {2, GL_NEAREST, GL_NEAREST, GL_REPEAT, 1},
        {3, GL_LINEAR, GL_LINEAR, GL_CLAMP_TO_EDGE, 1},
        {4, GL_NEAREST, GL_NEAREST, GL_CLAMP_TO_EDGE, 1},
        {5, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_CLAMP_TO_EDGE, 4},
        {6, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_REPEAT, 4},
        {7, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_CLAMP_TO_BORDER, 4},
        {8, GL_NEAREST_MIPMAP_NEAREST, GL_NEAREST, GL_CLAMP_TO_BORDER, 1},
    };
    for (const Row& row : rows) {
        const GLuint sampler = shaderGetSampler(row.type);
        ASSERT_NE(sampler, 0u) << row.type;
        EXPECT_EQ(shaderGetSampler(row.type), sampler);
        auto parameter = [&](GLenum name) {
            GLint value = 0;
            glGetSamplerParameteriv(sampler, name, &value);
            return static_cast<GLenum>(value);
        };
        EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), row.minFilter) << row.type;
        EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), row.magFilter) << row.type;
        for (GLenum wrap : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R})
            EXPECT_EQ(parameter(wrap), row.wrap) << row.type;
        float anisotropy = 0;
        glGetSamplerParameterfv(sampler, GL_TEXTURE_MAX_ANISOTROPY_EXT, &anisotropy);
        EXPECT_FLOAT_EQ(anisotropy, row.anisotropy) << row.type;
    }
    for (int type : {0, -1, 9, 100})
        EXPECT_EQ(shaderGetSampler(type), 0u) << type;
}

// A full-screen draw whose colour is a host-data block times a bound texture.
TEST_F(ShaderBindings, HostDataAndTextureReachTheDraw)
{
    ShaderProgram* program = fromStrings(uniqueTag() + R"(#version 430
layout(std140) uniform DrawParams { vec4 scale; };
uniform sampler2D source;
out vec4 color;
void main() { color = scale * texture(source, vec2(0.4, 0.5)); }
)");
    ASSERT_EQ(program->errors, 0u);
    // Two texels; the default filtering would blend them, the nearest sampler picks the left one.
    const GLuint texture = makeTexture(GL_TEXTURE_2D, GL_RGBA8, 2, 1, 1);
    const uint8_t texels[8] = {255, 128, 255, 255, 0, 0, 0, 255};
    glTextureSubImage2D(texture, 0, 0, 0, 2, 1, GL_RGBA, GL_UNSIGNED_BYTE, texels);

    ColorTarget target;
    shaderUseProgram(program);
    const float scale[4] = {1.0f, 1.0f, 0.0f, 1.0f};
    BufferBindings buffers;
    shaderBindingsAddData(buffers, "DrawParams", scale, sizeof(scale));
    TextureBindings textures;
    textures["source"] = TextureBinding{IMAGE_TYPE_RGBA8, 0, texture, SAMPLER_NEAREST_CLAMP};
    EXPECT_TRUE(shaderBindBuffers(program, buffers));
    EXPECT_TRUE(shaderBindTextures(program, textures));
    EXPECT_EQ(target.draw(), (std::array<uint8_t, 4>{255, 128, 0, 255}));
    GLint bound = 0;
    glGetIntegeri_v(GL_SAMPLER_BINDING, 0, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), shaderGetSampler(SAMPLER_NEAREST_CLAMP));

    // Sampler type 0 binds sampler 0, so the texture's own (linear) filtering applies.
    textures["source"].samplerType = 0;
    EXPECT_TRUE(shaderBindTextures(program, textures));
    glGetIntegeri_v(GL_SAMPLER_BINDING, 0, &bound);
    EXPECT_EQ(bound, 0);
    EXPECT_FALSE(shaderBindTextures(program, {}));
    glDeleteTextures(1, &texture);
}

// Regression: volumes and arrays bound as one layer took the shader's writes in a single slice.
TEST_F(ShaderBindings, ImagesBindWithTheirFormatAndLayers)
{
    struct Case {
        const char* label;
        const char* declaration;
        const char* store;
        GLenum target;
        int layers;
        GLint layered;
    };
    const Case cases[] = {
        {"2D", "image2D", "imageStore(target, ivec2(0), vec4(1.0));", GL_TEXTURE_2D, 1, 0},
        {"3D", "image3D", "for (int z = 0; z < 4; ++z) imageStore(target, ivec3(0, 0, z), vec4(float(z + 1)));",
         GL_TEXTURE_3D, 4, 1},
        {"2D array", "image2DArray",
         "for (int z = 0; z < 4; ++z) imageStore(target, ivec3(0, 0, z), vec4(float(z + 1)));", GL_TEXTURE_2D_ARRAY, 4,
         1},
    };
    for (const Case& c : cases) {
        ShaderProgram* program = compute(std::string("layout(r32f) uniform ") + c.declaration + " target;\n" +
                                         "void main() { " + c.store + " }\n");
        const GLuint texture = makeTexture(c.target, GL_R32F, 1, 1, c.layers);
        TextureBindings textures;
        textures["target"] = TextureBinding{IMAGE_TYPE_R32F, 0, texture, 0};
        shaderUseProgram(program);
        EXPECT_TRUE(shaderBindTextures(program, textures)) << c.label;
        GLint format = 0, access = 0, layered = -1;
        glGetIntegeri_v(GL_IMAGE_BINDING_FORMAT, 0, &format);
        glGetIntegeri_v(GL_IMAGE_BINDING_ACCESS, 0, &access);
        glGetIntegeri_v(GL_IMAGE_BINDING_LAYERED, 0, &layered);
        EXPECT_EQ(static_cast<GLenum>(format), GL_R32F) << c.label;
        EXPECT_EQ(static_cast<GLenum>(access), GL_READ_WRITE) << c.label;
        EXPECT_EQ(layered, c.layered) << c.label;

        glDispatchCompute(1, 1, 1);
        glMemoryBarrier(GL_TEXTURE_UPDATE_BARRIER_BIT);
        std::vector<float> slices(static_cast<size_t>(c.layers), 0.0f);
        glGetTextureImage(texture, 0, GL_RED, GL_FLOAT, static_cast<GLsizei>(slices.size() * 4), slices.data());
        for (int z = 0; z < c.layers; ++z)
            EXPECT_FLOAT_EQ(slices[static_cast<size_t>(z)], static_cast<float>(z + 1)) << c.label << " slice " << z;
        glDeleteTextures(1, &texture);
    }
}

TEST_F(ShaderBindings, UnboundTexturesReportFalse)
{
    ShaderProgram* program = compute("layout(r32f) uniform image2D first;\nlayout(r32f) uniform image2D second;\n"
                                     "void main() { imageStore(first, ivec2(0), imageLoad(second, ivec2(0))); }\n");
    const GLuint texture = makeTexture(GL_TEXTURE_2D, GL_R32F, 1, 1, 1);
    TextureBindings textures;
    textures["first"] = TextureBinding{IMAGE_TYPE_R32F, 0, texture, 0};
    EXPECT_FALSE(shaderBindTextures(program, textures));
    textures["second"] = textures["first"];
    EXPECT_TRUE(shaderBindTextures(program, textures));
    EXPECT_FALSE(shaderBindTextures(nullptr, textures));
    EXPECT_FALSE(shaderBindBuffers(nullptr, {}));
    glDeleteTextures(1, &texture);
}
