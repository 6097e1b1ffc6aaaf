#include "daemon_requests.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char daemon_name[] = "org.velto";
static const char manager_interface[] = "org.velto.Manager";
static const char adapter_interface[] = "org.velto.Adapter";

// Writes the bus error's own text, if there is one, and frees it.
static void report_error(DBusError* err) {
    if (dbus_error_is_set(err)) {
        fprintf(stderr, "%s\n", err->message);
        dbus_error_free(err);
    }
}

static DBusMessage* new_call(const char* path, const char* interface, const char* member) {
    DBusMessage* msg = dbus_message_new_method_call(daemon_name, path, interface, member);
    if (!msg)
        fprintf(stderr, "Can't allocate new method call\n");
    return msg;
}

// A call whose arguments did not all fit for want of memory is as unusable as no call: sent, it
// would only draw an argument error (or, unawaited, pass for success).
static bool appended(DBusMessage* msg, bool ok) {
    if (!ok) {
        fprintf(stderr, "Can't allocate new method call\n");
        dbus_message_unref(msg);
    }
    return ok;
}

// Sends and waits with the library's default time-out; the call is released either way.
static DBusMessage* call_and_wait(DBusConnection* conn, DBusMessage* msg, DBusError* err) {
    dbus_error_init(err);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn, msg, -1, err);
    dbus_message_unref(msg);
    return reply;
}

static char* adapter_path_from_reply(DBusConnection* conn, DBusMessage* reply, DBusError* err,
                                     char* owner, size_t owner_size) {
    const char* path = nullptr;
    if (!dbus_message_get_args(reply, err, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID)) {
        fprintf(stderr, "Can't get reply arguments\n");
        report_error(err);
        dbus_message_unref(reply);
        return nullptr;
    }
    char* copy = strdup(path);
    const char* sender = dbus_message_get_sender(reply);
    snprintf(owner, owner_size, "%s", sender ? sender : "");
    dbus_message_unref(reply);
    if (!copy) {
        fprintf(stderr, "Not enough memory for adapter path\n");
        return nullptr;
    }
    dbus_connection_flush(conn);
    return copy;
}

char* query_default_adapter(DBusConnection* conn, char* owner, size_t owner_size) {
    DBusMessage* msg = new_call("/", manager_interface, "DefaultAdapter");
    if (!msg)
        return nullptr;

    DBusError err;
    DBusMessage* reply = call_and_wait(conn, msg, &err);
    if (!reply) {
        fprintf(stderr, "Can't get default adapter\n");
        report_error(&err);
        return nullptr;
    }
    return adapter_path_from_reply(conn, reply, &err, owner, owner_size);
}

char* query_adapter(DBusConnection* conn, const char* adapter, char* owner, size_t owner_size) {
    if (!adapter)
        return query_default_adapter(conn, owner, owner_size);

    DBusMessage* msg = new_call("/", manager_interface, "FindAdapter");
    if (!msg)
        return nullptr;
    if (!appended(msg,
                  dbus_message_append_args(msg, DBUS_TYPE_STRING, &adapter, DBUS_TYPE_INVALID)))
        return nullptr;

    DBusError err;
    DBusMessage* reply = call_and_wait(conn, msg, &err);
    if (!reply) {
        fprintf(stderr, "Can't find adapter %s\n", adapter);
        report_error(&err);
        return nullptr;
    }
    return adapter_path_from_reply(conn, reply, &err, owner, owner_size);
}

int send_register_agent(DBusConnection* conn, const char* adapter_path, const char* agent_path,
                        const char* capability) {
    DBusMessage* msg = new_call(adapter_path, adapter_interface, "RegisterAgent");
    if (!msg)
        return -1;
    if (!appended(msg, dbus_message_append_args(msg, DBUS_TYPE_OBJECT_PATH, &agent_path,
                                                DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID)))
        return -1;

    DBusError err;
    DBusMessage* reply = call_and_wait(conn, msg, &err);
    if (!reply) {
        fprintf(stderr, "Can't register agent\n");
        report_error(&err);
        return -1;
    }
    dbus_message_unref(reply);
    dbus_connection_flush(conn);
    return 0;
}

int send_unregister_agent(DBusConnection* conn, const char* adapter_path, const char* agent_path) {
    DBusMessage* msg = new_call(adapter_path, adapter_interface, "UnregisterAgent");
    if (!msg)
        return -1;
    if (!appended(msg, dbus_message_append_args(msg, DBUS_TYPE_OBJECT_PATH, &agent_path,
                                                DBUS_TYPE_INVALID)))
        return -1;

    DBusError err;
    DBusMessage* reply = call_and_wait(conn, msg, &err);
    if (!reply) {
        fprintf(stderr, "Can't unregister agent\n");
        report_error(&err);
        return -1;
    }
    dbus_message_unref(reply);
    dbus_connection_flush(conn);
    dbus_connection_unregister_object_path(conn, agent_path);
    return 0;
}

int send_create_paired_device(DBusConnection* conn, const char* adapter_path,
                              const char* agent_path, const char* capability, const char* device) {
    DBusMessage* msg = new_call(adapter_path, adapter_interface, "CreatePairedDevice");
    if (!msg)
        return -1;
    if (!appended(msg, dbus_message_append_args(msg, DBUS_TYPE_STRING, &device,
                                                DBUS_TYPE_OBJECT_PATH, &agent_path,
                                                DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID)))
        return -1;

    // The daemon's answer is not awaited: pairing goes on through the agent object.
    dbus_bool_t queued = dbus_connection_send(conn, msg, nullptr);
    dbus_message_unref(msg);
    if (!queued) {
        fprintf(stderr, "Not enough memory for message send\n");
        return -1;
    }
    dbus_connection_flush(conn);
    return 0;
}
