// Shared pieces of the shader tests: a scratch asset folder and event log, a small colour target for full-screen
// draws, and log capture.
#pragma once

#include "app/data_files.h"
#include "editor/event_log.h"
#include "gl_context.h"
#include "jni/engine/grd_shader.h"
#include "project_test_util.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>

#include <array>
#include <cstdint>
#include <string>

namespace shadertest {

using projtest::LogCapture;

// Covers the target from gl_VertexID alone, so no vertex buffers are needed.
inline const char* const kFullscreenVertex = R"(#version 430
void main()
{
    vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

// The compile cache lives for the whole process: a text that must compile afresh carries a tag of its own.
inline std::string uniqueTag()
{
    static int counter = 0;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return "// " + std::string(test->test_suite_name()) + "." + test->name() + " " + std::to_string(++counter) + "\n";
}

// An RGBA8 colour target with an empty vertex array, bound while it lives.
class ColorTarget {
public:
    static constexpr int kSize = 8;
    ColorTarget()
    {
        using namespace gl;
        glCreateTextures(GL_TEXTURE_2D, 1, &texture_);
        glTextureStorage2D(texture_, 1, GL_RGBA8, kSize, kSize);
        glCreateFramebuffers(1, &framebuffer_);
        glNamedFramebufferTexture(framebuffer_, GL_COLOR_ATTACHMENT0, texture_, 0);
        glCreateVertexArrays(1, &vao_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        glViewport(0, 0, kSize, kSize);
        glBindVertexArray(vao_);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    ~ColorTarget()
    {
        using namespace gl;
        glBindVertexArray(0);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteVertexArrays(1, &vao_);
        glDeleteFramebuffers(1, &framebuffer_);
        glDeleteTextures(1, &texture_);
    }
    ColorTarget(const ColorTarget&) = delete;
    ColorTarget& operator=(const ColorTarget&) = delete;

    // One full-screen triangle with whatever program is bound; the centre pixel afterwards.
    std::array<uint8_t, 4> draw()
    {
        using namespace gl;
        glClear(GL_COLOR_BUFFER_BIT);
        glDrawArrays(GL_TRIANGLES, 0, 3);
        std::array<uint8_t, 4> pixel{};
        glReadPixels(kSize / 2, kSize / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel.data());
        return pixel;
    }

private:
    gl::GLuint texture_ = 0;
    gl::GLuint framebuffer_ = 0;
    gl::GLuint vao_ = 0;
};

// GL tests with their own asset folder and event log; programs made through keep() are deleted afterwards.
class ShaderGLTest : public GLTest {
protected:
    testutil::TempDir dir{"shader"};
    testutil::OwnWatchList watches;
    std::string oldBase = dataBasePath();
    EventLog events;
    EventLog* oldEvents = uiEventLog;
    std::vector<ShaderProgram*> programs;

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(dir.str());
        uiEventLog = &events;
        ui_event_log_connect();
    }
    void TearDown() override
    {
        for (ShaderProgram* program : programs)
            shaderDeleteProgram(program);
        shaderUseProgram(nullptr);
        dataSetBasePath(oldBase);
        uiEventLog = oldEvents;
        GLTest::TearDown();
    }

    void write(const std::string& name, const std::string& text) { testutil::writeFile(dir.path() / name, text); }
    ShaderProgram* keep(ShaderProgram* program)
    {
        programs.push_back(program);
        return program;
    }
    ShaderProgram* fromStrings(const std::string& fragment, const ShaderDefines& defines = {})
    {
        return keep(shaderBuildProgramFromStrings("test", kFullscreenVertex, fragment, defines));
    }
};

} // namespace shadertest
