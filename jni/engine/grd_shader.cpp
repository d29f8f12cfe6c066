#include "jni/engine/grd_shader.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_program_cache.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

using namespace gl;

const char* const SHADER_TEXT_PATH = "<text>";
int shaderProgramSerial = 0;
ShaderProgram* shaderCurrentProgram = nullptr;

namespace {

// A "#version" line must fit this buffer with its terminating zero.
constexpr size_t kMaxVersionLine = 255;
// Room for any single value, a mat4 included.
constexpr size_t kPlaceholderBytes = 64;

constexpr UniformType kOpaqueTypes[] = {UNIFORM_TYPE_SAMPLER2D, UNIFORM_TYPE_SAMPLERCUBE, UNIFORM_TYPE_IMAGE2D,
                                        UNIFORM_TYPE_IMAGE3D,   UNIFORM_TYPE_SAMPLER3D,   UNIFORM_TYPE_SAMPLER2DARRAY};

bool isOpaque(UniformType type)
{
    return std::find(std::begin(kOpaqueTypes), std::end(kOpaqueTypes), type) != std::end(kOpaqueTypes);
}

bool isStageType(GLenum type)
{
    return type == GL_VERTEX_SHADER || type == GL_FRAGMENT_SHADER || type == GL_GEOMETRY_SHADER ||
           type == GL_TESS_CONTROL_SHADER || type == GL_TESS_EVALUATION_SHADER || type == GL_COMPUTE_SHADER;
}

bool isTextStage(const ShaderStage* stage)
{
    return stage && stage->path == SHADER_TEXT_PATH;
}

const char* pathOrEmpty(const ShaderStage* stage)
{
    return stage && !stage->path.empty() ? stage->path.c_str() : "<empty>";
}

// ---- Compile cache ----

struct ShaderCache {
    std::unordered_map<ShaderCacheKey, ShaderStage*, ShaderCacheKeyHash> entries;
    ~ShaderCache()
    {
        for (auto& entry : entries)
            delete entry.second;
    }
};

ShaderCache& shaderCache()
{
    static ShaderCache cache;
    return cache;
}

// ---- Stage slots ----

enum class Slot { Vertex, Fragment, Geometry, TessControl, TessEvaluation, Compute };

ShaderStage* stageAt(const ShaderProgram* program, Slot slot)
{
    switch (slot) {
    case Slot::Vertex: return program->vertex;
    case Slot::Fragment: return program->fragment;
    case Slot::Geometry: return program->geometry;
    case Slot::TessControl: return program->tessellation ? program->tessellation->control : nullptr;
    case Slot::TessEvaluation: return program->tessellation ? program->tessellation->evaluation : nullptr;
    case Slot::Compute: return program->compute;
    }
    return nullptr;
}

// Uniform location and hot-reload registration order.
constexpr Slot kBuildOrder[] = {Slot::Vertex, Slot::Fragment, Slot::Geometry, Slot::TessControl,
                                Slot::TessEvaluation, Slot::Compute};
// Later stages replace earlier ones of the same uniform name, so the vertex stage's descriptor wins.
constexpr Slot kCollectOrder[] = {Slot::Fragment, Slot::Vertex, Slot::Geometry, Slot::Compute, Slot::TessControl,
                                  Slot::TessEvaluation};

template <typename F>
void forEachStage(const ShaderProgram* program, const Slot (&order)[6], F&& f)
{
    for (Slot slot : order)
        if (ShaderStage* stage = stageAt(program, slot))
            f(stage);
}

ShaderProgram* newProgram()
{
    auto* program = new ShaderProgram;
    program->serial = shaderProgramSerial++;
    return program;
}

std::string programInfoLog(GLuint id)
{
    GLint length = 0;
    glGetProgramiv(id, GL_INFO_LOG_LENGTH, &length);
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    glGetProgramInfoLog(id, length + 1, nullptr, text.data());
    text.resize(std::strlen(text.c_str()));
    return text;
}


// GLSL initialisers are applied by the linker: the program, not the parser, knows a uniform's first value.
void readInitialValues(ShaderProgram* program)
{
    const GLuint id = program->glProgramId;
    forEachStage(program, kBuildOrder, [&](ShaderStage* stage) {
        for (ShaderUniform* uniform : stage->uniforms) {
            const int elementSize = shaderUniformElementSize(uniform->type);
            if (uniform->location == -1 || !uniform->value || elementSize == 0 || isOpaque(uniform->type))
                continue;
            const int count = uniform->isArray ? uniform->byteSize / elementSize : 1;
            for (int i = 0; i < count; ++i) {
                GLint location = uniform->location;
                if (uniform->isArray)
                    location = glGetUniformLocation(id, fmt::format("{0}[{1}]", uniform->name, i).c_str());
                if (location < 0)
                    continue;
                void* element = static_cast<uint8_t*>(uniform->value) + static_cast<size_t>(i) * elementSize;
                if (uniform->type == UNIFORM_TYPE_INT)
                    glGetnUniformiv(id, location, elementSize, static_cast<GLint*>(element));
                else if (uniform->type == UNIFORM_TYPE_UINT)
                    glGetnUniformuiv(id, location, elementSize, static_cast<GLuint*>(element));
                else
                    glGetnUniformfv(id, location, elementSize, static_cast<GLfloat*>(element));
            }
        }
    });
}

void finishLinkedProgram(ShaderProgram* program)
{
    program->linked = true;
    forEachStage(program, kBuildOrder, [&](ShaderStage* stage) {
        for (ShaderUniform* uniform : stage->uniforms)
            uniform->location = glGetUniformLocation(program->glProgramId, uniform->name.c_str());
    });
    readInitialValues(program);
    shaderCollectUniforms(program);
}

bool linkProgram(GLuint program)
{
    GLint status = 0;
    glLinkProgram(program);
    glGetProgramiv(program, GL_LINK_STATUS, &status);
    return status != 0;
}

// Links a program whose stages all compiled (a failed stage has been reported already; linking would only add a
// second report). A link failure goes to the log and the event log with the message `describe` makes.
template <typename Describe>
void linkOrReport(ShaderProgram* program, Describe&& describe)
{
    if (program->errors)
        return;
    if (linkProgram(program->glProgramId)) {
        finishLinkedProgram(program);
        return;
    }
    const std::string message = describe(programInfoLog(program->glProgramId));
    LOG_INFO("%s", message.c_str());
    grdMessage(message);
    program->errors |= 1;
}

void attachStage(ShaderProgram* program, const ShaderStage* stage)
{
    program->errors |= stage->compileFailed;
    if (!stage->compileFailed)
        glAttachShader(program->glProgramId, stage->glShaderId);
}

void labelProgram(const ShaderProgram* program)
{
    const ShaderStage* first = program->compute ? program->compute : program->fragment ? program->fragment
                                                                                       : program->vertex;
    if (!first)
        return;
    const std::string& label = isTextStage(first) ? first->name : first->path;
    if (!label.empty())
        glObjectLabel(GL_PROGRAM, program->glProgramId, -1, label.c_str());
}

// ---- Hot reload ----

void reloadHandler(ShaderProgram* program)
{
    shaderReloadProgram(program);
}

// Stage files (not texts) first, then every included file, stage by stage.
void registerWatches(ShaderProgram* program)
{
    resSetShaderReloadHandler(reloadHandler);
    forEachStage(program, kBuildOrder, [&](ShaderStage* stage) {
        if (!isTextStage(stage) && !stage->path.empty())
            resRegister(stage->path, program);
    });
    forEachStage(program, kBuildOrder, [&](ShaderStage* stage) {
        for (const std::string& file : stage->includedFiles)
            resRegister(file, program);
    });
}

void unregisterStage(const ShaderStage* stage, ShaderProgram* program)
{
    for (const std::string& file : stage->includedFiles)
        resUnregister(file, program);
    resUnregister(stage->path, program);
}

void unregisterAll(ShaderProgram* program)
{
    std::vector<std::string> paths;
    for (const ResourceWatch* watch : resWatchList)
        if (watch->userData == program)
            paths.push_back(watch->path);
    for (const std::string& path : paths)
        resUnregister(path, program);
}

// Only shader programs are ever attached to watches, so the program pointer identifies them.
void repointWatches(const ShaderProgram* from, ShaderProgram* to)
{
    for (ResourceWatch* watch : resWatchList)
        if (watch->userData == from)
            watch->userData = to;
}

// Rebuilds go through the program cache as well: material copies and define changes are most of the programs.
// Declared here, defined with the cache below.
struct StageText;
ShaderProgram* relinkFromStages(const ShaderProgram* program, const ShaderDefines& defines);

// The same stages rebuilt with `defines`, registered for hot reload; null for a program with neither a compute
// stage nor a vertex and fragment pair.
ShaderProgram* rebuildProgram(const ShaderProgram* program, const ShaderDefines& defines)
{
    ShaderProgram* rebuilt = relinkFromStages(program, defines);
    if (!rebuilt)
        return nullptr;
    registerWatches(rebuilt);
    rebuilt->defines = defines;
    return rebuilt;
}

// Bytes a descriptor's value buffer holds; placeholders carry more than their byteSize of 0.
size_t valueCapacity(const ShaderUniform* uniform)
{
    if (!uniform->value)
        return 0;
    if (uniform->byteSize == 0 && uniform->location == -1)
        return kPlaceholderBytes;
    return static_cast<size_t>(uniform->byteSize);
}

// Values set at run time survive a reload when the uniform keeps its type; array size changes keep the overlap.
void carryOverValues(const ShaderProgram* from, ShaderProgram* to)
{
    for (auto& [name, uniform] : to->uniforms) {
        auto old = from->uniforms.find(name);
        if (old == from->uniforms.end() || old->second->type != uniform->type || !uniform->value)
            continue;
        const size_t bytes = std::min(valueCapacity(old->second), valueCapacity(uniform));
        if (bytes)
            std::memcpy(uniform->value, old->second->value, bytes);
    }
}

void moveStages(ShaderProgram* from, ShaderProgram* to)
{
    to->vertex = std::exchange(from->vertex, nullptr);
    to->fragment = std::exchange(from->fragment, nullptr);
    to->compute = std::exchange(from->compute, nullptr);
    to->geometry = std::exchange(from->geometry, nullptr);
    to->tessellation = std::exchange(from->tessellation, nullptr);
}

// ---- Texture units ----

// The uniform type a sampler or image GL type binds as; UNKNOWN for every non-opaque type. Image types that
// address layers (3D, cube, arrays) bind as UNIFORM_TYPE_IMAGE3D, which is bound layered.
UniformType opaqueUniformType(GLenum type)
{
    switch (type) {
    case GL_SAMPLER_1D: case GL_SAMPLER_2D: case GL_SAMPLER_1D_SHADOW: case GL_SAMPLER_2D_SHADOW:
    case GL_SAMPLER_2D_RECT: case GL_SAMPLER_2D_RECT_SHADOW: case GL_SAMPLER_BUFFER: case GL_SAMPLER_2D_MULTISAMPLE:
    case GL_INT_SAMPLER_1D: case GL_INT_SAMPLER_2D: case GL_INT_SAMPLER_2D_RECT: case GL_INT_SAMPLER_BUFFER:
    case GL_INT_SAMPLER_2D_MULTISAMPLE: case GL_UNSIGNED_INT_SAMPLER_1D: case GL_UNSIGNED_INT_SAMPLER_2D:
    case GL_UNSIGNED_INT_SAMPLER_2D_RECT: case GL_UNSIGNED_INT_SAMPLER_BUFFER:
    case GL_UNSIGNED_INT_SAMPLER_2D_MULTISAMPLE:
        return UNIFORM_TYPE_SAMPLER2D;
    case GL_SAMPLER_CUBE: case GL_SAMPLER_CUBE_SHADOW: case GL_INT_SAMPLER_CUBE: case GL_UNSIGNED_INT_SAMPLER_CUBE:
    case GL_SAMPLER_CUBE_MAP_ARRAY: case GL_SAMPLER_CUBE_MAP_ARRAY_SHADOW: case GL_INT_SAMPLER_CUBE_MAP_ARRAY:
    case GL_UNSIGNED_INT_SAMPLER_CUBE_MAP_ARRAY:
        return UNIFORM_TYPE_SAMPLERCUBE;
    case GL_SAMPLER_3D: case GL_INT_SAMPLER_3D: case GL_UNSIGNED_INT_SAMPLER_3D:
        return UNIFORM_TYPE_SAMPLER3D;
    case GL_SAMPLER_1D_ARRAY: case GL_SAMPLER_2D_ARRAY: case GL_SAMPLER_1D_ARRAY_SHADOW:
    case GL_SAMPLER_2D_ARRAY_SHADOW: case GL_SAMPLER_2D_MULTISAMPLE_ARRAY: case GL_INT_SAMPLER_1D_ARRAY:
    case GL_INT_SAMPLER_2D_ARRAY: case GL_INT_SAMPLER_2D_MULTISAMPLE_ARRAY: case GL_UNSIGNED_INT_SAMPLER_1D_ARRAY:
    case GL_UNSIGNED_INT_SAMPLER_2D_ARRAY: case GL_UNSIGNED_INT_SAMPLER_2D_MULTISAMPLE_ARRAY:
        return UNIFORM_TYPE_SAMPLER2DARRAY;
    case GL_IMAGE_1D: case GL_IMAGE_2D: case GL_IMAGE_2D_RECT: case GL_IMAGE_BUFFER: case GL_IMAGE_2D_MULTISAMPLE:
    case GL_INT_IMAGE_1D: case GL_INT_IMAGE_2D: case GL_INT_IMAGE_2D_RECT: case GL_INT_IMAGE_BUFFER:
    case GL_INT_IMAGE_2D_MULTISAMPLE: case GL_UNSIGNED_INT_IMAGE_1D: case GL_UNSIGNED_INT_IMAGE_2D:
    case GL_UNSIGNED_INT_IMAGE_2D_RECT: case GL_UNSIGNED_INT_IMAGE_BUFFER: case GL_UNSIGNED_INT_IMAGE_2D_MULTISAMPLE:
        return UNIFORM_TYPE_IMAGE2D;
    case GL_IMAGE_3D: case GL_IMAGE_CUBE: case GL_IMAGE_1D_ARRAY: case GL_IMAGE_2D_ARRAY: case GL_IMAGE_CUBE_MAP_ARRAY:
    case GL_IMAGE_2D_MULTISAMPLE_ARRAY: case GL_INT_IMAGE_3D: case GL_INT_IMAGE_CUBE: case GL_INT_IMAGE_1D_ARRAY:
    case GL_INT_IMAGE_2D_ARRAY: case GL_INT_IMAGE_CUBE_MAP_ARRAY: case GL_INT_IMAGE_2D_MULTISAMPLE_ARRAY:
    case GL_UNSIGNED_INT_IMAGE_3D: case GL_UNSIGNED_INT_IMAGE_CUBE: case GL_UNSIGNED_INT_IMAGE_1D_ARRAY:
    case GL_UNSIGNED_INT_IMAGE_2D_ARRAY: case GL_UNSIGNED_INT_IMAGE_CUBE_MAP_ARRAY:
    case GL_UNSIGNED_INT_IMAGE_2D_MULTISAMPLE_ARRAY:
        return UNIFORM_TYPE_IMAGE3D;
    default:
        return UNIFORM_TYPE_UNKNOWN;
    }
}

void shapeUnitHolder(ShaderUniform* uniform, UniformType type, int elements)
{
    uniform->type = type;
    uniform->arraySize = elements;
    uniform->isArray = uniform->isArray || elements > 1;
    uniform->byteSize = 4 * elements;
    uniform->allocateValue(static_cast<size_t>(uniform->byteSize));
}

// The descriptor that carries the units of an opaque uniform: the stage's own when it can hold them, reshaped
// when the parser could not type it (isampler2D, samplerCubeShadow, image2DArray, ...), or one the program makes
// for a declaration the scanner did not collect. Without a unit such a uniform would sit on unit 0 next to a
// sampler of another type, and draws would fail.
ShaderUniform* unitHolder(ShaderProgram* program, const std::string& name, UniformType type, int elements)
{
    auto found = program->uniforms.find(name);
    if (found != program->uniforms.end()) {
        ShaderUniform* uniform = found->second;
        if (!isOpaque(uniform->type) || !uniform->value || uniform->byteSize < 4)
            shapeUnitHolder(uniform, type, elements);
        return uniform;
    }
    ShaderUniform*& uniform = program->reflected[name];
    if (!uniform) {
        program->owned.push_back(std::make_unique<ShaderUniform>());
        uniform = program->owned.back().get();
        uniform->name = name;
    }
    if (uniform->type != type || uniform->arraySize != elements || !uniform->value)
        shapeUnitHolder(uniform, type, elements);
    uniform->location = glGetUniformLocation(program->glProgramId, name.c_str());
    program->uniforms[name] = uniform;
    return uniform;
}

constexpr GLenum kReferencedBy[] = {GL_REFERENCED_BY_VERTEX_SHADER,   GL_REFERENCED_BY_TESS_CONTROL_SHADER,
                                    GL_REFERENCED_BY_TESS_EVALUATION_SHADER, GL_REFERENCED_BY_GEOMETRY_SHADER,
                                    GL_REFERENCED_BY_FRAGMENT_SHADER, GL_REFERENCED_BY_COMPUTE_SHADER};

// Name of active resource i of an interface; empty when it has none.
std::string resourceName(GLuint program, GLenum interface, GLuint index)
{
    char name[256] = {};
    GLsizei length = 0;
    glGetProgramResourceName(program, interface, index, sizeof(name), &length, name);
    return std::string(name, static_cast<size_t>(std::max(length, 0)));
}

// Reads `props` of resource i; values[0..n) receive them.
template <size_t N>
void resourceProps(GLuint program, GLenum interface, GLuint index, const std::array<GLenum, N>& props,
                   std::array<GLint, N>& values)
{
    values.fill(0);
    glGetProgramResourceiv(program, interface, index, static_cast<GLsizei>(N), props.data(),
                           static_cast<GLsizei>(N), nullptr, values.data());
}

template <size_t N>
bool anyReferenced(const std::array<GLint, N>& values, size_t from)
{
    for (size_t i = from; i < N; ++i)
        if (values[i])
            return true;
    return false;
}

std::array<GLenum, 7> referenceProps(GLenum first)
{
    std::array<GLenum, 7> props{};
    props[0] = first;
    std::copy(std::begin(kReferencedBy), std::end(kReferencedBy), props.begin() + 1);
    return props;
}

// Some drivers (Mesa 22's llvmpipe among them) report a storage block whose unsized array is indexed dynamically
// as referenced by no stage, which would leave every vertex-pulling block unbound. A tiny probe program finds out
// once; where the report cannot be trusted, every active storage block counts as referenced.
bool probeStorageReferences()
{
    const char* source = "#version 430\nlayout(local_size_x = 1) in;\n"
                         "layout(std430) buffer Probe { uint probeValues[]; };\n"
                         "void main() { probeValues[gl_GlobalInvocationID.x] = 1u; }\n";
    const GLuint shader = glCreateShader(GL_COMPUTE_SHADER);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    const GLuint program = glCreateProgram();
    glAttachShader(program, shader);
    GLint referenced = 0;
    if (linkProgram(program)) {
        const GLenum prop = GL_REFERENCED_BY_COMPUTE_SHADER;
        glGetProgramResourceiv(program, GL_SHADER_STORAGE_BLOCK, 0, 1, &prop, 1, nullptr, &referenced);
    }
    glDeleteProgram(program);
    glDeleteShader(shader);
    if (!referenced)
        LOG_WARNING("The GL driver does not tell which stages use a storage block; every active block is bound");
    return referenced != 0;
}

bool storageReferencesReliable()
{
    static const bool reliable = probeStorageReferences();
    return reliable;
}

// Storage blocks: unbound referenced ones go above the highest binding. Uniform blocks: every unbound one goes
// 14 above it. Blocks a reloaded source dropped keep their entry but are no longer in the program.
void collectBlocks(ShaderProgram* program, bool storage)
{
    auto& blocks = storage ? program->storageBlocks : program->uniformBlocks;
    const GLenum interface = storage ? GL_SHADER_STORAGE_BLOCK : GL_UNIFORM_BLOCK;
    for (auto& entry : blocks)
        entry.second->inProgram = false;

    if (program->linked) {
        const GLuint id = program->glProgramId;
        GLint count = 0;
        glGetProgramInterfaceiv(id, interface, GL_ACTIVE_RESOURCES, &count);
        const auto props = referenceProps(GL_BUFFER_BINDING);
        for (GLuint i = 0; i < static_cast<GLuint>(std::max(count, 0)); ++i) {
            const std::string name = resourceName(id, interface, i);
            if (name.empty())
                continue;
            std::array<GLint, 7> values{};
            resourceProps(id, interface, i, props, values);
            ShaderBlock*& block = blocks[name];
            if (!block)
                block = new ShaderBlock;
            block->name = name;
            block->binding = static_cast<unsigned int>(std::max(values[0], 0));
            block->blockIndex = i;
            block->referenced = storage && (anyReferenced(values, 1) || !storageReferencesReliable());
            block->inProgram = true;
        }
    }

    unsigned int highest = 0;
    for (const auto& entry : blocks)
        highest = std::max(highest, entry.second->binding);
    unsigned int next = storage ? highest + 1 : highest + 14;
    for (auto& entry : blocks) {
        ShaderBlock* block = entry.second;
        if (!block->inProgram || block->binding != 0 || (storage && !block->referenced))
            continue;
        if (storage)
            glShaderStorageBlockBinding(program->glProgramId, block->blockIndex, next);
        else
            glUniformBlockBinding(program->glProgramId, block->blockIndex, next);
        block->binding = next++;
    }
}

// ---- Upload ----

// Sampler and image uniforms hold their unit as an int, so an int request may write it.
bool typeServes(UniformType have, UniformType want)
{
    return have == want || (want == UNIFORM_TYPE_INT && isOpaque(have));
}

ShaderUniform* makePlaceholder(ShaderProgram* program, const std::string& name, UniformType type)
{
    const std::string key = fmt::format("{0}#{1}", name, static_cast<int>(type));
    ShaderUniform*& placeholder = program->placeholders[key];
    if (!placeholder) {
        program->owned.push_back(std::make_unique<ShaderUniform>());
        placeholder = program->owned.back().get();
        placeholder->name = name;
        placeholder->location = -1;
        placeholder->type = type;
        placeholder->arraySize = 1;
        placeholder->isArray = false;
        placeholder->byteSize = 0;
        placeholder->allocateValue(kPlaceholderBytes);
    }
    return placeholder;
}

// Uploads to the bound program; errors pending before the call must have been drained by the caller.
void uploadUniform(ShaderProgram* program, ShaderUniform* uniform, int first, unsigned int count)
{
    if (uniform->location == -1)
        return;
    const int elementSize = shaderUniformElementSize(uniform->type);
    if (elementSize == 0) {
        // bool and the other types without a CPU copy; reported once, not on every bind.
        if (program->reported.insert("type:" + uniform->name).second)
            LOG_ERROR("Unknown uniform type:%d for uniform name:<%s>", static_cast<int>(uniform->type),
                      uniform->name.c_str());
        return;
    }
    const int held = static_cast<int>(valueCapacity(uniform) / static_cast<size_t>(elementSize));
    if (first < 0 || first >= held || count == 0) {
        if (count != 0)
            LOG_WARNING("Uniform <%s>: elements %d.. are outside its %d", uniform->name.c_str(), first, held);
        return;
    }
    const GLsizei n = static_cast<GLsizei>(std::min<int64_t>(count, held - first));
    const GLint location = uniform->location + first;
    const uint8_t* bytes = static_cast<const uint8_t*>(uniform->value) + static_cast<size_t>(first) * elementSize;
    const auto* f = reinterpret_cast<const GLfloat*>(bytes);
    switch (uniform->type) {
    case UNIFORM_TYPE_FLOAT: glUniform1fv(location, n, f); break;
    case UNIFORM_TYPE_UINT: glUniform1uiv(location, n, reinterpret_cast<const GLuint*>(bytes)); break;
    case UNIFORM_TYPE_VEC2: glUniform2fv(location, n, f); break;
    case UNIFORM_TYPE_VEC3: glUniform3fv(location, n, f); break;
    case UNIFORM_TYPE_VEC4: glUniform4fv(location, n, f); break;
    case UNIFORM_TYPE_MAT3: glUniformMatrix3fv(location, n, GL_FALSE, f); break;
    case UNIFORM_TYPE_MAT4: glUniformMatrix4fv(location, n, GL_FALSE, f); break;
    default: glUniform1iv(location, n, reinterpret_cast<const GLint*>(bytes)); break; // int, samplers, images
    }

    const GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return;
    if (program->errors == 0 && program->uniformErrorReported == 0) {
        char message[512];
        std::snprintf(message, sizeof(message), "UpdateUniformValue:%s (program:%s, %s)", uniform->name.c_str(),
                      pathOrEmpty(program->vertex), pathOrEmpty(program->fragment));
        LOG_INFO("GLError:%s() : (0x%x)", message, static_cast<unsigned int>(error));
        checkGlError("%s", message);
        program->uniformErrorReported = 1;
    } else {
        while (glGetError() != GL_NO_ERROR) {
        }
    }
}

// Errors left by unrelated GL work are logged as such, not blamed on the program's uniforms.
void drainStaleErrors()
{
    checkGlError("before uniform upload");
}

// ---- Program binary cache ----

// A stage's expanded text before it is compiled: programs are looked up in the binary cache by these texts, and only
// a miss compiles them.
struct StageText {
    GLenum type{};
    std::string name; // text stages only
    std::string path; // data path or "<text>"
    std::string text;
    std::vector<std::string> files;
    bool fromString = false;
    std::string originalSource; // text stages: the caller's text
};

StageText fileStageText(const std::string& path, GLenum type, const ShaderDefines& defines)
{
    StageText t;
    t.type = type;
    t.path = path;
    char* loaded = shaderLoadPreprocessInclude(path, defines, t.files);
    t.text = loaded ? loaded : "";
    std::free(loaded);
    return t;
}

StageText stringStageText(const std::string& name, const std::string& source, GLenum type,
                          const ShaderDefines& defines)
{
    StageText t;
    t.type = type;
    t.name = name;
    t.path = SHADER_TEXT_PATH;
    t.fromString = true;
    t.originalSource = source;
    ShaderPreprocessResult result = shaderPreprocessInclude(source.c_str(), SHADER_TEXT_PATH, defines, t.files);
    if (result.ok) {
        t.text = std::move(result.text);
        return t;
    }
    const std::string message = fmt::format("Failed to preprocess: <{0}>", name);
    LOG_ERROR("%s", message.c_str());
    grdMessageLine(message);
    for (const std::string& line : result.messages) {
        LOG_ERROR("  %s", line.c_str());
        grdMessageLine("  " + line);
    }
    return t;
}

ShaderStage* compileStageText(StageText& t, const ShaderDefines& defines)
{
    ShaderStage* stage = compile_shader(t.name, t.path, t.text, t.type, t.files, defines);
    if (stage && t.fromString)
        stage->originalSource = t.originalSource;
    return stage;
}

// The driver, the defines in name order (the map has none), then each stage's type and text.
uint64_t programKey(const std::vector<StageText>& texts, const ShaderDefines& defines)
{
    const uint64_t driver = programCacheDriverKey();
    uint64_t hash = shaderHashFnv1a(&driver, sizeof driver);
    std::vector<std::pair<std::string, std::string>> sorted(defines.begin(), defines.end());
    std::sort(sorted.begin(), sorted.end());
    for (const auto& [name, value] : sorted) {
        hash = shaderHashFnv1a(name.c_str(), name.size() + 1, hash);
        hash = shaderHashFnv1a(value.c_str(), value.size() + 1, hash);
    }
    for (const StageText& t : texts) {
        const uint32_t type = static_cast<uint32_t>(t.type);
        hash = shaderHashFnv1a(&type, sizeof type, hash);
        hash = shaderHashFnv1a(t.text.c_str(), t.text.size() + 1, hash);
    }
    return hash;
}

// A stage known from its text alone: its program came from the cache, so it has no shader object.
ShaderStage* uncompiledStage(const StageText& t)
{
    auto* stage = new ShaderStage;
    stage->name = t.name;
    stage->path = t.path;
    stage->source = t.text;
    stage->includedFiles = t.files;
    stage->type = t.type;
    if (t.fromString)
        stage->originalSource = t.originalSource;
    stage->uniforms = shaderParseUniformDeclarations(t.text.c_str());
    return stage;
}

void placeStage(ShaderProgram* program, ShaderStage* stage)
{
    switch (stage->type) {
    case GL_VERTEX_SHADER: program->vertex = stage; break;
    case GL_FRAGMENT_SHADER: program->fragment = stage; break;
    case GL_GEOMETRY_SHADER: program->geometry = stage; break;
    case GL_COMPUTE_SHADER: program->compute = stage; break;
    case GL_TESS_CONTROL_SHADER:
    case GL_TESS_EVALUATION_SHADER:
        if (!program->tessellation)
            program->tessellation = new ShaderTessStages;
        (stage->type == GL_TESS_CONTROL_SHADER ? program->tessellation->control
                                               : program->tessellation->evaluation) = stage;
        break;
    default: delete stage; break;
    }
}

// The program linked from its cache entry, or null (the caller builds from source) when there is no usable entry.
ShaderProgram* programFromCache(const std::vector<StageText>& texts, uint64_t key)
{
    ProgramCacheEntry entry;
    if (!programCacheLoad(key, entry))
        return nullptr;
    const GLuint id = glCreateProgram();
    glProgramBinary(id, static_cast<GLenum>(entry.format), entry.binary.data(),
                    static_cast<GLsizei>(entry.binary.size()));
    GLint status = 0;
    glGetProgramiv(id, GL_LINK_STATUS, &status);
    if (!status) {
        LOG_WARNING("Program cache entry <%s> was refused by the driver; building from source",
                    programCacheFile(key).c_str());
        glDeleteProgram(id);
        // An unknown format is a GL error as well; it belongs to this lookup, not to whatever runs next.
        while (glGetError() != GL_NO_ERROR) {
        }
        --programCacheCounters.hits;
        ++programCacheCounters.rejected;
        return nullptr;
    }
    ShaderProgram* program = newProgram();
    program->glProgramId = id;
    for (const StageText& t : texts)
        placeStage(program, uncompiledStage(t));
    labelProgram(program);
    finishLinkedProgram(program);
    return program;
}

void storeProgram(const ShaderProgram* program, uint64_t key)
{
    GLint length = 0;
    glGetProgramiv(program->glProgramId, GL_PROGRAM_BINARY_LENGTH, &length);
    if (length <= 0)
        return;
    ProgramCacheEntry entry;
    entry.binary.resize(static_cast<size_t>(length));
    GLsizei written = 0;
    GLenum format{};
    glGetProgramBinary(program->glProgramId, length, &written, &format, entry.binary.data());
    if (written <= 0)
        return;
    entry.binary.resize(static_cast<size_t>(written));
    entry.format = static_cast<uint32_t>(format);
    programCacheStore(key, entry);
}

StageText* findText(std::vector<StageText>& texts, GLenum type)
{
    for (StageText& t : texts)
        if (t.type == type)
            return &t;
    return nullptr;
}

// Looks the program up in the binary cache; a miss compiles the stages (in the order vertex, fragment, tessellation
// control and evaluation, geometry), links them and stores the result.
ShaderProgram* linkStageTexts(std::vector<StageText>& texts, const ShaderDefines& defines)
{
    bool cacheable = programCacheEnabled();
    for (const StageText& t : texts)
        cacheable = cacheable && !t.text.empty(); // a missing file or failed expansion is reported by the build
    const uint64_t key = cacheable ? programKey(texts, defines) : 0;
    if (cacheable)
        if (ShaderProgram* cached = programFromCache(texts, key))
            return cached;

    ShaderProgram* program = nullptr;
    if (StageText* compute = findText(texts, GL_COMPUTE_SHADER)) {
        program = shaderBuildProgramCompute(compileStageText(*compute, defines));
    } else {
        StageText* vertex = findText(texts, GL_VERTEX_SHADER);
        StageText* fragment = findText(texts, GL_FRAGMENT_SHADER);
        StageText* control = findText(texts, GL_TESS_CONTROL_SHADER);
        StageText* evaluation = findText(texts, GL_TESS_EVALUATION_SHADER);
        StageText* geometry = findText(texts, GL_GEOMETRY_SHADER);
        ShaderStage* vs = vertex ? compileStageText(*vertex, defines) : nullptr;
        ShaderStage* fs = fragment ? compileStageText(*fragment, defines) : nullptr;
        ShaderTessStages* tessellation = nullptr;
        if (control && evaluation) {
            tessellation = new ShaderTessStages;
            tessellation->control = compileStageText(*control, defines);
            tessellation->evaluation = compileStageText(*evaluation, defines);
        }
        ShaderStage* gs = geometry ? compileStageText(*geometry, defines) : nullptr;
        program = shaderBuildProgram(vs, fs, tessellation, gs);
    }
    if (cacheable && program && program->linked && !program->errors)
        storeProgram(program, key);
    return program;
}

// A stage's text read again: file stages from their files, text stages from the caller's text (or, for a text
// its owner expanded itself, that text).
StageText stageTextAgain(const ShaderStage* stage, GLenum type, const ShaderDefines& defines)
{
    if (!isTextStage(stage))
        return fileStageText(stage->path, type, defines);
    if (!stage->originalSource.empty() || stage->source.empty())
        return stringStageText(stage->name, stage->originalSource, type, defines);
    StageText t;
    t.type = type;
    t.name = stage->name;
    t.path = SHADER_TEXT_PATH;
    t.text = stage->source;
    t.files = stage->includedFiles;
    return t;
}

ShaderProgram* relinkFromStages(const ShaderProgram* program, const ShaderDefines& defines)
{
    std::vector<StageText> texts;
    if (program->compute) {
        texts.push_back(stageTextAgain(program->compute, GL_COMPUTE_SHADER, defines));
    } else if (program->vertex && program->fragment) {
        texts.push_back(stageTextAgain(program->vertex, GL_VERTEX_SHADER, defines));
        texts.push_back(stageTextAgain(program->fragment, GL_FRAGMENT_SHADER, defines));
        if (program->tessellation && program->tessellation->control && program->tessellation->evaluation) {
            texts.push_back(stageTextAgain(program->tessellation->control, GL_TESS_CONTROL_SHADER, defines));
            texts.push_back(stageTextAgain(program->tessellation->evaluation, GL_TESS_EVALUATION_SHADER, defines));
        }
        if (program->geometry)
            texts.push_back(stageTextAgain(program->geometry, GL_GEOMETRY_SHADER, defines));
    } else {
        return nullptr;
    }
    return linkStageTexts(texts, defines);
}

} // namespace

// ---- Stages ----

ShaderStage::~ShaderStage()
{
    for (ShaderUniform* uniform : uniforms)
        delete uniform;
    // A failed compilation never enters the cache, so nothing else shares its object.
    if (compileFailed && glShaderId != 0 && glShaderId != SHADER_NO_OBJECT)
        glDeleteShader(glShaderId);
}

bool ShaderCacheKey::operator==(const ShaderCacheKey& other) const
{
    return type == other.type && source == other.source && defines == other.defines;
}

uint64_t shaderHashFnv1a(const void* data, size_t size, uint64_t hash)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

size_t ShaderCacheKeyHash::operator()(const ShaderCacheKey& key) const
{
    const uint32_t type = static_cast<uint32_t>(key.type);
    return static_cast<size_t>(shaderHashFnv1a(&type, sizeof(type), shaderHashFnv1a(key.source.data(), key.source.size())));
}

std::vector<ShaderUniform*> shaderCloneUniforms(const std::vector<ShaderUniform*>& uniforms)
{
    std::vector<ShaderUniform*> copies;
    copies.reserve(uniforms.size());
    for (const ShaderUniform* uniform : uniforms) {
        auto* copy = new ShaderUniform;
        copy->name = uniform->name;
        copy->location = uniform->location;
        copy->isArray = uniform->isArray;
        copy->arraySize = uniform->arraySize;
        copy->type = uniform->type;
        copy->byteSize = uniform->byteSize;
        copy->active = false;
        if (uniform->byteSize > 0) {
            copy->allocateValue(static_cast<size_t>(uniform->byteSize));
            if (uniform->value)
                std::memcpy(copy->value, uniform->value, static_cast<size_t>(uniform->byteSize));
        }
        copies.push_back(copy);
    }
    return copies;
}

void shaderCacheStore(const ShaderCacheKey& key, const ShaderStage& stage)
{
    auto& entries = shaderCache().entries;
    if (entries.count(key))
        return;
    auto* copy = new ShaderStage;
    copy->glShaderId = stage.glShaderId;
    copy->includedFiles = stage.includedFiles;
    copy->name = stage.name;
    copy->path = stage.path;
    copy->compileFailed = 0;
    copy->type = key.type;
    copy->uniforms = shaderCloneUniforms(stage.uniforms);
    entries.emplace(key, copy);
}

size_t shaderCacheSize()
{
    return shaderCache().entries.size();
}

unsigned int shaderstatus(const std::string& name, const std::string& path, GLuint shader,
                          const std::vector<std::string>& includedFiles)
{
    GLint status = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
    if (status)
        return 0;
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    length = std::max(length, 0);
    std::string info(static_cast<size_t>(length) + 1, '\0');
    glGetShaderInfoLog(shader, length + 1, nullptr, info.data());
    info.resize(std::strlen(info.c_str()));
    // The driver's text ends in a line break; the file follows it on the same line.
    const size_t end = info.find_last_not_of(" \r\n");
    LOG_ERROR("Could not compile shader:%.*s, in <%s>", end == std::string::npos ? 0 : static_cast<int>(end + 1),
              info.c_str(), path.c_str());
    if (info.empty())
        return 1;

    // Source-string numbers of the "#line" directives: a message "2(17)" points at line 17 of file 2.
    std::string table = fmt::format("0:{0}\n", name);
    for (size_t i = 0; i < includedFiles.size(); ++i)
        table += fmt::format("{0}:{1}\n", i, includedFiles[i]);
    grdMessage(table);
    grdMessage(info);
    return 1;
}

ShaderStage* compile_shader(const std::string& name, const std::string& path, std::string& source, GLenum type,
                            const std::vector<std::string>& includedFiles, const ShaderDefines& defines)
{
    if (!isStageType(type)) {
        LOG_ERROR("Incorrect shader type:0x%x", static_cast<unsigned int>(type));
        return nullptr;
    }
    auto* stage = new ShaderStage;
    stage->name = name;
    stage->path = path;
    stage->source = source;
    stage->includedFiles = includedFiles;
    stage->type = type;

    const ShaderCacheKey key{source, defines, type};
    auto& entries = shaderCache().entries;
    const auto cached = entries.find(key);

    if (source.empty()) {
        stage->compileFailed = 1;
        stage->glShaderId = SHADER_NO_OBJECT;
        return stage;
    }
    if (cached != entries.end()) {
        stage->glShaderId = cached->second->glShaderId;
        stage->compileFailed = cached->second->compileFailed;
        stage->uniforms = shaderCloneUniforms(cached->second->uniforms);
        return stage;
    }

    // The driver wants "#version" first: the source's own line moves in front of the defines and stays behind as
    // a comment, so line numbers do not change.
    std::string versionLine = "#version 430\n";
    const size_t at = source.find("#version");
    if (at != std::string::npos) {
        const size_t end = source.find('\n', at);
        const size_t length = (end == std::string::npos ? source.size() : end + 1) - at;
        if (length > kMaxVersionLine) {
            LOG_ERROR("Shader <%s> from <%s>: its #version line is longer than %zu characters", name.c_str(),
                      path.c_str(), kMaxVersionLine);
            grdMessageLine(fmt::format("Shader <{0}> from <{1}>: #version line too long", name, path));
            stage->compileFailed = 1;
            stage->glShaderId = SHADER_NO_OBJECT;
            return stage;
        }
        versionLine = source.substr(at, length);
        if (versionLine.back() != '\n')
            versionLine += '\n';
        source[at] = '/';
        source[at + 1] = '/';
    }

    const GLuint shader = glCreateShader(type);
    const std::string defineBlock = shaderMakeDefineBlock(defines);
    const char* strings[3];
    GLsizei count = 0;
    strings[count++] = versionLine.c_str();
    if (!defineBlock.empty())
        strings[count++] = defineBlock.c_str();
    strings[count++] = source.c_str();
    glShaderSource(shader, count, strings, nullptr);
    const std::string& label = name.empty() ? path : name;
    if (!label.empty())
        glObjectLabel(GL_SHADER, shader, -1, label.c_str());

    LOG_INFO("Compiling shader <%s> from <%s>", name.c_str(), path.c_str());
    glCompileShader(shader);
    stage->compileFailed = shaderstatus(name, path, shader, stage->includedFiles);
    stage->glShaderId = shader;
    stage->uniforms = shaderParseUniformDeclarations(source.c_str());
    if (!stage->compileFailed)
        shaderCacheStore(key, *stage);
    return stage;
}

ShaderStage* shaderBuildGenericFromString(const std::string& name, const std::string& source, GLenum type,
                                          const ShaderDefines& defines)
{
    StageText t = stringStageText(name, source, type, defines);
    return compileStageText(t, defines);
}

ShaderStage* shaderBuildGenericFromFile(const std::string& path, GLenum type, const ShaderDefines& defines)
{
    StageText t = fileStageText(path, type, defines);
    return compileStageText(t, defines);
}

// ---- Programs ----

ShaderProgram::~ShaderProgram()
{
    delete vertex;
    delete fragment;
    delete compute;
    delete geometry;
    if (tessellation) {
        delete tessellation->control;
        delete tessellation->evaluation;
        delete tessellation;
    }
    for (auto& entry : storageBlocks)
        delete entry.second;
    for (auto& entry : uniformBlocks)
        delete entry.second;
}

ShaderProgram* shaderBuildProgram(ShaderStage* vertex, ShaderStage* fragment, ShaderTessStages* tessellation,
                                  ShaderStage* geometry)
{
    ShaderProgram* program = newProgram();
    program->vertex = vertex;
    program->fragment = fragment;
    program->tessellation = tessellation;
    program->geometry = geometry;
    program->glProgramId = glCreateProgram();
    if (programCacheEnabled())
        glProgramParameteri(program->glProgramId, GL_PROGRAM_BINARY_RETRIEVABLE_HINT, GL_TRUE);

    if (!vertex)
        program->errors |= 1;
    if (tessellation && (!tessellation->control || !tessellation->evaluation))
        program->errors |= 1;
    // Attached in the order vertex, fragment, tessellation control and evaluation, geometry.
    for (Slot slot : {Slot::Vertex, Slot::Fragment, Slot::TessControl, Slot::TessEvaluation, Slot::Geometry})
        if (const ShaderStage* stage = stageAt(program, slot))
            attachStage(program, stage);
    labelProgram(program);

    linkOrReport(program, [&](const std::string& infoLog) {
        return fmt::format("Could not link program vs:{0} fs:{1} gs:{2} : {3}", vertex->path,
                           fragment ? fragment->path : "none", geometry ? geometry->path : "none", infoLog);
    });
    return program;
}

ShaderProgram* shaderBuildProgramCompute(ShaderStage* compute)
{
    if (!compute)
        return nullptr;
    ShaderProgram* program = newProgram();
    program->compute = compute;
    LOG_INFO("Assembling from:%d", static_cast<int>(compute->glShaderId));
    program->glProgramId = glCreateProgram();
    if (programCacheEnabled())
        glProgramParameteri(program->glProgramId, GL_PROGRAM_BINARY_RETRIEVABLE_HINT, GL_TRUE);
    attachStage(program, compute);
    labelProgram(program);
    linkOrReport(program, [&](const std::string& infoLog) {
        return fmt::format("Could not link program cs:{0} : {1}", compute->path, infoLog);
    });
    return program;
}

ShaderProgram* shaderLoadProgramStages(const std::string& vsPath, const std::string& fsPath,
                                       const std::string& tcsPath, const std::string& tesPath,
                                       const std::string& gsPath, const ShaderDefines& defines)
{
    std::vector<StageText> texts;
    texts.push_back(fileStageText(vsPath, GL_VERTEX_SHADER, defines));
    if (!fsPath.empty())
        texts.push_back(fileStageText(fsPath, GL_FRAGMENT_SHADER, defines));
    if (!tcsPath.empty() && !tesPath.empty()) {
        texts.push_back(fileStageText(tcsPath, GL_TESS_CONTROL_SHADER, defines));
        texts.push_back(fileStageText(tesPath, GL_TESS_EVALUATION_SHADER, defines));
    }
    if (!gsPath.empty())
        texts.push_back(fileStageText(gsPath, GL_GEOMETRY_SHADER, defines));
    ShaderProgram* program = linkStageTexts(texts, defines);
    registerWatches(program);
    program->defines = defines;
    return program;
}

ShaderProgram* shaderLoadProgram(const std::string& vsPath, const std::string& fsPath, const ShaderDefines& defines)
{
    return shaderLoadProgramStages(vsPath, fsPath, "", "", "", defines);
}

ShaderProgram* shaderLoadProgramCompute(const std::string& path, const ShaderDefines& defines)
{
    std::vector<StageText> texts;
    texts.push_back(fileStageText(path, GL_COMPUTE_SHADER, defines));
    ShaderProgram* program = linkStageTexts(texts, defines);
    registerWatches(program);
    program->defines = defines;
    return program;
}

ShaderProgram* shaderBuildProgramFromStrings(const std::string& name, const std::string& vsSource,
                                             const std::string& fsSource, const ShaderDefines& defines)
{
    std::vector<StageText> texts;
    texts.push_back(stringStageText(name, vsSource, GL_VERTEX_SHADER, defines));
    texts.push_back(stringStageText(name, fsSource, GL_FRAGMENT_SHADER, defines));
    ShaderProgram* program = linkStageTexts(texts, defines);
    registerWatches(program); // the texts have no file; their includes do
    program->defines = defines;
    return program;
}

ShaderProgram* shaderCloneProgram(const ShaderProgram* program)
{
    if (!program) {
        LOG_ERROR("No shader program to clone");
        return nullptr;
    }
    ShaderProgram* clone = rebuildProgram(program, program->defines);
    if (!clone)
        LOG_ERROR("Shader program %d has no stages to clone", static_cast<int>(program->glProgramId));
    return clone;
}

bool shaderReloadProgram(ShaderProgram* program)
{
    if (!program)
        return false;
    ShaderProgram* rebuilt = rebuildProgram(program, program->defines);
    if (!rebuilt)
        return program->errors == 0;

    if (rebuilt->errors) {
        LOG_INFO("Replacing resource for shader id %d with %d. Keeping old shader running",
                 static_cast<int>(program->glProgramId), static_cast<int>(rebuilt->glProgramId));
        // The old stages keep running but follow the new file set, so fixing any of its files reloads again.
        for (Slot slot : kCollectOrder) {
            ShaderStage* old = stageAt(program, slot);
            if (!old)
                continue;
            unregisterStage(old, program);
            if (ShaderStage* fresh = stageAt(rebuilt, slot)) {
                old->includedFiles = std::move(fresh->includedFiles);
                fresh->includedFiles.clear();
            }
        }
        program->errors = rebuilt->errors;
        program->uniformErrorReported = rebuilt->uniformErrorReported;
        repointWatches(rebuilt, program);
        glDeleteProgram(rebuilt->glProgramId);
        delete rebuilt;
        return false;
    }

    LOG_INFO("Replacing shader id %d with %d", static_cast<int>(program->glProgramId),
             static_cast<int>(rebuilt->glProgramId));
    forEachStage(program, kBuildOrder, [&](ShaderStage* stage) { unregisterStage(stage, program); });
    carryOverValues(program, rebuilt);

    // The old stages go into the shell, which is released with them.
    ShaderProgram old;
    moveStages(program, &old);
    moveStages(rebuilt, program);
    const GLuint oldId = std::exchange(program->glProgramId, rebuilt->glProgramId);
    program->errors = rebuilt->errors;
    program->uniformErrorReported = rebuilt->uniformErrorReported;
    program->linked = rebuilt->linked;
    repointWatches(rebuilt, program);
    shaderCollectUniforms(program);
    if (oldId)
        glDeleteProgram(oldId);
    delete rebuilt;

    const ShaderStage* shown = program->compute ? program->compute : program->fragment;
    const std::string message = fmt::format("Shader reloaded successfully: {0}\n", shown ? shown->path : "");
    grdMessage(message);
    // GL still has the replaced program bound; setters that upload at once must reach the new one.
    if (shaderCurrentProgram == program)
        shaderUseProgram(program);
    return true;
}

bool shaderReloadCallback(ResourceWatch*, ShaderProgram* program)
{
    return shaderReloadProgram(program);
}

void shaderDeleteProgram(ShaderProgram* program)
{
    if (!program)
        return;
    if (shaderCurrentProgram == program)
        shaderUseProgram(nullptr);
    unregisterAll(program);
    if (program->glProgramId)
        glDeleteProgram(program->glProgramId);
    delete program;
}

void shaderCollectUniforms(ShaderProgram* program)
{
    if (!program)
        return;
    program->uniforms.clear();
    forEachStage(program, kCollectOrder, [&](ShaderStage* stage) {
        for (ShaderUniform* uniform : stage->uniforms)
            program->uniforms[uniform->name] = uniform;
    });
    shaderCollectStorageBlocks(program);
    shaderCollectUniformBlocks(program);
    shaderAssignTextureUnits(program);
}

void shaderCollectStorageBlocks(ShaderProgram* program)
{
    if (program)
        collectBlocks(program, true);
}

void shaderCollectUniformBlocks(ShaderProgram* program)
{
    if (program)
        collectBlocks(program, false);
}

void shaderAssignTextureUnits(ShaderProgram* program)
{
    if (!program)
        return;
    program->samplerUnits = 0;
    program->imageUnits = 0;
    if (!program->linked)
        return;
    const GLuint id = program->glProgramId;
    GLint count = 0;
    glGetProgramInterfaceiv(id, GL_UNIFORM, GL_ACTIVE_RESOURCES, &count);
    std::array<GLenum, 8> props{};
    props[0] = GL_TYPE;
    props[1] = GL_ARRAY_SIZE;
    std::copy(std::begin(kReferencedBy), std::end(kReferencedBy), props.begin() + 2);

    for (GLuint i = 0; i < static_cast<GLuint>(std::max(count, 0)); ++i) {
        std::string name = resourceName(id, GL_UNIFORM, i);
        if (name.empty())
            continue;
        std::array<GLint, 8> values{};
        resourceProps(id, GL_UNIFORM, i, props, values);
        const UniformType type = opaqueUniformType(static_cast<GLenum>(values[0]));
        if (type == UNIFORM_TYPE_UNKNOWN)
            continue;
        // Arrays are reported as "name[0]"; any other suffix (members of arrays of structs) is not ours to map.
        const size_t bracket = name.find('[');
        if (bracket != std::string::npos) {
            if (name.compare(bracket, std::string::npos, "[0]") != 0)
                continue;
            name.resize(bracket);
        }
        const int elements = std::max(values[1], 1);
        const bool image = type == UNIFORM_TYPE_IMAGE2D || type == UNIFORM_TYPE_IMAGE3D;
        int& counter = image ? program->imageUnits : program->samplerUnits;

        ShaderUniform* uniform = unitHolder(program, name, type, elements);
        // Every element gets its own unit, so no element is left on unit 0 beside a sampler of another type.
        auto* units = static_cast<int*>(uniform->value);
        const int held = std::min(elements, uniform->byteSize / 4);
        for (int e = 0; e < held; ++e)
            units[e] = counter + e;
        uniform->active = anyReferenced(values, 2);
        counter += elements;
    }
}

// ---- Use and upload ----

GLenum checkGlError(const char* format, ...)
{
    // Called on every upload: the message is only formatted when there is an error to report.
    const GLenum first = glGetError();
    if (first == GL_NO_ERROR)
        return first;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    for (GLenum error = first; error != GL_NO_ERROR; error = glGetError())
        LOG_INFO("GLError:%s() : (0x%x)", message, static_cast<unsigned int>(error));
    return first;
}

bool shaderUseProgram(ShaderProgram* program)
{
    if (!program) {
        glUseProgram(0);
        shaderCurrentProgram = nullptr;
        return true;
    }
    if (!program->linked) {
        if (!program->useErrorReported)
            LOG_ERROR("Shader program %d <%s> did not build; nothing is bound", static_cast<int>(program->glProgramId),
                      pathOrEmpty(program->compute ? program->compute : program->fragment));
        program->useErrorReported = true;
        glUseProgram(0);
        shaderCurrentProgram = nullptr;
        return false;
    }
    shaderCurrentProgram = program;
    drainStaleErrors();
    glUseProgram(program->glProgramId);
    for (auto& entry : program->uniforms)
        uploadUniform(program, entry.second, 0, static_cast<unsigned int>(std::max(entry.second->arraySize, 1)));
    return true;
}

void shaderUpdateGLUniformValueArray(ShaderProgram* program, ShaderUniform* uniform, int first, unsigned int count)
{
    if (!program || !uniform || uniform->location == -1)
        return;
    drainStaleErrors();
    uploadUniform(program, uniform, first, count);
}

ShaderUniform* shaderFindUniformByName(ShaderProgram* program, const char* name, UniformType type)
{
    if (!program || !name) {
        LOG_ERROR("Uniform <%s> asked of no shader program", name ? name : "(null)");
        // Shared scratch space: callers may write one value into it, and nothing ever reads it.
        static ShaderUniform scratch;
        if (!scratch.value)
            scratch.allocateValue(kPlaceholderBytes);
        scratch.location = -1;
        scratch.type = type;
        return &scratch;
    }
    auto found = program->uniforms.find(name);
    if (found != program->uniforms.end()) {
        ShaderUniform* uniform = found->second;
        const size_t needed = static_cast<size_t>(std::max(shaderUniformElementSize(type), 1));
        if (typeServes(uniform->type, type) && valueCapacity(uniform) >= needed)
            return uniform;
        const std::string key = fmt::format("{0}#{1}", name, static_cast<int>(type));
        if (!program->placeholders.count(key))
            LOG_WARNING("Uniform <%s> of shader program <%d> is of type %d, not %d; its value is left alone", name,
                        static_cast<int>(program->glProgramId), static_cast<int>(uniform->type),
                        static_cast<int>(type));
        return makePlaceholder(program, name, type);
    }
    LOG_WARNING("No uniform <%s> in shader program <%d> <%s:%s:%s:%s>", name, static_cast<int>(program->glProgramId),
                pathOrEmpty(program->vertex), pathOrEmpty(program->fragment), pathOrEmpty(program->geometry),
                pathOrEmpty(program->compute));
    ShaderUniform* placeholder = makePlaceholder(program, name, type);
    program->uniforms[name] = placeholder;
    return placeholder;
}

void shaderSetUniform(ShaderProgram* program, const char* name, UniformType type, const void* value, size_t bytes)
{
    ShaderUniform* uniform = shaderFindUniformByName(program, name, type);
    const size_t copied = std::min(bytes, valueCapacity(uniform));
    if (!value || copied == 0)
        return;
    std::memcpy(uniform->value, value, copied);
    const size_t elementSize = static_cast<size_t>(std::max(shaderUniformElementSize(uniform->type), 1));
    if (program && program == shaderCurrentProgram)
        shaderUpdateGLUniformValueArray(program, uniform, 0,
                                        static_cast<unsigned int>((copied + elementSize - 1) / elementSize));
}

void shaderSetOrthographic(ShaderProgram* program, float x, float y, float z, float width, float height, float depth)
{
    const float modelview[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 1};
    shaderSetUniform(program, "mModelview", UNIFORM_TYPE_MAT4, modelview, sizeof(modelview));

    const float rw = 1.0f / ((x + width) - x);
    const float rh = 1.0f / ((y + height) - y);
    const float rd = 1.0f / ((z + depth) - z);
    const float projection[16] = {2.0f * rw, 0, 0, -((x + width) + x) * rw, 0, 2.0f * rh, 0, -((y + height) + y) * rh,
                                  0,         0, rd, -z * rd,               0, 0,         0, 1};
    shaderSetUniform(program, "mProjection", UNIFORM_TYPE_MAT4, projection, sizeof(projection));
}

void shaderSetAttributesFromGeometry(ShaderProgram* program, Geometry* geometry)
{
    aglAssertMainThread();
    if (!program || !geometry) {
        LOG_ERROR("No program or geometry to draw with");
        return;
    }
    bool dirty = std::any_of(geometry->buffers.begin(), geometry->buffers.end(),
                             [](const BufferObject* buffer) { return buffer && buffer->dirty; });
    if (!dirty)
        dirty = std::any_of(geometry->surfaces.begin(), geometry->surfaces.end(), [](const GeometrySurface* surface) {
            return surface && surface->indexBuffer && surface->indexBuffer->dirty;
        });
    if (dirty) {
        LOG_WARNING("Geometry was marked as <dirty>. Allocating GPU buffers..\\n");
        geomUpdate(geometry);
    }
    glBindVertexArray(geometry->vao);
    BufferBindings bindings;
    shaderBindingsAddGeometry(bindings, geometry);
    shaderBindBuffers(program, bindings);
}

void shaderSetBuiltinBuffersMask(const Geometry* geometry, ShaderProgram* program)
{
    int mask = 0;
    if (geometry)
        for (int code = 0; code < VERTEX_ATTRIBUTE_BUILTIN_COUNT; ++code)
            if (geometry->builtinIndex[code] != -1)
                mask |= 1 << code;
    shaderSetUniform(program, "vtx_builtin_buffers", UNIFORM_TYPE_INT, &mask, sizeof(mask));
}
