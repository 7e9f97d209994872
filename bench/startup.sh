#!/usr/bin/env bash
# Start-up of `tolvek --version` against bench/empty_main, an empty program
# linked against the same shared libraries: hyperfine in ROUNDS rounds that
# alternate the order of the two, the median of the rounds' means. The
# goals: within 5 ms of the empty program and below 10 ms.
#
#   bench/startup.sh [--strict] [BUILD_DIR] (default build-bench; it must
#                    hold tolvek and bench/empty_main)
# --strict turns the verdicts into the exit status. ROUNDS (5) and RUNS
# (40 per command and round) may be set in the environment.
set -euo pipefail

strict=no
if [ "${1:-}" = --strict ]; then strict=yes; shift; fi
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "${1:-$here/../build-bench}" && pwd)
tolvek=$build_dir/tolvek
empty=$build_dir/bench/empty_main
for f in "$tolvek" "$empty"; do
  [ -x "$f" ] || { echo "startup: $f is missing; configure with -DTOLVEK_BENCH=ON and build" >&2; exit 1; }
done
command -v hyperfine >/dev/null || { echo "startup: hyperfine is missing (scripts/install-deps.sh bench)" >&2; exit 1; }

rounds=${ROUNDS:-5}
runs=${RUNS:-40}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ((r = 0; r < rounds; r++)); do
  cmds=("$tolvek --version" "$empty")
  ((r % 2)) && cmds=("$empty" "$tolvek --version")
  hyperfine -N --style none --warmup 5 --runs "$runs" --export-json "$out/$r.json" "${cmds[@]}" >/dev/null
done

python3 - "$out" "$rounds" "$strict" <<'EOF'
import json, statistics, sys
from pathlib import Path
folder, rounds, strict = Path(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "yes"
means = {"tolvek": [], "empty": []}
for r in range(rounds):
    for res in json.loads((folder / f"{r}.json").read_text())["results"]:
        means["tolvek" if res["command"].endswith("--version") else "empty"].append(res["mean"] * 1000)
tolvek, empty = statistics.median(means["tolvek"]), statistics.median(means["empty"])
gap_ok, floor_ok = tolvek - empty <= 5.0, tolvek < 10.0
print(f"tolvek --version: {tolvek:.1f} ms; empty_main: {empty:.1f} ms; gap {tolvek - empty:.1f} ms "
      f"(median of {rounds} hyperfine rounds' means)")
print(f"within 5 ms of empty_main: {'yes' if gap_ok else 'NO'}; below 10 ms: {'yes' if floor_ok else 'NO'}")
sys.exit(1 if strict and not (gap_ok and floor_ok) else 0)
EOF
