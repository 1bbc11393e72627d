// The runtime calls on Windows: the C runtime's descriptor-level file calls
// with 64-bit positions. Paths reach the system as
// UTF-16 through the runtime's wide calls: the narrow ones would pass them
// through the ANSI code page, whose "best fit" turns characters it lacks
// into look-alikes (a full-width "ｖｉｃｔｉｍ.bin" into "victim.bin"), and so
// would open a file the user never named. Standard output stays in text
// mode, so lines end in "\r\n" as in every Windows console program.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // FILE_ID_INFO
#endif
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include "runtime.h"

namespace {

// UTF-16 units in the longest path and the longest command line.
constexpr int kMaxWide = 32768;

// The byte that stands for a lone surrogate in an argument: never part of
// UTF-8, so the path that holds it converts to no name at all.
constexpr unsigned char kUnconvertible = 0xFF;

// The open file behind a descriptor; INVALID_HANDLE_VALUE when there is none.
HANDLE handle_of(int fd) {
  // The runtime hands out the handle as an integer.
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));  // NOLINT(performance-no-int-to-ptr)
}

// path, strict UTF-8, as UTF-16 in static storage; null when it is not
// UTF-8 or too long for any path.
const wchar_t* wide_path(const char* path) {
  static wchar_t wide[kMaxWide];
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, kMaxWide) > 0 ? wide : nullptr;
}

// The file's identity on its volume: the 128-bit id where the file system
// has one (ReFS), else the 64-bit index. Returns false when neither can be
// had.
bool identify(HANDLE handle, rt::Storage* storage) {
  FILE_ID_INFO wide_id{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &wide_id, sizeof wide_id) != 0) {
    storage->volume = wide_id.VolumeSerialNumber;
    memcpy(storage->file, wide_id.FileId.Identifier, sizeof wide_id.FileId.Identifier);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) == 0) return false;
  storage->volume = info.dwVolumeSerialNumber;
  storage->file[0] = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  storage->file[1] = 0;
  return true;
}

// Appends the UTF-8 form of code point c at out, which has room for four
// bytes; returns the end.
char* append_utf8(uint32_t c, char* out) {
  auto put = [&out](uint32_t byte) { *out++ = static_cast<char>(byte); };
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | c >> 6);
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | c >> 12);
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | c >> 18);
    put(0x80 | (c >> 12 & 0x3F));
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  }
  return out;
}

// The runtime's permission: read-only, or read and write. Who else may read
// is the folder's inherited rights.
int permission(int mode) { return (mode & 0200) != 0 ? _S_IREAD | _S_IWRITE : _S_IREAD; }

bool is_high_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

namespace rt {

// The runtime refuses to open a directory by itself, and the open of a pipe
// does not wait.
int open_source(const char* path) {
  const wchar_t* wide = wide_path(path);
  return wide == nullptr ? -1 : _wopen(wide, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
}

// The runtime opens no folder, and nothing lies below a Windows file that
// the copy could also reach: the destination's folder is its path, which
// lives all run, and a descriptor of NUL stands for it.
const char* destination_path = nullptr;

int open_folder(const char* path, const char** name) {
  destination_path = path;
  *name = path;
  return _wopen(L"NUL", _O_RDONLY | _O_BINARY);
}

int open_in(int /*folder*/, const char* /*name*/, bool* missing) {
  const wchar_t* wide = wide_path(destination_path);
  const int fd = wide == nullptr ? -1 : _wopen(wide, _O_WRONLY | _O_BINARY);
  *missing = fd == -1 && errno == ENOENT;
  return fd;
}

int create_in(int /*folder*/, const char* /*name*/, int mode, bool* exists) {
  const wchar_t* wide = wide_path(destination_path);
  const int fd = wide == nullptr ? -1 : _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, permission(mode));
  *exists = fd == -1 && errno == EEXIST;
  return fd;
}

bool follow_link(int* /*folder*/, const char** /*name*/, char* /*link*/, int /*size*/) { return false; }

bool describe(int fd, FileInfo* info) {
  const HANDLE handle = handle_of(fd);
  if (handle == INVALID_HANDLE_VALUE) return false;
  info->kind = Kind::kOther;
  info->whole_sectors = false;
  info->read_only = false;
  info->permissions = 0600;
  info->group = -1;
  if (GetFileType(handle) == FILE_TYPE_DISK) {
    // The runtime opens no directory. A raw disk or volume (\\.\PhysicalDrive1,
    // \\.\E:) is a disk file too, but has a length of its own and takes
    // only whole sectors.
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    info->whole_sectors = DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                                          &returned, nullptr) != 0;
    info->kind = info->whole_sectors ? Kind::kBlockDevice : Kind::kRegular;
    if (info->kind == Kind::kRegular) {
      info->mount = {0, 0};
      if (!identify(handle, &info->storage)) return false;
      info->mount.volume = info->storage.volume;
      return true;
    }
  }
  info->mount = {0, 0};
  // A pipe, a console, NUL or a raw device: the storage of no file. No
  // volume has this serial number.
  info->storage = {kDevices, {static_cast<uint64_t>(fd), 0}};
  return true;
}

// NTFS reserves nothing past a file's end that a later write fills.
bool reserves_past_end(int /*fd*/) { return false; }

// A volume's device is a raw volume, which is refused as a source and as a
// destination whatever it holds: below a file lies nothing that the copy
// could also reach. A virtual disk's image against the volume it holds is
// not told.
bool describe_file(int /*fd*/, Use /*use*/, Lowers* /*below*/) { return true; }

bool describe_mount(Mount mount, Lowers* /*below*/, uint64_t* file_system) {
  *file_system = mount.volume;
  return true;
}

bool describe_device(uint64_t /*device*/, Lowers* /*below*/) { return false; }

void set_system_root(const char* /*root*/) {}

// Windows has no groups that a folder passes on.
bool new_file_group(int /*folder*/, int64_t* /*group*/) { return false; }

bool takes_positions(int /*fd*/) { return true; }

bool file_sizes(int /*fd*/, Sizes* sizes) {
  *sizes = Sizes::kLengths;
  return true;
}

int64_t page_size() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  return system.dwPageSize;
}

int resize(int fd, int64_t length) { return _chsize_s(fd, length) == 0 ? 0 : -1; }

// ReFS can clone blocks too (FSCTL_DUPLICATE_EXTENTS_TO_FILE), and NTFS
// tells where a sparse file's data is (FSCTL_QUERY_ALLOCATED_RANGES), but
// neither can be tried here (Wine answers "not supported"): every byte goes
// through the chunked copy.
Clone clone_range(int /*source*/, int64_t /*source_position*/, int /*destination*/, int64_t /*destination_position*/,
                  int64_t /*length*/) {
  return Clone::kRefused;
}

bool find_data(int /*fd*/, int64_t /*position*/, int64_t* /*start*/, int64_t* /*end*/) { return false; }

void read_ahead(int /*fd*/, int64_t /*position*/, int64_t /*length*/) {}

int64_t kernel_copy(int /*source*/, int64_t /*source_position*/, int /*destination*/, int64_t /*destination_position*/,
                    int64_t /*length*/) {
  return -1;
}

int64_t seek_end(int fd) { return _lseeki64(fd, 0, SEEK_END); }

int64_t seek_set(int fd, int64_t position) { return _lseeki64(fd, position, SEEK_SET); }

// The runtime has no positioned read or write: a seek, then the call.
int64_t read_at(int fd, void* buffer, int64_t count, int64_t position) {
  return _lseeki64(fd, position, SEEK_SET) == -1 ? -1 : _read(fd, buffer, static_cast<unsigned>(count));
}

int64_t write_at(int fd, const void* buffer, int64_t count, int64_t position) {
  return _lseeki64(fd, position, SEEK_SET) == -1 ? -1 : _write(fd, buffer, static_cast<unsigned>(count));
}

int64_t write(int fd, const void* buffer, int64_t count) { return _write(fd, buffer, static_cast<unsigned>(count)); }

int close(int fd) { return _close(fd) == 0 ? 0 : -1; }

char** utf8_arguments(int argc, const wchar_t* const argv[]) {
  // The system caps a command line at kMaxWide - 1 units, the spaces
  // between its arguments included, so the arguments and their ends are at
  // most kMaxWide units; a unit takes at most three bytes of UTF-8 (a pair of
  // them four), and each end one.
  static char text[4 * kMaxWide];
  static char* arguments[kMaxWide + 1];
  char* out = text;
  for (int i = 0; i < argc; ++i) {
    arguments[i] = out;
    for (const wchar_t* in = argv[i]; *in != 0; ++in) {
      const uint32_t unit = static_cast<uint16_t>(*in);
      if (is_high_surrogate(unit) && is_low_surrogate(static_cast<uint16_t>(in[1]))) {
        out = append_utf8(0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint16_t>(in[1]) - 0xDC00), out);
        ++in;
      } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
        *out++ = static_cast<char>(kUnconvertible);
      } else {
        out = append_utf8(unit, out);
      }
    }
    *out++ = '\0';
  }
  arguments[argc] = nullptr;
  return arguments;
}

}  // namespace rt
