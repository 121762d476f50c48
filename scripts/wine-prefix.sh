#!/usr/bin/env bash
# Makes the build tree's Wine prefix, the one every Wine suite, the wire
# benchmark and make demo share: a 64-bit prefix with its 32-bit half (when
# the 32-bit Wine is installed), made once.
#
#   scripts/wine-prefix.sh PREFIX
#
# Quick when the prefix is there already. wineboot copies Wine's own DLLs
# into the prefix (about 1.2 GB); each copy that is byte for byte the
# installed file is replaced by a link to it, which leaves about 100 MB.
set -euo pipefail

prefix=${1:?usage: scripts/wine-prefix.sh PREFIX}
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=/usr/lib/wine/wineserver

say() { printf 'wine-prefix: %s\n' "$*"; }
die() { printf 'wine-prefix: %s\n' "$*" >&2; exit 1; }

[[ -x $wine64 ]] || die "64-bit Wine not found at $wine64 (scripts/ensure-deps.sh installs wine64)"

# The 32-bit half only where the 32-bit Wine is installed and the kernel runs
# 32-bit programs (some sandboxes' kernels run none).
runs32=0
if [[ -x $wine32 ]] && "$wine32" --version >/dev/null 2>&1; then runs32=1; fi

complete() {
  [[ -e $prefix/system.reg ]] || return 1
  [[ $runs32 == 0 || -e $prefix/drive_c/windows/syswow64/kernel32.dll ]]
}
complete && exit 0

export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
mode=-i
if [[ -e $prefix/system.reg ]]; then
  # Made before the 32-bit Wine was there: add its half.
  mode=-u
  "$wineserver" -k 2>/dev/null || true
fi
mkdir -p "$(dirname "$prefix")"
log=$(dirname "$prefix")/wineboot.log
started=$SECONDS
say "making $prefix (once; about 20 seconds)"
# Neither the .NET nor the HTML runtime: nothing here needs them, and looking
# for their installers is most of the time a prefix takes.
WINEDLLOVERRIDES=mscoree,mshtml= timeout 600 "$wine64" wineboot "$mode" >"$log" 2>&1 &
boot=$!
next=5
while kill -0 "$boot" 2>/dev/null; do
  sleep 1
  if ((SECONDS - started >= next)) && kill -0 "$boot" 2>/dev/null; then
    say "... $((SECONDS - started)) s of about 20"
    next=$((next + 5))
  fi
done
wait "$boot" || die "wineboot $mode failed; see $log"
# The registry files are written when the wineserver shuts down.
timeout 120 "$wineserver" -w || true
[[ -e $prefix/system.reg ]] || die "wineboot $mode made no prefix at $prefix; see $log"

# The copies of Wine's own DLLs, as links to the installed files.
say "... $((SECONDS - started)) s: linking the copies of Wine's own files (about 10 s)"
linked=0
for pair in "system32:x86_64-windows" "syswow64:i386-windows"; do
  folder=$prefix/drive_c/windows/${pair%%:*}
  [[ -d $folder ]] || continue
  for source in /usr/lib/*/wine/"${pair#*:}" /usr/lib/wine/"${pair#*:}"; do
    [[ -d $source ]] || continue
    while IFS= read -r -d '' copy; do
      installed=$source/${copy#"$folder"/}
      if [[ -f $installed && ! -L $copy ]] && cmp -s "$copy" "$installed"; then
        ln -sf "$installed" "$copy"
        linked=$((linked + 1))
      fi
    done < <(find "$folder" -type f -print0)
  done
done
say "ready in $((SECONDS - started)) s: $(du -sh "$prefix" | cut -f1), $linked of Wine's files linked"
