// The agent's reply latency beside a bare libdbus responder's, on one private bus in one run.
// One connection plays the daemon: it owns "org.velto", answers the agent's start-up requests,
// and then makes blocking round trips to the agent and to the bare responder in turn (A, B, A,
// B, ...) so that drift on the machine falls on both alike. Prints
// agent|measure|ours|baseline|ratio|goal|note rows. Figures, not a test.
#include "clock.h"
#include "private_bus.h"
#include "process.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char passkey[] = "0123";
const char device[] = "/org/velto/hci0/dev_00_11_22_33_44_55";
const int call_timeout_ms = 10000;

struct Target {
    std::string name, path;
};

struct Figures {
    double median, p90;
};

Figures figures(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 9 / 10]};
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool fail(const char* what) {
    fprintf(stderr, "agent_bench: %s\n", what);
    return false;
}

// Answers the agent's lookup and registration; returns the agent's unique name and path.
bool serve_start_up(DBusConnection* conn, testlib::Process& agent, Target* t) {
    int64_t deadline = testlib::monotonic_us() + 20 * 1000000;
    while (testlib::monotonic_us() < deadline) {
        dbus_connection_read_write(conn, 20);
        while (DBusMessage* m = dbus_connection_pop_message(conn)) {
            bool reg = dbus_message_is_method_call(m, "org.velto.Adapter", "RegisterAgent");
            if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
                DBusMessage* reply = dbus_message_new_method_return(m);
                if (dbus_message_is_method_call(m, "org.velto.Manager", "DefaultAdapter")) {
                    const char* adapter = "/org/velto/hci0";
                    dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &adapter,
                                             DBUS_TYPE_INVALID);
                }
                dbus_connection_send(conn, reply, nullptr);
                dbus_message_unref(reply);
            }
            if (reg) {
                const char* path;
                const char* capability;
                if (dbus_message_get_args(m, nullptr, DBUS_TYPE_OBJECT_PATH, &path,
                                          DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID)) {
                    t->name = dbus_message_get_sender(m);
                    t->path = path;
                }
            }
            dbus_message_unref(m);
            if (reg) {
                dbus_connection_flush(conn);
                return !t->name.empty();
            }
        }
        if (agent.ended())
            return fail("the agent ended during start-up");
    }
    return fail("the agent did not register");
}

DBusMessage* request(const Target& t, bool pin) {
    DBusMessage* m = dbus_message_new_method_call(t.name.c_str(), t.path.c_str(), "org.velto.Agent",
                                                  pin ? "RequestPinCode" : "RequestConfirmation");
    const char* dev = device;
    dbus_uint32_t value = 123456;
    if (pin)
        dbus_message_append_args(m, DBUS_TYPE_OBJECT_PATH, &dev, DBUS_TYPE_INVALID);
    else
        dbus_message_append_args(m, DBUS_TYPE_OBJECT_PATH, &dev, DBUS_TYPE_UINT32, &value,
                                 DBUS_TYPE_INVALID);
    return m;
}

// One blocking round trip; its time in microseconds, or a negative value for a wrong answer.
double round_trip(DBusConnection* conn, const Target& t, bool pin) {
    DBusMessage* m = request(t, pin);
    DBusError err;
    dbus_error_init(&err);
    // Nanoseconds: a round trip is some 90 us, and microsecond steps would show in the ratio.
    double start = static_cast<double>(testlib::monotonic_ns());
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn, m, call_timeout_ms, &err);
    double end = static_cast<double>(testlib::monotonic_ns());
    dbus_message_unref(m);
    if (!reply) {
        fprintf(stderr, "agent_bench: %s: %s\n", t.path.c_str(), err.message);
        dbus_error_free(&err);
        return -1;
    }
    bool right;
    if (pin) {
        const char* text;
        right = dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) &&
                !strcmp(text, passkey);
    } else {
        right = !strcmp(dbus_message_get_signature(reply), "");
    }
    dbus_message_unref(reply);
    return right ? (end - start) / 1000 : -1;
}

struct Options {
    int iterations = 20000, warmup = 2000, runs = 5;
    bool pipe = false; // the agent's output into a pipe that the bench drains
};

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--pipe") {
            o->pipe = true;
            continue;
        }
        int* field = a == "--iterations" ? &o->iterations
                     : a == "--warmup"   ? &o->warmup
                     : a == "--runs"     ? &o->runs
                                         : nullptr;
        if (!field || i + 1 >= argc)
            return false;
        char* end;
        long v = strtol(argv[++i], &end, 10);
        if (*end || v < (field == &o->warmup ? 0 : 1) || v > 10000000)
            return false;
        *field = static_cast<int>(v);
    }
    return true;
}

void stop(testlib::Process& child, DBusConnection* conn) {
    kill(child.pid(), SIGTERM);
    int64_t deadline = testlib::monotonic_us() + 10 * 1000000;
    while (!child.ended() && testlib::monotonic_us() < deadline) {
        // The agent unregisters on its way out; answer it.
        dbus_connection_read_write(conn, 10);
        while (DBusMessage* m = dbus_connection_pop_message(conn)) {
            if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
                DBusMessage* reply = dbus_message_new_method_return(m);
                dbus_connection_send(conn, reply, nullptr);
                dbus_message_unref(reply);
            }
            dbus_message_unref(m);
        }
        dbus_connection_flush(conn);
    }
    child.kill_now();
}

int run(const Options& o) {
    PrivateBus bus;
    if (!bus.start("agent-campaign"))
        return fail("the private dbus-daemon did not start"), 1;
    DBusError err;
    dbus_error_init(&err);
    DBusConnection* conn = dbus_connection_open_private(bus.address().c_str(), &err);
    if (!conn || !dbus_bus_register(conn, &err) ||
        dbus_bus_request_name(conn, "org.velto", DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
        return fail("cannot own org.velto on the private bus"), 1;
    dbus_connection_set_exit_on_disconnect(conn, FALSE);

    // The agent's request lines go to /dev/null, as for a user who discards them, or to a pipe
    // that is drained between round trips.
    testlib::Process agent, bare;
    Target targets[2];
    if (!agent.start(testlib::Program::Built, AGENT_BIN, {"agent", "--", passkey}, bus.env(),
                     o.pipe ? testlib::Streams::Pipes : testlib::Streams::Null) ||
        !serve_start_up(conn, agent, &targets[0]))
        return 1;
    if (!bare.start(testlib::Program::Built, BARE_BIN, {"agent_bare_responder", passkey},
                    bus.env()))
        return fail("cannot start the bare responder"), 1;
    int64_t deadline = testlib::monotonic_us() + 10 * 1000000;
    while (bare.out().find('\n') == std::string::npos && testlib::monotonic_us() < deadline &&
           !bare.ended()) {
        usleep(2000);
        bare.drain();
    }
    char name[256], path[256];
    if (sscanf(bare.out().c_str(), "ready %255s %255s", name, path) != 2)
        return fail("the bare responder did not get ready"), 1;
    targets[1] = {name, path};

    const char* measures[] = {"RequestPinCode", "RequestConfirmation"};
    for (int pin = 1; pin >= 0; pin--) {
        std::vector<double> ours, base, ratios, ours_p90, base_p90;
        for (int r = 0; r < o.runs; r++) {
            std::vector<double> samples[2];
            for (int i = 0; i < o.warmup + o.iterations; i++) {
                for (int k = 0; k < 2; k++) {
                    double us = round_trip(conn, targets[k], pin);
                    if (us < 0)
                        return fail("wrong answer"), 1;
                    if (i >= o.warmup)
                        samples[k].push_back(us);
                }
                if (o.pipe) {
                    agent.drain();
                    agent.clear_output();
                }
            }
            Figures a = figures(samples[0]), b = figures(samples[1]);
            ours.push_back(a.median);
            base.push_back(b.median);
            ours_p90.push_back(a.p90);
            base_p90.push_back(b.p90);
            ratios.push_back(a.median / b.median);
        }
        double lo = *std::min_element(ratios.begin(), ratios.end());
        double hi = *std::max_element(ratios.begin(), ratios.end());
        printf(
            "agent|%s reply latency (median us)|%.1f|%.1f|%.3f|<= 1.1x|p90 %.1f vs %.1f us; ratio "
            "%.3f-%.3f over %d runs of %d interleaved round trips each; agent output to %s\n",
            measures[1 - pin], median_of(ours), median_of(base), median_of(ratios),
            median_of(ours_p90), median_of(base_p90), lo, hi, o.runs, o.iterations,
            o.pipe ? "a drained pipe" : "/dev/null");
        fflush(stdout);
    }
    stop(agent, conn);
    stop(bare, conn);
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
        printf("Usage: agent_bench [--iterations N] [--warmup N] [--runs N] [--pipe]\n"
               "Prints agent|measure|ours|baseline|ratio|goal|note rows: the agent's reply\n"
               "latency against a bare libdbus responder (defaults 20000, 2000, 5). The agent's\n"
               "output goes to /dev/null, or with --pipe to a pipe drained between calls.\n");
        return 0;
    }
    if (!parse(argc, argv, &o)) {
        fprintf(stderr, "Usage: agent_bench [--iterations N] [--warmup N] [--runs N] [--pipe]\n");
        return 2;
    }
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) {
        printf("agent|reply latency|-|-|-|<= 1.1x|skipped: /usr/bin/dbus-daemon is missing\n");
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    return run(o);
}
