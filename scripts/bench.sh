#!/usr/bin/env bash
# Builds the default preset and runs every benchmark under bench/ with settings
# that finish in a few minutes on a 2-core machine, then prints one table of
# their RESULT lines (see bench/bench_result.h):
#   figure  value  unit  ceiling  ratio  aim  met
# `ceiling` is the peer or bound measured in the same run, `ratio` is
# value/ceiling; an aim judges the ratio where there is a ceiling, else the
# value ("met" says whether this run reached it). Each benchmark's own output goes to build/default/bench-logs/.
#   scripts/bench.sh            build, run all, print the table
#   scripts/bench.sh est codec  only these (names without the bench_ prefix)
# The exit status is non-zero when a benchmark failed, printed no RESULT line
# or was not built.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
logs=build/default/bench-logs
bin=build/default/bin

# Short settings per benchmark; one that is not listed runs with no arguments.
declare -A args=(
  [codec]="--benchmark_min_time=0.05"
  [cloud_engine]="200000 10 5"
  [est]="10"
  [http_client]="--rounds 4 --requests 100 --download-mib 128"
  [facade]="--rounds 16 --requests 10 --download-kib 256 --lookups 100000 --lookup-rounds 10"
  [proxy]="5"
  # 10 000 and 100 000 small files, 1 GiB of large files, 1000 server messages;
  # as root each side of a lookup comparison starts with the page cache dropped.
  [agent]="10000,100000 1024 1000"
  # At the default keepalive, whose return the aims are about.
  [fleet]="--endpoints 500 --idle 20 --outage 30 --keepalive 60"
)

names=("$@")
if ((${#names[@]} == 0)); then
  for src in bench/*.cpp; do
    names+=("$(basename "$src" .cpp)")
  done
fi

cmake --preset default >/dev/null || exit 1
targets=()
for n in "${names[@]}"; do targets+=("bench_$n"); done
cmake --build --preset default -j"$jobs" --target "${targets[@]}" || exit 1

mkdir -p "$logs"
failed=()
for n in "${names[@]}"; do
  exe="$bin/bench_$n"
  log="$logs/bench_$n.log"
  if [[ ! -x $exe ]]; then
    failed+=("bench_$n (not built)")
    continue
  fi
  echo "bench.sh: bench_$n ${args[$n]:-}" >&2
  start=$SECONDS
  # shellcheck disable=SC2086  # the settings are words
  "$exe" ${args[$n]:-} >"$log" 2>&1
  rc=$?
  echo "bench.sh: bench_$n done in $((SECONDS - start)) s (exit $rc)" >&2
  if ((rc != 0)); then
    failed+=("bench_$n (exit $rc, see $log)")
  elif ! grep -q '^RESULT ' "$log"; then
    failed+=("bench_$n (no RESULT line, see $log)")
  fi
done

echo
echo "load average before the table: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for n in "${names[@]}"; do
  [[ -f $logs/bench_$n.log ]] && grep '^RESULT ' "$logs/bench_$n.log"
done | awk '
  function field(k,   i, kv) {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) return substr($i, length(k) + 2) }
    return "-"
  }
  # An aim (">=0.8", "<=405") judges the ratio when there is a ceiling, else the value.
  function met(aim, value, ratio,   x, bound) {
    if (aim !~ /^[<>]=[0-9.]+$/) return "-"
    x = (ratio != "-") ? ratio + 0 : value + 0
    bound = substr(aim, 3) + 0
    return ((substr(aim, 1, 1) == ">") ? (x >= bound) : (x <= bound)) ? "yes" : "NO"
  }
  BEGIN { printf "%-44s %12s %-7s %12s %7s %-7s %s\n", "figure", "value", "unit", "ceiling", "ratio", "aim", "met" }
  { printf "%-44s %12s %-7s %12s %7s %-7s %s\n", field("figure"), field("value"), field("unit"),
           field("ceiling"), field("ratio"), field("aim"), met(field("aim"), field("value"), field("ratio")) }'

if ((${#failed[@]})); then
  echo
  for f in "${failed[@]}"; do echo "FAILED: $f"; done
  exit 1
fi
