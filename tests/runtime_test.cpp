// The real runtime unit of this platform.
#include "runtime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#else
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

// A folder of its own for each test's files, removed with them at its end.
class Folder : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() / ("dravlet-runtime-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(std::filesystem::create_directory(path_));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  // The path of name in the folder, in UTF-8 as the runtime takes it; a file
  // of ten digits there when one is asked for.
  std::string file(const char* name, bool digits = false) {
    const std::string path = path_.string() + "/" + name;
    if (digits) std::ofstream(path, std::ios::binary) << "0123456789";
    return path;
  }

 private:
  std::filesystem::path path_;
};

TEST(Runtime, ScansSigned64BitDecimals) {
  struct Case {
    const char* text;
    bool read;
    std::int64_t value;
    const char* rest;  // what follows the number
  };
  const Case cases[] = {
      {"512", true, 512, ""},
      {" \t\n+7", true, 7, ""},
      {"-0", true, 0, ""},
      {"12abc", true, 12, "abc"},
      {"4k\r\n", true, 4, "k\r\n"},
      {"0x10", true, 0, "x10"},
      {"12\xFF", true, 12, "\xFF"},
      {"9223372036854775807", true, INT64_MAX, ""},
      {"-9223372036854775808", true, INT64_MIN, ""},
      {"9223372036854775808", false, 0, nullptr},
      {"-9223372036854775809", false, 0, nullptr},
      {"99999999999999999999999", false, 0, nullptr},
      // An overflow is not carried into the next scan.
      {"1", true, 1, ""},
      {"", false, 0, nullptr},
      {"abc", false, 0, nullptr},
      {"-", false, 0, nullptr},
      {"+-1", false, 0, nullptr},
      {"- 1", false, 0, nullptr},
  };
  for (const Case& c : cases) {
    std::int64_t value = 0;
    const char* rest = nullptr;
    EXPECT_EQ(rt::scan_i64(c.text, &value, &rest), c.read) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    EXPECT_STREQ(rest, c.rest) << '"' << c.text << '"';
  }
}

// What the source's open and measure make of each kind of file. The open
// must neither wait (a FIFO without a writer) nor allow writing.
TEST_F(Folder, OpensSourcesReadOnlyAndMeasuresOnlyFilesWithASize) {
  const std::string source = file("source", true);
  const std::string missing = file("missing");
  struct Case {
    const char* path;
    bool opens;
    rt::Kind kind;
  };
  const rt::Kind regular = rt::Kind::kRegular;
  const rt::Kind other = rt::Kind::kOther;
#ifdef _WIN32
  // A lone surrogate's stand-in names no file, not even one whose name
  // holds the replacement character.
  const std::string unconvertible = file("\xFF");
  const std::string replaced = file("\xEF\xBF\xBD");
  std::fclose(_wfopen(std::wstring(replaced.begin(), replaced.end() - 3).append(L"\xFFFD").c_str(), L"wb"));
  const Case cases[] = {
      {source.c_str(), true, regular},       {"NUL", true, other}, {".", false, other}, {missing.c_str(), false, other},
      {unconvertible.c_str(), false, other},
  };
#else
  const std::string fifo = file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Case cases[] = {
      {source.c_str(), true, regular}, {"/dev/null", true, other},        {"/dev/zero", true, other},
      {fifo.c_str(), true, other},     {".", true, rt::Kind::kDirectory}, {missing.c_str(), false, other},
  };
#endif
  for (const Case& c : cases) {
    const int fd = rt::open_source(c.path);
    EXPECT_EQ(fd != -1, c.opens) << c.path;
    if (fd == -1) continue;
    rt::FileInfo info{};
    EXPECT_TRUE(rt::describe(fd, &info)) << c.path;
    EXPECT_EQ(info.kind, c.kind) << c.path;
    EXPECT_EQ(rt::write(fd, "x", 1), -1) << c.path << " is open for writing";
    EXPECT_EQ(rt::resize(fd, 0), -1) << c.path << " is open for writing";
    if (c.kind == regular) {
      EXPECT_EQ(rt::seek_end(fd), 10) << c.path;
    }
    rt::close(fd);
  }
}

// Reads, writes and the kernel's copy at the positions given, whatever the
// descriptors' own; a length above what one call moves is cut to that.
TEST_F(Folder, MovesBytesAtThePositionsGiven) {
  const std::string source_path = file("positions-source", true);
  const std::string destination_path = file("positions-destination");
  const int source = rt::open_source(source_path.c_str());
  bool exists = true;
  const char* name = nullptr;
  const int folder = rt::open_folder(destination_path.c_str(), &name);
  const int destination = rt::create_in(folder, name, 0600, &exists);
  ASSERT_NE(destination, -1);
  EXPECT_FALSE(exists);
  EXPECT_EQ(rt::create_in(folder, name, 0600, &exists), -1);
  EXPECT_TRUE(exists);
  rt::close(folder);
  char bytes[4] = {};
  EXPECT_EQ(rt::read_at(source, bytes, 3, 7), 3);
  EXPECT_EQ(std::string(bytes), "789");
  EXPECT_EQ(rt::write_at(destination, bytes, 3, 2), 3);
  // Where the platform has no kernel copy, the chunked copy does its work.
  const std::int64_t copied = rt::kernel_copy(source, 1, destination, 5, std::int64_t{1} << 40);
  EXPECT_TRUE(copied == -1 || copied == 9) << copied;
  rt::close(destination);
  rt::close(source);
  std::ifstream written(destination_path, std::ios::binary);
  const std::string prefix = std::string(2, '\0') + "789";
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), copied == -1 ? prefix : prefix + "123456789");
}

#ifndef _WIN32
// "M:m", as sysfs writes a device number.
std::string numbers(std::uint64_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// What a call told, a line a level below, in any order, as the systems'
// files write it: "device 8:0 2048-4096", "file images/a.img 0-end" (by its
// path in the tree), "file-system tree" (a folder of the tree), "hidden";
// "untold" where the call failed.
std::multiset<std::string> told(bool ok, const rt::Lowers& below, const std::filesystem::path& tree) {
  std::multiset<std::string> lines;
  struct stat root {};
  static_cast<void>(::stat(tree.c_str(), &root));
  for (int i = 0; ok && i < below.count; ++i) {
    const rt::Lower& lower = below.lower[i];
    const rt::Window& window = lower.window;
    std::string name = numbers(lower.file.volume) + ":" + std::to_string(lower.file.file[0]);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
      struct stat status {};
      const bool same = ::lstat(entry.path().c_str(), &status) == 0 && status.st_ino == lower.file.file[0];
      if (same && status.st_dev == lower.file.volume) name = entry.path().lexically_relative(tree).string();
    }
    const std::string where = window.start == 0 && window.end == rt::kStorageEnd
                                  ? ""
                                  : " " + std::to_string(window.start) + "-" +
                                        (window.end == rt::kStorageEnd ? "end" : std::to_string(window.end));
    const std::string text[] = {
        "device " + numbers(lower.device) + where, "file " + name + where,
        "file-system " + (lower.mount.volume == root.st_dev ? "tree" : numbers(lower.mount.volume)), "hidden"};
    lines.insert(text[static_cast<int>(lower.layer)]);
  }
  if (!ok) lines.insert("untold");
  return lines;
}

// Each captured or written system of tests/systems lays out a tree of /sys,
// /proc and the files that they name, which the runtime reads as the
// system's root, and states what the calls tell there: "= PATH" a file, its
// lines "| ..." (or "= PATH | LINE"), "> PATH -> TARGET" a link, "/ PATH" a
// folder, "~ PATH" a FIFO; "? device M:m", "? mount ID" and "? volume M:m"
// describe, "? link PATH" opens PATH's folder and follows PATH if a link;
// each followed by what it tells. Descriptors that are none tell nothing.
TEST_F(Folder, DescribesTheStorageOfCapturedSystems) {
  for (const auto& system : std::filesystem::directory_iterator(DRAVLET_SYSTEMS)) {
    const std::filesystem::path tree = file(system.path().stem().c_str());
    std::filesystem::create_directories(tree);
    rt::set_system_root(tree.c_str());
    std::ifstream in(system.path());
    std::ofstream out;
    std::string call;
    std::multiset<std::string> expected;
    const auto check = [&] {
      rt::Lower lower[64];
      rt::Lowers below{lower, 64, 0, false};
      std::uint64_t file_system = 0;
      const std::string what = call.substr(0, call.find(' '));
      const std::string number = call.substr(call.find(' ') + 1);
      const std::size_t colon = number.find(':');
      const std::uint64_t device =
          colon == std::string::npos ? 0 : makedev(std::stoul(number), std::stoul(number.substr(colon + 1)));
      std::multiset<std::string> actual;
      if (what == "device") actual = told(rt::describe_device(device, &below), below, tree);
      if (what == "mount" || what == "volume") {
        const rt::Mount mount = what == "mount" ? rt::Mount{std::stoull(number), 0} : rt::Mount{0, device};
        const bool ok = rt::describe_mount(mount, &below, &file_system);
        actual = told(ok, below, tree);
        if (ok) actual.insert("number " + numbers(file_system));
      }
      if (what == "link") {
        const char* name = nullptr;
        const std::string path = (tree / number).string();
        int folder = rt::open_folder(path.c_str(), &name);
        char kept[4096];
        actual = {folder == -1                                         ? "unopened"
                  : rt::follow_link(&folder, &name, kept, sizeof kept) ? "followed"
                                                                       : "kept",
                  "name " + std::string(name)};
        rt::close(folder);
      }
      EXPECT_EQ(actual, expected) << system.path().filename().string() << ": " << call;
      expected.clear();
    };
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("| ", 0) == 0 && out.is_open()) out << line.substr(2) << '\n';
      if (line.empty() || std::string("#|").find(line[0]) != std::string::npos) continue;
      if (std::string("=>/?~").find(line[0]) == std::string::npos) {
        expected.insert(line);
        continue;
      }
      if (!call.empty()) check();
      out.close();
      const std::string rest = line.substr(line.find(' ') + 1);
      const std::size_t bar = rest.find(" | ");
      const std::filesystem::path path = tree / rest.substr(0, rest.find(line[0] == '>' ? " -> " : " | "));
      if (line[0] != '?') std::filesystem::create_directories(line[0] == '/' ? path : path.parent_path());
      if (line[0] == '=') out.open(path), out << (bar == std::string::npos ? "" : rest.substr(bar + 3) + "\n");
      if (line[0] == '>') std::filesystem::create_symlink(rest.substr(rest.find(" -> ") + 4), path);
      if (line[0] == '~') {
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
      }
      call = line[0] == '?' ? rest : "";
    }
    if (!call.empty()) check();
  }
  rt::set_system_root("");
  rt::FileInfo info{};
  std::int64_t group = 0;
  rt::Lowers none{nullptr, 0, 0, false};
  EXPECT_FALSE(rt::describe(-1, &info) || rt::describe_file(-1, rt::Use::kRead, &none) ||
               rt::new_file_group(-1, &group));
}
#endif

#ifdef _WIN32
// A named pipe with a single instance as the destination: opened once, so
// the instance is the tool's, never taken for the source, never truncated.
TEST_F(Folder, WritesIntoANamedPipeOfOneInstance) {
  const HANDLE server = CreateNamedPipeW(L"\\\\.\\pipe\\dravlet-runtime-test", PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const std::string source_path = file("pipe-source", true);
  const int source = rt::open_source(source_path.c_str());
  const char* name = nullptr;
  bool missing = false;
  const int folder = rt::open_folder("\\\\.\\pipe\\dravlet-runtime-test", &name);
  const int pipe = rt::open_in(folder, name, &missing);
  rt::close(folder);
  ASSERT_NE(pipe, -1);
  rt::FileInfo source_info{};
  rt::FileInfo pipe_info{};
  EXPECT_TRUE(rt::describe(source, &source_info));
  EXPECT_TRUE(rt::describe(pipe, &pipe_info));
  EXPECT_EQ(pipe_info.kind, rt::Kind::kOther);
  EXPECT_FALSE(pipe_info.storage == source_info.storage);
  EXPECT_EQ(rt::write(pipe, "abc", 3), 3);
  char received[4] = {};
  DWORD count = 0;
  EXPECT_NE(ReadFile(server, received, 3, &count, nullptr), 0);
  EXPECT_STREQ(received, "abc");
  rt::close(pipe);
  rt::close(source);
  CloseHandle(server);
}

TEST(Runtime, TakesTheUtf16CommandLineAsUtf8) {
  struct Case {
    const wchar_t* argument;
    const char* utf8;
  };
  const Case cases[] = {
      {L"-b512", "-b512"},
      {L"\x30C7\x30FC\x30BF.bin", "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin"},
      {L"\x0434\x0430", "\xD0\xB4\xD0\xB0"},
      {L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {L"\xFF56", "\xEF\xBD\x96"},
      // Each side of the boundaries between UTF-8's lengths.
      {L"\x7F\x80", "\x7F\xC2\x80"},
      {L"\x7FF\x800", "\xDF\xBF\xE0\xA0\x80"},
      {L"\xFFFF\xD800\xDC00", "\xEF\xBF\xBF\xF0\x90\x80\x80"},
      // Lone and reversed surrogates.
      {L"12\xD800", "12\xFF"},
      {L"\xDC00x", "\xFFx"},
      {L"\xDE00\xD83D", "\xFF\xFF"},
      {L"", ""},
  };
  for (const Case& c : cases) {
    wchar_t* argv[] = {const_cast<wchar_t*>(L"dravlet"), const_cast<wchar_t*>(c.argument), nullptr};
    char** arguments = rt::utf8_arguments(2, argv);
    EXPECT_STREQ(arguments[0], "dravlet");
    EXPECT_STREQ(arguments[1], c.utf8);
    EXPECT_EQ(arguments[2], nullptr);
  }
}
#endif

}  // namespace
