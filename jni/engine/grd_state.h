// The main-thread rule for GL work, and the fixed-function render state with its stack.
#pragma once

#include <deque>
#include <mutex>
#include <thread>

// ---- Main-thread commands ----

// A unit of GL work that must run on the main thread. Built on the issuer's stack; the queue holds pointers.
struct AGLCommand {
    bool done = false;
    virtual ~AGLCommand() = default;
    virtual void Execute() = 0;
};

extern const std::thread::id aglMainThreadId;
extern std::recursive_mutex glResourceMutex;

bool aglIsMainThread();
// Logs GL use from another thread; execution goes on.
void aglAssertMainThreadImpl(const char* file, int line);
#define aglAssertMainThread() aglAssertMainThreadImpl(__FILE__, __LINE__)

// False on the main thread: the caller does the work itself. Elsewhere queues the command and waits until the main
// thread has run it (aglProcessQueue), then returns true.
bool aglExecute(AGLCommand* command);
// Runs the commands other threads queued; called by the main thread once per frame.
void aglProcessQueue();

// ---- Render state ----

struct RenderState {
    int cullMode = 0;  // 0 cull front, 1 cull back, 2 no culling
    int depthFunc = 5; // 0/1 always, 2 greater, 3 less, 4 gequal, 5 lequal, 6 equal
    int srcBlend = 1;  // 0 zero, 1 one, 2 src colour, 3 one minus src colour
    int dstBlend = 1;
    int blendOp = 0; // 0 off, 1 add, 2 subtract, 3 reverse subtract, 4 min, 5 max
    bool depthWrite = true;
    bool depthTest = true;
    bool stencilTest = false;
    bool stencilWrite = false;
    bool conservativeRaster = false;

    bool operator==(const RenderState&) const = default;
};

extern std::deque<RenderState> renderStateStack;

const RenderState& renderStateDefault();
void renderStateApply(const RenderState& state);
const RenderState& renderStateTop();
void renderStatePush(const RenderState& state);
void renderStatePop();
