// The range options -b, -p and -o. Each argument carries its value right
// after the option's two characters (-b512, -p50, -o-3).
#include <string.h>

#include "checked.h"
#include "dravlet.h"
#include "runtime.h"

namespace {

// White space as "%I64d" skips it: a number read from a file with CRLF line
// ends still counts.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// -b: the block length for the -p and -o options that follow it, and for
// the size wherever it stands.
OptionStatus apply_block_option(CopyRange& range, const char* argument) {
  int64_t block = 0;
  if (!read_number(argument + kOptionPrefixLength, "", &block)) return {"-b option syntax error.\n"};
  range.block = block;
  return {};
}

// -p: the start at a percentage of the source's whole blocks, rounded down
// to a block boundary.
OptionStatus apply_percent_option(CopyRange& range, const char* argument) {
  int64_t percent = 0;
  if (!read_number(argument + kOptionPrefixLength, "%", &percent)) return {"-p option syntax error.\n"};
  // A block of 0 bytes has no whole blocks to take a percentage of.
  if (percent < 0 || percent > 100 || range.block == 0) return {"-p option range error.\n"};
  const int64_t whole = range.filesize / range.block;
  // whole * percent / 100 without forming the product, which could pass the
  // 64-bit range: both parts truncate toward zero and share whole's sign.
  const int64_t part = whole / 100 * percent + whole % 100 * percent / 100;
  range.offset = part * range.block;
  range.offset_given = true;
  return {};
}

// -o: the start in blocks from the beginning of the source or, when
// negative, back from the end of its last whole block.
OptionStatus apply_offset_option(CopyRange& range, const char* argument) {
  int64_t count = 0;
  if (!read_number(argument + kOptionPrefixLength, "", &count)) return {"-o option syntax error.\n"};
  int64_t offset = 0;
  if (!checked::multiply(count, range.block, &offset)) return {"-o option range error.\n"};
  // A negative offset implies a block other than 0, and adding it to an end
  // in [0, filesize] stays in range.
  if (offset < 0) offset += end_of_whole_blocks(range);
  if (offset > range.filesize) return {"-o option range error.\n"};
  range.offset = offset;
  range.offset_given = true;
  return {};
}

}  // namespace

bool read_number(const char* text, const char* unit, int64_t* value) {
  const char* rest = nullptr;
  if (!rt::scan_i64(text, value, &rest)) return false;
  const size_t unit_length = strlen(unit);
  if (strncmp(rest, unit, unit_length) == 0) rest += unit_length;
  while (is_space(*rest)) ++rest;
  return *rest == '\0';
}

const OptionEntry kOptionTable[kOptionCount] = {
    {"-b", apply_block_option},
    {"-p", apply_percent_option},
    {"-o", apply_offset_option},
};
