#include "gl_context.h"

#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "tests/egl_context.h"

#include <glbinding/gl/gl.h>

using namespace gl;

bool glTestContextInit()
{
    return eglSurfacelessContextCurrent();
}

void GLTest::SetUp()
{
    ASSERT_TRUE(glTestContextInit()) << "no EGL surfaceless OpenGL 4.5 core context";
    while (glGetError() != GL_NO_ERROR) {
    }
    // The context lives for the whole binary: each test starts from GL's own defaults for the state the engine's
    // passes change, whatever the test before it left (a render state applied without a stack to restore it).
    gl::glDisable(gl::GL_CULL_FACE);
    gl::glCullFace(gl::GL_BACK);
    gl::glDisable(gl::GL_DEPTH_TEST);
    gl::glDepthFunc(gl::GL_LESS);
    gl::glDepthMask(gl::GL_TRUE);
    gl::glDisable(gl::GL_BLEND);
    gl::glDisable(gl::GL_STENCIL_TEST);
    gl::glDisable(gl::GL_SCISSOR_TEST);
    gl::glColorMask(gl::GL_TRUE, gl::GL_TRUE, gl::GL_TRUE, gl::GL_TRUE);
}

void GLTest::TearDown()
{
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    shaderUseProgram(nullptr);
    renderStateStack.clear();
    // The frame's texture pool lives as long as the engine; a test ends it while its context is current.
    txtDestroyCachedTextures();
}
