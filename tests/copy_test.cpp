// The copy loop and the whole entry path, run in-process on the fake runtime.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dravlet.h"
#include "fake_runtime.h"

namespace {

constexpr int kSource = FakeFiles::kSource;
constexpr int kDestination = FakeFiles::kDestination;

// A source of length bytes whose bytes differ from their neighbours'.
std::string pattern(std::int64_t length) {
  std::string bytes;
  for (std::int64_t i = 0; i < length; ++i) bytes += static_cast<char>(i * 7 % 251);
  return bytes;
}

class FakeRuntime : public testing::Test {
 protected:
  void SetUp() override { fake_files() = FakeFiles{}; }
  FakeFiles& files = fake_files();
};

TEST_F(FakeRuntime, CopiesInChunksOfOneReadAndOneWrite) {
  struct Case {
    std::int64_t offset;
    std::int64_t size;
    bool shares_blocks;  // the file system clones
    std::vector<std::int64_t> chunks;
    std::int64_t shared;
  };
  const Case cases[] = {
      {0, 0, false, {}, 0},
      {300000, 0, false, {}, 0},
      {0, 65536, false, {65536}, 0},
      {1, 65537, false, {65536, 1}, 0},
      {5, 200000, false, {65536, 65536, 65536, 3392}, 0},
      // Whole chunks are shared, the rest is copied as before.
      {0, 200000, true, {3392}, 196608},
      {65536, 131072, true, {}, 131072},
      {0, 65535, true, {65535}, 0},
  };
  for (const Case& c : cases) {
    SetUp();
    files.source = pattern(300000);
    files.shares_blocks = c.shares_blocks;
    CopyRange range;
    range.offset = c.offset;
    range.size = c.size;
    const std::string label = std::to_string(c.offset) + "+" + std::to_string(c.size);
    EXPECT_TRUE(copy_range(kSource, "out", range)) << label;
    EXPECT_EQ(files.reads, c.chunks) << label;
    EXPECT_EQ(files.writes, c.chunks) << label;
    EXPECT_EQ(files.shared, c.shared) << label;
    EXPECT_EQ(files.destination, files.source.substr(c.offset, c.size)) << label;
    EXPECT_EQ(files.closed, std::vector<int>{kDestination}) << label;
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
  const Case cases[] = {
      {"negative start", [](FakeFiles&) {}, -1, "read file seek error.\n", false, -1},
      {"same file", [](FakeFiles& f) { f.destination_is_source = true; }, 0, "output file is the input file.\n", true,
       -1},
      {"create fails", [](FakeFiles& f) { f.create_fails = true; }, 0, "output file is not open.\n", false, -1},
      {"truncation fails", [](FakeFiles& f) { f.empty_fails = true; }, 0, "output file is not open.\n", true, -1},
      {"source shrank", [](FakeFiles& f) { f.source.resize(70000); }, 0, "file read error.\n", true, 65536},
      {"source shrank, blocks shared",
       [](FakeFiles& f) {
         f.source.resize(70000);
         f.shares_blocks = true;
       },
       0, "file read error.\n", true, 65536},
      {"source shrank into the whole chunks",
       [](FakeFiles& f) {
         f.source.resize(60000);
         f.shares_blocks = true;
       },
       0, "file read error.\n", true, 0},
      {"clone not undone", [](FakeFiles& f) { f.share_fails = true; }, 0, "file write error.\n", true, 0},
      {"disk full", [](FakeFiles& f) { f.room = 65536; }, 0, "file write error.\n", true, 65536},
      {"short write", [](FakeFiles& f) { f.room = 100; }, 0, "file write error.\n", true, 100},
      {"last chunk short", [](FakeFiles& f) { f.room = 99999; }, 0, "file write error.\n", true, 99999},
      {"close fails", [](FakeFiles& f) { f.destination_close_fails = true; }, 0, "file write error.\n", true, 100000},
      {"close fails too",
       [](FakeFiles& f) {
         f.destination_close_fails = true;
         f.room = 0;
       },
       0, "file write error.\n", true, 0},
  };
  for (const Case& c : cases) {
    SetUp();
    files.source = pattern(100000);
    c.arrange(files);
    const std::string before = files.destination;
    CopyRange range;
    range.offset = c.offset;
    range.size = 100000;
    EXPECT_FALSE(copy_range(kSource, "out", range)) << c.name;
    EXPECT_EQ(files.output, c.output) << c.name;
    EXPECT_EQ(files.destination_opened, c.opened) << c.name;
    EXPECT_EQ(files.destination, c.bytes_kept < 0 ? before : files.source.substr(0, c.bytes_kept)) << c.name;
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
  const auto sizeless = [](FakeFiles& f) { f.source_sizeless = true; };
  const auto tell_fails = [](FakeFiles& f) { f.tell_fails = true; };
  const auto grown = [](FakeFiles& f) { f.measured_size = 901; };
  const auto same_file = [](FakeFiles& f) { f.destination_is_source = true; };
  const char* usage = "usage: dravlet source destination size [-b block] [-p percent] [-o offset]\n";
  // One row for each stage that can end the run.
  const Case cases[] = {
      {{"in", "out", "2", "-b64", "-o-3"}, none, "filesize:900 size:128 offset:704\n", 0, {kDestination, kSource}},
      {{"in", "out"}, none, usage, -1, {}},
      {{"in", "out", "1", "-x"}, missing, "input file is not open.\n", -1, {}},
      {{"in", "out", "1"}, unseekable, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "2"}, sizeless, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "x", "-b", "-q"}, none, "-b option syntax error.\n", -1, {kSource}},
      {{"in", "out", "x"}, none, "size parameter syntax error.\n", -1, {kSource}},
      // A failed tell is taken as the size, and no start lies within it.
      {{"in", "out", "1"}, tell_fails, "filesize:-1 size:1 offset:0\nfile size range error.\n", -1, {kSource}},
      {{"in", "out", "1", "-o-950"}, none, "filesize:900 size:1 offset:-50\nread file seek error.\n", -1, {kSource}},
      {{"in", "in", "5"},
       same_file,
       "filesize:900 size:5 offset:0\noutput file is the input file.\n",
       -1,
       {kDestination, kSource}},
      {{"in", "out", "-5"}, grown, "filesize:901 size:5 offset:896\nfile read error.\n", -1, {kDestination, kSource}},
  };
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
