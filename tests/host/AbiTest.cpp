// Loads the plug-in as an agent does, seeing nothing but include/.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "KestrelNativeSnapManager.h"

// The GPFS manager's table has one more slot after the interface's. Not in an
// anonymous namespace: the compiler must not assume it has no overriders.
class GpfsView : public CKestrelNativeSnapManager {
 public:
  virtual CNeError ReMountSnaps() = 0;
};

// Reads the extra slot the way an agent built against its own copy of the
// table would; the sanitizer's type check cannot know that layout is the contract.
__attribute__((no_sanitize("vptr"))) CNeError CallReMountSnaps(CKestrelNativeSnapManager* m) {
  return static_cast<GpfsView*>(m)->ReMountSnaps();
}

namespace {
using NativeFactory = CKestrelNativeSnapManager* (*)(std::string);
using PlainFactory = CKestrelNativeSnapManager* (*)();

class AbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = ::dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
  }
  template <class F>
  F symbol(const char* name) {
    return reinterpret_cast<F>(::dlsym(handle, name));
  }
  void* handle = nullptr;
};
}  // namespace

TEST_F(AbiTest, CreationFunctionsGiveManagersOfTheRightKind) {
  auto byKind = symbol<NativeFactory>("_Z20GetNativeSnapManagerNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
  auto native = symbol<PlainFactory>("GetKestrelNativeSnapManager");
  auto gpfs = symbol<PlainFactory>("GetGpfsSnapManager");
  ASSERT_TRUE(byKind && native && gpfs);
  for (auto* m : {byKind("native"), native()}) {
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->getSnapDevPrefix(), "zrks_");
    EXPECT_EQ(m->GetLastError(), "");
    EXPECT_TRUE(m->GetSourceToLocalMap().empty());
    EXPECT_FALSE(m->IsDCFreeze("/"));
    delete m;
  }
  for (auto* m : {byKind("gpfs"), gpfs()}) {
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->getSnapDevPrefix(), "zrgpfs_");
    EXPECT_FALSE(CallReMountSnaps(m).IsError());
    delete m;
  }
  for (const char* kind : {"", "GPFS", "Native", "native ", "gpfs\n"}) EXPECT_EQ(byKind(kind), nullptr) << kind;
}

TEST_F(AbiTest, OnlyTheApiIsExported) {
  EXPECT_EQ(::dlsym(handle, "Freeze"), nullptr);
  EXPECT_EQ(symbol<void*>("_ZN32CKestrelNativeSnapManagerPrivate10RunCleanupEPSt6vectorINSt7__cxx1112basic_"
                          "stringIcSt11char_traitsIcESaIcEEESaIS6_EE"),
            nullptr);
  EXPECT_NE(::dlsym(handle, "_ZN32CKestrelNativeSnapManagerPrivate7CleanupEv"), nullptr);
}
