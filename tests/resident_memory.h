// The process's resident memory, for tests of what an allocation makes resident.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

// VmRSS of /proc/self/status in bytes; 0 when it cannot be read.
inline int64_t residentBytes()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    long long kilobytes = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmRSS:", 6) == 0 && std::sscanf(line + 6, "%lld", &kilobytes) == 1)
            break;
    std::fclose(status);
    return int64_t(kilobytes) * 1024;
}
