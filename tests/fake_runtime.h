// A runtime unit for tests, linked in place of the real one: one source and
// one destination held in memory, with switches that make calls fail.
#ifndef DRAVLET_TESTS_FAKE_RUNTIME_H_
#define DRAVLET_TESTS_FAKE_RUNTIME_H_

#include <cstdint>
#include <string>
#include <vector>

struct FakeFiles {
  static constexpr int kSource = 3;
  static constexpr int kDestination = 4;

  // The source as the run sees it; reads past its end come short.
  std::string source;
  std::int64_t position = 0;
  bool source_missing = false;
  bool source_unseekable = false;
  bool tell_fails = false;
  // When not negative, the length that the source measures, as if it had
  // shrunk or grown after being measured.
  std::int64_t measured_size = -1;

  bool source_sizeless = false;  // a pipe or a character device

  // The destination's bytes; it exists beforehand with these.
  std::string destination = "previous destination";
  bool destination_opened = false;
  bool destination_is_source = false;
  bool create_fails = false;
  bool empty_fails = false;
  bool destination_close_fails = false;
  // Bytes the destination takes before writes come short, as on a full disk.
  std::int64_t room = INT64_MAX;
  // Whether the file system clones blocks, and how many bytes it shared.
  bool shares_blocks = false;
  bool share_fails = false;  // a failed clone that cannot be undone
  std::int64_t shared = 0;

  std::vector<std::int64_t> reads;   // length asked by each read call
  std::vector<std::int64_t> writes;  // length asked by each write call
  std::vector<int> closed;           // descriptors in the order closed
  std::string output;                // everything printed
  std::string flushed;               // what was printed by the last flush
};

// The state behind the fake calls; tests reset it with fake_files() = {}.
FakeFiles& fake_files();

#endif  // DRAVLET_TESTS_FAKE_RUNTIME_H_
