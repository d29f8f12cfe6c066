// Framebuffers with six attachment slots, set up lazily when bound, and a small stack of saved framebuffers.
// Main thread only; the two commands carry framebuffer work there from other threads.
#pragma once

#include "jni/engine/grd_state.h"

#include <string>

struct Texture;

enum FramebufferSlot {
    FB_ATTACHMENT_DEPTH = 0,   // GL_DEPTH_ATTACHMENT
    FB_ATTACHMENT_STENCIL = 1, // GL_STENCIL_ATTACHMENT
    FB_ATTACHMENT_COLOR0 = 2,  // GL_COLOR_ATTACHMENT0 + (slot - 2)
    FB_ATTACHMENT_COLOR1 = 3,
    FB_ATTACHMENT_COLOR2 = 4,
    FB_ATTACHMENT_COLOR3 = 5,
    FB_ATTACHMENT_COUNT = 6,
};

struct FramebufferAttachment {
    int cubeFace = 0; // face 0-5 when the texture is a cube
    int mipLevel = 0; // level drawn into
    Texture* texture = nullptr; // not owned; null = empty slot
};

struct Framebuffer {
    bool dirty = true;     // attachments changed since the last complete set-up
    int drawBuffers[8] = {}; // GL colour attachment enums of the filled colour slots, in slot order
    int drawBufferCount = 0;
    unsigned int glId = 0;
    // The drawing size the last set-up found. Without attachments it is also the default size given to GL, so
    // the owner sets it.
    int width = 0;
    int height = 0;
    FramebufferAttachment slots[FB_ATTACHMENT_COUNT];
    std::string name; // "Unnamed" when none was given
};

constexpr int FB_STACK_CAPACITY = 7;

extern Framebuffer* fbCurrent;   // null = the window's default framebuffer
extern Framebuffer* fbStack[8];
extern int fbStackTop;           // saved entries
extern unsigned int fbDefaultId; // GL name bound for the default framebuffer
// The output size: the window's drawing size, set when the window is made; read by the renderer, the default
// framebuffer and the components. The start-up warm-up draws at a smaller size for a while: the owners of
// targets at this size compare them with it when they use them and make them again (fbResizeTarget).
extern int screenWidth;
extern int screenHeight;

Framebuffer* fbCreate(const char* name);
// Deletes the GL framebuffer and the record and forgets it as current or saved; null is ignored.
void fbDestroy(Framebuffer* framebuffer);

// Puts the texture (face 0, level 0; null empties the slot) into the slot, uploading it first when needed (its
// CPU pixels are then dropped). Sets up at once when the framebuffer is current and returns that result;
// otherwise 1. A null framebuffer or an unknown slot gives 0.
int fbAttach(Framebuffer* framebuffer, int slot, Texture* texture);
// The same for one face and level of a cube texture.
int fbAttachCubeFace(Framebuffer* framebuffer, int slot, int face, int level, Texture* texture);

// Binds for drawing (null: the default framebuffer with the output-size viewport), setting up the attachments,
// draw buffers and size when dirty. True when the framebuffer is complete.
bool setcurrent(Framebuffer* framebuffer);
// fbCurrent = framebuffer, then setcurrent.
bool fbBind(Framebuffer* framebuffer);
// Saves fbCurrent (at most 7 saved); binds nothing.
void fbPush();
// Restores and binds the last saved framebuffer.
void fbPop();

// txtResize, then every framebuffer holding the texture is set up again with its new GL texture (the current
// binding is kept). False as txtResize.
bool fbResizeTarget(Texture* texture, int width, int height);
// fbResizeTarget to the output size when the texture is at another size; null and an unset output size are ignored.
void fbFollowOutputSize(Texture* texture);
// Sets the framebuffer up now with its slots (on the render thread when there is one); the setup's result, 0 for
// null.
int fbSetUp(Framebuffer* framebuffer);
// Empties every slot of every framebuffer that holds the texture (before it is destroyed elsewhere).
void fbForgetTexture(const Texture* texture);

// When GL reports errors, logs "GLError:<message>() : (0x..)" once per error; the message is printf-style.
void fbCheckGlError(const char* file, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
#define FB_CHECK_GL_ERROR(...) fbCheckGlError(__FILE__, __LINE__, __VA_ARGS__)

struct AGLCreateFramebuffer : AGLCommand {
    std::string name;
    Framebuffer** result = nullptr;
    void Execute() override;
};

// Re-runs the set-up of a framebuffer; one that is not current is set up between fbPush and fbPop, so the
// current binding is restored.
struct AGLSetupFramebuffer : AGLCommand {
    Framebuffer* framebuffer = nullptr;
    int* result = nullptr;
    void Execute() override;
};
