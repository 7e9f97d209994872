#!/usr/bin/env bash
# A 24-hour mono 8 kHz recording (generated: a faint tone under noise, as
# FLAC) drawn with --width 1440 --freq 0:4k (a column a minute), against
# the default picture of the same file: wall time and peak memory (GNU
# time's %M) of each, as a Markdown table. The wide picture should take at
# most twice the default's time and stay within the idle program plus
# 16 MiB, as bench/memory.sh asks of one conversion.
#
#   bench/day-recording.sh [--tolvek PATH] [--keep DIR]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
tolvek=$root/build/tolvek
keep=

while [ $# -gt 0 ]; do
  case "$1" in
    --tolvek|--keep)
      [ $# -ge 2 ] || { echo "day-recording: $1 needs a value" >&2; exit 2; }
      case "$1" in --tolvek) tolvek=$2 ;; --keep) keep=$2 ;; esac
      shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "day-recording: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

gnu_time=/usr/bin/time
[ -x "$gnu_time" ] || { echo "day-recording: GNU time is missing (scripts/install-deps.sh bench)" >&2; exit 1; }
[ -x "$tolvek" ] || { echo "day-recording: $tolvek is not an executable; build it first" >&2; exit 1; }
tolvek=$(cd "$(dirname "$tolvek")" && pwd)/$(basename "$tolvek")

scratch=${keep:-$(mktemp -d "${TMPDIR:-/tmp}/tolvek-day-XXXXXX")}
[ -n "$keep" ] || trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"
day=$scratch/day.flac
[ -s "$day" ] || ffmpeg -loglevel error -y -f lavfi -i "sine=f=1500:r=8000:d=86400" \
  -f lavfi -i "anoisesrc=d=86400:c=pink:r=8000:a=0.05" \
  -filter_complex "[0]volume=0.1[t];[t][1]amix=inputs=2:normalize=0" -ac 1 -c:a flac "$day"

# seconds and KiB of one run
measure() {
  (cd "$scratch" && "$gnu_time" -f '%e %M' -o "$scratch/time.txt" "$tolvek" -q "$@" day.flac) >/dev/null
  cat "$scratch/time.txt"
}

read -r idle_s idle_kib < <(cd "$scratch" && "$gnu_time" -f '%e %M' "$tolvek" --version 2>&1 >/dev/null)
read -r default_s default_kib < <(measure)
read -r wide_s wide_kib < <(measure --width 1440 --freq 0:4k)
echo "| run | seconds | peak MiB |"
echo "| --- | ---: | ---: |"
printf '| --version | %s | %.1f |\n' "$idle_s" "$(echo "$idle_kib / 1024" | bc -l)"
printf '| default picture | %s | %.1f |\n' "$default_s" "$(echo "$default_kib / 1024" | bc -l)"
printf '| --width 1440 --freq 0:4k | %s | %.1f |\n' "$wide_s" "$(echo "$wide_kib / 1024" | bc -l)"
