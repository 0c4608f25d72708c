#!/usr/bin/env bash
# Runs the real application in a virtual X display with every site address unreachable: the
# start page must fail twice, then the bridge's local fallback page must load. Checks the log
# of that ladder and saves a screenshot of the window.
#
# usage: window-smoke.sh QUILLFERN_BINARY OUTPUT_FOLDER
#
# Nothing leaves the machine and no name is looked up: http_proxy and https_proxy point at a
# port on 127.0.0.1 where nothing listens (WebKitGTK and libcurl both honour them), and
# no_proxy lets the bridge's own pages on 127.0.0.1 through.
set -euo pipefail

binary=${1:?usage: window-smoke.sh QUILLFERN_BINARY OUTPUT_FOLDER}
output=${2:?usage: window-smoke.sh QUILLFERN_BINARY OUTPUT_FOLDER}
startPage='http://game.quillfern.example/?player=ruffle&app=ios'
fallbackPage='http://127.0.0.1:9882/fallback'
deadline=90   # seconds for the whole ladder; the bridge wait alone may take 5
lifetime=150  # seconds after which the application is killed whatever happens

fail() {
  echo "window-smoke: FAIL: $*" >&2
  exit 1
}

for tool in xvfb-run import convert; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh window)"
done

listening() {  # true when something accepts connections on 127.0.0.1:$1
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

if listening 9882; then
  fail "port 9882 on 127.0.0.1 is busy (another quillfern, or its --headless bridge?); the" \
       "application's bridge must listen there. Stop that program and run the test again."
fi

# Below the ephemeral range, so that no outgoing connection can take the port as its own source
# and connect to itself.
deadProxyPort=
for port in $(seq 20000 20099); do
  if ! listening "$port"; then
    deadProxyPort=$port
    break
  fi
done
[[ -n $deadProxyPort ]] || fail "no unused port between 20000 and 20099 for the dead proxy"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$output" "$scratch/config" "$scratch/data" "$scratch/cache"
screenshot="$output/window-smoke.png"
log="$output/window-smoke.log"
rm -f "$screenshot" "$log"

# Runs inside the virtual display: starts the application, waits for the fallback page,
# takes the screenshot, then stops the application by its PID.
inner() {
  "$binary" >"$log" 2>&1 &
  local pid=$!
  local started=$SECONDS
  until grep -qF "[Quillfern][web] 页面完成：$fallbackPage" "$log"; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "the application ended early" >>"$log"
      return 1
    fi
    if (( SECONDS - started >= deadline )); then
      kill -KILL "$pid"
      echo "the fallback page did not finish loading within ${deadline}s" >>"$log"
      return 1
    fi
    sleep 0.1
  done
  sleep 2  # let the page paint its status box
  import -window root "$screenshot"
  kill -TERM "$pid"
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    echo "the application did not stop within 10s of SIGTERM" >>"$log"
  fi
  wait "$pid"
}
# xvfb-run is a POSIX shell script, which drops exported bash functions: the function's text
# goes along as the command instead.
export binary log screenshot deadline fallbackPage

status=0
env http_proxy="http://127.0.0.1:$deadProxyPort" https_proxy="http://127.0.0.1:$deadProxyPort" \
    HTTP_PROXY="http://127.0.0.1:$deadProxyPort" HTTPS_PROXY="http://127.0.0.1:$deadProxyPort" \
    no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost \
    XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
    XDG_CACHE_HOME="$scratch/cache" GSK_RENDERER=cairo \
    timeout --kill-after=5 "$lifetime" \
    xvfb-run --auto-servernum --server-args="-screen 0 1280x720x24" \
    bash -c "$(declare -f inner); inner" || status=$?

echo "window-smoke: application log: $log"
cat "$log"
(( status != 124 )) || fail "the run took longer than ${lifetime}s and was stopped"
(( status == 0 )) || fail "the run ended with status $status"

# The ladder, in order: the bridge listens, the start page fails twice, the fallback loads,
# its width is fitted, and the bridge stops when the window closes.
expected=(
  "[Quillfern][bridge] 已监听 ws://127.0.0.1:9882"
  "[Quillfern][web] 加载：$startPage"
  "[Quillfern][web] 主页面加载失败："
  "[Quillfern][web] 加载：$startPage"
  "[Quillfern][web] 主页面加载失败："
  "[Quillfern][web] 加载：$fallbackPage"
  "[Quillfern][web] 页面完成：$fallbackPage"
  "[Quillfern][web] 页面适配宽度："
  "[Quillfern][bridge] 已停止"
)
remaining=$(grep -F '[Quillfern]' "$log")
for line in "${expected[@]}"; do
  found=$(grep -nF -m1 -- "$line" <<<"$remaining" | cut -d: -f1) \
    || fail "missing, or out of order: $line"
  remaining=$(tail -n "+$((found + 1))" <<<"$remaining")
done

# The allowlist refresh ran once, beside the ladder, and failed at the dead proxy.
grep -qF "[Quillfern][hosts] 在线更新失败，继续使用缓存/内置白名单：" "$log" \
  || fail "missing: the failed allowlist refresh"

# The screenshot must show something bright where the control bar's titles and the fallback
# page's status text are: white text on dark grounds.
[[ -s $screenshot ]] || fail "no screenshot was taken"
brightest() {  # brightest value (0 to 1) in a WIDTHxHEIGHT+X+Y region of the screenshot
  convert "$screenshot" -crop "$1" +repage -colorspace Gray -format '%[fx:maxima]' info:
}
awk -v v="$(brightest 130x36+1142+8)" 'BEGIN { exit !(v > 0.7) }' \
  || fail "the control bar's titles are not visible in the top-right corner"
awk -v v="$(brightest 400x40+0+0)" 'BEGIN { exit !(v > 0.7) }' \
  || fail "the fallback page's status text is not visible in the top-left corner"
echo "window-smoke: screenshot saved: $screenshot"
echo "window-smoke: PASS"
