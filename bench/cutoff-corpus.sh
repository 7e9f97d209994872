#!/usr/bin/env bash
# Writes the corpus the cutoff benchmark (bench/cutoff.cpp) measures:
#   wide<i>.genuine.flac      music-like signals with content up to 22.05 kHz
#   roll<i>.genuine.flac      signals that roll off gently from below 16 kHz
#                             (pink noise under 3..5 one-pole low-passes at
#                             3..5 kHz: 21..33 dB/octave in all)
#   up48/up88/up96<i>.genuine.flac  the wide signal resampled to 48, 88.2, 96 kHz
#                             (SoX's resampler at 28 bits: a steep wall at 21.4 kHz)
#   spch<i>.genuine.flac      speech-like sound band-limited to 8 kHz (16 kHz rate), at 44.1 kHz
#   swep<i>.genuine.flac      a logarithmic sweep from 20 Hz ending at 20 kHz
#   pd24<i>.genuine.flac      the wide signal as 24-bit FLAC, low 8 bits zero (16 used)
#   fu24<i>.genuine.flac      the wide signal at 90 % as 24-bit FLAC (24 used)
#   wide<i>.<enc>[-loud|-quiet].<ext>  each wide signal through a lossy encoder:
#                             as it is, 9 dB louder (the master and its decode
#                             clip) and 20 dB quieter
#   wide<i>.<enc>[-loud|-quiet].flac   ... decoded back to 16-bit FLAC (a transcode)
# Encoders: MP3 CBR 128/192/256/320 kbps and VBR V0/V2 (libmp3lame), AAC
# 128/192/256 (ffmpeg's aac), Vorbis q3/q6/q8 (libvorbis), Opus 96/160 kbps
# (libopus).
# The signals are deterministic (seeded noise, expressions of t).
#   bench/cutoff-corpus.sh [DIR]   (default: build-bench/cutoff-corpus)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-bench/cutoff-corpus}
signals=${CUTOFF_SIGNALS:-12}
seconds=${CUTOFF_SECONDS:-8}
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

# spch<i>: a buzz through moving formants with noise, made at 16 kHz (nothing
# above 8 kHz), brought to 44.1 kHz.
speech() {  # i out
  local f0="(110+10*$1+20*sin(2*PI*3*t))"
  ff -f lavfi -i "aevalsrc=exprs='0.3*sin(2*PI*$f0*t)*sin(2*PI*$f0*t)*sin(2*PI*(700+300*sin(2*PI*2*t))*t)+0.2*sin(2*PI*$f0*2*t)':s=16000:d=$seconds" \
     -f lavfi -i "anoisesrc=c=pink:seed=$((71 + $1)):a=0.05:r=16000:d=$seconds" \
     -filter_complex "[0][1]amix=inputs=2:normalize=0,aresample=44100,aformat=s16:44100:stereo" "${exact[@]}" -c:a flac "$2"
}

# swep<i>: a logarithmic sweep from 20 Hz to 20 kHz over the length.
sweep() {  # i out
  local k="log(1000)/$seconds"
  ff -f lavfi -i "aevalsrc=exprs='0.5*sin(2*PI*20*(exp($k*t)-1)/($k))':s=44100:d=$seconds" \
     -af "aformat=s16:44100:stereo" "${exact[@]}" -c:a flac "$2"
}

encodings=(
  "mp3-128|mp3|-c:a libmp3lame -b:a 128k"
  "mp3-192|mp3|-c:a libmp3lame -b:a 192k"
  "mp3-256|mp3|-c:a libmp3lame -b:a 256k"
  "mp3-320|mp3|-c:a libmp3lame -b:a 320k"
  "mp3-v0|mp3|-c:a libmp3lame -q:a 0"
  "mp3-v2|mp3|-c:a libmp3lame -q:a 2"
  "aac-128|m4a|-c:a aac -b:a 128k"
  "aac-192|m4a|-c:a aac -b:a 192k"
  "aac-256|m4a|-c:a aac -b:a 256k"
  "vorbis-q3|ogg|-c:a libvorbis -q:a 3"
  "vorbis-q6|ogg|-c:a libvorbis -q:a 6"
  "vorbis-q8|ogg|-c:a libvorbis -q:a 8"
  "opus-96|opus|-c:a libopus -b:a 96k"
  "opus-160|opus|-c:a libopus -b:a 160k"
)
versions=("|" "-loud|-af volume=9dB" "-quiet|-af volume=-20dB")

for ((i = 0; i < signals; i++)); do
  echo "cutoff-corpus: signal $i" >&2
  once "$out/wide$i.genuine.flac" wide "$i"
  once "$out/roll$i.genuine.flac" roll "$i"
  once "$out/spch$i.genuine.flac" speech "$i"
  once "$out/swep$i.genuine.flac" sweep "$i"
  for r in 48000 88200 96000; do
    once "$out/up${r:0:2}$i.genuine.flac" ff -i "$out/wide$i.genuine.flac" -af aresample=$r:resampler=soxr:precision=28 "${exact[@]}" -c:a flac -sample_fmt s16
  done
  once "$out/pd24$i.genuine.flac" ff -i "$out/wide$i.genuine.flac" "${exact[@]}" -c:a flac -sample_fmt s32
  once "$out/fu24$i.genuine.flac" ff -i "$out/wide$i.genuine.flac" -af volume=0.9 "${exact[@]}" -c:a flac -sample_fmt s32
  for e in "${encodings[@]}"; do
    IFS='|' read -r name ext args <<<"$e"
    for v in "${versions[@]}"; do
      IFS='|' read -r suffix gain <<<"$v"
      # shellcheck disable=SC2086
      once "$out/wide$i.$name$suffix.$ext" ff -i "$out/wide$i.genuine.flac" $gain $args "${exact[@]}" -f "${ext/m4a/mp4}"
      once "$out/wide$i.$name$suffix.flac" ff -i "$out/wide$i.$name$suffix.$ext" "${exact[@]}" -c:a flac -sample_fmt s16
    done
  done
done
echo "cutoff-corpus: $(ls "$out" | grep -c flac) FLAC files in $out" >&2
