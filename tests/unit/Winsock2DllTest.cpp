#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <type_traits>

#include "sockets/Winsock2Dll.h"

namespace {

using tovik::platform::ProcAddress;

// The table read as its 87 pointers, in member order.
struct Entries {
  ProcAddress at[ws::kWinsockNameCount];
};

Entries EntriesOf(const ws::Winsock2Table& table) {
  static_assert(sizeof(Entries) == sizeof(ws::Winsock2Table), "one pointer per entry");
  Entries entries;
  std::memcpy(&entries, &table, sizeof entries);
  return entries;
}

template <typename Entry>
size_t Offset(const ws::Winsock2Table& table, const Entry* entry) {
  return static_cast<size_t>(reinterpret_cast<const char*>(entry) - reinterpret_cast<const char*>(&table));
}

int NonNullEntries(const ws::Winsock2Table& table) {
  const Entries entries = EntriesOf(table);
  int count = 0;
  for (ProcAddress entry : entries.at) count += entry != nullptr ? 1 : 0;
  return count;
}

// Stand-ins for WSAStartup and WSACleanup that count their calls.
int startupCalls = 0;
int cleanupCalls = 0;
int startupResult = 0;
uint16_t requestedVersion = 0;
bool dataWasZeroed = false;

int TOVIK_WSAAPI CountingStartup(uint16_t version, ws::WSADATA* data) {
  ++startupCalls;
  requestedVersion = version;
  ws::WSADATA zero;
  std::memset(&zero, 0, sizeof zero);
  dataWasZeroed = data != nullptr && std::memcmp(data, &zero, sizeof zero) == 0;
  return startupResult;
}

int TOVIK_WSAAPI CountingCleanup() {
  ++cleanupCalls;
  return 0;
}

class Winsock2DllStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    startupCalls = 0;
    cleanupCalls = 0;
    startupResult = 0;
    requestedVersion = 0;
    dataWasZeroed = false;
  }
  // An object whose start-up entries are the counting stand-ins.
  static void UseCounters(CWinsock2Dll& dll) {
    dll.fn.WSAStartup = CountingStartup;
    dll.fn.WSACleanup = CountingCleanup;
  }
};

TEST(Winsock2Names, CountAndOrder) {
  EXPECT_EQ(ws::kWinsockNameCount, 87);
  EXPECT_EQ(sizeof(ws::kWinsockNames) / sizeof(ws::kWinsockNames[0]), 87u);
  EXPECT_STREQ(ws::kWinsockNames[0], "accept");
  EXPECT_STREQ(ws::kWinsockNames[2], "closesocket");
  EXPECT_STREQ(ws::kWinsockNames[15], "recv");
  EXPECT_STREQ(ws::kWinsockNames[17], "select");
  EXPECT_STREQ(ws::kWinsockNames[18], "send");
  EXPECT_STREQ(ws::kWinsockNames[22], "socket");
  EXPECT_STREQ(ws::kWinsockNames[30], "getaddrinfo");
  EXPECT_STREQ(ws::kWinsockNames[33], "WSAStartup");
  EXPECT_STREQ(ws::kWinsockNames[34], "WSACleanup");
  EXPECT_STREQ(ws::kWinsockNames[36], "WSAGetLastError");
  EXPECT_STREQ(ws::kWinsockNames[69], "WSASend");
  EXPECT_STREQ(ws::kWinsockNames[85], "WSASetServiceA");
  EXPECT_STREQ(ws::kWinsockNames[86], "WSAProviderConfigChange");
  std::set<std::string> distinct(ws::kWinsockNames, ws::kWinsockNames + ws::kWinsockNameCount);
  EXPECT_EQ(distinct.size(), 87u);
}

TEST(Winsock2Table, MembersFollowTheNameList) {
  ws::Winsock2Table table;
  EXPECT_EQ(NonNullEntries(table), 0);  // a new table is empty
  EXPECT_EQ(Offset(table, &table.accept), 0u);
  const size_t slot = sizeof(ProcAddress);
  EXPECT_EQ(Offset(table, &table.socket), 22 * slot);
  EXPECT_EQ(Offset(table, &table.WSAStartup), 33 * slot);
  EXPECT_EQ(Offset(table, &table.WSASend), 69 * slot);
  EXPECT_EQ(Offset(table, &table.WSAProviderConfigChange), 86 * slot);
#if !defined(_WIN32)
  static_assert(std::is_same_v<decltype(table.socket), ws::proto::socket>);
  static_assert(std::is_same_v<decltype(table.select), ws::proto::select>);
  static_assert(std::is_same_v<decltype(table.WSASend), ws::proto::WSASend>);
  static_assert(std::is_same_v<decltype(table.htonl), ws::FarProc>);
#endif
}

TEST(Winsock2Dll, BindsEveryNameToItsOwnEntry) {
  CWinsock2Dll dll(false);
  ASSERT_NE(dll.Module(), nullptr);
  EXPECT_EQ(dll.StartupCount(), 0);
  const Entries entries = EntriesOf(dll.fn);
  for (int i = 0; i < ws::kWinsockNameCount; ++i) {
    EXPECT_EQ(entries.at[i], dll.GetProc(ws::kWinsockNames[i])) << ws::kWinsockNames[i];
  }
  // What the link and the plug-in call is always there.
  EXPECT_NE(dll.fn.socket, nullptr);
  EXPECT_NE(dll.fn.connect, nullptr);
  EXPECT_NE(dll.fn.send, nullptr);
  EXPECT_NE(dll.fn.recv, nullptr);
  EXPECT_NE(dll.fn.select, nullptr);
  EXPECT_NE(dll.fn.closesocket, nullptr);
  EXPECT_NE(dll.fn.getaddrinfo, nullptr);
  EXPECT_NE(dll.fn.freeaddrinfo, nullptr);
  EXPECT_NE(dll.fn.WSAGetLastError, nullptr);
  EXPECT_NE(dll.fn.setsockopt, nullptr);
  EXPECT_NE(dll.fn.getsockopt, nullptr);
  EXPECT_NE(dll.fn.ioctlsocket, nullptr);
  EXPECT_NE(dll.fn.shutdown, nullptr);
  EXPECT_NE(dll.fn.WSASend, nullptr);
  EXPECT_NE(dll.fn.WSAStartup, nullptr);
  EXPECT_NE(dll.fn.WSACleanup, nullptr);
}

#if !defined(_WIN32)
// The built-in library exports only some of the names: exactly those entries
// are bound and the load still succeeds.
TEST(Winsock2Dll, PartialLibraryBindsExactlyItsExports) {
  CWinsock2Dll dll(false);
  ASSERT_NE(dll.Module(), nullptr);
  const std::set<std::string> exported = {"accept",
                                          "bind",
                                          "closesocket",
                                          "connect",
                                          "ioctlsocket",
                                          "getsockname",
                                          "getsockopt",
                                          "listen",
                                          "recv",
                                          "select",
                                          "send",
                                          "setsockopt",
                                          "shutdown",
                                          "socket",
                                          "getaddrinfo",
                                          "freeaddrinfo",
                                          "WSAStartup",
                                          "WSACleanup",
                                          "WSASetLastError",
                                          "WSAGetLastError",
                                          "WSASend"};
  const Entries entries = EntriesOf(dll.fn);
  for (int i = 0; i < ws::kWinsockNameCount; ++i) {
    EXPECT_EQ(entries.at[i] != nullptr, exported.count(ws::kWinsockNames[i]) == 1) << ws::kWinsockNames[i];
  }
  EXPECT_EQ(NonNullEntries(dll.fn), 21);
}
#endif

TEST(Winsock2Dll, FailedLoadAndUnloadLeaveEveryEntryNull) {
  CWinsock2Dll dll(false);
  ASSERT_NE(NonNullEntries(dll.fn), 0);
  EXPECT_FALSE(dll.Load("tovik_no_such_library_5c1e.dll", 0));
  EXPECT_EQ(dll.Module(), nullptr);
  EXPECT_EQ(NonNullEntries(dll.fn), 0);

  ASSERT_TRUE(dll.Load("Ws2_32.dll", 0));
  EXPECT_NE(dll.fn.socket, nullptr);
  dll.Unload();
  EXPECT_EQ(dll.Module(), nullptr);
  EXPECT_EQ(NonNullEntries(dll.fn), 0);
}

TEST_F(Winsock2DllStartup, StartupRequestsVersion22WithZeroedRecord) {
  CWinsock2Dll dll(false);
  UseCounters(dll);
  EXPECT_TRUE(dll.Startup());
  EXPECT_EQ(startupCalls, 1);
  EXPECT_EQ(requestedVersion, 0x0202);
  EXPECT_TRUE(dataWasZeroed);
  EXPECT_EQ(dll.StartupCount(), 1);
}

TEST_F(Winsock2DllStartup, CleanupOncePerSuccessfulStartup) {
  {
    CWinsock2Dll dll(false);
    UseCounters(dll);
    EXPECT_TRUE(dll.Startup());
    EXPECT_TRUE(dll.Startup());
    startupResult = ws::kWsaSysNotReady;
    EXPECT_FALSE(dll.Startup());
    EXPECT_EQ(dll.StartupCount(), 2);
    EXPECT_EQ(cleanupCalls, 0);
  }
  EXPECT_EQ(startupCalls, 3);
  EXPECT_EQ(cleanupCalls, 2);
}

TEST_F(Winsock2DllStartup, NoCleanupWithoutSuccessfulStartup) {
  {
    CWinsock2Dll dll(false);
    UseCounters(dll);
    startupResult = ws::kWsaVerNotSupported;
    EXPECT_FALSE(dll.Startup());
  }
  EXPECT_EQ(cleanupCalls, 0);
  {
    // Never loaded: nothing is called, nothing is freed.
    CWinsock2Dll dll(false);
    dll.Unload();
    EXPECT_FALSE(dll.Startup());  // null entry
    dll.fn.WSACleanup = CountingCleanup;
  }
  EXPECT_EQ(cleanupCalls, 0);
}

TEST_F(Winsock2DllStartup, UnloadCleansUpBeforeTheDestructor) {
  {
    CWinsock2Dll dll(false);
    UseCounters(dll);
    EXPECT_TRUE(dll.Startup());
    dll.Unload();
    EXPECT_EQ(cleanupCalls, 1);
    EXPECT_EQ(dll.StartupCount(), 0);
    // A reload does not inherit the start-up.
    ASSERT_TRUE(dll.Load("Ws2_32.dll", 0));
    UseCounters(dll);
  }
  EXPECT_EQ(cleanupCalls, 1);
}

TEST(Winsock2Dll, ConstructorStartsTheRealLibraryAndCleansUpOnce) {
  CWinsock2Dll probe(false);
  ASSERT_NE(probe.fn.WSACleanup, nullptr);
  {
    CWinsock2Dll started(true);
    EXPECT_NE(started.Module(), nullptr);
    EXPECT_NE(started.fn.socket, nullptr);
    EXPECT_EQ(started.StartupCount(), 1);
    // Paired with a start-up of our own, the library is still started
    // while `started` lives.
    ws::WSADATA data{};
    ASSERT_EQ(probe.fn.WSAStartup(0x0202, &data), 0);
    EXPECT_EQ(probe.fn.WSACleanup(), 0);
  }
#if !defined(_WIN32)
  // Every start-up has been matched: one more clean-up is refused.
  EXPECT_EQ(probe.fn.WSACleanup(), ws::kSocketError);
  EXPECT_EQ(probe.fn.WSAGetLastError(), ws::kWsaNotInitialised);
#endif
}

}  // namespace
