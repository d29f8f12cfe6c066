// Shared part of the particle material vertex stages: each instance draws "instancing_clones" copies of a small
// shape ("instancing_base_verts_num" vertices each, all about the origin), copy c of instance i standing for
// particle slot i x "instancing_clones" + c. Slots at or past "particle_buffer_capacity", and dead ones, collapse
// to a point outside the view. Needs commons.glsl, vertex_buffers.glsl, vertex_data.glsl, particle_buffers.glsl.

#ifndef MATERIALS_PARTICLE_VERTEX_GLSL
#define MATERIALS_PARTICLE_VERTEX_GLSL

uniform int materialIndex = 0;
uniform float instancing_scale = 1.0;
uniform int instancing_clones = 128;
uniform int instancing_base_verts_num = 1;
uniform int particle_buffer_capacity = 0;

const vec4 kCulledPosition = vec4(2.0, 2.0, 2.0, 1.0);

int particleSlot()
{
    return gl_InstanceID * instancing_clones + gl_VertexID / max(instancing_base_verts_num, 1);
}

bool particleVisible(int slot)
{
    return slot >= 0 && slot < particle_buffer_capacity && slot < particle_positions.length() &&
           slot < particle_states.length() && prt_is_alive(particle_states[slot]);
}

// The camera's axes in world space: the rows of the view matrix.
vec3 cameraSide()
{
    mat4 v = transform_params.mView;
    return vec3(v[0][0], v[1][0], v[2][0]);
}

vec3 cameraUp()
{
    mat4 v = transform_params.mView;
    return vec3(v[0][1], v[1][1], v[2][1]);
}

vec3 cameraForward()
{
    mat4 v = transform_params.mView;
    return vec3(v[0][2], v[1][2], v[2][2]);
}

// Particle-space offset and normal to world space (through the model matrix) around the particle position.
VertexRecord particleToWorld(VertexRecord local, vec4 position, vec4 state, vec3 offset, vec3 normal)
{
    VertexRecord world = local;
    world.pos = transformPoint(transform_params.mModel, position.xyz + offset);
    world.norm = commonsSafeNormalize(transformNormal(transform_params.mModelInvTranspose, normal),
                                      vec3(0.0, 0.0, 1.0));
    world.color = local.color * prt_color(state);
    return world;
}

#endif // MATERIALS_PARTICLE_VERTEX_GLSL
