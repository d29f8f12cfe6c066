// The editor settings file "ui_state.json" of the current project: read once at start-up, written once at exit,
// in playback too.
#pragma once

#include <cstdint>
#include <string>

// A remembered tree-group state; the table keeps what the file held and writes it back.
struct UiGroupStatus {
    std::string name;
    int open = 0;
    UiGroupStatus* next = nullptr;
};

constexpr int kUiGroupBuckets = 8192;
constexpr size_t kUiVariableFilterSize = 256;

// Bucket heads; null until the file is read.
extern UiGroupStatus** uiGroupStatus;
extern char uiVariableFilter[kUiVariableFilterSize];
extern bool uiUseRocket;
extern bool uiGlDebug;
// renderingBBox (render/selection_bounds.h) and renderingMain (render/deferred_composite.h) are kept here too.

// h = 5381, h = (h * 33) ^ c over the name's bytes taken as signed chars; the low 13 bits pick the bucket.
uint32_t ui_group_bucket(const std::string& name);
// An existing record takes the new value; a new one goes to the head of its bucket's chain.
void ui_group_status_set(const std::string& name, int open);
UiGroupStatus* ui_group_status_find(const std::string& name);
void ui_free_group_status(UiGroupStatus** table);

// Reads "{project folder}/ui_state.json" of the current project. A file that is there but cannot be read, is not
// JSON or holds a value of the wrong type leaves the settings as they are and is never overwritten.
void ui_load_cvar_status();
// Writes the settings into the folder of the project current now; unknown members of the file read at start-up
// are written back with them. Registered to run at exit by ui_init.
void ui_save_cvar_status();
// Back to the start-up values with no file read (tests).
void ui_reset_cvar_status();
