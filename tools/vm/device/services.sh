# shellcheck shell=sh
# The device's services, at /vm/services.sh: how init starts them, and `restart NAME` for a
# running device (`sh /vm/services.sh restart sensors`, which ./dev device install runs).

# The sensor service loads the module by id and variant from /system/lib/hw; its log shows
# every priority.
SENSORS="env ANDROID_LOG_TAGS='*:v' sensormon -d /system/lib/hw"

# start USER NAME COMMAND: COMMAND as USER in the background, its output (log included)
# in /data/log/NAME.log for anyone to read, its PID in /run/NAME.pid.
# /data/log/init.log tells where the boot's time goes (guest clock).
start() {
    su -s /bin/sh "$1" -c "exec $3" < /dev/null > "/data/log/$2.log" 2>&1 &
    echo $! > "/run/$2.pid"
    echo "$(cut -d' ' -f1 /proc/uptime) started $2 ($1)" >> /data/log/init.log
}

# await NAME PATTERN: PATTERN in NAME's log within 10 s while NAME runs.
await() {
    upto /data/log/"$1".log "$2" "$(cat /run/"$1".pid)"
    case $? in
        0) echo "$(cut -d' ' -f1 /proc/uptime) $1 is up" >> /data/log/init.log ;;
        1) echo "device: $1 not ready after 10 s"; return 1 ;;
        *) echo "device: $1 ended: $(tail -n 3 /data/log/"$1".log)"; return 1 ;;
    esac
}

# named_port NAME: the device node of the virtio serial port NAME, within 5 s.
named_port() {
    _i=0
    while [ $_i -lt 100 ]; do
        for _p in /sys/class/virtio-ports/*; do
            [ "$(cat "$_p/name" 2>/dev/null)" = "$1" ] && { echo "/dev/${_p##*/}"; return 0; }
        done
        _i=$((_i+1)); usleep 50000
    done
    return 1
}

# restart NAME: ends the service (SIGTERM, SIGKILL after 10 s), keeps its log as NAME.log.1
# and starts it again as init did; status 0 once it is up again.
restart() {
    case $1 in
        sensors) ;;
        *) echo "restart: no service $1 (sensors)"; return 2 ;;
    esac
    _pid=$(cat "/run/$1.pid" 2>/dev/null)
    if [ -n "$_pid" ] && kill -TERM "$_pid" 2>/dev/null; then
        _i=0
        while kill -0 "$_pid" 2>/dev/null && [ $_i -lt 200 ]; do _i=$((_i+1)); usleep 50000; done
        kill -KILL "$_pid" 2>/dev/null
    fi
    mv -f "/data/log/$1.log" "/data/log/$1.log.1" 2>/dev/null
    start system sensors "$SENSORS"
    await sensors 'activated 0' && echo "restarted $1 (PID $(cat "/run/$1.pid"))"
}

if [ "${0##*/}" = services.sh ] && [ "$1" = restart ]; then
    # shellcheck source=tools/vm/guest/helpers.sh
    . /vm/helpers.sh
    restart "$2"
fi
