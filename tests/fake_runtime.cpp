#include "fake_runtime.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "runtime.h"

FakeFiles& fake_files() {
  static FakeFiles files;
  return files;
}

namespace rt {

int open_source(const char*) { return fake_files().source_missing ? -1 : FakeFiles::kSource; }

bool has_size(int) { return !fake_files().source_sizeless; }

int open_destination(const char*) {
  FakeFiles& files = fake_files();
  if (files.create_fails) return -1;
  files.destination_opened = true;
  return FakeFiles::kDestination;
}

bool same_file(int, int) { return fake_files().destination_is_source; }

int empty_destination(int) {
  FakeFiles& files = fake_files();
  if (files.empty_fails) return -1;
  files.destination.clear();
  return 0;
}

std::int64_t share_blocks(int, int, std::int64_t offset, std::int64_t length) {
  FakeFiles& files = fake_files();
  if (files.share_fails) return -1;
  // As the kernel, refuses a range that reaches past the source's end.
  if (!files.shares_blocks || offset + length > static_cast<std::int64_t>(files.source.size())) return 0;
  files.destination.append(files.source, static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  files.position = offset + length;
  return files.shared = length;
}

std::int64_t seek_end(int) {
  FakeFiles& files = fake_files();
  if (files.source_unseekable) return -1;
  files.position = files.measured_size >= 0 ? files.measured_size : static_cast<std::int64_t>(files.source.size());
  return files.position;
}

std::int64_t seek_set(int, std::int64_t position) {
  if (position < 0 || fake_files().source_unseekable) return -1;
  return fake_files().position = position;
}

std::int64_t tell(int) { return fake_files().tell_fails ? -1 : fake_files().position; }

std::int64_t read(int, void* buffer, std::int64_t count) {
  FakeFiles& files = fake_files();
  files.reads.push_back(count);
  const auto size = static_cast<std::int64_t>(files.source.size());
  const std::int64_t available = files.position < size ? size - files.position : 0;
  const std::int64_t length = count < available ? count : available;
  std::memcpy(buffer, files.source.data() + files.position, static_cast<std::size_t>(length));
  files.position += length;
  return length;
}

std::int64_t write(int, const void* buffer, std::int64_t count) {
  FakeFiles& files = fake_files();
  files.writes.push_back(count);
  if (files.room == 0) return -1;
  const std::int64_t length = count < files.room ? count : files.room;
  files.destination.append(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
  files.room -= length;
  return length;
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
