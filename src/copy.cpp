// The copy of the resolved range into the destination.
//
// Each means moves bytes of the range from `done` on, never past its end, to
// the same place in the destination, and `done` grows only by what arrived.
//
// So a complete copy holds the range's bytes, and a failed one a prefix of
// them. The means, cheapest first: blocks shared with the source where the
// file system clones, the source's holes skipped, the kernel's own copy,
// and the chunked read and write that every other means falls back to.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Bytes of the next data extent that the disk is asked to read ahead while
// the current one is copied: a cold disk then reads while the copy works,
// and the kernel's own read-ahead takes over past them.
constexpr int64_t kReadAhead = int64_t{16} << 20;

// Where the source's data at or after a position lies, as find_data tells:
// from data to end, in bytes of the source.
struct Extent {
  int64_t data;
  int64_t end;
};

// One copy of a range into a destination.
struct Transfer {
  int source;
  int destination;
  int64_t start;  // the range's first byte in the source
  int64_t size;   // the range's length in bytes
  int64_t done;   // bytes of the range in place in the destination
  // The destination is written at positions; a pipe or a terminal in order.
  bool positioned;
  // The source's bytes are in the buffer already, all of them, as the
  // measure read them.
  bool held;
  // The means open to this copy; each is given up at its first refusal.
  bool skips_holes;
  bool kernel_copies;
  // Where the source's data that holds the byte at done ends, once asked,
  // in bytes of the range.
  int64_t data_end;
  // The answer for the position data_end, asked ahead of time.
  bool looked_ahead;
  Extent ahead;
};

int64_t smaller(int64_t a, int64_t b) { return a < b ? a : b; }

// Reads count bytes from position on into buffer, going on where a signal
// cut a read short. Returns false when the source ended early or a read
// failed.
bool read_chunk(int fd, unsigned char* buffer, int64_t count, int64_t position) {
  for (int64_t got = 0; got < count;) {
    const int64_t n = rt::read_at(fd, buffer + got, count - got, position + got);
    if (n <= 0) return false;
    got += n;
  }
  return true;
}

// Writes count bytes from buffer at done, going on where a write came
// short. Returns false when a write failed or wrote nothing.
bool write_chunk(const Transfer& t, const unsigned char* buffer, int64_t count) {
  for (int64_t put = 0; put < count;) {
    const int64_t n = t.positioned ? rt::write_at(t.destination, buffer + put, count - put, t.done + put)
                                   : rt::write(t.destination, buffer + put, count - put);
    if (n <= 0) return false;
    put += n;
  }
  return true;
}

// Moves one chunk of at most kChunkSize bytes from done on, and not past
// end, through the buffer. Returns null, or the message to print.
const char* copy_chunk(Transfer& t, int64_t end) {
  unsigned char* buffer = transfer_buffer();
  const int64_t chunk = smaller(end - t.done, kChunkSize);
  // A source read whole at the measure is not read again: a sysfs
  // attribute may answer another read with other bytes.
  if (t.held) {
    buffer += t.start + t.done;
  } else if (!read_chunk(t.source, buffer, chunk, t.start + t.done)) {
    return "file read error.\n";
  }
  if (!write_chunk(t, buffer, chunk)) return "file write error.\n";
  t.done += chunk;
  return nullptr;
}

// Moves the range from done on, and not past end, inside the kernel. When
// it copies nothing (a file system that cannot, a failure, a source that
// ended early), the chunked copy takes over and meets the same failure, if
// it lasts, with its own message.
void copy_in_kernel(Transfer& t, int64_t end) {
  const int64_t copied = rt::kernel_copy(t.source, t.start + t.done, t.destination, t.done, end - t.done);
  // Some file systems answer 0 for data they hold: never the end here.
  if (copied <= 0) {
    t.kernel_copies = false;
  } else {
    t.done += copied;
  }
}

// Where extent's data begins, in bytes of the range, and not past its end.
int64_t data_start(const Transfer& t, const Extent& extent) { return smaller(extent.data - t.start, t.size); }

// Has the disk read the start of the source's data from data to end, in
// bytes of the source, as far as it lies in the range.
void read_ahead(const Transfer& t, int64_t data, int64_t end) {
  const int64_t range_end = smaller(end, t.start + t.size);
  if (data < range_end) rt::read_ahead(t.source, data, smaller(range_end - data, kReadAhead));
}

// Asks where the data after the current extent lies, and has the disk read
// the start of it while the current one is copied.
void look_ahead(Transfer& t) {
  t.looked_ahead = t.data_end < t.size && rt::find_data(t.source, t.start + t.data_end, &t.ahead.data, &t.ahead.end);
  if (t.looked_ahead) read_ahead(t, t.ahead.data, t.ahead.end);
}

// Skips the source's hole at done, if there is one: the destination, written
// at positions past it, reads as zeros there. Before data that a hole
// follows is written, the destination is extended over that hole, so that
// every write lands inside its length: a file system that reserves space
// past a file's end (XFS) would otherwise fill that space with zeros when
// the file grows past it. Returns where the data from done on ends.
int64_t skip_hole(Transfer& t) {
  if (t.done < t.data_end) return t.data_end;
  // An answer looked ahead at was met by an extension already.
  const bool extended = t.looked_ahead;
  Extent extent = t.ahead;
  if (!extended && !rt::find_data(t.source, t.start + t.done, &extent.data, &extent.end)) {
    t.skips_holes = false;
    return t.size;
  }
  // Data begins at or after done and ends after it begins; neither
  // counts past the range.
  const int64_t hole_end = data_start(t, extent);
  // Past a hole that runs to the source's end lies nothing but the range's
  // rest: a source that ended early fails there, as the chunked copy does.
  t.data_end = extent.data == extent.end ? t.size : smaller(extent.end - t.start, t.size);
  if (!extended && hole_end == t.size && rt::resize(t.destination, t.size) == -1) {
    // A file system that cannot extend a file gets the zeros written.
    t.skips_holes = false;
    return t.size;
  }
  t.done = hole_end;
  // An extent looked ahead at is being read already.
  if (!extended) read_ahead(t, t.start + t.done, t.start + t.data_end);
  look_ahead(t);
  if (!t.looked_ahead) return t.data_end;
  const int64_t next_data = data_start(t, t.ahead);
  if (next_data > t.data_end && rt::resize(t.destination, next_data) == -1) {
    t.skips_holes = false;
    return t.size;
  }
  return t.data_end;
}

// Shares the range's whole chunks with the source where the file system
// clones. Returns null, or the message to print.
const char* share_whole_chunks(Transfer& t) {
  const int64_t whole = t.size / kChunkSize * kChunkSize;
  switch (rt::clone_range(t.source, t.start, t.destination, 0, whole)) {
    case rt::Clone::kShared:
      t.done = whole;
      return nullptr;
    case rt::Clone::kRefused:
      return nullptr;
    case rt::Clone::kFailed:
      break;
  }
  // Blocks shared before the break may lie anywhere in the range.
  return rt::resize(t.destination, 0) == -1 ? "file write error.\n" : nullptr;
}

// Fills the emptied destination with the range, one piece at a time, each
// by the cheapest means still open. Returns null, or the message to print.
const char* fill_destination(Transfer& t) {
  while (t.done < t.size) {
    const int64_t end = t.skips_holes ? skip_hole(t) : t.size;
    if (t.done == t.size) break;  // a hole ended the range
    if (t.kernel_copies) {
      copy_in_kernel(t, end);
    } else if (const char* message = copy_chunk(t, end)) {
      // The destination was extended past done over the hole after this
      // data: cut back to what arrived, which the zeros there are not.
      if (t.skips_holes && t.looked_ahead) static_cast<void>(rt::resize(t.destination, t.done));
      return message;
    }
  }
  return nullptr;
}

// Whether two open files show some of the same bytes: one storage, and
// windows of it that overlap.
bool overlap(const rt::FileInfo& a, const rt::FileInfo& b) {
  return a.storage == b.storage && a.window.start < b.window.end && b.window.start < a.window.end;
}

// The part of its storage that length bytes of file from position on are.
rt::FileInfo part_of(rt::FileInfo file, int64_t position, int64_t length) {
  const int64_t room = file.window.end - file.window.start;
  file.window.start += smaller(position, room);
  file.window.end = file.window.start + smaller(length, room - smaller(position, room));
  return file;
}

// Whether the copy would write where it reads. Two files are one where
// their windows overlap. A regular file's bytes lie, at places the tool
// cannot know, in the device that holds its file system: a device and such
// a file are one where the part of the device that the copy reads or
// writes overlaps that device. The parts, not the whole windows, are
// compared, so a disk's first sector can still be saved into a file on one
// of its partitions and written back from there.
bool writes_where_it_reads(const Source& source, int destination, const rt::FileInfo& info, const CopyRange& range) {
  if (overlap(info, source.info)) return true;
  rt::FileInfo file_system{};
  if (info.kind == rt::Kind::kBlockDevice && source.info.kind == rt::Kind::kRegular) {
    return rt::describe_file_system(source.fd, &file_system) && overlap(part_of(info, 0, range.size), file_system);
  }
  if (info.kind == rt::Kind::kRegular && source.info.kind == rt::Kind::kBlockDevice) {
    return rt::describe_file_system(destination, &file_system) &&
           overlap(part_of(source.info, range.offset, range.size), file_system);
  }
  return false;
}

// The permission bits of a destination created from source: read and
// write for the owner, and for the group and others no more than the source
// grants them, so that a copy is never readable by anyone who cannot read
// the source; the umask may take away more.
int created_mode(const rt::FileInfo& source) { return 0600 | (source.permissions & 0066); }

// Opens the destination: creates it with mode, or opens what is there as it
// is. Sets *created when this open created it, so that it is empty for
// certain, whatever size a file system that caches attributes would report.
// Returns the descriptor or -1.
int open_destination(const char* path, int mode, bool* created) {
  bool exists = false;
  const int fd = rt::create_file(path, mode, &exists);
  *created = fd != -1;
  // A name removed between the two opens is created by the second.
  return fd == -1 && exists ? rt::open_file(path, mode) : fd;
}

// Makes the freshly opened destination ready to be filled, and tells what
// it is. Returns null, or the message to print.
const char* prepare_destination(const Source& source, int destination, bool created, const CopyRange& range,
                                rt::FileInfo* info) {
  // It was opened without truncation and is emptied only now that the open
  // files, not their names, show that it is not the source: emptying the
  // source would lose the range before its first read, and a name checked
  // before the open could have been pointed elsewhere since. A file whose
  // identity cannot be told might be the source.
  // A device that refuses every write is not opened for the copy: it would
  // fail at the first write, after the report of a copy begun.
  if (!rt::describe(destination, info) || info->whole_sectors || info->read_only) return "output file is not open.\n";
  if (writes_where_it_reads(source, destination, *info, range)) return "output file is the input file.\n";
  // A file just created is empty. Any other regular file is emptied, never
  // judged empty by its size, which file systems that cache attributes
  // may report stale; a device or a pipe has nothing to empty.
  if (info->kind == rt::Kind::kRegular && !created && rt::resize(destination, 0) == -1) {
    return "output file is not open.\n";
  }
  return nullptr;
}

// Opens the destination, fills it with the range and closes it. Returns
// null, or the message to print.
const char* copy_to(const Source& source, const char* path, const CopyRange& range) {
  bool created = false;
  const int destination = open_destination(path, created_mode(source.info), &created);
  if (destination == -1) return "output file is not open.\n";
  rt::FileInfo info{};
  const char* message = prepare_destination(source, destination, created, range, &info);
  if (message == nullptr) {
    // Blocks are shared, holes kept and bytes copied in the kernel only
    // between regular files, where a range of more than one chunk repays
    // the calls: a device takes every byte written.
    const bool means = source.info.kind == rt::Kind::kRegular && info.kind == rt::Kind::kRegular &&
                       range.size > kChunkSize && !source.held;
    Transfer transfer{source.fd, destination, range.offset, range.size, 0,     info.kind != rt::Kind::kOther,
                      source.held, means,     means,        0,          false, {}};
    if (means) message = share_whole_chunks(transfer);
    if (message == nullptr) message = fill_destination(transfer);
  }
  // A failing close can be the only sign of a lost write (network file
  // systems report them there), so it counts once the copy got through.
  if (rt::close(destination) == -1 && message == nullptr) message = "file write error.\n";
  return message;
}

}  // namespace

unsigned char* transfer_buffer() {
  // Page-aligned, as the kernel copies whole pages fastest; static, as a
  // stack cannot be realigned that far on every platform. It is filled
  // through the pointer handed out.
  // cppcheck-suppress unassignedVariable
  alignas(4096) static unsigned char buffer[kChunkSize];
  return buffer;
}

bool copy_range(const Source& source, const char* destination, const CopyRange& range) {
  const char* message =
      rt::seek_set(source.fd, range.offset) == -1 ? "read file seek error.\n" : copy_to(source, destination, range);
  // Only now that the destination is closed: with standard output closed,
  // the destination may have been opened as descriptor 1, and a message
  // printed while it was open would land in it.
  if (message != nullptr) rt::print_text(message);
  return message == nullptr;
}
