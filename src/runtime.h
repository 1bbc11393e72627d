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

// The volume of a file that is known by its number alone: the file of an
// overlay's layer whose folder this namespace does not name.
constexpr uint64_t kAnyVolume = UINT64_MAX - 1;

// Bytes of a storage, from start up to end.
struct Window {
  int64_t start;
  int64_t end;
};

// A window that reaches as far as its storage goes.
constexpr int64_t kStorageEnd = INT64_MAX;

// A mounted file system: its ID in the mount table, and the number that its
// files report (st_dev), by which the table is searched where the ID is 0.
struct Mount {
  uint64_t id;
  uint64_t volume;
};

// One thing that holds the bytes of another:
// - kDevice: a block device, by its number: the part of its disk that a
//   partition is, the device behind a loop device, a file system's device;
// - kFile: a regular file on the file system of mount: the file behind a
//   loop device, the image of a file system, the file of a layer or of a
//   mirrored folder that a file is;
// - kFileSystem: the file system of mount, somewhere in its storage: a
//   file's own, an overlay's layer, a mirrored folder's;
// - kHidden: storage that this namespace cannot name (a container's hidden
//   layers, a ZFS pool, a network or FUSE program's storage): reached from
//   here only through a block device opened as one.
enum class Layer { kDevice, kFile, kFileSystem, kHidden };
struct Lower {
  Layer layer;
  uint64_t device;  // kDevice
  Storage file;     // kFile
  Mount mount;      // kFile, kFileSystem
  Window window;    // kDevice, kFile: where the upper one's bytes lie in it
};

// Room for what a describe call finds below one level: it adds from count
// on, and sets full where one more would not fit, which makes the level one
// that cannot be told. The count of what lies below a level has no bound of
// its own.
struct Lowers {
  Lower* lower;
  int capacity;
  int count;
  bool full;
};

// Adds lower to lowers, or sets full where it has no room left.
inline void add(Lowers* lowers, const Lower& lower) {
  lowers->full |= lowers->count == lowers->capacity;
  if (!lowers->full) lowers->lower[lowers->count++] = lower;
}

// What describe tells of an open file.
struct FileInfo {
  Kind kind;
  Storage storage;  // for regular files and block devices
  Mount mount;      // for regular files: the one it was opened through
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

// Opens the folder that path names its file in, so that the file is made
// or opened there: the folder checked is the folder used. Sets *name to the
// file's name in it, a part of path. Returns the descriptor or -1.
int open_folder(const char* path, const char** name);

// Opens name in the folder open on folder write-only and untranslated, as
// it is, keeping its bytes and mode. Sets *missing when nothing is there
// (a link that leads nowhere included). Returns the descriptor or -1.
int open_in(int folder, const char* name, bool* missing);

// Creates name, which must not exist yet, in the folder open on folder,
// write-only and untranslated, with the permission bits mode as far as the
// umask allows (on Windows, mode's owner write bit makes it writable). Sets
// *exists when it failed because something is there. Returns the
// descriptor or -1.
int create_in(int folder, const char* name, int mode, bool* exists);

// Where name in the folder open on *folder is a symbolic link, moves
// *folder (closing the old one) and *name to the folder and name that it
// points to, name kept in link of size bytes. Returns false when it is no
// link, or its target cannot be opened.
bool follow_link(int* folder, const char** name, char* link, int size);

// Describes the file open on fd, with one look at it. Returns false when
// that cannot be told.
bool describe(int fd, FileInfo* info);

// How the copy uses a file whose storage is described: what it reads from
// may lie elsewhere than what it writes into (an overlay reads a lower
// layer's file and writes its copy in the upper one).
enum class Use { kRead, kWritten, kMade };

// Adds to below what lies directly below the file open on fd, used as use
// says (kMade: fd is the folder in which a new file is made): the files of
// other file systems that it is, as an overlay's or a mirror's file is, at
// the same positions, and the file system that holds it. Returns false
// when that cannot be told.
bool describe_file(int fd, Use use, Lowers* below);

// Adds to below what lies directly below the file system of mount, its
// files somewhere in each: its devices, the image it was mounted from, an
// overlay's layers, the files a FUSE program holds. Sets *file_system to a
// number that all its files share, however many numbers they report
// (Btrfs gives each subvolume one). Returns false when that cannot be told.
bool describe_mount(Mount mount, Lowers* below, uint64_t* file_system);

// Adds to below what lies directly below the block device numbered device:
// a partition's disk, a loop device's file or device, the members of a
// device-mapper or md device; a disk has nothing below. Returns false when
// that cannot be told.
bool describe_device(uint64_t device, Lowers* below);

// For tests only: reads /sys, /proc and /dev, and the paths that they name,
// below root, a captured system, instead of below "/". The tool never calls
// it: what it reads of the system comes from the system alone.
void set_system_root(const char* root);

// Sets *group to the group that a file made in the folder open on folder
// gets: the folder's where it passes its group on (setgid), else the
// maker's. Returns false when that cannot be told.
bool new_file_group(int folder, int64_t* group);

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
