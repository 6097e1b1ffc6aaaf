// The agent's gtest suites set up through one rig: a private bus, the scripted daemon
// (btdaemon --script) and the agent on it, each ended by its PID, every wait under a time limit.
#pragma once

#include "private_bus.h"
#include "process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The shared runner, where a line that the child does not take fails the test.
class CheckedProcess : public testlib::Process {
  public:
    void write_line(const std::string& line) {
        if (!testlib::Process::write_line(line))
            ADD_FAILURE() << "cannot write to child: " << line;
    }
};

// What runs the agent (env, valgrind): its path and argv, which the agent's path and arguments
// follow.
struct Launcher {
    std::string path;
    std::vector<std::string> argv;
};

// The bus starts with the first program. Each step returns what did not happen.
class Rig {
  public:
    explicit Rig(int wait_ms = 10000) : wait_ms_(wait_ms) {}

    // btdaemon --script with options into d, once it prints ready.
    testing::AssertionResult start_daemon(CheckedProcess& d,
                                          const std::vector<std::string>& options = {},
                                          const std::string& ready = "owner org.velto");
    testing::AssertionResult start_daemon(const std::vector<std::string>& options = {}) {
        return start_daemon(daemon, options);
    }
    // The agent with args, started as "agent", or through launcher when it has a path.
    testing::AssertionResult start_agent(const std::vector<std::string>& args,
                                         const Launcher& launcher = {});
    // The daemon has the agent's registration, and the agent has answered its ping. The answer
    // comes from the dispatch loop: its handlers, its watch and its signal handlers are in place.
    testing::AssertionResult wait_serving();
    // The daemon with daemon_options, then the agent with args, serving.
    testing::AssertionResult start_serving(const std::vector<std::string>& args,
                                           const std::vector<std::string>& daemon_options = {});
    // The daemon leaves and shows all that it has received.
    std::string daemon_record(CheckedProcess& d);

    PrivateBus bus;
    CheckedProcess daemon, agent;
    std::string default_path; // of the last agent started
    std::string agent_line;   // the daemon's line on the registration, from wait_serving

  private:
    testing::AssertionResult start_bus();
    int wait_ms_;
};
