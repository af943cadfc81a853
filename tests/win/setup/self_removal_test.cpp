#include "setup/self_removal.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "support/registry_backup.h"
#include "win/unique_handle.h"

// Allocations on a thread that asked for it fail, as they would with the memory gone.
namespace {
thread_local bool t_allocationsFail = false;
}
void* operator new(std::size_t size) {
  if (t_allocationsFail) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// These are the allocator: free() is the right release for what they handed out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace kqd {
namespace {

using win::UniqueFile;

std::string ReadBytes(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string bytes;
  char chunk[4096];
  DWORD read = 0;
  while (file && ::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  return bytes;
}

// A scratch folder of this process; files self-removal wrote grant LocalSystem
// alone, so cleaning up first gives the owner (this process) its rights back.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"kqd-self-removal-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() {
    Release(File(L"kqddrv.INF"));
    ::RemoveDirectoryW(path_.c_str());
  }
  std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }
  static void Release(const std::wstring& file) {
    ::SetNamedSecurityInfoW(const_cast<wchar_t*>(file.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr);
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(file.c_str());
  }

 private:
  std::wstring path_;
};

bool WriteText(const std::wstring& path, const std::string& text) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Writing, the DACL and a deletable leftover are checked end to end on the testbed;
// here the failures that the uninstall must never follow.
TEST(WriteEmbeddedInf, LeftoverThatCannotBeDeletedFails) {
  ScratchFolder scratch;
  const std::wstring path = scratch.File(L"kqddrv.INF");
  ASSERT_TRUE(WriteText(path, "leftover"));
  {
    UniqueFile held(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_FALSE(WriteEmbeddedInf(path.c_str()));
  }
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(WriteEmbeddedInf(path.c_str()));
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadBytes(path), "leftover");
}

TEST(WriteEmbeddedInf, MissingFolderFails) {
  ScratchFolder scratch;
  EXPECT_FALSE(WriteEmbeddedInf(scratch.File(L"absent\\kqddrv.INF").c_str()));
}

// An INF of this process in the real INF directory, removed afterwards.
class OwnerInf {
 public:
  OwnerInf() : name_(L"kqdtest" + std::to_wstring(::GetCurrentProcessId()) + L".inf") {
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    path_ = std::wstring(windows) + L"\\INF\\" + name_;
    EXPECT_TRUE(WriteText(path_, "[Version]\r\n"));
  }
  ~OwnerInf() { ::DeleteFileW(path_.c_str()); }
  const std::wstring& name() const { return name_; }

 private:
  std::wstring name_;
  std::wstring path_;
};

std::wstring List(std::initializer_list<std::wstring> names) {
  std::wstring list;
  for (const auto& n : names) list += n + L'\0';
  return list + L'\0';
}

TEST(IsAnyOwnerInfPresent, AnswersForTheInfDirectory) {
  OwnerInf present;
  const std::wstring absent = L"kqdabsent" + std::to_wstring(::GetCurrentProcessId()) + L".inf";
  EXPECT_FALSE(IsAnyOwnerInfPresent(List({}).c_str()));
  EXPECT_FALSE(IsAnyOwnerInfPresent(List({absent, L"oem99999.inf"}).c_str()));
  EXPECT_TRUE(IsAnyOwnerInfPresent(List({present.name()}).c_str()));
  EXPECT_TRUE(IsAnyOwnerInfPresent(List({absent, present.name()}).c_str()));
  // Names end at the empty one: a present name after it is not looked at.
  EXPECT_FALSE(IsAnyOwnerInfPresent((List({absent}) + present.name() + L'\0' + L'\0').c_str()));
}

TEST(IsAnyOwnerInfPresent, NameTooLongForAPathCountsAsPresent) {
  EXPECT_TRUE(IsAnyOwnerInfPresent(List({L"oem99999.inf", std::wstring(300, L'n')}).c_str()));
  EXPECT_TRUE(IsAnyOwnerInfPresent(List({std::wstring(250, L'n')}).c_str()));
}

// The package is gone (its one owner is absent), so only running out of memory can
// keep the answer from being false; then it cannot be established: still installed.
TEST(IsDeviceStillInstalled, OutOfMemory_CountsAsInstalled) {
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\KQD";
  kqdtest::RegistryBackup backup(HKEY_LOCAL_MACHINE, key, {L"Owners", L"DisplayName"});
  const std::wstring owners = List({L"kqdabsent" + std::to_wstring(::GetCurrentProcessId()) + L".inf"});
  kqdtest::SetValue(HKEY_LOCAL_MACHINE, key, L"Owners", REG_MULTI_SZ, owners.data(),
                    static_cast<DWORD>(owners.size() * sizeof(wchar_t)));
  kqdtest::SetString(HKEY_LOCAL_MACHINE, key, L"DisplayName", L"KQD Service");
  ASSERT_FALSE(IsDeviceStillInstalled());

  bool answer = false;
  t_allocationsFail = true;
  try {
    answer = IsDeviceStillInstalled();
  } catch (...) {
    t_allocationsFail = false;
    FAIL() << "an exception left IsDeviceStillInstalled";
  }
  t_allocationsFail = false;
  EXPECT_TRUE(answer);
}

}  // namespace
}  // namespace kqd
