#!/usr/bin/env bash
# Writes the seed inputs of the fuzz targets, one folder per target:
#   scripts/fuzz-seeds.sh OUTDIR   ->  OUTDIR/{palette_line,palette_file,settings,wildcard,audio,metadata}/
# Everything is made here: text samples by hand, tiny sounds with the ffmpeg
# tool from its built-in sine source. The folder is rewritten on each call.
set -euo pipefail
out="${1:?usage: fuzz-seeds.sh OUTDIR}"
root="$(cd "$(dirname "$0")/.." && pwd)"

rm -rf "$out"
mkdir -p "$out"/{palette_line,palette_file,settings,wildcard,audio,metadata}

seed() {  # seed TARGET: stdin becomes a seed of TARGET, named by its hash as libFuzzer names inputs
    local file
    file="$(mktemp "$out/$1/.new-XXXXXX")"
    cat > "$file"
    mv "$file" "$out/$1/$(sha1sum < "$file" | cut -d' ' -f1)"
}

# Palette lines and files: the ready palettes, and the rules' corners.
lines=(
    '0,0,0,0' '255,254,240,160' ' +5x,1, 2 ,3' '1,2,3' '1,2,3,4,5' '-1,0,0,0' '256,0,0,0'
    '# a comment' ',,,' '0,0,0,0\r' '99999999999999999999,1,2,3' "$(printf '%079d' 0),1,2,3"
)
for l in "${lines[@]}"; do printf '%s\n' "$l" | seed palette_line; done
for f in "$root"/palettes/*.pal; do seed palette_file < "$f"; done
printf '%s\n' "${lines[@]}" | seed palette_file
printf '10,1,2,3\n10,4,5,6\n200,7,8,9\n100,1,1,1\n' | seed palette_file
printf '0,0,0,0\r\n255,255,255,255\r\n' | seed palette_file

# Settings files.
printf '[general]\nquality=75\nrecursive=0\ngrid=1\nlocal=0\nverbose=0\noutput=png\npalette=tolvek_color.pal\n' | seed settings
printf '\xef\xbb\xbf[ General ]\r\nQUALITY = "90"\r\noutput=Jpeg ; small\r\n; note\r\n# note\r\n' | seed settings
printf '[other]\nquality=5\n[general]\nquality=500\nquality=20\ngrid=\npalette="my colours.pal"\n' | seed settings
printf '[general\nverbose=-2147483649\nrecursive=99999999999\nlocal=+1x\n[]\n=\n' | seed settings

# Wildcard pattern and name, split at a NUL.
for pair in '*.mp3|song.mp3' '*|.hidden' '.*|.hidden' '?a*b?|xaYYbz' 'Song [Live].mp3|Song [Live].mp3' \
            'a*a*a*a*a*b|aaaaaaaaaaaaaaaaaaaaaaaa' '**?*|' 'music/*.wav|a.wav' '\*|*'; do
    printf '%s\0%s' "${pair%%|*}" "${pair#*|}" | seed wildcard
done

# Audio: the first byte picks the name's ending (see fuzz_audio.cpp):
# 0 none, 1 .wav, 2 .mp3, 3 .flac, 4 .ogg, 5 .aiff, 6 .mod, 7 .opus, 8 .m4a, 9 .wma.
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
sound() {  # sound SELECTOR EXT SECONDS RATE CHANNELS [ffmpeg output options...]
    local sel=$1 ext=$2 secs=$3 rate=$4 ch=$5
    shift 5
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "sine=f=440:r=$rate:d=$secs" \
        -ac "$ch" "$@" "$tmp/s.$ext"
    { printf "\\$(printf '%03o' "$sel")"; cat "$tmp/s.$ext"; } | seed audio
}
sound 1 wav 0.25 8000 1
sound 1 wav 0.05 8000 2 -c:a pcm_s24le
sound 1 wav 0.05 8000 1 -c:a pcm_f32le
sound 1 wav 0.05 8000 8
sound 0 wav 0.05 44100 2
sound 2 mp3 0.5 8000 1
sound 0 mp3 0.3 44100 2
sound 3 flac 0.25 8000 1
sound 4 ogg 0.25 8000 1 -c:a libvorbis
sound 5 aiff 0.1 8000 1
sound 7 opus 0.2 48000 1 -c:a libopus
sound 8 m4a 0.2 8000 1 -c:a aac
sound 9 wma 0.2 22050 1 -c:a wmav2

# A tracker module: one square-wave sample, one note. It opens but is not a
# recorded stream.
{
    printf 'seed'; head -c 16 /dev/zero
    head -c 22 /dev/zero; printf '\000\100\000\100\000\000\000\001'
    for _ in $(seq 30); do head -c 22 /dev/zero; printf '\000\000\000\000\000\000\000\001'; done
    printf '\001\177'; head -c 128 /dev/zero; printf 'M.K.'
    printf '\001\254\020\000'; head -c 1020 /dev/zero
    for _ in $(seq 8); do printf '\144\144\144\144\144\144\144\144\234\234\234\234\234\234\234\234'; done
} > "$tmp/s.mod"
{ printf '\006'; cat "$tmp/s.mod"; } | seed audio

# Pictures with text entries: PNG chunks by hand (the reader ignores CRCs,
# so they are zero), and small real PNG and JPEG files from the ffmpeg tool
# (its JPEG carries a comment).
be32() { printf "\\$(printf '%03o' $(($1 >> 24 & 255)))\\$(printf '%03o' $(($1 >> 16 & 255)))"; \
         printf "\\$(printf '%03o' $(($1 >> 8 & 255)))\\$(printf '%03o' $(($1 & 255)))"; }
chunk() {  # chunk TYPE PRINTF-FORMAT-OF-DATA
    # shellcheck disable=SC2059  # the data is given as a format, for its NULs
    be32 "$(printf "$2" | wc -c)"; printf '%s' "$1"; printf "$2"; head -c 4 /dev/zero
}
png_head() { printf '\211PNG\r\n\032\n'; be32 13; printf 'IHDR'; be32 1; be32 1; printf '\010\002\000\000\000'; head -c 4 /dev/zero; }
{ png_head; chunk iTXt 'source\0\0\0\0\0a.flac'; chunk iTXt 'k\0\0\0en\0key\0v=1'; chunk IEND ""; } | seed metadata
{ png_head; chunk tEXt 'Comment\0x'; chunk iTXt 'z\0\1\0\0\0xx'; chunk IDAT ""; } | seed metadata
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "color=c=red:s=8x8:d=1" -frames:v 1 "$tmp/p.png"
seed metadata < "$tmp/p.png"
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "color=c=red:s=8x8:d=1" -frames:v 1 "$tmp/p.jpg"
seed metadata < "$tmp/p.jpg"
{ printf '\377\330\377\376\000\013key=val\n\377\377\376\000\004k=\377\320\377\332'; } | seed metadata

echo "fuzz seeds in $out"
