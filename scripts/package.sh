#!/usr/bin/env bash
# Builds the Debian packages libdtk1, libdtk-dev and dtk-agent with CPack.
#   scripts/package.sh            from the default build (RelWithDebInfo; the
#                                 packages carry stripped binaries)
#   scripts/package.sh PRESET     from another configure preset's build
# The packages land in build/<preset>/packages/; their paths are printed, one a
# line, on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
build=build/$preset

bash scripts/setup.sh >&2
# Installed to /usr: the libraries in /usr/lib/<multiarch>, where dtk-agent
# and the loader look for them.
cmake --preset "$preset" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
# Only what the packages hold (and the man page, made from dtk-agent --help).
cmake --build --preset "$preset" --target dtk dtkhost dtk_asn1 dtk-pac-eval dtk-agent dtk-agent-man dtk-debian-changelog >&2
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >cpack.log 2>&1) || {
  cat "$build/cpack.log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
}
packages=("$build"/packages/*.deb)
if ((${#packages[@]} != 3)); then
  echo "package.sh: expected 3 packages, got: ${packages[*]}" >&2
  exit 1
fi
printf '%s\n' "${packages[@]}"
