#!/usr/bin/env python3
"""tvtidy where every call is a round trip: exFAT and NTFS through FUSE on
loop images, a mergerfs pool of one branch with its default options, and
sshfs through a relay that holds each chunk for 1 ms inside a network
namespace made for the run. Each against the safe floor (bench_floor --safe:
the fewest calls that never replace) and the unsafe one (--unsafe: a plain
rename per file); then replace runs against plain-move runs on ext4 and
exFAT, beside the floors of each (bench_floor --replace: the old file renamed
to a hidden name, the new one in, the old one removed). Rounds alternate the contenders; medians, ratios within one run,
system calls per file (strace -c -f) and, on sshfs, requests per file as
the relay counts them.

Usage (root, with /dev/fuse): bench/fuse.py [--runs 3] [--files 2000]
    [--kinds exfat,ntfs,mergerfs,sshfs] [--replace-files 20000] [--no-replace]
"""
import argparse
import contextlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests")]
from bench import FLOOR, TVTIDY, make_folder, syscalls  # noqa: E402
import sshd_config  # noqa: E402

RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "relay.py")
NAMESPACE = f"tvtidy-bench-{os.getpid()}"
QUIET = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(test, what):
    for _ in range(200):
        if test():
            return
        time.sleep(0.05)
    sys.exit(f"gave up waiting for {what}")


@contextlib.contextmanager
def mounted(kind, work):
    """The folder to tidy on a fresh file system of that kind, and a function
    that reads the requests counted so far (None where nothing counts)."""
    mount = os.path.join(work, "mnt")
    os.makedirs(mount)
    with contextlib.ExitStack() as undo:
        counter = None
        if kind in ("exfat", "ntfs"):
            image = os.path.join(work, "image")
            with open(image, "wb") as f:
                f.truncate(256 << 20)
            subprocess.run(["mkfs.exfat", image] if kind == "exfat" else ["mkntfs", "-F", "-q", "-f", image],
                           check=True, **QUIET)
            loop = subprocess.run(["losetup", "-f", "--show", image], check=True,
                                  stdout=subprocess.PIPE).stdout.decode().strip()
            undo.callback(subprocess.run, ["losetup", "-d", loop], **QUIET)
            subprocess.run(["mount.exfat-fuse" if kind == "exfat" else "ntfs-3g", loop, mount], check=True, **QUIET)
        elif kind == "mergerfs":
            branch = os.path.join(work, "branch")
            os.makedirs(branch)
            subprocess.run(["mergerfs", branch, mount], check=True, **QUIET)
        elif kind == "sshfs":
            counter = undo.enter_context(share(work, mount))
        undo.callback(lambda: subprocess.run(["umount", "-l", mount], **QUIET))
        wait_for(lambda: os.path.ismount(mount), f"{kind} to mount")
        yield mount, counter


@contextlib.contextmanager
def share(work, mount):
    """An SSH server and the delaying relay in a network namespace of their
    own; sshfs's ssh enters it, the mount stays in ours."""
    subprocess.run(["ip", "netns", "add", NAMESPACE], check=True)
    inside = ["ip", "netns", "exec", NAMESPACE]
    processes = []
    try:
        subprocess.run(inside + ["ip", "link", "set", "lo", "up"], check=True)
        server_port, relay_port = free_port(), free_port()
        config = sshd_config.write(work, server_port)
        os.makedirs("/run/sshd", exist_ok=True)
        processes.append(subprocess.Popen(inside + ["/usr/sbin/sshd", "-D", "-f", config], **QUIET))
        counts = os.path.join(work, "requests")
        processes.append(subprocess.Popen(inside + [sys.executable, RELAY, str(relay_port), str(server_port), "1",
                                                    counts], **QUIET))
        wait_for(lambda: os.path.exists(counts), "the relay")
        remote = os.path.join(work, "remote")
        os.makedirs(remote)
        ssh = f"ip netns exec {NAMESPACE} ssh"
        subprocess.run(["sshfs", "-p", str(relay_port), "-o",
                        f"ssh_command={ssh},IdentityFile={work}/user,StrictHostKeyChecking=no,"
                        "UserKnownHostsFile=/dev/null", f"root@127.0.0.1:{remote}", mount], check=True, **QUIET)
        relay = processes[-1]

        def read():
            os.remove(counts)
            relay.send_signal(signal.SIGUSR1)
            wait_for(lambda: os.path.exists(counts) and os.path.getsize(counts) > 0, "the relay's count")
            with open(counts) as f:
                return int(f.read())
        yield read
    finally:
        subprocess.run(["umount", "-l", mount], **QUIET)
        for process in processes:
            process.terminate()
            process.wait()
        # sshd's own children (the session) go with the namespace's processes.
        pids = subprocess.run(["ip", "netns", "pids", NAMESPACE], stdout=subprocess.PIPE).stdout.split()
        for pid in pids:
            with contextlib.suppress(OSError):
                os.kill(int(pid), signal.SIGKILL)
        subprocess.run(["ip", "netns", "delete", NAMESPACE], **QUIET)


def run_once(argv, folder):
    subprocess.run(["sync"], check=False)
    start = time.perf_counter()
    status = subprocess.run(argv + [folder], **QUIET).returncode
    elapsed = time.perf_counter() - start
    if status not in (0, 1):
        sys.exit(f"{argv[0]} failed with status {status}")
    return elapsed


def fresh(folder, files):
    shutil.rmtree(folder, ignore_errors=True)
    make_folder(folder, files)


def tidied_then(folder, files, each):
    """A fresh folder tidied once, then `each(show folder, name)` for every
    episode in the show folders."""
    fresh(folder, files)
    subprocess.run([TVTIDY, folder], **QUIET)
    for show in os.listdir(folder):
        path = os.path.join(folder, show)
        if os.path.isdir(path):
            for name in os.listdir(path):
                each(path, name)


def prepare_plain(folder, files):
    """Show folders made, empty: every move is a plain one."""
    tidied_then(folder, files, lambda path, name: os.rename(os.path.join(path, name), os.path.join(folder, name)))


def prepare_replace(folder, files):
    """Every show folder already holds each episode's name: every move replaces."""
    def new_beside(path, name):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"new")
    tidied_then(folder, files, new_beside)


def rounds(contenders, folder, files, runs, counter):
    """Medians of alternated rounds, then calls and requests per file."""
    times = {name: [] for name in contenders}
    for _ in range(runs):
        for name, (argv, prepare) in contenders.items():
            prepare(folder, files)
            times[name].append(run_once(argv, folder))
    work = os.path.dirname(folder)
    calls, requests = {}, {}
    for name, (argv, prepare) in contenders.items():
        prepare(folder, files)
        calls[name] = syscalls(argv + [folder], work) / files
        if counter:
            prepare(folder, files)
            before = counter()
            run_once(argv, folder)
            requests[name] = (counter() - before) / files
    return {name: statistics.median(t) for name, t in times.items()}, calls, requests


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--kinds", default="exfat,ntfs,mergerfs,sshfs")
    parser.add_argument("--replace-files", type=int, default=20000, help="files of the ext4 replace rows")
    parser.add_argument("--no-replace", action="store_true")
    args = parser.parse_args()
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
        sys.exit("needs root and /dev/fuse")
    for program in (TVTIDY, FLOOR):
        if not os.path.exists(program):
            sys.exit(f"missing {program}: cmake --build build/native --target tvtidy bench_floor")
    print(f"# {time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores, {args.files} files in 100 shows, "
          f"medians of {args.runs} alternated rounds")
    print("| file system | contender | median s | vs safe floor | calls per file | requests per file |")
    print("|---|---|---:|---:|---:|---:|")
    moves = {"tvtidy": ([TVTIDY], fresh), "safe floor": ([FLOOR, "--safe"], fresh),
             "unsafe floor": ([FLOOR, "--unsafe"], fresh)}
    for kind in args.kinds.split(","):
        work = tempfile.mkdtemp(prefix=f"tvtidy-bench-{kind}-", dir="/var/tmp")
        try:
            with mounted(kind, work) as (mount, counter):
                medians, calls, requests = rounds(moves, os.path.join(mount, "tv"), args.files, args.runs, counter)
            for name in moves:
                print(f"| {kind} | {name} | {medians[name]:.4f} | {medians[name] / medians['safe floor']:.2f} | "
                      f"{calls[name]:.1f} | {requests.get(name, 0):.1f} |" if counter else
                      f"| {kind} | {name} | {medians[name]:.4f} | {medians[name] / medians['safe floor']:.2f} | "
                      f"{calls[name]:.1f} | |", flush=True)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if args.no_replace:
        return
    print()
    print("| file system | files | plain-move run s | replace run s | replace / plain | "
          "careful replace floor / plain floor | replace run / careful replace floor | "
          "calls per file, plain / replace |")
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    runs = {"plain": ([TVTIDY], prepare_plain), "replace": ([TVTIDY], prepare_replace),
            "plain floor": ([FLOOR, "--safe"], prepare_plain), "replace floor": ([FLOOR, "--replace"], prepare_replace)}
    for kind, files in (("ext4", args.replace_files), ("exfat", args.files)):
        work = tempfile.mkdtemp(prefix=f"tvtidy-bench-{kind}-", dir="/var/tmp")
        try:
            with (mounted(kind, work) if kind != "ext4" else contextlib.nullcontext((work, None))) as (mount, _):
                medians, calls, _ = rounds(runs, os.path.join(mount, "tv"), files, args.runs, None)
            print(f"| {kind} | {files} | {medians['plain']:.4f} | {medians['replace']:.4f} | "
                  f"{medians['replace'] / medians['plain']:.2f} | "
                  f"{medians['replace floor'] / medians['plain floor']:.2f} | "
                  f"{medians['replace'] / medians['replace floor']:.2f} | "
                  f"{calls['plain']:.1f} / {calls['replace']:.1f} |", flush=True)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
