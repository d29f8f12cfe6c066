// Playing does not grow the heap: once the first frames have built their targets, shader variants and timer
// records, further frames of a shipped project free everything they allocate.
#include "app/frame_loop.h"
#include "app/timing.h"
#include "project/graph.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/graph_processing.h"
#include "renderer_fixture.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// Bytes handed out by malloc and not yet freed, the GL driver's included. Under AddressSanitizer its own count,
// which leaves out the quarantine of freed blocks.
size_t heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

class FrameMemory : public ShippedRoomTest {
protected:
    // One frame of the loop's work at timeline frame `frame`, closed like the loop closes it.
    void frame(int frame)
    {
        GraphProcessing(float(frame) / 100.0f);
        engine_advance_frame_rings();
    }
};

} // namespace

// The driver keeps a block of about 1.5 MB on some frames and not on others, so each span is judged by its
// smallest reading: a leak raises every reading of the later span. Its threads still move tens of KB now and then.
TEST_F(FrameMemory, FramesAfterTheFirstLeaveTheHeapAndTimerRecordsAsTheyWere)
{
    int t = 500;
    for (int i = 0; i < 4; ++i)
        frame(t++);
    const size_t records = gpuTimerRecords.size();
    constexpr int kSpan = 15;
    constexpr size_t kSlack = 256 * 1024;
    auto smallestOverSpan = [&] {
        size_t smallest = SIZE_MAX;
        for (int i = 0; i < kSpan; ++i) {
            frame(t++);
            smallest = std::min(smallest, heapInUse());
        }
        return smallest;
    };
    const size_t early = smallestOverSpan();
    smallestOverSpan();
    size_t late = smallestOverSpan();
    // On a busy machine the driver can hold its blocks through a whole span. A leak only grows in later spans, so
    // they can clear a held block but never hide a leak.
    for (int retry = 0; retry < 2 && late > early + kSlack; ++retry)
        late = std::min(late, smallestOverSpan());
    std::printf("heap in use %zu -> %zu over %d frames\n", early, late, 2 * kSpan);

    EXPECT_EQ(gpuTimerRecords.size(), records) << "timer records are kept per name, not per frame";
    EXPECT_TRUE(gpuTimerFrameRecords.empty());
    EXPECT_LE(late, early + kSlack) << "the heap grew by " << (late - early) / (2 * kSpan) << " bytes a frame";
}
