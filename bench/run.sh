#!/usr/bin/env bash
# Measures, side by side in one run on this machine, the loopback bridge (quillfern --headless),
# websockify (a WebSocket-to-TCP bridge with a fixed target), socat (a plain TCP relay) and a
# direct TCP connection, and prints a Markdown table with each figure's ratio to socat and to
# direct TCP, then the targets as met or missed.
#
#   bench/run.sh [--quick] [--no-build] [--relays "direct socat websockify bridge"]
#
# Throughput and latency runs take turns between the relays, repeat after repeat, so that a
# change in the machine's load weighs on all of them alike; memory is measured on a fresh relay
# each time. Everything runs on 127.0.0.1. Every wait is bounded in count and time, and every
# process this script starts is stopped by its PID. Needs the bench packages
# (scripts/install-deps.sh bench).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
build=1
relays="direct socat websockify bridge"
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --no-build) build=0 ;;
    --relays) relays=$2; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--no-build] [--relays LIST]" >&2; exit 2 ;;
  esac
  shift
done

loadgen=${LOADGEN:-build/default/bench/quillfern_loadgen}
quillfern=${QUILLFERN:-build/default/src/quillfern}
if ((build)); then
  cmake --preset default -DQUILLFERN_BUILD_BENCH=ON >/dev/null
  cmake --build --preset default --target quillfern_loadgen quillfern >&2
fi

# Run lengths. --quick is for trying the script, not for the README.
seconds=4 warmup=1 repeats=5 latencyCount=10000 slowSeconds=20 sessionCounts="1000 5000"
if ((quick)); then
  seconds=1 warmup=0.5 repeats=1 latencyCount=2000 slowSeconds=5 sessionCounts="200 500"
fi
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

loadAtStart=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d /tmp/quillfern-bench.XXXXXX)
started=()

log() { echo "run.sh: $*" >&2; }

stopPid() {  # stops one process we started, and the children it forked, by PID
  local pid=$1 child i
  kill -0 "$pid" 2>/dev/null || return 0
  for child in $(pgrep -P "$pid" 2>/dev/null || true); do
    kill -TERM "$child" 2>/dev/null || true
  done
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local p
  for p in "${started[@]}"; do
    stopPid "$p"
  done
  rm -rf "$work"
}
trap cleanup EXIT

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
  local pid=$1 kind=$2 files=() p
  if [[ $kind == rss ]]; then
    awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0
    return
  fi
  for p in $(treePids "$pid"); do
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

# Relays, keyed "relay,role" (role: sink, source or echo): the port and path that reach that
# server through the relay, and the relay process serving it. relayPids[relay] lists a relay's
# processes; memKind[relay] is how memoryKiB measures it.
declare -A port path pid relayPids memKind value note samples cpuUsed bytesMoved

startBridge() {
  local i
  for ((i = 0; i < 150; i++)); do  # another copy may hold the port for a while: up to 5 min
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
    "$quillfern" --headless >>"$work/bridge.log" 2>&1 &
  local bridgePid=$!
  started+=("$bridgePid")
  if ! waitForPort "$bridgePort" || ! kill -0 "$bridgePid" 2>/dev/null; then
    note[bridge]="quillfern --headless did not serve on $bridgePort: $(tail -1 "$work/bridge.log")"
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
  value[idle$sessions,$relay]=$(calc "%.1f" "($after - $before) / $sessions")
  value[served$sessions,$relay]=$(field "$line" served)
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
  value[slow,$relay]=$capped$(calc "%.1f" "$peak / 1024")
  stopRelay "$relay"
}

# Throughput and latency, the relays taking turns.
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
    value[$key,$relay]=$(median <<<"${samples[$key,$relay]:-}")
  done
  for direction in up down; do
    if [[ $relay != direct ]] && ((${bytesMoved[$direction,$relay]:-0} > 0)); then
      value[cpu_$direction,$relay]=$(calc "%.2f" \
        "${cpuUsed[$direction,$relay]} / $clockTicks / (${bytesMoved[$direction,$relay]} / 1e9)")
    fi
  done
done

# Memory, one fresh relay at a time.
for relay in $measured; do
  [[ $relay == direct ]] && continue
  for sessions in $sessionCounts; do
    if [[ $relay == websockify ]] && ((sessions > websockifyMaxSessions)); then
      value[idle$sessions,$relay]="not run"
      continue
    fi
    measureIdle "$relay" "$sessions"
  done
  measureSlowReader "$relay"
done

# The report.
relayColumns=(bridge websockify socat direct)
ratioOf() {  # a b: a / b as "1.23×", or "n/a"
  local a=${1#>} b=${2#>} prefix=""
  [[ $1 == \>* ]] && prefix="> "
  if ! [[ $a =~ ^[0-9.]+$ && $b =~ ^[0-9.]+$ ]] || ! awk "BEGIN {exit !($b > 0)}"; then
    echo "n/a"
    return
  fi
  echo "$prefix$(calc "%.2f" "$a / $b")×"
}

printRow() {  # key label
  local key=$1 label=$2 row relay
  row="| $label |"
  for relay in "${relayColumns[@]}"; do
    row+=" ${value[$key,$relay]:-n/a} |"
  done
  for relay in bridge websockify; do
    row+=" $(ratioOf "${value[$key,$relay]:-}" "${value[$key,socat]:-}") |"
    row+=" $(ratioOf "${value[$key,$relay]:-}" "${value[$key,direct]:-}") |"
  done
  echo "$row"
}

verdict() {  # value limit better(higher|lower) unit
  local v=${1#>} limit=$2 better=$3 unit=$4
  if ! [[ $v =~ ^[0-9.]+$ ]]; then
    echo "not measured"
  elif [[ $1 == \>* ]]; then
    echo "missed: more than $v$unit (limit $limit$unit)"
  elif [[ $better == higher ]] && awk "BEGIN {exit !($v >= $limit)}"; then
    echo "met ($v$unit, limit $limit$unit)"
  elif [[ $better == lower ]] && awk "BEGIN {exit !($v <= $limit)}"; then
    echo "met ($v$unit, limit $limit$unit)"
  elif [[ $better == higher ]]; then
    echo "missed by $(calc "%.0f" "100 * ($limit - $v) / $limit")% ($v$unit, limit $limit$unit)"
  else
    echo "missed by $(calc "%.0f" "100 * ($v - $limit) / $limit")% ($v$unit, limit $limit$unit)"
  fi
}

bridgeRatio() {
  local r
  r=$(ratioOf "${value[$1,bridge]:-}" "${value[$1,socat]:-}")
  echo "${r%×}"
}

read -r smallCount largeCount <<<"$sessionCounts"
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) CPUs," \
  "$(awk '/^MemTotal:/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM," \
  "Linux $(uname -r), Debian $(cat /etc/debian_version)"
echo "Relays: socat $(socat -V | sed -n 's/^socat version \([^ ]*\).*/\1/p') (-b $socatBuffer)," \
  "websockify $(dpkg-query -W -f='${Version}' websockify 2>/dev/null), quillfern" \
  "$(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "Load average at start: $loadAtStart; at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Run: $(date -u '+%Y-%m-%d %H:%M UTC'); throughput: ${seconds} s windows after ${warmup} s" \
  "warm-up, latency: $latencyCount round trips, each the median of $repeats runs taken in" \
  "turn; slow reader ${slowSeconds} s"
echo
echo "| Figure | bridge | websockify | socat | direct | bridge ÷ socat | bridge ÷ direct | websockify ÷ socat | websockify ÷ direct |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
printRow up1 "Throughput up, 1 connection (MB/s)"
printRow down1 "Throughput down, 1 connection (MB/s)"
printRow up8 "Throughput up, 8 connections (MB/s)"
printRow down8 "Throughput down, 8 connections (MB/s)"
printRow lat_p50 "Latency p50, as is (µs)"
printRow lat_p99 "Latency p99, as is (µs)"
printRow pin_p50 "Latency p50, pinned to CPU $pinCpu (µs)"
printRow pin_p99 "Latency p99, pinned to CPU $pinCpu (µs)"
printRow "idle$smallCount" "Memory per idle session, $smallCount sessions (KiB)"
printRow "served$smallCount" "Sessions served of $smallCount"
printRow "idle$largeCount" "Memory per idle session, $largeCount sessions (KiB)"
printRow "served$largeCount" "Sessions served of $largeCount"
printRow cpu_up "Relay CPU per GB up (s)"
printRow cpu_down "Relay CPU per GB down (s)"
printRow slow "Slow reader, relay peak memory (MiB)"
echo
echo "Targets for the bridge:"
echo "- throughput up, 1 connection, ≥ 1.0× socat: $(verdict "$(bridgeRatio up1)" 1.0 higher ×)"
echo "- throughput down, 1 connection, ≥ 1.0× socat: $(verdict "$(bridgeRatio down1)" 1.0 higher ×)"
echo "- throughput up, 8 connections, ≥ 1.5× socat: $(verdict "$(bridgeRatio up8)" 1.5 higher ×)"
echo "- throughput down, 8 connections, ≥ 1.5× socat: $(verdict "$(bridgeRatio down8)" 1.5 higher ×)"
echo "- pinned p50 latency no worse than socat: $(verdict "$(bridgeRatio pin_p50)" 1.0 lower ×)"
echo "- ≤ 16 KiB per idle session at $largeCount sessions: $(verdict "${value[idle$largeCount,bridge]:-}" 16 lower " KiB")"
echo "- all $largeCount sessions served: ${value[served$largeCount,bridge]:-n/a} of $largeCount"
echo "- slow reader keeps the bridge under 64 MiB: $(verdict "${value[slow,bridge]:-}" 64 lower " MiB")"
for relay in $relays; do
  if [[ -n ${note[$relay]:-} ]]; then
    echo "- $relay not measured: ${note[$relay]}"
  fi
done
exit 0
