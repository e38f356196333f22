// One plug-in connection, seen from the slave: reads the plug-in's messages
// from a connected socket and answers them until the plug-in closes, sends
// msgClose, sends something that is not a message, or stalls.
//
// Answers: msgHello gets msgHelloReply, msgGetInfo the 12-byte info, and every
// msgProcess the processed audio at the precision it came with (preceded by a
// msgEvents with the block's MIDI and SysEx records when echoing). msgSetIo,
// msgSetSampleRate, msgSetBlockSize, msgOpen, msgSuspend and msgResume are
// recorded and not answered.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "ConnectionRecord.h"
#include "SlaveSettings.h"
#include "SlaveStats.h"
#include "SocketStream.h"
#include "hosting/HangWatch.h"
#include "hosting/PluginChain.h"

namespace tovik::slave {

enum class SessionEnd {
  kPeerClosed,    // the plug-in closed the connection between messages
  kCloseMessage,  // the plug-in sent msgClose
  kTruncated,     // the plug-in closed the connection inside a message
  kGarbage,       // a code or a size that no plug-in sends
  kStalled,       // a message stopped arriving, or an answer was not taken
  kSocketError,   // the socket failed
  kStopped,       // the slave is shutting down
  kChainFailed,   // a plug-in of the chain could not be started
};

const char* SessionEndText(SessionEnd end);

class CSlaveSession {
 public:
  // The slave's identification bytes in msgHelloReply and the first value of
  // its msgGetInfo answer.
  static constexpr unsigned char kIdent1 = 2;
  static constexpr unsigned char kIdent2 = 8;
  static constexpr int32_t kInfoVersion = 1;

  // fd: a connected stream socket, which the session uses but does not close.
  // stats and stop may be null.
  CSlaveSession(int fd, const SlaveSettings& settings, SlaveStats* stats, const std::atomic<bool>* stop);
  ~CSlaveSession();
  CSlaveSession(const CSlaveSession&) = delete;
  CSlaveSession& operator=(const CSlaveSession&) = delete;

  // Where the session publishes its progress, counters and processing times
  // as it goes (none: nowhere). Set before Run.
  void SetRecord(ConnectionRecord* record) { record_ = record; }
  // With settings.verbose, the stream that gets one line per message, tagged
  // with the connection's number. Set before Run.
  void SetTrace(std::FILE* trace, uint64_t connection) {
    trace_ = trace;
    connection_ = connection;
  }

  // Serves the connection to its end.
  SessionEnd Run();

  // What the plug-in has said so far (-1: not told).
  int32_t Inputs() const { return inputs_; }
  int32_t Outputs() const { return outputs_; }
  float SampleRate() const { return sampleRate_; }
  int32_t BlockSize() const { return blockSize_; }
  bool Opened() const { return opened_; }
  bool Suspended() const { return suspended_; }
  unsigned char PluginIdent1() const { return pluginIdent_[0]; }
  unsigned char PluginIdent2() const { return pluginIdent_[1]; }
  // Wire precision of the last block, 0 before the first.
  int32_t Precision() const { return precision_; }
  // SysEx fixed part size of the last block's records (0: none seen yet).
  int32_t SysexFixed() const { return sysexFixedSeen_; }
  uint64_t Blocks() const { return blocks_; }
  // Blocks whose processing took longer than the audio they carry lasts.
  uint64_t LateBlocks() const { return lateBlocks_; }
  // With a chain: the blocks it ran, and the nanoseconds spent in the
  // plug-ins' own process calls, in the chain as a whole, and serving those
  // blocks (code read to answer sent).
  uint64_t ChainBlocks() const { return chainBlocks_; }
  uint64_t PluginNs() const { return chain_ ? static_cast<uint64_t>(chain_->PluginNanoseconds()) : 0; }
  uint64_t ChainNs() const { return chainNs_; }
  uint64_t ServiceNs() const { return serviceNs_; }
  uint64_t BytesIn() const { return stream_.BytesIn(); }
  uint64_t BytesOut() const { return stream_.BytesOut(); }

 private:
  using Clock = std::chrono::steady_clock;
  // The end of the connection, or none to go on with the next message.
  using Step = std::optional<SessionEnd>;

  Step Handle(int32_t code, Clock::time_point started);
  Step Process(Clock::time_point started);
  // Fills the answer's audio area; returns its channel count.
  int32_t RenderOutputs(int32_t precision, int32_t channels, int32_t frames);
  // Copies the records to echo into the echo area; returns their length.
  int32_t CollectEchoEvents(int32_t length);
  // With a chain of plug-ins: makes it for the connection's rate, block size
  // and width when it is not made for them yet (active again if it was).
  // False when a plug-in refuses (said on the chain log). blockChannels: the
  // block's channel count (-1: no block yet).
  bool PrepareChain(int32_t blockChannels);
  // Runs the block through the chain; fills the answer's audio and event
  // areas and returns its channel count.
  int32_t RenderChain(int32_t precision, int32_t channels, int32_t frames, int32_t eventLength,
                      int32_t* eventsOut);
  int32_t SysexFixedFor(int32_t length);
  void ChainLog(const char* format, ...) const
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  Step Answer(const iovec* pieces, int count);
  SessionEnd ReadFailed(CSocketStream::Status status) const;
  void Pause(int32_t ms) const;
  // Notes one answered block's processing time in the record and the counters.
  void NoteBlock(int64_t nanoseconds, int32_t frames);
  void Trace(const char* format, ...) const
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  const SlaveSettings& settings_;
  SlaveStats* stats_;
  const std::atomic<bool>* stop_;
  CSocketStream stream_;

  int32_t inputs_ = -1;
  int32_t outputs_ = -1;
  float sampleRate_ = 0.0f;
  int32_t blockSize_ = -1;
  bool opened_ = false;
  bool suspended_ = false;
  unsigned char pluginIdent_[2] = {0, 0};
  int32_t precision_ = 0;
  int32_t sysexFixedSeen_ = 0;
  int32_t sysexPreferred_;
  uint64_t blocks_ = 0;
  uint64_t lateBlocks_ = 0;
  // The duration of a block of blockFrames_ frames at blockRate_, in ns.
  int32_t blockFrames_ = -1;
  float blockRate_ = 0.0f;
  int64_t blockNs_ = 0;
  ConnectionRecord* record_ = nullptr;
  std::FILE* trace_ = nullptr;
  uint64_t connection_ = 0;

  // Areas sized like the transfer block's, allocated once per connection so
  // that serving a block allocates nothing.
  std::unique_ptr<unsigned char[]> timeInfo_;
  std::unique_ptr<unsigned char[]> events_;
  std::unique_ptr<unsigned char[]> echo_;
  std::unique_ptr<unsigned char[]> input_;
  std::unique_ptr<unsigned char[]> output_;
  std::unique_ptr<float[]> scratch_;

  // The hosted plug-ins (none without --plugin), their events either way,
  // and what watches them for a hang.
  std::unique_ptr<hosting::CPluginChain> chain_;
  std::unique_ptr<hosting::CEventList> chainEventsIn_;
  std::unique_ptr<hosting::CEventList> chainEventsOut_;
  std::unique_ptr<hosting::CHangWatch> hangWatch_;
  bool latencyLogged_ = false;
  // The chain's totals (see ConnectionRecord), in nanoseconds.
  uint64_t chainBlocks_ = 0;
  uint64_t chainNs_ = 0;
  uint64_t serviceNs_ = 0;
};

}  // namespace tovik::slave
