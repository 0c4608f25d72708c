#!/usr/bin/env bash
# Measures, side by side on this machine, the loopback bridge (quillfern-bridge), websockify (a
# WebSocket-to-TCP bridge with a fixed target), socat (a plain TCP relay) and a direct TCP
# connection, and prints Markdown tables: each run's figures with their ratios to socat and to
# direct TCP, the spread of bridge ÷ socat over the runs, then the targets as met or missed.
#
#   bench/run.sh [--runs N] [--repeats R] [--seconds S] [--quick] [--no-build]
#                [--relays "direct socat websockify bridge"]
#   bench/run.sh --syscalls [--relays "socat bridge"] [--no-build]
#
# Within a run, throughput and latency runs take turns between the relays, repeat after repeat,
# so that a change in the machine's load weighs on all of them alike; memory is measured on a
# fresh relay each time. --runs repeats the whole comparison. --syscalls instead counts each
# relay's system calls per 32-byte round trip with strace. Everything runs on 127.0.0.1. Every
# wait is bounded in count and time, and every process this script starts is stopped by its
# PID. Needs the bench packages (scripts/install-deps.sh bench).
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: bench/run.sh [--runs N] [--repeats R] [--seconds S] [--quick] [--no-build] [--relays LIST] | --syscalls [--relays LIST] [--no-build]"
quick=0
build=1
runs=1
syscalls=0
relays=""
repeatsOption=""
secondsOption=""
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --no-build) build=0 ;;
    --syscalls) syscalls=1 ;;
    --relays) relays=${2:?$usage}; shift ;;
    --runs) runs=${2:?$usage}; shift ;;
    --repeats) repeatsOption=${2:?$usage}; shift ;;
    --seconds) secondsOption=${2:?$usage}; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
if ! [[ $runs =~ ^[1-9][0-9]*$ && ${repeatsOption:-1} =~ ^[1-9][0-9]*$ \
  && ${secondsOption:-1} =~ ^[0-9]+(\.[0-9]+)?$ ]]; then
  echo "$usage" >&2
  exit 2
fi
if [[ -z $relays ]]; then
  relays=$( ((syscalls)) && echo "socat bridge" || echo "direct socat websockify bridge")
fi

loadgen=${LOADGEN:-build/default/bench/quillfern_loadgen}
bridgeProgram=${QUILLFERN_BRIDGE:-build/default/src/quillfern-bridge}
if ((build)); then
  cmake --preset default -DQUILLFERN_BUILD_BENCH=ON >/dev/null
  cmake --build --preset default --target quillfern_loadgen quillfern_bridge >&2
fi

# Run lengths. One run (the default) takes the median of five repeats of 4 s windows; several
# runs take three repeats of 3 s windows each and a shorter slow reader, so that three runs of
# socat and the bridge fit in about a quarter of an hour. --quick is for trying the script, not
# for the README.
if ((runs == 1)); then
  seconds=4 warmup=1 repeats=5 latencyCount=10000 slowSeconds=20 sessionCounts="1000 5000"
else
  seconds=3 warmup=1 repeats=3 latencyCount=10000 slowSeconds=10 sessionCounts="1000 5000"
fi
if ((quick)); then
  seconds=1 warmup=0.5 repeats=1 latencyCount=2000 slowSeconds=5 sessionCounts="200 500"
fi
repeats=${repeatsOption:-$repeats}
seconds=${secondsOption:-$seconds}
# Round trips counted under strace by --syscalls, none of them a warm-up: the few calls that
# open the connection are spread over all of them.
syscallRoundTrips=${SYSCALL_ROUND_TRIPS:-5000}
# websockify forks one Python process per connection (about 3.5 MB each): 5,000 of them would
# need some 17 GB, so it is measured at the smaller count only.
websockifyMaxSessions=${WEBSOCKIFY_MAX_SESSIONS:-1000}
# socat's relay buffer. Its default of 8192 bytes makes it far slower than a relay that reads
# 64 KiB at a time, as the bridge does.
socatBuffer=${SOCAT_BUFFER:-65536}
# A relay whose memory passes this during the slow reader is stopped there.
slowCapKiB=$((${SLOW_CAP_MIB:-1024} * 1024))
bridgePort=9882
lastCpu=$(($(nproc) - 1))
pinCpu=${PIN_CPU:-$lastCpu}
clockTicks=$(getconf CLK_TCK)
# Idle sessions need two descriptors each in a relay.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if (($(ulimit -n) < 12000)); then
  echo "run.sh: descriptor limit $(ulimit -n) is below 12000; 5,000 sessions will fail" >&2
fi

startedAt=$(date +%s)
work=$(mktemp -d /tmp/quillfern-bench.XXXXXX)
started=()
# Relays, keyed "relay,role" (see below), and figures, keyed "figure,relay,run".
declare -A port path pid relayPids memKind value note samples cpuUsed bytesMoved loadStart loadEnd \
  runTimes
run=1  # the run being measured: value is keyed "figure,relay,run"

log() { echo "run.sh: $*" >&2; }

stopPid() {  # stops one process we started, and the children it forked, by PID
  local target=$1 child i
  kill -0 "$target" 2>/dev/null || return 0
  for child in $(pgrep -P "$target" 2>/dev/null || true); do
    kill -TERM "$child" 2>/dev/null || true
  done
  kill -TERM "$target" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$target" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$target" 2>/dev/null || true
  wait "$target" 2>/dev/null || true
}

# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local p
  for p in "${started[@]}"; do
    stopPid "$p"
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Whatever binds the bridge's port holds this lock, so that two people's runs never collide.
# Waits up to 10 min for it; without it, the bridge is left out.
if [[ " $relays " == *" bridge "* ]]; then
  exec 9>>/tmp/quillfern-9882.lock
  if ! flock -w 600 9; then
    note[bridge]="/tmp/quillfern-9882.lock stayed held for 10 minutes"
    relays=$(tr ' ' '\n' <<<"$relays" | grep -vx bridge | tr '\n' ' ' || true)
  fi
fi

freePort() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

portOpen() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

waitForPort() {  # up to 10 s
  local i
  for ((i = 0; i < 200; i++)); do
    portOpen "$1" && return 0
    sleep 0.05
  done
  return 1
}

treePids() { echo "$1"; pgrep -P "$1" 2>/dev/null || true; }

# CPU ticks used by a process and every child it forked, live or already reaped. A relay may
# have thousands of children, so one awk reads them all; cat skips those that just exited.
cpuTicks() {
  local children=() p total
  total=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $12 + $13 + $14 + $15}' || true)
  for p in $(pgrep -P "$1" 2>/dev/null || true); do
    children+=("/proc/$p/stat")
  done
  if ((${#children[@]})); then
    total=$((${total:-0} + $(cat "${children[@]}" 2>/dev/null \
      | awk '{sub(/^.*\) /, ""); t += $12 + $13} END {print t + 0}' || true)))
  fi
  echo "${total:-0}"
}

# Memory of a relay in KiB: the resident set of a single process (the bridge), or the
# proportional set summed over a relay that forks a process per connection, so that pages the
# children share are counted once.
memoryKiB() {
  local target=$1 kind=$2 files=() p
  if [[ $kind == rss ]]; then
    awk '/^VmRSS:/ {print $2}' "/proc/$target/status" 2>/dev/null || echo 0
    return
  fi
  for p in $(treePids "$target"); do
    files+=("/proc/$p/smaps_rollup")
  done
  cat "${files[@]}" 2>/dev/null | awk '/^Pss:/ {total += $2} END {print total + 0}' || true
}

field() { { grep -o "$2=[^ ]*" <<<"$1" || true; } | head -1 | cut -d= -f2; }

median() { tr ' ' '\n' | awk 'NF' | sort -g | awk '{v[NR] = $1} END {print NR ? v[int((NR + 1) / 2)] : ""}'; }

calc() { awk "BEGIN {printf \"$1\", $2}"; }

# The local servers, shared by every relay.
"$loadgen" serve --seconds 7200 >"$work/servers" 2>&1 &
serverPid=$!
started+=("$serverPid")
for ((i = 0; i < 100; i++)); do
  grep -q echo= "$work/servers" 2>/dev/null && break
  sleep 0.05
done
read -r sinkPort sourcePort echoPort < <(sed 's/[a-z]*=//g' "$work/servers")
declare -A serverPort=([sink]=$sinkPort [source]=$sourcePort [echo]=$echoPort)

# Relays are keyed "relay,role" (role: sink, source or echo): the port and path that reach that
# server through the relay, and the relay process serving it. relayPids[relay] lists a relay's
# processes; memKind[relay] is how memoryKiB measures it.

startBridge() {
  local i
  for ((i = 0; i < 30; i++)); do  # a bridge started by hand may still be stopping: up to 1 min
    portOpen "$bridgePort" || break
    sleep 2
  done
  if portOpen "$bridgePort"; then
    note[bridge]="port $bridgePort stayed taken by another process"
    return 1
  fi
  mkdir -p "$work/config/quillfern"
  printf '{"mobile_bridge.allowed_hosts": ["127.0.0.1:%s", "127.0.0.1:%s", "127.0.0.1:%s"]}\n' \
    "$sinkPort" "$sourcePort" "$echoPort" >"$work/config/quillfern/defaults.json"
  # The start-up refresh goes to a proxy port where nothing listens, so nothing is looked up.
  local proxy
  proxy="http://127.0.0.1:$(freePort)"
  env -u no_proxy -u NO_PROXY XDG_CONFIG_HOME="$work/config" http_proxy="$proxy" \
    https_proxy="$proxy" HTTP_PROXY="$proxy" HTTPS_PROXY="$proxy" \
    "$bridgeProgram" >>"$work/bridge.log" 2>&1 &
  local bridgePid=$!
  started+=("$bridgePid")
  if ! waitForPort "$bridgePort" || ! kill -0 "$bridgePid" 2>/dev/null; then
    note[bridge]="quillfern-bridge did not serve on $bridgePort: $(tail -1 "$work/bridge.log")"
    stopPid "$bridgePid"
    return 1
  fi
  local role
  for role in sink source echo; do
    port[bridge,$role]=$bridgePort
    path[bridge,$role]="/127.0.0.1/${serverPort[$role]}"
    pid[bridge,$role]=$bridgePid
  done
  relayPids[bridge]=$bridgePid
  memKind[bridge]=rss
}

startForwarders() {  # one socat or websockify per server, each with its fixed target
  local kind=$1 role listen p
  relayPids[$kind]=""
  for role in sink source echo; do
    listen=$(freePort)
    if [[ $kind == socat ]]; then
      socat -b "$socatBuffer" \
        "TCP-LISTEN:$listen,bind=127.0.0.1,reuseaddr,fork,backlog=4096,nodelay" \
        "TCP:127.0.0.1:${serverPort[$role]},nodelay" >>"$work/socat.log" 2>&1 &
      path[$kind,$role]=""
    else
      websockify "127.0.0.1:$listen" "127.0.0.1:${serverPort[$role]}" \
        >>"$work/websockify.log" 2>&1 &
      path[$kind,$role]="/"
    fi
    p=$!
    started+=("$p")
    relayPids[$kind]+=" $p"
    port[$kind,$role]=$listen
    pid[$kind,$role]=$p
    if ! waitForPort "$listen"; then
      note[$kind]="$kind did not listen"
      return 1
    fi
  done
  memKind[$kind]=pss
}

startRelay() {
  case $1 in
    direct)
      local role
      for role in sink source echo; do
        port[direct,$role]=${serverPort[$role]} path[direct,$role]="" pid[direct,$role]=""
      done
      relayPids[direct]=""
      ;;
    bridge) startBridge ;;
    *) startForwarders "$1" ;;
  esac
}

stopRelay() {
  local p
  for p in ${relayPids[$1]:-}; do
    stopPid "$p"
  done
  relayPids[$1]=""
}

route() {  # loadgen arguments that reach a server role through a relay
  echo "--port ${port[$1,$2]}${path[$1,$2]:+ --path ${path[$1,$2]}}"
}

relayCpu() {
  local total=0 p
  for p in ${relayPids[$1]:-}; do
    total=$((total + $(cpuTicks "$p")))
  done
  echo "$total"
}

# Waits, up to 2 s, until a forking relay has reaped the children of the last run, so that
# their CPU time has reached the parent.
settleChildren() {
  local i p busy
  for ((i = 0; i < 40; i++)); do
    busy=0
    for p in ${relayPids[$1]:-}; do
      pgrep -P "$p" >/dev/null 2>&1 && busy=1
    done
    ((busy)) || return 0
    sleep 0.05
  done
}

throughputRun() {  # relay direction connections
  local relay=$1 direction=$2 n=$3 role line before moved
  role=$([[ $direction == up ]] && echo sink || echo source)
  before=$(relayCpu "$relay")
  # shellcheck disable=SC2046
  line=$("$loadgen" "$direction" $(route "$relay" "$role") --connections "$n" \
    --seconds "$seconds" --warmup "$warmup" | grep '^result') || true
  settleChildren "$relay"
  log "$relay $direction x$n: $line"
  samples[$direction$n,$relay]+=" $(field "$line" mbps)"
  moved=$(field "$line" bytes)
  bytesMoved[$direction,$relay]=$((${bytesMoved[$direction,$relay]:-0} + ${moved:-0}))
  cpuUsed[$direction,$relay]=$((${cpuUsed[$direction,$relay]:-0} + $(relayCpu "$relay") - before))
}

latencyRun() {  # relay key [pinned]
  local relay=$1 key=$2 client=("$loadgen") line
  [[ -n ${3:-} ]] && client=(taskset -c "$pinCpu" "$loadgen")
  # shellcheck disable=SC2046
  line=$("${client[@]}" latency $(route "$relay" echo) --count "$latencyCount" --seconds 30 \
    | grep '^result') || true
  log "$relay $key: $line"
  samples[${key}_p50,$relay]+=" $(field "$line" p50_us)"
  samples[${key}_p99,$relay]+=" $(field "$line" p99_us)"
}

pinAll() {  # cpu list: the servers and every relay, with all their threads and children
  local p q relay
  for p in "$serverPid" $(for relay in $measured; do echo "${relayPids[$relay]:-}"; done); do
    for q in $(treePids "$p"); do
      taskset -a -p -c "$1" "$q" >/dev/null 2>&1 || true
    done
  done
}

measureIdle() {  # relay sessions; a fresh relay holds the sessions
  local relay=$1 sessions=$2 before after line i clientPid out="$work/idle-$1-$2"
  startRelay "$relay" || return 0
  sleep 0.5
  before=$(memoryKiB "${pid[$relay,echo]}" "${memKind[$relay]}")
  # shellcheck disable=SC2046
  "$loadgen" idle $(route "$relay" echo) --sessions "$sessions" --parallel 128 --setup 600 \
    --hold 700 >"$out" 2>&1 &
  clientPid=$!
  started+=("$clientPid")
  for ((i = 0; i < 6000; i++)); do  # at most 600 s
    grep -q '^ready' "$out" 2>/dev/null && break
    kill -0 "$clientPid" 2>/dev/null || break
    sleep 0.1
  done
  sleep 1
  after=$(memoryKiB "${pid[$relay,echo]}" "${memKind[$relay]}")
  line=$(grep '^ready' "$out" || echo "ready served=0")
  log "$relay idle $sessions: $line, memory $before KiB -> $after KiB"
  value[idle$sessions,$relay,$run]=$(calc "%.1f" "($after - $before) / $sessions")
  value[served$sessions,$relay,$run]=$(field "$line" served)
  stopPid "$clientPid"
  log "$relay idle $sessions: $(grep '^result' "$out" || true)"
  stopRelay "$relay"
}

measureSlowReader() {  # relay; the peak memory of a fresh relay under one slow reader
  local relay=$1 peak=0 m i clientPid capped="" out="$work/slow-$1"
  startRelay "$relay" || return 0
  local relayPid=${pid[$relay,source]}
  # shellcheck disable=SC2046
  "$loadgen" slow $(route "$relay" source) --rate 1000000 --seconds "$slowSeconds" >"$out" 2>&1 &
  clientPid=$!
  started+=("$clientPid")
  for ((i = 0; i < (slowSeconds + 15) * 5; i++)); do
    kill -0 "$clientPid" 2>/dev/null || break
    m=$(memoryKiB "$relayPid" "${memKind[$relay]}")
    ((m > peak)) && peak=$m
    if ((m > slowCapKiB)); then
      capped=">"
      stopRelay "$relay"
      break
    fi
    sleep 0.2
  done
  if [[ ${memKind[$relay]} == rss && -z $capped ]]; then
    m=$(awk '/^VmHWM:/ {print $2}' "/proc/$relayPid/status" 2>/dev/null || echo 0)
    ((m > peak)) && peak=$m
  fi
  stopPid "$clientPid"
  log "$relay slow reader: $(grep '^result' "$out" || true), peak $peak KiB${capped:+ (stopped at the cap)}"
  value[slow,$relay,$run]=$capped$(calc "%.1f" "$peak / 1024")
  stopRelay "$relay"
}


# System calls per round trip: strace counts every call of a relay's processes (all threads, and
# for socat the child it forks for the connection) while the client makes a fixed number of
# 32-byte round trips through it. strace slows each call down, so the time per round trip under
# it means nothing; the counts are what matter.
countSyscalls() {  # relay; fills syscallCount[relay,call] per round trip
  local relay=$1 tracer line i out="$work/strace-$1" trace="$work/strace-$1.txt"
  startRelay "$relay" || return 1
  strace -f -c -o "$trace" -p "${pid[$relay,echo]}" 2>"$out" &
  tracer=$!
  started+=("$tracer")
  for ((i = 0; i < 100; i++)); do  # up to 5 s until strace has attached
    grep -q attached "$out" 2>/dev/null && break
    kill -0 "$tracer" 2>/dev/null || break
    sleep 0.05
  done
  if ! kill -0 "$tracer" 2>/dev/null; then
    note[$relay]="strace could not attach: $(tail -1 "$out")"
    stopRelay "$relay"
    return 1
  fi
  sleep 0.5
  # shellcheck disable=SC2046
  line=$("$loadgen" latency $(route "$relay" echo) --warmup 0 --count "$syscallRoundTrips" \
    --seconds 120 | grep '^result') || true
  log "$relay under strace: $line"
  kill -INT "$tracer" 2>/dev/null || true
  for ((i = 0; i < 200; i++)); do  # up to 10 s to detach and write the summary
    kill -0 "$tracer" 2>/dev/null || break
    sleep 0.05
  done
  stopPid "$tracer"
  stopRelay "$relay"
  local samplesDone
  samplesDone=$(field "$line" samples)
  if [[ ${samplesDone:-0} != "$syscallRoundTrips" ]]; then
    note[$relay]="the client made ${samplesDone:-no} round trips of $syscallRoundTrips"
    return 1
  fi
  sed "s/^/run.sh: $relay strace: /" "$trace" >&2
  # strace -c: "% time, seconds, usecs/call, calls, [errors], syscall"; the total row too.
  local name calls errors
  while read -r name calls errors; do
    syscallCount[$relay,$name]=$(calc "%.2f" "$calls / $syscallRoundTrips")
    if ((errors * 200 >= syscallRoundTrips)); then  # shown as at least 0.01
      syscallFailed[$relay,$name]=$(calc "%.2f" "$errors / $syscallRoundTrips")
    fi
    syscallNames+=" $name"
  done < <(awk '$1 ~ /^[0-9.]+$/ && NF >= 5 {print $NF, $4, (NF == 6 ? $5 : 0)}' "$trace")
}

syscallReport() {
  local relay name row names shown=()
  declare -gA syscallCount syscallFailed
  syscallNames=""
  for relay in $relays; do
    [[ $relay == direct ]] && continue
    countSyscalls "$relay" || log "$relay not counted: ${note[$relay]:-it did not start}"
  done
  echo "System calls per $syscallMessage round trip, $syscallRoundTrips round trips under" \
    "\`strace -f -c -p\`, quillfern $(git rev-parse --short HEAD 2>/dev/null || echo '?')," \
    "$(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  row="| call |"
  for relay in $relays; do
    [[ $relay == direct ]] || row+=" $relay |"
  done
  echo "$row"
  echo "|---|$(for relay in $relays; do [[ $relay == direct ]] || printf -- '---:|'; done)"
  # Calls made at least once per hundred round trips by some relay, the most frequent first.
  names=$(tr ' ' '\n' <<<"$syscallNames" | awk 'NF && $1 != "total"' | sort -u)
  for name in $names; do
    for relay in $relays; do
      if awk "BEGIN {exit !(${syscallCount[$relay,$name]:-0} >= 0.01)}"; then
        shown+=("$(calc "%012.2f" "${syscallCount[bridge,$name]:-0}") $name")
        break
      fi
    done
  done
  for name in $(printf '%s\n' "${shown[@]}" | sort -r | cut -d' ' -f2) total; do
    row="| $name |"
    for relay in $relays; do
      [[ $relay == direct ]] && continue
      row+=" ${syscallCount[$relay,$name]:-0}"
      row+="${syscallFailed[$relay,$name]:+ (${syscallFailed[$relay,$name]} failed)} |"
    done
    echo "$row"
  done
  echo
  echo "Calls per round trip, summed over all the relay's threads and processes; \"failed\": those"
  echo "of them that returned an error (EAGAIN, most often)."
  for relay in $relays; do
    if [[ -n ${note[$relay]:-} ]]; then
      echo "- $relay not counted: ${note[$relay]}"
    fi
  done
}

if ((syscalls)); then
  syscallMessage="32-byte"
  syscallReport
  exit 0
fi

# One comparison: throughput and latency with the relays taking turns, then memory, one fresh
# relay at a time. Its figures go to value[figure,relay,run].
comparison() {
  local relay test key direction sessions r
  loadStart[$run]=$(cut -d' ' -f1-3 /proc/loadavg)
  runTimes[$run]=$(date -u +%H:%M)
  samples=() cpuUsed=() bytesMoved=()
  measured=""
  for relay in $relays; do
    if startRelay "$relay"; then
      measured+=" $relay"
    else
      log "$relay not measured: ${note[$relay]:-it did not start}"
      stopRelay "$relay"
    fi
  done
  for ((r = 1; r <= repeats; r++)); do
    for test in "up 1" "down 1" "up 8" "down 8"; do
      for relay in $measured; do
        # shellcheck disable=SC2086
        throughputRun "$relay" $test
      done
    done
    for relay in $measured; do
      latencyRun "$relay" lat
    done
  done
  pinAll "$pinCpu"
  for ((r = 1; r <= repeats; r++)); do
    for relay in $measured; do
      latencyRun "$relay" pin pinned
    done
  done
  pinAll "0-$lastCpu"
  for relay in $measured; do
    stopRelay "$relay"
    for key in up1 down1 up8 down8 lat_p50 lat_p99 pin_p50 pin_p99; do
      value[$key,$relay,$run]=$(median <<<"${samples[$key,$relay]:-}")
    done
    for direction in up down; do
      if [[ $relay != direct ]] && ((${bytesMoved[$direction,$relay]:-0} > 0)); then
        value[cpu_$direction,$relay,$run]=$(calc "%.2f" \
          "${cpuUsed[$direction,$relay]} / $clockTicks / (${bytesMoved[$direction,$relay]} / 1e9)")
      fi
    done
  done
  for relay in $measured; do
    [[ $relay == direct ]] && continue
    for sessions in $sessionCounts; do
      if [[ $relay == websockify ]] && ((sessions > websockifyMaxSessions)); then
        value[idle$sessions,$relay,$run]="not run"
        continue
      fi
      measureIdle "$relay" "$sessions"
    done
    measureSlowReader "$relay"
  done
  loadEnd[$run]=$(cut -d' ' -f1-3 /proc/loadavg)
  runTimes[$run]+="–$(date -u +%H:%M)"
}

for ((run = 1; run <= runs; run++)); do
  log "run $run of $runs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  comparison
done

# The report.
ratioOf() {  # a b: a / b as "1.23×", or "n/a"
  local a=${1#>} b=${2#>} prefix=""
  [[ $1 == \>* ]] && prefix="> "
  if ! [[ $a =~ ^[0-9.]+$ && $b =~ ^[0-9.]+$ ]] || ! awk "BEGIN {exit !($b > 0)}"; then
    echo "n/a"
    return
  fi
  echo "$prefix$(calc "%.2f" "$a / $b")×"
}

has() { [[ " $relays " == *" $1 "* ]]; }

relayColumns=()
for relay in bridge websockify socat direct; do
  has "$relay" && relayColumns+=("$relay")
done
ratioColumns=()  # "relay,yardstick"
for relay in bridge websockify; do
  for yardstick in socat direct; do
    has "$relay" && has "$yardstick" && ratioColumns+=("$relay,$yardstick")
  done
done

read -r smallCount largeCount <<<"$sessionCounts"
figureKeys=(up1 down1 up8 down8 lat_p50 lat_p99 pin_p50 pin_p99 "idle$smallCount"
  "served$smallCount" "idle$largeCount" "served$largeCount" cpu_up cpu_down slow)
declare -A figureLabel=(
  [up1]="Throughput up, 1 connection (MB/s)"
  [down1]="Throughput down, 1 connection (MB/s)"
  [up8]="Throughput up, 8 connections (MB/s)"
  [down8]="Throughput down, 8 connections (MB/s)"
  [lat_p50]="Latency p50, as is (µs)"
  [lat_p99]="Latency p99, as is (µs)"
  [pin_p50]="Latency p50, pinned to CPU $pinCpu (µs)"
  [pin_p99]="Latency p99, pinned to CPU $pinCpu (µs)"
  [idle$smallCount]="Memory per idle session, $smallCount sessions (KiB)"
  [served$smallCount]="Sessions served of $smallCount"
  [idle$largeCount]="Memory per idle session, $largeCount sessions (KiB)"
  [served$largeCount]="Sessions served of $largeCount"
  [cpu_up]="Relay CPU per GB up (s)"
  [cpu_down]="Relay CPU per GB down (s)"
  [slow]="Slow reader, relay peak memory (MiB)"
)

runTable() {  # run: every figure of one run, with its ratios
  local r=$1 key row relay pair
  row="| Figure |"
  for relay in "${relayColumns[@]}"; do row+=" $relay |"; done
  for pair in "${ratioColumns[@]}"; do row+=" ${pair%,*} ÷ ${pair#*,} |"; done
  echo "$row"
  echo "|---|$(for _ in "${relayColumns[@]}" "${ratioColumns[@]}"; do printf -- '---:|'; done)"
  for key in "${figureKeys[@]}"; do
    row="| ${figureLabel[$key]} |"
    for relay in "${relayColumns[@]}"; do
      row+=" ${value[$key,$relay,$r]:-n/a} |"
    done
    for pair in "${ratioColumns[@]}"; do
      row+=" $(ratioOf "${value[$key,${pair%,*},$r]:-}" "${value[$key,${pair#*,},$r]:-}") |"
    done
    echo "$row"
  done
}

# The bridge's figure of each run, as bridge ÷ socat ("ratio") or as measured ("bridge"), one
# number a line, runs without it left out.
perRun() {  # key ratio|bridge
  local r v
  for ((r = 1; r <= runs; r++)); do
    if [[ $2 == ratio ]]; then
      v=$(ratioOf "${value[$1,bridge,$r]:-}" "${value[$1,socat,$r]:-}")
      v=${v%×}
    else
      v=${value[$1,bridge,$r]:-}
    fi
    [[ ${v#> } =~ ^[0-9.]+$ ]] && echo "$v"
  done
  return 0
}

spread() {  # unit; numbers on standard input: "min – max" (or the one value), "> " kept
  sed 's/^> //' | sort -g | awk -v unit="$1" 'NF {v[++n] = $1}
    END {if (!n) print "n/a"; else if (v[1] == v[n]) print v[1] unit;
         else print v[1] " – " v[n] unit}'
}

judge() {  # key ratio|bridge limit higher|lower unit: met in how many runs, and the spread
  local values met=0 n=0 v
  values=$(perRun "$1" "$2")
  for v in $values; do
    [[ $v == ">" ]] && continue
    n=$((n + 1))
    if [[ $4 == higher ]]; then
      awk "BEGIN {exit !($v >= $3)}" && met=$((met + 1))
    else
      awk "BEGIN {exit !($v <= $3)}" && met=$((met + 1))
    fi
  done
  if ((n == 0)); then
    echo "not measured"
  elif ((met == n)); then
    echo "**met** in $n of $n runs: $(spread "$5" <<<"$values")"
  else
    echo "**missed** in $((n - met)) of $n runs: $(spread "$5" <<<"$values")"
  fi
}

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) CPUs," \
  "$(awk '/^MemTotal:/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM," \
  "Linux $(uname -r), Debian $(cat /etc/debian_version)"
echo "Relays: socat $(socat -V | sed -n 's/^socat version \([^ ]*\).*/\1/p') (-b $socatBuffer)," \
  "websockify $(dpkg-query -W -f='${Version}' websockify 2>/dev/null), quillfern-bridge at" \
  "$(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "Run: $(date -u '+%Y-%m-%d') UTC, $runs run(s) of $(((($(date +%s) - startedAt) + 30) / 60))" \
  "min in all; throughput: ${seconds} s windows after ${warmup} s warm-up, latency:" \
  "$latencyCount round trips, each figure the median of $repeats repeats taken in turn; slow" \
  "reader ${slowSeconds} s"
if has bridge && has socat; then
  echo
  echo "| Figure | bridge ÷ socat, $runs run(s), min – max | each run |"
  echo "|---|---:|---:|"
  for key in "${figureKeys[@]}"; do
    [[ $key == served* ]] && continue
    echo "| ${figureLabel[$key]% (*} | $(perRun "$key" ratio | spread ×) |" \
      "$(perRun "$key" ratio | tr '\n' ' ' | sed 's/ $//; s/ /, /g') |"
  done
  echo "| Load average at start → end of each run | |" \
    "$(for ((r = 1; r <= runs; r++)); do printf '%s → %s; ' "${loadStart[$r]%% *}" \
      "${loadEnd[$r]%% *}"; done | sed 's/; $//') |"
fi
for ((r = 1; r <= runs; r++)); do
  echo
  echo "Run $r, ${runTimes[$r]} UTC, load average (1, 5, 15 min) ${loadStart[$r]} at start," \
    "${loadEnd[$r]} at end:"
  echo
  runTable "$r"
done
echo
echo "Targets for the bridge, judged in each run:"
echo "- throughput up, 1 connection, ≥ 1.0× socat: $(judge up1 ratio 1.0 higher ×)"
echo "- throughput down, 1 connection, ≥ 1.0× socat: $(judge down1 ratio 1.0 higher ×)"
echo "- throughput up, 8 connections, ≥ 1.0× socat: $(judge up8 ratio 1.0 higher ×)"
echo "- throughput down, 8 connections, ≥ 1.0× socat: $(judge down8 ratio 1.0 higher ×)"
echo "- CPU per GB up ≤ 1.0× socat: $(judge cpu_up ratio 1.0 lower ×)"
echo "- CPU per GB down ≤ 1.0× socat: $(judge cpu_down ratio 1.0 lower ×)"
echo "- pinned p50 latency ≤ 1.0× socat: $(judge pin_p50 ratio 1.0 lower ×)"
echo "- ≤ 4 KiB per idle session at $largeCount sessions: $(judge "idle$largeCount" bridge 4 lower " KiB")"
echo "- all $largeCount sessions served: $(perRun "served$largeCount" bridge | tr '\n' ' ' \
  | sed 's/ $//; s/ /, /g') of $largeCount"
echo "- slow reader keeps the bridge under 64 MiB: $(judge slow bridge 64 lower " MiB")"
for relay in $relays; do
  if [[ -n ${note[$relay]:-} ]]; then
    echo "- $relay not measured: ${note[$relay]}"
  fi
done
exit 0
