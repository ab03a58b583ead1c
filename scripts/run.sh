#!/usr/bin/env bash
# Installs what the project needs, builds it and runs dtk-agent.
#   scripts/run.sh                  the whole demonstration on loopback: every
#                                   testbed server, a fresh store, registration,
#                                   lookups, the policy, proxy discovery
#   scripts/run.sh status           any other dtk-agent command (default store,
#   scripts/run.sh --store S lookup DIR    or the one named with --store)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target dtk-agent dtk-testbed >/dev/null
bin=$PWD/build/default/bin
if (($# > 0)); then
  exec "$bin/dtk-agent" "$@"
fi

work=$(mktemp -d /tmp/dtk-demo-XXXXXX)
source scripts/testbed.sh
trap 'testbed_down; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

store=$work/config.db
agent() { "$bin/dtk-agent" --store "$store" "$@"; }
section() { printf '\n== %s\n' "$*"; }
declare -a summary=()
failures=0
step() {  # step NAME COMMAND...: runs it, remembers how it went
  local name=$1
  shift
  if "$@"; then
    summary+=("ok      $name")
  else
    summary+=("FAILED  $name (exit $?)")
    failures=$((failures + 1))
  fi
}

# A few files, and what the cloud testbed is told to answer for two of them.
mkdir -p "$work/files/tools"
printf 'Quarterly report, nothing to see.\n' >"$work/files/report.txt"
printf '#!/bin/sh\necho cleaning up\n' >"$work/files/tools/cleanup.sh"
printf 'X5O!P%%@AP[4\\PZX54(P^)7CC)7}$DEMO-TEST-FILE!$H+H*\n' >"$work/files/tools/sample.com"
{
  echo "$(sha256sum "$work/files/tools/sample.com" | cut -d' ' -f1) 3 Demo.TestFile.A"
  echo "$(sha256sum "$work/files/tools/cleanup.sh" | cut -d' ' -f1) 2 Tool.Cleanup"
} >"$work/answers"

section "testbed: every server on loopback, the configuration written into a fresh store"
if ! testbed_up "$bin/dtk-testbed" "$work/testbed.log" --store "$store" --answers "$work/answers"; then
  echo "run.sh: the testbed did not start" >&2
  exit 1
fi
grep -v '^testbed ready' "$work/testbed.log"
tinyproxy_port=$(sed -n 's|^tinyproxy: *http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/testbed.log")

section "dtk-agent register"
step "registration (certificate, management, cloud)" agent register --timeout 60

section "dtk-agent status"
step "status" agent status

section "dtk-agent lookup $work/files"
step "lookup of 3 files" agent lookup "$work/files"

section "dtk-agent policy download"
step "policy download" agent policy download --out "$work/policy.xml"
[[ -s $work/policy.xml ]] && sed 's/^/  | /' "$work/policy.xml"

section "dtk-agent proxy discover"
found_proxy() { agent proxy discover | tee "$work/proxy.txt" && grep -q "127.0.0.1:$tinyproxy_port" "$work/proxy.txt"; }
step "proxy discovery finds the testbed's tinyproxy (port $tinyproxy_port)" found_proxy

testbed_down
section "summary"
printf '  %s\n' "${summary[@]}"
tail -n 1 "$work/testbed.log" | sed 's/^/  /'
if ((failures)); then
  echo "  $failures step(s) failed; rerun one with --verbose to see the library's log, e.g."
  echo "  build/default/bin/dtk-agent --verbose --store <store> register"
  exit 1
fi
echo "  every step passed"
