#!/usr/bin/env bash
# Installs what is missing, builds and runs every test, then runs the bridge and policy tests
# again under AddressSanitizer+UBSan and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh core window e2e fuzz package
scripts/build.sh default -DQUILLFERN_WERROR=ON
ctest --preset default -j2

for preset in asan tsan; do
  cmake --preset "$preset" -DQUILLFERN_WERROR=ON >/dev/null
  cmake --build --preset "$preset" --target bridge_tests bridge_load_tests policy_tests
  ctest --preset "$preset" -L 'bridge|policy' -j2
done
