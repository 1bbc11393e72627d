// The arithmetic that turns the options and the size argument into a range.
#include <gtest/gtest.h>

#include <vector>

#include "dravlet.h"

namespace {

constexpr std::int64_t kMax = INT64_MAX;
constexpr std::int64_t kMin = INT64_MIN;

struct OptionCase {
  std::int64_t filesize;
  std::vector<const char*> options;
  const char* message;  // null when every option is accepted
  std::int64_t block;
  std::int64_t offset;
  bool offset_given;
};

TEST(Options, SetBlockAndStart) {
  const OptionCase cases[] = {
      {900, {"-b64", "-o-3"}, nullptr, 64, 704, true},
      {900, {"-b4", "-b", "-o1"}, "-b option syntax error.\n", 4, 0, false},
      // Text after a number is refused, not read as a unit; white space is
      // not text.
      {900, {"-b4k"}, "-b option syntax error.\n", 1, 0, false},
      {900, {"-b0x200"}, "-b option syntax error.\n", 1, 0, false},
      {900, {"-b512 \r\n", "-o12s"}, "-o option syntax error.\n", 512, 0, false},
      {900, {"-p50%%"}, "-p option syntax error.\n", 1, 0, false},
      {900, {"-p50 %"}, "-p option syntax error.\n", 1, 0, false},
      {900, {"-p50% "}, nullptr, 1, 450, true},
      {900, {"-bogus"}, "-b option syntax error.\n", 1, 0, false},
      {900, {"-b8", "-B512", "-b"}, "unknown option error.\n", 8, 0, false},
      {900, {"-b8", "", "-b"}, "unknown option error.\n", 8, 0, false},
      {900, {"-"}, "unknown option error.\n", 1, 0, false},
      {900, {"in500"}, "unknown option error.\n", 1, 0, false},
      {900, {"-b3", "-b5"}, nullptr, 5, 0, false},
      {900, {"-b-7"}, nullptr, -7, 0, false},
      // Percentages of the whole blocks, rounded down to a block boundary.
      {900, {"-p50"}, nullptr, 1, 450, true},
      {900, {"-b64", "-p50"}, nullptr, 64, 448, true},
      {900, {"-b512", "-p50"}, nullptr, 512, 0, true},
      {900, {"-p50", "-b512"}, nullptr, 512, 450, true},
      {900, {"-p50%"}, nullptr, 1, 450, true},
      {900, {"-p0"}, nullptr, 1, 0, true},
      {900, {"-p100"}, nullptr, 1, 900, true},
      {900, {"-b64", "-p100"}, nullptr, 64, 896, true},
      {900, {"-b-64", "-p50"}, nullptr, -64, 448, true},
      {kMax, {"-p50"}, nullptr, 1, kMax / 2, true},
      {kMax, {"-p100"}, nullptr, 1, kMax, true},
      {kMax, {"-p99"}, nullptr, 1, 9131138316486228048, true},
      {900, {"-p101"}, "-p option range error.\n", 1, 0, false},
      {900, {"-p-1"}, "-p option range error.\n", 1, 0, false},
      {900, {"-b0", "-p50"}, "-p option range error.\n", 0, 0, false},
      {900, {"-p10", "-b0"}, nullptr, 0, 90, true},
      {900, {"-p"}, "-p option syntax error.\n", 1, 0, false},
      {900, {"-px"}, "-p option syntax error.\n", 1, 0, false},
      // Offsets in blocks, negative ones back from the last whole block.
      {900, {"-o900"}, nullptr, 1, 900, true},
      {900, {"-o901"}, "-o option range error.\n", 1, 0, false},
      {900, {"-o-1"}, nullptr, 1, 899, true},
      {900, {"-b64", "-o-1"}, nullptr, 64, 832, true},
      {900, {"-o-950"}, nullptr, 1, -50, true},
      {900, {"-b0", "-o5"}, nullptr, 0, 0, true},
      {900, {"-b-1", "-o5"}, nullptr, -1, 895, true},
      {900, {"-b-1", "-o-5"}, nullptr, -1, 5, true},
      {900, {"-o-5", "-p10"}, nullptr, 1, 90, true},
      {900, {"-o"}, "-o option syntax error.\n", 1, 0, false},
      {900, {"-o+"}, "-o option syntax error.\n", 1, 0, false},
      {900, {"-o9223372036854775808"}, "-o option syntax error.\n", 1, 0, false},
      {900, {"-b2", "-o451"}, "-o option range error.\n", 2, 0, false},
      {900, {"-o-9223372036854775808"}, nullptr, 1, kMin + 900, true},
      {900, {"-b2", "-o4611686018427387904"}, "-o option range error.\n", 2, 0, false},
      {900, {"-b2", "-o-4611686018427387905"}, "-o option range error.\n", 2, 0, false},
  };
  for (const OptionCase& c : cases) {
    CopyRange range{.filesize = c.filesize};
    const char* message =
        scan_options(range, static_cast<int>(c.options.size()), const_cast<char* const*>(c.options.data()));
    const std::string label = c.options.empty() ? "" : c.options.back();
    EXPECT_STREQ(message, c.message) << label;
    EXPECT_EQ(range.block, c.block) << label;
    EXPECT_EQ(range.offset, c.offset) << label;
    EXPECT_EQ(range.offset_given, c.offset_given) << label;
  }
}

struct SizeCase {
  std::int64_t filesize;
  std::int64_t block;
  std::int64_t offset;
  bool offset_given;
  const char* size_argument;
  const char* message;  // from resolve_range, else from check_start
  std::int64_t offset_after;
  std::int64_t size_reported;
  std::int64_t size_copied;
};

TEST(SizeRule, ResolvesChecksAndClips) {
  const SizeCase cases[] = {
      {500, 1, 0, false, "100", nullptr, 0, 100, 100},
      {500, 1, 0, false, "800", nullptr, 0, 800, 500},
      {500, 1, 0, false, "501", nullptr, 0, 501, 500},
      {500, 1, 0, false, "499", nullptr, 0, 499, 499},
      {500, 1, 1, true, "500", nullptr, 1, 500, 499},
      {500, 1, 0, false, "-100", nullptr, 400, 100, 100},
      {500, 1, 0, false, "-800", nullptr, 0, 800, 500},
      {500, 1, 0, false, " +12 ", nullptr, 0, 12, 12},
      {500, 1, 0, false, " +12abc", "size parameter syntax error.\n", 0, 0, 0},
      {500, 1, 0, false, "1M", "size parameter syntax error.\n", 0, 0, 0},
      {500, 1, 0, false, "12%", "size parameter syntax error.\n", 0, 0, 0},
      {500, 1, 0, false, "-0", nullptr, 0, 0, 0},
      {0, 1, 0, false, "10", nullptr, 0, 10, 0},
      {500, 1, 0, false, "abc", "size parameter syntax error.\n", 0, 0, 0},
      {500, 1, 0, false, "", "size parameter syntax error.\n", 0, 0, 0},
      {500, 1, 0, false, "9223372036854775808", "size parameter syntax error.\n", 0, 0, 0},
      // Blocks: a negative size without a start counts back from the end of
      // the last whole block.
      {900, 64, 0, false, "2", nullptr, 0, 128, 128},
      {900, 64, 0, false, "-2", nullptr, 768, 128, 128},
      {900, 64, 704, true, "2", nullptr, 704, 128, 128},
      {900, 64, 704, true, "-2", nullptr, 576, 128, 128},
      {900, 0, 450, true, "7", nullptr, 450, 0, 0},
      {900, -1, 0, false, "10", nullptr, 890, 10, 10},
      {900, -1, 100, true, "10", nullptr, 90, 10, 10},
      // A start at or below 0.
      {900, 1, 900, true, "5", nullptr, 900, 5, 0},
      {900, 1, 900, true, "-10", nullptr, 890, 10, 10},
      {900, 1, -50, true, "-10", nullptr, 0, 10, 10},
      {900, 1, -50, true, "9223372036854775807", nullptr, -50, kMax, 950},
      {900, 1, kMin + 900, true, "9223372036854775807", nullptr, kMin + 900, kMax, kMax},
      {900, 1, kMin + 900, true, "-9223372036854775807", nullptr, 0, kMax, 900},
      {900, 1, 901, true, "0", "file size range error.\n", 901, 0, 0},
      // Lengths beyond the 64-bit range.
      {900, 2, 0, false, "4611686018427387904", "size parameter range error.\n", 0, 0, 0},
      {900, -2, 0, false, "4611686018427387904", "size parameter range error.\n", 0, 0, 0},
      {900, 1, 0, false, "-9223372036854775808", "size parameter range error.\n", 0, 0, 0},
      {900, 2, 0, false, "-4611686018427387904", "size parameter range error.\n", 0, 0, 0},
  };
  for (const SizeCase& c : cases) {
    CopyRange range{.filesize = c.filesize, .block = c.block, .offset = c.offset, .offset_given = c.offset_given};
    const char* message = resolve_range(range, c.size_argument);
    if (message == nullptr) {
      EXPECT_EQ(range.offset, c.offset_after) << c.size_argument;
      EXPECT_EQ(range.size, c.size_reported) << c.size_argument;
      message = check_start(range);
      clip_range(range);
      if (message == nullptr) {
        EXPECT_EQ(range.size, c.size_copied) << c.size_argument;
      }
    }
    EXPECT_STREQ(message, c.message) << c.size_argument;
  }
}
}  // namespace
