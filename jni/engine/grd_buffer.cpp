#include "jni/engine/grd_buffer.h"

#include "app/log.h"
#include "jni/engine/grd_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <glbinding/gl/gl.h>
#include <limits>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>

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

// Mesa's software rasterisers keep every store in host memory and fill a new one with zeros, which makes all of its
// pages resident at once: the raytracer's scene buffers alone cost 1.2 GB and seconds of page faults before their
// first use. Large stores there are made over an anonymous mapping of ours instead (GL_AMD_pinned_memory): its
// pages read as zero and become resident only once written. Hardware drivers keep their usual stores, which live
// in video memory.
constexpr uint64_t kMappedStoreMinimum = 1u << 20;
constexpr GLenum kExternalVirtualMemoryBuffer = GLenum(0x9160); // GL_EXTERNAL_VIRTUAL_MEMORY_BUFFER_AMD

struct StoreMapping {
    void* base = nullptr;
    size_t bytes = 0;
};
// By buffer record; touched under glResourceMutex.
std::unordered_map<const BufferObject*, StoreMapping> storeMappings;
// Mappings of deleted buffers, emptied, by size. They stay mapped: the driver's bound state may keep pointing into
// a deleted store (it copies a constant buffer it last saw even into a clear), so unmapping would make that read
// fault; an emptied page reads zero and costs no memory. The next store of the same size takes one.
std::unordered_multimap<size_t, void*> spareMappings;

bool mappedStoresAvailable()
{
    static const bool available = [] {
        if (!boHostMemoryDriver())
            return false;
        GLint count = 0;
        glGetIntegerv(GL_NUM_EXTENSIONS, &count);
        for (GLint i = 0; i < count; ++i) {
            const char* name = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, GLuint(i)));
            if (name && std::strcmp(name, "GL_AMD_pinned_memory") == 0)
                return true;
        }
        return false;
    }();
    return available;
}

// Gives the buffer a zero-reading store of `storeSize` bytes over a mapping; false (nothing changed, no GL error
// left) when the driver cannot, so the caller makes an ordinary store.
bool createMappedStore(BufferObject* buffer, uint64_t storeSize)
{
    if (storeSize < kMappedStoreMinimum || !mappedStoresAvailable())
        return false;
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    // One spare page: the driver may read a few bytes past a store's end when it is drawn from.
    const uint64_t bytes = (storeSize + page - 1) / page * page + page;
    if (bytes > std::numeric_limits<size_t>::max())
        return false;
    std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
    void* base = nullptr;
    if (const auto spare = spareMappings.find(size_t(bytes)); spare != spareMappings.end()) {
        base = spare->second;
        spareMappings.erase(spare);
    } else {
        base = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
                    0);
        if (base == MAP_FAILED)
            return false;
        // A pass that writes a whole grid takes one fault per 2 MB instead of one per page (the raytracer's grid
        // build touches 130 MB each frame); a store only partly written grows by at most 2 MB per written run.
        madvise(base, size_t(bytes), MADV_HUGEPAGE);
    }
    // Errors of earlier calls are logged here, not taken for this store's.
    BO_CHECK_GL_ERRORS("buffer store over a mapping");
    glBindBuffer(kExternalVirtualMemoryBuffer, buffer->glId);
    glBufferData(kExternalVirtualMemoryBuffer, static_cast<GLsizeiptr>(storeSize), base, GL_DYNAMIC_DRAW);
    glBindBuffer(kExternalVirtualMemoryBuffer, 0);
    if (glGetError() != GL_NO_ERROR) {
        spareMappings.emplace(size_t(bytes), base);
        return false;
    }
    storeMappings[buffer] = StoreMapping{base, size_t(bytes)};
    return true;
}

} // namespace

bool boHostMemoryDriver()
{
    static const bool host = [] {
        const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        return renderer && (std::strstr(renderer, "llvmpipe") || std::strstr(renderer, "softpipe"));
    }();
    return host;
}

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
    // A mapped store starts zero without being written.
    if (!createMappedStore(buffer, storeSize)) {
        glNamedBufferData(buffer->glId, static_cast<GLsizeiptr>(storeSize), nullptr, GL_DYNAMIC_DRAW);
        // One-byte elements: the driver can clear them as one block instead of element by element (large stores).
        const GLubyte zero = 0;
        glClearNamedBufferData(buffer->glId, GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE, &zero);
    }
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
    if (!createMappedStore(buffer, storeSize))
        glNamedBufferStorage(buffer->glId, static_cast<GLsizeiptr>(storeSize), nullptr, BufferStorageMask::GL_NONE_BIT);
    labelBuffer(buffer, name);
    return buffer;
}

bool boReleaseMemory(BufferObject* buffer)
{
    std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
    const auto mapping = buffer ? storeMappings.find(buffer) : storeMappings.end();
    if (mapping == storeMappings.end())
        return false;
    // Commands already given may still read or write the store.
    glFinish();
    return madvise(mapping->second.base, mapping->second.bytes, MADV_DONTNEED) == 0;
}

void boDelete(BufferObject* buffer)
{
    BO_CHECK_GL_ERRORS("delete gpu buffers...\n");
    if (!buffer)
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(glResourceMutex);
        const auto mapping = storeMappings.find(buffer);
        if (mapping != storeMappings.end()) {
            // The driver may still be reading the store for commands already given; the memory goes once they end.
            glFinish();
        }
        if (buffer->glId != 0)
            glDeleteBuffers(1, &buffer->glId);
        if (mapping != storeMappings.end()) {
            madvise(mapping->second.base, mapping->second.bytes, MADV_DONTNEED);
            spareMappings.emplace(mapping->second.bytes, mapping->second.base);
            storeMappings.erase(mapping);
        }
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
