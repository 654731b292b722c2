#!/usr/bin/env python3
"""Runs the built checker on each case of a case file and compares its whole standard output byte
for byte, its exit status and an empty standard error: once through a pipe, where the output must
be plain text, and once on a pseudo-terminal, where the colour codes must stand where the case
marks them.

A case file holds cases separated by blank lines:

    == what the case shows
    $ Verasko conv.onnx 1 3 32 32     (arguments split as a shell would; run in the models folder)
    |one line of expected output      (each "|" line is the text after "|" and a line end)
    {default}                         (a line holding only colour marks: those codes, no line end)
    -> 255                            (the exit status as a shell sees it)

In expected text, {red}, {green} and {default} mark colour switches, \\t is a tab and \\s a blank.
{long} stands for a file name too long for the system. Optional lines "env NAME=value" set the
environment of both runs; "plain" says that no colour is expected on the terminal either.
"""

import os
import pty
import re
import select
import shlex
import subprocess
import sys
import termios

COLOURS = {"{red}": "\x1b[31m", "{green}": "\x1b[32m", "{default}": "\x1b[0m"}
PLACEHOLDERS = {"{long}": "a" * 300 + ".onnx"}
MARK = re.compile(r"\{(red|green|default)\}")
# Under AddressSanitizer an allocation that the library asks for and cannot get is announced on
# standard error; the library then reports the failure as usual.
SANITIZER_NOTE = re.compile(rb"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n")


def parse(path):
    cases = []
    with open(path, encoding="utf-8") as f:
        blocks = f.read().split("\n\n")
    for block in blocks:
        lines = [line for line in block.split("\n") if line and not line.startswith("#")]
        if not lines:
            continue
        case = {"title": "", "args": None, "out": "", "status": None, "env": {}, "plain": False}
        for line in lines:
            if line.startswith("== "):
                case["title"] = line[3:]
            elif line.startswith("$ Verasko"):
                case["args"] = [expand(a) for a in shlex.split(line[len("$ Verasko"):])]
            elif line.startswith("|"):
                case["out"] += unescape(line[1:]) + "\n"
            elif MARK.sub("", line) == "":
                case["out"] += line
            elif line.startswith("-> "):
                case["status"] = int(line[3:])
            elif line.startswith("env "):
                name, _, value = line[4:].partition("=")
                case["env"][name] = value
            elif line == "plain":
                case["plain"] = True
            else:
                sys.exit(f"{path}: cannot read the line {line!r}")
        if case["args"] is None or case["status"] is None:
            sys.exit(f"{path}: the case {case['title']!r} needs a '$ Verasko' and a '->' line")
        cases.append(case)
    return cases


def expand(text):
    for name, value in PLACEHOLDERS.items():
        text = text.replace(name, value)
    return text


def unescape(text):
    return expand(text).replace("\\t", "\t").replace("\\s", " ")


def environment(case):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "TERM")}
    env["TERM"] = "xterm"
    env.update(case["env"])
    return env


def run_piped(binary, case, cwd):
    done = subprocess.run([binary] + case["args"], cwd=cwd, env=environment(case),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return done.stdout, done.stderr, done.returncode


def run_on_terminal(binary, case, cwd):
    master, slave = pty.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[1] &= ~termios.OPOST  # keep "\n" as it is written
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen([binary] + case["args"], cwd=cwd, env=environment(case),
                               stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    output = b""
    while True:
        ready, _, _ = select.select([master], [], [], 120)
        if not ready:
            process.kill()
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closes with the last writer
            break
        if not chunk:
            break
        output += chunk
    os.close(master)
    error = process.stderr.read()
    process.stderr.close()
    return output, error, process.wait()


def check(case, got, expected_out):
    out, err, status = got
    problems = []
    if status < 0:
        problems.append(f"ended by signal {-status}")
    elif status != case["status"]:
        problems.append(f"exit status {status}, expected {case['status']}")
    if out != expected_out.encode():
        problems.append(f"standard output differs:\n  got      {out!r}\n  expected "
                        f"{expected_out.encode()!r}")
    if os.environ.get("VERASKO_SANITIZED"):
        err = SANITIZER_NOTE.sub(b"", err)
    if err:
        problems.append(f"standard error is not empty: {err!r}")
    return problems


def main():
    binary, models, *case_files = sys.argv[1:]
    binary = os.path.abspath(binary)
    passed = failed = 0
    for path in case_files:
        for case in parse(path):
            plain = MARK.sub("", case["out"])
            coloured = plain if case["plain"] else MARK.sub(lambda m: COLOURS[m.group(0)],
                                                            case["out"])
            for mode, runner, expected in (("pipe", run_piped, plain),
                                           ("terminal", run_on_terminal, coloured)):
                problems = check(case, runner(binary, case, models), expected)
                if problems:
                    failed += 1
                    print(f"FAIL [{mode}] {case['title']}")
                    for problem in problems:
                        print("  " + problem)
                else:
                    passed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
