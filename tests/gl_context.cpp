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
}

void GLTest::TearDown()
{
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    shaderUseProgram(nullptr);
    renderStateStack.clear();
    // The frame's texture pool lives as long as the engine; a test ends it while its context is current.
    txtDestroyCachedTextures();
}
