// The runtime calls on POSIX: open(2) and friends, and sysfs. Only
// the C library's headers, so that the same unit builds against glibc and
// against musl (the static release binary). The kernel's own structures
// are spelled out here, as musl's headers do not carry the kernel's.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif

#include "runtime.h"

// Every position is a 64-bit one, also in a 32-bit build, where the build
// asks for it with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "off_t must hold 64-bit file positions");

namespace {

// The storage volume that stands for block devices themselves: their
// number is the "file" on it. No file system has this device number.
constexpr uint64_t kDeviceNumbers = UINT64_MAX;

#ifdef __linux__
// struct file_clone_range of <linux/fs.h>.
struct CloneRequest {
  int64_t source;
  uint64_t source_offset;
  uint64_t length;
  uint64_t destination_offset;
};
static_assert(sizeof(CloneRequest) == 32, "the kernel's struct file_clone_range");
constexpr unsigned long kCloneRange = _IOW(0x94, 13, CloneRequest);  // FICLONERANGE

// struct loop_info64 of <linux/loop.h>: what a loop device reads from.
struct LoopInfo {
  uint64_t device;  // the backing file's st_dev
  uint64_t inode;   // and st_ino
  uint64_t rdevice;
  uint64_t offset;
  uint64_t size_limit;
  uint32_t number;
  uint32_t encrypt_type;
  uint32_t encrypt_key_size;
  uint32_t flags;
  uint8_t file_name[64];
  uint8_t crypt_name[64];
  uint8_t encrypt_key[32];
  uint64_t init[2];
};
static_assert(sizeof(LoopInfo) == 232, "the kernel's struct loop_info64");
constexpr unsigned long kLoopGetStatus = 0x4C05;  // LOOP_GET_STATUS64
constexpr unsigned kLoopMajor = 7;

// XFS, which reserves space past a file's end as it grows.
constexpr int64_t kXfs = 0x58465342;

// sysfs, whose text attributes report a page whatever they hold.
constexpr int64_t kSysfs = 0x62656572;

// procfs and binfmt_misc, whose files report 0 whatever they hold, or their
// length.
constexpr int64_t kSizesAboveZero[] = {
    0x9fa0,      // procfs
    0x42494e4d,  // binfmt_misc
};

// File systems whose files stream, report sizes that are not lengths, or
// cannot be read at positions.
constexpr int64_t kMadeUpSizes[] = {
    0x62656570,  // configfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x0027e0eb,  // cgroup
    0x63677270,  // cgroup2
    0x19800202,  // mqueue
    0xcafe4a11,  // bpf
};

constexpr unsigned long kReadOnlyQuery = _IO(0x12, 94);  // BLKROGET

// The bytes of a disk that a sector counts.
constexpr int64_t kSector = 512;

// Loop devices stacked on loop devices, deepest first, that are followed
// down to their storage; the kernel builds no stack this deep.
constexpr int kMostStacked = 16;

// Reads the attribute name of the block device numbered device from sysfs
// into *value: a decimal, or a device number written "M:m". Returns false
// when the device has no such attribute.
bool read_attribute(dev_t device, const char* name, unsigned long long* value) {
  char path[64];
  static_cast<void>(snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(device), minor(device), name));
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  // An attribute is read whole or not at all, and the zeros end it. The
  // result is kept, as the C library asks: a failed read leaves the zeros.
  char text[64] = {};
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  static_cast<void>(got);
  ::close(fd);
  char* end = nullptr;
  *value = strtoull(text, &end, 10);
  if (*end != ':') return end != text;
  const char* minor_number = end + 1;
  const unsigned long long device_minor = strtoull(minor_number, &end, 10);
  *value = makedev(static_cast<unsigned>(*value), static_cast<unsigned>(device_minor));
  return end != minor_number;
}

// inner, a window of a file that itself is the window outer of what lies
// below it, as a window of what lies below: cut at outer's end.
rt::Window within(rt::Window inner, rt::Window outer) {
  const int64_t end = inner.end < outer.end - outer.start ? outer.start + inner.end : outer.end;
  return {outer.start + inner.start, end};
}

// Where the partition numbered device lies on its disk, whose number it
// sets in *disk. Returns false when device is no partition.
bool partition_of(dev_t device, dev_t* disk, rt::Window* window) {
  unsigned long long start = 0;
  unsigned long long sectors = 0;
  unsigned long long parent = 0;
  // Only a partition has a start, and then a size; its folder lies in its
  // disk's.
  if (!read_attribute(device, "start", &start)) return false;
  static_cast<void>(read_attribute(device, "size", &sectors));
  static_cast<void>(read_attribute(device, "../dev", &parent));
  *disk = static_cast<dev_t>(parent);
  *window = {static_cast<int64_t>(start) * kSector, static_cast<int64_t>(start + sectors) * kSector};
  return true;
}

// What a loop device reads from: the file (or the block device, rdevice
// not 0) whose window it shows.
struct Backing {
  uint64_t device;  // the backing file's st_dev
  uint64_t inode;   // and st_ino
  uint64_t rdevice;
  rt::Window window;
};

rt::Window loop_window(uint64_t offset, uint64_t size_limit) {
  const auto start = static_cast<int64_t>(offset);
  return {start, size_limit == 0 ? rt::kStorageEnd : start + static_cast<int64_t>(size_limit)};
}

// What the loop device open on fd reads from. Returns false when fd is no
// loop device.
bool loop_backing(int fd, Backing* backing) {
  LoopInfo loop{};
  const bool told = ::ioctl(fd, kLoopGetStatus, &loop) == 0;
  // rdevice: the backing file's st_rdev, 0 for a regular file.
  *backing = {loop.device, loop.inode, loop.rdevice, loop_window(loop.offset, loop.size_limit)};
  return told;
}

// What the loop device numbered device reads from, asked of its node in
// /dev: the kernel's answer holds also for a backing file deleted since,
// whose name leads nowhere. Returns false when the node cannot be opened.
bool loop_backing(dev_t device, Backing* backing) {
  // sysfs links the device to its folder, named as its node: ".../loop0".
  // The link is read behind a "/", so that a name is found in any case.
  char path[64];
  char link[256] = "/";
  static_cast<void>(snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(device), minor(device)));
  const ssize_t got = ::readlink(path, link + 1, sizeof link - 2);
  static_cast<void>(got);
  char node[300];
  static_cast<void>(snprintf(node, sizeof node, "/dev/%s", strrchr(link, '/') + 1));
  // Where there is no such node, the descriptor is -1 (or a folder's), the
  // status names no device and the close does no harm.
  const int fd = ::open(node, O_RDONLY | O_NONBLOCK);
  struct stat status {};
  static_cast<void>(::fstat(fd, &status));
  // The node must be the device itself, not one of the same name.
  const bool told = status.st_rdev == device && loop_backing(fd, backing);
  ::close(fd);
  return told;
}

// Tells the storage and window of the block device numbered device, which
// fd, when not -1, is open on: through a partition to its disk, through a
// loop device to the file or the device behind it, however deep the stack,
// composing the windows on the way.
void describe_device(int fd, dev_t device, rt::FileInfo* info) {
  rt::Window shown{0, rt::kStorageEnd};
  dev_t disk = device;
  for (int depth = 0; depth < kMostStacked; ++depth) {
    rt::Window part{};
    if (partition_of(device, &disk, &part)) shown = within(shown, part);
    Backing backing{};
    // A partition of a loop device answers for the loop device.
    const bool loop = major(disk) == kLoopMajor &&
                      (depth == 0 && fd != -1 ? loop_backing(fd, &backing) : loop_backing(disk, &backing));
    if (!loop) break;
    shown = within(shown, backing.window);
    if (backing.rdevice == 0) {
      info->storage = {backing.device, {backing.inode, 0}};
      info->window = shown;
      return;
    }
    device = disk = static_cast<dev_t>(backing.rdevice);
  }
  info->storage = {kDeviceNumbers, {static_cast<uint64_t>(disk), 0}};
  info->window = shown;
}

bool read_only(int fd) {
  int flag = 0;
  static_cast<void>(::ioctl(fd, kReadOnlyQuery, &flag));
  return flag != 0;
}

// Whether device numbers a block device that sysfs knows.
bool is_block_device(dev_t device) {
  unsigned long long number = 0;
  return read_attribute(device, "dev", &number);
}
#else
void describe_device(int /*fd*/, dev_t device, rt::FileInfo* info) {
  info->storage = {kDeviceNumbers, {static_cast<uint64_t>(device), 0}};
}

bool read_only(int /*fd*/) { return false; }

bool is_block_device(dev_t /*device*/) { return false; }
#endif

rt::Kind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return rt::Kind::kRegular;
  if (S_ISBLK(mode)) return rt::Kind::kBlockDevice;
  if (S_ISDIR(mode)) return rt::Kind::kDirectory;
  return rt::Kind::kOther;
}

}  // namespace

namespace rt {

int open_source(const char* path) {
  // Without O_NONBLOCK the open of a FIFO waits for a writer, maybe forever.
  // With it, a file under a lease (Samba's oplocks, NFS delegations) answers
  // EAGAIN, where a plain open waits for the lease to be given up; a FIFO
  // never answers that. The tool starts no program, so its descriptors need
  // no O_CLOEXEC (which musl would set again with a call of its own).
  int fd = ::open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0 && errno == EAGAIN) return ::open(path, O_RDONLY);
  if (fd < 0) return -1;
  // Reads block again once it is open: F_SETFL changes only the status
  // flags, of which the open set O_NONBLOCK alone.
  if (::fcntl(fd, F_SETFL, 0) == -1) {
    ::close(fd);
    return -1;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  // Only a hint; a file system that ignores it loses nothing.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return fd;
}

int create_file(const char* path, int mode, bool* exists) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
  *exists = fd < 0 && errno == EEXIST;
  return fd;
}

int open_file(const char* path, int mode) { return ::open(path, O_WRONLY | O_CREAT, static_cast<mode_t>(mode)); }

bool describe(int fd, FileInfo* info) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  info->kind = kind_of(status.st_mode);
  info->storage = {static_cast<uint64_t>(status.st_dev), {static_cast<uint64_t>(status.st_ino), 0}};
  info->window = {0, kStorageEnd};
  info->whole_sectors = false;  // Linux's block devices take any bytes
  info->read_only = false;
  info->permissions = static_cast<int>(status.st_mode & 07777);
  if (info->kind == Kind::kBlockDevice) {
    describe_device(fd, status.st_rdev, info);
    info->read_only = read_only(fd);
  }
  return true;
}

bool describe_file_system(int fd, FileInfo* info) {
  // A status that cannot be had names no device.
  struct stat status {};
  static_cast<void>(::fstat(fd, &status));
  if (!is_block_device(status.st_dev)) return false;
  *info = {Kind::kBlockDevice, {}, {}, false, false, 0};
  describe_device(-1, status.st_dev, info);
  return true;
}

int resize(int fd, int64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : -1; }

#ifdef __linux__
bool file_sizes(int fd, Sizes* sizes) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return false;
  const auto type = static_cast<int64_t>(info.f_type);
  *sizes = type == kSysfs ? Sizes::kLengthsOrPage : Sizes::kLengths;
  for (const int64_t above_zero : kSizesAboveZero) {
    if (type == above_zero) *sizes = Sizes::kLengthsAboveZero;
  }
  for (const int64_t made_up : kMadeUpSizes) {
    if (type == made_up) *sizes = Sizes::kMadeUp;
  }
  return true;
}

bool reserves_past_end(int fd) {
  // A file system that cannot be told has the type 0.
  struct statfs info {};
  static_cast<void>(::fstatfs(fd, &info));
  return static_cast<int64_t>(info.f_type) == kXfs;
}

Clone clone_range(int source, int64_t source_position, int destination, int64_t destination_position, int64_t length) {
  CloneRequest request{source, static_cast<uint64_t>(source_position), static_cast<uint64_t>(length),
                       static_cast<uint64_t>(destination_position)};
  if (::ioctl(destination, kCloneRange, &request) == 0) return Clone::kShared;
  // These come before any block is shared: another file system, one that
  // cannot clone, an unaligned range.
  constexpr int kRefusals[] = {EOPNOTSUPP, ENOTTY, EXDEV, EINVAL, ENOSYS};
  for (const int refusal : kRefusals) {
    if (errno == refusal) return Clone::kRefused;
  }
  return Clone::kFailed;
}

bool find_data(int fd, int64_t position, int64_t* start, int64_t* end) {
  const off_t data = ::lseek(fd, static_cast<off_t>(position), SEEK_DATA);
  if (data == -1) {
    // Only a hole from position on, or position at or past the end.
    if (errno != ENXIO) return false;
    *start = *end = ::lseek(fd, 0, SEEK_END);
    return *start != -1;
  }
  *start = data;
  *end = ::lseek(fd, data, SEEK_HOLE);
  return *end != -1;
}

int64_t kernel_copy(int source, int64_t source_position, int destination, int64_t destination_position,
                    int64_t length) {
  // The kernel moves at most about 2 GiB a call, and size_t is 32 bits wide
  // in a 32-bit build.
  constexpr int64_t kMostPerCall = int64_t{1} << 30;
  const size_t count = static_cast<size_t>(length < kMostPerCall ? length : kMostPerCall);
  // The kernel's loff_t: 64 bits on every architecture.
  int64_t from = source_position;
  int64_t to = destination_position;
  return ::syscall(SYS_copy_file_range, source, &from, destination, &to, count, 0U);
}
#else
bool file_sizes(int /*fd*/, Sizes* sizes) {
  *sizes = Sizes::kLengths;
  return true;
}

Clone clone_range(int /*source*/, int64_t /*source_position*/, int /*destination*/, int64_t /*destination_position*/,
                  int64_t /*length*/) {
  return Clone::kRefused;
}

bool find_data(int /*fd*/, int64_t /*position*/, int64_t* /*start*/, int64_t* /*end*/) { return false; }

bool reserves_past_end(int /*fd*/) { return false; }

int64_t kernel_copy(int /*source*/, int64_t /*source_position*/, int /*destination*/, int64_t /*destination_position*/,
                    int64_t /*length*/) {
  return -1;
}
#endif

void read_ahead(int fd, int64_t position, int64_t length) {
#ifdef POSIX_FADV_WILLNEED
  static_cast<void>(::posix_fadvise(fd, static_cast<off_t>(position), static_cast<off_t>(length), POSIX_FADV_WILLNEED));
#endif
}

int64_t page_size() { return ::sysconf(_SC_PAGESIZE); }

int64_t seek_end(int fd) { return ::lseek(fd, 0, SEEK_END); }

int64_t seek_set(int fd, int64_t position) { return ::lseek(fd, static_cast<off_t>(position), SEEK_SET); }

int64_t read_at(int fd, void* buffer, int64_t count, int64_t position) {
  return ::pread(fd, buffer, static_cast<size_t>(count), static_cast<off_t>(position));
}

int64_t write_at(int fd, const void* buffer, int64_t count, int64_t position) {
  return ::pwrite(fd, buffer, static_cast<size_t>(count), static_cast<off_t>(position));
}

int64_t write(int fd, const void* buffer, int64_t count) { return ::write(fd, buffer, static_cast<size_t>(count)); }

int close(int fd) { return ::close(fd) == 0 ? 0 : -1; }

}  // namespace rt
