#!/usr/bin/env python3
"""Real download clients calling tvtidy-link through the README's own hook
lines, word for word (only the program's path and the library's are put in).

In a network namespace of its own, with a tracker (opentracker) on
127.0.0.1: one qBittorrent instance seeds single-file torrents and season
packs (with subtitles, a Sample folder and a Subs folder); Transmission and a
second qBittorrent instance download them all at once, as an ordinary user,
each calling tvtidy-link as each torrent finishes. Afterwards every episode
and subtitle must be linked exactly once into each client's library, no hook
may have failed, every torrent must still be seeding, and a forced recheck
must pass at 100%. Every daemon started is stopped by its process id.

Usage (as root): tests/clients.py build/native/tvtidy-link
"""
import base64
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER = 65534  # nobody: the clients and their hooks run as an ordinary user
TRACKER = "http://127.0.0.1:6969/announce"

# name -> files (path in the torrent, bytes); what each library must hold.
SINGLE = ["Show.Name.S01E01.720p.WEB.x264-GRP.mkv", "Show.Name.S01E02.720p.WEB.x264-GRP.mkv",
          "Another.Show.2019.S03E07.1080p.WEB-DL.mkv"]
PACKS = {
    "Pack.Show.S02.720p.WEB-GRP": ["Pack.Show.S02E01.720p.WEB-GRP.mkv", "Pack.Show.S02E02.720p.WEB-GRP.mkv",
                                   "Pack.Show.S02E01.720p.WEB-GRP.en.srt",
                                   "Pack.Show.S02E02.720p.WEB-GRP.en.forced.srt",
                                   "Subs/Pack.Show.S02E02.720p.WEB-GRP.srt",
                                   "Sample/pack.show.s02e01.sample.mkv", "Pack.Show.S02.nfo"],
    "Second.Pack.S01.1080p": ["Second.Pack.S01E01.1080p.mkv", "Second.Pack.S01E02.1080p.mkv",
                              "Second.Pack.S01E03.1080p.mkv"],
    # A complete series: its seasons two levels down.
    "Whole.Show.Complete.1080p": ["Season 1/Whole.Show.S01E01.1080p.mkv", "Season 2/Whole.Show.S02E01.1080p.mkv"],
}
EXPECTED = {  # show folder -> names linked there
    "Show Name": SINGLE[:2],
    "Another Show (2019)": SINGLE[2:],  # a year in brackets, as media servers name series
    "Pack Show": ["Pack.Show.S02E01.720p.WEB-GRP.mkv", "Pack.Show.S02E02.720p.WEB-GRP.mkv",
                  "Pack.Show.S02E01.720p.WEB-GRP.en.srt", "Pack.Show.S02E02.720p.WEB-GRP.en.forced.srt",
                  "Pack.Show.S02E02.720p.WEB-GRP.srt"],
    "Second Pack": PACKS["Second.Pack.S01.1080p"],
    "Whole Show": ["Whole.Show.S01E01.1080p.mkv", "Whole.Show.S02E01.1080p.mkv"],
}
# Already downloaded before the hooks were set up: linked by a catch-up run as root.
CAUGHT_UP = "Show.Name.S01E09.720p.WEB.x264-GRP.mkv"
TORRENTS = SINGLE + list(PACKS)


def hook_lines():
    """The README's qBittorrent field and the two scripts, qBittorrent's and
    Transmission's, as they stand."""
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    field = re.search(r"give that field\s+`([^`]+)`", text).group(1)
    scripts = ["\n".join(line.strip() for line in block.splitlines()) + "\n"
               for block in re.findall(r"\n( +#!/bin/sh\n(?: +.*\n)+)", text)]
    return field, scripts[0], scripts[1]


def write_script(path, text):
    with open(path, "w") as out:
        out.write(text)
    os.chmod(path, 0o755)


def until_answered(ask, what):
    """A daemon just started, asked until it answers."""
    for _ in range(100):
        try:
            return ask()
        except OSError:
            time.sleep(0.2)
    raise RuntimeError(f"{what} did not start")


def put_in(text, program, library):
    return text.replace("/usr/bin/tvtidy-link", program).replace("/data/media/tv", library)


class Run:
    def __init__(self, program):
        self.work = tempfile.mkdtemp(prefix="tvtidy-clients-")
        os.chmod(self.work, 0o755)
        self.daemons = []
        self.failures = []
        self.program = os.path.join(self.work, "bin", "tvtidy-link")
        os.makedirs(os.path.dirname(self.program))
        # tvtidy and tvtidy-undo beside it, for the mistake a new user makes.
        for name in ("tvtidy-link", "tvtidy", "tvtidy-undo"):
            shutil.copy(os.path.join(os.path.dirname(program), name), self.path("bin", name))
            os.chmod(self.path("bin", name), 0o755)

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def own_folder(self, *parts):
        folder = self.path(*parts)
        os.makedirs(folder, exist_ok=True)
        os.chown(folder, USER, USER)
        return folder

    def check(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what, flush=True)
        if not ok:
            self.failures.append(what)

    def start(self, argv, name, user=True, env=None, home=None):
        log = open(self.path(name + ".out"), "wb")
        environment = dict(os.environ, HOME=home or self.path("home"), **(env or {}))
        process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=environment,
                                   user=USER if user else None, group=USER if user else None,
                                   extra_groups=[] if user else None, start_new_session=True)
        self.daemons.append((name, process))
        return process

    def stop_all(self):
        for name, process in self.daemons:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for name, process in self.daemons:
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def content(self):
        """The seeder's files (random bytes, 1 to 3 MB) and their torrents."""
        seed = self.own_folder("seed")
        files = [(name, name) for name in SINGLE]
        files += [(os.path.join(pack, name), pack) for pack, names in PACKS.items() for name in names]
        for index, (name, _) in enumerate(files):
            target = os.path.join(seed, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            size = (1 + index % 3) * 1024 * 1024 + index * 4099
            with open(target, "wb") as out:
                out.write(hashlib.shake_256(name.encode()).digest(size))
        subprocess.run(["chown", "-R", f"{USER}:{USER}", seed], check=True)
        os.makedirs(self.path("torrents"))
        for name in TORRENTS:
            subprocess.run(["transmission-create", "-p", "-s", "256", "-t", TRACKER, "-o",
                            self.path("torrents", name + ".torrent"), os.path.join(seed, name)],
                           check=True, stdout=subprocess.DEVNULL)


class QBittorrent:
    def __init__(self, run, name, web, port, save, autorun=None):
        self.run, self.web, self.save = run, web, save
        config = run.own_folder(name, "qBittorrent", "config")
        with open(os.path.join(config, "qBittorrent.conf"), "w") as out:
            out.write("[LegalNotice]\nAccepted=true\n\n[Preferences]\nWebUI\\LocalHostAuth=false\n"
                      f"WebUI\\Address=127.0.0.1\nWebUI\\Port={web}\nWebUI\\CSRFProtection=false\n"
                      "WebUI\\HostHeaderValidation=false\n")
        subprocess.run(["chown", "-R", f"{USER}:{USER}", run.path(name)], check=True)
        run.start(["qbittorrent-nox", f"--profile={run.path(name)}", f"--webui-port={web}"], name)
        until_answered(lambda: self.call("app/version"), "qBittorrent")
        preferences = {"listen_port": port, "dht": False, "pex": False, "lsd": False, "upnp": False,
                       "enable_multi_connections_from_same_ip": True, "save_path": save,
                       "max_ratio_enabled": False, "queueing_enabled": False,
                       "announce_ip": "", "autorun_enabled": autorun is not None,
                       "autorun_program": autorun or ""}
        self.post("app/setPreferences", {"json": json.dumps(preferences)})

    def call(self, method, fields=None, files=None):
        url = f"http://127.0.0.1:{self.web}/api/v2/{method}"
        headers = {"Referer": f"http://127.0.0.1:{self.web}"}
        data = None
        if files:
            boundary = "tvtidy" + hashlib.md5(str(time.time()).encode()).hexdigest()
            body = b""
            for key, value in (fields or {}).items():
                body += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{key}\"\r\n\r\n"
                         f"{value}\r\n").encode()
            for path in files:
                body += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"torrents\"; "
                         f"filename=\"{os.path.basename(path)}\"\r\n"
                         "Content-Type: application/x-bittorrent\r\n\r\n").encode()
                body += open(path, "rb").read() + b"\r\n"
            data = body + f"--{boundary}--\r\n".encode()
            headers["Content-Type"] = f"multipart/form-data; boundary={boundary}"
        elif fields is not None:
            data = urllib.parse.urlencode(fields).encode()
        with urllib.request.urlopen(urllib.request.Request(url, data=data, headers=headers), timeout=10) as r:
            return r.read()

    def post(self, method, fields):
        return self.call(method, fields)

    def add(self, paths):
        self.call("torrents/add", {"savepath": self.save}, files=paths)

    def torrents(self):
        return json.loads(self.call("torrents/info"))

    def hash_of(self, name):
        return next(t["hash"] for t in self.torrents() if t["name"] == name)

    def offer(self, name, peer, again):
        """Tells the torrent of a peer to connect to. A peer that turned it
        away three times is never tried again: the torrent is then added
        anew, with a fresh list of peers."""
        if again:
            self.post("torrents/delete", {"hashes": self.hash_of(name), "deleteFiles": "false"})
            self.add([self.run.path("torrents", name + ".torrent")])
            wait_for("the seeder's torrent", lambda: any(t["name"] == name for t in self.torrents()), 30)
        self.post("torrents/addPeers", {"hashes": self.hash_of(name), "peers": peer})

    def recheck(self):
        self.post("torrents/recheck", {"hashes": "all"})

    def states(self):
        """name -> (fraction done, seeding?)"""
        return {t["name"]: (t["progress"], t["state"] in ("uploading", "stalledUP", "forcedUP", "queuedUP"))
                for t in self.torrents()}


class Transmission:
    def __init__(self, run, name, port, save, script):
        self.run = run
        config = run.own_folder(name)
        done = os.path.join(config, "torrent-done.sh")
        write_script(done, script)
        settings = {"download-dir": save, "incomplete-dir-enabled": False, "rpc-enabled": True,
                    "rpc-bind-address": "127.0.0.1", "rpc-port": 9091, "rpc-authentication-required": False,
                    "rpc-whitelist-enabled": False, "rpc-host-whitelist-enabled": False,
                    "dht-enabled": False, "lpd-enabled": False, "pex-enabled": False,
                    "port-forwarding-enabled": False, "peer-port": port, "ratio-limit-enabled": False,
                    "download-queue-enabled": False, "seed-queue-enabled": False,
                    "script-torrent-done-enabled": True, "script-torrent-done-filename": done}
        with open(os.path.join(config, "settings.json"), "w") as out:
            json.dump(settings, out)
        subprocess.run(["chown", "-R", f"{USER}:{USER}", config], check=True)
        # As Debian's service runs it: a HOME of root's that its user may not write.
        home = run.path("transmission-home")
        os.makedirs(home, mode=0o755, exist_ok=True)
        run.start(["transmission-daemon", "-f", "-g", config], name, home=home)
        self.session = ""
        until_answered(lambda: self.call("session-get"), "transmission-daemon")

    def call(self, method, **arguments):
        """Transmission's RPC: a first call learns the session's id (409)."""
        body = json.dumps({"method": method, "arguments": arguments}).encode()
        for _ in range(2):
            request = urllib.request.Request("http://127.0.0.1:9091/transmission/rpc", data=body,
                                             headers={"X-Transmission-Session-Id": self.session})
            try:
                with urllib.request.urlopen(request, timeout=10) as r:
                    return json.loads(r.read())["arguments"]
            except urllib.error.HTTPError as error:
                if error.code != 409:
                    raise
                self.session = error.headers["X-Transmission-Session-Id"]
        raise RuntimeError("no Transmission session")

    def add(self, paths):
        for path in paths:
            self.call("torrent-add", metainfo=base64.b64encode(open(path, "rb").read()).decode())

    def recheck(self):
        self.call("torrent-verify")

    def ready(self):
        """Every torrent checked and running: a peer offered before is turned
        away, and the seeder then waits a minute and more to try again."""
        torrents = self.call("torrent-get", fields=["status"])["torrents"]
        return len(torrents) == len(TORRENTS) and all(t["status"] >= 3 for t in torrents)

    def states(self):
        """name -> (fraction done, seeding?); status 6 is seeding."""
        torrents = self.call("torrent-get", fields=["name", "percentDone", "status"])["torrents"]
        return {t["name"]: (t["percentDone"], t["status"] == 6) for t in torrents}


class SystemLog:
    """/dev/log for the test's run, as syslog keeps it: each message the
    hooks' logger sends, its text appended to a file."""

    def __init__(self, path):
        self.path, self.socket = path, None
        if os.path.exists("/dev/log"):
            return  # the system's own log takes them; read it there
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        self.socket.setblocking(False)

    def collect(self):
        while self.socket is not None:
            try:
                message = self.socket.recv(65536).decode("utf-8", "replace")
            except BlockingIOError:
                return
            text = re.sub(r"^<\d+>.*?tvtidy-link(?:\[\d+\])?: ", "", message.rstrip("\n"), count=1)
            with open(self.path, "a") as out:
                out.write(text + "\n")

    def close(self):
        if self.socket is not None:
            self.socket.close()
            os.remove("/dev/log")
            self.socket = None


def wait_for(what, test, seconds, poke=None):
    end = time.time() + seconds
    while time.time() < end:
        if poke:
            poke()
        if test():
            return True
        time.sleep(2)
    print(f"timed out: {what}", flush=True)
    return False


def linked_once(run, library, download):
    """Every expected name linked exactly once, nothing else in the library."""
    inodes = {}
    found = set()
    for folder, _, names in os.walk(library):
        for name in names:
            info = os.lstat(os.path.join(folder, name))
            inodes[info.st_ino] = inodes.get(info.st_ino, 0) + 1
            found.add(os.path.relpath(os.path.join(folder, name), library))
    wanted = {os.path.join(show, name) for show, names in EXPECTED.items() for name in names}
    wanted.add(os.path.join("Show Name", CAUGHT_UP))
    run.check(found == wanted, f"{library}: exactly the episodes and subtitles "
              f"(missing {sorted(wanted - found)}, extra {sorted(found - wanted)})")
    downloads = {}
    for folder, _, names in os.walk(download):
        for name in names:
            downloads[name] = os.lstat(os.path.join(folder, name))
    for path in sorted(wanted & found):
        info = os.lstat(os.path.join(library, path))
        source = downloads.get(os.path.basename(path))
        run.check(source is not None and source.st_ino == info.st_ino and inodes[info.st_ino] == 1,
                  f"{path}: one link of the downloaded file")


def inside(program):
    run = Run(program)
    syslog = None
    try:
        qbit_field, qbit_script, transmission_script = hook_lines()
        run.own_folder("home")
        run.content()
        torrents = [run.path("torrents", name + ".torrent") for name in TORRENTS]
        # Debian's tracker serves only the torrents on its list.
        with open(run.path("whitelist"), "w") as out:
            for path in torrents:
                shown = subprocess.run(["transmission-show", path], capture_output=True, text=True).stdout
                out.write(re.search(r"Hash: ([0-9a-f]{40})", shown).group(1) + "\n")
        # It shuts itself in the folder (chroot): the list by its name there.
        run.start(["opentracker", "-i", "127.0.0.1", "-p", "6969", "-P", "6969", "-d", run.work,
                   "-w", "whitelist"], "opentracker", user=False)
        seeder = QBittorrent(run, "seeder", 8081, 6881, run.path("seed"))
        seeder.add(torrents)
        run.check(wait_for("the seeder's check", lambda: len(seeder.states()) == len(TORRENTS) and all(
            done == 1 and seeding for done, seeding in seeder.states().values()), 120),
            "qBittorrent seeds every torrent")
        # The libraries do not exist yet: the first hook makes each, in a
        # folder the clients' user owns.
        run.own_folder("media")
        library_tr, library_qb = run.path("media", "tv-tr"), run.path("media", "tv-qb")
        download_tr, download_qb = run.own_folder("transmission"), run.own_folder("qbittorrent")
        # A catch-up run as root over what is already there: its show folder
        # must stay usable by the hooks that follow, as the clients' user.
        for download, library in ((download_tr, library_tr), (download_qb, library_qb)):
            with open(os.path.join(download, CAUGHT_UP), "wb") as out:
                out.write(b"downloaded before the hooks were set up")
            os.chown(os.path.join(download, CAUGHT_UP), USER, USER)
            caught = subprocess.run([run.program, download, library], capture_output=True)
            run.check(caught.returncode == 0 and os.stat(os.path.join(library, "Show Name")).st_uid == USER,
                      f"a catch-up run as root links into {library}, owned as the library")
        log = run.path("home", "tvtidy-link.log")
        syslog = SystemLog(log)
        transmission = Transmission(run, "transmission-config", 51413, download_tr,
                                    put_in(transmission_script, run.program, library_tr))
        hook = run.path("bin", "tvtidy-hook")
        write_script(hook, put_in(qbit_script, run.program, library_qb))
        leecher = QBittorrent(run, "leecher", 8082, 6882, download_qb,
                              autorun=qbit_field.replace("/usr/local/bin/tvtidy-hook", hook))
        # Both at once: torrents finish together, and their hooks take turns.
        transmission.add(torrents)
        leecher.add(torrents)
        # Transmission 3.00 connects out to no peer on 127.x: the seeder,
        # told where it listens, connects to it, once Transmission has checked
        # its torrents (it turns peers away until then), and again when a
        # torrent has not begun after half a minute.
        offered = {}

        def offer():
            if not transmission.ready():
                return
            for name, (done, _) in transmission.states().items():
                if done == 0 and time.time() - offered.get(name, 0) > 30:
                    seeder.offer(name, "127.0.0.1:51413", again=name in offered)
                    offered[name] = time.time()

        for client, name, poke in ((transmission, "Transmission", offer), (leecher, "qBittorrent", None)):
            run.check(wait_for(f"{name}'s downloads", lambda: len(client.states()) == len(TORRENTS) and all(
                done == 1 for done, _ in client.states().values()), 300, poke=poke),
                f"{name} downloads every torrent")
        # Each hook ends with its summary line; both clients write to one log.
        summaries = lambda: len(re.findall(r"^Linked \d+ files$", open(log).read() if os.path.exists(log) else "",
                                           re.MULTILINE))
        run.check(wait_for("the hooks", lambda: syslog.collect() or summaries() >= 2 * len(TORRENTS), 60),
                  f"a hook ran for every torrent of both clients ({summaries()} of {2 * len(TORRENTS)})")
        text = open(log).read() if os.path.exists(log) else ""
        print(text, end="", flush=True)
        run.check("FAILED" not in text, "no hook line says FAILED")
        linked_once(run, library_tr, download_tr)
        linked_once(run, library_qb, download_qb)
        for client, name in ((transmission, "Transmission"), (leecher, "qBittorrent")):
            seeds = wait_for(f"{name} seeding", lambda: all(seeding for _, seeding in client.states().values()), 30)
            run.check(seeds, f"{name} still seeds every torrent" + ("" if seeds else f": {client.states()}"))
            client.recheck()
            time.sleep(2)
            # Checking is not seeding: both again, once the check is over.
            run.check(wait_for(f"{name}'s recheck", lambda: all(
                done == 1 and seeding for done, seeding in client.states().values()), 120),
                f"{name}'s recheck passes at 100%, and it seeds on")
        # The commonest mistake: plain tvtidy on the download folder, its
        # lines kept; tvtidy-undo takes it back, and every torrent checks whole.
        as_user = dict(user=USER, group=USER, extra_groups=[], capture_output=True)
        tidy = subprocess.run([run.path("bin", "tvtidy"), download_qb], **as_user)
        moved = tidy.stdout.decode().count("Moved File: ")
        run.check(moved == len(SINGLE) + 1, f"tvtidy moved the {len(SINGLE)} single-file torrents' episodes and "
                  f"the one caught up ({moved})")
        with open(run.path("home", "tidy.log"), "wb") as kept:
            kept.write(tidy.stdout)
        undo = subprocess.run([run.path("bin", "tvtidy-undo"), run.path("home", "tidy.log")], **as_user)
        print(undo.stdout.decode(), end="", flush=True)
        run.check(undo.returncode == 0 and undo.stdout.decode().count("Restored File: ") == moved,
                  "tvtidy-undo restores every moved file")
        leecher.recheck()
        time.sleep(2)
        run.check(wait_for("qBittorrent's recheck after the undo", lambda: all(
            done == 1 and seeding for done, seeding in leecher.states().values()), 120),
            "after the undo, qBittorrent's recheck passes at 100% for every torrent")
    finally:
        run.stop_all()
        if syslog is not None:
            syslog.close()
        for name, _ in run.daemons:
            output = run.path(name + ".out")
            if run.failures and os.path.exists(output):
                print(f"--- {name}\n" + open(output, errors="replace").read()[-2000:], flush=True)
        shutil.rmtree(run.work, ignore_errors=True)
    print("clients: " + ("all passed" if not run.failures else f"{len(run.failures)} FAILED"), flush=True)
    return 0 if not run.failures else 1


def ended(number, frame):
    """SIGTERM and SIGHUP end the test as Ctrl-C does: through every clean-up."""
    raise KeyboardInterrupt


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    signal.signal(signal.SIGTERM, ended)
    signal.signal(signal.SIGHUP, ended)
    program = os.path.abspath(sys.argv[1])
    if os.environ.get("TVTIDY_CLIENTS_INSIDE"):
        return inside(program)
    namespace = f"tvtidy-clients-{os.getpid()}"
    subprocess.run(["ip", "netns", "add", namespace], check=True)
    try:
        subprocess.run(["ip", "-n", namespace, "link", "set", "lo", "up"], check=True)
        inner = subprocess.Popen(["ip", "netns", "exec", namespace, sys.executable, os.path.abspath(__file__), program],
                                 env=dict(os.environ, TVTIDY_CLIENTS_INSIDE="1"))
        try:
            return inner.wait()
        except KeyboardInterrupt:
            # The inside cleans up after itself: it is given the time to.
            inner.send_signal(signal.SIGTERM)
            try:
                inner.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
            return 1
    finally:
        # Whatever is still running in the namespace goes with it.
        pids = subprocess.run(["ip", "netns", "pids", namespace], capture_output=True, text=True).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        subprocess.run(["ip", "netns", "del", namespace])


if __name__ == "__main__":
    sys.exit(main())
