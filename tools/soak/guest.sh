# The soak's guest side (run as root after the device's GUEST_HELPERS): takes one step a
# line on the console ("ID ACTION ARGS") and answers in lines "soak: ID ...", ending
# with "soak: ID end". Every wait is bounded; every program it starts ends by its PID.
# shellcheck shell=sh disable=SC2086,SC2154,SC2046,SC2015,SC2012
say() { echo "soak: $id $*"; }
count() { grep -cE "$2" "$1" 2>/dev/null || true; }
# end PID: waits for it (ends, from this shell: a $(...) subshell cannot wait for it)
end() { ends "$1" > /tmp/end.st; cat /tmp/end.st; }
# grows FILE PATTERN N: more than N lines match within 10 s
grows() {
  i=0; while [ "$(count "$1" "$2")" -le "$3" ]; do i=$((i+1)); [ $i -gt 200 ] && return 1; usleep 50000; done
}
typed() { count /data/log/keyboard.log '^typed'; }
pid() { cat /run/"$1".pid; }
alive() { # every long-lived process still there
  for p in sensors servicemanager dbus; do kill -0 "$(pid $p)" 2>/dev/null || say died $p; done
  kill -0 $bt 2>/dev/null || say died btdaemon
  kill -0 $ag 2>/dev/null || say died agent
}
new_agent() {
  n=$(count /tmp/bt.out '^agent ')
  $AS shell -c 'exec agent 0000' > /tmp/agent.out 2>&1 & ag=$!
  grows /tmp/bt.out '^agent ' $n || say agent did not register
  set -- $(grep '^agent ' /tmp/bt.out | tail -n 1); agname=$2 agpath=$3
}
since() { tail -n +$(($2 + 1)) "$1"; }

scripted_daemon
$AS shell -c 'exec evprobe watch "Zaze V2 Buttons" 86400000' > /tmp/zaze.out 2>&1 & ev=$!
upto /tmp/zaze.out '^watching' || echo "soak: no watch on the virtual device"
new_agent
zmark=$(wc -l < /tmp/zaze.out); smark=$(wc -l < /data/log/sensors.log)
echo "soak: ready $(typed)"

while read -r id action a1; do
  case $action in
  stop)
    # Events typed before the stop count as outside it only once the service has read
    # them: it then sleeps in poll (woken by any event, it would not be).
    sp=$(pid sensors); i=0
    while :; do
      n=$(typed)
      case $(cat /proc/$sp/wchan) in *poll*) break ;; esac
      i=$((i+1)); [ $i -gt 100 ] && { n=unsettled; break; }
      usleep 10000
    done
    kill -STOP $sp; say stopped $n ;;
  cont) kill -CONT "$(pid sensors)"; say continued "$(typed)" ;;
  toggle|delay)
    [ $action = toggle ] && { sig=USR1; pat='^activate'; } || { sig=USR2; pat='^delay'; }
    n=$(count /data/log/sensors.log $pat)
    kill -$sig "$(pid sensors)"
    grows /data/log/sensors.log $pat $n || say no answer to $sig
    say "$(grep $pat /data/log/sensors.log | tail -n 1)" ;;
  quiet)
    # Every event typed, the host's closing Esc (the last of $a2) through the service,
    # its output settled, then the virtual device's keys.
    a2=${a1#* }; a1=${a1% *}
    i=0; while [ "$(typed)" -lt "$a1" ] && [ $i -lt 600 ]; do i=$((i+1)); usleep 50000; done
    i=0
    while [ "$(since /tmp/zaze.out $zmark | grep -c '^event type=1 code=1 value=0$')" -lt "$a2" ] && [ $i -lt 600 ]; do
      i=$((i+1)); usleep 50000
    done
    i=0; last=
    while [ $i -lt 100 ]; do
      now="$(wc -l < /data/log/sensors.log) $(wc -l < /tmp/zaze.out)"
      [ "$now" = "$last" ] && break
      last=$now; i=$((i+1)); usleep 300000
    done
    i=0; held=$(evprobe keys "Zaze V2 Buttons")
    while [ -n "$held" ] && [ $i -lt 50 ]; do i=$((i+1)); usleep 200000; held=$(evprobe keys "Zaze V2 Buttons"); done
    say typed "$(typed)"
    say held $held
    say downs $(since /tmp/zaze.out $zmark | sed -n 's/^event type=1 code=\([0-9]*\) value=1$/\1/p' | tr '\n' ' ')
    say reports $(since /data/log/sensors.log $smark | sed -n 's/^report rotation=\([0-9]*\) .*/\1/p' | tr '\n' ' ')
    zmark=$(wc -l < /tmp/zaze.out); smark=$(wc -l < /data/log/sensors.log) ;;
  round)
    n=$(wc -l < /tmp/bt.out); m=$(wc -l < /tmp/agent.out)
    for member in $(echo "$a1" | tr , ' '); do
      r=$(count /tmp/bt.out '^(reply|error) ')
      case $member in
        RequestPinCode|RequestPasskey) echo "call $member o $DEV" >&5 ;;
        RequestConfirmation) echo "call $member ou $DEV 123456" >&5 ;;
        Authorize) echo "call $member os $DEV $UUID" >&5 ;;
        *) echo "call $member" >&5 ;;
      esac
      grows /tmp/bt.out '^(reply|error) ' $r || say no reply to $member
      [ $member = Release ] && break
    done
    since /tmp/bt.out $n | grep -E '^(reply|error) ' | while read -r l; do say "daemon $l"; done
    case $member in Release)
      end $ag > /tmp/ag.st; say "exit $(cat /tmp/ag.st)"
      since /tmp/agent.out $m | while read -r l; do say "agent $l"; done
      new_agent ;;
    *) since /tmp/agent.out $m | while read -r l; do say "agent $l"; done ;;
    esac ;;
  restart|term)
    n=$(wc -l < /tmp/bt.out); m=$(wc -l < /tmp/agent.out)
    if [ $action = restart ]; then
      echo quit >&5; exec 5>&-; end $bt > /tmp/bt.st; say "daemon $(cat /tmp/bt.st)"
      end $ag > /tmp/ag.st; say "exit $(cat /tmp/ag.st)"
      rm -f /tmp/bt.in
    else
      kill -TERM $ag; end $ag > /tmp/ag.st; say "exit $(cat /tmp/ag.st)"
    fi
    say path $agpath
    since /tmp/agent.out $m | while read -r l; do say "agent $l"; done
    since /tmp/bt.out $n | while read -r l; do say "daemon $l"; done
    if [ $action = restart ]; then
      mkfifo /tmp/bt.in
      $AS bluetooth -c 'exec btdaemon --script' < /tmp/bt.in > /tmp/bt.out 2>&1 & bt=$!
      exec 5> /tmp/bt.in
      upto /tmp/bt.out '^owner org.velto' || say no scripted daemon
    fi
    new_agent ;;
  stranger)
    if [ "$a1" = call ]; then
      out=$(as stranger "timeout -s KILL 10 dbus-send --system --print-reply --dest=$agname $agpath" \
        "org.velto.Agent.RequestPinCode objpath:/org/velto/hci0/dev_stranger" 2>&1)
    else
      out=$(as stranger "timeout -s KILL 10 btdaemon" 2>&1)
    fi
    st=$?
    echo "$out" | while read -r l; do say "out $l"; done
    say "status $st" ;;
  pair)
    n=$(count /tmp/bt.out '^agent '); b=$(wc -l < /tmp/bt.out)
    $AS shell -c 'exec agent 0000 00:11:22:33:44:55' > /tmp/pair.out 2>&1 & pa=$!
    grows /tmp/bt.out '^agent ' $n || say pairing agent did not ask
    echo "call RequestPinCode o $DEV" >&5
    echo "call Release" >&5
    end $pa > /tmp/pa.st; say "exit $(cat /tmp/pa.st)"
    since /tmp/bt.out $b | while read -r l; do say "daemon $l"; done
    while read -r l; do say "agent $l"; done < /tmp/pair.out
    echo "agent $agname $agpath" >&5 ;;
  list|check|call)
    case $action in call) args="call $a1 1 i32 7" ;; list) args=list ;; *) args="check $a1" ;; esac
    out=$(as shell "timeout -s KILL 10 /system/bin/service $args" 2>&1); st=$?
    echo "$out" | while read -r l; do say "out $l"; done
    say "status $st" ;;
  kill) kill "$(pid samples)"; ends "$(pid samples)" > /dev/null ;;
  start)
    $AS system -c 'exec binder-samples' < /dev/null > /data/log/samples.log 2>&1 &
    echo $! > /run/samples.pid
    upto /data/log/samples.log serving || say samples did not start ;;
  sample)
    alive
    for p in sensors servicemanager dbus agent; do
      if [ $p = agent ]; then q=$ag; else q=$(pid $p); fi
      [ $p = dbus ] && q=$(pidof dbus-daemon)
      say "res $p $q $(awk '/^VmRSS:/ {print $2}' /proc/$q/status) $(ls /proc/$q/fd | wc -l)"
    done ;;
  quit)
    kill $ev; wait $ev 2>/dev/null
    kill -TERM $ag; ends $ag > /dev/null
    echo quit >&5; exec 5>&-; ends $bt > /dev/null
    say end; break ;;
  esac
  say end
done
