#!/usr/bin/env bash
# CPU time and context switches of each thread of a running Wine process over SECONDS, with
# each thread's name and whose it is: the program's (its main thread, whose Linux name is the
# process's, and the threads it names quarn-*), the emulator facades' loaded into it (emu-*),
# or another's (Wine's own, unnamed). A thread started during the interval counts from zero.
#   thread_usage.sh PID SECONDS
# prints one line a thread: "TID NAME OWNER TICKS SWITCHES" (ticks of 10 ms).
set -euo pipefail
pid=$1
seconds=$2

snapshot() {  # tid ticks switches name
  for task in /proc/"$pid"/task/*; do
    local tid=${task##*/} ticks switches name
    ticks=$(cut -d' ' -f14,15 "$task/stat" 2>/dev/null | awk '{print $1 + $2}') || continue
    switches=$(awk '/ctxt_switches/ {s += $2} END {print s}' "$task/status" 2>/dev/null) || continue
    name=$(tr ' ' '_' < "$task/comm" 2>/dev/null) || continue
    [ -n "$ticks" ] && echo "$tid $ticks $switches $name"
  done | sort -k1,1
}

before=$(snapshot)
sleep "$seconds"
after=$(snapshot)

join -a 2 -e 0 -o 2.1,2.4,1.2,2.2,1.3,2.3 <(echo "$before") <(echo "$after") |
  awk -v pid="$pid" '{
    owner = "other"
    if ($1 == pid) owner = "program"
    else if ($2 ~ /^quarn-/) owner = "program"
    else if ($2 ~ /^emu-/) owner = "emulator"
    printf "%s %s %s %d %d\n", $1, ($1 == pid ? "main" : $2), owner, $4 - $3, $6 - $5
  }'
