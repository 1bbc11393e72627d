// Whether a copy would write where it reads. Each side is followed down to
// the storage below it: a partition to its disk, a loop device to the file
// or the device behind it, a regular file to the files of other file
// systems that it is (an overlay's, a mirror's) and to its file system,
// a file system to its devices, its image or its layers, and on down from
// each of those. Every device and file that the copy's bytes pass is a
// region: a window of one storage. The copy writes where it reads when a
// region of the source and one of the destination name the same storage
// with windows that overlap, unless both were reached as files of one file
// system: two files of one file system keep their bytes apart, and one file
// reached from both sides was compared at its own level.
//
// What cannot be told is refused only where it could hold the other side:
// a level that cannot be told, against anything the other side touches; a
// storage this namespace cannot name, against a block device opened as one,
// the only way to reach it from here.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Levels followed down from an open file; the kernel builds no stack this
// deep, and a deeper one is refused rather than taken as ending there.
constexpr int kMostDepth = 16;

// Levels of one side, at every depth together; the fan-out of arrays,
// multi-device file systems and overlays stays well below this.
constexpr int kMostLevels = 256;

constexpr rt::Window kWhole{0, rt::kStorageEnd};

// One level that a side's bytes pass.
struct Level {
  rt::Lower lower;    // what it is: a device, a file, a file system
  rt::Window window;  // the part of it that the copy reads or writes
  // Reached below a file of file_system, somewhere in its storage.
  bool through_file;
  uint64_t file_system;
  int depth;
  int fd;  // the descriptor open on it, at the top; else -1
};

// Every level of one side, in the order found: each is followed down once
// the ones before it are.
struct Side {
  Level level[kMostLevels];
  int count = 0;
  rt::Use use = rt::Use::kRead;
  bool told = true;     // every level was told
  bool hidden = false;  // some storage cannot be named here
  bool device = false;  // the side is a block device opened as one
};

// What two regions share.
enum class Meet { kApart, kMaybe, kOverlaps };

bool is_region(const Level& level) {
  return level.lower.layer == rt::Layer::kDevice || level.lower.layer == rt::Layer::kFile;
}

rt::Storage storage_of(const Level& level) {
  return level.lower.layer == rt::Layer::kDevice ? rt::Storage{rt::kDevices, {level.lower.device, 0}}
                                                 : level.lower.file;
}

// Whether two regions hold some of the same bytes; an empty window holds
// none. A file known by its number alone may be any file of that number.
Meet meet(const Level& a, const Level& b) {
  const int64_t start = a.window.start > b.window.start ? a.window.start : b.window.start;
  const int64_t end = a.window.end < b.window.end ? a.window.end : b.window.end;
  if (start >= end || (a.through_file && b.through_file && a.file_system == b.file_system)) return Meet::kApart;
  const rt::Storage x = storage_of(a);
  const rt::Storage y = storage_of(b);
  if (x == y) return Meet::kOverlaps;
  const bool files = x.volume != rt::kDevices && y.volume != rt::kDevices;
  const bool any = x.volume == rt::kAnyVolume || y.volume == rt::kAnyVolume;
  return files && any && x.file[0] == y.file[0] && x.file[1] == y.file[1] ? Meet::kMaybe : Meet::kApart;
}

// The position of an upper level's byte in what lies below, where the upper
// level is the window outer of it: cut at outer's end.
int64_t below_at(int64_t position, rt::Window outer) {
  return position < outer.end - outer.start ? outer.start + position : outer.end;
}

// inner, a window of a level that is itself the window outer of what lies
// below it, as a window of what lies below.
rt::Window within(rt::Window inner, rt::Window outer) {
  return {below_at(inner.start, outer), below_at(inner.end, outer)};
}

// Adds level to side; the describe calls are given no more room than side
// has left.
void push(Side& side, const Level& level) {
  if (level.depth > kMostDepth) {
    side.told = false;
    return;
  }
  side.level[side.count++] = level;
}

// Adds the levels below the level at index that a describe call found in
// lower[0, count): at the same positions as it, or, below a file system
// (file_system set), somewhere in them, as files of it.
void push_lowers(Side& side, int index, const rt::Lower* lower, int count, const uint64_t* file_system) {
  const Level upper = side.level[index];
  for (int i = 0; i < count; ++i) {
    Level level{lower[i], within(upper.window, lower[i].window), upper.through_file, upper.file_system, upper.depth + 1,
                -1};
    if (file_system != nullptr) level.window = kWhole, level.through_file = true, level.file_system = *file_system;
    push(side, level);
  }
}

// Follows the level at index one step down.
void expand(Side& side, int index) {
  rt::Lower lower[kMostLevels];
  rt::Lowers below{lower, kMostLevels - side.count, 0, false};
  const Level& level = side.level[index];
  uint64_t file_system = 0;
  bool told = true;
  bool of_file_system = false;
  const rt::Layer layer = level.lower.layer;
  if (level.fd != -1) {
    told = rt::describe_file(level.fd, side.use, &below);
  } else if (layer == rt::Layer::kDevice) {
    told = rt::describe_device(level.lower.device, &below);
  } else if (layer == rt::Layer::kFileSystem) {
    told = rt::describe_mount(level.lower.mount, &below, &file_system);
    of_file_system = true;
  } else if (layer == rt::Layer::kHidden || level.lower.file.volume == rt::kAnyVolume) {
    // Storage that cannot be named here; a file known by its number alone
    // lies in a file system that cannot be.
    side.hidden = true;
  } else {
    // A file's bytes lie somewhere in its file system.
    rt::add(&below, {rt::Layer::kFileSystem, 0, {}, level.lower.mount, kWhole});
  }
  if (!told || below.full) side.told = false;
  push_lowers(side, index, lower, below.count, of_file_system ? &file_system : nullptr);
}

// Follows side down from its top level, until every level is followed or
// one cannot be told.
void walk(Side& side, const Level& top) {
  push(side, top);
  for (int i = 0; i < side.count && side.told; ++i) expand(side, i);
}

// The top level of the regular file or block device open on fd, described
// by info, where the copy touches part of it; of a file to be made in the
// folder open on fd, when made is set.
Level top_of(int fd, const rt::FileInfo& info, rt::Window part, bool made) {
  if (info.kind == rt::Kind::kBlockDevice) {
    return {{rt::Layer::kDevice, info.storage.file[0], {}, {}, kWhole}, part, false, 0, 0, -1};
  }
  // A file still to be made holds nothing yet: only its file system counts.
  const rt::Layer layer = made ? rt::Layer::kFileSystem : rt::Layer::kFile;
  return {{layer, 0, info.storage, info.mount, kWhole}, part, false, 0, 0, fd};
}

// Whether side touches any storage at all.
bool touches_storage(const Side& side) {
  for (int i = 0; i < side.count; ++i) {
    if (is_region(side.level[i])) return true;
  }
  return false;
}

// The worst that two regions of the two sides share.
Meet worst_meeting(const Side& reads, const Side& writes) {
  Meet worst = Meet::kApart;
  for (int i = 0; i < reads.count; ++i) {
    for (int j = 0; j < writes.count; ++j) {
      if (!is_region(reads.level[i]) || !is_region(writes.level[j])) continue;
      const Meet meeting = meet(reads.level[i], writes.level[j]);
      if (meeting == Meet::kOverlaps) return meeting;
      if (meeting == Meet::kMaybe) worst = meeting;
    }
  }
  return worst;
}

// Whether what one side cannot tell or name could hold the other.
bool could_hold(const Side& side, const Side& other) {
  return (!side.told && touches_storage(other)) || (side.hidden && other.device);
}

}  // namespace

Overlap compare_storage(const Source& source, const Target& target, const CopyRange& range) {
  const rt::FileInfo& info = target.info;
  // A pipe or a terminal holds no storage; two files of one file system
  // need nothing below them, neither can hold the other's file system, and
  // a file still to be made is neither.
  if (info.kind == rt::Kind::kOther) return Overlap::kApart;
  if (info.kind != rt::Kind::kBlockDevice && source.info.kind == rt::Kind::kRegular &&
      info.storage.volume == source.info.storage.volume) {
    return !target.made && info.storage == source.info.storage ? Overlap::kOverlaps : Overlap::kApart;
  }
  // The part read; a copy of nothing is taken to read all of the source,
  // whose bytes an emptied destination could still hold. The part written:
  // all of a regular file, which is emptied, and the range's length of a
  // device from its start.
  const rt::Window read = range.size > 0 ? rt::Window{range.offset, range.offset + range.size} : kWhole;
  const rt::Window written = info.kind == rt::Kind::kBlockDevice ? rt::Window{0, range.size} : kWhole;
  Side reads;
  Side writes;
  reads.device = source.info.kind == rt::Kind::kBlockDevice;
  writes.device = info.kind == rt::Kind::kBlockDevice;
  writes.use = target.made ? rt::Use::kMade : rt::Use::kWritten;
  walk(reads, top_of(source.fd, source.info, read, false));
  walk(writes, top_of(target.fd, info, written, target.made));
  const Meet worst = worst_meeting(reads, writes);
  if (worst == Meet::kOverlaps) return Overlap::kOverlaps;
  return worst == Meet::kMaybe || could_hold(reads, writes) || could_hold(writes, reads) ? Overlap::kUntold
                                                                                         : Overlap::kApart;
}
