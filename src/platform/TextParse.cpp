#include "platform/TextParse.h"

#include <cstring>

namespace tovik::text {
namespace {

constexpr int64_t kMagnitudeLimit = 4294967296LL;  // beyond any int32, so saturation is decided

char Fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

ParsedInteger ParseInteger(const char* p, const char* end) {
  ParsedInteger result;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t magnitude = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    result.digits = true;
    if (magnitude < kMagnitudeLimit) magnitude = magnitude * 10 + (*p - '0');
  }
  result.next = p;
  if (!result.digits) return result;  // "+" or "-" alone is no number either
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) {
    result.value = INT32_MAX;
  } else if (value < INT32_MIN) {
    result.value = INT32_MIN;
  } else {
    result.value = static_cast<int32_t>(value);
    result.exact = true;
  }
  return result;
}

ParsedInteger ReadLeadingInteger(const char* p, const char* end) {
  while (p < end && IsSpace(*p)) ++p;
  return ParseInteger(p, end);
}

ParsedInteger ReadLeadingInteger(const char* text) {
  return ReadLeadingInteger(text, text + std::strlen(text));
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (Fold(*a) != Fold(*b)) return false;
  }
  return *a == *b;
}

bool EqualsIgnoreCase(const char* a, size_t aLength, const char* b) {
  for (size_t i = 0; i < aLength; ++i, ++b) {
    if (!*b || Fold(a[i]) != Fold(*b)) return false;
  }
  return *b == 0;
}

}  // namespace tovik::text
