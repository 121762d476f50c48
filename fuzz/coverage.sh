#!/bin/sh
# Line coverage of the driver logic by a corpus: runs every input once in a
# coverage build of the harness and prints llvm-cov's report.
#
#   fuzz/coverage.sh [CORPUS_DIR...]
#
# Default corpus: the working corpus of fuzz/run.sh when there is one, else
# the seeds. The build folder is build/native (KORVEX_BUILD to change it);
# the profile and an HTML view land in <build>/fuzz/coverage.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KORVEX_BUILD:-$root/build/native}
if [ $# -eq 0 ]; then
  if [ -d "$build/fuzz/corpus" ]; then set -- "$build/fuzz/corpus"; else set -- "$here/corpus"; fi
fi

tool() {
  for name in "$1" "$1-14"; do
    if command -v "$name" >/dev/null 2>&1; then echo "$name"; return; fi
  done
  echo "coverage.sh: $1 not found" >&2
  exit 2
}
profdata=$(tool llvm-profdata)
cov=$(tool llvm-cov)

cmake --build "$build/fuzz/standalone" --target korvex_fuzzer_coverage
binary=$build/fuzz/korvex_fuzzer_coverage
out=$build/fuzz/coverage
rm -rf "$out"
mkdir -p "$out"
LLVM_PROFILE_FILE="$out/run.profraw" "$binary" -runs=0 "$@" >"$out/run.log" 2>&1
"$profdata" merge -sparse "$out/run.profraw" -o "$out/run.profdata"

sources="$root/core $root/settings $root/link $root/display $root/platform/shared_rules.cpp"
# shellcheck disable=SC2086
"$cov" show "$binary" -instr-profile="$out/run.profdata" -format=html -output-dir="$out/html" \
  $sources
# shellcheck disable=SC2086
"$cov" report "$binary" -instr-profile="$out/run.profdata" $sources
echo "coverage.sh: per-line view in $out/html/index.html"
