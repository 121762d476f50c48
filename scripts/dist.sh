#!/usr/bin/env bash
# make dist: build/dist/korvex-VERSION.zip with what a user needs, the 32-bit
# Korvex.dll, the 32-bit korvex-host.exe (stripped), README.md and a sample
# config.ini as the driver writes it on its first start.
#
# It builds nothing (`make dist` builds the DLLs first). VERSION comes from
# the driver's identification text, "... V1.09b" giving 1.09b; the DLL's
# version resource must agree with that text, or nothing is packed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dll=$root/build/win32/Korvex.dll
host=$root/build/win32/korvex-host.exe
strip=${KORVEX_STRIP:-i686-w64-mingw32-strip}
out=$root/build/dist

die() { printf 'dist: %s\n' "$*" >&2; exit 1; }

for file in "$dll" "$host" "$root/README.md"; do
  [[ -e $file ]] || die "$file is missing: run make dist (it builds the DLLs)"
done
command -v "$strip" >/dev/null || die "$strip not found (make deps installs binutils-mingw-w64-i686)"
command -v zip >/dev/null || die "zip not found (make deps installs it)"

# The identification text, the one place the driver names its version.
identification=$(sed -n 's/^const char kDriverIdentification\[\] = "\(.*\)";$/\1/p' \
  "$root/core/driver_state.h")
[[ $identification =~ V([0-9]+)\.([0-9])([0-9])([a-z]?)$ ]] ||
  die "no version at the end of the identification text '$identification'"
version=${identification##* V}
# As the version resource counts it: V1.09b is 1.0.9.2 (the letter from a = 1).
revision=0
if [[ -n ${BASH_REMATCH[4]} ]]; then
  revision=$(($(printf '%d' "'${BASH_REMATCH[4]}") - 96))
fi
numeric=${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.${BASH_REMATCH[3]}.$revision

# The shipped DLL itself: the identification text that DLL_GetInfo returns,
# and the version resource's FileDescription and FileVersion (UTF-16 there)
# saying the same.
python3 - "$dll" "$identification" "$numeric" <<'EOF'
import sys
path, text, numeric = sys.argv[1:]
data = open(path, "rb").read()
def utf16(value):
    return value.encode("utf-16-le")
def resource_string(key, value):
    # A version-resource String: the key, zero padding, then the value.
    start = data.find(utf16(key) + b"\0\0")
    if start < 0:
        return None
    start += len(utf16(key)) + 2
    while data[start:start + 2] == b"\0\0":
        start += 2
    end = start
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[start:end].decode("utf-16-le")
problems = []
if text.encode("ascii") + b"\0" not in data:
    problems.append("the identification text %r is not in the library" % text)
for key, want in (("FileDescription", text), ("FileVersion", numeric),
                  ("ProductVersion", numeric)):
    got = resource_string(key, want)
    if got != want:
        problems.append("version resource %s is %r, not %r" % (key, got, want))
if problems:
    sys.exit("dist: %s:\n  %s" % (path, "\n  ".join(problems)))
EOF

# The same inputs make the same zip: one time stamp for the files and for the
# stripped program's header (strip would write the current time there).
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$dll" "$stage/Korvex.dll"
if [[ -n $stamp ]]; then
  SOURCE_DATE_EPOCH=$stamp "$strip" -o "$stage/korvex-host.exe" "$host"
else
  "$strip" -o "$stage/korvex-host.exe" "$host"
fi
cp "$root/README.md" "$stage/README.md"
# The file the driver writes with every key at its default, CR LF as Windows
# writes it.
printf '%s\r\n' '[Korvex]' 'BaudRate=19200' 'TextBufferSize=16' 'GfxBufferSize=64' \
  'GfxForceFlush=0' 'LCD_FontPitch=6' 'LCD_UseOutPorts=0' 'LCD_Controller=6963' \
  'LogFile=0' >"$stage/config.ini"

if [[ -n $stamp ]]; then
  touch -d "@$stamp" "$stage"/*
fi

mkdir -p "$out"
zip_file=$out/korvex-$version.zip
rm -f "$zip_file"
files=(Korvex.dll korvex-host.exe README.md config.ini)
(cd "$stage" && TZ=UTC zip -q -X -9 "$zip_file" "${files[@]}")

# What went in: exactly the four files, each as staged.
python3 - "$zip_file" "$stage" "${files[@]}" <<'EOF'
import os, sys, zipfile
path, stage, *files = sys.argv[1:]
with zipfile.ZipFile(path) as z:
    names = z.namelist()
    if sorted(names) != sorted(files):
        sys.exit("dist: %s holds %s, not %s" % (path, names, files))
    for name in files:
        if z.read(name) != open(os.path.join(stage, name), "rb").read():
            sys.exit("dist: %s: %s differs from what was packed" % (path, name))
EOF

echo "dist: ${zip_file#"$root"/} (Korvex.dll and korvex-host.exe for 32-bit Windows, README.md, config.ini; $identification, version resource $numeric)"
