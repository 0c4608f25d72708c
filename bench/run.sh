#!/usr/bin/env bash
# Measures, side by side in one run on this machine, the loopback bridge (quillfern --headless),
# websockify (a WebSocket-to-TCP bridge with a fixed target), socat (a plain TCP relay) and a
# direct TCP connection, and prints a Markdown table with each figure's ratio to socat and to
# direct TCP, then the targets as met or missed.
#
#   bench/run.sh [--quick] [--no-build] [--relays "direct socat websockify bridge"]
#
# Everything runs on 127.0.0.1. Every wait is bounded in count and time, and every process this
# script starts is stopped by its PID. Needs the bench packages (scripts/install-deps.sh bench).
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
  cmake --build --preset default --target quillfern_loadgen quillfern
fi

# Run lengths. --quick is for trying the script, not for the README.
seconds=5 warmup=1 repeats=3 latencyCount=20000 slowSeconds=20 sessionCounts="1000 5000"
if ((quick)); then
  seconds=2 warmup=0.5 repeats=1 latencyCount=3000 slowSeconds=5 sessionCounts="200 500"
fi
# websockify forks one Python process per connection (about 4 MB each): 5,000 of them would
# need some 20 GB, so it is measured at the smaller counts only.
websockifyMaxSessions=${WEBSOCKIFY_MAX_SESSIONS:-1000}
# socat's relay buffer; its default of 8192 bytes would make it slower than any relay that reads
# 64 KiB at a time, which is what the bridge does.
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
  local pid
  for pid in "${started[@]}"; do
    stopPid "$pid"
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

# CPU ticks used by a relay and every child it forked, live or already reaped. A relay may have
# thousands of children, so one awk reads them all; cat skips those that have just exited.
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
# proportional set summed over a relay that forks a process per connection, so that pages
# the children share are counted once.
memoryKiB() {
  local pid=$1 kind=$2
  if [[ $kind == rss ]]; then
    awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0
    return
  fi
  local files=() p
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

declare -A port path pid value note
# The relay being measured, started by startRelay: port/path/pid by server role (sink, source,
# echo), and memKind for memoryKiB.
memKind=rss
relayPids=()

startBridge() {
  if portOpen "$bridgePort"; then
    note[bridge]="port $bridgePort was taken by another process"
    return 1
  fi
  mkdir -p "$work/config/quillfern"
  printf '{"mobile_bridge.allowed_hosts": ["127.0.0.1:%s", "127.0.0.1:%s", "127.0.0.1:%s"]}\n' \
    "$sinkPort" "$sourcePort" "$echoPort" >"$work/config/quillfern/defaults.json"
  # The start-up refresh goes to a proxy port where nothing listens, so nothing is looked up.
  local proxy="http://127.0.0.1:$(freePort)"
  env -u no_proxy -u NO_PROXY XDG_CONFIG_HOME="$work/config" http_proxy="$proxy" \
    https_proxy="$proxy" HTTP_PROXY="$proxy" HTTPS_PROXY="$proxy" \
    "$quillfern" --headless >>"$work/bridge.log" 2>&1 &
  local bridgePid=$!
  started+=("$bridgePid")
  if ! waitForPort "$bridgePort" || ! kill -0 "$bridgePid" 2>/dev/null; then
    note[bridge]="quillfern --headless did not listen on $bridgePort (see its log)"
    stopPid "$bridgePid"
    return 1
  fi
  local role target
  for role in sink source echo; do
    target=${role}Port
    port[$role]=$bridgePort path[$role]="/127.0.0.1/${!target}" pid[$role]=$bridgePid
  done
  relayPids=("$bridgePid")
  memKind=rss
}

startForwarders() {  # one socat or websockify per server, each with its fixed target
  local kind=$1 role target listen p
  relayPids=()
  for role in sink source echo; do
    target=${role}Port
    listen=$(freePort)
    if [[ $kind == socat ]]; then
      socat -b "$socatBuffer" \
        "TCP-LISTEN:$listen,bind=127.0.0.1,reuseaddr,fork,backlog=4096,nodelay" \
        "TCP:127.0.0.1:${!target},nodelay" >>"$work/socat.log" 2>&1 &
      path[$role]=""
    else
      websockify "127.0.0.1:$listen" "127.0.0.1:${!target}" >>"$work/websockify.log" 2>&1 &
      path[$role]="/"
    fi
    p=$!
    started+=("$p")
    relayPids+=("$p")
    port[$role]=$listen pid[$role]=$p
    waitForPort "$listen" || return 1
  done
  memKind=pss
}

startRelay() {
  case $1 in
    direct)
      port=([sink]=$sinkPort [source]=$sourcePort [echo]=$echoPort)
      path=([sink]="" [source]="" [echo]="")
      pid=()
      relayPids=()
      ;;
    bridge) startBridge ;;
    *) startForwarders "$1" ;;
  esac
}

stopRelay() {
  local p
  for p in "${relayPids[@]}"; do
    stopPid "$p"
  done
  relayPids=()
}

route() {  # loadgen arguments that reach role through the relay
  echo "--port ${port[$1]}${path[$1]:+ --path ${path[$1]}}"
}

relayCpu() {
  local total=0 p
  for p in "${relayPids[@]}"; do
    total=$((total + $(cpuTicks "$p")))
  done
  echo "$total"
}

log() { echo "run.sh: $*" >&2; }

measureThroughput() {  # relay; sets value[upN,relay], value[cpu_up,relay] and the same for down
  local relay=$1 direction role n rates line cpuBefore bytes moved r
  for direction in up down; do
    role=$([[ $direction == up ]] && echo sink || echo source)
    cpuBefore=$(relayCpu)
    bytes=0
    for n in 1 8; do
      rates=""
      for ((r = 0; r < repeats; r++)); do
        # shellcheck disable=SC2046
        line=$("$loadgen" "$direction" $(route "$role") --connections "$n" --seconds "$seconds" \
          --warmup "$warmup" | grep '^result') || true
        log "$relay $direction x$n: $line"
        rates+=" $(field "$line" mbps)"
        moved=$(field "$line" bytes)
        bytes=$((bytes + ${moved:-0}))
      done
      value[$direction$n,$relay]=$(median <<<"$rates")
    done
    sleep 1  # let forked relays reap their children, whose time then counts for the parent
    if ((${#relayPids[@]})) && ((bytes > 0)); then
      value[cpu_$direction,$relay]=$(calc "%.2f" "($(relayCpu) - $cpuBefore) / $clockTicks / ($bytes / 1e9)")
    fi
  done
}

latencyRun() {  # relay key [pin]; sets value[key_p50,relay], value[key_p99,relay]
  local relay=$1 key=$2 pinned=${3:-} line
  local client=("$loadgen")
  [[ -n $pinned ]] && client=(taskset -c "$pinCpu" "$loadgen")
  # shellcheck disable=SC2046
  line=$("${client[@]}" latency $(route echo) --count "$latencyCount" --seconds 20 | grep '^result') || true
  log "$relay $key: $line"
  value[${key}_p50,$relay]=$(field "$line" p50_us)
  value[${key}_p99,$relay]=$(field "$line" p99_us)
}

pinAll() {  # cpu list: the servers, the relays and every thread and child they have
  local p q
  for p in "$serverPid" "${relayPids[@]}"; do
    for q in $(treePids "$p"); do
      taskset -a -p -c "$1" "$q" >/dev/null 2>&1 || true
    done
  done
}

measureLatency() {
  latencyRun "$1" lat
  pinAll "$pinCpu"
  latencyRun "$1" pin pinned
  pinAll "0-$lastCpu"
}

measureIdle() {  # relay sessions; a fresh relay holds the sessions
  local relay=$1 sessions=$2 before after line i clientPid out="$work/idle-$1-$2"
  startRelay "$relay" || return 0
  sleep 0.5
  before=$(memoryKiB "${pid[echo]}" "$memKind")
  # shellcheck disable=SC2046
  "$loadgen" idle $(route echo) --sessions "$sessions" --parallel 128 --setup 600 --hold 700 \
    >"$out" 2>&1 &
  clientPid=$!
  started+=("$clientPid")
  for ((i = 0; i < 6000; i++)); do  # at most 600 s
    grep -q '^ready' "$out" 2>/dev/null && break
    kill -0 "$clientPid" 2>/dev/null || break
    sleep 0.1
  done
  sleep 1
  after=$(memoryKiB "${pid[echo]}" "$memKind")
  line=$(grep '^ready' "$out" || echo "ready served=0")
  log "$relay idle $sessions: $line, memory ${before} KiB -> ${after} KiB"
  value[idle$sessions,$relay]=$(calc "%.1f" "($after - $before) / $sessions")
  value[served$sessions,$relay]=$(field "$line" served)
  stopPid "$clientPid"
  log "$relay idle $sessions: $(grep '^result' "$out" || true)"
  stopRelay
}

measureSlowReader() {  # relay; the peak memory of a fresh relay under one slow reader
  local relay=$1 peak=0 m i clientPid capped="" line out="$work/slow-$1"
  startRelay "$relay" || return 0
  # shellcheck disable=SC2046
  "$loadgen" slow $(route source) --rate 1000000 --seconds "$slowSeconds" >"$out" 2>&1 &
  clientPid=$!
  started+=("$clientPid")
  for ((i = 0; i < (slowSeconds + 15) * 5; i++)); do
    kill -0 "$clientPid" 2>/dev/null || break
    m=$(memoryKiB "${pid[source]}" "$memKind")
    ((m > peak)) && peak=$m
    if ((m > slowCapKiB)); then
      capped=">"
      stopRelay
      break
    fi
    sleep 0.2
  done
  if [[ $memKind == rss && -z $capped ]]; then
    m=$(awk '/^VmHWM:/ {print $2}' "/proc/${pid[source]}/status" 2>/dev/null || echo 0)
    ((m > peak)) && peak=$m
  fi
  stopPid "$clientPid"
  line=$(grep '^result' "$out" || true)
  log "$relay slow reader: $line, peak $peak KiB${capped:+ (stopped at the cap)}"
  value[slow,$relay]=$capped$(calc "%.1f" "$peak / 1024")
  stopRelay
}

for relay in $relays; do
  log "measuring $relay"
  if ! startRelay "$relay"; then
    log "$relay skipped: ${note[$relay]:-it did not start}"
    continue
  fi
  measureThroughput "$relay"
  measureLatency "$relay"
  stopRelay
  if [[ $relay != direct ]]; then
    for sessions in $sessionCounts; do
      if [[ $relay == websockify ]] && ((sessions > websockifyMaxSessions)); then
        continue
      fi
      measureIdle "$relay" "$sessions"
    done
    measureSlowReader "$relay"
  fi
done

# The report.
relayColumns=(bridge websockify socat direct)
ratioOf() {  # a b: a / b as "1.23×", or "n/a"
  local a=${1#>} b=${2#>} prefix=""
  [[ $1 == \>* ]] && prefix="> "
  if [[ -z $a || -z $b ]] || ! awk "BEGIN {exit !($b > 0)}"; then
    echo "n/a"
    return
  fi
  echo "$prefix$(calc "%.2f" "$a / $b")×"
}

cell() { echo "${value[$1,$2]:-n/a}"; }

printRow() {  # key label
  local key=$1 label=$2 row relay
  row="| $label |"
  for relay in "${relayColumns[@]}"; do
    row+=" $(cell "$key" "$relay") |"
  done
  for relay in bridge websockify; do
    row+=" $(ratioOf "${value[$key,$relay]:-}" "${value[$key,socat]:-}") |"
    row+=" $(ratioOf "${value[$key,$relay]:-}" "${value[$key,direct]:-}") |"
  done
  echo "$row"
}

verdict() {  # ratio-or-value limit better(higher|lower) unit
  local v=${1#>} limit=$2 better=$3 unit=$4
  if [[ -z $v || $v == n/a ]]; then
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
echo "Run: $(date -u '+%Y-%m-%d %H:%M UTC'), ${seconds} s windows after ${warmup} s warm-up," \
  "median of $repeats; $latencyCount round trips; slow reader ${slowSeconds} s"
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
  [[ -n ${note[$relay]:-} ]] && echo "- $relay not measured: ${note[$relay]}"
done
exit 0
