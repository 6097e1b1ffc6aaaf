// Children of the campaign and the benchmark: a private bus daemon and the programs on it, each
// ended by its PID, with a time limit on every wait. Not gtest-bound, unlike harness.h.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

int64_t now_us();

class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { kill_now(); }

    // capture: standard output and error go to pipes read by drain(); otherwise to /dev/null.
    // Under the armhf emulator (ARMHF_RUN) the program runs through it, argv[0] kept.
    bool start(const std::string& path, const std::vector<std::string>& argv,
               const std::string& bus_address, bool capture);
    pid_t pid() const { return pid_; }

    // Appends what the child has written so far to out and err, without waiting.
    void drain();
    // True once the child has ended; then status() holds the shell-style status.
    bool ended();
    // Waits for the end within timeout_ms, reading output meanwhile; the status, or -1 after
    // the limit (the child has then been killed).
    int wait_exit(int timeout_ms);
    int status() const { return status_; }
    void kill_now();

    std::string out, err;

  private:
    bool read_into(int& fd, std::string& text);

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    int status_ = -1;
};

// A dbus-daemon of its own with a permissive policy, in a temporary folder.
class PrivateBus {
  public:
    PrivateBus() = default;
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus();
    bool start();
    const std::string& address() const { return address_; }

  private:
    std::string dir_;
    std::string address_;
    Child daemon_;
};
