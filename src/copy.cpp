// The copy of the resolved range into the destination: one loop over the
// range's pieces, data or hole, in positions of the range (byte 0 is the
// source's range.offset and the destination's 0). Each means moves bytes of
// a piece from done on, never past the piece's end, to the same place in
// the destination, and answers how many arrived; the loop alone moves done.
//
// So a complete copy holds the range's bytes, and a failed one a prefix of
// them. The means, cheapest first: blocks shared with the source where the
// file system clones, the kernel's own copy, and the chunked read and write
// that every other means falls back to; the source's holes are skipped.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Bytes of a data extent that the disk is asked to read ahead while the one
// before it is copied: a cold disk then reads while the copy works, and the
// kernel's own read-ahead takes over past them.
constexpr int64_t kReadAhead = int64_t{16} << 20;

// What the source's file system told of its layout from a range position
// on: a hole up to data, then data up to end. The copy asks at positions
// that only grow, so it tells of every position it is asked for below end.
struct Told {
  int64_t data = 0;
  int64_t end = 0;
};

bool tells(const Told& told, int64_t position) { return position < told.end; }

// The piece of the range at done: [done, end) is a hole, or data that began
// at start. cover, when above done, is the length that the destination is
// extended to before the piece: over the hole after data, or over a hole
// that ends the range.
struct Piece {
  bool hole;
  int64_t start;
  int64_t end;
  int64_t cover;
};

// One copy of a range into a destination.
struct Transfer {
  int source = -1;
  int destination = -1;
  int64_t start = 0;  // the range's first byte in the source
  int64_t size = 0;   // the range's length in bytes
  // The destination is written at positions; a pipe or a terminal in order.
  bool positioned = false;
  // The source's bytes are in the buffer already, all of them, as the
  // measure read them.
  bool held = false;
  // The means open to this copy; each is given up at its first refusal.
  bool shares = false;
  bool skips_holes = false;
  bool kernel_copies = false;
  // The destination's file system reserves space past a file's end as it
  // grows (XFS), and fills it with zeros when the file grows past a write.
  bool reserves_past_end = false;
  // The layout at the piece being copied, and after it.
  Told here{};
  Told ahead{};
};

// What a means answers: the bytes that arrived, or the message of a failure.
struct Step {
  int64_t moved;
  const char* message;
};

int64_t smaller(int64_t a, int64_t b) { return a < b ? a : b; }

// Asks where the source's data lies from the range position from on, and
// has the disk read the start of it. Returns false when the file system does
// not tell.
bool ask(const Transfer& t, int64_t from, Told* told) {
  int64_t data = 0;
  int64_t end = 0;
  if (!rt::find_data(t.source, t.start + from, &data, &end)) return false;
  // Data begins at or after from and ends after it begins; neither counts
  // past the range. Past a hole that runs to the source's end lies nothing
  // but the range's rest: a source that ended early fails there, as the
  // chunked copy does.
  told->data = smaller(data - t.start, t.size);
  told->end = data == end ? t.size : smaller(end - t.start, t.size);
  if (told->data < told->end)
    rt::read_ahead(t.source, t.start + told->data, smaller(told->end - told->data, kReadAhead));
  return true;
}

// The piece of the range at done. While a data extent is copied, where the
// data after it lies is asked already, and read ahead. Blocks shared with
// the source keep its holes: while sharing is open, the rest of the range
// is one piece.
Piece next_extent(Transfer& t, int64_t done) {
  const Piece rest{false, done, t.size, 0};
  if (!t.skips_holes || t.shares) return rest;
  if (!tells(t.here, done)) {
    if (tells(t.ahead, done)) {
      t.here = t.ahead;
    } else if (!ask(t, done, &t.here)) {
      t.skips_holes = false;
      return rest;
    }
  }
  if (done < t.here.data) return {true, done, t.here.data, t.here.data == t.size ? t.size : 0};
  if (t.here.end < t.size && !tells(t.ahead, t.here.end) && !ask(t, t.here.end, &t.ahead)) t.ahead = {};
  const int64_t cover = tells(t.ahead, t.here.end) ? t.ahead.data : 0;
  return {false, t.here.data, t.here.end, t.reserves_past_end && cover > t.here.end ? cover : 0};
}

// Sets the destination's length, over a hole that reads as zeros and takes
// no space. Where the file system cannot, holes are given up, and their
// zeros written. Returns false then.
bool extend(Transfer& t, int64_t length) {
  if (rt::resize(t.destination, length) == 0) return true;
  t.skips_holes = false;
  return false;
}

// Moves one chunk of at most kChunkSize bytes from done on, and not past
// end, through the buffer: one read and one write. A read or a write that a
// signal cut short moves what it moved, and the loop goes on from there.
Step copy_chunk(const Transfer& t, int64_t done, int64_t end) {
  unsigned char* buffer = transfer_buffer();
  const int64_t chunk = smaller(end - done, kChunkSize);
  // A source read whole at the measure is not read again: a sysfs
  // attribute may answer another read with other bytes.
  const int64_t got = t.held ? chunk : rt::read_at(t.source, buffer, chunk, t.start + done);
  if (t.held) buffer += t.start + done;
  if (got <= 0) return {0, "file read error.\n"};
  const int64_t put =
      t.positioned ? rt::write_at(t.destination, buffer, got, done) : rt::write(t.destination, buffer, got);
  return put <= 0 ? Step{0, "file write error.\n"} : Step{put, nullptr};
}

// Moves bytes from done on, and not past end, inside the kernel. When it
// copies nothing (a file system that cannot, a failure, a source that ended
// early), the chunked copy takes over and meets the same failure, if it
// lasts, with its own message.
int64_t copy_in_kernel(Transfer& t, int64_t done, int64_t end) {
  const int64_t copied = rt::kernel_copy(t.source, t.start + done, t.destination, done, end - done);
  // Some file systems answer 0 for data they hold: never the end here.
  if (copied <= 0) t.kernel_copies = false;
  return copied > 0 ? copied : 0;
}

// Shares the whole chunks from done on, and not past end, with the source,
// where the file system clones: one call, after which the rest, shorter
// than a chunk, goes by the other means.
Step share_chunks(Transfer& t, int64_t done, int64_t end) {
  t.shares = false;
  // The first move of a range of more than a chunk: never 0 bytes, which
  // the kernel would read as "to the source's end".
  const int64_t whole = (end - done) / kChunkSize * kChunkSize;
  switch (rt::clone_range(t.source, t.start + done, t.destination, done, whole)) {
    case rt::Clone::kShared:
      return {whole, nullptr};
    case rt::Clone::kRefused:
      return {0, nullptr};
    case rt::Clone::kFailed:
      break;
  }
  // Blocks shared before the break may lie anywhere in the piece.
  return {0, rt::resize(t.destination, done) == -1 ? "file write error.\n" : nullptr};
}

// Moves bytes of the data from done on, and not past end, by the cheapest
// means still open.
Step move(Transfer& t, int64_t done, int64_t end) {
  // Sharing is tried once, on the rest of the range: what it leaves, the
  // next piece of which may be a hole, goes by the other means.
  if (t.shares) return share_chunks(t, done, end);
  if (t.kernel_copies) {
    const int64_t copied = copy_in_kernel(t, done, end);
    if (copied > 0) return {copied, nullptr};
  }
  return copy_chunk(t, done, end);
}

// Fills the emptied destination with the range. Returns null, or the
// message to print.
const char* fill_destination(Transfer& t) {
  // After every step, the destination's bytes [0, done) are the range's.
  for (int64_t done = 0; done < t.size;) {
    const Piece piece = next_extent(t, done);
    // Where the file system reserves space past a file's end, the
    // destination is extended over the hole after data before the data is
    // written, so that every write lands inside its length: the reserve
    // would otherwise be filled with zeros when the file grows past it.
    // Elsewhere an extension per extent only costs time (Btrfs's are slow).
    if (done == piece.start && piece.cover > done && !extend(t, piece.cover)) continue;
    // A hole is skipped: the destination, written at positions past it,
    // reads as zeros there.
    if (piece.hole) {
      done = piece.end;
      continue;
    }
    const Step step = move(t, done, piece.end);
    if (step.message != nullptr) {
      // Cut back to what arrived: the extension past it holds zeros where
      // the range has data.
      if (piece.cover > piece.end) static_cast<void>(rt::resize(t.destination, done));
      return step.message;
    }
    done += step.moved;
  }
  return nullptr;
}

// The permission bits of a destination created from source at path: read
// and write for the owner, and for the others no more than the source grants
// them, so that a copy is never readable by anyone who cannot read the
// source; the umask may take away more. Where the source grants its group
// more than everyone, the group's bits only where the new file's group is
// the source's: a folder that passes its own group on (setgid) would grant
// them to another group.
int created_mode(const rt::FileInfo& source, const char* path) {
  const int group = source.permissions & 0060;
  const int others = source.permissions & 0006;
  int64_t new_group = -1;
  const bool granted =
      (group >> 3 & ~others) == 0 || (rt::new_file_group(path, &new_group) && new_group == source.group);
  return 0600 | others | (granted ? group : 0);
}

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
  // So is one whose storage, or any level below it, cannot be told.
  if (!rt::describe(destination, info) || info->whole_sectors || info->read_only) return "output file is not open.\n";
  switch (compare_storage(source, destination, *info, range)) {
    case Overlap::kOverlaps:
      return "output file is the input file.\n";
    case Overlap::kUntold:
      return "output file is not open.\n";
    case Overlap::kApart:
      break;
  }
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
  const int destination = open_destination(path, created_mode(source.info, path), &created);
  if (destination == -1) return "output file is not open.\n";
  rt::FileInfo info{};
  const char* message = prepare_destination(source, destination, created, range, &info);
  if (message == nullptr) {
    // Blocks are shared, holes kept and bytes copied in the kernel only
    // between regular files, where a range of more than one chunk repays
    // the calls: a device takes every byte written.
    // A source that the measure read whole holds no more than a chunk. A
    // file that takes no positions is written in order, as a pipe is, holes
    // and all.
    const bool means = source.info.kind == rt::Kind::kRegular && info.kind == rt::Kind::kRegular &&
                       range.size > kChunkSize && rt::takes_positions(destination);
    Transfer transfer{.source = source.fd,
                      .destination = destination,
                      .start = range.offset,
                      .size = range.size,
                      .positioned = info.kind != rt::Kind::kOther,
                      .held = source.held,
                      .shares = means,
                      .skips_holes = means,
                      .kernel_copies = means,
                      .reserves_past_end = means && rt::reserves_past_end(destination)};
    message = fill_destination(transfer);
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
