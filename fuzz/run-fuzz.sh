#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build: first the kept inputs of earlier
# crashes (fuzz/regressions/<target>/, each must now pass), then SECONDS of
# fuzzing from the seed corpus (fuzz/seeds/<target>/). New corpus entries go
# to a scratch folder, never into the committed seeds. A crash leaves its
# input in BUILD/artifacts/<target>/ and fails the run.
# Usage: fuzz/run-fuzz.sh BUILD SECONDS [JOBS]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build folder}" && pwd)
seconds=${2:?seconds}
jobs=${3:-2}
targets=$(cd "$build" && ls fuzz_* 2>/dev/null | grep -v '\.' || true)
[ -n "$targets" ] || { echo "run-fuzz: no fuzz targets in $build" >&2; exit 1; }
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

one() {
  local t=$1 name=${1#fuzz_}
  local reg="$here/regressions/$name" art="$build/artifacts/$name" corpus="$build/corpus/$name"
  mkdir -p "$art" "$corpus"
  if [ -d "$reg" ] && [ -n "$(ls -A "$reg")" ]; then
    if ! "$build/$t" -runs=1 "$reg"/* >"$art/regressions.log" 2>&1; then
      echo "run-fuzz: $t fails on a kept regression input; see $art/regressions.log" >&2
      tail -n 30 "$art/regressions.log" >&2
      return 1
    fi
  fi
  "$build/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=65536 \
    -artifact_prefix="$art/" -print_final_stats=1 "$corpus" "$here/seeds/$name" >"$art/fuzz.log" 2>&1
  local rc=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$art/fuzz.log")
  if [ $rc -ne 0 ]; then
    echo "run-fuzz: $t FAILED (exit $rc); input kept in $art/; log $art/fuzz.log" >&2
    grep -m1 -A25 'ERROR:\|runtime error\|==ERROR' "$art/fuzz.log" >&2
    return 1
  fi
  echo "run-fuzz: $t ok, ${execs:-?} inputs in ${seconds}s"
}
export -f one
export here build seconds
printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'one {}'
