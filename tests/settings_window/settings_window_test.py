#!/usr/bin/env python3
"""The settings window and the installer under Wine, on a virtual X display of
the test's own (Xvfb).

    settings_window_test.py window|installer CONFIG.json

window: korvex-settings.exe (64-bit build) on a host folder whose config.ini
has foreign content and a value the driver replaces. The test types into the
window as a person would (xdotool: mnemonics, arrow keys, Enter, Escape), checks the
config.ini it saved byte for byte, tries the board on a COM port that is a pty
of korvex-board and compares the bytes the window reports with those the board
received, tries a port that does not exist (the driver's message box, taken as
text) and one that another program holds, and leaves a picture of the window in the work folder.

installer: kit/installer.nsi made with makensis from the build's files (the
64-bit variant under 64-bit Wine; the kit's 32-bit one where Wine runs 32-bit
programs too), run silently into a host folder that has a config.ini of the
user's, then into an empty one; the uninstaller run silently: it removes what
the installer put there and leaves config.ini and debug.log.

Exits 77 (skipped) when Wine, Xvfb, xdotool or makensis is missing, except
under CI=true, where that fails. Every wait polls with a generous bound.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

SKIP = 77


class Failure(Exception):
    pass


def skip_or_fail(reason):
    if os.environ.get("CI") == "true":
        print("FAIL: " + reason)
        sys.exit(1)
    print("SKIP: " + reason)
    sys.exit(SKIP)


def check(condition, message):
    if not condition:
        raise Failure(message)


def eventually(predicate, seconds=60.0, step=0.2):
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Session:
    def __init__(self, config, name):
        self.c = config
        self.work = os.path.join(config["work"], name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.processes = []
        self.links = []
        # No menu entries or icons on this machine's desktop for the Start menu's
        # shortcuts: Wine's menu builder is off, and what Wine still makes of the
        # desktop's folders lands in the work folder.
        self.env = dict(os.environ, WINEPREFIX=config["prefix"], WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winemenubuilder.exe=d",
                        XDG_DATA_HOME=os.path.join(self.work, "xdg-data"),
                        XDG_CONFIG_HOME=os.path.join(self.work, "xdg-config"))
        self.env.pop("WAYLAND_DISPLAY", None)

    def start(self, argv, out_name, env=None):
        out = open(os.path.join(self.work, out_name), "wb")
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=env or self.env,
                             cwd=self.work, start_new_session=True)
        out.close()
        self.processes.append(p)
        return p

    def display(self):
        """A virtual X display of this test's own."""
        read_end, write_end = os.pipe()
        p = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                              "-nolisten", "tcp"], pass_fds=(write_end,),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        os.close(write_end)
        self.processes.append(p)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        check(number.strip().isdigit(), "Xvfb gave no display number")
        self.env["DISPLAY"] = ":" + number.strip().decode()

    def xdotool(self, *args):
        run = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                             timeout=60)
        return run.stdout.strip()

    def wine(self, argv, timeout=300):
        return subprocess.run([self.c["wine"], *argv], env=self.env, cwd=self.work,
                              capture_output=True, timeout=timeout)

    def close(self):
        for link in self.links:
            try:
                os.unlink(link)
            except OSError:
                pass
        for p in reversed(self.processes):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except OSError:
                    pass
                try:
                    p.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()


# ---- the window

HOST_INI = (b"; my settings\r\n"
            b"[Other]\r\n"
            b"A=1\r\n"
            b"[Korvex]\r\n"
            b"; the speed of my board\r\n"
            b"BaudRate=9600\r\n"
            b"TextBufferSize=300\r\n"
            b"Mine=yes\r\n")

# What Save writes (the driver's SaveSettings through Windows' profile
# functions): keys in place or added at the end of the section in the driver's
# order, the comment lines and foreign keys kept, GfxChangesOnly because it was
# set, TextBufferSize as the driver reads 300, BaudRate as it reads 0x4B00.
SAVED_INI = (b"; my settings\r\n"
             b"[Other]\r\n"
             b"A=1\r\n"
             b"[Korvex]\r\n"
             b"; the speed of my board\r\n"
             b"BaudRate=19200\r\n"
             b"TextBufferSize=16\r\n"
             b"Mine=yes\r\n"
             b"GfxBufferSize=4096\r\n"
             b"GfxForceFlush=1\r\n"
             b"GfxChangesOnly=1\r\n"
             b"LCD_FontPitch=6\r\n"
             b"LCD_UseOutPorts=0\r\n"
             b"LCD_Controller=6963\r\n"
             b"LogFile=0\r\n")

PORT = "COM21"


def window_test(c):
    s = Session(c, "window")
    # The host where a host usually is (Program Files, writable under Wine):
    # the picture for the guide shows that folder.
    host = os.path.join(c["prefix"], "drive_c", "Program Files", "Pylora")
    host_windows = "C:\\Program Files\\Pylora"
    try:
        shutil.rmtree(host, ignore_errors=True)
        os.makedirs(host)
        shutil.copy(os.path.join(c["win64"], "Korvex.dll"), host)
        with open(os.path.join(host, "config.ini"), "wb") as f:
            f.write(HOST_INI)

        # The board on a pty, as COM21 of the prefix.
        pty = os.path.join(s.work, "board.pty")
        board = s.start([c["board"], "--link", pty, "--capture", os.path.join(s.work, "board.bin"),
                         "--log", os.path.join(s.work, "board.log")], "board.out")
        check(eventually(lambda: os.path.islink(pty), 30), "korvex-board made no pty")
        com = os.path.join(c["prefix"], "dosdevices", PORT.lower())
        if os.path.lexists(com):
            os.unlink(com)
        os.symlink(pty, com)
        s.links.append(com)

        s.display()
        report = os.path.join(s.work, "report.txt")
        window_process = s.start([c["wine"], os.path.join(c["win64"], "korvex-settings.exe"), "--report",
                 windows_path(report), host_windows], "window.out")
        window = eventually(lambda: s.xdotool("search", "--onlyvisible", "--name",
                                              "^Korvex settings$"), 120)
        check(window, "the settings window did not appear: %s" %
              read(os.path.join(s.work, "window.out")))
        window = window.split()[0]
        s.xdotool("windowfocus", "--sync", window)

        def keys(*names):
            s.xdotool("key", "--clearmodifiers", "--delay", "100", *names)

        def typed(text):
            s.xdotool("type", "--delay", "60", text)

        def reports():
            # Without a port in Wine's SERIALCOMM map (another suite deletes
            # it) the window says so when it starts; that is no answer to a
            # key the test pressed.
            return [r for r in read(report).decode("latin-1").split("\r\n----\r\n")[:-1]
                    if not r.startswith("Windows lists no serial port")]

        # A mnemonic selects the whole field: what is typed replaces it.
        keys("alt+b")
        typed("0x4B00")
        keys("alt+g")
        typed("4096")
        keys("alt+o", "Down", "alt+x", "Down")
        # Enter presses the default button, Save.
        keys("Return")
        check(eventually(lambda: len(reports()) >= 1, 60), "Save reported nothing")
        saved = read(os.path.join(host, "config.ini"))
        check(saved == SAVED_INI, "config.ini after Save:\n%r\nnot\n%r" % (saved, SAVED_INI))
        check(reports()[0].startswith("Saved C:\\Program Files\\Pylora\\config.ini."), reports()[0])
        # What the field says after the save: the value the driver reads.
        check("BaudRate 19200" not in reports()[0], reports()[0])

        # The picture for the guide: the window after the save.
        geometry = s.xdotool("getwindowgeometry", "--shell", window)
        shot = os.path.join(s.work, "window.xwd")
        subprocess.run(["xwd", "-root", "-out", shot], env=s.env, check=True, timeout=60)
        g = dict(line.split("=") for line in geometry.splitlines() if "=" in line)
        subprocess.run([sys.executable, os.path.join(c["source"], "tests", "settings_window",
                                                     "xwd_png.py"),
                        shot, os.path.join(s.work, "settings-window.png"), g["X"], g["Y"],
                        g["WIDTH"], g["HEIGHT"]], check=True, timeout=120)
        check(int(g["WIDTH"]) <= 800 and int(g["HEIGHT"]) <= 570,
              "the window is %sx%s: it does not fit 800 x 600" % (g["WIDTH"], g["HEIGHT"]))

        # Try the board on the pty: the settings on screen, the file untouched.
        # The port's field is a list with a field to type in: its text is selected by hand.
        keys("alt+r", "End", "shift+Home")
        typed(PORT)
        keys("alt+y")
        check(eventually(lambda: len(reports()) >= 3, 180), "Try the board reported nothing")
        check(reports()[1] == "Trying the board on COM21...", reports()[1])
        tried = reports()[2]
        sent = [w for w in tried.split("\r\n") if w.startswith("Sent ")]
        check(sent, "no bytes reported:\n" + tried)
        count = int(sent[0].split()[1])
        capture = os.path.join(s.work, "board.bin")

        def received():
            data = read(capture)
            return len(data) - (data.index(b"\n") + 1) if b"\n" in data else 0

        check(eventually(lambda: received() >= count, 60) and received() == count,
              "the window reports %d bytes, the board received %d" % (count, received()))
        check(" to COM21 in " in sent[0] and "at 19200 baud" in sent[0], sent[0])
        check("    LCD_Init() porth=open" in tried, "no trace line of the open port:\n" + tried)
        check(read(os.path.join(host, "config.ini")) == SAVED_INI,
              "Try the board changed the host's config.ini")
        check(not os.path.exists(os.path.join(host, "debug.log")),
              "Try the board wrote a debug.log into the host's folder")
        board_log = read(os.path.join(s.work, "board.log"), "r")
        check("SetBitmap" in board_log and "SetCGRAMChar" in board_log,
              "the board saw no graphics or custom characters:\n" + board_log[:2000])

        # A port that does not exist: the driver's message, in the report.
        keys("alt+r", "End", "shift+Home")
        typed("COM29")
        keys("alt+y")
        check(eventually(lambda: len(reports()) >= 5, 180), "the second try reported nothing")
        missing = reports()[4]
        check("CreateFile() for COM29 , Baudrate 19200 failed ! Error 2 " in missing, missing)
        check("There is no port COM29" in missing, missing)

        # A port another program holds (a file held without sharing, as the
        # driver holds a port: Wine keeps those rules for files, not devices).
        held_file = os.path.join(s.work, "com22.file")
        open(held_file, "wb").close()
        held_link = os.path.join(c["prefix"], "dosdevices", "com22")
        if os.path.lexists(held_link):
            os.unlink(held_link)
        os.symlink(held_file, held_link)
        s.links.append(held_link)
        holder = s.start([c["wine"], os.path.join(c["win64"], "korvex-platform-probe.exe"), "hold",
                          "COM22", "120000"], "hold.out")
        check(eventually(lambda: b"held" in read(os.path.join(s.work, "hold.out")), 120),
              "the port was not held: %r" % read(os.path.join(s.work, "hold.out")))
        keys("alt+r", "End", "shift+Home")
        typed("COM22")
        keys("alt+y")
        check(eventually(lambda: len(reports()) >= 7, 180), "the third try reported nothing")
        held = reports()[6]
        check("CreateFile() for COM22 , Baudrate 19200 failed ! Error " in held, held)
        check("Another program holds COM22: close the host application" in held, held)
        check("Sent " not in held, held)
        os.killpg(holder.pid, signal.SIGTERM)

        # Escape closes the window.
        keys("Escape")
        check(eventually(lambda: window_process.poll() is not None, 60),
              "Escape did not close the window")
        print("window: saved, tried (%d bytes), picture %s" %
              (count, os.path.join(s.work, "settings-window.png")))
    finally:
        s.close()
        shutil.rmtree(host, ignore_errors=True)


# ---- the installer

def installer_test(c):
    s = Session(c, "installer")
    try:
        win64 = c["wine_bits"] == 64
        source = c["win64"] if win64 else c["win32"]
        stage = os.path.join(s.work, "stage")
        os.makedirs(os.path.join(stage, "examples"))
        for name in ("Korvex.dll", "korvex-settings.exe", "korvex-host.exe", "korvex-board.exe"):
            check(os.path.exists(os.path.join(source, name)),
                  "%s is not built (make dll builds it)" % os.path.join(source, name))
            shutil.copy(os.path.join(source, name), stage)
        root = c["source"]
        for src, name in (("kit/README.md", "README.txt"), ("kit/config.ini", "config.ini"),
                          ("tools/host/README.md", "korvex-host.txt"),
                          ("tools/board/README.md", "korvex-board.txt"),
                          ("docs/images/board-window.png", "korvex-board-window.png"),
                          ("docs/images/settings-window.png", "korvex-settings-window.png")):
            shutil.copy(os.path.join(root, src), os.path.join(stage, name))
        examples = sorted(os.listdir(os.path.join(root, "tools/host/examples")))
        for name in examples:
            shutil.copy(os.path.join(root, "tools/host/examples", name),
                        os.path.join(stage, "examples"))
        setup = os.path.join(s.work, "korvex-setup-test.exe")
        args = [c["makensis"], "-V2", "-DVERSION=0.0test", "-DSTAGE=" + stage,
                "-DOUTFILE=" + setup]
        if win64:
            args.append("-DWIN64")
        made = subprocess.run(args + [os.path.join(root, "kit", "installer.nsi")],
                              capture_output=True, text=True, timeout=300)
        check(made.returncode == 0, "makensis failed:\n" + made.stdout + made.stderr)

        tools = ["korvex-settings.exe", "korvex-host.exe", "korvex-board.exe", "README.txt",
                 "korvex-host.txt", "korvex-board.txt", "korvex-board-window.png",
                 "korvex-settings-window.png", "uninstall.exe"]
        user_ini = b"[Korvex]\r\nBaudRate=9600\r\n"
        recommended = read(os.path.join(root, "kit", "config.ini"))

        for case in ("user settings", "empty folder", "drivers folder"):
            host = os.path.join(s.work, case.replace(" ", "-"), "Host App")
            os.makedirs(host)
            drivers = os.path.join(host, "Displays") if case == "drivers folder" else host
            if case == "user settings":
                with open(os.path.join(host, "config.ini"), "wb") as f:
                    f.write(user_ini)
            # As typed at a prompt: /D= takes the rest of the line, spaces and all. Wine
            # joins the arguments with spaces and quotes one that has any, so a
            # path with spaces goes in pieces.
            argv = [setup, "/S"]
            if case == "drivers folder":
                argv += ("/DRIVERS=" + windows_path(drivers)).split(" ")
            argv += ("/D=" + windows_path(host)).split(" ")
            run = s.wine(argv)
            check(run.returncode == 0, "%s: the installer ended with %d: %r" %
                  (case, run.returncode, run.stdout + run.stderr))
            # The installer returns once its child has finished: the files are there.
            check(read(os.path.join(drivers, "Korvex.dll")) ==
                  read(os.path.join(stage, "Korvex.dll")), case + ": Korvex.dll not installed")
            want_ini = user_ini if case == "user settings" else recommended
            check(read(os.path.join(host, "config.ini")) == want_ini,
                  case + ": config.ini is %r" % read(os.path.join(host, "config.ini")))
            tools_dir = os.path.join(host, "Korvex")
            for name in tools:
                check(os.path.exists(os.path.join(tools_dir, name)), case + ": no " + name)
            check(sorted(os.listdir(os.path.join(tools_dir, "examples"))) == examples,
                  case + ": examples")
            query = s.wine(["reg", "query",
                            "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvex",
                            "/v", "UninstallString"], 120)
            if query.returncode != 0:
                query = s.wine(["reg", "query", "HKCU\\Software\\Microsoft\\Windows\\"
                                "CurrentVersion\\Uninstall\\Korvex", "/v", "UninstallString"], 120)
            check(b"uninstall.exe" in query.stdout,
                  case + ": no entry in Add/Remove Programs: %r" % query.stdout)
            menu = [os.path.join(c["prefix"], "drive_c", d, "Microsoft", "Windows", "Start Menu",
                                 "Programs", "Korvex")
                    for d in ("ProgramData", os.path.join("users", os.environ.get("USER", "root"),
                                                          "AppData", "Roaming"))]
            entries = sorted(sum((os.listdir(m) for m in menu if os.path.isdir(m)), []))
            check(entries == ["Korvex guide.lnk", "Korvex settings.lnk", "Uninstall Korvex.lnk"],
                  case + ": Start menu entries %r" % entries)

            # The driver's files of a run, which the uninstaller must leave.
            with open(os.path.join(host, "debug.log"), "wb") as f:
                f.write(b"\r\nLCD_Init() porth=open\r\n")
            with open(os.path.join(tools_dir, "notes.txt"), "wb") as f:
                f.write(b"mine\r\n")
            with open(os.path.join(tools_dir, "examples", "mine.txt"), "wb") as f:
                f.write(b"init\r\n")
            # _?= runs the uninstaller in place, waiting for it.
            run = s.wine([os.path.join(tools_dir, "uninstall.exe"), "/S",
                          "_?=" + windows_path(tools_dir)])
            check(run.returncode == 0, case + ": the uninstaller ended with %d" % run.returncode)
            check(not os.path.exists(os.path.join(drivers, "Korvex.dll")),
                  case + ": Korvex.dll left")
            left = sorted(os.listdir(tools_dir))
            # The running uninstaller cannot delete itself in place.
            check(left in (["examples", "notes.txt"], ["examples", "notes.txt", "uninstall.exe"]),
                  case + ": left in the tools' folder: %r" % left)
            check(read(os.path.join(host, "config.ini")) == want_ini,
                  case + ": config.ini touched by the uninstaller")
            check(os.path.exists(os.path.join(host, "debug.log")),
                  case + ": debug.log removed")
            query = s.wine(["reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"
                            "\\Uninstall\\Korvex"], 120)
            check(query.returncode != 0, case + ": the Add/Remove Programs entry stayed")
            check(not any(os.path.exists(m) for m in menu), case + ": the Start menu folder stayed")
            check(os.listdir(os.path.join(tools_dir, "examples")) == ["mine.txt"],
                  case + ": the examples' folder holds %r" %
                  os.listdir(os.path.join(tools_dir, "examples")))
        print("installer: %d bytes, three silent installs and uninstalls" % os.path.getsize(setup))
    finally:
        s.close()


def main():
    which, config_path = sys.argv[1], sys.argv[2]
    with open(config_path) as f:
        c = json.load(f)
    if not os.path.exists(c["wine"]):
        skip_or_fail("64-bit Wine is not installed (scripts/ensure-deps.sh installs wine64)")
    needs = ["Xvfb", "xdotool", "xwd"] if which == "window" else ["makensis"]
    for tool in needs:
        if shutil.which(tool) is None:
            skip_or_fail(tool + " is not installed (scripts/ensure-deps.sh installs it)")
    c["wine_bits"] = 64
    try:
        if which == "window":
            program = os.path.join(c["win64"], "korvex-settings.exe")
            if not os.path.exists(program):
                skip_or_fail(program + " is not built (make dll builds it)")
            window_test(c)
        else:
            installer_test(c)
            # The kit's own installer, where Wine runs 32-bit programs.
            wine32 = c["wine32"]
            try:
                runs32 = subprocess.run([wine32, "--version"], capture_output=True,
                                        timeout=60).returncode == 0
            except OSError:
                runs32 = False
            if not runs32:
                print("SKIP (32-bit): this kernel runs no 32-bit program (the 32-bit loader "
                      "fails with Exec format error): the kit's 32-bit installer is not run")
            elif os.path.exists(os.path.join(c["win32"], "korvex-settings.exe")):
                c["wine_bits"] = 32
                c["wine"] = wine32
                installer_test(c)
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
