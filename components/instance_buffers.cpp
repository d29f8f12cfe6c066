#include "components/instance_buffers.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_shader.h"
#include "project/components.h"
#include "project/graph.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <limits>
#include <unordered_set>

using namespace gl;

std::unordered_map<std::string, ShaderProgram*> instanceModifierPrograms;

namespace {

constexpr const char* kProcessModifiersPath = "shaders/instance_modifiers/process_modifiers.comp";
// GL guarantees at least this many work groups along each axis; larger dispatches continue along y.
constexpr uint32_t kMaxGroupsX = 65535;

// Both buffers for `capacity` instances, or neither (after a log line).
bool createBuffers(uint32_t capacity, const char* transformsName, const char* coloursName, BufferObject*& transforms,
                   BufferObject*& colours)
{
    transforms = boCreate(transformsName, static_cast<uint64_t>(capacity) * kInstanceTransformBytes);
    colours = boCreate(coloursName, static_cast<uint64_t>(capacity) * kInstanceColorBytes);
    if (transforms && colours)
        return true;
    LOG_ERROR("Cannot make instance buffers for %u instances", capacity);
    boDelete(transforms);
    boDelete(colours);
    transforms = colours = nullptr;
    return false;
}

void upload(BufferObject* buffer)
{
    glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(buffer->size), buffer->hostCopy);
    buffer->dirty = false;
}

InstanceBuffers* makeDefaultSet()
{
    auto* set = new InstanceBuffers;
    if (!createBuffers(1, "InstancingTransforms", "InstancingColors", set->transforms, set->colours))
        return set; // nothing to bind; the blocks keep what they had
    set->count = set->capacity = 1;
    const float rows[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    std::copy(reinterpret_cast<const uint8_t*>(rows), reinterpret_cast<const uint8_t*>(rows) + sizeof rows,
              set->transforms->hostCopy);
    const uint16_t white[4] = {0x3C00, 0x3C00, 0x3C00, 0x3C00}; // half-float 1.0
    std::copy(reinterpret_cast<const uint8_t*>(white), reinterpret_cast<const uint8_t*>(white) + sizeof white,
              set->colours->hostCopy);
    upload(set->transforms);
    upload(set->colours);
    set->header[0] = 1;
    return set;
}

// The set's header as host data and its two buffers (an unmade buffer is left out).
void addSet(BufferBindings& bindings, InstanceBuffers& set)
{
    shaderBindingsAddData(bindings, "InstanceParamsBuffer", set.header, sizeof set.header);
    if (set.transforms)
        shaderBindingsAddBuffer(bindings, "InstanceTransformBuffer", set.transforms);
    if (set.colours)
        shaderBindingsAddBuffer(bindings, "InstanceColorBuffer", set.colours);
}

} // namespace

InstanceBuffers::~InstanceBuffers()
{
    boDelete(transforms);
    boDelete(colours);
}

InstanceBuffers* InstanceBuffers::Create(uint32_t n)
{
    auto* set = new InstanceBuffers;
    if (!createBuffers(n, "InstancingTransforms", "InstancingColors", set->transforms, set->colours)) {
        delete set;
        return nullptr;
    }
    set->count = set->capacity = n;
    return set;
}

bool InstanceBuffers::Resize(uint32_t n)
{
    if (capacity < n) {
        const uint32_t grown = instanceBuffersGrownCapacity(n);
        BufferObject* newTransforms = nullptr;
        BufferObject* newColours = nullptr;
        if (!createBuffers(grown, "", "", newTransforms, newColours))
            return false;
        boDelete(transforms);
        boDelete(colours);
        transforms = newTransforms;
        colours = newColours;
        capacity = grown;
    }
    count = n;
    return true;
}

InstanceBuffers* InstanceBuffers::Default()
{
    static InstanceBuffers* const set = makeDefaultSet();
    return set;
}

void InstanceBuffers::BindDefault(BufferBindings& bindings)
{
    addSet(bindings, *Default());
}

void shaderBindingsAddInstances(BufferBindings& bindings, InstanceBuffers* instances)
{
    if (!instances) {
        InstanceBuffers::BindDefault(bindings);
        return;
    }
    // The shader reads {count, 3, 0}; the fourth int is left as it is.
    instances->header[0] = static_cast<int32_t>(std::min<uint32_t>(instances->count, INT32_MAX));
    instances->header[1] = 3;
    instances->header[2] = 0;
    addSet(bindings, *instances);
}

uint32_t instanceBuffersGrownCapacity(uint32_t n)
{
    return static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(n) * 110 / 100, std::numeric_limits<uint32_t>::max()));
}

uint32_t instanceModifierGroups(uint32_t count)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(count) + kInstanceModifierGroupSize - 1) /
                                 kInstanceModifierGroupSize);
}

void InstanceBuffers::ApplyModifiers(InstanceModifierChain& chain, const Timestep& timestep)
{
    ShaderProgram* program = chain.GetProgram();
    if (!program || program->errors || count == 0)
        return;
    if (!transforms || !colours || capacity < count) {
        LOG_ERROR("Instance set of %u instances has no buffers for them (capacity %u)", count, capacity);
        return;
    }
    if (!shaderUseProgram(program))
        return;
    rendererBindGlobalInputs(program, timestep);

    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    shaderBindingsAddInstances(bindings, this);
    const int32_t instanceCount = header[0];
    shaderBindingsAddData(bindings, "ProcessInstanceModifiersParamsBuffer", &instanceCount, sizeof instanceCount);
    shaderBindingsAddModifiers(bindings, chain.buffers);
    if (!shaderBindBuffers(program, bindings)) {
        // A modifier without its parameter buffer (or a block nothing provides): running would read and write
        // whatever buffer the binding point held last.
        static std::unordered_set<const ShaderProgram*> reported;
        if (reported.insert(program).second)
            LOG_WARNING("Instance modifiers skipped: a block of their program has no buffer to bind");
        return;
    }

    // Every instance gets an invocation: ceil(count / 32) groups, folded into rows of at most 65535 groups; the
    // shader drops the invocations past the count.
    const uint32_t groups = instanceModifierGroups(count);
    const uint32_t groupsX = std::min(groups, kMaxGroupsX);
    const uint32_t groupsY = (groups + groupsX - 1) / groupsX;
    glDispatchCompute(groupsX, groupsY, 1);
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
}

// ---- Modifier chains ----

void InstanceModifierChain::Build(const std::vector<Resource*>& modifiers)
{
    buffers.clear();
    paramsText.clear();
    transformText.clear();
    for (size_t i = 0; i < modifiers.size(); ++i) {
        auto* modifier = resourceCast<InstanceModifierResource>(modifiers[i], ResourceType::InstanceModifier);
        if (!modifier)
            continue;
        const std::string name = fmt::format("VM{0}", i);
        paramsText += ReplaceNamePlaceholder(modifier->paramsBlock, name);
        transformText += ReplaceNamePlaceholder(modifier->transformBlock, name);
        // Position i of the list is the one named VM{i}: skipped entries leave a null slot behind.
        buffers.resize(i + 1, nullptr);
        buffers[i] = modifier->paramsBuffer;
    }
}

ShaderProgram* InstanceModifierChain::GetProgram() const
{
    std::string key = paramsText;
    key += '\0';
    key += transformText;
    const auto found = instanceModifierPrograms.find(key);
    if (found != instanceModifierPrograms.end())
        return found->second;
    const ShaderDefines defines = {{"INLINE_MODIFIERS_PARAMS_BLOCK", paramsText},
                                   {"INLINE_MODIFIERS_TRANSFORM_BLOCK", transformText}};
    ShaderProgram* program = shaderLoadProgramCompute(kProcessModifiersPath, defines);
    instanceModifierPrograms.emplace(std::move(key), program);
    return program;
}

void instanceModifierProgramsRelease()
{
    for (auto& entry : instanceModifierPrograms)
        shaderDeleteProgram(entry.second);
    instanceModifierPrograms.clear();
}

std::string ReplaceNamePlaceholder(const std::string& text, const std::string& name)
{
    static const std::string placeholder = "{Name}";
    std::string result;
    result.reserve(text.size());
    size_t from = 0;
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, from)) {
        result.append(text, from, at - from);
        result += name;
        from = at + placeholder.size();
    }
    result.append(text, from, std::string::npos);
    return result;
}

// ---- Shared component operations ----

void RelayToOnInputChanged(EngineComponent* component, int32_t pinId)
{
    if (component)
        component->OnInputChanged(pinId);
}

void RebindAndNotify(EngineComponent* component, int32_t)
{
    if (!component)
        return;
    component->ResolveInputs();
    if (!component->outputs.empty())
        GraphManager::NotifyOutputChanged(component->outputs[0]->id);
}

void RebindAndNotifyOnFirstInput(EngineComponent* component, int32_t pinId)
{
    if (component && !component->inputs.empty() && component->inputs[0]->id == pinId)
        RebindAndNotify(component, pinId);
}
