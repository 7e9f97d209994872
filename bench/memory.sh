#!/usr/bin/env bash
# Peak memory (resident set, GNU time's %M) of tolvek: idle (--version) and
# converting a tiny file, against one conversion of a 10-minute file and of
# a 4-hour FLAC (more than 2^31 bytes of decoded audio), of an Ogg file of
# 1,000 streams and of the 10-minute files with --coverage full and
# --channels split, and against a batch
# of 1,000 small files in one run. One conversion should stay within the
# idle program plus 16 MiB, and the batch should peak no higher than one
# small file does. Prints a Markdown table; the verdicts are informative
# (exit status 0) unless --strict is given.
#
#   bench/memory.sh [--tolvek PATH] [--corpus DIR] [--files N] [--strict]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
tolvek=$root/build/tolvek
corpus=${CORPUS_DIR:-$root/build-bench/corpus}
files=1000
strict=0
budget_mib=16

while [ $# -gt 0 ]; do
  case "$1" in
    --tolvek|--corpus|--files)
      [ $# -ge 2 ] || { echo "memory: $1 needs a value" >&2; exit 2; }
      case "$1" in --tolvek) tolvek=$2 ;; --corpus) corpus=$2 ;; --files) files=$2 ;; esac
      shift ;;
    --strict) strict=1 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "memory: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

[[ $files =~ ^[1-9][0-9]*$ ]] || { echo "memory: --files takes a whole number above 0" >&2; exit 2; }

gnu_time=/usr/bin/time
[ -x "$gnu_time" ] && "$gnu_time" -f %M true >/dev/null 2>&1 ||
  { echo "memory: GNU time is missing (scripts/install-deps.sh bench)" >&2; exit 1; }
[ -x "$tolvek" ] || { echo "memory: $tolvek is not an executable; build it first" >&2; exit 1; }
tolvek=$(cd "$(dirname "$tolvek")" && pwd)/$(basename "$tolvek")

# The 10-minute files and the 4-hour FLAC come from the corpus.
"$here/make-corpus.sh" -o "$corpus" --long --no-batch >/dev/null
corpus=$(cd "$corpus" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tolvek-memory-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
work=$scratch/work
mkdir -p "$work"
# Pictures go into the working directory, not beside the sources.
printf '[general]\nlocal=1\nrecursive=1\n' >"$work/Tolvek_Pre.ini"

# Small files of four formats, 2 s each, then a directory of $files of them.
small=$scratch/small
mkdir -p "$small"
i=0
for ext in wav flac mp3 ogg; do
  i=$((i + 1))
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "aevalsrc=exprs='0.3*sin(2*PI*$((300 * i))*t)+0.05*(2*random(0)-1)':s=44100:d=2" -ac 2 "$small/small.$ext"
done
# One Ogg file holding the small Ogg's stream a thousand times over.
maps=()
for n in $(seq 1 1000); do maps+=(-map 0:a); done
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$small/small.ogg" "${maps[@]}" -c copy "$scratch/streams-1000.ogg"
batch=$scratch/batch
mkdir -p "$batch"
exts=(wav flac mp3 ogg)
for n in $(seq 1 "$files"); do
  ext=${exts[$((n % 4))]}
  cp "$small/small.$ext" "$batch/$(printf 'f%04d' "$n").$ext"
done

# peak LABEL ARGS...: runs tolvek in the working directory, prints
# "label|KiB|seconds" and fails loudly when tolvek does.
peak() {
  local label=$1 out=$scratch/time.out status=0
  shift
  (cd "$work" && "$gnu_time" -f '%M %e' -o "$out" "$tolvek" "$@" >/dev/null 2>"$scratch/stderr") || status=$?
  if [ "$status" -ne 0 ]; then
    echo "memory: tolvek $* exited with $status: $(tail -1 "$scratch/stderr")" >&2
    exit 1
  fi
  read -r kib seconds <"$out"
  echo "$label|$kib|$seconds"
}

# The largest of the rows a peak() call prints, under a new label.
largest() {
  local label=$1 best=0 best_s=0 row kib seconds
  shift
  for row in "$@"; do
    IFS='|' read -r _ kib seconds <<<"$row"
    if [ "$kib" -gt "$best" ]; then best=$kib; best_s=$seconds; fi
  done
  echo "$label|$best|$best_s"
}

echo "memory: measuring (the 4-hour file and the batch take a while)" >&2
mkdir -p "$scratch/four"
singles=()
for ext in "${exts[@]}"; do
  singles+=("$(peak "$ext" "$small/small.$ext")")
  cp "$small/small.$ext" "$scratch/four/"
done
rows=()
rows+=("$(peak 'idle: tolvek --version' --version)")
rows+=("$(largest 'one small file (2 s; the largest of WAV, FLAC, MP3, Ogg)' "${singles[@]}")")
rows+=("$(peak '10 min MP3 CBR 192k' "$corpus/music-600s.cbr192.mp3")")
rows+=("$(peak '10 min FLAC' "$corpus/music-600s.flac")")
rows+=("$(peak '4 h FLAC (near-silence, a tone near the end)' "$corpus/long-4h.flac")")
rows+=("$(peak 'Ogg of 1,000 streams (2 s each)' "$scratch/streams-1000.ogg")")
rows+=("$(peak '10 min MP3 CBR 192k, --coverage full' --coverage full "$corpus/music-600s.cbr192.mp3")")
rows+=("$(peak '10 min FLAC, --channels split' --channels split "$corpus/music-600s.flac")")
rows+=("$(peak 'batch of 4 small files (one of each format)' "$scratch/four")")
rows+=("$(peak "batch of $files small files in one run" "$batch")")

pictures=$(find "$work" -name '*.png' | wc -l)
expected=$((files + 8))  # the full and split rows write their files' pictures again
[ "$pictures" -eq "$expected" ] ||
  { echo "memory: expected $expected pictures, found $pictures" >&2; exit 1; }

kib_of() { echo "${rows[$1]}" | cut -d'|' -f2; }
mib() { awk -v k="$1" 'BEGIN { printf "%+.1f", k / 1024 }'; }
idle=$(kib_of 0)
echo "| run | peak RSS (MiB) | above idle (MiB) | wall (s) |"
echo "| --- | ---: | ---: | ---: |"
worst=0
for n in "${!rows[@]}"; do
  IFS='|' read -r label kib seconds <<<"${rows[$n]}"
  above=$((kib - idle))
  # Rows 1 to 7 are single conversions.
  if [ "$n" -ge 1 ] && [ "$n" -le 7 ] && [ "$above" -gt "$worst" ]; then worst=$above; fi
  awk -v l="$label" -v k="$kib" -v a="$above" -v s="$seconds" \
    'BEGIN { printf "| %s | %.1f | %+.1f | %s |\n", l, k / 1024, a / 1024, s }'
done
echo
failed=0
verdict="within"
[ "$worst" -le $((budget_mib * 1024)) ] || { verdict="OVER"; failed=1; }
echo "- one conversion: at most $(mib "$worst") MiB above idle (budget $budget_mib MiB): $verdict"
# Against the batch of four, which has loaded every decoder once: a few
# hundred KiB is allocator noise, more means something is kept per file.
growth=$(($(kib_of 9) - $(kib_of 8)))
verdict="flat"
[ "$growth" -le 1024 ] || { verdict="GROWS"; failed=1; }
echo "- batch of $files against the batch of 4: $(mib "$growth") MiB: $verdict"
echo "- batch of $files against the largest single small file: $(mib $(($(kib_of 9) - $(kib_of 1)))) MiB"
if [ "$strict" -eq 1 ] && [ "$failed" -eq 1 ]; then exit 1; fi
exit 0
