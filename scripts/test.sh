#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the whole test suite.
#   scripts/test.sh                 the default preset, plus short fuzzing runs and
#                                   the package test (scripts/test-package.sh)
#   scripts/test.sh all             the same, then the asan and tsan presets (what
#                                   CI runs; CI=true without arguments does too)
#   scripts/test.sh asan            another preset (debug, asan, tsan)
#   scripts/test.sh default -R kit  extra arguments go to ctest
#   scripts/test.sh soak [SECONDS]  the agent soak (default preset, 1800 s), off
#                                   in every other run
#   scripts/test.sh stress [SECONDS] [PRESET]  the instance's lifecycle stress
#                                   test (600 s, preset default), off likewise
# Presets run one after the other and the first that fails ends the run, so the
# last lines are always the summary of the ctest run that decided the outcome.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# == 0)) && [[ ${CI:-} == true ]]; then
  set -- all
fi
preset=${1:-default}
shift || true

if [[ $preset == soak ]]; then
  seconds=${1:-1800}
  bash scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target test_agent dtk-agent dtk-testbed dtk-pac-eval
  DTK_SOAK_SECONDS=$seconds exec build/default/bin/test_agent --gtest_filter='AgentSoak*'
fi
if [[ $preset == stress ]]; then
  seconds=${1:-600}
  stress_preset=${2:-default}
  bash scripts/setup.sh
  cmake --preset "$stress_preset" >/dev/null
  cmake --build --preset "$stress_preset" --target test_instance
  DTK_STRESS_SECONDS=$seconds exec "build/$stress_preset/bin/test_instance" --gtest_filter='LifecycleStress*'
fi
presets=("$preset")
[[ $preset == all ]] && presets=(default asan tsan)

bash scripts/setup.sh
for p in "${presets[@]}"; do
  echo "test.sh: preset $p" >&2
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  # Short fuzzing runs of every parser of untrusted input (a clang build of its
  # own). They go before ctest so that ctest's summary closes the output.
  if [[ $p == default && $# -eq 0 && -x scripts/fuzz-smoke.sh ]]; then
    scripts/fuzz-smoke.sh
  fi
  # The Debian packages and the example host built against them (reuses
  # this build).
  if [[ $p == default && $# -eq 0 ]]; then
    scripts/test-package.sh
  fi
  # CI runs each failed test once more: on a loaded 2-core machine a sanitizer
  # build can miss a bound that it meets on a second run. ctest still names
  # every test that needed the second run.
  retry=()
  [[ $preset == all ]] && retry=(--repeat until-pass:2)
  ctest --preset "$p" "${retry[@]}" "$@"
done
