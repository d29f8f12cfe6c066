// The editor's append-only message window; shader builds and component rebuilds write to it.
#pragma once

#include <string>
#include <vector>

struct EventLog {
    std::string text;
    std::vector<int> lineOffsets; // offset of every line feed in text
    bool scrollToBottom = false;
};

// Created by ui_init, in editor and playback mode alike.
extern EventLog* uiEventLog;

// Appends printf-formatted text. A null log is ignored, so callers never need to test for it.
void ui_event_log_add(EventLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, then a line feed unless the buffer already ends with one.
void ui_event_log_add_line(EventLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
