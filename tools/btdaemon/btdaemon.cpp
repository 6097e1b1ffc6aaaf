// A stand-in for the Bluetooth daemon on the system bus, written on sd-bus so that the agent meets
// a peer that does not share its bus library. It owns "org.velto", answers the manager and adapter
// calls, and prints one line per call received and per answer. By default it plays a pairing
// conversation with each agent that registers or asks for pairing; with --script it makes the
// calls that standard input asks for instead (see usage()).
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <map>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct failure {
    std::string name;
    std::string message;
};

struct daemon_state {
    sd_bus* bus = nullptr;
    std::string name = "org.velto";
    std::string adapter_path = "/org/velto/hci0";
    std::map<std::string, failure> failures; // member -> error reply
    bool string_reply = false;               // lookups answer "s" instead of "o"
    bool reply_args = false;                 // RegisterAgent/UnregisterAgent return an argument
    bool script = false;
    bool owner = false;
    std::string agent_name; // unique name and object path of the last agent
    std::string agent_path;
    std::string device_path;
    bool conversation_due = false;
    std::string leave_on;    // member whose call makes the daemon leave without answering
    std::string leave_after; // member whose call makes the daemon leave as it answers
    bool leaving = false;
    std::string hold;               // member whose call waits for the script's "answer"
    sd_bus_message* held = nullptr; // that call, while it waits
    std::string answer_others;      // member answered also when meant for another connection
};

const uint64_t call_timeout_us = 60ull * 1000 * 1000;

void usage(FILE* out) {
    fputs("Usage: btdaemon [options]\n"
          "Simulated Bluetooth daemon: owns org.velto on the system bus and pairs with agents.\n"
          "  -a, --adapter PATH       adapter object path (default /org/velto/hci0)\n"
          "  -n, --name NAME          bus name to own (default org.velto)\n"
          "  -f, --fail MEMBER[=ERROR[:MESSAGE]]\n"
          "                           answer MEMBER with an error reply (repeatable)\n"
          "  -s, --string-reply       DefaultAdapter/FindAdapter answer a string, not a path\n"
          "  -x, --reply-args         RegisterAgent/UnregisterAgent replies carry an argument\n"
          "  -l, --leave-on MEMBER    leave the bus when MEMBER is called, without answering\n"
          "  -L, --leave-after MEMBER give the name up when MEMBER is called, answer, leave\n"
          "  -H, --hold-lookup        the adapter lookup waits for the script's 'answer'\n"
          "      --hold MEMBER        MEMBER (a lookup or RegisterAgent) waits for 'answer'\n"
          "      --answer-others MEMBER\n"
          "                           eavesdrop MEMBER's calls to any connection and answer them\n"
          "                           first, as a stranger on a permissive bus can (a pairing\n"
          "                           request with an error)\n"
          "  -S, --script             take commands from standard input instead of pairing:\n"
          "        call MEMBER [SIG ARG...]   call org.velto.Agent.MEMBER on the agent, wait\n"
          "        send MEMBER [SIG ARG...]   the same without waiting (reply printed later)\n"
          "        signal SIG ARG...          send NameOwnerChanged to the agent\n"
          "        ping                       org.freedesktop.DBus.Peer.Ping the agent\n"
          "        agent NAME PATH            call that agent from now on\n"
          "        answer                     answer the held call\n"
          "        release | quit             drop the bus name | leave the bus\n"
          "      SIG uses the letters s, o, u; '' stands for an empty string\n"
          "  -h, --help               this text\n"
          "Lines printed: one per call received, 'agent NAME PATH' for a new agent,\n"
          "'call'/'reply'/'error' for calls made.\n",
          out);
}

void print_error(const char* what, int r) {
    fprintf(stderr, "btdaemon: %s: %s\n", what, strerror(-r));
}

// "name value value ..." of a reply, in its basic arguments.
std::string describe_args(sd_bus_message* m) {
    std::string text;
    for (;;) {
        char type;
        const char* contents;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r <= 0)
            break;
        text += ' ';
        text += type;
        if (type == 's' || type == 'o') {
            const char* s;
            if (sd_bus_message_read_basic(m, type, &s) < 0)
                break;
            text += ' ';
            text += s;
        } else if (type == 'u') {
            uint32_t u;
            if (sd_bus_message_read_basic(m, type, &u) < 0)
                break;
            text += ' ' + std::to_string(u);
        } else {
            if (sd_bus_message_skip(m, nullptr) < 0)
                break;
        }
    }
    return text;
}

void print_reply(const char* member, sd_bus_message* reply, const sd_bus_error* error) {
    if (error && sd_bus_error_is_set(error)) {
        printf("error %s %s \"%s\"\n", member, error->name, error->message ? error->message : "");
        return;
    }
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    if (e) {
        printf("error %s %s \"%s\"\n", member, e->name, e->message ? e->message : "");
        return;
    }
    printf("reply %s%s\n", member, describe_args(reply).c_str());
}

// Appends ARGS typed by SIG; "" is written ''.
int append_args(sd_bus_message* m, const std::string& sig, const std::vector<std::string>& args) {
    if (sig.size() != args.size())
        return -EINVAL;
    for (size_t i = 0; i < sig.size(); i++) {
        std::string value = args[i] == "''" ? "" : args[i];
        int r;
        if (sig[i] == 's' || sig[i] == 'o') {
            r = sd_bus_message_append_basic(m, sig[i], value.c_str());
        } else if (sig[i] == 'u') {
            uint32_t u = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
            r = sd_bus_message_append_basic(m, 'u', &u);
        } else {
            r = -EINVAL;
        }
        if (r < 0)
            return r;
    }
    return 0;
}

int on_async_reply(sd_bus_message* reply, void* userdata, sd_bus_error* error) {
    std::string* member = static_cast<std::string*>(userdata);
    print_reply(member->c_str(), reply, error);
    return 0;
}

// Also for a call still unanswered when the daemon leaves.
void free_member(void* userdata) {
    delete static_cast<std::string*>(userdata);
}

// Calls org.velto.Agent.MEMBER on the last agent; prints the call and, if waited for, its reply.
int call_agent(daemon_state& st, const std::string& member, const std::string& sig,
               const std::vector<std::string>& args, bool wait,
               const char* interface = "org.velto.Agent") {
    if (st.agent_name.empty()) {
        fprintf(stderr, "btdaemon: no agent yet\n");
        return -ENOENT;
    }
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(st.bus, &m, st.agent_name.c_str(), st.agent_path.c_str(),
                                           interface, member.c_str());
    if (r >= 0)
        r = append_args(m, sig, args);
    if (r < 0) {
        sd_bus_message_unref(m);
        print_error("building the call", r);
        return r;
    }
    std::string shown;
    for (const auto& a : args)
        shown += ' ' + a;
    printf("call %s%s\n", member.c_str(), shown.c_str());
    if (!wait) {
        sd_bus_slot* slot = nullptr;
        std::string* name = new std::string(member);
        r = sd_bus_call_async(st.bus, &slot, m, on_async_reply, name, call_timeout_us);
        sd_bus_message_unref(m);
        if (r < 0) {
            delete name;
            return r;
        }
        sd_bus_slot_set_destroy_callback(slot, free_member);
        sd_bus_slot_set_floating(slot, 1);
        sd_bus_slot_unref(slot);
        return r;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(st.bus, m, call_timeout_us, &error, &reply);
    print_reply(member.c_str(), reply, &error);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(m);
    return 0;
}

int send_owner_signal(daemon_state& st, const std::string& sig,
                      const std::vector<std::string>& args) {
    if (st.agent_name.empty())
        return -ENOENT;
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(st.bus, &m, "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "NameOwnerChanged");
    if (r >= 0)
        r = sd_bus_message_set_destination(m, st.agent_name.c_str());
    if (r >= 0)
        r = append_args(m, sig, args);
    if (r >= 0)
        r = sd_bus_send(st.bus, m, nullptr);
    sd_bus_message_unref(m);
    if (r >= 0)
        printf("signal NameOwnerChanged\n");
    return r;
}

// The error reply asked for on the command line, if any; returns 1 when it was sent.
int maybe_fail(daemon_state& st, sd_bus_message* m, const char* member) {
    auto it = st.failures.find(member);
    if (it == st.failures.end())
        return 0;
    sd_bus_reply_method_errorf(m, it->second.name.c_str(), "%s", it->second.message.c_str());
    printf("failed %s\n", member);
    return 1;
}

int reply_adapter(daemon_state& st, sd_bus_message* m) {
    return sd_bus_reply_method_return(m, st.string_reply ? "s" : "o", st.adapter_path.c_str());
}

// Answers the adapter lookup, or keeps it for the script's "answer".
int answer_lookup(daemon_state& st, sd_bus_message* m, const char* member) {
    if (maybe_fail(st, m, member))
        return 1;
    if ((st.hold == "lookup" || st.hold == member) && !st.held) {
        st.held = sd_bus_message_ref(m);
        printf("holding %s\n", member);
        return 1;
    }
    reply_adapter(st, m);
    return 1;
}

int reply_done(daemon_state& st, sd_bus_message* m) {
    if (st.reply_args)
        return sd_bus_reply_method_return(m, "s", "ok");
    return sd_bus_reply_method_return(m, "");
}

void note_agent(daemon_state& st, sd_bus_message* m, const char* path) {
    st.agent_name = sd_bus_message_get_sender(m);
    st.agent_path = path;
    printf("agent %s %s\n", st.agent_name.c_str(), path);
    st.conversation_due = !st.script;
}

int on_message(sd_bus_message* m, void* userdata, sd_bus_error*) {
    daemon_state& st = *static_cast<daemon_state*>(userdata);
    uint8_t type;
    if (sd_bus_message_get_type(m, &type) < 0)
        return 0;

    if (type == SD_BUS_MESSAGE_SIGNAL) {
        const char* name;
        if (sd_bus_message_is_signal(m, "org.freedesktop.DBus", "NameAcquired") &&
            sd_bus_message_read(m, "s", &name) >= 0 && st.name == name && !st.owner) {
            st.owner = true;
            printf("owner %s\n", name);
        }
        return 0;
    }
    if (type != SD_BUS_MESSAGE_METHOD_CALL)
        return 0;

    const char* path = sd_bus_message_get_path(m);
    const char* member = sd_bus_message_get_member(m);
    if (!path || !member)
        return 0;
    bool manager =
        strcmp(path, "/") == 0 && sd_bus_message_is_method_call(m, "org.velto.Manager", nullptr);
    bool adapter =
        st.adapter_path == path && sd_bus_message_is_method_call(m, "org.velto.Adapter", nullptr);
    const char *s1 = nullptr, *s2 = nullptr, *s3 = nullptr;

    // A call meant for another connection, seen by eavesdropping: answered before its owner does.
    const char* destination = sd_bus_message_get_destination(m);
    const char* unique = nullptr;
    sd_bus_get_unique_name(st.bus, &unique);
    if (destination && unique && st.name != destination && strcmp(unique, destination) != 0) {
        if (st.answer_others != member)
            return 0;
        if (adapter && strcmp(member, "RegisterAgent") == 0 &&
            sd_bus_message_read(m, "os", &s1, &s2) >= 0) {
            reply_done(st, m);
            note_agent(st, m, s1);
        } else if (manager) {
            reply_adapter(st, m);
        } else if (adapter && strcmp(member, "CreatePairedDevice") == 0) {
            // A forged refusal: only the daemon's own may end a pairing.
            sd_bus_reply_method_errorf(m, "org.velto.Error.Failed", "Refused by a stranger");
        }
        printf("answered for %s %s\n", destination, member);
        return 1;
    }
    if ((manager || adapter) && st.leave_on == member) {
        printf("leaving on %s\n", member);
        fflush(stdout);
        // No answer: the caller learns from the bus that the daemon has gone.
        sd_bus_close(st.bus);
        exit(0);
    }
    if ((manager || adapter) && st.leave_after == member && !st.leaving) {
        // The name goes before the answer does: the departure is on the bus ahead of it.
        int r = sd_bus_release_name(st.bus, st.name.c_str());
        if (r < 0)
            print_error("releasing the name", r);
        printf("leaving after %s\n", member);
        st.leaving = true;
    }
    if (manager && strcmp(member, "DefaultAdapter") == 0) {
        printf("DefaultAdapter\n");
        return answer_lookup(st, m, member);
    }
    if (manager && strcmp(member, "FindAdapter") == 0 && sd_bus_message_read(m, "s", &s1) >= 0) {
        printf("FindAdapter %s\n", s1);
        return answer_lookup(st, m, member);
    }
    if (adapter && strcmp(member, "RegisterAgent") == 0 &&
        sd_bus_message_read(m, "os", &s1, &s2) >= 0) {
        printf("RegisterAgent %s %s\n", s1, s2);
        if (maybe_fail(st, m, member))
            return 1;
        st.device_path = st.adapter_path + "/dev_00_11_22_33_44_55";
        if (st.hold == member && !st.held) {
            st.held = sd_bus_message_ref(m);
            printf("holding %s\n", member);
            note_agent(st, m, s1);
            return 1;
        }
        reply_done(st, m);
        note_agent(st, m, s1);
        return 1;
    }
    if (adapter && strcmp(member, "UnregisterAgent") == 0 &&
        sd_bus_message_read(m, "o", &s1) >= 0) {
        printf("UnregisterAgent %s\n", s1);
        if (maybe_fail(st, m, member))
            return 1;
        reply_done(st, m);
        return 1;
    }
    if (adapter && strcmp(member, "CreatePairedDevice") == 0 &&
        sd_bus_message_read(m, "sos", &s1, &s2, &s3) >= 0) {
        printf("CreatePairedDevice %s %s %s\n", s1, s2, s3);
        std::string device = s1;
        for (char& c : device)
            if (c == ':')
                c = '_';
        st.device_path = st.adapter_path + "/dev_" + device;
        note_agent(st, m, s2);
        if (maybe_fail(st, m, member))
            return 1;
        sd_bus_reply_method_return(m, "o", st.device_path.c_str());
        return 1;
    }
    return 0;
}

// The conversation that a pairing goes through, one call after the other.
void play_conversation(daemon_state& st) {
    const std::string& dev = st.device_path;
    call_agent(st, "RequestPinCode", "o", {dev}, true);
    call_agent(st, "RequestPasskey", "o", {dev}, true);
    call_agent(st, "RequestConfirmation", "ou", {dev, "123456"}, true);
    call_agent(st, "Authorize", "os", {dev, "00001101-0000-1000-8000-00805f9b34fb"}, true);
    call_agent(st, "Cancel", "", {}, true);
    call_agent(st, "Release", "", {}, true);
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            i++;
        size_t j = line.find(' ', i);
        if (j == std::string::npos)
            j = line.size();
        if (j > i)
            words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

// Returns false when the script asks to leave.
bool run_command(daemon_state& st, const std::string& line) {
    std::vector<std::string> w = split(line);
    if (w.empty())
        return true;
    int r = 0;
    if ((w[0] == "call" || w[0] == "send") && w.size() >= 2) {
        std::string sig = w.size() >= 3 ? w[2] : "";
        std::vector<std::string> args(w.begin() + std::min<size_t>(w.size(), 3), w.end());
        r = call_agent(st, w[1], sig, args, w[0] == "call");
    } else if (w[0] == "agent" && w.size() == 3) {
        st.agent_name = w[1];
        st.agent_path = w[2];
    } else if (w[0] == "ping") {
        r = call_agent(st, "Ping", "", {}, true, "org.freedesktop.DBus.Peer");
    } else if (w[0] == "signal" && w.size() >= 2) {
        r = send_owner_signal(st, w[1], std::vector<std::string>(w.begin() + 2, w.end()));
    } else if (w[0] == "answer" && st.held) {
        const char* member = sd_bus_message_get_member(st.held);
        r = member && strcmp(member, "RegisterAgent") == 0 ? reply_done(st, st.held)
                                                           : reply_adapter(st, st.held);
        st.held = sd_bus_message_unref(st.held);
        if (r >= 0)
            printf("answered\n");
    } else if (w[0] == "release") {
        r = sd_bus_release_name(st.bus, st.name.c_str());
        if (r >= 0)
            printf("released %s\n", st.name.c_str());
    } else if (w[0] == "quit") {
        return false;
    } else {
        fprintf(stderr, "btdaemon: unknown command: %s\n", line.c_str());
    }
    if (r < 0)
        print_error(line.c_str(), r);
    return true;
}

bool parse_failure(daemon_state& st, const char* arg) {
    std::string text = arg;
    size_t eq = text.find('=');
    failure f{"org.velto.Error.Failed", "Refused by the simulated daemon"};
    std::string member = text.substr(0, eq);
    if (eq != std::string::npos) {
        std::string rest = text.substr(eq + 1);
        size_t colon = rest.find(':');
        f.name = rest.substr(0, colon);
        if (colon != std::string::npos)
            f.message = rest.substr(colon + 1);
    }
    if (member.empty() || f.name.empty())
        return false;
    st.failures[member] = f;
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    daemon_state st;
    static const struct option options[] = {
        {"adapter", required_argument, nullptr, 'a'},
        {"name", required_argument, nullptr, 'n'},
        {"fail", required_argument, nullptr, 'f'},
        {"string-reply", no_argument, nullptr, 's'},
        {"reply-args", no_argument, nullptr, 'x'},
        {"script", no_argument, nullptr, 'S'},
        {"leave-on", required_argument, nullptr, 'l'},
        {"leave-after", required_argument, nullptr, 'L'},
        {"hold-lookup", no_argument, nullptr, 'H'},
        {"hold", required_argument, nullptr, 'O'},
        {"answer-others", required_argument, nullptr, 'E'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "a:n:f:l:L:HsxSh", options, nullptr)) != -1) {
        switch (opt) {
        case 'a':
            st.adapter_path = optarg;
            break;
        case 'n':
            st.name = optarg;
            break;
        case 'f':
            if (!parse_failure(st, optarg)) {
                fprintf(stderr, "btdaemon: bad --fail %s\n", optarg);
                return 2;
            }
            break;
        case 's':
            st.string_reply = true;
            break;
        case 'x':
            st.reply_args = true;
            break;
        case 'S':
            st.script = true;
            break;
        case 'l':
            st.leave_on = optarg;
            break;
        case 'L':
            st.leave_after = optarg;
            break;
        case 'H':
            st.hold = "lookup";
            break;
        case 'O':
            st.hold = optarg;
            break;
        case 'E':
            st.answer_others = optarg;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }

    int r = sd_bus_open_system(&st.bus);
    if (r < 0) {
        print_error("cannot connect to the system bus", r);
        return 1;
    }
    r = sd_bus_add_filter(st.bus, nullptr, on_message, &st);
    if (r >= 0 && !st.answer_others.empty()) {
        // sd-bus's own match parser does not take eavesdrop: the rule goes to the bus as it is.
        std::string rule = "eavesdrop='true',type='method_call',member='" + st.answer_others + "'";
        r = sd_bus_call_method(st.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "AddMatch", nullptr, nullptr, "s",
                               rule.c_str());
    }
    if (r >= 0)
        r = sd_bus_request_name(st.bus, st.name.c_str(),
                                SD_BUS_NAME_ALLOW_REPLACEMENT | SD_BUS_NAME_QUEUE);
    if (r < 0) {
        print_error("cannot take the bus name", r);
        return 1;
    }
    if (r > 0) {
        st.owner = true;
        printf("owner %s\n", st.name.c_str());
    } else {
        printf("queued %s\n", st.name.c_str());
    }

    std::string input;
    bool input_open = st.script;
    for (;;) {
        do {
            r = sd_bus_process(st.bus, nullptr);
        } while (r > 0);
        if (r < 0) {
            print_error("bus", r);
            return 1;
        }
        if (st.leaving) {
            sd_bus_flush_close_unref(st.bus);
            return 0;
        }
        if (st.conversation_due) {
            st.conversation_due = false;
            play_conversation(st);
            continue;
        }

        struct pollfd fds[2] = {
            {sd_bus_get_fd(st.bus), static_cast<short>(sd_bus_get_events(st.bus)), 0},
            {input_open ? 0 : -1, POLLIN, 0}};
        uint64_t until;
        int timeout = -1;
        if (sd_bus_get_timeout(st.bus, &until) > 0 && until != UINT64_MAX) {
            struct timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            uint64_t now = ts.tv_sec * 1000000ull + ts.tv_nsec / 1000;
            timeout = until > now ? static_cast<int>((until - now + 999) / 1000) : 0;
        }
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
            perror("btdaemon: poll");
            return 1;
        }
        if (fds[1].revents) {
            char buf[4096];
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0)
                break;
            input.append(buf, n);
            size_t nl;
            while ((nl = input.find('\n')) != std::string::npos) {
                std::string line = input.substr(0, nl);
                input.erase(0, nl + 1);
                if (!run_command(st, line)) {
                    sd_bus_flush_close_unref(st.bus);
                    return 0;
                }
            }
        }
    }
    sd_bus_flush_close_unref(st.bus);
    return 0;
}
