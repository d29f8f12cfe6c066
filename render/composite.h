// The renderer's one full-screen pass: a screen-filling quad drawn with a given program into a framebuffer (or the
// window), with textures bound as "s_texture0", "s_texture1", ... and the output size as "vResolution" and
// "vResolutionInv". Main thread only.
#pragma once

#include <cstdarg>

struct Framebuffer;
struct Geometry;
struct ShaderProgram;
struct Texture;
struct Timestep;

// Texture names run from "s_texture0" to "s_texture9".
constexpr int kCompositeMaxTextures = 10;

enum CompositeBuiltin {
    COMPOSITE_BUILTIN_COPY = 0,           // "shaders/composite_copy.vsh" + "shaders/basic.fsh"
    COMPOSITE_BUILTIN_DECODE_NORMALS = 1, // "shaders/composite_copy.vsh" + "shaders/decode_normals.fsh"
    COMPOSITE_BUILTIN_COUNT = 2,
};

// Draws the pass; the textures end with a null pointer (a null first texture: none). Destination null is the
// window at the output size; timestep null counts as {0, 0, false}. False, with a log line and nothing drawn, when
// the destination cannot be bound, the program cannot be used or more than 10 textures are given. Leaves the
// framebuffer binding and the render-state stack as it found them.
bool composite(Framebuffer* destination, ShaderProgram* program, const Timestep* timestep, Texture* first, ...);
// The same with the textures after the first as an argument list.
bool compositeV(Framebuffer* destination, ShaderProgram* program, const Timestep* timestep, Texture* first,
                va_list rest);
// composite with built-in program 0 (copy) or 1 (decode normals) and a zero timestep.
bool compositeBuiltin(Framebuffer* destination, int programIndex, Texture* first, ...);
// Builds the built-in programs on the first call.
void compositeInitPrograms();
// The built-in program of that index (built when needed), or null for an index outside 0..1.
ShaderProgram* compositeBuiltinProgram(int programIndex);
// The quad every pass draws (made on first use).
Geometry* compositeQuad();
