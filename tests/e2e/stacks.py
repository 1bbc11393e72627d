#!/usr/bin/env python3
# usage: stacks.py FOLDER SEED PAIRS -- TOOL WORDS...
#
# Builds in FOLDER, from SEED, a random stack up to four levels deep (images
# with msdos or GPT tables; loop devices with offsets and size limits over
# images, devices and files; ext4, ext2, XFS with an external log, Btrfs on two
# devices, an overlay; files and images inside), and runs the tool on PAIRS
# random pairs and ranges under strace, which fails every write, truncation
# and kernel copy: a run that got that far was let through, harming nothing.
# Compares each outcome with where the construction put each object's bytes;
# prints the seed and each miss or false refusal, and exits 1 on any.
import json
import os
import random
import subprocess
import sys
import types

M, END = 1 << 20, float("inf")


def thing(path, length, below=None, fs=None):
    """A device, with below: (thing, start, end) where its bytes lie; or a
    file of the file system fs (None: the host's, which holds the images)."""
    return types.SimpleNamespace(path=path, length=length, below=below, fs=fs, device=below is not None)


def file_system(devices=(), layers=()):
    return types.SimpleNamespace(devices=list(devices), layers=list(layers))


def regions(thing, start, end, through=None):
    """Every (storage, start, end, through) that bytes [start, end) of thing
    are; through: the file system whose file they lie below."""
    out = [(thing, start, end, through)]
    for lower, s, e in thing.below or ():
        out += regions(lower, min(s + start, e), min(s + end, e), through)
    file_systems = [thing.fs] if not thing.device and thing.fs else []
    while file_systems:
        fs = file_systems.pop()
        file_systems += fs.layers
        for device in fs.devices:
            out += regions(device, 0, END, fs)
    return out


def edges(source, start, destination):
    """Lengths of a device's part written that end where a part read begins,
    or one byte past it."""
    return [a0 - b0 + d for a, a0, _, _ in regions(source, start, END) for b, b0, _, _ in regions(destination, 0, END)
            if a is b and b0 < a0 < END for d in (0, 1)] if destination.device else []


def storages(thing):
    return {id(region[0]) for region in regions(thing, 0, END)}


def truth(source, start, size, destination):
    if not source.device and not destination.device and source.fs is destination.fs:
        return source is destination
    return any(a is b and max(a0, b0) < min(a1, b1) and (at is None or at is not bt)
               for a, a0, a1, at in regions(source, start, start + size)
               for b, b0, b1, bt in regions(destination, 0, size if destination.device else END))


class Builder:
    def __init__(self, folder, seed):
        self.folder, self.seed, self.rng = folder, seed, random.Random(seed)
        self.undo, self.things, self.new, self.count, self.kinds = [], [], [], 0, []

    def name(self, stem, folder=None):
        self.count += 1
        return os.path.join(folder or self.folder, f"{stem}{self.count}")

    def run(self, *command, **options):
        return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout.strip()

    def add(self, thing):
        self.things.append(thing)
        return thing

    def loop(self, backing, offset=0, limit=0, scan=False):
        options = ["--offset", str(offset)] + ["--sizelimit", str(limit)] * bool(limit) + ["--partscan"] * scan
        path = self.run("losetup", "--find", "--show", *options, backing.path)
        self.undo.append(("losetup", "--detach", path))
        return self.add(thing(path, limit or backing.length - offset, [(backing, offset, offset + limit if limit else END)]))

    def image(self, length, folder=None, fs=None):
        path = self.name("image", folder)
        with open(path, "wb") as f:
            f.truncate(length)
        return self.add(thing(path, length, fs=fs))

    def mount(self, devices, options=()):
        point = self.name("mount")
        os.mkdir(point)
        self.run("mount", *options, devices[0].path, point)
        self.undo.append(("umount", point))
        return point, file_system(devices)

    def fill(self, point, fs, depth):
        """Files in the file system, a name for a new one, maybe an image."""
        for _ in range(self.rng.randrange(1, 3)):
            path = self.name("file", point)
            with open(path, "wb") as f:
                f.write(self.rng.randbytes(self.rng.randrange(1, 200000)))
            self.add(thing(path, os.path.getsize(path), fs=fs))
        self.new.append(thing(os.path.join(point, "new"), 0, fs=fs))
        if depth < 4 and self.rng.random() < 0.7:
            self.build_on(self.image(self.rng.choice((3, 8)) * M, point, fs), depth + 1)

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
            offset = self.rng.randrange(image.length // 2 // 512) * 512 if choice else 0
            limit = self.rng.choice((0, self.rng.randrange(1, (image.length - offset) // 512 + 1) * 512))
            targets = [self.loop(image, offset, limit if choice else 0)]
        for target in targets:
            if self.rng.random() < 0.3:
                self.loop(target)
            if target.length >= 2 * M and self.rng.random() < 0.6:
                self.run(f"mkfs.{self.rng.choice(('ext4', 'ext2'))}", "-q", "-F", target.path)
                point, fs = self.mount([target])
                self.fill(point, fs, depth)
                if self.rng.random() < 0.2:
                    self.overlay(point, fs)

    def overlay(self, point, fs):
        """An overlay whose layers are folders of the file system at point."""
        layers, top = [os.path.join(point, name) for name in ("lower", "upper", "work")], self.name("overlay")
        for folder in layers + [top]:
            os.mkdir(folder)
        self.run("mount", "-t", "overlay", "overlay", "-o",
                 "lowerdir={},upperdir={},workdir={}".format(*layers), top)
        self.undo.append(("umount", top))
        self.fill(top, file_system(layers=[fs]), 4)

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

    def tear_down(self):
        for command in reversed(self.undo):
            subprocess.run(command, check=True)


def main():
    split = sys.argv.index("--")
    (folder, seed, pairs), tool = sys.argv[1:split], sys.argv[split + 1:]
    builder = Builder(folder, seed)
    rng = builder.rng
    failures = refusals = 0
    try:
        builder.build()
        everything = builder.things + builder.new
        for _ in range(int(pairs)):
            # Half the destinations share a storage with the source somewhere below.
            source = rng.choice(builder.things)
            near = [t for t in everything if storages(t) & storages(source)] if rng.random() < 0.5 else []
            destination = rng.choice(near or everything)
            start = rng.choice((0, rng.randrange(source.length)))
            size = rng.choice(edges(source, start, destination) or [0]) if rng.random() < 0.5 else 0
            size = max(1, min(size or rng.randrange(1, 65537), source.length - start))
            if not source.device and not destination.device:
                size = min(size, 65536)  # no shared blocks, whose ioctl strace cannot fail alone
            log = os.path.join(folder, "trace.log")
            run = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                                  "inject=pwrite64,ftruncate,copy_file_range:error=EIO", *tool,
                                  source.path, destination.path, str(size), f"-o{start}"],
                                 capture_output=True, text=True, timeout=60,
                                 env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
            refused = run.stdout.endswith("output file is the input file.\n")
            expected = truth(source, start, size, destination)
            refusals += refused
            if refused != expected or not (refused or "INJECTED" in open(log).read()):
                failures += 1
                print(f"{'missed' if expected else 'refused'}: dravlet {source.path} {destination.path} "
                      f"{size} -o{start}: {run.stdout!r}")
            if destination in builder.new and os.path.exists(destination.path):
                os.unlink(destination.path)
    finally:
        builder.tear_down()
    print(f"stacks: seed {seed}: {failures} of {pairs} wrong, {refusals} refused, {len(builder.things)} objects on {' and '.join(builder.kinds)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
