#include "harness.h"

#include "bus_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int remaining_ms(int64_t deadline) {
    int64_t left = deadline - monotonic_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

static int status_of(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

// Waits for pid to end, within timeout_ms; returns its raw wait status or -1.
static int reap(pid_t pid, int pidfd, int timeout_ms) {
    int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        int raw;
        pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid)
            return raw;
        if (r < 0 && errno != EINTR)
            return -1;
        int left = remaining_ms(deadline);
        if (left == 0)
            return -1;
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            poll(nullptr, 0, left < 10 ? left : 10); // no pidfd on this kernel
        }
    }
}

static void close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Forks and execs path with the standard streams on the given descriptors (-1: /dev/null).
static pid_t spawn(const std::string& path, const std::vector<std::string>& args, int in, int out,
                   int err, const std::string& bus_address) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;

    // Nothing outlives the test, even when the harness itself is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    // An ignored SIGPIPE would pass through exec: children get the default, as from a shell.
    signal(SIGPIPE, SIG_DFL);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(in >= 0 ? in : null_fd, 0);
    dup2(out >= 0 ? out : null_fd, 1);
    dup2(err >= 0 ? err : null_fd, 2);
    if (!bus_address.empty())
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    execv(path.c_str(), argv.data());
    _exit(127);
}

Process::~Process() {
    kill_now();
}

bool Process::start(const std::string& path, const std::vector<std::string>& argv,
                    const std::string& bus_address) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        return false;
    // Under the armhf emulator the built programs need it too; argv[0] is kept.
    if (const char* runner = getenv("ARMHF_RUN")) {
        std::vector<std::string> wrapped{runner, "-0", argv.empty() ? path : argv[0], path};
        if (!argv.empty())
            wrapped.insert(wrapped.end(), argv.begin() + 1, argv.end());
        pid_ = spawn(runner, wrapped, in[0], out[1], err[1], bus_address);
    } else {
        pid_ = spawn(path, argv, in[0], out[1], err[1], bus_address);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (pid_ < 0)
        return false;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

void Process::write_line(const std::string& line) {
    std::string text = line + "\n";
    if (in_ >= 0 && write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        ADD_FAILURE() << "cannot write to child: " << line;
}

bool Process::pump(int timeout_ms) {
    struct pollfd fds[2];
    int* owners[2];
    int n = 0;
    if (out_fd_ >= 0) {
        fds[n] = {out_fd_, POLLIN, 0};
        owners[n++] = &out_fd_;
    }
    if (err_fd_ >= 0) {
        fds[n] = {err_fd_, POLLIN, 0};
        owners[n++] = &err_fd_;
    }
    if (n == 0)
        return false;
    int r = poll(fds, n, timeout_ms);
    if (r <= 0)
        return true;
    for (int i = 0; i < n; i++) {
        if (!fds[i].revents)
            continue;
        char buf[4096];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got <= 0) {
            close_fd(*owners[i]);
            continue;
        }
        (owners[i] == &out_fd_ ? out_ : err_).append(buf, got);
    }
    return true;
}

bool Process::wait_line(const std::string& prefix, int timeout_ms, std::string* line) {
    return wait_any_line({prefix}, timeout_ms, line);
}

bool Process::wait_any_line(const std::vector<std::string>& prefixes, int timeout_ms,
                            std::string* line) {
    int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        size_t pos = cursor_;
        size_t nl;
        while ((nl = out_.find('\n', pos)) != std::string::npos) {
            for (const auto& prefix : prefixes) {
                if (nl - pos >= prefix.size() && out_.compare(pos, prefix.size(), prefix) == 0) {
                    if (line)
                        *line = out_.substr(pos, nl - pos);
                    cursor_ = nl + 1;
                    return true;
                }
            }
            pos = nl + 1;
        }
        if (remaining_ms(deadline) == 0 || !pump(remaining_ms(deadline)))
            return false;
    }
}

bool Process::wait_output(const std::string& text, int timeout_ms) {
    int64_t deadline = monotonic_ms() + timeout_ms;
    while (out_.find(text) == std::string::npos) {
        if (remaining_ms(deadline) == 0 || !pump(remaining_ms(deadline)))
            return out_.find(text) != std::string::npos;
    }
    return true;
}

int Process::wait_exit(int timeout_ms) {
    if (pid_ <= 0)
        return status_;
    int64_t deadline = monotonic_ms() + timeout_ms;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && remaining_ms(deadline) > 0)
        pump(remaining_ms(deadline));
    int raw = reap(pid_, pidfd_, remaining_ms(deadline));
    if (raw == -1) {
        kill_now();
        return -1;
    }
    pid_ = -1;
    close_fd(pidfd_);
    close_fd(in_);
    status_ = status_of(raw);
    return status_;
}

void Process::close_output() {
    close_fd(out_fd_);
}

void Process::signal(int sig) {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

void Process::kill_now() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, pidfd_, 5000);
        pid_ = -1;
    }
    close_fd(pidfd_);
    close_fd(in_);
    close_fd(out_fd_);
    close_fd(err_fd_);
}

Bus::~Bus() {
    kill_now();
    remove_bus_dir(dir_);
}

bool Bus::start() {
    dir_ = make_bus_dir("agent-test");
    if (dir_.empty())
        return false;

    int out[2];
    if (pipe2(out, O_CLOEXEC) < 0)
        return false;
    pid_ = spawn(
        "/usr/bin/dbus-daemon",
        {"dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--print-address=1", "--nofork"}, -1,
        out[1], -1, "");
    close(out[1]);
    // The address line comes once the bus listens.
    int64_t deadline = monotonic_ms() + 10000;
    std::string text;
    while (text.find('\n') == std::string::npos && remaining_ms(deadline) > 0) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0)
            continue;
        char buf[512];
        ssize_t got = read(out[0], buf, sizeof buf);
        if (got <= 0)
            break;
        text.append(buf, got);
    }
    close(out[0]);
    size_t nl = text.find('\n');
    if (nl == std::string::npos)
        return false;
    address_ = text.substr(0, nl);
    return true;
}

void Bus::kill_now() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, -1, 5000);
        pid_ = -1;
    }
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && access("/usr/bin/dbus-daemon", X_OK) != 0) {
        printf("skipped: /usr/bin/dbus-daemon is missing (package dbus-daemon)\n");
        return 77;
    }
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
