#include "jni/engine/grd_buffer.h"

#include "gl_context.h"
#include "resident_memory.h"

#include <cstdlib>
#include <cstring>
#include <glbinding/gl/gl.h>
#include <string>
#include <vector>

using namespace gl;

namespace {

GLint64 storeSize(const BufferObject* buffer)
{
    GLint64 size = -1;
    glGetNamedBufferParameteri64v(buffer->glId, GL_BUFFER_SIZE, &size);
    return size;
}

std::vector<uint8_t> readStore(const BufferObject* buffer, size_t bytes)
{
    std::vector<uint8_t> data(bytes, 0xCD);
    glGetNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(bytes), data.data());
    return data;
}

std::string label(GLenum identifier, GLuint name)
{
    char text[256] = {};
    GLsizei length = 0;
    glGetObjectLabel(identifier, name, sizeof(text), &length, text);
    return std::string(text, length);
}

void fill(BufferObject* buffer, uint8_t first)
{
    for (uint64_t i = 0; i < buffer->size; ++i)
        buffer->hostCopy[i] = static_cast<uint8_t>(first + i);
}

void upload(BufferObject* buffer)
{
    glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(buffer->size), buffer->hostCopy);
    buffer->dirty = false;
}

// Writes the GL store only, the way a compute pass does: the host copy does not see it.
void writeGpu(BufferObject* buffer, uint8_t first)
{
    std::vector<uint8_t> data(buffer->size);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(first + i);
    glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(data.size()), data.data());
}

std::vector<uint8_t> sequence(size_t count, uint8_t first)
{
    std::vector<uint8_t> data(count);
    for (size_t i = 0; i < count; ++i)
        data[i] = static_cast<uint8_t>(first + i);
    return data;
}

} // namespace

class BufferTest : public GLTest {};

TEST_F(BufferTest, StoresAreRoundedTo32BytesAndStartZero)
{
    struct Case {
        uint64_t size;
        GLint64 store;
    };
    for (const Case c : {Case{0, 0}, Case{1, 32}, Case{32, 32}, Case{33, 64}, Case{100, 128}}) {
        SCOPED_TRACE(c.size);
        BufferObject* host = boCreate("hosted", c.size);
        ASSERT_NE(host, nullptr);
        EXPECT_EQ(host->size, c.size);
        EXPECT_EQ(storeSize(host), c.store);
        EXPECT_NE(host->hostCopy, nullptr) << "an empty buffer still has a host copy";
        EXPECT_TRUE(host->dirty);
        EXPECT_EQ(std::vector<uint8_t>(host->hostCopy, host->hostCopy + c.store), std::vector<uint8_t>(c.store, 0));
        EXPECT_EQ(readStore(host, c.store), std::vector<uint8_t>(c.store, 0));
        EXPECT_EQ(label(GL_BUFFER, host->glId), "hosted");

        BufferObject* gpu = boCreateGpuOnly("gpu", c.size);
        ASSERT_NE(gpu, nullptr);
        EXPECT_EQ(gpu->hostCopy, nullptr);
        EXPECT_EQ(storeSize(gpu), c.store);
        EXPECT_EQ(readStore(gpu, c.store), std::vector<uint8_t>(c.store, 0));
        EXPECT_EQ(label(GL_BUFFER, gpu->glId), "gpu");

        BufferObject* storage = boCreateStorage("storage", c.size);
        ASSERT_NE(storage, nullptr);
        EXPECT_EQ(storage->hostCopy, nullptr);
        EXPECT_EQ(storage->size, c.size);
        // Immutable storage cannot be empty: an empty one keeps a single 32-byte step.
        EXPECT_EQ(storeSize(storage), c.store ? c.store : 32);
        GLint immutable = 0;
        glGetNamedBufferParameteriv(storage->glId, GL_BUFFER_IMMUTABLE_STORAGE, &immutable);
        EXPECT_EQ(immutable, 1);

        boDelete(host);
        boDelete(gpu);
        boDelete(storage);
    }

    BufferObject* unnamed = boCreateUnnamed(8);
    EXPECT_EQ(label(GL_BUFFER, unnamed->glId), "");
    boDelete(unnamed);
}

// Only a mapped store can give its memory back; any other buffer keeps its contents.
TEST_F(BufferTest, ReleasingMemoryLeavesOtherStoresAlone)
{
    EXPECT_FALSE(boReleaseMemory(nullptr));
    const std::vector<uint8_t> data = sequence(64, 9);
    BufferObject* hosted = boCreate("hosted", 64);
    std::memcpy(hosted->hostCopy, data.data(), 64);
    upload(hosted);
    BufferObject* gpu = boCreateGpuOnly("gpu", 64);
    writeGpu(gpu, 9);
    for (BufferObject* buffer : {hosted, gpu}) {
        EXPECT_FALSE(boReleaseMemory(buffer));
        EXPECT_EQ(readStore(buffer, 64), data);
        boDelete(buffer);
    }
}

TEST_F(BufferTest, RefusesSizesNoStoreCanHave)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(boCreate("huge", ~uint64_t(0)), nullptr);
    EXPECT_EQ(boCreateGpuOnly("huge", ~uint64_t(0) - 40), nullptr);
    EXPECT_EQ(boCreateStorage("huge", ~uint64_t(0)), nullptr);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Buffer <huge> size 18446744073709551615 is too large"), std::string::npos) << log;
}

TEST_F(BufferTest, PendingGlErrorsAreDrainedAndLogged)
{
    glBindBuffer(GL_ARRAY_BUFFER, 0x7FFFFFF); // not a buffer name: GL_INVALID_OPERATION
    testing::internal::CaptureStdout();
    BufferObject* buffer = boCreate("after error", 4);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[_checkGlError : "), std::string::npos) << log;
    EXPECT_NE(log.find("grd_buffer.cpp : "), std::string::npos) << log;
    EXPECT_NE(log.find(") after bo create vbo...\n() glError (0x502)\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\033[31m"), std::string::npos) << "a plain line, not an error";
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    boDelete(buffer);
}

TEST_F(BufferTest, CopyFromDirtyHostCopyLeavesTheUploadToTheTarget)
{
    BufferObject* source = boCreate("", 64);
    BufferObject* target = boCreate("", 32);
    fill(source, 1);
    upload(target);
    writeGpu(target, 200);
    ASSERT_TRUE(source->dirty);
    ASSERT_FALSE(target->dirty);

    EXPECT_TRUE(boCopy(source, target));
    EXPECT_EQ(std::vector<uint8_t>(target->hostCopy, target->hostCopy + 32), sequence(32, 1));
    EXPECT_EQ(readStore(target, 32), sequence(32, 200)) << "no GPU copy from a source whose GPU store is stale";
    EXPECT_TRUE(target->dirty);
    boDelete(source);
    boDelete(target);
}

TEST_F(BufferTest, CopyBetweenCleanBuffersCopiesOnTheGpu)
{
    // Two GPU-only buffers: the copy happens on the GPU alone.
    BufferObject* source = boCreateGpuOnly("", 48);
    BufferObject* target = boCreateGpuOnly("", 64);
    writeGpu(source, 10);
    EXPECT_TRUE(boCopy(source, target));
    std::vector<uint8_t> expected = sequence(48, 10);
    expected.resize(64, 0);
    EXPECT_EQ(readStore(target, 64), expected);

    // Two clean hosted buffers: host to host and GPU to GPU, each side from its own kind.
    BufferObject* a = boCreate("", 32);
    BufferObject* b = boCreate("", 32);
    fill(a, 1);
    upload(a);
    writeGpu(a, 100); // the GPU holds newer data than the host, as after a compute pass
    upload(b);
    EXPECT_TRUE(boCopy(a, b));
    EXPECT_EQ(std::vector<uint8_t>(b->hostCopy, b->hostCopy + 32), sequence(32, 1));
    EXPECT_EQ(readStore(b, 32), sequence(32, 100));
    EXPECT_FALSE(b->dirty);

    for (BufferObject* buffer : {source, target, a, b})
        boDelete(buffer);
}

// Regression: these copies used to copy nothing and still report success.
TEST_F(BufferTest, CopyReachesTargetsThatHaveNoHostCopyOrAreFresh)
{
    // Dirty host copy into a GPU-only buffer: uploaded from the host copy.
    BufferObject* hosted = boCreate("", 40);
    fill(hosted, 7);
    BufferObject* gpuOnly = boCreateGpuOnly("", 64);
    EXPECT_TRUE(boCopy(hosted, gpuOnly));
    std::vector<uint8_t> expected = sequence(40, 7);
    expected.resize(64, 0);
    EXPECT_EQ(readStore(gpuOnly, 64), expected);

    // GPU-only into a fresh (dirty) hosted buffer: copied on the GPU, and the fresh buffer's later upload must
    // not overwrite it with its zero host copy.
    BufferObject* fresh = boCreate("", 96);
    ASSERT_TRUE(fresh->dirty);
    fresh->hostCopy[90] = 0x5A; // host data past the copy that was never uploaded
    EXPECT_TRUE(boCopy(gpuOnly, fresh));
    std::vector<uint8_t> store = readStore(fresh, 96);
    EXPECT_EQ(std::vector<uint8_t>(store.begin(), store.begin() + 64), expected);
    EXPECT_EQ(store[90], 0x5A) << "the target's own pending bytes reach the GPU too";
    EXPECT_FALSE(fresh->dirty);

    EXPECT_FALSE(boCopy(nullptr, fresh));
    EXPECT_FALSE(boCopy(fresh, nullptr));
    EXPECT_TRUE(boCopy(fresh, fresh));
    for (BufferObject* buffer : {hosted, gpuOnly, fresh})
        boDelete(buffer);
}

TEST_F(BufferTest, DeleteHandlesRecordsWithoutGlBufferAndNull)
{
    auto* buffer = new BufferObject;
    buffer->hostCopy = static_cast<uint8_t*>(std::calloc(32, 1));
    buffer->size = 32;
    boDelete(buffer); // the sanitizer build reports a leak or a bad free here
    boDelete(nullptr);
}

// Large stores without host copy cost no memory until written: the tests' driver keeps stores in host memory, and
// one filled at creation would make every page of the raytracer's gigabyte of scene buffers resident (and take
// seconds). They still behave as stores: GPU-only ones read zero, writes land, deleting gives the memory back.
TEST_F(BufferTest, LargeStoresOccupyMemoryOnlyWhereWritten)
{
    constexpr uint64_t kSize = 256ull << 20;
    constexpr size_t kWritten = 32u << 20;
    struct Case {
        const char* name;
        BufferObject* (*create)(const char*, uint64_t);
        bool startsZero;
    };
    for (const Case c : {Case{"gpu", boCreateGpuOnly, true}, Case{"storage", boCreateStorage, false}}) {
        SCOPED_TRACE(c.name);
        const int64_t before = residentBytes();
        BufferObject* buffer = c.create(c.name, kSize);
        ASSERT_NE(buffer, nullptr);
        glFinish();
        EXPECT_LT(residentBytes() - before, int64_t(kSize / 16));
        EXPECT_EQ(storeSize(buffer), GLint64(kSize));
        EXPECT_EQ(label(GL_BUFFER, buffer->glId), c.name);
        if (c.startsZero)
            for (uint64_t offset : {uint64_t(0), kSize / 2, kSize - 64}) {
                std::vector<uint8_t> read(64, 0xCD);
                glGetNamedBufferSubData(buffer->glId, GLintptr(offset), 64, read.data());
                EXPECT_EQ(read, std::vector<uint8_t>(64, 0)) << "at " << offset;
            }

        // Written pages become resident and read back, up to the store's last word.
        const uint32_t word = 0x11223344u;
        glClearNamedBufferSubData(buffer->glId, GL_R32UI, GLintptr(kSize - kWritten), GLsizeiptr(kWritten),
                                  GL_RED_INTEGER, GL_UNSIGNED_INT, &word);
        if (c.startsZero) { // immutable storage elsewhere takes no host writes
            const std::vector<uint8_t> head = sequence(4096, 3);
            glNamedBufferSubData(buffer->glId, 0, 4096, head.data());
            EXPECT_EQ(readStore(buffer, 4096), head);
        }
        uint32_t edges[3] = {};
        glGetNamedBufferSubData(buffer->glId, GLintptr(kSize - kWritten - 4), 8, edges);
        glGetNamedBufferSubData(buffer->glId, GLintptr(kSize - 4), 4, &edges[2]);
        if (c.startsZero) {
            EXPECT_EQ(edges[0], 0u) << "the clear stays inside its range";
        }
        EXPECT_EQ(edges[1], word);
        EXPECT_EQ(edges[2], word);
        const int64_t written = residentBytes() - before;
        EXPECT_GT(written, int64_t(kWritten / 2));
        EXPECT_LT(written, int64_t(kWritten * 2));

        // Released, the store reads zero again and its pages are given back; it still takes writes.
        ASSERT_TRUE(boReleaseMemory(buffer));
        EXPECT_LT(residentBytes() - before, int64_t(kWritten / 2));
        glGetNamedBufferSubData(buffer->glId, GLintptr(kSize - 4), 4, &edges[2]);
        EXPECT_EQ(edges[2], 0u);
        glClearNamedBufferSubData(buffer->glId, GL_R32UI, GLintptr(kSize - kWritten), GLsizeiptr(kWritten),
                                  GL_RED_INTEGER, GL_UNSIGNED_INT, &word);
        glGetNamedBufferSubData(buffer->glId, GLintptr(kSize - 4), 4, &edges[2]);
        EXPECT_EQ(edges[2], word);

        boDelete(buffer);
        EXPECT_LT(residentBytes() - before, int64_t(kWritten / 2)) << "the written pages are given back";
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
    }
}

class ConstBufferRingTest : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(2048));
    }
    void TearDown() override
    {
        constBufferRingShutdown();
        GLTest::TearDown();
    }
};

TEST_F(ConstBufferRingTest, ThreeLabelledBuffersAndSlotAdvance)
{
    EXPECT_EQ(constBufferRing.count, 3u);
    for (uint32_t slot = 0; slot < 3; ++slot) {
        ASSERT_NE(constBufferRing.buffers[slot], nullptr);
        EXPECT_EQ(label(GL_BUFFER, constBufferRing.buffers[slot]->glId), "ConstBuffer " + std::to_string(slot));
        EXPECT_EQ(constBufferRing.buffers[slot]->hostCopy, nullptr);
    }
    BufferObject* first = constBufferRing.buffers[0];
    EXPECT_TRUE(constBufferRingInit()) << "a second init keeps the ring";
    EXPECT_EQ(constBufferRing.buffers[0], first);
    EXPECT_EQ(constBufferRing.buffers[0]->size, 2048u);

    const uint32_t expectedIndex[] = {1, 2, 0, 1};
    for (uint32_t expected : expectedIndex) {
        constBufferRing.offset = 512;
        constBufferRingAdvance();
        EXPECT_EQ(constBufferRing.index, expected);
        EXPECT_EQ(constBufferRing.offset, 0u);
        EXPECT_EQ(constBufferRingCurrent(), constBufferRing.buffers[expected]);
    }
}

TEST_F(ConstBufferRingTest, WritesLandAt256ByteStepsAndNeverPassTheEnd)
{
    const std::vector<uint8_t> small = sequence(16, 1);
    const std::vector<uint8_t> large = sequence(300, 50);
    BufferObject* buffer = nullptr;
    uint32_t offset = 99;
    ASSERT_TRUE(constBufferRingWrite(small.data(), 16, &buffer, &offset));
    EXPECT_EQ(buffer, constBufferRing.buffers[0]);
    EXPECT_EQ(offset, 0u);
    ASSERT_TRUE(constBufferRingWrite(large.data(), 300, &buffer, &offset));
    EXPECT_EQ(offset, 256u);
    EXPECT_EQ(constBufferRing.offset, 768u);

    std::vector<uint8_t> store = readStore(buffer, 556);
    EXPECT_EQ(std::vector<uint8_t>(store.begin(), store.begin() + 16), small);
    EXPECT_EQ(std::vector<uint8_t>(store.begin() + 256, store.end()), large);

    // 768 + 1280 = 2048 fits exactly; one byte more does not, and nothing is written or advanced.
    const std::vector<uint8_t> rest(1281, 0xEE);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(constBufferRingWrite(rest.data(), 1281, &buffer, &offset));
    EXPECT_FALSE(constBufferRingWrite(rest.data(), 0, &buffer, &offset));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Constant buffer 0 full: 1281 bytes at offset 768 do not fit in 2048"), std::string::npos)
        << log;
    EXPECT_EQ(constBufferRing.offset, 768u);
    EXPECT_TRUE(constBufferRingWrite(rest.data(), 1280, &buffer, &offset));
    EXPECT_EQ(offset, 768u);
    EXPECT_FALSE(constBufferRingWrite(rest.data(), 1, &buffer, &offset));

    // The next frame writes into the next buffer from its start.
    constBufferRingAdvance();
    ASSERT_TRUE(constBufferRingWrite(small.data(), 16, &buffer, &offset));
    EXPECT_EQ(buffer, constBufferRing.buffers[1]);
    EXPECT_EQ(offset, 0u);
}
