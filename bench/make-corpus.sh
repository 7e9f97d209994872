#!/usr/bin/env bash
# Synthesises the benchmark corpus with the ffmpeg tool: music-like signals
# (a beat, hi-hats, a bass arpeggio, changing chords, sweeps and noise) of
# 30 s, 180 s and 600 s, each as WAV, FLAC, MP3 CBR 192k, MP3 VBR (-q:a 2)
# and Ogg Vorbis (-q:a 5); a 60-minute MP3 CBR 192k (the 600 s master six
# times over, for the jobs comparison); two batches of 20 variants of the
# 180 s master, as MP3 and as FLAC; and on
# request a 4-hour FLAC of near-silence with a tone near its end (for the
# memory measurement).
#
# Every file has the same bytes on every run: the expressions are
# deterministic (random() in aevalsrc is seeded), and the bitexact flags keep
# version strings, random Ogg serial numbers and metadata out of the files.
# A file that already holds the checksum recorded for its recipe is kept, so
# a second run only verifies. At the end the checksums are printed and
# compared with bench/corpus.sha256, those of Debian 12's ffmpeg 5.1.
#
#   bench/make-corpus.sh [-o DIR] [--long] [--no-batch] [--check]
#     -o DIR      where to write (default: build-bench/corpus, or $CORPUS_DIR)
#     --long      also make long-4h.flac
#     --no-batch  skip the batches of 20 variants
#     --check     make everything again in a temporary directory and compare
#                 the checksums with those of DIR (proves determinism)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
corpus=${CORPUS_DIR:-$root/build-bench/corpus}
long=0
batch=1
check=0

while [ $# -gt 0 ]; do
  case "$1" in
    -o) [ $# -ge 2 ] || { echo "make-corpus: -o needs a directory" >&2; exit 2; }
        corpus=$2; shift ;;
    --long) long=1 ;;
    --no-batch) batch=0 ;;
    --check) check=1 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-corpus: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

command -v ffmpeg >/dev/null || { echo "make-corpus: the ffmpeg tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$corpus"
corpus=$(cd "$corpus" && pwd)
manifest=$corpus/SHA256SUMS

# ffmpeg with the flags that keep its output identical from run to run.
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
exact=(-fflags +bitexact -flags:a +bitexact -map_metadata -1)

# The music as one expression of t, mono, in a 40-second cycle: changing
# chords for 24 s, then a rising sweep, then a noise wash; under it all a
# kick every 0.5 s, hi-hats between the kicks, a bass arpeggio with
# overtones stepping through fifths every 0.25 s, and a faint noise floor.
# Notes start and end at zero amplitude so that note changes do not click.
m='mod(t,40)'
beat='mod(t,0.5)'
step='mod(t,0.25)'
arp='55*pow(2,mod(floor(t*4)*7,12)/12)'
key='pow(2,mod(floor(t/4)*5,12)/12)'
music="0.45*sin(2*PI*(50*$beat+3*(1-exp(-30*$beat))))*exp(-10*$beat)"
music+="+0.04*(2*random(0)-1)*exp(-80*mod(t+0.25,0.5))"
music+="+0.16*sin(PI*$step/0.25)*(sin(2*PI*$arp*t)+0.5*sin(4*PI*$arp*t)+0.33*sin(6*PI*$arp*t)+0.25*sin(8*PI*$arp*t))"
music+="+0.06*sin(PI*mod(t,4)/4)*(sin(2*PI*261.63*$key*t)+sin(2*PI*329.63*$key*t)+sin(2*PI*392*$key*t)+0.3*sin(2*PI*523.25*$key*t))*lt($m,24)"
music+="+0.2*sin(PI*($m-24)/8)*sin(2*PI*(100*($m-24)+(15900/16)*($m-24)^2))*between($m,24,32)"
music+="+0.06*(2*random(1)-1)*sin(PI*($m-32)/8)*gte($m,32)"
music+="+0.0004*(2*random(2)-1)"
# Mono to stereo: the left channel loses the highest band, the right the
# lowest, so the channels differ as in a real mix.
stereo='[0]asplit[l][r];[l]lowpass=f=14000[lo];[r]highpass=f=80[hi];[lo][hi]join=inputs=2:channel_layout=stereo'

# Encodings of a WAV master: name suffix, muxer, encoder arguments.
encodings=(
  "flac|flac|-c:a flac"
  "cbr192.mp3|mp3|-c:a libmp3lame -b:a 192k"
  "vbr2.mp3|mp3|-c:a libmp3lame -q:a 2"
  "q5.ogg|ogg|-c:a libvorbis -q:a 5"
)

recipe_id() { printf '%s' "$*" | sha256sum | cut -c1-16; }
recorded_sum() {  # name recipe -> checksum recorded for it, if any
  [ -f "$manifest" ] || return 0
  awk -v n="$1" -v r="$2" '$2 == n && $3 == r { print $1; exit }' "$manifest"
}
record_sum() {  # name recipe sum
  local tmp
  tmp=$(mktemp "$manifest.XXXXXX")
  { [ -f "$manifest" ] && awk -v n="$1" '$2 != n' "$manifest"; printf '%s  %s  %s\n' "$3" "$1" "$2"; } |
    sort -k2 >"$tmp"
  chmod 644 "$tmp"
  mv "$tmp" "$manifest"
}

made=0
kept=0
# make NAME RECIPE-TEXT COMMAND...: runs COMMAND with the output path
# appended unless NAME already holds the checksum recorded for RECIPE-TEXT.
# The file is written under a temporary name and renamed when complete, so
# an interrupted run leaves no half file behind.
make_file() {
  local name=$1 recipe
  recipe=$(recipe_id "$2")
  shift 2
  local path=$corpus/$name want
  want=$(recorded_sum "$name" "$recipe")
  if [ -n "$want" ] && [ -f "$path" ] && [ "$(sha256sum <"$path" | cut -d' ' -f1)" = "$want" ]; then
    kept=$((kept + 1))
    return 0
  fi
  mkdir -p "$(dirname "$path")"
  local tmp=$path.part.${name##*.}
  echo "  making $name" >&2
  if ! "$@" "$tmp"; then
    rm -f "$tmp"
    echo "make-corpus: ffmpeg failed on $name" >&2
    exit 1
  fi
  mv "$tmp" "$path"
  record_sum "$name" "$recipe" "$(sha256sum <"$path" | cut -d' ' -f1)"
  made=$((made + 1))
}

lengths=(30 180 600)
for seconds in "${lengths[@]}"; do
  base=$(printf 'music-%03ds' "$seconds")
  src="aevalsrc=exprs='$music':s=44100:d=$seconds"
  make_file "$base.wav" "$src $stereo pcm_s16le" \
    ff -f lavfi -i "$src" -filter_complex "$stereo" -c:a pcm_s16le "${exact[@]}" -f wav
  # The encodings follow their master: a new master makes them again.
  wav_sum=$(sha256sum <"$corpus/$base.wav" | cut -d' ' -f1)
  for e in "${encodings[@]}"; do
    IFS='|' read -r suffix muxer options <<<"$e"
    read -r -a args <<<"$options"
    make_file "$base.$suffix" "$wav_sum $options" \
      ff -i "$corpus/$base.wav" "${args[@]}" "${exact[@]}" -f "$muxer"
  done
done

# Sixty minutes: the 600 s master played six times, encoded in one go.
master=$corpus/music-600s.wav
master_sum=$(sha256sum <"$master" | cut -d' ' -f1)
make_file music-3600s.cbr192.mp3 "$master_sum loop6 cbr192" \
  ff -stream_loop 5 -i "$master" -c:a libmp3lame -b:a 192k "${exact[@]}" -f mp3

if [ "$batch" -eq 1 ]; then
  # Twenty different 180 s files: the 180 s master rotated by 8k+1 seconds
  # (so each starts elsewhere in the music) at its own volume.
  master=$corpus/music-180s.wav
  master_sum=$(sha256sum <"$master" | cut -d' ' -f1)
  for k in $(seq 1 20); do
    start=$((8 * k + 1))
    volume=$(printf '0.%02d' $((60 + 2 * k)))
    graph="[0]asplit[a][b];[a]atrim=start=$start,asetpts=PTS-STARTPTS[x];[b]atrim=end=$start[y];[x][y]concat=n=2:v=0:a=1,volume=$volume"
    make_file "$(printf 'batch20/var-%02d.mp3' "$k")" "$master_sum $graph cbr192" \
      ff -i "$master" -filter_complex "$graph" -c:a libmp3lame -b:a 192k "${exact[@]}" -f mp3
    make_file "$(printf 'batch20flac/var-%02d.flac' "$k")" "$master_sum $graph flac" \
      ff -i "$master" -filter_complex "$graph" -c:a flac "${exact[@]}" -f flac
  done
fi

if [ "$long" -eq 1 ]; then
  # Four hours: digital silence but for a faint 440 Hz beep of one second
  # each minute, and a loud 3 kHz tone from 14100 s to 14160 s. Gains are
  # applied per frame, so silent frames are exact zeros and the FLAC stays
  # a few megabytes.
  graph="sine=f=440:r=44100:d=14400:samples_per_frame=4410,volume='if(lt(mod(t,60),1),0.001,0)':eval=frame[a];"
  graph+="sine=f=3000:r=44100:d=14400:samples_per_frame=4410,volume='if(between(t,14100,14160),0.3,0)':eval=frame[b];"
  graph+="[a][b]amix=inputs=2:normalize=0"
  make_file long-4h.flac "$graph s16 stereo flac" \
    ff -f lavfi -i "$graph" -ac 2 -sample_fmt s16 -c:a flac "${exact[@]}" -f flac
fi

echo "corpus: $corpus ($made made, $kept already there with the right checksum)"
echo "checksums (sha256):"
awk '{ printf "  %s  %s\n", $1, $2 }' "$manifest"
# The checksums this script gave with Debian 12's ffmpeg 5.1; another
# encoder version may give other bytes (still the same on every run).
reference=$here/corpus.sha256
if [ -f "$reference" ]; then
  differ=$(awk 'NR == FNR { want[$2] = $1; next } ($2 in want) && want[$2] != $1 { printf " %s", $2 }' \
    "$reference" "$manifest")
  if [ -z "$differ" ]; then
    echo "all match bench/corpus.sha256"
  else
    echo "differ from bench/corpus.sha256 (another ffmpeg version?):$differ"
  fi
fi

if [ "$check" -eq 1 ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  flags=()
  [ "$long" -eq 1 ] && flags+=(--long)
  [ "$batch" -eq 0 ] && flags+=(--no-batch)
  echo "check: making everything again in $scratch"
  CORPUS_DIR= "$0" -o "$scratch" "${flags[@]}" >/dev/null
  if diff <(awk '{ print $1, $2 }' "$manifest") <(awk '{ print $1, $2 }' "$scratch/SHA256SUMS"); then
    echo "check: identical bytes on both runs"
  else
    echo "check: the second run made different bytes (above)" >&2
    exit 1
  fi
fi
