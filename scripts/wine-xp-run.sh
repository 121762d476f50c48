#!/usr/bin/env bash
# Runs the i686 suites (the deliverable under 32-bit Wine) once with Wine
# telling their programs that they run on Windows XP SP3.
#
#   scripts/wine-xp-run.sh        (after make dll native)
#
# The setting is Wine's per-program one, HKCU\Software\Wine\AppDefaults\
# PROGRAM.exe\Version = winxp, for the five programs the i686 suites start
# (korvex-host, korvex-board and the three probes), so the rest of the build tree's prefix
# keeps its version. The 64-bit suites start programs of the same names:
# nothing else may run in this build tree meanwhile, so the script runs only
# the i686 suites. Whatever it set is put back as it was when it ends, also
# when it fails or is stopped. It checks that the setting took (a probe says
# 5.1) before the suites run; their tests then hold the same outcomes as
# under Wine's default version.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$root/build/native/wineprefix
win32=$root/build/win32
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=/usr/lib/wine/wineserver
programs=(korvex-host.exe korvex-board.exe korvex-wine-probe.exe korvex-platform-probe.exe korvex-thunk-probe.exe)
key='HKCU\Software\Wine\AppDefaults'

say() { printf 'wine-xp-run: %s\n' "$*"; }
die() { printf 'wine-xp-run: %s\n' "$*" >&2; exit 1; }

[[ -x $wine32 ]] || die "32-bit Wine not found at $wine32 (scripts/ensure-deps.sh installs wine32:i386)"
"$wine32" --version >/dev/null 2>&1 || die "this machine's kernel runs no 32-bit program: $wine32 does not start"
for program in "${programs[@]}"; do
  [[ -e $win32/$program ]] || die "$win32/$program is missing: run make dll native first"
done
[[ -e $root/build/native/CTestTestfile.cmake ]] || die "no native build: run make native first"
"$root/scripts/wine-prefix.sh" "$prefix" >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
reg() { timeout 120 "$wine32" reg "$@"; }

# What each program had before: its version, "-" for a key without one, ""
# for no key at all. (The AppDefaults key itself is Wine's: any program it
# starts makes it.)
declare -A before
for program in "${programs[@]}"; do
  before[$program]=
  reg query "$key\\$program" >/dev/null 2>&1 || continue
  line=$(reg query "$key\\$program" /v Version 2>/dev/null | tr -d '\r' | grep -w Version || true)
  before[$program]=${line:+$(awk '{print $NF}' <<<"$line")}
  before[$program]=${before[$program]:--}
done

restore() {
  for program in "${programs[@]}"; do
    case ${before[$program]} in
      "") reg delete "$key\\$program" /f >/dev/null 2>&1 || true ;;
      -) reg delete "$key\\$program" /v Version /f >/dev/null 2>&1 || true ;;
      *) reg add "$key\\$program" /v Version /d "${before[$program]}" /f >/dev/null || true ;;
    esac
  done
  # The registry reaches the prefix's files when its server ends.
  "$wineserver" -k 2>/dev/null || true
  say "restored: $("$wine32" "$win32/korvex-platform-probe.exe" version | tr -d '\r')"
}
trap restore EXIT

for program in "${programs[@]}"; do
  reg add "$key\\$program" /v Version /d winxp /f >/dev/null
done
seen=$("$wine32" "$win32/korvex-platform-probe.exe" version | tr -d '\r')
say "the i686 programs are told: $seen"
[[ $seen == "windows 5.1."* ]] || die "the Windows XP setting did not take"

cd "$root"
ctest --preset native -R '^i686\.' -j 2
