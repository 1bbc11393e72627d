"""Mirrors a folder through FUSE, with attributes cached for a minute, as
network file systems cache them: a file that grows behind the mirror keeps
its old size there. Usage: mirror.py FOLDER MOUNTPOINT (in the foreground)."""
import os
import sys

try:
    from fusepy import FUSE, Operations  # Debian's python3-fusepy
except ImportError:
    from fuse import FUSE, Operations

STAT_KEYS = ("st_mode", "st_ino", "st_nlink", "st_uid", "st_gid", "st_size", "st_atime", "st_mtime", "st_ctime")


class Mirror(Operations):
    """Each call on a path under the mount is the same call on FOLDER."""

    def __init__(self, root):
        self.root = root

    def real(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        status = os.lstat(self.real(path))
        return {key: getattr(status, key) for key in STAT_KEYS}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_WRONLY | os.O_CREAT, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(self.real(path), length)

    def release(self, path, fh):
        os.close(fh)


if __name__ == "__main__":
    FUSE(Mirror(sys.argv[1]), sys.argv[2], foreground=True, attr_timeout=60, entry_timeout=60)
