#!/usr/bin/env python3
# usage: stacks.py FOLDER SEED PAIRS -- TOOL WORDS...
#        stacks.py --run COMMANDS RESULTS   (the runner, inside a view)
#
# Builds in FOLDER, from SEED, a random stack up to four levels deep (images
# with msdos or GPT tables; loop devices with offsets and size limits over
# images, devices, files and a mirror's files, one whose image is deleted;
# ext4, ext2, XFS with an external log, Btrfs on two devices; overlays with
# their layers on one file system or on two; squashfs and zip images that
# FUSE programs serve, and mirrors of folders; files and images inside), and
# runs the tool on PAIRS random pairs and ranges under strace, which fails
# every write, truncation and kernel copy: a run that got that far was let
# through, harming nothing. The pairs run in four views: root; an
# unprivileged user of the group disk; that user in a namespace of its own
# (unshare -Urm); and a container (container.sh), with files of its own
# root. Compares each outcome with where the construction put each object's
# bytes and with what each view lets the tool see; prints the seed and each
# miss or false refusal, and exits 1 on any, else 3 where a view cannot
# start here (a user namespace in a chroot), naming it and why.
import collections
import json
import os
import random
import shutil
import subprocess
import sys
import types

M, END = 1 << 20, float("inf")
USER = ["setpriv", "--reuid=65534", "--regid=65534", "--groups=6"]
HERE = os.path.dirname(os.path.abspath(__file__))
# Either serves a zip image, writable, naming no image in its mount line.
ZIP_SERVER = shutil.which("fuse-zip") and "fuse-zip" or "archivemount"
# The system's Python, which every view's user can run.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def thing(path, length, below=None, fs=None, real=None, writable=True):
    """A device, with below: (thing, start, end) where its bytes lie; or a
    file of the file system fs (None: the host's), which is real where it is
    an overlay's or a mirror's file."""
    return types.SimpleNamespace(path=path, length=length, below=below, fs=fs, device=below is not None, real=real,
                                 owner=0, deleted=False, overlay=None, writable=writable)


def file_system(devices=(), images=(), served=False, hidden=False):
    """served: its images are seen through the FUSE program that holds them."""
    return types.SimpleNamespace(devices=list(devices), images=list(images), served=served, hidden=hidden)


def real(t):
    return real(t.real) if t.real else t


def walk(t, start, end, view, side, through=None):
    """Adds the regions (storage, start, end, through) that bytes [start, end)
    of t are to side; through: the file system whose file they lie below."""
    side.regions.append((t, start, end, through))
    if t.deleted and t.path not in view["nodes"]:
        side.untold = True
    for lower, s, e in t.below or ():
        walk(lower, min(s + start, e), min(s + end, e), view, side, through)
    fs = None if t.device else t.fs
    if t.real:
        walk(t.real, start, end, view, side, through)
    elif fs and (fs.hidden or (fs.served and not view["servers"])):
        side.hidden = True
    elif fs:
        for below in fs.devices + fs.images:
            walk(below, 0, END, view, side, fs)


def sides(t, start, end, view):
    side = types.SimpleNamespace(regions=[], hidden=False, untold=False)
    walk(t, start, end, view, side)
    return side


def truth(source, start, size, destination, new, view):
    """"same", "maybe" (what the view hides could hold the other side) or
    "copy"."""
    a, b = real(source), real(destination)
    if not a.device and not b.device and a.fs is b.fs:
        return "same" if a is b and not new else "copy"
    reads, writes = sides(a, start, start + size, view), sides(b, 0, size if b.device else END, view)
    if any(x is y and max(x0, y0) < min(x1, y1) and (xt is None or xt is not yt) and not (new and y is b)
           for x, x0, x1, xt in reads.regions for y, y0, y1, yt in writes.regions):
        return "same"
    touched = [r for r in writes.regions if not (new and r[0] is b)]
    if (reads.untold and touched) or writes.untold or (reads.hidden and b.device) or (writes.hidden and a.device):
        return "maybe"
    return "copy"


def other_layers(t, things):
    """A device of each file system of t's overlay's layers but t's own."""
    layers = [f for o in things if o.overlay and o.overlay.upper == t.overlay.upper
              for f in (real(o).fs, o.overlay.upper_fs)]
    return list({id(f): f.devices[0] for f in layers if f and f is not real(t).fs and f.devices}.values())


def edges(source, start, destination):
    """Lengths of a device's part written that end where a part read begins,
    or one byte past it."""
    everything = {"nodes": (), "servers": True}
    return [a0 - b0 + d for a, a0, _, _ in sides(real(source), start, END, everything).regions
            for b, b0, _, _ in sides(destination, 0, END, everything).regions
            if a is b and b0 < a0 < END for d in (0, 1)] if destination.device else []


def storages(t):
    return {id(r[0]) for r in sides(real(t), 0, END, {"nodes": (), "servers": True}).regions}


class Builder:
    def __init__(self, folder, seed):
        self.folder, self.seed, self.rng = folder, seed, random.Random(seed)
        self.undo, self.things, self.new, self.count, self.kinds = [], [], [], 0, []
        # Each seed starts the kinds of overlay at a place of its own.
        self.overlays, self.fuses, self.mirrors, self.mounts = int(seed), int(seed), 0, []
        # By file system: the bytes its sparse images may yet take.
        self.promised = collections.Counter()

    def name(self, stem, folder=None):
        self.count += 1
        return os.path.join(folder or self.folder, f"{stem}{self.count}")

    def run(self, *command, **options):
        return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout.strip()

    def add(self, t):
        self.things.append(t)
        return t

    def mounted(self, point, *command):
        self.run(*command)
        self.undo.append(("umount", "--lazy", point))
        return point

    def loop(self, backing, offset=0, limit=0, scan=False):
        options = ["--offset", str(offset)] + ["--sizelimit", str(limit)] * bool(limit) + ["--partscan"] * scan
        path = self.run("losetup", "--find", "--show", *options, backing.path)
        self.undo.append(("losetup", "--detach", path))
        window = (backing, offset, offset + limit if limit else END)
        return self.add(thing(path, limit or backing.length - offset, [window]))

    def window(self, length):
        offset = self.rng.randrange(length // 2 // 512) * 512 if self.rng.random() < 0.5 else 0
        return offset, self.rng.choice((0, self.rng.randrange(1, (length - offset) // 512 + 1) * 512))

    def image(self, length, folder=None, fs=None):
        path = self.name("image", folder)
        with open(path, "wb") as f:
            f.truncate(length)
        return self.add(thing(path, length, fs=fs))

    def room(self, folder):
        """What may still be written in folder's file system, less what its
        images may yet take: a small one must never fill up below them."""
        free = os.statvfs(folder)
        return free.f_bavail * free.f_frsize - self.promised[os.stat(folder).st_dev]

    def data(self, folder, most):
        """Random bytes, fewer than most, and at most half the room there."""
        return self.rng.randbytes(max(1, min(self.rng.randrange(1, most), self.room(folder) // 2)))

    def file(self, path, fs):
        with open(path, "wb") as f:
            f.write(self.data(os.path.dirname(path), 200000))
        return self.add(thing(path, os.path.getsize(path), fs=fs))

    def mount(self, devices, options=()):
        point = self.name("mount")
        os.mkdir(point)
        self.mounted(point, "mount", *options, devices[0].path, point)
        os.chmod(point, 0o1777)
        self.mounts.append((point, file_system(devices)))
        return self.mounts[-1]

    def fill(self, point, fs, depth):
        """Files in the file system, a name for a new one, maybe an image, an
        overlay, a FUSE image, a mirror."""
        for _ in range(self.rng.randrange(1, 3)):
            self.file(self.name("file", point), fs).owner = self.rng.choice((0, 65534))
        self.new.append(thing(os.path.join(point, "new"), 0, fs=fs))
        if depth < 4 and self.rng.random() < 0.7:
            # An image only where it can be written whole, or a smaller one.
            wanted, room = self.rng.choice((3, 8)) * M, self.room(point)
            length = next((n for n in (wanted, 3 * M) if n < room), 0)
            if length:
                self.promised[os.stat(point).st_dev] += length
                self.build_on(self.image(length, point, fs), depth + 1)
        for chance, step in ((0.6, self.overlay), (0.4, self.fuse_image), (0.3, self.mirror)):
            if depth < 4 and self.rng.random() < chance:
                step(point, fs)

    def partitioned(self, image):
        second = self.rng.randrange(4096, image.length // 1024)
        layout = f"label: {self.rng.choice(('dos', 'gpt'))}\nstart=2048, size={second - 2048}\nstart={second}\n"
        self.run("sfdisk", "-q", image.path, input=layout)
        # The table as sfdisk wrote it, which may align it.
        table = json.loads(self.run("sfdisk", "--json", image.path))["partitiontable"]["partitions"]
        disk = self.loop(image, scan=True)
        # A loop device that an earlier stack left partitioned gets them anew.
        subprocess.run(["partx", "--update", disk.path], capture_output=True)
        return disk, [self.add(thing(f"{disk.path}p{n}", p["size"] * 512,
                                     [(disk, p["start"] * 512, (p["start"] + p["size"]) * 512)]))
                      for n, p in enumerate(table, 1) if os.path.exists(f"{disk.path}p{n}")]

    def build_on(self, image, depth):
        """A device over image, and maybe ext4 or ext2 on it."""
        choice = self.rng.randrange(3)
        if choice == 0 and image.length >= 8 * M:
            disk, targets = self.partitioned(image)
            if self.rng.random() < 0.5:
                self.loop(disk)
        else:
            targets = [self.loop(image, *(self.window(image.length) if choice else (0, 0)))]
        for target in targets:
            if self.rng.random() < 0.3:
                self.loop(target, *self.window(target.length))
            if target.length >= 2 * M and self.rng.random() < 0.6:
                self.run(f"mkfs.{self.rng.choice(('ext4', 'ext2'))}", "-q", "-F", target.path)
                self.fill(*self.mount([target]), depth)

    def overlay(self, point, fs):
        """An overlay whose lower layer is a folder of the file system at point,
        of four kinds in turn: its upper layer there too; on a tmpfs, without
        xino and with; or none, a second lower one on a tmpfs."""
        kind, self.overlays = self.overlays % 4, self.overlays + 1
        upper_fs, base, top = fs, point, self.name("overlay")
        if kind:
            base, upper_fs = self.name("tmpfs"), file_system()
            os.mkdir(base)
            self.mounted(base, "mount", "-t", "tmpfs", "tmpfs", base)
        folders = [os.path.join(point, "lower"), os.path.join(base, "upper"), os.path.join(base, "work")]
        for folder in folders + [top]:
            os.makedirs(folder, exist_ok=True)
        lowers = [self.file(self.name("lower", folders[0]), fs) for _ in range(2)]
        options = "lowerdir={},upperdir={},workdir={}".format(*folders) + ",xino=on" * (kind == 2)
        if kind == 3:
            lowers.append(self.file(self.name("lower", folders[1]), upper_fs))
            options = "lowerdir={}:{}".format(*folders[:2]) + ",xino=on" * (self.rng.random() < 0.5)
        self.mounted(top, "mount", "-t", "overlay", "overlay", "-o", options, top)
        for file in lowers:
            merged = types.SimpleNamespace(upper=folders[1], upper_fs=upper_fs, lower=file)
            self.add(thing(os.path.join(top, os.path.basename(file.path)), file.length, real=file,
                           writable=kind != 3)).overlay = merged
        if kind == 3:
            return
        os.chmod(top, 0o1777)
        made = self.name("made", top)
        with open(made, "wb") as f:
            f.write(self.data(folders[1], 100000))
        self.add(thing(made, os.path.getsize(made), real=self.add(
            thing(os.path.join(folders[1], os.path.basename(made)), os.path.getsize(made), fs=upper_fs))))
        self.new.append(thing(os.path.join(top, "new"), 0, fs=upper_fs))

    def fuse_image(self, point, fs):
        """A squashfs or zip image in the file system, served by its FUSE
        program."""
        source, top = self.name("content"), self.name("fuse")
        os.makedirs(source), os.mkdir(top)
        with open(os.path.join(source, "inside"), "wb") as f:
            f.write(self.data(point, 200000))
        self.fuses += 1
        if self.fuses % 2:
            image = self.name("image", point) + ".sqfs"
            self.run("mksquashfs", source, image, "-quiet", "-noappend")
            self.mounted(top, "squashfuse", "-o", "allow_other", image, top)
        else:
            image = self.name("image", point) + ".zip"
            self.run("zip", "-q", "-j", image, os.path.join(source, "inside"))
            self.mounted(top, ZIP_SERVER, "-o", "allow_other", image, top)
        served = file_system(images=[self.add(thing(image, os.path.getsize(image), fs=fs))], served=True)
        self.add(thing(os.path.join(top, "inside"), os.path.getsize(os.path.join(source, "inside")), fs=served,
                       writable=image.endswith(".zip")))

    def mirror(self, point, fs):
        """A mirror of the file system's root folder, its files those of the
        folder; maybe a loop device over an image through it."""
        top = self.name("mirror")
        self.mirrors += 1
        os.mkdir(top)
        self.mounted(top, "bindfs", point, top)
        mirrored = file_system()
        for t in [t for t in self.things if not t.device and t.fs is fs and os.path.dirname(t.path) == point]:
            self.add(thing(top + t.path[len(point):], t.length, fs=mirrored, real=t)).owner = t.owner
        self.new.append(thing(os.path.join(top, "new"), 0, fs=fs))
        images = [t for t in self.things if t.fs is mirrored and t.length >= M]
        if images:
            self.loop(self.rng.choice(images), *self.window(M))

    def build(self):
        # Three seeds in a row build on each of the three kinds, and maybe more.
        self.kinds = [("image", "xfs", "btrfs")[int(self.seed) % 3]]
        self.kinds += self.rng.sample(("image", "xfs", "btrfs"), self.rng.randrange(2))
        for kind in self.kinds:
            if kind == "xfs":  # its log on a device of its own
                data, log = self.loop(self.image(320 * M)), self.loop(self.image(80 * M))
                self.run("mkfs.xfs", "-q", "-f", "-l", f"logdev={log.path},size=64m", data.path)
                self.fill(*self.mount([data, log], ("-o", f"logdev={log.path}")), 2)
            elif kind == "btrfs":  # on two devices
                devices = [self.loop(self.image(128 * M)) for _ in range(2)]
                self.run("mkfs.btrfs", "-q", "-f", "-d", "single", *(d.path for d in devices))
                self.fill(*self.mount(devices), 2)
            else:
                self.build_on(self.image(self.rng.choice((8, 12, 16)) * M), 1)
        # Each stack has an overlay, a FUSE image and a mirror at least.
        first = int(self.seed)
        for built, step in ((self.overlays != first, self.overlay), (self.fuses != first, self.fuse_image),
                            (self.mirrors, self.mirror)):
            if not built:
                step(*(self.mounts or [(self.folder, None)])[-1])
        # A loop device whose image is deleted since: only its node tells.
        gone = self.loop(self.image(M), *self.window(M))
        os.unlink(gone.below[0][0].path)
        gone.deleted = True
        self.things.remove(gone.below[0][0])
        # The owners a system gives: udev's group disk to block devices.
        for t in self.things:
            if t.device:
                os.chown(t.path, 0, 6)
                os.chmod(t.path, 0o660)
            elif t.owner:
                os.chown(t.path, t.owner, -1)

    def tear_down(self):
        for command in reversed(self.undo):
            subprocess.run(command, check=True)


def run_commands(commands, results):
    """The runner: each command under strace, its output, whether strace failed
    a call of it (it got through), and whether a new destination is left."""
    out = []
    for command, log, new in json.load(open(commands)):
        run = subprocess.run(command, capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        left = bool(new) and os.path.exists(new)
        out.append([run.stdout, os.path.exists(log) and "INJECTED" in open(log).read(), left])
        for path in (log, new):
            if path and os.path.exists(path):
                os.unlink(path)
    json.dump(out, open(results, "w"))


def views(builder, rng, runner):
    """Each view: how the runner starts in it, whether the FUSE programs can
    be seen there, which device nodes it has, what it hides, whether it runs
    as the user, and the files of its own root."""
    nodes = {t.path for t in builder.things if t.device}
    passed = set(rng.sample(sorted(nodes), len(nodes) // 2))
    served = {os.path.dirname(t.path) for t in builder.things if t.fs and getattr(t.fs, "served", False)}
    base = builder.folder + ".container"
    os.mkdir(base)
    container = [os.path.join(runner, "container.sh"), base, "--volume", builder.folder]
    # A coverage build's counters, which its runs in the container add to.
    container += ["--volume", os.environ.get("DRAVLET_COVERAGE_FOLDER", "")] * ("DRAVLET_COVERAGE_FOLDER" in os.environ)
    container += [w for n in sorted(passed) for w in ("--device", n)]
    container += [w for s in sorted(served) for w in ("--hide", s)]
    # The container's root holds its files, which its hidden layers keep.
    root = file_system(hidden=True)
    own = [thing("/etc/os-release", os.path.getsize("/etc/os-release"), fs=root), thing("/new", 0, fs=root)]
    view = {"prefix": [], "servers": True, "nodes": nodes, "user": False, "hidden": set(), "own": []}
    user = dict(view, prefix=USER, servers=False, user=True)
    return {"root": view, "user": user, "rootless": dict(user, prefix=USER + ["unshare", "-Urm"]),
            "container": dict(view, prefix=container + ["--"], servers=False, nodes=passed, hidden=served, own=own)}


def reaches(t, view, new, writes):
    """Whether the view can open t, to write it where writes is set."""
    if t.device:
        return t.path in view["nodes"]
    if any(t.path.startswith(hidden + "/") for hidden in view["hidden"]):
        return False
    return new or not writes or (t.writable and (not view["user"] or real(t).owner == 65534))


def main():
    if sys.argv[1] == "--run":
        return run_commands(*sys.argv[2:4])
    split = sys.argv.index("--")
    (folder, seed, pairs), tool = sys.argv[1:split], sys.argv[split + 1:]
    builder = Builder(folder, seed)
    rng = builder.rng
    failures = refusals = runs = 0
    unable = []
    # The runner, its container and the tool, where every view's user can
    # reach them.
    runner = os.path.join(folder, "runner")
    os.makedirs(runner)
    subprocess.run(["cp", os.path.join(HERE, "stacks.py"), os.path.join(HERE, "container.sh"), tool[-1], runner],
                   check=True)
    tool = tool[:-1] + [os.path.join(runner, os.path.basename(tool[-1]))]
    try:
        builder.build()
        everything = builder.things + builder.new
        chosen = []
        for _ in range(int(pairs)):
            # Half the destinations share a storage with the source somewhere
            # below; some are what the source itself lies in.
            source = rng.choice(builder.things)
            near = [t for t in everything if storages(t) & storages(source)] if rng.random() < 0.5 else []
            below = [t for t in everything if id(t) in storages(source) and t is not source]
            chosen.append((source, rng.choice(below if below and rng.random() < 0.3 else near or everything)))
        # First, before any is copied up, each overlay's, mirror's or FUSE
        # program's file against the file it lies in, and an overlay's file
        # against a device of another layer's file system; each device
        # against what lies directly below it.
        chosen[:0] = [(t, real(t)) for t in builder.things if t.real] + \
            [(t, d) for t in builder.things if t.overlay for d in other_layers(t, builder.things)] + \
            [(t, t.fs.images[0]) for t in builder.things if t.fs and getattr(t.fs, "served", False)] + \
            [(t, t.below[0][0]) for t in builder.things if t.device and t.below[0][0] in builder.things]
        for name, view in views(builder, rng, runner).items():
            probe = subprocess.run(view["prefix"] + [PYTHON, "-c", ""], stderr=subprocess.PIPE, text=True)
            if probe.returncode:
                unable.append(f"{name} ({probe.stderr.strip()})")
                continue
            # A view's own files, each against a random other.
            pairs_here = chosen + [(own, rng.choice(builder.things)) for own in view["own"] if own.length] + \
                [(rng.choice(builder.things), own) for own in view["own"]]
            batch = []
            for source, destination in pairs_here:
                new = destination in builder.new or destination.length == 0
                if not (reaches(source, view, False, False) and reaches(destination, view, new, True)):
                    continue
                start = rng.choice((0, rng.randrange(source.length)))
                size = rng.choice(edges(source, start, destination) or [0]) if rng.random() < 0.5 else 0
                size = max(1, min(size or rng.randrange(1, 65537), source.length - start))
                if not source.device and not destination.device:
                    size = min(size, 65536)  # no shared blocks, whose ioctl strace cannot fail alone
                log = os.path.join(folder, f"trace.{name}.{len(batch)}")
                batch.append((source, destination, start, size, new, [
                    ["strace", "-f", "-qq", "-o", log, "-e", "inject=pwrite64,ftruncate,copy_file_range:error=EIO",
                     *tool, source.path, destination.path, str(size), f"-o{start}"], log,
                    destination.path if new else ""]))
            listing, results = os.path.join(folder, f"commands.{name}"), os.path.join(folder, f"results.{name}")
            json.dump([b[-1] for b in batch], open(listing, "w"))
            os.chmod(folder, 0o1777)
            subprocess.run(view["prefix"] + [PYTHON, os.path.join(runner, "stacks.py"), "--run", listing, results],
                           check=True)
            for (source, destination, start, size, new, _), (stdout, through, left) in \
                    zip(batch, json.load(open(results))):
                # Opened for writing, before it is checked, an overlay's file
                # is copied up: the copy in the upper layer is the file since.
                if destination.overlay and destination.overlay.lower is destination.real:
                    upper = os.path.join(destination.overlay.upper, os.path.basename(destination.path))
                    destination.real = builder.add(thing(upper, destination.length, fs=destination.overlay.upper_fs))
                expected = truth(source, start, size, destination, new, view)
                outcome = ("same" if stdout.endswith("is the input file.\n") else
                           "maybe" if stdout.endswith("may be the input file.\n") else "copy")
                refusals += outcome != "copy"
                runs += 1
                if outcome != expected or (outcome == "copy" and not through) or (outcome != "copy" and left):
                    failures += 1
                    print(f"{name}: expected {expected}: dravlet {source.path} {destination.path} {size} -o{start}: "
                          f"{stdout!r}{' (a file was made)' if left and outcome != 'copy' else ''}")
    finally:
        builder.tear_down()
    print(f"stacks: seed {seed}: {failures} of {runs} runs wrong, {refusals} refused, {len(builder.things)} objects "
          f"on {' and '.join(builder.kinds)}")
    if unable and not failures:
        print(f"stacks: views that cannot start here: {', '.join(unable)}")
        return 3
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
