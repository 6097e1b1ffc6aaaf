// `service` on the in-process runtime, black-box: exact bytes of both
// channels and the exit status, and through the echo service the request
// parcel as it was sent.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string kUsage = "Usage: service [-h|-?]\n"
                           "       service list\n"
                           "       service check SERVICE\n"
                           "       service call SERVICE CODE [i32 INT | s16 STR] ...\n"
                           "Options:\n"
                           "   i32: Write the integer INT into the send parcel.\n"
                           "   s16: Write the UTF-16 string STR into the send parcel.\n";

const std::string kNoRegistry = "service: Unable to get default service manager!\n";

using testlib::ProcessResult;

ProcessResult runService(const std::vector<std::string>& args, const char* registry = "samples") {
    return testlib::run_process(testlib::Program::Built, SERVICE_LOCAL, args,
                                {std::string("SERVICE_TEST_REGISTRY=") + registry});
}

struct CliCase {
    const char* name;
    std::vector<std::string> args;
    const char* registry;
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const CliCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLine : public testing::TestWithParam<CliCase> {};

TEST_P(CommandLine, ExactOutputAndStatus) {
    const CliCase& c = GetParam();
    ProcessResult r = runService(c.args, c.registry);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
}

// late fails its descriptor query after writing the reply.
const std::string kSampleList = "Found 6 services:\n"
                                "0\techo: [vardel.IEcho]\n"
                                "1\tanonymous: []\n"
                                "2\tmute: []\n"
                                "3\tw\xC3\xA9\xF0\x9F\x98\x80x: [d\xC3\xBC\xEF\xBF\xBD]\n"
                                "4\tlate: []\n"
                                "5\tlateCall: [vardel.IFailsLate]\n";

// Control characters from the registry or a service are escaped; the
// backslash of plain text is not.
const std::string kControlList = "Found 2 services:\n"
                                 "0\tc\\x1b[2J\\x07: [d\\x1b[31m\\x0d\\x0a1\\x09f: "
                                 "[]\\x7f\\x00\\x1f\\u0080\\u0085\\u009f\xC2\xA0"
                                 "\\u2028\\u2029\xE2\x80\xA7]\n"
                                 "1\ta\\b ~: [x\\x1b]\n";

INSTANTIATE_TEST_SUITE_P(
    Service, CommandLine,
    testing::Values(
        CliCase{"NoCommand", {}, "samples", kUsage, "", 0},
        CliCase{"Help", {"-h"}, "samples", kUsage, "", 0},
        CliCase{"Question", {"-?"}, "samples", kUsage, "", 0},
        CliCase{"GroupedOptions", {"-h?"}, "samples", kUsage, "", 0},
        CliCase{"HelpBeforeList", {"-h", "list"}, "samples", kUsage, "", 0},
        CliCase{"HelpAfterCommandIgnored", {"list", "-h"}, "samples", kSampleList, "", 0},
        CliCase{"DoubleDash", {"--", "list"}, "samples", kSampleList, "", 0},
        CliCase{"LoneDash", {"-"}, "samples", kUsage, "service: Unknown command -\n", 10},
        CliCase{"CaseSensitive",
                {"CHECK", "echo"},
                "samples",
                kUsage,
                "service: Unknown command CHECK\n",
                10},
        CliCase{"EmptyCommand", {""}, "samples", kUsage, "service: Unknown command \n", 10},
        CliCase{"CheckNoName",
                {"check"},
                "samples",
                kUsage,
                "service: No service specified for check\n",
                10},
        CliCase{"CheckFound", {"check", "echo"}, "samples", "Service echo: found\n", "", 0},
        CliCase{"CheckFoundWithoutDescriptor",
                {"check", "anonymous"},
                "samples",
                "Service anonymous: found\n",
                "",
                0},
        CliCase{"CheckNotFoundExtraIgnored",
                {"check", "nosuch", "more"},
                "samples",
                "Service nosuch: not found\n",
                "",
                0},
        CliCase{"CheckNameAsTyped", {"check", "-x"}, "samples", "Service -x: not found\n", "", 0},
        CliCase{"List", {"list"}, "samples", kSampleList, "", 0},
        CliCase{"ListEmpty", {"list"}, "empty", "Found 0 services:\n", "", 0},
        CliCase{"ListControlEscaped", {"list"}, "control", kControlList, "", 0},
        // What the user typed is the user's own: printed unchanged.
        CliCase{"CheckControlAsTyped",
                {"check", "c\x1b[2J\x07"},
                "control",
                "Service c\x1b[2J\x07: found\n",
                "",
                0},
        CliCase{"CallControlAsTyped",
                {"call", "\x1b[2J\r", "1"},
                "control",
                "",
                "service: Service \x1b[2J\r does not exist\n",
                10},
        CliCase{
            "CheckFailsAfterReply", {"check", "late"}, "samples", "Service late: found\n", "", 0},
        CliCase{"CallFailsAfterReplyDescriptor",
                {"call", "late", "1"},
                "samples",
                "",
                "service: Service late does not exist\n",
                10},
        CliCase{"NoRegistryNoCommand", {}, "none", "", kNoRegistry, 20},
        CliCase{"NoRegistryHelp", {"-h"}, "none", "", kNoRegistry, 20},
        CliCase{"NoRegistryBadOption", {"-x"}, "none", "", kNoRegistry, 20},
        CliCase{"NoRegistryList", {"list"}, "none", "", kNoRegistry, 20},
        CliCase{"NoRegistryCall", {"call", "echo", "1"}, "none", "", kNoRegistry, 20},
        CliCase{"CallNoService",
                {"call"},
                "samples",
                kUsage,
                "service: No service specified for call\n",
                10},
        CliCase{"CallNoCode",
                {"call", "echo"},
                "samples",
                kUsage,
                "service: No code specified for call\n",
                10},
        CliCase{"CallUnregistered",
                {"call", "nosuch", "1"},
                "samples",
                "",
                "service: Service nosuch does not exist\n",
                10},
        CliCase{"CallEmptyDescriptor",
                {"call", "anonymous", "1", "i32", "1"},
                "samples",
                "",
                "service: Service anonymous does not exist\n",
                10},
        CliCase{"CallFailingDescriptor",
                {"call", "mute", "1"},
                "samples",
                "",
                "service: Service mute does not exist\n",
                10},
        // A descriptor reply whose string claims more than the reply holds
        // reads as no descriptor.
        CliCase{"ListGarbledDescriptor",
                {"list"},
                "garbled",
                "Found 1 services:\n0\tgarbled: []\n",
                "",
                0},
        CliCase{"CallGarbledDescriptor",
                {"call", "garbled", "1"},
                "garbled",
                "",
                "service: Service garbled does not exist\n",
                10},
        // A lookup reply whose binder record is not in its object table
        // names no service.
        CliCase{"CheckUnlistedBinder", {"check", "x"}, "lying", "Service x: not found\n", "", 0},
        CliCase{"CallUnlistedBinder",
                {"call", "x", "7"},
                "lying",
                "",
                "service: Service x does not exist\n",
                10},
        CliCase{"CallDashName",
                {"call", "-x", "1"},
                "samples",
                "",
                "service: Service -x does not exist\n",
                10}),
    [](const testing::TestParamInfo<CliCase>& p) { return std::string(p.param.name); });

TEST(CommandLine, CommandWordsMatchedWhole) {
    // In another case, cut short or run on: not a command.
    for (const char* word : {"LIST", "List", "lis", "lists", "Check", "CHECK", "chec", "checks",
                             "CALL", "cAll", "cal", "calls"}) {
        ProcessResult r = runService({word, "echo", "1"});
        EXPECT_EQ(r.out, kUsage) << word;
        EXPECT_EQ(r.err, std::string("service: Unknown command ") + word + "\n");
        EXPECT_EQ(r.status, 10) << word;
    }
}

TEST(CommandLine, UnknownOptionLeftToGetopt) {
    ProcessResult r = runService({"-x", "list"});
    EXPECT_EQ(r.out, kUsage);
    // The wording is the libc's; it names the letter and is not ours.
    EXPECT_NE(r.err.find('x'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("service: "), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
}

// --- call: the request as the echo service got it ---------------------------

using Words = std::vector<uint32_t>;

constexpr uint32_t kAbsent = 0xFFFFFFFF;
const Words kNullBinder = {0x73622a85, 0, 0, 0, 0, 0};

// A string item: length in units, the units and a 0 unit, padded to 4 bytes.
Words str16(const std::u16string& s) {
    Words w{static_cast<uint32_t>(s.size())};
    std::u16string units = s + u'\0';
    if (units.size() % 2)
        units += u'\0';
    for (size_t i = 0; i < units.size(); i += 2)
        w.push_back(units[i] | (uint32_t(units[i + 1]) << 16));
    return w;
}

Words operator+(Words a, const Words& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Words kToken = Words{0x100} + str16(u"vardel.IEcho");

Words intent(Words action, Words data, Words type, uint32_t flags, Words component) {
    return action + data + type + Words{flags} + component + Words{0, kAbsent};
}
const Words A = {kAbsent};

// Splits "Result: Parcel(...)\n" from what follows and reads the dump's words.
bool parseResult(const std::string& out, Words* words, std::string* rest) {
    const std::string head = "Result: Parcel(";
    if (out.compare(0, head.size(), head) != 0)
        return false;
    const size_t end = out.find("\n)\n");
    if (end == std::string::npos)
        return false;
    *rest = out.substr(end + 3);
    const std::string dump = out.substr(0, end);
    std::regex line("0x[0-9a-f]{8}:((?: [0-9a-f]{8})+) '");
    std::regex word("[0-9a-f]{8}");
    for (std::sregex_iterator it(dump.begin(), dump.end(), line), e; it != e; ++it) {
        const std::string ws = (*it)[1];
        for (std::sregex_iterator w(ws.begin(), ws.end(), word); w != e; ++w) {
            words->push_back(static_cast<uint32_t>(std::stoul(w->str(), nullptr, 16)));
        }
    }
    return true;
}

struct CallCase {
    const char* name;
    std::vector<std::string> args; // after "call echo"
    uint32_t code;
    Words request; // after the interface token
    std::string err;
};

void PrintTo(const CallCase& c, std::ostream* os) {
    *os << c.name;
}

class Call : public testing::TestWithParam<CallCase> {};

TEST_P(Call, EchoedRequest) {
    const CallCase& c = GetParam();
    std::vector<std::string> args = {"call", "echo"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = runService(args);
    Words words;
    std::string rest;
    ASSERT_TRUE(parseResult(r.out, &words, &rest)) << r.out;
    EXPECT_EQ(words, Words({c.code, 0}) + kToken + c.request);
    EXPECT_EQ(r.err, c.err);
    // An argument error still sends, then shows the usage after the result.
    EXPECT_EQ(rest, c.err.empty() ? "" : kUsage);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 10);
}

INSTANTIATE_TEST_SUITE_P(
    Service, Call,
    testing::Values(
        CallCase{"TokenOnly", {"1"}, 1, {}, ""}, CallCase{"CodeHexNotParsed", {"0x10"}, 0, {}, ""},
        CallCase{"CodeMinusOne", {"-1"}, 0xFFFFFFFF, {}, ""},
        CallCase{"CodeLeadingSpace", {" 7x"}, 7, {}, ""},
        CallCase{"CodeAboveRangeSaturates", {"4294967297"}, 0x7FFFFFFF, {}, ""},
        CallCase{"CodeBelowRangeSaturates", {"-99999999999999999999"}, 0x80000000, {}, ""},
        CallCase{"Int", {"1", "i32", "-5"}, 1, {0xFFFFFFFB}, ""},
        CallCase{"IntTrailingText", {"1", "i32", "12abc"}, 1, {12}, ""},
        CallCase{"IntNoDigits", {"1", "i32", "abc"}, 1, {0}, ""},
        CallCase{"IntKeywordAsValue", {"1", "i32", "s16"}, 1, {0}, ""},
        CallCase{"IntLimits",
                 {"1", "i32", "2147483647", "i32", "-2147483648"},
                 1,
                 {0x7FFFFFFF, 0x80000000},
                 ""},
        CallCase{"IntOutOfRangeSaturates",
                 {"1", "i32", "2147483648", "i32", "-2147483649"},
                 1,
                 {0x7FFFFFFF, 0x80000000},
                 ""},
        CallCase{"StringKeywordAsValue", {"1", "s16", "null"}, 1, str16(u"null"), ""},
        CallCase{"StringEmpty", {"1", "s16", ""}, 1, {0, 0}, ""},
        CallCase{"StringUtf8",
                 {"1", "s16", "\xC3\xA9\xF0\x9F\x98\x80"},
                 1,
                 {3, 0xD83D00E9, 0x0000DE00},
                 ""},
        CallCase{"ItemsInOrder",
                 {"1", "s16", "hello", "i32", "7", "null"},
                 1,
                 str16(u"hello") + Words{7} + kNullBinder,
                 ""},
        CallCase{"IntentAlone", {"1", "intent"}, 1, intent(A, A, A, 0, A), ""},
        CallCase{"IntentActionFlags",
                 {"1", "intent", "action=A", "launchFlags=4"},
                 1,
                 intent(str16(u"A"), A, A, 4, A),
                 ""},
        CallCase{"IntentTakesAllWords",
                 {"1", "intent", "action=A", "i32", "5"},
                 1,
                 intent(str16(u"A"), A, A, 0, A),
                 ""},
        CallCase{"IntentKeyWithoutValueClears",
                 {"1", "intent", "action=A", "action"},
                 1,
                 intent(A, A, A, 0, A),
                 ""},
        CallCase{"IntentLaterPairWins",
                 {"1", "intent", "type=x", "type=y"},
                 1,
                 intent(A, A, str16(u"y"), 0, A),
                 ""},
        CallCase{"IntentEqualsRuns",
                 {"1", "intent", "data=a=b", "==component==c/d", "categories=z"},
                 1,
                 intent(A, str16(u"a"), A, 0, str16(u"c/d")),
                 ""},
        CallCase{"IntentFlagsWithoutValue",
                 {"1", "intent", "launchFlags=9", "launchFlags"},
                 1,
                 intent(A, A, A, 0, A),
                 ""},
        CallCase{"IntentNegativeFlags",
                 {"1", "intent", "launchFlags=-1"},
                 1,
                 intent(A, A, A, 0xFFFFFFFF, A),
                 ""},
        CallCase{"IntentAfterItems",
                 {"1", "null", "intent", "data=d"},
                 1,
                 kNullBinder + intent(A, str16(u"d"), A, 0, A),
                 ""},
        CallCase{"IntentEmptyWordEnds",
                 {"1", "intent", "action=A", ""},
                 1,
                 intent(str16(u"A"), A, A, 0, A),
                 "service: unknown option \n"},
        CallCase{"IntentOnlyEqualsEnds",
                 {"1", "intent", "==", "type=t"},
                 1,
                 intent(A, A, A, 0, A),
                 "service: unknown option ==\n"},
        CallCase{"IntMissing",
                 {"1", "s16", "x", "i32"},
                 1,
                 str16(u"x"),
                 "service: no integer supplied for 'i32'\n"},
        CallCase{"StringMissing",
                 {"1", "i32", "3", "s16"},
                 1,
                 {3},
                 "service: no string supplied for 's16'\n"},
        CallCase{"UnknownStopsReading",
                 {"1", "i32", "1", "-z", "i32", "2"},
                 1,
                 {1},
                 "service: unknown option -z\n"},
        // String16 would change it silently; the intent is one group, so
        // none of it is sent.
        CallCase{"StringNotUtf8",
                 {"1", "i32", "3", "s16", "ab\xF0", "null"},
                 1,
                 {3},
                 "service: invalid UTF-8 in argument 7\n"},
        CallCase{"IntentValueNotUtf8",
                 {"1", "null", "intent", "action=A", "data=\xED\xA0\x80"},
                 1,
                 kNullBinder,
                 "service: invalid UTF-8 in argument 7\n"},
        CallCase{
            "KeywordsCaseSensitive", {"1", "I32", "1"}, 1, {}, "service: unknown option I32\n"},
        CallCase{"StringKeywordCase", {"1", "S16", "x"}, 1, {}, "service: unknown option S16\n"},
        CallCase{"NullKeywordCase", {"1", "NULL"}, 1, {}, "service: unknown option NULL\n"},
        CallCase{"KeywordPrefix", {"1", "i3", "1"}, 1, {}, "service: unknown option i3\n"},
        CallCase{"KeywordLonger", {"1", "nulls"}, 1, {}, "service: unknown option nulls\n"},
        CallCase{"IntentKeyPrefix",
                 {"1", "intent", "act=A", "actions=B", "typ=t"},
                 1,
                 intent(A, A, A, 0, A),
                 ""},
        CallCase{"IntentKeywordCase",
                 {"1", "i32", "2", "Intent", "action=A"},
                 1,
                 {2},
                 "service: unknown option Intent\n"},
        CallCase{"IntentKeysCaseSensitive",
                 {"1", "intent", "ACTION=A", "Data=d", "TYPE=t", "launchflags=4", "Component=c"},
                 1,
                 intent(A, A, A, 0, A),
                 ""}),
    [](const testing::TestParamInfo<CallCase>& p) { return std::string(p.param.name); });

TEST(Call, DumpText) {
    ProcessResult r = runService({"call", "echo", "2", "i32", "5"});
    EXPECT_EQ(r.out, "Result: Parcel(\n"
                     "  0x00000000: 00000002 00000000 00000100 0000000c '................'\n"
                     "  0x00000010: 00610076 00640072 006c0065 0049002e 'v.a.r.d.e.l...I.'\n"
                     "  0x00000020: 00630045 006f0068 00000000 00000005 'E.c.h.o.........'\n"
                     ")\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Call, FailedAfterReplyShowsTheReply) {
    // The call's status is not looked at: what the service wrote is shown.
    ProcessResult r = runService({"call", "lateCall", "3"});
    Words words;
    std::string rest;
    ASSERT_TRUE(parseResult(r.out, &words, &rest)) << r.out;
    EXPECT_EQ(words, Words({3, 0, 0x100}) + str16(u"vardel.IFailsLate"));
    EXPECT_EQ(rest + r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(List, HeaderCountsTheLines) {
    // A line end in a remote string must not make a line of its own.
    for (const char* registry : {"samples", "control"}) {
        ProcessResult r = runService({"list"}, registry);
        size_t count = 0;
        ASSERT_EQ(sscanf(r.out.c_str(), "Found %zu services:", &count), 1) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), count + 1) << registry;
        EXPECT_EQ(r.out.find('\r'), std::string::npos) << registry;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << registry;
    }
}

TEST(Call, FailedTransactionStillReported) {
    // A plain object fails every call but the descriptor query.
    ProcessResult r = runService({"call", "w\xC3\xA9\xF0\x9F\x98\x80x", "1", "i32", "1"});
    EXPECT_EQ(r.out, "Result: Parcel(NULL)\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

} // namespace
