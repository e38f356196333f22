#include "SlaveSession.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "formats/WireFormat.h"
#include "hosting/WireEvents.h"
#include "link/EventRecords.h"
#include "link/TransferBlock.h"
#include "link/WireWords.h"

namespace tovik::slave {

using link::DetectSysexFixed;
using link::EventWalk;
using link::kSysexFixed32Bit;
using link::kSysexFixed64Bit;
using link::ReadInt32;
using link::WalkEventRecords;
using link::WriteInt32;

namespace {

// Samples converted at a time when a gain is applied.
constexpr int32_t kScratchFrames = 4096;

}  // namespace

const char* SessionEndText(SessionEnd end) {
  switch (end) {
    case SessionEnd::kPeerClosed:
      return "closed by the plug-in";
    case SessionEnd::kCloseMessage:
      return "msgClose";
    case SessionEnd::kTruncated:
      return "closed inside a message";
    case SessionEnd::kGarbage:
      return "dropped: not a plug-in message";
    case SessionEnd::kStalled:
      return "dropped: stalled";
    case SessionEnd::kSocketError:
      return "socket error";
    case SessionEnd::kStopped:
      return "slave stopping";
    case SessionEnd::kChainFailed:
      return "dropped: a plug-in of the chain could not start";
  }
  return "?";
}

CSlaveSession::CSlaveSession(int fd, const SlaveSettings& settings, SlaveStats* stats,
                             const std::atomic<bool>* stop)
    : settings_(settings),
      stats_(stats),
      stop_(stop),
      stream_(fd, settings.stallMs, settings.messageMs, stop),
      sysexPreferred_(settings.sysexFixed == kSysexFixed32Bit ? kSysexFixed32Bit : kSysexFixed64Bit),
      timeInfo_(new unsigned char[kTimeInfoBytes]),
      events_(new unsigned char[kEventAreaSize]),
      echo_(new unsigned char[kEventAreaSize]),
      input_(new unsigned char[kAudioAreaSize]),
      output_(new unsigned char[kAudioAreaSize]),
      scratch_(new float[kScratchFrames]) {
  if (settings.chain) {
    chain_ = std::make_unique<hosting::CPluginChain>(settings.chain);
    chainEventsIn_ = std::make_unique<hosting::CEventList>();
    chainEventsOut_ = std::make_unique<hosting::CEventList>();
  }
}

CSlaveSession::~CSlaveSession() {
  if (chain_) {
    // Closing the plug-ins is watched too; the watch ends before the chain.
    chain_->Release();
    chain_->SetSetupWatch(nullptr);
  }
  if (stats_ != nullptr) {
    stats_->bytesIn += stream_.BytesIn();
    stats_->bytesOut += stream_.BytesOut();
    stats_->chainBlocks += chainBlocks_;
    stats_->pluginNs += PluginNs();
    stats_->chainNs += chainNs_;
    stats_->serviceNs += serviceNs_;
  }
}

SessionEnd CSlaveSession::Run() {
  for (;;) {
    const CSocketStream::Status waited = stream_.AwaitMessage();
    if (waited == CSocketStream::Status::kClosed) return SessionEnd::kPeerClosed;
    if (waited != CSocketStream::Status::kOk) return ReadFailed(waited);
    unsigned char code[4];
    const CSocketStream::Status status = stream_.Read(code, sizeof code);
    if (status != CSocketStream::Status::kOk) return ReadFailed(status);
    if (record_ != nullptr && record_->phase.load(std::memory_order_relaxed) == ConnectionRecord::kAccepted) {
      record_->phase.store(ConnectionRecord::kHello, std::memory_order_release);
    }
    const Step end = Handle(ReadInt32(code), stream_.MessageStart());
    if (record_ != nullptr) {
      record_->bytesIn.store(stream_.BytesIn(), std::memory_order_relaxed);
      record_->bytesOut.store(stream_.BytesOut(), std::memory_order_relaxed);
    }
    if (end) return *end;
  }
}

SessionEnd CSlaveSession::ReadFailed(CSocketStream::Status status) const {
  switch (status) {
    case CSocketStream::Status::kClosed:
      return SessionEnd::kTruncated;
    case CSocketStream::Status::kStalled:
      return SessionEnd::kStalled;
    case CSocketStream::Status::kStopped:
      return SessionEnd::kStopped;
    default:
      return SessionEnd::kSocketError;
  }
}

CSlaveSession::Step CSlaveSession::Answer(const iovec* pieces, int count) {
  if (settings_.silent) return std::nullopt;
  const CSocketStream::Status status = stream_.Send(pieces, count);
  if (status == CSocketStream::Status::kOk) return std::nullopt;
  if (status == CSocketStream::Status::kStalled) return SessionEnd::kStalled;
  if (status == CSocketStream::Status::kStopped) return SessionEnd::kStopped;
  return SessionEnd::kSocketError;
}

CSlaveSession::Step CSlaveSession::Handle(int32_t code, Clock::time_point started) {
  unsigned char payload[kSetIoBytes];
  CSocketStream::Status status = CSocketStream::Status::kOk;
  switch (code) {
    case msgHello: {
      status = stream_.Read(pluginIdent_, kHelloBytes);
      if (status != CSocketStream::Status::kOk) return ReadFailed(status);
      Trace("msgHello %u.%u", pluginIdent_[0], pluginIdent_[1]);
      if (record_ != nullptr) {
        record_->ident[0] = pluginIdent_[0];
        record_->ident[1] = pluginIdent_[1];
        record_->helloSeen.store(true, std::memory_order_release);
        if (record_->phase.load(std::memory_order_relaxed) < ConnectionRecord::kHello) {
          record_->phase.store(ConnectionRecord::kHello, std::memory_order_release);
        }
      }
      unsigned char reply[sizeof(int32_t) + kHelloBytes];
      WriteInt32(reply, msgHelloReply);
      reply[4] = kIdent1;
      reply[5] = kIdent2;
      const iovec piece{reply, sizeof reply};
      return Answer(&piece, 1);
    }
    case msgSetIo: {
      status = stream_.Read(payload, kSetIoBytes);
      if (status != CSocketStream::Status::kOk) return ReadFailed(status);
      const int32_t inputs = ReadInt32(payload);
      const int32_t outputs = ReadInt32(payload + 4);
      if (inputs < 0 || outputs < 0) return SessionEnd::kGarbage;
      inputs_ = inputs;
      // The answer's audio holds at most as many channels as the transfer block.
      outputs_ = std::min(outputs, kMaxChannels);
      Trace("msgSetIo %d in, %d out", inputs, outputs);
      if (record_ != nullptr) {
        record_->inputs.store(inputs_, std::memory_order_relaxed);
        record_->outputs.store(outputs_, std::memory_order_relaxed);
      }
      return std::nullopt;
    }
    case msgSetSampleRate:
      status = stream_.Read(payload, kSampleRateBytes);
      if (status != CSocketStream::Status::kOk) return ReadFailed(status);
      std::memcpy(&sampleRate_, payload, 4);
      Trace("msgSetSampleRate %g", double{sampleRate_});
      if (record_ != nullptr) record_->sampleRate.store(sampleRate_, std::memory_order_relaxed);
      // A chain already made is made again at the new rate.
      if (chain_ && chain_->Configured() && !PrepareChain(-1)) return SessionEnd::kChainFailed;
      return std::nullopt;
    case msgSetBlockSize:
      status = stream_.Read(payload, kBlockSizeBytes);
      if (status != CSocketStream::Status::kOk) return ReadFailed(status);
      blockSize_ = ReadInt32(payload);
      Trace("msgSetBlockSize %d", blockSize_);
      if (record_ != nullptr) record_->blockSize.store(blockSize_, std::memory_order_relaxed);
      if (chain_ && chain_->Configured() && !PrepareChain(-1)) return SessionEnd::kChainFailed;
      return std::nullopt;
    case msgTimeInfo:
      // Never sent by the plug-in; read so that the next message is found.
      status = stream_.Read(timeInfo_.get(), kTimeInfoBytes);
      if (status != CSocketStream::Status::kOk) return ReadFailed(status);
      Trace("msgTimeInfo");
      return std::nullopt;
    case msgGetInfo: {
      Trace("msgGetInfo");
      unsigned char reply[sizeof(int32_t) + kGetInfoReplyBytes];
      WriteInt32(reply, msgGetInfo);
      WriteInt32(reply + 4, kInfoVersion);
      WriteInt32(reply + 8, std::max(inputs_, 0));
      WriteInt32(reply + 12, std::max(outputs_, 0));
      const iovec piece{reply, sizeof reply};
      return Answer(&piece, 1);
    }
    case msgProcess:
      return Process(started);
    case msgOpen:
      Trace("msgOpen");
      opened_ = true;
      // The handshake has sent the rate and block size: the chain is made now.
      if (chain_ && !PrepareChain(-1)) return SessionEnd::kChainFailed;
      return std::nullopt;
    case msgClose:
      Trace("msgClose");
      if (chain_) chain_->Release();
      return SessionEnd::kCloseMessage;
    case msgSuspend:
      Trace("msgSuspend");
      suspended_ = true;
      if (chain_) chain_->Deactivate();
      return std::nullopt;
    case msgResume:
      Trace("msgResume");
      suspended_ = false;
      if (chain_) {
        if (!PrepareChain(-1)) return SessionEnd::kChainFailed;
        chain_->Activate();
      }
      return std::nullopt;
    default:
      // The remaining codes up to msgGetInfo travel without payload; anything
      // beyond is not from a plug-in (an unknown peer, or a lost message
      // boundary).
      Trace("code %d", code);
      if (code >= 0 && code <= msgGetInfo) return std::nullopt;
      return SessionEnd::kGarbage;
  }
}

// msgProcess: time record, event records, then B, C, N and C x N x B bytes of
// audio. Every size is checked in 64 bits before anything is read into an area.
CSlaveSession::Step CSlaveSession::Process(Clock::time_point started) {
  CSocketStream::Status status = stream_.Read(timeInfo_.get(), kTimeInfoBytes);
  if (status != CSocketStream::Status::kOk) return ReadFailed(status);
  unsigned char field[12];
  status = stream_.Read(field, 4);
  if (status != CSocketStream::Status::kOk) return ReadFailed(status);
  const int32_t eventLength = ReadInt32(field);
  if (eventLength < 0 || eventLength > kMaxEventBytes) return SessionEnd::kGarbage;
  status = stream_.Read(events_.get(), static_cast<size_t>(eventLength));
  if (status != CSocketStream::Status::kOk) return ReadFailed(status);
  status = stream_.Read(field, 12);
  if (status != CSocketStream::Status::kOk) return ReadFailed(status);
  const int32_t precision = ReadInt32(field);
  const int32_t channels = ReadInt32(field + 4);
  const int32_t frames = ReadInt32(field + 8);
  if (precision < 1 || precision > 4 || channels < 0 || channels > kMaxChannels || frames < 0 ||
      frames > kAudioAreaSize) {
    return SessionEnd::kGarbage;
  }
  const int64_t audioBytes = int64_t{channels} * frames * precision;
  if (audioBytes > kAudioAreaSize) return SessionEnd::kGarbage;
  status = stream_.Read(input_.get(), static_cast<size_t>(audioBytes));
  if (status != CSocketStream::Status::kOk) return ReadFailed(status);

  ++blocks_;
  precision_ = precision;
  if (stats_ != nullptr) ++stats_->blocks;
  if (record_ != nullptr) {
    record_->blocks.store(blocks_, std::memory_order_relaxed);
    if (blocks_ == 1) {
      record_->precision.store(precision, std::memory_order_relaxed);
      record_->channels.store(channels, std::memory_order_relaxed);
      record_->frames.store(frames, std::memory_order_relaxed);
      record_->phase.store(ConnectionRecord::kRunning, std::memory_order_release);
    }
  }
  Trace("msgProcess B %d, C %d, N %d, %d event bytes", precision, channels, frames, eventLength);
  if (settings_.crashAfterBlocks > 0 && blocks_ > static_cast<uint64_t>(settings_.crashAfterBlocks)) {
    // Stands for a plug-in in the chain that crashes: only this connection's
    // process ends.
    std::abort();
  }
  if (settings_.silent) return std::nullopt;
  if (settings_.delayMs > 0) {
    Pause(settings_.delayMs);
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) return SessionEnd::kStopped;
  }

  // A chain not made yet (no msgOpen came) is made with what is known now,
  // once; a suspended one runs again.
  if (chain_) {
    if (!PrepareChain(channels)) return SessionEnd::kChainFailed;
    chain_->Activate();
  }

  // [audio path] From here to the answer nothing allocates or logs.
  int32_t echoLength = 0;
  int32_t outChannels = 0;
  if (chain_) {
    outChannels = RenderChain(precision, channels, frames, eventLength, &echoLength);
  } else {
    echoLength = settings_.echoEvents ? CollectEchoEvents(eventLength) : 0;
    outChannels = RenderOutputs(precision, channels, frames);
  }
  unsigned char eventHeader[8];
  WriteInt32(eventHeader, msgEvents);
  WriteInt32(eventHeader + 4, echoLength);
  unsigned char header[16];
  WriteInt32(header, msgProcess);
  WriteInt32(header + 4, precision);
  WriteInt32(header + 8, outChannels);
  WriteInt32(header + 12, frames);
  iovec pieces[4];
  int count = 0;
  if (echoLength > 0) {
    pieces[count++] = iovec{eventHeader, sizeof eventHeader};
    pieces[count++] = iovec{echo_.get(), static_cast<size_t>(echoLength)};
  }
  pieces[count++] = iovec{header, sizeof header};
  pieces[count++] = iovec{output_.get(), static_cast<size_t>(int64_t{outChannels} * frames * precision)};
  const Step end = Answer(pieces, count);
  if (!end)
    NoteBlock(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count(), frames);
  if (chain_ && !latencyLogged_) {
    // Some plug-ins report their latency only once they have run: said after
    // the first block the chain has run since it was made.
    latencyLogged_ = true;
    const int64_t latency = chain_->Latency();
    ChainLog("chain %s running at %g Hz, %d channels, at most %d frames a run: latency %lld frames (%.2f ms)",
             chain_->Describe().c_str(), chain_->Rate(), chain_->Width(), chain_->MaxBlock(),
             static_cast<long long>(latency), static_cast<double>(latency) * 1000.0 / chain_->Rate());
  }
  return end;
}

bool CSlaveSession::PrepareChain(int32_t blockChannels) {
  // The chain is as wide as the larger of the announced input and output
  // counts; without them, as the block.
  int32_t width = std::max(inputs_, outputs_);
  if (width <= 0) width = blockChannels > 0 ? blockChannels : 2;
  if (chain_->Matches(double{sampleRate_}, blockSize_, width)) return true;
  const bool active = chain_->Active();
  if (hangWatch_ == nullptr) {
    // Watches the blocks (--stall-ms) and, from here on, every set-up step
    // of the plug-ins (--setup-ms).
    char line[96];
    std::snprintf(line, sizeof line, "tovik-slave: connection %llu: hung in chain ",
                  static_cast<unsigned long long>(connection_));
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "tovik-slave: connection %llu: hung while ",
                  static_cast<unsigned long long>(connection_));
    hangWatch_ = std::make_unique<hosting::CHangWatch>(settings_.stallMs, settings_.chainLog,
                                                       line + chain_->Describe(), settings_.setupMs, prefix);
    chain_->SetSetupWatch(hangWatch_.get());
  }
  std::string error;
  if (!chain_->Configure(double{sampleRate_}, blockSize_, width, &error)) {
    ChainLog("%s", error.c_str());
    return false;
  }
  latencyLogged_ = false;
  if (active) chain_->Activate();
  return true;
}

// [audio path]
int32_t CSlaveSession::RenderChain(int32_t precision, int32_t channels, int32_t frames, int32_t eventLength,
                                   int32_t* eventsOut) {
  int32_t outChannels = outputs_ >= 0 ? outputs_ : channels;
  const int64_t channelBytes = int64_t{frames} * precision;
  if (channelBytes > 0 && outChannels * channelBytes > kAudioAreaSize) {
    outChannels = static_cast<int32_t>(kAudioAreaSize / channelBytes);
  }
  const Clock::time_point began = Clock::now();
  const int32_t fixed = SysexFixedFor(eventLength);
  chainEventsIn_->Clear();
  if (eventLength > 0) hosting::ReadWireEvents(events_.get(), eventLength, fixed, chainEventsIn_.get());
  const bool sends = chain_->SendsEvents();
  chain_->SetTimeRecord(timeInfo_.get());
  if (hangWatch_) hangWatch_->Enter(began);
  chain_->ProcessWire(precision, channels, frames, input_.get(), output_.get(), outChannels, *chainEventsIn_,
                      sends ? chainEventsOut_.get() : nullptr);
  if (hangWatch_) hangWatch_->Leave();
  if (sends) {
    *eventsOut = hosting::WriteWireEvents(*chainEventsOut_, fixed, echo_.get(), kMaxEventBytes);
  } else {
    *eventsOut = settings_.echoEvents ? CollectEchoEvents(eventLength) : 0;
  }
  ++chainBlocks_;
  chainNs_ += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - began).count());
  if (record_ != nullptr) {
    record_->chainBlocks.store(chainBlocks_, std::memory_order_relaxed);
    record_->chainNs.store(chainNs_, std::memory_order_relaxed);
    record_->pluginNs.store(static_cast<uint64_t>(chain_->PluginNanoseconds()), std::memory_order_relaxed);
  }
  return outChannels;
}

int32_t CSlaveSession::SysexFixedFor(int32_t length) {
  int32_t fixed = settings_.sysexFixed;
  if (fixed == kSysexFixed32Bit || fixed == kSysexFixed64Bit) return fixed;
  if (length <= 0) return sysexPreferred_;
  fixed = DetectSysexFixed(events_.get(), length, sysexPreferred_);
  if (WalkEventRecords(events_.get(), length, fixed).sysex > 0) {
    sysexFixedSeen_ = fixed;
    sysexPreferred_ = fixed;
  }
  return fixed;
}

void CSlaveSession::ChainLog(const char* format, ...) const {
  if (settings_.chainLog == nullptr) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(settings_.chainLog, "tovik-slave: connection %llu: %s\n",
               static_cast<unsigned long long>(connection_), line);
  std::fflush(settings_.chainLog);
}

void CSlaveSession::NoteBlock(int64_t nanoseconds, int32_t frames) {
  if (stats_ != nullptr) stats_->latency.Record(nanoseconds);
  if (frames != blockFrames_ || sampleRate_ != blockRate_) {
    blockFrames_ = frames;
    blockRate_ = sampleRate_;
    // The rate comes from the plug-in: one so low that the block lasts beyond
    // any 64-bit count of nanoseconds leaves no block late.
    const double ns = sampleRate_ > 0.0f ? static_cast<double>(frames) * 1e9 / double{sampleRate_} : 0.0;
    blockNs_ = ns < 9.0e18 ? static_cast<int64_t>(ns) : INT64_MAX;
  }
  const bool late = blockNs_ > 0 && nanoseconds > blockNs_;
  if (late) ++lateBlocks_;
  if (chain_) serviceNs_ += static_cast<uint64_t>(nanoseconds);
  if (record_ == nullptr) return;
  if (chain_) record_->serviceNs.store(serviceNs_, std::memory_order_relaxed);
  record_->latency.Record(nanoseconds);
  if (late) record_->lateBlocks.store(lateBlocks_, std::memory_order_relaxed);
}

void CSlaveSession::Trace(const char* format, ...) const {
  if (!settings_.verbose || trace_ == nullptr) return;
  char line[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(trace_, "tovik-slave: connection %llu: %s\n", static_cast<unsigned long long>(connection_),
               line);
  std::fflush(trace_);
}

// Output j carries input j mod C (silence when the block has no channels),
// times the gain, at the block's precision. Without a msgSetIo the answer has
// as many channels as the block.
int32_t CSlaveSession::RenderOutputs(int32_t precision, int32_t channels, int32_t frames) {
  int32_t outChannels = outputs_ >= 0 ? outputs_ : channels;
  const int64_t channelBytes = int64_t{frames} * precision;
  if (channelBytes > 0 && outChannels * channelBytes > kAudioAreaSize) {
    // More than one answer can carry: send the channels that fit.
    outChannels = static_cast<int32_t>(kAudioAreaSize / channelBytes);
  }
  for (int32_t j = 0; j < outChannels; ++j) {
    unsigned char* dst = output_.get() + j * channelBytes;
    if (channels == 0) {
      std::memset(dst, precision == 1 ? 128 : 0, static_cast<size_t>(channelBytes));
      continue;
    }
    const unsigned char* src = input_.get() + (j % channels) * channelBytes;
    if (settings_.gain == 1.0f) {
      // Unity gain: the wire bytes go back unchanged, at every precision.
      std::memcpy(dst, src, static_cast<size_t>(channelBytes));
      continue;
    }
    for (int32_t done = 0; done < frames; done += kScratchFrames) {
      const int32_t n = std::min(kScratchFrames, frames - done);
      const int64_t offset = int64_t{done} * precision;
      DecodeChannel(precision, src + offset, scratch_.get(), n);
      for (int32_t i = 0; i < n; ++i) scratch_[i] *= settings_.gain;
      EncodeChannel(precision, scratch_.get(), dst + offset, n);
    }
  }
  return outChannels;
}

int32_t CSlaveSession::CollectEchoEvents(int32_t length) {
  if (length <= 0) return 0;
  int32_t fixed = settings_.sysexFixed;
  if (fixed != kSysexFixed32Bit && fixed != kSysexFixed64Bit) {
    fixed = DetectSysexFixed(events_.get(), length, sysexPreferred_);
  }
  const EventWalk walk = WalkEventRecords(events_.get(), length, fixed);
  if (walk.sysex > 0) {
    // Later blocks of this plug-in most likely come from the same build.
    sysexFixedSeen_ = fixed;
    sysexPreferred_ = fixed;
  }
  // Records are echoed byte for byte: the plug-in reads them back with the
  // fixed part size it wrote them with. What follows a record the walk cannot
  // read is left out.
  std::memcpy(echo_.get(), events_.get(), static_cast<size_t>(walk.bytes));
  return walk.bytes;
}

void CSlaveSession::Pause(int32_t ms) const {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < until) {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(100)));
  }
}

}  // namespace tovik::slave
