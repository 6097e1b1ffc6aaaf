#!/usr/bin/env bash
# The monitor's command line and output, on a host without keyboard or uinput.
set -uo pipefail
mon=$1 libdir=$2 scripted=$3
# An emulator prefix (the cross build's runner), or nothing.
run=()
[ -n "${4:-}" ] && run=("$4")
tmp=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# The log's lines as "TAG LEVEL PID TID message", from either form that liblog writes:
# "TAG L MM-DD HH:MM:SS PID TID message" (Debian 12) or
# "MM-DD HH:MM:SS.mmm PID TID L TAG: message" (Debian 13). Other lines pass unchanged.
logs() {
    sed -E -e 's/^([^ ]+) ([VDIWEF]) [0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} +([0-9]+) +([0-9]+) /\1 \2 \3 \4 /' \
        -e 't' \
        -e 's/^[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} +([0-9]+) +([0-9]+) ([VDIWEF]) ([^ :]+): /\4 \3 \1 \2 /' \
        "$tmp/err"
}

"${run[@]}" "$mon" -h >"$tmp/out" 2>"$tmp/err"; st=$?
[ $st -eq 0 ] || fail "-h exit $st"
[ "$(cat "$tmp/out")" = "Usage: sensormon [-d DIR] [-v VARIANT] [-n COUNT]" ] || fail "-h text: $(cat "$tmp/out")"

for bad in "-x" "-n 0" "-n abc" "extra"; do
    # shellcheck disable=SC2086 # each case is its words
    "${run[@]}" "$mon" $bad >"$tmp/out" 2>"$tmp/err"; st=$?
    [ $st -eq 2 ] || fail "$bad: exit $st"
    [ ! -s "$tmp/out" ] || fail "$bad: wrote to stdout"
    grep -q '^Usage: sensormon' "$tmp/err" || fail "$bad: no usage on stderr"
done

"${run[@]}" "$mon" -d "$tmp" >"$tmp/out" 2>"$tmp/err"; st=$?
[ $st -eq 1 ] || fail "missing module: exit $st"
{ [ "$(wc -l <"$tmp/err")" -eq 1 ] && grep -q "^sensormon: cannot load module: $tmp/sensors.vardel.so" "$tmp/err"; } ||
    fail "missing module: $(cat "$tmp/err")"

# Default folder: ../lib beside the binary, which is where the build puts the module.
for dir in "" "$libdir"; do
    args=()
    [ -n "$dir" ] && args=(-d "$dir")
    # The last run's output would let the wait below signal before the handlers are in place.
    rm -f "$tmp/out"
    "${run[@]}" "$mon" "${args[@]}" >"$tmp/out" 2>"$tmp/err" &
    pid=$!
    for _ in $(seq 100); do grep -qs '^activated 0$' "$tmp/out" && break; sleep 0.05; done
    kill -TERM "$pid"
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -0 "$pid" 2>/dev/null && fail "still running after SIGTERM"
    wait "$pid"; st=$?
    pid=
    [ $st -eq 0 ] || fail "run '${args[*]}': exit $st"
    cat >"$tmp/want" <<'TXT'
module id=sensors name="Kbd Orientation Sensor" author="Brannoc" version=2.3
sensor 0: name="Kbd Orientation Sensor" vendor="Quorvane" version=1 handle=0 type=1 maxRange=2.8 resolution=0.000248016 power=3 minDelay=0
opened
activated 0
closed
TXT
    diff "$tmp/want" "$tmp/out" >&2 || fail "run '${args[*]}': output differs"
    # liblog's default threshold is info: no debug line unless ANDROID_LOG_TAGS asks.
    logs | grep -q '^KbdSensor D ' && fail "run '${args[*]}': debug lines by default"
done
# ANDROID_LOG_TAGS's default entry lowers the module's threshold to debug; "*:e" raises it.
for tags in '*:d' 'KbdSensor:s *:v' '*:e'; do
    rm -f "$tmp/out"
    ANDROID_LOG_TAGS=$tags "${run[@]}" "$mon" -d "$libdir" >"$tmp/out" 2>"$tmp/err" &
    pid=$!
    for _ in $(seq 100); do grep -qs '^activated 0$' "$tmp/out" && break; sleep 0.05; done
    kill -TERM "$pid"; wait "$pid"; pid=
    if [ "$tags" = '*:e' ]; then
        logs | grep -q '^KbdSensor [DIVW] ' && fail "$tags: lines below error: $(cat "$tmp/err")"
    else
        logs | grep -q '^KbdSensor D .*SensorPollContext: dev=' || fail "$tags: no debug line: $(cat "$tmp/err")"
    fi
done
# While poll waits, SIGUSR1 toggles the sensor and SIGUSR2 steps the delay, one line each, and the
# module sees those calls from threads other than the one in poll.
lines() { if [ -e "$tmp/out" ]; then wc -l < "$tmp/out"; else echo 0; fi; }
rm -f "$tmp/out"
ANDROID_LOG_TAGS='*:d' "${run[@]}" "$mon" -d "$libdir" >"$tmp/out" 2>"$tmp/err" &
pid=$!
want=4
for sig in USR1 USR2 USR2 USR2 USR2 USR2 USR1; do
    for _ in $(seq 100); do [ "$(lines)" -ge $want ] && break; sleep 0.05; done
    [ "$(lines)" -eq $want ] || fail "before $sig: $(cat "$tmp/out")"
    kill -"$sig" "$pid"
    want=$((want + 1))
done
for _ in $(seq 100); do [ "$(lines)" -ge $want ] && break; sleep 0.05; done
kill -TERM "$pid"; wait "$pid"; st=$?; pid=
[ $st -eq 0 ] || fail "control: exit $st"
cat >"$tmp/want" <<'TXT'
activated 0
activate 0
delay 200000000
delay 66667000
delay 20000000
delay 0
delay 200000000
activate 1
closed
TXT
tail -n +4 "$tmp/out" | diff "$tmp/want" - >&2 || fail "control: output differs"
# Fields: tag, level, pid, tid, message. The first "enabled=0" is the toggle's; the closing one
# comes later, from the polling thread.
tid_of() { logs | awk -v m="$1" '$1 == "KbdSensor" && index($0, m) { print $4; exit }'; }
poller=$(tid_of 'poll_poll: dev=')
for call in 'handle=0 enabled=0' 'poll_setDelay: dev='; do
    tid=$(tid_of "$call")
    { [ -n "$poller" ] && [ -n "$tid" ] && [ "$tid" != "$poller" ]; } ||
        fail "$call from thread '$tid', poll from '$poller': $(cat "$tmp/err")"
done
# -n: reports in order, rotation derived from the vector, then a clean close.
"${run[@]}" "$mon" -d "$scripted" -v scripted -n 5 >"$tmp/out" 2>"$tmp/err"; st=$?
[ $st -eq 0 ] || fail "-n 5: exit $st: $(cat "$tmp/err")"
cat >"$tmp/want" <<'TXT'
module id=sensors name="Scripted" author="tests" version=1.0
sensor 0: name="Scripted" vendor="tests" version=1 handle=0 type=1 maxRange=1 resolution=0.5 power=0.25 minDelay=0
opened
activated 0
report rotation=0 x=0.000000 y=9.772881 z=0.813139 t=1000
report rotation=90 x=9.772881 y=0.000000 z=0.813139 t=1001
report rotation=180 x=0.000000 y=9.772881 z=-0.813139 t=1002
report rotation=270 x=-9.772881 y=0.000000 z=-0.813139 t=1003
report rotation=0 x=0.000000 y=9.772881 z=0.813139 t=1000
closed
TXT
diff "$tmp/want" "$tmp/out" >&2 || fail "-n 5: output differs"
echo ok
