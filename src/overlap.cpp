// Whether a copy would write where it reads. Each open file is followed
// down to the storage below it: a partition to its disk, a loop device to
// the file or the device behind it, a regular file to the devices of its
// file system, and on down from each of those. Every level that the copy's
// bytes pass is a region: a window of one storage. The copy writes where it
// reads when a region of the source and one of the destination name the
// same storage with windows that overlap, unless both were reached as files
// of one file system: two files of one file system keep their bytes apart,
// and one file reached from both sides was compared at its own level.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Levels followed down from an open file; the kernel builds no stack this
// deep, and a deeper one is refused rather than taken as ending there.
constexpr int kMostLevels = 16;

// Regions of one side; the fan-out of multi-device file systems and
// overlays stays well below this.
constexpr int kMostRegions = 64;

constexpr rt::Window kWhole{0, rt::kStorageEnd};

// A window of one storage that the copy reads or writes. through_file: the
// region lies below a file of file_system, somewhere in its window.
struct Region {
  rt::Storage storage;
  rt::Window window;
  bool through_file;
  uint64_t file_system;
};

// Every region of one side, or told = false when a level could not be told.
struct Regions {
  Region region[kMostRegions];
  int count = 0;
  bool told = true;
};

// Whether two regions hold some of the same bytes; an empty window holds
// none.
bool overlap(const Region& a, const Region& b) {
  const int64_t start = a.window.start > b.window.start ? a.window.start : b.window.start;
  const int64_t end = a.window.end < b.window.end ? a.window.end : b.window.end;
  if (!(a.storage == b.storage) || start >= end) return false;
  return !(a.through_file && b.through_file && a.file_system == b.file_system);
}

void add(Regions& regions, const Region& region) {
  if (regions.count == kMostRegions) {
    regions.told = false;
    return;
  }
  regions.region[regions.count++] = region;
}

// The position of an upper file's byte in what lies below, where the upper
// file is the window outer of it: cut at outer's end.
int64_t below_at(int64_t position, rt::Window outer) {
  return position < outer.end - outer.start ? outer.start + position : outer.end;
}

// inner, a window of a file that is itself the window outer of what lies
// below it, as a window of what lies below.
rt::Window within(rt::Window inner, rt::Window outer) {
  return {below_at(inner.start, outer), below_at(inner.end, outer)};
}

void follow(Regions& regions, const rt::Below& below, rt::Window part, const Region& upper, int depth);

// Adds the regions of the one level lower, where part of the level above
// lies, and of everything below it.
void follow_lower(Regions& regions, const rt::Lower& lower, rt::Window part, const Region& upper, int depth) {
  rt::Below below{};
  const rt::Window shown = within(part, lower.window);
  switch (lower.layer) {
    case rt::Layer::kDevice: {
      const Region device{{rt::kDevices, {lower.number, 0}}, shown, upper.through_file, upper.file_system};
      add(regions, device);
      if (!rt::describe_device(lower.number, &below)) regions.told = false;
      follow(regions, below, shown, device, depth);
      return;
    }
    case rt::Layer::kFile:
      add(regions, {{lower.number, {lower.file, 0}}, shown, upper.through_file, upper.file_system});
      break;
    case rt::Layer::kFileSystem:
      break;
  }
  // A file's bytes, or an overlay's, lie somewhere in the whole of each
  // device of the file system below.
  if (!rt::describe_volume(lower.number, &below)) regions.told = false;
  follow(regions, below, kWhole, {{}, kWhole, true, below.file_system}, depth);
}

void follow(Regions& regions, const rt::Below& below, rt::Window part, const Region& upper, int depth) {
  if (!regions.told) return;
  if (depth == kMostLevels) {
    regions.told = false;
    return;
  }
  for (int i = 0; i < below.count; ++i) follow_lower(regions, below.lower[i], part, upper, depth + 1);
}

// The regions of the regular file or block device open on fd, described by
// info, where the copy touches part of it.
void regions_of(int fd, const rt::FileInfo& info, rt::Window part, Regions& regions) {
  const Region top{info.storage, part, false, 0};
  rt::Below below{};
  if (info.kind == rt::Kind::kBlockDevice) {
    follow_lower(regions, {rt::Layer::kDevice, info.storage.file[0], 0, kWhole}, part, top, 0);
    return;
  }
  add(regions, top);
  if (!rt::describe_file_system(fd, &below)) regions.told = false;
  follow(regions, below, kWhole, {{}, kWhole, true, below.file_system}, 0);
}

}  // namespace

Overlap compare_storage(const Source& source, int destination, const rt::FileInfo& info, const CopyRange& range) {
  // A pipe or a terminal holds no storage; two files of one file system
  // need nothing below them, neither can hold the other's file system.
  if (info.kind == rt::Kind::kOther) return Overlap::kApart;
  if (info.kind == rt::Kind::kRegular && source.info.kind == rt::Kind::kRegular &&
      info.storage.volume == source.info.storage.volume) {
    return info.storage == source.info.storage ? Overlap::kOverlaps : Overlap::kApart;
  }
  // The part read; a copy of nothing is taken to read all of the source,
  // whose bytes an emptied destination could still hold. The part written:
  // all of a regular file, which is emptied, and the range's length of a
  // device from its start.
  const rt::Window read = range.size > 0 ? rt::Window{range.offset, range.offset + range.size} : kWhole;
  const rt::Window written = info.kind == rt::Kind::kRegular ? kWhole : rt::Window{0, range.size};
  Regions reads;
  Regions writes;
  regions_of(source.fd, source.info, read, reads);
  regions_of(destination, info, written, writes);
  if (!reads.told || !writes.told) return Overlap::kUntold;
  for (int i = 0; i < reads.count; ++i) {
    for (int j = 0; j < writes.count; ++j) {
      if (overlap(reads.region[i], writes.region[j])) return Overlap::kOverlaps;
    }
  }
  return Overlap::kApart;
}
