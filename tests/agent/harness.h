// Processes under test: the agent, the scripted daemon and a private bus daemon, each ended by
// its PID, with a time limit on every wait.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A child with pipes on its standard streams.
class Process {
  public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    // argv[0] is what the program sees as its name; path is what runs.
    bool start(const std::string& path, const std::vector<std::string>& argv,
               const std::string& bus_address);
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    void write_line(const std::string& line);
    // Waits for a line of standard output starting with prefix, after the last one matched.
    bool wait_line(const std::string& prefix, int timeout_ms, std::string* line = nullptr);
    // The same for the first line that starts with any of the prefixes.
    bool wait_any_line(const std::vector<std::string>& prefixes, int timeout_ms,
                       std::string* line = nullptr);
    // Waits for standard output to hold text, anywhere after the start.
    bool wait_output(const std::string& text, int timeout_ms);
    // Waits for the exit; returns the status as the shell shows it, or -1 after the time limit
    // (then the process has been killed).
    int wait_exit(int timeout_ms);
    // Stops reading standard output: the child's writes there then fail with EPIPE.
    void close_output();
    void signal(int sig);
    void kill_now();

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

  private:
    // Reads what is ready, waiting at most timeout_ms; false when nothing more can come.
    bool pump(int timeout_ms);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    size_t cursor_ = 0;
    int status_ = -1;
};

// A dbus-daemon of its own, in a temporary folder.
class Bus {
  public:
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    ~Bus();
    bool start();
    const std::string& address() const { return address_; }
    void kill_now();

  private:
    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
};

int64_t monotonic_ms();
