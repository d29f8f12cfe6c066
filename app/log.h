// The one logging path of the engine: every line goes to the console and to "app_log.txt".
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// printf-style; callers use LOG_INFO / LOG_WARNING / LOG_ERROR, never this directly.
void log_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Console-only tail written after each line: colour reset and line break.
void log_end_line();

#define LOG_COLOR_RED "\033[31m"
#define LOG_COLOR_YELLOW "\033[33m"

#define LOG_WITH_PREFIX(prefix, fmt, ...)                                                    \
    do {                                                                                     \
        log_print(prefix "[%s : %4d]\"" fmt "\"", __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
        log_end_line();                                                                      \
    } while (0)

#define LOG_INFO(fmt, ...) LOG_WITH_PREFIX("", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_WARNING(fmt, ...) LOG_WITH_PREFIX(LOG_COLOR_YELLOW, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ERROR(fmt, ...) LOG_WITH_PREFIX(LOG_COLOR_RED, fmt __VA_OPT__(, ) __VA_ARGS__)

// Logs "name : Nms : N.NNNNs" when the scope ends.
class ScopedTimer {
public:
    explicit ScopedTimer(std::string name);
    ~ScopedTimer();
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

    // The text the destructor logs for a duration; exposed so the rounding rules can be tested.
    static std::string formatMessage(const std::string& name, std::chrono::nanoseconds elapsed);

private:
    std::string name_;
    std::chrono::steady_clock::time_point start_;
};
