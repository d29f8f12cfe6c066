#include "jni/engine/grd_state.h"

#include "app/log.h"

#include <condition_variable>
#include <glbinding/gl/gl.h>

using namespace gl;

// Taken during static initialisation, which runs on the main thread.
const std::thread::id aglMainThreadId = std::this_thread::get_id();
std::recursive_mutex glResourceMutex;
std::deque<RenderState> renderStateStack;

namespace {

std::deque<AGLCommand*> aglCommandQueue;
std::mutex aglQueueMutex;
std::condition_variable aglQueueCondition;

GLenum blendFactor(int code)
{
    switch (code) {
    case 0: return GL_ZERO;
    case 2: return GL_SRC_COLOR;
    case 3: return GL_ONE_MINUS_SRC_COLOR;
    default: return GL_ONE;
    }
}

} // namespace

bool aglIsMainThread()
{
    return std::this_thread::get_id() == aglMainThreadId;
}

void aglAssertMainThreadImpl(const char* file, int line)
{
    if (!aglIsMainThread())
        LOG_ERROR("Executing command from child thread:<%s:%d>\n", file, line);
}

bool aglExecute(AGLCommand* command)
{
    if (aglIsMainThread())
        return false;
    std::unique_lock<std::mutex> lock(aglQueueMutex);
    aglCommandQueue.push_back(command);
    aglQueueCondition.wait(lock, [command] { return command->done; });
    return true;
}

void aglProcessQueue()
{
    std::deque<AGLCommand*> pending;
    {
        std::lock_guard<std::mutex> lock(aglQueueMutex);
        pending.swap(aglCommandQueue);
    }
    if (pending.empty())
        return;
    for (AGLCommand* command : pending)
        command->Execute();
    {
        std::lock_guard<std::mutex> lock(aglQueueMutex);
        for (AGLCommand* command : pending)
            command->done = true;
    }
    aglQueueCondition.notify_all();
}

const RenderState& renderStateDefault()
{
    static const RenderState state{};
    return state;
}

void renderStateApply(const RenderState& state)
{
    switch (state.cullMode) {
    case 0: glEnable(GL_CULL_FACE); glCullFace(GL_FRONT); break;
    case 1: glEnable(GL_CULL_FACE); glCullFace(GL_BACK); break;
    case 2: glDisable(GL_CULL_FACE); break;
    default: break;
    }

    static const GLenum depthFuncs[] = {GL_ALWAYS, GL_ALWAYS, GL_GREATER, GL_LESS, GL_GEQUAL, GL_LEQUAL, GL_EQUAL};
    if (state.depthFunc >= 0 && state.depthFunc <= 6)
        glDepthFunc(depthFuncs[state.depthFunc]);

    state.depthTest ? glEnable(GL_DEPTH_TEST) : glDisable(GL_DEPTH_TEST);
    state.stencilTest ? glEnable(GL_STENCIL_TEST) : glDisable(GL_STENCIL_TEST);
    // Only drivers that have the extension know the enum; elsewhere enabling it is an error.
    static const bool hasConservative = [] {
        GLint count = 0;
        glGetIntegerv(GL_NUM_EXTENSIONS, &count);
        for (GLint i = 0; i < count; ++i) {
            const auto* name = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, static_cast<GLuint>(i)));
            if (name && std::string_view(name) == "GL_NV_conservative_raster")
                return true;
        }
        return false;
    }();
    if (hasConservative)
        state.conservativeRaster ? glEnable(GL_CONSERVATIVE_RASTERIZATION_NV) : glDisable(GL_CONSERVATIVE_RASTERIZATION_NV);

    if (state.blendOp == 0) {
        glDisable(GL_BLEND);
    } else {
        glEnable(GL_BLEND);
        static const GLenum ops[] = {GL_FUNC_ADD, GL_FUNC_SUBTRACT, GL_FUNC_REVERSE_SUBTRACT, GL_MIN, GL_MAX};
        if (state.blendOp >= 1 && state.blendOp <= 5)
            glBlendEquationSeparate(ops[state.blendOp - 1], ops[state.blendOp - 1]);
        glBlendFuncSeparate(blendFactor(state.srcBlend), blendFactor(state.dstBlend), GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    }

    glDepthMask(state.depthWrite ? GL_TRUE : GL_FALSE);
    glStencilMask(state.stencilWrite ? 0xFFFFFFFFu : 0u);
}

const RenderState& renderStateTop()
{
    return renderStateStack.empty() ? renderStateDefault() : renderStateStack.back();
}

void renderStatePush(const RenderState& state)
{
    renderStateStack.push_back(state);
    renderStateApply(state);
}

void renderStatePop()
{
    if (renderStateStack.empty()) {
        LOG_WARNING("renderStatePop: the render-state stack is already empty");
        return;
    }
    renderStateStack.pop_back();
    if (!renderStateStack.empty())
        renderStateApply(renderStateStack.back());
}
