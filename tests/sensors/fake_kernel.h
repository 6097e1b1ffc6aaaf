// A scripted stand-in for the kernel surface the module touches: event
// devices under /dev/input (pipes), /dev/uinput (a recorder) and inotify
// watches on /dev/input (pipes that carry inotify_event records). The test
// program exports open, opendir, readdir, closedir, ioctl, poll, read, write,
// close, inotify_init1 and inotify_add_watch, so the dlopen'ed module binds to
// these before the libc's.
#ifndef TESTS_SENSORS_FAKE_KERNEL_H
#define TESTS_SENSORS_FAKE_KERNEL_H

#include <poll.h>

#include <string>
#include <vector>

namespace fake {

struct EventDevice {
    std::string entry;  // name in the /dev/input listing
    std::string name;   // what EVIOCGNAME reports
    int open_errno = 0; // non-zero: open fails with it
    bool name_fails = false;
    bool gone = false; // removed: not listed, open fails with ENOENT
};

struct UinputCall {
    int fd;
    bool is_write;
    unsigned long request; // ioctl request
    long arg;              // ioctl argument
    std::string bytes;     // written bytes
};

struct PollCall {
    int fd;
    short events;
    int timeout;
    int watch; // the second descriptor waited on, -1 if none
};

struct LogLine {
    int prio;
    std::string tag;
    std::string text;
};

struct Kernel {
    bool input_dir = true;
    std::vector<std::string> extra_entries{".", "..", "mice", "by-path"};
    std::vector<EventDevice> devices;
    int uinput_errno = 0;
    int inotify_errno = 0; // non-zero: inotify_init1 fails with it
    int watch_errno = 0;   // non-zero: inotify_add_watch fails with it
    int fd_room = -1;      // fake descriptors and listings open at once before EMFILE; -1: none

    // When nothing is ready, fail the wait with EINTR instead of blocking.
    bool fail_when_idle = true;
    int read_fail_errno = 0; // one-shot: the next keyboard read fails
    int poll_fail_errno = 0; // one-shot: the next wait fails with it

    // Recorded.
    std::vector<std::string> opened; // every /dev path asked for
    std::vector<UinputCall> uinput;
    std::vector<std::string> closed; // names of fake descriptors, in close order
    std::vector<PollCall> polls;
    std::vector<LogLine> log;
    bool wait_expired = false; // a wait ran into the test's time limit
    int dir_open = 0;          // listings opened and not closed
    size_t reads = 0;          // reads of fake descriptors
    size_t poll_returns = 0;   // waits on fake descriptors that came back
};

// Resets the script and the records, closes leftover fake descriptors.
void reset();
// The script and the records; read them only while no module call runs,
// or through the locked accessors below.
Kernel& kernel();
size_t poll_count();

// Forgets the records and the pipes whose read end the module has closed, so
// that long runs stay flat; open-order indexes then count the open pipes only.
void trim();

// Write end of the pipe behind the n-th open of the device entry; -1 if none.
int writer(const std::string& entry, size_t n = 0);
// Closes that write end: the module then sees a hang-up.
void hang_up(const std::string& entry, size_t n = 0);
// Keyboard descriptors handed out, and uinput descriptors, in open order.
std::vector<int> input_fds(const std::string& entry);
std::vector<int> uinput_fds();
bool is_open(int fd);

// A device node appears (IN_CREATE), or an existing one changes, its name or
// its permissions (IN_ATTRIB): every open watch is told, as the kernel would.
void add_device(const EventDevice& d);
void change_device(const std::string& entry, int open_errno);
// The device goes: every open of it hangs up and its node leaves the listing.
void remove_device(const std::string& entry);
// Writes one raw record into every open watch (for torn or odd records).
void notify_raw(const std::string& bytes);
// inotify descriptors handed out, in creation order (numbers are reused once
// closed), and how many of them are open.
std::vector<int> watch_fds();
size_t watches_open();

} // namespace fake

#endif // TESTS_SENSORS_FAKE_KERNEL_H
