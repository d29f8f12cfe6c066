#include "editor/event_log.h"

#include "jni/engine/grd_messages.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

EventLog* uiEventLog = nullptr;

namespace {

void appendFormatted(EventLog* log, const char* format, va_list args)
{
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length <= 0)
        return;
    const size_t start = log->text.size();
    log->text.resize(start + static_cast<size_t>(length) + 1);
    std::vsnprintf(log->text.data() + start, static_cast<size_t>(length) + 1, format, args);
    log->text.resize(start + static_cast<size_t>(length));
    for (size_t i = start; i < log->text.size(); ++i)
        if (log->text[i] == '\n')
            log->lineOffsets.push_back(static_cast<int>(i));
    log->scrollToBottom = true;
}

void appendDeviceMessage(const std::string& text, bool endLine)
{
    if (endLine)
        ui_event_log_add_line(uiEventLog, "%s", text.c_str());
    else
        ui_event_log_add(uiEventLog, "%s", text.c_str());
}

} // namespace

void ui_event_log_connect()
{
    grdMessageSink = appendDeviceMessage;
}

void ui_event_log_add(EventLog* log, const char* format, ...)
{
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    appendFormatted(log, format, args);
    va_end(args);
}

void ui_event_log_add_line(EventLog* log, const char* format, ...)
{
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    appendFormatted(log, format, args);
    va_end(args);
    if (log->text.empty() || log->text.back() != '\n') {
        log->text.push_back('\n');
        log->lineOffsets.push_back(static_cast<int>(log->text.size() - 1));
        log->scrollToBottom = true;
    }
}

void ui_event_log_clear(EventLog* log)
{
    if (!log)
        return;
    std::string().swap(log->text);
    std::vector<int>().swap(log->lineOffsets);
}

std::vector<std::string_view> ui_event_log_visible_lines(const EventLog& log)
{
    const std::string_view all = log.text;
    if (!log.filter.IsActive())
        return {all};
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t k = 0; k <= log.lineOffsets.size(); ++k) {
        // Offsets past the text (a log edited behind the appenders' back) end the walk instead of reading out.
        const bool last = k == log.lineOffsets.size();
        const size_t end = last ? all.size() : static_cast<size_t>(log.lineOffsets[k]);
        if (end > all.size() || end < start)
            break;
        const std::string_view line = all.substr(start, end - start);
        if (log.filter.PassFilter(line.data(), line.data() + line.size()))
            lines.push_back(line);
        if (last || end + 1 >= all.size())
            break;
        start = end + 1;
    }
    return lines;
}

void ui_event_log_window(EventLog* log, bool* open)
{
    ImGui::SetNextWindowSize(ImVec2(500, 400), ImGuiCond_FirstUseEver);
    ImGui::Begin("Event log", open);
    if (!log) {
        ImGui::End();
        return;
    }
    if (ImGui::Button("Clear"))
        ui_event_log_clear(log);
    ImGui::SameLine();
    const bool copy = ImGui::Button("Copy");
    ImGui::SameLine();
    log->filter.Draw("Filter", ImGui::GetContentRegionAvail().x - 100.0f);
    ImGui::Separator();
    ImGui::BeginChild("scrolling", ImVec2(0, 0), false, ImGuiWindowFlags_HorizontalScrollbar);
    if (copy)
        ImGui::LogToClipboard();
    for (std::string_view line : ui_event_log_visible_lines(*log))
        ImGui::TextUnformatted(line.data(), line.data() + line.size());
    if (copy)
        ImGui::LogFinish();
    if (log->scrollToBottom)
        ImGui::SetScrollHereY(1.0f);
    log->scrollToBottom = false;
    ImGui::EndChild();
    ImGui::End();
}
