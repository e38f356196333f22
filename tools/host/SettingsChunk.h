// The relay's settings chunk as text lines "Key=value", edited the way a user
// would: a key that is present has its value replaced, a new key is appended.
// Keys are matched without regard to case, as the plug-in reads them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tovik::host {

class CSettingsChunk {
 public:
  CSettingsChunk() = default;
  // Takes the bytes that effGetChunk returned; reading stops at the first NUL.
  CSettingsChunk(const char* data, size_t size);

  // Replaces the value of every line with this key, or appends a line when
  // there is none. key is given without its "=".
  void Set(const std::string& key, const std::string& value);

  // Value of the last line with this key (the plug-in applies lines in order,
  // so the last one wins).
  bool Get(const std::string& key, std::string& value) const;

  // The chunk to hand to effSetChunk: lines joined by line feeds. Pass
  // Text().size() + 1 bytes so that the NUL goes with it.
  std::string Text() const;

  const std::vector<std::string>& Lines() const { return lines; }

 private:
  static bool KeyMatches(const std::string& line, const std::string& key);

  std::vector<std::string> lines;
  bool finalLineFeed = false;
};

}  // namespace tovik::host
