#!/usr/bin/env python3
"""Counts the Windows build's file-system calls per moved file under Wine's
relay trace (WINEDEBUG=+relay), beside the same count for the floor
(bench/floor_windows.cpp: one listing and MoveFileW). Three layouts of 200
episodes into 10 existing show folders: a plain move, a replace (a file of
the episode's name in each show folder) and a move across volumes (show
folders linked to a tmpfs); and a plain move into show folders that hold
50 earlier episodes each, as a library's do. Counts are exact, not timed:
one run each.

Only the program's own calls to kernel32 on its main thread are counted;
Wine's calls inside kernel32, and other processes', are not. ReadFile and
WriteFile (a copy's blocks, the console's lines) and CloseHandle are listed
apart from the file-system calls.

Usage: bench/wine_calls.py [--build DIR]
"""
import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FILE_SYSTEM = ("GetFileAttributesW", "GetFileAttributesExW", "CreateFileW", "GetFileInformationByHandle",
               "GetFileInformationByHandleEx", "SetFileInformationByHandle", "FindFirstFileW", "FindNextFileW",
               "MoveFileW", "MoveFileExW", "DeleteFileW", "CreateDirectoryW", "RemoveDirectoryW",
               "SetFileAttributesW", "SetFileTime", "FlushFileBuffers", "CreateHardLinkW",
               "GetVolumeInformationByHandleW")
APART = ("ReadFile", "WriteFile", "CloseHandle")
SHOWS, EPISODES = 10, 20


def layout(folder, kind, other):
    os.makedirs(folder)
    for show in range(1, SHOWS + 1):
        name = f"Show{show}"
        if kind == "across volumes":
            os.makedirs(os.path.join(other, name))
            os.symlink(os.path.join(other, name), os.path.join(folder, name))
        else:
            os.makedirs(os.path.join(folder, name))
        for episode in range(1, EPISODES + 1):
            file = f"{name}.S01E{episode:02}.mkv"
            with open(os.path.join(folder, file), "wb") as f:
                f.write(b"episode" * 100)
            if kind == "replace":
                with open(os.path.join(folder, name, file), "wb") as f:
                    f.write(b"old")
        for earlier in range(1, 51 if kind == "into full show folders" else 1):
            with open(os.path.join(folder, name, f"{name}.S00E{earlier:02}.mkv"), "wb") as f:
                f.write(b"earlier")


def count(program, folder):
    env = dict(os.environ, WINEDEBUG="+relay", WINEPREFIX=os.path.join(ROOT, "build", "wine"))
    done = subprocess.run(["wine", program, "Z:" + folder.replace("/", "\\")], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    lines = done.stderr.decode("utf-8", "replace").splitlines()
    # The program's main thread: the one that lists the folder.
    thread = next(l.split(":")[0] for l in lines
                  if "Call KERNEL32.FindFirstFileW" in l and os.path.basename(folder) + "\\\\*" in l)
    calls = collections.Counter()
    for l in lines:
        m = re.match(r"([0-9a-f]+):Call KERNEL32\.(\w+)\(.* ret=(14[0-9a-f]+)$", l)
        if m and m.group(1) == thread:
            calls[m.group(2)] += 1
    return calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "windows"))
    args = parser.parse_args()
    subprocess.run(["ninja", "-C", args.build, "bench_floor_windows"], check=True, stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix="tvtidy-bench-calls-", dir="/var/tmp")
    other = tempfile.mkdtemp(prefix="tvtidy-bench-calls-", dir="/dev/shm")
    moved = SHOWS * EPISODES
    print(f"| layout | program | file-system calls per moved file | of which | {', '.join(APART)} per file |")
    print("|---|---|---:|---|---|")
    try:
        for kind in ("plain move", "into full show folders", "replace", "across volumes"):
            for label, exe in (("tvtidy.exe", "tvtidy.exe"), ("floor", "bench_floor_windows.exe")):
                folder = os.path.join(work, kind.replace(" ", "-") + "-" + label)
                shutil.rmtree(other)
                os.makedirs(other)
                layout(folder, kind, other)
                calls = count(os.path.join(args.build, exe), folder)
                left = [n for n in os.listdir(folder) if not os.path.isdir(os.path.join(folder, n))]
                if left:
                    sys.exit(f"{label} left {len(left)} files in the {kind} layout")
                total = sum(calls[c] for c in FILE_SYSTEM)
                detail = ", ".join(f"{c} {calls[c] / moved:.2f}" for c in FILE_SYSTEM if calls[c])
                apart = ", ".join(f"{calls[c] / moved:.2f}" for c in APART)
                print(f"| {kind} | {label} | {total / moved:.2f} | {detail} | {apart} |")
                shutil.rmtree(folder)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(other, ignore_errors=True)


if __name__ == "__main__":
    main()
