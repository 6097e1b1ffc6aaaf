# The soak's guest side (run as root after the device's GUEST_HELPERS). The console takes
# one step a line, "ID WORKER ACTION ARGS", and hands it to that worker, so that a slow
# step of one part never holds up another; each worker answers in lines "soak: ID ...",
# ending with "soak: ID end" (one write a line: the console never splits one). Every wait
# is bounded; every program started ends by its PID.
# shellcheck shell=sh disable=SC2086,SC2154,SC2046,SC2015,SC2012,SC1091
say() { echo "soak: $id $*"; }
# count FILE PATTERN: the lines that match; 0 when FILE cannot be read
count() { _n=$(grep -cE "$2" "$1" 2>/dev/null); echo "${_n:-0}"; }
# size FILE: its bytes (0 when it cannot be read); past FILE OFFSET: its bytes from OFFSET
# on. The sensor service's log grows for hours: its waits and collections read only what
# is new.
size() { _n=$(stat -c %s "$1" 2>/dev/null); echo "${_n:-0}"; }
past() { dd if="$1" bs=65536 iflag=skip_bytes skip="$2" 2>/dev/null; }
# appears FILE PATTERN OFFSET: a line past OFFSET matches within 10 s
appears() {
  i=0; until past "$1" "$3" | grep -qE "$2"; do i=$((i+1)); [ $i -gt 200 ] && return 1; usleep 50000; done
}
# lines FILE OFFSET OUT: FILE's whole lines from OFFSET on into OUT; sets next to the
# offset after them (a line still being written waits for the next time)
lines() {
  past "$1" "$2" > "$3"; _n=$(size "$3")
  [ -n "$(tail -c 1 "$3")" ] && { _n=$((_n - $(tail -n 1 "$3" | wc -c))); head -c "$_n" "$3" > "$3.w"; mv "$3.w" "$3"; }
  next=$(($2 + _n))
}
# grows FILE PATTERN N: more than N lines match within 10 s
grows() {
  i=0; while [ "$(count "$1" "$2")" -le "$3" ]; do i=$((i+1)); [ $i -gt 200 ] && return 1; usleep 50000; done
}
pid() { cat /run/"$1".pid; }
now() { cut -d' ' -f1 /proc/uptime; }  # the clock of the ground truth's stamps
since() { tail -n +$(($2 + 1)) "$1"; }
KBD="AT Translated Set 2 keyboard"
SOAK_LOG='^(tap |report |activate )|orientation changed|events dropped by the kernel'

# The sensor service again, with every key event it writes to uinput on its log too.
. /vm/services.sh
SENSORS="env LD_PRELOAD=/system/xbin/uinput_tap.so $SENSORS"
restart sensors > /dev/null || echo "soak: no tapped sensor service"
# The ground truth: a second reader of the keyboard sees all the kernel delivers. A
# third is stopped and continued with the sensor service: what its queue loses in a
# stall is what the kernel drops from a stalled reader's queue.
evprobe truth "$KBD" < /dev/null > /tmp/truth.out 2>&1 & tr=$!
evprobe truth "$KBD" < /dev/null > /tmp/shadow.out 2>&1 & sh_=$!
echo $sh_ > /run/shadow.pid
$AS shell -c 'exec evprobe watch "Zaze V2 Buttons" 86400000' < /dev/null > /tmp/zaze.out 2>&1 & ev=$!
upto /tmp/truth.out '^truth' || echo "soak: no ground truth reader"
upto /tmp/shadow.out '^truth' || echo "soak: no stalled reader"
upto /tmp/zaze.out '^watching' || echo "soak: no watch on the virtual device"

new_agent() {
  n=$(count /tmp/bt.out '^agent ')
  $AS shell -c 'exec agent 0000' > /tmp/agent.out 2>&1 & ag=$!
  echo $ag > /run/agent.pid
  grows /tmp/bt.out '^agent ' $n || say agent did not register
  set -- $(grep '^agent ' /tmp/bt.out | tail -n 1); agname=$2 agpath=$3
}
end() { ends "$1" > /tmp/end.st; cat /tmp/end.st; }

# -- the agent and the daemon: theirs are the only children this worker waits for
agent_worker() {
  scripted_daemon; echo $bt > /run/btscript.pid
  new_agent
  while read -r id action a1; do
    echo "$id busy" > /tmp/agent.step.new; mv /tmp/agent.step.new /tmp/agent.step
    kill -0 $bt 2>/dev/null || say died btdaemon
    kill -0 $ag 2>/dev/null || say died agent
    case $action in
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
        echo $bt > /run/btscript.pid
        exec 5> /tmp/bt.in
        upto /tmp/bt.out '^owner org.velto' || say no scripted daemon
      fi
      new_agent ;;
    stranger)
      if [ "$a1" = call ]; then
        out=$(as stranger "timeout -s KILL 10 dbus-send --system --print-reply --dest=$agname $agpath" \
          "org.velto.Agent.RequestPinCode objpath:/org/velto/hci0/dev_stranger" < /dev/null 2>&1)
      else
        out=$(as stranger "timeout -s KILL 10 btdaemon" < /dev/null 2>&1)
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
    quit)
      kill -TERM $ag; ends $ag > /dev/null
      echo quit >&5; exec 5>&-; ends $bt > /dev/null
      return ;;
    *) say "no step $action here" ;;
    esac
    echo "$id idle" > /tmp/agent.step.new; mv /tmp/agent.step.new /tmp/agent.step
    say end
  done
}

# -- the registry's clients
registry_worker() {
  while read -r id action a1; do
    case $action in
      call) args="call $a1 1 i32 7" ;; list) args=list ;; check) args="check $a1" ;;
      *) say "no step $action here"; say end; continue ;;
    esac
    out=$(as shell "timeout -s KILL 10 /system/bin/service $args" < /dev/null 2>&1); st=$?
    echo "$out" | while read -r l; do say "out $l"; done
    say "status $st"
    say end
  done
}

# -- faults and signals, at their times whatever the others do
fault_worker() {
  while read -r id action a1; do
    case $action in
    stop) t=$(now); kill -STOP "$(pid sensors)" "$(pid shadow)"; say stopped $t ;;
    cont) kill -CONT "$(pid sensors)" "$(pid shadow)"; say continued $(now) ;;
    toggle|delay)
      [ $action = toggle ] && { sig=USR1; pat='^activate'; } || { sig=USR2; pat='^delay'; }
      n=$(size /data/log/sensors.log)
      kill -$sig "$(pid sensors)"
      appears /data/log/sensors.log $pat $n || say no answer to $sig
      say "$(past /data/log/sensors.log $n | grep $pat | tail -n 1)" ;;
    *) say "no step $action here" ;;
    esac
    say end
  done
}

# -- the sample services killed and started (waits of their own: never a stall's end)
samples_worker() {
  while read -r id action a1; do
    case $action in
    kill) kill "$(pid samples)"; ends "$(pid samples)" > /dev/null ;;
    start)
      $AS system -c 'exec binder-samples' < /dev/null > /data/log/samples.log 2>&1 &
      echo $! > /run/samples.pid
      upto /data/log/samples.log serving || say samples did not start ;;
    *) say "no step $action here" ;;
    esac
    say end
  done
}

# -- what the host accounts for: the ground truth and the module's record, the new
# lines of each since the last time; memory and descriptors
record_worker() {
  tm=0; wm=0; sm=0
  while read -r id action a1; do
    case $action in
    collect)
      lines /tmp/truth.out $tm /tmp/c.t; tm=$next
      lines /tmp/shadow.out $wm /tmp/c.s; wm=$next
      lines /data/log/sensors.log $sm /tmp/c.m; sm=$next
      while read -r l; do say "t $l"; done < /tmp/c.t
      while read -r l; do say "s $l"; done < /tmp/c.s
      grep -E "$SOAK_LOG" /tmp/c.m | while read -r l; do say "m $l"; done ;;
    sample)
      for p in sensors servicemanager dbus; do kill -0 "$(pid $p)" 2>/dev/null || say died $p; done
      for p in sensors servicemanager dbus agent; do
        q=$(pid $p); [ $p = dbus ] && q=$(pidof dbus-daemon | cut -d' ' -f1)
        a=$(cat /tmp/agent.step 2>/dev/null)
        f=$(ls /proc/$q/fd 2>/dev/null | wc -l)
        # The bus has a descriptor a client: one counts only between the agent's steps.
        [ $p = dbus ] && { [ "$a" = "$(cat /tmp/agent.step 2>/dev/null)" ] && [ "${a#* }" != busy ] || f=-; }
        say "res $p $q $(awk '/^VmRSS:/ {print $2}' /proc/$q/status 2>/dev/null) $f"
      done ;;
    held) say held $(evprobe keys "Zaze V2 Buttons" < /dev/null) ;;
    zaze)
      for c in $a1; do say zaze $c $(count /tmp/zaze.out "^event type=1 code=$c value=1$"); done
      say zaze dropped $(count /tmp/zaze.out '^watch: dropped') ;;
    *) say "no step $action here" ;;
    esac
    say end
  done
}

mkfifo /tmp/w.agent /tmp/w.registry /tmp/w.fault /tmp/w.samples /tmp/w.record
agent_worker < /tmp/w.agent & aw=$!
exec 5>&-
registry_worker < /tmp/w.registry & rw=$!
fault_worker < /tmp/w.fault & fw=$!
samples_worker < /tmp/w.samples & pw=$!
record_worker < /tmp/w.record & cw=$!
exec 6> /tmp/w.agent 7> /tmp/w.registry 8> /tmp/w.fault 9> /tmp/w.record 4> /tmp/w.samples
upto /run/agent.pid . "" 400 || echo "soak: the agent worker did not start"
echo "soak: ready"

while read -r id worker action a1; do
  case $worker in
  agent) echo "$id $action $a1" >&6 ;;
  registry) echo "$id $action $a1" >&7 ;;
  fault) echo "$id $action $a1" >&8 ;;
  record) echo "$id $action $a1" >&9 ;;
  samples) echo "$id $action $a1" >&4 ;;
  quit)
    echo "$id quit" >&6; exec 6>&- 7>&- 8>&- 9>&- 4>&-
    for w in $aw $rw $fw $pw $cw; do ends $w > /dev/null; done
    kill $ev $tr $sh_; wait $ev $tr $sh_ 2>/dev/null
    say end; break ;;
  *) say "no worker $worker"; say end ;;
  esac
done
