#!/usr/bin/env bash
# Runs every fuzz target in BIN for SECONDS each, starting from its seed corpus
# (fuzz/NAME/corpus, copied so the run does not change the committed seeds).
set -euo pipefail
bin=$1
seconds=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in "$bin"/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f"); name=${name#fuzz_}
  mkdir -p "$work/$name"
  if [ -d "$root/fuzz/$name/corpus" ]; then cp -r "$root/fuzz/$name/corpus/." "$work/$name/"; fi
  echo "-- fuzz $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -print_final_stats=1 "$work/$name" 2>"$work/$name.log" \
    || { tail -n 60 "$work/$name.log"; exit 1; }
  grep -E 'stat::number_of_executed_units' "$work/$name.log" || true
done
