# shellcheck shell=sh
# Shell helpers of the guests (busybox sh): every image has this file at /vm/helpers.sh, and
# guest scripts source it (". /vm/helpers.sh"); so does the device's init. Every wait is bounded.

# upto FILE PATTERN [PID [STEPS]]: PATTERN in FILE within STEPS x 50 ms (default 200: 10 s),
# and only while PID (if given) runs. Status 1: the time is up; 2: PID ended.
upto() {
  _i=0
  until grep -q "$2" "$1" 2>/dev/null; do
    if [ -n "$3" ] && ! kill -0 "$3" 2>/dev/null; then return 2; fi
    _i=$((_i+1)); [ $_i -gt "${4:-200}" ] && return 1
    usleep 50000
  done
  return 0
}

# ends PID: its end within 10 s, or SIGKILL; prints its status.
ends() {
  _i=0; while kill -0 "$1" 2>/dev/null && [ $_i -lt 200 ]; do _i=$((_i+1)); usleep 50000; done
  kill -KILL "$1" 2>/dev/null; wait "$1"; echo "status $?"
}

# key_port: prints the device node of the virtio serial port "keys" (the host's keys),
# waiting up to 5 s for it; status 1 without one.
key_port() {
  _i=0
  while [ $_i -lt 100 ]; do
    for _p in /sys/class/virtio-ports/*; do
      [ "$(cat "$_p/name" 2>/dev/null)" = keys ] && { echo "/dev/${_p##*/}"; return 0; }
    done
    _i=$((_i+1)); usleep 50000
  done
  return 1
}

# guest_keyboard: a keyboard for machines without one: vkeyboard made from the key
# port's lines ($keys the port, $kbd vkeyboard's PID), there once this returns.
guest_keyboard() {
  keys=$(key_port) || { echo "no key port"; return 1; }
  vkeyboard < "$keys" &
  # shellcheck disable=SC2034 # for the caller, which waits for it or ends it
  kbd=$!
  upto /proc/bus/input/devices 'Name="AT Translated Set 2 keyboard"' "" || {
    echo "no guest keyboard"; return 1; }
}

# For scripts that run as root on the device (DEVICE_USER=root) and play users; a
# background program's PID is its own ($AS USER -c 'exec ...' &).
AS="su -s /bin/sh"
as() { u=$1; shift; $AS "$u" -c "exec $*"; }

# The platform's daemon makes way for one that calls the agent only when told (on fd 5).
scripted_daemon() {
  kill "$(cat /run/btdaemon.pid)"
  mkfifo /tmp/bt.in
  $AS bluetooth -c 'exec btdaemon --script' < /tmp/bt.in > /tmp/bt.out 2>&1 &
  # shellcheck disable=SC2034 # for the caller, which ends it
  bt=$!
  exec 5> /tmp/bt.in
  upto /tmp/bt.out '^owner org.velto' || echo "no scripted daemon"
}
