#!/usr/bin/env bash
# Checks the installed and packaged forms of Tolvek, on a Debian 12 machine
# as root (CI): `make test-package` builds the package into PACKAGE_DIR first.
#   scripts/test-package.sh [PACKAGE_DIR]
# 1. cmake --install into a DESTDIR: every file in place; a C program built
#    with `pkg-config --cflags --libs tolvek` against that tree converts a WAV.
# 2. The manual page renders without a warning; the completion completes.
# 3. The three .deb files (tolvek, libtolvek0, libtolvek-dev) pass lintian
#    without errors or warnings, install with apt-get, the C program builds
#    against the installed development package through pkg-config and
#    converts, /usr/bin/tolvek converts (a shipped palette included), and
#    all three are purged again.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build-package}"
root="$(pwd)"
tmp="$(mktemp -d)"
installed_deb=""
packages=(tolvek libtolvek0 libtolvek-dev)
cleanup() {
    if [ -n "$installed_deb" ]; then apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "test-package: $*" >&2; exit 1; }
step() { echo "test-package: $*"; }
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-y -qq -o DPkg::Lock::Timeout=300)

ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "sine=f=1000:r=22050:d=3" "$tmp/tone.wav"

step "cmake --install into a DESTDIR"
dest="$tmp/root"
DESTDIR="$dest" cmake --install "$build_dir" >/dev/null
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
libdir="usr/lib/$multiarch"
for f in usr/bin/tolvek "$libdir/libtolvek.so.0" "$libdir/libtolvek.so" "$libdir/pkgconfig/tolvek.pc" \
         usr/include/tolvek/tolvek.h usr/share/man/man1/tolvek.1.gz usr/share/tolvek/palettes/fire.pal \
         usr/share/bash-completion/completions/tolvek usr/share/doc/tolvek/copyright \
         usr/share/doc/libtolvek0/copyright usr/share/doc/libtolvek-dev/copyright; do
    [ -e "$dest/$f" ] || fail "missing after install: /$f"
done
[ "$(readlink "$dest/$libdir/libtolvek.so")" = libtolvek.so.0 ] || fail "libtolvek.so does not lead to libtolvek.so.0"

step "a C program built with pkg-config against the installed tree"
flags="$(PKG_CONFIG_SYSROOT_DIR="$dest" PKG_CONFIG_LIBDIR="$dest/$libdir/pkgconfig" pkg-config --cflags --libs tolvek)"
# shellcheck disable=SC2086  # the flags are words
cc -std=c11 -Wall -Werror tests/c_caller/c_caller.c $flags -o "$tmp/c_caller"
LD_LIBRARY_PATH="$dest/$libdir" "$tmp/c_caller" "$tmp/tone.wav" "$dest/usr/share/tolvek/palettes/fire.pal" \
    || fail "c_caller against the installed library failed"
file "$tmp/tone.wav.png" | grep -q "PNG image data, 250 x 1024" || fail "c_caller wrote no picture"
rm "$tmp/tone.wav.png"

step "manual page and completion"
page="$build_dir/packaging/tolvek.1"
grep -q '"Tolvek [0-9.]*[a-z]*"' "$page" || fail "the manual page names no version"
warnings="$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)"
[ -z "$warnings" ] || fail "man warns: $warnings"
groff -t -ww -z -man "$page" 2>&1 | { ! grep .; } || fail "groff warns"
completed="$(bash -c 'source "$1"; COMP_WORDS=(tolvek --format j); COMP_CWORD=2; _tolvek; echo "${COMPREPLY[*]}"' _ \
    "$dest/usr/share/bash-completion/completions/tolvek")"
[ "$completed" = "jpg jpeg" ] || fail "completion of --format j gave: $completed"

step "lintian"
debs=()
for p in "${packages[@]}"; do
    deb="$(ls "$build_dir/${p}"_*.deb)" || fail "no package $p"
    debs+=("$(realpath "$deb")")
done
# Two warnings are expected (README, Installing): the packages are not
# uploaded to Debian, so they close no bug; CPack's own ldconfig calls in
# libtolvek0's postinst and postrm, beside its ldconfig trigger.
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs,maintscript-calls-ldconfig "${debs[@]}" \
    || fail "lintian found errors or warnings"
dpkg-deb -f "$build_dir"/libtolvek-dev_*.deb Depends | grep -q "libtolvek0 (= " \
    || fail "libtolvek-dev does not depend on its own libtolvek0"

step "apt-get install ${packages[*]}"
for p in "${packages[@]}"; do
    dpkg-query -W "$p" >/dev/null 2>&1 && fail "a $p package is installed already"
done
installed_deb=yes
apt-get install "${apt_opts[@]}" "${debs[@]}" >/dev/null
[ -x /usr/bin/tolvek ] || fail "/usr/bin/tolvek missing after apt-get install"
# shellcheck disable=SC2046  # the flags are words
cc -std=c11 -Wall -Werror tests/c_caller/c_caller.c $(pkg-config --cflags --libs tolvek) -o "$tmp/c_caller_installed"
"$tmp/c_caller_installed" "$tmp/tone.wav" /usr/share/tolvek/palettes/fire.pal \
    || fail "c_caller against the installed packages failed"
file "$tmp/tone.wav.png" | grep -q "PNG image data, 250 x 1024" || fail "c_caller wrote no picture"
rm "$tmp/tone.wav.png"
mkdir "$tmp/run"
cp "$tmp/tone.wav" "$tmp/run/"
(cd "$tmp/run" && /usr/bin/tolvek tone.wav >/dev/null) || fail "the installed program failed"
cp "$tmp/run/tone.wav.png" "$tmp/default.png"
printf '[general]\npalette=/usr/share/tolvek/palettes/fire.pal\n' > "$tmp/run/Tolvek_Pre.ini"
(cd "$tmp/run" && /usr/bin/tolvek tone.wav >/dev/null) || fail "the installed program failed with the fire palette"
cmp -s "$tmp/default.png" "$tmp/run/tone.wav.png" && fail "the shipped fire palette changed nothing"
man -w tolvek >/dev/null || fail "man does not find the installed page"

step "apt-get remove, purge"
apt-get remove "${apt_opts[@]}" "${packages[@]}" >/dev/null
[ ! -e /usr/bin/tolvek ] || fail "/usr/bin/tolvek left after remove"
# A removed package without configuration files is gone for apt; dpkg purges
# what is left of the others.
dpkg --purge "${packages[@]}" >/dev/null 2>&1
installed_deb=""
for p in "${packages[@]}"; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed || fail "$p still installed after purge"
done
cd "$root"
step "passed"
