#!/usr/bin/env bash
# The main job: installs what is missing, builds, then opens the game window where there is a
# display, or serves the bridge alone (quillfern --headless) where there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh core window
scripts/build.sh default
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  exec build/default/src/quillfern "$@"
fi
exec build/default/src/quillfern --headless "$@"
