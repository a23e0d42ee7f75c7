#!/usr/bin/env bash
# Runs every benchmark program of a build, each beside its reference in the
# same run, and keeps their output in BUILD/bench-results/.
set -euo pipefail
build=${1:-build}
out="$build/bench-results"
mkdir -p "$out"
prefix=$(mktemp -d /tmp/tessaro-bench-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
export TESSARO_PREFIX="$prefix"
found=0
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_min_time=0.2 2>&1 | tee "$out/$name.txt" || echo "$name failed" >&2
done
if [ -x bench/browser/run.sh ] && command -v chromium >/dev/null 2>&1; then
  echo "== browser round trip"
  bench/browser/run.sh "$build" 1000 3 2>&1 | tee "$out/browser.txt" || echo "browser benchmark failed" >&2
fi
[ "$found" = 1 ] || { echo "no benchmark programs in $build/bench" >&2; exit 1; }
