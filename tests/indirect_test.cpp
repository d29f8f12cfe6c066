#include "jni/engine/grd_indirect.h"

#include "app/data_files.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "shader_test_util.h"

#include <glbinding/gl/gl.h>

#include <cstring>
#include <vector>

using namespace gl;

namespace {

using Uints = std::vector<uint32_t>;

// The builders run the engine's own "shaders/materials/commons_indirect.glsl".
class IndirectCommands : public GLTest {
protected:
    std::string oldBase = dataBasePath();

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        geomIndirectProgramsRelease();
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 16));
    }
    void TearDown() override
    {
        geomIndirectProgramsRelease();
        constBufferRingShutdown();
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }

    static Uints read(const BufferObject* buffer, size_t count, size_t first = 0)
    {
        Uints values(count, 0xDEADBEEF);
        glGetNamedBufferSubData(buffer->glId, static_cast<GLintptr>(first * 4), static_cast<GLsizeiptr>(count * 4),
                                values.data());
        return values;
    }
    static void fill(BufferObject* buffer, const Uints& values)
    {
        glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(values.size() * 4), values.data());
    }
    static Geometry* geometryWithSurfaces(std::initializer_list<uint32_t> triangles)
    {
        Geometry* geometry = geomCreate(3, static_cast<uint32_t>(triangles.size()),
                                        {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS]});
        size_t i = 0;
        for (uint32_t count : triangles)
            geomSurfaceReserve(geometry->surfaces[i++], count);
        return geometry;
    }
};

} // namespace

TEST_F(IndirectCommands, OneCommandPerSurfaceWrittenOnce)
{
    Geometry* geometry = geometryWithSurfaces({2, 0, 5});
    geomCreateIndirectBuffer(geometry);
    ASSERT_NE(geometry->indirectBuffer, nullptr);
    EXPECT_EQ(geometry->indirectBuffer->size, GEOMETRY_INDIRECT_BUFFER_SIZE);
    const Uints all = read(geometry->indirectBuffer, GEOMETRY_INDIRECT_BUFFER_SIZE / 4);
    EXPECT_EQ(Uints(all.begin(), all.begin() + 15), (Uints{6, 1, 0, 0, 0, 0, 1, 0, 0, 0, 15, 1, 0, 0, 0}));
    EXPECT_EQ(Uints(all.begin() + 15, all.end()), Uints(all.size() - 15, 0));

    // The commands keep the counts of the first call.
    BufferObject* buffer = geometry->indirectBuffer;
    geomSurfaceReserve(geometry->surfaces[0], 4);
    geomCreateIndirectBuffer(geometry);
    EXPECT_EQ(geometry->indirectBuffer, buffer);
    EXPECT_EQ(read(buffer, 1)[0], 6u);
    geomDelete(geometry);
}

TEST_F(IndirectCommands, ElementsBuilderTurnsCountsIntoCommands)
{
    Geometry* geometry = geometryWithSurfaces({1, 1, 1});
    geomCreateIndirectBuffer(geometry);
    BufferObject* counts = boCreate("counts", 64);
    fill(counts, {7, 0, 0, 0, 9, 0, 0, 0, 11});
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(geomBuildDrawElementsIndirect(geometry->indirectBuffer, i, counts, 4 * i));
    EXPECT_EQ(read(geometry->indirectBuffer, 16), (Uints{21, 1, 0, 0, 0, 27, 1, 0, 0, 0, 33, 1, 0, 0, 0, 0}));
    EXPECT_EQ(shaderCurrentProgram, nullptr);
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0);

    // The command drives a real indirect draw: 33 indices of surface 2 become 11 triangles.
    shadertest::ColorTarget target;
    GLuint query = 0, vao = 0, indices = 0;
    glCreateQueries(GL_PRIMITIVES_GENERATED, 1, &query);
    glCreateVertexArrays(1, &vao);
    glCreateBuffers(1, &indices);
    glNamedBufferData(indices, 33 * 4, nullptr, GL_STATIC_DRAW);
    glVertexArrayElementBuffer(vao, indices);
    glBindVertexArray(vao);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, geometry->indirectBuffer->glId);
    glEnable(GL_RASTERIZER_DISCARD);
    ShaderProgram* program = shaderBuildProgramFromStrings(
        "discard", "#version 430\nvoid main() { gl_Position = vec4(0.0); }\n", "#version 430\nvoid main() {}\n", {});
    shaderUseProgram(program);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    glDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT, reinterpret_cast<const void*>(uintptr_t{2 * 20}));
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint primitives = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &primitives);
    EXPECT_EQ(primitives, 11u);
    glDisable(GL_RASTERIZER_DISCARD);
    glBindBuffer(GL_DRAW_INDIRECT_BUFFER, 0);
    glBindVertexArray(0);
    shaderDeleteProgram(program);
    glDeleteBuffers(1, &indices);
    glDeleteVertexArrays(1, &vao);
    glDeleteQueries(1, &query);
    boDelete(counts);
    geomDelete(geometry);
}

TEST_F(IndirectCommands, ArraysBuilderWritesCommandZero)
{
    BufferObject* commands = boCreate("commands", 32);
    fill(commands, Uints(8, 0xFFFFFFFF));
    BufferObject* source = boCreate("partition", 64);
    fill(source, {0, 0, 0, 0, 0, 4, 0, 0});
    const int n = 2;
    EXPECT_TRUE(geomBuildDrawArraysIndirect(commands, source, 4 * n - 3));
    EXPECT_EQ(read(commands, 8), (Uints{12, 1, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}));
    boDelete(commands);
    boDelete(source);
}

TEST_F(IndirectCommands, IndicesOutsideTheBuffersAreSafe)
{
    BufferObject* commands = boCreate("commands", 32);
    BufferObject* source = boCreate("counts", 32);
    fill(source, Uints(8, 5));
    struct Case {
        const char* label;
        int command;
        int sourceIndex;
        Uints expected;
    };
    const Case cases[] = {
        {"source past the end", 0, 1000, {0, 1, 0, 0, 0, 0xAA, 0xAA, 0xAA}},
        {"negative source", 0, -1, {0, 1, 0, 0, 0, 0xAA, 0xAA, 0xAA}},
        {"command past the end", 1, 0, Uints(8, 0xAA)},
        {"command that wraps", 1 << 30, 0, Uints(8, 0xAA)},
        {"negative command", -1, 0, Uints(8, 0xAA)},
    };
    for (const Case& c : cases) {
        fill(commands, Uints(8, 0xAA));
        EXPECT_TRUE(geomBuildDrawElementsIndirect(commands, c.command, source, c.sourceIndex)) << c.label;
        EXPECT_EQ(read(commands, 8), c.expected) << c.label;
    }
    EXPECT_FALSE(geomBuildDrawElementsIndirect(nullptr, 0, source, 0));
    EXPECT_FALSE(geomBuildDrawArraysIndirect(commands, nullptr, 0));
    boDelete(commands);
    boDelete(source);
}

TEST_F(IndirectCommands, BrokenSourceLeavesTheCommandsAlone)
{
    testutil::TempDir dir("indirect");
    testutil::writeFile(dir.path() / "shaders/materials/commons_indirect.glsl", "void main() { broken }\n");
    dataSetBasePath(dir.str());
    BufferObject* commands = boCreate("commands", 32);
    BufferObject* source = boCreate("counts", 32);
    fill(commands, Uints(8, 0xAA));
    fill(source, Uints(8, 5));
    EXPECT_FALSE(geomBuildDrawElementsIndirect(commands, 0, source, 0));
    EXPECT_FALSE(geomBuildDrawArraysIndirect(commands, source, 0));
    EXPECT_EQ(read(commands, 8), Uints(8, 0xAA));
    ASSERT_NE(geomIndirectPrograms[0], nullptr);
    EXPECT_NE(geomIndirectPrograms[0]->errors, 0u);
    EXPECT_NE(geomIndirectPrograms[1]->errors, 0u);
    geomIndirectProgramsRelease();
    boDelete(commands);
    boDelete(source);
}
