// The copy loop and the whole entry path, run in-process on the fake runtime.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dravlet.h"
#include "fake_runtime.h"

namespace {

constexpr int kSource = FakeFiles::kSource;
constexpr int kDestination = FakeFiles::kDestination;

// A source of length bytes whose bytes differ from their neighbours', with
// zeros in the holes the file system reports.
std::string pattern(std::int64_t length, const FakeFiles& files = fake_files()) {
  std::string bytes;
  for (std::int64_t i = 0; i < length; ++i) {
    bool data = !files.reports_holes;
    for (const auto& extent : files.data) data = data || (i >= extent.first && i < extent.second);
    bytes += data ? static_cast<char>(i * 7 % 251 + 1) : '\0';
  }
  return bytes;
}

// The source, as copy_range is handed it.
Source source() { return {kSource, fake_files().source_info}; }

class FakeRuntime : public testing::Test {
 protected:
  void SetUp() override { fake_files() = FakeFiles{}; }
  FakeFiles& files = fake_files();
};

using Lengths = std::vector<std::int64_t>;

TEST_F(FakeRuntime, MovesEachChunkByTheCheapestMeansAtHand) {
  struct Case {
    const char* name;
    void (*arrange)(FakeFiles&);
    std::int64_t offset;
    std::int64_t size;
    Lengths chunks;   // read and written through the buffer
    Lengths kernel;   // copied by the kernel
    Lengths resizes;  // after the destination was emptied
    std::int64_t shared;
  };
  const auto none = [](FakeFiles&) {};
  static const auto clones = [](FakeFiles& f) { f.clone = rt::Clone::kShared; };
  static const auto kernel = [](FakeFiles& f) { f.kernel_room = INT64_MAX; };
  static const auto sparse = [](FakeFiles& f) {
    f.reports_holes = true;
    f.data = {{70000, 80000}, {200000, 210000}};
  };
  // clang-format off
  const Case cases[] = {
      {"empty", none, 0, 0, {}, {}, {}, 0},
      {"empty at the end", none, 300000, 0, {}, {}, {}, 0},
      {"one chunk", none, 0, 65536, {65536}, {}, {}, 0},
      {"a byte more", none, 1, 65537, {65536, 1}, {}, {}, 0},
      {"a shorter last chunk", none, 5, 200000, {65536, 65536, 65536, 3392}, {}, {}, 0},
      // Whole chunks are shared, the rest is copied as before.
      {"shared", clones, 0, 200000, {3392}, {}, {}, 196608},
      {"shared whole", clones, 65536, 131072, {}, {}, {}, 131072},
      {"too short to share", clones, 0, 65535, {65535}, {}, {}, 0},
      {"a failed clone undone", [](FakeFiles& f) { f.clone = rt::Clone::kFailed; }, 0, 65536, {65536}, {}, {0}, 0},
      {"the kernel copies", kernel, 5, 200000, {}, {200000}, {}, 0},
      {"the kernel copies the tail", [](FakeFiles& f) { clones(f), kernel(f); }, 0, 200000, {}, {3392}, {}, 196608},
      // Where the kernel stops, the chunked copy goes on from the last whole
      // chunk.
      {"the kernel stops short", [](FakeFiles& f) { f.kernel_room = 100000, f.kernel_stop = 0; }, 0, 200000, {65536, 65536, 3392}, {100000}, {65536}, 0},
      {"the kernel fails", [](FakeFiles& f) { f.kernel_room = 131072; }, 0, 200000, {65536, 3392}, {131072}, {}, 0},
      // Whole chunks in holes are neither read nor written: the destination
      // is extended over them, also to the range's end.
      {"holes", sparse, 0, 300000, {65536, 65536}, {}, {65536, 196608, 300000}, 0},
      {"holes and the kernel", [](FakeFiles& f) { sparse(f), kernel(f); }, 0, 300000, {}, {65536, 65536}, {65536, 196608, 300000}, 0},
      {"a hole shorter than a chunk", [](FakeFiles& f) { f.reports_holes = true; f.data = {{0, 1000}, {2000, 300000}}; }, 0, 131072, {65536, 65536}, {}, {}, 0},
      {"a file system that cannot extend", [](FakeFiles& f) { sparse(f), f.resize_fails_to = 65536; }, 0, 131072, {65536, 65536}, {}, {65536}, 0},
      // A device is neither emptied nor extended, and takes every byte.
      {"a device", [](FakeFiles& f) { sparse(f), f.destination_info.kind = rt::Kind::kBlockDevice, f.created = false; }, 0, 131072, {65536, 65536}, {}, {}, 0},
      // Files are told apart by every part of their identity.
      {"another volume", [](FakeFiles& f) { f.destination_info.storage = {2, {1, 0}}; }, 0, 1, {1}, {}, {}, 0},
      {"another 128-bit id", [](FakeFiles& f) { f.destination_info.storage = {1, {1, 1}}; }, 0, 1, {1}, {}, {}, 0},
      // A stop or a signal cuts calls short: the chunk is finished.
      {"interrupted", [](FakeFiles& f) { f.most_per_call = 40000; }, 0, 70000, {65536, 25536, 4464}, {}, {}, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SetUp();
    files.created = true;
    c.arrange(files);
    files.source = pattern(300000);
    CopyRange range;
    range.offset = c.offset;
    range.size = c.size;
    EXPECT_TRUE(copy_range(source(), "out", range)) << c.name;
    EXPECT_EQ(files.output, "") << c.name;
    EXPECT_EQ(files.reads, c.chunks) << c.name;
    EXPECT_EQ(files.writes, c.chunks) << c.name;
    EXPECT_EQ(files.kernel, c.kernel) << c.name;
    EXPECT_EQ(files.resizes, c.resizes) << c.name;
    EXPECT_EQ(files.shared, c.shared) << c.name;
    EXPECT_EQ(files.destination, files.source.substr(c.offset, c.size)) << c.name;
    EXPECT_EQ(files.closed, std::vector<int>{kDestination}) << c.name;
  }
}

TEST_F(FakeRuntime, FailedCopyPrintsOneMessageAndClosesTheDestination) {
  struct Case {
    const char* name;
    void (*arrange)(FakeFiles&);
    std::int64_t offset;
    const char* output;
    bool opened;
    std::int64_t bytes_kept;  // bytes of the range in the destination; -1: as it was
  };
  static const auto shrunk = [](FakeFiles& f) { f.source.resize(70000); };
  // clang-format off
  const Case cases[] = {
      {"negative start", [](FakeFiles&) {}, -1, "read file seek error.\n", false, -1},
      {"same file", [](FakeFiles& f) { f.destination_info.storage = f.source_info.storage; }, 0, "output file is the input file.\n", true, -1},
      {"a loop device over the source", [](FakeFiles& f) { f.destination_info = {rt::Kind::kBlockDevice, true, f.source_info.storage}; }, 0, "output file is the input file.\n", true, -1},
      {"identity unknown", [](FakeFiles& f) { f.destination_undescribed = true; }, 0, "output file is not open.\n", true, -1},
      {"create fails", [](FakeFiles& f) { f.create_fails = true; }, 0, "output file is not open.\n", false, -1},
      {"truncation fails", [](FakeFiles& f) { f.resize_fails_to = 0; }, 0, "output file is not open.\n", true, -1},
      {"source shrank", shrunk, 0, "file read error.\n", true, 65536},
      {"source shrank, blocks shared", [](FakeFiles& f) { f.source.resize(70000), f.clone = rt::Clone::kShared; }, 0, "file read error.\n", true, 65536},
      {"source shrank into the whole chunks", [](FakeFiles& f) { f.source.resize(60000), f.clone = rt::Clone::kShared; }, 0, "file read error.\n", true, 0},
      {"source shrank, the kernel copying", [](FakeFiles& f) { f.source.resize(70000), f.kernel_room = INT64_MAX; }, 0, "file read error.\n", true, 65536},
      // A hole that reaches the source's end hides no shrinking.
      {"source shrank into a hole", [](FakeFiles& f) { f.source.resize(70000); f.reports_holes = true; f.data = {{0, 65536}}; }, 0, "file read error.\n", true, 65536},
      {"clone not undone", [](FakeFiles& f) { f.created = true, f.clone = rt::Clone::kFailed, f.resize_fails_to = 0; }, 0, "file write error.\n", true, 4096},
      {"kernel copy not cut back", [](FakeFiles& f) { f.kernel_room = 70000, f.resize_fails_to = 65536; }, 0, "file write error.\n", true, 70000},
      // A file that cannot be moved where the next means goes on.
      {"shared, the source not moved", [](FakeFiles& f) { f.clone = rt::Clone::kShared, f.seek_fails_on = kSource, f.seek_fails_to = 65536; }, 0, "file read error.\n", true, 65536},
      {"shared, the destination not moved", [](FakeFiles& f) { f.clone = rt::Clone::kShared, f.seek_fails_on = kDestination, f.seek_fails_to = 65536; }, 0, "file write error.\n", true, 65536},
      {"cut back, the source not moved", [](FakeFiles& f) { f.kernel_room = 70000, f.seek_fails_on = kSource, f.seek_fails_to = 65536; }, 0, "file read error.\n", true, 65536},
      {"the source not moved past a hole", [](FakeFiles& f) { f.reports_holes = true, f.data = {{70000, 80000}}; f.seek_fails_on = kSource, f.seek_fails_to = 65536; }, 0, "file read error.\n", true, 65536},
      {"not extended, the destination not moved back", [](FakeFiles& f) { f.reports_holes = true, f.data = {{70000, 80000}}; f.resize_fails_to = 65536; f.seek_fails_on = kDestination, f.seek_fails_to = 0; }, 0, "file write error.\n", true, 0},
      {"disk full", [](FakeFiles& f) { f.room = 65536; }, 0, "file write error.\n", true, 65536},
      {"disk full, the kernel copying", [](FakeFiles& f) { f.room = 70000, f.kernel_room = INT64_MAX; }, 0, "file write error.\n", true, 65536},
      {"short write", [](FakeFiles& f) { f.room = 100; }, 0, "file write error.\n", true, 100},
      {"last chunk short", [](FakeFiles& f) { f.room = 99999; }, 0, "file write error.\n", true, 99999},
      {"interrupted, then short", [](FakeFiles& f) { f.most_per_call = 1000, shrunk(f); }, 0, "file read error.\n", true, 65536},
      {"close fails", [](FakeFiles& f) { f.destination_close_fails = true; }, 0, "file write error.\n", true, 100000},
      {"close fails too", [](FakeFiles& f) { f.destination_close_fails = true, f.room = 0; }, 0, "file write error.\n", true, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SetUp();
    files.source = pattern(100000);
    c.arrange(files);
    const std::string before = files.destination;
    CopyRange range;
    range.offset = c.offset;
    range.size = 100000;
    EXPECT_FALSE(copy_range(source(), "out", range)) << c.name;
    EXPECT_EQ(files.output, c.output) << c.name;
    EXPECT_EQ(files.destination_opened, c.opened) << c.name;
    EXPECT_EQ(files.destination, c.bytes_kept < 0 ? before : pattern(100000).substr(0, c.bytes_kept)) << c.name;
    EXPECT_EQ(files.closed, c.opened ? std::vector<int>{kDestination} : std::vector<int>{}) << c.name;
  }
}

TEST_F(FakeRuntime, RunPrintsReportAndClosesDestinationBeforeSource) {
  struct Case {
    std::vector<const char*> arguments;
    void (*arrange)(FakeFiles&);
    const char* output;
    int status;
    std::vector<int> closed;
  };
  const auto none = [](FakeFiles&) {};
  const auto missing = [](FakeFiles& f) { f.source_missing = true; };
  const auto unseekable = [](FakeFiles& f) { f.source_unseekable = true; };
  const auto sizeless = [](FakeFiles& f) { f.source_info.kind = rt::Kind::kOther; };
  const auto made_up = [](FakeFiles& f) { f.source_info.size_is_length = false; };
  const auto directory = [](FakeFiles& f) { f.source_info.kind = rt::Kind::kDirectory; };
  const auto undescribed = [](FakeFiles& f) { f.source_undescribed = true; };
  const auto tell_fails = [](FakeFiles& f) { f.tell_fails = true; };
  const auto grown = [](FakeFiles& f) { f.measured_size = 901; };
  const auto same_file = [](FakeFiles& f) { f.destination_info.storage = f.source_info.storage; };
  const char* usage = "usage: dravlet source destination size [-b block] [-p percent] [-o offset]\n";
  // One row for each stage that can end the run.
  // clang-format off
  const Case cases[] = {
      {{"in", "out", "2", "-b64", "-o-3"}, none, "filesize:900 size:128 offset:704\n", 0, {kDestination, kSource}},
      {{"in", "out"}, none, usage, -1, {}},
      {{"in", "out", "1", "-x"}, missing, "input file is not open.\n", -1, {}},
      {{"in", "out", "1"}, unseekable, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "2"}, sizeless, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "3"}, made_up, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "4"}, directory, "input file is not open.\n", -1, {kSource}},
      {{"in", "out", "5"}, undescribed, "input file is not open.\n", -1, {kSource}},
      {{"in", "out", "x", "-b", "-q"}, none, "-b option syntax error.\n", -1, {kSource}},
      {{"in", "out", "x"}, none, "size parameter syntax error.\n", -1, {kSource}},
      {{"in", "out", "1"}, tell_fails, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "1", "-o-950"}, none, "filesize:900 size:1 offset:-50\nread file seek error.\n", -1, {kSource}},
      {{"in", "in", "5"}, same_file, "filesize:900 size:5 offset:0\noutput file is the input file.\n", -1, {kDestination, kSource}},
      {{"in", "out", "-5"}, grown, "filesize:901 size:5 offset:896\nfile read error.\n", -1, {kDestination, kSource}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SetUp();
    files.source = pattern(900);
    c.arrange(files);
    std::vector<char*> argv{const_cast<char*>("dravlet")};
    for (const char* argument : c.arguments) argv.push_back(const_cast<char*>(argument));
    const std::string label = c.arguments.size() > 2 ? c.arguments[2] : "";
    EXPECT_EQ(run_dravlet(static_cast<int>(argv.size()), argv.data()), c.status) << label;
    EXPECT_EQ(files.output, c.output) << label;
    // The report line, and only it, is flushed: before any byte is copied.
    const std::string output = c.output;
    EXPECT_EQ(files.flushed, output.rfind("filesize:", 0) == 0 ? output.substr(0, output.find('\n') + 1) : "") << label;
    EXPECT_EQ(files.closed, c.closed) << label;
  }
}

}  // namespace
