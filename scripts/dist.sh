#!/usr/bin/env bash
# make dist: build/dist/korvex-VERSION.zip, the kit a Windows user needs and
# nothing else: the 32-bit Korvex.dll, the user guide (README.txt), the
# sample config.ini, the settings window korvex-settings.exe and its picture,
# korvex-host.exe with its guide and example scripts, and korvex-board.exe
# with its guide and the picture of its window; and beside it
# build/dist/korvex-setup-VERSION.exe, the installer made by NSIS from the
# same files (kit/installer.nsi). Programs
# and library are stripped; text files get Windows line ends; the guides of
# the tools go without their "For developers" part, which speaks of this
# repository, and without an "On Linux" part, and their links to a picture
# lead to its copy in the kit.
#
# It builds nothing (`make dist` builds the DLLs and the Windows tools
# first). VERSION comes from the driver's identification text, "... V1.09b"
# giving 1.09b. The zip is then checked (scripts/check_kit.py): every file
# the guide lists is in it, no link or file name points outside it, and the
# DLL's version resource agrees with the identification text; or there is no
# zip and no installer.
#
# Environment: KORVEX_DIST_DIR, the output folder (default build/dist).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
win32=$root/build/win32
strip=${KORVEX_STRIP:-i686-w64-mingw32-strip}
out=${KORVEX_DIST_DIR:-$root/build/dist}

die() { printf 'dist: %s\n' "$*" >&2; exit 1; }

binaries=(Korvex.dll korvex-settings.exe korvex-host.exe korvex-board.exe)
for file in "${binaries[@]}"; do
  [[ -e $win32/$file ]] || die "$win32/$file is missing: run make dist (it builds it)"
done
command -v "$strip" >/dev/null || die "$strip not found (make deps installs binutils-mingw-w64-i686)"
command -v zip >/dev/null || die "zip not found (make deps installs it)"
command -v makensis >/dev/null || die "makensis not found (make deps installs nsis)"

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

# The same build makes the same zip: one time stamp for the files and for the
# stripped programs' headers (strip would write the current time there). Two
# builds of the same sources still differ in Korvex.dll, whose export table
# carries the time the linker made it.
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for file in "${binaries[@]}"; do
  if [[ -n $stamp ]]; then
    SOURCE_DATE_EPOCH=$stamp "$strip" -o "$stage/$file" "$win32/$file"
  else
    "$strip" -o "$stage/$file" "$win32/$file"
  fi
done

# The texts: source, name in the kit.
texts=(
  "kit/README.md" README.txt
  "kit/config.ini" config.ini
  "tools/host/README.md" korvex-host.txt
  "tools/board/README.md" korvex-board.txt
)
# Pictures the guides show: source, name in the kit.
pictures=(
  "docs/images/board-window.png" korvex-board-window.png
  "docs/images/settings-window.png" korvex-settings-window.png
)
for ((i = 0; i < ${#pictures[@]}; i += 2)); do
  cp "$root/${pictures[i]}" "$stage/${pictures[i + 1]}"
done
for example in "$root"/tools/host/examples/*.txt; do
  texts+=("tools/host/examples/${example##*/}" "examples/${example##*/}")
done
mkdir -p "$stage/examples"
python3 - "$root" "$stage" "${pictures[*]}" "${texts[@]}" <<'EOF'
import os, re, sys
root, stage, pictures, *pairs = sys.argv[1:]
pictures = pictures.split()
for source, name in zip(pairs[0::2], pairs[1::2]):
    text = open(os.path.join(root, source), encoding="utf-8").read()
    # A link to a picture, as written from the text's folder, becomes its name in the kit.
    for picture, kit_name in zip(pictures[0::2], pictures[1::2]):
        here = os.path.dirname(os.path.join(root, source))
        text = text.replace("(" + os.path.relpath(os.path.join(root, picture), here) + ")",
                            "(" + kit_name + ")")
    # Up to the developers' part, which speaks of the repository.
    cut = text.find("\n## For developers\n")
    if cut >= 0:
        text = text[:cut + 1]
    # Nor what only the Linux build does: the kit is for Windows.
    text = re.sub(r"\n## On Linux\n.*?(?=\n## |\Z)", "\n", text, flags=re.S)
    text = text.replace("\r\n", "\n").replace("\n", "\r\n")
    with open(os.path.join(stage, name), "w", encoding="utf-8", newline="") as f:
        f.write(text)
EOF

files=("${binaries[@]}")
for ((i = 1; i < ${#texts[@]}; i += 2)); do files+=("${texts[i]}"); done
for ((i = 1; i < ${#pictures[@]}; i += 2)); do files+=("${pictures[i]}"); done
if [[ -n $stamp ]]; then
  touch -d "@$stamp" "${files[@]/#/$stage/}"
fi

mkdir -p "$out"
zip_file=$out/korvex-$version.zip
rm -f "$zip_file"
(cd "$stage" && TZ=UTC zip -q -X -D -9 "$zip_file" "${files[@]}")

# What went in is what was staged, and the kit is whole.
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
# The installer, from the same staged files.
setup_file=$out/korvex-setup-$version.exe
rm -f "$setup_file"
if ! makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$setup_file" \
    "$root/kit/installer.nsi" >"$stage.nsis.log" 2>&1; then
  cat "$stage.nsis.log" >&2
  rm -f "$stage.nsis.log" "$zip_file" "$setup_file"
  die "makensis failed; no zip and no installer were left"
fi
rm -f "$stage.nsis.log"

if ! python3 "$root/scripts/check_kit.py" "$zip_file" "$identification" "$numeric" \
    "$setup_file" "$root/kit/installer.nsi"; then
  rm -f "$zip_file" "$setup_file"
  die "the kit failed its checks; no zip and no installer were left"
fi

echo "dist: ${zip_file#"$root"/}: ${#files[@]} files, $identification, version resource $numeric"
echo "dist: ${setup_file#"$root"/}: $(stat -c %s "$setup_file") bytes"
