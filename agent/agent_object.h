// The agent object: answers the Bluetooth daemon's pairing calls at the agent object path.
#pragma once

#include <dbus/dbus.h>

DBusHandlerResult agent_object_handler(DBusConnection* conn, DBusMessage* msg, void* data);

DBusHandlerResult on_request_pin_code(DBusConnection* conn, DBusMessage* msg);
DBusHandlerResult on_request_passkey(DBusConnection* conn, DBusMessage* msg);
DBusHandlerResult on_request_confirmation(DBusConnection* conn, DBusMessage* msg);
DBusHandlerResult on_authorize(DBusConnection* conn, DBusMessage* msg);
DBusHandlerResult on_cancel(DBusConnection* conn, DBusMessage* msg);
DBusHandlerResult on_release(DBusConnection* conn, DBusMessage* msg);
