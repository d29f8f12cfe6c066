#include "app/log.h"

#include <cstdarg>
#include <mutex>

namespace {

std::mutex logMutex;
FILE* logFile = nullptr;
bool logOpenAttempted = false;

// Called with logMutex held; the failure line must not take the lock again.
void log_init()
{
    logOpenAttempted = true;
    logFile = std::fopen("app_log.txt", "w");
    if (!logFile) {
        std::fprintf(stdout, LOG_COLOR_RED "[%s : %4d]\"Failed to initialize log file <app_log.txt>\"\033[39m\n",
                     __func__, __LINE__);
        std::fflush(stdout);
    }
}

} // namespace

void log_print(const char* format, ...)
{
    {
        std::lock_guard<std::mutex> lock(logMutex);
        if (!logOpenAttempted)
            log_init();
    }

    // Formatting happens outside the lock, into a per-call buffer: no allocation on this path.
    char buffer[32768];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(logMutex);
    std::fputs(buffer, stdout);
    if (logFile) {
        std::fputs(buffer, logFile);
        std::fputc('\n', logFile);
        std::fflush(logFile);
    }
}

void log_end_line()
{
    std::fputs("\033[39m\n", stdout);
    std::fflush(stdout);
}

ScopedTimer::ScopedTimer(std::string name) : name_(std::move(name)), start_(std::chrono::steady_clock::now()) {}

std::string ScopedTimer::formatMessage(const std::string& name, std::chrono::nanoseconds elapsed)
{
    // Seconds are derived from whole milliseconds, so the last printed digit is always 0.
    const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    const float seconds = static_cast<float>(ms) / 1000.0f;
    char text[1024];
    std::snprintf(text, sizeof(text), "%s : %dms : %.4fs", name.c_str(), ms, seconds);
    return text;
}

ScopedTimer::~ScopedTimer()
{
    const std::string message = formatMessage(name_, std::chrono::steady_clock::now() - start_);
    LOG_INFO("%s", message.c_str());
}
