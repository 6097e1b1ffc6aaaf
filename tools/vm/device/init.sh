#!/bin/busybox sh
# shellcheck shell=sh
# The device's init: what the platform starts, each as its own user, then the shell
# user's console (or the host's one command) and power-off.
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin /run /data/log
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
for m in /vm/modules/*.ko; do
    insmod "$m" || echo "device: insmod $m failed"
done
# Device nodes get the owners of /etc/mdev.conf, also those made later (uinput's).
mdev -s
mdev -d
# shellcheck source=/dev/null # the run's environment, written per run
[ -f /vm/env ] && . /vm/env
# shellcheck source=tools/vm/device/profile
. /etc/profile
# shellcheck source=tools/vm/guest/helpers.sh
. /vm/helpers.sh
hostname vardel
mkdir -p /run/dbus /data/local/tmp /data/system /data/misc/bluetooth
chown shell:shell /data/local/tmp
chown system:system /data/system
chown bluetooth:bluetooth /data/misc/bluetooth

# shellcheck source=tools/vm/device/services.sh
. /vm/services.sh

# What depends on nothing starts at once; the rest as soon as what it needs is up.
# The bus drops to messagebus itself (system.conf's <user>).
start root dbus "dbus-daemon --system --nofork --nopidfile --print-address"
start system servicemanager servicemanager
# No keyboard on this machine: vkeyboard makes one, typed from the host on the port "keys".
port=$(key_port)
if [ -n "$port" ]; then
    start root keyboard "vkeyboard < $port"
else
    echo "device: no key port; no keyboard"
fi
# A session's command channel: the guest agent, as root, on its own virtio port.
if [ -n "$DEVICE_SESSION" ]; then
    if agent=$(named_port org.qemu.guest_agent.0); then
        start root qga "qemu-ga -m virtio-serial -p $agent -f /run/qemu-ga.pid -t /run"
    else
        echo "device: no agent port; no command channel"
    fi
fi
await dbus unix: && start bluetooth btdaemon btdaemon
await servicemanager serving && start system samples binder-samples
# The sensor service loads the module by id and variant from /system/lib/hw, after the
# keyboard is there; its log shows every priority.
[ -n "$port" ] && await keyboard 'keyboard ready'
start system sensors "$SENSORS"
await samples serving
await btdaemon 'owner org.velto'
await sensors 'activated 0'
read -r up _ < /proc/uptime

if [ -f /vm/cmd.sh ]; then
    # Host input on the serial line is for the command, not to be echoed back.
    stty -echo < /dev/console 2>/dev/null
    echo "device: up after $up s of guest time"
    echo "vm: guest ready"
    chmod 644 /vm/cmd.sh
    # Given as text, not as a file, so that the shell's messages name the command
    # ("sh: nosuchcmd: not found"), not this image's script.
    if [ "$DEVICE_USER" = root ]; then
        (cd /tmp && sh -c "$(cat /vm/cmd.sh)")
    else
        # shellcheck disable=SC2016 # the shell user's sh expands it
        su -s /bin/sh shell -c 'cd && exec sh -c "$(cat /vm/cmd.sh)"'
    fi
    rc=$?
    echo
    echo "vm: guest command exited with status $rc"
elif [ -n "$DEVICE_SESSION" ]; then
    # Left running for ./dev device exec, install and logs; the serial console is the one
    # that ./dev device attaches to: `exit` there gives a new login, `stop` powers off.
    echo "device: up after $up s of guest time; a session"
    echo "vm: guest ready"
    while :; do
        setsid cttyhack su -l -s /bin/sh shell
        sleep 0.5  # a login that fails at once is not retried in a busy loop
    done
else
    [ -n "$COLUMNS" ] && stty cols "$COLUMNS" rows "$LINES" < /dev/console
    echo "device: up after $up s of guest time; console of the user shell ('exit' powers off)"
    echo "device: try agent 0000, service list, service call echo 1 i32 7; keys from the host: ./dev device --keys down esc"
    echo "device: logs in /data/log (sensors.log: the sensor service and the module's log)"
    setsid cttyhack su -l -s /bin/sh shell
    echo "device: powering off"
fi
for f in /run/*.pid; do kill -TERM "$(cat "$f")" 2>/dev/null; done
sleep 0.2
for f in /run/*.pid; do kill -KILL "$(cat "$f")" 2>/dev/null; done
echo 0 > /proc/sys/kernel/printk  # the kernel's own power-down line
poweroff -f
