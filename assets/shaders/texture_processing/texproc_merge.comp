#version 430
// Combines two textures of the same size into the output image, one invocation per texel:
//   0 Replace:  a cross-fade from b * f2 to a by f1 (f1 = 1 replaces everything with a)
//   1 Add:      a * f1 + b * f2
//   2 Multiply: (a * f1) * (b * f2)
// With "use output as source 2" the image's own previous contents stand for b (a feedback trail).

layout(local_size_x = 8, local_size_y = 8) in;

layout(std140) uniform TextureProcessParamsBuffer
{
    int width;
    int height;
    float width_inv;
    float height_inv;
    int operation;
    int use_output_as_source2;
    float source1_factor;
    float source2_factor;
};

uniform sampler2D sSource1;
uniform sampler2D sSource2;
// OUTPUT_FORMAT is defined by the caller from the output texture's format.
layout(OUTPUT_FORMAT) uniform coherent image2D imDest;

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    // The dispatch rounds the size up to whole groups.
    if (pixel.x >= width || pixel.y >= height)
        return;

    vec4 a = texelFetch(sSource1, pixel, 0);
    vec4 b = use_output_as_source2 != 0 ? imageLoad(imDest, pixel) : texelFetch(sSource2, pixel, 0);
    vec4 result;
    if (operation == 1)
        result = a * source1_factor + b * source2_factor;
    else if (operation == 2)
        result = (a * source1_factor) * (b * source2_factor);
    else
        result = mix(b * source2_factor, a, source1_factor);
    imageStore(imDest, pixel, result);
}
