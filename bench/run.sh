#!/usr/bin/env bash
# Everything `make bench` measures, in one report: the corpus, tolvek
# against the peers, the stage benchmarks and the memory figures. The
# report goes to stdout and to <build dir>/bench-report.md.
#
#   bench/run.sh [BUILD_DIR]    (default build-bench; it must hold tolvek
#                                and bench/tolvek_stages)
# Extra options for compare.py can be given in $COMPARE_ARGS, e.g.
# COMPARE_ARGS="--formats cbr192.mp3 --runs 7".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "${1:-$here/../build-bench}" && pwd)
corpus=$build_dir/corpus
report=$build_dir/bench-report.md
tolvek=$build_dir/tolvek
stages=$build_dir/bench/tolvek_stages

for f in "$tolvek" "$stages"; do
  [ -x "$f" ] || { echo "bench: $f is missing; configure with -DTOLVEK_BENCH=ON and build" >&2; exit 1; }
done

echo "bench: making or verifying the corpus in $corpus" >&2
"$here/make-corpus.sh" -o "$corpus" --long >&2

stage_table() {
  local json=$build_dir/stages.json
  "$stages" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" --benchmark_out_format=json "$corpus/music-180s.cbr192.mp3" >&2
  python3 - "$json" <<'EOF'
import json, sys
data = json.load(open(sys.argv[1]))
print("| stage (180 s MP3) | median ms |")
print("| --- | ---: |")
for b in data["benchmarks"]:
    if b.get("aggregate_name") == "median":
        print(f"| {b['run_name'].removesuffix('/real_time')} | {b['real_time']:.2f} |")
EOF
}

{
  echo "## Speed against the peers"
  echo
  # shellcheck disable=SC2086
  python3 "$here/compare.py" --tolvek "$tolvek" --corpus "$corpus" ${COMPARE_ARGS:-}
  echo
  echo "## Stages of one conversion"
  echo
  stage_table
  echo
  echo "## Peak memory"
  echo
  "$here/memory.sh" --tolvek "$tolvek" --corpus "$corpus"
} | tee "$report"
echo "bench: report written to $report" >&2
