#include "fake_runtime.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dravlet.h"

namespace {

// The file that standard output goes to during a run.
std::FILE* caught() {
  static std::FILE* const kFile = std::tmpfile();
  return kFile;
}

// What has reached the file so far; what standard output still buffers
// has not.
std::string caught_text() {
  std::string text;
  std::rewind(caught());
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, caught())) > 0;) text.append(chunk, n);
  return text;
}

// The most that a call answering answer moves of count bytes, or -1 for a
// failure.
std::int64_t answered(Answer answer, std::int64_t count) {
  if (answer == Answer::kShort) return std::min(count, kShortBytes);
  return answer == Answer::kWhole ? count : answer == Answer::kNothing ? 0 : -1;
}

Fake* current = nullptr;

// The fake in force.
Fake& in_force() { return *current; }

// A destination's bytes, kept from run to run so that each run needs no
// new memory: the runs of a table are many, and their files large.
std::string spare_destination;

// Counts a call of the copy's, and ends a copy that no longer moves on: no
// copy in the tests takes a thousandth of this.
void count_call() {
  constexpr int kMostCalls = 1000000;
  if (++in_force().calls == kMostCalls) {
    std::fputs("the copy made a million calls without moving on\n", stderr);
    std::abort();
  }
}

std::int64_t source_size() { return static_cast<std::int64_t>(in_force().files.source.size()); }

// The source's bytes left from position on.
std::int64_t available(std::int64_t position) { return position < source_size() ? source_size() - position : 0; }

void mark_written(std::int64_t from, std::int64_t to) {
  if (from < to) in_force().written.emplace_back(from, to);
}

// Puts up to count bytes at position of the destination, within its room;
// shared_from, when not negative, is where they lie in the source, whose
// holes they then share. Returns the bytes put.
std::int64_t put(std::int64_t position, const char* bytes, std::int64_t count, std::int64_t shared_from = -1) {
  Fake& f = in_force();
  std::string& destination = f.files.destination;
  const std::int64_t length = std::min(count, f.files.room);
  if (length > 0 && f.reported.empty()) f.reported = caught_text() + ".";
  if (static_cast<std::int64_t>(destination.size()) < position + length) {
    destination.resize(static_cast<std::size_t>(position + length));
  }
  destination.replace(static_cast<std::size_t>(position), static_cast<std::size_t>(length), bytes,
                      static_cast<std::size_t>(length));
  if (shared_from < 0 || !f.files.reports_holes) {
    mark_written(position, position + length);
  } else {
    for (const auto& extent : f.files.data) {
      const std::int64_t from = extent.first > shared_from ? extent.first : shared_from;
      mark_written(position + from - shared_from,
                   position + std::min(extent.second, shared_from + length) - shared_from);
    }
  }
  f.files.room -= length;
  return length;
}

}  // namespace

// clang-format off
const Layout kLayouts[10] = {
    {200000, {}}, {200000, {{0, 1}}}, {10000, {{0, 5}}}, {108192, {{0, 4096}, {8192, 108192}}},
    {200000, {{4095, 65535}, {65537, 131072}}}, {200000, {{0, 65536}, {131073, 200000}}},
    {200000, {{1, 4095}, {69631, 150000}}}, {150000, {{65535, 65537}, {100000, 400000}}},
    {200000, {{65537, 70000}}}, {262144, {{1, 4095}, {65535, 65537}, {131072, 201073}}},
};
// clang-format on

std::string pattern(std::int64_t length, const Extents* data) {
  std::string bytes(static_cast<std::size_t>(length), '\0');
  const Extents whole{{0, length}};
  for (const auto& [start, end] : data != nullptr ? *data : whole) {
    for (std::int64_t i = start; i < std::min(end, length); ++i) bytes[i] = static_cast<char>(i * 7 % 251 + 1);
  }
  return bytes;
}

Fake::Fake(FakeFiles before, std::vector<Fault> list)
    : files(std::move(before)), faults{std::move(list)}, outer_(current) {
  current = this;
  spare_destination.assign(files.destination);
  files.destination.swap(spare_destination);
  if (!files.destination_exists) files.destination.clear();
  written = {{0, static_cast<std::int64_t>(files.destination.size())}};
}

Fake::~Fake() {
  current = outer_;
  files.destination.swap(spare_destination);
}

template <typename Run>
void Fake::catching_output(Run run) {
  std::fflush(stdout);
  std::rewind(caught());
  static_cast<void>(ftruncate(fileno(caught()), 0));
  const int saved = dup(1);
  dup2(fileno(caught()), 1);
#ifdef _WIN32
  // Untranslated, so that the messages are caught as the tool writes them.
  _setmode(1, _O_BINARY);
#endif
  run();
  std::fflush(stdout);
#ifdef _WIN32
  _setmode(1, _O_TEXT);
#endif
  dup2(saved, 1);
  close(saved);
  output = caught_text();
  // The first byte came before anything was flushed, or never came.
  if (!reported.empty()) reported.pop_back();
}

int Fake::run(const std::vector<const char*>& arguments) {
  std::vector<char*> argv{const_cast<char*>("dravlet")};
  for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
  int status = 0;
  catching_output([&] { status = run_dravlet(static_cast<int>(argv.size()), argv.data()); });
  return status;
}

bool Fake::copy(std::int64_t start, std::int64_t size) {
  const CopyRange range{.offset = start, .size = size};
  bool copied = false;
  catching_output([&] { copied = copy_range({FakeFiles::kSource, files.source_info, nullptr}, "out", range); });
  return copied;
}

bool Fake::allocated_between(std::int64_t from, std::int64_t to) const {
  for (const auto& extent : written) {
    if (extent.first < extent.second && extent.first < to && from < extent.second) return true;
  }
  return false;
}

namespace rt {

int open_source(const char*) {
  return in_force().faults.answer(Call::kOpenSource) == Answer::kFails ? -1 : FakeFiles::kSource;
}

int open_folder(const char* path, const char** name) {
  *name = path;
  return FakeFiles::kFolder;
}

int open_in(int, const char*, bool* missing) {
  Fake& f = in_force();
  *missing = !f.files.destination_exists;
  f.destination_opened |= !*missing;
  return *missing ? -1 : FakeFiles::kDestination;
}

int create_in(int, const char*, int mode, bool* exists) {
  Fake& f = in_force();
  const Answer answer = f.faults.answer(Call::kCreate);
  // Something else made it meanwhile.
  *exists = answer == Answer::kExists;
  f.files.destination_exists |= *exists;
  if (answer != Answer::kWhole) return -1;
  f.destination_opened = f.files.destination_exists = true;
  f.mode = mode;
  return FakeFiles::kDestination;
}

bool follow_link(int*, const char**, char*, int) { return false; }

bool describe(int fd, FileInfo* info) {
  Fake& f = in_force();
  if (f.faults.answer(Call::kDescribe) == Answer::kFails) return false;
  *info = fd == FakeFiles::kSource ? f.files.source_info : f.files.destination_info;
  if (fd == FakeFiles::kFolder) info->kind = Kind::kDirectory, info->storage.file[0] = 0;
  return true;
}

// Adds lower to below, as far as it has room, which sets below->full.
bool add_all(const std::vector<Lower>& lower, Lowers* below) {
  for (const Lower& one : lower) add(below, one);
  return true;
}

bool describe_device(std::uint64_t device, Lowers* below) {
  const auto& devices = in_force().files.devices;
  const auto found = devices.find(device);
  return found != devices.end() && add_all(found->second, below);
}

bool describe_mount(Mount mount, Lowers* below, std::uint64_t* file_system) {
  const auto& mounts = in_force().files.mounts;
  const auto found = mounts.find(mount.volume);
  if (found == mounts.end()) return false;
  *file_system = found->second.file_system;
  return add_all(found->second.lower, below);
}

bool describe_file(int fd, Use, Lowers* below) {
  const FakeFiles& files = in_force().files;
  const bool source = fd == FakeFiles::kSource;
  const std::vector<Lower>& given = source ? files.source_below : files.destination_below;
  const Mount mount = (source ? files.source_info : files.destination_info).mount;
  if (given.empty()) add(below, {Layer::kFileSystem, 0, {}, mount, {0, kStorageEnd}});
  return add_all(given, below);
}

void set_system_root(const char*) {}

bool new_file_group(int, std::int64_t* group) {
  *group = in_force().files.new_group;
  return *group != -1;
}

bool takes_positions(int) { return !in_force().files.streams; }

bool file_sizes(int, Sizes* sizes) {
  *sizes = in_force().files.sizes;
  return in_force().faults.answer(Call::kFileSizes) != Answer::kFails;
}

bool reserves_past_end(int) { return in_force().files.reserves_past_end; }

std::int64_t page_size() { return 4096; }

int resize(int, std::int64_t length) {
  count_call();
  Fake& f = in_force();
  if (f.faults.answer(Call::kResize) == Answer::kFails) return -1;
  f.files.destination.resize(static_cast<std::size_t>(length));
  for (auto& extent : f.written) {
    extent.first = std::min(extent.first, length);
    extent.second = std::min(extent.second, length);
  }
  return 0;
}

Clone clone_range(int, std::int64_t source_position, int, std::int64_t destination_position, std::int64_t length) {
  count_call();
  Fake& f = in_force();
  // As the kernel, refuses a range that reaches past the source's end.
  if (!f.files.clones || length <= 0 || source_position + length > source_size()) return Clone::kRefused;
  const Answer answer = f.faults.answer(Call::kClone);
  if (answer == Answer::kNothing) return Clone::kRefused;
  // A clone that breaks off shares a chunk first, when short.
  const std::int64_t shared = answer == Answer::kWhole   ? length
                              : answer == Answer::kShort ? std::min(length, kShortClone)
                                                         : 0;
  put(destination_position, f.files.source.data() + source_position, shared, source_position);
  return answer == Answer::kWhole ? Clone::kShared : Clone::kFailed;
}

bool find_data(int, std::int64_t position, std::int64_t* start, std::int64_t* end) {
  count_call();
  Fake& f = in_force();
  const Answer answer = f.faults.answer(Call::kFindData);
  if (!f.files.reports_holes || answer == Answer::kFails || answer == Answer::kNothing) return false;
  // Past the end, or where only a hole remains: the file's end.
  *start = *end = source_size();
  for (const auto& extent : f.files.data) {
    const std::int64_t extent_end = std::min(extent.second, source_size());
    if (extent_end > position && extent.first < extent_end) {
      *start = extent.first > position ? extent.first : position;
      *end = answer == Answer::kShort ? std::min(extent_end, *start + kShortBytes) : extent_end;
      break;
    }
  }
  return true;
}

void read_ahead(int, std::int64_t, std::int64_t) {}

std::int64_t kernel_copy(int, std::int64_t source_position, int, std::int64_t destination_position,
                         std::int64_t length) {
  count_call();
  Fake& f = in_force();
  if (!f.files.copies_in_kernel) return -1;
  const std::int64_t count = answered(f.faults.answer(Call::kKernelCopy), std::min(length, available(source_position)));
  if (count <= 0) return count;
  const std::int64_t moved = put(destination_position, f.files.source.data() + source_position, count);
  return moved == 0 ? -1 : moved;
}

std::int64_t seek_end(int) {
  Fake& f = in_force();
  if (f.faults.answer(Call::kSeekEnd) == Answer::kFails) return -1;
  return f.files.reported_size >= 0 ? f.files.reported_size : source_size();
}

std::int64_t seek_set(int, std::int64_t position) {
  return position < 0 || in_force().faults.answer(Call::kSeekSet) == Answer::kFails ? -1 : position;
}

std::int64_t read_at(int, void* buffer, std::int64_t count, std::int64_t position) {
  count_call();
  Fake& f = in_force();
  const std::int64_t length = answered(f.faults.answer(Call::kReadAt), std::min(count, available(position)));
  if (length > 0) std::memcpy(buffer, f.files.source.data() + position, static_cast<std::size_t>(length));
  if (f.files.changes_when_read) f.moved_on.assign(f.files.source.size() - 1, 'x'), f.files.source = f.moved_on;
  return length;
}

// Writes at position, or in order where position is negative.
std::int64_t write_somewhere(const void* buffer, std::int64_t count, std::int64_t position) {
  count_call();
  Fake& f = in_force();
  const std::int64_t length = answered(f.faults.answer(Call::kWriteAt), count);
  if (length <= 0 || f.files.room == 0) return length < 0 || f.files.room == 0 ? -1 : 0;
  const std::int64_t moved = put(position < 0 ? f.position : position, static_cast<const char*>(buffer), length);
  if (position < 0) f.position += moved;
  return moved;
}

std::int64_t write_at(int, const void* buffer, std::int64_t count, std::int64_t position) {
  // A stream takes the bytes in order, wherever they were meant to go.
  return write_somewhere(buffer, count, in_force().files.streams ? -1 : position);
}

std::int64_t write(int, const void* buffer, std::int64_t count) { return write_somewhere(buffer, count, -1); }

int close(int fd) {
  Fake& f = in_force();
  if (fd != FakeFiles::kFolder) f.closed.push_back(fd);
  return f.faults.answer(Call::kClose) == Answer::kFails ? -1 : 0;
}

}  // namespace rt
