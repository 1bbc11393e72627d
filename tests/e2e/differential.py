#!/usr/bin/env python3
"""Random sources with holes, random ranges, compared with Python's slice.

usage: differential.py FOLDER SEED COUNT [--case N] -- TOOL WORDS...

Makes COUNT cases in FOLDER from SEED: a source laid out by truncate,
fallocate (keeping the size, punching holes, zeroing ranges) and writes at
odd offsets; a range from either end, in bytes or in blocks; a new, a longer
or a shorter existing destination. Runs the tool on each and checks its
status, its output and the destination's bytes against what the range rules
give. Prints each failing case with the command that replays it alone, and
exits 1 if any failed.
"""
import ctypes
import os
import random
import subprocess
import sys

KEEP_SIZE, PUNCH_HOLE, ZERO_RANGE = 0x01, 0x02, 0x10
libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
EDGES = [0, 1, 4095, 4096, 4097, 65535, 65536, 65537]


def near_edge(rng, limit):
    """A position near a page or chunk boundary below limit, or anywhere."""
    if limit <= 0:
        return 0
    if rng.random() < 0.5:
        return rng.randrange(limit)
    return max(0, min(limit - 1, rng.randrange(limit // 65536 + 1) * 65536 + rng.choice(EDGES) - rng.choice((0, 1))))


def make_source(rng, path):
    """Lays out path at random; returns its bytes."""
    length = rng.choice((rng.randrange(70000), rng.randrange(1 << 20), rng.randrange(3 << 20)))
    with open(path, "w+b") as f:
        fd = f.fileno()
        os.ftruncate(fd, length)
        for _ in range(rng.randrange(1, 8)):
            start = near_edge(rng, length + 1)
            span = rng.choice((1, 100, 4096, 65536, 200000, rng.randrange(1, 300000)))
            kind = rng.choice(("write", "write", "keep", "punch", "zero"))
            if kind == "write":
                os.pwrite(fd, rng.randbytes(span), start)
            else:
                mode = {"keep": KEEP_SIZE, "punch": PUNCH_HOLE | KEEP_SIZE, "zero": ZERO_RANGE | KEEP_SIZE}[kind]
                libc.fallocate(fd, mode, start, span)  # a file system that cannot does without
        if rng.random() < 0.3:
            os.ftruncate(fd, near_edge(rng, os.fstat(fd).st_size + 70000))
        return f.read()


def command_line(rng, filesize):
    """A size and options, the report and message they must give, and the
    range they select: (arguments, output, range start, range length)."""
    block = rng.choice((1, 1, 512, 4096, rng.randrange(1, 70000)))
    whole_end = filesize // block * block
    form = rng.randrange(4)
    if form == 0:  # COUNT blocks from a start in blocks
        start_blocks = rng.randrange(filesize // block + 1)
        count = rng.choice((0, 1, rng.randrange(1, 2 * (filesize // block) + 2)))
        arguments, offset, size = [str(count), f"-b{block}", f"-o{start_blocks}"], start_blocks * block, count * block
    elif form == 1:  # the last COUNT blocks
        count = rng.randrange(1, filesize // block + 3)
        arguments, offset, size = [f"-{count}", f"-b{block}"], max(0, whole_end - count * block), count * block
    elif form == 2:  # a start counted back from the end, in bytes
        back = max(1, near_edge(rng, filesize + 2))
        count = rng.randrange(1, 300000)
        arguments, offset, size = [str(count), f"-o-{back}"], filesize - back, count
    else:  # from a byte near a boundary, in bytes
        offset = near_edge(rng, filesize + 1)
        size = near_edge(rng, filesize - offset + 70000) + 1
        arguments = [str(size), f"-o{offset}"]
    output = f"filesize:{filesize} size:{size} offset:{offset}\n"
    if offset < 0:
        return arguments, output + "read file seek error.\n", None, None
    return arguments, output, offset, min(size, filesize - offset)


def run_case(folder, seed, index, tool):
    """Lays out the case's files and runs its command line; returns the
    arguments and what went wrong."""
    rng = random.Random(f"{seed}:{index}")
    source, destination = os.path.join(folder, "source"), os.path.join(folder, "destination")
    data = make_source(rng, source)
    arguments, output, start, length = command_line(rng, len(data))
    if os.path.exists(destination):
        os.unlink(destination)
    before = rng.choice((None, rng.randbytes(rng.randrange(1, 1 << 20)), rng.randbytes(rng.randrange(1, 100))))
    if before is not None:
        with open(destination, "wb") as f:
            f.write(before)
    run = subprocess.run(tool + [source, destination] + arguments, capture_output=True, timeout=60, check=False)
    # The Windows build ends its lines in "\r\n"; no native line holds a "\r".
    got = run.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    problems = []
    if got != output:
        problems.append(f"output {got!r}, expected {output!r}")
    if run.returncode != (0 if start is not None else 255):
        problems.append(f"status {run.returncode}")
    after = open(destination, "rb").read() if os.path.exists(destination) else None
    expected = data[start:start + length] if start is not None else before
    if after != expected:
        size = "none" if after is None else len(after)
        problems.append(f"destination of {size} bytes does not hold the {length}-byte range from {start}")
    return arguments, problems


def main():
    split = sys.argv.index("--")
    (folder, seed, count, *replay), tool = sys.argv[1:split], sys.argv[split + 1:]
    cases = [int(replay[1])] if replay[:1] == ["--case"] else range(int(count))
    failures = skipped = 0
    print(f"differential: seed {seed} in {folder}")
    for index in cases:
        try:
            arguments, problems = run_case(folder, seed, index, tool)
        except OSError as error:
            # The machine's trouble, not the tool's: the case's files could
            # not be laid out.
            print(f"case {index} of seed {seed} skipped: {error}")
            skipped += 1
            continue
        if problems:
            failures += 1
            print(f"case {index} of seed {seed} in {folder}: dravlet source destination {' '.join(arguments)}")
            for problem in problems:
                print(f"  {problem}")
            print(f"  replay: {sys.argv[0]} {folder} {seed} {count} --case {index} -- {' '.join(tool)}")
    print(f"differential: seed {seed} in {folder}: {failures} of {len(cases)} cases failed, {skipped} skipped")
    return 1 if failures or skipped == len(cases) else 0


if __name__ == "__main__":
    sys.exit(main())
