// Command lines that end the agent before it serves: nothing here may reach the bus, whose
// address points at nothing (reaching it would print "Can't get on system bus").
#include "process.h"

#include <gtest/gtest.h>

namespace {

const char usage_text[] = "Bluetooth agent ver 4.69\n\n"
                          "Usage:\n"
                          "\tagent [--adapter adapter-path] [--path agent-path] <passkey> "
                          "[<device>]\n\n";
const char no_bus[] = "unix:path=/nonexistent/agent-test-bus";

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLine : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandLine, ExactOutputAndStatus) {
    const CommandCase& c = GetParam();
    std::vector<std::string> argv = {"agent"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testlib::Process agent;
    ASSERT_TRUE(agent.start(testlib::Program::Built, AGENT_BIN, argv,
                            {std::string("DBUS_SYSTEM_BUS_ADDRESS=") + no_bus}));
    EXPECT_EQ(agent.wait_exit(10000), c.status);
    EXPECT_EQ(agent.out(), c.out);
    EXPECT_EQ(agent.err(), c.err);
}

const CommandCase command_cases[] = {
    {"NoArguments", {}, 1, usage_text, ""},
    {"OnlyOptions", {"-r", "-d", "3"}, 1, usage_text, ""},
    {"Help", {"-h"}, 0, usage_text, ""},
    {"LongHelp", {"--help", "1234"}, 0, usage_text, ""},
    {"HelpAfterOtherOptions", {"-r", "-a", "hci0", "-h", "1234"}, 0, usage_text, ""},
    {"HelpAfterBadPath", {"-p", "x", "-h"}, 1, "", "Invalid path\n"},
    {"BadPathAfterHelp", {"-h", "-p", "x"}, 0, usage_text, ""},
    {"PathWithoutSlash", {"-p", "org/velto/a", "1234"}, 1, "", "Invalid path\n"},
    {"PathWithoutPasskey", {"--path", "x"}, 1, "", "Invalid path\n"},
    // Malformed paths that start with "/" would abort libdbus later.
    {"PathWithSpace", {"-p", "/a b", "1234"}, 1, "", "Invalid path\n"},
    {"PathDoubleSlash", {"-p", "//x", "1234"}, 1, "", "Invalid path\n"},
    {"PathTrailingSlash", {"-p", "/x/", "1234"}, 1, "", "Invalid path\n"},
    {"PathDot", {"-p", "/a.b", "1234"}, 1, "", "Invalid path\n"},
    {"UnknownOption", {"-x", "1234"}, 1, "", "agent: invalid option -- 'x'\n"},
    {"NearSpellingOfCapability",
     {"--capabilities", "KeyboardOnly", "1234"},
     1,
     "",
     "agent: unrecognized option '--capabilities'\n"},
    {"MissingArgument", {"-d"}, 1, "", "agent: option requires an argument -- 'd'\n"},
    {"MissingLongArgument", {"--delay"}, 1, "", "agent: option '--delay' requires an argument\n"},
    {"NoBus", {"1234"}, 1, "", "Can't get on system bus"},
    {"NoBusPairing",
     {"-r", "-d", "2", "1234", "00:11:22:33:44:55", "extra"},
     1,
     "",
     "Can't get on system bus"},
    // Text that is not UTF-8 would abort libdbus when appended to a message.
    {"PasskeyNotUtf8", {"\xff\xfe"}, 1, "", "Invalid passkey: not UTF-8 text\n"},
    {"DeviceNotUtf8", {"1234", "00:11\xc3"}, 1, "", "Invalid device: not UTF-8 text\n"},
    {"CapabilityNotUtf8", {"-c", "\x80", "1234"}, 1, "", "Invalid capability: not UTF-8 text\n"},
    {"AdapterNotUtf8", {"-a", "hci\xff", "1234"}, 1, "", "Invalid adapter: not UTF-8 text\n"},
    {"Utf8PasskeyIsFine", {"p\xc3\xa4ss", "d\xc3\xa9v"}, 1, "", "Can't get on system bus"},
};

INSTANTIATE_TEST_SUITE_P(Agent, CommandLine, testing::ValuesIn(command_cases),
                         [](const testing::TestParamInfo<CommandCase>& p) {
                             return std::string(p.param.name);
                         });

} // namespace
