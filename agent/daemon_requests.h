// Requests to the Bluetooth daemon ("org.velto"). Lookups return a malloc'd path owned by the
// caller, the others 0 or -1. Lookups, RegisterAgent and CreatePairedDevice write the unique
// name of the connection that took the request into owner (owner_size bytes); a reply from any
// connection but the owner of "org.velto" is a failure. CreatePairedDevice writes its call's
// serial into serial. Every failure has been reported on standard error.
#pragma once

#include <dbus/dbus.h>

#include <cstddef>

char* query_default_adapter(DBusConnection* conn, char* owner, size_t owner_size);
char* query_adapter(DBusConnection* conn, const char* adapter, char* owner, size_t owner_size);
int send_register_agent(DBusConnection* conn, const char* adapter_path, const char* agent_path,
                        const char* capability, char* owner, size_t owner_size);
int send_unregister_agent(DBusConnection* conn, const char* adapter_path, const char* agent_path);
int send_create_paired_device(DBusConnection* conn, const char* adapter_path,
                              const char* agent_path, const char* capability, const char* device,
                              char* owner, size_t owner_size, dbus_uint32_t* serial);
