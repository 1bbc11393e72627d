// The runtime calls on POSIX: open(2) and friends, strtoll and stdio. Only
// the C library's headers, so that the same unit builds against glibc and
// against musl (the static release binary). The kernel's own structures
// are spelled out here, as musl's headers do not carry the kernel's.
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
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
constexpr unsigned kExtendedMajor = 259;  // partitions of loop devices, among others

// File systems whose attributes report a size that is not their length.
constexpr int64_t kMadeUpSizes[] = {
    0x62656572,  // sysfs
    0x62656570,  // configfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x0027e0eb,  // cgroup
    0x63677270,  // cgroup2
};

// The file behind a loop device (or a partition of one), where fd is open
// on such a device. Returns false for any other block device.
bool backing_file(int fd, dev_t device, rt::Storage* storage) {
  if (major(device) != kLoopMajor && major(device) != kExtendedMajor) return false;
  LoopInfo info{};
  if (::ioctl(fd, kLoopGetStatus, &info) != 0) return false;
  *storage = {info.device, {info.inode, 0}};
  return true;
}
#else
bool backing_file(int /*fd*/, dev_t /*device*/, rt::Storage* /*storage*/) { return false; }
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

int open_destination(const char* path, bool* created) {
  // A file this open creates is empty for certain, whatever size a file
  // system that caches attributes would report for it.
  // Anything else, an existing file or a device, is opened as it is.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
  *created = fd >= 0;
  return fd >= 0 ? fd : ::open(path, O_WRONLY | O_CREAT, 0600);
}

bool describe(int fd, FileInfo* info) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  info->kind = kind_of(status.st_mode);
  info->storage = {static_cast<uint64_t>(status.st_dev), {static_cast<uint64_t>(status.st_ino), 0}};
  // Two nodes of one block device are one storage, and so are a loop device
  // and the file it reads from.
  if (info->kind == Kind::kBlockDevice && !backing_file(fd, status.st_rdev, &info->storage)) {
    info->storage = {kDeviceNumbers, {static_cast<uint64_t>(status.st_rdev), 0}};
  }
  return true;
}

int resize(int fd, int64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : -1; }

#ifdef __linux__
bool sizes_are_lengths(int fd, bool* lengths) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return false;
  *lengths = true;
  for (const int64_t type : kMadeUpSizes) *lengths = *lengths && static_cast<int64_t>(info.f_type) != type;
  return true;
}

Clone clone_range(int source, int64_t source_position, int destination, int64_t destination_position,
                  int64_t length) {
  // The kernel reads a length of 0 as "to the end of the source".
  if (length <= 0) return Clone::kRefused;
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
bool sizes_are_lengths(int /*fd*/, bool* lengths) {
  *lengths = true;
  return true;
}

Clone clone_range(int /*source*/, int64_t /*source_position*/, int /*destination*/, int64_t /*destination_position*/,
                  int64_t /*length*/) {
  return Clone::kRefused;
}

bool find_data(int /*fd*/, int64_t /*position*/, int64_t* /*start*/, int64_t* /*end*/) { return false; }

int64_t kernel_copy(int /*source*/, int64_t /*source_position*/, int /*destination*/,
                    int64_t /*destination_position*/, int64_t /*length*/) {
  return -1;
}
#endif

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
