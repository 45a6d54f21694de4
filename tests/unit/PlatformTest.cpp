// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "TestSupport.h"
#include "zr/CNeLibrary.h"
#include "zr/EvDebug.h"
#include "zr/FXErrorUtil.h"
#include "zr/FXPath.h"
#include "zr/FXString.h"
#include "zr/SP.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

using test::CapturingLogWriter;

TEST(CNeError, SuccessCarriesNothing) {
  CNeError ok = CNeError::Success();
  EXPECT_FALSE(ok.IsError());
  EXPECT_EQ(ok.Status(), 0);
  EXPECT_TRUE(ok.Trail().empty());
}

TEST(CNeError, PushAppendsToTheTrailWithoutTouchingCopies) {
  CNeError e = FXErrorUtil::ErrorErrNo(FXCodeLocation("a/File", "void f()", 10), 22, "bad %s input");
  CNeError copy = e;
  e.Push(FXCodeLocation("b/Caller", "void g()", 20));
  EXPECT_TRUE(e.IsError());
  EXPECT_LT(e.Status(), 0);
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), "bad %s input");  // a finished text, never a format
  ASSERT_EQ(e.Trail().size(), 2u);
  EXPECT_EQ(e.Trail()[0].function, "void f()");
  EXPECT_EQ(e.Trail()[1].file, "b/Caller");
  EXPECT_EQ(e.Trail()[1].line, 20);
  EXPECT_EQ(copy.Trail().size(), 1u);
  EXPECT_EQ(FXErrorUtil::ErrorWin32(FXCodeLocation(), 87, "lv is NULL").Domain(), FXErrorDomain::Win32);
}

TEST(Logging, LevelGatesLinesAndTheirArguments) {
  auto writer = boost::make_shared<CapturingLogWriter>(ZR_LOG_ERROR);
  g_ptrLogWriter = writer;
  int evaluated = 0;
  auto arg = [&] { return ++evaluated; };
  for (int level : {ZR_LOG_ERROR, ZR_LOG_PROGRESS, ZR_LOG_DETAIL}) {
    writer->setLevel(level);
    writer->lines.clear();
    evaluated = 0;
    ZR_LOG(ZR_LOG_ERROR, "f", "e%d", arg());
    ZR_LOG(ZR_LOG_PROGRESS, "f", "p%d", arg());
    ZR_LOG(ZR_LOG_DETAIL, "f", "d%d", arg());
    size_t expected = level == ZR_LOG_ERROR ? 1 : level == ZR_LOG_PROGRESS ? 2 : 3;
    EXPECT_EQ(writer->lines.size(), expected) << "writer level " << level;
    EXPECT_EQ(evaluated, static_cast<int>(expected)) << "arguments of suppressed lines were evaluated";
  }
  g_ptrLogWriter.reset();
}

TEST(Logging, LongLinesAreWholeAndAMissingWriterIsNoCrash) {
  auto writer = boost::make_shared<CapturingLogWriter>(ZR_LOG_ERROR);
  g_ptrLogWriter = writer;
  const std::string path(2000, 'p');
  EvDebug().Error("fn", "Cannot open %s: %s", path.c_str(), "Permission denied");
  ASSERT_EQ(writer->lines.size(), 1u);
  EXPECT_EQ(writer->lines[0].text, "Cannot open " + path + ": Permission denied");

  g_ptrLogWriter.reset();
  ::testing::internal::CaptureStderr();
  ZR_LOG(ZR_LOG_ERROR, "fn", "no writer: %d", 7);
  ZR_LOG(ZR_LOG_DETAIL, "fn", "detail stays out");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR no writer: 7"), std::string::npos) << err;
  EXPECT_EQ(err.find("detail stays out"), std::string::npos) << err;
}

TEST(Logging, StreamWriterNamesLevelsAndKeepsPercentText) {
  FILE* f = std::tmpfile();
  CStreamLogWriter w(ZR_LOG_PROGRESS, f);
  w.Write(-1, "fn", 1, 0, 0, "%s", "100% sure");
  std::rewind(f);
  char buf[256] = {};
  ASSERT_NE(std::fgets(buf, sizeof buf, f), nullptr);
  EXPECT_NE(std::string(buf).find("ERROR 100% sure"), std::string::npos) << buf;
  std::fclose(f);
  EXPECT_THROW(CStreamLogWriter(0, std::string("/nonexistent-dir/x.log")), ZrException);
}

TEST(FXString, SplitKeepsEmptyPiecesUnlessAskedNot) {
  std::vector<std::string> out;
  EXPECT_EQ(FXString::Split("/home:/dev/vg/s:/mnt/s", ":", out, 0), 3u);
  EXPECT_EQ(out[1], "/dev/vg/s");
  EXPECT_EQ(FXString::Split("m:/home:/mnt/s:", ":", out, 0), 4u);
  EXPECT_EQ(out.back(), "");
  EXPECT_EQ(FXString::Split("a::b", ":", out, 0), 3u);
  EXPECT_EQ(FXString::Split("a::b", ":", out, FXString::FXSPLIT_SKIP_EMPTY), 2u);
  EXPECT_EQ(FXString::Split("", ":", out, 0), 1u);
}

TEST(FXString, RemoveRightTrimsTrailingSlashesButKeepsRoot) {
  std::string s = "/data//";
  FXString::RemoveRight(s, "/");
  EXPECT_EQ(s, "/data");
  s = "/";
  FXString::RemoveRight(s, "/");
  EXPECT_EQ(s, "/");
}

TEST(FXPath, SamePathComparesNormalForms) {
  EXPECT_TRUE(FXPath::IsSamePathAs("/gpfs/fs0/", "/gpfs/fs0"));
  EXPECT_TRUE(FXPath::IsSamePathAs("/gpfs//fs0/./a/../b", "/gpfs/fs0/b"));
  EXPECT_FALSE(FXPath::IsSamePathAs("/gpfs/fs0", "/gpfs/fs01"));
  EXPECT_TRUE(FXPath::IsUnder("/data/x", "/data"));
  EXPECT_FALSE(FXPath::IsUnder("/database", "/data"));
  EXPECT_TRUE(FXPath::IsUnder("/anything", "/"));
}

TEST(FXPath, ResolverPicksTheLongestMountPointOnComponentBoundaries) {
  std::string dir = test::MakeTempDir();
  std::filesystem::create_directories(dir + "/data/sub");
  std::filesystem::create_directories(dir + "/database");
  std::filesystem::create_symlink(dir + "/data/sub", dir + "/link");
  auto points = std::make_shared<std::vector<std::string>>(std::vector<std::string>{"/", dir + "/data"});
  FXPath::SetMountPointSource([points] { return points; });
  std::string volume;
  ASSERT_FALSE(FXPath::ZRGetVolumeNameForVolumeMountPoint(dir + "/data/sub", volume).IsError());
  EXPECT_EQ(volume, dir + "/data");
  ASSERT_FALSE(FXPath::ZRGetVolumeNameForVolumeMountPoint(dir + "/database", volume).IsError());
  EXPECT_EQ(volume, "/");
  ASSERT_FALSE(FXPath::ZRGetVolumeNameForVolumeMountPoint(dir + "/link", volume).IsError());
  EXPECT_EQ(volume, dir + "/data") << "symbolic links are followed";
  CNeError missing = FXPath::ZRGetVolumeNameForVolumeMountPoint(dir + "/nope", volume);
  EXPECT_EQ(missing.Code(), ENOENT);
  EXPECT_NE(missing.Message().find("No such file or directory"), std::string::npos) << missing.Message();
  std::filesystem::remove_all(dir);
}

TEST(ZRPlatformInfo, NumbersAndStringsFromTheIniFile) {
  std::string dir = test::MakeTempDir();
  test::WriteFile(dir + "/a.ini", "[TLM]\nnSnapCowSizeMB=512\nbad=12x\nneg=-1\n[SnapOS]\nsEngine=sim\n");
  ZRPlatformInfo info(dir + "/a.ini");
  unsigned long n = 7;
  EXPECT_NE(info.getNumber("TLM", "nSnapCowSizeMB", &n), 0);
  EXPECT_EQ(n, 512u);
  EXPECT_EQ(info.getNumber("TLM", "bad", &n), 0);
  EXPECT_EQ(info.getNumber("TLM", "neg", &n), 0);
  EXPECT_EQ(info.getNumber("FileSystemAgent", "nSnapCowSizeMB", &n), 0);
  EXPECT_EQ(n, 512u) << "a failed lookup leaves the value alone";
  std::string s;
  EXPECT_NE(info.getString("SnapOS", "sEngine", &s), 0);
  EXPECT_EQ(s, "sim");
  EXPECT_EQ(ZRPlatformInfo(dir + "/missing.ini").getNumber("TLM", "nSnapCowSizeMB", &n), 0);
  std::filesystem::remove_all(dir);
}

TEST(CNeLibrary, AddressStaysValidAfterTheLoaderIsGone) {
  ::setenv("ZRSNAP_LIBRARY_DIR", UDC_OK_DIR, 1);
  using Fn = bool (*)(const char*, const char*, int*, int, std::string&);
  void* address = nullptr;
  {
    CNeLibrary lib(false);
    EXPECT_EQ(lib.GetLibraryNameForName("udcclient"), std::string(UDC_OK_DIR) + "/libudcclient.so");
    ASSERT_FALSE(lib.Load(lib.GetLibraryNameForName("udcclient"), true).IsError());
    ASSERT_FALSE(lib.GetAddress("Freeze_n", address).IsError());
    void* none = nullptr;
    CNeError missing = lib.GetAddress("NoSuchSymbol", none);
    EXPECT_TRUE(missing.IsError());
    EXPECT_NE(missing.Message().find("NoSuchSymbol"), std::string::npos);
  }
  std::string error;
  int state = -1;
  EXPECT_TRUE(reinterpret_cast<Fn>(address)("/data", "/opt", &state, 1, error));
  CNeLibrary lib(false);
  CNeError e = lib.Load("/nonexistent/libx.so", true);
  EXPECT_TRUE(e.IsError());
  EXPECT_NE(e.Message().find("/nonexistent/libx.so"), std::string::npos);
}

namespace {
struct Counted : SPEnabled {
  explicit Counted(int* d) : deaths(d) {}
  ~Counted() override { ++*deaths; }
  int* deaths;
};
}  // namespace

TEST(SP, CountsSharedOwnershipAndDestroysAtZero) {
  int deaths = 0;
  {
    SP<Counted> a(new Counted(&deaths));
    SP<Counted> b = a;
    SP<Counted> c(a.get());  // a raw pointer already held elsewhere
    EXPECT_EQ(a->useCount(), 3);
    b.reset();
    c = SP<Counted>();
    EXPECT_EQ(deaths, 0);
    EXPECT_FALSE(SP<Counted>());
  }
  EXPECT_EQ(deaths, 1);
}

TEST(SP, MovesHandOverTheReferenceWithoutCounting) {
  int deaths = 0;
  {
    SP<Counted> a(new Counted(&deaths));
    SP<Counted> moved(std::move(a));
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the moved-from handle must be null
    EXPECT_EQ(moved->useCount(), 1);

    SP<Counted> other(new Counted(&deaths));
    other = std::move(moved);  // releases what other held
    EXPECT_EQ(deaths, 1);
    EXPECT_FALSE(moved);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(other->useCount(), 1);

    SP<Counted>& same = other;
    other = std::move(same);  // moving onto itself keeps the object
    ASSERT_TRUE(other);
    EXPECT_EQ(other->useCount(), 1);
  }
  EXPECT_EQ(deaths, 2);
}
