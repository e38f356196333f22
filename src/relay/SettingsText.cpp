#include "relay/SettingsText.h"

#include <cstdio>
#include <cstring>

#include "formats/WireFormat.h"
#include "link/TransferBlock.h"
#include "platform/TextParse.h"

namespace tovik::settings {
namespace {

using text::EqualsIgnoreCase;

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// The parameter keys of the chunk, by parameter index.
constexpr const char* kParameterKeys[kParameterCount] = {
    "Synch=", "CfgDlg=", "TrmSlave=", "AudioPrec=", "NumInputs=", "NumOutputs=", "StereoPins="};

}  // namespace

int32_t WriteChunk(const ChunkValues& v, char* text, size_t capacity) {
  if (!text || capacity == 0) return 0;
  int length =
      std::snprintf(text, capacity, "Host=%s\nPort=%d\nSynch=%d\nCfgDlg=%d\nTrmSlave=%d\nAudioPrec=%d\n",
                    v.host, v.port, v.synch ? 1 : 0, v.cfgDlg ? 1 : 0, v.trmSlave ? 1 : 0, v.audioPrec);
  if (v.withIo && length > 0 && static_cast<size_t>(length) < capacity) {
    length += std::snprintf(text + length, capacity - static_cast<size_t>(length),
                            "NumInputs=%d\nNumOutputs=%d\nStereoPins=%d", v.numInputs, v.numOutputs,
                            v.stereoPins ? 1 : 0);
  }
  return static_cast<int32_t>(std::strlen(text) + 1);
}

bool ParameterValueFromText(int32_t index, const char* text, float* value) {
  switch (index) {
    case 3: {
      for (int p = 3; p >= 0; --p) {
        if (EqualsIgnoreCase(text, kPrecisionLabels[p])) {
          *value = static_cast<float>(p) / 3.0f;
          return true;
        }
      }
      const text::ParsedInteger n = text::ReadLeadingInteger(text);
      if (!n.digits) return false;
      *value = static_cast<float>(Clamp(n.value, 1, 4) - 1) / 3.0f;
      return true;
    }
    case 4: {
      const text::ParsedInteger n = text::ReadLeadingInteger(text);
      if (!n.digits) return false;
      *value =
          n.value < 0 ? 0.0f : static_cast<float>(n.value > kMaxChannels ? kMaxChannels : n.value) * 0.0625f;
      return true;
    }
    case 5: {
      const text::ParsedInteger n = text::ReadLeadingInteger(text);
      if (!n.digits) return false;
      *value = static_cast<float>(Clamp(n.value, 1, kMaxChannels) - 1) / 15.0f;
      return true;
    }
    default: {
      if (EqualsIgnoreCase(text, "on")) {
        *value = 1.0f;
      } else if (EqualsIgnoreCase(text, "off")) {
        *value = 0.0f;
      } else {
        const text::ParsedInteger n = text::ReadLeadingInteger(text);
        if (!n.digits) return false;
        *value = n.value > 0 ? 1.0f : 0.0f;
      }
      return true;
    }
  }
}

void ReadChunk(const char* chunk, int32_t byteSize, ChunkAddress* address, ChunkParameter parameter,
               void* context) {
  const size_t size = byteSize > 0 ? static_cast<size_t>(byteSize) : 0;
  // The text the chunk holds: up to its first NUL, never past byteSize.
  const void* nul = std::memchr(chunk, 0, size);
  const size_t textEnd = nul ? static_cast<size_t>(static_cast<const char*>(nul) - chunk) : size;

  size_t pos = 0;
  while (pos < textEnd) {
    const void* lf = std::memchr(chunk + pos, '\n', textEnd - pos);
    size_t end;
    if (lf) {
      end = static_cast<size_t>(static_cast<const char*>(lf) - chunk);
    } else if (nul) {
      end = textEnd;  // the last line ends at the NUL
    } else {
      break;  // a line cut off by byteSize is not applied
    }
    const char* line = chunk + pos;
    const char* lineEnd = chunk + end;
    const void* eq = std::memchr(line, '=', static_cast<size_t>(lineEnd - line));
    if (eq) {
      const char* value = static_cast<const char*>(eq) + 1;
      const size_t keyLen = static_cast<size_t>(value - line);
      if (EqualsIgnoreCase(line, keyLen, "Host=")) {
        size_t len = static_cast<size_t>(lineEnd - value);
        if (len > kHostLength) len = kHostLength;
        // A name that differs only in case is the same host.
        if (len != std::strlen(address->host) || !EqualsIgnoreCase(value, len, address->host)) {
          std::memcpy(address->host, value, len);
          address->host[len] = 0;
          address->changed = true;
        }
      } else if (EqualsIgnoreCase(line, keyLen, "Port=")) {
        const int32_t port = text::ReadLeadingInteger(value, lineEnd).value;
        if (port != address->port) {
          address->port = port;
          address->changed = true;
        }
      } else {
        for (int32_t i = 0; i < kParameterCount; ++i) {
          if (!EqualsIgnoreCase(line, keyLen, kParameterKeys[i])) continue;
          // The text from after "=" to the end of the chunk; only its leading
          // number counts, and words only on the last line. 63 characters
          // are more than any word or number needs.
          char rest[64];
          size_t len = textEnd - static_cast<size_t>(value - chunk);
          if (len > sizeof(rest) - 1) len = sizeof(rest) - 1;
          std::memcpy(rest, value, len);
          rest[len] = 0;
          parameter(context, i, rest);
          break;
        }
      }
    }
    pos = end + 1;
  }
}

}  // namespace tovik::settings
