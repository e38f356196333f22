// The POSIX per-user store: where its file lives, what survives a write, what
// a damaged file does, and writers that run at the same time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/UserStore.h"
#include "support/HeldStoreLock.h"

namespace {

using tovik::platform::UserStore;
namespace fs = std::filesystem;

constexpr const char* kEffectKey = "Software\\Kestrane\\Tovik";
constexpr const char* kInstrumentKey = "Software\\Kestrane\\TovikI";

// Runs each test on a fresh folder given as XDG_CONFIG_HOME and HOME.
class ScopedEnvironment {
 public:
  ScopedEnvironment() {
    char pattern[] = "/tmp/tovik-store-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir) path_ = dir;
    Save("XDG_CONFIG_HOME", &xdg_);
    Save("HOME", &home_);
    ::setenv("XDG_CONFIG_HOME", (path_ + "/config").c_str(), 1);
    ::setenv("HOME", (path_ + "/home").c_str(), 1);
  }
  ~ScopedEnvironment() {
    Restore("XDG_CONFIG_HOME", xdg_);
    Restore("HOME", home_);
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  struct Saved {
    bool had = false;
    std::string value;
  };
  static void Save(const char* name, Saved* saved) {
    const char* v = std::getenv(name);
    saved->had = v != nullptr;
    if (v) saved->value = v;
  }
  static void Restore(const char* name, const Saved& saved) {
    if (saved.had)
      ::setenv(name, saved.value.c_str(), 1);
    else
      ::unsetenv(name);
  }
  std::string path_;
  Saved xdg_, home_;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Every line is "Name=integer".
bool WellFormed(const std::string& text, std::string* bad) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    bool ok = eq != std::string::npos && eq > 0;
    if (ok) {
      size_t i = eq + 1;
      if (i < line.size() && line[i] == '-') ++i;
      ok = i < line.size();
      for (; ok && i < line.size(); ++i) ok = line[i] >= '0' && line[i] <= '9';
    }
    if (!ok) {
      *bad = line;
      return false;
    }
  }
  return true;
}

int32_t Read(const char* key, const char* name, int32_t missing = -777) {
  UserStore store(key);
  int32_t value = missing;
  store.ReadInt(name, &value);
  return value;
}

class UserStoreTest : public ::testing::Test {
 protected:
  std::string EffectFile() const { return env_.path() + "/config/Kestrane/Tovik.conf"; }
  ScopedEnvironment env_;
};

TEST_F(UserStoreTest, ValuesRoundTrip) {
  {
    UserStore store(kEffectKey);
    EXPECT_TRUE(store.WriteInt("NumInputs", 5));
    EXPECT_TRUE(store.WriteInt("Lowest", INT32_MIN));
    EXPECT_TRUE(store.WriteInt("Highest", INT32_MAX));
    EXPECT_TRUE(store.WriteInt("Zero", 0));
    EXPECT_TRUE(store.WriteInt("NumInputs", -3));
    EXPECT_TRUE(store.Close());
  }
  EXPECT_EQ(Read(kEffectKey, "NumInputs"), -3);
  EXPECT_EQ(Read(kEffectKey, "Lowest"), INT32_MIN);
  EXPECT_EQ(Read(kEffectKey, "Highest"), INT32_MAX);
  EXPECT_EQ(Read(kEffectKey, "Zero"), 0);
  EXPECT_EQ(ReadText(EffectFile()), "NumInputs=-3\nLowest=-2147483648\nHighest=2147483647\nZero=0\n");
}

TEST_F(UserStoreTest, FileFollowsXdgConfigHomeThenHome) {
  {
    UserStore store(kEffectKey);
    ASSERT_TRUE(store.WriteInt("AudioPrec", 2));
    EXPECT_EQ(std::string(store.Path()), EffectFile());
  }
  {
    UserStore store(kInstrumentKey);
    ASSERT_TRUE(store.WriteInt("AudioPrec", 3));
    EXPECT_EQ(std::string(store.Path()), env_.path() + "/config/Kestrane/TovikI.conf");
  }
  EXPECT_EQ(Read(kEffectKey, "AudioPrec"), 2);
  EXPECT_EQ(Read(kInstrumentKey, "AudioPrec"), 3);

  ::unsetenv("XDG_CONFIG_HOME");
  {
    UserStore store(kEffectKey);
    ASSERT_TRUE(store.WriteInt("AudioPrec", 1));
    EXPECT_EQ(std::string(store.Path()), env_.path() + "/home/.config/Kestrane/Tovik.conf");
  }
  // A relative XDG_CONFIG_HOME is not a base folder.
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(Read(kEffectKey, "AudioPrec"), 1);
  ::setenv("XDG_CONFIG_HOME", (env_.path() + "/config").c_str(), 1);
  EXPECT_EQ(Read(kEffectKey, "AudioPrec"), 2);
}

TEST_F(UserStoreTest, MissingFoldersAreCreated) {
  const std::string deep = env_.path() + "/not/yet/there";
  ::setenv("XDG_CONFIG_HOME", deep.c_str(), 1);
  UserStore store(kEffectKey);
  EXPECT_TRUE(store.WriteInt("TermSlave", 0));
  EXPECT_TRUE(fs::is_regular_file(deep + "/Kestrane/Tovik.conf"));
  EXPECT_EQ(Read(kEffectKey, "TermSlave", 5), 0);
}

TEST_F(UserStoreTest, MissingValuesAndFilesLeaveTheValue) {
  int32_t value = 42;
  {
    UserStore store(kEffectKey);
    EXPECT_FALSE(store.ReadInt("NumInputs", &value));
  }
  EXPECT_EQ(value, 42);
  WriteText(EffectFile(), "NumOutputs=3\n");
  UserStore store(kEffectKey);
  EXPECT_FALSE(store.ReadInt("NumInputs", &value));
  EXPECT_FALSE(store.ReadInt("NumOutput", &value));
  EXPECT_FALSE(store.ReadInt("NumOutputs=3", &value));
  EXPECT_EQ(value, 42);
  EXPECT_FALSE(store.ReadInt(nullptr, &value));
  EXPECT_FALSE(store.ReadInt("NumOutputs", nullptr));
}

TEST_F(UserStoreTest, UnknownLinesAreKept) {
  const std::string original = "# written by hand\nOther=5\nfree text\n\nNumInputs=1\nTail=x";
  WriteText(EffectFile(), original);
  {
    UserStore store(kEffectKey);
    EXPECT_TRUE(store.WriteInt("NumInputs", 3));
    EXPECT_TRUE(store.WriteInt("NewValue", 9));
  }
  const std::string text = ReadText(EffectFile());
  for (const char* line : {"# written by hand\n", "Other=5\n", "free text\n", "Tail=x"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(text.find("NumInputs=1"), std::string::npos);
  EXPECT_EQ(text.find("NumInputs=3"), text.rfind("NumInputs="));
  EXPECT_EQ(Read(kEffectKey, "NumInputs"), 3);
  EXPECT_EQ(Read(kEffectKey, "NewValue"), 9);
  EXPECT_EQ(Read(kEffectKey, "Other"), 5);
}

TEST_F(UserStoreTest, MalformedValuesLeaveTheValue) {
  for (const char* line :
       {"NumInputs=abc", "NumInputs=", "NumInputs=12x", "NumInputs=99999999999", "NumInputs=2147483648",
        "NumInputs=-2147483649", "NumInputs=1 2", "NumInputs=- 3", "NumInputs=0x10", "NumInputs=\x01\xff"}) {
    WriteText(EffectFile(), std::string(line) + "\n");
    int32_t value = 42;
    UserStore store(kEffectKey);
    EXPECT_FALSE(store.ReadInt("NumInputs", &value)) << line;
    EXPECT_EQ(value, 42) << line;
  }
  WriteText(EffectFile(), "NumInputs=-2147483648\r\nNumOutputs= 7 \n");
  EXPECT_EQ(Read(kEffectKey, "NumInputs"), INT32_MIN);
  EXPECT_EQ(Read(kEffectKey, "NumOutputs"), 7);
}

TEST_F(UserStoreTest, BinaryGarbageLeavesTheValue) {
  std::string garbage;
  uint32_t x = 12345;
  for (int i = 0; i < 5000; ++i) {
    x = x * 1103515245u + 12345u;
    garbage += static_cast<char>(x >> 24);
  }
  WriteText(EffectFile(), garbage);
  int32_t value = 42;
  UserStore store(kEffectKey);
  store.ReadInt("NumInputs", &value);
  store.ReadInt("AudioPrec", &value);
  EXPECT_EQ(value, 42);
}

TEST_F(UserStoreTest, UnreadableFileLeavesTheValue) {
  fs::create_directories(EffectFile());  // a folder where the file should be
  int32_t value = 42;
  UserStore store(kEffectKey);
  EXPECT_FALSE(store.ReadInt("NumInputs", &value));
  EXPECT_FALSE(store.WriteInt("NumInputs", 1));
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(fs::is_directory(EffectFile()));
}

// A file too large to read whole is not rewritten from the part that was read.
TEST_F(UserStoreTest, OversizedFileIsNeverCutShort) {
  std::string text;
  for (int i = 0; text.size() < (3u << 20); ++i) text += "Comment" + std::to_string(i) + "=1\n";
  text += "Last=7\n";
  WriteText(EffectFile(), text);
  UserStore store(kEffectKey);
  store.WriteInt("NumInputs", 4);
  const std::string after = ReadText(EffectFile());
  EXPECT_GE(after.size(), text.size());
  EXPECT_NE(after.find("Last=7\n"), std::string::npos);
}

// One WriteInts leaves the file exactly as one WriteInt per entry would:
// values replace the first line of their name (in any case) and drop later
// ones, new values are appended in order, the later of two entries with the
// same name counts, unknown lines stay, and a name that cannot be stored is
// skipped (the result is false).
TEST_F(UserStoreTest, BatchWritesAsOneWriteEachInOrder) {
  const std::string before =
      "Other=1\nnuminputs=9\nNoEquals\nAudioPrec=2\nNumInputs=8\n\nConfigDlg=1\r\nTail=x";
  const UserStore::Entry entries[] = {{"NumInputs", 3}, {"StereoPins", 1}, {"A=B", 5},      {"AudioPrec", 4},
                                      {"NewOne", -7},   {"stereopins", 0}, {"ConfigDlg", 0}};
  WriteText(EffectFile(), before);
  {
    UserStore store(kEffectKey);
    for (const auto& e : entries) store.WriteInt(e.name, e.value);
  }
  const std::string oneByOne = ReadText(EffectFile());
  WriteText(EffectFile(), before);
  const uint32_t updates = UserStore::UpdateCount();
  {
    UserStore store(kEffectKey);
    EXPECT_FALSE(store.WriteInts(entries, sizeof entries / sizeof entries[0]));
  }
  EXPECT_EQ(UserStore::UpdateCount(), updates + 1);
  EXPECT_EQ(ReadText(EffectFile()), oneByOne);
  EXPECT_EQ(oneByOne,
            "Other=1\nNumInputs=3\nNoEquals\nAudioPrec=4\n\nConfigDlg=0\nTail=x\nstereopins=0\nNewOne=-7\n");
}

TEST_F(UserStoreTest, BatchOfSixIsOneUpdate) {
  const UserStore::Entry six[] = {{"NumInputs", 2}, {"NumOutputs", 2}, {"ConfigDlg", 1},
                                  {"TermSlave", 1}, {"StereoPins", 0}, {"AudioPrec", 4}};
  const uint32_t updates = UserStore::UpdateCount();
  UserStore store(kEffectKey);
  EXPECT_TRUE(store.WriteInts(six, 6));
  EXPECT_EQ(UserStore::UpdateCount(), updates + 1);
  EXPECT_EQ(ReadText(EffectFile()),
            "NumInputs=2\nNumOutputs=2\nConfigDlg=1\nTermSlave=1\nStereoPins=0\nAudioPrec=4\n");
  EXPECT_TRUE(store.WriteInts(six, 0));  // nothing to write
  EXPECT_EQ(UserStore::UpdateCount(), updates + 1);
}

// While another process holds the lock, a write that may not wait fails at
// once and leaves the file alone; a bounded one gives up after its wait.
TEST_F(UserStoreTest, WriteWithoutWaitingFailsWhileAnotherProcessWrites) {
  UserStore store(kEffectKey);
  ASSERT_TRUE(store.WriteInt("AudioPrec", 4));
  const std::string before = ReadText(EffectFile());
  tovik::test::HeldStoreLock other(EffectFile());
  ASSERT_TRUE(other.Held());
  const UserStore::Entry entry{"AudioPrec", 1};
  EXPECT_FALSE(store.WriteInts(&entry, 1, 0));
  EXPECT_FALSE(store.WriteInts(&entry, 1, 50));
  EXPECT_EQ(ReadText(EffectFile()), before);
  other.Release();
  EXPECT_TRUE(store.WriteInts(&entry, 1, 0));
  EXPECT_EQ(Read(kEffectKey, "AudioPrec"), 1);
}

TEST_F(UserStoreTest, NamesThatWouldBreakTheFileAreRefused) {
  UserStore store(kEffectKey);
  EXPECT_FALSE(store.WriteInt("A=B", 1));
  EXPECT_FALSE(store.WriteInt("A\nB", 1));
  EXPECT_FALSE(store.WriteInt("", 1));
  EXPECT_FALSE(store.WriteInt(nullptr, 1));
  std::string bad;
  EXPECT_TRUE(WellFormed(ReadText(EffectFile()), &bad)) << bad;
}

TEST_F(UserStoreTest, TwoThreadsWritingAtOnceNeverTearTheFile) {
  constexpr int kWrites = 100;
  {
    UserStore seed(kEffectKey);
    ASSERT_TRUE(seed.WriteInt("Shared", 0));
  }
  std::atomic<int> writersLeft{2};
  std::atomic<int> failures{0};
  auto writer = [&](const char* own, int base) {
    UserStore store(kEffectKey);
    for (int i = 0; i < kWrites; ++i) {
      if (!store.WriteInt(own, i)) ++failures;
      if (!store.WriteInt("Shared", base + i)) ++failures;
      store.Close();
    }
    --writersLeft;
  };
  std::thread a(writer, "First", 1000);
  std::thread b(writer, "Second", 2000);
  int reads = 0;
  std::string bad;
  bool torn = false;
  while (writersLeft > 0 && !torn) {
    const std::string text = ReadText(EffectFile());
    torn = !WellFormed(text, &bad) || text.find("Shared=") == std::string::npos;
    EXPECT_NE(Read(kEffectKey, "Shared"), -777);
    ++reads;
  }
  a.join();
  b.join();
  EXPECT_FALSE(torn) << bad;
  EXPECT_EQ(failures, 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(Read(kEffectKey, "First"), kWrites - 1);
  EXPECT_EQ(Read(kEffectKey, "Second"), kWrites - 1);
  const int32_t shared = Read(kEffectKey, "Shared");
  EXPECT_TRUE(shared == 1000 + kWrites - 1 || shared == 2000 + kWrites - 1) << shared;
  for (const auto& entry : fs::directory_iterator(fs::path(EffectFile()).parent_path()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(UserStoreTest, TwoProcessesWritingAtOnceNeverTearTheFile) {
  constexpr int kWrites = 60;
  {
    UserStore seed(kEffectKey);
    ASSERT_TRUE(seed.WriteInt("Shared", 0));
  }
  pid_t children[2] = {-1, -1};
  for (int c = 0; c < 2; ++c) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserStore store(kEffectKey);
      const char* own = c == 0 ? "First" : "Second";
      int failed = 0;
      for (int i = 0; i < kWrites; ++i) {
        failed += store.WriteInt(own, i) ? 0 : 1;
        failed += store.WriteInt("Shared", (c + 1) * 1000 + i) ? 0 : 1;
        store.Close();
      }
      ::_exit(failed == 0 ? 0 : 1);
    }
    children[c] = pid;
  }
  std::string bad;
  bool torn = false;
  int finished = 0;
  int statuses[2] = {-1, -1};
  while (finished < 2) {
    const std::string text = ReadText(EffectFile());
    if (!WellFormed(text, &bad) || text.find("Shared=") == std::string::npos) torn = true;
    for (int c = 0; c < 2; ++c) {
      if (children[c] > 0 && ::waitpid(children[c], &statuses[c], WNOHANG) == children[c]) {
        children[c] = -1;
        ++finished;
      }
    }
  }
  EXPECT_FALSE(torn) << bad;
  for (int status : statuses) {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(Read(kEffectKey, "First"), kWrites - 1);
  EXPECT_EQ(Read(kEffectKey, "Second"), kWrites - 1);
  const int32_t shared = Read(kEffectKey, "Shared");
  EXPECT_TRUE(shared == 1000 + kWrites - 1 || shared == 2000 + kWrites - 1) << shared;
}

}  // namespace
