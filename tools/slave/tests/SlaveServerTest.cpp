#include <gtest/gtest.h>

#include <future>
#include <string>

#include "SlaveServer.h"
#include "SlaveTestSupport.h"

namespace tovik::slave::test {
namespace {

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A server on a free loopback port, running on its own thread.
class ServerHarness {
 public:
  explicit ServerHarness(bool exitOnClose = false) : server_(settings_, stats_, nullptr) {
    settings_.stallMs = 300;
    std::string error;
    listening_ = server_.Listen("127.0.0.1", 0, &error);
    EXPECT_TRUE(listening_) << error;
    run_ = std::async(std::launch::async, [this, exitOnClose] { server_.Run(stop_, exitOnClose); });
  }
  ~ServerHarness() { Stop(); }
  void Stop() {
    stop_ = true;
    if (run_.valid()) run_.wait();
  }
  bool Finished(int waitMs) {
    return run_.wait_for(std::chrono::milliseconds(waitMs)) == std::future_status::ready;
  }
  uint16_t Port() const { return server_.Port(); }
  const SlaveStats& Stats() const { return stats_; }

 private:
  SlaveSettings settings_;
  SlaveStats stats_;
  std::atomic<bool> stop_{false};
  CSlaveServer server_;
  bool listening_ = false;
  std::future<void> run_;
};

TEST(SlaveServer, ServesAClientThatConnectsAndDisconnectsRepeatedly) {
  ServerHarness harness;
  ASSERT_NE(harness.Port(), 0);
  for (int i = 0; i < 30; ++i) {
    const int fd = Connect(harness.Port());
    ASSERT_GE(fd, 0);
    if (i % 3 == 1) {
      ASSERT_TRUE(SendAll(fd, Hello()));
      EXPECT_EQ(ReadBytes(fd, 6).size(), 6u);
    } else if (i % 3 == 2) {
      ASSERT_TRUE(SendAll(fd, Bytes{3, 0}));  // half a code, then gone
    }
    close(fd);
  }
  // Still answering, the 31st connection included.
  const int fd = Connect(harness.Port());
  ASSERT_TRUE(SendAll(fd, Concat({Hello(), SetIo(1, 1), Process(4, 1, 2, Bytes(8, 9))})));
  EXPECT_EQ(ReadBytes(fd, 6), (Bytes{4, 0, 0, 0, 2, 8}));
  EXPECT_EQ(ReadBytes(fd, 16 + 8).size(), 24u);
  close(fd);
  harness.Stop();
  EXPECT_EQ(harness.Stats().connections, 31u);
  EXPECT_EQ(harness.Stats().blocks, 1u);
}

TEST(SlaveServer, ServesASecondConnectionWhileTheFirstStaysOpen) {
  ServerHarness harness;
  const int first = Connect(harness.Port());
  const int second = Connect(harness.Port());
  ASSERT_TRUE(SendAll(first, Hello()));
  EXPECT_EQ(ReadBytes(first, 6).size(), 6u);
  // The first stays connected and says nothing more; the second is answered.
  ASSERT_TRUE(SendAll(second, Hello()));
  EXPECT_EQ(ReadBytes(second, 6), (Bytes{4, 0, 0, 0, 2, 8}));
  close(first);
  close(second);
}

TEST(SlaveServer, AGarbageSenderDoesNotKeepOthersOut) {
  ServerHarness harness;
  const int bad = Connect(harness.Port());
  ASSERT_TRUE(SendAll(bad, Bytes{0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_TRUE(PeerCloses(bad));
  close(bad);
  const int good = Connect(harness.Port());
  ASSERT_TRUE(SendAll(good, Hello()));
  EXPECT_EQ(ReadBytes(good, 6).size(), 6u);
  close(good);
}

TEST(SlaveServer, ExitOnCloseEndsTheServerAtMsgClose) {
  ServerHarness harness(true);
  const int fd = Connect(harness.Port());
  ASSERT_TRUE(SendAll(fd, Concat({Hello(), Code(msgClose)})));
  EXPECT_EQ(ReadBytes(fd, 6).size(), 6u);
  EXPECT_TRUE(harness.Finished(5000));
  close(fd);
}

TEST(SlaveServer, ReportsAPortInUse) {
  ServerHarness harness;
  SlaveSettings settings;
  SlaveStats stats;
  CSlaveServer second(settings, stats, nullptr);
  std::string error;
  EXPECT_FALSE(second.Listen("127.0.0.1", harness.Port(), &error));
  EXPECT_EQ(error, "port " + std::to_string(harness.Port()) + " is already in use on 127.0.0.1");
  EXPECT_FALSE(second.Listen("no such host.invalid", 0, &error));
  EXPECT_NE(error.find("cannot resolve bind address"), std::string::npos);
}

}  // namespace
}  // namespace tovik::slave::test

namespace tovik::slave::test {
namespace {

// "--bind ::" listens dual-stack: IPv4 and IPv6 peers both reach it.
TEST(SlaveServer, BindingTheIpv6WildcardTakesBothFamilies) {
  SlaveSettings settings;
  SlaveStats stats;
  CSlaveServer server(settings, stats, nullptr);
  std::string error;
  if (!server.Listen("::", 0, &error)) GTEST_SKIP() << "no IPv6 on this machine: " << error;
  const int v4 = Connect(server.Port());
  EXPECT_GE(v4, 0);
  const int v6 = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(server.Port());
  EXPECT_EQ(connect(v6, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  if (v4 >= 0) close(v4);
  close(v6);
}

}  // namespace
}  // namespace tovik::slave::test
