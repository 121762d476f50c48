#!/usr/bin/env python3
"""scripts/ensure-deps.sh against stand-ins for apt-get, dpkg-query, dpkg and
id on the PATH: what it runs and what it says when apt-get update loses a
list, when the install fails once or twice, and when nothing is missing.

    ensure_deps_test.py SCRIPT
"""
import os
import re
import stat
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None

# The stand-ins read their behaviour from files in $STUB_STATE and append
# each apt-get call to $STUB_STATE/calls.
STUBS = {
    "apt-get": r"""#!/bin/sh
echo "apt-get $*" >> "$STUB_STATE/calls"
case "$1" in
update)
  echo "Get:1 http://deb.example/debian bookworm InRelease [151 kB]"
  if [ -e "$STUB_STATE/update-fails" ]; then
    echo "Err:4 http://deb.example/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0 ;;
install)
  n=$(cat "$STUB_STATE/install-failures" 2>/dev/null || echo 0)
  if [ "$n" -gt 0 ]; then
    echo $((n - 1)) > "$STUB_STATE/install-failures"
    echo "The following packages have unmet dependencies:"
    echo " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
    echo "               Depends: libc6:i386 (>= 2.34) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
  touch "$STUB_STATE/installed"
  exit 0 ;;
esac
exit 2
""",
    "dpkg-query": r"""#!/bin/sh
[ -e "$STUB_STATE/installed" ] || exit 1
printf 'ii '
""",
    "dpkg": r"""#!/bin/sh
echo "dpkg $*" >> "$STUB_STATE/calls"
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
""",
    "id": r"""#!/bin/sh
cat "$STUB_STATE/uid"
""",
}


def release_codename():
    with open("/etc/os-release") as f:
        m = re.search(r"^VERSION_CODENAME=\"?([^\"\n]*)", f.read(), re.M)
    return m.group(1) if m else ""


class EnsureDeps(unittest.TestCase):
    def run_script(self, installed=False, update_fails=False, install_failures=0, uid=0):
        with tempfile.TemporaryDirectory() as tmp:
            bin_dir = os.path.join(tmp, "bin")
            state = os.path.join(tmp, "state")
            os.mkdir(bin_dir)
            os.mkdir(state)
            for name, text in STUBS.items():
                path = os.path.join(bin_dir, name)
                with open(path, "w") as f:
                    f.write(text)
                os.chmod(path, stat.S_IRWXU)
            if installed:
                open(os.path.join(state, "installed"), "w").close()
            if update_fails:
                open(os.path.join(state, "update-fails"), "w").close()
            with open(os.path.join(state, "install-failures"), "w") as f:
                f.write(str(install_failures))
            with open(os.path.join(state, "uid"), "w") as f:
                f.write(str(uid))
            env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"],
                       STUB_STATE=state)
            env.pop("KORVEX_SKIP_DEPS", None)
            run = subprocess.run(["bash", SCRIPT], env=env, capture_output=True, text=True,
                                 timeout=60)
            calls_path = os.path.join(state, "calls")
            calls = []
            if os.path.exists(calls_path):
                with open(calls_path) as f:
                    calls = f.read().splitlines()
            return run, [c for c in calls if c.startswith("apt-get")]

    def test_decisions(self):
        suite = release_codename()
        self.assertTrue(suite, "/etc/os-release names no release")
        install = "apt-get install -y --no-install-recommends "
        # (case, arguments, status, apt-get calls as "update", "install" or
        # "install -t", lines stderr must hold, lines it must not)
        cases = [
            ("update and install work", {}, 0, ["update", "install"], [],
             ["could not fetch", "failed"]),
            ("update loses a list", {"update_fails": True}, 0, ["update", "install"],
             ["ensure-deps: apt-get update could not fetch these lists; going on without them:",
              "  http://deb.example/debian-security bookworm-security/main i386 Packages"],
             ["install failed"]),
            ("install fails once", {"update_fails": True, "install_failures": 1}, 0,
             ["update", "install", "install -t"],
             ["ensure-deps: apt-get install failed; once more preferring the versions of " + suite],
             ["failed twice"]),
            ("install fails twice", {"install_failures": 2}, 1,
             ["update", "install", "install -t"],
             ["ensure-deps: apt-get install failed twice. What apt-get said:",
              "   wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be "
              "installed",
              "                 Depends: libc6:i386 (>= 2.34) but it is not going to be installed",
              "  E: Unable to correct problems, you have held broken packages.",
              "ensure-deps: to try:",
              "  apt-get install -y --no-install-recommends -t " + suite + " "],
             ["all packages installed"]),
        ]
        for name, kwargs, status, calls, wanted, unwanted in cases:
            with self.subTest(name):
                run, apt_calls = self.run_script(**kwargs)
                self.assertEqual(status, run.returncode, run.stdout + run.stderr)
                kinds = []
                for call in apt_calls:
                    if call == "apt-get update":
                        kinds.append("update")
                    elif call.startswith(install + "-t " + suite + " "):
                        kinds.append("install -t")
                    elif call.startswith(install):
                        kinds.append("install")
                    else:
                        kinds.append(call)
                self.assertEqual(calls, kinds)
                # Every install asks for the same packages, wine32:i386 among them.
                for call in apt_calls[1:]:
                    self.assertIn(" wine32:i386 ", call + " ")
                err_lines = run.stderr.splitlines()
                for line in wanted:
                    self.assertTrue(any(l.startswith(line) for l in err_lines),
                                    f"missing {line!r} in:\n{run.stderr}")
                for text in unwanted:
                    self.assertNotIn(text, run.stderr + run.stdout)
                if status == 0:
                    self.assertIn("ensure-deps: all packages installed", run.stdout)

    def test_nothing_missing_is_silent(self):
        run, apt_calls = self.run_script(installed=True, update_fails=True, install_failures=2)
        self.assertEqual(0, run.returncode)
        self.assertEqual("", run.stdout + run.stderr)
        self.assertEqual([], apt_calls)

    def test_not_root_installs_nothing(self):
        run, apt_calls = self.run_script(uid=1000)
        self.assertEqual(1, run.returncode)
        self.assertEqual([], apt_calls)
        self.assertIn("sudo apt-get install -y --no-install-recommends ", run.stdout)


if __name__ == "__main__":
    SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
