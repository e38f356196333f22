#include "SettingsChunk.h"

#include <cctype>

namespace tovik::host {

CSettingsChunk::CSettingsChunk(const char* data, size_t size) {
  if (data == nullptr) return;
  size_t end = 0;
  while (end < size && data[end] != '\0') ++end;
  std::string text(data, end);
  size_t start = 0;
  while (start < text.size()) {
    size_t feed = text.find('\n', start);
    if (feed == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, feed - start));
    start = feed + 1;
  }
  finalLineFeed = !text.empty() && text.back() == '\n';
}

bool CSettingsChunk::KeyMatches(const std::string& line, const std::string& key) {
  if (line.size() <= key.size() || line[key.size()] != '=') return false;
  for (size_t i = 0; i < key.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != std::tolower(static_cast<unsigned char>(key[i])))
      return false;
  }
  return true;
}

void CSettingsChunk::Set(const std::string& key, const std::string& value) {
  bool found = false;
  for (std::string& line : lines) {
    if (KeyMatches(line, key)) {
      line = line.substr(0, key.size() + 1) + value;
      found = true;
    }
  }
  if (!found) lines.push_back(key + "=" + value);
}

bool CSettingsChunk::Get(const std::string& key, std::string& value) const {
  bool found = false;
  for (const std::string& line : lines) {
    if (KeyMatches(line, key)) {
      value = line.substr(key.size() + 1);
      found = true;
    }
  }
  return found;
}

std::string CSettingsChunk::Text() const {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  if (finalLineFeed && !lines.empty()) text += '\n';
  return text;
}

}  // namespace tovik::host
