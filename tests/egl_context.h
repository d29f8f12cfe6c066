// A real OpenGL 4.5 core context without a window or display: EGL on Mesa's surfaceless platform. Shared by the GL
// tests and the GPU benchmarks.
#pragma once

// Creates the process's context on first use (later calls reuse it) and makes it current; false when none can be
// had. Pixel pack and unpack alignment are 1, as the engine sets them.
bool eglSurfacelessContextCurrent();
