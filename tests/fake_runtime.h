// A runtime unit for tests, linked in place of the platform's own beside
// the real runtime-common.cpp, by the unit tests and the fuzzer: one source
// and one destination held in memory, as FakeFiles describes them, whose
// calls misbehave as a list of faults says (each naming a call, how it
// answers and from which of its occurrences on). What the tool prints goes
// to the real standard output, caught for the run.
#ifndef DRAVLET_TESTS_FAKE_RUNTIME_H_
#define DRAVLET_TESTS_FAKE_RUNTIME_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime.h"

// clang-format off
enum class Call {
  kOpenSource, kDescribe, kFileSizes, kSeekEnd, kSeekSet, kCreate, kResize, kClone, kFindData, kKernelCopy, kReadAt,
  kWriteAt, kClose, kCount
};
// clang-format on

// How a call answers.
enum class Answer {
  kWhole,    // as it should
  kShort,    // moves at most kShortBytes, tells an extent of at most that,
             // or breaks off a clone after sharing kShortClone bytes
  kNothing,  // moves nothing: 0, or a clone refused
  kFails,    // -1 or false
  kExists,   // a create fails because the name exists
};

// The most that a short call moves: neither a page nor a chunk; and what a
// clone that breaks off shares first: one chunk.
constexpr std::int64_t kShortBytes = 4097;
constexpr std::int64_t kShortClone = 65536;

struct Fault {
  Call call;
  Answer answer;
  int from = 0;  // the first of the call's occurrences, from 0, that misbehaves
};

// The faults of one run, how often each call was made so far, and whether
// a fault answered one.
struct Faults {
  std::vector<Fault> list;
  int seen[static_cast<int>(Call::kCount)] = {};
  bool met = false;

  // How this occurrence of call answers.
  Answer answer(Call call) {
    const int occurrence = seen[static_cast<int>(call)]++;
    for (const Fault& fault : list) {
      if (fault.call == call && occurrence >= fault.from) {
        met = true;
        return fault.answer;
      }
    }
    return Answer::kWhole;
  }
};

using Extents = std::vector<std::pair<std::int64_t, std::int64_t>>;

// A source layout: its length and its data extents, holes elsewhere.
struct Layout {
  std::int64_t length;
  Extents data;
};

// Sources with hole edges on and beside the page and chunk boundaries,
// holes that run past the source's end, data reported past it.
extern const Layout kLayouts[10];

// A source of length bytes whose bytes differ from their neighbours', with
// zeros outside the data extents, when they are given.
std::string pattern(std::int64_t length, const Extents* data = nullptr);

// The two files as they are before a run.
struct FakeFiles {
  static constexpr int kSource = 3;
  static constexpr int kDestination = 4;
  static constexpr int kFolder = 5;  // the destination's

  // The source as the run sees it; reads past its end come short. The
  // bytes are the test's, kept for the run.
  std::string_view source;
  rt::FileInfo source_info{rt::Kind::kRegular, {1, {1, 0}}, {0, 1}, false, false, 0644, 100};
  rt::Sizes sizes = rt::Sizes::kLengths;
  // When not negative, the size that the source's end seek reports instead
  // of its length: a sysfs text attribute's page, or a source that shrank
  // or grew since it was measured.
  std::int64_t reported_size = -1;
  // Whether a read leaves the source a byte shorter and other bytes, as a
  // sysfs attribute that moves on between reads.
  bool changes_when_read = false;
  // Where the source's file system reports its data: these extents, the
  // rest being holes; none when it does not report holes at all.
  bool reports_holes = false;
  Extents data;

  // The destination, with these bytes unless it does not exist yet.
  bool destination_exists = true;
  std::string destination = "previous destination";
  rt::FileInfo destination_info{rt::Kind::kRegular, {1, {2, 0}}, {0, 1}, false, false, 0644, 100};
  // What lies below each block device, and below each file system by the
  // number its files report (with the number they all share); one missing
  // here cannot be told. Below the source and the destination (its folder,
  // where it is made): their own file system, where nothing else is given.
  std::map<std::uint64_t, std::vector<rt::Lower>> devices;
  struct Mounted {
    std::uint64_t file_system;
    std::vector<rt::Lower> lower;
  };
  std::map<std::uint64_t, Mounted> mounts;
  std::vector<rt::Lower> source_below;
  std::vector<rt::Lower> destination_below;
  // The group that a new destination gets, -1: cannot be told; and whether
  // the destination is a stream, which takes no positions.
  std::int64_t new_group = 100;
  bool streams = false;
  // Bytes the destination takes before writes come short, as on a full disk.
  std::int64_t room = INT64_MAX;
  // Whether the file system shares blocks between the two, and whether the
  // kernel copies between them.
  bool clones = false;
  bool copies_in_kernel = false;
  // Whether the file system reserves space past a file's end (XFS).
  bool reserves_past_end = false;
};

// One run's files and faults, in force while it lives, so that each case
// starts from a fresh one.
class Fake {
 public:
  explicit Fake(FakeFiles before, std::vector<Fault> faults = {});
  ~Fake();
  Fake(const Fake&) = delete;
  Fake& operator=(const Fake&) = delete;

  // Runs the tool with these arguments after its name. Returns the status.
  int run(const std::vector<const char*>& arguments);
  // Runs copy_range on size bytes from start on. Returns its result.
  bool copy(std::int64_t start, std::int64_t size);
  // Whether the destination has a byte written or shared with the source's
  // data between from and to.
  bool allocated_between(std::int64_t from, std::int64_t to) const;

  FakeFiles files;  // as the run leaves them
  Faults faults;
  std::string output;    // what the run printed
  std::string reported;  // what had reached standard output when the first byte reached the destination
  bool destination_opened = false;
  int mode = -1;                                               // the permission bits the destination was created with
  std::vector<int> closed;                                     // descriptors in the order closed
  std::vector<std::pair<std::int64_t, std::int64_t>> written;  // the destination's bytes written or shared with data
  std::int64_t position = 0;                                   // where write puts its bytes
  int calls = 0;                                               // the copy's calls that move bytes or ask for them
  std::string moved_on;                                        // the source after a read, where it changes when read

 private:
  template <typename Run>
  void catching_output(Run run);
  Fake* const outer_;  // the fake in force before this one
};

#endif  // DRAVLET_TESTS_FAKE_RUNTIME_H_
