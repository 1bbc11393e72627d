// The chunked copy of the resolved range into the destination.
#include "dravlet.h"
#include "runtime.h"

namespace {

// Copies size bytes from source to destination, one read and one write of
// at most kChunkSize bytes per chunk, stopping at the first short one.
// Returns null, or the message to print.
const char* copy_chunks(int source, int destination, std::int64_t size) {
  // Page-aligned, as the kernel copies whole pages fastest; static, as a
  // stack cannot be realigned that far on every platform.
  alignas(4096) static unsigned char buffer[kChunkSize];
  for (std::int64_t remaining = size; remaining > 0;) {
    const std::int64_t chunk = remaining < kChunkSize ? remaining : kChunkSize;
    if (rt::read(source, buffer, chunk) != chunk) return "file read error.\n";
    remaining -= chunk;
    if (rt::write(destination, buffer, chunk) != chunk) return "file write error.\n";
  }
  return nullptr;
}

}  // namespace

bool copy_range(int source, const char* destination, const CopyRange& range) {
  if (rt::seek_set(source, range.offset) == -1) {
    rt::print_text("read file seek error.\n");
    return false;
  }
  // Creating the destination truncates it: were it the source, the range
  // would be gone before its first read.
  if (rt::is_same_file(source, destination)) {
    rt::print_text("output file is the input file.\n");
    return false;
  }
  const int output = rt::create_destination(destination);
  if (output == -1) {
    rt::print_text("output file is not open.\n");
    return false;
  }
  const char* message = copy_chunks(source, output, range.size);
  // A failing close can be the only sign of a lost write (network file
  // systems report them there), so it counts once the copy got through.
  if (rt::close(output) == -1 && message == nullptr) message = "file write error.\n";
  if (message != nullptr) {
    rt::print_text(message);
    return false;
  }
  return true;
}
