// The per-user store on Windows is the registry: these tests look at the key
// with the registry functions themselves, next to the store's own view, and
// check the tick count and sleep that the connection timing relies on.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/UserStore.h"

namespace {

using tovik::platform::UserStore;

// A key of its own under the current user, removed before and after each test.
constexpr const char* kKeyPath = "Software\\Kestrane\\TovikStoreTest";

void DeleteTestKey() {
  RegDeleteKeyA(HKEY_CURRENT_USER, kKeyPath);
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTestKey(); }
  void TearDown() override { DeleteTestKey(); }

  // Writes a raw value of any type, as another program (or a user) could.
  static void WriteRaw(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, kKeyPath, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // Reads a value back with the registry functions: its type and bytes.
  static bool ReadRaw(const char* name, DWORD* type, std::string* bytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    BYTE buffer[64] = {};
    DWORD size = sizeof(buffer);
    const bool ok = RegQueryValueExA(key, name, nullptr, type, buffer, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (ok) bytes->assign(reinterpret_cast<const char*>(buffer), size);
    return ok;
  }

  static bool KeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
};

TEST_F(RegistryStoreTest, OpenCreatesTheKeyUnderTheCurrentUserAndCloseReleasesIt) {
  UserStore store(kKeyPath);
  EXPECT_FALSE(store.IsOpen());
  EXPECT_TRUE(store.Close());  // nothing open: success
  ASSERT_TRUE(store.Open());
  EXPECT_TRUE(store.IsOpen());
  EXPECT_TRUE(KeyExists());
  EXPECT_TRUE(store.Open());  // already open
  EXPECT_TRUE(store.Close());
  EXPECT_FALSE(store.IsOpen());
  EXPECT_STREQ(store.Path(), "");
}

TEST_F(RegistryStoreTest, WritesThirtyTwoBitDwordValues) {
  UserStore store(kKeyPath);
  ASSERT_TRUE(store.WriteInt("AudioPrec", 2));
  ASSERT_TRUE(store.WriteInt("NumInputs", -1));
  store.Close();

  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(ReadRaw("AudioPrec", &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(bytes, std::string("\x02\x00\x00\x00", 4));
  ASSERT_TRUE(ReadRaw("NumInputs", &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(bytes, std::string("\xFF\xFF\xFF\xFF", 4));
}

TEST_F(RegistryStoreTest, ReadsBackWhatItWroteAcrossInstances) {
  {
    UserStore store(kKeyPath);
    ASSERT_TRUE(store.WriteInt("NumOutputs", 16));
    ASSERT_TRUE(store.WriteInt("Big", INT32_MIN));
  }  // the destructor closes the key
  UserStore store(kKeyPath);
  int32_t value = 0;
  ASSERT_TRUE(store.ReadInt("NumOutputs", &value));
  EXPECT_EQ(value, 16);
  ASSERT_TRUE(store.ReadInt("Big", &value));
  EXPECT_EQ(value, INT32_MIN);
}

TEST_F(RegistryStoreTest, MissingValueOrNoOutputLeavesTheSettingUnchanged) {
  UserStore store(kKeyPath);
  int32_t value = 77;
  EXPECT_FALSE(store.ReadInt("ConfigDlg", &value));
  EXPECT_EQ(value, 77);
  EXPECT_FALSE(store.ReadInt("ConfigDlg", nullptr));
}

TEST_F(RegistryStoreTest, AnyTypeOfAtMostFourBytesReadsAsLittleEndianInteger) {
  const BYTE twoBytes[2] = {0x05, 0x01};
  WriteRaw("Binary", REG_BINARY, twoBytes, sizeof(twoBytes));
  WriteRaw("Text", REG_SZ, "7", 2);  // '7' and its NUL
  UserStore store(kKeyPath);
  int32_t value = -5;
  ASSERT_TRUE(store.ReadInt("Binary", &value));
  EXPECT_EQ(value, 0x0105);  // the buffer starts as zero
  ASSERT_TRUE(store.ReadInt("Text", &value));
  EXPECT_EQ(value, 0x37);
}

TEST_F(RegistryStoreTest, LongerValueLeavesTheSettingUnchanged) {
  const BYTE eightBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  WriteRaw("NumInputs", REG_BINARY, eightBytes, sizeof(eightBytes));
  WriteRaw("AudioPrec", REG_SZ, "32bit float", 12);
  UserStore store(kKeyPath);
  int32_t value = 3;
  EXPECT_FALSE(store.ReadInt("NumInputs", &value));
  EXPECT_EQ(value, 3);
  EXPECT_FALSE(store.ReadInt("AudioPrec", &value));
  EXPECT_EQ(value, 3);
}

TEST_F(RegistryStoreTest, KeysOfTheTwoBuildsAreSeparate) {
  constexpr const char* kOther = "Software\\Kestrane\\TovikStoreTestI";
  RegDeleteKeyA(HKEY_CURRENT_USER, kOther);
  {
    UserStore a(kKeyPath);
    UserStore b(kOther);
    ASSERT_TRUE(a.WriteInt("AudioPrec", 1));
    ASSERT_TRUE(b.WriteInt("AudioPrec", 3));
  }
  UserStore a(kKeyPath);
  UserStore b(kOther);
  int32_t va = 0;
  int32_t vb = 0;
  EXPECT_TRUE(a.ReadInt("AudioPrec", &va));
  EXPECT_TRUE(b.ReadInt("AudioPrec", &vb));
  EXPECT_EQ(va, 1);
  EXPECT_EQ(vb, 3);
  b.Close();
  RegDeleteKeyA(HKEY_CURRENT_USER, kOther);
}

TEST(PlatformWin32Test, TickCountIsTheSystemTickCount) {
  const DWORD before = GetTickCount();
  const uint32_t ours = tovik::platform::TickCount();
  const DWORD after = GetTickCount();
  EXPECT_LE(static_cast<uint32_t>(ours - before), static_cast<uint32_t>(after - before));
}

TEST(PlatformWin32Test, SleepWaitsAtLeastAboutTheTimeAsked) {
  const uint32_t start = tovik::platform::TickCount();
  tovik::platform::SleepMs(100);
  const uint32_t slept = tovik::platform::TickCount() - start;
  // GetTickCount advances in steps of up to about 16 ms.
  EXPECT_GE(slept, 80u);
}

}  // namespace
