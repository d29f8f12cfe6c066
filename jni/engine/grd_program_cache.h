// Linked programs kept on disk between runs (glGetProgramBinary / glProgramBinary), so a second start compiles
// nothing. An entry is keyed by the expanded stage texts with their types and defines, and by the driver (vendor,
// renderer, version); one that does not match, is cut short or damaged is never trusted. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Empty: off (the default; the engine turns it on at start-up, tests point it into their own folder).
void programCacheSetFolder(const std::string& folder);
const std::string& programCacheFolder();
bool programCacheEnabled();
// $DEMOENGINE_PROGRAM_CACHE when set, else $XDG_CACHE_HOME/demoengine/programs, else
// $HOME/.cache/demoengine/programs; empty when none of them is set.
std::string programCacheDefaultFolder();

// FNV-1a over the GL vendor, renderer and version strings of the current context (taken once per folder set).
uint64_t programCacheDriverKey();

struct ProgramCacheEntry {
    uint32_t format = 0;
    std::vector<uint8_t> binary;
};

// The entry of `key`; false when there is none (quietly) or it cannot be used (one log line naming why). Counts a
// hit, a miss or a rejection.
bool programCacheLoad(uint64_t key, ProgramCacheEntry& entry);
// Writes the entry through a temporary file and a rename; false after a log line.
bool programCacheStore(uint64_t key, const ProgramCacheEntry& entry);
// The file of a key (tests damage entries through it).
std::string programCacheFile(uint64_t key);

struct ProgramCacheCounters {
    int hits = 0;     // entries read (and, for programs, accepted by the driver)
    int misses = 0;   // no entry: built from source
    int rejected = 0; // an entry was there but unusable: built from source
    int stored = 0;
};
extern ProgramCacheCounters programCacheCounters;
