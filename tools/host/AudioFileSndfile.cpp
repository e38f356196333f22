// Audio files through libsndfile: reads every format it knows, writes the
// container and sample format chosen by the output's extension or by
// --format/--subtype.
#include <sndfile.h>

#include <cctype>

#include "AudioFile.h"

namespace tovik::host {
namespace {

struct Named {
  const char* name;
  int code;
  const char* description;
};

const Named kContainers[] = {
    {"wav", SF_FORMAT_WAV, "WAV"},   {"w64", SF_FORMAT_W64, "Wave64"}, {"flac", SF_FORMAT_FLAC, "FLAC"},
    {"ogg", SF_FORMAT_OGG, "Ogg"},   {"oga", SF_FORMAT_OGG, "Ogg"},    {"aiff", SF_FORMAT_AIFF, "AIFF"},
    {"aif", SF_FORMAT_AIFF, "AIFF"}, {"caf", SF_FORMAT_CAF, "CAF"},    {"au", SF_FORMAT_AU, "AU"},
    {"snd", SF_FORMAT_AU, "AU"},
};

const Named kSubtypes[] = {
    {"pcm8", SF_FORMAT_PCM_S8, "8-bit PCM"},      {"pcmu8", SF_FORMAT_PCM_U8, "8-bit unsigned PCM"},
    {"pcm16", SF_FORMAT_PCM_16, "16-bit PCM"},    {"pcm24", SF_FORMAT_PCM_24, "24-bit PCM"},
    {"pcm32", SF_FORMAT_PCM_32, "32-bit PCM"},    {"float", SF_FORMAT_FLOAT, "32-bit float"},
    {"double", SF_FORMAT_DOUBLE, "64-bit float"}, {"vorbis", SF_FORMAT_VORBIS, "Vorbis"},
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const Named* Find(const Named* table, size_t count, const std::string& name) {
  for (size_t i = 0; i < count; ++i)
    if (name == table[i].name) return &table[i];
  return nullptr;
}

std::string Extension(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot + 1));
}

}  // namespace

const char* AudioFileBackend() {
  return "libsndfile";
}

std::string OutputFormatNames() {
  std::string text = "formats:";
  for (const Named& n : kContainers) text += std::string(" ") + n.name;
  text += "; subtypes:";
  for (const Named& n : kSubtypes) text += std::string(" ") + n.name;
  return text;
}

bool ResolveOutputFormat(const std::string& path, const std::string& format, const std::string& subtype,
                         OutputFormat& out, std::string& error) {
  const size_t containers = sizeof(kContainers) / sizeof(kContainers[0]);
  const size_t subtypes = sizeof(kSubtypes) / sizeof(kSubtypes[0]);
  const Named* container = nullptr;
  if (!format.empty()) {
    container = Find(kContainers, containers, Lower(format));
    if (container == nullptr) {
      error = "unknown --format '" + format + "' (" + OutputFormatNames() + ")";
      return false;
    }
  } else {
    const std::string extension = Extension(path);
    container = Find(kContainers, containers, extension);
    if (container == nullptr) {
      error = extension.empty() ? "the output '" + path + "' has no extension to choose its format by"
                                : "unknown output extension '." + extension + "'";
      error += " (use .wav, .flac, .ogg, .aiff, or --format)";
      return false;
    }
  }
  const Named* sample = nullptr;
  if (!subtype.empty()) {
    sample = Find(kSubtypes, subtypes, Lower(subtype));
    if (sample == nullptr) {
      error = "unknown --subtype '" + subtype + "' (" + OutputFormatNames() + ")";
      return false;
    }
  } else if (container->code == SF_FORMAT_FLAC) {
    sample = Find(kSubtypes, subtypes, "pcm24");
  } else if (container->code == SF_FORMAT_OGG) {
    sample = Find(kSubtypes, subtypes, "vorbis");
  } else {
    sample = Find(kSubtypes, subtypes, "float");
  }
  SF_INFO check{};
  check.samplerate = 48000;
  check.channels = 2;
  check.format = container->code | sample->code;
  if (!sf_format_check(&check)) {
    error = std::string(container->description) + " files cannot hold " + sample->description + " samples";
    return false;
  }
  out.code = check.format;
  out.description = std::string(container->description) + ", " + sample->description;
  return true;
}

struct CAudioFileReader::Impl {
  SNDFILE* file = nullptr;
  SF_INFO info{};
  std::vector<float> interleaved;
  std::string error;
};

CAudioFileReader::CAudioFileReader() : impl(new Impl) {}

CAudioFileReader::~CAudioFileReader() {
  if (impl->file != nullptr) sf_close(impl->file);
}

bool CAudioFileReader::Open(const std::string& path, std::string& error) {
  impl->file = sf_open(path.c_str(), SFM_READ, &impl->info);
  if (impl->file == nullptr) {
    error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  if (impl->info.channels <= 0 || impl->info.channels > 256 || impl->info.samplerate <= 0 ||
      impl->info.frames < 0) {
    error = path + ": unsupported channel count or sample rate";
    return false;
  }
  return true;
}

int CAudioFileReader::Channels() const {
  return impl->info.channels;
}

int CAudioFileReader::SampleRate() const {
  return impl->info.samplerate;
}

uint64_t CAudioFileReader::Frames() const {
  return static_cast<uint64_t>(impl->info.frames);
}

const std::string& CAudioFileReader::Error() const {
  return impl->error;
}

size_t CAudioFileReader::Read(std::vector<std::vector<float>>& channels, size_t frames) {
  if (impl->file == nullptr || frames == 0) return 0;
  const size_t count = static_cast<size_t>(impl->info.channels);
  if (impl->interleaved.size() < frames * count) impl->interleaved.resize(frames * count);
  const sf_count_t got =
      sf_readf_float(impl->file, impl->interleaved.data(), static_cast<sf_count_t>(frames));
  if (got <= 0) {
    if (sf_error(impl->file) != SF_ERR_NO_ERROR) impl->error = sf_strerror(impl->file);
    return 0;
  }
  for (size_t c = 0; c < count && c < channels.size(); ++c) {
    float* to = channels[c].data();
    const float* from = impl->interleaved.data() + c;
    for (sf_count_t f = 0; f < got; ++f) to[f] = from[static_cast<size_t>(f) * count];
  }
  return static_cast<size_t>(got);
}

struct CAudioFileWriter::Impl {
  SNDFILE* file = nullptr;
  size_t channels = 0;
  std::string path;
  std::vector<float> interleaved;
};

CAudioFileWriter::CAudioFileWriter() : impl(new Impl) {}

CAudioFileWriter::~CAudioFileWriter() {
  if (impl->file != nullptr) sf_close(impl->file);
}

bool CAudioFileWriter::Open(const std::string& path, const OutputFormat& format, int sampleRate, int channels,
                            std::string& error) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = format.code;
  if (!sf_format_check(&info)) {
    error = path + ": " + format.description + " cannot hold " + std::to_string(channels) + " channels at " +
            std::to_string(sampleRate) + " Hz";
    return false;
  }
  impl->file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (impl->file == nullptr) {
    error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  impl->channels = static_cast<size_t>(channels);
  impl->path = path;
  written = 0;
  isOpen = true;
  return true;
}

bool CAudioFileWriter::Write(const std::vector<std::vector<float>>& channels, size_t frames,
                             std::string& error) {
  if (impl->file == nullptr) return false;
  const size_t count = impl->channels;
  if (impl->interleaved.size() < frames * count) impl->interleaved.resize(frames * count);
  for (size_t c = 0; c < count; ++c) {
    float* to = impl->interleaved.data() + c;
    if (c < channels.size()) {
      const float* from = channels[c].data();
      for (size_t f = 0; f < frames; ++f) to[f * count] = from[f];
    } else {
      for (size_t f = 0; f < frames; ++f) to[f * count] = 0.0f;
    }
  }
  if (sf_writef_float(impl->file, impl->interleaved.data(), static_cast<sf_count_t>(frames)) !=
      static_cast<sf_count_t>(frames)) {
    error = impl->path + ": " + sf_strerror(impl->file);
    return false;
  }
  written += frames;
  return true;
}

bool CAudioFileWriter::Close(std::string& error) {
  isOpen = false;
  if (impl->file == nullptr) return true;
  const int status = sf_close(impl->file);
  impl->file = nullptr;
  if (status != 0) {
    error = impl->path + ": cannot finish the file";
    return false;
  }
  return true;
}

}  // namespace tovik::host
