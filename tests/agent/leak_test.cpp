// The agent under valgrind memcheck through a conversation and each way of ending: what it owns
// must be freed, or at least still reachable, when it exits.
#include "protocol.h"
#include "rig.h"
#include "text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using testlib::read_file;

namespace {

const int wait_ms = 60000; // valgrind is slow to start
const int leak_status = 99;
const char dev[] = "/org/velto/hci0/dev_00_11";
const char valgrind[] = "/usr/bin/valgrind";

class NeedsValgrind : public testing::Environment {
  public:
    void SetUp() override {
        if (access(valgrind, X_OK) != 0) {
            printf("skipped: %s is missing (package valgrind)\n", valgrind);
            fflush(stdout);
            _exit(77);
        }
    }
};

const testing::Environment* const needs_valgrind =
    testing::AddGlobalTestEnvironment(new NeedsValgrind);

enum class End { Release, Term, Int, DaemonQuits, DaemonReleasesName, BusDies };

struct LeakCase {
    const char* name;
    std::vector<std::string> args;
    End end;
    int status;
};

void PrintTo(const LeakCase& c, std::ostream* os) {
    *os << c.name;
}

class Leaks : public testing::TestWithParam<LeakCase>, public Rig {
  protected:
    Leaks() : Rig(wait_ms) {}

    void SetUp() override {
        char tmpl[] = "/tmp/agent-leak-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        log = tmpl;
    }
    void TearDown() override { unlink(log.c_str()); }

    std::string log;
};

TEST_P(Leaks, NoneAtAnyEnd) {
    const LeakCase& c = GetParam();
    ASSERT_TRUE(start_daemon());
    ASSERT_TRUE(start_agent(
        c.args,
        {valgrind,
         {"valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
          "--error-exitcode=" + std::to_string(leak_status), "--log-file=" + log}}));
    ASSERT_TRUE(wait_serving());

    // Every method, so that every handler has run before the end.
    const std::vector<std::pair<std::string, std::string>> calls = {
        {"call " + protocol::call("RequestPinCode", dev), "reply RequestPinCode"},
        {"call " + protocol::call("RequestPasskey", dev), "reply RequestPasskey"},
        {std::string("call RequestConfirmation ou ") + dev + " 123456",
         protocol::reply("RequestConfirmation")},
        {std::string("call Authorize os ") + dev + " 00001101-0000-1000-8000-00805f9b34fb",
         protocol::reply("Authorize")},
        {"call Cancel", protocol::reply("Cancel")},
        {"call NoSuchMethod", "error NoSuchMethod"},
    };
    for (const auto& call : calls) {
        daemon.write_line(call.first);
        ASSERT_TRUE(daemon.wait_any_line({call.second}, wait_ms)) << call.first << "\n"
                                                                  << daemon.out() << agent.err();
    }

    switch (c.end) {
    case End::Release:
        daemon.write_line("call Release");
        break;
    case End::Term:
        agent.signal(SIGTERM);
        break;
    case End::Int:
        agent.signal(SIGINT);
        break;
    case End::DaemonQuits:
        daemon.write_line("quit");
        break;
    case End::DaemonReleasesName:
        daemon.write_line("release");
        break;
    case End::BusDies:
        bus.kill_now();
        break;
    }
    EXPECT_EQ(agent.wait_exit(wait_ms), c.status) << read_file(log) << agent.err();
    EXPECT_EQ(read_file(log).find("definitely lost"), std::string::npos) << read_file(log);
}

const LeakCase leak_cases[] = {
    {"Release", {"1234"}, End::Release, 0},
    {"SigTerm", {"1234"}, End::Term, 0},
    {"SigInt", {"-d", "0", "1234"}, End::Int, 0},
    {"PairingSigTerm", {"1234", "00:11:22:33:44:55"}, End::Term, 0},
    {"DaemonQuits", {"1234"}, End::DaemonQuits, 0},
    {"DaemonReleasesName", {"-p", "/my/agent", "1234"}, End::DaemonReleasesName, 0},
    {"BusDies", {"1234"}, End::BusDies, 1},
};

INSTANTIATE_TEST_SUITE_P(Agent, Leaks, testing::ValuesIn(leak_cases),
                         [](const testing::TestParamInfo<LeakCase>& i) { return i.param.name; });

} // namespace
