#version 430
// Ribbon particles: one triangle strip per particle (gl_InstanceID) through its recorded positions, newest row
// first; vertex 2s + k is side k of segment s. The strip is "ribbon_thickness" wide and turned towards the camera.
// Rows where the particle was not alive collapse.

#define PARTICLE_RIBBON_BUFFERS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/particle_buffers.glsl>

uniform int materialIndex = 0;
uniform float ribbon_thickness = 1.0;
uniform int ribbon_segments = 1;
uniform int ribbon_total_particles = 0;
uniform int ribbon_current_row = 0;

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

vec4 ribbonEntry(int particle, int segment)
{
    int segments = max(ribbon_segments, 1);
    int row = ((ribbon_current_row - segment) % segments + segments) % segments;
    int entry = row * ribbon_total_particles + particle;
    if (particle < 0 || particle >= ribbon_total_particles || entry >= ribbon_positions.length())
        return vec4(0.0);
    return ribbon_positions[entry];
}

void main()
{
    int particle = gl_InstanceID;
    int segment = min(gl_VertexID / 2, max(ribbon_segments, 1) - 1);
    float side = (gl_VertexID & 1) == 0 ? -0.5 : 0.5;

    vec4 here = ribbonEntry(particle, segment);
    vec4 newer = ribbonEntry(particle, max(segment - 1, 0));
    vec4 older = ribbonEntry(particle, min(segment + 1, max(ribbon_segments, 1) - 1));

    VertexRecord world;
    world.uv0 = vec2(float(segment) / float(max(ribbon_segments - 1, 1)), side + 0.5);
    world.uv1 = world.uv0;
    world.color = vec4(1.0, 1.0, 1.0, 1.0 - world.uv0.x);
    vec3 along = commonsSafeNormalize(newer.xyz - older.xyz, vec3(0.0, 1.0, 0.0));
    vec3 toCamera = commonsSafeNormalize(transform_params.vCameraPosition - here.xyz, vec3(0.0, 0.0, 1.0));
    vec3 across = commonsSafeNormalize(cross(along, toCamera), vec3(1.0, 0.0, 0.0));
    world.pos = transformPoint(transform_params.mModel, here.xyz + across * side * ribbon_thickness);
    world.norm = commonsSafeNormalize(cross(across, along), toCamera);

    VERTEX_DATA_WRITE(vtx_output, world, world, particle)
    gl_Position = here.w > 0.0 ? vtxWorldToClip(world.pos) : vec4(2.0, 2.0, 2.0, 1.0);
}
