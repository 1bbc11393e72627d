// The entry path: argument count, source, options, size rule, report, copy.
#include <string.h>

#include "checked.h"
#include "dravlet.h"
#include "runtime.h"

namespace {

constexpr int kLeastArguments = 4;  // the program's name, source, destination, size
constexpr int kFirstOption = 4;     // argv index of the first option

// Prints message and returns the failure status.
int fail(const char* message) {
  rt::print_text(message);
  return -1;
}

// Tells what the open source is. Returns null, or the message to print.
const char* describe_source(Source& source) {
  // open(2) gives a descriptor for a directory, which would only fail at the
  // first read, after the destination had been emptied.
  if (!rt::describe(source.fd, &source.info) || source.info.kind == rt::Kind::kDirectory) {
    return "input file is not open.\n";
  }
  return nullptr;
}

// Sets *sizes to what the source's size is: none for a pipe, a terminal or
// a device such as /dev/zero, whose end seek may succeed and give a
// meaningless 0, nor for a raw disk that takes whole sectors only and has no
// byte ranges; else what its file system makes of sizes. Returns false when
// the source has no length to take a range of.
bool has_length(const Source& source, rt::Sizes* sizes) {
  const rt::Kind kind = source.info.kind;
  if ((kind != rt::Kind::kRegular && kind != rt::Kind::kBlockDevice) || source.info.whole_sectors) return false;
  *sizes = rt::Sizes::kLengths;
  return (kind != rt::Kind::kRegular || rt::file_sizes(source.fd, sizes)) && *sizes != rt::Sizes::kMadeUp;
}

// Measures a sysfs text attribute, which reports a page whatever it holds,
// by reading it: a read of more than a page tells its length, and the page
// of a binary attribute that long. The copy takes the bytes of that read,
// which the next one, of another size or later, might not give again.
// Returns the length, or -1.
int64_t hold_attribute(Source& source, int64_t page) {
  int64_t length = -1;
  source.measured_bytes = hold_source(source.fd, page + 1, &length);
  return length;
}

// Measures the open source into range.filesize, leaving it positioned at
// its end. Returns null, or the message to print.
const char* measure_source(Source& source, CopyRange& range) {
  constexpr const char* kUnmeasured = "input file seek end error.\n";
  rt::Sizes sizes = rt::Sizes::kLengths;
  if (!has_length(source, &sizes)) return kUnmeasured;
  range.filesize = rt::seek_end(source.fd);
  // procfs's 0 is no length: /proc/sys and /proc/PID/cmdline report it
  // whatever they hold.
  if (range.filesize == -1 || (sizes == rt::Sizes::kLengthsAboveZero && range.filesize == 0)) return kUnmeasured;
  if (sizes == rt::Sizes::kLengthsOrPage && range.filesize == rt::page_size()) {
    range.filesize = hold_attribute(source, range.filesize);
  }
  return range.filesize == -1 ? kUnmeasured : nullptr;
}

// The option-table entry whose prefix begins argument, or null.
const OptionEntry* find_option(const char* argument) {
  for (const OptionEntry& entry : kOptionTable) {
    if (strncmp(argument, entry.prefix, kOptionPrefixLength) == 0) return &entry;
  }
  return nullptr;
}

// Prints the report line "filesize:%I64d size:%I64d offset:%I64d\n" and
// hands it to the system at once: it must come before any byte copied to a
// destination that is standard output, and stay when a signal ends a long
// copy.
void print_report(const CopyRange& range) {
  rt::print_text("filesize:");
  rt::print_i64(range.filesize);
  rt::print_text(" size:");
  rt::print_i64(range.size);
  rt::print_text(" offset:");
  rt::print_i64(range.offset);
  rt::print_text("\n");
  rt::flush_output();
}

// The stages that follow a successful open of the source. Returns the exit
// status; the caller closes the source.
int copy_from_source(Source& source, const char* destination, const char* size_argument, int option_count,
                     char* const options[]) {
  CopyRange range;
  if (const char* message = describe_source(source)) return fail(message);
  if (const char* message = measure_source(source, range)) return fail(message);
  if (const char* message = scan_options(range, option_count, options)) return fail(message);
  if (const char* message = resolve_range(range, size_argument)) return fail(message);
  print_report(range);
  if (const char* message = check_start(range)) return fail(message);
  clip_range(range);
  return copy_range(source, destination, range) ? 0 : -1;
}

}  // namespace

const char* scan_options(CopyRange& range, int count, char* const arguments[]) {
  for (int i = 0; i < count; ++i) {
    const OptionEntry* option = find_option(arguments[i]);
    if (option == nullptr) return "unknown option error.\n";
    const OptionStatus status = option->apply_option(range, arguments[i]);
    if (!status.accepted()) return status.message;
  }
  return nullptr;
}

const char* resolve_range(CopyRange& range, const char* size_argument) {
  int64_t count = 0;
  if (!read_number(size_argument, "", &count)) return "size parameter syntax error.\n";
  int64_t size = 0;
  // A length of 2^63 bytes has no signed 64-bit value either way.
  if (!checked::multiply(count, range.block, &size) || size == INT64_MIN) return "size parameter range error.\n";
  if (size < 0) {
    // A negative size is never 0 blocks of any length, so block is not 0.
    if (!range.offset_given) range.offset = end_of_whole_blocks(range);
    size = -size;
    // A start counted back past the beginning of the file is raised to 0;
    // the comparison keeps offset - size from passing the 64-bit range.
    range.offset = range.offset < size ? 0 : range.offset - size;
  }
  range.size = size;
  return nullptr;
}

const char* check_start(const CopyRange& range) {
  return range.offset > range.filesize ? "file size range error.\n" : nullptr;
}

void clip_range(CopyRange& range) {
  // filesize - offset passes the 64-bit range only for a start far below 0,
  // and then no length reaches the end of the file.
  int64_t room = 0;
  if (checked::subtract(range.filesize, range.offset, &room) && range.size > room) range.size = room;
}

int run_dravlet(int argc, char* argv[]) {
  if (argc < kLeastArguments) {
    return fail("usage: dravlet source destination size [-b block] [-p percent] [-o offset]\n");
  }
  Source source{rt::open_source(argv[1]), {}, nullptr};
  if (source.fd == -1) return fail("input file is not open.\n");
  const int status = copy_from_source(source, argv[2], argv[3], argc - kFirstOption, argv + kFirstOption);
  rt::close(source.fd);
  return status;
}
