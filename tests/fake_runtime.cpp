#include "fake_runtime.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

FakeFiles& fake_files() {
  static FakeFiles files;
  return files;
}

namespace {

std::int64_t smallest(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

// Moves up to count bytes of the source from its position to the
// destination's, within the destination's room; returns the bytes moved.
std::int64_t transfer(FakeFiles& files, const char* bytes, std::int64_t count) {
  const std::int64_t length = smallest(count, files.room);
  auto& destination = files.destination;
  if (static_cast<std::int64_t>(destination.size()) < files.destination_position + length) {
    destination.resize(static_cast<std::size_t>(files.destination_position + length));
  }
  destination.replace(static_cast<std::size_t>(files.destination_position), static_cast<std::size_t>(length), bytes,
                      static_cast<std::size_t>(length));
  files.destination_position += length;
  files.room -= length;
  return length;
}

// The source's bytes left after its position.
std::int64_t available(const FakeFiles& files) {
  const auto size = static_cast<std::int64_t>(files.source.size());
  return files.position < size ? size - files.position : 0;
}

}  // namespace

namespace rt {

int open_source(const char*) { return fake_files().source_missing ? -1 : FakeFiles::kSource; }

int open_destination(const char*, bool* created) {
  FakeFiles& files = fake_files();
  if (files.create_fails) return -1;
  files.destination_opened = true;
  *created = files.created;
  if (files.created) files.destination.clear();
  return FakeFiles::kDestination;
}

bool describe(int fd, FileInfo* info) {
  const FakeFiles& files = fake_files();
  if (fd == FakeFiles::kSource ? files.source_undescribed : files.destination_undescribed) return false;
  *info = fd == FakeFiles::kSource ? files.source_info : files.destination_info;
  return true;
}

int resize(int, std::int64_t length) {
  FakeFiles& files = fake_files();
  files.resizes.push_back(length);
  if (length == files.resize_fails_to) return -1;
  files.destination.resize(static_cast<std::size_t>(length));
  files.destination_position = length;
  return 0;
}

Clone clone_range(int, int, std::int64_t offset, std::int64_t length) {
  FakeFiles& files = fake_files();
  // As the kernel, refuses a range that reaches past the source's end.
  if (files.clone != Clone::kShared || length <= 0 ||
      offset + length > static_cast<std::int64_t>(files.source.size())) {
    // A clone that broke off has shared some blocks.
    if (files.clone == Clone::kFailed) files.destination = files.source.substr(0, 4096);
    return files.clone == Clone::kFailed ? Clone::kFailed : Clone::kRefused;
  }
  files.destination = files.source.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  files.shared = length;
  return Clone::kShared;
}

bool find_data(int, std::int64_t position, std::int64_t* start, std::int64_t* end) {
  FakeFiles& files = fake_files();
  ++files.data_asked;
  files.position = -7;  // asking moves the source somewhere
  if (!files.reports_holes) return false;
  *start = *end = static_cast<std::int64_t>(files.source.size());
  for (const auto& extent : files.data) {
    if (extent.second > position) {
      *start = extent.first > position ? extent.first : position;
      *end = extent.second;
      break;
    }
  }
  return true;
}

std::int64_t kernel_copy(int, int, std::int64_t length) {
  FakeFiles& files = fake_files();
  const std::int64_t count = smallest(smallest(length, files.kernel_room), available(files));
  if (count == 0) return files.kernel_room == 0 ? files.kernel_stop : 0;
  const std::int64_t moved = transfer(files, files.source.data() + files.position, count);
  if (moved == 0) return -1;
  files.position += moved;
  files.kernel_room -= moved;
  files.kernel.push_back(moved);
  return moved;
}

std::int64_t seek_end(int) {
  FakeFiles& files = fake_files();
  if (files.source_unseekable) return -1;
  files.position = files.measured_size >= 0 ? files.measured_size : static_cast<std::int64_t>(files.source.size());
  return files.position;
}

std::int64_t seek_set(int fd, std::int64_t position) {
  FakeFiles& files = fake_files();
  if (position < 0 || (fd == FakeFiles::kSource && files.source_unseekable)) return -1;
  if (fd == files.seek_fails_on && position == files.seek_fails_to) return -1;
  return fd == FakeFiles::kSource ? files.position = position : files.destination_position = position;
}

std::int64_t tell(int) { return fake_files().tell_fails ? -1 : fake_files().position; }

std::int64_t read(int, void* buffer, std::int64_t count) {
  FakeFiles& files = fake_files();
  files.reads.push_back(count);
  const std::int64_t length = smallest(smallest(count, available(files)), files.most_per_call);
  std::memcpy(buffer, files.source.data() + files.position, static_cast<std::size_t>(length));
  files.position += length;
  return length;
}

std::int64_t write(int, const void* buffer, std::int64_t count) {
  FakeFiles& files = fake_files();
  files.writes.push_back(count);
  if (files.room == 0) return -1;
  return transfer(files, static_cast<const char*>(buffer), smallest(count, files.most_per_call));
}

int close(int fd) {
  FakeFiles& files = fake_files();
  files.closed.push_back(fd);
  return fd == FakeFiles::kDestination && files.destination_close_fails ? -1 : 0;
}

bool scan_i64(const char* text, std::int64_t* value, const char** rest) {
  int length = 0;
  if (std::sscanf(text, "%" SCNd64 "%n", value, &length) != 1) return false;
  *rest = text + length;
  return true;
}

void print_text(const char* text) { fake_files().output += text; }

void print_i64(std::int64_t value) { fake_files().output += std::to_string(value); }

void flush_output() { fake_files().flushed = fake_files().output; }

}  // namespace rt
