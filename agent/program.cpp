#include "program.h"

#include "agent_object.h"
#include "daemon_requests.h"

#include <dbus/dbus.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

volatile sig_atomic_t terminate_requested = 0;
char* agent_passkey = nullptr;
int reject_requests = 0;
int reply_delay = 0;
int registration_gone = 0;
char daemon_owner[DBUS_MAXIMUM_NAME_LENGTH + 1] = "";

static const char agent_version[] = "4.69";

// The pairing request, as the dispatch loop watches for its answer: the call's serial, the
// connection that it went to, and whether that connection refused it. The bus may have routed it
// to the owner before the name changed hands, so the owner of the lookup counts as well.
static dbus_uint32_t pairing_serial = 0;
static char pairing_peer[DBUS_MAXIMUM_NAME_LENGTH + 1] = "";
static char pairing_peer_before[DBUS_MAXIMUM_NAME_LENGTH + 1] = "";
static int pairing_refused = 0;

static const DBusObjectPathVTable agent_object_vtable = {
    nullptr, agent_object_handler, nullptr, nullptr, nullptr, nullptr,
};

struct start_options {
    const char* adapter = nullptr;
    const char* capability = "DisplayYesNo";
    char* agent_path = nullptr;
    char* device = nullptr;
};

void print_usage() {
    printf("Bluetooth agent ver %s\n\n", agent_version);
    puts("Usage:\n"
         "\tagent [--adapter adapter-path] [--path agent-path] <passkey> [<device>]\n");
}

static void on_stop_signal(int) {
    terminate_requested = 1;
}

// An error answer to the pairing request from the daemon's connection ends the agent: nothing
// more will come for it. A method return changes nothing; an answer from anyone else (the bus
// daemon's own "no reply" when the daemon has left, a stranger's forgery) is not the daemon's.
static void watch_pairing_answer(DBusMessage* msg) {
    if (pairing_serial == 0 || dbus_message_get_type(msg) != DBUS_MESSAGE_TYPE_ERROR ||
        dbus_message_get_reply_serial(msg) != pairing_serial ||
        (!dbus_message_has_sender(msg, pairing_peer) &&
         !dbus_message_has_sender(msg, pairing_peer_before)))
        return;
    const char* text = "";
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
        text = "";
    fprintf(stderr, "Pairing refused: %s: %s\n", dbus_message_get_error_name(msg), text);
    pairing_refused = 1;
}

static DBusHandlerResult bus_name_filter(DBusConnection*, DBusMessage* msg, void*) {
    watch_pairing_answer(msg);
    // Any client may send a signal with this name; only the bus daemon's own says who left.
    if (!dbus_message_is_signal(msg, DBUS_INTERFACE_DBUS, "NameOwnerChanged") ||
        !dbus_message_has_sender(msg, DBUS_SERVICE_DBUS))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;

    const char* name;
    const char* old_owner;
    const char* new_owner;
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                               DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID)) {
        fprintf(stderr, "Invalid arguments for NameOwnerChanged signal");
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    // Older notices still queued from start-up may name a connection that held the name before
    // the daemon did: only the daemon's own departure or handover counts.
    if (strcmp(name, "org.velto") != 0 || strcmp(old_owner, daemon_owner) != 0)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    if (*new_owner == '\0') {
        fprintf(stderr, "Agent has been terminated\n");
        registration_gone = 1;
    } else {
        // The name has passed on: its new owner is the daemon from now on.
        snprintf(daemon_owner, sizeof daemon_owner, "%s", new_owner);
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

static char* copy_or_die(const char* text) {
    char* copy = strdup(text);
    if (!copy) {
        fprintf(stderr, "Not enough memory\n");
        exit(1);
    }
    return copy;
}

// atoi, without its undefined result for numbers that do not fit an int.
static int delay_seconds(const char* text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// libdbus aborts the process on a malformed path, so the whole path is checked up front.
static bool valid_object_path(const char* path) {
    return path[0] == '/' && dbus_validate_path(path, nullptr);
}

// Strings that go onto the bus must be UTF-8, or appending them aborts the process.
static void require_utf8(const char* text, const char* what) {
    if (text && !dbus_validate_utf8(text, nullptr)) {
        fprintf(stderr, "Invalid %s: not UTF-8 text\n", what);
        exit(1);
    }
}

// Ends the process for -h, a bad option or a bad path, as getopt_long meets them.
static start_options parse_command_line(int argc, char* argv[], const char* default_path) {
    static const struct option long_options[] = {
        {"adapter", required_argument, nullptr, 'a'},
        {"path", required_argument, nullptr, 'p'},
        {"capabilites", required_argument, nullptr, 'c'},
        {"delay", required_argument, nullptr, 'd'},
        {"reject", no_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    start_options opts;
    int opt;
    while ((opt = getopt_long(argc, argv, "+a:p:c:d:rh", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'a':
            opts.adapter = optarg;
            break;
        case 'p':
            if (!valid_object_path(optarg)) {
                fprintf(stderr, "Invalid path\n");
                exit(1);
            }
            free(opts.agent_path);
            opts.agent_path = copy_or_die(optarg);
            break;
        case 'c':
            opts.capability = optarg;
            break;
        case 'd':
            reply_delay = delay_seconds(optarg);
            break;
        case 'r':
            reject_requests = 1;
            break;
        case 'h':
            print_usage();
            exit(0);
        default:
            exit(1);
        }
    }

    if (optind >= argc) {
        print_usage();
        exit(1);
    }
    agent_passkey = copy_or_die(argv[optind]);
    if (optind + 1 < argc)
        opts.device = copy_or_die(argv[optind + 1]);
    if (!opts.agent_path)
        opts.agent_path = copy_or_die(default_path);

    require_utf8(agent_passkey, "passkey");
    require_utf8(opts.device, "device");
    require_utf8(opts.capability, "capability");
    require_utf8(opts.adapter, "adapter");
    return opts;
}

// Whoever started the agent may have closed a standard descriptor: the bus socket would then
// take its number, and a status line would go into the bus stream. Each closed one is held on
// /dev/null before anything else is opened.
static void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) != fd) {
            fprintf(stderr, "Can't open /dev/null\n");
            exit(1);
        }
    }
}

static void install_stop_handler() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a signal must cut a reply delay short.
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // A closed terminal: the registration is undone as for the other two. Unless whoever
    // started the agent ignored it (nohup): then the agent is meant to outlive its terminal.
    struct sigaction hup;
    if (sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &sa, nullptr);
    // The signal mask survives exec: blocked by whoever started the agent, these would never
    // stop it. One that is already pending arrives here, at the handler.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
}

static void run_dispatch_loop(DBusConnection* conn) {
    while (!terminate_requested && !registration_gone && !pairing_refused) {
        if (!dbus_connection_read_write_dispatch(conn, 500))
            break;
    }
}

int main(int argc, char* argv[]) {
    hold_standard_descriptors();
    // Lines show as they happen, also when the output is a pipe. A reader that has gone away
    // costs the lines, not the replies and UnregisterAgent: the write just fails.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);

    char default_path[128];
    snprintf(default_path, sizeof default_path, "/org/velto/agent_%d", static_cast<int>(getpid()));
    start_options opts = parse_command_line(argc, argv, default_path);

    DBusConnection* conn = dbus_bus_get(DBUS_BUS_SYSTEM, nullptr);
    if (!conn) {
        fprintf(stderr, "Can't get on system bus");
        exit(1);
    }

    // The watch goes up before the first request: the bus daemon takes a connection's messages
    // in order, so the match rule is in place before the daemon sees the lookup, and a daemon
    // that leaves at any point after that is seen leaving, even one that is gone before its
    // answer arrives. The notices wait in the queue until the loop dispatches them.
    if (!dbus_connection_add_filter(conn, bus_name_filter, nullptr, nullptr))
        fprintf(stderr, "Can't add signal filter");

    // Waited for: a rule that the bus refuses (a limit on rules per connection) would leave the
    // agent serving a daemon that is long gone.
    char match[128];
    snprintf(match, sizeof match, "interface=%s,member=NameOwnerChanged,arg0=%s",
             DBUS_INTERFACE_DBUS, "org.velto");
    DBusError err;
    dbus_error_init(&err);
    dbus_bus_add_match(conn, match, &err);
    if (dbus_error_is_set(&err)) {
        fprintf(stderr, "Can't watch the daemon: %s\n", err.message);
        dbus_error_free(&err);
        exit(1);
    }

    char* adapter_path = query_adapter(conn, opts.adapter, daemon_owner, sizeof daemon_owner);
    if (!adapter_path)
        exit(1);

    if (!dbus_connection_register_object_path(conn, opts.agent_path, &agent_object_vtable,
                                              nullptr)) {
        fprintf(stderr, "Can't register object path for agent\n");
        exit(1);
    }

    // The daemon may have restarted since the lookup: from here on it is the connection that
    // takes the registration or the pairing request.
    snprintf(pairing_peer_before, sizeof pairing_peer_before, "%s", daemon_owner);
    int sent = opts.device
                   ? send_create_paired_device(conn, adapter_path, opts.agent_path, opts.capability,
                                               opts.device, daemon_owner, sizeof daemon_owner,
                                               &pairing_serial)
                   : send_register_agent(conn, adapter_path, opts.agent_path, opts.capability,
                                         daemon_owner, sizeof daemon_owner);
    if (sent < 0) {
        dbus_connection_unref(conn);
        exit(1);
    }
    snprintf(pairing_peer, sizeof pairing_peer, "%s", daemon_owner);

    install_stop_handler();
    run_dispatch_loop(conn);

    if (!registration_gone && !opts.device)
        send_unregister_agent(conn, adapter_path, opts.agent_path);

    free(adapter_path);
    free(opts.agent_path);
    free(opts.device);
    free(agent_passkey);
    agent_passkey = nullptr;
    dbus_connection_unref(conn);
    return pairing_refused ? 1 : 0;
}
