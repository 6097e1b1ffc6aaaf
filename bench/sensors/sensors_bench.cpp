// Cost of the poll device, counted and timed in the fake kernel: calls per
// keyboard event, wake-ups while idle, and forwarding throughput against a
// bare poll/read/write loop on the same pipes. Prints one table row a figure.
#include <errno.h>
#include <linux/input.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

#include "clock.h"
#include "fake_kernel.h"

namespace {

const char kKeyboard[] = "AT Translated Set 2 keyboard";
const int kBatch = 1000; // events a batch: well inside a pipe's capacity
const int kRuns = 7;

const hw_module_t* g_hw;

double now_s() {
    return testlib::monotonic_ns() / 1e9;
}

void row(const char* measure, const std::string& ours, const std::string& base, double ratio,
         const char* goal, const std::string& note) {
    printf("sensors|%s|%s|%s|%.3f|%s|%s\n", measure, ours.c_str(), base.c_str(), ratio, goal,
           note.c_str());
}

std::string fmt(const char* f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

sensors_poll_device_t* open_dev(bool keyboard) {
    fake::reset();
    if (keyboard)
        fake::kernel().devices = {{"event1", kKeyboard}};
    hw_device_t* d = nullptr;
    if (g_hw->methods->open(g_hw, "sensors", &d) != 0 || !d) {
        fprintf(stderr, "sensors_bench: open failed\n");
        exit(1);
    }
    return reinterpret_cast<sensors_poll_device_t*>(d);
}

void fill(int n, uint16_t code0, uint16_t code1) {
    int w = fake::writer("event1");
    for (int i = 0; i < n; i++) {
        input_event e{};
        e.type = EV_KEY;
        e.code = (i & 1) ? code1 : code0;
        e.value = 1;
        if (write(w, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) {
            perror("sensors_bench: pipe write");
            exit(1);
        }
    }
}

size_t forwarded_writes() {
    size_t n = 0;
    for (auto& c : fake::kernel().uinput)
        n += c.is_write && c.bytes.size() == sizeof(input_event);
    return n;
}

// Calls the module makes per event: its waits, reads and forwarding writes.
void calls_per_event() {
    sensors_poll_device_t* d = open_dev(true);
    fake::trim();
    fill(kBatch, KEY_ESC, KEY_COMPOSE);
    sensors_event_t ev;
    d->poll(d, &ev, 1); // disabled: forwards the batch, then the idle wait ends it
    double polls = fake::kernel().polls.size(), reads = fake::kernel().reads;
    double writes = forwarded_writes();
    double per = (polls + reads + writes) / kBatch;
    // The bare loop's count: a poll, a read and a write per event, and the poll that ends it.
    const double bare = (3.0 * kBatch + 1) / kBatch;
    row("calls per forwarded event (poll+read+write)", fmt("%.3f", per), fmt("%.3f", bare),
        per / bare, fmt("<= %.3f", bare).c_str(),
        fmt("%.0f polls ", polls) + fmt("%.0f reads ", reads) + fmt("%.0f writes for ", writes) +
            std::to_string(kBatch) + " events; the extra poll ends the call");

    d->activate(d, 0, 1);
    fake::trim();
    fake::kernel().reads = 0;
    fill(kBatch, KEY_DOWN, KEY_UP);
    for (int i = 0; i < kBatch; i++)
        d->poll(d, &ev, 1);
    polls = fake::kernel().polls.size();
    reads = fake::kernel().reads;
    writes = forwarded_writes();
    per = (polls + reads + writes) / kBatch;
    row("calls per reported event (poll+read)", fmt("%.3f", per), "2", per / 2, "<= 2",
        fmt("%.0f polls ", polls) + fmt("%.0f reads ", reads) + fmt("%.0f writes; ", writes) +
            "plus 2 debug log lines a call");
    d->common.close(&d->common);
}

void on_wake(int) {}

void* poll_thread(void* arg) {
    auto* d = static_cast<sensors_poll_device_t*>(arg);
    sensors_event_t ev;
    d->poll(d, &ev, 1);
    return nullptr;
}

// poll() returns while nothing happens, over a window; a signal ends the wait.
void idle_wakeups(bool keyboard) {
    sensors_poll_device_t* d = open_dev(keyboard);
    fake::kernel().fail_when_idle = false;
    d->activate(d, 0, 1);
    struct sigaction sa = {};
    sa.sa_handler = on_wake; // no SA_RESTART: the signal ends the wait
    sigaction(SIGUSR1, &sa, nullptr);
    const double window = 2.0;
    pthread_t t;
    pthread_create(&t, nullptr, poll_thread, d);
    usleep(static_cast<useconds_t>(window * 1e6));
    const size_t returns = fake::kernel().poll_returns;
    const size_t entered = fake::poll_count();
    pthread_kill(t, SIGUSR1);
    pthread_join(t, nullptr);
    row(keyboard ? "idle wake-ups, keyboard silent" : "idle wake-ups, no keyboard",
        std::to_string(returns), "0", returns == 0 ? 1.0 : static_cast<double>(returns), "<= 0",
        fmt("poll returns in a %.0f s window; ", window) + std::to_string(entered) +
            " wait entered");
    d->common.close(&d->common);
}

// The same work without the module: wait, read one event, write it on.
int bare_loop(int in, int out) {
    int n = 0;
    pollfd p{in, POLLIN, 0};
    for (;;) {
        if (poll(&p, 1, -1) <= 0)
            return n;
        input_event e;
        if (read(in, &e, sizeof e) != static_cast<ssize_t>(sizeof e))
            continue;
        (void)!write(out, &e, sizeof e);
        n++;
    }
}

void throughput() {
    sensors_poll_device_t* d = open_dev(true);
    const int in = fake::input_fds("event1")[0];
    const int out = fake::uinput_fds()[0];
    const int batches = 20;
    std::vector<double> ours, bare, ratio;
    for (int r = 0; r < kRuns; r++) {
        double t_ours = 0, t_bare = 0;
        for (int b = 0; b < batches; b++) {
            sensors_event_t ev;
            fake::trim();
            fill(kBatch, KEY_ESC, KEY_COMPOSE);
            double t0 = now_s();
            d->poll(d, &ev, 1);
            t_ours += now_s() - t0;
            fake::trim();
            fill(kBatch, KEY_ESC, KEY_COMPOSE);
            t0 = now_s();
            bare_loop(in, out);
            t_bare += now_s() - t0;
        }
        ours.push_back(batches * kBatch / t_ours);
        bare.push_back(batches * kBatch / t_bare);
        ratio.push_back(bare.back() / ours.back());
    }
    std::sort(ours.begin(), ours.end());
    std::sort(bare.begin(), bare.end());
    std::sort(ratio.begin(), ratio.end());
    const int mid = kRuns / 2;
    row("forwarded events per second", fmt("%.0f", ours[mid]), fmt("%.0f", bare[mid]), ratio[mid],
        "<= 1.1x",
        "median of " + std::to_string(kRuns) + " runs of " + std::to_string(batches * kBatch) +
            " events; ratio bare/ours spread " + fmt("%.3f", ratio.front()) + "-" +
            fmt("%.3f", ratio.back()));
    d->common.close(&d->common);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        printf("Usage: sensors_bench\n"
               "Prints sensors|measure|ours|baseline|ratio|goal|note rows.\n");
        return strcmp(argv[1], "-h") == 0 ? 0 : 2;
    }
    signal(SIGPIPE, SIG_IGN);
    char err[512] = "";
    if (hw_load_module(MODULE_DIR, SENSORS_HARDWARE_MODULE_ID, "vardel", &g_hw, err, sizeof err)) {
        fprintf(stderr, "sensors_bench: %s\n", err);
        return 1;
    }
    calls_per_event();
    idle_wakeups(false);
    idle_wakeups(true);
    throughput();
    hw_unload_module(g_hw);
    fake::reset();
    return 0;
}
