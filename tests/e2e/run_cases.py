#!/usr/bin/env python3
"""Runs the built checker and holds it to what it must write.

    run_cases.py cases BINARY MODELS OPENCV_VERSION CORPUS CASES [--wine] [--static] [--memory]
        every case of the table (see its header), piped and on a terminal: the whole standard
        output, the exit status and the standard error. --wine runs a Windows program under Wine,
        piped only; --static says that OpenCV is linked in; --memory runs the cases in a memory
        cgroup (skipped, status 77, where none can be made or under a sanitizer).
    run_cases.py corpus BINARY CORPUS [--wine] [--required]
        every model of the ONNX corpus, without a shape and with the manifest's input shape,
        with --explain and --json: no signal, no hang, no standard error, a valid document.
    run_cases.py data BINARY TEST_DATA OPENCV_VERSION [--wine] [--required]
        every test of the ONNX test data (TEST_DATA/<group>/<test>/model.onnx) with --data on its
        test_data_set_0, as the corpus, each with the outcome that data-outcomes-OPENCV_VERSION.txt
        expects (only printed for a 32-bit Windows program, which cannot be calibrated here).
    A missing corpus or test data skips (77), or fails with --required. Every run's environment
    is built anew: nothing of the caller's (OPENCV_*, NO_COLOR, TERM, the length of PATH) counts.
"""

import concurrent.futures
import json
import os
import pty
import re
import resource
import select
import shlex
import signal
import subprocess
import sys
import termios

TIME_LIMIT = 120
COLOURS = {"{red}": "\x1b[31m", "{green}": "\x1b[32m", "{default}": "\x1b[0m"}
ARGUMENT_TEXTS = {"{long}": "a" * 300 + ".onnx", "{esc}": "\x1b", "{lf}": "\n",
                  "{latin1}": "\udce9"}
KEPT = re.compile(r"PATH|HOME|(ASAN|UBSAN|LSAN)_OPTIONS|WINEPREFIX")
# The PATH of the programs run here (Wine keeps the caller's to find its own): the size of the
# environment moves what the library's heap corruption breaks (the CumSum model on 4.6.0).
SEARCH_PATH = "/usr/local/bin:/usr/bin:/bin"
# AddressSanitizer announces an allocation it cannot give the library, which then fails as usual.
SANITIZER_NOTE = re.compile(rb"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ "
                            rb"bytes\n")
# Under load Wine's client now and then reports a failed call to its server on standard error.
WINE_NOTE = re.compile(rb"wine client error:[0-9a-f]+: [^\n]*\n?")
# Standard output of the cases that end with one of these words: a file and its mode, or closed.
OUTPUTS = {">&-": None, ">/dev/full": ("/dev/full", "wb"), ">readonly": ("/dev/null", "rb"),
           ">no-room": ("verasko-no-room.txt", "wb")}
# Cases that only a pipe can run: the runner must read what is written, or set a limit.
PIPED_ONLY = {"KILL_WORKER", "KILL_PARENT", "AS_LIMIT", "NOFILE", "SIGCHLD"}
SANITIZED = bool(os.environ.get("VERASKO_SANITIZED"))


def environment(extra, wine=False):
    env = {name: value for name, value in os.environ.items() if KEPT.fullmatch(name)}
    env.update({"TERM": "xterm", "WINEDEBUG": "-all", "LANG": "C.UTF-8"})
    if not wine:
        env["PATH"] = SEARCH_PATH
    env.update(extra)
    return env


def parse(setup):
    """The cases of the table that hold here, with the arguments and outputs spelled out."""
    path, conditions_met, argument_texts = setup["table"], setup["conditions"], setup["texts"]
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
            command, _, expected = line.partition(" => ")
            output, _, error = expected.partition("2> ")
            words = shlex.split(command)
            case = {"line": f"{path}:{number}", "title": line, "status": int(words.pop(0)),
                    "env": {}, "output_to": words[-1] if words[-1] in OUTPUTS else None}
            if case["output_to"]:
                words.pop()
            while "=" in words[0]:
                name, _, value = words.pop(0).partition("=")
                case["env"][name] = value
            case["program"] = words.pop(0)
            if case["program"] not in ("Verasko", "Verasko-worker"):
                sys.exit(f"{path}:{number}: a case runs Verasko or Verasko-worker")
            if not set(re.findall(r"\[([^\]]+)\]", heading)) <= conditions_met:
                continue
            if "{corpus}" in command and "{corpus}" not in argument_texts:
                continue
            # A first argument "a|b|c" makes one case of each.
            for first in (words[0].split("|") if words else [None]):
                arguments = [expand(a, argument_texts) for a in [first] + words[1:] if a]
                texts["$arguments"] = arguments
                cases.append(dict(case, arguments=arguments, env=dict(case["env"]),
                                  output=None if case["output_to"] else expected_text(
                                      output, texts, argument_texts),
                                  error=expected_text(error + "|", texts, argument_texts)[1:]
                                  if error else ""))
    return cases


def expand(text, names):
    for _ in range(5):  # texts may use texts
        for name, value in names.items():
            text = text.replace(name, value)
    return text


def expected_text(written, texts, argument_texts):
    """The expected output: $path is the model path as typed and $model its file name; a JSON
    document, or nothing, stands in place of the text, the text's opening empty line included."""
    arguments = texts["$arguments"]
    valued = ("--time-limit", "--data", "--tolerance", "--benchmark")
    paths = [a for i, a in enumerate(arguments) if a not in ("--explain", "--json") + valued
             and (i == 0 or arguments[i - 1] not in valued)]
    path = paths[0] if paths else ""
    written = expand(written.rstrip(" "),
                     {"{" + k + "}": v for k, v in texts.items() if not k.startswith("$")})
    written = written.replace("|", "\n").replace("\\t", "\t").replace("\\s", " ")
    written = expand(written, argument_texts).replace("$model", re.split(r"[/\\]", path)[-1])
    opening = "" if written.startswith('{"') or not written else "\n"
    return opening + written.replace("$path", path)


def matches(got, expected):
    """{any} in the expected text stands for any text within a line, as a number that depends
    on the machine, and {lines} for any whole lines."""
    pattern = re.escape(expected.encode()).replace(re.escape(b"{any}"), b"[^\n]*")
    pattern = pattern.replace(re.escape(b"{lines}"), b"(?:[^\n]*\n)*")
    return re.fullmatch(pattern, got) is not None


def memory_cgroup(limit):
    """A cgroup below this process's own that holds at most `limit` bytes, or None."""
    with open("/proc/self/cgroup", encoding="utf-8") as f:
        lines = f.read().splitlines()
    for line in lines:
        number, controllers, path = line.split(":", 2)
        if "memory" in controllers.split(","):
            folder, limit_file = f"/sys/fs/cgroup/memory{path}", "memory.limit_in_bytes"
        elif number == "0" and os.path.isfile(f"/sys/fs/cgroup{path}/memory.max"):
            folder, limit_file = f"/sys/fs/cgroup{path}", "memory.max"
        else:
            continue
        group = os.path.join(folder, f"verasko-tests-{limit}")
        try:
            os.makedirs(group, exist_ok=True)
            with open(os.path.join(group, limit_file), "w", encoding="utf-8") as f:
                f.write(str(limit))
            return group
        except OSError:
            return None
    return None


def command_of(prefix, binary, case):
    """The command line of a case; None when its memory limit cannot be had here. PAGECACHE=N
    (in MiB) fills the cgroup's page cache with a file of that size first."""
    program = os.path.join(os.path.dirname(binary), case["program"] + os.path.splitext(binary)[1])
    command = prefix + [program] + case["arguments"]
    memory = case["env"].pop("MEMORY", None)
    if memory is None:
        return command
    group = None if SANITIZED else memory_cgroup(int(memory.rstrip("G")) << 30)
    if group is None:
        return None
    case["group"] = group
    procs = os.path.join(group, "cgroup.procs")
    cache = case["env"].pop("PAGECACHE", None)
    if cache:
        # Clean page cache that the cgroup holds while the checker runs.
        fill = f"verasko-cache-{os.getpid()}-{case['line'].rsplit(':', 1)[1]}"
        return ["sh", "-c", f'echo $$ > {procs} && dd if=/dev/zero of={fill} bs=1M count={cache} '
                f'status=none && sync && "$@"; status=$?; rm -f {fill}; exit $status', "sh"] + command
    return ["sh", "-c", f'echo $$ > {procs} && exec "$@"', "sh"] + command


def run_piped(command, env, cwd, output_to=None):
    """Runs the command with its standard output piped or redirected. Beside the environment
    proper, AS_LIMIT=N (GiB) limits its address space, NOFILE=N its descriptors, SIGCHLD=ignored
    starts it with SIGCHLD ignored, KILL_WORKER=TEXT kills its worker process by SIGKILL once
    TEXT has been written, KILL_PARENT=SIGNAL sends it SIGNAL as its worker starts (under Wine,
    once it reports) and fails the run if any process of its group is left."""
    redirect = OUTPUTS.get(output_to)
    limit, files = env.pop("AS_LIMIT", None), env.pop("NOFILE", None)
    kill_after, kill_parent = env.pop("KILL_WORKER", None), env.pop("KILL_PARENT", None)
    ignored = env.pop("SIGCHLD", None) == "ignored"

    def prepare():
        if output_to == ">&-":
            os.close(1)
        if output_to == ">no-room":
            resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY))
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (int(limit) << 30, resource.RLIM_INFINITY))
        if files:
            resource.setrlimit(resource.RLIMIT_NOFILE, (int(files), int(files)))
        if ignored:
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        if kill_parent:
            os.setpgid(0, 0)

    stdout = open(os.path.join(cwd or ".", redirect[0]), redirect[1]) if redirect else \
        subprocess.DEVNULL if output_to else subprocess.PIPE
    try:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=subprocess.PIPE, preexec_fn=prepare)
        output = b""
        if kill_after:
            while kill_after.encode() not in output:
                chunk = process.stdout.read1(65536)
                if not chunk:
                    break
                output += chunk
            for child in children(process.pid):
                os.kill(child, signal.SIGKILL)
        if kill_parent:
            # The first line is written just before the worker starts, then the worker is there.
            # Wine starts its processes through one that ends at once, and one whose parent
            # ends then may never start: there the worker's first line is waited for.
            wine = os.path.basename(command[0]).startswith("wine")
            output = os.read(process.stdout.fileno(), 1)
            while wine and output.count(b"\n") < 2 and process.poll() is None:
                output += os.read(process.stdout.fileno(), 65536)
            while not wine and process.poll() is None and not children(process.pid):
                pass
            process.send_signal(getattr(signal, "SIG" + kill_parent))
            process.wait(timeout=TIME_LIMIT)
            left = left_in_group(process.pid)  # before a process left holds the pipes open
            out, err = process.communicate(timeout=TIME_LIMIT)
            err += b"a process outlived the program\n" if left else b""
            return output + out, err, 128 - process.returncode
        out, err = process.communicate(timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return b"", b"took longer than the time limit", None
    finally:
        if redirect:
            stdout.close()
    return output + (out or b""), err, process.returncode


def run_as_windows(command, env, cwd, output_to=None):
    """run_piped for a program under Wine, in POSIX lines and without Wine's notes. A run that
    Wine failed (its client lost its server, status 1 before a byte, which the program never
    ends with) or that hung (under load Wine may never start it) runs up to three times."""
    for _ in range(3):
        out, err, code = run_piped(command, dict(env), cwd, output_to)
        wine_failed = WINE_NOTE.search(err) or (code == 1 and not out and not err)
        if not wine_failed and code is not None:
            break
    return out.replace(b"\r\n", b"\n"), WINE_NOTE.sub(b"", err.replace(b"\r\n", b"\n")), code


def children(pid):
    """The processes that `pid` started and that are there (as zombies or not)."""
    with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as f:
        return [int(child) for child in f.read().split()]


def left_in_group(group):
    """Whether a live process of the process group is left, once 30 s have passed without its
    going (the group's processes end at once, or run a check of minutes); it is then killed."""
    for _ in range(300):
        left = False
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat", encoding="latin-1") as f:
                    state, _, pgrp = f.read().rsplit(")", 1)[1].split()[:3]
            except OSError:
                continue
            left = left or (state != "Z" and int(pgrp) == group)
        if not left:
            return False
        select.select([], [], [], 0.1)
    os.killpg(group, signal.SIGKILL)
    return True


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


def problems_of(got, status, expected, expected_error=""):
    out, err, code = got
    problems = []
    if code is None or code < 0:
        problems.append("hung" if code is None else f"ended by signal {-code}")
    elif status is not None and code != status:
        problems.append(f"exit status {code}, expected {status}")
    if expected is not None and not matches(out, expected):
        problems.append(f"standard output differs:\n    got      {out!r}\n    expected "
                        f"{expected.encode()!r}")
    if SANITIZED:
        err = SANITIZER_NOTE.sub(b"", err)
    if not matches(err, expected_error):
        problems.append(f"standard error differs:\n    got      {err[:300]!r}\n    expected "
                        f"{expected_error.encode()!r}")
    return problems


def run_cases(binary, setup):
    models, wine, memory = setup["models"], setup["wine"], setup["memory"]
    prefix = wine_loader(binary) if wine else []
    if wine:
        start_wine(prefix)
    runs, skipped = [], 0
    for case in parse(setup):
        if ("MEMORY" in case["env"]) != memory:
            continue
        command = command_of(prefix, binary, case)
        if command is None:
            skipped += 1
            print(f"SKIP {case['line']}: no memory cgroup can be made here")
            continue
        plain = re.sub(r"\{(red|green|default)\}", "", case["output"] or "") or None
        for _ in range(int(case["env"].pop("REPEAT", 1))):
            runs.append((case, command, "pipe", plain))
        if not wine and not case["output_to"] and not PIPED_ONLY & set(case["env"]):
            runs.append((case, command, "terminal", expand(case["output"], COLOURS)))

    def one(run):
        case, command, mode, expected = run
        env = environment(case["env"], wine)
        if mode == "pipe":
            if SANITIZED and ("AS_LIMIT" in env or "NOFILE" in env):
                # The sanitizers' shadow memory needs the whole address space, and their runtime
                # descriptors of its own.
                return run, []
            out, err, code = (run_as_windows if wine else run_piped)(command, env, models,
                                                                     case["output_to"])
        else:
            out, err, code = run_on_terminal(command, env, models)
        problems = problems_of((out, err, code), case["status"], expected, case["error"])
        if (case["output"] or "").startswith('{"'):
            try:
                json.loads(out)
            except ValueError as error:
                problems.append(f"no valid JSON document: {error}")
        return run, problems

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for (case, _, mode, _), problems in pool.map(one, runs):
            if problems:
                failed += 1
                print(f"FAIL [{mode}] {case['line']}: {case['title']}")
                for problem in problems:
                    print("  " + problem)
    print(f"{len(runs) - failed} passed, {failed} failed, {skipped} skipped")
    for group in {run[0]["group"] for run in runs if "group" in run[0]}:
        os.rmdir(group)  # the cgroups of the memory cases, empty now
    if failed:
        return 1
    return 77 if skipped and not runs else 0


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


def wine_loader(binary):
    """Wine's loader for a Windows program: the 64-bit one for a 64-bit program, as it runs on
    machines that cannot run 32-bit code, where the usual `wine` fails."""
    with open(binary, "rb") as f:
        head = f.read(4096)
    header = int.from_bytes(head[0x3c:0x40], "little")
    machine = int.from_bytes(head[header + 4:header + 6], "little")
    return ["/usr/lib/wine/wine64"] if machine == 0x8664 else ["wine"]


def combined_problems(document):
    """What is wrong with a run with --json: it ends as a run may, with a valid document that
    agrees with its exit status."""
    problems = problems_of(document, None, None)
    out, _, code = document
    if code is not None and code not in (0, 255) and code >= 0:
        problems.append(f"exit status {code}")
    try:
        if json.loads(out)["status"] != (0 if code == 0 else -1):
            problems.append("--json: its status differs from the exit status")
    except (ValueError, KeyError, TypeError) as error:
        problems.append(f"--json: no valid document ({error})")
    return problems


def start_wine(loader):
    """A Wine server, and Wine's own programs, that outlive each run (started by a run, they would
    hold its output pipes open); a machine that cannot run 32-bit code ends the run here."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "check": False}
    subprocess.run(["wineserver", "-p60"], stderr=subprocess.DEVNULL, **quiet)
    started = subprocess.run(loader + ["cmd", "/c", "exit"], env=environment({}, True), timeout=300,
                             stderr=subprocess.PIPE, **quiet)
    if started.returncode == 126 and b"Exec format error" in started.stderr:
        sys.exit("this machine cannot run 32-bit programs: build the windows64 preset instead")


def run_corpus(binary, corpus, flags):
    """Every model of the corpus, once, with --explain and --json."""
    if not os.path.isfile(os.path.join(corpus, "manifest.tsv")):
        print(f"no corpus at {corpus}")
        return 1 if "--required" in flags else 77
    prefix = wine_loader(binary) if "--wine" in flags else []
    if prefix:
        start_wine(prefix)

    def one(arguments):
        run = (run_as_windows if prefix else run_piped)(
            prefix + [binary] + arguments + ["--explain", "--json"], environment({}, bool(prefix)),
            None)
        return arguments, combined_problems(run)

    runs = corpus_runs(corpus)
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for arguments, problems in pool.map(one, runs):
            if problems:
                failed += 1
                print("FAIL " + " ".join(arguments) + ": " + "; ".join(problems))
    print(f"{len(runs) - failed} passed, {failed} failed")
    return 1 if failed else 0


def data_outcome(document):
    """The outcome of one run with test data, from its JSON document, as the tables spell it."""
    if document.get("outcome") == "executable":
        return "match"
    if document.get("outcome") == "computes other outputs":
        return "shape" if any(c.get("shapes") == "different" or not c.get("computed")
                              for c in document.get("comparison", [])) else "differs"
    return "untaken" if "data" in document and "inputs" not in document["data"] else "fails"


def read_expected(path):
    """{test or "prefix*": outcomes "a|b"} of lines "OUTCOME GROUP: TESTS # COMMENT"."""
    entries = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            head, _, names = line.partition("#")[0].partition(":")
            outcome, _, group = head.strip().partition(" ")
            entries.update((f"{group}/test_{n}", outcome) for n in names.split())
    return entries


def expected_of(entries, name):
    """A test's entry, or the longest prefix it begins with; a test named nowhere matches."""
    keys = [k for k in entries if k == name or k.endswith("*") and name.startswith(k[:-1])]
    return entries[max(keys, key=len)] if keys else "match"


def run_data(binary, test_data, version, flags):
    """Every test with a data set, with --data and --json, held to the expected outcomes."""
    tests = sorted(
        (group, test) for group in (os.listdir(test_data) if os.path.isdir(test_data) else [])
        for test in os.listdir(os.path.join(test_data, group))
        if os.path.isdir(os.path.join(test_data, group, test, "test_data_set_0")))
    if not tests:
        print(f"no test data at {test_data}")
        return 1 if "--required" in flags else 77
    prefix = wine_loader(binary) if "--wine" in flags else []
    if prefix:
        start_wine(prefix)

    def one(group_test):
        folder = os.path.join(test_data, *group_test)
        out, err, code = (run_as_windows if prefix else run_piped)(
            prefix + [binary, os.path.join(folder, "model.onnx"), "--data",
                      os.path.join(folder, "test_data_set_0"), "--json"],
            environment({}, bool(prefix)), None)
        try:
            outcome = data_outcome(json.loads(out))
        except (ValueError, AttributeError):
            outcome = "fails"
        return "/".join(group_test), outcome, combined_problems((out, err, code))

    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), f"data-outcomes-{version}.txt")
    entries = read_expected(path) if os.path.isfile(path) else None
    if entries is None:
        print(f"no expected outcomes for OpenCV {version} ({path}): not compared")
    failed = changed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for name, got, problems in pool.map(one, tests):
            if problems:
                failed += 1
                print(f"FAIL {name}: " + "; ".join(problems))
            expected = expected_of(entries or {}, name)
            if entries is not None and got not in expected.split("|"):
                changed += 1
                print(f"CHANGED {name}: expected {expected}, got {got}")
    print(f"{len(tests) - failed} passed, {failed} failed, {changed} changed outcome")
    bits32 = prefix == ["wine"]  # wine_loader's choice for a 32-bit program
    if changed:
        print("a 32-bit program, which cannot be calibrated here: not held to them" if bits32 else
              f"to accept them, change {path}")
    return 1 if failed or (changed and not bits32) else 0


def main():
    mode, binary, *rest = sys.argv[1:]
    binary = os.path.abspath(binary)
    if mode == "cases":
        models, opencv, corpus, path, *flags = rest
        models = os.path.abspath(models)
        texts = dict(ARGUMENT_TEXTS, **{"{winmodels}": "Z:" + models.replace("/", "\\")})
        if os.path.isfile(os.path.join(corpus, "manifest.tsv")):
            texts["{corpus}"] = os.path.abspath(corpus)
        else:
            print(f"no corpus at {corpus}: its cases are skipped")
        conditions = {opencv, "windows" if "--wine" in flags else "posix"}
        if "--static" in flags:
            conditions.add("static")
        return run_cases(binary, {"models": models, "conditions": conditions, "texts": texts,
                                  "table": os.path.abspath(path), "wine": "--wine" in flags,
                                  "memory": "--memory" in flags})
    if mode == "corpus":
        return run_corpus(binary, rest[0], rest[1:])
    if mode == "data":
        return run_data(binary, rest[0], rest[1], rest[2:])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
