#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: packages already present are skipped, and the package lists are
# refreshed only when something has to be installed.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  # libraries the library links
  libcurl4-openssl-dev libssl-dev libsqlite3-dev libsafec-dev asn1c libpacparser-dev
  libpsl-dev publicsuffix
  # tests, benchmarks, fuzzing, the testbed
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  clang libclang-rt-14-dev llvm
  openssl tinyproxy microsocks
  # packages: building, checking, the man page, the unit's verification
  dpkg-dev file lintian help2man man-db systemd
  # dtk-agent: its command line, JSON output and systemd readiness
  libcli11-dev nlohmann-json3-dev libsystemd-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
