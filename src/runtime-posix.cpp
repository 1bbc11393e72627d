// The runtime calls on Linux: open(2) and friends, sysfs and the mount
// table. Only the C library's headers, so that the same unit builds against
// glibc and against musl (the static release binary). The kernel's own
// structures are spelled out here, as musl's headers do not carry the
// kernel's.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "runtime.h"

// Every position is a 64-bit one, also in a 32-bit build, where the build
// asks for it with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "off_t must hold 64-bit file positions");

namespace {

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

// struct btrfs_ioctl_fs_info_args of <linux/btrfs.h>: the file system's id.
struct BtrfsInfo {
  uint64_t max_id;
  uint64_t num_devices;
  uint8_t fsid[16];
  uint8_t rest[1024 - 32];
};
static_assert(sizeof(BtrfsInfo) == 1024, "the kernel's struct btrfs_ioctl_fs_info_args");
constexpr unsigned long kBtrfsFsInfo = _IOR(0x94, 31, BtrfsInfo);  // BTRFS_IOC_FS_INFO

// XFS, which reserves space past a file's end as it grows.
constexpr int64_t kXfs = 0x58465342;
constexpr int64_t kBtrfs = 0x9123683e;

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

// File systems on no block device, by their names in the mount table:
// nothing lies below them.
constexpr const char* kWithoutDevice[] = {
    "tmpfs",     "ramfs",   "proc",        "sysfs",      "devtmpfs", "devpts",     "mqueue", "cgroup",
    "cgroup2",   "debugfs", "tracefs",     "securityfs", "configfs", "bpf",        "pstore", "efivarfs",
    "hugetlbfs", "autofs",  "binfmt_misc", "fusectl",    "nsfs",     "rpc_pipefs", "nfs",    "nfs4",
    "cifs",      "smb3",    "9p",          "virtiofs",   "fuse",
};

constexpr unsigned long kReadOnlyQuery = _IO(0x12, 94);  // BLKROGET

// The bytes of a disk that a sector counts.
constexpr int64_t kSector = 512;

// The kernel's ioctl(2), whose request the C libraries type apart (musl's
// int cannot hold a request that reads, such as BTRFS_IOC_FS_INFO).
int control(int fd, unsigned long request, void* argument) {
  return static_cast<int>(::syscall(SYS_ioctl, fd, request, argument));
}

// Reads the file at path into text, as a string of at most size - 1 bytes.
// Returns false when it cannot be read, or holds nothing.
bool read_text(const char* path, char* text, size_t size) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  const ssize_t got = ::read(fd, text, size - 1);
  ::close(fd);
  text[got > 0 ? got : 0] = '\0';
  return got > 0;
}

// The sysfs folder of the block device numbered device, and name in it.
void sysfs_path(dev_t device, const char* name, char* path, size_t size) {
  static_cast<void>(snprintf(path, size, "/sys/dev/block/%u:%u/%s", major(device), minor(device), name));
}

// Reads a device number written "M:m" from text. Returns false when there
// is none.
bool read_device_number(const char* text, dev_t* device) {
  char* end = nullptr;
  const unsigned long long device_major = strtoull(text, &end, 10);
  if (end == text || *end != ':') return false;
  const char* minor_text = end + 1;
  const unsigned long long device_minor = strtoull(minor_text, &end, 10);
  *device = makedev(static_cast<unsigned>(device_major), static_cast<unsigned>(device_minor));
  return end != minor_text;
}

// Reads the attribute name of the block device numbered device from sysfs
// into *value: a decimal, or a device number written "M:m". Returns false
// when the device has no such attribute, or it cannot be read.
bool read_attribute(dev_t device, const char* name, unsigned long long* value) {
  char path[300];
  sysfs_path(device, name, path, sizeof path);
  char text[64];
  if (!read_text(path, text, sizeof text)) return false;
  dev_t number = 0;
  if (read_device_number(text, &number)) {
    *value = number;
    return true;
  }
  char* end = nullptr;
  *value = strtoull(text, &end, 10);
  return end != text;
}

bool attribute_exists(dev_t device, const char* name) {
  char path[300];
  sysfs_path(device, name, path, sizeof path);
  return ::access(path, F_OK) == 0;
}

// The name of the block device numbered device, as sysfs and /dev name it
// ("loop0"). Returns false when sysfs does not link it.
bool device_name(dev_t device, char* name, size_t size) {
  char path[64];
  char link[256];
  static_cast<void>(snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(device), minor(device)));
  const ssize_t got = ::readlink(path, link, sizeof link - 1);
  if (got <= 0) return false;
  link[got] = '\0';
  const char* slash = strrchr(link, '/');
  static_cast<void>(snprintf(name, size, "%s", slash == nullptr ? link : slash + 1));
  return true;
}

bool add(rt::Below* below, const rt::Lower& lower) {
  if (below->count == rt::kMostLower) return false;
  below->lower[below->count++] = lower;
  return true;
}

constexpr rt::Window kWhole{0, rt::kStorageEnd};

// Calls each(name) for each entry of the folder at path but "." and "..",
// with the kernel's own call: the C library's opendir takes memory of the
// heap. Returns false when the folder cannot be read, or each does.
template <typename Each>
bool each_entry(const char* path, Each each) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  alignas(8) static char entries[16384];
  bool told = true;
  for (long got; told && (got = ::syscall(SYS_getdents64, fd, entries, sizeof entries)) != 0;) {
    if (got < 0) {
      told = false;
      break;
    }
    // struct linux_dirent64: inode, offset, record length, type, name.
    for (long at = 0; told && at < got;) {
      unsigned short length = 0;
      memcpy(&length, entries + at + 16, sizeof length);
      const char* name = entries + at + 19;
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) told = each(name);
      at += length;
    }
  }
  ::close(fd);
  return told;
}

// Adds each block device of the folder at path (sysfs's links to them,
// such as a device's slaves/) to below.
bool add_linked_devices(const char* path, rt::Below* below) {
  return each_entry(path, [&](const char* name) {
    char attribute[600];
    char text[64];
    dev_t device = 0;
    static_cast<void>(snprintf(attribute, sizeof attribute, "%s/%s/dev", path, name));
    return read_text(attribute, text, sizeof text) && read_device_number(text, &device) &&
           add(below, {rt::Layer::kDevice, device, 0, kWhole});
  });
}

// What the loop device numbered device reads from, asked of its node in
// /dev: the kernel's answer holds also for a backing file deleted since,
// whose name leads nowhere. Returns false when the node cannot be opened
// or does not answer; *bound = false for a loop device that reads nothing.
bool loop_backing(dev_t device, LoopInfo* loop, bool* bound) {
  char name[256];
  char node[300];
  if (!device_name(device, name, sizeof name)) return false;
  static_cast<void>(snprintf(node, sizeof node, "/dev/%s", name));
  const int fd = ::open(node, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status {};
  // The node must be the device itself, not one of the same name.
  bool told = ::fstat(fd, &status) == 0 && S_ISBLK(status.st_mode) && status.st_rdev == device;
  *bound = told && control(fd, kLoopGetStatus, loop) == 0;
  if (told && !*bound) told = errno == ENXIO;
  ::close(fd);
  return told;
}

rt::Window loop_window(const LoopInfo& loop) {
  const auto start = static_cast<int64_t>(loop.offset);
  return {start, loop.size_limit == 0 ? rt::kStorageEnd : start + static_cast<int64_t>(loop.size_limit)};
}

// The mount table's line for a file system: its type, the device or name
// it was mounted from, where, and its own options, each unescaped.
struct Mount {
  char type[64];
  char source[4096];
  char point[4096];
  char options[16384];
};

// Copies the field of the mount table at *text, up to the next space or the
// line's end, into out of size bytes, turning the table's escapes ("\040")
// back into their bytes; moves *text past it. Returns false when it does not
// fit.
bool take_field(const char** text, char* out, size_t size) {
  const char* in = *text;
  size_t length = 0;
  for (; *in != ' ' && *in != '\n' && *in != '\0'; ++length) {
    if (length + 1 == size) return false;
    if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' && in[3] <= '7') {
      out[length] = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
      in += 4;
    } else {
      out[length] = *in++;
    }
  }
  out[length] = '\0';
  *text = *in == ' ' ? in + 1 : in;
  return true;
}

// Reads a line of /proc/self/mountinfo into *mount: ID, parent, M:m, root,
// mount point, options, optional fields, "-", type, source, super options.
// Sets *number to M:m. Returns false when the line is not of that form.
bool parse_mount(const char* line, dev_t* number, Mount* mount) {
  static char field[4096];
  for (int i = 0; i < 3; ++i) {
    if (!take_field(&line, field, sizeof field)) return false;
  }
  if (!read_device_number(field, number) || !take_field(&line, field, sizeof field) ||
      !take_field(&line, mount->point, sizeof mount->point)) {
    return false;
  }
  do {
    if (*line == '\0' || *line == '\n' || !take_field(&line, field, sizeof field)) return false;
  } while (strcmp(field, "-") != 0);
  return take_field(&line, mount->type, sizeof mount->type) && take_field(&line, mount->source, sizeof mount->source) &&
         take_field(&line, mount->options, sizeof mount->options);
}

// Calls each(number, mount) for each line of the mount table, until each
// returns true. Returns whether one did; false also when the table cannot
// be read or a line of it is too long to be.
template <typename Each>
bool each_mount(Each each) {
  const int fd = ::open("/proc/self/mountinfo", O_RDONLY);
  if (fd < 0) return false;
  static char text[65536];
  static Mount mount;
  size_t held = 0;
  bool found = false;
  for (ssize_t got; !found && (got = ::read(fd, text + held, sizeof text - 1 - held)) > 0;) {
    held += static_cast<size_t>(got);
    text[held] = '\0';
    char* line = text;
    for (char* end; !found && (end = strchr(line, '\n')) != nullptr; line = end + 1) {
      *end = '\0';
      dev_t number = 0;
      found = parse_mount(line, &number, &mount) && each(number, mount);
    }
    held = static_cast<size_t>(text + held - line);
    memmove(text, line, held);
    if (held == sizeof text - 1) break;
  }
  ::close(fd);
  return found;
}

// The mount table's line for the file system numbered volume, kept until the
// table is read again; null where it has none, or cannot be read.
const Mount* find_mount(dev_t volume) {
  const Mount* found = nullptr;
  each_mount([&](dev_t number, const Mount& mount) {
    if (number == volume) found = &mount;
    return found != nullptr;
  });
  return found;
}

// The devices of the Btrfs open on fd, every one of a multi-device file
// system, as its folder in sysfs lists them. Returns false when they cannot
// be told.
bool btrfs_devices(int fd, rt::Below* below) {
  BtrfsInfo info{};
  if (control(fd, kBtrfsFsInfo, &info) != 0) return false;
  const uint8_t* id = info.fsid;
  char path[128];
  static_cast<void>(snprintf(
      path, sizeof path, "/sys/fs/btrfs/%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x/devices",
      id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11], id[12], id[13], id[14],
      id[15]));
  if (!add_linked_devices(path, below) || below->count == 0) return false;
  // Its files share the least of its devices' numbers, which no other
  // file system has.
  below->file_system = below->lower[0].number;
  for (int i = 1; i < below->count; ++i) {
    if (below->lower[i].number < below->file_system) below->file_system = below->lower[i].number;
  }
  return true;
}

// Adds the block device at path to below. Returns false when path is none.
bool add_device_at(const char* path, rt::Below* below) {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISBLK(status.st_mode) &&
         add(below, {rt::Layer::kDevice, status.st_rdev, 0, kWhole});
}

// Adds the file systems that hold the folders of an overlay's option, such
// as "lowerdir=/a:/b", to below; a colon in a folder's name is "\:".
bool add_layers(const char* option, rt::Below* below) {
  static char folder[4096];
  for (const char* in = option; *in != '\0';) {
    size_t length = 0;
    for (; *in != '\0' && *in != ':'; ++in) {
      if (in[0] == '\\' && in[1] != '\0') ++in;
      if (length + 1 == sizeof folder) return false;
      folder[length++] = *in;
    }
    folder[length] = '\0';
    if (*in == ':') ++in;
    struct stat status {};
    if (::stat(folder, &status) != 0 || !add(below, {rt::Layer::kFileSystem, status.st_dev, 0, kWhole})) return false;
  }
  return true;
}

// Calls each(value) for each of the mount's own options named name (as
// "logdev="). Returns false when one does.
template <typename Each>
bool each_option(const Mount& mount, const char* name, Each each) {
  const size_t length = strlen(name);
  static char value[16384];
  for (const char* option = mount.options; option != nullptr;) {
    const char* comma = strchr(option, ',');
    const size_t size = comma == nullptr ? strlen(option) : static_cast<size_t>(comma - option);
    if (size > length && strncmp(option, name, length) == 0) {
      memcpy(value, option + length, size - length);
      value[size - length] = '\0';
      if (!each(value)) return false;
    }
    option = comma == nullptr ? nullptr : comma + 1;
  }
  return true;
}

// What lies below a file system on no block device of its own, by its line
// in the mount table. Returns false when that cannot be told.
bool describe_mount(const Mount& mount, rt::Below* below) {
  if (strcmp(mount.type, "btrfs") == 0) {
    const int fd = ::open(mount.point, O_RDONLY | O_DIRECTORY);
    const bool told = fd >= 0 && btrfs_devices(fd, below);
    if (fd >= 0) ::close(fd);
    return told;
  }
  if (strcmp(mount.type, "overlay") == 0) {
    const auto layers = [&](const char* value) { return add_layers(value, below); };
    return each_option(mount, "lowerdir=", layers) && each_option(mount, "lowerdir+=", layers) &&
           each_option(mount, "datadir+=", layers) && each_option(mount, "upperdir=", layers) && below->count > 0;
  }
  for (const char* type : kWithoutDevice) {
    if (strcmp(mount.type, type) == 0 || (strncmp(mount.type, "fuse.", 5) == 0)) return true;
  }
  return add_device_at(mount.source, below);
}

bool read_only(int fd) {
  int flag = 0;
  static_cast<void>(control(fd, kReadOnlyQuery, &flag));
  return flag != 0;
}

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
  // Only a hint; a file system that ignores it loses nothing.
  static_cast<void>(::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL));
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
  info->whole_sectors = false;  // Linux's block devices take any bytes
  info->read_only = false;
  info->permissions = static_cast<int>(status.st_mode & 07777);
  info->group = status.st_gid;
  if (info->kind == Kind::kBlockDevice) {
    info->storage = {kDevices, {static_cast<uint64_t>(status.st_rdev), 0}};
    info->read_only = read_only(fd);
  }
  return true;
}

bool describe_device(uint64_t device_number, Below* below) {
  const auto device = static_cast<dev_t>(device_number);
  *below = {};
  below->file_system = device_number;
  unsigned long long value = 0;
  if (!read_attribute(device, "dev", &value)) return false;
  // A partition: a window of its disk, whose folder holds its own.
  if (attribute_exists(device, "partition")) {
    unsigned long long start = 0;
    unsigned long long sectors = 0;
    unsigned long long disk = 0;
    if (!read_attribute(device, "start", &start) || !read_attribute(device, "size", &sectors) ||
        !read_attribute(device, "../dev", &disk)) {
      return false;
    }
    const auto first = static_cast<int64_t>(start) * kSector;
    return add(below, {Layer::kDevice, disk, 0, {first, first + static_cast<int64_t>(sectors) * kSector}});
  }
  if (major(device) == kLoopMajor) {
    LoopInfo loop{};
    bool bound = false;
    if (!loop_backing(device, &loop, &bound)) return false;
    // rdevice: the backing file's st_rdev, 0 for a regular file.
    if (!bound) return true;
    return loop.rdevice != 0 ? add(below, {Layer::kDevice, loop.rdevice, 0, loop_window(loop)})
                             : add(below, {Layer::kFile, loop.device, loop.inode, loop_window(loop)});
  }
  // Device-mapper and md devices list the devices they are made of, with
  // their bytes anywhere in them; a disk lists none.
  char path[300];
  sysfs_path(device, "slaves", path, sizeof path);
  return add_linked_devices(path, below);
}

bool describe_volume(uint64_t volume, Below* below) {
  const auto device = static_cast<dev_t>(volume);
  *below = {};
  below->file_system = volume;
  unsigned long long value = 0;
  if (read_attribute(device, "dev", &value)) {
    if (!add(below, {Layer::kDevice, volume, 0, kWhole})) return false;
    // XFS keeps its log and its realtime data on devices of their own where
    // it was mounted so, as its line in the mount table tells.
    char name[256];
    char folder[300];
    if (!device_name(device, name, sizeof name)) return false;
    static_cast<void>(snprintf(folder, sizeof folder, "/sys/fs/xfs/%s", name));
    if (::access(folder, F_OK) != 0) return true;
    const Mount* xfs = find_mount(device);
    const auto device_at = [below](const char* path) { return add_device_at(path, below); };
    return xfs != nullptr && each_option(*xfs, "logdev=", device_at) && each_option(*xfs, "rtdev=", device_at);
  }
  if (const Mount* mount = find_mount(device)) return describe_mount(*mount, below);
  // Btrfs gives each subvolume a number that the mount table does not show:
  // a mount whose folder has it tells the file system.
  return each_mount([&](dev_t, const Mount& mount) {
    if (strcmp(mount.type, "btrfs") != 0) return false;
    const int fd = ::open(mount.point, O_RDONLY | O_DIRECTORY);
    struct stat status {};
    const bool told = fd >= 0 && ::fstat(fd, &status) == 0 && status.st_dev == device && btrfs_devices(fd, below);
    if (fd >= 0) ::close(fd);
    return told;
  });
}

bool describe_file_system(int fd, Below* below) {
  struct stat status {};
  struct statfs info {};
  if (::fstat(fd, &status) != 0 || ::fstatfs(fd, &info) != 0) return false;
  if (static_cast<int64_t>(info.f_type) == kBtrfs) {
    *below = {};
    return btrfs_devices(fd, below);
  }
  return describe_volume(status.st_dev, below);
}

bool new_file_group(const char* path, int64_t* group) {
  // The folder that path names its file in: all before the last slash.
  static char folder[4096];
  const char* slash = strrchr(path, '/');
  const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
  if (length + 2 > sizeof folder) return false;
  if (slash == nullptr) {
    strcpy(folder, ".");
  } else {
    memcpy(folder, path, length == 0 ? 1 : length);
    folder[length == 0 ? 1 : length] = '\0';
  }
  struct stat status {};
  if (::stat(folder, &status) != 0) return false;
  *group = (status.st_mode & S_ISGID) != 0 ? status.st_gid : ::getegid();
  return true;
}

bool takes_positions(int fd) { return ::lseek(fd, 0, SEEK_CUR) != -1 || errno != ESPIPE; }

int resize(int fd, int64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : -1; }

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
  if (control(destination, kCloneRange, &request) == 0) return Clone::kShared;
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

void read_ahead(int fd, int64_t position, int64_t length) {
  static_cast<void>(::posix_fadvise(fd, static_cast<off_t>(position), static_cast<off_t>(length), POSIX_FADV_WILLNEED));
}

int64_t page_size() { return ::sysconf(_SC_PAGESIZE); }

int64_t seek_end(int fd) { return ::lseek(fd, 0, SEEK_END); }

int64_t seek_set(int fd, int64_t position) { return ::lseek(fd, static_cast<off_t>(position), SEEK_SET); }

int64_t read_at(int fd, void* buffer, int64_t count, int64_t position) {
  return ::pread(fd, buffer, static_cast<size_t>(count), static_cast<off_t>(position));
}

int64_t write_at(int fd, const void* buffer, int64_t count, int64_t position) {
  const ssize_t put = ::pwrite(fd, buffer, static_cast<size_t>(count), static_cast<off_t>(position));
  // A regular file opened as a stream has no positions, and the copy writes
  // its bytes in order.
  return put == -1 && errno == ESPIPE ? ::write(fd, buffer, static_cast<size_t>(count)) : put;
}

int64_t write(int fd, const void* buffer, int64_t count) { return ::write(fd, buffer, static_cast<size_t>(count)); }

int close(int fd) { return ::close(fd) == 0 ? 0 : -1; }

}  // namespace rt
