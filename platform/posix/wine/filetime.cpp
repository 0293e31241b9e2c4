#include "filetime.h"

#include <time.h>

std::uint64_t FileTimeNow() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return kFileTimeOf1970 + static_cast<std::uint64_t>(now.tv_sec) * kFileTimePerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / 100;
}
