// The plug-in's one reader of decimal integers and its one case-insensitive
// comparison, shared by the settings chunk, the parameters' text, the
// per-user store file and the environment.
//
// Both work on bytes in the "C" locale's terms whatever locale the host has
// set: white space is " \t\n\r\v\f", letters are A-Z and a-z. Neither
// allocates, and every range given is read no further than its end.
// [any-thread]
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovik::text {

struct ParsedInteger {
  int32_t value = 0;           // saturated to the int32 range; 0 without digits
  bool digits = false;         // at least one digit was read
  bool exact = false;          // digits were read and the number fits int32 as written
  const char* next = nullptr;  // the first byte not read
};

// Reads an optional sign and the decimal digits after it from [p, end),
// stopping at the first other byte. No white space is skipped.
ParsedInteger ParseInteger(const char* p, const char* end);

// As strtol(p, ..., 10) and scanf("%d") read: white space first, then
// ParseInteger. Values beyond 32 bits saturate.
ParsedInteger ReadLeadingInteger(const char* p, const char* end);
ParsedInteger ReadLeadingInteger(const char* text);  // up to the NUL

bool IsSpace(char c);

// a and b compared with A-Z folded to a-z; equal lengths required.
bool EqualsIgnoreCase(const char* a, const char* b);
bool EqualsIgnoreCase(const char* a, size_t aLength, const char* b);

}  // namespace tovik::text
