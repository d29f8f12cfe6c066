#include "jni/engine/grd_state.h"

#include "gl_context.h"

#include <atomic>
#include <limits>
#include <vector>
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

// One field of the default state changed per case, read back from GL. Before each case every value it expects is
// made false in GL, so a code that sets nothing (or the neighbouring enum) fails.
TEST_F(RenderStateTest, EveryCodeReadsBackAsItsGLEnum)
{
    struct Expect {
        GLenum query; // a glGetIntegerv name, or a capability when `capability` is set
        GLint value;
        bool capability = false;
    };
    struct Case {
        const char* what;
        void (*change)(RenderState&);
        std::vector<Expect> expect;
    };
    const auto on = [](GLenum cap) { return Expect{cap, 1, true}; };
    const auto off = [](GLenum cap) { return Expect{cap, 0, true}; };
    const auto is = [](GLenum query, GLenum value) { return Expect{query, static_cast<GLint>(value)}; };
    const auto blend = [&](GLenum equation, GLenum src, GLenum dst) {
        return std::vector<Expect>{on(GL_BLEND),
                                   is(GL_BLEND_EQUATION_RGB, equation),
                                   is(GL_BLEND_EQUATION_ALPHA, equation),
                                   is(GL_BLEND_SRC_RGB, src),
                                   is(GL_BLEND_DST_RGB, dst),
                                   is(GL_BLEND_SRC_ALPHA, GL_ONE),
                                   is(GL_BLEND_DST_ALPHA, GL_ONE_MINUS_SRC_ALPHA)};
    };
    const Case cases[] = {
        {"default", [](RenderState&) {},
         {on(GL_CULL_FACE), is(GL_CULL_FACE_MODE, GL_FRONT), on(GL_DEPTH_TEST), is(GL_DEPTH_FUNC, GL_LEQUAL),
          Expect{GL_DEPTH_WRITEMASK, 1}, off(GL_BLEND), off(GL_STENCIL_TEST), Expect{GL_STENCIL_WRITEMASK, 0}}},
        {"cull back", [](RenderState& s) { s.cullMode = 1; }, {on(GL_CULL_FACE), is(GL_CULL_FACE_MODE, GL_BACK)}},
        {"no culling", [](RenderState& s) { s.cullMode = 2; }, {off(GL_CULL_FACE)}},
        {"depth 0 always", [](RenderState& s) { s.depthFunc = 0; }, {is(GL_DEPTH_FUNC, GL_ALWAYS)}},
        {"depth 1 always", [](RenderState& s) { s.depthFunc = 1; }, {is(GL_DEPTH_FUNC, GL_ALWAYS)}},
        {"depth 2 greater", [](RenderState& s) { s.depthFunc = 2; }, {is(GL_DEPTH_FUNC, GL_GREATER)}},
        {"depth 3 less", [](RenderState& s) { s.depthFunc = 3; }, {is(GL_DEPTH_FUNC, GL_LESS)}},
        {"depth 4 gequal", [](RenderState& s) { s.depthFunc = 4; }, {is(GL_DEPTH_FUNC, GL_GEQUAL)}},
        {"depth 5 lequal", [](RenderState& s) { s.depthFunc = 5; }, {is(GL_DEPTH_FUNC, GL_LEQUAL)}},
        {"depth 6 equal", [](RenderState& s) { s.depthFunc = 6; }, {is(GL_DEPTH_FUNC, GL_EQUAL)}},
        {"no depth test", [](RenderState& s) { s.depthTest = false; }, {off(GL_DEPTH_TEST)}},
        {"no depth write", [](RenderState& s) { s.depthWrite = false; }, {Expect{GL_DEPTH_WRITEMASK, 0}}},
        {"stencil test and write", [](RenderState& s) { s.stencilTest = s.stencilWrite = true; },
         // An all-ones mask reads back clamped to the largest GLint.
         {on(GL_STENCIL_TEST), Expect{GL_STENCIL_WRITEMASK, std::numeric_limits<GLint>::max()},
          Expect{GL_STENCIL_BACK_WRITEMASK, std::numeric_limits<GLint>::max()}}},
        {"add one one", [](RenderState& s) { s.blendOp = 1; }, blend(GL_FUNC_ADD, GL_ONE, GL_ONE)},
        {"subtract", [](RenderState& s) { s.blendOp = 2; }, blend(GL_FUNC_SUBTRACT, GL_ONE, GL_ONE)},
        {"reverse subtract", [](RenderState& s) { s.blendOp = 3; }, blend(GL_FUNC_REVERSE_SUBTRACT, GL_ONE, GL_ONE)},
        {"min", [](RenderState& s) { s.blendOp = 4; }, blend(GL_MIN, GL_ONE, GL_ONE)},
        {"max", [](RenderState& s) { s.blendOp = 5; }, blend(GL_MAX, GL_ONE, GL_ONE)},
        {"zero, one minus src colour",
         [](RenderState& s) {
             s.blendOp = 1;
             s.srcBlend = 0;
             s.dstBlend = 3;
         },
         blend(GL_FUNC_ADD, GL_ZERO, GL_ONE_MINUS_SRC_COLOR)},
        {"src colour, zero",
         [](RenderState& s) {
             s.blendOp = 1;
             s.srcBlend = 2;
             s.dstBlend = 0;
         },
         blend(GL_FUNC_ADD, GL_SRC_COLOR, GL_ZERO)},
    };

    const auto contradict = [](const Expect& e) {
        if (e.capability) {
            e.value ? glDisable(e.query) : glEnable(e.query);
            return;
        }
        switch (e.query) {
        case GL_DEPTH_FUNC: glDepthFunc(GL_NEVER); break;
        case GL_CULL_FACE_MODE: glCullFace(GL_FRONT_AND_BACK); break;
        case GL_DEPTH_WRITEMASK: glDepthMask(e.value ? GL_FALSE : GL_TRUE); break;
        case GL_STENCIL_WRITEMASK:
        case GL_STENCIL_BACK_WRITEMASK: glStencilMask(e.value ? 0x0Fu : 0xF0u); break;
        case GL_BLEND_EQUATION_RGB:
        case GL_BLEND_EQUATION_ALPHA:
            glBlendEquation(e.value == static_cast<GLint>(GL_MIN) ? GL_MAX : GL_MIN);
            break;
        default: // the blend factors
            glBlendFunc(GL_CONSTANT_COLOR, GL_CONSTANT_ALPHA);
            break;
        }
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RenderState state;
        c.change(state);
        for (const Expect& e : c.expect)
            contradict(e);
        renderStateApply(state);
        for (const Expect& e : c.expect) {
            if (e.capability)
                EXPECT_EQ(enabled(e.query), e.value != 0) << "capability 0x" << std::hex << static_cast<int>(e.query);
            else
                EXPECT_EQ(getInt(e.query), e.value) << "query 0x" << std::hex << static_cast<int>(e.query);
        }
    }
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
