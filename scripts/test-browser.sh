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
cmake --build "$build" -j "${JOBS:-2}" --target tolvek_cli tolvek >/dev/null

work=$(mktemp -d /tmp/tolvek-index.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A real run over generated sources, and an update run after it, with its
# page at <folder>/report/index.html and its report beside it.
make_index() { /usr/bin/python3 "$here/tests/browser/make_run.py" "$build/tolvek" "$1" "$2" 2>/dev/null; }

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
