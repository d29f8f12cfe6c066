#include "jni/engine/grd_state.h"

#include "gl_context.h"

#include <atomic>
#include <glbinding/gl/gl.h>

using namespace gl;

namespace {

GLint getInt(GLenum e)
{
    GLint v = 0;
    glGetIntegerv(e, &v);
    return v;
}

bool enabled(GLenum e)
{
    return glIsEnabled(e) == GL_TRUE;
}

} // namespace

class RenderStateTest : public GLTest {};

TEST_F(RenderStateTest, EmptyStackTopIsTheDefault)
{
    EXPECT_EQ(renderStateTop(), RenderState{});
    EXPECT_EQ(renderStateTop().cullMode, 0);
    EXPECT_EQ(renderStateTop().depthFunc, 5);
}

TEST_F(RenderStateTest, ApplyMapsEveryField)
{
    RenderState s;
    s.cullMode = 1;
    s.depthFunc = 2;
    s.blendOp = 2;
    s.srcBlend = 2;
    s.dstBlend = 3;
    s.depthWrite = false;
    s.depthTest = true;
    s.stencilTest = true;
    s.stencilWrite = true;
    renderStateApply(s);
    EXPECT_TRUE(enabled(GL_CULL_FACE));
    EXPECT_EQ(getInt(GL_CULL_FACE_MODE), static_cast<GLint>(GL_BACK));
    EXPECT_EQ(getInt(GL_DEPTH_FUNC), static_cast<GLint>(GL_GREATER));
    EXPECT_TRUE(enabled(GL_BLEND));
    EXPECT_EQ(getInt(GL_BLEND_EQUATION_RGB), static_cast<GLint>(GL_FUNC_SUBTRACT));
    EXPECT_EQ(getInt(GL_BLEND_SRC_RGB), static_cast<GLint>(GL_SRC_COLOR));
    EXPECT_EQ(getInt(GL_BLEND_DST_RGB), static_cast<GLint>(GL_ONE_MINUS_SRC_COLOR));
    EXPECT_EQ(getInt(GL_BLEND_SRC_ALPHA), static_cast<GLint>(GL_ONE));
    EXPECT_EQ(getInt(GL_BLEND_DST_ALPHA), static_cast<GLint>(GL_ONE_MINUS_SRC_ALPHA));
    EXPECT_EQ(getInt(GL_DEPTH_WRITEMASK), 0);
    EXPECT_TRUE(enabled(GL_STENCIL_TEST));
    EXPECT_NE(getInt(GL_STENCIL_WRITEMASK), 0);

    // Out-of-table codes leave their piece of state alone while the rest applies.
    RenderState odd;
    odd.cullMode = 7;
    odd.depthFunc = 9;
    odd.blendOp = 6;
    odd.stencilWrite = false;
    renderStateApply(odd);
    EXPECT_EQ(getInt(GL_CULL_FACE_MODE), static_cast<GLint>(GL_BACK));
    EXPECT_EQ(getInt(GL_DEPTH_FUNC), static_cast<GLint>(GL_GREATER));
    EXPECT_EQ(getInt(GL_BLEND_EQUATION_RGB), static_cast<GLint>(GL_FUNC_SUBTRACT));
    EXPECT_EQ(getInt(GL_BLEND_SRC_RGB), static_cast<GLint>(GL_ONE));
    EXPECT_EQ(getInt(GL_STENCIL_WRITEMASK), 0);
    EXPECT_TRUE(enabled(GL_DEPTH_TEST));
}

TEST_F(RenderStateTest, PopReappliesTheOuterStateAndGuardsUnderflow)
{
    RenderState a;
    a.cullMode = 2;
    RenderState b;
    b.cullMode = 1;
    renderStatePush(a);
    renderStatePush(b);
    EXPECT_TRUE(enabled(GL_CULL_FACE));
    renderStatePop();
    EXPECT_FALSE(enabled(GL_CULL_FACE));
    renderStatePop(); // now empty: GL keeps A's state
    EXPECT_FALSE(enabled(GL_CULL_FACE));
    EXPECT_TRUE(renderStateStack.empty());
    renderStatePop(); // underflow is logged, not undefined
    EXPECT_TRUE(renderStateStack.empty());
}

TEST(AGL, MainThreadDeclinesAndOtherThreadsWaitForTheMainThread)
{
    struct Count : AGLCommand {
        std::atomic<int>* n;
        void Execute() override { ++*n; }
    };
    std::atomic<int> n{0};
    Count onMain;
    onMain.n = &n;
    EXPECT_FALSE(aglExecute(&onMain));
    EXPECT_EQ(n.load(), 0);

    Count fromWorker;
    fromWorker.n = &n;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        EXPECT_TRUE(aglExecute(&fromWorker));
        returned = true;
    });
    while (!returned) {
        aglProcessQueue();
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_EQ(n.load(), 1);
}
