// CPU-side descriptors of a stage's plain uniforms, read from the GLSL text's top-level declarations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Powers of two, so callers can test sets of types.
enum UniformType : int {
    UNIFORM_TYPE_UNKNOWN = 1, // bool, ivec/uvec/bvec, mat2, non-square and double types, structs, other samplers
    UNIFORM_TYPE_FLOAT = 2,
    UNIFORM_TYPE_INT = 4,
    UNIFORM_TYPE_UINT = 8,
    UNIFORM_TYPE_VEC2 = 16,
    UNIFORM_TYPE_VEC3 = 32,
    UNIFORM_TYPE_VEC4 = 64,
    UNIFORM_TYPE_MAT3 = 128,
    UNIFORM_TYPE_MAT4 = 256,
    UNIFORM_TYPE_SAMPLER2D = 512, // also usampler2D, sampler2DShadow
    UNIFORM_TYPE_SAMPLERCUBE = 1024,
    UNIFORM_TYPE_IMAGE2D = 2048, // also uimage2D
    UNIFORM_TYPE_IMAGE3D = 4096, // also uimage3D
    UNIFORM_TYPE_SAMPLER3D = 8192, // also usampler3D
    UNIFORM_TYPE_SAMPLER2DARRAY = 16384, // also usampler2DArray, sampler2DArrayShadow
};

// Bytes of one element of the CPU copy; 0 for UNIFORM_TYPE_UNKNOWN and codes outside the enum. Sampler and image
// uniforms hold their unit as an int.
int shaderUniformElementSize(UniformType type);

struct ShaderUniform {
    void* value = nullptr; // byteSize bytes from calloc (a placeholder may own more), released by the destructor
    int location = 0;      // set at link; -1: the program has no such active uniform
    bool isArray = false;
    int arraySize = 1;
    bool active = false; // a sampler or image some stage references
    UniformType type = UNIFORM_TYPE_UNKNOWN;
    int byteSize = 0; // element size x arraySize
    std::string name;

    ShaderUniform() = default;
    ~ShaderUniform();
    ShaderUniform(const ShaderUniform&) = delete;
    ShaderUniform& operator=(const ShaderUniform&) = delete;

    // Replaces the value with `bytes` zero bytes; no buffer for 0. byteSize is left to the caller.
    void allocateValue(size_t bytes);
};

// Declarations longer than this (up to their ";") are not read.
constexpr size_t kUniformMaxDeclarationLength = 511;
// Larger arrays are refused rather than allocated; GL's own limits are far below.
constexpr int kUniformMaxArraySize = 65536;

// Descriptors of the unindented "uniform ..." and "layout(...) uniform ..." lines of an expanded text, in source order.
// The caller owns them. Declarations that do not parse are skipped with a warning (uniform block heads silently).
std::vector<ShaderUniform*> shaderParseUniformDeclarations(const char* text);

// Parses one declaration such as "uniform vec3 tint = vec3(1.0);" into a descriptor the caller created empty. False
// when the text is not a valid GLSL declaration of a named uniform; nothing is logged.
bool glslParseUniformDeclaration(const char* declaration, ShaderUniform& uniform);
