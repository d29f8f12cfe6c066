#include "jni/engine/grd_buffer.h"

#include "app/log.h"
#include "jni/engine/grd_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <glbinding/gl/gl.h>
#include <limits>
#include <string>

using namespace gl;

ConstBufferRing constBufferRing;

namespace {

// GL takes sizes as signed pointer-sized integers; anything past that cannot be a store.
constexpr uint64_t MAX_STORE_SIZE = static_cast<uint64_t>(std::numeric_limits<GLsizeiptr>::max()) & ~uint64_t(31);

bool storeSizeValid(const char* name, uint64_t size)
{
    if (size <= MAX_STORE_SIZE)
        return true;
    LOG_ERROR("Buffer <%s> size %llu is too large", name ? name : "", static_cast<unsigned long long>(size));
    return false;
}

void labelBuffer(BufferObject* buffer, const char* name)
{
    if (name && name[0])
        glObjectLabel(GL_BUFFER, buffer->glId, -1, name);
}

} // namespace

void boCheckGlErrors(const char* file, int line, const char* operation)
{
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError()) {
        log_print("[%s : %4d]\"(%s : %d) after %s() glError (0x%x)\n\"", "_checkGlError", __LINE__, file, line,
                  operation, static_cast<unsigned>(error));
        log_end_line();
    }
}

uint64_t boStoreSize(uint64_t size)
{
    return (size + 31) & ~uint64_t(31);
}

BufferObject* boCreate(const char* name, uint64_t size)
{
    BO_CHECK_GL_ERRORS("bo create vbo...\n");
    if (!storeSizeValid(name, size))
        return nullptr;
    const uint64_t storeSize = boStoreSize(size);
    // At least one byte, so that an empty buffer still counts as having a host copy.
    auto* host = static_cast<uint8_t*>(std::calloc(std::max<uint64_t>(storeSize, 1), 1));
    if (!host) {
        LOG_ERROR("Not enough memory for buffer <%s> of %llu bytes", name ? name : "",
                  static_cast<unsigned long long>(size));
        return nullptr;
    }
    auto* buffer = new BufferObject;
    glCreateBuffers(1, &buffer->glId);
    buffer->hostCopy = host;
    buffer->size = size;
    glNamedBufferData(buffer->glId, static_cast<GLsizeiptr>(storeSize), host, GL_DYNAMIC_DRAW);
    labelBuffer(buffer, name);
    buffer->dirty = true;
    BO_CHECK_GL_ERRORS("bo create vbo...done\n");
    return buffer;
}

BufferObject* boCreateUnnamed(uint64_t size)
{
    return boCreate("", size);
}

BufferObject* boCreateGpuOnly(const char* name, uint64_t size)
{
    BO_CHECK_GL_ERRORS("bo create vbo...\n");
    if (!storeSizeValid(name, size))
        return nullptr;
    const uint64_t storeSize = boStoreSize(size);
    auto* buffer = new BufferObject;
    glCreateBuffers(1, &buffer->glId);
    buffer->size = size;
    glNamedBufferData(buffer->glId, static_cast<GLsizeiptr>(storeSize), nullptr, GL_DYNAMIC_DRAW);
    // One-byte elements: the driver can clear them as one block instead of element by element (large stores).
    const GLubyte zero = 0;
    glClearNamedBufferData(buffer->glId, GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE, &zero);
    labelBuffer(buffer, name);
    BO_CHECK_GL_ERRORS("bo create vbo...done\n");
    return buffer;
}

BufferObject* boCreateStorage(const char* name, uint64_t size)
{
    if (!storeSizeValid(name, size))
        return nullptr;
    auto* buffer = new BufferObject;
    glCreateBuffers(1, &buffer->glId);
    buffer->size = size;
    // Immutable storage cannot be empty; an empty buffer keeps one 32-byte step.
    const uint64_t storeSize = std::max<uint64_t>(boStoreSize(size), 32);
    glNamedBufferStorage(buffer->glId, static_cast<GLsizeiptr>(storeSize), nullptr, BufferStorageMask::GL_NONE_BIT);
    labelBuffer(buffer, name);
    return buffer;
}

void boDelete(BufferObject* buffer)
{
    BO_CHECK_GL_ERRORS("delete gpu buffers...\n");
    if (!buffer)
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
        if (buffer->glId != 0)
            glDeleteBuffers(1, &buffer->glId);
        std::free(buffer->hostCopy);
    }
    BO_CHECK_GL_ERRORS("delete gpu buffer...done\n");
    delete buffer;
}

bool boCopy(BufferObject* source, BufferObject* target)
{
    if (!source || !target) {
        LOG_ERROR("Buffer copy with a null buffer (source %p, target %p)", static_cast<void*>(source),
                  static_cast<void*>(target));
        return false;
    }
    if (source == target)
        return true;
    const uint64_t n = std::min(source->size, target->size);
    if (source->hostCopy && target->hostCopy && n)
        std::memcpy(target->hostCopy, source->hostCopy, n);

    // Which side of the source holds its newest data: a buffer without host copy lives on the GPU alone.
    const bool sourceHostAhead = source->hostCopy && source->dirty;
    if (target->glId != 0) {
        if (source->glId != 0 && !sourceHostAhead) {
            if (n)
                glCopyNamedBufferSubData(source->glId, target->glId, 0, 0, static_cast<GLsizeiptr>(n));
            // The GPU copy is the newest data; host bytes past it that were never uploaded go up now, so the
            // next upload of the (possibly stale) host copy cannot overwrite what was just copied.
            if (target->hostCopy && target->dirty) {
                const uint64_t storeSize = boStoreSize(target->size);
                if (storeSize > n)
                    glNamedBufferSubData(target->glId, static_cast<GLintptr>(n), static_cast<GLsizeiptr>(storeSize - n),
                                         target->hostCopy + n);
            }
            target->dirty = false;
            return true;
        }
        // The source's newest data is its host copy; a target with a host copy got it above and uploads later.
        if (source->hostCopy && !target->hostCopy && n)
            glNamedBufferSubData(target->glId, 0, static_cast<GLsizeiptr>(n), source->hostCopy);
    }
    target->dirty = target->dirty || source->dirty;
    return true;
}

// ---- Constant ring ----

bool constBufferRingInit(uint64_t bufferSize)
{
    if (constBufferRing.buffers[0])
        return true;
    constBufferRing.index = 0;
    constBufferRing.count = 3;
    constBufferRing.offset = 0;
    for (uint32_t slot = 0; slot < constBufferRing.count; ++slot) {
        const std::string name = "ConstBuffer " + std::to_string(slot);
        constBufferRing.buffers[slot] = boCreateGpuOnly(name.c_str(), bufferSize);
        if (!constBufferRing.buffers[slot]) {
            constBufferRingShutdown();
            return false;
        }
    }
    return true;
}

void constBufferRingShutdown()
{
    for (BufferObject*& buffer : constBufferRing.buffers) {
        boDelete(buffer);
        buffer = nullptr;
    }
    constBufferRing.index = 0;
    constBufferRing.offset = 0;
}

void constBufferRingAdvance()
{
    constBufferRing.index = (constBufferRing.index + 1) % constBufferRing.count;
    constBufferRing.offset = 0;
}

BufferObject* constBufferRingCurrent()
{
    if (!constBufferRingInit())
        return nullptr;
    return constBufferRing.buffers[constBufferRing.index];
}

bool constBufferRingWrite(const void* data, uint32_t size, BufferObject** buffer, uint32_t* offset)
{
    BufferObject* current = constBufferRingCurrent();
    if (!current)
        return false;
    if (!data || size == 0) {
        LOG_ERROR("Empty parameter block for the constant buffer");
        return false;
    }
    const uint64_t start = constBufferRing.offset;
    if (start + size > current->size) {
        LOG_ERROR("Constant buffer %u full: %u bytes at offset %u do not fit in %llu", constBufferRing.index, size,
                  constBufferRing.offset, static_cast<unsigned long long>(current->size));
        return false;
    }
    glNamedBufferSubData(current->glId, static_cast<GLintptr>(start), size, data);
    const uint64_t next = start + (static_cast<uint64_t>(size) + CONST_BUFFER_ALIGNMENT - 1) / CONST_BUFFER_ALIGNMENT *
                                      CONST_BUFFER_ALIGNMENT;
    // Past the end only when the buffer is full, and the next write is refused then.
    constBufferRing.offset = static_cast<uint32_t>(std::min<uint64_t>(next, std::numeric_limits<uint32_t>::max()));
    if (buffer)
        *buffer = current;
    if (offset)
        *offset = static_cast<uint32_t>(start);
    return true;
}
