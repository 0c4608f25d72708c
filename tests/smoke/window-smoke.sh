#!/usr/bin/env bash
# Runs the real application in a virtual X display with a window manager, behind an HTTP proxy
# that logs every request and answers it with "502 Bad Gateway", with no no_proxy set, as in many
# offices. The start page must fail twice by its status, then the bridge's local fallback page
# must load without going through the proxy. Then a second start, full screen from the control
# bar, the bar fading, Ctrl+W. Checks the log, the second start's words and the saved window
# state, and saves the screenshots the README shows: loading indicator, notice, full screen.
#
# usage: window-smoke.sh QUILLFERN_BINARY OUTPUT_FOLDER
#
# Nothing leaves the machine and no name is looked up: http_proxy and https_proxy point at the
# proxy on 127.0.0.1 (WebKitGTK and libcurl both honour them), which reaches nothing. The proxy
# is socat handing each connection to this script's --answer.
set -euo pipefail
if [[ ${1:-} == --answer ]]; then  # one request: logged at once, answered after 3 s
  read -r method target _
  echo "$method $target" >>"$proxyLog"
  while read -r line && [[ $line != $'\r' ]]; do :; done
  sleep 3
  printf 'HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n'
  exit
fi
usage='usage: window-smoke.sh QUILLFERN_BINARY OUTPUT_FOLDER'
binary=${1:?$usage} output=${2:?$usage}
startPage='http://game.quillfern.example/?player=ruffle&app=ios'
fallbackPage='http://127.0.0.1:9882/fallback'
lifetime=180  # seconds after which the application is killed whatever happens

fail() {
  echo "window-smoke: FAIL: $*" >&2
  exit 1
}
for tool in xvfb-run import convert matchbox-window-manager xdotool socat; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh window)"
done
if (exec 3<>/dev/tcp/127.0.0.1/9882) 2>/dev/null; then
  fail "port 9882 on 127.0.0.1 is busy (another quillfern, or its --headless bridge?)"
fi

scratch=$(mktemp -d) proxyPid=
trap 'kill "$proxyPid" 2>/dev/null; rm -rf "$scratch"' EXIT
mkdir -p "$output" "$scratch/config"
log=$output/window-smoke.log proxyLog=$output/window-smoke-proxy.log
secondLog=$output/window-smoke-second.log
rm -f "$output"/window-*.png "$log" "$proxyLog" "$secondLog"

# Answers are held for 3 s, so the window is caught while its page loads.
export proxyLog
socat -d -d TCP-LISTEN:0,bind=127.0.0.1,fork "EXEC:$(realpath "$0") --answer" 2>"$scratch/proxy" &
proxyPid=$!
for _ in $(seq 50); do grep -q 'listening on' "$scratch/proxy" && break; sleep 0.1; done
proxy="http://127.0.0.1:$(sed -n 's/.*listening on .*:\([0-9]*\)$/\1/p' "$scratch/proxy")"
[[ $proxy =~ :[0-9]+$ ]] || fail "the smoke proxy did not start"

# Runs inside the virtual display: a window manager (full screen is its work), the application,
# and the player's actions. Every wait is bounded; a failure is written to the log.
inner() {
  shot() { import -window root "$output/window-$1.png"; }
  waitFor() {  # waitFor SECONDS FILE TEXT: until FILE holds TEXT, while the application runs
    local end=$((SECONDS + $1))
    until grep -qF -- "$3" "$2" 2>/dev/null; do
      kill -0 "$pid" 2>/dev/null && ((SECONDS < end)) && sleep 0.1 && continue
      echo "not seen within ${1}s, or the application ended: $3" >>"$log"
      kill -TERM "$pid" 2>/dev/null
      return 1
    done
  }
  matchbox-window-manager -use_titlebar no >/dev/null 2>&1 &
  "$binary" >"$log" 2>&1 &
  pid=$!
  # The first request for the start page waits at the proxy: the loading indicator shows.
  waitFor 30 "$proxyLog" "GET $startPage" || return 1
  sleep 1
  shot loading
  waitFor 90 "$log" "[Quillfern][web] 页面完成：$fallbackPage" || return 1
  sleep 2  # let the page paint its status box
  shot smoke
  # Without a session bus a second start cannot hand over to this one: it must say so and end.
  timeout 30 "$binary" >"$secondLog" 2>&1 && echo "second start: exit status 0" >>"$secondLog" \
    || echo "second start: exit status $?" >>"$secondLog"
  # The fallback page has no full screen of its own: the button switches the window's.
  xdotool mousemove 1232 26 click 1
  sleep 0.8
  shot fullscreen
  sleep 4  # the pointer rests: the bar fades
  shot bar-faded
  xdotool key ctrl+w
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && echo "Ctrl+W did not close the window within 10s" >>"$log" && return 1
  true
}
# xvfb-run is a POSIX shell script, which drops exported bash functions: the function's text
# goes along as the command instead.
export binary log proxyLog secondLog output startPage fallbackPage
status=0
env -u no_proxy -u NO_PROXY \
    http_proxy="$proxy" https_proxy="$proxy" HTTP_PROXY="$proxy" HTTPS_PROXY="$proxy" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/no-bus" XDG_CONFIG_HOME="$scratch/config" \
    XDG_DATA_HOME="$scratch/data" XDG_CACHE_HOME="$scratch/cache" GSK_RENDERER=cairo \
    timeout --kill-after=5 "$lifetime" \
    xvfb-run --auto-servernum --server-args="-screen 0 1280x720x24" \
    bash -c "$(declare -f inner); inner" || status=$?
echo "window-smoke: application log: $log, proxy log: $proxyLog, second start: $secondLog"
cat "$log" "$proxyLog" "$secondLog"
((status != 124)) || fail "the run took longer than ${lifetime}s and was stopped"
((status == 0)) || fail "the run ended with status $status"

# The ladder reached the fallback page (the wait above); its parts are the controller's and the
# page view's tests. Here the bridge stops when Ctrl+W closes the window.
grep -qF "[Quillfern][bridge] 已停止" "$log" || fail "the bridge did not stop with the window"
[[ $(cat "$secondLog") == *"is in use, most likely by another running quillfern"*$'\n'"second start: exit status 1" \
   && $(wc -l <"$secondLog") == 2 ]] || fail "the second start did not say in one line why it opened no window, and end with 1"
# Ctrl+W closed the window in full screen; the next start opens it that way.
grep -qE '"quillfern.window.fullscreen": true' "$scratch/config/quillfern/defaults.json" \
  || fail "the window's full screen was not saved"

# The screenshots must show what the window shows: bright text and bars on dark grounds.
bright() {  # bright SHOT REGION: something in the WIDTHxHEIGHT+X+Y region is brighter than the ground
  [[ -s $output/window-$1.png ]] || fail "no screenshot window-$1.png was taken"
  awk -v v="$(convert "$output/window-$1.png" -crop "$2" +repage -colorspace Gray -format '%[fx:maxima]' info:)" \
    'BEGIN { exit !(v > 0.45) }'
}
bright loading 1280x3+0+0 || fail "no loading indicator along the top edge while the page loads"
bright smoke 130x36+1142+8 || fail "the control bar's titles are not visible in the top-right corner"
bright smoke 400x40+0+0 || fail "the fallback page's status text is not visible in the top-left corner"
bright smoke 1280x30+0+688 || fail "the notice is not visible along the bottom edge"
bright fullscreen 300x40+490+630 || fail "the full-screen hint is not visible above the notice"
! bright bar-faded 130x36+1142+8 || fail "the control bar did not fade in full screen"
echo "window-smoke: screenshots saved: $output/window-*.png"
echo "window-smoke: PASS"
