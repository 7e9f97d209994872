#!/usr/bin/env bash
# Builds a lean, static, audio-only FFmpeg from Debian's own source package
# of the installed libavcodec-dev (same version, Debian's patches), once,
# into a cache outside the build folders:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tolvek/ffmpeg-<version>-<configuration hash>/
# and records that folder in .../tolvek/ffmpeg-prefix, where CMake finds it.
# The system's apt sources stay untouched: the deb-src entries for the same
# suites live in a private sources list and lists folder under the cache.
# When anything fails (no network, say) it removes the record and says in
# one line that the build links Debian's shared FFmpeg; it never fails.
#   scripts/build-ffmpeg.sh            build if missing, record the folder
#   scripts/build-ffmpeg.sh --print    print the folder the record names
# (doc/ffmpeg.md: what it holds, how long it takes, the LGPL)
set -euo pipefail

cache_root=${TOLVEK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvek}
record=$cache_root/ffmpeg-prefix

if [ "${1:-}" = "--print" ]; then
  [ -f "$record" ] && cat "$record"
  exit 0
fi

# One audio extension list: kAudioExtensions in audio/formats.h.
demuxers=(mp3 ogg wav aiff flac asf ape mov aac wv matroska ac3 eac3 dts dtshd tta mpc mpc8 caf w64 au)
decoders=('pcm*' 'adpcm_ima_wav' 'adpcm_ima_qt' 'adpcm_ms' 'adpcm_g722' 'adpcm_g726' 'adpcm_g726le' 'adpcm_swf'
  mp1 mp1float mp2 mp2float mp3 mp3float mp3adu mp3adufloat mp3on4 mp3on4float
  vorbis opus flac wmav1 wmav2 wmapro wmalossless wmavoice ape aac aac_fixed aac_latm alac als
  wavpack ac3 ac3_fixed eac3 truehd mlp dca tta mpc7 mpc8 gsm gsm_ms mace3 mace6 qdm2 qdmc)
parsers=(mpegaudio vorbis opus flac aac aac_latm ac3 dca mlp)
# Demuxers that name no file endings take them from the muxer of their name
# (audio::readable_containers); these muxers write nothing else.
muxers=(wav ogg asf w64 aiff au caf wv)
join() { local IFS=,; echo "$*"; }
configure_args=(
  --disable-everything --disable-programs --disable-doc --disable-network --disable-autodetect
  --disable-avdevice --disable-avfilter --disable-swscale --disable-postproc
  --disable-debug --disable-shared --enable-static --enable-pic
  --enable-protocol=file,pipe
  --enable-demuxer="$(join "${demuxers[@]}")"
  --enable-decoder="$(join "${decoders[@]}")"
  --enable-parser="$(join "${parsers[@]}")"
  --enable-muxer="$(join "${muxers[@]}")"
)

fall_back() {
  rm -f "$record"
  echo "build-ffmpeg: $1; the build links Debian's shared FFmpeg instead" >&2
  exit 0
}

# Any other failure falls back in the same way.
trap 'fall_back "a step failed (scripts/build-ffmpeg.sh line $LINENO)"' ERR

version=$(dpkg-query -W -f='${source:Version}' libavcodec-dev 2>/dev/null) || fall_back "libavcodec-dev is not installed"
hash=$(printf '%s\n' "${configure_args[@]}" | sha256sum | cut -c1-12)
prefix=$cache_root/ffmpeg-${version#*:}-$hash

if [ -f "$prefix/.complete" ]; then
  echo "$prefix" >"$record"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
for p in dpkg-dev nasm; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1 ||
      fall_back "could not install $p"
  fi
done

# deb-src lines for every deb entry of the system's one-line and deb822 lists.
source_lines() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush() {
           if (types ~ /(^| )deb( |$)/ && enabled != "no")
             for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++)
               print "deb-src" (signed != "" ? " [signed-by=" signed "]" : "") " " uri[u] " " suite[s] " " comps
           types = ""; enabled = ""; signed = ""; comps = ""; nu = 0; ns = 0
         }
         /^[[:space:]]*#/ { next }
         /^[[:space:]]*$/ { flush(); next }
         { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "") }
         key == "types" { types = $0 }
         key == "enabled" { enabled = tolower($0) }
         key == "signed-by" { signed = $0 }
         key == "components" { comps = $0 }
         key == "uris" { nu = split($0, uri, " ") }
         key == "suites" { ns = split($0, suite, " ") }
         END { flush() }' "$f"
  done
}

mkdir -p "$cache_root"
apt_dir=$cache_root/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache"
source_lines >"$apt_dir/sources.list"
[ -s "$apt_dir/sources.list" ] || fall_back "no deb entries in the system's apt sources"
apt_opts=(-o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User=root)
[ "$(id -u)" -eq 0 ] || apt_opts+=(-o Debug::NoLocking=1)

started=$(date +%s)
apt-get "${apt_opts[@]}" -qq update >/dev/null 2>&1 || true
work=$(mktemp -d "$cache_root/ffmpeg-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! apt-get "${apt_opts[@]}" -qq source "ffmpeg=$version" >/dev/null 2>&1; then
  # The exact version has left the archive: the newest of the same major version.
  major=${version%%.*}
  newest=$(apt-cache "${apt_opts[@]}" showsrc ffmpeg 2>/dev/null | sed -n 's/^Version: //p' |
    while read -r v; do [ "${v%%.*}" = "$major" ] && echo "$v"; done |
    sort -V | tail -n 1) || true
  [ -n "$newest" ] || fall_back "could not fetch Debian's ffmpeg source $version"
  echo "build-ffmpeg: ffmpeg $version has left the archive; building $newest, the newest of ${major#*:}.x" >&2
  apt-get "${apt_opts[@]}" -qq source "ffmpeg=$newest" >/dev/null 2>&1 ||
    fall_back "could not fetch Debian's ffmpeg source $newest"
  version=$newest
fi
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg-*' | head -n 1)
[ -n "$src" ] || fall_back "the ffmpeg source package did not unpack"

staging=$prefix.partial
rm -rf "$staging"
echo "build-ffmpeg: configuring and building FFmpeg $version, audio only (about a minute on 2 cores)" >&2
(cd "$src" && ./configure --prefix="$staging" "${configure_args[@]}" >"$work/configure.log" 2>&1) ||
  { tail -n 20 "$work/configure.log" >&2; fall_back "FFmpeg's configure failed"; }
configured=$(date +%s)
(cd "$src" && make -j "$(nproc)" >"$work/make.log" 2>&1 && make install >>"$work/make.log" 2>&1) ||
  { tail -n 20 "$work/make.log" >&2; fall_back "FFmpeg's build failed"; }
# What the LGPL asks to ship beside the binary: the licence and the source's origin.
mkdir -p "$staging/share/doc"
cp "$src"/COPYING.LGPLv2.1 "$src"/LICENSE.md "$staging/share/doc/"
cp "$src"/debian/copyright "$staging/share/doc/debian-copyright" 2>/dev/null || true
{
  echo "version=$version"
  echo "source=Debian source package ffmpeg $version (apt-get source ffmpeg=$version)"
  echo "configure=${configure_args[*]}"
} >"$staging/share/doc/BUILD-INFO"
touch "$staging/.complete"
rm -rf "$prefix"
# FFmpeg's .pc files name the prefix they were installed into.
sed -i "s|$staging|$prefix|g" "$staging"/lib/pkgconfig/*.pc
mv "$staging" "$prefix"
echo "$prefix" >"$record"
echo "build-ffmpeg: FFmpeg $version in $prefix (fetch and configure $((configured - started)) s, build $(($(date +%s) - configured)) s)" >&2
