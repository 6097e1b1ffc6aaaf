// main() of the agent's gtest suites: they need dbus-daemon, and exit 77 without it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && access("/usr/bin/dbus-daemon", X_OK) != 0) {
        printf("skipped: /usr/bin/dbus-daemon is missing (package dbus-daemon)\n");
        return 77;
    }
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
