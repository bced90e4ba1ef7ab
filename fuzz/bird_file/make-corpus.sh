#!/usr/bin/env bash
# Remakes the seed corpus of fuzz_bird_file with birdtool:
#   fuzz/bird_file/make-corpus.sh BUILD/bin/birdtool
# Each seed is one mode byte and a body: 00 + a whole BIRD file, or
# 01 + an unpacked block container (the harness packs it).
set -euo pipefail
birdtool=${1:?path of birdtool}
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"

seed() {  # NAME birdtool-create-arguments...
  local name=$1
  shift
  "$birdtool" create -o "$work/$name.bird" "$@" 2>/dev/null
  { printf '\x00'; cat "$work/$name.bird"; } >"$out/$name.file"
  "$birdtool" create -o "$work/$name.raw" --compression none "$@" 2>/dev/null
  { printf '\x01'; tail -c +7 "$work/$name.raw"; } >"$out/$name.container"
}

seed full --loader 0x10000000:pattern=48 --firmware 0x0:pattern=96:3 \
  --info 1200 "2.10.7 (beta)" 0000ABCD ABC --serial-location 0x10 0x20 --loader-entry 0x20000400
seed generic --firmware 0x0:pattern=64 --serial-location 0x8 0x30 --info 7 1.0 00000000 MODEL
seed scrambled --firmware 0x0:pattern=64 --scramble 1 2 3 4 --info 1 v 1 M
seed declared --firmware 0:hex=010203 --firmware 0x100:hex=04 --declared-count 5
seed overrun --firmware 0:pattern=16 --raw 3:pattern=8 --overrun 40
seed noinfo --raw 7:text=x --raw 2:hex=000001 --raw 1:hex=AA --no-checksum
seed shortinfo --firmware 0:pattern=8 --info 1234 2.0 0000ABCD M --info-length 20
seed trailing --loader 0:pattern=8 --trailing 7
seed badzlib --firmware 0:pattern=40 --bad-zlib
