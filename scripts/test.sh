#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh core window e2e fuzz package
scripts/build.sh default -DQUILLFERN_WERROR=ON
ctest --preset default -j2
