#!/usr/bin/env python3
"""Times the Windows preview (tvtidy-preview.exe) under Wine next to tvtidy.exe,
at 5,000, 10,000 and 20,000 files (bench/bench.py's folders: 100 shows), and
prints the medians and the cost at each size against the smallest.

Usage: bench/wine_preview.py [--runs N] [--sizes 5000,10000,20000]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import bench  # noqa: E402

WINE_RUN = os.path.join(ROOT, "tests", "wine-run")


def timed(program, folder):
    start = time.perf_counter()
    subprocess.run([WINE_RUN, os.path.join(ROOT, "build", "windows", program), "Z:" + folder.replace("/", "\\")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="5000,10000,20000")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    work = tempfile.mkdtemp(prefix="tvtidy-bench-wine-", dir="/var/tmp")
    medians = {}
    try:
        print("| files | program | median s | vs the smallest size |")
        print("|---:|---|---:|---:|")
        for size in sizes:
            for program in ("tvtidy-preview.exe", "tvtidy.exe"):
                times = []
                for run in range(args.runs):
                    folder = os.path.join(work, f"{size}-{run}")
                    bench.make_folder(folder, size)
                    times.append(timed(program, folder))
                    shutil.rmtree(folder)
                medians[size, program] = statistics.median(times)
                ratio = medians[size, program] / medians[sizes[0], program]
                print(f"| {size} | {program} | {medians[size, program]:.2f} | {ratio:.2f} |", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
