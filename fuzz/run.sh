#!/bin/sh
# Runs the driver fuzzer for SECONDS (default 600), starting from the
# committed seeds in fuzz/corpus.
#
#   fuzz/run.sh [SECONDS] [libFuzzer options...]
#
# Environment:
#   KORVEX_FUZZER        the fuzzer (default build/native/fuzz/korvex_fuzzer)
#   KORVEX_FUZZ_CORPUS   working corpus, kept between runs so that later runs
#                        start where earlier ones stopped
#                        (default build/native/fuzz/corpus)
#   KORVEX_FUZZ_FRESH=1  empty the working corpus first
#   KORVEX_FUZZ_CRASHES  where reproducers go (default fuzz/crashes, not committed)
#
# A reproducer runs again with: korvex_fuzzer FILE (KORVEX_FUZZ_VERBOSE=1
# also lists the calls it makes).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-600}
[ $# -gt 0 ] && shift

fuzzer=${KORVEX_FUZZER:-$root/build/native/fuzz/korvex_fuzzer}
corpus=${KORVEX_FUZZ_CORPUS:-$root/build/native/fuzz/corpus}
crashes=${KORVEX_FUZZ_CRASHES:-$here/crashes}

if [ ! -x "$fuzzer" ]; then
  echo "run.sh: $fuzzer is not built (cmake --build --preset native)" >&2
  exit 2
fi
if [ "${KORVEX_FUZZ_FRESH:-0}" = 1 ]; then
  rm -rf "$corpus"
fi
mkdir -p "$corpus" "$crashes"
cp "$here"/corpus/* "$corpus"/

# An input takes well under a second alone; -timeout leaves room for a
# machine busy with a build or the tests besides.
exec "$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=4096 \
  -dict="$here/korvex.dict" -print_final_stats=1 -artifact_prefix="$crashes/" "$@" "$corpus"
