#!/usr/bin/env python3
"""scripts/check_kit.py against kits made up for it: a whole one, then one
fault at a time, each with the exact messages it must give."""
import os
import struct
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
import check_kit  # noqa: E402

IDENTIFICATION = "Wrenlo's Korvex Display Driver V1.09b"
VERSION = "1.0.9.2"


def pe(sections=(".text", ".rsrc"), symbols=0, extra=b""):
    """A PE file as far as the checker reads one: headers, section names and,
    with symbols, a symbol table and string table for long names."""
    at = 0x40
    header = bytearray(b"MZ" + b"\0" * 58 + struct.pack("<I", at))
    table = bytearray()
    strings = bytearray(b"\0\0\0\0")
    for name in sections:
        if len(name) > 8:
            field = ("/%d" % len(strings)).encode()
            strings += name.encode() + b"\0"
        else:
            field = name.encode()
        table += field.ljust(8, b"\0") + b"\0" * 32
    body_at = at + 24 + len(table)
    symbols_at = body_at if symbols or len(strings) > 4 else 0
    coff = struct.pack("<HHIIIHH", 0x14C, len(sections), 0, symbols_at, symbols, 0, 0)
    data = header + b"PE\0\0" + coff + table + b"\0" * (18 * symbols)
    if symbols_at:
        data += struct.pack("<I", len(strings)) + strings[4:]
    return bytes(data) + extra


def version_resource(description=IDENTIFICATION, version=VERSION):
    def string(key, value):
        return (key.encode("utf-16-le") + b"\0\0" + b"\0\0" + value.encode("utf-16-le") +
                b"\0\0")
    return (IDENTIFICATION.encode() + b"\0" + string("FileDescription", description) +
            string("FileVersion", version) + string("ProductVersion", version))


GUIDE = ("# Guide\r\n\r\n## What is in this kit\r\n\r\n- `README.txt`: this.\r\n"
         "- `Korvex.dll`: the driver.\r\n- `korvex-host.exe`: a tool.\r\n"
         "- `korvex-settings.exe`: the settings window.\r\n"
         "- `examples/hello.txt`: a script.\r\n\r\n## More\r\n\r\n"
         "See `examples\\hello.txt` and [the script](examples/hello.txt).\r\n")


def whole_kit():
    return {
        "README.txt": GUIDE.encode(),
        "Korvex.dll": pe(extra=version_resource()),
        "korvex-host.exe": pe(),
        "korvex-settings.exe": pe(),
        "examples/hello.txt": b"# run with korvex-host.exe, see README.txt\r\ninit\r\n",
    }


class CheckKitTest(unittest.TestCase):
    def problems(self, files):
        with tempfile.TemporaryDirectory() as folder:
            self.folder = folder
            path = os.path.join(folder, "kit.zip")
            with zipfile.ZipFile(path, "w") as kit:
                for name, data in files.items():
                    kit.writestr(name, data)
            return check_kit.check_kit(path, IDENTIFICATION, VERSION)

    def test_each_fault_gives_its_message(self):
        def with_guide(extra):
            return {"README.txt": (GUIDE + extra).encode()}

        cases = [
            ("whole", {}, []),
            ("a listed file missing", {"korvex-host.exe": None},
             ["README.txt lists korvex-host.exe, which is not in the kit",
              "README.txt: names korvex-host.exe, which is not in the kit",
              "examples/hello.txt: names korvex-host.exe, which is not in the kit"]),
            ("no settings window", {"korvex-settings.exe": None},
             ["README.txt lists korvex-settings.exe, which is not in the kit",
              "README.txt: names korvex-settings.exe, which is not in the kit",
              "{zip}: there is no korvex-settings.exe"]),
            ("a file not listed", {"notes.txt": b"x\r\n"},
             ["notes.txt is in the kit but not listed in README.txt"]),
            ("a link to no file", with_guide("[more](more.txt)\r\n"),
             ["README.txt: the link more.txt leads to no file of the kit",
              "README.txt: names more.txt, which is not in the kit"]),
            ("a link out of the kit", with_guide("<https://example.org/korvex>\r\n"),
             ["README.txt: the link https://example.org/korvex points outside the kit"]),
            ("a link to the repository", with_guide("[host](../tools/host/README.md)\r\n"),
             ["README.txt: the link ../tools/host/README.md leads to no file of the kit"]),
            ("the installer and its uninstaller named",
             with_guide("Run korvex-setup-VERSION.exe; uninstall.exe removes it.\r\n"), []),
            ("a file named that is not there",
             {"examples/hello.txt": b"see examples\\other.txt\r\n"},
             ["examples/hello.txt: names examples\\other.txt, which is not in the kit"]),
            ("a source file of the repository named",
             {"examples/hello.txt": b"planned by display/changes.cpp and changes.h\r\n"},
             ["examples/hello.txt: names display/changes.cpp, which is not in the kit",
              "examples/hello.txt: names changes.h, which is not in the kit"]),
            ("Unix line ends", {"examples/hello.txt": b"init\n"},
             ["examples/hello.txt: has line ends without a carriage return"]),
            ("a program not stripped",
             {"korvex-host.exe": pe(sections=(".text", ".debug_info"), symbols=3)},
             ["korvex-host.exe: is not stripped (3 symbols, .debug_info)"]),
            ("no program at all", {"korvex-host.exe": b"#!/bin/sh\n"},
             ["korvex-host.exe: is no Windows program or library"]),
            ("another version in the resource",
             {"Korvex.dll": pe(extra=version_resource(version="1.0.9.1"))},
             ["Korvex.dll: version resource FileVersion is '1.0.9.1', not '1.0.9.2'",
              "Korvex.dll: version resource ProductVersion is '1.0.9.1', not '1.0.9.2'"]),
            ("another description",
             {"Korvex.dll": pe(extra=version_resource(description="Korvex"))},
             ["Korvex.dll: version resource FileDescription is 'Korvex', not %r"
              % IDENTIFICATION]),
            ("no version resource", {"Korvex.dll": pe(extra=IDENTIFICATION.encode() + b"\0")},
             ["Korvex.dll: version resource %s is None, not %r" % (key, want)
              for key, want in (("FileDescription", IDENTIFICATION), ("FileVersion", VERSION),
                                ("ProductVersion", VERSION))]),
        ]
        for name, change, expected in cases:
            files = whole_kit()
            for member, data in change.items():
                if data is None:
                    del files[member]
                else:
                    files[member] = data
            with self.subTest(name):
                self.assertEqual([e.replace("{zip}", "kit.zip") for e in expected],
                                 [p.replace(self.folder + os.sep, "") for p in self.problems(files)])

    SCRIPT = ('File "${STAGE}\\Korvex.dll"\n'
              '  File "${STAGE}\\README.txt"\n'
              '  File "${STAGE}\\korvex-host.exe"\n'
              '  File "${STAGE}\\korvex-settings.exe"\n'
              '  File "${STAGE}\\examples\\*.txt"\n')

    def installer_problems(self, installer, script, files=None):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "kit.zip")
            with zipfile.ZipFile(path, "w") as kit:
                for name, data in (files or whole_kit()).items():
                    kit.writestr(name, data)
            exe = os.path.join(folder, "korvex-setup-1.09b.exe")
            nsi = os.path.join(folder, "installer.nsi")
            with open(exe, "wb") as f:
                f.write(installer)
            with open(nsi, "w", encoding="utf-8") as f:
                f.write(script)
            return [p.replace(folder + os.sep, "") for p in
                    check_kit.check_installer(exe, nsi, path)]

    def test_the_installer_installs_the_kit(self):
        nsis = pe(extra=b"\xef\xbe\xad\xdeNullsoftInst")
        amd64 = bytearray(nsis)
        amd64[0x44:0x46] = struct.pack("<H", 0x8664)
        cases = [
            ("whole", nsis, self.SCRIPT, []),
            ("not NSIS", pe(), self.SCRIPT,
             ["korvex-setup-1.09b.exe: holds no NSIS installer data"]),
            ("64-bit", bytes(amd64), self.SCRIPT,
             ["korvex-setup-1.09b.exe: is not a 32-bit Windows program"]),
            ("no program", b"MZ", self.SCRIPT, ["korvex-setup-1.09b.exe: is no Windows program"]),
            ("a kit file left out", nsis, self.SCRIPT.replace("korvex-settings.exe", "x.exe"),
             ["installer.nsi installs x.exe, which is not in the kit",
              "korvex-settings.exe is in the kit but installer.nsi does not install it"]),
            ("the examples left out", nsis, self.SCRIPT.replace("examples\\*.txt", "README.txt"),
             ["examples/hello.txt is in the kit but installer.nsi does not install it"]),
        ]
        for name, installer, script, expected in cases:
            with self.subTest(name):
                self.assertEqual(expected, self.installer_problems(installer, script))

    def test_the_command_exits_1_and_prints_the_problems(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "kit.zip")
            with zipfile.ZipFile(path, "w") as kit:
                kit.writestr("README.txt", GUIDE)
            self.assertEqual(1, check_kit.main(["check_kit.py", path, IDENTIFICATION, VERSION]))


if __name__ == "__main__":
    unittest.main()
