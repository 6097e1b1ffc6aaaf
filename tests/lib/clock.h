// The tests' one clock: CLOCK_MONOTONIC, unaffected by changes to the wall clock.
#pragma once

#include <cstdint>

namespace testlib {

int64_t monotonic_ms();
int64_t monotonic_us();
int64_t monotonic_ns();

} // namespace testlib
