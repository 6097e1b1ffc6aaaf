// `service` on the in-process runtime under valgrind memcheck: the same output and status as a
// plain run, and nothing definitely or indirectly lost.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"
#include "text.h"

namespace {

const char kValgrind[] = "/usr/bin/valgrind";
const int kLeakStatus = 99;

class NeedsValgrind : public testing::Environment {
  public:
    void SetUp() override {
        if (access(kValgrind, X_OK) != 0) {
            printf("skipped: %s is missing (package valgrind)\n", kValgrind);
            fflush(stdout);
            _exit(77);
        }
    }
};

const testing::Environment* const needsValgrind =
    testing::AddGlobalTestEnvironment(new NeedsValgrind);

struct LeakCase {
    const char* name;
    std::vector<std::string> args;
    const char* registry;
};

void PrintTo(const LeakCase& c, std::ostream* os) {
    *os << c.name;
}

class Leaks : public testing::TestWithParam<LeakCase> {};

TEST_P(Leaks, NoneAndSameOutput) {
    const LeakCase& c = GetParam();
    const std::vector<std::string> env{std::string("SERVICE_TEST_REGISTRY=") + c.registry};
    testlib::ProcessResult plain =
        testlib::run_process(testlib::Program::Built, SERVICE_LOCAL, c.args, env);

    char tmpl[] = "/tmp/service-leak-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    std::vector<std::string> args{"--quiet",
                                  "--leak-check=full",
                                  "--errors-for-leak-kinds=definite,indirect",
                                  "--error-exitcode=" + std::to_string(kLeakStatus),
                                  std::string("--log-file=") + tmpl,
                                  SERVICE_LOCAL};
    args.insert(args.end(), c.args.begin(), c.args.end());
    testlib::ProcessResult checked =
        testlib::run_process(testlib::Program::Host, kValgrind, args, env, 60000);
    std::string log = testlib::read_file(tmpl);
    unlink(tmpl);

    EXPECT_EQ(checked.status, plain.status) << log;
    EXPECT_EQ(checked.out, plain.out);
    EXPECT_EQ(checked.err, plain.err);
    EXPECT_EQ(log.find("definitely lost"), std::string::npos) << log;
    EXPECT_EQ(log.find("indirectly lost"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Service, Leaks,
    testing::Values(LeakCase{"List", {"list"}, "samples"}, LeakCase{"ListEmpty", {"list"}, "empty"},
                    LeakCase{"CheckFound", {"check", "echo"}, "samples"},
                    LeakCase{"CheckNotFound", {"check", "nosuch"}, "samples"},
                    LeakCase{"CallWithItems",
                             {"call", "echo", "2", "i32", "5", "s16", "hello", "i32", "-1"},
                             "samples"},
                    LeakCase{"CallUnknownItem", {"call", "echo", "1", "i32", "1", "-z"}, "samples"},
                    LeakCase{"CallFailedTransaction",
                             {"call", "w\xC3\xA9\xF0\x9F\x98\x80x", "1", "i32", "1"},
                             "samples"},
                    LeakCase{"CallUnregistered", {"call", "nosuch", "1"}, "samples"},
                    LeakCase{"NoRegistry", {"list"}, "none"}, LeakCase{"Usage", {"-h"}, "samples"}),
    [](const testing::TestParamInfo<LeakCase>& p) { return std::string(p.param.name); });

} // namespace
