// The agent with its Nth allocation failed, for N over a whole conversation: it never dies of a
// signal or hangs, ends with 0 or 1, and a reply it cannot create is reported and retried.
// CI samples N; AGENT_ALLOC_SWEEP=full tries every N.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char dev[] = "/org/velto/hci0/dev_00_11";
const int wait_ms = 5000;
const int sampled_runs = 40;

// Exited, without reaping it: the harness still collects the status.
bool has_exited(pid_t pid) {
    siginfo_t info = {};
    return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Waits for a daemon line starting with any of prefixes while the agent lives.
bool wait_while_alive(Process& daemon, const Process& agent,
                      const std::vector<std::string>& prefixes) {
    int64_t deadline = monotonic_ms() + wait_ms;
    while (monotonic_ms() < deadline) {
        if (daemon.wait_any_line(prefixes, 20))
            return true;
        if (has_exited(agent.pid()))
            return daemon.wait_any_line(prefixes, 200);
    }
    return false;
}

struct Outcome {
    int status = -1;
    bool lost_reply = false; // a call that got neither a reply nor an error
    bool not_created = false;
    std::string err;
};

// One conversation, ended by Release; fail_at 0 fails nothing.
Outcome converse(unsigned long fail_at, const std::string& count_file = "") {
    Outcome o;
    Bus bus;
    Process daemon, agent;
    if (!bus.start() || !daemon.start(BTDAEMON_BIN, {"btdaemon", "--script"}, bus.address()) ||
        !daemon.wait_line("owner org.velto", wait_ms)) {
        ADD_FAILURE() << "bus or daemon did not start";
        return o;
    }
    std::vector<std::string> argv = {"env", "LD_PRELOAD=" FAIL_ALLOC_LIB,
                                     "FAIL_ALLOC_AT=" + std::to_string(fail_at)};
    if (!count_file.empty())
        argv.push_back("FAIL_ALLOC_COUNT=" + count_file);
    argv.insert(argv.end(), {AGENT_BIN, "1234"});
    if (!agent.start("/usr/bin/env", argv, bus.address())) {
        ADD_FAILURE() << "agent did not start";
        return o;
    }
    const std::vector<std::string> calls = {
        "ping",
        std::string("call RequestPinCode o ") + dev,
        std::string("call RequestPasskey o ") + dev,
        std::string("call RequestConfirmation ou ") + dev + " 123456",
        std::string("call Authorize os ") + dev + " 00001101-0000-1000-8000-00805f9b34fb",
        "call Cancel",
        "call Release",
    };
    if (wait_while_alive(daemon, agent, {"agent "})) {
        for (const auto& call : calls) {
            if (has_exited(agent.pid()))
                break;
            std::string member = call == "ping" ? "Ping" : call.substr(5, call.find(' ', 5) - 5);
            daemon.write_line(call);
            if (!wait_while_alive(daemon, agent, {"reply " + member, "error " + member}))
                o.lost_reply = true;
        }
    }
    o.status = agent.wait_exit(wait_ms);
    o.err = agent.err();
    o.not_created = o.err.find("Can't create reply message\n") != std::string::npos;
    return o;
}

unsigned long allocations_of_a_conversation() {
    char tmpl[] = "/tmp/agent-allocs-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return 0;
    close(fd);
    Outcome o = converse(0, tmpl);
    unsigned long n = 0;
    std::ifstream(tmpl) >> n;
    unlink(tmpl);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_FALSE(o.lost_reply);
    return n;
}

TEST(AllocationFailure, NeverCrashesOrHangs) {
    unsigned long total = allocations_of_a_conversation();
    ASSERT_GT(total, 0u) << "the shim counted nothing";
    const char* mode = getenv("AGENT_ALLOC_SWEEP");
    bool full = mode && std::string(mode) == "full";
    // A sample spread over the whole run, with an odd stride so every phase gets hit.
    unsigned long step = full ? 1 : (total / sampled_runs) | 1;

    int runs = 0, ended_one = 0, lost = 0, not_created = 0;
    for (unsigned long n = 1; n <= total + 20; n += step) {
        Outcome o = converse(n);
        ++runs;
        EXPECT_TRUE(o.status == 0 || o.status == 1)
            << "allocation " << n << ": status " << o.status << "\n"
            << o.err;
        ended_one += o.status == 1;
        lost += o.lost_reply;
        not_created += o.not_created;
    }
    printf("allocations in a conversation: %lu; runs: %d (every %lu); status 1: %d; "
           "calls without an answer: %d; reply not created: %d\n",
           total, runs, step, ended_one, lost, not_created);
}

} // namespace
