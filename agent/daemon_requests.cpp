#include "daemon_requests.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char daemon_name[] = "org.velto";
static const char manager_interface[] = "org.velto.Manager";
static const char adapter_interface[] = "org.velto.Adapter";

// Owns one message reference: unrefs it when reset or at the end of scope.
class Message {
  public:
    explicit Message(DBusMessage* msg = nullptr) : msg_(msg) {}
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message() { reset(); }

    DBusMessage* get() const { return msg_; }
    void reset(DBusMessage* msg = nullptr) {
        if (msg_)
            dbus_message_unref(msg_);
        msg_ = msg;
    }

  private:
    DBusMessage* msg_;
};

// A bus error, initialised here and freed at the end of scope.
class Error {
  public:
    Error() { dbus_error_init(&err_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() { dbus_error_free(&err_); }

    DBusError* get() { return &err_; }
    // Writes the bus error's own text, if there is one.
    void report() const {
        if (dbus_error_is_set(&err_))
            fprintf(stderr, "%s\n", err_.message);
    }

  private:
    DBusError err_;
};

static DBusMessage* new_call(const char* path, const char* interface, const char* member) {
    DBusMessage* msg = dbus_message_new_method_call(daemon_name, path, interface, member);
    if (!msg)
        fprintf(stderr, "Can't allocate new method call\n");
    return msg;
}

// A call whose arguments did not all fit for want of memory is as unusable as no call: sent, it
// would only draw an argument error (or, unawaited, pass for success). Reports that case.
static bool arguments_fit(bool ok) {
    if (!ok)
        fprintf(stderr, "Can't allocate new method call\n");
    return ok;
}

// Who owns "org.velto" now, as the bus daemon answers: false when nobody does or there is no
// answer. Only the bus daemon's own answer counts: on a permissive bus another client can answer
// a call that it overhears.
static bool name_owner(DBusConnection* conn, char* owner, size_t owner_size) {
    Message call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                              DBUS_INTERFACE_DBUS, "GetNameOwner"));
    const char* name = daemon_name;
    if (!call.get() ||
        !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
        return false;
    Error err;
    Message reply(dbus_connection_send_with_reply_and_block(conn, call.get(), -1, err.get()));
    const char* unique = nullptr;
    if (!reply.get() || !dbus_message_has_sender(reply.get(), DBUS_SERVICE_DBUS) ||
        !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &unique, DBUS_TYPE_INVALID))
        return false;
    snprintf(owner, owner_size, "%s", unique);
    return true;
}

// The answer came from the owner of "org.velto", as the bus daemon says before the call or, for a
// name that changed hands meanwhile, after the answer. libdbus takes the first reply that names
// the call's serial, from whoever sent it.
static bool from_name_owner(DBusConnection* conn, DBusMessage* reply, const char* owner_before) {
    const char* sender = dbus_message_get_sender(reply);
    if (!sender)
        return false;
    if (strcmp(sender, owner_before) == 0)
        return true;
    char owner_now[DBUS_MAXIMUM_NAME_LENGTH + 1];
    return name_owner(conn, owner_now, sizeof owner_now) && strcmp(sender, owner_now) == 0;
}

// The blocking request: sends call and waits with the library's default time-out; the call is
// released as soon as it is sent. Without a reply from the daemon, writes the failure line and
// the bus error, or who answered instead.
__attribute__((format(printf, 4, 5))) static DBusMessage*
request(DBusConnection* conn, Message& call, Error& err, const char* failure, ...) {
    char owner[DBUS_MAXIMUM_NAME_LENGTH + 1] = "";
    name_owner(conn, owner, sizeof owner);
    Message reply(dbus_connection_send_with_reply_and_block(conn, call.get(), -1, err.get()));
    call.reset();
    if (reply.get() && from_name_owner(conn, reply.get(), owner)) {
        DBusMessage* taken = reply.get();
        dbus_message_ref(taken);
        return taken;
    }
    va_list args;
    va_start(args, failure);
    vfprintf(stderr, failure, args);
    va_end(args);
    err.report();
    if (reply.get()) {
        const char* sender = dbus_message_get_sender(reply.get());
        fprintf(stderr, "Answer from %s, which does not own %s\n", sender ? sender : "nobody",
                daemon_name);
    }
    return nullptr;
}

// The unique name of the connection that sent reply.
static void note_sender(DBusMessage* reply, char* owner, size_t owner_size) {
    const char* sender = dbus_message_get_sender(reply);
    snprintf(owner, owner_size, "%s", sender ? sender : "");
}

static char* adapter_path_from_reply(DBusConnection* conn, Message& reply, Error& err, char* owner,
                                     size_t owner_size) {
    const char* path = nullptr;
    if (!dbus_message_get_args(reply.get(), err.get(), DBUS_TYPE_OBJECT_PATH, &path,
                               DBUS_TYPE_INVALID)) {
        fprintf(stderr, "Can't get reply arguments\n");
        err.report();
        return nullptr;
    }
    char* copy = strdup(path);
    note_sender(reply.get(), owner, owner_size);
    reply.reset();
    if (!copy) {
        fprintf(stderr, "Not enough memory for adapter path\n");
        return nullptr;
    }
    dbus_connection_flush(conn);
    return copy;
}

char* query_default_adapter(DBusConnection* conn, char* owner, size_t owner_size) {
    Message call(new_call("/", manager_interface, "DefaultAdapter"));
    if (!call.get())
        return nullptr;

    Error err;
    Message reply(request(conn, call, err, "Can't get default adapter\n"));
    if (!reply.get())
        return nullptr;
    return adapter_path_from_reply(conn, reply, err, owner, owner_size);
}

char* query_adapter(DBusConnection* conn, const char* adapter, char* owner, size_t owner_size) {
    if (!adapter)
        return query_default_adapter(conn, owner, owner_size);

    Message call(new_call("/", manager_interface, "FindAdapter"));
    if (!call.get())
        return nullptr;
    if (!arguments_fit(
            dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &adapter, DBUS_TYPE_INVALID)))
        return nullptr;

    Error err;
    Message reply(request(conn, call, err, "Can't find adapter %s\n", adapter));
    if (!reply.get())
        return nullptr;
    return adapter_path_from_reply(conn, reply, err, owner, owner_size);
}

int send_register_agent(DBusConnection* conn, const char* adapter_path, const char* agent_path,
                        const char* capability, char* owner, size_t owner_size) {
    Message call(new_call(adapter_path, adapter_interface, "RegisterAgent"));
    if (!call.get())
        return -1;
    if (!arguments_fit(dbus_message_append_args(call.get(), DBUS_TYPE_OBJECT_PATH, &agent_path,
                                                DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID)))
        return -1;

    Error err;
    Message reply(request(conn, call, err, "Can't register agent\n"));
    if (!reply.get())
        return -1;
    note_sender(reply.get(), owner, owner_size);
    reply.reset();
    dbus_connection_flush(conn);
    return 0;
}

int send_unregister_agent(DBusConnection* conn, const char* adapter_path, const char* agent_path) {
    Message call(new_call(adapter_path, adapter_interface, "UnregisterAgent"));
    if (!call.get())
        return -1;
    if (!arguments_fit(dbus_message_append_args(call.get(), DBUS_TYPE_OBJECT_PATH, &agent_path,
                                                DBUS_TYPE_INVALID)))
        return -1;

    Error err;
    Message reply(request(conn, call, err, "Can't unregister agent\n"));
    if (!reply.get())
        return -1;
    reply.reset();
    dbus_connection_flush(conn);
    dbus_connection_unregister_object_path(conn, agent_path);
    return 0;
}

int send_create_paired_device(DBusConnection* conn, const char* adapter_path,
                              const char* agent_path, const char* capability, const char* device,
                              char* owner, size_t owner_size, dbus_uint32_t* serial) {
    Message call(new_call(adapter_path, adapter_interface, "CreatePairedDevice"));
    if (!call.get())
        return -1;
    if (!arguments_fit(dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &device,
                                                DBUS_TYPE_OBJECT_PATH, &agent_path,
                                                DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID)))
        return -1;

    // The daemon's answer is not awaited: pairing goes on through the agent object, and the
    // dispatch loop watches for the answer by its serial.
    dbus_bool_t queued = dbus_connection_send(conn, call.get(), serial);
    call.reset();
    if (!queued) {
        fprintf(stderr, "Not enough memory for message send\n");
        return -1;
    }
    // Right after the call, the owner is the connection that the call went to (the bus daemon
    // takes a connection's messages in order); with nobody owning the name, owner stays.
    name_owner(conn, owner, owner_size);
    dbus_connection_flush(conn);
    return 0;
}
