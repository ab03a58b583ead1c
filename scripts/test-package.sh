#!/usr/bin/env bash
# The packages as a user gets them: builds libdtk1, libdtk-dev and dtk-agent
# (scripts/package.sh, reusing the default build), unpacks them into a scratch
# root (dpkg-deb -x; nothing is installed into this machine) and checks that
#   - libdtk.so.1 has its soname and its five exports, no installed ELF file
#     carries a RUNPATH, the PAC helper sits in lib/<multiarch>/dtk/, and
#     lintian finds no error or warning;
#   - the example host (examples/host) builds against that root only, once
#     through find_package(dtk) and once through pkg-config, and each build
#     registers against the testbed and gets one lookup answered;
#   - the unpacked dtk-agent finds the unpacked library by itself, and reports
#     the version the library logs at init;
#   - systemd-analyze verify accepts the unit (skipped without systemd-analyze)
#     and man -l renders the man page.
# Any failing step fails the script; every step says what it checked.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=$source_dir/build/default

work=$(mktemp -d /tmp/dtk-package-test-XXXXXX)
source scripts/testbed.sh
trap 'testbed_down; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

failures=0
ok() { echo "test-package: ok      $*"; }
fail() { echo "test-package: FAILED  $*" >&2; failures=$((failures + 1)); }
check() {  # check NAME COMMAND...: runs it, says how it went
  local name=$1
  shift
  if "$@" >"$work/step.log" 2>&1; then ok "$name"; else sed 's/^/  | /' "$work/step.log" >&2; fail "$name"; fi
}

mapfile -t debs < <(scripts/package.sh)
((${#debs[@]} == 3)) || { echo "test-package: package.sh made no packages" >&2; exit 1; }
cmake --build --preset default --target dtk-testbed >/dev/null
root=$work/root
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=$root/usr/lib/$multiarch

# ---- the installed files ----------------------------------------------------
check "libdtk.so.1 has the soname libdtk.so.1" \
  bash -c "readelf -d '$libdir/libdtk.so.1' | grep -F '(SONAME)' | grep -qF '[libdtk.so.1]'"
no_runpath() {
  local found=0 file
  while IFS= read -r -d '' file; do
    if readelf -h "$file" >/dev/null 2>&1 && readelf -d "$file" 2>/dev/null | grep -E '\((RPATH|RUNPATH)\)'; then
      echo "$file has a search path"
      found=1
    fi
  done < <(find "$root" -type f -print0)
  return $found
}
check "no installed file carries an RPATH or RUNPATH" no_runpath
check "libdtk.so.1 exports exactly the five entry points" scripts/check-exports.sh "$libdir/libdtk.so.1"
check "lintian finds no error or warning in the three packages" lintian --fail-on error,warning "${debs[@]}"
check "the PAC helper is in lib/$multiarch/dtk/" test -x "$libdir/dtk/dtk-pac-eval"
check "man -l renders dtk-agent(1)" \
  bash -c "man -l '$root/usr/share/man/man1/dtk-agent.1.gz' | grep -q '^NAME' && man -l '$root/usr/share/man/man1/dtk-agent.1.gz' | grep -q 'dtk-agent'"
if command -v systemd-analyze >/dev/null; then
  # The unit as installed, with its program taken from the scratch root.
  sed "s|/usr/bin/dtk-agent|$root/usr/bin/dtk-agent|g" "$root/lib/systemd/system/dtk-agent.service" >"$work/dtk-agent.service"
  verify_unit() {
    local out
    out=$(systemd-analyze verify --man=no "$work/dtk-agent.service" 2>&1) || { echo "$out"; return 1; }
    [[ -z $out ]] || { echo "$out"; return 1; }
  }
  check "systemd-analyze verify accepts dtk-agent.service" verify_unit
else
  echo "test-package: skipped systemd-analyze verify (systemd-analyze is not installed)"
fi

# ---- the testbed, and a file whose lookup it answers -----------------------
store=$work/store.db
printf 'a file the cloud knows\n' >"$work/sample.txt"
sha=$(sha256sum "$work/sample.txt" | cut -d' ' -f1)
size=$(stat -c %s "$work/sample.txt")
echo "$sha 3 Package.Test.Sample" >"$work/answers"
if ! testbed_up "$build/bin/dtk-testbed" "$work/testbed.log" --store "$store" --answers "$work/answers"; then
  echo "test-package: the testbed did not start" >&2
  exit 1
fi

# One registration and one lookup; its answer must be the testbed's.
run_example() {  # run_example BINARY
  timeout 120 "$1" "$store" "$sha" "$size" >"$1.out" 2>"$1.err" || {
    cat "$1.out" "$1.err"
    return 1
  }
  cat "$1.out"
  grep -qx 'disposition 3 Package.Test.Sample' "$1.out"
}

# ---- the example host through find_package(dtk) ----------------------------
cmake_example() {
  cmake -S examples/host -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >/dev/null &&
    grep -qx "dtk_DIR:PATH=$libdir/cmake/dtk" "$work/cmake/CMakeCache.txt" &&
    cmake --build "$work/cmake"
}
check "the example host builds with find_package(dtk) from the unpacked root" cmake_example
check "the example host (CMake build) registers and gets its lookup answered" run_example "$work/cmake/dtk-example-host"

# ---- the example host through pkg-config -----------------------------------
pkg_config_example() {
  export PKG_CONFIG_PATH="" PKG_CONFIG_LIBDIR="$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
  [[ $(pkg-config --modversion dtk) == "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/dtk.pc")" ]] &&
    c++ -std=c++20 -O1 $(pkg-config --cflags dtk) -o "$work/pkg-config-example" examples/host/main.cpp \
      $(pkg-config --libs dtk)
}
check "the example host builds with pkg-config from the unpacked root" pkg_config_example
# pkg-config gives no search path: the loader is told where the root's libraries are.
check "the example host (pkg-config build) registers and gets its lookup answered" \
  env LD_LIBRARY_PATH="$libdir" bash -c "$(declare -f run_example); store='$store' sha='$sha' size='$size' run_example '$work/pkg-config-example'"

# ---- the unpacked agent -------------------------------------------------------
agent() { LD_LIBRARY_PATH="$libdir" "$root/usr/bin/dtk-agent" "$@"; }
same_version() {
  local agent_version library_version
  agent_version=$(agent --version | awk '{print $NF}')
  library_version=$(sed -n 's/.*InitTesselWrapper: dtk \([0-9.]*\).*/\1/p' "$work/cmake/dtk-example-host.err" | head -n 1)
  echo "dtk-agent --version: $agent_version; the library at init: $library_version"
  [[ -n $agent_version && $agent_version == "$library_version" ]]
}
check "dtk-agent --version and the library report the same version" same_version
# It loads libdtk.so.1 from lib/<multiarch> beside its bin/, not the build tree.
check "the unpacked dtk-agent loads the unpacked library and registers" \
  bash -c "cd / && PATH=/usr/bin:/bin LD_LIBRARY_PATH='$libdir' timeout 120 '$root/usr/bin/dtk-agent' --store '$store' register --timeout 60"

if ((failures)); then
  echo "test-package: $failures step(s) failed" >&2
  exit 1
fi
echo "test-package: every step passed"
