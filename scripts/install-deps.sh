#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need,
# and only those that are missing, so a ready machine is left untouched.
# Extra groups on request: "fuzz" (clang and libFuzzer), "bench" (the
# benchmark library and the programs we measure against), "package" (what
# make test-package runs: lintian, dpkg-shlibdeps, man, groff, file),
# "cluster" (Slurm, munge and GNU parallel for make test-cluster), "browser"
# (Chromium, its driver and Selenium for make test-browser).
# Then, except for "package" or with TOLVEK_FFMPEG=shared, the lean static
# FFmpeg of scripts/build-ffmpeg.sh (built once, then taken from its cache).
#   scripts/install-deps.sh [fuzz] [bench] [package] [cluster] [browser]
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libpng-dev libjpeg62-turbo-dev libdeflate-dev libminizip-dev
  libfreetype-dev libfontconfig-dev fonts-dejavu-core
  libebur128-dev
  libgtest-dev python3-numpy
  libcli11-dev
  ffmpeg
)
for group in "$@"; do
  case "$group" in
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench) packages+=(libbenchmark-dev sox libsox-fmt-mp3 sndfile-tools time hyperfine) ;;
    package) packages+=(lintian pkg-config man-db groff dpkg-dev file) ;;
    cluster) packages+=(slurmctld slurmd slurm-client munge parallel cpio) ;;
    browser) packages+=(chromium chromium-driver python3-selenium) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

lean_ffmpeg=yes
[ "${TOLVEK_FFMPEG:-}" = shared ] && lean_ffmpeg=no
for group in "$@"; do [ "$group" = package ] && lean_ffmpeg=no; done
lean_ffmpeg() {
  if [ "$lean_ffmpeg" = yes ]; then bash "$(dirname "$0")/build-ffmpeg.sh"; fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  lean_ffmpeg
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
lean_ffmpeg
