#include "rig.h"

testing::AssertionResult Rig::start_bus() {
    if (bus.address().empty() && !bus.start())
        return testing::AssertionFailure() << "private dbus-daemon did not start";
    return testing::AssertionSuccess();
}

testing::AssertionResult Rig::start_daemon(CheckedProcess& d,
                                           const std::vector<std::string>& options,
                                           const std::string& ready) {
    std::vector<std::string> argv = {"btdaemon", "--script"};
    argv.insert(argv.end(), options.begin(), options.end());
    testing::AssertionResult up = start_bus();
    if (up && !d.start(testlib::Program::Built, BTDAEMON_BIN, argv, bus.env()))
        up = testing::AssertionFailure() << "btdaemon did not start";
    if (up && !d.wait_line(ready, wait_ms_))
        up = testing::AssertionFailure() << "no \"" << ready << "\" from btdaemon\n" << d.err();
    return up;
}

testing::AssertionResult Rig::start_agent(const std::vector<std::string>& args,
                                          const Launcher& launcher) {
    bool direct = launcher.path.empty();
    std::vector<std::string> argv = direct ? std::vector<std::string>{"agent"} : launcher.argv;
    if (!direct)
        argv.push_back(AGENT_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    testing::AssertionResult up = start_bus();
    if (up && !agent.start(direct ? testlib::Program::Built : testlib::Program::Host,
                           direct ? AGENT_BIN : launcher.path, argv, bus.env()))
        up = testing::AssertionFailure() << "agent did not start";
    default_path = "/org/velto/agent_" + std::to_string(agent.pid());
    return up;
}

testing::AssertionResult Rig::wait_serving() {
    if (!daemon.wait_line("agent ", wait_ms_, &agent_line))
        return testing::AssertionFailure() << "no registration\n" << daemon.out() << agent.err();
    daemon.write_line("ping");
    if (!daemon.wait_line("reply Ping", wait_ms_))
        return testing::AssertionFailure() << "no answer to the ping\n"
                                           << daemon.out() << agent.err();
    return testing::AssertionSuccess();
}

testing::AssertionResult Rig::start_serving(const std::vector<std::string>& args,
                                            const std::vector<std::string>& daemon_options) {
    testing::AssertionResult up = start_daemon(daemon, daemon_options);
    if (up)
        up = start_agent(args);
    return up ? wait_serving() : up;
}

std::string Rig::daemon_record(CheckedProcess& d) {
    d.write_line("quit");
    EXPECT_EQ(d.wait_exit(wait_ms_), 0);
    return d.out();
}
