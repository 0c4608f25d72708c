#!/usr/bin/env bash
# Builds the fuzz preset (clang + libFuzzer) and runs each target for the given seconds
# (default 60), one after the other. New interesting inputs stay in build/fuzz/corpus/<target>;
# a crashing input is copied into fuzz/corpus/<target>/ so the g++ build replays it from then on.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
scripts/install-deps.sh core fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
if (( ${#targets[@]} == 0 )); then
  for path in build/fuzz/fuzz/fuzz_*; do targets+=("$(basename "$path" | sed 's/^fuzz_//')"); done
fi
status=0
for target in "${targets[@]}"; do
  work=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target/
  mkdir -p "$work" "$artifacts"
  echo "== $target: ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=70000 -timeout=10 \
        -rss_limit_mb=4096 -artifact_prefix="$artifacts" -print_final_stats=1 \
        "$work" "fuzz/corpus/$target" 2>&1 | tail -n 12; then
    status=1
  fi
  # Coverage of the whole corpus as it stands now (edges and features).
  build/fuzz/fuzz/fuzz_"$target" -runs=0 "$work" "fuzz/corpus/$target" 2>&1 | grep ' DONE ' || true
  for crash in "$artifacts"*; do
    [[ -f $crash ]] || continue
    cp "$crash" "fuzz/corpus/$target/$(basename "$crash")"
    echo "saved $(basename "$crash") into fuzz/corpus/$target"
    status=1
  done
done
exit $status
