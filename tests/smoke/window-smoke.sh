#!/usr/bin/env bash
# Runs the real application in a virtual X display with a window manager, behind an HTTP proxy
# that answers every request with "502 Bad Gateway" and no no_proxy set, as in many offices. The
# start page must fail twice by its status, then the bridge's local fallback page must load
# without going through the proxy. Then the window is driven as a player would: full screen from
# the control bar, the bar fading and coming back, F5, a second start, Ctrl+W. Checks the log,
# what reached the proxy and the saved window state, and saves screenshots of the loading
# indicator, the notice and full screen.
#
# usage: window-smoke.sh QUILLFERN_BINARY SMOKE_PROXY_BINARY OUTPUT_FOLDER
#
# Nothing leaves the machine and no name is looked up: http_proxy and https_proxy point at the
# proxy on 127.0.0.1 (WebKitGTK and libcurl both honour them), which reaches nothing.
set -euo pipefail

usage='usage: window-smoke.sh QUILLFERN_BINARY SMOKE_PROXY_BINARY OUTPUT_FOLDER'
binary=${1:?$usage}
proxyBinary=${2:?$usage}
output=${3:?$usage}
startPage='http://game.quillfern.example/?player=ruffle&app=ios'
fallbackPage='http://127.0.0.1:9882/fallback'
deadline=90   # seconds for the whole ladder; the bridge wait alone may take 5
lifetime=180  # seconds after which the application is killed whatever happens

fail() {
  echo "window-smoke: FAIL: $*" >&2
  exit 1
}

for tool in xvfb-run import convert matchbox-window-manager xdotool; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh window)"
done

listening() {  # true when something accepts connections on 127.0.0.1:$1
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

if listening 9882; then
  fail "port 9882 on 127.0.0.1 is busy (another quillfern, or its --headless bridge?); the" \
       "application's bridge must listen there. Stop that program and run the test again."
fi

scratch=$(mktemp -d)
proxyPid=
cleanUp() {
  [[ -z $proxyPid ]] || kill "$proxyPid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanUp EXIT
mkdir -p "$output" "$scratch/config" "$scratch/data" "$scratch/cache"
log="$output/window-smoke.log"
proxyLog="$output/window-smoke-proxy.log"
secondLog="$output/window-smoke-second.log"
rm -f "$output"/window-*.png "$log" "$proxyLog" "$secondLog"

# Answers are held for up to 3 s, so the window is caught while its page loads.
"$proxyBinary" "$proxyLog" 3000 "$lifetime" >"$scratch/proxy-port" &
proxyPid=$!
for _ in $(seq 50); do
  [[ -s $scratch/proxy-port ]] && break
  sleep 0.1
done
proxy="http://127.0.0.1:$(head -n1 "$scratch/proxy-port")"
[[ $proxy =~ :[0-9]+$ ]] || fail "the smoke proxy did not start"

# Runs inside the virtual display: starts a window manager (full screen is its work) and the
# application, and drives the window. Every wait is bounded; a failure is written to the log.
inner() {
  screenshot() { import -window root "$output/$1"; }
  waitFor() {  # waitFor SECONDS FILE TEXT [COUNT]: until FILE holds TEXT on COUNT lines
    local started=$SECONDS
    until (( $(grep -cF -- "$3" "$2" 2>/dev/null) >= ${4:-1} )); do
      if ! kill -0 "$pid" 2>/dev/null; then
        echo "the application ended early, waiting for: $3" >>"$log"
        return 1
      fi
      if (( SECONDS - started >= $1 )); then
        echo "not seen within ${1}s: $3" >>"$log"
        return 1
      fi
      sleep 0.1
    done
  }
  stop() {
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || true
    kill "$wm" 2>/dev/null || true
  }
  matchbox-window-manager -use_titlebar no >/dev/null 2>&1 &
  wm=$!
  "$binary" >"$log" 2>&1 &
  pid=$!

  # The first request for the start page waits at the proxy: the loading indicator shows.
  waitFor 30 "$proxyLog" "GET $startPage" || { stop; return 1; }
  sleep 1
  screenshot window-loading.png
  waitFor "$deadline" "$log" "[Quillfern][web] 页面完成：$fallbackPage" || { stop; return 1; }
  sleep 2  # let the page paint its status box
  screenshot window-smoke.png

  # Without a session bus a second start cannot hand over to this one: it must say so and end.
  local status=0
  timeout 30 "$binary" >"$secondLog" 2>&1 || status=$?
  echo "second start: exit status $status" >>"$secondLog"

  # The fallback page has no full screen of its own: the button switches the window's.
  xdotool mousemove 1232 26 click 1
  sleep 0.8
  screenshot window-fullscreen.png
  sleep 4  # the pointer rests: the bar fades
  screenshot window-bar-faded.png
  xdotool mousemove 640 300
  sleep 0.8
  screenshot window-bar-back.png

  xdotool key F5
  waitFor 30 "$log" "[Quillfern][web] 页面完成：$fallbackPage" 2 || { stop; return 1; }
  xdotool key ctrl+w
  local waited=0
  while kill -0 "$pid" 2>/dev/null && (( waited++ < 100 )); do
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "Ctrl+W did not close the window within 10s" >>"$log"
    stop
    return 1
  fi
  wait "$pid" || true
  kill "$wm" 2>/dev/null || true
}
# xvfb-run is a POSIX shell script, which drops exported bash functions: the function's text
# goes along as the command instead.
export binary log proxyLog secondLog output deadline startPage fallbackPage

status=0
env -u no_proxy -u NO_PROXY \
    http_proxy="$proxy" https_proxy="$proxy" HTTP_PROXY="$proxy" HTTPS_PROXY="$proxy" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/no-bus" \
    XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
    XDG_CACHE_HOME="$scratch/cache" GSK_RENDERER=cairo \
    timeout --kill-after=5 "$lifetime" \
    xvfb-run --auto-servernum --server-args="-screen 0 1280x720x24" \
    bash -c "$(declare -f inner); inner" || status=$?

echo "window-smoke: application log: $log"
cat "$log"
(( status != 124 )) || fail "the run took longer than ${lifetime}s and was stopped"
(( status == 0 )) || fail "the run ended with status $status"

# The ladder, in order: the bridge listens, the start page fails twice by the proxy's status,
# the fallback loads, its width is fitted, F5 loads it again, and the bridge stops when Ctrl+W
# closes the window.
expected=(
  "[Quillfern][bridge] 已监听 ws://127.0.0.1:9882"
  "[Quillfern][web] 加载：$startPage"
  "[Quillfern][web] 主页面加载失败：HTTP 502 Bad Gateway"
  "[Quillfern][web] 加载：$startPage"
  "[Quillfern][web] 主页面加载失败：HTTP 502 Bad Gateway"
  "[Quillfern][web] 加载：$fallbackPage"
  "[Quillfern][web] 页面完成：$fallbackPage"
  "[Quillfern][web] 页面适配宽度："
  "[Quillfern][web] 页面完成：$fallbackPage"
  "[Quillfern][bridge] 已停止"
)
remaining=$(grep -F '[Quillfern]' "$log")
for line in "${expected[@]}"; do
  found=$(grep -nF -m1 -- "$line" <<<"$remaining" | cut -d: -f1) \
    || fail "missing, or out of order: $line"
  remaining=$(tail -n "+$((found + 1))" <<<"$remaining")
done

# The allowlist refresh ran once, beside the ladder, and failed at the proxy.
grep -qF "[Quillfern][hosts] 在线更新失败，继续使用缓存/内置白名单：" "$log" \
  || fail "missing: the failed allowlist refresh"

# The site went through the proxy; the bridge's page and sockets on loopback did not.
echo "window-smoke: requests at the proxy: $proxyLog"
cat "$proxyLog"
(( $(grep -cF "GET $startPage" "$proxyLog") >= 2 )) || fail "the start page did not go to the proxy"
if grep -E '127\.0\.0\.1|localhost|\[::1\]' "$proxyLog"; then
  fail "requests for loopback went through the proxy"
fi

echo "window-smoke: second start: $secondLog"
cat "$secondLog"
grep -qF "second start: exit status 1" "$secondLog" || fail "the second start did not end with 1"
[[ $(grep -vc "^second start:" "$secondLog") == 1 ]] || fail "the second start said more than a line"
grep -qF "is in use, most likely by another running quillfern" "$secondLog" \
  || fail "the second start did not say why it opened no window"

# Ctrl+W closed the window in full screen; the next start opens it that way.
settings=$scratch/config/quillfern/defaults.json
grep -qE '"quillfern.window.fullscreen": true' "$settings" \
  || fail "the window's state was not saved: $(cat "$settings")"

# The screenshots must show what the window shows: bright text and bars on dark grounds.
for shot in loading smoke fullscreen bar-faded bar-back; do
  [[ -s $output/window-$shot.png ]] || fail "no screenshot window-$shot.png was taken"
done
brightest() {  # brightest value (0 to 1) in a WIDTHxHEIGHT+X+Y region of a screenshot
  convert "$output/window-$1.png" -crop "$2" +repage -colorspace Gray -format '%[fx:maxima]' info:
}
bright() {  # bright SHOT REGION: something in the region is brighter than the dark grounds
  awk -v v="$(brightest "$1" "$2")" 'BEGIN { exit !(v > 0.45) }'
}
bright loading 1280x3+0+0 || fail "no loading indicator along the top edge while the page loads"
bright smoke 130x36+1142+8 || fail "the control bar's titles are not visible in the top-right corner"
bright smoke 400x40+0+0 || fail "the fallback page's status text is not visible in the top-left corner"
bright smoke 1280x30+0+688 || fail "the notice is not visible along the bottom edge"
bright fullscreen 300x40+490+630 || fail "the full-screen hint is not visible above the notice"
bright bar-faded 130x36+1142+8 && fail "the control bar did not fade in full screen"
bright bar-back 130x36+1142+8 || fail "the control bar did not come back when the pointer moved"
echo "window-smoke: screenshots saved: $output/window-*.png"
echo "window-smoke: PASS"
