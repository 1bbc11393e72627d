// The copy of the resolved range into the destination. Its bytes move by
// the cheapest means the two files allow, in this order: whole chunks
// shared with the source where the file system clones, whole chunks in the
// source's holes skipped, the kernel's own copy, and the chunked read and
// write that every other means falls back to. Whatever moved them, the
// report, the messages and the destination's bytes are the chunked copy's:
// a failure leaves the whole chunks moved before it, and what a short write
// put of the next, as the chunked copy alone would.
#include "dravlet.h"
#include "runtime.h"

namespace {

// One copy of a range into an emptied destination.
struct Transfer {
  int source;
  int destination;
  int64_t start;  // the range's first byte in the source
  int64_t size;   // the range's length in bytes
  // Bytes of the range in the destination; the source is positioned at
  // start + done and the destination at done.
  int64_t done;
  // The means open to this copy; the holes and the kernel's copy are given
  // up at their first refusal.
  bool shares_blocks;
  bool skips_holes;
  bool kernel_copies;
  // The source's data extent around or after start + done, once asked.
  int64_t data_start;
  int64_t data_end;
};

// Reads count bytes into buffer, going on where a stop or a signal cut a
// read short. Returns false when the source ended early or a read failed.
bool read_chunk(int fd, unsigned char* buffer, int64_t count) {
  for (int64_t got = 0; got < count;) {
    const int64_t n = rt::read(fd, buffer + got, count - got);
    if (n <= 0) return false;
    got += n;
  }
  return true;
}

// Writes count bytes from buffer, going on where a write came short.
// Returns false when a write failed or wrote nothing.
bool write_chunk(int fd, const unsigned char* buffer, int64_t count) {
  for (int64_t put = 0; put < count;) {
    const int64_t n = rt::write(fd, buffer + put, count - put);
    if (n <= 0) return false;
    put += n;
  }
  return true;
}

// Moves the range up to end through the buffer, one chunk of at most
// kChunkSize bytes at a time. Returns null, or the message to print.
const char* copy_chunks(Transfer& t, int64_t end) {
  // Page-aligned, as the kernel copies whole pages fastest; static, as a
  // stack cannot be realigned that far on every platform.
  alignas(4096) static unsigned char buffer[kChunkSize];
  while (t.done < end) {
    const int64_t chunk = end - t.done < kChunkSize ? end - t.done : kChunkSize;
    if (!read_chunk(t.source, buffer, chunk)) return "file read error.\n";
    if (!write_chunk(t.destination, buffer, chunk)) return "file write error.\n";
    t.done += chunk;
  }
  return nullptr;
}

// Puts both files back at the end of the last whole chunk moved, cutting
// off what a means that broke off had moved of the next. Returns null, or
// the message to print.
const char* back_to_whole_chunks(Transfer& t) {
  const int64_t kept = t.done / kChunkSize * kChunkSize;
  // Both files are at done already; a needless resize would cost ext4 a
  // write-out of the whole file at its close.
  if (kept == t.done) return nullptr;
  if (rt::resize(t.destination, kept) == -1) return "file write error.\n";
  if (rt::seek_set(t.source, t.start + kept) == -1) return "file read error.\n";
  t.done = kept;
  return nullptr;
}

// Moves the range up to end inside the kernel. When the kernel copies no
// more (a file system that cannot, a failure, a source that ended early),
// the chunked copy takes over from the last whole chunk and meets the same
// failure, if it lasts, with its own message. Returns null, or the message
// to print.
const char* copy_in_kernel(Transfer& t, int64_t end) {
  while (t.done < end) {
    const int64_t copied = rt::kernel_copy(t.source, t.destination, end - t.done);
    // Some file systems answer 0 for data they hold: never the end here.
    if (copied <= 0) {
      t.kernel_copies = false;
      return back_to_whole_chunks(t);
    }
    t.done += copied;
  }
  return nullptr;
}

// Shares the range's whole chunks with the source where the file system
// clones. Returns null, or the message to print.
const char* share_whole_chunks(Transfer& t) {
  const int64_t whole = t.size / kChunkSize * kChunkSize;
  switch (rt::clone_range(t.source, t.destination, t.start, whole)) {
    case rt::Clone::kRefused:
      return nullptr;
    case rt::Clone::kFailed:
      // Blocks shared before the break are not the chunked copy's.
      return rt::resize(t.destination, 0) == -1 ? "file write error.\n" : nullptr;
    case rt::Clone::kShared:
      break;
  }
  if (rt::seek_set(t.source, t.start + whole) == -1) return "file read error.\n";
  if (rt::seek_set(t.destination, whole) == -1) return "file write error.\n";
  t.done = whole;
  return nullptr;
}

// Learns where the source's data lies from start + done on, once per
// extent. Returns null, or the message to print.
const char* find_data(Transfer& t) {
  const int64_t position = t.start + t.done;
  if (position < t.data_end) return nullptr;
  t.skips_holes = rt::find_data(t.source, position, &t.data_start, &t.data_end);
  // Asking moved the source.
  return rt::seek_set(t.source, position) == -1 ? "file read error.\n" : nullptr;
}

// Skips the whole chunks from done on that lie in a hole of the source: the
// destination is extended over them, which reads as the zeros the chunked
// copy would have written. Sets *end to where the chunks that hold data
// end. Returns null, or the message to print.
const char* skip_holes(Transfer& t, int64_t* end) {
  *end = t.size;
  if (const char* message = find_data(t)) return message;
  if (!t.skips_holes) return nullptr;
  const int64_t hole_end = t.data_start - t.start;
  // A hole that reaches past the range covers its last chunk too. Where the
  // hole is the source's end, short of the range, the chunks past that end
  // are read: a source that shrank fails as in the chunked copy.
  const int64_t skip_to = hole_end >= t.size ? t.size : t.done + (hole_end - t.done) / kChunkSize * kChunkSize;
  if (skip_to > t.done) {
    if (rt::resize(t.destination, skip_to) == -1) {
      // A file system that cannot extend a file gets the zeros written.
      t.skips_holes = false;
      return rt::seek_set(t.destination, t.done) == -1 ? "file write error.\n" : nullptr;
    }
    if (rt::seek_set(t.source, t.start + skip_to) == -1) return "file read error.\n";
    t.done = skip_to;
  }
  // The data moves in whole chunks, up to the one that holds its last byte.
  const int64_t data_end = t.data_end - t.start;
  if (t.data_start != t.data_end && data_end < t.size) {
    *end = t.done + (data_end - t.done + kChunkSize - 1) / kChunkSize * kChunkSize;
  }
  return nullptr;
}

// Fills the emptied destination with the range, from the source positioned
// at its start. Returns null, or the message to print.
const char* fill_destination(Transfer& t) {
  if (t.shares_blocks) {
    if (const char* message = share_whole_chunks(t)) return message;
  }
  while (t.done < t.size) {
    int64_t end = t.size;
    if (t.skips_holes) {
      if (const char* message = skip_holes(t, &end)) return message;
    }
    const char* message = t.kernel_copies ? copy_in_kernel(t, end) : copy_chunks(t, end);
    if (message != nullptr) return message;
  }
  return nullptr;
}

// Makes the freshly opened destination ready to be filled, and tells what
// it is. Returns null, or the message to print.
const char* prepare_destination(const Source& source, int destination, bool created, rt::FileInfo* info) {
  // It was opened without truncation and is emptied only now that the open
  // files, not their names, show that it is not the source: emptying the
  // source would lose the range before its first read, and a name checked
  // before the open could have been pointed elsewhere since. A file whose
  // identity cannot be told might be the source.
  if (!rt::describe(destination, info)) return "output file is not open.\n";
  if (info->storage == source.info.storage) return "output file is the input file.\n";
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
  const int destination = rt::open_destination(path, &created);
  if (destination == -1) return "output file is not open.\n";
  rt::FileInfo info{};
  const char* message = prepare_destination(source, destination, created, &info);
  if (message == nullptr) {
    // Blocks are shared, holes kept and bytes copied in the kernel only
    // between regular files: a device takes every byte written.
    const bool files = source.info.kind == rt::Kind::kRegular && info.kind == rt::Kind::kRegular;
    Transfer transfer{source.fd, destination, range.offset, range.size, 0, files, files, files, 0, 0};
    message = fill_destination(transfer);
  }
  // A failing close can be the only sign of a lost write (network file
  // systems report them there), so it counts once the copy got through.
  if (rt::close(destination) == -1 && message == nullptr) message = "file write error.\n";
  return message;
}

}  // namespace

bool copy_range(const Source& source, const char* destination, const CopyRange& range) {
  const char* message =
      rt::seek_set(source.fd, range.offset) == -1 ? "read file seek error.\n" : copy_to(source, destination, range);
  if (message != nullptr) rt::print_text(message);
  return message == nullptr;
}
