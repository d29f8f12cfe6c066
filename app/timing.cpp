#include "app/timing.h"

#include "app/log.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <glbinding/gl/gl.h>
#include <memory>
#include <new>

using namespace gl;

// ---- Play clock ----

PlayClock playClock;

namespace {

double steadyClockSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TimerClockSource clockSource = steadyClockSeconds;

} // namespace

void timerSetClockSource(TimerClockSource source)
{
    clockSource = source ? source : steadyClockSeconds;
}

double timerReading()
{
    return clockSource();
}

float timerGetTime(float scale)
{
    double t;
    if (playClock.paused) {
        t = playClock.lastReading;
    } else {
        t = timerReading();
        playClock.lastReading = t;
    }
    if (!playClock.started) {
        playClock.start = t;
        playClock.started = true;
        return 0.0f;
    }
    // The difference is taken in double precision: readings are large numbers of seconds.
    return static_cast<float>(t - playClock.start) * scale;
}

void timerRestartClock()
{
    playClock.start = timerReading();
    playClock.started = true;
}

void timerPauseClock()
{
    if (playClock.paused)
        return;
    playClock.pauseStart = timerReading();
    playClock.paused = true;
}

void timerResumeClock()
{
    if (!playClock.paused)
        return;
    playClock.paused = false;
    playClock.start += timerReading() - playClock.pauseStart;
}

// ---- CPU timer nodes ----

namespace {

struct TimerNodeEntry {
    std::string name;
    std::unique_ptr<TimerNode> node;
    std::unique_ptr<TimerNodeEntry> next;
};

std::unique_ptr<std::unique_ptr<TimerNodeEntry>[]> timerNodeTable;

TimerNodeEntry* findEntry(const char* name)
{
    if (!timerNodeTable)
        return nullptr;
    for (TimerNodeEntry* entry = timerNodeTable[timerNodeBucket(name)].get(); entry; entry = entry->next.get()) {
        if (entry->name == name)
            return entry;
    }
    return nullptr;
}

} // namespace

uint32_t timerNodeBucket(const char* name)
{
    uint32_t h = 5381;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c; ++c)
        h = (h * 33) ^ *c;
    return h & (kTimerNodeBuckets - 1);
}

const char* timerNodePath()
{
    return "frame";
}

void timerCreateNodeTable()
{
    if (!timerNodeTable)
        timerNodeTable = std::make_unique<std::unique_ptr<TimerNodeEntry>[]>(kTimerNodeBuckets);
}

TimerNode* timerFindNode()
{
    TimerNodeEntry* entry = findEntry(timerNodePath());
    return entry ? entry->node.get() : nullptr;
}

TimerNode* timerCreateNode()
{
    timerCreateNodeTable();
    const char* path = timerNodePath();
    TimerNodeEntry* entry = findEntry(path);
    if (entry && entry->node) {
        LOG_ERROR("Timer node already created:%s (%s)", entry->name.c_str(), path);
        return nullptr;
    }
    auto node = std::unique_ptr<TimerNode>(new (std::nothrow) TimerNode());
    if (!node)
        return nullptr;
    node->name = path;
    node->start = timerReading();
    TimerNode* result = node.get();
    if (entry) {
        entry->node = std::move(node);
    } else {
        auto added = std::make_unique<TimerNodeEntry>();
        added->name = path;
        added->node = std::move(node);
        std::unique_ptr<TimerNodeEntry>& head = timerNodeTable[timerNodeBucket(path)];
        added->next = std::move(head);
        head = std::move(added);
    }
    LOG_INFO("Created %s", path);
    return result;
}

void timernodeAddValue(TimerNode* node, float seconds)
{
    if (!node)
        return;
    const size_t capacity = node->values.size();
    const size_t slot = static_cast<size_t>(node->count) % kTimerNodeMaxValues;
    if (slot >= capacity) {
        // Grow in steps; once the bound is reached the table is a ring of the most recent values.
        try {
            node->values.resize(capacity + kTimerNodeGrowth);
        } catch (const std::bad_alloc&) {
            LOG_ERROR("Not enough memory for new entries table: %s", node->name.c_str());
            return;
        }
    }
    node->values[slot] = seconds;
    if (node->count == 0) {
        node->min = seconds;
        node->max = seconds;
    } else {
        node->min = std::min(node->min, seconds);
        node->max = std::max(node->max, seconds);
    }
    ++node->count;
    if (node->count > kTimerNodeWarmupSamples) {
        node->sum += seconds;
        node->average = static_cast<float>(node->sum / (node->count - kTimerNodeWarmupSamples));
    }
    node->last = seconds;
}

void timerResetNodes()
{
    timerNodeTable.reset();
}

// ---- GPU timestamps ----

std::unordered_map<std::string, GpuTimerRecord> gpuTimerRecords;
std::vector<GpuTimerRecord*> gpuTimerFrameRecords;
std::deque<std::string> gpuTimerNameStack;
int gpuTimerSlot = 0;

namespace {

bool gpuScopesEnabled = true;
// One warning about a full frame table until the timers are reset.
bool gpuTimerOverflowWarned = false;

std::unique_ptr<GpuTimerResult[]> gpuTimerResults;

GpuTimestampObserver gpuTimestampObserver = nullptr;

} // namespace

void timerSetGpuTimestampObserver(GpuTimestampObserver observer)
{
    gpuTimestampObserver = observer;
}

void timerSetGpuScopesEnabled(bool enabled)
{
    gpuScopesEnabled = enabled;
}

bool timerGpuScopesEnabled()
{
    return gpuScopesEnabled;
}

int timerGpuTimestamp(const std::string& name, int parent)
{
    if (!gpuScopesEnabled)
        return parent;
    if (gpuTimerFrameRecords.size() >= static_cast<size_t>(kGpuTimerMaxRecords)) {
        if (!gpuTimerOverflowWarned) {
            LOG_WARNING("More than %d GPU timestamps in one frame; the rest are not taken", kGpuTimerMaxRecords);
            gpuTimerOverflowWarned = true;
        }
        return parent;
    }
    auto [it, created] = gpuTimerRecords.try_emplace(name);
    GpuTimerRecord& record = it->second;
    if (created) {
        record.name = name;
        glGenQueries(kGpuTimerSlots, record.queries);
    }
    record.depth = static_cast<int32_t>(gpuTimerNameStack.size());
    record.parent = parent;
    if (gpuTimestampObserver)
        gpuTimestampObserver(record);
    glQueryCounter(record.queries[gpuTimerSlot], GL_TIMESTAMP);
    record.issued[gpuTimerSlot] = true;
    gpuTimerFrameRecords.push_back(&record);
    return parent == -1 ? static_cast<int>(gpuTimerFrameRecords.size()) - 1 : parent;
}

void timerPushScope()
{
    gpuTimerNameStack.emplace_back();
}

void timerPopScope()
{
    if (!gpuTimerNameStack.empty())
        gpuTimerNameStack.pop_back();
}

GpuTimerResult* timerCollectGpuResults(int* count)
{
    if (!gpuTimerResults)
        gpuTimerResults = std::make_unique<GpuTimerResult[]>(kGpuTimerMaxRecords);
    GpuTimerResult* rows = gpuTimerResults.get();
    const int n = static_cast<int>(gpuTimerFrameRecords.size());
    const int readSlot = (gpuTimerSlot + 1) % kGpuTimerSlots;

    for (int i = 0; i < n; ++i) {
        GpuTimerRecord* record = gpuTimerFrameRecords[i];
        GLuint64 value = 0;
        // Reading a query that never received a timestamp is a GL error; such a record reads 0.
        if (record->issued[readSlot])
            glGetQueryObjectui64v(record->queries[readSlot], GL_QUERY_RESULT, &value);
        record->timestamp = value;
        rows[i].name = record->parent == -1 ? nullptr : record->name.c_str();
        rows[i].depth = record->depth;
    }

    for (int j = 1; j < n; ++j) {
        const GpuTimerRecord* record = gpuTimerFrameRecords[j];
        // A parent that does not precede its closing record came from another frame: measure from the previous one.
        const bool closing = record->parent >= 0 && record->parent < j;
        const int base = closing ? record->parent : j - 1;
        const uint64_t d = record->timestamp - gpuTimerFrameRecords[base]->timestamp;
        GpuTimerResult& row = rows[j];
        row.duration = d;
        row.history[row.historyIndex] = d;
        row.historyIndex = (row.historyIndex + 1) % kGpuTimerHistory;
        uint64_t sum = 0;
        for (uint64_t h : row.history)
            sum += h;
        row.average = sum / kGpuTimerHistory;
        if (closing) {
            GpuTimerResult& opening = rows[record->parent];
            opening.name = row.name;
            opening.duration = row.duration;
            opening.average = row.average;
            opening.depth = row.depth;
            row.name = nullptr;
        }
    }
    if (count)
        *count = n;
    return rows;
}

void timerGpuAdvanceFrame()
{
    gpuTimerSlot = (gpuTimerSlot + 1) % kGpuTimerSlots;
    gpuTimerFrameRecords.clear();
}

void timerResetGpu()
{
    for (auto& [name, record] : gpuTimerRecords)
        glDeleteQueries(kGpuTimerSlots, record.queries);
    gpuTimerRecords.clear();
    gpuTimerFrameRecords.clear();
    gpuTimerNameStack.clear();
    gpuTimerSlot = 0;
    gpuTimerResults.reset();
    gpuTimerOverflowWarned = false;
}

ScopedGpuTimer::ScopedGpuTimer(const std::string& name, bool pushLevel)
{
    // Nobody reads the timings: no copy of the name, no query, no record.
    if (!gpuScopesEnabled)
        return;
    active_ = true;
    name_ = name;
    pushedLevel_ = pushLevel;
    // Only names already taken this frame count: a second sequential scope X becomes X_1.
    auto taken = [](const std::string& candidate) {
        for (const GpuTimerRecord* record : gpuTimerFrameRecords) {
            if (record->name == candidate)
                return true;
        }
        return false;
    };
    if (taken(name_)) {
        for (int d = 1;; ++d) {
            std::string candidate = name + "_" + std::to_string(d);
            if (!taken(candidate)) {
                name_ = std::move(candidate);
                break;
            }
        }
    }
    // The opening timestamp is taken before the push, so it carries the outer level.
    openingIndex_ = timerGpuTimestamp(name_ + "_opening", -1);
    if (pushLevel)
        timerPushScope();
}

ScopedGpuTimer::~ScopedGpuTimer()
{
    if (!active_)
        return;
    if (pushedLevel_)
        timerPopScope();
    timerGpuTimestamp(name_, openingIndex_);
}
