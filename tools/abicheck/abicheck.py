#!/usr/bin/env python3
"""korvex-abicheck: the static check of the i686 Korvex.dll and the kit's programs.

The host binds the thirteen exports by undecorated name, so a wrong or extra
name or a wrong ordinal breaks it at run time. Windows refuses to load an
image that imports a function its DLLs do not export, or one whose subsystem
version is newer than itself: every import must be on the list of what
Windows XP SP3 has (xp-imports.txt beside this script), and the subsystem
version at most XP's. binutils' objdump reads the file; what is checked
against it is ours.

    abicheck.py [--objdump PROGRAM] [--program] [--imports LIST] FILE

--program checks a program of the kit (korvex-host.exe, korvex-board.exe):
the file, its subsystem version and its imports, no exports. One line per
check ("PASS ..." or "FAIL ..."), then a closing count. Exit status 0 when
every check passes, 1 when one fails, 2 when the check cannot run (no such
file, no objdump, no list).
"""
import argparse
import os
import re
import subprocess
import sys

# Name and ordinal of each export, as Korvex.def gives them.
EXPECTED_EXPORTS = [
    ("DLL_GetInfo", 1),
    ("LCD_CleanUp", 2),
    ("LCD_ConfigDialog", 3),
    ("LCD_Customize", 4),
    ("LCD_GetCGRAMChar", 5),
    ("LCD_Init", 6),
    ("LCD_IsReadyToReceive", 7),
    ("LCD_SendToController", 8),
    ("LCD_SendToGfxMemory", 9),
    ("LCD_SendToMemory", 10),
    ("LCD_SetCGRAMChar", 11),
    ("LCD_SetIOPropertys", 12),
    ("LCD_SetOutputAddress", 13),
]
LIBRARY_NAME = "Korvex.dll"
FILE_FORMAT = "pei-i386"
IMPORT_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "xp-imports.txt")
# The subsystem versions Windows XP loads: 3.10, the lowest a linker writes,
# to 5.1, XP's own.
SUBSYSTEM_RANGE = ((3, 10), (5, 1))


class Report:
    def __init__(self):
        self.checks = 0
        self.failed = 0

    def line(self, passed, what, detail):
        self.checks += 1
        self.failed += 0 if passed else 1
        print(f"{'PASS' if passed else 'FAIL'} {what}: {detail}")


def read_import_list(path):
    """{dll (lower case): set of function names} from the list file."""
    allowed = {}
    names = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                names = allowed.setdefault(line[1:-1].lower(), set())
            elif names is not None:
                names.add(line)
    return allowed


def parse(text):
    """The file format, subsystem version, export table and imports of objdump -p.

    Imports are (DLL, [function names]); a function imported by ordinal has
    the name None."""
    found = {"format": None, "library": None, "base": 1, "exports": [], "imports": [],
             "subsystem": [None, None]}
    in_names = False
    for line in text.splitlines():
        if m := re.search(r"file format (\S+)$", line):
            found["format"] = m.group(1)
        elif m := re.match(r"(Major|Minor)SubsystemVersion\s+(\d+)$", line):
            found["subsystem"][0 if m.group(1) == "Major" else 1] = int(m.group(2))
        elif m := re.match(r"Name\s+[0-9a-fA-F]+ (.*)$", line):
            found["library"] = m.group(1)
        elif m := re.match(r"Ordinal Base\s+(\d+)$", line):
            found["base"] = int(m.group(1))
        elif m := re.match(r"\s*DLL Name: (.*)$", line):
            found["imports"].append((m.group(1), []))
        elif found["imports"] and (m := re.match(r"\t[0-9a-fA-F]+\t\s*\d+\s+(\S+)", line)):
            # "<hint-name address> <hint> <name>"; "<none>" for an ordinal.
            name = m.group(1)
            found["imports"][-1][1].append(None if name == "<none>" else name)
        elif line.startswith("[Ordinal/Name Pointer] Table"):
            in_names = True
        elif in_names:
            # "[  11] NAME": the index into the address table, ordinal less
            # the base; newer binutils add "+base[  12]", the ordinal itself.
            m = re.match(r"\s*\[\s*(\d+)\](?:\s*\+base\[\s*(\d+)\])?\s+(\S+)$", line)
            if not m:
                in_names = False
                continue
            index, ordinal, name = m.groups()
            found["exports"].append((name, int(ordinal) if ordinal else int(index) + found["base"]))
    return found


def import_verdict(dll, allowed):
    """Empty when Windows XP itself provides the DLL; otherwise why it may not be imported."""
    n = dll.lower()
    if n in allowed:
        return ""
    if n.startswith("api-ms-win-crt-") and n.endswith(".dll"):
        return "the Universal CRT, which Windows XP does not have"
    if n.startswith(("libgcc_s", "libstdc++", "libwinpthread")):
        return "compiler runtime DLL, must be linked in statically"
    return "not a system DLL of Windows XP"


def check_image(image, allowed, report):
    """What every image of the kit must pass: its subsystem version and imports."""
    major, minor = image["subsystem"]
    low, high = SUBSYSTEM_RANGE
    if major is None or minor is None:
        report.line(False, "subsystem version", "not found")
    else:
        report.line(low <= (major, minor) <= high, "subsystem version",
                    f"{major}.{minor}" + ("" if low <= (major, minor) <= high
                                          else f", Windows XP loads {low[0]}.{low[1]} to "
                                               f"{high[0]}.{high[1]}"))
    if not image["imports"]:
        report.line(True, "imports", "none")
    for dll, functions in image["imports"]:
        verdict = import_verdict(dll, allowed)
        if verdict:
            report.line(False, f"import {dll}", verdict)
            continue
        names = allowed[dll.lower()]
        missing = [f for f in functions if f not in names]
        for function in missing:
            report.line(False, f"import {dll} {function or '(by ordinal)'}",
                        "imported by ordinal" if function is None
                        else f"not on the Windows XP SP3 list ({os.path.basename(IMPORT_LIST)})")
        if not missing:
            report.line(True, f"import {dll}", "system DLL, every function on the Windows XP SP3 list")


def check(image, report):
    report.line(image["library"] == LIBRARY_NAME, "library name",
                "no export directory" if image["library"] is None
                else image["library"] if image["library"] == LIBRARY_NAME
                else f"{image['library']}, expected {LIBRARY_NAME}")
    exported = dict(image["exports"])
    for name, ordinal in EXPECTED_EXPORTS:
        got = exported.get(name)
        report.line(got == ordinal, f"export {name}",
                    "missing" if got is None else f"ordinal {got}" if got == ordinal
                    else f"ordinal {got}, expected {ordinal}")
    expected_names = {name for name, _ in EXPECTED_EXPORTS}
    others = [(name, ordinal) for name, ordinal in image["exports"] if name not in expected_names]
    for name, ordinal in others:
        decorated = "@" in name or name.startswith(("_", "?"))
        report.line(False, f"export {name}",
                    f"unexpected (ordinal {ordinal})" + (", a decorated name" if decorated else ""))
    if not others:
        report.line(True, "exports", "no others")


def main():
    parser = argparse.ArgumentParser(
        description="Checks the exports, imports and subsystem version of the i686 Korvex.dll "
                    "and the kit's programs.")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--program", action="store_true",
                        help="a program of the kit: no exports are checked")
    parser.add_argument("--imports", default=IMPORT_LIST,
                        help="the list of the functions Windows XP SP3 has")
    parser.add_argument("dll")
    args = parser.parse_args()

    report = Report()

    def close(status):
        print(f"korvex-abicheck: {args.dll}: {report.checks} checks, {report.failed} failed")
        return status

    if not os.path.isfile(args.dll):
        report.line(False, "file", "not found")
        return close(2)
    try:
        allowed = read_import_list(args.imports)
    except OSError as e:
        report.line(False, "import list", f"{args.imports}: {e.strerror}")
        return close(2)
    try:
        run = subprocess.run([args.objdump, "-p", args.dll], capture_output=True, text=True)
    except OSError as e:
        report.line(False, "objdump", f"{args.objdump}: {e.strerror}: install binutils-mingw-w64-i686")
        return close(2)
    image = parse(run.stdout)
    if run.returncode != 0 or image["format"] != FILE_FORMAT:
        # The i686 objdump recognises no other kind of file: a 64-bit DLL,
        # a cut one or one that is no PE file at all ends here.
        why = run.stderr.strip().split(": ")[-1] or f"file format {image['format']}"
        report.line(False, "file", f"{why}, expected a {FILE_FORMAT} image")
        return close(1)
    report.line(True, "file", FILE_FORMAT)
    if not args.program:
        check(image, report)
    check_image(image, allowed, report)
    return close(0 if report.failed == 0 else 1)


if __name__ == "__main__":
    sys.exit(main())
