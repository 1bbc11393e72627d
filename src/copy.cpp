// The copy of the resolved range into the destination. Where the file
// system clones, the range's whole chunks are first shared with the source
// in one call; then one loop goes over the rest of the range's pieces, data
// or hole, in positions of the range (byte 0 is the source's range.offset
// and the destination's 0). Each means moves bytes of a piece from done on,
// never past the piece's end, to the same place in the destination, and
// answers how many arrived; the loop alone moves done.
//
// So a complete copy holds the range's bytes, and a failed one a prefix of
// them. The means, cheapest first: the kernel's own copy, and the chunked
// read and write that it falls back to; the source's holes are skipped.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Bytes of a data extent that the disk is asked to read ahead while the one
// before it is copied: a cold disk then reads while the copy works, and the
// kernel's own read-ahead takes over past them.
constexpr int64_t kReadAhead = int64_t{16} << 20;

int64_t smaller(int64_t a, int64_t b) { return a < b ? a : b; }

// What every failed write prints.
constexpr const char* kWriteError = "file write error.\n";

// What the source's file system told of the range from a position on: a
// hole up to data, then data up to end, in range positions.
struct Extent {
  int64_t data = 0;
  int64_t end = 0;
};

// The range in the source: its descriptor, first byte and length in bytes.
struct Span {
  int source = -1;
  int64_t start = 0;
  int64_t size = 0;
};

// Where the source's data lies in the range, as its file system tells it: a
// cursor that keeps what it was told of the piece being copied and of the
// one after it, asked while the piece is copied and read ahead. The copy
// asks at positions that only grow. The first question that fails gives
// holes up, wherever it is asked: the rest is then data.
struct Layout {
  bool tells_holes = false;
  Extent here{};
  Extent ahead{};
};

bool covers(const Extent& extent, int64_t position) { return position < extent.end; }

// Asks where the source's data lies from the range position from on, and
// has the disk read the start of it. Gives holes up, and returns false, when
// the file system does not tell.
bool ask(Layout& layout, const Span& range, int64_t from, Extent* extent) {
  int64_t data = 0;
  int64_t end = 0;
  if (!rt::find_data(range.source, range.start + from, &data, &end)) {
    layout.tells_holes = false;
    return false;
  }
  // Data begins at or after from and ends after it begins; neither counts
  // past the range. Past a hole that runs to the source's end lies nothing
  // but the range's rest: a source that ended early fails there, as the
  // chunked copy does.
  extent->data = smaller(data - range.start, range.size);
  extent->end = data == end ? range.size : smaller(end - range.start, range.size);
  if (extent->data < extent->end) {
    rt::read_ahead(range.source, range.start + extent->data, smaller(extent->end - extent->data, kReadAhead));
  }
  return true;
}

// The piece of the range at done: a hole, or data, up to end; next_data is
// where the data after it begins, as far as it is known (end, where not).
struct Piece {
  bool hole;
  int64_t end;
  int64_t next_data;
};

Piece piece_at(Layout& layout, const Span& range, int64_t done) {
  const Piece rest{false, range.size, range.size};
  if (!layout.tells_holes) return rest;
  if (!covers(layout.here, done)) {
    if (covers(layout.ahead, done)) {
      layout.here = layout.ahead;
    } else if (!ask(layout, range, done, &layout.here)) {
      return rest;
    }
  }
  const Extent& here = layout.here;
  if (done < here.data) return {true, here.data, here.data};
  if (here.end < range.size && !covers(layout.ahead, here.end))
    static_cast<void>(ask(layout, range, here.end, &layout.ahead));
  return {false, here.end, covers(layout.ahead, here.end) ? layout.ahead.data : here.end};
}

// One copy of a range into a destination.
struct Transfer {
  Span range{};
  int destination = -1;
  // The destination is written at positions; a pipe or a terminal in order.
  bool positioned = false;
  // The source's bytes as the measure read them, all of them, or null.
  const unsigned char* measured_bytes = nullptr;
  // Whether the kernel copies; given up at its first refusal.
  bool kernel_copies = false;
  // The destination's file system reserves space past a file's end as it
  // grows (XFS), and fills it with zeros when the file grows past a write.
  bool reserves_past_end = false;
  // The length the destination was set to past the data written, over a
  // hole; 0 while it was not.
  int64_t extended = 0;
  Layout layout{};
};

// What a means answers: the bytes that arrived, or the message of a failure.
struct Step {
  int64_t moved;
  const char* message;
};

// The copy's one buffer, page-aligned, as the kernel copies whole pages
// fastest; static, as a stack cannot be realigned that far on every
// platform.
unsigned char* buffer() {
  // cppcheck-suppress unassignedVariable
  alignas(4096) static unsigned char bytes[kChunkSize];
  return bytes;
}

// Moves one chunk of at most kChunkSize bytes from done on, and not past
// end, through the buffer: one read and one write. A read or a write that a
// signal cut short moves what it moved, and the loop goes on from there.
Step copy_chunk(const Transfer& t, int64_t done, int64_t end) {
  const int64_t chunk = smaller(end - done, kChunkSize);
  // A source read whole at the measure is not read again: a sysfs
  // attribute may answer another read with other bytes.
  const unsigned char* bytes = t.measured_bytes != nullptr ? t.measured_bytes + t.range.start + done : buffer();
  const int64_t got =
      t.measured_bytes != nullptr ? chunk : rt::read_at(t.range.source, buffer(), chunk, t.range.start + done);
  if (got <= 0) return {0, "file read error.\n"};
  const int64_t put =
      t.positioned ? rt::write_at(t.destination, bytes, got, done) : rt::write(t.destination, bytes, got);
  return put <= 0 ? Step{0, kWriteError} : Step{put, nullptr};
}

// Moves bytes of the data from done on, and not past end: inside the
// kernel while it copies, else through the buffer. When the kernel copies
// nothing (a file system that cannot, a failure, a source that ended early)
// it is given up, and the chunked copy meets the same failure, if it lasts,
// with its own message.
Step move_data(Transfer& t, int64_t done, int64_t end) {
  if (t.kernel_copies) {
    const int64_t copied = rt::kernel_copy(t.range.source, t.range.start + done, t.destination, done, end - done);
    // Some file systems answer 0 for data they hold: never the end here.
    if (copied > 0) return {copied, nullptr};
    t.kernel_copies = false;
  }
  return copy_chunk(t, done, end);
}

// Shares the range's whole chunks with the source where the file system
// clones: one call, holes and all, before anything else moves. Returns the
// bytes shared, 0 where none were; sets *message when a clone that broke
// off cannot be undone.
int64_t share_whole_chunks(const Transfer& t, const char** message) {
  // Never 0 bytes, which the kernel would read as "to the source's end": a
  // range that is shared is longer than a chunk.
  const int64_t whole = t.range.size / kChunkSize * kChunkSize;
  switch (rt::clone_range(t.range.source, t.range.start, t.destination, 0, whole)) {
    case rt::Clone::kShared:
      return whole;
    case rt::Clone::kRefused:
      return 0;
    case rt::Clone::kFailed:
      break;
  }
  // Blocks shared before the break may lie anywhere in the range.
  if (rt::resize(t.destination, 0) == -1) *message = kWriteError;
  return 0;
}

// The length that the destination is set to before the piece at done is
// copied, or 0 for none. A hole that ends the range is the destination's
// length. Where the file system reserves space past a file's end, the
// destination is extended over the hole after data before the data is
// written, so that every write lands inside its length: the reserve would
// otherwise be filled with zeros when the file grows past it. Elsewhere an
// extension per extent only costs time (Btrfs's are slow).
int64_t extension_before(const Transfer& t, const Piece& piece) {
  if (piece.hole) return piece.end == t.range.size ? t.range.size : 0;
  return t.reserves_past_end ? piece.next_data : 0;
}

// Sets the destination's length to length, where that lies past done and
// past what it was set to. Returns false where it cannot be, as on a full
// disk or past the file size limit: a failed write.
bool extend(Transfer& t, int64_t length, int64_t done) {
  if (length <= done || length <= t.extended) return true;
  if (rt::resize(t.destination, length) == -1) return false;
  t.extended = length;
  return true;
}

// Cuts the destination back to done, the bytes that arrived, where it was
// extended past them: the extension holds zeros where the range has data.
void cut_back(const Transfer& t, int64_t done) {
  if (t.extended > done) static_cast<void>(rt::resize(t.destination, done));
}

// Copies the piece at done: extends the destination as it must be, skips
// a hole (the destination, written at positions past it, reads as zeros
// there) and moves data. Answers how far it got.
Step copy_piece(Transfer& t, const Piece& piece, int64_t done) {
  if (!extend(t, extension_before(t, piece), done)) return {0, kWriteError};
  return piece.hole ? Step{piece.end - done, nullptr} : move_data(t, done, piece.end);
}

// Fills the emptied destination with the range from done on. Returns null,
// or the message to print. Each piece moves done on, or ends the copy.
const char* fill_destination(Transfer& t, int64_t done) {
  // After every step, the destination's bytes [0, done) are the range's.
  while (done < t.range.size) {
    const Step step = copy_piece(t, piece_at(t.layout, t.range, done), done);
    if (step.message != nullptr) {
      cut_back(t, done);
      return step.message;
    }
    done += step.moved;
  }
  return nullptr;
}

// The permission bits of a destination made from source in the folder open
// on folder: read and write for the owner, and for the others no more than
// the source grants them, so that a copy is never readable by anyone who
// cannot read the source; the umask may take away more. Where the source
// grants its group more than everyone, the group's bits only where the new
// file's group is the source's: a folder that passes its own group on
// (setgid) would grant them to another group.
int created_mode(const rt::FileInfo& source, int folder) {
  const int group = source.permissions & 0060;
  const int others = source.permissions & 0006;
  int64_t new_group = -1;
  const bool granted =
      (group >> 3 & ~others) == 0 || (rt::new_file_group(folder, &new_group) && new_group == source.group);
  return 0600 | others | (granted ? group : 0);
}

constexpr const char* kNotOpen = "output file is not open.\n";

// Refuses target where the copy cannot go there. Returns null, or the
// message to print.
const char* check_target(const Source& source, const Target& target, const CopyRange& range) {
  // A file whose storage, or any below, cannot be told might be the
  // source. A device that refuses every write is not opened for the copy:
  // it would fail at the first write, after the report of a copy begun.
  if (target.info.whole_sectors || target.info.read_only) return kNotOpen;
  const Overlap overlap = compare_storage(source, target, range);
  if (overlap == Overlap::kOverlaps) return "output file is the input file.\n";
  return overlap == Overlap::kUntold ? "output file may be the input file.\n" : nullptr;
}

// The most names tried for the destination: links followed, or a name that
// others make and remove meanwhile. The kernel follows 40 links.
constexpr int kMostNames = 40;

// The destination while it is opened: the folder that its name is in, the
// name, and a followed link's name, kept.
struct Opening {
  int folder = -1;
  const char* name = nullptr;
  char link[4096];
};

// Makes the destination in opening's folder, once the file that it would
// be there is checked: made in the folder that was checked, a refused copy
// leaves no file. Returns the descriptor, or -1 with *message set, or left
// null where something is there by now.
int make_destination(Opening& opening, const Source& source, const CopyRange& range, const char** message) {
  Target made{opening.folder, {}, true};
  if (!rt::describe(opening.folder, &made.info)) {
    *message = "output file may be the input file.\n";
    return -1;
  }
  *message = check_target(source, made, range);
  if (*message != nullptr) return -1;
  bool exists = false;
  const int fd = rt::create_in(opening.folder, opening.name, created_mode(source.info, opening.folder), &exists);
  if (fd == -1 && !exists) *message = kNotOpen;
  return fd;
}

// Opens and checks the destination at path: the file that is there, opened
// as it is and emptied only once it is checked (emptying the source would
// lose the range before its first read, and a name checked before the open
// could have been pointed elsewhere since), or else a file made in its
// folder. Sets *info to what it is and *created when this run made it.
// Returns the descriptor, or -1 with *message set.
int open_destination(const Source& source, const char* path, const CopyRange& range, rt::FileInfo* info, bool* created,
                     const char** message) {
  Opening opening;
  opening.folder = rt::open_folder(path, &opening.name);
  if (opening.folder == -1) *message = kNotOpen;
  int fd = -1;
  for (int tries = 0; fd == -1 && *message == nullptr; ++tries) {
    bool missing = false;
    fd = rt::open_in(opening.folder, opening.name, &missing);
    if (fd != -1) {
      *message = rt::describe(fd, info) ? check_target(source, {fd, *info, false}, range)
                                        : "output file may be the input file.\n";
    } else if (!missing || tries == kMostNames) {
      *message = kNotOpen;
    } else if ((fd = make_destination(opening, source, range, message)) != -1) {
      *created = true;
      *info = {rt::Kind::kRegular, {}, {}, false, false, 0600, -1};
    } else if (*message == nullptr) {
      // Something is there now: a file made meanwhile, or a link to where
      // nothing is, which leads to the folder where the file is to be made.
      static_cast<void>(rt::follow_link(&opening.folder, &opening.name, opening.link, sizeof opening.link));
    }
  }
  if (opening.folder != -1) rt::close(opening.folder);
  if (fd != -1 && *message != nullptr) {
    rt::close(fd);
    fd = -1;
  }
  return fd;
}

// Empties the destination. A file just created is empty. Any other regular
// file is emptied, never judged empty by its size, which file systems that
// cache attributes may report stale; a device or a pipe has nothing to
// empty. Returns null, or the message to print.
const char* empty_destination(int destination, bool created, const rt::FileInfo& info) {
  const bool emptied = info.kind != rt::Kind::kRegular || created || rt::resize(destination, 0) == 0;
  return emptied ? nullptr : "output file is not open.\n";
}

// Fills the checked and emptied destination with the range. Returns null,
// or the message to print.
const char* fill(const Source& source, int destination, const rt::FileInfo& info, const CopyRange& range) {
  // Blocks are shared, holes kept and bytes copied in the kernel only
  // between regular files, where a range of more than one chunk repays the
  // calls: a device takes every byte written. A source that the measure
  // read whole holds no more than a chunk. A file that takes no positions
  // is written in order, as a pipe is, holes and all.
  const bool file_system_means = source.info.kind == rt::Kind::kRegular && info.kind == rt::Kind::kRegular &&
                                 range.size > kChunkSize && rt::takes_positions(destination);
  Transfer transfer{.range = {.source = source.fd, .start = range.offset, .size = range.size},
                    .destination = destination,
                    .positioned = info.kind != rt::Kind::kOther,
                    .measured_bytes = source.measured_bytes,
                    .kernel_copies = file_system_means,
                    .reserves_past_end = file_system_means && rt::reserves_past_end(destination),
                    .layout = {.tells_holes = file_system_means}};
  const char* message = nullptr;
  const int64_t shared = file_system_means ? share_whole_chunks(transfer, &message) : 0;
  return message != nullptr ? message : fill_destination(transfer, shared);
}

// Opens the destination, fills it with the range and closes it. Returns
// null, or the message to print.
const char* copy_to(const Source& source, const char* path, const CopyRange& range) {
  bool created = false;
  rt::FileInfo info{};
  const char* message = nullptr;
  const int destination = open_destination(source, path, range, &info, &created, &message);
  if (destination == -1) return message;
  message = empty_destination(destination, created, info);
  if (message == nullptr) message = fill(source, destination, info, range);
  // A failing close can be the only sign of a lost write (network file
  // systems report them there), so it counts once the copy got through.
  if (rt::close(destination) == -1 && message == nullptr) message = kWriteError;
  return message;
}

}  // namespace

const unsigned char* hold_source(int fd, int64_t count, int64_t* got) {
  *got = rt::read_at(fd, buffer(), smaller(count, kChunkSize), 0);
  return buffer();
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
