#version 430
// Vertex stage of the post-effect and filter programs: the same full-screen quad as the composite's own.
#include <shaders/composite_quad.glsl>
