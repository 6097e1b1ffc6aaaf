// Faults that the random campaign found, each replayed on its own.
#include "rig.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <csignal>

namespace {

const int wait_ms = 10000;

// Another client of the bus, as any local user may run one.
class Stranger {
  public:
    explicit Stranger(const std::string& address) {
        DBusError err;
        dbus_error_init(&err);
        conn_ = dbus_connection_open_private(address.c_str(), &err);
        if (conn_ && !dbus_bus_register(conn_, &err)) {
            dbus_connection_close(conn_);
            dbus_connection_unref(conn_);
            conn_ = nullptr;
        }
        dbus_error_free(&err);
    }
    ~Stranger() {
        if (conn_) {
            dbus_connection_close(conn_);
            dbus_connection_unref(conn_);
        }
    }
    bool connected() const { return conn_ != nullptr; }

    // The bus daemon's notice that "org.velto" has left, forged; destination empty: broadcast.
    bool send_departure(const std::string& destination) {
        DBusMessage* m = dbus_message_new_signal("/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                 "NameOwnerChanged");
        const char* name = "org.velto";
        const char* old_owner = ":1.1";
        const char* new_owner = "";
        bool ok =
            m && dbus_message_append_args(m, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                                          DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID);
        if (ok && !destination.empty())
            ok = dbus_message_set_destination(m, destination.c_str());
        ok = ok && dbus_connection_send(conn_, m, nullptr);
        dbus_connection_flush(conn_);
        if (m)
            dbus_message_unref(m);
        return ok;
    }

    // Answered once the agent has dispatched all that this client sent before.
    bool ping(const std::string& destination) {
        DBusMessage* m = dbus_message_new_method_call(destination.c_str(), "/",
                                                      "org.freedesktop.DBus.Peer", "Ping");
        if (!m)
            return false;
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn_, m, wait_ms, nullptr);
        dbus_message_unref(m);
        if (reply)
            dbus_message_unref(reply);
        return reply != nullptr;
    }

  private:
    DBusConnection* conn_ = nullptr;
};

class ForgedDeparture : public testing::TestWithParam<bool>, public Rig {};

// Only the bus daemon can tell that a name has lost its owner; a notice with any other sender
// is forged and must not end the agent.
TEST_P(ForgedDeparture, DoesNotEndTheAgent) {
    bool broadcast = GetParam();
    ASSERT_TRUE(start_serving({"1234"}));
    std::string agent_name = agent_line.substr(6, agent_line.find(' ', 6) - 6);

    Stranger stranger(bus.address());
    ASSERT_TRUE(stranger.connected());
    ASSERT_TRUE(stranger.send_departure(broadcast ? "" : agent_name));
    ASSERT_TRUE(stranger.ping(agent_name)) << agent.err();
    daemon.write_line("call Cancel");
    ASSERT_TRUE(daemon.wait_line("reply Cancel", wait_ms)) << daemon.out() << agent.err();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(wait_ms), 0);
    EXPECT_EQ(agent.err(), "");
    EXPECT_TRUE(daemon.wait_line("UnregisterAgent /org/velto/agent_", wait_ms)) << daemon.out();
}

INSTANTIATE_TEST_SUITE_P(Agent, ForgedDeparture, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "Broadcast" : "ToTheAgent");
                         });

} // namespace
