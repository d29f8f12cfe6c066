#version 430
// The built-in composite programs' vertex stage.
#include <shaders/composite_quad.glsl>
