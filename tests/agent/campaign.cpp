// Randomised campaign against the real agent on a private bus. From a seed it sends method calls,
// signals, replies and errors with random paths, interfaces, members, flags and bodies (valid
// marshalled values of random types, nested containers included) to the agent, from the daemon's
// connection and from a stranger's (whose calls of the agent's methods must be refused), and
// checks every answer and every byte that the agent writes against a model of what it must do.
// After every K random messages it makes one well-formed call whose reply must be exactly right.
// Release ends the agent as it should; the campaign checks that end and starts a new agent. Forged
// departure notices of the daemon must not end it.
#include "clock.h"
#include "private_bus.h"
#include "process.h"
#include "protocol.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char daemon_name[] = "org.velto";
const char adapter_path[] = "/org/velto/hci0";
const char unknown_method[] = "org.freedesktop.DBus.Error.UnknownMethod";
const char access_denied[] = "org.freedesktop.DBus.Error.AccessDenied";
const int call_timeout_ms = 20000; // a sanitized agent under load is slow, never this slow
const int exit_timeout_ms = 20000;

// splitmix64: fully specified, so a seed gives the same run on every architecture.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
    bool percent(uint32_t p) { return below(100) < p; }
    template <typename T> const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }
};

// A D-Bus type: basic codes, 'a' (kids[0]), '{' dict entry (key, value), '(' struct, 'v'
// (kids[0], if given, is what the variant holds).
struct Type {
    char code;
    std::vector<Type> kids;
};

std::string signature_of(const Type& t) {
    switch (t.code) {
    case 'a':
        return "a" + signature_of(t.kids[0]);
    case '{':
        return "{" + signature_of(t.kids[0]) + signature_of(t.kids[1]) + "}";
    case '(': {
        std::string s = "(";
        for (const auto& k : t.kids)
            s += signature_of(k);
        return s + ")";
    }
    default:
        return std::string(1, t.code);
    }
}

std::string signature_of(const std::vector<Type>& ts) {
    std::string s;
    for (const auto& t : ts)
        s += signature_of(t);
    return s;
}

const char basic_codes[] = "ybnqiuxtdsogh";

Type random_basic(Rng& rng, bool fds) {
    char c = basic_codes[rng.below(fds ? 13 : 12)];
    return {c, {}};
}

Type random_type(Rng& rng, int depth, bool fds) {
    uint32_t r = rng.below(100);
    if (depth <= 0 || r < 55)
        return random_basic(rng, fds);
    if (r < 70)
        return {'a', {random_type(rng, depth - 1, fds)}};
    if (r < 80) {
        Type key = random_basic(rng, false);
        return {'a', {{'{', {key, random_type(rng, depth - 1, fds)}}}};
    }
    if (r < 92) {
        Type s{'(', {}};
        uint32_t n = 1 + rng.below(4);
        for (uint32_t i = 0; i < n; i++)
            s.kids.push_back(random_type(rng, depth - 1, fds));
        return s;
    }
    return {'v', {}};
}

// Nesting at the protocol's limits: 32 arrays, 32 structs, or variants in variants.
Type deep_type(Rng& rng) {
    uint32_t n = 1 + rng.below(32);
    Type t{rng.percent(50) ? 'y' : 's', {}};
    uint32_t kind = rng.below(3);
    if (kind == 2)
        n = 1 + rng.below(20);
    for (uint32_t i = 0; i < n; i++) {
        if (kind == 0)
            t = {'a', {t}};
        else if (kind == 1)
            t = {'(', {t}};
        else
            t = {'v', {t}};
    }
    return t;
}

std::string random_name_part(Rng& rng, size_t max_len, bool digits_first) {
    static const char first[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
    static const char rest[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_0123456789";
    size_t len = 1 + rng.below(static_cast<uint32_t>(max_len));
    std::string s;
    s += digits_first ? rest[rng.below(63)] : first[rng.below(53)];
    for (size_t i = 1; i < len; i++)
        s += rest[rng.below(63)];
    return s;
}

std::string random_path(Rng& rng) {
    uint32_t n = rng.below(5);
    if (n == 0)
        return "/";
    std::string p;
    for (uint32_t i = 0; i < n; i++)
        p += "/" + random_name_part(rng, 12, true);
    return p;
}

std::string random_dotted(Rng& rng, uint32_t max_parts) {
    uint32_t n = 2 + rng.below(max_parts - 1);
    std::string s = random_name_part(rng, 10, false);
    for (uint32_t i = 1; i < n; i++)
        s += "." + random_name_part(rng, 10, false);
    return s;
}

// Valid UTF-8 without NUL: ASCII, two-, three- and four-byte sequences, no surrogates.
std::string random_text(Rng& rng, size_t max_len) {
    size_t len = rng.below(static_cast<uint32_t>(max_len) + 1);
    std::string s;
    while (s.size() < len) {
        uint32_t cp;
        switch (rng.below(6)) {
        case 0:
            cp = 0x80 + rng.below(0x800 - 0x80);
            break;
        case 1:
            cp = 0x800 + rng.below(0xd800 - 0x800);
            break;
        case 2:
            cp = 0x10000 + rng.below(0x110000 - 0x10000);
            break;
        default:
            cp = 1 + rng.below(0x7f);
        }
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xc0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xe0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            s += static_cast<char>(0xf0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return s;
}

// A top-level argument as the model needs it.
struct Arg {
    char code;
    std::string text; // s, o
    uint32_t u = 0;
};

// One agent's configuration, drawn from the seed at each start.
struct AgentConfig {
    std::string passkey;
    uint32_t passkey_number; // what RequestPasskey must answer
    bool reject = false;
    std::string capability = "DisplayYesNo";
    std::string adapter; // -a, or empty for the default adapter
    std::string path;    // -p, or empty for the default path
};

struct Passkey {
    const char* text;
    uint32_t number;
};

const std::vector<Passkey> passkeys = {
    {"1234", 1234},
    {"0123", 123},
    {"000000", 0},
    {"4294967295", 4294967295u},
    {"99999999999", 4294967295u},
    {" +42", 42},
    {"12ab34", 12},
    {"abc", 0},
    {"-5", 4294967291u},
    {"\xc3\xa9t\xc3\xa9", 0},
};

// What one message must make the agent do.
struct Expect {
    enum Reply { none, ret, error, any } reply = none;
    std::vector<Arg> reply_args; // for ret
    std::string error_name;      // for error
    bool error_empty_message = false;
    std::string out, err;
    bool ends = false;
};

struct Message {
    DBusMessage* msg = nullptr;
    std::string description;
    bool from_daemon = true;
    bool broadcast = false;
    int type = DBUS_MESSAGE_TYPE_METHOD_CALL;
    bool no_reply = false;
    std::string path, iface, member;
    std::vector<Arg> args;
};

struct Counts {
    uint64_t random = 0, checks = 0, syncs = 0, releases = 0, starts = 0;
    uint64_t faults = 0;
};

class Campaign {
  public:
    Campaign(std::string agent_bin, uint64_t seed, uint64_t calls, uint64_t every, bool trace)
        : agent_bin_(std::move(agent_bin)), seed_(seed), calls_(calls), every_(every),
          trace_(trace), rng_{seed} {}
    ~Campaign();
    // 0: no fault; 1: a fault (reported); 77: no dbus-daemon.
    int run();
    const Counts& counts() const { return counts_; }

  private:
    bool connect(DBusConnection*& conn, bool own_name);
    bool start_agent();
    bool stop_agent();
    void pump_daemon(int timeout_ms);
    void handle_daemon_message(DBusMessage* m);
    void drain(DBusConnection* conn);
    bool sync(DBusConnection* conn);
    Message random_message();
    Message checkpoint_message();
    void append_body(Message& m, const std::vector<Type>& types);
    void append_value(DBusMessageIter* it, const Type& t, int nest, Arg* top);
    std::string random_string();
    std::string random_object_path();
    std::string random_signature_text();
    std::string random_interface(bool allow_none);
    std::string random_member();
    std::vector<Type> body_for(const std::string& member);
    Expect model(const Message& m) const;
    bool deliver(Message& m);
    bool check_reply(const Expect& e, DBusMessage* reply);
    bool check_output();
    bool check_end();
    int count_fds() const;
    bool fault(const std::string& what);

    std::string agent_bin_;
    uint64_t seed_, calls_, every_;
    bool trace_;
    Rng rng_;
    PrivateBus bus_;
    DBusConnection* daemon_ = nullptr;
    DBusConnection* stranger_ = nullptr;
    testlib::Process agent_;
    AgentConfig config_;
    std::string agent_name_, agent_path_;
    std::string want_out_, want_err_;
    std::vector<std::string> daemon_log_; // calls the agent made on the daemon
    std::vector<std::string> recent_;
    uint64_t index_ = 0;
    uint64_t checkpoints_ = 0;
    int start_fds_ = -1;
    int null_fd_ = -1;
    int64_t budget_ = 0; // bytes left for the message being built
    Counts counts_;
};

Campaign::~Campaign() {
    agent_.kill_now();
    if (null_fd_ >= 0)
        close(null_fd_);
    for (DBusConnection* c : {daemon_, stranger_}) {
        if (c) {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
    }
}

std::string tail(const std::string& text, size_t n) {
    return text.size() > n ? "..." + text.substr(text.size() - n) : text;
}

bool Campaign::fault(const std::string& what) {
    agent_.drain();
    counts_.faults++;
    fprintf(stderr, "campaign: FAULT (seed %" PRIu64 ", message #%" PRIu64 "): %s\n", seed_, index_,
            what.c_str());
    fprintf(stderr, "campaign: last messages:\n");
    for (const auto& r : recent_)
        fprintf(stderr, "campaign:   %s\n", r.c_str());
    std::string state = agent_.ended() ? "ended with status " + std::to_string(agent_.status())
                                       : std::string("running");
    fprintf(stderr, "campaign: agent %s; its standard error: %s\n", state.c_str(),
            tail(agent_.err(), 400).c_str());
    fprintf(stderr, "campaign: repeat with --seed %" PRIu64 " --calls %" PRIu64 " --trace\n", seed_,
            index_ + 1);
    return false;
}

bool Campaign::connect(DBusConnection*& conn, bool own_name) {
    DBusError err;
    dbus_error_init(&err);
    conn = dbus_connection_open_private(bus_.address().c_str(), &err);
    if (!conn || !dbus_bus_register(conn, &err)) {
        fprintf(stderr, "campaign: cannot connect to the private bus: %s\n", err.message);
        dbus_error_free(&err);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    if (own_name && dbus_bus_request_name(conn, daemon_name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
                        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fprintf(stderr, "campaign: cannot own %s: %s\n", daemon_name,
                dbus_error_is_set(&err) ? err.message : "not the owner");
        dbus_error_free(&err);
        return false;
    }
    return true;
}

// The daemon's side of the agent's own requests; everything else that arrives is dropped.
void Campaign::handle_daemon_message(DBusMessage* m) {
    if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return;
    const char* member = dbus_message_get_member(m);
    const char* iface = dbus_message_get_interface(m);
    if (!member || !iface)
        return;
    std::string line = std::string(iface) + "." + member;
    DBusMessageIter it;
    if (dbus_message_iter_init(m, &it)) {
        do {
            int t = dbus_message_iter_get_arg_type(&it);
            if (t == DBUS_TYPE_STRING || t == DBUS_TYPE_OBJECT_PATH) {
                const char* s;
                dbus_message_iter_get_basic(&it, &s);
                line += std::string(" ") + s;
            } else {
                line += " ?";
            }
        } while (dbus_message_iter_next(&it));
    }
    daemon_log_.push_back(line);
    if (!strcmp(member, "RegisterAgent") && dbus_message_get_sender(m))
        agent_name_ = dbus_message_get_sender(m);
    DBusMessage* reply = dbus_message_new_method_return(m);
    if (!reply)
        return;
    if (!strcmp(member, "DefaultAdapter") || !strcmp(member, "FindAdapter")) {
        const char* p = adapter_path;
        dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &p, DBUS_TYPE_INVALID);
    }
    dbus_connection_send(daemon_, reply, nullptr);
    dbus_message_unref(reply);
}

void Campaign::pump_daemon(int timeout_ms) {
    dbus_connection_read_write(daemon_, timeout_ms);
    while (DBusMessage* m = dbus_connection_pop_message(daemon_)) {
        handle_daemon_message(m);
        dbus_message_unref(m);
    }
    dbus_connection_flush(daemon_);
}

void Campaign::drain(DBusConnection* conn) {
    if (conn == daemon_) {
        pump_daemon(0);
        return;
    }
    dbus_connection_read_write(conn, 0);
    while (DBusMessage* m = dbus_connection_pop_message(conn))
        dbus_message_unref(m);
}

int Campaign::count_fds() const {
    std::string dir = "/proc/" + std::to_string(agent_.pid()) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

// A ping from the same connection: once it is answered, the agent has dispatched everything
// that this connection sent before it.
bool Campaign::sync(DBusConnection* conn) {
    counts_.syncs++;
    DBusMessage* ping =
        dbus_message_new_method_call(agent_name_.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping");
    DBusError err;
    dbus_error_init(&err);
    DBusMessage* reply =
        dbus_connection_send_with_reply_and_block(conn, ping, call_timeout_ms, &err);
    dbus_message_unref(ping);
    if (!reply) {
        std::string what = std::string("ping not answered: ") + err.name + ": " + err.message;
        dbus_error_free(&err);
        return fault(what);
    }
    dbus_message_unref(reply);
    return true;
}

bool Campaign::start_agent() {
    config_ = AgentConfig();
    const Passkey& pk = rng_.pick(passkeys);
    config_.passkey = pk.text;
    config_.passkey_number = pk.number;
    config_.reject = rng_.percent(25);
    if (rng_.percent(30))
        config_.capability = rng_.pick(
            std::vector<std::string>{"KeyboardOnly", "NoInputNoOutput", "", "caps with spaces"});
    bool find = rng_.percent(30);
    if (find)
        config_.adapter = rng_.pick(std::vector<std::string>{"hci0", "00:11:22:33:44:55", ""});
    if (rng_.percent(30))
        config_.path = rng_.pick(std::vector<std::string>{"/", "/a", "/org/velto", "/x/y/z_1"});

    std::vector<std::string> argv = {"agent"};
    if (config_.reject)
        argv.push_back("-r");
    if (config_.capability != "DisplayYesNo")
        argv.insert(argv.end(), {"-c", config_.capability});
    if (find)
        argv.insert(argv.end(), {"-a", config_.adapter});
    if (!config_.path.empty())
        argv.insert(argv.end(), {"-p", config_.path});
    argv.insert(argv.end(), {"--", config_.passkey});

    if (trace_) {
        std::string shown;
        for (const auto& a : argv)
            shown += " '" + a + "'";
        fprintf(stderr, "campaign: starting%s\n", shown.c_str());
    }
    daemon_log_.clear();
    want_out_.clear();
    want_err_.clear();
    agent_name_.clear();
    if (!agent_.start(testlib::Program::Built, agent_bin_, argv, bus_.env()))
        return fault("cannot start the agent");
    counts_.starts++;
    agent_path_ =
        config_.path.empty() ? "/org/velto/agent_" + std::to_string(agent_.pid()) : config_.path;
    std::string lookup = find ? "org.velto.Manager.FindAdapter " + config_.adapter
                              : std::string("org.velto.Manager.DefaultAdapter");
    std::string reg = "org.velto.Adapter.RegisterAgent " + agent_path_ + " " + config_.capability;
    int64_t deadline = testlib::monotonic_us() + static_cast<int64_t>(exit_timeout_ms) * 1000;
    while (daemon_log_.size() < 2 && testlib::monotonic_us() < deadline) {
        pump_daemon(20);
        if (agent_.ended())
            return fault("agent ended during start-up with status " +
                         std::to_string(agent_.status()));
    }
    if (daemon_log_.size() < 2 || daemon_log_[0] != lookup || daemon_log_[1] != reg ||
        agent_name_.empty())
        return fault("start-up requests differ: want '" + lookup + "', '" + reg + "'");
    // Answered from the dispatch loop: the watch is in place by then.
    if (!sync(daemon_))
        return false;
    start_fds_ = count_fds();
    return check_output();
}

bool Campaign::stop_agent() {
    int fds = count_fds();
    if (start_fds_ >= 0 && fds > start_fds_ + 2)
        return fault("agent holds " + std::to_string(fds) + " descriptors, " +
                     std::to_string(start_fds_) + " after start-up");
    kill(agent_.pid(), SIGTERM);
    int64_t deadline = testlib::monotonic_us() + static_cast<int64_t>(exit_timeout_ms) * 1000;
    while (!agent_.ended() && testlib::monotonic_us() < deadline)
        pump_daemon(10);
    if (!agent_.ended()) {
        agent_.kill_now();
        return fault("agent did not end after SIGTERM");
    }
    if (agent_.status() != 0)
        return fault("agent ended with status " + std::to_string(agent_.status()) +
                     " after SIGTERM");
    std::string unreg = "org.velto.Adapter.UnregisterAgent " + agent_path_;
    if (daemon_log_.size() != 3 || daemon_log_[2] != unreg)
        return fault("no '" + unreg + "' at the end");
    return check_output();
}

std::string Campaign::random_string() {
    switch (rng_.below(14)) {
    case 0:
        return "";
    case 1:
        return daemon_name;
    case 2:
        return ":1." + std::to_string(rng_.below(20));
    case 3:
        return config_.passkey;
    case 4:
        return "0000";
    case 5:
        return agent_path_;
    case 6:
        return "%s%n%x%p%s";
    case 7:
        return "0000110a-0000-1000-8000-00805f9b34fb";
    case 8: {
        // Long ones, within what is left for this message.
        int64_t room = budget_ > 16 ? budget_ - 16 : 0;
        size_t len = rng_.percent(20) ? rng_.below(65536) : rng_.below(512);
        return std::string(static_cast<size_t>(std::min<int64_t>(room, static_cast<int64_t>(len))),
                           'A');
    }
    default:
        return random_text(rng_, 40);
    }
}

std::string Campaign::random_object_path() {
    switch (rng_.below(10)) {
    case 0:
        return "/";
    case 1:
    case 2:
        return agent_path_;
    case 3:
        return (agent_path_ == "/" ? "" : agent_path_) + "/" + random_name_part(rng_, 8, true);
    case 4:
        return "/org/velto/hci0/dev_00_11_22_33_44_55";
    case 5:
        return adapter_path;
    case 6: {
        std::string p;
        uint32_t n = 1 + rng_.below(64);
        for (uint32_t i = 0; i < n; i++)
            p += "/" + random_name_part(rng_, 16, true);
        return p;
    }
    default:
        return random_path(rng_);
    }
}

std::string Campaign::random_signature_text() {
    std::string s;
    uint32_t n = rng_.below(4);
    for (uint32_t i = 0; i < n; i++) {
        std::string one = signature_of(random_type(rng_, 4, true));
        if (s.size() + one.size() > 255)
            break;
        s += one;
    }
    return s;
}

std::string Campaign::random_interface(bool allow_none) {
    uint32_t r = rng_.below(100);
    if (r < 45)
        return protocol::interface;
    if (r < 55 && allow_none)
        return "";
    if (r < 80)
        return rng_.pick(std::vector<std::string>{
            "org.freedesktop.DBus.Peer", "org.freedesktop.DBus.Introspectable",
            "org.freedesktop.DBus.Properties", "org.freedesktop.DBus", "org.velto.Adapter",
            "org.velto.Manager", "org.velto.agent", "org.velto.Agent.Extra", "org.velto"});
    if (r < 83) {
        std::string s = "a";
        while (s.size() < 253)
            s += ".b";
        return s.substr(0, 255);
    }
    return random_dotted(rng_, 5);
}

// The members that ask something of the agent: every one but Release, in the table's order.
const std::vector<std::string>& asking_members() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& member : protocol::members)
            if (std::string(member.name) != "Release")
                v.push_back(member.name);
        return v;
    }();
    return names;
}

std::string Campaign::random_member() {
    const std::vector<std::string>& real = asking_members();
    uint32_t r = rng_.below(100);
    if (r < 55)
        return rng_.pick(real);
    if (r < 58)
        return "Release";
    if (r < 80)
        return rng_.pick(std::vector<std::string>{
            "NameOwnerChanged", "Ping", "Introspect", "GetMachineId", "Get", "GetAll", "Set",
            "requestpincode", "RequestPinCodeX", "RequestPinCod", "Release_", "DefaultAdapter"});
    if (r < 82)
        return std::string(255, 'M');
    return random_name_part(rng_, 40, false);
}

const char* known_signature(const std::string& member) {
    if (member == "NameOwnerChanged")
        return "sss";
    for (const auto& m : protocol::members)
        if (member == m.name)
            return m.signature;
    return nullptr;
}

// The member's own signature, or it with more arguments, other types, fewer, or anything.
std::vector<Type> Campaign::body_for(const std::string& member) {
    std::vector<Type> types;
    const char* sig = known_signature(member);
    uint32_t r = rng_.below(100);
    if (sig && r < 72) {
        for (const char* c = sig; *c; c++)
            types.push_back({*c, {}});
        if (r >= 35 && r < 50) {
            uint32_t extra = 1 + rng_.below(3);
            for (uint32_t i = 0; i < extra; i++)
                types.push_back(random_type(rng_, 3, false));
        } else if (r >= 50 && r < 65) {
            for (auto& t : types)
                t = rng_.percent(60) ? random_basic(rng_, false) : random_type(rng_, 2, false);
        } else if (r >= 65 && !types.empty()) {
            types.pop_back();
        }
    } else if (!rng_.percent(25)) {
        uint32_t n = 1 + rng_.below(6);
        for (uint32_t i = 0; i < n; i++)
            types.push_back(rng_.percent(3) ? deep_type(rng_) : random_type(rng_, 4, false));
    }
    // File descriptors only at the top level, so that a message carries a handful at most.
    for (auto& t : types)
        if (t.code != 'h' && signature_of(t).size() == 1 && rng_.percent(2))
            t.code = 'h';
    while (signature_of(types).size() > 255)
        types.pop_back();
    return types;
}

void Campaign::append_value(DBusMessageIter* it, const Type& t, int nest, Arg* top) {
    budget_ -= 8;
    switch (t.code) {
    case 'y': {
        unsigned char v = static_cast<unsigned char>(rng_.next());
        dbus_message_iter_append_basic(it, DBUS_TYPE_BYTE, &v);
        break;
    }
    case 'b': {
        dbus_bool_t v = rng_.below(2);
        dbus_message_iter_append_basic(it, DBUS_TYPE_BOOLEAN, &v);
        break;
    }
    case 'n':
    case 'q': {
        uint16_t v = rng_.percent(30)
                         ? rng_.pick(std::vector<uint16_t>{0, 1, 0x7fff, 0x8000, 0xffff})
                         : static_cast<uint16_t>(rng_.next());
        dbus_message_iter_append_basic(it, t.code == 'n' ? DBUS_TYPE_INT16 : DBUS_TYPE_UINT16, &v);
        break;
    }
    case 'i':
    case 'u': {
        uint32_t v = rng_.percent(30)
                         ? rng_.pick(std::vector<uint32_t>{0, 1, 1234, 0x7fffffff, 0x80000000u,
                                                           0xffffffffu, 999999})
                         : static_cast<uint32_t>(rng_.next());
        dbus_message_iter_append_basic(it, t.code == 'i' ? DBUS_TYPE_INT32 : DBUS_TYPE_UINT32, &v);
        if (top)
            top->u = v;
        break;
    }
    case 'x':
    case 't': {
        uint64_t v = rng_.percent(30) ? rng_.pick(std::vector<uint64_t>{0, 1, ~0ull, 1ull << 63})
                                      : rng_.next();
        dbus_message_iter_append_basic(it, t.code == 'x' ? DBUS_TYPE_INT64 : DBUS_TYPE_UINT64, &v);
        break;
    }
    case 'd': {
        double v;
        if (rng_.percent(30)) {
            v = rng_.pick(std::vector<double>{0.0, -0.0, NAN, INFINITY, -INFINITY, 1e308});
        } else {
            uint64_t bits = rng_.next();
            memcpy(&v, &bits, sizeof v);
        }
        dbus_message_iter_append_basic(it, DBUS_TYPE_DOUBLE, &v);
        break;
    }
    case 's':
    case 'o':
    case 'g': {
        std::string v = t.code == 's'   ? random_string()
                        : t.code == 'o' ? random_object_path()
                                        : random_signature_text();
        budget_ -= static_cast<int64_t>(v.size());
        const char* p = v.c_str();
        int code = t.code == 's'   ? DBUS_TYPE_STRING
                   : t.code == 'o' ? DBUS_TYPE_OBJECT_PATH
                                   : DBUS_TYPE_SIGNATURE;
        dbus_message_iter_append_basic(it, code, &p);
        if (top)
            top->text = v;
        break;
    }
    case 'h':
        dbus_message_iter_append_basic(it, DBUS_TYPE_UNIX_FD, &null_fd_);
        break;
    case 'a': {
        DBusMessageIter sub;
        std::string elem = signature_of(t.kids[0]);
        dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, elem.c_str(), &sub);
        uint32_t r = rng_.below(100);
        uint32_t n = r < 25   ? 0
                     : r < 85 ? 1 + rng_.below(3)
                     : r < 95 ? 4 + rng_.below(29)
                              : 33 + rng_.below(2000);
        // Deep nesting gets one element a level, or the message would explode.
        if (nest > 4 && n > 1)
            n = 1;
        for (uint32_t i = 0; i < n && budget_ > 0; i++)
            append_value(&sub, t.kids[0], nest + 1, nullptr);
        dbus_message_iter_close_container(it, &sub);
        break;
    }
    case '{':
    case '(': {
        DBusMessageIter sub;
        dbus_message_iter_open_container(
            it, t.code == '{' ? DBUS_TYPE_DICT_ENTRY : DBUS_TYPE_STRUCT, nullptr, &sub);
        for (const auto& k : t.kids)
            append_value(&sub, k, nest + 1, nullptr);
        dbus_message_iter_close_container(it, &sub);
        break;
    }
    case 'v': {
        Type inner = t.kids.empty() ? random_type(rng_, nest > 4 ? 0 : 3, false) : t.kids[0];
        std::string sig = signature_of(inner);
        DBusMessageIter sub;
        dbus_message_iter_open_container(it, DBUS_TYPE_VARIANT, sig.c_str(), &sub);
        append_value(&sub, inner, nest + 1, nullptr);
        dbus_message_iter_close_container(it, &sub);
        break;
    }
    }
}

void Campaign::append_body(Message& m, const std::vector<Type>& types) {
    budget_ = rng_.percent(2) ? 256 * 1024 : 16 * 1024;
    DBusMessageIter it;
    dbus_message_iter_init_append(m.msg, &it);
    for (const auto& t : types) {
        Arg arg{t.code, "", 0};
        append_value(&it, t, 0, &arg);
        m.args.push_back(arg);
    }
}

std::string describe(const Message& m) {
    static const char* kinds[] = {"?", "call", "return", "error", "signal"};
    std::string d = std::string(kinds[m.type]) + (m.from_daemon ? " daemon" : " stranger");
    d += m.broadcast ? " broadcast" : " to agent";
    if (!m.path.empty())
        d += " path=" + tail(m.path, 60);
    d += " iface=" + (m.iface.empty() ? std::string("(none)") : tail(m.iface, 60));
    if (!m.member.empty())
        d += " member=" + tail(m.member, 60);
    d += " sig=" + tail(dbus_message_get_signature(m.msg), 80);
    if (m.no_reply)
        d += " no-reply";
    for (const auto& a : m.args) {
        if (a.code == 's' || a.code == 'o')
            d += std::string(" ") + a.code + ":'" + tail(a.text, 40) + "'";
        else if (a.code == 'u')
            d += " u:" + std::to_string(a.u);
    }
    return d;
}

Message Campaign::random_message() {
    Message m;
    m.from_daemon = rng_.percent(60);
    uint32_t r = rng_.below(100);
    if (r < 65) {
        m.type = DBUS_MESSAGE_TYPE_METHOD_CALL;
        m.path = rng_.percent(60) ? agent_path_ : random_object_path();
        m.iface = random_interface(true);
        m.member = random_member();
        m.no_reply = rng_.percent(10);
        m.msg = dbus_message_new_method_call(agent_name_.c_str(), m.path.c_str(),
                                             m.iface.empty() ? nullptr : m.iface.c_str(),
                                             m.member.c_str());
        dbus_message_set_no_reply(m.msg, m.no_reply);
        append_body(m, body_for(m.member));
    } else if (r < 88) {
        m.type = DBUS_MESSAGE_TYPE_SIGNAL;
        m.broadcast = rng_.percent(30);
        m.path = random_object_path();
        m.iface = rng_.percent(45) ? "org.freedesktop.DBus" : random_interface(false);
        m.member = m.iface == "org.freedesktop.DBus" && rng_.percent(70) ? "NameOwnerChanged"
                                                                         : random_member();
        m.msg = dbus_message_new_signal(m.path.c_str(), m.iface.c_str(), m.member.c_str());
        if (!m.broadcast)
            dbus_message_set_destination(m.msg, agent_name_.c_str());
        if (m.member == "NameOwnerChanged" && rng_.percent(60)) {
            // Close to the bus daemon's own notice, so that the watch's cases come up often.
            std::string name =
                rng_.percent(40)
                    ? daemon_name
                    : rng_.pick(std::vector<std::string>{"org.velt", "org.velto.x", ":1.1", ""});
            std::string old_owner = rng_.percent(50) ? ":1.1" : random_string();
            std::string new_owner = rng_.percent(25)   ? ""
                                    : rng_.percent(50) ? ":1.9"
                                                       : random_string();
            for (const std::string* s : {&name, &old_owner, &new_owner}) {
                const char* p = s->c_str();
                dbus_message_append_args(m.msg, DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID);
                m.args.push_back({'s', *s});
            }
            if (rng_.percent(20)) {
                std::vector<Type> extra = {random_type(rng_, 3, false)};
                DBusMessageIter it;
                dbus_message_iter_init_append(m.msg, &it);
                budget_ = 4096;
                Arg arg{extra[0].code, "", 0};
                append_value(&it, extra[0], 0, &arg);
                m.args.push_back(arg);
            }
        } else {
            append_body(m, body_for(m.member));
        }
    } else {
        m.type = rng_.percent(50) ? DBUS_MESSAGE_TYPE_METHOD_RETURN : DBUS_MESSAGE_TYPE_ERROR;
        m.msg = dbus_message_new(m.type);
        dbus_message_set_destination(m.msg, agent_name_.c_str());
        dbus_message_set_reply_serial(m.msg, 1 + rng_.below(1000));
        if (m.type == DBUS_MESSAGE_TYPE_ERROR) {
            m.member = rng_.pick(std::vector<std::string>{protocol::rejected_error, unknown_method,
                                                          random_dotted(rng_, 4)});
            dbus_message_set_error_name(m.msg, m.member.c_str());
        }
        append_body(m, body_for(""));
    }
    dbus_message_set_auto_start(m.msg, rng_.percent(90));
    if (rng_.percent(10))
        dbus_message_set_allow_interactive_authorization(m.msg, TRUE);
    return m;
}

// One call of the daemon as the agent's peer makes it; its answer is fully known.
Message Campaign::checkpoint_message() {
    const std::vector<std::string>& members = asking_members();
    Message m;
    m.path = agent_path_;
    m.iface = protocol::interface;
    m.member = members[checkpoints_++ % members.size()];
    m.msg = dbus_message_new_method_call(agent_name_.c_str(), m.path.c_str(), protocol::interface,
                                         m.member.c_str());
    char dev[64];
    snprintf(dev, sizeof dev, "/org/velto/hci0/dev_%02X_%02X_%02X", rng_.below(256),
             rng_.below(256), rng_.below(256));
    // The arguments the table gives the member: a device, a number, a service UUID.
    for (const char* t = protocol::member(m.member).signature; *t; ++t) {
        if (*t == 'o') {
            const char* p = dev;
            dbus_message_append_args(m.msg, DBUS_TYPE_OBJECT_PATH, &p, DBUS_TYPE_INVALID);
            m.args.push_back({'o', dev});
        } else if (*t == 'u') {
            uint32_t v = static_cast<uint32_t>(rng_.next());
            dbus_message_append_args(m.msg, DBUS_TYPE_UINT32, &v, DBUS_TYPE_INVALID);
            m.args.push_back({'u', "", v});
        } else {
            const char* uuid = "0000110a-0000-1000-8000-00805f9b34fb";
            dbus_message_append_args(m.msg, DBUS_TYPE_STRING, &uuid, DBUS_TYPE_INVALID);
            m.args.push_back({'s', uuid});
        }
    }
    return m;
}

bool args_start_with(const std::vector<Arg>& args, const char* codes) {
    size_t n = strlen(codes);
    if (args.size() < n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (args[i].code != codes[i])
            return false;
    return true;
}

// What the agent must do with m: its reply, its lines, whether it ends.
Expect Campaign::model(const Message& m) const {
    Expect e;
    // Every signal here comes from a client, never from the bus daemon: the watch ignores it,
    // whatever its arguments, and the agent object never handles signals.
    if (m.type == DBUS_MESSAGE_TYPE_SIGNAL)
        return e;
    if (m.type != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return e;

    e.reply = Expect::error;
    // As the bus library answers a call that no handler took: "no such object" only for paths
    // below an object registered at the root, "no such method" everywhere else.
    e.error_name = agent_path_ == "/" && m.path != "/" ? "org.freedesktop.DBus.Error.UnknownObject"
                                                       : unknown_method;
    // The bus library matches a call without interface to a member of any interface.
    bool no_iface = m.iface.empty();
    if (m.iface == "org.freedesktop.DBus.Peer" ||
        ((no_iface || m.iface == "org.freedesktop.DBus.Peer") &&
         (m.member == "Ping" || m.member == "GetMachineId")) ||
        ((no_iface || m.iface == "org.freedesktop.DBus.Introspectable") &&
         m.member == "Introspect"))
        e.reply = Expect::any; // answered by the bus library itself
    if (m.path == agent_path_ && (no_iface || m.iface == protocol::interface)) {
        for (const auto& method : protocol::members) {
            if (m.member != method.name)
                continue;
            // Only the daemon is answered; a stranger's call is refused before it is read.
            if (!m.from_daemon) {
                e.error_name = access_denied;
                break;
            }
            if (!args_start_with(m.args, method.signature)) {
                e.err = protocol::invalid_arguments(method.name);
                break;
            }
            if (method.rejects && config_.reject) {
                e.error_name = protocol::rejected_error;
                e.error_empty_message = true;
                break;
            }
            e.reply = Expect::ret;
            std::string sig = method.signature;
            e.out = protocol::printed(method.name, sig.empty() ? "" : m.args[0].text,
                                      sig == "ou" ? std::to_string(m.args[1].u) : "");
            std::string answer = method.answer;
            if (answer == "s")
                e.reply_args = {{'s', config_.passkey}};
            else if (answer == "u")
                e.reply_args = {{'u', "", config_.passkey_number}};
            if (m.member == "Release") {
                e.err = protocol::released;
                e.ends = true;
            }
            break;
        }
    }
    if (m.no_reply)
        e.reply = Expect::none;
    return e;
}

std::string describe_reply(DBusMessage* reply) {
    if (!reply)
        return "none";
    std::string d = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR
                        ? std::string("error ") + dbus_message_get_error_name(reply)
                        : std::string("return");
    d += std::string(" sig=") + dbus_message_get_signature(reply);
    DBusMessageIter it;
    if (dbus_message_iter_init(reply, &it)) {
        int t = dbus_message_iter_get_arg_type(&it);
        if (t == DBUS_TYPE_STRING) {
            const char* s;
            dbus_message_iter_get_basic(&it, &s);
            d += std::string(" '") + tail(s, 200) + "'";
        } else if (t == DBUS_TYPE_UINT32) {
            dbus_uint32_t u;
            dbus_message_iter_get_basic(&it, &u);
            d += " " + std::to_string(u);
        }
    }
    return d;
}

bool Campaign::check_reply(const Expect& e, DBusMessage* reply) {
    if (!reply)
        return fault("no reply at all");
    bool is_error = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR;
    const char* name = is_error ? dbus_message_get_error_name(reply) : "";
    // Errors of the bus daemon itself mean that the agent has gone or does not answer.
    if (is_error &&
        (!strcmp(name, DBUS_ERROR_NO_REPLY) || !strcmp(name, DBUS_ERROR_SERVICE_UNKNOWN) ||
         !strcmp(name, DBUS_ERROR_NAME_HAS_NO_OWNER) || !strcmp(name, DBUS_ERROR_TIMEOUT) ||
         !strcmp(name, DBUS_ERROR_DISCONNECTED)))
        return fault("agent did not answer: " + describe_reply(reply));
    if (e.reply == Expect::any)
        return true;
    if (e.reply == Expect::ret) {
        bool ok = !is_error;
        std::string want_sig;
        for (const auto& a : e.reply_args)
            want_sig += a.code;
        ok = ok && want_sig == dbus_message_get_signature(reply);
        if (ok && !e.reply_args.empty()) {
            DBusMessageIter it;
            dbus_message_iter_init(reply, &it);
            if (e.reply_args[0].code == 's') {
                const char* s;
                dbus_message_iter_get_basic(&it, &s);
                ok = e.reply_args[0].text == s;
            } else {
                dbus_uint32_t u;
                dbus_message_iter_get_basic(&it, &u);
                ok = e.reply_args[0].u == u;
            }
        }
        if (!ok)
            return fault("reply differs: got " + describe_reply(reply));
        return true;
    }
    if (!is_error || e.error_name != name)
        return fault("want error " + e.error_name + ", got " + describe_reply(reply));
    if (e.error_empty_message) {
        const char* text = nullptr;
        if (strcmp(dbus_message_get_signature(reply), "s") != 0 ||
            !dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) ||
            *text)
            return fault("rejection with a message: " + describe_reply(reply));
    }
    return true;
}

// Where the agent's output first differs from what it must have written.
std::string difference(const char* stream, const std::string& want, const std::string& got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        i++;
    size_t from = i > 60 ? i - 60 : 0;
    return std::string(stream) + " differs at byte " + std::to_string(i) + ": want '" +
           want.substr(from, 160) + "', got '" + got.substr(from, 160) + "'";
}

bool Campaign::check_output() {
    agent_.drain();
    if (agent_.out() != want_out_)
        return fault(difference("standard output", want_out_, agent_.out()));
    if (agent_.err() != want_err_)
        return fault(difference("standard error", want_err_, agent_.err()));
    return true;
}

bool Campaign::check_end() {
    int64_t deadline = testlib::monotonic_us() + static_cast<int64_t>(exit_timeout_ms) * 1000;
    while (!agent_.ended() && testlib::monotonic_us() < deadline)
        pump_daemon(10);
    if (!agent_.ended()) {
        agent_.kill_now();
        return fault("agent went on serving where it had to end");
    }
    if (agent_.status() != 0)
        return fault("agent ended with status " + std::to_string(agent_.status()));
    if (daemon_log_.size() != 2)
        return fault("agent called the daemon on its way out: " + daemon_log_.back());
    if (!check_output())
        return false;
    return start_agent();
}

bool Campaign::deliver(Message& m) {
    Expect e = model(m);
    m.description = describe(m);
    recent_.push_back("#" + std::to_string(index_) + " " + m.description);
    if (recent_.size() > 6)
        recent_.erase(recent_.begin());
    if (trace_)
        fprintf(stderr, "campaign: #%" PRIu64 " %s\n", index_, m.description.c_str());
    DBusConnection* conn = m.from_daemon ? daemon_ : stranger_;
    want_out_ += e.out;
    want_err_ += e.err;

    bool ok = true;
    if (m.type == DBUS_MESSAGE_TYPE_METHOD_CALL && !m.no_reply) {
        DBusPendingCall* pending = nullptr;
        if (!dbus_connection_send_with_reply(conn, m.msg, &pending, call_timeout_ms) || !pending) {
            dbus_message_unref(m.msg);
            return fault("cannot send");
        }
        dbus_pending_call_block(pending);
        DBusMessage* reply = dbus_pending_call_steal_reply(pending);
        dbus_pending_call_unref(pending);
        ok = check_reply(e, reply);
        if (reply)
            dbus_message_unref(reply);
    } else {
        dbus_connection_send(conn, m.msg, nullptr);
        dbus_connection_flush(conn);
        if (!e.ends)
            ok = sync(conn);
    }
    dbus_message_unref(m.msg);
    m.msg = nullptr;
    if (ok && e.ends) {
        counts_.releases++;
        return check_end();
    }
    ok = ok && check_output();
    drain(daemon_);
    drain(stranger_);
    return ok;
}

int Campaign::run() {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) {
        printf("skipped: /usr/bin/dbus-daemon is missing (package dbus-daemon)\n");
        return 77;
    }
    null_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!bus_.start("agent-campaign")) {
        fprintf(stderr, "campaign: the private dbus-daemon did not start\n");
        return 1;
    }
    if (!connect(daemon_, true) || !connect(stranger_, false))
        return 1;
    int64_t started = testlib::monotonic_us();
    bool ok = start_agent();
    for (uint64_t i = 0; ok && i < calls_; i++) {
        index_ = i;
        Message m = random_message();
        counts_.random++;
        ok = deliver(m);
        if (ok && every_ && (i + 1) % every_ == 0) {
            Message c = checkpoint_message();
            counts_.checks++;
            ok = deliver(c);
        }
    }
    ok = ok && stop_agent();
    double seconds = static_cast<double>(testlib::monotonic_us() - started) / 1e6;
    printf("campaign: seed %" PRIu64 ": %" PRIu64 " random messages, %" PRIu64
           " well-formed calls, %" PRIu64 " pings; %" PRIu64 " agents (%" PRIu64
           " released); %.1f s, %.0f messages/s; %s\n",
           seed_, counts_.random, counts_.checks, counts_.syncs, counts_.starts, counts_.releases,
           seconds, static_cast<double>(counts_.random) / seconds, ok ? "no fault" : "FAULT");
    fflush(stdout);
    return ok ? 0 : 1;
}

void usage(FILE* out) {
    fputs("Usage: agent_campaign [options]\n"
          "Sends random messages to the pairing agent on a private bus and checks each answer,\n"
          "and the agent's output, against what the agent must do.\n"
          "  --seed N        seed of the run (default: from the clock; always printed)\n"
          "  --calls N       random messages per seed (default 2000)\n"
          "  --every K       one well-formed call after every K random messages (default 16)\n"
          "  --corpus FILE   run every seed listed in FILE ('SEED' lines, '#' comments)\n"
          "  --agent PATH    the agent to run (default: the one built with this program)\n"
          "  --trace         print each message before it is sent\n"
          "  -h, --help      this text\n"
          "Exit status: 0 no fault, 1 a fault (described, with the seed), 2 usage, 77 skipped.\n",
          out);
}

bool parse_number(const char* text, uint64_t* value) {
    char* end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno || end == text || *end || text[0] == '-')
        return false;
    *value = v;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t seed =
        static_cast<uint64_t>(testlib::monotonic_us()) ^ (static_cast<uint64_t>(getpid()) << 32);
    uint64_t calls = 2000, every = 16;
    std::string corpus, agent = AGENT_BIN;
    bool trace = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--seed" && has_value && parse_number(argv[i + 1], &seed)) {
            i++;
        } else if (a == "--calls" && has_value && parse_number(argv[i + 1], &calls)) {
            i++;
        } else if (a == "--every" && has_value && parse_number(argv[i + 1], &every)) {
            i++;
        } else if (a == "--corpus" && has_value) {
            corpus = argv[++i];
        } else if (a == "--agent" && has_value) {
            agent = argv[++i];
        } else {
            fprintf(stderr, "agent_campaign: bad argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    std::vector<uint64_t> seeds;
    if (corpus.empty()) {
        seeds.push_back(seed);
    } else {
        std::ifstream in(corpus);
        if (!in) {
            fprintf(stderr, "agent_campaign: cannot read %s\n", corpus.c_str());
            return 2;
        }
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            std::istringstream words(line);
            std::string word;
            if (!(words >> word))
                continue;
            uint64_t s;
            if (!parse_number(word.c_str(), &s)) {
                fprintf(stderr, "agent_campaign: %s: bad seed '%s'\n", corpus.c_str(),
                        word.c_str());
                return 2;
            }
            seeds.push_back(s);
        }
        if (seeds.empty()) {
            fprintf(stderr, "agent_campaign: %s lists no seed\n", corpus.c_str());
            return 2;
        }
    }

    int status = 0;
    Counts total;
    int64_t started = testlib::monotonic_us();
    for (uint64_t s : seeds) {
        printf("campaign: seed %" PRIu64 ", %" PRIu64
               " random messages, a well-formed call every %" PRIu64 "\n",
               s, calls, every);
        fflush(stdout);
        Campaign c(agent, s, calls, every, trace);
        int r = c.run();
        if (r == 77)
            return 77;
        if (r != 0)
            status = 1;
        total.random += c.counts().random;
        total.faults += c.counts().faults;
    }
    if (seeds.size() > 1)
        printf("campaign: %zu seeds, %" PRIu64 " random messages, %.1f s, faults %" PRIu64 "\n",
               seeds.size(), total.random,
               static_cast<double>(testlib::monotonic_us() - started) / 1e6, total.faults);
    return status;
}
