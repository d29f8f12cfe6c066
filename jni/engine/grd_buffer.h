// GL buffers with an optional host copy, and the per-frame ring of constant buffers.
#pragma once

#include <cstdint>

// A GL buffer. The GL store is `size` rounded up to 32 bytes; a host copy, when there is one, has that rounded
// size too and is zero-filled, so the whole store can be filled from it. Only the first `size` bytes matter.
struct BufferObject {
    unsigned int glId = 0;      // 0: no GL buffer
    uint64_t size = 0;          // the size every user works with
    uint8_t* hostCopy = nullptr; // null for GPU-only buffers
    bool dirty = true;          // the host copy holds data the GL store does not have yet
};

// (size + 31) & ~31.
uint64_t boStoreSize(uint64_t size);

// A buffer with a zero-filled host copy and a GL store filled from it; labelled when the name is not empty.
// Null (after a log line) when the size cannot be allocated.
BufferObject* boCreate(const char* name, uint64_t size);
BufferObject* boCreateUnnamed(uint64_t size);
// A buffer without host copy whose GL store is cleared to zero.
BufferObject* boCreateGpuOnly(const char* name, uint64_t size);
// A buffer without host copy with immutable, uncleared GL storage.
BufferObject* boCreateStorage(const char* name, uint64_t size);
// On Mesa's software rasterisers both kinds from 1 MB up get a store over a mapping of ours instead, which reads
// zero and takes memory only where written (mutable, so it also takes host writes).
// Gives back the memory of a buffer whose store is mapped (see above): its contents read zero afterwards, as when it
// was made. Waits for the GPU. False, with nothing changed, for any other buffer and for null.
bool boReleaseMemory(BufferObject* buffer);
// True on Mesa's software rasterisers (llvmpipe, softpipe), which keep every buffer and texture in host memory and
// make each new one resident at once by filling it with zeros. Needs a current context.
bool boHostMemoryDriver();
// Deletes the GL buffer, the host copy and the record (under glResourceMutex); null is ignored.
void boDelete(BufferObject* buffer);

// Copies min(source size, target size) bytes: host copy to host copy when both have one; on the GPU from the
// source's store when the source's host copy is not ahead of it; from the source's host copy into a target that
// has no host copy. A target left with a host copy the GPU lacks is dirty. False only for a null argument.
bool boCopy(BufferObject* source, BufferObject* target);

// Drains glGetError, logging each error as "(file : line) after op() glError (0x..)" (also used by geometry).
void boCheckGlErrors(const char* file, int line, const char* operation);
#define BO_CHECK_GL_ERRORS(operation) boCheckGlErrors(__FILE__, __LINE__, operation)

// ---- Constant ring ----

// Per-draw parameter records are copied into the current buffer at 256-byte steps; the frame loop moves to the
// next buffer once per frame, so the GPU may still read the two previous frames' data.
struct ConstBufferRing {
    BufferObject* buffers[3] = {};
    uint32_t index = 0;  // current slot
    uint32_t count = 3;
    uint32_t offset = 0; // write offset in the current buffer
};

constexpr uint64_t CONST_BUFFER_SIZE = 64000000;
constexpr uint32_t CONST_BUFFER_ALIGNMENT = 256;

extern ConstBufferRing constBufferRing;

// Creates the three GPU-only buffers "ConstBuffer 0".."ConstBuffer 2" (index 0, offset 0). Does nothing when the
// ring exists. The size is only ever smaller in tests.
bool constBufferRingInit(uint64_t bufferSize = CONST_BUFFER_SIZE);
// Deletes the ring's buffers; the next write or init creates them again.
void constBufferRingShutdown();
// Next slot, offset 0. Once per frame.
void constBufferRingAdvance();
// The current slot's buffer (creating the ring on first use).
BufferObject* constBufferRingCurrent();
// Copies `size` bytes into the current buffer at the write offset and advances the offset by `size` rounded up
// to 256. Gives the buffer and the offset the data landed at. False (after a log line) for empty data or when the
// data would pass the buffer's end; nothing is written then.
bool constBufferRingWrite(const void* data, uint32_t size, BufferObject** buffer, uint32_t* offset);
