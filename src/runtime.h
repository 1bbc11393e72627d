// The few runtime calls dravlet makes: descriptor-level file access with
// 64-bit positions, decimal input and text output. runtime-posix.cpp and
// runtime-win32.cpp map them onto each platform; tests link a fake unit.
// A descriptor is a small non-negative integer; every call that can fail
// returns -1 (or false) when it does. Paths are the argument's text: bytes
// handed on as they are on POSIX, UTF-8 turned into UTF-16 on Windows.
#ifndef DRAVLET_RUNTIME_H_
#define DRAVLET_RUNTIME_H_

#include <stdint.h>

namespace rt {

// Opens path read-only, untranslated, for sequential reading, without
// waiting for a writer to appear (a FIFO). A directory is refused. Returns
// the descriptor or -1.
int open_source(const char* path);

// Tells whether fd is a file whose size is its length in bytes: a regular
// file or a block device (a disk file on Windows). A pipe, a terminal or a
// device such as /dev/zero has none.
bool has_size(int fd);

// Opens path write-only and untranslated, creating it with read and write
// permission for the owner. An existing file keeps its bytes: see
// empty_destination. Returns the descriptor or -1.
int open_destination(const char* path);

// Tells whether the two descriptors are open on one file, by its identity
// on its device rather than by any name. False when that cannot be told.
bool same_file(int fd, int other);

// Empties fd when it is a regular file; a device or a pipe is left alone.
// Returns 0, or -1 when the truncation failed.
int empty_destination(int fd);

// Makes the emptied destination's first length bytes share the storage of
// the source's bytes from offset on (a copy-on-write clone) and moves both
// descriptors past them. Returns length; 0, with both files as they were,
// where the file system cannot (another device, no clones, an unaligned
// offset); -1 when a failed clone could not be undone or the descriptors
// not moved past the shared bytes.
int64_t share_blocks(int source, int destination, int64_t offset, int64_t length);

// Moves fd to its end / to position bytes from its start. Returns the new
// position in bytes or -1.
int64_t seek_end(int fd);
int64_t seek_set(int fd, int64_t position);

// Returns the position of fd in bytes, or -1.
int64_t tell(int fd);

// One read or write call of at most kChunkSize bytes. Returns the bytes
// moved, or -1.
int64_t read(int fd, void* buffer, int64_t count);
int64_t write(int fd, const void* buffer, int64_t count);

// Returns 0, or -1 when the close failed.
int close(int fd);

// Reads a signed decimal as "%I64d" does: optional white space, optional
// sign, at least one digit. Sets *rest to the text that follows it. Returns
// false when there is no number or it lies outside the signed 64-bit range.
bool scan_i64(const char* text, int64_t* value, const char** rest);

// Write text, or value as a signed decimal, to standard output; flush_output
// hands what is buffered to the system. None of them reports a failure.
void print_text(const char* text);
void print_i64(int64_t value);
void flush_output();

// For Windows' entry point only: the UTF-16 argument vector as UTF-8 text,
// in static storage. A lone surrogate becomes the byte 0xFF, which no file
// name decodes from, so such a path is refused rather than changed into
// another. Returns null when the vector does not fit (it always does: the
// system caps a command line at 32767 characters).
char** utf8_arguments(int argc, const wchar_t* const argv[]);

}  // namespace rt

#endif  // DRAVLET_RUNTIME_H_
