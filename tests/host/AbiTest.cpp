// SPDX-License-Identifier: Apache-2.0
// Loads the plug-in as an agent does, seeing nothing but include/.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>

#include "KestrelNativeSnapManager.h"
#include "zr/FXPath.h"

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
  EXPECT_EQ(symbol<void*>("_ZN32CKestrelNativeSnapManagerPrivate10RunCleanupERNS_13CleanupReportE"), nullptr);
  EXPECT_NE(::dlsym(handle, "_ZN32CKestrelNativeSnapManagerPrivate7CleanupEv"), nullptr);
}

namespace {
// The bytes of one section of an ELF64 file, read as a tool like readelf would.
std::string SectionOf(const std::string& path, const std::string& wanted) {
  std::ifstream in(path, std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < sizeof(Elf64_Ehdr)) return "";
  auto* header = reinterpret_cast<const Elf64_Ehdr*>(file.data());
  auto* sections = reinterpret_cast<const Elf64_Shdr*>(file.data() + header->e_shoff);
  const char* names = file.data() + sections[header->e_shstrndx].sh_offset;
  for (int i = 0; i < header->e_shnum; ++i) {
    if (wanted == names + sections[i].sh_name) return file.substr(sections[i].sh_offset, sections[i].sh_size);
  }
  return "";
}
}  // namespace

// "N.N.N.N MM/DD/YY hh:mm:ss\n": each character's class, by position.
bool IsVersionLine(const std::string& text) {
  size_t at = 0;
  auto digits = [&](size_t least, size_t most) {
    size_t n = 0;
    while (at < text.size() && n < most && std::isdigit(static_cast<unsigned char>(text[at]))) ++at, ++n;
    return n >= least;
  };
  auto literal = [&](char c) { return at < text.size() && text[at++] == c; };
  return digits(1, 9) && literal('.') && digits(1, 9) && literal('.') && digits(1, 9) && literal('.') && digits(1, 9) &&
         literal(' ') && digits(2, 2) && literal('/') && digits(2, 2) && literal('/') && digits(2, 2) && literal(' ') &&
         digits(2, 2) && literal(':') && digits(2, 2) && literal(':') && digits(2, 2) && literal('\n') &&
         at == text.size();
}

TEST(Version, SectionHoldsExactlyTheVersionLine) {
  const std::string text = SectionOf(PLUGIN_PATH, "ZrVersion");
  EXPECT_TRUE(IsVersionLine(text)) << "[" << text << "] (" << text.size() << " bytes)";
  EXPECT_FALSE(IsVersionLine(text + std::string(1, '\0')));
}

namespace {
bool Mapped(const std::string& library) {
  std::ifstream maps("/proc/self/maps");
  std::string text((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  return text.find("/" + library) != std::string::npos;
}
}  // namespace

// The snapshot OS layer installs the path resolver that libzrplatform calls, and
// keeps the engines: an agent that unloads the plug-in must not unload it too.
TEST(Unload, TheSnapshotLayerStaysAndPathsStillResolve) {
  void* handle = ::dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto create = reinterpret_cast<CKestrelNativeSnapManager* (*)()>(::dlsym(handle, "GetKestrelNativeSnapManager"));
  ASSERT_NE(create, nullptr);
  delete create();
  ASSERT_EQ(::dlclose(handle), 0) << ::dlerror();

  EXPECT_FALSE(Mapped("libkestrelsnap.so")) << "the plug-in itself is unloaded";
  EXPECT_TRUE(Mapped("libflrsnapos.so"));
  std::string volume;
  CNeError resolved = FXPath::ZRGetVolumeNameForVolumeMountPoint("/", volume);
  EXPECT_FALSE(resolved.IsError()) << resolved.Message();
  EXPECT_EQ(volume, "/");
}
