// Programs that tests start: one runner for every suite. Each child is ended by its PID, every
// wait has a time limit, and a child dies with the test process (PR_SET_PDEATHSIG).
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testlib {

// Built: a program of this build, started through the cross build's emulator when there is one.
// Host: a program of the machine (dbus-daemon, valgrind), started as it is.
enum class Program { Built, Host };

// Pipes: standard input, output and error on pipes; Null: all three on /dev/null.
enum class Streams { Pipes, Null };

class Process {
  public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    // argv[0] is what the program sees as its name; path is what runs. env entries "NAME=value"
    // are set in the child, a bare "NAME" is removed from its environment.
    bool start(Program program, const std::string& path, const std::vector<std::string>& argv,
               const std::vector<std::string>& env = {}, Streams streams = Streams::Pipes);
    pid_t pid() const { return pid_; }
    // The next child starts with standard descriptor fd (0 to 2) closed, as after `>&-`.
    void close_at_start(int fd) { closed_at_start_ |= 1 << fd; }

    // False when the child does not take the line.
    bool write_line(const std::string& line);
    // Waits for a line of standard output starting with prefix, after the last one matched.
    bool wait_line(const std::string& prefix, int timeout_ms, std::string* line = nullptr);
    // The same for the first line that starts with any of the prefixes.
    bool wait_any_line(const std::vector<std::string>& prefixes, int timeout_ms,
                       std::string* line = nullptr);
    // Waits for standard output to hold text, anywhere after the start.
    bool wait_output(const std::string& text, int timeout_ms);
    // Reads what the child has written so far, without waiting.
    void drain();
    // True once the child has ended (reaped here); then status() holds its status.
    bool ended();
    // Waits for the end, reading output meanwhile; the status as the shell shows it, or -1 after
    // the limit (then the child has been killed).
    int wait_exit(int timeout_ms);
    int status() const { return status_; }
    // The child ended through exit(), not through a signal.
    bool exited() const { return exited_; }
    // Stops reading standard output: the child's writes there then fail with EPIPE.
    void close_output();
    void signal(int sig);
    void kill_now();

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    void clear_output();

  private:
    // Reads what is ready, waiting at most timeout_ms; false when no pipe is left to read.
    bool pump(int timeout_ms);
    void reaped(int raw);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    size_t cursor_ = 0;
    int status_ = -1;
    bool exited_ = false;
    int closed_at_start_ = 0; // bit n: descriptor n
};

// A run to the end under a time limit, both channels collected.
struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1; // exit status; -1 when killed by a signal, over the limit or not started
};

// args follow argv[0], which is path.
ProcessResult run_process(Program program, const std::string& path,
                          const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}, int timeout_ms = 10000);

} // namespace testlib
