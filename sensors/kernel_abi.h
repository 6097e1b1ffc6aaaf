// What the module hands the kernel: record sizes, ioctl request numbers, open
// flags and codes, as the device's 32-bit ARM kernel expects them, checked at
// compile time so that a header change cannot slip by (in the platform's tree
// too). The host build differs only where its 64-bit time stamps widen
// input_event.
#pragma once

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <stddef.h>
#include <stdint.h>

// The time (two longs, whatever the libc's time_t) + type, code, value: 16 bytes on the
// device, 24 on x86_64.
static_assert(sizeof(struct input_event) == (UINTPTR_MAX == 0xffffffffu ? 16 : 24), "input_event");
static_assert(offsetof(struct input_event, type) == 2 * sizeof(long), "input_event.type");
static_assert(offsetof(struct input_event, code) == 2 * sizeof(long) + 2, "input_event.code");
static_assert(offsetof(struct input_event, value) == 2 * sizeof(long) + 4, "input_event.value");

// Legacy uinput set-up record: name[80], input_id, ff_effects_max, 4 x abs[64].
static_assert(sizeof(struct uinput_user_dev) == 1116, "uinput_user_dev");
static_assert(offsetof(struct uinput_user_dev, id) == UINPUT_MAX_NAME_SIZE, "uinput_user_dev.id");
static_assert(UINPUT_MAX_NAME_SIZE == 80, "uinput name field");

// Read, type 'E', number 6, size 4095.
static_assert(EVIOCGNAME(4095) == 0x8FFF4506u, "EVIOCGNAME(4095)");
static_assert(UI_SET_EVBIT == 0x40045564u, "UI_SET_EVBIT");
static_assert(UI_SET_KEYBIT == 0x40045565u, "UI_SET_KEYBIT");
static_assert(UI_DEV_CREATE == 0x5501u, "UI_DEV_CREATE");
static_assert(UI_DEV_DESTROY == 0x5502u, "UI_DEV_DESTROY");
// Read, type 'E', number 0x18, size 96: the keyboard's key state, one bit for each of 768 codes.
static_assert(KEY_CNT == 768, "key codes");
static_assert(EVIOCGKEY(96) == 0x80604518u, "EVIOCGKEY(96)");

static_assert(O_RDWR == 2, "O_RDWR");
static_assert((O_WRONLY | O_NONBLOCK) == 0x801, "O_WRONLY | O_NONBLOCK");
// Both opens add it: a helper that the service starts must not inherit them.
static_assert(O_CLOEXEC == 0x80000, "O_CLOEXEC");

// Event types and key codes the module classifies.
static_assert(EV_SYN == 0 && EV_KEY == 1 && EV_REP == 20, "event types");
static_assert(SYN_REPORT == 0 && SYN_DROPPED == 3, "sync codes");
static_assert(KEY_UP == 103 && KEY_RIGHT == 106 && KEY_DOWN == 108 && KEY_LEFT == 105, "arrows");
static_assert(KEY_LEFTCTRL == 29 && KEY_LEFTALT == 56, "modifiers");
static_assert(KEY_ESC == 1 && KEY_LEFTMETA == 125 && KEY_COMPOSE == 127, "buttons");

// The watch on /dev/input while no keyboard is open: a fixed 16-byte header, then len name bytes.
#include <sys/inotify.h>
static_assert(sizeof(struct inotify_event) == 16, "inotify_event");
static_assert(IN_ATTRIB == 0x4 && IN_MOVED_TO == 0x80 && IN_CREATE == 0x100, "inotify masks");
static_assert(IN_Q_OVERFLOW == 0x4000 && IN_IGNORED == 0x8000, "inotify notices");
static_assert(IN_NONBLOCK == O_NONBLOCK && IN_CLOEXEC == O_CLOEXEC, "inotify_init1 flags");
