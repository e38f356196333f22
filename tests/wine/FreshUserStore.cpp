// On Windows the per-user store is the registry, which every test of a run
// shares. Each test starts from an empty store, as each POSIX test does with a
// configuration folder of its own: the plug-ins' keys are removed before it.
#include <gtest/gtest.h>
#include <windows.h>

namespace {

constexpr const char* kStoreKeys[] = {"Software\\Kestrane\\Tovik", "Software\\Kestrane\\TovikI"};

class FreshUserStore : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    for (const char* key : kStoreKeys) RegDeleteKeyA(HKEY_CURRENT_USER, key);
  }
};

// Registered before main() runs the tests; GoogleTest owns the listener.
const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshUserStore);
  return true;
}();

}  // namespace
