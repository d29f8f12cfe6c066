#include "jni/engine/grd_framebuffer.h"

#include "app/log.h"
#include "jni/engine/grd_texture.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <glbinding/gl/gl.h>
#include <vector>

using namespace gl;

Framebuffer* fbCurrent = nullptr;
Framebuffer* fbStack[8] = {};
int fbStackTop = 0;
unsigned int fbDefaultId = 0;
int screenWidth = 0;
int screenHeight = 0;

namespace {

// Every framebuffer alive, so a target made again can be attached again wherever it is held.
std::vector<Framebuffer*> liveFramebuffers;

bool holds(const Framebuffer* framebuffer, const Texture* texture)
{
    for (const FramebufferAttachment& attachment : framebuffer->slots)
        if (attachment.texture == texture)
            return true;
    return false;
}

void discardGlErrors()
{
    while (glGetError() != GL_NO_ERROR) {
    }
}

GLenum attachmentPoint(int slot)
{
    switch (slot) {
    case FB_ATTACHMENT_DEPTH: return GL_DEPTH_ATTACHMENT;
    case FB_ATTACHMENT_STENCIL: return GL_STENCIL_ATTACHMENT;
    default: return static_cast<GLenum>(static_cast<unsigned>(GL_COLOR_ATTACHMENT0) + (slot - FB_ATTACHMENT_COLOR0));
    }
}

bool isDepthType(ImageType type)
{
    return type == IMAGE_TYPE_DEPTH24 || type == IMAGE_TYPE_DEPTH32F || type == IMAGE_TYPE_DEPTH32F_STENCIL8;
}

const char* entryName(const Framebuffer* framebuffer)
{
    return framebuffer ? framebuffer->name.c_str() : "<default>";
}

int attach(Framebuffer* framebuffer, int slot, int face, int level, Texture* texture)
{
    if (!framebuffer)
        return 0;
    if (slot < 0 || slot >= FB_ATTACHMENT_COUNT || face < 0 || face > 5 || level < 0 || level >= IMAGE_MAX_LEVELS) {
        LOG_ERROR("Framebuffer <%s>: no slot %d, face %d, level %d", framebuffer->name.c_str(), slot, face, level);
        return 0;
    }
    if (texture && texture->glId == 0) {
        txtSetupForGL(texture);
        txtFreeImageData(texture);
    }
    framebuffer->slots[slot] = {face, level, texture};
    framebuffer->dirty = true;
    if (framebuffer != fbCurrent)
        return 1;
    return fbSetUp(framebuffer);
}

} // namespace

void fbCheckGlError(const char* file, int line, const char* format, ...)
{
    GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    for (; error != GL_NO_ERROR; error = glGetError()) {
        log_print("[%s : %4d]\"GLError:%s() : (0x%x)\"", "__checkGlError", __LINE__, message,
                  static_cast<unsigned>(error));
        log_end_line();
    }
}

Framebuffer* fbCreate(const char* name)
{
    Framebuffer* result = nullptr;
    AGLCreateFramebuffer command;
    command.name = name ? name : "";
    command.result = &result;
    if (aglExecute(&command))
        return result;

    auto* framebuffer = new Framebuffer;
    framebuffer->name = name && name[0] ? name : "Unnamed";
    glCreateFramebuffers(1, &framebuffer->glId);
    glObjectLabel(GL_FRAMEBUFFER, framebuffer->glId, -1, framebuffer->name.c_str());
    liveFramebuffers.push_back(framebuffer);
    return framebuffer;
}

void fbDestroy(Framebuffer* framebuffer)
{
    if (!framebuffer)
        return;
    if (fbCurrent == framebuffer)
        fbCurrent = nullptr;
    for (Framebuffer*& entry : fbStack)
        if (entry == framebuffer)
            entry = nullptr;
    liveFramebuffers.erase(std::remove(liveFramebuffers.begin(), liveFramebuffers.end(), framebuffer),
                           liveFramebuffers.end());
    {
        std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
        glDeleteFramebuffers(1, &framebuffer->glId);
    }
    delete framebuffer;
}

int fbAttach(Framebuffer* framebuffer, int slot, Texture* texture)
{
    return attach(framebuffer, slot, 0, 0, texture);
}

int fbAttachCubeFace(Framebuffer* framebuffer, int slot, int face, int level, Texture* texture)
{
    return attach(framebuffer, slot, face, level, texture);
}

bool fbResizeTarget(Texture* texture, int width, int height)
{
    const unsigned int oldId = texture ? texture->glId : 0;
    if (!txtResize(texture, width, height))
        return false;
    if (texture->glId == oldId)
        return true;
    for (Framebuffer* framebuffer : liveFramebuffers) {
        if (holds(framebuffer, texture)) {
            framebuffer->dirty = true;
            fbSetUp(framebuffer);
        }
    }
    return true;
}

void fbFollowOutputSize(Texture* texture)
{
    const Image* image = texture ? texture->images[0] : nullptr;
    if (image && screenWidth > 0 && screenHeight > 0 && (image->width != screenWidth || image->height != screenHeight))
        fbResizeTarget(texture, screenWidth, screenHeight);
}

int fbSetUp(Framebuffer* framebuffer)
{
    if (!framebuffer)
        return 0;
    int result = 0;
    AGLSetupFramebuffer command;
    command.framebuffer = framebuffer;
    command.result = &result;
    if (!aglExecute(&command))
        command.Execute();
    return result;
}

void fbForgetTexture(const Texture* texture)
{
    if (!texture)
        return;
    for (Framebuffer* framebuffer : liveFramebuffers) {
        for (FramebufferAttachment& attachment : framebuffer->slots) {
            if (attachment.texture == texture) {
                attachment = {};
                framebuffer->dirty = true;
            }
        }
    }
}

bool setcurrent(Framebuffer* fb)
{
    if (!fb) {
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fbDefaultId);
        glViewport(0, 0, screenWidth, screenHeight);
        return true;
    }
    aglAssertMainThread();
    // The error queue is emptied before and after the bind; a check right after a discard could never fire.
    discardGlErrors();
    std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fb->glId);
    discardGlErrors();

    // Attachments, draw buffers and size are worked out only after a change. Messages name setcurrent.
    if (fb->dirty) {
        fb->drawBufferCount = 0;
        int width = INT_MAX;
        int height = INT_MAX;
        int filled = 0;
        for (int slot = 0; slot < FB_ATTACHMENT_COUNT; ++slot) {
            const FramebufferAttachment& attachment = fb->slots[slot];
            const GLenum point = attachmentPoint(slot);
            const Texture* texture = attachment.texture;
            if (!texture) {
                // Every empty slot is detached, the stencil point included: a removed texture is no longer drawn to.
                glFramebufferTexture2D(GL_FRAMEBUFFER, point, GL_TEXTURE_2D, 0, 0);
                continue;
            }
            ++filled;
            const Image* image = texture->images[0];
            if (!image)
                continue;
            int level = 0;
            GLenum target = GL_TEXTURE_2D;
            if (slot == FB_ATTACHMENT_DEPTH) {
                if (!isDepthType(image->type))
                    LOG_ERROR("Trying to bind COLOR texture to DEPTH attachment:%s", fb->name.c_str());
            } else if (slot == FB_ATTACHMENT_STENCIL) {
                if (image->type != IMAGE_TYPE_STENCIL8 && image->type != IMAGE_TYPE_DEPTH32F_STENCIL8)
                    LOG_ERROR("Trying to bind texturetype %d to STENCIL attachment:%s", image->type,
                              fb->name.c_str());
            } else {
                if (isDepthType(image->type) || image->type == IMAGE_TYPE_STENCIL8)
                    LOG_ERROR("Trying to bind DEPTH/STENCIL texture to COLOR attachment:%s", fb->name.c_str());
                if (texture->type == TEXTURE_TYPE_CUBE)
                    target = static_cast<GLenum>(static_cast<unsigned>(GL_TEXTURE_CUBE_MAP_POSITIVE_X) +
                                                 attachment.cubeFace);
                level = attachment.mipLevel;
            }
            glFramebufferTexture2D(GL_FRAMEBUFFER, point, target, texture->glId, level);
            // A level is never smaller than 1 x 1.
            width = std::min(width, std::max(image->width >> level, 1));
            height = std::min(height, std::max(image->height >> level, 1));
            if (slot >= FB_ATTACHMENT_COLOR0)
                fb->drawBuffers[fb->drawBufferCount++] = static_cast<int>(point);
            else
                FB_CHECK_GL_ERROR("Error for framebuffer:%s (%d)", fb->name.c_str(), fb->glId);
        }
        if (filled == 0) {
            glNamedFramebufferParameteri(fb->glId, GL_FRAMEBUFFER_DEFAULT_WIDTH, fb->width);
            glNamedFramebufferParameteri(fb->glId, GL_FRAMEBUFFER_DEFAULT_HEIGHT, fb->height);
            width = fb->width;
            height = fb->height;
        } else if (width == INT_MAX) {
            // Only image-less textures: nothing was measured, the size stays.
            width = fb->width;
            height = fb->height;
        }

        const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        fb->width = width;
        fb->height = height;
        if (complete)
            fb->dirty = false;
        else
            LOG_ERROR("Framebuffer object %d (%s) not valid", fb->glId, fb->name.c_str());
    }
    if (!fb->dirty) {
        GLenum buffers[8];
        for (int i = 0; i < fb->drawBufferCount; ++i)
            buffers[i] = static_cast<GLenum>(fb->drawBuffers[i]);
        glDrawBuffers(fb->drawBufferCount, buffers);
    }
    glViewport(0, 0, fb->width, fb->height);
    FB_CHECK_GL_ERROR("Error for framebuffer:%s (%d)", fb->name.c_str(), fb->glId);
    return !fb->dirty;
}

bool fbBind(Framebuffer* framebuffer)
{
    aglAssertMainThread();
    fbCurrent = framebuffer;
    return setcurrent(framebuffer);
}

void fbPush()
{
    aglAssertMainThread();
    if (fbStackTop >= FB_STACK_CAPACITY) {
        LOG_ERROR("Framebuffer stack overflow! (current top:%s)", entryName(fbStack[fbStackTop - 1]));
        return;
    }
    fbStack[fbStackTop++] = fbCurrent;
}

void fbPop()
{
    aglAssertMainThread();
    if (fbStackTop <= 0) {
        LOG_ERROR("Framebuffer stack underflow! (current bottom:%s)", entryName(fbStack[0]));
        return;
    }
    fbCurrent = fbStack[--fbStackTop];
    setcurrent(fbCurrent);
}

void AGLCreateFramebuffer::Execute()
{
    *result = fbCreate(name.c_str());
}

void AGLSetupFramebuffer::Execute()
{
    if (framebuffer == fbCurrent) {
        *result = setcurrent(framebuffer);
        return;
    }
    if (fbStackTop >= FB_STACK_CAPACITY) {
        // No room to save the binding: restore it by hand rather than pop someone else's entry.
        *result = setcurrent(framebuffer);
        setcurrent(fbCurrent);
        return;
    }
    fbPush();
    *result = setcurrent(framebuffer);
    fbPop();
}
