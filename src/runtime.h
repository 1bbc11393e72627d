// The few runtime calls dravlet makes: descriptor-level file access with
// 64-bit positions, decimal input and text output. runtime-posix.cpp and
// runtime-win32.cpp map them onto each platform; tests link a fake unit.
// A descriptor is a small non-negative integer; every call that can fail
// returns -1 when it does.
#ifndef DRAVLET_RUNTIME_H_
#define DRAVLET_RUNTIME_H_

#include <cstdint>

namespace rt {

// Opens path read-only, untranslated, for sequential reading. A directory
// is refused. Returns the descriptor or -1.
int open_source(const char* path);

// Opens path write-only and untranslated, creating it with read and write
// permission for the owner or truncating it. Returns the descriptor or -1.
int create_destination(const char* path);

// Tells whether path names the file open as fd, by file identity rather
// than by path text. False when path names no file.
bool is_same_file(int fd, const char* path);

// Moves fd to its end / to position bytes from its start. Returns the new
// position in bytes or -1.
std::int64_t seek_end(int fd);
std::int64_t seek_set(int fd, std::int64_t position);

// Returns the position of fd in bytes, or -1.
std::int64_t tell(int fd);

// One read or write call of at most kChunkSize bytes. Returns the bytes
// moved, or -1.
std::int64_t read(int fd, void* buffer, std::int64_t count);
std::int64_t write(int fd, const void* buffer, std::int64_t count);

// Returns 0, or -1 when the close failed.
int close(int fd);

// Reads a signed decimal as "%I64d" does: optional white space, optional
// sign, at least one digit; whatever follows is ignored. Returns false when
// there is no number or it lies outside the signed 64-bit range.
bool scan_i64(const char* text, std::int64_t* value);

// Write text, or value as a signed decimal, to standard output.
void print_text(const char* text);
void print_i64(std::int64_t value);

}  // namespace rt

#endif  // DRAVLET_RUNTIME_H_
