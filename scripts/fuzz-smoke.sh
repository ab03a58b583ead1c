#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, the `fuzz` preset) and runs each one for
# a short while on its seed corpus. Fails on any crash, leak, sanitizer report
# or time-out.
#   scripts/fuzz-smoke.sh              every target, 30 s each
#   FUZZ_SECONDS=600 scripts/fuzz-smoke.sh cv_decode_response
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers

if (($#)); then
  targets=("$@")
else
  mapfile -t targets < <(grep -v '^$' "$build/fuzz/fuzzers.txt")
fi

failed=()
for target in "${targets[@]}"; do
  work=$(mktemp -d "${TMPDIR:-/tmp}/dtk-fuzz-$target.XXXXXX")
  seeds=()
  [[ -d fuzz/corpus/$target ]] && seeds=("fuzz/corpus/$target")
  echo "fuzz-smoke: $target for ${seconds}s" >&2
  # New inputs go to the scratch directory; the committed seeds stay as they are.
  # A fixed seed keeps the smoke run repeatable from one CI run to the next.
  if "$build/fuzz/$target" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/" "$work" "${seeds[@]}" >"$work/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/log" >&2 || true
    rm -rf "$work"
  else
    echo "fuzz-smoke: $target FAILED; log and artifacts in $work" >&2
    tail -n 60 "$work/log" >&2
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz-smoke: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz-smoke: ${#targets[@]} passed, 0 failed"
