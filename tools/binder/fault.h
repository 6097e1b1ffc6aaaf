// Failing on purpose, so that clients can be tried against a peer that goes
// away in the middle of their work.
#pragma once

#include <stdio.h>
#include <unistd.h>

namespace samples {

// kGarble: answered "done" with a reply that holds no valid item; kWrap: a
// listing that goes round, every index past the last answered with a name
// (the registry only; failNow takes neither).
enum class Fault { kNone, kExit, kHold, kGarble, kWrap };

// Ends the process without a reply (status 3; the kernel then answers the
// caller with a dead reply), or holds the call until the process is killed.
// what names the call in the line printed first, e.g. "call 1".
[[noreturn]] inline void failNow(const char* program, Fault fault, const char* what) {
    printf("%s: %s %s\n", program, fault == Fault::kExit ? "exiting in" : "holding", what);
    fflush(stdout);
    if (fault == Fault::kExit)
        _exit(3);
    for (;;)
        pause();
}

} // namespace samples
