#include "setup/task_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/com_classes.h"
#include "support/stdout_capture.h"
#include "support/registry_backup.h"
#include "doubles/taskschd/taskschd_double.h"
#include "win/bstr.h"
#include "win/com_error.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"

namespace {

namespace ts = kqdtb::taskschd;
using kqd::CTaskScheduler;
using kqdtest::StdoutCapture;
using Calls = std::vector<std::wstring>;

constexpr wchar_t kFolder[] = L"Tavmir";
constexpr wchar_t kTask[] = L"Tavmir KQD Uninstall Task";
constexpr wchar_t kTaskPath[] = L"\\Tavmir\\Tavmir KQD Uninstall Task";
constexpr HRESULT kInjected = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

std::wstring ModulePath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// The whole document the double exports for the uninstall task.
std::wstring ExpectedTaskXml(const std::wstring& command) {
  return LR"(<?xml version="1.0" encoding="UTF-16"?>
<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <RegistrationInfo>
    <Author>Tavmir KQD Service</Author>
    <Version>1.8</Version>
    <SecurityDescriptor></SecurityDescriptor>
  </RegistrationInfo>
  <Triggers>
    <EventTrigger id="Trigger1">
      <Subscription>&lt;QueryList&gt;&lt;Query Id="0" Path="Microsoft-Windows-Kernel-PnP/Configuration"&gt;&lt;Select Path="Microsoft-Windows-Kernel-PnP/Configuration"&gt;*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] and EventID=420]]&lt;/Select&gt;&lt;/Query&gt;&lt;/QueryList&gt;</Subscription>
    </EventTrigger>
  </Triggers>
  <Principals>
    <Principal id="Author">
      <UserId>NT AUTHORITY\System</UserId>
      <LogonType>ServiceAccount</LogonType>
      <RunLevel>HighestAvailable</RunLevel>
    </Principal>
  </Principals>
  <Settings>
    <AllowStartOnDemand>false</AllowStartOnDemand>
    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>
    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>
  </Settings>
  <Actions Context="Author">
    <Exec>
      <Command>)" + command + LR"(</Command>
      <Arguments>-PnPTask</Arguments>
    </Exec>
  </Actions>
</Task>
)";
}

// What reaching the task folder costs when the folder is absent.
const Calls kConnectCalls = {L"TaskScheduler::CreateInstance", L"ITaskService::Connect", L"ITaskService::GetFolder",
                             L"ITaskFolder::GetFolder", L"ITaskFolder::CreateFolder"};
const Calls kRegisterCalls = {
    L"ITaskService::NewTask",
    L"ITaskDefinition::get_RegistrationInfo",
    L"IRegistrationInfo::put_Author",
    L"IRegistrationInfo::put_Version",
    L"ITaskDefinition::get_Principal",
    L"IPrincipal::put_RunLevel",
    L"ITaskDefinition::get_Settings",
    L"ITaskSettings::put_AllowDemandStart",
    L"ITaskSettings::put_DisallowStartIfOnBatteries",
    L"ITaskSettings::put_StopIfGoingOnBatteries",
    L"ITaskDefinition::get_Triggers",
    L"ITriggerCollection::Create",
    L"ITrigger::put_Id",
    L"IEventTrigger::put_Subscription",
    L"ITaskDefinition::get_Actions",
    L"IActionCollection::Create",
    L"IExecAction::put_Path",
    L"IExecAction::put_Arguments",
    L"ITaskFolder::RegisterTaskDefinition",
};

Calls Concat(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Calls UpTo(const Calls& calls, const std::wstring& last) {
  Calls out;
  for (const auto& call : calls) {
    out.push_back(call);
    if (call == last) break;
  }
  return out;
}

// The root folder of whatever CLSID_TaskScheduler gives this process; empty on failure.
kqd::win::ComPtr<ITaskFolder> ConnectedRootFolder() {
  kqd::win::ComPtr<ITaskService> service;
  kqd::win::ComPtr<ITaskFolder> root;
  if (SUCCEEDED(::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                   service.put_void())) &&
      SUCCEEDED(service->Connect(VARIANT{}, VARIANT{}, VARIANT{}, VARIANT{}))) {
    service->GetFolder(kqd::win::UniqueBstr(L"\\").get(), root.put());
  }
  return root;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(hr));
  return text;
}

// Each test gets the double under CLSID_TaskScheduler in this process, an
// empty store and a reachable Task Scheduler; the switch is restored after.
class TaskSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.Enter()));
    ASSERT_EQ(com_.Register(CLSID_TaskScheduler, ts::ClassFactory()), S_OK);
    ASSERT_TRUE(ts::SetUnreachable(ts::kReachable));
    ASSERT_TRUE(ts::ClearStore());
    ts::ClearFailures();
    ts::ClearCallLog();
    baseline_ = ts::LiveObjects();
  }

  void TearDown() override { ts::ClearFailures(); }

  void ExpectAllReleased() const { EXPECT_EQ(ts::LiveObjects(), baseline_) << "a COM reference was not released"; }

  kqdtest::RegistryBackup switch_{HKEY_LOCAL_MACHINE, ts::kSwitchKey, {ts::kUnreachableValue}};
  long baseline_ = 0;
  kqdtest::ComClasses com_;
};

TEST_F(TaskSchedulerTest, Register_IntoAFreshStore_CreatesTheFolderAndExportsTheWholeDefinition) {
  ASSERT_FALSE(ts::FolderExists(kFolder));
  {
    CTaskScheduler scheduler;
    EXPECT_TRUE(scheduler.RegisterUninstallTask());
  }
  EXPECT_EQ(ts::ListTasks(), Calls{kTaskPath});
  EXPECT_EQ(ts::ReadTaskXml(kFolder, kTask).value_or(L"(absent)"), ExpectedTaskXml(ModulePath()));
  EXPECT_EQ(ts::CallLog(), Concat(kConnectCalls, kRegisterCalls));
  ExpectAllReleased();
}

TEST_F(TaskSchedulerTest, Register_Twice_ReusesTheFolderAndLeavesOneTaskWithTheNewDefinition) {
  ASSERT_TRUE(ts::PutTask(kFolder, kTask, L"<Task>stale</Task>"));
  ASSERT_TRUE(ts::PutTask(kFolder, L"Other", L"<Task>other</Task>"));
  ts::ClearCallLog();
  for (int round = 0; round < 2; ++round) {
    CTaskScheduler scheduler;
    EXPECT_TRUE(scheduler.RegisterUninstallTask()) << "round " << round;
  }
  EXPECT_EQ(ts::ListTasks(), (Calls{L"\\Tavmir\\Other", kTaskPath}));
  EXPECT_EQ(ts::ReadTaskXml(kFolder, kTask).value_or(L"(absent)"), ExpectedTaskXml(ModulePath()));
  EXPECT_EQ(ts::ReadTaskXml(kFolder, L"Other").value_or(L"(absent)"), L"<Task>other</Task>");
  const Calls log = ts::CallLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), L"ITaskFolder::CreateFolder"), 0);
  const auto registrations = ts::Registrations();  // what another process reads
  ASSERT_EQ(registrations.size(), 2u);
  for (const auto& r : registrations) {
    EXPECT_EQ(r.subject, kTaskPath);
    EXPECT_EQ(r.result, S_OK);
  }
  ExpectAllReleased();
}

TEST_F(TaskSchedulerTest, Delete_AfterRegister_RemovesTheTaskAndKeepsTheFolder) {
  {
    CTaskScheduler scheduler;
    ASSERT_TRUE(scheduler.RegisterUninstallTask());
  }
  ASSERT_TRUE(ts::PutTask(kFolder, L"Other", L"<Task>other</Task>"));
  ts::ClearCallLog();
  {
    CTaskScheduler scheduler;
    EXPECT_TRUE(scheduler.DeleteUninstallTask());
  }
  EXPECT_EQ(ts::ListTasks(), Calls{L"\\Tavmir\\Other"});
  EXPECT_TRUE(ts::FolderExists(kFolder));
  // The task alone: the folder is not even asked to go.
  EXPECT_EQ(ts::CallLog(), (Calls{L"TaskScheduler::CreateInstance", L"ITaskService::Connect", L"ITaskService::GetFolder",
                                  L"ITaskFolder::GetFolder", L"ITaskFolder::DeleteTask"}));
  EXPECT_TRUE(ts::FolderDeletions().empty());
  ExpectAllReleased();
}

// The double's DeleteFolder answers as Task Scheduler does and records every call,
// so a deletion of the task folder cannot pass unseen.
TEST_F(TaskSchedulerTest, Double_DeleteFolder_AnswersAsTaskSchedulerAndRecordsEveryCall) {
  ASSERT_TRUE(ts::PutTask(kFolder, kTask, L"<Task/>"));
  const auto root = ConnectedRootFolder();
  ASSERT_TRUE(root) << "no root folder from CLSID_TaskScheduler";
  for (const wchar_t* folder : {L"Empty", L"Empty\\Inner"}) {
    kqd::win::ComPtr<ITaskFolder> created;
    ASSERT_EQ(root->CreateFolder(kqd::win::UniqueBstr(folder).get(), VARIANT{}, created.put()), S_OK);
  }
  struct Case {
    const wchar_t* name;
    HRESULT result;
    const wchar_t* recorded;
  };
  const Case cases[] = {
      {L"Tavmir", HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY), L"\\Tavmir"},       // holds the task
      {L"\\Empty", HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY), L"\\Empty"},      // holds a folder
      {L"Empty\\Inner", S_OK, L"\\Empty\\Inner"},
      {L"\\Empty", S_OK, L"\\Empty"},
      {L"Empty", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"\\Empty"},
      {L"", E_ACCESSDENIED, L"\\"},
      {L"a:b", HRESULT_FROM_WIN32(ERROR_INVALID_NAME), L"a:b"},
  };
  std::vector<std::pair<std::wstring, HRESULT>> expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << testing::PrintToString(std::wstring(c.name)));
    EXPECT_EQ(root->DeleteFolder(kqd::win::UniqueBstr(c.name).get(), 0), c.result);
    expected.emplace_back(c.recorded, c.result);
  }
  std::vector<std::pair<std::wstring, HRESULT>> recorded;
  for (const auto& d : ts::FolderDeletions()) recorded.emplace_back(d.subject, d.result);
  EXPECT_EQ(recorded, expected);
  EXPECT_EQ(ts::ListFolders(), Calls{L"\\Tavmir"});
  EXPECT_EQ(ts::ListTasks(), Calls{kTaskPath});
  ASSERT_TRUE(ts::ClearStore());
  EXPECT_TRUE(ts::FolderDeletions().empty()) << "tasks-clear forgets the record";
}

TEST_F(TaskSchedulerTest, Delete_WithoutTheTask_ReturnsFalseAndChangesNothing) {
  ASSERT_TRUE(ts::PutTask(kFolder, L"Other", L"<Task>other</Task>"));
  {
    CTaskScheduler scheduler;
    EXPECT_FALSE(scheduler.DeleteUninstallTask());
  }
  EXPECT_EQ(ts::ListTasks(), Calls{L"\\Tavmir\\Other"});
  EXPECT_EQ(ts::ListFolders(), Calls{L"\\Tavmir"});
  EXPECT_EQ(ts::ReadTaskXml(kFolder, L"Other").value_or(L"(absent)"), L"<Task>other</Task>");
  ExpectAllReleased();
}

// Construction prints the failure once; the operation tries to connect once more
// and fails without printing.
TEST_F(TaskSchedulerTest, Unreachable_PrintsTheFailureOnceAndBothOperationsFail) {
  struct Case {
    DWORD mode;
    std::string message;
    Calls attempt;
  };
  const Case cases[] = {
      {ts::kNoClass, "CTaskScheduler::Initialize failed=0x80040154", {L"TaskScheduler::CreateInstance"}},
      {ts::kNoConnect, "CTaskScheduler::Initialize failed=0x80070426",
       {L"TaskScheduler::CreateInstance", L"ITaskService::Connect"}},
  };
  const std::pair<const char*, std::function<bool(CTaskScheduler&)>> operations[] = {
      {"register", [](CTaskScheduler& s) { return s.RegisterUninstallTask(); }},
      {"delete", [](CTaskScheduler& s) { return s.DeleteUninstallTask(); }},
  };
  for (const auto& c : cases) {
    for (const auto& [name, operation] : operations) {
      SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << name);
      ASSERT_TRUE(ts::SetUnreachable(c.mode));
      ts::ClearCallLog();
      std::string afterConstruction, afterOperation;
      bool result = true;
      {
        StdoutCapture capture;
        ASSERT_TRUE(capture.active());
        CTaskScheduler scheduler;
        afterConstruction = capture.Text();
        result = operation(scheduler);
        afterOperation = capture.Text();
      }
      EXPECT_EQ(afterConstruction, c.message);
      EXPECT_FALSE(result);
      EXPECT_EQ(afterOperation, c.message) << "the operation printed too";
      EXPECT_EQ(ts::CallLog(), Concat(c.attempt, c.attempt));
      EXPECT_TRUE(ts::ListTasks().empty());
      ExpectAllReleased();
    }
  }
}

// A failure at any step ends the operation there: nothing later is called,
// nothing is registered, and every reference obtained so far is released.
TEST_F(TaskSchedulerTest, Register_FailingAtEachStep_StopsThereAndReleasesEverything) {
  for (const auto& step : Concat(kConnectCalls, kRegisterCalls)) {
    if (step == L"ITaskFolder::GetFolder") continue;  // it has a fallback; see the next test
    SCOPED_TRACE(testing::Message() << "failing " << testing::PrintToString(step));
    ASSERT_TRUE(ts::ClearStore());
    ts::ClearFailures();
    ts::FailCall(step, kInjected);
    ts::ClearCallLog();
    const bool inInitialize = std::count(kConnectCalls.begin(), kConnectCalls.end(), step) != 0;
    std::string printed;
    bool result = true;
    {
      StdoutCapture capture;
      CTaskScheduler scheduler;
      result = scheduler.RegisterUninstallTask();
      printed = capture.Text();
    }
    EXPECT_FALSE(result);
    if (inInitialize) {
      EXPECT_EQ(printed, "CTaskScheduler::Initialize failed=" + Hex(kInjected));
      const Calls attempt = UpTo(kConnectCalls, step);
      EXPECT_EQ(ts::CallLog(), Concat(attempt, attempt));
    } else {
      EXPECT_EQ(printed, "");
      EXPECT_EQ(ts::CallLog(), Concat(kConnectCalls, UpTo(kRegisterCalls, step)));
    }
    EXPECT_TRUE(ts::ListTasks().empty());
    ExpectAllReleased();
  }
}

TEST_F(TaskSchedulerTest, TaskFolderLookupFails_CreateFolderDecidesAndItsResultIsReported) {
  struct Case {
    const char* name;
    bool folderExists;
    const wchar_t* failing;
    std::string message;  // empty: Initialize succeeds
  };
  const Case cases[] = {
      {"absent folder is created", false, nullptr, ""},
      {"lookup fails, creation finds it exists", true, L"ITaskFolder::GetFolder",
       "CTaskScheduler::Initialize failed=0x800700b7"},
      {"absent, creation refused", false, L"ITaskFolder::CreateFolder",
       "CTaskScheduler::Initialize failed=" + Hex(kInjected)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ts::ClearStore());
    if (c.folderExists) {
      ASSERT_TRUE(ts::PutTask(kFolder, L"Other", L"<Task/>"));
    }
    ts::ClearFailures();
    if (c.failing != nullptr) ts::FailCall(c.failing, kInjected);
    std::string printed;
    {
      StdoutCapture capture;
      CTaskScheduler scheduler;
      printed = capture.Text();
    }
    EXPECT_EQ(printed, c.message);
    EXPECT_EQ(ts::FolderExists(kFolder), c.folderExists || c.message.empty());
    ExpectAllReleased();
  }
}

// Fails the n-th string allocation; counts all of them.
std::atomic<int> g_allocations{0};
std::atomic<int> g_failAt{0};
BSTR CountingAlloc(const OLECHAR* text, UINT length) {
  if (++g_allocations == g_failAt.load()) return nullptr;
  return ::SysAllocStringLen(text, length);
}

TEST_F(TaskSchedulerTest, BstrAllocationFailure_RaisesComErrorOutOfMemoryAndReleasesEverything) {
  const std::pair<const char*, std::function<bool(CTaskScheduler&)>> operations[] = {
      {"register", [](CTaskScheduler& s) { return s.RegisterUninstallTask(); }},
      {"delete", [](CTaskScheduler& s) { return s.DeleteUninstallTask(); }},
  };
  const kqd::win::BstrAllocatorOverride counting(&CountingAlloc);
  for (const auto& [name, operation] : operations) {
    ASSERT_TRUE(ts::ClearStore());
    ASSERT_TRUE(ts::PutTask(kFolder, kTask, L"<Task>before</Task>"));
    g_failAt = 0;
    g_allocations = 0;
    {
      CTaskScheduler scheduler;
      operation(scheduler);
    }
    const int total = g_allocations.load();
    ASSERT_GT(total, 2) << name;

    for (int n = 1; n <= total; ++n) {
      SCOPED_TRACE(testing::Message() << name << ", failing allocation " << n << " of " << total);
      ASSERT_TRUE(ts::ClearStore());
      ASSERT_TRUE(ts::PutTask(kFolder, kTask, L"<Task>before</Task>"));
      g_allocations = 0;
      g_failAt = n;
      HRESULT raised = S_OK;
      try {
        CTaskScheduler scheduler;
        operation(scheduler);
      } catch (const kqd::ComError& error) {
        raised = error.hr();
      }
      EXPECT_EQ(raised, E_OUTOFMEMORY);
      EXPECT_EQ(ts::ReadTaskXml(kFolder, kTask).value_or(L"(absent)"), L"<Task>before</Task>");
      ExpectAllReleased();
    }
  }
  g_failAt = 0;
}

// Run in a copy of this executable (see the next test), so the module path is one
// with spaces; it registers through the double of its own process.
TEST(TaskSchedulerChild, DISABLED_RegisterFromThisModule) {
  kqdtest::ComClasses com;
  ASSERT_TRUE(SUCCEEDED(com.Enter()));
  ASSERT_EQ(com.Register(CLSID_TaskScheduler, ts::ClassFactory()), S_OK);
  CTaskScheduler scheduler;
  EXPECT_TRUE(scheduler.RegisterUninstallTask());
}

TEST_F(TaskSchedulerTest, Register_FromAPathWithSpaces_StoresThePathUnquoted) {
  const std::wstring copy = L"C:\\kqdtb\\path with spaces\\taskschd tests copy.exe";
  ::CreateDirectoryW(L"C:\\kqdtb\\path with spaces", nullptr);
  ASSERT_TRUE(::CopyFileW(ModulePath().c_str(), copy.c_str(), FALSE)) << ::GetLastError();

  std::wstring commandLine =
      L"\"" + copy + L"\" --gtest_also_run_disabled_tests --gtest_filter=TaskSchedulerChild.DISABLED_RegisterFromThisModule";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
      << ::GetLastError();
  const kqd::win::UniqueHandleNull processHandle(process.hProcess), threadHandle(process.hThread);
  ASSERT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);

  EXPECT_EQ(ts::ReadTaskXml(kFolder, kTask).value_or(L"(absent)"), ExpectedTaskXml(copy));
  ::DeleteFileW(copy.c_str());
  ::RemoveDirectoryW(L"C:\\kqdtb\\path with spaces");
}

}  // namespace

namespace {

// Run by cli_test.sh with the double installed in the prefix's registry: no class
// object here, so CoCreateInstance loads kqdtaskschd.dll. Prints the result for the script.
TEST(TaskSchedulerInstalled, DISABLED_RegisterThroughTheRegistry) {
  kqdtest::ComClasses com;
  ASSERT_TRUE(SUCCEEDED(com.Enter()));
  CTaskScheduler scheduler;
  const bool registered = scheduler.RegisterUninstallTask();
  std::printf("\nregistered=%d\n", registered ? 1 : 0);
}

// Run by cli_test.sh: asks the installed double to delete the task folder, so the
// script sees the call recorded across processes.
TEST(TaskSchedulerInstalled, DISABLED_DeleteTheTaskFolderThroughTheRegistry) {
  kqdtest::ComClasses com;
  ASSERT_TRUE(SUCCEEDED(com.Enter()));
  const auto root = ConnectedRootFolder();
  ASSERT_TRUE(root) << "no root folder from CLSID_TaskScheduler";
  const HRESULT hr = root->DeleteFolder(kqd::win::UniqueBstr(kFolder).get(), 0);
  std::printf("\ndeleted=0x%08lx\n", static_cast<unsigned long>(hr));
}

}  // namespace
