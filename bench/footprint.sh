#!/usr/bin/env bash
# What serving the bridge alone costs, side by side in one run: quillfern-bridge, quillfern
# --headless (which runs quillfern-bridge in its place), and quillfern --headless serving the
# bridge in its own process, with the window libraries loaded (a copy of quillfern without the
# bridge executable beside it, as quillfern --headless ran before quillfern-bridge existed).
# For each: the time from starting the program to its first /health answer, its memory once
# serving and idle for a second (resident, the anonymous part of it, which is the process's
# own, and the proportional set, which counts shared library pages by their share), and the
# number of shared libraries it maps. The programs take
# turns, round after round, and each figure is the median of its rounds; the table goes to
# standard output.
#
#   bench/footprint.sh [--rounds N] [--no-build]
#
# Everything runs in a network namespace of its own (unshare), so the bridge's fixed port 9882
# is free there whoever else uses it on this machine, and nothing can leave the machine. The
# start-up allowlist refresh goes to a proxy port where nothing listens. Every wait is bounded.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=5
build=1
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift ;;
    --no-build) build=0 ;;
    --inside) break ;;
    *) echo "usage: bench/footprint.sh [--rounds N] [--no-build]" >&2; exit 2 ;;
  esac
  shift
done

bin=${BIN_DIR:-build/default/src}
if [[ ${1:-} != --inside ]]; then
  if ((build)); then
    cmake --build --preset default --target quillfern >&2
  fi
  exec unshare --user --map-root-user --net -- "$0" --inside "$rounds" "$bin"
fi
rounds=$2 bin=$3

ip link set lo up
work=$(mktemp -d /tmp/quillfern-footprint.XXXXXX)
running=  # the program being measured, stopped by its PID however this script ends
trap '[[ -z $running ]] || kill -KILL "$running" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/alone" "$work/config"
cp "$bin/quillfern" "$work/alone/quillfern"
mkfifo "$work/never"
exec {never}<>"$work/never"
pause() { read -r -t "$1" -u "$never" || true; }  # sleeps without starting a process

export XDG_CONFIG_HOME=$work/config http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9
unset no_proxy NO_PROXY

declare -A command=([bridge]="$bin/quillfern-bridge" [exec]="$bin/quillfern --headless"
                    [inprocess]="$work/alone/quillfern --headless")
declare -A label=([bridge]='`quillfern-bridge`' [exec]='`quillfern --headless`, runs the bridge'
                  [inprocess]='`quillfern --headless`, in its own process')
variants=(bridge exec inprocess)
declare -A startMs rssKiB anonKiB pssKiB libraries

# True once /health answers 200 on 127.0.0.1:9882.
healthy() {
  local reply
  exec {socket}<>/dev/tcp/127.0.0.1/9882 || return 1
  printf 'GET /health HTTP/1.1\r\nHost: 127.0.0.1:9882\r\n\r\n' >&"$socket"
  reply=$(head -c 12 <&"$socket" || true)
  exec {socket}>&-
  [[ $reply == "HTTP/1.1 200" ]]
}

measure() {  # one start of one variant
  local variant=$1 started pid i
  started=$(date +%s%N)
  # shellcheck disable=SC2086 # the command is a program and its option
  ${command[$variant]} 2>>"$work/$variant.log" &
  pid=$!
  running=$pid
  for ((i = 0; i < 5000; i++)); do  # polled every millisecond, for at most 5 s
    healthy 2>/dev/null && break
    pause 0.001
  done
  if ! healthy 2>/dev/null; then
    echo "footprint.sh: $variant did not answer /health: $(tail -n 1 "$work/$variant.log")" >&2
    exit 1
  fi
  startMs[$variant]+=" $((($(date +%s%N) - started) / 1000))"
  pause 1
  rssKiB[$variant]+=" $(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")"
  anonKiB[$variant]+=" $(awk '/^RssAnon:/ {print $2}' "/proc/$pid/status")"
  pssKiB[$variant]+=" $(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup")"
  libraries[$variant]+=" $(awk '$6 ~ /\.so/ {print $6}' "/proc/$pid/maps" | sort -u | wc -l)"
  kill -TERM "$pid"
  wait "$pid" || true
  running=
}

median() { tr ' ' '\n' | awk 'NF' | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

for ((round = 1; round <= rounds; round++)); do
  for variant in "${variants[@]}"; do
    measure "$variant"
  done
  echo "footprint.sh: round $round of $rounds done" >&2
done

echo "| Figure (median of $rounds starts) | ${label[bridge]} | ${label[exec]} | ${label[inprocess]} |"
echo "|---|---:|---:|---:|"
row() {  # title, name of the values array, divisor of its medians, printf format
  local -n values=$2
  printf '| %s' "$1"
  for variant in "${variants[@]}"; do
    printf ' | %s' "$(median <<<"${values[$variant]}" | awk -v d="$3" -v f="$4" '{printf f, $1 / d}')"
  done
  echo ' |'
}
row "Start to first /health answer (ms)" startMs 1000 '%.1f'
row "Resident memory, serving and idle (MiB)" rssKiB 1024 '%.1f'
row "of which anonymous: heap, stacks (MiB)" anonKiB 1024 '%.1f'
row "Proportional memory (Pss), same moment (MiB)" pssKiB 1024 '%.1f'
row "Shared libraries mapped" libraries 1 '%d'
