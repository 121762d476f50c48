#!/bin/sh
# The wire benchmark: builds what it needs (the win64 Korvex.dll, korvex-host
# and korvex-wire-probe; the native korvex-wire-bench), runs it under 64-bit
# Wine in the build tree's prefix and writes bench/wire/RESULTS.md.
#
#   bench/wire/run.sh [--frames N] [--repeat N]     (defaults 3000 and 5)
#
# KORVEX_WINE points at another wine64 loader; JOBS sets the build's jobs.
set -e
cd "$(dirname "$0")/../.."
root=$(pwd)
jobs=${JOBS:-2}
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs" --target Korvex korvex-host korvex-wire-probe
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target korvex-wire-bench
exec "$root/build/native/korvex-wire-bench" \
  --win64 "$root/build/win64" \
  --prefix "$root/build/native/wineprefix" \
  --work "$root/build/native/bench-wire" \
  --out "$root/bench/wire/RESULTS.md" \
  --frames 3000 --repeat 5 "$@"
