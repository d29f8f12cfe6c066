#include "editor/event_log.h"

#include <cstdarg>
#include <cstdio>

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

} // namespace

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
