#include "agent_object.h"

#include "program.h"

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/select.h>

static const char agent_interface[] = "org.velto.Agent";
static const char rejected_error[] = "org.velto.Error.Rejected";

static DBusHandlerResult reply_not_created() {
    fprintf(stderr, "Can't create reply message\n");
    return DBUS_HANDLER_RESULT_NEED_MEMORY;
}

// A reply together with the room to queue it, both taken before the request line is printed:
// a send that fails for want of memory would lose the reply while the call counts as answered.
// Not made, the handler reports it and returns "need memory", and the bus library hands the
// call in again.
class Reply {
  public:
    Reply(DBusConnection* conn, DBusMessage* msg) : conn_(conn), msg_(msg) {
        if (msg_)
            slot_ = dbus_connection_preallocate_send(conn_);
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() {
        if (slot_)
            dbus_connection_free_preallocated_send(conn_, slot_);
        if (msg_)
            dbus_message_unref(msg_);
    }

    bool made() const { return msg_ && slot_; }
    DBusMessage* message() const { return msg_; }

    // Cannot fail: the room was taken up front.
    DBusHandlerResult send() {
        dbus_connection_send_preallocated(conn_, slot_, msg_, nullptr);
        slot_ = nullptr;
        dbus_connection_flush(conn_);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

  private:
    DBusConnection* conn_;
    DBusMessage* msg_;
    DBusPreallocatedSend* slot_ = nullptr;
};

static DBusHandlerResult invalid_arguments(const char* member) {
    fprintf(stderr, "Invalid arguments for %s method", member);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

static DBusHandlerResult send_rejection(DBusConnection* conn, DBusMessage* msg) {
    Reply reply(conn, dbus_message_new_error(msg, rejected_error, ""));
    if (!reply.made())
        return reply_not_created();
    return reply.send();
}

// A negative delay counts as none: sleep() would take it as a huge unsigned count.
// SIGTERM, SIGINT and SIGHUP are blocked until the wait begins, so that one arriving just after
// the line has been printed still cuts the wait short instead of being slept through.
static void wait_reply_delay() {
    if (reply_delay <= 0)
        return;
    printf("Waiting for %d seconds\n", reply_delay);

    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, &old);
    if (!terminate_requested) {
        struct timespec delay = {reply_delay, 0};
        pselect(0, nullptr, nullptr, nullptr, &delay, &old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// The passkey as the device's 32-bit strtoul(…, 10) reads it, whatever the host's long is:
// leading digits only, saturating at the largest value, a minus sign negating modulo 2^32.
static uint32_t passkey_number(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    uint64_t value = 0;
    bool overflow = false;
    for (; isdigit(*p); p++) {
        value = value * 10 + (*p - '0');
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;
        }
    }
    if (overflow)
        return UINT32_MAX;
    return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value))
                    : static_cast<uint32_t>(value);
}

DBusHandlerResult on_request_pin_code(DBusConnection* conn, DBusMessage* msg) {
    if (!agent_passkey)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char* device;
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_INVALID))
        return invalid_arguments("RequestPinCode");
    if (reject_requests)
        return send_rejection(conn, msg);

    Reply reply(conn, dbus_message_new_method_return(msg));
    if (!reply.made())
        return reply_not_created();
    printf("Pincode request for device %s\n", device);
    wait_reply_delay();
    // Without its argument the reply would be a wrong answer, not a missing one.
    if (!dbus_message_append_args(reply.message(), DBUS_TYPE_STRING, &agent_passkey,
                                  DBUS_TYPE_INVALID))
        return reply_not_created();
    return reply.send();
}

DBusHandlerResult on_request_passkey(DBusConnection* conn, DBusMessage* msg) {
    if (!agent_passkey)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char* device;
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_INVALID))
        return invalid_arguments("RequestPasskey");
    if (reject_requests)
        return send_rejection(conn, msg);

    Reply reply(conn, dbus_message_new_method_return(msg));
    if (!reply.made())
        return reply_not_created();
    printf("Passkey request for device %s\n", device);
    wait_reply_delay();
    dbus_uint32_t passkey = passkey_number(agent_passkey);
    if (!dbus_message_append_args(reply.message(), DBUS_TYPE_UINT32, &passkey, DBUS_TYPE_INVALID))
        return reply_not_created();
    return reply.send();
}

DBusHandlerResult on_request_confirmation(DBusConnection* conn, DBusMessage* msg) {
    const char* device;
    dbus_uint32_t value;
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_UINT32,
                               &value, DBUS_TYPE_INVALID))
        return invalid_arguments("RequestConfirmation");
    if (reject_requests)
        return send_rejection(conn, msg);

    Reply reply(conn, dbus_message_new_method_return(msg));
    if (!reply.made())
        return reply_not_created();
    printf("Confirmation request of %u for device %s\n", value, device);
    wait_reply_delay();
    return reply.send();
}

DBusHandlerResult on_authorize(DBusConnection* conn, DBusMessage* msg) {
    const char* device;
    const char* uuid;
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_STRING,
                               &uuid, DBUS_TYPE_INVALID))
        return invalid_arguments("Authorize");
    if (reject_requests)
        return send_rejection(conn, msg);

    Reply reply(conn, dbus_message_new_method_return(msg));
    if (!reply.made())
        return reply_not_created();
    printf("Authorizing request for %s\n", device);
    return reply.send();
}

DBusHandlerResult on_cancel(DBusConnection* conn, DBusMessage* msg) {
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_INVALID))
        return invalid_arguments("Cancel");
    printf("Request canceled\n");

    Reply reply(conn, dbus_message_new_method_return(msg));
    if (!reply.made())
        return reply_not_created();
    return reply.send();
}

DBusHandlerResult on_release(DBusConnection* conn, DBusMessage* msg) {
    if (!dbus_message_get_args(msg, nullptr, DBUS_TYPE_INVALID))
        return invalid_arguments("Release");
    if (!terminate_requested)
        fprintf(stderr, "Agent has been released\n");
    // Set before the reply, so that the loop ends even when no reply can be made.
    registration_gone = 1;

    Reply reply(conn, dbus_message_new_method_return(msg));
    if (!reply.made())
        return reply_not_created();
    return reply.send();
}

// The passkey is for the daemon alone: any local client can reach the agent's path.
static bool from_daemon(DBusMessage* msg) {
    const char* sender = dbus_message_get_sender(msg);
    return sender && daemon_owner[0] && strcmp(sender, daemon_owner) == 0;
}

// Before the arguments are read: a stranger's call prints nothing and changes nothing.
static DBusHandlerResult deny_access(DBusConnection* conn, DBusMessage* msg) {
    Reply reply(conn, dbus_message_new_error(msg, DBUS_ERROR_ACCESS_DENIED,
                                             "Only the Bluetooth daemon may call the agent"));
    if (!reply.made())
        return reply_not_created();
    return reply.send();
}

DBusHandlerResult agent_object_handler(DBusConnection* conn, DBusMessage* msg, void*) {
    static const struct {
        const char* member;
        DBusHandlerResult (*handle)(DBusConnection*, DBusMessage*);
    } methods[] = {
        {"RequestPinCode", on_request_pin_code},
        {"RequestPasskey", on_request_passkey},
        {"RequestConfirmation", on_request_confirmation},
        {"Authorize", on_authorize},
        {"Cancel", on_cancel},
        {"Release", on_release},
    };
    for (const auto& method : methods) {
        if (dbus_message_is_method_call(msg, agent_interface, method.member))
            return from_daemon(msg) ? method.handle(conn, msg) : deny_access(conn, msg);
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
