// libFuzzer target: runs the whole tool in-process, with the real POSIX
// runtime, on an argument vector decoded from the input, and checks what
// must hold for any command line.
//
// Input: one selector byte, one fault byte, then NUL-separated arguments
// (size, options). Selector bits 0-1 pick the source (0, 1, 900 or 65537
// bytes), bit 2 makes the destination exist beforehand, bit 3 names the
// source as destination, bit 4 picks the sparse source of the same number
// instead: data and holes whose edges fall on and beside the chunk and page
// boundaries. The fault byte makes one of the copy's calls misbehave from
// one of its occurrences on (see Fault). Source and destination live in a
// private temporary folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../capture.h"
#include "../faults.h"
#include "dravlet.h"

namespace {

constexpr std::size_t kMaxArguments = 16;
constexpr int kSources = 8;
const std::int64_t kDenseSizes[4] = {0, 1, 900, 65537};

// The sparse sources: their data extents (start, end), then their size.
struct Extent {
  std::int64_t start;
  std::int64_t end;
};
struct SparseLayout {
  Extent data[3];
  std::int64_t size;
};
const SparseLayout kSparseLayouts[4] = {
    {{{0, 5}, {0, 0}, {0, 0}}, 10000},
    {{{0, 4096}, {8192, 108192}, {0, 0}}, 108192},
    {{{65537, 70000}, {0, 0}, {0, 0}}, 200000},
    {{{1, 4095}, {65535, 65537}, {131072, 201073}}, 262144},
};

// The calls that the fault byte can make misbehave: bits 0-2 pick the call
// (0, 6 and 7 none), bits 3-4 how (short, nothing, a failure, a failure),
// bits 5-7 from which occurrence in the run on. This unit stands in for them
// and hands the rest to the real runtime, whose own are renamed real_*.
constexpr Call kFaultyCalls[] = {Call::kCount,  Call::kKernelCopy, Call::kClone, Call::kFindData,
                                 Call::kReadAt, Call::kWriteAt,    Call::kCount, Call::kCount};
constexpr Answer kFaultyAnswers[] = {Answer::kShort, Answer::kNothing, Answer::kFails, Answer::kFails};

Fault fault{Call::kCount, Answer::kWhole};
Faults faults;

const std::string kPreviousDestination = "the destination as it was before the run\n";

std::string folder;
std::string source_paths[kSources];
std::string source_bytes[kSources];
std::string destination_path;

std::string read_file(const std::string& path, bool* exists = nullptr) {
  std::ifstream file(path, std::ios::binary);
  if (exists != nullptr) *exists = file.is_open();
  return {std::istreambuf_iterator<char>(file), {}};
}

[[noreturn]] void violated(const char* what, const std::vector<char*>& argv, const std::string& output, int status) {
  std::fprintf(stderr, "\ninvariant broken: %s\nstatus %d, command line:", what, status);
  for (const char* argument : argv) std::fprintf(stderr, " '%s'", argument);
  std::fprintf(stderr, "\nstdout: \"%s\"\n", output.c_str());
  std::abort();
}

// Whether text is one message: a line that ends in a full stop, or the
// usage line.
bool is_message(const std::string& text) {
  const bool line = text.size() > 2 && text.find('\n') == text.size() - 1;
  return line && (text[text.size() - 2] == '.' || text.rfind("usage: dravlet ", 0) == 0);
}

// Runs the tool with its standard output caught; returns the status and
// fills output.
int run_capturing(std::vector<char*>& argv, std::string* output) {
  const Capture capture;
  const int status = run_dravlet(static_cast<int>(argv.size()), argv.data());
  std::fflush(stdout);
  *output = capture.text();
  return status;
}

// Writes source i: bytes that differ from their neighbours', and for the
// sparse sources only in their layout's data extents, holes elsewhere.
void write_source(int i) {
  const bool sparse = i >= 4;
  const SparseLayout& layout = kSparseLayouts[i % 4];
  const Extent dense[3] = {{0, kDenseSizes[i % 4]}, {0, 0}, {0, 0}};
  const Extent* extents = sparse ? layout.data : dense;
  std::string& bytes = source_bytes[i];
  bytes.assign(static_cast<std::size_t>(sparse ? layout.size : kDenseSizes[i]), '\0');
  const int fd = open(source_paths[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd == -1 || ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) std::abort();
  for (int k = 0; k < 3; ++k) {
    const Extent& extent = extents[k];
    for (std::int64_t j = extent.start; j < extent.end; ++j)
      bytes[j] = static_cast<char>(sparse ? j % 251 + 1 : j * 31 % 253);
    const auto length = static_cast<std::size_t>(extent.end - extent.start);
    if (pwrite(fd, bytes.data() + extent.start, length, extent.start) != static_cast<ssize_t>(length)) std::abort();
  }
  close(fd);
}

void remove_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace

namespace rt {

Clone real_clone_range(int source, int64_t source_position, int destination, int64_t destination_position,
                       int64_t length);
bool real_find_data(int fd, int64_t position, int64_t* start, int64_t* end);
int64_t real_kernel_copy(int source, int64_t source_position, int destination, int64_t destination_position,
                         int64_t length);
int64_t real_read_at(int fd, void* buffer, int64_t count, int64_t position);
int64_t real_write_at(int fd, const void* buffer, int64_t count, int64_t position);

Clone clone_range(int source, int64_t source_position, int destination, int64_t destination_position, int64_t length) {
  const Answer answer = faults.answer(Call::kClone);
  if (answer == Answer::kWhole) {
    return real_clone_range(source, source_position, destination, destination_position, length);
  }
  if (answer == Answer::kNothing) return Clone::kRefused;
  // Broken off after sharing a chunk, or before sharing any.
  if (answer == Answer::kShort && length > kShortClone) {
    real_clone_range(source, source_position, destination, destination_position, kShortClone);
  }
  return Clone::kFailed;
}

bool find_data(int fd, int64_t position, int64_t* start, int64_t* end) {
  const Answer answer = faults.answer(Call::kFindData);
  if (answer == Answer::kWhole) return real_find_data(fd, position, start, end);
  // An extent told short: what follows it is asked for again.
  if (answer != Answer::kShort || !real_find_data(fd, position, start, end)) return false;
  if (*end - *start > kShortBytes) *end = *start + kShortBytes;
  return true;
}

int64_t kernel_copy(int source, int64_t source_position, int destination, int64_t destination_position,
                    int64_t length) {
  const Answer answer = faults.answer(Call::kKernelCopy);
  if (answer == Answer::kWhole || answer == Answer::kShort) {
    const int64_t count = answer == Answer::kShort && length > kShortBytes ? kShortBytes : length;
    return real_kernel_copy(source, source_position, destination, destination_position, count);
  }
  return answer == Answer::kNothing ? 0 : -1;
}

int64_t read_at(int fd, void* buffer, int64_t count, int64_t position) {
  const int64_t length = answered(faults.answer(Call::kReadAt), count);
  return length <= 0 ? length : real_read_at(fd, buffer, length, position);
}

int64_t write_at(int fd, const void* buffer, int64_t count, int64_t position) {
  const int64_t length = answered(faults.answer(Call::kWriteAt), count);
  return length <= 0 ? length : real_write_at(fd, buffer, length, position);
}

}  // namespace rt

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/dravlet-fuzz-XXXXXX";
  if (mkdtemp(name) == nullptr) std::abort();
  folder = name;
  std::atexit(remove_folder);
  for (int i = 0; i < kSources; ++i) {
    source_paths[i] = folder + "/source" + std::to_string(i);
    write_source(i);
  }
  destination_path = folder + "/destination";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t length) {
  if (length < 2) return 0;
  const int selector = data[0];
  fault = {kFaultyCalls[data[1] & 7], kFaultyAnswers[data[1] >> 3 & 3], data[1] >> 5};
  faults = Faults{{fault}};
  const int source = (selector & 3) + ((selector & 16) != 0 ? 4 : 0);
  const bool destination_existed = (selector & 4) != 0;
  const bool onto_source = (selector & 8) != 0;
  const std::string& destination = onto_source ? source_paths[source] : destination_path;

  // The bytes after the first two, split at each NUL, up to kMaxArguments.
  const std::string text(reinterpret_cast<const char*>(data) + 2, length - 2);
  std::vector<std::string> arguments;
  for (std::size_t from = 0; length > 2 && from <= text.size() && arguments.size() < kMaxArguments;) {
    const std::size_t end = std::min(text.find('\0', from), text.size());
    arguments.push_back(text.substr(from, end - from));
    from = end + 1;
  }

  std::vector<char*> argv{const_cast<char*>("dravlet"), const_cast<char*>(source_paths[source].c_str()),
                          const_cast<char*>(destination.c_str())};
  for (std::string& argument : arguments) argv.push_back(&argument[0]);

  unlink(destination_path.c_str());
  if (destination_existed) std::ofstream(destination_path, std::ios::binary) << kPreviousDestination;

  std::string output;
  const int status = run_capturing(argv, &output);
  const auto require = [&](bool holds, const char* what) {
    if (!holds) violated(what, argv, output, status);
  };
  const std::string& bytes = source_bytes[source];
  require(status == 0 || status == -1, "status is neither 0 nor -1");
  require(read_file(source_paths[source]) == bytes, "the source changed");

  // At most the report line, then at most one message.
  std::int64_t filesize = 0;
  std::int64_t size = 0;
  std::int64_t offset = 0;
  int consumed = 0;
  const bool reported = std::sscanf(output.c_str(), "filesize:%" SCNd64 " size:%" SCNd64 " offset:%" SCNd64 "\n%n",
                                    &filesize, &size, &offset, &consumed) == 3 &&
                        consumed > 0;
  const std::string report = "filesize:" + std::to_string(filesize) + " size:" + std::to_string(size) +
                             " offset:" + std::to_string(offset) + "\n";
  const std::string rest = reported ? output.substr(static_cast<std::size_t>(consumed)) : output;
  require(!reported || output.compare(0, static_cast<std::size_t>(consumed), report) == 0,
          "the report line is malformed");
  require(!reported || filesize == static_cast<std::int64_t>(bytes.size()), "the report names another file size");
  require(status == 0 ? rest.empty() && reported : is_message(rest), "stdout is not the report line and one message");

  bool exists = false;
  const std::string written = read_file(destination_path, &exists);
  if (status == 0) {
    require(!onto_source, "the source was copied onto itself");
    require(size >= 0 && offset >= 0 && offset <= filesize, "success with an impossible range");
    const std::int64_t copied = size < filesize - offset ? size : filesize - offset;
    require(exists && written == bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(copied)),
            "the destination does not hold the range");
  } else if (rest == "file read error.\n" || rest == "file write error.\n") {
    // Only a read or a write that failed or moved nothing fails the copy;
    // the other means fall back, and short calls go on. What arrived is a
    // prefix of the range.
    const Call failed_call = rest == "file read error.\n" ? Call::kReadAt : Call::kWriteAt;
    require(fault.call == failed_call && fault.answer != Answer::kShort && faults.met,
            "the copy failed without a failing read or write");
    const std::string range = bytes.substr(static_cast<std::size_t>(offset));
    require(written.size() <= range.size() && range.compare(0, written.size(), written) == 0,
            "a failed copy left more than a prefix of the range");
  } else {
    require(exists == destination_existed && (!exists || written == kPreviousDestination),
            "a failure before the copy changed the destination");
  }
  return 0;
}
