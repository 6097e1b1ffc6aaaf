// The agent when its surroundings fail: the bus daemon killed at random points of a conversation,
// the simulated daemon leaving in the middle of a request, and storms of SIGTERM and SIGINT.
// Random plans come from a seed that each run prints; AGENT_FAULT_SEEDS=N runs N seeds instead
// of the few that CI runs, AGENT_FAULT_SEED=S just seed S.
#include "clock.h"
#include "protocol.h"
#include "rig.h"
#include "text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <unistd.h>

using testlib::count;
using testlib::monotonic_ms;

namespace {

const int wait_ms = 10000;
const char dev[] = "/org/velto/hci0/dev_00_11";
const int ci_seeds = 4;

std::vector<unsigned> seeds() {
    if (const char* one = getenv("AGENT_FAULT_SEED"))
        return {static_cast<unsigned>(strtoul(one, nullptr, 10))};
    int n = ci_seeds;
    if (const char* many = getenv("AGENT_FAULT_SEEDS"))
        n = atoi(many);
    std::vector<unsigned> list;
    for (int i = 1; i <= n; i++)
        list.push_back(static_cast<unsigned>(i));
    return list;
}

void pause_us(int us) {
    if (us > 0)
        usleep(static_cast<useconds_t>(us));
}

// One daemon call and what the agent prints for it; with a reply delay the request methods add
// their waiting line.
struct Call {
    std::string member, args, out;
    bool delayed;
};

// Every member but Release, in the table's order.
std::vector<Call> requests() {
    std::vector<Call> calls;
    for (const auto& m : protocol::members) {
        std::string extra = m.name == std::string("RequestConfirmation") ? "42"
                            : m.name == std::string("Authorize")         ? "uuid"
                                                                         : "";
        if (m.name != std::string("Release"))
            calls.push_back({m.name, protocol::args(m.name, dev, extra),
                             protocol::printed(m.name, dev, extra), m.delayed});
    }
    return calls;
}

std::string printed_for(const std::vector<Call>& calls, size_t n, int delay) {
    std::string text;
    for (size_t i = 0; i < n && i < calls.size(); i++) {
        text += calls[i].out;
        if (delay && calls[i].delayed)
            text += protocol::waiting(delay);
    }
    return text;
}

class Fault : public testing::Test, public Rig {};

// Passkey 1234, and -d delay unless 0.
std::vector<std::string> with_delay(int delay) {
    return delay ? std::vector<std::string>{"-d", std::to_string(delay), "1234"}
                 : std::vector<std::string>{"1234"};
}

// SIGKILL to the bus daemon after some calls, or while one is on its way or being answered, with
// or without a reply delay: the lost bus ends the agent with 1 from inside the library, with no
// line of its own and nothing printed for calls it never got.
TEST_F(Fault, BusDaemonKilledAtRandomPoints) {
    for (unsigned seed : seeds()) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        printf("seed %u\n", seed);
        std::mt19937 rng(seed);
        int delay = rng() % 2;
        std::vector<Call> calls = requests();
        size_t done = rng() % (calls.size() + 1);
        bool in_flight = done < calls.size() && rng() % 2;
        int pause = static_cast<int>(rng() % 20000);

        Rig own;
        ASSERT_TRUE(own.start_serving(with_delay(delay)));
        CheckedProcess &d = own.daemon, &a = own.agent;
        for (size_t i = 0; i < done; i++) {
            d.write_line("call " + calls[i].member + " " + calls[i].args);
            ASSERT_TRUE(d.wait_line("reply " + calls[i].member, wait_ms)) << d.out() << a.err();
        }
        if (in_flight)
            d.write_line("send " + calls[done].member + " " + calls[done].args);
        pause_us(pause);
        own.bus.kill_now();

        EXPECT_EQ(a.wait_exit(wait_ms + delay * 1000), 1);
        EXPECT_EQ(a.err(), "");
        std::string before = printed_for(calls, done, delay);
        std::string after = printed_for(calls, done + 1, delay);
        // The call on its way may or may not have reached the agent; with a delay it may have
        // been cut off before its waiting line.
        bool fits = a.out() == before ||
                    (in_flight && (a.out() == after || a.out() == before + calls[done].out));
        EXPECT_TRUE(fits) << "done " << done << (in_flight ? " and one on its way" : "") << "\n"
                          << a.out();
        d.kill_now();
    }
}

// The daemon leaves the bus while the agent waits for its answer to each of the requests that
// the agent makes (CreatePairedDevice is not waited for): the bus answers for it, and the
// agent reports as for any failed request.
struct LeaveCase {
    const char* name;
    std::vector<std::string> args;
    const char* member;
    bool stop_with_signal; // the request comes at shutdown
    int status;
    std::string err;
};

void PrintTo(const LeaveCase& c, std::ostream* os) {
    *os << c.name;
}

const char no_reply[] = "Message recipient disconnected from message bus without replying\n";

class DaemonLeaves : public Fault, public testing::WithParamInterface<LeaveCase> {};

TEST_P(DaemonLeaves, InTheMiddleOfARequest) {
    const LeaveCase& c = GetParam();
    ASSERT_TRUE(start_daemon({"--leave-on", c.member}));
    ASSERT_TRUE(start_agent(c.args));
    if (c.stop_with_signal) {
        ASSERT_TRUE(wait_serving());
        agent.signal(SIGTERM);
    }
    EXPECT_TRUE(daemon.wait_line(std::string("leaving on ") + c.member, wait_ms)) << daemon.out();
    EXPECT_EQ(daemon.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.wait_exit(wait_ms), c.status);
    EXPECT_EQ(agent.out(), "");
    EXPECT_EQ(agent.err(), c.err);
}

const LeaveCase leave_cases[] = {
    {"DefaultAdapter",
     {"1234"},
     "DefaultAdapter",
     false,
     1,
     std::string("Can't get default adapter\n") + no_reply},
    {"FindAdapter",
     {"-a", "hci0", "1234"},
     "FindAdapter",
     false,
     1,
     std::string("Can't find adapter hci0\n") + no_reply},
    {"RegisterAgent",
     {"1234"},
     "RegisterAgent",
     false,
     1,
     std::string("Can't register agent\n") + no_reply},
    {"UnregisterAgent",
     {"1234"},
     "UnregisterAgent",
     true,
     0,
     std::string("Can't unregister agent\n") + no_reply},
    // Not waited for: the daemon's departure is then seen by the watch.
    {"CreatePairedDevice", {"1234", "00:11"}, "CreatePairedDevice", false, 0, protocol::terminated},
};

INSTANTIATE_TEST_SUITE_P(Agent, DaemonLeaves, testing::ValuesIn(leave_cases),
                         [](const testing::TestParamInfo<LeaveCase>& i) { return i.param.name; });

// The daemon goes right after the adapter lookup, in pairing mode, where nothing more is awaited:
// only the watch can end the agent. Its name given up before the answer or after it, or the bus
// left at once after answering; or given up on the pairing request itself.
struct GoneCase {
    const char* name;
    std::vector<std::string> daemon_options;
    std::vector<std::string> script; // after the lookup is held
};

void PrintTo(const GoneCase& c, std::ostream* os) {
    *os << c.name;
}

class DaemonGone : public Fault, public testing::WithParamInterface<GoneCase> {};

TEST_P(DaemonGone, RightAfterTheLookup) {
    const GoneCase& c = GetParam();
    ASSERT_TRUE(start_daemon(c.daemon_options));
    ASSERT_TRUE(start_agent({"1234", "00:11"}));
    if (!c.script.empty()) {
        ASSERT_TRUE(daemon.wait_line("holding DefaultAdapter", wait_ms)) << agent.err();
    }
    for (const auto& line : c.script)
        daemon.write_line(line);
    if (c.script.empty() || c.script.back() == "quit") {
        EXPECT_EQ(daemon.wait_exit(wait_ms), 0);
    }
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), "");
    EXPECT_EQ(agent.err(), protocol::terminated);
}

const GoneCase gone_cases[] = {
    {"NameGivenUpFirst", {"--leave-after", "DefaultAdapter"}, {}},
    {"LeavesAfterAnswering", {"--hold-lookup"}, {"answer", "quit"}},
    {"NameGivenUpAfterAnswering", {"--hold-lookup"}, {"answer", "release"}},
    // While the agent asks who took the pairing request.
    {"NameGivenUpOnThePairingRequest", {"--leave-after", "CreatePairedDevice"}, {}},
};

INSTANTIATE_TEST_SUITE_P(Agent, DaemonGone, testing::ValuesIn(gone_cases),
                         [](const testing::TestParamInfo<GoneCase>& i) { return i.param.name; });

// Nobody reads the agent's standard output: its lines are lost, its replies and UnregisterAgent
// are not.
TEST_F(Fault, StandardOutputClosed) {
    ASSERT_TRUE(start_daemon());
    ASSERT_TRUE(start_agent({"0123"}));
    agent.close_output();
    ASSERT_TRUE(daemon.wait_line("agent ", wait_ms)) << agent.err();
    const std::pair<std::string, std::string> calls[] = {
        {protocol::call("RequestPinCode", dev), protocol::reply("RequestPinCode", "0123")},
        {"Cancel", protocol::reply("Cancel")}};
    for (const auto& c : calls) {
        std::string member = c.first.substr(0, c.first.find(' '));
        daemon.write_line("call " + c.first);
        std::string reply;
        ASSERT_TRUE(daemon.wait_any_line({"reply " + member, "error " + member}, wait_ms, &reply))
            << daemon.out();
        EXPECT_EQ(reply, c.second);
    }
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.err(), "");
    EXPECT_TRUE(daemon.wait_line("UnregisterAgent /org/velto/agent_", wait_ms)) << daemon.out();
}

// Started with standard output or error closed: the bus socket must not take that number, or a
// status line would go into the bus stream and the bus daemon would drop the agent.
class StandardDescriptorClosed : public Fault, public testing::WithParamInterface<int> {};

TEST_P(StandardDescriptorClosed, LinesDoNotReachTheBus) {
    ASSERT_TRUE(start_daemon());
    agent.close_at_start(GetParam());
    ASSERT_TRUE(start_agent({"0123"}));
    ASSERT_TRUE(daemon.wait_line("agent ", wait_ms)) << agent.err();
    daemon.write_line("call " + protocol::call("RequestPinCode", dev));
    std::string reply;
    ASSERT_TRUE(
        daemon.wait_any_line({"reply RequestPinCode", "error RequestPinCode"}, wait_ms, &reply));
    EXPECT_EQ(reply, protocol::reply("RequestPinCode", "0123"));
    daemon.write_line("call Release");
    ASSERT_TRUE(daemon.wait_any_line({"reply Release", "error Release"}, wait_ms, &reply));
    EXPECT_EQ(reply, protocol::reply("Release"));
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    // The other stream still has its line.
    EXPECT_EQ(agent.out() + agent.err(),
              GetParam() == 1 ? protocol::released : protocol::printed("RequestPinCode", dev));
}

INSTANTIATE_TEST_SUITE_P(Agent, StandardDescriptorClosed, testing::Values(1, 2),
                         [](const testing::TestParamInfo<int>& i) {
                             return i.param == 1 ? "Output" : "Error";
                         });

// Stop signals blocked by whoever started the agent: the mask passes through exec.
TEST_F(Fault, StopSignalsBlockedAtStart) {
    ASSERT_TRUE(start_daemon());
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, &old);
    testing::AssertionResult started = start_agent({"1234"});
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(started);
    ASSERT_TRUE(wait_serving());
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_TRUE(daemon.wait_line("UnregisterAgent /org/velto/agent_", wait_ms)) << daemon.out();
}

// Started under nohup, SIGHUP ignored: the agent outlives its terminal and still stops on SIGTERM.
TEST_F(Fault, HangUpIgnoredAtStartStaysIgnored) {
    ASSERT_TRUE(start_daemon());
    struct sigaction ignore = {}, old;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &old);
    testing::AssertionResult started = start_agent({"1234"});
    sigaction(SIGHUP, &old, nullptr);
    ASSERT_TRUE(started);
    ASSERT_TRUE(wait_serving());
    agent.signal(SIGHUP);
    daemon.write_line("ping");
    ASSERT_TRUE(daemon.wait_line("reply Ping", wait_ms)) << daemon.out() << agent.err();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_TRUE(daemon.wait_line("UnregisterAgent /org/velto/agent_", wait_ms)) << daemon.out();
}

// The daemon hands its name to a queued successor on the pairing request and then refuses it:
// the bus routed the request to the old owner, whose refusal ends the agent, whoever the agent
// later finds owning the name. The handover races the agent's question of who took the
// request, so a few rounds.
TEST_F(Fault, PairingRefusedAcrossAHandover) {
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Rig own;
        ASSERT_TRUE(own.start_daemon(
            {"--leave-after", "CreatePairedDevice", "--fail", "CreatePairedDevice"}));
        CheckedProcess successor;
        ASSERT_TRUE(own.start_daemon(successor, {}, "queued org.velto"));
        ASSERT_TRUE(own.start_agent({"1234", "00:11"}));
        EXPECT_EQ(own.agent.wait_exit(3000), 1);
        EXPECT_EQ(own.agent.err(),
                  "Pairing refused: org.velto.Error.Failed: Refused by the simulated daemon\n");
        own.daemon.kill_now();
        successor.kill_now();
    }
}

// The daemon restarts while it holds the adapter lookup: it gives its name up, a new one takes
// it, then the old one answers. The new one got the registration or the pairing request and is
// served to the end; the old one's departure, still queued, is not the daemon's, and the old one
// is now a stranger.
class DaemonRestarts : public Fault, public testing::WithParamInterface<bool> {};

TEST_P(DaemonRestarts, DuringTheLookup) {
    const bool pairing = GetParam();
    ASSERT_TRUE(start_daemon({"--hold-lookup"}));
    ASSERT_TRUE(start_agent(pairing ? std::vector<std::string>{"1234", "00:11"}
                                    : std::vector<std::string>{"1234"}));
    ASSERT_TRUE(daemon.wait_line("holding DefaultAdapter", wait_ms)) << agent.err();
    daemon.write_line("release");
    ASSERT_TRUE(daemon.wait_line("released org.velto", wait_ms)) << daemon.err();
    CheckedProcess successor;
    ASSERT_TRUE(start_daemon(successor, {}));
    daemon.write_line("answer");
    ASSERT_TRUE(successor.wait_line("agent ", wait_ms, &agent_line)) << agent.err();

    successor.write_line("call " + protocol::call("RequestPinCode", dev));
    ASSERT_TRUE(successor.wait_line(protocol::reply("RequestPinCode", "1234"), wait_ms))
        << successor.out() << agent.err();
    daemon.write_line(agent_line);
    daemon.write_line("call Cancel");
    ASSERT_TRUE(daemon.wait_line("error Cancel org.freedesktop.DBus.Error.AccessDenied", wait_ms))
        << daemon.out();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), protocol::printed("RequestPinCode", dev));
    EXPECT_EQ(agent.err(), "");
    EXPECT_EQ(count(daemon_record(successor), "UnregisterAgent "), pairing ? 0u : 1u)
        << successor.out();
}

INSTANTIATE_TEST_SUITE_P(Agent, DaemonRestarts, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                             return i.param ? "Pairing" : "Registering";
                         });

// The daemon leaves while the agent holds back its reply: the reply goes nowhere, and the agent
// ends as on any departure of the daemon.
TEST_F(Fault, DaemonLeavesWhileAReplyIsDelayed) {
    ASSERT_TRUE(start_serving({"-d", "1", "1234"}));
    daemon.write_line("send " + protocol::call("RequestPinCode", dev));
    ASSERT_TRUE(agent.wait_output(protocol::waiting(1), wait_ms)) << agent.err();
    daemon_record(daemon);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), protocol::printed("RequestPinCode", dev) + protocol::waiting(1));
    EXPECT_EQ(agent.err(), protocol::terminated);
}

// Many SIGTERM and SIGINT, fast, at a random point: idle, during a call on its way, during a
// reply delay, or at shutdown. Every time: status 0, the delayed reply sent at once, exactly the
// request lines, nothing on standard error, and one UnregisterAgent only.
TEST_F(Fault, SignalStorms) {
    for (unsigned seed : seeds()) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        printf("seed %u\n", seed);
        std::mt19937 rng(seed);
        int point = static_cast<int>(rng() % 3); // 0 idle, 1 call on its way, 2 in a delay
        int delay = point == 2 ? 5 : 0;
        int signals = 20 + static_cast<int>(rng() % 100);
        int pause = static_cast<int>(rng() % 5000);

        Rig own;
        ASSERT_TRUE(own.start_serving(with_delay(delay)));
        CheckedProcess &d = own.daemon, &a = own.agent;

        std::string expected_out;
        std::string pin = protocol::call("RequestPinCode", dev);
        if (point == 1) {
            d.write_line("send " + pin);
            pause_us(pause);
        } else if (point == 2) {
            d.write_line("send " + pin);
            ASSERT_TRUE(a.wait_output(protocol::waiting(5), wait_ms)) << a.err();
            expected_out = protocol::printed("RequestPinCode", dev) + protocol::waiting(5);
            pause_us(pause);
        }
        int64_t started = monotonic_ms();
        for (int i = 0; i < signals; i++) {
            a.signal(i % 2 ? SIGINT : SIGTERM);
            if (rng() % 4 == 0)
                pause_us(static_cast<int>(rng() % 2000));
        }
        EXPECT_EQ(a.wait_exit(wait_ms), 0);
        if (point == 2) {
            // Cut short: nowhere near the 5 s.
            EXPECT_LT(monotonic_ms() - started, 4000);
        }
        if (point == 1) {
            // The call on its way may have been answered before the loop ended, or not at all.
            std::string line = protocol::printed("RequestPinCode", dev);
            EXPECT_TRUE(a.out() == "" || a.out() == line) << a.out();
        } else {
            EXPECT_EQ(a.out(), expected_out);
        }
        EXPECT_EQ(a.err(), "");
        EXPECT_EQ(count(own.daemon_record(d), "UnregisterAgent "), 1u) << d.out();
        if (point == 2) {
            EXPECT_NE(d.out().find(protocol::reply("RequestPinCode", "1234") + "\n"),
                      std::string::npos)
                << d.out();
        }
    }
}

} // namespace
