#!/usr/bin/env python3
"""Runs the ABI check on one DLL and holds its report against an expectation.

    expect_report.py CHECKER OBJDUMP DLL EXPECTED [CHECKER-ARGS...]

EXPECTED names the exit status ("exit N") and lists lines the report must
hold, each exactly once; "{dll}" stands for the DLL's path and "#" starts a
comment. Every FAIL line of the report must be listed: a check that fails for
a reason nobody planted fails the test too. (CTest's PASS_REGULAR_EXPRESSION
cannot say that: it passes on any one match and ignores the exit status.)
"""
import subprocess
import sys


def main():
    checker, objdump, dll, expected_path = sys.argv[1:5]
    checker_args = sys.argv[5:]
    want_exit = None
    want_lines = []
    with open(expected_path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if not line or line.startswith("#"):
                continue
            if line.startswith("exit "):
                want_exit = int(line[5:])
            else:
                want_lines.append(line.replace("{dll}", dll))
    run = subprocess.run([sys.executable, checker, "--objdump", objdump, *checker_args, dll],
                         capture_output=True, text=True)
    print(run.stdout, end="")
    print(run.stderr, end="", file=sys.stderr)
    got = run.stdout.splitlines()
    problems = []
    if run.returncode != want_exit:
        problems.append(f"exit status {run.returncode}, expected {want_exit}")
    for line in want_lines:
        if got.count(line) != 1:
            problems.append(f"expected once, found {got.count(line)} times: {line}")
    for line in got:
        if line.startswith("FAIL ") and line not in want_lines:
            problems.append(f"unexpected failure: {line}")
    for problem in problems:
        print(f"expect_report: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
