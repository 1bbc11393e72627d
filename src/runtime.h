// What dravlet asks of the system: descriptor-level file access with 64-bit
// positions, what lies below a file (its devices and file systems), decimal
// input and text output. runtime-posix.cpp (Linux) or runtime-win32.cpp
// maps them onto the platform, runtime-common.cpp holds what both C
// libraries do alike; tests link a fake unit in place of the platform's.
// A descriptor is a small non-negative integer; every call that can fail
// returns -1 (or false) when it does. Paths are the argument's text: bytes
// handed on as they are on POSIX, UTF-8 turned into UTF-16 on Windows.
#ifndef DRAVLET_RUNTIME_H_
#define DRAVLET_RUNTIME_H_

#include <stdint.h>

namespace rt {

// What a descriptor is open on. kOther: a pipe, a terminal, a socket or a
// character device such as /dev/zero (on Windows anything but a disk file).
enum class Kind { kRegular, kBlockDevice, kDirectory, kOther };

// Where a file's bytes are kept: the file system (or volume) and the file's
// number on it; for a block device, kDevices and its device number.
struct Storage {
  uint64_t volume;
  uint64_t file[2];
};

inline bool operator==(const Storage& a, const Storage& b) {
  return a.volume == b.volume && a.file[0] == b.file[0] && a.file[1] == b.file[1];
}

// The volume that stands for block devices themselves: their number is the
// "file" on it. No file system has this number.
constexpr uint64_t kDevices = UINT64_MAX;

// Bytes of a storage, from start up to end.
struct Window {
  int64_t start;
  int64_t end;
};

// A window that reaches as far as its storage goes.
constexpr int64_t kStorageEnd = INT64_MAX;

// One thing that holds the bytes of another: the part of its disk that a
// partition is, the window of the file or the device behind a loop device,
// the devices of a file system and the file systems of an overlay's layers.
enum class Layer { kDevice, kFile, kFileSystem };
struct Lower {
  Layer layer;
  uint64_t number;  // the device's number, or the file system's (st_dev)
  uint64_t file;    // kFile: the file's number on that file system
  Window window;    // where the upper one's bytes lie in it
};

// What lies directly below a block device or a file system: nothing for a
// disk or a file system without a device (tmpfs, network file systems).
constexpr int kMostLower = 8;
struct Below {
  int count;
  Lower lower[kMostLower];
  // For a file system: a number that all its files share, however many
  // numbers it gives them (Btrfs gives each subvolume one of its own).
  uint64_t file_system;
};

// What describe tells of an open file.
struct FileInfo {
  Kind kind;
  Storage storage;  // for regular files and block devices
  // Whether reads and writes must be of whole sectors, as on Windows' raw
  // disks and volumes.
  bool whole_sectors;
  // Whether the device refuses every write, as a read-only loop device does
  // though it opens for writing.
  bool read_only;
  // The permission bits, as 0644; on Windows 0600, for a file that is not
  // read-only.
  int permissions;
  // The file's group, or -1 where there are none (Windows).
  int64_t group;
};

// What the sizes of a file system's files are.
enum class Sizes {
  kLengths,
  // procfs, binfmt_misc: a length when above 0; many of their files report
  // 0 whatever they hold.
  kLengthsAboveZero,
  // sysfs: a length, but for a text attribute, whose size is a page
  // whatever it holds.
  kLengthsOrPage,
  // configfs, debugfs, tracefs, securityfs, cgroup, mqueue, bpf: their
  // files stream, report made-up sizes or cannot be read at positions.
  kMadeUp,
};

// Opens path read-only, untranslated, for sequential reading, without
// waiting for a writer to appear (a FIFO) but waiting for a lease to be
// given up. Returns the descriptor or -1.
int open_source(const char* path);

// Creates path, which must not exist yet, write-only and untranslated, with
// the permission bits mode as far as the umask allows (on Windows, mode's
// owner write bit makes it writable). Sets *exists when it failed because
// path exists. Returns the descriptor or -1.
int create_file(const char* path, int mode, bool* exists);

// Opens path write-only and untranslated as it is, keeping its bytes and
// its mode, or creates it as create_file does. Returns the descriptor or -1.
int open_file(const char* path, int mode);

// Describes the file open on fd, with one look at it. Returns false when
// that cannot be told.
bool describe(int fd, FileInfo* info);

// Tells what lies directly below the block device numbered device, asked
// of sysfs and of its node in /dev. Returns false when that cannot be told.
bool describe_device(uint64_t device_number, Below* below);

// Tells what lies below the file system of the regular file open on fd:
// the file's bytes lie somewhere in the whole of each. Returns false when
// that cannot be told.
bool describe_file_system(int fd, Below* below);

// The same for the file system numbered volume (a loop device's backing
// file's st_dev), which no descriptor is open on.
bool describe_volume(uint64_t volume, Below* below);

// Sets *group to the group that a file created at path gets: its folder's
// where the folder passes its group on (setgid), else the creator's.
// Returns false when that cannot be told.
bool new_file_group(const char* path, int64_t* group);

// Whether the regular file open on fd is written at positions: a stream
// (tracefs's trace_marker, a FUSE file opened as one) is written in order.
bool takes_positions(int fd);

// Sets *sizes to what the sizes on the file system of fd are. Returns false
// when that cannot be told.
bool file_sizes(int fd, Sizes* sizes);

// Whether the file system of fd reserves space past a file's end as the
// file grows (XFS's speculative preallocation), which it fills with zeros
// when the file grows past a write beyond its end.
bool reserves_past_end(int fd);

// The size of a memory page in bytes.
int64_t page_size();

// Sets the length of the regular file open on fd to length bytes, cutting
// or extending it (an extension reads as zeros and takes no space where the
// file system keeps holes). Returns 0 or -1.
int resize(int fd, int64_t length);

// The outcome of clone_range.
enum class Clone {
  kShared,   // the bytes are shared
  kRefused,  // the file system cannot; neither file changed
  kFailed,   // the clone broke off, maybe after sharing some blocks
};

// Makes length bytes of destination from destination_position on share the
// storage of the source's bytes from source_position on (a copy-on-write
// clone). length must be above 0: the kernel reads 0 as "to the source's
// end".
Clone clone_range(int source, int64_t source_position, int destination, int64_t destination_position, int64_t length);

// Finds the first byte of data at or after position in the file open on fd,
// and the end of that data: *start = *end = the file's current end when
// only a hole remains. Leaves the descriptor's own position anywhere: the
// copy reads and writes at positions it names. Returns false when the file
// system does not tell where its holes are.
bool find_data(int fd, int64_t position, int64_t* start, int64_t* end);

// Has the file open on fd read length bytes from position on into memory,
// without waiting for them: a hint, which may be ignored.
void read_ahead(int fd, int64_t position, int64_t length);

// Copies up to length bytes inside the kernel, from source_position in
// source to destination_position in destination. Returns the bytes copied;
// 0 or -1 when it copied nothing, for any reason.
int64_t kernel_copy(int source, int64_t source_position, int destination, int64_t destination_position, int64_t length);

// Moves fd to its end / to position bytes from its start. Returns the new
// position in bytes or -1.
int64_t seek_end(int fd);
int64_t seek_set(int fd, int64_t position);

// One read or write call of at most count bytes, count at most 65536:
// read_at and write_at at position bytes from the file's start, write at
// the descriptor's own position (a pipe or a terminal has no other). A
// file that takes no positions gets write_at's bytes in order, as write.
// Returns the bytes moved, or -1.
int64_t read_at(int fd, void* buffer, int64_t count, int64_t position);
int64_t write_at(int fd, const void* buffer, int64_t count, int64_t position);
int64_t write(int fd, const void* buffer, int64_t count);

// Returns 0, or -1 when the close failed.
int close(int fd);

// Reads a signed decimal as "%I64d" does: optional white space, optional
// sign, at least one digit. Sets *rest to the text that follows it. Returns
// false when there is no number or it lies outside the signed 64-bit range.
bool scan_i64(const char* text, int64_t* value, const char** rest);

// Write text, or value as a signed decimal, to standard output; flush_output
// hands what is buffered to the system. None of them reports a failure.
void print_text(const char* text);
void print_i64(int64_t value);
void flush_output();

// For Windows' entry point only: the UTF-16 argument vector as UTF-8 text,
// in static storage. A lone surrogate becomes the byte 0xFF, which no file
// name decodes from, so such a path is refused rather than changed into
// another. The vector always fits: the system caps a command line at 32767
// characters.
char** utf8_arguments(int argc, const wchar_t* const argv[]);

}  // namespace rt

#endif  // DRAVLET_RUNTIME_H_
