// The instance set a draw is repeated over (bound by name for each draw):
//   "InstanceParamsBuffer"     ivec4: instance count; 0 for the shared one-instance set, else 3; 0; reserved
//   "InstanceTransformBuffer"  three vec4 rows of a 3 x 4 affine matrix per instance (translation in w)
//   "InstanceColorBuffer"      four half floats (two uints) per instance
// Generators that write the set define INSTANCE_BUFFERS_WRITABLE before the include; it makes the transform and
// colour blocks writable and adds instanceStore.

#ifndef MATERIALS_INSTANCE_BUFFERS_GLSL
#define MATERIALS_INSTANCE_BUFFERS_GLSL

layout(std430) readonly buffer InstanceParamsBuffer
{
    ivec4 instance_params;
};

#ifdef INSTANCE_BUFFERS_WRITABLE
#define INSTANCE_BUFFERS_ACCESS
#else
#define INSTANCE_BUFFERS_ACCESS readonly
#endif

layout(std430) INSTANCE_BUFFERS_ACCESS buffer InstanceTransformBuffer
{
    vec4 instance_transform[];
};

layout(std430) INSTANCE_BUFFERS_ACCESS buffer InstanceColorBuffer
{
    uint instance_color[];
};

// The shared one-instance set (and an unbound header) means: no instance transform, white.
bool instanceSetBound()
{
    return instance_params.y != 0;
}

vec3 instanceTransformPoint(int instance, vec3 p)
{
    if (!instanceSetBound())
        return p;
    vec4 h = vec4(p, 1.0);
    int i = instance * 3;
    return vec3(dot(instance_transform[i], h), dot(instance_transform[i + 1], h), dot(instance_transform[i + 2], h));
}

// Inverse transpose of the instance's 3 x 3 part (up to scale), so normals stay normal under non-uniform scale.
vec3 instanceTransformNormal(int instance, vec3 n)
{
    if (!instanceSetBound())
        return n;
    int i = instance * 3;
    vec3 a = instance_transform[i].xyz;
    vec3 b = instance_transform[i + 1].xyz;
    vec3 c = instance_transform[i + 2].xyz;
    vec3 r = vec3(dot(cross(b, c), n), dot(cross(c, a), n), dot(cross(a, b), n));
    return dot(a, cross(b, c)) < 0.0 ? -r : r;
}

vec4 instanceColor(int instance)
{
    if (!instanceSetBound())
        return vec4(1.0);
    return vec4(unpackHalf2x16(instance_color[instance * 2]), unpackHalf2x16(instance_color[instance * 2 + 1]));
}

#ifdef INSTANCE_BUFFERS_WRITABLE
// The instances both buffers have room for (the header's count may not be larger, but is not trusted).
int instanceRoom()
{
    return min(instance_transform.length() / 3, instance_color.length() / 2);
}

// Instance `instance` = the affine transform (last row ignored) and the colour. Past the buffers: nothing.
void instanceStore(int instance, mat4 transform, vec4 color)
{
    if (instance < 0 || instance >= instanceRoom())
        return;
    mat4 rows = transpose(transform);
    int i = instance * 3;
    instance_transform[i] = rows[0];
    instance_transform[i + 1] = rows[1];
    instance_transform[i + 2] = rows[2];
    instance_color[instance * 2] = packHalf2x16(color.rg);
    instance_color[instance * 2 + 1] = packHalf2x16(color.ba);
}
#endif

#endif // MATERIALS_INSTANCE_BUFFERS_GLSL
