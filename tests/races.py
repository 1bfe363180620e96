#!/usr/bin/env python3
"""Races against tvtidy on each file system, counted rather than sampled:

- a rival that creates the names tvtidy is about to move onto (without
  O_EXCL, appending, as a shell redirect or a downloader would), in the
  moments around each move, over a run of many moves;
- SIGINT, SIGTERM, SIGHUP and SIGKILL at a random moment of a replace
  through a copy onto the file system;
- a writer filling the episode in place, as torrent clients do, while it is
  moved from the file system to another disk;
- a newer download renamed over the episode the moment its copy appears on
  the other disk (RACE_NEWER rounds, 50 by default).

Nothing may be lost: every rival file and every episode is still somewhere
in the tree, except an old file that tvtidy replaced by decision (seen as it
is removed under its set-aside name, through a preloaded unlink that copies
it to a log first). Prints one line of counts per file system; non-zero
when anything was lost.

Usage: tests/races.py build/native/tvtidy [kind ...]   (root; RACE_MOVES and
RACE_ROUNDS set the sizes, 1000 and 30 by default)
"""
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import end_to_end as e  # noqa: E402  (its mounts, servers and helpers)

MOVES = int(os.environ.get("RACE_MOVES", "1000"))
ROUNDS = int(os.environ.get("RACE_ROUNDS", "30"))
NEWER_ROUNDS = int(os.environ.get("RACE_NEWER", "50"))

# Copies each old file to the log as tvtidy removes it under its set-aside name.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static void keep(const char* original) {
  const char* path = original;
  const char* base = strrchr(path, '/');
  base = base ? base + 1 : path;
  if (strncmp(base, ".tvtidy-old-", 12) == 0 && getenv("RACE_LOG")) {
    // A share is read on the server's side: the mount may show a size and
    // content it has cached.
    char server[8192];
    const char *mount = getenv("RACE_MOUNT"), *share = getenv("RACE_SERVER");
    if (mount && share && strncmp(path, mount, strlen(mount)) == 0 &&
        snprintf(server, sizeof server, "%s%s", share, path + strlen(mount)) < (int)sizeof server)
      path = server;
    int in = open(path, O_RDONLY), out = open(getenv("RACE_LOG"), O_WRONLY | O_APPEND | O_CREAT, 0600);
    char buffer[65536];
    ssize_t got;
    struct stat info;
    if (in >= 0 && out >= 0 && fstat(in, &info) == 0)
      write(out, buffer, snprintf(buffer, sizeof buffer, "<inode %llu>", (unsigned long long)info.st_ino));
    while (in >= 0 && out >= 0 && (got = read(in, buffer, sizeof buffer)) > 0) write(out, buffer, got);
    if (out >= 0) write(out, "\n", 1);
    close(in);
    close(out);
  }
}
int unlink(const char* path) {
  static int (*real)(const char*);
  if (!real) real = (int (*)(const char*))dlsym(RTLD_NEXT, "unlink");
  keep(path);
  return real(path);
}
// tvtidy removes by a folder's descriptor where a path is long.
int unlinkat(int dir, const char* name, int flags) {
  static int (*real)(int, const char*, int);
  if (!real) real = (int (*)(int, const char*, int))dlsym(RTLD_NEXT, "unlinkat");
  char full[8192], folder[64];
  ssize_t length = -1;
  if (dir != AT_FDCWD && name[0] != '/') {
    snprintf(folder, sizeof folder, "/proc/self/fd/%d", dir);
    length = readlink(folder, full, sizeof full - 1);
  }
  if (length > 0 && snprintf(full + length, sizeof full - length, "/%s", name) < (int)(sizeof full - length))
    keep(full);
  else
    keep(name);
  return real(dir, name, flags);
}
"""

# Opens, at most once each, the target of the episode tvtidy is at or the
# next one, whatever holds that name (a file of its own, tvtidy's placeholder,
# the episode that just arrived), and appends, at times after a pause as a
# download still running would: it destroys nothing itself.
RIVAL = r"""
import os, sys, random, time
root, where, stop = sys.argv[1], sys.argv[2], sys.argv[3]
order = [n for n in os.listdir(root) if n.endswith(".mkv")]
done, tokens, i = set(), [], 0
def moved(k):
    return not os.path.exists(os.path.join(root, order[k]))
while not os.path.exists(stop) and i < len(order):
    # tvtidy is at the first episode still here, unless a later one has
    # gone: then that one's move failed, and tvtidy has passed it.
    while i < len(order):
        gone = next((k for k in range(i, min(i + 4, len(order))) if moved(k)), None)
        if gone is None:
            break
        i = gone + 1
    for name in order[i:i + (1 if random.random() < 0.7 else 2)]:
        if name in done:
            continue
        target = os.path.join(where, name.split(".S")[0].replace(".", " "), name)
        done.add(name)
        time.sleep(random.uniform(0, 0.0005))
        token = "<rival %d>" % len(tokens)
        try:
            there = ""  # the name was taken when the rival came (tvtidy's placeholder, if empty)
            try:
                fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND, 0o644)
            except FileExistsError:
                fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
                there = "\tthere before, %d bytes" % os.fstat(fd).st_size
            try:
                os.write(fd, token.encode())
                inode = os.fstat(fd).st_ino  # a file replaced between the open and the write is known by it
                if random.random() < 0.3:
                    time.sleep(random.uniform(0, 0.2))  # a download still running
            finally:
                os.close(fd)
        except OSError:
            continue  # refused (a cloud mount without its cache appends nothing): nothing to keep
        tokens.append("%s\t%s\t<inode %d>%s" % (token, target, inode, there))
print("\n".join(tokens))
"""


def contents(root):
    # Every byte under root, hidden names too; a cloud mount may list a name
    # that is gone by the time it is read.
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    found.append(f.read())
            except OSError:
                pass
    return b"\n".join(found)


def rival_race(kind, root, shim, work):
    """1,000 moves with a rival on their names: (rival files, replaced by
    decision, lost rival files, lost episodes)."""
    names = [f"Show.{s}.S01E{n:03}.mkv" for s in range(10) for n in range(MOVES // 10)]
    e.make(root, {f"Show {s}": None for s in range(10)})
    e.make(root, {n: f"<episode {n}>" for n in names})
    log, stop = os.path.join(work, "removed"), os.path.join(work, "stop")
    # On the Samba share the rival writes on the server's side, as another
    # machine would (through smbnetfs beside tvtidy, smbnetfs itself fails
    # with EIO for every call once two clients share a name mid-rename).
    where = remote_folder(kind, root) if kind == "smb" else root
    rival = subprocess.Popen([sys.executable, "-c", RIVAL, root, where, stop], stdout=subprocess.PIPE)
    time.sleep(0.2)  # the rival has listed the folder
    server = dict(RACE_MOUNT=root, RACE_SERVER=where) if kind == "smb" else {}
    said = subprocess.run([e.PROGRAM, root], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          env=dict(os.environ, LD_PRELOAD=shim, RACE_LOG=log, **server),
                          timeout=e.TIMEOUT * 10).stdout.decode(errors="replace").splitlines()
    open(stop, "w").close()
    written = {l.split("\t")[0]: l.split("\t")[1:] for l in
               rival.communicate(timeout=e.TIMEOUT)[0].decode().splitlines()}
    tokens = list(written)
    kept = contents(root)
    removed = open(log, "rb").read() if os.path.exists(log) else b""
    for path in (log, stop):
        if os.path.exists(path):
            os.remove(path)
    def replaced(token):
        return token.encode() in removed or written[token][1].encode() in removed

    lost = [t for t in tokens if t.encode() not in kept and not replaced(t)]
    for token in lost:
        print(f"{kind}: lost {token} written into {' '.join(written[token])}", file=sys.stderr)
        episode = os.path.basename(written[token][0])
        print("\n".join("    tvtidy: " + line for line in said if episode in line), file=sys.stderr)
    lost_episodes = [n for n in names if f"<episode {n}>".encode() not in kept]
    return len(tokens), sum(replaced(t) and t.encode() not in kept for t in tokens), \
        len(lost), len(lost_episodes)


def remote_folder(kind, root):
    # smbnetfs shows the share as <work>/mnt/127.0.0.1/tv; the server's folder is <work>/remote.
    share = os.path.dirname(root)
    work = os.path.dirname(os.path.dirname(os.path.dirname(share)))
    return os.path.join(work, "remote", os.path.basename(root))


def signal_rounds(kind, root, local, work):
    """A replace through a copy onto the file system, ended by each signal at
    a random moment: (rounds, rounds where something was lost, names left)."""
    show = os.path.join(root, "Show")
    os.makedirs(show, exist_ok=True)
    link = os.path.join(local, "Show")
    if not os.path.islink(link):
        os.symlink(show, link)
    lost, leftovers = 0, set()
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL):
        for round in range(ROUNDS):
            for folder in (show, local):
                for name in os.listdir(folder):
                    if name != "Show":
                        os.remove(os.path.join(folder, name))
            episode, old = os.urandom(4 << 20), f"old {round}".encode()
            e.make(local, {"Show.S01E01.mkv": episode})
            e.make(show, {"Show.S01E01.mkv": old})
            child = subprocess.Popen([e.PROGRAM, local], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(random.uniform(0, 0.15))
            child.send_signal(number)
            child.wait(timeout=e.TIMEOUT)
            found = [c for (_, c) in e.files_under(show).elements()] + \
                [c for (n, c) in e.files_under(local).elements() if n != "Show"]
            arrived = open(os.path.join(show, "Show.S01E01.mkv"), "rb").read() == episode \
                if os.path.exists(os.path.join(show, "Show.S01E01.mkv")) else False
            if episode not in found or (old not in found and not arrived):
                lost += 1
            leftovers |= {re.sub("[a-zA-Z0-9]{6}$", "XXXXXX", n) for folder in (show, local)
                          for n in os.listdir(folder) if n.startswith(".tvtidy")}
            if number != signal.SIGKILL and any(n.startswith(".tvtidy") for n in os.listdir(show)):
                leftovers.add(f"after {signal.Signals(number).name}")
            # The one visible leftover of a kill: the episode under both names
            # (its copy arrived, the original not yet gone). The next run
            # resolves it: one name, the episode's.
            names = [os.path.join(folder, "Show.S01E01.mkv") for folder in (show, local)]
            if all(os.path.exists(n) and open(n, "rb").read() == episode for n in names):
                leftovers.add("the episode twice, then once")
                subprocess.run([e.PROGRAM, local], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=e.TIMEOUT)
                if os.path.exists(names[1]) or open(names[0], "rb").read() != episode:
                    lost += 1
    os.remove(link)
    return 4 * ROUNDS, lost, sorted(leftovers)


WRITER = r"""
import os, sys, random, time
path, expected, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
data = bytearray(open(path, "rb").read())
end = time.time() + seconds
with open(path, "r+b", buffering=0) as f:
    print(flush=True)
    while time.time() < end:
        at = random.randrange(0, len(data) // 4096) * 4096
        block = os.urandom(4096)
        f.seek(at)
        f.write(block)
        data[at:at + 4096] = block
        time.sleep(0.001)
open(expected, "wb").write(data)
"""


def writer_rounds(kind, root, other, work):
    """The episode filled in place while it is moved off the file system:
    (rounds, rounds moved, rounds where a written byte was lost)."""
    # The show folder is the other disk mounted on a folder of this one: exFAT
    # and FAT hold no symbolic links.
    link = os.path.join(root, "Show")
    os.mkdir(link)
    subprocess.run(["mount", "--bind", other, link], check=True)
    moved = lost = 0
    rounds = ROUNDS
    expected = os.path.join(work, "expected")
    for round in range(ROUNDS):
        for name in os.listdir(other):
            os.remove(os.path.join(other, name))
        source = os.path.join(root, "Show.S01E01.mkv")
        e.make(root, {"Show.S01E01.mkv": bytes(4 << 20)})
        writer = subprocess.Popen([sys.executable, "-c", WRITER, source, expected, str(random.uniform(0, 0.3))],
                                  stdout=subprocess.PIPE)
        writer.stdout.readline()
        time.sleep(random.uniform(0, 0.1))
        out, err, rc = e.run(root)
        if writer.wait(timeout=e.TIMEOUT) != 0:
            rounds -= 1  # the file system refuses writes in place (rclone without its cache)
            continue
        final = open(expected, "rb").read()
        copies = [open(p, "rb").read() for p in (source, os.path.join(other, "Show.S01E01.mkv"))
                  if os.path.exists(p)]
        moved += os.path.exists(os.path.join(other, "Show.S01E01.mkv"))
        lost += copies != [final]
        for name in os.listdir(root):
            if name != "Show":
                os.remove(os.path.join(root, name))
    subprocess.run(["umount", link], check=True)
    return rounds, moved, lost


NEWER = r"""
import os, sys, random, time
part, source, show = sys.argv[1], sys.argv[2], sys.argv[3]
print(flush=True)
end = time.time() + 20
while not os.listdir(show) and time.time() < end:
    pass
time.sleep(random.choice([0, 0, random.uniform(0, 0.02)]))
os.rename(part, source)
"""


def newer_rounds(kind, root, other, work):
    """A finished newer download renamed over the episode the moment its copy
    appears on the other disk: (rounds, rounds moved, rounds where the newer
    file was lost)."""
    link = os.path.join(root, "Show")
    os.mkdir(link)
    subprocess.run(["mount", "--bind", other, link], check=True)
    moved = lost = 0
    for round in range(NEWER_ROUNDS):
        for name in os.listdir(other):
            os.remove(os.path.join(other, name))
        source = os.path.join(root, "Show.S01E01.mkv")
        newer = f"newer {round} ".encode() * (1 << 16)
        e.make(root, {"Show.S01E01.mkv": bytes(len(newer)), ".newer.part": newer})
        racer = subprocess.Popen([sys.executable, "-c", NEWER, os.path.join(root, ".newer.part"), source, other],
                                 stdout=subprocess.PIPE)
        racer.stdout.readline()
        e.run(root)
        racer.wait(timeout=e.TIMEOUT)
        moved += os.path.exists(os.path.join(other, "Show.S01E01.mkv"))
        lost += not any(c == newer for d in (root, other) for (_, c) in e.files_under(d).elements())
        for name in os.listdir(root):
            if name != "Show":
                os.remove(os.path.join(root, name))
    subprocess.run(["umount", link], check=True)
    return NEWER_ROUNDS, moved, lost


def main():
    if os.geteuid() != 0:
        print("races: needs root (mounts)")
        return 1
    kinds = sys.argv[2:] or ["local"] + list(e.FUSE_KINDS)
    work = tempfile.mkdtemp(prefix="tvtidy-races-")
    shim = os.path.join(work, "shim.so")
    with open(shim + ".c", "w") as f:
        f.write(SHIM)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, shim + ".c", "-ldl"], check=True)
    failed = False
    print(f"{'file system':14} {'rival files':>11} {'replaced':>8} {'lost':>4} {'episodes lost':>13} "
          f"{'signal rounds':>13} {'lost':>4} {'writer rounds':>13} {'moved':>5} {'lost':>4} "
          f"{'newer rounds':>12} {'moved':>5} {'lost':>4}  left by signals")
    for kind in kinds:
        try:
            with (tempfile.TemporaryDirectory(dir=work) if kind == "local" else e.fuse_folder(kind)) as root, \
                    tempfile.TemporaryDirectory(dir=work) as local, e.another_file_system() as other:
                race = rival_race(kind, os.path.join(root, make_folder(root, "race")), shim, work)
                signals = signal_rounds(kind, os.path.join(root, make_folder(root, "signals")), local, work)
                writes = writer_rounds(kind, os.path.join(root, make_folder(root, "writer")), other, work)
                newer = newer_rounds(kind, os.path.join(root, make_folder(root, "newer")), other, work)
        except e.Skipped as reason:
            print(f"{kind:14} skipped: {reason}")
            continue
        failed |= race[2] > 0 or race[3] > 0 or signals[1] > 0 or writes[2] > 0 or newer[2] > 0
        print(f"{kind:14} {race[0]:11} {race[1]:8} {race[2]:4} {race[3]:13} {signals[0]:13} {signals[1]:4} "
              f"{writes[0]:13} {writes[1]:5} {writes[2]:4} {newer[0]:12} {newer[1]:5} {newer[2]:4}  "
              f"{' '.join(signals[2]) or '-'}", flush=True)
    subprocess.run(["rm", "-rf", work])
    return 1 if failed else 0


def make_folder(root, name):
    os.mkdir(os.path.join(root, name))
    return name


if __name__ == "__main__":
    sys.exit(main())
