#!/usr/bin/env bash
# Writes the corpus the cutoff benchmark (bench/cutoff.cpp) measures:
#   wide<i>.genuine.flac      music-like signals with content up to 22.05 kHz
#   roll<i>.genuine.flac      signals that roll off gently from below 16 kHz
#                             (pink noise under 3..5 one-pole low-passes at
#                             3..5 kHz: 21..33 dB/octave in all)
#   wide<i>.<enc>.<ext>       each wide signal through a lossy encoder
#   wide<i>.<enc>.flac        ... decoded back to 16-bit FLAC (a transcode)
# Encoders: MP3 128/192/256/320 kbps (libmp3lame), AAC 128/256 (ffmpeg's
# aac), Vorbis q3/q6 (libvorbis), Opus 96 kbps (libopus).
# The signals are deterministic (seeded noise, expressions of t).
#   bench/cutoff-corpus.sh [DIR]   (default: build-bench/cutoff-corpus)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-bench/cutoff-corpus}
signals=${CUTOFF_SIGNALS:-8}
seconds=${CUTOFF_SECONDS:-12}
command -v ffmpeg >/dev/null || { echo "cutoff-corpus: the ffmpeg tool is missing" >&2; exit 1; }
mkdir -p "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# once OUT COMMAND...: runs COMMAND with OUT's temporary name appended unless
# OUT exists, then renames it: a second run only makes what is missing.
once() {
  local out=$1
  shift
  [ -f "$out" ] && return 0
  "$@" "$out.part.${out##*.}" && mv "$out.part.${out##*.}" "$out"
}
exact=(-fflags +bitexact -flags:a +bitexact -map_metadata -1)

# A beat, a bass arpeggio and chords (as bench/make-corpus.sh), in key `i`.
music() {  # i
  local key="pow(2,$1/12)" beat='mod(t,0.5)' step='mod(t,0.25)'
  local arp="55*$key*pow(2,mod(floor(t*4)*7,12)/12)"
  printf '%s' "0.4*sin(2*PI*(50*$beat+3*(1-exp(-30*$beat))))*exp(-10*$beat)"
  printf '%s' "+0.15*sin(PI*$step/0.25)*(sin(2*PI*$arp*t)+0.5*sin(4*PI*$arp*t)+0.3*sin(6*PI*$arp*t))"
  printf '%s' "+0.05*(sin(2*PI*261.63*$key*t)+sin(2*PI*329.63*$key*t)+sin(2*PI*392*$key*t))"
}

# wide<i>: the music plus pink noise (about -3 dB per octave, so the top
# octave is still well within 40 dB) and hi-hat bursts of white noise.
wide() {  # i out
  ff -f lavfi -i "aevalsrc=exprs='$(music "$1")':s=44100:d=$seconds" \
     -f lavfi -i "anoisesrc=c=pink:seed=$((11 + $1)):a=0.12:r=44100:d=$seconds" \
     -f lavfi -i "anoisesrc=c=white:seed=$((31 + $1)):a=0.08:r=44100:d=$seconds" \
     -filter_complex "[2]volume='exp(-60*mod(t+0.25,0.5))':eval=frame[h];[0][1][h]amix=inputs=3:normalize=0,aformat=s16:44100:stereo" \
     "${exact[@]}" -c:a flac "$2"
}

# roll<i>: pink noise and the music under 3..5 one-pole low-passes at
# 3..4.75 kHz: the gentle, steadily steeper fall of natural sound and old tape.
roll() {  # i out
  local poles=$((3 + $1 % 3)) corner=$((3000 + 250 * $1)) chain="" p
  for ((p = 0; p < poles; p++)); do chain+="lowpass=f=$corner:p=1,"; done
  ff -f lavfi -i "aevalsrc=exprs='$(music "$1")':s=44100:d=$seconds" \
     -f lavfi -i "anoisesrc=c=pink:seed=$((51 + $1)):a=0.4:r=44100:d=$seconds" \
     -filter_complex "[0][1]amix=inputs=2:normalize=0,${chain}aformat=s16:44100:stereo" \
     "${exact[@]}" -c:a flac "$2"
}

encodings=(
  "mp3-128|mp3|-c:a libmp3lame -b:a 128k"
  "mp3-192|mp3|-c:a libmp3lame -b:a 192k"
  "mp3-256|mp3|-c:a libmp3lame -b:a 256k"
  "mp3-320|mp3|-c:a libmp3lame -b:a 320k"
  "aac-128|m4a|-c:a aac -b:a 128k"
  "aac-256|m4a|-c:a aac -b:a 256k"
  "vorbis-q3|ogg|-c:a libvorbis -q:a 3"
  "vorbis-q6|ogg|-c:a libvorbis -q:a 6"
  "opus-96|opus|-c:a libopus -b:a 96k"
)

for ((i = 0; i < signals; i++)); do
  echo "cutoff-corpus: signal $i" >&2
  once "$out/wide$i.genuine.flac" wide "$i"
  once "$out/roll$i.genuine.flac" roll "$i"
  for e in "${encodings[@]}"; do
    IFS='|' read -r name ext args <<<"$e"
    # shellcheck disable=SC2086
    once "$out/wide$i.$name.$ext" ff -i "$out/wide$i.genuine.flac" $args "${exact[@]}" -f "${ext/m4a/mp4}"
    once "$out/wide$i.$name.flac" ff -i "$out/wide$i.$name.$ext" "${exact[@]}" -c:a flac -sample_fmt s16
  done
done
echo "cutoff-corpus: $(ls "$out" | grep -c flac) FLAC files in $out" >&2
