#!/usr/bin/env bash
# The run's index page in headless Chromium (make test-browser), its timings
# on a big run (make bench-index) or a fresh screenshot for doc/index-page.md
# (make index-screenshot). Not part of make test: it needs a browser.
#   scripts/test-browser.sh <build dir> [test|measure|screenshot]
set -euo pipefail
build=${1:-build}
mode=${2:-test}
here=$(cd "$(dirname "$0")/.." && pwd)

bash "$here/scripts/install-deps.sh" browser
cmake --build "$build" -j "${JOBS:-2}" --target tolvek_index_driver >/dev/null

work=$(mktemp -d /tmp/tolvek-index.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The one place that makes a run and its page at <folder>/report/index.html.
# Once the run loop takes --index, this line becomes a tolvek run over
# generated sources: "$build/tolvek" --index "$1/report/index.html" "$1/music".
make_index() { "$build/tests/tolvek_index_driver" "$1" "$2"; }

test=(/usr/bin/python3 "$here/tests/browser/index_page_test.py")
case "$mode" in
  test)
    make_index "$work/run" 20
    "${test[@]}" "$work/run" --screenshot "$build/index-page.png" </dev/null ;;
  measure)
    files=${INDEX_FILES:-10000}
    echo "making a run of $files files..."
    make_index "$work/run" "$files"
    "${test[@]}" "$work/run" --measure </dev/null ;;
  screenshot)
    make_index "$work/run" 20
    "${test[@]}" "$work/run" --screenshot "$here/doc/index-page.png" </dev/null
    echo "doc/index-page.png: $(stat -c %s "$here/doc/index-page.png") bytes" ;;
  *) echo "test-browser: unknown mode $mode" >&2; exit 2 ;;
esac
