#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the whole test suite.
#   scripts/test.sh                 the default preset, plus short fuzzing runs
#   scripts/test.sh asan            another preset (debug, asan, tsan)
#   scripts/test.sh default -R kit  extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-default}
shift || true

bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

# Short fuzzing runs of every parser of untrusted input (a clang build of its
# own). They go first so that ctest's summary closes the output.
if [[ $preset == default && $# -eq 0 && -x scripts/fuzz-smoke.sh ]]; then
  scripts/fuzz-smoke.sh
fi

ctest --preset "$preset" "$@"
