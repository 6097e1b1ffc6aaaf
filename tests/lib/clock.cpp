#include "clock.h"

#include <time.h>

namespace testlib {

int64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t monotonic_ms() {
    return monotonic_ns() / 1000000;
}

int64_t monotonic_us() {
    return monotonic_ns() / 1000;
}

} // namespace testlib
