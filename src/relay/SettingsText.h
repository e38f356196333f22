// The relay settings as text: the settings chunk a host saves with a project
// and restores, and the text a host hands to string2parameter. Plain
// functions over plain values; CTovik's members apply what they give.
//
// Every byte of a chunk is hostile: nothing is read past the bytes the host
// passed, and no field is overrun. Nothing here allocates. [main-thread]
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovik::settings {

constexpr int kHostLength = 255;  // characters of Host, without the NUL
constexpr int kParameterCount = 7;

// What getChunk writes.
struct ChunkValues {
  const char* host;
  int32_t port;
  bool synch, cfgDlg, trmSlave;
  int32_t audioPrec;
  bool withIo;  // the NumInputs, NumOutputs and StereoPins lines (7 parameters)
  int32_t numInputs, numOutputs;
  bool stereoPins;
};

// Writes the chunk text, NUL-terminated, into text[capacity]; returns its
// length including the NUL.
int32_t WriteChunk(const ChunkValues& values, char* text, size_t capacity);

// The parameter value that text selects for parameter index (0 to 6), read
// as string2parameter reads it: "on"/"off" for the switches, the precision
// names for AudioPrec (any case, the whole text), else a leading decimal
// number like "%d". False when the text is none of these. text is not empty.
bool ParameterValueFromText(int32_t index, const char* text, float* value);

// The address a chunk names: it starts as the current one, and `changed`
// tells whether the chunk moved it.
struct ChunkAddress {
  char host[kHostLength + 1];
  int32_t port;
  bool changed;
};

// Receives each parameter line of a chunk: the parameter index and the text
// after its "=" (to the end of the chunk, at most 63 characters).
using ChunkParameter = void (*)(void* context, int32_t index, char* text);

// Reads the chunk's lines in order: "Host=" and "Port=" move *address, the
// seven parameter keys go to parameter(context, index, text). Keys are
// compared in full and in any case; other lines are skipped. Reading stops
// at the first NUL and never passes byteSize; a last line that byteSize
// cuts off is not applied.
void ReadChunk(const char* chunk, int32_t byteSize, ChunkAddress* address, ChunkParameter parameter,
               void* context);

}  // namespace tovik::settings
