// Reading and writing audio files. Two implementations: AudioFileSndfile.cpp
// (libsndfile, every format it knows) and AudioFileBuiltin.cpp (WAV only,
// through CWavCodec), chosen by the build.
//
// A relay run streams: CAudioFileReader hands out the input block by block and
// CAudioFileWriter takes the output block by block, so the memory a run takes
// does not grow with the file's length, with libsndfile and with the built-in
// WAV reader alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovik::host {

// Planar audio held in memory: one vector of float samples per channel, all of
// the same length.
struct AudioData {
  int sampleRate = 0;
  std::vector<std::vector<float>> channels;

  size_t Frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

// Audio handed out in blocks: planar, float, full scale +-1.0.
class CAudioSource {
 public:
  virtual ~CAudioSource() = default;
  virtual int Channels() const = 0;
  virtual int SampleRate() const = 0;
  virtual uint64_t Frames() const = 0;
  // Fills channels[c][0..n) of every channel with the next n <= frames frames
  // (each vector holds at least frames samples) and returns n; 0 at the end.
  virtual size_t Read(std::vector<std::vector<float>>& channels, size_t frames) = 0;
};

// A whole AudioData as a source.
class CMemorySource : public CAudioSource {
 public:
  explicit CMemorySource(const AudioData& held) : audio(held) {}
  int Channels() const override { return static_cast<int>(audio.channels.size()); }
  int SampleRate() const override { return audio.sampleRate; }
  uint64_t Frames() const override { return audio.Frames(); }
  size_t Read(std::vector<std::vector<float>>& channels, size_t frames) override;

 private:
  const AudioData& audio;
  size_t position = 0;
};

// An input file opened for reading in blocks.
class CAudioFileReader : public CAudioSource {
 public:
  CAudioFileReader();
  ~CAudioFileReader() override;
  CAudioFileReader(const CAudioFileReader&) = delete;
  CAudioFileReader& operator=(const CAudioFileReader&) = delete;

  bool Open(const std::string& path, std::string& error);
  int Channels() const override;
  int SampleRate() const override;
  uint64_t Frames() const override;
  size_t Read(std::vector<std::vector<float>>& channels, size_t frames) override;
  // The read stopped early on a damaged file: the reason, else empty.
  const std::string& Error() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// The container and sample format of an output file, resolved from its
// extension or from --format/--subtype before anything is relayed.
struct OutputFormat {
  int code = 0;             // the backend's own code
  std::string description;  // e.g. "WAV, 32-bit float"
};

// Resolves the output format: format is empty (from the path's extension:
// .wav, .flac, .ogg, .aiff/.aif...) or a name ("wav", "flac", "ogg", "aiff",
// "caf", "au", "w64"); subtype is empty (the format's default: 32-bit float
// where the format keeps floats, else 24-bit PCM, Vorbis for ogg) or a name
// ("pcm16", "pcm24", "pcm32", "float", "double", "vorbis"...). Returns false
// with a message for an unknown extension, name or pairing.
bool ResolveOutputFormat(const std::string& path, const std::string& format, const std::string& subtype,
                         OutputFormat& out, std::string& error);

// The names --format and --subtype take, for --help.
std::string OutputFormatNames();

// An output file written in blocks. A file closed early (an interrupted run)
// is a valid, shorter file.
class CAudioFileWriter {
 public:
  CAudioFileWriter();
  ~CAudioFileWriter();
  CAudioFileWriter(const CAudioFileWriter&) = delete;
  CAudioFileWriter& operator=(const CAudioFileWriter&) = delete;

  bool Open(const std::string& path, const OutputFormat& format, int sampleRate, int channels,
            std::string& error);
  // channels[c][0..frames) of each channel.
  bool Write(const std::vector<std::vector<float>>& channels, size_t frames, std::string& error);
  bool Close(std::string& error);
  uint64_t FramesWritten() const { return written; }
  bool IsOpen() const { return isOpen; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
  uint64_t written = 0;
  bool isOpen = false;
};

// Reads a whole file. Integer formats are scaled to full scale +-1.0.
bool ReadAudioFile(const std::string& path, AudioData& audio, std::string& error);

// Writes a WAV file of 32-bit float samples, which keeps every sample exactly.
bool WriteAudioFile(const std::string& path, const AudioData& audio, std::string& error);

// Names the implementation, for the --help text.
const char* AudioFileBackend();

}  // namespace tovik::host
