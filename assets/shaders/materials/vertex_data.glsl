// What every material vertex stage hands on to the next stage: one interface block, "VertexData", declared by
// each stage with the same members, e.g.
//     out VertexData { VERTEX_DATA_MEMBERS } vtx_output;    (vertex, tessellation evaluation, geometry stages)
//     in VertexData { VERTEX_DATA_MEMBERS } vtx_input;      (fragment stages; override texts read vtx_input)
// so any material vertex shader links with any material geometry or fragment stage.

#ifndef MATERIALS_VERTEX_DATA_GLSL
#define MATERIALS_VERTEX_DATA_GLSL

#define VERTEX_DATA_MEMBERS                                                                                     \
    vec4 vColor;       /* vertex colour times instance or particle colour */                                   \
    vec3 vWorldPos;                                                                                             \
    vec3 vLocalPos;    /* object space, after the local vertex modifiers */                                    \
    vec3 vWorldNormal;                                                                                          \
    vec3 vLocalNormal;                                                                                          \
    vec2 vUV0;                                                                                                  \
    vec2 vUV1;                                                                                                  \
    flat int vInstance; /* instance (or particle slot) the vertex belongs to */

// Fills an output block from a vertex record in object space and the same vertex in world space.
#define VERTEX_DATA_WRITE(block, local, world, instance)                                                        \
    block.vColor = (world).color;                                                                               \
    block.vWorldPos = (world).pos;                                                                              \
    block.vLocalPos = (local).pos;                                                                              \
    block.vWorldNormal = (world).norm;                                                                          \
    block.vLocalNormal = (local).norm;                                                                          \
    block.vUV0 = (world).uv0;                                                                                   \
    block.vUV1 = (world).uv1;                                                                                   \
    block.vInstance = (instance);

// Member-wise copy between blocks (blocks cannot be assigned whole).
#define VERTEX_DATA_COPY(dst, src)                                                                              \
    dst.vColor = src.vColor;                                                                                    \
    dst.vWorldPos = src.vWorldPos;                                                                              \
    dst.vLocalPos = src.vLocalPos;                                                                              \
    dst.vWorldNormal = src.vWorldNormal;                                                                        \
    dst.vLocalNormal = src.vLocalNormal;                                                                        \
    dst.vUV0 = src.vUV0;                                                                                        \
    dst.vUV1 = src.vUV1;                                                                                        \
    dst.vInstance = src.vInstance;

#endif // MATERIALS_VERTEX_DATA_GLSL
