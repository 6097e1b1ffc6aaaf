// Runs a program to its end under a time limit and collects both channels.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1; // exit status; -1 when killed or not started
};

// env entries ("NAME=value") are added to this process's environment.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, int timeoutMs = 10000);
