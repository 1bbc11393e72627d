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

// Counts a call of the copy's, and ends a copy that no longer moves on: no
// copy in the tests takes a thousandth of this.
void count_call() {
  constexpr int kMostCalls = 1000000;
  if (++fake_files().calls == kMostCalls) {
    std::fputs("the copy made a million calls without moving on\n", stderr);
    std::abort();
  }
}

std::int64_t source_size(const FakeFiles& files) { return static_cast<std::int64_t>(files.source.size()); }

// The source's bytes left from position on.
std::int64_t available(const FakeFiles& files, std::int64_t position) {
  return position < source_size(files) ? source_size(files) - position : 0;
}

// Puts up to count bytes at position of the destination, within its room;
// shared_from, when not negative, is where they lie in the source, whose
// holes they then share. Returns the bytes put.
std::int64_t put(FakeFiles& files, std::int64_t position, const char* bytes, std::int64_t count,
                 std::int64_t shared_from = -1) {
  const std::int64_t length = smallest(count, files.room);
  if (static_cast<std::int64_t>(files.destination.size()) < position + length) {
    files.destination.resize(static_cast<std::size_t>(position + length));
    files.allocated.resize(files.destination.size(), '0');
  }
  files.destination.replace(static_cast<std::size_t>(position), static_cast<std::size_t>(length), bytes,
                            static_cast<std::size_t>(length));
  const bool shares_holes = shared_from >= 0 && files.reports_holes;
  files.allocated.replace(static_cast<std::size_t>(position), static_cast<std::size_t>(length),
                          static_cast<std::size_t>(length), shares_holes ? '0' : '1');
  for (const auto& extent : shares_holes ? files.data : decltype(files.data){}) {
    const std::int64_t from = extent.first > shared_from ? extent.first : shared_from;
    const std::int64_t to = smallest(extent.second, shared_from + length);
    if (from < to) {
      files.allocated.replace(static_cast<std::size_t>(position + from - shared_from),
                              static_cast<std::size_t>(to - from), static_cast<std::size_t>(to - from), '1');
    }
  }
  files.room -= length;
  return length;
}

}  // namespace

namespace rt {

int open_source(const char*) { return fake_files().source_missing ? -1 : FakeFiles::kSource; }

int create_file(const char*, int mode, bool* exists) {
  FakeFiles& files = fake_files();
  *exists = !files.created && !files.create_fails;
  if (*exists || files.create_fails) return -1;
  files.destination_opened = true;
  files.mode = mode;
  files.destination.clear(), files.allocated.clear();
  return FakeFiles::kDestination;
}

int open_file(const char*, int mode) {
  FakeFiles& files = fake_files();
  files.destination_opened = true;
  if (files.vanishes) files.destination.clear(), files.allocated.clear(), files.mode = mode;
  return FakeFiles::kDestination;
}

bool describe(int fd, FileInfo* info) {
  const FakeFiles& files = fake_files();
  if (fd == FakeFiles::kSource ? files.source_undescribed : files.destination_undescribed) return false;
  *info = fd == FakeFiles::kSource ? files.source_info : files.destination_info;
  return true;
}

bool describe_file_system(int fd, FileInfo* info) {
  const FakeFiles& files = fake_files();
  *info = fd == FakeFiles::kSource ? files.source_file_system : files.destination_file_system;
  return info->storage.volume != 0;
}

bool file_sizes(int, Sizes* sizes) {
  *sizes = fake_files().sizes;
  return !fake_files().sizes_unknown;
}

std::int64_t page_size() { return 4096; }

int resize(int, std::int64_t length) {
  FakeFiles& files = fake_files();
  if (length == files.resize_fails_to) return -1;
  files.destination.resize(static_cast<std::size_t>(length));
  files.allocated.resize(static_cast<std::size_t>(length), '0');
  return 0;
}

Clone clone_range(int, std::int64_t source_position, int, std::int64_t destination_position, std::int64_t length) {
  FakeFiles& files = fake_files();
  // As the kernel, refuses a range that reaches past the source's end.
  if (files.clone == Clone::kRefused || length <= 0 || source_position + length > source_size(files)) {
    return Clone::kRefused;
  }
  const std::int64_t shared = files.clone == Clone::kShared ? length : smallest(files.clone_breaks_after, length);
  put(files, destination_position, files.source.data() + source_position, shared, source_position);
  return files.clone;
}

bool find_data(int, std::int64_t position, std::int64_t* start, std::int64_t* end) {
  count_call();
  FakeFiles& files = fake_files();
  if (!files.reports_holes || files.data_answers-- == 0) return false;
  // Past the end, or where only a hole remains: the file's end.
  *start = *end = source_size(files);
  for (const auto& extent : files.data) {
    const std::int64_t extent_end = smallest(extent.second, source_size(files));
    if (extent_end > position && extent.first < extent_end) {
      *start = extent.first > position ? extent.first : position;
      *end = extent_end;
      break;
    }
  }
  return true;
}

void read_ahead(int, std::int64_t, std::int64_t) {}

std::int64_t kernel_copy(int, std::int64_t source_position, int, std::int64_t destination_position,
                         std::int64_t length) {
  count_call();
  FakeFiles& files = fake_files();
  const std::int64_t count =
      smallest(smallest(length, files.kernel_most), smallest(files.kernel_room, available(files, source_position)));
  if (count == 0) return files.kernel_room == 0 ? files.kernel_stop : 0;
  const std::int64_t moved = put(files, destination_position, files.source.data() + source_position, count);
  files.kernel_room -= moved;
  return moved == 0 ? -1 : moved;
}

std::int64_t seek_end(int) {
  const FakeFiles& files = fake_files();
  if (files.source_unseekable) return -1;
  return files.measured_size >= 0 ? files.measured_size : source_size(files);
}

std::int64_t seek_set(int fd, std::int64_t position) {
  if (position < 0 || (fd == FakeFiles::kSource && fake_files().source_unseekable)) return -1;
  return position;
}

std::int64_t read_at(int, void* buffer, std::int64_t count, std::int64_t position) {
  count_call();
  FakeFiles& files = fake_files();
  if (files.source_unreadable) return -1;
  const std::int64_t length = smallest(smallest(count, available(files, position)), files.most_per_call);
  if (length > 0) std::memcpy(buffer, files.source.data() + position, static_cast<std::size_t>(length));
  if (files.changes_when_read) files.source = std::string(files.source.size() - 1, 'x');
  return length;
}

std::int64_t write_at(int, const void* buffer, std::int64_t count, std::int64_t position) {
  count_call();
  FakeFiles& files = fake_files();
  if (files.room == 0) return -1;
  return put(files, position, static_cast<const char*>(buffer), smallest(count, files.most_per_call));
}

std::int64_t write(int fd, const void* buffer, std::int64_t count) {
  FakeFiles& files = fake_files();
  const std::int64_t moved = write_at(fd, buffer, count, files.destination_position);
  if (moved > 0) files.destination_position += moved;
  return moved;
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
