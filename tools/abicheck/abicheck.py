#!/usr/bin/env python3
"""korvex-abicheck: the static check of the i686 Korvex.dll.

The host binds the thirteen exports by undecorated name, so a wrong or extra
name or a wrong ordinal breaks it at run time; an import of a compiler-runtime
DLL breaks the load on a machine without that DLL. binutils' objdump reads the
file; what is checked against it is ours.

    abicheck.py [--objdump PROGRAM] Korvex.dll

One line per check ("PASS ..." or "FAIL ..."), then a closing count. Exit
status 0 when every check passes, 1 when one fails, 2 when the check cannot
run (no such file, no objdump).
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


class Report:
    def __init__(self):
        self.checks = 0
        self.failed = 0

    def line(self, passed, what, detail):
        self.checks += 1
        self.failed += 0 if passed else 1
        print(f"{'PASS' if passed else 'FAIL'} {what}: {detail}")


def parse(text):
    """The file format, the export table and the imported DLLs of objdump -p."""
    found = {"format": None, "library": None, "base": 1, "exports": [], "imports": []}
    in_names = False
    for line in text.splitlines():
        if m := re.search(r"file format (\S+)$", line):
            found["format"] = m.group(1)
        elif m := re.match(r"Name\s+[0-9a-fA-F]+ (.*)$", line):
            found["library"] = m.group(1)
        elif m := re.match(r"Ordinal Base\s+(\d+)$", line):
            found["base"] = int(m.group(1))
        elif m := re.match(r"\s*DLL Name: (.*)$", line):
            found["imports"].append(m.group(1))
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


def import_verdict(dll):
    """Empty when Windows itself provides the DLL; otherwise why it may not be imported."""
    n = dll.lower()
    if n in ("kernel32.dll", "user32.dll", "msvcrt.dll"):
        return ""
    if n.startswith("api-ms-win-crt-") and n.endswith(".dll"):
        return ""
    if n.startswith(("libgcc_s", "libstdc++", "libwinpthread")):
        return "compiler runtime DLL, must be linked in statically"
    return "not a system DLL"


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
    if not image["imports"]:
        report.line(True, "imports", "none")
    for dll in image["imports"]:
        verdict = import_verdict(dll)
        report.line(not verdict, f"import {dll}", verdict or "system DLL")


def main():
    parser = argparse.ArgumentParser(description="Checks the exports and imports of the i686 Korvex.dll.")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
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
    check(image, report)
    return close(0 if report.failed == 0 else 1)


if __name__ == "__main__":
    sys.exit(main())
