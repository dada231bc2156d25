#!/bin/sh
# Runs each fuzz target of a fuzz build for SECONDS, starting from its committed corpus and the
# inputs that once made it fail. New inputs go to a scratch copy of the corpus in the build
# folder, never into the repository; a failing input is left there (crash-*, leak-*, timeout-*)
# beside the target's log. Exits non-zero when a target failed.
#
# Usage: tests/fuzz/run.sh BUILD SECONDS
set -eu

build=$1 seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
status=0

for target in StateFileFuzz TableModuleFuzz DatagramScreenFuzz; do
  work=$build/fuzz/$target
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$here/corpus/$target"/* "$work/corpus/"
  set -- -max_total_time="$seconds" -timeout=60 -artifact_prefix="$work/" "$work/corpus"
  if [ -f "$here/$target.dict" ]; then set -- -dict="$here/$target.dict" "$@"; fi
  if [ -d "$here/regressions/$target" ]; then set -- "$@" "$here/regressions/$target"; fi

  echo "$target: fuzzing for $seconds s (log: $work/log)"
  if "$build/bin/$target" "$@" >"$work/log" 2>&1; then
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log")
    echo "$target: $runs runs, no failure; corpus now $(ls "$work/corpus" | wc -l) inputs"
    echo "  keep the new ones: $build/bin/$target -merge=1 $here/corpus/$target $work/corpus"
    continue
  fi
  status=1
  tail -n 60 "$work/log"
  echo "$target: FAILED"
  for input in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -e "$input" ] || continue
    echo "  replay: $build/bin/$target $input"
    echo "  once fixed, commit it as tests/fuzz/regressions/$target/<what it holds>"
  done
done
exit $status
