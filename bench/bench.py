#!/usr/bin/env python3
"""Times tvtidy against the floor (bench/floor.cpp), a careful user's script
that does the same job (bench/careful.py) and a bare one that does less
(bench/script.py: no check, no line, and os.rename replaces); and tvtidy-link
against the floor's --link (one link(2) per episode), and tvtidy-link --move
against the floor's renames.

Usage: bench/bench.py [--quick] [--runs N] [--sizes 1000,10000,100000] [--worst] [--only NAME,...] [--no-calls]

For each size it makes a fresh folder of episode files on the local disk
(100 shows, real-looking release names, 1% non-episode files; with --worst,
a show of its own for every episode, so that every move creates its folder)
before every run, and runs the contenders alternately (A B C A B C ...). It
prints the median wall time of each, the ratios, files per second, peak
resident memory, and system calls per moved file (strace -c -f).
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
BUILD = os.environ.get("BENCH_BUILD", os.path.join(ROOT, "build", "native"))  # another build to time
TVTIDY = os.path.join(BUILD, "tvtidy")
LINK = os.path.join(BUILD, "tvtidy-link")
FLOOR = os.path.join(BUILD, "bench_floor")
SCRIPT = os.path.join(ROOT, "bench", "script.py")
CAREFUL = os.path.join(ROOT, "bench", "careful.py")

SHOWS = ["The.Expanse", "Breaking.Bad", "Better.Call.Saul", "Severance", "The.Bear",
         "Slow.Horses", "Andor", "Succession", "The.Last.of.Us", "Shogun"]
TAGS = ["1080p.WEB-DL.DDP5.1.H.264-NTb", "720p.HDTV.x264-SYNCOPY", "2160p.AMZN.WEB-DL.DDP5.1.HDR.HEVC-FLUX",
        "1080p.BluRay.x264-ROVERS", "WEBRip.x264-ION10"]
EXTENSIONS = [".mkv", ".mp4", ".avi", ".MKV"]


def make_folder(path, files, worst=False):
    os.makedirs(path)
    for i in range(files):
        if i % 100 == 99:
            name = f"readme.{i}.nfo"
        else:
            show = f"{SHOWS[i % 10]}.{i}" if worst else f"{SHOWS[i % 10]}.{2000 + (i // 10) % 10}"  # 100 shows
            season, episode = 1 + (i // 100) % 30, 1 + (i // 3000) % 99
            name = f"{show}.S{season:02}E{episode:02}.{i}.{TAGS[i % 5]}{EXTENSIONS[i % 4]}"
        with open(os.path.join(path, name), "wb"):
            pass


def old_files(path):
    """An older file of each episode's name in its show folder, named by the
    exact rule (the name before its first season marker, dots as spaces)."""
    import re
    for name in os.listdir(path):
        match = re.match(r"^(.+?)[Ss]\d\d", name.strip())
        if not match or not name.lower().endswith((".mkv", ".mp4", ".avi")):
            continue
        show = os.path.join(path, match.group(1).replace(".", " ").strip())
        os.makedirs(show, exist_ok=True)
        with open(os.path.join(show, name), "wb") as f:
            f.write(b"old")


def timed(argv, output, work):
    """Wall time, peak resident memory (KiB) and processor time (user and
    system) of one run. GNU time forks the program from a small process: a
    child of this interpreter would report the interpreter's own peak."""
    report = os.path.join(work, "time.txt")
    start = time.perf_counter()
    with open(output, "wb") as out:
        status = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M %U %S", *argv], stdout=out,
                                stderr=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - start
    if status not in (0, 1):
        sys.exit(f"{argv[0]} failed with status {status}")
    with open(report) as f:
        rss, user, system = f.read().split()[-3:]
        return elapsed, int(rss), float(user) + float(system)


def syscalls(argv, work, output=os.devnull):
    trace = os.path.join(work, "strace.txt")
    with open(output, "wb") as out:
        subprocess.run(["strace", "-c", "-f", "-o", trace] + argv, stdout=out,
                       stderr=subprocess.DEVNULL, check=False)
    with open(trace) as f:
        for line in f:
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="one small run: a smoke test")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--worst", action="store_true", help="every episode a show of its own")
    parser.add_argument("--only", help="these contenders alone (comma-separated), e.g. for the largest sizes")
    parser.add_argument("--no-calls", action="store_true", help="no system-call counts (slow under strace at 1,000,000)")
    args = parser.parse_args()
    sizes = [1000] if args.quick else [int(s) for s in args.sizes.split(",")]
    runs = 1 if args.quick else args.runs
    for program in (TVTIDY, LINK, FLOOR, "/usr/bin/time"):
        if not os.path.exists(program):
            sys.exit(f"missing {program}: cmake --build build/native --target tvtidy tvtidy-link bench_floor")

    contenders = {
        "tvtidy > null": (lambda d: [TVTIDY, d], os.devnull),
        "tvtidy > file": (lambda d: [TVTIDY, d], "file"),
        "floor": (lambda d: [FLOOR, d], os.devnull),
        "careful script": (lambda d: [sys.executable, CAREFUL, d], os.devnull),
        "bare script": (lambda d: [sys.executable, SCRIPT, d], os.devnull),
        "tvtidy-link > file": (lambda d: [LINK, d], "file"),
        "link floor": (lambda d: [FLOOR, "--link", d], os.devnull),
        # Downloads nobody seeds: the library's reading, each file moved.
        "tvtidy-link --move > file": (lambda d: [LINK, "--move", d], "file"),
        # The seeding workflow: every episode already has a link in its show
        # folder, so every move is a replace.
        "tvtidy after link > null": (lambda d: [TVTIDY, d], os.devnull),
        # Every episode's show folder holds an older file of its name: every
        # move a replace, against the fewest calls of a careful replace.
        "tvtidy replaces > null": (lambda d: [TVTIDY, d], os.devnull),
        "replace floor": (lambda d: [FLOOR, "--replace", d], os.devnull),
    }
    prepare = {"tvtidy after link > null": lambda d: subprocess.run([LINK, d], stdout=subprocess.DEVNULL),
               "tvtidy replaces > null": old_files, "replace floor": old_files}
    if args.only:
        wanted = args.only.split(",")
        wanted += ["replace floor"] if "tvtidy replaces > null" in wanted else []
        contenders = {name: c for name, c in contenders.items() if name in wanted + ["floor", "tvtidy > null"]}
    # Each contender against the floor of its own job.
    floor_of = {name: "floor" if "--move" in name else
                "link floor" if name.startswith("tvtidy-link") or name == "link floor" else
                "replace floor" if "replace" in name else "floor" for name in contenders}
    work = tempfile.mkdtemp(prefix="tvtidy-bench-", dir=os.environ.get("BENCH_DIR", "/var/tmp"))
    layout = "a show per episode" if args.worst else "100 shows"
    print(f"# {time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores, folder on {work}, {layout}")
    print("| files | contender | median s | files/s | peak RSS KiB | vs floor | careful script vs it | bare script vs it | median CPU s | CPU vs floor |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    try:
        for size in sizes:
            times = {name: [] for name in contenders}
            cpu = {name: [] for name in contenders}
            memory = {name: 0 for name in contenders}
            for _ in range(runs):
                for name, (argv, output) in contenders.items():
                    folder = os.path.join(work, "tv")
                    shutil.rmtree(folder, ignore_errors=True)
                    make_folder(folder, size, args.worst)
                    if name in prepare:
                        prepare[name](folder)
                    subprocess.run(["sync"], check=False)
                    target = os.path.join(work, "out.txt") if output == "file" else output
                    elapsed, rss, processor = timed(argv(folder), target, work)
                    times[name].append(elapsed)
                    cpu[name].append(processor)
                    memory[name] = max(memory[name], rss)
            medians = {name: statistics.median(t) for name, t in times.items()}
            cpus = {name: statistics.median(t) for name, t in cpu.items()}
            def ratio(other, m):
                return f"{medians[other] / m:.2f}" if other in medians else ""
            for name in contenders:
                m = medians[name]
                versus = f"{m / medians[floor_of[name]]:.2f}" if floor_of[name] in medians else ""
                c, floor_cpu = cpus[name], cpus.get(floor_of[name], 0)
                print(f"| {size} | {name} | {m:.4f} | {size / m:,.0f} | {memory[name]} | {versus} | "
                      f"{ratio('careful script', m)} | {ratio('bare script', m)} | {c:.2f} | "
                      f"{c / floor_cpu if floor_cpu else 0:.2f} |")
            if "tvtidy after link > null" in medians:
                print(f"| {size} | replaces vs plain run | "
                      f"{medians['tvtidy after link > null'] / medians['tvtidy > null']:.2f} | | | | | |")
            if shutil.which("strace") and not args.no_calls:
                for name in ("tvtidy > null", "tvtidy > file", "floor", "tvtidy-link > file", "link floor"):
                    if name not in contenders:
                        continue
                    folder = os.path.join(work, "tv")
                    shutil.rmtree(folder, ignore_errors=True)
                    make_folder(folder, size, args.worst)
                    moved = size - size // 100
                    output = os.path.join(work, "out.txt") if contenders[name][1] == "file" else os.devnull
                    calls = syscalls(contenders[name][0](folder), work, output)
                    print(f"| {size} | {name}: system calls per moved file | {calls / moved:.2f} | | | | | |")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
