// The agent with its Nth allocation failed, for N over a whole conversation ended by Release. It
// never hangs or dies of a signal and ends with 0 or 1; once it serves, every call gets its right
// answer, a reply it cannot make is reported and the call handed in again (Release excepted: the
// agent is on its way out then), and it ends with 0. CI fails each call site of the agent's own
// code once (a count would skip the sites between its samples); AGENT_ALLOC_SWEEP=sampled
// samples N up to the dispatch loop and tries every N from there on, AGENT_ALLOC_SWEEP=full tries
// every N and prints one line per run; AGENT_ALLOC_AT=N tries that N alone (with FAIL_ALLOC_TRACE
// set, the agent shows the failed allocation's stack).
//
// Excluded, and only this: a crash while the failed allocation was made inside dbus_bus_get and
// that call never came back. The bus library's out-of-memory path there can crash (seen: a
// segfault in its hash table of shared connections when the address carries the bus's guid)
// before the agent gets control; the agent cannot handle what it never sees. The shim marks that
// window, so a crash anywhere after dbus_bus_get has returned still fails the test.
#include "clock.h"
#include "protocol.h"
#include "rig.h"
#include "text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

using testlib::count;
using testlib::monotonic_ms;
using testlib::read_file;

namespace {

const char dev[] = "/org/velto/hci0/dev_00_11";
const int wait_ms = getenv("AGENT_ALLOC_WAIT_MS") ? atoi(getenv("AGENT_ALLOC_WAIT_MS")) : 5000;
const int sampled_runs = 40;
const char not_created[] = "Can't create reply message\n";

// Exited, without reaping it: the harness still collects the status.
bool has_exited(pid_t pid) {
    siginfo_t info = {};
    return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// The failed allocation was made inside a blocking request that has not come back: the bus
// library can sit on a reply that it could not parse until the call's time-out. The agent asks
// for the library's default time-out, 25 s.
const char blocking_call[] = "dbus_connection_send_with_reply_and_block";
const int library_timeout_ms = 25000;

bool stalled_in_blocking_call(const std::string& report) {
    size_t failed = report.find(std::string(" in ") + blocking_call + "\n");
    return failed != std::string::npos &&
           report.find(std::string(blocking_call) + " returned\n", failed) == std::string::npos;
}

// Waits for a daemon line starting with any of prefixes while the agent lives; longer while the
// agent sits in such a stall.
bool wait_while_alive(CheckedProcess& daemon, const CheckedProcess& agent,
                      const std::string& report, const std::vector<std::string>& prefixes,
                      std::string* line = nullptr) {
    int64_t deadline = monotonic_ms() + wait_ms;
    bool extended = false;
    for (;;) {
        if (daemon.wait_any_line(prefixes, 20, line))
            return true;
        if (has_exited(agent.pid()))
            return daemon.wait_any_line(prefixes, 200, line);
        if (monotonic_ms() < deadline)
            continue;
        if (extended || !stalled_in_blocking_call(read_file(report)))
            return false;
        extended = true;
        deadline += library_timeout_ms;
    }
}

struct Call {
    std::string command; // for the scripted daemon
    std::string member;
    std::string answer;   // the daemon's line for the right answer
    std::string out_line; // what the agent prints for it, if anything
};

// Every member, in the table's order, Release last.
std::vector<Call> conversation() {
    std::vector<Call> calls;
    for (const auto& m : protocol::members) {
        std::string extra = m.name == std::string("RequestConfirmation") ? "123456"
                            : m.name == std::string("Authorize")
                                ? "00001101-0000-1000-8000-00805f9b34fb"
                                : "";
        calls.push_back({"call " + protocol::call(m.name, dev, extra), m.name,
                         protocol::reply(m.name, "1234"), protocol::printed(m.name, dev, extra)});
    }
    return calls;
}

struct Outcome {
    int status = -1;
    bool served = false;              // answered the ping from its dispatch loop
    bool stalled = false;             // the failure was inside a blocking request
    bool set_up = false;              // bus, daemon and agent started (else a failure is added)
    std::vector<std::string> answers; // the daemon's line per call, "" for none
    std::string out, err, report;
};

// One conversation, the shim set by failure ("FAIL_ALLOC_AT=0" fails nothing).
Outcome converse(const std::string& failure) {
    Outcome o;
    char report[] = "/tmp/agent-allocs-XXXXXX";
    int fd = mkstemp(report);
    if (fd < 0) {
        ADD_FAILURE() << "no temporary file";
        return o;
    }
    close(fd);

    Rig rig(wait_ms);
    testing::AssertionResult up = rig.start_daemon();
    if (up)
        // ld.so splits LD_PRELOAD at spaces, which the build folder's path may have: the shim
        // goes by its name, found through LD_LIBRARY_PATH, which splits at colons only.
        up = rig.start_agent(
            {"1234"}, {"/usr/bin/env",
                       {"env", "LD_LIBRARY_PATH=" FAIL_ALLOC_DIR, "LD_PRELOAD=" FAIL_ALLOC_NAME,
                        failure, std::string("FAIL_ALLOC_REPORT=") + report}});
    if (!up) {
        ADD_FAILURE() << up.message();
        unlink(report);
        return o;
    }
    o.set_up = true;
    if (wait_while_alive(rig.daemon, rig.agent, report, {"agent "})) {
        rig.daemon.write_line("ping");
        o.served = wait_while_alive(rig.daemon, rig.agent, report, {"reply Ping"});
    }
    if (o.served) {
        for (const auto& call : conversation()) {
            std::string line;
            rig.daemon.write_line(call.command);
            wait_while_alive(rig.daemon, rig.agent, report,
                             {"reply " + call.member, "error " + call.member}, &line);
            o.answers.push_back(line);
        }
    }
    bool stall = stalled_in_blocking_call(read_file(report));
    o.status = rig.agent.wait_exit(wait_ms + (stall ? library_timeout_ms : 0));
    o.out = rig.agent.out();
    o.err = rig.agent.err();
    o.report = read_file(report);
    o.stalled = o.report.find(std::string(" in ") + blocking_call + "\n") != std::string::npos;
    unlink(report);
    return o;
}

std::string escaped(const std::string& text) {
    std::string e;
    for (char c : text)
        e += c == '\n' ? std::string("\\n") : std::string(1, c);
    return e;
}

// The bus library's own crash inside dbus_bus_get, see the top of the file.
bool crashed_inside_bus_get(const Outcome& o) {
    return o.status > 128 && o.report.find(" in dbus_bus_get\n") != std::string::npos &&
           o.report.find("dbus_bus_get returned\n") == std::string::npos;
}

// Everything that must hold of one run; returns what did not, "" when all did.
std::string faults_of(const Outcome& o) {
    std::ostringstream f;
    if (o.status != 0 && o.status != 1)
        f << (o.status == -1 ? "hangs" : "status " + std::to_string(o.status)) << "; ";
    if (o.status == 1 && o.served)
        f << "status 1 after it served; ";
    if (o.status == 1 && o.err.empty())
        f << "status 1 without a reason; ";
    std::string stray = protocol::not_complaints(o.err);
    if (!stray.empty())
        f << "standard error not the agent's complaints from \"" << stray << "\"; ";
    if (o.served) {
        bool retried = o.err.find(not_created) != std::string::npos;
        std::vector<Call> calls = conversation();
        for (size_t i = 0; i < calls.size(); i++) {
            const std::string& got = i < o.answers.size() ? o.answers[i] : "";
            bool right = got == calls[i].answer;
            // A Release whose reply could not be made: the agent ends, and the bus answers.
            if (calls[i].member == "Release" && retried)
                right =
                    right || got.rfind("error Release org.freedesktop.DBus.Error.NoReply", 0) == 0;
            if (!right)
                f << calls[i].member << " answered \"" << got << "\"; ";
            if (calls[i].out_line.empty())
                continue;
            size_t printed = count(o.out, calls[i].out_line);
            // A request line is printed once; again only when its call was handed in again.
            if (printed == 0 || (printed > 1 && !retried))
                f << calls[i].out_line.substr(0, calls[i].out_line.size() - 1) << " printed "
                  << printed << " times; ";
        }
        std::string err = o.err;
        // Documented: the agent goes on without its watch on the daemon.
        const std::string no_filter = "Can't add signal filter";
        if (err.compare(0, no_filter.size(), no_filter) == 0)
            err.erase(0, no_filter.size());
        for (size_t at; (at = err.find(not_created)) != std::string::npos;)
            err.erase(at, sizeof not_created - 1);
        if (err != "Agent has been released\n")
            f << "standard error \"" << o.err << "\"; ";
    }
    return f.str();
}

// One run's line of the full sweep.
void print_run(const std::string& what, const Outcome& o, size_t lines, double seconds) {
    printf("allocation %s: status %d%s%s%s, reply not created %zu, %.1f s, err \"%s\"\n",
           what.c_str(), o.status, o.served ? ", served" : "",
           crashed_inside_bus_get(o) ? ", crash inside dbus_bus_get" : "",
           o.stalled ? ", inside a blocking request" : "", lines, seconds, escaped(o.err).c_str());
}

// What CI runs: one failure at each distinct allocating call site, as the path from the agent's
// own call into the bus library or libc down to the allocation, each in a run of its own, until
// a run reaches no path that has not failed yet. A path reached only after an earlier failure is
// tried when a run reaches it.
void sweep_call_sites() {
    std::string tried;
    int runs = 0, with_not_created = 0;
    for (;; runs++) {
        ASSERT_LT(runs, 1000) << "sites without end: " << tried;
        Outcome o = converse("FAIL_ALLOC_SITES=" + tried);
        size_t at = o.report.find(" site 0x");
        if (at == std::string::npos)
            break;
        std::string site = o.report.substr(at + 8, o.report.find_first_of(" \n", at + 8) - at - 8);
        std::string faults = !o.set_up || crashed_inside_bus_get(o) ? "" : faults_of(o);
        EXPECT_EQ(faults, "") << "call site 0x" << site << "\n"
                              << o.report << "--- out\n"
                              << o.out << "--- err\n"
                              << o.err;
        with_not_created += o.err.find(not_created) != std::string::npos;
        tried += (tried.empty() ? "" : ",") + site;
    }
    EXPECT_GT(runs, 10) << "the shim found too few call sites: " << tried;
    EXPECT_GT(with_not_created, 0) << "no reply failed to be made: the sweep missed the replies";
    printf("call sites failed, one run each: %d (%s)\n", runs, tried.c_str());
}

// By hand: AGENT_ALLOC_SWEEP=sampled, or full (every N), or AGENT_ALLOC_AT=N (that N alone).
void sweep_counts() {
    Outcome clean = converse("FAIL_ALLOC_AT=0");
    ASSERT_EQ(faults_of(clean), "") << clean.out << clean.err;
    ASSERT_TRUE(clean.served);
    unsigned long total = 0;
    size_t at = clean.report.find("calls ");
    if (at != std::string::npos)
        total = strtoul(clean.report.c_str() + at + 6, nullptr, 10);
    ASSERT_GT(total, 0u) << "the shim counted nothing: " << clean.report;
    unsigned long serving = 0;
    at = clean.report.find("dispatch from ");
    if (at != std::string::npos)
        serving = strtoul(clean.report.c_str() + at + 14, nullptr, 10);
    ASSERT_GT(serving, 0u) << clean.report;

    const char* mode = getenv("AGENT_ALLOC_SWEEP");
    bool full = mode && std::string(mode) == "full";
    // A sample spread over the whole run, with an odd stride so that every phase gets hit. Some
    // more than the count: how many a run makes varies a little with timing.
    unsigned long step = full ? 1 : (total / sampled_runs) | 1;
    unsigned long first = 1, last = total + 20;
    if (const char* only = getenv("AGENT_ALLOC_AT")) {
        first = last = strtoul(only, nullptr, 10);
        full = true;
    }
    int runs = 0, ended_one = 0, served = 0, library_crashes = 0, with_not_created = 0;
    int in_blocking = 0, long_stalls = 0;
    size_t not_created_lines = 0;
    // Some before the loop: how many a run makes varies a little with timing.
    unsigned long dense_from = serving > 10 ? serving - 10 : 1;
    for (unsigned long n = first; n <= last; n += n >= dense_from ? 1 : step) {
        int64_t started = monotonic_ms();
        Outcome o = converse("FAIL_ALLOC_AT=" + std::to_string(n));
        ++runs;
        size_t lines = count(o.err, not_created);
        std::string faults = !o.set_up || crashed_inside_bus_get(o) ? "" : faults_of(o);
        EXPECT_EQ(faults, "") << "allocation " << n << "\n"
                              << o.report << "--- out\n"
                              << o.out << "--- err\n"
                              << o.err;
        double seconds = (monotonic_ms() - started) / 1000.0;
        if (full)
            print_run(std::to_string(n), o, lines, seconds);
        in_blocking += o.stalled;
        long_stalls += o.stalled && seconds * 1000 > wait_ms;
        ended_one += o.status == 1;
        served += o.served;
        library_crashes += crashed_inside_bus_get(o);
        with_not_created += lines > 0;
        not_created_lines += lines;
    }
    // The replies are made in the dense part, so some must have failed there, and been reported.
    if (!getenv("AGENT_ALLOC_AT")) {
        EXPECT_GT(with_not_created, 0)
            << "no reply failed to be made: the sweep missed the replies";
    }
    printf("allocations in a conversation: %lu (the loop from %lu); runs: %d (every %lu); served: "
           "%d; status 1: %d; "
           "crashes inside dbus_bus_get: %d; failed inside a blocking request: %d (%d waited for "
           "the library's time-out); runs with \"Can't create reply message\": %d (%zu lines)\n",
           total, serving, runs, step, served, ended_one, library_crashes, in_blocking, long_stalls,
           with_not_created, not_created_lines);
}

TEST(AllocationFailure, TheAgentHandlesEveryFailedAllocation) {
    if (getenv("AGENT_ALLOC_SWEEP") || getenv("AGENT_ALLOC_AT"))
        sweep_counts();
    else
        sweep_call_sites();
}

} // namespace
