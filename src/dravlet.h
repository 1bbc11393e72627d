// dravlet copies one contiguous byte range of a file into a new or emptied
// file. This header is shared by the driver, the range options, the storage
// check and the copy.
#ifndef DRAVLET_DRAVLET_H_
#define DRAVLET_DRAVLET_H_

#include <stdint.h>

#include "runtime.h"

// The run's range record. Every count and position is in bytes.
struct CopyRange {
  int64_t filesize = 0;       // size of the source, measured once at open
  int64_t block = 1;          // bytes per block
  int64_t offset = 0;         // where the copy starts in the source
  bool offset_given = false;  // set once a -p or -o option was accepted
  int64_t size = 0;           // length of the copy, once the size rule ran
};

// The end of the source's last whole block, in bytes; never negative.
// range.block must not be 0.
inline int64_t end_of_whole_blocks(const CopyRange& range) { return range.filesize / range.block * range.block; }

// What an option handler returns: accepted when message is null, else
// refused with the fixed message to print.
struct OptionStatus {
  const char* message = nullptr;
  bool accepted() const { return message == nullptr; }
};

// Reads text as a whole number: a signed decimal, then unit (one optional
// mark such as "%", or "" for none), then nothing but white space. Text
// after the number is refused rather than guessed at: "4k" or "1M" would
// otherwise count as 4 and 1. Returns false when text is not such a number
// or it lies outside the signed 64-bit range.
bool read_number(const char* text, const char* unit, int64_t* value);

// Characters that name an option at the start of its argument.
constexpr int kOptionPrefixLength = 2;

// One entry of the option table: the option's two characters and its
// handler, which takes the run's range and the whole argument.
struct OptionEntry {
  const char* prefix;
  OptionStatus (*apply_option)(CopyRange& range, const char* argument);
};

// The options in scan order: -b, -p, -o.
constexpr int kOptionCount = 3;
extern const OptionEntry kOptionTable[kOptionCount];

// Bytes moved by one read and one write of the copy.
constexpr int64_t kChunkSize = 65536;

// Reads up to count bytes of the source open on fd from its start, at most
// kChunkSize, into the copy's buffer, from which the copy then takes them
// instead of reading them again. Sets *got to the bytes read, or -1; returns
// where they are.
const unsigned char* hold_source(int fd, int64_t count, int64_t* got);

// Runs the whole tool on a main-style argument vector; returns the exit
// status, 0 after a complete copy and -1 after any failure.
int run_dravlet(int argc, char* argv[]);

// Hands each of the count option arguments, left to right, to the handler
// whose prefix matches its first two characters. Returns null, or the
// message of the first argument refused.
const char* scan_options(CopyRange& range, int count, char* const arguments[]);

// Reads the size argument as a count of blocks and turns it into the byte
// length range.size; a negative count selects the bytes before the start.
// Returns null, or the message to print.
const char* resolve_range(CopyRange& range, const char* size_argument);

// Refuses a start beyond the end of the source. Returns null, or the
// message to print.
const char* check_start(const CopyRange& range);

// Shortens range.size so that the copy ends at the end of the source.
void clip_range(CopyRange& range);

// The open source: its descriptor and what it is, told once at the open.
struct Source {
  int fd;
  rt::FileInfo info;
  // All of the source's bytes, as the measure read them, or null: a sysfs
  // attribute may answer the next read with other bytes.
  const unsigned char* measured_bytes;
};

// The destination as the storage check sees it: the file open on fd, as
// info describes it, or, where made is set, a file to be made in the
// folder open on fd, which info describes.
struct Target {
  int fd;
  rt::FileInfo info;
  bool made;
};

// Whether the copy of range from source into target writes bytes of the
// storage that it reads: kUntold where a level of storage below either
// cannot be told, or cannot be named here, and could hold the other side.
enum class Overlap { kApart, kOverlaps, kUntold };
Overlap compare_storage(const Source& source, const Target& target, const CopyRange& range);

// Seeks the source to range.offset, opens destination or, where nothing is
// there, its folder, refuses it when the copy would write bytes of the
// storage that it reads (before a new file is made), empties it and fills
// it with range.size bytes, as the chunked copy of kChunkSize bytes a
// chunk would (blocks may be shared, holes skipped or bytes copied
// by the kernel instead). Prints its own message on failure, after it has
// closed the destination; leaves the source open. Returns true after a
// complete copy.
bool copy_range(const Source& source, const char* destination, const CopyRange& range);

#endif  // DRAVLET_DRAVLET_H_
