#include "tests/egl_context.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <glbinding/Binding.h>
#include <glbinding/gl/gl.h>

using namespace gl;

namespace {

bool createContext()
{
    auto getPlatformDisplay =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!getPlatformDisplay)
        return false;
    EGLDisplay display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, nullptr, nullptr))
        return false;
    if (!eglBindAPI(EGL_OPENGL_API))
        return false;
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    eglChooseConfig(display, configAttributes, &config, 1, &count);
    const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                                        EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                        EGL_CONTEXT_OPENGL_DEBUG, EGL_TRUE, EGL_NONE};
    EGLContext context = eglCreateContext(display, count > 0 ? config : nullptr, EGL_NO_CONTEXT, contextAttributes);
    if (context == EGL_NO_CONTEXT)
        return false;
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context))
        return false;
    // glbinding resolves through libGL's dispatch, which serves the EGL context too.
    glbinding::Binding::initialize(false);
    // Tightly packed images, as the engine's own GL set-up has them.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    return true;
}

} // namespace

bool eglSurfacelessContextCurrent()
{
    static const bool ok = createContext();
    return ok;
}
