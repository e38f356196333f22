#include <gtest/gtest.h>

#include "sockets/AutoDll.h"

namespace {

// A library of the system that every process can load, with one of its exports.
#if defined(_WIN32)
constexpr const char* kSystemLibrary = "kernel32.dll";
constexpr const char* kSystemExport = "GetTickCount";
#else
constexpr const char* kSystemLibrary = "libm.so.6";
constexpr const char* kSystemExport = "cos";
#endif
constexpr const char* kMissingLibrary = "tovik_no_such_library_5c1e.dll";

// Records the Unload calls that Load makes through the virtual table.
class CCountingDll : public CAutoDll {
 public:
  void Unload() override {
    ++unloads;
    heldAtUnload = module;
    CAutoDll::Unload();
  }
  int unloads = 0;
  tovik::platform::ModuleHandle heldAtUnload = nullptr;
};

TEST(AutoDll, EmptyObjectHoldsNothing) {
  CAutoDll dll;
  EXPECT_EQ(dll.Module(), nullptr);
  EXPECT_EQ(dll.LoadFlags(), 0u);
  EXPECT_EQ(dll.GetProc(kSystemExport), nullptr);
  dll.Unload();  // nothing to free
  EXPECT_EQ(dll.Module(), nullptr);
}

TEST(AutoDll, MissingLibraryFailsAndHoldsNothing) {
  CAutoDll dll;
  EXPECT_FALSE(dll.Load(kMissingLibrary, 0));
  EXPECT_EQ(dll.Module(), nullptr);
  EXPECT_EQ(dll.GetProc(kSystemExport), nullptr);
  EXPECT_FALSE(dll.Load(kMissingLibrary, 8));
  EXPECT_EQ(dll.LoadFlags(), 8u);  // the flags of the last load are kept even when it fails
}

TEST(AutoDll, LoadsLibraryAndFindsExports) {
  CAutoDll dll;
  ASSERT_TRUE(dll.Load(kSystemLibrary, 0));
  EXPECT_NE(dll.Module(), nullptr);
  EXPECT_EQ(dll.LoadFlags(), 0u);
  EXPECT_NE(dll.GetProc(kSystemExport), nullptr);
  EXPECT_EQ(dll.GetProc("tovik_no_such_export"), nullptr);
  dll.Unload();
  EXPECT_EQ(dll.Module(), nullptr);
  EXPECT_EQ(dll.GetProc(kSystemExport), nullptr);
}

TEST(AutoDll, LoadOnLoadedObjectFreesTheOldLibraryFirst) {
  CCountingDll dll;
  ASSERT_TRUE(dll.Load(kSystemLibrary, 0));
  EXPECT_EQ(dll.unloads, 1);  // every Load starts with Unload, also on an empty object
  EXPECT_EQ(dll.heldAtUnload, nullptr);
  const tovik::platform::ModuleHandle first = dll.Module();

  ASSERT_TRUE(dll.Load("Ws2_32.dll", 0));
  EXPECT_EQ(dll.unloads, 2);
  EXPECT_EQ(dll.heldAtUnload, first);
  EXPECT_NE(dll.GetProc("socket"), nullptr);

  // A failed load still frees what was held.
  const tovik::platform::ModuleHandle second = dll.Module();
  EXPECT_FALSE(dll.Load(kMissingLibrary, 0));
  EXPECT_EQ(dll.unloads, 3);
  EXPECT_EQ(dll.heldAtUnload, second);
  EXPECT_EQ(dll.Module(), nullptr);
}

TEST(AutoDll, AttachAndDetachRules) {
  CAutoDll empty;
  EXPECT_FALSE(empty.Attach(nullptr));  // attaching nothing to an empty object
  EXPECT_EQ(empty.Module(), nullptr);
  EXPECT_FALSE(empty.Detach());  // nothing to detach

  CAutoDll owner;
  ASSERT_TRUE(owner.Load(kSystemLibrary, 0));
  const tovik::platform::ModuleHandle handle = owner.Module();

  CAutoDll other;
  ASSERT_TRUE(other.Load("Ws2_32.dll", 0));
  const tovik::platform::ModuleHandle kept = other.Module();
  EXPECT_FALSE(other.Attach(handle));  // already holds a library: unchanged
  EXPECT_EQ(other.Module(), kept);
  EXPECT_FALSE(other.Attach(nullptr));
  EXPECT_EQ(other.Module(), kept);

  // Detach forgets the handle without freeing: the library stays usable
  // through another owner, which then frees it.
  EXPECT_TRUE(owner.Detach());
  EXPECT_EQ(owner.Module(), nullptr);
  EXPECT_FALSE(owner.Detach());
  EXPECT_TRUE(empty.Attach(handle));
  EXPECT_EQ(empty.Module(), handle);
  EXPECT_NE(empty.GetProc(kSystemExport), nullptr);
}

}  // namespace
