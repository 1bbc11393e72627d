// The runtime calls on Windows: the C runtime's descriptor-level file calls
// with 64-bit positions, _strtoi64 and stdio. Standard output stays in text
// mode, so lines end in "\r\n" as in every Windows console program.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "runtime.h"

namespace {

// The volume and file index of an open descriptor: the file's identity,
// whatever path reached it. Returns false when it cannot be had.
bool identify(int fd, BY_HANDLE_FILE_INFORMATION* info) {
  // The runtime hands out the handle as an integer.
  auto* const handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));  // NOLINT(performance-no-int-to-ptr)
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, info) != 0;
}

}  // namespace

namespace rt {

// The runtime refuses to open a directory by itself.
int open_source(const char* path) { return _open(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL); }

int create_destination(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool is_same_file(int fd, const char* path) {
  // A path that cannot be opened for reading names no file that the source
  // (open for reading) could be.
  const int other = _open(path, _O_RDONLY | _O_BINARY);
  if (other == -1) return false;
  BY_HANDLE_FILE_INFORMATION open_file{};
  BY_HANDLE_FILE_INFORMATION named_file{};
  const bool same = identify(fd, &open_file) && identify(other, &named_file) &&
                    open_file.dwVolumeSerialNumber == named_file.dwVolumeSerialNumber &&
                    open_file.nFileIndexHigh == named_file.nFileIndexHigh &&
                    open_file.nFileIndexLow == named_file.nFileIndexLow;
  _close(other);
  return same;
}

std::int64_t seek_end(int fd) { return _lseeki64(fd, 0, SEEK_END); }

std::int64_t seek_set(int fd, std::int64_t position) { return _lseeki64(fd, position, SEEK_SET); }

std::int64_t tell(int fd) { return _telli64(fd); }

std::int64_t read(int fd, void* buffer, std::int64_t count) { return _read(fd, buffer, static_cast<unsigned>(count)); }

std::int64_t write(int fd, const void* buffer, std::int64_t count) {
  return _write(fd, buffer, static_cast<unsigned>(count));
}

int close(int fd) { return _close(fd) == 0 ? 0 : -1; }

bool scan_i64(const char* text, std::int64_t* value) {
  char* end = nullptr;
  errno = 0;
  const __int64 number = _strtoi64(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  *value = number;
  return true;
}

// What reaches standard output is not examined: a message that cannot be
// printed has nowhere else to go.
void print_text(const char* text) { static_cast<void>(std::fputs(text, stdout)); }

void print_i64(std::int64_t value) { static_cast<void>(std::printf("%" PRId64, value)); }

}  // namespace rt
