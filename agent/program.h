// Start-up, dispatch loop and shutdown of the pairing agent, and the state that they share with
// the agent object.
#pragma once

#include <csignal>

extern volatile sig_atomic_t terminate_requested;
extern char* agent_passkey;
extern int reject_requests;
extern int reply_delay;
extern int registration_gone;

void print_usage();
