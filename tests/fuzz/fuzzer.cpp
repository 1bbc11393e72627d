// libFuzzer target: runs the whole tool in-process over the unit tests' fake
// runtime, on files and an argument vector decoded from the input, and
// checks what must hold for any command line.
//
// Input: one selector byte, one fault byte, then NUL-separated arguments
// (size, options). Selector bits 0-1 pick the source (0, 1, 900 or 65537
// bytes), bit 2 makes the destination exist beforehand, bit 3 names the
// source as destination, bit 4 picks the sparse source of the same number
// instead: data and holes whose edges fall on and beside the chunk and page
// boundaries; bit 5 puts both on a file system that shares blocks, bit 6 on
// one that reserves space past a file's end. The fault byte makes one of the
// copy's calls misbehave from one of its occurrences on (see Fault).
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../fake_runtime.h"

namespace {

constexpr std::size_t kMaxArguments = 16;
const std::int64_t kDenseSizes[4] = {0, 1, 900, 65537};

// The sparse sources, of the fake's layouts.
constexpr int kSparse[4] = {2, 3, 8, 9};

// The calls that the fault byte can make misbehave: bits 0-2 pick the call
// (0 and 7 none), bits 3-4 how (short, nothing, a failure, a failure),
// bits 5-7 from which occurrence in the run on.
constexpr Call kFaultyCalls[] = {Call::kCount,  Call::kKernelCopy, Call::kClone,  Call::kFindData,
                                 Call::kReadAt, Call::kWriteAt,    Call::kResize, Call::kCount};
constexpr Answer kFaultyAnswers[] = {Answer::kShort, Answer::kNothing, Answer::kFails, Answer::kFails};

const std::string kPreviousDestination = "the destination as it was before the run\n";

// The bytes of the sources: dense ones 0 to 3, sparse ones 4 to 7, each byte
// of data unlike its neighbours.
std::string sources[8];

// Whether text is one message: a line that ends in a full stop, or the
// usage line.
bool is_message(const std::string& text) {
  const bool line = text.size() > 2 && text.find('\n') == text.size() - 1;
  return line && (text[text.size() - 2] == '.' || text.rfind("usage: dravlet ", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (int i = 0; i < 4; ++i) {
    sources[i] = pattern(kDenseSizes[i]);
    sources[4 + i] = pattern(kLayouts[kSparse[i]].length, &kLayouts[kSparse[i]].data);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t length) {
  if (length < 2) return 0;
  const int selector = data[0];
  const Fault fault{kFaultyCalls[data[1] & 7], kFaultyAnswers[data[1] >> 3 & 3], data[1] >> 5};
  const int source = (selector & 3) + ((selector & 16) != 0 ? 4 : 0);
  const bool onto_source = (selector & 8) != 0;
  FakeFiles files;
  files.source = sources[source];
  files.reports_holes = files.copies_in_kernel = true;
  files.data = source < 4 ? Extents{{0, kDenseSizes[source]}} : kLayouts[kSparse[source - 4]].data;
  files.clones = (selector & 32) != 0;
  files.reserves_past_end = (selector & 64) != 0;
  files.destination_exists = (selector & 4) != 0 || onto_source;
  files.destination = onto_source ? sources[source] : kPreviousDestination;
  if (onto_source) files.destination_info.storage = files.source_info.storage;

  // The bytes after the first two, split at each NUL, up to kMaxArguments.
  const std::string text(reinterpret_cast<const char*>(data) + 2, length - 2);
  std::vector<std::string> arguments;
  for (std::size_t from = 0; length > 2 && from <= text.size() && arguments.size() < kMaxArguments;) {
    const std::size_t end = std::min(text.find('\0', from), text.size());
    arguments.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  std::vector<const char*> argv{"in", onto_source ? "in" : "out"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());

  Fake fake(files, {fault});
  const int status = fake.run(argv);
  const std::string& output = fake.output;
  const auto require = [&](bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "\ninvariant broken: %s\nstatus %d, command line: dravlet", what, status);
    for (const char* argument : argv) std::fprintf(stderr, " '%s'", argument);
    std::fprintf(stderr, "\nstdout: \"%s\"\n", output.c_str());
    std::abort();
  };
  const std::string& bytes = sources[source];
  require(status == 0 || status == -1, "status is neither 0 nor -1");

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

  const bool exists = fake.files.destination_exists;
  const std::string& written = fake.files.destination;
  if (status == 0) {
    require(!onto_source, "the source was copied onto itself");
    require(size >= 0 && offset >= 0 && offset <= filesize, "success with an impossible range");
    const std::int64_t copied = size < filesize - offset ? size : filesize - offset;
    require(exists && written == bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(copied)),
            "the destination does not hold the range");
  } else if (rest != "file read error.\n" && rest != "file write error.\n") {
    // What a copy that failed midway leaves is the copy grid's to check.
    require(exists == files.destination_exists && (!exists || written == files.destination),
            "a failure before the copy changed the destination, or the source");
  }
  return 0;
}
