// The runtime calls on Linux: open(2) and friends, sysfs and the mount
// table. Only the C library's headers, so that the same unit builds against
// glibc and against musl (the static release binary). The kernel's own
// structures are spelled out here, as musl's headers do not carry the
// kernel's.
//
// What lies below a file is read from what any process can read, in any
// namespace: sysfs's attributes of block devices, the mount table, statx(2)
// and the paths these name. Each level is told from what the system says
// of it, never from a guess; what this namespace cannot name is told as
// such (kHidden), and what cannot be told fails the call.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
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

// struct statx of <linux/stat.h>, as far as the tool reads it.
struct Statx {
  uint32_t mask;
  uint32_t block_size;
  uint64_t attributes;
  uint32_t links;
  uint32_t owner;
  uint32_t group;
  uint16_t mode;
  uint16_t spare;
  uint64_t inode;
  uint64_t size;
  uint64_t blocks;
  uint64_t attributes_mask;
  int64_t times[8];
  uint32_t rdevice_major;
  uint32_t rdevice_minor;
  uint32_t device_major;
  uint32_t device_minor;
  uint64_t mount_id;
  uint64_t rest[13];
};
static_assert(sizeof(Statx) == 256 && offsetof(Statx, mount_id) == 144, "the kernel's struct statx");
constexpr unsigned kStatxBasic = 0x7ff;     // STATX_BASIC_STATS
constexpr unsigned kStatxMountId = 0x1000;  // STATX_MNT_ID

// The head of struct linux_dirent64, which getdents64(2) fills; the name
// follows it.
struct DirectoryEntry {
  uint64_t inode;
  int64_t offset;
  uint16_t length;
  uint8_t type;
};
constexpr size_t kEntryName = offsetof(DirectoryEntry, type) + 1;

// The magic numbers of statfs(2) of the file systems whose files need
// more than their file system told: overlays, FUSE.
constexpr int64_t kOverlay = 0x794c7630;
constexpr int64_t kFuse = 0x65735546;

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

// File systems that keep their files in memory, or make them up, by their
// names in the mount table: nothing lies below them.
constexpr const char* kInMemory[] = {
    "tmpfs",    "ramfs",     "rootfs",  "proc",        "sysfs",      "devtmpfs", "devpts",     "mqueue",
    "cgroup",   "cgroup2",   "debugfs", "tracefs",     "securityfs", "configfs", "bpf",        "pstore",
    "efivarfs", "hugetlbfs", "autofs",  "binfmt_misc", "fusectl",    "nsfs",     "rpc_pipefs", "selinuxfs",
};

constexpr unsigned long kReadOnlyQuery = _IO(0x12, 94);  // BLKROGET

// The bytes of a disk that a sector counts.
constexpr int64_t kSector = 512;

// The most layers of an overlay: the kernel's own bound.
constexpr int kMostLayers = 500;

constexpr rt::Window kWhole{0, rt::kStorageEnd};

// Where the system's files are read: "" but in tests.
const char* system_root = "";

// The kernel's ioctl(2), whose request the C libraries type apart (musl's
// int cannot hold a request that reads).
int control(int fd, unsigned long request, void* argument) {
  return static_cast<int>(::syscall(SYS_ioctl, fd, request, argument));
}

// A path made of parts. One that does not fit is "", which opens nothing.
class Path {
 public:
  Path& operator<<(const char* part);
  Path& operator<<(unsigned long long number);
  // "M:m", the form of a device number in sysfs.
  Path& device(dev_t number) { return *this << major(number) << ":" << minor(number); }
  const char* c_str() const { return fits_ ? text_ : ""; }

 private:
  char text_[4096] = "";
  size_t length_ = 0;
  bool fits_ = true;
};

Path& Path::operator<<(const char* part) {
  const size_t length = strlen(part);
  fits_ = fits_ && length < sizeof text_ - length_;
  if (fits_) memcpy(text_ + length_, part, length + 1), length_ += length;
  return *this;
}

Path& Path::operator<<(unsigned long long number) {
  char digits[24];
  int at = sizeof digits - 1;
  digits[at] = '\0';
  do {
    digits[--at] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  return *this << digits + at;
}

// A path of the system's: in /sys, /proc or /dev, or one that they name.
Path system_file(const char* path = "") {
  Path file;
  file << system_root << path;
  return file;
}

// A device's folder in sysfs, or a file in it.
Path sysfs_device(dev_t device, const char* file = "") {
  return (system_file("/sys/dev/block/").device(device)) << file;
}

// Reads the file at path into text, as a string of at most size - 1 bytes.
// Returns false when it cannot be read, or holds nothing.
bool read_text(const Path& path, char* text, size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  const ssize_t got = fd < 0 ? -1 : ::read(fd, text, size - 1);
  if (fd >= 0) ::close(fd);
  text[got > 0 ? got : 0] = '\0';
  return got > 0;
}

bool exists(const Path& path) { return ::access(path.c_str(), F_OK) == 0; }

// Reads a device number written "M:m" from text. Returns false when there
// is none.
bool read_device_number(const char* text, dev_t* device) {
  char* end = nullptr;
  const unsigned long long device_major = strtoull(text, &end, 10);
  const char* minor_text = end + 1;
  const bool colon = end != text && *end == ':';
  const unsigned long long device_minor = colon ? strtoull(minor_text, &end, 10) : 0;
  *device = makedev(static_cast<unsigned>(device_major), static_cast<unsigned>(device_minor));
  return colon && end != minor_text;
}

// Reads the attribute at path, a device number written "M:m". Returns
// false when it cannot be read, or holds none.
bool read_device(const Path& path, dev_t* device) {
  char text[64];
  return read_text(path, text, sizeof text) && read_device_number(text, device);
}

// Reads the attribute at path, a decimal. Returns false when it cannot be
// read, or holds none.
bool read_decimal(const Path& path, unsigned long long* value) {
  char text[64];
  char* end = text;
  *value = read_text(path, text, sizeof text) ? strtoull(text, &end, 10) : 0;
  return end != text;
}

// The name of the block device numbered device, as sysfs names it
// ("loop0"), with its folder's place in link; "" where sysfs does not link
// it.
Path device_name(dev_t device, char* link, size_t size) {
  const ssize_t got = ::readlink(sysfs_device(device).c_str(), link, size - 1);
  link[got > 0 ? got : 0] = '\0';
  const char* slash = strrchr(link, '/');
  Path name;
  name << (slash == nullptr ? link : slash + 1);
  return name;
}

Path device_name(dev_t device) {
  char link[1024];
  return device_name(device, link, sizeof link);
}

// The folder that path names its file in ("." for a bare name, "/" for
// "/name"), written into folder of size bytes ("" where it does not fit).
// Returns the file's name, the part of path after the folder.
const char* split_path(const char* path, char* folder, size_t size) {
  const char* slash = strrchr(path, '/');
  const size_t length = slash == nullptr || slash == path ? 1 : static_cast<size_t>(slash - path);
  const size_t kept = length < size ? length : 0;
  memcpy(folder, slash == nullptr ? "." : path, kept);
  folder[kept] = '\0';
  return slash == nullptr ? path : slash + 1;
}

// A call for each of a list's items, with what it needs: the one copy of a
// loop serves every caller.
using Visit = bool (*)(void* each, const char* item);

template <typename Each>
Visit visit_with() {
  return [](void* each, const char* item) { return (*static_cast<Each*>(each))(item); };
}

// Calls visit(each, name) for each entry of the folder at path but "." and
// "..", until it returns false, with the kernel's own call: the C
// library's opendir takes memory of the heap. Returns false when the folder
// cannot be read.
bool visit_entries(const Path& path, Visit visit, void* each) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  alignas(8) char entries[8192];
  long got = 0;
  bool going = true;
  while (going && (got = ::syscall(SYS_getdents64, fd, entries, sizeof entries)) > 0) {
    for (long at = 0; going && at < got;) {
      DirectoryEntry entry{};
      memcpy(&entry, entries + at, sizeof entry);
      const char* name = entries + at + kEntryName;
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) going = visit(each, name);
      at += entry.length;
    }
  }
  ::close(fd);
  return got >= 0;
}

// Calls each(name) for each entry of the folder at path, as visit_entries.
template <typename Each>
bool each_entry(const Path& path, Each each) {
  return visit_entries(path, visit_with<Each>(), &each);
}

// What statx tells of a file, as far as the tool asks.
struct Status {
  mode_t mode;
  dev_t device;  // the number that the file reports (st_dev)
  uint64_t inode;
  dev_t represented;  // a device's own number (st_rdev)
  uint64_t mount;     // the mount it was reached through; 0 where unknown
  int64_t group;
  int64_t stamp[5];  // its size, change and modification times (s, ns)
};

// Tells what the file open on fd is. Returns false when that cannot be
// told.
bool status_of(int fd, Status* status) {
  Statx x{};
  struct stat old {};
  // Kernels before 4.11, and sandboxes that refuse the call, answer fstat
  // alone; before 5.8 statx leaves the mount ID 0, and /proc tells it.
  if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH, kStatxBasic | kStatxMountId, &x) != 0) {
    if (::fstat(fd, &old) != 0) return false;
    x = {0,
         0,
         0,
         0,
         0,
         old.st_gid,
         static_cast<uint16_t>(old.st_mode),
         0,
         old.st_ino,
         static_cast<uint64_t>(old.st_size),
         0,
         0,
         {0, 0, 0, 0, old.st_ctim.tv_sec, old.st_ctim.tv_nsec, old.st_mtim.tv_sec, old.st_mtim.tv_nsec},
         major(old.st_rdev),
         minor(old.st_rdev),
         major(old.st_dev),
         minor(old.st_dev),
         0,
         {}};
  }
  *status = {x.mode,
             makedev(x.device_major, x.device_minor),
             x.inode,
             makedev(x.rdevice_major, x.rdevice_minor),
             x.mount_id,
             x.group,
             {static_cast<int64_t>(x.size), x.times[4], x.times[5], x.times[6], x.times[7]}};
  if (status->mount == 0) {
    char text[1024];
    const char* field =
        read_text(Path() << "/proc/self/fdinfo/" << static_cast<unsigned long long>(fd), text, sizeof text)
            ? strstr(text, "mnt_id:")
            : nullptr;
    status->mount = field == nullptr ? 0 : strtoull(field + strlen("mnt_id:"), nullptr, 10);
  }
  return true;
}

// Tells what the path leads to. Returns false when that cannot be told, or
// it leads nowhere.
bool status_at(const Path& path, Status* status) {
  const int fd = ::open(path.c_str(), O_PATH);
  // A descriptor just opened is told, if only as no file of any kind.
  if (fd >= 0) static_cast<void>(status_of(fd, status)), ::close(fd);
  return fd >= 0;
}

// The magic number of the file system of fd; 0 where it cannot be told.
int64_t magic_of(int fd) {
  struct statfs info {};
  static_cast<void>(::fstatfs(fd, &info));
  return static_cast<int64_t>(info.f_type);
}

// A line of the mount table. The file system's own options keep the
// table's escapes, so that a comma in a value stays apart from the commas
// between them; the other fields are unescaped.
struct MountLine {
  uint64_t id;
  dev_t volume;  // its superblock's number, which all its files share
  char root[4096];
  char point[4096];
  char type[256];
  char source[4096];
  char options[16384];
};

// Copies length bytes of in to out, of size bytes, turning the mount
// table's escapes ("\040") back into their bytes where decode is set.
// Returns false when they do not fit.
bool copy_field(const char* in, size_t length, char* out, size_t size, bool decode = true) {
  size_t put = 0;
  const char* end = in + length;
  for (; in < end && put + 1 < size; ++put) {
    const bool escape = decode && end - in >= 4 && in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' &&
                        in[2] <= '7' && in[3] >= '0' && in[3] <= '7';
    out[put] = escape ? static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0')) : *in;
    in += escape ? 4 : 1;
  }
  out[put] = '\0';
  return in == end;
}

// Copies the field of the mount table at *text, up to the next space or the
// line's end, into out of size bytes, unescaped where decode is set; moves
// *text past it. Returns false when it does not fit or is missing.
bool take_field(const char** text, char* out, size_t size, bool decode = true) {
  const char* in = *text;
  const size_t length = strcspn(in, " ");
  *text = in + length + (in[length] == ' ' ? 1 : 0);
  return length > 0 && copy_field(in, length, out, size, decode);
}

// Reads a line of /proc/self/mountinfo into *mount: ID, parent, M:m, root,
// mount point, options, optional fields, "-", type, source, super options.
// Returns false when the line is not of that form.
bool parse_mount(const char* line, MountLine* mount) {
  char field[4096];
  bool parsed = take_field(&line, field, sizeof field);
  mount->id = strtoull(field, nullptr, 10);
  parsed = parsed && take_field(&line, field, sizeof field) && take_field(&line, field, sizeof field) &&
           read_device_number(field, &mount->volume) && take_field(&line, mount->root, sizeof mount->root) &&
           take_field(&line, mount->point, sizeof mount->point);
  while (parsed && (parsed = take_field(&line, field, sizeof field)) && strcmp(field, "-") != 0) {
  }
  return parsed && take_field(&line, mount->type, sizeof mount->type) &&
         take_field(&line, mount->source, sizeof mount->source) &&
         take_field(&line, mount->options, sizeof mount->options, false);
}

// Finds the mount table's line for mount: by its ID, or where that is 0 by
// the number of its files. Returns false where the table has none, or
// cannot be read. A line longer than the buffer is not read.
bool find_mount(rt::Mount mount, MountLine* found) {
  const int fd = ::open(system_file("/proc/self/mountinfo").c_str(), O_RDONLY);
  char text[65536];
  size_t held = 0;
  bool matched = false;
  for (ssize_t got; !matched && fd >= 0 && (got = ::read(fd, text + held, sizeof text - 1 - held)) > 0;) {
    held += static_cast<size_t>(got);
    text[held] = '\0';
    char* line = text;
    for (char* end; !matched && (end = strchr(line, '\n')) != nullptr; line = end + 1) {
      *end = '\0';
      matched = parse_mount(line, found) &&
                (mount.id != 0 ? found->id == mount.id : static_cast<uint64_t>(found->volume) == mount.volume);
    }
    held = static_cast<size_t>(text + held - line);
    memmove(text, line, held);
  }
  if (fd >= 0) ::close(fd);
  return matched;
}

// Calls visit(each, value) for each of the mount's own options named name
// (as "logdev="), its value unescaped. Returns false when a call does.
bool visit_options(const MountLine& mount, const char* name, Visit visit, void* each) {
  const size_t length = strlen(name);
  char value[sizeof mount.options];
  for (const char* option = mount.options; option != nullptr;) {
    const char* comma = strchr(option, ',');
    const size_t size = comma == nullptr ? strlen(option) : static_cast<size_t>(comma - option);
    // A value is never longer than the options it is one of.
    if (size >= length && strncmp(option, name, length) == 0) {
      static_cast<void>(copy_field(option + length, size - length, value, sizeof value));
      if (!visit(each, value)) return false;
    }
    option = comma == nullptr ? nullptr : comma + 1;
  }
  return true;
}

template <typename Each>
bool each_option(const MountLine& mount, const char* name, Each each) {
  return visit_options(mount, name, visit_with<Each>(), &each);
}

// Whether the mount has the option name (as "metacopy=on", or "lowerdir+=").
bool has_option(const MountLine& mount, const char* name) {
  return !each_option(mount, name, [](const char*) { return false; });
}

bool is_one_of(const char* name, const char* const* names, size_t count) {
  bool found = false;
  for (size_t i = 0; i < count; ++i) found |= strcmp(name, names[i]) == 0;
  return found;
}

rt::Lower device_lower(dev_t device, rt::Window window = kWhole) {
  return {rt::Layer::kDevice, static_cast<uint64_t>(device), {}, {}, window};
}

rt::Lower file_system_lower(const Status& status) {
  return {rt::Layer::kFileSystem, 0, {}, {status.mount, static_cast<uint64_t>(status.device)}, kWhole};
}

rt::Lower file_lower(const Status& status, rt::Window window, uint64_t inode = 0) {
  const auto volume = static_cast<uint64_t>(status.device);
  return {rt::Layer::kFile, 0, {volume, {inode != 0 ? inode : status.inode, 0}}, {status.mount, volume}, window};
}

constexpr rt::Lower kHiddenLower{rt::Layer::kHidden, 0, {}, {}, kWhole};

// The block device that the path of the system's names: its node, or where
// this namespace has none, the device sysfs names so below /dev/. Returns
// false where there is none.
bool device_at(const char* path, dev_t* device) {
  Status status{};
  if (status_at(system_file(path), &status) && S_ISBLK(status.mode)) {
    *device = status.represented;
    return true;
  }
  Path name = system_file("/sys/class/block/");
  return strncmp(path, "/dev/", 5) == 0 && read_device(name << strrchr(path, '/') + 1 << "/dev", device);
}

// What a path that the system names was found to be.
enum class Named { kAdded, kMissing, kUntold };

Named add_named(const char* path, rt::Window window, rt::Lowers* below);

// A list of an overlay's layers being read: whether its paths are given as
// they are, the folder read last, and the call for each.
struct LayerList {
  bool literal;
  char folder[sizeof MountLine::options];
  void (*visit)(void* each, const char* folder, bool upper);
  void* each;
};

// Calls list's visit for each folder of value, an option's paths,
// separated by colons where separated is set.
void visit_paths(LayerList& list, const char* value, bool separated, bool upper) {
  for (const char* in = value; *in != '\0';) {
    size_t length = 0;
    for (; *in != '\0' && !(separated && *in == ':'); ++in) {
      in += !list.literal && in[0] == '\\' && in[1] != '\0' ? 1 : 0;
      list.folder[length++] = *in;
    }
    list.folder[length] = '\0';
    in += *in == ':' ? 1 : 0;
    // Data-only layers follow "::".
    if (length > 0) list.visit(list.each, list.folder, upper);
  }
}

// Calls visit(each, folder, upper) for each folder of an overlay's layers
// that its options name: the upper one with upper set. Options that set one
// layer each (lowerdir+=, since Linux 6.5) take paths as they are; the
// older ones escape a character with a backslash, and lowerdir= separates
// its paths with colons.
void visit_layers(const MountLine& mount, void (*visit)(void*, const char*, bool), void* each) {
  constexpr const char* kOptions[] = {"lowerdir=", "lowerdir+=", "datadir+=", "upperdir="};
  LayerList list{has_option(mount, kOptions[1]) || has_option(mount, kOptions[2]), "", visit, each};
  for (const char* option : kOptions) {
    const bool separated = option == kOptions[0] && !list.literal;
    const bool upper = option == kOptions[3];
    static_cast<void>(each_option(mount, option, [&](const char* value) {
      visit_paths(list, value, separated, upper);
      return true;
    }));
  }
}

template <typename Each>
void each_layer(const MountLine& mount, Each each) {
  visit_layers(
      mount, [](void* call, const char* folder, bool upper) { (*static_cast<Each*>(call))(folder, upper); }, &each);
}

// An overlay's layers, as this namespace names them. Their file systems in
// the kernel's order (its fsid): the upper layer's first, in slot 0 even
// where there is none, then each lower one's not yet seen; each as the
// folder of its layer, which reports its number and a mount that holds it.
struct Layers {
  Status file_system[kMostLayers + 1];
  int file_systems = 1;
  bool upper = false;
  char upper_folder[4096];  // the upper layer's folder, as the system names it
  bool hidden = false;      // a layer's folder that this namespace cannot name
  bool relative = false;    // a layer's folder named from the mounter's folder
  bool metacopy = false;    // a file may hold its metadata alone, its data below
};

// Reads the layers of the overlay of mount into *layers, the upper one
// first. Returns false when the list does not fit.
bool read_layers(const MountLine& mount, Layers* layers) {
  bool room = true;
  layers->metacopy = has_option(mount, "metacopy=on");
  for (int pass = 0; pass < 2; ++pass) {
    each_layer(mount, [&](const char* folder, bool upper) {
      Status seen{};
      if (upper != (pass == 0)) return;
      const Path path = system_file(folder);
      const bool missing = *folder != '/' || !status_at(path, &seen);
      layers->relative |= *folder != '/';
      layers->hidden |= missing;
      if (upper && !missing) {
        layers->upper = true;
        layers->file_system[0] = seen;
        memcpy(layers->upper_folder, path.c_str(), strlen(path.c_str()) + 1);
      }
      bool known = missing || upper;
      for (int i = layers->upper ? 0 : 1; i < layers->file_systems; ++i) {
        known |= layers->file_system[i].device == seen.device;
      }
      room = room && (known || layers->file_systems <= kMostLayers);
      if (!known && layers->file_systems <= kMostLayers) layers->file_system[layers->file_systems++] = seen;
    });
  }
  return room;
}

// Finds into *found the file of a lower layer of the overlay of mount that
// the overlay's file at inside, reported as status, is: the file at that
// path in the topmost layer that has one, where it reports the same number,
// size and times (a folder renamed in the overlay shows another layer's
// file there). Returns false where none does.
bool lower_file_at(const MountLine& mount, const char* inside, const Status& status, Status* found) {
  bool looked = false;
  bool same = false;
  each_layer(mount, [&](const char* folder, bool upper) {
    if (upper || looked) return;
    Path path = system_file(folder);
    const bool opened = status_at(path << inside, found);
    // A layer without the file shows the next one's; one that cannot be
    // looked in may be the one that has it.
    looked = opened || errno != ENOENT;
    same = opened && S_ISREG(found->mode) && found->inode == status.inode &&
           memcmp(found->stamp, status.stamp, sizeof status.stamp) == 0;
  });
  return same;
}

// Adds the files of an overlay's layers that a file reported as status, at
// inside (its path below the overlay's root, as far as it is known), names,
// at window: the number a file reports is its layer's file's number where
// all layers lie on one file system; with more, xino's high bits tell
// which; without, the device it reports is one the kernel makes up for its
// layer's file system, and the file at its path in the layers tells which,
// or else it may be any layer's file of that number. Returns false when
// they cannot be told.
bool add_reported_files(const MountLine& mount, const Layers& layers, const char* inside, const Status& status,
                        rt::Window window, rt::Lowers* below) {
  const int first = layers.upper ? 0 : 1;
  int from = first;
  int to = layers.file_systems;
  uint64_t inode = status.inode;
  if (to - first > 1 && status.device == mount.volume) {
    // xino: the file system's slot above the number's bit "shift", which
    // marks a number the kernel made up.
    const int shift = 64 - (63 - __builtin_clzll(static_cast<unsigned long long>(layers.file_systems - 1)) + 2);
    const uint64_t slot = inode >> shift;
    from = static_cast<int>(slot >> 1);
    to = from + 1;
    inode &= (uint64_t{1} << shift) - 1;
    if ((slot & 1) != 0 || from >= layers.file_systems) return false;
  } else if (to - first > 1) {
    Status found{};
    // With metacopy, a lower layer's file may hold the metadata alone.
    if (!layers.metacopy && lower_file_at(mount, inside, status, &found)) {
      rt::add(below, file_lower(found, window));
      return true;
    }
  }
  for (int i = from; i < to; ++i) rt::add(below, file_lower(layers.file_system[i], window, inode));
  return true;
}

// The path of a file below the overlay of mount, whose path in this
// namespace is path, in each layer. Returns false where it lies outside the
// mount.
bool path_in_overlay(const MountLine& mount, const char* path, Path* inside) {
  const size_t length = strcmp(mount.point, "/") == 0 ? 0 : strlen(mount.point);
  const bool under = strncmp(path, mount.point, length) == 0 && path[length] == '/';
  *inside << (strcmp(mount.root, "/") == 0 ? "" : mount.root) << (under ? path + length : "");
  return under;
}

// Adds what the file of the overlay of mount at path, reported as status,
// is in its layers, at window: the upper layer's file of its path, where
// there is one, which is the one written; else, and also where the upper
// one may hold its metadata alone (metacopy), the lower layer's file whose
// number it reports. A file to be made lies in the upper layer. Returns
// false when that cannot be told.
bool add_overlay_files(const MountLine& mount, const char* path, const Status& status, rt::Use use, rt::Window window,
                       rt::Lowers* below) {
  Layers layers;
  const bool read = read_layers(mount, &layers);
  if (layers.hidden) rt::add(below, kHiddenLower);
  if (use == rt::Use::kMade && layers.upper) rt::add(below, file_system_lower(layers.file_system[0]));
  if (!read || use == rt::Use::kMade) return read;
  // A folder named from the mounter's folder leaves the file's number,
  // which may be any file's of that number.
  rt::Lower any = file_lower(status, window);
  any.file.volume = rt::kAnyVolume;
  if (layers.relative) rt::add(below, any);
  Status upper{};
  Path inside;
  Path file;
  file << layers.upper_folder;
  const bool in_place = path != nullptr && path_in_overlay(mount, path, &inside);
  const bool in_upper = layers.upper && in_place && status_at(file << inside.c_str(), &upper) && S_ISREG(upper.mode);
  if (in_upper) rt::add(below, file_lower(upper, window));
  if (layers.upper && !in_place) return false;
  // A file opened for writing is copied up first.
  if (use == rt::Use::kWritten) return in_upper || !layers.upper;
  return (in_upper && !layers.metacopy) || add_reported_files(mount, layers, inside.c_str(), status, window, below);
}

// The folder that the FUSE file system of mount mirrors (as bindfs mounts
// it), as its source names it. Returns false where it mirrors none.
bool mirrored_folder(const MountLine& mount, Status* folder) {
  return *mount.source == '/' && status_at(system_file(mount.source), folder) && S_ISDIR(folder->mode);
}

// Adds what the regular file at path (null where it has none here), on the
// file system whose magic number is magic, reported as status, is in other
// file systems, at window, used as use says: an overlay's files in its
// layers, a mirror's the file of its folder of the same number; sets
// *added when it is any. Returns false when that cannot be told.
bool add_files_it_is(const char* path, int64_t magic, const Status& status, rt::Use use, rt::Window window,
                     rt::Lowers* below, bool* added) {
  MountLine mount;
  Status folder{};
  *added = false;
  if (magic != kOverlay && magic != kFuse) return true;
  if (!find_mount({status.mount, static_cast<uint64_t>(status.device)}, &mount)) return false;
  if (magic == kOverlay) {
    *added = true;
    return add_overlay_files(mount, path, status, use, window, below);
  }
  if (!mirrored_folder(mount, &folder)) return true;
  *added = true;
  rt::add(below, use == rt::Use::kMade ? file_system_lower(folder) : file_lower(folder, window, status.inode));
  return true;
}

// Adds what the path that the system names (a loop device's backing file, a
// file system's source, a layer's folder) holds at window: a block device;
// a regular file and the files it is; the file system of a folder; hidden
// storage for anything else. kMissing where this namespace reaches nothing
// there.
Named add_named(const char* path, rt::Window window, rt::Lowers* below) {
  Status status{};
  const Path at = system_file(path);
  const int fd = *path == '/' ? ::open(at.c_str(), O_PATH) : -1;
  const bool found = fd >= 0;
  if (found) static_cast<void>(status_of(fd, &status));
  bool added = false;
  bool told = true;
  dev_t device = 0;
  // A device whose node this namespace lacks, as a container's small /dev.
  const bool node_missing = !found && device_at(path, &device);
  if (node_missing || (found && S_ISBLK(status.mode))) {
    rt::add(below, device_lower(node_missing ? device : status.represented, window));
  } else if (found && S_ISDIR(status.mode)) {
    rt::add(below, file_system_lower(status));
  } else if (found && S_ISREG(status.mode)) {
    // The file's own magic number, through a descriptor that reads nothing.
    rt::add(below, file_lower(status, window));
    told = add_files_it_is(path, magic_of(fd), status, rt::Use::kRead, window, below, &added);
  } else if (found) {
    rt::add(below, kHiddenLower);
  }
  if (fd >= 0) ::close(fd);
  return !told ? Named::kUntold : found || node_missing ? Named::kAdded : Named::kMissing;
}

// Adds each block device that the folder at path links (a device's
// slaves/, a Btrfs's devices/) to below. Returns false when they cannot be
// told.
bool add_linked_devices(const Path& path, rt::Lowers* below) {
  bool told = true;
  const bool read = each_entry(path, [&](const char* name) {
    dev_t device = 0;
    Path attribute = path;
    told = read_device(attribute << "/" << name << "/dev", &device);
    if (told) rt::add(below, device_lower(device));
    return told;
  });
  return read && told;
}

// Adds what the loop device numbered device reads from, as its node in
// /dev answers: the kernel's answer holds also for a backing file deleted
// since, whose name leads nowhere. Returns false when the node cannot be
// opened or does not answer.
bool add_loop_status(dev_t device, rt::Lowers* below) {
  Path node = system_file("/dev/");
  const int fd = ::open((node << device_name(device).c_str()).c_str(), O_RDONLY | O_NONBLOCK);
  struct stat status {};
  LoopInfo loop{};
  // The node must be the device itself, not one of the same name.
  const bool told = fd >= 0 && ::fstat(fd, &status) == 0 && S_ISBLK(status.st_mode) && status.st_rdev == device &&
                    control(fd, kLoopGetStatus, &loop) == 0;
  if (fd >= 0) ::close(fd);
  const auto start = static_cast<int64_t>(loop.offset);
  const rt::Window window{start,
                          loop.size_limit == 0 ? rt::kStorageEnd : start + static_cast<int64_t>(loop.size_limit)};
  const Status file{S_IFREG, static_cast<dev_t>(loop.device), loop.inode, 0, 0, 0, {}};
  // rdevice: the backing file's st_rdev, 0 for a regular file.
  const rt::Lower backing =
      loop.rdevice != 0 ? device_lower(static_cast<dev_t>(loop.rdevice), window) : file_lower(file, window);
  if (told) rt::add(below, backing);
  return told;
}

// Adds what the loop device numbered device reads from: the backing file
// that sysfs names, which any process may read, in the window that its
// offset and size limit make. Returns false when that cannot be told.
bool add_loop_backing(dev_t device, rt::Lowers* below) {
  char backing[4096];
  unsigned long long offset = 0;
  unsigned long long limit = 0;
  unsigned long long sectors = 1;
  if (!read_text(sysfs_device(device, "/loop/backing_file"), backing, sizeof backing)) {
    // A loop device that reads nothing has no loop folder, and no size.
    return (!exists(sysfs_device(device, "/loop")) && read_decimal(sysfs_device(device, "/size"), &sectors) &&
            sectors == 0) ||
           add_loop_status(device, below);
  }
  backing[strcspn(backing, "\n")] = '\0';
  if (!read_decimal(sysfs_device(device, "/loop/offset"), &offset) ||
      !read_decimal(sysfs_device(device, "/loop/sizelimit"), &limit)) {
    return false;
  }
  const auto start = static_cast<int64_t>(offset);
  const rt::Window window{start, limit == 0 ? rt::kStorageEnd : start + static_cast<int64_t>(limit)};
  const Named named = add_named(backing, window, below);
  // A backing file deleted since: only the node tells which file it was.
  const char* deleted = strstr(backing, " (deleted)");
  if (named == Named::kMissing && deleted != nullptr && deleted[strlen(" (deleted)")] == '\0') {
    return add_loop_status(device, below);
  }
  if (named == Named::kMissing) rt::add(below, kHiddenLower);
  return named != Named::kUntold;
}

// Adds the devices of the Btrfs of mount: its folder in sysfs, found by the
// device that it was mounted from, links them all. Returns false when they
// cannot be told.
bool add_btrfs_devices(const MountLine& mount, rt::Lowers* below) {
  dev_t device = 0;
  const Path name = device_at(mount.source, &device) ? device_name(device) : Path{};
  const Path folders = system_file("/sys/fs/btrfs");
  bool found = false;
  bool members = false;
  static_cast<void>(each_entry(folders, [&](const char* entry) {
    Path devices = folders;
    devices << "/" << entry << "/devices";
    Path member = devices;
    found = *name.c_str() != '\0' && exists(member << "/" << name.c_str());
    members = found && add_linked_devices(devices, below);
    return !found;
  }));
  return members;
}

// Whether the block device numbered device holds an XFS, which may keep
// its log and its realtime data on devices of their own; where that cannot
// be told, it may.
bool may_hold_xfs(dev_t device) {
  const Path name = device_name(device);
  Path folder = system_file("/sys/fs/xfs/");
  return *name.c_str() == '\0' || exists(folder << name.c_str());
}

// Adds the files, devices and file systems of folders that the process
// serving the FUSE file system numbered volume holds open. The server: the
// process whose /dev/fuse has the mount's connection, its minor number.
// Returns false where no process that this user may look at holds it.
bool add_served_files(dev_t volume, rt::Lowers* below) {
  const Path processes = system_file("/proc");
  Path server;
  bool found = false;
  const auto link_of = [](Path at, const char* fd, char* link, size_t size) {
    const ssize_t got = ::readlink((at << "/" << fd).c_str(), link, size - 1);
    link[got > 0 ? got : 0] = '\0';
    return at;
  };
  static_cast<void>(each_entry(processes, [&](const char* process) {
    Path fds = processes;
    fds << "/" << process << "/fd";
    static_cast<void>(each_entry(fds, [&](const char* fd) {
      char link[64];
      char text[1024];
      Path info = processes;
      link_of(fds, fd, link, sizeof link);
      const char* field =
          strcmp(link, "/dev/fuse") == 0 && read_text(info << "/" << process << "/fdinfo/" << fd, text, sizeof text)
              ? strstr(text, "fuse_connection:")
              : nullptr;
      found = field != nullptr && strtoull(field + strlen("fuse_connection:"), nullptr, 10) == minor(volume);
      if (found) server = fds;
      return !found;
    }));
    return !found;
  }));
  static_cast<void>(each_entry(server, [&](const char* fd) {
    char link[16];
    Status status{};
    // Pipes, sockets and the like name no file; nor does /dev/fuse hold
    // the file system's bytes.
    const Path at = link_of(server, fd, link, sizeof link);
    if (*link == '\0' || strchr(link, ':') != nullptr || strcmp(link, "/dev/fuse") == 0 || !status_at(at, &status)) {
      return true;
    }
    if (S_ISREG(status.mode)) rt::add(below, file_lower(status, kWhole));
    if (S_ISBLK(status.mode)) rt::add(below, device_lower(status.represented));
    if (S_ISDIR(status.mode)) rt::add(below, file_system_lower(status));
    return true;
  }));
  return found;
}

// Adds what lies below the file system of the mount table's line mount.
// Returns false when that cannot be told.
bool describe_listed(const MountLine& mount, rt::Lowers* below) {
  const auto device_named = [below](const char* path) {
    dev_t number = 0;
    const bool found = device_at(path, &number);
    if (found) rt::add(below, device_lower(number));
    return found;
  };
  if (strcmp(mount.type, "btrfs") == 0) return add_btrfs_devices(mount, below);
  // XFS keeps its log and its realtime data on devices of their own where
  // it was mounted so.
  if (exists(sysfs_device(mount.volume, "/dev"))) {
    rt::add(below, device_lower(mount.volume));
    return each_option(mount, "logdev=", device_named) && each_option(mount, "rtdev=", device_named);
  }
  if (strcmp(mount.type, "overlay") == 0) {
    bool told = true;
    each_layer(mount, [&](const char* folder, bool) {
      const Named named = add_named(folder, kWhole, below);
      if (named == Named::kMissing) rt::add(below, kHiddenLower);
      told = told && named != Named::kUntold;
    });
    return told;
  }
  if (is_one_of(mount.type, kInMemory, sizeof kInMemory / sizeof *kInMemory)) return true;
  // A source that names a device, an image (a file-backed erofs, ntfs-3g's
  // image) or a folder (a mirror); else a FUSE program holds its storage,
  // or it lies where this namespace cannot name it. An erofs mounted from
  // an image named from the mounter's own folder lies in some file here,
  // which cannot be told.
  const Named named = add_named(mount.source, kWhole, below);
  const bool fuse = strcmp(mount.type, "fuse") == 0 || strncmp(mount.type, "fuse.", 5) == 0;
  const bool served = named == Named::kMissing && fuse && add_served_files(mount.volume, below);
  const bool hidden = named == Named::kMissing && !served;
  if (hidden) rt::add(below, kHiddenLower);
  return named == Named::kAdded || served || (hidden && strcmp(mount.type, "erofs") != 0);
}

rt::Kind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return rt::Kind::kRegular;
  if (S_ISBLK(mode)) return rt::Kind::kBlockDevice;
  if (S_ISDIR(mode)) return rt::Kind::kDirectory;
  return rt::Kind::kOther;
}

bool read_only(int fd) {
  int flag = 0;
  static_cast<void>(control(fd, kReadOnlyQuery, &flag));
  return flag != 0;
}

}  // namespace

namespace rt {

void set_system_root(const char* root) { system_root = root; }

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

int open_folder(const char* path, const char** name) {
  char folder[4096];
  *name = split_path(path, folder, sizeof folder);
  // O_PATH: a folder that may be written but not listed opens too.
  return ::open(folder, O_PATH | O_DIRECTORY);
}

int open_in(int folder, const char* name, bool* missing) {
  const int fd = ::openat(folder, name, O_WRONLY);
  *missing = fd < 0 && errno == ENOENT;
  return fd;
}

int create_in(int folder, const char* name, int mode, bool* exists) {
  const int fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
  *exists = fd < 0 && errno == EEXIST;
  return fd;
}

bool follow_link(int* folder, const char** name, char* link, int size) {
  const ssize_t got = ::readlinkat(*folder, *name, link, static_cast<size_t>(size) - 1);
  link[got > 0 ? got : 0] = '\0';
  // The link's folder, from the folder that the link is in.
  char above[4096];
  const char* target = split_path(link, above, sizeof above);
  const int next = got > 0 ? ::openat(*folder, above, O_PATH | O_DIRECTORY) : -1;
  if (next < 0) return false;
  ::close(*folder);
  *folder = next;
  *name = target;
  return true;
}

bool describe(int fd, FileInfo* info) {
  Status status{};
  if (!status_of(fd, &status)) return false;
  info->kind = kind_of(status.mode);
  info->storage = {static_cast<uint64_t>(status.device), {status.inode, 0}};
  info->mount = {status.mount, static_cast<uint64_t>(status.device)};
  info->whole_sectors = false;  // Linux's block devices take any bytes
  info->read_only = false;
  info->permissions = static_cast<int>(status.mode & 07777);
  info->group = status.group;
  if (info->kind == Kind::kBlockDevice) {
    info->storage = {kDevices, {static_cast<uint64_t>(status.represented), 0}};
    info->read_only = read_only(fd);
  }
  return true;
}

bool describe_file(int fd, Use use, Lowers* below) {
  Status status{};
  const int64_t magic = magic_of(fd);
  // An overlay's file is found in its layers by its path in this namespace.
  char path[4096];
  Path link;
  link << "/proc/self/fd/" << static_cast<unsigned long long>(fd);
  const ssize_t got = magic == kOverlay ? ::readlink(link.c_str(), path, sizeof path - 1) : -1;
  path[got > 0 ? got : 0] = '\0';
  bool added = false;
  const bool told =
      status_of(fd, &status) && add_files_it_is(got > 0 ? path : nullptr, magic, status, use, kWhole, below, &added);
  if (told && !added) add(below, file_system_lower(status));
  return told;
}

bool describe_mount(Mount mount, Lowers* below, uint64_t* file_system) {
  MountLine line;
  const bool listed = find_mount(mount, &line);
  *file_system = listed ? line.volume : mount.volume;
  // Without the mount table (no /proc), a file system on a device is still
  // told by sysfs, but for an XFS, whose other devices only the table
  // names.
  const auto volume = static_cast<dev_t>(mount.volume);
  const bool on_device = !listed && exists(sysfs_device(volume, "/dev")) && !may_hold_xfs(volume);
  if (on_device) add(below, device_lower(volume));
  return listed ? describe_listed(line, below) : on_device;
}

bool describe_device(uint64_t device_number, Lowers* below) {
  const auto device = static_cast<dev_t>(device_number);
  unsigned long long start = 0;
  unsigned long long sectors = 0;
  dev_t disk = 0;
  char link[1024] = "/";
  if (!exists(sysfs_device(device, "/dev"))) return false;
  // A partition: a window of its disk, whose folder holds its own.
  if (exists(sysfs_device(device, "/partition"))) {
    const bool told = read_decimal(sysfs_device(device, "/start"), &start) &&
                      read_decimal(sysfs_device(device, "/size"), &sectors) &&
                      read_device(sysfs_device(device, "/../dev"), &disk);
    const rt::Window window{static_cast<int64_t>(start) * kSector, static_cast<int64_t>(start + sectors) * kSector};
    if (told) add(below, device_lower(disk, window));
    return told;
  }
  if (major(device) == kLoopMajor) return add_loop_backing(device, below);
  // Device-mapper and md devices list the devices they are made of, with
  // their bytes anywhere in them; a disk lists none. A device of no hardware
  // that lists none keeps its bytes where no one names them: a ZFS volume
  // in its pool, a network block device on its server.
  const int count = below->count;
  device_name(device, link, sizeof link);
  const bool told = add_linked_devices(sysfs_device(device, "/slaves"), below);
  if (told && below->count == count && strstr(link, "/devices/virtual/") != nullptr) add(below, kHiddenLower);
  return told;
}

bool new_file_group(int folder, int64_t* group) {
  struct stat status {};
  const bool told = ::fstat(folder, &status) == 0;
  *group = (status.st_mode & S_ISGID) != 0 ? status.st_gid : ::getegid();
  return told;
}

// A file whose position cannot be asked for is written in order: its bytes
// arrive the same.
bool takes_positions(int fd) { return ::lseek(fd, 0, SEEK_CUR) != -1; }

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
  // The kernel moves at most a little under 2 GiB a call, and a 32-bit
  // build's size_t holds no more: 1 GiB a call, whole pages, stays within
  // both.
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
