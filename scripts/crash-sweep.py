#!/usr/bin/env python3
"""Crash sweep: is every change of the native store atomic and durable, at every system call?

    crash-sweep.py [BUILD_DIR] [--only CHANGE...] [--durability-only] [--jobs N] [--keep]

BUILD_DIR (default build/debug) holds cli/vexodl-filehosting and vexohost/vexohost-index-tool.
Each change of CHANGES (set, enable, remove-account, install-new, install-over, delete, update)
runs through the tool on a state directory made for the run: the shipped plug-ins filedrop and
youtube, the user plug-ins openmirror and cloudvault (installed at 0.9, older than the 1.0 on
offer), accounts and an enabled state, and a signed file:// update mirror with its key; the
pyLoad side points at paths that do not exist.

The trace. Each change is traced once (strace -y, without -f): its calls of each file-changing
system call (CALLS) are counted, and those that lie under the state directory (a path or a
descriptor there) are marked. The calls that the dynamic loader makes before the program runs
(those at the start of a trace of `--version` with stacks, strace -k, whose every frame is in
ld.so) are left out and counted apart. A change that makes a thread or a child
process (clone, clone3, fork, vfork) fails the sweep: the injection would miss its calls.

The durability rules, from the same trace, following every name through renames and links:
(a) each file and folder that a rename or link publishes (under shipped/ or user/, or the kept
    index update-index.json) is synced (fsync or fdatasync of it, or syncfs) after its last write
    and before that rename;
(b) each folder of the state directory whose entries the change altered (created, unlinked,
    renamed in or out, exchanged) is synced after its last alteration, before the tool exits;
    staging/ (what is in it, and its own removal and re-creation) and lock, lock.gate are exempt.

The sweep. For each call name C and each N from 1 to its count, on a fresh copy of the store:
  kill  strace -e inject=C:signal=SIGKILL:when=N kills the tool as it makes its Nth call C;
  eio   strace -e inject=C:error=EIO:when=N fails that call, for calls under the state directory;
then the store is checked as the next program would find it: `list --json` works; the store
(native hosts as listed, every file of shipped/ and user/ with mode and SHA-256, the kept index,
the account rows read with sqlite3) is the state before the change or after it, or a documented
state in between (an update's kept index without its package; a delete recorded as
staging/deleted-NAME with its account row still there); PRAGMA integrity_check says ok; the
change run again succeeds (a delete may answer 2002 once its plug-in is gone) and leaves the
state after it, staging/ empty, and no file the uninterrupted change does not leave. Under EIO
the tool must exit 1 with its one line `vexodl-filehosting: error CODE: ...`, or 0 only where the
failure cost the change nothing: the store is the state after it, and the run's own trace keeps
every durability rule (a failed call of the cleanup after the last sync, a close whose file a
later sync covers). Never 3, another status, or a signal.

The stores live in a work directory under /dev/shm where there is one (syncs on a disk that other
programs write to can take long; the tool makes the same calls on a tmpfs), removed at the end
unless something failed or --keep is given.

Prints one line per change and mode, each failure with change, call, N and what was wrong, then
"N of M points held; K of L durability rules held". Exit status 0 when everything held, 1 when
anything failed, 2 for a bad command line, 77 when strace is missing. Standard library only;
needs strace (scripts/packages/host.txt).
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import sqlite3
import stat
import subprocess
import sys
import tarfile
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGINS = os.path.join(ROOT, "vexohost", "plugins")

# The system calls that change files or say what a descriptor is, counted and injected.
CALLS = ["openat", "write", "pwrite64", "writev", "pwritev", "fsync", "fdatasync", "syncfs",
         "rename", "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat", "unlink",
         "unlinkat", "mkdir", "mkdirat", "rmdir", "ftruncate", "fchmod", "fchmodat", "chmod",
         "fchown", "fchownat", "utimensat", "close"]
# A thread or child of the tool would make calls that the injection does not count.
SPAWNS = ["clone", "clone3", "fork", "vfork"]
SYNCS = {"fsync", "fdatasync", "syncfs"}
WRITES = {"write", "pwrite64", "writev", "pwritev", "ftruncate", "fchmod"}

EXIT_LOADER = 127
CHANGE_TIMEOUT = 60  # seconds for one run of the tool


class SweepError(Exception):
    """The sweep itself cannot go on: no tool, a store that cannot be made, a change that fails."""


# --- the store made for the run -------------------------------------------------------------

def one_line(text):
    """Standard error of a run, its lines joined, for one line of the report."""
    return " | ".join(line for line in text.strip().splitlines() if line)


def run(argv, env=None, stdin=None, cwd=None, timeout=CHANGE_TIMEOUT):
    return subprocess.run(argv, env=env, input=stdin, cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


def make_package(path, top, files):
    """Writes a .tar.gz of folder `top` holding `files`: {relative path: (bytes, mode)}."""
    with tarfile.open(path, "w:gz") as archive:
        folders = {top}
        for name in files:
            parts = name.split("/")[:-1]
            for depth in range(1, len(parts) + 1):
                folders.add(top + "/" + "/".join(parts[:depth]))
        for folder in sorted(folders):
            info = tarfile.TarInfo(folder)
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            archive.addfile(info)
        for name, (data, mode) in sorted(files.items()):
            info = tarfile.TarInfo(top + "/" + name)
            info.size = len(data)
            info.mode = mode
            archive.addfile(info, _BytesReader(data))


class _BytesReader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def read(self, size=-1):
        end = len(self.data) if size < 0 else min(len(self.data), self.at + size)
        chunk = self.data[self.at:end]
        self.at = end
        return chunk


def plugin_files(name, **manifest_changes):
    """The files of sample plug-in `name`, its manifest changed as given."""
    folder = os.path.join(PLUGINS, name)
    files = {}
    for entry in sorted(os.listdir(folder)):
        path = os.path.join(folder, entry)
        with open(path, "rb") as f:
            data = f.read()
        if entry == "manifest.json" and manifest_changes:
            manifest = json.loads(data)
            manifest.update(manifest_changes)
            data = (json.dumps(manifest, indent=2) + "\n").encode()
        files[entry] = (data, 0o755 if os.stat(path).st_mode & stat.S_IXUSR else 0o644)
    return files


def write_folder(path, files):
    for name, (data, mode) in files.items():
        target = os.path.join(path, name)
        os.makedirs(os.path.dirname(target), mode=0o755, exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, mode)


class Fixture:
    """The tool, the base store, the packages and the update mirrors of one run, in `work`."""

    def __init__(self, build, work):
        self.build = build
        self.work = work
        self.tool = os.path.join(build, "cli", "vexodl-filehosting")
        self.index_tool = os.path.join(build, "vexohost", "vexohost-index-tool")
        for program in (self.tool, self.index_tool):
            if not os.access(program, os.X_OK):
                raise SweepError(f"{program} is missing: build it first (cmake --build {build})")
        self.base = os.path.join(work, "base")
        self.packages = os.path.join(work, "packages")
        self.mirror = os.path.join(work, "mirror")
        self.bad_mirror = os.path.join(work, "mirror-bad-package")
        self.cwd = os.path.join(work, "cwd")  # nothing of the store: relative paths resolve here
        self.key = None

    def env(self, state, mirror=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VEXODL_")}
        env.update({
            "VEXODL_VEXOHOST_STATE_DIR": state,
            "VEXODL_PYLOAD_SOCKET": os.path.join(self.work, "no-pyload", "pyload.sock"),
            "VEXODL_PYLOAD_CLI": os.path.join(self.work, "no-pyload", "pyload-cli"),
            "VEXODL_VEXOHOST_UPDATE_MIRROR": "file://" + (mirror or self.mirror) + "/",
            "VEXODL_VEXOHOST_UPDATE_KEY": self.key,
            "LC_ALL": "C",
        })
        return env

    def tool_run(self, state, args, stdin=None, mirror=None):
        return run([self.tool] + args, env=self.env(state, mirror), stdin=stdin, cwd=self.cwd)

    def must(self, state, args, stdin=None):
        result = self.tool_run(state, args, stdin)
        if result.returncode != 0:
            raise SweepError(f"making the store: {' '.join(args)} exited {result.returncode}: "
                             f"{one_line(result.stderr)}")

    def make(self):
        os.makedirs(self.cwd)
        os.makedirs(self.packages)
        # The new plug-in: a verifier, and a file in a folder of its own.
        quickshare = plugin_files("filedrop")
        manifest = json.loads(quickshare["manifest.json"][0])
        manifest.update(name="quickshare", version="1.0",
                        description="QuickShare links; a free account is enough")
        quickshare["manifest.json"] = ((json.dumps(manifest, indent=2) + "\n").encode(), 0o644)
        quickshare["docs/README.txt"] = (b"QuickShare: links expire after 30 days.\n", 0o644)
        make_package(os.path.join(self.packages, "quickshare-1.0.tar.gz"), "quickshare",
                     quickshare)
        make_package(os.path.join(self.packages, "cloudvault-1.0.tar.gz"), "cloudvault",
                     plugin_files("cloudvault"))
        old = os.path.join(self.packages, "cloudvault-0.9")
        write_folder(old, plugin_files("cloudvault", version="0.9"))

        # The update server: cloudvault 1.0, signed; and beside it the same index with a package
        # that does not match it, whose update stops with the index kept.
        secret = os.path.join(self.work, "secret.key")
        result = run([self.index_tool, "keygen", secret])
        if result.returncode != 0:
            raise SweepError(f"vexohost-index-tool keygen: {one_line(result.stderr)}")
        self.key = result.stdout.strip()
        os.makedirs(self.mirror)
        package = "cloudvault-1.0.tar.gz"
        shutil.copy(os.path.join(self.packages, package), self.mirror)
        result = run([self.index_tool, "index", "1", "30", f"cloudvault={package}:1.0"],
                     cwd=self.mirror)
        if result.returncode != 0:
            raise SweepError(f"vexohost-index-tool index: {one_line(result.stderr)}")
        with open(os.path.join(self.mirror, "index.json"), "w") as f:
            f.write(result.stdout)
        result = run([self.index_tool, "sign", secret, os.path.join(self.mirror, "index.json")])
        if result.returncode != 0:
            raise SweepError(f"vexohost-index-tool sign: {one_line(result.stderr)}")
        os.makedirs(self.bad_mirror)
        for name in ("index.json", "index.json.sig"):
            shutil.copy(os.path.join(self.mirror, name), self.bad_mirror)
        with open(os.path.join(self.mirror, package), "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 0xFF
        with open(os.path.join(self.bad_mirror, package), "wb") as f:
            f.write(bytes(data))

        # The store, made through the tool where the tool makes things.
        os.mkdir(self.base, 0o700)
        for name in ("filedrop", "youtube"):
            write_folder(os.path.join(self.base, "shipped", name), plugin_files(name))
        os.chmod(os.path.join(self.base, "shipped"), 0o755)
        self.must(self.base, ["install", os.path.join(PLUGINS, "openmirror")])
        self.must(self.base, ["install", old])
        self.must(self.base, ["set", "filedrop", "--type", "vexo", "--username", "bob",
                              "--password-stdin"], "hunter2\n")
        self.must(self.base, ["set", "cloudvault", "--type", "vexo", "--username", "carol",
                              "--password-stdin"], "c4rol\n")
        self.must(self.base, ["set", "openmirror", "--type", "vexo", "--disable"])

    def copy(self, name):
        """A fresh copy of the base store; returns its path."""
        parent = os.path.join(self.work, "points", name)
        os.makedirs(parent)
        state = os.path.join(parent, "state")
        shutil.copytree(self.base, state, symlinks=True)
        return state


def changes(fixture):
    """Each change of the store: (name, arguments, standard input)."""
    return [
        ("set", ["set", "filedrop", "--type", "vexo", "--username", "alice", "--password-stdin"],
         "s3cret\n"),
        ("enable", ["set", "openmirror", "--type", "vexo", "--enable"], None),
        ("remove-account", ["remove-account", "cloudvault", "--type", "vexo"], None),
        ("install-new", ["install", os.path.join(fixture.packages, "quickshare-1.0.tar.gz")], None),
        ("install-over", ["install", os.path.join(fixture.packages, "cloudvault-1.0.tar.gz")],
         None),
        ("delete", ["delete", "openmirror"], None),
        ("update", ["update", "cloudvault"], None),
    ]


CHANGE_NAMES = ["set", "enable", "remove-account", "install-new", "install-over", "delete",
                "update"]
DELETED = "openmirror"  # the plug-in that the delete removes


# --- what the store holds -------------------------------------------------------------------

def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tree(state, folder):
    """Every entry under `folder` of the store: (path, kind, mode, SHA-256 or link target)."""
    entries = []
    top = os.path.join(state, folder)
    if not os.path.lexists(top):
        return entries
    for parent, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(parent, name)
            rel = os.path.relpath(path, state)
            st = os.lstat(path)
            mode = stat.S_IMODE(st.st_mode)
            if stat.S_ISLNK(st.st_mode):
                entries.append((rel, "link", mode, os.readlink(path)))
            elif stat.S_ISDIR(st.st_mode):
                entries.append((rel, "dir", mode, ""))
            else:
                entries.append((rel, "file", mode, sha256(path)))
    return entries


def all_paths(state):
    paths = set()
    for parent, dirs, files in os.walk(state):
        for name in dirs + files:
            paths.add(os.path.relpath(os.path.join(parent, name), state))
    return paths


def read_rows(state):
    """The account rows, read as any program would, and PRAGMA integrity_check's answer."""
    database = os.path.join(state, "accounts.db")
    if not os.path.exists(database):
        return (), "ok"
    connection = sqlite3.connect(f"file:{database}?mode=ro", uri=True)
    try:
        rows = tuple(connection.execute(
            "SELECT name, enabled, username, password FROM hosts ORDER BY name").fetchall())
        check = "; ".join(row[0] for row in connection.execute("PRAGMA integrity_check"))
    finally:
        connection.close()
    return rows, check


def listing(fixture, state):
    """The native hosts that `list --json` shows, or the reason it failed."""
    result = fixture.tool_run(state, ["list", "--json"])
    if result.returncode != 0:
        return None, f"list --json exited {result.returncode}: {one_line(result.stderr)}"
    try:
        hosts = json.loads(result.stdout)
    except ValueError as error:
        return None, f"list --json printed no JSON ({error})"
    native = [h for h in hosts if h.get("type") == "vexo"]
    return tuple(sorted(json.dumps(h, sort_keys=True) for h in native)), ""


def snapshot(fixture, state):
    """What the store holds, as the next program to open it would find it; (state, why not)."""
    hosts, why = listing(fixture, state)
    if hosts is None:
        return None, why
    try:
        rows, check = read_rows(state)
    except sqlite3.Error as error:
        return None, f"accounts.db cannot be read: {error}"
    if check != "ok":
        return None, f"PRAGMA integrity_check says {check}"
    index = os.path.join(state, "update-index.json")
    return {
        "hosts": hosts,
        "files": tuple(tree(state, "shipped") + tree(state, "user")),
        "rows": rows,
        "index": sha256(index) if os.path.exists(index) else None,
    }, ""


def differences(a, b):
    """Says briefly where states `a` and `b` differ."""
    said = []
    for key in ("hosts", "files", "rows", "index"):
        if a[key] == b[key]:
            continue
        if key == "files":
            left = {e[0]: e for e in a[key]}
            right = {e[0]: e for e in b[key]}
            names = sorted(n for n in set(left) | set(right) if left.get(n) != right.get(n))
            said.append("files " + ", ".join(names[:4]) + (" ..." if len(names) > 4 else ""))
        elif key == "rows":
            said.append("account rows " + repr(a[key]))
        elif key == "hosts":
            names = sorted({json.loads(h)["name"] for h in set(a[key]) ^ set(b[key])})
            said.append("listed hosts " + ", ".join(names))
        else:
            said.append("the kept index")
    return "; ".join(said)


# --- the trace ------------------------------------------------------------------------------

CALL_LINE = re.compile(r"^(?P<name>[a-z0-9_]+)\((?P<args>.*)\)\s+= (?P<ret>-?\d+|\?)(?P<rest>.*)$")
FD_ARG = re.compile(r"^(?P<fd>-?\d+|AT_FDCWD)<(?P<path>.*)>$")
LOADER_FRAME = re.compile(r"/ld-linux[^/(]*\.so[^/(]*\(|/ld-[0-9.]+\.so\(")


def split_args(text):
    """Splits strace's argument text at top-level commas."""
    args, depth, quoted, escaped, start = [], 0, False, False, 0
    for i, c in enumerate(text):
        if quoted:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                quoted = False
        elif c == '"':
            quoted = True
        elif c in "([{<":
            depth += 1
        elif c in ")]}>":
            depth -= 1
        elif c == "," and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        args.append(text[start:].strip())
    return args


def unquote(text):
    """The bytes of a quoted strace string, as text."""
    body = text[1:text.rindex('"')]
    out, i = bytearray(), 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode()
            i += 1
            continue
        n = body[i + 1]
        if n == "x":
            out.append(int(body[i + 2:i + 4], 16))
            i += 4
        elif n in "01234567":
            j = i + 1
            while j < len(body) and j < i + 4 and body[j] in "01234567":
                j += 1
            out.append(int(body[i + 1:j], 8))
            i = j
        else:
            out += {"n": b"\n", "t": b"\t", "r": b"\r", "v": b"\v", "f": b"\f"}.get(
                n, n.encode())
            i += 2
    return out.decode(errors="surrogateescape")


def fd_path(text):
    """The path of a descriptor argument shown by strace -y, or None."""
    match = FD_ARG.match(text)
    if not match:
        return None
    path = match.group("path")
    return path[:-len(" (deleted)")] if path.endswith(" (deleted)") else path


class Call:
    def __init__(self, index, name, args, ret, rest):
        self.index = index  # its place among every call of the trace
        self.name = name
        self.args = args
        self.ret = ret
        self.rest = rest
        self.nth = 0  # 1 for the first call of this name, and so on: strace's when=N
        self.loader = False
        self.frames = []

    @property
    def ok(self):
        return self.ret != "-1"

    def fd(self, i):
        return fd_path(self.args[i]) if i < len(self.args) else None

    def path(self, dir_arg, path_arg):
        """The absolute path that arguments `dir_arg` (a descriptor, or None for the working
        directory) and `path_arg` name."""
        text = self.args[path_arg]
        if not text.startswith('"'):
            return None
        path = unquote(text)
        if path.startswith("/"):
            return os.path.normpath(path)
        base = self.fd(dir_arg) if dir_arg is not None else None
        return os.path.normpath(os.path.join(base, path)) if base else None

    def returned_path(self):
        rest = self.rest.strip()
        if rest.startswith("<") and rest.endswith(">"):
            path = rest[1:-1]
            return path[:-len(" (deleted)")] if path.endswith(" (deleted)") else path
        return None

    def paths(self):
        """Every path this call names or acts on through a descriptor."""
        found = [fd_path(a) for a in self.args]
        for i, text in enumerate(self.args):
            if text.startswith('"'):
                dir_arg = i - 1 if i > 0 and fd_path(self.args[i - 1]) is not None else None
                found.append(self.path(dir_arg, i))
        found.append(self.returned_path())
        return [p for p in found if p]

    def label(self):
        return f"{self.name} #{self.nth}"


def parse_trace(text):
    """The calls of a trace of one process, and how it ended (exit status or signal name)."""
    calls, counts, ending = [], {}, None
    for line in text.splitlines():
        if line.startswith(" > "):
            if calls:
                calls[-1].frames.append(line)
            continue
        if line.startswith("+++ exited with "):
            ending = int(line.split()[3])
            continue
        if line.startswith("+++ killed by "):
            ending = line.split()[3]
            continue
        match = CALL_LINE.match(line)
        if not match:
            continue
        call = Call(len(calls), match.group("name"), split_args(match.group("args")),
                    match.group("ret"), match.group("rest"))
        counts[call.name] = counts.get(call.name, 0) + 1
        call.nth = counts[call.name]
        calls.append(call)
    return calls, ending


def loader_calls(fixture):
    """The calls that the dynamic loader makes before the tool's own code runs, as (name,
    paths): those at the start of a trace with stacks (strace -k) whose every frame is in ld.so.
    The tool loads the same libraries for every command, so `--version` shows them; None where
    this strace cannot show stacks."""
    log = os.path.join(fixture.work, "loader.trace")
    result = run(trace_command(log, CALLS, stack=True) + ["--", fixture.tool, "--version"],
                 env=fixture.env(fixture.base), cwd=fixture.cwd)
    if result.returncode != 0:
        return None
    with open(log, errors="surrogateescape") as f:
        calls, _ = parse_trace(f.read())
    loader = []
    for call in calls:
        if not call.frames or not all(LOADER_FRAME.search(f) for f in call.frames):
            break
        loader.append((call.name, tuple(call.paths())))
    return loader or None


def mark_loader(calls, loader):
    """Marks the calls at the start of `calls` that are the loader's; returns how many."""
    count = 0
    for call, expected in zip(calls, loader or []):
        if (call.name, tuple(call.paths())) != expected:
            break
        call.loader = True
        count += 1
    return count


def under(path, root):
    return path == root or path.startswith(root + "/")


# --- the durability rules -------------------------------------------------------------------

class Node:
    """A file or folder, whatever its names: what was last written to it and when it was synced."""

    def __init__(self, kind):
        self.kind = kind
        self.last_write = -1  # index of the last call that changed it (or its entries)
        self.syncs = []
        self.altered = []  # (index, what) for folders: entries created, removed, renamed


class Durability:
    """Replays a trace over a model of the store's names, and checks the rules on the way."""

    def __init__(self, root, initial):
        self.root = root
        self.names = {root: Node("dir")}
        for rel in sorted(initial):
            path = os.path.join(root, rel)
            self.names[path] = Node("dir" if os.path.isdir(path) and not os.path.islink(path)
                                    else "file")
        self.syncfs = []
        self.labels = {}  # index in the trace -> "fsync #3"
        self.published = []  # (ok, message) of rule (a)
        self.folders = {}  # folder node -> its path when last altered (exempt ones left out)

    def node(self, path, kind="file"):
        if path not in self.names:
            self.names[path] = Node(kind)
        return self.names[path]

    def rel(self, path):
        return os.path.relpath(path, self.root) if path != self.root else "the state directory"

    def exempt(self, folder, name):
        staging = os.path.join(self.root, "staging")
        if under(folder, staging):
            return True
        return folder == self.root and name in ("staging", "lock", "lock.gate")

    def alter(self, path, index, what):
        """The entry `path` was created, removed or replaced by call `index`."""
        folder, name = os.path.dirname(path), os.path.basename(path)
        node = self.node(folder, "dir")
        node.last_write = index
        if under(folder, self.root) and not self.exempt(folder, name):
            node.altered.append((index, what))
            self.folders[node] = folder

    def subtree(self, path):
        return [p for p in self.names if p == path or p.startswith(path + "/")]

    def move(self, old, new):
        for p in self.subtree(new):
            del self.names[p]
        for p in self.subtree(old):
            self.names[new + p[len(old):]] = self.names.pop(p)

    def exchange(self, a, b):
        moved_a = {p: self.names.pop(p) for p in self.subtree(a)}
        moved_b = {p: self.names.pop(p) for p in self.subtree(b)}
        for p, n in moved_a.items():
            self.names[b + p[len(a):]] = n
        for p, n in moved_b.items():
            self.names[a + p[len(b):]] = n

    def is_published(self, path):
        rel = os.path.relpath(path, self.root)
        return (under(path, self.root) and
                (rel == "update-index.json" or rel.startswith("shipped/") or
                 rel.startswith("user/")))

    def sync_after(self, node, after, before=None):
        """The first sync of `node` (its own, or syncfs) after call `after` and before call
        `before`, or None."""
        found = [s for s in node.syncs + self.syncfs
                 if s > after and (before is None or s < before)]
        return min(found) if found else None

    def publish(self, call, path):
        for p in sorted(self.subtree(path)):
            node = self.names[p]
            if node.kind not in ("file", "dir"):
                continue
            what = f"(a) {self.rel(p)}" + ("/" if node.kind == "dir" else "")
            if node.last_write < 0:
                self.published.append((True, f"{what} published by {call.label()}: unchanged"))
                continue
            wrote = self.labels[node.last_write]
            sync = self.sync_after(node, node.last_write, call.index)
            if sync is not None:
                self.published.append((True, f"{what}: {wrote}, {self.labels[sync]}, then "
                                             f"published by {call.label()}"))
            else:
                self.published.append((False, f"{what}: {wrote}, then published by "
                                              f"{call.label()} without a sync in between"))

    def replay(self, calls):
        for call in calls:
            self.labels[call.index] = call.label()
            if not call.ok:
                continue
            name, i = call.name, call.index
            if name == "openat":
                path = call.returned_path()
                flags = call.args[2] if len(call.args) > 2 else ""
                if path and "O_CREAT" in flags:
                    if path not in self.names:
                        self.names[path] = Node("file")
                        self.alter(path, i, f"{call.label()} creates {self.rel(path)}")
            elif name in WRITES:
                path = call.fd(0)
                if path:
                    self.node(path).last_write = i
            elif name in ("chmod", "fchmodat"):
                path = call.path(None, 0) if name == "chmod" else call.path(0, 1)
                if path:
                    self.node(path).last_write = i
            elif name in ("fsync", "fdatasync"):
                path = call.fd(0)
                if path:
                    self.node(path).syncs.append(i)
            elif name == "syncfs":
                self.syncfs.append(i)
            elif name in ("rename", "renameat", "renameat2"):
                if name == "rename":
                    old, new = call.path(None, 0), call.path(None, 1)
                else:
                    old, new = call.path(0, 1), call.path(2, 3)
                flags = call.args[4] if name == "renameat2" and len(call.args) > 4 else ""
                if not old or not new:
                    continue
                self.alter(old, i, f"{call.label()} moves {self.rel(old)} away")
                self.alter(new, i, f"{call.label()} moves in {self.rel(new)}")
                if "RENAME_EXCHANGE" in flags:
                    self.exchange(old, new)
                    if self.is_published(old):
                        self.publish(call, old)
                else:
                    self.move(old, new)
                if self.is_published(new):
                    self.publish(call, new)
            elif name in ("link", "linkat"):
                old, new = (call.path(None, 0), call.path(None, 1)) if name == "link" else (
                    call.path(0, 1), call.path(2, 3))
                if old and new:
                    self.names[new] = self.node(old)
                    self.alter(new, i, f"{call.label()} links {self.rel(new)}")
                    if self.is_published(new):
                        self.publish(call, new)
            elif name in ("symlink", "symlinkat"):
                new = call.path(None, 1) if name == "symlink" else call.path(1, 2)
                if new:
                    self.names[new] = Node("link")
                    self.alter(new, i, f"{call.label()} makes {self.rel(new)}")
            elif name in ("unlink", "unlinkat", "rmdir"):
                path = call.path(None, 0) if name != "unlinkat" else call.path(0, 1)
                if path:
                    self.alter(path, i, f"{call.label()} removes {self.rel(path)}")
                    self.names.pop(path, None)
            elif name in ("mkdir", "mkdirat"):
                path = call.path(None, 0) if name == "mkdir" else call.path(0, 1)
                if path:
                    self.names[path] = Node("dir")
                    self.alter(path, i, f"{call.label()} makes {self.rel(path)}")

    def folder_rules(self):
        """Rule (b): (ok, message) per folder whose entries the change altered."""
        results = []
        for node, path in sorted(self.folders.items(), key=lambda item: item[1]):
            last, what = max(node.altered)
            name = "(b) " + (self.rel(path) + "/" if path != self.root else self.rel(path))
            sync = self.sync_after(node, last)
            if sync is not None:
                results.append((True, f"{name}: last {what}, then {self.labels[sync]}"))
            else:
                results.append((False, f"{name}: last {what}, and no sync after it"))
        return results


# --- one change: the uninterrupted run, its trace, the states it may leave -------------------

def strace_available():
    return shutil.which("strace") is not None


class Plan:
    """What the sweep of one change needs: the states, and the points to try."""

    def __init__(self, name, args, stdin):
        self.name = name
        self.args = args
        self.stdin = stdin
        self.before = None
        self.after = None
        self.between = {}  # name of a state in between -> state
        self.leaves = None  # every path the uninterrupted change leaves
        self.points = []  # (mode, call name, nth)
        self.loader = 0  # calls of the dynamic loader, left out
        self.rules = []  # (ok, message)
        self.failure = None  # why the change cannot be swept at all


def trace_command(log, call_names, stack):
    command = ["strace", "-y", "-s", "0", "-q", "-o", log,
               "-e", "trace=" + ",".join(call_names + SPAWNS), "-e", "signal=none"]
    if stack:
        command.insert(1, "-k")
    return command


def plan_change(fixture, name, args, stdin, base_state, loader):
    plan = Plan(name, args, stdin)
    plan.before = base_state

    state = fixture.copy(f"{name}-uninterrupted")
    result = fixture.tool_run(state, args, stdin)
    if result.returncode != 0:
        plan.failure = f"the change fails on its own: exit {result.returncode}: " \
                       f"{one_line(result.stderr)}"
        return plan
    plan.after, why = snapshot(fixture, state)
    if plan.after is None:
        plan.failure = f"the store after the change cannot be read: {why}"
        return plan
    plan.leaves = all_paths(state)

    if name == "update":
        state = fixture.copy(f"{name}-index-kept")
        result = fixture.tool_run(state, args, stdin, mirror=fixture.bad_mirror)
        kept, why = snapshot(fixture, state)
        if result.returncode != 1 or "error 2404" not in result.stderr or kept is None:
            plan.failure = "an update whose package does not match could not be made to keep " \
                           f"its index: exit {result.returncode}: {one_line(result.stderr)} {why}"
            return plan
        plan.between["the new index kept, its package not installed"] = kept
    if name == "delete":
        prefix = f"user/{DELETED}"
        recorded = dict(plan.before)
        recorded["files"] = tuple(e for e in plan.before["files"]
                                  if e[0] != prefix and not e[0].startswith(prefix + "/"))
        recorded["hosts"] = tuple(h for h in plan.before["hosts"]
                                  if json.loads(h)["name"] != DELETED)
        plan.between["the deletion recorded in staging/"] = recorded

    state = fixture.copy(f"{name}-trace")
    initial = all_paths(state)
    log = os.path.join(os.path.dirname(state), "trace")
    result = run(trace_command(log, CALLS, stack=False) + ["--", fixture.tool] + args,
                 env=fixture.env(state), stdin=stdin, cwd=fixture.cwd)
    with open(log, errors="surrogateescape") as f:
        calls, ending = parse_trace(f.read())
    mark_loader(calls, loader)
    if result.returncode != 0 or ending != 0:
        plan.failure = f"the traced change exited {result.returncode}: {one_line(result.stderr)}"
        return plan
    spawned = [c for c in calls if c.name in SPAWNS]
    if spawned:
        plan.failure = (f"the change starts a thread or a child process ({spawned[0].name} "
                        f"#{spawned[0].nth}), whose calls the injection would not count")
        return plan
    traced, why = snapshot(fixture, state)
    if traced != plan.after:
        why = why or differences(traced, plan.after)
        plan.failure = f"the traced change left another state: {why}"
        return plan

    durability = Durability(state, initial)
    durability.replay(calls)
    plan.rules = durability.published + durability.folder_rules()

    for call in calls:
        if call.name in SPAWNS:
            continue
        if call.loader:
            plan.loader += 1
            continue
        plan.points.append(("kill", call.name, call.nth))
        if any(under(p, state) for p in call.paths()):
            plan.points.append(("eio", call.name, call.nth))
    return plan


# --- one point: the change cut off at one call ---------------------------------------------

CONTEXT = {}


def init_worker(fixture, plans):
    CONTEXT["fixture"] = fixture
    CONTEXT["plans"] = plans


def name_state(plan, state):
    if state == plan.before:
        return "before"
    if state == plan.after:
        return "after"
    for name, between in plan.between.items():
        if state == between:
            return name
    return None


def check_point(task):
    """Runs one point; returns (change, mode, call, nth, verdict, message)."""
    change, mode, call, nth = task
    fixture, plan = CONTEXT["fixture"], CONTEXT["plans"][change]
    state = fixture.copy(f"{change}-{mode}-{call}-{nth}")
    folder = os.path.dirname(state)
    log = os.path.join(folder, "strace.log")
    if mode == "kill":
        command = ["strace", "-qq", "-o", log, "-e", "trace=" + call, "-e", "signal=none",
                   "-e", f"inject={call}:signal=SIGKILL:when={nth}"]
    else:
        # The whole run traced: where the tool goes on, its own calls must still make the change
        # durable.
        initial = all_paths(state)
        command = trace_command(log, CALLS, stack=False) + [
            "-e", f"inject={call}:error=EIO:when={nth}"]

    def verdict(kind, message=""):
        if kind == "held" or kind == "loader":
            shutil.rmtree(folder, ignore_errors=True)
        else:
            message += f" (kept in {folder})"
        return change, mode, call, nth, kind, message

    try:
        result = run(command + ["--", fixture.tool] + plan.args, env=fixture.env(state),
                     stdin=plan.stdin, cwd=fixture.cwd)
    except subprocess.TimeoutExpired:
        return verdict("failed", f"the tool did not end within {CHANGE_TIMEOUT} s")
    with open(log, errors="surrogateescape") as f:
        trace = f.read()
    if result.returncode == EXIT_LOADER and "error while loading shared libraries" in result.stderr:
        return verdict("loader")
    if mode == "kill":
        if result.returncode != -signal.SIGKILL:
            return verdict("failed", "the call was never made, the tool exited "
                                     f"{result.returncode}: the run differs from the trace")
    else:
        if "(INJECTED)" not in trace:
            return verdict("failed", "the call was never made, the tool exited "
                                     f"{result.returncode}: the run differs from the trace")
        if result.returncode < 0:
            return verdict("failed", f"died by signal {-result.returncode}: "
                                     f"{one_line(result.stderr)}")
        if result.returncode not in (0, 1):
            return verdict("failed", f"exit {result.returncode}: {one_line(result.stderr)}")
        if result.returncode == 1 and not re.search(r"^vexodl-filehosting: error \d+: ",
                                                     result.stderr, re.M):
            return verdict("failed", "exit 1 without a `vexodl-filehosting: error CODE: ...` "
                                     f"line: {one_line(result.stderr)}")
        if result.returncode == 0:
            # Success claimed although a call failed: the failure must not have cost the change
            # anything, so its own trace must keep every durability rule.
            durability = Durability(state, initial)
            durability.replay(parse_trace(trace)[0])
            broken = [m for ok, m in durability.published + durability.folder_rules() if not ok]
            if broken:
                return verdict("failed", "exit 0 although the change is not durable: " +
                                         "; ".join(broken))

    found, why = snapshot(fixture, state)
    if found is None:
        return verdict("failed", why)
    named = name_state(plan, found)
    if mode == "eio" and result.returncode == 0 and named != "after":
        return verdict("failed", f"exit 0, but the store is {named or 'another state'}: "
                                 f"unlike after in {differences(found, plan.after)}")
    if named is None:
        return verdict("failed", "the store is neither before nor after the change: unlike "
                                 f"before in {differences(found, plan.before)}; unlike after "
                                 f"in {differences(found, plan.after)}")
    if named == "the deletion recorded in staging/" and not os.path.isdir(
            os.path.join(state, "staging", "deleted-" + DELETED)):
        return verdict("failed", f"{DELETED} left user/ with its account row still there, and "
                                 "no deletion is recorded in staging/")

    again = fixture.tool_run(state, plan.args, plan.stdin)
    gone = plan.name == "delete" and named != "before" and again.returncode == 1 and \
        "error 2002:" in again.stderr
    if again.returncode != 0 and not gone:
        return verdict("failed", f"the store was {named}; the change run again exited "
                                 f"{again.returncode}: {one_line(again.stderr)}")
    final, why = snapshot(fixture, state)
    if final is None:
        return verdict("failed", f"after the change ran again: {why}")
    if final != plan.after:
        return verdict("failed", "the change run again left another state than after it: "
                                 f"{differences(final, plan.after)}")
    staging = os.path.join(state, "staging")
    if os.path.isdir(staging) and os.listdir(staging):
        return verdict("failed", "staging/ holds " + ", ".join(sorted(os.listdir(staging))) +
                                 " after the change ran again")
    extra = sorted(all_paths(state) - plan.leaves)
    if extra:
        return verdict("failed", "left behind: " + ", ".join(extra[:5]))
    return verdict("held")


# --- the run --------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(
        description="Kill and fail every file-changing system call of each change of the "
                    "native store, and check the store after each; check its syncs.")
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "debug"),
                        help="the build directory (default build/debug)")
    parser.add_argument("--only", nargs="+", choices=CHANGE_NAMES, metavar="CHANGE",
                        help="only these changes: " + ", ".join(CHANGE_NAMES))
    parser.add_argument("--durability-only", action="store_true",
                        help="check the durability rules only, without the sweep")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="points run at once (default: the number of cores)")
    parser.add_argument("--modes", nargs="+", choices=("kill", "eio"), default=("kill", "eio"),
                        help="kill the tool at each call, fail each call with EIO, or both "
                             "(default)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the work directory, even when everything held")
    options = parser.parse_args()
    if options.jobs < 1:
        parser.error("--jobs must be at least 1")
    if not strace_available():
        print("crash-sweep: strace is missing (apt-get install strace); nothing checked")
        return 77

    started = time.monotonic()
    # Syncs on a disk that other programs write to can take long: on a tmpfs they cost nothing,
    # and the tool makes the same calls.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    work = os.path.realpath(tempfile.mkdtemp(prefix="crash-sweep-", dir=shm))
    fixture = Fixture(os.path.abspath(options.build), work)
    try:
        fixture.make()
        base_state, why = snapshot(fixture, fixture.base)
        if base_state is None:
            raise SweepError(f"the store made for the run cannot be read: {why}")
        loader = loader_calls(fixture)
        if loader is None:
            print("crash-sweep: this strace shows no stacks (-k): the dynamic loader's calls are "
                  "swept as the tool's own")
        selected = options.only or CHANGE_NAMES
        plans = {}
        for name, args, stdin in changes(fixture):
            if name in selected:
                plans[name] = plan_change(fixture, name, args, stdin, base_state, loader)
    except (SweepError, subprocess.SubprocessError, OSError) as error:
        print(f"crash-sweep: {error}", file=sys.stderr)
        shutil.rmtree(work, ignore_errors=True)
        return 3

    failed = False
    rules_held = rules_all = 0
    for plan in plans.values():
        if plan.failure:
            print(f"FAIL {plan.name}: {plan.failure}")
            failed = True
            continue
        held = sum(ok for ok, _ in plan.rules)
        rules_held += held
        rules_all += len(plan.rules)
        print(f"durability {plan.name}: {held} of {len(plan.rules)} rules held")
        for ok, message in plan.rules:
            print(f"  {'held' if ok else 'FAIL'} {plan.name} {message}")
        failed |= held != len(plan.rules)

    points_held = points_all = 0
    if not options.durability_only:
        tasks = [(plan.name, mode, call, nth) for plan in plans.values() if not plan.failure
                 for mode, call, nth in plan.points if mode in options.modes]
        outcomes = {}
        with concurrent.futures.ProcessPoolExecutor(
                max_workers=options.jobs, initializer=init_worker,
                initargs=(fixture, plans)) as pool:
            for outcome in pool.map(check_point, tasks, chunksize=4):
                outcomes.setdefault((outcome[0], outcome[1]), []).append(outcome)
        for plan in plans.values():
            if plan.failure:
                continue
            for mode in options.modes:
                results = outcomes.get((plan.name, mode), [])
                loader = sum(r[4] == "loader" for r in results)
                counted = [r for r in results if r[4] != "loader"]
                held = sum(r[4] == "held" for r in counted)
                points_held += held
                points_all += len(counted)
                skipped = plan.loader + loader if mode == "kill" else loader
                note = f" ({skipped} calls of the dynamic loader skipped)" if skipped else ""
                print(f"{mode} {plan.name}: {held} of {len(counted)} points held{note}")
                for change, _, call, nth, kind, message in counted:
                    if kind != "held":
                        failed = True
                        print(f"  FAIL {mode} {change} {call} #{nth}: {message}")

    if not failed and not options.keep:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print(f"work directory: {work}")
    print(f"{time.monotonic() - started:.0f} s, {options.jobs} jobs")
    print(f"{points_held} of {points_all} points held; {rules_held} of {rules_all} durability "
          "rules held")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
