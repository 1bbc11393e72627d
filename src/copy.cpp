// The chunked copy of the resolved range into the destination.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Copies size bytes from source to destination, one read and one write of
// at most kChunkSize bytes per chunk, stopping at the first short one.
// Returns null, or the message to print.
const char* copy_chunks(int source, int destination, int64_t size) {
  // Page-aligned, as the kernel copies whole pages fastest; static, as a
  // stack cannot be realigned that far on every platform.
  alignas(4096) static unsigned char buffer[kChunkSize];
  for (int64_t remaining = size; remaining > 0;) {
    const int64_t chunk = remaining < kChunkSize ? remaining : kChunkSize;
    if (rt::read(source, buffer, chunk) != chunk) return "file read error.\n";
    remaining -= chunk;
    if (rt::write(destination, buffer, chunk) != chunk) return "file write error.\n";
  }
  return nullptr;
}

// Fills the emptied destination with the range, from the source positioned
// at its start. Where the file system can, the whole chunks at the start
// share the source's blocks instead of being copied. Only whole chunks are
// shared, so that the chunked copy of the rest reads and writes exactly the
// chunks it would have, and a failure in it leaves the destination as the
// chunked copy alone would. Returns null, or the message to print.
const char* fill_destination(int source, int destination, const CopyRange& range) {
  const int64_t whole_chunks = range.size / kChunkSize * kChunkSize;
  const int64_t shared = whole_chunks > 0 ? rt::share_blocks(source, destination, range.offset, whole_chunks) : 0;
  if (shared == -1) return "file write error.\n";
  return copy_chunks(source, destination, range.size - shared);
}

// Makes the freshly opened destination ready to be filled. Returns null, or
// the message to print.
const char* prepare_destination(int source, int destination) {
  // It was opened without truncation and is emptied only now that the open
  // files, not their names, show that it is not the source: emptying the
  // source would lose the range before its first read, and a name checked
  // before the open could have been pointed elsewhere since.
  if (rt::same_file(source, destination)) return "output file is the input file.\n";
  if (rt::empty_destination(destination) == -1) return "output file is not open.\n";
  return nullptr;
}

}  // namespace

bool copy_range(int source, const char* destination, const CopyRange& range) {
  if (rt::seek_set(source, range.offset) == -1) {
    rt::print_text("read file seek error.\n");
    return false;
  }
  const int output = rt::open_destination(destination);
  if (output == -1) {
    rt::print_text("output file is not open.\n");
    return false;
  }
  const char* message = prepare_destination(source, output);
  if (message == nullptr) message = fill_destination(source, output, range);
  // A failing close can be the only sign of a lost write (network file
  // systems report them there), so it counts once the copy got through.
  if (rt::close(output) == -1 && message == nullptr) message = "file write error.\n";
  if (message != nullptr) {
    rt::print_text(message);
    return false;
  }
  return true;
}
