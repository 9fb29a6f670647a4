// One lock keeps the lines of the server's threads apart.
#include "event_log.h"

#include <cstdio>
#include <mutex>

void LogEvent(const std::string &line)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}
