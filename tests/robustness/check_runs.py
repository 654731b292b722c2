#!/usr/bin/env python3
"""Runs the checker on many models it was not written for and holds every run to the rules that
no input may break: the run ends with status 0 or 255, never by a signal or a hang; standard
error stays empty; standard output opens with the empty line and holds only lines the tool can
write, in an order it can write them, and its exit status matches its last word.

    check_runs.py corpus BINARY CORPUS_DIR       every model of the corpus, without a shape and,
                                                 where the manifest gives one static input
                                                 shape, with it
    check_runs.py mutations BINARY MODELS_DIR WORK_DIR
                                                 damaged copies of the generated models
"""

import concurrent.futures
import os
import random
import re
import subprocess
import sys
import time

TIME_LIMIT = 120  # seconds a single run may take

SHAPE = r"\[(-?\d+(, -?\d+)*)?\]"
TAG = r"(, LMTR_DL_(3D_CHW|3D_HWC|4D_NCHW|4D_NHWC))?"


def verdict_problem(name, output, status):
    """What is wrong with one run's output and status, or None."""
    if not output.startswith("\n"):
        return "standard output does not open with the empty line"
    if not output.endswith("\n"):
        return "standard output does not end with a line end"
    lines = output[1:-1].split("\n")
    quoted = re.escape(f"'{name}'")
    if re.fullmatch(f"Empty model: {quoted}", lines[0]) and len(lines) == 1:
        return None if status == 0 else f"empty model with status {status}"
    # A failed load may come before or after the load line; its reason is the library's text.
    for i, line in enumerate(lines):
        if re.fullmatch(f"Failed loading {quoted}", line):
            if len(lines) < i + 2:
                return "a failed load without its reason"
            if status != 255:
                return f"a failed load with status {status}"
            lines = lines[:i]
            if not lines:
                return None
            break
    else:
        if lines[-1] not in ("The model can be executed with Lumetra Vision.",
                             f"Executing '{name}' failed",
                             "Not supported: Only models with a single input can be executed.",
                             "To test the execution, please provide the optional "
                             f"[ModelInputshape] (e.g. Verasko.exe {name} 1 3 224 224)."):
            return f"unexpected last line {lines[-1]!r}"
        expected = 0 if lines[-1].startswith(("The model", "To test")) else 255
        if status != expected:
            return f"status {status} after {lines[-1]!r}"
        lines = lines[:-1]
    if lines[0] != f"Successfully loaded '{name}'":
        return f"unexpected first line {lines[0]!r}"
    allowed = [f"Model inputs: \\d+", f" {SHAPE}", f"Model input shape: (dynamic|{SHAPE}{TAG})",
               f"User input shape:  {SHAPE}{TAG}", "Model outputs: \\d+", f"Layer: '.*' {SHAPE}",
               "", "Warning: the user input shape does not match the model input shape."]
    for line in lines[1:]:
        if not any(re.fullmatch(pattern, line) for pattern in allowed):
            return f"a line the tool cannot write: {line!r}"
    return None


def run(binary, model, shape):
    arguments = [binary, model] + [str(d) for d in shape]
    started = time.monotonic()
    try:
        done = subprocess.run(arguments, capture_output=True, timeout=TIME_LIMIT,
                              stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return arguments, f"took longer than {TIME_LIMIT} s", None
    seconds = time.monotonic() - started
    if done.returncode < 0:
        return arguments, f"ended by signal {-done.returncode}", None
    if done.returncode not in (0, 255):
        return arguments, f"exit status {done.returncode}", None
    if done.stderr:
        return arguments, f"standard error is not empty: {done.stderr[:300]!r}", None
    output = done.stdout.decode("utf-8", "replace")
    problem = verdict_problem(os.path.basename(model), output, done.returncode)
    return arguments, problem, (output, seconds)


def outcome(output):
    if "The model can be executed" in output:
        return "executed"
    if "Failed loading" in output and "Successfully loaded" not in output:
        return "failed to load"
    if "Executing '" in output:
        return "failed to execute"
    return "refused"  # empty model, several inputs, or no shape to test with


def run_all(binary, jobs, title):
    counts = {"loaded": 0, "executed": 0, "refused": 0, "failed to load": 0,
              "failed to execute": 0}
    crashes = []
    failures = []
    slowest = (0.0, None)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for arguments, problem, result in pool.map(lambda job: run(binary, *job), jobs):
            if problem:
                failures.append((arguments, problem))
                continue
            output, seconds = result
            if "Successfully loaded" in output:
                counts["loaded"] += 1
            counts[outcome(output)] += 1
            if "The library crashed" in output:
                crashes.append(arguments)
            slowest = max(slowest, (seconds, " ".join(arguments[1:])))
    print(f"{title}: {len(jobs)} runs; " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    print(f"slowest run: {slowest[0]:.1f} s ({slowest[1]})")
    for arguments in crashes:
        print("library crash reported: " + " ".join(arguments[1:]))
    for arguments, problem in failures:
        print("FAIL " + " ".join(arguments[1:]) + ": " + problem)
    print(f"{len(jobs) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


def corpus_jobs(corpus):
    jobs = []
    with open(os.path.join(corpus, "manifest.tsv"), encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            model = os.path.join(corpus, row["path"])
            jobs.append((model, []))
            shapes = row["input_shapes"]
            if row["n_inputs"] == "1" and shapes and re.fullmatch(r"\d+(x\d+)*", shapes):
                jobs.append((model, [int(d) for d in shapes.split("x")]))
    return jobs


def mutation_jobs(models, work):
    rng = random.Random(20261206)
    os.makedirs(work, exist_ok=True)
    sources = sorted(name for name in os.listdir(models) if name.endswith(".onnx")
                     and os.path.isfile(os.path.join(models, name))
                     and os.path.getsize(os.path.join(models, name)) > 64)
    jobs = []
    for i in range(300):
        source = sources[i % len(sources)]
        with open(os.path.join(models, source), "rb") as f:
            data = bytearray(f.read())
        kind = ("flip", "zero", "truncate")[i % 3]
        if kind == "flip":
            for _ in range(rng.randint(1, 8)):
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif kind == "zero":
            start = rng.randrange(len(data))
            length = rng.randint(1, 32)
            data[start:start + length] = bytes(len(data[start:start + length]))
        else:
            data = data[:rng.randrange(1, len(data))]
        path = os.path.join(work, f"{kind}_{i:03d}_{source}")
        with open(path, "wb") as f:
            f.write(data)
        jobs.append((path, []))
        jobs.append((path, [1, 3, 32, 32]))
    return jobs


def main():
    mode, binary = sys.argv[1], os.path.abspath(sys.argv[2])
    if mode == "corpus":
        corpus = sys.argv[3]
        if not os.path.isfile(os.path.join(corpus, "manifest.tsv")):
            print(f"no corpus at {corpus}: skipped")
            return 77
        return run_all(binary, corpus_jobs(corpus), "corpus")
    if mode == "mutations":
        return run_all(binary, mutation_jobs(sys.argv[3], sys.argv[4]), "mutations")
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
