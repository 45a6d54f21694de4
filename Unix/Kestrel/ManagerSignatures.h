// SPDX-License-Identifier: Apache-2.0
#pragma once
// Source path and function signature texts that the native manager's log
// lines and error locations carry; shared by the files that implement it.
namespace ManagerSignatures {
constexpr char kFile[] = "Unix/Kestrel/KestrelNativeSnapManagerPrivate";
constexpr char kInitialize[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::Initialize(bool, std::string, std::string, std::string)";
constexpr char kIsPossible[] =
    "CNeError CKestrelNativeSnapManagerPrivate::isNativeSnapPossible(std::string&, SP<FlrSnapOS::LV>&)";
constexpr char kFindLV[] = "CNeError CKestrelNativeSnapManagerPrivate::FindLV(std::string&, SP<FlrSnapOS::LV>&)";
constexpr char kCreate[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::CreateAndMountSnap(std::__cxx11::list<std::__cxx11::basic_"
    "string<char> >&)";
constexpr char kSnapAndMount[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::SnapAndMount(std::string, SP<FlrSnapOS::LV>&)";
constexpr char kSave[] = "int CKestrelNativeSnapManagerPrivate::SaveSnapDevInfo(const char*, const char*, const char*)";
constexpr char kCleanup[] = "CNeError CKestrelNativeSnapManagerPrivate::Cleanup()";
constexpr char kCleanupSnap[] =
    "bool CKestrelNativeSnapManagerPrivate::CleanupSnap(std::__cxx11::list<SP<FlrSnapOS::LV> >&, std::string&, "
    "std::string&)";
constexpr char kUnMount[] = "virtual CNeError CKestrelNativeSnapManagerPrivate::UnMountSnap()";
constexpr char kFreeze[] = "CNeError CKestrelNativeSnapManagerPrivate::FreezeDC(const string&, const char*)";

constexpr char kNoRecordPath[] = "SnapFileInfo not set";
constexpr int kEINVAL = 22;
}  // namespace ManagerSignatures
