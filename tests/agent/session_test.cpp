// The agent against a private bus daemon and the scripted simulated daemon (sd-bus), which
// records every call it gets and makes the agent's calls on command.
#include "clock.h"
#include "protocol.h"
#include "rig.h"
#include "text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using testlib::count;
using testlib::monotonic_ms;

namespace {

const int wait_ms = 10000;
const char dev[] = "/org/velto/hci0/dev_00_11";
const char denied[] = "org.freedesktop.DBus.Error.AccessDenied";

std::string replace_pid(std::string text, pid_t pid) {
    size_t at;
    while ((at = text.find("PID")) != std::string::npos)
        text.replace(at, 3, std::to_string(pid));
    return text;
}

class Session : public testing::Test, public Rig {};

// Registration and pairing mode, and what each signal makes of them.
struct StopCase {
    const char* name;
    std::vector<std::string> args;
    int sig;
    std::string start_line; // PID: the agent's process id
    bool unregisters;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class Stop : public Session, public testing::WithParamInterface<StopCase> {};

TEST_P(Stop, UnregistersOnlyInRegistrationMode) {
    const StopCase& c = GetParam();
    ASSERT_TRUE(start_serving(c.args));
    pid_t pid = agent.pid();
    EXPECT_NE(daemon.out().find(replace_pid(c.start_line, pid) + "\n"), std::string::npos)
        << daemon.out();
    agent.signal(c.sig);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), "");
    EXPECT_EQ(agent.err(), "");
    std::string record = daemon_record(daemon);
    bool unregistered = record.find(replace_pid("UnregisterAgent /org/velto/agent_PID\n", pid)) !=
                        std::string::npos;
    EXPECT_EQ(unregistered, c.unregisters) << record;
}

const StopCase stop_cases[] = {
    {"RegisterTerm",
     {"1234"},
     SIGTERM,
     "DefaultAdapter\nRegisterAgent /org/velto/agent_PID DisplayYesNo",
     true},
    {"RegisterInt", {"1234"}, SIGINT, "RegisterAgent /org/velto/agent_PID DisplayYesNo", true},
    {"PairTerm",
     {"1234", "00:11:22:33:44:55"},
     SIGTERM,
     "DefaultAdapter\nCreatePairedDevice 00:11:22:33:44:55 /org/velto/agent_PID DisplayYesNo",
     false},
    {"PairInt",
     {"1234", "00:11:22:33:44:55", "ignored", "too"},
     SIGINT,
     "CreatePairedDevice 00:11:22:33:44:55 /org/velto/agent_PID DisplayYesNo",
     false},
    // A closed terminal.
    {"RegisterHup", {"1234"}, SIGHUP, "RegisterAgent /org/velto/agent_PID DisplayYesNo", true},
    {"PairHup",
     {"1234", "00:11"},
     SIGHUP,
     "CreatePairedDevice 00:11 /org/velto/agent_PID DisplayYesNo",
     false},
};

INSTANTIATE_TEST_SUITE_P(Agent, Stop, testing::ValuesIn(stop_cases),
                         [](const testing::TestParamInfo<StopCase>& i) { return i.param.name; });

// Options as the daemon sees them; the agent then answers at the path that it gave.
struct OptionCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> daemon_lines;
    std::string pin_reply;
};

void PrintTo(const OptionCase& c, std::ostream* os) {
    *os << c.name;
}

class Options : public Session, public testing::WithParamInterface<OptionCase> {};

TEST_P(Options, ReachTheDaemon) {
    const OptionCase& c = GetParam();
    ASSERT_TRUE(start_daemon());
    ASSERT_TRUE(start_agent(c.args));
    for (const auto& expected : c.daemon_lines) {
        std::string line;
        ASSERT_TRUE(daemon.wait_line(expected.substr(0, expected.find(' ')), wait_ms, &line))
            << daemon.out() << agent.err();
        EXPECT_EQ(line, replace_pid(expected, agent.pid()));
    }
    daemon.write_line("call " + protocol::call("RequestPinCode", dev));
    std::string reply;
    ASSERT_TRUE(daemon.wait_line("reply RequestPinCode", wait_ms, &reply)) << daemon.out();
    EXPECT_EQ(reply, c.pin_reply);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.err(), "");
}

const OptionCase option_cases[] = {
    {"AllLong",
     {"--adapter", "hci1", "--path", "/my/agent", "--capabilites", "KeyboardOnly", "0000"},
     {"FindAdapter hci1", "RegisterAgent /my/agent KeyboardOnly"},
     protocol::reply("RequestPinCode", "0000")},
    {"PrefixesAndEquals",
     {"--adap=hci2", "--pa=/p", "--capab=NoInputNoOutput", "--del=0", "7"},
     {"FindAdapter hci2", "RegisterAgent /p NoInputNoOutput"},
     protocol::reply("RequestPinCode", "7")},
    {"LaterOptionWins",
     {"-a", "one", "-a", "two", "-p", "/a", "-p", "/b", "-c", "A", "-c", "B", "42"},
     {"FindAdapter two", "RegisterAgent /b B"},
     protocol::reply("RequestPinCode", "42")},
    {"OptionAfterPasskeyIsTheDevice",
     {"1234", "-r"},
     {"DefaultAdapter", "CreatePairedDevice -r /org/velto/agent_PID DisplayYesNo"},
     protocol::reply("RequestPinCode", "1234")},
    {"PairingWithCapability",
     {"-c", "DisplayOnly", "-p", "/x", "1234", "AA:BB"},
     {"CreatePairedDevice AA:BB /x DisplayOnly"},
     protocol::reply("RequestPinCode", "1234")},
};

INSTANTIATE_TEST_SUITE_P(Agent, Options, testing::ValuesIn(option_cases),
                         [](const testing::TestParamInfo<OptionCase>& i) { return i.param.name; });

// One call of the daemon and everything the agent makes of it.
struct MethodCase {
    const char* name;
    std::vector<std::string> args;
    std::string call;  // DEV: a device path
    std::string reply; // a prefix when it ends in '*'
    std::string out;
    std::string err;
};

void PrintTo(const MethodCase& c, std::ostream* os) {
    *os << c.name;
}

std::string with_dev(std::string text) {
    size_t at;
    while ((at = text.find("DEV")) != std::string::npos)
        text.replace(at, 3, dev);
    return text;
}

class Methods : public Session, public testing::WithParamInterface<MethodCase> {};

TEST_P(Methods, AnswerFromTheCommandLine) {
    const MethodCase& c = GetParam();
    ASSERT_TRUE(start_serving(c.args));
    std::string member = c.call.substr(0, c.call.find(' '));
    daemon.write_line("call " + with_dev(c.call));
    std::string reply;
    ASSERT_TRUE(daemon.wait_any_line({"reply " + member, "error " + member}, wait_ms, &reply))
        << daemon.out();
    if (!c.reply.empty() && c.reply.back() == '*')
        EXPECT_EQ(reply.substr(0, c.reply.size() - 1), c.reply.substr(0, c.reply.size() - 1));
    else
        EXPECT_EQ(reply, c.reply);

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), with_dev(c.out));
    EXPECT_EQ(agent.err(), c.err);
}

const char unknown[] = "org.freedesktop.DBus.Error.UnknownMethod*";

const MethodCase method_cases[] = {
    {"PinCodeKeepsLeadingZero",
     {"0123"},
     protocol::call("RequestPinCode", "DEV"),
     protocol::reply("RequestPinCode", "0123"),
     protocol::printed("RequestPinCode", "DEV"),
     ""},
    {"ConfirmsAnyValue",
     {"1234"},
     protocol::call("RequestConfirmation", "DEV", "999999"),
     protocol::reply("RequestConfirmation"),
     protocol::printed("RequestConfirmation", "DEV", "999999"),
     ""},
    {"Authorize",
     {"1234"},
     protocol::call("Authorize", "DEV", "0000110a-0000-1000-8000-00805f9b34fb"),
     protocol::reply("Authorize"),
     protocol::printed("Authorize", "DEV"),
     ""},
    {"Cancel", {"1234"}, "Cancel", protocol::reply("Cancel"), protocol::printed("Cancel", ""), ""},

    {"RejectPinCode",
     {"-r", "1234"},
     protocol::call("RequestPinCode", "DEV"),
     protocol::rejection("RequestPinCode"),
     "",
     ""},
    {"RejectPasskey",
     {"--reject", "1234"},
     protocol::call("RequestPasskey", "DEV"),
     protocol::rejection("RequestPasskey"),
     "",
     ""},
    {"RejectConfirmation",
     {"-r", "1234"},
     protocol::call("RequestConfirmation", "DEV", "1234"),
     protocol::rejection("RequestConfirmation"),
     "",
     ""},
    {"RejectAuthorize",
     {"-r", "1234"},
     protocol::call("Authorize", "DEV", "x"),
     protocol::rejection("Authorize"),
     "",
     ""},
    {"RejectLeavesCancel",
     {"-r", "1234"},
     "Cancel",
     protocol::reply("Cancel"),
     protocol::printed("Cancel", ""),
     ""},
    {"RejectNeverWaits",
     {"-r", "-d", "30", "1234"},
     protocol::call("RequestPasskey", "DEV"),
     protocol::rejection("RequestPasskey"),
     "",
     ""},

    {"DelayedPasskey",
     {"-d", "1", "0123"},
     protocol::call("RequestPasskey", "DEV"),
     protocol::reply("RequestPasskey", "123"),
     protocol::printed("RequestPasskey", "DEV") + protocol::waiting(1),
     ""},
    {"DelayedConfirmation",
     {"--delay", "1", "1"},
     protocol::call("RequestConfirmation", "DEV", "5"),
     protocol::reply("RequestConfirmation"),
     protocol::printed("RequestConfirmation", "DEV", "5") + protocol::waiting(1),
     ""},
    {"AuthorizeNeverWaits",
     {"-d", "30", "1"},
     protocol::call("Authorize", "DEV", "x"),
     protocol::reply("Authorize"),
     protocol::printed("Authorize", "DEV"),
     ""},
    {"CancelNeverWaits",
     {"-d", "30", "1"},
     "Cancel",
     protocol::reply("Cancel"),
     protocol::printed("Cancel", ""),
     ""},
    {"NegativeDelayIsNone",
     {"-d", "-3", "0123"},
     protocol::call("RequestPinCode", "DEV"),
     protocol::reply("RequestPinCode", "0123"),
     protocol::printed("RequestPinCode", "DEV"),
     ""},
    {"TextDelayIsNone",
     {"-d", "soon", "0123"},
     protocol::call("RequestPinCode", "DEV"),
     protocol::reply("RequestPinCode", "0123"),
     protocol::printed("RequestPinCode", "DEV"),
     ""},

    {"PinCodeWithoutArguments",
     {"1234"},
     "RequestPinCode",
     std::string("error RequestPinCode ") + unknown,
     "",
     protocol::invalid_arguments("RequestPinCode")},
    {"PinCodeWithString",
     {"1234"},
     "RequestPinCode s notapath",
     std::string("error RequestPinCode ") + unknown,
     "",
     protocol::invalid_arguments("RequestPinCode")},
    {"PasskeyWithoutArguments",
     {"-r", "1234"},
     "RequestPasskey",
     std::string("error RequestPasskey ") + unknown,
     "",
     protocol::invalid_arguments("RequestPasskey")},
    {"ConfirmationWithoutValue",
     {"1234"},
     "RequestConfirmation o DEV",
     std::string("error RequestConfirmation ") + unknown,
     "",
     protocol::invalid_arguments("RequestConfirmation")},
    {"ConfirmationWithString",
     {"1234"},
     "RequestConfirmation os DEV 12",
     std::string("error RequestConfirmation ") + unknown,
     "",
     protocol::invalid_arguments("RequestConfirmation")},
    {"AuthorizeWithoutUuid",
     {"1234"},
     "Authorize o DEV",
     std::string("error Authorize ") + unknown,
     "",
     protocol::invalid_arguments("Authorize")},
    {"UnknownMember", {"1234"}, "Pair o DEV", std::string("error Pair ") + unknown, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Agent, Methods, testing::ValuesIn(method_cases),
                         [](const testing::TestParamInfo<MethodCase>& i) { return i.param.name; });

// The passkey as RequestPasskey answers it, the number that the device's 32-bit strtoul makes of
// it: the conversion's edges, each with its neighbours.
struct PasskeyCase {
    const char* name;
    const char* passkey;
    const char* number;
};

void PrintTo(const PasskeyCase& c, std::ostream* os) {
    *os << c.name;
}

class Passkey : public Session, public testing::WithParamInterface<PasskeyCase> {};

TEST_P(Passkey, AnswersTheNumber) {
    ASSERT_TRUE(start_serving({"--", GetParam().passkey}));
    daemon.write_line("call " + protocol::call("RequestPasskey", dev));
    std::string reply;
    ASSERT_TRUE(
        daemon.wait_any_line({"reply RequestPasskey", "error RequestPasskey"}, wait_ms, &reply))
        << daemon.out();
    EXPECT_EQ(reply, protocol::reply("RequestPasskey", GetParam().number));
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), protocol::printed("RequestPasskey", dev));
}

const PasskeyCase passkey_cases[] = {
    {"DropsLeadingZero", "0123", "123"},
    {"WithoutDigits", "abc", "0"},
    {"LeadingDigits", "12ab34", "12"},
    {"SpaceAndPlus", " +42", "42"},
    {"Zero", "0", "0"},
    {"MinusZero", "-0", "0"},
    {"MinusOne", "-1", "4294967295"},
    {"Negative", "-5", "4294967291"},
    {"BelowLargest", "4294967294", "4294967294"},
    {"Largest", "4294967295", "4294967295"},
    {"AboveLargest", "4294967296", "4294967295"},
    {"TooLarge", "99999999999", "4294967295"},
    {"AboveSixtyFourBits", "18446744073709551617", "4294967295"},
    {"LargestNegated", "-4294967295", "1"},
    {"BelowLargestNegated", "-4294967294", "2"},
    {"AboveLargestNegated", "-4294967296", "4294967295"},
};

INSTANTIATE_TEST_SUITE_P(Agent, Passkey, testing::ValuesIn(passkey_cases),
                         [](const testing::TestParamInfo<PasskeyCase>& i) { return i.param.name; });

TEST_F(Session, PinCodeDelayWaitsBeforeTheReply) {
    ASSERT_TRUE(start_serving({"-d", "1", "0123"}));
    int64_t sent = monotonic_ms();
    daemon.write_line("call " + protocol::call("RequestPinCode", dev));
    std::string reply;
    ASSERT_TRUE(daemon.wait_line("reply RequestPinCode", wait_ms, &reply)) << daemon.out();
    EXPECT_GE(monotonic_ms() - sent, 950);
    EXPECT_EQ(reply, protocol::reply("RequestPinCode", "0123"));
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), protocol::printed("RequestPinCode", dev) + protocol::waiting(1));
}

class SignalDuringDelay : public Session, public testing::WithParamInterface<int> {};

TEST_P(SignalDuringDelay, RepliesAtOnceAndUnregisters) {
    ASSERT_TRUE(start_serving({"-d", "60", "0123"}));
    daemon.write_line("send " + protocol::call("RequestPinCode", dev));
    ASSERT_TRUE(agent.wait_output(protocol::waiting(60), wait_ms)) << agent.out();
    agent.signal(GetParam());
    std::string reply;
    ASSERT_TRUE(daemon.wait_line("reply RequestPinCode", wait_ms, &reply)) << daemon.out();
    EXPECT_EQ(reply, protocol::reply("RequestPinCode", "0123"));
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_TRUE(daemon.wait_line("UnregisterAgent " + default_path, wait_ms)) << daemon.out();
    EXPECT_EQ(agent.err(), "");
}

INSTANTIATE_TEST_SUITE_P(Agent, SignalDuringDelay, testing::Values(SIGTERM, SIGINT, SIGHUP));

// A stop signal takes effect when the dispatch call in progress returns: within one pass of the
// loop's 500 ms time-out (the bus library's poll resumes after the handler). Sent 200 ms after an
// answer, when a fresh pass is well under way, the end comes about 300 ms later; the margin is
// for a loaded machine, and a pass of the time-out's next order (5 s) still fails it.
TEST_F(Session, StopEndsWithinOneLoopPass) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        Rig own;
        ASSERT_TRUE(own.start_serving({"1234"}));
        own.daemon.write_line("ping");
        ASSERT_TRUE(own.daemon.wait_line("reply Ping", wait_ms)) << own.daemon.out();
        usleep(200 * 1000);
        int64_t sent = monotonic_ms();
        own.agent.signal(sig);
        EXPECT_EQ(own.agent.wait_exit(wait_ms), 0);
        EXPECT_LT(monotonic_ms() - sent, 2500);
    }
}

TEST_F(Session, ReleaseEndsWithoutUnregistering) {
    ASSERT_TRUE(start_serving({"1234"}));
    daemon.write_line("call Release");
    ASSERT_TRUE(daemon.wait_line(protocol::reply("Release"), wait_ms)) << daemon.out();
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), "");
    EXPECT_EQ(agent.err(), protocol::released);
    EXPECT_EQ(daemon_record(daemon).find("UnregisterAgent"), std::string::npos);
}

class DaemonLeaves : public Session, public testing::WithParamInterface<const char*> {};

TEST_P(DaemonLeaves, AgentEndsWithoutUnregistering) {
    ASSERT_TRUE(start_serving({"1234"}));
    daemon.write_line(GetParam());
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), "");
    EXPECT_EQ(agent.err(), protocol::terminated);
    if (std::string(GetParam()) != "quit")
        daemon.write_line("quit");
    EXPECT_EQ(daemon.wait_exit(wait_ms), 0);
    EXPECT_EQ(daemon.out().find("UnregisterAgent"), std::string::npos) << daemon.out();
}

// "quit" leaves the bus, "release" only gives the name up.
INSTANTIATE_TEST_SUITE_P(Agent, DaemonLeaves, testing::Values("quit", "release"),
                         [](const testing::TestParamInfo<const char*>& i) {
                             return std::string(i.param);
                         });

// The new owner is the daemon from then on, and the old one a stranger.
TEST_F(Session, NameThatPassesToANewOwnerIsNotADeparture) {
    ASSERT_TRUE(start_daemon());
    ASSERT_TRUE(start_agent({"1234"}));
    ASSERT_TRUE(daemon.wait_line("agent ", wait_ms, &agent_line)) << agent.err();
    CheckedProcess successor;
    ASSERT_TRUE(start_daemon(successor, {}, "queued org.velto"));
    successor.write_line(agent_line);
    daemon.write_line("release");
    ASSERT_TRUE(successor.wait_line("owner org.velto", wait_ms)) << successor.out();
    successor.write_line("call Cancel");
    ASSERT_TRUE(successor.wait_line(protocol::reply("Cancel"), wait_ms)) << successor.out();
    daemon.write_line("call Cancel");
    ASSERT_TRUE(daemon.wait_line("error Cancel " + std::string(denied), wait_ms)) << daemon.out();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), protocol::printed("Cancel", ""));
    EXPECT_EQ(agent.err(), "");
    EXPECT_NE(daemon_record(successor).find("UnregisterAgent " + default_path + "\n"),
              std::string::npos);
}

// Another client gets nothing from the agent and cannot end it; the daemon is still served.
TEST_F(Session, StrangersAreDenied) {
    ASSERT_TRUE(start_daemon());
    ASSERT_TRUE(start_agent({"1234"}));
    ASSERT_TRUE(daemon.wait_line("agent ", wait_ms, &agent_line)) << agent.err();
    CheckedProcess stranger;
    ASSERT_TRUE(start_daemon(stranger, {"--name", "org.other"}, "owner org.other"));
    stranger.write_line(agent_line);
    for (const char* call : {"RequestPinCode o /d", "RequestPasskey o /d", "Release"}) {
        std::string member = std::string(call).substr(0, std::string(call).find(' '));
        stranger.write_line(std::string("call ") + call);
        std::string reply;
        ASSERT_TRUE(stranger.wait_any_line({"reply " + member, "error " + member}, wait_ms, &reply))
            << stranger.out();
        std::string want = "error " + member + " " + denied + " ";
        EXPECT_EQ(reply.substr(0, want.size()), want);
    }
    daemon.write_line("call " + protocol::call("RequestPinCode", dev));
    ASSERT_TRUE(daemon.wait_line(protocol::reply("RequestPinCode", "1234"), wait_ms))
        << daemon.out();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.out(), protocol::printed("RequestPinCode", dev));
    EXPECT_EQ(agent.err(), "");
    EXPECT_NE(daemon_record(daemon).find("UnregisterAgent " + default_path + "\n"),
              std::string::npos);
}

// A stranger that overhears RegisterAgent (the policy lets it) and answers before the daemon
// does: its answer is not the daemon's, so it never gets the passkey, and start-up fails.
TEST_F(Session, StrangerAnsweringForTheDaemonGetsNothing) {
    ASSERT_TRUE(start_daemon({"--hold", "RegisterAgent"}));
    CheckedProcess stranger;
    ASSERT_TRUE(start_daemon(stranger, {"--name", "org.other", "--answer-others", "RegisterAgent"},
                             "owner org.other"));
    ASSERT_TRUE(start_agent({"1234"}));
    ASSERT_TRUE(stranger.wait_line("answered for org.velto RegisterAgent", wait_ms))
        << stranger.out() << agent.err();
    EXPECT_EQ(agent.wait_exit(wait_ms), 1);
    stranger.write_line("call RequestPinCode o /d");
    std::string reply;
    ASSERT_TRUE(
        stranger.wait_any_line({"reply RequestPinCode", "error RequestPinCode"}, wait_ms, &reply));
    EXPECT_EQ(reply.find("reply"), std::string::npos) << reply;
    std::string failure = "Can't register agent\nAnswer from :";
    EXPECT_EQ(agent.err().substr(0, failure.size()), failure) << agent.err();
    EXPECT_NE(agent.err().find(", which does not own org.velto\n"), std::string::npos);
    EXPECT_EQ(agent.out(), "");
}

// A stranger that overhears the pairing request and refuses it first: the refusal is not the
// daemon's, so the agent goes on serving the daemon.
TEST_F(Session, StrangersRefusalOfThePairingIsIgnored) {
    ASSERT_TRUE(start_daemon());
    CheckedProcess stranger;
    ASSERT_TRUE(start_daemon(stranger,
                             {"--name", "org.other", "--answer-others", "CreatePairedDevice"},
                             "owner org.other"));
    ASSERT_TRUE(start_agent({"1234", "00:11"}));
    ASSERT_TRUE(stranger.wait_line("answered for org.velto CreatePairedDevice", wait_ms))
        << stranger.out() << agent.err();
    ASSERT_TRUE(wait_serving());
    daemon.write_line("call " + protocol::call("RequestPinCode", dev));
    EXPECT_TRUE(daemon.wait_line(protocol::reply("RequestPinCode", "1234"), wait_ms))
        << daemon.out() << agent.err();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.err(), "");
}

// The bus refuses the watch on the daemon: start-up ends before the first request.
TEST_F(Session, RefusedWatchEndsStartUp) {
    ASSERT_TRUE(
        bus.start("agent-test", "  <limit name=\"max_match_rules_per_connection\">0</limit>\n"));
    ASSERT_TRUE(start_daemon());
    ASSERT_TRUE(start_agent({"1234"}));
    EXPECT_EQ(agent.wait_exit(wait_ms), 1);
    std::string failure = "Can't watch the daemon: ";
    EXPECT_EQ(agent.err().substr(0, failure.size()), failure) << agent.err();
    EXPECT_EQ(count(agent.err(), "\n"), 1u) << agent.err();
    EXPECT_EQ(daemon_record(daemon), "owner org.velto\n");
}

TEST_F(Session, AnotherNameLeavingIsIgnored) {
    ASSERT_TRUE(start_serving({"1234"}));
    CheckedProcess other;
    ASSERT_TRUE(start_daemon(other, {"--name", "org.other"}, "owner org.other"));
    other.write_line("release");
    ASSERT_TRUE(other.wait_line("released org.other", wait_ms));
    EXPECT_EQ(other.wait_exit(100), -1); // still on the bus until killed
    daemon.write_line("call Cancel");
    ASSERT_TRUE(daemon.wait_line(protocol::reply("Cancel"), wait_ms));
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.err(), "");
}

// NameOwnerChanged sent straight to the agent by the fake daemon, with any arguments: forged, since
// only the bus daemon can say who left, so none of them is looked at.
struct WatchCase {
    const char* name;
    std::string signal;
    bool ends;
    std::string err;
};

void PrintTo(const WatchCase& c, std::ostream* os) {
    *os << c.name;
}

class Watch : public Session, public testing::WithParamInterface<WatchCase> {};

TEST_P(Watch, ANoticeFromAnotherClientIsIgnored) {
    const WatchCase& c = GetParam();
    ASSERT_TRUE(start_serving({"1234"}));
    daemon.write_line("signal " + c.signal);
    if (!c.ends) {
        daemon.write_line("call Cancel");
        ASSERT_TRUE(daemon.wait_line(protocol::reply("Cancel"), wait_ms)) << daemon.out();
        agent.signal(SIGTERM);
    }
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.err(), c.err);
    bool unregistered = daemon_record(daemon).find("UnregisterAgent") != std::string::npos;
    EXPECT_EQ(unregistered, !c.ends);
}

const WatchCase watch_cases[] = {
    {"DaemonGone", "sss org.velto :1.1 ''", false, ""},
    {"DaemonGoneOldOwnerEmpty", "sss org.velto '' ''", false, ""},
    {"NewOwner", "sss org.velto :1.1 :1.9", false, ""},
    {"TooFewArguments", "s org.velto", false, ""},
    {"WrongType", "sus org.velto 1 ''", false, ""},
};

INSTANTIATE_TEST_SUITE_P(Agent, Watch, testing::ValuesIn(watch_cases),
                         [](const testing::TestParamInfo<WatchCase>& i) { return i.param.name; });

TEST_F(Session, BusDaemonDyingEndsTheAgentWithStatusOne) {
    ASSERT_TRUE(start_serving({"1234"}));
    bus.kill_now();
    EXPECT_EQ(agent.wait_exit(wait_ms), 1);
    EXPECT_EQ(agent.out(), "");
    EXPECT_EQ(agent.err(), "");
}

// The daemon's answers to the agent's own requests.
struct RequestCase {
    const char* name;
    bool daemon_runs;
    std::vector<std::string> daemon_options;
    std::vector<std::string> args;
    bool serves; // start-up succeeds; the agent is then stopped with SIGTERM
    int status;
    std::string err;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.name;
}

class Requests : public Session, public testing::WithParamInterface<RequestCase> {};

TEST_P(Requests, FailuresAreReported) {
    const RequestCase& c = GetParam();
    if (c.daemon_runs) {
        ASSERT_TRUE(start_daemon(c.daemon_options));
    }
    ASSERT_TRUE(start_agent(c.args));
    if (c.serves) {
        ASSERT_TRUE(wait_serving());
        daemon.write_line("call Cancel");
        ASSERT_TRUE(daemon.wait_line(protocol::reply("Cancel"), wait_ms))
            << daemon.out() << daemon.err();
        agent.signal(SIGTERM);
    }
    EXPECT_EQ(agent.wait_exit(wait_ms), c.status);
    EXPECT_EQ(agent.out(), c.serves ? protocol::printed("Cancel", "") : "");
    EXPECT_EQ(agent.err(), c.err);
}

const RequestCase request_cases[] = {
    {"NoDaemon",
     false,
     {},
     {"1234"},
     false,
     1,
     "Can't get default adapter\nThe name org.velto was not provided by any .service files\n"},
    {"NoDaemonFindAdapter",
     false,
     {},
     {"-a", "hci0", "1234"},
     false,
     1,
     "Can't find adapter hci0\nThe name org.velto was not provided by any .service files\n"},
    {"DefaultAdapterRefused",
     true,
     {"--fail", "DefaultAdapter=org.velto.Error.NoSuchAdapter:No adapter"},
     {"1234"},
     false,
     1,
     "Can't get default adapter\nNo adapter\n"},
    {"FindAdapterRefused",
     true,
     {"--fail", "FindAdapter=org.velto.Error.NoSuchAdapter:No such adapter"},
     {"-a", "hci9", "1234"},
     false,
     1,
     "Can't find adapter hci9\nNo such adapter\n"},
    {"DefaultAdapterString",
     true,
     {"--string-reply"},
     {"1234"},
     false,
     1,
     "Can't get reply arguments\n"
     "Argument 0 is specified to be of type \"object_path\", but is actually of type "
     "\"string\"\n\n"},
    {"FindAdapterString",
     true,
     {"--string-reply"},
     {"-a", "hci0", "1234"},
     false,
     1,
     "Can't get reply arguments\n"
     "Argument 0 is specified to be of type \"object_path\", but is actually of type "
     "\"string\"\n\n"},
    {"RegisterRefused",
     true,
     {"--fail", "RegisterAgent=org.velto.Error.AlreadyExists:Already exists"},
     {"1234"},
     false,
     1,
     "Can't register agent\nAlready exists\n"},
    {"RegisterReplyWithArguments", true, {"--reply-args"}, {"1234"}, true, 0, ""},
    {"UnregisterRefused",
     true,
     {"--fail", "UnregisterAgent=org.velto.Error.DoesNotExist:No such agent"},
     {"1234"},
     true,
     0,
     "Can't unregister agent\nNo such agent\n"},
    // Not waited for, but its error answer ends the agent.
    {"PairingRefused",
     true,
     {"--fail", "CreatePairedDevice=org.velto.Error.Failed:No"},
     {"1234", "00:11"},
     false,
     1,
     "Pairing refused: org.velto.Error.Failed: No\n"},
};

INSTANTIATE_TEST_SUITE_P(Agent, Requests, testing::ValuesIn(request_cases),
                         [](const testing::TestParamInfo<RequestCase>& i) { return i.param.name; });

} // namespace
