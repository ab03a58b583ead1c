#!/usr/bin/env bash
# Fails unless the shared library defines exactly the five entry points among
# its dynamic symbols (the linker's own version node aside).
set -euo pipefail
library=$1
expected="CreateTesselWrapper DeinitTesselWrapper InitTesselWrapper ReleaseTesselWrapper SetCustomTesselInstance"
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^$' | sort | tr '\n' ' ' | sed 's/ $//')
if [[ $actual != "$expected" ]]; then
  echo "exports of $library: $actual" >&2
  echo "expected: $expected" >&2
  exit 1
fi
echo "$library exports exactly: $actual"
