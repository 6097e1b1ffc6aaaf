// Start-up, dispatch loop and shutdown of the pairing agent, and the state that they share with
// the agent object.
#pragma once

#include <dbus/dbus.h>

#include <csignal>

extern volatile sig_atomic_t terminate_requested;
extern char* agent_passkey;
extern int reject_requests;
extern int reply_delay;
extern int registration_gone;
// Unique bus name of the daemon's connection, the only caller that the agent answers: the one
// that took the registration or the pairing request (until then the one that answered the
// adapter lookup), or the one that it hands "org.velto" to. Empty before the lookup's answer.
extern char daemon_owner[DBUS_MAXIMUM_NAME_LENGTH + 1];

void print_usage();
