#include "campaign_procs.h"

#include "bus_dir.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int64_t now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

static int shell_status(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

static void close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool Child::start(const std::string& path, const std::vector<std::string>& args,
                  const std::string& bus_address, bool capture) {
    std::vector<std::string> all = args;
    std::string program = path;
    if (const char* runner = getenv("ARMHF_RUN")) {
        all = {runner, "-0", args.empty() ? path : args[0], path};
        if (!args.empty())
            all.insert(all.end(), args.begin() + 1, args.end());
        program = runner;
    }
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (capture && (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0))
        return false;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Nothing outlives the run, even when the campaign itself is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(capture ? out_pipe[1] : null_fd, 1);
        dup2(capture ? err_pipe[1] : null_fd, 2);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address.c_str(), 1);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (capture) {
        close(out_pipe[1]);
        close(err_pipe[1]);
        out_fd_ = out_pipe[0];
        err_fd_ = err_pipe[0];
        fcntl(out_fd_, F_SETFL, O_NONBLOCK);
        fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    }
    status_ = -1;
    return pid_ > 0;
}

bool Child::read_into(int& fd, std::string& text) {
    if (fd < 0)
        return false;
    char buf[4096];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            text.append(buf, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || errno != EAGAIN)
            close_fd(fd);
        return fd >= 0;
    }
}

void Child::drain() {
    read_into(out_fd_, out);
    read_into(err_fd_, err);
}

bool Child::ended() {
    if (pid_ <= 0)
        return true;
    int raw;
    if (waitpid(pid_, &raw, WNOHANG) != pid_)
        return false;
    status_ = shell_status(raw);
    pid_ = -1;
    drain();
    return true;
}

int Child::wait_exit(int timeout_ms) {
    int64_t deadline = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
    while (!ended()) {
        int64_t left_ms = (deadline - now_us()) / 1000;
        if (left_ms <= 0) {
            kill_now();
            return -1;
        }
        // The output pipes close at the exit; poll them, or sleep a little without pipes.
        struct pollfd fds[2];
        int n = 0;
        if (out_fd_ >= 0)
            fds[n++] = {out_fd_, POLLIN, 0};
        if (err_fd_ >= 0)
            fds[n++] = {err_fd_, POLLIN, 0};
        poll(fds, n, n ? static_cast<int>(left_ms < 10 ? left_ms : 10) : 5);
        drain();
    }
    return status_;
}

void Child::kill_now() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int raw;
        while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        status_ = -1;
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
}

PrivateBus::~PrivateBus() {
    daemon_.kill_now();
    remove_bus_dir(dir_);
}

bool PrivateBus::start() {
    dir_ = make_bus_dir("agent-campaign");
    if (dir_.empty())
        return false;

    // The bus daemon is a host program even under the armhf emulator.
    const char* runner = getenv("ARMHF_RUN");
    if (runner)
        unsetenv("ARMHF_RUN");
    bool started = daemon_.start(
        "/usr/bin/dbus-daemon",
        {"dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--print-address=1", "--nofork"}, "",
        true);
    if (runner)
        setenv("ARMHF_RUN", runner, 1);
    if (!started)
        return false;
    // The address line comes once the bus listens.
    int64_t deadline = now_us() + 10 * 1000000;
    while (daemon_.out.find('\n') == std::string::npos && now_us() < deadline) {
        if (daemon_.ended())
            return false;
        usleep(2000);
        daemon_.drain();
    }
    size_t nl = daemon_.out.find('\n');
    if (nl == std::string::npos)
        return false;
    address_ = daemon_.out.substr(0, nl);
    return true;
}
