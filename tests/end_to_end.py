#!/usr/bin/env python3
"""End-to-end scenarios: the built program on real folders.

Usage: end_to_end.py PROGRAM [--wine]

Each scenario checks the exact bytes of standard output and standard error,
the exit status, the resulting tree, and that no file was lost: the multiset
of file names and contents before and after.
"""
import collections
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import resource
import signal

import sshd_config  # the SSH server the tests share with the benchmark

PROGRAM = os.path.abspath(sys.argv[1])
WINE = "--wine" in sys.argv
HERE = os.path.dirname(os.path.abspath(__file__))
EOL = b"\r\n" if WINE else b"\n"
SEP = "\\" if WINE else "/"
TIMEOUT = 60


def host_path(path):
    """The path as the program under test names it."""
    return "Z:" + path.replace("/", "\\") if WINE else path


PREVIEW = os.path.join(os.path.dirname(PROGRAM), "tvtidy-preview" + (".exe" if WINE else ""))


def command(*args, program=PROGRAM):
    runner = [os.path.join(HERE, "wine-run")] if WINE else []
    return runner + [program] + list(args)


def run(*args, cwd=None, stdout=subprocess.PIPE, preexec=None, program=PROGRAM, user=None):
    """The program's output, errors and exit status; as another user (root
    only) where `user` is given."""
    if user is not None:
        preexec, program = as_user(user), reachable_copy(program)
    done = subprocess.run(command(*args, program=program), cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, timeout=TIMEOUT, preexec_fn=preexec)
    return done.stdout or b"", done.stderr, done.returncode


WORK = None  # the run's own folder, made by main()


def reachable_copy(program):
    """The program where any user can run it: the checkout may lie in a folder
    that only root may enter (root's home, a folder made by mktemp -d)."""
    copy = os.path.join(WORK, "programs", os.path.basename(program))
    if not os.path.exists(copy):
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        shutil.copy(program, copy)
        for path, mode in ((WORK, 0o711), (os.path.dirname(copy), 0o755), (copy, 0o755)):
            os.chmod(path, mode)
    return copy


def journal(name):
    """The programs' own journal: no file of the user's."""
    return name in (".tvtidy.journal", ".tvtidy.journal.1", b".tvtidy.journal", b".tvtidy.journal.1")


def listed(folder):
    """A folder's names, the journal left out."""
    return [name for name in os.listdir(folder) if not journal(name)]


def files_under(root):
    """Multiset of (name, content) of every file below root, links as their text.
    A name listed that is gone the moment after (a share's daemon still
    settling a rename in its cache, rclone's above all) is looked at afresh,
    for a few seconds, before the error stands."""
    for attempt in range(30):
        try:
            return files_listed_under(root)
        except FileNotFoundError:
            if attempt == 29:
                raise
            time.sleep(0.2)


def files_listed_under(root):
    found = collections.Counter()
    for folder, dirs, names in os.walk(root):
        for name in [n for n in names if not journal(n)] + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                found[(name, "link:" + os.readlink(path))] += 1
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    try:
                        found[(name, f.read())] += 1
                    except FileNotFoundError as error:  # opened, yet its data gone: say which
                        raise FileNotFoundError(error.errno, error.strerror, path) from None
            else:
                found[(name, "special")] += 1
    return found


def tree(root):
    result = set()
    for folder, dirs, names in os.walk(root):
        for name in dirs + [n for n in names if not journal(n)]:
            result.add(os.path.relpath(os.path.join(folder, name), root))
    return result


def make(root, entries):
    """entries: name -> content (bytes/str), None for a folder."""
    for name, content in entries.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if content is None:
            os.makedirs(path, exist_ok=True)
        else:
            with open(path, "wb") as f:
                f.write(content if isinstance(content, bytes) else content.encode())


def line(text):
    return text.encode() + EOL


def lines_of(out):
    assert out.endswith(EOL) or out == b"", out
    return [l.decode("utf-8", "replace") for l in out.split(EOL)[:-1]]


class Failure(Exception):
    pass


def expect(what, got, wanted):
    if got != wanted:
        raise Failure(f"{what}:\n  got    {got!r}\n  wanted {wanted!r}")


def as_user(uid):
    """A child's start as another user (root only): a download client, or
    the user who runs tvtidy beside it."""
    return lambda: (os.setgroups([]), os.setgid(uid), os.setuid(uid))


def appender(path, blocks=None, uid=None):
    """A download client still writing: 4 KiB of b'y' appended every
    millisecond, for good or for `blocks` writes; as its own user if given."""
    loop = "while True:" if blocks is None else f"for _ in range({blocks}):"
    python = sys.executable if uid is None else "/usr/bin/python3"  # the system's, which any user may run
    return subprocess.Popen([python, "-c", "import sys, time\n"
                             "with open(sys.argv[1], 'ab', buffering=0) as f:\n"
                             f"    {loop}\n        f.write(b'y' * 4096); time.sleep(0.001)", path],
                            preexec_fn=as_user(uid) if uid is not None else None)


def check_sweep(out, base, expected, count):
    """The sweep's lines in any listing order, each show folder created once,
    then the summary."""
    got = lines_of(out)
    expect("summary", got[-1:], [f"Moved {count} files"])
    expect("lines", sorted(got[:-1]), sorted(expected))


class Skipped(Exception):
    pass


@contextlib.contextmanager
def another_file_system():
    """A fresh folder on a tmpfs (the shared-memory folder): another file system
    than the test folders'."""
    if not os.path.isdir("/dev/shm"):
        raise Skipped("no /dev/shm")
    other = tempfile.mkdtemp(dir="/dev/shm", prefix="tvtidy-e2e-")
    try:
        yield other
    finally:
        shutil.rmtree(other)


# Through FUSE, the kernel's own XFS, btrfs and overlayfs on loop images, and
# shares of an SFTP server on the loopback address: sshfs, and rclone mounts
# without and with its write cache. TVTIDY_FUSE_KINDS names others (FAT32
# through fusefat, a Samba share through smbnetfs: tests/longer).
FUSE_KINDS = tuple(os.environ.get("TVTIDY_FUSE_KINDS", "exfat ntfs mergerfs xfs btrfs overlay sshfs rclone "
                                  "rclone-writes").split())
REMOTE_KINDS = ("sshfs", "sshfs-nolinks", "rclone", "rclone-writes", "smb")
# Names that differ only in letter case are one name there, as on Windows.
CASELESS_KINDS = ("exfat", "fat32", "smb")
# No hard links there.
LINKLESS_KINDS = ("exfat", "fat32", "smb")


@contextlib.contextmanager
def sftp_server(work):
    """An SSH server of the test's own on 127.0.0.1 (a free port, keys made
    here), for root with a key only; stopped by its own process id."""
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = sshd_config.write(work, port)
    os.makedirs("/run/sshd", exist_ok=True)
    subprocess.run(["/usr/sbin/sshd", "-f", config, "-E", f"{work}/sshd.log"], check=True)
    try:
        for _ in range(100):
            if os.path.exists(f"{work}/sshd.pid"):
                break
            time.sleep(0.05)
        yield port, f"{work}/user"
    finally:
        with contextlib.suppress(OSError, ValueError):
            os.kill(int(open(f"{work}/sshd.pid").read()), 15)


@contextlib.contextmanager
def smb_server(work):
    """A Samba server of the test's own on 127.0.0.1:445 with one guest share,
    `tv`, of work/remote; smbnetfs reaches it through a home of its own."""
    import socket
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", 445)) == 0:
            raise Skipped("smb: port 445 is taken")
    for part in ("run", "lock", "state", "cache", "private", "remote", "home/.smb"):
        os.makedirs(os.path.join(work, part))
    with open(f"{work}/smb.conf", "w") as f:
        f.write("[global]\nserver role = standalone server\nmap to guest = Bad User\ninterfaces = lo\n"
                "bind interfaces only = yes\nsmb ports = 445\ndisable netbios = yes\nload printers = no\n"
                "printing = bsd\nprintcap name = /dev/null\ndisable spoolss = yes\n" +
                "".join(f"{k} = {work}/{v}\n" for k, v in (("pid directory", "run"), ("lock directory", "lock"),
                                                           ("state directory", "state"), ("cache directory", "cache"),
                                                           ("private dir", "private"), ("ncalrpc dir", "run/rpc"),
                                                           ("log file", "smbd.log"))) +
                f"[tv]\npath = {work}/remote\nread only = no\nguest ok = yes\nforce user = root\n")
    for name, text in (("smbnetfs.conf", 'auth "guest" ""\nhost 127.0.0.1 visible=true\n'),
                       ("smb.conf", "[global]\nclient min protocol = SMB2\n")):
        with open(f"{work}/home/.smb/{name}", "w") as f:
            f.write(text)
        os.chmod(f"{work}/home/.smb/{name}", 0o600)  # smbnetfs refuses a config others may read
    # A session of its own: smbd ends its whole process group when it stops.
    server = subprocess.Popen(["smbd", "--foreground", "--no-process-group", "-s", f"{work}/smb.conf"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        for _ in range(200):
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", 445)) == 0:
                    break
            time.sleep(0.05)
        yield
    finally:
        server.terminate()
        server.wait()


@contextlib.contextmanager
def fuse_folder(kind):
    """A fresh, empty file system of that kind (exFAT and NTFS through FUSE, XFS
    and btrfs on a loop device, a mergerfs pool of two folders, an overlay of
    two), always taken down."""
    tools = {"exfat": ["mkfs.exfat", "mount.exfat-fuse", "losetup"],
             "ntfs": ["mkntfs", "ntfs-3g", "losetup"], "mergerfs": ["mergerfs"], "mergerfs-default": ["mergerfs"],
             "mergerfs-path-hash": ["mergerfs"],
             "xfs": ["mkfs.xfs", "losetup"], "btrfs": ["mkfs.btrfs", "losetup"], "overlay": ["mount"],
             "sshfs": ["sshfs", "/usr/sbin/sshd"], "sshfs-nolinks": ["sshfs", "/usr/sbin/sshd"], "rclone": ["rclone", "/usr/sbin/sshd"],
             "rclone-writes": ["rclone", "/usr/sbin/sshd"], "fat32": ["mkfs.fat", "fusefat"],
             "smb": ["smbd", "smbnetfs"]}[kind]
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        raise Skipped(f"{kind}: {' '.join(missing)} not installed")
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
        raise Skipped(f"{kind}: needs root and /dev/fuse")
    work = tempfile.mkdtemp(prefix=f"tvtidy-{kind}-")
    mount = os.path.join(work, "mnt")
    os.mkdir(mount)
    loop = None
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    server = contextlib.ExitStack()
    folder = mount  # where the files go: the share's folder within an smbnetfs mount
    try:
        if kind == "smb":
            server.enter_context(smb_server(work))
            done = subprocess.run(["smbnetfs", mount], env=dict(os.environ, HOME=f"{work}/home"), **quiet)
            folder = os.path.join(mount, "127.0.0.1", "tv")
            for _ in range(100):  # the share shows once smbnetfs has reached the server
                if os.path.isdir(folder):
                    break
                time.sleep(0.05)
        elif kind in REMOTE_KINDS:
            port, key = server.enter_context(sftp_server(work))
            remote = os.path.join(work, "remote")
            os.mkdir(remote)
            if kind.startswith("sshfs"):
                # Without hard links, as to an SFTP server that refuses them.
                links = ",disable_hardlink" if kind == "sshfs-nolinks" else ""
                done = subprocess.run(["sshfs", "-p", str(port), "-o", f"IdentityFile={key},StrictHostKeyChecking=no,"
                                       f"UserKnownHostsFile=/dev/null{links}", f"root@127.0.0.1:{remote}", mount],
                                      **quiet)
            else:
                env = dict(os.environ, RCLONE_CONFIG_R_TYPE="sftp", RCLONE_CONFIG_R_HOST="127.0.0.1",
                           RCLONE_CONFIG_R_PORT=str(port), RCLONE_CONFIG_R_USER="root",
                           RCLONE_CONFIG_R_KEY_FILE=key, RCLONE_CONFIG=os.path.join(work, "rclone.conf"))
                done = subprocess.run(["rclone", "mount", f"r:{remote}", mount, "--daemon", "--cache-dir",
                                       os.path.join(work, "cache"), "--vfs-cache-mode",
                                       "writes" if kind == "rclone-writes" else "off"], env=env, **quiet)
                for _ in range(100):  # the daemon mounts in the background
                    if os.path.ismount(mount):
                        break
                    time.sleep(0.05)
        elif kind.startswith("mergerfs"):
            # Its branches beside the mount: b1 and b2. As users run it, its
            # defaults (new files beside their folder's existing path, numbers
            # that follow the path) or with numbers hashed from the path.
            for branch in ("b1", "b2"):
                os.mkdir(os.path.join(work, branch))
            options = {"mergerfs": ["-o", "category.create=ff"], "mergerfs-default": [],
                       "mergerfs-path-hash": ["-o", "inodecalc=path-hash"]}[kind]
            done = subprocess.run(["mergerfs"] + options + [f"{work}/b1:{work}/b2", mount], **quiet)
        elif kind == "overlay":
            for part in ("lower", "upper", "work"):
                os.mkdir(os.path.join(work, part))
            done = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                                   f"lowerdir={work}/lower,upperdir={work}/upper,workdir={work}/work",
                                   mount], **quiet)
        else:
            image = os.path.join(work, "image")
            with open(image, "wb") as f:
                f.truncate((320 if kind == "xfs" else 128 if kind == "btrfs" else 64) << 20)
            made = subprocess.run({"exfat": ["mkfs.exfat", image], "ntfs": ["mkntfs", "-F", "-q", "-f", image],
                                   "fat32": ["mkfs.fat", "-F", "32", image],
                                   "xfs": ["mkfs.xfs", "-q", image], "btrfs": ["mkfs.btrfs", "-q", image]}[kind],
                                  **quiet)
            if made.returncode != 0:
                raise Skipped(f"{kind}: {made.stderr.decode(errors='replace').strip()}")
            attached = subprocess.run(["losetup", "-f", "--show", image], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
            if attached.returncode != 0:
                raise Skipped(f"{kind}: no loop device: {attached.stderr.decode().strip()}")
            loop = attached.stdout.decode().strip()
            done = subprocess.run({"exfat": ["mount.exfat-fuse", loop, mount], "ntfs": ["ntfs-3g", loop, mount],
                                   "fat32": ["fusefat", "-o", "rw+", loop, mount]}
                                  .get(kind, ["mount", loop, mount]), **quiet)
        if done.returncode != 0:
            raise Skipped(f"{kind}: mount failed: {done.stderr.decode(errors='replace').strip()}")
        try:
            yield folder
        finally:
            subprocess.run(["umount", mount], **quiet)
    finally:
        server.close()
        if loop:
            subprocess.run(["losetup", "-d", loop], **quiet)
        shutil.rmtree(work, ignore_errors=True)


# --------------------------------------------------------------------------
SCENARIOS = []


def scenario(native_only=False):
    def register(function):
        if not (native_only and WINE):
            SCENARIOS.append(function)
        return function
    return register


@scenario()
def no_argument(tmp):
    # The line that ends a run goes to standard error too, where the output is no terminal.
    expect("run", run(), (line("Path not specified"), line("Path not specified"), 1))


@scenario()
def missing_folder(tmp):
    missing = host_path(os.path.join(tmp, "does-not-exist"))
    expect("run", run(missing), (line("Path not found: " + missing), line("Path not found: " + missing), 1))
    # To a character device (the null device, as a terminal): there alone.
    expect("to the null device", run(missing, stdout=subprocess.DEVNULL)[1:], (b"", 1))


@scenario()
def file_given_as_folder(tmp):
    make(tmp, {"Show.S01E01.mkv": "x"})
    arg = host_path(os.path.join(tmp, "Show.S01E01.mkv"))
    hint = line("Hint: tvtidy tidies a folder, and this is a file: " + arg)
    expect("run", run(arg), (line("Path not found: " + arg), line("Path not found: " + arg) + hint, 1))
    # A second argument, meant as a library: tidied as ever, with a hint.
    lib = host_path(os.path.join(tmp, "lib"))
    expect("a second argument", run(host_path(tmp), lib)[1:], (line(
        f"Hint: tvtidy tidies one folder and leaves {lib} alone; tvtidy-link {host_path(tmp)} {lib} fills a library"), 1))


@scenario()
def empty_folder_and_only_sub_folders(tmp):
    expect("empty", run(host_path(tmp)), (line("Moved 0 files"), b"", 1))
    make(tmp, {"Show.S01E01.mkv.d": None, "Other": None, "Other/Show.S01E02.mkv": "x"})
    expect("folders only", run(host_path(tmp)), (line("Moved 0 files"), b"", 1))
    expect("tree", tree(tmp), {"Show.S01E01.mkv.d", "Other", "Other/Show.S01E02.mkv"})


@scenario()
def two_episodes_of_a_new_show_and_a_skipped_file(tmp):
    make(tmp, {"Show.Name.S01E01.mkv": "one", "Show.Name.S01E02.mkv": "two",
               "notes.txt": "n", "Sub/Show.Name.S01E03.mkv": "three"})
    base = host_path(tmp) + SEP
    out, err, rc = run(host_path(tmp), "ignored second argument")
    expect("rc/err", (rc, err), (1, line(f"Hint: tvtidy tidies one folder and leaves ignored second argument alone; "
                                         f"tvtidy-link {host_path(tmp)} ignored second argument fills a library")))
    got = lines_of(out)
    expect("lines", sorted(got), sorted([
        "Created Folder: " + base + "Show Name",
        "Moved File: " + base + "Show.Name.S01E01.mkv",
        "Moved File: " + base + "Show.Name.S01E02.mkv",
        "Skipped File: notes.txt",
        "Moved 2 files"]))
    expect("summary last", got[-1], "Moved 2 files")
    created = got.index("Created Folder: " + base + "Show Name")
    first_move = min(i for i, l in enumerate(got) if l.startswith("Moved File: "))
    expect("folder before moves", created < first_move, True)
    expect("tree", tree(tmp), {"Show Name", "Show Name/Show.Name.S01E01.mkv",
                               "Show Name/Show.Name.S01E02.mkv", "notes.txt", "Sub",
                               "Sub/Show.Name.S01E03.mkv"})


@scenario()
def existing_show_folder_with_a_same_named_file(tmp):
    make(tmp, {"Show Name/Show.Name.S01E01.mkv": "old", "Show.Name.S01E01.mkv": "new"})
    base = host_path(tmp) + SEP
    expect("run", run(host_path(tmp)),
           (line("Moved File: " + base + "Show.Name.S01E01.mkv") + line("Moved 1 files"), b"", 1))
    expect("replaced", files_under(tmp), collections.Counter({("Show.Name.S01E01.mkv", b"new"): 1}))
    # A link to a folder under the episode's name: whatever a platform makes
    # of it (Linux replaces the name; Wine's rename moves what it leads to),
    # no file is lost, and the line is true.
    for inside in ({"other/inside": "kept"}, {"other": None}):
        linked = os.path.join(tmp, "linked")
        make(linked, {**inside, "Show/x": "x", "Show.S01E01.mkv": "new"})
        os.symlink(os.path.join(linked, "other"), os.path.join(linked, "Show", "Show.S01E01.mkv"))
        folders = lambda: sum(len([d for d in ds if not os.path.islink(os.path.join(at, d))])
                              for at, ds, _ in os.walk(linked))
        before = folders()
        out, err, rc = run(host_path(linked))
        moved = lines_of(out)[0] == "Moved File: " + host_path(linked) + SEP + "Show.S01E01.mkv"
        contents = collections.Counter(c for (n, c) in files_under(linked).elements() if isinstance(c, bytes))
        expect("a link to a folder in the way: nothing lost", (contents[b"kept"], contents[b"new"], folders() >= before,
                                                                 moved, os.path.exists(os.path.join(linked, "Show.S01E01.mkv"))),
               ("other/inside" in inside, 1, True) + ((True, False) if not WINE else (False, True)))
        shutil.rmtree(linked)


@scenario()
def plain_file_in_the_way_of_the_show_folder(tmp):
    make(tmp, {"Show Name": "a file", "Show.Name.S01E01.mkv": "ep"})
    base = host_path(tmp) + SEP
    out, err, rc = run(host_path(tmp))
    expect("rc/err", (rc, err), (1, b""))
    check_sweep(out, base, ["Create Folder FAILED: " + base + "Show Name",
                            "Skipped File: Show Name"], 0)
    expect("tree", tree(tmp), {"Show Name", "Show.Name.S01E01.mkv"})


@scenario()
def show_names_that_differ_only_in_case_share_one_folder(tmp):
    # (entries before, episode names, the folder each lands in, folders created)
    cases = [
        ({}, ["The.Expanse.S01E01.1080p.WEB.mkv", "the.expanse.s01e02.720p.mp4"], None, 1),
        ({"The Expanse": None}, ["the.expanse.s01e03.mkv"], "The Expanse", 0),
        ({"THE EXPANSE": None, "the expanse": None}, ["the.expanse.s01e04.mkv"], "the expanse", 0),
    ]
    if not WINE:  # of several case-only matches, the first in byte order
        cases.append(({"the Expanse": None, "The expanse": None}, ["THE.EXPANSE.S01E05.mkv"], "The expanse", 0))
        # a file of another case does not block the folder on POSIX
        cases.append(({"the expanse": "a file"}, ["The.Expanse.S01E06.mkv"], "The Expanse", 1))
    for number, (entries, names, folder, created) in enumerate(cases):
        root = os.path.join(tmp, str(number))
        os.mkdir(root)
        make(root, entries)
        make(root, {n: n for n in names})
        out, err, rc = run(host_path(root))
        got = lines_of(out)
        expect(f"case {number} rc/err", (rc, err), (1, b""))
        expect(f"case {number} created", sum(l.startswith("Created Folder: ") for l in got), created)
        expect(f"case {number} summary", got[-1], f"Moved {len(names)} files")
        folders = {f for f in listed(root) if os.path.isdir(os.path.join(root, f))}
        landed = folder or next(f for f in folders if f.lower() == "the expanse")
        expect(f"case {number} landed", sorted(listed(os.path.join(root, landed))), sorted(names))


def snapshot(root):
    """Names, kinds, sizes, modes and modification times below root."""
    found = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs + [n for n in names if not journal(n)]:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            found[os.path.relpath(path, root)] = (info.st_mode, info.st_size, info.st_mtime_ns)
    return found


# What a real run prints for each line of the preview.
AS_IN_A_RUN = [(r"Would Create Folder: (.*)", r"Created Folder: \1"),
               (r"Create Folder FAILED: (.*) \(.*\)", r"Create Folder FAILED: \1"),
               (r"Would (Move|Replace) File: (.*) -> .*", r"Moved File: \2"),
               (r"Move File FAILED: (.*) \(.*\)", r"Move File FAILED: \1"),
               (r"Would move (\d+) files", r"Moved \1 files")]


def as_in_a_run(preview):
    """The lines a real run prints for the preview's output."""
    as_run = []
    for text in lines_of(preview):
        for pattern, replacement in AS_IN_A_RUN:
            text = re.sub("^" + pattern + "$", replacement, text)
        as_run.append(text)
    return as_run


@scenario()
def companions_follow_command_line_conventions(tmp):
    make(tmp, {"Show.S01E01.mkv": "e", "Fixed/Fixed.S01E01.mkv/inside": "a folder in the way",
               "Fixed.S01E01.mkv": "f"})
    episode, missing = host_path(os.path.join(tmp, "Show.S01E01.mkv")), host_path(os.path.join(tmp, "missing"))
    for program, name, more in ((PREVIEW, "tvtidy-preview", " [--] <folder>"),
                                (LINK, "tvtidy-link", " [--dry-run] [--copy | --move] [--rename] [--] <folder or file> [<library>]"),
                                (UNDO, "tvtidy-undo", " [--dry-run] [--] <log or folder>")):
        usage = line(f"Usage: {name}{more}")
        folder = host_path(tmp)
        for arguments, out, err, rc in (
                ([], b"", line("Path not specified") + usage, 2),
                (["--version"], line(f"{name} 1.0.0"), b"", 0),
                ([missing], b"", line("Path not found: " + missing) + usage, 2),
                ([episode], b"", line("Not a folder: " + episode) + usage, 2),
                # Options wherever they stand: one it does not take is an error, before anything is done.
                ([folder, "--bogus"], b"", line("Unknown option: --bogus") + usage, 2),
                (["--", "--bogus"], b"", line("Path not found: --bogus") + usage, 2),
                ([folder, folder, folder], b"", line("Unexpected argument: " + folder) + usage, 2),
                ([folder, "--version"], line(f"{name} 1.0.0"), b"", 0)):
            if program != PREVIEW and arguments == [episode]:
                continue  # tvtidy-link takes a single-file torrent's file, tvtidy-undo a log
            if program == LINK and len(arguments) == 3:
                continue  # a library beside its folder
            expect(f"{name} {arguments}", run(*arguments, program=program), (out, err, rc))
        out, err, rc = run("--help", program=program)
        expect(f"{name} --help", (out.startswith(usage), err, rc), (True, b"", 0))
    # tvtidy itself answers --help and --version where no folder has that name;
    # a folder of that name is tidied.
    asked = (("--help", "Usage: tvtidy <folder>"), ("--version", "tvtidy 1.0.0"))
    for argument, first in asked + ((("/?", "Usage: tvtidy <folder>"),) if WINE else ()):
        out, err, rc = run(argument, cwd=tmp)
        expect("tvtidy " + argument, (lines_of(out)[0], err, rc), (first, b"", 0))
        if argument == "/?":
            break  # no folder can have that name on Windows
        make(tmp, {argument + "/x.txt": "a folder of that name"})
        expect("a folder named " + argument, run(argument, cwd=tmp),
               (line("Skipped File: x.txt") + line("Moved 0 files"), b"", 1))
        shutil.rmtree(os.path.join(tmp, argument))
    if not WINE:  # a folder whose name starts with "-", given after "--"
        make(tmp, {"-x/Dash.S01E01.mkv": "d"})
        expect("a folder named -x", run("--", "-x", cwd=tmp, program=PREVIEW)[::2],
               (line("Would Create Folder: -x/Dash") + line("Would Move File: -x/Dash.S01E01.mkv -> -x/Dash/Dash.S01E01.mkv")
                + line("Would move 1 files"), 0))
        shutil.rmtree(os.path.join(tmp, "-x"))
    # A folder: 0 when no line says FAILED (or would fail), 1 when one does.
    expect("preview, a failure to come", run(host_path(tmp), program=PREVIEW)[2], 1)
    expect("link, a failure", run(host_path(tmp), program=LINK)[2], 1)
    shutil.rmtree(os.path.join(tmp, "Fixed"))
    os.remove(os.path.join(tmp, "Fixed.S01E01.mkv"))
    expect("preview, nothing failing", run(host_path(tmp), program=PREVIEW)[2], 0)
    expect("link again, nothing failing", run(host_path(tmp), program=LINK)[2], 0)


@scenario()
def preview_warns_of_what_the_run_would_leave_or_make(tmp):
    make(tmp, {"Show.Name.S01E01.mkv": "1", "Show.Name.S01E01.en.srt": "s", "Show.Name.S01E01.en.forced.srt": "f",
               "Show.Name.S01E01.nfo": "n", "Other.S01E01.en.srt": "no episode of that name moves",
               "Show.Name.S02.720p/Show.Name.S02E01.mkv": "p1", "Show.Name.S02.720p/Show.Name.S02E02.mkv": "p2",
               "Show.Name.S02.720p/Sample/x.mkv": "not an episode", "Show Name/Show.Name.S01E09.mkv": "a show folder",
               "Show_Name.S01E02.mkv": "u", "Bad -.S01E01.mkv": "d", "[grp].Show.S01E01.mkv": "g",
               "www.site.com - Show.S01E01.mkv": "w", "Show.Sample.S01E01.mkv": "s", "Year.2019.S01E01.mkv": "y",
               "Year.(2019).S01E01.mkv": "(y)", "Two  Spaces.S01E01.mkv": "t", "Clip.S01E01.sample.mkv": "c",
               "Next.S01E02.mkv.part": "a download in progress"})
    b, s = host_path(tmp) + SEP, SEP
    wanted = [f"Warning: left behind while its episode moves: {b}{n}" for n in
              ("Show.Name.S01E01.en.srt", "Show.Name.S01E01.en.forced.srt", "Show.Name.S01E01.nfo")]
    wanted += [f"Warning: episodes in a sub-folder that the run does not enter: {b}Show.Name.S02.720p (2 episodes)"]
    wanted += [f"Warning: a show folder name with {why}: {b}{show}" for why, show in (
        ("underscores", "Show_Name"), ("a trailing '-'", "Bad -"), ("a '[group]' prefix", "[grp] Show"),
        ("a 'www.' prefix", "www site com - Show"), ("'sample' in it", "Show Sample"), ("two spaces", "Two  Spaces"))]
    wanted += [f"Warning: a sample clip, and the run would move it into its show folder: {b}{n}" for n in (
        "Clip.S01E01.sample.mkv", "Show.Sample.S01E01.mkv")]
    wanted += [f"Warning: a torrent client may still seed from this folder (it holds Next.S01E02.mkv.part, a download "
               f"in progress): the run would move its episodes away from the client; tvtidy-link links them instead: {b}"]
    writer = None
    if not WINE:  # a download still running, and one show in two Unicode forms
        make(tmp, {"Caf\u00e9.S01E01.mkv": "nfc", "Cafe\u0301.S01E02.mkv": "nfd"})
        writer = appender(os.path.join(tmp, "Live.S01E01.mkv"))
        wanted += [f"Warning: still being written, and the run would move it: {b}Live.S01E01.mkv"]
    try:
        time.sleep(0.2)
        out, err, rc = run(host_path(tmp), program=PREVIEW)
    finally:
        if writer:
            writer.kill()
            writer.wait()
    got = lines_of(err)
    # Which of two spellings comes second follows the listing's order.
    pairs = [l for l in got if "the same name but for its year's brackets or its Unicode form" in l]
    expect("spellings of one show", len(pairs), 1 if WINE else 2)
    expect("warnings", sorted(l for l in got if l not in pairs), sorted(wanted))
    expect("the run's lines and status", (b"FAILED" in out, rc), (False, 0))
    run_out, _, _ = run(host_path(tmp))
    expect("line for line", as_in_a_run(out), lines_of(run_out))
    # A download folder however it is spelt: the warning is the folder's.
    downloads = os.path.join(tmp, "seed", "Downloads")
    make(downloads, {"Show.S01E01.mkv": "1"})
    if not WINE:
        os.symlink(downloads, os.path.join(tmp, "seed", "tv"))
    for cwd, spelling in ((downloads, "."), (os.path.join(downloads, "Show"), ".."),
                          (os.path.join(tmp, "seed"), "tv" if not WINE else "Downloads")):
        os.makedirs(cwd, exist_ok=True)
        err = run(spelling, cwd=cwd, program=PREVIEW)[1]
        expect(f"seeding warning for {spelling}", b"its name is a download folder's" in err, True)


@scenario()
def a_link_under_the_episodes_name_is_decided_before_anything_moves(tmp):
    """A link in the show folder under the episode's name: where it leads to
    a folder, Windows refuses it as a folder in the way, the preview alike, and
    nothing moves; POSIX replaces the link itself, as it says beforehand."""
    make(tmp, {"elsewhere/keep": "x", "Show.S01E01.mkv": "episode", "Show": None})
    os.symlink(os.path.join(tmp, "elsewhere"), os.path.join(tmp, "Show", "Show.S01E01.mkv"))
    b = host_path(tmp) + SEP
    foreseen, done = (lines_of(run(host_path(tmp), program=p)[0]) for p in (PREVIEW, PROGRAM))
    if WINE:
        expect("refused alike", (foreseen[0], done[0]), (f"Move File FAILED: {b}Show.S01E01.mkv (a folder of that "
               "name is in the way)", f"Move File FAILED: {b}Show.S01E01.mkv"))
    else:
        expect("replaced, as foreseen", (foreseen[0], done[0]), (f"Would Replace File: {b}Show.S01E01.mkv -> "
               f"{b}Show{SEP}Show.S01E01.mkv", f"Moved File: {b}Show.S01E01.mkv"))
    expect("the folder it leads to untouched", os.listdir(os.path.join(tmp, "elsewhere")), ["keep"])


@scenario()
def preview_then_run_agree_line_for_line(tmp):
    layouts = {
        "mixed": {"Show.Name.S01E01.mkv": "1", "Show.Name.S01E02.mkv": "2", "notes.txt": "n",
                  "Kept/Kept.S01E01.mkv": "old", "Kept.S01E01.mkv": "new", "Blocked": "a file",
                  "Blocked.S01E01.mkv": "b", "Held/Held.S01E01.mkv/inside": "kept",
                  "Held.S01E01.mkv": "h", "Fixed/Fixed.S01E01.mkv": "read-only",
                  "Fixed.S01E01.mkv": "f", "Fixed/other.txt": "o"},
        "letter case": {"the expanse/x.txt": "x", "The.Expanse.S01E01.mkv": "1",
                        "New.Show.S01E01.mkv": "1", "new.show.s01e02.mp4": "2"},
        "too long for Windows": {"A" * (230 - len(tmp)) + ".S01E01.mkv": "a"},
    }
    wanted = {"mixed": ["Skipped File: notes.txt", "Skipped File: Blocked",
                        "Would Create Folder: {b}Show Name",
                        "Would Move File: {b}Show.Name.S01E01.mkv -> {b}Show Name{s}Show.Name.S01E01.mkv",
                        "Would Move File: {b}Show.Name.S01E02.mkv -> {b}Show Name{s}Show.Name.S01E02.mkv",
                        "Would Replace File: {b}Kept.S01E01.mkv -> {b}Kept{s}Kept.S01E01.mkv",
                        "Create Folder FAILED: {b}Blocked (a file of that name is in the way)",
                        "Move File FAILED: {b}Held.S01E01.mkv (a folder of that name is in the way)",
                        "Move File FAILED: {b}Fixed.S01E01.mkv (a read-only file of that name is in the way)",
                        "Would move 3 files"]}
    # A replace whose old file's hidden name would pass 260 units on Windows
    # (a folder of 242 units), though the episode's own path fits.
    deep = "hidden name " + "x" * (240 - len(host_path(tmp)) - len("hidden name "))
    layouts[deep] = {"S/S.S01E01.mkv": "old", "S.S01E01.mkv": "new"}
    wanted[deep] = ["Move File FAILED: {b}S.S01E01.mkv (The specified path is too long)" if WINE else
                    "Would Replace File: {b}S.S01E01.mkv -> {b}S{s}S.S01E01.mkv",
                    "Would move %d files" % (0 if WINE else 1)]
    for name, entries in layouts.items():
        root = os.path.join(tmp, name.replace(" ", "-"))
        os.mkdir(root)
        make(root, entries)
        if "Fixed/Fixed.S01E01.mkv" in entries:
            os.chmod(os.path.join(root, "Fixed/Fixed.S01E01.mkv"), 0o444)
        before = snapshot(root)
        preview, err, rc = run(host_path(root), program=PREVIEW)
        expect(name + ": preview rc/err", (rc, err), (1 if b"FAILED" in preview else 0, b""))
        expect(name + ": nothing changed", snapshot(root), before)
        base = host_path(root) + SEP
        if name in wanted:
            expect(name + ": preview", sorted(lines_of(preview)),
                   sorted(l.format(b=base, s=SEP) for l in wanted[name]))
        out, err, rc = run(host_path(root))
        expect(name + ": run rc/err", (rc, err), (1, b""))
        expect(name + ": line for line", as_in_a_run(preview), lines_of(out))


@scenario()
def real_folder_at_the_target(tmp):
    make(tmp, {"Show Name/Show.Name.S01E01.mkv/inside": "kept", "Show.Name.S01E01.mkv": "ep"})
    base = host_path(tmp) + SEP
    expect("run", run(host_path(tmp)),
           (line("Move File FAILED: " + base + "Show.Name.S01E01.mkv") + line("Moved 0 files"),
            b"", 1))


@scenario()
def trailing_delimiter_and_relative_folder(tmp):
    make(tmp, {"TV/Show.S01E01.mkv": "1"})
    tv = host_path(os.path.join(tmp, "TV"))
    expect("with delimiter", run(tv + SEP),
           (line("Created Folder: " + tv + SEP + "Show") +
            line("Moved File: " + tv + SEP + "Show.S01E01.mkv") + line("Moved 1 files"), b"", 1))
    make(tmp, {"TV/Show.S01E02.mkv": "2"})
    expect("relative", run("TV", cwd=tmp),
           (line("Moved File: TV" + SEP + "Show.S01E02.mkv") + line("Moved 1 files"), b"", 1))
    expect("tree", tree(tmp), {"TV", "TV/Show", "TV/Show/Show.S01E01.mkv", "TV/Show/Show.S01E02.mkv"})


@scenario()
def blanks_at_the_ends_of_a_name(tmp):
    # Windows drops trailing blanks from a path it resolves; POSIX keeps them.
    names = [" Show.Name.S01E01.mkv"] + ([] if WINE else ["Show.Name.S01E02.mkv \t"])
    make(tmp, {n: n for n in names})
    base = host_path(tmp) + SEP
    out, err, rc = run(host_path(tmp))
    # A control character (the tab) is written "?" in a line.
    expected = ["Created Folder: " + base + "Show Name"] + ["Moved File: " + base + n.replace("\t", "?") for n in names]
    check_sweep(out, base, expected, len(names))
    expect("tree", tree(tmp), {"Show Name"} | {"Show Name/" + n for n in names})
    if WINE:
        # A name Win32 would trim, beside a folder of the trimmed name: the
        # move is refused, and the folder stays where it is.
        make(tmp, {"X.S01E01.mkv/keep.txt": "inside", "X.S01E01.mkv ": "episode"})
        out = lines_of(run(host_path(tmp))[0])
        expect("a trailing space", (f"Move File FAILED: {base}X.S01E01.mkv " in out,
                                    open(os.path.join(tmp, "X.S01E01.mkv", "keep.txt")).read()), (True, "inside"))


@scenario()
def classifier_cases_as_real_files(tmp):
    accepted = {"show.name.s01e02.MKV": "show name", "The Office S02E03.Avi": "The Office",
                "Show_Name_S01E01.mp4": "Show_Name_", "Show Name - S01E01.mp4": "Show Name -",
                "Atlas12.S01E01.mkv": "Atla", "Glee.2009.S01E01.mkv": "Glee 2009",
                ".hidden.S01E01.mkv": "hidden"}
    rejected = ["Show.Name.S01E02.mkv.part", "Show.Name.S01E02", "Show.Name.S01E02.m4v",
                "S01E01.mp4", "..S01E01.mp4", "Show.Name.1x02.mkv", "Show.Name.S1E2.avi"]
    make(tmp, {n: n for n in list(accepted) + rejected})
    before = files_under(tmp)
    base = host_path(tmp) + SEP
    out, err, rc = run(host_path(tmp))
    expect("rc/err", (rc, err), (1, b""))
    expected = ["Skipped File: " + n for n in rejected]
    expected += ["Created Folder: " + base + f for f in set(accepted.values())]
    expected += ["Moved File: " + base + n for n in accepted]
    check_sweep(out, base, expected, len(accepted))
    expect("nothing lost", files_under(tmp), before)
    for name, folder in accepted.items():
        expect("placed " + name, os.path.isfile(os.path.join(tmp, folder, name)), True)


@scenario()
def output_to_a_file_is_the_same_bytes(tmp):
    make(tmp, {"Show.S01E01.mkv": "1", "a.txt": "a"})
    path = os.path.join(tmp, "..", os.path.basename(tmp) + ".out")
    with open(path, "wb") as f:
        _, err, rc = run(host_path(tmp), stdout=f)
    with open(path, "rb") as f:
        out = f.read()
    os.remove(path)
    base = host_path(tmp) + SEP
    expect("rc/err", (rc, err), (1, b""))
    check_sweep(out, base, ["Created Folder: " + base + "Show", "Moved File: " + base +
                            "Show.S01E01.mkv", "Skipped File: a.txt"], 1)


@scenario()
def output_to_the_null_device(tmp):
    make(tmp, {"Show.S01E01.mkv": "1"})
    expect("run", run(host_path(tmp), stdout=subprocess.DEVNULL), (b"", b"", 1))
    expect("moved", tree(tmp), {"Show", "Show/Show.S01E01.mkv"})


@scenario()
def output_to_nul_under_windows(tmp):
    if not WINE:
        return  # the null device of POSIX is covered above
    make(tmp, {"Show.S01E01.mkv": "1"})
    exe = host_path(PROGRAM)
    done = subprocess.run([os.path.join(HERE, "wine-run"), "cmd", "/c", f"{exe} {host_path(tmp)} > NUL"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          timeout=TIMEOUT)
    expect("nothing printed", (done.stdout, done.stderr), (b"", b""))
    expect("moved", tree(tmp), {"Show", "Show/Show.S01E01.mkv"})


def report(code_text):
    """The failure report's exact shape; the address varies by build."""
    module = re.escape(os.path.basename(PROGRAM))
    eol = re.escape(EOL)
    return re.compile(b"Exception EInOutError in module " + module.encode() +
                      b" at [0-9A-F]{8}\\." + eol + re.escape(code_text.encode()) + eol + eol + b"$")


@scenario()
def closed_standard_output(tmp):
    make(tmp, {"Show.S01E01.mkv": "1"})
    done = subprocess.run(command(host_path(tmp)), stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, timeout=TIMEOUT,
                          preexec_fn=lambda: os.close(1))
    expect("rc", done.returncode, 1)
    # Wine hands the program a handle that fails at its first write (6) where
    # Windows reports no usable handle (105).
    expect("report", bool(report("I/O error 6." if WINE else "I/O error 105.").match(done.stderr)),
           True)
    expect("nothing lost", files_under(tmp), collections.Counter({("Show.S01E01.mkv", b"1"): 1}))
    if not WINE:  # the first line failed, outside the guard: no move was tried
        expect("tree", tree(tmp), {"Show", "Show.S01E01.mkv"})


def where_lines_say(tmp, out):
    """Every file the received lines call moved is in its show folder; every
    other episode is still in the base folder, whole."""
    for text in lines_of(out):
        if text.startswith("Moved File: "):
            name = os.path.basename(text[len("Moved File: "):])
            show = name.split(".S0")[0].replace(".", " ")
            expect("moved as said: " + name, os.path.isfile(os.path.join(tmp, show, name)), True)
        expect("no move reported as failed", text.startswith("Move File FAILED"), False)


@scenario(native_only=True)
def reader_goes_away_mid_run(tmp):
    # Episodes, so that the failing block falls inside a "Moved File:" line.
    names = [f"Show.S01E{i:04}.mkv" for i in range(3000)]  # more than a pipe holds
    make(tmp, {n: n for n in names})
    before = files_under(tmp)
    child = subprocess.Popen(command(tmp), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL)
    first = child.stdout.read(1000)
    child.stdout.close()
    err = child.stderr.read()
    rc = child.wait(timeout=TIMEOUT)
    expect("first lines", first.startswith(b"Created Folder: "), True)
    expect("rc (not a signal)", rc, 1)
    expect("report", bool(report("I/O error 232.").match(err)), True)
    expect("stopped early", len(listed(tmp)) > 1, True)
    expect("nothing lost", files_under(tmp), before)


@scenario(native_only=True)
def log_on_a_disk_that_fills(tmp):
    if os.geteuid() != 0 or not shutil.which("mount"):
        raise Skipped("mounting a small tmpfs needs root")
    names = [f"Show.S01E{i:04}.mkv" for i in range(400)]
    make(tmp, {n: n for n in names})
    before = files_under(tmp)
    disk = tmp + ".log"
    os.mkdir(disk)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", disk]).returncode != 0:
        raise Skipped("tmpfs could not be mounted")
    try:
        with open(os.path.join(disk, "log"), "wb") as f:
            _, err, rc = run(tmp, stdout=f)
        with open(os.path.join(disk, "log"), "rb") as f:
            out = f.read()
    finally:
        subprocess.run(["umount", disk])
        os.rmdir(disk)
    expect("rc", rc, 1)
    expect("report", bool(report("I/O error 112.").match(err)), True)
    expect("log full", len(out), 8192)
    where_lines_say(tmp, out[:out.rindex(EOL) + 1])
    expect("nothing lost", files_under(tmp), before)


@scenario()
def full_device_as_output(tmp):
    make(tmp, {"Show.S01E01.mkv": "1"})
    with open("/dev/full", "wb") as full:
        out, err, rc = run(host_path(tmp), stdout=full)
    expect("rc", rc, 1)
    expect("report", bool(report("I/O error 112.").match(err)), True)
    expect("nothing lost", files_under(tmp), collections.Counter({("Show.S01E01.mkv", b"1"): 1}))


@scenario()
def target_path_too_long_for_windows(tmp):
    base = host_path(tmp) + SEP
    name = "A" * (250 - len(base) - len(".S01E01.mkv")) + ".S01E01.mkv"  # source: 250 units
    make(tmp, {name: "x"})
    show = name[:-len(".S01E01.mkv")]
    out, err, rc = run(host_path(tmp))
    expect("rc/err", (rc, err), (1, b""))
    # Windows refuses a full path of 260 units or more, so no show folder is
    # made for the move; POSIX allows 4,095 bytes.
    wanted = ["Move File FAILED: " + base + name] if WINE else ["Created Folder: " + base + show, "Moved File: " + base + name]
    check_sweep(out, base, wanted, 0 if WINE else 1)
    expect("nothing lost, no empty folder", (files_under(tmp), sorted(listed(tmp)) if WINE else []),
           (collections.Counter({(name, b"x"): 1}), [name] if WINE else []))


@scenario()
def reader_gone(tmp):
    make(tmp, {f"notes{i:03}.txt": "n" for i in range(40)})
    make(tmp, {"Show.S01E01.mkv": "1"})
    before = files_under(tmp)
    read_end, write_end = os.pipe()
    os.close(read_end)
    out, err, rc = run(host_path(tmp), stdout=write_end)
    os.close(write_end)
    expect("rc (not a signal)", rc, 1)
    # Wine reports a pipe without a reader as 233, Windows itself as 232.
    expect("report", bool(report("I/O error 233." if WINE else "I/O error 232.").match(err)), True)
    expect("nothing lost", files_under(tmp), before)


@scenario(native_only=True)
def report_follows_lines_already_written(tmp):
    # A file-size limit of one block makes the second block fail (the kernel
    # writes what fits of it first).
    make(tmp, {f"notes{i:03}.txt": "n" for i in range(40)})
    path = tmp + ".out"
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (128, resource.RLIM_INFINITY))
    with open(path, "wb") as f:
        _, err, rc = run(host_path(tmp), stdout=f, preexec=limit)
    with open(path, "rb") as f:
        out = f.read()
    os.remove(path)
    expect("rc", rc, 1)
    expect("first block kept", len(out), 128)
    expect("report", bool(report("I/O error 223.").match(err)), True)


@scenario(native_only=True)
def terminal_shows_control_bytes_as_question_marks(tmp):
    # C0, C1 (as UTF-8 and as a raw byte) and bytes outside UTF-8; valid UTF-8 stays.
    with open(os.path.join(tmp.encode(), b"bad\x1b[31m\xc2\x9b2J\x9b\xff caf\xc3\xa9.txt"), "wb"):
        pass
    done = subprocess.run(["script", "-qec", f"'{PROGRAM}' '{tmp}'", "/dev/null"],
                          stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=TIMEOUT)
    expect("screen", done.stdout.replace(b"\r\n", b"\n"),
           b"Skipped File: bad?[31m?2J?? caf\xc3\xa9.txt\nMoved 0 files\n")


@scenario(native_only=True)
def long_copies_show_progress_on_a_terminal_alone(tmp):
    """A copy onto another disk that runs for over a second redraws one line on
    a terminal's standard error, cleared before the next line; logs and pipes
    get nothing of it. Each block of the copy is slowed down under strace."""
    if not shutil.which("strace") or not shutil.which("script"):
        raise Skipped("needs strace and script")
    slow = ["strace", "-f", "-o", "/dev/null", "-e", "signal=none", "-e", "inject=copy_file_range:delay_exit=400000",
            "-e", "inject=pwrite64:delay_exit=4000"]
    with another_file_system() as other:
        os.mkdir(os.path.join(other, "Show"))
        os.symlink(os.path.join(other, "Show"), os.path.join(tmp, "Show"))
        with open(os.path.join(tmp, "Show.S01E01.mkv"), "wb") as f:
            f.write(os.urandom(24 << 20))
        before = files_under(tmp)
        no_leak_check = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")  # it does not work under ptrace

        def on_terminal(*arguments):
            """The screen, and its lines with the progress taken out where it is drawn."""
            quoted = " ".join(f"'{x}'" for x in slow + list(arguments))
            screen = subprocess.run(["script", "-qec", quoted, "/dev/null"], stdout=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL, timeout=TIMEOUT,
                                    env=no_leak_check).stdout.replace(b"\r\n", b"\n")
            drawn = re.findall(rb"\rCopying Show\.S01E01\.mkv: (\d+)% of 25 MB, [\d.]+ [kM]B/s, \d+ s left", screen)
            expect("progress drawn, percentages rising", bool(drawn) and drawn == sorted(drawn, key=int), True)
            first, _, rest = screen.partition(b"\n")
            cleared = first[first.rindex(b"\r") - 1:][:1] == b" "
            return first[first.rindex(b"\r") + 1:] + b"\n" + rest, cleared

        lines, cleared = on_terminal(PROGRAM, tmp)
        expect("then cleared, before the next line", (lines, cleared),
               (line(f"Moved File: {tmp}/Show.S01E01.mkv") + line("Moved 1 files"), True))
        with open(tmp + ".log", "wb") as log:
            log.write(lines)
        undone, cleared = on_terminal(UNDO, tmp + ".log")
        os.remove(tmp + ".log")
        expect("taken back, the same on a terminal", (lines_of(undone)[0], cleared),
               (f"Restored File: {tmp}/Show.S01E01.mkv", True))
        piped = subprocess.run(slow + [PROGRAM, tmp], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, timeout=TIMEOUT, env=no_leak_check)
        expect("through pipes: the same lines, not a byte of progress", (piped.stdout, piped.stderr), (lines, b""))
        shutil.move(os.path.join(other, "Show", "Show.S01E01.mkv"), os.path.join(tmp, "Show.S01E01.mkv"))
        expect("nothing lost", files_under(tmp), before)


@scenario(native_only=True)
def writes_per_line_on_a_device_and_per_block_to_a_file(tmp):
    if not shutil.which("strace"):
        raise Skipped("no strace")
    make(tmp, {f"notes{i:02}.txt": "n" for i in range(20)})  # 20 lines of 26 bytes, then 14
    trace = tmp + ".trace"
    # To a file, blocks of whole lines: a run killed mid-write never leaves half a line.
    for target, wanted in (("/dev/null", [26] * 20 + [14]), (tmp + ".out", [534])):
        with open(target, "wb") as f:
            subprocess.run(["strace", "-o", trace, "-e", "trace=write", "-e", "signal=none",
                            PROGRAM, tmp], stdout=f, timeout=TIMEOUT, check=False,
                           env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # no leak check under ptrace
        with open(trace) as f:
            sizes = [int(l.rsplit("=", 1)[1]) for l in f if l.startswith("write(1,")]
        expect("writes to " + target, sizes, wanted)
    os.remove(trace)
    os.remove(tmp + ".out")


@scenario(native_only=True)
def another_users_episodes_in_a_shared_folder_leave_the_disks_way_as_it_was(tmp):
    # A shared download folder with the sticky bit, as /tmp has it: another
    # user's episodes are refused (EPERM), and that refusal is theirs, not
    # the disk's: the user's own still take the kernel's no-replace rename,
    # with no link and no placeholder, whatever the listing's order.
    if os.geteuid() != 0 or not shutil.which("strace") or not shutil.which("setpriv"):
        raise Skipped("needs root, strace and setpriv")
    shared, trace = os.path.join(tmp, "shared"), tmp + ".trace"
    make(shared, {f"Show.S01E{n:02}.mkv": str(n) for n in range(1, 11)})
    for n in range(1, 11):
        owner = 65533 if n < 6 else 65534
        os.chown(os.path.join(shared, f"Show.S01E{n:02}.mkv"), owner, owner)
    for folder, mode in ((os.path.dirname(tmp), 0o711), (tmp, 0o755), (shared, 0o1777)):
        os.chmod(folder, mode)
    done = subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=renameat2,rename,renameat,linkat,link,openat",
                           "-e", "signal=none", "setpriv", "--reuid=65533", "--regid=65533", "--clear-groups",
                           reachable_copy(PROGRAM), shared], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=TIMEOUT, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    base = shared + "/"
    check_sweep(done.stdout, base, ["Created Folder: " + base + "Show"] +
                [f"Moved File: {base}Show.S01E{n:02}.mkv" for n in range(1, 6)] +
                [f"Move File FAILED: {base}Show.S01E{n:02}.mkv" for n in range(6, 11)], 5)
    with open(trace) as f:
        calls = [l.split(None, 1)[1] for l in f if "tvtidy" in l or "Show" in l]
    os.remove(trace)
    expect("no link, no placeholder for the user's own",
           [c for c in calls if c.startswith(("link", "rename(", "renameat(")) or "O_EXCL" in c], [])
    # (by a full path, or by its name in the folder held open)
    expect("one no-replace rename each",
           sorted(os.path.basename(c.split('"')[1]) for c in calls
                  if c.startswith("renameat2(") and c.rstrip().endswith("= 0")),
           [f"Show.S01E{n:02}.mkv" for n in range(1, 6)])


@scenario(native_only=True)
def fifos_links_and_special_entries_never_hang(tmp):
    make(tmp, {"Real/x": "x", "target.mkv": "t"})
    os.mkfifo(os.path.join(tmp, "Pipe.S01E01.mkv"))
    os.symlink("Real", os.path.join(tmp, "Linked.S01E01.mkv"))     # a link to a folder
    os.symlink("gone", os.path.join(tmp, "Dangling.S01E01.mkv"))
    os.symlink("target.mkv", os.path.join(tmp, "Link.S01E01.mkv"))
    base = tmp + "/"
    out, err, rc = run(tmp)
    expect("rc/err", (rc, err), (1, b""))
    check_sweep(out, base, [
        "Skipped File: target.mkv",
        "Created Folder: " + base + "Pipe", "Moved File: " + base + "Pipe.S01E01.mkv",
        "Created Folder: " + base + "Dangling", "Move File FAILED: " + base + "Dangling.S01E01.mkv",
        "Created Folder: " + base + "Link", "Moved File: " + base + "Link.S01E01.mkv"], 2)
    expect("link moved as a link", os.readlink(os.path.join(tmp, "Link/Link.S01E01.mkv")), "target.mkv")


def copying(folder, size):
    """Whether a copy of the program's own under way there has reached size."""
    for name in listed(folder):
        try:
            if name.startswith(".tvtidy-") and not name.startswith(".tvtidy-old-") and \
                    os.path.getsize(os.path.join(folder, name)) >= size:
                return True
        except FileNotFoundError:
            pass
    return False


@scenario()
def moves_across_volumes_under_wine_keep_every_byte(tmp):
    # The Windows build onto another volume (a show folder linked to tmpfs):
    # a hidden copy takes the episode's name, and the source or an old file
    # goes only while no other program has it open, whatever it shares.
    if not WINE:
        return
    writer_exe = os.path.join(os.path.dirname(PROGRAM), "windows_writer.exe")
    base = tmp + SEP
    with another_file_system() as other:
        os.symlink(other, os.path.join(tmp, "Show"))
        content = os.urandom(3 << 20)
        # Moved, and replacing, byte for byte; a read-only source: the preview
        # says what the run says, and nothing reaches the show folder.
        make(tmp, {"Show.S01E01.mkv": content, "Show.S01E02.mkv": "new", "Show.S01E03.mkv": "read-only"})
        make(other, {"Show.S01E02.mkv": "old"})
        os.chmod(os.path.join(tmp, "Show.S01E03.mkv"), 0o444)
        preview, _, _ = run(tmp, program=PREVIEW)
        out, err, rc = run(tmp)
        os.chmod(os.path.join(tmp, "Show.S01E03.mkv"), 0o644)
        check_sweep(out, base, ["Moved File: " + base + "Show.S01E01.mkv", "Moved File: " + base + "Show.S01E02.mkv",
                                "Move File FAILED: " + base + "Show.S01E03.mkv"], 2)
        expect("the preview, line for line", sorted(as_in_a_run(preview)), sorted(lines_of(out)))
        expect("byte for byte", [open(os.path.join(other, n), "rb").read() for n in sorted(listed(other))],
               [content, b"new"])
        # tvtidy-link leaves its download where it is: a read-only one is
        # refused for the other volume alone, and --copy copies it.
        os.chmod(os.path.join(tmp, "Show.S01E03.mkv"), 0o444)
        linked = [l for l in lines_of(run(tmp, program=LINK)[0]) if "Show.S01E03.mkv" in l]
        expect("a read-only download, another volume", (len(linked), linked[0].endswith(
            "; --copy copies it onto the library's disk)")), (1, True))
        linked = [l for l in lines_of(run(tmp, "--copy", program=LINK)[0]) if "Show.S01E03.mkv" in l]
        expect("and with --copy", linked, [f"Copied File: {base}Show.S01E03.mkv -> {base}Show{SEP}Show.S01E03.mkv"])
        os.chmod(os.path.join(tmp, "Show.S01E03.mkv"), 0o644)
        os.remove(os.path.join(other, "Show.S01E03.mkv"))
        os.remove(os.path.join(tmp, "Show.S01E03.mkv"))
        # A writer that shares everything, as the old file of a replace and as
        # the source of a move: the line says FAILED and every byte it wrote
        # is in its file.
        for row, written in (("old file", os.path.join(other, "Show.S01E04.mkv")),
                             ("source", os.path.join(tmp, "Show.S01E05.mkv"))):
            make(tmp, {"Show.S01E04.mkv": "new"} if row == "old file" else {"Show.S01E05.mkv": "episode\n"})
            make(other, {"Show.S01E04.mkv": "old\n"} if row == "old file" else {})
            stop = tmp + ".stop"
            writer = subprocess.Popen(command(host_path(written), host_path(stop), "200", program=writer_exe),
                                      stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            expect(row + ": writer open", writer.stdout.readline().strip(), b"open")
            out, err, rc = run(tmp)
            open(stop, "w").close()
            blocks = int(writer.communicate(timeout=TIMEOUT)[0])
            os.remove(stop)
            name = os.path.basename(written)
            expect(row + ": line", lines_of(out), [f"Move File FAILED: {base}{name}", "Moved 0 files"])
            expect(row + ": every byte", open(written, "rb").read().count(b"writer"), blocks)
            os.remove(os.path.join(tmp, name))
            for n in listed(other):
                os.remove(os.path.join(other, n))
        # Ctrl-C and a kill in the middle of a large copy that replaces an old
        # file: under the episode's name the old file or the whole episode,
        # never part of one; after Ctrl-C the old file, and nothing hidden.
        big = os.path.join(tmp, "Show.S01E06.mkv")
        with open(big, "wb") as f:
            f.truncate(768 << 20)
        for number in (signal.SIGINT, signal.SIGKILL):
            name = signal.Signals(number).name
            make(other, {"Show.S01E06.mkv": "old"})
            child = subprocess.Popen(command(tmp), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Well into the copy, which stops within a block of its signal.
            deadline = time.monotonic() + TIMEOUT
            while not copying(other, 32 << 20) and time.monotonic() < deadline:
                time.sleep(0.002)
            child.send_signal(number)
            child.wait(timeout=TIMEOUT)
            arrived = os.path.join(other, "Show.S01E06.mkv")
            size = os.path.getsize(arrived) if os.path.exists(arrived) else None
            expect(f"{name}: the old file or the whole episode", size in (3, 768 << 20, None), True)
            expect(f"{name}: the source whole", os.path.getsize(big), 768 << 20)
            if number == signal.SIGINT:
                expect("Ctrl-C: the old file back, nothing hidden", sorted(listed(other)), ["Show.S01E06.mkv"])
                expect("Ctrl-C: the old file", open(arrived, "rb").read(), b"old")
            for n in listed(other):
                os.remove(os.path.join(other, n))


@contextlib.contextmanager
def holder(folder, which, share):
    """A Windows program that opens files there as indexers and players do:
    those present at its start, or each new one as soon as it can (`which`),
    sharing deletion or not. Yields a list that receives the names it held."""
    stop = folder + ".stop-holding"
    exe = os.path.join(os.path.dirname(PROGRAM), "windows_holder.exe")
    child = subprocess.Popen(command(host_path(folder), host_path(stop), which, share, program=exe),
                             stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    expect("holder ready", child.stdout.readline().strip(), b"holding")
    held = []
    try:
        yield held
    finally:
        open(stop, "w").close()
        held.extend(child.communicate(timeout=TIMEOUT)[0].decode().split())
        os.remove(stop)


@scenario()
def files_held_by_other_programs_under_wine_keep_nothing_of_a_failed_move(tmp):
    # Onto another volume, while programs open files as indexers and players
    # do: nothing of the move's own stays, whoever holds what, and the lines
    # are true. A row: what is held where, the line, the show folder's files
    # after, the names the holder of new files got.
    if not WINE:
        return
    base = tmp + SEP
    name = "Show.S01E01.mkv"
    content = os.urandom(1 << 20)
    with another_file_system() as other:
        os.symlink(other, os.path.join(tmp, "Show"))
        rows = (
            # A player holds the source: the copy goes, and no indexer could open it meanwhile.
            ("source held", [(tmp, "present", "nodelete"), (other, "new", "nodelete")],
             f"Move File FAILED: {base}{name}", [], []),
            # An indexer opens each new file as soon as it can: never the hidden copy.
            ("indexer, no delete sharing", [(other, "new", "nodelete")], f"Moved File: {base}{name}", [name], [name]),
            ("indexer, delete sharing", [(other, "new", "delete")], f"Moved File: {base}{name}", [name], [name]),
        )
        for row, holders, wanted, after, got in rows:
            make(tmp, {name: content})
            with contextlib.ExitStack() as stack:
                held = [stack.enter_context(holder(*h)) for h in holders]
                out, err, rc = run(tmp)
            expect(row + ": lines", lines_of(out), [wanted, "Moved 1 files" if after else "Moved 0 files"])
            expect(row + ": nothing hidden, nothing stray", sorted(listed(other)), after)
            expect(row + ": every byte", open(os.path.join(other if after else tmp, name), "rb").read(), content)
            expect(row + ": what the indexer got", held[-1], got)
            expect(row + ": said on standard error", err, b"")
            for folder in (tmp, other):
                if os.path.exists(os.path.join(folder, name)):
                    os.remove(os.path.join(folder, name))
        # Ctrl-C in the middle of a copy: of the copy while an indexer waits
        # for new files (nothing of it stays), and of the copy back where the
        # old file of a replace is held, sharing deletion (the copy back
        # finishes, the old file is back under its name). Nothing hidden stays.
        big = os.path.join(tmp, name)
        with open(big, "wb") as f:
            f.truncate(512 << 20)
        for row, old, held, copying_in, after in (("the copy", {}, (other, "new", "nodelete"), other, []),
                                                  ("the copy back", {name: "old"}, (other, "present", "delete"),
                                                   tmp, [name])):
            make(other, old)
            with holder(*held):
                child = subprocess.Popen(command(tmp), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         stdin=subprocess.DEVNULL)
                deadline = time.monotonic() + TIMEOUT
                while not copying(copying_in, 32 << 20) and time.monotonic() < deadline:
                    time.sleep(0.002)
                child.send_signal(signal.SIGINT)
                out, err = child.communicate(timeout=TIMEOUT)
            expect(f"Ctrl-C in {row}: no line of a move", [l for l in lines_of(out) if "Moved File" in l], [])
            expect(f"Ctrl-C in {row}: the show folder", sorted(listed(other)), after)
            if old:
                expect(f"Ctrl-C in {row}: the old file back", open(os.path.join(other, name), "rb").read(), b"old")
            expect(f"Ctrl-C in {row}: the episode whole", (sorted(listed(tmp)), os.path.getsize(big)),
                   (["Show", name], 512 << 20))


@scenario(native_only=True)
def show_folder_on_another_file_system(tmp):
    with another_file_system() as other:
        content = os.urandom(1 << 20)
        make(tmp, {"Show.S01E01.mkv": content, "Show.S01E02.mkv": "new"})
        make(other, {"Show.S01E02.mkv": "old"})
        os.symlink(other, os.path.join(tmp, "Show"))
        os.mkfifo(os.path.join(tmp, "Show.S01E03.mkv"))  # cannot be copied across
        base = tmp + "/"
        out, err, rc = run(tmp, program=PREVIEW)
        expect("the preview says what the run does", [x for x in lines_of(out) if "S01E03" in x],
               [f"Move File FAILED: {base}Show.S01E03.mkv (Invalid cross-device link)"])
        out, err, rc = run(tmp)
        check_sweep(out, base, ["Moved File: " + base + "Show.S01E01.mkv",
                                "Moved File: " + base + "Show.S01E02.mkv",
                                "Move File FAILED: " + base + "Show.S01E03.mkv"], 2)
        expect("copied byte for byte", open(os.path.join(other, "Show.S01E01.mkv"), "rb").read(), content)
        expect("replaced", open(os.path.join(other, "Show.S01E02.mkv"), "rb").read(), b"new")
        expect("left", sorted(listed(tmp)), ["Show", "Show.S01E03.mkv"])
        expect("other", sorted(listed(other)), ["Show.S01E01.mkv", "Show.S01E02.mkv"])
        # A failed move while an old copy exists: the old copy survives.
        make(other, {"Show.S01E03.mkv": "old copy"})
        out, err, rc = run(tmp)
        expect("old copy kept", (out, open(os.path.join(other, "Show.S01E03.mkv"), "rb").read()),
               (line("Move File FAILED: " + base + "Show.S01E03.mkv") + line("Moved 0 files"), b"old copy"))
        expect("no stray file", sorted(listed(other)), ["Show.S01E01.mkv", "Show.S01E02.mkv", "Show.S01E03.mkv"])
        # A source that cannot be removed after its copy (read-only): the copy
        # goes and the old file is back under its name; nothing stray is left.
        os.remove(os.path.join(tmp, "Show.S01E03.mkv"))
        make(tmp, {"Show.S01E03.mkv": "read-only new"})
        os.chmod(os.path.join(tmp, "Show.S01E03.mkv"), 0o444)
        out, err, rc = run(tmp)
        expect("copy taken back", (out, open(os.path.join(other, "Show.S01E03.mkv"), "rb").read()),
               (line("Move File FAILED: " + base + "Show.S01E03.mkv") + line("Moved 0 files"), b"old copy"))
        expect("nothing stray", (sorted(listed(other)), sorted(listed(tmp))),
               (["Show.S01E01.mkv", "Show.S01E02.mkv", "Show.S01E03.mkv"], ["Show", "Show.S01E03.mkv"]))


@scenario(native_only=True)
def odd_names_are_moved_byte_for_byte(tmp):
    names = [b"Caf\xc3\xa9.S01E01.mkv", b"Bad\xff\xfe.S01E01.mkv", b"New\nLine.S01E01.mkv",
             b"X" * 240 + b".S01E01.mkv", b"show.S01E01.mkv", b"Show.S01E01.mkv"]
    root = tmp.encode()
    for n in names:
        with open(os.path.join(root, n), "wb") as f:
            f.write(n)
    before = files_under(root)
    out, err, rc = run(tmp)
    expect("rc/err", (rc, err), (1, b""))
    expect("summary", out.endswith(b"Moved 6 files\n"), True)
    expect("nothing lost", files_under(root), before)
    expect("in place", os.path.isfile(os.path.join(root, b"Bad\xff\xfe", b"Bad\xff\xfe.S01E01.mkv")), True)
    # No name makes a line of its own, nor drives a terminal, on either
    # stream: each control character is one "?"; the journal keeps the name,
    # and the undo from the folder brings back every name byte for byte.
    lines = out.split(b"\n")[:-1]
    expect("lines of ours alone", [l for l in lines if not l.startswith((b"Created Folder: ", b"Moved File: ",
                                                                         b"Moved 6 files"))], [])
    expect("a line break as ?", b"/New?Line.S01E01.mkv" in out, True)
    expect("the undo", run(tmp, program=UNDO)[2], 0)
    expect("every name back", sorted(n for n in os.listdir(root) if not n.startswith(b".tvtidy.journal")),
           sorted(names))
    forged = tmp + "/x\nMoved File: /etc/passwd\r\x1b]0;owned\x07\x1b[2J"
    out, err, rc = run(forged)
    expect("a forged argument", (out, err, rc), (b"Path not found: " + forged.encode().replace(b"\n", b"?")
                                                  .replace(b"\r", b"?").replace(b"\x1b", b"?").replace(b"\x07", b"?")
                                                  + b"\n",) * 2 + (1,))


@scenario(native_only=True)
def non_blocking_pipe_that_fills_loses_no_line(tmp):
    import fcntl
    import threading
    names = [f"notes{i:05}.txt" for i in range(4000)]  # well over a pipe's 64 KiB
    make(tmp, {n: "" for n in names})
    read_end, write_end = os.pipe()
    flags = fcntl.fcntl(write_end, fcntl.F_GETFL)
    fcntl.fcntl(write_end, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    child = subprocess.Popen(command(tmp), stdout=write_end, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL)
    os.close(write_end)
    time.sleep(0.5)  # let the pipe fill up
    received = []
    reader = threading.Thread(target=lambda: received.append(os.read(read_end, 1 << 30)) or
                              [received.append(c) for c in iter(lambda: os.read(read_end, 65536), b"")])
    reader.start()
    err = child.stderr.read()
    rc = child.wait(timeout=TIMEOUT)
    reader.join(TIMEOUT)
    os.close(read_end)
    expect("rc/err", (rc, err), (1, b""))
    check_sweep(b"".join(received), tmp + "/", ["Skipped File: " + n for n in names], 0)


@scenario(native_only=True)
def sockets_links_to_fifos_and_long_names(tmp):
    import socket
    long_name = "L" * 247 + ".S01E01.mkv"  # 258 bytes is over the limit; 255 is the most
    long_name = long_name[len(long_name) - 255:]
    make(tmp, {long_name: "long"})
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(os.path.join(tmp, "Sock.S01E01.mkv"))
    os.mkfifo(os.path.join(tmp, "fifo"))
    os.symlink("fifo", os.path.join(tmp, "Fifo.S01E02.mkv"))
    base = tmp + "/"
    out, err, rc = run(tmp)
    listener.close()
    show = long_name[:long_name.index(".S01")]
    expect("rc/err", (rc, err), (1, b""))
    check_sweep(out, base, [
        "Skipped File: fifo",
        "Created Folder: " + base + "Sock", "Moved File: " + base + "Sock.S01E01.mkv",
        "Created Folder: " + base + "Fifo", "Moved File: " + base + "Fifo.S01E02.mkv",
        "Created Folder: " + base + show, "Moved File: " + base + long_name], 3)
    expect("socket moved", os.path.exists(os.path.join(tmp, "Sock", "Sock.S01E01.mkv")), True)


@scenario(native_only=True)
def file_size_limit_during_a_copy_keeps_the_source(tmp):
    with another_file_system() as other:
        big = os.urandom(300000)
        make(tmp, {"Show.S01E01.mkv": big, "Show.S01E02.mkv": "small"})
        make(other, {"Show.S01E01.mkv": "old copy"})
        os.symlink(other, os.path.join(tmp, "Show"))
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))
        base = tmp + "/"
        out, err, rc = run(tmp, preexec=limit)
        expect("rc/err", (rc, err), (1, b""))
        check_sweep(out, base, ["Move File FAILED: " + base + "Show.S01E01.mkv",
                                "Moved File: " + base + "Show.S01E02.mkv"], 1)
        expect("source kept", open(os.path.join(tmp, "Show.S01E01.mkv"), "rb").read(), big)
        expect("old copy kept", open(os.path.join(other, "Show.S01E01.mkv"), "rb").read(), b"old copy")
        expect("no partial copy", sorted(listed(other)), ["Show.S01E01.mkv", "Show.S01E02.mkv"])


def on_each_fuse_kind(body):
    """Runs body(kind, mounted folder) on every FUSE kind that can be mounted
    here; the ones that cannot are said, once all the others have passed."""
    skipped = []
    for kind in FUSE_KINDS:
        try:
            with fuse_folder(kind) as root:
                body(kind, root)
        except Skipped as reason:
            skipped.append(str(reason))
    if skipped:
        raise Skipped("; ".join(skipped))


@scenario(native_only=True)
def folders_on_exfat_ntfs_and_mergerfs(tmp):
    def body(kind, root):
        make(root, {"Show.Name.S01E01.mkv": "new1", "Show.Name.S01E02.mkv": "new2",
                    "notes.txt": "n", "Kept Show/Kept.Show.S01E01.mkv": "old",
                    "Kept.Show.S01E01.mkv": "new", "Case Show/case.show.s01e01.mkv": "old case",
                    "Case.Show.S01E01.mkv": "new case", "Busy.Show.S01E01.mkv": "new busy"})
        # A same-named file a download has just created and is still writing
        # (rclone writes it out only once closed) is not replaced.
        os.mkdir(os.path.join(root, "Busy Show"))
        busy = os.open(os.path.join(root, "Busy Show/Busy.Show.S01E01.mkv"), os.O_WRONLY | os.O_CREAT, 0o644)
        base = root + "/"
        try:
            out, err, rc = run(root)
        finally:
            os.write(busy, b"download")
            os.close(busy)
        expect(kind + " rc/err", (rc, err), (1, b""))
        check_sweep(out, base, ["Created Folder: " + base + "Show Name", "Skipped File: notes.txt",
                                "Move File FAILED: " + base + "Busy.Show.S01E01.mkv"] +
                    ["Moved File: " + base + n for n in ("Show.Name.S01E01.mkv", "Show.Name.S01E02.mkv",
                                                         "Kept.Show.S01E01.mkv", "Case.Show.S01E01.mkv")], 4)
        expect(kind + " replaced", open(os.path.join(root, "Kept Show/Kept.Show.S01E01.mkv")).read(), "new")
        expect(kind + " busy file and episode kept",
               [open(os.path.join(root, p)).read() for p in ("Busy Show/Busy.Show.S01E01.mkv",
                                                             "Busy.Show.S01E01.mkv")], ["download", "new busy"])
        os.remove(os.path.join(root, "Busy.Show.S01E01.mkv"))
        # exFAT ignores letter case, as Windows does: one name, replaced.
        case = {"Case.Show.S01E01.mkv": "new case"} if kind in CASELESS_KINDS else \
            {"Case.Show.S01E01.mkv": "new case", "case.show.s01e01.mkv": "old case"}
        expect(kind + " letter case", {n: open(os.path.join(root, "Case Show", n)).read()
                                       for n in listed(os.path.join(root, "Case Show"))}, case)
        expect(kind + " nothing stray", sorted(listed(root)), ["Busy Show", "Case Show", "Kept Show", "Show Name", "notes.txt"])
        # Two episodes whose names differ only in case, in a folder that keeps
        # case: where their show folder (a link to this file system) ignores
        # case, the second replaces the first, and the preview says so.
        twins = tempfile.mkdtemp(prefix="tvtidy-twins-")
        os.mkdir(os.path.join(root, "Twin"))
        os.symlink(os.path.join(root, "Twin"), os.path.join(twins, "Twin"))
        make(twins, {"Twin.S01E01.mkv": "first", "twin.s01e01.mkv": "second"})
        preview, _, _ = run(twins, program=PREVIEW)
        out, _, _ = run(twins)
        expect(kind + " twins: preview line for line", as_in_a_run(preview), lines_of(out))
        expect(kind + " twins: the second replaces the first, as the preview said",
               sum(l.startswith("Would Replace File") for l in lines_of(preview)),
               1 if kind in CASELESS_KINDS else 0)
        shutil.rmtree(twins)
        shutil.rmtree(os.path.join(root, "Twin"))
        # The moves' own unit tests, on this file system: a destination that
        # appears after the checks, set-aside clashes, moves to tmpfs and back.
        # Shares want modes, links and reads while writing for the rest, and
        # fusefat spins for good on a full disk or a removed open file; on
        # rclone, a name taken while a file is moved onto it still runs.
        units = "Relocation.*:Sweep.*:CrossFileSystem.*" + ("-*Link*" if kind in LINKLESS_KINDS else "")
        if kind == "rclone":
            units = "Relocation.AFileWrittenIntoAReservedNameIsKept"
        elif kind in REMOTE_KINDS or kind == "fat32":
            return
        tests = os.path.join(os.path.dirname(PROGRAM), "tvtidy_tests")
        done = subprocess.run([tests, "--gtest_filter=" + units],
                              env=dict(os.environ, TMPDIR=root), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=TIMEOUT * 2)
        expect(kind + " unit tests", (done.returncode, done.stdout[-2000:] if done.returncode else b""), (0, b""))
    on_each_fuse_kind(body)


@scenario(native_only=True)
def moves_onto_exfat_ntfs_and_mergerfs_through_a_linked_show_folder(tmp):
    def body(kind, root):
        for name in listed(tmp):
            path = os.path.join(tmp, name)
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
        big = os.urandom(3 << 20)
        make(tmp, {"Show.S01E01.mkv": big, "Show.S01E02.mkv": "new", "Show.Show.S01E03.mkv": "x"})
        make(root, {"Show/Show.S01E02.mkv": "old"})
        os.symlink(os.path.join(root, "Show"), os.path.join(tmp, "Show"))
        base = tmp + "/"
        out, err, rc = run(tmp)
        expect(kind + " rc/err", (rc, err), (1, b""))
        check_sweep(out, base, ["Moved File: " + base + "Show.S01E01.mkv", "Moved File: " + base +
                                "Show.S01E02.mkv", "Created Folder: " + base + "Show Show",
                                "Moved File: " + base + "Show.Show.S01E03.mkv"], 3)
        expect(kind + " byte for byte", open(os.path.join(root, "Show/Show.S01E01.mkv"), "rb").read(), big)
        expect(kind + " replaced", open(os.path.join(root, "Show/Show.S01E02.mkv"), "rb").read(), b"new")
        expect(kind + " nothing stray", sorted(listed(os.path.join(root, "Show"))),
               ["Show.S01E01.mkv", "Show.S01E02.mkv"])
    on_each_fuse_kind(body)


@scenario(native_only=True)
def pools_and_shares_that_number_by_path_move_or_leave_nothing_of_their_own(tmp):
    # Episodes on one branch of a mergerfs pool and their show folder on the
    # other, or a show folder linked onto a share: each move is a copy, and
    # the copy is found again under its new name, whose number is not the
    # temporary one's. Moved and replaced; an append-only source (its copy
    # made, then its removal refused) leaves the show folder as it was.
    # rclone without its cache reads a copy back only once it is closed.
    skipped = []
    for kind, where in (("mergerfs-default", "branch"), ("mergerfs-path-hash", "branch"),
                        ("mergerfs-default", "linked"), ("sshfs", "linked"), ("rclone-writes", "linked"),
                        ("rclone", "linked from a pool")):
        name = f"{kind}, {where}"
        try:
            with fuse_folder(kind) as root, \
                    (fuse_folder("mergerfs") if where.endswith("pool") else contextlib.nullcontext(tmp)) as source:
                if where == "branch":
                    branches = os.path.dirname(root)
                    on_disk, folder = os.path.join(branches, "b1", "TV"), os.path.join(root, "TV")
                    show_on_disk = os.path.join(branches, "b2", "TV", "Show")
                    os.makedirs(on_disk)
                    os.makedirs(show_on_disk)
                else:
                    folder = os.path.join(source, kind)
                    # A pool's new files are made on its first branch.
                    on_disk = folder if source == tmp else os.path.join(os.path.dirname(source), "b1", kind)
                    show_on_disk = os.path.join(root, "Show")
                    os.makedirs(show_on_disk)
                    os.makedirs(folder)
                    os.symlink(show_on_disk, os.path.join(folder, "Show"))
                make(on_disk, {"Show.S01E01.mkv": "e1", "Show.S01E02.mkv": "new2", "Show.S01E03.mkv": "e3",
                               "Show.S01E04.mkv": "new4"})
                make(show_on_disk, {"Show.S01E02.mkv": "old2", "Show.S01E04.mkv": "old4"})
                stuck = [os.path.join(on_disk, f"Show.S01E0{n}.mkv") for n in (3, 4)]
                if subprocess.run(["chattr", "+a"] + stuck, stderr=subprocess.DEVNULL).returncode != 0:
                    raise Skipped(f"{name}: no append-only files on {on_disk}")
                try:
                    out, err, rc = run(folder)
                finally:
                    subprocess.run(["chattr", "-a"] + stuck)
                base = folder + "/"
                expect(name + ": rc/err", (rc, err), (1, b""))
                check_sweep(out, base, ["Moved File: " + base + "Show.S01E01.mkv",
                                        "Moved File: " + base + "Show.S01E02.mkv",
                                        "Move File FAILED: " + base + "Show.S01E03.mkv",
                                        "Move File FAILED: " + base + "Show.S01E04.mkv"], 2)
                expect(name + ": the show folder", files_under(show_on_disk),
                       collections.Counter({("Show.S01E01.mkv", b"e1"): 1, ("Show.S01E02.mkv", b"new2"): 1,
                                            ("Show.S01E04.mkv", b"old4"): 1}))
                expect(name + ": the episodes that stay", sorted(n for n in listed(on_disk) if n != "Show"),
                       ["Show.S01E03.mkv", "Show.S01E04.mkv"])
        except Skipped as reason:
            skipped.append(str(reason))
    if skipped:
        raise Skipped("; ".join(skipped))


@scenario(native_only=True)
def copies_across_disks_with_a_writer_and_a_signal_racing_them(tmp):
    with another_file_system() as other:
        os.symlink(other, os.path.join(tmp, "Show"))
        source = os.path.join(tmp, "Show.S01E01.mkv")
        make(tmp, {"Show.S01E01.mkv": b"x" * (64 << 20)})
        # A download client still writing: the move fails and every byte stays.
        writer = appender(source)
        try:
            while os.path.getsize(source) == 64 << 20:
                time.sleep(0.001)
            out, err, rc = run(tmp)
        finally:
            writer.kill()
            writer.wait()
        expect("growing file", (out, err, rc),
               (line("Move File FAILED: " + tmp + "/Show.S01E01.mkv") + line("Moved 0 files"), b"", 1))
        with open(source, "rb") as f:
            data = f.read()
        expect("every byte kept", (len(data) > 64 << 20, data.count(b"x"), data.strip(b"x").strip(b"y")),
               (True, 64 << 20, b""))
        expect("nothing at the destination", listed(other), [])
        # Ctrl-C in the middle of a large copy: the temporary file goes, the
        # process ends as SIGINT ends it, and the source stays whole.
        # An old file it replaces is back under its own name.
        make(tmp, {"Show.S01E01.mkv": b"z" * (256 << 20)})
        make(other, {"Show.S01E01.mkv": "old"})
        child = subprocess.Popen(command(tmp), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + TIMEOUT
        while len(listed(other)) < 2 and child.poll() is None and time.time() < deadline:
            time.sleep(0.0005)
        child.send_signal(signal.SIGINT)
        rc = child.wait(timeout=TIMEOUT)
        expect("ended by SIGINT, nothing left", (rc, listed(other)), (-signal.SIGINT, ["Show.S01E01.mkv"]))
        expect("old file back", open(os.path.join(other, "Show.S01E01.mkv"), "rb").read(), b"old")
        expect("source whole", os.path.getsize(source), 256 << 20)
    if os.geteuid() != 0:
        return
    # A download client running as its own user (65534), in a folder shared
    # with the user who runs tvtidy (65533): no lease can tell that the
    # client still writes, and a file it wrote within the last minute stays.
    # The episode on its way to another disk, then an old file being replaced.
    client, user = 65534, 65533
    for row, show_on_other_disk in (("episode", True), ("old file", False)):
        with another_file_system() as other:
            shared = os.path.join(tmp, row.replace(" ", "-"))
            os.mkdir(shared)
            os.chmod(os.path.dirname(tmp), 0o711)  # the test folders' parent, passed through
            for folder in (tmp, shared, other):
                os.chmod(folder, 0o777)
            show = os.path.join(shared, "Show")
            os.symlink(other, show) if show_on_other_disk else os.mkdir(show, 0o777)
            written = os.path.join(shared if row == "episode" else show, "Show.S01E01.mkv")
            make(os.path.dirname(written), {"Show.S01E01.mkv": b"y" * 4096})
            os.chown(written, client, client)
            os.chmod(written, 0o666)
            if row == "old file":
                make(shared, {"Show.S01E01.mkv": b"new"})
                os.chown(os.path.join(shared, "Show.S01E01.mkv"), user, user)
            # It holds the file open, quiet while tvtidy runs, and writes on.
            writer = subprocess.Popen(["/usr/bin/python3", "-c", "import sys\n"
                                       "with open(sys.argv[1], 'ab', buffering=0) as f:\n"
                                       "    f.write(b'y' * 4096); print(flush=True); sys.stdin.readline()\n"
                                       "    f.write(b'y' * 4096)", written],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=as_user(client))
            try:
                writer.stdout.readline()
                out, err, rc = run(shared, user=user)
            finally:
                writer.communicate(b"on\n", timeout=TIMEOUT)
            expect(f"{row} of another user: lines", (out, rc),
                   (line(f"Move File FAILED: {shared}/Show.S01E01.mkv") + line("Moved 0 files"), 1))
            kept = [n for (n, c) in files_under(shared) if isinstance(c, bytes) and c.startswith(b"y")]
            expect(f"{row} of another user: every byte kept where it was",
                   (open(written, "rb").read().strip(b"y"), os.path.getsize(written), len(kept)),
                   (b"", 3 * 4096, 1))


@scenario(native_only=True)
def a_newer_version_renamed_over_the_source_during_a_copy_is_never_removed(tmp):
    # A downloader renames a finished newer version over the episode at a
    # random moment of its move to another disk: whatever the timing, the
    # newer version survives somewhere (under its name, or moved).
    import random
    with another_file_system() as other:
        os.symlink(other, os.path.join(tmp, "Show"))
        source = os.path.join(tmp, "Show.S01E01.mkv")
        for round in range(40):
            for name in listed(other):
                os.remove(os.path.join(other, name))
            make(tmp, {"Show.S01E01.mkv": b"old" * (4 << 20), ".newer": f"newer {round}".encode() * 1000})
            racer = subprocess.Popen([sys.executable, "-c", "import os, sys, time\n"
                                      "print(flush=True); sys.stdin.readline()\n"
                                      "time.sleep(float(sys.argv[3])); os.rename(sys.argv[1], sys.argv[2])",
                                      os.path.join(tmp, ".newer"), source, str(random.uniform(0, 0.03))],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            racer.stdout.readline()  # started: the rename lands at a random moment of the move
            racer.stdin.write(b"go\n")
            racer.stdin.flush()
            out, err, rc = run(tmp)
            racer.wait(timeout=TIMEOUT)
            kept = [n for d in (tmp, other) for n, c in files_under(d) if c == f"newer {round}".encode() * 1000]
            expect(f"round {round}: the newer version kept", len(kept), 1)
            expect(f"round {round}: nothing hidden left", [n for n in listed(other) + listed(tmp)
                                                          if n.startswith(".tvtidy")], [])


@scenario(native_only=True)
def a_hundred_thousand_files(tmp):
    names = []
    for i in range(100000):
        if i % 100 == 0:
            names.append(f"sample{i}.nfo")
        else:
            names.append(f"Show.{i % 3000:04}.S{1 + i % 9:02}E{i % 97:02}.{i}.1080p.WEB-DL.mkv")
    for n in names:
        open(os.path.join(tmp, n), "wb").close()
    out, err, rc = run(tmp)
    expect("rc/err", (rc, err), (1, b""))
    got = lines_of(out)
    moved = sum(1 for l in got if l.startswith("Moved File: "))
    shows = {n.split(".S0")[0].replace(".", " ") for n in names if n.endswith(".mkv")}
    created = sum(1 for l in got if l.startswith("Created Folder: "))
    expect("counts", (len(got), created, moved, got[-1]),
           (100000 + len(shows) + 1, len(shows), 99000, "Moved 99000 files"))
    expect("every line once", len(set(got)), len(got))
    expect("all accounted for", sum(len([n for n in f if not journal(n)]) for _, _, f in os.walk(tmp)), 100000)


class MountFailed(Exception):
    """A mounted file system failed before the program ran: its daemon's fault."""


def conserved(folder, shows, nofile, seed):
    """tvtidy on a folder of `shows` show folders' new episodes, some show
    folders holding an older file of the same name (spread through the
    listing), at that open-file limit: what is wrong afterwards, or None.
    Every content is still somewhere (a replaced old file aside), a `Moved
    File` episode is whole in its show folder and gone from the top, any other
    stays with the old file it would have replaced, and no empty file or
    hidden name of the run's is left."""
    import random
    rng = random.Random(seed)
    base = os.path.join(folder, "tv")
    entries, old = {}, {}
    for n in range(shows):
        show = f"Show{n:04d}"
        for e in range(1, 1 + rng.choice((1, 1, 2))):
            name = f"{show}.S01E0{e}.mkv"
            entries[name] = f"new {name}"
            roll = rng.random()
            if roll < 0.3:
                old[name] = entries[f"{show}/{name}"] = f"old {name}"
            elif roll < 0.5:
                entries[show] = None
    try:
        make(base, entries)
        before = files_under(base)
    except OSError as error:  # the mount's, before any run
        raise MountFailed(f"could not lay out the folder: {error}") from error
    # The sanitizers' own checks take a pipe now and then: two more for them.
    nofile = nofile and nofile + (2 if "asan" in PROGRAM else 0)
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile)) if nofile else None
    out, err, rc = run(base, preexec=limit)
    moved = {l[len("Moved File: ") + len(base) + 1:] for l in lines_of(out) if l.startswith("Moved File: ")}
    after = files_under(base)
    problems = []
    for (name, content), count in before.items():
        replaced = content.startswith(b"old ") and name in moved
        if not replaced and after[(name, content)] < count:
            problems.append(f"lost {name}: {content!r}")
    for name in (n for n in entries if "/" not in n and entries[n] is not None):
        show_file = os.path.join(base, name.split(".")[0], name)
        top = os.path.join(base, name)
        if name in moved:
            if os.path.exists(top) or not os.path.isfile(show_file) or open(show_file).read() != entries[name]:
                problems.append(f"Moved File said, but {name} is not whole in its show folder alone")
        elif not os.path.isfile(top) or (name in old and open(show_file).read() != old[name]):
            problems.append(f"{name} neither moved nor left as it was")
    for where, _, names in os.walk(base):
        for name in names:
            if name.startswith(".tvtidy-") or os.path.getsize(os.path.join(where, name)) == 0:
                problems.append(f"left: {os.path.join(where, name)}")
    if rc != 1 or f"Moved {len(moved)} files".encode() not in out:
        problems.append(f"status {rc}, or a count that is not the lines': {out[-60:]!r} {err[-200:]!r}")
    return "; ".join(problems[:5]) or None


@scenario(native_only=True)
def nothing_lost_past_the_held_folders_limit(tmp):
    # More show folders than the run holds open, at low open-file limits:
    # every folder a move uses stays its own, on every way of taking a name
    # (exFAT and sshfs without links take the placeholder).
    # Every file system mounted here; the placeholder's at three limits, and
    # rclone without its cache (a round trip per call, seconds per file) smaller.
    # TVTIDY_CONSERVE_SHOWS: a larger scale (tests/longer).
    scale = int(os.environ.get("TVTIDY_CONSERVE_SHOWS", "300"))
    cases = [(kind, scale, None) for kind in ("local", "tmpfs", "sshfs-nolinks") + FUSE_KINDS if kind != "rclone"]
    cases += [(kind, scale * 2 // 5, nofile) for kind in ("local", "tmpfs", "exfat", "sshfs-nolinks")
              for nofile in (8, 20)]
    cases += [(kind, scale // 5, 8) for kind in FUSE_KINDS if kind not in ("exfat", "rclone")]
    cases += [("rclone", scale // 5, 8)] if "rclone" in FUSE_KINDS else []
    # About a second a file through fusefat: a dozen shows, more than it holds.
    cases = [(kind, 12, 20) if kind == "fat32" else (kind, shows, nofile) for kind, shows, nofile in cases
             if kind != "fat32" or nofile == 8]
    skipped = []
    # A share's daemon that cannot read back a file it lists (rclone's write
    # cache, on a busy machine), or any mount that fails before the run, is
    # its fault, not the run's: the case is said and tried on a fresh mount,
    # three times at most. What the run lost or left is never retried.
    attempts = [(number, case, 1) for number, case in enumerate(cases)]
    while attempts:
        number, (kind, shows, nofile), tries = attempts.pop(0)
        try:
            with (contextlib.nullcontext(tmp) if kind == "local" else another_file_system() if kind == "tmpfs"
                  else fuse_folder(kind)) as root:
                folder = os.path.join(root, f"c{number}-{tries}")
                try:
                    try:
                        os.mkdir(folder)
                    except OSError as error:
                        raise MountFailed(f"could not make {folder}: {error}") from error
                    problem = conserved(folder, shows, nofile, seed=number)
                except MountFailed as failed:  # any kind: on a fresh mount, then said with its kind
                    if tries < 3:
                        print(f"  {kind}: the mount failed before the run ({failed}); once more")
                        attempts.insert(0, (number, (kind, shows, nofile), tries + 1))
                        continue
                    raise Failure(f"{kind}, {shows} shows, open-file limit {nofile}: {failed}")
                except OSError as error:  # name the file system, and where
                    import traceback
                    where = traceback.extract_tb(error.__traceback__)[-1]
                    problem = f"{error} at line {where.lineno}: {where.line}"
                    if kind in REMOTE_KINDS and tries < 3:
                        print(f"  {kind}: its daemon could not read back what it lists ({error}); once more")
                        attempts.insert(0, (number, (kind, shows, nofile), tries + 1))
                        continue
                if problem:
                    raise Failure(f"{kind}, {shows} shows, open-file limit {nofile}: {problem}")
                shutil.rmtree(folder)
        except Skipped as reason:
            skipped.append(str(reason))
    if skipped:
        raise Skipped("; ".join(sorted(set(skipped))))


@scenario()
def what_a_stopped_run_left_the_next_run_finishes(tmp):
    # What a stopped run recorded in its journal as under way is finished or
    # unwound, by what was recorded; a file that merely looks like one of
    # ours is the user's and stays. The preview says the same and changes
    # nothing; a second run has nothing left to do.
    tv = os.path.join(tmp, "tv")
    s = tv + SEP + "Show" + SEP
    mine = {"Show/.tvtidy-old-abc123-Show.S01E07.mkv": "mine", "Show/.tvtidy-qwerty": "mine too",
            ".tvtidy-gone-asdfgh": "and this"}
    make(tv, dict(mine, **{
        "Show.S01E01.mkv": "new 1", "Show/.tvtidy-old-aaaaaa-Show.S01E02.mkv": "old 2",
        "Show/.tvtidy-old-bbbbbb-Show.S01E03.mkv": "old 3", "Show/Show.S01E03.mkv": "new 3",
        "Show/.tvtidy-old-cccccc-Show.S01E04.mkv": "old 4", "Show/Show.S01E04.mkv": "new 4",
        "Show/.tvtidy-old-dddddd-Show.S01E05.mkv": "old 5",
        "Show/.tvtidy-eeeeee": "half a cop", "Show.S01E06.mkv": "six",
        ".tvtidy-gone-ffffff": "eight", "Show/Show.S01E08.mkv": "eight",
        "Show/Show.S01E10.mkv": "", "Show.S01E10.mkv": "ten"}))
    r = lambda *parts: SEP.join(parts)
    records = [("run", "tvtidy"),
               ("aside", r("Show", ".tvtidy-old-aaaaaa-Show.S01E02.mkv"), r("Show", "Show.S01E02.mkv"), "", "0"),
               ("aside", r("Show", ".tvtidy-old-bbbbbb-Show.S01E03.mkv"), r("Show", "Show.S01E03.mkv"), "", "0"),
               ("aside", r("Show", ".tvtidy-old-cccccc-Show.S01E04.mkv"), r("Show", "Show.S01E04.mkv"), "", "0"),
               ("arrived", r("Show", ".tvtidy-old-cccccc-Show.S01E04.mkv")),
               # The episode moved in, then deleted by the user: its old version stays gone.
               ("aside", r("Show", ".tvtidy-old-dddddd-Show.S01E05.mkv"), r("Show", "Show.S01E05.mkv"), "", "0"),
               ("arrived", r("Show", ".tvtidy-old-dddddd-Show.S01E05.mkv")),
               ("copy", r("Show", ".tvtidy-eeeeee"), "Show.S01E06.mkv"),
               ("gone", ".tvtidy-gone-ffffff", "Show.S01E08.mkv", r("Show", "Show.S01E08.mkv")),
               ("placeholder", r("Show", "Show.S01E10.mkv"), "Show.S01E10.mkv"),
               ("aside", r("Show", ".tvtidy-old-zzzzzz-Show.S01E11.mkv"), r("Show", "Show.S01E11.mkv"), "", "0"),
               ("moved", "Show.S01E12.mkv", r("Show", "Show.S01E12.mkv"))]
    with open(os.path.join(tv, ".tvtidy.journal"), "wb") as f:
        f.write("".join("\t".join(record) + "\n" for record in records).encode() + b"aside\tShow")  # cut by a kill
    notices = ["put back old file: " + s + "Show.S01E02.mkv (set aside by a run that was stopped)",
               f"Old file kept as: {s}.tvtidy-old-bbbbbb-Show.S01E03.mkv (5 bytes, left by a run that was stopped; "
               "a file of its name is there)",
               "finish replace: " + s + "Show.S01E04.mkv (its old file, set aside by a run that was stopped, goes)",
               "finish replace: " + s + "Show.S01E05.mkv (its old file, set aside by a run that was stopped, goes)"]
    as_run = {"put back old file": "Old file put back", "finish replace": "Finished replace"}
    before = snapshot(tv)
    out, err, rc = run(tv, program=PREVIEW)
    expect("the preview", sorted(lines_of(err)), sorted(n if n[0].isupper() else "Would " + n for n in notices))
    preview = out
    moved = [f"{tv}{SEP}Show.S01E{n:02}.mkv" for n in (1, 6, 10)]
    expect("the preview changes nothing", snapshot(tv), before)
    out, err, rc = run(tv)
    expect("the run's lines", (sorted(lines_of(out)), sorted(as_in_a_run(preview))),
           (sorted(["Moved File: " + m for m in moved] + ["Skipped File: .tvtidy-gone-asdfgh", "Moved 3 files"]),) * 2)
    expect("the run", sorted(lines_of(err)), sorted(
        n if n[0].isupper() else next(v for k, v in as_run.items() if n.startswith(k)) + n[len(
            next(k for k in as_run if n.startswith(k))):] for n in notices))
    expect("the folder", files_under(tv), collections.Counter({
        (os.path.basename(k), v.encode()): 1 for k, v in mine.items()}) + collections.Counter({
        ("Show.S01E01.mkv", b"new 1"): 1, ("Show.S01E02.mkv", b"old 2"): 1, ("Show.S01E03.mkv", b"new 3"): 1,
        (".tvtidy-old-bbbbbb-Show.S01E03.mkv", b"old 3"): 1, ("Show.S01E04.mkv", b"new 4"): 1,
        ("Show.S01E06.mkv", b"six"): 1, ("Show.S01E08.mkv", b"eight"): 1, ("Show.S01E10.mkv", b"ten"): 1}))
    # The kept one is said again; nothing else is left to do.
    after = files_under(tv)
    out, err, rc = run(tv)
    expect("a second run", (lines_of(out), lines_of(err), files_under(tv) - after), (["Skipped File: .tvtidy-gone-asdfgh", "Moved 0 files"], notices[1:2], collections.Counter()))
    # Killed at random moments, then run to the end; and two runs started at
    # once: nothing lost, no empty file, nothing hidden left, and every line
    # true. Across disks the show folders lead to another file system.
    if WINE:
        return
    # Past its size the journal starts anew, what is still open carried over.
    with open(os.path.join(tv, ".tvtidy.journal"), "ab") as f:
        f.write(b"moved\tShow.S09E09.mkv\tShow/Show.S09E09.mkv\n" * 400_000)
    out, err, rc = run(tv)
    with open(os.path.join(tv, ".tvtidy.journal"), "rb") as f:
        anew = f.read()
    expect("a journal past 16 MiB", (os.path.getsize(os.path.join(tv, ".tvtidy.journal.1")) > 16 << 20,
                                     len(anew) < 4096, b".tvtidy-old-bbbbbb" in anew, lines_of(err)),
           (True, True, True, notices[1:2]))
    import random
    rng = random.Random(7)

    def layout(base, shows):
        entries = {}
        for n in range(40):
            entries[f"Sh{n:02d}.S01E01.mkv"] = f"new {n}"
            if n % 2:
                entries[f"Sh{n:02d}/Sh{n:02d}.S01E01.mkv"] = f"old {n}"
        make(base, {k: v for k, v in entries.items() if SEP not in k})
        make(shows, {k: v for k, v in entries.items() if SEP in k})
        for n in range(40):
            os.makedirs(os.path.join(shows, f"Sh{n:02d}"), exist_ok=True)
            if shows != base:
                os.symlink(os.path.join(shows, f"Sh{n:02d}"), os.path.join(base, f"Sh{n:02d}"))

    def check(what, roots, before):
        after = sum((files_under(root) for root in roots), collections.Counter())
        for root in roots:
            for where, _, names in os.walk(root):
                for name in names:
                    path = os.path.join(where, name)
                    if name.startswith(".tvtidy-") or os.path.getsize(path) == 0:
                        raise Failure(f"{what}: left {path}")
        lost = [f for f in before if isinstance(f[1], bytes) and f[1].startswith(b"new") and after[f] == 0]
        if lost:
            raise Failure(f"{what}: lost {lost}")

    for kind in ("local", "exfat", "sshfs-nolinks", "across"):
        try:
            with (contextlib.nullcontext(tmp) if kind in ("local", "across") else fuse_folder(kind)) as root, \
                    (another_file_system() if kind == "across" else contextlib.nullcontext(None)) as other:
                for round_ in range(int(os.environ.get("TVTIDY_KILL_ROUNDS", "6"))):
                    base = os.path.join(root, f"{kind}{round_}")
                    shows = os.path.join(other, f"k{round_}") if other else base
                    layout(base, shows)
                    before = files_under(base) + (files_under(shows) if other else collections.Counter())
                    # Every third round the run goes to the end, and its undo from the log is killed.
                    log = os.path.join(root, f"{kind}{round_}.log")
                    if round_ % 3 == 2:
                        with open(log, "wb") as f:
                            f.write(run(base)[0])
                    runner = subprocess.Popen(command(log, program=UNDO) if round_ % 3 == 2 else command(base),
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    time.sleep(rng.uniform(0, 0.03 if kind != "across" else 0.1))
                    runner.kill()
                    runner.wait()
                    # Run again to the end, or taken back from the journal or the log.
                    rc = run(log if round_ % 3 == 2 else base, program=UNDO if round_ % 3 else PROGRAM)[2]
                    # 2: killed before any move. From a log (every third round), an undo killed
                    # between a copy back taking its name and the original's removal leaves both,
                    # whole: the second one says FAILED for that file (1), and loses nothing.
                    if round_ % 3:
                        expect(f"{kind}, round {round_}: the undo", rc in ((0, 1, 2) if round_ % 3 == 2 else (0, 2)), True)
                    check(f"{kind}, round {round_}", {base, shows}, before)
                # Two runs at once: one waits its turn, and between them
                # every episode is moved once, each line true.
                base = os.path.join(root, f"{kind}-both")
                shows = os.path.join(other, "both") if other else base
                layout(base, shows)
                before = files_under(base) + (files_under(shows) if other else collections.Counter())
                runners = [subprocess.Popen(command(base), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                           for _ in range(2)]
                outs = [r.communicate(timeout=TIMEOUT)[0] for r in runners]
                said = sorted(l for out in outs for l in lines_of(out) if not re.match(r"Moved \d+ files$", l))
                expect(f"{kind}, two runs at once", said, sorted(f"Moved File: {base}/Sh{n:02d}.S01E01.mkv"
                                                                 for n in range(40)))
                check(f"{kind}, two runs at once", {base, shows}, before)
        except Skipped:
            pass
    # tvtidy-link --copy killed while it fills a library on exFAT (through
    # placeholders), then run again: every episode whole there, nothing
    # hidden or empty left, the downloads as they were.
    try:
        with fuse_folder("exfat") as root:
            downloads = os.path.join(tmp, "dl")
            make(downloads, {f"Sh{n:02d}.S01E01.mkv": os.urandom(200_000) for n in range(30)})
            before = files_under(downloads)
            for round_ in range(int(os.environ.get("TVTIDY_KILL_ROUNDS", "6"))):
                library = os.path.join(root, f"lib{round_}")
                runner = subprocess.Popen(command(downloads, library, "--copy", program=LINK),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(rng.uniform(0, 0.2))
                runner.kill()
                runner.wait()
                # Run again to the end, or the copies taken back from the library's journal.
                if round_ % 2:
                    run(library, program=UNDO)
                else:
                    run(downloads, library, "--copy", program=LINK)
                check(f"exfat, --copy round {round_}", {library}, collections.Counter())
                copied = {name: content for (name, content) in files_under(library)}
                downloaded = {name: content for (name, content) in before}
                # Taken back, what is left (a copy killed before its record) is whole.
                wanted = {n: c for n, c in copied.items() if downloaded.get(n) == c} if round_ % 2 else downloaded
                expect(f"exfat, --copy round {round_}: the library", (copied, files_under(downloads)), (wanted, before))
                shutil.rmtree(library, ignore_errors=True)
    except Skipped:
        pass


@scenario(native_only=True)
def an_ending_signal_leaves_a_whole_line_for_everything_done(tmp):
    """SIGTERM at several moments of a run of thousands of files, output to
    a file: a whole line for every move, link and folder made, and no other."""
    names = [f"Show.{i % 400:03}.S01E{i % 90:02}.{i}.mkv" for i in range(12000)]
    log = tmp + ".log"
    # The moment: once the log holds that many bytes (0: at once).
    for program, written in ((PROGRAM, 0), (PROGRAM, 300), (PROGRAM, 60000), (LINK, 1), (LINK, 40000),
                             (LINK, 300000)):
        shutil.rmtree(tmp)
        os.mkdir(tmp)
        for n in names:
            open(os.path.join(tmp, n), "wb").close()
        with open(log, "wb") as out:
            child = subprocess.Popen(command(tmp, program=program), stdout=out, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL)
            deadline = time.monotonic() + TIMEOUT
            while os.path.getsize(log) < written and child.poll() is None and time.monotonic() < deadline:
                time.sleep(0.0005)
            child.send_signal(signal.SIGTERM)
            rc = child.wait(timeout=TIMEOUT)
        at = f"{os.path.basename(program)} after {written} bytes"
        data = open(log, "rb").read()
        os.remove(log)
        expect(at + ": ended by the signal or done", rc in (-signal.SIGTERM, 0, 1), True)
        expect(at + ": no line cut", data == b"" or data.endswith(EOL), True)
        got = lines_of(data)
        shows = {d for d in listed(tmp) if os.path.isdir(os.path.join(tmp, d))}
        expect(at + ": a line per folder made", sorted(l for l in got if l.startswith("Created Folder: ")),
               sorted(f"Created Folder: {tmp}/{d}" for d in shows))
        if program == PROGRAM:
            done = {f"Moved File: {tmp}/{n}" for n in names if not os.path.exists(os.path.join(tmp, n))}
        else:
            done = {f"Linked File: {tmp}/{n} -> {tmp}/{n.split('.S01')[0].replace('.', ' ')}/{n}"
                    for n in names if os.stat(os.path.join(tmp, n)).st_nlink == 2}
        expect(at + ": a line per file done", {l for l in got if not l.startswith("Created Folder: ")} - {
               f"Moved {len(done)} files", f"Linked {len(done)} files"}, done)


@scenario(native_only=True)
def valgrind_finds_no_error_and_no_leak(tmp):
    if not shutil.which("valgrind") or "asan" in PROGRAM:
        raise Skipped("no valgrind, or a program built with ASan")
    make(tmp, {"Show.S01E01.mkv": "1", "Show Name/Show.Name.S01E01.mkv": "old",
               "Show.Name.S01E01.mkv": "new", "notes.txt": "n", "Blocked": "f", "Blocked.S01E01.mkv": "b"})
    done = subprocess.run(["valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                           "--errors-for-leak-kinds=definite,indirect", PROGRAM, tmp],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT * 5)
    expect("valgrind", (done.returncode, done.stderr), (1, b""))



LINK = os.path.join(os.path.dirname(PROGRAM), "tvtidy-link" + (".exe" if WINE else ""))


def inode(path):
    return os.lstat(path).st_ino


@scenario()
def link_gives_each_episode_a_second_name_and_moves_nothing(tmp):
    clean, failing = os.path.join(tmp, "clean"), os.path.join(tmp, "failing")
    make(clean, {"New.Show.S01E01.mkv": "n1", "new.show.s01e02.mkv": "n2", "Kept/x.txt": "x",
                 "kept.S01E01.mkv": "k", "Fixed.S01E01.mkv": "read-only", "notes.txt": "n",
                 "Blade.Runner.2049.2017.1080p.mkv": "f", "Show.Behind.the.Scenes.mkv": "x", "holiday.mp4": "h"})
    os.chmod(os.path.join(clean, "Fixed.S01E01.mkv"), 0o444)
    make(failing, {"Same/Same.S01E01.mkv": "different", "Same.S01E01.mkv": "s", "Blocked": "a file",
                   "Blocked.S01E01.mkv": "b"})
    if not WINE:
        os.symlink("notes.txt", os.path.join(clean, "Lnk.S01E01.mkv"))
        os.symlink("Kept", os.path.join(clean, "Dir"))
    originals = {n: snapshot(clean)[n] for n in listed(clean) if not os.path.isdir(os.path.join(clean, n))}
    b, s = host_path(clean) + SEP, SEP
    wanted = ["Created Folder: {b}New Show", "Linked File: {b}New.Show.S01E01.mkv -> {b}New Show{s}New.Show.S01E01.mkv",
              "Linked File: {b}new.show.s01e02.mkv -> {b}New Show{s}new.show.s01e02.mkv",
              "Linked File: {b}kept.S01E01.mkv -> {b}Kept{s}kept.S01E01.mkv", "Created Folder: {b}Fixed",
              "Linked File: {b}Fixed.S01E01.mkv -> {b}Fixed{s}Fixed.S01E01.mkv", "Skipped File: notes.txt (not a video file)",
              "Skipped File: Blade.Runner.2049.2017.1080p.mkv (a film)", "Skipped File: Show.Behind.the.Scenes.mkv (an extra)",
              "Skipped File: holiday.mp4 (not an episode's name)"]
    if not WINE:
        # A symbolic link: the file it leads to, never a link that leads nowhere from the show folder.
        wanted += ["Created Folder: {b}Lnk",
                   "Linked File: {b}Lnk.S01E01.mkv -> {b}Lnk{s}Lnk.S01E01.mkv (the file the link leads to: {b}notes.txt)"]
    out, err, rc = run(host_path(clean), program=LINK)
    got = lines_of(out)
    expect("clean rc/err", (rc, err), (0, b""))
    expect("clean lines", sorted(got[:-1]), sorted(w.format(b=b, s=s) for w in wanted))
    linked = sum(w.startswith("Linked File: ") for w in wanted)
    expect("clean summary", got[-1], f"Linked {linked} files")
    expect("originals untouched", {n: snapshot(clean)[n] for n in originals}, originals)
    for folder, name in (("New Show", "New.Show.S01E01.mkv"), ("Kept", "kept.S01E01.mkv"), ("Fixed", "Fixed.S01E01.mkv")):
        expect("one file, two names: " + name, inode(os.path.join(clean, folder, name)), inode(os.path.join(clean, name)))
    # Again: every episode is already linked, and nothing fails.
    out, err, rc = run(host_path(clean), program=LINK)
    expect("again rc/err", (rc, err), (0, b""))
    expect("again", sorted(l for l in lines_of(out) if not l.startswith("Skipped")),
           sorted([f"Already Linked: {b}{n}" for n in sorted(listed(clean)) if ".s01e0" in n.lower()] + ["Linked 0 files"]))

    # The preview of tvtidy on a linked folder: each replace takes away a name
    # only (the read-only episode's own link stands in the way of its move).
    out, err, rc = run(host_path(clean), program=PREVIEW)
    # (The symbolic link's show folder holds the file it leads to, not the link.)
    replaces = [l for l in lines_of(out) if l.startswith("Would Replace File: ") and "Lnk.S01E01" not in l]
    expect("preview after linking", (len(replaces), all(l.endswith(" (already a link of this very file)")
                                                        for l in replaces)), (linked - (1 if WINE else 2), True))

    b = host_path(failing) + SEP
    out, err, rc = run(host_path(failing), program=LINK)
    expect("failing rc/err", (rc, err), (1, b""))
    expect("failing lines", sorted(lines_of(out)), sorted([
        f"Link File FAILED: {b}Same.S01E01.mkv (a different file of that name is in the show folder)",
        f"Create Folder FAILED: {b}Blocked (a file of that name is in the way)", "Skipped File: Blocked (not a video file)",
        "Linked 0 files"]))
    expect("the different file stays", open(os.path.join(failing, "Same/Same.S01E01.mkv")).read(), "different")

    # A download folder with a season pack (its Sample folder and sample clip
    # left out), an old show folder, and a library of its own.
    downloads, library = os.path.join(tmp, "downloads"), os.path.join(tmp, "library")
    make(downloads, {"Show.Name.S01E01.mkv": "1", "Show.Name.S02.720p/Show.Name.S02E01.mkv": "p1",
                     "Show.Name.S02.720p/Show.Name.S02E02.mkv": "p2", "Show.Name.S02.720p/readme.txt": "r",
                     "Show.Name.S02.720p/show.name.s02e01.sample.mkv": "clip",
                     "Show.Name.S02.720p/Sample/Show.Name.S02E01.mkv": "clip", "Old Show/Old.Show.S01E01.mkv": "o",
                     "Show.Name.S01E01.en.forced.srt": "s", "Other.S01E01.srt": "no such episode",
                     "Show.Name.S02.720p/Subs/Show.Name.S02E01.srt": "s1",
                     "Show.Name.S02.720p/Subs/Other.S09E09.srt": "of no episode here",
                     **{f"Show.Name.S02.720p/Show.Name.S02E0{e}.{tag}.srt": tag for e in (1, 2)
                        for tag in ("en", "en.forced", "de", "pt-BR")}})
    os.mkdir(library)
    d, l, pack = host_path(downloads) + SEP, host_path(library) + SEP, host_path(downloads) + SEP + "Show.Name.S02.720p" + SEP
    # Subtitles follow their episode, language tags and a Subs folder included.
    links = [("Show.Name.S01E01.mkv", d), ("Show.Name.S02E01.mkv", pack), ("Show.Name.S02E02.mkv", pack),
             ("Show.Name.S01E01.en.forced.srt", d), ("Show.Name.S02E01.srt", pack + "Subs" + SEP)] + [
             (f"Show.Name.S02E0{e}.{tag}.srt", pack) for e in (1, 2) for tag in ("en", "en.forced", "de", "pt-BR")]
    out, err, rc = run(host_path(downloads), host_path(library), program=LINK)
    p = "Show.Name.S02.720p" + SEP  # what is skipped is named below the download folder
    expect("library", (sorted(lines_of(out)), rc, err), (sorted(
        [f"Created Folder: {l}Show Name", f"Skipped File: {p}readme.txt (not a video file)",
         f"Skipped File: {p}show.name.s02e01.sample.mkv (a sample clip)", f"Skipped Folder: {p}Sample (sample clips)",
         "Skipped File: Other.S01E01.srt", f"Skipped File: {p}Subs{SEP}Other.S09E09.srt", f"Linked {len(links)} files"] +
        [f"Linked File: {at}{n} -> {l}Show Name{SEP}{n}" for n, at in links]), 0, b""))
    expect("one file, two names", [inode(os.path.join(library, "Show Name", n)) for n, _ in links],
           [inode(os.path.join(downloads, at[len(d):].replace(SEP, "/"), n)) for n, at in links])
    out, err, rc = run(host_path(downloads), host_path(library), program=LINK)
    expect("library again", (sorted(l for l in lines_of(out) if l.startswith("Already")), rc),
           (sorted(f"Already Linked: {at}{n}" for n, at in links), 0))
    # A single-file torrent's own file as SOURCE: that episode and its subtitles alone.
    single, shelf = os.path.join(tmp, "single"), os.path.join(tmp, "shelf")
    make(single, {"One.S01E01.mkv": "1", "One.S01E01.en.srt": "s", "One.S01E02.mkv": "not this one",
                  "One.S01E01.720p.mkv": "another release", "One.S01E01.mp4": "another file",
                  "One.S01E01.720p.srt": "the other release's"})
    os.mkdir(shelf)
    si, sh = host_path(single) + SEP, host_path(shelf) + SEP
    out, err, rc = run(si + "One.S01E01.mkv", host_path(shelf), program=LINK)
    expect("one file", (sorted(lines_of(out)), rc), (sorted(
        [f"Created Folder: {sh}One", "Linked 2 files"] +
        [f"Linked File: {si}{n} -> {sh}One{SEP}{n}" for n in ("One.S01E01.mkv", "One.S01E01.en.srt")]), 0))
    # A library inside the download folder is no torrent's folder.
    inside = os.path.join(downloads, "library")
    make(inside, {"Loose.S02E03.mkv": "already in the library", "notes.txt": "n"})
    out, err, rc = run(host_path(downloads), host_path(inside), program=LINK)
    expect("library inside", ([x for x in lines_of(out) if "library" + SEP + "Loose" in x or "(the library)" in x], rc),
           ([f"Skipped Folder: library (the library)"], 0))
    # A show folder that leads back to the download folder links nothing onto itself.
    if not WINE:
        back, shelf2 = os.path.join(tmp, "back"), os.path.join(tmp, "shelf2")
        make(back, {"Back.S01E01.mkv": "b"})
        os.mkdir(shelf2)
        os.symlink(back, os.path.join(shelf2, "Back"))
        expect("leads back", run(back, shelf2, program=LINK), (line(
            f"Link File FAILED: {back}/Back.S01E01.mkv (the show folder leads back to this file)") +
            line("Linked 0 files"), b"", 1))
        # A relative link whose file lies in another folder: that file, from the library too.
        os.symlink("../single/One.S01E02.mkv", os.path.join(back, "Two.S01E02.mkv"))
        out, err, rc = run(back, shelf, program=LINK)
        expect("relative link", [x for x in lines_of(out) if "Two.S01E02" in x], [
            f"Linked File: {back}/Two.S01E02.mkv -> {shelf}/Two/Two.S01E02.mkv (the file the link leads to: "
            f"{single}/One.S01E02.mkv)"])
        expect("its file", inode(os.path.join(shelf, "Two", "Two.S01E02.mkv")), inode(os.path.join(single, "One.S01E02.mkv")))
    missing = host_path(os.path.join(tmp, "no", "library"))  # a library is made one level deep, no more
    expect("no such library", run(host_path(downloads), missing, program=LINK),
           (b"", line("Path not found: " + missing) + line("Usage: tvtidy-link [--dry-run] [--copy | --move] [--rename] [--] <folder or file> [<library>]"), 2))

    # As an ordinary user: the system's own reason on every line, and a folder
    # it cannot read is a failure, never "nothing to link".
    if WINE or os.geteuid() != 0:
        return
    fixed, shut, shared = os.path.join(tmp, "fixed"), os.path.join(tmp, "shut"), os.path.join(tmp, "shared")
    make(fixed, {"Show.S01E01.mkv": "e"})
    make(shut, {"inner/Show.S01E01.mkv": "e"})
    make(shared, {"Show.S01E01.mkv": "the client's, not the user's"})
    for folder, mode in ((fixed, 0o555), (shut, 0o700), (tmp, 0o755), (os.path.dirname(tmp), 0o711), (shared, 0o777)):
        os.chmod(folder, mode)
    protected = open("/proc/sys/fs/protected_hardlinks").read().strip() == "1"
    for name, folder, wanted in (
            ("may read, not change", fixed,
             [f"Create Folder FAILED: {fixed}/Show (Permission denied)", "Linked 0 files"]),
            ("may not pass through", os.path.join(shut, "inner"),
             [f"List Folder FAILED: {shut}/inner (Permission denied)", "Linked 0 files"]),
            # protected_hardlinks: another user's file may not be linked; no empty show folder stays.
            ("another user's file", shared,
             [f"Created Folder: {shared}/Show", f"Link File FAILED: {shared}/Show.S01E01.mkv (not the file's owner: "
              "the system refuses links to other users' files)",
              f"Removed Folder: {shared}/Show (nothing could be linked into it)", "Linked 0 files"])):
        if folder == shared and not protected:
            continue
        out, err, rc = run(folder, program=LINK, user=65533)
        expect(name, (lines_of(out), rc), (wanted, 1))


@scenario()
def link_finds_the_show_folders_a_library_keeps(tmp):
    """Release names in the styles people meet, against a library as a media
    server keeps it: each link lands in the existing folder, new shows get
    clean folders, and the dry run prints exactly the run's lines."""
    downloads, library = os.path.join(tmp, "downloads"), os.path.join(tmp, "media", "tv")
    pokemon_nfc, pokemon_nfd = "Pok\u00e9mon", "Poke\u0301mon"
    releases = {"Doctor.Who.2005.S04E06.720p.mkv": "Doctor Who (2005)", "The.Office.US.S02E01.mkv": "The Office (US)",
                "Severance - S01E02 - Half Loop.mkv": "Severance", "[TGx] Severance.S01E03.mkv": "Severance",
                "Parks_and_Recreation-s03-e01.mkv": "Parks and Recreation", "Silo.2023.S01E01.mkv": "Silo (2023)",
                "www.site.com - Westworld.S02E03.mkv": "Westworld",
                "Show.Complete/Season 1/Show.S01E01.mkv": "Show", "Show.Complete/Season 2/Show.S02E01.mkv": "Show"}
    releases[pokemon_nfd + ".S01E01.mkv"] = pokemon_nfc  # a name written on a Mac
    make(downloads, {**{n: n for n in releases}, "Show.Complete/Season 2/Extras/Show.S02E99.mkv": "extra",
                     "Show.Complete/Sample/show.s01e01.sample.mkv": "clip", "Elsewhere/Show.S09E09.mkv": "e",
                     "Show.Complete/Season 1/SAMPLES/Show.S01E01.mkv": "clip"})
    if not WINE:  # a link to a folder inside a torrent's: never followed, and said
        os.symlink(os.path.join(downloads, "Elsewhere"), os.path.join(downloads, "Show.Complete", "Linked"))
    os.makedirs(os.path.dirname(library))
    d, l = host_path(downloads) + SEP, host_path(library)
    # Options wherever they stand; the dry run's lines are the run's, with
    # "Would" for what it would do.
    dry = run(host_path(downloads), l, "--dry-run", program=LINK)
    expect("the dry run changes nothing", os.path.exists(library), False)
    out, err, rc = run(host_path(downloads), l, program=LINK)
    would = {"Would Link File: ": "Linked File: ", "Would Create Folder: ": "Created Folder: ",
             "Would link ": "Linked "}
    as_run = [next((did + x[len(w):] for w, did in would.items() if x.startswith(w)), x) for x in lines_of(dry[0])]
    expect("the dry run's lines are the run's", (as_run, dry[2]), (lines_of(out), rc))
    expect("the library made, said on standard error too",
           (lines_of(dry[1]), lines_of(err)), ([f"The library would be made: {l}"], [f"The library was made: {l}"]))
    got = lines_of(out)
    expect("the library made, one level", got[0], f"Created Folder: {l}")
    expect("left out, with a reason", sorted(x for x in got if x.startswith("Skipped")),
           sorted([f"Skipped Folder: Show.Complete{SEP}Sample (sample clips)"] +
                  ([] if WINE else [f"Skipped Folder: Show.Complete{SEP}Linked (a link to a folder)"]) +
                  [f"Skipped Folder: Show.Complete{SEP}Season 1{SEP}SAMPLES (sample clips)",
                   f"Skipped Folder: Show.Complete{SEP}Season 2{SEP}Extras (extras)"]))
    for name, folder in releases.items():
        base = os.path.basename(name)
        expect("linked into " + folder, inode(os.path.join(library, folder, base)), inode(os.path.join(downloads, name)))
    # An existing library: the folders it keeps are found, however a release spells its show.
    shutil.rmtree(library)
    make(library, {"Doctor Who (2005)/.keep": "", "The Office (US)/.keep": "", "Severance/.keep": "",
                   pokemon_nfc + "/.keep": "", "Doctor Who (1963)/.keep": "", "Doctor/.keep": ""})
    out, err, rc = run(host_path(downloads), l, program=LINK)
    expect("new folders only for new shows", (sorted(x for x in lines_of(out) if x.startswith("Created")), rc), (sorted(
        f"Created Folder: {l}{SEP}{n}" for n in ("Parks and Recreation", "Silo (2023)", "Westworld", "Show")), 0))
    # Two folders of one name but for the year, and a release without one: the
    # first in byte order, every time, and a warning naming both.
    make(downloads, {"Doctor.Who.S01E01.mkv": "which one?"})
    for again in range(2):
        out, err, rc = run(host_path(downloads), l, program=LINK)
        expect("the same folder every time", ([x for x in lines_of(out) if "Doctor.Who.S01E01" in x], lines_of(err)), (
            [(f"Already Linked: {d}" if again else f"Linked File: {d}Doctor.Who.S01E01.mkv -> {l}{SEP}Doctor Who (1963)"
              f"{SEP}") + "Doctor.Who.S01E01.mkv"],
            ['Warning: "Doctor Who" reads as "Doctor Who (1963)" and as "Doctor Who (2005)" alike: put into the '
             'first']))
    if WINE or os.geteuid() != 0:
        return
    # A catch-up run as root: the show folders it makes belong to the
    # library's owner, so that the hooks that follow, as that user, can use them.
    shutil.rmtree(library)
    os.makedirs(library)
    os.chown(library, 65533, 65533)
    run(downloads, library, program=LINK)
    expect("owned as the library", {os.stat(os.path.join(library, f)).st_uid for f in listed(library)}, {65533})


@scenario(native_only=True)
def a_journal_others_could_write_is_not_acted_on(tmp):
    """A journal whose mode let other users write it may hold their lines: a
    forged record of a replace that arrived would have the run remove any
    file of that size and time. Neither the preview nor the run acts on it."""
    victim = os.path.join(tmp, "keep", "thesis.odt")
    make(tmp, {"keep/thesis.odt": "only copy", "Show.S01E01.mkv": "e"})
    info = os.stat(victim)
    forged = (f"run\ttvtidy\naside\t{victim}\t{victim}x\t{info.st_size}\t{info.st_mtime_ns}\tShow.S01E01.mkv\n"
              f"arrived\t{victim}\n")
    journal_path = os.path.join(tmp, ".tvtidy.journal")
    with open(journal_path, "w") as f:
        f.write(forged)
    os.chmod(journal_path, 0o666)
    notice = f"Other users could write the journal {journal_path}: what it holds is not trusted"
    out, err, rc = run(tmp, program=PREVIEW)
    expect("the preview", (lines_of(err), "thesis" in out.decode()), ([notice], False))
    out, err, rc = run(tmp)
    expect("the run", (lines_of(err), lines_of(out)), ([notice + ", and it is begun anew"],
           [f"Created Folder: {tmp}/Show", f"Moved File: {tmp}/Show.S01E01.mkv", "Moved 1 files"]))
    expect("nothing of it acted on", (open(victim).read(), oct(os.stat(journal_path).st_mode & 0o777)),
           ("only copy", "0o600"))


@scenario(native_only=True)
def another_users_links_in_a_shared_folder_are_not_followed_by_root(tmp):
    """Root's run on a folder that all may write: another user's links lead
    nowhere they could not reach alone; root's own links still lead on."""
    if os.geteuid() != 0:
        return
    dl, lib, secret, elsewhere = (os.path.join(tmp, n) for n in ("dl", "lib", "secret", "elsewhere"))
    make(tmp, {"secret/s.mkv": "TOKEN", "secret/Show.S01E02.mkv": "root's", "dl/Show.S01E01.mkv": "x",
               "dl/Own.S01E01.mkv": "o", "elsewhere/Own": None, "lib": None})
    os.chmod(dl, 0o1777)
    os.chmod(secret, 0o700)
    for folder, mode in ((tmp, 0o755), (os.path.dirname(tmp), 0o711)):  # where the other user can reach
        os.chmod(folder, mode)
    other = 65534
    for link, to in (("Evil.S01E01.mkv", "secret/s.mkv"), ("Show", "secret")):
        subprocess.run(["ln", "-s", os.path.join(tmp, to), os.path.join(dl, link)], preexec_fn=as_user(other),
                       check=True)
    os.symlink(os.path.join(elsewhere, "Own"), os.path.join(dl, "Own"))  # root's own: followed
    before = files_under(secret)
    for program, args, wanted in (
            (LINK, [dl, lib], [f"Created Folder: {lib}/Evil",
                               f"Link File FAILED: {dl}/Evil.S01E01.mkv (a link another user made in a folder "
                               "others can write)", f"Removed Folder: {lib}/Evil (nothing could be linked into it)"]),
            (PROGRAM, [dl], [f"Create Folder FAILED: {dl}/Show", f"Moved File: {dl}/Own.S01E01.mkv"])):
        out = lines_of(run(*args, program=program)[0])
        expect(f"{os.path.basename(program)}: refused with its reason", [l for l in wanted if l not in out], [])
    expect("root's folder as it was", (files_under(secret), os.stat(secret).st_uid), (before, 0))
    expect("root's own link followed", os.listdir(os.path.join(elsewhere, "Own")), ["Own.S01E01.mkv"])
    # A user's own download folder: their link leads only where they could read.
    mine = os.path.join(tmp, "mine")
    os.mkdir(mine)
    os.chown(mine, other, other)
    subprocess.run(["ln", "-s", os.path.join(secret, "s.mkv"), os.path.join(mine, "Peek.S01E01.mkv")],
                   preexec_fn=as_user(other), check=True)
    out = lines_of(run(mine, lib, program=LINK)[0])
    expect("a file its owner could not reach", f"Link File FAILED: {mine}/Peek.S01E01.mkv (a link to what its owner "
           "could not reach)" in out, True)
    expect("nothing of root's in the library", os.path.exists(os.path.join(lib, "Peek")), False)


UNDO = os.path.join(os.path.dirname(PROGRAM), "tvtidy-undo" + (".exe" if WINE else ""))


@scenario()
def link_files_episodes_into_season_folders_as_the_library_keeps_them(tmp):
    """Each row: a library, the downloads, and the folder each must be linked
    into. The dry run's lines are the run's; a second run links nothing new;
    the undo leaves the library as it was, season folders it made included."""
    rows = [
        ("Season NN", {"Show A/Season 01": None, "Show B/Season 02/Show.B.S02E01.mkv": "b"},
         {"Show.A.S01E02.mkv": "Show A/Season 01", "Show.A.S02E01.mkv": "Show A/Season 02",
          "Show.A.S00E01.mkv": "Show A/Season 00", "New.Show.1x03.mkv": "New Show/Season 01"}),
        ("S01 and Season 1", {"Show/S01": None, "Other/Season 1": None, "Other/Specials": None},
         {"Show.S03E01.mkv": "Show/S03", "Other.S00E05.mkv": "Other/Specials", "Other.s01e01.mkv": "Other/Season 1",
          "Other - Season 2 Episode 1.mkv": "Other/Season 2"}),
        ("flat", {"Flat/Flat.S01E01.mkv": "f", "Flat2/Flat2.S01E01.mkv": "f", "Seasoned/Season 01": None,
                  "Flat3/Specials/Flat3.S00E01.mkv": "f", "Flat3/Flat3.S01E01.mkv": "f"},
         {"Flat.S02E01.mkv": "Flat", "New.S01E01.mkv": "New", "Seasoned.S01E02.mkv": "Seasoned/Season 01",
          "Flat3.S02E01.mkv": "Flat3"}),
        ("daily and anime", {"A/Season 01": None, "B/Season 01": None, "Anime Two/Season 01": None},
         {"The.Daily.Show.2024.01.15.mkv": "The Daily Show/Season 2024",
          "[Grp] Anime One - 05 [1080p][ABCD1234].mkv": "Anime One", "[Grp] Anime Two - 12 [720p].mkv": "Anime Two/Season 01"}),
    ]
    for name, library_layout, wanted in rows:
        downloads, library = os.path.join(tmp, name, "dl"), os.path.join(tmp, name, "lib")
        make(library, library_layout)
        make(downloads, {n: n for n in wanted})
        before = sorted(tree(library))
        args = (host_path(downloads), host_path(library))
        dry, run_ = run(*args, "--dry-run", program=LINK), run(*args, program=LINK)
        would = [x.replace("Would Link File: ", "Linked File: ").replace("Would Create Folder: ", "Created Folder: ")
                 .replace("Would link ", "Linked ") for x in lines_of(dry[0])]
        expect(name + ": the dry run's lines are the run's", (would, dry[2]), (lines_of(run_[0]), run_[2]))
        expect(name + ": rc", (run_[2], run_[1]), (0, b""))
        expect(name + ": each in its season's folder", {n: os.path.exists(os.path.join(library, f, n)) and
                                                        inode(os.path.join(library, f, n)) == inode(os.path.join(downloads, n))
                                                        for n, f in wanted.items()}, {n: True for n in wanted})
        again = run(*args, program=LINK)
        expect(name + ": run again", sorted(lines_of(again[0])),
               sorted([f"Already Linked: {host_path(downloads)}{SEP}{n}" for n in wanted] + ["Linked 0 files"]))
        with open(os.path.join(tmp, name, "log"), "wb") as log:
            log.write(run_[0])
        undone = run(host_path(os.path.join(tmp, name, "log")), program=UNDO)
        after = sorted(tree(library))
        expect(name + ": undone, the library as it was", (after, undone[2]), (before, 0))
    # No library: the show folders are made beside the downloads. Once these
    # are gone (seeded, then deleted), a run walks into none of its folders.
    own = os.path.join(tmp, "own")
    make(own, {"Kept/Season 01": None, "Kept2/Season 01": None, "Deep.Show.S01E01.mkv": "d",
               "The.Office.US.S01E01.mkv": "o"})
    first = run(host_path(own), program=LINK)
    expect("no library: linked", (lines_of(first[0])[-1], first[2]), ("Linked 2 files", 0))
    for n in ("Deep.Show.S01E01.mkv", "The.Office.US.S01E01.mkv"):
        os.remove(os.path.join(own, n))
    again = run(host_path(own), program=LINK)
    expect("no library, the downloads gone: nothing to do", (lines_of(again[0]), again[2]), (["Linked 0 files"], 0))
    # Two folders of one show, the episode in the second's season: no season
    # folder is made in the first for it.
    two = os.path.join(tmp, "two")
    make(two, {"dl/Show.S01E01.mkv": "a", "lib/Show": None, "lib/X/Season 01": None, "lib/Y/Season 01": None,
               "lib/show/Season 01": None})
    os.link(os.path.join(two, "dl/Show.S01E01.mkv"), os.path.join(two, "lib/show/Season 01/Show.S01E01.mkv"))
    out = run(host_path(os.path.join(two, "dl")), host_path(os.path.join(two, "lib")), program=LINK)
    expect("held by the show's other folder", (lines_of(out[0])[0], listed(os.path.join(two, "lib/Show"))),
           (f"Already Linked: {host_path(os.path.join(two, 'dl'))}{SEP}Show.S01E01.mkv", []))
    if not WINE:
        # A show folder that is a link to a torrent's folder beside it: that
        # folder is the show's, never gone through as a download.
        beside = os.path.join(tmp, "beside")
        make(beside, {"Show.S01E01.mkv": "a", "Pack/Show.S01E02.mkv": "b"})
        os.symlink("Pack", os.path.join(beside, "Show"))
        dry, done = run("--dry-run", beside, program=LINK), run(beside, program=LINK)
        expect("a show folder linked to a torrent's", (lines_of(dry[0]), dry[2], lines_of(done[0]), done[2]), (
            [f"Would Link File: {beside}/Show.S01E01.mkv -> {beside}/Show/Show.S01E01.mkv", "Would link 1 files"], 0,
            [f"Linked File: {beside}/Show.S01E01.mkv -> {beside}/Show/Show.S01E01.mkv", "Linked 1 files"], 0))


def as_undone(lines):
    """What the undo says for each line of its dry run."""
    done = []
    for l in lines:
        for would, did in (("Would Restore File: ", "Restored File: "), ("Would Remove Link: ", "Removed Link: "),
                           ("Would Remove Folder: ", "Removed Folder: ")):
            if l.startswith(would):
                l = did + l[len(would):]
        if l.startswith("Would restore "):
            l = "Restored " + l[len("Would restore "):].replace(", remove ", ", removed ")
        done.append(l)
    return done


def undo_summary(files, links, folders):
    plural = lambda n, what: f"{n} {what}" + ("" if n == 1 else "s")
    return f"Restored {plural(files, 'file')}, removed {plural(links, 'link')} and {plural(folders, 'folder')}"


@scenario()
def undo_takes_a_run_back_from_its_log(tmp):
    """A run's saved lines taken back: every moved file byte for byte onto
    its free name, the folders it made gone; what changed since, said."""
    tv, log = os.path.join(tmp, "tv"), os.path.join(tmp, "tidy.log")
    big = os.urandom(1 << 20)
    make(tv, {"Show.Name.S01E01.mkv": big, "Show.Name.S01E02.mkv": "2", "Kept.S01E01.mkv": "new",
              "Kept/Kept.S01E01.mkv": "replaced", "Gone.S01E01.mkv": "g", "Taken.S01E01.mkv": "t", "notes.txt": "n"})
    with open(log, "wb") as f:
        expect("the run", run(host_path(tv), stdout=f)[1:], (b"", 1))
    # Since the run: one file moved away by hand, one name taken by a new download.
    os.rename(os.path.join(tv, "Gone", "Gone.S01E01.mkv"), os.path.join(tmp, "Gone.S01E01.mkv"))
    make(tv, {"Taken.S01E01.mkv": "a new download"})
    before = snapshot(tv)
    b = host_path(tv) + SEP
    wanted = sorted([f"Restored File: {b}{n}" for n in ("Show.Name.S01E01.mkv", "Show.Name.S01E02.mkv", "Kept.S01E01.mkv")] + [
        f"Restore File FAILED: {b}Gone.S01E01.mkv (it is no longer in its show folder)",
        f"Restore File FAILED: {b}Taken.S01E01.mkv (a file of that name is in its place)",
        f"Removed Folder: {b}Show Name", f"Removed Folder: {b}Gone",
        f"Kept Folder: {b}Taken (it holds files the run did not put there)"])
    dry = run("--dry-run", host_path(log), program=UNDO)
    expect("dry run", (sorted(as_undone(lines_of(dry[0]))), dry[1:]), (sorted(wanted + [undo_summary(3, 0, 2)]),
                                                                      (b"", 1)))
    expect("the dry run changes nothing", snapshot(tv), before)
    out, err, rc = run(host_path(log), program=UNDO)
    expect("undo: the dry run's lines", (lines_of(out), err, rc), (as_undone(lines_of(dry[0])), dry[1], dry[2]))
    expect("every file back byte for byte", {n: open(os.path.join(tv, n), "rb").read() for n in (
        "Show.Name.S01E01.mkv", "Show.Name.S01E02.mkv", "Kept.S01E01.mkv", "Taken.S01E01.mkv")},
        {"Show.Name.S01E01.mkv": big, "Show.Name.S01E02.mkv": b"2", "Kept.S01E01.mkv": b"new",
         "Taken.S01E01.mkv": b"a new download"})
    # The replaced file was removed by the run: it cannot come back.
    expect("what is left", sorted(listed(tv)), sorted(
        ["Show.Name.S01E01.mkv", "Show.Name.S01E02.mkv", "Kept.S01E01.mkv", "Kept", "Taken.S01E01.mkv", "Taken",
         "notes.txt"]))
    expect("the replaced file is gone", listed(os.path.join(tv, "Kept")), [])
    again = run(host_path(log), program=UNDO)
    expect("a second undo changes nothing and says why", (sorted(lines_of(again[0])), again[2]), (sorted(
        [f"Already Restored: {b}{n}" for n in ("Show.Name.S01E01.mkv", "Show.Name.S01E02.mkv", "Kept.S01E01.mkv")] +
        [f"Restore File FAILED: {b}Gone.S01E01.mkv (it is no longer in its show folder)",
         f"Restore File FAILED: {b}Taken.S01E01.mkv (a file of that name is in its place)",
         f"Already Removed: {b}Show Name", f"Already Removed: {b}Gone",
         f"Kept Folder: {b}Taken (it holds files the run did not put there)", undo_summary(0, 0, 0)]), 1))
    # Not a run's output: a usage error naming the line, and nothing changed.
    preview_log = os.path.join(tmp, "preview.log")
    make(tv, {"Other.S01E01.mkv": "o"})
    with open(preview_log, "wb") as f:
        run(host_path(tv), program=PREVIEW, stdout=f)
    before = snapshot(tv)
    out, err, rc = run(host_path(preview_log), program=UNDO)
    expect("a preview's lines", (out, lines_of(err)[0].split(": ")[0], rc),
           (b"", "Not a log of tvtidy or tvtidy-link, line 1", 2))
    expect("nothing changed", snapshot(tv), before)
    # tvtidy-link's log: the links go, while they are names of the downloads' files.
    downloads, library = os.path.join(tmp, "downloads"), os.path.join(tmp, "library")
    make(downloads, {"Show.S01E01.mkv": "1", "Show.S01E01.en.srt": "s", "Other.S01E01.mkv": "o"})
    os.mkdir(library)
    link_log = os.path.join(tmp, "link.log")
    with open(link_log, "wb") as f:
        expect("the link run", run(host_path(downloads), host_path(library), program=LINK, stdout=f)[2], 0)
    os.remove(os.path.join(library, "Other", "Other.S01E01.mkv"))
    make(library, {"Other/Other.S01E01.mkv": "a different file now"})
    l = host_path(library) + SEP
    out, err, rc = run(host_path(link_log), program=UNDO)
    expect("link undo", (sorted(lines_of(out)), rc), (sorted(
        [f"Removed Link: {l}Show{SEP}Show.S01E01.mkv", f"Removed Link: {l}Show{SEP}Show.S01E01.en.srt",
         f"Removed Folder: {l}Show", f"Remove Link FAILED: {l}Other{SEP}Other.S01E01.mkv (no longer a name of the "
         "downloaded file)", f"Kept Folder: {l}Other (it holds files the run did not put there)",
         undo_summary(0, 2, 1)]), 1))
    expect("the downloads untouched", sorted(listed(downloads)),
           ["Other.S01E01.mkv", "Show.S01E01.en.srt", "Show.S01E01.mkv"])
    if not WINE:
        # A link that is the file's only name stays: the season moved into the
        # library by hand, a link left where its folder was (so that the client
        # keeps seeding), and a line naming one entry twice through ".".
        dl, lib = os.path.join(tmp, "dl"), os.path.join(tmp, "lib")
        make(dl, {"Pack.S01/Pack.S01E01.mkv": "only copy", "Dot.S01E01.mkv": "d"})
        os.mkdir(lib)
        season_log = os.path.join(tmp, "season.log")
        with open(season_log, "wb") as f:
            expect("the season's link run", run(os.path.join(dl, "Pack.S01"), lib, program=LINK, stdout=f)[2], 0)
        shutil.rmtree(os.path.join(dl, "Pack.S01"))
        os.symlink("../lib/Pack", os.path.join(dl, "Pack.S01"))
        with open(season_log, "a") as f:
            f.write(f"Linked File: {dl}/Dot.S01E01.mkv -> {dl}/./Dot.S01E01.mkv\n")
        for dry in ([], ["--dry-run"]):
            out, err, rc = run(*dry, season_log, program=UNDO)
            expect("only names kept" + " (dry run)" * bool(dry), (sorted(as_undone(lines_of(out))), rc), (sorted(
                [f"Remove Link FAILED: {lib}/Pack/Pack.S01E01.mkv (it is the file's only name here)",
                 f"Remove Link FAILED: {dl}/./Dot.S01E01.mkv (it is the file's only name here)",
                 f"Kept Folder: {lib}/Pack (it holds files the run did not put there)", undo_summary(0, 0, 0)]), 1))
        expect("the only copies kept", [open(os.path.join(lib, "Pack", "Pack.S01E01.mkv")).read(),
                                        open(os.path.join(dl, "Dot.S01E01.mkv")).read()], ["only copy", "d"])
    if WINE:
        # Output to a file is in the ANSI code page: a name outside it is
        # written with "?" and cannot be found again; its line says so.
        outside = os.path.join(tmp, "outside")
        make(outside, {"\u4e2dmega.S01E01.mkv": "o"})  # no letter of the code page stands in for it
        outside_log = os.path.join(tmp, "outside.log")
        with open(outside_log, "wb") as f:
            run(host_path(outside), stdout=f)
        out, err, rc = run(host_path(outside_log), program=UNDO)
        expect("a name outside the code page", (sorted(lines_of(out)), rc), (sorted(
            [f"Restore File FAILED: {host_path(outside)}{SEP}?mega.S01E01.mkv (the log's code page could not hold "
             "this name: it cannot be found)",
             f"Remove Folder FAILED: {host_path(outside)}{SEP}?mega (the log's code page could not hold this name: it "
             "cannot be found)", undo_summary(0, 0, 0)]), 1))
        # One the page writes as a look-alike (\u03a9mega as Omega), beside an
        # unrelated folder of that very name: nothing of it is touched.
        alike = os.path.join(tmp, "alike")
        make(alike, {"\u03a9mega.S01E01.mkv": "moved", "Omega/Omega.S01E01.mkv": "unrelated"})
        alike_log = os.path.join(tmp, "alike.log")
        with open(alike_log, "wb") as f:
            run(host_path(alike), stdout=f)
        before = files_under(alike)
        why = "(the log's code page writes another name beside it alike: it cannot tell which one the run moved)"
        for dry in ((), ("--dry-run",)):
            out, err, rc = run(host_path(alike_log), *dry, program=UNDO)
            expect("a look-alike beside an unrelated folder" + " (dry run)" * bool(dry), (sorted(lines_of(out)), rc), (
                sorted([f"Restore File FAILED: {host_path(alike)}{SEP}Omega.S01E01.mkv {why}",
                        f"Remove Folder FAILED: {host_path(alike)}{SEP}Omega {why}",
                        undo_summary(0, 0, 0).replace("Restored", "Would restore" if dry else "Restored")
                        .replace("removed", "remove" if dry else "removed")]), 1))
        expect("the unrelated folder untouched", files_under(alike), before)


@scenario(native_only=True)
def undo_and_its_dry_run_answer_alike_wherever_the_lines_come_from(tmp):
    """Each case: a layout, the runs whose lines make the log, and what the
    undo must say; its dry run must say the same (with "Would") and end alike,
    and change nothing."""
    def logged(*runs, cwd=tmp):
        text = b""
        for program, args in runs:
            text += subprocess.run(command(*args, program=program), cwd=cwd, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL).stdout
        return text

    def undo(name, log_text, wanted, status, cwd=tmp, user=None):
        log = os.path.join(tmp, name + ".log")
        with open(log, "wb") as f:
            f.write(log_text)
        os.chmod(log, 0o644)
        before = snapshot(tmp)
        dry = run("--dry-run", log, program=UNDO, cwd=cwd, user=user)
        expect(name + ": the dry run changes nothing", snapshot(tmp), before)
        out, err, rc = run(log, program=UNDO, cwd=cwd, user=user)
        expect(name + ": the dry run is the undo", (as_undone(lines_of(dry[0])), dry[1:]), (lines_of(out), (err, rc)))
        expect(name, ([l for l in lines_of(out)[:-1]], rc), (wanted, status))

    d = tmp + "/"
    # A moved symbolic link goes back as the link, whatever it leads to.
    make(tmp, {"a/target.txt": "data"})
    os.symlink("target.txt", d + "a/Show.S01E01.mkv")
    undo("a moved link", logged((PROGRAM, ["a"])), ["Restored File: a/Show.S01E01.mkv", "Removed Folder: a/Show"], 0)
    expect("the link itself back", os.readlink(d + "a/Show.S01E01.mkv"), "target.txt")
    # A link of a read-only download goes by its folder's leave, as root and as another user.
    for who, user in (("root", None), ("a user", 65534)):
        folder = f"ro{user or 0}"
        make(tmp, {f"{folder}/Show.S01E01.mkv": "ro"})
        os.chmod(d + f"{folder}/Show.S01E01.mkv", 0o444)
        if user:
            os.chmod(tmp, 0o755)
            os.chown(d + folder, user, user)
            os.chown(d + f"{folder}/Show.S01E01.mkv", user, user)
        text = subprocess.run(command(d + folder, program=reachable_copy(LINK) if user else LINK),
                              stdout=subprocess.PIPE, preexec_fn=as_user(user) if user else None).stdout
        undo("a read-only download, " + who, text, [f"Removed Link: {d}{folder}/Show/Show.S01E01.mkv",
                                                    f"Removed Folder: {d}{folder}/Show"], 0, user=user)
        expect("still read-only", os.stat(d + f"{folder}/Show.S01E01.mkv").st_mode & 0o777, 0o444)
    # One log twice: the second half finds everything back already.
    make(tmp, {"twice/Show.S01E01.mkv": "t"})
    once = logged((PROGRAM, ["twice"]))
    undo("a folder made twice", once + once, ["Restored File: twice/Show.S01E01.mkv", "Removed Folder: twice/Show",
                                              "Already Restored: twice/Show.S01E01.mkv", "Already Removed: twice/Show"], 0)
    # Two runs of one name: the newer comes back, the older was replaced.
    make(tmp, {"two/Show.S01E01.mkv": "first"})
    first = logged((PROGRAM, ["two"]))
    make(tmp, {"two/Show.S01E01.mkv": "second"})
    undo("two runs of one name", first + logged((PROGRAM, ["two"])),
         ["Restored File: two/Show.S01E01.mkv", "Already Restored: two/Show.S01E01.mkv", "Removed Folder: two/Show"], 0)
    expect("the newer back", open(d + "two/Show.S01E01.mkv").read(), "second")
    # A link run, then a plain run over the same folder.
    make(tmp, {"both/Show.S01E01.mkv": "b"})
    undo("a link run, then a run", logged((LINK, ["both"]), (PROGRAM, ["both"])),
         ["Restored File: both/Show.S01E01.mkv", "Already Removed: both/Show/Show.S01E01.mkv",
          "Removed Folder: both/Show"], 0)
    # A link run into a library, then a run over the downloads: the file
    # back, its library link is still its second name.
    make(tmp, {"dl8/Show.S01E01.mkv": "8"})
    undo("a link run into a library, then a run", logged((LINK, ["dl8", "lib8"]), (PROGRAM, ["dl8"])),
         ["Restored File: dl8/Show.S01E01.mkv", "Removed Folder: dl8/Show", "Removed Link: lib8/Show/Show.S01E01.mkv",
          "Removed Folder: lib8/Show", "Removed Folder: lib8"], 0)
    # From the system log, among other programs' lines.
    make(tmp, {"journal/Show.S01E01.mkv": "j"})
    lines = logged((LINK, [d + "journal"])).decode().splitlines()
    journal = "-- Boot 4f2a91 --\n" + "".join(f"Dec  8 21:50:0{i} mediabox tvtidy-link[4242]: {l}\n"
                                             f"Dec  8 21:50:0{i} mediabox CRON[77]: (root) CMD (true)\n"
                                             for i, l in enumerate(lines))
    undo("a journal", journal.encode(), [f"Removed Link: {d}journal/Show/Show.S01E01.mkv",
                                         f"Removed Folder: {d}journal/Show"], 0)
    # A log kept with 2>&1: the run's standard error is passed over.
    make(tmp, {"errs/Show.S01E01.mkv": "e"})
    text = subprocess.run(command("errs", "errs/lib", program=LINK), cwd=tmp, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT).stdout
    undo("a 2>&1 log", text, ["Removed Link: errs/lib/Show/Show.S01E01.mkv", "Removed Folder: errs/lib/Show",
                              "Removed Folder: errs/lib"], 0)
    # A copy is removed only where another file holds its bytes: never a
    # line that names one file twice, nor one whose download is the copy
    # itself through a folder link (the client seeding from the library).
    make(tmp, {"docs/thesis.odt": "only copy", "lib/Show/Show.S01E01.mkv": "seeded from here"})
    os.symlink("lib/Show", d + "seed")
    undo("copies that are their own downloads", line("Copied File: docs/./thesis.odt -> docs/thesis.odt") +
         line("Copied File: seed/Show.S01E01.mkv -> lib/Show/Show.S01E01.mkv") + line("Linked 2 files"),
         [f"Remove Copy FAILED: {p} (its download is not another file of the same bytes: it may be the only copy)"
          for p in ("lib/Show/Show.S01E01.mkv", "docs/thesis.odt")], 1)
    expect("both stay", (os.path.exists(d + "docs/thesis.odt"), os.path.exists(d + "lib/Show/Show.S01E01.mkv")),
           (True, True))
    # What no run prints is refused whole, at its first line, with a short
    # excerpt: a NUL, a line longer than any of ours, no line of ours at all.
    for name, text, said in (("a NUL", line("Created Folder: docs") + b"Moved File: docs/x\0.mkv\n", b"line 2: "),
                             ("a video", b"\x1a\x45\xdf\xa3" + b"\x00" * (3 << 20), b"line 1: longer than any"),
                             ("no line of ours", b"", b"No line of tvtidy"),
                             ("another program's", b"Dec  8 21:50:01 box CRON[7]: (root) CMD (true)\n",
                              b"No line of tvtidy")):
        undo(name, text, [], 2)
        err = run(os.path.join(tmp, name + ".log"), program=UNDO)[1]
        expect(name + ": said", (said in err, len(err) < 400, b"\x1a" in err), (True, True, False))
    # Read from another folder: none of its folders is there, nothing is done.
    make(tmp, {"here/Show.S01E01.mkv": "h", "elsewhere/x": "x"})
    log = logged((PROGRAM, ["here"]))
    with open(d + "here.log", "wb") as f:
        f.write(log)
    out, err, rc = run(d + "here.log", program=UNDO, cwd=d + "elsewhere")
    expect("from another folder", (out, rc, b"here/" in err and d.encode() + b"elsewhere" in err), (b"", 2, True))
    expect("nothing done", os.path.exists(d + "here/Show/Show.S01E01.mkv"), True)
    # On sshfs every name is a file of its own: the links stay, with that reason.
    try:
        with fuse_folder("sshfs") as root:
            make(root, {"Show.S01E01.mkv": "s"})
            undo("links on sshfs", logged((LINK, [root])),
                 [f"Remove Link FAILED: {root}/Show/Show.S01E01.mkv (this disk cannot tell whether it is a name of "
                  "the downloaded file)", f"Kept Folder: {root}/Show (it holds files the run did not put there)"], 1)
    except Skipped:
        pass


@scenario(native_only=True)
def hooks_in_any_order_make_one_library(tmp):
    """One-file torrents of several shows, in the spellings people meet, each
    linked by its own hook: one at a time in random orders, all at once, and
    as one run, into an empty library or one that keeps the shows' folders.
    Every time the same grouping, each download linked once, and a second run
    that links nothing. TVTIDY_SEED and TVTIDY_ORDERS for the longer run."""
    import random
    rng = random.Random(int(os.environ.get("TVTIDY_SEED", "49")))
    spellings = {"office": ["The.Office.US.S01E0{}.mkv", "the_office_us_s02e0{}.avi", "The Office (US) - S03E0{}.mkv",
                            "[grp] The.Office.US.S04E0{}.mkv", "THE.OFFICE.US.S05E0{}.mkv"],
                 "this": ["THIS.IS.US.S01E0{}.mkv", "This.Is.Us.S02E0{}.mkv", "this_is_us_s03e0{}.mp4"],
                 "who": ["Doctor.Who.2005.S01E0{}.mkv", "doctor.who.(2005).s02e0{}.mkv",
                         "Doctor Who (2005) - S03E0{}.mkv"],
                 "severance": ["Severance.S01E0{}.mkv", "severance.s02e0{}.mkv", "www.site.com - Severance.S03E0{}.mkv"]}
    downloads = {pattern.format(e): show for show, patterns in spellings.items() for pattern in patterns
                 for e in (1, 2)}
    kept = ["The Office (US)", "This Is Us (2016)", "Doctor Who (2005)", "Severance"]
    orders = int(os.environ.get("TVTIDY_ORDERS", "3"))
    for case in range(2 * (orders + 2)):
        with_folders, how = case % 2 == 1, case // 2  # how: an order, all at once, or one run
        dl, lib = os.path.join(tmp, f"dl{case}"), os.path.join(tmp, f"lib{case}")
        make(dl, {name: name for name in downloads})
        os.mkdir(lib)
        for folder in kept if with_folders else []:
            os.mkdir(os.path.join(lib, folder))
        names = sorted(downloads)
        rng.shuffle(names)
        what = f"{'a kept library' if with_folders else 'an empty library'}, " + (
            f"order {how}" if how < orders else "all at once" if how == orders else "one run")
        if how < orders:
            for name in names:
                run(os.path.join(dl, name), lib, program=LINK)
        elif how == orders:
            hooks = [subprocess.Popen(command(os.path.join(dl, name), lib, program=LINK), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL) for name in names]
            for hook in hooks:
                hook.wait(timeout=TIMEOUT)
        else:
            run(dl, lib, program=LINK)
        # The client's second name of each download, in another spelling,
        # named by a hook of its own: linked already.
        respelt = os.path.join(tmp, f"dl{case}b")
        os.mkdir(respelt)
        for name in names[:4]:
            other = os.path.join(respelt, name.lower().replace(".", "_").replace(" ", "_")[:-4] + name[-4:])
            os.link(os.path.join(dl, name), other)
            run(other, lib, program=LINK)
        where = collections.defaultdict(list)
        for folder in listed(lib):
            for name in listed(os.path.join(lib, folder)):
                where[os.stat(os.path.join(lib, folder, name)).st_ino].append(folder)
        grouping = collections.defaultdict(set)
        for name in downloads:
            folders = where.get(os.stat(os.path.join(dl, name)).st_ino, [])
            expect(f"{what}: {name} linked once", len(folders), 1)
            grouping[downloads[name]].add(folders[0])
        expect(f"{what}: one folder a show, one show a folder", sorted(len(f) for f in grouping.values()),
               [1] * len(spellings))
        expect(f"{what}: shows apart", len(set().union(*grouping.values())), len(spellings))
        if with_folders:
            expect(f"{what}: the kept folders", sorted(set().union(*grouping.values())), sorted(kept))
        out, err, rc = run(dl, lib, program=LINK)
        expect(f"{what}: a second run links nothing", [l for l in lines_of(out) if not l.startswith(("Already", "Linked 0"))],
               [])
    # Each download once: linked by an earlier version into "the office us",
    # it is linked already, though "The Office (US)" is taken for the show.
    make(tmp, {"once/dl/The.Office.US.S01E01.mkv": "o", "once/dl/The.Office.US.S01E02.mkv": "p",
               "once/lib/The Office (US)/.keep": ""})
    os.makedirs(os.path.join(tmp, "once/lib/the office us"))
    os.link(os.path.join(tmp, "once/dl/The.Office.US.S01E01.mkv"),
            os.path.join(tmp, "once/lib/the office us/The.Office.US.S01E01.mkv"))
    out, err, rc = run(os.path.join(tmp, "once/dl"), os.path.join(tmp, "once/lib"), program=LINK)
    expect("each download once", sorted(lines_of(out)[:2]), [
        f"Already Linked: {tmp}/once/dl/The.Office.US.S01E01.mkv",
        f"Linked File: {tmp}/once/dl/The.Office.US.S01E02.mkv -> {tmp}/once/lib/The Office (US)/The.Office.US.S01E02.mkv"])
    # The dry run keeps what it would have made: a folder, then a name in it
    # that a later file of that name, in a torrent's folder, meets.
    make(tmp, {"dry/a.b.S01E01.mkv": "a", "dry/Pack/a.b.S01E01.mkv": "c", "dry/Pack/A.b.S01E02.mkv": "b"})
    for library in ([], [os.path.join(tmp, "dry", "lib")]):  # a library made inside SOURCE: said to be left out
        if os.path.isdir(os.path.join(tmp, "dry", "lib")):
            shutil.rmtree(os.path.join(tmp, "dry", "lib"))
        dry = run("--dry-run", os.path.join(tmp, "dry"), *library, program=LINK)
        done = run(os.path.join(tmp, "dry"), *library, program=LINK)
        expect("the dry run is the run" + " (a library inside)" * bool(library), (sorted(
            l.replace("Would Link File", "Linked File").replace("Would Create Folder", "Created Folder").replace(
                "Would link", "Linked") for l in lines_of(dry[0])), dry[2]), (sorted(lines_of(done[0])), done[2]))
    # "." as the folder: what the dry run makes in thought is found by the
    # torrent folders' sweeps, whatever letter case their names have.
    make(tmp, {"dot/The.Show.S01E01.mkv": "a", "dot/Pack/THE.SHOW.S01E03.mkv": "c"})
    dry = run("--dry-run", ".", cwd=os.path.join(tmp, "dot"), program=LINK)
    done = run(".", cwd=os.path.join(tmp, "dot"), program=LINK)
    expect("the dry run of . is the run", [l.replace("Would Link File", "Linked File").replace(
        "Would Create Folder", "Created Folder").replace("Would link", "Linked") for l in lines_of(dry[0])],
        lines_of(done[0]))


@scenario(native_only=True)
def link_refuses_other_disks_and_exfat_and_lets_hooks_take_turns(tmp):
    with another_file_system() as other:
        make(tmp, {"Show.S01E01.mkv": "e"})
        os.symlink(other, os.path.join(tmp, "Show"))
        out, err, rc = run(tmp, program=LINK)
        expect("another disk", (out, rc), (line(f"Link File FAILED: {tmp}/Show.S01E01.mkv (Invalid cross-device link;"
                                                " --copy copies it onto the library's disk)") + line("Linked 0 files"), 1))
        expect("no copy", listed(other), [])
        # A library on another disk: each episode gets the true reason, and
        # the show folder made for them goes once none could be linked; the
        # dry run says the same with "Would".
        lib2, dl2 = os.path.join(other, "lib2"), os.path.join(tmp, "dl2")
        make(dl2, {"A.Show.S01E01.mkv": "1", "A.Show.S01E02.mkv": "2"})
        os.mkdir(lib2)
        for dry in (["--dry-run"], []):
            out, err, rc = run(*dry, dl2, lib2, program=LINK)
            would = lambda text: ("Would " + text.replace("ed ", "e ", 1)) if dry else text
            expect("each its reason" + " (dry run)" * bool(dry), (lines_of(out), rc), ([would("Created Folder: ")
                   + f"{lib2}/A Show"] + [f"Link File FAILED: {dl2}/A.Show.S01E0{n}.mkv (Invalid cross-device link; "
                   "--copy copies it onto the library's disk)" for n in (1, 2)] + [
                   would("Removed Folder: ") + f"{lib2}/A Show (nothing could be linked into it)",
                   "Would link 0 files" if dry else "Linked 0 files"], 1))
        expect("no show folder left", listed(lib2), [])
        shutil.rmtree(dl2)
        # A library of season folders: a pack's episode of the same show,
        # after the show's folders were taken back, gets the same reason.
        make(dl2, {"A.Show.S01E01.mkv": "1", "Pack/A.Show.S01E02.mkv": "2"})
        make(lib2, {"X/Season 01": None, "Y/Season 01": None})
        for dry in (["--dry-run"], []):
            out, err, rc = run(*dry, dl2, lib2, program=LINK)
            expect("the pack's reason" + " (dry run)" * bool(dry), ([l for l in lines_of(out) if "FAILED" in l], rc), (
                [f"Link File FAILED: {dl2}/{n} (Invalid cross-device link; --copy copies it onto the library's disk)"
                 for n in ("A.Show.S01E01.mkv", "Pack/A.Show.S01E02.mkv")], 1))
        expect("no show folder left", sorted(listed(lib2)), ["X", "Y"])
        shutil.rmtree(dl2)
        shutil.rmtree(lib2)
        os.mkdir(lib2)
        # --copy: a library on another disk gets whole copies, the downloads
        # untouched; a second run says so, and the undo takes them away while
        # they are their downloads' size and time.
        os.remove(os.path.join(tmp, "Show"))
        library, data = os.path.join(other, "lib"), os.urandom(3 << 20)
        make(tmp, {"Big.S01E01.mkv": data, "Big.S01E01.en.srt": "s"})
        before = files_under(tmp)
        copied = [f"Copied File: {tmp}/{n} -> {library}/{d}/{n}" for d, n in (
            ("Big", "Big.S01E01.mkv"), ("Big", "Big.S01E01.en.srt"), ("Show", "Show.S01E01.mkv"))]
        for round, wanted in (("copied", [f"Created Folder: {library}", f"Created Folder: {library}/Big",
                                          f"Created Folder: {library}/Show"] + copied + ["Linked 3 files"]),
                              ("run again", [x.replace("Copied File", "Already Copied").split(" -> ")[0] for x in copied]
                               + ["Linked 0 files"])):
            out, err, rc = run(tmp, library, "--copy", program=LINK)
            expect(round, (sorted(lines_of(out)), rc), (sorted(wanted), 0))
        expect("the copy whole, the download as it was", (open(os.path.join(library, "Big", "Big.S01E01.mkv"), "rb")
                                                          .read() == data, files_under(tmp)), (True, before))
        with open(tmp + ".log", "wb") as log:
            log.write(line(f"Created Folder: {library}/Big") + line(copied[0]) + line(copied[1]) + line("Linked 2 files"))
        with open(os.path.join(library, "Big", "Big.S01E01.en.srt"), "a") as f:
            f.write("edited in the library: maybe the only one now")
        out, err, rc = run(tmp + ".log", program=UNDO)
        os.remove(tmp + ".log")
        expect("undone while still its download's", (lines_of(out), rc), (
            [f"Remove Copy FAILED: {library}/Big/Big.S01E01.en.srt (no longer of its download's size and time: "
             "it may be the only one)", f"Removed Copy: {library}/Big/Big.S01E01.mkv",
             f"Kept Folder: {library}/Big (it holds files the run did not put there)",
             "Restored 0 files, removed 0 links, 1 copy and 0 folders"], 1))
    if os.geteuid() == 0 and shutil.which("mount"):
        # A full disk: the copy fails, and leaves nothing of its own.
        disk = tmp + ".small"
        os.mkdir(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk]).returncode == 0:
            try:
                out, err, rc = run(tmp, disk, "--copy", program=LINK)
                expect("a full disk", (sorted(lines_of(out)), rc), (sorted([
                    f"Created Folder: {disk}/Big", f"Created Folder: {disk}/Show",
                    f"Link File FAILED: {tmp}/Big.S01E01.mkv (No space left on device)",
                    f"Removed Folder: {disk}/Big (nothing could be linked into it)",
                    "Skipped File: Big.S01E01.en.srt", copied[2].replace(library, disk), "Linked 1 files"]), 1))
                expect("nothing of the failed copy", (files_under(disk), listed(disk)),
                       (collections.Counter({("Show.S01E01.mkv", b"e"): 1}), ["Show"]))
            finally:
                subprocess.run(["umount", disk])
                os.rmdir(disk)
    shutil.rmtree(tmp)
    os.mkdir(tmp)

    # exFAT has no hard links: the reason, and nothing but the show folder.
    # NTFS through ntfs-3g and a mergerfs pool (one branch) hold them.
    def on_fuse(kind, root):
        make(root, {"Show.S01E01.mkv": "e"})
        out, err, rc = run(root, program=LINK)
        if kind in REMOTE_KINDS:
            # sshfs links through the server; rclone has no links and says so.
            # Either way nothing is copied and the episode stays.
            if rc == 0:
                expect(kind, lines_of(out)[-1], "Linked 1 files")
                expect(kind + " same bytes", open(os.path.join(root, "Show", "Show.S01E01.mkv")).read(), "e")
                # sshfs numbers each name on its own: a rerun cannot call its own
                # link a different file, nor claim it as the same one.
                out, err, rc = run(root, program=LINK)
                expect(kind + " again", (lines_of(out)[0].split(": ")[0] in ("Already Linked", "Maybe Linked"), rc),
                       (True, 0))
            else:
                expect(kind, (lines_of(out)[1].startswith(f"Link File FAILED: {root}/Show.S01E01.mkv ("), rc),
                       (True, 1))
            expect(kind + " episode stays", open(os.path.join(root, "Show.S01E01.mkv")).read(), "e")
        elif kind in LINKLESS_KINDS:
            expect(kind, (lines_of(out)[1:], rc),
                   ([f"Link File FAILED: {root}/Show.S01E01.mkv (Operation not permitted)",
                     f"Removed Folder: {root}/Show (nothing could be linked into it)", "Linked 0 files"], 1))
            expect(kind + " unchanged", sorted(listed(root)), ["Show.S01E01.mkv"])
        else:
            expect(kind, (lines_of(out)[-1], rc), ("Linked 1 files", 0))
            # mergerfs may number a path's inode its own way: the link count
            # tells, once the second its attributes are kept for has passed
            # since the run looked at the download.
            counts = lambda: [os.stat(os.path.join(root, *p)).st_nlink for p in
                              (("Show", "Show.S01E01.mkv"), ("Show.S01E01.mkv",))]
            if counts() != [2, 2]:
                time.sleep(1.5)
            expect(kind + " one file, two names", counts(), [2, 2])
            out, err, rc = run(root, program=LINK)
            expect(kind + " again", (lines_of(out), rc),
                   ([f"Already Linked: {root}/Show.S01E01.mkv", "Linked 0 files"], 0))
    on_each_fuse_kind(on_fuse)

    # A download still being written: both names are one file, every byte in both.
    source = os.path.join(tmp, "Show.S01E01.mkv")
    make(tmp, {"Show.S01E01.mkv": b"x" * (1 << 20)})
    writer = appender(source, blocks=400)
    out, err, rc = run(tmp, program=LINK)
    writer.wait(timeout=TIMEOUT)
    expect("linked while written", (lines_of(out)[-1], rc), ("Linked 1 files", 0))
    with open(source, "rb") as f, open(os.path.join(tmp, "Show", "Show.S01E01.mkv"), "rb") as g:
        expect("every byte under both names", (f.read() == g.read(), os.path.getsize(source)),
               (True, (1 << 20) + 400 * 4096))
    shutil.rmtree(tmp)
    os.mkdir(tmp)

    # Eight hooks at once on 2,000 episodes: each linked exactly once.
    for i in range(2000):
        open(os.path.join(tmp, f"Show.{i % 50}.S01E{i:04}.mkv"), "wb").close()
    # One log that all of them append to, as hooks' ">> log" do: a file, not a
    # pipe, so that a run waiting on the lock does not hold up the reader.
    handle, log_path = tempfile.mkstemp()
    os.close(handle)
    with open(log_path, "ab") as log:
        runs = [subprocess.Popen(command(tmp, program=LINK), stdout=log, stderr=subprocess.DEVNULL) for _ in range(8)]
        expect("exit statuses", [r.wait(timeout=TIMEOUT * 4) for r in runs], [0] * 8)
    with open(log_path, "rb") as log:
        lines = lines_of(log.read())
    os.remove(log_path)
    whole = re.compile(r"(Linked File: [^ ]+\.mkv -> [^>]+\.mkv|Already Linked: [^ ]+\.mkv|Created Folder: .+ \d+|"
                       r"Linked \d+ files)")
    expect("no line split by another run's", [l for l in lines if not whole.fullmatch(l)], [])
    expect("no failure", [l for l in lines if "FAILED" in l], [])
    expect("linked once", sum(l.startswith("Linked File: ") for l in lines), 2000)
    expect("two names each", {os.stat(os.path.join(tmp, n)).st_nlink for n in listed(tmp)
                              if n.endswith(".mkv")}, {2})

@scenario()
def link_move_fills_a_library_for_downloads_nobody_seeds(tmp):
    downloads, library = os.path.join(tmp, "downloads"), os.path.join(tmp, "library")
    pack = "Show.Name.S01.720p"
    make(downloads, {"The.Office.US.S02E03.720p.mkv": "o", "The.Office.US.S02E03.720p.en.srt": "s",
                     f"{pack}/Show.Name.S01E01.mkv": "1", f"{pack}/Show.Name.S01E02.mkv": "2",
                     f"{pack}/Show.Name.S01E02.en.srt": "s2", f"{pack}/readme.txt": "r",
                     f"{pack}/Sample/show.name.s01e01.sample.mkv": "clip", "Taken.S01E01.mkv": "new"})
    make(library, {"Taken/Taken.S01E01.mkv": "another release"})
    before = snapshot(tmp)
    d, l, p = host_path(downloads) + SEP, host_path(library) + SEP, pack + SEP
    out, err, rc = run("--move", "--copy", host_path(downloads), host_path(library), program=LINK)
    expect("--move with --copy", (out, rc, err.splitlines()[0]), (b"", 2, b"--move and --copy cannot go together"))
    moves = [(d, "The.Office.US.S02E03.720p.mkv", "The Office (US)"), (d, "The.Office.US.S02E03.720p.en.srt", "The Office (US)"),
             (d + p, "Show.Name.S01E01.mkv", "Show Name"), (d + p, "Show.Name.S01E02.mkv", "Show Name"),
             (d + p, "Show.Name.S01E02.en.srt", "Show Name")]
    wanted = sorted([f"Created Folder: {l}The Office (US)", f"Created Folder: {l}Show Name",
                     f"Skipped File: {p}readme.txt (not a video file)", f"Skipped Folder: {p}Sample (sample clips)",
                     f"Move File FAILED: {d}Taken.S01E01.mkv (a different file of that name is in the show folder)"] +
                    [f"Moved File: {at}{n} -> {l}{show}{SEP}{n}" for at, n, show in moves] + ["Moved 5 files"])
    seeding = (f"Warning: a torrent client may still seed from this folder (its name is a download folder's): --move takes"
               f" its episodes away from the client; without it they are linked: {host_path(downloads)}")
    # The dry run says the run's lines, and changes nothing.
    out, err, rc = run("--dry-run", "--move", host_path(downloads), host_path(library), program=LINK)
    said = sorted(x.replace("Would Move File: ", "Moved File: ").replace("Would Create Folder: ", "Created Folder: ")
                  .replace("Would move ", "Moved ") for x in lines_of(out))
    expect("dry run", (said, rc, lines_of(err)), (wanted, 1, [seeding]))
    expect("dry run changes nothing", snapshot(tmp), before)
    state = lambda: [(files_under(folder), tree(folder)) for folder in (downloads, library)]
    content = state()
    out, err, rc = run("--move", host_path(downloads), host_path(library), program=LINK)
    expect("run", (sorted(lines_of(out)), rc, lines_of(err)), (wanted, 1, [seeding]))
    log = os.path.join(tmp, "run.log")
    with open(log, "wb") as saved:
        saved.write(out)
    expect("moved whole", [open(os.path.join(library, show, n)).read() for _, n, show in moves], ["o", "s", "1", "2", "s2"])
    expect("left where they were", files_under(downloads), collections.Counter(
        [("Taken.S01E01.mkv", b"new"), ("readme.txt", b"r"), ("show.name.s01e01.sample.mkv", b"clip")]))
    expect("the other release stays", open(os.path.join(library, "Taken", "Taken.S01E01.mkv")).read(), "another release")
    out, err, rc = run("--move", host_path(downloads), host_path(library), program=LINK)
    expect("a second run moves nothing", [x for x in lines_of(out) if x.startswith(("Moved", "Created"))], ["Moved 0 files"])
    # Taken back from its lines, then once more from the library's journal
    # alone, after a hook that fired twice (the second run found nothing).
    for undo in (host_path(log), None):
        for _ in range(2 if undo is None else 0):
            run("--move", host_path(downloads), host_path(library), program=LINK)
        out, err, rc = run(undo or host_path(library), program=UNDO)
        expect("undo", (rc, lines_of(out)[-1]), (0, "Restored 5 files, removed 0 links and 2 folders"))
        expect("everything back", state(), content)
    # No library: show folders beside the downloads, and a pack's folder is
    # never taken for its show's.
    # A pack still downloading keeps every file.
    plain = os.path.join(tmp, "plain")
    make(plain, {"Show.S01E01.mkv": "1", "Show.S01.Pack/Show.S01E02.mkv": "2", "Busy.S01/Busy.S01E01.mkv": "b",
                 "Busy.S01/Season 1/Busy.S01E02.mkv.part": "half"})
    for again in (False, True):
        out, err, rc = run("--move", host_path(plain), program=LINK)
        expect("beside the downloads" + " again" * again, (rc, sorted(files_listed_under(os.path.join(plain, "Show"))),
                                                           sorted(files_listed_under(os.path.join(plain, "Busy.S01"))),
                                                           "Skipped Folder: Busy.S01 (a download in progress: nothing is "
                                                           "moved out of it)" in lines_of(out)),
               (0, [("Show.S01E01.mkv", b"1"), ("Show.S01E02.mkv", b"2")],
                [("Busy.S01E01.mkv", b"b"), ("Busy.S01E02.mkv.part", b"half")], True))
    if WINE:
        return
    # Onto another disk: each copy made whole under a hidden name, then the
    # download goes; nothing hidden is left, and the undo brings it back.
    with another_file_system() as other:
        incoming, shelf = os.path.join(tmp, "incoming"), os.path.join(other, "shelf")
        make(incoming, {"Far.Show.S01E01.mkv": "far" * 1000, "Far.Show.S01E01.srt": "sub"})
        out, err, rc = run("--move", incoming, shelf, program=LINK)
        expect("onto another disk", (sorted(lines_of(out)), rc, err), (sorted(
            [f"Created Folder: {shelf}", f"Created Folder: {shelf}/Far Show", "Moved 2 files"] +
            [f"Moved File: {incoming}/{n} -> {shelf}/Far Show/{n}" for n in ("Far.Show.S01E01.mkv", "Far.Show.S01E01.srt")]),
            0, f"The library was made: {shelf}\n".encode()))
        expect("arrived whole, nothing hidden", (files_under(incoming), sorted(os.listdir(os.path.join(shelf, "Far Show")))),
               (collections.Counter(), ["Far.Show.S01E01.mkv", "Far.Show.S01E01.srt"]))
        out, err, rc = run(shelf, program=UNDO)
        expect("back from another disk", (rc, files_under(incoming)), (0, collections.Counter(
            [("Far.Show.S01E01.mkv", b"far" * 1000), ("Far.Show.S01E01.srt", b"sub")])))
@scenario()
def link_rename_names_every_episode_as_media_servers_read_it(tmp):
    downloads, library = os.path.join(tmp, "incoming"), os.path.join(tmp, "library")
    names = {"Show.Name.S01E01E02.720p.mkv": "Show Name - S01E01-E02.mkv",
             "Show.Name.S01E01E02.720p.en.srt": "Show Name - S01E01-E02.en.srt",
             "Show Name Season 1 Episode 7.mkv": "Show Name - S01E07.mkv",
             "The.Daily.Show.2024.01.15.mkv": "The Daily Show - 2024-01-15.mkv",
             "[Group] Anime Show - 1071 [1080p].mkv": "Anime Show - S01E1071.mkv"}
    make(downloads, {**{n: n for n in names}, "Show.Name.S01E05.1080p.mp4": "another release"})
    make(library, {"Show Name/Show Name - S01E05.mkv": "the first release"})
    d, l = host_path(downloads) + SEP, host_path(library) + SEP
    folder = lambda name: name[:name.rindex(" - ")]
    made = sorted({f"Created Folder: {l}{folder(n)}" for n in names.values() if folder(n) != "Show Name"})
    refused = (f"{{}} FAILED: {d}Show.Name.S01E05.1080p.mp4 (the library already holds S01E05 of this show:"
               " Show Name - S01E05.mkv)")
    for verb, options in (("Linked", []), ("Moved", ["--move"])):
        before = files_under(downloads), tree(downloads)
        out, err, rc = run("--rename", *options, host_path(downloads), host_path(library), program=LINK)
        expect(verb + " renamed", (sorted(lines_of(out)), rc), (sorted(
            made + [f"{verb} File: {d}{n} -> {l}{folder(r)}{SEP}{r}" for n, r in names.items()] +
            [refused.format("Link File" if verb == "Linked" else "Move File"), f"{verb} {len(names)} files"]), 1))
        expect(verb + ": the library's names", sorted(os.listdir(os.path.join(library, "Show Name"))),
               sorted(["Show Name - S01E05.mkv"] + [r for r in names.values() if folder(r) == "Show Name"]))
        log = os.path.join(tmp, verb + ".log")
        with open(log, "wb") as saved:
            saved.write(out)
        if verb == "Linked":  # again: each one found by what it is, the download keeping its name
            out, err, rc = run("--rename", host_path(downloads), host_path(library), program=LINK)
            expect("again", sorted(lines_of(out)), sorted([f"Already Linked: {d}{n}" for n in names] +
                                                          [refused.format("Link File"), "Linked 0 files"]))
        out, err, rc = run(host_path(log), program=UNDO)
        expect(verb + " taken back", (rc, (files_under(downloads), tree(downloads)), tree(library)),
               (0, before, {"Show Name", os.path.join("Show Name", "Show Name - S01E05.mkv")}))


def main():
    global WORK
    failures = 0
    work = WORK = tempfile.mkdtemp(prefix="tvtidy-e2e-")
    # TVTIDY_SCENARIOS: only the scenarios named (space-separated).
    only = os.environ.get("TVTIDY_SCENARIOS", "").split()
    try:
        for number, function in enumerate(SCENARIOS):
            if only and function.__name__ not in only:
                continue
            tmp = os.path.join(work, f"s{number}")
            os.mkdir(tmp)
            try:
                function(tmp)
                print(f"[ OK ] {function.__name__}")
            except Skipped as reason:
                print(f"[SKIP] {function.__name__}: {reason}")
            except (Failure, AssertionError, subprocess.TimeoutExpired, OSError) as error:
                failures += 1
                print(f"[FAIL] {function.__name__}: {error}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    build = "Windows under Wine" if WINE else "native"
    ran = sum(1 for f in SCENARIOS if not only or f.__name__ in only)
    print(f"end to end ({build}): {ran - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
