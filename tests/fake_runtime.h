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
  rt::FileInfo source_info{rt::Kind::kRegular, {1, {1, 0}}, {0, rt::kStorageEnd}, false, false, 0644};
  bool source_missing = false;
  bool source_undescribed = false;  // describe fails
  bool sizes_unknown = false;       // file_sizes fails
  rt::Sizes sizes = rt::Sizes::kLengths;
  bool source_unseekable = false;
  bool source_unreadable = false;  // every read fails
  // When not negative, the length that the source measures, as if it had
  // shrunk or grown after being measured.
  std::int64_t measured_size = -1;
  // Whether a read leaves the source a byte shorter and other bytes, as a
  // sysfs attribute that moves on between reads.
  bool changes_when_read = false;
  // Where the source's file system reports its data: these extents, the
  // rest being holes; none when it does not report holes at all.
  bool reports_holes = false;
  std::vector<std::pair<std::int64_t, std::int64_t>> data;
  int data_answers = -1;  // when not negative, the questions answered before it cannot

  // The destination's bytes; it exists beforehand with these unless
  // created is set. allocated holds '1' for each byte written or shared
  // with data of the source, '0' for each byte of a hole.
  std::string destination = "previous destination";
  std::string allocated = std::string(destination.size(), '1');
  std::int64_t destination_position = 0;  // where write puts its bytes
  rt::FileInfo destination_info{rt::Kind::kRegular, {1, {2, 0}}, {0, rt::kStorageEnd}, false, false, 0644};
  // The devices that hold the file systems of the source and the
  // destination, where they can be told (storage volume 0: they cannot).
  rt::FileInfo source_file_system{rt::Kind::kBlockDevice, {0, {0, 0}}, {0, rt::kStorageEnd}, false, false, 0};
  rt::FileInfo destination_file_system = source_file_system;
  bool created = false;   // the destination does not exist, and is created
  int mode = -1;          // the permission bits it was created with
  bool vanishes = false;  // it exists, but is removed before it is opened
  bool destination_opened = false;
  bool destination_undescribed = false;
  bool create_fails = false;
  std::int64_t resize_fails_to = -1;  // the length to which a resize fails
  bool destination_close_fails = false;
  // Bytes the destination takes before writes come short, as on a full disk.
  std::int64_t room = INT64_MAX;
  // The most one read or write call moves, as when a stop cuts it short.
  std::int64_t most_per_call = INT64_MAX;
  // The clone's outcome; a clone that fails shares clone_breaks_after
  // bytes first.
  rt::Clone clone = rt::Clone::kRefused;
  std::int64_t clone_breaks_after = 0;
  // Bytes the kernel copies in all, at most kernel_most a call, before it
  // answers kernel_stop (0, or -1 as for a failure); none where it cannot.
  std::int64_t kernel_room = 0;
  std::int64_t kernel_most = INT64_MAX;
  std::int64_t kernel_stop = -1;

  int calls = 0;            // the copy's calls that move bytes or ask for them
  std::vector<int> closed;  // descriptors in the order closed
  std::string output;       // everything printed
  std::string flushed;      // what was printed by the last flush
};

// The state behind the fake calls; tests reset it with fake_files() = {}.
FakeFiles& fake_files();

#endif  // DRAVLET_TESTS_FAKE_RUNTIME_H_
