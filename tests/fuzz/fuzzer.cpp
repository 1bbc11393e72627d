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

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (exists != nullptr) *exists = file != nullptr;
  if (file == nullptr) return bytes;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
  std::fclose(file);
  return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
  std::fclose(file);
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

// Writes the sparse source i: its data extents, holes elsewhere.
void write_sparse(const std::string& path, const SparseLayout& layout, std::string* bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd == -1 || ftruncate(fd, layout.size) != 0) std::abort();
  bytes->assign(static_cast<std::size_t>(layout.size), '\0');
  for (const Extent& extent : layout.data) {
    for (std::int64_t j = extent.start; j < extent.end; ++j) (*bytes)[j] = static_cast<char>(j % 251 + 1);
    const auto length = static_cast<std::size_t>(extent.end - extent.start);
    if (pwrite(fd, bytes->data() + extent.start, length, extent.start) != static_cast<ssize_t>(length)) std::abort();
  }
  close(fd);
}

void remove_folder() {
  for (int i = 0; i < kSources; ++i) unlink(source_paths[i].c_str());
  unlink(destination_path.c_str());
  rmdir(folder.c_str());
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
  for (int i = 0; i < kSources; ++i) source_paths[i] = folder + "/source" + std::to_string(i);
  for (int i = 0; i < 4; ++i) {
    for (std::int64_t j = 0; j < kDenseSizes[i]; ++j) source_bytes[i] += static_cast<char>(j * 31 % 253);
    write_file(source_paths[i], source_bytes[i]);
    write_sparse(source_paths[4 + i], kSparseLayouts[i], &source_bytes[4 + i]);
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

  std::vector<std::string> arguments;
  std::string current;
  for (std::size_t i = 2; i < length && arguments.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (length > 2 && arguments.size() < kMaxArguments) arguments.push_back(current);

  std::vector<char*> argv{const_cast<char*>("dravlet"), const_cast<char*>(source_paths[source].c_str()),
                          const_cast<char*>(destination.c_str())};
  for (std::string& argument : arguments) argv.push_back(&argument[0]);

  unlink(destination_path.c_str());
  if (destination_existed) write_file(destination_path, kPreviousDestination);

  std::string output;
  const int status = run_capturing(argv, &output);

  if (status != 0 && status != -1) violated("status is neither 0 nor -1", argv, output, status);
  if (read_file(source_paths[source]) != source_bytes[source]) {
    if (source < 4)
      write_file(source_paths[source], source_bytes[source]);
    else
      write_sparse(source_paths[source], kSparseLayouts[source - 4], &source_bytes[source]);
    violated("the source changed", argv, output, status);
  }

  // At most the report line, then at most one message.
  std::int64_t filesize = 0;
  std::int64_t size = 0;
  std::int64_t offset = 0;
  int consumed = 0;
  const bool reported = std::sscanf(output.c_str(), "filesize:%" SCNd64 " size:%" SCNd64 " offset:%" SCNd64 "\n%n",
                                    &filesize, &size, &offset, &consumed) == 3 &&
                        consumed > 0;
  const std::string rest = reported ? output.substr(static_cast<std::size_t>(consumed)) : output;
  if (reported && output.compare(0, static_cast<std::size_t>(consumed),
                                 "filesize:" + std::to_string(filesize) + " size:" + std::to_string(size) +
                                     " offset:" + std::to_string(offset) + "\n") != 0) {
    violated("the report line is malformed", argv, output, status);
  }
  if (reported && filesize != static_cast<std::int64_t>(source_bytes[source].size()))
    violated("the report names another file size", argv, output, status);
  if (status == 0 ? !rest.empty() || !reported : !is_message(rest)) {
    violated("stdout is not the report line and one message", argv, output, status);
  }

  bool exists = false;
  const std::string written = read_file(destination_path, &exists);
  if (status == 0 && onto_source) violated("the source was copied onto itself", argv, output, status);
  if (status == 0) {
    if (size < 0 || offset < 0 || offset > filesize) violated("success with an impossible range", argv, output, status);
    const std::int64_t copied = size < filesize - offset ? size : filesize - offset;
    const std::string expected =
        source_bytes[source].substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(copied));
    if (!exists || written != expected) {
      violated("the destination does not hold the range", argv, output, status);
    }
  } else if (rest == "file read error.\n" || rest == "file write error.\n") {
    // Only a read or a write that failed or moved nothing fails the copy;
    // the other means fall back, and short calls go on. What arrived is a
    // prefix of the range.
    const Call failed_call = rest == "file read error.\n" ? Call::kReadAt : Call::kWriteAt;
    if (fault.call != failed_call || fault.answer == Answer::kShort || !faults.met) {
      violated("the copy failed without a failing read or write", argv, output, status);
    }
    const std::string range = source_bytes[source].substr(static_cast<std::size_t>(offset));
    if (written.size() > range.size() || range.compare(0, written.size(), written) != 0) {
      violated("a failed copy left more than a prefix of the range", argv, output, status);
    }
  } else if (exists != destination_existed || (exists && written != kPreviousDestination)) {
    violated("a failure before the copy changed the destination", argv, output, status);
  }
  return 0;
}
