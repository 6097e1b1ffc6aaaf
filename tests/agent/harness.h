// The agent's gtest suites: the agent, the scripted daemon and a private bus daemon, each ended
// by its PID, with a time limit on every wait.
#pragma once

#include "clock.h"
#include "private_bus.h"
#include "process.h"
#include "protocol.h"
#include "text.h"

#include <gtest/gtest.h>

using testlib::count;
using testlib::monotonic_ms;
using testlib::Program;
using testlib::read_file;

// The shared runner; a line that the child does not take fails the test.
class Process : public testlib::Process {
  public:
    void write_line(const std::string& line) {
        if (!testlib::Process::write_line(line))
            ADD_FAILURE() << "cannot write to child: " << line;
    }
};
