#!/usr/bin/env bash
# Line and branch coverage of src/ by the suite that scripts/test.sh runs in the default build:
# builds the `coverage` preset (gcc --coverage), runs every test, then prints gcovr's summary.
# Exits with the test run's status; the summary is printed either way. Needs port 9882 free, as
# the whole suite does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh core window e2e fuzz package coverage
scripts/build.sh coverage "$@"
# Counts from an earlier run would add up with this one.
find build/coverage -name '*.gcda' -delete
status=0
# The package test checks the hardening of a release build (fortified calls need optimisation),
# which a coverage build cannot have; of src/ it runs only the programs' --version.
ctest --preset coverage -j2 -LE package >build/coverage/ctest.log 2>&1 || status=$?
tail -n 3 build/coverage/ctest.log
# Branches that only exceptions take, and those the compiler proves unreachable, are noise.
# The counts of src/ sit beside its objects in build/coverage/src, whichever test ran them.
gcovr --root . --filter 'src/' --exclude-throw-branches --exclude-unreachable-branches \
  --print-summary --output build/coverage/coverage.txt build/coverage/src
exit "$status"
