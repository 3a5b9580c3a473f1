#pragma once

// This process's resident memory, for the benchmarks that report growth per connection or
// against a bound.
#include <unistd.h>

#include <fstream>

inline long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0;
    long residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * ::sysconf(_SC_PAGESIZE);
}
