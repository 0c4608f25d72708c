#!/usr/bin/env bash
# Runs quillfern-bridge the way the user unit runs it and checks that it still does its job:
# /health answers, and the allowlist it fetches (through a local proxy, service_probe, from a
# stand-in for the game site whose certificate the bridge is made to trust) replaces the settings
# file atomically, keeping the file's other keys.
#
#   bridge-service.sh confined BIN_DIR PROBE UNIT  the unit's confinement, without a service manager
#   bridge-service.sh headless BIN_DIR             quillfern --headless runs the bridge beside it
#
# Both run in network and mount namespaces of their own (unshare), where port 9882 is free
# whoever else uses it and nothing can leave the machine. confined gives the bridge a read-only
# view of every file system but the settings folder, a private /tmp, no capabilities and no new
# privileges (setpriv), as the unit UNIT asks of a service manager. Exits 77 when what a mode
# needs is missing.
set -euo pipefail
mode=${1:?usage: bridge-service.sh confined|headless BIN_DIR [PROBE UNIT]}
bin=${2:?} probe=${3:-} unitFile=${4:-}

fail() {
  echo "FAIL: $*"
  exit 1
}
skip() {
  echo "skipped: $*"
  exit 77
}
# Whatever this script started goes when it ends, however it ends: processes it has not waited
# for yet are killed.
work=''
cleanup() {
  { jobs -p | xargs -r kill -KILL && wait; } 2>/dev/null
  [[ -z $work ]] || rm -rf "$work"
}
trap cleanup EXIT
waitFor() {  # up to 10 s for a command to succeed
  for _ in $(seq 200); do "$@" && return 0; sleep 0.05; done
  return 1
}
healthy() {
  local reply
  { exec {socket}<>/dev/tcp/127.0.0.1/9882; } 2>/dev/null || return 1
  printf 'GET /health HTTP/1.1\r\nHost: 127.0.0.1:9882\r\n\r\n' >&"$socket"
  reply=$(cat <&"$socket")
  exec {socket}>&-
  [[ $reply == *'{"ok":true,"port":9882,'* ]]
}
stopAndCheck() {  # PID WHAT: SIGTERM must end it with status 0
  kill -TERM "$1"
  wait "$1" || fail "$2 exited with status $? after SIGTERM"
}

if [[ -z ${QUILLFERN_IN_NAMESPACE:-} ]]; then
  command -v ip >/dev/null || skip "ip is not installed (package iproute2)"
  QUILLFERN_IN_NAMESPACE=1 unshare --user --map-root-user --net --mount true 2>/dev/null \
    || skip "this machine gives no user, network and mount namespaces to unprivileged users"
  QUILLFERN_IN_NAMESPACE=1 exec unshare --user --map-root-user --net --mount -- "$0" "$@"
fi
ip link set lo up
# Nothing may reach a proxy of this machine's own, nor look a name up: the refresh goes to a
# port where nothing listens unless a mode gives it the local site's proxy.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9
unset no_proxy NO_PROXY HTTP_PROXY HTTPS_PROXY

if [[ $mode == headless ]]; then
  work=$(mktemp -d)
  export XDG_CONFIG_HOME=$work
  mkdir "$work/alone"
  cp "$bin/quillfern" "$work/alone/quillfern"
  # Beside the bridge executable, quillfern --headless becomes it; alone, it serves itself.
  for run in "$bin/quillfern:$bin/quillfern-bridge" "$work/alone/quillfern:$work/alone/quillfern"; do
    program=${run%%:*} expected=$(realpath "${run#*:}")
    "$program" --headless 2>"$work/log" &
    pid=$!
    waitFor healthy || fail "$program --headless did not answer /health: $(cat "$work/log")"
    [[ $(readlink "/proc/$pid/exe") == "$expected" ]] \
      || fail "$program --headless runs $(readlink "/proc/$pid/exe"), not $expected"
    stopAndCheck "$pid" "$program --headless"
    echo "ok: $program --headless serves as $expected"
  done
  exit 0
fi

command -v openssl >/dev/null || skip "openssl is not installed (package openssl)"
certificates=/etc/ssl/certs/ca-certificates.crt
[[ -f $certificates ]] || skip "$certificates is missing (package ca-certificates)"
# Outside /tmp, which the bridge sees as a private, empty folder.
work=$(mktemp -d "$PWD/bridge-service.XXXXXX")
config=$work/config
mkdir -p "$config/quillfern"
settings=$config/quillfern/defaults.json
echo '{"quillfern.kept": true}' >"$settings"
inode=$(stat -c %i "$settings")
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj /CN=game.quillfern.example -addext subjectAltName=DNS:game.quillfern.example \
  -keyout "$work/site.pem" -out "$work/site.crt" 2>/dev/null
cat "$work/site.crt" >>"$work/site.pem"

"$probe" "$work" >"$work/probe.log" 2>&1 &
waitFor test -f "$work/port" || fail "the probe did not start: $(cat "$work/probe.log")"
proxy=http://127.0.0.1:$(cat "$work/port")

# The bridge's own mount namespace: the settings folder stays writable, the test site's
# certificate stands in for the system's, /tmp is private, everything else is read-only.
# Then no capabilities and no new privileges, and the user unit's umask.
XDG_CONFIG_HOME=$config http_proxy=$proxy https_proxy=$proxy unshare --mount -- bash -c '
  set -e
  config=$1 bridge=$2 certificate=$3 certificates=$4
  mount --bind "$config" "$config"
  mount --bind "$certificate" "$certificates"
  # A private /tmp. A checkout under /tmp keeps the bridge and the settings folder there, so
  # those two are bound back in from the real /tmp, still reached through the working folder.
  cd /tmp
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  for path in "$config" "$bridge"; do
    [[ $path == /tmp/* ]] || continue
    if [[ -d ./${path#/tmp/} ]]; then mkdir -p "$path"; else mkdir -p "${path%/*}" && touch "$path"; fi
    mount --no-canonicalize --bind "./${path#/tmp/}" "$path"
  done
  cd /
  findmnt -rno TARGET | sort -u | while read -r target; do
    case $target in "$config" | /proc | /proc/* | /sys | /sys/* | /dev | /dev/*) continue ;; esac
    mount -o remount,bind,ro "$target"
  done
  # The view itself, before the bridge relies on it.
  touch "$config/quillfern/probe" && rm "$config/quillfern/probe" || exit 1
  if touch "${config%/*}/probe" 2>/dev/null; then echo "the view is not read-only" >&2; exit 1; fi
  umask 077
  exec setpriv --no-new-privs --bounding-set=-all --inh-caps=-all -- "$bridge"
' confine "$config" "$bin/quillfern-bridge" "$work/site.crt" "$certificates" \
  >"$work/bridge.log" 2>&1 &
bridgePid=$!
waitFor healthy || fail "the confined bridge did not serve: $(cat "$work/bridge.log")"
grep -q '^NoNewPrivs:[[:space:]]*1' "/proc/$bridgePid/status" || fail "no_new_privs is not set"
grep -q '^CapBnd:[[:space:]]*0*$' "/proc/$bridgePid/status" || fail "capabilities are left"
# This run stands for the unit, which must ask a service manager for the same confinement.
for directive in ProtectSystem=strict ReadWritePaths=%E/quillfern PrivateTmp=yes UMask=0077 \
    NoNewPrivileges=yes CapabilityBoundingSet=; do
  grep -qx "$directive" "$unitFile" || fail "the unit $unitFile lacks $directive"
done
waitFor grep -qF '"127.0.0.1:1863"' "$settings" \
  || fail "the fetched allowlist is not in the settings: $(cat "$work/probe.log" "$work/bridge.log")"
[[ $(stat -c %i "$settings") != "$inode" ]] || fail "the settings file was written in place"
grep -q '"quillfern.kept": *true' "$settings" || fail "the settings lost a key: $(cat "$settings")"
stopAndCheck "$bridgePid" "the confined bridge"
for line in '[Quillfern][bridge] 已监听 ws://127.0.0.1:9882' \
             '[Quillfern][hosts] 在线白名单已更新，共 1 条' '[Quillfern][bridge] 已停止'; do
  grep -qF "$line" "$work/bridge.log" || fail "the log lacks '$line': $(cat "$work/bridge.log")"
done
echo "ok: the $mode bridge served, wrote its settings and logged"
