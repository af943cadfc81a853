#pragma once
// The uninstall task's fixed definition, and the Task Scheduler 2.0 XML form of a
// task definition (the testbed's Task Scheduler exports what it was given this way).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqd {

// Task Scheduler 2.0 enumeration values (taskschd.h), platform-free.
namespace taskschd {
inline constexpr int32_t kRunLevelLua = 0;
inline constexpr int32_t kRunLevelHighest = 1;
inline constexpr int32_t kLogonServiceAccount = 5;
inline constexpr int32_t kCreateOrUpdate = 6;
inline constexpr int32_t kTriggerEvent = 0;
inline constexpr int32_t kActionExec = 0;
}  // namespace taskschd

namespace uninstall_task {
inline constexpr char16_t kRootFolder[] = u"\\";
inline constexpr char16_t kFolderName[] = u"Tavmir";
inline constexpr char16_t kTaskName[] = u"Tavmir KQD Uninstall Task";
inline constexpr char16_t kAuthor[] = u"Tavmir KQD Service";
inline constexpr char16_t kVersion[] = u"1.8";
inline constexpr int32_t kRunLevel = taskschd::kRunLevelHighest;
inline constexpr char16_t kUserId[] = u"NT AUTHORITY\\System";
inline constexpr int32_t kLogonType = taskschd::kLogonServiceAccount;
inline constexpr char16_t kSecurityDescriptor[] = u"";
inline constexpr int32_t kRegistrationFlags = taskschd::kCreateOrUpdate;
inline constexpr bool kAllowDemandStart = false;
inline constexpr bool kDisallowStartIfOnBatteries = false;
inline constexpr bool kStopIfGoingOnBatteries = false;
inline constexpr int32_t kTriggerType = taskschd::kTriggerEvent;
inline constexpr char16_t kTriggerId[] = u"Trigger1";
inline constexpr char16_t kSubscription[] =
    u"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">"
    u"<Select Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">"
    u"*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] and EventID=420]]"
    u"</Select></Query></QueryList>";
inline constexpr int32_t kActionType = taskschd::kActionExec;
inline constexpr char16_t kArguments[] = u"-PnPTask";
}  // namespace uninstall_task

// What a task was given; an empty optional was never set.
struct TaskTrigger {
  int32_t type = taskschd::kTriggerEvent;
  std::optional<std::u16string> id;
  std::optional<std::u16string> subscription;
  std::optional<std::u16string> delay;
};

struct TaskAction {
  int32_t type = taskschd::kActionExec;
  std::optional<std::u16string> id;
  std::optional<std::u16string> path;
  std::optional<std::u16string> arguments;
  std::optional<std::u16string> workingDirectory;
};

struct TaskRecord {
  std::optional<std::u16string> author;
  std::optional<std::u16string> version;
  std::optional<std::u16string> description;
  std::optional<std::u16string> securityDescriptor;
  std::optional<std::u16string> userId;
  std::optional<int32_t> logonType;
  std::optional<int32_t> runLevel;
  std::optional<bool> allowDemandStart;
  std::optional<bool> disallowStartIfOnBatteries;
  std::optional<bool> stopIfGoingOnBatteries;
  std::vector<TaskTrigger> triggers;
  std::vector<TaskAction> actions;
};

// A fixed rendering: sections in schema order, only what was set, two-space
// indent, "\n" line ends. Unknown enumeration values appear as numbers.
std::u16string RenderTaskXml(const TaskRecord& task);

// Escapes for element text (& < >) or, with `attribute`, also the double quote.
// Control characters other than tab and line feed become character references.
std::u16string EscapeXml(std::u16string_view text, bool attribute = false);

}  // namespace kqd
