#include "jni/engine/grd_framebuffer.h"

#include "gl_context.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "test_helpers.h"

#include <array>
#include <atomic>
#include <functional>
#include <glbinding/gl/gl.h>
#include <thread>
#include <vector>

using namespace gl;

using testutil::captureLog;

namespace {

std::array<GLint, 4> viewport()
{
    std::array<GLint, 4> v{};
    glGetIntegerv(GL_VIEWPORT, v.data());
    return v;
}

GLint getInt(GLenum name)
{
    GLint value = -1;
    glGetIntegerv(name, &value);
    return value;
}

GLint attachmentParameter(const Framebuffer* fb, GLenum point, GLenum name)
{
    GLint value = -1;
    glGetNamedFramebufferAttachmentParameteriv(fb->glId, point, name, &value);
    return value;
}

std::string label(GLuint framebuffer)
{
    char text[256] = {};
    GLsizei length = 0;
    glGetObjectLabel(GL_FRAMEBUFFER, framebuffer, sizeof(text), &length, text);
    return std::string(text, length);
}

} // namespace

// Every test starts with the default framebuffer current and an empty stack, and frees what it made.
class FramebufferTest : public GLTest {
protected:
    int savedWidth = screenWidth;
    int savedHeight = screenHeight;

    void SetUp() override
    {
        GLTest::SetUp();
        fbCurrent = nullptr;
        fbStackTop = 0;
        screenWidth = 1920;
        screenHeight = 1080;
    }
    void TearDown() override
    {
        for (Framebuffer* fb : framebuffers)
            fbDestroy(fb);
        for (Texture* texture : textures)
            txtDestroy(texture);
        fbCurrent = nullptr;
        fbStackTop = 0;
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        screenWidth = savedWidth;
        screenHeight = savedHeight;
        GLTest::TearDown();
    }
    Framebuffer* make(const char* name)
    {
        framebuffers.push_back(fbCreate(name));
        return framebuffers.back();
    }
    Texture* texture(TextureType type, int32_t width, int32_t height, ImageType imageType, int32_t levels = 1)
    {
        Texture* t = txtCreate(type, width, height, imageType);
        t->images[0]->levelCount = levels;
        textures.push_back(t);
        return t;
    }
    std::vector<Framebuffer*> framebuffers;
    std::vector<Texture*> textures;
};

TEST_F(FramebufferTest, CreationLabelsAndStartsDirty)
{
    Framebuffer* named = make("gbuffer");
    EXPECT_EQ(named->name, "gbuffer");
    EXPECT_TRUE(named->dirty);
    EXPECT_EQ(named->width, 0);
    EXPECT_TRUE(glIsFramebuffer(named->glId));
    EXPECT_EQ(label(named->glId), "gbuffer");
    for (const FramebufferAttachment& slot : named->slots)
        EXPECT_EQ(slot.texture, nullptr);
    EXPECT_EQ(make(nullptr)->name, "Unnamed");
    EXPECT_EQ(label(make("")->glId), "Unnamed");
}

TEST_F(FramebufferTest, SizeIsTheSmallestAttachmentAtItsLevel)
{
    // Storage for the whole chain without generating it: the colour target is drawn at level 1.
    Texture* color = texture(TEXTURE_TYPE_2D, 1920, 1080, IMAGE_TYPE_R8, 2);
    Texture* depth = texture(TEXTURE_TYPE_2D, 1920, 1080, IMAGE_TYPE_DEPTH32F);
    Framebuffer* fb = make("half");
    EXPECT_EQ(fbAttach(fb, FB_ATTACHMENT_COLOR0, color), 1);
    fb->slots[FB_ATTACHMENT_COLOR0].mipLevel = 1;
    EXPECT_EQ(fbAttach(fb, FB_ATTACHMENT_DEPTH, depth), 1);
    EXPECT_EQ(color->images[0]->levels[0], nullptr) << "attaching uploads and drops the CPU pixels";

    EXPECT_TRUE(fbBind(fb));
    EXPECT_EQ(fbCurrent, fb);
    EXPECT_FALSE(fb->dirty);
    EXPECT_EQ(fb->width, 960);
    EXPECT_EQ(fb->height, 540);
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 960, 540}));
    EXPECT_EQ(static_cast<GLuint>(getInt(GL_DRAW_FRAMEBUFFER_BINDING)), fb->glId);
    EXPECT_EQ(attachmentParameter(fb, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LEVEL), 1);
    EXPECT_EQ(static_cast<GLuint>(attachmentParameter(fb, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME)),
              depth->glId);

    // A cube face at a level: 16 x 16 at level 2 draws 4 x 4 into face -Y.
    Texture* cube = texture(TEXTURE_TYPE_CUBE, 16, 16, IMAGE_TYPE_RGBA16F, 5);
    Framebuffer* faces = make("faces");
    EXPECT_EQ(fbAttachCubeFace(faces, FB_ATTACHMENT_COLOR0, 3, 2, cube), 1);
    EXPECT_TRUE(setcurrent(faces));
    EXPECT_EQ(faces->width, 4);
    EXPECT_EQ(attachmentParameter(faces, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_CUBE_MAP_FACE),
              static_cast<GLint>(GL_TEXTURE_CUBE_MAP_NEGATIVE_Y));
    EXPECT_EQ(attachmentParameter(faces, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LEVEL), 2);
    EXPECT_EQ(fbCurrent, fb) << "setcurrent binds without changing fbCurrent";
}

TEST_F(FramebufferTest, DrawBuffersListTheFilledColourSlotsInOrder)
{
    Framebuffer* fb = make("sparse");
    fbAttach(fb, FB_ATTACHMENT_COLOR2, texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA8));
    fbAttach(fb, FB_ATTACHMENT_COLOR0, texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA16F));
    ASSERT_TRUE(setcurrent(fb));
    EXPECT_EQ(fb->drawBufferCount, 2);
    EXPECT_EQ(getInt(GL_DRAW_BUFFER0), static_cast<GLint>(GL_COLOR_ATTACHMENT0));
    EXPECT_EQ(getInt(GL_DRAW_BUFFER1), static_cast<GLint>(GL_COLOR_ATTACHMENT2));
    EXPECT_EQ(getInt(GL_DRAW_BUFFER2), static_cast<GLint>(GL_NONE));

    // Emptying a slot detaches it at the next set-up.
    fbAttach(fb, FB_ATTACHMENT_COLOR2, nullptr);
    ASSERT_TRUE(setcurrent(fb));
    EXPECT_EQ(fb->drawBufferCount, 1);
    EXPECT_EQ(getInt(GL_DRAW_BUFFER1), static_cast<GLint>(GL_NONE));
    EXPECT_EQ(attachmentParameter(fb, GL_COLOR_ATTACHMENT2, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE),
              static_cast<GLint>(GL_NONE));
}

// Regression: an emptied stencil slot stayed attached.
TEST_F(FramebufferTest, EmptiedStencilSlotIsDetached)
{
    Framebuffer* fb = make("stencil");
    Texture* stencil = texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_STENCIL8);
    fbAttach(fb, FB_ATTACHMENT_COLOR0, texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA8));
    fbAttach(fb, FB_ATTACHMENT_STENCIL, stencil);
    ASSERT_TRUE(setcurrent(fb));
    EXPECT_EQ(attachmentParameter(fb, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(stencil->glId));

    fbAttach(fb, FB_ATTACHMENT_STENCIL, nullptr);
    ASSERT_TRUE(setcurrent(fb));
    EXPECT_EQ(attachmentParameter(fb, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE),
              static_cast<GLint>(GL_NONE));
}

TEST_F(FramebufferTest, DefaultAndAttachmentlessFramebuffers)
{
    screenWidth = 640;
    screenHeight = 360;
    EXPECT_TRUE(setcurrent(nullptr));
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 640, 360}));
    EXPECT_EQ(static_cast<GLuint>(getInt(GL_DRAW_FRAMEBUFFER_BINDING)), fbDefaultId);

    Framebuffer* empty = make("empty");
    empty->width = 256;
    empty->height = 256;
    EXPECT_TRUE(setcurrent(empty));
    EXPECT_FALSE(empty->dirty);
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 256, 256}));
    GLint defaultWidth = 0;
    glGetNamedFramebufferParameteriv(empty->glId, GL_FRAMEBUFFER_DEFAULT_WIDTH, &defaultWidth);
    EXPECT_EQ(defaultWidth, 256);
}

TEST_F(FramebufferTest, MismatchedAttachmentsAreReportedAndIncompleteOnesStayDirty)
{
    Framebuffer* fb = make("wrong");
    const std::string log = captureLog([&] {
        fbAttach(fb, FB_ATTACHMENT_DEPTH, texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA8));
        fbAttach(fb, FB_ATTACHMENT_STENCIL, texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_R8));
        fbAttach(fb, FB_ATTACHMENT_COLOR1, texture(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_DEPTH32F));
        EXPECT_FALSE(setcurrent(fb));
    });
    EXPECT_NE(log.find("Trying to bind COLOR texture to DEPTH attachment:wrong"), std::string::npos) << log;
    EXPECT_NE(log.find("Trying to bind texturetype 10 to STENCIL attachment:wrong"), std::string::npos) << log;
    EXPECT_NE(log.find("Trying to bind DEPTH/STENCIL texture to COLOR attachment:wrong"), std::string::npos) << log;
    EXPECT_NE(log.find("Framebuffer object " + std::to_string(fb->glId) + " (wrong) not valid"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[setcurrent : "), std::string::npos) << log;
    EXPECT_TRUE(fb->dirty);
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 4, 4})) << "the viewport is set all the same";

    // The next bind repeats the set-up and the message.
    EXPECT_NE(captureLog([&] { setcurrent(fb); }).find("not valid"), std::string::npos);
}

TEST_F(FramebufferTest, AttachingRunsTheSetUpOnlyForTheCurrentFramebuffer)
{
    Framebuffer* other = make("other");
    Framebuffer* current = make("current");
    fbAttach(current, FB_ATTACHMENT_COLOR0, texture(TEXTURE_TYPE_2D, 32, 16, IMAGE_TYPE_RGBA8));
    ASSERT_TRUE(fbBind(current));

    EXPECT_EQ(fbAttach(other, FB_ATTACHMENT_COLOR0, texture(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA8)), 1);
    EXPECT_EQ(static_cast<GLuint>(getInt(GL_DRAW_FRAMEBUFFER_BINDING)), current->glId);
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 32, 16}));
    EXPECT_TRUE(other->dirty);

    EXPECT_EQ(fbAttach(current, FB_ATTACHMENT_COLOR1, texture(TEXTURE_TYPE_2D, 16, 16, IMAGE_TYPE_RGBA8)), 1);
    EXPECT_FALSE(current->dirty) << "set up at once";
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 16, 16}));
    captureLog([&] {
        EXPECT_EQ(fbAttach(current, FB_ATTACHMENT_DEPTH, texture(TEXTURE_TYPE_2D, 16, 16, IMAGE_TYPE_RGBA8)), 0);
    });

    EXPECT_EQ(fbAttach(nullptr, FB_ATTACHMENT_COLOR0, nullptr), 0);
    const std::string log = captureLog([&] {
        EXPECT_EQ(fbAttach(other, 6, nullptr), 0);
        EXPECT_EQ(fbAttachCubeFace(other, FB_ATTACHMENT_COLOR0, 6, 0, nullptr), 0);
    });
    EXPECT_NE(log.find("Framebuffer <other>: no slot 6, face 0, level 0"), std::string::npos) << log;
}

TEST_F(FramebufferTest, StackOverflowAndUnderflow)
{
    std::vector<Framebuffer*> saved;
    for (int i = 0; i < 8; ++i) {
        saved.push_back(make(("level" + std::to_string(i)).c_str()));
        saved.back()->width = saved.back()->height = 8 + i;
    }
    std::string log = captureLog([&] {
        for (int i = 0; i < 8; ++i) {
            fbCurrent = saved[i];
            fbPush();
        }
    });
    EXPECT_EQ(fbStackTop, 7);
    EXPECT_NE(log.find("Framebuffer stack overflow! (current top:level6)"), std::string::npos) << log;
    EXPECT_NE(log.find("[fbPush : "), std::string::npos) << log;

    fbPop();
    EXPECT_EQ(fbCurrent, saved[6]) << "the eighth push saved nothing";
    EXPECT_EQ(static_cast<GLuint>(getInt(GL_DRAW_FRAMEBUFFER_BINDING)), saved[6]->glId);
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 14, 14}));
    while (fbStackTop > 0)
        fbPop();
    EXPECT_EQ(fbCurrent, saved[0]);

    log = captureLog([] { fbPop(); });
    EXPECT_NE(log.find("Framebuffer stack underflow! (current bottom:level0)"), std::string::npos) << log;
    EXPECT_EQ(fbCurrent, saved[0]);
    EXPECT_EQ(fbStackTop, 0);

    fbCurrent = nullptr;
    fbPush();
    fbPush();
    fbCurrent = saved[3];
    fbPop();
    EXPECT_EQ(fbCurrent, nullptr) << "the default framebuffer is saved as null";
    fbStackTop = 7;
    fbStack[6] = nullptr;
    log = captureLog([] { fbPush(); });
    EXPECT_NE(log.find("(current top:<default>)"), std::string::npos) << log;
}

TEST_F(FramebufferTest, GlErrorLinesNameTheFramebuffer)
{
    Framebuffer* fb = make("checked");
    fb->width = fb->height = 4;
    // One line per pending error, with the caller's message; nothing when GL reports none.
    std::string log = captureLog([&] {
        fbCheckGlError(__FILE__, __LINE__, "nothing pending %d", 1);
        glEnable(static_cast<GLenum>(0xFFFF));
        glEnable(static_cast<GLenum>(0xFFFF));
        fbCheckGlError(__FILE__, __LINE__, "Framebuffer %d <%s> binding precheck", 7, "checked");
    });
    EXPECT_EQ(log.find("nothing pending"), std::string::npos) << log;
    EXPECT_NE(log.find("[__checkGlError : "), std::string::npos) << log;
    EXPECT_NE(log.find("\"GLError:Framebuffer 7 <checked> binding precheck() : (0x500)\""), std::string::npos) << log;
    EXPECT_EQ(glGetError(), GL_NO_ERROR);

    // setcurrent discards errors raised before it rather than blaming the framebuffer for them.
    glEnable(static_cast<GLenum>(0xFFFF));
    log = captureLog([&] { EXPECT_TRUE(setcurrent(fb)); });
    EXPECT_EQ(log.find("GLError"), std::string::npos) << log;

    // Long messages are cut, not written past the buffer.
    const std::string longName(2000, 'x');
    glEnable(static_cast<GLenum>(0xFFFF));
    log = captureLog([&] { fbCheckGlError(__FILE__, __LINE__, "%s", longName.c_str()); });
    EXPECT_NE(log.find(std::string(511, 'x') + "() : (0x500)"), std::string::npos);
}

TEST_F(FramebufferTest, CommandsRestoreTheBindingAndServeOtherThreads)
{
    Framebuffer* current = make("current");
    current->width = current->height = 16;
    Framebuffer* other = make("other");
    fbAttach(other, FB_ATTACHMENT_COLOR0, texture(TEXTURE_TYPE_2D, 8, 4, IMAGE_TYPE_RGBA8));
    fbBind(current);

    int result = -1;
    AGLSetupFramebuffer setup;
    setup.framebuffer = other;
    setup.result = &result;
    setup.Execute();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(other->dirty);
    EXPECT_EQ(other->width, 8);
    EXPECT_EQ(fbCurrent, current);
    EXPECT_EQ(fbStackTop, 0);
    EXPECT_EQ(static_cast<GLuint>(getInt(GL_DRAW_FRAMEBUFFER_BINDING)), current->glId);
    EXPECT_EQ(viewport(), (std::array<GLint, 4>{0, 0, 16, 16}));

    // A full stack cannot save the binding; the set-up still restores it.
    fbStackTop = 7;
    other->dirty = true;
    setup.Execute();
    EXPECT_EQ(fbStackTop, 7);
    EXPECT_EQ(static_cast<GLuint>(getInt(GL_DRAW_FRAMEBUFFER_BINDING)), current->glId);
    fbStackTop = 0;

    // From another thread the framebuffer is made by the main thread.
    Framebuffer* made = nullptr;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        made = fbCreate("from worker");
        returned = true;
    });
    while (!returned) {
        aglProcessQueue();
        std::this_thread::yield();
    }
    worker.join();
    ASSERT_NE(made, nullptr);
    framebuffers.push_back(made);
    EXPECT_EQ(label(made->glId), "from worker");
}
