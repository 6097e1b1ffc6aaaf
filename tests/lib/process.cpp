#include "process.h"

#include "clock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testlib {

namespace {

int remaining_ms(int64_t deadline) {
    int64_t left = deadline - monotonic_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

void close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Waits for pid to end, within timeout_ms; its raw wait status, or -1.
int reap(pid_t pid, int pidfd, int timeout_ms) {
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
            poll(nullptr, 0, left < 10 ? left : 10); // no pidfd here (kernel or emulator)
        }
    }
}

// Puts from at standard descriptor fd, open across exec; dup2 onto itself would keep
// close-on-exec.
void put_at(int from, int fd) {
    if (from == fd)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(from, fd);
}

// Appends what fd holds now to text; closes fd at its end.
void read_into(int& fd, std::string& text) {
    char buf[4096];
    while (fd >= 0) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            text.append(buf, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            if (got == 0 || errno != EAGAIN)
                close_fd(fd);
            return;
        }
    }
}

} // namespace

Process::~Process() {
    kill_now();
}

bool Process::start(Program program, const std::string& path, const std::vector<std::string>& argv,
                    const std::vector<std::string>& env, Streams streams) {
    kill_now();
    clear_output();
    status_ = -1;
    exited_ = false;

    // Under the emulator the built program is its argument; argv[0] is kept.
    std::vector<std::string> args = argv;
    std::string run = path;
    const std::string emulator = TEST_EMULATOR;
    if (program == Program::Built && !emulator.empty()) {
        args = {emulator, "-0", argv.empty() ? path : argv[0], path};
        if (!argv.empty())
            args.insert(args.end(), argv.begin() + 1, argv.end());
        run = emulator;
    }
    std::vector<char*> c_args;
    for (auto& a : args)
        c_args.push_back(const_cast<char*>(a.c_str()));
    c_args.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (streams == Streams::Pipes &&
        (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)) {
        for (int* p : {in, out, err}) {
            close_fd(p[0]);
            close_fd(p[1]);
        }
        return false;
    }
    pid_t parent = getpid();
    const int closed_at_start = closed_at_start_;
    closed_at_start_ = 0;
    pid_ = fork();
    if (pid_ == 0) {
        // Nothing outlives the test, even when the test itself is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        // An ignored SIGPIPE would pass through exec: children get the default, as from a shell.
        ::signal(SIGPIPE, SIG_DFL);
        // Every source is close-on-exec: only the standard descriptors reach the program.
        int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        put_at(in[0] >= 0 ? in[0] : null_fd, 0);
        put_at(out[1] >= 0 ? out[1] : null_fd, 1);
        put_at(err[1] >= 0 ? err[1] : null_fd, 2);
        for (int fd = 0; fd <= 2; fd++)
            if (closed_at_start & (1 << fd))
                close(fd);
        for (const auto& e : env) {
            size_t eq = e.find('=');
            if (eq == std::string::npos)
                unsetenv(e.c_str());
            else
                setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
        }
        execv(run.c_str(), c_args.data());
        _exit(127);
    }
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    in_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    for (int fd : {out_fd_, err_fd_})
        if (fd >= 0)
            fcntl(fd, F_SETFL, O_NONBLOCK);
    if (pid_ < 0) {
        kill_now();
        return false;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

bool Process::write_line(const std::string& line) {
    std::string text = line + "\n";
    return in_ >= 0 && write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool Process::pump(int timeout_ms) {
    struct pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0)
        fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0)
        fds[n++] = {err_fd_, POLLIN, 0};
    if (n == 0)
        return false;
    if (poll(fds, n, timeout_ms) > 0)
        drain();
    return true;
}

void Process::drain() {
    read_into(out_fd_, out_);
    read_into(err_fd_, err_);
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

void Process::reaped(int raw) {
    pid_ = -1;
    close_fd(pidfd_);
    close_fd(in_);
    exited_ = WIFEXITED(raw);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    drain();
}

bool Process::ended() {
    if (pid_ <= 0)
        return true;
    int raw;
    if (waitpid(pid_, &raw, WNOHANG) != pid_)
        return false;
    reaped(raw);
    return true;
}

int Process::wait_exit(int timeout_ms) {
    int64_t deadline = monotonic_ms() + timeout_ms;
    // Output first: the pipes close at the exit, unless a grandchild still holds them.
    while ((out_fd_ >= 0 || err_fd_ >= 0) && remaining_ms(deadline) > 0 && !ended())
        pump(remaining_ms(deadline) < 10 ? remaining_ms(deadline) : 10);
    if (pid_ <= 0)
        return status_;
    int raw = reap(pid_, pidfd_, remaining_ms(deadline));
    if (raw == -1) {
        kill_now();
        return -1;
    }
    reaped(raw);
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
        status_ = -1;
        exited_ = false;
    }
    close_fd(pidfd_);
    close_fd(in_);
    close_fd(out_fd_);
    close_fd(err_fd_);
}

void Process::clear_output() {
    out_.clear();
    err_.clear();
    cursor_ = 0;
}

ProcessResult run_process(Program program, const std::string& path,
                          const std::vector<std::string>& args, const std::vector<std::string>& env,
                          int timeout_ms) {
    ProcessResult result;
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    if (!p.start(program, path, argv, env))
        return result;
    int status = p.wait_exit(timeout_ms);
    result.out = p.out();
    result.err = p.err();
    result.status = status >= 0 && p.exited() ? status : -1;
    return result;
}

} // namespace testlib
