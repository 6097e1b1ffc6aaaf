# shellcheck shell=sh
# Flood figures, not a test: run inside the guest by
#   PYTHONPATH=tools/vm python3 -m vm run -b BUILD_DIR -t 300 -- "$(cat bench/vm/flood.sh)"
# One row a run; runs alternate between the module and the bare forwarder.
# vkeyboard types N Esc strokes at full speed into a keyboard read by one forwarder, the module
# (under the monitor) or the bare forwarder (evprobe relay); Esc presses are counted on its device.
N=${N:-3000}
# shellcheck source=tools/vm/guest/helpers.sh
. /vm/helpers.sh
for p in /sys/bus/serio/drivers/atkbd/serio*; do [ -e "$p" ] && basename "$p" > /sys/bus/serio/drivers/atkbd/unbind; done
have() { upto /proc/bus/input/devices "Name=\"$1\"" "" 600 || { echo "no $1"; exit 1; }; }
mkfifo /tmp/k
vkeyboard < /tmp/k > /tmp/kbd.out & kbd=$!
exec 3> /tmp/k
have "AT Translated Set 2 keyboard"
for run in 1 2 3 4 5 6; do
  if [ $((run % 2)) = 1 ]; then
    sensormon > /tmp/mon.out 2>&1 & fwd=$!; dev="Zaze V2 Buttons"; who=module
  else
    evprobe relay "AT Translated Set 2 keyboard" > /tmp/relay.out & fwd=$!; dev="Bare Buttons"; who=bare
  fi
  have "$dev"
  evprobe count "$dev" 60000 1 > /tmp/c & c=$!
  sleep 1
  : > /tmp/kbd.out
  echo "flood 1 $N" >&3
  upto /tmp/kbd.out flooded "" 1200
  sleep 3
  kill -TERM $fwd; wait $fwd; wait $c
  echo "run $run $who: $(cat /tmp/kbd.out) $(tail -n1 /tmp/c) drops-logged: $(grep -c 'dropped by the kernel' /tmp/mon.out)"
done
echo quit >&3; wait $kbd
