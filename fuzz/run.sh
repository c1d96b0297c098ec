#!/usr/bin/env bash
# Runs every fuzz target of a build for a while: bash fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-${FUZZ_SECONDS:-60}}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$build/fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds="$here/corpus/$name"
  echo "== $name ($seconds s)"
  if [ -d "$seeds" ]; then
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "$seeds" || status=1
  else
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" || status=1
  fi
done
exit $status
