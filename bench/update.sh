#!/usr/bin/env bash
# Update mode over an unchanged tree: the first run converts every file, the
# second (-u) only reads each picture's metadata and the source's status.
# Usage: bench/update.sh BUILD_DIR [FILES]
set -euo pipefail
build=${1:?usage: bench/update.sh BUILD_DIR [FILES]}
files=${2:-1000}
tolvek=$(cd "$build" && pwd)/tolvek
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree"
# One 10-second tone, copied: decoding cost per file as in a real library of
# short pieces, without a long set-up.
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=f=440:d=10:sample_rate=44100" -ac 2 "$work/one.wav"
for ((i = 0; i < files; i++)); do
  d="$work/tree/d$((i / 100))"
  mkdir -p "$d"
  cp "$work/one.wav" "$d/f$i.wav"
done
cd "$work"
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
first=$(seconds "$tolvek" -q -j 1 tree)
second=$(seconds "$tolvek" -q -j 1 -u tree)
printf 'update: %d files, first run %.2f s, second run (-u) %.3f s, %.0fx faster\n' \
  "$files" "$first" "$second" "$(echo "$first / $second" | bc -l)"
