#!/usr/bin/env python3
"""Random stacks of images, partitions, loop devices and ext4, with the tool's
writes made to fail, against where each object's bytes lie by construction.

usage: stacks.py FOLDER SEED PAIRS -- TOOL WORDS...

Builds in FOLDER, from SEED, a stack up to four levels deep: images with
msdos or GPT partition tables, loop devices with offsets and size limits over
images, devices and files inside file systems, ext4 or ext2 on any device,
files inside and images inside those. Then runs the tool on PAIRS random
pairs and ranges under strace, which fails every write, truncation and
kernel copy, so that nothing is harmed: a copy that got as far as writing
or emptying is one the tool let through. Each outcome, refused or let
through, is compared with the construction's truth. Prints the seed, and
each miss and false refusal; exits 1 if there was any. Needs root.
"""
import json
import os
import random
import subprocess
import sys

M = 1 << 20


class Thing:
    """A device or a file. below: (thing, start, end) where its bytes lie,
    for a device; fs: the file system that holds a file (None: the host's)."""

    def __init__(self, path, length, device, below=(), fs=None):
        self.path, self.length, self.device, self.below, self.fs = path, length, device, list(below), fs


class FileSystem:
    def __init__(self, devices):
        self.devices = devices


def regions(thing, start, end, through, out):
    """Every (storage, start, end, through) that bytes [start, end) of thing
    are: through is the file system through whose file they were reached."""
    out.append((thing, start, end, through))
    if thing.device:
        for lower, s, e in thing.below:
            regions(lower, min(s + start, e), min(s + end, e), through, out)
    elif thing.fs is not None:
        # A file's bytes lie anywhere in each device of its file system.
        for device in thing.fs.devices:
            regions(device, 0, float("inf"), thing.fs, out)


def truth(source, start, size, destination):
    """Whether the copy would write bytes that it reads."""
    if not source.device and not destination.device and source.fs is destination.fs:
        return source is destination
    read, written = [], []
    regions(source, start, start + size, None, read)
    regions(destination, 0, float("inf") if not destination.device else size, None, written)
    for a, a_start, a_end, a_through in read:
        for b, b_start, b_end, b_through in written:
            apart = a_through is not None and a_through is b_through
            if a is b and max(a_start, b_start) < min(a_end, b_end) and not apart:
                return True
    return False


class Builder:
    def __init__(self, folder, rng):
        self.folder, self.rng = folder, rng
        # undo: what tear_down undoes, last first: ("umount" or "losetup
        # --detach", the mount point or the device).
        self.undo, self.things, self.new_files, self.count = [], [], [], 0

    def name(self, stem):
        self.count += 1
        return os.path.join(self.folder, f"{stem}{self.count}")

    def run(self, *command):
        return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()

    def loop(self, backing, offset=0, limit=0, scan=False):
        options = ["--offset", str(offset)] + (["--sizelimit", str(limit)] if limit else [])
        options += ["--partscan"] if scan else []
        path = self.run("losetup", "--find", "--show", *options, backing.path)
        self.undo.append(("losetup", "--detach", path))
        length = (limit if limit else backing.length - offset)
        device = Thing(path, length, True, [(backing, offset, offset + limit if limit else float("inf"))])
        self.things.append(device)
        return device

    def image(self, path, length, fs=None):
        with open(path, "wb") as f:
            f.truncate(length)
        thing = Thing(path, length, False, fs=fs)
        self.things.append(thing)
        return thing

    def partitioned(self, image):
        """Partitions image with one or two partitions; returns the disk's
        loop device and the partitions' devices."""
        sectors = image.length // 512
        first = 2048
        second = first + self.rng.randrange(2048, (sectors - first - 2100) // 2)
        table = self.rng.choice(("dos", "gpt"))
        layout = f"label: {table}\nstart={first}, size={second - first}\nstart={second}, size={sectors - second - 2048}\n"
        subprocess.run(["sfdisk", "-q", image.path], input=layout, text=True, check=True, capture_output=True)
        # The table as sfdisk wrote it into the image, which may align it.
        table = json.loads(self.run("sfdisk", "--json", image.path))["partitiontable"]["partitions"]
        disk = self.loop(image, scan=True)
        # Where the kernel did not scan it, partx makes its partitions; a
        # loop device that an earlier stack left partitioned gets them anew.
        subprocess.run(["partx", "--update", disk.path], capture_output=True)
        parts = []
        for number, partition in enumerate(table, 1):
            path = f"{disk.path}p{number}"
            s, e = partition["start"] * 512, (partition["start"] + partition["size"]) * 512
            if os.path.exists(path):
                parts.append(Thing(path, e - s, True, [(disk, s, e)]))
                self.things.append(parts[-1])
        return disk, parts

    def file_system(self, device, depth):
        """ext4 or ext2 on device, mounted, with files in it, and maybe an
        image inside under a loop device, built on further."""
        kind = self.rng.choice(("ext4", "ext2"))
        self.run(f"mkfs.{kind}", "-q", "-F", device.path)
        point = self.name("mount")
        os.mkdir(point)
        self.run("mount", device.path, point)
        self.undo.append(("umount", point))
        fs = FileSystem([device])
        for _ in range(self.rng.randrange(1, 3)):
            path = os.path.join(point, f"file{self.count}")
            self.count += 1
            length = self.rng.randrange(1, 200000)
            with open(path, "wb") as f:
                f.write(self.rng.randbytes(length))
            self.things.append(Thing(path, length, False, fs=fs))
        self.new_files.append(Thing(os.path.join(point, "new"), 0, False, fs=fs))
        if depth < 4 and device.length >= 6 * M:
            inner = self.image(os.path.join(point, "inner.img"), self.rng.choice((2, 3)) * M, fs=fs)
            self.build_on(inner, depth + 1)

    def build_on(self, image, depth):
        """A device over image, and maybe a file system on it."""
        choice = self.rng.randrange(3)
        if choice == 0 and image.length >= 8 * M:
            disk, parts = self.partitioned(image)
            # mkfs refuses a disk whose partition holds a mounted file system.
            targets = parts
            if self.rng.random() < 0.5:
                self.loop(disk)
        elif choice == 1:
            offset = self.rng.randrange(0, image.length // 2 // 512) * 512
            limit = self.rng.choice((0, self.rng.randrange(1, (image.length - offset) // 512 + 1) * 512))
            targets = [self.loop(image, offset, limit)]
        else:
            targets = [self.loop(image)]
        for target in targets:
            if self.rng.random() < 0.3:
                self.loop(target)  # a loop device over a device
            if target.length >= 2 * M and self.rng.random() < 0.6:
                self.file_system(target, depth)

    def build(self):
        for _ in range(self.rng.randrange(1, 3)):
            self.build_on(self.image(self.name("image"), self.rng.choice((8, 12, 16)) * M), 1)

    def tear_down(self):
        for command in reversed(self.undo):
            subprocess.run(command, check=True)


def edges(builder):
    """Lengths that end exactly at, or one byte past, a window's edge."""
    found = set()
    for thing in builder.things:
        for _, s, e in thing.below:
            for edge in (s, e):
                if edge != float("inf") and edge > 0:
                    found.update((edge, edge + 1))
    return sorted(found)


def main():
    argv = sys.argv[1:]
    split = argv.index("--")
    (folder, seed, pairs), tool = argv[:split], argv[split + 1:]
    rng = random.Random(seed)
    builder = Builder(folder, rng)
    failures = refusals = 0
    print(f"stacks: seed {seed} in {folder}")
    try:
        builder.build()
        lengths = edges(builder)
        sources = builder.things
        destinations = builder.things + builder.new_files
        for _ in range(int(pairs)):
            source, destination = rng.choice(sources), rng.choice(destinations)
            start = rng.choice((0, rng.randrange(source.length)))
            size = rng.choice([rng.randrange(1, 4097), rng.randrange(1, 65537)] + lengths)
            size = max(1, min(size, source.length - start))
            if not source.device and not destination.device:
                size = min(size, 65536)  # no shared blocks, which strace cannot fail alone
            if start >= source.length:
                continue
            log = os.path.join(folder, "trace.log")
            run = subprocess.run(["strace", "-f", "-qq", "-o", log,
                                  "-e", "inject=pwrite64,ftruncate,copy_file_range:error=EIO", *tool,
                                  source.path, destination.path, str(size), f"-o{start}"],
                                 capture_output=True, text=True, timeout=60,
                                 env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
            through = "INJECTED" in open(log).read()
            refused = run.stdout.endswith("output file is the input file.\n")
            expected = truth(source, start, size, destination)
            refusals += refused
            if refused != expected or (not refused and not through):
                failures += 1
                what = "missed" if expected else "refused falsely"
                print(f"{what}: dravlet {source.path} {destination.path} {size} -o{start}: {run.stdout!r}")
            if os.path.exists(destination.path) and destination in builder.new_files:
                os.unlink(destination.path)
    finally:
        builder.tear_down()
    print(f"stacks: seed {seed}: {failures} of {pairs} pairs wrong, {refusals} refused, {len(builder.things)} objects")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
