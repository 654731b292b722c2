#!/usr/bin/env python3
"""Times the checker against the bare library calls it makes, model by model.

    compare.py VERASKO BARE_CHECK EXAMPLE_MODEL [CORPUS_DIR] [--pairs N]

Each pair runs both programs once, in alternating order; per model it prints the median wall
time of each, the median of the per-pair ratios, and the peak resident memory of each. The
checker should stay within 5% of the bare calls in time and within 2 MiB in memory."""

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


def models(example, corpus):
    found = [("example", example)]
    real = os.path.join(corpus or "", "real")
    if corpus and os.path.isdir(real):
        for name in sorted(os.listdir(real)):
            path = os.path.join(real, name, "model.onnx")
            if os.path.isfile(path):
                found.append((name.removeprefix("test_"), path))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("verasko")
    parser.add_argument("bare")
    parser.add_argument("example")
    parser.add_argument("corpus", nargs="?")
    parser.add_argument("--pairs", type=int, default=11)
    args = parser.parse_args()

    print(f"{'model':<16} {'bare ms':>9} {'Verasko ms':>11} {'ratio':>7} {'bare MiB':>9} "
          f"{'Verasko MiB':>12}")
    worst_ratio, worst_memory = 0.0, 0.0
    for name, path in models(args.example, args.corpus):
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
        memory_difference = (max(verasko_rss) - max(bare_rss)) / 1024
        worst_ratio = max(worst_ratio, ratio)
        worst_memory = max(worst_memory, memory_difference)
        print(f"{name:<16} {statistics.median(bare) * 1000:9.1f} "
              f"{statistics.median(verasko) * 1000:11.1f} {ratio:7.3f} "
              f"{max(bare_rss) / 1024:9.1f} {max(verasko_rss) / 1024:12.1f}")
    print(f"worst median ratio {worst_ratio:.3f} (bound 1.05); worst extra peak memory "
          f"{worst_memory:.2f} MiB (bound 2)")
    return 0 if worst_ratio <= 1.05 and worst_memory <= 2 else 1


if __name__ == "__main__":
    raise SystemExit(main())
