#!/usr/bin/env bash
# Synthesises a 40-second example sound of our own into demo/, converts it
# with the freshly built program and says where the picture is.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"

mkdir -p demo
sound=demo/demo.mp3
# Tones and a chord, a rising sweep, a falling sweep over a bass note, and
# bursts of noise in a steady beat.
expr="0.25*sin(2*PI*440*t)*lt(t,8)"
expr+="+0.15*(sin(2*PI*261.63*t)+sin(2*PI*329.63*t)+sin(2*PI*392*t))*between(t,4,14)"
expr+="+0.3*sin(2*PI*(200*(t-14)+(11800/24)*(t-14)^2))*between(t,14,26)"
expr+="+0.3*sin(2*PI*(9000*(t-26)-(8500/16)*(t-26)^2))*between(t,26,34)+0.2*sin(2*PI*110*t)*between(t,26,40)"
expr+="+0.4*(2*random(0)-1)*lt(mod(t,0.5),0.06)*gte(t,30)"
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "aevalsrc=exprs='${expr}':s=44100:d=40" \
  -ac 2 -b:a 192k "$sound"

"$build_dir/tolvek" demo
echo
echo "The picture is $(pwd)/$sound.png"
