// The play clock, CPU timer nodes and GPU timestamp scopes.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

// ---- Play clock ----

// A source of readings in seconds. The steady clock by default; tests put a fake in its place.
using TimerClockSource = double (*)();
// Null restores the steady clock.
void timerSetClockSource(TimerClockSource source);
// One reading of the current source, in seconds.
double timerReading();

struct PlayClock {
    double start = 0.0; // reading at which the clock read 0
    bool started = false;
    bool paused = false;
    double lastReading = 0.0; // what a paused clock keeps returning
    double pauseStart = 0.0;
};

extern PlayClock playClock;

// Seconds since the clock's start, times scale. The first call on a never-started clock starts it and returns 0.
float timerGetTime(float scale);
// The clock reads 0 from now on (display start-up, the sequencer's "ResetTime").
void timerRestartClock();
// The editor's pause: the clock stands still until resumed, then continues from the value it stopped at.
void timerPauseClock();
void timerResumeClock();

// ---- CPU timer nodes ----

constexpr int kTimerNodeBuckets = 8192;
constexpr int kTimerNodeGrowth = 10000;     // value table grows by this many entries
constexpr int kTimerNodeMaxValues = 100000; // then it wraps, keeping the most recent values
constexpr int kTimerNodeWarmupSamples = 200; // samples that never enter the average

struct TimerNode {
    std::string name;
    double start = 0.0; // reading at which the current measurement began
    int32_t count = 0;  // values added, ever
    double sum = 0.0;   // of the values after the first kTimerNodeWarmupSamples
    float average = 0.0f;
    float last = 0.0f;
    float min = 0.0f;
    float max = 0.0f;
    std::vector<float> values; // the table; its size is the capacity
};

// h = 5381, h = h * 33 ^ c over the bytes; the low 13 bits pick the bucket.
uint32_t timerNodeBucket(const char* name);
// The path of the frame timer node: "frame".
const char* timerNodePath();
// Allocates the bucket array when there is none.
void timerCreateNodeTable();
// The node of timerNodePath(), or null when the table or the node does not exist.
TimerNode* timerFindNode();
// Creates the node of timerNodePath(); null (after an error line) when it exists already.
TimerNode* timerCreateNode();
void timernodeAddValue(TimerNode* node, float seconds);
// Drops the table and every node (tests).
void timerResetNodes();

// ---- GPU timestamps ----

constexpr int kGpuTimerSlots = 3;
constexpr int kGpuTimerMaxRecords = 4096; // per frame; the result table has as many rows
constexpr int kGpuTimerHistory = 16;

struct GpuTimerRecord {
    int32_t depth = 0;
    int32_t parent = -1; // -1 for an opening record, else the frame-list index of its opening record
    uint64_t timestamp = 0;
    std::string name;
    uint32_t queries[kGpuTimerSlots] = {};
    bool issued[kGpuTimerSlots] = {}; // a query that was never issued has no result to read
};

struct GpuTimerResult {
    const char* name = nullptr; // null for rows that show nothing
    uint64_t duration = 0;
    uint64_t average = 0;
    uint64_t history[kGpuTimerHistory] = {};
    int32_t historyIndex = 0;
    int32_t depth = 0;
};

extern std::unordered_map<std::string, GpuTimerRecord> gpuTimerRecords;
extern std::vector<GpuTimerRecord*> gpuTimerFrameRecords;
extern std::deque<std::string> gpuTimerNameStack;
extern int gpuTimerSlot;

// Timestamps are only worth their cost while something reads them (the editor's GPU view). Switched off, scopes and
// timerGpuTimestamp issue no queries and record nothing. On by default; the player switches them off.
void timerSetGpuScopesEnabled(bool enabled);
bool timerGpuScopesEnabled();

// One GL timestamp under the name. Returns the new list position for an opening record (parent -1), else parent.
int timerGpuTimestamp(const std::string& name, int parent);
// Called with each record just before its timestamp query is issued. Where timestamps are taken when work is queued
// rather than when it runs (software rasterisers), a benchmark times the scopes itself here. Null: none.
using GpuTimestampObserver = void (*)(const GpuTimerRecord& record);
void timerSetGpuTimestampObserver(GpuTimestampObserver observer);
void timerPushScope();
void timerPopScope();
// Reads the timestamps written two frames ago and turns this frame's records into rows. Editor only.
GpuTimerResult* timerCollectGpuResults(int* count);
// End of frame: next ring slot, empty frame list.
void timerGpuAdvanceFrame();
// Drops every record and its queries, and the result table (tests). Needs the GL context.
void timerResetGpu();

// Brackets GPU work with two timestamps; pushLevel indents what runs inside for the GPU view.
class ScopedGpuTimer {
public:
    ScopedGpuTimer(const std::string& name, bool pushLevel);
    ~ScopedGpuTimer();
    ScopedGpuTimer(const ScopedGpuTimer&) = delete;
    ScopedGpuTimer& operator=(const ScopedGpuTimer&) = delete;

private:
    std::string name_;
    int openingIndex_ = -1;
    bool pushedLevel_ = false;
    bool active_ = false; // false: scopes were off when it opened, so it closes without a record
};
