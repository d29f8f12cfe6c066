// The editor's append-only message window; shader builds and component rebuilds write to it.
#pragma once

#include <imgui.h>

#include <string>
#include <string_view>
#include <vector>

struct EventLog {
    std::string text;
    ImGuiTextFilter filter;       // the window's "Filter" field
    std::vector<int> lineOffsets; // offset of every line feed in text (the line feed itself)
    bool scrollToBottom = false;  // set by every append, cleared by the window once it scrolled
};

// Created by ui_init, in editor and playback mode alike.
extern EventLog* uiEventLog;

// Appends printf-formatted text. A null log is ignored, so callers never need to test for it.
void ui_event_log_add(EventLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, then a line feed unless the buffer already ends with one.
void ui_event_log_add_line(EventLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Points the device layer's message sink (shader builds, reloads and rebuilds) at whatever uiEventLog is when a
// message comes; ui_init does this.
void ui_event_log_connect();

// "Clear": empties the text and the line offsets and releases both buffers.
void ui_event_log_clear(EventLog* log);
// The lines the window shows, without their line feeds. With filter terms: each line that passes the filter
// (the walk ends at a line feed that is the last character, so the empty tail is no line). Without terms: the
// whole text as one piece.
std::vector<std::string_view> ui_event_log_visible_lines(const EventLog& log);

// The "Event log" window: "Clear", "Copy" (the lines drawn this frame go to the clipboard), the "Filter" field and
// the text, scrolled to the end after every append.
void ui_event_log_window(EventLog* log, bool* open);
