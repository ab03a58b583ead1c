#!/usr/bin/env bash
# Installs what the project needs, builds it and runs dtk-agent.
#   scripts/run.sh                  dtk-agent selftest
#   scripts/run.sh config list      any other dtk-agent command
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
if (($# == 0)); then
  set -- selftest
fi
exec build/default/bin/dtk-agent "$@"
