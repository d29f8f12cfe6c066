// Shader stages with a process-wide compile cache, linked programs with their reflection (uniforms, storage and
// uniform blocks, texture and image units), hot reload in place, and program use with uniform upload.
// Main thread only.
#pragma once

#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_shader_uniforms.h"

#include <glbinding/gl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct Geometry;
struct ResourceWatch;

// ---- Stages and the compile cache ----

// glShaderId of a stage that had no source to compile.
constexpr unsigned int SHADER_NO_OBJECT = 0xFFFFFFFFu;
// Path of stages built from a string.
extern const char* const SHADER_TEXT_PATH; // "<text>"

struct ShaderStage {
    unsigned int glShaderId = 0;
    std::string path;               // data path, or "<text>"
    unsigned int compileFailed = 0; // 1: no usable shader object
    std::vector<std::string> includedFiles;
    std::string source;             // expanded text as handed to compile_shader, before the "#version" handling
    std::string name;               // caller's name for string stages, empty for file stages
    std::vector<ShaderUniform*> uniforms; // owned

    gl::GLenum type{};              // the stage type it was compiled as
    std::string originalSource;     // string stages: the caller's text before expansion, so rebuilds expand again

    ShaderStage() = default;
    // Releases the uniforms, and the shader object of a failed compilation (only cached objects are shared).
    ~ShaderStage();
    ShaderStage(const ShaderStage&) = delete;
    ShaderStage& operator=(const ShaderStage&) = delete;
};

// The stage type is part of the key: one text compiled as two stage types gives two shader objects.
struct ShaderCacheKey {
    std::string source;
    ShaderDefines defines;
    gl::GLenum type{};

    bool operator==(const ShaderCacheKey& other) const;
};

// 64-bit FNV-1a; `hash` continues an earlier run.
uint64_t shaderHashFnv1a(const void* data, size_t size, uint64_t hash = 14695981039346656037ull);

struct ShaderCacheKeyHash {
    // FNV-1a over the source bytes, continued over the stage type.
    size_t operator()(const ShaderCacheKey& key) const;
};

// A new stage, or null (after a log line) when `type` is not a stage type. The source's own "#version" line is
// turned into a comment in place ("//ersion ...") and sent first.
ShaderStage* compile_shader(const std::string& name, const std::string& path, std::string& source, gl::GLenum type,
                            const std::vector<std::string>& includedFiles, const ShaderDefines& defines);
// 1 when the shader failed to compile (an error line naming the source file; the event log also gets the
// source-number table).
unsigned int shaderstatus(const std::string& name, const std::string& path, gl::GLuint shader,
                          const std::vector<std::string>& includedFiles);
ShaderStage* shaderBuildGenericFromString(const std::string& name, const std::string& source, gl::GLenum type,
                                          const ShaderDefines& defines);
ShaderStage* shaderBuildGenericFromFile(const std::string& path, gl::GLenum type, const ShaderDefines& defines);
// Deep copies; the copies are not active.
std::vector<ShaderUniform*> shaderCloneUniforms(const std::vector<ShaderUniform*>& uniforms);
void shaderCacheStore(const ShaderCacheKey& key, const ShaderStage& stage);
// Entries in the compile cache (successful compilations only).
size_t shaderCacheSize();

// ---- Programs ----

struct ShaderTessStages {
    ShaderStage* evaluation = nullptr;
    ShaderStage* control = nullptr;
};

struct ShaderBlock {
    unsigned int binding = 0;
    unsigned int blockIndex = 0;
    bool referenced = false; // storage blocks only
    std::string name;
    bool inProgram = true; // false once a reload's source no longer declares it (the entry stays)
};

struct ShaderProgram {
    ShaderDefines defines;
    ShaderStage* vertex = nullptr;
    ShaderStage* fragment = nullptr;
    ShaderStage* compute = nullptr;
    ShaderStage* geometry = nullptr;
    ShaderTessStages* tessellation = nullptr;
    unsigned int glProgramId = 0;
    unsigned int errors = 0; // nonzero: do not draw with it
    unsigned int uniformErrorReported = 0;
    int samplerUnits = 0;
    int imageUnits = 0;
    std::unordered_map<std::string, ShaderUniform*> uniforms; // not owned (stages and `owned` hold them)
    std::unordered_map<std::string, ShaderBlock*> storageBlocks;
    std::unordered_map<std::string, ShaderBlock*> uniformBlocks;
    int serial = 0;

    bool linked = false; // glProgramId holds a successfully linked program
    // Descriptors the program made itself: placeholders handed out by shaderFindUniformByName and sampler or
    // image uniforms GL reports that no stage declaration describes. Kept for the program's life, so pointers
    // callers hold stay valid across reloads.
    std::vector<std::unique_ptr<ShaderUniform>> owned;
    std::unordered_map<std::string, ShaderUniform*> placeholders; // by name + type
    std::unordered_map<std::string, ShaderUniform*> reflected;    // by name
    std::unordered_set<std::string> reported;                     // one-time warnings already given
    bool useErrorReported = false;

    ShaderProgram() = default;
    // CPU side only (stages, blocks, descriptors); shaderDeleteProgram also releases the GL program and watches.
    ~ShaderProgram();
    ShaderProgram(const ShaderProgram&) = delete;
    ShaderProgram& operator=(const ShaderProgram&) = delete;
};

extern int shaderProgramSerial;

// Loaders: never null for a valid request; a failed build comes back with `errors` set. They register the files
// (and everything included) for hot reload.
ShaderProgram* shaderLoadProgram(const std::string& vsPath, const std::string& fsPath, const ShaderDefines& defines);
ShaderProgram* shaderLoadProgramStages(const std::string& vsPath, const std::string& fsPath,
                                       const std::string& tcsPath, const std::string& tesPath,
                                       const std::string& gsPath, const ShaderDefines& defines);
ShaderProgram* shaderLoadProgramCompute(const std::string& path, const ShaderDefines& defines);
ShaderProgram* shaderBuildProgramFromStrings(const std::string& name, const std::string& vsSource,
                                             const std::string& fsSource, const ShaderDefines& defines);
// Link prebuilt stages (the program owns them afterwards). Compute: null when the stage is null.
ShaderProgram* shaderBuildProgram(ShaderStage* vertex, ShaderStage* fragment, ShaderTessStages* tessellation,
                                  ShaderStage* geometry);
ShaderProgram* shaderBuildProgramCompute(ShaderStage* compute);

// Rebuilds in place from the same files (string stages: from their texts) and defines. True when the program is
// usable afterwards; a failed rebuild keeps the old GL program running but sets `errors`.
bool shaderReloadProgram(ShaderProgram* program);
bool shaderReloadCallback(ResourceWatch* watch, ShaderProgram* program);
// A new, independent program built the same way with the program's defines.
ShaderProgram* shaderCloneProgram(const ShaderProgram* program);
// Releases the program, its stages, GL program and hot-reload watches. Shared shader objects stay alive.
void shaderDeleteProgram(ShaderProgram* program);

void shaderCollectUniforms(ShaderProgram* program);
void shaderCollectStorageBlocks(ShaderProgram* program);
void shaderCollectUniformBlocks(ShaderProgram* program);
void shaderAssignTextureUnits(ShaderProgram* program);

// ---- Use and uniform upload ----

extern ShaderProgram* shaderCurrentProgram;

// Binds the program and uploads all its uniforms; null unbinds. False when the program was never linked
// (nothing is bound then).
bool shaderUseProgram(ShaderProgram* program);
// Uploads elements first .. first + count - 1 to the bound program.
void shaderUpdateGLUniformValueArray(ShaderProgram* program, ShaderUniform* uniform, int first, unsigned int count);
// Never null. A missing name, or a uniform whose type or size does not fit the request, gives a placeholder
// (location -1, 64 zero bytes) after one warning. An int request is served by a sampler or image uniform (its unit).
ShaderUniform* shaderFindUniformByName(ShaderProgram* program, const char* name, UniformType type);
// The setter pattern in one call: copies up to `bytes` into the uniform's value and uploads element 0 .. when the
// program is bound.
void shaderSetUniform(ShaderProgram* program, const char* name, UniformType type, const void* value, size_t bytes);
// Logs every pending GL error with the formatted message (cut at 512 bytes); returns the first one, 0 for none.
gl::GLenum checkGlError(const char* format, ...) __attribute__((format(printf, 1, 2)));

void shaderSetOrthographic(ShaderProgram* program, float x, float y, float z, float width, float height, float depth);
// Uploads a dirty geometry, binds its vertex array and its attribute buffers to the blocks of their names.
void shaderSetAttributesFromGeometry(ShaderProgram* program, Geometry* geometry);
// "vtx_builtin_buffers": bit n set when built-in attribute n (VTXCoords .. VTXBonesWeights) is present.
void shaderSetBuiltinBuffersMask(const Geometry* geometry, ShaderProgram* program);
