// The configuration dialog's logic, driven through the in-memory control
// model: what the user types and clicks, and what the plug-in's settings and
// connection become.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/DialogModel.h"
#include "relay/BuildConstants.h"
#include "relay/Factory.h"
#include "relay/WaitDlg.h"
#include "support/FakeHost.h"
#include "support/LoopbackPorts.h"
#include "support/ScopedConfigHome.h"
#include "support/ScriptedPeer.h"
#include "support/TovikInspector.h"

using tovik::platform::DialogModel;
using tovik::platform::kIdCancel;
using tovik::platform::kIdOk;
using tovik::test::FakeHost;

namespace {

// A scripted slave's side of the handshake; `opened` tells whether msgOpen came.
void AnswerHandshake(ScriptedPeer* peer, bool* opened);

// A private per-user store holding ConfigDlg=0 (and whatever else a test
// writes), so that constructing an instance shows no dialog.
class WaitDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home.path().empty());
    unsetenv("TOVIK_HOST");
    unsetenv("TOVIK_PORT");
    WriteStore("ConfigDlg=0\n");
  }
  void TearDown() override {
    unsetenv("TOVIK_HOST");
    unsetenv("TOVIK_PORT");
  }
  // What the unattended dialog types into its fields: the loopback address and
  // this port.
  static void TypeIntoTheUnattendedDialog(const std::string& port) {
    setenv("TOVIK_HOST", "127.0.0.1", 1);
    setenv("TOVIK_PORT", port.c_str(), 1);
  }
  // An instance connected to `peer` through its dialog, as a user's Connect
  // in the Windows dialog makes it while the instance is created: the
  // connection is Pending afterwards.
  std::unique_ptr<CTovik> ConstructConnectedByTheDialog(ScriptedPeer& peer) {
    auto tovik = std::make_unique<CTovik>(FakeHost::callback());
    ConnectThroughTheDialog(*tovik, peer);
    return tovik;
  }
  static void ConnectThroughTheDialog(CTovik& tovik, ScriptedPeer& peer) {
    bool opened = false;
    std::thread slave(AnswerHandshake, &peer, &opened);
    EXPECT_EQ(DialogConnects(tovik, peer.Port()), kIdOk);
    slave.join();
    EXPECT_TRUE(opened);
  }
  // The user types the loopback address and port and presses Connect; the
  // dialog's end code.
  static int DialogConnects(CTovik& tovik, unsigned port) {
    CWaitDlg dialog(&tovik);
    DialogModel model(&dialog);
    model.Open();
    model.Type(CWaitDlg::kIdHost, "127.0.0.1");
    model.Type(CWaitDlg::kIdPort, std::to_string(port).c_str());
    model.Click(CWaitDlg::kIdConnect);
    return model.EndCode();
  }
  void WriteStore(const std::string& text) {
    const std::string dir = home.path() + "/Kestrane";
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + (build::kInstrument ? "/TovikI.conf" : "/Tovik.conf");
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }

  tovik::test::ScopedConfigHome home;
  FakeHost host;
};

// Answers one handshake as a slave does: everything up to msgGetInfo, the
// info reply, then msgOpen.
void AnswerHandshake(ScriptedPeer* peer, bool* opened) {
  *opened = false;
  if (!peer->Accept(3000)) return;
  ScriptedPeer::Message m;
  while (peer->ReadMessage(m, 3000)) {
    if (m.code == 16) {
      std::vector<unsigned char> reply;
      ScriptedPeer::PutInt32(reply, 16);
      for (int i = 0; i < 3; ++i) ScriptedPeer::PutInt32(reply, i);
      peer->Write(reply);
    } else if (m.code == 1) {
      *opened = true;
      return;
    }
  }
}

std::string Closed() {
  // A loopback port with nothing listening: bind, take the number, close.
  ScriptedPeer peer;
  const unsigned port = peer.Port();
  peer.StopListening();
  return std::to_string(port);
}

}  // namespace

TEST_F(WaitDlgTest, OpeningFillsTheFieldsAndClampsStoredCounts) {
  WriteStore("ConfigDlg=0\nNumInputs=2\nNumOutputs=2\nStereoPins=1\n");
  CTovik tovik(FakeHost::callback());
  TovikInspector::SetNumOutputs(tovik, 40);  // as a store read without clamping would
  TovikInspector::SetNumInputs(tovik, 20);
  CWaitDlg dialog(&tovik);
  DialogModel model(&dialog);
  model.Open();
  EXPECT_STREQ(model.Text(CWaitDlg::kIdHost), "localhost");
  EXPECT_STREQ(model.Text(CWaitDlg::kIdPort), "19284");
  EXPECT_TRUE(model.Checked(CWaitDlg::kIdStereoPins));
  EXPECT_EQ(TovikInspector::NumInputs(tovik), 16);
  EXPECT_EQ(TovikInspector::NumOutputs(tovik), 16);
  int low = 0, high = 0;
  model.Range(CWaitDlg::kIdPortSpin, &low, &high);
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 65535);
  model.Range(CWaitDlg::kIdInputsSpin, &low, &high);
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 16);
  model.Range(CWaitDlg::kIdOutputsSpin, &low, &high);
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 16);
  EXPECT_TRUE(model.TimerRunning(CWaitDlg::kRetryTimer));
}

TEST_F(WaitDlgTest, TypingClampsAtOnce) {
  CTovik tovik(FakeHost::callback());
  CWaitDlg dialog(&tovik);
  DialogModel model(&dialog);
  model.Open();
  model.Type(CWaitDlg::kIdInputs, "20");
  EXPECT_EQ(TovikInspector::NumInputs(tovik), 16);
  model.Type(CWaitDlg::kIdOutputs, "0");
  EXPECT_EQ(TovikInspector::NumOutputs(tovik), 1);
  model.Type(CWaitDlg::kIdOutputs, "abc");
  EXPECT_EQ(TovikInspector::NumOutputs(tovik), 1);
  model.Type(CWaitDlg::kIdPort, "");
  EXPECT_EQ(TovikInspector::Port(tovik), 0);
  model.Type(CWaitDlg::kIdPort, "70000");  // typing is not limited by the spin control
  EXPECT_EQ(TovikInspector::Port(tovik), 70000);
  EXPECT_FALSE(model.Ended());
}

TEST_F(WaitDlgTest, CancelKeepsCountsAndPortButNotStereoPins) {
  CTovik tovik(FakeHost::callback());
  CWaitDlg dialog(&tovik);
  DialogModel model(&dialog);
  model.Open();
  model.Type(CWaitDlg::kIdInputs, "5");
  model.Type(CWaitDlg::kIdOutputs, "7");
  model.Type(CWaitDlg::kIdPort, "1234");
  model.SetCheck(CWaitDlg::kIdStereoPins, true);
  model.Click(kIdCancel);
  EXPECT_TRUE(model.Ended());
  EXPECT_EQ(model.EndCode(), kIdCancel);
  EXPECT_EQ(TovikInspector::NumInputs(tovik), 5);
  EXPECT_EQ(TovikInspector::NumOutputs(tovik), 7);
  EXPECT_EQ(TovikInspector::Port(tovik), 1234);
  EXPECT_FALSE(TovikInspector::StereoPins(tovik));
  EXPECT_FALSE(model.TimerRunning(CWaitDlg::kRetryTimer));
}

TEST_F(WaitDlgTest, ConnectWithoutSlaveStaysOpenAndTakesTheHost) {
  CTovik tovik(FakeHost::callback());
  CWaitDlg dialog(&tovik);
  DialogModel model(&dialog);
  model.Open();
  model.Type(CWaitDlg::kIdHost, "127.0.0.1");
  model.Type(CWaitDlg::kIdPort, Closed().c_str());
  model.Click(CWaitDlg::kIdConnect);
  EXPECT_FALSE(model.Ended());
  EXPECT_STREQ(TovikInspector::Host(tovik), "127.0.0.1");
  EXPECT_FALSE(TovikInspector::SocketOpen(tovik));
}

TEST_F(WaitDlgTest, ConnectWithSlaveEndsWithOkAndLeavesThePluginPending) {
  CTovik tovik(FakeHost::callback());
  ScriptedPeer peer;
  bool opened = false;
  std::thread slave(AnswerHandshake, &peer, &opened);
  CWaitDlg dialog(&tovik);
  DialogModel model(&dialog);
  model.Open();
  model.Type(CWaitDlg::kIdHost, "127.0.0.1");
  model.Type(CWaitDlg::kIdPort, std::to_string(peer.Port()).c_str());
  model.SetCheck(CWaitDlg::kIdStereoPins, true);
  model.Click(CWaitDlg::kIdConnect);  // Enter in any field acts the same: Connect is the default button
  slave.join();
  EXPECT_TRUE(opened);
  EXPECT_TRUE(model.Ended());
  EXPECT_EQ(model.EndCode(), kIdOk);
  EXPECT_TRUE(TovikInspector::StereoPins(tovik));
  EXPECT_TRUE(TovikInspector::OpenPending(tovik));
  EXPECT_FALSE(TovikInspector::Connected(tovik));
}

TEST_F(WaitDlgTest, HostFieldKeepsAtMost255Characters) {
  CTovik tovik(FakeHost::callback());
  CWaitDlg dialog(&tovik);
  DialogModel model(&dialog);
  model.Open();
  const std::string longName(400, 'h');
  model.Type(CWaitDlg::kIdHost, longName.c_str());
  model.Type(CWaitDlg::kIdPort, Closed().c_str());
  model.Click(CWaitDlg::kIdConnect);
  EXPECT_EQ(std::string(TovikInspector::Host(tovik)), std::string(255, 'h'));
}

TEST_F(WaitDlgTest, UnattendedRunTakesTheEnvironmentWithoutConnecting) {
  ScriptedPeer peer;
  TypeIntoTheUnattendedDialog(std::to_string(peer.Port()));
  WriteStore("ConfigDlg=1\n");
  CTovik tovik(FakeHost::callback());
  EXPECT_STREQ(TovikInspector::Host(tovik), "127.0.0.1");
  EXPECT_EQ(TovikInspector::Port(tovik), static_cast<VstInt32>(peer.Port()));
  EXPECT_FALSE(TovikInspector::OpenPending(tovik));
  EXPECT_FALSE(TovikInspector::SocketOpen(tovik));
  EXPECT_FALSE(peer.Accept(200));
}

// A tool that stored ConfigDlg=0 does not switch the environment off: there
// is no dialog to skip here, only the address to take.
TEST_F(WaitDlgTest, EnvironmentAppliesWhateverConfigDlgHolds) {
  setenv("TOVIK_HOST", "slave.example", 1);
  setenv("TOVIK_PORT", "4321", 1);
  WriteStore("ConfigDlg=0\n");
  CTovik tovik(FakeHost::callback());
  EXPECT_FALSE(TovikInspector::CfgDlg(tovik));
  EXPECT_STREQ(TovikInspector::Host(tovik), "slave.example");
  EXPECT_EQ(TovikInspector::Port(tovik), 4321);
}

TEST_F(WaitDlgTest, EnvironmentPortsFromOneTo65535AreTaken) {
  for (const char* port : {"1", "65535", "80", "+8080", "019284"}) {
    setenv("TOVIK_PORT", port, 1);
    CTovik tovik(FakeHost::callback());
    EXPECT_EQ(TovikInspector::Port(tovik), std::atoi(port)) << port;
  }
}

// An invalid port is never stored (as 0 or anything else): the instance keeps
// its port, and one line on stderr says why.
TEST_F(WaitDlgTest, InvalidEnvironmentPortIsIgnoredWithOneLine) {
  setenv("TOVIK_HOST", "127.0.0.1", 1);
  for (const char* port : {"abc", "0", "65536", "-1", "80x", "80 ", " 80", "", "99999999999", "0x50", "+"}) {
    setenv("TOVIK_PORT", port, 1);
    ::testing::internal::CaptureStderr();
    CTovik tovik(FakeHost::callback());
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(TovikInspector::Port(tovik), CTovik::kDefaultPort) << '"' << port << '"';
    EXPECT_STREQ(TovikInspector::Host(tovik), "127.0.0.1");
    EXPECT_EQ(said,
              "Tovik: ignoring TOVIK_PORT=\"" + std::string(port) + "\": not a port number (1..65535)\n");
  }
}

// A host loading a project creates its instances before it hands each its
// chunk. Creation must make no connection to the slave the environment names
// (each used to be an open-then-drop on it), and the chunk moves the address
// away before any idle or process call comes.
TEST_F(WaitDlgTest, CreatingInstancesConnectsToNothing) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 64), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  TypeIntoTheUnattendedDialog(std::to_string(ntohs(address.sin_port)));
  const std::string chunk = "Host=127.0.0.1\nPort=" + Closed() + "\nCfgDlg=1\n";

  for (int i = 0; i < 10; ++i) {
    WriteStore(i % 2 ? "ConfigDlg=0\n" : "ConfigDlg=1\n");
    auto tovik = std::make_unique<CTovik>(FakeHost::callback());
    EXPECT_EQ(TovikInspector::Port(*tovik), static_cast<VstInt32>(ntohs(address.sin_port)));
    EXPECT_EQ(
        tovik->setChunk(const_cast<char*>(chunk.c_str()), static_cast<VstInt32>(chunk.size() + 1), false), 1);
    EXPECT_NE(TovikInspector::Port(*tovik), static_cast<VstInt32>(ntohs(address.sin_port)));
  }

  // Every connection made, even one dropped at once, waits in the queue.
  int accepted = 0;
  pollfd readable{listener, POLLIN, 0};
  while (::poll(&readable, 1, 300) > 0) {
    const int s = ::accept(listener, nullptr, nullptr);
    if (s < 0) break;
    ++accepted;
    ::close(s);
  }
  ::close(listener);
  EXPECT_EQ(accepted, 0);
}

TEST_F(WaitDlgTest, UnattendedRunWithoutSlaveCancels) {
  TypeIntoTheUnattendedDialog(Closed());
  CTovik tovik(FakeHost::callback());
  CWaitDlg dialog(&tovik);
  EXPECT_EQ(dialog.runUnattended(), kIdCancel);
  EXPECT_FALSE(TovikInspector::OpenPending(tovik));
}

// The dialog's connection is Pending: the first process call activates it
// (the run state first) and relays its own block, whose answer fills the
// outputs in the same call.
TEST_F(WaitDlgTest, FirstProcessCallAfterTheDialogsConnectionRelaysItsBlock) {
  ScriptedPeer peer;
  const std::unique_ptr<CTovik> owned = ConstructConnectedByTheDialog(peer);
  CTovik& tovik = *owned;
  ASSERT_TRUE(TovikInspector::OpenPending(tovik));
  tovik.resume();

  float in[2][4] = {{0.5f, 0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f}};
  float out[2][4] = {{7, 7, 7, 7}, {7, 7, 7, 7}};
  float* inputs[2] = {in[0], in[1]};
  float* outputs[2] = {out[0], out[1]};
  std::vector<int32_t> codes;
  int32_t frames = 0;
  std::thread answer([&] {
    ScriptedPeer::Message m;
    while (codes.size() < 2 && peer.ReadMessage(m)) {
      codes.push_back(m.code);
      if (m.code != msgProcess) continue;
      frames = m.frames;
      std::vector<unsigned char> reply;
      for (int32_t v : {static_cast<int32_t>(msgProcess), 4, 2, 4}) ScriptedPeer::PutInt32(reply, v);
      for (float f : {1.0f, 2.0f, 3.0f, 4.0f, -1.0f, -2.0f, -3.0f, -4.0f}) ScriptedPeer::PutFloat(reply, f);
      peer.Write(reply);
    }
  });
  tovik.processReplacing(inputs, outputs, 4);
  answer.join();
  EXPECT_EQ(codes, (std::vector<int32_t>{msgResume, msgProcess}));
  EXPECT_EQ(frames, 4);
  EXPECT_TRUE(TovikInspector::Connected(tovik));
  EXPECT_FALSE(TovikInspector::OpenPending(tovik));
  const float expected[2][4] = {{1, 2, 3, 4}, {-1, -2, -3, -4}};
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[c][i], expected[c][i]) << "output " << c << " frame " << i;
  }
}

// A plug-in scanner opens an instance, queries it and closes it without ever
// resuming it (the order below is Ardour's scanner's, recorded). The
// instance's dialog connected to the slave (a user pressed Connect), and
// TermSlave is on: closing the scanned instance must still not tell that
// slave, which may be serving a session, to terminate.
TEST_F(WaitDlgTest, PluginScanNeverTellsTheSlaveToTerminate) {
  ScriptedPeer peer;
  bool opened = false;
  std::vector<int32_t> afterOpen;
  std::thread slave([&] {
    AnswerHandshake(&peer, &opened);
    ScriptedPeer::Message m;
    while (peer.ReadMessage(m, 3000)) afterOpen.push_back(m.code);  // until the socket closes
  });
  WriteStore("ConfigDlg=1\nTermSlave=1\n");

  AudioEffect* effect = createEffectInstance(FakeHost::callback());  // as the entry point does
  ASSERT_NE(effect, nullptr);
  AEffect* e = effect->getAeffect();
  // The connection a user's Connect in the Windows dialog makes.
  EXPECT_EQ(DialogConnects(*static_cast<CTovik*>(effect), peer.Port()), kIdOk);
  auto d = [e](VstInt32 opcode, VstIntPtr value, void* ptr) {
    return e->dispatcher(e, opcode, 0, value, ptr, 0.0f);
  };
  char text[256] = {};
  char receive[] = "receiveVstMidiEvent";
  char send[] = "sendVstMidiEvent";
  d(effOpen, 0, nullptr);
  d(effGetVstVersion, 0, nullptr);
  d(effGetEffectName, 0, text);
  d(effGetVendorString, 0, text);
  d(effGetPlugCategory, 0, nullptr);
  d(effCanDo, 0, receive);
  d(effGetVstVersion, 0, nullptr);
  d(effCanDo, 0, send);
  d(effMainsChanged, 0, nullptr);
  d(effClose, 0, nullptr);  // the instance is gone from here on
  slave.join();

  EXPECT_TRUE(opened);
  // Nothing after msgOpen: the instance was never active, so neither the
  // suspend nor the close reached the slave.
  EXPECT_EQ(afterOpen, std::vector<int32_t>{});
}

namespace {

// The retry timer connects to what the fields hold now: a host typed after
// the dialog opened counts without pressing Connect.
TEST_F(WaitDlgTest, TheRetryTimerConnectsToWhatTheFieldsHoldNow) {
  ScriptedPeer peer;
  auto tovik = std::make_unique<CTovik>(FakeHost::callback());
  CWaitDlg dialog(tovik.get());
  DialogModel model(&dialog);
  model.Open();
  model.Type(CWaitDlg::kIdHost, "127.0.0.1");
  model.Type(CWaitDlg::kIdPort, std::to_string(peer.Port()).c_str());
  bool opened = false;
  std::thread slave(AnswerHandshake, &peer, &opened);
  const auto start = std::chrono::steady_clock::now();
  while (!model.Ended() && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    dialog.onTimer(model.TimerRunning(CWaitDlg::kStepTimer) ? CWaitDlg::kStepTimer : CWaitDlg::kRetryTimer);
    model.Pump();
  }
  slave.join();
  EXPECT_TRUE(opened);
  EXPECT_EQ(model.EndCode(), kIdOk);
  EXPECT_STREQ(TovikInspector::Host(*tovik), "127.0.0.1");
  EXPECT_TRUE(TovikInspector::OpenPending(*tovik));
}

// A tick never keeps the dialog busy for long: a slave that does not answer
// the connect leaves the attempt to the step timer.
TEST_F(WaitDlgTest, ATimerTickNeverFreezesTheDialog) {
  tovik::test::Blackhole hole;
  auto tovik = std::make_unique<CTovik>(FakeHost::callback());
  CWaitDlg dialog(tovik.get());
  DialogModel model(&dialog);
  model.Open();
  model.Type(CWaitDlg::kIdHost, "127.0.0.1");
  model.Type(CWaitDlg::kIdPort, std::to_string(hole.port()).c_str());
  int64_t longest = 0;
  for (int tick = 0; tick < 5; ++tick) {
    const auto start = std::chrono::steady_clock::now();
    dialog.onTimer(tick == 0 ? CWaitDlg::kRetryTimer : CWaitDlg::kStepTimer);
    longest = std::max<int64_t>(longest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
  }
  EXPECT_LT(longest, 400);  // a blocking connect took its full 1000 ms here
  EXPECT_TRUE(model.TimerRunning(CWaitDlg::kStepTimer));
  EXPECT_FALSE(model.Ended());
}

}  // namespace
