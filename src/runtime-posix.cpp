// The runtime calls on POSIX: open(2) and friends, strtoll and stdio.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "runtime.h"

namespace rt {

int open_source(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  // open(2) gives a descriptor for a directory, which would only fail later,
  // at the first read, after the destination had been truncated.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  // Only a hint; a file system that ignores it loses nothing.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

int create_destination(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); }

bool is_same_file(int fd, const char* path) {
  struct stat open_file {};
  struct stat named_file {};
  if (::fstat(fd, &open_file) != 0 || ::stat(path, &named_file) != 0) return false;
  return open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

std::int64_t seek_end(int fd) { return ::lseek(fd, 0, SEEK_END); }

std::int64_t seek_set(int fd, std::int64_t position) { return ::lseek(fd, static_cast<off_t>(position), SEEK_SET); }

std::int64_t tell(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

std::int64_t read(int fd, void* buffer, std::int64_t count) {
  return ::read(fd, buffer, static_cast<std::size_t>(count));
}

std::int64_t write(int fd, const void* buffer, std::int64_t count) {
  return ::write(fd, buffer, static_cast<std::size_t>(count));
}

int close(int fd) { return ::close(fd) == 0 ? 0 : -1; }

bool scan_i64(const char* text, std::int64_t* value) {
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  *value = number;
  return true;
}

// What reaches standard output is not examined: a message that cannot be
// printed has nowhere else to go.
void print_text(const char* text) { static_cast<void>(std::fputs(text, stdout)); }

void print_i64(std::int64_t value) { static_cast<void>(std::printf("%" PRId64, value)); }

}  // namespace rt
