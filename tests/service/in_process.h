// serviceMain in the fuzzer's own process, both channels caught in memory
// files, for targets that check every byte that a run wrote.
#pragma once

#include <binder/Parcel.h>

#include <string>
#include <vector>

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `service ARGS...` on whatever registry is the default. Each argument
// gets an allocation of exactly its size, so a read past its end is caught.
RunResult runInProcess(const std::vector<std::string>& args);

// What Parcel::print writes for the parcel.
std::string dumpText(const android::Parcel& parcel);

// Puts the real channels back, prints what broke and aborts (a crash for
// the fuzzer).
[[noreturn]] void fuzzFail(const std::string& what, const std::string& detail = "");

// Hex-escaped, for failure messages.
std::string quoted(const std::string& bytes);
