#!/usr/bin/env python3
"""Checks the user's kit, the zip that make dist builds, as a user would meet it.

    check_kit.py ZIP IDENTIFICATION VERSION [INSTALLER SCRIPT]

- Every file the guide (README.txt) lists under "What is in this kit" is in the zip,
  and every file in the zip is listed.
- No link in any text file points outside the zip, and every file a text names
  (a word ending in .txt, .md, .exe, .dll or .ini, or a source file of the
  repository's: .cpp, .h, .cmake, .py, .sh) is in it, but for the installer
  (korvex-setup-VERSION.exe) and the uninstaller it writes (uninstall.exe).
- Text files have Windows line ends, so that every Notepad shows their lines.
- The programs and the library are stripped: no symbol table, no debug sections.
- Korvex.dll holds the identification text that DLL_GetInfo returns, and its version
  resource says the same: FileDescription is that text, FileVersion and
  ProductVersion are VERSION (1.0.9.2 for V1.09b).
- The settings window, korvex-settings.exe, is in the zip.
- With INSTALLER and SCRIPT (korvex-setup-VERSION.exe and kit/installer.nsi): the
  installer is a 32-bit Windows program made by NSIS, and the script installs every
  file of the zip and nothing that is not in it.

Prints one line per problem and exits 1 when there is any.
"""
import fnmatch
import posixpath
import re
import struct
import sys
import zipfile

GUIDE = "README.txt"
LIST_HEADING = "## What is in this kit"
TEXT_ENDINGS = (".txt", ".md", ".ini")
# Files the guide may name that are not in the zip: the installer, which comes
# beside it, and the uninstaller that the installer writes.
INSTALLER_FILES = ("korvex-setup-version.exe", "uninstall.exe")
BINARY_ENDINGS = (".exe", ".dll")

# Links in Markdown and plain text.
INLINE_LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?[^)]*\)")
REFERENCE_LINK = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)", re.MULTILINE)
AUTOLINK = re.compile(r"<([A-Za-z][A-Za-z0-9+.-]*:[^>\s]*)>")
BARE_URL = re.compile(r"\b(?:(?:https?|ftp|file)://|mailto:|www\.)[^\s<>()]+", re.IGNORECASE)
# A file named in running text: letters, digits, - _ . in parts joined by / or \.
FILE_MENTION = re.compile(
    r"(?<![\w./\\:-])((?:[\w-]+[/\\])*[\w-]+(?:\.[\w-]+)*\.(?:txt|md|exe|dll|ini|cpp|h|cmake|py|sh))"
    r"(?![\w.])",
    re.IGNORECASE)


def listed_files(guide):
    """The names the guide lists: '- `NAME`' lines of its list section."""
    names, inside = [], False
    for line in guide.splitlines():
        if line.startswith("## "):
            inside = line.strip() == LIST_HEADING
            continue
        match = re.match(r"- `([^`]+)`", line) if inside else None
        if match:
            names.append(match.group(1).replace("\\", "/"))
    return names


def outside(target):
    return bool(re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", target)) or target.startswith(("/", "\\"))


def check_text(name, text, members):
    """Problems with the links and file names in one text file of the kit."""
    problems = []
    here = posixpath.dirname(name)

    def present(path):
        path = path.replace("\\", "/")
        candidates = {posixpath.normpath(posixpath.join(here, path)), posixpath.normpath(path)}
        return any(c.lower() in members for c in candidates)

    links = (INLINE_LINK.findall(text) + REFERENCE_LINK.findall(text) + AUTOLINK.findall(text)
             + BARE_URL.findall(text))
    for target in dict.fromkeys(links):  # each once, in order
        if outside(target):
            problems.append("%s: the link %s points outside the kit" % (name, target))
        elif not present(target.split("#")[0]):
            problems.append("%s: the link %s leads to no file of the kit" % (name, target))
    for mention in FILE_MENTION.findall(text):
        if mention.lower() in INSTALLER_FILES:
            continue
        if not present(mention):
            problems.append("%s: names %s, which is not in the kit" % (name, mention))
    if re.search(r"(?<!\r)\n", text):
        problems.append("%s: has line ends without a carriage return" % name)
    return problems


def pe_sections(data):
    """The section names and symbol-table fields of a PE file, or None. Long
    names ("/N") are looked up in the string table after the symbols; with no
    symbol table they stay as they are."""
    if data[:2] != b"MZ" or len(data) < 64:
        return None
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        return None
    count, _, symbols_at, symbols = struct.unpack_from("<HIII", data, at + 6)
    optional = struct.unpack_from("<H", data, at + 20)[0]
    table = at + 24 + optional
    strings = symbols_at + 18 * symbols
    names = []
    for i in range(count):
        name = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode("latin-1")
        if name.startswith("/") and name[1:].isdigit() and symbols_at:
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode("latin-1")
        names.append(name)
    return names, symbols_at, symbols


def check_stripped(name, data):
    pe = pe_sections(data)
    if pe is None:
        return ["%s: is no Windows program or library" % name]
    names, symbols_at, symbols = pe
    debug = [n for n in names if n.startswith(".debug")]
    if symbols or debug:
        return ["%s: is not stripped (%d symbols%s)" % (
            name, symbols, "".join(", " + n for n in debug))]
    return []


def resource_string(data, key):
    """A version-resource String: the key in UTF-16, zero padding, the value."""
    start = data.find(key.encode("utf-16-le") + b"\0\0")
    if start < 0:
        return None
    start += len(key) * 2 + 2
    while data[start:start + 2] == b"\0\0":
        start += 2
    end = start
    while end < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return data[start:end].decode("utf-16-le", "replace")


def check_version(name, data, identification, version):
    problems = []
    if identification.encode("latin-1") + b"\0" not in data:
        problems.append("%s: lacks the identification text %r" % (name, identification))
    for key, want in (("FileDescription", identification), ("FileVersion", version),
                      ("ProductVersion", version)):
        got = resource_string(data, key)
        if got != want:
            problems.append("%s: version resource %s is %r, not %r" % (name, key, got, want))
    return problems


def check_kit(path, identification, version):
    problems = []
    with zipfile.ZipFile(path) as kit:
        files = [n for n in kit.namelist() if not n.endswith("/")]
        members = {n.lower() for n in files}
        if GUIDE.lower() not in members:
            return ["%s: there is no %s" % (path, GUIDE)]
        listed = listed_files(kit.read(GUIDE).decode("utf-8", "replace"))
        for name in listed:
            if name.lower() not in members:
                problems.append("%s lists %s, which is not in the kit" % (GUIDE, name))
        for name in files:
            if name.lower() not in {n.lower() for n in listed}:
                problems.append("%s is in the kit but not listed in %s" % (name, GUIDE))
        for name in sorted(files):
            data = kit.read(name)
            if name.lower().endswith(TEXT_ENDINGS):
                problems += check_text(name, data.decode("utf-8", "replace"), members)
            elif name.lower().endswith(BINARY_ENDINGS):
                problems += check_stripped(name, data)
            if name.lower() == "korvex.dll":
                problems += check_version(name, data, identification, version)
        for required in ("Korvex.dll", "korvex-settings.exe"):
            if required.lower() not in members:
                problems.append("%s: there is no %s" % (path, required))
    return problems


# The files an NSIS script takes from the stage: File "${STAGE}\NAME".
SCRIPT_FILE = re.compile(r'^\s*File\s+"\$\{STAGE\}[\\/]([^"]+)"', re.MULTILINE)


def check_installer(path, script_path, zip_path):
    problems = []
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ" or len(data) < 64:
        return ["%s: is no Windows program" % path]
    at = struct.unpack_from("<I", data, 0x3C)[0]
    machine = struct.unpack_from("<H", data, at + 4)[0] if data[at:at + 4] == b"PE\0\0" else None
    if machine != 0x014C:
        problems.append("%s: is not a 32-bit Windows program" % path)
    if b"NullsoftInst" not in data:
        problems.append("%s: holds no NSIS installer data" % path)
    with open(script_path, encoding="utf-8") as f:
        script = f.read()
    patterns = [p.replace("\\", "/") for p in SCRIPT_FILE.findall(script)]
    with zipfile.ZipFile(zip_path) as kit:
        files = [n for n in kit.namelist() if not n.endswith("/")]
    for pattern in patterns:
        if not any(fnmatch.fnmatch(n.lower(), pattern.lower()) for n in files):
            problems.append("%s installs %s, which is not in the kit" % (script_path, pattern))
    for name in files:
        if not any(fnmatch.fnmatch(name.lower(), p.lower()) for p in patterns):
            problems.append("%s is in the kit but %s does not install it" % (name, script_path))
    return problems


def main(argv):
    if len(argv) not in (4, 6):
        sys.exit("usage: check_kit.py ZIP IDENTIFICATION VERSION [INSTALLER SCRIPT]")
    problems = check_kit(argv[1], argv[2], argv[3])
    if len(argv) == 6:
        problems += check_installer(argv[4], argv[5], argv[1])
    for problem in problems:
        print("dist: %s" % problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
