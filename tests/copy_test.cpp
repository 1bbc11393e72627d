// The copy loop and the whole entry path, run in-process on the fake runtime.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "dravlet.h"
#include "fake_runtime.h"

namespace {

constexpr int kSource = FakeFiles::kSource;
constexpr int kDestination = FakeFiles::kDestination;

// Whether a copy that kept holes shows it: no byte written or shared in a
// hole of the range, where the destination is a file that keeps holes.
bool holes_kept(const Fake& fake, const Layout& layout, std::int64_t start, std::int64_t size) {
  if (size <= kChunkSize || fake.files.destination_info.kind != rt::Kind::kRegular || fake.files.streams) return true;
  std::int64_t hole = start;
  for (const auto& extent : layout.data) {
    if (fake.allocated_between(hole - start, extent.first - start)) return false;
    hole = extent.second;
  }
  return !fake.allocated_between(hole - start, size);
}

// Copies ranges of layouts with each means answering whole, short, 0 or
// failing, extensions failing from one of their calls on, and checks only
// what arrives: the range's bytes, the holes kept as holes, and the message
// and status of the plain chunked copy of the same range on the same
// source, or, where an extension failed, a failed write and a prefix. The
// rows are a sample of every column's product, from a seed that a failure
// prints and DRAVLET_SEED sets.
TEST(Copy, EveryMeansGivesTheChunkedCopysResult) {
  // How the kernel's copy (failing from its second call on) and the clone,
  // where the file system clones, answer: whole, short, 0 or failing.
  const Answer answers[] = {Answer::kWhole, Answer::kShort, Answer::kNothing, Answer::kFails};
  // ext4, XFS (which also reserves space past a file's end), Btrfs, and a
  // file system that tells where the data is once, then no more.
  const struct {
    bool clones, reserves, tells_once;
  } file_systems[] = {{false, false, false}, {true, true, false}, {true, false, false}, {false, false, true}};
  // A new destination, an existing one (emptied first), one made by another
  // between the check and the make, as a stream (which takes every byte in
  // order), and a device, which takes every byte, with calls cut short as by
  // signals.
  enum class Destination { kNew, kExisting, kStream, kDevice };
  const std::int64_t starts[] = {0, 1, 65535};
  const std::int64_t sizes[] = {1, 65535, 65536, 65537, 100000, -1};  // -1: to the end
  const char* seeded = std::getenv("DRAVLET_SEED");
  const unsigned seed = seeded != nullptr ? static_cast<unsigned>(std::atol(seeded)) : std::random_device{}();
  std::mt19937 random(seed);
  const auto pick = [&](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
  std::vector<std::string> patterns;
  for (const Layout& layout : kLayouts) patterns.push_back(pattern(layout.length, &layout.data));
  int failures = 0;
  for (int row = 0; row < 2500 && failures < 10; ++row) {
    const Layout& layout = kLayouts[pick(10)];
    const std::int64_t start = std::min(starts[pick(3)], layout.length);
    const std::int64_t asked = sizes[pick(6)];
    const auto destination = static_cast<Destination>(pick(4));
    const std::int64_t shrunk = pick(2) * layout.length / 3;
    const auto& fs = file_systems[pick(4)];
    const Answer kernel = answers[pick(4)];
    const Answer clone = fs.clones ? answers[pick(4)] : Answer::kWhole;
    const int extension = pick(5) - 1;  // the first resize that fails, or -1
    const std::string& whole = patterns[&layout - kLayouts];
    const std::int64_t size = asked < 0 ? layout.length - start : std::min(asked, layout.length - start);
    const std::string_view range =
        std::string_view(whole).substr(static_cast<std::size_t>(start), static_cast<std::size_t>(size));
    FakeFiles files;
    files.data = layout.data;
    files.source = std::string_view(whole).substr(0, static_cast<std::size_t>(layout.length - shrunk));
    std::vector<Fault> faults;
    files.destination_exists = destination == Destination::kExisting;
    if (destination == Destination::kStream) faults.push_back({Call::kCreate, Answer::kExists});
    if (destination == Destination::kDevice) {
      files.destination_info.kind = rt::Kind::kBlockDevice, files.destination.clear();
      faults.insert(faults.end(), {{Call::kReadAt, Answer::kShort}, {Call::kWriteAt, Answer::kShort}});
    }
    if (extension >= 0) faults.push_back({Call::kResize, Answer::kFails, extension});
    // The plain copy is done with before the other begins, so that both
    // write into one destination's memory.
    bool plain_copied = false;
    std::string plain_output;
    int plain_resizes = 0;
    {
      Fake plain(files, faults);
      plain_copied = plain.copy(start, size);
      plain_output = plain.output;
      plain_resizes = plain.faults.seen[static_cast<int>(Call::kResize)];
    }
    FakeFiles with = files;
    with.reports_holes = with.copies_in_kernel = true;
    with.clones = fs.clones, with.reserves_past_end = fs.reserves;
    with.streams = destination == Destination::kStream;
    faults.insert(faults.end(), {{Call::kKernelCopy, kernel, kernel == Answer::kFails ? 1 : 0}, {Call::kClone, clone}});
    if (fs.tells_once) faults.push_back({Call::kFindData, Answer::kFails, 1});
    Fake fake(with, faults);
    const bool copied = fake.copy(start, size);
    const std::string& written = fake.files.destination;
    // A copy that failed before it emptied the destination leaves it as it
    // was; else it holds a prefix of the range, and zeros past it where an
    // extension was not cut back, as the file system refused that too.
    const bool fits = written.size() <= range.size();
    bool prefix = fits && range.compare(0, written.size(), written) == 0;
    std::size_t same = 0;
    while (!prefix && fits && extension >= 0 && same < written.size() && written[same] == range[same]) ++same;
    prefix = prefix || (fits && extension >= 0 && written.find_first_not_of('\0', same) == std::string::npos);
    const bool untouched = !copied && written == files.destination;
    // Holes stay holes in a file, of any size, where the range is longer
    // than a chunk and the file system tells where they are; a device and a
    // stream take every zero.
    const bool kept = !copied || fs.tells_once || holes_kept(fake, layout, start, size);
    // A failed extension, which the plain copy never makes, fails the copy:
    // with a failed write, or the failure it was cutting back after.
    const int resizes = fake.faults.seen[static_cast<int>(Call::kResize)];
    const bool extension_failed = extension >= 0 && resizes > extension && plain_resizes <= extension;
    const bool as_plain = copied == plain_copied && fake.output == plain_output;
    const bool failed_write = !copied && (fake.output == "file write error.\n" || as_plain);
    if (!(extension_failed ? failed_write : as_plain) || !(prefix || untouched) || !kept ||
        (copied && written.size() != range.size())) {
      ADD_FAILURE() << "seed " << seed << " row " << row << ": layout " << (&layout - kLayouts) << " -o" << start
                    << " size " << size << " shrunk " << shrunk << " destination " << static_cast<int>(destination)
                    << " file system " << (&fs - file_systems) << " kernel " << static_cast<int>(kernel) << " clone "
                    << static_cast<int>(clone) << " extension " << extension << ": " << fake.output
                    << " (plain: " << plain_output << ")" << (prefix ? "" : " not a prefix")
                    << (kept ? "" : " holes written");
      ++failures;
    }
  }
}

TEST(Copy, FailedCopyPrintsOneMessageAndClosesTheDestination) {
  struct Case {
    const char* name;
    void (*arrange)(FakeFiles&);
    std::vector<Fault> faults;
    std::int64_t offset;
    const char* output;
    bool opened;
    std::int64_t bytes_kept;  // bytes of the range in the destination; -1: as it was
  };
  const auto none = [](FakeFiles&) {};
  static const auto shrunk = [](FakeFiles& f) { f.source = f.source.substr(0, 70000); };
  const Fault cut_short[] = {{Call::kReadAt, Answer::kShort}, {Call::kWriteAt, Answer::kShort}};
  // clang-format off
  const Case cases[] = {
      {"negative start", none, {}, -1, "read file seek error.\n", false, -1},
      {"same file", [](FakeFiles& f) { f.destination_info.storage = f.source_info.storage; }, {}, 0, "output file is the input file.\n", true, -1},
      {"a raw disk", [](FakeFiles& f) { f.destination_info.kind = rt::Kind::kBlockDevice, f.destination_info.whole_sectors = true; }, {}, 0, "output file is not open.\n", true, -1},
      {"a read-only device", [](FakeFiles& f) { f.destination_info.kind = rt::Kind::kBlockDevice, f.destination_info.read_only = true; }, {}, 0, "output file is not open.\n", true, -1},
      {"identity unknown", none, {{Call::kDescribe, Answer::kFails}}, 0, "output file may be the input file.\n", true, -1},
      {"create fails", [](FakeFiles& f) { f.destination_exists = false, f.destination.clear(); }, {{Call::kCreate, Answer::kFails}}, 0, "output file is not open.\n", false, -1},
      {"truncation fails", none, {{Call::kResize, Answer::kFails}}, 0, "output file is not open.\n", true, -1},
      {"source shrank", shrunk, {}, 0, "file read error.\n", true, 70000},
      {"clone not undone", [](FakeFiles& f) { f.destination_exists = false, f.clones = true; }, {{Call::kClone, Answer::kShort}, {Call::kResize, Answer::kFails}}, 0, "file write error.\n", true, 65536},
      // An extension over a hole that fails is a failed write.
      {"not extended", [](FakeFiles& f) { f.reports_holes = true, f.data = {{0, 70000}}; }, {{Call::kResize, Answer::kFails, 1}}, 0, "file write error.\n", true, 70000},
      {"disk full", [](FakeFiles& f) { f.room = 65536; }, {}, 0, "file write error.\n", true, 65536},
      // The destination extended over the hole after the data is cut back.
      {"disk full before a hole", [](FakeFiles& f) { f.reports_holes = true, f.data = {{0, 90000}, {99000, 100000}}, f.room = 80000, f.reserves_past_end = true; }, {}, 0, "file write error.\n", true, 80000},
      {"disk full, the kernel copying", [](FakeFiles& f) { f.room = 70000, f.copies_in_kernel = true; }, {}, 0, "file write error.\n", true, 70000},
      {"short write", [](FakeFiles& f) { f.room = 100; }, {}, 0, "file write error.\n", true, 100},
      {"last chunk short", [](FakeFiles& f) { f.room = 99999; }, {}, 0, "file write error.\n", true, 99999},
      {"interrupted, then short", shrunk, {cut_short[0], cut_short[1]}, 0, "file read error.\n", true, 70000},
      {"close fails", none, {{Call::kClose, Answer::kFails}}, 0, "file write error.\n", true, 100000},
      {"close fails too", [](FakeFiles& f) { f.room = 0; }, {{Call::kClose, Answer::kFails}}, 0, "file write error.\n", true, 0},
  };
  // clang-format on
  const std::string bytes = pattern(100000);
  for (const Case& c : cases) {
    FakeFiles files;
    files.source = bytes;
    c.arrange(files);
    Fake fake(files, c.faults);
    EXPECT_FALSE(fake.copy(c.offset, 100000)) << c.name;
    EXPECT_EQ(fake.output, c.output) << c.name;
    EXPECT_EQ(fake.destination_opened, c.opened) << c.name;
    EXPECT_EQ(fake.files.destination, c.bytes_kept < 0 ? files.destination : pattern(100000).substr(0, c.bytes_kept))
        << c.name;
    EXPECT_EQ(fake.closed, c.opened ? std::vector<int>{kDestination} : std::vector<int>{}) << c.name;
  }
}

// A created destination is never readable by anyone who cannot read the
// source: read and write for the owner, the source's bits for the others,
// and the group's, where they grant more than the others', only where the
// new file's group is the source's (-1: it cannot be told).
TEST(Copy, ACreatedDestinationTakesTheSourcesBitsForTheOthers) {
  const struct {
    int source, created;
    std::int64_t group = 100;
  } modes[] = {{0600, 0600},  {0640, 0640},    {0644, 0644},    {0666, 0666},    {0755, 0644},
               {04444, 0644}, {0640, 0600, 7}, {0664, 0604, 7}, {0644, 0644, 7}, {0660, 0600, -1}};
  const std::string bytes = pattern(100);
  for (const auto& mode : modes) {
    FakeFiles files;
    files.source = bytes;
    files.destination_exists = false;
    files.source_info.permissions = mode.source;
    files.new_group = mode.group;
    Fake fake(files);
    EXPECT_TRUE(fake.copy(0, 10));
    EXPECT_EQ(fake.mode, mode.created) << mode.source;
  }
}

// What only the fake can make (the random stacks of the end-to-end suite
// try the rest): devices made of others, as device-mapper and md make them,
// of more members than a level was once given room for; two numbers of one
// file system (subvolumes); an overlay's layer; a file system on an image;
// storage this namespace cannot name (kHidden), or names by number alone;
// a stack as deep as the bound and deeper, or wider than its levels; a
// level not told, against a file to be made where nothing lies below it
// and where something does.
TEST(Copy, WritesWhereItReadsWhereTheStorageBelowMeets) {
  const rt::Window whole{0, rt::kStorageEnd};
  const auto on = [&](std::uint64_t device, rt::Window window = {0, rt::kStorageEnd}) {
    return rt::Lower{rt::Layer::kDevice, device, {}, {}, window};
  };
  const auto layer = [&](std::uint64_t volume) { return rt::Lower{rt::Layer::kFileSystem, 0, {}, {0, volume}, whole}; };
  const rt::Lower image{rt::Layer::kFile, 0, {100, {7, 0}}, {0, 100}, whole};
  const rt::Lower hidden{rt::Layer::kHidden, 0, {}, {}, whole};
  // 10, 20: disks; 11, 12: partitions of 10; 13: over 11 and 20; 50: over a
  // device that cannot be told; 70: over ten partitions 60-69 of 10; 80: a
  // loop device over the image, file 7 of file system 100; 25-41: each over
  // the one before, down to the disk 24; 90: over 300 devices.
  std::map<std::uint64_t, std::vector<rt::Lower>> devices{{10, {}},
                                                          {20, {}},
                                                          {24, {}},
                                                          {11, {on(10, {0, 1000})}},
                                                          {12, {on(10, {1000, 2000})}},
                                                          {13, {on(11), on(20)}},
                                                          {50, {on(51)}},
                                                          {80, {image}},
                                                          {90, std::vector<rt::Lower>(300, on(20))}};
  for (std::uint64_t member = 60; member < 70; ++member) {
    devices[member] = {on(10, {static_cast<std::int64_t>(member) * 10, static_cast<std::int64_t>(member) * 10 + 10})};
    devices[70].push_back(on(member));
  }
  for (std::uint64_t loop = 25; loop < 42; ++loop) devices[loop] = {on(loop - 1)};
  // File systems by the number their files report: 102 is a subvolume of
  // 101, 104 an overlay on 100, 105 a container's root, 106 a tmpfs, 108 on
  // the image.
  const std::map<std::uint64_t, FakeFiles::Mounted> mounts{
      {100, {100, {on(11)}}}, {101, {101, {on(12)}}},     {102, {101, {on(12)}}},
      {103, {103, {on(13)}}}, {104, {104, {layer(100)}}}, {105, {105, {hidden}}},
      {106, {106, {}}},       {108, {108, {image}}},      {109, {109, {on(70)}}}};
  const auto file = [](std::uint64_t volume, std::uint64_t inode = 0, std::uint64_t high = 0) {
    return rt::FileInfo{
        rt::Kind::kRegular, {volume, {inode == 0 ? volume + 1 : inode, high}}, {0, volume}, false, false, 0644, 100};
  };
  const auto device = [](std::uint64_t number) {
    return rt::FileInfo{rt::Kind::kBlockDevice, {rt::kDevices, {number, 0}}, {}, false, false, 0660, 6};
  };
  // A file of a layer that cannot be named, known by its number 5.
  const std::vector<rt::Lower> by_number{{rt::Layer::kFile, 0, {rt::kAnyVolume, {5, 0}}, {}, whole}, hidden};
  const char* same = "output file is the input file.\n";
  const char* untold = "output file may be the input file.\n";
  const struct {
    rt::FileInfo source, destination;
    const char* output;
    bool made = false;  // the destination is still to be made
    std::int64_t size = 10;
    std::vector<rt::Lower> source_below = {}, destination_below = {};
  } cases[] = {
      {file(100), device(13), same},
      {file(103), device(20), same},
      {file(101), file(102), ""},
      {file(101), device(11), ""},
      {device(12), file(100), ""},
      {device(11), device(13), same},
      {file(104), device(11), same},
      {file(104), file(100), ""},
      {file(100), file(103), same},
      {file(109), device(69), same},
      {file(108), file(100, 7), same},
      {device(80), file(100, 7), same, false, 0},
      {file(105), device(20), untold},
      {file(105), file(100), ""},
      {device(20), file(105), untold},
      {file(100), device(50), untold},
      {device(40), file(100), ""},
      {device(41), file(100), untold},
      {file(100), device(90), untold},
      {file(110), file(106), "", true},
      {file(110), file(100), untold, true},
      {file(111), file(100, 5), untold, false, 10, by_number},
      {file(111), file(100, 6), "", false, 10, by_number},
      {file(100, 5), file(111), untold, false, 10, {}, by_number},
      {file(100, 5), file(100, 5, 1), ""},
  };
  const std::string bytes = pattern(100);
  for (const auto& c : cases) {
    FakeFiles files;
    files.source = bytes;
    files.source_info = c.source;
    files.destination_info = c.destination;
    files.destination_exists = !c.made;
    files.devices = devices;
    files.mounts = mounts;
    files.source_below = c.source_below;
    files.destination_below = c.destination_below;
    Fake fake(files);
    const std::string label = std::to_string(&c - cases);
    EXPECT_EQ(fake.copy(0, c.size), *c.output == '\0') << label;
    EXPECT_EQ(fake.output, c.output) << label;
    // A refused file to be made is never made.
    EXPECT_EQ(fake.files.destination_exists, !c.made || *c.output == '\0') << label;
  }
}

TEST(Run, PrintsReportAndClosesDestinationBeforeSource) {
  struct Case {
    std::vector<const char*> arguments;
    void (*arrange)(FakeFiles&);
    std::vector<Fault> faults;
    const char* output;
    int status;
    std::vector<int> closed;
  };
  const auto none = [](FakeFiles&) {};
  const auto sizeless = [](FakeFiles& f) { f.source_info.kind = rt::Kind::kOther; };
  const auto made_up = [](FakeFiles& f) { f.sizes = rt::Sizes::kMadeUp; };
  // sysfs: a text attribute of 900 bytes reports a page, a binary one its
  // length; the copy takes the bytes of the measure's read.
  // clang-format off
  const auto text = [](FakeFiles& f) { f.sizes = rt::Sizes::kLengthsOrPage, f.reported_size = 4096, f.changes_when_read = true; };
  const auto binary = [](FakeFiles& f) { f.sizes = rt::Sizes::kLengthsOrPage, f.reported_size = 4095; };
  // procfs: 0 is no length, another size is.
  const auto proc_text = [](FakeFiles& f) { f.sizes = rt::Sizes::kLengthsAboveZero, f.reported_size = 0; };
  const auto proc_length = [](FakeFiles& f) { f.sizes = rt::Sizes::kLengthsAboveZero; };
  const auto raw_disk = [](FakeFiles& f) { f.source_info.kind = rt::Kind::kBlockDevice, f.source_info.whole_sectors = true; };
  const auto directory = [](FakeFiles& f) { f.source_info.kind = rt::Kind::kDirectory; };
  const auto grown = [](FakeFiles& f) { f.reported_size = 901; };
  const auto same_file = [](FakeFiles& f) { f.destination_info.storage = f.source_info.storage; };
  const char* usage = "usage: dravlet source destination size [-b block] [-p percent] [-o offset]\n";
  // One row for each stage that can end the run.
  const Case cases[] = {
      {{"in", "out", "2", "-b64", "-o-3"}, none, {}, "filesize:900 size:128 offset:704\n", 0, {kDestination, kSource}},
      {{"in", "out"}, none, {}, usage, -1, {}},
      {{"in", "out", "1", "-x"}, none, {{Call::kOpenSource, Answer::kFails}}, "input file is not open.\n", -1, {}},
      {{"in", "out", "1"}, none, {{Call::kSeekEnd, Answer::kFails}}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "2"}, sizeless, {}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "3"}, made_up, {}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "3"}, proc_text, {}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "3"}, proc_length, {}, "filesize:900 size:3 offset:0\n", 0, {kDestination, kSource}},
      {{"in", "out", "-3"}, text, {}, "filesize:900 size:3 offset:897\n", 0, {kDestination, kSource}},
      {{"in", "out", "-3"}, text, {{Call::kReadAt, Answer::kFails}}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "-3"}, binary, {}, "filesize:4095 size:3 offset:4092\nfile read error.\n", -1, {kDestination, kSource}},
      {{"in", "out", "3"}, raw_disk, {}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "4"}, directory, {}, "input file is not open.\n", -1, {kSource}},
      {{"in", "out", "5"}, none, {{Call::kDescribe, Answer::kFails}}, "input file is not open.\n", -1, {kSource}},
      {{"in", "out", "x", "-b", "-q"}, none, {}, "-b option syntax error.\n", -1, {kSource}},
      // The real number reader refuses what lies outside the 64-bit range.
      {{"in", "out", "1", "-b99999999999999999999"}, none, {}, "-b option syntax error.\n", -1, {kSource}},
      {{"in", "out", "x"}, none, {}, "size parameter syntax error.\n", -1, {kSource}},
      {{"in", "out", "1"}, none, {{Call::kFileSizes, Answer::kFails}}, "input file seek end error.\n", -1, {kSource}},
      {{"in", "out", "1", "-o-950"}, none, {}, "filesize:900 size:1 offset:-50\nread file seek error.\n", -1, {kSource}},
      {{"in", "out", "0", "-o-950"}, none, {}, "filesize:900 size:0 offset:-50\nread file seek error.\n", -1, {kSource}},
      {{"in", "in", "5"}, same_file, {}, "filesize:900 size:5 offset:0\noutput file is the input file.\n", -1, {kDestination, kSource}},
      {{"in", "out", "-5"}, grown, {}, "filesize:901 size:5 offset:896\nfile read error.\n", -1, {kDestination, kSource}},
  };
  // clang-format on
  const std::string bytes = pattern(900);
  for (const Case& c : cases) {
    FakeFiles files;
    files.source = bytes;
    c.arrange(files);
    Fake fake(files, c.faults);
    const std::string label = c.arguments.size() > 2 ? c.arguments[2] : "";
    EXPECT_EQ(fake.run(c.arguments), c.status) << label;
    EXPECT_EQ(fake.output, c.output) << label;
    // The report line, and only it, is out before the first byte copied.
    const std::string output = c.output;
    const std::string report = output.rfind("filesize:", 0) == 0 ? output.substr(0, output.find('\n') + 1) : "";
    EXPECT_EQ(fake.reported, c.status == 0 || !fake.reported.empty() ? report : "") << label;
    EXPECT_EQ(fake.closed, c.closed) << label;
  }
}

}  // namespace
