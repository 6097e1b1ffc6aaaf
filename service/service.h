// The registry client: one command per run, its run state and the
// operations that the call command shares with the queries.
#pragma once

#include <binder/IBinder.h>
#include <binder/IServiceManager.h>
#include <stdint.h>
#include <utils/String16.h>
#include <utils/String8.h>

namespace service {

enum ExitStatus { kOk = 0, kUsageError = 10, kNoRegistry = 20 };

struct RunState {
    android::sp<android::IServiceManager> sm;
    int status = kOk;
    bool wantsUsage = false;
};

extern const char kUsage[];

// Runs one command; returns the exit status.
int serviceMain(int argc, char** argv);

// The call command; argv[k] is "call". Returns the exit status.
int runCall(RunState& run, int argc, char** argv, int k);

// A command line that cannot be run: the complaint (line, then word), then
// the usage text; returns the usage-error status.
int usageError(RunState& run, const char* line, const char* word = "");

// The descriptor that a service reports; empty when it has none, does not
// answer, or the reference is null.
android::String16 queryInterfaceDescriptor(const android::sp<android::IBinder>& service);

// UTF-16 to printable UTF-8 (a lone surrogate becomes U+FFFD); control
// characters, NUL, DEL and C1 among them, become \xHH and \u00HH.
android::String8 narrowString16(const android::String16& str);

// Decimal like atoi, but a value outside int32_t saturates at INT32_MIN or
// INT32_MAX, so the device and the host agree.
int32_t parseInt32(const char* text);

} // namespace service
