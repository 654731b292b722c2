#!/usr/bin/env python3
"""Runs the built checker and holds it to what it must write.

    run_cases.py cases BINARY MODELS OPENCV_VERSION CORPUS CASES [--wine] [--required]
        every case of the table: the whole standard output byte for byte, the exit status and an
        empty standard error; through a pipe, where no colour may appear, and on a terminal,
        where the colour codes must stand where the case marks them. With --wine the binary is a
        Windows program: it runs under Wine, piped only, and lines may end in CRLF. Cases on the
        models of the corpus are skipped when it is missing, or fail with --required.
    run_cases.py corpus BINARY CORPUS [--required]
        every model of the ONNX corpus, without a shape and with the manifest's single input
        shape: no run may end by a signal or hang, the status is 0 or 255, standard error stays
        empty, and the output opens with its empty line and ends with a line end. A missing
        corpus skips the test (status 77), or fails it with --required.

The environment of every run is built anew, so that nothing of the caller's (OPENCV_*, NO_COLOR,
TERM) changes what the checker writes.
"""

import concurrent.futures
import os
import pty
import re
import select
import shlex
import subprocess
import sys
import termios

TIME_LIMIT = 120
COLOURS = {"{red}": "\x1b[31m", "{green}": "\x1b[32m", "{default}": "\x1b[0m"}
ARGUMENT_TEXTS = {"{long}": "a" * 300 + ".onnx"}
KEPT = re.compile(r"PATH|HOME|(ASAN|UBSAN|LSAN)_OPTIONS|WINEPREFIX")
# Under AddressSanitizer an allocation that the library asks for and cannot get is announced on
# standard error; the library then reports the failure as usual.
SANITIZER_NOTE = re.compile(rb"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ "
                            rb"bytes\n")


def environment(extra):
    env = {name: value for name, value in os.environ.items() if KEPT.fullmatch(name)}
    env["TERM"] = "xterm"
    env["WINEDEBUG"] = "-all"
    env["LANG"] = "C.UTF-8"
    env.update(extra)
    return env


def parse(path, opencv, platform):
    texts, cases = {}, []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("@"):
                name, _, text = line[1:].partition(" = ")
                texts[name] = text
                continue
            heading, line = re.match(r"((?:\[[^\]]+\] )*)(.*)", line).groups()
            conditions = re.findall(r"\[([^\]]+)\]", heading)
            command, _, output = line.partition(" => ")
            words = shlex.split(command)
            status = int(words.pop(0))
            env = {}
            while "=" in words[0]:
                name, _, value = words.pop(0).partition("=")
                env[name] = value
            if words.pop(0) != "Verasko":
                sys.exit(f"{path}:{number}: a case runs Verasko")
            if any(c not in (opencv, platform) for c in conditions):
                continue
            if "{corpus}" in command and not ARGUMENT_TEXTS.get("{corpus}"):
                continue
            arguments = [expand(a, ARGUMENT_TEXTS) for a in words]
            model = re.split(r"[/\\]", arguments[0])[-1] if arguments else ""
            cases.append({"line": f"{path}:{number}", "title": line, "arguments": arguments,
                          "env": env, "status": status,
                          "output": "\n" + expected_text(output, texts, model)})
    return cases


def expand(text, names):
    for _ in range(5):  # texts may use texts
        for name, value in names.items():
            text = text.replace(name, value)
    return text


def expected_text(output, texts, model):
    output = expand(output, {"{" + k + "}": v for k, v in texts.items()})
    output = output.replace("|", "\n").replace("\\t", "\t").replace("\\s", " ")
    return expand(output, ARGUMENT_TEXTS).replace("$model", model)


def run_piped(command, env, cwd):
    try:
        done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        return b"", b"took longer than the time limit", None
    return done.stdout, done.stderr, done.returncode


def run_on_terminal(command, env, cwd):
    master, slave = pty.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[1] &= ~termios.OPOST  # keep "\n" as it is written
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    output = b""
    while select.select([master], [], [], TIME_LIMIT)[0]:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closes with the last writer
            break
        if not chunk:
            break
        output += chunk
    else:
        process.kill()
    os.close(master)
    error = process.stderr.read()
    process.stderr.close()
    return output, error, process.wait()


def problems_of(got, status, expected):
    out, err, code = got
    problems = []
    if code is None or code < 0:
        problems.append("hung" if code is None else f"ended by signal {-code}")
    elif status is not None and code != status:
        problems.append(f"exit status {code}, expected {status}")
    if expected is not None and out != expected:
        problems.append(f"standard output differs:\n    got      {out!r}\n    expected "
                        f"{expected!r}")
    if os.environ.get("VERASKO_SANITIZED"):
        err = SANITIZER_NOTE.sub(b"", err)
    if err:
        problems.append(f"standard error is not empty: {err[:300]!r}")
    return problems


def run_cases(binary, models, opencv, path, wine):
    platform = "windows" if wine else "posix"
    prefix = ["wine"] if wine else []
    runs = []
    for case in parse(path, opencv, platform):
        plain = re.sub(r"\{(red|green|default)\}", "", case["output"]).encode()
        coloured = expand(case["output"], COLOURS).encode()
        runs.append((case, "pipe", run_piped, plain))
        if not wine:
            runs.append((case, "terminal", run_on_terminal, coloured))

    def one(run):
        case, mode, runner, expected = run
        out, err, code = runner(prefix + [binary] + case["arguments"], environment(case["env"]),
                                models)
        if wine:
            out = out.replace(b"\r\n", b"\n")
        return run, problems_of((out, err, code), case["status"], expected)

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for (case, mode, _, _), problems in pool.map(one, runs):
            if problems:
                failed += 1
                print(f"FAIL [{mode}] {case['line']}: {case['title']}")
                for problem in problems:
                    print("  " + problem)
    print(f"{len(runs) - failed} passed, {failed} failed")
    return 1 if failed or not runs else 0


def corpus_runs(corpus):
    runs = []
    with open(os.path.join(corpus, "manifest.tsv"), encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            model = os.path.join(corpus, row["path"])
            runs.append([model])
            shape = row["input_shapes"]
            if row["n_inputs"] == "1" and re.fullmatch(r"\d+(x\d+)*", shape):
                runs.append([model] + shape.split("x"))
    return runs


def run_corpus(binary, corpus, required):
    if not os.path.isfile(os.path.join(corpus, "manifest.tsv")):
        print(f"no corpus at {corpus}")
        return 1 if required else 77
    runs = corpus_runs(corpus)

    def one(arguments):
        out, err, code = run_piped([binary] + arguments, environment({}), None)
        problems = problems_of((out, err, code), None, None)
        if code not in (0, 255, None) and code >= 0:
            problems.append(f"exit status {code}")
        if not (out.startswith(b"\n") and out.endswith(b"\n")):
            problems.append(f"output is not whole lines after the empty line: {out[:300]!r}")
        return arguments, problems

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for arguments, problems in pool.map(one, runs):
            if problems:
                failed += 1
                print("FAIL " + " ".join(arguments) + ": " + "; ".join(problems))
    print(f"{len(runs) - failed} passed, {failed} failed")
    return 1 if failed else 0


def main():
    mode, binary, *rest = sys.argv[1:]
    binary = os.path.abspath(binary)
    if mode == "cases":
        models, opencv, corpus, path, *flags = rest
        models = os.path.abspath(models)
        ARGUMENT_TEXTS["{winmodels}"] = "Z:" + models.replace("/", "\\")
        if os.path.isfile(os.path.join(corpus, "manifest.tsv")):
            ARGUMENT_TEXTS["{corpus}"] = os.path.abspath(corpus)
        elif "--required" in flags:
            print(f"no corpus at {corpus}")
            return 1
        else:
            print(f"no corpus at {corpus}: its cases are skipped")
        return run_cases(binary, models, opencv, os.path.abspath(path), "--wine" in flags)
    if mode == "corpus":
        return run_corpus(binary, rest[0], "--required" in rest[1:])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
