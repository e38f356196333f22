// The TCP transport against an in-process slave: the exact bytes of every
// message the plug-in sends, every message the slave may send, partial and
// hostile messages, and the connection rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "formats/WireFormat.h"
#include "link/SlaveNetMem.h"
#include "sockets/Winsock2Dll.h"
#include "support/ScriptedPeer.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string traced;

void CaptureTrace(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  traced += line;
}

Bytes Int32s(std::initializer_list<int32_t> values) {
  Bytes out;
  for (int32_t v : values) ScriptedPeer::PutInt32(out, v);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Pattern(size_t n, unsigned char seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(seed + i * 7);
  return out;
}

class SlaveNetMemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, dll.fn.socket) << "socket functions not bound";
    ASSERT_TRUE(peer.Listening());
    ASSERT_NE(nullptr, link.Block());
    ASSERT_TRUE(link.AttachA(true));
    ASSERT_TRUE(link.SetIdentA(1, 8));
    traced.clear();
    link.SetTrace(&CaptureTrace);
  }

  void Connect() {
    ASSERT_TRUE(link.Connect("127.0.0.1", peer.Port()));
    ASSERT_TRUE(peer.Accept());
  }

  bool Send(int32_t code) {
    block().msgCode = code;
    return link.Signal();
  }

  TransferBlock& block() { return *link.Block(); }

  void ExpectDropped(bool sideACleared) {
    EXPECT_EQ(ws::kInvalidSocket, handle);
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(0, block().sideBAttached);
    EXPECT_EQ(sideACleared ? 0 : 1, block().sideAAttached);
    EXPECT_TRUE(peer.SeesClose());
  }

  CWinsock2Dll dll{true};
  ws::SOCKET handle = ws::kInvalidSocket;
  CSlaveNetMem link{&dll.fn, &handle};
  ScriptedPeer peer;
};

// ---- construction and connection ----

TEST_F(SlaveNetMemTest, ConstructedWithAFreshBlockAndFourBytesPerSample) {
  CSlaveNetMem fresh(&dll.fn, &handle);
  ASSERT_NE(nullptr, fresh.Block());
  EXPECT_EQ(0, std::memcmp(fresh.Block()->magic, "KTKT", 4));
  EXPECT_EQ(4, fresh.BytesPerSample());
  EXPECT_FALSE(fresh.IsConnected());
  EXPECT_FALSE(fresh.IsAttachedA());
}

TEST_F(SlaveNetMemTest, ConnectMarksSideBAndKeepsOneConnection) {
  Connect();
  EXPECT_TRUE(link.IsConnected());
  EXPECT_NE(ws::kInvalidSocket, handle);
  EXPECT_EQ(1, block().sideBAttached);

  const ws::SOCKET first = handle;
  EXPECT_FALSE(link.Connect("127.0.0.1", peer.Port()));
  EXPECT_EQ(first, handle);
  EXPECT_FALSE(peer.Accept(100));  // no second connection was made
  ASSERT_TRUE(Send(msgOpen));
  EXPECT_EQ(Int32s({1}), peer.Read(4));
}

TEST_F(SlaveNetMemTest, ConnectRefusesPortsOutsideTheRange) {
  for (unsigned port : {0u, 65536u, 99999u}) {
    EXPECT_FALSE(link.Connect("127.0.0.1", port)) << port;
    EXPECT_EQ(ws::kInvalidSocket, handle);
    EXPECT_EQ(0, block().sideBAttached);
  }
  EXPECT_FALSE(link.Connect(nullptr, peer.Port()));
}

TEST_F(SlaveNetMemTest, ConnectWithoutListenerFails) {
  const unsigned port = peer.Port();
  peer.StopListening();
  EXPECT_FALSE(link.Connect("127.0.0.1", port));
  EXPECT_EQ(ws::kInvalidSocket, handle);
  EXPECT_EQ(0, block().sideBAttached);
}

TEST_F(SlaveNetMemTest, ConnectionHasNoDelayAndASendTimeout) {
  link.SetTransferTimeout(1500);
  Connect();
  int noDelay = 0;
  ws::socklen length = static_cast<ws::socklen>(sizeof noDelay);
  ASSERT_EQ(0, dll.fn.getsockopt(handle, ws::kIpprotoTcp, ws::kTcpNoDelay, reinterpret_cast<char*>(&noDelay),
                                 &length));
  EXPECT_NE(0, noDelay);
  ws::DWORD timeout = 0;
  length = static_cast<ws::socklen>(sizeof timeout);
  ASSERT_EQ(0, dll.fn.getsockopt(handle, ws::kSolSocket, ws::kSoSndTimeo, reinterpret_cast<char*>(&timeout),
                                 &length));
  EXPECT_EQ(1500u, timeout);
}

// A resolver that records what it was asked and resolves to the scripted
// slave's address.
struct RecordingResolver {
  static const ws::Winsock2Table* real;
  static std::string host, service;
  static ws::addrinfo hints;
  static int resolved, released;

  static int TOVIK_WSAAPI GetAddrInfo(const char* node, const char* serviceName, const ws::addrinfo* h,
                                      ws::addrinfo** result) {
    host = node ? node : "";
    service = serviceName ? serviceName : "";
    hints = *h;
    ++resolved;
    return real->getaddrinfo("127.0.0.1", serviceName, h, result);
  }
  static void TOVIK_WSAAPI FreeAddrInfo(ws::addrinfo* list) {
    ++released;
    real->freeaddrinfo(list);
  }
};
const ws::Winsock2Table* RecordingResolver::real = nullptr;
std::string RecordingResolver::host;
std::string RecordingResolver::service;
ws::addrinfo RecordingResolver::hints{};
int RecordingResolver::resolved = 0;
int RecordingResolver::released = 0;

TEST_F(SlaveNetMemTest, ConnectResolvesACutHostNameAndReleasesTheList) {
  ws::Winsock2Table table = dll.fn;
  RecordingResolver::real = &dll.fn;
  RecordingResolver::resolved = RecordingResolver::released = 0;
  table.getaddrinfo = &RecordingResolver::GetAddrInfo;
  table.freeaddrinfo = &RecordingResolver::FreeAddrInfo;
  ws::SOCKET own = ws::kInvalidSocket;
  CSlaveNetMem recorded(&table, &own);
  ASSERT_TRUE(recorded.AttachA(true));

  const std::string longName(300, 'h');
  ASSERT_TRUE(recorded.Connect(longName.c_str(), peer.Port()));
  EXPECT_EQ(std::string(259, 'h'), RecordingResolver::host);
  EXPECT_EQ(std::to_string(peer.Port()), RecordingResolver::service);
  EXPECT_EQ(1, RecordingResolver::hints.ai_flags);
  EXPECT_EQ(0, RecordingResolver::hints.ai_family);  // IPv4 and IPv6
  EXPECT_EQ(1, RecordingResolver::hints.ai_socktype);
  EXPECT_EQ(6, RecordingResolver::hints.ai_protocol);
  EXPECT_EQ(1, RecordingResolver::released);

  // A failed connect releases the list as well.
  ASSERT_TRUE(recorded.Disconnect());
  const unsigned port = peer.Port();
  peer.StopListening();
  EXPECT_FALSE(recorded.Connect("slave", port));
  EXPECT_EQ("slave", RecordingResolver::host);
  EXPECT_EQ(2, RecordingResolver::resolved);
  EXPECT_EQ(2, RecordingResolver::released);
  EXPECT_EQ(ws::kInvalidSocket, own);
}

TEST_F(SlaveNetMemTest, ConnectNeedsABlock) {
  link.Close();
  EXPECT_FALSE(link.Connect("127.0.0.1", peer.Port()));
  EXPECT_FALSE(link.Disconnect());
  EXPECT_EQ(ws::kInvalidSocket, handle);
}

TEST_F(SlaveNetMemTest, ConnectFailsWhenTheTableIsEmpty) {
  ws::Winsock2Table none{};
  ws::SOCKET own = ws::kInvalidSocket;
  CSlaveNetMem bare(&none, &own);
  EXPECT_FALSE(bare.Connect("127.0.0.1", peer.Port()));
  EXPECT_TRUE(bare.Disconnect());
  CSlaveNetMem null(nullptr, nullptr);
  EXPECT_FALSE(null.Connect("127.0.0.1", peer.Port()));
}

TEST_F(SlaveNetMemTest, DisconnectDeliversWhatWasSentThenCloses) {
  Connect();
  ASSERT_TRUE(Send(msgClose));
  EXPECT_TRUE(link.Disconnect());
  EXPECT_EQ(ws::kInvalidSocket, handle);
  EXPECT_EQ(0, block().sideBAttached);
  EXPECT_EQ(1, block().sideAAttached);
  EXPECT_EQ(Int32s({2}), peer.Read(4));
  EXPECT_TRUE(peer.SeesClose());
  EXPECT_TRUE(link.Disconnect());  // nothing left to close
}

// ---- preconditions ----

TEST_F(SlaveNetMemTest, NeitherRoleMeansNoTraffic) {
  Connect();
  ASSERT_TRUE(link.AttachA(false));
  block().sideBAttached = 0;
  EXPECT_FALSE(Send(msgOpen));
  EXPECT_FALSE(link.Wait(100));
  EXPECT_EQ("Signal() - preconditions wrong\nWait(100) - preconditions wrong\n", traced);
  EXPECT_TRUE(link.IsConnected());
  EXPECT_TRUE(peer.NothingArrives(50));
}

TEST_F(SlaveNetMemTest, NoConnectionMeansNoTraffic) {
  EXPECT_FALSE(Send(msgProcess));
  EXPECT_FALSE(link.Wait(100));
  EXPECT_EQ("Signal(11) not connected!\nWait(100) - no connection\n", traced);
  EXPECT_EQ(1, block().sideAAttached);
}

TEST_F(SlaveNetMemTest, RoleBAloneIsEnough) {
  Connect();
  ASSERT_TRUE(link.AttachA(false));  // side B is marked by the connection
  EXPECT_TRUE(Send(msgResume));
  EXPECT_EQ(Int32s({13}), peer.Read(4));
}

// ---- messages from the plug-in ----

TEST_F(SlaveNetMemTest, HelloCarriesTheSideAIdentification) {
  Connect();
  ASSERT_TRUE(Send(msgHello));
  EXPECT_EQ((Bytes{3, 0, 0, 0, 1, 8}), peer.Read(6));
  EXPECT_TRUE(peer.NothingArrives(20));
}

TEST_F(SlaveNetMemTest, FixedPayloadsOfTheSetupMessages) {
  Connect();
  const Bytes setIo = Int32s({2, 3, 1, 1});
  std::memcpy(block().payload, setIo.data(), setIo.size());
  ASSERT_TRUE(Send(msgSetIo));
  EXPECT_EQ(Concat({Int32s({5}), setIo}), peer.Read(20));

  const float rate = 44100.0f;
  std::memcpy(block().payload, &rate, 4);
  ASSERT_TRUE(Send(msgSetSampleRate));
  Bytes rateBytes;
  ScriptedPeer::PutFloat(rateBytes, rate);
  EXPECT_EQ(Concat({Int32s({7}), rateBytes}), peer.Read(8));

  const int32_t blockSize = 512;
  std::memcpy(block().payload, &blockSize, 4);
  ASSERT_TRUE(Send(msgSetBlockSize));
  EXPECT_EQ(Int32s({8, 512}), peer.Read(8));

  const Bytes time = Pattern(kTimeInfoBytes, 3);
  std::memcpy(block().payload, time.data(), time.size());
  ASSERT_TRUE(Send(msgTimeInfo));
  EXPECT_EQ(Concat({Int32s({9}), time}), peer.Read(92));
  EXPECT_TRUE(peer.NothingArrives(20));
}

TEST_F(SlaveNetMemTest, CodesWithoutPayloadTravelAlone) {
  Connect();
  const int32_t codes[] = {msgOpen, msgClose, msgSuspend, msgResume, msgGetInfo, 0, 14, 15, 17, -5};
  Bytes expected;
  for (int32_t code : codes) {
    ASSERT_TRUE(Send(code)) << code;
    ScriptedPeer::PutInt32(expected, code);
  }
  EXPECT_EQ(expected, peer.Read(expected.size()));
  EXPECT_TRUE(peer.NothingArrives(20));
}

// Fills the block for a msgProcess and returns the bytes it must produce.
Bytes PrepareProcess(CSlaveNetMem& link, int32_t width, int32_t channels, int32_t frames,
                     const Bytes& events) {
  TransferBlock& block = *link.Block();
  const Bytes time = Pattern(kTimeInfoBytes, 11);
  std::memcpy(block.payload, time.data(), time.size());
  if (!events.empty()) std::memcpy(block.outEvents, events.data(), events.size());
  block.outEventLength = static_cast<int32_t>(events.size());
  block.inputChannels = channels;
  block.frames = frames;
  link.SetBytesPerSample(width);
  const Bytes audio = Pattern(static_cast<size_t>(width) * channels * frames, 29);
  if (!audio.empty()) std::memcpy(block.wireAudio, audio.data(), audio.size());
  block.msgCode = msgProcess;
  return Concat({Int32s({11}), time, Int32s({static_cast<int32_t>(events.size())}), events,
                 Int32s({width, channels, frames}), audio});
}

TEST_F(SlaveNetMemTest, ProcessLayoutWithEventsAndAudio) {
  Connect();
  const Bytes events = Pattern(62, 5);
  const Bytes expected = PrepareProcess(link, 2, 2, 5, events);
  ASSERT_EQ(4u + 88 + 4 + 62 + 12 + 20, expected.size());
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ(expected, peer.Read(expected.size()));
  EXPECT_TRUE(peer.NothingArrives(20));
  EXPECT_EQ(0, block().outEventLength);
}

TEST_F(SlaveNetMemTest, ProcessWithoutEventsOrChannels) {
  Connect();
  // An empty event area is the int32 0 alone; C = 0 sends no audio bytes.
  const Bytes expected = PrepareProcess(link, 4, 0, 512, {});
  ASSERT_EQ(108u, expected.size());
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ(expected, peer.Read(108));
  EXPECT_TRUE(peer.NothingArrives(20));

  const Bytes noFrames = PrepareProcess(link, 3, 2, 0, {});
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ(noFrames, peer.Read(noFrames.size()));
  EXPECT_EQ(3, ScriptedPeer::Int32At(noFrames, 96));
  EXPECT_TRUE(peer.NothingArrives(20));
}

TEST_F(SlaveNetMemTest, ProcessAtEveryWidthParsesOnTheSlaveSide) {
  Connect();
  for (int32_t width = 1; width <= 4; ++width) {
    const Bytes events = Pattern(31, static_cast<unsigned char>(width));
    PrepareProcess(link, width, 3, 7, events);
    ASSERT_TRUE(link.Signal());
    ScriptedPeer::Message message;
    ASSERT_TRUE(peer.ReadMessage(message));
    EXPECT_EQ(msgProcess, message.code);
    EXPECT_EQ(events, message.events);
    EXPECT_EQ(width, message.bytesPerSample);
    EXPECT_EQ(3, message.channels);
    EXPECT_EQ(7, message.frames);
    EXPECT_EQ(Pattern(static_cast<size_t>(width) * 21, 29), message.audio);
  }
}

TEST_F(SlaveNetMemTest, ProcessThatWouldReadPastTheAudioAreaFails) {
  Connect();
  PrepareProcess(link, 4, 1, 1, {});
  block().inputChannels = 16;
  block().frames = kMaxFrames + 1;
  block().outEventLength = 31;
  EXPECT_FALSE(link.Signal());
  EXPECT_EQ("Signal(11) failed!\n", traced);
  EXPECT_EQ(31, block().outEventLength);  // nothing went out
  ExpectDropped(true);
}

TEST_F(SlaveNetMemTest, ProcessWithCorruptEventLengthFails) {
  Connect();
  PrepareProcess(link, 4, 1, 1, {});
  block().outEventLength = kEventAreaSize + 1;
  EXPECT_FALSE(link.Signal());
  EXPECT_EQ(0, block().outEventLength);
  ExpectDropped(true);
}

// ---- messages from the slave ----

TEST_F(SlaveNetMemTest, HelloReplyStoresTheSlaveIdentification) {
  Connect();
  block().sideBAttached = 0;
  block().sideAAttached = 1;
  ASSERT_TRUE(peer.Write(Concat({Int32s({4}), Bytes{7, 9}})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgHelloReply, block().msgCode);
  EXPECT_EQ(1, block().sideBAttached);
  uint8_t b1 = 0, b2 = 0;
  link.GetIdentB(b1, b2);
  EXPECT_EQ(7, b1);
  EXPECT_EQ(9, b2);
}

TEST_F(SlaveNetMemTest, FixedPayloadsFromTheSlave) {
  Connect();
  struct Case {
    int32_t code;
    size_t bytes;
  };
  for (const Case& c : {Case{msgSetIo, 16}, Case{msgSetIoReply, 16}, Case{msgSetSampleRate, 4},
                        Case{msgTimeInfo, 88}, Case{msgGetInfo, 12}}) {
    std::memset(block().payload, 0xEE, sizeof block().payload);
    const Bytes payload = Pattern(c.bytes, static_cast<unsigned char>(c.code));
    // A msgResume right behind shows that exactly the payload was consumed.
    ASSERT_TRUE(peer.Write(Concat({Int32s({c.code}), payload, Int32s({msgResume})})));
    ASSERT_TRUE(link.Wait(1000)) << c.code;
    EXPECT_EQ(c.code, block().msgCode);
    EXPECT_EQ(0, std::memcmp(payload.data(), block().payload, c.bytes)) << c.code;
    EXPECT_EQ(0xEE, block().payload[c.bytes]) << c.code;
    ASSERT_TRUE(link.Wait(0));  // arrived with the message before it
    EXPECT_EQ(msgResume, block().msgCode);
  }
}

TEST_F(SlaveNetMemTest, SetBlockSizeFromTheSlaveIsNinetyTwoBytes) {
  Connect();
  const Bytes time = Pattern(kTimeInfoBytes, 40);
  ASSERT_TRUE(peer.Write(Concat({Int32s({8, 256}), time, Int32s({msgSuspend})})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgSetBlockSize, block().msgCode);
  EXPECT_EQ(0, std::memcmp(time.data(), block().payload, time.size()));  // the 88 bytes overwrite the 4
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgSuspend, block().msgCode);
  EXPECT_FALSE(link.Wait(0));
}

TEST_F(SlaveNetMemTest, CodesWithoutPayloadEndAfterTheCode) {
  Connect();
  const int32_t codes[] = {0, 1, 2, 3, 12, 13, 14, 15, 17, 1000, -2, INT32_MIN};
  Bytes stream;
  for (int32_t code : codes) ScriptedPeer::PutInt32(stream, code);
  ASSERT_TRUE(peer.Write(stream));
  for (int32_t code : codes) {
    ASSERT_TRUE(link.Wait(1000)) << code;
    EXPECT_EQ(code, block().msgCode);
  }
  EXPECT_FALSE(link.Wait(0));
  EXPECT_TRUE(link.IsConnected());
}

TEST_F(SlaveNetMemTest, CodeMinusOneIsAFailedRead) {
  Connect();
  ASSERT_TRUE(peer.Write(Int32s({-1})));
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ(-1, block().msgCode);
  EXPECT_EQ("Wait(1000) - failed\n", traced);
  ExpectDropped(false);
}

TEST_F(SlaveNetMemTest, WaitTimesOutAndKeepsTheConnection) {
  Connect();
  EXPECT_FALSE(link.Wait(0));
  EXPECT_FALSE(link.Wait(30));
  EXPECT_EQ("Wait(0) - timeout\nWait(30) - timeout\n", traced);
  EXPECT_TRUE(link.IsConnected());
  EXPECT_EQ(1, block().sideBAttached);
}

TEST_F(SlaveNetMemTest, EventsFromTheSlave) {
  Connect();
  const Bytes records = Pattern(31, 1);
  ASSERT_TRUE(peer.Write(Concat({Int32s({10, 31}), records})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgEvents, block().msgCode);
  EXPECT_EQ(31, block().inEventLength);
  EXPECT_EQ(0, std::memcmp(records.data(), block().inEvents, records.size()));

  ASSERT_TRUE(peer.Write(Int32s({10, 0})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(0, block().inEventLength);

  const Bytes full = Pattern(kEventAreaSize, 2);
  ASSERT_TRUE(peer.Write(Concat({Int32s({10, kEventAreaSize}), full})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(kEventAreaSize, block().inEventLength);
  EXPECT_EQ(0, std::memcmp(full.data(), block().inEvents, full.size()));
  EXPECT_EQ(0, block().inputChannels);  // the next field is untouched
}

class HostileEventLength : public SlaveNetMemTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(HostileEventLength, IsAFailedRead) {
  Connect();
  block().inEventLength = 5;
  ASSERT_TRUE(peer.Write(Int32s({10, GetParam()})));
  ASSERT_TRUE(peer.Write(Pattern(100, 0)));
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ(5, block().inEventLength);
  EXPECT_EQ(0, block().inputChannels);
  ExpectDropped(false);
}

INSTANTIATE_TEST_SUITE_P(SlaveNetMem, HostileEventLength,
                         ::testing::Values(kEventAreaSize + 1, INT32_MAX, -1, INT32_MIN));

// A msgProcess reply: B, C, N and C x N x B bytes.
Bytes Reply(int32_t width, int32_t channels, int32_t frames, const Bytes& audio) {
  return Concat({Int32s({11, width, channels, frames}), audio});
}

Bytes FloatBytes(std::initializer_list<float> values) {
  Bytes out;
  for (float v : values) ScriptedPeer::PutFloat(out, v);
  return out;
}

TEST_F(SlaveNetMemTest, ProcessReplyFillsTheOutputRows) {
  Connect();
  block().frames = 3;  // R = 4
  ASSERT_TRUE(peer.Write(Reply(4, 2, 3, FloatBytes({0.5f, -0.25f, 1.0f, 2.0f, -3.0f, 0.125f}))));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgProcess, block().msgCode);
  EXPECT_EQ(4, link.BytesPerSample());
  EXPECT_EQ(2, block().outputChannels);
  EXPECT_EQ(3, block().outputFrames);
  const float* row0 = link.OutputChannel(0);
  const float* row1 = link.OutputChannel(1);
  ASSERT_EQ(block().outputFloats, row0);
  ASSERT_EQ(block().outputFloats + 4, row1);
  EXPECT_EQ(0.5f, row0[0]);
  EXPECT_EQ(-0.25f, row0[1]);
  EXPECT_EQ(1.0f, row0[2]);
  EXPECT_EQ(0.0f, row0[3]);  // padding
  EXPECT_EQ(2.0f, row1[0]);
  EXPECT_EQ(-3.0f, row1[1]);
  EXPECT_EQ(0.125f, row1[2]);
  EXPECT_EQ(nullptr, link.OutputChannel(2));
}

TEST_F(SlaveNetMemTest, ProcessReplyDecodesEachWidth) {
  Connect();
  block().frames = 4;
  for (int32_t width = 1; width <= 3; ++width) {
    const Bytes audio = Pattern(static_cast<size_t>(width) * 2 * 4, static_cast<unsigned char>(width * 50));
    ASSERT_TRUE(peer.Write(Reply(width, 2, 4, audio)));
    ASSERT_TRUE(link.Wait(1000)) << width;
    EXPECT_EQ(width, link.BytesPerSample());
    for (int c = 0; c < 2; ++c) {
      float expected[4] = {};
      DecodeChannel(width, audio.data() + static_cast<size_t>(c) * 4 * width, expected, 4);
      EXPECT_EQ(0, std::memcmp(expected, link.OutputChannel(c), sizeof expected)) << width << " " << c;
    }
  }
}

TEST_F(SlaveNetMemTest, ProcessReplyLongerThanTheRowsKeepsEachRowToItsLength) {
  Connect();
  block().frames = 4;  // R = 4
  block().outputFloats[8] = 99.0f;
  ASSERT_TRUE(peer.Write(Reply(4, 2, 6, FloatBytes({1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 16}))));
  ASSERT_TRUE(link.Wait(1000));
  const float* rows = block().outputFloats;
  const float expected[9] = {1, 2, 3, 4, 11, 12, 13, 14, 99};
  EXPECT_EQ(0, std::memcmp(expected, rows, sizeof expected));
}

TEST_F(SlaveNetMemTest, ProcessReplyWithoutSamples) {
  Connect();
  block().frames = 8;
  block().outputFloats[0] = 7.0f;
  ASSERT_TRUE(peer.Write(Reply(4, 0, 8, {})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(0, block().outputChannels);
  ASSERT_TRUE(peer.Write(Reply(4, 2, 0, {})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(2, block().outputChannels);
  EXPECT_EQ(0, block().outputFrames);
  EXPECT_EQ(7.0f, block().outputFloats[0]);
  ASSERT_TRUE(peer.Write(Int32s({msgSuspend})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgSuspend, block().msgCode);
}

TEST_F(SlaveNetMemTest, ProcessReplyOfAnUnknownWidthLeavesTheRows) {
  Connect();
  block().frames = 2;
  block().outputFloats[0] = 7.0f;
  ASSERT_TRUE(peer.Write(Concat({Reply(7, 1, 2, Pattern(14, 1)), Int32s({msgResume})})));
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(7, link.BytesPerSample());
  EXPECT_EQ(7.0f, block().outputFloats[0]);
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgResume, block().msgCode);
}

struct HostileReply {
  int32_t frameField;  // R comes from the frame count of the last msgProcess sent
  int32_t width, channels, frames;
};

class HostileProcessReply : public SlaveNetMemTest, public ::testing::WithParamInterface<HostileReply> {};

TEST_P(HostileProcessReply, IsAFailedReadThatStoresNothing) {
  const HostileReply r = GetParam();
  Connect();
  block().frames = r.frameField;
  block().outputChannels = 1;
  block().outputFrames = 5;
  block().outputFloats[0] = 3.0f;
  ASSERT_TRUE(peer.Write(Int32s({11, r.width, r.channels, r.frames})));
  ASSERT_TRUE(peer.Write(Pattern(1000, 0)));
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ(4, link.BytesPerSample());
  EXPECT_EQ(1, block().outputChannels);
  EXPECT_EQ(5, block().outputFrames);
  EXPECT_EQ(3.0f, block().outputFloats[0]);
  ExpectDropped(false);
}

INSTANTIATE_TEST_SUITE_P(
    SlaveNetMem, HostileProcessReply,
    ::testing::Values(HostileReply{512, 4, 16, kMaxFrames + 1},            // one frame past the wire area
                      HostileReply{512, 4, 1, INT32_MAX},                  // C x N x B overflows 32 bits
                      HostileReply{512, INT32_MAX, INT32_MAX, INT32_MAX},  // and 64 bits, unchecked
                      HostileReply{512, 1, 2822401, 1},                    // bytes just past the area
                      HostileReply{kMaxFrames, 4, 17, 0},                  // 17 rows of R floats
                      HostileReply{512, 4, 1379, 1},                       // 1379 rows of 512 floats
                      HostileReply{512, 4, -1, 10},                        // negative counts
                      HostileReply{512, 4, 2, -1}, HostileReply{512, -4, 2, 10}));

TEST_F(SlaveNetMemTest, ProcessReplyFillingBothAreasExactly) {
  Connect();
  block().frames = kMaxFrames;
  Bytes audio(static_cast<size_t>(kAudioAreaSize));
  for (size_t i = 0; i < audio.size(); i += 4) {
    const float v = static_cast<float>(i / 4 % kMaxFrames) / kMaxFrames;
    std::memcpy(&audio[i], &v, 4);
  }
  ASSERT_TRUE(peer.Write(Reply(4, kMaxChannels, kMaxFrames, audio)));
  ASSERT_TRUE(link.Wait(2000));
  EXPECT_EQ(0, std::memcmp(audio.data(), block().outputFloats, audio.size()));
}

// ---- partial and interrupted messages ----

TEST_F(SlaveNetMemTest, SlaveClosingMidMessageFailsTheWait) {
  Connect();
  ASSERT_TRUE(peer.Write(Concat({Int32s({msgGetInfo}), Bytes{1, 2, 3, 4, 5}})));
  peer.CloseConnection();
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ("Wait(1000) - failed\n", traced);
  EXPECT_EQ(ws::kInvalidSocket, handle);
  EXPECT_EQ(0, block().sideBAttached);
  EXPECT_EQ(1, block().sideAAttached);
  EXPECT_FALSE(link.Wait(0));  // no connection any more
}

TEST_F(SlaveNetMemTest, MessagesBeforeTheCloseAreDeliveredFirst) {
  Connect();
  ASSERT_TRUE(peer.Write(Concat({Int32s({msgGetInfo}), Pattern(12, 1), Int32s({msgSuspend})})));
  peer.CloseConnection();
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(msgGetInfo, block().msgCode);
  ASSERT_TRUE(link.Wait(0));
  EXPECT_EQ(msgSuspend, block().msgCode);
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ(0, block().sideBAttached);
  EXPECT_EQ(ws::kInvalidSocket, handle);
}

TEST_F(SlaveNetMemTest, SlaveClosingInsideTheCodeKeepsTheOldCode) {
  Connect();
  block().msgCode = msgSetIo;
  ASSERT_TRUE(peer.Write(Bytes{11, 0}));
  peer.CloseConnection();
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ(msgSetIo, block().msgCode);
  EXPECT_EQ(0, block().sideBAttached);
}

TEST_F(SlaveNetMemTest, MessageThatStopsComingFailsAfterTheBound) {
  link.SetTransferTimeout(200);
  Connect();
  block().frames = 4;
  ASSERT_TRUE(peer.Write(Concat({Int32s({11, 4, 2, 4}), FloatBytes({1, 2, 3})})));  // 3 of 8 samples
  EXPECT_FALSE(link.Wait(1000));
  EXPECT_EQ("Wait(1000) - failed\n", traced);
  ExpectDropped(false);
}

TEST_F(SlaveNetMemTest, MessageInPiecesIsReadWhole) {
  Connect();
  block().frames = 2;
  const Bytes whole = Reply(4, 1, 2, FloatBytes({0.5f, 0.75f}));
  std::thread slave([&] {
    for (size_t i = 0; i < whole.size(); ++i) {
      if (!peer.Write(&whole[i], 1)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const bool received = link.Wait(1000);
  slave.join();
  ASSERT_TRUE(received);
  EXPECT_EQ(0.5f, link.OutputChannel(0)[0]);
  EXPECT_EQ(0.75f, link.OutputChannel(0)[1]);
}

// ---- failures of the send side ----

TEST_F(SlaveNetMemTest, FailedSignalClearsBothSides) {
  Connect();
  peer.CloseConnection();
  bool failed = false;
  for (int i = 0; i < 50 && !failed; ++i) failed = !Send(msgSuspend);
  ASSERT_TRUE(failed);
  EXPECT_EQ("Signal(12) failed!\n", traced);
  EXPECT_EQ(ws::kInvalidSocket, handle);
  EXPECT_EQ(0, block().sideAAttached);
  EXPECT_EQ(0, block().sideBAttached);
  EXPECT_FALSE(link.Wait(0));
}

TEST_F(SlaveNetMemTest, SlaveThatStopsReadingFailsTheSend) {
  link.SetTransferTimeout(300);
  Connect();
  peer.SetReceiveBuffer(4096);
  bool failed = false;
  for (int i = 0; i < 40 && !failed; ++i) {
    PrepareProcess(link, 4, kMaxChannels, kMaxFrames, {});
    failed = !link.Signal();
  }
  ASSERT_TRUE(failed);
  EXPECT_EQ(0, block().sideAAttached);
  EXPECT_EQ(0, block().sideBAttached);
  EXPECT_EQ(ws::kInvalidSocket, handle);
}

// A socket table whose WSASend lets a set number of bytes through and then
// fails, and whose recv and WSASend can be interrupted.
struct FaultySockets {
  static const ws::Winsock2Table* real;
  static int64_t allowBytes;     // bytes WSASend still lets through; negative: no limit
  static int failWith;           // the error reported once the allowance is used
  static int interruptSends;     // WSASend calls that fail with WSAEINTR first
  static int interruptReceives;  // recv calls that fail with WSAEINTR first
  static int stallSends;         // WSASend calls that report WSAEWOULDBLOCK first
  static int64_t maxPerCall;     // bytes one WSASend takes at most; 0: no limit
  static int lastError;

  static int TOVIK_WSAAPI WSASend(ws::SOCKET s, ws::WSABUF* buffers, ws::DWORD count, ws::DWORD* sent,
                                  ws::DWORD flags, ws::LPWSAOVERLAPPED overlapped,
                                  ws::LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    if (interruptSends > 0 || stallSends > 0) {
      lastError = interruptSends > 0 ? ws::kWsaEintr : ws::kWsaEwouldblock;
      (interruptSends > 0 ? interruptSends : stallSends)--;
      return ws::kSocketError;
    }
    if (allowBytes == 0) {
      lastError = failWith;
      return ws::kSocketError;
    }
    ws::WSABUF limited[16];
    ws::DWORD n = 0;
    int64_t budget = allowBytes < 0 ? INT64_MAX : allowBytes;
    if (maxPerCall > 0 && budget > maxPerCall) budget = maxPerCall;
    for (; n < count && n < 16 && budget > 0; ++n) {
      limited[n] = buffers[n];
      if (static_cast<int64_t>(limited[n].len) > budget) limited[n].len = static_cast<ws::u_long>(budget);
      budget -= limited[n].len;
    }
    const int result = real->WSASend(s, limited, n, sent, flags, overlapped, completion);
    if (result == 0 && allowBytes > 0) allowBytes -= *sent;
    return result;
  }

  static int TOVIK_WSAAPI Recv(ws::SOCKET s, char* data, int n, int flags) {
    if (interruptReceives > 0) {
      --interruptReceives;
      lastError = ws::kWsaEintr;
      return ws::kSocketError;
    }
    return real->recv(s, data, n, flags);
  }

  // The error of a faked failure once, else the real one.
  static int TOVIK_WSAAPI GetLastError() {
    const int error = lastError;
    lastError = 0;
    return error != 0 ? error : real->WSAGetLastError();
  }

  static ws::Winsock2Table Make(const ws::Winsock2Table& base) {
    real = &base;
    allowBytes = -1;
    failWith = ws::kWsaEconnreset;
    interruptSends = interruptReceives = stallSends = 0;
    maxPerCall = 0;
    lastError = 0;
    ws::Winsock2Table table = base;
    table.WSASend = &WSASend;
    table.recv = &Recv;
    table.WSAGetLastError = &GetLastError;
    return table;
  }
};

const ws::Winsock2Table* FaultySockets::real = nullptr;
int64_t FaultySockets::allowBytes = -1;
int FaultySockets::failWith = 0;
int FaultySockets::interruptSends = 0;
int FaultySockets::interruptReceives = 0;
int FaultySockets::stallSends = 0;
int64_t FaultySockets::maxPerCall = 0;
int FaultySockets::lastError = 0;

class FaultySlaveNetMemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Listening());
    ASSERT_TRUE(link.AttachA(true));
    ASSERT_TRUE(link.Connect("127.0.0.1", peer.Port()));
    ASSERT_TRUE(peer.Accept());
  }
  TransferBlock& block() { return *link.Block(); }

  CWinsock2Dll dll{true};
  ws::Winsock2Table table = FaultySockets::Make(dll.fn);
  ws::SOCKET handle = ws::kInvalidSocket;
  CSlaveNetMem link{&table, &handle};
  ScriptedPeer peer;
};

TEST_F(FaultySlaveNetMemTest, EventsStayQueuedWhenTheCodeFails) {
  PrepareProcess(link, 4, 1, 8, Pattern(31, 0));
  FaultySockets::allowBytes = 2;  // not even the whole code
  EXPECT_FALSE(link.Signal());
  EXPECT_EQ(31, block().outEventLength);
  EXPECT_EQ(0, block().sideAAttached);
  EXPECT_EQ(0, block().sideBAttached);
}

TEST_F(FaultySlaveNetMemTest, EventsAreGoneOnceTheCodeWentOut) {
  // Whatever part fails after the code (time record, event length, events,
  // audio header), the events count as sent.
  for (int64_t allowed : {4, 50, 92, 96, 127, 140}) {
    if (!link.IsConnected()) {
      peer.CloseConnection();
      ASSERT_TRUE(link.Connect("127.0.0.1", peer.Port()));
      ASSERT_TRUE(peer.Accept());
    }
    PrepareProcess(link, 4, 1, 8, Pattern(31, 0));
    FaultySockets::allowBytes = allowed;
    EXPECT_FALSE(link.Signal()) << allowed;
    EXPECT_EQ(0, block().outEventLength) << allowed;
    EXPECT_EQ(static_cast<size_t>(allowed), peer.Read(static_cast<size_t>(allowed)).size());
  }
}

TEST_F(FaultySlaveNetMemTest, InterruptedAndStalledSendsAreRetried) {
  const Bytes expected = PrepareProcess(link, 2, 2, 16, Pattern(31, 9));
  FaultySockets::interruptSends = 3;
  FaultySockets::stallSends = 3;
  FaultySockets::allowBytes = -1;
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ(expected, peer.Read(expected.size()));
}

TEST_F(FaultySlaveNetMemTest, PartialSendsAreContinued) {
  const Bytes expected = PrepareProcess(link, 4, 2, 64, Pattern(62, 9));
  FaultySockets::maxPerCall = 10;  // every WSASend takes at most 10 bytes
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ(expected, peer.Read(expected.size()));
  EXPECT_EQ(0, block().outEventLength);
}

TEST_F(FaultySlaveNetMemTest, InterruptedReceivesAreRetried) {
  block().frames = 2;
  ASSERT_TRUE(peer.Write(Reply(4, 1, 2, FloatBytes({0.5f, 0.25f}))));
  FaultySockets::interruptReceives = 3;
  ASSERT_TRUE(link.Wait(1000));
  EXPECT_EQ(0.25f, link.OutputChannel(0)[1]);
  EXPECT_TRUE(link.IsConnected());
}

TEST(SlaveNetMemSendParts, PlainSendsGiveTheSameBytes) {
  // Without WSASend every part goes through its own send.
  CWinsock2Dll dll(true);
  ws::Winsock2Table table = dll.fn;
  table.WSASend = nullptr;
  ws::SOCKET handle = ws::kInvalidSocket;
  CSlaveNetMem link(&table, &handle);
  ScriptedPeer peer;
  ASSERT_TRUE(link.AttachA(true));
  ASSERT_TRUE(link.Connect("127.0.0.1", peer.Port()));
  ASSERT_TRUE(peer.Accept());
  const Bytes expected = PrepareProcess(link, 3, 2, 9, Pattern(40, 1));
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ(expected, peer.Read(expected.size()));
  EXPECT_EQ(0, link.Block()->outEventLength);
  link.Block()->msgCode = msgHello;
  link.SetIdentA(1, 8);
  ASSERT_TRUE(link.Signal());
  EXPECT_EQ((Bytes{3, 0, 0, 0, 1, 8}), peer.Read(6));
}

}  // namespace
