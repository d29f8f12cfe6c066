#version 430
// The geometry mirror: a reflected copy of a source geometry's triangles, written on the GPU every frame into an
// output geometry whose draw commands take their counts from the tracking buffer below.
//
// The file is built twice. The define whose value is "main" makes one of the two entry functions below the
// compute entry point:
//   MAIN_BUILD_PARAMS_FROM_DRAW_INDIRECT  one invocation: a tracking entry per surface from the source's draw
//                                         commands
//   MAIN_MIRROR_GEOMETRY                  one dispatch per surface, one invocation per source triangle (each
//                                         invocation also takes the triangles a whole grid further on)
// Each entry declares only its own blocks, so a build never holds a block it does not use.
//
// Every triangle gets three new vertices; nothing is shared, so a surface's vertices are one contiguous run.

// Tracking entry of surface i (ivec4 at byte 16 x i, at most 32 entries):
//   x  triangles written into the output surface: the surface's draw command draws 3 x this many indices
//   y  triangles of the source surface, from its draw command
//   z  first output vertex of the surface: the source triangles of the surfaces before it, three vertices each
//   w  unused, 0
layout(std430) buffer GeometryMirrorTrackingDataBuffer
{
    ivec4 tracking[];
};

const int MIRROR_MAX_SURFACES = 32;

#ifdef MAIN_BUILD_PARAMS_FROM_DRAW_INDIRECT

layout(local_size_x = 1, local_size_y = 1, local_size_z = 1) in;

// GL's DrawElementsIndirectCommand per source surface, packed: count, instanceCount, firstIndex, baseVertex,
// baseInstance. Zeros after the last surface.
layout(std430) readonly buffer DrawElementsIndirectParamsBuffer
{
    uint sourceCommands[];
};

const uint COMMAND_UINTS = 5u;
// Vertex numbers stay below this, so the sums cannot wrap.
const uint MAX_VERTEX = 0x7FFFFFFFu;

void MAIN_BUILD_PARAMS_FROM_DRAW_INDIRECT()
{
    int surfaces = min(min(int(uint(sourceCommands.length()) / COMMAND_UINTS), tracking.length()),
                       MIRROR_MAX_SURFACES);
    uint firstVertex = 0u;
    for (int i = 0; i < surfaces; ++i) {
        uint triangles = sourceCommands[uint(i) * COMMAND_UINTS] / 3u;
        tracking[i] = ivec4(0, int(triangles), int(firstVertex), 0);
        firstVertex = min(firstVertex + min(triangles, MAX_VERTEX / 3u) * 3u, MAX_VERTEX);
    }
}

#endif // MAIN_BUILD_PARAMS_FROM_DRAW_INDIRECT

#ifdef MAIN_MIRROR_GEOMETRY

layout(local_size_x = 64, local_size_y = 1, local_size_z = 1) in;

// One surface's dispatch.
layout(std430) readonly buffer GeometryMirrorParamsBuffer
{
    vec4 mirror_plane;      // {p : dot(xyz, p) = w}; xyz need not be unit length
    int triangle_capacity;  // of the output surface
    int vertex_count;       // of the output geometry
    int surface_count;      // surfaces mirrored
    int surface_index;      // the surface of this dispatch
};

layout(std430) readonly buffer InIndexBuffer
{
    uint in_indices[]; // three per triangle
};

layout(std430) writeonly buffer OutIndexBuffer
{
    uint out_indices[];
};

// The attributes both geometries hold as floats; the others are bound to a spare buffer and left alone.
layout(std430) readonly buffer InVTXCoords
{
    float in_coords[];
};
layout(std430) writeonly buffer OutVTXCoords
{
    float out_coords[];
};
layout(std430) readonly buffer InVTXNormals
{
    float in_normals[];
};
layout(std430) writeonly buffer OutVTXNormals
{
    float out_normals[];
};
layout(std430) readonly buffer InVTXAlbedo
{
    float in_albedo[];
};
layout(std430) writeonly buffer OutVTXAlbedo
{
    float out_albedo[];
};
layout(std430) readonly buffer InVTXUV0
{
    float in_uv0[];
};
layout(std430) writeonly buffer OutVTXUV0
{
    float out_uv0[];
};

// Which of the four attributes to write: bit 0 positions (3 floats), 1 normals (3), 2 albedo (3), 3 uv0 (2).
uniform int mirror_attributes = 0;

const int MIRROR_COORDS = 1;
const int MIRROR_NORMALS = 2;
const int MIRROR_ALBEDO = 4;
const int MIRROR_UV0 = 8;

// The reflection of a point across the plane.
vec3 reflectPoint(vec3 p)
{
    vec3 n = mirror_plane.xyz;
    float nn = dot(n, n);
    if (nn <= 0.0)
        return p;
    return p - 2.0 * (dot(n, p) - mirror_plane.w) / nn * n;
}

// The reflection of a direction: the plane's offset does not move it.
vec3 reflectDirection(vec3 d)
{
    vec3 n = mirror_plane.xyz;
    float nn = dot(n, n);
    if (nn <= 0.0)
        return d;
    return d - 2.0 * dot(n, d) / nn * n;
}

// Three floats of a vertex; zeros past the end of the buffer.
#define LOAD3(buf, v) (3u * (v) + 2u < uint(buf.length()) ? vec3(buf[3u * (v)], buf[3u * (v) + 1u], buf[3u * (v) + 2u]) : vec3(0.0))
#define STORE3(buf, v, value)                                                                                          \
    if (3u * (v) + 2u < uint(buf.length())) {                                                                          \
        vec3 stored = (value);                                                                                         \
        buf[3u * (v)] = stored.x;                                                                                      \
        buf[3u * (v) + 1u] = stored.y;                                                                                 \
        buf[3u * (v) + 2u] = stored.z;                                                                                 \
    }

// Source vertex `from` reflected into output vertex `to`.
void mirrorVertex(uint from, uint to)
{
    if ((mirror_attributes & MIRROR_COORDS) != 0) {
        STORE3(out_coords, to, reflectPoint(LOAD3(in_coords, from)));
    }
    if ((mirror_attributes & MIRROR_NORMALS) != 0) {
        STORE3(out_normals, to, reflectDirection(LOAD3(in_normals, from)));
    }
    if ((mirror_attributes & MIRROR_ALBEDO) != 0) {
        STORE3(out_albedo, to, LOAD3(in_albedo, from));
    }
    if ((mirror_attributes & MIRROR_UV0) != 0 && 2u * to + 1u < uint(out_uv0.length())) {
        bool inside = 2u * from + 1u < uint(in_uv0.length());
        out_uv0[2u * to] = inside ? in_uv0[2u * from] : 0.0;
        out_uv0[2u * to + 1u] = inside ? in_uv0[2u * from + 1u] : 0.0;
    }
}

void MAIN_MIRROR_GEOMETRY()
{
    int surface = surface_index;
    if (surface < 0 || surface >= min(min(surface_count, tracking.length()), MIRROR_MAX_SURFACES))
        return;
    // Read field by field: invocation 0 writes x below while the others read.
    int sourceTriangles = tracking[surface].y;
    int firstVertex = tracking[surface].z;

    // What fits: the source's triangles, the surface's capacity, both index buffers and the output's vertices.
    int triangles = min(sourceTriangles, triangle_capacity);
    triangles = min(triangles, int(uint(in_indices.length()) / 3u));
    triangles = min(triangles, int(uint(out_indices.length()) / 3u));
    int room = firstVertex >= 0 && firstVertex < vertex_count ? (vertex_count - firstVertex) / 3 : 0;
    triangles = max(min(triangles, room), 0);
    if (gl_GlobalInvocationID.x == 0u)
        tracking[surface].x = triangles;

    uint stride = gl_NumWorkGroups.x * gl_WorkGroupSize.x;
    for (uint t = gl_GlobalInvocationID.x; t < uint(triangles); t += stride) {
        uint first = uint(firstVertex) + 3u * t;
        for (uint k = 0u; k < 3u; ++k)
            mirrorVertex(in_indices[3u * t + k], first + k);
        // A reflection turns the winding round; two corners swap so the faces keep facing outwards.
        out_indices[3u * t] = first;
        out_indices[3u * t + 1u] = first + 2u;
        out_indices[3u * t + 2u] = first + 1u;
    }
}

#endif // MAIN_MIRROR_GEOMETRY
