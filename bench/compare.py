#!/usr/bin/env python3
"""Times the checker against the bare library calls it makes, model by model.

    compare.py VERASKO BARE_CHECK EXAMPLE_MODEL [CORPUS_DIR] [--pairs N] [--models A,B]

Each pair runs both programs once, in alternating order; per model (the example and the corpus's
classic networks, or those named) it prints the median wall time of each, the median of the
per-pair ratios, the peak resident memory of each (Verasko's: the larger of its two processes),
and that of Verasko's own process apart, from one more run watched through /proc. The check
should stay within 3% of the bare calls in time, and Verasko's own process below their memory."""

import argparse
import os
import statistics
import subprocess
import time

SHAPE = ["1", "3", "224", "224"]


def measure(command):
    """Wall seconds and peak resident KiB of one run, its output discarded."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) not in (0, 1, 255):
        raise SystemExit(f"{command} ended with status {status}")
    return seconds, usage.ru_maxrss


def parent_peak(command):
    """The peak resident KiB of the process itself, not of its children: the last VmHWM read."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            with open(f"/proc/{process.pid}/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.001)
    return peak


def models(example, corpus, wanted):
    found = [("example", example)]
    real = os.path.join(corpus or "", "real")
    if corpus and os.path.isdir(real):
        for name in sorted(os.listdir(real)):
            path = os.path.join(real, name, "model.onnx")
            if os.path.isfile(path) and (not wanted or name.removeprefix("test_") in wanted):
                found.append((name.removeprefix("test_"), path))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("verasko")
    parser.add_argument("bare")
    parser.add_argument("example")
    parser.add_argument("corpus", nargs="?")
    parser.add_argument("--pairs", type=int, default=15)
    parser.add_argument("--models", default="", help="corpus networks by name, comma-separated")
    args = parser.parse_args()

    print(f"{'model':<16} {'bare ms':>9} {'Verasko ms':>11} {'ratio':>7} {'bare MiB':>9} "
          f"{'Verasko MiB':>12} {'parent MiB':>11}")
    worst_ratio, parent_below = 0.0, True
    wanted = [name for name in args.models.split(",") if name]
    for name, path in models(args.example, args.corpus, wanted):
        bare_command = [args.bare, path] + SHAPE
        verasko_command = [args.verasko, path] + SHAPE
        measure(bare_command)  # warm the page cache
        bare, verasko, ratios, bare_rss, verasko_rss = [], [], [], [], []
        for pair in range(args.pairs):
            order = [(bare_command, bare, bare_rss), (verasko_command, verasko, verasko_rss)]
            if pair % 2:
                order.reverse()
            for command, times, memory in order:
                seconds, rss = measure(command)
                times.append(seconds)
                memory.append(rss)
            ratios.append(verasko[-1] / bare[-1])
        ratio = statistics.median(ratios)
        parent = parent_peak(verasko_command)
        worst_ratio = max(worst_ratio, ratio)
        parent_below = parent_below and parent < max(bare_rss)
        print(f"{name:<16} {statistics.median(bare) * 1000:9.1f} "
              f"{statistics.median(verasko) * 1000:11.1f} {ratio:7.3f} "
              f"{max(bare_rss) / 1024:9.1f} {max(verasko_rss) / 1024:12.1f} {parent / 1024:11.1f}",
              flush=True)
    print(f"worst median ratio {worst_ratio:.3f} (bound 1.03); Verasko's own process "
          f"{'below' if parent_below else 'NOT below'} the bare calls' memory on every model")
    return 0 if worst_ratio <= 1.03 and parent_below else 1


if __name__ == "__main__":
    raise SystemExit(main())
