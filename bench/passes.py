#!/usr/bin/env python3
"""Holds --benchmark's figures against bare timed passes of the same build, model by model.

    passes.py VERASKO BARE_CHECK MODEL [MODEL ...] [--passes N] [--rounds K] [--wine LOADER]

Each round runs the checker with --benchmark N --json and the bare check with --passes N, in
alternating order, on a 1x3x224x224 input of zeros. Per model it prints the checker's median pass,
the bare median, their ratio (medians over the rounds), and how much of the checker's median pass
its per-layer times add up to. The ratio should be within 10%, the layers' sum within 5%."""

import argparse
import json
import statistics
import subprocess

SHAPE = ["1", "3", "224", "224"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("verasko")
    parser.add_argument("bare")
    parser.add_argument("models", nargs="+")
    parser.add_argument("--passes", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--wine", default="")
    arguments = parser.parse_args()
    prefix = [arguments.wine] if arguments.wine else []
    print("| model | --benchmark median (ms) | bare median (ms) | ratio | layers / median pass |")
    print("| --- | --- | --- | --- | --- |")
    for model in arguments.models:
        checked, bare, layers = [], [], []
        for round_ in range(arguments.rounds):
            runs = ["checker", "bare"] if round_ % 2 == 0 else ["bare", "checker"]
            for run in runs:
                if run == "checker":
                    out = subprocess.run(prefix + [arguments.verasko, model] + SHAPE +
                                         ["--benchmark", str(arguments.passes), "--json"],
                                         capture_output=True, check=False).stdout
                    figures = json.loads(out)["benchmark"]
                    checked.append(figures["medianMilliseconds"])
                    layers.append(sum(layer["share"] for layer in figures["medianPassLayers"]))
                else:
                    out = subprocess.run(prefix + [arguments.bare, model, "--passes",
                                          str(arguments.passes)] + SHAPE,
                                         capture_output=True, check=True).stdout
                    bare.append(float(out))
        checker_median, bare_median = statistics.median(checked), statistics.median(bare)
        print(f"| {model} | {checker_median:.2f} | {bare_median:.2f} | "
              f"{checker_median / bare_median:.3f} | {statistics.median(layers):.3f} |")


if __name__ == "__main__":
    main()
