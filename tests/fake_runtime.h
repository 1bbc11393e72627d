// A runtime unit for tests, linked in place of the real one: one source and
// one destination held in memory, with switches that make calls fail.
#ifndef DRAVLET_TESTS_FAKE_RUNTIME_H_
#define DRAVLET_TESTS_FAKE_RUNTIME_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime.h"

struct FakeFiles {
  static constexpr int kSource = 3;
  static constexpr int kDestination = 4;

  // The source as the run sees it; reads past its end come short.
  std::string source;
  std::int64_t position = 0;
  rt::FileInfo source_info{rt::Kind::kRegular, true, {1, {1, 0}}};
  bool source_missing = false;
  bool source_undescribed = false;  // describe fails
  bool source_unseekable = false;
  bool tell_fails = false;
  // When not negative, the length that the source measures, as if it had
  // shrunk or grown after being measured.
  std::int64_t measured_size = -1;
  // Where the source's file system reports its data: these extents, the
  // rest being holes; none when it does not report holes at all.
  bool reports_holes = false;
  std::vector<std::pair<std::int64_t, std::int64_t>> data;

  // The destination's bytes; it exists beforehand with these unless
  // created is set.
  std::string destination = "previous destination";
  std::int64_t destination_position = 0;
  rt::FileInfo destination_info{rt::Kind::kRegular, true, {1, {2, 0}}};
  bool created = false;  // the open creates the destination
  bool destination_opened = false;
  bool destination_undescribed = false;
  bool create_fails = false;
  std::int64_t resize_fails_to = -1;  // the length to which a resize fails
  // The descriptor and position for which a seek fails.
  int seek_fails_on = -1;
  std::int64_t seek_fails_to = -1;
  bool destination_close_fails = false;
  // Bytes the destination takes before writes come short, as on a full disk.
  std::int64_t room = INT64_MAX;
  // The most one read or write call moves, as when a stop cuts it short.
  std::int64_t most_per_call = INT64_MAX;
  // The clone's outcome, and how many bytes it shared.
  rt::Clone clone = rt::Clone::kRefused;
  std::int64_t shared = 0;
  // Bytes the kernel copies in all before it answers kernel_stop (0, or -1
  // as for a failure); none where it cannot copy.
  std::int64_t kernel_room = 0;
  std::int64_t kernel_stop = -1;

  std::vector<std::int64_t> reads;    // length asked by each read call
  std::vector<std::int64_t> writes;   // length asked by each write call
  std::vector<std::int64_t> kernel;   // bytes moved by each kernel copy
  std::vector<std::int64_t> resizes;  // length asked by each resize
  int data_asked = 0;                 // find_data calls
  std::vector<int> closed;            // descriptors in the order closed
  std::string output;                 // everything printed
  std::string flushed;                // what was printed by the last flush
};

// The state behind the fake calls; tests reset it with fake_files() = {}.
FakeFiles& fake_files();

#endif  // DRAVLET_TESTS_FAKE_RUNTIME_H_
