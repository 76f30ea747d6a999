#!/usr/bin/env bash
# Builds the fuzz configuration (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the fuzz targets one after the other,
# each for the given number of seconds, then prints a summary.
#
#   fuzz/run.sh [seconds] [target...]     (default: 60 seconds, every target)
#
#   KETTRIN_FUZZ_BUILD_DIR  build folder (default: build-fuzz in the source tree)
#   KETTRIN_FUZZ_JOBS       compile jobs (default: the number of processors)
#   KETTRIN_FUZZ_NICE       niceness of the runs (default: 10)
#   KETTRIN_FUZZ_ARGS       further libFuzzer options, e.g. "-max_len=65536"
#   TMPDIR                  where the targets keep their scratch files
#                           (default: /dev/shm when writable, else /tmp)
#
# Seeds are read from fuzz/corpus/<target> and never changed; new inputs go
# to <build>/fuzz-corpus/<target>, and crash, leak and time-out inputs to
# <build>/fuzz-artifacts/<target>/. A failing input belongs in the seed
# corpus once its defect is fixed. Exit status 1 when any target failed.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
build=${KETTRIN_FUZZ_BUILD_DIR:-$here/build-fuzz}
jobs=${KETTRIN_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
niceness=${KETTRIN_FUZZ_NICE:-10}
read -r -a extra <<< "${KETTRIN_FUZZ_ARGS:-}"
if [[ -z "${TMPDIR:-}" ]]; then
  if [[ -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; else export TMPDIR=/tmp; fi
fi

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || (( seconds == 0 )); then
  echo "usage: $0 [seconds] [target...]" >&2
  exit 2
fi

# Targets: every corpus folder, unless named on the command line.
if (( $# > 0 )); then
  targets=("$@")
else
  targets=()
  for dir in "$here"/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$here" -B "$build" -DKETTRIN_BUILD_FUZZ=ON \
  -DKETTRIN_BUILD_TESTS=OFF -DKETTRIN_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}" >/dev/null || {
  echo "build failed: cmake --build $build --target ${targets[*]/#/fuzz_}" >&2
  exit 1
}

summary=()
failed=0
for target in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$target
  artifacts=$build/fuzz-artifacts/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  dict=()
  case $target in
    xml_document|component_manifest|install_data|predownload) dict=(-dict="$here/fuzz/dict/xml.dict") ;;
  esac
  # These targets hold seeds of a megabyte and more (attribute bombs, long
  # header blocks): inputs may grow that large.
  maxlen=()
  case $target in
    xml_document|component_manifest|install_data|http_headers) maxlen=(-max_len=2097152) ;;
  esac
  echo "== $target: ${seconds}s"
  nice -n "$niceness" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "${maxlen[@]}" "${extra[@]}" \
    "$corpus" "$here/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if (( status == 0 )); then
    result=ok
  else
    failed=1
    unit=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    result="FAILED (exit $status${unit:+, input $unit}; log $log)"
  fi
  summary+=("$(printf '%-20s %12s runs %8s exec/s  cov %6s  %s' "$target" "${runs:-?}" "${rate:-?}" "${cov:-?}" "$result")")
done

echo
echo "Summary (${seconds}s per target):"
printf '%s\n' "${summary[@]}"
exit $failed
