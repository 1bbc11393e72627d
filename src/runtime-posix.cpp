// The runtime calls on POSIX: open(2) and friends, strtoll and stdio. Only
// the C library's headers, so that the same unit builds against glibc and
// against musl (the static release binary).
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/ioctl.h>
#endif

#include "runtime.h"

// Every position is a 64-bit one, also in a 32-bit build, where the build
// asks for it with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "off_t must hold 64-bit file positions");

namespace {

#ifdef __linux__
// The kernel's request to clone a range of one file into another, as
// <linux/fs.h> states it; musl's headers do not carry the kernel's.
struct CloneRange {
  int64_t source;
  uint64_t source_offset;
  uint64_t length;
  uint64_t destination_offset;
};
static_assert(sizeof(CloneRange) == 32, "the kernel's struct file_clone_range");
constexpr unsigned long kCloneRange = _IOW(0x94, 13, CloneRange);  // FICLONERANGE

// Clones length bytes of source from offset on to the start of destination.
bool clone_range(int source, int destination, int64_t offset, int64_t length) {
  CloneRange request{source, static_cast<uint64_t>(offset), static_cast<uint64_t>(length), 0};
  return ::ioctl(destination, kCloneRange, &request) == 0;
}
#else
bool clone_range(int /*source*/, int /*destination*/, int64_t /*offset*/, int64_t /*length*/) { return false; }
#endif

bool is_regular(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Empties fd when it is a regular file; a device or a pipe is left alone,
// and so is an empty file: ext4 takes the truncation of a file for its
// replacement and writes the new bytes out at its close, which would make
// every copy wait for the disk. Returns false when the truncation failed.
bool empty_if_regular(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  return !S_ISREG(info.st_mode) || info.st_size == 0 || ::ftruncate(fd, 0) == 0;
}

}  // namespace

namespace rt {

int open_source(const char* path) {
  // Without O_NONBLOCK the open of a FIFO waits for a writer, maybe forever;
  // reads block again once it is open.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // open(2) gives a descriptor for a directory, which would only fail later,
  // at the first read, after the destination had been emptied.
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || flags == -1 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    ::close(fd);
    return -1;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  // Only a hint; a file system that ignores it loses nothing.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return fd;
}

bool has_size(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
}

int open_destination(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600); }

bool same_file(int fd, int other) {
  struct stat first {};
  struct stat second {};
  return ::fstat(fd, &first) == 0 && ::fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

int empty_destination(int fd) { return empty_if_regular(fd) ? 0 : -1; }

int64_t share_blocks(int source, int destination, int64_t offset, int64_t length) {
  // Only regular files clone; a device would take the request for one of
  // its own.
  if (!is_regular(destination)) return 0;
  // A clone that failed midway may have shared some blocks already; the
  // positions are as they were.
  if (!clone_range(source, destination, offset, length)) return empty_if_regular(destination) ? 0 : -1;
  if (::lseek(source, static_cast<off_t>(offset + length), SEEK_SET) == -1 ||
      ::lseek(destination, static_cast<off_t>(length), SEEK_SET) == -1) {
    return -1;
  }
  return length;
}

int64_t seek_end(int fd) { return ::lseek(fd, 0, SEEK_END); }

int64_t seek_set(int fd, int64_t position) { return ::lseek(fd, static_cast<off_t>(position), SEEK_SET); }

int64_t tell(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

int64_t read(int fd, void* buffer, int64_t count) { return ::read(fd, buffer, static_cast<size_t>(count)); }

int64_t write(int fd, const void* buffer, int64_t count) { return ::write(fd, buffer, static_cast<size_t>(count)); }

int close(int fd) { return ::close(fd) == 0 ? 0 : -1; }

bool scan_i64(const char* text, int64_t* value, const char** rest) {
  char* end = nullptr;
  errno = 0;
  const long long number = ::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  *value = number;
  *rest = end;
  return true;
}

// What reaches standard output is not examined: a message that cannot be
// printed has nowhere else to go.
void print_text(const char* text) { static_cast<void>(::fputs(text, stdout)); }

void print_i64(int64_t value) { static_cast<void>(::printf("%" PRId64, value)); }

void flush_output() { static_cast<void>(::fflush(stdout)); }

}  // namespace rt
