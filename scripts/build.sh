#!/usr/bin/env bash
# Configures and builds one preset (default: "default"). Extra arguments go to cmake's
# configure step, for example -DQUILLFERN_WERROR=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset"
