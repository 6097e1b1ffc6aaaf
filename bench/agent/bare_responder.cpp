// The baseline of the agent's benchmark: the least a libdbus program does to answer the same two
// calls on the system bus. It registers one object path, answers RequestPinCode with the passkey
// and RequestConfirmation with an empty reply, prints nothing per call, and serves in the same
// blocking dispatch loop as the agent until SIGTERM or SIGINT.
#include <dbus/dbus.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const char iface[] = "org.velto.Agent";
const char path[] = "/bare";
const char* passkey = "";
volatile sig_atomic_t stop = 0;

void on_stop(int) {
    stop = 1;
}

DBusHandlerResult handle(DBusConnection* conn, DBusMessage* msg, void*) {
    bool pin = dbus_message_is_method_call(msg, iface, "RequestPinCode");
    bool confirm = !pin && dbus_message_is_method_call(msg, iface, "RequestConfirmation");
    if (!pin && !confirm)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char* device;
    dbus_uint32_t value;
    if (pin ? !dbus_message_get_args(msg, nullptr, DBUS_TYPE_OBJECT_PATH, &device,
                                     DBUS_TYPE_INVALID)
            : !dbus_message_get_args(msg, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_UINT32,
                                     &value, DBUS_TYPE_INVALID))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    DBusMessage* reply = dbus_message_new_method_return(msg);
    if (!reply)
        return DBUS_HANDLER_RESULT_NEED_MEMORY;
    if (pin)
        dbus_message_append_args(reply, DBUS_TYPE_STRING, &passkey, DBUS_TYPE_INVALID);
    dbus_connection_send(conn, reply, nullptr);
    dbus_connection_flush(conn);
    dbus_message_unref(reply);
    return DBUS_HANDLER_RESULT_HANDLED;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !strcmp(argv[1], "-h") || !strcmp(argv[1], "--help")) {
        fprintf(argc == 2 ? stdout : stderr,
                "Usage: agent_bare_responder PASSKEY\n"
                "Answers RequestPinCode and RequestConfirmation at %s on the system bus;\n"
                "prints 'ready UNIQUE-NAME PATH' once it serves. Ends on SIGTERM or SIGINT.\n",
                path);
        return argc == 2 ? 0 : 2;
    }
    passkey = argv[1];
    if (!dbus_validate_utf8(passkey, nullptr)) {
        fprintf(stderr, "agent_bare_responder: the passkey is not UTF-8 text\n");
        return 2;
    }
    DBusConnection* conn = dbus_bus_get(DBUS_BUS_SYSTEM, nullptr);
    if (!conn) {
        fprintf(stderr, "agent_bare_responder: no system bus\n");
        return 1;
    }
    static const DBusObjectPathVTable vtable = {nullptr, handle,  nullptr,
                                                nullptr, nullptr, nullptr};
    if (!dbus_connection_register_object_path(conn, path, &vtable, nullptr)) {
        fprintf(stderr, "agent_bare_responder: cannot register %s\n", path);
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    printf("ready %s %s\n", dbus_bus_get_unique_name(conn), path);
    fflush(stdout);
    while (!stop && dbus_connection_read_write_dispatch(conn, 500)) {
    }
    dbus_connection_unref(conn);
    return 0;
}
