#version 430
// Keeps live particles inside the ellipsoid of half extents "particle_modifier_size" about the origin: a particle
// outside is moved toward the surface point on its ray from the centre, all the way at a strength of 1 or more,
// that share of the way below. One invocation per slot; the dispatch covers ceil(capacity / 64) groups.

layout(local_size_x = 64, local_size_y = 1, local_size_z = 1) in;

#include <shaders/materials/commons.glsl>
#include <shaders/materials/particle_buffers.glsl>

uniform vec3 particle_modifier_size = vec3(1.0);
uniform float particle_modifier_strength = 1.0;
uniform int particle_buffer_capacity = 0;

void main()
{
    uint id = gl_GlobalInvocationID.x;
    if (id >= uint(max(particle_buffer_capacity, 0)) || id >= uint(particle_positions.length()) ||
        id >= uint(particle_states.length()))
        return;
    if (!prt_is_alive(particle_states[id]))
        return;
    vec4 position = particle_positions[id];
    vec3 size = max(abs(particle_modifier_size), vec3(0.000001));
    float d = length(position.xyz / size);
    if (d <= 1.0)
        return;
    vec3 surface = position.xyz / d;
    position.xyz = mix(position.xyz, surface, clamp(particle_modifier_strength, 0.0, 1.0));
    particle_positions[id] = position;
}
